// The lexicon's search over its stored table Data: the condition the window runs, evaluated per
// record through an accessor, with the headword compared under "Hungarian_ci_as" and the memo read
// from the memo file only for records whose headword did not match.
#include <gtest/gtest.h>

#include "session/VdbAccessor.h"
#include "sql/VplDatabase.h"
#include "table/VdbBaseTableTestSupport.h"

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

}  // namespace
}  // namespace vdb
