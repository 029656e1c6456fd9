// Statements that change the database: CREATE TABLE / INDEX, INSERT, UPDATE, DELETE, DROP; a
// statement changes all its rows or none; checks are enforced; column names that are function
// names.
#include <gtest/gtest.h>

#include <filesystem>

#include "VdbStatementWriteSupport.h"

namespace vdb::test {
namespace {

class StatementWriteTest : public StatementWriteFixture {
 protected:
  void SetUp() override {
    StatementWriteFixture::SetUp();
    OpenLexicon({{"alma", "gyumolcs", 2}});
  }
  void CreatePeople() {
    ASSERT_EQ(Change("CREATE TABLE People (Id INTEGER NOT NULL, Name VARCHAR(20), Note LONGVARCHAR, "
                     "PRIMARY KEY (Id))"), 0) << LastErrorMsg();
    for (const char* Row : {"(1, 'Anna', 'first')", "(2, 'Bela', NULL)", "(3, 'Cili', 'third one')",
                            "(4, NULL, 'no name')"})
      ASSERT_EQ(Change(std::string("INSERT INTO People VALUES ") + Row), 1) << Row << ": " << LastErrorMsg();
  }
};

TEST_F(StatementWriteTest, CreateInsertSelectUpdateDelete) {
  CreatePeople();
  EXPECT_EQ(Query("SELECT Id, Name, Note FROM People ORDER BY Id"),
            (TRows{{"1", "Anna", "first"}, {"2", "Bela", "NULL"}, {"3", "Cili", "third one"}, {"4", "NULL", "no name"}}));
  EXPECT_EQ(Change("UPDATE People SET Name = Name || '!', Note = 'changed' WHERE Id >= 2 AND Name IS NOT NULL"), 2)
      << LastErrorMsg();
  EXPECT_EQ(Query("SELECT Id, Name, Note FROM People ORDER BY Id"),
            (TRows{{"1", "Anna", "first"}, {"2", "Bela!", "changed"}, {"3", "Cili!", "changed"}, {"4", "NULL", "no name"}}));
  EXPECT_EQ(Change("DELETE FROM People WHERE Note = 'changed'"), 2) << LastErrorMsg();
  EXPECT_EQ(Query("SELECT Id FROM People ORDER BY Id"), (TRows{{"1"}, {"4"}}));
  EXPECT_EQ(Change("INSERT INTO People (Name, Id) VALUES ('Dani', 7)"), 1) << LastErrorMsg();
  EXPECT_EQ(Change("UPDATE People SET Id = Id + 10"), 3) << LastErrorMsg();
  EXPECT_EQ(Query("SELECT Id, Name FROM People ORDER BY Id DESC"), (TRows{{"17", "Dani"}, {"14", "NULL"}, {"11", "Anna"}}));
  EXPECT_EQ(Change("DELETE FROM People"), 3) << LastErrorMsg();
  EXPECT_TRUE(Query("SELECT * FROM People WHERE Id > 0").empty());
}

TEST_F(StatementWriteTest, InsertFromAQueryAndTheTablesStayUsable) {
  CreatePeople();
  ASSERT_EQ(Change("CREATE TABLE Copy (Id INTEGER, Name VARCHAR(30))"), 0) << LastErrorMsg();
  EXPECT_EQ(Change("INSERT INTO Copy SELECT Id * 2, Name FROM People WHERE Name IS NOT NULL"), 3) << LastErrorMsg();
  EXPECT_EQ(Query("SELECT Id, Name FROM Copy ORDER BY Id"), (TRows{{"2", "Anna"}, {"4", "Bela"}, {"6", "Cili"}}));
  // Into the table it reads from: the rows are collected before the first one is written.
  EXPECT_EQ(Change("INSERT INTO Copy SELECT Id + 1, Name FROM Copy"), 3) << LastErrorMsg();
  EXPECT_EQ(Query("SELECT Id FROM Copy ORDER BY Id"), (TRows{{"2"}, {"3"}, {"4"}, {"5"}, {"6"}, {"7"}}));
}

// A statement that fails on a later row leaves the rows before it as they were.
TEST_F(StatementWriteTest, AFailingRowUndoesTheWholeStatement) {
  CreatePeople();
  const TRows Before = Query("SELECT Id, Name, Note FROM People ORDER BY Id");
  // Id 1 -> 2, 2 -> 3, ... the row that would become 4 meets the stored 4: a duplicate key.
  EXPECT_EQ(FailingChange("UPDATE People SET Id = Id + 1, Note = 'x' WHERE Id < 4"), 30) << LastErrorMsg();
  EXPECT_EQ(Query("SELECT Id, Name, Note FROM People ORDER BY Id"), Before);
  ASSERT_EQ(Change("CREATE TABLE Pairs (A INTEGER NOT NULL, PRIMARY KEY (A))"), 0) << LastErrorMsg();
  ASSERT_EQ(Change("INSERT INTO Pairs VALUES (3)"), 1);
  EXPECT_EQ(FailingChange("INSERT INTO Pairs SELECT Id FROM People"), 30) << LastErrorMsg();
  EXPECT_EQ(Query("SELECT A FROM Pairs"), (TRows{{"3"}}));
  // A value that cannot be computed stops the statement before anything is written.
  EXPECT_GT(FailingChange("UPDATE People SET Id = 1000000 / (Id - 3)"), 0);
  EXPECT_EQ(Query("SELECT Id, Name, Note FROM People ORDER BY Id"), Before);
  // NOT NULL.
  EXPECT_EQ(FailingChange("INSERT INTO People (Name) VALUES ('nobody')"), 47) << LastErrorMsg();
  EXPECT_EQ(Query("SELECT Id, Name, Note FROM People ORDER BY Id"), Before);
}

TEST_F(StatementWriteTest, ChecksAreEnforced) {
  ASSERT_EQ(Change("CREATE TABLE Checked (X INTEGER, CHECK (X > 0))"), 0) << LastErrorMsg();
  EXPECT_EQ(Change("INSERT INTO Checked VALUES (5)"), 1) << LastErrorMsg();
  EXPECT_GT(FailingChange("INSERT INTO Checked VALUES (-5)"), 0);
  EXPECT_GT(FailingChange("UPDATE Checked SET X = X - 10"), 0);
  EXPECT_EQ(Query("SELECT X FROM Checked"), (TRows{{"5"}}));
}

TEST_F(StatementWriteTest, IndexesAreCreatedUsedAndDropped) {
  CreatePeople();
  ASSERT_EQ(Change("CREATE INDEX ByName ON People (Name)"), 0) << LastErrorMsg();
  TVdbStatement& Found = Run("SELECT Id FROM People WHERE Name = 'Cili'");
  EXPECT_NE(Found.PlanText().find("index #"), std::string::npos) << Found.PlanText();
  EXPECT_EQ(Rows(Found), (TRows{{"3"}}));
  ASSERT_EQ(Change("DROP INDEX People.ByName"), 0) << LastErrorMsg();
  Statements.clear();
  // Without an index the session either makes a temporary one or scans, as it is set.
  for (const bool Automatic : {false, true}) {
    FSession->Services()->SetAutoCreateIndexes(Automatic);
    TVdbStatement& Again = Run("SELECT Id FROM People WHERE Name = 'Cili'");
    EXPECT_EQ(Again.PlanText().find("index #") != std::string::npos, Automatic) << Again.PlanText();
    EXPECT_EQ(Rows(Again), (TRows{{"3"}}));
  }
}

TEST_F(StatementWriteTest, DropTableRemovesItAndUnknownTablesAreError88) {
  CreatePeople();
  Statements.clear();
  ASSERT_EQ(Change("DROP TABLE People"), 0) << LastErrorMsg();
  EXPECT_EQ(PrepareError("SELECT * FROM People"), 88);
  EXPECT_EQ(FailingChange("DROP TABLE People"), 88);
  EXPECT_EQ(FailingChange("INSERT INTO Nincs VALUES (1)"), 88);
  // The name is free again.
  EXPECT_EQ(Change("CREATE TABLE People (Id INTEGER)"), 0) << LastErrorMsg();
  EXPECT_EQ(FailingChange("CREATE TABLE People (Id INTEGER)"), 72);
}

// Group results are temporary tables in the session's private directory, gone once nothing
// uses them; an item that is neither grouped nor aggregated is error 172.
TEST_F(StatementWriteTest, GroupResultsAreTemporaryTablesAndItemsMustBeGrouped) {
  CreatePeople();
  const std::filesystem::path Private = FDir / "private";
  std::filesystem::create_directories(Private);
  FSession->Services()->SetPrivateDir(Private.string());
  auto Files = [&] {
    std::size_t Count = 0;
    for (const auto& Entry : std::filesystem::recursive_directory_iterator(Private)) Count += Entry.is_regular_file();
    return Count;
  };
  {
    TVdbStatement& Statement = Run("SELECT Id - Id AS Zero, COUNT(Note) AS N FROM People GROUP BY Id - Id ORDER BY 1");
    EXPECT_EQ(Rows(Statement), (TRows{{"0", "3"}}));
    EXPECT_GT(Files(), 0u);
    Statement.Unprepare();
    EXPECT_EQ(Files(), 0u);
  }
  EXPECT_EQ(PrepareError("SELECT Id, Name, COUNT(*) FROM People GROUP BY Id"), 172) << LastErrorMsg();
  EXPECT_EQ(PrepareError("SELECT Name, COUNT(*) FROM People"), 172) << LastErrorMsg();
  EXPECT_EQ(PrepareError("SELECT Id, COUNT(*) FROM People GROUP BY Id ORDER BY Nincs"), 50) << LastErrorMsg();
  EXPECT_EQ(Files(), 0u);
}

// Columns named like functions that take arguments are read as columns (they used to become calls
// without arguments).
TEST_F(StatementWriteTest, ColumnsNamedLikeFunctions) {
  ASSERT_EQ(Change("CREATE TABLE F (Len INTEGER, Count INTEGER, Str VARCHAR(5))"), 0) << LastErrorMsg();
  ASSERT_EQ(Change("INSERT INTO F (Len, Count, Str) VALUES (1, 2, 'abc')"), 1) << LastErrorMsg();
  ASSERT_EQ(Change("INSERT INTO F VALUES (4, 5, 'de')"), 1) << LastErrorMsg();
  EXPECT_EQ(Query("SELECT Len, Count + 1, Str, Len(Str) FROM F WHERE Len = 1"), (TRows{{"1", "3", "abc", "3"}}));
  EXPECT_EQ(Query("SELECT Str, Len FROM F ORDER BY Len DESC"), (TRows{{"de", "4"}, {"abc", "1"}}));
}

// Text parameters keep letters outside Latin-1 ("ő", "ű") on their way to the Windows-1250
// columns of the lexicon, as values written, compared and matched.
TEST_F(StatementWriteTest, TextParametersKeepEveryLetterOfTheColumnsCodePage) {
  TVdbStatement& Insert = NewStatement();
  ASSERT_EQ(Insert.SetText("INSERT INTO Data (CIMSZO, LEIRAS) VALUES (:w, :d)"), 0) << LastErrorMsg();
  ASSERT_EQ(Insert.AddParameter("w", kVdbStringCode, 40), 0);
  ASSERT_EQ(Insert.AddParameter("d", kVdbMemoCode, 0), 0);
  ASSERT_EQ(Insert.Prepare(), 0) << LastErrorMsg();
  const std::vector<std::pair<std::string, std::string>> Words = {
      {"Őrző", "a vad őrzője"}, {"tűzés", "Ű és ű, Ő és ő"}, {"fű", "ő"}};
  for (const auto& [Word, Description] : Words) {
    ASSERT_EQ(Insert.SetParamValue("w", Word.data(), static_cast<std::int32_t>(Word.size())), 0);
    ASSERT_EQ(Insert.SetParamValue("d", Description.data(), static_cast<std::int32_t>(Description.size())), 0);
    ASSERT_EQ(Insert.Execute(), 1) << LastErrorMsg();
  }
  TVdbStatement& Find = NewStatement();
  ASSERT_EQ(Find.SetText("SELECT CIMSZO, LEIRAS FROM Data WHERE CIMSZO = :w OR LEIRAS LIKE :p"), 0);
  ASSERT_EQ(Find.AddParameter("w", kVdbStringCode, 0), 0);
  ASSERT_EQ(Find.AddParameter("p", kVdbStringCode, 0), 0);
  ASSERT_EQ(Find.Prepare(), 0) << LastErrorMsg();
  for (const auto& [Word, Description] : Words) {
    SCOPED_TRACE(Word);
    ASSERT_EQ(Find.SetParamValue("w", Word.data(), static_cast<std::int32_t>(Word.size())), 0);
    ASSERT_EQ(Find.SetParamValue("p", "", -1), 0);
    ASSERT_GE(Find.Execute(), 0) << LastErrorMsg();
    EXPECT_EQ(Rows(Find), (TRows{{Word, Description}}));
  }
  // "ő" matches "ő" and "Ő" (the collation ignores case), and no "o" or "ö".
  ASSERT_EQ(Find.SetParamValue("w", "", -1), 0);
  ASSERT_EQ(Find.SetParamValue("p", "%ő%", -1 - 1), 0);
  ASSERT_GE(Find.Execute(), 0) << LastErrorMsg();
  EXPECT_EQ(Rows(Find).size(), 3u);
}

// Index bounds on a table that has never held a row (its key index not written yet) find no
// row and raise no error, over the key and over a secondary index, alone and in a join.
TEST_F(StatementWriteTest, BoundsOnAnEmptyTableFindNoRow) {
  ASSERT_EQ(Change("CREATE TABLE E (Id INTEGER NOT NULL, Name VARCHAR(10), PRIMARY KEY (Id))"), 0) << LastErrorMsg();
  ASSERT_EQ(Change("CREATE INDEX EN ON E (Name)"), 0) << LastErrorMsg();
  for (const char* Where : {"Id >= 5", "Id <= 5", "Id = 5", "Id > 1 AND Id < 9", "Name >= 'a'", "Name <= 'b'",
                            "Name LIKE 'a%'", "Name = 'a' AND Id = 1"}) {
    SCOPED_TRACE(Where);
    EXPECT_EQ(Query(std::string("SELECT * FROM E WHERE ") + Where), TRows{});
  }
  EXPECT_EQ(Query("SELECT Data.CIMSZO FROM Data, E WHERE E.Id = 2 AND E.Name = Data.CIMSZO"), TRows{});
}

// A range that leaves a large share of a table's rows is read by a scan in record order rather
// than through a temporary index; a small share, and an equality, still go through one, kept
// for the statements after it. The rows are the same either way.
TEST_F(StatementWriteTest, ATemporaryIndexServesOnlyRangesThatLeaveFewRows) {
  ASSERT_EQ(Change("CREATE TABLE D (X INTEGER)"), 0) << LastErrorMsg();
  for (int Digit = 0; Digit < 10; ++Digit) ASSERT_EQ(Change("INSERT INTO D VALUES (" + std::to_string(Digit) + ")"), 1);
  ASSERT_EQ(Change("CREATE TABLE R (Id INTEGER NOT NULL, Val INTEGER, PRIMARY KEY (Id))"), 0) << LastErrorMsg();
  ASSERT_EQ(Change("INSERT INTO R SELECT a.X * 1000 + b.X * 100 + c.X * 10 + d.X, c.X * 10 + d.X "
                   "FROM D a, D b, D c, D d WHERE a.X < 2"), 2000) << LastErrorMsg();
  struct Case {
    const char* Where;
    bool Scans;
    std::size_t Rows;
  };
  const Case Cases[] = {
      {"Val < 50", true, 1000},  {"Val >= 20", true, 1600}, {"Val BETWEEN 10 AND 69", true, 1200},
      {"Val < 5", false, 100},   {"Val > 90", false, 180},  {"Val >= 10 AND Val <= 12", false, 60},
      {"Val = 7", false, 20},    {"Val < 50", true, 1000},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Where);
    TVdbStatement& Statement = Run(std::string("SELECT Id FROM R WHERE ") + C.Where);
    const std::string Plan = Statement.PlanText();
    EXPECT_EQ(Plan.find("scan in record order") != std::string::npos, C.Scans) << Plan;
    EXPECT_EQ(Plan.find("index #") != std::string::npos, !C.Scans) << Plan;
    EXPECT_EQ(Rows(Statement).size(), C.Rows);
  }
}

}  // namespace
}  // namespace vdb::test
