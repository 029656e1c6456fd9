#include "session/VdbCatalog.h"

#include <algorithm>
#include <cctype>
#include <random>

#include "base/VdbErrors.h"
#include "storage/VdbPageMan.h"
#include "storage/kxFileSystem.h"
#include "storage/kxFormat.h"
#include "storage/kxPath.h"
#include "table/VdbAliasRelation.h"
#include "table/VdbBaseTable.h"
#include "table/kxStrUtils.h"

namespace vdb {

namespace {

// Names of tables come in either form: an OS path or a name inside the container.
constexpr TkxPathForm kEither = TkxPathForm::Any;

std::string Lower(std::string Text) {
  for (char& C : Text) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return Text;
}

bool IsBlank(const std::string& Text) {
  return std::all_of(Text.begin(), Text.end(),
                     [](char C) { return std::isspace(static_cast<unsigned char>(C)) != 0; });
}

constexpr std::int16_t kTableNotFound = -kVdbErrFileNotFoundOrDenied;

}  // namespace

// --- Unlock thread -------------------------------------------------------------------------------

void TVdbUnlockThread::Start() {
  {
    std::lock_guard<std::mutex> Guard(FWakeLock);
    FTerminated = false;
  }
  FThread = std::thread([this] { Execute(); });
}

void TVdbUnlockThread::Terminate() {
  {
    std::lock_guard<std::mutex> Guard(FWakeLock);
    FTerminated = true;
  }
  FWake.notify_all();
  if (FThread.joinable()) FThread.join();
}

void TVdbUnlockThread::Execute() {
  std::unique_lock<std::mutex> Guard(FWakeLock);
  while (!FTerminated) {
    FWake.wait_for(Guard, std::chrono::milliseconds(kIntervalMs), [this] { return FTerminated; });
    if (FTerminated) break;
    Guard.unlock();
    FCatalog.UnlockIdleTables();
    Guard.lock();
  }
}

// --- Catalog -------------------------------------------------------------------------------------

TVdbCatalog::TVdbCatalog(TVdbServices* Services)
    : FServices(Services), FAccessorSet(std::make_unique<TVdbAccessorSet>(this, true)) {}

TVdbCatalog::~TVdbCatalog() { Close(); }

void TVdbCatalog::SetLocation(const std::string& Value) {
  if (!IsBlank(Value) && kxHasDirectory(Value, kEither) &&
      !kxIsPathDelimiter(Value.front(), kEither))
    throw EVdbEngine(kVdbErrRelativeDatabasePath, Value);
  FLocation = IsBlank(Value) ? std::string() : Value;
}

bool TVdbCatalog::GetIsSingleFile() const { return FServices->DataBaseType() == dbtSingleFile; }

std::int16_t TVdbCatalog::FailCurrent() const {
  return VdbGuarded(&FServices->LastError(), []() -> std::int16_t { throw; });
}

std::int16_t TVdbCatalog::Fail(std::int16_t Code, const kxFormatArgs& Args) const {
  return FServices->SetLastError(Code, Args);
}

void TVdbCatalog::Open() {
  if (FOpen) return;
  FManagementLevel = tmlUnmanaged;
  FServices->SetOnFindRltnIdx([this](const std::string& Name) { return FindRltnIdx(Name); });
  FServices->SetOnCalcRltnHdl([this](std::int16_t RltnIdx) { return CalcRltnHdl(RltnIdx); });
  FOpen = true;
  try {
    OpenSystemTables();
  } catch (...) {
    Close();
    throw;
  }
  TVdbPageManager::Instance().RegisterClient(FServices->SessionHdl(), CacheSize);
  FClientRegistered = true;
  FUnlockThread = std::make_unique<TVdbUnlockThread>(*this);
  FUnlockThread->Start();
}

// A database that keeps the system tables opens them; listing its tables from them is the
// managed catalog's part.
void TVdbCatalog::OpenSystemTables() {
  TkxFileSystem* Data = FServices->DataFileSystem();
  if (Data == nullptr) return;
  const std::string Root = GetIsSingleFile() ? "\\" : "";
  for (const char* Ext : {".vdbt", ".dat"}) {
    if (!Data->FileExists(Root + "sys_UserTables" + Ext) ||
        !Data->FileExists(Root + "sys_UserColumns" + Ext))
      continue;
    if (TryOpenTable("sys_UserTables", FKey, false, false, kVdbWriteRights) <= 0 ||
        TryOpenTable("sys_UserColumns", FKey, false, false, kVdbWriteRights) <= 0)
      throw EVdbEngine::CreateMsg(kVdbErrInternalSignal, "Internal error");
    FManagementLevel = tmlManaged;
    return;
  }
}

void TVdbCatalog::Close() {
  if (!FOpen) return;
  if (FUnlockThread) FUnlockThread->Terminate();
  FUnlockThread.reset();
  for (int Pass = 0; Pass < kMaxRelations && GetRelationCount() > 0; ++Pass) {
    bool Closed = false;
    for (std::int16_t RltnIdx = 1; RltnIdx <= kMaxRelations; ++RltnIdx) {
      if (!IsValidRltnIdx(RltnIdx) || IsRelationInUse(RltnIdx)) continue;
      TryCloseRelation(RltnIdx, false, true);
      Closed = true;
    }
    if (!Closed) break;
  }
  // What is still held by accessors of others goes too: the catalog owns its relations. Later
  // slots go first, so that a virtual relation leaves before the relation it is based on.
  for (std::int16_t RltnIdx = kMaxRelations; RltnIdx >= 1; --RltnIdx) {
    if (!IsValidRltnIdx(RltnIdx)) continue;
    try {
      FRelations[RltnIdx - 1].Relation->Close();
    } catch (const std::exception&) {
      FailCurrent();
    }
    FreeRelation(RltnIdx);
  }
  if (FClientRegistered) TVdbPageManager::Instance().UnregisterClient(FServices->SessionHdl(), CacheSize);
  FClientRegistered = false;
  FAccessorSet->Clear();
  for (TSlot& Slot : FRelations) Slot = TSlot{};
  FServices->SetOnFindRltnIdx(nullptr);
  FServices->SetOnCalcRltnHdl(nullptr);
  FOpen = false;
}

// --- Slots ---------------------------------------------------------------------------------------

std::int16_t TVdbCatalog::FindRltnIdx(const std::string& Name) const {
  for (std::int16_t RltnIdx = 1; RltnIdx <= kMaxRelations; ++RltnIdx) {
    const TVdbRelation* Relation = FRelations[RltnIdx - 1].Relation.get();
    if (Relation != nullptr && Relation->IsSameTableName(Name)) return RltnIdx;
  }
  return 0;
}

TVdbRelation* TVdbCatalog::GetRelation(TVdbRelationIndex RltnIdx) const {
  if (RltnIdx < 1 || RltnIdx > kMaxRelations) return nullptr;
  return FRelations[RltnIdx - 1].Relation.get();
}

TVdbAccessor* TVdbCatalog::GetDefaultAccessor(TVdbRelationIndex RltnIdx) const {
  return FAccessorSet->GetAccessor(RltnIdx);
}

bool TVdbCatalog::IsValidRltnIdx(std::int16_t RltnIdx) const {
  return RltnIdx >= 1 && RltnIdx <= kMaxRelations && FRelations[RltnIdx - 1].Relation != nullptr;
}

std::int32_t TVdbCatalog::GetRelationCount() const {
  return static_cast<std::int32_t>(std::count_if(
      FRelations.begin(), FRelations.end(), [](const TSlot& Slot) { return Slot.Relation != nullptr; }));
}

std::int16_t TVdbCatalog::CalcRltnHdl(std::int16_t RltnIdx) const {
  return TRelationList::CalcRltnHdl(FServices->SessionHdl(), static_cast<TVdbRelationIndex>(RltnIdx));
}

std::int16_t TVdbCatalog::FreeIndex() const {
  for (std::int16_t RltnIdx = 1; RltnIdx <= kMaxRelations; ++RltnIdx) {
    const TSlot& Slot = FRelations[RltnIdx - 1];
    if (Slot.Relation == nullptr && !Slot.Reserved) return RltnIdx;
  }
  return 0;
}

std::int16_t TVdbCatalog::TakeFreeIndex() {
  std::int16_t RltnIdx = FreeIndex();
  if (RltnIdx == 0) {
    CloseUnneededTables(true, false);
    RltnIdx = FreeIndex();
  }
  if (RltnIdx == 0) {
    CloseUnneededTables(false, false);
    RltnIdx = FreeIndex();
  }
  if (RltnIdx != 0) FRelations[RltnIdx - 1].Reserved = true;
  return RltnIdx;
}

void TVdbCatalog::Install(std::int16_t RltnIdx, std::unique_ptr<TVdbRelation> Relation) {
  std::lock_guard<std::recursive_mutex> Guard(FRelationListSync);
  Relation->SetRltnIdx(static_cast<TVdbRelationIndex>(RltnIdx));
  TRelationList::Instance().SetRelation(CalcRltnHdl(RltnIdx), Relation.get());
  TSlot& Slot = FRelations[RltnIdx - 1];
  Slot.Relation = std::move(Relation);
  Slot.Reserved = false;
}

std::int16_t TVdbCatalog::AddDefaultAccessor(std::int16_t RltnIdx) {
  TVdbRelation* Relation = GetRelation(static_cast<TVdbRelationIndex>(RltnIdx));
  TVdbAccessor& Accessor =
      FAccessorSet->AddAccessor(std::make_unique<TVdbAccessor>(*Relation, kDefaultAccessorTag));
  const std::int16_t Moved = Accessor.First();
  // An empty table has no first record; that is no failure.
  return Moved < 0 && Moved != -kVdbErrRecordNotFound ? Moved : 0;
}

void TVdbCatalog::FreeRelation(std::int16_t RltnIdx) {
  if (RltnIdx < 1 || RltnIdx > kMaxRelations) return;
  std::unique_ptr<TVdbRelation> Freed;
  {
    std::lock_guard<std::recursive_mutex> Guard(FRelationListSync);
    TSlot& Slot = FRelations[RltnIdx - 1];
    if (Slot.Relation == nullptr) return;
    TRelationList::Instance().RemoveRelation(CalcRltnHdl(RltnIdx));
    FAccessorSet->DeleteAccessor(static_cast<TVdbRelationIndex>(RltnIdx));
    Freed = std::move(Slot.Relation);
    Slot = TSlot{};
    Freed.reset();
  }
  RecalcLinks();
}

// Link and relation columns find their target relations by name when they are used; the catalog
// keeps no link model of its own for tables without such columns.
void TVdbCatalog::RecalcLinks() {}

// --- Opening tables ------------------------------------------------------------------------------

TkxFileSystem* TVdbCatalog::FileSystemFor(const std::string& Path) const {
  return kxHasDirectory(Path, kEither) ? FServices->OSFileSystem() : FServices->DataFileSystem();
}

bool TVdbCatalog::FindTableFile(const std::string& StoragePath, TkxFileSystem*& FileSystem,
                                std::string& FileName) const {
  FileSystem = FileSystemFor(StoragePath);
  if (FileSystem == nullptr) return false;
  std::string Path = StoragePath;
  if (!kxHasDirectory(Path, kEither) && GetIsSingleFile()) Path = "\\" + Path;
  if (!kxExtractFileExt(StoragePath, kEither).empty()) {
    FileName = Path;
    return FileSystem->FileExists(Path);
  }
  for (const char* Ext : {".dat", ".vdbt"}) {
    if (FileSystem->FileExists(Path + Ext)) {
      FileName = Path + Ext;
      return true;
    }
  }
  return false;
}

std::uint16_t TVdbCatalog::EffectiveRights(std::uint16_t Rights) const {
  if (ReadOnly) Rights &= static_cast<std::uint16_t>(~kVdbWriteRights);
  if (Exclusive) Rights |= kVdbRightExclusive;
  if (SharedReadOnly && (Rights & kVdbWriteRights) == 0)
    Rights |= kVdbRightSharedReadOnly;
  else
    Rights &= static_cast<std::uint16_t>(~kVdbRightSharedReadOnly);
  return Rights;
}

std::int16_t TVdbCatalog::OpenBaseTable(std::int16_t RltnIdx, TkxFileSystem* FileSystem,
                                        const std::string& FileName, const std::string& Key,
                                        std::uint16_t Rights, bool Force, bool InDatabase) {
  auto Table = std::make_unique<TVdbBaseTable>(FServices);
  Table->SetFileSystem(FileSystem);
  Table->SetFileName(FileName);
  Table->SetKey(Key.empty() ? FKey : Key);
  if (InDatabase) {
    const bool Single = GetIsSingleFile();
    Table->SetPhysicalDirectory(Single ? kxExtractFileDir(FLocation, TkxPathForm::OS) : FLocation);
    if (Single) Table->SetContainerName(TVdbRelation::CalcStdName(FLocation));
  } else {
    Table->SetPhysicalDirectory(kxExtractFileDir(FileName, TkxPathForm::OS));
  }
  Table->SetRights(Rights);
  InstallIntegrityHandlers(*Table);
  std::int16_t Result = Table->Open(Force);
  if (Result == -kVdbErrNoWriteAccess && (Rights & kVdbWriteRights) != 0) {
    Table->SetRights(static_cast<std::uint16_t>(Rights & ~kVdbWriteRights));
    Result = Table->Open(Force);
  }
  if (Result < 0) return Result;
  Install(RltnIdx, std::move(Table));
  return RltnIdx;
}

// A base table resolves the parent tables of its foreign keys through this catalog and checks
// every record it writes against them.
void TVdbCatalog::InstallIntegrityHandlers(TVdbRelation& Table) {
  Table.SetOnOpenParentTable([this](const std::string& TableName) -> TVdbRelation* {
    const std::int16_t RltnIdx = TryOpenTable(TableName, FKey, false, false, kVdbWriteRights);
    return RltnIdx > 0 ? GetRelation(static_cast<TVdbRelationIndex>(RltnIdx)) : nullptr;
  });
  Table.SetOnCheckReferentialIntegrity(
      [this](TVdbRelation& Child, std::int32_t KeyIndex, const std::uint8_t* Record) {
        return CheckParentRow(Child, KeyIndex, Record);
      });
}

// The record's foreign key KeyIndex must name a row of the parent table: the parent's index over
// the referenced columns holds the record's values. A key with a NULL part refers to nothing
// and passes.
std::int16_t TVdbCatalog::CheckParentRow(TVdbRelation& Child, std::int32_t KeyIndex,
                                         const std::uint8_t* Record) {
  try {
    const TVdbForeignKeyDef* Key = Child.GetIntegrityRule(KeyIndex);
    if (Key == nullptr) return 0;
    TVdbRelation* Parent = GetRelation(Key->FParentRltnIdx);
    if (Parent == nullptr) return Fail(kVdbErrParentTableNotFound, {Key->FParentTableName});
    const TVdbSortDef* ParentOrder = Parent->GetIndexDefinition(Key->FParentIndexNo);
    if (ParentOrder == nullptr || ParentOrder->LevelCount < static_cast<int>(Key->FColumnNames.size()))
      return Fail(kVdbErrNoSuitableIndex, {Parent->Name()});
    std::vector<std::uint8_t> Image(static_cast<std::size_t>(std::max(Parent->RecordSize(), 1)));
    const std::int16_t Initialised = Parent->InitRecord(Image.data(), false);
    if (Initialised < 0) return Initialised;
    for (std::size_t I = 0; I < Key->FColumnNames.size(); ++I) {
      const int ChildColumn = Child.ColumnDefs().Find(Key->FColumnNames[I]);
      if (ChildColumn < 0) return Fail(kVdbErrNoSuitableIndex, {Key->FColumnNames[I]});
      const auto ChildNo = static_cast<std::int16_t>(ChildColumn + 1);
      TVdbDataValue Value;
      if (!Child.GetValue(Record, ChildNo, Value)) return 0;
      Parent->SetValue(Image.data(), ParentOrder->Items[I].FieldNo, Value,
                       Child.GetDataType(ChildNo));
    }
    if (Parent->BeginRead(true) < 0) return -FServices->LastError().LastErrorCode();
    const std::int32_t Found = Parent->LocateRecord(Key->FParentIndexNo, Image.data());
    Parent->EndRead();
    if (Found < 0) return static_cast<std::int16_t>(Found);
    return Found > 0 ? 0 : Fail(kVdbErrNoParentRow, {Key->Name()});
  } catch (const std::exception&) {
    return FailCurrent();
  }
}

void TVdbCatalog::CloseNewRelations(const std::vector<bool>& WasOpen) {
  for (std::int16_t RltnIdx = 1; RltnIdx <= kMaxRelations; ++RltnIdx) {
    if (WasOpen[RltnIdx - 1] || !IsValidRltnIdx(RltnIdx)) continue;
    FRelations[RltnIdx - 1].Relation->Close();
    FreeRelation(RltnIdx);
  }
}

std::int16_t TVdbCatalog::OpenTable(const std::string& StoragePath, const std::string& Key,
                                    bool ExplicitRights, bool Force, bool WithRelTables,
                                    std::uint16_t Rights) {
  (void)WithRelTables;  // relation columns name no other tables in a table without them
  try {
    std::vector<bool> WasOpen(kMaxRelations);
    for (std::int16_t I = 1; I <= kMaxRelations; ++I) WasOpen[I - 1] = IsValidRltnIdx(I);
    const std::int16_t RltnIdx = TakeFreeIndex();
    if (RltnIdx == 0) return Fail(kVdbErrTooManyTables, {});
    struct TRelease {
      TSlot& Slot;
      ~TRelease() { Slot.Reserved = false; }
    } Release{FRelations[RltnIdx - 1]};
    const std::string Name = TVdbRelation::CalcStdName(StoragePath);
    if (FindRltnIdx(Name) != 0) return Fail(kVdbErrTableAlreadyOpen, {Name});
    TkxFileSystem* FileSystem = nullptr;
    std::string FileName;
    if (!FindTableFile(StoragePath, FileSystem, FileName)) return Fail(kVdbErrFileNotFoundOrDenied, {StoragePath});
    if (!ExplicitRights) Rights = EffectiveRights(Rights);
    const std::int16_t Opened = OpenBaseTable(RltnIdx, FileSystem, FileName, Key, Rights, Force,
                                                 !kxHasDirectory(StoragePath, kEither));
    if (Opened < 0) return Opened;
    std::int16_t Result = AddDefaultAccessor(RltnIdx);
    if (Result >= 0) Result = FRelations[RltnIdx - 1].Relation->Setup(Force);
    if (Result < 0 && !Force) {
      CloseNewRelations(WasOpen);
      return Result;
    }
    RecalcLinks();
    return RltnIdx;
  } catch (const std::exception&) {
    return FailCurrent();
  }
}

std::int16_t TVdbCatalog::TryOpenTable(const std::string& TableName, const std::string& Key,
                                       bool MustBeWritable, bool WithRelTables,
                                       std::uint16_t Rights) {
  const std::int16_t Open = FindRltnIdx(TableName);
  if (Open != 0) return Open;
  if (DeepFlush) Rights |= kVdbRightSecureFlush;
  std::int16_t Result = OpenTable(TableName, Key, true, false, WithRelTables, Rights);
  if (Result == kTableNotFound && !MustBeWritable && (Rights & kVdbWriteRights) != 0)
    Result = OpenTable(TableName, Key, true, false, WithRelTables,
                       static_cast<std::uint16_t>(Rights & ~kVdbWriteRights));
  std::string TableKey = Key;
  while (Result == -kVdbErrInvalidCredentials && FPasswordCallback && FPasswordCallback(TableName, TableKey))
    Result = OpenTable(TableName, TableKey, true, false, WithRelTables, Rights);
  return Result;
}

std::int16_t TVdbCatalog::AddTable(const std::string& TableName, const std::string& Key, bool Force,
                                   std::uint16_t Rights) {
  return OpenTable(TableName, Key, false, Force, true, Rights);
}

std::int16_t TVdbCatalog::AddRelation(std::unique_ptr<TVdbRelation> Relation) {
  if (Relation == nullptr) return 0;
  const std::int16_t RltnIdx = TakeFreeIndex();
  if (RltnIdx == 0) return Fail(kVdbErrTooManyTables, {});
  try {
    Install(RltnIdx, std::move(Relation));
    RecalcLinks();
    const std::int16_t Positioned = AddDefaultAccessor(RltnIdx);
    return Positioned < 0 ? Positioned : RltnIdx;
  } catch (const std::exception&) {
    FRelations[RltnIdx - 1].Reserved = false;
    FreeRelation(RltnIdx);
    return FailCurrent();
  }
}

std::int16_t TVdbCatalog::OpenVirtualRelation(const std::string& Name, std::int16_t BaseRltnIdx) {
  TVdbRelation* Base = GetRelation(static_cast<TVdbRelationIndex>(BaseRltnIdx));
  if (Base == nullptr) return Fail(kVdbErrFileNotFoundOrDenied, {Name});
  const std::int16_t RltnIdx = FreeIndex();
  if (RltnIdx == 0) return Fail(kVdbErrTooManyTables, {});
  if (FindRltnIdx(Name) != 0) return Fail(kVdbErrTableAlreadyOpen, {Name});
  try {
    auto Relation = std::make_unique<TVdbVirtualRelation>(FServices, *Base, Name);
    const std::int16_t Opened = Relation->Open(false);
    if (Opened < 0) return Opened;
    Install(RltnIdx, std::move(Relation));
    const std::int16_t Positioned = AddDefaultAccessor(RltnIdx);
    if (Positioned < 0) {
      FreeRelation(RltnIdx);
      return Positioned;
    }
    RecalcLinks();
    return RltnIdx;
  } catch (const std::exception&) {
    FreeRelation(RltnIdx);
    return FailCurrent();
  }
}

std::string TVdbCatalog::CalcTemporaryTableName(const std::string& BaseName) const {
  if (FindRltnIdx(BaseName) == 0) return BaseName;
  std::random_device Seed;
  std::mt19937 Generator(Seed());
  std::uniform_int_distribution<std::int32_t> Number(0, 2147483646);
  for (;;) {
    std::string Name = kxFormat("%s%d", {BaseName, static_cast<std::int64_t>(Number(Generator))});
    if (FindRltnIdx(Name) == 0) return Name;
  }
}

// --- Closing -------------------------------------------------------------------------------------

bool TVdbCatalog::IsRelationInUse(std::int16_t RltnIdx) const {
  const TVdbRelation* Relation = GetRelation(static_cast<TVdbRelationIndex>(RltnIdx));
  if (Relation == nullptr) return false;
  if (Relation->AccessorCount() >= 2) return true;
  for (std::int16_t Other = 1; Other <= kMaxRelations; ++Other) {
    const TVdbRelation* OtherRelation = GetRelation(static_cast<TVdbRelationIndex>(Other));
    if (Other != RltnIdx && OtherRelation != nullptr && OtherRelation->BaseRelations().test(RltnIdx))
      return true;
  }
  return false;
}

bool TVdbCatalog::IsSystemName(const std::string& Name) const {
  return Lower(Name).rfind("sys_", 0) == 0;
}

std::int16_t TVdbCatalog::TryCloseRelation(std::int16_t RltnIdx, bool WithRelFields, bool Remove) {
  (void)WithRelFields;
  TVdbRelation* Relation = GetRelation(static_cast<TVdbRelationIndex>(RltnIdx));
  if (Relation == nullptr) return 0;
  if (IsRelationInUse(RltnIdx)) CloseUnneededTables(true, false);
  if (IsRelationInUse(RltnIdx)) return Fail(kVdbErrTableStillAccessed, {Relation->Name()});
  std::int16_t Result = 0;
  {
    // The unlock thread must not reach into files that are being closed.
    std::lock_guard<std::recursive_mutex> Guard(FRelationListSync);
    try {
      Result = Relation->Close();
    } catch (const std::exception&) {
      Result = FailCurrent();
    }
    if (Remove) FreeRelation(RltnIdx);
  }
  RecalcLinks();
  return Result < 0 ? Result : 0;
}

void TVdbCatalog::CloseUnneededTables(bool TemporaryOnly, bool IncludeSystem) {
  for (bool Closed = true; Closed;) {
    Closed = false;
    for (std::int16_t RltnIdx = 1; RltnIdx <= kMaxRelations; ++RltnIdx) {
      TVdbRelation* Relation = GetRelation(static_cast<TVdbRelationIndex>(RltnIdx));
      if (Relation == nullptr || IsRelationInUse(RltnIdx)) continue;
      if (TemporaryOnly && !Relation->Temporary) continue;
      if (!IncludeSystem && IsSystemName(Relation->StdName())) continue;
      TryCloseRelation(RltnIdx, false, true);
      Closed = true;
    }
  }
}

// --- Locks over several relations ----------------------------------------------------------------

std::int16_t TVdbCatalog::AcquireLocks(const std::vector<std::int16_t>& Relations, TLockStep Lock,
                                       TUnlockStep Unlock) {
  std::vector<TVdbRelation*> Taken;
  for (std::int16_t RltnIdx : Relations) {
    if (RltnIdx < 0) break;
    if (RltnIdx == 0) continue;
    TVdbRelation* Relation = GetRelation(static_cast<TVdbRelationIndex>(RltnIdx));
    if (Relation == nullptr) continue;
    const std::int16_t Result = (Relation->*Lock)(true);
    if (Result < 0) {
      for (auto It = Taken.rbegin(); It != Taken.rend(); ++It) ((*It)->*Unlock)();
      return Result;
    }
    Taken.push_back(Relation);
  }
  return 0;
}

void TVdbCatalog::ReleaseLocks(const std::vector<std::int16_t>& Relations, TUnlockStep Unlock) {
  for (std::int16_t RltnIdx : Relations) {
    if (RltnIdx < 0) break;
    TVdbRelation* Relation = GetRelation(static_cast<TVdbRelationIndex>(RltnIdx));
    if (Relation != nullptr) (Relation->*Unlock)();
  }
}

std::int16_t TVdbCatalog::AcquireReadLocks(const std::vector<std::int16_t>& Relations) {
  return AcquireLocks(Relations, &TVdbRelation::BeginRead, &TVdbRelation::EndRead);
}

std::int16_t TVdbCatalog::AcquireWriteLocks(const std::vector<std::int16_t>& Relations) {
  return AcquireLocks(Relations, &TVdbRelation::BeginWrite, &TVdbRelation::EndWrite);
}

void TVdbCatalog::ReleaseReadLocks(const std::vector<std::int16_t>& Relations) {
  ReleaseLocks(Relations, &TVdbRelation::EndRead);
}

void TVdbCatalog::ReleaseWriteLocks(const std::vector<std::int16_t>& Relations) {
  ReleaseLocks(Relations, &TVdbRelation::EndWrite);
}

void TVdbCatalog::UnlockIdleTables() {
  std::lock_guard<std::recursive_mutex> Guard(FRelationListSync);
  const std::uint32_t Ticks = VdbTickCount();
  for (TSlot& Slot : FRelations) {
    auto* Table = dynamic_cast<TVdbBaseTable*>(Slot.Relation.get());
    if (Table == nullptr) continue;
    try {
      Table->CheckUnlock(Ticks);
    } catch (...) {
      // A table that cannot give its lock up now keeps it until the next pass.
    }
  }
}

// --- Table names ---------------------------------------------------------------------------------

void TVdbCatalog::GetTableNames(std::vector<std::string>& List) const {
  TkxFileSystem* Data = FServices->DataFileSystem();
  if (Data == nullptr) return;
  TkxFindFileRec Rec;
  const std::string Pattern = GetIsSingleFile() ? "\\*" : "*";
  for (bool Found = Data->FindFirstFile(Pattern, faAnyFile & ~faDirectory, Rec); Found;
       Found = Data->FindNextFile(Rec)) {
    const std::string Ext = Lower(kxExtractFileExt(Rec.Name, kEither));
    if (Ext != ".dat" && Ext != ".vdbt" && Ext != ".rel") continue;
    const std::string Name = TVdbRelation::CalcStdName(Rec.Name);
    if (!IsSystemName(Name)) List.push_back(Name);
  }
  Data->FindFileClose(Rec);
}

}  // namespace vdb
