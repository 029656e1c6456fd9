// The SQL scanner and parser: the window's statements, literals, conditions, functions, the
// statement kinds, and errors with their message, row and column.
#include "sql/VdbSqlParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql/VdbExpression.h"
#include "sql/VdbSqlCommand.h"
#include "VdbSqlParseTestSupport.h"
#include "table/VdbData.h"

namespace vdb {
namespace {

using test::ParseExpressionText;
using test::ParseOne;

TVdbSqlSelectExpression& SingleSelect(TVdbSqlCommand& Command) {
  auto* Query = dynamic_cast<TVdbSqlQuery*>(&Command);
  EXPECT_NE(Query, nullptr);
  TVdbSqlSelectExpression* Select = Query->TableExpression()->SingleSelectExpression();
  EXPECT_NE(Select, nullptr);
  return *Select;
}

TVdbSimpleFactor* SimpleFactorOf(TVdbExpression* Expression) {
  return Expression ? dynamic_cast<TVdbSimpleFactor*>(Expression->SingleFactor()) : nullptr;
}

// The literal type a number token gets, seen through the prepared expression.
std::int16_t LiteralColumnType(const std::string& Text) {
  auto Expression = ParseExpressionText(Text);
  Expression->Prepare(nullptr, 0);
  return Expression->DataType()->ColumnType();
}

TEST(SqlParser, StartQueryIsOneQueryOrderedByTheHeadword) {
  auto Command = ParseOne("select * from Data \r\norder by CIMSZO");
  auto& Query = dynamic_cast<TVdbSqlQuery&>(*Command);
  ASSERT_EQ(Query.SortSpecificationList().Count(), 1);
  EXPECT_EQ(Query.SortSpecificationList()[0].ColumnNameOrIdx(), "CIMSZO");
  EXPECT_TRUE(Query.SortSpecificationList()[0].Asc());
  TVdbSqlSelectExpression& Select = SingleSelect(*Command);
  ASSERT_EQ(Select.SelectElementCount(), 1);
  EXPECT_TRUE(Select.SelectElement(0).IsAllColumns());
  EXPECT_EQ(Select.GetTableList(), "\"Data\"");
  EXPECT_EQ(Select.SearchCondition(), nullptr);
  EXPECT_EQ(Query.GetSqlText(), "SELECT * FROM Data ORDER BY [CIMSZO]");
}

// The search as the window writes it: the pattern as a quoted literal, ORDER straight after
// the closing quote.
TEST(SqlParser, SearchQueryIsAnOrOfTwoLikeComparisons) {
  auto Command = ParseOne("Select * FROM Data WHERE CIMSZO like '%l''x%' or LEIRAS like '%l''x%'ORDER By CIMSZO");
  TVdbSqlSelectExpression& Select = SingleSelect(*Command);
  TVdbSearchCondition* Where = Select.SearchCondition();
  ASSERT_NE(Where, nullptr);
  ASSERT_NE(Where->SearchCondition(), nullptr);
  EXPECT_EQ(Where->SearchCondition()->SearchCondition(), nullptr);
  const TVdbBooleanFactor* Factors[] = {Where->BooleanTerm()->BooleanFactor(),
                                        Where->SearchCondition()->BooleanTerm()->BooleanFactor()};
  const char* Columns[] = {"CIMSZO", "LEIRAS"};
  for (int I = 0; I < 2; ++I) {
    EXPECT_EQ(Factors[I]->ComparisonOperator(), tcoLike);
    EXPECT_FALSE(Factors[I]->IsNot());
    EXPECT_EQ(SimpleFactorOf(Factors[I]->ExpressionLeft())->ColumnNameOrLiteral(), Columns[I]);
    TVdbSimpleFactor* Pattern = SimpleFactorOf(Factors[I]->ExpressionRight());
    ASSERT_NE(Pattern, nullptr);
    EXPECT_TRUE(Pattern->GetIsLiteral());
    EXPECT_EQ(Pattern->ColumnNameOrLiteral(), "%l'x%");
  }
  EXPECT_EQ(dynamic_cast<TVdbSqlQuery&>(*Command).SortSpecificationList()[0].ColumnNameOrIdx(), "CIMSZO");
  EXPECT_EQ(Command->GetSqlText(),
            "SELECT * FROM Data WHERE CIMSZO LIKE '%l''x%' OR LEIRAS LIKE '%l''x%' ORDER BY [CIMSZO]");
}

TEST(SqlParser, SearchWithParameters) {
  auto Command = ParseOne("select * from Data where CIMSZO like :p or LEIRAS like :p order by CIMSZO");
  TVdbSearchCondition* Where = SingleSelect(*Command).SearchCondition();
  TVdbSimpleFactor* P = SimpleFactorOf(Where->BooleanTerm()->BooleanFactor()->ExpressionRight());
  ASSERT_NE(P, nullptr);
  EXPECT_TRUE(P->GetIsParam());
  EXPECT_EQ(P->ParameterName(), "p");
}

TEST(SqlParser, OdbcParametersAreNumbered) {
  TSqlParser Parser;
  Parser.SetIsOdbcCompatible(true);
  Parser.SetStatementText("SELECT * FROM t WHERE a = ? AND b = ?");
  auto Command = Parser.ParseFirstStatement(nullptr);
  TVdbBooleanTerm* Term = SingleSelect(*Command).SearchCondition()->BooleanTerm();
  EXPECT_EQ(SimpleFactorOf(Term->BooleanFactor()->ExpressionRight())->ParameterName(), "Param1");
  EXPECT_EQ(SimpleFactorOf(Term->BooleanTerm()->BooleanFactor()->ExpressionRight())->ParameterName(), "Param2");
}

TEST(SqlParser, MinusBelongsToNamesButNotToNumbers) {
  auto Command = ParseOne("SELECT a-b FROM t");
  TVdbSimpleFactor* Column = SimpleFactorOf(SingleSelect(*Command).SelectElement(0).ScalarExpression());
  ASSERT_NE(Column, nullptr);
  EXPECT_EQ(Column->ColumnNameOrLiteral(), "a-b");

  auto Subtraction = ParseOne("SELECT 3 - 2 FROM t");
  TVdbExpression* E = SingleSelect(*Subtraction).SelectElement(0).ScalarExpression();
  ASSERT_NE(E->Expression(), nullptr);
  EXPECT_EQ(E->Operator(), dboMinus);
}

TEST(SqlParser, StatementsSeparatedBySemicolons) {
  TSqlParser Parser;
  Parser.SetStatementText("SELECT * FROM t; SELECT * FROM u");
  auto First = Parser.ParseFirstStatement(nullptr);
  auto Second = Parser.ParseNextStatement(nullptr);
  ASSERT_NE(Second, nullptr);
  EXPECT_EQ(First->GetTableList(), "\"t\"");
  EXPECT_EQ(Second->GetTableList(), "\"u\"");
  EXPECT_EQ(Parser.ParseNextStatement(nullptr), nullptr);
}

TEST(SqlParser, CommentsAreWhiteSpace) {
  for (const char* Text : {"/* a comment **/SELECT * FROM t", "-- a line\nSELECT * FROM t -- end",
                           "// a line\r\nSELECT /* x */ * FROM t"}) {
    auto Command = ParseOne(Text);
    EXPECT_EQ(Command->GetSqlText(), "SELECT * FROM t") << Text;
  }
}

TEST(SqlParser, ParenthesisOpensAConditionOrAnExpression) {
  auto Nested = ParseOne("SELECT * FROM t WHERE (a = 1) OR b = 2");
  TVdbBooleanFactor* First = SingleSelect(*Nested).SearchCondition()->BooleanTerm()->BooleanFactor();
  ASSERT_NE(First->SearchCondition(), nullptr);

  auto Expression = ParseOne("SELECT * FROM t WHERE (a + 1) = 2");
  TVdbBooleanFactor* Comparison = SingleSelect(*Expression).SearchCondition()->BooleanTerm()->BooleanFactor();
  EXPECT_EQ(Comparison->SearchCondition(), nullptr);
  EXPECT_EQ(Comparison->ComparisonOperator(), tcoEqual);
  EXPECT_EQ(Comparison->ExpressionLeft()->GetSqlText(), "(a + 1)");

  // Nested attempts each rewind to their own start.
  auto Deep = ParseOne("SELECT * FROM t WHERE ((a)) + 1 = 2 AND (((b = 1)))");
  EXPECT_EQ(Deep->GetSqlText(), "SELECT * FROM t WHERE ((a)) + 1 = 2 AND (((b = 1)))");
}

TEST(SqlParser, NotBeforeTheOperatorSetsIsNot) {
  struct Case {
    const char* Condition;
    TVdbComparisonOperator Operator;
    bool IsNot;
  };
  const Case Cases[] = {
      {"x NOT BETWEEN 1 AND 5", tcoBetween, true},
      {"x NOT IN (1, 2)", tcoIn, true},
      {"x IS NOT NULL", tcoIsNotNull, false},
      {"x IS NULL", tcoIsNull, false},
      {"x NOT LIKE 'a%' ESCAPE '\\'", tcoLike, true},
      {"NOT x NOT LIKE 'a%'", tcoLike, false},
      {"x <> 1", tcoUnequal, false},
      {"x HAS 'b'", tcoHas, false},
  };
  for (const Case& C : Cases) {
    TSqlParser Parser;
    Parser.SetStatementText(C.Condition);
    auto Condition = Parser.ParseCondition(nullptr);
    Parser.ParseEnd();
    TVdbBooleanFactor* Factor = Condition->BooleanTerm()->BooleanFactor();
    EXPECT_EQ(Factor->ComparisonOperator(), C.Operator) << C.Condition;
    EXPECT_EQ(Factor->IsNot(), C.IsNot) << C.Condition;
  }
  TSqlParser Parser;
  Parser.SetStatementText("x NOT LIKE 'a%' ESCAPE '\\'");
  EXPECT_EQ(Parser.ParseCondition(nullptr)->BooleanTerm()->BooleanFactor()->LikeEscapeChar(), u'\\');
}

TEST(SqlParser, NumberTokensAreTypedByTheirForm) {
  EXPECT_EQ(LiteralColumnType("12:30"), kVdbTimeCode);
  EXPECT_EQ(LiteralColumnType("1.2.2020"), kVdbDateCode);
  EXPECT_EQ(LiteralColumnType("1.2.2020_12:30"), kVdbTimeStampCode);
  EXPECT_EQ(LiteralColumnType("1.5"), kVdbFloatCode);
  EXPECT_EQ(LiteralColumnType("15"), kVdbBigIntCode);
  EXPECT_EQ(LiteralColumnType("1e3"), kVdbFloatCode);
  EXPECT_EQ(LiteralColumnType("DATE '3.4.2021'"), kVdbDateCode);
  EXPECT_EQ(LiteralColumnType("TRUE"), kVdbBooleanCode);
}

TEST(SqlParser, ExpressionChainsAfterMinusEvaluateFromLeftToRight) {
  struct Case {
    const char* Text;
    std::int64_t Value;
  };
  const Case Cases[] = {{"10 - 5 + 2", 7}, {"10 - 5 - 2", 3}, {"10 - 5 - 2 + 1", 4}, {"1 - 2 + 3 - 4 + 5", 3},
                        {"10 / 5 * 2", 4}, {"2 * 3 + 4", 10}, {"10 - (5 + 2)", 3}, {"-3 + 5", 2}, {"-(2 - 7) - 1", 4}};
  for (const Case& C : Cases) {
    auto Expression = ParseExpressionText(C.Text);
    Expression->Prepare(nullptr, 0);
    Expression->Calculate();
    EXPECT_EQ(Expression->DataType()->GetInteger(Expression->ResultValue), C.Value) << C.Text;
  }
}

TEST(SqlParser, FunctionsAndTheirArgumentCounts) {
  EXPECT_EQ(ParseExpressionText("LTRIM(s, 'x')")->GetSqlText(), "TRIM(LEADING 'x' FROM s)");
  EXPECT_EQ(ParseExpressionText("COUNT(*)")->GetSqlText(), "COUNT(*)");
  EXPECT_EQ(ParseExpressionText("count(x)")->GetSqlText(), "COUNT(x)");
  EXPECT_EQ(ParseExpressionText("SUBSTRING(s FROM 2 FOR 3)")->GetSqlText(), "SUBSTRING(s FROM 2 FOR 3)");
  EXPECT_EQ(ParseExpressionText("TRIM(TRAILING FROM s)")->GetSqlText(), "TRIM(TRAILING ' ' FROM s)");
  EXPECT_EQ(ParseExpressionText("EXTRACT(year FROM d)")->GetSqlText(), "EXTRACT(YEAR FROM d)");
  EXPECT_EQ(ParseExpressionText("CAST(x AS VARCHAR(10))")->GetSqlText(), "CAST(x AS VARCHAR(10))");
  EXPECT_EQ(ParseExpressionText("CURRENT_DATE")->GetSqlText(), "CURRENT_DATE");
  EXPECT_EQ(ParseExpressionText("leftstr(s, 2)")->GetSqlText(), "LeftStr(s, 2)");
  EXPECT_EQ(ParseExpressionText("CASE x WHEN 1 THEN 'a' ELSE 'b' END")->GetSqlText(),
            ParseExpressionText("CASE WHEN x = 1 THEN 'a' ELSE 'b' END")->GetSqlText());
}

TEST(SqlParser, ScalarFunctionsCompute) {
  struct Case {
    const char* Text;
    const char* Result;
  };
  const Case Cases[] = {
      {"SUBSTRING('abcdef' FROM 3 FOR 2)", "cd"}, {"SUBSTRING('abc' FROM 5)", ""},
      {"SUBSTRING('abc' FROM 2 FOR 10)", "bc"},   {"TRIM(TRAILING FROM 'ab  ')", "ab"},
      {"TRIM(LEADING 'x' FROM 'xxa')", "a"},      {"TRIM('   ')", ""},
      {"UPPER('abc')", "ABC"},                    {"EXCHANGE('abcab', 'ab', 'x')", "xcx"},
      {"NTIMES('ab', 3)", "ababab"},              {"FILLSTR('a', '-', 4)", "a---"},
      {"CAST(12 AS VARCHAR(5))", "12"},           {"STR(3.14159, 8, 2)", "    3.14"},
      {"leftstr('abcdef', 2)", "ab"},             {"STR(pos('c', 'abc'))", "3"},
  };
  for (const Case& C : Cases) {
    auto Expression = ParseExpressionText(C.Text);
    Expression->Prepare(nullptr, 0);
    Expression->Calculate();
    EXPECT_EQ(Expression->DataType()->GetAnsiString(Expression->ResultValue), C.Result) << C.Text;
  }
  for (const char* Null : {"SQRT(-1)", "LOG(0)", "CEILING(1e10)", "UPPER(NULL)"}) {
    auto Expression = ParseExpressionText(Null);
    Expression->Prepare(nullptr, 0);
    Expression->Calculate();
    EXPECT_TRUE(Expression->DataType()->IsNull(Expression->ResultValue)) << Null;
  }
}

// ---------------------------------------------------------------------------------------------
// Errors

struct ErrorCase {
  const char* Text;
  int Code;
  int Row;
  int Column;
  const char* Message;
};

TEST(SqlParser, ErrorsCarryMessageRowAndColumn) {
  const ErrorCase Cases[] = {
      {"SELECT 3-2 FROM t", 45, 1, 9, "The character \"-\" is not allowed here"},
      {"SELECT * FROM t SELECT", 56, 1, 17, "\"<end of statement>\" expected but \"SELECT\" found"},
      {"SELECT * FROM t WHERE a = 'abc", 56, 1, 31, "\"'\" expected but \"<end of statement>\" found"},
      {"SELECT * FROM [t", 56, 1, 17, "\"]\" expected but \"<end of statement>\" found"},
      {"SELECT * FROM t\nWHERE a = 1 ORDER x", 56, 2, 19, "\"BY\" expected but \"x\" found"},
      {"SELECT RTRIM(s, 'x') FROM t", 56, 1, 15, "\")\" expected but \",\" found"},
      {"SELECT ROUND(x) FROM t", 56, 1, 15, "\",\" expected but \")\" found"},
      {"SELECT * FROM t WHERE a", 56, 1, 24, "\"=\" expected but \"<end of statement>\" found"},
      {"SELECT TOP 99999999999 * FROM t", 25, 1, 12, "Syntax error in expression \"99999999999\""},
      {"SELECT TOP x * FROM t", 56, 1, 12, "\"<number>\" expected but \"x\" found"},
      {"SELECT * FROM t WHERE a LIKE 'x' ESCAPE 'ab'", 25, 1, 41, "Syntax error in expression \"ab\""},
      {"SELECT EXTRACT(century FROM d) FROM t", 50, 1, 16, "Unknown identifier \"century\""},
      {"INSERT INTO t (a) VALUES (1, 2)", 150, 1, 30, "The value list contains more items the the column list"},
      {"INSERT INTO t (a + 1) VALUES (1)", 56, 1, 16, "\"<name of table, index, column etc.>\" expected but \"a\" found"},
      {"SELECT 1.2.3.4 FROM t", 41, 1, 8, "Expression not complete"},
      {"SELECT 32.13.2020 FROM t", 158, 1, 8, "\"32.13.2020\" is not a valid timestamp"},
      {"SELECT 25:70 FROM t", 158, 1, 8, "\"25:70\" is not a valid timestamp"},
      {"SELECT 1e FROM t", 46, 1, 8, "\"1e\" is not a valid number"},
      {"SELECT 12abc FROM t", 45, 1, 10, "The character \"a\" is not allowed here"},
      {"SELECT * FROM t WHERE a = ?", 45, 1, 27, "The character \"?\" is not allowed here"},
      {"SELECT * FROM t WHERE a = :1", 45, 1, 28, "The character \"1\" is not allowed here"},
      {"SELECT # FROM t", 45, 1, 8, "The character \"#\" is not allowed here"},
      {"SELECT * FROM t WHERE a = $", 45, 1, 27, "The character \"$\" is not allowed here"},
      {"SELECT $ + 1 FROM t", 45, 1, 8, "The character \"$\" is not allowed here"},
      {"CREATE VIEW v", 56, 1, 8, "\"TABLE\" expected but \"VIEW\" found"},
      {"CREATE TABLE t (a NUMERIC)", 56, 1, 19, "\"<data type>\" expected but \"NUMERIC\" found"},
      {"CREATE TABLE t ENCRYPTION Blowfish (a INTEGER)", 56, 1, 36, "\"PASSWORD\" expected but \"(\" found"},
      {"CREATE TABLE t PASSWORD 'x' (a INTEGER)", 56, 1, 29, "\"ENCRYPTION\" expected but \"(\" found"},
      {"CREATE TABLE t ENCRYPTION Rot13 (a INTEGER)", 50, 1, 27, "Unknown identifier \"Rot13\""},
      {"CREATE TABLE t (a INTEGER, FOREIGN KEY (a) REFERENCES u ON DELETE SET NULL)", 56, 1, 67,
       "\"CASCADE\" expected but \"SET\" found"},
      {"FROM t", 56, 1, 1, "\"SELECT\" expected but \"FROM\" found"},
      {"SELECT * FROM 1", 56, 1, 15, "\"<identifier>\" expected but \"1\" found"},
      {"SELECT * FROM t ORDER BY", 56, 1, 25,
       "\"<name of table, index, column etc.>\" expected but \"<end of statement>\" found"},
  };
  for (const ErrorCase& C : Cases) {
    TSqlParser Parser;
    Parser.SetStatementText(C.Text);
    try {
      Parser.ParseFirstStatement(nullptr);
      Parser.ParseNextStatement(nullptr);
      ADD_FAILURE() << "no error for " << C.Text;
    } catch (const ESqlParser& E) {
      EXPECT_EQ(E.Code(), C.Code) << C.Text;
      EXPECT_EQ(E.ErrorLineNo(), C.Row) << C.Text;
      EXPECT_EQ(E.ErrorCharNo(), C.Column) << C.Text;
      EXPECT_STREQ(E.what(), C.Message) << C.Text;
      EXPECT_EQ(E.ErrorUnitName(), "SQL command");
      EXPECT_EQ(Parser.ErrorMessage(), C.Message) << C.Text;
    }
  }
}

TEST(SqlParser, ErrorLineIsTheOffendingLine) {
  TSqlParser Parser;
  Parser.SetStatementText("SELECT *\r\nFROM t\r\n  WHERE a = 'x' b");
  try {
    Parser.ParseFirstStatement(nullptr);
    FAIL();
  } catch (const EVdbSqlUnexpectedToken& E) {
    EXPECT_EQ(E.ErrorLine(), "  WHERE a = 'x' b");
    EXPECT_EQ(E.ErrorLineNo(), 3);
    EXPECT_EQ(E.ErrorCharNo(), 17);
    EXPECT_EQ(E.TokenFound(), "b");
  }
}

TEST(SqlParser, CurrentRecordIdNeedsATableName) {
  TSqlParser Parser;
  Parser.SetStatementText("SELECT CURRENTRECORDID(1 + 2) FROM t");
  try {
    Parser.ParseFirstStatement(nullptr);
    FAIL();
  } catch (const ESqlParser& E) {
    EXPECT_STREQ(E.what(), "Argument to CurrentRecordId must be a table name literal");
    EXPECT_EQ(E.ErrorCharNo(), 24);
  }
  EXPECT_EQ(ParseExpressionText("CURRENTRECORDID(Data)")->GetSqlText(), "CURRENTRECORDID(Data)");
}

TEST(SqlParser, DeepNestingIsAnErrorNotACrash) {
  std::string Text = "SELECT ";
  for (int I = 0; I < 5000; ++I) Text += "(";
  Text += "1";
  for (int I = 0; I < 5000; ++I) Text += ")";
  Text += " FROM t";
  TSqlParser Parser;
  Parser.SetStatementText(Text);
  EXPECT_THROW(Parser.ParseFirstStatement(nullptr), ESqlParser);

  // Parentheses that the condition attempt must give back at every level.
  std::string Nested = "SELECT * FROM t WHERE ";
  for (int I = 0; I < 150; ++I) Nested += "(";
  Nested += "a";
  for (int I = 0; I < 150; ++I) Nested += ")";
  Parser.SetStatementText(Nested + " = 1");
  EXPECT_EQ(Parser.ParseFirstStatement(nullptr)->GetTableList(), "\"t\"");

  std::string Where = "SELECT * FROM t WHERE ";
  for (int I = 0; I < 3000; ++I) Where += "NOT (";
  Where += "a = 1";
  for (int I = 0; I < 3000; ++I) Where += ")";
  Parser.SetStatementText(Where);
  EXPECT_THROW(Parser.ParseFirstStatement(nullptr), ESqlParser);
}

// A function that takes arguments is a function only when "(" follows it; alone, its name is a
// column name (it used to become a call without arguments that evaluation read past).
TEST(SqlParser, FunctionNamesWithoutParenthesesAreColumns) {
  for (const char* Name : {"Len", "Count", "Str", "max", "Upper", "LeftStr"}) {
    SCOPED_TRACE(Name);
    auto Expression = ParseExpressionText(Name);
    TVdbSimpleFactor* Factor = SimpleFactorOf(Expression.get());
    ASSERT_NE(Factor, nullptr);
    EXPECT_TRUE(Factor->GetIsColumnName());
    EXPECT_EQ(Factor->ColumnNameOrLiteral(), Name);
  }
  auto Select = ParseOne("SELECT Len, Count + 1 FROM t WHERE Str = 'x' ORDER BY Len");
  EXPECT_EQ(SingleSelect(*Select).SelectElement(0).ScalarExpression()->GetSqlText(), "Len");
  // With parentheses they stay functions; functions without arguments need none.
  EXPECT_TRUE(SimpleFactorOf(ParseExpressionText("Len('abc')").get())->GetIsFunction());
  EXPECT_TRUE(SimpleFactorOf(ParseExpressionText("COUNT(*)").get())->GetIsFunction());
  EXPECT_TRUE(SimpleFactorOf(ParseExpressionText("CURRENT_DATE").get())->GetIsFunction());
}

// "(CASE WHEN <c> THEN 1 END) = 1" nested: the parenthesis is tried as a condition, which does
// not fit, and then read as an expression. Each level used to repeat that for every level
// inside it, doubling the work per level; 45 levels now parse at once (they took hours).
TEST(SqlParser, NestedParenthesisedConditionsParseInLinearTime) {
  std::string Condition = "a = 1";
  constexpr int kLevels = 45;
  for (int I = 0; I < kLevels; ++I) Condition = "(CASE WHEN " + Condition + " THEN 1 END) = 1";
  auto Command = ParseOne("SELECT * FROM t WHERE " + Condition);
  const std::string Text = Command->GetSqlText();
  std::size_t Cases = 0;
  for (std::size_t Pos = Text.find("CASE"); Pos != std::string::npos; Pos = Text.find("CASE", Pos + 1)) ++Cases;
  EXPECT_EQ(Cases, static_cast<std::size_t>(kLevels));
  // A parenthesised condition inside such a nest is still a condition.
  auto Mixed = ParseOne("SELECT * FROM t WHERE ((CASE WHEN (a = 1 OR b = 2) THEN 1 END) = 1) AND (c = 3)");
  EXPECT_NE(Mixed->GetSqlText().find("(a = 1 OR b = 2)"), std::string::npos) << Mixed->GetSqlText();
}

// A long chain of + or || is read in a loop but prepared, computed and freed link by link: a
// chain beyond the allowed nesting is an error, not a stack overflow later.
TEST(SqlParser, OverlongChainsAreAnErrorNotACrash) {
  for (const std::string Operator : {" + ", " || ", " - "}) {
    std::string Text = "SELECT 1";
    for (int I = 0; I < 200000; ++I) Text += Operator + "1";
    TSqlParser Parser;
    Parser.SetStatementText(Text + " FROM t");
    EXPECT_THROW(Parser.ParseFirstStatement(nullptr), ESqlParser) << Operator;
  }
  // A chain of ordinary length is fine and computes.
  std::string Sum = "1";
  for (int I = 0; I < 99; ++I) Sum += " + 1";
  auto Expression = ParseExpressionText(Sum);
  Expression->Prepare(nullptr, 0);
  Expression->Calculate();
  EXPECT_EQ(Expression->DataType()->GetInteger(Expression->ResultValue), 100);
}

TEST(SqlParser, ParseParameterReadsOneFactor) {
  TSqlParser Parser;
  Parser.SetStatementText("-12");
  auto Factor = Parser.ParseParameter();
  EXPECT_EQ(Factor->Sign(), sfsMinus);
  EXPECT_TRUE(Factor->GetIsLiteral());
}

TEST(SqlParser, TablesOfNamesAndTypes) {
  EXPECT_EQ(TSqlParser::GetSqlTypeName(sqlDouble), "DECIMAL");
  EXPECT_EQ(TSqlParser::GetSqlTypeName(sqlVarWChar), "VARWCHAR");
  EXPECT_EQ(TSqlParser::GetVdbType(sqlWChar), kVdbWideStringCode);
  EXPECT_EQ(TSqlParser::GetVdbType(sqlNone), 255);
  EXPECT_EQ(TSqlParser::FindFunction(sftCurrent_Time), 8);
  EXPECT_EQ(TSqlParser::FindFunction(sftPick), -1);
  EXPECT_EQ(TSqlParser::TokenDisplayText(sqltAsc), "ASC");
  EXPECT_EQ(TSqlParser::TokenDisplayText(sqltNotEqual), "!=");
  TSqlTokenType Type;
  ASSERT_TRUE(TSqlParser::FindReservedWord("descending", Type));
  EXPECT_EQ(Type, sqltDesc);
  ASSERT_TRUE(TSqlParser::FindReservedWord("FullTextIndex", Type));
  EXPECT_EQ(Type, sqltFulltextIndex);
  EXPECT_FALSE(TSqlParser::FindReservedWord("NUMERIC", Type));
}

TEST(SqlParser, ScannerTokens) {
  TSqlParser Parser;
  Parser.SetStatementText("\"a \"\"b\"\" c\" [x y] $Col-1 <> <= >= != || ! 'it''s' Äpfel_ß");
  Parser.InitParsing(nullptr);
  struct Token {
    TSqlTokenType Type;
    const char* Text;
  };
  const Token Expected[] = {{sqltReference, "a \"b\" c"}, {sqltReference, "x y"}, {sqltReference, "Col-1"},
                            {sqltNotEqual, "<>"},         {sqltEqualOrLess, "<="}, {sqltEqualOrGreater, ">="},
                            {sqltNotEqual, "!="},         {sqltPlus, "||"},        {sqltExclamationMark, "!"},
                            {sqltString, "it's"},         {sqltIdentifier, "Äpfel_ß"}};
  for (const Token& T : Expected) {
    EXPECT_EQ(Parser.LastTokenType(), T.Type) << T.Text;
    EXPECT_EQ(Parser.LastTokenString(), T.Text);
    Parser.NextToken();
  }
  EXPECT_EQ(Parser.LastTokenType(), sqltEndOfStatement);
}

}  // namespace
}  // namespace vdb
