// Relations: column access and typed field values inside record buffers.
#include <cstring>
#include <string>

#include "base/VdbErrors.h"
#include "storage/kxMemory.h"
#include "table/VdbRelation.h"

namespace vdb {

namespace {

bool IsBlockCode(std::int16_t Code) {
  return Code == kVdbMemoCode || Code == kVdbBlobCode || Code == kVdbWideMemoCode;
}

}  // namespace

// --- Columns ---

std::int16_t TVdbRelation::GetColumnCount() const {
  return static_cast<std::int16_t>(FColumnDefs->GetCount());
}

TVdbColumnDef& TVdbRelation::GetColumnDef(std::int16_t FieldNo) const {
  if (FieldNo < 1 || FieldNo > FColumnDefs->GetCount())
    throw EVdbEngine(kVdbErrFieldNotFound, std::to_string(FieldNo));
  return FColumnDefs->GetColumnDef(FieldNo - 1);
}

const TVdbDataType* TVdbRelation::GetDataType(std::int16_t FieldNo) const {
  return GetColumnDef(FieldNo).DataType;
}

const std::string& TVdbRelation::GetFieldName(std::int16_t FieldNo) const {
  return GetColumnDef(FieldNo).Name;
}

std::int32_t TVdbRelation::GetFieldPos(std::int16_t FieldNo) const {
  return GetColumnDef(FieldNo).Position;
}

std::int32_t TVdbRelation::GetFieldSize(std::int16_t FieldNo) const {
  return GetColumnDef(FieldNo).Size;
}

bool TVdbRelation::GetHasNullByte(std::int16_t FieldNo) const {
  return GetColumnDef(FieldNo).GetHasNullByte();
}

bool TVdbRelation::IsOptionSet(std::int16_t FieldNo, std::uint32_t Option) const {
  return GetColumnDef(FieldNo).IsOptionSet(Option);
}

// --- Field images ---

std::uint8_t* TVdbRelation::GetRecordField(std::uint8_t* RecBuffer, std::int16_t FieldNo) const {
  return RecBuffer + GetFieldPos(FieldNo);
}

const std::uint8_t* TVdbRelation::GetRecordField(const std::uint8_t* RecBuffer,
                                                 std::int16_t FieldNo) const {
  return RecBuffer + GetFieldPos(FieldNo);
}

namespace {

// A value that refers to the field image of a column inside a record buffer; reading through it
// never writes, so a const buffer may be referred to.
class TFieldRef {
 public:
  TFieldRef(const TVdbRelation& Relation, const std::uint8_t* RecBuffer, std::int16_t FieldNo)
      : FType(Relation.GetDataType(FieldNo)) {
    FType->SetReference(FValue, const_cast<std::uint8_t*>(Relation.GetRecordField(RecBuffer, FieldNo)));
  }
  const TVdbDataType& Type() const { return *FType; }
  TVdbDataValue& Value() { return FValue; }
  bool IsNull() const { return FType->IsNull(FValue); }

 private:
  const TVdbDataType* FType;
  TVdbDataValue FValue;
};

template <class T, class TGet>
bool ReadField(const TVdbRelation& Relation, const std::uint8_t* RecBuffer, std::int16_t FieldNo,
               T& Value, TGet Get) {
  TFieldRef field(Relation, RecBuffer, FieldNo);
  if (field.IsNull()) {
    Value = T{};
    return false;
  }
  Value = Get(field.Type(), field.Value());
  return true;
}

template <class TSet>
void WriteField(const TVdbRelation& Relation, std::uint8_t* RecBuffer, std::int16_t FieldNo,
                TSet Set) {
  TFieldRef field(Relation, RecBuffer, FieldNo);
  Set(field.Type(), field.Value());
}

}  // namespace

bool TVdbRelation::IsNull(const std::uint8_t* RecBuffer, std::int16_t FieldNo) const {
  return TFieldRef(*this, RecBuffer, FieldNo).IsNull();
}

void TVdbRelation::SetNull(std::uint8_t* RecBuffer, std::int16_t FieldNo) const {
  if (IsBlockCode(GetColumnDef(FieldNo).GetColumnType())) {
    SetBlockIdx(RecBuffer, FieldNo, 0);
    return;
  }
  WriteField(*this, RecBuffer, FieldNo,
             [](const TVdbDataType& T, TVdbDataValue& V) { T.SetNull(V); });
}

bool TVdbRelation::GetValue(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                            TVdbDataValue& Value) const {
  TFieldRef field(*this, RecBuffer, FieldNo);
  field.Type().DoneValue(Value);
  // A memo or blob field holds only its first block number; its value stays a reference to the
  // field (the relation reads the data through the memo or blob file).
  if (IsBlockCode(field.Type().ColumnType())) {
    field.Type().SetReference(Value, GetRecordField(const_cast<std::uint8_t*>(RecBuffer), FieldNo));
    return !field.IsNull();
  }
  field.Type().Assign(Value, field.Value(), &field.Type());
  return !field.IsNull();
}

void TVdbRelation::SetValue(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                            const TVdbDataValue& Value, const TVdbDataType* ValueType) const {
  WriteField(*this, RecBuffer, FieldNo, [&](const TVdbDataType& T, TVdbDataValue& V) {
    if (Value.IsEmpty() || !ValueType) T.SetNullOrDefault(V);
    else T.Assign(V, Value, ValueType);
  });
}

void TVdbRelation::PutValue(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                            const TVdbDataValue& Value) const {
  const TVdbDataType* type = GetDataType(FieldNo);
  const bool noValue = Value.IsEmpty() || Value.ColumnType == kVdbNullCode;
  if (!noValue && Value.Code() != type->ColumnType())
    throw EVdbEngine(kVdbErrTypeMismatch, type->SqlName());
  SetValue(RecBuffer, FieldNo, Value, type);
}

bool TVdbRelation::GetAsStringA(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                std::string& Value) const {
  return ReadField(*this, RecBuffer, FieldNo, Value,
                   [](const TVdbDataType& T, const TVdbDataValue& V) { return T.ToString(V); });
}

bool TVdbRelation::GetAsStringW(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                std::u16string& Value) const {
  std::string text;
  const bool assigned = GetAsStringA(RecBuffer, FieldNo, text);
  Value = TkxMemory::Utf8ToUtf16(text);
  return assigned;
}

void TVdbRelation::SetAsStringA(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                std::string_view Value) const {
  WriteField(*this, RecBuffer, FieldNo,
             [&](const TVdbDataType& T, TVdbDataValue& V) { T.ConvertFromString(V, Value); });
}

void TVdbRelation::SetAsStringW(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                std::u16string_view Value) const {
  SetAsStringA(RecBuffer, FieldNo, TkxMemory::Utf16ToUtf8(Value));
}

bool TVdbRelation::GetAnsiString(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                 std::string& Value) const {
  return ReadField(*this, RecBuffer, FieldNo, Value,
                   [](const TVdbDataType& T, const TVdbDataValue& V) { return T.GetAnsiString(V); });
}

void TVdbRelation::SetAnsiString(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                 std::string_view Value) const {
  WriteField(*this, RecBuffer, FieldNo,
             [&](const TVdbDataType& T, TVdbDataValue& V) { T.SetAnsiString(V, Value); });
}

bool TVdbRelation::GetWideString(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                 std::u16string& Value) const {
  return ReadField(*this, RecBuffer, FieldNo, Value,
                   [](const TVdbDataType& T, const TVdbDataValue& V) { return T.GetWideString(V); });
}

void TVdbRelation::SetWideString(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                 std::u16string_view Value) const {
  WriteField(*this, RecBuffer, FieldNo,
             [&](const TVdbDataType& T, TVdbDataValue& V) { T.SetWideString(V, Value); });
}

namespace {

template <class T>
auto IntegerGetter() {
  return [](const TVdbDataType& Type, const TVdbDataValue& V) {
    return static_cast<T>(Type.GetInteger(V));
  };
}

}  // namespace

bool TVdbRelation::GetInt16(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                            std::int16_t& Value) const {
  return ReadField(*this, RecBuffer, FieldNo, Value, IntegerGetter<std::int16_t>());
}

void TVdbRelation::SetInt16(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                            std::int16_t Value) const {
  SetInt64(RecBuffer, FieldNo, Value);
}

bool TVdbRelation::GetInt32(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                            std::int32_t& Value) const {
  return ReadField(*this, RecBuffer, FieldNo, Value, IntegerGetter<std::int32_t>());
}

void TVdbRelation::SetInt32(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                            std::int32_t Value) const {
  SetInt64(RecBuffer, FieldNo, Value);
}

bool TVdbRelation::GetInt64(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                            std::int64_t& Value) const {
  return ReadField(*this, RecBuffer, FieldNo, Value, IntegerGetter<std::int64_t>());
}

void TVdbRelation::SetInt64(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                            std::int64_t Value) const {
  WriteField(*this, RecBuffer, FieldNo,
             [Value](const TVdbDataType& T, TVdbDataValue& V) { T.SetInteger(V, Value); });
}

bool TVdbRelation::GetUInt8(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                            std::uint8_t& Value) const {
  return ReadField(*this, RecBuffer, FieldNo, Value, IntegerGetter<std::uint8_t>());
}

void TVdbRelation::SetUInt8(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                            std::uint8_t Value) const {
  SetInt64(RecBuffer, FieldNo, Value);
}

bool TVdbRelation::GetBoolean(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                              bool& Value) const {
  return ReadField(*this, RecBuffer, FieldNo, Value,
                   [](const TVdbDataType& T, const TVdbDataValue& V) { return T.GetInteger(V) != 0; });
}

void TVdbRelation::SetBoolean(std::uint8_t* RecBuffer, std::int16_t FieldNo, bool Value) const {
  SetInt64(RecBuffer, FieldNo, Value ? 1 : 0);
}

bool TVdbRelation::GetDouble(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                             double& Value) const {
  return ReadField(*this, RecBuffer, FieldNo, Value,
                   [](const TVdbDataType& T, const TVdbDataValue& V) { return T.GetDouble(V); });
}

void TVdbRelation::SetDouble(std::uint8_t* RecBuffer, std::int16_t FieldNo, double Value) const {
  WriteField(*this, RecBuffer, FieldNo,
             [Value](const TVdbDataType& T, TVdbDataValue& V) { T.SetDouble(V, Value); });
}

bool TVdbRelation::GetGuid(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                           TVdbGuid& Value) const {
  return ReadField(*this, RecBuffer, FieldNo, Value,
                   [](const TVdbDataType& T, const TVdbDataValue& V) { return T.GetGuid(V); });
}

void TVdbRelation::SetGuid(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                           const TVdbGuid& Value) const {
  WriteField(*this, RecBuffer, FieldNo,
             [&](const TVdbDataType& T, TVdbDataValue& V) { T.SetGuid(V, Value); });
}

bool TVdbRelation::GetTimeStamp(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                TVdbTimeStamp& Value) const {
  return ReadField(*this, RecBuffer, FieldNo, Value,
                   [](const TVdbDataType& T, const TVdbDataValue& V) { return T.GetTimeStamp(V); });
}

void TVdbRelation::SetTimeStamp(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                const TVdbTimeStamp& Value) const {
  WriteField(*this, RecBuffer, FieldNo,
             [&](const TVdbDataType& T, TVdbDataValue& V) { T.SetTimeStamp(V, Value); });
}

bool TVdbRelation::GetTicks(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                            std::int64_t& Value) const {
  return ReadField(*this, RecBuffer, FieldNo, Value,
                   [](const TVdbDataType& T, const TVdbDataValue& V) { return T.GetTime(V); });
}

void TVdbRelation::SetTicks(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                            std::int64_t Value) const {
  WriteField(*this, RecBuffer, FieldNo,
             [Value](const TVdbDataType& T, TVdbDataValue& V) { T.SetTime(V, Value); });
}

bool TVdbRelation::GetEnumValue(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                std::int32_t& Value) const {
  if (GetColumnDef(FieldNo).GetColumnType() != kVdbEnumCode)
    throw EVdbEngine(kVdbErrNotADataField, GetFieldName(FieldNo));
  return GetInt32(RecBuffer, FieldNo, Value);
}

bool TVdbRelation::GetEnumString(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                 std::string& Value) const {
  if (GetColumnDef(FieldNo).GetColumnType() != kVdbEnumCode)
    throw EVdbEngine(kVdbErrNotADataField, GetFieldName(FieldNo));
  return GetAsStringA(RecBuffer, FieldNo, Value);
}

namespace {

void RequireCode(const TVdbColumnDef& Column, std::int16_t Code1, std::int16_t Code2) {
  const std::int16_t code = Column.GetColumnType();
  if (code != Code1 && code != Code2) throw EVdbEngine(kVdbErrNotADataField, Column.Name);
}

}  // namespace

bool TVdbRelation::GetLink(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                           std::int32_t& Value) const {
  RequireCode(GetColumnDef(FieldNo), kVdbLinkCode, kVdbRecordIdCode);
  return GetInt32(RecBuffer, FieldNo, Value);
}

void TVdbRelation::SetLink(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                           std::int32_t Value) const {
  RequireCode(GetColumnDef(FieldNo), kVdbLinkCode, kVdbRecordIdCode);
  SetInt32(RecBuffer, FieldNo, Value);
}

std::int32_t TVdbRelation::GetRecordId(const std::uint8_t* RecBuffer) const {
  if (FRecordIdFieldNo == 0) throw EVdbEngine(kVdbErrNoRecordIdColumn, FullName());
  std::int32_t id = 0;
  GetInt32(RecBuffer, FRecordIdFieldNo, id);
  return id;
}

void TVdbRelation::SetRecordId(std::uint8_t* RecBuffer, std::int32_t Value) const {
  if (FRecordIdFieldNo == 0) throw EVdbEngine(kVdbErrNoRecordIdColumn, FullName());
  SetInt32(RecBuffer, FRecordIdFieldNo, Value);
}

std::int32_t TVdbRelation::GetBlockIdx(const std::uint8_t* RecBuffer, std::int16_t FieldNo) const {
  const TVdbColumnDef& column = GetColumnDef(FieldNo);
  if (!IsBlockCode(column.GetColumnType()) || column.Size < 4)
    throw EVdbEngine(kVdbErrNotADataField, column.Name);
  std::int32_t block = 0;
  std::memcpy(&block, RecBuffer + column.Position, sizeof block);
  return block;
}

void TVdbRelation::SetBlockIdx(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                               std::int32_t Value) const {
  const TVdbColumnDef& column = GetColumnDef(FieldNo);
  if (!IsBlockCode(column.GetColumnType()) || column.Size < 4)
    throw EVdbEngine(kVdbErrNotADataField, column.Name);
  std::memcpy(RecBuffer + column.Position, &Value, sizeof Value);
}

}  // namespace vdb
