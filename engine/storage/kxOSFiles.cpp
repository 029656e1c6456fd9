#include "storage/kxOSFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "storage/kxFileSystem.h"
#include "storage/kxPath.h"

namespace vdb::kxos {

namespace {

thread_local std::int32_t tLastError = 0;

// Marker bytes of the share-mode emulation.
constexpr std::int64_t kGuardByte = kxMarkerBase + 0;
constexpr std::int64_t kOpenMarker = kxMarkerBase + 1;
constexpr std::int64_t kReadMarker = kxMarkerBase + 2;
constexpr std::int64_t kWriteMarker = kxMarkerBase + 3;
constexpr std::int64_t kDenyReadMarker = kxMarkerBase + 4;
constexpr std::int64_t kDenyWriteMarker = kxMarkerBase + 5;

// Opens racing a delete or rename of the same name start again this often before giving up.
constexpr int kOpenAttempts = 10;

std::int32_t Fail(std::int32_t ErrorCode) {
  tLastError = ErrorCode;
  return -1;
}

bool FailBool(std::int32_t ErrorCode) {
  tLastError = ErrorCode;
  return false;
}

// errno values that say the file system keeps no byte-range locks.
bool IsNoLockingErrno(int Errno) {
  return Errno == EINVAL || Errno == ENOLCK || Errno == EOPNOTSUPP || Errno == ENOSYS;
}

// Sets (or with F_UNLCK releases) an open-file-description lock; answers 0 or the errno.
int SetLock(int Fd, short Type, std::int64_t Start, std::int64_t Length, bool Wait) {
  struct flock fl {};
  fl.l_type = Type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(Start);
  fl.l_len = static_cast<off_t>(Length);
  fl.l_pid = 0;
  while (fcntl(Fd, Wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// 1 when another open file description holds a lock on the byte, 0 when none does, or the
// negated errno.
int OtherHoldsByte(int Fd, std::int64_t Byte) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(Byte);
  fl.l_len = 1;
  fl.l_pid = 0;
  if (fcntl(Fd, F_OFD_GETLK, &fl) != 0) return -errno;
  return fl.l_type == F_UNLCK ? 0 : 1;
}

// A descriptor closed when it goes out of scope unless it was handed on.
class TFd {
 public:
  explicit TFd(int Fd = -1) : FFd(Fd) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() { Reset(); }
  int Get() const { return FFd; }
  int Release() {
    int fd = FFd;
    FFd = -1;
    return fd;
  }
  void Reset(int Fd = -1) {
    if (FFd >= 0) ::close(FFd);
    FFd = Fd;
  }

 private:
  int FFd;
};

// The exclusive guard byte of a file, held while a handle checks and takes its share markers.
class TGuard {
 public:
  // Descriptors opened read-only cannot take exclusive locks; they check without the guard.
  TGuard(int Fd, bool CanLock) : FFd(Fd) {
    if (CanLock) FResult = SetLock(Fd, F_WRLCK, kGuardByte, 1, true);
    FHeld = CanLock && FResult == 0;
  }
  TGuard(const TGuard&) = delete;
  TGuard& operator=(const TGuard&) = delete;
  ~TGuard() {
    if (FHeld) SetLock(FFd, F_UNLCK, kGuardByte, 1, false);
  }
  // 0, or the errno of taking the guard.
  int Result() const { return FResult; }

 private:
  int FFd;
  int FResult = 0;
  bool FHeld = false;
};

struct TShareRequest {
  bool Read = false;
  bool Write = false;
  bool DenyRead = false;
  bool DenyWrite = false;
};

// Decodes an open mode; false (error 87) for access or sharing values that have no meaning.
bool DecodeMode(std::int32_t Mode, TShareRequest& Request) {
  switch (Mode & kxAccessMask) {
    case fmOpenRead: Request.Read = true; break;
    case fmOpenWrite: Request.Write = true; break;
    case fmOpenReadWrite: Request.Read = Request.Write = true; break;
    default: return false;
  }
  switch (Mode & kxShareMask) {
    case fmShareCompat:
    case fmShareExclusive: Request.DenyRead = Request.DenyWrite = true; break;
    case fmShareDenyWrite: Request.DenyWrite = true; break;
    case fmShareDenyRead: Request.DenyRead = true; break;
    case fmShareDenyNone: break;
    default: return false;
  }
  return true;
}

// Open handles by descriptor. Descriptors are small numbers, so the table is indexed by them:
// every read and write looks its handle up here.
class THandleTable {
 public:
  static THandleTable& Instance() {
    static THandleTable table;
    return table;
  }
  void Add(const std::shared_ptr<TkxOSHandle>& Handle) {
    std::lock_guard lock(FMutex);
    const auto index = static_cast<std::size_t>(Handle->Fd);
    if (index >= FHandles.size()) FHandles.resize(index + 1);
    FHandles[index] = Handle;
  }
  std::shared_ptr<TkxOSHandle> Find(std::int32_t Handle) {
    std::lock_guard lock(FMutex);
    const auto index = static_cast<std::size_t>(Handle);
    return Handle >= 0 && index < FHandles.size() ? FHandles[index] : nullptr;
  }
  std::shared_ptr<TkxOSHandle> Remove(std::int32_t Handle) {
    std::lock_guard lock(FMutex);
    const auto index = static_cast<std::size_t>(Handle);
    if (Handle < 0 || index >= FHandles.size()) return nullptr;
    return std::move(FHandles[index]);
  }

 private:
  std::mutex FMutex;
  std::vector<std::shared_ptr<TkxOSHandle>> FHandles;
};

bool SameFile(const struct stat& A, const struct stat& B) {
  return A.st_dev == B.st_dev && A.st_ino == B.st_ino;
}

// Whether Path still names the file open on Fd (it may have been deleted or replaced between
// the open and taking the guard).
bool StillNamed(const std::string& Path, int Fd) {
  struct stat byName {}, byFd {};
  return ::stat(Path.c_str(), &byName) == 0 && ::fstat(Fd, &byFd) == 0 && SameFile(byName, byFd);
}

// Opens the descriptor: read-write whenever possible, so that the handle can take exclusive
// byte-range locks whatever its access; the access itself is enforced on FileRead/FileWrite.
int OpenDescriptor(const std::string& Path, const TShareRequest& Request, bool Create,
                   bool& Writable) {
  int flags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (Create ? O_CREAT : 0);
  int fd = ::open(Path.c_str(), flags | O_RDWR, 0666);
  Writable = fd >= 0;
  bool noPermission = errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY;
  if (fd < 0 && noPermission && !(Request.Read && Request.Write) && !Create) {
    fd = ::open(Path.c_str(), flags | (Request.Read ? O_RDONLY : O_WRONLY));
    Writable = fd >= 0 && !Request.Read;
  }
  return fd;
}

// 32 when an open handle's markers conflict with Request, 0 when none does, -1 when the file
// system keeps no locks (the share modes then cannot be enforced), else the error number.
std::int32_t CheckShareConflict(int Fd, const TShareRequest& Request) {
  const std::pair<bool, std::int64_t> tests[] = {{Request.Read, kDenyReadMarker},
                                                 {Request.Write, kDenyWriteMarker},
                                                 {Request.DenyRead, kReadMarker},
                                                 {Request.DenyWrite, kWriteMarker}};
  for (const auto& [wanted, marker] : tests) {
    if (!wanted) continue;
    int held = OtherHoldsByte(Fd, marker);
    if (held < 0) return IsNoLockingErrno(-held) ? -1 : ErrnoToError(-held);
    if (held > 0) return kxErrorSharingViolation;
  }
  return 0;
}

// Read-locks this handle's markers; 0 or the errno.
int TakeShareMarkers(int Fd, const TShareRequest& Request) {
  const std::pair<bool, std::int64_t> markers[] = {{true, kOpenMarker},
                                                   {Request.Read, kReadMarker},
                                                   {Request.Write, kWriteMarker},
                                                   {Request.DenyRead, kDenyReadMarker},
                                                   {Request.DenyWrite, kDenyWriteMarker}};
  for (const auto& [wanted, marker] : markers) {
    if (!wanted) continue;
    if (int err = SetLock(Fd, F_RDLCK, marker, 1, false); err != 0) return err;
  }
  return 0;
}

enum class TOpenStep { Done, Retry, Failed };

// One attempt at opening: the descriptor, the guard, the share check, the markers, truncation.
TOpenStep OpenAttempt(const std::string& Path, const TShareRequest& Request, bool CreateAlways,
                      std::shared_ptr<TkxOSHandle>& Result) {
  bool writable = false;
  TFd fd(OpenDescriptor(Path, Request, CreateAlways, writable));
  if (fd.Get() < 0) {
    int err = errno;
    tLastError = err == ENOENT ? MissingPathError(Path) : ErrnoToError(err);
    return TOpenStep::Failed;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) {
    tLastError = ErrnoToError(errno);
    return TOpenStep::Failed;
  }
  if (!S_ISREG(st.st_mode)) {
    tLastError = kxErrorAccessDenied;  // a directory or device is no file
    return TOpenStep::Failed;
  }
  ::fcntl(fd.Get(), F_SETFL, ::fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);

  TGuard guard(fd.Get(), writable);
  bool enforce = guard.Result() == 0;
  if (!enforce && !IsNoLockingErrno(guard.Result())) {
    tLastError = ErrnoToError(guard.Result());
    return TOpenStep::Failed;
  }
  if (!StillNamed(Path, fd.Get())) return TOpenStep::Retry;
  if (enforce) {
    std::int32_t conflict = CheckShareConflict(fd.Get(), Request);
    if (conflict > 0) {
      tLastError = conflict;
      return TOpenStep::Failed;
    }
    // Descriptors that can only read cannot set the markers of a write-only handle.
    int err = conflict < 0 ? 0 : TakeShareMarkers(fd.Get(), Request);
    if (err != 0 && err != EBADF && !IsNoLockingErrno(err)) {
      tLastError = ErrnoToError(err);
      return TOpenStep::Failed;
    }
  }
  // Only a file with content is cut: truncating an empty file would make ext4 write the whole
  // file back when it is closed (its protection for files replaced by truncation).
  if (CreateAlways && st.st_size > 0 && ::ftruncate(fd.Get(), 0) != 0) {
    tLastError = ErrnoToError(errno, TkxErrnoContext::Write);
    return TOpenStep::Failed;
  }
  Result = std::make_shared<TkxOSHandle>();
  Result->CanRead = Request.Read;
  Result->CanWrite = Request.Write;
  Result->ExclusiveLocks = writable;
  Result->Fd = fd.Release();
  return TOpenStep::Done;
}

// Runs Action on Path under the file's guard unless some handle holds the file open.
template <typename TAction>
bool WithUnopenedFile(const std::string& Path, TAction Action) {
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    struct stat st {};
    if (::lstat(Path.c_str(), &st) != 0) {
      return FailBool(errno == ENOENT ? MissingPathError(Path) : ErrnoToError(errno));
    }
    if (!S_ISREG(st.st_mode)) return Action();
    bool writable = true;
    TFd fd(::open(Path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.Get() < 0) {
      writable = false;
      fd.Reset(::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    }
    if (fd.Get() < 0) return Action();  // unreadable: nobody of ours can hold it open
    TGuard guard(fd.Get(), writable);
    if (guard.Result() != 0 && !IsNoLockingErrno(guard.Result())) {
      return FailBool(ErrnoToError(guard.Result()));
    }
    if (!StillNamed(Path, fd.Get())) continue;
    int held = OtherHoldsByte(fd.Get(), kOpenMarker);
    if (held > 0) return FailBool(kxErrorSharingViolation);
    if (held < 0 && !IsNoLockingErrno(-held)) return FailBool(ErrnoToError(-held));
    return Action();
  }
  return FailBool(kxErrorSharingViolation);
}

}  // namespace

std::int32_t GetLastError() { return tLastError; }

void SetLastError(std::int32_t ErrorCode) { tLastError = ErrorCode; }

std::int32_t ErrnoToError(int Errno, TkxErrnoContext Context) {
  switch (Errno) {
    case 0: return kxErrorSuccess;
    case ENOENT:
    case ENXIO:
    case ENODEV: return kxErrorFileNotFound;
    case ENOTDIR: return kxErrorPathNotFound;
    case EMFILE:
    case ENFILE: return kxErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR: return kxErrorAccessDenied;
    case EBADF: return kxErrorInvalidHandle;
    case ENOMEM: return kxErrorNotEnoughMemory;
    case EXDEV: return kxErrorNotSameDevice;
    case EROFS: return kxErrorWriteProtect;
    case ETXTBSY: return kxErrorSharingViolation;
    case EAGAIN: return kxErrorLockViolation;
    case EINVAL: return kxErrorInvalidParameter;
    case ENOSPC:
    case EDQUOT: return kxErrorDiskFull;
    case ELOOP: return kxErrorInvalidName;
    case ENOTEMPTY: return kxErrorDirNotEmpty;
    case EBUSY: return kxErrorBusy;
    case EEXIST: return kxErrorAlreadyExists;
    case ENAMETOOLONG: return kxErrorFilenameTooLong;
    case EFBIG: return kxErrorFileTooLarge;
    case ENOLCK: return kxErrorNoLockingSupport;
    case EOPNOTSUPP: return kxErrorNotSupported;
    case EIO:
      if (Context == TkxErrnoContext::Read) return kxErrorReadFault;
      if (Context == TkxErrnoContext::Write) return kxErrorWriteFault;
      return kxErrorUnknown;
    default: return kxErrorUnknown;
  }
}

std::int32_t MissingPathError(const std::string& Path) {
  // A bare name lies in the current directory, which exists.
  if (!kxHasDirectory(Path, TkxPathForm::OS)) return kxErrorFileNotFound;
  const std::string parent = kxExtractFileDir(Path, TkxPathForm::OS);
  struct stat st {};
  return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? kxErrorFileNotFound
                                                                  : kxErrorPathNotFound;
}

std::shared_ptr<TkxOSHandle> FindHandle(std::int32_t Handle) {
  auto handle = Handle < 0 ? nullptr : THandleTable::Instance().Find(Handle);
  if (!handle) tLastError = kxErrorInvalidHandle;
  return handle;
}

std::int32_t OpenFile(const std::string& Path, std::int32_t Mode, bool CreateAlways) {
  TShareRequest request;
  if (!DecodeMode(Mode, request)) return Fail(kxErrorInvalidParameter);
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    std::shared_ptr<TkxOSHandle> handle;
    switch (OpenAttempt(Path, request, CreateAlways, handle)) {
      case TOpenStep::Done:
        THandleTable::Instance().Add(handle);
        return handle->Fd;
      case TOpenStep::Failed: return -1;
      case TOpenStep::Retry: break;
    }
  }
  return Fail(kxErrorSharingViolation);
}

bool CloseFile(std::int32_t Handle) {
  auto handle = Handle < 0 ? nullptr : THandleTable::Instance().Remove(Handle);
  if (!handle) return FailBool(kxErrorInvalidHandle);
  // Closing the descriptor also drops every lock and share marker of the handle.
  ::close(handle->Fd);
  return true;
}

std::int32_t LockRange(std::int32_t Handle, std::int64_t StartPos, std::int64_t EndPos) {
  auto handle = FindHandle(Handle);
  if (!handle) return -1;
  // Only the low 32 bits of the positions go to the operating system.
  std::int64_t start = static_cast<std::uint32_t>(StartPos);
  std::int64_t length = static_cast<std::uint32_t>(EndPos - StartPos);
  if (length == 0) return Fail(kxErrorInvalidParameter);
  std::lock_guard lock(handle->Mutex);
  for (const auto& [heldStart, heldLength] : handle->Ranges) {
    if (start < heldStart + heldLength && heldStart < start + length) {
      tLastError = kxErrorLockViolation;  // locks do not nest, not even on one handle
      return 0;
    }
  }
  int err = SetLock(handle->Fd, handle->ExclusiveLocks ? F_WRLCK : F_RDLCK, start, length, false);
  if (err == EAGAIN || err == EACCES) {
    tLastError = kxErrorLockViolation;
    return 0;
  }
  if (err != 0) return Fail(IsNoLockingErrno(err) ? kxErrorNoLockingSupport : ErrnoToError(err));
  handle->Ranges.emplace_back(start, length);
  return 1;
}

bool UnlockRange(std::int32_t Handle, std::int64_t StartPos, std::int64_t EndPos) {
  auto handle = FindHandle(Handle);
  if (!handle) return false;
  std::int64_t start = static_cast<std::uint32_t>(StartPos);
  std::int64_t length = static_cast<std::uint32_t>(EndPos - StartPos);
  std::lock_guard lock(handle->Mutex);
  for (auto it = handle->Ranges.begin(); it != handle->Ranges.end(); ++it) {
    if (it->first != start || it->second != length) continue;
    if (int err = SetLock(handle->Fd, F_UNLCK, start, length, false); err != 0) {
      return FailBool(ErrnoToError(err));
    }
    handle->Ranges.erase(it);
    return true;
  }
  return FailBool(kxErrorNotLocked);
}

bool DeleteFile(const std::string& Path) {
  return WithUnopenedFile(Path, [&] {
    // unlink refuses a directory with EISDIR: access denied, as deleting a directory as a file.
    if (::unlink(Path.c_str()) != 0) return FailBool(ErrnoToError(errno));
    return true;
  });
}

bool RenameFile(const std::string& OldPath, const std::string& NewPath) {
  return WithUnopenedFile(OldPath, [&] {
    if (::renameat2(AT_FDCWD, OldPath.c_str(), AT_FDCWD, NewPath.c_str(), RENAME_NOREPLACE) == 0) {
      return true;
    }
    if (errno != EINVAL) {
      return FailBool(errno == ENOENT ? MissingPathError(NewPath) : ErrnoToError(errno));
    }
    // The file system cannot refuse to replace: check first, then rename.
    struct stat st {};
    if (::lstat(NewPath.c_str(), &st) == 0) return FailBool(kxErrorAlreadyExists);
    if (::rename(OldPath.c_str(), NewPath.c_str()) != 0) {
      return FailBool(errno == ENOENT ? MissingPathError(NewPath) : ErrnoToError(errno));
    }
    return true;
  });
}

}  // namespace vdb::kxos
