// Conditions and expressions as the parser reads them, prepared and evaluated.
#include <gtest/gtest.h>

#include "VdbExpressionTestSupport.h"
#include "sql/VdbExpression.h"
#include "sql/VdbSqlParser.h"

namespace vdb {
namespace {

using T = TVdbDataType;

class ParsedExpressionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FContext.AddTable("Data", 1, {{"CIMSZO", T::GetStringType(kVdbStringCode, true, 6, 40, "Hungarian_ci_as")},
                                  {"LEIRAS", T::GetStringType(kVdbMemoCode, true, 6, 0, "Hungarian_ci_as")}});
    FContext.AddTable("Num", 2, {{"A", T::GetDataType(kVdbIntegerCode, true, 6)},
                                 {"B", T::GetDataType(kVdbIntegerCode, true, 6)}});
    FContext.SetRow(0, {"Agancs-csörtölés", "leírás"});
    FContext.SetRow(1, {"3", std::nullopt});
    FContext.SetParameters(&FParameters);
  }
  TVdbTruthValue Truth(const std::string& Text) {
    TSqlParser Parser;
    Parser.SetStatementText(Text);
    auto Condition = Parser.ParseCondition(nullptr);
    Parser.ParseEnd();
    Condition->Optimize();
    Condition->Prepare(&FContext, 0);
    TVdbRelationSet Set;
    return Condition->EvaluateTruth(Set);
  }
  std::string Value(const std::string& Text) {
    TSqlParser Parser;
    Parser.SetStatementText(Text);
    Parser.InitParsing(nullptr);
    auto E = Parser.ParseExpression();
    Parser.ParseEnd();
    E->Prepare(&FContext, 0);
    E->Calculate();
    return E->DataType()->ToString(E->ResultValue);
  }

  test::TFakeContext FContext;
  TVdbVariables FParameters;
};

TEST_F(ParsedExpressionTest, Arithmetic) {
  EXPECT_EQ(Value("10 / 5 * 2"), "4");
  EXPECT_EQ(Value("10 - 5 + 2"), "7");
  EXPECT_EQ(Value("10 - 5 - 2 - 1"), "2");
  EXPECT_EQ(Value("10 - 5 + 2 - 1"), "6");
  EXPECT_EQ(Value("A * (2 + 1) - -1"), "10");
}

TEST_F(ParsedExpressionTest, Conditions) {
  struct Case {
    const char* Text;
    TVdbTruthValue Expected;
  } Cases[] = {
      {"CIMSZO LIKE '%tölés%' OR LEIRAS LIKE '%tölés%'", tvTrue},
      {"CIMSZO like '%TÖLÉS%'", tvTrue},
      {"CIMSZO like '%tolés%'", tvFalse},
      {"B = 1", tvUnknown},
      {"NOT (B = 1)", tvUnknown},
      {"B IS NULL AND A = 3", tvTrue},
      {"A BETWEEN 5 AND 1", tvFalse},
      {"A NOT BETWEEN 5 AND 1", tvTrue},
      {"A IN (1, 2, 3)", tvTrue},
      {"B IN (1, 2)", tvUnknown},
      {"NULL NOT LIKE '%'", tvTrue},
      {"CIMSZO NOT LIKE 'x%'", tvTrue},
      {"'a_c' LIKE 'a!_c' ESCAPE '!'", tvTrue},
      {"'abc' LIKE 'a!_c' ESCAPE '!'", tvFalse},
      {"A = B OR (A IS NULL AND B IS NULL)", tvFalse},
      {"NOT (NOT (A = 3))", tvTrue},
      {"(A + 1) = 4", tvTrue},
      {"A > 2 AND (B = 1 OR A < 4)", tvTrue},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Text);
    EXPECT_EQ(Truth(C.Text), C.Expected);
  }
}

// The SQL text of a parsed tree reads back as the same tree.
TEST_F(ParsedExpressionTest, SqlTextReadsBackAsTheSameTree) {
  const char* Texts[] = {
      "CIMSZO LIKE '%l''x%' OR LEIRAS LIKE '%l''x%'",
      "A - 1 + 2 - 3 = -A * 2 DIV 3 MOD 2 + A / 2",
      "NOT A IN (1, 2) AND B IS NOT NULL",
      "A NOT BETWEEN 1 AND 5 OR CIMSZO NOT LIKE 'a!_%' ESCAPE '!'",
      "TIME '12:30' < TIME '13:00' AND DATE '1.2.2020' = 1.2.2020",
      "CASE WHEN A = 1 THEN 'x' ELSE 'y' END = 'x'",
      "(A = 1 OR B = 2) AND NOT (A = 2)",
  };
  for (const char* Text : Texts) {
    SCOPED_TRACE(Text);
    TSqlParser First;
    First.SetStatementText(Text);
    auto A = First.ParseCondition(nullptr);
    First.ParseEnd();
    const std::string Regenerated = A->GetSqlText();
    TSqlParser Second;
    Second.SetStatementText(Regenerated);
    auto B = Second.ParseCondition(nullptr);
    Second.ParseEnd();
    EXPECT_TRUE(A->IsSyntacticallyEqual(*B)) << Regenerated;
    EXPECT_EQ(B->GetSqlText(), Regenerated);
    // Both evaluate alike.
    A->Prepare(&FContext, 0);
    B->Prepare(&FContext, 0);
    TVdbRelationSet SA, SB;
    EXPECT_EQ(A->EvaluateTruth(SA), B->EvaluateTruth(SB));
  }
}

}  // namespace
}  // namespace vdb
