// Character, enumeration and GUID types.
#include <algorithm>
#include <cstring>

#include "base/VdbErrors.h"
#include "table/VdbData.h"

namespace vdb {

using namespace data_internal;

namespace {

constexpr std::uint32_t kEngineCodePage = 1252;
constexpr std::uint32_t kEngineOemCodePage = 850;

std::string_view Trimmed(std::string_view S) {
  while (!S.empty() && S.front() == ' ') S.remove_prefix(1);
  while (!S.empty() && S.back() == ' ') S.remove_suffix(1);
  return S;
}

const char kHexDigits[] = "0123456789ABCDEF";

void AppendHex(std::string& Out, std::uint64_t V, int Digits) {
  for (int I = Digits - 1; I >= 0; --I) Out.push_back(kHexDigits[(V >> (4 * I)) & 15]);
}

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

bool ParseHex(std::string_view S, std::uint64_t& V) {
  V = 0;
  for (char C : S) {
    const int H = HexValue(C);
    if (H < 0) return false;
    V = V * 16 + static_cast<std::uint64_t>(H);
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CHAR(1)

std::int32_t TVdbCharType::GetDataSize() const { return 1 + (FNullable ? 1 : 0); }

// The constraint is named on the type that has it: " NOT NULL" marks the type without NULL.
std::string TVdbCharType::SqlName() const { return FNullable ? "CHAR(1)" : "CHAR(1) NOT NULL"; }

std::uint32_t TVdbCharType::CodePage() const { return FLevel < 2 ? kEngineOemCodePage : kEngineCodePage; }

void TVdbCharType::GetDefault(TVdbDataValue& ThisValue) const { SetInteger(ThisValue, 0); }
void TVdbCharType::GetMaximum(TVdbDataValue& ThisValue) const { SetInteger(ThisValue, 255); }

void TVdbCharType::GetMinimum(TVdbDataValue& ThisValue) const {
  if (FNullable && FLevel >= 4) SetNull(ThisValue);
  else SetInteger(ThisValue, 0);
}

void TVdbCharType::SetInteger(TVdbDataValue& ThisValue, std::int64_t Value) const {
  if (Value < 0 || Value > 255) RaiseRange(std::to_string(Value), SqlName(), "0", "255");
  PrepareFixed(ThisValue)[0] = static_cast<std::uint8_t>(Value);
}

std::int64_t TVdbCharType::GetInteger(const TVdbDataValue& ThisValue) const {
  if (ThisValue.IsEmpty() || ThisValue.ColumnType == kVdbNullCode) return 0;
  return FixedValueBytes(ThisValue)[0];
}

void TVdbCharType::SetAnsiString(TVdbDataValue& ThisValue, std::string_view Utf8) const {
  const std::string Ansi = Utf8ToAnsi(Utf8, CodePage());
  SetAnsiString(ThisValue, Ansi.data(), static_cast<std::int32_t>(Ansi.size()));
}

void TVdbCharType::SetAnsiString(TVdbDataValue& ThisValue, const char* Ansi, std::int32_t Length) const {
  if (Length > 1) throw EConvertError("String too long");
  SetInteger(ThisValue, Length <= 0 || Ansi == nullptr ? 0 : static_cast<std::uint8_t>(Ansi[0]));
}

std::string TVdbCharType::GetAnsiString(const TVdbDataValue& ThisValue) const {
  std::int32_t Length = 0;
  const char* P = GetPAnsiChar(ThisValue, Length);
  return AnsiToUtf8(std::string_view(P, static_cast<std::size_t>(Length)), CodePage());
}

const char* TVdbCharType::GetPAnsiChar(const TVdbDataValue& ThisValue, std::int32_t& Length) const {
  if (IsNull(ThisValue)) {
    Length = 0;
    return "";
  }
  const char* P = reinterpret_cast<const char*>(FixedValueBytes(ThisValue));
  Length = *P == 0 ? 0 : 1;
  return P;
}

int TVdbCharType::CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                            const TVdbDataType* OtherType, TStrCmpOptions) const {
  if (IsNull(ThisValue) || OtherType->IsNull(OtherValue)) return kVdbCmpNull;
  if (OtherType->ColumnType() != kVdbCharCode) RaisePlain("Cannot compare these types");
  return CompareNumbers(GetInteger(ThisValue), OtherType->GetInteger(OtherValue));
}

void TVdbCharType::ConvertToString(const TVdbDataValue& ThisValue, std::string& Str) const {
  Str = IsNull(ThisValue) ? std::string() : GetAnsiString(ThisValue);
}

void TVdbCharType::ConvertFromString(TVdbDataValue& ThisValue, std::optional<std::string_view> Str) const {
  if (!Str) SetNullOrDefault(ThisValue);
  else SetAnsiString(ThisValue, *Str);
}

// Through the text: the two types may keep their characters in different code pages.
void TVdbCharType::AssignValue(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                               const TVdbDataType* OtherType) const {
  SetAnsiString(ThisValue, OtherType->GetAnsiString(OtherValue));
}

const TVdbDataType* TVdbCharType::Reshaped(bool Nullable, std::int16_t Level) const {
  return GetDataType(FColumnType, Nullable, Level);
}

// ---------------------------------------------------------------------------------------------
// Enumerations

TVdbEnumType::TVdbEnumType(bool Nullable, std::int16_t Level, std::string Name, bool Flags,
                           std::vector<TVdbEnumItem> Items)
    : TVdbDataType(kVdbEnumCode, Nullable, Level), FName(std::move(Name)), FFlags(Flags), FEnumItems(std::move(Items)) {}

const std::string& TVdbEnumType::GetEnumName(std::size_t Index) const {
  if (Index >= FEnumItems.size()) RaisePlain(kxFormat("Enumeration %s has no item %d", {FName, Index}));
  return FEnumItems[Index].Name;
}

std::int32_t TVdbEnumType::GetEnumValue(std::size_t Index) const {
  if (Index >= FEnumItems.size()) RaisePlain(kxFormat("Enumeration %s has no item %d", {FName, Index}));
  return FEnumItems[Index].Value;
}

const std::string& TVdbEnumType::FindEnumName(std::int32_t Value) const {
  for (const TVdbEnumItem& Item : FEnumItems)
    if (Item.Value == Value) return Item.Name;
  throw EConvertError(kxFormat("\"%s\" is not a valid enumeration value for %s.", {std::to_string(Value), FName}));
}

bool TVdbEnumType::TryFindEnumValue(std::string_view Name, std::int32_t& Value) const {
  const std::string_view Wanted = Trimmed(Name);
  for (const TVdbEnumItem& Item : FEnumItems) {
    if (CompareIdentifiers(Item.Name, Wanted) == 0) {
      Value = Item.Value;
      return true;
    }
  }
  return false;
}

std::int32_t TVdbEnumType::FindEnumValue(std::string_view Name) const {
  std::int32_t Value = 0;
  if (!TryFindEnumValue(Name, Value))
    throw EConvertError(kxFormat("\"%s\" is not a valid enumeration value for %s.", {std::string(Name), FName}));
  return Value;
}

bool TVdbEnumType::HasEnumName(std::string_view Name) const {
  std::int32_t Value = 0;
  return TryFindEnumValue(Name, Value);
}

std::vector<std::string> TVdbEnumType::CalcEnumNames(std::string_view EnumNames, char Separator, char Quote) {
  std::vector<std::string> Names;
  std::string Current;
  bool InQuotes = false;
  bool Quoted = false;
  auto Finish = [&] {
    std::string_view Name = Current;
    if (!Quoted) Name = Trimmed(Name);
    if (!Name.empty() || Quoted) Names.emplace_back(Name);
    Current.clear();
    Quoted = false;
  };
  for (std::size_t I = 0; I < EnumNames.size(); ++I) {
    const char C = EnumNames[I];
    if (Quote != 0 && C == Quote) {
      // A doubled quote inside a quoted name stands for the quote itself.
      if (InQuotes && I + 1 < EnumNames.size() && EnumNames[I + 1] == Quote) {
        Current.push_back(Quote);
        ++I;
      } else {
        InQuotes = !InQuotes;
        if (InQuotes) {
          Current.clear();
          Quoted = true;
        }
      }
    } else if (C == Separator && !InQuotes) {
      Finish();
    } else if (InQuotes || !Quoted) {
      Current.push_back(C);
    }
  }
  if (!Current.empty() || Quoted) Finish();
  return Names;
}

std::string TVdbEnumType::CalcDefaultEnumNames(std::int32_t EnumCount, char Separator, char Quote) {
  std::string Names;
  for (std::int32_t I = 1; I <= EnumCount; ++I) {
    if (I > 1) Names.push_back(Separator);
    if (Quote != 0) Names.push_back(Quote);
    Names += "Enum" + std::to_string(I);
    if (Quote != 0) Names.push_back(Quote);
  }
  return Names;
}

void TVdbEnumType::GetDefault(TVdbDataValue& ThisValue) const {
  SetInteger(ThisValue, FEnumItems.empty() ? 0 : FEnumItems.front().Value);
}

void TVdbEnumType::GetMaximum(TVdbDataValue& ThisValue) const {
  std::int32_t Max = 0;
  for (const TVdbEnumItem& Item : FEnumItems) Max = FFlags ? (Max | Item.Value) : std::max(Max, Item.Value);
  SetInteger(ThisValue, std::clamp(Max, 0, 255));
}

void TVdbEnumType::GetMinimum(TVdbDataValue& ThisValue) const {
  if ((FNullable && FLevel >= 4) || FEnumItems.empty()) {
    // The minimum is the empty value 0.
    PrepareFixed(ThisValue)[0] = 0;
    return;
  }
  std::int32_t Min = 255;
  for (const TVdbEnumItem& Item : FEnumItems) Min = std::min(Min, Item.Value);
  SetInteger(ThisValue, std::clamp(Min, 0, 255));
}

bool TVdbEnumType::IsNull(const TVdbDataValue& ThisValue) const {
  return FixedIsNull(ThisValue) || FixedValueBytes(ThisValue)[0] == 0;
}

void TVdbEnumType::SetNull(TVdbDataValue& ThisValue) const { FixedSetNull(ThisValue); }

void TVdbEnumType::SetInteger(TVdbDataValue& ThisValue, std::int64_t Value) const {
  if (Value < 0 || Value > 255) RaiseRange(std::to_string(Value), FName.empty() ? SqlName() : FName, "0", "255");
  if (Value != 0 && HasItems()) {
    bool Known = false;
    if (FFlags) {
      std::int64_t All = 0;
      for (const TVdbEnumItem& Item : FEnumItems) All |= Item.Value;
      Known = (Value & ~All) == 0;
    } else {
      Known = std::any_of(FEnumItems.begin(), FEnumItems.end(), [&](const TVdbEnumItem& I) { return I.Value == Value; });
    }
    if (!Known)
      throw EConvertError(kxFormat("\"%s\" is not a valid enumeration value for %s.", {std::to_string(Value), FName}));
  }
  PrepareFixed(ThisValue)[0] = static_cast<std::uint8_t>(Value);
}

std::int64_t TVdbEnumType::GetInteger(const TVdbDataValue& ThisValue) const {
  if (ThisValue.IsEmpty() || ThisValue.ColumnType == kVdbNullCode) return 0;
  return FixedValueBytes(ThisValue)[0];
}

int TVdbEnumType::CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                            const TVdbDataType* OtherType, TStrCmpOptions) const {
  if (IsNull(ThisValue) || OtherType->IsNull(OtherValue)) return kVdbCmpNull;
  if (OtherType->ColumnType() != kVdbEnumCode) RaisePlain("Cannot compare these types");
  return CompareNumbers(GetInteger(ThisValue), OtherType->GetInteger(OtherValue));
}

bool TVdbEnumType::CanConvertFrom(const TVdbDataType* OtherType, bool Explicitly) const {
  return TVdbDataType::CanConvertFrom(OtherType, Explicitly) || (Explicitly && OtherType->IsIntegerType());
}

void TVdbEnumType::ConvertToString(const TVdbDataValue& ThisValue, std::string& Str) const {
  Str.clear();
  if (IsNull(ThisValue)) return;
  const std::int32_t Value = static_cast<std::int32_t>(GetInteger(ThisValue));
  if (!FFlags) {
    for (const TVdbEnumItem& Item : FEnumItems) {
      if (Item.Value == Value) {
        Str = Item.Name;
        return;
      }
    }
    Str = std::to_string(Value);
    return;
  }
  for (const TVdbEnumItem& Item : FEnumItems) {
    if (Item.Value != 0 && (Value & Item.Value) == Item.Value) {
      if (!Str.empty()) Str += ",";
      Str += Item.Name;
    }
  }
}

void TVdbEnumType::ConvertFromString(TVdbDataValue& ThisValue, std::optional<std::string_view> Str) const {
  if (!Str || (Trimmed(*Str).empty() && FNullable)) {
    SetNull(ThisValue);
    return;
  }
  std::int32_t Value = 0;
  if (FFlags) {
    for (const std::string& Name : CalcEnumNames(*Str, ',', 0)) {
      std::int32_t Bit = 0;
      if (!TryFindEnumValue(Name, Bit)) RaiseInvalidName(*Str);
      Value |= Bit;
    }
  } else if (!TryFindEnumValue(*Str, Value)) {
    RaiseInvalidName(*Str);
  }
  SetInteger(ThisValue, Value);
}

void TVdbEnumType::RaiseInvalidName(std::string_view Text) const {
  throw EConvertError(kxFormat("\"%s\" is not a valid enumeration value for %s.", {std::string(Text), FName}));
}

const TVdbDataType* TVdbEnumType::Reshaped(bool Nullable, std::int16_t Level) const {
  return GetEnumType(Nullable, Level, FName, FFlags, FEnumItems);
}

// ---------------------------------------------------------------------------------------------
// GUID

std::int32_t TVdbGuidType::GetDataSize() const { return 16 + (FNullable ? 1 : 0); }

std::string TVdbGuidType::GuidToString(const TVdbGuid& Guid) {
  std::string S = "{";
  AppendHex(S, Guid.D1, 8);
  S += "-";
  AppendHex(S, Guid.D2, 4);
  S += "-";
  AppendHex(S, Guid.D3, 4);
  S += "-";
  AppendHex(S, Guid.D4[0], 2);
  AppendHex(S, Guid.D4[1], 2);
  S += "-";
  for (int I = 2; I < 8; ++I) AppendHex(S, Guid.D4[I], 2);
  S += "}";
  return S;
}

bool TVdbGuidType::TryStringToGuid(std::string_view Text, TVdbGuid& Guid) {
  Text = Trimmed(Text);
  if (Text.size() != 38 || Text.front() != '{' || Text.back() != '}' || Text[9] != '-' || Text[14] != '-' ||
      Text[19] != '-' || Text[24] != '-')
    return false;
  std::uint64_t V = 0;
  TVdbGuid G;
  if (!ParseHex(Text.substr(1, 8), V)) return false;
  G.D1 = static_cast<std::uint32_t>(V);
  if (!ParseHex(Text.substr(10, 4), V)) return false;
  G.D2 = static_cast<std::uint16_t>(V);
  if (!ParseHex(Text.substr(15, 4), V)) return false;
  G.D3 = static_cast<std::uint16_t>(V);
  static constexpr std::size_t kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int I = 0; I < 8; ++I) {
    if (!ParseHex(Text.substr(kByteAt[I], 2), V)) return false;
    G.D4[I] = static_cast<std::uint8_t>(V);
  }
  Guid = G;
  return true;
}

void TVdbGuidType::GetDefault(TVdbDataValue& ThisValue) const { SetGuid(ThisValue, TVdbGuid{}); }

void TVdbGuidType::GetMaximum(TVdbDataValue& ThisValue) const {
  TVdbGuid G;
  G.D1 = 0xFFFFFFFF;
  G.D2 = G.D3 = 0xFFFF;
  std::fill(std::begin(G.D4), std::end(G.D4), 0xFF);
  SetGuid(ThisValue, G);
}

void TVdbGuidType::GetMinimum(TVdbDataValue& ThisValue) const {
  if (FNullable && FLevel >= 4) SetNull(ThisValue);
  else GetDefault(ThisValue);
}

void TVdbGuidType::SetGuid(TVdbDataValue& ThisValue, const TVdbGuid& Value) const {
  std::memcpy(PrepareFixed(ThisValue), &Value, sizeof(Value));
}

TVdbGuid TVdbGuidType::GetGuid(const TVdbDataValue& ThisValue) const {
  TVdbGuid G;
  if (ThisValue.IsEmpty() || ThisValue.ColumnType == kVdbNullCode) return G;
  std::memcpy(&G, FixedValueBytes(ThisValue), sizeof(G));
  return G;
}

int TVdbGuidType::CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                            const TVdbDataType* OtherType, TStrCmpOptions) const {
  if (IsNull(ThisValue) || OtherType->IsNull(OtherValue)) return kVdbCmpNull;
  if (OtherType->ColumnType() != kVdbGuidCode) RaisePlain("Cannot compare these types");
  const TVdbGuid A = GetGuid(ThisValue), B = OtherType->GetGuid(OtherValue);
  if (A.D1 != B.D1) return CompareNumbers(A.D1, B.D1);
  if (A.D2 != B.D2) return CompareNumbers(A.D2, B.D2);
  if (A.D3 != B.D3) return CompareNumbers(A.D3, B.D3);
  const int R = std::memcmp(A.D4, B.D4, sizeof(A.D4));
  return FromThreeWay(R);
}

void TVdbGuidType::ConvertToString(const TVdbDataValue& ThisValue, std::string& Str) const {
  Str = IsNull(ThisValue) ? std::string() : GuidToString(GetGuid(ThisValue));
}

void TVdbGuidType::ConvertFromString(TVdbDataValue& ThisValue, std::optional<std::string_view> Str) const {
  if (!Str || (Trimmed(*Str).empty() && FNullable)) {
    SetNull(ThisValue);
    return;
  }
  TVdbGuid G;
  if (!TryStringToGuid(*Str, G)) RaiseStringConversion();
  SetGuid(ThisValue, G);
}

const TVdbDataType* TVdbGuidType::Reshaped(bool Nullable, std::int16_t Level) const {
  return GetDataType(FColumnType, Nullable, Level);
}

}  // namespace vdb
