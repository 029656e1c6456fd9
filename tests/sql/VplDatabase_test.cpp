// Conditions and calculations from SQL text: cursor filters over accessors and the compiler of
// table formulas.
#include "sql/VplDatabase.h"

#include <gtest/gtest.h>

#include <functional>

#include "base/VdbErrors.h"
#include "support/VdbMemoryRelation.h"
#include "table/VdbDefinitionsTestSupport.h"

namespace vdb {
namespace {

using test::ErrorOf;
using test::TMemoryRelation;
using T = TVdbDataType;

TVdbColumnDefs NumberColumns() {
  TVdbColumnDefs Columns;
  Columns.Add(TVdbColumnDef::CreateColumnDef("A", T::GetDataType(kVdbIntegerCode, true, 6), kVdbColNullable));
  Columns.Add(TVdbColumnDef::CreateColumnDef("B", T::GetDataType(kVdbIntegerCode, true, 6), kVdbColNullable));
  Columns.Add(TVdbColumnDef::CreateStringColumnDef("S", T::GetStringType(kVdbStringCode, true, 6, 20, "Hungarian_ci_as"),
                                                   "Hungarian_ci_as", kVdbColNullable));
  Columns.Add(TVdbColumnDef::CreateColumnDef("M", T::GetDataType(kVdbMemoCode, true, 6), kVdbColNullable));
  return Columns;
}

class FormulaTest : public ::testing::Test {
 protected:
  FormulaTest() : Relation(&Services, NumberColumns(), "Num.vdbt") { EXPECT_EQ(Relation.Open(false), 0); }
  // A record with A, B and S given as texts (nullopt = NULL).
  std::vector<std::uint8_t> Record(std::optional<std::string> A, std::optional<std::string> B, std::string S) {
    std::vector<std::uint8_t> R(static_cast<std::size_t>(Relation.RecordSize()), 0);
    if (A) Relation.SetAsStringA(R.data(), 1, *A); else Relation.SetNull(R.data(), 1);
    if (B) Relation.SetAsStringA(R.data(), 2, *B); else Relation.SetNull(R.data(), 2);
    Relation.SetAsStringA(R.data(), 3, S);
    return R;
  }

  TVdbServices Services{1};
  TMemoryRelation Relation;
  TVdbSqlExpressionFactory Factory;
};

TEST_F(FormulaTest, CalculatedColumnWritesTheResultField) {
  auto Compiled = Factory.CompileExpression("A * 2 + B", false, Relation.ColumnDefs(), 6);
  ASSERT_NE(Compiled->ResultType(), nullptr);
  std::vector<std::uint8_t> Field(static_cast<std::size_t>(Compiled->ResultType()->DataSize()));
  auto Rec = Record("20", "2", "x");
  Compiled->EvaluateToField(Rec.data(), Field.data());
  TVdbDataValue V;
  Compiled->ResultType()->SetReference(V, Field.data());
  EXPECT_EQ(Compiled->ResultType()->GetInteger(V), 42);

  // NULL in, NULL out.
  auto NullRec = Record(std::nullopt, "2", "x");
  Compiled->EvaluateToField(NullRec.data(), Field.data());
  EXPECT_TRUE(Compiled->ResultType()->IsNull(V));

  auto Text = Factory.CompileExpression("S", false, Relation.ColumnDefs(), 6);
  std::vector<std::uint8_t> TextField(static_cast<std::size_t>(Text->ResultType()->DataSize()));
  auto TextRec = Record("1", "1", "Őzbak");
  Text->EvaluateToField(TextRec.data(), TextField.data());
  TVdbDataValue TV;
  Text->ResultType()->SetReference(TV, TextField.data());
  EXPECT_EQ(Text->ResultType()->GetAnsiString(TV), "Őzbak");
}

TEST_F(FormulaTest, CheckConditionAnswersThreeValues) {
  auto Check = Factory.CompileCondition("A > B AND S LIKE 'ő%'", false, Relation.ColumnDefs(), 6);
  auto Rec = Record("3", "2", "Őzbak");
  EXPECT_EQ(Check->Evaluate(Rec.data()), 1);
  Rec = Record("1", "2", "Őzbak");
  EXPECT_EQ(Check->Evaluate(Rec.data()), 0);
  Rec = Record("3", std::nullopt, "Őzbak");
  EXPECT_EQ(Check->Evaluate(Rec.data()), -1);
}

TEST_F(FormulaTest, CompileErrors) {
  const TVdbColumnDefs& C = Relation.ColumnDefs();
  EXPECT_EQ(ErrorOf([&] { Factory.CompileExpression("A + 1", true, C, 6); }), 52);
  EXPECT_EQ(ErrorOf([&] { Factory.CompileCondition("A = 1", true, C, 6); }), 52);
  EXPECT_EQ(ErrorOf([&] { Factory.CompileExpression("A + X", false, C, 6); }), 50);
  EXPECT_EQ(ErrorOf([&] { Factory.CompileCondition("A LIKE 'x%'", false, C, 6); }), 44);
  EXPECT_EQ(ErrorOf([&] { Factory.CompileCondition("A = ", false, C, 6); }), 56);
  EXPECT_EQ(ErrorOf([&] { Factory.CompileExpression("A B", false, C, 6); }), 56);
  // A memo has no value in the record buffer.
  EXPECT_EQ(ErrorOf([&] { Factory.CompileExpression("M", false, C, 6); }), 187);
  auto MemoCheck = Factory.CompileCondition("M LIKE '%x%'", false, C, 6);
  auto Rec = Record("1", "1", "x");
  EXPECT_EQ(ErrorOf([&] { MemoCheck->Evaluate(Rec.data()); }), 187);
}

class FilterTest : public ::testing::Test {
 protected:
  FilterTest() : Relation(&Services, test::LexiconColumns(), "Data.vdbt") {
    EXPECT_EQ(Relation.Open(false), 0);
    Relation.AddRow({"Agancs-csörtölés", "A bikák agancsainak összeütése."});
    Relation.AddRow({"Barcogás", "A dámbika hangja a tölés idején."});
    Relation.AddRow({"tolés", "nincs benne"});
    Relation.AddRow({"Tölés", "Az őz üzekedése."});
  }
  TVdbServices Services{1};
  TMemoryRelation Relation;
};

TEST_F(FilterTest, ConditionAsAccessorFilter) {
  TVdbAccessor Accessor(Relation, "Cursor");
  Accessor.SetFilter(std::make_unique<TVdbSqlCondition>(
      "CIMSZO like '%tölés%' or Data.LEIRAS like '%tölés%'", Accessor));
  EXPECT_EQ(Accessor.GetRecordCount(), 3);
  std::vector<std::int32_t> Records;
  for (std::int16_t R = Accessor.First(); R == 0; R = Accessor.Next()) Records.push_back(Accessor.CurrentRecordNo());
  EXPECT_EQ(Records, (std::vector<std::int32_t>{1, 2, 4}));
}

// A filter tests the row of the accessor that asks, not the row of the one it was built over.
TEST_F(FilterTest, ConditionTestsTheRowOfTheAccessorItIsGiven) {
  TVdbAccessor Built(Relation, "Cursor");
  TVdbAccessor Walker(Relation, "Walker");
  TVdbSqlCondition Condition("CIMSZO = 'Tölés'", Built);
  ASSERT_EQ(Built.First(), 0);  // "Agancs-csörtölés"
  ASSERT_EQ(Walker.Last(), 0);  // "Tölés"
  EXPECT_TRUE(Condition.IsSatisfied(Walker));
  EXPECT_FALSE(Condition.IsSatisfied(Built));
  ASSERT_EQ(Walker.First(), 0);
  EXPECT_FALSE(Condition.IsSatisfied(Walker));
  ASSERT_EQ(Built.Last(), 0);
  EXPECT_TRUE(Condition.IsSatisfied(Built));
  // Over a caller's context, an accessor the context does not hold cannot be tested.
  TVdbAccessorContext Context;
  Context.AddAccessor(Built, 1);
  TVdbSqlCondition InContext("CIMSZO = 'Tölés'", Context);
  EXPECT_TRUE(InContext.IsSatisfied(Built));
  EXPECT_EQ(ErrorOf([&] { InContext.IsSatisfied(Walker); }), 87);
}

TEST_F(FilterTest, EmptyConditionIsTrueAndErrorsAreRaised) {
  TVdbAccessor Accessor(Relation, "Cursor");
  TVdbSqlCondition Empty("  ", Accessor);
  EXPECT_TRUE(Empty.Evaluate());
  EXPECT_EQ(ErrorOf([&] { TVdbSqlCondition("NOPE = 1", Accessor); }), 50);
  EXPECT_EQ(ErrorOf([&] { TVdbSqlCondition("CIMSZO LIKE", Accessor); }), 56);
}

TEST_F(FilterTest, CalculationOverAnAccessor) {
  TVdbAccessor Accessor(Relation, "Cursor");
  TVdbAccessorContext Context;
  Context.AddAccessor(Accessor, 1);
  TVdbSqlCalculation Calc("CIMSZO", Context);
  ASSERT_EQ(Accessor.First(), 0);
  ASSERT_EQ(Accessor.Next(), 0);
  Calc.Calculate();
  EXPECT_EQ(Calc.DataType()->GetAnsiString(Calc.Value()), "Barcogás");
}

}  // namespace
}  // namespace vdb
