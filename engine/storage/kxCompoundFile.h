// The single-file compound container: one operating-system file that holds a small file system
// of its own, a directory tree of contained files stored as chains of 8192-byte tiles.
//
// TkxCompoundFileIntf presents one container as a TkxFileSystem, so that the page manager and
// the table files read and write contained files as they would plain files. All interface
// objects of a process that open the same container file share one TkxCompoundFileImpl
// (kxCompoundFileImpl.h), which does the real work: tile allocation, per-file tile caches,
// committing dirty tiles, cross-process locking on the lock bytes 768 to 777 of the header,
// detecting changes made by other processes and giving back idle locks in a background thread.
//
// Paths inside the container are absolute and use "\" as delimiter ("\Data.vdbt").
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "storage/kxFileSystem.h"
#include "storage/kxFormat.h"

namespace vdb {

class TkxCompoundFileImpl;
class TkxVirtualFile;

// --- Container file layout -------------------------------------------------------------------
inline constexpr std::uint32_t kxCompoundFileMagic = 0x39E47581;
inline constexpr std::int32_t kxCompoundFileVersion = 1;
inline constexpr std::int32_t kxTileSize = 8192;
inline constexpr std::int32_t kxHeaderSize = 1024;           // the FAT starts here in tile 0
inline constexpr std::int32_t kxHeaderFieldsSize = 28;       // magic .. change counter
inline constexpr std::int32_t kxHeaderMagicOffset = 0;
inline constexpr std::int32_t kxHeaderVersionOffset = 4;
inline constexpr std::int32_t kxHeaderTileSizeOffset = 8;
inline constexpr std::int32_t kxHeaderTileCountOffset = 12;
inline constexpr std::int32_t kxHeaderRootSizeOffset = 16;
inline constexpr std::int32_t kxHeaderFreeListOffset = 20;
inline constexpr std::int32_t kxHeaderChangeCounterOffset = 24;
inline constexpr std::int32_t kxLockBytesStart = 768;        // bytes 768..777 are lock bytes
inline constexpr std::int32_t kxLockBytesCount = 10;
inline constexpr std::int32_t kxLockAreaEnd = 1024;          // 768..1023 are never read
inline constexpr std::int32_t kxDirEntrySize = 109;
inline constexpr std::int32_t kxDirEntryNameSize = 80;       // at most 79 characters + zero
inline constexpr std::int32_t kxMaxEntryNameLength = 79;
inline constexpr std::int32_t kxEndOfChain = -1;             // FAT: end of a chain; no tile yet
inline constexpr std::int32_t kxNoTile = static_cast<std::int32_t>(0x80000000u);  // empty / deleted
inline constexpr std::int32_t kxFirstContainerHandle = 32;
inline constexpr std::int32_t kxRootTile = 1;
inline constexpr std::int32_t kxDirAttribute = 1;            // entry attribute bit: directory
inline constexpr std::int32_t kxNewContainerSize = kxTileSize + kxDirEntrySize;  // 8301 bytes

// Open modes of the container file (FileMode).
inline constexpr std::int32_t kxModeReadWriteShared = fmOpenReadWrite | fmShareDenyNone;  // 66
inline constexpr std::int32_t kxModeReadShared = fmOpenRead | fmShareDenyNone;            // 64
inline constexpr std::int32_t kxModeReadWriteExclusive = fmOpenReadWrite;                 // 2
inline constexpr std::int32_t kxModeReadExclusive = fmOpenRead;                           // 0

// Fatal failures of the container itself (unbalanced locks, commits that cannot be written,
// compression). Code is an engine error number: 3 for failed writes, 0 otherwise.
class EkxCompoundFileError : public std::runtime_error {
 public:
  EkxCompoundFileError(std::int16_t Code, const std::string& Message)
      : std::runtime_error(Message), FCode(Code) {}
  static EkxCompoundFileError CreateVdbFmt(std::int16_t ACode, std::string_view Msg,
                                           const kxFormatArgs& Args) {
    return EkxCompoundFileError(ACode, kxFormatOrBare(Msg, Args));
  }
  std::int16_t Code() const { return FCode; }

 private:
  std::int16_t FCode;
};

// Reports one defect found by PerformCheck: the path of the file concerned and the message.
using TkxCompoundFileDefectEvent =
    std::function<void(const std::string& FilePath, const std::string& Message)>;

// The container as a file system. Set FileName (and ReadOnly / Exclusive) and call Open.
class TkxCompoundFileIntf : public TkxFileSystem {
 public:
  TkxCompoundFileIntf();
  explicit TkxCompoundFileIntf(const std::string& FileName, bool ReadOnly = false,
                               bool Exclusive = false);
  ~TkxCompoundFileIntf() override;  // closes first

  // --- TkxFileSystem ---------------------------------------------------------------------------
  std::string GetBaseDirectory() override;  // "\"
  std::int32_t GetPageSize() override;      // the tile size
  void SetPageSize(std::int32_t Value) override;
  void SetLastError(std::int32_t ErrorCode) override;
  void Open() override;
  void Close() override;
  bool SupportsExclusiveFiles() override;  // false
  std::int32_t GetLastError() override;    // returns and resets it
  std::int32_t CreateFile(const std::string& FilePath) override;
  std::int32_t OpenFile(const std::string& FilePath, std::int32_t Mode) override;
  std::int32_t FileRead(std::int32_t Handle, void* Data, std::int32_t Count,
                        std::int64_t Position) override;
  std::int32_t FileWrite(std::int32_t Handle, const void* Data, std::int32_t Count,
                         std::int64_t Position) override;
  // Under one logical write lock; whole tiles that lie one after the other in the container go
  // to it with one system call. A file system derived from this one gets the pieces through its
  // FileWrite, one by one.
  std::int32_t FileWriteGathered(std::int32_t Handle, const TkxWritePiece* Pieces,
                                 std::int32_t PieceCount, std::int64_t Position) override;
  std::int64_t GetFileSize(std::int32_t Handle) override;  // -1 on failure (LastError)
  void SetFileSize(std::int32_t Handle, std::int64_t Size) override;
  bool EndOfFile(std::int32_t Handle, std::int64_t Position) override;
  void CloseFile(std::int32_t Handle) override;
  std::int32_t LockFile(std::int32_t Handle, std::int64_t StartPos, std::int64_t EndPos,
                        bool WriteLock) override;
  void UnlockFile(std::int32_t Handle, std::int64_t StartPos, std::int64_t EndPos,
                  bool WriteLock) override;
  bool CreateDir(const std::string& DirPath) override;
  bool RemoveDir(const std::string& DirPath) override;
  bool FindFirstFile(const std::string& Path, std::int32_t Attr,
                     TkxFindFileRec& FindFileRec) override;
  bool FindNextFile(TkxFindFileRec& FindFileRec) override;
  void FindFileClose(TkxFindFileRec& FindFileRec) override;
  bool DeleteFile(const std::string& FileName) override;
  std::int32_t Clear() override;
  bool RenameFile(const std::string& OldName, const std::string& NewName) override;
  std::string ExpandFileName(const std::string& FileName) override;
  bool ForcePath(const std::string& DirPath) override;
  char GetPathDelimiter() const override;  // '\'

  // --- Container operations --------------------------------------------------------------------
  // True when the file starts with the container magic, or cannot be opened at all (so that
  // Open reports the real error); false for a shorter file or another first word.
  static bool IsCompoundFile(const std::string& FileName);
  // Creates an empty container at FileName (an existing file is replaced).
  void NewFile();
  // True when a contained file has an open handle (in any client of the implementation).
  bool HasOpenFiles();

  // This client's logical locks on the whole container. BeginRead/BeginWrite return true
  // holding the container's critical section; the matching End call leaves it.
  bool BeginRead();
  bool BeginWrite();
  void EndRead();
  void EndWrite();

  // Copies every entry of Mask's directory that matches its name part to DirName + name.
  void ExportFiles(const std::string& Mask, const std::string& DirName, bool Recurse);
  // Copies one contained file to the operating-system file Target.
  void ExportFile(const std::string& FilePath, const std::string& Target);
  // Consistency check of the (closed) container; returns the number of defects.
  std::int32_t PerformCheck(const TkxCompoundFileDefectEvent& OnCompoundFileDefect);
  // Rewrites the container without free tiles; the old one is kept with ".bak" in its name.
  void Compress();

  // --- Diagnostics -----------------------------------------------------------------------------
  // One raw tile as it is on disk (GetPageSize bytes).
  void GetPageData(std::int32_t PageNo, std::vector<std::uint8_t>& Data);
  // First tile of a file from its directory entry; -1 when not found or not readable.
  std::int32_t GetFirstPageNo(const std::string& FilePath);
  std::int32_t GetFreeListPage();                       // head of the free list
  std::int32_t GetSuccessorPage(std::int32_t PageNo);   // the tile-table entry of PageNo
  // The tiles of the chain starting at FirstPageNo, in chain order; the walk stops at the end
  // of the chain, at a tile number outside the container and before a tile seen already.
  std::vector<std::int32_t> GetPageChain(std::int32_t FirstPageNo);

  // --- Properties ------------------------------------------------------------------------------
  std::int32_t GetFreePagesCount();  // length of the free list
  std::int32_t GetPageCount();       // the tile count
  std::int32_t GetFileMode() const;  // 66, 64, 2 or 0
  const std::string& GetFileName() const { return FFileName; }
  void SetFileName(const std::string& Value);
  bool GetReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool Value);
  bool GetExclusive() const { return FExclusive; }
  void SetExclusive(bool Value);
  bool GetSharedAccess() const { return FSharedAccess; }
  void SetSharedAccess(bool Value);  // raises "Compound file is already open." while open
  bool IsOpen() const;
  std::string GetDelimiter() const { return FDelimiter; }

 private:
  class TLockGuard;
  // Runs Operation(Impl) on the open container under this client's logical read or write
  // lock; Failure (LastError 32) when the lock cannot be had.
  template <typename TResult, typename TOperation>
  TResult UnderLock(bool Write, TResult Failure, TOperation Operation);
  // The same for an operation on the file of a handle (Failure, LastError 6, for a bad one).
  template <typename TResult, typename TOperation>
  TResult OnHandle(std::int32_t Handle, bool Write, TResult Failure, TOperation Operation);
  TkxCompoundFileImpl& CheckOpen();
  TkxCompoundFileImpl& CheckOpenForWriting();
  bool IsReadOnly() const;
  // The file object of a handle, or null with LastError 6.
  TkxVirtualFile* FileOfHandle(std::int32_t Handle);
  std::int32_t AddHandle(TkxVirtualFile* File);
  void ReleaseImpl();
  void ReplaceByCompressed(const std::string& TmpName, const std::string& BakName);

  std::shared_ptr<TkxCompoundFileImpl> FCompoundFileImpl;
  std::int32_t FClientHdl = 0;
  bool FReadOnly = false;
  bool FExclusive = false;
  std::vector<TkxVirtualFile*> FFileHandles;  // handle = index + 32; closed slots stay empty
  std::string FDelimiter = "\\";
  std::int32_t FLastError = 0;
  std::int32_t FPageSize = kxTileSize;
  std::string FFileName;
  bool FSharedAccess = true;
};

}  // namespace vdb
