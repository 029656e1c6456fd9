// The query component: typed parameters read from the SQL text, a detail query following its
// master, a statement without a result opened as a dataset, and the messages of its failures.
#include <functional>

#include "VdbComponentsTestSupport.h"

namespace {

class QueryTest : public ComponentsTest {
 protected:
  // A table with a column of every type a parameter can carry, and one row of known values.
  void CreateTypedTable() {
    ConnectScratch();
    database.Execute(
        "CREATE TABLE P COLLATE Hungarian_ci_as (I INTEGER, S SMALLINT, L BIGINT, F FLOAT, B BOOLEAN, D DATE, T TIME, "
        "TS TIMESTAMP, V VARCHAR(30) COLLATE Hungarian_ci_as, M LONGVARCHAR)");
  }
};

// One parameter type: the column it is written to, how the parameter is set, and the column's
// text after the row went through the engine and back.
struct TypedCase {
  const char* column;
  std::function<void(TVdbParam&)> set;
  const char* stored;  // the engine's text form of the value
};

const TVdbDateTime kDate{2024, 3, 9};
const TVdbDateTime kTime{0, 0, 0, 7, 5, 3, 250};
const TVdbDateTime kStamp{1999, 12, 31, 23, 59, 58, 125};

std::vector<TypedCase> TypedCases() {
  return {
      {"I", [](TVdbParam& p) { p.SetAsInteger(-123456); }, "-123456"},
      {"S", [](TVdbParam& p) { p.SetAsSmallInt(-321); }, "-321"},
      {"L", [](TVdbParam& p) { p.SetAsLargeInt(9000000000123LL); }, "9000000000123"},
      {"F", [](TVdbParam& p) { p.SetAsFloat(2.5); }, "2.5"},
      {"F", [](TVdbParam& p) { p.SetAsCurrency(1234.25); }, "1234.25"},
      {"F", [](TVdbParam& p) { p.SetAsBCD(-0.125); }, "-0.125"},
      {"B", [](TVdbParam& p) { p.SetAsBoolean(true); }, "True"},
      {"D", [](TVdbParam& p) { p.SetAsDate(kDate); }, "09.03.2024"},
      {"T", [](TVdbParam& p) { p.SetAsTime(kTime); }, "07:05:03.250"},
      {"TS", [](TVdbParam& p) { p.SetAsDateTime(kStamp); }, "31.12.1999_23:59:58.125"},
      {"V", [](TVdbParam& p) { p.SetAsString("Bél 'és' szarvas"); }, "Bél 'és' szarvas"},
      {"M", [](TVdbParam& p) { p.SetAsMemo("hosszú leírás, lásd: vad"); }, "hosszú leírás, lásd: vad"},
  };
}

TEST_F(QueryTest, ParametersAreReadFromTheSqlAndKeepTheirValuesWhileTheyStay) {
  CreateTypedTable();
  query.SetSQL({"SELECT * FROM P WHERE I = :a AND V = ':not' AND S = :b OR I = :a OR L = ::c"});
  ASSERT_EQ(query.Params.size(), 2u);
  EXPECT_EQ(query.Params[0].Name, "a");
  EXPECT_EQ(query.Params[1].Name, "b");
  query.ParamByName("a").SetAsInteger(5);
  query.SetSQL({"SELECT * FROM P WHERE I = :a AND D = :d"});
  ASSERT_EQ(query.Params.size(), 2u);
  EXPECT_EQ(query.ParamByName("a").DataType, TFieldType::ftInteger);
  EXPECT_EQ(query.ParamByName("a").Text(), "5");
  EXPECT_FALSE(query.ParamByName("d").Bound);
  EXPECT_EQ(MessageOf([&] { query.ParamByName("b"); }), "Parameter 'b' not found");
}

TEST_F(QueryTest, TextFormsOfParameterValues) {
  struct Case {
    std::function<void(TVdbParam&)> set;
    TFieldType type;
    int16_t column;
    const char* text;
  };
  const Case cases[] = {
      {[](TVdbParam& p) { p.SetAsInteger(-7); }, TFieldType::ftInteger, VDB_FT_INTEGER, "-7"},
      {[](TVdbParam& p) { p.SetAsSmallInt(12); }, TFieldType::ftSmallint, VDB_FT_SMALLINT, "12"},
      {[](TVdbParam& p) { p.SetAsLargeInt(-9000000000LL); }, TFieldType::ftLargeint, VDB_FT_BIGINT, "-9000000000"},
      {[](TVdbParam& p) { p.SetAsFloat(0.1); }, TFieldType::ftFloat, VDB_FT_FLOAT, "0.1"},
      {[](TVdbParam& p) { p.SetAsCurrency(19.99); }, TFieldType::ftCurrency, VDB_FT_FLOAT, "19.99"},
      {[](TVdbParam& p) { p.SetAsBCD(1e21); }, TFieldType::ftBCD, VDB_FT_FLOAT, "1e+21"},
      {[](TVdbParam& p) { p.SetAsBoolean(false); }, TFieldType::ftBoolean, VDB_FT_BOOLEAN, "false"},
      {[](TVdbParam& p) { p.SetAsBoolean(true); }, TFieldType::ftBoolean, VDB_FT_BOOLEAN, "true"},
      {[](TVdbParam& p) { p.SetAsDate({2024, 3, 9, 10, 0, 0, 0}); }, TFieldType::ftDate, VDB_FT_DATE, "09.03.2024"},
      {[](TVdbParam& p) { p.SetAsTime({2024, 3, 9, 7, 5, 3, 25}); }, TFieldType::ftTime, VDB_FT_TIME, "07:05:03.025"},
      {[](TVdbParam& p) { p.SetAsDateTime({0, 0, 0, 7, 5, 3, 0}); }, TFieldType::ftDateTime, VDB_FT_TIMESTAMP, "07:05:03.000"},
      {[](TVdbParam& p) { p.SetAsDateTime({2024, 3, 9}); }, TFieldType::ftDateTime, VDB_FT_TIMESTAMP, "09.03.2024"},
      {[](TVdbParam& p) { p.SetAsDateTime({2024, 3, 9, 23, 59, 58, 5}); }, TFieldType::ftDateTime, VDB_FT_TIMESTAMP,
       "9.3.2024_23:59:58.005"},
      {[](TVdbParam& p) { p.SetAsString("szó"); }, TFieldType::ftString, VDB_FT_STRING, "szó"},
      {[](TVdbParam& p) { p.SetAsMemo("memo"); }, TFieldType::ftMemo, VDB_FT_MEMO, "memo"},
      {[](TVdbParam& p) { p.SetAsBlob("ab"); }, TFieldType::ftBlob, VDB_FT_BLOB, "ab"},
  };
  for (const Case& c : cases) {
    TVdbParam param;
    c.set(param);
    EXPECT_EQ(param.DataType, c.type) << c.text;
    EXPECT_EQ(ParamColumnType(param.DataType), c.column) << c.text;
    EXPECT_EQ(param.Text(), c.text);
    EXPECT_TRUE(param.Bound);
    param.Clear();
    EXPECT_TRUE(param.IsNull());
    EXPECT_EQ(param.DataType, c.type) << "a cleared parameter keeps its type";
  }
  EXPECT_EQ(ParamColumnType(TFieldType::ftCursor), -99);
  EXPECT_EQ(ParamColumnType(TFieldType::ftWord), VDB_FT_SMALLINT);
  EXPECT_EQ(ParamColumnType(TFieldType::ftGraphic), VDB_FT_BLOB);
}

TEST_F(QueryTest, EveryParameterTypeIsWrittenAndFoundByTheEngine) {
  CreateTypedTable();
  query.SetSQL({"INSERT INTO P (I, S, L, F, B, D, T, TS, V, M) VALUES (:I, :S, :L, :F, :B, :D, :T, :TS, :V, :M)"});
  for (const TypedCase& c : TypedCases()) {
    for (TVdbParam& param : query.Params) param.Clear();
    c.set(query.ParamByName(c.column));
    query.ExecSQL();
    EXPECT_EQ(query.RowsAffected(), 1) << c.column;
  }
  TVdbQuery check;
  check.SetDatabaseName("Scratch");
  for (const TypedCase& c : TypedCases()) {
    // The row written holds the value: a search with the same typed value finds exactly it.
    check.SetSQL({std::string("SELECT * FROM P WHERE ") + c.column + " = :v"});
    c.set(check.ParamByName("v"));
    check.Open();
    EXPECT_EQ(check.RecordCount(), 1) << c.column << " = " << check.ParamByName("v").Text();
    EXPECT_EQ(check.FieldByName(c.column).AsString(), c.stored) << c.column;
    check.Close();
  }
  // A NULL parameter writes NULL and matches nothing with "=".
  check.SetSQL({"SELECT * FROM P WHERE I IS NULL"});
  check.Open();
  const int32_t nullRows = check.RecordCount();
  check.Close();
  query.SQLClear();
  query.SQLAdd("INSERT INTO P (I, V) VALUES (:I, :V)");
  query.ParamByName("I").SetAsInteger(0);
  query.ParamByName("I").Clear();
  query.ParamByName("V").SetAsString("null row");
  query.ExecSQL();
  check.Open();
  EXPECT_EQ(check.RecordCount(), nullRows + 1);
}

TEST_F(QueryTest, ParameterValuesTheEngineCannotTakeAreNamedInTheMessage) {
  CreateTypedTable();
  query.SetSQL({"SELECT * FROM P WHERE D = :d"});
  query.ParamByName("d").SetAsString("not a date");
  query.ParamByName("d").DataType = TFieldType::ftDate;
  EXPECT_EQ(MessageOf([&] { query.Open(); }).rfind("Cannot set parameter \"d\" to \"not a date\": ", 0), 0u)
      << MessageOf([&] { query.Open(); });
  EXPECT_FALSE(query.Active());
  // Bytes that are no text cannot travel as a parameter value.
  query.ParamByName("d").SetAsBlob(std::string("\xff\xfe", 2));
  EXPECT_EQ(MessageOf([&] { query.Open(); }), "Cannot set parameter \"d\" to \"\xff\xfe\"");
}

TEST_F(QueryTest, StatementWithoutResultOpenedAsDatasetRaisesWithItsText) {
  ConnectScratch();
  AddRows(1, 3);
  query.SetSQL({"UPDATE T SET NAME = 'x'", "WHERE ID = 2"});
  try {
    query.Open();
    ADD_FAILURE() << "opened a statement without rows";
  } catch (const ENoResultSet& error) {
    EXPECT_STREQ(error.what(), "UPDATE T SET NAME = 'x'\r\nWHERE ID = 2\r\n");
  }
  EXPECT_FALSE(query.Active());
  EXPECT_EQ(query.RowsAffected(), 1) << "the statement ran";
  query.ExecSQL();
  EXPECT_EQ(query.RowsAffected(), 1);
  query.SetSQL({"SELECT * FROM T"});
  query.Open();
  EXPECT_EQ(MessageOf([&] { query.ExecSQL(); }), "Cannot perform this operation on an open dataset");
}

TEST_F(QueryTest, MessagesOfQueryFailures) {
  ConnectScratch();
  AddRows(1, 2);
  struct Case {
    std::vector<std::string> sql;
    bool exec;
    const char* expected;  // the whole message, or its start when it ends in "…"
  };
  const Case cases[] = {
      {{}, false, "The SQL statement contains no text"},
      {{}, true, "The SQL statement contains no text"},
      {{"SELECT * FROM T", "WHERE ID = = 1"}, false,
       "The SQL command has an error at row 2, column 12: \r\nWHERE ID = =\r\n…"},
      {{"SELECT * FROM Nincs"}, false, "Preparing SQL statement: SQL command could not be prepared. Table \"Nincs\" not found"},
      {{"DELETE FROM Nincs"}, true, "Preparing SQL statement: SQL command could not be prepared. Table \"Nincs\" not found"},
      {{"INSERT INTO T (ID) VALUES ('abc')"}, true, "Executing SQL statement: …"},
      {{"SELECT * FROM T WHERE ID / (ID - ID) = 1 ORDER BY NAME"}, false, "Opening VeskorDB query: …"},
  };
  for (const Case& c : cases) {
    query.SetSQL(c.sql);
    const std::string message = MessageOf([&] { c.exec ? query.ExecSQL() : query.Open(); });
    const std::string expected = c.expected;
    const std::string ellipsis = "…";
    if (expected.ends_with(ellipsis)) {
      const std::string start = expected.substr(0, expected.size() - ellipsis.size());
      EXPECT_EQ(message.substr(0, start.size()), start) << message;
      EXPECT_GT(message.size(), start.size()) << message;
    } else {
      EXPECT_EQ(message, expected);
    }
    EXPECT_FALSE(query.Active());
    EXPECT_FALSE(query.Prepared()) << "a failed run leaves no statement behind";
  }
}

TEST_F(QueryTest, DetailQueryFollowsItsMasterThroughParameters) {
  ConnectScratch();
  AddRows(1, 20);  // NAME = "n" + ID % 7
  database.Execute("CREATE TABLE Names (NAME VARCHAR(10), LABEL VARCHAR(20))");
  for (int i = 0; i < 7; ++i)
    database.Execute("INSERT INTO Names VALUES ('n" + std::to_string(i) + "', 'label " + std::to_string(i) + "')");
  TVdbQuery master;
  master.SetDatabaseName("Scratch");
  master.SetSQL({"SELECT * FROM Names ORDER BY NAME"});
  TDataSource masterSource;
  masterSource.SetDataSet(&master);
  master.Open();
  query.SetSQL({"SELECT * FROM T WHERE NAME = :NAME ORDER BY ID"});
  query.SetDataSource(&masterSource);
  query.Open();
  auto detailIds = [&] {
    std::vector<int> ids;
    for (query.First(); !query.Eof(); query.Next()) ids.push_back(std::stoi(query.FieldByName("ID").AsString()));
    return ids;
  };
  EXPECT_EQ(detailIds(), (std::vector<int>{7, 14})) << "n0";
  master.Next();
  EXPECT_EQ(detailIds(), (std::vector<int>{1, 8, 15})) << "moving the master reruns the detail";
  master.Last();
  EXPECT_EQ(detailIds(), (std::vector<int>{6, 13, 20}));
  // A parameter the caller set is not taken from the master.
  query.ParamByName("NAME").SetAsString("n3");
  master.First();
  EXPECT_EQ(detailIds(), (std::vector<int>{3, 10, 17}));
  // A master without a record gives NULL, which matches nothing.
  query.ParamByName("NAME").Bound = false;
  master.SetSQL({"SELECT * FROM Names WHERE NAME = 'none'"});
  master.Open();
  EXPECT_EQ(detailIds(), std::vector<int>{});
}

}  // namespace
