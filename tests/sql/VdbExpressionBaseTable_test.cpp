// The lexicon's search over its stored table Data: the condition the window runs, evaluated per
// record through an accessor, with the headword compared under "Hungarian_ci_as" and the memo read
// from the memo file only for records whose headword did not match.
#include <gtest/gtest.h>

#include "session/VdbAccessor.h"
#include "sql/VplDatabase.h"
#include "storage/kxMemory.h"
#include "table/VdbBaseTableTestSupport.h"
#include "table/kxStrUtils.h"

namespace vdb {
namespace {

// Table Data, counting the memo texts it reads.
class TCountingTable : public TVdbBaseTable {
 public:
  using TVdbBaseTable::TVdbBaseTable;
  int MemoReads = 0;
  std::int16_t ReadMemoString(const std::uint8_t* RecBuffer, std::int16_t FieldNo, std::string& Value) override {
    ++MemoReads;
    return TVdbBaseTable::ReadMemoString(RecBuffer, FieldNo, Value);
  }
};

class LexiconSearchTest : public test::BaseTableFixture {
 protected:
  void SetUp() override {
    BaseTableFixture::SetUp();
    WriteDatabase({{"Agancs-csörtölés", "A bikák agancsainak összeütése.", 2},
                   {"Barcogás", "A dámbika hangja a TÖLÉS idején.", 3},
                   {"Cserkelés", "", 4},
                   {"tolés", "nincs benne", 5},
                   {"Tölés", "Az őz üzekedése.", 6},
                   {"Vadkan", std::string(20000, 'x') + " tölés", 7}});
    OpenCountingTable();
  }
  void OpenCountingTable() {
    Table = std::make_unique<TCountingTable>(Session());
    Table->SetFileSystem(FContainer.get());
    Table->SetFileName("\\Data.vdbt");
    Table->SetRights(kVdbWriteRights);
    Table->SetPhysicalDirectory(FDir.string());
    Table->SetContainerName("L_Data");
    ASSERT_EQ(Table->Open(false), 0) << Errors().LastErrorMsg();
    ASSERT_EQ(Table->Setup(false), 0) << Errors().LastErrorMsg();
  }
  void TearDown() override {
    Table.reset();
    BaseTableFixture::TearDown();
  }
  std::unique_ptr<TCountingTable> Table;
};

TEST_F(LexiconSearchTest, TheWindowsSearchConditionOverTableData) {
  TVdbAccessor Accessor(*Table, "Query");
  TVdbSqlCondition Search("CIMSZO like '%tölés%' or LEIRAS like '%tölés%'", Accessor);
  std::vector<std::string> Hits;
  for (std::int16_t R = Accessor.First(); R == 0; R = Accessor.Next()) {
    if (!Search.Evaluate()) continue;
    std::string Headword;
    Table->GetAnsiString(Accessor.GetRecordPtr(), 1, Headword);
    Hits.push_back(Headword);
  }
  EXPECT_EQ(Hits, (std::vector<std::string>{"Agancs-csörtölés", "Barcogás", "Tölés", "Vadkan"}));
  // Barcogás, Cserkelés, tolés and Vadkan did not match by headword.
  EXPECT_EQ(Table->MemoReads, 4);
  EXPECT_EQ(Table->CountReadLocks(), 0);

  // As the accessor's filter, the count is the number of hits.
  Accessor.SetFilter(std::make_unique<TVdbSqlCondition>("CIMSZO like '%tölés%' or LEIRAS like '%tölés%'", Accessor));
  EXPECT_EQ(Accessor.GetRecordCount(), 4);
}

// The lexicon as shipped: the hits of the search are the entries whose headword or description
// holds the text, ignoring case but not accents.
class ShippedLexiconSearchTest : public LexiconSearchTest {
 protected:
  void SetUp() override {
    BaseTableFixture::SetUp();
    Entries = lexicon::ReadLexiconCsv(std::string(VDB_SOURCE_DIR) + "/app/lexicon/Lexikon.csv");
    WriteDatabase(Entries);
    OpenCountingTable();
  }
  static std::u16string Lower(const std::string& Utf8) {
    std::u16string Text = TkxMemory::Utf8ToUtf16(Utf8);
    CollatedLower(Text.data(), Text.data(), static_cast<std::int32_t>(Text.size()), LocaleFromLanguage("Hungarian"));
    return Text;
  }
  std::vector<lexicon::LexiconEntry> Entries;
};

TEST_F(ShippedLexiconSearchTest, HitsAreTheEntriesHoldingTheText) {
  ASSERT_GT(Entries.size(), 100u);
  for (const char* Text : {"róka", "agancs", "vaddisznó"}) {
    SCOPED_TRACE(Text);
    const std::u16string Wanted = Lower(Text);
    std::size_t Expected = 0, HeadwordHits = 0;
    for (const auto& E : Entries) {
      const bool InHeadword = Lower(E.headword).find(Wanted) != std::u16string::npos;
      HeadwordHits += InHeadword;
      Expected += InHeadword || Lower(E.description).find(Wanted) != std::u16string::npos;
    }
    TVdbAccessor Accessor(*Table, "Query");
    const std::string Pattern = std::string("'%") + Text + "%'";
    TVdbSqlCondition Search("CIMSZO like " + Pattern + " or LEIRAS like " + Pattern, Accessor);
    Table->MemoReads = 0;
    std::size_t Hits = 0;
    for (std::int16_t R = Accessor.First(); R == 0; R = Accessor.Next()) Hits += Search.Evaluate();
    EXPECT_GT(Expected, 0u);
    EXPECT_EQ(Hits, Expected);
    EXPECT_EQ(static_cast<std::size_t>(Table->MemoReads), Entries.size() - HeadwordHits);
  }
}

}  // namespace
}  // namespace vdb
