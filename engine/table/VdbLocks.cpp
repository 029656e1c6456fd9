#include "table/VdbLocks.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>

#include "base/VdbErrors.h"
#include "storage/kxMemory.h"
#include "table/kxStrUtils.h"

namespace vdb {

namespace {

constexpr std::int32_t kMutexStart = 0;
constexpr std::int32_t kMutexEnd = 4;
constexpr std::int32_t kSharedMode = fmOpenReadWrite | fmShareDenyNone;  // 66
constexpr std::int32_t kDefaultTimeoutMs = 20000;
constexpr std::int32_t kDefaultWaitInterval = 5;

std::atomic<std::int32_t> gWaitInterval{kDefaultWaitInterval};
std::atomic<std::int32_t> gRetryCount{kDefaultTimeoutMs / kDefaultWaitInterval};

// Session names are stored as 8-bit characters of the engine's code page (1252); a character
// it cannot hold becomes "?".
constexpr std::uint32_t kStationNameCodePage = 1252;

std::string Utf8ToStationName(const std::string& Utf8) {
  std::string Result = Utf8ToAnsi(Utf8, kStationNameCodePage);
  if (Result.size() > static_cast<std::size_t>(kVdbSessionNameMax))
    Result.resize(kVdbSessionNameMax);
  return Result;
}

std::string StationNameToUtf8(const std::string& Ansi) { return AnsiToUtf8(Ansi, kStationNameCodePage); }

// The directory part of a path ("" when it has none).
std::string DirectoryOf(const std::string& Path) {
  const std::size_t Slash = Path.find_last_of('/');
  return Slash == std::string::npos || Slash == 0 ? std::string() : Path.substr(0, Slash);
}

// Creates the directories of Path level by level.
void ForceDirectories(TkxFileSystem& FileSystem, const std::string& Path) {
  std::size_t From = 1;
  while (From <= Path.size()) {
    std::size_t Slash = Path.find('/', From);
    if (Slash == std::string::npos) Slash = Path.size();
    const std::string Level = Path.substr(0, Slash);
    if (!FileSystem.DirectoryExists(Level)) FileSystem.CreateDir(Level);
    From = Slash + 1;
  }
}

std::uint16_t Less(std::uint16_t Value) {
  return Value > 0 ? static_cast<std::uint16_t>(Value - 1) : 0;
}

bool IsBlobKind(std::uint8_t Kind) { return Kind == takBlob || Kind == takWideMemo; }

// The size of an open file; a failure is the engine error Code with the file's name.
std::int64_t FileSizeOf(TkxFileSystem& FileSystem, std::int32_t Handle, std::int16_t Code,
                        const std::string& FileName) {
  try {
    return FileSystem.GetFileSize(Handle);
  } catch (const EkxInOutError&) {
    throw EVdbEngine(Code, FileName);
  }
}

// Cuts an open file at Size; a failure is the engine error Code with the file's name.
void CutFile(TkxFileSystem& FileSystem, std::int32_t Handle, std::int64_t Size, std::int16_t Code,
             const std::string& FileName) {
  try {
    FileSystem.SetFileSize(Handle, Size);
  } catch (const EkxInOutError&) {
    throw EVdbEngine(Code, FileName);
  }
}

}  // namespace

// --- Base-table bookkeeping helpers
// ---------------------------------------------------------------

std::uint32_t VdbTickCount() {
  const auto Now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Now).count());
}

bool VdbUnlockIdle(std::uint32_t Now, std::uint32_t UnlockTime) {
  return static_cast<std::uint32_t>(Now - UnlockTime) > kVdbUnlockIdleMs;
}

TVdbTableLockType VdbRequiredTableLock(std::int32_t ReadLocks, std::int32_t UpgradeLocks,
                                       std::int32_t WriteLocks) {
  if (WriteLocks > 0) return tltWrite;
  if (UpgradeLocks > 0) return tltUpgrade;
  if (ReadLocks > 0) return tltRead;
  return tltNone;
}

TVdbTableLockType VdbTransactionKeptLock(TVdbIsolationLevel Isolation, TVdbTableLockType Ending) {
  switch (Isolation) {
    case tilRepeatableRead:
      return Ending == tltWrite ? tltWrite : Ending == tltNone ? tltNone : tltRead;
    case tilReadCommited:
      return Ending == tltWrite ? tltWrite : tltNone;
    case tilDirtyRead:
      return Ending == tltWrite ? tltRead : tltNone;
    default:
      return tltNone;
  }
}

// --- Records -------------------------------------------------------------------------------------

void TVdbTableLockData::Decode(const std::uint8_t* Data) {
  Tag = TkxMemory::ReadUInt32(Data, 0);
  Version = TkxMemory::ReadUInt16(Data, 4);
  ChangeCount = TkxMemory::ReadInt64(Data, 6);
  IndexCount = TkxMemory::ReadUInt16(Data, 14);
  ReadLocks = TkxMemory::ReadUInt16(Data, 16);
  UpgradeLocks = TkxMemory::ReadUInt16(Data, 18);
  WriteLocks = TkxMemory::ReadUInt16(Data, 20);
  LockWaiters = TkxMemory::ReadUInt16(Data, 22);
  WriteWaiters = TkxMemory::ReadUInt16(Data, 24);
  ItemCount = TkxMemory::ReadUInt16(Data, 26);
  SessionCount = TkxMemory::ReadUInt16(Data, 28);
}

void TVdbTableLockData::Encode(std::uint8_t* Data) const {
  TkxMemory::WriteUInt32(Data, 0, Tag);
  TkxMemory::WriteUInt16(Data, 4, Version);
  TkxMemory::WriteInt64(Data, 6, ChangeCount);
  TkxMemory::WriteUInt16(Data, 14, IndexCount);
  TkxMemory::WriteUInt16(Data, 16, ReadLocks);
  TkxMemory::WriteUInt16(Data, 18, UpgradeLocks);
  TkxMemory::WriteUInt16(Data, 20, WriteLocks);
  TkxMemory::WriteUInt16(Data, 22, LockWaiters);
  TkxMemory::WriteUInt16(Data, 24, WriteWaiters);
  TkxMemory::WriteUInt16(Data, 26, ItemCount);
  TkxMemory::WriteUInt16(Data, 28, SessionCount);
}

void TVdbSessionLockData::Decode(const std::uint8_t* Data) {
  Id = TkxMemory::ReadInt64(Data, 0);
  // A damaged length byte never reads beyond the 40 characters of the slot.
  const std::size_t Length = std::min<std::size_t>(Data[8], kVdbSessionNameMax);
  Name.assign(reinterpret_cast<const char*>(Data + 9), Length);
  TableLock = Data[49];
  DesiredLock = Data[50];
  EditRecNo = TkxMemory::ReadInt32(Data, 51);
}

void TVdbSessionLockData::Encode(std::uint8_t* Data) const {
  std::memset(Data, 0, kVdbLockSlotSize);
  TkxMemory::WriteInt64(Data, 0, Id);
  TkxMemory::WriteBPAnsiString(Data, 8, Name, kVdbSessionNameMax);
  Data[49] = TableLock;
  Data[50] = DesiredLock;
  TkxMemory::WriteInt32(Data, 51, EditRecNo);
  Data[55] = VitalSign;
}

// --- Timing --------------------------------------------------------------------------------------

std::int32_t TVdbLockFile::GetWaitInterval() { return gWaitInterval.load(); }
std::int32_t TVdbLockFile::GetRetryCount() { return gRetryCount.load(); }

void TVdbLockFile::SetLockTimeout(std::int32_t Milliseconds, std::int32_t WaitInterval) {
  WaitInterval = std::max(WaitInterval, 1);
  gWaitInterval = WaitInterval;
  gRetryCount = std::max(Milliseconds / WaitInterval, 1);
}

void TVdbLockFile::Pause() {
  thread_local std::mt19937 Generator{std::random_device{}()};
  const std::int32_t W = GetWaitInterval();
  const std::int32_t Ms = W / 2 + std::uniform_int_distribution<std::int32_t>(0, W - 1)(Generator);
  std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

// --- Mutual exclusion ----------------------------------------------------------------------------

// Holds the lock file's mutual exclusion for a scope; Leave and Enter let a waiting request give
// it up between its tries.
class TVdbLockFile::TEntered {
 public:
  explicit TEntered(TVdbLockFile& Owner) : FOwner(Owner) { Enter(); }
  ~TEntered() {
    if (FHeld) FOwner.Leave();
  }
  TEntered(const TEntered&) = delete;
  TEntered& operator=(const TEntered&) = delete;
  void Enter() {
    FOwner.Enter();
    FHeld = true;
  }
  void Leave() {
    FHeld = false;
    FOwner.Leave();
  }

 private:
  TVdbLockFile& FOwner;
  bool FHeld = false;
};

void TVdbLockFile::Enter() {
  if (FEntered == 0) {
    // A session that holds the table exclusively keeps the range; the others give up after the
    // lock time-out instead of waiting for ever.
    for (std::int32_t Tries = 0;; ++Tries) {
      const std::int32_t Locked = FFileSystem->LockFile(FNetFile, kMutexStart, kMutexEnd, true);
      if (Locked == 1) break;
      if (Locked < 0) throw EVdbEngine(kVdbErrLocking, kxFormatArgs{});
      if (Tries >= GetRetryCount()) throw EVdbEngine(kVdbErrTableLocked, kxFormatArgs{});
      Pause();
    }
    FEntered = 1;
    try {
      ReadHeader();
      if (IsLoggedIn()) {
        ReadOwnSlot();
        // A wait that ended in an error could not withdraw its request: it must not keep the
        // readers of the table out.
        if (!FWaiting) SetWaiting(tltNone, false);
      }
    } catch (...) {
      Leave();
      throw;
    }
    return;
  }
  ++FEntered;
}

void TVdbLockFile::Leave() {
  if (FEntered <= 0) return;
  if (--FEntered == 0) FFileSystem->UnlockFile(FNetFile, kMutexStart, kMutexEnd, true);
}

// --- Reading and writing the file ----------------------------------------------------------------

void TVdbLockFile::RaiseWriteError() const { throw EVdbEngine(kVdbErrNoWriteAccess, FFileName); }
void TVdbLockFile::RaiseReadError() const { throw EVdbEngine(kVdbErrFileRead, FFileName); }

void TVdbLockFile::ReadHeader() {
  std::uint8_t Data[kVdbLockHeaderSize];
  const std::int32_t Read = FFileSystem->FileRead(FNetFile, Data, kVdbLockHeaderSize, 0);
  if (Read == 0 && FileSizeOf(*FFileSystem, FNetFile, kVdbErrFileRead, FFileName) == 0) {
    // The creator died before it wrote the header; nobody can have logged in since.
    FTableLockData = TVdbTableLockData{};
    WriteHeader();
    return;
  }
  if (Read != kVdbLockHeaderSize) {
    if (Read < 0) RaiseReadError();
    throw EVdbEngine(kVdbErrIncompatibleLockFile, FFileName);
  }
  TVdbTableLockData Header;
  Header.Decode(Data);
  if (Header.Tag != kVdbLockFileTag || Header.Version != kVdbLockFileVersion)
    throw EVdbEngine(kVdbErrIncompatibleLockFile, FFileName);
  FTableLockData = Header;
}

void TVdbLockFile::WriteHeader() {
  std::uint8_t Data[kVdbLockHeaderSize];
  FTableLockData.Encode(Data);
  if (FFileSystem->FileWrite(FNetFile, Data, kVdbLockHeaderSize, 0) != kVdbLockHeaderSize)
    RaiseWriteError();
}

std::int64_t TVdbLockFile::SlotPos(std::int32_t Index) const {
  return kVdbLockHeaderSize + static_cast<std::int64_t>(kVdbLockSlotSize) * Index;
}

std::int32_t TVdbLockFile::OwnSlotIndex() const {
  if (FSessionDataPos < 0) return -1;
  return static_cast<std::int32_t>((FSessionDataPos - kVdbLockHeaderSize) / kVdbLockSlotSize);
}

TVdbSessionLockData TVdbLockFile::ReadSlot(std::int32_t Index) {
  std::uint8_t Data[kVdbLockSlotSize] = {};
  const std::int32_t Read =
      FFileSystem->FileRead(FNetFile, Data, kVdbLockSlotWriteSize, SlotPos(Index));
  if (Read != kVdbLockSlotWriteSize) RaiseReadError();
  TVdbSessionLockData Slot;
  Slot.Decode(Data);
  return Slot;
}

void TVdbLockFile::WriteSlot(std::int32_t Index, const TVdbSessionLockData& Slot) {
  std::uint8_t Data[kVdbLockSlotSize];
  Slot.Encode(Data);
  if (FFileSystem->FileWrite(FNetFile, Data, kVdbLockSlotWriteSize, SlotPos(Index)) !=
      kVdbLockSlotWriteSize)
    RaiseWriteError();
}

void TVdbLockFile::ReadOwnSlot() {
  FSessionLockData = ReadSlot(OwnSlotIndex());
  FSessionLockData.VitalSign = 255;
}

void TVdbLockFile::WriteOwnSlot() { WriteSlot(OwnSlotIndex(), FSessionLockData); }

bool TVdbLockFile::IsVitalSignLocked(std::int32_t Index) {
  const std::int64_t Pos = SlotPos(Index) + kVdbLockSlotVitalOffset;
  const std::int32_t Locked = FFileSystem->LockFile(FNetFile, Pos, Pos + 1, true);
  if (Locked == 1) {
    FFileSystem->UnlockFile(FNetFile, Pos, Pos + 1, true);
    return false;
  }
  return true;  // held by its session, or undecidable: never reclaim a slot on a doubt
}

// --- Dead sessions -------------------------------------------------------------------------------

bool TVdbLockFile::ReclaimDeadSessions() {
  TVdbTableLockData Counted = FTableLockData;
  const std::int64_t Size = FileSizeOf(*FFileSystem, FNetFile, kVdbErrFileRead, FFileName);
  const std::int64_t Held = std::max<std::int64_t>(Size - kVdbLockHeaderSize, 0) / kVdbLockSlotSize;
  if (Held < Counted.ItemCount) {
    Counted.ItemCount = static_cast<std::uint16_t>(Held);
    CutFile(*FFileSystem, FNetFile, SlotPos(Counted.ItemCount), kVdbErrNoWriteAccess, FFileName);
  }
  Counted.ReadLocks = Counted.UpgradeLocks = Counted.WriteLocks = 0;
  Counted.LockWaiters = Counted.WriteWaiters = Counted.SessionCount = 0;
  bool FoundDead = false;
  const std::int32_t Own = OwnSlotIndex();
  for (std::int32_t I = 0; I < Counted.ItemCount; ++I) {
    TVdbSessionLockData Slot = I == Own ? FSessionLockData : ReadSlot(I);
    if (Slot.Id == 0) continue;
    if (I != Own && !IsVitalSignLocked(I)) {
      const std::uint8_t Zero[kVdbLockSlotSize] = {};
      if (FFileSystem->FileWrite(FNetFile, Zero, kVdbLockSlotSize, SlotPos(I)) != kVdbLockSlotSize)
        RaiseWriteError();
      FoundDead = true;
      continue;
    }
    ++Counted.SessionCount;
    if (Slot.TableLock == tltRead) ++Counted.ReadLocks;
    if (Slot.TableLock == tltUpgrade) ++Counted.UpgradeLocks;
    if (Slot.TableLock == tltWrite) ++Counted.WriteLocks;
    if (Slot.DesiredLock != tltNone) ++Counted.LockWaiters;
    if (Slot.DesiredLock == tltWrite) ++Counted.WriteWaiters;
  }
  if (Counted.WriteLocks > 0 && Counted.ReadLocks + Counted.WriteLocks > 1)
    throw EVdbEngine(kVdbErrUnknown, "net file contains read and write locks");
  if (Counted.WriteLocks > 0 && Counted.UpgradeLocks > 0)
    throw EVdbEngine(kVdbErrUnknown, "net file contains upgrade and write locks");
  if (!(Counted == FTableLockData)) {
    FTableLockData = Counted;
    WriteHeader();
  }
  if (FoundDead) FHijackPending = true;
  return FoundDead;
}

void TVdbLockFile::FireHijack() {
  // Only outside the mutual exclusion (or with nothing but the exclusive use holding it), so that
  // the handler can lock the table like any caller.
  if (!FHijackPending || FEntered > (FExclusive ? 1 : 0)) return;
  FHijackPending = false;
  if (!FOnHijack) return;
  // The operation that found the dead session has done its work (a lock granted stays granted);
  // a rollback that fails leaves the undo log in place for the next opening of the table.
  try {
    FOnHijack(*this);
  } catch (...) {
  }
}

// --- Log-in and log-out --------------------------------------------------------------------------

TVdbLockFile::TVdbLockFile(TkxFileSystem& FileSystem, std::uint32_t SessionId,
                           std::string SessionName)
    : FFileSystem(&FileSystem),
      FSessionId(SessionId),
      FSessionName(Utf8ToStationName(SessionName)) {}

TVdbLockFile::~TVdbLockFile() {
  try {
    LogOut();
  } catch (...) {
    CloseFiles();
  }
}

std::string TVdbLockFile::LockFileName(const std::string& LockName, std::int16_t TableLevel,
                                       bool IsRelTable) {
  return LockName + (TableLevel >= 6 ? ".vdbl" : IsRelTable ? ".rnt" : ".net");
}

std::string TVdbLockFile::MoveFileName(const std::string& LockName, std::int16_t TableLevel,
                                       bool IsRelTable) {
  return LockName + (TableLevel >= 6 ? ".vdbv" : IsRelTable ? ".rmv" : ".mov");
}

void TVdbLockFile::CreateLockFile() {
  const std::string Dir = DirectoryOf(FFileName);
  if (!Dir.empty() && !FFileSystem->DirectoryExists(Dir)) ForceDirectories(*FFileSystem, Dir);
  const std::int32_t Handle = FFileSystem->CreateFile(FFileName);
  if (Handle < 0) {
    // Another session is creating it right now (it holds it without sharing): open it then.
    if (FFileSystem->GetLastError() == kxErrorSharingViolation) return;
    throw EVdbEngine(kVdbErrNoWriteAccess, FFileName);
  }
  std::uint8_t Data[kVdbLockHeaderSize];
  TVdbTableLockData{}.Encode(Data);
  const bool Written =
      FFileSystem->FileWrite(Handle, Data, kVdbLockHeaderSize, 0) == kVdbLockHeaderSize;
  FFileSystem->CloseFile(Handle);
  if (!Written) throw EVdbEngine(kVdbErrNoWriteAccess, FFileName);
}

void TVdbLockFile::OpenOrCreateLockFile(std::int32_t Mode) {
  for (std::int32_t Tries = 0; Tries <= GetRetryCount(); ++Tries) {
    FNetFile = FFileSystem->OpenFile(FFileName, Mode);
    if (FNetFile >= 0) return;
    const std::int32_t Error = FFileSystem->GetLastError();
    if (Error == kxErrorFileNotFound || Error == kxErrorPathNotFound)
      CreateLockFile();
    else if (Error == kxErrorSharingViolation)
      Pause();
    else
      throw EVdbEngine(kVdbErrLogin, kxFormatArgs{});
  }
  throw EVdbEngine(kVdbErrLogin, kxFormatArgs{});
}

void TVdbLockFile::OpenMoveFile() {
  FMovFile = FFileSystem->OpenFile(FMovFileName, kSharedMode);
  if (FMovFile < 0) {
    const std::int32_t Error = FFileSystem->GetLastError();
    if (Error != kxErrorFileNotFound) throw EVdbEngine(kVdbErrLogin, kxFormatArgs{});
    const std::int32_t Created = FFileSystem->CreateFile(FMovFileName);
    if (Created >= 0)
      FFileSystem->CloseFile(Created);
    else if (FFileSystem->GetLastError() != kxErrorSharingViolation)
      throw EVdbEngine(kVdbErrNoWriteAccess, FMovFileName);
    FMovFile = FFileSystem->OpenFile(FMovFileName, kSharedMode);
    if (FMovFile < 0) throw EVdbEngine(kVdbErrLogin, kxFormatArgs{});
  }
  FMovePos = FileSizeOf(*FFileSystem, FMovFile, kVdbErrLogin, FMovFileName);
}

void TVdbLockFile::CloseFiles() {
  if (FMovFile >= 0) FFileSystem->CloseFile(FMovFile);
  if (FNetFile >= 0) FFileSystem->CloseFile(FNetFile);  // gives every byte-range lock up
  FMovFile = FNetFile = kxInvalidHandle;
  FEntered = 0;
  FExclusive = false;
  FSessionDataPos = -1;
  FTableLock = tltNone;
  FSessionLockData = TVdbSessionLockData{};
}

void TVdbLockFile::LogIn(const std::string& LockName, std::int16_t TableLevel, bool IsRelTable) {
  if (IsLoggedIn()) throw std::logic_error("TVdbLockFile: the session is logged in already");
  if (FSessionId == 0) throw EVdbEngine(kVdbErrInvalidConnectionId, kxFormatArgs{});
  FFileName = LockFileName(LockName, TableLevel, IsRelTable);
  FMovFileName = MoveFileName(LockName, TableLevel, IsRelTable);
  try {
    OpenOrCreateLockFile(kSharedMode);
    {
      TEntered Guard(*this);
      ReclaimDeadSessions();
      std::int32_t Index = 0;
      while (Index < FTableLockData.ItemCount &&
             (ReadSlot(Index).Id != 0 || IsVitalSignLocked(Index)))
        ++Index;
      TVdbSessionLockData Slot;
      Slot.Id = FSessionId;
      Slot.Name = FSessionName;
      Slot.VitalSign = 255;
      std::uint8_t Data[kVdbLockSlotSize];
      Slot.Encode(Data);
      if (FFileSystem->FileWrite(FNetFile, Data, kVdbLockSlotSize, SlotPos(Index)) !=
          kVdbLockSlotSize)
        RaiseWriteError();
      if (Index == FTableLockData.ItemCount) ++FTableLockData.ItemCount;
      ++FTableLockData.SessionCount;
      WriteHeader();
      const std::int64_t Vital = SlotPos(Index) + kVdbLockSlotVitalOffset;
      if (FFileSystem->LockFile(FNetFile, Vital, Vital + 1, true) != 1)
        throw EVdbEngine(kVdbErrLocking, kxFormatArgs{});
      FSessionDataPos = SlotPos(Index);
      FSessionLockData = Slot;
      FTableLock = tltNone;
      FChangeCount = FTableLockData.ChangeCount;
    }
    OpenMoveFile();
  } catch (const EVdbEngine& E) {
    AbandonLogIn();
    // A failed read or byte-range lock is the log-in's own error; the others tell more.
    if (E.Code() == kVdbErrFileRead || E.Code() == kVdbErrLocking)
      throw EVdbEngine(kVdbErrLogin, kxFormatArgs{});
    throw;
  } catch (const std::exception&) {
    AbandonLogIn();
    throw EVdbEngine(kVdbErrLogin, kxFormatArgs{});
  }
  FireHijack();
}

void TVdbLockFile::AbandonLogIn() {
  try {
    LogOut();  // gives a slot already taken back (and removes the files when it was the only one)
  } catch (...) {
  }
  CloseFiles();  // a slot still taken looks dead now and is reclaimed by the next session
}

void TVdbLockFile::LogOut() {
  if (!IsLoggedIn()) return;
  std::int32_t Remaining = 1;
  try {
    TEntered Guard(*this);
    const std::int64_t Vital = FSessionDataPos + kVdbLockSlotVitalOffset;
    FFileSystem->UnlockFile(FNetFile, Vital, Vital + 1, true);
    if (FTableLock >= tltUpgrade) ++FTableLockData.ChangeCount;  // what it wrote counts as a change
    const std::int32_t Own = OwnSlotIndex();
    FSessionDataPos = -1;
    WriteSlot(Own, TVdbSessionLockData{});
    FTableLockData.SessionCount = Less(FTableLockData.SessionCount);
    WriteHeader();
    // The dead sessions' transactions stay in the undo log: the next session that opens the
    // table rolls them back.
    ReclaimDeadSessions();
    FHijackPending = false;
    Remaining = FTableLockData.SessionCount;
  } catch (...) {
    CloseFiles();
    throw;
  }
  if (FEntered > 0) {  // still held exclusively
    FEntered = 1;
    Leave();
  }
  CloseFiles();
  // A session that opened the files meanwhile keeps them: the delete is refused then.
  if (Remaining == 0 && FFileSystem->DeleteFile(FFileName)) FFileSystem->DeleteFile(FMovFileName);
}

// --- Table locks ---------------------------------------------------------------------------------

void TVdbLockFile::CheckFrom(TVdbTableLockType FromLock) const {
  if (!IsLoggedIn()) throw std::logic_error("TVdbLockFile: the session is not logged in");
  if (FromLock != FTableLock)
    throw std::logic_error("TVdbLockFile: the lock level held is not the one given");
}

void TVdbLockFile::GiveUp(TVdbTableLockType Lock) {
  TVdbTableLockData& H = FTableLockData;
  if (Lock == tltRead) H.ReadLocks = Less(H.ReadLocks);
  if (Lock == tltUpgrade) H.UpgradeLocks = 0;
  if (Lock == tltWrite) H.WriteLocks = 0;
  if (Lock == tltUpgrade || Lock == tltWrite) {
    // This session's own change does not make it reload; a change it has not caught up with does.
    if (FChangeCount == H.ChangeCount) ++FChangeCount;
    ++H.ChangeCount;
  }
}

bool TVdbLockFile::TryGrant(TVdbTableLockType FromLock, TVdbTableLockType ToLock) {
  TVdbTableLockData& H = FTableLockData;
  const std::int32_t All = H.ReadLocks + H.UpgradeLocks + H.WriteLocks;
  bool Granted = false;
  switch (ToLock) {
    case tltRead:
      Granted = H.WriteLocks == 0 && H.WriteWaiters == 0;
      if (Granted) ++H.ReadLocks;
      break;
    case tltUpgrade:
      Granted = H.UpgradeLocks == 0 && H.WriteLocks == 0;
      if (Granted) {
        GiveUp(FromLock);
        H.UpgradeLocks = 1;
      }
      break;
    case tltWrite:
      Granted = FromLock == tltNone ? All == 0 : All <= 1;
      if (Granted) {
        GiveUp(FromLock);
        H.WriteLocks = 1;
      }
      break;
    default:
      break;
  }
  if (!Granted) return false;
  FTableLock = ToLock;
  FSessionLockData.TableLock = ToLock;
  WriteOwnSlot();
  WriteHeader();
  return true;
}

void TVdbLockFile::SetWaiting(TVdbTableLockType ToLock, bool Waiting) {
  TVdbTableLockData& H = FTableLockData;
  if (!Waiting) {
    if (FSessionLockData.DesiredLock == tltNone) return;  // withdrawn already
    ToLock = static_cast<TVdbTableLockType>(FSessionLockData.DesiredLock);
  }
  FSessionLockData.DesiredLock = Waiting ? ToLock : tltNone;
  H.LockWaiters = Waiting ? static_cast<std::uint16_t>(H.LockWaiters + 1) : Less(H.LockWaiters);
  if (ToLock == tltWrite)
    H.WriteWaiters =
        Waiting ? static_cast<std::uint16_t>(H.WriteWaiters + 1) : Less(H.WriteWaiters);
  WriteOwnSlot();
  WriteHeader();
}

bool TVdbLockFile::LockTable(TVdbTableLockType FromLock, TVdbTableLockType ToLock, bool Immediate) {
  CheckFrom(FromLock);
  if (ToLock == FromLock) return true;
  if (ToLock < FromLock || ToLock > tltWrite)
    throw std::logic_error("TVdbLockFile: LockTable cannot lower a lock");
  bool Granted = false;
  {
    TEntered Guard(*this);
    Granted = TryGrant(FromLock, ToLock);
    if (!Granted && !Immediate) {
      SetWaiting(ToLock, true);
      FWaiting = true;
      try {
        for (std::int32_t Tries = 0; Tries < GetRetryCount() && !Granted; ++Tries) {
          Guard.Leave();
          Pause();
          Guard.Enter();
          Granted = TryGrant(FromLock, ToLock);
        }
        if (!Granted) {
          ReclaimDeadSessions();
          Granted = TryGrant(FromLock, ToLock);
        }
      } catch (...) {
        FWaiting = false;
        // Do not leave a waiter behind that blocks the readers of the table.
        try {
          if (FEntered == 0) Guard.Enter();
          SetWaiting(ToLock, false);
        } catch (...) {
        }
        throw;
      }
      FWaiting = false;
      SetWaiting(ToLock, false);
    }
  }
  FireHijack();
  return Granted;
}

void TVdbLockFile::UnlockTable(TVdbTableLockType FromLock, TVdbTableLockType ToLock) {
  CheckFrom(FromLock);
  if (ToLock == FromLock) return;
  if (ToLock > FromLock || ToLock == tltWrite)
    throw std::logic_error("TVdbLockFile: UnlockTable cannot raise a lock");
  TEntered Guard(*this);
  GiveUp(FromLock);
  if (ToLock == tltRead) ++FTableLockData.ReadLocks;
  if (ToLock == tltUpgrade) FTableLockData.UpgradeLocks = 1;
  FTableLock = ToLock;
  FSessionLockData.TableLock = ToLock;
  WriteOwnSlot();
  WriteHeader();
}

bool TVdbLockFile::UnlockTableIfRequired(TVdbTableLockType FromLock, TVdbTableLockType ToLock) {
  CheckFrom(FromLock);
  TEntered Guard(*this);
  const std::int32_t OwnWait = FSessionLockData.DesiredLock != tltNone ? 1 : 0;
  if (FTableLockData.LockWaiters <= OwnWait) return false;
  UnlockTable(FromLock, ToLock);
  return true;
}

// --- Record edit locks ---------------------------------------------------------------------------

bool TVdbLockFile::TryLockRecord(std::int32_t RecordNo) {
  if (FTableLockData.WriteLocks > 0 && FTableLock != tltWrite) return false;
  const std::int32_t Own = OwnSlotIndex();
  for (std::int32_t I = 0; I < FTableLockData.ItemCount; ++I) {
    if (I == Own) continue;
    const TVdbSessionLockData Slot = ReadSlot(I);
    if (Slot.Id != 0 && Slot.EditRecNo == RecordNo) return false;
  }
  FSessionLockData.EditRecNo = RecordNo;
  WriteOwnSlot();
  return true;
}

bool TVdbLockFile::LockRecord(std::int32_t RecordNo) {
  CheckFrom(FTableLock);
  if (RecordNo <= 0) return false;
  bool Granted = false;
  {
    TEntered Guard(*this);
    if (FSessionLockData.EditRecNo != 0) return FSessionLockData.EditRecNo == RecordNo;
    Granted = TryLockRecord(RecordNo);
    if (!Granted) {
      Guard.Leave();
      Pause();
      Guard.Enter();
      Granted = TryLockRecord(RecordNo);
    }
    if (!Granted) {
      ReclaimDeadSessions();
      Granted = TryLockRecord(RecordNo);
    }
  }
  FireHijack();
  return Granted;
}

void TVdbLockFile::UnlockRecord() {
  if (!IsLoggedIn() || FSessionLockData.EditRecNo == 0) return;
  TEntered Guard(*this);
  FSessionLockData.EditRecNo = 0;
  WriteOwnSlot();
}

void TVdbLockFile::SwitchRecordLock(std::int32_t From, std::int32_t To) {
  CheckFrom(FTableLock);
  if (From == To || From == 0) return;
  TEntered Guard(*this);
  const std::int32_t Own = OwnSlotIndex();
  for (std::int32_t I = 0; I < FTableLockData.ItemCount; ++I) {
    TVdbSessionLockData Slot = I == Own ? FSessionLockData : ReadSlot(I);
    if (Slot.Id == 0 || Slot.EditRecNo != From) continue;
    Slot.EditRecNo = To;
    WriteSlot(I, Slot);
    if (I == Own) FSessionLockData = Slot;
  }
}

// --- Exclusive use -------------------------------------------------------------------------------

bool TVdbLockFile::LockExclusive() {
  CheckFrom(FTableLock);
  if (FExclusive) return true;
  Enter();
  try {
    if (FTableLockData.SessionCount > 1) ReclaimDeadSessions();
  } catch (...) {
    Leave();
    throw;
  }
  if (FTableLockData.SessionCount <= 1) {
    FExclusive = true;  // the mutual exclusion stays until UnlockExclusive
    FireHijack();
    return true;
  }
  Leave();
  FireHijack();
  return false;
}

void TVdbLockFile::UnlockExclusive() {
  if (!FExclusive) return;
  FExclusive = false;
  Leave();
  FireHijack();
}

// --- Information ---------------------------------------------------------------------------------

bool TVdbLockFile::CheckUpdate() {
  CheckFrom(FTableLock);
  TEntered Guard(*this);
  return FTableLockData.ChangeCount != FChangeCount;
}

std::vector<TVdbLockInfo> TVdbLockFile::GetLockInfo() {
  CheckFrom(FTableLock);
  TEntered Guard(*this);
  std::vector<TVdbLockInfo> Result;
  const std::int32_t Own = OwnSlotIndex();
  for (std::int32_t I = 0; I < FTableLockData.ItemCount; ++I) {
    const TVdbSessionLockData Slot = I == Own ? FSessionLockData : ReadSlot(I);
    if (Slot.Id == 0) continue;
    TVdbLockInfo Info;
    Info.Id = Slot.Id;
    Info.Name = StationNameToUtf8(Slot.Name);
    Info.TableLock =
        static_cast<TVdbTableLockType>(std::min<std::uint8_t>(Slot.TableLock, tltWrite));
    Info.DesiredLock =
        static_cast<TVdbTableLockType>(std::min<std::uint8_t>(Slot.DesiredLock, tltWrite));
    Info.EditRecNo = Slot.EditRecNo;
    Info.Own = I == Own;
    Info.Alive = Info.Own || IsVitalSignLocked(I);
    Result.push_back(std::move(Info));
  }
  return Result;
}

std::int32_t TVdbLockFile::ReadLockWaiters() {
  CheckFrom(FTableLock);
  TEntered Guard(*this);
  return FTableLockData.LockWaiters;
}

void TVdbLockFile::WriteIndexCount(std::int32_t Count) {
  CheckFrom(FTableLock);
  TEntered Guard(*this);
  FTableLockData.IndexCount = static_cast<std::uint16_t>(std::clamp(Count, 0, 0xFFFF));
  WriteHeader();
}

std::int32_t TVdbLockFile::GetSessionCount() {
  if (!IsLoggedIn()) return 0;
  TEntered Guard(*this);
  return FTableLockData.SessionCount;
}

std::int64_t TVdbLockFile::GetTableChangeCount() {
  if (!IsLoggedIn()) return FTableLockData.ChangeCount;
  TEntered Guard(*this);
  return FTableLockData.ChangeCount;
}

std::int32_t TVdbLockFile::GetTableIndexCount() {
  if (!IsLoggedIn()) return FTableLockData.IndexCount;
  TEntered Guard(*this);
  return FTableLockData.IndexCount;
}

// --- Move file -----------------------------------------------------------------------------------

void TVdbLockFile::AddRecordMove(std::int32_t NewRecNo, std::int32_t OldRecNo) {
  CheckFrom(FTableLock);
  TEntered Guard(*this);  // keeps the appends of all sessions whole and in order
  const std::int64_t Size = FileSizeOf(*FFileSystem, FMovFile, kVdbErrNoWriteAccess, FMovFileName);
  std::uint8_t Pair[kVdbMovePairSize];
  TkxMemory::WriteInt32(Pair, 0, NewRecNo);
  TkxMemory::WriteInt32(Pair, 4, OldRecNo);
  if (FFileSystem->FileWrite(FMovFile, Pair, kVdbMovePairSize, Size) != kVdbMovePairSize)
    throw EVdbEngine(kVdbErrNoWriteAccess, FMovFileName);
  if (FMovePos == Size) FMovePos = Size + kVdbMovePairSize;
}

bool TVdbLockFile::ReadRecordMove(std::int32_t& NewRecNo, std::int32_t& OldRecNo) {
  CheckFrom(FTableLock);
  TEntered Guard(*this);
  const std::int64_t Size = FileSizeOf(*FFileSystem, FMovFile, kVdbErrFileRead, FMovFileName);
  if (FMovePos + kVdbMovePairSize > Size) return false;
  std::uint8_t Pair[kVdbMovePairSize];
  if (FFileSystem->FileRead(FMovFile, Pair, kVdbMovePairSize, FMovePos) != kVdbMovePairSize)
    throw EVdbEngine(kVdbErrFileRead, FMovFileName);
  FMovePos += kVdbMovePairSize;
  NewRecNo = TkxMemory::ReadInt32(Pair, 0);
  OldRecNo = TkxMemory::ReadInt32(Pair, 4);
  if (NewRecNo <= 0 || OldRecNo <= 0)
    throw EVdbEngine(kVdbErrUnknown, "invalid record move in \"" + FMovFileName + "\"");
  return true;
}

// --- Undo log ------------------------------------------------------------------------------------

TVdbRedoLog::TVdbRedoLog(TkxFileSystem& FileSystem, std::int32_t RecordSize, bool IsRelTable,
                         std::int16_t TableLevel, const std::string& Name)
    : FFileSystem(&FileSystem),
      FFileName(LogFileName(Name, TableLevel, IsRelTable)),
      FRecordSize(std::max(RecordSize, 0)) {}

TVdbRedoLog::~TVdbRedoLog() { Close(); }

std::string TVdbRedoLog::LogFileName(const std::string& Name, std::int16_t TableLevel,
                                     bool IsRelTable) {
  return Name + (TableLevel >= 6 ? ".vdbr" : IsRelTable ? ".rtr" : ".tra");
}

void TVdbRedoLog::RaiseDamaged() const {
  throw EVdbEngine(kVdbErrUnknown, "the undo log \"" + FFileName + "\" is damaged");
}

void TVdbRedoLog::RaiseWriteError() const { throw EVdbEngine(kVdbErrFileWrite, FFileName); }

void TVdbRedoLog::ReadAt(void* Data, std::int32_t Count, std::int64_t Position) {
  if (FFileSystem->FileRead(FLogFile, Data, Count, Position) != Count) RaiseDamaged();
}

// Takes the ownership of an open log handle: false when another live session holds it.
bool TVdbRedoLog::TakeOwnership(std::int32_t Handle) {
  const std::int32_t Owned =
      FFileSystem->LockFile(Handle, kRedoOwnerByte, kRedoOwnerByte + 1, true);
  if (Owned == 1) {
    FLogFile = Handle;
    return true;
  }
  FFileSystem->CloseFile(Handle);
  if (Owned == 0) return false;
  throw EVdbEngine(kVdbErrLocking, kxFormatArgs{});
}

// Checks the owned log and positions it at its end; a damaged log is closed and reported.
void TVdbRedoLog::AdoptExisting() {
  try {
    const std::int64_t Size = FileSizeOf(*FFileSystem, FLogFile, kVdbErrFileRead, FFileName);
    if (Size == 0) {  // its creator died before it wrote the tag: nothing to undo
      WriteHeader();
      return;
    }
    std::uint8_t Header[kHeaderSize];
    if (Size < kHeaderSize) RaiseDamaged();
    ReadAt(Header, kHeaderSize, 0);
    if (TkxMemory::ReadUInt32(Header, 0) != kTag) RaiseDamaged();
    FPosition = FEnd = Size;
    CheckChain();
  } catch (...) {
    Close();
    throw;
  }
}

bool TVdbRedoLog::NewFile() {
  Close();
  std::int32_t Handle = FFileSystem->OpenFile(FFileName, kSharedMode);
  bool Existed = Handle >= 0;
  if (!Existed) {
    const std::int32_t Error = FFileSystem->GetLastError();
    if (Error == kxErrorSharingViolation) throw EVdbEngine(kVdbErrTableLocked, kxFormatArgs{});
    const std::string Dir = DirectoryOf(FFileName);
    if (Error == kxErrorPathNotFound && !Dir.empty()) ForceDirectories(*FFileSystem, Dir);
    const std::int32_t Created = FFileSystem->CreateFile(FFileName);
    if (Created < 0) RaiseWriteError();
    FFileSystem->CloseFile(Created);
    Handle = FFileSystem->OpenFile(FFileName, kSharedMode);
    if (Handle < 0) RaiseWriteError();
  }
  // A log that another session owns belongs to its transaction, which is still running.
  if (!TakeOwnership(Handle)) throw EVdbEngine(kVdbErrTableLocked, kxFormatArgs{});
  if (Existed) {
    AdoptExisting();
    if (FEnd > kHeaderSize) return false;  // a dead session's actions: to be undone first
  }
  try {
    WriteHeader();
  } catch (...) {
    Close();
    throw;
  }
  return true;
}

void TVdbRedoLog::WriteHeader() {
  std::uint8_t Header[kHeaderSize] = {};
  TkxMemory::WriteUInt32(Header, 0, kTag);
  CutFile(*FFileSystem, FLogFile, kHeaderSize, kVdbErrFileWrite, FFileName);
  if (FFileSystem->FileWrite(FLogFile, Header, kHeaderSize, 0) != kHeaderSize) RaiseWriteError();
  FPosition = FEnd = kHeaderSize;
}

TVdbRedoOpenResult TVdbRedoLog::Open() {
  Close();
  const std::int32_t Handle = FFileSystem->OpenFile(FFileName, kSharedMode);
  if (Handle < 0) {
    const std::int32_t Error = FFileSystem->GetLastError();
    if (Error == kxErrorFileNotFound || Error == kxErrorPathNotFound)
      return TVdbRedoOpenResult::rorMissing;
    if (Error == kxErrorSharingViolation) return TVdbRedoOpenResult::rorInUse;
    throw EVdbEngine(kVdbErrCannotOpenFile, FFileName);
  }
  if (!TakeOwnership(Handle)) return TVdbRedoOpenResult::rorInUse;
  AdoptExisting();
  return TVdbRedoOpenResult::rorOpened;
}

bool TVdbRedoLog::ReadEntryBefore(std::int64_t End, TVdbTableActionKind& Kind, std::int32_t& Number,
                                  std::int64_t& Start, std::int32_t& Length) {
  constexpr std::int32_t kMinEntry = 1 + 4 + 4;
  if (End - kHeaderSize < kMinEntry) RaiseDamaged();
  std::uint8_t Word[5];
  ReadAt(Word, 4, End - 4);
  Length = TkxMemory::ReadInt32(Word, 0);
  if (Length < 5 || Length > End - 4 - kHeaderSize) RaiseDamaged();
  Start = End - 4 - Length;
  ReadAt(Word, 5, Start);
  if (Word[0] > takWideMemo) RaiseDamaged();
  Kind = static_cast<TVdbTableActionKind>(Word[0]);
  Number = TkxMemory::ReadInt32(Word, 1);
  const std::int32_t Payload = Length - 5;
  switch (Kind) {
    case takInsert:
      if (Payload != 0) RaiseDamaged();
      break;
    case takUpdate:
    case takDelete:
      if (Payload != FRecordSize) RaiseDamaged();
      break;
    case takWideMemo:
      if (Payload % 2 != 0) RaiseDamaged();
      break;
    case takBlob:
      break;
  }
  return true;
}

void TVdbRedoLog::CheckChain() {
  std::int64_t Pos = FEnd;
  bool BlobsPending = false;
  while (Pos > kHeaderSize) {
    TVdbTableActionKind Kind;
    std::int32_t Number, Length;
    std::int64_t Start;
    ReadEntryBefore(Pos, Kind, Number, Start, Length);
    if (IsBlobKind(Kind)) {
      BlobsPending = true;
    } else {
      if (Kind == takInsert && BlobsPending) RaiseDamaged();  // old values belong to a record image
      BlobsPending = false;
    }
    Pos = Start;
  }
  if (BlobsPending) RaiseDamaged();
}

bool TVdbRedoLog::ReadPriorAction() {
  if (!IsOpen() || FPosition <= kHeaderSize) return false;
  TVdbRedoBlobs Blobs;
  for (;;) {
    TVdbTableActionKind Kind;
    std::int32_t Number, Length;
    std::int64_t Start;
    ReadEntryBefore(FPosition, Kind, Number, Start, Length);
    const std::int32_t Payload = Length - 5;
    if (IsBlobKind(Kind)) {
      TVdbRedoBlob Blob;
      Blob.Kind = Kind;
      std::vector<std::uint8_t> Data(static_cast<std::size_t>(Payload));
      if (Payload > 0) ReadAt(Data.data(), Payload, Start + 5);
      if (Kind == takBlob) {
        Blob.Data.assign(Data.begin(), Data.end());
      } else {
        Blob.WideData.resize(Data.size() / 2);
        for (std::size_t I = 0; I < Blob.WideData.size(); ++I)
          Blob.WideData[I] = static_cast<char16_t>(TkxMemory::ReadUInt16(Data.data(), I * 2));
      }
      Blobs[Number] = std::move(Blob);
      FPosition = Start;
      if (FPosition <= kHeaderSize) RaiseDamaged();
      continue;
    }
    FLastActionKind = Kind;
    FLastActionRecordNo = Number;
    FLastActionRecBuffer.assign(static_cast<std::size_t>(Payload), 0);
    if (Payload > 0) ReadAt(FLastActionRecBuffer.data(), Payload, Start + 5);
    FLastActionBlobs = std::move(Blobs);
    FPosition = Start;
    return true;
  }
}

void TVdbRedoLog::Undo(TVdbRedoTarget& Target) {
  if (!IsOpen()) throw std::logic_error("TVdbRedoLog: the undo log is not open");
  FPosition = FEnd;
  while (ReadPriorAction()) {
    switch (FLastActionKind) {
      case takInsert:
        Target.UndoInsert(FLastActionRecordNo);
        break;
      case takUpdate:
        Target.UndoUpdate(FLastActionRecordNo, FLastActionRecBuffer, FLastActionBlobs);
        break;
      case takDelete:
        Target.UndoDelete(FLastActionRecordNo, FLastActionRecBuffer, FLastActionBlobs);
        break;
      default:
        RaiseDamaged();
    }
    // Undone: a failure later on (or a crash) must not undo it a second time.
    CutFile(*FFileSystem, FLogFile, FPosition, kVdbErrFileWrite, FFileName);
    FEnd = FPosition;
  }
  Erase();
}

void TVdbRedoLog::WriteAction(TVdbTableActionKind Kind, std::int32_t RecordNo,
                              const std::uint8_t* RecBuffer, const TVdbRedoBlobs* Blobs) {
  if (!IsOpen()) throw std::logic_error("TVdbRedoLog: the undo log is not open");
  std::vector<std::uint8_t> Bytes;
  auto Append = [&Bytes](std::uint8_t EntryKind, std::int32_t Number, const std::uint8_t* Data,
                         std::size_t Size) {
    const std::size_t At = Bytes.size();
    Bytes.resize(At + 5 + Size + 4);
    Bytes[At] = EntryKind;
    TkxMemory::WriteInt32(Bytes.data(), static_cast<std::int64_t>(At + 1), Number);
    if (Size > 0) std::memcpy(Bytes.data() + At + 5, Data, Size);
    TkxMemory::WriteInt32(Bytes.data(), static_cast<std::int64_t>(At + 5 + Size),
                          static_cast<std::int32_t>(5 + Size));
  };
  Append(Kind, RecordNo, RecBuffer, RecBuffer ? static_cast<std::size_t>(FRecordSize) : 0);
  if (Blobs) {
    for (const auto& [Column, Blob] : *Blobs) {
      if (Blob.Kind == takWideMemo && !Blob.WideData.empty()) {
        std::vector<std::uint8_t> Wide(Blob.WideData.size() * 2);
        for (std::size_t I = 0; I < Blob.WideData.size(); ++I)
          TkxMemory::WriteUInt16(Wide.data(), static_cast<std::int64_t>(I * 2), Blob.WideData[I]);
        Append(takWideMemo, Column, Wide.data(), Wide.size());
      } else {
        static const std::string Empty;
        const std::string& Data = Blob.Kind == takBlob ? Blob.Data : Empty;
        Append(takBlob, Column, reinterpret_cast<const std::uint8_t*>(Data.data()), Data.size());
      }
    }
  }
  if (Bytes.size() > 0x7FFFFFF0u) throw EVdbEngine(kVdbErrFileWrite, FFileName);
  // One write for the action and its old values, so that a crash leaves whole actions.
  const auto Count = static_cast<std::int32_t>(Bytes.size());
  if (FFileSystem->FileWrite(FLogFile, Bytes.data(), Count, FEnd) != Count) {
    try {
      FFileSystem->SetFileSize(FLogFile, FEnd);  // no torn entry stays behind
    } catch (const EkxInOutError&) {
    }
    RaiseWriteError();
  }
  FEnd += Count;
  FPosition = FEnd;
}

void TVdbRedoLog::LogInsert(std::int32_t RecordNo) {
  WriteAction(takInsert, RecordNo, nullptr, nullptr);
}

void TVdbRedoLog::LogUpdate(std::int32_t RecordNo, const std::uint8_t* RecBuffer,
                            const TVdbRedoBlobs& Blobs) {
  WriteAction(takUpdate, RecordNo, RecBuffer, &Blobs);
}

void TVdbRedoLog::LogDelete(std::int32_t RecordNo, const std::uint8_t* RecBuffer,
                            const TVdbRedoBlobs& Blobs) {
  WriteAction(takDelete, RecordNo, RecBuffer, &Blobs);
}

void TVdbRedoLog::Close() {
  if (FLogFile >= 0) FFileSystem->CloseFile(FLogFile);  // the ownership ends with the handle
  FLogFile = kxInvalidHandle;
}

void TVdbRedoLog::Erase() {
  if (!IsOpen()) {
    const std::int32_t Handle = FFileSystem->OpenFile(FFileName, kSharedMode);
    if (Handle < 0 || !TakeOwnership(Handle)) return;  // none, or a live session's
  }
  try {
    WriteHeader();  // should the delete fail, an empty log is left, which undoes nothing
  } catch (const EVdbEngine&) {
  }
  Close();
  FPosition = FEnd = 0;
  for (std::int32_t Tries = 0; Tries < 3; ++Tries) {
    if (FFileSystem->DeleteFile(FFileName) || FFileSystem->GetLastError() == kxErrorFileNotFound)
      return;
    TVdbLockFile::Pause();
  }
}

}  // namespace vdb
