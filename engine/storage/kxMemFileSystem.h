// A file system that keeps its files in memory: no disk, no operating-system handles, no
// threads. The fuzz targets put their input here, so that one input costs a copy in memory
// rather than file creation and deletion; tests use it where the disk is beside the point.
//
// Paths are compared as they are given (after turning "\" into "/"); directories exist only as
// names (CreateDir records one, files need none). Byte-range locks exclude other handles of this
// file system, as the operating system's do between open files. One object is used by one thread
// at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "storage/kxFileSystem.h"

namespace vdb {

class TkxMemFileSystem : public TkxFileSystem {
 public:
  TkxMemFileSystem() = default;

  // Puts a whole file in place (replacing one of that name); no handle needed.
  void PutFile(const std::string& FilePath, std::vector<std::uint8_t> Bytes);
  // The bytes of a file (empty when there is none).
  std::vector<std::uint8_t> GetFile(const std::string& FilePath) const;

  std::int32_t GetPageSize() override { return FPageSize; }
  void SetPageSize(std::int32_t Value) override { FPageSize = Value; }
  void SetLastError(std::int32_t ErrorCode) override { FLastError = ErrorCode; }
  bool SupportsExclusiveFiles() override { return true; }
  std::int32_t GetLastError() override { return FLastError; }
  std::int32_t CreateFile(const std::string& FilePath) override;
  std::int32_t OpenFile(const std::string& FilePath, std::int32_t Mode) override;
  std::int32_t FileRead(std::int32_t Handle, void* Data, std::int32_t Count,
                        std::int64_t Position) override;
  std::int32_t FileWrite(std::int32_t Handle, const void* Data, std::int32_t Count,
                         std::int64_t Position) override;
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
  std::string ExpandFileName(const std::string& FileName) override { return Normal(FileName); }

  // A file larger than this cannot be made (a write or size change beyond it fails as a full
  // disk), so that damaged input never makes the process take unbounded memory.
  static constexpr std::int64_t kMaxFileSize = std::int64_t{1} << 30;

 private:
  struct TFile {
    std::vector<std::uint8_t> Bytes;
  };
  struct THandle {
    std::shared_ptr<TFile> File;
    bool CanWrite = false;
    std::vector<std::pair<std::int64_t, std::int64_t>> Locks;  // [start, end)
  };

  static std::string Normal(const std::string& Path);
  THandle* Find(std::int32_t Handle);
  std::int32_t NewHandle(std::shared_ptr<TFile> File, bool CanWrite);
  std::int32_t Fail(std::int32_t Error);  // sets the last error, answers -1
  bool Refuse(std::int32_t Error);        // sets the last error, answers false
  // The names of files and directories matching a search's pattern, after Position.
  bool FindFrom(TkxFindFileRec& Rec);

  std::map<std::string, std::shared_ptr<TFile>> FFiles;
  std::set<std::string> FDirs;
  std::map<std::int32_t, THandle> FHandles;
  std::int32_t FNextHandle = 1;
  std::int32_t FPageSize = 4096;
  std::int32_t FLastError = 0;
  std::map<std::int32_t, std::vector<std::string>> FSearches;  // FindHandle -> names left
  std::int32_t FNextSearch = 1;
};

}  // namespace vdb
