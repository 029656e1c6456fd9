// The table component: walking a table by index, ranges, locating and looking up, following a
// master, and writing with the refusals of its fields.
#include "VdbComponentsTestSupport.h"

namespace {

class TableTest : public ComponentsTest {
 protected:
  // T holds ID = 1..20 in record order, NAME = "n" + ID % 7.
  void TwentyRows() {
    ConnectScratch();
    AddRows(1, 20);
  }
  std::vector<int> Ids(TVdbDataSet& dataSet) {
    std::vector<int> ids;
    for (dataSet.First(); !dataSet.Eof(); dataSet.Next()) ids.push_back(std::stoi(dataSet.FieldByName("ID").AsString()));
    return ids;
  }
  static std::vector<int> Range(int first, int last) {
    std::vector<int> ids;
    for (int id = first; id <= last; ++id) ids.push_back(id);
    return ids;
  }
};

TEST_F(TableTest, IndexSwitchingChangesTheOrderOfTheOpenTable) {
  ConnectScratch();
  AddRows(1, 9);
  database.Execute("CREATE INDEX ByName ON T (NAME, ID)");
  table.Open();
  EXPECT_EQ(Ids(table), Range(1, 9));
  table.Next();
  table.SetIndexName("ByName");
  EXPECT_EQ(table.FieldByName("ID").AsString(), "7") << "switching goes to the first record: n0";
  EXPECT_EQ(Ids(table), (std::vector<int>{7, 1, 8, 2, 9, 3, 4, 5, 6}));
  EXPECT_EQ(table.IndexFields(), (std::vector<std::string>{"NAME", "ID"}));
  table.SetIndexFieldNames("ID");
  EXPECT_EQ(table.IndexName(), "");
  EXPECT_EQ(Ids(table), Range(1, 9));
  table.SetIndexName("");
  EXPECT_EQ(Ids(table), Range(1, 9));
  EXPECT_EQ(MessageOf([&] { table.SetIndexName("Nincs"); }).rfind("Opening VeskorDB table T: ", 0), 0u);
  table.Close();
  // An index chosen before opening is walked from the start.
  table.SetIndexFieldNames("NAME;ID");
  table.Open();
  EXPECT_EQ(Ids(table), (std::vector<int>{7, 1, 8, 2, 9, 3, 4, 5, 6}));
}

TEST_F(TableTest, RangesLimitTheLeadingIndexColumns) {
  TwentyRows();
  table.SetIndexFieldNames("ID");
  table.Open();
  table.SetRange({u"5"}, {u"9"});
  EXPECT_EQ(Ids(table), Range(5, 9));
  EXPECT_EQ(table.RecordCount(), 5);
  table.SetRange({u"18"}, {});
  EXPECT_EQ(Ids(table), Range(18, 20)) << "no upper end";
  table.SetRange({u"30"}, {u"40"});
  EXPECT_TRUE(table.IsEmpty());
  table.CancelRange();
  EXPECT_EQ(Ids(table), Range(1, 20));
  // A range together with a filter: both hold.
  table.SetIndexFieldNames("NAME;ID");
  table.SetRange({u"n2"}, {u"n3"});
  table.SetFilterText("ID > 5");
  table.SetFiltered(true);
  EXPECT_EQ(Ids(table), (std::vector<int>{9, 16, 10, 17}));
  table.SetFiltered(false);
  EXPECT_EQ(Ids(table), (std::vector<int>{2, 9, 16, 3, 10, 17}));
}

TEST_F(TableTest, LocateAndLookupFindTheFirstMatchingRecord) {
  ConnectScratch();
  database.Execute("CREATE TABLE W COLLATE Hungarian_ci_as (ID INTEGER, WORD VARCHAR(20) COLLATE Hungarian_ci_as)");
  TVdbTable words;
  words.SetDatabaseName("Scratch");
  words.TableName = "W";
  words.Open();
  const char16_t* entries[] = {u"Róka", u"róka", u"roka", u"Őz", u"őzbak", u"szarvas"};
  for (int id = 1; const char16_t* word : entries) {
    words.Append();
    words.FieldByName("ID").SetString(std::to_string(id++));
    words.FieldByName("WORD").SetText(word);
    words.Post();
  }
  struct Case {
    std::string fields;
    std::vector<std::u16string> values;
    unsigned options;
    int found;  // the ID reached, 0: none
  };
  const Case cases[] = {
      {"WORD", {u"róka"}, 0, 2},
      {"WORD", {u"RÓKA"}, loCaseInsensitive, 1},
      {"WORD", {u"RÓKA"}, 0, 0},
      {"WORD", {u"roka"}, loCaseInsensitive, 3},
      {"WORD", {u"őz"}, loCaseInsensitive, 4},
      {"WORD", {u"őz"}, loCaseInsensitive | loPartialKey, 4},
      {"WORD", {u"őzb"}, loPartialKey, 5},
      {"WORD", {u"sz"}, 0, 0},
      {"ID;WORD", {u"6", u"szarvas"}, 0, 6},
      {"ID; WORD", {u"5", u"szarvas"}, 0, 0},
      {"ID", {u"3"}, 0, 3},
  };
  for (const Case& c : cases) {
    words.First();
    words.Next();  // from record 2: a failed locate stays there
    EXPECT_EQ(words.Locate(c.fields, c.values, c.options), c.found != 0) << c.fields << " " << vdbtext::Utf8(c.values[0]);
    EXPECT_EQ(words.FieldByName("ID").AsString(), std::to_string(c.found != 0 ? c.found : 2)) << vdbtext::Utf8(c.values[0]);
  }
  words.First();
  const auto values = words.Lookup("WORD", {u"őzbak"}, "ID;WORD");
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0], std::u16string(u"5"));
  EXPECT_EQ(values[1], std::u16string(u"őzbak"));
  EXPECT_EQ(words.FieldByName("ID").AsString(), "1") << "lookup does not move";
  EXPECT_TRUE(words.Lookup("WORD", {u"nincs"}, "ID").empty());
  words.Next();
  words.Next();
  EXPECT_EQ(words.FieldByName("ID").AsString(), "3") << "moving on after a lookup starts from the current record";
  EXPECT_EQ(MessageOf([&] { words.Locate("ID;WORD", {u"1"}); }), ": 2 fields but 1 values to locate");
  EXPECT_EQ(MessageOf([&] { words.Locate("NINCS", {u"1"}); }), ": Field 'NINCS' not found");
  words.SetIndexFieldNames("ID");
  EXPECT_TRUE(words.FindKey({u"4"}));
  EXPECT_EQ(words.FieldByName("WORD").AsString(), "Őz");
}

TEST_F(TableTest, DetailTableFollowsItsMaster) {
  TwentyRows();
  database.Execute("CREATE TABLE Names (NAME VARCHAR(10), LABEL VARCHAR(20))");
  for (int i : {3, 0, 5}) database.Execute("INSERT INTO Names VALUES ('n" + std::to_string(i) + "', 'l')");
  TVdbTable master;
  master.SetDatabaseName("Scratch");
  master.TableName = "Names";
  TDataSource source;
  source.SetDataSet(&master);
  master.Open();
  table.SetIndexFieldNames("NAME;ID");
  table.SetMasterSource(&source);
  table.SetMasterFields("NAME");
  table.Open();
  EXPECT_EQ(Ids(table), (std::vector<int>{3, 10, 17}));
  master.Next();
  EXPECT_EQ(table.FieldByName("ID").AsString(), "7") << "the detail goes to its first record when the master moves";
  EXPECT_EQ(Ids(table), (std::vector<int>{7, 14}));
  master.Last();
  EXPECT_EQ(Ids(table), (std::vector<int>{5, 12, 19}));
  // A new detail record under the master is shown with it.
  table.Append();
  table.FieldByName("ID").SetString("99");
  table.FieldByName("NAME").SetString("n5");
  table.Post();
  EXPECT_EQ(Ids(table), (std::vector<int>{5, 12, 19, 99}));
  master.Close();
  EXPECT_TRUE(table.IsEmpty()) << "a master without a record shows no detail";
  table.SetMasterSource(nullptr);
  EXPECT_EQ(table.RecordCount(), 21);
}

TEST_F(TableTest, WritingThroughTheTable) {
  ConnectScratch();
  table.Open();
  // Cancelling an insert into an empty table leaves it empty.
  table.Insert();
  table.FieldByName("ID").SetString("1");
  table.Cancel();
  EXPECT_TRUE(table.IsEmpty());
  EXPECT_EQ(table.State(), TDataSetState::dsBrowse);
  AddRows(1, 3);
  table.Open();
  table.Last();
  table.Edit();
  table.FieldByName("NAME").SetString("changed");
  EXPECT_EQ(table.FieldByName("NAME").AsString(), "changed");
  table.Cancel();
  EXPECT_EQ(table.FieldByName("NAME").AsString(), "n3") << "cancelling an edit restores the record";
  table.Edit();
  table.FieldByName("NAME").Clear();
  table.FieldByName("NOTE").SetString("jegyzet");
  table.Post();
  table.Close();
  table.SetIndexFieldNames("ID");  // record order lets the last record fill a deleted one's place
  table.Open();
  table.Last();
  EXPECT_TRUE(table.FieldByName("NAME").IsNull());
  EXPECT_EQ(table.FieldByName("NOTE").AsString(), "jegyzet");
  EXPECT_EQ(Ids(table), Range(1, 3));
  table.First();
  table.Delete();
  EXPECT_EQ(table.FieldByName("ID").AsString(), "2") << "the next record takes the deleted one's place";
  table.Last();
  table.Delete();
  EXPECT_EQ(table.FieldByName("ID").AsString(), "2") << "after the last, the new last one";
  EXPECT_FALSE(table.Eof());
  EXPECT_EQ(table.RecordCount(), 1);
}

TEST_F(TableTest, MessagesOfTheTableAndItsFields) {
  ConnectScratch();
  const TVdbFieldSpec fields[] = {Spec("ID", VDB_FT_AUTOINC, 0), Spec("CODE", VDB_FT_INTEGER, 0),
                                  Spec("W", VDB_FT_WIDEMEMO, 0)};
  TVdbFieldSpec required = fields[1];
  required.Options = 0;  // not nullable
  const TVdbFieldSpec specs[] = {fields[0], required, fields[2]};
  ASSERT_EQ(VdbSessCreateTable(database.Handle(), vdbtext::TApiText(std::string("R")), 3, specs, nullptr), 0);
  TVdbTable withRules;
  withRules.SetDatabaseName("Scratch");
  withRules.TableName = "R";
  withRules.Name = "Rules";
  withRules.Open();
  using Action = std::function<void()>;
  const std::pair<Action, std::string> cases[] = {
      {[&] { TVdbTable unnamed; unnamed.Name = "Tabla1"; unnamed.SetDatabaseName("Scratch"); unnamed.Open(); },
       "No table name defined for \"Tabla1\"."},
      {[&] { TVdbBlobStream stream(withRules.FieldByName("W"), TVdbBlobStream::Mode::Write); },
       "Dataset not in edit or insert mode"},
      {[&] { withRules.Append(); withRules.FieldByName("CODE").Clear(); }, "Field 'CODE' must have a value"},
      {[&] { withRules.FieldByName("ID").SetString("5"); }, "Field 'ID' cannot be modified"},
      {[&] { withRules.FieldByName("CODE").SetString("1"); withRules.FieldByName("W").SetBytes("odd"); withRules.Post(); },
       "Wide memo \"W\" is invalid, must have even number of bytes."},
      {[&] { withRules.Cancel(); withRules.SetFilterText("CODE ="); withRules.SetFiltered(true); },
       "Setting filter: …"},
  };
  for (const auto& [action, expected] : cases) {
    const std::string message = MessageOf(action);
    if (expected.ends_with("…")) {
      const std::string start = expected.substr(0, expected.size() - std::string("…").size());
      EXPECT_EQ(message.substr(0, start.size()), start) << message;
    } else {
      EXPECT_EQ(message, expected);
    }
  }
  TVdbTable missing;
  missing.SetDatabaseName("Scratch");
  missing.TableName = "Nincs";
  EXPECT_EQ(MessageOf([&] { missing.Open(); }).rfind("Opening table \"Nincs\": Cannot open table", 0), 0u)
      << MessageOf([&] { missing.Open(); });
  EXPECT_FALSE(missing.Active());
}

}  // namespace
