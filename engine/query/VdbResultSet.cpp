#include "query/VdbResultSet.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "base/VdbErrors.h"
#include "base/VdbServices.h"
#include "sql/VdbExpression.h"
#include "table/VdbIndexKeys.h"
#include "table/kxStrUtils.h"

namespace vdb {

namespace {

bool IsLongType(std::int16_t ColumnType) {
  return ColumnType == 7 || ColumnType == 11 || ColumnType == 19;
}

// One item of a sort-order text without its blanks; Descending tells a leading "-".
std::string SortItemName(std::string Item, bool& Descending) {
  const auto Blank = [](char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; };
  while (!Item.empty() && Blank(Item.front())) Item.erase(Item.begin());
  while (!Item.empty() && Blank(Item.back())) Item.pop_back();
  Descending = !Item.empty() && Item.front() == '-';
  if (Descending) Item.erase(Item.begin());
  if (!Item.empty() && Item.front() == '$') Item.erase(Item.begin());
  if (Item.size() >= 2 && Item.front() == '{' && Item.back() == '}')
    Item = Item.substr(1, Item.size() - 2);
  return Item;
}

bool WholeNumber(const std::string& Text, std::int32_t& Value) {
  if (Text.empty() || Text.size() > 9) return false;
  for (char C : Text)
    if (C < '0' || C > '9') return false;
  Value = std::stoi(Text);
  return true;
}

}  // namespace

TVdbResultSet::TVdbResultSet(TVdbServices* Services, std::string Name)
    : TVdbRelation(Services), FName(std::move(Name)) {
  FStdName = CalcStdName(FName);
  Temporary = true;
}

TVdbResultSet::~TVdbResultSet() {
  HookDeletions(false);
  FRowList.Clear();
  FQEP.reset();
  FVariables.reset();
  FAccessors.reset();
}

void TVdbResultSet::SetVariables(std::unique_ptr<TVdbVariables> Variables) {
  FVariables = std::move(Variables);
}

void TVdbResultSet::UpdateVariableValues(const TVdbVariables& Variables) {
  if (!FVariables) return;
  for (std::size_t I = 0; I < Variables.Count(); ++I) {
    const TVdbVariable* Given = Variables.Item(I);
    TVdbVariable* Own = FVariables->Find(Given->Name());
    if (Own == nullptr || Own == Given) continue;
    if (Own->DataType() == nullptr && Given->DataType() != nullptr)
      Own->SetDataType(Given->DataType());
    if (Given->HasValue()) Own->SetValue(Given->Value(), Given->DataType());
  }
}

// --- Preparation ------------------------------------------------------------------------------

void TVdbResultSet::SetSchema(std::unique_ptr<TVdbColumnDefs> ColumnDefs,
                              TVdbColumnOrigins ColumnOrigins) {
  if (!ColumnDefs) ColumnDefs = std::make_unique<TVdbColumnDefs>();
  if (static_cast<int>(ColumnOrigins.size()) != ColumnDefs->GetCount())
    throw std::invalid_argument("A result needs one column origin per column");
  for (int I = 0; I < ColumnDefs->GetCount(); ++I) {
    const TVdbColumnDef& Column = ColumnDefs->GetColumnDef(I);
    if (ColumnOrigins[static_cast<std::size_t>(I)].Kind == qckCalculated &&
        IsLongType(Column.GetColumnType()))
      throw EVdbEngine(kVdbErrFeatureNotInLevel, kxFormatArgs{FName, std::string("Calculated long column")});
  }
  FColumnDefs = std::move(ColumnDefs);
  FColumnOrigins = std::move(ColumnOrigins);
  FTableLevel = FColumnDefs->GetCount() > 0 && FColumnDefs->GetColumnDef(0).DataType != nullptr
                    ? FColumnDefs->GetColumnDef(0).DataType->Level()
                    : kVdbEngineLevel;
  FColumnDefs->ColumnDefChanged();
  RecalcColumnFlags();
  FKeyItem.clear();
}

void TVdbResultSet::SetAccessors(std::unique_ptr<TVdbAccessorSet> Accessors) {
  HookDeletions(false);
  FAccessors = std::move(Accessors);
  if (FQEP) HookDeletions(true);
}

void TVdbResultSet::SetQueryExecutionPlan(std::unique_ptr<TVdbResultPlan> Plan) {
  HookDeletions(false);
  FQEP = std::move(Plan);
  FReadLockRelations.reset();
  if (!FQEP) return;
  for (int I = 0; I < FQEP->RelationCount(); ++I) {
    const TVdbRelationIndex RltnIdx = FQEP->RelationIndex(I);
    if (RltnIdx >= 0 && RltnIdx < 256) FReadLockRelations.set(static_cast<std::size_t>(RltnIdx));
  }
  SetBaseRelations(FReadLockRelations);
  HookDeletions(true);
}

// The base table moves its last record into a freed slot; only deletions in the plan's first
// relation change the tuples (rows of a join's other relations stay as they are).
void TVdbResultSet::HookDeletions(bool Hook) {
  if (!FAccessors || !FQEP || FQEP->RelationCount() == 0) return;
  TVdbAccessor* First = BaseAccessor(FQEP->RelationIndex(0));
  if (First == nullptr) return;
  if (!Hook) {
    First->SetOnRecordDeleted(nullptr);
    return;
  }
  First->SetOnRecordDeleted([this](TVdbAccessor&, std::int32_t Deleted, std::int32_t Moved) {
    BaseRecordDeleted(Deleted, Moved);
  });
}

void TVdbResultSet::BaseRecordDeleted(std::int32_t Deleted, std::int32_t Moved) {
  bool Removed = false;
  FRowList.First();
  while (TRow* Row = FRowList.GetData()) {
    if (!Row->empty() && (*Row)[0] == Deleted) {
      FRowList.Delete();
      Removed = true;
      continue;
    }
    if (!Row->empty() && Moved > 0 && (*Row)[0] == Moved) (*Row)[0] = Deleted;
    FRowList.Next();
  }
  // Row positions behind a removed row move down by one: the accessors of the result re-read.
  if (Removed) NotifyRelationChanged();
}

std::int16_t TVdbResultSet::SetSortOrder(const std::string& SortOrder) {
  return Guarded([&]() -> std::int16_t {
    FIndexDef.Clear();
    FKeyItem.clear();
    if (SortOrder.empty()) return 0;
    std::string Specification;
    std::size_t Begin = 0;
    while (Begin <= SortOrder.size()) {
      std::size_t End = SortOrder.find(',', Begin);
      if (End == std::string::npos) End = SortOrder.size();
      const std::string Raw = SortOrder.substr(Begin, End - Begin);
      Begin = End + 1;
      bool Descending = false;
      const std::string Item = SortItemName(Raw, Descending);
      if (Item.empty() && Raw.find_first_not_of(" \t\r\n") == std::string::npos &&
          End == SortOrder.size() && !Specification.empty())
        break;  // a trailing ","
      const std::int16_t FieldNo = ResolveSortItem(Item);
      if (FieldNo <= 0) throw EVdbEngine(kVdbErrUnknownIdentifier, kxFormatArgs{Item});
      TVdbSortLevel Level;
      Level.FieldNo = FieldNo;
      Level.Descending = Descending;
      Level.Size = GetColumnDef(FieldNo).Size;
      Level.ColumnType = static_cast<std::uint8_t>(GetColumnDef(FieldNo).GetColumnType());
      FIndexDef.AddLevel(Level);
      if (!Specification.empty()) Specification += ",";
      Specification += (Descending ? "-" : "") + std::to_string(FieldNo);
    }
    // The key size of the levels for the result's table level.
    const auto Sized = CalcIndexDefinition(Specification, false);
    FIndexDef.FSize = Sized->FSize;
    FIndexDef.IsVarSize = Sized->IsVarSize;
    for (int I = 0; I < FIndexDef.LevelCount; ++I)
      FIndexDef.Items[static_cast<std::size_t>(I)].Size =
          Sized->Items[static_cast<std::size_t>(I)].Size;
    return 0;
  });
}

// A result column by name, by the name of the base column it shows, by "table.column" or by
// its number; 0 when none fits.
std::int16_t TVdbResultSet::ResolveSortItem(const std::string& Item) const {
  const std::int16_t Count = GetColumnCount();
  for (std::int16_t FieldNo = 1; FieldNo <= Count; ++FieldNo) {
    const TVdbColumnDef& Column = GetColumnDef(FieldNo);
    if (CompareIdentifiers(Column.Name, Item) == 0) return FieldNo;
    if (FColumnOrigins[static_cast<std::size_t>(FieldNo - 1)].Kind != qckData) continue;
    const TVdbRelation* Base = BaseRelationOrNull(Column.BaseRltnIdx);
    if (Base != nullptr && Column.BaseFieldNo >= 1 && Column.BaseFieldNo <= Base->GetColumnCount() &&
        CompareIdentifiers(Base->GetFieldName(Column.BaseFieldNo), Item) == 0)
      return FieldNo;
  }
  const std::size_t Dot = Item.rfind('.');
  if (Dot != std::string::npos && Dot > 0 && Dot + 1 < Item.size()) {
    const std::string Qualifier = Item.substr(0, Dot);
    const std::string ColumnName = Item.substr(Dot + 1);
    if (CompareIdentifiers(Qualifier, FName) == 0 || CompareIdentifiers(Qualifier, FStdName) == 0)
      return FindColumn(ColumnName, false);
    for (std::int16_t FieldNo = 1; FieldNo <= Count; ++FieldNo) {
      const TVdbColumnDef& Column = GetColumnDef(FieldNo);
      if (FColumnOrigins[static_cast<std::size_t>(FieldNo - 1)].Kind != qckData) continue;
      const TVdbRelation* Base = BaseRelationOrNull(Column.BaseRltnIdx);
      if (Base == nullptr || !Base->IsSameTableName(Qualifier)) continue;
      if (Column.BaseFieldNo >= 1 && Column.BaseFieldNo <= Base->GetColumnCount() &&
          CompareIdentifiers(Base->GetFieldName(Column.BaseFieldNo), ColumnName) == 0)
        return FieldNo;
    }
  }
  std::int32_t Number = 0;
  if (WholeNumber(Item, Number) && Number >= 1 && Number <= Count)
    return static_cast<std::int16_t>(Number);
  return 0;
}

// --- Collecting the rows ------------------------------------------------------------------------

void TVdbResultSet::ClearRows() { FRowList.Clear(); }

TVdbAccessor* TVdbResultSet::BaseAccessor(TVdbRelationIndex RltnIdx) const {
  return FAccessors ? FAccessors->GetAccessor(RltnIdx) : nullptr;
}

const TVdbRelation* TVdbResultSet::BaseRelationOrNull(TVdbRelationIndex RltnIdx) const {
  const TVdbAccessor* Accessor = BaseAccessor(RltnIdx);
  return Accessor ? &Accessor->Relation() : nullptr;
}

TVdbResultSet::TRow TVdbResultSet::CurrentTuple() const {
  TRow Row(static_cast<std::size_t>(FQEP->RelationCount()), 0);
  for (int I = 0; I < FQEP->RelationCount(); ++I) {
    const TVdbAccessor* Accessor = BaseAccessor(FQEP->RelationIndex(I));
    const std::int32_t RecNo = Accessor ? Accessor->CurrentRecordNo() : 0;
    Row[static_cast<std::size_t>(I)] = RecNo > 0 ? RecNo : 0;
  }
  return Row;
}

std::uint8_t* TVdbResultSet::KeyItem() {
  const std::size_t Size = static_cast<std::size_t>(FIndexDef.FSize) + kVdbIndexItemHeader + 8;
  if (FKeyItem.size() < Size) FKeyItem.assign(Size, 0);
  return FKeyItem.data();
}

std::int16_t TVdbResultSet::Recalc() {
  if (!FQEP || !FAccessors) return RecordError(kVdbErrNotSupported, {FStdName});
  std::vector<TVdbRelation*> Locked;
  const std::int16_t Result = Guarded([&]() -> std::int16_t {
    ClearRows();
    for (int I = 0; I < FQEP->RelationCount(); ++I) {
      TVdbAccessor* Accessor = BaseAccessor(FQEP->RelationIndex(I));
      if (Accessor == nullptr) continue;
      const std::int16_t Read = Accessor->Relation().BeginRead(true);
      if (Read < 0) throw EVdbEngine::CreateMsg(static_cast<std::int16_t>(-Read), Services()->LastErrorMsg());
      Locked.push_back(&Accessor->Relation());
    }
    DoRecalc();
    return 0;
  });
  if (Result < 0) ClearRows();
  FSorter.ExitSort();
  for (auto It = Locked.rbegin(); It != Locked.rend(); ++It) (*It)->EndRead();
  for (int I = 0; I < FAccessors->Count(); ++I) {
    TVdbAccessor* Accessor = FAccessors->GetAccessorAt(I);
    Accessor->SetAccess(kVdbAccessRecordNo, false);
    Accessor->Bookmarks().Clear();
  }
  FRowList.First();
  NotifyRelationChanged();
  return Result;
}

void TVdbResultSet::DoRecalc() {
  const bool Sorted = FIndexDef.LevelCount > 0;
  std::vector<TRow> Pending;
  if (Sorted) {
    FSorter.InitSort();
    FSorter.InitSortVar(&FIndexDef);
  }
  std::vector<std::uint8_t> Record(static_cast<std::size_t>(std::max(RecordSize(), 1)), 0);
  FQEP->Initialize();
  FQEP->Reset();
  while (FQEP->FindNext()) {
    if (!Sorted) {
      FRowList.Append(CurrentTuple());
      if (FTopCount > 0 && FRowList.Count() >= FTopCount) break;
      continue;
    }
    Pending.push_back(CurrentTuple());
    BuildRecord(Record.data());
    std::uint8_t* Item = KeyItem();
    const std::int32_t KeyLength =
        vdb::CalcIndexInfo(*FColumnDefs, Level(), Record.data(), FIndexDef, Item, FKeyItem.size(),
                           static_cast<std::int32_t>(Pending.size()));
    const std::int32_t ItemLength = KeyLength + static_cast<std::int32_t>(kVdbIndexItemHeader);
    if (ItemLength > 0xFFFF || !FSorter.ToSort(Item, static_cast<std::uint16_t>(ItemLength)))
      throw EVdbEngine(kVdbErrOutOfMemory, kxFormatArgs{});
  }
  if (Sorted) {
    std::uint32_t Comparisons = 0;
    FSorter.SortStart([this, &Comparisons](const std::uint8_t* X, std::int32_t, const std::uint8_t* Y,
                                           std::int32_t) {
      // A long sort notices a stop request too (looked at every few thousand comparisons).
      if ((++Comparisons & 0xFFF) == 0 && Services() != nullptr) Services()->ThrowIfStopped();
      bool NotUnique = false;
      return IndexLess(FIndexDef, X, Y, NotUnique);
    });
    std::vector<std::uint8_t> Key;
    while (!FSorter.SortEmpty() && (FTopCount <= 0 || FRowList.Count() < FTopCount)) {
      if (!FSorter.FromSort(Key) || Key.size() < kVdbIndexItemHeader)
        throw EVdbEngine(kVdbErrOutOfMemory, kxFormatArgs{});
      std::int32_t Position = 0;
      std::memcpy(&Position, Key.data(), sizeof(Position));
      if (Position < 1 || Position > static_cast<std::int32_t>(Pending.size()))
        throw EVdbEngine(kVdbErrOutOfMemory, kxFormatArgs{});
      FRowList.Append(std::move(Pending[static_cast<std::size_t>(Position - 1)]));
    }
  }
  SetResultRights();
  FUsingRowList = true;
}

void TVdbResultSet::SetResultRights() {
  std::uint16_t Rights = 0;
  if (FQEP && FQEP->RelationCount() == 1) {
    const TVdbRelation* Base = BaseRelationOrNull(FQEP->RelationIndex(0));
    if (Base != nullptr) Rights = Base->Rights() & kVdbWriteRights;
  }
  FRights = Rights | kVdbRightIndex;
}

bool TVdbResultSet::IsLive() const {
  return !ReadOnly() && FQEP != nullptr && FQEP->RelationCount() == 1;
}

TVdbRelation* TVdbResultSet::GetPrimaryBaseRelation() const {
  TVdbAccessor* Primary = FAccessors ? FAccessors->GetPrimaryAccessor() : nullptr;
  return Primary ? &Primary->Relation() : nullptr;
}

// --- Reading rows ---------------------------------------------------------------------------------

const TVdbResultSet::TRow* TVdbResultSet::GetRow(std::int32_t RecNo) {
  if (!FRowList.SetPosition(RecNo - 1)) return nullptr;
  return FRowList.GetData();
}

bool TVdbResultSet::PositionBase(std::int32_t RecNo) {
  const TRow* Row = GetRow(RecNo);
  if (Row == nullptr || !FQEP) return false;
  for (int I = 0; I < FQEP->RelationCount() && I < static_cast<int>(Row->size()); ++I) {
    TVdbAccessor* Accessor = BaseAccessor(FQEP->RelationIndex(I));
    if (Accessor == nullptr) continue;
    const std::int32_t BaseRecNo = (*Row)[static_cast<std::size_t>(I)];
    if (BaseRecNo <= 0) {
      Accessor->ToBoT();
      continue;
    }
    const std::int16_t Moved = Accessor->GotoRecord(BaseRecNo);
    if (Moved < 0) throw EVdbEngine::CreateMsg(static_cast<std::int16_t>(-Moved), Services()->LastErrorMsg());
  }
  return true;
}

void TVdbResultSet::BuildRecord(std::uint8_t* RecBuffer) {
  std::memset(RecBuffer, 0, static_cast<std::size_t>(RecordSize()));
  for (std::int16_t FieldNo = 1; FieldNo <= GetColumnCount(); ++FieldNo) {
    switch (FColumnOrigins[static_cast<std::size_t>(FieldNo - 1)].Kind) {
      case qckData:
        CopyDataColumn(FieldNo, RecBuffer);
        break;
      case qckCalculated:
        CalculateColumn(FieldNo, RecBuffer);
        break;
      case qckAggregate:
        break;
    }
  }
}

void TVdbResultSet::CopyDataColumn(std::int16_t FieldNo, std::uint8_t* RecBuffer) {
  const TVdbColumnDef& Column = GetColumnDef(FieldNo);
  TVdbAccessor* Accessor = BaseAccessor(Column.BaseRltnIdx);
  if (Accessor == nullptr || Accessor->CurrentRecordNo() <= 0) return;  // the NULL side
  const TVdbRelation& Base = Accessor->Relation();
  const std::uint8_t* BaseRecord = Accessor->GetRecordPtr();
  const TVdbColumnDef& BaseColumn = Base.GetColumnDef(Column.BaseFieldNo);
  // Same type (and so the same image), or a long column whose block reference is kept as it is,
  // so that reading the memo through the result reads the base table's memo file.
  if (BaseColumn.DataType == Column.DataType || IsLongType(Column.GetColumnType())) {
    const auto Size = static_cast<std::size_t>(std::min(BaseColumn.Size, Column.Size));
    std::memcpy(GetRecordField(RecBuffer, FieldNo), Base.GetRecordField(BaseRecord, Column.BaseFieldNo),
                Size);
    return;
  }
  TVdbDataValue Value;
  if (!Base.GetValue(BaseRecord, Column.BaseFieldNo, Value)) return;
  SetValue(RecBuffer, FieldNo, Value, BaseColumn.DataType);
}

void TVdbResultSet::CalculateColumn(std::int16_t FieldNo, std::uint8_t* RecBuffer) {
  TVdbCompiledExpression* Calculation =
      FColumnOrigins[static_cast<std::size_t>(FieldNo - 1)].Calculation.get();
  if (Calculation == nullptr) return;
  const TVdbColumnDef& Column = GetColumnDef(FieldNo);
  try {
    const TVdbDataType* Type = Calculation->ResultType();
    if (Type == nullptr || Type == Column.DataType) {
      Calculation->EvaluateToField(RecBuffer, GetRecordField(RecBuffer, FieldNo));
      return;
    }
    std::vector<std::uint8_t> Field(static_cast<std::size_t>(std::max(Type->DataSize(), 1)), 0);
    Calculation->EvaluateToField(RecBuffer, Field.data());
    TVdbDataValue Value;
    Value.ColumnType = static_cast<std::int16_t>(static_cast<std::uint16_t>(Type->ColumnType()) |
                                                 TVdbDataValue::kVdbReferenceBit);
    Value.DataPtr = Field.data();
    SetValue(RecBuffer, FieldNo, Value, Type);
  } catch (const EVdbEngine& Error) {
    // The record is still built: the value stays NULL and the error is kept.
    RecordError(Error);
    std::memset(GetRecordField(RecBuffer, FieldNo), 0, static_cast<std::size_t>(Column.Size));
  }
}

std::int16_t TVdbResultSet::ReadRecord(std::int32_t RecNo, std::uint8_t* RecBuffer) {
  return Guarded([&]() -> std::int16_t {
    if (!PositionBase(RecNo)) throw EVdbEngine(kVdbErrRecordNotFound, kxFormatArgs{});
    BuildRecord(RecBuffer);
    return 0;
  });
}

std::int16_t TVdbResultSet::InitRecord(std::uint8_t* RecBuffer, bool) {
  std::memset(RecBuffer, 0, static_cast<std::size_t>(RecordSize()));
  return 0;
}

std::int32_t TVdbResultSet::GetFirstRecordNo() { return FRowList.Count() > 0 ? 1 : -19; }
std::int32_t TVdbResultSet::GetNextRecordNo(std::int32_t RecNo) {
  return RecNo >= 0 && RecNo < FRowList.Count() ? RecNo + 1 : -19;
}
std::int32_t TVdbResultSet::GetPrevRecordNo(std::int32_t RecNo) {
  return RecNo >= 2 && RecNo <= FRowList.Count() + 1 ? RecNo - 1 : -19;
}
std::int32_t TVdbResultSet::GetLastRecordNo() {
  return FRowList.Count() > 0 ? FRowList.Count() : -19;
}

// --- Opening and closing --------------------------------------------------------------------------

std::int16_t TVdbResultSet::OpenFiles(bool) {
  return Guarded([&]() -> std::int16_t {
    AllocRecBuffer();
    FUsingRowList = true;
    return 0;
  });
}

std::int16_t TVdbResultSet::CloseFiles() {
  ClearRows();
  FUsingRowList = false;
  return 0;
}

std::int16_t TVdbResultSet::Setup(bool) { return 0; }

// --- Writing through a live result -------------------------------------------------------------------

TVdbAccessor& TVdbResultSet::PrimaryAccessor() const {
  TVdbAccessor* Primary = FAccessors ? FAccessors->GetPrimaryAccessor() : nullptr;
  if (Primary == nullptr) throw EVdbEngine(kVdbErrNoWritePermission, kxFormatArgs{});
  return *Primary;
}

std::int32_t TVdbResultSet::PrimaryRecordNo(std::int32_t RecNo) {
  const TRow* Row = GetRow(RecNo);
  if (Row == nullptr || Row->empty()) throw EVdbEngine(kVdbErrRecordNotFound, kxFormatArgs{});
  return (*Row)[0];
}

// The values of the data columns that come from the primary relation, into its record.
void TVdbResultSet::CopyToBase(const std::uint8_t* RecBuffer, std::uint8_t* BaseBuffer) const {
  TVdbAccessor& Primary = PrimaryAccessor();
  const TVdbRelation& Base = Primary.Relation();
  for (std::int16_t FieldNo = 1; FieldNo <= GetColumnCount(); ++FieldNo) {
    if (FColumnOrigins[static_cast<std::size_t>(FieldNo - 1)].Kind != qckData) continue;
    const TVdbColumnDef& Column = GetColumnDef(FieldNo);
    if (Column.BaseRltnIdx != FAccessors->PrimaryRltnIdx()) continue;
    const TVdbColumnDef& BaseColumn = Base.GetColumnDef(Column.BaseFieldNo);
    if (IsLongType(Column.GetColumnType())) continue;  // written through the blob list
    if (BaseColumn.DataType == Column.DataType) {
      std::memcpy(Base.GetRecordField(BaseBuffer, Column.BaseFieldNo),
                  GetRecordField(RecBuffer, FieldNo), static_cast<std::size_t>(Column.Size));
      continue;
    }
    TVdbDataValue Value;
    if (GetValue(RecBuffer, FieldNo, Value))
      Base.SetValue(BaseBuffer, Column.BaseFieldNo, Value, Column.DataType);
    else
      Base.SetNull(BaseBuffer, Column.BaseFieldNo);
  }
}

void TVdbResultSet::RemapBlobs(const TVdbBlobDataList* Blobs, TVdbBlobDataList& BaseBlobs) const {
  if (Blobs == nullptr) return;
  for (const TVdbBlobData& Blob : *Blobs) {
    if (Blob.FieldNo < 1 || Blob.FieldNo > GetColumnCount()) continue;
    const TVdbColumnDef& Column = GetColumnDef(Blob.FieldNo);
    if (Column.BaseRltnIdx != FAccessors->PrimaryRltnIdx()) continue;
    TVdbBlobData Mapped = Blob;
    Mapped.FieldNo = Column.BaseFieldNo;
    BaseBlobs.push_back(std::move(Mapped));
  }
}

std::int16_t TVdbResultSet::ReplaceRecord(std::uint8_t* RecBuffer, const std::uint8_t*,
                                          std::int32_t RecNo, const TVdbBlobDataList* Blobs) {
  return Guarded([&]() -> std::int16_t {
    if (!IsLive()) throw EVdbEngine(kVdbErrNoWritePermission, kxFormatArgs{});
    const std::int32_t BaseRecNo = PrimaryRecordNo(RecNo);
    TVdbRelation& Base = PrimaryAccessor().Relation();
    std::vector<std::uint8_t> Original(static_cast<std::size_t>(Base.RecordSize()));
    std::int16_t Result = Base.ReadRecord(BaseRecNo, Original.data());
    if (Result < 0) return Result;
    std::vector<std::uint8_t> Changed = Original;
    CopyToBase(RecBuffer, Changed.data());
    TVdbBlobDataList BaseBlobs;
    RemapBlobs(Blobs, BaseBlobs);
    Result = Base.ReplaceRecord(Changed.data(), Original.data(), BaseRecNo, &BaseBlobs);
    if (Result >= 0) NotifyRecordChanged(RecNo);
    return Result;
  });
}

std::int16_t TVdbResultSet::DeleteRecord(std::uint8_t*, std::int32_t RecNo) {
  return Guarded([&]() -> std::int16_t {
    if (!IsLive()) throw EVdbEngine(kVdbErrNoWritePermission, kxFormatArgs{});
    const std::int32_t BaseRecNo = PrimaryRecordNo(RecNo);
    TVdbRelation& Base = PrimaryAccessor().Relation();
    std::vector<std::uint8_t> Record(static_cast<std::size_t>(Base.RecordSize()));
    std::int16_t Result = Base.ReadRecord(BaseRecNo, Record.data());
    if (Result < 0) return Result;
    // The base table's notice removes the tuple (and renumbers the moved record's tuple).
    return Base.DeleteRecord(Record.data(), BaseRecNo);
  });
}

std::int32_t TVdbResultSet::AppendRecord(std::uint8_t* RecBuffer, const TVdbBlobDataList* Blobs) {
  return Guarded([&]() -> std::int32_t {
    if (!IsLive()) throw EVdbEngine(kVdbErrNoWritePermission, kxFormatArgs{});
    TVdbRelation& Base = PrimaryAccessor().Relation();
    std::vector<std::uint8_t> Record(static_cast<std::size_t>(Base.RecordSize()));
    std::int16_t Result = Base.InitRecord(Record.data(), true);
    if (Result < 0) return Result;
    CopyToBase(RecBuffer, Record.data());
    TVdbBlobDataList BaseBlobs;
    RemapBlobs(Blobs, BaseBlobs);
    const std::int32_t BaseRecNo = Base.AppendRecord(Record.data(), &BaseBlobs);
    if (BaseRecNo <= 0) return BaseRecNo;
    if (FUsingRowList) {
      TRow Row(static_cast<std::size_t>(FQEP->RelationCount()), 0);
      Row[0] = BaseRecNo;
      FRowList.Append(std::move(Row));
    }
    NotifyRelationChanged();
    return FRowList.Count();
  });
}

std::int32_t TVdbResultSet::ClearDat() {
  return Guarded([&]() -> std::int32_t {
    if (!IsLive()) throw EVdbEngine(kVdbErrNoWritePermission, kxFormatArgs{});
    HookDeletions(false);
    FRowList.Sort([](const TRow& A, const TRow& B) { return A[0] < B[0]; });
    TVdbRelation& Base = PrimaryAccessor().Relation();
    std::vector<std::uint8_t> Record(static_cast<std::size_t>(Base.RecordSize()));
    std::int32_t Deleted = 0;
    std::int32_t FirstError = 0;
    // From the highest record number down: a deletion moves the table's last record, which is
    // then never one of the rows still to be deleted.
    for (std::int32_t Position = FRowList.Count(); Position >= 1; --Position) {
      const std::int32_t BaseRecNo = PrimaryRecordNo(Position);
      std::int32_t Result = BaseRecNo > 0 ? Base.ReadRecord(BaseRecNo, Record.data()) : -19;
      if (Result >= 0) Result = Base.DeleteRecord(Record.data(), BaseRecNo);
      if (Result >= 0)
        ++Deleted;
      else if (FirstError == 0)
        FirstError = Result;
    }
    ClearRows();
    HookDeletions(true);
    NotifyRelationEmptied();
    return Deleted > 0 || FirstError == 0 ? Deleted : FirstError;
  });
}

// --- Memos, blobs and locks go to the base relations -------------------------------------------------

TVdbRelation& TVdbResultSet::BaseRelationOf(std::int16_t FieldNo) const {
  const TVdbColumnDef& Column = GetColumnDef(FieldNo);
  TVdbAccessor* Accessor = BaseAccessor(Column.BaseRltnIdx);
  if (Accessor == nullptr || FColumnOrigins[static_cast<std::size_t>(FieldNo - 1)].Kind != qckData)
    throw EVdbEngine(kVdbErrBlobFieldExpected, kxFormatArgs{Column.Name});
  return Accessor->Relation();
}

// The base record image with the block reference of the result's field in its column.
namespace {
std::vector<std::uint8_t> BaseImage(const TVdbRelation& Result, const std::uint8_t* RecBuffer,
                                    std::int16_t FieldNo, const TVdbRelation& Base) {
  const TVdbColumnDef& Column = Result.GetColumnDef(FieldNo);
  std::vector<std::uint8_t> Image(static_cast<std::size_t>(Base.RecordSize()), 0);
  const TVdbColumnDef& BaseColumn = Base.GetColumnDef(Column.BaseFieldNo);
  std::memcpy(Base.GetRecordField(Image.data(), Column.BaseFieldNo),
              Result.GetRecordField(RecBuffer, FieldNo),
              static_cast<std::size_t>(std::min(Column.Size, BaseColumn.Size)));
  return Image;
}
}  // namespace

// Runs Read on the base relation of a long column with a base image holding the field's block
// reference.
template <class TRead>
auto TVdbResultSet::ReadLong(const std::uint8_t* RecBuffer, std::int16_t FieldNo, TRead&& Read)
    -> decltype(Read(*this, nullptr, FieldNo)) {
  return Guarded([&]() -> decltype(Read(*this, nullptr, FieldNo)) {
    TVdbRelation& Base = BaseRelationOf(FieldNo);
    const std::vector<std::uint8_t> Image = BaseImage(*this, RecBuffer, FieldNo, Base);
    return Read(Base, Image.data(), GetColumnDef(FieldNo).BaseFieldNo);
  });
}

std::int32_t TVdbResultSet::GetBlobLength(const std::uint8_t* RecBuffer, std::int16_t FieldNo) {
  return ReadLong(RecBuffer, FieldNo, [](TVdbRelation& B, const std::uint8_t* I, std::int16_t F) {
    return B.GetBlobLength(I, F);
  });
}

std::int32_t TVdbResultSet::GetMemoLength(const std::uint8_t* RecBuffer, std::int16_t FieldNo) {
  return ReadLong(RecBuffer, FieldNo, [](TVdbRelation& B, const std::uint8_t* I, std::int16_t F) {
    return B.GetMemoLength(I, F);
  });
}

std::int16_t TVdbResultSet::ReadMemoString(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                           std::string& Value) {
  return ReadLong(RecBuffer, FieldNo, [&](TVdbRelation& B, const std::uint8_t* I, std::int16_t F) {
    return B.ReadMemoString(I, F, Value);
  });
}

std::int16_t TVdbResultSet::GetBlobType(const std::uint8_t* RecBuffer, std::int16_t FieldNo) {
  return ReadLong(RecBuffer, FieldNo, [](TVdbRelation& B, const std::uint8_t* I, std::int16_t F) {
    return B.GetBlobType(I, F);
  });
}

std::int16_t TVdbResultSet::ReadBlobData(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                         std::string& Data, std::int16_t& BlobType) {
  return ReadLong(RecBuffer, FieldNo, [&](TVdbRelation& B, const std::uint8_t* I, std::int16_t F) {
    return B.ReadBlobData(I, F, Data, BlobType);
  });
}

std::int16_t TVdbResultSet::ReadBlobDataWide(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                             std::u16string& Value) {
  return ReadLong(RecBuffer, FieldNo, [&](TVdbRelation& B, const std::uint8_t* I, std::int16_t F) {
    return B.ReadBlobDataWide(I, F, Value);
  });
}

// Writing a long value: into the primary relation's memo or blob file; the new block reference
// lands in the result's field.
namespace {
template <class TWrite>
std::int16_t WriteLong(TVdbRelation& Result, TVdbRelation& Base, std::uint8_t* RecBuffer,
                       std::int16_t FieldNo, TWrite&& Write) {
  std::vector<std::uint8_t> Image = BaseImage(Result, RecBuffer, FieldNo, Base);
  const TVdbColumnDef& Column = Result.GetColumnDef(FieldNo);
  const std::int16_t Written = Write(Image.data(), Column.BaseFieldNo);
  if (Written >= 0)
    std::memcpy(Result.GetRecordField(RecBuffer, FieldNo),
                Base.GetRecordField(Image.data(), Column.BaseFieldNo),
                static_cast<std::size_t>(Column.Size));
  return Written;
}
}  // namespace

std::int16_t TVdbResultSet::WriteMemoString(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                            const std::string& Value) {
  return Guarded([&]() -> std::int16_t {
    TVdbRelation& Base = PrimaryAccessor().Relation();
    return WriteLong(*this, Base, RecBuffer, FieldNo, [&](std::uint8_t* Image, std::int16_t No) {
      return Base.WriteMemoString(Image, No, Value);
    });
  });
}

std::int16_t TVdbResultSet::WriteBlobData(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                          const std::string& Data, std::int16_t BlobType) {
  return Guarded([&]() -> std::int16_t {
    TVdbRelation& Base = PrimaryAccessor().Relation();
    return WriteLong(*this, Base, RecBuffer, FieldNo, [&](std::uint8_t* Image, std::int16_t No) {
      return Base.WriteBlobData(Image, No, Data, BlobType);
    });
  });
}

std::int16_t TVdbResultSet::WriteBlobDataWide(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                              const std::u16string& Value) {
  return Guarded([&]() -> std::int16_t {
    TVdbRelation& Base = PrimaryAccessor().Relation();
    return WriteLong(*this, Base, RecBuffer, FieldNo, [&](std::uint8_t* Image, std::int16_t No) {
      return Base.WriteBlobDataWide(Image, No, Value);
    });
  });
}

std::int16_t TVdbResultSet::DoGetLinkString(const std::uint8_t*, std::int16_t, std::string& Result) {
  Result.clear();
  return 0;
}

std::string TVdbResultSet::GetBlobBaseDir() const {
  const TVdbRelation* Primary = GetPrimaryBaseRelation();
  return Primary ? Primary->GetBlobBaseDir() : std::string();
}

std::int16_t TVdbResultSet::GetBaseField(std::int16_t FieldNo, TVdbRelationIndex& BaseRltnIdx,
                                         std::int16_t& BaseFieldNo) const {
  BaseRltnIdx = 0;
  BaseFieldNo = 0;
  if (FieldNo < 1 || FieldNo > GetColumnCount()) return RecordError(kVdbErrFieldNotFound, {});
  if (FColumnOrigins[static_cast<std::size_t>(FieldNo - 1)].Kind != qckData) return 0;
  const TVdbColumnDef& Column = GetColumnDef(FieldNo);
  BaseRltnIdx = Column.BaseRltnIdx;
  BaseFieldNo = Column.BaseFieldNo;
  return 0;
}

#define VDB_TO_PRIMARY(Call, Otherwise)                              \
  TVdbRelation* Primary = GetPrimaryBaseRelation();                  \
  if (Primary == nullptr) return Otherwise;                          \
  return Primary->Call

std::int16_t TVdbResultSet::BeginRead(bool Wait) { VDB_TO_PRIMARY(BeginRead(Wait), 0); }
std::int16_t TVdbResultSet::BeginUpgrade(bool Wait) { VDB_TO_PRIMARY(BeginUpgrade(Wait), 0); }
std::int16_t TVdbResultSet::BeginWrite(bool Wait) { VDB_TO_PRIMARY(BeginWrite(Wait), 0); }
std::int16_t TVdbResultSet::BeginExclusive(bool Wait) { VDB_TO_PRIMARY(BeginExclusive(Wait), 0); }
std::int16_t TVdbResultSet::EndRead() { VDB_TO_PRIMARY(EndRead(), 0); }
std::int16_t TVdbResultSet::EndUpgrade() { VDB_TO_PRIMARY(EndUpgrade(), 0); }
std::int16_t TVdbResultSet::EndWrite() { VDB_TO_PRIMARY(EndWrite(), 0); }
std::int16_t TVdbResultSet::EndExclusive() { VDB_TO_PRIMARY(EndExclusive(), 0); }
std::int16_t TVdbResultSet::Flush() { VDB_TO_PRIMARY(Flush(), 0); }
std::int16_t TVdbResultSet::Undo() { VDB_TO_PRIMARY(Undo(), 0); }
std::int16_t TVdbResultSet::CheckUpdate() { VDB_TO_PRIMARY(CheckUpdate(), 0); }
#undef VDB_TO_PRIMARY

std::int32_t TVdbResultSet::CountReadLocks() const {
  const TVdbRelation* Primary = GetPrimaryBaseRelation();
  return Primary && FQEP && FQEP->RelationCount() == 1 ? Primary->CountReadLocks() : 0;
}
std::int32_t TVdbResultSet::CountWriteLocks() const {
  const TVdbRelation* Primary = GetPrimaryBaseRelation();
  return Primary && FQEP && FQEP->RelationCount() == 1 ? Primary->CountWriteLocks() : 0;
}

// Edit locks name the base record behind the row.
std::int16_t TVdbResultSet::CheckEdit(std::int32_t RecNo, TVdbRelationListener* Excluded) {
  return Guarded([&]() -> std::int16_t {
    TVdbRelation* Primary = GetPrimaryBaseRelation();
    return Primary ? Primary->CheckEdit(PrimaryRecordNo(RecNo), Excluded) : 0;
  });
}
std::int16_t TVdbResultSet::SwitchEdit(std::int32_t FromRecNo, std::int32_t ToRecNo) {
  return Guarded([&]() -> std::int16_t {
    TVdbRelation* Primary = GetPrimaryBaseRelation();
    if (Primary == nullptr) return 0;
    const std::int32_t From = FromRecNo > 0 ? PrimaryRecordNo(FromRecNo) : FromRecNo;
    const std::int32_t To = ToRecNo > 0 ? PrimaryRecordNo(ToRecNo) : ToRecNo;
    return Primary->SwitchEdit(From, To);
  });
}
std::int16_t TVdbResultSet::EndEdit(std::int32_t RecNo) {
  return Guarded([&]() -> std::int16_t {
    TVdbRelation* Primary = GetPrimaryBaseRelation();
    return Primary ? Primary->EndEdit(PrimaryRecordNo(RecNo)) : 0;
  });
}

// --- The virtual index ---------------------------------------------------------------------------

std::int16_t TVdbResultSet::NotSupported() const {
  return RecordError(kVdbErrNotSupported, {FStdName});
}

std::int16_t TVdbResultSet::InitIndex(const std::string&, const TVdbSortDef*) {
  return NotSupported();
}
TVdbIndexFile* TVdbResultSet::GetIndexFile(std::int16_t IndexNo) const {
  if (IndexNo == kResultIndexNo) return nullptr;
  throw std::out_of_range("Index number out of range");
}
std::int16_t TVdbResultSet::NewIndex(const std::string&, const TVdbSortDef&,
                                     const TVdbIndexFile::TProgressFunc&, std::int32_t) {
  return NotSupported();
}
std::int16_t TVdbResultSet::RemoveInd(std::int16_t) { return NotSupported(); }
std::int16_t TVdbResultSet::MoveIndex(std::int16_t, std::int16_t) { return NotSupported(); }
std::int16_t TVdbResultSet::FindFirstIndexInfo(std::int16_t, TVdbLongIndexInfo&) {
  return NotSupported();
}
std::int16_t TVdbResultSet::FindNextIndexInfo(std::int16_t, TVdbLongIndexInfo&) {
  return NotSupported();
}
std::int16_t TVdbResultSet::FindLastIndexInfo(std::int16_t, TVdbLongIndexInfo&) {
  return NotSupported();
}
std::int16_t TVdbResultSet::FindPrevIndexInfo(std::int16_t, TVdbLongIndexInfo&) {
  return NotSupported();
}
std::int16_t TVdbResultSet::GetNativeSortInfo(std::int32_t, TVdbLongIndexInfo&) {
  return RecordError(kVdbErrNotSupported, {FStdName});
}
std::int16_t TVdbResultSet::SetAutoNum(std::uint8_t*) { return NotSupported(); }
std::int16_t TVdbResultSet::AdjustRecordId(const std::uint8_t*) { return NotSupported(); }
std::int16_t TVdbResultSet::CancelAutoNum(std::int32_t) { return NotSupported(); }
std::int32_t TVdbResultSet::ReadNextRecordId() { return NotSupported(); }
std::int16_t TVdbResultSet::SearchFullText(std::int16_t, const std::string&,
                                           std::vector<std::int32_t>&) {
  return NotSupported();
}
std::int16_t TVdbResultSet::CheckIndexOpen(std::int16_t IndexNo) {
  if (IndexNo == kResultIndexNo && FIndexDef.LevelCount > 0) return 0;
  return RecordError(kVdbErrNoSuitableIndex, {IndexLabel(IndexNo)});
}
const TVdbSortDef* TVdbResultSet::GetIndexDefinition(std::int16_t IndexNo) {
  return IndexNo == kResultIndexNo && FIndexDef.LevelCount > 0 ? &FIndexDef : nullptr;
}

std::int16_t TVdbResultSet::FindIndex(const TVdbSortDef& IndexDef, TVdbIndexFindOptions Options,
                                      bool& Reverse) {
  Reverse = false;
  if (FIndexDef.LevelCount == 0) {
    if (IndexDef.LevelCount == 0 || IndexDef.IsCalculated) return -1;
    const TVdbSortDef Saved = IndexDef;
    FIndexDef = Saved;
    FKeyItem.clear();
    if (FQEP && FAccessors && Recalc() < 0) return -1;
    return kResultIndexNo;
  }
  return FIndexDef.Covers(IndexDef, (Options & tifoNoReverse) == 0, Reverse) ? kResultIndexNo : -1;
}

std::int16_t TVdbResultSet::FindSortInfo(std::int16_t AccessId, const TVdbLongIndexInfo& SearchInfo,
                                         TVdbLongIndexInfo& FoundInfo) {
  return Guarded([&]() -> std::int16_t {
    if (AccessId != kResultIndexNo || FIndexDef.LevelCount == 0)
      throw EVdbEngine(kVdbErrNoSuitableIndex, kxFormatArgs{IndexLabel(AccessId)});
    const std::int32_t Count = FRowList.Count();
    if (Count == 0) return 0;
    std::vector<std::uint8_t> Record(static_cast<std::size_t>(std::max(RecordSize(), 1)));
    std::uint8_t* ProbeItem = KeyItem();
    auto& Probe = *reinterpret_cast<TVdbLongIndexInfo*>(ProbeItem);
    const auto KeyOf = [&](std::int32_t RecNo) {
      if (ReadRecord(RecNo, Record.data()) < 0)
        throw EVdbEngine::CreateMsg(Services()->LastErrorCode(), Services()->LastErrorMsg());
      vdb::CalcIndexInfo(*FColumnDefs, Level(), Record.data(), FIndexDef, ProbeItem,
                         FKeyItem.size(), RecNo);
    };
    // The first row whose key is not below the search key (keys compared without record numbers).
    std::int32_t Low = 1, High = Count + 1;
    while (Low < High) {
      const std::int32_t Mid = Low + (High - Low) / 2;
      KeyOf(Mid);
      bool NotUnique = false;
      std::vector<std::uint8_t> Search(FKeyItem.size(), 0);
      std::memcpy(Search.data(), &SearchInfo, static_cast<std::size_t>(FIndexDef.FSize));
      const std::int32_t BeforeEveryRow = 0;
      std::memcpy(Search.data(), &BeforeEveryRow, sizeof(BeforeEveryRow));
      if (IndexLess(FIndexDef, reinterpret_cast<const std::uint8_t*>(&Probe), Search.data(),
                    NotUnique))
        Low = Mid + 1;
      else
        High = Mid;
    }
    if (Low > Count) return 0;
    KeyOf(Low);
    std::memcpy(&FoundInfo, &Probe, static_cast<std::size_t>(FIndexDef.FSize));
    // The same answers as every relation's key search: 3 the same key, 1 the next entry.
    return IsSameIndexInfo(FIndexDef, Probe, SearchInfo) ? 3 : 1;
  });
}

}  // namespace vdb
