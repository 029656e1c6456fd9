#include "table/VdbBaseTable.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <random>
#include <thread>

#include "base/VdbErrors.h"
#include "base/VdbLastError.h"
#include "storage/VdbPageMan.h"
#include "storage/kxFileSystem.h"
#include "storage/kxFormat.h"
#include "storage/kxMemory.h"
#include "storage/kxPath.h"
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

bool SameLetters(char A, char B) {
  return std::tolower(static_cast<unsigned char>(A)) == std::tolower(static_cast<unsigned char>(B));
}

bool EndsWithNoCase(const std::string& Text, const std::string& Tail) {
  return Text.size() >= Tail.size() &&
         std::equal(Tail.rbegin(), Tail.rend(), Text.rbegin(), SameLetters);
}

// The table's files lie in the OS or in the container: either form of path.
constexpr TkxPathForm kEither = TkxPathForm::Any;

bool IsFullTextIndexName(const std::string& Name) {
  return EndsWithNoCase(Name, ".ift") || EndsWithNoCase(Name, ".vdbf");
}

bool RandomEarlyRelease() {
  thread_local std::mt19937 Generator{std::random_device{}()};
  return std::uniform_int_distribution<std::int32_t>(0, kRandomReleaseChance - 1)(Generator) == 0;
}

// A little-endian signed integer of Size bytes (1 to 4).
std::int64_t ReadLittle(const std::uint8_t* Data, std::int32_t Size) {
  std::uint64_t Value = 0;
  for (std::int32_t I = Size - 1; I >= 0; --I) Value = (Value << 8) | Data[I];
  if (Size > 0 && Size < 8 && (Data[Size - 1] & 0x80) != 0) Value |= ~0ULL << (8 * Size);
  return static_cast<std::int64_t>(Value);
}

}  // namespace

// --- Lock guard and undo target ------------------------------------------------------------------

// Holds one counted lock of the table for the life of a scope; raises the recorded error when
// the lock cannot be had.
class TVdbBaseTable::TLockGuard {
 public:
  TLockGuard(TVdbBaseTable& Table, TVdbTableLockType Level) : FTable(Table), FLevel(Level) {
    std::int16_t Result = 0;
    switch (Level) {
      case tltRead:
        Result = Table.BeginRead(true);
        break;
      case tltUpgrade:
        Result = Table.BeginUpgrade(true);
        break;
      default:
        Result = Table.BeginWrite(true);
        break;
    }
    if (Result < 0) {
      const TVdbLastError* Errors = Table.LastErrorRecord();
      throw EVdbEngine::CreateMsg(static_cast<std::int16_t>(-Result),
                                  Errors != nullptr ? Errors->LastErrorMsg() : std::string());
    }
  }
  ~TLockGuard() {
    switch (FLevel) {
      case tltRead:
        FTable.EndRead();
        break;
      case tltUpgrade:
        FTable.EndUpgrade();
        break;
      default:
        FTable.EndWrite();
        break;
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

  // An insert whose record never reached the file leaves nothing to undo.
  void UndoInsert(std::int32_t RecordNo) override {
    std::vector<std::uint8_t> Record(static_cast<std::size_t>(FTable.RecordSize()));
    if (RecordNo < 1 || FTable.FDataFile->ReadRecord(RecordNo, Record.data()) < 0) return;
    FTable.DoDelete(Record.data(), RecordNo);
  }
  void UndoUpdate(std::int32_t RecordNo, const std::vector<std::uint8_t>& OldRecord,
                  const TVdbRedoBlobs& OldBlobs) override {
    std::vector<std::uint8_t> Current(static_cast<std::size_t>(FTable.RecordSize()));
    FTable.CheckResult(FTable.FDataFile->ReadRecord(RecordNo, Current.data()));
    std::vector<std::uint8_t> Old = OldRecord;
    // The current chains take the old values.
    for (std::int16_t I = 1; I <= FTable.GetColumnCount(); ++I) {
      if (FTable.IsBlobColumn(I))
        FTable.SetBlockIdx(Old.data(), I, FTable.GetBlockIdx(Current.data(), I));
    }
    FTable.DoReplace(Old.data(), Current.data(), RecordNo, Values(OldBlobs));
  }
  void UndoDelete(std::int32_t RecordNo, const std::vector<std::uint8_t>& OldRecord,
                  const TVdbRedoBlobs& OldBlobs) override {
    std::vector<std::uint8_t> Old = OldRecord;
    for (std::int16_t I = 1; I <= FTable.GetColumnCount(); ++I) {
      if (FTable.IsBlobColumn(I)) FTable.SetBlockIdx(Old.data(), I, 0);
    }
    if (RecordNo > FTable.RecordCount() || FTable.FDataFile->CanDelete()) {
      FTable.DoAppend(Old.data(), Values(OldBlobs));
      return;
    }
    // The record that now has the number goes to the end again, the old one back into its slot.
    std::vector<std::uint8_t> Occupant(static_cast<std::size_t>(FTable.RecordSize()));
    FTable.CheckResult(FTable.FDataFile->ReadRecord(RecordNo, Occupant.data()));
    FTable.DoAppend(Occupant.data(), {});
    TChainChanges Chains;
    FTable.WriteBlobs(Old.data(), Values(OldBlobs), nullptr, Chains);
    FTable.ReplaceKeys(Occupant.data(), Old.data(), RecordNo);
    FTable.CheckResult(FTable.FDataFile->WriteRecord(RecordNo, Old.data()));
    FTable.CommitChains(Chains);
  }

 private:
  static TBlobValues Values(const TVdbRedoBlobs& Blobs) {
    TBlobValues Result;
    for (const auto& [FieldNo, Blob] : Blobs) {
      std::string Stored = Blob.Data;
      if (Blob.Kind == takWideMemo) {
        Stored.assign(Blob.WideData.size() * 2, '\0');
        std::memcpy(Stored.data(), Blob.WideData.data(), Stored.size());
      }
      Result.emplace_back(static_cast<std::int16_t>(FieldNo), std::move(Stored));
    }
    return Result;
  }

  TVdbBaseTable& FTable;
};

// --- Construction and errors ---------------------------------------------------------------------

TVdbBaseTable::TVdbBaseTable(TVdbServices* Services) : TVdbRelation(Services) {}

TVdbBaseTable::~TVdbBaseTable() {
  try {
    CloseFiles();
  } catch (...) {  // a destructor never throws; the files are released regardless
  }
}

// Rolling back an undo log runs without isolation: nothing of it is logged or kept locked.
TVdbIsolationLevel TVdbBaseTable::Isolation() const {
  if (FRollingBack) return tilNone;
  return FServices != nullptr ? FServices->IsolationLevel() : tilNone;
}

std::int16_t TVdbBaseTable::Report(const EVdbEngine& Error) {
  if (Error.Code() == kVdbErrInternalSignal) return -kVdbErrInternalSignal;
  if (LastErrorRecord() != nullptr) LastErrorRecord()->SetLastError(Error);
  return static_cast<std::int16_t>(-Error.Code());
}

template <class F>
std::int16_t TVdbBaseTable::Run(F&& Body) {
  return VdbGuarded(LastErrorRecord(), [&Body] { return static_cast<std::int16_t>(Body()); });
}

void TVdbBaseTable::Raise(std::int16_t Code, const std::string& Argument) const {
  throw EVdbEngine(Code, Argument);
}

// The files record their failures in the session already; the message is carried on.
void TVdbBaseTable::CheckResult(std::int32_t Result) const {
  if (Result >= 0) return;
  throw EVdbEngine::CreateMsg(static_cast<std::int16_t>(-Result),
                              LastErrorRecord() != nullptr ? LastErrorRecord()->LastErrorMsg() : std::string());
}

// --- Names and properties ------------------------------------------------------------------------

std::string TVdbBaseTable::Name() const { return kxExtractFileName(kxChangeFileExt(FFileName, "", kEither), kEither); }

bool TVdbBaseTable::Active() const { return FDataFile != nullptr && FDataFile->IsOpen(); }

std::int32_t TVdbBaseTable::RecordCount() { return Active() ? FDataFile->RecordCount() : 0; }

std::int64_t TVdbBaseTable::StorageSize() const { return Active() ? FDataFile->StorageSize() : 0; }

TVdbCheckDef* TVdbBaseTable::GetConstraint(std::int32_t Index) const {
  return Index >= 0 && Index < FChecks.Count() ? FChecks.Get<TVdbCheckDef>(Index) : nullptr;
}

TVdbForeignKeyDef* TVdbBaseTable::GetIntegrityRule(std::int32_t Index) const {
  return Index >= 0 && Index < FForeignKeyDefs.Count()
             ? FForeignKeyDefs.Get<TVdbForeignKeyDef>(Index)
             : nullptr;
}

std::string TVdbBaseTable::GetIndexDirectory(TVdbIndexKind) const { return kxExtractFilePath(FFileName, kEither); }

TkxFileSystem* TVdbBaseTable::GetIndexFileSystem(TVdbIndexKind) const { return FFileSystem; }

std::string TVdbBaseTable::GetBlobBaseDir() const { return kxExtractFilePath(FFileName, kEither); }

std::int16_t TVdbBaseTable::GetBaseField(std::int16_t FieldNo, TVdbRelationIndex& BaseRltnIdx,
                                         std::int16_t& BaseFieldNo) const {
  BaseRltnIdx = FRltnIdx;
  BaseFieldNo = FieldNo;
  return 0;
}

std::string TVdbBaseTable::CompanionFileName(const char* Level6Ext, const char* OldExt) const {
  return kxChangeFileExt(FFileName, FLevel >= 6 ? Level6Ext : OldExt, kEither);
}

std::unique_ptr<TVdbClientStorage> TVdbBaseTable::NewStorage(const std::string& Name) const {
  auto Storage = std::make_unique<TVdbClientStorage>(TVdbPageManager::Instance(), FFileSystem, 1);
  Storage->SetName(Name);
  return Storage;
}

void TVdbBaseTable::ClearStructure() {
  TVdbRelation::ClearStructure();
  FKeyDefs.Clear();
  FChecks.Clear();
  FForeignKeyDefs.Clear();
  FTypes.Clear();
}

// Checking, repairing and moving indexes are not part of this table's work.
std::int16_t TVdbBaseTable::Check(bool) {
  return Report(EVdbEngine(kVdbErrNotSupported, "checking a table"));
}

std::int16_t TVdbBaseTable::MoveIndex(std::int16_t, std::int16_t) {
  return Report(EVdbEngine(kVdbErrNotSupported, "moving an index"));
}

std::int16_t TVdbBaseTable::DoGetLinkString(const std::uint8_t*, std::int16_t,
                                            std::string& Result) {
  Result.clear();
  return 0;
}

std::int16_t TVdbBaseTable::Undo() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  return Run([&]() -> std::int32_t {
    if (!Active()) return 0;
    CheckResult(FDataFile->Undo());
    if (FMemo) FMemo->Undo();
    if (FBlob) FBlob->Undo();
    for (TIndexSlot& Entry : FIndexFiles) {
      if (Entry.File && Entry.File->IsOpen()) Entry.File->Undo();
    }
    return 0;
  });
}

// --- Opening -------------------------------------------------------------------------------------

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
  if (FFileSystem == nullptr && FServices != nullptr) FFileSystem = FServices->DataFileSystem();
  if (FFileSystem == nullptr || !FFileSystem->FileExists(FFileName)) Raise(kVdbErrFileNotFoundOrDenied, FFileName);
  FLevel = EndsWithNoCase(FFileName, ".vdbt") ? kVdbEngineLevel : kLevelOfOldTables;
  IsRelFile = FLevel >= 6 ? FFileName.find("!rel_") != std::string::npos
                          : EndsWithNoCase(FFileName, ".rel");
  if ((FRights & (kVdbRightExclusive | kVdbRightSharedReadOnly)) == 0) LogInToLockFile();
  FChecks.Clear();
  FForeignKeyDefs.Clear();
  {
    TLockGuard Read(*this, tltRead);
    OpenDataFile();
    RecalcColumnFlags();
    FNativeSortDef = std::make_unique<TVdbSortDef>("Table_Default");
    AllocRecBuffer();
    CheckPlausibility();
    OpenMemoFiles(Force);
  }
  // A log left by a dead session is rolled back once the indexes are known (Setup), so that
  // the undone records take their keys along.
  FLeftLogPending = true;
  FUnlockTime = VdbTickCount();
  FUnlockActive = true;
}

// The lock files live in the table's physical directory: the one the catalog gives, else the
// data file's own directory when it is an operating-system file, else the session's private
// directory.
std::string TVdbBaseTable::LockName() const {
  std::string Directory = FPhysicalDirectory;
  if (Directory.empty()) {
    if (dynamic_cast<const TkxOSFileSystem*>(FFileSystem) != nullptr) {
      Directory = kxExtractFilePath(FFileName, kEither);
    } else if (FServices != nullptr) {
      Directory = FServices->PrivateDir();
    }
  }
  if (!Directory.empty() && Directory.back() != '/') Directory += '/';
  return Directory + (FContainerName.empty() ? Name() : FContainerName + "!" + Name());
}

void TVdbBaseTable::LogInToLockFile() {
  if (FServices == nullptr || FServices->Station() == 0) Raise(kVdbErrInvalidConnectionId, "");
  if (FServices->LockFileSystem() == nullptr) Raise(kVdbErrNoWriteAccess, LockName());
  const std::string SessionName =
      FServices->IDName().empty() ? VdbDefaultIdentificationName() : FServices->IDName();
  FLockFile = std::make_unique<TVdbLockFile>(
      *FServices->LockFileSystem(), static_cast<std::uint32_t>(FServices->Station()), SessionName);
  FLockFile->SetOnHijack([this](TVdbLockFile&) { OnHijack(); });
  try {
    FLockFile->LogIn(LockName(), FLevel, IsRelFile);
  } catch (const EVdbEngine& Error) {
    FLockFile.reset();
    if (Error.Code() == kVdbErrFileWrite) Raise(kVdbErrNoWriteAccess, LockName());
    throw;
  }
}

void TVdbBaseTable::OpenDataFile() {
  TVdbTableDefinition Def;
  std::int32_t Result = 0;
  const bool OpenReadOnly = ReadOnly() || (FRights & kVdbRightSharedReadOnly) != 0;
  try {
    FDataFile = VdbOpenDataFile(LastErrorRecord(), NewStorage(FFileName), OpenReadOnly, Exclusive(),
                                FCryptor, Def, Result);
  } catch (const EVdbPMStorageAccessDenied&) {
    Raise(kVdbErrNoWriteAccess, FFileName);
  } catch (const EVdbPMStorageNotFound&) {
    Raise(kVdbErrFileNotFoundOrDenied, FFileName);
  } catch (const EVdbPageManager&) {
    Raise(kVdbErrCannotOpenFile, FFileName);
  }
  if (!FDataFile) CheckResult(Result < 0 ? Result : -kVdbErrCannotOpenFile);
  FLevel = FDataFile->Version();
  TakeDefinition(Def);
}

void TVdbBaseTable::TakeDefinition(TVdbTableDefinition& Def) {
  *FColumnDefs = std::move(Def.ColumnDefs);
  FCollationName = Def.CollationName;
  FCapacity = Def.Capacity;
  FTypes = std::move(Def.Types);
  FChecks = std::move(Def.CheckDefs);
  FKeyDefs = std::move(Def.KeyDefs);
  FForeignKeyDefs = std::move(Def.ForeignKeyDefs);
}

// Record 1 must look like a record of this definition: a wrong password shows this way when the
// records are enciphered.
void TVdbBaseTable::CheckPlausibility() {
  if (FDataFile->RecordCount() < 1) return;
  const std::int32_t First = FDataFile->GetFirstRecordNo();
  if (First <= 0 || FDataFile->ReadRecord(First, FRecBuffer.get()) < 0) Raise(kVdbErrInvalidCredentials, "");
  for (std::int16_t I = 1; I <= GetColumnCount(); ++I) {
    const TVdbColumnDef& Column = GetColumnDef(I);
    if (!FieldPlausible(Column, FRecBuffer.get() + Column.Position)) Raise(kVdbErrInvalidCredentials, "");
  }
}

bool TVdbBaseTable::FieldPlausible(const TVdbColumnDef& Column, const std::uint8_t* Field) const {
  const bool NullByte = Column.GetHasNullByte();
  const bool NullFirst = FLevel >= 6;
  if (NullByte && (NullFirst ? Field[0] : Field[Column.Size - 1]) == 0) return true;
  const std::uint8_t* Value = Field + (NullByte && NullFirst ? 1 : 0);
  const std::int32_t ValueSize = std::min<std::int32_t>(Column.Size - (NullByte ? 1 : 0), 4);
  switch (Column.GetColumnType()) {
    case kVdbStringCode:
    case kVdbWideStringCode: {
      // The stored length prefix itself: reading the value would cut it to the maximum.
      const auto* Type = dynamic_cast<const TVdbStringType*>(Column.DataType);
      if (Type == nullptr) return true;
      const std::int32_t Prefix = std::min<std::int32_t>(Type->PrefixSize(), 4);
      const std::int64_t Length =
          Prefix == 4
              ? ReadLittle(Value, 4)
              : static_cast<std::int64_t>(ReadLittle(Value, Prefix) & ((1LL << (8 * Prefix)) - 1));
      return Length >= 0 && Length <= Type->MaxLength();
    }
    case kVdbEnumCode: {
      const auto* Type = dynamic_cast<const TVdbEnumType*>(Column.DataType);
      const std::int64_t Item = ReadLittle(Value, ValueSize);
      return Type == nullptr || !Type->HasItems() ||
             (Item >= 0 && Item <= static_cast<std::int64_t>(Type->Items().size()));
    }
    case kVdbRecordIdCode:
    case kVdbLinkCode:
    case kVdbTimeCode:
      return ReadLittle(Value, ValueSize) >= 0;
    case kVdbTimeStampCode:
      return Column.Size - (NullByte ? 1 : 0) < 8 ||
             (ReadLittle(Value, 4) >= 0 && ReadLittle(Value + 4, 4) >= 0);
    default:
      return true;
  }
}

std::unique_ptr<TVdbMemoFile> TVdbBaseTable::MakeMemoFile() const {
  auto Memo = std::make_unique<TVdbMemoFile>(NewStorage(CompanionFileName(".vdbm", ".mmo")));
  Memo->SetVersion(FLevel);
  Memo->SetTableName(Name());
  Memo->SetLastErrorTarget(LastErrorRecord());
  return Memo;
}

std::unique_ptr<TVdbBlobFile> TVdbBaseTable::MakeBlobFile() const {
  auto Blob = std::make_unique<TVdbBlobFile>(NewStorage(CompanionFileName(".vdbb", ".blb")),
                                             FServices != nullptr
                                                 ? FServices->DefBlobBlockSize
                                                 : TVdbBlockedBinaryFile::kDefaultBlobBlockSize);
  Blob->SetVersion(FLevel);
  Blob->SetTableName(Name());
  Blob->SetLastErrorTarget(LastErrorRecord());
  return Blob;
}

void TVdbBaseTable::OpenMemoFiles(bool Force) {
  const bool OpenReadOnly = ReadOnly() || (FRights & kVdbRightSharedReadOnly) != 0;
  if (FHasMemo) {
    try {
      auto Memo = MakeMemoFile();
      Memo->Open(OpenReadOnly, Exclusive());
      FMemo = std::move(Memo);
    } catch (const std::exception&) {
      if (!Force) Raise(kVdbErrCannotOpenMemoFile, CompanionFileName(".vdbm", ".mmo"));
    }
  }
  if (FHasBlob) {
    try {
      auto Blob = MakeBlobFile();
      Blob->Open(OpenReadOnly, Exclusive());
      FBlob = std::move(Blob);
    } catch (const std::exception&) {
      if (!Force) {
        if (FMemo) FMemo->Close();
        FMemo.reset();
        Raise(kVdbErrCannotOpenBlobStorage, Name());
      }
    }
  }
}

// Undoes the actions of a log with the table's own record operations; constraint checks,
// integrity rules and logging stay off meanwhile.
// The session's isolation is off from before the locks are taken: a write lock taken with it on
// would start an undo log of this session on the very log being undone.
void TVdbBaseTable::RollBack(TVdbRedoLog& Log) {
  struct TRestore {
    bool& Flag;
    bool Was;
    ~TRestore() { Flag = Was; }
  } Restore{FRollingBack, FRollingBack};
  FRollingBack = true;
  TLockGuard Upgrade(*this, tltUpgrade);
  TLockGuard Write(*this, tltWrite);
  TRedoTarget Target(*this);
  Log.Undo(Target);
}

// A log left by a session that died in a transaction is rolled back before anyone goes on.
void TVdbBaseTable::UndoLeftLog() {
  if (!Active() || !HasLockFile() || ReadOnly() || FRollingBack || FRedoLog) return;
  TVdbRedoLog Log(*FServices->LockFileSystem(), RecordSize(), IsRelFile, FLevel, LockName());
  if (Log.Open() != TVdbRedoOpenResult::rorOpened) return;
  RollBack(Log);
}

// The lock file found a dead session. It tells so from inside a lock request, before this table
// knows the level it now holds: the rollback waits until the table's lock state is settled
// (RollBackLeftLogIfWaiting), so that it can lock the table like any caller.
void TVdbBaseTable::OnHijack() {
  if (FLeftLogPending) return;  // the set-up rolls it back
  FLeftLogWaiting = true;
  if (FLockFile && FLockFile->GetTableLock() == FUnlockAction) RollBackLeftLogIfWaiting();
}

// A rollback that cannot be done now (another session holds the table) is tried again at this
// session's next lock; the operation that found the dead session goes on either way.
void TVdbBaseTable::RollBackLeftLogIfWaiting() {
  if (!FLeftLogWaiting || FRollingBack) return;
  FLeftLogWaiting = false;
  try {
    UndoLeftLog();
  } catch (const EVdbEngine&) {
    FLeftLogWaiting = true;
  }
}

// --- Creating ------------------------------------------------------------------------------------

std::int16_t TVdbBaseTable::NewFile() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  try {
    DoNewFile();
    return 0;
  } catch (const EVdbEngine& Error) {
    const std::int16_t Result = Report(Error);
    DropCreatedFiles();
    return Result;
  }
}

void TVdbBaseTable::DoNewFile() {
  if (FFileSystem == nullptr && FServices != nullptr) FFileSystem = FServices->DataFileSystem();
  if (FFileSystem == nullptr) Raise(kVdbErrFileNotFoundOrDenied, FFileName);
  TVdbTableDefinition Def;
  Def.CollationName = FCollationName;
  Def.Capacity = FCapacity;
  Def.Password = FCryptor.Password;
  Def.Types = FTypes;
  Def.ColumnDefs = *FColumnDefs;
  Def.CheckDefs = FChecks;
  Def.KeyDefs = FKeyDefs;
  Def.ForeignKeyDefs = FForeignKeyDefs;
  std::int32_t Result = 0;
  FDataFile = VdbCreateDataFile(LastErrorRecord(), NewStorage(FFileName), FLevel, FCryptor, Def, {}, Result);
  if (!FDataFile) CheckResult(Result < 0 ? Result : -kVdbErrCannotOpenFile);
  if (FNextRecordIdOfNewFile > 1) CheckResult(FDataFile->WriteNextRecordId(FNextRecordIdOfNewFile));
  FRights = kVdbNewTableRights;
  IsRelFile = FLevel >= 6 ? FFileName.find("!rel_") != std::string::npos
                          : EndsWithNoCase(FFileName, ".rel");
  RecalcColumnFlags();
  FNativeSortDef = std::make_unique<TVdbSortDef>("Table_Default");
  AllocRecBuffer();
  if (FHasMemo) {
    try {
      auto Memo = MakeMemoFile();
      Memo->NewFile();
      FMemo = std::move(Memo);
    } catch (const std::exception&) {
      Raise(kVdbErrCannotOpenMemoFile, CompanionFileName(".vdbm", ".mmo"));
    }
  }
  if (FHasBlob) {
    try {
      auto Blob = MakeBlobFile();
      Blob->NewFile();
      FBlob = std::move(Blob);
    } catch (const std::exception&) {
      Raise(kVdbErrCannotOpenBlobStorage, Name());
    }
  }
  FUnlockTime = VdbTickCount();
  FUnlockActive = true;
  CheckResult(Flush());
}

// A table whose creation failed leaves no files behind.
void TVdbBaseTable::DropCreatedFiles() {
  const bool Created = Active();
  const bool MemoCreated = FMemo != nullptr;
  const bool BlobCreated = FBlob != nullptr;
  CloseFiles();
  if (FFileSystem == nullptr) return;
  if (Created) FFileSystem->DeleteFile(FFileName);
  if (MemoCreated) FFileSystem->DeleteFile(CompanionFileName(".vdbm", ".mmo"));
  if (BlobCreated) FFileSystem->DeleteFile(CompanionFileName(".vdbb", ".blb"));
}

// --- Closing -------------------------------------------------------------------------------------

std::int16_t TVdbBaseTable::CloseFiles() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  std::int16_t Result = 0;
  try {
    // Pending changes are written while nobody else can look.
    if (Active() && !ReadOnly() && (!HasLockFile() || FLockFile->LockExclusive())) {
      Result = std::min<std::int16_t>(Result, Flush());
      if (HasLockFile()) FLockFile->UnlockExclusive();
    }
  } catch (const EVdbEngine& Error) {
    Result = Report(Error);
  }
  FUnlockActive = false;
  FLeftLogPending = false;
  try {
    if (HasLockFile()) {
      if (FLockFile->GetLockedRecord() != 0) FLockFile->UnlockRecord();
      if (FUnlockAction == tltWrite && Active() && !ReadOnly()) Flush();
      if (FUnlockAction != tltNone) FLockFile->UnlockTable(FUnlockAction, tltNone);
    }
  } catch (const EVdbEngine& Error) {
    Result = Report(Error);
  }
  FUnlockAction = tltNone;
  FReadLocks = FUpgradeLocks = FWriteLocks = FExclusiveLocks = FEditLocks = 0;
  FTransactionLock = tltNone;
  for (auto* File : {static_cast<TVdbBlockedBinaryFile*>(FMemo.get()),
                     static_cast<TVdbBlockedBinaryFile*>(FBlob.get())}) {
    try {
      if (File != nullptr) File->Close();
    } catch (const std::exception&) {  // the storage is given back regardless
    }
  }
  FMemo.reset();
  FBlob.reset();
  FImageChains.clear();
  for (std::int16_t I = 0; I <= FLastIndexNo; ++I) {
    if (Slot(I) != nullptr) RemoveIndexSlot(I, Slot(I)->File->Kind() == tikTemporary);
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
      Result = Report(Error);
    }
  }
  FLockFile.reset();
  FRedoLog.reset();
  return Result;
}

// --- Flushing and emptying -----------------------------------------------------------------------

std::int16_t TVdbBaseTable::Flush() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  if (!Active()) return 0;
  std::vector<TVdbClientStorage*> Storages{&FDataFile->Storage()};
  if (FBlob && FBlob->IsOpen()) Storages.push_back(&FBlob->Storage());
  if (FMemo && FMemo->IsOpen()) Storages.push_back(&FMemo->Storage());
  for (const TIndexSlot& Entry : FIndexFiles) {
    if (Entry.File && Entry.File->IsOpen()) Storages.push_back(&Entry.File->Storage());
  }
  const bool UpdateDir = (FRights & kVdbRightSecureFlush) != 0 ||
                         FFlushCounter >= TVdbDirUpdateCounter::kFlushesPerUpdate;
  bool Written = false;
  try {
    // The B+ data file and the indexes put their state into their pages before these go out.
    if (FDataFile->CanDelete()) CheckResult(FDataFile->Flush());
    for (const TIndexSlot& Entry : FIndexFiles) {
      if (Entry.File && Entry.File->IsOpen()) CheckResult(Entry.File->Flush());
    }
    Written = VdbFlushStorages(Storages, UpdateDir);
  } catch (const EVdbEngine&) {
    Written = false;
  }
  if (!Written) {
    // Remembered, so that the next writer hears of it.
    FWriteError = true;
    return Report(EVdbEngine(kVdbErrFileWrite, Name()));
  }
  if (UpdateDir) {
    FFlushCounter = 0;
  } else {
    ++FFlushCounter;
  }
  return 0;
}

std::int32_t TVdbBaseTable::ClearDat() {
  std::int32_t Count = 0;
  const std::int16_t Result = Run([&]() -> std::int32_t {
    TLockGuard Write(*this, tltWrite);
    Count = RecordCount();
    CheckResult(FDataFile->Clear());
    if (FRecordIdFieldNo != 0) CheckResult(FDataFile->WriteNextRecordId(1));
    if (FMemo) FMemo->Empty();
    if (FBlob) FBlob->Empty();
    FImageChains.clear();
    CheckResult(Flush());
    for (std::int16_t I = 0; I <= FLastIndexNo; ++I) {
      if (TIndexSlot* Entry = MaintainedIndex(I)) Entry->File->Clear_Index();
    }
    CheckResult(Flush());
    NotifyRelationEmptied();
    return 0;
  });
  return Result < 0 ? Result : Count;
}

// --- Indexes -------------------------------------------------------------------------------------

int TVdbBaseTable::MaxIndexSlots() const {
  return FLevel <= 3 ? kVdbMaxOldIndexSlots : kVdbMaxIndexSlots;
}

TVdbBaseTable::TIndexSlot* TVdbBaseTable::Slot(std::int16_t IndexNo) const {
  if (IndexNo < 0 || IndexNo >= static_cast<std::int16_t>(FIndexFiles.size())) return nullptr;
  auto& Entry = const_cast<TIndexSlot&>(FIndexFiles[static_cast<std::size_t>(IndexNo)]);
  return Entry.File ? &Entry : nullptr;
}

TVdbIndexFile* TVdbBaseTable::GetIndexFile(std::int16_t IndexNo) const {
  TIndexSlot* Entry = Slot(IndexNo);
  return Entry != nullptr ? Entry->File.get() : nullptr;
}

const TVdbSortDef* TVdbBaseTable::GetIndexDefinition(std::int16_t IndexNo) {
  TIndexSlot* Entry = Slot(IndexNo);
  return Entry != nullptr && !Entry->Lost ? Entry->Def.get() : nullptr;
}

std::int16_t TVdbBaseTable::InitIndex(const std::string& IndexName, const TVdbSortDef* IndexDef) {
  return Run([&]() -> std::int32_t {
    if (FIndexFiles.size() < static_cast<std::size_t>(MaxIndexSlots())) {
      FIndexFiles.resize(static_cast<std::size_t>(MaxIndexSlots()));
    }
    std::int16_t IndexNo = -1;
    for (std::int16_t I = 0; I < MaxIndexSlots() && IndexNo < 0; ++I) {
      if (!FIndexFiles[static_cast<std::size_t>(I)].File) IndexNo = I;
    }
    if (IndexNo < 0) Raise(kVdbErrTooManyIndexes, "");
    TIndexSlot& Entry = FIndexFiles[static_cast<std::size_t>(IndexNo)];
    const TVdbIndexKind Kind = GetIndexKind(IndexName);
    const std::string FileName = CalcIndexFileName(IndexName);
    auto Storage = std::make_unique<TVdbClientStorage>(TVdbPageManager::Instance(),
                                                       GetIndexFileSystem(Kind), 1);
    auto File = std::make_unique<TVdbIndexFile>(LastErrorRecord(), std::move(Storage), FLevel);
    File->SetName(IndexName);
    File->SetKind(Kind);
    File->SetFileName(FileName);
    File->SetReadOnly((ReadOnly() || (FRights & kVdbRightSharedReadOnly) != 0) &&
                      Kind != tikTemporary);
    File->SetExclusive(Exclusive());
    File->SetCompareFunction(
        [this, IndexNo](const std::uint8_t* X, const std::uint8_t* Y, bool& NotUnique) {
          return IndexLess(*FIndexFiles[static_cast<std::size_t>(IndexNo)].Def, X, Y, NotUnique);
        });
    TVdbLastError* Target = LastErrorRecord();
    File->SetOnError([Target](std::int16_t Code, const std::string& Argument) {
      if (Target != nullptr) Target->SetLastError(Code, Argument);
    });
    Entry.File = std::move(File);
    Entry.Def = IndexDef != nullptr ? IndexDef->Clone() : nullptr;
    if (Entry.Def) Entry.Def->SetName(IndexName);
    Entry.Lost = false;
    FLastIndexNo = std::max(FLastIndexNo, IndexNo);
    return IndexNo;
  });
}

// The sort definition an index header describes, with the key sizes the table derives for it:
// null when the header names columns the table does not have.
std::unique_ptr<TVdbSortDef> TVdbBaseTable::DefFromHeader(const TVdbIndexHeaderDef& Header) const {
  if (Header.Calculated) {
    auto Def =
        VdbSortDefFromHeader(Header, *FColumnDefs, FLevel,
                             FServices != nullptr ? FServices->ExpressionFactory() : nullptr);
    return Def->FCalculation && Def->FCalculation->IsCompiled() ? std::move(Def) : nullptr;
  }
  std::string Spec;
  for (const TVdbIndexLevel& Level : Header.Levels) {
    const int FieldNo = Level.Column & 0x7FFF;
    if (FieldNo < 1 || FieldNo > GetColumnCount()) return nullptr;
    if (!Spec.empty()) Spec += ",";
    if ((static_cast<std::uint16_t>(Level.Column) & 0x8000u) != 0) Spec += "-";
    Spec += "${" + GetColumnDef(static_cast<std::int16_t>(FieldNo)).Name + "}";
  }
  if (Spec.empty()) return nullptr;
  try {
    return TVdbRelation::CalcIndexDefinition(Spec, Header.Unique);
  } catch (const EVdbEngine&) {
    return nullptr;
  }
}

bool TVdbBaseTable::DefinitionFits(const TVdbSortDef& Def) const {
  if (Def.IsCalculated) return Def.FCalculation != nullptr;
  if (Def.LevelCount <= 0) return false;
  for (int I = 0; I < Def.LevelCount; ++I) {
    const TVdbSortLevel& Level = Def.Items[static_cast<std::size_t>(I)];
    if (Level.FieldNo < 1 || Level.FieldNo > GetColumnCount()) return false;
    if (Level.ColumnType !=
        static_cast<std::uint8_t>(GetColumnDef(Level.FieldNo).GetColumnType())) {
      return false;
    }
  }
  return true;
}

std::int16_t TVdbBaseTable::CheckIndexOpen(std::int16_t IndexNo) {
  return Run([&] {
    DoCheckIndexOpen(IndexNo);
    return 0;
  });
}

void TVdbBaseTable::DoCheckIndexOpen(std::int16_t IndexNo) {
  TIndexSlot* Entry = Slot(IndexNo);
  if (Entry == nullptr) Raise(kVdbErrNoSuitableIndex, IndexLabel(IndexNo));
  TVdbIndexFile& File = *Entry->File;
  if (File.IsOpen()) return;
  if (Entry->Lost) Raise(kVdbErrIndexCorrupt, File.Name());
  TLockGuard Read(*this, tltRead);
  const std::int16_t Opened = File.Open();
  if (Opened < 0) {
    // An automatic index is made again from the definition the table derives for it.
    if (File.IsAutomatic() && Entry->Def && !ReadOnly()) {
      RebuildIndex(IndexNo);
      return;
    }
    Entry->Lost = true;
    CheckResult(Opened);
  }
  std::unique_ptr<TVdbSortDef> Derived = DefFromHeader(File.IndexDef());
  bool Fits = Derived != nullptr;
  if (Fits && !File.IndexDef().Calculated) {
    TVdbIndexHeaderDef Expected = VdbIndexHeaderDef(*Derived, FLevel);
    const TVdbIndexHeaderDef& Stored = File.IndexDef();
    Expected.Name = Stored.Name;
    Expected.Unique = Stored.Unique;
    Expected.Vector = Stored.Vector;
    Fits = Expected == Stored;
  }
  if (Fits && Entry->Def && Entry->Def->LevelCount > 0) Fits = Entry->Def->Equals(*Derived);
  if (!Fits) {
    // The file stays closed and counts as lost from now on.
    File.Close();
    Entry->Def.reset();
    Entry->Lost = true;
    Raise(kVdbErrIndexDefinitionInconsistent, File.Name());
  }
  const bool Unique = Entry->Def ? Entry->Def->IsUnique : false;
  Derived->SetName(File.Name());
  Derived->IsUnique = Unique || File.IndexDef().Unique;
  Entry->Def = std::move(Derived);
}

// The index is created anew from the definition the table keeps for it.
void TVdbBaseTable::RebuildIndex(std::int16_t IndexNo) {
  TVdbIndexFile& File = *Slot(IndexNo)->File;
  if (File.IsOpen()) File.Close();
  BuildIndexFile(IndexNo, FCapacity, {});
}

void TVdbBaseTable::BuildIndexFile(std::int16_t IndexNo, std::int32_t Capacity,
                                   const TVdbIndexFile::TProgressFunc& Progress) {
  TIndexSlot& Entry = *Slot(IndexNo);
  TVdbIndexFile& File = *Entry.File;
  CheckResult(File.SetIndexDefinition(VdbIndexHeaderDef(*Entry.Def, FLevel)));
  CheckResult(File.NewStorage(
      FLevel, File.CalcPageSizeForCapacity(Capacity > 0 ? Capacity : std::max(FCapacity, 1))));
  std::vector<std::uint8_t> Record(static_cast<std::size_t>(RecordSize()));
  std::int32_t RecNo = 0;
  bool Started = false;
  const std::int16_t Result =
      File.BulkInsert(RecordCount(), Progress, [&](std::uint8_t* Item, std::int32_t& ItemSize) {
        RecNo = Started ? FDataFile->GetNextRecordNo(RecNo) : FDataFile->GetFirstRecordNo();
        Started = true;
        if (RecNo <= 0) return false;
        CheckResult(FDataFile->ReadRecord(RecNo, Record.data()));
        ItemSize = 4 + KeyOf(IndexNo, Record.data(), Item, RecNo);
        return true;
      });
  CheckResult(Result);
  Entry.Lost = false;
}

std::int32_t TVdbBaseTable::KeyOf(std::int16_t IndexNo, const std::uint8_t* Record,
                                  std::uint8_t* Item, std::int32_t RecNo) const {
  const TVdbSortDef& Def = *Slot(IndexNo)->Def;
  return vdb::CalcIndexInfo(*FColumnDefs, FLevel, Record, Def, Item,
                            static_cast<std::size_t>(Def.KeySize()), RecNo);
}

std::vector<std::string> TVdbBaseTable::IndexNameList() const {
  std::vector<std::string> Names;
  for (std::int16_t I = 0; I <= FLastIndexNo; ++I) {
    const TIndexSlot* Entry = Slot(I);
    if (Entry == nullptr) continue;
    // Temporary indexes belong to the session that made them and are not listed.
    if (Entry->File->Kind() == tikUser) Names.push_back(Entry->File->Name());
  }
  return Names;
}

std::int16_t TVdbBaseTable::FlushIndexNames(bool) {
  return Run([&]() -> std::int32_t {
    if (ReadOnly() || !Active()) return 0;
    FDataFile->IndexNames() = IndexNameList();
    CheckResult(FDataFile->WriteIndexNames());
    if (HasLockFile()) {
      FLockFile->WriteIndexCount(static_cast<std::int32_t>(FDataFile->IndexNames().size()));
    }
    NotifyIndexNamesChanged();
    return 0;
  });
}

void TVdbBaseTable::IndexAdded(std::int16_t) { CheckResult(FlushIndexNames(true)); }

std::int16_t TVdbBaseTable::NewIndex(const std::string& IndexName, const TVdbSortDef& IndexDef,
                                     const TVdbIndexFile::TProgressFunc& ProgFun,
                                     std::int32_t Capacity) {
  std::int16_t IndexNo = -1;
  const std::int16_t Result = Run([&] {
    DoNewIndex(IndexName, IndexDef, ProgFun, Capacity, IndexNo);
    return 0;
  });
  return Result < 0 ? Result : IndexNo;
}

void TVdbBaseTable::DoNewIndex(const std::string& IndexName, const TVdbSortDef& IndexDef,
                               const TVdbIndexFile::TProgressFunc& Progress, std::int32_t Capacity,
                               std::int16_t& IndexNo) {
  if (!Active()) Raise(kVdbErrFileNotFoundOrDenied, FFileName);
  const TVdbIndexKind Kind = GetIndexKind(IndexName);
  if (Kind != tikTemporary && (FRights & kVdbRightIndex) == 0) Raise(kVdbErrNoIndexRight, "");
  if (IndexCount() >= MaxIndexSlots()) Raise(kVdbErrTooManyIndexes, "");
  if (!DefinitionFits(IndexDef)) Raise(kVdbErrIndexDefinitionInconsistent, IndexName);
  if (GetIndexNo(IndexName) >= 0 || FindFtIndexNo(IndexName) >= 0) Raise(kVdbErrIndexAlreadyOpen, IndexName);
  const std::string FileName = CalcIndexFileName(IndexName);
  if (GetIndexFileSystem(Kind)->FileExists(FileName)) Raise(kVdbErrIndexFileExists, FileName);
  TLockGuard Upgrade(*this, tltUpgrade);
  TLockGuard Write(*this, tltWrite);
  IndexNo = InitIndex(IndexName, &IndexDef);
  CheckResult(IndexNo);
  try {
    BuildIndexFile(IndexNo, Capacity, Progress);
  } catch (...) {
    RemoveIndexSlot(IndexNo, true);
    throw;
  }
  IndexAdded(IndexNo);
}

std::int16_t TVdbBaseTable::RemoveInd(std::int16_t IndexNo) {
  return Run([&]() -> std::int32_t {
    if (Slot(IndexNo) == nullptr) Raise(kVdbErrNoSuitableIndex, IndexLabel(IndexNo));
    TLockGuard Upgrade(*this, tltUpgrade);
    TLockGuard Write(*this, tltWrite);
    RemoveIndexSlot(IndexNo, false);
    CheckResult(FlushIndexNames(true));
    return 0;
  });
}

void TVdbBaseTable::RemoveIndexSlot(std::int16_t IndexNo, bool DeleteFile) {
  TIndexSlot* Entry = Slot(IndexNo);
  if (Entry == nullptr) return;
  const std::string FileName = Entry->File->FileName();
  TkxFileSystem* Files = GetIndexFileSystem(Entry->File->Kind());
  if (Entry->File->IsOpen()) Entry->File->Close();
  Entry->File.reset();
  Entry->Def.reset();
  Entry->Lost = false;
  if (DeleteFile && Files->FileExists(FileName)) Files->DeleteFile(FileName);
  while (FLastIndexNo >= 0 && Slot(FLastIndexNo) == nullptr) --FLastIndexNo;
}

// --- Setting up ----------------------------------------------------------------------------------

std::int16_t TVdbBaseTable::Setup(bool Force) {
  TVdbRelation::Setup(Force);
  return Run([&] {
    for (TIndexSlot& Entry : FIndexFiles) {
      if (Entry.File && Entry.File->IsOpen()) Entry.File->Close();
    }
    FIndexFiles.clear();
    FLastIndexNo = -1;
    FInrIndexNo = FIdIndexNo = FPrimIndexNo = kVdbNoIndex;
    for (int I = 0; I < FKeyDefs.Count(); ++I) {
      if (auto* Key = FKeyDefs.Get<TVdbCandidateKeyDef>(I)) {
        Key->IndexDef = TVdbRelation::CalcIndexDefinition(Key->GetKeySpec(), true);
      }
    }
    for (const std::string& IndexName : FDataFile->IndexNames()) {
      if (!IsFullTextIndexName(IndexName)) CheckResult(InitIndex(IndexName, nullptr));
    }
    // A faulty index is reported here once; the table stays usable without it.
    for (std::int16_t I = 0; I <= FLastIndexNo; ++I) {
      if (Slot(I) != nullptr) CheckIndexOpen(I);
    }
    InitSystemIndexes(Force);
    if (!Force) ResolveForeignKeys();
    if (FLeftLogPending) {
      FLeftLogPending = false;
      UndoLeftLog();
    }
    return 0;
  });
}

std::int16_t TVdbBaseTable::SystemIndex(const std::string& Name, const std::string& Spec,
                                        bool Unique, bool Primary) {
  std::unique_ptr<TVdbSortDef> Def = TVdbRelation::CalcIndexDefinition(Spec, Unique);
  Def->SetName(Name);
  std::int16_t IndexNo = GetIndexNo(Name);
  if (IndexNo < 0) {
    bool Reverse = false;
    IndexNo = FindIndex(*Def, tifoNoOpen | tifoNoReverse | tifoExact, Reverse);
  }
  if (IndexNo < 0) {
    IndexNo = InitIndex(Name, Def.get());
    CheckResult(IndexNo);
  }
  TIndexSlot& Entry = *Slot(IndexNo);
  if (Primary) Entry.File->SetPrimary(true);
  if (!Entry.Def) Entry.Def = Def->Clone();
  if (Unique) Entry.Def->IsUnique = true;
  if (!Entry.File->IsOpen()) {
    // Automatic indexes that cannot be opened are rebuilt.
    if (GetIndexFileSystem(Entry.File->Kind())->FileExists(Entry.File->FileName())) {
      CheckIndexOpen(IndexNo);
    }
    if (!Entry.File->IsOpen()) {
      if (ReadOnly()) Raise(kVdbErrIndexCorrupt, Name);
      Entry.Def = Def->Clone();
      Entry.Lost = false;
      TLockGuard Upgrade(*this, tltUpgrade);
      TLockGuard Write(*this, tltWrite);
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
    if (Key->FIsPrimary) FPrimIndexNo = static_cast<std::uint8_t>(IndexNo);
  }
  if (FRecordIdFieldNo != 0) {
    const TVdbColumnDef& Column = GetColumnDef(FRecordIdFieldNo);
    FInrIndexNo =
        static_cast<std::uint8_t>(SystemIndex("sys_Inr", "${" + Column.Name + "}", true, false));
    const auto* IdColumn = dynamic_cast<const TVdbRecordIdColumnDef*>(&Column);
    if (IdColumn != nullptr && !IdColumn->IndexSpec.empty()) {
      try {
        FIdIndexNo = static_cast<std::uint8_t>(
            SystemIndex("sys_Id", IdColumn->IndexSpec, Column.IsOptionSet(kVdbColUniqueId), false));
      } catch (const EVdbEngine&) {
        if (!Force) throw;
        FIdIndexNo = FInrIndexNo;
      }
    } else {
      FIdIndexNo = FPrimIndexNo != kVdbNoIndex ? FPrimIndexNo : FInrIndexNo;
    }
  }
  int LinkNo = 0;
  for (std::int16_t I = 1; I <= GetColumnCount() && LinkNo < 9; ++I) {
    const TVdbColumnDef& Column = GetColumnDef(I);
    if (Column.GetColumnType() != kVdbLinkCode || Column.IsOptionSet(kVdbColUniqueId)) continue;
    ++LinkNo;
    SystemIndex("sys_In" + std::to_string(LinkNo), "${" + Column.Name + "}", false, false);
  }
  for (int I = 0; I < FForeignKeyDefs.Count(); ++I) {
    auto* Key = FForeignKeyDefs.Get<TVdbForeignKeyDef>(I);
    if (Key == nullptr || Key->FColumnNames.empty()) continue;
    const std::string Spec = ColumnListSpec(Key->FColumnNames);
    bool Reverse = false;
    std::int16_t IndexNo = TVdbRelation::FindIndex(Spec, tifoNoReverse, Reverse);
    if (IndexNo < 0) IndexNo = SystemIndex("sys_FK" + Key->Name(), Spec, false, false);
    Key->FChildIndexNo = IndexNo;
  }
}

// "${A},${B}": the index specification over a column list.
std::string TVdbBaseTable::ColumnListSpec(const std::vector<std::string>& Columns) {
  std::string Spec;
  for (const std::string& Column : Columns) Spec += (Spec.empty() ? "${" : ",${") + Column + "}";
  return Spec;
}

// Each foreign key gets its index here, its parent table (opened when it is not open yet) and
// the parent's index over the referenced columns (the parent's primary key when the key names
// none): what the check of every written record searches.
void TVdbBaseTable::ResolveForeignKeys() {
  for (int I = 0; I < FForeignKeyDefs.Count(); ++I) {
    auto* Key = FForeignKeyDefs.Get<TVdbForeignKeyDef>(I);
    if (Key == nullptr) continue;
    const std::string Columns = JoinNames(Key->FColumnNames, ',');
    bool Reverse = false;
    std::int16_t Child = -1;
    if (!Key->FColumnNames.empty()) {
      const std::string Spec = ColumnListSpec(Key->FColumnNames);
      Child = TVdbRelation::FindIndex(Spec, tifoNoReverse, Reverse);
      if (Child < 0) Child = SystemIndex("IR_" + Key->Name(), Spec, false, false);
    }
    if (Child < 0) Raise(kVdbErrNoSuitableIndex, Columns);
    Key->FChildIndexNo = Child;

    TVdbRelation* Parent = FOnOpenParentTable ? FOnOpenParentTable(Key->FParentTableName) : nullptr;
    if (Parent == nullptr) Raise(kVdbErrParentTableNotFound, Key->FParentTableName);
    Key->FParentRltnIdx = Parent->RltnIdx();
    std::int16_t ParentIndex = -1;
    if (Key->FParentColumnNames.empty()) {
      if (Parent->PrimIndexNo() != kVdbNoIndex) ParentIndex = Parent->PrimIndexNo();
    } else if (Key->FParentColumnNames.size() == Key->FColumnNames.size()) {
      ParentIndex = Parent->FindIndex(ColumnListSpec(Key->FParentColumnNames),
                                      tifoNoReverse | tifoExact, Reverse);
    }
    if (ParentIndex < 0) {
      Raise(kVdbErrNoSuitableIndex,
            Parent->Name() + "." + JoinNames(Key->FParentColumnNames, ','));
    }
    Key->FParentIndexNo = ParentIndex;
  }
}

// --- Index order ---------------------------------------------------------------------------------

// Index stepping under a read lock, the index opened (and its definition checked) first.
template <class F>
std::int16_t TVdbBaseTable::IndexRead(std::int16_t IndexNo, F&& Step) {
  std::optional<TLockGuard> Read;
  const std::int16_t Opened = Run([&] {
    Read.emplace(*this, tltRead);
    DoCheckIndexOpen(IndexNo);
    return 0;
  });
  return Opened < 0 ? Opened : Step();
}

std::int16_t TVdbBaseTable::FindFirstIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) {
  return IndexRead(IndexNo, [&] { return TVdbRelation::FindFirstIndexInfo(IndexNo, Value); });
}

std::int16_t TVdbBaseTable::FindLastIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) {
  return IndexRead(IndexNo, [&] { return TVdbRelation::FindLastIndexInfo(IndexNo, Value); });
}

std::int16_t TVdbBaseTable::FindNextIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) {
  return IndexRead(IndexNo, [&] { return TVdbRelation::FindNextIndexInfo(IndexNo, Value); });
}

std::int16_t TVdbBaseTable::FindPrevIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) {
  return IndexRead(IndexNo, [&] { return TVdbRelation::FindPrevIndexInfo(IndexNo, Value); });
}

std::int16_t TVdbBaseTable::FindSortInfo(std::int16_t AccessId, const TVdbLongIndexInfo& SearchInfo,
                                         TVdbLongIndexInfo& FoundInfo) {
  if (AccessId < 0 || AccessId >= kVdbFirstSpecialAccessId) {
    return TVdbRelation::FindSortInfo(AccessId, SearchInfo, FoundInfo);
  }
  return IndexRead(AccessId,
                   [&] { return TVdbRelation::FindSortInfo(AccessId, SearchInfo, FoundInfo); });
}

// --- Reading -------------------------------------------------------------------------------------

std::int16_t TVdbBaseTable::ReadRecord(std::int32_t RecNo, std::uint8_t* RecBuffer) {
  return Run([&]() -> std::int32_t {
    if (!Active()) Raise(kVdbErrFileNotFoundOrDenied, FFileName);
    TLockGuard Read(*this, tltRead);
    CheckResult(FDataFile->ReadRecord(RecNo, RecBuffer));
    return 0;
  });
}

std::int32_t TVdbBaseTable::GetFirstRecordNo() {
  return Active() ? FDataFile->GetFirstRecordNo() : 0;
}

std::int32_t TVdbBaseTable::GetNextRecordNo(std::int32_t RecNo) {
  return Active() ? FDataFile->GetNextRecordNo(RecNo) : 0;
}

std::int32_t TVdbBaseTable::GetPrevRecordNo(std::int32_t RecNo) {
  return Active() ? FDataFile->GetPrevRecordNo(RecNo) : 0;
}

std::int32_t TVdbBaseTable::GetLastRecordNo() {
  return Active() ? FDataFile->GetLastRecordNo() : 0;
}

// Every nullable field reads NULL, every other 0; dates that cannot be NULL start at day 545.
std::int16_t TVdbBaseTable::InitRecord(std::uint8_t* RecBuffer, bool Preset) {
  std::fill(RecBuffer, RecBuffer + RecordSize(), 0);
  for (std::int16_t I = 1; I <= GetColumnCount(); ++I) {
    const TVdbColumnDef& Column = GetColumnDef(I);
    const std::int16_t Type = Column.GetColumnType();
    if (Column.GetNullable() || (Type != kVdbDateCode && Type != kVdbTimeStampCode)) continue;
    const std::int32_t Offset = Column.Position + (Column.GetHasNullByte() && FLevel >= 6 ? 1 : 0);
    TkxMemory::WriteInt32(RecBuffer, Offset, 545);
  }
  if (Preset && FRecordIdFieldNo != 0) return SetAutoNum(RecBuffer);
  return 0;
}

// --- Memo and blob values ------------------------------------------------------------------------

bool TVdbBaseTable::IsBlobColumn(std::int16_t FieldNo) const {
  if (FieldNo < 1 || FieldNo > GetColumnCount()) return false;
  const std::int16_t Type = GetColumnDef(FieldNo).GetColumnType();
  return Type == kVdbMemoCode || Type == kVdbBlobCode || Type == kVdbWideMemoCode;
}

// The memo file for memo columns, the blob file for blob and wide-memo columns.
TVdbBlockedBinaryFile* TVdbBaseTable::BlobFileOf(std::int16_t FieldNo) {
  if (!IsBlobColumn(FieldNo)) {
    Raise(kVdbErrTypeMismatch, FieldNo >= 1 && FieldNo <= GetColumnCount()
                                ? GetColumnDef(FieldNo).DataType->SqlName()
                                : std::to_string(FieldNo));
  }
  if (GetColumnDef(FieldNo).GetColumnType() == kVdbMemoCode) {
    if (!FMemo) Raise(kVdbErrCannotOpenMemoFile, CompanionFileName(".vdbm", ".mmo"));
    return FMemo.get();
  }
  if (!FBlob) Raise(kVdbErrCannotOpenBlobStorage, Name());
  return FBlob.get();
}

std::int32_t TVdbBaseTable::GetMemoLength(const std::uint8_t* RecBuffer, std::int16_t FieldNo) {
  std::int32_t Length = 0;
  const std::int16_t Result = Run([&]() -> std::int32_t {
    auto* Memo = dynamic_cast<TVdbMemoFile*>(BlobFileOf(FieldNo));
    if (Memo == nullptr) Raise(kVdbErrTypeMismatch, GetColumnDef(FieldNo).DataType->SqlName());
    TLockGuard Read(*this, tltRead);
    Length = Memo->CalcMemoLength(GetBlockIdx(RecBuffer, FieldNo));
    CheckResult(Length);
    return 0;
  });
  return Result < 0 ? Result : Length;
}

std::int32_t TVdbBaseTable::GetBlobLength(const std::uint8_t* RecBuffer, std::int16_t FieldNo) {
  std::int32_t Length = 0;
  const std::int16_t Result = Run([&]() -> std::int32_t {
    TVdbBlockedBinaryFile* File = BlobFileOf(FieldNo);
    TLockGuard Read(*this, tltRead);
    if (auto* Blob = dynamic_cast<TVdbBlobFile*>(File)) {
      Length = Blob->CalcBlobLength(GetBlockIdx(RecBuffer, FieldNo));
    } else {
      Length = static_cast<TVdbMemoFile*>(File)->CalcMemoLength(GetBlockIdx(RecBuffer, FieldNo));
    }
    CheckResult(Length);
    return 0;
  });
  return Result < 0 ? Result : Length;
}

std::int16_t TVdbBaseTable::GetBlobType(const std::uint8_t* RecBuffer, std::int16_t FieldNo) {
  return Run([&]() -> std::int32_t {
    auto* Blob = dynamic_cast<TVdbBlobFile*>(BlobFileOf(FieldNo));
    if (Blob == nullptr) return 0;
    TLockGuard Read(*this, tltRead);
    const std::int32_t Type = Blob->ReadBlobType(GetBlockIdx(RecBuffer, FieldNo));
    CheckResult(Type);
    return Type;
  });
}

std::int16_t TVdbBaseTable::ReadMemoString(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                           std::string& Value) {
  return Run([&]() -> std::int32_t {
    TVdbBlockedBinaryFile* File = BlobFileOf(FieldNo);
    TLockGuard Read(*this, tltRead);
    if (auto* Memo = dynamic_cast<TVdbMemoFile*>(File)) {
      CheckResult(Memo->ReadMemo(GetBlockIdx(RecBuffer, FieldNo), Value, false, -1));
    } else {
      CheckResult(File->ReadString(GetBlockIdx(RecBuffer, FieldNo), Value));
    }
    return 0;
  });
}

std::int16_t TVdbBaseTable::ReadBlobData(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                         std::string& Data, std::int16_t& BlobType) {
  BlobType = 0;
  return Run([&]() -> std::int32_t {
    TVdbBlockedBinaryFile* File = BlobFileOf(FieldNo);
    TLockGuard Read(*this, tltRead);
    CheckResult(File->ReadString(GetBlockIdx(RecBuffer, FieldNo), Data));
    if (Data.size() >= 2 && dynamic_cast<TVdbBlobFile*>(File) != nullptr) {
      BlobType = static_cast<std::int16_t>(static_cast<std::uint8_t>(Data[0]) |
                                           (static_cast<std::uint8_t>(Data[1]) << 8));
    }
    return 0;
  });
}

std::int16_t TVdbBaseTable::ReadBlobDataWide(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                             std::u16string& Value) {
  std::string Data;
  std::int16_t BlobType = 0;
  const std::int16_t Result = ReadBlobData(RecBuffer, FieldNo, Data, BlobType);
  if (Result < 0) return Result;
  Value.assign(Data.size() / 2, u'\0');
  std::memcpy(Value.data(), Data.data(), Value.size() * 2);
  return 0;
}

// The value gets a chain of its own: the stored record keeps its old value until the image is
// written as the record, which then lets the old chain go.
std::int16_t TVdbBaseTable::WriteMemoString(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                            const std::string& Value) {
  return Run([&]() -> std::int32_t {
    TVdbBlockedBinaryFile* File = BlobFileOf(FieldNo);
    TLockGuard Write(*this, tltWrite);
    const std::int32_t First = File->WriteString(0, Value);
    CheckResult(First);
    // An earlier value of this image that no record took is superseded.
    const TChain Previous{File, GetBlockIdx(RecBuffer, FieldNo)};
    if (FImageChains.erase(Previous) != 0) File->DeleteValue(Previous.second);
    SetBlockIdx(RecBuffer, FieldNo, First);
    if (First != 0) FImageChains.insert({File, First});
    return 0;
  });
}

std::int16_t TVdbBaseTable::WriteBlobData(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                          const std::string& Data, std::int16_t) {
  return WriteMemoString(RecBuffer, FieldNo, Data);
}

std::int16_t TVdbBaseTable::WriteBlobDataWide(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                              const std::u16string& Value) {
  std::string Bytes(Value.size() * 2, '\0');
  std::memcpy(Bytes.data(), Value.data(), Bytes.size());
  return WriteMemoString(RecBuffer, FieldNo, Bytes);
}

TVdbBaseTable::TBlobValues TVdbBaseTable::BlobValues(const TVdbBlobDataList* Blobs) {
  TBlobValues Values;
  if (Blobs == nullptr) return Values;
  for (const TVdbBlobData& Blob : *Blobs) {
    if (Blob.FieldNo == 0) continue;
    std::string Stored = Blob.AnsiData;
    if (!Blob.WideData.empty()) {
      Stored.assign(Blob.WideData.size() * 2, '\0');
      std::memcpy(Stored.data(), Blob.WideData.data(), Stored.size());
    }
    Values.emplace_back(Blob.FieldNo, std::move(Stored));
  }
  return Values;
}

// Each value given goes into a new chain whose first block number is set in Buffer; the other
// fields keep the chain the stored record names (see KeepChain). Nothing is freed here: the
// chains Stored lets go are listed and freed by CommitChains once the record is written, so a
// write that fails leaves the old values whole.
void TVdbBaseTable::WriteBlobs(std::uint8_t* Buffer, const TBlobValues& Blobs,
                               const std::uint8_t* Stored, TChainChanges& Changes) {
  std::map<std::int16_t, const std::string*> Given;  // the last value of a field counts
  for (const auto& [FieldNo, Value] : Blobs) {
    if (!IsBlobColumn(FieldNo)) BlobFileOf(FieldNo);  // the type error
    Given[FieldNo] = &Value;
  }
  for (std::int16_t I = 1; I <= GetColumnCount(); ++I) {
    if (!IsBlobColumn(I)) continue;
    const std::int32_t Old = Stored != nullptr ? GetBlockIdx(Stored, I) : 0;
    const std::int32_t Named = GetBlockIdx(Buffer, I);
    const auto Value = Given.find(I);
    if (Value == Given.end()) {
      KeepChain(Buffer, I, Stored, Changes);
    } else {
      TVdbBlockedBinaryFile* File = BlobFileOf(I);
      const std::int32_t First = File->WriteString(0, *Value->second);
      CheckResult(First);
      if (First != 0) Changes.Written.push_back({File, First});
      SetBlockIdx(Buffer, I, First);
      // A value written into the image beforehand is superseded.
      if (Named != Old && FImageChains.count({File, Named}) != 0)
        Changes.Released.push_back({File, Named});
    }
    if (Old != 0 && GetBlockIdx(Buffer, I) != Old) Changes.Released.push_back({BlobFileOf(I), Old});
  }
}

// A field without a new value: the image may clear it or name a value written into it
// beforehand (WriteMemoString); a chain it names otherwise is not its own (the image is stale or
// copied from another record), so a stored record keeps its chain and a new record gets a copy.
// Undoing knows which chains it moves and is taken as it stands.
void TVdbBaseTable::KeepChain(std::uint8_t* Buffer, std::int16_t FieldNo,
                              const std::uint8_t* Stored, TChainChanges& Changes) {
  const std::int32_t Old = Stored != nullptr ? GetBlockIdx(Stored, FieldNo) : 0;
  const std::int32_t Named = GetBlockIdx(Buffer, FieldNo);
  if (Named == Old || Named == 0 || FRollingBack) return;
  TVdbBlockedBinaryFile* File = BlobFileOf(FieldNo);
  if (FImageChains.count({File, Named}) != 0) {
    Changes.Adopted.push_back({File, Named});
  } else if (Stored != nullptr) {
    SetBlockIdx(Buffer, FieldNo, Old);
  } else {
    const std::int32_t First = File->CopyFrom(*File, Named);
    CheckResult(First);
    if (First != 0) Changes.Written.push_back({File, First});
    SetBlockIdx(Buffer, FieldNo, First);
  }
}

// The record write failed: the chains it wrote go again. The first error stays the one reported.
void TVdbBaseTable::DropWrittenChains(const TChainChanges& Changes) {
  for (const auto& [File, First] : Changes.Written) File->DeleteValue(First);
}

// The record is written: the chains it no longer names are freed. A chain that cannot be freed
// stays behind unnamed; the record write itself has happened and is not reported as failed.
void TVdbBaseTable::CommitChains(const TChainChanges& Changes) {
  for (const TChain& Chain : Changes.Released) {
    Chain.first->DeleteValue(Chain.second);
    FImageChains.erase(Chain);
  }
  for (const TChain& Chain : Changes.Adopted) FImageChains.erase(Chain);
}

TVdbRedoBlobs TVdbBaseTable::CollectBlobs(const std::uint8_t* Buffer) {
  TVdbRedoBlobs Blobs;
  for (std::int16_t I = 1; I <= GetColumnCount(); ++I) {
    if (!IsBlobColumn(I)) continue;
    TVdbRedoBlob Blob;
    const std::int32_t First = GetBlockIdx(Buffer, I);
    if (First != 0) CheckResult(BlobFileOf(I)->ReadString(First, Blob.Data));
    if (GetColumnDef(I).GetColumnType() == kVdbWideMemoCode && !Blob.Data.empty()) {
      Blob.Kind = takWideMemo;
      Blob.WideData.assign(Blob.Data.size() / 2, u'\0');
      std::memcpy(Blob.WideData.data(), Blob.Data.data(), Blob.WideData.size() * 2);
      Blob.Data.clear();
    }
    Blobs[I] = std::move(Blob);
  }
  return Blobs;
}

// The chains of a record that is gone.
void TVdbBaseTable::FreeBlobs(const std::uint8_t* Buffer) {
  TChainChanges Changes;
  for (std::int16_t I = 1; I <= GetColumnCount(); ++I) {
    if (!IsBlobColumn(I) || GetBlockIdx(Buffer, I) == 0) continue;
    Changes.Released.push_back({BlobFileOf(I), GetBlockIdx(Buffer, I)});
  }
  CommitChains(Changes);
}

// --- Writing -------------------------------------------------------------------------------------

bool TVdbBaseTable::LogsActions() const {
  return !FRollingBack && Isolation() != tilNone && FRedoLog != nullptr;
}

bool TVdbBaseTable::KeepsBlobsForUndo() const { return !FRollingBack && Isolation() != tilNone; }

// Every unique index must not yet hold the record's key under another record number.
void TVdbBaseTable::UniqueCheck(const std::uint8_t* Buffer, std::int32_t RecNo) {
  for (std::int16_t I = 0; I <= FLastIndexNo; ++I) {
    TIndexSlot* Entry = Slot(I);
    if (Entry == nullptr) continue;
    if (!Entry->File->MustBeUnique() && !(Entry->Def && Entry->Def->IsUnique)) continue;
    DoCheckIndexOpen(I);
    const TVdbSortDef& Def = *Entry->Def;
    std::vector<std::uint8_t> Key(static_cast<std::size_t>(Def.KeySize()));
    KeyOf(I, Buffer, Key.data(), 0);
    std::vector<std::uint8_t> Found = Key;
    // The trees answer "not in the tree" (-1) where they find nothing at all.
    const auto Step = [&](std::int16_t Result) {
      if (Result < TVdbTreeBase::kNotInTree) CheckResult(Result);
      return Result == TVdbTreeBase::kFound;
    };
    for (bool More = Step(Entry->File->Suche_Index(Found.data()));
         More && FindSortKeyDiff(Def, Key.data(), Found.data()) == Def.LevelCount;
         More = Step(Entry->File->Naechster_Index(Found.data()))) {
      if (TkxMemory::ReadInt32(Found.data(), 0) != RecNo) {
        Raise(kVdbErrNotUnique, CalcIndexSpecification(Def));
      }
    }
  }
}

void TVdbBaseTable::CheckConstraints(const std::uint8_t* Buffer) {
  TVdbExpressionFactory* Factory = FServices != nullptr ? FServices->ExpressionFactory() : nullptr;
  for (int I = 0; I < FChecks.Count(); ++I) {
    auto* Check = FChecks.Get<TVdbCheckDef>(I);
    if (Check == nullptr || !Check->FCondition) continue;
    if (!Check->FCondition->IsCompiled()) {
      // Without an expression compiler nothing can evaluate the condition.
      if (Factory == nullptr) continue;
      Check->FCondition->Compile(*Factory, *FColumnDefs, FLevel);
    }
    if (Check->FCondition->Compiled()->Evaluate(Buffer) == 0) {
      Raise(kVdbErrConstraintViolated, Check->FCondition->Source().Source());
    }
  }
}

void TVdbBaseTable::CheckReferences(const std::uint8_t* Buffer) {
  if (!FOnCheckReferentialIntegrity) return;
  for (std::int32_t I = 0; I < FForeignKeyDefs.Count(); ++I) {
    CheckResult(FOnCheckReferentialIntegrity(*this, I, Buffer));
  }
}

// The index slot a record write keeps current, opened first when this session has not used it
// yet (another session may have made it): null for an empty slot and for a lost index, which
// answers 95 to every use until it is made again.
TVdbBaseTable::TIndexSlot* TVdbBaseTable::MaintainedIndex(std::int16_t IndexNo) {
  TIndexSlot* Entry = Slot(IndexNo);
  if (Entry == nullptr || Entry->Lost) return nullptr;
  if (!Entry->File->IsOpen() || !Entry->Def) {
    try {
      DoCheckIndexOpen(IndexNo);
    } catch (const EVdbEngine&) {
      if (Entry->Lost) return nullptr;
      throw;
    }
  }
  return Entry->Def ? Entry : nullptr;
}

// Adds the record's key to every index; when one refuses, the others give theirs back.
void TVdbBaseTable::AddKeys(const std::uint8_t* Buffer, std::int32_t RecNo) {
  std::vector<std::int16_t> Done;
  try {
    for (std::int16_t I = 0; I <= FLastIndexNo; ++I) {
      TIndexSlot* Entry = MaintainedIndex(I);
      if (Entry == nullptr) continue;
      std::vector<std::uint8_t> Item(static_cast<std::size_t>(Entry->Def->KeySize()));
      const std::int32_t Size = 4 + KeyOf(I, Buffer, Item.data(), RecNo);
      if (Entry->File->Add_Index(Item.data(), Size) < 0)
        Raise(kVdbErrIndexInsert, Entry->File->Name());
      Done.push_back(I);
    }
  } catch (...) {
    for (std::int16_t I : Done) {
      std::vector<std::uint8_t> Item(static_cast<std::size_t>(Slot(I)->Def->KeySize()));
      KeyOf(I, Buffer, Item.data(), RecNo);
      Slot(I)->File->Loesche_Index(Item.data());
    }
    throw;
  }
}

void TVdbBaseTable::RemoveKeys(const std::uint8_t* Buffer, std::int32_t RecNo) {
  for (std::int16_t I = 0; I <= FLastIndexNo; ++I) {
    TIndexSlot* Entry = MaintainedIndex(I);
    if (Entry == nullptr) continue;
    std::vector<std::uint8_t> Item(static_cast<std::size_t>(Entry->Def->KeySize()));
    KeyOf(I, Buffer, Item.data(), RecNo);
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

std::int32_t TVdbBaseTable::AppendRecord(std::uint8_t* RecBuffer, const TVdbBlobDataList* Blobs) {
  std::int32_t RecNo = 0;
  const std::int16_t Result = Run([&]() -> std::int32_t {
    if (!Active()) Raise(kVdbErrFileNotFoundOrDenied, FFileName);
    RecNo = DoAppend(RecBuffer, BlobValues(Blobs));
    return 0;
  });
  return Result < 0 ? Result : RecNo;
}

std::int32_t TVdbBaseTable::DoAppend(std::uint8_t* Buffer, const TBlobValues& Blobs) {
  // A lock that cannot be had keeps the error it recorded: the result is the internal signal.
  std::optional<TLockGuard> Upgrade;
  try {
    Upgrade.emplace(*this, tltUpgrade);
  } catch (const EVdbEngine&) {
    throw EVdbEngine::CreateMsg(kVdbErrInternalSignal, "");
  }
  if (!FDataFile->CanAppend() || (FCapacity > 0 && RecordCount() >= FCapacity)) {
    Raise(kVdbErrCapacityReached, FullName());
  }
  const bool Heap = !FDataFile->CanDelete();
  const std::int32_t NewRecNo =
      !Heap && FRecordIdFieldNo != 0 ? GetRecordId(Buffer) : RecordCount() + 1;
  if (!FRollingBack) {
    UniqueCheck(Buffer, NewRecNo);
    CheckConstraints(Buffer);
    CheckReferences(Buffer);
  }
  std::optional<TLockGuard> Write;
  TChainChanges Chains;
  try {
    Write.emplace(*this, tltWrite);
    WriteBlobs(Buffer, Blobs, nullptr, Chains);
  } catch (const EVdbEngine& Error) {
    if (Write) Report(Error);
    DropWrittenChains(Chains);
    throw EVdbEngine::CreateMsg(kVdbErrInternalSignal, "");
  }
  std::int32_t RecNo = 0;
  try {
    AddKeys(Buffer, NewRecNo);
    RecNo = FDataFile->InsertRecord(Buffer);
    if (RecNo < 0) {
      const std::string Message =
          LastErrorRecord() != nullptr ? LastErrorRecord()->LastErrorMsg() : std::string();
      RemoveKeys(Buffer, NewRecNo);
      throw EVdbEngine::CreateMsg(static_cast<std::int16_t>(-RecNo), Message);
    }
  } catch (...) {
    DropWrittenChains(Chains);
    throw;
  }
  CommitChains(Chains);
  NotifyRelationChanged();
  if (LogsActions()) FRedoLog->LogInsert(RecNo);
  return RecNo;
}

std::int16_t TVdbBaseTable::ReplaceRecord(std::uint8_t* RecBuffer,
                                          const std::uint8_t* OrigRecBuffer, std::int32_t RecNo,
                                          const TVdbBlobDataList* Blobs) {
  return Run([&]() -> std::int32_t {
    if ((FRights & kVdbRightEdit) == 0) Raise(kVdbErrNoWritePermission, FullName());
    if (!Active()) Raise(kVdbErrFileNotFoundOrDenied, FFileName);
    DoReplace(RecBuffer, OrigRecBuffer, RecNo, BlobValues(Blobs));
    return 0;
  });
}

void TVdbBaseTable::DoReplace(std::uint8_t* Buffer, const std::uint8_t* OrigBuffer,
                              std::int32_t RecNo, const TBlobValues& Blobs) {
  TLockGuard Upgrade(*this, tltUpgrade);
  // The keys and values to replace are those of the stored record, whatever the caller's
  // original image says: a stale image must not leave keys behind.
  std::vector<std::uint8_t> Stored(static_cast<std::size_t>(RecordSize()));
  if (RecNo < 1 || FDataFile->ReadRecord(RecNo, Stored.data()) < 0) Raise(kVdbErrRecordNotFound, "");
  if (!FRollingBack) {
    UniqueCheck(Buffer, RecNo);
    CheckConstraints(Buffer);
    CheckReferences(Buffer);
    if (FOnExecuteUpdateIntegrityRules) {
      CheckResult(FOnExecuteUpdateIntegrityRules(*this, true, Buffer, OrigBuffer));
    }
  }
  TVdbRedoBlobs OldBlobs;
  if (KeepsBlobsForUndo()) OldBlobs = CollectBlobs(Stored.data());
  TLockGuard Write(*this, tltWrite);
  TChainChanges Chains;
  try {
    WriteBlobs(Buffer, Blobs, Stored.data(), Chains);
    CheckResult(FDataFile->WriteRecord(RecNo, Buffer));
  } catch (...) {
    DropWrittenChains(Chains);
    throw;
  }
  try {
    ReplaceKeys(Stored.data(), Buffer, RecNo);
  } catch (...) {
    // The keys stayed as they were: so does the record.
    FDataFile->WriteRecord(RecNo, Stored.data());
    DropWrittenChains(Chains);
    throw;
  }
  CommitChains(Chains);
  NotifyRecordChanged(RecNo);
  if (LogsActions()) FRedoLog->LogUpdate(RecNo, Stored.data(), OldBlobs);
  if (!FRollingBack && FOnExecuteUpdateIntegrityRules) {
    CheckResult(FOnExecuteUpdateIntegrityRules(*this, false, Buffer, OrigBuffer));
  }
}

std::int16_t TVdbBaseTable::DeleteRecord(std::uint8_t* RecBuffer, std::int32_t RecNo) {
  return Run([&]() -> std::int32_t {
    if (!Active()) Raise(kVdbErrFileNotFoundOrDenied, FFileName);
    DoDelete(RecBuffer, RecNo);
    return 0;
  });
}

void TVdbBaseTable::DoDelete(const std::uint8_t* Buffer, std::int32_t RecNo) {
  TLockGuard Upgrade(*this, tltUpgrade);
  const bool Heap = !FDataFile->CanDelete();
  // What goes is the stored record: its chains and keys, whatever the caller's image says.
  std::vector<std::uint8_t> Stored(static_cast<std::size_t>(RecordSize()));
  if (RecNo < 1 || (Heap && RecNo > RecordCount()) ||
      FDataFile->ReadRecord(RecNo, Stored.data()) < 0) {
    Raise(kVdbErrRecordNotFound, "");
  }
  CheckResult(CheckEdit(RecNo, nullptr));
  EndEdit(RecNo);
  TVdbRedoBlobs OldBlobs;
  if (!FRollingBack) {
    if (FOnExecuteDeleteIntegrityRules) {
      CheckResult(FOnExecuteDeleteIntegrityRules(*this, true, Buffer, nullptr));
    }
    if (KeepsBlobsForUndo()) OldBlobs = CollectBlobs(Stored.data());
  }
  TLockGuard Write(*this, tltWrite);
  RemoveKeys(Stored.data(), RecNo);
  std::int32_t Moved = 0;
  if (Heap) {
    // Only the last record can go: it moves into the gap first.
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
  // Only a record that is gone lets its chains go.
  FreeBlobs(Stored.data());
  if (LogsActions()) FRedoLog->LogDelete(RecNo, Stored.data(), OldBlobs);
  if (!FRollingBack && FOnExecuteDeleteIntegrityRules) {
    CheckResult(FOnExecuteDeleteIntegrityRules(*this, false, Buffer, nullptr));
  }
  NotifyRecordDeleted(RecNo, Moved);
  if (HasLockFile() && Heap) {
    if (Moved != 0) SwitchEdit(Moved, RecNo);
    FLockFile->AddRecordMove(RecNo, Moved != 0 ? Moved : RecNo);
  }
}

// --- Calculated columns --------------------------------------------------------------------------

void TVdbBaseTable::CheckCalculationType(const TVdbColumnDef& Column,
                                         const TVdbCalculation& Calculation) const {
  const TVdbDataType* Result = Calculation.ResultType();
  const TVdbDataType* Target = Column.DataType;
  const bool Fits = Result != nullptr && TVdbDataType::CanConvert(Result, Target, true);
  if (!Fits) {
    Raise(kVdbErrTypeMismatch,
          (Result != nullptr ? Result->SqlName() : std::string("?")) + "->" + Target->SqlName());
  }
}

std::int16_t TVdbBaseTable::BerechneFormeln(std::uint8_t* RecBuffer,
                                            TVdbCalculationPurposes Purposes) {
  return Run([&]() -> std::int32_t {
    std::vector<std::int16_t> Columns;
    for (std::int16_t I = 1; I <= GetColumnCount(); ++I) {
      const TVdbColumnDef& Column = GetColumnDef(I);
      if ((Column.GetCalculationPurposes() & Purposes) != 0 && Column.Calculation() != nullptr) {
        Columns.push_back(I);
      }
    }
    if (Columns.empty()) return 0;
    TVdbExpressionFactory* Factory =
        FServices != nullptr ? FServices->ExpressionFactory() : nullptr;
    for (std::int16_t I : Columns) {
      const TVdbColumnDef& Column = GetColumnDef(I);
      TVdbCalculation& Calculation = *Column.Calculation();
      if (!Calculation.IsCompiled()) {
        if (Factory == nullptr) Raise(kVdbErrTypeMismatch, "?->" + Column.DataType->SqlName());
        Calculation.Compile(*Factory, *FColumnDefs, FLevel);
      }
      CheckCalculationType(Column, Calculation);
    }
    // Columns may depend on each other: passes run until one changes nothing.
    std::vector<std::uint8_t> Previous(RecBuffer, RecBuffer + RecordSize());
    for (std::int16_t Pass = 0; Pass < GetColumnCount(); ++Pass) {
      for (std::int16_t I : Columns) {
        const TVdbColumnDef& Column = GetColumnDef(I);
        TVdbCalculation& Calculation = *Column.Calculation();
        const TVdbDataType* ResultType = Calculation.ResultType();
        std::vector<std::uint8_t> Image(
            static_cast<std::size_t>(std::max(ResultType->DataSize(), 1)), 0);
        Calculation.Compiled()->EvaluateToField(RecBuffer, Image.data());
        TVdbDataValue Value;
        ResultType->SetReference(Value, Image.data());
        if (ResultType->IsNull(Value) && !Column.GetNullable()) {
          Raise(kVdbErrNullNotAllowed, Column.Name);
        }
        SetValue(RecBuffer, I, Value, ResultType);
      }
      bool Changed = false;
      for (std::int16_t I : Columns) {
        std::string Before;
        std::string After;
        GetAsStringA(Previous.data(), I, Before);
        GetAsStringA(RecBuffer, I, After);
        Changed = Changed || Before != After;
      }
      if (!Changed) break;
      Previous.assign(RecBuffer, RecBuffer + RecordSize());
    }
    return 0;
  });
}

// --- Record ids ----------------------------------------------------------------------------------

std::int16_t TVdbBaseTable::SetAutoNum(std::uint8_t* RecBuffer) {
  return Run([&]() -> std::int32_t {
    if (FRecordIdFieldNo == 0) Raise(kVdbErrNoRecordIdColumn, Name());
    if ((FRights & kVdbRightAppend) == 0) Raise(kVdbErrNoWritePermission, FullName());
    TLockGuard Upgrade(*this, tltUpgrade);
    TLockGuard Write(*this, tltWrite);
    std::int32_t RecordId = 0;
    CheckResult(FDataFile->ObtainNewRecordId(RecordId));
    SetRecordId(RecBuffer, RecordId);
    return 0;
  });
}

std::int16_t TVdbBaseTable::AdjustRecordId(const std::uint8_t* RecBuffer) {
  return Run([&]() -> std::int32_t {
    const std::int32_t RecordId = GetRecordId(RecBuffer);
    TLockGuard Upgrade(*this, tltUpgrade);
    TLockGuard Write(*this, tltWrite);
    std::int32_t Next = 0;
    CheckResult(FDataFile->ReadNextRecordId(Next));
    if (RecordId >= Next) CheckResult(FDataFile->WriteNextRecordId(RecordId + 1));
    return 0;
  });
}

std::int16_t TVdbBaseTable::CancelAutoNum(std::int32_t RecordId) {
  return Run([&]() -> std::int32_t {
    TLockGuard Upgrade(*this, tltUpgrade);
    TLockGuard Write(*this, tltWrite);
    CheckResult(FDataFile->RevokeRecordId(RecordId));
    return 0;
  });
}

// The next record id follows the largest one the RecordId index holds.
std::int16_t TVdbBaseTable::RecalcAutoInc() {
  return Run([&]() -> std::int32_t {
    if (FRecordIdFieldNo == 0 || FInrIndexNo == kVdbNoIndex) Raise(kVdbErrNoRecordIdColumn, Name());
    TLockGuard Upgrade(*this, tltUpgrade);
    TLockGuard Write(*this, tltWrite);
    DoCheckIndexOpen(FInrIndexNo);
    TIndexSlot& Entry = *Slot(FInrIndexNo);
    std::vector<std::uint8_t> Item(static_cast<std::size_t>(Entry.Def->KeySize()));
    std::int32_t Next = 1;
    const std::int16_t Found = Entry.File->Letzter_Index(Item.data());
    CheckResult(Found);
    if (Found == TVdbTreeBase::kFound) {
      std::vector<std::uint8_t> Record(static_cast<std::size_t>(RecordSize()));
      CheckResult(FDataFile->ReadRecord(TkxMemory::ReadInt32(Item.data(), 0), Record.data()));
      Next = GetRecordId(Record.data()) + 1;
    }
    CheckResult(FDataFile->WriteNextRecordId(Next));
    return 0;
  });
}

std::int32_t TVdbBaseTable::ReadNextRecordId() {
  std::int32_t Next = 0;
  const std::int16_t Result = Run([&]() -> std::int32_t {
    if (!Active()) Raise(kVdbErrFileNotFoundOrDenied, FFileName);
    CheckResult(FDataFile->ReadNextRecordId(Next));
    return 0;
  });
  return Result < 0 ? Result : Next;
}

// --- Locks ---------------------------------------------------------------------------------------

void TVdbBaseTable::RaiseLocked() const { throw EVdbEngine(kVdbErrTableLocked, ""); }

TVdbTableLockType TVdbBaseTable::RequiredLock() const {
  return std::max(VdbRequiredTableLock(FReadLocks, FUpgradeLocks, FWriteLocks), FTransactionLock);
}

void TVdbBaseTable::CatchUpIfChanged() {
  const bool MoreIndexes =
      FDataFile &&
      FLockFile->GetTableIndexCount() > static_cast<std::int32_t>(FDataFile->IndexNames().size());
  if (FLockFile->CheckUpdate() || MoreIndexes) DoUpdateTable();
}

std::int16_t TVdbBaseTable::CheckUpdate() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  return Run([&]() -> std::int32_t {
    if (!HasLockFile()) return 0;
    TLockGuard Read(*this, tltRead);
    CatchUpIfChanged();
    return 0;
  });
}

std::int16_t TVdbBaseTable::UpdateTable() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  return Run([&]() -> std::int32_t {
    TLockGuard Read(*this, tltRead);
    DoUpdateTable();
    return 0;
  });
}

// Drops what this session cached of the files, takes over new index names and tells the
// accessors about the records other sessions moved.
void TVdbBaseTable::DoUpdateTable() {
  FUpdating = true;
  struct TDone {
    bool& Flag;
    ~TDone() { Flag = false; }
  } Done{FUpdating};
  if (FDataFile) {
    CheckResult(FDataFile->Invalidate());
    if (FLockFile && FLockFile->GetTableIndexCount() >
                         static_cast<std::int32_t>(FDataFile->IndexNames().size())) {
      CheckResult(FDataFile->ReadIndexNames());
      for (const std::string& IndexName : FDataFile->IndexNames()) {
        if (!IsFullTextIndexName(IndexName) && GetIndexNo(IndexName) < 0) {
          CheckResult(InitIndex(IndexName, nullptr));
        }
      }
      NotifyIndexNamesChanged();
    }
    for (TIndexSlot& Entry : FIndexFiles) {
      if (Entry.File && Entry.File->IsOpen()) Entry.File->Update();
    }
    if (FMemo) FMemo->Update();
    if (FBlob) FBlob->Update();
  }
  if (!FLockFile) return;
  FLockFile->SetChangeCount(FLockFile->GetTableChangeCount());
  // A pair (n, n) announces that the last record n went: nothing moved into its place.
  std::vector<std::pair<std::int32_t, std::int32_t>> Moves;
  std::int32_t NewRecNo = 0;
  std::int32_t OldRecNo = 0;
  while (FLockFile->ReadRecordMove(NewRecNo, OldRecNo)) {
    Moves.emplace_back(NewRecNo, OldRecNo == NewRecNo ? 0 : OldRecNo);
  }
  NotifyCaughtUp(Moves);
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
      RollBackLeftLogIfWaiting();
      return;
    }
    FLockFile->UnlockTable(tltRead, tltNone);
    FUnlockAction = tltNone;
    if (!Wait && !RequestWithoutWait) RaiseLocked();
  }
  if (!FLockFile->LockTable(FUnlockAction, ToLock, !Wait)) RaiseLocked();
  FUnlockAction = ToLock;
  CatchUpIfChanged();
  RollBackLeftLogIfWaiting();
}

std::int16_t TVdbBaseTable::BeginRead(bool Wait) {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  return Run([&]() -> std::int32_t {
    if (HasLockFile() && FUnlockAction == tltNone) {
      if (!FLockFile->LockTable(tltNone, tltRead, !Wait)) RaiseLocked();
      FUnlockAction = tltRead;
      CatchUpIfChanged();
      RollBackLeftLogIfWaiting();
    }
    ++FReadLocks;
    return 0;
  });
}

std::int16_t TVdbBaseTable::BeginUpgrade(bool Wait) {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  return Run([&]() -> std::int32_t {
    // A reader asking for more would wait for itself.
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
  return Run([&]() -> std::int32_t {
    if (FWriteError) {
      FWriteError = false;
      Raise(kVdbErrFileWrite, Name());
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

// The undo log of a transaction starts with its first write lock.
void TVdbBaseTable::StartUndoLog() {
  if (Isolation() == tilNone || Temporary || FRedoLog || FRollingBack || FServices == nullptr ||
      FServices->LockFileSystem() == nullptr) {
    return;
  }
  auto Log = std::make_unique<TVdbRedoLog>(*FServices->LockFileSystem(), RecordSize(), IsRelFile,
                                           FLevel, LockName());
  if (!Log->NewFile()) {
    // A dead session's transaction is rolled back before this one starts.
    ++FWriteLocks;
    try {
      RollBack(*Log);
    } catch (...) {
      --FWriteLocks;
      throw;
    }
    --FWriteLocks;
    if (!Log->NewFile()) RaiseLocked();
  }
  FRedoLog = std::move(Log);
}

std::int16_t TVdbBaseTable::BeginExclusive(bool Wait) {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  return Run([&]() -> std::int32_t {
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

// The file-level lock lingers; now and then a busy session lets others in at once.
void TVdbBaseTable::LockEnded() {
  FUnlockTime = VdbTickCount();
  if (!HasLockFile() || FUnlockAction == tltNone || !RandomEarlyRelease()) return;
  if (FUpgradeLocks > 0 || FWriteLocks > 0) {
    Flush();
    return;
  }
  try {
    LowerHeldLock(RequiredLock());
  } catch (const EVdbEngine& Error) {
    Report(Error);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(TVdbLockFile::GetWaitInterval()));
}

void TVdbBaseTable::KeepTransactionLock(TVdbTableLockType Ending) {
  if (Isolation() == tilNone) return;
  FTransactionLock = std::max(FTransactionLock, VdbTransactionKeptLock(Isolation(), Ending));
}

std::int16_t TVdbBaseTable::EndRead() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  if (FReadLocks > 0) --FReadLocks;
  if (FReadLocks == 0 && FUpgradeLocks == 0) KeepTransactionLock(tltRead);
  LockEnded();
  return 0;
}

std::int16_t TVdbBaseTable::EndUpgrade() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  if (FUpgradeLocks > 0) --FUpgradeLocks;
  if (FUpgradeLocks == 0) KeepTransactionLock(tltUpgrade);
  LockEnded();
  return 0;
}

std::int16_t TVdbBaseTable::EndWrite() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  if (FWriteLocks > 0) --FWriteLocks;
  if (FWriteLocks == 0) KeepTransactionLock(tltWrite);
  LockEnded();
  return 0;
}

std::int16_t TVdbBaseTable::EndExclusive() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  if (FExclusiveLocks > 0 && --FExclusiveLocks == 0 && HasLockFile()) FLockFile->UnlockExclusive();
  return 0;
}

void TVdbBaseTable::LowerHeldLock(TVdbTableLockType Target) {
  if (!HasLockFile() || Target >= FUnlockAction) return;
  // What this session wrote goes out before others may read it.
  if (FUnlockAction == tltWrite && Active() && !ReadOnly()) Flush();
  FLockFile->UnlockTable(FUnlockAction, Target);
  FUnlockAction = Target;
}

// Runs on the catalog's unlock thread: the lock state is looked at only under the table's
// locking mutex, which a busy session may hold (then the next pass tries again).
void TVdbBaseTable::CheckUnlock(std::uint32_t Ticks) {
  for (int Try = 0; Try < kUnlockTries; ++Try) {
    if (FLockingMutex.try_lock()) {
      std::lock_guard<std::recursive_mutex> Lock(FLockingMutex, std::adopt_lock);
      if (!FUnlockActive || FUnlockAction == tltNone || !VdbUnlockIdle(Ticks, FUnlockTime)) return;
      try {
        LowerHeldLock(RequiredLock());
      } catch (const EVdbEngine&) {
        // Not recorded: the session's last error belongs to the session's own thread. The lock
        // stays held, the next pass tries again, and a broken lock file shows at the session's
        // next operation on the table.
      }
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(TVdbLockFile::GetWaitInterval()));
  }
}

std::int16_t TVdbBaseTable::CommitModifications() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  return Run([&]() -> std::int32_t {
    if (FRedoLog) FRedoLog->Erase();
    FRedoLog.reset();
    FTransactionLock = tltNone;
    return 0;
  });
}

std::int16_t TVdbBaseTable::UndoModifications() {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  return Run([&]() -> std::int32_t {
    if (FRedoLog) {
      RollBack(*FRedoLog);
      FRedoLog.reset();
    }
    FTransactionLock = tltNone;
    return 0;
  });
}

std::int16_t TVdbBaseTable::NetUsers(std::vector<std::string>& Users) {
  Users.clear();
  if (!HasLockFile()) return 1;
  return Run([&]() -> std::int32_t {
    for (const TVdbLockInfo& Info : FLockFile->GetLockInfo()) Users.push_back(Info.Name);
    return static_cast<std::int32_t>(Users.size());
  });
}

std::int16_t TVdbBaseTable::CheckEdit(std::int32_t RecNo, TVdbRelationListener* Excluded) {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  return Run([&]() -> std::int32_t {
    if (!FUseEditLocks) {
      ++FEditLocks;
      return 0;
    }
    if (IsRecordEdited(RecNo, Excluded)) Raise(kVdbErrRecordEdited, "");
    if (HasLockFile()) {
      const std::int32_t Held = FLockFile->GetLockedRecord();
      if (Held != 0 && Held != RecNo) Raise(kVdbErrRecordEdited, "");
      if (Held != RecNo && !FLockFile->LockRecord(RecNo)) Raise(kVdbErrRecordEdited, "");
    }
    ++FEditLocks;
    return 0;
  });
}

std::int16_t TVdbBaseTable::SwitchEdit(std::int32_t FromRecNo, std::int32_t ToRecNo) {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  return Run([&]() -> std::int32_t {
    if (HasLockFile()) FLockFile->SwitchRecordLock(FromRecNo, ToRecNo);
    return 0;
  });
}

std::int16_t TVdbBaseTable::EndEdit(std::int32_t) {
  std::lock_guard<std::recursive_mutex> Lock(FLockingMutex);
  return Run([&]() -> std::int32_t {
    if (FEditLocks > 0) --FEditLocks;
    if (FEditLocks == 0 && FUseEditLocks && HasLockFile() && FLockFile->GetLockedRecord() != 0) {
      FLockFile->UnlockRecord();
    }
    return 0;
  });
}

}  // namespace vdb
