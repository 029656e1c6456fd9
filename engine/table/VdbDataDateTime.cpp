// Date, time and time stamp types, and the calendar helpers over packed dates.
#include <cmath>
#include <cstring>
#include <limits>

#include "base/VdbErrors.h"
#include "table/VdbData.h"

namespace vdb {

using namespace data_internal;

namespace {

using DT = TVdbDateTimeType;

constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kTicksPerHour = 36000000000LL;
constexpr std::int64_t kMsPerDay = DT::kMillisecondsPerDay;

std::int64_t FloorDiv(std::int64_t A, std::int64_t B) {
  std::int64_t Q = A / B;
  if ((A % B != 0) && ((A < 0) != (B < 0))) --Q;
  return Q;
}

std::int64_t FloorMod(std::int64_t A, std::int64_t B) { return A - FloorDiv(A, B) * B; }

// Leap years among the years 0 .. Year - 1 (year 0 is a Gregorian leap year).
std::int64_t LeapYearsBefore(std::int64_t Year) {
  if (Year <= 0) return 0;
  const std::int64_t Y = Year - 1;
  return Y / 4 - Y / 100 + Y / 400 + 1;
}

std::int64_t DaysOfYearStart(std::int64_t Year) { return 365 * Year + LeapYearsBefore(Year); }

std::int32_t DaysBeforeMonth(std::int32_t Year, std::int32_t Month) {
  std::int32_t Days = 0;
  for (std::int32_t M = 1; M < Month && M <= 12; ++M) Days += DT::DaysInMonth(Year, M);
  return Days;
}

bool IsDateCode(std::int16_t Code) { return Code == kVdbDateCode || Code == kVdbTimeStampCode; }

// Milliseconds since the start of day count 0 of a time stamp.
std::int64_t StampToMs(const TVdbTimeStamp& S) {
  return static_cast<std::int64_t>(DT::DateToDays(S.Date)) * kMsPerDay + S.Time;
}

std::string TwoDigits(std::int64_t V) {
  std::string S = std::to_string(V);
  return S.size() < 2 ? "0" + S : S;
}

std::string Padded(std::int64_t V, std::size_t Width) {
  std::string S = std::to_string(V);
  while (S.size() < Width) S.insert(S.begin(), '0');
  return S;
}

// Larger day offsets leave the calendar whatever the date.
constexpr std::int64_t kMaxDayOffset = 10000000;

[[noreturn]] void RaiseDayOffset(const std::string& Days, const TVdbDataType* ResultType) {
  RaiseRange(Days, ResultType->SqlName(), std::to_string(-kMaxDayOffset), std::to_string(kMaxDayOffset));
}

std::string_view Trimmed(std::string_view S) {
  while (!S.empty() && S.front() == ' ') S.remove_prefix(1);
  while (!S.empty() && S.back() == ' ') S.remove_suffix(1);
  return S;
}

// A run of 1 to 9 decimal digits as a number; false otherwise.
bool ParseDigits(std::string_view S, std::int32_t& Value) {
  if (S.empty() || S.size() > 9) return false;
  Value = 0;
  for (char C : S) {
    if (C < '0' || C > '9') return false;
    Value = Value * 10 + (C - '0');
  }
  return true;
}

bool ParseYear(std::string_view S, std::int32_t& Year) {
  if (!ParseDigits(S, Year)) return false;
  if (S.size() <= 2) Year += Year < 30 ? 2000 : 1900;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Calendar helpers

bool TVdbDateTimeType::IsLeapYear(std::int32_t Year) {
  return (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
}

std::int32_t TVdbDateTimeType::DaysInMonth(std::int32_t Year, std::int32_t Month) {
  static constexpr std::int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (Month < 1 || Month > 12) return 0;
  return Month == 2 && IsLeapYear(Year) ? 29 : kDays[Month - 1];
}

std::int32_t TVdbDateTimeType::EncodeDate(std::int32_t Year, std::int32_t Month, std::int32_t Day) {
  return Year * 512 + Month * 32 + Day;
}

void TVdbDateTimeType::DecodeDate(std::int32_t Packed, std::int32_t& Year, std::int32_t& Month, std::int32_t& Day) {
  Year = Packed >> 9;
  Month = (Packed >> 5) & 15;
  Day = Packed & 31;
}

bool TVdbDateTimeType::IsValidDate(std::int32_t Year, std::int32_t Month, std::int32_t Day) {
  return Year >= 1 && Year <= 9999 && Month >= 1 && Month <= 12 && Day >= 1 && Day <= DaysInMonth(Year, Month);
}

std::int32_t TVdbDateTimeType::DateToDays(std::int32_t Packed) {
  if (Packed <= 0) return 0;
  std::int32_t Y, M, D;
  DecodeDate(Packed, Y, M, D);
  return static_cast<std::int32_t>(DaysOfYearStart(Y) + DaysBeforeMonth(Y, M) + D);
}

std::int32_t TVdbDateTimeType::DaysToDate(std::int32_t Days) {
  if (Days <= DaysOfYearStart(1)) return 0;
  // Estimate the year, then walk to the year whose start lies at or before the day.
  std::int64_t Y = static_cast<std::int64_t>(Days / 365.2425);
  while (Y > 1 && DaysOfYearStart(Y) >= Days) --Y;
  while (DaysOfYearStart(Y + 1) < Days) ++Y;
  std::int32_t Rest = static_cast<std::int32_t>(Days - DaysOfYearStart(Y));
  std::int32_t M = 1;
  while (M < 12 && Rest > DaysInMonth(static_cast<std::int32_t>(Y), M)) {
    Rest -= DaysInMonth(static_cast<std::int32_t>(Y), M);
    ++M;
  }
  if (Y > 0x3FFFFF) return std::numeric_limits<std::int32_t>::max();
  return EncodeDate(static_cast<std::int32_t>(Y), M, Rest);
}

std::int32_t TVdbDateTimeType::DayOfWeek(std::int32_t Packed) {
  return static_cast<std::int32_t>(FloorMod(DateToDays(Packed) + 4, 7));
}

std::int32_t TVdbDateTimeType::WeekOfYear(std::int32_t Packed) {
  if (Packed <= 0) return 0;
  const std::int32_t Days = DateToDays(Packed);
  const std::int32_t Thursday = Days - DayOfWeek(Packed) + 3;
  const std::int32_t Year = DaysToDate(Thursday) >> 9;
  const std::int32_t Jan4 = EncodeDate(Year, 1, 4);
  const std::int32_t FirstThursday = DateToDays(Jan4) - DayOfWeek(Jan4) + 3;
  return (Thursday - FirstThursday) / 7 + 1;
}

std::string TVdbDateTimeType::DateToString(std::int32_t Packed) {
  if (Packed == 0) return {};
  std::int32_t Y, M, D;
  DecodeDate(Packed, Y, M, D);
  return TwoDigits(D) + "." + TwoDigits(M) + "." + Padded(Y, 4);
}

std::string TVdbDateTimeType::TimeToString(std::int64_t Ticks, std::int16_t Precision) {
  const std::int64_t H = Ticks / kTicksPerHour;
  const std::int64_t N = Ticks / kTicksPerMinute % 60;
  const std::int64_t S = Ticks / kTicksPerSecond % 60;
  const std::int64_t Z = Ticks / kTicksPerMillisecond % 1000;
  std::string Text = TwoDigits(H);
  if (Precision >= 2) Text += ":" + TwoDigits(N);
  if (Precision >= 3) Text += ":" + TwoDigits(S);
  if (Precision >= 4) Text += "." + Padded(Z, 3);
  return Text;
}

bool TVdbDateTimeType::TryStringToDate(std::string_view Text, std::int32_t& Packed) {
  Text = Trimmed(Text);
  const std::size_t SepAt = Text.find_first_of("./-");
  if (SepAt == std::string_view::npos) return false;
  const char Sep = Text[SepAt];
  const std::size_t Sep2 = Text.find(Sep, SepAt + 1);
  if (Sep2 == std::string_view::npos) return false;
  const std::string_view P1 = Text.substr(0, SepAt);
  const std::string_view P2 = Text.substr(SepAt + 1, Sep2 - SepAt - 1);
  const std::string_view P3 = Text.substr(Sep2 + 1);
  std::int32_t Y = 0, M = 0, D = 0;
  bool Ok;
  if (Sep == '.') Ok = ParseDigits(P1, D) && ParseDigits(P2, M) && ParseYear(P3, Y);
  else if (Sep == '/') Ok = ParseDigits(P1, M) && ParseDigits(P2, D) && ParseYear(P3, Y);
  else Ok = ParseYear(P1, Y) && ParseDigits(P2, M) && ParseDigits(P3, D);
  if (!Ok || !IsValidDate(Y, M, D)) return false;
  Packed = EncodeDate(Y, M, D);
  return true;
}

bool TVdbDateTimeType::TryStringToTime(std::string_view Text, std::int64_t& Ticks) {
  Text = Trimmed(Text);
  std::int32_t Parts[3] = {0, 0, 0};
  std::int32_t Millis = 0;
  const std::size_t Dot = Text.find('.');
  if (Dot != std::string_view::npos) {
    const std::string_view Fraction = Text.substr(Dot + 1);
    if (Fraction.empty() || Fraction.size() > 3 || !ParseDigits(Fraction, Millis)) return false;
    for (std::size_t I = Fraction.size(); I < 3; ++I) Millis *= 10;
    Text = Text.substr(0, Dot);
  }
  int Count = 0;
  while (true) {
    const std::size_t Colon = Text.find(':');
    if (Count == 3 || !ParseDigits(Text.substr(0, Colon), Parts[Count])) return false;
    ++Count;
    if (Colon == std::string_view::npos) break;
    Text = Text.substr(Colon + 1);
  }
  // Milliseconds need seconds in front of them.
  if (Dot != std::string_view::npos && Count < 3) return false;
  if (Parts[0] > 23 || Parts[1] > 59 || Parts[2] > 59) return false;
  Ticks = Parts[0] * kTicksPerHour + Parts[1] * kTicksPerMinute + Parts[2] * kTicksPerSecond +
          Millis * kTicksPerMillisecond;
  return true;
}

bool TVdbDateTimeType::TryStringToTimeStamp(std::string_view Text, TVdbTimeStamp& Stamp) {
  Text = Trimmed(Text);
  const std::size_t Sep = Text.find_first_of("_ ");
  std::int32_t Date = kDefaultDate;
  std::int64_t Ticks = 0;
  if (Sep == std::string_view::npos) {
    if (Text.find(':') != std::string_view::npos) {
      if (!TryStringToTime(Text, Ticks)) return false;
    } else if (!TryStringToDate(Text, Date)) {
      return false;
    }
  } else if (!TryStringToDate(Text.substr(0, Sep), Date) || !TryStringToTime(Text.substr(Sep + 1), Ticks)) {
    return false;
  }
  Stamp.Date = Date;
  Stamp.Time = static_cast<std::int32_t>(Ticks / kTicksPerMillisecond);
  return true;
}

// ---------------------------------------------------------------------------------------------
// The type

TVdbDateTimeType::TVdbDateTimeType(std::int16_t ColumnType, bool Nullable, std::int16_t Level,
                                   std::int16_t Precision, bool HasNullByte)
    : TVdbDataType(ColumnType, Nullable, Level), FPrecision(Precision), FHasNullByte(HasNullByte) {}

bool TVdbDateTimeType::GetHasNullByte() const {
  if (!FNullable) return false;
  if (FColumnType == kVdbTimeCode) return true;
  return FLevel < kVdbCurrentLevel && FHasNullByte;
}

std::int32_t TVdbDateTimeType::GetDataSize() const {
  std::int32_t Size = 4;
  if (FColumnType == kVdbTimeStampCode) Size = 8;
  else if (FColumnType == kVdbTimeCode && FPrecision <= 2) Size = 2;
  return Size + (GetHasNullByte() ? 1 : 0);
}

std::string TVdbDateTimeType::SqlName() const {
  if (FColumnType == kVdbDateCode) return "Date";
  return FColumnType == kVdbTimeCode ? "Time" : "TimeStamp";
}

std::string TVdbDateTimeType::VplName() const {
  if (FColumnType == kVdbDateCode) return "Date";
  return FColumnType == kVdbTimeCode ? "Time" : "DateTime";
}

void TVdbDateTimeType::GetDefault(TVdbDataValue& ThisValue) const {
  if (FColumnType == kVdbDateCode) SetDate(ThisValue, kDefaultDate);
  else if (FColumnType == kVdbTimeCode) SetTime(ThisValue, 0);
  else SetTimeStamp(ThisValue, {kDefaultDate, 0});
}

void TVdbDateTimeType::GetMaximum(TVdbDataValue& ThisValue) const {
  if (FColumnType == kVdbDateCode) {
    SetDate(ThisValue, kMaxDate);
  } else if (FColumnType == kVdbTimeCode) {
    static constexpr std::int64_t kUnit[5] = {kTicksPerMillisecond, kTicksPerHour, kTicksPerMinute,
                                              kTicksPerSecond, kTicksPerMillisecond};
    SetTime(ThisValue, kTicksPerDay - kUnit[FPrecision]);
  } else {
    SetTimeStamp(ThisValue, {kMaxDate, kMillisecondsPerDay - 1});
  }
}

void TVdbDateTimeType::GetMinimum(TVdbDataValue& ThisValue) const {
  if (FNullable && FLevel >= 4) {
    SetNull(ThisValue);
    return;
  }
  // The minimum of a date or time stamp is the zero value that also stands for "no date".
  std::uint8_t* P = PrepareFixed(ThisValue);
  std::memset(P, 0, static_cast<std::size_t>(DataSize() - (HasNullByte() ? 1 : 0)));
}

bool TVdbDateTimeType::IsNull(const TVdbDataValue& ThisValue) const {
  if (FixedIsNull(ThisValue)) return true;
  const std::uint8_t* P = FixedValueBytes(ThisValue);
  if (FColumnType == kVdbDateCode) return ReadLE<std::int32_t>(P) == 0;
  if (FColumnType == kVdbTimeStampCode) return ReadLE<std::int32_t>(P) == 0 && ReadLE<std::int32_t>(P + 4) == 0;
  return false;
}

void TVdbDateTimeType::SetNull(TVdbDataValue& ThisValue) const { FixedSetNull(ThisValue); }

void TVdbDateTimeType::SetDate(TVdbDataValue& ThisValue, std::int32_t Value) const {
  if (FColumnType == kVdbTimeCode) RaisePlain("Is not a date.");
  if (FColumnType == kVdbTimeStampCode) {
    SetTimeStamp(ThisValue, {Value, 0});
    return;
  }
  std::int32_t Y, M, D;
  DecodeDate(Value, Y, M, D);
  if (Value != 0 && !IsValidDate(Y, M, D))
    RaiseRange(std::to_string(Value), SqlName(), std::to_string(kMinDate), std::to_string(kMaxDate));
  WriteLE<std::int32_t>(PrepareFixed(ThisValue), Value);
}

std::int32_t TVdbDateTimeType::GetDate(const TVdbDataValue& ThisValue) const {
  if (FColumnType == kVdbTimeCode) RaisePlain("Is not a date.");
  if (ThisValue.IsEmpty() || ThisValue.ColumnType == kVdbNullCode) return 0;
  return ReadLE<std::int32_t>(FixedValueBytes(ThisValue));
}

void TVdbDateTimeType::SetTime(TVdbDataValue& ThisValue, std::int64_t Value) const {
  if (Value < 0 || Value >= kTicksPerDay)
    RaiseRange(std::to_string(Value), SqlName(), "0", std::to_string(kTicksPerDay - 1));
  if (FColumnType == kVdbDateCode) RaiseTypeMismatch("Time->Date");
  if (FColumnType == kVdbTimeStampCode) {
    SetTimeStamp(ThisValue, {kDefaultDate, static_cast<std::int32_t>(Value / kTicksPerMillisecond)});
    return;
  }
  if (FPrecision <= 2) {
    std::int64_t Minutes = Value / kTicksPerMinute;
    if (FPrecision == 1) Minutes -= Minutes % 60;
    WriteLE<std::int16_t>(PrepareFixed(ThisValue), static_cast<std::int16_t>(Minutes));
  } else {
    std::int64_t Ms = Value / kTicksPerMillisecond;
    if (FPrecision == 3) Ms -= Ms % 1000;
    WriteLE<std::int32_t>(PrepareFixed(ThisValue), static_cast<std::int32_t>(Ms));
  }
}

std::int64_t TVdbDateTimeType::GetTime(const TVdbDataValue& ThisValue) const {
  if (FColumnType == kVdbDateCode) RaiseTypeMismatch("Date->Time");
  if (ThisValue.IsEmpty() || ThisValue.ColumnType == kVdbNullCode) return 0;
  const std::uint8_t* P = FixedValueBytes(ThisValue);
  if (FColumnType == kVdbTimeStampCode) return ReadLE<std::int32_t>(P + 4) * kTicksPerMillisecond;
  if (FPrecision <= 2) return ReadLE<std::int16_t>(P) * kTicksPerMinute;
  return ReadLE<std::int32_t>(P) * kTicksPerMillisecond;
}

void TVdbDateTimeType::SetTimeStamp(TVdbDataValue& ThisValue, const TVdbTimeStamp& Value) const {
  if (FColumnType == kVdbDateCode) {
    SetDate(ThisValue, Value.Date);
    return;
  }
  if (FColumnType == kVdbTimeCode) {
    SetTime(ThisValue, Value.Time * kTicksPerMillisecond);
    return;
  }
  std::int32_t Y, M, D;
  DecodeDate(Value.Date, Y, M, D);
  if ((Value.Date != 0 && !IsValidDate(Y, M, D)) || Value.Time < 0 || Value.Time >= kMillisecondsPerDay) {
    RaiseRange(DateToString(Value.Date) + "_" + std::to_string(Value.Time), SqlName(), "0_0",
               DateToString(kMaxDate) + "_" + std::to_string(kMillisecondsPerDay - 1));
  }
  std::uint8_t* P = PrepareFixed(ThisValue);
  WriteLE<std::int32_t>(P, Value.Date);
  WriteLE<std::int32_t>(P + 4, Value.Time);
}

TVdbTimeStamp TVdbDateTimeType::GetTimeStamp(const TVdbDataValue& ThisValue) const {
  if (FColumnType == kVdbDateCode) return {GetDate(ThisValue), 0};
  if (FColumnType == kVdbTimeCode)
    return {kDefaultDate, static_cast<std::int32_t>(GetTime(ThisValue) / kTicksPerMillisecond)};
  if (ThisValue.IsEmpty() || ThisValue.ColumnType == kVdbNullCode) return {};
  const std::uint8_t* P = FixedValueBytes(ThisValue);
  return {ReadLE<std::int32_t>(P), ReadLE<std::int32_t>(P + 4)};
}

// Numbers: a date is a day count, a time a number of minutes, a time stamp days and fraction.
void TVdbDateTimeType::SetInteger(TVdbDataValue& ThisValue, std::int64_t Value) const {
  if (FColumnType == kVdbTimeCode) {
    if (Value < 0 || Value >= 1440) RaiseRange(std::to_string(Value), SqlName(), "0", "1439");
    SetTime(ThisValue, Value * kTicksPerMinute);
    return;
  }
  const std::int64_t MinDays = DateToDays(kDefaultDate), MaxDays = DateToDays(kMaxDate);
  if (Value < MinDays || Value > MaxDays)
    RaiseRange(std::to_string(Value), SqlName(), std::to_string(MinDays), std::to_string(MaxDays));
  SetTimeStamp(ThisValue, {DaysToDate(static_cast<std::int32_t>(Value)), 0});
}

std::int64_t TVdbDateTimeType::GetInteger(const TVdbDataValue& ThisValue) const {
  if (FColumnType == kVdbDateCode) return DateToDays(GetDate(ThisValue));
  if (FColumnType == kVdbTimeCode) return GetTime(ThisValue) / kTicksPerMinute;
  return static_cast<std::int64_t>(std::nearbyint(GetDouble(ThisValue)));
}

void TVdbDateTimeType::SetDouble(TVdbDataValue& ThisValue, double Value) const {
  if (!std::isfinite(Value) || std::fabs(Value) > 1e10)
    RaiseRange(std::to_string(Value), SqlName(), "0", std::to_string(DateToDays(kMaxDate)));
  if (FColumnType == kVdbTimeCode) {
    const std::int64_t Ticks = static_cast<std::int64_t>(std::llround(Value * static_cast<double>(kTicksPerMinute)));
    SetTime(ThisValue, Ticks);
    return;
  }
  const double Whole = std::floor(Value);
  std::int64_t Days = static_cast<std::int64_t>(Whole);
  std::int64_t Ms = std::llround((Value - Whole) * static_cast<double>(kMsPerDay));
  if (Ms >= kMsPerDay) {
    ++Days;
    Ms -= kMsPerDay;
  }
  if (FColumnType == kVdbDateCode) {
    SetInteger(ThisValue, Days);
    return;
  }
  const std::int64_t MinDays = DateToDays(kDefaultDate), MaxDays = DateToDays(kMaxDate);
  if (Days < MinDays || Days > MaxDays)
    RaiseRange(std::to_string(Value), SqlName(), std::to_string(MinDays), std::to_string(MaxDays));
  SetTimeStamp(ThisValue, {DaysToDate(static_cast<std::int32_t>(Days)), static_cast<std::int32_t>(Ms)});
}

double TVdbDateTimeType::GetDouble(const TVdbDataValue& ThisValue) const {
  if (FColumnType == kVdbDateCode) return DateToDays(GetDate(ThisValue));
  if (FColumnType == kVdbTimeCode) return static_cast<double>(GetTime(ThisValue)) / static_cast<double>(kTicksPerMinute);
  const TVdbTimeStamp S = GetTimeStamp(ThisValue);
  return DateToDays(S.Date) + static_cast<double>(S.Time) / static_cast<double>(kMsPerDay);
}

bool TVdbDateTimeType::CanCompareTo(const TVdbDataType* OtherType) const {
  const std::int16_t Code = OtherType->ColumnType();
  if (Code == kVdbNullCode) return true;
  if (FColumnType == kVdbTimeCode) return Code == kVdbTimeCode;
  return IsDateCode(Code);
}

int TVdbDateTimeType::CompareTo(const TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                                const TVdbDataType* OtherType, TStrCmpOptions) const {
  if (IsNull(ThisValue) || OtherType->IsNull(OtherValue)) return kVdbCmpNull;
  if (!CanCompareTo(OtherType)) RaisePlain("Cannot compare these types");
  if (FColumnType == kVdbTimeCode) return CompareNumbers(GetTime(ThisValue), OtherType->GetTime(OtherValue));
  return CompareNumbers(StampToMs(GetTimeStamp(ThisValue)), StampToMs(OtherType->GetTimeStamp(OtherValue)));
}

bool TVdbDateTimeType::CanConvertTo(const TVdbDataType* OtherType, bool Explicitly) const {
  return TVdbDataType::CanConvertTo(OtherType, Explicitly) || (Explicitly && OtherType->IsNumericType());
}

bool TVdbDateTimeType::CanConvertFrom(const TVdbDataType* OtherType, bool Explicitly) const {
  if (TVdbDataType::CanConvertFrom(OtherType, Explicitly)) return true;
  const std::int16_t From = OtherType->ColumnType();
  switch (FColumnType) {
    case kVdbDateCode:
      return From == kVdbTimeStampCode ||
             (Explicitly && (From == kVdbFloatCode || From == kVdbIntegerCode || From == kVdbBigIntCode));
    case kVdbTimeCode:
      return From == kVdbTimeStampCode ||
             (Explicitly && (From == kVdbSmallIntCode || From == kVdbFloatCode || From == kVdbIntegerCode));
    default:
      return From == kVdbFloatCode || From == kVdbDateCode || From == kVdbTimeCode;
  }
}

void TVdbDateTimeType::ConvertTo(const TVdbDataValue& ThisValue, TVdbDataValue& OtherValue,
                                 const TVdbDataType* OtherType) const {
  if (IsNull(ThisValue) || !OtherType->IsNumericType()) {
    TVdbDataType::ConvertTo(ThisValue, OtherValue, OtherType);
  } else if (OtherType->ColumnType() == kVdbFloatCode) {
    OtherType->SetDouble(OtherValue, GetDouble(ThisValue));
  } else if (OtherType->ColumnType() == kVdbBooleanCode) {
    OtherType->SetInteger(OtherValue, GetDouble(ThisValue) != 0.0 ? 1 : 0);
  } else {
    OtherType->SetInteger(OtherValue, GetInteger(ThisValue));
  }
}

void TVdbDateTimeType::ConvertFrom(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                                   const TVdbDataType* OtherType) const {
  if (TakeNullFrom(ThisValue, OtherValue, OtherType)) return;
  const std::int16_t From = OtherType->ColumnType();
  if (From == kVdbDateCode || From == kVdbTimeStampCode || From == kVdbTimeCode) {
    if (FColumnType == kVdbTimeCode && From == kVdbDateCode) RaiseCannotConvert(OtherType, this);
    if (FColumnType == kVdbDateCode && From == kVdbTimeCode) RaiseCannotConvert(OtherType, this);
    SetTimeStamp(ThisValue, OtherType->GetTimeStamp(OtherValue));
  } else if (From == kVdbFloatCode) {
    SetDouble(ThisValue, OtherType->GetDouble(OtherValue));
  } else if (IsIntegerCode(From)) {
    SetInteger(ThisValue, OtherType->GetInteger(OtherValue));
  } else {
    TVdbDataType::ConvertFrom(ThisValue, OtherValue, OtherType);
  }
}

void TVdbDateTimeType::AssignValue(TVdbDataValue& ThisValue, const TVdbDataValue& OtherValue,
                                   const TVdbDataType* OtherType) const {
  if (FColumnType == kVdbTimeCode) SetTime(ThisValue, OtherType->GetTime(OtherValue));
  else SetTimeStamp(ThisValue, OtherType->GetTimeStamp(OtherValue));
}

void TVdbDateTimeType::ConvertToString(const TVdbDataValue& ThisValue, std::string& Str) const {
  if (IsNull(ThisValue)) {
    Str.clear();
  } else if (FColumnType == kVdbDateCode) {
    Str = DateToString(GetDate(ThisValue));
  } else if (FColumnType == kVdbTimeCode) {
    Str = TimeToString(GetTime(ThisValue), FPrecision);
  } else {
    const TVdbTimeStamp S = GetTimeStamp(ThisValue);
    Str = DateToString(S.Date) + "_" + TimeToString(S.Time * kTicksPerMillisecond, 4);
  }
}

void TVdbDateTimeType::ConvertFromString(TVdbDataValue& ThisValue, std::optional<std::string_view> Str) const {
  if (!Str) {
    SetNull(ThisValue);
    return;
  }
  const bool Empty = Trimmed(*Str).empty();
  if (FColumnType == kVdbDateCode) {
    std::int32_t Packed = 0;
    if (!Empty && !TryStringToDate(*Str, Packed)) RaiseConvert("\"%s\" is not a valid date", *Str);
    SetDate(ThisValue, Packed);
  } else if (Empty && FNullable) {
    SetNull(ThisValue);
  } else if (FColumnType == kVdbTimeCode) {
    std::int64_t Ticks = 0;
    if (!TryStringToTime(*Str, Ticks)) RaiseConvert("\"%s\" is not a valid time", *Str);
    SetTime(ThisValue, Ticks);
  } else {
    TVdbTimeStamp Stamp;
    if (!TryStringToTimeStamp(*Str, Stamp)) RaiseConvert("\"%s\" is not a valid time stamp", *Str);
    SetTimeStamp(ThisValue, Stamp);
  }
}

const TVdbDataType* TVdbDateTimeType::GetSuperType(const TVdbDataType* OtherType) const {
  const bool N = FNullable || OtherType->Nullable();
  if (OtherType->ColumnType() == FColumnType) {
    const auto* O = static_cast<const TVdbDateTimeType*>(OtherType);
    return (O->Precision() > FPrecision ? O : this)->GetNullableType(N);
  }
  if (IsDateCode(FColumnType) && IsDateCode(OtherType->ColumnType()))
    return (FColumnType == kVdbTimeStampCode ? this : OtherType)->GetNullableType(N);
  return nullptr;
}

const TVdbDataType* TVdbDateTimeType::GetResultDataTypeWith(TVdbDataBinaryOperator Op,
                                                            const TVdbDataType* DataType1,
                                                            const TVdbDataType* DataType2) const {
  const std::int16_t C1 = DataType1->ColumnType(), C2 = DataType2->ColumnType();
  if (C1 != kVdbDateCode && C1 != kVdbTimeCode && C1 != kVdbTimeStampCode) return nullptr;
  if (Op != dboPlus && Op != dboMinus) return nullptr;
  // A NULL operand gives NULL, so the result is nullable when either side can be NULL.
  const bool N = DataType1->Nullable() || DataType2->Nullable();
  const std::int16_t Level = DataType1->Level();
  const bool Integer = IsIntegerCode(C2), Float = C2 == kVdbFloatCode;
  if (C1 == kVdbTimeCode) {
    if (Integer || Float) return DataType1->GetNullableType(N);
    if (Op == dboMinus && C2 == kVdbTimeCode) return GetFloatType(N, Level, 2);
    return nullptr;
  }
  if (Integer) return DataType1->GetNullableType(N);
  if (Float) return GetDateTimeType(kVdbTimeStampCode, N, Level, 4, false);
  if (Op == dboMinus && IsDateCode(C2)) {
    if (C1 == kVdbDateCode && C2 == kVdbDateCode) return GetDataType(kVdbIntegerCode, N, Level);
    return GetFloatType(N, Level, 2);
  }
  return nullptr;
}

void TVdbDateTimeType::CalculateWith(TVdbDataBinaryOperator Op, const TVdbDataValue& DataValue1,
                                     const TVdbDataValue& DataValue2, TVdbDataValue& ResultValue,
                                     const TVdbDataType* DataType1, const TVdbDataType* DataType2,
                                     const TVdbDataType* ResultType) const {
  if (NullOperand(DataValue1, DataType1, DataValue2, DataType2, ResultValue, ResultType)) return;
  if (GetResultDataTypeWith(Op, DataType1, DataType2) == nullptr)
    RaisePlain("Cannot perform the operation on this data type.");
  const std::int16_t C1 = DataType1->ColumnType(), C2 = DataType2->ColumnType();
  const int Sign = Op == dboMinus ? -1 : 1;
  if (C1 == kVdbTimeCode) {
    if (C2 == kVdbTimeCode) {
      const double Minutes = static_cast<double>(DataType1->GetTime(DataValue1) - DataType2->GetTime(DataValue2)) /
                             static_cast<double>(kTicksPerMinute);
      ResultType->SetDouble(ResultValue, Minutes);
      return;
    }
    // A number of minutes, wrapped into one day.
    const double Minutes = DataType2->GetDouble(DataValue2);
    if (!std::isfinite(Minutes) || std::fabs(Minutes) > 1e9)
      RaiseRange(std::to_string(Minutes), ResultType->SqlName(), "-1000000000", "1000000000");
    const std::int64_t Delta = std::llround(Minutes * static_cast<double>(kTicksPerMinute));
    const std::int64_t Ticks = FloorMod(DataType1->GetTime(DataValue1) + Sign * FloorMod(Delta, kTicksPerDay), kTicksPerDay);
    ResultType->SetTime(ResultValue, Ticks);
    return;
  }
  const TVdbTimeStamp S1 = DataType1->GetTimeStamp(DataValue1);
  if (IsDateCode(C2)) {
    const TVdbTimeStamp S2 = DataType2->GetTimeStamp(DataValue2);
    if (C1 == kVdbDateCode && C2 == kVdbDateCode)
      ResultType->SetInteger(ResultValue, DateToDays(S1.Date) - DateToDays(S2.Date));
    else
      ResultType->SetDouble(ResultValue, static_cast<double>(StampToMs(S1) - StampToMs(S2)) / static_cast<double>(kMsPerDay));
    return;
  }
  std::int64_t Ms = StampToMs(S1);
  if (IsIntegerCode(C2)) {
    const std::int64_t Days = DataType2->GetInteger(DataValue2);
    if (Days > kMaxDayOffset || Days < -kMaxDayOffset) RaiseDayOffset(std::to_string(Days), ResultType);
    Ms += Sign * Days * kMsPerDay;
  } else {
    const double Days = DataType2->GetDouble(DataValue2);
    if (!std::isfinite(Days) || std::fabs(Days) > kMaxDayOffset) RaiseDayOffset(std::to_string(Days), ResultType);
    Ms += Sign * std::llround(Days * static_cast<double>(kMsPerDay));
  }
  const std::int64_t Days = FloorDiv(Ms, kMsPerDay);
  const std::int64_t MinDays = DateToDays(kDefaultDate), MaxDays = DateToDays(kMaxDate);
  if (Days < MinDays || Days > MaxDays)
    RaiseRange(std::to_string(Days), ResultType->SqlName(), std::to_string(MinDays), std::to_string(MaxDays));
  ResultType->SetTimeStamp(ResultValue, {DaysToDate(static_cast<std::int32_t>(Days)),
                                         static_cast<std::int32_t>(FloorMod(Ms, kMsPerDay))});
}

const TVdbDataType* TVdbDateTimeType::Reshaped(bool Nullable, std::int16_t Level) const {
  return GetDateTimeType(FColumnType, Nullable, Level, FPrecision, FHasNullByte);
}

}  // namespace vdb
