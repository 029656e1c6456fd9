// String types: bounded 8-bit and UTF-16 strings and memos, under a collation.
#include <algorithm>
#include <charconv>
#include <cstring>

#include "base/VdbErrors.h"
#include "storage/kxMemory.h"
#include "table/VdbData.h"

namespace vdb {

using namespace data_internal;

namespace {

constexpr std::int32_t kMemoMinChars = 80;

const TVdbStringType* AsString(const TVdbDataType* T) {
  return T->IsStringType() ? static_cast<const TVdbStringType*>(T) : nullptr;
}

bool IsAnsiCode(std::int16_t Code) { return Code == kVdbStringCode || Code == kVdbMemoCode; }
bool IsWideCode(std::int16_t Code) { return Code == kVdbWideStringCode || Code == kVdbWideMemoCode; }

std::u16string UnitsFrom(const std::uint8_t* P, std::int32_t Count) {
  std::u16string Units(static_cast<std::size_t>(Count), u'\0');
  if (Count > 0) std::memcpy(Units.data(), P, static_cast<std::size_t>(Count) * 2);
  return Units;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Common string behaviour

TVdbStringType::TVdbStringType(std::int16_t ColumnType, bool Nullable, std::int16_t Level, std::int32_t MaxLength,
                               std::string CollationName, std::uint32_t LocaleId, TStrCmpOptions Options)
    : TVdbDataType(ColumnType, Nullable, Level),
      FMaxLength(MaxLength),
      FCollationName(std::move(CollationName)),
      FLocaleId(LocaleId),
      FStrCmpOptions(Options) {}

std::int32_t TVdbStringType::PrefixSize() const {
  if (IsMemo()) return 4;
  if (IsWide()) return FMaxLength <= 65535 ? 2 : 4;
  if (FMaxLength < 256) return 1;
  return FMaxLength <= 65535 ? 2 : 4;
}

std::uint32_t TVdbStringType::CodePage() const { return LocaleCodePage(FLocaleId); }

std::int32_t TVdbStringType::CalcMaxLength(std::int16_t ColumnType, bool Nullable, std::int16_t Level,
                                           std::int32_t Size) {
  if (Level <= 3) Nullable = false;
  switch (ColumnType) {
    case kVdbStringCode:
      if (Nullable) return Size <= 257 ? Size - 2 : Size - 3;
      return Size <= 256 ? Size - 1 : Size - 2;
    case kVdbWideStringCode:
      return Nullable ? (Size - 3) / 2 : (Size - 2) / 2;
    case kVdbMemoCode:
      return 0x7FFFFFFF;
    case kVdbWideMemoCode:
      return 0x3FFFFFFF;
    default:
      return 0;
  }
}

bool TVdbStringType::IsSupportedCollation(const std::string& CollationName) {
  std::uint32_t LocaleId = 0;
  TStrCmpOptions Options = 0;
  return ParseCollationName(CollationName, LocaleId, Options);
}

bool TVdbStringType::GetHasNullByte() const { return FNullable && !IsMemo(); }

std::int32_t TVdbStringType::GetDataSize() const {
  if (IsMemo()) return 4;
  return (GetHasNullByte() ? 1 : 0) + PrefixSize() + FMaxLength * CharSize();
}

std::int32_t TVdbStringType::CharOffset(const TVdbDataValue&) const {
  return (HasNullByte() && NullByteFirst() ? 1 : 0) + PrefixSize();
}

std::int32_t TVdbStringType::OwnedSize(std::int32_t Length) const {
  if (IsMemo()) return 4 + std::max(Length, kMemoMinChars) * CharSize();
  // A trailing null byte sits after the whole character area, as in a record.
  if (HasNullByte() && !NullByteFirst()) return DataSize();
  return (HasNullByte() ? 1 : 0) + PrefixSize() + Length * CharSize();
}

std::int32_t TVdbStringType::GetLength(const std::uint8_t* Ptr) const {
  const std::uint8_t* P = Ptr + (HasNullByte() && NullByteFirst() ? 1 : 0);
  std::int64_t Length;
  switch (PrefixSize()) {
    case 1: Length = P[0]; break;
    case 2: Length = ReadLE<std::uint16_t>(P); break;
    default: Length = ReadLE<std::int32_t>(P); break;
  }
  // A damaged prefix never leads outside the character area.
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(Length, 0, FMaxLength));
}

std::int32_t TVdbStringType::GetLength(const TVdbDataValue& ThisValue) const {
  if (ThisValue.IsEmpty() || ThisValue.ColumnType == kVdbNullCode) return 0;
  if (IsMemo()) {
    if (ThisValue.IsReference() || ThisValue.Buffer.Data() == nullptr) return 0;
    const std::int32_t Length = ReadLE<std::int32_t>(ThisValue.Buffer.Data());
    return std::clamp<std::int32_t>(Length, 0, (ThisValue.Buffer.Size() - 4) / CharSize());
  }
  if (ThisValue.IsReference()) return GetLength(ThisValue.DataPtr);
  if (ThisValue.Buffer.Data() == nullptr || ThisValue.Buffer.Size() < CharOffset(ThisValue)) return 0;
  // An owned image holds no more characters than its buffer has room for.
  const std::int32_t Room = (ThisValue.Buffer.Size() - CharOffset(ThisValue)) / CharSize();
  return std::min(GetLength(ThisValue.Buffer.Data()), Room);
}

void TVdbStringType::SetLength(TVdbDataValue& ThisValue, std::int32_t Length) const {
  std::uint8_t* P = ImageOf(ThisValue);
  if (IsMemo()) {
    WriteLE<std::int32_t>(P, Length);
    return;
  }
  P += HasNullByte() && NullByteFirst() ? 1 : 0;
  switch (PrefixSize()) {
    case 1: P[0] = static_cast<std::uint8_t>(Length); break;
    case 2: WriteLE<std::uint16_t>(P, static_cast<std::uint16_t>(Length)); break;
    default: WriteLE<std::int32_t>(P, Length); break;
  }
}

const std::uint8_t* TVdbStringType::CharData(const TVdbDataValue& ThisValue, std::int32_t& Length) const {
  Length = GetLength(ThisValue);
  if (Length == 0) return nullptr;
  if (IsMemo()) return ThisValue.Buffer.Data() + 4;
  return ImageOf(ThisValue) + CharOffset(ThisValue);
}

void TVdbStringType::StoreChars(TVdbDataValue& ThisValue, const std::uint8_t* Chars, std::int32_t Length) const {
  Length = std::clamp<std::int32_t>(Length, 0, FMaxLength);
  // Through a copy: the characters may come from this value's own image.
  const std::vector<std::uint8_t> Copy(Chars, Chars + static_cast<std::size_t>(Length) * CharSize());
  const bool IntoRecord = ThisValue.IsReference() && ThisValue.Code() == FColumnType;
  if (IntoRecord && IsMemo()) RaisePlain("A memo in a record is written through its memo file.");
  if (!IntoRecord) {
    if (ThisValue.IsEmpty() || ThisValue.IsReference() || ThisValue.Code() != FColumnType) ThisValue.Clear();
    ThisValue.ColumnType = FColumnType;
    ThisValue.Buffer.Reserve(OwnedSize(Length));
  }
  std::uint8_t* Image = ImageOf(ThisValue);
  if (HasNullByte()) Image[NullByteOffset()] = 1;
  SetLength(ThisValue, Length);
  const std::int32_t Offset = IsMemo() ? 4 : CharOffset(ThisValue);
  if (!Copy.empty()) std::memcpy(Image + Offset, Copy.data(), Copy.size());
}

std::int32_t TVdbStringType::GetSize(const TVdbDataValue& ThisValue) const {
  const std::int32_t Chars = GetLength(ThisValue) * CharSize();
  if (IsMemo()) return 4 + Chars;
  return (HasNullByte() ? 1 : 0) + PrefixSize() + Chars;
}

void TVdbStringType::CopyTo(const TVdbDataValue& ThisValue, TVdbDataValue& OtherValue) const {
  TVdbDataType::CopyTo(ThisValue, OtherValue);
}

bool TVdbStringType::IsNull(const TVdbDataValue& ThisValue) const {
  if (ThisValue.IsEmpty() || ThisValue.ColumnType == kVdbNullCode) return true;
  if (IsMemo()) {
    if (ThisValue.IsReference()) return ReadLE<std::int32_t>(ThisValue.DataPtr) == 0;
    return GetLength(ThisValue) == 0;
  }
  if (!ThisValue.IsReference() && ThisValue.Buffer.Data() == nullptr) return FNullable;
  return HasNullByte() && ImageOf(ThisValue)[NullByteOffset()] == 0;
}

void TVdbStringType::SetNull(TVdbDataValue& ThisValue) const {
  CheckNullable();
  if (IsMemo() && ThisValue.IsReference() && ThisValue.Code() == FColumnType) {
    WriteLE<std::int32_t>(ThisValue.DataPtr, 0);
    return;
  }
  StoreChars(ThisValue, nullptr, 0);
  if (HasNullByte()) ImageOf(ThisValue)[NullByteOffset()] = 0;
}

void TVdbStringType::GetDefault(TVdbDataValue& ThisValue) const { StoreChars(ThisValue, nullptr, 0); }

void TVdbStringType::GetMinimum(TVdbDataValue& ThisValue) const {
  if (FNullable && FLevel >= 4) SetNull(ThisValue);
  else GetDefault(ThisValue);
}

void TVdbStringType::GetMaximum(TVdbDataValue& ThisValue) const {
  GetDefault(ThisValue);
  GetMaximumFill(ThisValue);
}

void TVdbStringType::GetMaximumFill(TVdbDataValue& ThisValue) const {
  std::int32_t Length = 0;
  const std::uint8_t* Chars = CharData(ThisValue, Length);
  if (Length >= FMaxLength) return;
  std::vector<std::uint8_t> Filled(Chars, Chars + static_cast<std::size_t>(Length) * CharSize());
  Filled.resize(Filled.size() + static_cast<std::size_t>(CharSize()), 0);
  StoreChars(ThisValue, Filled.data(), Length + 1);
}

void TVdbStringType::ConvertToString(const TVdbDataValue& ThisValue, std::string& Str) const {
  Str = IsNull(ThisValue) ? std::string() : GetAnsiString(ThisValue);
}

void TVdbStringType::ConvertFromString(TVdbDataValue& ThisValue, std::optional<std::string_view> Str) const {
  if (!Str) SetNull(ThisValue);
  else SetAnsiString(ThisValue, *Str);
}

void TVdbStringType::SetInteger(TVdbDataValue& ThisValue, std::int64_t Value) const {
  SetAnsiString(ThisValue, std::to_string(Value));
}

void TVdbStringType::SetDouble(TVdbDataValue& ThisValue, double Value) const {
  char Buf[64];
  const auto R = std::to_chars(Buf, Buf + sizeof(Buf), Value);
  SetAnsiString(ThisValue, std::string_view(Buf, static_cast<std::size_t>(R.ptr - Buf)));
}

bool TVdbStringType::CanConvertFrom(const TVdbDataType* OtherType, bool Explicitly) const {
  const TVdbStringType* S = AsString(OtherType);
  if (S == nullptr) {
    // Every type with a text form converts to a string explicitly.
    return TVdbDataType::CanConvertFrom(OtherType, Explicitly) ||
           (Explicitly && OtherType->ColumnType() != kVdbRelationCode && OtherType->ColumnType() != kVdbBlobCode);
  }
  if (S == this) return true;
  if (IsWide() && S->IsWide()) return true;
  if (!IsWide() && !S->IsWide()) return Explicitly || S->LocaleId() == FLocaleId;
  return Explicitly;
}

bool TVdbStringType::CanConvertTo(const TVdbDataType* OtherType, bool Explicitly) const {
  // Between strings the target's rules decide (8-bit strings of one locale only, implicitly).
  if (const TVdbStringType* S = AsString(OtherType)) return S->CanConvertFrom(this, Explicitly);
  return TVdbDataType::CanConvertTo(OtherType, Explicitly);
}

void TVdbStringType::AssignValue(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                                 const TVdbDataType* OtherType) const {
  ConvertFrom(ThisValue, OtherValue, OtherType);
}

void TVdbStringType::ConvertFrom(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                                 const TVdbDataType* OtherType) const {
  if (TakeNullFrom(ThisValue, OtherValue, OtherType)) return;
  const TVdbStringType* S = AsString(OtherType);
  if (S == nullptr) {
    std::string Text;
    OtherType->ConvertToString(OtherValue, Text);
    SetAnsiString(ThisValue, Text);
  } else if (IsWide()) {
    const std::u16string Units = S->WideChars(OtherValue);
    SetWideString(ThisValue, Units);
  } else {
    const std::string Bytes = S->AnsiCharsIn(OtherValue, CodePage());
    SetAnsiString(ThisValue, Bytes.data(), static_cast<std::int32_t>(Bytes.size()));
  }
}

const TVdbDataType* TVdbStringType::GetSuperType(const TVdbDataType* OtherType) const {
  const TVdbStringType* S = AsString(OtherType);
  if (S == nullptr) return nullptr;
  const bool N = FNullable || OtherType->Nullable();
  const bool Wide = IsWide() || S->IsWide();
  const bool Memo = IsMemo() || S->IsMemo();
  const std::int16_t Code = Wide ? (Memo ? kVdbWideMemoCode : kVdbWideStringCode) : (Memo ? kVdbMemoCode : kVdbStringCode);
  const std::int32_t Limit = Wide ? kVdbMaxWideLength : kVdbMaxAnsiLength;
  const std::int32_t Length = Memo ? 0 : std::min(std::max(FMaxLength, S->MaxLength()), Limit);
  return GetStringType(Code, N, FLevel, Length, FCollationName);
}

const TVdbDataType* TVdbStringType::GetResultDataType(TVdbDataUnaryOperator Op) const {
  return Op == duoStringUpper || Op == duoStringLower ? this : nullptr;
}

const TVdbDataType* TVdbStringType::GetResultDataTypeWith(TVdbDataBinaryOperator Op, const TVdbDataType* DataType1,
                                                          const TVdbDataType* DataType2) const {
  const TVdbStringType* S1 = AsString(DataType1);
  const TVdbStringType* S2 = AsString(DataType2);
  if (Op != dboPlus || S1 == nullptr || S2 == nullptr) return nullptr;
  const bool N = S1->Nullable() || S2->Nullable();
  const bool Wide = S1->IsWide() || S2->IsWide();
  if (S1->IsMemo() || S2->IsMemo())
    return GetStringType(Wide ? kVdbWideMemoCode : kVdbMemoCode, N, S1->Level(), 0, S1->CollationName());
  const std::int32_t Limit = Wide ? kVdbMaxWideLength : kVdbMaxAnsiLength;
  const std::int64_t Sum = static_cast<std::int64_t>(S1->MaxLength()) + S2->MaxLength();
  return GetStringType(Wide ? kVdbWideStringCode : kVdbStringCode, N, S1->Level(),
                       static_cast<std::int32_t>(std::min<std::int64_t>(Sum, Limit)), S1->CollationName());
}

void TVdbStringType::CalculateWith(TVdbDataBinaryOperator Op, const TVdbDataValue& DataValue1,
                                   const TVdbDataValue& DataValue2, TVdbDataValue& ResultValue,
                                   const TVdbDataType* DataType1, const TVdbDataType* DataType2,
                                   const TVdbDataType* ResultType) const {
  const TVdbStringType* S1 = AsString(DataType1);
  const TVdbStringType* S2 = AsString(DataType2);
  const TVdbStringType* R = AsString(ResultType);
  if (Op != dboPlus || S1 == nullptr || S2 == nullptr || R == nullptr)
    RaisePlain("Cannot perform the operation on this data type.");
  if (S1->IsNull(DataValue1) || S2->IsNull(DataValue2)) {
    // A NULL memo is also the empty text: concatenating with it keeps the other side.
    if (!(S1->IsMemo() || S2->IsMemo())) {
      R->SetNullOrDefault(ResultValue);
      return;
    }
  }
  if (R->IsWide()) {
    const std::u16string Text = S1->WideChars(DataValue1) + S2->WideChars(DataValue2);
    R->SetWideString(ResultValue, Text);
  } else {
    const std::string Text = S1->AnsiCharsIn(DataValue1, R->CodePage()) + S2->AnsiCharsIn(DataValue2, R->CodePage());
    R->SetAnsiString(ResultValue, Text.data(), static_cast<std::int32_t>(Text.size()));
  }
}

void TVdbStringType::CalculateWith(TVdbDataUnaryOperator Op, TVdbDataValue& ThisValue,
                                   const TVdbDataValue& ArgumentValue, const TVdbDataType* ArgumentType) const {
  const TVdbStringType* S = AsString(ArgumentType);
  if (S == nullptr || (Op != duoStringUpper && Op != duoStringLower))
    RaisePlain("Cannot perform the operation on this data type.");
  if (S->IsNull(ArgumentValue)) {
    SetNullOrDefault(ThisValue);
    return;
  }
  if (IsWide()) {
    std::u16string Text = S->WideChars(ArgumentValue);
    const auto Count = static_cast<std::int32_t>(Text.size());
    if (Op == duoStringUpper) CollatedUpper(Text.data(), Text.data(), Count, FLocaleId);
    else CollatedLower(Text.data(), Text.data(), Count, FLocaleId);
    SetWideString(ThisValue, Text);
  } else {
    std::string Text = S->AnsiCharsIn(ArgumentValue, CodePage());
    const auto Count = static_cast<std::int32_t>(Text.size());
    if (Op == duoStringUpper) CollatedUpper(Text.data(), Text.data(), Count, FLocaleId);
    else CollatedLower(Text.data(), Text.data(), Count, FLocaleId);
    SetAnsiString(ThisValue, Text.data(), Count);
  }
}

const TVdbDataType* TVdbStringType::Reshaped(bool Nullable, std::int16_t Level) const {
  return GetStringType(FColumnType, Nullable, Level, FMaxLength, FCollationName);
}

// ---------------------------------------------------------------------------------------------
// 8-bit strings

std::string TVdbAnsiStringType::SqlName() const {
  if (FColumnType == kVdbMemoCode) return "LONGVARCHAR";
  if (FCollationName.empty()) return kxFormat("VARCHAR(%d)", {FMaxLength});
  return kxFormat("VARCHAR(%d) COLLATE %s", {FMaxLength, FCollationName});
}

std::string TVdbAnsiStringType::AnsiCharsIn(const TVdbDataValue& ThisValue, std::uint32_t Page) const {
  std::int32_t Length = 0;
  const char* P = GetPAnsiChar(ThisValue, Length);
  const std::string_view Bytes(P, static_cast<std::size_t>(Length));
  if (Page == CodePage() || Length == 0) return std::string(Bytes);
  return Utf8ToAnsi(AnsiToUtf8(Bytes, CodePage()), Page);
}

std::u16string TVdbAnsiStringType::WideChars(const TVdbDataValue& ThisValue) const {
  std::int32_t Length = 0;
  const char* P = GetPAnsiChar(ThisValue, Length);
  return AnsiToUtf16(std::string_view(P, static_cast<std::size_t>(Length)), CodePage());
}

void TVdbAnsiStringType::SetAnsiString(TVdbDataValue& ThisValue, std::string_view Utf8) const {
  const std::string Ansi = Utf8ToAnsi(Utf8, CodePage());
  StoreChars(ThisValue, reinterpret_cast<const std::uint8_t*>(Ansi.data()), static_cast<std::int32_t>(Ansi.size()));
}

void TVdbAnsiStringType::SetAnsiString(TVdbDataValue& ThisValue, const char* Ansi, std::int32_t Length) const {
  StoreChars(ThisValue, reinterpret_cast<const std::uint8_t*>(Ansi), Ansi == nullptr ? 0 : Length);
}

void TVdbAnsiStringType::SetAnsiStringRef(TVdbDataValue& ThisValue, const char* Ansi, std::int32_t Length) const {
  SetAnsiString(ThisValue, Ansi, Length);
}

std::string TVdbAnsiStringType::GetAnsiString(const TVdbDataValue& ThisValue) const {
  std::int32_t Length = 0;
  const char* P = GetPAnsiChar(ThisValue, Length);
  return AnsiToUtf8(std::string_view(P, static_cast<std::size_t>(Length)), CodePage());
}

const char* TVdbAnsiStringType::GetPAnsiChar(const TVdbDataValue& ThisValue, std::int32_t& Length) const {
  const char* P = reinterpret_cast<const char*>(CharData(ThisValue, Length));
  return P != nullptr ? P : "";
}

// Wide text is converted with the code page of the type's collation, the one its bytes are in.
void TVdbAnsiStringType::SetWideString(TVdbDataValue& ThisValue, std::u16string_view Value) const {
  SetAsWideString(ThisValue, Value);
}

void TVdbAnsiStringType::SetWideString(TVdbDataValue& ThisValue, const char16_t* Value, std::int32_t Length) const {
  SetAsWideString(ThisValue, std::u16string_view(Value, Value == nullptr ? 0 : static_cast<std::size_t>(Length)));
}

std::u16string TVdbAnsiStringType::GetWideString(const TVdbDataValue& ThisValue) const { return WideChars(ThisValue); }

void TVdbAnsiStringType::SetAsWideString(TVdbDataValue& ThisValue, std::u16string_view Value) const {
  const std::string Ansi = Utf16ToAnsi(Value, CodePage());
  SetAnsiString(ThisValue, Ansi.data(), static_cast<std::int32_t>(Ansi.size()));
}

bool TVdbAnsiStringType::Matches(const TVdbDataValue& Value, const TVdbDataValue& Pattern,
                                 const TVdbDataType* PatternType, int EscapeChar, char16_t SingleJoker,
                                 char16_t MultiJoker) const {
  const TVdbStringType* P = PatternType != nullptr ? AsString(PatternType) : this;
  if (P == nullptr) RaisePlain("Is not an ANSI string.");
  if (IsNull(Value) || P->IsNull(Pattern)) return false;
  std::int32_t Length = 0;
  const char* Chars = GetPAnsiChar(Value, Length);
  const std::string PatternChars = P->AnsiCharsIn(Pattern, CodePage());
  return MatchesPattern(Chars, Length, PatternChars.data(), static_cast<std::int32_t>(PatternChars.size()),
                        EscapeChar, static_cast<char>(MultiJoker), static_cast<char>(SingleJoker),
                        FStrCmpOptions, FLocaleId);
}

bool TVdbAnsiStringType::CanCompareTo(const TVdbDataType* OtherType) const {
  return IsAnsiCode(OtherType->ColumnType()) || OtherType->ColumnType() == kVdbNullCode;
}

int TVdbAnsiStringType::CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                                  const TVdbDataType* OtherType, TStrCmpOptions Options) const {
  if (IsNull(ThisValue) || OtherType->IsNull(OtherValue)) return kVdbCmpNull;
  const TVdbStringType* S = AsString(OtherType);
  if (S == nullptr || !IsAnsiCode(OtherType->ColumnType())) RaisePlain("Cannot compare these types");
  std::int32_t Length = 0, OtherLength = 0;
  const char* Chars = GetPAnsiChar(ThisValue, Length);
  // Both in one code page: compared in place; otherwise the other side is converted first.
  std::string Converted;
  const char* OtherChars;
  if (S->CodePage() == CodePage()) {
    OtherChars = S->GetPAnsiChar(OtherValue, OtherLength);
  } else {
    Converted = S->AnsiCharsIn(OtherValue, CodePage());
    OtherChars = Converted.data();
    OtherLength = static_cast<std::int32_t>(Converted.size());
  }
  return FromThreeWay(CompareCollated(Chars, Length, OtherChars, OtherLength, FStrCmpOptions | Options, FLocaleId));
}

// ---------------------------------------------------------------------------------------------
// UTF-16 strings

std::string TVdbWideStringType::SqlName() const {
  if (FColumnType == kVdbWideMemoCode) return "LONGVARWCHAR";
  return kxFormat("VARWCHAR(%d)", {FMaxLength});
}

std::u16string TVdbWideStringType::WideChars(const TVdbDataValue& ThisValue) const {
  std::int32_t Length = 0;
  const std::uint8_t* P = CharData(ThisValue, Length);
  return UnitsFrom(P, Length);
}

std::string TVdbWideStringType::AnsiCharsIn(const TVdbDataValue& ThisValue, std::uint32_t Page) const {
  return Utf16ToAnsi(WideChars(ThisValue), Page);
}

void TVdbWideStringType::SetAnsiString(TVdbDataValue& ThisValue, std::string_view Utf8) const {
  SetWideString(ThisValue, TkxMemory::Utf8ToUtf16(Utf8));
}

void TVdbWideStringType::SetAnsiString(TVdbDataValue& ThisValue, const char* Ansi, std::int32_t Length) const {
  SetWideString(ThisValue,
                AnsiToUtf16(std::string_view(Ansi, Ansi == nullptr ? 0 : static_cast<std::size_t>(Length)), CodePage()));
}

std::string TVdbWideStringType::GetAnsiString(const TVdbDataValue& ThisValue) const {
  return TkxMemory::Utf16ToUtf8(WideChars(ThisValue));
}

void TVdbWideStringType::SetWideString(TVdbDataValue& ThisValue, std::u16string_view Value) const {
  SetWideString(ThisValue, Value.data(), static_cast<std::int32_t>(Value.size()));
}

void TVdbWideStringType::SetWideString(TVdbDataValue& ThisValue, const char16_t* Value, std::int32_t Length) const {
  StoreChars(ThisValue, reinterpret_cast<const std::uint8_t*>(Value), Value == nullptr ? 0 : Length);
}

std::u16string TVdbWideStringType::GetWideString(const TVdbDataValue& ThisValue) const { return WideChars(ThisValue); }

const char16_t* TVdbWideStringType::GetCharPtr(const TVdbDataValue& ThisValue, std::int32_t& Length) const {
  const std::uint8_t* P = CharData(ThisValue, Length);
  return P != nullptr ? reinterpret_cast<const char16_t*>(P) : u"";
}

bool TVdbWideStringType::Matches(const TVdbDataValue& Value, const TVdbDataValue& Pattern,
                                 const TVdbDataType* PatternType, int EscapeChar, char16_t SingleJoker,
                                 char16_t MultiJoker) const {
  const TVdbStringType* P = PatternType != nullptr ? AsString(PatternType) : this;
  if (P == nullptr) RaisePlain("Is not a wide string.");
  if (IsNull(Value) || P->IsNull(Pattern)) return false;
  const std::u16string Text = WideChars(Value);
  const std::u16string PatternText = P->GetWideString(Pattern);
  return MatchesPattern(Text.data(), static_cast<std::int32_t>(Text.size()), PatternText.data(),
                        static_cast<std::int32_t>(PatternText.size()), EscapeChar, MultiJoker, SingleJoker,
                        FStrCmpOptions, FLocaleId);
}

bool TVdbWideStringType::CanCompareTo(const TVdbDataType* OtherType) const {
  return IsWideCode(OtherType->ColumnType()) || OtherType->ColumnType() == kVdbNullCode;
}

int TVdbWideStringType::CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                                  const TVdbDataType* OtherType, TStrCmpOptions Options) const {
  if (IsNull(ThisValue) || OtherType->IsNull(OtherValue)) return kVdbCmpNull;
  if (!IsWideCode(OtherType->ColumnType())) RaisePlain("Cannot compare these types");
  // Copies: field images need not be aligned for 16-bit access.
  const std::u16string A = WideChars(ThisValue);
  const std::u16string B = OtherType->GetWideString(OtherValue);
  return FromThreeWay(CompareCollated(A.data(), static_cast<std::int32_t>(A.size()), B.data(),
                                      static_cast<std::int32_t>(B.size()), FStrCmpOptions | Options, FLocaleId));
}

}  // namespace vdb
