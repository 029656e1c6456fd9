#include "table/VdbDefinitions.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <stdexcept>

#include "base/VdbErrors.h"
#include "storage/kxMemory.h"
#include "table/VdbData.h"
#include "table/kxStrUtils.h"

namespace vdb {

namespace {

// Positions of the fixed letters of the check marker.
constexpr int kMarkerV = 7, kMarkerD = 24, kMarkerB = 37;

// The largest maximum length of a memo: the text's 4-byte length prefix sets the bound.
constexpr std::int32_t kMemoMaxLength = std::numeric_limits<std::int32_t>::max();

[[noreturn]] void ThrowCorrupt() { throw EVdbEngine(kVdbErrTableCorrupt, kxFormatArgs{}); }

bool IsBlockCode(std::int16_t Code) { return Code == 7 || Code == 11 || Code == 19; }

// Sequential little-endian reader over a definition block that never reads past its bytes: any
// read beyond the end is a corrupt (truncated) block.
class TBlockReader {
 public:
  TBlockReader(const std::uint8_t* Data, std::size_t Size, std::size_t Pos = 0)
      : FData(Data), FSize(Size), FPos(std::min(Pos, Size)) {}
  std::size_t Pos() const { return FPos; }

  bool Has(std::size_t Count) const { return FSize - FPos >= Count; }
  std::uint8_t Byte() {
    Need(1);
    return FData[FPos++];
  }
  std::uint16_t UInt16() {
    Need(2);
    std::uint16_t v = static_cast<std::uint16_t>(FData[FPos] | (FData[FPos + 1] << 8));
    FPos += 2;
    return v;
  }
  std::int16_t Int16() { return static_cast<std::int16_t>(UInt16()); }
  std::uint32_t UInt32() {
    std::uint32_t lo = UInt16();
    std::uint32_t hi = UInt16();
    return lo | (hi << 16);
  }
  std::int32_t Int32() { return static_cast<std::int32_t>(UInt32()); }
  std::u16string Units(std::size_t Count) {
    Need(2 * Count);
    std::u16string units(Count, u'\0');
    for (std::size_t i = 0; i < Count; ++i) {
      units[i] = static_cast<char16_t>(FData[FPos + 2 * i] | (FData[FPos + 2 * i + 1] << 8));
    }
    FPos += 2 * Count;
    return units;
  }
  // A counted UTF-16LE string, as UTF-8.
  std::string String() { return TkxMemory::Utf16ToUtf8(Units(UInt16())); }

 private:
  void Need(std::size_t Count) const {
    if (!Has(Count)) ThrowCorrupt();
  }
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FPos;
};

class TBlockWriter {
 public:
  void Byte(std::uint8_t v) { FBytes.push_back(v); }
  void UInt16(std::uint16_t v) {
    Byte(static_cast<std::uint8_t>(v));
    Byte(static_cast<std::uint8_t>(v >> 8));
  }
  void UInt32(std::uint32_t v) {
    UInt16(static_cast<std::uint16_t>(v));
    UInt16(static_cast<std::uint16_t>(v >> 16));
  }
  void Units(const std::u16string& Units) {
    for (char16_t unit : Units) UInt16(static_cast<std::uint16_t>(unit));
  }
  void String(const std::string& Text) {
    std::u16string units = TkxMemory::Utf8ToUtf16(Text);
    if (units.size() > 0xFFFF) {
      throw std::length_error("Text of more than 65535 characters in a table definition");
    }
    UInt16(static_cast<std::uint16_t>(units.size()));
    Units(units);
  }
  std::vector<std::uint8_t>& Bytes() { return FBytes; }

 private:
  std::vector<std::uint8_t> FBytes;
};

const TVdbStringType* AsString(const TVdbDataType* Type) {
  return dynamic_cast<const TVdbStringType*>(Type);
}

// The registry type that differs from Type in nullability and table level only. NullByteOption
// is the column's option 8, which decides the null byte of dates and time stamps below level 6.
const TVdbDataType* Retype(const TVdbDataType* Type, bool Nullable, std::int16_t Level,
                           bool NullByteOption) {
  const std::int16_t code = Type->ColumnType();
  switch (code) {
    case 1:
    case 7:
    case 18:
    case 19: {
      const TVdbStringType* s = AsString(Type);
      return TVdbDataType::GetStringType(code, Nullable, Level, s->MaxLength(), s->CollationName());
    }
    case 3:
      return TVdbDataType::GetFloatType(Nullable, Level,
                                        dynamic_cast<const TVdbFloatType*>(Type)->Scale());
    case 6:
    case 17:
    case 13: {
      // Times keep the null byte the column has; dates and time stamps lose it from level 6 on.
      const bool nullByte = NullByteOption && Nullable && (code == 13 || Level < 6);
      return TVdbDataType::GetDateTimeType(
          code, Nullable, Level, dynamic_cast<const TVdbDateTimeType*>(Type)->Precision(), nullByte);
    }
    case 8: {
      const auto* e = dynamic_cast<const TVdbEnumType*>(Type);
      return TVdbDataType::GetEnumType(Nullable, Level, e->Name(), e->Flags(), e->Items());
    }
    case 11:
      return TVdbDataType::GetBinaryType(Nullable, Level,
                                         dynamic_cast<const TVdbBinaryType*>(Type)->MaxLength());
    default:
      return TVdbDataType::GetDataType(code, Nullable, Level);
  }
}

}  // namespace

// --- Expressions --------------------------------------------------------------------------------

TVdbExpressionSource TVdbExpressionSource::FromStored(const std::string& Stored,
                                                      std::int16_t TableLevel) {
  if (TableLevel <= 4) return TVdbExpressionSource(Stored, !Stored.empty());
  if (!Stored.empty() && Stored[0] == '@') return TVdbExpressionSource(Stored.substr(1), true);
  return TVdbExpressionSource(Stored, false);
}

std::string TVdbExpressionSource::StoredText(std::int16_t TableLevel) const {
  if (FProcedural && TableLevel >= 5) return "@" + FSource;
  return FSource;
}

std::unique_ptr<TVdbCalculation> TVdbCalculation::Clone() const {
  return std::make_unique<TVdbCalculation>(FSource);
}

void TVdbCalculation::Compile(TVdbExpressionFactory& Factory, const TVdbColumnDefs& Columns,
                              std::int16_t TableLevel) {
  std::unique_ptr<TVdbCompiledExpression> compiled =
      Factory.CompileExpression(FSource.Source(), FSource.Procedural(), Columns, TableLevel);
  if (!compiled || !compiled->ResultType()) {
    throw EVdbEngine(kVdbErrNoValue, kxFormatArgs{});  // "The expression does not evaluate to a value"
  }
  FResultType = compiled->ResultType();
  FUsedRelations = compiled->UsedRelations();
  FCompiled = std::move(compiled);
}

std::unique_ptr<TVdbCondition> TVdbCondition::Clone() const {
  return std::make_unique<TVdbCondition>(FSource);
}

void TVdbCondition::Compile(TVdbExpressionFactory& Factory, const TVdbColumnDefs& Columns,
                            std::int16_t TableLevel) {
  FCompiled = Factory.CompileCondition(FSource.Source(), FSource.Procedural(), Columns, TableLevel);
}

// --- Named definitions --------------------------------------------------------------------------

TVdbNamedDefs::TVdbNamedDefs(const TVdbNamedDefs& Other) {
  FItems.reserve(Other.FItems.size());
  for (const auto& item : Other.FItems) FItems.push_back(item->CloneNamed());
}

TVdbNamedDefs& TVdbNamedDefs::operator=(const TVdbNamedDefs& Other) {
  if (this != &Other) {
    TVdbNamedDefs copy(Other);
    FItems = std::move(copy.FItems);
  }
  return *this;
}

TVdbNamedDef& TVdbNamedDefs::Add(std::unique_ptr<TVdbNamedDef> Def) {
  if (!Def) throw std::invalid_argument("TVdbNamedDefs::Add: no definition");
  FItems.push_back(std::move(Def));
  return *FItems.back();
}

int TVdbNamedDefs::IndexOf(std::string_view Name) const {
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    if (CompareIdentifiers(FItems[i]->Name(), Name) == 0) return static_cast<int>(i);
  }
  return -1;
}

TVdbNamedDef* TVdbNamedDefs::FindByName(std::string_view Name) const {
  const int index = IndexOf(Name);
  return index < 0 ? nullptr : FItems[static_cast<std::size_t>(index)].get();
}

bool TVdbNamedDefs::DeleteByName(std::string_view Name) {
  const int index = IndexOf(Name);
  if (index < 0) return false;
  FItems.erase(FItems.begin() + index);
  return true;
}

std::string JoinNames(const std::vector<std::string>& Names, char Separator) {
  std::string result;
  for (std::size_t i = 0; i < Names.size(); ++i) {
    if (i > 0) result += Separator;
    result += Names[i];
  }
  return result;
}

std::vector<std::string> SplitNames(const std::string& List, char Separator) {
  std::vector<std::string> names;
  if (List.empty()) return names;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = List.find(Separator, start);
    names.push_back(List.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return names;
}

// --- Column definitions -------------------------------------------------------------------------

TVdbColumnDef::TVdbColumnDef(const std::string& Name, const TVdbDataType* DataType,
                             std::uint32_t Options)
    : Name(Name), DataType(DataType), Options(Options) {
  if (!DataType) throw std::invalid_argument("TVdbColumnDef: no data type");
  TypeChanged();
}

TVdbColumnDef::TVdbColumnDef(const TVdbColumnDef& Other)
    : Name(Other.Name),
      DataType(Other.DataType),
      Size(Other.Size),
      Options(Other.Options),
      Position(Other.Position),
      BaseRltnIdx(Other.BaseRltnIdx),
      BaseFieldNo(Other.BaseFieldNo),
      FCalculation(Other.FCalculation ? Other.FCalculation->Clone() : nullptr) {}

void TVdbColumnDef::TypeChanged() {
  const std::int16_t code = DataType->ColumnType();
  Size = IsBlockCode(code) ? 4 : static_cast<std::int16_t>(DataType->DataSize());
  if (!IsBlockCode(code) && DataType->HasNullByte()) {
    Options |= kVdbColNullByte;
  } else {
    Options &= ~kVdbColNullByte;
  }
}

std::unique_ptr<TVdbColumnDef> TVdbColumnDef::CreateColumnDef(const std::string& Name,
                                                              const TVdbDataType* DataType,
                                                              std::uint32_t Options) {
  return CreateStringColumnDef(Name, DataType, std::string(), Options);
}

std::unique_ptr<TVdbColumnDef> TVdbColumnDef::CreateStringColumnDef(
    const std::string& Name, const TVdbDataType* DataType, const std::string& CollationName,
    std::uint32_t Options) {
  if (!DataType) return nullptr;
  switch (DataType->ColumnType()) {
    case 0:
    case 1:
    case 7:
    case 18:
    case 19:
      return std::make_unique<TVdbTextColumnDef>(Name, DataType, CollationName, Options);
    case 3:
      return std::make_unique<TVdbNumberColumnDef>(Name, DataType, Options);
    case 8:
      return std::make_unique<TVdbEnumColumnDef>(Name, DataType, Options);
    case 9:
      return std::make_unique<TVdbRecordIdColumnDef>(Name, DataType, Options);
    case 10:
    case 12:
      return std::make_unique<TVdbAdlColumnDef>(Name, DataType, Options);
    case 13:
      return std::make_unique<TVdbTimeColumnDef>(Name, DataType, Options);
    case -1:
    case 2:
    case 4:
    case 5:
    case 6:
    case 11:
    case 16:
    case 17:
    case 20:
    case 21:
      return std::make_unique<TVdbColumnDef>(Name, DataType, Options);
    default:  // 14, 15 and unknown codes have no column class
      return nullptr;
  }
}

bool TVdbColumnDef::MayBeNullable(std::int16_t ColumnType, std::int16_t TableLevel) {
  if (ColumnType == 9) return false;
  if (TableLevel <= 3 && (ColumnType == 0 || ColumnType == 1 || ColumnType == 18)) return false;
  return true;
}

std::unique_ptr<TVdbColumnDef> TVdbColumnDef::Clone() const {
  return std::unique_ptr<TVdbColumnDef>(new TVdbColumnDef(*this));
}

void TVdbColumnDef::SetTableLevel(std::int16_t Level) {
  DataType = Retype(DataType, GetNullable(), Level, GetHasNullByte());
  TypeChanged();
}

bool TVdbColumnDef::SetNullable(bool Value, std::int16_t TableLevel) {
  if (Value && !MayBeNullable(GetColumnType(), TableLevel)) return false;
  if (Value) {
    Options |= kVdbColNullable | kVdbColNullByte;
  } else {
    Options &= ~(kVdbColNullable | kVdbColNullByte);
  }
  DataType = Retype(DataType, Value, TableLevel, Value);
  TypeChanged();
  return true;
}

std::int16_t TVdbColumnDef::GetColumnType() const { return DataType->ColumnType(); }

std::string TVdbColumnDef::GetCollation() const {
  const TVdbStringType* s = AsString(DataType);
  return s ? s->CollationName() : std::string();
}

std::uint32_t TVdbColumnDef::GetLocaleId() const {
  const TVdbStringType* s = AsString(DataType);
  return s ? s->LocaleId() : kVdbEngineLocale;
}

std::uint32_t TVdbColumnDef::GetStrCmpOptions() const {
  const TVdbStringType* s = AsString(DataType);
  return s ? s->StrCmpOptions() : 0;
}

TVdbCalculationPurposes TVdbColumnDef::GetCalculationPurposes() const {
  if (!FCalculation) return 0;
  if ((Options & kVdbColCalculated) == 0) return 1u << clpInitialization;
  if ((Options & kVdbColAppendOnly) != 0) return 1u << clpAppending;
  return 1u << clpUpdating;
}

std::string TVdbColumnDef::GetCalculationSource(std::int16_t TableLevel) const {
  return FCalculation ? FCalculation->Source().StoredText(TableLevel) : std::string();
}

TVdbTextColumnDef::TVdbTextColumnDef(const std::string& Name, const TVdbDataType* DataType,
                                     std::string CollationName, std::uint32_t Options)
    : TVdbColumnDef(Name, DataType, Options), FCollationName(std::move(CollationName)) {}

std::unique_ptr<TVdbColumnDef> TVdbTextColumnDef::Clone() const {
  return std::make_unique<TVdbTextColumnDef>(*this);
}

std::string TVdbTextColumnDef::GetCollation() const {
  return FCollationName.empty() ? TVdbColumnDef::GetCollation() : FCollationName;
}

std::int32_t TVdbTextColumnDef::GetMaxLength() const {
  const TVdbStringType* s = AsString(DataType);
  return s ? s->MaxLength() : 1;
}

std::unique_ptr<TVdbColumnDef> TVdbNumberColumnDef::Clone() const {
  return std::make_unique<TVdbNumberColumnDef>(*this);
}

std::int16_t TVdbNumberColumnDef::GetScale() const {
  return dynamic_cast<const TVdbFloatType&>(*DataType).Scale();
}

std::unique_ptr<TVdbColumnDef> TVdbTimeColumnDef::Clone() const {
  return std::make_unique<TVdbTimeColumnDef>(*this);
}

std::int16_t TVdbTimeColumnDef::GetPrecision() const {
  return dynamic_cast<const TVdbDateTimeType&>(*DataType).Precision();
}

std::unique_ptr<TVdbColumnDef> TVdbEnumColumnDef::Clone() const {
  return std::make_unique<TVdbEnumColumnDef>(*this);
}

std::vector<std::string> TVdbEnumColumnDef::GetItemNames() const {
  std::vector<std::string> names;
  for (const TVdbEnumItem& item : dynamic_cast<const TVdbEnumType&>(*DataType).Items()) {
    names.push_back(item.Name);
  }
  return names;
}

std::string TVdbEnumColumnDef::CalcEnumValueList() const { return JoinNames(GetItemNames(), '\n'); }

std::unique_ptr<TVdbColumnDef> TVdbRecordIdColumnDef::Clone() const {
  return std::make_unique<TVdbRecordIdColumnDef>(*this);
}

std::unique_ptr<TVdbColumnDef> TVdbAdlColumnDef::Clone() const {
  return std::make_unique<TVdbAdlColumnDef>(*this);
}

void TVdbAdlColumnDef::SetLinkedTableFromStored(const std::string& Stored) {
  LinkedTable = Stored;
  if (Stored == "@") return;
  for (const char* extension : {".vdbt", ".dat"}) {
    const std::size_t n = std::strlen(extension);
    if (LinkedTable.size() > n &&
        CompareIdentifiers(std::string_view(LinkedTable).substr(LinkedTable.size() - n),
                           extension) == 0) {
      LinkedTable.resize(LinkedTable.size() - n);
      return;
    }
  }
}

// --- Column lists -------------------------------------------------------------------------------

TVdbColumnDefs::TVdbColumnDefs(const TVdbColumnDefs& Other) {
  FColumns.reserve(Other.FColumns.size());
  for (const auto& column : Other.FColumns) FColumns.push_back(column->Clone());
}

TVdbColumnDefs& TVdbColumnDefs::operator=(const TVdbColumnDefs& Other) {
  if (this != &Other) {
    TVdbColumnDefs copy(Other);
    FColumns = std::move(copy.FColumns);
  }
  return *this;
}

void TVdbColumnDefs::CheckLimits(std::size_t Count, std::int64_t RecordSize) {
  if (Count > static_cast<std::size_t>(kVdbMaxColumns) || RecordSize > kVdbMaxRecordSize) {
    throw EVdbEngine(kVdbErrRecordTooLarge, kxFormatArgs{});
  }
}

void TVdbColumnDefs::PlaceFrom(std::size_t Index) {
  std::int32_t position = 0;
  if (Index > 0 && Index <= FColumns.size()) {
    const TVdbColumnDef& previous = *FColumns[Index - 1];
    position = previous.Position + previous.Size;
  }
  for (std::size_t i = Index; i < FColumns.size(); ++i) {
    FColumns[i]->Position = position;
    position += FColumns[i]->Size;
  }
}

TVdbColumnDef& TVdbColumnDefs::Add(std::unique_ptr<TVdbColumnDef> ColumnDef) {
  if (!ColumnDef) throw std::invalid_argument("TVdbColumnDefs::Add: no column definition");
  CheckLimits(FColumns.size() + 1, std::int64_t{GetRecordSize()} + ColumnDef->Size);
  FColumns.push_back(std::move(ColumnDef));
  PlaceFrom(FColumns.size() - 1);
  return *FColumns.back();
}

void TVdbColumnDefs::Replace(int Index, std::unique_ptr<TVdbColumnDef> ColumnDef) {
  if (!ColumnDef) throw std::invalid_argument("TVdbColumnDefs::Replace: no column definition");
  TVdbColumnDef& old = GetColumnDef(Index);
  CheckLimits(FColumns.size(), std::int64_t{GetRecordSize()} - old.Size + ColumnDef->Size);
  FColumns[static_cast<std::size_t>(Index)] = std::move(ColumnDef);
  PlaceFrom(static_cast<std::size_t>(Index));
}

void TVdbColumnDefs::Delete(int Index) {
  GetColumnDef(Index);  // range check
  FColumns.erase(FColumns.begin() + Index);
  PlaceFrom(static_cast<std::size_t>(Index));
}

int TVdbColumnDefs::Find(std::string_view Name) const {
  for (std::size_t i = 0; i < FColumns.size(); ++i) {
    if (CompareIdentifiers(FColumns[i]->Name, Name) == 0) return static_cast<int>(i);
  }
  return -1;
}

int TVdbColumnDefs::FindFirst(std::int16_t ColumnType) const {
  for (std::size_t i = 0; i < FColumns.size(); ++i) {
    if (FColumns[i]->GetColumnType() == ColumnType) return static_cast<int>(i);
  }
  return -1;
}

TVdbColumnDef& TVdbColumnDefs::GetColumnDef(int Index) const {
  if (Index < 0 || static_cast<std::size_t>(Index) >= FColumns.size()) {
    throw std::out_of_range("Column index out of range");
  }
  return *FColumns[static_cast<std::size_t>(Index)];
}

std::int32_t TVdbColumnDefs::GetRecordSize() const {
  if (FColumns.empty()) return 0;
  return FColumns.back()->Position + FColumns.back()->Size;
}

void TVdbColumnDefs::ColumnDefChanged() {
  std::int64_t total = 0;
  for (const auto& column : FColumns) total += column->Size;
  CheckLimits(FColumns.size(), total);
  PlaceFrom(0);
}

void TVdbColumnDefs::SetTableLevel(std::int16_t Level) {
  TVdbColumnDefs changed(*this);
  for (auto& column : changed.FColumns) column->SetTableLevel(Level);
  changed.ColumnDefChanged();
  FColumns = std::move(changed.FColumns);
}

// --- Other definitions --------------------------------------------------------------------------

std::unique_ptr<TVdbNamedDef> TVdbTypeDef::CloneNamed() const {
  return std::make_unique<TVdbTypeDef>(*this);
}

TVdbCheckDef::TVdbCheckDef(std::string Name, TVdbExpressionSource Condition)
    : TVdbNamedDef(std::move(Name)),
      FCondition(std::make_unique<TVdbCondition>(std::move(Condition))) {}

TVdbCheckDef::TVdbCheckDef(const TVdbCheckDef& Other)
    : TVdbNamedDef(Other.FName), FCondition(Other.FCondition->Clone()) {}

std::unique_ptr<TVdbNamedDef> TVdbCheckDef::CloneNamed() const {
  return std::make_unique<TVdbCheckDef>(*this);
}

TVdbCandidateKeyDef::TVdbCandidateKeyDef(std::string Name, bool IsPrimary)
    : TVdbNamedDef(std::move(Name)), FIsPrimary(IsPrimary) {}

TVdbCandidateKeyDef::TVdbCandidateKeyDef(const TVdbCandidateKeyDef& Other)
    : TVdbNamedDef(Other.FName),
      FIsPrimary(Other.FIsPrimary),
      FColumnNames(Other.FColumnNames),
      IndexDef(Other.IndexDef ? Other.IndexDef->Clone() : nullptr) {}

std::unique_ptr<TVdbNamedDef> TVdbCandidateKeyDef::CloneNamed() const {
  return std::make_unique<TVdbCandidateKeyDef>(*this);
}

std::string TVdbCandidateKeyDef::GetColumnList() const { return JoinNames(FColumnNames, ','); }

void TVdbCandidateKeyDef::SetColumnList(const std::string& List) {
  FColumnNames = SplitNames(List, ',');
}

std::string TVdbCandidateKeyDef::GetKeySpec() const {
  std::vector<std::string> items;
  for (const std::string& name : FColumnNames) items.push_back("${" + name + "}");
  return JoinNames(items, ',');
}

std::unique_ptr<TVdbNamedDef> TVdbForeignKeyDef::CloneNamed() const {
  return std::make_unique<TVdbForeignKeyDef>(*this);
}

// --- Sort definitions ---------------------------------------------------------------------------

TVdbSortDef::TVdbSortDef(std::string Name, bool IsCalculated, bool IsUnique, std::string Source)
    : TVdbNamedDef(std::move(Name)),
      FSource(std::move(Source)),
      IsUnique(IsUnique),
      IsCalculated(IsCalculated) {}

TVdbSortDef::TVdbSortDef(const TVdbSortDef& Other)
    : TVdbNamedDef(Other.FName),
      FSource(Other.FSource),
      IsUnique(Other.IsUnique),
      IsVarSize(Other.IsVarSize),
      IsCalculated(Other.IsCalculated),
      LevelCount(Other.LevelCount),
      Items(Other.Items),
      FCalculation(Other.FCalculation ? Other.FCalculation->Clone() : nullptr),
      FSize(Other.FSize) {}

TVdbSortDef& TVdbSortDef::operator=(const TVdbSortDef& Other) {
  if (this != &Other) {
    TVdbSortDef copy(Other);
    FName = std::move(copy.FName);
    FSource = std::move(copy.FSource);
    IsUnique = copy.IsUnique;
    IsVarSize = copy.IsVarSize;
    IsCalculated = copy.IsCalculated;
    LevelCount = copy.LevelCount;
    Items = copy.Items;
    FCalculation = std::move(copy.FCalculation);
    FSize = copy.FSize;
  }
  return *this;
}

std::unique_ptr<TVdbNamedDef> TVdbSortDef::CloneNamed() const { return Clone(); }

std::unique_ptr<TVdbSortDef> TVdbSortDef::Clone() const {
  return std::make_unique<TVdbSortDef>(*this);
}

void TVdbSortDef::Clear() {
  FSource.clear();
  IsUnique = IsVarSize = IsCalculated = false;
  LevelCount = 0;
  Items.fill(TVdbSortLevel{});
  FCalculation.reset();
  FSize = 4;
}

void TVdbSortDef::AddLevel(const TVdbSortLevel& Level) {
  if (LevelCount >= kVdbMaxIndexLevels) throw EVdbEngine(kVdbErrTooManyIndexLevels, kxFormatArgs{});
  Items[static_cast<std::size_t>(LevelCount++)] = Level;
}

std::string TVdbSortDef::ExpressionText(std::int16_t TableLevel) const {
  if (FCalculation) return FCalculation->Source().StoredText(TableLevel);
  // A definition without its calculation keeps the expression in its specification text.
  if (FSource.size() >= 2 && FSource.front() == '(' && FSource.back() == ')') {
    return FSource.substr(1, FSource.size() - 2);
  }
  return FSource;
}

bool TVdbSortDef::Equals(const TVdbSortDef& Other) const {
  if (IsCalculated != Other.IsCalculated) return false;
  if (IsCalculated) return ExpressionText(kVdbEngineLevel) == Other.ExpressionText(kVdbEngineLevel);
  if (IsUnique != Other.IsUnique || IsVarSize != Other.IsVarSize ||
      LevelCount != Other.LevelCount) {
    return false;
  }
  return std::equal(Items.begin(), Items.begin() + LevelCount, Other.Items.begin());
}

bool TVdbSortDef::Covers(const TVdbSortDef& Requested, bool AllowReverse, bool& Reverse) const {
  Reverse = false;
  if (IsCalculated || Requested.IsCalculated) {
    return IsCalculated && Requested.IsCalculated &&
           ExpressionText(kVdbEngineLevel) == Requested.ExpressionText(kVdbEngineLevel);
  }
  if (Requested.LevelCount == 0) return true;
  if (LevelCount < Requested.LevelCount) return false;
  if (Items[0].FieldNo != Requested.Items[0].FieldNo) return false;
  if (Items[0].Descending != Requested.Items[0].Descending) {
    if (!AllowReverse) return false;
    Reverse = true;
  }
  for (int i = 1; i < Requested.LevelCount; ++i) {
    const TVdbSortLevel& mine = Items[static_cast<std::size_t>(i)];
    const TVdbSortLevel& wanted = Requested.Items[static_cast<std::size_t>(i)];
    if (mine.FieldNo != wanted.FieldNo || (mine.Descending != Reverse) != wanted.Descending) {
      return false;
    }
  }
  return true;
}

std::string TVdbSortDef::CalcSpecification(const TVdbColumnDefs& ColumnDefs, bool Readable,
                                           bool Reverse, bool WithSize, bool FieldNumbers,
                                           std::int16_t TableLevel) const {
  if (IsCalculated) return "(" + ExpressionText(TableLevel) + ")";
  std::string text;
  for (int i = 0; i < LevelCount; ++i) {
    const TVdbSortLevel& level = Items[static_cast<std::size_t>(i)];
    if (i > 0) text += ", ";
    if (level.Descending != Reverse) text += '-';
    const int index = level.FieldNo - 1;
    if (FieldNumbers || index < 0 || index >= ColumnDefs.GetCount()) {
      text += "$" + std::to_string(level.FieldNo);
    } else if (Readable) {
      text += ColumnDefs.GetColumnDef(index).Name;
    } else {
      text += "${" + ColumnDefs.GetColumnDef(index).Name + "}";
    }
    if (WithSize) text += ":" + std::to_string(level.Size);
  }
  return text;
}

namespace {

void PutInt16(std::uint8_t* At, std::int32_t Value) {
  At[0] = static_cast<std::uint8_t>(Value);
  At[1] = static_cast<std::uint8_t>(Value >> 8);
}
std::int16_t GetInt16(const std::uint8_t* At) {
  return static_cast<std::int16_t>(At[0] | (At[1] << 8));
}

constexpr int kVectorEntrySize = 5;
constexpr int kVectorEntries = kVdbIndexVectorSize / kVectorEntrySize;
constexpr std::size_t kVectorSourceMax = kVdbIndexVectorSize - kVectorEntrySize - 1;
// 8-bit expression sources of the vector form are in the engine collation's code page.
constexpr std::uint32_t kVectorCodePage = 1252;

}  // namespace

std::array<std::uint8_t, kVdbIndexVectorSize> TVdbSortDef::GetVectorData() const {
  std::array<std::uint8_t, kVdbIndexVectorSize> vector{};
  if (IsCalculated) {
    const std::string source = Utf8ToAnsi(ExpressionText(kVdbEngineLevel), kVectorCodePage);
    if (source.size() > kVectorSourceMax) throw EVdbEngine(kVdbErrInvalidIndexSpec, FSource);
    PutInt16(&vector[0], -1);
    PutInt16(&vector[2], Items[0].Size);
    vector[4] = Items[0].ColumnType;
    vector[5] = static_cast<std::uint8_t>(source.size());
    std::memcpy(&vector[6], source.data(), source.size());
    return vector;
  }
  if (LevelCount > kVectorEntries) throw EVdbEngine(kVdbErrTooManyIndexLevels, kxFormatArgs{});
  for (int i = 0; i < LevelCount; ++i) {
    const TVdbSortLevel& level = Items[static_cast<std::size_t>(i)];
    std::uint8_t* entry = &vector[static_cast<std::size_t>(i * kVectorEntrySize)];
    PutInt16(entry, (level.FieldNo & 0x7FFF) | (level.Descending ? 0x8000 : 0));
    PutInt16(entry + 2, level.Size);
    entry[4] = level.ColumnType;
  }
  if (LevelCount < kVectorEntries) {
    vector[static_cast<std::size_t>(LevelCount * kVectorEntrySize + 4)] = IsUnique ? 255 : 0;
  }
  return vector;
}

void TVdbSortDef::SetVectorData(const std::uint8_t* Vector) {
  TVdbSortDef result(FName, false, IsUnique);
  if (GetInt16(Vector) == -1) {
    const std::int16_t size = GetInt16(Vector + 2);
    const std::size_t length = Vector[5];
    if (size <= 0 || size > kVdbMaxIndexKeySize - 4 || length == 0 || length > kVectorSourceMax) {
      ThrowCorrupt();
    }
    const std::string source = AnsiToUtf8(
        std::string_view(reinterpret_cast<const char*>(Vector + 6), length), kVectorCodePage);
    result.IsCalculated = true;
    result.AddLevel(TVdbSortLevel{Vector[4], 0, size, false});
    result.FCalculation =
        std::make_unique<TVdbCalculation>(TVdbExpressionSource::FromStored(source, kVdbEngineLevel));
    result.FSource = "(" + source + ")";
    result.FSize = size + 4;
  } else {
    std::int32_t total = 4;
    for (int i = 0; i < kVectorEntries; ++i) {
      const std::uint8_t* entry = Vector + i * kVectorEntrySize;
      const std::uint16_t field = static_cast<std::uint16_t>(GetInt16(entry));
      if ((field & 0x7FFF) == 0) {
        result.IsUnique = entry[4] == 255;
        break;
      }
      const std::int16_t size = GetInt16(entry + 2);
      if (size <= 0) ThrowCorrupt();
      result.AddLevel(TVdbSortLevel{entry[4], static_cast<std::int16_t>(field & 0x7FFF), size,
                                    (field & 0x8000) != 0});
      total += size;
    }
    if (result.LevelCount == 0) ThrowCorrupt();
    result.FSize = total;
    TVdbColumnDefs none;
    result.FSource = result.CalcSpecification(none, false, false, false, true);
  }
  *this = std::move(result);
}

// --- The stored definition block ----------------------------------------------------------------

std::int32_t CalcDefinitionBlockLength(std::int64_t BlockOffset, std::size_t UsedSize) {
  const std::int64_t B = BlockOffset + 4;
  const std::int64_t RecordsStart =
      8192 * ((B + static_cast<std::int64_t>(UsedSize) + 16384) / 8192);
  return static_cast<std::int32_t>(RecordsStart - B);
}

namespace {

// Rebuilds a column from its stored record; nullptr for the codes without column class.
std::unique_ptr<TVdbColumnDef> ReadColumn(TBlockReader& R, std::int16_t Level,
                                          const std::string& TableCollation) {
  const std::int16_t code = R.Byte();
  const std::string name = R.String();
  const std::uint32_t options = R.UInt32();
  const std::int16_t size = R.Int16();
  const std::string calculation = R.String();
  const bool nullable = (options & kVdbColNullable) != 0;
  const int nullByte = nullable ? 1 : 0;
  if (name.empty() || size < 0) ThrowCorrupt();
  if (nullable && !TVdbColumnDef::MayBeNullable(code, Level)) ThrowCorrupt();

  std::string ownCollation;
  const TVdbDataType* type = nullptr;
  std::string linkedTable;
  switch (code) {
    case 1:
    case 18: {
      ownCollation = R.String();
      R.Int16();  // the stored maximum length; the size decides
      const std::int32_t net = size - nullByte;
      const std::int32_t maxLength = code == 1 ? net - (net <= 256 ? 1 : 2) : (net - 2) / 2;
      if (maxLength < 1) ThrowCorrupt();
      type = TVdbDataType::GetStringType(code, nullable, Level, maxLength,
                                         ownCollation.empty() ? TableCollation : ownCollation);
      break;
    }
    case 7:
    case 19:
      ownCollation = R.String();
      type = TVdbDataType::GetStringType(code, nullable, Level, kMemoMaxLength,
                                         ownCollation.empty() ? TableCollation : ownCollation);
      break;
    case 0:
      type = TVdbDataType::GetDataType(code, nullable, Level);
      break;
    case 3:
      type = TVdbDataType::GetFloatType(nullable, Level, R.Byte());
      break;
    case 8: {
      std::vector<TVdbEnumItem> items;
      std::int32_t value = 0;
      for (std::string& item : SplitNames(R.String(), '\n')) {
        items.push_back(TVdbEnumItem{std::move(item), ++value});
      }
      if (items.empty() || items.size() > 255) ThrowCorrupt();
      type = TVdbDataType::GetEnumType(nullable, Level, name, false, items);
      break;
    }
    case 10:
    case 12:
      linkedTable = R.String();
      type = TVdbDataType::GetDataType(code, nullable, Level);
      break;
    case 13: {
      const std::int16_t precision = R.Byte();
      if (precision < 1 || precision > 4) ThrowCorrupt();
      type = TVdbDataType::GetDateTimeType(code, nullable, Level, precision,
                                           (options & kVdbColNullByte) != 0);
      break;
    }
    case 6:
    case 17:
      type = TVdbDataType::GetDateTimeType(
          code, nullable, Level, code == 6 ? 0 : 4,
          nullable && Level < 6 && (options & kVdbColNullByte) != 0);
      break;
    case 11:
      type = TVdbDataType::GetBinaryType(nullable, Level, kMemoMaxLength);
      break;
    case 2:
    case 4:
    case 5:
    case 9:
    case 16:
    case 20:
    case 21:
      type = TVdbDataType::GetDataType(code, nullable, Level);
      break;
    case 14:
    case 15:
      return nullptr;  // dropped: no column class
    default:
      ThrowCorrupt();  // an unknown code: its stored record cannot even be skipped
  }

  std::unique_ptr<TVdbColumnDef> column =
      TVdbColumnDef::CreateStringColumnDef(name, type, ownCollation, options);
  if (!column || column->Size != size) ThrowCorrupt();
  if (auto* link = dynamic_cast<TVdbAdlColumnDef*>(column.get())) {
    link->SetLinkedTableFromStored(linkedTable);
  }
  if (!calculation.empty()) {
    column->SetCalculation(
        std::make_unique<TVdbCalculation>(TVdbExpressionSource::FromStored(calculation, Level)));
  }
  return column;
}

void ReadMarkerAndPassword(TBlockReader& R, const std::string& Password) {
  if (R.UInt16() != kVdbCheckMarkerLength) throw EVdbEngine(kVdbErrInvalidCredentials, kxFormatArgs{});
  const std::u16string marker = R.Units(kVdbCheckMarkerLength);
  if (marker[kMarkerV] != u'v' || marker[kMarkerD] != u'd' || marker[kMarkerB] != u'b') {
    throw EVdbEngine(kVdbErrInvalidCredentials, kxFormatArgs{});
  }
  const std::uint16_t count = R.UInt16();
  const std::u16string stored = R.Units(kVdbPasswordUnits);
  if (count > kVdbPasswordUnits) ThrowCorrupt();
  std::u16string supplied;
  try {
    supplied = TkxMemory::Utf8ToUtf16(Password);
  } catch (const EkxMemoryError&) {
    throw EVdbEngine(kVdbErrInvalidCredentials, kxFormatArgs{});  // no stored password can match it
  }
  if (stored.substr(0, count) != supplied) {
    throw EVdbEngine(kVdbErrInvalidCredentials, kxFormatArgs{});
  }
}

void ReadBlock(TBlockReader& R, std::int16_t Level, const std::string& Password,
               TVdbTableDefinition& Def) {
  ReadMarkerAndPassword(R, Password);
  Def.Password = Password;
  Def.CollationName = R.String();
  Def.Capacity = R.Int32();
  R.Int32();
  const std::int16_t recordSize = R.Int16();
  R.Int16();
  const std::string recordIdSpec = R.String();
  bool uniqueId = false;
  if (!recordIdSpec.empty()) {
    const std::uint8_t flag = R.Byte();
    if (flag > 1) ThrowCorrupt();
    uniqueId = flag == 1;
  }
  if (Level >= 6) {
    const std::uint16_t typeCount = R.UInt16();
    for (std::uint16_t i = 0; i < typeCount; ++i) {
      std::string name = R.String();
      const std::int16_t typeCode = R.Int16();
      const std::int16_t superTypeCode = R.Int16();
      Def.Types.Add(std::make_unique<TVdbTypeDef>(std::move(name), typeCode, superTypeCode));
    }
  }
  const std::int16_t columnCount = R.Int16();
  if (columnCount < 1 || columnCount > kVdbMaxColumns || recordSize < 1 || Def.Capacity <= 0) {
    ThrowCorrupt();
  }

  for (std::int16_t i = 0; i < columnCount; ++i) {
    std::unique_ptr<TVdbColumnDef> column = ReadColumn(R, Level, Def.CollationName);
    if (!column) continue;
    if (Def.ColumnDefs.Find(column->Name) >= 0) ThrowCorrupt();
    Def.ColumnDefs.Add(std::move(column));
  }
  if (Def.ColumnDefs.GetCount() != columnCount || Def.ColumnDefs.GetRecordSize() != recordSize) {
    ThrowCorrupt();
  }

  if (!recordIdSpec.empty()) {
    const int index = Def.ColumnDefs.FindFirst(9);
    if (index < 0) ThrowCorrupt();
    auto& recordId = dynamic_cast<TVdbRecordIdColumnDef&>(Def.ColumnDefs.GetColumnDef(index));
    recordId.IndexSpec = recordIdSpec;
    if (uniqueId) {
      recordId.Options |= kVdbColUniqueId;
    } else {
      recordId.Options &= ~kVdbColUniqueId;
    }
  }

  const std::uint16_t keyCount = R.UInt16();
  for (std::uint16_t i = 0; i < keyCount; ++i) {
    const std::uint8_t primary = R.Byte();
    if (primary > 1) ThrowCorrupt();
    auto key = std::make_unique<TVdbCandidateKeyDef>(R.String(), primary == 1);
    key->SetColumnList(R.String());
    Def.KeyDefs.Add(std::move(key));
  }
  const std::uint16_t checkCount = R.UInt16();
  for (std::uint16_t i = 0; i < checkCount; ++i) {
    std::string name = R.String();
    const std::string condition = R.String();
    R.String();  // reserved, written empty
    Def.CheckDefs.Add(std::make_unique<TVdbCheckDef>(
        std::move(name), TVdbExpressionSource::FromStored(condition, Level)));
  }
  const std::uint16_t foreignKeyCount = R.UInt16();
  for (std::uint16_t i = 0; i < foreignKeyCount; ++i) {
    auto key = std::make_unique<TVdbForeignKeyDef>(R.String());
    key->FColumnNames = SplitNames(R.String(), ',');
    key->FParentTableName = R.String();
    key->FParentColumnNames = SplitNames(R.String(), ',');
    const std::uint8_t update = R.Byte();
    const std::uint8_t remove = R.Byte();
    if (update > traCascade || remove > traCascade) ThrowCorrupt();
    key->FUpdateAction = static_cast<TVdbReferentialAction>(update);
    key->FDeleteAction = static_cast<TVdbReferentialAction>(remove);
    Def.ForeignKeyDefs.Add(std::move(key));
  }
}

std::u16string NewCheckMarker() {
  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_int_distribution<int> letter(0, 25);
  std::u16string marker(kVdbCheckMarkerLength, u'a');
  for (char16_t& unit : marker) unit = static_cast<char16_t>(u'a' + letter(random));
  marker[kMarkerV] = u'v';
  marker[kMarkerD] = u'd';
  marker[kMarkerB] = u'b';
  return marker;
}

void WriteColumn(TBlockWriter& W, const TVdbColumnDef& Column, std::int16_t Level) {
  const std::int16_t code = Column.GetColumnType();
  const auto* text = dynamic_cast<const TVdbTextColumnDef*>(&Column);
  W.Byte(static_cast<std::uint8_t>(code));
  W.String(Column.Name);
  W.UInt32(Column.Options);
  W.UInt16(static_cast<std::uint16_t>(Column.Size));
  W.String(Column.GetCalculationSource(Level));
  switch (code) {
    case 1:
    case 18:
      W.String(text ? text->FCollationName : std::string());
      W.UInt16(static_cast<std::uint16_t>(text ? text->GetMaxLength() : 0));
      break;
    case 7:
    case 19:
      W.String(text ? text->FCollationName : std::string());
      break;
    case 3:
      W.Byte(static_cast<std::uint8_t>(dynamic_cast<const TVdbNumberColumnDef&>(Column).GetScale()));
      break;
    case 8:
      W.String(dynamic_cast<const TVdbEnumColumnDef&>(Column).CalcEnumValueList());
      break;
    case 10:
    case 12:
      W.String(dynamic_cast<const TVdbAdlColumnDef&>(Column).LinkedTable);
      break;
    case 13:
      W.Byte(static_cast<std::uint8_t>(dynamic_cast<const TVdbTimeColumnDef&>(Column).GetPrecision()));
      break;
    default:
      break;
  }
}

}  // namespace

// The transfer form: the column's stored record of a definition block, preceded by the level and
// the collation of its type and followed by the members a block does not keep.
void TVdbColumnDef::SaveToStream(std::vector<std::uint8_t>& Stream) const {
  TBlockWriter W;
  W.UInt16(static_cast<std::uint16_t>(DataType->Level()));
  W.String(TVdbColumnDef::GetCollation());
  WriteColumn(W, *this, DataType->Level());
  W.UInt32(static_cast<std::uint32_t>(Position));
  W.UInt16(static_cast<std::uint16_t>(BaseRltnIdx));
  W.UInt16(static_cast<std::uint16_t>(BaseFieldNo));
  if (const auto* recordId = dynamic_cast<const TVdbRecordIdColumnDef*>(this)) {
    W.String(recordId->IndexSpec);
    W.UInt32(static_cast<std::uint32_t>(recordId->StartValue));
  } else if (const auto* link = dynamic_cast<const TVdbAdlColumnDef*>(this)) {
    W.UInt16(static_cast<std::uint16_t>(link->LinkedRltnIdx));
    W.UInt16(static_cast<std::uint16_t>(link->RelatedRltnIdx));
    W.UInt16(static_cast<std::uint16_t>(link->LinkIndexNo));
    W.UInt16(static_cast<std::uint16_t>(link->LinkColumnNo));
  } else if (const auto* enumeration = dynamic_cast<const TVdbEnumType*>(DataType)) {
    // The block keeps only the item names; the transfer keeps the whole enumeration.
    W.String(enumeration->Name());
    W.Byte(enumeration->Flags() ? 1 : 0);
    for (const TVdbEnumItem& item : enumeration->Items()) {
      W.UInt32(static_cast<std::uint32_t>(item.Value));
    }
  }
  Stream.insert(Stream.end(), W.Bytes().begin(), W.Bytes().end());
}

std::unique_ptr<TVdbColumnDef> TVdbColumnDef::LoadFromStream(const std::uint8_t* Data,
                                                             std::size_t Size, std::size_t& Pos) {
  TBlockReader R(Data, Size, Pos);
  const std::int16_t level = R.Int16();
  const std::string collation = R.String();
  std::unique_ptr<TVdbColumnDef> column = ReadColumn(R, level, collation);
  if (!column) ThrowCorrupt();
  column->Position = R.Int32();
  column->BaseRltnIdx = R.Int16();
  column->BaseFieldNo = R.Int16();
  if (auto* recordId = dynamic_cast<TVdbRecordIdColumnDef*>(column.get())) {
    recordId->IndexSpec = R.String();
    recordId->StartValue = R.Int32();
  } else if (auto* link = dynamic_cast<TVdbAdlColumnDef*>(column.get())) {
    link->LinkedRltnIdx = R.Int16();
    link->RelatedRltnIdx = R.Int16();
    link->LinkIndexNo = R.Int16();
    link->LinkColumnNo = R.Int16();
  } else if (const auto* enumeration = dynamic_cast<const TVdbEnumType*>(column->DataType)) {
    const std::string name = R.String();
    const bool flags = R.Byte() != 0;
    std::vector<TVdbEnumItem> items = enumeration->Items();
    for (TVdbEnumItem& item : items) item.Value = R.Int32();
    column->DataType = TVdbDataType::GetEnumType(column->GetNullable(), level, name, flags, items);
    column->TypeChanged();
  }
  Pos = R.Pos();
  return column;
}

void LoadDefinitionBlock(const std::uint8_t* Data, std::size_t Size, std::int16_t Level,
                         const std::string& Password, TVdbTableDefinition& Def) {
  // Tables of levels 1 to 4 keep their definition in the same block format as levels 5 and 6.
  if (Level < 1 || Level > 6) ThrowCorrupt();
  if (!Data && Size > 0) ThrowCorrupt();
  TBlockReader reader(Data, Size);
  TVdbTableDefinition result;
  try {
    ReadBlock(reader, Level, Password, result);
  } catch (const EVdbEngine& e) {
    // Credentials and a collation this computer lacks are told as such; whatever else the
    // definition objects refuse (sizes, lengths, limits) comes from a damaged block.
    if (e.Code() == kVdbErrInvalidCredentials || e.Code() == kVdbErrUnknownCollation) throw;
    ThrowCorrupt();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    // Text or values that the definition objects refuse: the block is damaged.
    ThrowCorrupt();
  }
  Def = std::move(result);
}

std::vector<std::uint8_t> SaveDefinitionBlock(const TVdbTableDefinition& Def, std::int16_t Level) {
  if (Level < 1 || Level > 6) {
    throw std::invalid_argument("Definition blocks exist for table levels 1 to 6 only");
  }
  const TVdbColumnDefs& columns = Def.ColumnDefs;
  if (columns.GetCount() < 1) throw std::invalid_argument("A table needs at least one column");
  if (columns.GetCount() > kVdbMaxColumns || columns.GetRecordSize() > kVdbMaxRecordSize) {
    throw EVdbEngine(kVdbErrRecordTooLarge, kxFormatArgs{});
  }
  if (Def.Capacity <= 0) throw std::invalid_argument("The table capacity must be positive");

  const TVdbRecordIdColumnDef* recordId = nullptr;
  if (const int index = columns.FindFirst(9); index >= 0) {
    recordId = dynamic_cast<const TVdbRecordIdColumnDef*>(&columns.GetColumnDef(index));
    if (!recordId || recordId->IndexSpec.empty()) {
      throw EVdbEngine(kVdbErrAutoIncUndefined, columns.GetColumnDef(index).Name);
    }
  }
  const std::u16string password = TkxMemory::Utf8ToUtf16(Def.Password);
  if (password.size() > kVdbPasswordUnits) {
    throw std::length_error("Table passwords have at most 40 characters");
  }

  TBlockWriter W;
  W.UInt16(kVdbCheckMarkerLength);
  W.Units(NewCheckMarker());
  W.UInt16(static_cast<std::uint16_t>(password.size()));
  std::u16string padded = password;
  padded.resize(kVdbPasswordUnits, u'\0');
  W.Units(padded);
  W.String(Def.CollationName);
  W.UInt32(static_cast<std::uint32_t>(Def.Capacity));
  W.UInt32(0);
  W.UInt16(static_cast<std::uint16_t>(columns.GetRecordSize()));
  W.UInt16(0);
  W.String(recordId ? recordId->IndexSpec : std::string());
  if (recordId) W.Byte(recordId->IsOptionSet(kVdbColUniqueId) ? 1 : 0);
  if (Level >= 6) {
    W.UInt16(static_cast<std::uint16_t>(Def.Types.Count()));
    for (int i = 0; i < Def.Types.Count(); ++i) {
      const auto& type = dynamic_cast<const TVdbTypeDef&>(Def.Types[i]);
      W.String(type.Name());
      W.UInt16(static_cast<std::uint16_t>(type.TypeCode));
      W.UInt16(static_cast<std::uint16_t>(type.SuperTypeCode));
    }
  }
  W.UInt16(static_cast<std::uint16_t>(columns.GetCount()));
  for (int i = 0; i < columns.GetCount(); ++i) WriteColumn(W, columns.GetColumnDef(i), Level);

  W.UInt16(static_cast<std::uint16_t>(Def.KeyDefs.Count()));
  for (int i = 0; i < Def.KeyDefs.Count(); ++i) {
    const auto& key = dynamic_cast<const TVdbCandidateKeyDef&>(Def.KeyDefs[i]);
    W.Byte(key.FIsPrimary ? 1 : 0);
    W.String(key.Name());
    W.String(key.GetColumnList());
  }
  W.UInt16(static_cast<std::uint16_t>(Def.CheckDefs.Count()));
  for (int i = 0; i < Def.CheckDefs.Count(); ++i) {
    const auto& check = dynamic_cast<const TVdbCheckDef&>(Def.CheckDefs[i]);
    W.String(check.Name());
    W.String(check.FCondition->Source().StoredText(Level));
    W.String(std::string());
  }
  W.UInt16(static_cast<std::uint16_t>(Def.ForeignKeyDefs.Count()));
  for (int i = 0; i < Def.ForeignKeyDefs.Count(); ++i) {
    const auto& key = dynamic_cast<const TVdbForeignKeyDef&>(Def.ForeignKeyDefs[i]);
    W.String(key.Name());
    W.String(JoinNames(key.FColumnNames, ','));
    W.String(key.FParentTableName);
    W.String(JoinNames(key.FParentColumnNames, ','));
    W.Byte(key.FUpdateAction);
    W.Byte(key.FDeleteAction);
  }
  return std::move(W.Bytes());
}

}  // namespace vdb
