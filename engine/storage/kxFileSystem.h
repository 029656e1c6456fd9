// File systems of the engine: the abstract TkxFileSystem, the operating system's files below a
// base directory (TkxOSFileSystem), and a seekable byte stream over any file system
// (TkxFileSystemStream).
//
// A file system hands out 32-bit file handles (valid when 0 or greater, -1 invalid) and reads and
// writes at explicit 64-bit positions. Failures come back as results (-1, 0, false, short
// counts) with the reason in LastError, an operating-system error number in the Windows
// numbering the engine relies on (2 file not found, 3 path not found, 6 invalid handle,
// 32 sharing violation, 33 lock violation, 183 already exists, 1000 no locking support).
// Only GetFileSize, SetFileSize, CopyFrom and the stream constructors raise.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace vdb {

// --- Open modes (the Mode argument of OpenFile and of the stream constructors) -----------------
// Low four bits: access; next four bits: sharing; 0xFF00 asks a stream constructor to create.
inline constexpr std::int32_t fmOpenRead = 0x0000;
inline constexpr std::int32_t fmOpenWrite = 0x0001;
inline constexpr std::int32_t fmOpenReadWrite = 0x0002;
inline constexpr std::int32_t fmShareCompat = 0x0000;  // treated as exclusive
inline constexpr std::int32_t fmShareExclusive = 0x0010;
inline constexpr std::int32_t fmShareDenyWrite = 0x0020;
inline constexpr std::int32_t fmShareDenyRead = 0x0030;
inline constexpr std::int32_t fmShareDenyNone = 0x0040;
inline constexpr std::int32_t fmCreate = 0xFF00;

inline constexpr std::int32_t kxAccessMask = 0x000F;
inline constexpr std::int32_t kxShareMask = 0x00F0;

inline constexpr std::int32_t kxInvalidHandle = -1;

// --- Error numbers kept in LastError -------------------------------------------------------------
inline constexpr std::int32_t kxErrorSuccess = 0;
inline constexpr std::int32_t kxErrorInvalidFunction = 1;
inline constexpr std::int32_t kxErrorFileNotFound = 2;
inline constexpr std::int32_t kxErrorPathNotFound = 3;
inline constexpr std::int32_t kxErrorTooManyOpenFiles = 4;
inline constexpr std::int32_t kxErrorAccessDenied = 5;
inline constexpr std::int32_t kxErrorInvalidHandle = 6;
inline constexpr std::int32_t kxErrorNotEnoughMemory = 8;
inline constexpr std::int32_t kxErrorNotSameDevice = 17;
inline constexpr std::int32_t kxErrorNoMoreFiles = 18;
inline constexpr std::int32_t kxErrorWriteProtect = 19;
inline constexpr std::int32_t kxErrorWriteFault = 29;
inline constexpr std::int32_t kxErrorReadFault = 30;
inline constexpr std::int32_t kxErrorSharingViolation = 32;
inline constexpr std::int32_t kxErrorLockViolation = 33;
inline constexpr std::int32_t kxErrorHandleEof = 38;
inline constexpr std::int32_t kxErrorNotSupported = 50;
inline constexpr std::int32_t kxErrorInvalidParameter = 87;
inline constexpr std::int32_t kxErrorDiskFull = 112;
inline constexpr std::int32_t kxErrorInvalidName = 123;
inline constexpr std::int32_t kxErrorNegativeSeek = 131;
inline constexpr std::int32_t kxErrorDirNotEmpty = 145;
inline constexpr std::int32_t kxErrorNotLocked = 158;
inline constexpr std::int32_t kxErrorBusy = 170;
inline constexpr std::int32_t kxErrorAlreadyExists = 183;
inline constexpr std::int32_t kxErrorFilenameTooLong = 206;
inline constexpr std::int32_t kxErrorFileTooLarge = 223;
inline constexpr std::int32_t kxErrorDirectory = 267;
inline constexpr std::int32_t kxErrorNoLockingSupport = 1000;
inline constexpr std::int32_t kxErrorUnknown = 1117;

// --- Attribute bits of TkxFindFileRec.Attr and of the FindFirstFile mask ------------------------
inline constexpr std::int32_t faReadOnly = 0x01;
inline constexpr std::int32_t faHidden = 0x02;
inline constexpr std::int32_t faSysFile = 0x04;
inline constexpr std::int32_t faVolumeID = 0x08;
inline constexpr std::int32_t faDirectory = 0x10;
inline constexpr std::int32_t faArchive = 0x20;
inline constexpr std::int32_t faAnyFile = 0x1FF;

// --- Exceptions ----------------------------------------------------------------------------------
// Input/output failures of file systems and containers.
class EkxInOutError : public std::runtime_error {
 public:
  explicit EkxInOutError(const std::string& Message, std::int32_t ErrorCode = 0)
      : std::runtime_error(Message), FErrorCode(ErrorCode) {}
  // The file system's last error when the failure was raised (0 when none applies).
  std::int32_t ErrorCode() const { return FErrorCode; }

 private:
  std::int32_t FErrorCode;
};

// Stream failures (locking a stream's range, reading or writing a whole buffer).
class EkxStreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A stream constructor could not create its file.
class EkxFileCreateError : public EkxStreamError {
 public:
  using EkxStreamError::EkxStreamError;
};

// ... because the file exists already (last error 183).
class EkxFileAlreadyExistsError : public EkxFileCreateError {
 public:
  using EkxFileCreateError::EkxFileCreateError;
};

// A stream constructor could not open its file.
class EkxFileOpenError : public EkxStreamError {
 public:
  using EkxStreamError::EkxStreamError;
};

// ... because the file does not exist (last error 2).
class EkxFileNotFoundError : public EkxFileOpenError {
 public:
  using EkxFileOpenError::EkxFileOpenError;
};

// --- Enumeration ---------------------------------------------------------------------------------
struct TkxOSFindData;       // the operating system's enumeration state (TkxOSFileSystem)
class TkxVirtualDirectory;  // a directory of a compound container (TkxCompoundFileIntf)

// One running directory search. Time is the entry's modification time as a 32-bit packed
// date-time (bits 25..31 year - 1980, 21..24 month, 16..20 day, 11..15 hour, 5..10 minute,
// 0..4 seconds / 2, local time).
struct TkxFindFileRec {
  std::int32_t Time = 0;
  std::int64_t Size = 0;
  std::int32_t Attr = 0;
  std::string Name;
  std::int32_t ExcludeAttr = 0;
  std::int32_t FindHandle = -1;             // -1 when no search runs
  std::shared_ptr<TkxOSFindData> FindData;  // operating-system file system only
  std::int32_t DirIndex = -1;               // compound file system: entry index in VirtDir
  TkxVirtualDirectory* VirtDir = nullptr;   // compound file system: directory searched
  std::string PathPattern;                  // compound file system: name pattern
};

// One piece of a gathered write (FileWriteGathered).
struct TkxWritePiece {
  const void* Data;
  std::int32_t Count;
};

// --- TkxFileSystem -------------------------------------------------------------------------------
class TkxFileSystem {
 public:
  TkxFileSystem() = default;
  TkxFileSystem(const TkxFileSystem&) = delete;
  TkxFileSystem& operator=(const TkxFileSystem&) = delete;
  virtual ~TkxFileSystem() = default;

  // Virtual operations, in slot order.
  virtual std::string GetBaseDirectory();  // base class: the delimiter alone
  virtual std::int32_t GetPageSize() = 0;
  virtual void SetPageSize(std::int32_t Value) = 0;
  virtual void SetLastError(std::int32_t ErrorCode) = 0;
  virtual void Open();   // base class: nothing
  virtual void Close();  // base class: nothing
  virtual bool SupportsExclusiveFiles() = 0;
  virtual std::int32_t GetLastError() = 0;
  virtual std::int32_t CreateFile(const std::string& FilePath) = 0;
  virtual std::int32_t OpenFile(const std::string& FilePath, std::int32_t Mode) = 0;
  virtual std::int32_t FileRead(std::int32_t Handle, void* Data, std::int32_t Count,
                                std::int64_t Position) = 0;
  virtual std::int32_t FileWrite(std::int32_t Handle, const void* Data, std::int32_t Count,
                                 std::int64_t Position) = 0;
  virtual std::int64_t GetFileSize(std::int32_t Handle) = 0;
  virtual void SetFileSize(std::int32_t Handle, std::int64_t Size) = 0;
  virtual bool EndOfFile(std::int32_t Handle, std::int64_t Position) = 0;
  virtual void CloseFile(std::int32_t Handle) = 0;
  virtual std::int32_t LockFile(std::int32_t Handle, std::int64_t StartPos, std::int64_t EndPos,
                                bool WriteLock) = 0;
  virtual void UnlockFile(std::int32_t Handle, std::int64_t StartPos, std::int64_t EndPos,
                          bool WriteLock) = 0;
  virtual bool CreateDir(const std::string& DirPath) = 0;
  virtual bool RemoveDir(const std::string& DirPath) = 0;
  virtual bool FindFirstFile(const std::string& Path, std::int32_t Attr,
                             TkxFindFileRec& FindFileRec) = 0;
  virtual bool FindNextFile(TkxFindFileRec& FindFileRec) = 0;
  virtual void FindFileClose(TkxFindFileRec& FindFileRec) = 0;
  virtual bool DeleteFile(const std::string& FileName) = 0;
  virtual std::int32_t Clear() = 0;
  virtual bool RenameFile(const std::string& OldName, const std::string& NewName) = 0;
  virtual std::string ExpandFileName(const std::string& FileName) = 0;
  virtual bool ForcePath(const std::string& DirPath);  // base class: true, nothing done

  // The path delimiter of this file system's own paths: "/" for the operating system, "\" for a
  // compound container. CopyFile and CopyFrom build paths with it.
  virtual char GetPathDelimiter() const;

  // Writes the pieces one after the other from Position on, as one FileWrite of all of them
  // would: answers the bytes written, or FileWrite's result when the first piece cannot be
  // written at all. The base class hands the pieces to FileWrite one by one; a file system that
  // can write them with one call does so.
  virtual std::int32_t FileWriteGathered(std::int32_t Handle, const TkxWritePiece* Pieces,
                                         std::int32_t PieceCount, std::int64_t Position);

  // Non-virtual operations.
  static bool IsValidHandle(std::int32_t Handle) { return Handle >= 0; }
  static std::string GetErrorMessage(std::int32_t ErrorCode);
  bool FileExists(const std::string& FileName);
  bool DirectoryExists(const std::string& DirName);
  bool CopyFile(const std::string& Source, const std::string& Target);
  void CopyFrom(TkxFileSystem& FileSystem, const std::string& SrcDirName,
                const std::string& DstDirName);
  void SetPhysicallyExclusive(bool Value) { FPhysicallyExclusive = Value; }
  bool GetPhysicallyExclusive() const { return FPhysicallyExclusive; }

 protected:
  bool FPhysicallyExclusive = false;
};

// --- TkxFileHandle -------------------------------------------------------------------------------
// An open file of a file-system object, closed when its owner goes: no early return or exception
// leaves a handle open behind it. It takes whatever OpenFile or CreateFile answered, so a failed
// open gives an invalid handle that is never closed. Moving hands the file on; the file system
// must outlive the handle.
class TkxFileHandle {
 public:
  TkxFileHandle() = default;
  TkxFileHandle(TkxFileSystem& FileSystem, std::int32_t Handle)
      : FFileSystem(&FileSystem), FHandle(Handle) {}
  TkxFileHandle(TkxFileHandle&& Other) noexcept { *this = std::move(Other); }
  TkxFileHandle& operator=(TkxFileHandle&& Other) noexcept;
  TkxFileHandle(const TkxFileHandle&) = delete;
  TkxFileHandle& operator=(const TkxFileHandle&) = delete;
  ~TkxFileHandle() { Close(); }

  bool Valid() const { return FFileSystem != nullptr && TkxFileSystem::IsValidHandle(FHandle); }
  std::int32_t Get() const { return FHandle; }
  // Closes a valid handle now; afterwards the guard holds none.
  void Close();

 private:
  TkxFileSystem* FFileSystem = nullptr;
  std::int32_t FHandle = kxInvalidHandle;
};

// --- TkxOSFileSystem -----------------------------------------------------------------------------
// The operating system's files below a base directory. Handles are file descriptors (opened
// close-on-exec) and valid with any TkxOSFileSystem object of the process; a descriptor this
// file system did not open is an invalid handle (error 6) and is never touched.
//
// Paths use "/" only ("\" is an ordinary character of a name) and are resolved against the base
// directory: a path starting with "/" is absolute; leading "./" steps are dropped and each
// leading "../" climbs one directory ("/a/b" -> "/a" -> "/"). Names are compared as the
// operating system does, case-sensitively.
//
// Windows share modes are kept across processes and within one process: an open that Windows
// would refuse fails with error 32 and changes nothing (CreateFile never empties a file another
// handle holds). DeleteFile and RenameFile refuse a file that any handle holds open (32), and
// RenameFile never replaces an existing name (183). Byte-range locks are exclusive whatever
// WriteLock says, fail at once (0, error 33), never nest on one handle, and are released exactly
// as taken (else error 158); LockFile answers -1 for an invalid handle (6), an empty range (87)
// or a file system without locks (1000). Locks do not stop reads and writes.
//
// FileRead and FileWrite answer 0 when the seek fails (invalid handle: 6, negative position:
// 131), -1 when the transfer fails (an access the handle lacks: 5), else the bytes moved; a read
// that meets the end of the file answers the shorter count with error 38.
//
// Enumeration: "*" matches any run of characters, "?" one character, and a pattern ending in
// ".*" also matches names without an extension ("*.*" matches everything). "." and ".." are
// never reported. Directories are reported only when the mask has faDirectory (as are hidden,
// system and volume entries with their bits: devices, pipes and sockets count as system
// entries). A path without wildcards finds that one entry, the root "/" included. No match:
// error 2 (3 when the directory is missing); the end of an enumeration: error 18.
class TkxOSFileSystem : public TkxFileSystem {
 public:
  explicit TkxOSFileSystem(const std::string& BaseDirectory = "");
  ~TkxOSFileSystem() override = default;

  std::string GetBaseDirectory() override;
  std::int32_t GetPageSize() override;
  void SetPageSize(std::int32_t Value) override;
  void SetLastError(std::int32_t ErrorCode) override;
  bool SupportsExclusiveFiles() override;
  std::int32_t GetLastError() override;
  std::int32_t CreateFile(const std::string& FilePath) override;
  std::int32_t OpenFile(const std::string& FilePath, std::int32_t Mode) override;
  std::int32_t FileRead(std::int32_t Handle, void* Data, std::int32_t Count,
                        std::int64_t Position) override;
  std::int32_t FileWrite(std::int32_t Handle, const void* Data, std::int32_t Count,
                         std::int64_t Position) override;
  // One pwritev for all pieces. A file system derived from this one gets them through its
  // FileWrite, one by one, so that it sees every write as it always did.
  std::int32_t FileWriteGathered(std::int32_t Handle, const TkxWritePiece* Pieces,
                                 std::int32_t PieceCount, std::int64_t Position) override;
  std::int64_t GetFileSize(std::int32_t Handle) override;
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

  // A trailing "/" is dropped (the root "/" stays as it is).
  void SetBaseDirectory(const std::string& Value);

 protected:
  std::string FBaseDirectory;
};

// --- TkxFileSystemStream -------------------------------------------------------------------------
// A seekable byte stream over one file of a file system. The stream owns its handle.
class TkxFileSystemStream {
 public:
  static constexpr std::int32_t soFromBeginning = 0;
  static constexpr std::int32_t soFromCurrent = 1;
  static constexpr std::int32_t soFromEnd = 2;

  // Mode fmCreate creates the file; any other mode opens it with that mode.
  TkxFileSystemStream(const std::string& FileName, TkxFileSystem& FileSystem, std::int32_t Mode);
  // Wraps a handle that is already open; the name stays empty.
  static std::unique_ptr<TkxFileSystemStream> CreateFromHandle(std::int32_t Handle,
                                                               TkxFileSystem& FileSystem);
  TkxFileSystemStream(const TkxFileSystemStream&) = delete;
  TkxFileSystemStream& operator=(const TkxFileSystemStream&) = delete;
  virtual ~TkxFileSystemStream();

  // Move up to Count bytes at the position and advance it by the count moved.
  std::int32_t Read(void* Buffer, std::int32_t Count);
  std::int32_t Write(const void* Buffer, std::int32_t Count);
  // Read or write exactly Count bytes; a short transfer raises EkxStreamError.
  void ReadBuffer(void* Buffer, std::int32_t Count);
  void WriteBuffer(const void* Buffer, std::int32_t Count);
  std::int64_t Seek(std::int64_t Offset, std::int32_t Origin);

  std::int64_t GetPosition() const { return FPosition; }
  void SetPosition(std::int64_t Value) { FPosition = Value; }
  std::int64_t GetSize();
  // Cuts the file at Value when it is longer (the file system only shortens).
  void SetSize(std::int64_t Value);

  bool LockRange(std::int64_t StartPos, std::int64_t Length, bool ForWrite);
  void UnlockRange(std::int64_t StartPos, std::int64_t Length, bool ForWrite);
  bool IsRangeLocked(std::int64_t StartPos, std::int64_t Length);

  const std::string& GetFileName() const { return FFileName; }
  std::int32_t GetHandle() const { return FHandle; }
  TkxFileSystem& GetFileSystem() const { return *FFileSystem; }

 private:
  TkxFileSystemStream(std::int32_t Handle, TkxFileSystem& FileSystem);

  std::string FFileName;
  std::int32_t FHandle = kxInvalidHandle;
  std::int64_t FPosition = 0;
  TkxFileSystem* FFileSystem;
};

}  // namespace vdb
