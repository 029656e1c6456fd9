#include "table/VdbBaseTable.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <random>
#include <thread>

#include "session/VdbErrors.h"
#include "session/VdbLastError.h"
#include "storage/VdbPageMan.h"
#include "storage/kxFileSystem.h"
#include "storage/kxFormat.h"
#include "storage/kxMemory.h"
#include "table/VdbBlobFile.h"
#include "table/VdbData.h"
#include "table/VdbIndexKeys.h"
#include "table/VdbSession.h"
#include "table/kxStrUtils.h"

namespace vdb {

namespace {

constexpr std::int32_t kRandomReleaseChance = 3000;
constexpr int kUnlockTries = 3;
constexpr std::int16_t kLevelOfOldTables = 2;

bool EndsWith(const std::string& Text, const std::string& Tail) {
  return Text.size() >= Tail.size() &&
         std::equal(Tail.rbegin(), Tail.rend(), Text.rbegin(), [](char A, char B) {
           return std::tolower(static_cast<unsigned char>(A)) ==
                  std::tolower(static_cast<unsigned char>(B));
         });
}

bool StartsWithNoCase(const std::string& Text, const std::string& Head) {
  return Text.size() >= Head.size() &&
         std::equal(Head.begin(), Head.end(), Text.begin(), [](char A, char B) {
           return std::tolower(static_cast<unsigned char>(A)) ==
                  std::tolower(static_cast<unsigned char>(B));
         });
}

// The directory part of a path (with its delimiter), either delimiter counting.
std::string DirectoryOf(const std::string& Path) {
  const auto Pos = Path.find_last_of("\\/");
  return Pos == std::string::npos ? std::string() : Path.substr(0, Pos + 1);
}

std::string WithoutDirectory(const std::string& Path) {
  const auto Pos = Path.find_last_of("\\/");
  return Pos == std::string::npos ? Path : Path.substr(Pos + 1);
}

std::string WithoutExtension(const std::string& Path) {
  const std::string Name = WithoutDirectory(Path);
  const auto Dot = Name.find_last_of('.');
  return Path.substr(0, Path.size() - (Dot == std::string::npos ? 0 : Name.size() - Dot));
}

bool RandomEarlyRelease() {
  thread_local std::mt19937 Generator{std::random_device{}()};
  return std::uniform_int_distribution<std::int32_t>(0, kRandomReleaseChance - 1)(Generator) == 0;
}

// A little-endian integer of Size bytes (at most 8).
std::int64_t ReadLittle(const std::uint8_t* Data, std::int32_t Size) {
  std::uint64_t Value = 0;
  for (std::int32_t I = std::min(Size, 8) - 1; I >= 0; --I) Value = (Value << 8) | Data[I];
  if (Size > 0 && Size < 8 && (Data[Size - 1] & 0x80) != 0) Value |= ~0ULL << (8 * Size);
  return static_cast<std::int64_t>(Value);
}

}  // namespace

// --- Lock guard -----------------------------------------------------------------------------------

// Holds one counted lock of the table for the life of a scope; raises when it cannot be had.
class TVdbBaseTable::TLockGuard {
 public:
  TLockGuard(TVdbBaseTable& Table, TVdbTableLockType Level, bool Wait)
      : FTable(Table), FLevel(Level) {
    std::int16_t Result = 0;
    switch (Level) {
      case tltRead: Result = Table.BeginRead(Wait); break;
      case tltUpgrade: Result = Table.BeginUpgrade(Wait); break;
      default: Result = Table.BeginWrite(Wait); break;
    }
    if (Result < 0) {
      const std::string Message = Table.FSession.LastError != nullptr
                                      ? Table.FSession.LastError->LastErrorMsg()
                                      : std::string();
      throw EVdbEngine::CreateMsg(static_cast<std::int16_t>(-Result), Message);
    }
  }
  ~TLockGuard() {
    switch (FLevel) {
      case tltRead: FTable.EndRead(); break;
      case tltUpgrade: FTable.EndUpgrade(); break;
      default: FTable.EndWrite(); break;
    }
  }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

 private:
  TVdbBaseTable& FTable;
  TVdbTableLockType FLevel;
};

// Undoing the undo log drives the table's own record operations.
class TVdbBaseTable::TRedoTarget : public TVdbRedoTarget {
 public:
  explicit TRedoTarget(TVdbBaseTable& Table) : FTable(Table) {}

  void UndoInsert(std::int32_t RecordNo) override {
    std::vector<std::uint8_t> Record(static_cast<std::size_t>(FTable.RecordSize()));
    FTable.CheckResult(FTable.FDataFile->ReadRecord(RecordNo, Record.data()));
    FTable.DoDelete(Record.data(), RecordNo);
  }
  void UndoUpdate(std::int32_t RecordNo, const std::vector<std::uint8_t>& OldRecord,
                  const TVdbRedoBlobs& OldBlobs) override {
    std::vector<std::uint8_t> Current(static_cast<std::size_t>(FTable.RecordSize()));
    FTable.CheckResult(FTable.FDataFile->ReadRecord(RecordNo, Current.data()));
    std::vector<std::uint8_t> Old = OldRecord;
    // The current chains are reused for the old values.
    for (int I = 1; I <= FTable.GetColumnCount(); ++I) {
      if (FTable.IsBlobColumn(FTable.GetColumnDef(I))) {
        FTable.SetBlockIdx(Old.data(), static_cast<std::int16_t>(I),
                           FTable.GetBlockIdx(Current.data(), static_cast<std::int16_t>(I)));
      }
    }
    FTable.DoReplace(Old.data(), Current.data(), RecordNo, BlobValues(OldBlobs));
  }
  void UndoDelete(std::int32_t RecordNo, const std::vector<std::uint8_t>& OldRecord,
                  const TVdbRedoBlobs& OldBlobs) override {
    std::vector<std::uint8_t> Old = OldRecord;
    for (int I = 1; I <= FTable.GetColumnCount(); ++I) {
      if (FTable.IsBlobColumn(FTable.GetColumnDef(I))) {
        FTable.SetBlockIdx(Old.data(), static_cast<std::int16_t>(I), 0);
      }
    }
    const std::int32_t Count = FTable.RecordCount();
    if (RecordNo > Count || FTable.FDataFile->CanDelete()) {
      FTable.DoAppend(Old.data(), BlobValues(OldBlobs));
      return;
    }
    // The record now at RecordNo goes to the end again, the old one back into its slot.
    std::vector<std::uint8_t> Occupant(static_cast<std::size_t>(FTable.RecordSize()));
    FTable.CheckResult(FTable.FDataFile->ReadRecord(RecordNo, Occupant.data()));
    const std::int32_t NewNo = FTable.DoAppend(Occupant.data(), {});
    (void)NewNo;
    FTable.WriteBlobs(Old.data(), BlobValues(OldBlobs));
    FTable.ReplaceKeys(Occupant.data(), Old.data(), RecordNo);
    FTable.CheckResult(FTable.FDataFile->WriteRecord(RecordNo, Old.data()));
  }

 private:
  static TVdbBlobValues BlobValues(const TVdbRedoBlobs& Blobs) {
    TVdbBlobValues Values;
    for (const auto& [FieldNo, Blob] : Blobs) {
      if (Blob.Kind == takWideMemo) {
        std::string Bytes(Blob.WideData.size() * 2, '\0');
        for (std::size_t I = 0; I < Blob.WideData.size(); ++I) {
          Bytes[2 * I] = static_cast<char>(Blob.WideData[I] & 0xFF);
          Bytes[2 * I + 1] = static_cast<char>(Blob.WideData[I] >> 8);
        }
        Values[static_cast<std::int16_t>(FieldNo)] = Bytes;
      } else {
        Values[static_cast<std::int16_t>(FieldNo)] = Blob.Data;
      }
    }
    return Values;
  }

  TVdbBaseTable& FTable;
};

// --- Construction and errors ----------------------------------------------------------------------

TVdbBaseTable::TVdbBaseTable(TVdbTableSession Session) : FSession(std::move(Session)) {}

TVdbBaseTable::~TVdbBaseTable() {
  try {
    Close();
  } catch (...) {  // a destructor never throws; the files are released anyway
  }
}

std::int16_t TVdbBaseTable::Report(const EVdbEngine& Error) {
  if (Error.Code() == kVdbInternalSignal) return -kVdbInternalSignal;
  if (FSession.LastError != nullptr) FSession.LastError->SetLastError(Error);
  return static_cast<std::int16_t>(-Error.Code());
}

template <class F>
std::int16_t TVdbBaseTable::Guarded(F&& Body) {
  try {
    return static_cast<std::int16_t>(Body());
  } catch (const EVdbEngine& Error) {
    return Report(Error);
  }
}

void TVdbBaseTable::Raise(std::int16_t Code, const std::string& Argument) const {
  throw EVdbEngine(Code, Argument);
}

// The files record their failures in the session already; the message is carried on.
void TVdbBaseTable::CheckResult(std::int32_t Result) const {
  if (Result >= 0) return;
  const std::string Message =
      FSession.LastError != nullptr ? FSession.LastError->LastErrorMsg() : std::string();
  throw EVdbEngine::CreateMsg(static_cast<std::int16_t>(-Result), Message);
}

// --- Names and properties -------------------------------------------------------------------------

void TVdbBaseTable::SetFileName(std::string FileName) { FFileName = std::move(FileName); }

std::string TVdbBaseTable::Name() const { return WithoutDirectory(WithoutExtension(FFileName)); }

bool TVdbBaseTable::Active() const { return FDataFile != nullptr && FDataFile->IsOpen(); }

std::int32_t TVdbBaseTable::RecordCount() const {
  return Active() ? FDataFile->RecordCount() : 0;
}

std::int64_t TVdbBaseTable::StorageSize() const {
  return Active() ? FDataFile->StorageSize() : 0;
}

const TVdbColumnDef& TVdbBaseTable::GetColumnDef(int FieldNo) const {
  return FColumnDefs.GetColumnDef(FieldNo - 1);
}

std::int16_t TVdbBaseTable::FindColumn(const std::string& Name) const {
  return static_cast<std::int16_t>(FColumnDefs.Find(Name) + 1);
}

std::string TVdbBaseTable::CompanionFileName(const char* Level6Ext, const char* OldExt) const {
  return WithoutExtension(FFileName) + (FLevel >= 6 ? Level6Ext : OldExt);
}

std::string TVdbBaseTable::CalcIndexFileName(const std::string& IndexName) const {
  const std::string Base = WithoutExtension(FFileName);
  if (FLevel >= 6) return Base + "!" + IndexName + ".vdbi";
  if (FLevel >= 4) return Base + "!" + IndexName + ".ind";
  const bool TempTable = WithoutDirectory(Base).rfind('~', 0) == 0;
  return DirectoryOf(FFileName) + IndexName + (TempTable ? ".$$i" : ".ind");
}

TVdbIndexKind TVdbBaseTable::IndexKindOfName(const std::string& Name, std::int16_t Level) {
  const auto Dot = Name.find_last_of('.');
  if (Level >= 4) {
    if (Dot != std::string::npos) return tikUser;
    if (StartsWithNoCase(Name, "sys_")) {
      const std::string Rest = Name.substr(4);
      if (CompareIdentifiers(Rest, "Id") == 0 || CompareIdentifiers(Rest, "Inr") == 0) return tikAdl;
      if (StartsWithNoCase(Rest, "In") && Rest.size() > 2 &&
          std::all_of(Rest.begin() + 2, Rest.end(), [](char C) { return C >= '0' && C <= '9'; }) &&
          std::stol(Rest.substr(2)) > 0) {
        return tikAdl;
      }
      return tikConstraint;
    }
    if (Name.rfind("tmp", 0) == 0) return tikTemporary;
    return tikUser;
  }
  if (Dot == std::string::npos) return tikUser;
  const std::string Ext = Name.substr(Dot);
  if (EndsWith(Ext, ".ind") && Ext.size() == 4) return tikUser;
  if (Ext == ".$$i" || Ext == ".$$I") return tikUser;
  if (Ext.size() == 4 && Ext[1] == '$') return tikTemporary;
  if (CompareIdentifiers(Ext, ".inr") == 0 || CompareIdentifiers(Ext, ".id") == 0) return tikAdl;
  if (Ext.size() == 4 && StartsWithNoCase(Ext, ".in") && Ext[3] >= '1' && Ext[3] <= '9') {
    return tikAdl;
  }
  return tikUnknown;
}

std::unique_ptr<TVdbClientStorage> TVdbBaseTable::NewStorage(const std::string& Name) const {
  auto Storage = std::make_unique<TVdbClientStorage>(TVdbPageManager::Instance(), FFileSystem, 1);
  Storage->SetName(Name);
  return Storage;
}

// --- Opening --------------------------------------------------------------------------------------

std::int16_t TVdbBaseTable::Open(bool Force) {
  const std::int16_t Result = OpenFiles(Force);
  if (Result < 0) Close();
  return Result;
}

std::int16_t TVdbBaseTable::OpenFiles(bool Force) {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  try {
    DoOpenFiles(Force);
    return 0;
  } catch (const EVdbEngine& Error) {
    const std::int16_t Result = Report(Error);
    CloseFiles();
    return Result;
  }
}

void TVdbBaseTable::DoOpenFiles(bool Force) {
  if (FFileSystem == nullptr || !FFileSystem->FileExists(FFileName)) {
    Raise(kErrNotFound, FFileName);
  }
  if (EndsWith(FFileName, ".vdbt")) {
    FLevel = 6;
  } else {
    FLevel = kLevelOfOldTables;
  }
  FIsRelFile = FLevel >= 6 ? FFileName.find("!rel_") != std::string::npos
                           : EndsWith(FFileName, ".rel");
  if ((FRights & (kVdbRightsExclusive | kVdbRightsSharedReadOnly)) == 0) LogInToLockFile();
  FChecks.Clear();
  FForeignKeyDefs.Clear();
  {
    TLockGuard Read(*this, tltRead, true);
    OpenDataFile();
    RecalcColumnFlags();
    FNativeSortDef = std::make_unique<TVdbSortDef>("Table_Default");
    FRecBuffer.assign(static_cast<std::size_t>(RecordSize()), 0);
    CheckPlausibility();
    OpenMemoFiles(Force);
  }
  UndoLeftLog();
  FUnlockTime = VdbTickCount();
  FUnlockActive = true;
}

std::string TVdbBaseTable::LockName() const {
  std::string Directory = FPhysicalDirectory;
  if (!Directory.empty() && Directory.back() != '/') Directory += '/';
  return Directory + (FContainerName.empty() ? Name() : FContainerName + "!" + Name());
}

std::string TVdbBaseTable::LogName() const { return LockName(); }

void TVdbBaseTable::LogInToLockFile() {
  if (FSession.StationId == 0) Raise(kErrNoConnection, "");
  if (FSession.LockFileSystem == nullptr) Raise(kErrNoWriteAccess, LockName());
  const std::string SessionName =
      FSession.SessionName.empty() ? VdbDefaultIdentificationName() : FSession.SessionName;
  FLockFile = std::make_unique<TVdbLockFile>(*FSession.LockFileSystem, FSession.StationId,
                                             SessionName);
  FLockFile->SetOnHijack([this](TVdbLockFile&) { OnHijack(); });
  try {
    FLockFile->LogIn(LockName(), FLevel, FIsRelFile);
  } catch (const EVdbEngine& Error) {
    FLockFile.reset();
    if (Error.Code() == kErrWrite) Raise(kErrNoWriteAccess, LockName());
    throw;
  }
}

void TVdbBaseTable::OpenDataFile() {
  TVdbTableDefinition Def;
  std::int32_t Result = 0;
  const bool OpenReadOnly = ReadOnly() || (FRights & kVdbRightsSharedReadOnly) != 0;
  try {
    FDataFile = VdbOpenDataFile(FSession.LastError, NewStorage(FFileName), OpenReadOnly,
                                Exclusive(), FCryptor, Def, Result);
  } catch (const EVdbPMStorageAccessDenied&) {
    Raise(kErrNoWriteAccess, FFileName);
  } catch (const EVdbPMStorageNotFound&) {
    Raise(kErrNotFound, FFileName);
  } catch (const EVdbPageManager&) {
    Raise(kErrOpenFile, FFileName);
  }
  if (!FDataFile) CheckResult(Result < 0 ? Result : -kErrOpenFile);
  FLevel = FDataFile->Version();
  TakeDefinition(Def);
}

void TVdbBaseTable::TakeDefinition(TVdbTableDefinition& Def) {
  FColumnDefs = std::move(Def.ColumnDefs);
  FCollationName = Def.CollationName;
  FCapacity = Def.Capacity;
  FTypes = std::move(Def.Types);
  FChecks = std::move(Def.CheckDefs);
  FKeyDefs = std::move(Def.KeyDefs);
  FForeignKeyDefs = std::move(Def.ForeignKeyDefs);
}

void TVdbBaseTable::RecalcColumnFlags() {
  FCalculationPurposes = 0;
  FRecordIdFieldNo = 0;
  FHasMemo = false;
  FHasBlob = false;
  for (int I = 1; I <= GetColumnCount(); ++I) {
    const TVdbColumnDef& Column = GetColumnDef(I);
    FCalculationPurposes |= Column.GetCalculationPurposes();
    switch (Column.GetColumnType()) {
      case kVdbRecordIdCode:
        if (FRecordIdFieldNo == 0) FRecordIdFieldNo = static_cast<std::int16_t>(I);
        break;
      case kVdbMemoCode: FHasMemo = true; break;
      case kVdbBlobCode:
      case kVdbWideMemoCode: FHasBlob = true; break;
      default: break;
    }
  }
}

// Record 1 must look like a record of this definition: a wrong password shows this way when the
// records are enciphered.
void TVdbBaseTable::CheckPlausibility() {
  if (FDataFile->RecordCount() < 1) return;
  const std::int32_t First = FDataFile->GetFirstRecordNo();
  if (First <= 0 || FDataFile->ReadRecord(First, FRecBuffer.data()) < 0) {
    Raise(kErrCredentials, "");
  }
  for (int I = 1; I <= GetColumnCount(); ++I) {
    const TVdbColumnDef& Column = GetColumnDef(I);
    if (!FieldPlausible(Column, FRecBuffer.data() + Column.Position)) Raise(kErrCredentials, "");
  }
}

bool TVdbBaseTable::FieldPlausible(const TVdbColumnDef& Column, const std::uint8_t* Field) const {
  const bool NullByte = Column.GetHasNullByte();
  const bool NullFirst = FLevel >= 6;
  if (NullByte) {
    const std::uint8_t Null = NullFirst ? Field[0] : Field[Column.Size - 1];
    if (Null == 0) return true;
  }
  const std::uint8_t* Value = Field + (NullByte && NullFirst ? 1 : 0);
  const std::int32_t ValueSize = Column.Size - (NullByte ? 1 : 0);
  switch (Column.GetColumnType()) {
    case kVdbStringCode:
    case kVdbWideStringCode: {
      const auto* Type = dynamic_cast<const TVdbStringType*>(Column.DataType);
      return Type == nullptr || Type->GetLength(Field) <= Type->MaxLength();
    }
    case kVdbEnumCode: {
      const auto* Type = dynamic_cast<const TVdbEnumType*>(Column.DataType);
      const std::int64_t Item = ReadLittle(Value, std::min(ValueSize, 4));
      return Type == nullptr || !Type->HasItems() ||
             (Item >= 0 && Item < static_cast<std::int64_t>(Type->Items().size()) + 1);
    }
    case kVdbRecordIdCode:
    case kVdbLinkCode:
    case kVdbTimeCode: return ReadLittle(Value, std::min(ValueSize, 4)) >= 0;
    case kVdbTimeStampCode:
      return ValueSize < 8 || (ReadLittle(Value, 4) >= 0 && ReadLittle(Value + 4, 4) >= 0);
    default: return true;
  }
}

void TVdbBaseTable::OpenMemoFiles(bool Force) {
  const bool OpenReadOnly = ReadOnly() || (FRights & kVdbRightsSharedReadOnly) != 0;
  if (FHasMemo) {
    const std::string MemoName = CompanionFileName(".vdbm", ".mmo");
    try {
      auto Memo = std::make_unique<TVdbMemoFile>(NewStorage(MemoName));
      Memo->SetVersion(FLevel);
      Memo->SetTableName(Name());
      Memo->SetLastErrorTarget(FSession.LastError);
      Memo->Open(OpenReadOnly, Exclusive());
      FMemo = std::move(Memo);
    } catch (const std::exception&) {
      if (!Force) Raise(kErrMemoOpen, MemoName);
    }
  }
  if (FHasBlob) {
    const std::string BlobName = CompanionFileName(".vdbb", ".blb");
    try {
      auto Blob = std::make_unique<TVdbBlobFile>(NewStorage(BlobName), FSession.BlobBlockSize);
      Blob->SetVersion(FLevel);
      Blob->SetTableName(Name());
      Blob->SetLastErrorTarget(FSession.LastError);
      Blob->Open(OpenReadOnly, Exclusive());
      FBlob = std::move(Blob);
    } catch (const std::exception&) {
      if (!Force) {
        if (FMemo) FMemo->Close();
        FMemo.reset();
        Raise(kErrBlobOpen, Name());
      }
    }
  }
}

// A log left by a session that died in a transaction is rolled back before anyone reads.
void TVdbBaseTable::UndoLeftLog() {
  if (FSession.LockFileSystem == nullptr || ReadOnly()) return;
  if (!HasLockFile()) return;
  TVdbRedoLog Log(*FSession.LockFileSystem, RecordSize(), FIsRelFile, FLevel, LogName());
  if (Log.Open() != TVdbRedoOpenResult::rorOpened) return;
  TLockGuard Upgrade(*this, tltUpgrade, true);
  TLockGuard Write(*this, tltWrite, true);
  const bool WasRollingBack = FRollingBack;
  FRollingBack = true;
  try {
    TRedoTarget Target(*this);
    Log.Undo(Target);
  } catch (...) {
    FRollingBack = WasRollingBack;
    throw;
  }
  FRollingBack = WasRollingBack;
}

void TVdbBaseTable::OnHijack() {
  try {
    UndoLeftLog();
  } catch (const EVdbEngine& Error) {
    Report(Error);
  }
}

// --- Creating -------------------------------------------------------------------------------------

std::int16_t TVdbBaseTable::NewFile() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  try {
    DoNewFile();
    return 0;
  } catch (const EVdbEngine& Error) {
    const std::int16_t Result = Report(Error);
    for (const std::string& Name : {CompanionFileName(".vdbm", ".mmo"),
                                    CompanionFileName(".vdbb", ".blb")}) {
      if (FFileSystem != nullptr && Active() && FFileSystem->FileExists(Name)) {
        FFileSystem->DeleteFile(Name);
      }
    }
    const bool Created = Active();
    CloseFiles();
    if (Created && FFileSystem != nullptr) FFileSystem->DeleteFile(FFileName);
    return Result;
  }
}

void TVdbBaseTable::DoNewFile() {
  if (FFileSystem == nullptr) Raise(kErrNotFound, FFileName);
  TVdbTableDefinition Def;
  Def.CollationName = FCollationName;
  Def.Capacity = FCapacity;
  Def.Password = FCryptor.Password;
  Def.Types = FTypes;
  Def.ColumnDefs = FColumnDefs;
  Def.CheckDefs = FChecks;
  Def.KeyDefs = FKeyDefs;
  Def.ForeignKeyDefs = FForeignKeyDefs;
  std::int32_t Result = 0;
  auto Storage = NewStorage(FFileName);
  FDataFile = VdbCreateDataFile(FSession.LastError, std::move(Storage), FLevel, FCryptor, Def, {},
                                Result);
  if (!FDataFile) CheckResult(Result < 0 ? Result : -kErrOpenFile);
  if (FNextRecordIdOfNewFile > 1) CheckResult(FDataFile->WriteNextRecordId(FNextRecordIdOfNewFile));
  FRights = kVdbRightsNewTable;
  FIsRelFile = FLevel >= 6 ? FFileName.find("!rel_") != std::string::npos
                           : EndsWith(FFileName, ".rel");
  RecalcColumnFlags();
  FNativeSortDef = std::make_unique<TVdbSortDef>("Table_Default");
  FRecBuffer.assign(static_cast<std::size_t>(RecordSize()), 0);
  if (FHasMemo) {
    const std::string MemoName = CompanionFileName(".vdbm", ".mmo");
    try {
      auto Memo = std::make_unique<TVdbMemoFile>(NewStorage(MemoName));
      Memo->SetVersion(FLevel);
      Memo->SetTableName(Name());
      Memo->SetLastErrorTarget(FSession.LastError);
      Memo->NewFile();
      FMemo = std::move(Memo);
    } catch (const std::exception&) {
      Raise(kErrMemoOpen, MemoName);
    }
  }
  if (FHasBlob) {
    const std::string BlobName = CompanionFileName(".vdbb", ".blb");
    try {
      auto Blob = std::make_unique<TVdbBlobFile>(NewStorage(BlobName), FSession.BlobBlockSize);
      Blob->SetVersion(FLevel);
      Blob->SetTableName(Name());
      Blob->SetLastErrorTarget(FSession.LastError);
      Blob->NewFile();
      FBlob = std::move(Blob);
    } catch (const std::exception&) {
      Raise(kErrBlobOpen, Name());
    }
  }
  FUnlockTime = VdbTickCount();
  FUnlockActive = true;
  CheckResult(Flush());
}

// --- Closing --------------------------------------------------------------------------------------

void TVdbBaseTable::CloseFiles() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  if (Active() && (ReadOnly() || !HasLockFile() || FLockFile->LockExclusive())) {
    if (!ReadOnly()) Flush();
    if (HasLockFile()) FLockFile->UnlockExclusive();
  }
  FUnlockActive = false;
  try {
    if (HasLockFile()) {
      if (FLockFile->GetLockedRecord() != 0) FLockFile->UnlockRecord();
      if (FUnlockAction == tltWrite && Active() && !ReadOnly()) Flush();
      if (FUnlockAction != tltNone) FLockFile->UnlockTable(FUnlockAction, tltNone);
    }
  } catch (const EVdbEngine& Error) {
    Report(Error);
  }
  FUnlockAction = tltNone;
  FReadLocks = FUpgradeLocks = FWriteLocks = FExclusiveLocks = FEditLocks = 0;
  try {
    if (FMemo) FMemo->Close();
  } catch (const std::exception&) {  // the storage is given back regardless
  }
  FMemo.reset();
  try {
    if (FBlob) FBlob->Close();
  } catch (const std::exception&) {
  }
  FBlob.reset();
  for (TIndexSlot& IndexSlot : FIndexFiles) {
    if (IndexSlot.File && IndexSlot.File->IsOpen()) IndexSlot.File->Close();
  }
  FIndexFiles.clear();
  FLastIndexNo = -1;
  FInrIndexNo = FIdIndexNo = FPrimIndexNo = kVdbNoIndex;
  if (FDataFile) FDataFile->Close();
  FDataFile.reset();
  if (FLockFile) {
    try {
      FLockFile->LogOut();
    } catch (const EVdbEngine& Error) {
      Report(Error);
    }
  }
  FLockFile.reset();
  FRedoLog.reset();
}

void TVdbBaseTable::Close() {
  CloseFiles();
  FColumnDefs.Clear();
  FKeyDefs.Clear();
  FChecks.Clear();
  FForeignKeyDefs.Clear();
  FHasMemo = FHasBlob = false;
  FRecordIdFieldNo = 0;
  FRecBuffer.clear();
  FRecBuffer.shrink_to_fit();
}

// --- Flushing and emptying ------------------------------------------------------------------------

std::int16_t TVdbBaseTable::Flush() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  if (!Active()) return 0;
  std::vector<TVdbClientStorage*> Storages{&FDataFile->Storage()};
  if (FBlob && FBlob->IsOpen()) Storages.push_back(&FBlob->Storage());
  if (FMemo && FMemo->IsOpen()) Storages.push_back(&FMemo->Storage());
  for (const TIndexSlot& IndexSlot : FIndexFiles) {
    if (IndexSlot.File && IndexSlot.File->IsOpen()) Storages.push_back(&IndexSlot.File->Storage());
  }
  const bool UpdateDir =
      (FRights & kVdbRightsSecureFlush) != 0 ||
      FFlushCounter >= TVdbDirUpdateCounter::kFlushesPerUpdate;
  bool Written = false;
  try {
    // The B+ data file writes its tree state into its pages before they go out.
    if (FDataFile->CanDelete()) CheckResult(FDataFile->Flush());
    for (const TIndexSlot& IndexSlot : FIndexFiles) {
      if (IndexSlot.File && IndexSlot.File->IsOpen()) CheckResult(IndexSlot.File->Flush());
    }
    Written = VdbFlushStorages(Storages, UpdateDir);
  } catch (const EVdbEngine&) {
    Written = false;
  }
  if (!Written) {
    // Remembered, so that the next writer hears of it.
    FWriteError = true;
    return Report(EVdbEngine(kErrWrite, Name()));
  }
  if (UpdateDir) {
    FFlushCounter = 0;
    ++FDirUpdateCount;
  } else {
    ++FFlushCounter;
  }
  return 0;
}

std::int16_t TVdbBaseTable::ClearDat() {
  return Guarded([&]() -> std::int32_t {
    TLockGuard Write(*this, tltWrite, true);
    const std::int32_t Count = RecordCount();
    CheckResult(FDataFile->Clear());
    if (FRecordIdFieldNo != 0) CheckResult(FDataFile->WriteNextRecordId(1));
    if (FMemo) FMemo->Empty();
    if (FBlob) FBlob->Empty();
    CheckResult(Flush());
    for (std::int16_t I = 0; I <= FLastIndexNo; ++I) {
      if (Slot(I) != nullptr && Slot(I)->File->IsOpen()) Slot(I)->File->Clear_Index();
    }
    CheckResult(Flush());
    Notify([](TVdbRelationListener& Listener) { Listener.RelationCleared(); });
    return std::min<std::int32_t>(Count, 32767);
  });
}

// --- Indexes --------------------------------------------------------------------------------------

int TVdbBaseTable::MaxIndexSlots() const {
  return FLevel <= 3 ? kVdbMaxOldIndexSlots : kVdbMaxIndexSlots;
}

TVdbBaseTable::TIndexSlot* TVdbBaseTable::Slot(std::int16_t IndexNo) const {
  if (IndexNo < 0 || IndexNo >= static_cast<std::int16_t>(FIndexFiles.size())) return nullptr;
  auto& Entry = const_cast<TIndexSlot&>(FIndexFiles[static_cast<std::size_t>(IndexNo)]);
  return Entry.File ? &Entry : nullptr;
}

std::int32_t TVdbBaseTable::IndexCount() const {
  std::int32_t Count = 0;
  for (const TIndexSlot& IndexSlot : FIndexFiles) Count += IndexSlot.File ? 1 : 0;
  return Count;
}

TVdbIndexFile* TVdbBaseTable::GetIndexFile(std::int16_t IndexNo) const {
  TIndexSlot* Entry = Slot(IndexNo);
  return Entry != nullptr ? Entry->File.get() : nullptr;
}

const TVdbSortDef* TVdbBaseTable::GetIndexDef(std::int16_t IndexNo) const {
  TIndexSlot* Entry = Slot(IndexNo);
  return Entry != nullptr ? Entry->Def.get() : nullptr;
}

std::int16_t TVdbBaseTable::GetIndexNo(const std::string& Name) const {
  for (std::int16_t I = 0; I <= FLastIndexNo; ++I) {
    if (Slot(I) != nullptr && Slot(I)->File->IsSameName(Name)) return I;
  }
  return -1;
}

std::int16_t TVdbBaseTable::InitIndex(const std::string& IndexName, const TVdbSortDef* IndexDef) {
  return Guarded([&]() -> std::int32_t {
    if (FIndexFiles.size() < static_cast<std::size_t>(MaxIndexSlots())) {
      FIndexFiles.resize(static_cast<std::size_t>(MaxIndexSlots()));
    }
    std::int16_t IndexNo = -1;
    for (std::int16_t I = 0; I < MaxIndexSlots(); ++I) {
      if (!FIndexFiles[static_cast<std::size_t>(I)].File) {
        IndexNo = I;
        break;
      }
    }
    if (IndexNo < 0) Raise(kErrTooManyIndexes, "");
    TIndexSlot& Entry = FIndexFiles[static_cast<std::size_t>(IndexNo)];
    const TVdbIndexKind Kind = IndexKindOfName(IndexName, FLevel);
    auto File = std::make_unique<TVdbIndexFile>(FSession.LastError, NewStorage(CalcIndexFileName(IndexName)),
                                                FLevel);
    File->SetName(IndexName);
    File->SetKind(Kind);
    File->SetFileName(CalcIndexFileName(IndexName));
    File->SetReadOnly((ReadOnly() || (FRights & kVdbRightsSharedReadOnly) != 0) &&
                      Kind != tikTemporary);
    File->SetExclusive(Exclusive());
    TIndexSlot* EntryPtr = &Entry;
    const TVdbColumnDefs* Columns = &FColumnDefs;
    const std::int16_t Level = FLevel;
    File->SetCompareFunction([EntryPtr, Columns, Level](const std::uint8_t* X, const std::uint8_t* Y,
                                                         bool& NotUnique) {
      return IndexLess(*Columns, *EntryPtr->Def, Level, X, Y, NotUnique);
    });
    TVdbLastError* Errors = FSession.LastError;
    File->SetOnError([Errors](std::int16_t Code, const std::string& Argument) {
      if (Errors != nullptr) Errors->SetLastError(Code, Argument);
    });
    Entry.File = std::move(File);
    Entry.Def = IndexDef != nullptr ? IndexDef->Clone() : nullptr;
    if (Entry.Def) Entry.Def->SetName(IndexName);
    FLastIndexNo = std::max(FLastIndexNo, IndexNo);
    return IndexNo;
  });
}

// The sort definition an index header describes, with the key sizes the table derives.
std::unique_ptr<TVdbSortDef> TVdbBaseTable::DefFromHeader(const TVdbIndexHeaderDef& Header) const {
  if (Header.Calculated) return nullptr;
  std::string Spec;
  for (const TVdbIndexLevel& Level : Header.Levels) {
    const int FieldNo = Level.Column & 0x7FFF;
    if (FieldNo < 1 || FieldNo > GetColumnCount()) return nullptr;
    if (!Spec.empty()) Spec += ",";
    if ((Level.Column & 0x8000) != 0) Spec += "-";
    Spec += "${" + GetColumnDef(FieldNo).Name + "}";
  }
  if (Spec.empty()) return nullptr;
  try {
    return vdb::CalcIndexDefinition(FColumnDefs, FLevel, Spec, Header.Unique);
  } catch (const EVdbEngine&) {
    return nullptr;
  }
}

bool TVdbBaseTable::DefinitionFits(const TVdbSortDef& Def) const {
  for (int I = 0; I < Def.LevelCount; ++I) {
    const TVdbSortLevel& Level = Def.Items[static_cast<std::size_t>(I)];
    if (Level.FieldNo < 1 || Level.FieldNo > GetColumnCount()) return false;
    if (Level.ColumnType != static_cast<std::uint8_t>(GetColumnDef(Level.FieldNo).GetColumnType())) {
      return false;
    }
  }
  return Def.IsCalculated || Def.LevelCount > 0;
}

std::int16_t TVdbBaseTable::CheckIndexOpen(std::int16_t IndexNo) {
  return Guarded([&] {
    DoCheckIndexOpen(IndexNo);
    return 0;
  });
}

void TVdbBaseTable::DoCheckIndexOpen(std::int16_t IndexNo) {
  TIndexSlot* Entry = Slot(IndexNo);
  if (Entry == nullptr) Raise(kErrNoIndex, "Index#" + std::to_string(IndexNo));
  TVdbIndexFile& File = *Entry->File;
  if (File.IsOpen()) return;
  if (Entry->Lost || (File.IsLost() && !File.IsAutomatic())) Raise(kErrIndexLost, File.Name());
  TLockGuard Read(*this, tltRead, true);
  const std::int16_t Result = File.Open();
  if (Result < 0) {
    if (File.IsAutomatic() && Entry->Def) {
      RebuildIndex(IndexNo);
      return;
    }
    CheckResult(Result);
  }
  std::unique_ptr<TVdbSortDef> Derived = DefFromHeader(File.IndexDef());
  TVdbIndexHeaderDef Expected;
  bool Fits = Derived != nullptr;
  if (Fits) {
    Expected = VdbIndexHeaderDef(*Derived, FLevel);
    TVdbIndexHeaderDef Stored = File.IndexDef();
    Expected.Name = Stored.Name;
    Expected.Unique = Stored.Unique;
    Expected.Vector = Stored.Vector;
    Fits = Expected == Stored && (!Entry->Def || Entry->Def->Equals(*Derived) ||
                                  Entry->Def->LevelCount == 0);
  }
  if (!Fits) {
    // The file stays closed and counts as lost from now on.
    File.Close();
    Entry->Def.reset();
    MarkLost(IndexNo);
    Raise(kErrIndexDefinition, File.Name());
  }
  Derived->SetName(File.Name());
  Derived->IsUnique = File.IndexDef().Unique;
  Entry->Def = std::move(Derived);
}

void TVdbBaseTable::MarkLost(std::int16_t IndexNo) {
  TIndexSlot* Entry = Slot(IndexNo);
  if (Entry != nullptr) Entry->Lost = true;
}

// The index is created anew from the definition the table keeps for it.
void TVdbBaseTable::RebuildIndex(std::int16_t IndexNo) {
  TIndexSlot& Entry = *Slot(IndexNo);
  TVdbIndexFile& File = *Entry.File;
  if (File.IsOpen()) File.Close();
  CheckResult(File.SetIndexDefinition(VdbIndexHeaderDef(*Entry.Def, FLevel)));
  BuildIndexFile(IndexNo, FCapacity, {});
}

void TVdbBaseTable::BuildIndexFile(std::int16_t IndexNo, std::int32_t Capacity,
                                   const TVdbIndexFile::TProgressFunc& Progress) {
  TIndexSlot& Entry = *Slot(IndexNo);
  TVdbIndexFile& File = *Entry.File;
  CheckResult(File.SetIndexDefinition(VdbIndexHeaderDef(*Entry.Def, FLevel)));
  CheckResult(File.NewStorage(FLevel, File.CalcPageSizeForCapacity(
                                          Capacity > 0 ? Capacity : std::max(FCapacity, 1))));
  std::vector<std::uint8_t> Record(static_cast<std::size_t>(RecordSize()));
  const std::int32_t Count = RecordCount();
  std::int32_t RecNo = 0;
  bool Started = false;
  const std::int16_t Result = File.BulkInsert(
      Count, Progress, [&](std::uint8_t* Item, std::int32_t& ItemSize) {
        RecNo = Started ? FDataFile->GetNextRecordNo(RecNo) : FDataFile->GetFirstRecordNo();
        Started = true;
        if (RecNo <= 0) return false;
        CheckResult(FDataFile->ReadRecord(RecNo, Record.data()));
        ItemSize = 4 + vdb::CalcIndexInfo(FColumnDefs, FLevel, Record.data(), *Entry.Def, Item,
                                          static_cast<std::size_t>(Entry.Def->KeySize()), RecNo);
        return true;
      });
  CheckResult(Result);
  Entry.Lost = false;
}

std::int32_t TVdbBaseTable::CalcIndexInfo(std::int16_t IndexNo, const std::uint8_t* Record,
                                          std::uint8_t* Info, std::int32_t RecNo) const {
  const TVdbSortDef& Def = *Slot(IndexNo)->Def;
  return vdb::CalcIndexInfo(FColumnDefs, FLevel, Record, Def, Info,
                            static_cast<std::size_t>(Def.KeySize()), RecNo);
}

std::vector<std::string> TVdbBaseTable::IndexNameList() const {
  std::vector<std::string> Names;
  for (std::int16_t I = 0; I <= FLastIndexNo; ++I) {
    TIndexSlot* Entry = Slot(I);
    if (Entry == nullptr) continue;
    const TVdbIndexKind Kind = Entry->File->Kind();
    if (Kind == tikUser || Kind == tikTemporary) Names.push_back(Entry->File->Name());
  }
  return Names;
}

std::int16_t TVdbBaseTable::FlushIndexNames(bool /*Force*/) {
  return Guarded([&]() -> std::int32_t {
    if (ReadOnly()) return 0;
    FDataFile->IndexNames() = IndexNameList();
    CheckResult(FDataFile->WriteIndexNames());
    if (HasLockFile()) FLockFile->WriteIndexCount(static_cast<std::int32_t>(FDataFile->IndexNames().size()));
    Notify([](TVdbRelationListener& Listener) { Listener.RelationChanged(); });
    return 0;
  });
}

void TVdbBaseTable::IndexAdded() { CheckResult(FlushIndexNames(true)); }

std::int16_t TVdbBaseTable::FindIndex(const TVdbSortDef& Requested, std::uint32_t Options,
                                      bool& Reverse) {
  Reverse = false;
  if ((Options & tifoIncludeSpecial) != 0 && FNativeSortDef) {
    bool NativeReverse = false;
    if (FNativeSortDef->LevelCount > 0 && FNativeSortDef->Covers(Requested, false, NativeReverse)) {
      return -1;
    }
  }
  for (std::int16_t I = FirstIndexNo(); I <= FLastIndexNo; ++I) {
    TIndexSlot* Entry = Slot(I);
    if (Entry == nullptr || Entry->Lost) continue;
    if (!Entry->File->IsOpen() && (Options & tifoNoOpen) == 0) {
      if (CheckIndexOpen(I) < 0) continue;
    }
    if (!Entry->Def) continue;
    bool IndexReverse = false;
    const bool Taken = (Options & tifoExact) != 0
                           ? Entry->Def->Equals(Requested)
                           : Entry->Def->Covers(Requested, (Options & tifoNoReverse) == 0,
                                                IndexReverse);
    if (Taken) {
      Reverse = IndexReverse;
      return I;
    }
  }
  if ((Options & tifoCreate) != 0 && !ReadOnly()) {
    const std::int16_t Result = CreateTempIndex(Requested);
    return Result < 0 ? static_cast<std::int16_t>(-1) : Result;
  }
  return -1;
}

std::int16_t TVdbBaseTable::FindIndex(const std::string& SortOrder, std::uint32_t Options,
                                      bool& Reverse) {
  Reverse = false;
  std::unique_ptr<TVdbSortDef> Def;
  const std::int16_t Result = Guarded([&] {
    Def = vdb::CalcIndexDefinition(FColumnDefs, FLevel, SortOrder, false,
                                   FSession.ExpressionFactory);
    return 0;
  });
  if (Result < 0) return -1;
  return FindIndex(*Def, Options, Reverse);
}

std::int16_t TVdbBaseTable::CreateTempIndex(const TVdbSortDef& IndexDef) {
  std::int16_t Result = -kErrIndexOpen;
  for (int Number = 1; Number <= 99; ++Number) {
    const std::string IndexName = FLevel >= 4 ? kxFormat("tmp%.3d", {Number})
                                              : Name() + kxFormat(".$%.2d", {Number});
    Result = NewIndex(IndexName, IndexDef);
    if (Result != -kErrIndexFileExists && Result != -kErrIndexOpen) return Result;
  }
  return Result;
}

std::int16_t TVdbBaseTable::CreateIndex(const std::string& IndexName,
                                        const std::string& Specification, bool Unique) {
  std::unique_ptr<TVdbSortDef> Def;
  const std::int16_t Result = Guarded([&] {
    Def = vdb::CalcIndexDefinition(FColumnDefs, FLevel, Specification, Unique,
                                   FSession.ExpressionFactory);
    return 0;
  });
  if (Result < 0) return Result;
  return NewIndex(IndexName, *Def);
}

std::int16_t TVdbBaseTable::NewIndex(const std::string& IndexName, const TVdbSortDef& IndexDef,
                                     const TVdbIndexFile::TProgressFunc& Progress,
                                     std::int32_t Capacity) {
  std::int16_t IndexNo = -1;
  const std::int16_t Result =
      Guarded([&] {
        DoNewIndex(IndexName, IndexDef, Progress, Capacity, IndexNo);
        return 0;
      });
  return Result < 0 ? Result : IndexNo;
}

void TVdbBaseTable::DoNewIndex(const std::string& IndexName, const TVdbSortDef& IndexDef,
                               const TVdbIndexFile::TProgressFunc& Progress,
                               std::int32_t Capacity, std::int16_t& IndexNo) {
  const TVdbIndexKind Kind = IndexKindOfName(IndexName, FLevel);
  if (Kind != tikTemporary && (FRights & tarIndex) == 0) Raise(kErrNoIndexRight, "");
  if (IndexCount() >= MaxIndexSlots()) Raise(kErrTooManyIndexes, "");
  if (!DefinitionFits(IndexDef)) Raise(kErrIndexDefinition, IndexName);
  if (GetIndexNo(IndexName) >= 0) Raise(kErrIndexOpen, IndexName);
  const std::string FileName = CalcIndexFileName(IndexName);
  if (FFileSystem->FileExists(FileName)) Raise(kErrIndexFileExists, FileName);
  TLockGuard Upgrade(*this, tltUpgrade, true);
  TLockGuard Write(*this, tltWrite, true);
  IndexNo = InitIndex(IndexName, &IndexDef);
  CheckResult(IndexNo);
  try {
    BuildIndexFile(IndexNo, Capacity, Progress);
  } catch (...) {
    RemoveIndexSlot(IndexNo, true);
    throw;
  }
  if (Kind != tikTemporary || !ReadOnly()) IndexAdded();
}

void TVdbBaseTable::RemoveIndexSlot(std::int16_t IndexNo, bool DeleteFile) {
  TIndexSlot* Entry = Slot(IndexNo);
  if (Entry == nullptr) return;
  const std::string FileName = Entry->File->FileName();
  if (Entry->File->IsOpen()) Entry->File->Close();
  Entry->File.reset();
  Entry->Def.reset();
  Entry->Lost = false;
  if (DeleteFile && FFileSystem->FileExists(FileName)) FFileSystem->DeleteFile(FileName);
  while (FLastIndexNo >= 0 && Slot(FLastIndexNo) == nullptr) --FLastIndexNo;
}

// --- Setting up -----------------------------------------------------------------------------------

std::int16_t TVdbBaseTable::Setup(bool Force) {
  return Guarded([&] {
    FLastIndexNo = -1;
    FIndexFiles.clear();
    FInrIndexNo = FIdIndexNo = FPrimIndexNo = kVdbNoIndex;
    for (int I = 0; I < FChecks.Count(); ++I) {
      auto* Check = FChecks.Get<TVdbCheckDef>(I);
      if (Check == nullptr || !Check->FCondition || FSession.ExpressionFactory == nullptr) continue;
      try {
        Check->FCondition->Compile(*FSession.ExpressionFactory, FColumnDefs, FLevel);
      } catch (const std::exception&) {  // prepared again when it is used
      }
    }
    for (int I = 0; I < FKeyDefs.Count(); ++I) {
      auto* Key = FKeyDefs.Get<TVdbCandidateKeyDef>(I);
      if (Key != nullptr) {
        Key->IndexDef = vdb::CalcIndexDefinition(FColumnDefs, FLevel, Key->GetKeySpec(), true);
      }
    }
    for (const std::string& IndexName : FDataFile->IndexNames()) {
      if (EndsWith(IndexName, ".ift") || EndsWith(IndexName, ".vdbf")) continue;
      CheckResult(InitIndex(IndexName, nullptr));
    }
    for (std::int16_t I = 0; I <= FLastIndexNo; ++I) {
      if (Slot(I) != nullptr) CheckIndexOpen(I);  // a faulty index shows when it is used
    }
    InitSystemIndexes(Force);
    return 0;
  });
}

std::int16_t TVdbBaseTable::SystemIndex(const std::string& Name, const std::string& Spec,
                                        bool Unique, bool Primary) {
  std::unique_ptr<TVdbSortDef> Def = vdb::CalcIndexDefinition(FColumnDefs, FLevel, Spec, Unique);
  Def->SetName(Name);
  std::int16_t IndexNo = GetIndexNo(Name);
  if (IndexNo < 0) {
    bool Reverse = false;
    IndexNo = FindIndex(*Def, tifoNoOpen | tifoNoReverse | tifoExact, Reverse);
  }
  if (IndexNo < 0) {
    IndexNo = InitIndex(Name, Def.get());
    CheckResult(IndexNo);
  } else if (!Slot(IndexNo)->Def) {
    Slot(IndexNo)->Def = Def->Clone();
  }
  TIndexSlot& Entry = *Slot(IndexNo);
  if (Primary) Entry.File->SetPrimary(true);
  if (Unique) Entry.Def->IsUnique = true;
  // Automatic indexes that cannot be opened are rebuilt.
  if (!Entry.File->IsOpen()) {
    std::int16_t Result = 0;
    if (FFileSystem->FileExists(Entry.File->FileName())) Result = CheckIndexOpen(IndexNo);
    if (!Entry.File->IsOpen() || Result < 0) {
      if (ReadOnly()) Raise(kErrIndexLost, Name);
      Entry.Def = Def->Clone();
      Entry.Lost = false;
      TLockGuard Upgrade(*this, tltUpgrade, true);
      TLockGuard Write(*this, tltWrite, true);
      RebuildIndex(IndexNo);
    }
  }
  return IndexNo;
}

void TVdbBaseTable::InitSystemIndexes(bool Force) {
  int UniqueNo = 0;
  for (int I = 0; I < FKeyDefs.Count(); ++I) {
    auto* Key = FKeyDefs.Get<TVdbCandidateKeyDef>(I);
    if (Key == nullptr) continue;
    ++UniqueNo;
    if (Key->Name().empty()) {
      Key->SetName(Key->FIsPrimary ? "sys_Primary" : "sys_Unique" + std::to_string(UniqueNo));
    }
    const std::int16_t IndexNo = SystemIndex(Key->Name(), Key->GetKeySpec(), true, Key->FIsPrimary);
    if (Key->FIsPrimary) FPrimIndexNo = IndexNo;
  }
  if (FRecordIdFieldNo != 0) {
    const auto& Column = dynamic_cast<const TVdbRecordIdColumnDef&>(GetColumnDef(FRecordIdFieldNo));
    FInrIndexNo = SystemIndex("sys_Inr", "${" + Column.Name + "}", true, false);
    if (!Column.IndexSpec.empty()) {
      try {
        FIdIndexNo = SystemIndex("sys_Id", Column.IndexSpec,
                                 Column.IsOptionSet(kVdbColUniqueId), false);
      } catch (const EVdbEngine&) {
        if (!Force) throw;
        FIdIndexNo = FInrIndexNo;
      }
    } else {
      FIdIndexNo = FPrimIndexNo != kVdbNoIndex ? FPrimIndexNo : FInrIndexNo;
    }
  }
  int LinkNo = 0;
  for (int I = 1; I <= GetColumnCount() && LinkNo < 9; ++I) {
    const TVdbColumnDef& Column = GetColumnDef(I);
    if (Column.GetColumnType() != kVdbLinkCode || Column.IsOptionSet(kVdbColUniqueId)) continue;
    ++LinkNo;
    SystemIndex("sys_In" + std::to_string(LinkNo), "${" + Column.Name + "}", false, false);
  }
  for (int I = 0; I < FForeignKeyDefs.Count(); ++I) {
    auto* Key = FForeignKeyDefs.Get<TVdbForeignKeyDef>(I);
    if (Key == nullptr || Key->FColumnNames.empty()) continue;
    std::string Spec;
    for (const std::string& Column : Key->FColumnNames) {
      Spec += (Spec.empty() ? "" : ",") + std::string("${") + Column + "}";
    }
    bool Reverse = false;
    std::int16_t IndexNo = FindIndex(Spec, tifoNoReverse, Reverse);
    if (IndexNo < 0) IndexNo = SystemIndex("sys_FK" + Key->Name(), Spec, false, false);
    Key->FChildIndexNo = IndexNo;
  }
}

// --- Index order ----------------------------------------------------------------------------------

std::int16_t TVdbBaseTable::IndexStep(std::int16_t IndexNo, std::uint8_t* Info,
                                      std::int16_t (TVdbIndexFile::*Step)(std::uint8_t*)) {
  return Guarded([&]() -> std::int32_t {
    TLockGuard Read(*this, tltRead, true);
    DoCheckIndexOpen(IndexNo);
    const std::int16_t Result = (Slot(IndexNo)->File.get()->*Step)(Info);
    if (Result == TVdbTreeBase::kNotInTree) return TVdbTreeBase::kNone;
    CheckResult(Result);
    return Result;
  });
}

std::int16_t TVdbBaseTable::FindFirstIndexInfo(std::int16_t IndexNo, std::uint8_t* Info) {
  return IndexStep(IndexNo, Info, &TVdbIndexFile::Erster_Index);
}

std::int16_t TVdbBaseTable::FindLastIndexInfo(std::int16_t IndexNo, std::uint8_t* Info) {
  return IndexStep(IndexNo, Info, &TVdbIndexFile::Letzter_Index);
}

std::int16_t TVdbBaseTable::FindNextIndexInfo(std::int16_t IndexNo, std::uint8_t* Info) {
  return IndexStep(IndexNo, Info, &TVdbIndexFile::Naechster_Index);
}

std::int16_t TVdbBaseTable::FindPrevIndexInfo(std::int16_t IndexNo, std::uint8_t* Info) {
  return IndexStep(IndexNo, Info, &TVdbIndexFile::Vorheriger_Index);
}

std::int16_t TVdbBaseTable::FindSortInfo(std::int16_t IndexNo, const std::uint8_t* SearchInfo,
                                         std::uint8_t* FoundInfo) {
  if (IndexNo >= 100 || IndexNo < 0) {
    return Report(EVdbEngine(kErrNoIndex, "Index#" + std::to_string(IndexNo)));
  }
  return Guarded([&]() -> std::int32_t {
    TLockGuard Read(*this, tltRead, true);
    DoCheckIndexOpen(IndexNo);
    const TVdbSortDef& Def = *Slot(IndexNo)->Def;
    std::copy(SearchInfo, SearchInfo + Def.KeySize(), FoundInfo);
    const std::int16_t Result = Slot(IndexNo)->File->Suche_Index(FoundInfo);
    CheckResult(Result);
    if (Result != TVdbTreeBase::kFound) return 0;
    return FindSortKeyDiff(FColumnDefs, Def, FLevel, SearchInfo, FoundInfo) == Def.LevelCount ? 3
                                                                                              : 1;
  });
}

// --- Reading --------------------------------------------------------------------------------------

std::int16_t TVdbBaseTable::ReadRecord(std::int32_t RecNo, std::uint8_t* Buffer) {
  return Guarded([&]() -> std::int32_t {
    TLockGuard Read(*this, tltRead, true);
    CheckResult(FDataFile->ReadRecord(RecNo, Buffer));
    return 0;
  });
}

std::int32_t TVdbBaseTable::GetFirstRecordNo() { return Active() ? FDataFile->GetFirstRecordNo() : 0; }
std::int32_t TVdbBaseTable::GetNextRecordNo(std::int32_t RecNo) {
  return Active() ? FDataFile->GetNextRecordNo(RecNo) : 0;
}
std::int32_t TVdbBaseTable::GetPrevRecordNo(std::int32_t RecNo) {
  return Active() ? FDataFile->GetPrevRecordNo(RecNo) : 0;
}
std::int32_t TVdbBaseTable::GetLastRecordNo() { return Active() ? FDataFile->GetLastRecordNo() : 0; }

void TVdbBaseTable::InitRecord(std::uint8_t* Buffer, bool Preset) {
  std::fill(Buffer, Buffer + RecordSize(), 0);
  for (int I = 1; I <= GetColumnCount(); ++I) {
    const TVdbColumnDef& Column = GetColumnDef(I);
    if (Column.GetNullable()) continue;
    std::uint8_t* Value = Buffer + Column.Position + (Column.GetHasNullByte() && FLevel >= 6 ? 1 : 0);
    if (Column.GetColumnType() == kVdbDateCode || Column.GetColumnType() == kVdbTimeStampCode) {
      TkxMemory::WriteInt32(Value, 0, 545);
    }
  }
  if (Preset && FRecordIdFieldNo != 0) SetAutoNum(Buffer);
}

// --- Memo and blob values -------------------------------------------------------------------------

bool TVdbBaseTable::IsBlobColumn(const TVdbColumnDef& Column) const {
  const std::int16_t Type = Column.GetColumnType();
  return Type == kVdbMemoCode || Type == kVdbBlobCode || Type == kVdbWideMemoCode;
}

std::int32_t TVdbBaseTable::GetBlockIdx(const std::uint8_t* Buffer, std::int16_t FieldNo) const {
  const TVdbColumnDef& Column = GetColumnDef(FieldNo);
  return TkxMemory::ReadInt32(Buffer, Column.Position + (Column.GetHasNullByte() && FLevel >= 6 ? 1 : 0));
}

void TVdbBaseTable::SetBlockIdx(std::uint8_t* Buffer, std::int16_t FieldNo,
                                std::int32_t BlockIdx) const {
  const TVdbColumnDef& Column = GetColumnDef(FieldNo);
  TkxMemory::WriteInt32(Buffer, Column.Position + (Column.GetHasNullByte() && FLevel >= 6 ? 1 : 0),
                        BlockIdx);
  if (Column.GetHasNullByte()) {
    Buffer[Column.Position + (FLevel >= 6 ? 0 : Column.Size - 1)] = BlockIdx != 0 ? 1 : 0;
  }
}

std::int32_t TVdbBaseTable::GetMemoLength(const std::uint8_t* Buffer, std::int16_t FieldNo) {
  if (!FMemo) return Report(EVdbEngine(kErrMemoOpen, CompanionFileName(".vdbm", ".mmo")));
  TLockGuard Read(*this, tltRead, true);
  return FMemo->CalcMemoLength(GetBlockIdx(Buffer, FieldNo));
}

std::int32_t TVdbBaseTable::GetBlobLength(const std::uint8_t* Buffer, std::int16_t FieldNo) {
  if (!FBlob) return Report(EVdbEngine(kErrBlobOpen, Name()));
  TLockGuard Read(*this, tltRead, true);
  return FBlob->CalcBlobLength(GetBlockIdx(Buffer, FieldNo));
}

std::int32_t TVdbBaseTable::GetBlobType(const std::uint8_t* Buffer, std::int16_t FieldNo) {
  if (!FBlob) return Report(EVdbEngine(kErrBlobOpen, Name()));
  TLockGuard Read(*this, tltRead, true);
  return FBlob->ReadBlobType(GetBlockIdx(Buffer, FieldNo));
}

std::int16_t TVdbBaseTable::ReadMemoString(const std::uint8_t* Buffer, std::int16_t FieldNo,
                                           std::string& S) {
  return Guarded([&]() -> std::int32_t {
    if (!FMemo) Raise(kErrMemoOpen, CompanionFileName(".vdbm", ".mmo"));
    TLockGuard Read(*this, tltRead, true);
    CheckResult(FMemo->ReadMemo(GetBlockIdx(Buffer, FieldNo), S, false, -1));
    return 0;
  });
}

std::int16_t TVdbBaseTable::ReadBlobData(const std::uint8_t* Buffer, std::int16_t FieldNo,
                                         std::string& Data) {
  return Guarded([&]() -> std::int32_t {
    if (!FBlob) Raise(kErrBlobOpen, Name());
    TLockGuard Read(*this, tltRead, true);
    CheckResult(FBlob->ReadString(GetBlockIdx(Buffer, FieldNo), Data));
    return 0;
  });
}

std::int16_t TVdbBaseTable::WriteMemoString(std::uint8_t* Buffer, std::int16_t FieldNo,
                                            const std::string& S) {
  return Guarded([&]() -> std::int32_t {
    WriteBlobs(Buffer, {{FieldNo, S}});
    return 0;
  });
}

std::int16_t TVdbBaseTable::WriteBlobData(std::uint8_t* Buffer, std::int16_t FieldNo,
                                          const std::string& Data) {
  return WriteMemoString(Buffer, FieldNo, Data);
}

// Each value goes into its field's chain (replacing the old one), which sets the field's first
// block number in Buffer.
void TVdbBaseTable::WriteBlobs(std::uint8_t* Buffer, const TVdbBlobValues& Blobs) {
  for (const auto& [FieldNo, Value] : Blobs) {
    if (FieldNo < 1 || FieldNo > GetColumnCount() || !IsBlobColumn(GetColumnDef(FieldNo))) {
      Raise(kErrTypeMismatch, "blob -> " + (FieldNo >= 1 && FieldNo <= GetColumnCount()
                                                ? GetColumnDef(FieldNo).DataType->SqlName()
                                                : std::string("?")));
    }
    TVdbBlockedBinaryFile* File = nullptr;
    if (GetColumnDef(FieldNo).GetColumnType() == kVdbMemoCode) {
      if (!FMemo) Raise(kErrMemoOpen, CompanionFileName(".vdbm", ".mmo"));
      File = FMemo.get();
    } else {
      if (!FBlob) Raise(kErrBlobOpen, Name());
      File = FBlob.get();
    }
    const std::int32_t First = File->WriteString(GetBlockIdx(Buffer, FieldNo), Value);
    CheckResult(First);
    SetBlockIdx(Buffer, FieldNo, First);
  }
}

TVdbRedoBlobs TVdbBaseTable::CollectBlobs(const std::uint8_t* Buffer) {
  TVdbRedoBlobs Blobs;
  for (int I = 1; I <= GetColumnCount(); ++I) {
    const TVdbColumnDef& Column = GetColumnDef(I);
    if (!IsBlobColumn(Column)) continue;
    const std::int32_t First = GetBlockIdx(Buffer, static_cast<std::int16_t>(I));
    TVdbRedoBlob Blob;
    if (First != 0) {
      TVdbBlockedBinaryFile* File =
          Column.GetColumnType() == kVdbMemoCode ? static_cast<TVdbBlockedBinaryFile*>(FMemo.get())
                                                 : FBlob.get();
      if (File != nullptr) CheckResult(File->ReadString(First, Blob.Data));
    }
    Blobs[I] = std::move(Blob);
  }
  return Blobs;
}

void TVdbBaseTable::FreeBlobs(const std::uint8_t* Buffer) {
  std::vector<std::uint8_t> Copy(Buffer, Buffer + RecordSize());
  for (int I = 1; I <= GetColumnCount(); ++I) {
    const TVdbColumnDef& Column = GetColumnDef(I);
    if (!IsBlobColumn(Column) || GetBlockIdx(Copy.data(), static_cast<std::int16_t>(I)) == 0) {
      continue;
    }
    TVdbBlockedBinaryFile* File =
        Column.GetColumnType() == kVdbMemoCode ? static_cast<TVdbBlockedBinaryFile*>(FMemo.get())
                                               : FBlob.get();
    if (File != nullptr) CheckResult(File->WriteString(GetBlockIdx(Copy.data(), static_cast<std::int16_t>(I)), ""));
  }
}

// --- Writing --------------------------------------------------------------------------------------

bool TVdbBaseTable::LogsActions() const {
  return !FRollingBack && FSession.Isolation != tilNone && FRedoLog != nullptr;
}

bool TVdbBaseTable::KeepsBlobsForUndo() const {
  return FSession.Isolation != tilNone && !FRollingBack;
}

void TVdbBaseTable::Notify(const std::function<void(TVdbRelationListener&)>& Tell) {
  if (FNotificationDisableCount > 0) return;
  const std::vector<TVdbRelationListener*> Listeners = FClientAccessors;
  for (TVdbRelationListener* Listener : Listeners) Tell(*Listener);
}

void TVdbBaseTable::UniqueCheck(const std::uint8_t* Buffer, std::int32_t RecNo) {
  for (std::int16_t I = 0; I <= FLastIndexNo; ++I) {
    TIndexSlot* Entry = Slot(I);
    if (Entry == nullptr) continue;
    const bool Unique = Entry->File->MustBeUnique() || (Entry->Def && Entry->Def->IsUnique);
    if (!Unique) continue;
    DoCheckIndexOpen(I);
    const TVdbSortDef& Def = *Entry->Def;
    std::vector<std::uint8_t> Key(static_cast<std::size_t>(Def.KeySize()));
    std::vector<std::uint8_t> Found(static_cast<std::size_t>(Def.KeySize()));
    CalcIndexInfo(I, Buffer, Key.data(), 0);
    std::copy(Key.begin(), Key.end(), Found.begin());
    std::int16_t Result = Entry->File->Suche_Index(Found.data());
    CheckResult(Result);
    while (Result == TVdbTreeBase::kFound &&
           FindSortKeyDiff(FColumnDefs, Def, FLevel, Key.data(), Found.data()) == Def.LevelCount) {
      if (TkxMemory::ReadInt32(Found.data(), 0) != RecNo) {
        Raise(kErrNotUnique, Def.CalcSpecification(FColumnDefs, true, false, false, false, FLevel));
      }
      Result = Entry->File->Naechster_Index(Found.data());
      CheckResult(Result);
    }
  }
}

void TVdbBaseTable::CheckConstraints(const std::uint8_t* Buffer) {
  for (int I = 0; I < FChecks.Count(); ++I) {
    auto* Check = FChecks.Get<TVdbCheckDef>(I);
    if (Check == nullptr || !Check->FCondition) continue;
    if (!Check->FCondition->IsCompiled()) {
      if (FSession.ExpressionFactory == nullptr) continue;  // nothing can evaluate it
      Check->FCondition->Compile(*FSession.ExpressionFactory, FColumnDefs, FLevel);
    }
    if (Check->FCondition->Compiled()->Evaluate(Buffer) == 0) {
      Raise(kErrConstraint, Check->FCondition->Source().Source());
    }
  }
}

void TVdbBaseTable::CheckReferences(const std::uint8_t* Buffer) {
  if (!FOnCheckReferentialIntegrity) return;
  for (int I = 0; I < FForeignKeyDefs.Count(); ++I) {
    auto* Key = FForeignKeyDefs.Get<TVdbForeignKeyDef>(I);
    if (Key != nullptr) CheckResult(FOnCheckReferentialIntegrity(*this, *Key, Buffer));
  }
}

void TVdbBaseTable::AddKeys(const std::uint8_t* Buffer, std::int32_t RecNo) {
  std::vector<std::int16_t> Done;
  try {
    for (std::int16_t I = 0; I <= FLastIndexNo; ++I) {
      TIndexSlot* Entry = Slot(I);
      if (Entry == nullptr || !Entry->File->IsOpen()) continue;
      std::vector<std::uint8_t> Item(static_cast<std::size_t>(Entry->Def->KeySize()));
      const std::int32_t Size = 4 + CalcIndexInfo(I, Buffer, Item.data(), RecNo);
      if (Entry->File->Add_Index(Item.data(), Size) < 0) Raise(kErrIndexInsert, Entry->File->Name());
      Done.push_back(I);
    }
  } catch (...) {
    for (std::int16_t I : Done) {
      std::vector<std::uint8_t> Item(static_cast<std::size_t>(Slot(I)->Def->KeySize()));
      CalcIndexInfo(I, Buffer, Item.data(), RecNo);
      Slot(I)->File->Loesche_Index(Item.data());
    }
    throw;
  }
}

void TVdbBaseTable::RemoveKeys(const std::uint8_t* Buffer, std::int32_t RecNo) {
  for (std::int16_t I = 0; I <= FLastIndexNo; ++I) {
    TIndexSlot* Entry = Slot(I);
    if (Entry == nullptr || !Entry->File->IsOpen()) continue;
    std::vector<std::uint8_t> Item(static_cast<std::size_t>(Entry->Def->KeySize()));
    CalcIndexInfo(I, Buffer, Item.data(), RecNo);
    CheckResult(Entry->File->Loesche_Index(Item.data()));
  }
}

void TVdbBaseTable::ReplaceKeys(const std::uint8_t* Old, const std::uint8_t* New,
                                std::int32_t RecNo) {
  RemoveKeys(Old, RecNo);
  try {
    AddKeys(New, RecNo);
  } catch (...) {
    AddKeys(Old, RecNo);
    throw;
  }
}

std::int32_t TVdbBaseTable::AppendRecord(std::uint8_t* Buffer, const TVdbBlobValues& Blobs) {
  std::int32_t RecNo = 0;
  const std::int16_t Result = Guarded([&]() -> std::int32_t {
    if (!Active()) Raise(kErrNotFound, FFileName);
    RecNo = DoAppend(Buffer, Blobs);
    return 0;
  });
  return Result < 0 ? Result : RecNo;
}

std::int32_t TVdbBaseTable::DoAppend(std::uint8_t* Buffer, const TVdbBlobValues& Blobs) {
  // A lock that cannot be had keeps the error it recorded: the result is the internal signal.
  std::optional<TLockGuard> Upgrade;
  try {
    Upgrade.emplace(*this, tltUpgrade, true);
  } catch (const EVdbEngine&) {
    throw EVdbEngine::CreateMsg(kVdbInternalSignal, "");
  }
  if (!FDataFile->CanAppend() || (FCapacity > 0 && RecordCount() >= FCapacity)) {
    Raise(kErrCapacity, FullName());
  }
  const std::int32_t NewRecNo = FDataFile->CanDelete() && FRecordIdFieldNo != 0
                                    ? TkxMemory::ReadInt32(Buffer, GetColumnDef(FRecordIdFieldNo).Position)
                                    : RecordCount() + 1;
  if (!FRollingBack) {
    UniqueCheck(Buffer, NewRecNo);
    CheckConstraints(Buffer);
    CheckReferences(Buffer);
  }
  std::optional<TLockGuard> Write;
  try {
    Write.emplace(*this, tltWrite, true);
  } catch (const EVdbEngine&) {
    throw EVdbEngine::CreateMsg(kVdbInternalSignal, "");
  }
  try {
    WriteBlobs(Buffer, Blobs);
  } catch (const EVdbEngine& Error) {
    Report(Error);
    throw EVdbEngine::CreateMsg(kVdbInternalSignal, "");
  }
  AddKeys(Buffer, NewRecNo);
  const std::int32_t RecNo = FDataFile->InsertRecord(Buffer);
  if (RecNo < 0) {
    const std::string Message =
        FSession.LastError != nullptr ? FSession.LastError->LastErrorMsg() : std::string();
    RemoveKeys(Buffer, NewRecNo);
    throw EVdbEngine::CreateMsg(static_cast<std::int16_t>(-RecNo), Message);
  }
  Notify([](TVdbRelationListener& Listener) { Listener.RelationChanged(); });
  if (LogsActions()) FRedoLog->LogInsert(RecNo);
  return RecNo;
}

std::int16_t TVdbBaseTable::ReplaceRecord(std::uint8_t* Buffer, const std::uint8_t* OrigBuffer,
                                          std::int32_t RecNo, const TVdbBlobValues& Blobs) {
  return Guarded([&]() -> std::int32_t {
    if ((FRights & tarEdit) == 0) Raise(kErrNoWriteRight, FullName());
    DoReplace(Buffer, OrigBuffer, RecNo, Blobs);
    return 0;
  });
}

void TVdbBaseTable::DoReplace(std::uint8_t* Buffer, const std::uint8_t* OrigBuffer,
                              std::int32_t RecNo, const TVdbBlobValues& Blobs) {
  TLockGuard Upgrade(*this, tltUpgrade, true);
  if (RecNo < 1 || FDataFile->ReadRecord(RecNo, FRecBuffer.data()) < 0) {
    Raise(kErrRecordNotFound, "");
  }
  if (!FRollingBack) {
    UniqueCheck(Buffer, RecNo);
    CheckConstraints(Buffer);
    CheckReferences(Buffer);
    if (FOnExecuteUpdateIntegrityRules) {
      CheckResult(FOnExecuteUpdateIntegrityRules(*this, Buffer, OrigBuffer, true));
    }
  }
  TVdbRedoBlobs OldBlobs;
  if (KeepsBlobsForUndo()) OldBlobs = CollectBlobs(OrigBuffer);
  TLockGuard Write(*this, tltWrite, true);
  WriteBlobs(Buffer, Blobs);
  CheckResult(FDataFile->WriteRecord(RecNo, Buffer));
  ReplaceKeys(OrigBuffer, Buffer, RecNo);
  Notify([RecNo](TVdbRelationListener& Listener) { Listener.RecordChanged(RecNo); });
  if (LogsActions()) FRedoLog->LogUpdate(RecNo, OrigBuffer, OldBlobs);
  if (!FRollingBack && FOnExecuteUpdateIntegrityRules) {
    CheckResult(FOnExecuteUpdateIntegrityRules(*this, Buffer, OrigBuffer, false));
  }
}

std::int16_t TVdbBaseTable::DeleteRecord(const std::uint8_t* Buffer, std::int32_t RecNo) {
  return Guarded([&]() -> std::int32_t {
    if (!Active()) Raise(kErrNotFound, FFileName);
    DoDelete(Buffer, RecNo);
    return 0;
  });
}

void TVdbBaseTable::DoDelete(const std::uint8_t* Buffer, std::int32_t RecNo) {
  TLockGuard Upgrade(*this, tltUpgrade, true);
  const bool Heap = !FDataFile->CanDelete();
  if (Heap ? (RecNo < 1 || RecNo > RecordCount())
           : (RecNo < 1 || FDataFile->ReadRecord(RecNo, FRecBuffer.data()) < 0)) {
    Raise(kErrRecordNotFound, "");
  }
  CheckResult(CheckEdit(RecNo, nullptr));
  EndEdit(RecNo);
  TVdbRedoBlobs OldBlobs;
  if (!FRollingBack) {
    if (FOnExecuteDeleteIntegrityRules) {
      CheckResult(FOnExecuteDeleteIntegrityRules(*this, Buffer, nullptr, true));
    }
    if (KeepsBlobsForUndo()) OldBlobs = CollectBlobs(Buffer);
  }
  TLockGuard Write(*this, tltWrite, true);
  FreeBlobs(Buffer);
  RemoveKeys(Buffer, RecNo);
  std::int32_t Moved = 0;
  if (Heap) {
    const std::int32_t Last = RecordCount();
    if (RecNo != Last) {
      std::vector<std::uint8_t> LastRecord(static_cast<std::size_t>(RecordSize()));
      CheckResult(FDataFile->ReadRecord(Last, LastRecord.data()));
      RemoveKeys(LastRecord.data(), Last);
      AddKeys(LastRecord.data(), RecNo);
      CheckResult(FDataFile->WriteRecord(RecNo, LastRecord.data()));
      Moved = Last;
    }
    CheckResult(FDataFile->DeleteRecord(Last));
  } else {
    CheckResult(FDataFile->DeleteRecord(RecNo));
  }
  if (LogsActions()) FRedoLog->LogDelete(RecNo, Buffer, OldBlobs);
  if (!FRollingBack && FOnExecuteDeleteIntegrityRules) {
    CheckResult(FOnExecuteDeleteIntegrityRules(*this, Buffer, nullptr, false));
  }
  Notify([RecNo, Moved](TVdbRelationListener& Listener) { Listener.RecordDeleted(RecNo, Moved); });
  if (HasLockFile() && Heap) {
    if (Moved != 0) {
      SwitchEdit(Moved, RecNo);
      FLockFile->AddRecordMove(RecNo, Moved);
    } else {
      FLockFile->AddRecordMove(RecNo, RecNo);
    }
  }
}

// --- Calculated columns ---------------------------------------------------------------------------

std::int16_t TVdbBaseTable::BerechneFormeln(std::uint8_t* Buffer, TVdbCalculationPurposes Purposes) {
  return Guarded([&]() -> std::int32_t {
    std::vector<int> Columns;
    for (int I = 1; I <= GetColumnCount(); ++I) {
      const TVdbColumnDef& Column = GetColumnDef(I);
      if ((Column.GetCalculationPurposes() & Purposes) != 0 && Column.Calculation() != nullptr) {
        Columns.push_back(I);
      }
    }
    if (Columns.empty()) return 0;
    if (FSession.ExpressionFactory == nullptr) Raise(kErrTypeMismatch, "?");
    for (int I : Columns) {
      const TVdbColumnDef& Column = GetColumnDef(I);
      TVdbCalculation& Calculation = *Column.Calculation();
      if (!Calculation.IsCompiled()) {
        Calculation.Compile(*FSession.ExpressionFactory, FColumnDefs, FLevel);
      }
      const TVdbDataType* Result = Calculation.ResultType();
      if (Result == nullptr || (Result != Column.DataType &&
                                Result->ColumnType() != Column.DataType->ColumnType() &&
                                !(Result->IsNumericType() && Column.DataType->IsNumericType()) &&
                                !(Result->IsStringType() && Column.DataType->IsStringType()))) {
        Raise(kErrTypeMismatch, (Result != nullptr ? Result->SqlName() : std::string("?")) + "->" +
                                    Column.DataType->SqlName());
      }
    }
    std::vector<std::uint8_t> Previous(Buffer, Buffer + RecordSize());
    for (int Pass = 0; Pass < GetColumnCount(); ++Pass) {
      for (int I : Columns) {
        const TVdbColumnDef& Column = GetColumnDef(I);
        TVdbCalculation& Calculation = *Column.Calculation();
        std::vector<std::uint8_t> Image(
            static_cast<std::size_t>(Calculation.ResultType()->DataSize()), 0);
        Calculation.Compiled()->EvaluateToField(Buffer, Image.data());
        const TVdbDataType* ResultType = Calculation.ResultType();
        TVdbDataValue Value;
        ResultType->SetReference(Value, Image.data());
        if (ResultType->IsNull(Value) && !Column.GetNullable()) Raise(kErrNotNull, Column.Name);
        TVdbDataValue Target;
        Column.DataType->SetReference(Target, Buffer + Column.Position);
        Column.DataType->Assign(Target, Value, ResultType);
      }
      bool Changed = false;
      for (int I : Columns) {
        const TVdbColumnDef& Column = GetColumnDef(I);
        Changed = Changed || !std::equal(Buffer + Column.Position,
                                         Buffer + Column.Position + Column.Size,
                                         Previous.begin() + Column.Position);
      }
      if (!Changed) break;
      Previous.assign(Buffer, Buffer + RecordSize());
    }
    return 0;
  });
}

// --- Record ids -----------------------------------------------------------------------------------

std::int16_t TVdbBaseTable::SetAutoNum(std::uint8_t* Buffer) {
  return Guarded([&]() -> std::int32_t {
    if (FRecordIdFieldNo == 0) Raise(kErrNoRecordId, Name());
    if ((FRights & tarAppend) == 0) Raise(kErrNoWriteRight, FullName());
    TLockGuard Upgrade(*this, tltUpgrade, true);
    TLockGuard Write(*this, tltWrite, true);
    std::int32_t RecordId = 0;
    CheckResult(FDataFile->ObtainNewRecordId(RecordId));
    const TVdbColumnDef& Column = GetColumnDef(FRecordIdFieldNo);
    TkxMemory::WriteInt32(Buffer, Column.Position + (Column.GetHasNullByte() && FLevel >= 6 ? 1 : 0),
                          RecordId);
    if (Column.GetHasNullByte()) Buffer[Column.Position + (FLevel >= 6 ? 0 : Column.Size - 1)] = 1;
    return 0;
  });
}

std::int16_t TVdbBaseTable::AdjustRecordId(const std::uint8_t* Buffer) {
  return Guarded([&]() -> std::int32_t {
    if (FRecordIdFieldNo == 0) Raise(kErrNoRecordId, Name());
    const TVdbColumnDef& Column = GetColumnDef(FRecordIdFieldNo);
    const std::int32_t RecordId =
        TkxMemory::ReadInt32(Buffer, Column.Position + (Column.GetHasNullByte() && FLevel >= 6 ? 1 : 0));
    TLockGuard Upgrade(*this, tltUpgrade, true);
    TLockGuard Write(*this, tltWrite, true);
    std::int32_t Next = 0;
    CheckResult(FDataFile->ReadNextRecordId(Next));
    if (RecordId >= Next) CheckResult(FDataFile->WriteNextRecordId(RecordId + 1));
    return 0;
  });
}

std::int16_t TVdbBaseTable::CancelAutoNum(std::int32_t RecordId) {
  return Guarded([&]() -> std::int32_t {
    TLockGuard Upgrade(*this, tltUpgrade, true);
    TLockGuard Write(*this, tltWrite, true);
    CheckResult(FDataFile->RevokeRecordId(RecordId));
    return 0;
  });
}

std::int16_t TVdbBaseTable::RecalcAutoInc() {
  return Guarded([&]() -> std::int32_t {
    if (FRecordIdFieldNo == 0 || FInrIndexNo == kVdbNoIndex) Raise(kErrNoRecordId, Name());
    TLockGuard Upgrade(*this, tltUpgrade, true);
    TLockGuard Write(*this, tltWrite, true);
    DoCheckIndexOpen(FInrIndexNo);
    const TVdbSortDef& Def = *Slot(FInrIndexNo)->Def;
    std::vector<std::uint8_t> Item(static_cast<std::size_t>(Def.KeySize()));
    std::int32_t Next = 1;
    const std::int16_t Found = Slot(FInrIndexNo)->File->Letzter_Index(Item.data());
    CheckResult(Found);
    if (Found == TVdbTreeBase::kFound) {
      const std::int32_t RecNo = TkxMemory::ReadInt32(Item.data(), 0);
      std::vector<std::uint8_t> Record(static_cast<std::size_t>(RecordSize()));
      CheckResult(FDataFile->ReadRecord(RecNo, Record.data()));
      const TVdbColumnDef& Column = GetColumnDef(FRecordIdFieldNo);
      Next = TkxMemory::ReadInt32(Record.data(),
                                  Column.Position + (Column.GetHasNullByte() && FLevel >= 6 ? 1 : 0)) + 1;
    }
    CheckResult(FDataFile->WriteNextRecordId(Next));
    return 0;
  });
}

std::int32_t TVdbBaseTable::ReadNextRecordId() {
  std::int32_t Next = 0;
  const std::int16_t Result = Guarded([&]() -> std::int32_t {
    CheckResult(FDataFile->ReadNextRecordId(Next));
    return 0;
  });
  return Result < 0 ? Result : Next;
}

// --- Locks ----------------------------------------------------------------------------------------

void TVdbBaseTable::RaiseLocked() const { throw EVdbEngine(kErrLocked, ""); }

void TVdbBaseTable::CatchUpIfChanged() {
  const bool MoreIndexes =
      FLockFile->GetTableIndexCount() > static_cast<std::int32_t>(FDataFile ? FDataFile->IndexNames().size() : 0);
  if (FLockFile->CheckUpdate() || (FDataFile && MoreIndexes)) DoUpdateTable();
}

std::int16_t TVdbBaseTable::UpdateTable() {
  return Guarded([&]() -> std::int32_t {
    TLockGuard Read(*this, tltRead, true);
    DoUpdateTable();
    return 0;
  });
}

void TVdbBaseTable::DoUpdateTable() {
  if (!FDataFile) {
    if (FLockFile) FLockFile->SetChangeCount(FLockFile->GetTableChangeCount());
    return;
  }
  CheckResult(FDataFile->Invalidate());
  const std::size_t Known = FDataFile->IndexNames().size();
  if (FLockFile && FLockFile->GetTableIndexCount() > static_cast<std::int32_t>(Known)) {
    CheckResult(FDataFile->ReadIndexNames());
    for (const std::string& IndexName : FDataFile->IndexNames()) {
      if (EndsWith(IndexName, ".ift") || EndsWith(IndexName, ".vdbf")) continue;
      if (GetIndexNo(IndexName) < 0) CheckResult(InitIndex(IndexName, nullptr));
    }
  }
  for (TIndexSlot& Entry : FIndexFiles) {
    if (Entry.File && Entry.File->IsOpen()) Entry.File->Update();
  }
  if (FMemo) FMemo->Update();
  if (FBlob) FBlob->Update();
  if (!FLockFile) return;
  FLockFile->SetChangeCount(FLockFile->GetTableChangeCount());
  std::vector<std::pair<std::int32_t, std::int32_t>> Moves;
  std::int32_t NewRecNo = 0;
  std::int32_t OldRecNo = 0;
  while (FLockFile->ReadRecordMove(NewRecNo, OldRecNo)) Moves.emplace_back(NewRecNo, OldRecNo);
  Notify([](TVdbRelationListener& Listener) { Listener.RelationChanged(); });
  for (const auto& [To, From] : Moves) {
    const std::int32_t Moved = From == To ? 0 : From;
    Notify([To, Moved](TVdbRelationListener& Listener) { Listener.RecordDeleted(To, Moved); });
  }
}

// Raises the level held in the lock file to ToLock. A lingering read lock is converted without
// waiting; when that fails it is given up first (so that two readers asking for more never wait
// for each other) and ToLock is requested from the level now held: without Wait only when
// RequestWithoutWait says so, and then without waiting.
void TVdbBaseTable::RaiseHeldLock(TVdbTableLockType ToLock, bool Wait, bool RequestWithoutWait) {
  if (FUnlockAction == tltRead) {
    if (FLockFile->LockTable(tltRead, ToLock, true)) {
      FUnlockAction = ToLock;
      CatchUpIfChanged();
      return;
    }
    FLockFile->UnlockTable(tltRead, tltNone);
    FUnlockAction = tltNone;
    if (!Wait && !RequestWithoutWait) RaiseLocked();
  }
  if (!FLockFile->LockTable(FUnlockAction, ToLock, !Wait)) RaiseLocked();
  FUnlockAction = ToLock;
  CatchUpIfChanged();
}

std::int16_t TVdbBaseTable::BeginRead(bool Wait) {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  return Guarded([&]() -> std::int32_t {
    if (HasLockFile() && FUnlockAction == tltNone) {
      if (!FLockFile->LockTable(tltNone, tltRead, !Wait)) RaiseLocked();
      FUnlockAction = tltRead;
      CatchUpIfChanged();
    }
    ++FReadLocks;
    return 0;
  });
}

std::int16_t TVdbBaseTable::BeginUpgrade(bool Wait) {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  return Guarded([&]() -> std::int32_t {
    if (FReadLocks > 0 && FUpgradeLocks == 0 && FWriteLocks == 0) RaiseLocked();
    if (HasLockFile() && FUpgradeLocks == 0 && FWriteLocks == 0 && FUnlockAction <= tltRead) {
      RaiseHeldLock(tltUpgrade, Wait, false);
    }
    ++FUpgradeLocks;
    return 0;
  });
}

std::int16_t TVdbBaseTable::BeginWrite(bool Wait) {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  return Guarded([&]() -> std::int32_t {
    if (FWriteError) {
      FWriteError = false;
      Raise(kErrWrite, Name());
    }
    if (FReadLocks > 0 && FUpgradeLocks == 0 && FWriteLocks == 0) RaiseLocked();
    if (HasLockFile() && FWriteLocks == 0 && FUnlockAction != tltWrite) {
      RaiseHeldLock(tltWrite, Wait, true);
    }
    if (FWriteLocks == 0) StartUndoLog();
    ++FWriteLocks;
    return 0;
  });
}

void TVdbBaseTable::StartUndoLog() {
  if (FSession.Isolation == tilNone || FRedoLog || FRollingBack || FSession.LockFileSystem == nullptr) {
    return;
  }
  auto Log = std::make_unique<TVdbRedoLog>(*FSession.LockFileSystem, RecordSize(), FIsRelFile,
                                           FLevel, LogName());
  if (!Log->NewFile()) {
    // A dead session's transaction is rolled back before this one starts.
    const bool WasRollingBack = FRollingBack;
    FRollingBack = true;
    TRedoTarget Target(*this);
    try {
      Log->Undo(Target);
    } catch (...) {
      FRollingBack = WasRollingBack;
      throw;
    }
    FRollingBack = WasRollingBack;
    if (!Log->NewFile()) RaiseLocked();
  }
  FRedoLog = std::move(Log);
}

std::int16_t TVdbBaseTable::BeginExclusive(bool Wait) {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  return Guarded([&]() -> std::int32_t {
    if (HasLockFile() && FExclusiveLocks == 0) {
      bool Granted = FLockFile->LockExclusive();
      for (int Try = 0; !Granted && Wait && Try < TVdbLockFile::GetRetryCount(); ++Try) {
        TVdbLockFile::Pause();
        Granted = FLockFile->LockExclusive();
      }
      if (!Granted) RaiseLocked();
    }
    ++FExclusiveLocks;
    return 0;
  });
}

void TVdbBaseTable::LockEnded() {
  FUnlockTime = VdbTickCount();
  if (!HasLockFile() || FUnlockAction == tltNone || !RandomEarlyRelease()) return;
  // Now and then a busy session lets others in at once.
  if ((FUpgradeLocks > 0 || FWriteLocks > 0) && FUnlockAction >= tltUpgrade) {
    Flush();
    return;
  }
  try {
    LowerHeldLock(std::max(VdbRequiredTableLock(FReadLocks, FUpgradeLocks, FWriteLocks),
                           FTransactionLock));
  } catch (const EVdbEngine& Error) {
    Report(Error);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(TVdbLockFile::GetWaitInterval()));
}

void TVdbBaseTable::KeepTransactionLock(TVdbTableLockType Ending) {
  if (FSession.Isolation == tilNone) return;
  FTransactionLock = std::max(FTransactionLock, VdbTransactionKeptLock(FSession.Isolation, Ending));
}

void TVdbBaseTable::EndRead() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  if (FReadLocks > 0) --FReadLocks;
  if (FReadLocks == 0 && FUpgradeLocks == 0) KeepTransactionLock(tltRead);
  LockEnded();
}

void TVdbBaseTable::EndUpgrade() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  if (FUpgradeLocks > 0) --FUpgradeLocks;
  if (FUpgradeLocks == 0) KeepTransactionLock(tltUpgrade);
  LockEnded();
}

void TVdbBaseTable::EndWrite() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  if (FWriteLocks > 0) --FWriteLocks;
  if (FWriteLocks == 0) KeepTransactionLock(tltWrite);
  LockEnded();
}

void TVdbBaseTable::EndExclusive() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  if (FExclusiveLocks > 0 && --FExclusiveLocks == 0 && HasLockFile()) FLockFile->UnlockExclusive();
}

void TVdbBaseTable::LowerHeldLock(TVdbTableLockType Target) {
  if (!HasLockFile() || Target >= FUnlockAction) return;
  if (FUnlockAction == tltWrite && Active() && !ReadOnly()) Flush();
  FLockFile->UnlockTable(FUnlockAction, Target);
  FUnlockAction = Target;
}

void TVdbBaseTable::CheckUnlock(std::uint32_t Ticks) {
  if (!FUnlockActive || FUnlockAction == tltNone || !VdbUnlockIdle(Ticks, FUnlockTime)) return;
  for (int Try = 0; Try < kUnlockTries; ++Try) {
    if (FLockingMutex.try_lock()) {
      std::lock_guard<std::recursive_mutex> Lock(FLockingMutex, std::adopt_lock);
      try {
        LowerHeldLock(std::max(VdbRequiredTableLock(FReadLocks, FUpgradeLocks, FWriteLocks),
                               FTransactionLock));
      } catch (const EVdbEngine& Error) {
        Report(Error);
      }
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(TVdbLockFile::GetWaitInterval()));
  }
}

std::int16_t TVdbBaseTable::CommitModifications() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  return Guarded([&]() -> std::int32_t {
    if (FRedoLog) FRedoLog->Erase();
    FRedoLog.reset();
    FTransactionLock = tltNone;
    return 0;
  });
}

std::int16_t TVdbBaseTable::UndoModifications() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  return Guarded([&]() -> std::int32_t {
    if (FRedoLog) {
      TLockGuard Upgrade(*this, tltUpgrade, true);
      TLockGuard Write(*this, tltWrite, true);
      const bool WasRollingBack = FRollingBack;
      FRollingBack = true;
      try {
        TRedoTarget Target(*this);
        FRedoLog->Undo(Target);
      } catch (...) {
        FRollingBack = WasRollingBack;
        throw;
      }
      FRollingBack = WasRollingBack;
      FRedoLog.reset();
    }
    FTransactionLock = tltNone;
    return 0;
  });
}

std::int32_t TVdbBaseTable::NetUsers() {
  if (!HasLockFile()) return 1;
  try {
    return FLockFile->GetSessionCount();
  } catch (const EVdbEngine& Error) {
    return Report(Error);
  }
}

std::int16_t TVdbBaseTable::CheckEdit(std::int32_t RecNo, const TVdbRelationListener* Excluded) {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  return Guarded([&]() -> std::int32_t {
    if (!FUseEditLocks) {
      ++FEditLocks;
      return 0;
    }
    for (const TVdbRelationListener* Listener : FClientAccessors) {
      if (Listener != Excluded && Listener->IsEditing(RecNo)) Raise(kErrEdited, "");
    }
    if (HasLockFile()) {
      const std::int32_t Held = FLockFile->GetLockedRecord();
      if (FEditLocks > 0 && Held != 0 && Held != RecNo) Raise(kErrEdited, "");
      if (Held != RecNo && !FLockFile->LockRecord(RecNo)) Raise(kErrEdited, "");
    }
    ++FEditLocks;
    return 0;
  });
}

void TVdbBaseTable::SwitchEdit(std::int32_t From, std::int32_t To) {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  if (HasLockFile()) FLockFile->SwitchRecordLock(From, To);
}

void TVdbBaseTable::EndEdit(std::int32_t /*RecNo*/) {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  if (FEditLocks > 0) --FEditLocks;
  if (FEditLocks == 0 && FUseEditLocks && HasLockFile() && FLockFile->GetLockedRecord() != 0) {
    try {
      FLockFile->UnlockRecord();
    } catch (const EVdbEngine& Error) {
      Report(Error);
    }
  }
}

// --- Accessors ------------------------------------------------------------------------------------

void TVdbBaseTable::AddListener(TVdbRelationListener* Listener) {
  if (std::find(FClientAccessors.begin(), FClientAccessors.end(), Listener) == FClientAccessors.end()) {
    FClientAccessors.push_back(Listener);
  }
}

void TVdbBaseTable::RemoveListener(TVdbRelationListener* Listener) {
  FClientAccessors.erase(std::remove(FClientAccessors.begin(), FClientAccessors.end(), Listener),
                         FClientAccessors.end());
}

void TVdbBaseTable::EnableNotifications(bool Enabled) {
  if (!Enabled) {
    ++FNotificationDisableCount;
    return;
  }
  if (FNotificationDisableCount == 1) {
    FNotificationDisableCount = 0;
    Notify([](TVdbRelationListener& Listener) { Listener.RelationChanged(); });
    return;
  }
  if (FNotificationDisableCount > 0) --FNotificationDisableCount;
}

}  // namespace vdb
