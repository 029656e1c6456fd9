// The page manager: file-system registry, storages, cached units, pools and the cache limit.
#include "storage/VdbPageMan.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "storage/kxFileSystem.h"
#include "storage/kxFormat.h"

namespace vdb {

namespace {

constexpr char kLogSource[] = "Page Manager";
constexpr std::size_t kMinHashBuckets = 64;

std::size_t BucketCountFor(std::int32_t TileCount) {
  return std::max<std::size_t>(kMinHashBuckets, static_cast<std::size_t>(TileCount) / 10);
}

// Location and file names ignore case, as they do on the platform the files come from.
bool PMSameName(const std::string& A, const std::string& B) {
  if (A == B) return true;
  return icu::UnicodeString::fromUTF8(A).caseCompare(icu::UnicodeString::fromUTF8(B),
                                                     U_FOLD_CASE_DEFAULT) == 0;
}

std::int32_t PMTileCountForSize(std::int64_t FileSize, std::int32_t TileSize) {
  return static_cast<std::int32_t>((FileSize + TileSize - 1) / TileSize);
}

}  // namespace

namespace {
// Each storage's change numbers start in a range of their own.
std::atomic<std::uint64_t> gChangeGenerationBase{1};
}  // namespace

std::int32_t VdbTilesPerUnit(std::int32_t PageSize, std::int32_t TileSize) {
  if (PageSize <= 0 || TileSize <= 0) return 0;
  // Page and tile sizes nearly always divide one another; this runs for every page bound.
  if (TileSize % PageSize == 0) return TileSize <= kVdbMaxUnitSize ? 1 : 0;
  if (PageSize % TileSize == 0) return PageSize <= kVdbMaxUnitSize ? PageSize / TileSize : 0;
  const std::int64_t Lcm = std::lcm<std::int64_t>(PageSize, TileSize);
  if (Lcm > kVdbMaxUnitSize) return 0;
  return static_cast<std::int32_t>(Lcm / TileSize);
}

TVdbPageLocation VdbLocatePage(std::int32_t PageNo, std::int32_t PageSize, std::int32_t TileSize) {
  const std::int32_t TilesPerUnit = VdbTilesPerUnit(PageSize, TileSize);
  const std::int64_t Position = static_cast<std::int64_t>(PageNo) * PageSize;
  const std::int64_t FirstTile = Position / TileSize / TilesPerUnit * TilesPerUnit;
  return {FirstTile, TilesPerUnit, Position - FirstTile * TileSize};
}

// --- Exceptions ----------------------------------------------------------------------------------

EVdbPageManager::EVdbPageManager(const std::string& Message) : std::runtime_error(Message) {}

EVdbPageManager::EVdbPageManager(const std::string& Context, const std::string& Reason)
    : std::runtime_error(Context + ": " + Reason) {}

// --- TVdbStoragePage -----------------------------------------------------------------------------

TVdbStoragePage::TVdbStoragePage(TVdbPageManager* PageManager, std::int64_t MemorySize)
    : FPageManager(PageManager),
      FMemory(std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(MemorySize))),
      FMemorySize(MemorySize) {}

// --- TVdbStorage ---------------------------------------------------------------------------------

TVdbStorage::TVdbStorage(std::string Name, TkxFileSystem* FileSystem, bool ReadOnly,
                         bool Exclusive, std::int32_t FileHdl,
                         std::shared_ptr<TVdbStorageCipher> Encryption, std::int32_t TileSize,
                         std::int32_t TileCount)
    : FName(std::move(Name)),
      FFileSystem(FileSystem),
      FReadOnly(ReadOnly),
      FExclusive(Exclusive),
      FFileHdl(FileHdl),
      FEncryption(std::move(Encryption)),
      FTileSize(TileSize),
      FTileCount(TileCount),
      FCachedPages(BucketCountFor(TileCount)),
      FChangeGeneration(gChangeGenerationBase.fetch_add(std::uint64_t{1} << 32)) {}

TVdbStorage::~TVdbStorage() {
  // Unlink the chains one page at a time instead of letting them free each other recursively.
  for (auto& Head : FCachedPages) {
    while (Head) Head = std::move(Head->FNextInHash);
  }
}

TVdbStoragePage* TVdbStorage::FindPage(std::int32_t TileNo, std::int64_t MemorySize) const {
  const auto& Head = FCachedPages[static_cast<std::size_t>(TileNo) % FCachedPages.size()];
  for (TVdbStoragePage* Page = Head.get(); Page != nullptr; Page = Page->FNextInHash.get()) {
    if (Page->FTileNo == TileNo && !Page->IsStale() && Page->FMemorySize >= MemorySize) {
      return Page;
    }
  }
  return nullptr;
}

void TVdbStorage::AppendPage(std::unique_ptr<TVdbStoragePage> Page) {
  if (FCachedCount >= FCachedPages.size()) GrowHashTable();
  auto* Link = &FCachedPages[static_cast<std::size_t>(Page->FTileNo) % FCachedPages.size()];
  while (*Link) Link = &(*Link)->FNextInHash;
  Counted(*Page, +1);
  *Link = std::move(Page);
}

void TVdbStorage::Counted(const TVdbStoragePage& Page, int Direction) {
  FCachedCount += Direction;
  FCachedBytes += Direction * Page.FMemorySize;
  if (IsReleasable(Page)) FReleasableCount += Direction;
}

void TVdbStorage::SetPageState(TVdbStoragePage& Page, std::int32_t ClientHdl) {
  const bool Before = IsReleasable(Page);
  Page.FClientHdl.store(ClientHdl, std::memory_order_relaxed);
  FReleasableCount += static_cast<int>(IsReleasable(Page)) - static_cast<int>(Before);
}

void TVdbStorage::LockPage(TVdbStoragePage& Page) {
  if (IsReleasable(Page)) --FReleasableCount;
  ++Page.FLocks;
}

void TVdbStorage::UnlockPage(TVdbStoragePage& Page) {
  --Page.FLocks;
  if (IsReleasable(Page)) ++FReleasableCount;
}

// A file that grew far beyond its size at opening would otherwise end up with long chains.
void TVdbStorage::GrowHashTable() {
  std::vector<std::unique_ptr<TVdbStoragePage>> Old(FCachedPages.size() * 2);
  Old.swap(FCachedPages);
  // Reinserting chain by chain keeps the order of pages of the same tile.
  for (auto& Head : Old) {
    while (Head) {
      auto Page = std::move(Head);
      Head = std::move(Page->FNextInHash);
      auto* Link = &FCachedPages[static_cast<std::size_t>(Page->FTileNo) % FCachedPages.size()];
      while (*Link) Link = &(*Link)->FNextInHash;
      *Link = std::move(Page);
    }
  }
}

std::unique_ptr<TVdbStoragePage> TVdbStorage::RemovePage(TVdbStoragePage* Page) {
  auto* Link = &FCachedPages[static_cast<std::size_t>(Page->FTileNo) % FCachedPages.size()];
  while (*Link && Link->get() != Page) Link = &(*Link)->FNextInHash;
  if (!*Link) return nullptr;
  auto Removed = std::move(*Link);
  *Link = std::move(Removed->FNextInHash);
  Counted(*Removed, -1);
  return Removed;
}

std::vector<std::unique_ptr<TVdbStoragePage>> TVdbStorage::RemovePages(
    const std::function<bool(const TVdbStoragePage&)>& Take) {
  std::vector<std::unique_ptr<TVdbStoragePage>> Removed;
  for (auto& Head : FCachedPages) {
    auto* Link = &Head;
    while (*Link) {
      if (Take(**Link)) {
        auto Page = std::move(*Link);
        *Link = std::move(Page->FNextInHash);
        Counted(*Page, -1);
        Removed.push_back(std::move(Page));
      } else {
        Link = &(*Link)->FNextInHash;
      }
    }
  }
  return Removed;
}

void TVdbStorage::ForEachPage(const std::function<void(TVdbStoragePage&)>& Visit) const {
  for (const auto& Head : FCachedPages) {
    for (TVdbStoragePage* Page = Head.get(); Page != nullptr; Page = Page->FNextInHash.get()) {
      Visit(*Page);
    }
  }
}

void TVdbStorage::PushModified(TVdbStoragePage* Page) {
  Page->FNextModified = FFirstModifiedPage;
  FFirstModifiedPage = Page;
}

void TVdbStorage::KeepModifiedIf(const std::function<bool(const TVdbStoragePage&)>& Keep) {
  TVdbStoragePage** Link = &FFirstModifiedPage;
  while (*Link != nullptr) {
    TVdbStoragePage* Page = *Link;
    if (Keep(*Page)) {
      Link = &Page->FNextModified;
    } else {
      *Link = Page->FNextModified;
      Page->FNextModified = nullptr;
    }
  }
}

// --- TVdbFileSystemEntry -------------------------------------------------------------------------

TVdbFileSystemEntry::TVdbFileSystemEntry(std::string Name,
                                         std::unique_ptr<TkxFileSystem> FileSystem)
    : FName(std::move(Name)), FFileSystem(std::move(FileSystem)) {}

TVdbFileSystemEntry::~TVdbFileSystemEntry() = default;

// --- TVdbPageManager: life and registry ----------------------------------------------------------

TVdbPageManager::TVdbPageManager() = default;

TVdbPageManager::~TVdbPageManager() {
  std::lock_guard Lock(FCriticalSection);
  // Storages still open at the end give back their file handles before their file systems go.
  for (auto& Storage : FStorages) {
    if (Storage && Storage->FFileSystem && TkxFileSystem::IsValidHandle(Storage->FFileHdl)) {
      Storage->FFileSystem->CloseFile(Storage->FFileHdl);
    }
  }
  FStorages.clear();
  FTileCaches.clear();
  for (auto& Entry : FFileSystems) {
    try {
      Entry->FFileSystem->Close();
    } catch (const std::exception&) {
      // Nothing can be reported any more when the process ends.
    }
  }
  FFileSystems.clear();
}

TVdbPageManager& TVdbPageManager::Instance() {
  static TVdbPageManager Manager;
  return Manager;
}

void TVdbPageManager::RegisterClient(std::int32_t /*ClientHdl*/, std::int32_t CacheSize) {
  std::lock_guard Lock(FCriticalSection);
  FCacheLimit += static_cast<std::int64_t>(CacheSize) * 1024;
}

void TVdbPageManager::UnregisterClient(std::int32_t /*ClientHdl*/, std::int32_t CacheSize) {
  std::lock_guard Lock(FCriticalSection);
  FCacheLimit = std::max<std::int64_t>(0, FCacheLimit - static_cast<std::int64_t>(CacheSize) * 1024);
  EnforceCacheLimit();
}

TVdbFileSystemEntry* TVdbPageManager::FindEntry(const std::string& Name) const {
  for (const auto& Entry : FFileSystems) {
    if (PMSameName(Entry->FName, Name)) return Entry.get();
  }
  return nullptr;
}

int TVdbPageManager::AddFileSystem(const std::string& Name,
                                   std::unique_ptr<TkxFileSystem>&& FileSystem) {
  std::lock_guard Lock(FCriticalSection);
  if (!FileSystem || FindEntry(Name) != nullptr) return 0;
  FFileSystems.push_back(std::make_unique<TVdbFileSystemEntry>(Name, std::move(FileSystem)));
  return 1;
}

TkxFileSystem* TVdbPageManager::GetFileSystem(const std::string& Name) {
  std::lock_guard Lock(FCriticalSection);
  TVdbFileSystemEntry* Entry = FindEntry(Name);
  if (Entry == nullptr) return nullptr;
  ++Entry->FReferenceCounter;
  return Entry->FFileSystem.get();
}

void TVdbPageManager::ReleaseFileSystem(TkxFileSystem* FileSystem) {
  std::lock_guard Lock(FCriticalSection);
  auto It = std::find_if(FFileSystems.begin(), FFileSystems.end(), [&](const auto& Entry) {
    return FileSystem != nullptr && Entry->FFileSystem.get() == FileSystem;
  });
  if (It == FFileSystems.end()) {
    const std::string BaseDirectory = FileSystem ? FileSystem->GetBaseDirectory() : std::string();
    Raise(EVdbPageManager("Releasing file system",
                          kxFormat("File system \"%s\" not fond", {BaseDirectory})));
  }
  if (--(*It)->FReferenceCounter > 0) return;
  // The entry leaves the registry first, so that a failing Close still frees it.
  std::unique_ptr<TVdbFileSystemEntry> Entry = std::move(*It);
  FFileSystems.erase(It);
  DetachStorages(Entry->FFileSystem.get());
  Entry->FFileSystem->Close();
}

void TVdbPageManager::SetLog(TVdbPageManagerLog Log) {
  std::lock_guard Lock(FCriticalSection);
  FLog = std::move(Log);
}

void TVdbPageManager::Log(int Severity, const std::string& Message) const {
  if (FLog) FLog(Severity, kLogSource, Message);
}

// --- Diagnostics ---------------------------------------------------------------------------------

std::int64_t TVdbPageManager::CacheLimit() const {
  std::lock_guard Lock(FCriticalSection);
  return FCacheLimit;
}

std::int64_t TVdbPageManager::CacheSize() const {
  std::lock_guard Lock(FCriticalSection);
  return FCacheSize;
}

std::size_t TVdbPageManager::PooledPageCount() const {
  std::lock_guard Lock(FCriticalSection);
  std::size_t Count = 0;
  for (const auto& [Size, Pool] : FTileCaches) Count += Pool.size();
  return Count;
}

std::size_t TVdbPageManager::CachedPageCount() const {
  std::lock_guard Lock(FCriticalSection);
  std::size_t Count = 0;
  for (const auto& Storage : FStorages) {
    if (Storage) Count += Storage->FCachedCount;
  }
  return Count;
}

std::size_t TVdbPageManager::ReleasablePageCount() const {
  std::lock_guard Lock(FCriticalSection);
  std::size_t Count = 0;
  for (const auto& Storage : FStorages) {
    if (Storage) Count += Storage->FReleasableCount;
  }
  return Count;
}

std::size_t TVdbPageManager::OpenStorageCount() const {
  std::lock_guard Lock(FCriticalSection);
  return static_cast<std::size_t>(
      std::count_if(FStorages.begin(), FStorages.end(), [](const auto& S) { return S != nullptr; }));
}

const TVdbStorage* TVdbPageManager::Storage(TVdbStorageHdl StorageHdl) const {
  std::lock_guard Lock(FCriticalSection);
  if (StorageHdl < 1 || static_cast<std::size_t>(StorageHdl) > FStorages.size()) return nullptr;
  return FStorages[static_cast<std::size_t>(StorageHdl) - 1].get();
}

// The caller holds the critical section.
TVdbStorage& TVdbPageManager::StorageSlot(TVdbStorageHdl StorageHdl) const {
  if (StorageHdl < 1 || static_cast<std::size_t>(StorageHdl) > FStorages.size() ||
      !FStorages[static_cast<std::size_t>(StorageHdl) - 1]) {
    Raise(EVdbPageManager("Accessing storage", kxFormat("Storage handle %d is invalid", {StorageHdl})));
  }
  return *FStorages[static_cast<std::size_t>(StorageHdl) - 1];
}

TVdbStorage& TVdbPageManager::StorageOf(TVdbStorageHdl StorageHdl) const {
  TVdbStorage& Storage = StorageSlot(StorageHdl);
  if (Storage.FFileSystem == nullptr) {
    Raise(EVdbPageManager(kxFormat("Accessing storage \"%s\"", {Storage.FName}),
                          "Its file system is closed"));
  }
  return Storage;
}

void TVdbPageManager::DetachStorages(TkxFileSystem* FileSystem) {
  for (std::size_t I = 0; I < FStorages.size(); ++I) {
    TVdbStorage* Storage = FStorages[I].get();
    if (Storage == nullptr || Storage->FFileSystem != FileSystem) continue;
    try {
      FlushStorage(static_cast<TVdbStorageHdl>(I + 1));
    } catch (const std::exception&) {
      // Already logged; the file system goes all the same.
    }
    if (TkxFileSystem::IsValidHandle(Storage->FFileHdl)) FileSystem->CloseFile(Storage->FFileHdl);
    Storage->FFileHdl = -1;
    Storage->FFileSystem = nullptr;
    Log(2, kxFormat("Storage \"%s\" lost its file system while still open.", {Storage->FName}));
  }
}

// --- Opening, creating and closing storages ------------------------------------------------------

TVdbStorageHdl TVdbPageManager::OpenStorage(const std::string& Name, TkxFileSystem* FileSystem,
                                            bool ReadOnly, bool Exclusive,
                                            const std::shared_ptr<TVdbStorageCipher>& Encryption) {
  std::lock_guard Lock(FCriticalSection);
  for (std::size_t I = 0; I < FStorages.size(); ++I) {
    TVdbStorage* Open = FStorages[I].get();
    if (Open == nullptr || Open->FFileSystem != FileSystem || !PMSameName(Open->FName, Name)) {
      continue;
    }
    if (Open->FExclusive || Exclusive) {
      Raise(EVdbPMStorageAccessDenied(kxFormat(
          "Cannot open storage \"%s\": May not be opened twice if one is exclusive", {Name})));
    }
    if (static_cast<bool>(Open->FEncryption) != static_cast<bool>(Encryption) ||
        (Encryption && !Open->FEncryption->IsSameEncryption(*Encryption))) {
      Raise(EVdbPMStorageAccessDenied("Wrong encryption"));
    }
    if (Open->FReadOnly && !ReadOnly) {
      // A writer joins a storage opened for reading: its handle is opened again for writing.
      const std::int32_t Handle = FileSystem->OpenFile(Name, fmOpenReadWrite | fmShareDenyNone);
      if (!TkxFileSystem::IsValidHandle(Handle)) {
        const std::string Reason = TkxFileSystem::GetErrorMessage(FileSystem->GetLastError());
        Raise(EVdbPMStorageAccessDenied(
            kxFormat("Cannot open storage \"%s\": %s", {Name, Reason})));
      }
      FileSystem->CloseFile(Open->FFileHdl);
      Open->FFileHdl = Handle;
      Open->FReadOnly = false;
    }
    ++Open->FRefCounter;
    return static_cast<TVdbStorageHdl>(I + 1);
  }

  if (!FileSystem->FileExists(Name)) {
    Raise(EVdbPMStorageNotFound(kxFormat("Storage \"%s\" not found", {Name})));
  }
  const std::int32_t Mode = Exclusive ? (ReadOnly ? 16 : 18) : (ReadOnly ? 64 : 66);
  const std::int32_t Handle = FileSystem->OpenFile(Name, Mode);
  if (!TkxFileSystem::IsValidHandle(Handle)) {
    const std::string Reason = TkxFileSystem::GetErrorMessage(FileSystem->GetLastError());
    Raise(EVdbPMStorageAccessDenied(kxFormat("Cannot open storage \"%s\": %s", {Name, Reason})));
  }
  const std::int32_t TileSize = FileSystem->GetPageSize();
  std::int64_t FileSize = -1;
  try {
    FileSize = FileSystem->GetFileSize(Handle);
  } catch (...) {
    FileSystem->CloseFile(Handle);
    throw;
  }
  if (FileSize < 0 || TileSize <= 0) {
    const std::string Reason = TkxFileSystem::GetErrorMessage(FileSystem->GetLastError());
    FileSystem->CloseFile(Handle);
    Raise(EVdbPMStorageAccessDenied(kxFormat("Cannot open storage \"%s\": %s", {Name, Reason})));
  }
  auto Storage = std::make_unique<TVdbStorage>(Name, FileSystem, ReadOnly, Exclusive, Handle,
                                               Encryption, TileSize,
                                               PMTileCountForSize(FileSize, TileSize));
  Storage->FRefCounter = 1;
  const TVdbStorageHdl StorageHdl = PlaceStorage(std::move(Storage));
  Log(1, kxFormat("Storage \"%s\" opened.", {Name}));
  return StorageHdl;
}

TVdbStorageHdl TVdbPageManager::CreateStorage(
    const std::string& Name, TkxFileSystem* FileSystem,
    const std::shared_ptr<TVdbStorageCipher>& Encryption) {
  std::lock_guard Lock(FCriticalSection);
  const std::string Context = "Cannot create storage " + Name;
  // Emptying a file that other clients have cached would pull it from under them.
  for (const auto& Open : FStorages) {
    if (Open && Open->FFileSystem == FileSystem && PMSameName(Open->FName, Name)) {
      Raise(EVdbPageManager(Context, "Error " + std::to_string(kxErrorSharingViolation)));
    }
  }
  const std::int32_t Handle = FileSystem->CreateFile(Name);
  if (!TkxFileSystem::IsValidHandle(Handle)) {
    Raise(EVdbPageManager(Context, "Error " + std::to_string(FileSystem->GetLastError())));
  }
  auto Storage = std::make_unique<TVdbStorage>(Name, FileSystem, false, false, Handle, Encryption,
                                               FileSystem->GetPageSize(), 0);
  Storage->FRefCounter = 1;
  return PlaceStorage(std::move(Storage));
}

// A new storage takes the last free slot, so that handles stay small; otherwise it is appended.
TVdbStorageHdl TVdbPageManager::PlaceStorage(std::unique_ptr<TVdbStorage> Storage) {
  for (std::size_t I = FStorages.size(); I-- > 0;) {
    if (!FStorages[I]) {
      FStorages[I] = std::move(Storage);
      return static_cast<TVdbStorageHdl>(I + 1);
    }
  }
  FStorages.push_back(std::move(Storage));
  Log(2, kxFormat("There are %d open storages", {static_cast<std::int64_t>(FStorages.size())}));
  return static_cast<TVdbStorageHdl>(FStorages.size());
}

void TVdbPageManager::CloseStorage(TVdbStorageHdl StorageHdl) {
  std::lock_guard Lock(FCriticalSection);
  TVdbStorage& Storage = StorageSlot(StorageHdl);
  if (--Storage.FRefCounter > 0) return;
  // Unflushed changes go with the storage: closing clients flush first when they want them kept.
  Storage.FFirstModifiedPage = nullptr;
  for (auto& Page : Storage.RemovePages([](const TVdbStoragePage&) { return true; })) {
    ReturnToPool(std::move(Page));
  }
  if (Storage.FFileSystem != nullptr) Storage.FFileSystem->CloseFile(Storage.FFileHdl);
  FStorages[static_cast<std::size_t>(StorageHdl) - 1].reset();
  while (!FStorages.empty() && !FStorages.back()) FStorages.pop_back();
}

void TVdbPageManager::UpdateStorageDir(TVdbStorageHdl StorageHdl) {
  std::lock_guard Lock(FCriticalSection);
  TVdbStorage& Storage = StorageOf(StorageHdl);
  // Closing the handle lets the file system bring the directory entry up to date. The file is
  // opened again with the storage's own mode, so that its access rights stay as they were.
  const std::int32_t Mode = Storage.FExclusive ? (Storage.FReadOnly ? 16 : 18)
                                               : (Storage.FReadOnly ? 64 : 66);
  Storage.FFileSystem->CloseFile(Storage.FFileHdl);
  Storage.FFileHdl = Storage.FFileSystem->OpenFile(Storage.FName, Mode);
  if (!TkxFileSystem::IsValidHandle(Storage.FFileHdl)) {
    const std::string Reason = TkxFileSystem::GetErrorMessage(Storage.FFileSystem->GetLastError());
    Raise(EVdbPMStorageAccessDenied(
        kxFormat("Cannot open storage \"%s\": %s", {Storage.FName, Reason})));
  }
}

// --- Reading and making units --------------------------------------------------------------------

std::int32_t TVdbPageManager::TileCountOf(TVdbStorage& Storage) const {
  const std::int64_t FileSize = Storage.FFileSystem->GetFileSize(Storage.FFileHdl);
  if (FileSize < 0) {
    Raise(EVdbPageManager("Loading tile", "Cannot read tile from storage"));
  }
  return PMTileCountForSize(FileSize, Storage.FTileSize);
}

TVdbStoragePage* TVdbPageManager::ReadStorageTile(std::int32_t /*ClientHdl*/,
                                                  TVdbStorageHdl StorageHdl, std::int32_t TileNo,
                                                  std::int32_t TileCount) {
  std::lock_guard Lock(FCriticalSection);
  TVdbStorage& Storage = StorageOf(StorageHdl);
  const std::int64_t Size = static_cast<std::int64_t>(TileCount) * Storage.FTileSize;
  if (TVdbStoragePage* Cached = Storage.FindPage(TileNo, Size)) return Cached;

  EnforceCacheLimit();
  auto Unit = TakeUnit(Size);
  try {
    ReadUnit(Storage, *Unit, TileNo, TileCount);
  } catch (...) {
    ReturnToPool(std::move(Unit));
    throw;
  }
  Unit->FStorageHdl = StorageHdl;
  Unit->FTileNo = TileNo;
  TVdbStoragePage* Result = Unit.get();
  Storage.AppendPage(std::move(Unit));
  return Result;
}

TVdbStoragePage* TVdbPageManager::NewStorageTile(std::int32_t /*ClientHdl*/,
                                                 TVdbStorageHdl StorageHdl, std::int32_t TileNo,
                                                 std::int32_t TileCount) {
  std::lock_guard Lock(FCriticalSection);
  TVdbStorage& Storage = StorageOf(StorageHdl);
  const std::int64_t Size = static_cast<std::int64_t>(TileCount) * Storage.FTileSize;
  TVdbStoragePage* Result = Storage.FindPage(TileNo, Size);
  if (Result != nullptr) {
    // A unit left over from an earlier, undone extension: reused, cleared unless in use.
    if (Result->FLocks == 0 && !Result->IsModified()) {
      std::memset(Result->Memory(), 0, static_cast<std::size_t>(Result->FMemorySize));
    }
  } else {
    EnforceCacheLimit();
    auto Unit = TakeUnit(Size);
    // New units start zeroed, so that no bytes of another file ever reach this one.
    std::memset(Unit->Memory(), 0, static_cast<std::size_t>(Size));
    Unit->FStorageHdl = StorageHdl;
    Unit->FTileNo = TileNo;
    Result = Unit.get();
    Storage.AppendPage(std::move(Unit));
  }
  if (Storage.FTileCount < TileNo + TileCount) {
    Storage.FTileCount = TileNo + TileCount;
    Storage.FSizeChanged = true;
  }
  return Result;
}

void TVdbPageManager::ReadUnit(TVdbStorage& Storage, TVdbStoragePage& Page,
                               std::int32_t FirstTile, std::int32_t TileCount) {
  const std::int64_t TileSize = Storage.FTileSize;
  const std::int64_t Size = TileCount * TileSize;
  const std::int32_t Read = Storage.FFileSystem->FileRead(
      Storage.FFileHdl, Page.Memory(), static_cast<std::int32_t>(Size), FirstTile * TileSize);
  if (Read < 0) Raise(EVdbPageManager("Loading tile", "Cannot read tile from storage"));
  // The part beyond the end of the file reads as zeros rather than as an old unit's bytes.
  if (Read < Size) {
    std::memset(Page.Memory() + Read, 0, static_cast<std::size_t>(Size - Read));
  }
  if (Storage.FEncryption) {
    for (std::int64_t Offset = 0; Offset < Read; Offset += TileSize) {
      Storage.FEncryption->DecryptBlock(Page.Memory() + Offset, static_cast<std::size_t>(TileSize));
    }
  }
}

std::size_t TVdbPageManager::ModifiedRunEnd(const TVdbStorage& Storage,
                                            const std::vector<TVdbStoragePage*>& Pages,
                                            std::size_t From) {
  std::size_t End = From + 1;
  // Encrypted units go through a copy of their own, one by one.
  if (Storage.FEncryption) return End;
  std::int64_t Bytes = Pages[From]->FMemorySize;
  while (End < Pages.size() && End - From < kMaxUnitsPerWrite) {
    const TVdbStoragePage& Prev = *Pages[End - 1];
    const TVdbStoragePage& Next = *Pages[End];
    if (!Next.IsModified() || Next.FTileNo != Prev.FTileNo + Prev.FMemorySize / Storage.FTileSize ||
        Bytes + Next.FMemorySize > kMaxBytesPerWrite)
      break;
    Bytes += Next.FMemorySize;
    ++End;
  }
  return End;
}

std::size_t TVdbPageManager::WriteUnits(TVdbStorage& Storage,
                                        const std::vector<TVdbStoragePage*>& Pages,
                                        std::size_t From, std::size_t End) {
  if (End - From == 1) {
    WriteUnit(Storage, *Pages[From]);
    return 1;
  }
  std::vector<TkxWritePiece> Pieces;
  Pieces.reserve(End - From);
  for (std::size_t I = From; I < End; ++I) {
    Pieces.push_back({Pages[I]->Memory(), static_cast<std::int32_t>(Pages[I]->FMemorySize)});
  }
  std::int64_t Written = Storage.FFileSystem->FileWriteGathered(
      Storage.FFileHdl, Pieces.data(), static_cast<std::int32_t>(Pieces.size()),
      static_cast<std::int64_t>(Pages[From]->FTileNo) * Storage.FTileSize);
  // Only units written whole count as written.
  std::size_t Units = 0;
  for (; Units < Pieces.size() && Written >= Pieces[Units].Count; ++Units) {
    Written -= Pieces[Units].Count;
  }
  return Units;
}

void TVdbPageManager::WriteUnit(TVdbStorage& Storage, TVdbStoragePage& Page) {
  const std::int64_t TileSize = Storage.FTileSize;
  const std::uint8_t* Data = Page.Memory();
  // Encrypting a copy keeps the cached plain text intact for readers of other sessions.
  std::unique_ptr<std::uint8_t[]> Encrypted;
  if (Storage.FEncryption) {
    Encrypted = std::make_unique_for_overwrite<std::uint8_t[]>(
        static_cast<std::size_t>(Page.FMemorySize));
    std::memcpy(Encrypted.get(), Data, static_cast<std::size_t>(Page.FMemorySize));
    for (std::int64_t Offset = 0; Offset < Page.FMemorySize; Offset += TileSize) {
      Storage.FEncryption->EncryptBlock(Encrypted.get() + Offset,
                                        static_cast<std::size_t>(TileSize));
    }
    Data = Encrypted.get();
  }
  const std::int32_t Written = Storage.FFileSystem->FileWrite(
      Storage.FFileHdl, Data, static_cast<std::int32_t>(Page.FMemorySize), Page.FTileNo * TileSize);
  // A short write loses data just as a failed one does.
  if (Written != Page.FMemorySize) {
    Raise(EVdbPageManager("Saving tile", "Cannot write tile to storage"));
  }
}

// --- Site bookkeeping ----------------------------------------------------------------------------

void TVdbPageManager::UnlockUnit(TVdbStoragePage& Page, std::int64_t ExpectedSize) {
  std::lock_guard Lock(FCriticalSection);
  TVdbStorage& Storage = StorageSlot(Page.FStorageHdl);
  Storage.UnlockPage(Page);
  if (Page.FLocks > 0) return;
  const bool WrongSize = Page.FMemorySize != ExpectedSize && !Page.IsModified();
  if (!Page.IsStale() && !WrongSize) return;
  if (auto Removed = Storage.RemovePage(&Page)) ReturnToPool(std::move(Removed));
}

void TVdbPageManager::MarkModified(TVdbStoragePage& Page, std::int32_t ClientHdl) {
  std::lock_guard Lock(FCriticalSection);
  if (Page.ClientHdl() != TVdbStoragePage::kClean) return;
  TVdbStorage& Storage = StorageOf(Page.FStorageHdl);
  Storage.SetPageState(Page, ClientHdl);
  Storage.PushModified(&Page);
}

// --- Flush, invalidate, undo, resizing -----------------------------------------------------------

void TVdbPageManager::FlushStorage(TVdbStorageHdl StorageHdl) {
  std::lock_guard Lock(FCriticalSection);
  TVdbStorage& Storage = StorageOf(StorageHdl);
  if (!Storage.FReadOnly && (Storage.FFirstModifiedPage != nullptr || Storage.FSizeChanged)) {
    Storage.FFileSystem->SetFileSize(
        Storage.FFileHdl, static_cast<std::int64_t>(Storage.FTileCount) * Storage.FTileSize);
    Storage.FSizeChanged = false;
  }
  std::vector<TVdbStoragePage*> Pages;
  for (TVdbStoragePage* Page = Storage.FFirstModifiedPage; Page; Page = Page->FNextModified) {
    Pages.push_back(Page);
  }
  Storage.KeepModifiedIf([](const TVdbStoragePage&) { return false; });
  // Ascending positions make the writes sequential and never leave a gap in a contained file.
  std::stable_sort(Pages.begin(), Pages.end(),
                   [](const auto* A, const auto* B) { return A->FTileNo < B->FTileNo; });
  std::size_t Done = 0;
  try {
    while (Done < Pages.size()) {
      if (!Pages[Done]->IsModified()) {  // visited all the same: it leaves the list
        Storage.SetPageState(*Pages[Done++], TVdbStoragePage::kClean);
        continue;
      }
      const std::size_t End = ModifiedRunEnd(Storage, Pages, Done);
      for (std::size_t Written = WriteUnits(Storage, Pages, Done, End); Written > 0; --Written) {
        Storage.SetPageState(*Pages[Done++], TVdbStoragePage::kClean);
      }
      if (Done < End) Raise(EVdbPageManager("Saving tile", "Cannot write tile to storage"));
    }
  } catch (...) {
    // What was not written stays modified for the next flush.
    for (std::size_t I = Pages.size(); I-- > Done;) {
      if (Pages[I]->IsModified()) Storage.PushModified(Pages[I]);
    }
    throw;
  }
}

void TVdbPageManager::InvalidateStorage(TVdbStorageHdl StorageHdl) {
  std::lock_guard Lock(FCriticalSection);
  TVdbStorage& Storage = StorageOf(StorageHdl);
  ++Storage.FChangeGeneration;
  const std::int32_t TileCount = TileCountOf(Storage);
  // Every unit, modified or not, is read again: held ones on their next access.
  Storage.KeepModifiedIf([](const TVdbStoragePage&) { return false; });
  for (auto& Page : Storage.RemovePages([](const TVdbStoragePage& P) { return P.FLocks == 0; })) {
    ReturnToPool(std::move(Page));
  }
  Storage.ForEachPage(
      [&](TVdbStoragePage& Page) { Storage.SetPageState(Page, TVdbStoragePage::kStale); });
  Storage.FTileCount = TileCount;
  Storage.FSizeChanged = false;
}

void TVdbPageManager::UndoStorage(TVdbStorageHdl StorageHdl) {
  std::lock_guard Lock(FCriticalSection);
  TVdbStorage& Storage = StorageOf(StorageHdl);
  ++Storage.FChangeGeneration;
  const std::int32_t TileCount = TileCountOf(Storage);
  // Modified units, and units of tiles the file does not have, are given up.
  const auto Drop = [TileCount](const TVdbStoragePage& Page) {
    return Page.IsModified() || Page.FTileNo >= TileCount;
  };
  Storage.KeepModifiedIf([](const TVdbStoragePage&) { return false; });
  for (auto& Page : Storage.RemovePages(
           [&](const TVdbStoragePage& P) { return P.FLocks == 0 && Drop(P); })) {
    ReturnToPool(std::move(Page));
  }
  Storage.ForEachPage([&](TVdbStoragePage& Page) {
    if (Drop(Page)) Storage.SetPageState(Page, TVdbStoragePage::kStale);
  });
  Storage.FTileCount = TileCount;
  Storage.FSizeChanged = false;
}

void TVdbPageManager::SetStorageTileCount(TVdbStorageHdl StorageHdl, std::int32_t TileCount) {
  std::lock_guard Lock(FCriticalSection);
  TVdbStorage& Storage = StorageOf(StorageHdl);
  if (Storage.FTileCount == TileCount) return;
  Storage.FTileCount = TileCount;
  Storage.FSizeChanged = true;
  // Units at or beyond the new end are cut off; their changes are not written.
  const auto Beyond = [TileCount](const TVdbStoragePage& Page) { return Page.FTileNo >= TileCount; };
  Storage.KeepModifiedIf([&](const TVdbStoragePage& Page) { return !Beyond(Page); });
  for (auto& Page : Storage.RemovePages(
           [&](const TVdbStoragePage& P) { return P.FLocks == 0 && Beyond(P); })) {
    ReturnToPool(std::move(Page));
  }
  Storage.ForEachPage([&](TVdbStoragePage& Page) {
    if (Beyond(Page)) Storage.SetPageState(Page, TVdbStoragePage::kStale);
  });
}

void TVdbPageManager::SetStoragePageSize(TVdbStorageHdl StorageHdl, std::int32_t PageSize) {
  std::lock_guard Lock(FCriticalSection);
  TVdbStorage& Storage = StorageOf(StorageHdl);
  const std::int32_t OldPageSize = Storage.FPageSize > 0 ? Storage.FPageSize : Storage.FTileSize;
  if (VdbTilesPerUnit(OldPageSize, Storage.FTileSize) != VdbTilesPerUnit(PageSize, Storage.FTileSize)) {
    // The units are cut differently from now on. Changes in the old units are written first, so
    // that re-cutting never loses them.
    if (Storage.FFirstModifiedPage != nullptr) FlushStorage(StorageHdl);
    for (auto& Page : Storage.RemovePages([](const TVdbStoragePage& P) { return P.FLocks == 0; })) {
      ReturnToPool(std::move(Page));
    }
    Storage.ForEachPage(
        [&](TVdbStoragePage& Page) { Storage.SetPageState(Page, TVdbStoragePage::kStale); });
  }
  Storage.FPageSize = PageSize;
}

void TVdbPageManager::WriteThroughCache(TVdbStorage& Storage, const std::uint8_t* Data,
                                        std::int64_t Size, std::int64_t Pos) {
  if (Size <= 0) return;
  ++Storage.FChangeGeneration;
  const std::int64_t TileSize = Storage.FTileSize;
  const std::int64_t End = Pos + Size;
  std::vector<TVdbStoragePage*> Overlapping;
  Storage.ForEachPage([&](TVdbStoragePage& Page) {
    const std::int64_t Start = Page.FTileNo * TileSize;
    if (!Page.IsStale() && Start < End && Start + Page.FMemorySize > Pos) {
      Overlapping.push_back(&Page);
    }
  });
  for (TVdbStoragePage* Page : Overlapping) {
    const std::int64_t Start = Page->FTileNo * TileSize;
    if (Storage.FEncryption) {
      // The file now holds bytes that do not decrypt to the cached text: read it again.
      if (Page->IsModified()) continue;
      if (Page->FLocks > 0) {
        Storage.SetPageState(*Page, TVdbStoragePage::kStale);
      } else if (auto Removed = Storage.RemovePage(Page)) {
        ReturnToPool(std::move(Removed));
      }
      continue;
    }
    const std::int64_t From = std::max(Pos, Start);
    const std::int64_t To = std::min(End, Start + Page->FMemorySize);
    std::memcpy(Page->Memory() + (From - Start), Data + (From - Pos),
                static_cast<std::size_t>(To - From));
  }
}

// --- Memory limit --------------------------------------------------------------------------------

std::unique_ptr<TVdbStoragePage> TVdbPageManager::TakeUnit(std::int64_t MemorySize) {
  auto Pool = FTileCaches.find(MemorySize);
  if (Pool != FTileCaches.end() && !Pool->second.empty()) {
    auto Page = std::move(Pool->second.back());
    Pool->second.pop_back();
    return Page;
  }
  FCacheSize += MemorySize;
  return std::make_unique<TVdbStoragePage>(this, MemorySize);
}

void TVdbPageManager::ReturnToPool(std::unique_ptr<TVdbStoragePage> Page) {
  Page->FClientHdl.store(TVdbStoragePage::kClean, std::memory_order_relaxed);
  Page->FStorageHdl = 0;
  Page->FTileNo = -1;
  Page->FLocks = 0;
  Page->FNextModified = nullptr;
  Page->FNextInHash.reset();
  FTileCaches[Page->FMemorySize].push_back(std::move(Page));
}

namespace {
bool AtLeastSeventyPercent(std::int64_t Size, std::int64_t Limit) { return Size * 10 >= Limit * 7; }
}  // namespace

void TVdbPageManager::EnforceCacheLimit() {
  if (FCacheSize < FCacheLimit) return;
  TrimPools();
  if (AtLeastSeventyPercent(FCacheSize, FCacheLimit)) {
    // Eviction is all or nothing: every clean unit that no site holds goes at once.
    ReleaseCleanPages();
    TrimPools();
  }
  // Formatted only for a sink: a cache held over its limit passes here for every new unit.
  if (FLog && FCacheSize >= FCacheLimit && FCacheSize > 0) {
    Log(2, kxFormat("Cache size is over limit (%d) but cannot be reduced", {FCacheLimit}));
  }
}

void TVdbPageManager::TrimPools() {
  while (AtLeastSeventyPercent(FCacheSize, FCacheLimit)) {
    auto Fullest = FTileCaches.end();
    for (auto It = FTileCaches.begin(); It != FTileCaches.end(); ++It) {
      if (Fullest == FTileCaches.end() || It->second.size() > Fullest->second.size()) Fullest = It;
    }
    if (Fullest == FTileCaches.end() || Fullest->second.empty()) break;
    auto& Pool = Fullest->second;
    const std::size_t Keep = Pool.size() / 2;  // the upper ceil(count / 2) pages go
    FCacheSize -= static_cast<std::int64_t>(Pool.size() - Keep) * Fullest->first;
    Pool.resize(Keep);
    if (Pool.empty()) FTileCaches.erase(Fullest);
  }
}

void TVdbPageManager::ReleaseCleanPages() {
  std::int64_t Size = 0;
  for (auto& Storage : FStorages) {
    if (!Storage) continue;
    if (Storage->FReleasableCount > 0) {
      for (auto& Page : Storage->RemovePages(TVdbStorage::IsReleasable)) {
        ReturnToPool(std::move(Page));
      }
    }
    Size += Storage->FCachedBytes;
  }
  for (const auto& [MemorySize, Pool] : FTileCaches) {
    Size += MemorySize * static_cast<std::int64_t>(Pool.size());
  }
  FCacheSize = Size;
}

}  // namespace vdb
