// Data types: field image sizes and null bytes per level, names, the registry (sharing and
// threads), values (owned buffers, references, copies) and the errors of the root operations.
#include "table/VdbData.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "base/VdbErrors.h"
#include "table/VdbDataTestSupport.h"

namespace vdb {
namespace {

using test::EngineCode;
using test::MessageOf;

using T = TVdbDataType;

struct SizeCase {
  const char* Name;
  const TVdbDataType* Type;
  std::int32_t Size;
  bool NullByte;
};

TEST(VdbDataSizes, FieldImageSizesPerTypeLevelAndNullability) {
  const std::vector<SizeCase> Cases = {
      {"null", T::GetNullType(), 0, false},
      {"char", T::GetDataType(kVdbCharCode, false, 6), 1, false},
      {"char null", T::GetDataType(kVdbCharCode, true, 6), 2, true},
      {"char null lvl3", T::GetDataType(kVdbCharCode, true, 3), 1, false},
      {"varchar255", T::GetStringType(kVdbStringCode, false, 6, 255, ""), 256, false},
      {"varchar255 null", T::GetStringType(kVdbStringCode, true, 6, 255, ""), 257, true},
      {"varchar256", T::GetStringType(kVdbStringCode, false, 6, 256, ""), 258, false},
      {"varchar256 null", T::GetStringType(kVdbStringCode, true, 6, 256, ""), 259, true},
      {"varchar10 null lvl3", T::GetStringType(kVdbStringCode, true, 3, 10, ""), 11, false},
      {"varchar10 null lvl4", T::GetStringType(kVdbStringCode, true, 4, 10, ""), 12, true},
      {"smallint", T::GetDataType(kVdbSmallIntCode, false, 6), 2, false},
      {"smallint null", T::GetDataType(kVdbSmallIntCode, true, 6), 3, true},
      {"float", T::GetFloatType(false, 6, 2), 8, false},
      {"float null", T::GetFloatType(true, 6, 2), 9, true},
      {"byte null", T::GetDataType(kVdbByteCode, true, 6), 2, true},
      {"boolean", T::GetDataType(kVdbBooleanCode, false, 6), 1, false},
      {"date null", T::GetDataType(kVdbDateCode, true, 6), 4, false},
      {"date null lvl5 option", T::GetDateTimeType(kVdbDateCode, true, 5, 0, true), 5, true},
      {"date null lvl5", T::GetDateTimeType(kVdbDateCode, true, 5, 0, false), 4, false},
      {"memo null", T::GetDataType(kVdbMemoCode, true, 6), 4, false},
      {"enum null", T::GetEnumType(true, 6, "E", false, {{"A", 1}}), 1, false},
      {"recordid", T::GetDataType(kVdbRecordIdCode, true, 6), 4, false},
      {"link null", T::GetDataType(kVdbLinkCode, true, 6), 4, false},
      {"blob null", T::GetBinaryType(true, 6, 0), 4, false},
      {"relation", T::GetDataType(kVdbRelationCode, false, 6), 0, false},
      {"time p2", T::GetDateTimeType(kVdbTimeCode, false, 6, 2, false), 2, false},
      {"time p1 null", T::GetDateTimeType(kVdbTimeCode, true, 6, 1, true), 3, true},
      {"time p3", T::GetDateTimeType(kVdbTimeCode, false, 6, 3, false), 4, false},
      {"time p4 null", T::GetDateTimeType(kVdbTimeCode, true, 6, 4, true), 5, true},
      {"integer", T::GetDataType(kVdbIntegerCode, false, 6), 4, false},
      {"integer null", T::GetDataType(kVdbIntegerCode, true, 6), 5, true},
      {"timestamp null", T::GetDataType(kVdbTimeStampCode, true, 6), 8, false},
      {"timestamp null lvl5 option", T::GetDateTimeType(kVdbTimeStampCode, true, 5, 4, true), 9, true},
      {"varwchar10", T::GetStringType(kVdbWideStringCode, false, 6, 10, ""), 22, false},
      {"varwchar10 null", T::GetStringType(kVdbWideStringCode, true, 6, 10, ""), 23, true},
      {"widememo null", T::GetDataType(kVdbWideMemoCode, true, 6), 4, false},
      {"bigint null", T::GetDataType(kVdbBigIntCode, true, 6), 9, true},
      {"guid", T::GetDataType(kVdbGuidCode, false, 6), 16, false},
      {"guid null", T::GetDataType(kVdbGuidCode, true, 6), 17, true},
  };
  for (const SizeCase& C : Cases) {
    EXPECT_EQ(C.Type->DataSize(), C.Size) << C.Name;
    EXPECT_EQ(C.Type->HasNullByte(), C.NullByte) << C.Name;
  }
}

TEST(VdbDataSizes, StoredSizeGivesMaximumLength) {
  struct Case { std::int16_t Code; bool Nullable; std::int16_t Level; std::int32_t Length; };
  for (const Case& C : std::vector<Case>{{kVdbStringCode, false, 6, 1},     {kVdbStringCode, false, 6, 255},
                                         {kVdbStringCode, false, 6, 256},   {kVdbStringCode, true, 6, 255},
                                         {kVdbStringCode, true, 6, 256},    {kVdbStringCode, true, 5, 32764},
                                         {kVdbStringCode, true, 3, 100},    {kVdbWideStringCode, false, 6, 7},
                                         {kVdbWideStringCode, true, 6, 16382}}) {
    const TVdbStringType* S = T::GetStringType(C.Code, C.Nullable, C.Level, C.Length, "");
    EXPECT_EQ(TVdbStringType::CalcMaxLength(C.Code, C.Nullable, C.Level, S->DataSize()), C.Length)
        << C.Code << " " << C.Nullable << " " << C.Length;
  }
}

TEST(VdbDataSizes, RecordIdIsNeverNullableAndRelationNeverNull) {
  EXPECT_FALSE(T::GetDataType(kVdbRecordIdCode, true, 6)->Nullable());
  EXPECT_TRUE(T::GetDataType(kVdbLinkCode, true, 6)->Nullable());
  EXPECT_FALSE(T::GetDataType(kVdbWideStringCode, true, 3)->Nullable());
  EXPECT_TRUE(T::GetDataType(kVdbIntegerCode, true, 3)->Nullable());
}

TEST(VdbDataNames, SqlAndVplNames) {
  struct Case { const TVdbDataType* Type; const char* Sql; const char* Vpl; };
  const std::vector<Case> Cases = {
      {T::GetNullType(), "<null type>", "<null type>"},
      {T::GetDataType(kVdbCharCode, true, 6), "CHAR(1)", "String"},
      {T::GetDataType(kVdbCharCode, false, 6), "CHAR(1) NOT NULL", "String"},
      {T::GetStringType(kVdbStringCode, true, 6, 40, ""), "VARCHAR(40)", "String"},
      {T::GetStringType(kVdbStringCode, true, 6, 40, "Hungarian_ci_as"), "VARCHAR(40) COLLATE Hungarian_ci_as", "String"},
      {T::GetDataType(kVdbSmallIntCode, true, 6), "SmallInt", "Integer"},
      {T::GetFloatType(true, 6, 2), "DOUBLE", "Real"},
      {T::GetDataType(kVdbByteCode, true, 6), "Byte", "Integer"},
      {T::GetDataType(kVdbBooleanCode, true, 6), "Boolean", "Integer"},
      {T::GetDataType(kVdbDateCode, true, 6), "Date", "Date"},
      {T::GetDataType(kVdbMemoCode, true, 6), "LONGVARCHAR", "String"},
      {T::GetEnumType(true, 6, "Colour", false, {{"Red", 1}}), "<enumeration>", "<enumeration>"},
      {T::GetDataType(kVdbRecordIdCode, false, 6), "RecordId", "Integer"},
      {T::GetDataType(kVdbLinkCode, true, 6), "Link", "Integer"},
      {T::GetBinaryType(true, 6, 0), "LONGVARBINARY", "Blob"},
      {T::GetDataType(kVdbRelationCode, false, 6), "Relation", "Relation"},
      {T::GetDataType(kVdbTimeCode, true, 6), "Time", "Time"},
      {T::GetDataType(kVdbIntegerCode, true, 6), "Integer", "Integer"},
      {T::GetDataType(kVdbTimeStampCode, true, 6), "TimeStamp", "DateTime"},
      {T::GetStringType(kVdbWideStringCode, true, 6, 12, ""), "VARWCHAR(12)", "String"},
      {T::GetDataType(kVdbWideMemoCode, true, 6), "LONGVARWCHAR", "String"},
      {T::GetDataType(kVdbBigIntCode, true, 6), "BigInt", "Integer"},
      {T::GetDataType(kVdbGuidCode, true, 6), "Guid", "Guid"},
  };
  for (const Case& C : Cases) {
    EXPECT_EQ(C.Type->SqlName(), C.Sql);
    EXPECT_EQ(C.Type->VplName(), C.Vpl);
  }
}

TEST(VdbDataRegistry, SameParametersGiveTheSameInstance) {
  EXPECT_EQ(T::GetDataType(kVdbIntegerCode, true, 6), T::GetDataType(kVdbIntegerCode, true, 6));
  EXPECT_NE(T::GetDataType(kVdbIntegerCode, true, 6), T::GetDataType(kVdbIntegerCode, false, 6));
  EXPECT_NE(T::GetDataType(kVdbIntegerCode, true, 6), T::GetDataType(kVdbIntegerCode, true, 5));
  EXPECT_EQ(T::GetStringType(kVdbStringCode, true, 6, 30, "Hungarian_ci_as"),
            T::GetStringType(kVdbStringCode, true, 6, 30, "Hungarian_ci_as"));
  EXPECT_NE(T::GetStringType(kVdbStringCode, true, 6, 30, "Hungarian_ci_as"),
            T::GetStringType(kVdbStringCode, true, 6, 31, "Hungarian_ci_as"));
  EXPECT_NE(T::GetStringType(kVdbStringCode, true, 6, 30, ""), T::GetStringType(kVdbStringCode, true, 6, 30, "Hungarian"));
  EXPECT_EQ(T::GetStringType(kVdbStringCode, true, 6, 30, ""), T::GetStringType(kVdbStringCode, true, 6, 30, "VeskorDB"));
  EXPECT_EQ(T::GetFloatType(true, 6, 3), T::GetFloatType(true, 6, 3));
  EXPECT_NE(T::GetFloatType(true, 6, 3), T::GetFloatType(true, 6, 2));
  EXPECT_EQ(T::GetDateTimeType(kVdbTimeCode, true, 6, 2, true), T::GetDateTimeType(kVdbTimeCode, true, 6, 2, true));
  EXPECT_NE(T::GetDateTimeType(kVdbTimeCode, true, 6, 2, true), T::GetDateTimeType(kVdbTimeCode, true, 6, 3, true));
  const std::vector<TVdbEnumItem> Items = {{"Red", 1}, {"Green", 2}};
  EXPECT_EQ(T::GetEnumType(true, 6, "Colour", false, Items), T::GetEnumType(true, 6, "Colour", false, Items));
  EXPECT_NE(T::GetEnumType(true, 6, "Colour", false, Items), T::GetEnumType(true, 6, "Colour", true, Items));
  EXPECT_NE(T::GetEnumType(true, 6, "Colour", false, Items),
            T::GetEnumType(true, 6, "Colour", false, {{"Red", 1}, {"Green", 3}}));
  EXPECT_EQ(T::GetNullType(), T::GetDataType(kVdbNullCode, true, 6));
}

TEST(VdbDataRegistry, NullableAndLevelVariantsKeepTheExtraParameters) {
  const TVdbStringType* S = T::GetStringType(kVdbStringCode, false, 6, 44, "Hungarian_ci_as");
  const auto* N = dynamic_cast<const TVdbStringType*>(S->GetNullableType(true));
  ASSERT_NE(N, nullptr);
  EXPECT_TRUE(N->Nullable());
  EXPECT_EQ(N->MaxLength(), 44);
  EXPECT_EQ(N->CollationName(), "Hungarian_ci_as");
  EXPECT_EQ(N, T::GetStringType(kVdbStringCode, true, 6, 44, "Hungarian_ci_as"));
  EXPECT_EQ(S->GetNullableType(false), S);
  EXPECT_EQ(S->GetLevelType(5), T::GetStringType(kVdbStringCode, false, 5, 44, "Hungarian_ci_as"));
  const TVdbFloatType* F = T::GetFloatType(false, 6, 5);
  EXPECT_EQ(F->GetLevelType(4), T::GetFloatType(false, 4, 5));
}

TEST(VdbDataRegistry, ConcurrentCreationGivesOneInstancePerParameters) {
  constexpr int kThreads = 8;
  constexpr int kLengths = 200;
  std::vector<std::vector<const TVdbDataType*>> Seen(kThreads);
  std::atomic<bool> Go{false};
  std::vector<std::thread> Threads;
  for (int I = 0; I < kThreads; ++I) {
    Threads.emplace_back([&, I] {
      while (!Go.load()) std::this_thread::yield();
      for (int L = 1; L <= kLengths; ++L) {
        Seen[I].push_back(T::GetStringType(kVdbStringCode, true, 6, 1000 + L, "Hungarian_ci_as"));
        Seen[I].push_back(T::GetFloatType(L % 2 == 0, 6, static_cast<std::int16_t>(100 + L)));
        Seen[I].push_back(T::GetDataType(kVdbIntegerCode, L % 2 == 0, static_cast<std::int16_t>(L % 6 + 1)));
      }
    });
  }
  Go = true;
  for (std::thread& Th : Threads) Th.join();
  for (int I = 1; I < kThreads; ++I) EXPECT_EQ(Seen[I], Seen[0]) << "thread " << I;
  EXPECT_EQ(Seen[0][0], T::GetStringType(kVdbStringCode, true, 6, 1001, "Hungarian_ci_as"));
}

TEST(VdbDataRegistry, StringTypeErrors) {
  std::string Message;
  EXPECT_EQ(EngineCode([] { T::GetStringType(kVdbStringCode, true, 6, 10, "Klingon_ci"); }, &Message), 138);
  EXPECT_EQ(Message, "Collation \"Klingon_ci\" does not exist");
  EXPECT_EQ(EngineCode([] { T::GetStringType(kVdbStringCode, true, 6, 10, "Hungarian_as_ci"); }), 138);
  EXPECT_EQ(EngineCode([] { T::GetStringType(kVdbStringCode, true, 6, 32765, ""); }, &Message), 189);
  EXPECT_EQ(Message, "String type has a length of 32765, which is outside the allowed range of 1 to 32764");
  EXPECT_EQ(EngineCode([] { T::GetStringType(kVdbWideStringCode, true, 6, 16383, ""); }, &Message), 189);
  EXPECT_EQ(Message, "String type has a length of 16383, which is outside the allowed range of 1 to 16382");
  EXPECT_EQ(EngineCode([] { T::GetStringType(kVdbStringCode, true, 6, 0, ""); }), 189);
  EXPECT_EQ(EngineCode([] { T::GetStringType(kVdbStringCode, true, 6, 32764, ""); }), -1);
  EXPECT_TRUE(TVdbStringType::IsSupportedCollation("HUNGARIAN_CI_AS"));
  EXPECT_FALSE(TVdbStringType::IsSupportedCollation("Klingon"));
  const TVdbStringType* H = T::GetStringType(kVdbStringCode, true, 6, 10, "Hungarian_ci_as");
  EXPECT_EQ(H->LocaleId(), 1038u);
  EXPECT_EQ(H->StrCmpOptions(), static_cast<TStrCmpOptions>(scoAccentSensitive));
  EXPECT_EQ(H->CodePage(), 1250u);
}

TEST(VdbDataRegistry, ApproximateLiteralLengths) {
  struct Case { std::int32_t Length; std::int32_t Rounded; };
  for (const Case& C : std::vector<Case>{{0, 10}, {10, 10}, {11, 20}, {100, 100}, {101, 200}, {999, 1000},
                                         {1001, 2000}, {10000, 10000}, {10001, 32764}}) {
    EXPECT_EQ(T::GetApproxStringType(C.Length)->MaxLength(), C.Rounded) << C.Length;
  }
  EXPECT_EQ(T::GetApproxStringType(20000, true)->MaxLength(), 16382);
  const TVdbDataType* Memo = T::GetStringType(kVdbMemoCode, true, 5, 0, "Hungarian_ci_as");
  const auto* V = dynamic_cast<const TVdbStringType*>(T::GetVariableType(Memo));
  ASSERT_NE(V, nullptr);
  EXPECT_EQ(V->ColumnType(), kVdbStringCode);
  EXPECT_EQ(V->Level(), 5);
  EXPECT_EQ(V->CollationName(), "Hungarian_ci_as");
  EXPECT_EQ(T::GetVeskorPLDataType(kVdbSmallIntCode)->ColumnType(), kVdbBigIntCode);
  EXPECT_EQ(T::GetVeskorPLDataType(kVdbEnumCode)->ColumnType(), kVdbByteCode);
  EXPECT_EQ(T::GetVeskorPLDataType(kVdbStringCode)->SqlName(), "VARWCHAR(16382)");
}

// --- Null bytes and references into records ---

TEST(VdbDataImages, NullableIntegerNullByteFirstAtLevel6LastBelow) {
  for (std::int16_t Level : {6, 5}) {
    const TVdbDataType* I = T::GetDataType(kVdbIntegerCode, true, Level);
    std::uint8_t Record[7] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    TVdbDataValue V;
    I->SetReference(V, Record + 1);
    I->SetInteger(V, 0x01020304);
    const std::uint8_t Want6[] = {0xEE, 1, 4, 3, 2, 1, 0xEE};
    const std::uint8_t Want5[] = {0xEE, 4, 3, 2, 1, 1, 0xEE};
    EXPECT_EQ(std::memcmp(Record, Level == 6 ? Want6 : Want5, 7), 0) << Level;
    EXPECT_FALSE(I->IsNull(V));
    I->SetNull(V);
    EXPECT_EQ(Record[Level == 6 ? 1 : 5], 0) << Level;
    EXPECT_TRUE(I->IsNull(V));
    EXPECT_EQ(Record[0], 0xEE);
    EXPECT_EQ(Record[6], 0xEE);
  }
}

// Every fixed-size type, nullable or not, at level 6 and 5: setting a value and NULL through a
// reference touches exactly the field's bytes, and the null byte sits first or last.
TEST(VdbDataImages, FixedTypesWriteOnlyTheirFieldAndPlaceTheNullByte) {
  struct Maker { const char* Name; std::function<const TVdbDataType*(bool, std::int16_t)> Get;
                 std::function<void(const TVdbDataType*, TVdbDataValue&)> Set; };
  const std::vector<Maker> Makers = {
      {"char", [](bool N, std::int16_t L) { return T::GetDataType(kVdbCharCode, N, L); },
       [](const TVdbDataType* Ty, TVdbDataValue& V) { Ty->SetAnsiString(V, "z"); }},
      {"smallint", [](bool N, std::int16_t L) { return T::GetDataType(kVdbSmallIntCode, N, L); },
       [](const TVdbDataType* Ty, TVdbDataValue& V) { Ty->SetInteger(V, -2); }},
      {"float", [](bool N, std::int16_t L) { return T::GetFloatType(N, L, 2); },
       [](const TVdbDataType* Ty, TVdbDataValue& V) { Ty->SetDouble(V, -0.5); }},
      {"byte", [](bool N, std::int16_t L) { return T::GetDataType(kVdbByteCode, N, L); },
       [](const TVdbDataType* Ty, TVdbDataValue& V) { Ty->SetInteger(V, 255); }},
      {"boolean", [](bool N, std::int16_t L) { return T::GetDataType(kVdbBooleanCode, N, L); },
       [](const TVdbDataType* Ty, TVdbDataValue& V) { Ty->SetInteger(V, 1); }},
      {"date", [](bool N, std::int16_t L) { return T::GetDateTimeType(kVdbDateCode, N, L, 0, N); },
       [](const TVdbDataType* Ty, TVdbDataValue& V) { Ty->SetDate(V, 5119903); }},
      {"enum", [](bool N, std::int16_t L) { return T::GetEnumType(N, L, "E", false, {{"A", 1}, {"B", 2}}); },
       [](const TVdbDataType* Ty, TVdbDataValue& V) { Ty->SetInteger(V, 2); }},
      {"link", [](bool N, std::int16_t L) { return T::GetDataType(kVdbLinkCode, N, L); },
       [](const TVdbDataType* Ty, TVdbDataValue& V) { Ty->SetInteger(V, 77); }},
      {"time2", [](bool N, std::int16_t L) { return T::GetDateTimeType(kVdbTimeCode, N, L, 2, N); },
       [](const TVdbDataType* Ty, TVdbDataValue& V) { Ty->SetTime(V, TVdbDateTimeType::kTicksPerMinute * 61); }},
      {"time4", [](bool N, std::int16_t L) { return T::GetDateTimeType(kVdbTimeCode, N, L, 4, N); },
       [](const TVdbDataType* Ty, TVdbDataValue& V) { Ty->SetTime(V, 12345 * TVdbDateTimeType::kTicksPerMillisecond); }},
      {"integer", [](bool N, std::int16_t L) { return T::GetDataType(kVdbIntegerCode, N, L); },
       [](const TVdbDataType* Ty, TVdbDataValue& V) { Ty->SetInteger(V, -1); }},
      {"timestamp", [](bool N, std::int16_t L) { return T::GetDateTimeType(kVdbTimeStampCode, N, L, 4, N); },
       [](const TVdbDataType* Ty, TVdbDataValue& V) { Ty->SetTimeStamp(V, {5119903, 86399999}); }},
      {"bigint", [](bool N, std::int16_t L) { return T::GetDataType(kVdbBigIntCode, N, L); },
       [](const TVdbDataType* Ty, TVdbDataValue& V) { Ty->SetInteger(V, -1); }},
      {"guid", [](bool N, std::int16_t L) { return T::GetDataType(kVdbGuidCode, N, L); },
       [](const TVdbDataType* Ty, TVdbDataValue& V) { TVdbGuid G; G.D1 = 0xFFFFFFFF; G.D4[7] = 0xFF; Ty->SetGuid(V, G); }},
  };
  constexpr std::uint8_t kGuard = 0xA5;
  for (const Maker& M : Makers) {
    for (bool Nullable : {false, true}) {
      for (std::int16_t Level : {5, 6}) {
        const TVdbDataType* Ty = M.Get(Nullable, Level);
        const std::int32_t Size = Ty->DataSize();
        std::vector<std::uint8_t> Record(static_cast<std::size_t>(Size) + 2, kGuard);
        std::uint8_t* Field = Record.data() + 1;
        std::memset(Field, 0, static_cast<std::size_t>(Size));
        TVdbDataValue V;
        Ty->SetReference(V, Field);
        M.Set(Ty, V);
        const std::string What = std::string(M.Name) + (Nullable ? " null" : "") + " level " + std::to_string(Level);
        EXPECT_EQ(Record.front(), kGuard) << What;
        EXPECT_EQ(Record.back(), kGuard) << What;
        EXPECT_FALSE(Ty->IsNull(V)) << What;
        // The same value inline has the same image.
        TVdbDataValue Inline;
        M.Set(Ty, Inline);
        EXPECT_EQ(std::memcmp(T::ImageOf(Inline), Field, static_cast<std::size_t>(Size)), 0) << What;
        if (!Ty->Nullable()) continue;
        const std::int32_t NullAt = !Ty->HasNullByte() ? -1 : Level >= 6 ? 0 : Size - 1;
        if (NullAt >= 0) {
          EXPECT_EQ(Field[NullAt], 1) << What;
        }
        Ty->SetNull(V);
        EXPECT_TRUE(Ty->IsNull(V)) << What;
        if (NullAt >= 0) {
          EXPECT_EQ(Field[NullAt], 0) << What;
        }
        EXPECT_EQ(Record.front(), kGuard) << What;
        EXPECT_EQ(Record.back(), kGuard) << What;
      }
    }
  }
}

TEST(VdbDataImages, RecordIdAndLinkZeroReadsAsNull) {
  for (std::int16_t Code : {kVdbRecordIdCode, kVdbLinkCode}) {
    const TVdbDataType* Ty = T::GetDataType(Code, true, 6);
    std::uint8_t Record[4] = {0, 0, 0, 0};
    TVdbDataValue V;
    Ty->SetReference(V, Record);
    EXPECT_TRUE(Ty->IsNull(V));
    Ty->SetInteger(V, 7);
    EXPECT_FALSE(Ty->IsNull(V));
    EXPECT_EQ(Record[0], 7);
  }
}

TEST(VdbDataImages, NullableCharIsNullExactlyWhenItsFlagIsZero) {
  const TVdbDataType* C = T::GetDataType(kVdbCharCode, true, 6);
  std::uint8_t Record[2] = {0, 'x'};
  TVdbDataValue V;
  C->SetReference(V, Record);
  EXPECT_TRUE(C->IsNull(V));
  Record[0] = 1;
  EXPECT_FALSE(C->IsNull(V));
  EXPECT_EQ(C->GetAnsiString(V), "x");
  Record[1] = 0;
  EXPECT_FALSE(C->IsNull(V));
}

TEST(VdbDataImages, StringImagesInRecordsPerLevel) {
  // Level 6: [null][len][chars]; level 5: [len][chars][null].
  const TVdbStringType* S6 = T::GetStringType(kVdbStringCode, true, 6, 5, "");
  const TVdbStringType* S5 = T::GetStringType(kVdbStringCode, true, 5, 5, "");
  std::uint8_t R6[7] = {}, R5[7] = {};
  TVdbDataValue V6, V5;
  S6->SetReference(V6, R6);
  S5->SetReference(V5, R5);
  S6->SetAnsiString(V6, "abcdefg");  // cut to 5
  S5->SetAnsiString(V5, "ab");
  const std::uint8_t Want6[] = {1, 5, 'a', 'b', 'c', 'd', 'e'};
  const std::uint8_t Want5[] = {2, 'a', 'b', 0, 0, 0, 1};
  EXPECT_EQ(std::memcmp(R6, Want6, 7), 0);
  EXPECT_EQ(std::memcmp(R5, Want5, 7), 0);
  EXPECT_EQ(S5->GetAnsiString(V5), "ab");
  EXPECT_EQ(S6->GetLength(R6), 5);

  // An owned level-5 value keeps the trailing null byte where a record has it, so copying it
  // into a record goes through Assign unchanged.
  TVdbDataValue Owned;
  S5->SetAnsiString(Owned, "xyz");
  std::uint8_t Rec[7] = {};
  TVdbDataValue Ref;
  S5->SetReference(Ref, Rec);
  S5->Assign(Ref, Owned, S5);
  const std::uint8_t WantRec[] = {3, 'x', 'y', 'z', 0, 0, 1};
  EXPECT_EQ(std::memcmp(Rec, WantRec, 7), 0);
  S5->SetNull(Owned);
  S5->Assign(Ref, Owned, S5);
  EXPECT_EQ(Rec[6], 0);
  EXPECT_TRUE(S5->IsNull(Ref));
}

TEST(VdbDataImages, DamagedLengthPrefixStaysInsideTheField) {
  const TVdbStringType* S = T::GetStringType(kVdbStringCode, false, 6, 4, "");
  std::uint8_t Record[5] = {200, 'a', 'b', 'c', 'd'};
  TVdbDataValue V;
  S->SetReference(V, Record);
  EXPECT_EQ(S->GetLength(V), 4);
  EXPECT_EQ(S->GetAnsiString(V), "abcd");
}

TEST(VdbDataImages, WideStringImage) {
  const TVdbStringType* W = T::GetStringType(kVdbWideStringCode, true, 6, 3, "");
  std::uint8_t Record[9] = {};
  TVdbDataValue V;
  W->SetReference(V, Record);
  W->SetAnsiString(V, "\xC5\x91x");  // "ő" "x"
  const std::uint8_t Want[] = {1, 2, 0, 0x51, 0x01, 'x', 0, 0, 0};
  EXPECT_EQ(std::memcmp(Record, Want, 9), 0);
  EXPECT_EQ(W->GetWideString(V), std::u16string(u"\u0151x"));
  EXPECT_EQ(W->GetAnsiString(V), "\xC5\x91x");
}

TEST(VdbDataImages, AnsiStringHoldsBytesInTheCollationsCodePage) {
  const TVdbStringType* H = T::GetStringType(kVdbStringCode, false, 6, 10, "Hungarian_ci_as");
  const TVdbStringType* E = T::GetStringType(kVdbStringCode, false, 6, 10, "");
  TVdbDataValue V;
  H->SetAnsiString(V, "\xC5\x91");  // "ő" is 0xF5 in code page 1250
  std::int32_t Length = 0;
  const char* P = H->GetPAnsiChar(V, Length);
  ASSERT_EQ(Length, 1);
  EXPECT_EQ(static_cast<std::uint8_t>(P[0]), 0xF5);
  EXPECT_EQ(H->GetAnsiString(V), "\xC5\x91");
  // Into the engine collation (code page 1252) the letter does not map.
  TVdbDataValue W;
  E->Assign(W, V, H);
  EXPECT_EQ(E->GetAnsiString(W), "?");
  EXPECT_EQ(H->GetWideString(V), std::u16string(u"\u0151"));
}

TEST(VdbDataImages, DateNullByteOnlyBelowLevel6WithTheOption) {
  const TVdbDataType* D5 = T::GetDateTimeType(kVdbDateCode, true, 5, 0, true);
  const TVdbDataType* D6 = T::GetDateTimeType(kVdbDateCode, true, 6, 0, true);
  std::uint8_t R5[5] = {}, R6[4] = {};
  TVdbDataValue V5, V6;
  D5->SetReference(V5, R5);
  D6->SetReference(V6, R6);
  D5->SetDate(V5, 545);
  D6->SetDate(V6, 545);
  const std::uint8_t Want5[] = {0x21, 0x02, 0, 0, 1};
  EXPECT_EQ(std::memcmp(R5, Want5, 5), 0);
  EXPECT_EQ(R6[0], 0x21);
  D5->SetNull(V5);
  D6->SetNull(V6);
  EXPECT_EQ(R5[4], 0);
  EXPECT_EQ(R6[0], 0);
  EXPECT_TRUE(D5->IsNull(V5));
  EXPECT_TRUE(D6->IsNull(V6));
}

TEST(VdbDataImages, CharBelowLevel2IsStoredInTheOemCodePage) {
  const TVdbDataType* C1 = T::GetDataType(kVdbCharCode, false, 1);
  const TVdbDataType* C6 = T::GetDataType(kVdbCharCode, false, 6);
  TVdbDataValue A, B;
  C1->SetAnsiString(A, "\xC3\xA9");  // é: 0x82 in code page 850, 0xE9 in 1252
  C6->SetAnsiString(B, "\xC3\xA9");
  EXPECT_EQ(C1->GetInteger(A), 0x82);
  EXPECT_EQ(C6->GetInteger(B), 0xE9);
  EXPECT_EQ(C1->GetAnsiString(A), "\xC3\xA9");
  TVdbDataValue C;
  C6->Assign(C, A, C1);
  EXPECT_EQ(C6->GetInteger(C), 0xE9);
}

TEST(VdbDataValues, BlobsAssignTheirBytes) {
  const TVdbDataType* B = T::GetBinaryType(true, 6, 0);
  TVdbDataValue A, C;
  const std::uint8_t Bytes[] = {0, 1, 2, 255};
  B->SetBytes(A, Bytes, 4);
  B->Assign(C, A, B);
  B->SetBytes(A, Bytes, 1);
  EXPECT_EQ(B->GetBytes(C), (std::vector<std::uint8_t>{0, 1, 2, 255}));
  EXPECT_EQ(B->GetSize(C), 4);
}

TEST(VdbDataValues, AValueReadThroughAWrongTypeStaysInsideItsBuffer) {
  // A short owned string read through a type with a wider prefix and a longer maximum.
  const TVdbStringType* Short = T::GetStringType(kVdbStringCode, false, 6, 10, "");
  const TVdbStringType* Long = T::GetStringType(kVdbStringCode, false, 6, 300, "");
  TVdbDataValue V;
  Short->SetAnsiString(V, "ab");
  std::int32_t Length = 0;
  Long->GetPAnsiChar(V, Length);
  EXPECT_LE(Length, V.Buffer.Size() - Long->PrefixSize());
  // A fixed-size type refuses a value that owns a smaller buffer.
  EXPECT_THROW(T::GetDataType(kVdbBigIntCode, false, 6)->GetInteger(V), EVdbDataError);
}

// --- Values ---

TEST(VdbDataValues, CopiesAreDeepAndReferencesStayReferences) {
  const TVdbStringType* S = T::GetStringType(kVdbStringCode, true, 6, 100, "");
  TVdbDataValue A, B;
  S->SetAnsiString(A, "hello");
  S->CopyTo(A, B);
  S->SetAnsiString(A, "changed");
  EXPECT_EQ(S->GetAnsiString(B), "hello");

  std::uint8_t Record[102] = {};
  TVdbDataValue R, C;
  S->SetReference(R, Record);
  S->SetAnsiString(R, "rec");
  S->CopyTo(R, C);
  EXPECT_TRUE(C.IsReference());
  S->SetAnsiString(C, "via copy");
  EXPECT_EQ(S->GetAnsiString(R), "via copy");
}

TEST(VdbDataValues, DoneValueReleasesAndEmpties) {
  const TVdbDataType* M = T::GetDataType(kVdbMemoCode, true, 6);
  TVdbDataValue V;
  M->SetAnsiString(V, std::string(1000, 'm'));
  EXPECT_GE(V.Buffer.Size(), 1004);
  M->DoneValue(V);
  EXPECT_TRUE(V.IsEmpty());
  EXPECT_EQ(V.Buffer.Data(), nullptr);
  EXPECT_TRUE(M->IsNull(V));
}

TEST(VdbDataValues, MemoTextAndEmptyMemoIsNull) {
  const TVdbStringType* M = T::GetStringType(kVdbMemoCode, true, 6, 0, "");
  TVdbDataValue V;
  M->SetAnsiString(V, "short");
  EXPECT_EQ(M->GetAnsiString(V), "short");
  EXPECT_GE(V.Buffer.Size(), 4 + 80);  // at least 80 characters
  EXPECT_EQ(M->GetSize(V), 4 + 5);
  M->SetAnsiString(V, "");
  EXPECT_TRUE(M->IsNull(V));
  std::uint8_t Record[4] = {5, 0, 0, 0};  // first block number 5
  TVdbDataValue R;
  M->SetReference(R, Record);
  EXPECT_FALSE(M->IsNull(R));
  M->SetNull(R);
  EXPECT_TRUE(M->IsNull(R));
}

TEST(VdbDataValues, MovedValuesKeepTheirContents) {
  const TVdbDataType* I = T::GetDataType(kVdbIntegerCode, true, 6);
  const TVdbStringType* S = T::GetStringType(kVdbStringCode, true, 6, 20, "");
  std::vector<TVdbDataValue> Values;
  for (int K = 0; K < 50; ++K) {
    TVdbDataValue V;
    if (K % 2 == 0) I->SetInteger(V, K);
    else S->SetAnsiString(V, "v" + std::to_string(K));
    Values.push_back(std::move(V));
  }
  for (int K = 0; K < 50; ++K) {
    if (K % 2 == 0) EXPECT_EQ(I->GetInteger(Values[K]), K);
    else EXPECT_EQ(S->GetAnsiString(Values[K]), "v" + std::to_string(K));
  }
}

TEST(VdbDataValues, ReferenceToAnotherValue) {
  const TVdbDataType* I = T::GetDataType(kVdbIntegerCode, true, 6);
  TVdbDataValue Owner, Ref;
  I->SetInteger(Owner, 11);
  I->SetReference(Ref, Owner, I);
  I->SetInteger(Ref, 12);
  EXPECT_EQ(I->GetInteger(Owner), 12);
}

TEST(VdbDataValues, EmptySourceEmptiesAndNullSourceNulls) {
  const TVdbDataType* I = T::GetDataType(kVdbIntegerCode, true, 6);
  const TVdbDataType* B = T::GetDataType(kVdbBigIntCode, true, 6);
  TVdbDataValue Target, Empty, Null;
  I->SetInteger(Target, 3);
  B->Assign(Target, Empty, I);
  EXPECT_TRUE(Target.IsEmpty());
  I->SetNull(Null);
  B->Assign(Target, Null, I);
  EXPECT_TRUE(B->IsNull(Target));
  EXPECT_FALSE(Target.IsEmpty());
}

TEST(VdbDataValues, CharValueIsNotMistakenForAnEmptyValue) {
  // Char has the column type code 0: an assigned Char value must still be a value.
  const TVdbDataType* C = T::GetDataType(kVdbCharCode, false, 6);
  TVdbDataValue V, W;
  C->SetAnsiString(V, "q");
  EXPECT_FALSE(V.IsEmpty());
  C->Assign(W, V, C);
  EXPECT_EQ(C->GetAnsiString(W), "q");
}

TEST(VdbDataValues, SetNullOnNonNullableTypeRaises47) {
  std::string Message;
  TVdbDataValue V;
  EXPECT_EQ(EngineCode([&] { T::GetDataType(kVdbIntegerCode, false, 6)->SetNull(V); }, &Message), 47);
  EXPECT_EQ(Message, "\"Integer\" does not accept NULL values");
  EXPECT_EQ(EngineCode([&] { T::GetStringType(kVdbStringCode, false, 6, 9, "")->SetNull(V); }, &Message), 47);
  EXPECT_EQ(Message, "\"VARCHAR(9)\" does not accept NULL values");
  EXPECT_EQ(EngineCode([&] { T::GetDataType(kVdbMemoCode, false, 6)->SetNull(V); }), 47);
}

TEST(VdbDataValues, DefaultsMinimaAndMaxima) {
  TVdbDataValue V;
  const auto* D = T::GetDataType(kVdbDateCode, false, 6);
  D->GetDefault(V);
  EXPECT_EQ(D->GetDate(V), 545);
  D->GetMaximum(V);
  EXPECT_EQ(D->GetDate(V), 5119903);
  D->GetMinimum(V);
  EXPECT_EQ(D->GetDate(V), 0);
  const auto* TS = T::GetDataType(kVdbTimeStampCode, false, 6);
  TS->GetDefault(V);
  EXPECT_EQ(TS->GetTimeStamp(V), (TVdbTimeStamp{545, 0}));
  TS->GetMaximum(V);
  EXPECT_EQ(TS->GetTimeStamp(V), (TVdbTimeStamp{5119903, 86399999}));
  const auto* SI = T::GetDataType(kVdbSmallIntCode, false, 6);
  SI->GetMinimum(V);
  EXPECT_EQ(SI->GetInteger(V), -32768);
  const auto* SIN = T::GetDataType(kVdbSmallIntCode, true, 6);
  SIN->GetMinimum(V);
  EXPECT_TRUE(SIN->IsNull(V));
  const auto* F = T::GetFloatType(false, 6, 2);
  F->GetMaximum(V);
  EXPECT_EQ(F->GetDouble(V), 1e16);
  F->GetMinimum(V);
  EXPECT_EQ(F->GetDouble(V), -1e16);
  const TVdbStringType* S = T::GetStringType(kVdbStringCode, false, 6, 10, "");
  S->GetMaximum(V);
  std::int32_t Length = 0;
  const char* P = S->GetPAnsiChar(V, Length);
  ASSERT_EQ(Length, 1);
  EXPECT_EQ(P[0], '\0');
  S->GetDefault(V);
  EXPECT_EQ(S->GetLength(V), 0);
  EXPECT_FALSE(S->IsNull(V));
}

TEST(VdbDataValues, MaximumFillSortsAfterEveryValueItPrefixes) {
  const TVdbStringType* S = T::GetStringType(kVdbStringCode, false, 6, 20, "Hungarian_ci_as");
  TVdbDataValue Key, Word;
  S->SetAnsiString(Key, "Agancs");
  S->GetMaximumFill(Key);
  EXPECT_EQ(S->GetLength(Key), 7);
  for (const char* W : {"Agancs", "Agancs karimája", "Agancstő"}) {
    S->SetAnsiString(Word, W);
    EXPECT_EQ(S->CompareTo(Key, Word, S, 0), kVdbCmpGreater) << W;
  }
  S->SetAnsiString(Word, "Agár");
  EXPECT_EQ(S->CompareTo(Key, Word, S, 0), kVdbCmpLess);
  TVdbDataValue Max;
  S->GetMaximum(Max);
  S->SetAnsiString(Word, "Zsuzsa");
  EXPECT_EQ(S->CompareTo(Max, Word, S, 0), kVdbCmpGreater);
}

TEST(VdbDataValues, RootOperationsRaise) {
  const TVdbDataType* Blob = T::GetBinaryType(true, 6, 0);
  const TVdbDataType* Int = T::GetDataType(kVdbIntegerCode, true, 6);
  TVdbDataValue V;
  Blob->SetBytes(V, reinterpret_cast<const std::uint8_t*>("abc"), 3);
  std::string Message;
  EXPECT_EQ(EngineCode([&] { Blob->ToString(V); }, &Message), 52);
  EXPECT_EQ(Message, "Unknown error: Cannot convert to string");
  EXPECT_EQ(EngineCode([&] { Blob->ConvertFromString(V, "x"); }, &Message), 44);
  EXPECT_EQ(Message, "Type mismatch: String->Blob");
  TVdbDataValue I;
  Int->SetInteger(I, 1);
  EXPECT_THROW(Int->GetAnsiString(I), EVdbDataError);
  EXPECT_THROW(Int->GetBytes(I), EVdbDataError);
  EXPECT_THROW(Int->GetDate(I), EVdbDataError);
  EXPECT_THROW(T::GetNullType()->SetReference(V, nullptr), EVdbDataError);
  try {
    Int->GetAnsiString(I);
  } catch (const EVdbDataError& E) {
    EXPECT_STREQ(E.what(), "Is not an ANSI string.");
  }
  EXPECT_EQ(Blob->GetBytes(V), (std::vector<std::uint8_t>{'a', 'b', 'c'}));
  Blob->SetBytes(V, nullptr, 0);
  EXPECT_TRUE(Blob->IsNull(V));
}

TEST(VdbDataValues, IntegerRangeChecks) {
  struct Case { std::int16_t Code; std::int64_t Low; std::int64_t High; };
  for (const Case& C : std::vector<Case>{{kVdbSmallIntCode, -32768, 32767},
                                         {kVdbByteCode, 0, 255},
                                         {kVdbBooleanCode, 0, 1},
                                         {kVdbRecordIdCode, 0, 2147483647},
                                         {kVdbLinkCode, 0, 2147483647},
                                         {kVdbIntegerCode, -2147483648LL, 2147483647}}) {
    const TVdbDataType* Ty = T::GetDataType(C.Code, true, 6);
    TVdbDataValue V;
    Ty->SetInteger(V, C.Low);
    EXPECT_EQ(Ty->GetInteger(V), C.Low);
    Ty->SetInteger(V, C.High);
    EXPECT_EQ(Ty->GetInteger(V), C.High);
    std::string Message;
    EXPECT_EQ(EngineCode([&] { Ty->SetInteger(V, C.High + 1); }, &Message), 81) << C.Code;
    EXPECT_EQ(Message, "Value " + std::to_string(C.High + 1) + " of type " + Ty->SqlName() +
                           " exceeds the allowed range from " + std::to_string(C.Low) + " to " +
                           std::to_string(C.High));
    EXPECT_EQ(EngineCode([&] { Ty->SetInteger(V, C.Low - 1); }), 81);
    EXPECT_EQ(Ty->GetInteger(V), C.High);  // a failed set changes nothing
  }
}

}  // namespace
}  // namespace vdb
