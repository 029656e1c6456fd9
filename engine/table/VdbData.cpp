// The root of the data type family, values, the type registry and the small types (null,
// binary, relation).
#include "table/VdbData.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "base/VdbErrors.h"

namespace vdb {

// ---------------------------------------------------------------------------------------------
// Values

void TVdbValueBuffer::Reserve(std::int32_t Size) {
  if (Size <= FSize) return;
  auto Grown = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(Size));
  if (FSize > 0) std::memcpy(Grown.get(), FData.get(), static_cast<std::size_t>(FSize));
  FData = std::move(Grown);
  FSize = Size;
}

void TVdbValueBuffer::CopyFrom(const TVdbValueBuffer& Other) {
  if (Other.FSize == 0) {
    Release();
    return;
  }
  if (FSize < Other.FSize) {
    FData = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(Other.FSize));
    FSize = Other.FSize;
  }
  std::memcpy(FData.get(), Other.FData.get(), static_cast<std::size_t>(Other.FSize));
}

TVdbDataValue::TVdbDataValue(TVdbDataValue&& Other) noexcept { *this = std::move(Other); }

TVdbDataValue& TVdbDataValue::operator=(TVdbDataValue&& Other) noexcept {
  if (this == &Other) return *this;
  ColumnType = Other.ColumnType;
  std::memcpy(Data, Other.Data, sizeof(Data));
  // A reference into the other value's own inline image must follow the move.
  DataPtr = Other.DataPtr == Other.Data ? Data : Other.DataPtr;
  Buffer = std::move(Other.Buffer);
  BlobLength = Other.BlobLength;
  ObjectRef = Other.ObjectRef;
  Other.Clear();
  return *this;
}

void TVdbDataValue::Clear() {
  ColumnType = kVdbEmptyTag;
  std::memset(Data, 0, sizeof(Data));
  DataPtr = nullptr;
  Buffer.Release();
  BlobLength = 0;
  ObjectRef = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Helpers shared by the type units

namespace data_internal {

[[noreturn]] void RaisePlain(const std::string& Message) { throw EVdbDataError(Message); }

[[noreturn]] void RaiseTypeMismatch(const std::string& Argument) { throw EVdbEngine(kVdbErrTypeMismatch, Argument); }

[[noreturn]] void RaiseRange(const std::string& Value, const std::string& TypeName,
                             const std::string& Min, const std::string& Max) {
  throw EVdbEngine(kVdbErrValueOutOfTypeRange, kxFormatArgs{Value, TypeName, Min, Max});
}

[[noreturn]] void RaiseConvert(const char* Format, std::string_view Text) {
  throw EConvertError(kxFormat(Format, {std::string(Text)}));
}

std::int16_t ReferenceTag(std::int16_t Code) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(Code) | TVdbDataValue::kVdbReferenceBit);
}

}  // namespace data_internal

using namespace data_internal;

// ---------------------------------------------------------------------------------------------
// Registry

class TVdbTypeRegistry {
 public:
  static TVdbTypeRegistry& Instance() {
    static TVdbTypeRegistry Registry;
    return Registry;
  }

  // The instance registered under Key, or the one Make creates (and registers) when none is.
  template <typename T, typename MakeFn>
  const T* Find(const std::string& Key, MakeFn Make) {
    std::lock_guard<std::mutex> Lock(FMutex);
    auto It = FTypes.find(Key);
    if (It != FTypes.end()) return static_cast<const T*>(It->second.get());
    std::unique_ptr<T> Created = Make();
    const T* Result = Created.get();
    FTypes.emplace(Key, std::move(Created));
    return Result;
  }

  template <typename T, typename... Args>
  static std::unique_ptr<T> New(Args&&... A) {
    return std::unique_ptr<T>(new T(std::forward<Args>(A)...));
  }

 private:
  std::mutex FMutex;
  std::unordered_map<std::string, std::unique_ptr<TVdbDataType>> FTypes;
};

namespace {

// Nullability the code can have at the level: below level 4 Char, String, RecordId and
// WideString cannot be nullable; from level 4 on only RecordId cannot; a relation is never NULL.
bool EffectiveNullable(std::int16_t Code, bool Nullable, std::int16_t Level) {
  if (!Nullable) return false;
  if (Code == kVdbRecordIdCode || Code == kVdbRelationCode) return false;
  if (Level <= 3 && (Code == kVdbCharCode || Code == kVdbStringCode || Code == kVdbWideStringCode))
    return false;
  return true;
}

std::string BaseKey(std::int16_t Code, bool Nullable, std::int16_t Level) {
  return std::to_string(Code) + (Nullable ? "N" : "n") + std::to_string(Level);
}

// A text made safe to join into a key: lengths make the parts unambiguous.
std::string KeyPart(const std::string& Text) { return std::to_string(Text.size()) + ":" + Text; }

}  // namespace

const TVdbDataType* TVdbDataType::GetDataType(std::int16_t ColumnType, bool Nullable, std::int16_t Level) {
  switch (ColumnType) {
    case kVdbNullCode:
      return GetNullType();
    case kVdbStringCode:
    case kVdbWideStringCode:
      return GetStringType(ColumnType, Nullable, Level, 255, "");
    case kVdbMemoCode:
    case kVdbWideMemoCode:
      return GetStringType(ColumnType, Nullable, Level, 0, "");
    case kVdbFloatCode:
      return GetFloatType(Nullable, Level, 2);
    case kVdbDateCode:
      return GetDateTimeType(ColumnType, Nullable, Level, 0, false);
    case kVdbTimeCode:
      return GetDateTimeType(ColumnType, Nullable, Level, 4, Nullable);
    case kVdbTimeStampCode:
      return GetDateTimeType(ColumnType, Nullable, Level, 4, false);
    case kVdbEnumCode:
      return GetEnumType(Nullable, Level, "", false, {});
    case kVdbBlobCode:
      return GetBinaryType(Nullable, Level, 0);
    default:
      break;
  }
  const bool N = EffectiveNullable(ColumnType, Nullable, Level);
  const std::string Key = BaseKey(ColumnType, N, Level);
  auto& R = TVdbTypeRegistry::Instance();
  switch (ColumnType) {
    case kVdbSmallIntCode:
    case kVdbByteCode:
    case kVdbBooleanCode:
    case kVdbRecordIdCode:
    case kVdbLinkCode:
    case kVdbIntegerCode:
    case kVdbBigIntCode:
      return R.Find<TVdbIntegerType>(Key, [&] { return TVdbTypeRegistry::New<TVdbIntegerType>(ColumnType, N, Level); });
    case kVdbCharCode:
      return R.Find<TVdbCharType>(Key, [&] { return TVdbTypeRegistry::New<TVdbCharType>(ColumnType, N, Level); });
    case kVdbGuidCode:
      return R.Find<TVdbGuidType>(Key, [&] { return TVdbTypeRegistry::New<TVdbGuidType>(ColumnType, N, Level); });
    case kVdbRelationCode:
      return R.Find<TVdbRelationType>(Key, [&] { return TVdbTypeRegistry::New<TVdbRelationType>(ColumnType, N, Level); });
    default:
      RaisePlain(kxFormat("Unknown column type %d", {ColumnType}));
  }
}

const TVdbStringType* TVdbDataType::GetStringType(std::int16_t ColumnType, bool Nullable, std::int16_t Level,
                                                  std::int32_t MaxLength, const std::string& CollationName) {
  const bool Wide = ColumnType == kVdbWideStringCode || ColumnType == kVdbWideMemoCode;
  const bool Memo = ColumnType == kVdbMemoCode || ColumnType == kVdbWideMemoCode;
  if (!Memo && ColumnType != kVdbStringCode && ColumnType != kVdbWideStringCode)
    RaisePlain(kxFormat("Column type %d is not a string type", {ColumnType}));
  const std::int32_t Limit = Wide ? kVdbMaxWideLength : kVdbMaxAnsiLength;
  if (Memo) {
    MaxLength = Wide ? 0x3FFFFFFF : 0x7FFFFFFF;
  } else if (MaxLength < 1 || MaxLength > Limit) {
    throw EVdbEngine(kVdbErrStringLengthOutOfRange, kxFormatArgs{MaxLength, 1, Limit});
  }
  const bool N = EffectiveNullable(ColumnType, Nullable, Level);
  // The engine collation is kept under the empty name, whichever way it was spelt.
  const std::string Name = CollationName == "VeskorDB" ? std::string() : CollationName;
  const std::string Key = BaseKey(ColumnType, N, Level) + "L" + std::to_string(MaxLength) + "C" + KeyPart(Name);
  return TVdbTypeRegistry::Instance().Find<TVdbStringType>(Key, [&]() -> std::unique_ptr<TVdbStringType> {
    std::uint32_t LocaleId = 0;
    TStrCmpOptions Options = 0;
    if (!ParseCollationName(Name, LocaleId, Options)) throw EVdbEngine(kVdbErrUnknownCollation, Name);
    if (Wide)
      return TVdbTypeRegistry::New<TVdbWideStringType>(ColumnType, N, Level, MaxLength, Name, LocaleId, Options);
    return TVdbTypeRegistry::New<TVdbAnsiStringType>(ColumnType, N, Level, MaxLength, Name, LocaleId, Options);
  });
}

const TVdbDateTimeType* TVdbDataType::GetDateTimeType(std::int16_t ColumnType, bool Nullable, std::int16_t Level,
                                                      std::int16_t Precision, bool HasNullByte) {
  if (ColumnType != kVdbDateCode && ColumnType != kVdbTimeCode && ColumnType != kVdbTimeStampCode)
    RaisePlain(kxFormat("Column type %d is not a date or time type", {ColumnType}));
  const bool N = EffectiveNullable(ColumnType, Nullable, Level);
  if (ColumnType == kVdbDateCode) Precision = 0;
  else if (Precision < 1 || Precision > 4) Precision = 4;
  const bool NullByte = N && HasNullByte;
  const std::string Key = BaseKey(ColumnType, N, Level) + "P" + std::to_string(Precision) + (NullByte ? "B" : "b");
  return TVdbTypeRegistry::Instance().Find<TVdbDateTimeType>(Key, [&] {
    return TVdbTypeRegistry::New<TVdbDateTimeType>(ColumnType, N, Level, Precision, NullByte);
  });
}

const TVdbFloatType* TVdbDataType::GetFloatType(bool Nullable, std::int16_t Level, std::int16_t Scale) {
  const std::string Key = BaseKey(kVdbFloatCode, Nullable, Level) + "S" + std::to_string(Scale);
  return TVdbTypeRegistry::Instance().Find<TVdbFloatType>(Key, [&] {
    return TVdbTypeRegistry::New<TVdbFloatType>(Nullable, Level, Scale);
  });
}

const TVdbEnumType* TVdbDataType::GetEnumType(bool Nullable, std::int16_t Level, const std::string& Name,
                                              bool Flags, const std::vector<TVdbEnumItem>& Items) {
  std::string Key = BaseKey(kVdbEnumCode, Nullable, Level) + (Flags ? "F" : "f") + KeyPart(Name);
  for (const TVdbEnumItem& Item : Items) Key += KeyPart(Item.Name) + "=" + std::to_string(Item.Value) + ";";
  return TVdbTypeRegistry::Instance().Find<TVdbEnumType>(Key, [&] {
    return TVdbTypeRegistry::New<TVdbEnumType>(Nullable, Level, Name, Flags, Items);
  });
}

const TVdbBinaryType* TVdbDataType::GetBinaryType(bool Nullable, std::int16_t Level, std::int32_t MaxLength) {
  const std::string Key = BaseKey(kVdbBlobCode, Nullable, Level) + "L" + std::to_string(MaxLength);
  return TVdbTypeRegistry::Instance().Find<TVdbBinaryType>(Key, [&] {
    return TVdbTypeRegistry::New<TVdbBinaryType>(Nullable, Level, MaxLength);
  });
}

const TVdbNullType* TVdbDataType::GetNullType() {
  return TVdbTypeRegistry::Instance().Find<TVdbNullType>("null", [] { return TVdbTypeRegistry::New<TVdbNullType>(); });
}

const TVdbStringType* TVdbDataType::GetApproxStringType(std::int32_t Length, bool Wide) {
  const std::int32_t Limit = Wide ? kVdbMaxWideLength : kVdbMaxAnsiLength;
  auto RoundUp = [](std::int32_t L, std::int32_t Step) { return (L + Step - 1) / Step * Step; };
  std::int32_t Rounded;
  if (Length <= 10) Rounded = 10;
  else if (Length <= 100) Rounded = RoundUp(Length, 10);
  else if (Length <= 1000) Rounded = RoundUp(Length, 100);
  else if (Length <= 10000) Rounded = RoundUp(Length, 1000);
  else Rounded = Limit;
  return GetStringType(Wide ? kVdbWideStringCode : kVdbStringCode, false, kVdbLiteralLevel,
                       std::min(Rounded, Limit), "");
}

const TVdbDataType* TVdbDataType::GetVeskorPLDataType(std::int16_t ColumnType) {
  switch (ColumnType) {
    case kVdbCharCode:
    case kVdbStringCode:
    case kVdbMemoCode:
    case kVdbWideStringCode:
    case kVdbWideMemoCode:
      return GetStringType(kVdbWideStringCode, true, kVdbCurrentLevel, kVdbMaxWideLength, "");
    case kVdbSmallIntCode:
    case kVdbByteCode:
    case kVdbIntegerCode:
      return GetDataType(kVdbBigIntCode, true, kVdbCurrentLevel);
    case kVdbEnumCode:
      return GetDataType(kVdbByteCode, true, kVdbCurrentLevel);
    default:
      return GetDataType(ColumnType, true, kVdbCurrentLevel);
  }
}

const TVdbDataType* TVdbDataType::GetVariableType(const TVdbDataType* DataType) {
  if (DataType == nullptr) return nullptr;
  const std::int16_t Code = DataType->ColumnType();
  if (Code != kVdbMemoCode && Code != kVdbWideMemoCode) return DataType;
  const auto* S = static_cast<const TVdbStringType*>(DataType);
  const bool Wide = Code == kVdbWideMemoCode;
  return GetStringType(Wide ? kVdbWideStringCode : kVdbStringCode, S->Nullable(), S->Level(),
                       Wide ? kVdbMaxWideLength : kVdbMaxAnsiLength, S->CollationName());
}

// ---------------------------------------------------------------------------------------------
// Class-level operations

int TVdbDataType::Compare(const TVdbDataValue& Value1, const TVdbDataValue& Value2, TStrCmpOptions Options,
                          const TVdbDataType* Type1, const TVdbDataType* Type2) {
  if (Type1->CanCompareTo(Type2)) return Type1->CompareTo(Value1, Value2, Type2, Options);
  if (Type2->CanCompareTo(Type1)) return MirrorCompare(Type2->CompareTo(Value2, Value1, Type1, Options));
  RaisePlain("Cannot compare these types");
}

bool TVdbDataType::CanCompare(const TVdbDataType* Type1, const TVdbDataType* Type2) {
  return Type1->CanCompareTo(Type2) || Type2->CanCompareTo(Type1);
}

void TVdbDataType::Convert(const TVdbDataValue& From, const TVdbDataType* FromType, TVdbDataValue& To,
                           const TVdbDataType* ToType, bool Explicitly) {
  if (ToType->CanConvertFrom(FromType, Explicitly)) {
    ToType->ConvertFrom(To, From, FromType);
  } else if (FromType->CanConvertTo(ToType, Explicitly)) {
    FromType->ConvertTo(From, To, ToType);
  } else {
    RaiseTypeMismatch(FromType->VplName() + "->" + ToType->VplName());
  }
}

bool TVdbDataType::CanConvert(const TVdbDataType* From, const TVdbDataType* To, bool Explicitly) {
  return To->CanConvertFrom(From, Explicitly) || From->CanConvertTo(To, Explicitly);
}

void TVdbDataType::Calculate(TVdbDataBinaryOperator Op, const TVdbDataValue& Value1, const TVdbDataValue& Value2,
                             TVdbDataValue& Result, const TVdbDataType* Type1, const TVdbDataType* Type2,
                             const TVdbDataType* ResultType) {
  if (Type1->GetResultDataTypeWith(Op, Type1, Type2) != nullptr)
    Type1->CalculateWith(Op, Value1, Value2, Result, Type1, Type2, ResultType);
  else if (Type2->GetResultDataTypeWith(Op, Type1, Type2) != nullptr)
    Type2->CalculateWith(Op, Value1, Value2, Result, Type1, Type2, ResultType);
  else
    RaisePlain("Cannot perform this operation on these data types.");
}

const TVdbDataType* TVdbDataType::GetResultDataType(TVdbDataBinaryOperator Op, const TVdbDataType* Type1,
                                                    const TVdbDataType* Type2) {
  if (const TVdbDataType* R = Type1->GetResultDataTypeWith(Op, Type1, Type2)) return R;
  return Type2->GetResultDataTypeWith(Op, Type1, Type2);
}

const TVdbDataType* TVdbDataType::GetSuperType(const TVdbDataType* Type1, const TVdbDataType* Type2) {
  if (Type1->ColumnType() == kVdbNullCode) return Type2->GetNullableType(true);
  if (Type2->ColumnType() == kVdbNullCode) return Type1->GetNullableType(true);
  if (const TVdbDataType* R = Type1->GetSuperType(Type2)) return R;
  return Type2->GetSuperType(Type1);
}

// ---------------------------------------------------------------------------------------------
// Root type

TVdbDataType::TVdbDataType(std::int16_t ColumnType, bool Nullable, std::int16_t Level)
    : FLevel(Level), FColumnType(ColumnType), FNullable(Nullable) {}

bool TVdbDataType::IsStringType() const { return IsStringCode(FColumnType); }
bool TVdbDataType::IsIntegerType() const { return IsIntegerCode(FColumnType); }
bool TVdbDataType::IsNumericType() const { return IsIntegerCode(FColumnType) || FColumnType == kVdbFloatCode; }

bool TVdbDataType::TypeMatches(const TVdbDataValue& Value) const {
  return !Value.IsEmpty() && Value.Code() == FColumnType;
}

const TVdbDataType* TVdbDataType::GetNullableType(bool Nullable) const {
  return Nullable == FNullable ? this : Reshaped(Nullable, FLevel);
}

const TVdbDataType* TVdbDataType::GetLevelType(std::int16_t Level) const {
  return Level == FLevel ? this : Reshaped(FNullable, Level);
}

std::uint8_t* TVdbDataType::ImageOf(TVdbDataValue& Value) {
  if (Value.IsReference()) return Value.DataPtr;
  if (Value.Buffer.Data() != nullptr) return Value.Buffer.Data();
  return Value.Data;
}

const std::uint8_t* TVdbDataType::ImageOf(const TVdbDataValue& Value) {
  return ImageOf(const_cast<TVdbDataValue&>(Value));
}

std::int32_t TVdbDataType::ValueOffset() const { return HasNullByte() && NullByteFirst() ? 1 : 0; }

std::int32_t TVdbDataType::NullByteOffset() const {
  if (!HasNullByte()) return -1;
  return NullByteFirst() ? 0 : DataSize() - 1;
}

std::uint8_t* TVdbDataType::PrepareFixed(TVdbDataValue& ThisValue) const {
  if (!(ThisValue.IsReference() && ThisValue.Code() == FColumnType)) {
    if (ThisValue.IsEmpty() || ThisValue.Code() != FColumnType || ThisValue.Buffer.Data() != nullptr ||
        ThisValue.IsReference()) {
      ThisValue.Clear();
    }
    ThisValue.ColumnType = FColumnType;
  }
  std::uint8_t* Image = ImageOf(ThisValue);
  const std::int32_t NullAt = NullByteOffset();
  if (NullAt >= 0) Image[NullAt] = 1;
  return Image + ValueOffset();
}

// A fixed-size value never owns a buffer; one that does (a string's, say) is no value of this
// type and is not read past its end.
void TVdbDataType::CheckFixedImage(const TVdbDataValue& ThisValue) const {
  if (!ThisValue.IsReference() && ThisValue.Buffer.Data() != nullptr && ThisValue.Buffer.Size() < DataSize())
    RaisePlain(kxFormat("The value is no value of type %s", {SqlName()}));
}

const std::uint8_t* TVdbDataType::FixedValueBytes(const TVdbDataValue& ThisValue) const {
  CheckFixedImage(ThisValue);
  return ImageOf(ThisValue) + ValueOffset();
}

bool TVdbDataType::FixedIsNull(const TVdbDataValue& ThisValue) const {
  if (ThisValue.IsEmpty() || ThisValue.ColumnType == kVdbNullCode) return true;
  CheckFixedImage(ThisValue);
  const std::int32_t NullAt = NullByteOffset();
  return NullAt >= 0 && ImageOf(ThisValue)[NullAt] == 0;
}

void TVdbDataType::FixedSetNull(TVdbDataValue& ThisValue) const {
  CheckNullable();
  std::uint8_t* Bytes = PrepareFixed(ThisValue);
  std::memset(Bytes, 0, static_cast<std::size_t>(DataSize() - (HasNullByte() ? 1 : 0)));
  const std::int32_t NullAt = NullByteOffset();
  if (NullAt >= 0) ImageOf(ThisValue)[NullAt] = 0;
}

bool TVdbDataType::TakeNullFrom(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                                const TVdbDataType* OtherType) const {
  if (!OtherValue.IsEmpty() && !OtherType->IsNull(OtherValue)) return false;
  SetNullOrDefault(ThisValue);
  return true;
}

bool TVdbDataType::NullOperand(const TVdbDataValue& Value1, const TVdbDataType* Type1, const TVdbDataValue& Value2,
                               const TVdbDataType* Type2, TVdbDataValue& ResultValue, const TVdbDataType* ResultType) {
  if (!Type1->IsNull(Value1) && !Type2->IsNull(Value2)) return false;
  ResultType->SetNullOrDefault(ResultValue);
  return true;
}

void TVdbDataType::CheckNullable() const {
  if (!FNullable) throw EVdbEngine(kVdbErrNullNotAllowed, SqlName());
}

void TVdbDataType::RaiseCannotConvert(const TVdbDataType* From, const TVdbDataType* To) const {
  RaiseTypeMismatch(From->VplName() + "->" + To->VplName());
}

void TVdbDataType::RaiseStringConversion() const { RaiseTypeMismatch("String->" + VplName()); }

std::int32_t TVdbDataType::GetSize(const TVdbDataValue&) const { return DataSize(); }

void TVdbDataType::CopyTo(const TVdbDataValue& ThisValue, TVdbDataValue& OtherValue) const {
  if (&ThisValue == &OtherValue) return;
  OtherValue.ColumnType = ThisValue.ColumnType;
  std::memcpy(OtherValue.Data, ThisValue.Data, sizeof(OtherValue.Data));
  OtherValue.DataPtr = ThisValue.DataPtr == ThisValue.Data ? OtherValue.Data : ThisValue.DataPtr;
  OtherValue.Buffer.CopyFrom(ThisValue.Buffer);
  OtherValue.BlobLength = ThisValue.BlobLength;
  OtherValue.ObjectRef = ThisValue.ObjectRef;
}

void TVdbDataType::SetReference(TVdbDataValue& ThisValue, std::uint8_t* Ref) const {
  ThisValue.Clear();
  ThisValue.ColumnType = ReferenceTag(FColumnType);
  ThisValue.DataPtr = Ref;
}

void TVdbDataType::SetReference(TVdbDataValue& ThisValue, TVdbDataValue& OtherValue, const TVdbDataType*) const {
  if (&ThisValue == &OtherValue) return;
  SetReference(ThisValue, ImageOf(OtherValue));
}

void TVdbDataType::DoneValue(TVdbDataValue& ThisValue) const { ThisValue.Clear(); }

void TVdbDataType::Assign(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                          const TVdbDataType* OtherType) const {
  if (&ThisValue == &OtherValue) return;
  if (OtherValue.IsEmpty()) {
    DoneValue(ThisValue);
  } else if (OtherType->IsNull(OtherValue)) {
    SetNull(ThisValue);
  } else if (OtherType->ColumnType() == FColumnType) {
    AssignValue(ThisValue, OtherValue, OtherType);
  } else {
    ConvertFrom(ThisValue, OtherValue, OtherType);
  }
}

void TVdbDataType::AssignValue(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                               const TVdbDataType* OtherType) const {
  const std::int32_t Size = DataSize() - (HasNullByte() ? 1 : 0);
  const std::int32_t OtherSize = OtherType->DataSize() - (OtherType->HasNullByte() ? 1 : 0);
  if (Size != OtherSize) RaiseCannotConvert(OtherType, this);
  // Through a copy: the source may be a reference into the same record bytes.
  std::uint8_t Bytes[TVdbDataValue::kInlineSize];
  std::memcpy(Bytes, OtherType->FixedValueBytes(OtherValue), static_cast<std::size_t>(Size));
  std::memcpy(PrepareFixed(ThisValue), Bytes, static_cast<std::size_t>(Size));
}

bool TVdbDataType::IsNull(const TVdbDataValue& ThisValue) const { return FixedIsNull(ThisValue); }

void TVdbDataType::SetNull(TVdbDataValue& ThisValue) const { FixedSetNull(ThisValue); }

void TVdbDataType::SetNullOrDefault(TVdbDataValue& ThisValue) const {
  if (FNullable) SetNull(ThisValue);
  else GetDefault(ThisValue);
}

void TVdbDataType::SetInteger(TVdbDataValue&, std::int64_t) const { RaiseTypeMismatch("Integer->" + VplName()); }
std::int64_t TVdbDataType::GetInteger(const TVdbDataValue&) const { RaiseTypeMismatch(VplName() + "->Integer"); }
void TVdbDataType::SetDouble(TVdbDataValue&, double) const { RaiseTypeMismatch("Real->" + VplName()); }
double TVdbDataType::GetDouble(const TVdbDataValue&) const { RaiseTypeMismatch(VplName() + "->Real"); }
void TVdbDataType::SetGuid(TVdbDataValue&, const TVdbGuid&) const { RaiseTypeMismatch("Guid->" + VplName()); }
TVdbGuid TVdbDataType::GetGuid(const TVdbDataValue&) const { RaiseTypeMismatch(VplName() + "->Guid"); }
void TVdbDataType::SetTime(TVdbDataValue&, std::int64_t) const { RaiseTypeMismatch("Time->" + VplName()); }
std::int64_t TVdbDataType::GetTime(const TVdbDataValue&) const { RaiseTypeMismatch(VplName() + "->Time"); }
void TVdbDataType::SetDate(TVdbDataValue&, std::int32_t) const { RaisePlain("Is not a date."); }
std::int32_t TVdbDataType::GetDate(const TVdbDataValue&) const { RaisePlain("Is not a date."); }
void TVdbDataType::SetTimeStamp(TVdbDataValue&, const TVdbTimeStamp&) const {
  RaiseTypeMismatch("DateTime->" + VplName());
}
TVdbTimeStamp TVdbDataType::GetTimeStamp(const TVdbDataValue&) const { RaiseTypeMismatch(VplName() + "->DateTime"); }
void TVdbDataType::SetAnsiString(TVdbDataValue&, std::string_view) const { RaisePlain("Is not an ANSI string."); }
void TVdbDataType::SetAnsiString(TVdbDataValue&, const char*, std::int32_t) const {
  RaisePlain("Is not an ANSI string.");
}
void TVdbDataType::SetAnsiStringRef(TVdbDataValue& ThisValue, const char* Ansi, std::int32_t Length) const {
  SetAnsiString(ThisValue, Ansi, Length);
}
std::string TVdbDataType::GetAnsiString(const TVdbDataValue&) const { RaisePlain("Is not an ANSI string."); }
const char* TVdbDataType::GetPAnsiChar(const TVdbDataValue&, std::int32_t&) const {
  RaisePlain("Is not an ANSI string.");
}
void TVdbDataType::SetWideString(TVdbDataValue& ThisValue, std::u16string_view Value) const {
  SetWideString(ThisValue, Value.data(), static_cast<std::int32_t>(Value.size()));
}
void TVdbDataType::SetWideString(TVdbDataValue&, const char16_t*, std::int32_t) const {
  RaisePlain("Is not a wide string.");
}
std::u16string TVdbDataType::GetWideString(const TVdbDataValue&) const { RaisePlain("Is not a wide string."); }
void TVdbDataType::SetObject(TVdbDataValue&, void*) const { RaisePlain("Is not an object."); }
void* TVdbDataType::GetObject(const TVdbDataValue&) const { RaisePlain("Is not an object."); }
void TVdbDataType::SetBytes(TVdbDataValue&, const std::uint8_t*, std::int32_t) const { RaisePlain("Is not a binary."); }
std::vector<std::uint8_t> TVdbDataType::GetBytes(const TVdbDataValue&) const { RaisePlain("Is not a binary."); }

bool TVdbDataType::CanCompareTo(const TVdbDataType* OtherType) const {
  return OtherType->ColumnType() == FColumnType;
}

int TVdbDataType::CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                            const TVdbDataType* OtherType, TStrCmpOptions) const {
  if (IsNull(ThisValue) || OtherType->IsNull(OtherValue)) return kVdbCmpNull;
  RaisePlain("Cannot compare these types");
}

bool TVdbDataType::CanConvertTo(const TVdbDataType* OtherType, bool Explicitly) const {
  if (OtherType->ColumnType() == kVdbNullCode) return false;
  if (OtherType->ColumnType() == FColumnType) return true;
  return Explicitly && OtherType->IsStringType();
}

bool TVdbDataType::CanConvertFrom(const TVdbDataType* OtherType, bool Explicitly) const {
  if (OtherType->ColumnType() == kVdbNullCode) return FNullable;
  if (OtherType->ColumnType() == FColumnType) return true;
  return Explicitly && OtherType->IsStringType();
}

void TVdbDataType::ConvertTo(const TVdbDataValue& ThisValue, TVdbDataValue& OtherValue,
                             const TVdbDataType* OtherType) const {
  if (IsNull(ThisValue)) {
    OtherType->SetNullOrDefault(OtherValue);
  } else if (OtherType->ColumnType() == FColumnType) {
    OtherType->Assign(OtherValue, ThisValue, this);
  } else if (OtherType->IsStringType()) {
    std::string Text;
    ConvertToString(ThisValue, Text);
    OtherType->SetAnsiString(OtherValue, Text);
  } else if (OtherType->IsIntegerType() && IsIntegerType()) {
    OtherType->SetInteger(OtherValue, GetInteger(ThisValue));
  } else {
    RaiseCannotConvert(this, OtherType);
  }
}

void TVdbDataType::ConvertFrom(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                               const TVdbDataType* OtherType) const {
  if (TakeNullFrom(ThisValue, OtherValue, OtherType)) return;
  if (OtherType->ColumnType() == FColumnType) {
    AssignValue(ThisValue, OtherValue, OtherType);
  } else if (OtherType->IsIntegerType()) {
    SetInteger(ThisValue, OtherType->GetInteger(OtherValue));
  } else if (OtherType->IsStringType()) {
    ConvertFromString(ThisValue, OtherType->GetAnsiString(OtherValue));
  } else {
    RaiseCannotConvert(OtherType, this);
  }
}

void TVdbDataType::ConvertToString(const TVdbDataValue&, std::string&) const {
  throw EVdbEngine(kVdbErrUnknown, "Cannot convert to string");
}

void TVdbDataType::ConvertFromString(TVdbDataValue&, std::optional<std::string_view>) const {
  RaiseStringConversion();
}

std::string TVdbDataType::ToString(const TVdbDataValue& ThisValue) const {
  std::string Text;
  ConvertToString(ThisValue, Text);
  return Text;
}

const TVdbDataType* TVdbDataType::GetSuperType(const TVdbDataType* OtherType) const {
  if (OtherType == this) return this;
  if (OtherType->ColumnType() != FColumnType || OtherType->Level() != FLevel) return nullptr;
  if (OtherType == GetNullableType(OtherType->Nullable())) return GetNullableType(true);
  return nullptr;
}

const TVdbDataType* TVdbDataType::GetResultDataType(TVdbDataUnaryOperator) const { return nullptr; }

const TVdbDataType* TVdbDataType::GetResultDataTypeWith(TVdbDataBinaryOperator, const TVdbDataType*,
                                                        const TVdbDataType*) const {
  return nullptr;
}

void TVdbDataType::CalculateWith(TVdbDataBinaryOperator, const TVdbDataValue&, const TVdbDataValue&,
                                 TVdbDataValue&, const TVdbDataType*, const TVdbDataType*,
                                 const TVdbDataType*) const {
  RaisePlain("Cannot perform the operation on this data type.");
}

void TVdbDataType::CalculateWith(TVdbDataUnaryOperator, TVdbDataValue&, const TVdbDataValue&,
                                 const TVdbDataType*) const {
  RaisePlain("Cannot perform the operation on this data type.");
}

// ---------------------------------------------------------------------------------------------
// Null type

TVdbNullType::TVdbNullType() : TVdbDataType(kVdbNullCode, true, kVdbLiteralLevel) {}

bool TVdbNullType::TypeMatches(const TVdbDataValue& Value) const { return Value.ColumnType == kVdbNullCode; }

void TVdbNullType::GetDefault(TVdbDataValue& ThisValue) const { SetNull(ThisValue); }
void TVdbNullType::GetMaximum(TVdbDataValue& ThisValue) const { SetNull(ThisValue); }
void TVdbNullType::GetMinimum(TVdbDataValue& ThisValue) const { SetNull(ThisValue); }

void TVdbNullType::SetReference(TVdbDataValue&, std::uint8_t*) const { RaisePlain("Null type cannot be a reference."); }
void TVdbNullType::SetReference(TVdbDataValue&, TVdbDataValue&, const TVdbDataType*) const {
  RaisePlain("Null type cannot be a reference.");
}

bool TVdbNullType::IsNull(const TVdbDataValue&) const { return true; }

void TVdbNullType::SetNull(TVdbDataValue& ThisValue) const {
  ThisValue.Clear();
  ThisValue.ColumnType = kVdbNullCode;
}

bool TVdbNullType::CanCompareTo(const TVdbDataType*) const { return true; }

int TVdbNullType::CompareTo(const TVdbDataValue&, const TVdbDataValue&, const TVdbDataType*, TStrCmpOptions) const {
  return kVdbCmpNull;
}

bool TVdbNullType::CanConvertTo(const TVdbDataType* OtherType, bool) const { return OtherType->Nullable(); }

void TVdbNullType::ConvertTo(const TVdbDataValue&, TVdbDataValue& OtherValue, const TVdbDataType* OtherType) const {
  OtherType->SetNullOrDefault(OtherValue);
}

void TVdbNullType::ConvertToString(const TVdbDataValue&, std::string& Str) const { Str.clear(); }

void TVdbNullType::ConvertFromString(TVdbDataValue& ThisValue, std::optional<std::string_view>) const {
  SetNull(ThisValue);
}

const TVdbDataType* TVdbNullType::GetSuperType(const TVdbDataType* OtherType) const {
  return OtherType->GetNullableType(true);
}

const TVdbDataType* TVdbNullType::Reshaped(bool, std::int16_t) const { return this; }

// ---------------------------------------------------------------------------------------------
// Binary (blob) type: in a value the bytes, owned; an empty blob is NULL.

TVdbBinaryType::TVdbBinaryType(bool Nullable, std::int16_t Level, std::int32_t MaxLength)
    : TVdbDataType(kVdbBlobCode, Nullable, Level), FMaxLength(MaxLength) {}

void TVdbBinaryType::GetDefault(TVdbDataValue& ThisValue) const {
  ThisValue.Clear();
  ThisValue.ColumnType = FColumnType;
}
void TVdbBinaryType::GetMaximum(TVdbDataValue& ThisValue) const { GetDefault(ThisValue); }
void TVdbBinaryType::GetMinimum(TVdbDataValue& ThisValue) const { GetDefault(ThisValue); }

std::int32_t TVdbBinaryType::GetSize(const TVdbDataValue& ThisValue) const {
  return ThisValue.IsReference() ? 4 : ThisValue.BlobLength;
}

void TVdbBinaryType::CopyTo(const TVdbDataValue& ThisValue, TVdbDataValue& OtherValue) const {
  TVdbDataType::CopyTo(ThisValue, OtherValue);
}

bool TVdbBinaryType::IsNull(const TVdbDataValue& ThisValue) const {
  if (ThisValue.IsEmpty() || ThisValue.ColumnType == kVdbNullCode) return true;
  if (ThisValue.IsReference()) return ReadLE<std::int32_t>(ThisValue.DataPtr) == 0;
  return ThisValue.BlobLength == 0;
}

void TVdbBinaryType::SetNull(TVdbDataValue& ThisValue) const {
  CheckNullable();
  if (ThisValue.IsReference() && ThisValue.Code() == FColumnType) {
    WriteLE<std::int32_t>(ThisValue.DataPtr, 0);
    return;
  }
  GetDefault(ThisValue);
}

void TVdbBinaryType::SetBytes(TVdbDataValue& ThisValue, const std::uint8_t* Bytes, std::int32_t Length) const {
  if (Length < 0) Length = 0;
  if (ThisValue.IsReference()) RaisePlain("A blob in a record is set through its blob file.");
  if (ThisValue.Code() != FColumnType || ThisValue.IsEmpty()) ThisValue.Clear();
  // Through a copy: the bytes may come from this value's own buffer.
  std::vector<std::uint8_t> Copy(Bytes, Bytes + Length);
  ThisValue.ColumnType = FColumnType;
  ThisValue.Buffer.Reserve(Length);
  if (Length > 0) std::memcpy(ThisValue.Buffer.Data(), Copy.data(), static_cast<std::size_t>(Length));
  ThisValue.BlobLength = Length;
}

std::vector<std::uint8_t> TVdbBinaryType::GetBytes(const TVdbDataValue& ThisValue) const {
  if (IsNull(ThisValue) || ThisValue.IsReference()) return {};
  const std::uint8_t* P = ThisValue.Buffer.Data();
  return std::vector<std::uint8_t>(P, P + ThisValue.BlobLength);
}

int TVdbBinaryType::CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                              const TVdbDataType* OtherType, TStrCmpOptions) const {
  if (IsNull(ThisValue) || OtherType->IsNull(OtherValue)) return kVdbCmpNull;
  const std::vector<std::uint8_t> A = GetBytes(ThisValue);
  const std::vector<std::uint8_t> B = OtherType->GetBytes(OtherValue);
  return A < B ? kVdbCmpLess : (A == B ? kVdbCmpEqual : kVdbCmpGreater);
}

void TVdbBinaryType::AssignValue(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                                 const TVdbDataType* OtherType) const {
  const std::vector<std::uint8_t> Bytes = OtherType->GetBytes(OtherValue);
  SetBytes(ThisValue, Bytes.data(), static_cast<std::int32_t>(Bytes.size()));
}

const TVdbDataType* TVdbBinaryType::Reshaped(bool Nullable, std::int16_t Level) const {
  return GetBinaryType(Nullable, Level, FMaxLength);
}

// ---------------------------------------------------------------------------------------------
// Relation type: an object reference, never NULL.

void TVdbRelationType::GetDefault(TVdbDataValue& ThisValue) const { SetObject(ThisValue, nullptr); }
void TVdbRelationType::GetMaximum(TVdbDataValue& ThisValue) const { GetDefault(ThisValue); }
void TVdbRelationType::GetMinimum(TVdbDataValue& ThisValue) const { GetDefault(ThisValue); }
bool TVdbRelationType::IsNull(const TVdbDataValue& ThisValue) const { return ThisValue.IsEmpty(); }

void TVdbRelationType::SetObject(TVdbDataValue& ThisValue, void* Object) const {
  ThisValue.Clear();
  ThisValue.ColumnType = FColumnType;
  ThisValue.ObjectRef = Object;
}

void* TVdbRelationType::GetObject(const TVdbDataValue& ThisValue) const { return ThisValue.ObjectRef; }

void TVdbRelationType::AssignValue(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                                   const TVdbDataType* OtherType) const {
  SetObject(ThisValue, OtherType->GetObject(OtherValue));
}

const TVdbDataType* TVdbRelationType::Reshaped(bool Nullable, std::int16_t Level) const {
  return GetDataType(FColumnType, Nullable, Level);
}

}  // namespace vdb
