// ALTER TABLE: columns added, dropped, renamed and changed with the rows converted, constraints
// added and dropped, indexes built again; a change that fails leaves the table as it was.
#include <gtest/gtest.h>

#include "VdbStatementWriteSupport.h"

namespace vdb::test {
namespace {

class StatementAlterTest : public StatementWriteFixture {
 protected:
  void SetUp() override {
    StatementWriteFixture::SetUp();
    OpenLexicon({{"alma", "gyumolcs", 2}});
    ASSERT_EQ(Change("CREATE TABLE T (Id AUTOINC, N VARCHAR(10), X INTEGER, M LONGVARCHAR, PRIMARY KEY (Id))"), 0)
        << LastErrorMsg();
    for (const char* Row : {"('a', 1, 'memo a')", "('b', 22, 'memo b')", "('c', NULL, NULL)"})
      ASSERT_EQ(Change(std::string("INSERT INTO T (N, X, M) VALUES ") + Row), 1) << LastErrorMsg();
    ASSERT_EQ(Change("CREATE INDEX ByN ON T (N)"), 0) << LastErrorMsg();
    Statements.clear();
  }
  // The column names of T, in order.
  std::vector<std::string> Columns() {
    TVdbStatement& Statement = Run("SELECT * FROM T");
    const TVdbRelation& Result = *Catalog().GetRelation(Statement.ResultRltnIdx());
    std::vector<std::string> Names;
    for (std::int16_t FieldNo = 1; FieldNo <= Result.GetColumnCount(); ++FieldNo)
      Names.push_back(Result.GetColumnDef(FieldNo).Name);
    return Names;
  }
};

TEST_F(StatementAlterTest, ColumnsAreAddedRenamedChangedAndDropped) {
  // A statement that still reads the table keeps it from being changed.
  TVdbStatement& Reading = Run("SELECT * FROM T");
  EXPECT_EQ(FailingChange("ALTER TABLE T ADD Extra INTEGER"), 175) << LastErrorMsg();
  Reading.Unprepare();
  Statements.clear();
  ASSERT_EQ(Change("ALTER TABLE T ADD Extra INTEGER DEFAULT 5, RENAME COLUMN N TO Name, MODIFY X VARCHAR(5)"), 0)
      << LastErrorMsg();
  EXPECT_EQ(Columns(), (std::vector<std::string>{"Id", "Name", "X", "M", "Extra"}));
  Statements.clear();
  EXPECT_EQ(Query("SELECT Id, Name, X || '!', M, Extra FROM T ORDER BY Id"),
            (TRows{{"1", "a", "1!", "memo a", "5"}, {"2", "b", "22!", "memo b", "5"}, {"3", "c", "NULL", "NULL", "5"}}));
  // The index follows the renamed column; record ids go on; the primary key still holds.
  TVdbStatement& Found = Run("SELECT Id FROM T WHERE Name = 'b'");
  EXPECT_NE(Found.PlanText().find("index #"), std::string::npos) << Found.PlanText();
  EXPECT_EQ(Rows(Found), (TRows{{"2"}}));
  EXPECT_EQ(Change("INSERT INTO T (Name) VALUES ('d')"), 1) << LastErrorMsg();
  EXPECT_EQ(Query("SELECT Id, Extra FROM T WHERE Name = 'd'"), (TRows{{"4", "5"}}));
  EXPECT_EQ(FailingChange("INSERT INTO T (Id, Name) VALUES (2, 'again')"), 30) << LastErrorMsg();
  Statements.clear();
  ASSERT_EQ(Change("ALTER TABLE T DROP COLUMN Name, DROP M"), 0) << LastErrorMsg();
  EXPECT_EQ(Columns(), (std::vector<std::string>{"Id", "X", "Extra"}));
  EXPECT_LT(Catalog().GetRelation(Run("SELECT * FROM T").ResultRltnIdx())->GetIndexNo("ByN"), 0);
  EXPECT_EQ(Query("SELECT Id, X FROM T ORDER BY Id"), (TRows{{"1", "1"}, {"2", "22"}, {"3", "NULL"}, {"4", "NULL"}}));
}

// Values are converted between types; memos become strings and strings memos.
TEST_F(StatementAlterTest, ValuesAreConverted) {
  struct TCase { const char* Alter; const char* Select; TRows Expected; };
  const TCase Cases[] = {
      {"ALTER TABLE T MODIFY X VARCHAR(8)", "SELECT Id, X FROM T ORDER BY Id", {{"1", "1"}, {"2", "22"}, {"3", "NULL"}}},
      {"ALTER TABLE T MODIFY X DOUBLE", "SELECT Id, X / 4 FROM T ORDER BY Id", {{"1", "0.25"}, {"2", "5.5"}, {"3", "NULL"}}},
      {"ALTER TABLE T MODIFY M VARCHAR(20)", "SELECT M FROM T WHERE M LIKE 'memo%' ORDER BY M", {{"memo a"}, {"memo b"}}},
      {"ALTER TABLE T MODIFY N LONGVARCHAR", "SELECT Id, N FROM T ORDER BY Id", {{"1", "a"}, {"2", "b"}, {"3", "c"}}},
  };
  for (const TCase& Case : Cases) {
    Statements.clear();
    ASSERT_EQ(Change(Case.Alter), 0) << Case.Alter << ": " << LastErrorMsg();
    EXPECT_EQ(Query(Case.Select), Case.Expected) << Case.Alter;
  }
}

// A change that fails (a value that does not convert, a key the rows break, a name that is not
// there or is there already) leaves columns, rows and indexes as they were and no files behind.
TEST_F(StatementAlterTest, AFailedChangeLeavesTheTableAsItWas) {
  const std::vector<std::string> ColumnsBefore = Columns();
  const TRows RowsBefore = Query("SELECT * FROM T ORDER BY Id");
  Statements.clear();
  struct TBad { const char* Sql; std::int16_t Error; };
  for (const TBad& Case : {TBad{"ALTER TABLE T ADD Y INTEGER, MODIFY N INTEGER", 44},
                           TBad{"ALTER TABLE T MODIFY M VARCHAR(5)", 43},
                           TBad{"ALTER TABLE T MODIFY X BYTE, MODIFY Id INTEGER, MODIFY X DOUBLE, MODIFY X INTEGER, "
                                "ADD Z SMALLINT DEFAULT 7, MODIFY N VARCHAR(10), MODIFY X BYTE, MODIFY X DECIMAL, "
                                "MODIFY N VARCHAR(0)", 189},
                           TBad{"ALTER TABLE T MODIFY N VARCHAR(10) NOT NULL, MODIFY X INTEGER NOT NULL", 47},
                           TBad{"ALTER TABLE T ADD Y INTEGER DEFAULT 1, ADD CONSTRAINT OneY UNIQUE (Y)", 30},
                           TBad{"ALTER TABLE T ADD CONSTRAINT Small CHECK (X < 10)", 167},
                           TBad{"ALTER TABLE T ADD N INTEGER", 71},
                           TBad{"ALTER TABLE T DROP COLUMN Nincs", 50},
                           TBad{"ALTER TABLE T RENAME N TO X", 71},
                           TBad{"ALTER TABLE T DROP CONSTRAINT Nincs", 50},
                           TBad{"ALTER TABLE Nincs ADD Y INTEGER", 88}}) {
    Statements.clear();
    EXPECT_EQ(FailingChange(Case.Sql), Case.Error) << Case.Sql << ": " << LastErrorMsg();
    EXPECT_EQ(Columns(), ColumnsBefore) << Case.Sql;
    EXPECT_EQ(Query("SELECT * FROM T ORDER BY Id"), RowsBefore) << Case.Sql;
    EXPECT_EQ(PrepareError("SELECT * FROM tmpAlter_T"), 88) << Case.Sql;
    Statements.clear();
  }
  EXPECT_EQ(Query("SELECT Id FROM T WHERE N = 'c'"), (TRows{{"3"}}));
  EXPECT_GE(Catalog().GetRelation(Run("SELECT * FROM T").ResultRltnIdx())->GetIndexNo("ByN"), 0);
}

TEST_F(StatementAlterTest, ConstraintsAreAddedAndDropped) {
  ASSERT_EQ(Change("ALTER TABLE T ADD CONSTRAINT Positive CHECK (X > 0), ADD CONSTRAINT OneName UNIQUE (N)"), 0)
      << LastErrorMsg();
  EXPECT_EQ(FailingChange("INSERT INTO T (N, X) VALUES ('e', -1)"), 167) << LastErrorMsg();
  EXPECT_EQ(FailingChange("INSERT INTO T (N, X) VALUES ('a', 3)"), 30) << LastErrorMsg();
  Statements.clear();
  ASSERT_EQ(Change("ALTER TABLE T DROP CONSTRAINT Positive, DROP CONSTRAINT OneName"), 0) << LastErrorMsg();
  EXPECT_EQ(Change("INSERT INTO T (N, X) VALUES ('a', -1)"), 1) << LastErrorMsg();
  EXPECT_EQ(Query("SELECT COUNT(*) FROM T WHERE N = 'a'"), (TRows{{"2"}}));
}

// While another session reads the table it is not changed; once it is done, it is.
TEST_F(StatementAlterTest, ATableAnotherSessionUsesIsNotChanged) {
  TVdbLocalSession Other;
  ASSERT_EQ(Other.Initialize(1), 0);
  Other.Catalog()->SetLocation(FPath);
  ASSERT_EQ(Other.OpenDb(), 0) << Other.Services()->LastErrorMsg();
  const std::vector<std::string> Before = Columns();
  Statements.clear();
  {
    TVdbStatement Reading(Other.Catalog());
    ASSERT_EQ(Reading.SetText("SELECT N FROM T"), 0);
    ASSERT_EQ(Reading.Prepare(), 0) << Other.Services()->LastErrorMsg();
    ASSERT_GE(Reading.Execute(), 0) << Other.Services()->LastErrorMsg();
    EXPECT_GT(FailingChange("ALTER TABLE T ADD Later INTEGER"), 0);
    EXPECT_EQ(Columns(), Before);
    Statements.clear();
  }
  Other.CloseDb();
  EXPECT_EQ(Change("ALTER TABLE T ADD Later INTEGER"), 0) << LastErrorMsg();
}

// Another session that opens the table afterwards reads the new definition.
TEST_F(StatementAlterTest, OtherSessionsSeeTheNewDefinition) {
  ASSERT_EQ(Change("ALTER TABLE T ADD Flag BOOLEAN DEFAULT TRUE, DROP COLUMN M"), 0) << LastErrorMsg();
  TVdbLocalSession Other;
  ASSERT_EQ(Other.Initialize(1), 0);
  Other.Catalog()->SetLocation(FPath);
  ASSERT_EQ(Other.OpenDb(), 0) << Other.Services()->LastErrorMsg();
  {
    TVdbStatement Statement(Other.Catalog());
    ASSERT_EQ(Statement.SetText("SELECT N, Flag FROM T ORDER BY N"), 0);
    ASSERT_EQ(Statement.Prepare(), 0) << Other.Services()->LastErrorMsg();
    ASSERT_GE(Statement.Execute(), 0) << Other.Services()->LastErrorMsg();
    EXPECT_EQ(ReadRows(*Other.Catalog(), Statement.ResultRltnIdx(), Statement.ResultIndexNo()),
              (TRows{{"a", "True"}, {"b", "True"}, {"c", "True"}}));
  }
  Other.CloseDb();
}

}  // namespace
}  // namespace vdb::test
