// CREATE TABLE with every column type, defaults, checks, keys and record ids, seen through SQL.
#include <gtest/gtest.h>

#include "VdbStatementWriteSupport.h"

namespace vdb::test {
namespace {

class StatementDefinitionTest : public StatementWriteFixture {
 protected:
  void SetUp() override {
    StatementWriteFixture::SetUp();
    OpenLexicon({{"alma", "gyumolcs", 2}});
  }
  void Reopen() {
    Statements.clear();
    FSession->CloseDb();
    OpenSession();
  }
};

struct TTypeCase {
  const char* Definition;  // column name and type
  const char* Literal;     // the value written
  const char* Stored;      // the value read back as text
};

// One column of every type the dialect names; the values are near the edges of their ranges.
const TTypeCase kTypeCases[] = {
    {"I INTEGER", "-2147483648", "-2147483648"},
    {"B BIGINT", "9000000000123", "9000000000123"},
    {"Bo BOOLEAN", "TRUE", "True"},
    {"Y BYTE", "255", "255"},
    {"S SMALLINT", "-32768", "-32768"},
    {"C CHAR(5)", "'abc'", "abc"},
    {"V VARCHAR(10) COLLATE Hungarian_ci_as", "'árvíztűrő'", "árvíztűrő"},
    {"W WCHAR(4)", "'ŐŰőű'", "ŐŰőű"},
    {"VW VARWCHAR(8)", "'Ωmega'", "Ωmega"},
    {"D DATE", "DATE '2024-02-29'", "29.02.2024"},
    {"Ti TIME", "TIME '23:59:58'", "23:59:58.000"},
    {"Ts TIMESTAMP", "TIMESTAMP '2024-02-29 01:02:03'", "29.02.2024_01:02:03.000"},
    {"F DOUBLE PRECISION(6)", "1.5", "1.5"},
    {"R REAL", "-2.25", "-2.25"},
    {"De DECIMAL", "3.125", "3.125"},
    {"Fl FLOAT", "1.25e3", "1250"},
    {"E ENUM(red, green, blue)", "'blue'", "blue"},
    {"G GUID", "'{01234567-89AB-CDEF-0123-456789ABCDEF}'", "{01234567-89AB-CDEF-0123-456789ABCDEF}"},
    {"M LONGVARCHAR", "'a memo of some length'", "a memo of some length"},
    {"WM LONGVARWCHAR", "'wide memo őű'", "wide memo őű"},
};

// Every type is created, takes a value and NULL, and reads both back after the database was closed.
TEST_F(StatementDefinitionTest, EveryColumnTypeRoundTrips) {
  std::string Create = "CREATE TABLE AllTypes (Id AUTOINC";
  std::string Columns;
  std::string Values;
  std::vector<std::string> Expected{"1"};
  std::vector<std::string> Nulls{"2"};
  for (const TTypeCase& Case : kTypeCases) {
    const std::string Definition = Case.Definition;
    Create += ", " + Definition;
    Columns += (Columns.empty() ? "" : ", ") + Definition.substr(0, Definition.find(' '));
    Values += (Values.empty() ? "" : ", ") + std::string(Case.Literal);
    Expected.push_back(Case.Stored);
    Nulls.push_back("NULL");
  }
  ASSERT_EQ(Change(Create + ")"), 0) << LastErrorMsg();
  ASSERT_EQ(Change("INSERT INTO AllTypes (" + Columns + ") VALUES (" + Values + ")"), 1) << LastErrorMsg();
  ASSERT_EQ(Change("INSERT INTO AllTypes (I) VALUES (NULL)"), 1) << LastErrorMsg();
  Reopen();
  const TRows Stored = Query("SELECT Id, " + Columns + " FROM AllTypes ORDER BY Id");
  ASSERT_EQ(Stored.size(), 2u);
  for (std::size_t I = 0; I < Expected.size(); ++I) {
    const std::string Column = I == 0 ? "Id" : kTypeCases[I - 1].Definition;
    EXPECT_EQ(Stored[0][I], Expected[I]) << Column;
    EXPECT_EQ(Stored[1][I], Nulls[I]) << Column;
  }
}

// Omitted columns take their defaults, an explicit NULL stays NULL; NOT NULL, CHECK and UNIQUE
// refuse rows; the record id numbers new rows and continues after an id given by hand.
TEST_F(StatementDefinitionTest, DefaultsConstraintsAndRecordIds) {
  ASSERT_EQ(Change("CREATE TABLE K (Id AUTOINC UNIQUE, N INTEGER DEFAULT 40 + 2, "
                   "S VARCHAR(5) NOT NULL DEFAULT 'q', CONSTRAINT Positive CHECK (N > 0), "
                   "PRIMARY KEY (Id), UNIQUE (S))"), 0) << LastErrorMsg();
  EXPECT_EQ(Change("INSERT INTO K (S) VALUES ('a')"), 1) << LastErrorMsg();
  EXPECT_EQ(Change("INSERT INTO K (N) VALUES (7)"), 1) << LastErrorMsg();
  EXPECT_EQ(Change("INSERT INTO K (S, N) VALUES ('b', NULL)"), 1) << LastErrorMsg();
  struct TRefused { const char* Sql; std::int16_t Error; };
  for (const TRefused& Case : {TRefused{"INSERT INTO K (S, N) VALUES ('c', -1)", 167},
                               TRefused{"INSERT INTO K (S, N) VALUES ('a', 1)", 30},
                               TRefused{"INSERT INTO K (S, N) VALUES (NULL, 1)", 47},
                               TRefused{"UPDATE K SET N = 0", 167}})
    EXPECT_EQ(FailingChange(Case.Sql), Case.Error) << Case.Sql << ": " << LastErrorMsg();
  EXPECT_EQ(Change("INSERT INTO K (Id, S) VALUES (10, 'h')"), 1) << LastErrorMsg();
  EXPECT_EQ(Change("INSERT INTO K (S) VALUES ('n')"), 1) << LastErrorMsg();
  EXPECT_EQ(Query("SELECT Id, N, S FROM K ORDER BY Id"),
            (TRows{{"1", "42", "a"}, {"2", "7", "q"}, {"3", "NULL", "b"}, {"10", "42", "h"}, {"11", "42", "n"}}));
  Reopen();
  EXPECT_EQ(Change("INSERT INTO K (S) VALUES ('z')"), 1) << LastErrorMsg();
  EXPECT_EQ(Query("SELECT Id FROM K WHERE S = 'z'"), (TRows{{"12"}}));
}

// A value that the column cannot hold whole is refused instead of being wrapped or cut.
TEST_F(StatementDefinitionTest, ValuesThatDoNotFitAreRefused) {
  ASSERT_EQ(Change("CREATE TABLE Small (Y BYTE, S SMALLINT, I INTEGER, V VARCHAR(3))"), 0) << LastErrorMsg();
  for (const char* Values : {"(256, 0, 0, 'a')", "(0, 40000, 0, 'a')", "(0, 0, 2.5, 'a')", "(0, 0, 0, 'abcd')",
                             "(-1, 0, 0, 'a')"})
    EXPECT_EQ(FailingChange(std::string("INSERT INTO Small VALUES ") + Values), 43) << Values << ": " << LastErrorMsg();
  EXPECT_EQ(Change("INSERT INTO Small VALUES (255, -32768, 3.0, 'abc')"), 1) << LastErrorMsg();
  EXPECT_EQ(FailingChange("UPDATE Small SET S = S - 1"), 43) << LastErrorMsg();
  EXPECT_EQ(Query("SELECT Y, S, I, V FROM Small"), (TRows{{"255", "-32768", "3", "abc"}}));
}

// Full-text indexes and searches are refused with error 187, also over a table without rows.
TEST_F(StatementDefinitionTest, FullTextIsRefused) {
  ASSERT_EQ(Change("CREATE TABLE Texts (N VARCHAR(10))"), 0) << LastErrorMsg();
  struct TCase { const char* Sql; const char* Message; };
  for (const TCase& Case : {TCase{"CREATE FULLTEXTINDEX Words ON Texts (N) DICTIONARY D", "Full-text indexes"},
                            TCase{"UPDATE FULLTEXTINDEX Texts.*", "Full-text indexes"},
                            TCase{"DROP FULLTEXTINDEX Texts.Words", "Full-text indexes"},
                            TCase{"SELECT * FROM Texts WHERE CONTAINS('x' IN *)", "Full-text search (CONTAINS)"}}) {
    EXPECT_EQ(FailingChange(Case.Sql), 187) << Case.Sql;
    EXPECT_EQ(LastErrorMsg(), std::string("This feature is not supported: ") + Case.Message) << Case.Sql;
  }
}

TEST_F(StatementDefinitionTest, IndexedColumnsOfSeveralTypes) {
  ASSERT_EQ(Change("CREATE TABLE Ix (Id AUTOINC, D DATE, W VARWCHAR(10), B BIGINT)"), 0) << LastErrorMsg();
  for (const char* Row : {"(DATE '2020-01-02', 'b', 3)", "(DATE '2019-05-06', 'a', 1)", "(DATE '2021-07-08', 'c', 2)"})
    ASSERT_EQ(Change(std::string("INSERT INTO Ix (D, W, B) VALUES ") + Row), 1) << LastErrorMsg();
  for (const char* Index : {"CREATE INDEX ByDate ON Ix (D)", "CREATE UNIQUE INDEX ByWide ON Ix (W DESC)",
                            "CREATE INDEX ByBig ON Ix (B)"})
    ASSERT_EQ(Change(Index), 0) << Index << ": " << LastErrorMsg();
  EXPECT_EQ(Query("SELECT Id, D FROM Ix WHERE D > DATE '2019-12-31' ORDER BY D"), (TRows{{"1", "02.01.2020"}, {"3", "08.07.2021"}}));
  EXPECT_EQ(Query("SELECT Id, B FROM Ix WHERE B BETWEEN 2 AND 3 ORDER BY B"), (TRows{{"3", "2"}, {"1", "3"}}));
  EXPECT_EQ(FailingChange("INSERT INTO Ix (W) VALUES ('a')"), 30) << LastErrorMsg();
}

TEST_F(StatementDefinitionTest, BadDefinitionsAreRefusedAndCreateNothing) {
  struct TBad { const char* Sql; std::int16_t Error; };
  for (const TBad& Case : {TBad{"CREATE TABLE Bad (V VARCHAR(5) COLLATE Klingon)", 138},
                           TBad{"CREATE TABLE Bad (Id AUTOINC, Other AUTOINC)", 76},
                           TBad{"CREATE TABLE Bad (A INTEGER, A INTEGER)", 71}}) {
    EXPECT_EQ(FailingChange(Case.Sql), Case.Error) << Case.Sql << ": " << LastErrorMsg();
    EXPECT_EQ(PrepareError("SELECT * FROM Bad"), 88) << Case.Sql;
  }
}

}  // namespace
}  // namespace vdb::test

namespace vdb::test {
namespace {

// CURRENTRECORDID(table) reads the record id of the named table's current row, by table name or
// alias, in select lists, conditions, outer joins and updates.
TEST_F(StatementDefinitionTest, CurrentRecordIdReadsTheRowsRecordId) {
  ASSERT_EQ(Change("CREATE TABLE T (Id AUTOINC, N VARCHAR(5))"), 0) << LastErrorMsg();
  ASSERT_EQ(Change("CREATE TABLE P (X INTEGER)"), 0) << LastErrorMsg();
  for (const char* Sql : {"INSERT INTO T (N) VALUES ('a')", "INSERT INTO T (N) VALUES ('b')",
                          "INSERT INTO T (N) VALUES ('c')", "DELETE FROM T WHERE N = 'a'",
                          "INSERT INTO P VALUES (3)", "INSERT INTO P VALUES (9)"})
    ASSERT_EQ(Change(Sql), 1) << Sql << ": " << LastErrorMsg();
  struct TCase { const char* Sql; TRows Expected; };
  const TCase Cases[] = {
      {"SELECT N, CURRENTRECORDID(T) FROM T ORDER BY 2", {{"b", "2"}, {"c", "3"}}},
      {"SELECT Two.N FROM T Two WHERE CURRENTRECORDID(Two) > 2", {{"c"}}},
      {"SELECT X, CURRENTRECORDID(T) FROM P LEFT JOIN T ON P.X = T.Id ORDER BY X", {{"3", "3"}, {"9", "NULL"}}},
      {"SELECT A.N, B.N FROM T A, T B WHERE CURRENTRECORDID(A) < CURRENTRECORDID(B)", {{"b", "c"}}},
  };
  for (const TCase& Case : Cases) EXPECT_EQ(Query(Case.Sql), Case.Expected) << Case.Sql;
  EXPECT_EQ(Change("UPDATE T SET N = N || CAST(CURRENTRECORDID(T) AS VARCHAR(3))"), 2) << LastErrorMsg();
  EXPECT_EQ(Query("SELECT N FROM T ORDER BY N"), (TRows{{"b2"}, {"c3"}}));
  TVdbStatement& Named = Run("SELECT CURRENTRECORDID(T) FROM T");
  EXPECT_EQ(Catalog().GetRelation(Named.ResultRltnIdx())->GetColumnDef(1).Name, "CURRENTRECORDID(T)");
}

TEST_F(StatementDefinitionTest, CurrentRecordIdErrors) {
  ASSERT_EQ(Change("CREATE TABLE P (X INTEGER)"), 0) << LastErrorMsg();
  struct TBad { const char* Sql; std::int16_t Error; const char* Message; };
  for (const TBad& Case : {TBad{"SELECT CURRENTRECORDID(P) FROM P", 64, "Table \"P\" has no record id column"},
                           TBad{"SELECT CURRENTRECORDID(Q) FROM P", 88, "Table \"Q\" not found"}}) {
    EXPECT_EQ(FailingChange(Case.Sql), Case.Error) << Case.Sql;
    EXPECT_EQ(LastErrorMsg(), Case.Message);
  }
  TVdbStatement& Literal = NewStatement();
  EXPECT_EQ(Literal.SetText("SELECT CURRENTRECORDID(1) FROM P"), -59);
  EXPECT_EQ(LastErrorMsg(), "Argument to CurrentRecordId must be a table name literal");
}

}  // namespace
}  // namespace vdb::test
