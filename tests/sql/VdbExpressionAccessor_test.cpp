// Conditions evaluated over real accessors: the search of the lexicon walks a relation in
// physical order and reads the memo only for rows whose headword did not match.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "session/VdbAccessor.h"
#include "base/VdbServices.h"
#include "sql/VdbExpression.h"
#include "table/VdbDefinitionsTestSupport.h"
#include "VdbSqlTestRelation.h"

namespace vdb {
namespace {

using test::TMemoRelation;

class AccessorConditionTest : public ::testing::Test {
 protected:
  AccessorConditionTest() : Relation(&Services, test::LexiconColumns(), "Data.vdbt") {
    EXPECT_EQ(Relation.Open(false), 0);
  }

  // CIMSZO LIKE p OR LEIRAS LIKE p, with the columns qualified by Qualifier (may be empty).
  static std::unique_ptr<TVdbSearchCondition> Search(const std::string& Pattern, const std::string& Qualifier = {}) {
    auto LikeOn = [&](const std::string& Column) {
      return TVdbBooleanFactor::CreateComparison(
          TVdbExpression::FromFactor(TVdbSimpleFactor::CreateColumn(Qualifier + Column)), tcoLike,
          TVdbExpression::FromFactor(TVdbSimpleFactor::CreateStringLiteral(Pattern)));
    };
    return std::make_unique<TVdbSearchCondition>(std::make_unique<TVdbBooleanTerm>(LikeOn("CIMSZO")),
                                                 TVdbSearchCondition::FromFactor(LikeOn("LEIRAS")));
  }

  // The headwords of the rows the condition selects, walking in physical order.
  std::vector<std::string> Select(TVdbSearchCondition& Condition, TVdbAccessor& Accessor) {
    std::vector<std::string> Hits;
    for (std::int16_t R = Accessor.First(); R == 0; R = Accessor.Next()) {
      TVdbRelationSet Decided;
      if (Condition.EvaluateTruth(Decided) != tvTrue) continue;
      EXPECT_TRUE(Decided.test(5));
      std::string Headword;
      Relation.GetAnsiString(Accessor.GetRecordPtr(), 1, Headword);
      Hits.push_back(Headword);
    }
    return Hits;
  }

  TVdbServices Services{1};
  TMemoRelation Relation;
};

TEST_F(AccessorConditionTest, SearchReadsTheMemoOnlyWhereTheHeadwordDoesNotMatch) {
  Relation.AddRow({"Agancs-csörtölés", "A bikák agancsainak összeütése."});
  Relation.AddRow({"Barcogás", "A dámbika hangja a tölés idején."});
  Relation.AddRow({std::nullopt, "Bőgés és TÖLÉS."});
  Relation.AddRow({"Cserkelés", std::nullopt});
  Relation.AddRow({"tolés", "nincs benne"});
  Relation.AddRow({"Tölés", "Az őz üzekedése."});

  TVdbAccessor Accessor(Relation, "Query");
  TVdbAccessorContext Context;
  Context.AddAccessor(Accessor, 5);
  auto Condition = Search("%tölés%");
  Condition->Prepare(&Context, 0);

  EXPECT_EQ(Select(*Condition, Accessor),
            (std::vector<std::string>{"Agancs-csörtölés", "Barcogás", "", "Tölés"}));
  // Only the four rows whose headword did not match read their memo.
  EXPECT_EQ(Relation.MemoReads, 4);
}

TEST_F(AccessorConditionTest, ColumnsQualifiedByTableNameOrAlias) {
  Relation.AddRow({"Róka", "x"});
  Relation.AddRow({"Roka", "x"});
  TVdbAccessor Accessor(Relation, "Query");
  TVdbAccessorContext Context;
  Context.AddAccessor(Accessor, 5, "d");
  for (const char* Qualifier : {"Data.", "d.", "DATA.", ""}) {
    SCOPED_TRACE(Qualifier);
    auto Condition = Search("%róka%", Qualifier);
    Condition->Prepare(&Context, 0);
    EXPECT_EQ(Select(*Condition, Accessor), std::vector<std::string>{"Róka"});
  }
  auto Unknown = Search("%róka%", "x.");
  try {
    Unknown->Prepare(&Context, 0);
    ADD_FAILURE() << "no error";
  } catch (const EVdbEngine& E) {
    EXPECT_EQ(E.Code(), 50);
    EXPECT_STREQ(E.what(), "Unknown identifier \"x.CIMSZO\"");
  }
}

TEST_F(AccessorConditionTest, ColumnTypesAreTheVariableFormOfTheColumns) {
  Relation.AddRow({"Róka", "x"});
  TVdbAccessor Accessor(Relation, "Query");
  TVdbAccessorContext Context;
  Context.AddAccessor(Accessor, 5);
  auto Headword = TVdbExpression::FromFactor(TVdbSimpleFactor::CreateColumn("CIMSZO"));
  Headword->Prepare(&Context, 0);
  const auto* S = dynamic_cast<const TVdbStringType*>(Headword->DataType());
  ASSERT_NE(S, nullptr);
  EXPECT_EQ(S->ColumnType(), kVdbStringCode);
  EXPECT_EQ(S->CollationName(), "Hungarian_ci_as");
  EXPECT_EQ(S->MaxLength(), kVdbMaxAnsiLength);
  ASSERT_EQ(Accessor.First(), 0);
  Headword->Calculate();
  EXPECT_EQ(S->GetAnsiString(Headword->ResultValue), "Róka");
  EXPECT_EQ(Context.GetRltnIdxSet().count(), 1u);
  EXPECT_EQ(Context.GetAccessor(5), &Accessor);
}

// A sub-query's result: one integer column A with an index on it (index 0). The index lookup
// scans the records, which is all the comparison needs of it.
class TIndexedResult : public TMemoRelation {
 public:
  explicit TIndexedResult(TVdbServices* Services) : TMemoRelation(Services, Columns(), "Result.vdbt") {
    EXPECT_EQ(Open(false), 0);
    FDef = CalcIndexDefinition("{A}", false);
  }
  int Lookups = 0;
  const TVdbSortDef* GetIndexDefinition(std::int16_t IndexNo) override { return IndexNo == 0 ? FDef.get() : nullptr; }
  std::int16_t FindSortInfo(std::int16_t AccessId, const TVdbLongIndexInfo& Search, TVdbLongIndexInfo& Found) override {
    ++Lookups;
    if (AccessId != 0) return RecordError(6, {});
    std::vector<std::uint8_t> Record(static_cast<std::size_t>(RecordSize()));
    auto Wanted = std::make_unique<TVdbLongIndexInfo>();
    std::memcpy(Wanted.get(), &Search, sizeof(TVdbLongIndexInfo));
    for (std::int32_t No = 1; No <= RecordCount(); ++No) {
      ReadRecord(No, Record.data());
      const std::int32_t Length = CalcIndexInfo(Record.data(), *FDef, Found, No);
      if (std::memcmp(Found.Key, Wanted->Key, static_cast<std::size_t>(Length)) == 0) return 3;
    }
    return 0;
  }

 private:
  static TVdbColumnDefs Columns() {
    TVdbColumnDefs C;
    C.Add(TVdbColumnDef::CreateColumnDef("A", TVdbDataType::GetDataType(kVdbIntegerCode, true, 6), kVdbColNullable));
    return C;
  }
  std::unique_ptr<TVdbSortDef> FDef;
};

TEST(SubQueryComparison, InAndExistsReadTheResultRelation) {
  TVdbServices Services{1};
  TIndexedResult Result(&Services);
  for (const char* V : {"1", "5", "9"}) Result.AddRow({V});
  int Recalcs = 0;
  auto Make = [&](TVdbComparisonOperator Op, std::unique_ptr<TVdbExpression> Left, bool IsNot) {
    auto C = std::make_unique<TVdbSqlSubQueryComparison>();
    C->SetComparisonOperator(Op);
    C->SetIsNot(IsNot);
    if (Left) C->SetLeft(std::move(Left));
    C->SetSubResultSet(&Result, 0);
    C->SetRecalcHandler([&] { ++Recalcs; });
    C->Prepare(nullptr, 0);
    return C;
  };
  auto Int = [](const char* Text) {
    return TVdbExpression::FromFactor(
        TVdbSimpleFactor::CreateLiteral(Text, TVdbDataType::GetDataType(kVdbBigIntCode, false, kVdbLiteralLevel)));
  };
  TVdbRelationSet Set;
  EXPECT_EQ(Make(tcoIn, Int("5"), false)->EvaluateTruth(Set), tvTrue);
  EXPECT_EQ(Make(tcoIn, Int("4"), false)->EvaluateTruth(Set), tvFalse);
  EXPECT_EQ(Make(tcoIn, Int("4"), true)->EvaluateTruth(Set), tvTrue);
  EXPECT_EQ(Make(tcoIn, TVdbExpression::FromFactor(TVdbSimpleFactor::CreateNull()), true)->EvaluateTruth(Set),
            tvUnknown);
  EXPECT_EQ(Make(tcoIn, TVdbExpression::FromFactor(TVdbSimpleFactor::CreateStringLiteral("abc")), false)
                ->EvaluateTruth(Set),
            tvFalse);
  EXPECT_EQ(Make(tcoExists, nullptr, false)->EvaluateTruth(Set), tvTrue);
  EXPECT_EQ(Make(tcoExists, nullptr, true)->EvaluateTruth(Set), tvFalse);
  EXPECT_EQ(Recalcs, 7);
  Result.ClearDat();
  EXPECT_EQ(Make(tcoExists, nullptr, false)->EvaluateTruth(Set), tvFalse);
  EXPECT_EQ(Make(tcoIn, Int("5"), false)->EvaluateTruth(Set), tvFalse);

  // = without ALL is the IN lookup; the quantified forms are not supported.
  auto Equal = Make(tcoEqual, Int("1"), false);
  Equal->Normalize();
  EXPECT_EQ(Equal->ComparisonOperator(), tcoIn);
  auto All = Make(tcoLess, Int("1"), false);
  All->SetIsAll(true);
  All->Normalize();
  EXPECT_EQ(test::ErrorOf([&] { All->EvaluateTruth(Set); }), 187);
}

}  // namespace
}  // namespace vdb
