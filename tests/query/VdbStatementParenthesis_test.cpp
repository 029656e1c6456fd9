// Statements whose values start with a parenthesis, run against a real database: the
// parenthesised expression computes per row, the parenthesised query gives one value.
#include <gtest/gtest.h>

#include "VdbStatementWriteSupport.h"

namespace vdb::test {
namespace {

class StatementParenthesisTest : public StatementWriteFixture {
 protected:
  void SetUp() override {
    StatementWriteFixture::SetUp();
    OpenLexicon({{"alma", "gyumolcs", 2}});
    ASSERT_EQ(Change("CREATE TABLE Big (Id INTEGER NOT NULL, Val INTEGER, PRIMARY KEY (Id))"), 0) << LastErrorMsg();
    for (const char* Row : {"(12, 0)", "(13, 0)", "(100, 0)"})
      ASSERT_EQ(Change(std::string("INSERT INTO Big VALUES ") + Row), 1) << Row << ": " << LastErrorMsg();
  }
};

TEST_F(StatementParenthesisTest, UpdateWithAParenthesisedExpressionComputesEveryRow) {
  EXPECT_EQ(Change("UPDATE Big SET Val = (Id * 7919) MOD 100000"), 3) << LastErrorMsg();
  EXPECT_EQ(Query("SELECT Id, Val FROM Big ORDER BY Id"),
            (TRows{{"12", "95028"}, {"13", "2947"}, {"100", "91900"}}));
  EXPECT_EQ(Change("UPDATE Big SET Val = (Val + 1) * (2) WHERE (Id) > 12"), 2) << LastErrorMsg();
  EXPECT_EQ(Query("SELECT Id, Val FROM Big ORDER BY Id"),
            (TRows{{"12", "95028"}, {"13", "5896"}, {"100", "183802"}}));
}

TEST_F(StatementParenthesisTest, UpdateWithAParenthesisedQueryAssignsItsValue) {
  EXPECT_EQ(Change("UPDATE Big SET Val = (SELECT MAX(Id) FROM Big)"), 3) << LastErrorMsg();
  EXPECT_EQ(Query("SELECT Id, Val FROM Big ORDER BY Id"), (TRows{{"12", "100"}, {"13", "100"}, {"100", "100"}}));
}

// A correlation name may hold a dot: it qualifies columns whole, only a data file's extension
// is taken off a table part.
TEST_F(StatementParenthesisTest, DottedCorrelationNamesQualifyColumnsWhole) {
  EXPECT_EQ(Query("SELECT \"T.DATA\".Id FROM Big \"T.DATA\" WHERE \"T.DATA\".Id > (12) ORDER BY Id"),
            (TRows{{"13"}, {"100"}}));
  EXPECT_EQ(Query("SELECT \"Big.vdbt\".Id FROM Big WHERE \"BIG.DAT\".Id < (13)"), (TRows{{"12"}}));
}

}  // namespace
}  // namespace vdb::test
