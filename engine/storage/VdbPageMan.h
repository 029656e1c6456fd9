// The process-wide page manager and page cache.
//
// Data, memo, blob and index files never touch their files directly: each opens a client storage
// (TVdbClientStorage) on its file and reads and writes fixed-size logical pages through page sites
// (TVdbStoragePageSite). The page manager keeps one cached copy of every tile a process uses,
// shares it between all clients of the same file, writes modified units back on Flush, drops them
// on Invalidate or Undo, and keeps the memory it holds under the limit that the open catalogs
// declare. It also keeps the registry of file-system objects by location name.
//
// Sizes: the tile size T is the file system's PageSize (8192 for the OS and compound file
// systems); the page size P is the logical page size the file format chose. A cached unit
// (TVdbStoragePage) covers k tiles, k = lcm(P, T) / T, so that a page never straddles two units:
// for P dividing T several pages share one tile (k = 1), for P a multiple of T one page covers
// k = P / T tiles.
//
// Locking: one critical section guards the registry, the storage list, the hash tables, the
// modified lists, the pools and the cache counters. Page memory itself is read and written without
// it; the table locks keep writers and readers of different sessions apart.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vdb {

class TkxFileSystem;
class TVdbPageManager;
class TVdbClientStorage;
class TVdbStoragePageSite;

// Handle of an open storage: its index in the page manager's storage list plus 1; 0 = none.
using TVdbStorageHdl = std::int32_t;

// Errors of the page manager. A message made of a context and a reason reads "context: reason".
class EVdbPageManager : public std::runtime_error {
 public:
  explicit EVdbPageManager(const std::string& Message);
  EVdbPageManager(const std::string& Context, const std::string& Reason);
};

class EVdbPMStorageNotFound : public EVdbPageManager {
 public:
  using EVdbPageManager::EVdbPageManager;
};

class EVdbPMStorageAccessDenied : public EVdbPageManager {
 public:
  using EVdbPageManager::EVdbPageManager;
};

// Block cipher of an encrypted storage. Tiles pass through it one at a time: decrypted after
// reading, encrypted for writing. Two clients may share a storage only with the same encryption.
class TVdbStorageCipher {
 public:
  virtual ~TVdbStorageCipher() = default;
  virtual void EncryptBlock(std::uint8_t* Data, std::size_t Size) = 0;
  virtual void DecryptBlock(std::uint8_t* Data, std::size_t Size) = 0;
  virtual bool IsSameEncryption(const TVdbStorageCipher& Other) const = 0;
};

// The largest cached unit: the largest page of an index file.
inline constexpr std::int64_t kVdbMaxUnitSize = 16 * 1024 * 1024;

// Tiles of one cached unit for a page size: lcm(PageSize, TileSize) / TileSize; 0 when the page
// size cannot be used (not positive, or a unit would exceed kVdbMaxUnitSize).
std::int32_t VdbTilesPerUnit(std::int32_t PageSize, std::int32_t TileSize);

// Where page PageNo lies: the first tile of its unit, the unit's tiles and the page's offset
// inside the unit. PageSize must be usable (VdbTilesPerUnit above 0).
struct TVdbPageLocation {
  std::int64_t FirstTile;
  std::int32_t TileCount;
  std::int64_t Offset;
};
TVdbPageLocation VdbLocatePage(std::int32_t PageNo, std::int32_t PageSize, std::int32_t TileSize);

// Log sink of the page manager: severity 1 information, 2 warning, 3 error.
using TVdbPageManagerLog =
    std::function<void(int Severity, const std::string& Source, const std::string& Message)>;

// One cached unit: k consecutive tiles of one storage.
class TVdbStoragePage {
 public:
  // State in FClientHdl: clean, modified by a client (handle above 0), or stale (read again).
  static constexpr std::int32_t kClean = 0;
  static constexpr std::int32_t kStale = -1;

  TVdbStoragePage(TVdbPageManager* PageManager, std::int64_t MemorySize);
  TVdbStoragePage(const TVdbStoragePage&) = delete;
  TVdbStoragePage& operator=(const TVdbStoragePage&) = delete;

  std::uint8_t* Memory() const { return FMemory.get(); }
  std::int64_t MemorySize() const { return FMemorySize; }
  std::int32_t TileNo() const { return FTileNo; }
  std::int32_t ClientHdl() const { return FClientHdl.load(std::memory_order_relaxed); }
  bool IsStale() const { return ClientHdl() == kStale; }
  bool IsModified() const { return ClientHdl() > 0; }
  std::int32_t Locks() const { return FLocks; }

 private:
  friend class TVdbPageManager;
  friend class TVdbStorage;
  friend class TVdbStoragePageSite;

  TVdbPageManager* FPageManager;
  std::unique_ptr<std::uint8_t[]> FMemory;
  std::int64_t FMemorySize;
  std::atomic<std::int32_t> FClientHdl{kClean};
  TVdbStorageHdl FStorageHdl = 0;
  std::int32_t FTileNo = -1;
  std::unique_ptr<TVdbStoragePage> FNextInHash;  // owning chain of one hash bucket
  std::int32_t FLocks = 0;                       // page sites holding this unit
  TVdbStoragePage* FNextModified = nullptr;
};

// One open file of one file system, shared by all clients that open it.
class TVdbStorage {
 public:
  TVdbStorage(std::string Name, TkxFileSystem* FileSystem, bool ReadOnly, bool Exclusive,
              std::int32_t FileHdl, std::shared_ptr<TVdbStorageCipher> Encryption,
              std::int32_t TileSize, std::int32_t TileCount);
  ~TVdbStorage();
  TVdbStorage(const TVdbStorage&) = delete;
  TVdbStorage& operator=(const TVdbStorage&) = delete;

  const std::string& Name() const { return FName; }
  std::int32_t TileCount() const { return FTileCount; }
  std::int32_t TileSize() const { return FTileSize; }
  std::int32_t PageSize() const { return FPageSize; }
  std::size_t CachedPageCount() const { return FCachedCount; }

 private:
  friend class TVdbPageManager;
  friend class TVdbClientStorage;
  friend class TVdbStoragePageSite;

  TVdbStoragePage* FindPage(std::int32_t TileNo, std::int64_t MemorySize) const;
  void AppendPage(std::unique_ptr<TVdbStoragePage> Page);
  std::unique_ptr<TVdbStoragePage> RemovePage(TVdbStoragePage* Page);
  // Removes every page for which Take answers true, in chain order.
  std::vector<std::unique_ptr<TVdbStoragePage>> RemovePages(
      const std::function<bool(const TVdbStoragePage&)>& Take);
  void ForEachPage(const std::function<void(TVdbStoragePage&)>& Visit) const;
  void PushModified(TVdbStoragePage* Page);
  // State changes of cached pages go through these, so that the count of pages the cache limit
  // may release stays right.
  static bool IsReleasable(const TVdbStoragePage& Page) {
    return Page.FLocks == 0 && !Page.IsModified();
  }
  void SetPageState(TVdbStoragePage& Page, std::int32_t ClientHdl);
  void LockPage(TVdbStoragePage& Page);
  void UnlockPage(TVdbStoragePage& Page);
  void Counted(const TVdbStoragePage& Page, int Direction);
  void KeepModifiedIf(const std::function<bool(const TVdbStoragePage&)>& Keep);
  void GrowHashTable();

  std::string FName;
  TkxFileSystem* FFileSystem;
  bool FReadOnly;
  bool FExclusive;
  std::int32_t FFileHdl;
  std::shared_ptr<TVdbStorageCipher> FEncryption;
  std::int32_t FTileSize;
  std::int32_t FTileCount;
  std::int32_t FPageSize = 0;
  std::int32_t FRefCounter = 0;
  std::vector<std::unique_ptr<TVdbStoragePage>> FCachedPages;  // hash buckets
  std::size_t FCachedCount = 0;
  std::int64_t FCachedBytes = 0;
  std::size_t FReleasableCount = 0;  // cached pages that are clean and held by no site
  TVdbStoragePage* FFirstModifiedPage = nullptr;
  bool FSizeChanged = false;
  // Grows whenever a page of the file may have changed (see TVdbClientStorage::ChangeGeneration);
  // starts apart from every other storage's.
  std::atomic<std::uint64_t> FChangeGeneration;  // the tile count moved away from the file's size
};

// A file-system object registered under a location name.
class TVdbFileSystemEntry {
 public:
  TVdbFileSystemEntry(std::string Name, std::unique_ptr<TkxFileSystem> FileSystem);
  ~TVdbFileSystemEntry();

  const std::string& Name() const { return FName; }
  TkxFileSystem* FileSystem() const { return FFileSystem.get(); }
  std::int32_t ReferenceCounter() const { return FReferenceCounter; }

 private:
  friend class TVdbPageManager;
  std::string FName;
  std::unique_ptr<TkxFileSystem> FFileSystem;
  std::int32_t FReferenceCounter = 1;
};

class TVdbPageManager {
 public:
  TVdbPageManager();
  ~TVdbPageManager();
  TVdbPageManager(const TVdbPageManager&) = delete;
  TVdbPageManager& operator=(const TVdbPageManager&) = delete;

  // The one page manager of the process, created on first use and freed at program end.
  static TVdbPageManager& Instance();

  // Clients declare the cache memory they want, in KiB.
  void RegisterClient(std::int32_t ClientHdl, std::int32_t CacheSize);
  void UnregisterClient(std::int32_t ClientHdl, std::int32_t CacheSize);

  // File-system registry. AddFileSystem takes the object (reference count 1) and answers 1, or
  // answers 0 and leaves it with the caller when the name is taken (a pointer of a derived type
  // converts into a temporary and is given up either way). Names ignore case. Every
  // GetFileSystem adds a reference; the last ReleaseFileSystem closes and frees the object.
  int AddFileSystem(const std::string& Name, std::unique_ptr<TkxFileSystem>&& FileSystem);
  TkxFileSystem* GetFileSystem(const std::string& Name);
  void ReleaseFileSystem(TkxFileSystem* FileSystem);

  // Cached units, as page sites obtain them. Both return the unit with no site holding it yet:
  // it stays valid only while the caller keeps CriticalSection() and binds it.
  TVdbStoragePage* ReadStorageTile(std::int32_t ClientHdl, TVdbStorageHdl StorageHdl,
                                   std::int32_t TileNo, std::int32_t TileCount);
  TVdbStoragePage* NewStorageTile(std::int32_t ClientHdl, TVdbStorageHdl StorageHdl,
                                  std::int32_t TileNo, std::int32_t TileCount);
  void UpdateStorageDir(TVdbStorageHdl StorageHdl);

  void SetLog(TVdbPageManagerLog Log);

  // Figures for diagnostics.
  std::int64_t CacheLimit() const;
  std::int64_t CacheSize() const;
  std::size_t PooledPageCount() const;
  std::size_t CachedPageCount() const;
  std::size_t ReleasablePageCount() const;  // cached, clean and held by no site
  std::size_t OpenStorageCount() const;
  const TVdbStorage* Storage(TVdbStorageHdl StorageHdl) const;

  std::recursive_mutex& CriticalSection() const { return FCriticalSection; }

 private:
  friend class TVdbClientStorage;
  friend class TVdbStoragePageSite;

  TVdbStorage& StorageOf(TVdbStorageHdl StorageHdl) const;  // inside the critical section
  // The same, also for a storage whose file system has closed under it: enough to let go of
  // its sites and close it, never to reach its file.
  TVdbStorage& StorageSlot(TVdbStorageHdl StorageHdl) const;
  // A file system's last release while storages on it are still open: their changes are written
  // and their files closed while the file system still exists, and they are cut off from it, so
  // that no later open of the same name meets them and nothing reaches the freed object.
  void DetachStorages(TkxFileSystem* FileSystem);
  TVdbFileSystemEntry* FindEntry(const std::string& Name) const;

  TVdbStorageHdl OpenStorage(const std::string& Name, TkxFileSystem* FileSystem, bool ReadOnly,
                             bool Exclusive, const std::shared_ptr<TVdbStorageCipher>& Encryption);
  TVdbStorageHdl CreateStorage(const std::string& Name, TkxFileSystem* FileSystem,
                               const std::shared_ptr<TVdbStorageCipher>& Encryption);
  TVdbStorageHdl PlaceStorage(std::unique_ptr<TVdbStorage> Storage);
  void CloseStorage(TVdbStorageHdl StorageHdl);

  void FlushStorage(TVdbStorageHdl StorageHdl);
  void InvalidateStorage(TVdbStorageHdl StorageHdl);
  void UndoStorage(TVdbStorageHdl StorageHdl);
  void SetStorageTileCount(TVdbStorageHdl StorageHdl, std::int32_t TileCount);
  void SetStoragePageSize(TVdbStorageHdl StorageHdl, std::int32_t PageSize);
  void WriteThroughCache(TVdbStorage& Storage, const std::uint8_t* Data, std::int64_t Size,
                         std::int64_t Pos);

  void MarkModified(TVdbStoragePage& Page, std::int32_t ClientHdl);
  void UnlockUnit(TVdbStoragePage& Page, std::int64_t ExpectedSize);

  std::int32_t TileCountOf(TVdbStorage& Storage) const;
  void ReadUnit(TVdbStorage& Storage, TVdbStoragePage& Page, std::int32_t FirstTile,
                std::int32_t TileCount);
  void WriteUnit(TVdbStorage& Storage, TVdbStoragePage& Page);
  // Flushing: modified units at consecutive tiles are written with one gathered write, this
  // many at most.
  static constexpr std::size_t kMaxUnitsPerWrite = 64;
  static constexpr std::int64_t kMaxBytesPerWrite = 64 * 1024 * 1024;
  // The end of the run of modified units at consecutive tiles that starts with the modified
  // unit Pages[From].
  static std::size_t ModifiedRunEnd(const TVdbStorage& Storage,
                                    const std::vector<TVdbStoragePage*>& Pages, std::size_t From);
  // Writes Pages[From, End); answers how many of them were written whole (raises like
  // WriteUnit for a single one).
  std::size_t WriteUnits(TVdbStorage& Storage, const std::vector<TVdbStoragePage*>& Pages,
                         std::size_t From, std::size_t End);

  // Memory limit.
  std::unique_ptr<TVdbStoragePage> TakeUnit(std::int64_t MemorySize);
  void ReturnToPool(std::unique_ptr<TVdbStoragePage> Page);
  void EnforceCacheLimit();
  void TrimPools();
  void ReleaseCleanPages();

  void Log(int Severity, const std::string& Message) const;
  // Every error of the page manager is also logged before it is thrown.
  template <class E>
  [[noreturn]] void Raise(const E& Error) const {
    Log(3, Error.what());
    throw Error;
  }

  std::vector<std::unique_ptr<TVdbFileSystemEntry>> FFileSystems;
  std::vector<std::unique_ptr<TVdbStorage>> FStorages;
  // Pools of free units by memory size.
  std::map<std::int64_t, std::vector<std::unique_ptr<TVdbStoragePage>>> FTileCaches;
  mutable std::recursive_mutex FCriticalSection;
  TVdbPageManagerLog FLog;
  std::int64_t FCacheLimit = 0;
  std::int64_t FCacheSize = 0;
};

// One client's view of one file.
class TVdbClientStorage {
 public:
  TVdbClientStorage(TVdbPageManager& PageManager, TkxFileSystem* FileSystem,
                    std::int32_t ClientHdl, std::shared_ptr<TVdbStorageCipher> Cryptor = nullptr);
  // Same page manager, file system, client and cipher; not open.
  static std::unique_ptr<TVdbClientStorage> CreateSibling(const TVdbClientStorage& Storage);
  ~TVdbClientStorage();
  TVdbClientStorage(const TVdbClientStorage&) = delete;
  TVdbClientStorage& operator=(const TVdbClientStorage&) = delete;

  void NewStorage();
  void Open(bool ReadOnly, bool Exclusive);
  void Close();
  void Flush();
  void Invalidate();
  void Undo();
  void UpdateDir();

  std::int64_t GetSize() const;
  std::int32_t GetPageCount() const;
  void SetPageCount(std::int32_t PageCount);
  std::int32_t GetPageSize() const { return FPageSize; }
  void SetPageSize(std::int32_t PageSize);
  bool GetReadOnly() const;
  bool GetExclusive() const;
  bool IsOpen() const { return FStorageHdl != 0; }

  std::unique_ptr<TVdbStoragePageSite> CreatePageSite();
  std::unique_ptr<TVdbStoragePageSite> NewPage(std::int32_t PageNo);
  std::unique_ptr<TVdbStoragePageSite> ReadPage(std::int32_t PageNo);

  // Unbuffered access at a byte position, for file headers. Answers the file system's count.
  std::int64_t ReadDirect(void* Buffer, std::int64_t Size, std::int64_t Pos);
  std::int64_t WriteDirect(const void* Buffer, std::int64_t Size, std::int64_t Pos);

  const std::string& GetName() const { return FName; }
  void SetName(std::string Name) { FName = std::move(Name); }
  std::int32_t ClientHdl() const { return FPageManClientHdl; }
  TVdbPageManager& PageManager() const { return *FPageManager; }
  TkxFileSystem* FileSystem() const { return FFileSystem; }
  TVdbStorageHdl StorageHdl() const { return FStorageHdl; }
  std::int64_t ReadCount() const { return FReadCount; }
  std::int32_t TileSize() const;
  // A number that grows whenever a page of the file may have changed through any client in this
  // process: written, created, cut off, undone, or to be read again after another process wrote.
  // A reader that keeps a position inside pages between calls trusts it only while this number
  // is unchanged. 0 while the storage is closed.
  std::uint64_t ChangeGeneration() const {
    return FChangeGeneration ? FChangeGeneration->load(std::memory_order_acquire) : 0;
  }

 private:
  friend class TVdbStoragePageSite;
  friend class TVdbPageManager;

  TVdbStorage& OpenStorageRef() const;
  void RequireOpen(const char* Action) const;
  void AttachSite(TVdbStoragePageSite* Site);
  void DetachSite(TVdbStoragePageSite* Site);
  void UnbindAllSites();
  void JoinPageSize(TVdbStorage& Storage);
  void NoteChange() {
    if (FChangeGeneration) FChangeGeneration->fetch_add(1, std::memory_order_acq_rel);
  }

  TVdbPageManager* FPageManager;
  std::atomic<std::uint64_t>* FChangeGeneration = nullptr;  // the open storage's
  TkxFileSystem* FFileSystem;
  std::shared_ptr<TVdbStorageCipher> FCryptor;
  std::int32_t FPageSize = 0;
  std::int32_t FTileSize = 0;  // of the open storage
  std::int32_t FPageManClientHdl;
  TVdbStorageHdl FStorageHdl = 0;
  std::string FName;
  bool FReadOnly = false;
  bool FExclusive = false;
  std::unique_ptr<TVdbStoragePageSite> FWorkPage;
  std::int64_t FReadCount = 0;
  std::vector<TVdbStoragePageSite*> FSites;  // live sites, unbound when the client closes
};

// A cursor on one logical page of a client storage.
class TVdbStoragePageSite {
 public:
  explicit TVdbStoragePageSite(TVdbClientStorage& ClientStorage);
  ~TVdbStoragePageSite();
  TVdbStoragePageSite(const TVdbStoragePageSite&) = delete;
  TVdbStoragePageSite& operator=(const TVdbStoragePageSite&) = delete;

  std::unique_ptr<TVdbStoragePageSite> CreateSibling() const;

  void InitPage(std::int32_t PageNo);
  void LoadPage(std::int32_t PageNo);
  void UnloadPage();
  void MovePage(std::int32_t PageNo);
  void Modify();

  std::int32_t GetPageSize() const;
  std::int32_t GetPageNo() const { return FPageNo; }
  bool IsBound() const { return FStorageTile != nullptr; }
  std::uint8_t* Memory() { return PageMemory(); }
  std::uint8_t* GetAddress(std::int32_t Offset);

  std::int8_t ReadInt8(std::int32_t Offset);
  std::int16_t ReadInt16(std::int32_t Offset);
  std::int32_t ReadInt32(std::int32_t Offset);
  void WriteInt8(std::int32_t Offset, std::int8_t Value);
  void WriteInt16(std::int32_t Offset, std::int16_t Value);
  void WriteInt32(std::int32_t Offset, std::int32_t Value);
  std::string ReadWPAnsiString(std::int32_t Offset);
  std::string ReadWPWideString(std::int32_t Offset);
  void WriteWPAnsiString(std::int32_t Offset, std::string_view Value);
  void WriteWPWideString(std::int32_t Offset, std::string_view Value);
  // These advance Offset past what they wrote.
  void WriteWPAnsiString(std::string_view Value, std::int32_t& Offset);
  void WriteWPWideString(std::string_view Value, std::int32_t& Offset);

  void Copy(std::int32_t OffsetFrom, std::int32_t OffsetTo, std::int32_t Count);
  void CopyFrom(const void* Source, std::int32_t OffsetFrom, std::int32_t Count,
                std::int32_t OffsetTo);
  void CopyFrom(TVdbStoragePageSite& Source, std::int32_t OffsetFrom, std::int32_t Count,
                std::int32_t OffsetTo);
  void CopyTo(std::int32_t OffsetFrom, void* Dest, std::int32_t Count, std::int32_t OffsetTo);

  const TVdbStoragePage* StorageTile() const { return FStorageTile; }
  std::int64_t TileOffset() const { return FTileOffset; }

 private:
  friend class TVdbClientStorage;

  void Bind(std::int32_t PageNo, bool MayCreate);
  bool Rebound(std::int32_t PageNo);
  void Release();
  void Rebind();
  std::uint8_t* PageMemory() {
    if (FStorageTile == nullptr || FStorageTile->IsStale()) Rebind();
    return FStorageTile->Memory() + FTileOffset;
  }
  std::uint8_t* Span(std::int32_t Offset, std::int64_t Count);
  std::uint8_t* WritableSpan(std::int32_t Offset, std::int64_t Count);

  TVdbClientStorage* FClientStorage;
  std::int32_t FPageNo = -1;
  std::int64_t FTileOffset = 0;
  TVdbStoragePage* FStorageTile = nullptr;
};

// --- Flush modes ---------------------------------------------------------------------------------
// A table flushes all its client storages whenever it is flushed. With deep flush it also has the
// file systems bring the files' directory entries up to date (UpdateDir) on every flush, without
// it on every flush after 1000 counted ones.
enum TVdbFlushMode { tfmDefault, tfmSecure, tfmFast };

// The database component's mode: tfmSecure opens every table with deep flush.
bool VdbDatabaseFlushesDeeply(TVdbFlushMode DatabaseMode);
// A table or query component's mode: tfmSecure asks for deep flush, tfmDefault follows the
// database component, tfmFast never asks for it.
bool VdbTableAsksDeepFlush(TVdbFlushMode TableMode, TVdbFlushMode DatabaseMode);

// Counts a table's flushes since the last directory update.
class TVdbDirUpdateCounter {
 public:
  static constexpr std::int32_t kFlushesPerUpdate = 1000;
  // True when this flush must also update the directory entries (the count starts again).
  bool CountFlush(bool DeepFlush);
  std::int32_t Count() const { return FCount; }

 private:
  std::int32_t FCount = 0;
};

// Flushes every open storage of the list, then updates their directory entries when asked. A
// page-manager error does not stop the others: the first one is kept in Error and the answer is
// false; errors of other kinds pass through.
bool VdbFlushStorages(const std::vector<TVdbClientStorage*>& Storages, bool UpdateDir,
                      std::string* Error = nullptr);

}  // namespace vdb
