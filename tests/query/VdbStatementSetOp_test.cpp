// UNION, EXCEPT and INTERSECT over memo, wide memo and blob columns (contents compared exactly),
// and CORRESPONDING [BY (...)], which pairs the operands' columns by name.
#include <gtest/gtest.h>

#include <algorithm>

#include "VdbStatementWriteSupport.h"

namespace vdb::test {
namespace {

// Two memos that are equal in their first 3000 characters and differ in the last one.
const std::string kLongA = std::string(3000, 'a') + "x";
const std::string kLongB = std::string(3000, 'a') + "y";

struct TSetCase {
  const char* Sql;
  TRows Expected;  // in any order
};

class StatementSetOpTest : public StatementWriteFixture {
 protected:
  void SetUp() override {
    StatementWriteFixture::SetUp();
    OpenLexicon({{"alma", "gyumolcs", 2}});
    for (const char* Table : {"A", "B"})
      ASSERT_EQ(Change(std::string("CREATE TABLE ") + Table +
                       " (Id INTEGER, Name VARCHAR(10), Note LONGVARCHAR, W LONGVARWCHAR, Bl LONGVARBINARY)"), 0)
          << LastErrorMsg();
    const std::vector<std::string> Rows = {
        "A VALUES (1, 'x', 'alpha', 'ő alpha', 'bytes1')",   "A VALUES (2, 'y', 'shared', 'ő shared', 'bytes2')",
        "A VALUES (3, 'z', NULL, NULL, NULL)",                "A VALUES (7, 'l', '" + kLongA + "', NULL, NULL)",
        "B VALUES (2, 'y', 'shared', 'ő shared', 'bytes2')", "B VALUES (4, 'w', 'beta', 'ő beta', 'bytes4')",
        "B VALUES (5, 'v', NULL, NULL, NULL)",                "B VALUES (6, 'u', 'Shared', 'Ő shared', 'Bytes2')",
        "B VALUES (8, 'l', '" + kLongB + "', NULL, NULL)"};
    for (const std::string& Row : Rows) ASSERT_EQ(Change("INSERT INTO " + Row), 1) << LastErrorMsg();
  }
  // The rows of a query in sorted order (set results have no order of their own).
  TRows Sorted(const std::string& Sql) {
    TRows Result = Query(Sql);
    std::sort(Result.begin(), Result.end());
    return Result;
  }
  template <std::size_t N>
  void ExpectSetResults(const TSetCase (&Cases)[N]) {
    for (const TSetCase& Case : Cases) {
      TRows Expected = Case.Expected;
      std::sort(Expected.begin(), Expected.end());
      EXPECT_EQ(Sorted(Case.Sql), Expected) << Case.Sql;
    }
  }
};


TEST_F(StatementSetOpTest, LongColumnsCompareByContent) {
  const TSetCase Cases[] = {
      {"SELECT Note FROM A UNION SELECT Note FROM B",
       {{"NULL"}, {"Shared"}, {"alpha"}, {"beta"}, {"shared"}, {kLongA}, {kLongB}}},
      {"SELECT Note FROM A EXCEPT SELECT Note FROM B", {{"alpha"}, {kLongA}}},
      {"SELECT Note FROM A INTERSECT SELECT Note FROM B", {{"NULL"}, {"shared"}}},
      {"SELECT W FROM A INTERSECT SELECT W FROM B", {{"NULL"}, {"ő shared"}}},
      {"SELECT W FROM B EXCEPT SELECT W FROM A", {{"Ő shared"}, {"ő beta"}}},
      {"SELECT Id, Bl FROM A INTERSECT SELECT Id, Bl FROM B", {{"2", "bytes2"}}},
      {"SELECT Bl FROM B EXCEPT SELECT Bl FROM A", {{"Bytes2"}, {"bytes4"}}},
      {"SELECT Bl FROM A UNION SELECT Bl FROM B", {{"NULL"}, {"Bytes2"}, {"bytes1"}, {"bytes2"}, {"bytes4"}}},
      {"SELECT Note, W FROM A UNION ALL SELECT Note, W FROM B WHERE Id = 2",
       {{"NULL", "NULL"}, {"alpha", "ő alpha"}, {"shared", "ő shared"}, {"shared", "ő shared"}, {kLongA, "NULL"}}},
      {"SELECT Note FROM B INTERSECT ALL SELECT Note FROM A UNION SELECT Note FROM A WHERE Id = 1",
       {{"NULL"}, {"alpha"}, {"shared"}}},
  };
  ExpectSetResults(Cases);
}

TEST_F(StatementSetOpTest, CorrespondingPairsColumnsByName) {
  const TSetCase Cases[] = {
      {"SELECT Id, Name FROM A UNION CORRESPONDING SELECT Name, Id FROM B WHERE Id < 5",
       {{"1", "x"}, {"2", "y"}, {"3", "z"}, {"4", "w"}, {"7", "l"}}},
      {"SELECT Id, Name AS Other FROM A EXCEPT CORRESPONDING SELECT Note, Id FROM B", {{"1"}, {"3"}, {"7"}}},
      {"SELECT * FROM A INTERSECT CORRESPONDING BY (Name) SELECT * FROM B", {{"l"}, {"y"}}},
      {"SELECT * FROM A UNION CORRESPONDING BY (Name, A.Id) SELECT Id, Name FROM B WHERE Id = 4 "
       "UNION CORRESPONDING BY (Name, Id) SELECT Name, Id FROM B WHERE Id = 5",
       {{"v", "5"}, {"w", "4"}, {"x", "1"}, {"y", "2"}, {"z", "3"}, {"l", "7"}}},
  };
  ExpectSetResults(Cases);
  TVdbStatement& Named = Run("SELECT Name, Id FROM A UNION CORRESPONDING BY (Id, Name) SELECT Id, Name FROM B");
  const TVdbRelation& Result = *Catalog().GetRelation(Named.ResultRltnIdx());
  ASSERT_EQ(Result.GetColumnCount(), 2);
  EXPECT_EQ(Result.GetColumnDef(1).Name, "Id");
  EXPECT_EQ(Result.GetColumnDef(2).Name, "Name");
}

TEST_F(StatementSetOpTest, UnpairableColumnsAreRefused) {
  struct TBad { const char* Sql; std::int16_t Error; };
  for (const TBad& Case : {
           TBad{"SELECT Note FROM A UNION SELECT Name FROM B", 44},
           TBad{"SELECT Note FROM A UNION SELECT W FROM B", 44},
           TBad{"SELECT Bl FROM A EXCEPT SELECT Note FROM B", 44},
           TBad{"SELECT Id, Name FROM A UNION SELECT Id FROM B", 57},
           TBad{"SELECT * FROM A UNION CORRESPONDING BY (Nincs) SELECT * FROM B", 50},
           TBad{"SELECT Id FROM A UNION CORRESPONDING SELECT Name FROM B", 57},
           TBad{"SELECT Id FROM A UNION CORRESPONDING BY (Id) SELECT Id FROM B "
                "UNION CORRESPONDING SELECT Id FROM B", 187},
           TBad{"SELECT Id FROM A UNION SELECT Id FROM B UNION CORRESPONDING SELECT Id FROM B", 187},
       })
    EXPECT_EQ(FailingChange(Case.Sql), Case.Error) << Case.Sql << ": " << LastErrorMsg();
}

}  // namespace
}  // namespace vdb::test
