// The implementation object of one open container file in this process, shared by every
// TkxCompoundFileIntf (client) that opens the same file name, and its background thread.
//
// Every access passes through the re-entrant critical section FCriticalSection. Between
// processes, bytes 768 to 777 of the container file are the lock bytes: a reader locks one of
// them, a writer all ten. Physical locks outlive the logical locks of the clients and are given
// back by the background thread about 50 ms after the last logical lock ended.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "storage/kxCompoundFile.h"
#include "storage/kxFileSystem.h"
#include "storage/kxVirtualDirectory.h"
#include "storage/kxVirtualFile.h"

namespace vdb {

enum class TkxPhysicalLockType { pltNone, pltRead, pltWrite };

struct TkxLockRecord {
  std::int32_t ReadLocks = -1;  // -1 in both: a free record
  std::int32_t WriteLocks = -1;
  bool IsFree() const { return ReadLocks < 0 && WriteLocks < 0; }
};

class TkxCompoundFileThread {
 public:
  static constexpr int kIntervalMs = 50;

  explicit TkxCompoundFileThread(TkxCompoundFileImpl& CompoundFile);
  ~TkxCompoundFileThread();  // stops and joins
  void Start();
  // Stops the thread and waits for it; returns the message of the exception that ended it,
  // or an empty text.
  std::string StopAndWait();

 private:
  void Execute();

  TkxCompoundFileImpl& FCompoundFile;
  std::thread FThread;
  std::mutex FMutex;
  std::condition_variable FWakeUp;
  bool FStop = false;
  std::string FError;
};

class TkxCompoundFileImpl {
 public:
  TkxCompoundFileImpl(const std::string& FileName, bool ReadOnly, bool Exclusive);
  TkxCompoundFileImpl(const TkxCompoundFileImpl&) = delete;
  TkxCompoundFileImpl& operator=(const TkxCompoundFileImpl&) = delete;
  // Closes an implementation that is still open, swallowing errors: a destructor cannot
  // report. Implementations are closed by their last client before they are freed.
  ~TkxCompoundFileImpl();

  // Creates an empty container file: 8301 bytes, tile count 2, one free root entry.
  static void NewFile(const std::string& FileName);

  // --- Process-wide list of shared implementations (compared by resolved file name) ---------
  static std::shared_ptr<TkxCompoundFileImpl> FindShared(const std::string& FileName);
  static void AddShared(const std::shared_ptr<TkxCompoundFileImpl>& Impl);
  static void RemoveShared(const TkxCompoundFileImpl* Impl);

  // --- Clients ------------------------------------------------------------------------------
  // A new client number; with OnlyIfOpen 0 when the implementation has been closed meanwhile.
  std::int32_t RegisterClient(bool OnlyIfOpen = false);
  // Unregisters a client; the last one closes the implementation (true). A failure of that
  // close goes to Error; the client is released all the same.
  bool ReleaseClient(std::int32_t ClientHdl, std::exception_ptr& Error);
  std::int32_t ClientCount();

  void Open(std::int32_t ClientHdl);
  void Close(std::int32_t ClientHdl);
  bool GetIsOpen() const { return FHandle >= 0; }

  // --- Logical locks of a client -----------------------------------------------------------
  bool BeginRead(std::int32_t ClientHdl);
  bool BeginWrite(std::int32_t ClientHdl);
  void EndRead(std::int32_t ClientHdl);
  void EndWrite(std::int32_t ClientHdl);
  // EndRead or EndWrite for a caller that is still inside the critical section that its own
  // successful Begin call entered on this thread (it is not entered again).
  void EndEnteredLock(std::int32_t ClientHdl, bool Write);
  std::recursive_mutex& CriticalSection() { return FCriticalSection; }

  // --- Files and directories (callers hold the matching logical lock) -------------------------
  // Results are null with Error set to the file system's error number.
  TkxVirtualFile* CreateFile(std::int32_t ClientHdl, const std::string& FilePath,
                             std::int32_t& Error);
  TkxVirtualFile* OpenFile(std::int32_t ClientHdl, const std::string& FilePath,
                           std::int32_t& Error);
  void CloseFile(TkxVirtualFile& File);
  std::int32_t CreateDir(std::int32_t ClientHdl, const std::string& DirPath);  // error or 0
  std::int32_t RemoveDir(std::int32_t ClientHdl, const std::string& DirPath);
  std::int32_t DeleteFile(std::int32_t ClientHdl, const std::string& FileName);
  std::int32_t RenameFile(std::int32_t ClientHdl, const std::string& OldName,
                          const std::string& NewName);
  // Enumeration; false with Error 0 when nothing (more) is found, 3 for a missing directory.
  bool FindFirstFile(std::int32_t ClientHdl, const std::string& Path, std::int32_t Attr,
                     TkxFindFileRec& FindFileRec, std::int32_t& Error);
  bool FindNextFile(std::int32_t ClientHdl, TkxFindFileRec& FindFileRec, std::int32_t& Error);
  void FindFileClose(std::int32_t ClientHdl, TkxFindFileRec& FindFileRec);
  static std::string ExpandFileName(const std::string& FileName);
  void ExportFile(std::int32_t ClientHdl, const std::string& FilePath, const std::string& Target);
  void ExportFiles(std::int32_t ClientHdl, const std::string& Mask, const std::string& DirName,
                   bool Recurse);
  // The consistency check over this (exclusively opened) container.
  std::int32_t PerformCheck(std::int32_t ClientHdl,
                            const TkxCompoundFileDefectEvent& OnCompoundFileDefect);
  bool HasOpenFiles();

  // The directory entry of a path, for diagnostics; false when there is none.
  bool FindEntry(const std::string& FilePath, TkxDirEntry& Entry);

  // --- Properties -----------------------------------------------------------------------------
  std::int32_t FreePagesCount();
  std::int32_t TileCount();
  std::int32_t FreeListHead();
  std::int32_t FileMode() const;
  const std::string& FileName() const { return FFileName; }
  bool ReadOnly() const { return FReadOnly; }
  bool Exclusive() const { return FExclusive; }
  std::int32_t PageSize() const { return FTileSize; }
  void SetPageSize(std::int32_t) {}  // containers are always built with 8192-byte tiles
  std::string Delimiter() const { return FDelimiter; }
  // The tiles of a chain (see TkxCompoundFileIntf::GetPageChain).
  std::vector<std::int32_t> PageChain(std::int32_t FirstPageNo);
  std::int32_t SuccessorPage(std::int32_t PageNo);
  void ReadRawTile(std::int32_t TileNo, std::vector<std::uint8_t>& Data);

  // --- Services for the file objects ---------------------------------------------------------
  TkxMasterFile& Master() const { return *FMasterFile; }
  TkxVirtualDirectory& RootDir() const { return *FRootDir; }
  // Reads a tile from the container (tile 0 without the lock area); the part beyond the end of
  // the container file reads as zeros.
  void ReadTile(std::int32_t TileNo, std::uint8_t* Data);
  bool WriteTile(std::int32_t TileNo, const std::uint8_t* Data);
  // Count bytes from the start of tile FirstTile on (a data tile, never tile 0), in one system
  // call; reading past the end of the container file gives zeros, writing answers the count
  // written (negative when nothing could be).
  void ReadTiles(std::int32_t FirstTile, std::uint8_t* Data, std::int32_t Count);
  std::int32_t WriteTiles(std::int32_t FirstTile, const std::uint8_t* Data, std::int32_t Count);
  std::int32_t WriteTilesGathered(std::int32_t FirstTile, const TkxWritePiece* Pieces,
                                  std::int32_t PieceCount);
  std::string LastOSErrorText();
  void CheckTileSize() const;
  // Allocates Count tiles after Last (a new chain when Last is negative; its first tile goes
  // to First); returns the last new tile, whose table entry becomes -1.
  std::int32_t AllocateTiles(std::int32_t Last, std::int64_t Count, std::int32_t& First);
  // Puts the chain First..Last at the front of the free list.
  void FreeChain(std::int32_t First, std::int32_t Last);
  // Takes free tiles off the end of the container and shortens the file to the tile count;
  // Freed are the tiles just put on the free list.
  void TrimContainer(const std::vector<std::int32_t>& Freed);
  // Raises "Invalid file position." (damaged chains and positions past the end).
  [[noreturn]] static void RaiseInvalidPosition();

 private:
  friend class TkxCompoundFileThread;
  friend class TkxCompoundFileCheck;

  TkxLockRecord& Client(std::int32_t ClientHdl);
  bool AnyClientWriting() const;
  bool AnyClientReading() const;
  bool AnyOtherClientLocking(std::int32_t ClientHdl) const;

  // Physical locks (step L); always successful when the container is exclusive.
  bool LockPhysicalRead();
  bool LockPhysicalWrite();
  void UnlockPhysicalRead();
  void UnlockPhysicalWrite();
  // The physical read lock, then the change counter check; false when it cannot be had.
  bool TakePhysicalRead();
  void PauseBeforeRetry();
  // Enters the critical section and stays inside when Decision answers true.
  template <typename TDecision>
  bool EnterIf(TDecision Decision);
  void EndLock(std::int32_t ClientHdl, bool Write);
  void CountDown(std::int32_t ClientHdl, bool Write);  // raises for an End without Begin
  // Drops every cache when another process has changed the container (step K).
  void CheckChangeCounter();
  void ValidateHeader(const std::uint8_t* Header, std::int64_t FileSize) const;
  // Writes every dirty tile: files and subdirectories, then the root, then the master file.
  void FlushAll();
  // Step N: gives back physical locks that no client needs any more.
  void GiveBackIdleLocks();
  void OpenContainerFile();
  void CloseContainerFile();

  // Paths and lookup.
  struct TPathLookup {
    TkxVirtualDirectory* Dir = nullptr;  // none when the directory part does not exist
    std::string Name;                    // the name part
    std::string RawName;                 // ... as stored (empty when it cannot be)
    std::int32_t Index = -1;             // the entry of that name, -1 when there is none
    TkxDirEntry Entry;
    bool Found() const { return Index >= 0; }
  };
  TPathLookup Lookup(const std::string& FilePath);
  TkxVirtualDirectory* DirectoryOf(const std::string& DirPath);
  bool IsLiveDirectory(const TkxVirtualDirectory* Dir) const;
  TkxVirtualFile* ObjectOf(TkxVirtualDirectory& Dir, std::int32_t Index, const TkxDirEntry& E);
  TkxVirtualFile* ExistingObject(const TkxVirtualDirectory* Dir, std::int32_t Index) const;
  TkxVirtualFile* Register(std::unique_ptr<TkxVirtualFile> File);
  void DropObject(TkxVirtualFile* File);
  void FillFindRec(TkxVirtualDirectory& Dir, std::int32_t Index, TkxFindFileRec& Rec);

  std::string FFileName;
  std::string FCanonicalName;  // the file name resolved, for the process-wide list
  std::int32_t FTileSize = kxTileSize;
  std::int32_t FHandle = kxInvalidHandle;
  TkxOSFileSystem FOSFileSystem;
  TkxMasterFile* FMasterFile = nullptr;
  TkxVirtualDirectory* FRootDir = nullptr;
  std::vector<std::unique_ptr<TkxVirtualFile>> FVirtualFiles;  // 0 master, 1 root
  std::vector<TkxLockRecord> FLocks;
  std::int32_t FLockPosition = kxLockBytesStart;
  TkxPhysicalLockType FPhysicalLockType = TkxPhysicalLockType::pltNone;
  bool FReadOnly;
  bool FExclusive;
  std::string FDelimiter = "\\";
  std::unique_ptr<TkxCompoundFileThread> FCompoundFileThread;
  std::recursive_mutex FCriticalSection;
  std::mt19937 FRandom;
  TkxTileSet FTakenTiles;  // free tiles taken by the allocation in progress
};

}  // namespace vdb
