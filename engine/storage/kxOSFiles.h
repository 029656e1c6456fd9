// Operating-system file services behind TkxOSFileSystem: the thread's last error in the Windows
// numbering, the process-wide table of open handles, Windows share modes and exclusive
// byte-range locks emulated with Linux open-file-description locks.
//
// Share modes. Every open handle announces its access and what it denies by read-locking marker
// bytes far beyond any data (kxMarkerBase + k): "open", "has read access", "has write access",
// "denies read", "denies write". An open first takes the exclusive guard byte, tests the markers
// of the other handles (F_OFD_GETLK), then takes its own markers and only then truncates, so a
// refused open (error 32) never changes the file. Data locks use only the low 32 bits of their
// positions and therefore never reach the markers. Open-file-description locks conflict between
// different opens in one process as well as between processes, as Windows handles do.
//
// Reads and writes do not look at byte-range locks (they are advisory here): the engine's
// protocols never read or write bytes that another handle keeps locked.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vdb::kxos {

inline constexpr std::int64_t kxMarkerBase = 0x7FFFFFFF00000000LL;

// The calling thread's last error (shared by all TkxOSFileSystem objects, as the operating
// system's own last error is).
std::int32_t GetLastError();
void SetLastError(std::int32_t ErrorCode);

// errno -> Windows error number. Read and Write tell an input/output error of a read from one
// of a write.
enum class TkxErrnoContext { General, Read, Write };
std::int32_t ErrnoToError(int Errno, TkxErrnoContext Context = TkxErrnoContext::General);
// The error for a path that does not exist: 3 when its directory is missing (or a component is
// no directory), 2 otherwise.
std::int32_t MissingPathError(const std::string& Path);

// One open handle of the operating-system file system.
struct TkxOSHandle {
  int Fd = -1;
  bool CanRead = false;   // access granted by the open mode
  bool CanWrite = false;
  bool ExclusiveLocks = true;  // the descriptor can take exclusive locks (opened for writing)
  std::mutex Mutex;            // guards Ranges
  std::vector<std::pair<std::int64_t, std::int64_t>> Ranges;  // held locks: start, length
};

// The handle of an open file, or none when Handle is not open (last error 6 then).
std::shared_ptr<TkxOSHandle> FindHandle(std::int32_t Handle);

// Opens Path with Mode (access and sharing bits); with CreateAlways the file is created when
// missing and emptied after the share check. Answers the handle or -1 with the last error set.
std::int32_t OpenFile(const std::string& Path, std::int32_t Mode, bool CreateAlways);
// Closes a handle of this table; false (last error 6) when it is not open.
bool CloseFile(std::int32_t Handle);

// 1 locked, 0 held by another handle or overlapping a range this handle holds (error 33),
// -1 invalid handle (6), empty range (87) or no locking support (1000).
std::int32_t LockRange(std::int32_t Handle, std::int64_t StartPos, std::int64_t EndPos);
// Releases exactly a range that LockRange took (else error 158); false on failure.
bool UnlockRange(std::int32_t Handle, std::int64_t StartPos, std::int64_t EndPos);

// Delete and rename refuse a file that any handle holds open (error 32), as Windows does for
// files opened without delete sharing; rename never replaces an existing name (error 183).
bool DeleteFile(const std::string& Path);
bool RenameFile(const std::string& OldPath, const std::string& NewPath);

}  // namespace vdb::kxos
