#include "storage/kxFaultFileSystem.h"

namespace vdb {

void TkxFaultFileSystem::FailAt(TkxFaultKind Kind, std::int64_t N, std::int32_t ErrorCode,
                                bool Sticky) {
  FCounts = {};
  FArmed = N > 0;
  FKind = Kind;
  FFailAt = N;
  FErrorCode = ErrorCode;
  FSticky = Sticky;
  FFired = false;
}

bool TkxFaultFileSystem::Fails(TkxFaultKind Kind) {
  const std::int64_t Number = ++FCounts[Index(Kind)];
  if (!FArmed || Kind != FKind) return false;
  if (Number != FFailAt && !(FSticky && Number > FFailAt)) return false;
  FFired = true;
  FOwnError = FErrorCode;
  return true;
}

void TkxFaultFileSystem::SetLastError(std::int32_t ErrorCode) {
  FOwnError = 0;
  FInner.SetLastError(ErrorCode);
}

std::int32_t TkxFaultFileSystem::GetLastError() {
  return FOwnError != 0 ? FOwnError : FInner.GetLastError();
}

std::int32_t TkxFaultFileSystem::CreateFile(const std::string& FilePath) {
  // Creating a file takes room: it counts as a size change.
  if (Fails(TkxFaultKind::SizeChange)) return kxInvalidHandle;
  FOwnError = 0;
  return FInner.CreateFile(FilePath);
}

std::int32_t TkxFaultFileSystem::FileRead(std::int32_t Handle, void* Data, std::int32_t Count,
                                          std::int64_t Position) {
  if (Fails(TkxFaultKind::Read)) return -1;
  FOwnError = 0;
  return FInner.FileRead(Handle, Data, Count, Position);
}

std::int32_t TkxFaultFileSystem::FileWrite(std::int32_t Handle, const void* Data,
                                           std::int32_t Count, std::int64_t Position) {
  if (Fails(TkxFaultKind::Write)) return -1;
  FOwnError = 0;
  return FInner.FileWrite(Handle, Data, Count, Position);
}

// One gathered write is one write: it fails whole, before any piece is written.
std::int32_t TkxFaultFileSystem::FileWriteGathered(std::int32_t Handle, const TkxWritePiece* Pieces,
                                                   std::int32_t PieceCount, std::int64_t Position) {
  if (Fails(TkxFaultKind::Write)) return -1;
  FOwnError = 0;
  return FInner.FileWriteGathered(Handle, Pieces, PieceCount, Position);
}

void TkxFaultFileSystem::SetFileSize(std::int32_t Handle, std::int64_t Size) {
  if (Fails(TkxFaultKind::SizeChange))
    throw EkxInOutError("The file size cannot be changed (" + std::to_string(FErrorCode) + ").",
                        FErrorCode);
  FInner.SetFileSize(Handle, Size);
}

}  // namespace vdb
