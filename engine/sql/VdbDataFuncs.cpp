#include "sql/VdbDataFuncs.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "base/VdbErrors.h"
#include "table/kxStrUtils.h"

namespace vdb {

namespace {

using DT = TVdbDateTimeType;

constexpr TVdbDataFunc kFuncs[kVdbDataFuncCount] = {
    {dfiSin, "Sin", kVdbFloatCode, 1, 1},
    {dfiCos, "Cos", kVdbFloatCode, 1, 1},
    {dfiArcTan, "ArcTan", kVdbFloatCode, 1, 1},
    {dfiAscii, "Ascii", kVdbIntegerCode, 1, 1},
    {dfiPos, "Pos", kVdbIntegerCode, 2, 2},
    {dfiScan, "Scan", kVdbIntegerCode, 2, 2},
    {dfiLeftStr, "LeftStr", kVdbWideStringCode, 2, 2},
    {dfiRightStr, "RightStr", kVdbWideStringCode, 2, 2},
    {dfiFillStr, "FillStr", kVdbWideStringCode, 2, 2},
    {dfiHexStr, "HexStr", kVdbWideStringCode, 1, 2},
    {dfiYear, "Year", kVdbSmallIntCode, 1, 1},
    {dfiMillisecond, "Millisecond", kVdbSmallIntCode, 1, 1},
    {dfiMonth, "Month", kVdbByteCode, 1, 1},
    {dfiWeek, "Week", kVdbByteCode, 1, 1},
    {dfiDay, "Day", kVdbByteCode, 1, 1},
    {dfiWeekDayNo, "WeekDayNo", kVdbByteCode, 1, 1},
    {dfiHour, "Hour", kVdbByteCode, 1, 1},
    {dfiMinute, "Minute", kVdbByteCode, 1, 1},
    {dfiSecond, "Second", kVdbByteCode, 1, 1},
    {dfiDayOfWeek, "DayOfWeek", kVdbStringCode, 1, 1},
    {dfiCombineDateTime, "CombineDateTime", kVdbTimeStampCode, 2, 2},
    {dfiMakeTime, "MakeTime", kVdbTimeCode, 2, 4},
    {dfiMakeDate, "MakeDate", kVdbDateCode, 3, 3},
    {dfiMakeDateTime, "MakeDateTime", kVdbTimeStampCode, 5, 7},
    {dfiTimeStr, "TimeStr", kVdbStringCode, 1, 2},
    {dfiDateTimeStr, "DateTimeStr", kVdbStringCode, 1, 2},
    {dfiDateStr, "DateStr", kVdbStringCode, 1, 1},
    {dfiNewGuid, "NewGuid", kVdbGuidCode, 0, 0},
};

const char* const kDayNames[7] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};

[[noreturn]] void Mismatch(const TVdbDataFunc& F, const std::string& What) {
  throw EVdbEngine(kVdbErrTypeMismatch, std::string(F.Name) + ": " + What);
}

bool IsDateTimeCode(std::int16_t Code) {
  return Code == kVdbDateCode || Code == kVdbTimeCode || Code == kVdbTimeStampCode;
}

class TArgs {
 public:
  TArgs(const TVdbDataFunc& F, const std::vector<TVdbDataFuncArg>& Args) : FFunc(F), FArgs(Args) {}
  std::size_t Count() const { return FArgs.size(); }
  std::int64_t Int(std::size_t I) const {
    if (!Type(I)->IsNumericType()) Mismatch(FFunc, Type(I)->SqlName() + "-> Integer");
    return Type(I)->GetInteger(Value(I));
  }
  std::int64_t IntOr(std::size_t I, std::int64_t Default) const { return I < Count() ? Int(I) : Default; }
  double Real(std::size_t I) const {
    if (!Type(I)->IsNumericType()) Mismatch(FFunc, Type(I)->SqlName() + "-> Real");
    return Type(I)->GetDouble(Value(I));
  }
  std::u16string Text(std::size_t I) const {
    if (!Type(I)->IsStringType() && Type(I)->ColumnType() != kVdbCharCode)
      Mismatch(FFunc, Type(I)->SqlName() + "-> String");
    return Type(I)->GetWideString(Value(I));
  }
  TVdbTimeStamp Stamp(std::size_t I) const {
    if (!IsDateTimeCode(Type(I)->ColumnType())) Mismatch(FFunc, Type(I)->SqlName() + "-> TimeStamp");
    return Type(I)->GetTimeStamp(Value(I));
  }
  bool AnyNull() const {
    for (const auto& A : FArgs)
      if (A.Value == nullptr || A.Value->IsEmpty() || A.Type == nullptr || A.Type->IsNull(*A.Value)) return true;
    return false;
  }

 private:
  const TVdbDataType* Type(std::size_t I) const { return FArgs.at(I).Type; }
  const TVdbDataValue& Value(std::size_t I) const { return *FArgs.at(I).Value; }
  const TVdbDataFunc& FFunc;
  const std::vector<TVdbDataFuncArg>& FArgs;
};

// Position (1-based) of Part in Text, 0 when absent.
std::int64_t PositionOf(const std::u16string& Part, const std::u16string& Text) {
  const std::size_t At = Text.find(Part);
  return At == std::u16string::npos ? 0 : static_cast<std::int64_t>(At) + 1;
}

std::u16string Folded(std::u16string Text) {
  CollatedUpper(Text.data(), Text.data(), static_cast<std::int32_t>(Text.size()), kVdbEngineLocale);
  return Text;
}

std::size_t ClampCount(std::int64_t N, std::size_t Limit) {
  return N <= 0 ? 0 : static_cast<std::size_t>(std::min<std::int64_t>(N, static_cast<std::int64_t>(Limit)));
}

std::u16string HexText(std::int64_t Value, std::int64_t Digits) {
  static const char16_t kDigits[] = u"0123456789ABCDEF";
  auto U = static_cast<std::uint64_t>(Value);
  std::u16string R;
  do {
    R.insert(R.begin(), kDigits[U & 15]);
    U >>= 4;
  } while (U != 0);
  while (static_cast<std::int64_t>(R.size()) < std::min<std::int64_t>(Digits, 16)) R.insert(R.begin(), u'0');
  return R;
}

std::int32_t Date(std::int64_t Y, std::int64_t M, std::int64_t D) {
  if (Y < 1 || Y > 9999 || M < 1 || M > 12 || D < 1 || D > 31 ||
      !DT::IsValidDate(static_cast<std::int32_t>(Y), static_cast<std::int32_t>(M), static_cast<std::int32_t>(D)))
    throw EVdbEngine(kVdbErrValueOutOfTypeRange, kxFormatArgs{std::to_string(Y) + "-" + std::to_string(M) + "-" + std::to_string(D), "DATE",
                                      "1-1-1", "9999-12-31"});
  return DT::EncodeDate(static_cast<std::int32_t>(Y), static_cast<std::int32_t>(M), static_cast<std::int32_t>(D));
}

// Milliseconds since midnight.
std::int32_t TimeOfDay(std::int64_t H, std::int64_t M, std::int64_t S, std::int64_t Ms) {
  if (H < 0 || H > 23 || M < 0 || M > 59 || S < 0 || S > 59 || Ms < 0 || Ms > 999)
    throw EVdbEngine(kVdbErrValueOutOfTypeRange, kxFormatArgs{std::to_string(H) + ":" + std::to_string(M) + ":" + std::to_string(S) + "." +
                                          std::to_string(Ms),
                                      "TIME", "0:0:0.0", "23:59:59.999"});
  return static_cast<std::int32_t>(((H * 60 + M) * 60 + S) * 1000 + Ms);
}

TVdbGuid RandomGuid() {
  static thread_local std::mt19937_64 Generator{std::random_device{}()};
  TVdbGuid G;
  const std::uint64_t A = Generator(), B = Generator();
  G.D1 = static_cast<std::uint32_t>(A);
  G.D2 = static_cast<std::uint16_t>(A >> 32);
  // Version 4 (random), variant 10.
  G.D3 = static_cast<std::uint16_t>(((A >> 48) & 0x0FFF) | 0x4000);
  for (int I = 0; I < 8; ++I) G.D4[I] = static_cast<std::uint8_t>(B >> (8 * I));
  G.D4[0] = static_cast<std::uint8_t>((G.D4[0] & 0x3F) | 0x80);
  return G;
}

void SetText(TVdbDataValue& Result, const TVdbDataType* Type, const std::u16string& Text) {
  Type->SetWideString(Result, Text);
}

}  // namespace

const TVdbDataFunc& GetDataFunc(TVdbDataFuncId Id) { return kFuncs[Id]; }

const TVdbDataFunc* FindDataFunc(std::string_view Name) {
  for (const TVdbDataFunc& F : kFuncs)
    if (CompareIdentifiers(F.Name, Name) == 0) return &F;
  return nullptr;
}

const TVdbDataType* DataFuncResultType(TVdbDataFuncId Id) {
  const std::int16_t Code = kFuncs[Id].ResultType;
  switch (Code) {
    case kVdbWideStringCode: return TVdbDataType::GetStringType(Code, true, kVdbLiteralLevel, kVdbMaxWideLength, "");
    case kVdbStringCode: return TVdbDataType::GetStringType(Code, true, kVdbLiteralLevel, 255, "");
    case kVdbFloatCode: return TVdbDataType::GetFloatType(true, kVdbLiteralLevel, 4);
    default: return TVdbDataType::GetDataType(Code, true, kVdbLiteralLevel);
  }
}

void CalculateDataFunc(TVdbDataFuncId Id, const std::vector<TVdbDataFuncArg>& Arguments, TVdbDataValue& Result,
                       const TVdbDataType* ResultType) {
  const TVdbDataFunc& F = kFuncs[Id];
  if (static_cast<std::int16_t>(Arguments.size()) < F.MinArgs || static_cast<std::int16_t>(Arguments.size()) > F.MaxArgs)
    Mismatch(F, std::to_string(Arguments.size()) + " arguments");
  const TArgs A(F, Arguments);
  if (A.AnyNull()) {
    ResultType->SetNullOrDefault(Result);
    return;
  }
  switch (Id) {
    case dfiSin: ResultType->SetDouble(Result, std::sin(A.Real(0))); return;
    case dfiCos: ResultType->SetDouble(Result, std::cos(A.Real(0))); return;
    case dfiArcTan: ResultType->SetDouble(Result, std::atan(A.Real(0))); return;
    case dfiAscii: {
      const std::u16string T = A.Text(0);
      ResultType->SetInteger(Result, T.empty() ? 0 : static_cast<std::int64_t>(T[0]));
      return;
    }
    case dfiPos: ResultType->SetInteger(Result, PositionOf(A.Text(0), A.Text(1))); return;
    case dfiScan: ResultType->SetInteger(Result, PositionOf(Folded(A.Text(0)), Folded(A.Text(1)))); return;
    case dfiLeftStr: {
      const std::u16string T = A.Text(0);
      SetText(Result, ResultType, T.substr(0, ClampCount(A.Int(1), T.size())));
      return;
    }
    case dfiRightStr: {
      const std::u16string T = A.Text(0);
      const std::size_t N = ClampCount(A.Int(1), T.size());
      SetText(Result, ResultType, T.substr(T.size() - N));
      return;
    }
    case dfiFillStr: {
      const std::u16string Fill = A.Text(0);
      const std::size_t N = ClampCount(A.Int(1), static_cast<std::size_t>(kVdbMaxWideLength));
      std::u16string T;
      while (!Fill.empty() && T.size() < N) T += Fill;
      T.resize(std::min(T.size(), N));
      SetText(Result, ResultType, T);
      return;
    }
    case dfiHexStr: SetText(Result, ResultType, HexText(A.Int(0), A.IntOr(1, 0))); return;
    case dfiYear:
    case dfiMonth:
    case dfiDay:
    case dfiWeek:
    case dfiWeekDayNo: {
      const std::int32_t Packed = A.Stamp(0).Date;
      std::int32_t Y, M, D;
      DT::DecodeDate(Packed, Y, M, D);
      const std::int32_t V = Id == dfiYear    ? Y
                             : Id == dfiMonth ? M
                             : Id == dfiDay   ? D
                             : Id == dfiWeek  ? DT::WeekOfYear(Packed)
                                              : DT::DayOfWeek(Packed) + 1;
      ResultType->SetInteger(Result, V);
      return;
    }
    case dfiHour:
    case dfiMinute:
    case dfiSecond:
    case dfiMillisecond: {
      const std::int32_t Ms = A.Stamp(0).Time;
      const std::int32_t V = Id == dfiHour     ? Ms / 3600000
                             : Id == dfiMinute ? Ms / 60000 % 60
                             : Id == dfiSecond ? Ms / 1000 % 60
                                               : Ms % 1000;
      ResultType->SetInteger(Result, V);
      return;
    }
    case dfiDayOfWeek: ResultType->SetAnsiString(Result, std::string_view(kDayNames[DT::DayOfWeek(A.Stamp(0).Date)])); return;
    case dfiCombineDateTime: ResultType->SetTimeStamp(Result, {A.Stamp(0).Date, A.Stamp(1).Time}); return;
    case dfiMakeTime:
      ResultType->SetTime(Result, static_cast<std::int64_t>(TimeOfDay(A.Int(0), A.Int(1), A.IntOr(2, 0), A.IntOr(3, 0))) *
                                      DT::kTicksPerMillisecond);
      return;
    case dfiMakeDate: ResultType->SetDate(Result, Date(A.Int(0), A.Int(1), A.Int(2))); return;
    case dfiMakeDateTime:
      ResultType->SetTimeStamp(Result, {Date(A.Int(0), A.Int(1), A.Int(2)),
                                        TimeOfDay(A.Int(3), A.Int(4), A.IntOr(5, 0), A.IntOr(6, 0))});
      return;
    case dfiTimeStr:
    case dfiDateTimeStr: {
      const TVdbTimeStamp S = A.Stamp(0);
      const auto Precision = static_cast<std::int16_t>(std::clamp<std::int64_t>(A.IntOr(1, 3), 1, 4));
      std::string Text = DT::TimeToString(static_cast<std::int64_t>(S.Time) * DT::kTicksPerMillisecond, Precision);
      if (Id == dfiDateTimeStr) Text = DT::DateToString(S.Date) + " " + Text;
      ResultType->SetAnsiString(Result, std::string_view(Text));
      return;
    }
    case dfiDateStr: ResultType->SetAnsiString(Result, std::string_view(DT::DateToString(A.Stamp(0).Date))); return;
    case dfiNewGuid: ResultType->SetGuid(Result, RandomGuid()); return;
  }
  Mismatch(F, "unknown function");
}

}  // namespace vdb
