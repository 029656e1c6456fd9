// The statement tree: text forms of every statement kind, the optimisation (the table form of
// the start query, sub-queries), alias replacement, name lists, joins and the depth-first walk.
#include "sql/VdbSqlCommand.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <typeinfo>
#include <vector>

#include "sql/VdbExpression.h"
#include "sql/VdbExpressionTestSupport.h"
#include "sql/VdbSqlParser.h"
#include "table/VdbData.h"

namespace vdb {
namespace {

std::unique_ptr<TVdbSqlCommand> Parse(const std::string& Text) {
  TSqlParser Parser;
  Parser.SetStatementText(Text);
  auto Command = Parser.ParseFirstStatement(nullptr);
  EXPECT_EQ(Parser.ParseNextStatement(nullptr), nullptr) << Text;
  return Command;
}

std::unique_ptr<TVdbSqlCommand> ParseOptimized(const std::string& Text) {
  auto Command = Parse(Text);
  Command->Optimize();
  return Command;
}

TVdbSqlTablePrimitive* TopPrimitive(TVdbSqlCommand& Command) {
  return dynamic_cast<TVdbSqlQuery&>(Command).TableExpression()->TableTerm()->TablePrimitive();
}

// Each statement prints as expected, and the printed text parses into a tree that prints the same.
TEST(SqlCommand, EveryStatementKindRoundTripsThroughText) {
  struct Case {
    const char* Text;
    const char* Sql;
  };
  const Case Cases[] = {
      {"select * from Data order by CIMSZO", "SELECT * FROM Data ORDER BY [CIMSZO]"},
      {"SELECT TOP 5 DISTINCT a, b AS x, t.*, c c2 FROM t, u AS v WHERE a > 1 GROUP BY a, b HAVING COUNT(*) > 2",
       "SELECT TOP 5 DISTINCT a, b x, t.*, c c2 FROM t, u AS v WHERE a > 1 GROUP BY a, b HAVING COUNT(*) > 2"},
      {"SELECT a FROM t ORDER BY 1 DESC, t.b ASC, c DESCENDING", "SELECT a FROM t ORDER BY [1] DESC, [t.b], [c] DESC"},
      {"SELECT * FROM t UNION ALL SELECT * FROM u EXCEPT TABLE w",
       "SELECT * FROM t UNION ALL SELECT * FROM u EXCEPT TABLE w"},
      {"SELECT a FROM t INTERSECT CORRESPONDING BY (a, x.b) SELECT a FROM u",
       "SELECT a FROM t INTERSECT CORRESPONDING BY (a, b) SELECT a FROM u"},
      {"(SELECT * FROM t)", "(SELECT * FROM t) "},
      {"SELECT * FROM a LEFT JOIN b ON a.x = b.x", "SELECT * FROM a LEFT OUTER JOIN b\n\rON (a.x = b.x)"},
      {"SELECT * FROM a CROSS JOIN b INNER JOIN c ON b.y = c.y RIGHT OUTER JOIN d ON c.z = d.z",
       "SELECT * FROM a CROSS JOIN b INNER JOIN c\n\rON (b.y = c.y) RIGHT OUTER JOIN d\n\rON (c.z = d.z)"},
      {"SELECT * FROM a FULL JOIN (b JOIN c ON b.y = c.y) ON a.x = b.x",
       "SELECT * FROM a FULL OUTER JOIN (b INNER JOIN c\n\rON (b.y = c.y))\n\rON (a.x = b.x)"},
      {"SELECT * FROM \"my table\" [order] WHERE a = 1", "SELECT * FROM \"my table\" AS \"order\" WHERE a = 1"},
      {"DELETE FROM t WHERE a = 1", "DELETE FROM t WHERE a = 1"},
      {"DELETE FROM t", "DELETE FROM t"},
      {"INSERT INTO t (a, b) VALUES (1, 'x')", "INSERT INTO t (a, b) VALUES (1, 'x')"},
      {"INSERT INTO t SELECT * FROM u", "INSERT INTO t SELECT * FROM u"},
      {"UPDATE t SET a = a + 1, b = (SELECT MAX(c) FROM u) WHERE d IS NULL",
       "UPDATE t SET a = a + 1, b = (SELECT MAX(c) FROM u) WHERE d IS NULL"},
      {"CREATE TABLE t COLLATE Hungarian_ci_as (a INTEGER NOT NULL, b VARCHAR(20) COLLATE German, "
       "c DOUBLE PRECISION (2) DEFAULT 1.5, d AUTOINC('[a]', 2) UNIQUE, e ENUM(red green, blue), f LINK(u), "
       "g TIME(3), h LONGVARCHAR SET a + 1, CONSTRAINT k1 PRIMARY KEY (a), UNIQUE (b), CHECK (a > 0), "
       "FOREIGN KEY (a) REFERENCES u (x) ON DELETE CASCADE ON UPDATE NO ACTION)",
       "CREATE TABLE t COLLATE Hungarian_ci_as LEVEL 6 (a INTEGER NOT NULL, b VARCHAR(20) COLLATE German, "
       "c DECIMAL(2) DEFAULT 1.5, d AUTOINC('[a]', 2), e ENUM(red, green, blue), f LINK(u), g TIME(3), "
       "h LONGVARCHAR SET a + 1, CHECK (a > 0), CONSTRAINT k1 PRIMARY KEY (a), UNIQUE (b), "
       "FOREIGN KEY (a) REFERENCES u (x) ON DELETE CASCADE)"},
      {"CREATE TABLE s LEVEL 4 ENCRYPTION Blowfish PASSWORD 'pw' (a WCHAR(5))",
       "CREATE TABLE s LEVEL 4 ENCRYPTION Blowfish PASSWORD 'pw' (a WCHAR(5))"},
      {"ALTER TABLE t ADD COLUMN x INTEGER, DROP y, MODIFY COLUMN z VARCHAR(5), RENAME w TO v, "
       "DROP CONSTRAINT c1 ADD CONSTRAINT c2 UNIQUE (x)",
       "ALTER TABLE t ADD COLUMN x INTEGER, DROP COLUMN y, MODIFY COLUMN z VARCHAR(5), RENAME COLUMN w TO v, "
       "DROP CONSTRAINT c1, ADD CONSTRAINT c2 UNIQUE (x)"},
      {"CREATE UNIQUE INDEX byName ON t (a DESC b, c)", "CREATE UNIQUE INDEX byName ON t (a DESC, b, c)"},
      {"CREATE FULLTEXTINDEX ft ON t (a, b) DICTIONARY words CREATE UPDATE separators ' ,'",
       "CREATE FULLTEXTINDEX ft ON t (a, b) DICTIONARY words CREATE UPDATE separators ' ,'"},
      {"UPDATE INDEX t.*", "UPDATE INDEX t.*"},
      {"UPDATE FULLTEXTINDEX t.ft", "UPDATE FULLTEXTINDEX t.ft"},
      {"DROP TABLE t", "DROP TABLE t"},
      {"DROP INDEX t.byName", "DROP INDEX t.byName"},
      {"DROP FULLTEXTINDEX t.ft", "DROP FULLTEXTINDEX t.ft"},
  };
  for (const Case& C : Cases) {
    const std::string Sql = Parse(C.Text)->GetSqlText();
    EXPECT_EQ(Sql, C.Sql) << C.Text;
    EXPECT_EQ(Parse(Sql)->GetSqlText(), Sql) << C.Text;
  }
}

TEST(SqlCommand, SubQueriesOfConditions) {
  auto Command = Parse("SELECT * FROM t WHERE a IN (SELECT b FROM u) AND EXISTS (SELECT * FROM w) OR c > ALL (SELECT d FROM v)");
  TVdbSearchCondition* Where = dynamic_cast<TVdbSqlQuery&>(*Command).TableExpression()->SingleSelectExpression()->SearchCondition();
  struct Expected {
    TVdbBooleanFactor* Factor;
    TVdbComparisonOperator Operator;
    bool IsAll;
    const char* Query;
  };
  const Expected Cases[] = {
      {Where->BooleanTerm()->BooleanFactor(), tcoIn, false, "SELECT b FROM u"},
      {Where->BooleanTerm()->BooleanTerm()->BooleanFactor(), tcoExists, false, "SELECT * FROM w"},
      {Where->SearchCondition()->BooleanTerm()->BooleanFactor(), tcoGreater, true, "SELECT d FROM v"},
  };
  for (const Expected& C : Cases) {
    auto* Comparison = dynamic_cast<TVdbSqlSubQueryComparison*>(C.Factor);
    ASSERT_NE(Comparison, nullptr) << C.Query;
    EXPECT_EQ(Comparison->ComparisonOperator(), C.Operator) << C.Query;
    EXPECT_EQ(Comparison->IsAll(), C.IsAll) << C.Query;
    ASSERT_NE(dynamic_cast<TVdbSqlQuery*>(Comparison->SubQuery()), nullptr);
    EXPECT_EQ(dynamic_cast<TVdbSqlQuery*>(Comparison->SubQuery())->GetSqlText(), C.Query);
  }
}

TEST(SqlCommand, SubQueriesAreSplitOffAsTables) {
  auto Command = Parse("UPDATE t SET a = (SELECT MAX(b) FROM u) WHERE c IN (SELECT d FROM w)");
  auto& Update = dynamic_cast<TVdbSqlUpdateCommand&>(*Command);
  auto Value = Update.ReplaceSubquery(0, "R7");
  EXPECT_EQ(Value->GetSqlText(), "SELECT MAX(b) FROM u");
  auto* In = dynamic_cast<TVdbSqlSubQueryComparison*>(Update.SearchCondition()->BooleanTerm()->BooleanFactor());
  ASSERT_NE(In, nullptr);
  auto Sub = ReplaceSubSelect(*In, "R8");
  EXPECT_EQ(Sub->GetSqlText(), "SELECT d FROM w");
  EXPECT_EQ(dynamic_cast<TVdbSqlQuery*>(In->SubQuery())->GetSqlText(), "TABLE R8");
  EXPECT_EQ(Update.SubQuery(0)->GetSqlText(), "TABLE R7");

  auto Insert = Parse("INSERT INTO t SELECT * FROM u WHERE x = 1");
  auto Source = dynamic_cast<TVdbSqlInsertCommand&>(*Insert).ReplaceSourceQuery("R9");
  EXPECT_EQ(Source->GetSqlText(), "SELECT * FROM u WHERE x = 1");
  EXPECT_EQ(Insert->GetSqlText(), "INSERT INTO t TABLE R9");

  auto Select = Parse("SELECT a FROM t WHERE b = 1 GROUP BY a");
  auto& Block = *dynamic_cast<TVdbSqlQuery&>(*Select).TableExpression()->SingleSelectExpression();
  Block.ReplaceUngroupedTable("R10");
  EXPECT_EQ(Select->GetSqlText(), "SELECT a FROM R10 GROUP BY a");
  auto Union = ParseOptimized("(SELECT a FROM t) UNION TABLE u");
  auto* Simple = dynamic_cast<TVdbSqlTableSimplePrimitive*>(TopPrimitive(*Union));
  ASSERT_NE(Simple, nullptr);
  EXPECT_EQ(Simple->ReplaceTableExpression("R11")->GetSqlText(), "SELECT a FROM t");
  EXPECT_EQ(Simple->GetSqlText(), "TABLE R11");
}

TEST(SqlCommand, StatementKindsBuildTheirNodes) {
  auto Update = Parse("UPDATE INDEX Data.*");
  auto* Rebuild = dynamic_cast<TVdbSqlUpdateIndexCommand*>(Update.get());
  ASSERT_NE(Rebuild, nullptr);
  EXPECT_EQ(Rebuild->TableName(), "Data");
  EXPECT_EQ(Rebuild->IndexName(), "*");

  auto Index = Parse("CREATE INDEX i ON t (a DESC, b)");
  auto* Create = dynamic_cast<TVdbSqlCreateIndexCommand*>(Index.get());
  ASSERT_NE(Create, nullptr);
  EXPECT_EQ(Create->GetVdbIndexExpression(), "-{a},{b}");
  EXPECT_EQ(Create->FSortSpecifications.GetVdbText(), "-${a}, ${b}");

  auto Alter = Parse("ALTER TABLE 123 RENAME COLUMN a TO b, DROP c");
  auto* A = dynamic_cast<TVdbSqlAlterTableCommand*>(Alter.get());
  ASSERT_NE(A, nullptr);
  EXPECT_EQ(A->TableName(), "123");
  ASSERT_EQ(A->FColumnNames.size(), 2u);
  EXPECT_EQ(A->FColumnNames[0], "a");
  EXPECT_EQ(A->FColumnDefinitions[0]->FSqlType, sqlNone);
  EXPECT_EQ(A->FColumnDefinitions[0]->FColumnName, "b");
  EXPECT_EQ(A->FColumnDefinitions[1], nullptr);

  auto Table = Parse("CREATE TABLE t (n VARCHAR(20) COLLATE Hungarian_ci_as NOT NULL, e ENUM(a, b), f FLOAT)");
  auto* T = dynamic_cast<TVdbSqlCreateTableCommand*>(Table.get());
  ASSERT_NE(T, nullptr);
  EXPECT_EQ(T->FOptions.FLevel, 6);
  const auto* Str = dynamic_cast<const TVdbStringType*>(T->FColumnDefinitions[0]->GetDataType());
  ASSERT_NE(Str, nullptr);
  EXPECT_EQ(Str->MaxLength(), 20);
  EXPECT_EQ(Str->CollationName(), "Hungarian_ci_as");
  EXPECT_FALSE(Str->Nullable());
  EXPECT_EQ(T->FColumnDefinitions[1]->FStringParam, "a,b");
  EXPECT_EQ(T->FColumnDefinitions[1]->GetDataType()->ColumnType(), kVdbEnumCode);
  EXPECT_EQ(T->FColumnDefinitions[2]->FPrecision, 4);
  EXPECT_EQ(T->FColumnDefinitions[2]->GetDataType()->ColumnType(), kVdbFloatCode);
}

// ---------------------------------------------------------------------------------------------
// Optimisation

TEST(SqlCommand, StartQueryBecomesTheTableFormWithItsOrder) {
  auto Command = ParseOptimized("select * from Data \r\norder by CIMSZO");
  auto* Simple = dynamic_cast<TVdbSqlTableSimplePrimitive*>(TopPrimitive(*Command));
  ASSERT_NE(Simple, nullptr);
  EXPECT_TRUE(Simple->GetIsTrivial());
  EXPECT_EQ(Simple->TableName(), "Data");
  EXPECT_EQ(Command->GetSqlText(), "TABLE Data ORDER BY [CIMSZO]");
  EXPECT_EQ(dynamic_cast<TVdbSqlQuery&>(*Command).SortSpecificationList().GetVdbText(), "${CIMSZO}");

  // The search keeps its SELECT block.
  auto Search = ParseOptimized("Select * FROM Data WHERE CIMSZO like '%a%' or LEIRAS like '%a%'ORDER By CIMSZO");
  EXPECT_NE(dynamic_cast<TVdbSqlSelectExpression*>(TopPrimitive(*Search)), nullptr);
}

TEST(SqlCommand, OnlyThePlainSelectionBecomesTheTableForm) {
  struct Case {
    const char* Text;
    const char* Optimized;
  };
  const Case Cases[] = {
      {"SELECT * FROM Data d", "TABLE Data"},
      {"(SELECT * FROM Data)", "TABLE Data"},
      {"((SELECT * FROM Data))", "(TABLE Data) "},
      {"SELECT * FROM Data UNION SELECT * FROM Old", "TABLE Data UNION TABLE Old"},
      {"SELECT DISTINCT * FROM Data", "SELECT DISTINCT * FROM Data"},
      {"SELECT TOP 5 * FROM Data", "SELECT TOP 5 * FROM Data"},
      {"SELECT * FROM Data WHERE a = 1", "SELECT * FROM Data WHERE a = 1"},
      {"SELECT * FROM a, b", "SELECT * FROM a, b"},
      {"SELECT a.* FROM a", "SELECT a.* FROM a"},
      {"SELECT * FROM a JOIN b ON a.x = b.x", "SELECT * FROM a INNER JOIN b\n\rON (a.x = b.x)"},
      {"SELECT x FROM Data", "SELECT x FROM Data"},
  };
  for (const Case& C : Cases) EXPECT_EQ(ParseOptimized(C.Text)->GetSqlText(), C.Optimized) << C.Text;

  auto Aliased = ParseOptimized("SELECT * FROM Data d");
  auto* Simple = dynamic_cast<TVdbSqlTableSimplePrimitive*>(TopPrimitive(*Aliased));
  ASSERT_NE(Simple, nullptr);
  EXPECT_EQ(Simple->AliasName(), "d");
  EXPECT_EQ(Simple->GetAliasList(), "\"d\"");
}

TEST(SqlCommand, ConditionsAreSimplified) {
  struct Case {
    const char* Text;
    const char* Optimized;
  };
  const Case Cases[] = {
      {"DELETE FROM t WHERE NOT (NOT (x = 1))", "DELETE FROM t WHERE x = 1"},
      {"DELETE FROM t WHERE ((a = 1 OR b = 2))", "DELETE FROM t WHERE a = 1 OR b = 2"},
      // A lone parenthesised OR operand is unwrapped (AND binds closer than OR).
      {"DELETE FROM t WHERE a = b OR (a IS NULL AND c IS NULL)", "DELETE FROM t WHERE a = b OR a IS NULL AND c IS NULL"},
  };
  for (const Case& C : Cases) EXPECT_EQ(ParseOptimized(C.Text)->GetSqlText(), C.Optimized) << C.Text;

  for (const char* Text : {"DELETE FROM t WHERE a = b OR (a IS NULL AND b IS NULL)",
                           "DELETE FROM t WHERE a = b OR (b IS NULL AND a IS NULL)"}) {
    auto Command = ParseOptimized(Text);
    TVdbSearchCondition* Where = dynamic_cast<TVdbSqlDeleteCommand&>(*Command).SearchCondition();
    EXPECT_EQ(Where->SearchCondition(), nullptr) << Text;
    EXPECT_EQ(Where->BooleanTerm()->BooleanFactor()->ComparisonOperator(), tcoEqualNull) << Text;
  }
}

TEST(SqlCommand, ValueSubQueryBecomesAnInComparisonOrderedByItsFirstColumn) {
  auto Command = ParseOptimized("SELECT * FROM t WHERE x = (SELECT y FROM u ORDER BY z DESC)");
  auto& Select = *dynamic_cast<TVdbSqlSelectExpression*>(TopPrimitive(*Command));
  auto* Comparison = dynamic_cast<TVdbSqlSubQueryComparison*>(Select.SearchCondition()->BooleanTerm()->BooleanFactor());
  ASSERT_NE(Comparison, nullptr);
  EXPECT_EQ(Comparison->ComparisonOperator(), tcoIn);
  auto* SubQuery = dynamic_cast<TVdbSqlQuery*>(Comparison->SubQuery());
  ASSERT_NE(SubQuery, nullptr);
  ASSERT_EQ(SubQuery->SortSpecificationList().Count(), 1);
  EXPECT_EQ(SubQuery->SortSpecificationList()[0].ColumnNameOrIdx(), "1");
  EXPECT_TRUE(SubQuery->SortSpecificationList()[0].Asc());

  // The sub-query itself is optimised too.
  auto Plain = ParseOptimized("DELETE FROM t WHERE x IN (SELECT * FROM u)");
  auto* In = dynamic_cast<TVdbSqlSubQueryComparison*>(
      dynamic_cast<TVdbSqlDeleteCommand&>(*Plain).SearchCondition()->BooleanTerm()->BooleanFactor());
  ASSERT_NE(In, nullptr);
  EXPECT_EQ(dynamic_cast<TVdbSqlQuery*>(In->SubQuery())->GetSqlText(), "TABLE u ORDER BY [1]");

  // A TOP sub-query keeps no order that the IN lookup could replace.
  EXPECT_NO_THROW(ParseOptimized("SELECT * FROM t WHERE x IN (SELECT TOP 3 y FROM u)"));
  try {
    ParseOptimized("SELECT * FROM t WHERE x IN (SELECT TOP 3 y FROM u ORDER BY y)");
    FAIL();
  } catch (const ESqlCommand& E) {
    EXPECT_EQ(E.Code(), 187);
    EXPECT_STREQ(E.what(), "This feature is not supported: TOP in sub-query");
  }
}

// ---------------------------------------------------------------------------------------------
// Aliases, name lists, joins

TEST(SqlCommand, AliasesAreReplacedByInternalNames) {
  auto Command = Parse("SELECT t.a, t.*, u.b FROM Data t, Other u WHERE t.a = u.b ORDER BY t.name, tx.name, u.c");
  auto& Query = dynamic_cast<TVdbSqlQuery&>(*Command);
  auto& Select = *Query.TableExpression()->SingleSelectExpression();
  EXPECT_EQ(Select.GetTableList(), "\"Data\",\"Other\"");
  EXPECT_EQ(Select.GetAliasList(), "\"t\",\"u\"");
  EXPECT_EQ(Select.GetInternalNameList(), "\"Data\",\"Other\"");
  Select.TableReferences()[0].SetInternalName("R1");
  Select.TableReferences()[1].SetInternalName("R2");
  Query.ReplaceAliases();
  EXPECT_EQ(Query.GetSqlText(),
            "SELECT R1.a, R1.*, R2.b FROM Data AS t, Other AS u WHERE R1.a = R2.b ORDER BY [R1.name], [tx.name], [R2.c]");
}

TEST(SqlCommand, JoinedReferences) {
  auto Command = Parse("SELECT * FROM a x LEFT JOIN b ON x.k = b.k JOIN c ON b.k = c.k, d");
  auto& Select = *dynamic_cast<TVdbSqlQuery&>(*Command).TableExpression()->SingleSelectExpression();
  EXPECT_EQ(Select.GetTableList(), "\"a\",\"b\",\"c\",\"d\"");
  EXPECT_EQ(Select.GetAliasList(), "\"x\",\"b\",\"c\",\"d\"");
  const TVdbSqlTableReferenceList& Refs = Select.TableReferences();
  ASSERT_EQ(Refs.Count(), 2);
  EXPECT_TRUE(Refs[0].IsJoinedTable());
  EXPECT_EQ(Refs[0].JoinType(), tjtInnerJoin);
  EXPECT_EQ(Refs[0].Left()->JoinType(), tjtLeftOuterJoin);   // joins nest to the left
  EXPECT_EQ(Refs.FindTableReferenceBySequenceNo(0)->TableAlias(), "x");
  EXPECT_EQ(Refs.FindTableReferenceBySequenceNo(2)->TableName(), "c");
  EXPECT_EQ(Refs.FindTableReferenceBySequenceNo(3)->TableName(), "d");
  EXPECT_EQ(Refs.FindTableReferenceBySequenceNo(4), nullptr);
  EXPECT_TRUE(Refs.ContainsTableName("X"));
  EXPECT_TRUE(Refs.ContainsTableName("c"));
  EXPECT_FALSE(Refs.ContainsTableName("e"));
  EXPECT_TRUE(Command->IsTableName("d"));

  TVdbSqlTableReference& Inner = *Refs[0].Left();
  Inner.Swap();
  EXPECT_EQ(Inner.JoinType(), tjtRightOuterJoin);
  EXPECT_EQ(Inner.Left()->TableName(), "b");
  EXPECT_EQ(Refs[0].GetTableList(), "\"b\",\"a\",\"c\"");
}

// ---------------------------------------------------------------------------------------------
// Walks and copies

class TRecordingVisitor : public TVdbSyntaxNodeVisitor {
 public:
  void PerformOperation(TVdbSyntaxNode& Node) override {
    if (dynamic_cast<TVdbSqlQuery*>(&Node)) Seen.push_back("query");
    else if (dynamic_cast<TVdbSqlTableExpression*>(&Node)) Seen.push_back("expression");
    else if (dynamic_cast<TVdbSqlTableTerm*>(&Node)) Seen.push_back("term");
    else if (dynamic_cast<TVdbSqlSelectExpression*>(&Node)) Seen.push_back("select");
    else if (dynamic_cast<TVdbSqlTableSimplePrimitive*>(&Node)) Seen.push_back("table");
    else if (dynamic_cast<TVdbSqlCommand*>(&Node)) Seen.push_back("command");
    else if (auto* F = dynamic_cast<TVdbSimpleFactor*>(&Node); F && F->GetIsColumnName()) Seen.push_back(F->ColumnNameOrLiteral());
  }
  std::vector<std::string> Seen;
};

TEST(SqlCommand, DepthFirstWalkOrder) {
  auto Command = Parse("SELECT a FROM t JOIN u ON b = c WHERE d = 1 GROUP BY e HAVING f > 0 UNION TABLE w");
  TRecordingVisitor Visitor;
  Command->TraverseDepthFirst(Visitor);
  const std::vector<std::string> Expected = {"query", "expression", "term", "select", "a", "b", "c",
                                             "d",     "f",          "expression", "term", "table"};
  EXPECT_EQ(Visitor.Seen, Expected);

  auto Update = Parse("UPDATE t SET a = x, b = (SELECT y FROM u) WHERE z = 1");
  TRecordingVisitor UpdateVisitor;
  Update->TraverseDepthFirst(UpdateVisitor);
  const std::vector<std::string> UpdateOrder = {"command", "x", "z", "query", "expression", "term", "select", "y"};
  EXPECT_EQ(UpdateVisitor.Seen, UpdateOrder);
}

TEST(SqlCommand, ClonesAreDeepAndPrintTheSame) {
  auto Command = Parse("SELECT a, COUNT(*) n FROM t x JOIN u ON x.k = u.k WHERE a IN (1, 2) GROUP BY a ORDER BY n DESC");
  auto& Query = dynamic_cast<TVdbSqlQuery&>(*Command);
  auto Copy = Query.Clone();
  EXPECT_EQ(Copy->GetSqlText(), Query.GetSqlText());
  Command.reset();
  EXPECT_EQ(Copy->GetSqlText(),
            "SELECT a, COUNT(*) n FROM t x INNER JOIN u\n\rON (x.k = u.k) WHERE a IN (1, 2) GROUP BY a ORDER BY [n] DESC");
  EXPECT_FALSE(Copy->IsCorrelated());
  EXPECT_TRUE(Copy->IsPrimitiveQuery());
}

TEST(SqlCommand, QuotedNameLists) {
  EXPECT_EQ(QuoteNameList({"a", "b c"}), "\"a\",\"b c\"");
  EXPECT_EQ(SplitQuotedNameList("\"a\",\"b c\""), (std::vector<std::string>{"a", "b c"}));
  EXPECT_EQ(SplitQuotedNameList(""), std::vector<std::string>{});
  EXPECT_EQ(SqlName("Data"), "Data");
  EXPECT_EQ(SqlName("order"), "\"order\"");
  EXPECT_EQ(SqlName("a \"b\""), "\"a \"\"b\"\"\"");
  EXPECT_EQ(SqlString("it's"), "'it''s'");
}

// Names that are not plain identifiers (digits first, key words, blanks, quotes, brackets) and
// strings with quotes print in a form that reads back as the same names and values.
TEST(SqlCommand, OddNamesAndStringsReadBackAsWritten) {
  struct Case {
    const char* Text;
    const char* Printed;
  };
  const Case Cases[] = {
      {"$00SELEEV0z0d <= 0000", "\"00SELEEV0z0d\" <= 0000"},
      {"$1a = 1", "\"1a\" = 1"},
      {"\"select\" = 1 AND [from].[where] = 2", "\"select\" = 1 AND \"from\".\"where\" = 2"},
      {"\"my col\" = 'it''s' OR t.\"a \"\"b\"\"\" = ''''", "\"my col\" = 'it''s' OR t.\"a \"\"b\"\"\" = ''''"},
      {"[a\"b] = 1", "\"a\"\"b\" = 1"},
      {"$Len + $Count = 2", "Len + Count = 2"},
      {"\"Ünnep\".\"9\" IS NULL", "\"Ünnep\".\"9\" IS NULL"},
      {"\"dir/t.x\" = 1", "\"dir/t.x\" = 1"},
      {"\"a.b\".c = 1", "a.\"b.c\" = 1"},
      {"\"x-y\" = 1", "\"x-y\" = 1"},
  };
  auto ReadCondition = [](const std::string& Text) {
    TSqlParser Parser;
    Parser.SetStatementText(Text);
    auto Condition = Parser.ParseCondition(nullptr);
    Parser.ParseEnd();
    return Condition;
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Text);
    auto First = ReadCondition(C.Text);
    const std::string Printed = First->GetSqlText();
    EXPECT_EQ(Printed, C.Printed);
    auto Second = ReadCondition(Printed);
    EXPECT_TRUE(First->IsSyntacticallyEqual(*Second)) << Printed;
    EXPECT_EQ(Second->GetSqlText(), Printed);
  }
  const char* const Statements[] = {
      "SELECT $2x, \"order\" + 1 \"group\" FROM \"select\" AS [1t] WHERE $3y LIKE 'a''%' ORDER BY \"c]d\" DESC",
      "UPDATE \"table\" SET \"1\" = 'x''y' WHERE \"my col\" IS NULL",
      "INSERT INTO [t t] (\"0a\", \"b\"\"c\") VALUES ('''', 1)",
  };
  for (const char* Text : Statements) {
    SCOPED_TRACE(Text);
    const std::string Printed = Parse(Text)->GetSqlText();
    EXPECT_EQ(Parse(Printed)->GetSqlText(), Printed);
  }
}

// The inputs the SQL fuzz target kept: what reads as a condition prints as text that reads back
// as the same condition.
TEST(SqlCommand, KeptFuzzInputsPrintBackAsTheSameCondition) {
  const std::filesystem::path Dir = std::filesystem::path(VDB_SOURCE_DIR) / "tests/fuzz/regressions/sql";
  bool DigitsFirstRead = false;
  for (const auto& Entry : std::filesystem::directory_iterator(Dir)) {
    std::ifstream In(Entry.path(), std::ios::binary);
    const std::string Text((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(Entry.path().filename().string());
    std::unique_ptr<TVdbSearchCondition> First;
    try {
      TSqlParser Parser;
      Parser.SetStatementText(Text);
      First = Parser.ParseCondition(nullptr);
      Parser.ParseEnd();
    } catch (const std::exception&) {
      continue;  // not a condition: the fuzz target only prepares it as a statement
    }
    DigitsFirstRead |= Entry.path().filename() == "dollar_reference_starting_with_digits.sql";
    const std::string Printed = First->GetSqlText();
    TSqlParser Again;
    Again.SetStatementText(Printed);
    std::unique_ptr<TVdbSearchCondition> Second;
    ASSERT_NO_THROW({
      Second = Again.ParseCondition(nullptr);
      Again.ParseEnd();
    }) << Printed;
    EXPECT_EQ(Second->GetSqlText(), Printed);
  }
  EXPECT_TRUE(DigitsFirstRead);  // a reference whose name starts with digits, compared with a number
}

// ---------------------------------------------------------------------------------------------
// Preparation

const TVdbDataType* Headword() {
  return TVdbDataType::GetStringType(kVdbStringCode, true, kVdbCurrentLevel, 40, "Hungarian_ci_as");
}
const TVdbDataType* Memo() { return TVdbDataType::GetStringType(kVdbMemoCode, true, kVdbCurrentLevel, 0, "Hungarian_ci_as"); }
const TVdbDataType* Integer() { return TVdbDataType::GetDataType(kVdbIntegerCode, true, kVdbCurrentLevel); }

TEST(SqlCommand, PreparedSearchSelectsRowsWhoseHeadwordOrDescriptionMatches) {
  test::TFakeContext Context;
  Context.AddTable("Data", 1, {{"CIMSZO", Headword()}, {"LEIRAS", Memo()}});
  auto Command = ParseOptimized("Select * FROM Data WHERE CIMSZO like '%róka%' or LEIRAS like '%róka%'ORDER By CIMSZO");
  auto& Query = dynamic_cast<TVdbSqlQuery&>(*Command);
  Query.PreparePhase1(&Context, 0);
  Query.PreparePhase2(&Context, 0);
  EXPECT_TRUE(Query.IsPrepared());
  EXPECT_TRUE(Query.MustRecalc());
  TVdbSearchCondition* Where = Query.TableExpression()->SingleSelectExpression()->SearchCondition();
  struct Row {
    std::optional<std::string> Headword, Description;
    bool Selected;
    int MemoReads;
  };
  const Row Rows[] = {{"Rókalyuk", "x", true, 0}, {"RÓKA", std::nullopt, true, 0}, {"Roka", "nincs", false, 1},
                      {std::nullopt, "a róka odúja", true, 1}, {"vad", std::nullopt, false, 1}};
  for (const Row& R : Rows) {
    Context.SetRow(0, {R.Headword, R.Description});
    Context.ResetReads();
    EXPECT_EQ(Where->Evaluate(), R.Selected) << R.Headword.value_or("NULL");
    EXPECT_EQ(Context.Reads("Data.LEIRAS"), R.MemoReads) << R.Headword.value_or("NULL");
  }
}

TEST(SqlCommand, SelectItemWithoutTypeIsError144) {
  test::TFakeContext Context;
  TVdbVariables Parameters;
  Context.SetParameters(&Parameters);
  Context.AddTable("Data", 1, {{"CIMSZO", Headword()}});
  auto Command = Parse("SELECT :p FROM Data");
  try {
    Command->PreparePhase1(&Context, 0);
    FAIL();
  } catch (const ESqlCommand& E) {
    EXPECT_EQ(E.Code(), 144);
    EXPECT_STREQ(E.what(), "Type of column, parameter or variable \":p\" is not known");
  }
}

TEST(SqlCommand, ValuesTakeTheTypeOfTheirColumns) {
  test::TFakeContext Context;
  Context.AddTable("Data", 1, {{"CIMSZO", Headword()}, {"N", Integer()}});
  auto Insert = Parse("INSERT INTO Data VALUES ('x', '12')");
  auto& I = dynamic_cast<TVdbSqlInsertCommand&>(*Insert);
  I.SetTableColumnNames({"CIMSZO", "N"});
  I.PreparePhase1(&Context, 0);
  ASSERT_EQ(I.Columns().size(), 2u);
  EXPECT_EQ(I.Values()[1]->DataType()->ColumnType(), kVdbIntegerCode);
  EXPECT_EQ(I.Values()[0]->DataType()->ColumnType(), kVdbStringCode);

  auto Update = Parse("UPDATE Data SET N = '7' WHERE CIMSZO = 'x'");
  Update->PreparePhase1(&Context, 0);
  Update->PreparePhase2(&Context, 0);
  EXPECT_EQ(dynamic_cast<TVdbSqlUpdateCommand&>(*Update).Expressions()[0]->DataType()->ColumnType(), kVdbIntegerCode);
  EXPECT_TRUE(Update->IsPrepared());
}

TEST(SqlCommand, CorrelatedSubQueryReadsTheOuterRowThroughAVariable) {
  test::TFakeContext Outer;
  Outer.AddTable("t", 1, {{"a", Integer()}});
  test::TFakeContext Inner;
  Inner.AddTable("u", 2, {{"b", Integer()}});
  auto Command = Parse("SELECT a FROM t WHERE EXISTS (SELECT b FROM u WHERE b = a)");
  auto& Query = dynamic_cast<TVdbSqlQuery&>(*Command);
  Query.PreparePhase1(&Outer, 0);
  auto* Exists = dynamic_cast<TVdbSqlSubQueryComparison*>(
      Query.TableExpression()->SingleSelectExpression()->SearchCondition()->BooleanTerm()->BooleanFactor());
  auto& SubQuery = *dynamic_cast<TVdbSqlQuery*>(Exists->SubQuery());
  SubQuery.SetParentCommand(&Query);
  int Recalcs = 0;
  SubQuery.SetOnRecalc([&](TVdbSqlQuery&) { ++Recalcs; });
  SubQuery.PreparePhase1(&Inner, 0);
  SubQuery.PreparePhase2(&Inner, 0, Query.OuterReferenceCallback(SubQuery));
  EXPECT_TRUE(SubQuery.IsCorrelated());
  ASSERT_EQ(Query.OuterReferences().size(), 1u);
  const TSqlOuterReference& Ref = *Query.OuterReferences()[0];
  EXPECT_EQ(Ref.RltnIdx(), 1);
  EXPECT_EQ(Ref.FieldNo(), 1);
  EXPECT_EQ(Ref.SubQuery(), &SubQuery);

  SubQuery.Recalc();
  EXPECT_EQ(Recalcs, 1);
  EXPECT_FALSE(SubQuery.MustRecalc());
  // A new outer row with another value marks the sub-query; the same value again does not.
  Outer.SetRow(0, {"5"});
  Query.UpdateOuterReferences();
  EXPECT_TRUE(SubQuery.MustRecalc());
  SubQuery.Recalc();
  Query.UpdateOuterReferences();
  EXPECT_FALSE(SubQuery.MustRecalc());
  Outer.SetRow(0, {"6"});
  Query.UpdateOuterReferences();
  EXPECT_TRUE(SubQuery.MustRecalc());

  // The inner condition reads the variable.
  Inner.SetRow(0, {"6"});
  EXPECT_TRUE(dynamic_cast<TVdbSqlQuery&>(SubQuery).TableExpression()->SingleSelectExpression()->SearchCondition()->Evaluate());
  Inner.SetRow(0, {"5"});
  EXPECT_FALSE(SubQuery.TableExpression()->SingleSelectExpression()->SearchCondition()->Evaluate());
}

TEST(SqlCommand, DefinitionsConvertToTableLayerDefinitions) {
  auto Command = Parse("CREATE TABLE t (id AUTOINC('[a]; [b]'), n VARCHAR(20) COLLATE Hungarian_ci_as NOT NULL, "
                       "l LINK(other), c INTEGER SET 1 + 2, d INTEGER DEFAULT 5, CONSTRAINT pos CHECK (d > 0))");
  auto& Create = dynamic_cast<TVdbSqlCreateTableCommand&>(*Command);
  auto Id = Create.CreateColumnDef(0);
  auto* RecordId = dynamic_cast<TVdbRecordIdColumnDef*>(Id.get());
  ASSERT_NE(RecordId, nullptr);
  EXPECT_EQ(RecordId->IndexSpec, "{a}; {b}");
  EXPECT_TRUE(Id->IsOptionSet(kVdbColUniqueId));
  EXPECT_FALSE(Id->GetNullable());

  auto Name = Create.CreateColumnDef(1);
  EXPECT_EQ(Name->GetCollation(), "Hungarian_ci_as");
  EXPECT_FALSE(Name->GetNullable());
  auto Link = Create.CreateColumnDef(2);
  ASSERT_NE(dynamic_cast<TVdbAdlColumnDef*>(Link.get()), nullptr);
  EXPECT_EQ(dynamic_cast<TVdbAdlColumnDef*>(Link.get())->LinkedTable, "other");

  auto Calculated = Create.CreateColumnDef(3);
  EXPECT_TRUE(Calculated->IsOptionSet(kVdbColCalculated));
  ASSERT_NE(Calculated->Calculation(), nullptr);
  EXPECT_EQ(Calculated->Calculation()->Source().Source(), "1 + 2");
  EXPECT_FALSE(Calculated->Calculation()->Source().Procedural());
  auto Default = Create.CreateColumnDef(4);
  EXPECT_FALSE(Default->IsOptionSet(kVdbColCalculated));
  EXPECT_TRUE(Default->GetNullable());
  ASSERT_NE(Default->Calculation(), nullptr);

  auto Check = Create.CreateCheckDef(0);
  EXPECT_EQ(Check->Name(), "pos");
  EXPECT_EQ(Check->FCondition->Source().Source(), "d > 0");
  EXPECT_FALSE(Check->FCondition->Source().Procedural());
  EXPECT_TRUE(CreateCheckDef(*Create.FConstraints.FCheckConstraints[0], 4)->FCondition->Source().Procedural());
}

}  // namespace
}  // namespace vdb
