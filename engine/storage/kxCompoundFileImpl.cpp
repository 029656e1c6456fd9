#include "storage/kxCompoundFileImpl.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "storage/kxCompoundFileCheck.h"
#include "storage/kxPath.h"

namespace vdb {

namespace {

constexpr int kLockRetries = 100;
constexpr std::int32_t kLockBytesEnd = kxLockBytesStart + kxLockBytesCount;  // 778, exclusive
constexpr std::int32_t kExportChunk = kxTileSize;
constexpr TkxPathForm kBox = TkxPathForm::Container;

// A name for a new or renamed entry: not empty, representable in the code page, at most 79
// characters and without the characters that no file name may hold. Error 0 when it is fine.
std::int32_t CheckNewName(const std::string& Name, std::string& RawName) {
  if (Name.empty() || Name == "." || Name == "..") return kxErrorInvalidName;
  for (unsigned char C : Name)
    if (C < 0x20 || std::strchr("<>:\"/\\|?*", C) != nullptr) return kxErrorInvalidName;
  if (!kxEntryNameFromUtf8(Name, RawName)) return kxErrorInvalidName;
  if (RawName.size() > static_cast<std::size_t>(kxMaxEntryNameLength))
    return kxErrorFilenameTooLong;
  return kxErrorSuccess;
}

std::string CanonicalName(const std::string& FileName) {
  std::error_code Error;
  std::filesystem::path Path = std::filesystem::absolute(FileName, Error);
  if (Error) return FileName;
  std::filesystem::path Canonical = std::filesystem::weakly_canonical(Path, Error);
  return Error ? Path.lexically_normal().string() : Canonical.string();
}

struct TSharedList {
  std::mutex Mutex;
  std::vector<std::weak_ptr<TkxCompoundFileImpl>> Items;
};

TSharedList& SharedList() {
  static TSharedList List;
  return List;
}

}  // namespace

void TkxCompoundFileImpl::RaiseInvalidPosition() {
  throw EkxInOutError("Invalid file position.");
}

// --- TkxCompoundFileThread -----------------------------------------------------------------------

TkxCompoundFileThread::TkxCompoundFileThread(TkxCompoundFileImpl& CompoundFile)
    : FCompoundFile(CompoundFile) {}

TkxCompoundFileThread::~TkxCompoundFileThread() { StopAndWait(); }

void TkxCompoundFileThread::Start() { FThread = std::thread([this] { Execute(); }); }

std::string TkxCompoundFileThread::StopAndWait() {
  {
    std::lock_guard Lock(FMutex);
    FStop = true;
  }
  FWakeUp.notify_all();
  if (FThread.joinable()) FThread.join();
  return FError;
}

void TkxCompoundFileThread::Execute() {
  std::unique_lock Lock(FMutex);
  while (!FStop) {
    if (FWakeUp.wait_for(Lock, std::chrono::milliseconds(kIntervalMs), [this] { return FStop; }))
      break;
    Lock.unlock();
    {
      // Never waits for the container: a busy round is simply skipped.
      std::unique_lock Section(FCompoundFile.FCriticalSection, std::try_to_lock);
      if (Section.owns_lock()) {
        try {
          FCompoundFile.GiveBackIdleLocks();
        } catch (const std::exception& E) {
          Section.unlock();
          Lock.lock();
          FError = E.what();
          return;
        }
      }
    }
    Lock.lock();
  }
}

// --- Life cycle ----------------------------------------------------------------------------------

TkxCompoundFileImpl::TkxCompoundFileImpl(const std::string& FileName, bool ReadOnly,
                                         bool Exclusive)
    : FFileName(FileName),
      FCanonicalName(CanonicalName(FileName)),
      FReadOnly(ReadOnly),
      FExclusive(Exclusive),
      FRandom(std::random_device{}()) {}

TkxCompoundFileImpl::~TkxCompoundFileImpl() {
  if (!GetIsOpen()) return;
  try {
    Close(0);
  } catch (const std::exception&) {
    // A destructor cannot report; Close has closed the file all the same.
  }
}

std::int32_t TkxCompoundFileImpl::FileMode() const {
  if (FReadOnly) return FExclusive ? kxModeReadExclusive : kxModeReadShared;
  return FExclusive ? kxModeReadWriteExclusive : kxModeReadWriteShared;
}

void TkxCompoundFileImpl::NewFile(const std::string& FileName) {
  std::vector<std::uint8_t> Image(kxNewContainerSize, 0);
  std::uint8_t* Data = Image.data();
  TkxMemory::WriteUInt32(Data, kxHeaderMagicOffset, kxCompoundFileMagic);
  TkxMemory::WriteInt32(Data, kxHeaderVersionOffset, kxCompoundFileVersion);
  TkxMemory::WriteInt32(Data, kxHeaderTileSizeOffset, kxTileSize);
  TkxMemory::WriteInt32(Data, kxHeaderTileCountOffset, 2);
  TkxMemory::WriteInt32(Data, kxHeaderRootSizeOffset, kxDirEntrySize);
  TkxMemory::WriteInt32(Data, kxHeaderFreeListOffset, kxNoTile);
  TkxMemory::WriteUInt32(Data, kxHeaderChangeCounterOffset, 0);
  TkxMemory::WriteInt32(Data, kxHeaderSize, kxEndOfChain);      // tile 0: the master file
  TkxMemory::WriteInt32(Data, kxHeaderSize + 4, kxEndOfChain);  // tile 1: the root directory
  // The root directory: one free entry (empty name, attributes 0, size 0, zero times) whose
  // first tile is -1.
  TkxMemory::WriteInt32(Data, kxTileSize + 105, kxEndOfChain);

  TkxOSFileSystem OS;
  const std::int32_t Handle = OS.CreateFile(FileName);
  const auto Fail = [&] {
    return EkxInOutError(kxFormatOrBare("Cannot create file %s.", {FileName}), OS.GetLastError());
  };
  if (!TkxFileSystem::IsValidHandle(Handle)) throw Fail();
  const std::int32_t Written = OS.FileWrite(Handle, Data, kxNewContainerSize, 0);
  if (Written != kxNewContainerSize) {
    EkxInOutError Error = Fail();
    OS.CloseFile(Handle);
    throw Error;
  }
  OS.CloseFile(Handle);
}

// --- Process-wide list ---------------------------------------------------------------------------

std::shared_ptr<TkxCompoundFileImpl> TkxCompoundFileImpl::FindShared(const std::string& FileName) {
  const std::string Name = CanonicalName(FileName);
  std::lock_guard List(SharedList().Mutex);
  for (const auto& Item : SharedList().Items)
    if (auto Impl = Item.lock(); Impl && Impl->FCanonicalName == Name) return Impl;
  return nullptr;
}

void TkxCompoundFileImpl::AddShared(const std::shared_ptr<TkxCompoundFileImpl>& Impl) {
  std::lock_guard List(SharedList().Mutex);
  SharedList().Items.push_back(Impl);
}

void TkxCompoundFileImpl::RemoveShared(const TkxCompoundFileImpl* Impl) {
  std::lock_guard List(SharedList().Mutex);
  auto& Items = SharedList().Items;
  Items.erase(std::remove_if(Items.begin(), Items.end(),
                             [Impl](const std::weak_ptr<TkxCompoundFileImpl>& Item) {
                               auto Locked = Item.lock();
                               return !Locked || Locked.get() == Impl;
                             }),
              Items.end());
}

// --- Clients -------------------------------------------------------------------------------------

std::int32_t TkxCompoundFileImpl::RegisterClient(bool OnlyIfOpen) {
  std::lock_guard Section(FCriticalSection);
  if (OnlyIfOpen && !GetIsOpen()) return 0;
  auto Free = std::find_if(FLocks.begin(), FLocks.end(),
                           [](const TkxLockRecord& R) { return R.IsFree(); });
  if (Free == FLocks.end()) {
    const std::size_t Old = FLocks.size();
    FLocks.resize(Old + 10);
    Free = FLocks.begin() + static_cast<std::ptrdiff_t>(Old);
  }
  Free->ReadLocks = 0;
  Free->WriteLocks = 0;
  return static_cast<std::int32_t>(Free - FLocks.begin()) + 1;
}

std::int32_t TkxCompoundFileImpl::ClientCount() {
  std::lock_guard Section(FCriticalSection);
  return static_cast<std::int32_t>(std::count_if(
      FLocks.begin(), FLocks.end(), [](const TkxLockRecord& R) { return !R.IsFree(); }));
}

bool TkxCompoundFileImpl::ReleaseClient(std::int32_t ClientHdl, std::exception_ptr& Error) {
  std::lock_guard Section(FCriticalSection);
  const TkxLockRecord Old = Client(ClientHdl);
  const bool Last = ClientCount() == 1;
  if (Last) {
    // The last client closes the container while its locks still count, so that closing
    // with an active lock is reported.
    try {
      Close(ClientHdl);
    } catch (...) {
      Error = std::current_exception();
    }
  }
  Client(ClientHdl) = TkxLockRecord();
  // Logical locks still held return the critical section entries they stand for.
  for (std::int32_t I = 0; I < std::max(Old.ReadLocks, 0) + std::max(Old.WriteLocks, 0); ++I)
    FCriticalSection.unlock();
  return Last;
}

TkxLockRecord& TkxCompoundFileImpl::Client(std::int32_t ClientHdl) {
  if (ClientHdl < 1 || ClientHdl > static_cast<std::int32_t>(FLocks.size()) ||
      FLocks[static_cast<std::size_t>(ClientHdl - 1)].IsFree())
    throw EkxCompoundFileError::CreateVdbFmt(0, "Invalid compound file client %d.", {ClientHdl});
  return FLocks[static_cast<std::size_t>(ClientHdl - 1)];
}

bool TkxCompoundFileImpl::AnyClientWriting() const {
  return std::any_of(FLocks.begin(), FLocks.end(),
                     [](const TkxLockRecord& R) { return R.WriteLocks > 0; });
}

bool TkxCompoundFileImpl::AnyClientReading() const {
  return std::any_of(FLocks.begin(), FLocks.end(),
                     [](const TkxLockRecord& R) { return R.ReadLocks > 0; });
}

bool TkxCompoundFileImpl::AnyOtherClientLocking(std::int32_t ClientHdl) const {
  for (std::size_t I = 0; I < FLocks.size(); ++I)
    if (static_cast<std::int32_t>(I) + 1 != ClientHdl &&
        (FLocks[I].ReadLocks > 0 || FLocks[I].WriteLocks > 0))
      return true;
  return false;
}

// --- Opening and closing -------------------------------------------------------------------------

void TkxCompoundFileImpl::ValidateHeader(const std::uint8_t* Header, std::int64_t FileSize) const {
  const auto Invalid = [this] {
    return EkxInOutError(
        kxFormatOrBare("File %s is not a valid Ondravel Compound file.", {FFileName}));
  };
  if (TkxMemory::ReadUInt32(Header, kxHeaderMagicOffset) != kxCompoundFileMagic) throw Invalid();
  const std::int32_t Version = TkxMemory::ReadInt32(Header, kxHeaderVersionOffset);
  if (Version > kxCompoundFileVersion)
    throw EkxInOutError(kxFormatOrBare("Do not support Ondravel Compound file version %d (%s).",
                                       {Version, FFileName}));
  // The tile table lives in tiles that are on disk, so the file's size bounds the tile count:
  // each of its tiles can hold at most 2048 table entries.
  const std::int64_t FileTiles = std::max<std::int64_t>(1, (FileSize + kxTileSize - 1) / kxTileSize);
  const std::int64_t MaxTiles = (FileTiles * kxTileSize - kxHeaderSize) / 4;
  const std::int32_t TileCount = TkxMemory::ReadInt32(Header, kxHeaderTileCountOffset);
  const std::int32_t RootSize = TkxMemory::ReadInt32(Header, kxHeaderRootSizeOffset);
  if (TileCount < 2 || TileCount > MaxTiles || RootSize < 0) throw Invalid();
}

void TkxCompoundFileImpl::OpenContainerFile() {
  FHandle = FOSFileSystem.OpenFile(FFileName, FileMode());
  if (!TkxFileSystem::IsValidHandle(FHandle)) {
    FHandle = kxInvalidHandle;
    throw EkxInOutError(kxFormatOrBare("Cannot open file %s.", {FFileName}),
                        FOSFileSystem.GetLastError());
  }
}

void TkxCompoundFileImpl::CloseContainerFile() {
  FMasterFile = nullptr;
  FRootDir = nullptr;
  FVirtualFiles.clear();
  if (FHandle >= 0) FOSFileSystem.CloseFile(FHandle);
  FHandle = kxInvalidHandle;
  FPhysicalLockType = TkxPhysicalLockType::pltNone;
}

void TkxCompoundFileImpl::Open(std::int32_t ClientHdl) {
  std::lock_guard Section(FCriticalSection);
  if (GetIsOpen()) return;
  OpenContainerFile();
  try {
    if (!LockPhysicalRead())
      throw EkxInOutError(kxFormatOrBare("Cannot lock file %s.", {FFileName}),
                          kxErrorSharingViolation);
    FPhysicalLockType = TkxPhysicalLockType::pltRead;
    Client(ClientHdl).ReadLocks = 1;
    try {
      std::uint8_t Header[kxHeaderFieldsSize] = {};
      const std::int32_t Got = FOSFileSystem.FileRead(FHandle, Header, kxHeaderFieldsSize, 0);
      if (Got != kxHeaderFieldsSize) std::memset(Header, 0, sizeof Header);
      ValidateHeader(Header, FOSFileSystem.GetFileSize(FHandle));
      const std::int32_t TileCount = TkxMemory::ReadInt32(Header, kxHeaderTileCountOffset);
      auto MasterFile = std::make_unique<TkxMasterFile>(*this, kxHeaderSize + 4LL * TileCount);
      FMasterFile = MasterFile.get();
      Register(std::move(MasterFile));
      FMasterFile->LoadHeader();
      auto Root = std::make_unique<TkxVirtualDirectory>(
          *this, nullptr, -1, kxRootTile, FMasterFile->HeaderInt(kxHeaderRootSizeOffset));
      FRootDir = Root.get();
      Register(std::move(Root));
    } catch (...) {
      UnlockPhysicalRead();
      Client(ClientHdl).ReadLocks = 0;
      throw;
    }
    UnlockPhysicalRead();
    Client(ClientHdl).ReadLocks = 0;
    FPhysicalLockType = TkxPhysicalLockType::pltNone;
    FCompoundFileThread = std::make_unique<TkxCompoundFileThread>(*this);
    FCompoundFileThread->Start();
  } catch (...) {
    CloseContainerFile();
    throw;
  }
  std::this_thread::yield();
}

void TkxCompoundFileImpl::Close(std::int32_t /*ClientHdl*/) {
  std::lock_guard Section(FCriticalSection);
  if (!GetIsOpen()) return;
  std::string Error;
  if (FCompoundFileThread) {
    Error = FCompoundFileThread->StopAndWait();
    FCompoundFileThread.reset();
  }
  bool ActiveLock = false;
  try {
    GiveBackIdleLocks();
    if (FPhysicalLockType != TkxPhysicalLockType::pltNone) {
      // A client still holds a lock: keep its changes all the same before letting go.
      ActiveLock = true;
      if (FPhysicalLockType == TkxPhysicalLockType::pltWrite) {
        FlushAll();
        UnlockPhysicalWrite();
      } else {
        UnlockPhysicalRead();
      }
    }
  } catch (const std::exception& E) {
    if (Error.empty()) Error = E.what();
  }
  CloseContainerFile();
  for (auto& Record : FLocks)
    if (!Record.IsFree()) Record.ReadLocks = Record.WriteLocks = 0;
  if (!Error.empty()) throw EkxCompoundFileError(0, Error);
  if (ActiveLock) throw EkxInOutError("Closing compound file with active lock.");
}

// --- Physical locks ------------------------------------------------------------------------------

void TkxCompoundFileImpl::PauseBeforeRetry() {
  std::uniform_int_distribution<int> Pause(10, 19);
  std::this_thread::sleep_for(std::chrono::milliseconds(Pause(FRandom)));
}

bool TkxCompoundFileImpl::LockPhysicalRead() {
  if (FExclusive) return true;
  std::int32_t Pos = FLockPosition;
  for (int Round = 0;;) {
    const std::int32_t Result = FOSFileSystem.LockFile(FHandle, Pos, Pos + 1, false);
    if (Result == 1) {
      FLockPosition = Pos;
      return true;
    }
    if (Result < 0) return false;
    if (++Pos >= kLockBytesEnd) {
      if (Round == kLockRetries) return false;
      PauseBeforeRetry();
      ++Round;
      Pos = kxLockBytesStart;
    }
  }
}

bool TkxCompoundFileImpl::LockPhysicalWrite() {
  if (FExclusive) return true;
  for (int Retry = 0;; ++Retry) {
    const std::int32_t Result = FOSFileSystem.LockFile(FHandle, kxLockBytesStart, kLockBytesEnd, true);
    if (Result == 1) return true;
    if (Result < 0 || Retry == kLockRetries) return false;
    PauseBeforeRetry();
  }
}

void TkxCompoundFileImpl::UnlockPhysicalRead() {
  if (!FExclusive) FOSFileSystem.UnlockFile(FHandle, FLockPosition, FLockPosition + 1, false);
  FPhysicalLockType = TkxPhysicalLockType::pltNone;
}

void TkxCompoundFileImpl::UnlockPhysicalWrite() {
  if (!FExclusive) FOSFileSystem.UnlockFile(FHandle, kxLockBytesStart, kLockBytesEnd, true);
  FPhysicalLockType = TkxPhysicalLockType::pltNone;
}

// --- Change counter ------------------------------------------------------------------------------

void TkxCompoundFileImpl::CheckChangeCounter() {
  std::uint8_t OnDisk[4] = {};
  const std::int32_t Got =
      FOSFileSystem.FileRead(FHandle, OnDisk, 4, kxHeaderChangeCounterOffset);
  if (Got == 4 && TkxMemory::ReadUInt32(OnDisk, 0) == FMasterFile->ChangeCounter()) return;
  // Another process has written: nothing cached can be trusted any more.
  for (auto& File : FVirtualFiles)
    if (File) File->Invalidate();
  FMasterFile->LoadHeader();
  ValidateHeader(FMasterFile->Header(), FOSFileSystem.GetFileSize(FHandle));
  FMasterFile->ResetSize(kxHeaderSize + 4LL * FMasterFile->TileCount());
  FRootDir->Invalidate();
  FRootDir->SetKnownSize(FMasterFile->HeaderInt(kxHeaderRootSizeOffset));
}

// --- Logical locks -------------------------------------------------------------------------------

bool TkxCompoundFileImpl::TakePhysicalRead() {
  if (!LockPhysicalRead()) return false;
  FPhysicalLockType = TkxPhysicalLockType::pltRead;
  CheckChangeCounter();
  return true;
}

template <typename TDecision>
bool TkxCompoundFileImpl::EnterIf(TDecision Decision) {
  FCriticalSection.lock();
  bool Entered = false;
  try {
    Entered = Decision();
  } catch (...) {
    FCriticalSection.unlock();
    throw;
  }
  if (!Entered) FCriticalSection.unlock();
  return Entered;
}

bool TkxCompoundFileImpl::BeginRead(std::int32_t ClientHdl) {
  return EnterIf([&] {
    TkxLockRecord& Record = Client(ClientHdl);
    if (Record.ReadLocks <= 0 && Record.WriteLocks <= 0) {
      if (!GetIsOpen() || AnyClientWriting()) return false;
      if (FPhysicalLockType == TkxPhysicalLockType::pltNone && !TakePhysicalRead()) return false;
    }
    ++Record.ReadLocks;
    return true;
  });
}

bool TkxCompoundFileImpl::BeginWrite(std::int32_t ClientHdl) {
  return EnterIf([&] {
    TkxLockRecord& Record = Client(ClientHdl);
    if (Record.WriteLocks <= 0) {
      if (!GetIsOpen() || FReadOnly || AnyOtherClientLocking(ClientHdl)) return false;
      if (FPhysicalLockType != TkxPhysicalLockType::pltWrite) {
        if (FPhysicalLockType == TkxPhysicalLockType::pltRead) UnlockPhysicalRead();
        if (!LockPhysicalWrite()) {
          // This client may be reading: it keeps its read lock.
          if (Record.ReadLocks > 0 && !TakePhysicalRead())
            throw EkxCompoundFileError(0, "Could not downgrade compound file locking");
          return false;
        }
        FPhysicalLockType = TkxPhysicalLockType::pltWrite;
        CheckChangeCounter();
        FMasterFile->SetHeaderInt(kxHeaderChangeCounterOffset,
                                  static_cast<std::int32_t>(FMasterFile->ChangeCounter() + 1));
      }
    }
    ++Record.WriteLocks;
    return true;
  });
}

void TkxCompoundFileImpl::CountDown(std::int32_t ClientHdl, bool Write) {
  TkxLockRecord& Record = Client(ClientHdl);
  std::int32_t& Count = Write ? Record.WriteLocks : Record.ReadLocks;
  if (Count <= 0)
    throw EkxCompoundFileError(0, Write ? "EndWrite without BeginWrite called."
                                        : "EndRead without BeginRead called.");
  --Count;
}

void TkxCompoundFileImpl::EndLock(std::int32_t ClientHdl, bool Write) {
  // Entered once more, so that an End call without its Begin call reads the record safely.
  std::unique_lock Section(FCriticalSection);
  CountDown(ClientHdl, Write);
  FCriticalSection.unlock();  // the entry made by the matching Begin call
}

void TkxCompoundFileImpl::EndEnteredLock(std::int32_t ClientHdl, bool Write) {
  std::unique_lock Entry(FCriticalSection, std::adopt_lock);  // the matching Begin call's entry
  CountDown(ClientHdl, Write);
}

void TkxCompoundFileImpl::EndRead(std::int32_t ClientHdl) { EndLock(ClientHdl, false); }

void TkxCompoundFileImpl::EndWrite(std::int32_t ClientHdl) { EndLock(ClientHdl, true); }

// --- Flushing and idle locks ---------------------------------------------------------------------

void TkxCompoundFileImpl::FlushAll() {
  // Contained files and subdirectories first, from the highest index down. Writing a file's
  // entry dirties its directory again, which may sit at a lower or a higher index, so the
  // round is repeated until nothing is left to write; the depth of the tree bounds it.
  for (bool Again = true; Again;) {
    Again = false;
    for (std::size_t I = FVirtualFiles.size(); I-- > 2;) {
      TkxVirtualFile* File = FVirtualFiles[I].get();
      if (!File) continue;
      if (!File->IsCommitting()) File->Commit(false);
      File->UpdateDirEntry();
    }
    for (std::size_t I = 2; I < FVirtualFiles.size(); ++I)
      if (FVirtualFiles[I] && FVirtualFiles[I]->HasDirtySlots()) Again = true;
  }
  const std::int64_t RootSize = FRootDir->GetSize();
  if (FMasterFile->HeaderInt(kxHeaderRootSizeOffset) != RootSize)
    FMasterFile->SetHeaderInt(kxHeaderRootSizeOffset, static_cast<std::int32_t>(RootSize));
  FRootDir->Commit(false);
  FMasterFile->Commit(false);
  CheckChangeCounter();
}

void TkxCompoundFileImpl::GiveBackIdleLocks() {
  if (!GetIsOpen()) return;
  if (FPhysicalLockType == TkxPhysicalLockType::pltWrite && !AnyClientWriting()) {
    FlushAll();
    UnlockPhysicalWrite();
    if (AnyClientReading() && !TakePhysicalRead())
      throw EkxCompoundFileError(0, "Could not downgrade compound file locking");
  } else if (FPhysicalLockType == TkxPhysicalLockType::pltRead && !AnyClientReading() &&
             !AnyClientWriting()) {
    UnlockPhysicalRead();
  }
}

// --- Tiles ---------------------------------------------------------------------------------------

void TkxCompoundFileImpl::CheckTileSize() const {
  if (FTileSize < kxTileSize)
    throw EkxCompoundFileError(
        0, "Fatal compound file error: Memory corruption on variable FTileSize detected.");
}

void TkxCompoundFileImpl::ReadTile(std::int32_t TileNo, std::uint8_t* Data) {
  const std::int64_t Pos = static_cast<std::int64_t>(TileNo) * kxTileSize;
  const auto ReadPart = [&](std::int32_t From, std::int32_t To) {
    const std::int32_t Got = FOSFileSystem.FileRead(FHandle, Data + From, To - From, Pos + From);
    const std::int32_t Valid = std::max(Got, 0);
    if (Valid < To - From) std::memset(Data + From + Valid, 0, static_cast<std::size_t>(To - From - Valid));
  };
  if (TileNo == 0) {
    // The lock bytes are not read: another process may hold them.
    ReadPart(0, kxLockBytesStart);
    ReadPart(kxLockAreaEnd, kxTileSize);
  } else {
    ReadPart(0, kxTileSize);
  }
}

bool TkxCompoundFileImpl::WriteTile(std::int32_t TileNo, const std::uint8_t* Data) {
  return FOSFileSystem.FileWrite(FHandle, Data, kxTileSize,
                                 static_cast<std::int64_t>(TileNo) * kxTileSize) == kxTileSize;
}

void TkxCompoundFileImpl::ReadTiles(std::int32_t FirstTile, std::uint8_t* Data,
                                    std::int32_t Count) {
  const std::int32_t Got = FOSFileSystem.FileRead(
      FHandle, Data, Count, static_cast<std::int64_t>(FirstTile) * kxTileSize);
  const std::int32_t Valid = std::max(Got, 0);
  if (Valid < Count) std::memset(Data + Valid, 0, static_cast<std::size_t>(Count - Valid));
}

std::int32_t TkxCompoundFileImpl::WriteTiles(std::int32_t FirstTile, const std::uint8_t* Data,
                                             std::int32_t Count) {
  return FOSFileSystem.FileWrite(FHandle, Data, Count,
                                 static_cast<std::int64_t>(FirstTile) * kxTileSize);
}

std::int32_t TkxCompoundFileImpl::WriteTilesGathered(std::int32_t FirstTile,
                                                     const TkxWritePiece* Pieces,
                                                     std::int32_t PieceCount) {
  return FOSFileSystem.FileWriteGathered(FHandle, Pieces, PieceCount,
                                         static_cast<std::int64_t>(FirstTile) * kxTileSize);
}

std::string TkxCompoundFileImpl::LastOSErrorText() {
  return TkxFileSystem::GetErrorMessage(FOSFileSystem.GetLastError());
}

std::int32_t TkxCompoundFileImpl::AllocateTiles(std::int32_t Last, std::int64_t Count,
                                                std::int32_t& First) {
  TkxMasterFile& Table = *FMasterFile;
  const auto Link = [&](std::int32_t TileNo) {
    if (Last < 0) First = TileNo;
    else Table.WriteEntry(Last, TileNo);
    Last = TileNo;
  };
  // Free tiles first. A damaged free list (a tile outside the container, or one taken twice
  // in this run) is cut off rather than followed into tiles in use.
  struct TForgetTaken {
    TkxTileSet& Set;
    ~TForgetTaken() { Set.Clear(); }
  } ForgetTaken{FTakenTiles};
  while (Count > 0) {
    const std::int32_t Head = Table.FreeListHead();
    if (Head < 0) break;
    if (Head <= kxRootTile || Head >= Table.TileCount() || FTakenTiles.Contains(Head)) {
      Table.SetHeaderInt(kxHeaderFreeListOffset, kxNoTile);
      break;
    }
    const std::int32_t Next = Table.ReadEntry(Head);
    Link(Head);
    // A single tile cannot be taken twice: the set is only needed for longer runs.
    if (Count > 1) FTakenTiles.Insert(Head);
    Table.SetHeaderInt(kxHeaderFreeListOffset, Next);
    --Count;
  }
  if (Count > 0) {
    // The master file grows first, at the end of the container, so that it can hold the
    // table entries of every tile then in existence plus one spare.
    while (Table.ChainLength() * kxTileSize <
           kxHeaderSize + 4 * (static_cast<std::int64_t>(Table.TileCount()) + Count + 1))
      Table.AppendOwnTile();
    for (; Count > 0; --Count) {
      const std::int32_t TileNo = Table.TileCount();
      Table.SetHeaderInt(kxHeaderTileCountOffset, TileNo + 1);
      Table.GrowSize(4);
      Link(TileNo);
    }
  }
  if (Last >= 0) Table.WriteEntry(Last, kxEndOfChain);
  return Last;
}

void TkxCompoundFileImpl::FreeChain(std::int32_t First, std::int32_t Last) {
  FMasterFile->WriteEntry(Last, FMasterFile->FreeListHead());
  FMasterFile->SetHeaderInt(kxHeaderFreeListOffset, First);
}

void TkxCompoundFileImpl::TrimContainer(const std::vector<std::int32_t>& Freed) {
  TkxMasterFile& Table = *FMasterFile;
  // Free tiles at the end of the container are given back to the operating system. The last
  // tile was in use before (or it would have been given back then), so there is only work when
  // it is one of the tiles just freed.
  const std::int32_t Last = Table.TileCount() - 1;
  if (std::find(Freed.begin(), Freed.end(), Last) != Freed.end()) {
    // The free list once, as tile -> predecessor (kxNoTile for the head).
    constexpr std::int32_t kNotFree = -2;
    const std::int32_t Count = Table.TileCount();
    std::vector<std::int32_t> PredecessorOf(static_cast<std::size_t>(Count), kNotFree);
    const auto OnList = [&](std::int32_t Tile) {
      return Tile > kxRootTile && Tile < Count &&
             PredecessorOf[static_cast<std::size_t>(Tile)] != kNotFree;
    };
    std::int32_t Prev = kxNoTile;
    for (std::int32_t Tile = Table.FreeListHead();
         Tile > kxRootTile && Tile < Count && !OnList(Tile); Tile = Table.ReadEntry(Tile)) {
      PredecessorOf[static_cast<std::size_t>(Tile)] = Prev;
      Prev = Tile;
    }
    // The tile table keeps needing every tile of its own chain: 1024 + 4 x tile count must
    // stay above what one tile less of it could hold.
    const std::int64_t MinTileCount =
        std::max<std::int64_t>(2, ((Table.ChainLength() - 1) * kxTileSize - kxHeaderSize) / 4 + 1);
    while (Table.TileCount() > MinTileCount) {
      const std::int32_t Tail = Table.TileCount() - 1;
      if (!OnList(Tail)) break;
      const std::int32_t Before = PredecessorOf[static_cast<std::size_t>(Tail)];
      const std::int32_t Next = Table.ReadEntry(Tail);
      if (Before == kxNoTile) Table.SetHeaderInt(kxHeaderFreeListOffset, Next);
      else Table.WriteEntry(Before, Next);
      if (OnList(Next)) PredecessorOf[static_cast<std::size_t>(Next)] = Before;
      PredecessorOf[static_cast<std::size_t>(Tail)] = kNotFree;
      Table.WriteEntry(Tail, kxNoTile);
      Table.SetHeaderInt(kxHeaderTileCountOffset, Tail);
    }
  }
  FOSFileSystem.SetFileSize(FHandle, static_cast<std::int64_t>(Table.TileCount()) * kxTileSize);
}

// --- Paths and file objects ----------------------------------------------------------------------

TkxVirtualFile* TkxCompoundFileImpl::Register(std::unique_ptr<TkxVirtualFile> File) {
  TkxVirtualFile* Result = File.get();
  for (std::size_t I = 2; I < FVirtualFiles.size(); ++I) {
    if (!FVirtualFiles[I]) {
      FVirtualFiles[I] = std::move(File);
      return Result;
    }
  }
  FVirtualFiles.push_back(std::move(File));
  return Result;
}

TkxVirtualFile* TkxCompoundFileImpl::ExistingObject(const TkxVirtualDirectory* Dir,
                                                    std::int32_t Index) const {
  for (std::size_t I = 2; I < FVirtualFiles.size(); ++I) {
    TkxVirtualFile* File = FVirtualFiles[I].get();
    if (File && File->GetDirectory() == Dir && File->GetDirIndex() == Index) return File;
  }
  return nullptr;
}

TkxVirtualFile* TkxCompoundFileImpl::ObjectOf(TkxVirtualDirectory& Dir, std::int32_t Index,
                                              const TkxDirEntry& Entry) {
  if (TkxVirtualFile* File = ExistingObject(&Dir, Index)) return File;
  const std::int64_t Size = std::max<std::int64_t>(Entry.Size, 0);
  if (Entry.IsDirectory())
    return Register(std::make_unique<TkxVirtualDirectory>(*this, &Dir, Index, Entry.FirstTile, Size));
  return Register(std::make_unique<TkxVirtualFile>(*this, &Dir, Index, Entry.FirstTile, Size));
}

void TkxCompoundFileImpl::DropObject(TkxVirtualFile* File) {
  if (!File || File->GetRefCount() > 0) return;
  for (const auto& Other : FVirtualFiles)
    if (Other && Other->GetDirectory() == File) return;  // still the home of an open object
  if (File->HasDirtySlots() && FPhysicalLockType == TkxPhysicalLockType::pltWrite) {
    // Closed while another client holds the write lock: its tiles are written now and its
    // entry brought up to date; directory and tile table follow with the next flush.
    File->Commit(false);
    File->UpdateDirEntry();
  }
  for (auto& Slot : FVirtualFiles)
    if (Slot.get() == File) Slot.reset();
}

TkxVirtualDirectory* TkxCompoundFileImpl::DirectoryOf(const std::string& DirPath) {
  if (DirPath.empty() || DirPath == FDelimiter) return FRootDir;
  std::string Path = DirPath;
  if (Path.back() == '\\') Path.pop_back();
  const std::string Parent = kxExtractFilePath(Path, kBox);
  if (Parent == Path)
    throw EkxInOutError(kxFormatOrBare("\"%s\" is an invalid directory name", {DirPath}));
  TkxVirtualDirectory* ParentDir = DirectoryOf(Parent);
  if (!ParentDir) return nullptr;
  std::string RawName;
  const std::string Name = Path.substr(Parent.size());
  if (Name.empty() || !kxEntryNameFromUtf8(Name, RawName)) return nullptr;
  const std::int32_t Index = ParentDir->FindEntry(RawName);
  if (Index < 0) return nullptr;
  const TkxDirEntry Entry = ParentDir->ReadEntry(Index);
  if (!Entry.IsDirectory()) return nullptr;
  return dynamic_cast<TkxVirtualDirectory*>(ObjectOf(*ParentDir, Index, Entry));
}


bool TkxCompoundFileImpl::IsLiveDirectory(const TkxVirtualDirectory* Dir) const {
  if (!Dir) return false;
  for (const auto& File : FVirtualFiles)
    if (File.get() == Dir) return true;
  return false;
}

TkxCompoundFileImpl::TPathLookup TkxCompoundFileImpl::Lookup(const std::string& FilePath) {
  TPathLookup Result;
  Result.Dir = DirectoryOf(kxExtractFilePath(FilePath, kBox));
  Result.Name = kxExtractFileName(FilePath, kBox);
  if (!Result.Dir || Result.Name.empty() || !kxEntryNameFromUtf8(Result.Name, Result.RawName))
    return Result;
  Result.Index = Result.Dir->FindEntry(Result.RawName);
  if (Result.Found()) Result.Entry = Result.Dir->ReadEntry(Result.Index);
  return Result;
}

namespace {

std::string WithoutTrailingDelimiter(const std::string& Path) {
  if (Path.size() > 1 && Path.back() == '\\') return Path.substr(0, Path.size() - 1);
  return Path;
}

TkxDirEntry NewEntry(const std::string& RawName, std::uint8_t Attr) {
  TkxDirEntry Entry;
  Entry.RawName = RawName;
  Entry.Attr = Attr;
  Entry.CreationTime = Entry.ModificationTime = kxNowAsDateTime();
  Entry.FirstTile = kxEndOfChain;
  return Entry;
}

}  // namespace

// --- File operations -----------------------------------------------------------------------------

TkxVirtualFile* TkxCompoundFileImpl::CreateFile(std::int32_t /*ClientHdl*/,
                                                const std::string& FilePath, std::int32_t& Error) {
  std::lock_guard Section(FCriticalSection);
  TPathLookup Path = Lookup(FilePath);
  if (!Path.Dir) {
    Error = kxErrorPathNotFound;
    return nullptr;
  }
  TkxVirtualFile* File = nullptr;
  if (Path.Found()) {
    if (Path.Entry.IsDirectory()) {
      Error = kxErrorAccessDenied;
      return nullptr;
    }
    File = ObjectOf(*Path.Dir, Path.Index, Path.Entry);
    if (File->GetRefCount() > 0) {
      Error = kxErrorSharingViolation;
      return nullptr;
    }
    File->SetSize(0);
  } else {
    std::string RawName;
    if ((Error = CheckNewName(Path.Name, RawName)) != kxErrorSuccess) return nullptr;
    const TkxDirEntry Entry = NewEntry(RawName, 0);
    File = ObjectOf(*Path.Dir, Path.Dir->AddEntry(Entry), Entry);
  }
  File->AddRef();
  return File;
}

TkxVirtualFile* TkxCompoundFileImpl::OpenFile(std::int32_t /*ClientHdl*/,
                                              const std::string& FilePath, std::int32_t& Error) {
  std::lock_guard Section(FCriticalSection);
  TPathLookup Path = Lookup(FilePath);
  if (!Path.Found() || Path.Entry.IsDirectory()) {
    Error = kxErrorFileNotFound;
    return nullptr;
  }
  TkxVirtualFile* File = ObjectOf(*Path.Dir, Path.Index, Path.Entry);
  File->AddRef();
  return File;
}

void TkxCompoundFileImpl::CloseFile(TkxVirtualFile& File) {
  std::lock_guard Section(FCriticalSection);
  File.Release();
  if (File.GetRefCount() > 0) return;
  GiveBackIdleLocks();
  DropObject(&File);
}

std::int32_t TkxCompoundFileImpl::CreateDir(std::int32_t /*ClientHdl*/, const std::string& DirPath) {
  std::lock_guard Section(FCriticalSection);
  TPathLookup Path = Lookup(WithoutTrailingDelimiter(DirPath));
  if (!Path.Dir) return kxErrorPathNotFound;
  if (Path.Found()) return kxErrorAlreadyExists;
  std::string RawName;
  if (const std::int32_t Error = CheckNewName(Path.Name, RawName)) return Error;
  Path.Dir->AddEntry(NewEntry(RawName, kxDirAttribute));
  return kxErrorSuccess;
}

std::int32_t TkxCompoundFileImpl::RemoveDir(std::int32_t /*ClientHdl*/, const std::string& DirPath) {
  std::lock_guard Section(FCriticalSection);
  const std::string Name = WithoutTrailingDelimiter(DirPath);
  if (Name.empty() || Name == FDelimiter) return kxErrorFileNotFound;
  TPathLookup Path = Lookup(Name);
  if (!Path.Found() || !Path.Entry.IsDirectory()) return kxErrorFileNotFound;
  auto* Dir = dynamic_cast<TkxVirtualDirectory*>(ObjectOf(*Path.Dir, Path.Index, Path.Entry));
  if (!Dir || Dir->HasUsedEntries()) return kxErrorFileNotFound;
  Dir->SetSize(0);
  Path.Dir->DeleteEntry(Path.Index);
  DropObject(Dir);
  return kxErrorSuccess;
}

std::int32_t TkxCompoundFileImpl::DeleteFile(std::int32_t /*ClientHdl*/, const std::string& FileName) {
  std::lock_guard Section(FCriticalSection);
  TPathLookup Path = Lookup(FileName);
  if (!Path.Found()) return kxErrorFileNotFound;
  // A directory goes through RemoveDir, which makes sure that nothing is left inside.
  if (Path.Entry.IsDirectory()) return kxErrorAccessDenied;
  TkxVirtualFile* File = ObjectOf(*Path.Dir, Path.Index, Path.Entry);
  if (File->GetRefCount() > 0) return kxErrorSharingViolation;
  File->SetSize(0);
  Path.Dir->DeleteEntry(Path.Index);
  DropObject(File);
  return kxErrorSuccess;
}

std::int32_t TkxCompoundFileImpl::RenameFile(std::int32_t /*ClientHdl*/, const std::string& OldName,
                                             const std::string& NewName) {
  std::lock_guard Section(FCriticalSection);
  if (!kxSameEntryName(kxExtractFilePath(OldName, kBox), kxExtractFilePath(NewName, kBox)))
    return kxErrorInvalidFunction;
  TPathLookup Path = Lookup(OldName);
  if (!Path.Found()) return kxErrorFileNotFound;
  TkxVirtualFile* File = ExistingObject(Path.Dir, Path.Index);
  if (File && File->GetRefCount() > 0) return kxErrorSharingViolation;
  std::string RawName;
  const std::int32_t Error = CheckNewName(kxExtractFileName(NewName, kBox), RawName);
  if (Error != 0) return Error;
  // Two entries of one name would hide one of the files for good.
  const std::int32_t Other = Path.Dir->FindEntry(RawName);
  if (Other >= 0 && Other != Path.Index) return kxErrorAlreadyExists;
  Path.Entry.RawName = RawName;
  Path.Dir->WriteEntry(Path.Index, Path.Entry);
  DropObject(File);
  return kxErrorSuccess;
}

// --- Enumeration ---------------------------------------------------------------------------------

void TkxCompoundFileImpl::FillFindRec(TkxVirtualDirectory& Dir, std::int32_t Index,
                                      TkxFindFileRec& Rec) {
  const TkxDirEntry Entry = Dir.ReadEntry(Index);
  TkxVirtualFile* Open = ExistingObject(&Dir, Index);
  Rec.Time = kxDateTimeToFileDate(Entry.ModificationTime);
  Rec.Size = Open ? Open->GetSize() : Entry.Size;  // an open file may not be flushed yet
  Rec.Attr = Entry.IsDirectory() ? faDirectory : 0;
  Rec.Name = kxEntryNameToUtf8(Entry.RawName);
  Rec.DirIndex = Index;
  Rec.VirtDir = &Dir;
  Rec.FindHandle = 0;
}

bool TkxCompoundFileImpl::FindFirstFile(std::int32_t /*ClientHdl*/, const std::string& Path,
                                        std::int32_t Attr, TkxFindFileRec& FindFileRec,
                                        std::int32_t& Error) {
  std::lock_guard Section(FCriticalSection);
  Error = kxErrorSuccess;
  FindFileRec.VirtDir = nullptr;
  FindFileRec.FindHandle = kxInvalidHandle;
  if (Path == FDelimiter) {
    if ((Attr & faDirectory) == 0) return false;
    FindFileRec.Time = 0;
    FindFileRec.Size = FRootDir->GetSize();
    FindFileRec.Attr = faDirectory;
    FindFileRec.Name = FDelimiter;
    FindFileRec.DirIndex = -1;
    FindFileRec.VirtDir = FRootDir;
    FindFileRec.PathPattern.clear();
    FindFileRec.FindHandle = 0;
    return true;
  }
  TkxVirtualDirectory* Dir = DirectoryOf(kxExtractFilePath(Path, kBox));
  if (!Dir) {
    Error = kxErrorPathNotFound;
    return false;
  }
  FindFileRec.PathPattern = kxExtractFileName(Path, kBox);
  FindFileRec.VirtDir = Dir;
  FindFileRec.DirIndex = -1;
  return FindNextFile(0, FindFileRec, Error);
}

bool TkxCompoundFileImpl::FindNextFile(std::int32_t /*ClientHdl*/, TkxFindFileRec& FindFileRec,
                                       std::int32_t& Error) {
  std::lock_guard Section(FCriticalSection);
  Error = kxErrorSuccess;
  if (!IsLiveDirectory(FindFileRec.VirtDir)) {
    Error = kxErrorInvalidHandle;
    return false;
  }
  std::string RawPattern;
  if (!kxEntryNameFromUtf8(FindFileRec.PathPattern, RawPattern)) return false;
  const std::int32_t Index = FindFileRec.VirtDir->FindMatching(RawPattern, FindFileRec.DirIndex + 1);
  if (Index < 0) return false;
  FillFindRec(*FindFileRec.VirtDir, Index, FindFileRec);
  return true;
}

void TkxCompoundFileImpl::FindFileClose(std::int32_t /*ClientHdl*/, TkxFindFileRec& FindFileRec) {
  FindFileRec.VirtDir = nullptr;
  FindFileRec.DirIndex = -1;
  FindFileRec.FindHandle = kxInvalidHandle;
}

std::string TkxCompoundFileImpl::ExpandFileName(const std::string& FileName) {
  if (!kxHasDirectory(FileName, kBox)) return "\\" + FileName;
  return FileName;
}

// --- Export --------------------------------------------------------------------------------------

void TkxCompoundFileImpl::ExportFile(std::int32_t /*ClientHdl*/, const std::string& FilePath,
                                     const std::string& Target) {
  std::lock_guard Section(FCriticalSection);
  TPathLookup Path = Lookup(FilePath);
  if (!Path.Found() || Path.Entry.IsDirectory())
    throw EkxInOutError(kxFormatOrBare("File %s not found.", {FilePath}), kxErrorFileNotFound);
  TkxVirtualFile* File = ObjectOf(*Path.Dir, Path.Index, Path.Entry);
  TkxOSFileSystem OS;
  const std::int32_t Handle = OS.CreateFile(Target);
  const auto CannotCreate = [&] {
    return EkxInOutError(kxFormatOrBare("Cannot create file %s.", {Target}), OS.GetLastError());
  };
  if (!TkxFileSystem::IsValidHandle(Handle)) throw CannotCreate();
  try {
    // Through the file's tile cache, so that changes of this process not flushed yet are
    // exported as well.
    std::vector<std::uint8_t> Buffer(kExportChunk);
    const std::int64_t Size = File->GetSize();
    for (std::int64_t Pos = 0; Pos < Size;) {
      const std::int32_t Got = File->Read(Buffer.data(), kExportChunk, Pos);
      if (Got <= 0) RaiseInvalidPosition();
      if (OS.FileWrite(Handle, Buffer.data(), Got, Pos) != Got) throw CannotCreate();
      Pos += Got;
    }
  } catch (...) {
    OS.CloseFile(Handle);
    DropObject(File);
    throw;
  }
  OS.CloseFile(Handle);
  DropObject(File);
}

void TkxCompoundFileImpl::ExportFiles(std::int32_t ClientHdl, const std::string& Mask,
                                      const std::string& DirName, bool /*Recurse*/) {
  std::lock_guard Section(FCriticalSection);
  const std::string DirPart = kxExtractFilePath(Mask, kBox);
  TkxVirtualDirectory* Dir = DirectoryOf(DirPart);
  if (!Dir)
    throw EkxInOutError(kxFormatOrBare("Directory \"%s\" not found.", {DirPart}),
                        kxErrorPathNotFound);
  std::string RawPattern;
  if (!kxEntryNameFromUtf8(kxExtractFileName(Mask, kBox), RawPattern)) return;
  for (std::int32_t Index = Dir->FindMatching(RawPattern, 0); Index >= 0;
       Index = Dir->FindMatching(RawPattern, Index + 1)) {
    const TkxDirEntry Entry = Dir->ReadEntry(Index);
    if (Entry.IsDirectory()) continue;  // only files are exported
    const std::string Name = kxEntryNameToUtf8(Entry.RawName);
    // A stored name must not lead the copy out of the target directory.
    if (Name == "." || Name == ".." || Name.find('/') != std::string::npos)
      throw EkxInOutError(kxFormatOrBare("Cannot create file %s.", {DirName + Name}),
                          kxErrorInvalidName);
    ExportFile(ClientHdl, DirPart + Name, DirName + Name);
  }
}

// --- Check and diagnostics -----------------------------------------------------------------------

std::int32_t TkxCompoundFileImpl::PerformCheck(
    std::int32_t /*ClientHdl*/, const TkxCompoundFileDefectEvent& OnCompoundFileDefect) {
  std::lock_guard Section(FCriticalSection);
  TkxCompoundFileCheck Check(*this, OnCompoundFileDefect);
  return Check.Run();
}

bool TkxCompoundFileImpl::HasOpenFiles() {
  std::lock_guard Section(FCriticalSection);
  for (std::size_t I = 2; I < FVirtualFiles.size(); ++I)
    if (FVirtualFiles[I] && FVirtualFiles[I]->GetRefCount() > 0) return true;
  return false;
}

bool TkxCompoundFileImpl::FindEntry(const std::string& FilePath, TkxDirEntry& Entry) {
  std::lock_guard Section(FCriticalSection);
  TPathLookup Path = Lookup(FilePath);
  if (!Path.Found()) return false;
  Entry = Path.Entry;
  if (TkxVirtualFile* Open = ExistingObject(Path.Dir, Path.Index)) {
    Entry.FirstTile = Open->GetStartPageNo();
    Entry.Size = Open->GetSize();
  }
  return true;
}

std::int32_t TkxCompoundFileImpl::TileCount() { return FMasterFile->TileCount(); }

std::int32_t TkxCompoundFileImpl::FreeListHead() { return FMasterFile->FreeListHead(); }

std::vector<std::int32_t> TkxCompoundFileImpl::PageChain(std::int32_t FirstPageNo) {
  std::lock_guard Section(FCriticalSection);
  std::vector<std::int32_t> Chain;
  TkxTileSet Seen;
  const std::int32_t Count = FMasterFile->TileCount();
  for (std::int32_t Tile = FirstPageNo; Tile >= 0 && Tile < Count && Seen.Insert(Tile);) {
    Chain.push_back(Tile);
    try {
      Tile = FMasterFile->ReadEntry(Tile);
    } catch (const EkxInOutError&) {
      break;  // the table itself is unreadable there
    }
  }
  return Chain;
}

std::int32_t TkxCompoundFileImpl::FreePagesCount() {
  return static_cast<std::int32_t>(PageChain(FreeListHead()).size());
}

std::int32_t TkxCompoundFileImpl::SuccessorPage(std::int32_t PageNo) {
  std::lock_guard Section(FCriticalSection);
  if (PageNo < 0 || PageNo >= FMasterFile->TileCount()) return kxNoTile;
  return FMasterFile->ReadEntry(PageNo);
}

void TkxCompoundFileImpl::ReadRawTile(std::int32_t TileNo, std::vector<std::uint8_t>& Data) {
  std::lock_guard Section(FCriticalSection);
  if (TileNo < 0 || TileNo >= FMasterFile->TileCount()) RaiseInvalidPosition();
  Data.assign(kxTileSize, 0);
  const std::int32_t Got = FOSFileSystem.FileRead(
      FHandle, Data.data(), kxTileSize, static_cast<std::int64_t>(TileNo) * kxTileSize);
  (void)Got;  // the part beyond the end of the container file stays zero
}

}  // namespace vdb
