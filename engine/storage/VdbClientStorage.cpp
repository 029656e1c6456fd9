// Client storages and page sites of the page manager (declared in VdbPageMan.h).
#include <algorithm>
#include <cstring>
#include <limits>

#include "storage/VdbPageMan.h"
#include "storage/kxFileSystem.h"
#include "storage/kxFormat.h"
#include "storage/kxMemory.h"

namespace vdb {

namespace {

// File-system counts are 32-bit: direct transfers go in pieces of at most this size.
constexpr std::int64_t kDirectChunk = 1 << 30;

}  // namespace

// --- TVdbClientStorage ---------------------------------------------------------------------------

TVdbClientStorage::TVdbClientStorage(TVdbPageManager& PageManager, TkxFileSystem* FileSystem,
                                     std::int32_t ClientHdl,
                                     std::shared_ptr<TVdbStorageCipher> Cryptor)
    : FPageManager(&PageManager),
      FFileSystem(FileSystem),
      FCryptor(std::move(Cryptor)),
      FPageManClientHdl(ClientHdl) {
  // A modified unit records its client's handle, so the handle must read as "modified".
  if (ClientHdl <= 0) {
    throw EVdbPageManager("Creating client storage",
                          kxFormat("Client handle %d is invalid", {ClientHdl}));
  }
  if (FileSystem == nullptr) {
    throw EVdbPageManager("Creating client storage", "No file system given");
  }
}

std::unique_ptr<TVdbClientStorage> TVdbClientStorage::CreateSibling(
    const TVdbClientStorage& Storage) {
  return std::make_unique<TVdbClientStorage>(*Storage.FPageManager, Storage.FFileSystem,
                                             Storage.FPageManClientHdl, Storage.FCryptor);
}

TVdbClientStorage::~TVdbClientStorage() {
  try {
    Close();
  } catch (const std::exception&) {
    // A destructor cannot report; the storage is left by the page manager's own clean-up.
  }
  for (TVdbStoragePageSite* Site : FSites) Site->FClientStorage = nullptr;
}

TVdbStorage& TVdbClientStorage::OpenStorageRef() const {
  return FPageManager->StorageOf(FStorageHdl);
}

void TVdbClientStorage::RequireOpen(const char* Action) const {
  if (!IsOpen()) {
    FPageManager->Raise(
        EVdbPageManager(kxFormat("%s storage \"%s\"", {Action, FName}), "Storage is not open"));
  }
}

std::int32_t TVdbClientStorage::TileSize() const {
  return IsOpen() ? FTileSize : FFileSystem->GetPageSize();
}

void TVdbClientStorage::NewStorage() {
  Close();
  std::lock_guard Lock(FPageManager->CriticalSection());
  if (FPageSize == 0) FPageSize = FFileSystem->GetPageSize();
  if (VdbTilesPerUnit(FPageSize, FFileSystem->GetPageSize()) == 0) {
    FPageManager->Raise(EVdbPageManager("Cannot create storage " + FName,
                                        kxFormat("Page size %d is not supported", {FPageSize})));
  }
  FStorageHdl = FPageManager->CreateStorage(FName, FFileSystem, FCryptor);
  FChangeGeneration = &OpenStorageRef().FChangeGeneration;
  NoteChange();
  OpenStorageRef().FPageSize = FPageSize;
  FTileSize = OpenStorageRef().FTileSize;
  FReadOnly = false;
  FExclusive = false;
  FWorkPage = CreatePageSite();
}

void TVdbClientStorage::Open(bool ReadOnly, bool Exclusive) {
  Close();
  std::lock_guard Lock(FPageManager->CriticalSection());
  const std::int32_t TileSize = FFileSystem->GetPageSize();
  if (FPageSize != 0 && VdbTilesPerUnit(FPageSize, TileSize) == 0) {
    FPageManager->Raise(EVdbPageManager(kxFormat("Cannot open storage \"%s\"", {FName}),
                                        kxFormat("Page size %d is not supported", {FPageSize})));
  }
  FStorageHdl = FPageManager->OpenStorage(FName, FFileSystem, ReadOnly, Exclusive, FCryptor);
  FChangeGeneration = &OpenStorageRef().FChangeGeneration;
  JoinPageSize(OpenStorageRef());
  FTileSize = OpenStorageRef().FTileSize;
  FReadOnly = ReadOnly;
  FExclusive = Exclusive;
  FWorkPage = CreatePageSite();
}

// The page size is the storage's when a client set one, else this client's (which the storage
// takes), else the tile size.
void TVdbClientStorage::JoinPageSize(TVdbStorage& Storage) {
  if (Storage.FPageSize != 0) {
    FPageSize = Storage.FPageSize;
  } else if (FPageSize != 0) {
    Storage.FPageSize = FPageSize;
  } else {
    FPageSize = Storage.FTileSize;
  }
}

void TVdbClientStorage::Close() {
  if (!IsOpen()) return;
  UnbindAllSites();
  FWorkPage.reset();
  std::lock_guard Lock(FPageManager->CriticalSection());
  const TVdbStorageHdl StorageHdl = FStorageHdl;
  FStorageHdl = 0;
  FChangeGeneration = nullptr;
  FPageManager->CloseStorage(StorageHdl);
}

void TVdbClientStorage::Flush() {
  RequireOpen("Flushing");
  FPageManager->FlushStorage(FStorageHdl);
}

void TVdbClientStorage::Invalidate() {
  RequireOpen("Invalidating");
  FPageManager->InvalidateStorage(FStorageHdl);
}

void TVdbClientStorage::Undo() {
  RequireOpen("Undoing changes of");
  FPageManager->UndoStorage(FStorageHdl);
}

void TVdbClientStorage::UpdateDir() {
  RequireOpen("Updating directory of");
  FPageManager->UpdateStorageDir(FStorageHdl);
}

std::int64_t TVdbClientStorage::GetSize() const {
  if (!IsOpen()) return 0;
  std::lock_guard Lock(FPageManager->CriticalSection());
  const TVdbStorage& Storage = OpenStorageRef();
  return static_cast<std::int64_t>(Storage.TileCount()) * Storage.TileSize();
}

std::int32_t TVdbClientStorage::GetPageCount() const {
  if (!IsOpen() || FPageSize <= 0) return 0;
  return static_cast<std::int32_t>((GetSize() + FPageSize - 1) / FPageSize);
}

void TVdbClientStorage::SetPageCount(std::int32_t PageCount) {
  RequireOpen("Resizing");
  NoteChange();
  std::lock_guard Lock(FPageManager->CriticalSection());
  const std::int32_t TileSize = OpenStorageRef().TileSize();
  const std::int64_t Tiles =
      (static_cast<std::int64_t>(std::max(PageCount, 0)) * FPageSize + TileSize - 1) / TileSize;
  if (Tiles > std::numeric_limits<std::int32_t>::max()) {
    FPageManager->Raise(EVdbPageManager(kxFormat("Resizing storage \"%s\"", {FName}),
                                        kxFormat("Page count %d is too large", {PageCount})));
  }
  if (Tiles == OpenStorageRef().TileCount()) return;
  FWorkPage->UnloadPage();
  FPageManager->SetStorageTileCount(FStorageHdl, static_cast<std::int32_t>(Tiles));
}

void TVdbClientStorage::SetPageSize(std::int32_t PageSize) {
  if (VdbTilesPerUnit(PageSize, TileSize()) == 0) {
    FPageManager->Raise(EVdbPageManager(kxFormat("Setting page size of storage \"%s\"", {FName}),
                                        kxFormat("Page size %d is not supported", {PageSize})));
  }
  if (!IsOpen()) {
    FPageSize = PageSize;
    return;
  }
  std::lock_guard Lock(FPageManager->CriticalSection());
  FPageManager->SetStoragePageSize(FStorageHdl, PageSize);
  const bool Changed = PageSize != FPageSize;
  FPageSize = PageSize;
  if (!Changed) return;
  // This client's sites stay on their page numbers, now cut with the new size.
  for (TVdbStoragePageSite* Site : FSites) {
    if (!Site->IsBound()) continue;
    if (Site->FPageNo < GetPageCount()) {
      Site->Bind(Site->FPageNo, false);
    } else {
      Site->UnloadPage();
    }
  }
}

bool TVdbClientStorage::GetReadOnly() const {
  if (!IsOpen()) return FReadOnly;
  std::lock_guard Lock(FPageManager->CriticalSection());
  return FReadOnly || OpenStorageRef().FReadOnly;
}

bool TVdbClientStorage::GetExclusive() const {
  if (!IsOpen()) return FExclusive;
  std::lock_guard Lock(FPageManager->CriticalSection());
  return OpenStorageRef().FExclusive;
}

std::unique_ptr<TVdbStoragePageSite> TVdbClientStorage::CreatePageSite() {
  return std::make_unique<TVdbStoragePageSite>(*this);
}

std::unique_ptr<TVdbStoragePageSite> TVdbClientStorage::NewPage(std::int32_t PageNo) {
  auto Site = CreatePageSite();
  Site->InitPage(PageNo);
  return Site;
}

std::unique_ptr<TVdbStoragePageSite> TVdbClientStorage::ReadPage(std::int32_t PageNo) {
  auto Site = CreatePageSite();
  Site->LoadPage(PageNo);
  return Site;
}

std::int64_t TVdbClientStorage::ReadDirect(void* Buffer, std::int64_t Size, std::int64_t Pos) {
  RequireOpen("Reading");
  std::lock_guard Lock(FPageManager->CriticalSection());
  TVdbStorage& Storage = OpenStorageRef();
  auto* Data = static_cast<std::uint8_t*>(Buffer);
  std::int64_t Done = 0;
  while (Done < Size) {
    const auto Count = static_cast<std::int32_t>(std::min(Size - Done, kDirectChunk));
    const std::int32_t Read = FFileSystem->FileRead(Storage.FFileHdl, Data + Done, Count, Pos + Done);
    if (Read < 0) return Done > 0 ? Done : Read;
    Done += Read;
    if (Read < Count) break;
  }
  return Done;
}

std::int64_t TVdbClientStorage::WriteDirect(const void* Buffer, std::int64_t Size,
                                            std::int64_t Pos) {
  RequireOpen("Writing");
  std::lock_guard Lock(FPageManager->CriticalSection());
  TVdbStorage& Storage = OpenStorageRef();
  const auto* Data = static_cast<const std::uint8_t*>(Buffer);
  std::int64_t Done = 0;
  while (Done < Size) {
    const auto Count = static_cast<std::int32_t>(std::min(Size - Done, kDirectChunk));
    const std::int32_t Written =
        FFileSystem->FileWrite(Storage.FFileHdl, Data + Done, Count, Pos + Done);
    if (Written < 0) {
      if (Done == 0) return Written;
      break;
    }
    Done += Written;
    if (Written < Count) break;
  }
  // Cached copies of the range keep agreeing with the file, and a file that grew keeps its end.
  FPageManager->WriteThroughCache(Storage, Data, Done, Pos);
  const std::int64_t Tiles = (Pos + Done + Storage.FTileSize - 1) / Storage.FTileSize;
  if (Done > 0 && Tiles > Storage.FTileCount) {
    Storage.FTileCount = static_cast<std::int32_t>(
        std::min<std::int64_t>(Tiles, std::numeric_limits<std::int32_t>::max()));
  }
  return Done;
}

void TVdbClientStorage::AttachSite(TVdbStoragePageSite* Site) { FSites.push_back(Site); }

void TVdbClientStorage::DetachSite(TVdbStoragePageSite* Site) {
  FSites.erase(std::remove(FSites.begin(), FSites.end(), Site), FSites.end());
}

void TVdbClientStorage::UnbindAllSites() {
  for (TVdbStoragePageSite* Site : FSites) Site->Release();
}

// --- TVdbStoragePageSite -------------------------------------------------------------------------

TVdbStoragePageSite::TVdbStoragePageSite(TVdbClientStorage& ClientStorage)
    : FClientStorage(&ClientStorage) {
  ClientStorage.AttachSite(this);
}

TVdbStoragePageSite::~TVdbStoragePageSite() {
  if (FClientStorage == nullptr) return;
  try {
    Release();
  } catch (const std::exception&) {
    // Letting go of a unit does not fail; nothing to report from a destructor.
  }
  FClientStorage->DetachSite(this);
}

std::unique_ptr<TVdbStoragePageSite> TVdbStoragePageSite::CreateSibling() const {
  if (FClientStorage == nullptr) {
    throw EVdbPageManager("Creating page site", "The client storage is gone");
  }
  return std::make_unique<TVdbStoragePageSite>(*FClientStorage);
}

std::int32_t TVdbStoragePageSite::GetPageSize() const {
  return FClientStorage ? FClientStorage->GetPageSize() : 0;
}

void TVdbStoragePageSite::InitPage(std::int32_t PageNo) {
  Bind(PageNo, true);
  FClientStorage->NoteChange();
}

void TVdbStoragePageSite::LoadPage(std::int32_t PageNo) {
  if (!Rebound(PageNo)) Bind(PageNo, false);
}

// A page inside the unit the site holds needs no lock: a held unit is never pooled or resized,
// and one that is not stale lies inside the file.
bool TVdbStoragePageSite::Rebound(std::int32_t PageNo) {
  const TVdbStoragePage* Unit = FStorageTile;
  if (Unit == nullptr || Unit->IsStale() || PageNo < 0 || FClientStorage == nullptr) return false;
  const TVdbClientStorage& Client = *FClientStorage;
  if (Unit->FStorageHdl != Client.FStorageHdl) return false;
  const TVdbPageLocation Location = VdbLocatePage(PageNo, Client.FPageSize, Client.FTileSize);
  if (Location.FirstTile != Unit->FTileNo ||
      Unit->FMemorySize < static_cast<std::int64_t>(Location.TileCount) * Client.FTileSize) {
    return false;
  }
  FPageNo = PageNo;
  FTileOffset = Location.Offset;
  return true;
}

void TVdbStoragePageSite::UnloadPage() { Release(); }

void TVdbStoragePageSite::Bind(std::int32_t PageNo, bool MayCreate) {
  TVdbClientStorage* Client = FClientStorage;
  if (Client == nullptr) throw EVdbPageManager("Loading page", "The client storage is gone");
  TVdbPageManager& Manager = *Client->FPageManager;
  const auto Invalid = [&] {
    return EVdbPageManager(
        kxFormat("Loading page %d of storage \"%s\"", {PageNo, Client->FName}),
        "Page no is invalid");
  };
  Client->RequireOpen("Loading a page of");
  std::lock_guard Lock(Manager.CriticalSection());
  TVdbStorage& Storage = Manager.StorageOf(Client->FStorageHdl);
  const std::int64_t PageCount =
      (static_cast<std::int64_t>(Storage.FTileCount) * Storage.FTileSize + Client->FPageSize - 1) /
      Client->FPageSize;
  if (PageNo < 0 || (!MayCreate && PageNo >= PageCount)) Manager.Raise(Invalid());

  const TVdbPageLocation Location = VdbLocatePage(PageNo, Client->FPageSize, Storage.FTileSize);
  if (Location.FirstTile + Location.TileCount > std::numeric_limits<std::int32_t>::max()) {
    Manager.Raise(Invalid());
  }
  if (Rebound(PageNo)) return;
  Release();
  const auto FirstTile = static_cast<std::int32_t>(Location.FirstTile);
  TVdbStoragePage* Unit =
      FirstTile < Storage.FTileCount
          ? Manager.ReadStorageTile(Client->FPageManClientHdl, Client->FStorageHdl, FirstTile,
                                    Location.TileCount)
          : Manager.NewStorageTile(Client->FPageManClientHdl, Client->FStorageHdl, FirstTile,
                                   Location.TileCount);
  Storage.LockPage(*Unit);
  ++Client->FReadCount;
  FStorageTile = Unit;
  FPageNo = PageNo;
  FTileOffset = Location.Offset;
}

void TVdbStoragePageSite::Release() {
  TVdbStoragePage* Unit = FStorageTile;
  FStorageTile = nullptr;
  FPageNo = -1;
  FTileOffset = 0;
  if (Unit == nullptr || FClientStorage == nullptr) return;
  TVdbClientStorage& Client = *FClientStorage;
  const std::int32_t TileSize = Client.TileSize();
  const std::int64_t Expected =
      static_cast<std::int64_t>(VdbTilesPerUnit(Client.FPageSize, TileSize)) * TileSize;
  Client.FPageManager->UnlockUnit(*Unit, Expected);
}

// A stale unit is read again; a site that lost its page says so instead of touching memory.
void TVdbStoragePageSite::Rebind() {
  if (FStorageTile == nullptr) {
    const std::string Name = FClientStorage ? FClientStorage->FName : std::string();
    throw EVdbPageManager(kxFormat("Accessing page of storage \"%s\"", {Name}),
                          "No page is loaded");
  }
  const std::int32_t PageNo = FPageNo;
  Bind(PageNo, false);
}

void TVdbStoragePageSite::MovePage(std::int32_t PageNo) {
  const std::uint8_t* Source = PageMemory();
  if (PageNo == FPageNo) return;
  const std::int32_t PageSize = GetPageSize();
  TVdbStoragePageSite* Work = FClientStorage->FWorkPage.get();
  if (Work == nullptr || Work == this) {
    // The work page itself moves: its content goes through a buffer.
    std::vector<std::uint8_t> Buffer(Source, Source + PageSize);
    InitPage(PageNo);
    CopyFrom(Buffer.data(), 0, PageSize, 0);
    return;
  }
  Work->InitPage(PageNo);
  Work->CopyFrom(*this, 0, PageSize, 0);
  InitPage(PageNo);
  Work->UnloadPage();
}

void TVdbStoragePageSite::Modify() {
  if (FClientStorage != nullptr) FClientStorage->NoteChange();
  TVdbStoragePage* Unit = FStorageTile;
  if (Unit == nullptr || Unit->IsStale()) {
    PageMemory();
    Unit = FStorageTile;
  }
  if (Unit->ClientHdl() > 0) return;
  FClientStorage->FPageManager->MarkModified(*Unit, FClientStorage->FPageManClientHdl);
}

std::uint8_t* TVdbStoragePageSite::Span(std::int32_t Offset, std::int64_t Count) {
  std::uint8_t* Memory = PageMemory();
  if (Offset < 0 || Count < 0 || Offset + Count > GetPageSize()) {
    throw EVdbPageManager(
        kxFormat("Accessing page %d of storage \"%s\"", {FPageNo, FClientStorage->FName}),
        kxFormat("Offset %d is out of range", {Offset}));
  }
  return Memory + Offset;
}

std::uint8_t* TVdbStoragePageSite::WritableSpan(std::int32_t Offset, std::int64_t Count) {
  std::uint8_t* Target = Span(Offset, Count);
  Modify();
  return Target;
}

std::uint8_t* TVdbStoragePageSite::GetAddress(std::int32_t Offset) { return Span(Offset, 0); }

std::int8_t TVdbStoragePageSite::ReadInt8(std::int32_t Offset) {
  return TkxMemory::ReadInt8(Span(Offset, 1), 0);
}

std::int16_t TVdbStoragePageSite::ReadInt16(std::int32_t Offset) {
  return TkxMemory::ReadInt16(Span(Offset, 2), 0);
}

std::int32_t TVdbStoragePageSite::ReadInt32(std::int32_t Offset) {
  return TkxMemory::ReadInt32(Span(Offset, 4), 0);
}

void TVdbStoragePageSite::WriteInt8(std::int32_t Offset, std::int8_t Value) {
  TkxMemory::WriteInt8(WritableSpan(Offset, 1), 0, Value);
}

void TVdbStoragePageSite::WriteInt16(std::int32_t Offset, std::int16_t Value) {
  TkxMemory::WriteInt16(WritableSpan(Offset, 2), 0, Value);
}

void TVdbStoragePageSite::WriteInt32(std::int32_t Offset, std::int32_t Value) {
  TkxMemory::WriteInt32(WritableSpan(Offset, 4), 0, Value);
}

std::string TVdbStoragePageSite::ReadWPAnsiString(std::int32_t Offset) {
  const std::uint8_t* Start = Span(Offset, 2);
  return TkxMemory::ReadWPAnsiString(Start, 0, GetPageSize() - Offset);
}

std::string TVdbStoragePageSite::ReadWPWideString(std::int32_t Offset) {
  const std::uint8_t* Start = Span(Offset, 2);
  return TkxMemory::ReadWPWideString(Start, 0, GetPageSize() - Offset);
}

void TVdbStoragePageSite::WriteWPAnsiString(std::int32_t Offset, std::string_view Value) {
  WriteWPAnsiString(Value, Offset);
}

void TVdbStoragePageSite::WriteWPWideString(std::int32_t Offset, std::string_view Value) {
  WriteWPWideString(Value, Offset);
}

// The room is checked before anything is written, so a text that does not fit leaves the page
// as it was.
void TVdbStoragePageSite::WriteWPAnsiString(std::string_view Value, std::int32_t& Offset) {
  const std::int64_t Needed = 2 + std::min<std::int64_t>(Value.size(), 65535);
  Offset += static_cast<std::int32_t>(
      TkxMemory::WriteWPAnsiString(WritableSpan(Offset, Needed), 0, Value));
}

void TVdbStoragePageSite::WriteWPWideString(std::string_view Value, std::int32_t& Offset) {
  const std::int64_t Units = TkxMemory::Utf8ToUtf16(Value).size();
  const std::int64_t Needed = 2 + 2 * std::min<std::int64_t>(Units, 65535);
  Offset += static_cast<std::int32_t>(
      TkxMemory::WriteWPWideString(WritableSpan(Offset, Needed), 0, Value));
}

void TVdbStoragePageSite::Copy(std::int32_t OffsetFrom, std::int32_t OffsetTo,
                               std::int32_t Count) {
  const std::uint8_t* Source = Span(OffsetFrom, Count);
  std::memmove(WritableSpan(OffsetTo, Count), Source, static_cast<std::size_t>(Count));
}

void TVdbStoragePageSite::CopyFrom(const void* Source, std::int32_t OffsetFrom,
                                   std::int32_t Count, std::int32_t OffsetTo) {
  std::memmove(WritableSpan(OffsetTo, Count), static_cast<const std::uint8_t*>(Source) + OffsetFrom,
               static_cast<std::size_t>(Count));
}

void TVdbStoragePageSite::CopyFrom(TVdbStoragePageSite& Source, std::int32_t OffsetFrom,
                                   std::int32_t Count, std::int32_t OffsetTo) {
  const std::uint8_t* From = Source.Span(OffsetFrom, Count);
  std::memmove(WritableSpan(OffsetTo, Count), From, static_cast<std::size_t>(Count));
}

void TVdbStoragePageSite::CopyTo(std::int32_t OffsetFrom, void* Dest, std::int32_t Count,
                                 std::int32_t OffsetTo) {
  std::memcpy(static_cast<std::uint8_t*>(Dest) + OffsetTo, Span(OffsetFrom, Count),
              static_cast<std::size_t>(Count));
}

// --- Flush modes ---------------------------------------------------------------------------------

bool VdbDatabaseFlushesDeeply(TVdbFlushMode DatabaseMode) { return DatabaseMode == tfmSecure; }

bool VdbTableAsksDeepFlush(TVdbFlushMode TableMode, TVdbFlushMode DatabaseMode) {
  switch (TableMode) {
    case tfmSecure: return true;
    case tfmDefault: return DatabaseMode == tfmSecure;
    case tfmFast: return false;
  }
  return false;
}

bool TVdbDirUpdateCounter::CountFlush(bool DeepFlush) {
  if (DeepFlush || FCount >= kFlushesPerUpdate) {
    FCount = 0;
    return true;
  }
  ++FCount;
  return false;
}

bool VdbFlushStorages(const std::vector<TVdbClientStorage*>& Storages, bool UpdateDir,
                      std::string* Error) {
  bool Ok = true;
  const auto Each = [&](void (TVdbClientStorage::*Operation)()) {
    for (TVdbClientStorage* Storage : Storages) {
      if (Storage == nullptr || !Storage->IsOpen()) continue;
      try {
        (Storage->*Operation)();
      } catch (const EVdbPageManager& Failure) {
        if (Ok && Error != nullptr) *Error = Failure.what();
        Ok = false;
      }
    }
  };
  Each(&TVdbClientStorage::Flush);
  if (UpdateDir) Each(&TVdbClientStorage::UpdateDir);
  return Ok;
}

}  // namespace vdb
