#include "storage/VdbStream.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>

namespace vdb {

namespace {

// A pause of Min + a random 0 .. Spread - 1 milliseconds, so competing processes fall out of step.
void RandomPause(std::int32_t Min, std::int32_t Spread) {
  thread_local std::mt19937 generator{std::random_device{}()};
  std::int32_t pause = Min;
  if (Spread > 0) pause += std::uniform_int_distribution<std::int32_t>(0, Spread - 1)(generator);
  if (pause > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
}

}  // namespace

TkxFileSystemVdbStream::TkxFileSystemVdbStream(TkxFileSystem& FileSystem)
    : FFileSystem(&FileSystem) {}

TkxFileSystemVdbStream::~TkxFileSystemVdbStream() { CloseHandle(); }

void TkxFileSystemVdbStream::SetLockRetry(std::int32_t Retries, std::int32_t MinPauseMs,
                                          std::int32_t PauseSpreadMs) {
  FLockRetries = std::max(Retries, 0);
  FLockPauseMin = std::max(MinPauseMs, 0);
  FLockPauseSpread = std::max(PauseSpreadMs, 0);
}

std::int16_t TkxFileSystemVdbStream::Result(std::int16_t ErrorCode) {
  FError = ErrorCode;
  return static_cast<std::int16_t>(-ErrorCode);
}

void TkxFileSystemVdbStream::CloseHandle() {
  if (TkxFileSystem::IsValidHandle(FHandle)) FFileSystem->CloseFile(FHandle);
  FHandle = kxInvalidHandle;
  FLockCount = 0;  // closing the handle gave every lock up
  FLockedRanges.clear();
}

void TkxFileSystemVdbStream::DropHandleAfterFailure() {
  if (FLockCount == 0 && FLockedRanges.empty()) CloseHandle();
}

bool TkxFileSystemVdbStream::EnsureOpen() {
  if (TkxFileSystem::IsValidHandle(FHandle)) return true;
  if (FFileName.empty()) return false;
  FHandle = FFileSystem->OpenFile(FFileName, FFileMode);
  return TkxFileSystem::IsValidHandle(FHandle);
}

std::int16_t TkxFileSystemVdbStream::Reset(const std::string& Name, std::int32_t Access) {
  CloseHandle();
  FFileName = Name;
  FFileMode = Access;
  return Result(EnsureOpen() ? 0 : vdbStreamOpenError);
}

std::int16_t TkxFileSystemVdbStream::Rewrite(const std::string& Name, std::int32_t Access,
                                             TVdbLowFileRights /*Rights*/) {
  CloseHandle();
  FFileName = Name;
  FFileMode = Access;
  std::int32_t created = FFileSystem->CreateFile(Name);
  if (!TkxFileSystem::IsValidHandle(created)) return Result(vdbStreamWriteError);
  FFileSystem->CloseFile(created);
  return Result(EnsureOpen() ? 0 : vdbStreamOpenError);
}

std::int16_t TkxFileSystemVdbStream::Close() {
  CloseHandle();
  return Result(0);
}

std::int16_t TkxFileSystemVdbStream::ReadNBytes(std::int32_t N, void* V, bool Encrypted,
                                                std::int64_t Pos) {
  if (!EnsureOpen()) return Result(vdbStreamOpenError);
  if (FFileSystem->FileRead(FHandle, V, N, Pos) != N) {
    if (FFileSystem->GetLastError() == kxErrorLockViolation) return Result(vdbStreamLockViolation);
    DropHandleAfterFailure();
    return Result(vdbStreamReadError);
  }
  if (Encrypted && FEncryption != nullptr && N > 0) FEncryption->DecryptBlock(V, N);
  return Result(0);
}

std::int16_t TkxFileSystemVdbStream::Transfer(std::int32_t N, const void* Data, bool Encrypted,
                                              std::int64_t Pos) {
  if (!EnsureOpen()) return Result(vdbStreamOpenError);
  if (Encrypted && FEncryption != nullptr && N > 0) {
    const auto* bytes = static_cast<const std::uint8_t*>(Data);
    FEncryptBuffer.assign(bytes, bytes + N);
    FEncryption->EncryptBlock(FEncryptBuffer.data(), N);
    Data = FEncryptBuffer.data();
  }
  if (FFileSystem->FileWrite(FHandle, Data, N, Pos) != N) {
    if (FFileSystem->GetLastError() == kxErrorLockViolation) return Result(vdbStreamLockViolation);
    DropHandleAfterFailure();
    return Result(vdbStreamWriteError);
  }
  return Result(0);
}

std::int16_t TkxFileSystemVdbStream::WriteNBytes(std::int32_t N, const void* V, bool Encrypted,
                                                 std::int64_t Pos) {
  return Transfer(N, V, Encrypted, Pos);
}

std::int16_t TkxFileSystemVdbStream::TestNBytes(std::int32_t N, const void* V, std::int64_t Pos) {
  return Transfer(N, V, false, Pos);
}

std::int64_t TkxFileSystemVdbStream::Size() {
  if (!EnsureOpen()) return Result(vdbStreamOpenError);
  try {
    std::int64_t size = FFileSystem->GetFileSize(FHandle);
    FError = 0;
    return size;
  } catch (const std::runtime_error&) {
    return Result(vdbStreamReadError);
  }
}

std::int16_t TkxFileSystemVdbStream::Cut(std::int64_t Pos) {
  if (!EnsureOpen()) return Result(vdbStreamOpenError);
  try {
    FFileSystem->SetFileSize(FHandle, Pos);
    return Result(0);
  } catch (const std::runtime_error&) {
    return Result(vdbStreamWriteError);
  }
}

std::int16_t TkxFileSystemVdbStream::Erase() {
  CloseHandle();
  return Result(FFileSystem->DeleteFile(FFileName) ? 0 : vdbStreamWriteError);
}

std::int16_t TkxFileSystemVdbStream::Lock() {
  if (!EnsureOpen()) return Result(vdbStreamOpenError);
  if (FLockCount > 0) {
    ++FLockCount;
    return Result(0);
  }
  const bool forWrite = (FFileMode & kxAccessMask) != 0;
  for (std::int32_t attempt = 0;; ++attempt) {
    std::int32_t locked = FFileSystem->LockFile(FHandle, 0, 1, forWrite);
    if (locked == 1) {
      FLockCount = 1;
      return Result(0);
    }
    if (locked < 0) return Result(vdbStreamLockError);
    if (attempt >= FLockRetries) return Result(vdbStreamLockViolation);
    RandomPause(FLockPauseMin, FLockPauseSpread);
  }
}

std::int16_t TkxFileSystemVdbStream::Unlock() {
  if (FLockCount > 0 && --FLockCount == 0 && TkxFileSystem::IsValidHandle(FHandle)) {
    FFileSystem->UnlockFile(FHandle, 0, 1, (FFileMode & kxAccessMask) != 0);
  }
  return Result(0);
}

std::int16_t TkxFileSystemVdbStream::LockRange(std::int64_t StartPos, std::int64_t Length,
                                               bool ForWrite) {
  if (!EnsureOpen()) return Result(vdbStreamOpenError);
  std::int32_t locked = FFileSystem->LockFile(FHandle, StartPos, StartPos + Length, ForWrite);
  if (locked < 0) return Result(vdbStreamLockError);
  if (locked == 1) FLockedRanges.emplace_back(StartPos, Length);
  FError = 0;
  return static_cast<std::int16_t>(locked == 1 ? 1 : 0);
}

std::int16_t TkxFileSystemVdbStream::UnlockRange(std::int64_t StartPos, std::int64_t Length,
                                                 bool ForWrite) {
  auto held = std::find(FLockedRanges.begin(), FLockedRanges.end(),
                        std::pair<std::int64_t, std::int64_t>(StartPos, Length));
  if (held != FLockedRanges.end()) FLockedRanges.erase(held);
  if (TkxFileSystem::IsValidHandle(FHandle)) {
    FFileSystem->UnlockFile(FHandle, StartPos, StartPos + Length, ForWrite);
  }
  return Result(0);
}

std::int16_t TkxFileSystemVdbStream::IsRangeLocked(std::int64_t StartPos, std::int64_t Length) {
  if (!EnsureOpen()) return Result(vdbStreamOpenError);
  std::int32_t locked = FFileSystem->LockFile(FHandle, StartPos, StartPos + Length, true);
  if (locked < 0) return Result(vdbStreamLockError);
  if (locked == 1) FFileSystem->UnlockFile(FHandle, StartPos, StartPos + Length, true);
  FError = 0;
  return static_cast<std::int16_t>(locked == 1 ? 0 : 1);
}

}  // namespace vdb
