// The functions of the SQL dialect inside statement trees: the standard functions (arithmetic,
// text, date and time, aggregates, CAST, CURRENTRECORDID) and the data functions shared with the
// procedural language.
#include "sql/VdbSqlCommand.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <random>

#include "session/VdbAccessor.h"
#include "sql/VdbSqlParser.h"
#include "storage/kxMemory.h"
#include "table/VdbData.h"

namespace vdb {

// ---------------------------------------------------------------------------------------------
// Standard functions

namespace {

const TVdbDataType* NullableType(std::int16_t Code) { return TVdbDataType::GetDataType(Code, true, kVdbCurrentLevel); }

bool IsAggregateId(TFunctionId Id) {
  switch (Id) {
    case sftMax: case sftMin: case sftFirst: case sftLast: case sftAvg: case sftSum: case sftCount: return true;
    default: return false;
  }
}

bool IsExtractId(TFunctionId Id) { return Id >= sftExtractYear && Id <= sftExtractWeek; }

const char* ExtractFieldName(TFunctionId Id) {
  switch (Id) {
    case sftExtractYear: return "YEAR";
    case sftExtractMonth: return "MONTH";
    case sftExtractDay: return "DAY";
    case sftExtractWeekDay: return "WEEKDAY";
    case sftExtractWeekDayName: return "WEEKDAYNAME";
    case sftExtractHour: return "HOUR";
    case sftExtractMillisecond: return "MILLISECOND";
    case sftExtractMinute: return "MINUTE";
    case sftExtractSecond: return "SECOND";
    case sftExtractWeek: return "WEEK";
    default: return "";
  }
}

constexpr std::int64_t kTicksPerMillisecond = 10000;

// The current local date (packed), time of day (100-ns ticks).
void LocalNow(std::int32_t& Date, std::int64_t& Ticks) {
  const auto Now = std::chrono::system_clock::now();
  const std::time_t T = std::chrono::system_clock::to_time_t(Now);
  std::tm Local{};
  localtime_r(&T, &Local);
  const auto Millis = std::chrono::duration_cast<std::chrono::milliseconds>(Now.time_since_epoch()).count() % 1000;
  Date = TVdbDateTimeType::EncodeDate(Local.tm_year + 1900, Local.tm_mon + 1, Local.tm_mday);
  Ticks = ((Local.tm_hour * 60LL + Local.tm_min) * 60 + Local.tm_sec) * 1000 * kTicksPerMillisecond +
          Millis * kTicksPerMillisecond;
}

std::u16string TrimText(std::u16string Text, char16_t C, bool Leading, bool Trailing) {
  std::size_t Start = 0, End = Text.size();
  if (Leading) while (Start < End && Text[Start] == C) ++Start;
  if (Trailing) while (End > Start && Text[End - 1] == C) --End;
  return Text.substr(Start, End - Start);
}

// The type of a string function's result: the argument's kind of string and collation, as long
// as such a string may be (the result may grow: FILLSTR, EXCHANGE).
const TVdbDataType* StringResultType(const TVdbDataType* Arg) {
  const auto* Str = dynamic_cast<const TVdbStringType*>(Arg);
  if (!Str || (Arg->ColumnType() != kVdbStringCode && Arg->ColumnType() != kVdbWideStringCode))
    return TVdbDataType::GetVariableType(Arg)->GetNullableType(true);
  const bool Wide = Arg->ColumnType() == kVdbWideStringCode;
  return TVdbDataType::GetStringType(Arg->ColumnType(), true, kVdbCurrentLevel,
                                     Wide ? kVdbMaxWideLength : kVdbMaxAnsiLength, Str->CollationName());
}

}  // namespace

TSqlStdFunction::TSqlStdFunction(TFunctionId FunctionId) : FSqlFunction(FunctionId) {}
TSqlStdFunction::~TSqlStdFunction() = default;

TSqlStdFunction::TSqlStdFunction(const TSqlStdFunction& Other)
    : TVdbFunction(Other), FSqlFunction(Other.FSqlFunction), FCountAll(Other.FCountAll) {}

bool TSqlStdFunction::GetIsAggregation() const { return IsAggregateId(FSqlFunction); }

bool TSqlStdFunction::GetIsAggregated() const { return GetIsAggregation() || TVdbFunction::GetIsAggregated(); }

bool TSqlStdFunction::GetIsConstant() const {
  switch (FSqlFunction) {
    case sftRandom: case sftCurrent_Date: case sftCurrent_Time: case sftCurrent_Timestamp: return false;
    default: return !GetIsAggregation() && TVdbFunction::GetIsConstant();
  }
}

std::string TSqlStdFunction::SqlName() const {
  switch (FSqlFunction) {
    case sftTrimLeading: return "LTRIM";
    case sftTrimTrailing: return "RTRIM";
    default: break;
  }
  const int Row = TSqlParser::FindFunction(FSqlFunction);
  int Count = 0;
  return Row >= 0 ? TSqlParser::FunctionTable(Count)[Row].Name : "";
}

std::string TSqlStdFunction::GetSqlText() const {
  auto Arg = [this](std::size_t I) { return I < FArgumentList.size() && FArgumentList[I] ? FArgumentList[I]->GetSqlText() : std::string(); };
  if (IsExtractId(FSqlFunction)) return std::string("EXTRACT(") + ExtractFieldName(FSqlFunction) + " FROM " + Arg(0) + ")";
  switch (FSqlFunction) {
    case sftCount:
      if (FCountAll) return "COUNT(*)";
      break;
    case sftSubString:
      return "SUBSTRING(" + Arg(0) + " FROM " + Arg(1) + (FArgumentList.size() > 2 ? " FOR " + Arg(2) : "") + ")";
    case sftTrimBoth:
    case sftTrimLeading:
    case sftTrimTrailing:
      if (FArgumentList.size() == 2 && FArgumentList[1]->IsBareLiteralOrParameter()) {
        const char* Where = FSqlFunction == sftTrimBoth ? "BOTH" : FSqlFunction == sftTrimLeading ? "LEADING" : "TRAILING";
        return std::string("TRIM(") + Where + " " + Arg(1) + " FROM " + Arg(0) + ")";
      }
      break;
    default:
      break;
  }
  if (FArgumentList.empty()) return SqlName();
  return SqlName() + "(" + ArgumentsSqlText() + ")";
}

std::unique_ptr<TVdbFunction> TSqlStdFunction::CreateCopy() const {
  return std::unique_ptr<TVdbFunction>(new TSqlStdFunction(*this));
}

void TSqlStdFunction::Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                              const TVdbOuterReferenceCallback& OuterReferenceCallback) {
  TVdbFunction::Prepare(Context, Options, OuterReferenceCallback);
  const TVdbDataType* Arg = FArgumentList.empty() || !FArgumentList[0] ? nullptr : FArgumentList[0]->DataType();
  auto Require = [&]() {
    if (!Arg) throw EVdbEngine(kVdbErrUnknownType, FArgumentList.empty() ? GetSqlText() : FArgumentList[0]->GetSqlText());
  };
  const TVdbDataType* Result = nullptr;
  if (Arg && Arg->ColumnType() == kVdbNullCode && !GetIsAggregation()) {
    // A NULL argument: the result is NULL whatever the function.
    FResultType = FResultDataType = Arg;
    return;
  }
  switch (FSqlFunction) {
    case sftMax: case sftMin: case sftFirst: case sftLast:
      Require();
      Result = Arg->GetNullableType(true);
      break;
    case sftSum:
      Require();
      if (Arg->IsIntegerType()) Result = NullableType(kVdbBigIntCode);
      else if (Arg->ColumnType() == kVdbFloatCode) Result = NullableType(kVdbFloatCode);
      else throw EVdbEngine(kVdbErrTypeMismatch, "SUM");
      break;
    case sftAvg: case sftCeiling: case sftFloor: case sftLog: case sftSqrt: case sftExp: case sftFrac:
    case sftAbs: case sftRound: case sftRealVal:
      Result = NullableType(kVdbFloatCode);
      break;
    case sftCount:
      Result = TVdbDataType::GetDataType(kVdbIntegerCode, false, kVdbCurrentLevel);
      break;
    case sftInt: case sftRandom:
      Result = NullableType(kVdbBigIntCode);
      break;
    case sftLen: case sftChar_Length:
      Result = NullableType(kVdbIntegerCode);
      break;
    case sftChr:
      Result = TVdbDataType::GetStringType(kVdbWideStringCode, true, kVdbCurrentLevel, 1, "");
      break;
    case sftExtractWeekDayName:
      Result = TVdbDataType::GetStringType(kVdbWideStringCode, true, kVdbCurrentLevel, 20, "English");
      break;
    case sftNTimes: case sftDigitStr:
      Result = TVdbDataType::GetStringType(kVdbStringCode, true, kVdbCurrentLevel, 255, "");
      break;
    case sftStr:
      Result = TVdbDataType::GetStringType(kVdbStringCode, true, kVdbCurrentLevel, 40, "");
      break;
    case sftCurrent_Date: Result = NullableType(kVdbDateCode); break;
    case sftCurrent_Time: Result = NullableType(kVdbTimeCode); break;
    case sftCurrent_Timestamp: Result = NullableType(kVdbTimeStampCode); break;
    case sftUpper: case sftLower: case sftSubString: case sftTrimBoth: case sftTrimLeading:
    case sftTrimTrailing: case sftExchange: case sftFillStr: case sftLikeLower: case sftLikeUpper:
      Require();
      if (!Arg->IsStringType()) throw EVdbEngine(kVdbErrTypeMismatch, Arg->SqlName() + "-> String");
      Result = StringResultType(Arg);
      break;
    default:
      if (IsExtractId(FSqlFunction)) {
        Result = NullableType(kVdbIntegerCode);
        break;
      }
      throw EVdbEngine(kVdbErrUnknown, "Not yet implemented");
  }
  FResultType = Result;
  FResultDataType = Result;
  FArgValues.clear();
  FArgValues.resize(FArgumentList.size());
}

bool TSqlStdFunction::CalcArguments(TVdbRelationSet& RltnIdxs) {
  bool AnyNull = false;
  if (FArgValues.size() != FArgumentList.size()) FArgValues.resize(FArgumentList.size());
  for (std::size_t I = 0; I < FArgumentList.size(); ++I) {
    FArgumentList[I]->Calculate(FArgValues[I], RltnIdxs);
    if (FArgumentList[I]->DataType()->IsNull(FArgValues[I])) AnyNull = true;
  }
  return !AnyNull;
}

void TSqlStdFunction::ResetAggregations() {
  TVdbFunction::ResetAggregations();
  FValue1.Clear();
  FDataType1 = nullptr;
  FCount = 0;
}

void TSqlStdFunction::CalcAggregations() {
  TVdbFunction::CalcAggregations();
  if (!GetIsAggregation()) return;
  TVdbRelationSet Ignored;
  FArgValues.resize(FArgumentList.size());
  const TVdbDataType* ArgType = FArgumentList[0]->DataType();
  FArgumentList[0]->Calculate(FArgValues[0], Ignored);
  if (ArgType->IsNull(FArgValues[0])) return;
  ++FCount;
  const bool Empty = FValue1.IsEmpty();
  switch (FSqlFunction) {
    case sftMax:
    case sftMin: {
      const int Cmp = Empty ? 0 : ArgType->CompareTo(FArgValues[0], FValue1, FResultType, 0);
      if (Empty || (FSqlFunction == sftMax ? Cmp == kVdbCmpGreater : Cmp == kVdbCmpLess))
        FResultType->Assign(FValue1, FArgValues[0], ArgType);
      break;
    }
    case sftFirst:
      if (Empty) FResultType->Assign(FValue1, FArgValues[0], ArgType);
      break;
    case sftLast:
      FResultType->Assign(FValue1, FArgValues[0], ArgType);
      break;
    case sftSum:
    case sftAvg:
      if (FResultType->ColumnType() == kVdbFloatCode) {
        FResultType->SetDouble(FValue1, (Empty ? 0.0 : FResultType->GetDouble(FValue1)) + ArgType->GetDouble(FArgValues[0]));
      } else {
        const std::int64_t Sum = Empty ? 0 : FResultType->GetInteger(FValue1);
        std::int64_t Next;
        if (__builtin_add_overflow(Sum, ArgType->GetInteger(FArgValues[0]), &Next)) throw EVdbEngine(kVdbErrOutOfRange, GetSqlText());
        FResultType->SetInteger(FValue1, Next);
      }
      break;
    default:
      break;
  }
}

void TSqlStdFunction::DoCalculate(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) {
  if (GetIsAggregation()) {
    if (FSqlFunction == sftCount) return FResultType->SetInteger(Value, FCount);
    if (FValue1.IsEmpty()) return FResultType->SetNull(Value);
    if (FSqlFunction == sftAvg) return FResultType->SetDouble(Value, FResultType->GetDouble(FValue1) / static_cast<double>(FCount));
    return FResultType->Assign(Value, FValue1, FResultType);
  }
  if (FSqlFunction == sftCurrent_Date || FSqlFunction == sftCurrent_Time || FSqlFunction == sftCurrent_Timestamp) {
    std::int32_t Date;
    std::int64_t Ticks;
    LocalNow(Date, Ticks);
    if (FSqlFunction == sftCurrent_Date) return FResultType->SetDate(Value, Date);
    if (FSqlFunction == sftCurrent_Time) return FResultType->SetTime(Value, Ticks);
    return FResultType->SetTimeStamp(Value, TVdbTimeStamp{Date, static_cast<std::int32_t>(Ticks / kTicksPerMillisecond)});
  }
  const bool Complete = CalcArguments(RltnIdxs);
  if (FSqlFunction == sftExchange && !FArgumentList[0]->DataType()->IsNull(FArgValues[0]) && !Complete)
    return FResultType->Assign(Value, FArgValues[0], FArgumentList[0]->DataType());   // NULL a or b: s unchanged
  if (!Complete) return FResultType->SetNull(Value);
  if (IsExtractId(FSqlFunction)) return CalcExtract(Value);
  if (FResultType->IsStringType() || FSqlFunction == sftLen || FSqlFunction == sftChar_Length) return CalcString(Value);
  CalcScalar(Value);
}

void TSqlStdFunction::CalcScalar(TVdbDataValue& Value) {
  const TVdbDataType* T0 = FArgumentList[0]->DataType();
  double X = 0;
  if (FSqlFunction != sftRealVal && FSqlFunction != sftRandom && FSqlFunction != sftInt) X = T0->GetDouble(FArgValues[0]);
  switch (FSqlFunction) {
    case sftAbs: return FResultType->SetDouble(Value, std::fabs(X));
    case sftExp: return FResultType->SetDouble(Value, std::exp(X));
    case sftFrac: return FResultType->SetDouble(Value, X - std::trunc(X));
    case sftSqrt: return X < 0 ? FResultType->SetNull(Value) : FResultType->SetDouble(Value, std::sqrt(X));
    case sftLog: return X <= 0 ? FResultType->SetNull(Value) : FResultType->SetDouble(Value, std::log(X));
    case sftCeiling:
    case sftFloor:
      if (X < -2147483648.0 || X > 2147483647.0) return FResultType->SetNull(Value);
      return FResultType->SetDouble(Value, FSqlFunction == sftCeiling ? std::ceil(X) : std::floor(X));
    case sftRound: {
      const double Scale = std::pow(10.0, static_cast<double>(FArgumentList[1]->DataType()->GetInteger(FArgValues[1])));
      return FResultType->SetDouble(Value, std::round(X * Scale) / Scale);   // halfway values away from zero
    }
    case sftInt: {
      if (T0->IsIntegerType()) return FResultType->SetInteger(Value, T0->GetInteger(FArgValues[0]));
      const double D = std::trunc(T0->GetDouble(FArgValues[0]));
      if (!(D >= -9223372036854775808.0 && D < 9223372036854775808.0)) throw EVdbEngine(kVdbErrOutOfRange, "function Int");
      return FResultType->SetInteger(Value, static_cast<std::int64_t>(D));
    }
    case sftRandom: {
      static std::mt19937_64 Generator{std::random_device{}()};
      const std::int64_t N = T0->GetInteger(FArgValues[0]);
      if (N <= 0) return FResultType->SetInteger(Value, 0);
      return FResultType->SetInteger(Value, static_cast<std::int64_t>(Generator() % static_cast<std::uint64_t>(N)));
    }
    case sftRealVal: {
      std::string Text;
      T0->ConvertToString(FArgValues[0], Text);
      char* End = nullptr;
      const double D = std::strtod(Text.c_str(), &End);
      if (Text.empty() || End != Text.c_str() + Text.size()) throw EVdbEngine(kVdbErrInvalidNumber, Text);
      return FResultType->SetDouble(Value, D);
    }
    default:
      throw EVdbEngine(kVdbErrUnknown, "Not yet implemented");
  }
}

void TSqlStdFunction::CalcString(TVdbDataValue& Value) {
  const TVdbDataType* T0 = FArgumentList[0]->DataType();
  auto Wide = [&](std::size_t I) {
    const TVdbDataType* T = FArgumentList[I]->DataType();
    if (T->IsStringType()) return T->GetWideString(FArgValues[I]);
    std::string Text;
    T->ConvertToString(FArgValues[I], Text);
    return TkxMemory::Utf8ToUtf16(Text);
  };
  auto Int = [&](std::size_t I) { return FArgumentList[I]->DataType()->GetInteger(FArgValues[I]); };
  auto Set = [&](const std::u16string& Text) { FResultType->SetWideString(Value, Text); };
  switch (FSqlFunction) {
    case sftUpper:
    case sftLower:
      return FResultType->CalculateWith(FSqlFunction == sftUpper ? duoStringUpper : duoStringLower, Value, FArgValues[0], T0);
    case sftLen:
    case sftChar_Length:
      return FResultType->SetInteger(Value, static_cast<std::int64_t>(Wide(0).size()));
    case sftChr:
      return Set(std::u16string(1, static_cast<char16_t>(Int(0))));
    case sftSubString: {
      const std::u16string S = Wide(0);
      const std::int64_t Start = Int(1);
      const std::int64_t Length = FArgumentList.size() > 2 ? Int(2) : -1;
      if (Start < 1 || Start > static_cast<std::int64_t>(S.size())) return Set(u"");
      const std::size_t Count = Length < 0 ? std::u16string::npos : static_cast<std::size_t>(Length);
      return Set(S.substr(static_cast<std::size_t>(Start - 1), Count));
    }
    case sftTrimBoth:
    case sftTrimLeading:
    case sftTrimTrailing: {
      const std::u16string Chars = FArgumentList.size() > 1 ? Wide(1) : std::u16string(u" ");
      const char16_t C = Chars.empty() ? u' ' : Chars[0];
      return Set(TrimText(Wide(0), C, FSqlFunction != sftTrimTrailing, FSqlFunction != sftTrimLeading));
    }
    case sftExchange: {
      std::u16string S = Wide(0);
      const std::u16string A = Wide(1), B = Wide(2);
      if (A.empty()) return Set(S);
      std::u16string Result;
      for (std::size_t Pos = 0;;) {
        const std::size_t Found = S.find(A, Pos);
        if (Found == std::u16string::npos) {
          Result += S.substr(Pos);
          break;
        }
        Result += S.substr(Pos, Found - Pos) + B;
        Pos = Found + A.size();
      }
      return Set(Result);
    }
    case sftFillStr:
    case sftNTimes: {
      // FILLSTR(s, f, n) fills s on the right with repetitions of f up to n characters;
      // NTIMES(s, n) is the same fill of an empty start text to n times the length of s.
      std::u16string S = FSqlFunction == sftFillStr ? Wide(0) : std::u16string();
      const std::u16string F = FSqlFunction == sftFillStr ? Wide(1) : Wide(0);
      std::int64_t N = FSqlFunction == sftFillStr ? Int(2) : Int(1) * static_cast<std::int64_t>(F.size());
      const std::int64_t Limit = FSqlFunction == sftNTimes ? 255 : kVdbMaxWideLength;
      N = std::min(N, Limit);
      if (!F.empty())
        while (static_cast<std::int64_t>(S.size()) < N) S += F;
      if (static_cast<std::int64_t>(S.size()) > N && N >= 0 && FSqlFunction == sftNTimes) S.resize(static_cast<std::size_t>(N));
      if (FSqlFunction == sftFillStr && static_cast<std::int64_t>(S.size()) > N && N > static_cast<std::int64_t>(Wide(0).size()))
        S.resize(static_cast<std::size_t>(N));
      return Set(S);
    }
    case sftStr: {
      // STR(x, width, decimals, decimal separator, thousands separator, fill character).
      const TVdbDataType* T = T0;
      std::string Text;
      if (T->ColumnType() == kVdbEnumCode) {
        T->ConvertToString(FArgValues[0], Text);
        return FResultType->SetAnsiString(Value, Text);
      }
      const std::int64_t Width = FArgumentList.size() > 1 ? Int(1) : 0;
      const std::int64_t Decimals = FArgumentList.size() > 2 ? std::clamp<std::int64_t>(Int(2), 0, 20) : 0;
      auto Char = [&](std::size_t I, char Default) {
        if (FArgumentList.size() <= I) return Default;
        const std::u16string C = Wide(I);
        return C.empty() ? Default : static_cast<char>(C[0]);
      };
      char Buffer[64];
      std::snprintf(Buffer, sizeof Buffer, "%.*f", static_cast<int>(Decimals), T->GetDouble(FArgValues[0]));
      Text = Buffer;
      const char Separator = Char(3, '.');
      const char Thousands = Char(4, 0);
      const char Fill = Char(5, ' ');
      std::size_t Dot = Text.find('.');
      if (Dot != std::string::npos) Text[Dot] = Separator;
      if (Thousands) {
        std::size_t End = Dot == std::string::npos ? Text.size() : Dot;
        const std::size_t Begin = (Text[0] == '-') ? 1 : 0;
        for (std::size_t I = End; I > Begin + 3; I -= 3) Text.insert(I - 3, 1, Thousands);
      }
      if (static_cast<std::int64_t>(Text.size()) < Width) Text.insert(0, static_cast<std::size_t>(Width) - Text.size(), Fill);
      if (Text.size() > 40) Text.resize(40);
      return FResultType->SetAnsiString(Value, Text);
    }
    case sftLikeLower:
    case sftLikeUpper: {
      // The literal prefix of a LIKE pattern (second argument: the escape character); the upper
      // form is followed by the highest character, so that it sorts after the texts with that
      // prefix under a collation without multi-letter letters.
      const std::u16string Escape = FArgumentList.size() > 1 ? Wide(1) : std::u16string();
      std::u16string Prefix = LikePatternPrefix(Wide(0), Escape.empty() ? u'\0' : Escape[0]);
      if (FSqlFunction == sftLikeUpper) Prefix += u'\uFFFF';
      return Set(Prefix);
    }
    case sftDigitStr: {
      // The decimal digits of the integer part, without sign.
      const double D = std::fabs(std::trunc(T0->GetDouble(FArgValues[0])));
      char Buffer[400];
      std::snprintf(Buffer, sizeof Buffer, "%.0f", D);
      std::string Text = Buffer;
      if (Text.size() > 255) Text.resize(255);
      return FResultType->SetAnsiString(Value, Text);
    }
    default:
      throw EVdbEngine(kVdbErrUnknown, "Not yet implemented");
  }
}

void TSqlStdFunction::CalcExtract(TVdbDataValue& Value) {
  const TVdbDataType* T = FArgumentList[0]->DataType();
  std::int32_t Date = 0;
  std::int64_t Ticks = 0;
  switch (T->ColumnType()) {
    case kVdbDateCode: Date = T->GetDate(FArgValues[0]); break;
    case kVdbTimeCode: Ticks = T->GetTime(FArgValues[0]); break;
    case kVdbTimeStampCode: {
      const TVdbTimeStamp Stamp = T->GetTimeStamp(FArgValues[0]);
      Date = Stamp.Date;
      Ticks = static_cast<std::int64_t>(Stamp.Time) * kTicksPerMillisecond;
      break;
    }
    default:
      throw EVdbEngine(kVdbErrTypeMismatch, T->SqlName() + "->" + "TIMESTAMP");
  }
  std::int32_t Year = 0, Month = 0, Day = 0;
  if (Date != 0) TVdbDateTimeType::DecodeDate(Date, Year, Month, Day);
  const std::int64_t Millis = Ticks / kTicksPerMillisecond;
  const std::int32_t WeekDay = (TVdbDateTimeType::DateToDays(Date) + 4) % 7 + 1;
  std::int64_t Result = 0;
  switch (FSqlFunction) {
    case sftExtractYear: Result = Year; break;
    case sftExtractMonth: Result = Month; break;
    case sftExtractDay: Result = Day; break;
    case sftExtractHour: Result = Millis / 3600000; break;
    case sftExtractMinute: Result = Millis / 60000 % 60; break;
    case sftExtractSecond: Result = Millis / 1000 % 60; break;
    case sftExtractMillisecond: Result = Millis % 1000; break;
    case sftExtractWeek: Result = TVdbDateTimeType::WeekOfYear(Date); break;
    case sftExtractWeekDay: Result = WeekDay; break;
    case sftExtractWeekDayName: {
      // Named after the same weekday number as EXTRACT(WEEKDAY ...), counted from a known Monday.
      static const char16_t* const kNames[] = {u"Monday", u"Tuesday", u"Wednesday", u"Thursday",
                                               u"Friday", u"Saturday", u"Sunday"};
      const std::int32_t Monday = TVdbDateTimeType::DateToDays(TVdbDateTimeType::EncodeDate(2024, 1, 1));
      const std::int32_t Offset = ((TVdbDateTimeType::DateToDays(Date) - Monday) % 7 + 7) % 7;
      return FResultType->SetWideString(Value, kNames[Offset]);
    }
    default: break;
  }
  FResultType->SetInteger(Value, Result);
}

// CAST

TSqlCastFunction::TSqlCastFunction(std::unique_ptr<TVdbSqlColumnDefinition> TargetType)
    : TSqlStdFunction(sftCast), FTargetType(std::move(TargetType)) {}
TSqlCastFunction::~TSqlCastFunction() = default;

std::string TSqlCastFunction::GetSqlText() const {
  return "CAST(" + (FArgumentList.empty() ? std::string() : FArgumentList[0]->GetSqlText()) + " AS " +
         SqlTypeText(*FTargetType) + ")";
}

std::unique_ptr<TVdbFunction> TSqlCastFunction::CreateCopy() const {
  auto Copy = std::make_unique<TSqlCastFunction>(FTargetType->Clone());
  for (const auto& Argument : FArgumentList) Copy->AddArgument(Argument->Clone());
  return Copy;
}

void TSqlCastFunction::Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                               const TVdbOuterReferenceCallback& OuterReferenceCallback) {
  TVdbFunction::Prepare(Context, Options, OuterReferenceCallback);
  FResultType = FTargetType->GetDataType();
  FResultDataType = FResultType;
  if (!FResultType) throw EVdbEngine(kVdbErrUnknownType, GetSqlText());
}

void TSqlCastFunction::DoCalculate(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) {
  TVdbDataValue Argument;
  const TVdbDataType* ArgType = FArgumentList[0]->DataType();
  FArgumentList[0]->Calculate(Argument, RltnIdxs);
  if (ArgType->IsNull(Argument)) return FResultType->SetNullOrDefault(Value);
  try {
    FResultType->ConvertFrom(Value, Argument, ArgType);
  } catch (const std::exception&) {
    // A value that does not convert is NULL, or the empty value of a required type.
    if (FResultType->Nullable()) FResultType->SetNull(Value);
    else FResultType->GetDefault(Value);
  }
}

// CURRENTRECORDID

TSqlCurrentRecordIdFunction::TSqlCurrentRecordIdFunction(std::string TableName)
    : TSqlStdFunction(sftCurrentRecordId), FTableName(TableName), FWrittenName(std::move(TableName)) {}

std::string TSqlCurrentRecordIdFunction::GetSqlText() const { return "CURRENTRECORDID(" + FWrittenName + ")"; }

std::unique_ptr<TVdbFunction> TSqlCurrentRecordIdFunction::CreateCopy() const {
  auto Copy = std::make_unique<TSqlCurrentRecordIdFunction>(FWrittenName);
  Copy->FTableName = FTableName;
  return Copy;
}

void TSqlCurrentRecordIdFunction::ReplaceAlias(const std::string& Alias, const std::string& InternalName) {
  if (CompareIdentifiers(FTableName, Alias) == 0) FTableName = InternalName;
}

// The table must be one the statement reads and must have a record id column; the value is the
// record id of its current row (NULL where an outer join gave it none).
void TSqlCurrentRecordIdFunction::Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions,
                                          const TVdbOuterReferenceCallback&) {
  FContext = Context;
  if (Context == nullptr || !Context->FindRelation(FTableName, FRecordId))
    throw EVdbEngine(kVdbErrTableNotFound, kxFormatArgs{FWrittenName});
  FRecordId.FieldNo = FRecordId.Accessor->Relation().RecordIdFieldNo();
  if (FRecordId.FieldNo <= 0) throw EVdbEngine(kVdbErrNoRecordIdColumn, kxFormatArgs{FWrittenName});
  FResultType = Context->ColumnType(FRecordId);
}

void TSqlCurrentRecordIdFunction::GetInvolvedTables(TVdbRelationSet& RltnIdxs) const {
  if (FRecordId.RltnIdx > 0 && static_cast<std::size_t>(FRecordId.RltnIdx) < RltnIdxs.size())
    RltnIdxs.set(static_cast<std::size_t>(FRecordId.RltnIdx));
}

void TSqlCurrentRecordIdFunction::DoCalculate(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) {
  if (FContext == nullptr) throw EVdbEngine(kVdbErrTableNotFound, kxFormatArgs{FWrittenName});
  GetInvolvedTables(RltnIdxs);
  FContext->ReadColumn(FRecordId, Value);
}

// ---------------------------------------------------------------------------------------------
// Data functions

int FindDataFunction(std::string_view Name) {
  const TVdbDataFunc* Func = FindDataFunc(Name);
  return Func ? static_cast<int>(Func->Id) : -1;
}

const TVdbDataFuncEntry& DataFunction(int Index) {
  static const std::vector<TVdbDataFuncEntry> Entries = [] {
    std::vector<TVdbDataFuncEntry> Table;
    for (int I = 0; I < kVdbDataFuncCount; ++I) {
      const TVdbDataFunc& F = GetDataFunc(static_cast<TVdbDataFuncId>(I));
      Table.push_back({F.Name, F.ResultType, F.MinArgs, F.MaxArgs});
    }
    return Table;
  }();
  return Entries.at(static_cast<std::size_t>(Index));
}

std::string TVeskorPlFunction::GetSqlText() const {
  const std::string Name = GetDataFunc(FDataFunc).Name;
  return FArgumentList.empty() ? Name : Name + "(" + ArgumentsSqlText() + ")";
}

std::unique_ptr<TVdbFunction> TVeskorPlFunction::CreateCopy() const {
  auto Copy = std::make_unique<TVeskorPlFunction>(FDataFunc);
  for (const auto& Argument : FArgumentList) Copy->AddArgument(Argument->Clone());
  return Copy;
}

void TVeskorPlFunction::Prepare(TVdbExpressionContext* Context, TVdbPrepareOptions Options,
                                const TVdbOuterReferenceCallback& OuterReferenceCallback) {
  TVdbFunction::Prepare(Context, Options, OuterReferenceCallback);
  FResultType = DataFuncResultType(FDataFunc);
  FArgValues.clear();
  FArgValues.resize(FArgumentList.size());
}

void TVeskorPlFunction::DoCalculate(TVdbDataValue& Value, TVdbRelationSet& RltnIdxs) {
  std::vector<TVdbDataFuncArg> Args;
  FArgValues.resize(FArgumentList.size());
  for (std::size_t I = 0; I < FArgumentList.size(); ++I) {
    FArgumentList[I]->Calculate(FArgValues[I], RltnIdxs);
    Args.push_back({&FArgValues[I], FArgumentList[I]->DataType()});
  }
  CalculateDataFunc(FDataFunc, Args, Value, FResultType);
}

std::u16string LikePatternPrefix(std::u16string_view Pattern, char16_t Escape) {
  std::u16string Prefix;
  for (std::size_t I = 0; I < Pattern.size(); ++I) {
    const char16_t C = Pattern[I];
    if (Escape != 0 && C == Escape && I + 1 < Pattern.size()) {
      Prefix += Pattern[++I];
      continue;
    }
    if (C == u'%' || C == u'_') break;
    Prefix += C;
  }
  return Prefix;
}

}  // namespace vdb
