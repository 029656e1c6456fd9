// Integer and floating-point types.
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/VdbErrors.h"
#include "table/VdbData.h"

namespace vdb {

using namespace data_internal;

namespace {

constexpr double kFloatLimit = 1e16;
constexpr double kFloatEpsilon = 1e-15;

std::string Int128Text(__int128 V) {
  if (V == 0) return "0";
  const bool Negative = V < 0;
  std::string Digits;
  while (V != 0) {
    const int Digit = static_cast<int>(V % 10);
    Digits.insert(Digits.begin(), static_cast<char>('0' + (Digit < 0 ? -Digit : Digit)));
    V /= 10;
  }
  return Negative ? "-" + Digits : Digits;
}

std::string_view Trimmed(std::string_view S) {
  while (!S.empty() && (S.front() == ' ' || S.front() == '\t')) S.remove_prefix(1);
  while (!S.empty() && (S.back() == ' ' || S.back() == '\t')) S.remove_suffix(1);
  return S;
}

// Whether values of the type can read as NULL (nullable, or RecordId/Link whose 0 is NULL).
bool CanBeNull(const TVdbDataType* T) {
  return T->Nullable() || T->ColumnType() == kVdbRecordIdCode || T->ColumnType() == kVdbLinkCode;
}

const TVdbIntegerType* IntegerTypeOf(std::int16_t Code, bool Nullable, std::int16_t Level) {
  return static_cast<const TVdbIntegerType*>(TVdbDataType::GetDataType(Code, Nullable, Level));
}

// The integer code wide enough for the values of both types.
const TVdbIntegerType* WiderOf(const TVdbIntegerType* A, const TVdbIntegerType* B) {
  if (A->IsBigger(B)) return A;
  if (B->IsBigger(A)) return B;
  const bool Big = A->ColumnType() == kVdbBigIntCode || B->ColumnType() == kVdbBigIntCode;
  return IntegerTypeOf(Big ? kVdbBigIntCode : kVdbIntegerCode, A->Nullable(), A->Level());
}

// Rounds half to even; false when the value is not finite or outside the 64-bit range.
bool RoundToInt64(double V, std::int64_t& Result) {
  if (!std::isfinite(V)) return false;
  const double R = std::nearbyint(V);
  if (R < -9223372036854775808.0 || R >= 9223372036854775808.0) return false;
  Result = static_cast<std::int64_t>(R);
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Integer types

std::int32_t TVdbIntegerType::ValueSize() const {
  switch (FColumnType) {
    case kVdbSmallIntCode: return 2;
    case kVdbByteCode:
    case kVdbBooleanCode: return 1;
    case kVdbBigIntCode: return 8;
    default: return 4;
  }
}

bool TVdbIntegerType::GetHasNullByte() const {
  return FNullable && FColumnType != kVdbRecordIdCode && FColumnType != kVdbLinkCode;
}

std::int32_t TVdbIntegerType::GetDataSize() const { return ValueSize() + (GetHasNullByte() ? 1 : 0); }

std::string TVdbIntegerType::SqlName() const {
  switch (FColumnType) {
    case kVdbSmallIntCode: return "SmallInt";
    case kVdbByteCode: return "Byte";
    case kVdbBooleanCode: return "Boolean";
    case kVdbRecordIdCode: return "RecordId";
    case kVdbLinkCode: return "Link";
    case kVdbBigIntCode: return "BigInt";
    default: return "Integer";
  }
}

std::int64_t TVdbIntegerType::MinValue() const {
  switch (FColumnType) {
    case kVdbSmallIntCode: return -32768;
    case kVdbByteCode:
    case kVdbBooleanCode:
    case kVdbRecordIdCode:
    case kVdbLinkCode: return 0;
    case kVdbBigIntCode: return std::numeric_limits<std::int64_t>::min();
    default: return std::numeric_limits<std::int32_t>::min();
  }
}

std::int64_t TVdbIntegerType::MaxValue() const {
  switch (FColumnType) {
    case kVdbSmallIntCode: return 32767;
    case kVdbByteCode: return 255;
    case kVdbBooleanCode: return 1;
    case kVdbBigIntCode: return std::numeric_limits<std::int64_t>::max();
    default: return std::numeric_limits<std::int32_t>::max();
  }
}

bool TVdbIntegerType::IsBigger(const TVdbIntegerType* IntegerType) const {
  return MinValue() <= IntegerType->MinValue() && MaxValue() >= IntegerType->MaxValue();
}

void TVdbIntegerType::GetDefault(TVdbDataValue& ThisValue) const { SetInteger(ThisValue, 0); }
void TVdbIntegerType::GetMaximum(TVdbDataValue& ThisValue) const { SetInteger(ThisValue, MaxValue()); }

void TVdbIntegerType::GetMinimum(TVdbDataValue& ThisValue) const {
  if (FNullable && FLevel >= 4) SetNull(ThisValue);
  else SetInteger(ThisValue, MinValue());
}

bool TVdbIntegerType::IsNull(const TVdbDataValue& ThisValue) const {
  if (FixedIsNull(ThisValue)) return true;
  return (FColumnType == kVdbRecordIdCode || FColumnType == kVdbLinkCode) && GetInteger(ThisValue) == 0;
}

void TVdbIntegerType::SetNull(TVdbDataValue& ThisValue) const { FixedSetNull(ThisValue); }

void TVdbIntegerType::SetInteger(TVdbDataValue& ThisValue, std::int64_t Value) const {
  if (Value < MinValue() || Value > MaxValue())
    RaiseRange(std::to_string(Value), SqlName(), std::to_string(MinValue()), std::to_string(MaxValue()));
  std::uint8_t* P = PrepareFixed(ThisValue);
  switch (ValueSize()) {
    case 1: P[0] = static_cast<std::uint8_t>(Value); break;
    case 2: WriteLE<std::int16_t>(P, static_cast<std::int16_t>(Value)); break;
    case 4: WriteLE<std::int32_t>(P, static_cast<std::int32_t>(Value)); break;
    default: WriteLE<std::int64_t>(P, Value); break;
  }
}

std::int64_t TVdbIntegerType::GetInteger(const TVdbDataValue& ThisValue) const {
  if (ThisValue.IsEmpty() || ThisValue.ColumnType == kVdbNullCode) return 0;
  const std::uint8_t* P = FixedValueBytes(ThisValue);
  switch (ValueSize()) {
    case 1: return P[0];
    case 2: return ReadLE<std::int16_t>(P);
    case 4: return ReadLE<std::int32_t>(P);
    default: return ReadLE<std::int64_t>(P);
  }
}

void TVdbIntegerType::SetDouble(TVdbDataValue& ThisValue, double Value) const {
  std::int64_t Rounded = 0;
  if (!RoundToInt64(Value, Rounded)) {
    char Buf[64];
    auto R = std::to_chars(Buf, Buf + sizeof(Buf), Value);
    RaiseRange(std::string(Buf, R.ptr), SqlName(), std::to_string(MinValue()), std::to_string(MaxValue()));
  }
  if (FColumnType == kVdbBooleanCode) Rounded = Rounded != 0 ? 1 : 0;
  SetInteger(ThisValue, Rounded);
}

double TVdbIntegerType::GetDouble(const TVdbDataValue& ThisValue) const {
  return static_cast<double>(GetInteger(ThisValue));
}

bool TVdbIntegerType::CanCompareTo(const TVdbDataType* OtherType) const {
  return IsIntegerCode(OtherType->ColumnType()) || OtherType->ColumnType() == kVdbNullCode;
}

int TVdbIntegerType::CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                               const TVdbDataType* OtherType, TStrCmpOptions Options) const {
  if (IsNull(ThisValue) || OtherType->IsNull(OtherValue)) return kVdbCmpNull;
  if (OtherType->ColumnType() == kVdbFloatCode)
    return MirrorCompare(OtherType->CompareTo(OtherValue, ThisValue, this, Options));
  if (!IsIntegerCode(OtherType->ColumnType())) RaisePlain("Cannot compare these types");
  return CompareNumbers(GetInteger(ThisValue), OtherType->GetInteger(OtherValue));
}

bool TVdbIntegerType::CanConvertTo(const TVdbDataType* OtherType, bool Explicitly) const {
  if (TVdbDataType::CanConvertTo(OtherType, Explicitly)) return true;
  const std::int16_t Code = OtherType->ColumnType();
  return Code == kVdbFloatCode || (Explicitly && IsIntegerCode(Code));
}

bool TVdbIntegerType::CanConvertFrom(const TVdbDataType* OtherType, bool Explicitly) const {
  if (TVdbDataType::CanConvertFrom(OtherType, Explicitly)) return true;
  const std::int16_t From = OtherType->ColumnType();
  if (Explicitly) return IsIntegerCode(From) || From == kVdbFloatCode;
  auto Among = [From](std::initializer_list<std::int16_t> Codes) {
    for (std::int16_t C : Codes)
      if (C == From) return true;
    return false;
  };
  switch (FColumnType) {
    case kVdbSmallIntCode: return Among({kVdbByteCode, kVdbBooleanCode});
    case kVdbByteCode: return Among({kVdbBooleanCode});
    case kVdbBooleanCode: return false;
    case kVdbBigIntCode: return IsIntegerCode(From);
    default:
      return Among({kVdbSmallIntCode, kVdbByteCode, kVdbBooleanCode, kVdbRecordIdCode, kVdbLinkCode,
                    kVdbIntegerCode});
  }
}

void TVdbIntegerType::ConvertTo(const TVdbDataValue& ThisValue, TVdbDataValue& OtherValue,
                                const TVdbDataType* OtherType) const {
  if (!IsNull(ThisValue) && OtherType->ColumnType() == kVdbFloatCode) {
    OtherType->SetDouble(OtherValue, GetDouble(ThisValue));
  } else if (!IsNull(ThisValue) && IsIntegerCode(OtherType->ColumnType())) {
    OtherType->ConvertFrom(OtherValue, ThisValue, this);
  } else {
    TVdbDataType::ConvertTo(ThisValue, OtherValue, OtherType);
  }
}

void TVdbIntegerType::ConvertFrom(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                                  const TVdbDataType* OtherType) const {
  if (TakeNullFrom(ThisValue, OtherValue, OtherType)) return;
  const std::int16_t From = OtherType->ColumnType();
  if (IsIntegerCode(From)) {
    // Narrowing keeps the low bits (Boolean: any non-zero value is 1).
    const std::int64_t V = OtherType->GetInteger(OtherValue);
    switch (FColumnType) {
      case kVdbSmallIntCode: SetInteger(ThisValue, static_cast<std::int16_t>(V)); break;
      case kVdbByteCode: SetInteger(ThisValue, static_cast<std::uint8_t>(V)); break;
      case kVdbBooleanCode: SetInteger(ThisValue, V != 0 ? 1 : 0); break;
      case kVdbBigIntCode: SetInteger(ThisValue, V); break;
      default: SetInteger(ThisValue, static_cast<std::int32_t>(V)); break;
    }
  } else if (From == kVdbFloatCode) {
    SetDouble(ThisValue, OtherType->GetDouble(OtherValue));
  } else if (From == kVdbDateCode || From == kVdbTimeCode || From == kVdbTimeStampCode) {
    OtherType->ConvertTo(OtherValue, ThisValue, this);
  } else {
    TVdbDataType::ConvertFrom(ThisValue, OtherValue, OtherType);
  }
}

void TVdbIntegerType::ConvertToString(const TVdbDataValue& ThisValue, std::string& Str) const {
  if (IsNull(ThisValue)) {
    Str.clear();
  } else if (FColumnType == kVdbBooleanCode) {
    Str = GetInteger(ThisValue) != 0 ? "True" : "False";
  } else {
    Str = std::to_string(GetInteger(ThisValue));
  }
}

void TVdbIntegerType::ConvertFromString(TVdbDataValue& ThisValue, std::optional<std::string_view> Str) const {
  if (!Str) {
    SetNull(ThisValue);
    return;
  }
  const std::string_view Text = Trimmed(*Str);
  if (FColumnType == kVdbBooleanCode) {
    if (CompareIdentifiers(Text, "True") == 0) SetInteger(ThisValue, 1);
    else if (CompareIdentifiers(Text, "False") == 0) SetInteger(ThisValue, 0);
    else RaiseRange(std::string(*Str), SqlName(), "False", "True");
    return;
  }
  std::string_view Digits = Text;
  if (!Digits.empty() && Digits.front() == '+') Digits.remove_prefix(1);
  std::int64_t V = 0;
  const auto R = std::from_chars(Digits.data(), Digits.data() + Digits.size(), V);
  if (R.ec == std::errc::result_out_of_range)
    RaiseRange(std::string(Text), SqlName(), std::to_string(MinValue()), std::to_string(MaxValue()));
  if (Digits.empty() || R.ec != std::errc() || R.ptr != Digits.data() + Digits.size())
    RaiseConvert("\"%s\" is not a valid integer value", *Str);
  SetInteger(ThisValue, V);
}

const TVdbDataType* TVdbIntegerType::GetSuperType(const TVdbDataType* OtherType) const {
  const bool N = FNullable || OtherType->Nullable();
  if (IsIntegerCode(OtherType->ColumnType())) {
    const TVdbIntegerType* W = WiderOf(this, static_cast<const TVdbIntegerType*>(OtherType));
    return W->GetNullableType(N);
  }
  if (OtherType->ColumnType() == kVdbFloatCode) return OtherType->GetNullableType(N);
  return TVdbDataType::GetSuperType(OtherType);
}

const TVdbDataType* TVdbIntegerType::GetResultDataType(TVdbDataUnaryOperator Op) const {
  const bool N = CanBeNull(this);
  switch (Op) {
    case duoMinus:
    case duoNot:
      switch (FColumnType) {
        case kVdbByteCode: return IntegerTypeOf(kVdbSmallIntCode, N, FLevel);
        case kVdbBooleanCode: return Op == duoNot ? GetNullableType(N) : IntegerTypeOf(kVdbSmallIntCode, N, FLevel);
        case kVdbRecordIdCode:
        case kVdbLinkCode: return IntegerTypeOf(kVdbIntegerCode, N, FLevel);
        default: return this;
      }
    case duoInc:
      return GetNullableType(N);
    default:
      return nullptr;
  }
}

const TVdbDataType* TVdbIntegerType::GetResultDataTypeWith(TVdbDataBinaryOperator Op, const TVdbDataType* DataType1,
                                                           const TVdbDataType* DataType2) const {
  if (!IsIntegerCode(DataType1->ColumnType()) || !IsIntegerCode(DataType2->ColumnType())) return nullptr;
  const auto* T1 = static_cast<const TVdbIntegerType*>(DataType1);
  const auto* T2 = static_cast<const TVdbIntegerType*>(DataType2);
  const TVdbIntegerType* W = WiderOf(T1, T2);
  const bool N = CanBeNull(T1) || CanBeNull(T2);
  const std::int16_t Code = W->ColumnType();
  const bool Int32Like = Code == kVdbRecordIdCode || Code == kVdbLinkCode || Code == kVdbIntegerCode;
  auto Result = [&](std::int16_t C) { return IntegerTypeOf(C, N, W->Level()); };
  switch (Op) {
    case dboPlus:
    case dboMinus:
      if (Code == kVdbSmallIntCode) return Result(kVdbIntegerCode);
      if (Code == kVdbByteCode || Code == kVdbBooleanCode) return Result(kVdbSmallIntCode);
      return Result(kVdbBigIntCode);
    case dboMultiply:
      if (Code == kVdbSmallIntCode || Code == kVdbByteCode || Code == kVdbBooleanCode) return Result(kVdbIntegerCode);
      return Result(kVdbBigIntCode);
    case dboDivide:
      return GetFloatType(N, W->Level(), 2);
    case dboDiv:
    case dboMod:
    case dboAnd:
    case dboOr:
      return Result(Int32Like ? static_cast<std::int16_t>(kVdbIntegerCode) : Code);
  }
  return nullptr;
}

void TVdbIntegerType::CalculateWith(TVdbDataBinaryOperator Op, const TVdbDataValue& DataValue1,
                                    const TVdbDataValue& DataValue2, TVdbDataValue& ResultValue,
                                    const TVdbDataType* DataType1, const TVdbDataType* DataType2,
                                    const TVdbDataType* ResultType) const {
  if (NullOperand(DataValue1, DataType1, DataValue2, DataType2, ResultValue, ResultType)) return;
  if (!IsIntegerCode(DataType1->ColumnType()) || !IsIntegerCode(DataType2->ColumnType()))
    RaisePlain("Cannot perform the operation on this data type.");
  const std::int64_t A = DataType1->GetInteger(DataValue1);
  const std::int64_t B = DataType2->GetInteger(DataValue2);
  // Results beyond the 64-bit range are reported like any other range excess of the result type.
  auto Overflow = [&](__int128 Exact) -> void {
    const auto* RT = dynamic_cast<const TVdbIntegerType*>(ResultType);
    const TVdbIntegerType* Range = RT != nullptr ? RT : IntegerTypeOf(kVdbBigIntCode, false, kVdbLiteralLevel);
    RaiseRange(Int128Text(Exact), Range->SqlName(), std::to_string(Range->MinValue()),
               std::to_string(Range->MaxValue()));
  };
  std::int64_t R = 0;
  switch (Op) {
    case dboPlus:
      if (__builtin_add_overflow(A, B, &R)) Overflow(static_cast<__int128>(A) + B);
      break;
    case dboMinus:
      if (__builtin_sub_overflow(A, B, &R)) Overflow(static_cast<__int128>(A) - B);
      break;
    case dboMultiply:
      if (__builtin_mul_overflow(A, B, &R)) Overflow(static_cast<__int128>(A) * B);
      break;
    case dboDivide:
      if (B == 0) RaisePlain("Integer division by zero");
      ResultType->SetDouble(ResultValue, static_cast<double>(A) / static_cast<double>(B));
      return;
    case dboDiv:
      if (B == 0) RaisePlain("Integer division by zero");
      if (A == std::numeric_limits<std::int64_t>::min() && B == -1) Overflow(-static_cast<__int128>(A));
      R = A / B;
      break;
    case dboMod:
      if (B == 0) RaisePlain("Integer division by zero");
      R = B == -1 ? 0 : A % B;
      break;
    case dboAnd: R = A & B; break;
    case dboOr: R = A | B; break;
  }
  ResultType->SetInteger(ResultValue, R);
}

void TVdbIntegerType::CalculateWith(TVdbDataUnaryOperator Op, TVdbDataValue& ThisValue,
                                    const TVdbDataValue& ArgumentValue, const TVdbDataType* ArgumentType) const {
  if (ArgumentType->IsNull(ArgumentValue)) {
    SetNullOrDefault(ThisValue);
    return;
  }
  const std::int64_t V = ArgumentType->GetInteger(ArgumentValue);
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  switch (Op) {
    case duoMinus:
      if (V == kMin) RaiseRange(Int128Text(-static_cast<__int128>(V)), SqlName(), std::to_string(MinValue()), std::to_string(MaxValue()));
      SetInteger(ThisValue, -V);
      return;
    case duoNot:
      // The complement of a truth value is the other truth value.
      SetInteger(ThisValue, ArgumentType->ColumnType() == kVdbBooleanCode ? (V != 0 ? 0 : 1) : ~V);
      return;
    case duoInc:
      if (V == kMax) RaiseRange(Int128Text(static_cast<__int128>(V) + 1), SqlName(), std::to_string(MinValue()), std::to_string(MaxValue()));
      SetInteger(ThisValue, V + 1);
      return;
    default:
      RaisePlain("Cannot perform the operation on this data type.");
  }
}

const TVdbDataType* TVdbIntegerType::Reshaped(bool Nullable, std::int16_t Level) const {
  return GetDataType(FColumnType, Nullable, Level);
}

// ---------------------------------------------------------------------------------------------
// Float type

TVdbFloatType::TVdbFloatType(bool Nullable, std::int16_t Level, std::int16_t Scale)
    : TVdbNumericType(kVdbFloatCode, Nullable, Level), FScale(Scale) {}

std::int32_t TVdbFloatType::GetDataSize() const { return 8 + (FNullable ? 1 : 0); }

void TVdbFloatType::GetDefault(TVdbDataValue& ThisValue) const { SetDouble(ThisValue, 0.0); }
void TVdbFloatType::GetMaximum(TVdbDataValue& ThisValue) const { SetDouble(ThisValue, kFloatLimit); }

void TVdbFloatType::GetMinimum(TVdbDataValue& ThisValue) const {
  if (FNullable && FLevel >= 4) SetNull(ThisValue);
  else SetDouble(ThisValue, -kFloatLimit);
}

void TVdbFloatType::SetInteger(TVdbDataValue& ThisValue, std::int64_t Value) const {
  SetDouble(ThisValue, static_cast<double>(Value));
}

std::int64_t TVdbFloatType::GetInteger(const TVdbDataValue& ThisValue) const {
  const double V = GetDouble(ThisValue);
  std::int64_t R = 0;
  if (!RoundToInt64(V, R)) {
    RaiseRange(ToString(ThisValue), "BigInt", std::to_string(std::numeric_limits<std::int64_t>::min()),
               std::to_string(std::numeric_limits<std::int64_t>::max()));
  }
  return R;
}

void TVdbFloatType::SetDouble(TVdbDataValue& ThisValue, double Value) const {
  WriteLE<double>(PrepareFixed(ThisValue), Value);
}

double TVdbFloatType::GetDouble(const TVdbDataValue& ThisValue) const {
  if (ThisValue.IsEmpty() || ThisValue.ColumnType == kVdbNullCode) return 0.0;
  return ReadLE<double>(FixedValueBytes(ThisValue));
}

bool TVdbFloatType::CanCompareTo(const TVdbDataType* OtherType) const {
  const std::int16_t Code = OtherType->ColumnType();
  return IsIntegerCode(Code) || Code == kVdbFloatCode || Code == kVdbNullCode;
}

int TVdbFloatType::CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                             const TVdbDataType* OtherType, TStrCmpOptions) const {
  if (IsNull(ThisValue) || OtherType->IsNull(OtherValue)) return kVdbCmpNull;
  if (!OtherType->IsNumericType()) RaisePlain("Cannot compare these types");
  const double A = GetDouble(ThisValue);
  const double B = OtherType->GetDouble(OtherValue);
  const double Sum = std::fabs(A) + std::fabs(B);
  if (Sum <= kFloatEpsilon || std::fabs(A - B) / Sum <= kFloatEpsilon) return kVdbCmpEqual;
  return CompareNumbers(A, B);
}

bool TVdbFloatType::CanConvertTo(const TVdbDataType* OtherType, bool Explicitly) const {
  return TVdbDataType::CanConvertTo(OtherType, Explicitly) || (Explicitly && OtherType->IsNumericType());
}

bool TVdbFloatType::CanConvertFrom(const TVdbDataType* OtherType, bool Explicitly) const {
  return TVdbDataType::CanConvertFrom(OtherType, Explicitly) || OtherType->IsNumericType();
}

void TVdbFloatType::ConvertTo(const TVdbDataValue& ThisValue, TVdbDataValue& OtherValue,
                              const TVdbDataType* OtherType) const {
  if (!IsNull(ThisValue) && OtherType->IsIntegerType()) {
    OtherType->SetDouble(OtherValue, GetDouble(ThisValue));
  } else {
    TVdbDataType::ConvertTo(ThisValue, OtherValue, OtherType);
  }
}

void TVdbFloatType::ConvertFrom(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                                const TVdbDataType* OtherType) const {
  if (TakeNullFrom(ThisValue, OtherValue, OtherType)) return;
  if (OtherType->IsNumericType()) {
    SetDouble(ThisValue, OtherType->GetDouble(OtherValue));
  } else if (OtherType->ColumnType() == kVdbDateCode || OtherType->ColumnType() == kVdbTimeCode ||
             OtherType->ColumnType() == kVdbTimeStampCode) {
    OtherType->ConvertTo(OtherValue, ThisValue, this);
  } else {
    TVdbDataType::ConvertFrom(ThisValue, OtherValue, OtherType);
  }
}

void TVdbFloatType::ConvertToString(const TVdbDataValue& ThisValue, std::string& Str) const {
  if (IsNull(ThisValue)) {
    Str.clear();
    return;
  }
  char Buf[64];
  const auto R = std::to_chars(Buf, Buf + sizeof(Buf), GetDouble(ThisValue));
  Str.assign(Buf, R.ptr);
}

std::string TVdbFloatType::ScaledString(const TVdbDataValue& ThisValue) const {
  if (IsNull(ThisValue)) return {};
  char Buf[400];
  const auto R = std::to_chars(Buf, Buf + sizeof(Buf), GetDouble(ThisValue), std::chars_format::fixed,
                               std::max<int>(0, FScale));
  if (R.ec != std::errc()) return ToString(ThisValue);
  return std::string(Buf, R.ptr);
}

void TVdbFloatType::ConvertFromString(TVdbDataValue& ThisValue, std::optional<std::string_view> Str) const {
  if (!Str) {
    SetNull(ThisValue);
    return;
  }
  std::string_view Text = Trimmed(*Str);
  if (!Text.empty() && Text.front() == '+') Text.remove_prefix(1);
  double V = 0.0;
  const auto R = std::from_chars(Text.data(), Text.data() + Text.size(), V);
  if (Text.empty() || R.ec != std::errc() || R.ptr != Text.data() + Text.size() || !std::isfinite(V))
    RaiseConvert("Invalid double: \"%s\"", *Str);
  SetDouble(ThisValue, V);
}

const TVdbDataType* TVdbFloatType::GetSuperType(const TVdbDataType* OtherType) const {
  const bool N = FNullable || OtherType->Nullable();
  if (OtherType->ColumnType() == kVdbFloatCode) {
    const auto* F = static_cast<const TVdbFloatType*>(OtherType);
    return (F->Scale() > FScale ? F : this)->GetNullableType(N);
  }
  if (OtherType->IsIntegerType()) return GetNullableType(N);
  return nullptr;
}

const TVdbDataType* TVdbFloatType::GetResultDataType(TVdbDataUnaryOperator Op) const {
  return Op == duoMinus || Op == duoInc ? this : nullptr;
}

const TVdbDataType* TVdbFloatType::GetResultDataTypeWith(TVdbDataBinaryOperator Op, const TVdbDataType* DataType1,
                                                         const TVdbDataType* DataType2) const {
  if (!DataType1->IsNumericType() || !DataType2->IsNumericType()) return nullptr;
  if (Op != dboPlus && Op != dboMinus && Op != dboMultiply && Op != dboDivide) return nullptr;
  const TVdbDataType* F = DataType1->ColumnType() == kVdbFloatCode ? DataType1 : DataType2;
  // A NULL operand makes the result NULL, so the result is nullable when either operand can be NULL.
  return F->GetNullableType(CanBeNull(DataType1) || CanBeNull(DataType2));
}

void TVdbFloatType::CalculateWith(TVdbDataBinaryOperator Op, const TVdbDataValue& DataValue1,
                                  const TVdbDataValue& DataValue2, TVdbDataValue& ResultValue,
                                  const TVdbDataType* DataType1, const TVdbDataType* DataType2,
                                  const TVdbDataType* ResultType) const {
  if (NullOperand(DataValue1, DataType1, DataValue2, DataType2, ResultValue, ResultType)) return;
  const double A = DataType1->GetDouble(DataValue1);
  const double B = DataType2->GetDouble(DataValue2);
  double R = 0.0;
  switch (Op) {
    case dboPlus: R = A + B; break;
    case dboMinus: R = A - B; break;
    case dboMultiply: R = A * B; break;
    case dboDivide:
      if (B == 0.0) throw EVdbEngine(kVdbErrDivisionByZero, kxFormatArgs{});
      R = A / B;
      break;
    default:
      RaisePlain("Cannot perform the operation on this data type.");
  }
  if (!std::isfinite(R)) RaisePlain("Floating point overflow");
  ResultType->SetDouble(ResultValue, R);
}

void TVdbFloatType::CalculateWith(TVdbDataUnaryOperator Op, TVdbDataValue& ThisValue,
                                  const TVdbDataValue& ArgumentValue, const TVdbDataType* ArgumentType) const {
  if (ArgumentType->IsNull(ArgumentValue)) {
    SetNullOrDefault(ThisValue);
    return;
  }
  const double V = ArgumentType->GetDouble(ArgumentValue);
  if (Op == duoMinus) SetDouble(ThisValue, -V);
  else if (Op == duoInc) SetDouble(ThisValue, V + 1.0);
  else RaisePlain("Cannot perform the operation on this data type.");
}

const TVdbDataType* TVdbFloatType::Reshaped(bool Nullable, std::int16_t Level) const {
  return GetFloatType(Nullable, Level, FScale);
}

}  // namespace vdb
