#include "query/VdbColumnValue.h"

#include "storage/kxMemory.h"
#include "table/VdbRelation.h"
#include "table/kxStrUtils.h"

namespace vdb {

TVdbColumnValue::TVdbColumnValue(const TVdbColumnValue& Other)
    : IsNull(Other.IsNull), Type(Other.Type), Long(Other.Long), WideLong(Other.WideLong), BlobType(Other.BlobType) {
  if (Type != nullptr && !Other.Value.IsEmpty()) Type->CopyTo(Other.Value, Value);
}

bool IsLongColumnType(std::int16_t Code) {
  return Code == kVdbMemoCode || Code == kVdbWideMemoCode || Code == kVdbBlobCode;
}

std::uint32_t CodePageOf(const TVdbDataType* Type) {
  const auto* String = dynamic_cast<const TVdbStringType*>(Type);
  return String != nullptr ? String->CodePage() : 1252;
}

TVdbColumnValue ReadColumnValue(TVdbAccessor& Accessor, std::int16_t FieldNo) {
  TVdbRelation& Relation = Accessor.Relation();
  TVdbColumnValue Column;
  Column.Type = Relation.GetDataType(FieldNo);
  const std::uint8_t* Record = Accessor.GetRecordPtr();
  switch (Column.Type->ColumnType()) {
    case kVdbMemoCode:
      Accessor.GetMemo(FieldNo, Column.Long, -1);
      Column.IsNull = Column.Long.empty() && Relation.IsNull(Record, FieldNo);
      return Column;
    case kVdbWideMemoCode:
      Accessor.GetWideMemo(FieldNo, Column.WideLong, -1);
      Column.IsNull = Column.WideLong.empty() && Relation.IsNull(Record, FieldNo);
      return Column;
    case kVdbBlobCode: {
      const std::int32_t Size = Accessor.InitGetBlob(FieldNo, -1, Column.BlobType);
      if (Size > 0) {
        Column.Long.resize(static_cast<std::size_t>(Size));
        Accessor.GetBlobChunk(0, Size, Column.Long.data());
      }
      Accessor.DoneGetBlob();
      Column.IsNull = Size <= 0;
      return Column;
    }
    default:
      Column.IsNull = !Relation.GetValue(Record, FieldNo, Column.Value) || Column.Type->IsNull(Column.Value);
      return Column;
  }
}

TVdbRowValues ReadRowValues(TVdbAccessor& Accessor) {
  TVdbRowValues Row;
  for (std::int16_t FieldNo = 1; FieldNo <= Accessor.Relation().GetColumnCount(); ++FieldNo)
    Row.push_back(ReadColumnValue(Accessor, FieldNo));
  return Row;
}

TVdbColumnValue ColumnValueFor(const TVdbRelation& Relation, std::int16_t FieldNo, const TVdbDataValue& Value,
                               const TVdbDataType* Type) {
  TVdbColumnValue Column;
  Column.Type = Type;
  Column.IsNull = Value.IsEmpty() || Type == nullptr || Type->IsNull(Value);
  if (Column.IsNull) return Column;
  const TVdbDataType* Target = Relation.GetDataType(FieldNo);
  switch (Target->ColumnType()) {
    case kVdbMemoCode:
      Column.Long = Utf8ToAnsi(Type->GetAnsiString(Value), CodePageOf(Target));
      break;
    case kVdbWideMemoCode:
      Column.WideLong = Type->GetWideString(Value);
      break;
    case kVdbBlobCode: {
      const std::vector<std::uint8_t> Bytes = Type->IsStringType() ? std::vector<std::uint8_t>() : Type->GetBytes(Value);
      Column.Long = Type->IsStringType() ? Type->GetAnsiString(Value) : std::string(Bytes.begin(), Bytes.end());
      break;
    }
    default:
      Type->CopyTo(Value, Column.Value);
      break;
  }
  return Column;
}

namespace {

// A long value's text as a string value (UTF-8 inside).
TVdbColumnValue LongAsString(const TVdbColumnValue& Column) {
  TVdbColumnValue Text;
  Text.IsNull = Column.IsNull;
  const bool Wide = Column.Type->ColumnType() == kVdbWideMemoCode;
  const std::string Utf8 = Wide ? TkxMemory::Utf16ToUtf8(Column.WideLong)
                         : Column.Type->ColumnType() == kVdbMemoCode ? AnsiToUtf8(Column.Long, CodePageOf(Column.Type))
                                                                     : Column.Long;
  Text.Type = TVdbDataType::GetApproxStringType(static_cast<std::int32_t>(Utf8.size()));
  if (!Text.IsNull) Text.Type->SetAnsiString(Text.Value, Utf8);
  return Text;
}

}  // namespace

TVdbColumnValue ConvertColumnValue(TVdbColumnValue Column, const TVdbRelation& Relation, std::int16_t FieldNo) {
  if (Column.IsNull || Column.Type == nullptr) return Column;
  const std::int16_t From = Column.Type->ColumnType();
  const std::int16_t To = Relation.GetDataType(FieldNo)->ColumnType();
  if (From == To) return Column;
  if (IsLongColumnType(From)) Column = LongAsString(Column);
  if (!IsLongColumnType(To)) return Column;
  return ColumnValueFor(Relation, FieldNo, Column.Value, Column.Type);
}

namespace {

// A number or text must arrive whole: a number beyond the column's range or a text longer than
// the column is refused (43) instead of being wrapped or cut.
void CheckStoredWhole(const TVdbRelation& Relation, const std::uint8_t* Record, std::int16_t FieldNo,
                      const TVdbColumnValue& Column) {
  const TVdbDataType* Target = Relation.GetDataType(FieldNo);
  const bool BothNumbers = Target->IsNumericType() && Column.Type->IsNumericType();
  const bool BothTexts = Target->IsStringType() && Column.Type->IsStringType();
  if (!BothNumbers && !BothTexts) return;
  TVdbDataValue Stored;
  if (!Relation.GetValue(Record, FieldNo, Stored) || Target->IsNull(Stored)) return;
  if (Column.Type->CompareTo(Column.Value, Stored, Target, 0) != kVdbCmpEqual)
    throw EVdbEngine(kVdbErrOutOfRange, kxFormatArgs{Column.Type->ToString(Column.Value)});
}

}  // namespace

void WriteColumnValue(TVdbAccessor& Accessor, std::int16_t FieldNo, const TVdbColumnValue& Column) {
  TVdbRelation& Relation = Accessor.Relation();
  std::uint8_t* Record = Accessor.GetWorkRecordPtr();
  const std::int16_t Code = Relation.GetDataType(FieldNo)->ColumnType();
  if (Column.IsNull && !Relation.GetColumnDef(FieldNo).GetNullable())
    throw EVdbEngine(kVdbErrNullNotAllowed, kxFormatArgs{Relation.GetColumnDef(FieldNo).Name});
  // A long column that is NULL already (a new row) stays so without writing an empty text.
  const bool StaysNull = Column.IsNull && Relation.IsNull(Record, FieldNo);
  if (Code == kVdbMemoCode) {
    if (!StaysNull) Accessor.SetPendingMemo(FieldNo, Column.IsNull ? std::string() : Column.Long);
    if (Column.IsNull) Relation.SetNull(Record, FieldNo);
  } else if (Code == kVdbWideMemoCode) {
    if (!StaysNull) Accessor.SetPendingWideMemo(FieldNo, Column.IsNull ? std::u16string() : Column.WideLong);
    if (Column.IsNull) Relation.SetNull(Record, FieldNo);
  } else if (Code == kVdbBlobCode) {
    Accessor.SetPendingBlob(FieldNo, Column.IsNull ? std::string() : Column.Long, Column.BlobType);
  } else if (Column.IsNull) {
    Relation.SetNull(Record, FieldNo);
  } else {
    Relation.SetValue(Record, FieldNo, Column.Value, Column.Type);
    CheckStoredWhole(Relation, Record, FieldNo, Column);
  }
}

int CompareColumnValues(const TVdbColumnValue& A, const TVdbColumnValue& B) {
  if (A.IsNull || B.IsNull) return A.IsNull == B.IsNull ? 0 : A.IsNull ? -1 : 1;
  if (IsLongColumnType(A.Type->ColumnType())) {
    const int Order = A.Long.compare(B.Long);
    const int WideOrder = Order != 0 ? Order : A.WideLong.compare(B.WideLong);
    return WideOrder < 0 ? -1 : WideOrder > 0 ? 1 : 0;
  }
  const int Order = A.Type->CompareTo(A.Value, B.Value, B.Type, 0);
  return Order == kVdbCmpLess ? -1 : Order == kVdbCmpGreater ? 1 : 0;
}

}  // namespace vdb
