// The statements against SQLite: the same random tables in both engines, a table of queries
// (conditions, joins of every kind, expressions, NULLs, ORDER BY with ties broken, TOP / LIMIT,
// writes), the results compared row for row. Every query orders by all its columns, so that the
// order is fully determined in both engines.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <random>

#include "VdbStatementTestSupport.h"

namespace vdb::test {
namespace {

using TRows = std::vector<std::vector<std::string>>;

class TSqlite {
 public:
  TSqlite() { EXPECT_EQ(sqlite3_open(":memory:", &FDb), SQLITE_OK); }
  ~TSqlite() { sqlite3_close(FDb); }
  TSqlite(const TSqlite&) = delete;
  TSqlite& operator=(const TSqlite&) = delete;
  void Exec(const std::string& Sql) {
    char* Error = nullptr;
    EXPECT_EQ(sqlite3_exec(FDb, Sql.c_str(), nullptr, nullptr, &Error), SQLITE_OK) << Sql << ": " << (Error ? Error : "");
    sqlite3_free(Error);
  }
  TRows Query(const std::string& Sql) {
    TRows Rows;
    sqlite3_stmt* Statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(FDb, Sql.c_str(), -1, &Statement, nullptr), SQLITE_OK) << Sql << ": " << sqlite3_errmsg(FDb);
    while (Statement != nullptr && sqlite3_step(Statement) == SQLITE_ROW) {
      std::vector<std::string> Row;
      for (int I = 0; I < sqlite3_column_count(Statement); ++I) {
        const auto* Text = sqlite3_column_text(Statement, I);
        Row.push_back(Text == nullptr ? "NULL" : reinterpret_cast<const char*>(Text));
      }
      Rows.push_back(std::move(Row));
    }
    sqlite3_finalize(Statement);
    return Rows;
  }

 private:
  sqlite3* FDb = nullptr;
};

// Random rows: small value ranges, so that joins match and ties occur; about one value in six
// is NULL.
std::vector<std::string> RandomRows(std::mt19937& Random, int Count) {
  const char* Words[] = {"a", "ab", "b", "ba", "bb", "c", "abc", "ca"};
  std::uniform_int_distribution<int> Small(0, 6), Word(0, 7), Null(0, 5);
  std::vector<std::string> Rows;
  for (int I = 0; I < Count; ++I) {
    auto Number = [&] { return Null(Random) == 0 ? std::string("NULL") : std::to_string(Small(Random)); };
    const std::string Text = Null(Random) == 0 ? "NULL" : "'" + std::string(Words[Word(Random)]) + "'";
    Rows.push_back("(" + Number() + ", " + Number() + ", " + Text + ")");
  }
  return Rows;
}

class StatementSqliteTest : public StatementFixture, public ::testing::WithParamInterface<unsigned> {
 protected:
  void SetUp() override {
    StatementFixture::SetUp();
    OpenLexicon({{"alma", "gyumolcs", 2}});
    std::mt19937 Random(GetParam());
    for (const char* Table : {"T1", "T2", "T3"}) {
      const std::string Create = std::string("CREATE TABLE ") + Table + " (a INTEGER, b INTEGER, c VARCHAR(10))";
      Both(Create);
      const int Count = std::string(Table) == "T3" ? 0 : 25 + static_cast<int>(Random() % 20);
      for (const std::string& Row : RandomRows(Random, Count)) Both(std::string("INSERT INTO ") + Table + " VALUES " + Row);
    }
  }
  // A statement run in both engines; the engine's result must be a success.
  void Both(const std::string& Sql) {
    Lite.Exec(Sql);
    TVdbStatement& Statement = NewStatement();
    ASSERT_EQ(Statement.SetText(Sql), 0) << Sql << ": " << LastErrorMsg();
    ASSERT_EQ(Statement.Prepare(), 0) << Sql << ": " << LastErrorMsg();
    ASSERT_GE(Statement.Execute(), 0) << Sql << ": " << LastErrorMsg();
    Statements.clear();
  }
  void Compare(const std::string& Ours, const std::string& Theirs) {
    SCOPED_TRACE(Ours);
    TVdbStatement& Statement = NewStatement();
    ASSERT_EQ(Statement.SetText(Ours), 0) << LastErrorMsg();
    ASSERT_EQ(Statement.Prepare(), 0) << LastErrorMsg();
    ASSERT_GE(Statement.Execute(), 0) << LastErrorMsg();
    EXPECT_EQ(Rows(Statement), Lite.Query(Theirs)) << Statement.PlanText();
    Statements.clear();
  }
  void Compare(const std::string& Sql) { Compare(Sql, Sql); }
  void CompareTables() {
    for (const char* Table : {"T1", "T2"}) Compare(std::string("SELECT a, b, c FROM ") + Table + " ORDER BY 1, 2, 3");
  }

  TSqlite Lite;
};

TEST_P(StatementSqliteTest, ConditionsAndExpressions) {
  for (const std::string Where :
       {"b > 3", "a = 2", "a <> 2", "a >= 2 AND a < 5", "a BETWEEN 1 AND 3", "NOT (a BETWEEN 1 AND 3)", "a IN (1, 3, 5)",
        "a NOT IN (1, 3)", "b IS NULL", "b IS NOT NULL", "a = 1 OR b = 2", "(a = 1 OR b = 2) AND c IS NOT NULL",
        "c = 'ab'", "c > 'b'", "c LIKE 'a%'", "c LIKE '%b'", "c LIKE '_b'", "a + b > 6",
        "a * 2 = b", "a = b", "a < b", "NOT (a = 1)", "2 < a", "c >= 'ab' AND c <= 'ba'"}) {
    Compare("SELECT a, b, c FROM T1 WHERE " + Where + " ORDER BY 1, 2, 3");
  }
  // In this dialect LIKE is never UNKNOWN: NULL LIKE p is FALSE, so NOT (NULL LIKE p) is TRUE.
  Compare("SELECT a, b, c FROM T1 WHERE NOT c LIKE 'a%' ORDER BY 1, 2, 3",
          "SELECT a, b, c FROM T1 WHERE c IS NULL OR NOT c LIKE 'a%' ORDER BY 1, 2, 3");
  Compare("SELECT a + b AS s, a - b AS d, b * 3 AS m, a FROM T1 ORDER BY 1, 2, 3, 4");
  Compare("SELECT CASE WHEN a > 3 THEN 'big' WHEN a IS NULL THEN 'none' ELSE 'small' END AS k, a FROM T1 ORDER BY 1, 2");
  Compare("SELECT c || 'x' AS t, c FROM T1 WHERE c IS NOT NULL ORDER BY 1, 2");
  Compare("SELECT a, b, c FROM T1 ORDER BY 2 DESC, 1, 3");
  Compare("SELECT a, b, c FROM T1 ORDER BY 3 DESC, 1 DESC, 2");
  Compare("SELECT * FROM T3 ORDER BY 1, 2, 3");
  Compare("SELECT a, b FROM T3 WHERE a = 1 ORDER BY 1, 2");
}

TEST_P(StatementSqliteTest, TopIsLimit) {
  for (const std::string Count : {"1", "5", "100"}) {
    Compare("SELECT TOP " + Count + " a, b, c FROM T1 ORDER BY 1, 2, 3", "SELECT a, b, c FROM T1 ORDER BY 1, 2, 3 LIMIT " + Count);
    Compare("SELECT TOP " + Count + " a, b, c FROM T1 WHERE b > 1 ORDER BY 2 DESC, 1, 3",
            "SELECT a, b, c FROM T1 WHERE b > 1 ORDER BY 2 DESC, 1, 3 LIMIT " + Count);
  }
}

TEST_P(StatementSqliteTest, JoinsOfEveryKind) {
  const std::string Items = "SELECT T1.a AS a1, T1.b AS b1, T2.a AS a2, T2.c AS c2 FROM ";
  const std::string Order = " ORDER BY 1, 2, 3, 4";
  for (const std::string From :
       {"T1, T2 WHERE T1.a = T2.a", "T1 CROSS JOIN T2 WHERE T1.b = 1", "T1 INNER JOIN T2 ON T1.a = T2.a",
        "T1 JOIN T2 ON T1.a = T2.a AND T2.b > 2", "T1 LEFT OUTER JOIN T2 ON T1.a = T2.a",
        "T1 LEFT JOIN T2 ON T1.a = T2.b AND T1.c = 'a'", "T1 RIGHT OUTER JOIN T2 ON T1.a = T2.a",
        "T1 FULL OUTER JOIN T2 ON T1.a = T2.a", "T1 FULL OUTER JOIN T2 ON T1.a = T2.a AND T2.b < 3",
        "T1 LEFT JOIN T2 ON T1.a = T2.a WHERE T2.a IS NULL", "T1 LEFT JOIN T2 ON T1.a = T2.a WHERE T2.b = 3",
        "T1 JOIN T2 ON T1.a = T2.a WHERE T1.b = 2 AND T2.b > T1.b", "T1, T2 WHERE T1.a < T2.a AND T2.b = 4",
        "T1 LEFT JOIN T3 ON T1.a = T3.a, T2 WHERE T2.a = T1.b", "T2 RIGHT JOIN T1 ON T1.c = T2.c"}) {
    std::string Ours = Items + From + Order;
    std::string Theirs = Ours;
    // The empty table T3 stands in for T2's columns where T2 is not joined.
    Compare(Ours, Theirs);
  }
  Compare("SELECT X.a, Y.b FROM T1 X, T1 Y WHERE X.a = Y.b AND X.c = 'a' ORDER BY 1, 2");
  Compare("SELECT T1.a, T3.b FROM T1 LEFT JOIN T3 ON T1.a = T3.a ORDER BY 1, 2");
}

TEST_P(StatementSqliteTest, GroupingHavingDistinct) {
  for (const std::string Sql : {
           "SELECT a, COUNT(*) AS n FROM T1 GROUP BY a ORDER BY 1",
           "SELECT a, b, COUNT(*) AS n, SUM(b) AS s, MIN(c) AS lo, MAX(c) AS hi FROM T1 GROUP BY a, b ORDER BY 1, 2",
           "SELECT c, COUNT(a) AS n, SUM(a) AS s FROM T1 GROUP BY c ORDER BY 1",
           "SELECT a, COUNT(*) AS n FROM T1 GROUP BY a HAVING COUNT(*) > 1 ORDER BY 1",
           "SELECT a, SUM(b) AS s FROM T1 WHERE c IS NOT NULL GROUP BY a HAVING SUM(b) > 3 OR a = 0 ORDER BY 1",
           "SELECT COUNT(*) AS n, SUM(a) AS s, MIN(a) AS lo, MAX(b) AS hi, COUNT(c) AS nc FROM T1",
           "SELECT COUNT(*) AS n, SUM(a) AS s, MAX(c) AS hi FROM T3",
           "SELECT a, COUNT(*) AS n FROM T3 GROUP BY a ORDER BY 1",
           "SELECT DISTINCT a FROM T1 ORDER BY 1",
           "SELECT DISTINCT a, c FROM T1 ORDER BY 1, 2",
           "SELECT DISTINCT c FROM T1 WHERE a > 2 ORDER BY 1 DESC",
           "SELECT T1.a AS a, COUNT(T2.b) AS n FROM T1 LEFT JOIN T2 ON T1.a = T2.a GROUP BY T1.a ORDER BY 1",
           "SELECT a, COUNT(*) AS n FROM T1 GROUP BY a ORDER BY 2 DESC, 1"}) {
    Compare(Sql);
  }
  Compare("SELECT TOP 3 a, COUNT(*) AS n FROM T1 GROUP BY a ORDER BY 2 DESC, 1",
          "SELECT a, COUNT(*) AS n FROM T1 GROUP BY a ORDER BY 2 DESC, 1 LIMIT 3");
  Compare("SELECT TOP 2 DISTINCT b FROM T1 ORDER BY 1 DESC", "SELECT DISTINCT b FROM T1 ORDER BY 1 DESC LIMIT 2");
}

TEST_P(StatementSqliteTest, SetOperations) {
  for (const std::string Sql : {
           "SELECT a, c FROM T1 UNION SELECT a, c FROM T2 ORDER BY 1, 2",
           "SELECT a, c FROM T1 UNION ALL SELECT a, c FROM T2 ORDER BY 1, 2",
           "SELECT a FROM T1 EXCEPT SELECT a FROM T2 ORDER BY 1",
           "SELECT a, b FROM T1 INTERSECT SELECT a, b FROM T2 ORDER BY 1, 2",
           "SELECT a FROM T1 WHERE b > 2 UNION SELECT b FROM T2 EXCEPT SELECT a FROM T2 WHERE c = 'a' ORDER BY 1",
           "SELECT a FROM T1 UNION SELECT a FROM T2 INTERSECT SELECT b FROM T2 ORDER BY 1",
           "SELECT a, b, c FROM T1 UNION SELECT a, b, c FROM T3 ORDER BY 1, 2, 3",
           "SELECT c FROM T2 EXCEPT SELECT c FROM T3 ORDER BY 1 DESC"}) {
    Compare(Sql);
  }
  // ALL keeps duplicates: the multiset forms (SQLite has UNION ALL only).
  Compare("SELECT a FROM T1 INTERSECT ALL SELECT a FROM T2 ORDER BY 1",
          "SELECT a FROM (SELECT a, ROW_NUMBER() OVER (PARTITION BY a) AS n FROM T1 INTERSECT "
          "SELECT a, ROW_NUMBER() OVER (PARTITION BY a) AS n FROM T2) ORDER BY 1");
  Compare("SELECT a FROM T1 EXCEPT ALL SELECT a FROM T2 ORDER BY 1",
          "SELECT a FROM (SELECT a, ROW_NUMBER() OVER (PARTITION BY a) AS n FROM T1 EXCEPT "
          "SELECT a, ROW_NUMBER() OVER (PARTITION BY a) AS n FROM T2) ORDER BY 1");
  EXPECT_EQ(PrepareError("SELECT a, b FROM T1 UNION SELECT a FROM T2"), 57);
}

TEST_P(StatementSqliteTest, SubQueries) {
  for (const std::string Where : {
           "a IN (SELECT a FROM T2 WHERE b > 2)", "a NOT IN (SELECT a FROM T2 WHERE a IS NOT NULL)",
           "c IN (SELECT c FROM T2)", "EXISTS (SELECT a FROM T2 WHERE T2.a = T1.a)",
           "NOT EXISTS (SELECT a FROM T2 WHERE T2.a = T1.b AND T2.c = T1.c)",
           "EXISTS (SELECT a FROM T2 WHERE T2.b > 5)", "a IN (SELECT a FROM T3)", "NOT EXISTS (SELECT a FROM T3)",
           "b > 1 AND a IN (SELECT b FROM T2 WHERE T2.c = T1.c)",
           "a IN (SELECT a FROM T2 WHERE a IN (SELECT b FROM T1 WHERE c = 'a'))"}) {
    Compare("SELECT a, b, c FROM T1 WHERE " + Where + " ORDER BY 1, 2, 3");
  }
  // ALL, ANY and SOME (SQLite has none: the same as MAX, MIN and EXISTS).
  Compare("SELECT a, b, c FROM T1 WHERE a > ALL (SELECT a FROM T2 WHERE a IS NOT NULL AND a < 4) ORDER BY 1, 2, 3",
          "SELECT a, b, c FROM T1 WHERE a > (SELECT MAX(a) FROM T2 WHERE a IS NOT NULL AND a < 4) ORDER BY 1, 2, 3");
  Compare("SELECT a, b, c FROM T1 WHERE a < ANY (SELECT b FROM T2 WHERE b IS NOT NULL AND c = 'b') ORDER BY 1, 2, 3",
          "SELECT a, b, c FROM T1 WHERE a < (SELECT MAX(b) FROM T2 WHERE b IS NOT NULL AND c = 'b') ORDER BY 1, 2, 3");
  Compare("SELECT a, b, c FROM T1 WHERE b <> SOME (SELECT b FROM T2 WHERE T2.a = T1.a AND b IS NOT NULL) ORDER BY 1, 2, 3",
          "SELECT a, b, c FROM T1 WHERE EXISTS (SELECT b FROM T2 WHERE T2.a = T1.a AND b IS NOT NULL AND T2.b <> T1.b) "
          "ORDER BY 1, 2, 3");
  Both("DELETE FROM T1 WHERE a IN (SELECT b FROM T2 WHERE c = 'a')");
  Both("UPDATE T2 SET b = 0 WHERE EXISTS (SELECT a FROM T1 WHERE T1.a = T2.a AND T1.b > 3)");
  CompareTables();
  // Values from sub-queries, correlated or not.
  Both("UPDATE T1 SET b = (SELECT MAX(b) FROM T2 WHERE T2.a = T1.a) WHERE c IS NOT NULL");
  Both("UPDATE T2 SET a = (SELECT COUNT(*) FROM T1) WHERE b = 0");
  CompareTables();
}

TEST_P(StatementSqliteTest, WritesChangeTheSameRows) {
  Both("UPDATE T1 SET b = b + 1 WHERE a > 2");
  Both("UPDATE T2 SET c = 'zz', b = NULL WHERE c LIKE 'b%' OR a IS NULL");
  Both("DELETE FROM T2 WHERE b IS NULL AND a < 4");
  Both("DELETE FROM T1 WHERE a = 1");
  Both("INSERT INTO T1 SELECT b, a, c FROM T2 WHERE a > 3");
  Both("INSERT INTO T1 (a, c) VALUES (9, 'new')");
  CompareTables();
  Both("DELETE FROM T1");
  CompareTables();
}

INSTANTIATE_TEST_SUITE_P(Seeds, StatementSqliteTest, ::testing::Values(1u, 2u, 3u, 20261211u));

}  // namespace
}  // namespace vdb::test
