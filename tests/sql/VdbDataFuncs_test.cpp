#include "sql/VdbDataFuncs.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "base/VdbErrors.h"
#include "sql/VdbSqlCommand.h"

namespace vdb {
namespace {

using T = TVdbDataType;
using DT = TVdbDateTimeType;

// Arguments built from plain values; the values live as long as the builder.
class TArgBuilder {
 public:
  TArgBuilder& Int(std::int64_t V) {
    const TVdbDataType* Type = T::GetDataType(kVdbBigIntCode, true, kVdbLiteralLevel);
    Type->SetInteger(NewValue(), V);
    return Push(Type);
  }
  TArgBuilder& Real(double V) {
    const TVdbDataType* Type = T::GetFloatType(true, kVdbLiteralLevel, 4);
    Type->SetDouble(NewValue(), V);
    return Push(Type);
  }
  TArgBuilder& Str(const std::string& V) {
    const TVdbDataType* Type = T::GetStringType(kVdbWideStringCode, true, kVdbLiteralLevel, 100, "");
    Type->SetAnsiString(NewValue(), std::string_view(V));
    return Push(Type);
  }
  TArgBuilder& Date(int Y, int M, int D) {
    const TVdbDataType* Type = T::GetDataType(kVdbDateCode, true, kVdbLiteralLevel);
    Type->SetDate(NewValue(), DT::EncodeDate(Y, M, D));
    return Push(Type);
  }
  TArgBuilder& Stamp(int Y, int M, int D, int H, int N, int S, int Ms) {
    const TVdbDataType* Type = T::GetDataType(kVdbTimeStampCode, true, kVdbLiteralLevel);
    Type->SetTimeStamp(NewValue(), {DT::EncodeDate(Y, M, D), ((H * 60 + N) * 60 + S) * 1000 + Ms});
    return Push(Type);
  }
  TArgBuilder& Null() {
    const TVdbDataType* Type = T::GetDataType(kVdbIntegerCode, true, kVdbLiteralLevel);
    Type->SetNull(NewValue());
    return Push(Type);
  }
  const std::vector<TVdbDataFuncArg>& Args() const { return FArgs; }

 private:
  TVdbDataValue& NewValue() { return FValues.emplace_back(); }
  TArgBuilder& Push(const TVdbDataType* Type) {
    FArgs.push_back({&FValues.back(), Type});
    return *this;
  }
  std::deque<TVdbDataValue> FValues;
  std::vector<TVdbDataFuncArg> FArgs;
};

std::string Compute(TVdbDataFuncId Id, const TArgBuilder& B) {
  const TVdbDataType* Type = DataFuncResultType(Id);
  TVdbDataValue Result;
  CalculateDataFunc(Id, B.Args(), Result, Type);
  return Type->IsNull(Result) ? "NULL" : Type->ToString(Result);
}

TEST(DataFuncs, Values) {
  struct Case {
    const char* Name;
    TVdbDataFuncId Id;
    std::function<void(TArgBuilder&)> Args;
    const char* Expected;
  } Cases[] = {
      {"Pos", dfiPos, [](auto& B) { B.Str("lés").Str("csörtölés"); }, "7"},
      {"Pos absent", dfiPos, [](auto& B) { B.Str("x").Str("abc"); }, "0"},
      {"Scan ignores case", dfiScan, [](auto& B) { B.Str("TÖL").Str("csörtölés"); }, "5"},
      {"LeftStr", dfiLeftStr, [](auto& B) { B.Str("Őzbak").Int(2); }, "Őz"},
      {"LeftStr beyond", dfiLeftStr, [](auto& B) { B.Str("Őz").Int(9); }, "Őz"},
      {"LeftStr negative", dfiLeftStr, [](auto& B) { B.Str("Őz").Int(-1); }, ""},
      {"RightStr", dfiRightStr, [](auto& B) { B.Str("Őzbak").Int(3); }, "bak"},
      {"FillStr", dfiFillStr, [](auto& B) { B.Str("ab").Int(5); }, "ababa"},
      {"HexStr", dfiHexStr, [](auto& B) { B.Int(255).Int(4); }, "00FF"},
      {"HexStr negative", dfiHexStr, [](auto& B) { B.Int(-1); }, "FFFFFFFFFFFFFFFF"},
      {"Ascii", dfiAscii, [](auto& B) { B.Str("A"); }, "65"},
      {"Year", dfiYear, [](auto& B) { B.Date(2026, 12, 11); }, "2026"},
      {"Month", dfiMonth, [](auto& B) { B.Stamp(2026, 12, 11, 1, 2, 3, 4); }, "12"},
      {"Day", dfiDay, [](auto& B) { B.Date(2026, 12, 11); }, "11"},
      {"Week", dfiWeek, [](auto& B) { B.Date(2021, 1, 3); }, "53"},
      {"WeekDayNo", dfiWeekDayNo, [](auto& B) { B.Date(2026, 12, 11); }, "5"},
      {"DayOfWeek", dfiDayOfWeek, [](auto& B) { B.Date(2026, 12, 13); }, "Sunday"},
      {"Hour", dfiHour, [](auto& B) { B.Stamp(2026, 1, 1, 13, 45, 30, 250); }, "13"},
      {"Minute", dfiMinute, [](auto& B) { B.Stamp(2026, 1, 1, 13, 45, 30, 250); }, "45"},
      {"Second", dfiSecond, [](auto& B) { B.Stamp(2026, 1, 1, 13, 45, 30, 250); }, "30"},
      {"Millisecond", dfiMillisecond, [](auto& B) { B.Stamp(2026, 1, 1, 13, 45, 30, 250); }, "250"},
      {"MakeDate", dfiMakeDate, [](auto& B) { B.Int(2024).Int(2).Int(29); }, "29.02.2024"},
      {"DateStr", dfiDateStr, [](auto& B) { B.Date(2026, 3, 1); }, "01.03.2026"},
      {"TimeStr", dfiTimeStr, [](auto& B) { B.Stamp(2026, 1, 1, 9, 5, 7, 0); }, "09:05:07"},
      {"TimeStr minutes", dfiTimeStr, [](auto& B) { B.Stamp(2026, 1, 1, 9, 5, 7, 0).Int(2); }, "09:05"},
      {"DateTimeStr", dfiDateTimeStr, [](auto& B) { B.Stamp(2026, 1, 2, 9, 5, 7, 0); }, "02.01.2026 09:05:07"},
      {"NULL argument", dfiLeftStr, [](auto& B) { B.Str("abc").Null(); }, "NULL"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TArgBuilder B;
    C.Args(B);
    EXPECT_EQ(Compute(C.Id, B), C.Expected);
  }
}

TEST(DataFuncs, NumbersAndTimes) {
  TArgBuilder B;
  B.Real(0.0);
  const TVdbDataType* R = DataFuncResultType(dfiCos);
  TVdbDataValue V;
  CalculateDataFunc(dfiCos, B.Args(), V, R);
  EXPECT_DOUBLE_EQ(R->GetDouble(V), 1.0);

  TArgBuilder M;
  M.Int(2024).Int(2).Int(29).Int(23).Int(59).Int(58);
  const TVdbDataType* S = DataFuncResultType(dfiMakeDateTime);
  CalculateDataFunc(dfiMakeDateTime, M.Args(), V, S);
  const TVdbTimeStamp Stamp = S->GetTimeStamp(V);
  EXPECT_EQ(Stamp.Date, DT::EncodeDate(2024, 2, 29));
  EXPECT_EQ(Stamp.Time, (23 * 3600 + 59 * 60 + 58) * 1000);

  TArgBuilder G;
  const TVdbDataType* GT = DataFuncResultType(dfiNewGuid);
  TVdbDataValue G1, G2;
  CalculateDataFunc(dfiNewGuid, G.Args(), G1, GT);
  CalculateDataFunc(dfiNewGuid, G.Args(), G2, GT);
  EXPECT_FALSE(GT->GetGuid(G1) == GT->GetGuid(G2));
  EXPECT_EQ(GT->GetGuid(G1).D3 >> 12, 4);
}

TEST(DataFuncs, Errors) {
  auto ErrorOf = [](TVdbDataFuncId Id, const std::function<void(TArgBuilder&)>& Args) {
    TArgBuilder B;
    Args(B);
    TVdbDataValue V;
    try {
      CalculateDataFunc(Id, B.Args(), V, DataFuncResultType(Id));
    } catch (const EVdbEngine& E) {
      return static_cast<int>(E.Code());
    }
    return 0;
  };
  EXPECT_EQ(ErrorOf(dfiMakeDate, [](auto& B) { B.Int(2023).Int(2).Int(29); }), 81);
  EXPECT_EQ(ErrorOf(dfiMakeTime, [](auto& B) { B.Int(24).Int(0); }), 81);
  EXPECT_EQ(ErrorOf(dfiLeftStr, [](auto& B) { B.Int(1).Int(2); }), 44);
  EXPECT_EQ(ErrorOf(dfiYear, [](auto& B) { B.Str("2020"); }), 44);
  EXPECT_EQ(ErrorOf(dfiPos, [](auto& B) { B.Str("a"); }), 44);
}

TEST(DataFuncs, NamesMatchTheParsersTable) {
  for (int I = 0; I < kVdbDataFuncCount; ++I) {
    const TVdbDataFunc& F = GetDataFunc(static_cast<TVdbDataFuncId>(I));
    SCOPED_TRACE(F.Name);
    EXPECT_EQ(F.Id, I);
    EXPECT_EQ(FindDataFunction(F.Name), I);
    EXPECT_EQ(DataFunction(I).ResultType, F.ResultType);
    EXPECT_EQ(DataFunction(I).Min, F.MinArgs);
    EXPECT_EQ(DataFunction(I).Max, F.MaxArgs);
  }
  EXPECT_EQ(FindDataFunc("leftstr"), &GetDataFunc(dfiLeftStr));
  EXPECT_EQ(FindDataFunc("Nope"), nullptr);
}

}  // namespace
}  // namespace vdb
