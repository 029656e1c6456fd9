// A file system that hands every operation to another one and makes chosen ones fail as a full
// disk or a failing device would: the k-th write, read or size change from the moment it is
// armed, once or from then on (a full disk stays full). The campaigns sweep k over a workload to
// see that every failure reaches the caller as an error and leaves the files in their old or
// their new state.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "storage/kxFileSystem.h"

namespace vdb {

enum class TkxFaultKind { Write, Read, SizeChange };

class TkxFaultFileSystem : public TkxFileSystem {
 public:
  // Inner must outlive this object.
  explicit TkxFaultFileSystem(TkxFileSystem& Inner) : FInner(Inner) {}

  // Counts operations of Kind from 0 again; the N-th (1-based) fails with ErrorCode (the
  // operating system's number, e.g. 112 for a full disk), and with Sticky every one after it as
  // well. N = 0 disarms.
  void FailAt(TkxFaultKind Kind, std::int64_t N, std::int32_t ErrorCode, bool Sticky);
  void Disarm() { FArmed = false; }
  // Operations of Kind counted since FailAt (or since construction).
  std::int64_t Count(TkxFaultKind Kind) const { return FCounts[Index(Kind)]; }
  // Whether an armed failure has happened.
  bool Fired() const { return FFired; }

  std::string GetBaseDirectory() override { return FInner.GetBaseDirectory(); }
  std::int32_t GetPageSize() override { return FInner.GetPageSize(); }
  void SetPageSize(std::int32_t Value) override { FInner.SetPageSize(Value); }
  void SetLastError(std::int32_t ErrorCode) override;
  void Open() override { FInner.Open(); }
  void Close() override { FInner.Close(); }
  bool SupportsExclusiveFiles() override { return FInner.SupportsExclusiveFiles(); }
  std::int32_t GetLastError() override;
  std::int32_t CreateFile(const std::string& FilePath) override;
  std::int32_t OpenFile(const std::string& FilePath, std::int32_t Mode) override {
    return FInner.OpenFile(FilePath, Mode);
  }
  std::int32_t FileRead(std::int32_t Handle, void* Data, std::int32_t Count,
                        std::int64_t Position) override;
  std::int32_t FileWrite(std::int32_t Handle, const void* Data, std::int32_t Count,
                         std::int64_t Position) override;
  std::int32_t FileWriteGathered(std::int32_t Handle, const TkxWritePiece* Pieces,
                                 std::int32_t PieceCount, std::int64_t Position) override;
  std::int64_t GetFileSize(std::int32_t Handle) override { return FInner.GetFileSize(Handle); }
  void SetFileSize(std::int32_t Handle, std::int64_t Size) override;
  bool EndOfFile(std::int32_t Handle, std::int64_t Position) override {
    return FInner.EndOfFile(Handle, Position);
  }
  void CloseFile(std::int32_t Handle) override { FInner.CloseFile(Handle); }
  std::int32_t LockFile(std::int32_t Handle, std::int64_t StartPos, std::int64_t EndPos,
                        bool WriteLock) override {
    return FInner.LockFile(Handle, StartPos, EndPos, WriteLock);
  }
  void UnlockFile(std::int32_t Handle, std::int64_t StartPos, std::int64_t EndPos,
                  bool WriteLock) override {
    FInner.UnlockFile(Handle, StartPos, EndPos, WriteLock);
  }
  bool CreateDir(const std::string& DirPath) override { return FInner.CreateDir(DirPath); }
  bool RemoveDir(const std::string& DirPath) override { return FInner.RemoveDir(DirPath); }
  bool FindFirstFile(const std::string& Path, std::int32_t Attr, TkxFindFileRec& Rec) override {
    return FInner.FindFirstFile(Path, Attr, Rec);
  }
  bool FindNextFile(TkxFindFileRec& Rec) override { return FInner.FindNextFile(Rec); }
  void FindFileClose(TkxFindFileRec& Rec) override { FInner.FindFileClose(Rec); }
  bool DeleteFile(const std::string& FileName) override { return FInner.DeleteFile(FileName); }
  std::int32_t Clear() override { return FInner.Clear(); }
  bool RenameFile(const std::string& OldName, const std::string& NewName) override {
    return FInner.RenameFile(OldName, NewName);
  }
  std::string ExpandFileName(const std::string& FileName) override {
    return FInner.ExpandFileName(FileName);
  }
  bool ForcePath(const std::string& DirPath) override { return FInner.ForcePath(DirPath); }
  char GetPathDelimiter() const override { return FInner.GetPathDelimiter(); }

 private:
  static std::size_t Index(TkxFaultKind Kind) { return static_cast<std::size_t>(Kind); }
  // Counts one operation of Kind; true when it is to fail (the error is then set).
  bool Fails(TkxFaultKind Kind);

  TkxFileSystem& FInner;
  std::array<std::int64_t, 3> FCounts{};
  bool FArmed = false;
  TkxFaultKind FKind = TkxFaultKind::Write;
  std::int64_t FFailAt = 0;
  std::int32_t FErrorCode = 0;
  bool FSticky = false;
  bool FFired = false;
  std::int32_t FOwnError = 0;  // the error of the last failure made here (0: ask Inner)
};

}  // namespace vdb
