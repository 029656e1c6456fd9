#include "storage/kxFileSystem.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <ctime>
#include <limits>
#include <typeinfo>
#include <vector>

#include "storage/kxFormat.h"
#include "storage/kxOSFiles.h"
#include "storage/kxPath.h"

namespace vdb {

namespace {

constexpr std::int32_t kOSPageSize = 8192;
constexpr std::int32_t kCopyFileChunk = 4096;
constexpr std::int32_t kCopyFromChunk = 32768;

struct TErrorText {
  std::int32_t Code;
  const char* Text;
};

constexpr TErrorText kErrorTexts[] = {
    {kxErrorSuccess, "The operation completed successfully."},
    {kxErrorInvalidFunction, "Incorrect function."},
    {kxErrorFileNotFound, "The system cannot find the file specified."},
    {kxErrorPathNotFound, "The system cannot find the path specified."},
    {kxErrorTooManyOpenFiles, "The system cannot open the file."},
    {kxErrorAccessDenied, "Access is denied."},
    {kxErrorInvalidHandle, "The handle is invalid."},
    {kxErrorNotEnoughMemory, "Not enough memory resources are available to process this command."},
    {kxErrorNotSameDevice, "The system cannot move the file to a different disk drive."},
    {kxErrorNoMoreFiles, "There are no more files."},
    {kxErrorWriteProtect, "The media is write protected."},
    {kxErrorWriteFault, "The system cannot write to the specified device."},
    {kxErrorReadFault, "The system cannot read from the specified device."},
    {kxErrorSharingViolation,
     "The process cannot access the file because it is being used by another process."},
    {kxErrorLockViolation,
     "The process cannot access the file because another process has locked a portion of the "
     "file."},
    {kxErrorHandleEof, "Reached the end of the file."},
    {kxErrorNotSupported, "The request is not supported."},
    {kxErrorInvalidParameter, "The parameter is incorrect."},
    {kxErrorDiskFull, "There is not enough space on the disk."},
    {kxErrorInvalidName, "The filename, directory name, or volume label syntax is incorrect."},
    {kxErrorNegativeSeek,
     "An attempt was made to move the file pointer before the beginning of the file."},
    {kxErrorDirNotEmpty, "The directory is not empty."},
    {kxErrorNotLocked, "The segment is already unlocked."},
    {kxErrorBusy, "The requested resource is in use."},
    {kxErrorAlreadyExists, "Cannot create a file when that file already exists."},
    {kxErrorFilenameTooLong, "The filename or extension is too long."},
    {kxErrorFileTooLarge, "The file size exceeds the limit allowed and cannot be saved."},
    {kxErrorDirectory, "The directory name is invalid."},
};

// A running enumeration ended when it goes out of scope.
class TFindGuard {
 public:
  explicit TFindGuard(TkxFileSystem& FileSystem) : FFileSystem(FileSystem) {}
  TFindGuard(const TFindGuard&) = delete;
  TFindGuard& operator=(const TFindGuard&) = delete;
  ~TFindGuard() { FFileSystem.FindFileClose(Rec); }
  TkxFindFileRec Rec;

 private:
  TkxFileSystem& FFileSystem;
};

// Copies Size bytes between two open handles in chunks of ChunkSize; false on a short chunk.
bool CopyData(TkxFileSystem& Source, std::int32_t SourceHandle, TkxFileSystem& Target,
              std::int32_t TargetHandle, std::int64_t Size, std::int32_t ChunkSize) {
  std::vector<char> buffer(static_cast<std::size_t>(ChunkSize));
  for (std::int64_t pos = 0; Size < 0 || pos < Size;) {
    std::int32_t wanted = ChunkSize;
    if (Size >= 0 && Size - pos < ChunkSize) wanted = static_cast<std::int32_t>(Size - pos);
    std::int32_t got = Source.FileRead(SourceHandle, buffer.data(), wanted, pos);
    if (got < 0 || (Size >= 0 && got != wanted)) return false;
    if (got > 0 && Target.FileWrite(TargetHandle, buffer.data(), got, pos) != got) return false;
    pos += got;
    if (got < wanted) break;  // end of a source of unknown size
  }
  return true;
}

}  // namespace

// --- TkxFileSystem -------------------------------------------------------------------------------

std::string TkxFileSystem::GetBaseDirectory() { return std::string(1, GetPathDelimiter()); }

void TkxFileSystem::Open() {}

void TkxFileSystem::Close() {}

bool TkxFileSystem::ForcePath(const std::string& /*DirPath*/) { return true; }

char TkxFileSystem::GetPathDelimiter() const { return '/'; }

std::int32_t TkxFileSystem::FileWriteGathered(std::int32_t Handle, const TkxWritePiece* Pieces,
                                              std::int32_t PieceCount, std::int64_t Position) {
  std::int32_t Done = 0;
  for (std::int32_t I = 0; I < PieceCount; ++I) {
    const std::int32_t Written = FileWrite(Handle, Pieces[I].Data, Pieces[I].Count, Position + Done);
    if (Written < 0) return Done > 0 ? Done : Written;
    Done += Written;
    if (Written < Pieces[I].Count) break;
  }
  return Done;
}

std::string TkxFileSystem::GetErrorMessage(std::int32_t ErrorCode) {
  if (ErrorCode == kxErrorNoLockingSupport) return "No locking support";
  if (ErrorCode >= 1000) return "Unknown reason";
  for (const auto& entry : kErrorTexts) {
    if (entry.Code == ErrorCode) return entry.Text;
  }
  return kxFormat("System error %d.", {ErrorCode});
}

bool TkxFileSystem::FileExists(const std::string& FileName) {
  TFindGuard find(*this);
  return FindFirstFile(FileName, 0, find.Rec) && (find.Rec.Attr & faDirectory) == 0;
}

bool TkxFileSystem::DirectoryExists(const std::string& DirName) {
  std::string name = DirName;
  if (name.size() > 1 && name.back() == GetPathDelimiter()) name.pop_back();
  TFindGuard find(*this);
  return FindFirstFile(name, faDirectory, find.Rec) && (find.Rec.Attr & faDirectory) != 0;
}

bool TkxFileSystem::CopyFile(const std::string& Source, const std::string& Target) {
  const TkxPathForm form = kxPathFormOf(GetPathDelimiter());
  std::string target = Target;
  if (DirectoryExists(Target)) target = kxJoinPath(Target, kxExtractFileName(Source, form), form);
  TkxFileHandle source(*this, OpenFile(Source, fmOpenRead));
  if (!IsValidHandle(source.Get())) return false;
  TkxFileHandle created(*this, CreateFile(target));
  if (!IsValidHandle(created.Get())) return false;
  return CopyData(*this, source.Get(), *this, created.Get(), -1, kCopyFileChunk);
}

void TkxFileSystem::CopyFrom(TkxFileSystem& FileSystem, const std::string& SrcDirName,
                             const std::string& DstDirName) {
  const TkxPathForm srcForm = kxPathFormOf(FileSystem.GetPathDelimiter());
  const TkxPathForm dstForm = kxPathFormOf(GetPathDelimiter());
  TFindGuard find(FileSystem);
  bool found = FileSystem.FindFirstFile(kxJoinPath(SrcDirName, "*.*", srcForm), faAnyFile,
                                        find.Rec);
  for (; found; found = FileSystem.FindNextFile(find.Rec)) {
    const std::string& name = find.Rec.Name;
    if (name.empty() || name == "." || name == "..") continue;  // never climb out of the tree
    std::string source = kxJoinPath(SrcDirName, name, srcForm);
    std::string target = kxJoinPath(DstDirName, name, dstForm);
    if (find.Rec.Attr & faDirectory) {
      if (!CreateDir(target)) {
        throw EkxInOutError(kxFormat("Cannot create directory \"%s\".", {target}), GetLastError());
      }
      CopyFrom(FileSystem, source, target);
      continue;
    }
    TkxFileHandle from(FileSystem, FileSystem.OpenFile(source, fmOpenRead));
    if (!IsValidHandle(from.Get())) {
      throw EkxInOutError(kxFormat("Cannot open source file \"%s\".", {source}),
                          FileSystem.GetLastError());
    }
    TkxFileHandle to(*this, CreateFile(target));
    if (!IsValidHandle(to.Get())) {
      throw EkxInOutError(kxFormat("Cannot create file \"%s\".", {target}), GetLastError());
    }
    // A short chunk would leave a damaged copy behind as if it were whole.
    if (!CopyData(FileSystem, from.Get(), *this, to.Get(), FileSystem.GetFileSize(from.Get()),
                  kCopyFromChunk)) {
      std::int32_t error = GetLastError();
      throw EkxInOutError(
          kxFormat("Cannot copy file \"%s\". %s", {source, GetErrorMessage(error)}), error);
    }
  }
}

// --- TkxFileHandle -------------------------------------------------------------------------------

TkxFileHandle& TkxFileHandle::operator=(TkxFileHandle&& Other) noexcept {
  if (this != &Other) {
    Close();
    FFileSystem = std::exchange(Other.FFileSystem, nullptr);
    FHandle = std::exchange(Other.FHandle, kxInvalidHandle);
  }
  return *this;
}

void TkxFileHandle::Close() {
  if (Valid()) FFileSystem->CloseFile(FHandle);
  FFileSystem = nullptr;
  FHandle = kxInvalidHandle;
}

// --- TkxOSFileSystem: paths ----------------------------------------------------------------------

namespace {

bool HasWildcards(const std::string& Name) { return Name.find_first_of("*?") != std::string::npos; }

}  // namespace

TkxOSFileSystem::TkxOSFileSystem(const std::string& BaseDirectory) {
  SetBaseDirectory(BaseDirectory);
}

void TkxOSFileSystem::SetBaseDirectory(const std::string& Value) {
  FBaseDirectory = Value;
  while (FBaseDirectory.size() > 1 && FBaseDirectory.back() == '/') FBaseDirectory.pop_back();
}

std::string TkxOSFileSystem::ExpandFileName(const std::string& FileName) {
  if (FBaseDirectory.empty()) return FileName;
  if (FileName.empty()) return kxJoinPath(FBaseDirectory, "", TkxPathForm::OS);
  if (FileName.front() == '/') return FileName;
  std::string base = FBaseDirectory;
  std::string rest = FileName;
  while (rest.compare(0, 2, "./") == 0) rest.erase(0, 2);
  while (rest.compare(0, 3, "../") == 0 || rest == "..") {
    base = kxParentDirectory(base);
    rest.erase(0, rest.size() == 2 ? 2 : 3);
  }
  return rest.empty() ? base : kxJoinPath(base, rest, TkxPathForm::OS);
}

std::string TkxOSFileSystem::GetBaseDirectory() { return FBaseDirectory; }

std::int32_t TkxOSFileSystem::GetPageSize() { return kOSPageSize; }

void TkxOSFileSystem::SetPageSize(std::int32_t /*Value*/) {}

void TkxOSFileSystem::SetLastError(std::int32_t ErrorCode) { kxos::SetLastError(ErrorCode); }

std::int32_t TkxOSFileSystem::GetLastError() { return kxos::GetLastError(); }

bool TkxOSFileSystem::SupportsExclusiveFiles() { return true; }

std::int32_t TkxOSFileSystem::Clear() { return 0; }

bool TkxOSFileSystem::ForcePath(const std::string& /*DirPath*/) { return true; }

// --- TkxOSFileSystem: files ----------------------------------------------------------------------

namespace {

// The handle of a positioned read or write, or none with Failure set to the result to give:
// 0 when the seek fails (bad handle, negative position), -1 for a bad argument or an access
// the handle was not opened with.
std::shared_ptr<kxos::TkxOSHandle> BeginTransfer(std::int32_t Handle, const void* Data,
                                                 std::int32_t Count, std::int64_t Position,
                                                 bool ForWrite, std::int32_t& Failure) {
  auto handle = kxos::FindHandle(Handle);
  Failure = 0;
  if (!handle) return nullptr;
  std::int32_t error = kxErrorSuccess;
  if (Position < 0) error = kxErrorNegativeSeek;
  else if (Count < 0 || (Count > 0 && Data == nullptr)) error = kxErrorInvalidParameter;
  else if (!(ForWrite ? handle->CanWrite : handle->CanRead)) error = kxErrorAccessDenied;
  if (error == kxErrorSuccess) return handle;
  kxos::SetLastError(error);
  Failure = Position < 0 ? 0 : -1;
  return nullptr;
}

}  // namespace

std::int32_t TkxOSFileSystem::CreateFile(const std::string& FilePath) {
  return kxos::OpenFile(ExpandFileName(FilePath), fmOpenReadWrite | fmShareExclusive, true);
}

std::int32_t TkxOSFileSystem::OpenFile(const std::string& FilePath, std::int32_t Mode) {
  if (FPhysicallyExclusive) Mode = (Mode & ~fmShareDenyNone) | fmShareExclusive;
  return kxos::OpenFile(ExpandFileName(FilePath), Mode, false);
}

std::int32_t TkxOSFileSystem::FileRead(std::int32_t Handle, void* Data, std::int32_t Count,
                                       std::int64_t Position) {
  std::int32_t failure = 0;
  auto handle = BeginTransfer(Handle, Data, Count, Position, false, failure);
  if (!handle) return failure;
  auto* bytes = static_cast<char*>(Data);
  std::int32_t done = 0;
  while (done < Count) {
    ssize_t n = ::pread(handle->Fd, bytes + done, static_cast<std::size_t>(Count - done),
                        static_cast<off_t>(Position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      kxos::SetLastError(kxos::ErrnoToError(errno, kxos::TkxErrnoContext::Read));
      return done > 0 ? done : -1;
    }
    if (n == 0) {
      kxos::SetLastError(kxErrorHandleEof);  // a short count tells the end of the file
      break;
    }
    done += static_cast<std::int32_t>(n);
  }
  return done;
}

namespace {

// Writes the buffers one after the other from Position on, with as few calls as the system
// allows; the buffers are used up on the way. Answers the bytes written, or -1 when nothing
// could be.
std::int32_t WriteBuffers(int Fd, iovec* Buffers, std::size_t Count, std::int64_t Position) {
  std::int32_t done = 0;
  for (std::size_t first = 0;;) {
    while (first < Count && Buffers[first].iov_len == 0) ++first;
    if (first == Count) break;
    const int count = static_cast<int>(std::min<std::size_t>(Count - first, IOV_MAX));
    const off_t at = static_cast<off_t>(Position + done);
    ssize_t n = count == 1 ? ::pwrite(Fd, Buffers[first].iov_base, Buffers[first].iov_len, at)
                           : ::pwritev(Fd, Buffers + first, count, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      kxos::SetLastError(n < 0 ? kxos::ErrnoToError(errno, kxos::TkxErrnoContext::Write)
                               : kxErrorDiskFull);
      return done > 0 ? done : -1;
    }
    done += static_cast<std::int32_t>(n);
    // Past what was written: whole buffers are dropped, one written in part is shortened.
    for (auto left = static_cast<std::size_t>(n); left > 0;) {
      iovec& buffer = Buffers[first];
      const std::size_t taken = std::min(left, buffer.iov_len);
      buffer.iov_base = static_cast<char*>(buffer.iov_base) + taken;
      buffer.iov_len -= taken;
      left -= taken;
      if (buffer.iov_len == 0) ++first;
    }
  }
  return done;
}

}  // namespace

std::int32_t TkxOSFileSystem::FileWrite(std::int32_t Handle, const void* Data, std::int32_t Count,
                                        std::int64_t Position) {
  std::int32_t failure = 0;
  auto handle = BeginTransfer(Handle, Data, Count, Position, true, failure);
  if (!handle) return failure;
  iovec buffer{const_cast<void*>(Data), static_cast<std::size_t>(Count)};
  return WriteBuffers(handle->Fd, &buffer, 1, Position);
}

std::int32_t TkxOSFileSystem::FileWriteGathered(std::int32_t Handle, const TkxWritePiece* Pieces,
                                                std::int32_t PieceCount,
                                                std::int64_t Position) {
  if (typeid(*this) != typeid(TkxOSFileSystem))
    return TkxFileSystem::FileWriteGathered(Handle, Pieces, PieceCount, Position);
  std::vector<iovec> buffers;
  buffers.reserve(static_cast<std::size_t>(std::max(PieceCount, 0)));
  std::int64_t total = 0;
  bool valid = PieceCount >= 0;
  for (std::int32_t i = 0; valid && i < PieceCount; ++i) {
    valid = Pieces[i].Count >= 0 && (Pieces[i].Count == 0 || Pieces[i].Data != nullptr);
    total += Pieces[i].Count;
    buffers.push_back({const_cast<void*>(Pieces[i].Data), static_cast<std::size_t>(Pieces[i].Count)});
  }
  valid = valid && total <= std::numeric_limits<std::int32_t>::max();
  // A list that is not valid fails as a count that is not valid would.
  std::int32_t failure = 0;
  auto handle = BeginTransfer(Handle, Pieces, valid ? static_cast<std::int32_t>(total) : -1,
                              Position, true, failure);
  if (!handle) return failure;
  return WriteBuffers(handle->Fd, buffers.data(), buffers.size(), Position);
}

std::int64_t TkxOSFileSystem::GetFileSize(std::int32_t Handle) {
  auto handle = kxos::FindHandle(Handle);
  struct stat st {};
  if (handle && ::fstat(handle->Fd, &st) != 0) kxos::SetLastError(kxos::ErrnoToError(errno));
  else if (handle) return st.st_size;
  std::int32_t error = kxos::GetLastError();
  throw EkxInOutError(kxFormat("Windows cannot determine file size (%d).", {error}), error);
}

void TkxOSFileSystem::SetFileSize(std::int32_t Handle, std::int64_t Size) {
  auto handle = kxos::FindHandle(Handle);
  struct stat st {};
  bool ok = handle != nullptr;
  if (ok && ::fstat(handle->Fd, &st) != 0) {
    kxos::SetLastError(kxos::ErrnoToError(errno));
    ok = false;
  }
  if (ok && st.st_size <= Size) return;  // only ever shortens
  if (ok && (Size < 0 || !handle->CanWrite)) {
    kxos::SetLastError(Size < 0 ? kxErrorNegativeSeek : kxErrorAccessDenied);
    ok = false;
  }
  if (ok && ::ftruncate(handle->Fd, static_cast<off_t>(Size)) != 0) {
    kxos::SetLastError(kxos::ErrnoToError(errno, kxos::TkxErrnoContext::Write));
    ok = false;
  }
  if (!ok) throw EkxInOutError("Cannot set end of of file", kxos::GetLastError());
}

bool TkxOSFileSystem::EndOfFile(std::int32_t Handle, std::int64_t Position) {
  auto handle = kxos::FindHandle(Handle);
  struct stat st {};
  if (!handle) return true;
  if (::fstat(handle->Fd, &st) != 0) {
    kxos::SetLastError(kxos::ErrnoToError(errno));
    return true;
  }
  return Position >= st.st_size;
}

void TkxOSFileSystem::CloseFile(std::int32_t Handle) {
  if (IsValidHandle(Handle)) kxos::CloseFile(Handle);
}

std::int32_t TkxOSFileSystem::LockFile(std::int32_t Handle, std::int64_t StartPos,
                                       std::int64_t EndPos, bool /*WriteLock*/) {
  return kxos::LockRange(Handle, StartPos, EndPos);
}

void TkxOSFileSystem::UnlockFile(std::int32_t Handle, std::int64_t StartPos, std::int64_t EndPos,
                                 bool /*WriteLock*/) {
  kxos::UnlockRange(Handle, StartPos, EndPos);
}

// --- TkxOSFileSystem: directories ----------------------------------------------------------------

bool TkxOSFileSystem::CreateDir(const std::string& DirPath) {
  std::string path = ExpandFileName(DirPath);
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  int err = errno;
  kxos::SetLastError(err == ENOENT ? kxErrorPathNotFound : kxos::ErrnoToError(err));
  return false;
}

bool TkxOSFileSystem::RemoveDir(const std::string& DirPath) {
  std::string path = ExpandFileName(DirPath);
  if (::rmdir(path.c_str()) == 0) return true;
  int err = errno;
  if (err == ENOENT) kxos::SetLastError(kxos::MissingPathError(path));
  else if (err == ENOTDIR) kxos::SetLastError(kxErrorDirectory);
  else kxos::SetLastError(kxos::ErrnoToError(err));
  return false;
}

bool TkxOSFileSystem::DeleteFile(const std::string& FileName) {
  return kxos::DeleteFile(ExpandFileName(FileName));
}

bool TkxOSFileSystem::RenameFile(const std::string& OldName, const std::string& NewName) {
  return kxos::RenameFile(ExpandFileName(OldName), ExpandFileName(NewName));
}

// --- TkxOSFileSystem: enumeration ----------------------------------------------------------------

struct TkxOSFindData {
  struct TDirCloser {
    void operator()(DIR* Dir) const { ::closedir(Dir); }
  };
  std::unique_ptr<DIR, TDirCloser> Dir;  // none for a search of one name without wildcards
  std::string Directory;
  std::string Pattern;
};

namespace {

// Length of the UTF-8 sequence starting with Lead (1 for stray bytes).
std::size_t Utf8Length(unsigned char Lead) {
  if (Lead >= 0xF0 && Lead < 0xF8) return 4;
  if (Lead >= 0xE0) return Lead < 0xF0 ? 3 : 1;
  if (Lead >= 0xC0) return 2;
  return 1;
}

// Wildcard match: "*" any run of characters, "?" exactly one character.
bool GlobMatch(std::string_view Pattern, std::string_view Name) {
  auto next = [&](std::size_t At) {
    return std::min(At + Utf8Length(static_cast<unsigned char>(Name[At])), Name.size());
  };
  std::size_t p = 0, n = 0;
  std::size_t starP = std::string_view::npos, starN = 0;
  while (n < Name.size()) {
    if (p < Pattern.size() && Pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < Pattern.size() && Pattern[p] == '?') {
      ++p;
      n = next(n);
    } else if (p < Pattern.size() && Pattern[p] == Name[n]) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      // Let the last "*" swallow one more character and try again from there.
      starN = next(starN);
      p = starP + 1;
      n = starN;
    } else {
      return false;
    }
  }
  while (p < Pattern.size() && Pattern[p] == '*') ++p;
  return p == Pattern.size();
}

// Windows matching: a pattern ending in ".*" also matches the name without any extension, so
// "*.*" matches every name.
bool NameMatches(const std::string& Pattern, const std::string& Name) {
  if (GlobMatch(Pattern, Name)) return true;
  return Pattern.size() >= 2 && Pattern.compare(Pattern.size() - 2, 2, ".*") == 0 &&
         GlobMatch(std::string_view(Pattern).substr(0, Pattern.size() - 2), Name);
}

// Modification time as a packed date-time in local time; times before 1980 give 1980-01-01.
std::int32_t PackedDateTime(std::time_t Time) {
  std::tm local {};
  if (::localtime_r(&Time, &local) == nullptr || local.tm_year < 80) return (1 << 21) | (1 << 16);
  std::uint32_t packed = (static_cast<std::uint32_t>(local.tm_year - 80) << 25) |
                         (static_cast<std::uint32_t>(local.tm_mon + 1) << 21) |
                         (static_cast<std::uint32_t>(local.tm_mday) << 16) |
                         (static_cast<std::uint32_t>(local.tm_hour) << 11) |
                         (static_cast<std::uint32_t>(local.tm_min) << 5) |
                         (static_cast<std::uint32_t>(local.tm_sec / 2));
  return static_cast<std::int32_t>(packed);
}

std::int32_t AttributesOf(const struct stat& St) {
  std::int32_t attr = 0;
  if (S_ISDIR(St.st_mode)) attr |= faDirectory;
  else if (!S_ISREG(St.st_mode)) attr |= faSysFile;  // devices, pipes, sockets
  if ((St.st_mode & 0222) == 0) attr |= faReadOnly;
  return attr;
}

// Fills the record from the entry's status; false when its attributes are excluded.
bool FillEntry(TkxFindFileRec& Rec, const std::string& Name, const struct stat& St) {
  std::int32_t attr = AttributesOf(St);
  if (attr & Rec.ExcludeAttr) return false;
  Rec.Name = Name;
  Rec.Attr = attr;
  Rec.Size = S_ISDIR(St.st_mode) ? 0 : static_cast<std::int64_t>(St.st_size);
  Rec.Time = PackedDateTime(St.st_mtime);
  return true;
}

// Status of a directory entry, following symbolic links; a dangling link is reported as itself.
bool EntryStatus(const std::string& Path, struct stat& St) {
  return ::stat(Path.c_str(), &St) == 0 || ::lstat(Path.c_str(), &St) == 0;
}

}  // namespace

bool TkxOSFileSystem::FindFirstFile(const std::string& Path, std::int32_t Attr,
                                    TkxFindFileRec& FindFileRec) {
  FindFileClose(FindFileRec);
  std::string full = ExpandFileName(Path);
  while (full.size() > 1 && full.back() == '/') full.pop_back();  // "dir/" names "dir"
  auto data = std::make_shared<TkxOSFindData>();
  data->Directory =
      kxHasDirectory(full, TkxPathForm::OS) ? kxExtractFileDir(full, TkxPathForm::OS) : ".";
  data->Pattern = kxExtractFileName(full, TkxPathForm::OS);
  FindFileRec.ExcludeAttr = ~Attr & (faHidden | faSysFile | faVolumeID | faDirectory);

  if (!HasWildcards(data->Pattern)) {
    struct stat st {};
    if (full.empty()) {
      kxos::SetLastError(kxErrorPathNotFound);
      return false;
    }
    if (!EntryStatus(full, st)) {
      kxos::SetLastError(errno == ENOENT ? kxos::MissingPathError(full) : kxos::ErrnoToError(errno));
      return false;
    }
    if (!FillEntry(FindFileRec, data->Pattern.empty() ? full : data->Pattern, st)) {
      kxos::SetLastError(kxErrorFileNotFound);
      return false;
    }
    FindFileRec.FindData = std::move(data);
    FindFileRec.FindHandle = 0;
    return true;
  }
  data->Dir.reset(::opendir(data->Directory.c_str()));
  if (!data->Dir) {
    int err = errno;
    kxos::SetLastError(err == ENOENT || err == ENOTDIR ? kxErrorPathNotFound
                                                       : kxos::ErrnoToError(err));
    return false;
  }
  FindFileRec.FindData = std::move(data);
  FindFileRec.FindHandle = ::dirfd(FindFileRec.FindData->Dir.get());
  if (FindNextFile(FindFileRec)) return true;
  FindFileClose(FindFileRec);
  kxos::SetLastError(kxErrorFileNotFound);
  return false;
}

bool TkxOSFileSystem::FindNextFile(TkxFindFileRec& FindFileRec) {
  TkxOSFindData* data = FindFileRec.FindData.get();
  if (data == nullptr || !data->Dir) {
    kxos::SetLastError(data == nullptr ? kxErrorInvalidHandle : kxErrorNoMoreFiles);
    return false;
  }
  // "." and ".." are never reported: a search lists the directory's own entries only.
  while (const dirent* entry = ::readdir(data->Dir.get())) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || !NameMatches(data->Pattern, name)) continue;
    struct stat st {};
    // An entry may vanish between listing and looking.
    if (!EntryStatus(kxJoinPath(data->Directory, name, TkxPathForm::OS), st)) continue;
    if (FillEntry(FindFileRec, name, st)) return true;
  }
  kxos::SetLastError(kxErrorNoMoreFiles);
  return false;
}

void TkxOSFileSystem::FindFileClose(TkxFindFileRec& FindFileRec) {
  FindFileRec.FindData.reset();
  FindFileRec.FindHandle = -1;
}

// --- TkxFileSystemStream -------------------------------------------------------------------------

TkxFileSystemStream::TkxFileSystemStream(const std::string& FileName, TkxFileSystem& FileSystem,
                                         std::int32_t Mode)
    : FFileName(FileName), FFileSystem(&FileSystem) {
  if (Mode == fmCreate) {
    FHandle = FileSystem.CreateFile(FileName);
    if (!TkxFileSystem::IsValidHandle(FHandle)) {
      std::int32_t error = FileSystem.GetLastError();
      std::string message = kxFormat("Cannot create file \"%s\". %s",
                                     {FileSystem.ExpandFileName(FileName),
                                      TkxFileSystem::GetErrorMessage(error)});
      if (error == kxErrorAlreadyExists) throw EkxFileAlreadyExistsError(message);
      throw EkxFileCreateError(message);
    }
  } else {
    FHandle = FileSystem.OpenFile(FileName, Mode);
    if (!TkxFileSystem::IsValidHandle(FHandle)) {
      std::int32_t error = FileSystem.GetLastError();
      std::string message = kxFormat("Cannot open file \"%s\". %s",
                                     {FileSystem.ExpandFileName(FileName),
                                      TkxFileSystem::GetErrorMessage(error)});
      if (error == kxErrorFileNotFound) throw EkxFileNotFoundError(message);
      throw EkxFileOpenError(message);
    }
  }
}

TkxFileSystemStream::TkxFileSystemStream(std::int32_t Handle, TkxFileSystem& FileSystem)
    : FHandle(Handle), FFileSystem(&FileSystem) {}

std::unique_ptr<TkxFileSystemStream> TkxFileSystemStream::CreateFromHandle(
    std::int32_t Handle, TkxFileSystem& FileSystem) {
  return std::unique_ptr<TkxFileSystemStream>(new TkxFileSystemStream(Handle, FileSystem));
}

TkxFileSystemStream::~TkxFileSystemStream() {
  if (TkxFileSystem::IsValidHandle(FHandle)) FFileSystem->CloseFile(FHandle);
}

std::int32_t TkxFileSystemStream::Read(void* Buffer, std::int32_t Count) {
  std::int32_t n = FFileSystem->FileRead(FHandle, Buffer, Count, FPosition);
  if (n > 0) FPosition += n;
  return n;
}

std::int32_t TkxFileSystemStream::Write(const void* Buffer, std::int32_t Count) {
  std::int32_t n = FFileSystem->FileWrite(FHandle, Buffer, Count, FPosition);
  if (n > 0) FPosition += n;
  return n;
}

void TkxFileSystemStream::ReadBuffer(void* Buffer, std::int32_t Count) {
  if (Count != 0 && Read(Buffer, Count) != Count) throw EkxStreamError("Stream read error");
}

void TkxFileSystemStream::WriteBuffer(const void* Buffer, std::int32_t Count) {
  if (Count != 0 && Write(Buffer, Count) != Count) throw EkxStreamError("Stream write error");
}

std::int64_t TkxFileSystemStream::Seek(std::int64_t Offset, std::int32_t Origin) {
  switch (Origin) {
    case soFromBeginning: FPosition = Offset; break;
    case soFromCurrent: FPosition += Offset; break;
    case soFromEnd: FPosition = GetSize() + Offset; break;
    default: break;
  }
  return FPosition;
}

std::int64_t TkxFileSystemStream::GetSize() { return FFileSystem->GetFileSize(FHandle); }

void TkxFileSystemStream::SetSize(std::int64_t Value) { FFileSystem->SetFileSize(FHandle, Value); }

bool TkxFileSystemStream::LockRange(std::int64_t StartPos, std::int64_t Length, bool ForWrite) {
  std::int32_t result = FFileSystem->LockFile(FHandle, StartPos, StartPos + Length, ForWrite);
  if (result == 1) return true;
  if (result == 0) return false;
  throw EkxStreamError(
      kxFormat("Cannot lock storage \"%s\"; error code = %d", {FFileName, FFileSystem->GetLastError()}));
}

void TkxFileSystemStream::UnlockRange(std::int64_t StartPos, std::int64_t Length, bool ForWrite) {
  FFileSystem->UnlockFile(FHandle, StartPos, StartPos + Length, ForWrite);
}

bool TkxFileSystemStream::IsRangeLocked(std::int64_t StartPos, std::int64_t Length) {
  if (!LockRange(StartPos, Length, true)) return true;
  UnlockRange(StartPos, Length, true);
  return false;
}

}  // namespace vdb
