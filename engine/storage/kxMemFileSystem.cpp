#include "storage/kxMemFileSystem.h"

#include <fnmatch.h>

#include <algorithm>
#include <cstring>

namespace vdb {

std::string TkxMemFileSystem::Normal(const std::string& Path) {
  std::string Result = Path;
  std::replace(Result.begin(), Result.end(), '\\', '/');
  return Result;
}

std::int32_t TkxMemFileSystem::Fail(std::int32_t Error) {
  FLastError = Error;
  return -1;
}

bool TkxMemFileSystem::Refuse(std::int32_t Error) {
  FLastError = Error;
  return false;
}

TkxMemFileSystem::THandle* TkxMemFileSystem::Find(std::int32_t Handle) {
  const auto It = FHandles.find(Handle);
  if (It != FHandles.end()) return &It->second;
  FLastError = kxErrorInvalidHandle;
  return nullptr;
}

std::int32_t TkxMemFileSystem::NewHandle(std::shared_ptr<TFile> File, bool CanWrite) {
  const std::int32_t Handle = FNextHandle++;
  FHandles[Handle] = THandle{std::move(File), CanWrite, {}};
  FLastError = 0;
  return Handle;
}

void TkxMemFileSystem::PutFile(const std::string& FilePath, std::vector<std::uint8_t> Bytes) {
  auto File = std::make_shared<TFile>();
  File->Bytes = std::move(Bytes);
  FFiles[Normal(FilePath)] = std::move(File);
}

std::vector<std::uint8_t> TkxMemFileSystem::GetFile(const std::string& FilePath) const {
  const auto It = FFiles.find(Normal(FilePath));
  return It == FFiles.end() ? std::vector<std::uint8_t>() : It->second->Bytes;
}

std::int32_t TkxMemFileSystem::CreateFile(const std::string& FilePath) {
  auto File = std::make_shared<TFile>();
  FFiles[Normal(FilePath)] = File;
  return NewHandle(std::move(File), true);
}

std::int32_t TkxMemFileSystem::OpenFile(const std::string& FilePath, std::int32_t Mode) {
  const auto It = FFiles.find(Normal(FilePath));
  if (It == FFiles.end()) return Fail(kxErrorFileNotFound);
  return NewHandle(It->second, (Mode & kxAccessMask) != fmOpenRead);
}

std::int32_t TkxMemFileSystem::FileRead(std::int32_t Handle, void* Data, std::int32_t Count,
                                        std::int64_t Position) {
  THandle* H = Find(Handle);
  if (H == nullptr) return -1;
  if (Count < 0 || Position < 0) return Fail(kxErrorInvalidParameter);
  const auto Size = static_cast<std::int64_t>(H->File->Bytes.size());
  if (Position >= Size) return 0;
  const auto Got = static_cast<std::int32_t>(std::min<std::int64_t>(Count, Size - Position));
  std::memcpy(Data, H->File->Bytes.data() + Position, static_cast<std::size_t>(Got));
  return Got;
}

std::int32_t TkxMemFileSystem::FileWrite(std::int32_t Handle, const void* Data, std::int32_t Count,
                                         std::int64_t Position) {
  THandle* H = Find(Handle);
  if (H == nullptr) return -1;
  if (!H->CanWrite) return Fail(kxErrorAccessDenied);
  if (Count < 0 || Position < 0) return Fail(kxErrorInvalidParameter);
  if (Position + Count > kMaxFileSize) return Fail(kxErrorDiskFull);
  auto& Bytes = H->File->Bytes;
  const auto End = static_cast<std::size_t>(Position + Count);
  if (Bytes.size() < End) Bytes.resize(End);
  if (Count > 0) std::memcpy(Bytes.data() + Position, Data, static_cast<std::size_t>(Count));
  return Count;
}

std::int64_t TkxMemFileSystem::GetFileSize(std::int32_t Handle) {
  THandle* H = Find(Handle);
  if (H == nullptr) throw EkxInOutError("Invalid file handle.", kxErrorInvalidHandle);
  return static_cast<std::int64_t>(H->File->Bytes.size());
}

// Like the operating system's: only ever shortens.
void TkxMemFileSystem::SetFileSize(std::int32_t Handle, std::int64_t Size) {
  THandle* H = Find(Handle);
  if (H == nullptr) throw EkxInOutError("Invalid file handle.", kxErrorInvalidHandle);
  if (Size < 0 || !H->CanWrite) {
    FLastError = Size < 0 ? kxErrorInvalidParameter : kxErrorAccessDenied;
    throw EkxInOutError("The file size cannot be changed.", FLastError);
  }
  if (static_cast<std::int64_t>(H->File->Bytes.size()) > Size)
    H->File->Bytes.resize(static_cast<std::size_t>(Size));
}

bool TkxMemFileSystem::EndOfFile(std::int32_t Handle, std::int64_t Position) {
  THandle* H = Find(Handle);
  return H == nullptr || Position >= static_cast<std::int64_t>(H->File->Bytes.size());
}

void TkxMemFileSystem::CloseFile(std::int32_t Handle) { FHandles.erase(Handle); }

// 1 when taken, 0 (last error 33) when another handle of the file holds an overlapping range.
std::int32_t TkxMemFileSystem::LockFile(std::int32_t Handle, std::int64_t StartPos,
                                        std::int64_t EndPos, bool) {
  THandle* H = Find(Handle);
  if (H == nullptr) return -1;
  if (EndPos <= StartPos) return Fail(kxErrorInvalidParameter);
  for (const auto& [Other, Held] : FHandles) {
    if (Held.File != H->File) continue;
    for (const auto& [Start, End] : Held.Locks) {
      if (StartPos < End && Start < EndPos) {
        FLastError = kxErrorLockViolation;
        return 0;
      }
    }
  }
  H->Locks.emplace_back(StartPos, EndPos);
  return 1;
}

void TkxMemFileSystem::UnlockFile(std::int32_t Handle, std::int64_t StartPos, std::int64_t EndPos,
                                  bool) {
  THandle* H = Find(Handle);
  if (H == nullptr) return;
  const auto It = std::find(H->Locks.begin(), H->Locks.end(), std::make_pair(StartPos, EndPos));
  if (It != H->Locks.end()) H->Locks.erase(It);
}

bool TkxMemFileSystem::CreateDir(const std::string& DirPath) {
  return FDirs.insert(Normal(DirPath)).second || Refuse(kxErrorAccessDenied);
}

bool TkxMemFileSystem::RemoveDir(const std::string& DirPath) {
  return FDirs.erase(Normal(DirPath)) > 0 || Refuse(kxErrorPathNotFound);
}

bool TkxMemFileSystem::FindFirstFile(const std::string& Path, std::int32_t Attr,
                                     TkxFindFileRec& Rec) {
  const std::string Pattern = Normal(Path);
  const std::size_t Slash = Pattern.rfind('/');
  const std::string Dir = Slash == std::string::npos ? "" : Pattern.substr(0, Slash + 1);
  const std::string NamePattern = Slash == std::string::npos ? Pattern : Pattern.substr(Slash + 1);
  std::vector<std::string> Names;
  const auto Take = [&](const std::string& Full, bool IsDir) {
    if (Full.compare(0, Dir.size(), Dir) != 0) return;
    const std::string Name = Full.substr(Dir.size());
    if (Name.empty() || Name.find('/') != std::string::npos) return;
    if (IsDir && (Attr & faDirectory) == 0) return;
    if (::fnmatch(NamePattern.c_str(), Name.c_str(), 0) == 0) Names.push_back(Full);
  };
  for (const auto& [Full, File] : FFiles) Take(Full, false);
  for (const std::string& Full : FDirs) Take(Full, true);
  Rec.FindHandle = FNextSearch++;
  Rec.PathPattern = Dir;
  FSearches[Rec.FindHandle] = std::move(Names);
  return FindFrom(Rec);
}

bool TkxMemFileSystem::FindNextFile(TkxFindFileRec& Rec) { return FindFrom(Rec); }

bool TkxMemFileSystem::FindFrom(TkxFindFileRec& Rec) {
  auto It = FSearches.find(Rec.FindHandle);
  if (It == FSearches.end() || It->second.empty()) {
    FLastError = kxErrorNoMoreFiles;
    return false;
  }
  const std::string Full = It->second.front();
  It->second.erase(It->second.begin());
  const auto File = FFiles.find(Full);
  Rec.Name = Full.substr(Rec.PathPattern.size());
  Rec.Attr = File == FFiles.end() ? faDirectory : 0;
  Rec.Size = File == FFiles.end() ? 0 : static_cast<std::int64_t>(File->second->Bytes.size());
  Rec.Time = 0;
  return true;
}

void TkxMemFileSystem::FindFileClose(TkxFindFileRec& Rec) {
  FSearches.erase(Rec.FindHandle);
  Rec.FindHandle = -1;
}

bool TkxMemFileSystem::DeleteFile(const std::string& FileName) {
  return FFiles.erase(Normal(FileName)) > 0 || Refuse(kxErrorFileNotFound);
}

std::int32_t TkxMemFileSystem::Clear() {
  FFiles.clear();
  FDirs.clear();
  return 0;
}

bool TkxMemFileSystem::RenameFile(const std::string& OldName, const std::string& NewName) {
  const auto It = FFiles.find(Normal(OldName));
  if (It == FFiles.end()) return Refuse(kxErrorFileNotFound);
  if (FFiles.count(Normal(NewName)) > 0) return Refuse(kxErrorAccessDenied);
  auto File = It->second;
  FFiles.erase(It);
  FFiles[Normal(NewName)] = std::move(File);
  return true;
}

}  // namespace vdb
