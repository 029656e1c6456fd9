// The grammar's choices between look-alike texts: a parenthesis that opens a value or a
// sub-query, and a qualified column whose table part is written as a file name.
#include <gtest/gtest.h>

#include <string>

#include "VdbSqlParseTestSupport.h"

namespace vdb {
namespace {

using test::ParseExpressionText;
using test::ParseOne;

// ---------------------------------------------------------------------------------------------
// A parenthesis at the start of a value

struct TAssignmentCase {
  const char* Text;
  bool IsSubQuery;
};

TEST(SqlParserGrammar, UpdateValueInParenthesesIsAnExpressionUnlessItHoldsAQuery) {
  const TAssignmentCase Cases[] = {
      {"UPDATE Big SET Val = (Id * 7919) MOD 100000", false},
      {"UPDATE Big SET Val = (Id)", false},
      {"UPDATE Big SET Val = ((Id + 1) * 2) - (3)", false},
      {"UPDATE Big SET Val = (CASE WHEN Id > 1 THEN 1 ELSE 2 END)", false},
      {"UPDATE Big SET Val = (SELECT MAX(Id) FROM Other)", true},
      {"UPDATE Big SET Val = ((SELECT MAX(Id) FROM Other))", true},
      {"UPDATE Big SET Val = (TABLE Other)", true},
  };
  for (const TAssignmentCase& C : Cases) {
    SCOPED_TRACE(C.Text);
    auto Command = ParseOne(C.Text);
    auto* Update = dynamic_cast<TVdbSqlUpdateCommand*>(Command.get());
    ASSERT_NE(Update, nullptr);
    ASSERT_EQ(Update->Columns().size(), 1u);
    EXPECT_EQ(Update->SubQuery(0) != nullptr, C.IsSubQuery);
    EXPECT_EQ(Update->Expressions()[0] != nullptr, !C.IsSubQuery);
  }
}

// Both kinds mixed in one statement, each assignment keeping its own kind and its own text.
TEST(SqlParserGrammar, UpdateMixesExpressionAndSubQueryAssignments) {
  auto Command = ParseOne("UPDATE Big SET A = (Id * 3) MOD 7, B = (SELECT MIN(X) FROM O), C = (2) WHERE (Id) > 0");
  auto& Update = dynamic_cast<TVdbSqlUpdateCommand&>(*Command);
  ASSERT_EQ(Update.Columns().size(), 3u);
  ASSERT_NE(Update.Expressions()[0], nullptr);
  EXPECT_EQ(Update.Expressions()[0]->GetSqlText(), "(Id * 3) MOD 7");
  EXPECT_EQ(Update.Expressions()[1], nullptr);
  ASSERT_NE(Update.SubQuery(1), nullptr);
  ASSERT_NE(Update.Expressions()[2], nullptr);
  EXPECT_EQ(Update.Expressions()[2]->GetSqlText(), "(2)");
  EXPECT_NE(Update.SearchCondition(), nullptr);
}

struct TValueCase {
  const char* Text;
  const char* SqlText;  // the statement as the tree writes it back
};

// Every place where a value may start takes "(" for a parenthesised expression; the tree
// written back keeps the parentheses where they were and nothing is read as a query.
TEST(SqlParserGrammar, ParenthesisedValuesParseAsExpressionsEverywhere) {
  const TValueCase Cases[] = {
      {"SELECT (Id * 7919) MOD 100000 FROM Big", "SELECT (Id * 7919) MOD 100000 FROM Big"},
      {"SELECT (1), (2) + 3 FROM Big", "SELECT (1), (2) + 3 FROM Big"},
      {"INSERT INTO Big (Id, Val) VALUES ((1 + 2) * 3, (4))", ""},
      {"SELECT ABS((0 - 7) * 3) FROM Big", ""},
      {"SELECT CASE WHEN (Id) = 1 THEN (2 + 3) ELSE (4) END FROM Big", ""},
      {"SELECT * FROM Big WHERE Val = (Id * 2) MOD 5", "SELECT * FROM Big WHERE Val = (Id * 2) MOD 5"},
      {"SELECT * FROM Big WHERE Val IN ((1), (2) + 1)", ""},
      {"SELECT * FROM Big WHERE Val BETWEEN (1) AND (2 + 3)", ""},
  };
  for (const TValueCase& C : Cases) {
    SCOPED_TRACE(C.Text);
    auto Command = ParseOne(C.Text);
    ASSERT_NE(Command, nullptr);
    if (*C.SqlText != 0) {
      EXPECT_EQ(Command->GetSqlText(), C.SqlText);
    }
  }
}

// The right side of a comparison and an IN list still take a parenthesised query as a
// sub-query, with or without extra parentheses around it.
TEST(SqlParserGrammar, ParenthesisedQueriesInConditionsStaySubQueries) {
  const char* const Texts[] = {
      "SELECT * FROM Big WHERE Val = (SELECT MAX(Id) FROM Other)",
      "SELECT * FROM Big WHERE Val = ((SELECT MAX(Id) FROM Other))",
      "SELECT * FROM Big WHERE Val IN (SELECT Id FROM Other)",
      "SELECT * FROM Big WHERE Val IN ((SELECT Id FROM Other))",
      "SELECT * FROM Big WHERE Val IN (TABLE Other)",
  };
  for (const char* Text : Texts) {
    SCOPED_TRACE(Text);
    auto Command = ParseOne(Text);
    auto* Query = dynamic_cast<TVdbSqlQuery*>(Command.get());
    ASSERT_NE(Query, nullptr);
    TVdbSqlSelectExpression* Select = Query->TableExpression()->SingleSelectExpression();
    ASSERT_NE(Select, nullptr);
    TVdbBooleanFactor* Factor = Select->SearchCondition()->BooleanTerm()->BooleanFactor();
    auto* SubQuery = dynamic_cast<TVdbSqlSubQueryComparison*>(Factor);
    ASSERT_NE(SubQuery, nullptr);
    EXPECT_NE(SubQuery->SubQuery(), nullptr);
  }
}

// ---------------------------------------------------------------------------------------------
// The table part of a qualified column written as a file

struct TTableNameCase {
  const char* Written;
  const char* Column;  // the qualified column name the parser makes of it
};

TEST(SqlParserGrammar, OnlyADataFileExtensionIsTakenOffTheTablePart) {
  const TTableNameCase Cases[] = {
      {"\"Data.dat\".CIMSZO", "Data.CIMSZO"},
      {"\"Data.DAT\".CIMSZO", "Data.CIMSZO"},
      {"\"Data.Dat\".CIMSZO", "Data.CIMSZO"},
      {"\"Data.vdbt\".CIMSZO", "Data.CIMSZO"},
      {"\"Data.VDBT\".CIMSZO", "Data.CIMSZO"},
      {"\"C:\\db\\Data.dat\".CIMSZO", "Data.CIMSZO"},
      {"\"/home/db/Data.vdbt\".CIMSZO", "Data.CIMSZO"},
      {"\"/home/x.dat/Data\".CIMSZO", "Data.CIMSZO"},
      {"Data.CIMSZO", "Data.CIMSZO"},
      {"\"X.DATA\".Y", "X.DATA.Y"},
      {"\"DAT.T\".Y", "DAT.T.Y"},
      {"\"Old.DAT.bak\".Y", "Old.DAT.bak.Y"},
      {"\"A.dat.dat\".Y", "A.dat.Y"},
      {"\"Data.idx\".Y", "Data.idx.Y"},
      {"\"Datadat\".Y", "Datadat.Y"},
      {"\".dat\".Y", ".dat.Y"},
  };
  for (const TTableNameCase& C : Cases) {
    SCOPED_TRACE(C.Written);
    auto Expression = ParseExpressionText(C.Written);
    auto* Factor = dynamic_cast<TVdbSimpleFactor*>(Expression->SingleFactor());
    ASSERT_NE(Factor, nullptr);
    EXPECT_EQ(Factor->ColumnNameOrLiteral(), C.Column);
  }
}

}  // namespace
}  // namespace vdb
