// The dataset components over real databases: the lexicon built from its source file, and
// small tables made for a case.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "VdbComponentsTestSupport.h"
#include "table/kxStrUtils.h"

namespace {

class DataSetTest : public ComponentsTest {};

std::vector<std::string> Headwords(TVdbDataSet& dataSet) {
  std::vector<std::string> words;
  for (dataSet.First(); !dataSet.Eof(); dataSet.Next()) words.push_back(dataSet.FieldByName("CIMSZO").AsString());
  return words;
}

TEST_F(DataSetTest, OpeningTheLexiconGivesItsTwoColumnsEveryEntryInHeadwordOrder) {
  ConnectLexicon();
  query.SetSQL({"select * from Data ", "order by CIMSZO"});
  query.Open();
  ASSERT_EQ(query.FieldDefsVdb().size(), 2u);
  EXPECT_EQ(query.FieldDefsVdb()[0].Name, "CIMSZO");
  EXPECT_EQ(query.FieldDefsVdb()[0].FDataTypeVdb, TVdbDataType::dtString);
  EXPECT_EQ(query.FieldDefsVdb()[1].Name, "LEIRAS");
  EXPECT_EQ(query.FieldDefsVdb()[1].FDataTypeVdb, TVdbDataType::dtMemo);
  EXPECT_EQ(database.DatabaseType(), TVdbDatabaseType::dbtSingleFile);
  const auto entries = LexiconEntries();
  EXPECT_EQ(query.RecordCount(), static_cast<int32_t>(entries.size()));
  EXPECT_EQ(query.RecNo(), 1);

  const std::vector<std::string> words = Headwords(query);
  ASSERT_EQ(words.size(), entries.size());
  std::uint32_t locale = 0;
  vdb::TStrCmpOptions options = 0;
  ASSERT_TRUE(vdb::ParseCollationName("Hungarian_ci_as", locale, options));
  for (std::size_t i = 1; i < words.size(); ++i) {
    const std::u16string a = vdbtext::Utf16(words[i - 1]);
    const std::u16string b = vdbtext::Utf16(words[i]);
    ASSERT_LE(vdb::CompareCollated(a.data(), static_cast<int32_t>(a.size()), b.data(),
                                   static_cast<int32_t>(b.size()), options, locale), 0)
        << words[i - 1] << " before " << words[i];
  }
  // Texts are decoded from Windows-1250: every headword of the source is there as written.
  std::vector<std::string> expected;
  for (const auto& entry : entries) expected.push_back(entry.headword);
  std::vector<std::string> sorted = words;
  std::sort(sorted.begin(), sorted.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sorted, expected);
}

TEST_F(DataSetTest, MemoIsReadOncePerRecordAndAgainAfterMovingAway) {
  ConnectLexicon();
  query.SetSQL({"Select * FROM Data ORDER By CIMSZO"});
  query.Open();
  const std::string first = query.FieldByName("LEIRAS").AsString();
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(query.FieldByName("LEIRAS").AsString(), first);
  EXPECT_EQ(query.BlobLoads(), 1);
  query.Next();
  EXPECT_EQ(query.BlobLoads(), 1) << "moving alone loads no memo";
  query.FieldByName("LEIRAS").AsString();
  query.Prior();
  EXPECT_EQ(query.FieldByName("LEIRAS").AsString(), first);
  EXPECT_EQ(query.BlobLoads(), 3);
  // The memo belongs to its headword as the source has it.
  const auto entries = LexiconEntries();
  const std::string headword = query.FieldByName("CIMSZO").AsString();
  const auto entry = std::find_if(entries.begin(), entries.end(),
                                  [&](const auto& e) { return e.headword == headword; });
  ASSERT_NE(entry, entries.end());
  std::string withoutCr = first;
  std::erase(withoutCr, '\r');
  EXPECT_EQ(withoutCr, entry->description);
}

TEST_F(DataSetTest, SearchWithoutHitsOpensEmptyAndReopeningRunsTheNewText) {
  ConnectLexicon();
  query.SetSQL({"Select * FROM Data WHERE CIMSZO like '%qqqzzz%' or LEIRAS like '%qqqzzz%'ORDER By CIMSZO"});
  query.Open();
  EXPECT_TRUE(query.Eof());
  EXPECT_TRUE(query.IsEmpty());
  EXPECT_EQ(query.RecordCount(), 0);
  EXPECT_EQ(query.RecNo(), 0);
  EXPECT_EQ(query.FieldByName("CIMSZO").AsString(), "");
  query.SQLClear();
  EXPECT_FALSE(query.Active()) << "changing the SQL closes the query";
  query.SQLAdd("Select * FROM Data WHERE CIMSZO like '%róka%' or LEIRAS like '%róka%'ORDER By CIMSZO");
  query.Open();
  EXPECT_GT(query.RecordCount(), 0);
}

TEST_F(DataSetTest, NavigationAndRecNoAgree) {
  ConnectLexicon();
  query.SetSQL({"Select * FROM Data ORDER By CIMSZO"});
  query.Open();
  const int32_t count = query.RecordCount();
  query.Last();
  EXPECT_EQ(query.RecNo(), count);
  EXPECT_TRUE(query.Eof());
  const std::string last = query.FieldByName("CIMSZO").AsString();
  query.SetRecNo(10);
  EXPECT_EQ(query.RecNo(), 10);
  EXPECT_EQ(query.MoveBy(5), 5);
  EXPECT_EQ(query.RecNo(), 15);
  EXPECT_EQ(query.MoveBy(-20), -14);
  EXPECT_TRUE(query.Bof());
  EXPECT_EQ(query.RecNo(), 1);
  TRecordBuffer buffer;
  ASSERT_TRUE(query.ReadRecordAt(count, buffer));
  EXPECT_EQ(vdbtext::Utf8(TVdbDataSet::BufferText(buffer, query.FieldByName("CIMSZO"))), last);
  EXPECT_EQ(query.RecNo(), 1) << "reading a row for the grid leaves the current record";
  EXPECT_THROW(query.SetRecNo(count + 1), EDatabaseError);
  try {
    query.SetRecNo(count + 1);
  } catch (const EDatabaseError& error) {
    EXPECT_EQ(std::string(error.what()), "Record " + std::to_string(count + 1) + " not found");
  }
}

struct MessageCase {
  const char* sql;
  const char* expectedStart;
};

TEST_F(DataSetTest, FailuresOnOpenCarryTheirContextAndLeaveTheQueryClosed) {
  ConnectLexicon();
  const MessageCase cases[] = {
      {"select * from Nincs", "Preparing SQL statement: SQL command could not be prepared. "},
      {"", "The SQL statement contains no text"},
      {"selec * from Data", "The SQL command has an error at row 1, column "},
  };
  for (const MessageCase& c : cases) {
    query.SetSQL(std::string(c.sql).empty() ? std::vector<std::string>{} : std::vector<std::string>{c.sql});
    try {
      query.Open();
      ADD_FAILURE() << c.sql << " opened";
    } catch (const EDatabaseError& error) {
      EXPECT_EQ(std::string(error.what()).rfind(c.expectedStart, 0), 0u) << error.what();
    }
    EXPECT_FALSE(query.Active());
  }
}

TEST_F(DataSetTest, DatabasePropertiesAndConnectRules) {
  ConnectLexicon();
  EXPECT_THROW(database.SetLocation("x"), EDatabaseError);
  EXPECT_EQ(database.Location(), Path("L_Data.vdbd"));
  TVdbDatabase second;
  second.SetName("Second");
  second.SetDatabaseName("VdbDatabase1");
  second.SetLocation(Path("L_Data.vdbd"));
  try {
    second.SetConnected(true);
    ADD_FAILURE() << "connected twice under one name";
  } catch (const EDatabaseError& error) {
    EXPECT_STREQ(error.what(), "Duplicate database name: \"Second\"");
  }
  EXPECT_FALSE(second.Connected());
  query.SetSQL({"Select * FROM Data ORDER By CIMSZO"});
  second.SetDatabaseName("Other");
  query.Open();
  database.SetReadOnly(true);  // closes the connection and its datasets
  EXPECT_FALSE(database.Connected());
  EXPECT_FALSE(query.Active());
  EXPECT_TRUE(fs::remove(Path("L_Data.vdbd"))) << "nothing holds the file after disconnecting";
  EXPECT_FALSE(fs::exists(Path("L_Data!Data.vdbl")));
  EXPECT_FALSE(fs::exists(Path("L_Data!Data.vdbv")));
  try {
    database.SetConnected(true);
    ADD_FAILURE() << "connected to a missing file";
  } catch (const EVeskorDBError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Opening database \"" + Path("L_Data.vdbd") +
                  "\": Database not found. File not found or access denied: \"" + Path("L_Data.vdbd") + "\"");
  }
  EXPECT_FALSE(database.Connected());
  EXPECT_EQ(database.Handle(), 0);
}

TEST_F(DataSetTest, RightsWordAndVersion) {
  struct Case { bool exclusive; TVdbAccessRights rights; TVdbFlushMode flush; uint16_t word; };
  const Case cases[] = {
      {false, kAllAccessRights, TVdbFlushMode::tfmDefault, 0xF8FF},
      {false, 0, TVdbFlushMode::tfmDefault, 0xF8F0},
      {true, static_cast<unsigned>(TVdbAccessRight::tarEdit), TVdbFlushMode::tfmSecure, 0xF8F2 + 0x300},
      {false, static_cast<unsigned>(TVdbAccessRight::tarAppend), TVdbFlushMode::tfmFast, 0xF8F1},
  };
  for (const Case& c : cases) EXPECT_EQ(database.RightsWord(c.exclusive, c.rights, c.flush), c.word);
  database.SetFlushMode(TVdbFlushMode::tfmSecure);
  EXPECT_EQ(database.RightsWord(false, 0, TVdbFlushMode::tfmDefault), 0xF8F0 + 0x200);
  EXPECT_EQ(database.RightsWord(false, 0, TVdbFlushMode::tfmFast), 0xF8F0);
  EXPECT_EQ(TVdbDataSet::Version(), "6.1.13/8.1.2");
  query.SetDatabaseName("C:\\data\\");
  EXPECT_EQ(query.DatabaseName(), "C:\\data");
}

// --- Writing ---------------------------------------------------------------------------------

TEST_F(DataSetTest, InsertEditDeleteAndMemoWriteThroughTheTable) {
  ConnectScratch();
  table.Open();
  EXPECT_TRUE(table.IsEmpty());
  table.Insert();
  table.FieldByName("ID").SetString("1");
  table.FieldByName("NAME").SetString("őz");
  table.FieldByName("NOTE").SetString("vad, lásd: szarvas");
  table.Post();
  EXPECT_EQ(table.RecordCount(), 1);
  EXPECT_EQ(table.FieldByName("NAME").AsString(), "őz");
  EXPECT_EQ(table.FieldByName("NOTE").AsString(), "vad, lásd: szarvas");
  table.Edit();
  table.FieldByName("NAME").SetString("dám");
  table.Post();
  table.Close();
  table.Open();
  EXPECT_EQ(table.FieldByName("NAME").AsString(), "dám");
  EXPECT_EQ(table.FieldByName("NOTE").AsString(), "vad, lásd: szarvas");
  table.Delete();
  EXPECT_TRUE(table.Eof()) << "deleting the only record leaves the dataset after the end";
  EXPECT_EQ(table.RecordCount(), 0);
}

TEST_F(DataSetTest, WritingOutsideEditAndOnReadOnlyResultsIsRefused) {
  ConnectScratch();
  table.Open();
  try {
    table.FieldByName("NAME").SetString("x");
    ADD_FAILURE();
  } catch (const EDatabaseError& error) {
    EXPECT_STREQ(error.what(), "Dataset not in edit or insert mode");
  }
  query.SetSQL({"SELECT * FROM T"});
  query.RequestLive = false;
  query.Open();
  EXPECT_FALSE(query.CanModify());
  try {
    query.Edit();
    ADD_FAILURE();
  } catch (const EDatabaseError& error) {
    EXPECT_STREQ(error.what(), "Cannot modify a read-only dataset");
  }
}

TEST_F(DataSetTest, CancelOfAnInsertReturnsToTheRecordShownOrTheLast) {
  ConnectScratch();
  AddRows(1, 3);
  table.Open();
  table.Next();
  const int32_t shown = table.RecordNo();
  table.Insert();
  table.FieldByName("ID").SetString("9");
  table.Cancel();
  EXPECT_EQ(table.RecordNo(), shown);
  EXPECT_EQ(table.RecordCount(), 3);
  EXPECT_EQ(table.State(), TDataSetState::dsBrowse);
}

TEST_F(DataSetTest, EditingARecordAnotherDatasetDeletedIsRefused) {
  ConnectScratch();
  AddRows(1, 2);
  table.Name = "A";
  table.Open();
  TVdbTable other;
  other.SetDatabaseName("Scratch");
  other.TableName = "T";
  other.Name = "B";
  other.Open();
  ASSERT_EQ(other.RecordNo(), table.RecordNo());
  other.Delete();
  try {
    table.Edit();
    ADD_FAILURE() << "edited a deleted record";
  } catch (const EDatabaseError& error) {
    EXPECT_STREQ(error.what(), "This record has been deleted");
  }
}

TEST_F(DataSetTest, FiltersOnTheCursorAndByRecordEvent) {
  ConnectScratch();
  database.StartTransaction();
  AddRows(1, 10050);
  database.Commit();
  table.FilterMethod = TVdbFilterMethod::tfeIncremental;  // evaluated while moving, not listed
  table.Open();
  table.Next();
  table.SetFilterText("ID < 20");
  table.SetFiltered(true);
  EXPECT_EQ(table.FieldByName("ID").AsString(), "1") << "switching the filter goes to the first record";
  EXPECT_EQ(table.RecordCount(), -1) << "a filtered count over 10000 records is not counted";
  table.SetFiltered(false);
  EXPECT_EQ(table.RecordCount(), 10050);
  table.OnFilterRecord = [](TVdbDataSet& dataSet) { return dataSet.FieldByName("NAME").AsString() == "n3"; };
  table.SetFiltered(true);
  table.SetFilterText("");
  const int32_t expected = 10050 / 7 + (10050 % 7 >= 3 ? 1 : 0);
  EXPECT_EQ(table.RecordCount(), expected);
  table.Edit();
  table.FieldByName("NAME").SetString("n4");
  table.Post();
  EXPECT_EQ(table.RecordCount(), expected - 1) << "posting counts again";
}

}  // namespace

namespace {

TEST_F(DataSetTest, LocatePrefixFindsTheFirstHeadwordInHungarianOrder) {
  ConnectLexicon();
  query.SetSQL({"Select * FROM Data ORDER By CIMSZO"});
  query.Open();
  const std::vector<std::string> words = Headwords(query);
  // Each case: the prefix typed and whether a headword starts with it (case ignored).
  const std::pair<std::u16string, bool> cases[] = {
      {u"r", true}, {u"RÓ", true}, {u"ö", true}, {u"cs", true}, {u"zzzz", false}, {u"Á", true}};
  std::uint32_t locale = 0;
  vdb::TStrCmpOptions options = 0;
  vdb::ParseCollationName("Hungarian_ci_as", locale, options);
  for (const auto& [prefix, exists] : cases) {
    query.SetRecNo(5);
    ASSERT_EQ(query.LocatePrefix("CIMSZO", prefix), exists) << vdbtext::Utf8(prefix);
    if (!exists) {
      EXPECT_EQ(query.RecNo(), 5) << "no move without a match";
      continue;
    }
    // The first headword in the grid's order that starts with the prefix.
    std::size_t expected = 0;
    for (; expected < words.size(); ++expected) {
      const std::u16string word = vdbtext::Utf16(words[expected]);
      int32_t used = 0;
      if (vdb::ComparePrefix(word.data(), static_cast<int32_t>(word.size()), prefix.data(),
                             static_cast<int32_t>(prefix.size()), options, locale, used) == 0)
        break;
    }
    EXPECT_EQ(query.RecNo(), static_cast<int32_t>(expected + 1)) << vdbtext::Utf8(prefix);
  }
}

}  // namespace
