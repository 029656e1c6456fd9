#include "storage/kxCompoundFile.h"

#include <typeinfo>

#include "storage/kxCompoundFileImpl.h"
#include "storage/kxPath.h"

namespace vdb {

// A logical lock of this client for the time of one operation.
class TkxCompoundFileIntf::TLockGuard {
 public:
  TLockGuard(TkxCompoundFileImpl& Impl, std::int32_t ClientHdl, bool Write)
      : FImpl(Impl),
        FClientHdl(ClientHdl),
        FWrite(Write),
        FLocked(Write ? Impl.BeginWrite(ClientHdl) : Impl.BeginRead(ClientHdl)) {}
  ~TLockGuard() {
    if (FLocked) FImpl.EndEnteredLock(FClientHdl, FWrite);
  }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;
  explicit operator bool() const { return FLocked; }

 private:
  TkxCompoundFileImpl& FImpl;
  std::int32_t FClientHdl;
  bool FWrite;
  bool FLocked;
};

template <typename TResult, typename TOperation>
TResult TkxCompoundFileIntf::UnderLock(bool Write, TResult Failure, TOperation Operation) {
  FLastError = 0;
  TkxCompoundFileImpl& Impl = Write ? CheckOpenForWriting() : CheckOpen();
  TLockGuard Lock(Impl, FClientHdl, Write);
  if (!Lock) {
    FLastError = kxErrorSharingViolation;
    return Failure;
  }
  return Operation(Impl);
}

template <typename TResult, typename TOperation>
TResult TkxCompoundFileIntf::OnHandle(std::int32_t Handle, bool Write, TResult Failure,
                                      TOperation Operation) {
  FLastError = 0;
  if (Write) CheckOpenForWriting();
  else CheckOpen();
  TkxVirtualFile* File = FileOfHandle(Handle);
  if (!File) return Failure;
  return UnderLock(Write, Failure, [&](TkxCompoundFileImpl&) { return Operation(*File); });
}

// --- Construction --------------------------------------------------------------------------------

TkxCompoundFileIntf::TkxCompoundFileIntf() = default;

TkxCompoundFileIntf::TkxCompoundFileIntf(const std::string& FileName, bool ReadOnly,
                                         bool Exclusive)
    : FReadOnly(ReadOnly), FExclusive(Exclusive), FFileName(FileName) {}

TkxCompoundFileIntf::~TkxCompoundFileIntf() {
  try {
    Close();
  } catch (const std::exception&) {
    // Nothing can be reported from a destructor; the container file is closed all the same.
  }
}

bool TkxCompoundFileIntf::IsOpen() const {
  return FCompoundFileImpl && FCompoundFileImpl->GetIsOpen();
}

TkxCompoundFileImpl& TkxCompoundFileIntf::CheckOpen() {
  if (!IsOpen())
    throw EkxInOutError(kxFormatOrBare("Compound file \"%s\" not open.", {FFileName}));
  return *FCompoundFileImpl;
}

bool TkxCompoundFileIntf::IsReadOnly() const {
  return FReadOnly || (FCompoundFileImpl && FCompoundFileImpl->ReadOnly());
}

TkxCompoundFileImpl& TkxCompoundFileIntf::CheckOpenForWriting() {
  TkxCompoundFileImpl& Impl = CheckOpen();
  if (IsReadOnly())
    throw EkxInOutError(kxFormatOrBare("Compound file \"%s\" not open for writing.", {FFileName}));
  return Impl;
}

void TkxCompoundFileIntf::SetFileName(const std::string& Value) {
  if (IsOpen()) throw EkxInOutError("Compound file is already open.");
  FFileName = Value;
}

void TkxCompoundFileIntf::SetReadOnly(bool Value) {
  if (IsOpen()) throw EkxInOutError("Compound file is already open.");
  FReadOnly = Value;
}

void TkxCompoundFileIntf::SetExclusive(bool Value) {
  if (IsOpen()) throw EkxInOutError("Compound file is already open.");
  FExclusive = Value;
}

void TkxCompoundFileIntf::SetSharedAccess(bool Value) {
  if (IsOpen()) throw EkxInOutError("Compound file is already open.");
  FSharedAccess = Value;
}

std::int32_t TkxCompoundFileIntf::GetFileMode() const {
  if (FCompoundFileImpl) return FCompoundFileImpl->FileMode();
  const bool Exclusive = FExclusive || FPhysicallyExclusive;
  if (FReadOnly) return Exclusive ? kxModeReadExclusive : kxModeReadShared;
  return Exclusive ? kxModeReadWriteExclusive : kxModeReadWriteShared;
}

// --- Opening and closing -------------------------------------------------------------------------

void TkxCompoundFileIntf::Open() {
  FLastError = 0;
  if (IsOpen()) return;
  if (FSharedAccess) {
    // An implementation found in the list may be closing right now: it then takes no client.
    if (auto Shared = TkxCompoundFileImpl::FindShared(FFileName)) {
      if (const std::int32_t ClientHdl = Shared->RegisterClient(true)) {
        FClientHdl = ClientHdl;
        FCompoundFileImpl = std::move(Shared);
        FPageSize = FCompoundFileImpl->PageSize();
        return;
      }
    }
  }
  auto Impl = std::make_shared<TkxCompoundFileImpl>(FFileName, FReadOnly,
                                                    FExclusive || FPhysicallyExclusive);
  const std::int32_t ClientHdl = Impl->RegisterClient();
  try {
    Impl->Open(ClientHdl);
  } catch (...) {
    std::exception_ptr Ignored;
    Impl->ReleaseClient(ClientHdl, Ignored);
    throw;
  }
  if (FSharedAccess) TkxCompoundFileImpl::AddShared(Impl);
  FCompoundFileImpl = std::move(Impl);
  FClientHdl = ClientHdl;
  FPageSize = FCompoundFileImpl->PageSize();
}

void TkxCompoundFileIntf::ReleaseImpl() {
  std::shared_ptr<TkxCompoundFileImpl> Impl = std::move(FCompoundFileImpl);
  const std::int32_t ClientHdl = FClientHdl;
  FClientHdl = 0;
  std::exception_ptr Error;
  if (Impl->ReleaseClient(ClientHdl, Error)) TkxCompoundFileImpl::RemoveShared(Impl.get());
  if (Error) std::rethrow_exception(Error);
}

void TkxCompoundFileIntf::Close() {
  FLastError = 0;
  if (!FCompoundFileImpl) return;
  std::string Error;
  for (std::size_t I = FFileHandles.size(); I-- > 0;) {
    TkxVirtualFile* File = FFileHandles[I];
    if (!File) continue;
    FFileHandles[I] = nullptr;
    try {
      if (FCompoundFileImpl->GetIsOpen()) FCompoundFileImpl->CloseFile(*File);
    } catch (const std::exception& E) {
      if (Error.empty()) Error = E.what();
    }
  }
  ReleaseImpl();
  if (!Error.empty()) throw EkxCompoundFileError(0, Error);
}

void TkxCompoundFileIntf::NewFile() {
  if (IsOpen()) throw EkxInOutError("Compound file is already open.");
  TkxCompoundFileImpl::NewFile(FFileName);
}

bool TkxCompoundFileIntf::IsCompoundFile(const std::string& FileName) {
  TkxOSFileSystem OS;
  const std::int32_t Handle = OS.OpenFile(FileName, fmOpenRead | fmShareDenyNone);
  if (!TkxFileSystem::IsValidHandle(Handle)) return true;  // Open reports the real error
  std::uint8_t Magic[4] = {};
  const std::int32_t Got = OS.FileRead(Handle, Magic, 4, 0);
  OS.CloseFile(Handle);
  return Got == 4 && TkxMemory::ReadUInt32(Magic, 0) == kxCompoundFileMagic;
}

bool TkxCompoundFileIntf::HasOpenFiles() { return IsOpen() && FCompoundFileImpl->HasOpenFiles(); }

// --- TkxFileSystem slots -------------------------------------------------------------------------

std::string TkxCompoundFileIntf::GetBaseDirectory() { return FDelimiter; }

std::int32_t TkxCompoundFileIntf::GetPageSize() {
  return FCompoundFileImpl ? FCompoundFileImpl->PageSize() : FPageSize;
}

void TkxCompoundFileIntf::SetPageSize(std::int32_t Value) { FPageSize = Value; }

void TkxCompoundFileIntf::SetLastError(std::int32_t ErrorCode) { FLastError = ErrorCode; }

bool TkxCompoundFileIntf::SupportsExclusiveFiles() { return false; }

std::int32_t TkxCompoundFileIntf::GetLastError() {
  const std::int32_t Result = FLastError;
  FLastError = 0;
  return Result;
}

char TkxCompoundFileIntf::GetPathDelimiter() const { return '\\'; }

std::string TkxCompoundFileIntf::ExpandFileName(const std::string& FileName) {
  FLastError = 0;
  return TkxCompoundFileImpl::ExpandFileName(FileName);
}

bool TkxCompoundFileIntf::ForcePath(const std::string& /*DirPath*/) { return true; }

std::int32_t TkxCompoundFileIntf::Clear() { return 0; }

TkxVirtualFile* TkxCompoundFileIntf::FileOfHandle(std::int32_t Handle) {
  const std::int64_t Index = static_cast<std::int64_t>(Handle) - kxFirstContainerHandle;
  if (Index < 0 || Index >= static_cast<std::int64_t>(FFileHandles.size()) ||
      !FFileHandles[static_cast<std::size_t>(Index)]) {
    FLastError = kxErrorInvalidHandle;
    return nullptr;
  }
  return FFileHandles[static_cast<std::size_t>(Index)];
}

std::int32_t TkxCompoundFileIntf::AddHandle(TkxVirtualFile* File) {
  FFileHandles.push_back(File);
  return static_cast<std::int32_t>(FFileHandles.size()) - 1 + kxFirstContainerHandle;
}

std::int32_t TkxCompoundFileIntf::CreateFile(const std::string& FilePath) {
  return UnderLock(true, kxInvalidHandle, [&](TkxCompoundFileImpl& Impl) {
    std::int32_t Error = 0;
    TkxVirtualFile* File = Impl.CreateFile(FClientHdl, FilePath, Error);
    FLastError = Error;
    return File ? AddHandle(File) : kxInvalidHandle;
  });
}

std::int32_t TkxCompoundFileIntf::OpenFile(const std::string& FilePath, std::int32_t /*Mode*/) {
  return UnderLock(false, kxInvalidHandle, [&](TkxCompoundFileImpl& Impl) {
    std::int32_t Error = 0;
    TkxVirtualFile* File = Impl.OpenFile(FClientHdl, FilePath, Error);
    FLastError = Error;
    return File ? AddHandle(File) : kxInvalidHandle;
  });
}

std::int32_t TkxCompoundFileIntf::FileRead(std::int32_t Handle, void* Data, std::int32_t Count,
                                           std::int64_t Position) {
  return OnHandle(Handle, false, -1,
                  [&](TkxVirtualFile& File) { return File.Read(Data, Count, Position); });
}

std::int32_t TkxCompoundFileIntf::FileWrite(std::int32_t Handle, const void* Data,
                                            std::int32_t Count, std::int64_t Position) {
  return OnHandle(Handle, true, -1,
                  [&](TkxVirtualFile& File) { return File.Write(Data, Count, Position); });
}

std::int32_t TkxCompoundFileIntf::FileWriteGathered(std::int32_t Handle,
                                                    const TkxWritePiece* Pieces,
                                                    std::int32_t PieceCount,
                                                    std::int64_t Position) {
  if (typeid(*this) != typeid(TkxCompoundFileIntf))
    return TkxFileSystem::FileWriteGathered(Handle, Pieces, PieceCount, Position);
  return OnHandle(Handle, true, -1, [&](TkxVirtualFile& File) {
    return File.WriteGathered(Pieces, PieceCount, Position);
  });
}

std::int64_t TkxCompoundFileIntf::GetFileSize(std::int32_t Handle) {
  return OnHandle(Handle, false, std::int64_t{-1},
                  [](TkxVirtualFile& File) { return File.GetSize(); });
}

void TkxCompoundFileIntf::SetFileSize(std::int32_t Handle, std::int64_t Size) {
  // Nothing happens when the size stays; only a change needs the container open for writing.
  const bool Write = !IsReadOnly();
  OnHandle(Handle, Write, false, [&](TkxVirtualFile& File) {
    if (File.GetSize() == Size) return true;
    if (!Write) CheckOpenForWriting();
    File.SetSize(Size);
    return true;
  });
}

bool TkxCompoundFileIntf::EndOfFile(std::int32_t Handle, std::int64_t Position) {
  return OnHandle(Handle, false, true,
                  [&](TkxVirtualFile& File) { return Position >= File.GetSize(); });
}

void TkxCompoundFileIntf::CloseFile(std::int32_t Handle) {
  FLastError = 0;
  TkxCompoundFileImpl& Impl = CheckOpen();
  std::lock_guard Section(Impl.CriticalSection());
  TkxVirtualFile* File = FileOfHandle(Handle);
  if (!File) return;
  FFileHandles[static_cast<std::size_t>(Handle - kxFirstContainerHandle)] = nullptr;
  Impl.CloseFile(*File);
}

std::int32_t TkxCompoundFileIntf::LockFile(std::int32_t Handle, std::int64_t /*StartPos*/,
                                           std::int64_t /*EndPos*/, bool WriteLock) {
  FLastError = 0;
  TkxCompoundFileImpl& Impl = WriteLock ? CheckOpenForWriting() : CheckOpen();
  if (!FileOfHandle(Handle)) return -1;
  const bool Locked = WriteLock ? Impl.BeginWrite(FClientHdl) : Impl.BeginRead(FClientHdl);
  if (!Locked) FLastError = kxErrorLockViolation;
  return Locked ? 1 : 0;
}

void TkxCompoundFileIntf::UnlockFile(std::int32_t Handle, std::int64_t /*StartPos*/,
                                     std::int64_t /*EndPos*/, bool WriteLock) {
  FLastError = 0;
  TkxCompoundFileImpl& Impl = CheckOpen();
  if (!FileOfHandle(Handle)) return;
  if (WriteLock) Impl.EndWrite(FClientHdl);
  else Impl.EndRead(FClientHdl);
}


bool TkxCompoundFileIntf::CreateDir(const std::string& DirPath) {
  return UnderLock(true, false, [&](TkxCompoundFileImpl& Impl) {
    FLastError = Impl.CreateDir(FClientHdl, DirPath);
    return FLastError == kxErrorSuccess;
  });
}

bool TkxCompoundFileIntf::RemoveDir(const std::string& DirPath) {
  return UnderLock(true, false, [&](TkxCompoundFileImpl& Impl) {
    FLastError = Impl.RemoveDir(FClientHdl, DirPath);
    return FLastError == kxErrorSuccess;
  });
}

bool TkxCompoundFileIntf::DeleteFile(const std::string& FileName) {
  return UnderLock(true, false, [&](TkxCompoundFileImpl& Impl) {
    FLastError = Impl.DeleteFile(FClientHdl, FileName);
    return FLastError == kxErrorSuccess;
  });
}

bool TkxCompoundFileIntf::RenameFile(const std::string& OldName, const std::string& NewName) {
  return UnderLock(true, false, [&](TkxCompoundFileImpl& Impl) {
    FLastError = Impl.RenameFile(FClientHdl, OldName, NewName);
    return FLastError == kxErrorSuccess;
  });
}

bool TkxCompoundFileIntf::FindFirstFile(const std::string& Path, std::int32_t Attr,
                                        TkxFindFileRec& FindFileRec) {
  return UnderLock(false, false, [&](TkxCompoundFileImpl& Impl) {
    return Impl.FindFirstFile(FClientHdl, Path, Attr, FindFileRec, FLastError);
  });
}

bool TkxCompoundFileIntf::FindNextFile(TkxFindFileRec& FindFileRec) {
  return UnderLock(false, false, [&](TkxCompoundFileImpl& Impl) {
    return Impl.FindNextFile(FClientHdl, FindFileRec, FLastError);
  });
}

void TkxCompoundFileIntf::FindFileClose(TkxFindFileRec& FindFileRec) {
  FLastError = 0;
  if (IsOpen()) FCompoundFileImpl->FindFileClose(FClientHdl, FindFileRec);
  else FindFileRec.VirtDir = nullptr;
}

// --- Logical locks -------------------------------------------------------------------------------

bool TkxCompoundFileIntf::BeginRead() { return CheckOpen().BeginRead(FClientHdl); }

bool TkxCompoundFileIntf::BeginWrite() { return CheckOpenForWriting().BeginWrite(FClientHdl); }

void TkxCompoundFileIntf::EndRead() { CheckOpen().EndRead(FClientHdl); }

void TkxCompoundFileIntf::EndWrite() { CheckOpen().EndWrite(FClientHdl); }

// --- Export, check, compression ------------------------------------------------------------------

void TkxCompoundFileIntf::ExportFile(const std::string& FilePath, const std::string& Target) {
  FLastError = 0;
  TkxCompoundFileImpl& Impl = CheckOpen();
  TLockGuard Lock(Impl, FClientHdl, false);
  if (!Lock) throw EkxInOutError("Sharing violation in export", kxErrorSharingViolation);
  Impl.ExportFile(FClientHdl, FilePath, Target);
}

void TkxCompoundFileIntf::ExportFiles(const std::string& Mask, const std::string& DirName,
                                      bool Recurse) {
  FLastError = 0;
  TkxCompoundFileImpl& Impl = CheckOpen();
  TLockGuard Lock(Impl, FClientHdl, false);
  if (!Lock) throw EkxInOutError("Sharing violation in export", kxErrorSharingViolation);
  Impl.ExportFiles(FClientHdl, Mask, DirName, Recurse);
}

std::int32_t TkxCompoundFileIntf::PerformCheck(
    const TkxCompoundFileDefectEvent& OnCompoundFileDefect) {
  FLastError = 0;
  if (IsOpen())
    throw EkxInOutError(kxFormatOrBare(
        "Compound file %s must not be open in order to perform check.", {FFileName}));
  auto Impl = std::make_unique<TkxCompoundFileImpl>(FFileName, FReadOnly, true);
  const std::int32_t ClientHdl = Impl->RegisterClient();
  std::int32_t Defects = 0;
  std::exception_ptr Error;
  try {
    Impl->Open(ClientHdl);
    TLockGuard Lock(*Impl, ClientHdl, false);
    Defects = Impl->PerformCheck(ClientHdl, OnCompoundFileDefect);
  } catch (...) {
    Error = std::current_exception();
  }
  std::exception_ptr CloseError;
  Impl->ReleaseClient(ClientHdl, CloseError);
  if (Error) std::rethrow_exception(Error);
  if (CloseError) std::rethrow_exception(CloseError);
  return Defects;
}

void TkxCompoundFileIntf::Compress() {
  FLastError = 0;
  TkxCompoundFileImpl& Impl = CheckOpenForWriting();
  if (Impl.HasOpenFiles() || Impl.ClientCount() > 1)
    throw EkxCompoundFileError(0, "Cannot compress with open files.");
  // "dir/name.vdbd" works as "dir/name.tmp.vdbd" and keeps "dir/name.bak.vdbd" meanwhile.
  const std::string Ext = kxExtractFileExt(FFileName, TkxPathForm::OS);
  const std::string TmpName = kxChangeFileExt(FFileName, ".tmp" + Ext, TkxPathForm::OS);
  const std::string BakName = kxChangeFileExt(FFileName, ".bak" + Ext, TkxPathForm::OS);
  TkxOSFileSystem OS;
  try {
    TkxCompoundFileImpl::NewFile(TmpName);
    TkxCompoundFileIntf Target(TmpName);
    Target.SetSharedAccess(false);
    Target.SetPhysicallyExclusive(true);
    Target.SetPageSize(FPageSize);
    Target.Open();
    Target.CopyFrom(*this, FDelimiter, FDelimiter);
    Target.Close();
  } catch (...) {
    OS.DeleteFile(TmpName);
    throw;
  }
  ReplaceByCompressed(TmpName, BakName);
}

void TkxCompoundFileIntf::ReplaceByCompressed(const std::string& TmpName,
                                              const std::string& BakName) {
  TkxOSFileSystem OS;
  const auto CannotRename = [](const std::string& Name, const std::string& Where) {
    return EkxCompoundFileError(
        0, kxFormatOrBare("Cannot rename compound file \"%s\".", {Name}) + " " + Where);
  };
  const auto Reopen = [this] {
    try {
      Open();
    } catch (const std::exception&) {
      // The error about the rename is the one to report.
    }
  };
  try {
    OS.DeleteFile(BakName);
    Close();
  } catch (...) {
    OS.DeleteFile(TmpName);
    Reopen();
    throw;
  }
  if (!OS.RenameFile(FFileName, BakName)) {
    OS.DeleteFile(TmpName);
    Reopen();
    throw CannotRename(FFileName, "The container is unchanged.");
  }
  if (!OS.RenameFile(TmpName, FFileName)) {
    // The original must survive under one of its two names.
    const bool Restored = OS.RenameFile(BakName, FFileName);
    OS.DeleteFile(TmpName);
    if (Restored) {
      Reopen();
      throw CannotRename(TmpName, "The container is unchanged.");
    }
    throw CannotRename(TmpName, kxFormatOrBare("The original container is kept as \"%s\".",
                                               {BakName}));
  }
  Open();
}

// --- Diagnostics ---------------------------------------------------------------------------------

void TkxCompoundFileIntf::GetPageData(std::int32_t PageNo, std::vector<std::uint8_t>& Data) {
  Data.clear();
  UnderLock(false, false, [&](TkxCompoundFileImpl& Impl) {
    Impl.ReadRawTile(PageNo, Data);
    return true;
  });
}

std::int32_t TkxCompoundFileIntf::GetFirstPageNo(const std::string& FilePath) {
  return UnderLock(false, kxEndOfChain, [&](TkxCompoundFileImpl& Impl) {
    TkxDirEntry Entry;
    return Impl.FindEntry(FilePath, Entry) ? Entry.FirstTile : kxEndOfChain;
  });
}

std::int32_t TkxCompoundFileIntf::GetFreeListPage() {
  return UnderLock(false, kxNoTile, [](TkxCompoundFileImpl& Impl) { return Impl.FreeListHead(); });
}

std::int32_t TkxCompoundFileIntf::GetSuccessorPage(std::int32_t PageNo) {
  return UnderLock(false, kxNoTile,
                   [&](TkxCompoundFileImpl& Impl) { return Impl.SuccessorPage(PageNo); });
}

std::vector<std::int32_t> TkxCompoundFileIntf::GetPageChain(std::int32_t FirstPageNo) {
  return UnderLock(false, std::vector<std::int32_t>(),
                   [&](TkxCompoundFileImpl& Impl) { return Impl.PageChain(FirstPageNo); });
}

std::int32_t TkxCompoundFileIntf::GetFreePagesCount() {
  return UnderLock(false, 0, [](TkxCompoundFileImpl& Impl) { return Impl.FreePagesCount(); });
}

std::int32_t TkxCompoundFileIntf::GetPageCount() {
  return UnderLock(false, 0, [](TkxCompoundFileImpl& Impl) { return Impl.TileCount(); });
}

}  // namespace vdb
