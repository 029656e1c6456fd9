// Dates, times and time stamps: packed dates, day counts, weekdays, ISO weeks, limits and text.
#include <gtest/gtest.h>

#include <vector>

#include "base/VdbErrors.h"
#include "table/VdbDataTestSupport.h"
#include "table/VdbData.h"

namespace vdb {
namespace {

using test::EngineCode;
using test::MessageOf;

using DT = TVdbDateTimeType;
using T = TVdbDataType;

std::int32_t Date(std::int32_t Y, std::int32_t M, std::int32_t D) { return DT::EncodeDate(Y, M, D); }

TEST(VdbDates, PackedDates) {
  EXPECT_EQ(Date(1, 1, 1), 545);
  EXPECT_EQ(Date(9999, 12, 31), 5119903);
  EXPECT_EQ(Date(2000, 2, 29), 2000 * 512 + 2 * 32 + 29);
  std::int32_t Y, M, D;
  DT::DecodeDate(5119903, Y, M, D);
  EXPECT_EQ(Y, 9999);
  EXPECT_EQ(M, 12);
  EXPECT_EQ(D, 31);
}

TEST(VdbDates, LeapYears) {
  struct Case { std::int32_t Year; bool Leap; };
  for (const Case& C : std::vector<Case>{{1900, false}, {2000, true}, {2004, true}, {2023, false}, {2100, false},
                                         {2400, true}, {4, true}, {1, false}}) {
    EXPECT_EQ(DT::IsLeapYear(C.Year), C.Leap) << C.Year;
    EXPECT_EQ(DT::DaysInMonth(C.Year, 2), C.Leap ? 29 : 28) << C.Year;
  }
}

TEST(VdbDates, DayCountsRoundTripAndAdvanceByOne) {
  for (std::int32_t Year : {1, 2, 3, 4, 5, 99, 100, 399, 400, 401, 1582, 1899, 1900, 1999, 2000, 2001, 2024, 9998, 9999}) {
    for (std::int32_t Month = 1; Month <= 12; ++Month) {
      for (std::int32_t Day = 1; Day <= DT::DaysInMonth(Year, Month); ++Day) {
        const std::int32_t P = Date(Year, Month, Day);
        const std::int32_t Days = DT::DateToDays(P);
        ASSERT_EQ(DT::DaysToDate(Days), P) << Year << "-" << Month << "-" << Day;
        // The next calendar day is the next day count.
        const std::int32_t Next = Day < DT::DaysInMonth(Year, Month) ? Date(Year, Month, Day + 1)
                                  : Month < 12                         ? Date(Year, Month + 1, 1)
                                                                       : Date(Year + 1, 1, 1);
        if (Year < 9999 || Month < 12 || Day < 31) {
          ASSERT_EQ(DT::DateToDays(Next), Days + 1) << P;
        }
      }
    }
  }
  EXPECT_EQ(DT::DateToDays(Date(2001, 1, 1)) - DT::DateToDays(Date(2000, 1, 1)), 366);
  EXPECT_EQ(DT::DateToDays(Date(1901, 1, 1)) - DT::DateToDays(Date(1900, 1, 1)), 365);
}

TEST(VdbDates, DayOfWeekMondayIsZero) {
  struct Case { std::int32_t Packed; std::int32_t Dow; };
  for (const Case& C : std::vector<Case>{{Date(1, 1, 1), 0},       {Date(2026, 12, 10), 3}, {Date(2000, 2, 29), 1},
                                         {Date(1970, 1, 1), 3},    {Date(2024, 12, 29), 6}, {Date(9999, 12, 31), 4},
                                         {Date(1900, 3, 1), 3}}) {
    EXPECT_EQ(DT::DayOfWeek(C.Packed), C.Dow) << C.Packed;
  }
}

TEST(VdbDates, IsoWeekNumbersAcrossYearBoundaries) {
  struct Case { std::int32_t Packed; std::int32_t Week; };
  for (const Case& C : std::vector<Case>{{Date(2021, 1, 1), 53},   {Date(2021, 1, 3), 53},   {Date(2021, 1, 4), 1},
                                         {Date(2020, 12, 28), 53}, {Date(2024, 12, 30), 1},  {Date(2024, 12, 31), 1},
                                         {Date(2008, 12, 29), 1},  {Date(2026, 1, 1), 1},    {Date(2026, 12, 10), 50},
                                         {Date(2015, 12, 31), 53}, {Date(2016, 1, 4), 1},    {Date(2018, 1, 1), 1},
                                         {Date(2010, 1, 3), 53},   {Date(2027, 1, 1), 53},   {0, 0}}) {
    EXPECT_EQ(DT::WeekOfYear(C.Packed), C.Week) << C.Packed;
  }
}

TEST(VdbDates, DateTextForms) {
  struct Case { const char* Text; std::int32_t Packed; };
  for (const Case& C : std::vector<Case>{{"29.02.2000", Date(2000, 2, 29)}, {"5.3.07", Date(2007, 3, 5)},
                                         {"5.3.45", Date(1945, 3, 5)},      {"5.3.29", Date(2029, 3, 5)},
                                         {"5.3.30", Date(1930, 3, 5)},      {"3/5/2007", Date(2007, 3, 5)},
                                         {"2007-03-05", Date(2007, 3, 5)},  {"07-3-5", Date(2007, 3, 5)},
                                         {"31.12.9999", 5119903},           {"1.1.0001", 545},
                                         {" 01.02.2003 ", Date(2003, 2, 1)}}) {
    std::int32_t P = -1;
    EXPECT_TRUE(DT::TryStringToDate(C.Text, P)) << C.Text;
    EXPECT_EQ(P, C.Packed) << C.Text;
  }
  for (const char* Bad : {"29.02.1900", "30.02.2000", "31.04.2000", "31.06.2000", "31.09.2000", "31.11.2000",
                          "1.13.2000", "0.1.2000", "1.0.2000", "32.1.2000", "1.1.10000", "1.1.2000x", "1.1", "",
                          "a.b.c", "1.1.0000", "1..2000", "1.1.2000.5", "12/31/2000/"}) {
    std::int32_t P = 0;
    EXPECT_FALSE(DT::TryStringToDate(Bad, P)) << Bad;
  }
  EXPECT_EQ(DT::DateToString(Date(2007, 3, 5)), "05.03.2007");
  EXPECT_EQ(DT::DateToString(545), "01.01.0001");
  EXPECT_EQ(DT::DateToString(0), "");
}

TEST(VdbDates, DateConversionErrorsLeaveTheValue) {
  const TVdbDataType* D = T::GetDataType(kVdbDateCode, true, 6);
  TVdbDataValue V;
  D->ConvertFromString(V, "24.12.2020");
  EXPECT_EQ(D->ToString(V), "24.12.2020");
  EXPECT_EQ(MessageOf<EConvertError>([&] { D->ConvertFromString(V, "29.02.1900"); }),
            "\"29.02.1900\" is not a valid date");
  EXPECT_EQ(D->GetDate(V), Date(2020, 12, 24));
  D->ConvertFromString(V, std::nullopt);
  EXPECT_TRUE(D->IsNull(V));
  D->ConvertFromString(V, "");
  EXPECT_TRUE(D->IsNull(V));
  EXPECT_EQ(D->ToString(V), "");
  // A packed value that is no calendar date is refused.
  EXPECT_THROW(D->SetDate(V, Date(2001, 2, 29)), EVdbEngine);
}

TEST(VdbTimes, TextByPrecisionAndRoundTrip) {
  constexpr std::int64_t Ticks = ((13 * 60 + 45) * 60 + 10) * 10000000LL + 123 * 10000LL;  // 13:45:10.123
  struct Case { std::int16_t Precision; const char* Text; };
  for (const Case& C : std::vector<Case>{{1, "13"}, {2, "13:45"}, {3, "13:45:10"}, {4, "13:45:10.123"}}) {
    const TVdbDataType* Ty = T::GetDateTimeType(kVdbTimeCode, true, 6, C.Precision, true);
    TVdbDataValue V;
    Ty->SetTime(V, Ticks);
    EXPECT_EQ(Ty->ToString(V), C.Text) << C.Precision;
    TVdbDataValue W;
    Ty->ConvertFromString(W, C.Text);
    EXPECT_EQ(Ty->CompareTo(V, W, Ty, 0), kVdbCmpEqual) << C.Precision;
  }
  const TVdbDataType* Ty = T::GetDateTimeType(kVdbTimeCode, true, 6, 4, true);
  TVdbDataValue V;
  Ty->ConvertFromString(V, "7:05");
  EXPECT_EQ(Ty->ToString(V), "07:05:00.000");
  Ty->ConvertFromString(V, "23:59:59.5");
  EXPECT_EQ(Ty->ToString(V), "23:59:59.500");
  for (const char* Bad : {"24:00", "12:60", "12:00:60", "12:00:00.1234", "12:", "x", "1:2:3:4", "12.5"}) {
    EXPECT_EQ(MessageOf<EConvertError>([&] { Ty->ConvertFromString(V, Bad); }),
              std::string("\"") + Bad + "\" is not a valid time")
        << Bad;
  }
  EXPECT_EQ(Ty->ToString(V), "23:59:59.500");
}

TEST(VdbTimes, StoredUnitsPerPrecision) {
  const TVdbDataType* Minutes = T::GetDateTimeType(kVdbTimeCode, false, 6, 2, false);
  const TVdbDataType* Millis = T::GetDateTimeType(kVdbTimeCode, false, 6, 4, false);
  std::uint8_t R2[2] = {}, R4[4] = {};
  TVdbDataValue A, B;
  Minutes->SetReference(A, R2);
  Millis->SetReference(B, R4);
  Minutes->SetTime(A, 90 * DT::kTicksPerMinute + 5);
  Millis->SetTime(B, 1500 * DT::kTicksPerMillisecond + 7);
  EXPECT_EQ(R2[0] | R2[1] << 8, 90);
  EXPECT_EQ(R4[0] | R4[1] << 8, 1500);
  EXPECT_THROW(Millis->SetTime(B, DT::kTicksPerDay), EVdbEngine);
  EXPECT_THROW(Millis->SetTime(B, -1), EVdbEngine);
  TVdbDataValue Max;
  Millis->GetMaximum(Max);
  EXPECT_EQ(Millis->ToString(Max), "23:59:59.999");
}

TEST(VdbTimeStamps, LimitsAndText) {
  const TVdbDataType* S = T::GetDataType(kVdbTimeStampCode, true, 6);
  TVdbDataValue V;
  S->SetTimeStamp(V, {5119903, 86399999});
  EXPECT_EQ(S->ToString(V), "31.12.9999_23:59:59.999");
  EXPECT_THROW(S->SetTimeStamp(V, {5119903, 86400000}), EVdbEngine);
  EXPECT_THROW(S->SetTimeStamp(V, {545, -1}), EVdbEngine);
  EXPECT_THROW(S->SetTimeStamp(V, {Date(9999, 12, 32), 0}), EVdbEngine);
  EXPECT_EQ(S->GetTimeStamp(V), (TVdbTimeStamp{5119903, 86399999}));
  S->SetTimeStamp(V, {0, 0});
  EXPECT_TRUE(S->IsNull(V));

  struct Case { const char* Text; TVdbTimeStamp Stamp; };
  for (const Case& C : std::vector<Case>{{"05.03.2007_13:45:10.123", {Date(2007, 3, 5), 49510123}},
                                         {"05.03.2007 13:45", {Date(2007, 3, 5), 49500000}},
                                         {"13:45", {545, 49500000}},
                                         {"05.03.2007", {Date(2007, 3, 5), 0}}}) {
    S->ConvertFromString(V, C.Text);
    EXPECT_EQ(S->GetTimeStamp(V), C.Stamp) << C.Text;
  }
  S->ConvertFromString(V, "05.03.2007_13:45:10.123");
  TVdbDataValue W;
  S->ConvertFromString(W, S->ToString(V));
  EXPECT_EQ(S->CompareTo(V, W, S, 0), kVdbCmpEqual);
  for (const char* Bad : {"05.03.2007_25:00", "31.02.2007_10:00", "x_10:00", "05.03.2007_"}) {
    EXPECT_EQ(MessageOf<EConvertError>([&] { S->ConvertFromString(V, Bad); }),
              std::string("\"") + Bad + "\" is not a valid time stamp")
        << Bad;
  }
}

TEST(VdbDateConversions, BetweenDatesTimesStampsAndNumbers) {
  const TVdbDataType* D = T::GetDataType(kVdbDateCode, true, 6);
  const TVdbDataType* Tm = T::GetDateTimeType(kVdbTimeCode, true, 6, 4, true);
  const TVdbDataType* S = T::GetDataType(kVdbTimeStampCode, true, 6);
  const TVdbDataType* I = T::GetDataType(kVdbIntegerCode, true, 6);
  const TVdbDataType* F = T::GetFloatType(true, 6, 2);
  const TVdbDataType* B = T::GetDataType(kVdbBooleanCode, true, 6);
  TVdbDataValue Dv, Tv, Sv, Iv, Fv, Bv;
  D->SetDate(Dv, Date(2020, 6, 15));
  T::Convert(Dv, D, Sv, S, false);
  EXPECT_EQ(S->GetTimeStamp(Sv), (TVdbTimeStamp{Date(2020, 6, 15), 0}));
  Tm->SetTime(Tv, 90 * DT::kTicksPerMinute);
  T::Convert(Tv, Tm, Sv, S, false);
  EXPECT_EQ(S->GetTimeStamp(Sv), (TVdbTimeStamp{545, 5400000}));
  S->SetTimeStamp(Sv, {Date(2020, 6, 15), 43200000});
  T::Convert(Sv, S, Dv, D, false);
  EXPECT_EQ(D->GetDate(Dv), Date(2020, 6, 15));
  T::Convert(Sv, S, Tv, Tm, false);
  EXPECT_EQ(Tm->GetTime(Tv), 43200000LL * DT::kTicksPerMillisecond);
  // Numbers: explicitly only.
  EXPECT_FALSE(T::CanConvert(D, I, false));
  EXPECT_TRUE(T::CanConvert(D, I, true));
  T::Convert(Dv, D, Iv, I);
  EXPECT_EQ(I->GetInteger(Iv), DT::DateToDays(Date(2020, 6, 15)));
  T::Convert(Iv, I, Dv, D);
  EXPECT_EQ(D->GetDate(Dv), Date(2020, 6, 15));
  T::Convert(Sv, S, Fv, F);
  EXPECT_DOUBLE_EQ(F->GetDouble(Fv), DT::DateToDays(Date(2020, 6, 15)) + 0.5);
  F->SetDouble(Fv, DT::DateToDays(Date(2020, 6, 15)) + 0.25);
  T::Convert(Fv, F, Sv, S, false);
  EXPECT_EQ(S->GetTimeStamp(Sv), (TVdbTimeStamp{Date(2020, 6, 15), 21600000}));
  I->SetInteger(Iv, 75);
  T::Convert(Iv, I, Tv, Tm);
  EXPECT_EQ(Tm->ToString(Tv), "01:15:00.000");
  T::Convert(Tv, Tm, Iv, I);
  EXPECT_EQ(I->GetInteger(Iv), 75);
  T::Convert(Tv, Tm, Bv, B);
  EXPECT_EQ(B->GetInteger(Bv), 1);
  // A date never becomes a time.
  EXPECT_FALSE(T::CanConvert(D, Tm, true));
  EXPECT_THROW(Tm->ConvertFrom(Tv, Dv, D), EVdbEngine);
}

TEST(VdbDateComparisons, DatesWithStampsTimesWithTimes) {
  const TVdbDataType* D = T::GetDataType(kVdbDateCode, true, 6);
  const TVdbDataType* S = T::GetDataType(kVdbTimeStampCode, true, 6);
  const TVdbDataType* Tm = T::GetDataType(kVdbTimeCode, true, 6);
  TVdbDataValue Dv, Sv, Tv, Null;
  D->SetDate(Dv, Date(2020, 6, 15));
  S->SetTimeStamp(Sv, {Date(2020, 6, 15), 1});
  EXPECT_EQ(T::Compare(Dv, Sv, 0, D, S), kVdbCmpLess);
  EXPECT_EQ(T::Compare(Sv, Dv, 0, S, D), kVdbCmpGreater);
  S->SetTimeStamp(Sv, {Date(2020, 6, 15), 0});
  EXPECT_EQ(T::Compare(Dv, Sv, 0, D, S), kVdbCmpEqual);
  D->SetNull(Null);
  EXPECT_EQ(T::Compare(Dv, Null, 0, D, D), kVdbCmpNull);
  EXPECT_EQ(T::Compare(Null, Null, 0, D, D), kVdbCmpNull);
  Tm->SetTime(Tv, 5);
  EXPECT_FALSE(T::CanCompare(D, Tm));
  EXPECT_THROW(T::Compare(Dv, Tv, 0, D, Tm), EVdbDataError);
}

}  // namespace
}  // namespace vdb
