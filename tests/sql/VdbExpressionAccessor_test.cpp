// Conditions evaluated over real accessors: the search of the lexicon walks a relation in
// physical order and reads the memo only for rows whose headword did not match.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "session/VdbAccessor.h"
#include "session/VdbServices.h"
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

}  // namespace
}  // namespace vdb
