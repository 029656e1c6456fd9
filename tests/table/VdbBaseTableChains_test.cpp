// Memo chains of base tables under failing and stale writes: a record write happens whole or
// leaves the old value, and every used block of the memo file belongs to exactly one record's
// chain afterwards.
#include "VdbBaseTableTestSupport.h"

#include <set>

#include "table/VdbBlobFile.h"
#include "table/VdbData.h"
#include "table/VdbDataFile.h"

namespace vdb::test {
namespace {

using BaseTableChains = BaseTableFixture;

// Every block of the file is either on the free list or on the chain of exactly one record's
// field FieldNo; an empty answer means so, otherwise it names the first fault.
std::string ChainOwnership(TVdbBaseTable& Table, TVdbBlockedBinaryFile& File,
                           std::int16_t FieldNo) {
  std::vector<std::int32_t> Next;
  std::int32_t Count = 0;
  std::int32_t FirstFree = 0;
  if (File.CreateBlockList(Next, Count, FirstFree) < 0) return "block list unreadable";
  std::vector<int> Owners(static_cast<std::size_t>(Count) + 1, 0);
  const auto Walk = [&](std::int32_t First, bool FreeList) -> std::string {
    for (std::int32_t Block = First, Steps = 0; Block >= 1 && Block <= Count; ++Steps) {
      if (Steps > Count) return "loop from block " + std::to_string(First);
      if (++Owners[static_cast<std::size_t>(Block)] > 1)
        return "block " + std::to_string(Block) + " owned twice";
      Block = Next[static_cast<std::size_t>(Block)];
      if (!FreeList && Block != TVdbBlockedBinaryFile::kEndOfChain &&
          (Block < 1 || Block > Count))
        return "chain leaves the file";
    }
    return "";
  };
  if (std::string Fault = Walk(FirstFree, true); !Fault.empty()) return Fault;
  std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Table.RecordSize()));
  for (std::int32_t RecNo = Table.GetFirstRecordNo(); RecNo > 0;
       RecNo = Table.GetNextRecordNo(RecNo)) {
    if (Table.ReadRecord(RecNo, Buffer.data()) < 0) return "record unreadable";
    if (std::string Fault = Walk(Table.GetBlockIdx(Buffer.data(), FieldNo), false);
        !Fault.empty())
      return "record " + std::to_string(RecNo) + ": " + Fault;
  }
  for (std::int32_t Block = 1; Block <= Count; ++Block) {
    if (Owners[static_cast<std::size_t>(Block)] == 0)
      return "block " + std::to_string(Block) + " is orphaned";
  }
  return "";
}

std::string MemoOf(TVdbBaseTable& Table, std::int32_t RecNo, std::int16_t FieldNo) {
  std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Table.RecordSize()));
  if (Table.ReadRecord(RecNo, Buffer.data()) < 0) return "?";
  std::string Text;
  if (Table.ReadMemoString(Buffer.data(), FieldNo, Text) < 0) return "?";
  return Text;
}

TEST_F(BaseTableChains, AStaleImageReplacesOnlyTheStoredRecordsChain) {
  WriteDatabase(NumberedEntries(3));
  TVdbBaseTable* Table = OpenTable();
  ASSERT_NE(Table, nullptr);
  std::vector<std::uint8_t> First(156);
  ASSERT_EQ(Table->ReadRecord(1, First.data()), 0);
  // The caller's image of record 2 names record 1's chain (a copy gone stale).
  std::vector<std::uint8_t> Image = Record("uj");
  Table->SetBlockIdx(Image.data(), 2, Table->GetBlockIdx(First.data(), 2));
  const TVdbBlobDataList Text = Memo(2, "masik szoveg");
  ASSERT_EQ(Table->ReplaceRecord(Image.data(), Image.data(), 2, &Text), 0)
      << Errors().LastErrorMsg();
  EXPECT_EQ(MemoOf(*Table, 1, 2), "leiras 01\r\nmasodik sor");
  EXPECT_EQ(MemoOf(*Table, 2, 2), "masik szoveg");
  EXPECT_EQ(MemoOf(*Table, 3, 2), "leiras 03\r\nmasodik sor");
  EXPECT_EQ(ChainOwnership(*Table, *Table->MemoFile(), 2), "");

  // Without a new value the record keeps its own chain, whatever the image names; a cleared
  // field lets the chain go.
  std::vector<std::uint8_t> Plain = Record("ujabb");
  Table->SetBlockIdx(Plain.data(), 2, Table->GetBlockIdx(First.data(), 2));
  ASSERT_EQ(Table->ReplaceRecord(Plain.data(), Plain.data(), 2, nullptr), 0)
      << Errors().LastErrorMsg();
  EXPECT_EQ(MemoOf(*Table, 2, 2), "masik szoveg");
  std::vector<std::uint8_t> Cleared = Record("ures");
  ASSERT_EQ(Table->ReplaceRecord(Cleared.data(), Cleared.data(), 3, nullptr), 0);
  EXPECT_EQ(MemoOf(*Table, 3, 2), "");
  EXPECT_EQ(MemoOf(*Table, 1, 2), "leiras 01\r\nmasodik sor");
  EXPECT_EQ(ChainOwnership(*Table, *Table->MemoFile(), 2), "");
}

TEST_F(BaseTableChains, AValueWrittenIntoTheImageIsTakenByTheNextRecordWrite) {
  WriteDatabase(NumberedEntries(2));
  TVdbBaseTable* Table = OpenTable();
  ASSERT_NE(Table, nullptr);
  std::vector<std::uint8_t> Image(156);
  ASSERT_EQ(Table->ReadRecord(2, Image.data()), 0);
  ASSERT_EQ(Table->WriteMemoString(Image.data(), 2, "elso valtozat"), 0);
  // Until the record is written it keeps its old value.
  EXPECT_EQ(MemoOf(*Table, 2, 2), "leiras 02\r\nmasodik sor");
  ASSERT_EQ(Table->WriteMemoString(Image.data(), 2, "masodik valtozat"), 0);
  ASSERT_EQ(Table->ReplaceRecord(Image.data(), Image.data(), 2, nullptr), 0)
      << Errors().LastErrorMsg();
  EXPECT_EQ(MemoOf(*Table, 2, 2), "masodik valtozat");
  EXPECT_EQ(ChainOwnership(*Table, *Table->MemoFile(), 2), "");

  // A new record takes a copy of a chain another record owns.
  std::vector<std::uint8_t> Copy = Record("masolat");
  Table->SetBlockIdx(Copy.data(), 2, Table->GetBlockIdx(Image.data(), 2));
  ASSERT_EQ(Table->AppendRecord(Copy.data(), nullptr), 3) << Errors().LastErrorMsg();
  EXPECT_EQ(MemoOf(*Table, 3, 2), "masodik valtozat");
  EXPECT_EQ(ChainOwnership(*Table, *Table->MemoFile(), 2), "");
}

// A table with a record id column "_XXX" (a B+ data file, which refuses a changed or a taken
// record id only when the record itself is written), a name and a memo.
std::unique_ptr<TVdbBaseTable> WithIdAndMemo(std::unique_ptr<TVdbBaseTable> Table) {
  Table->SetCollationName("Hungarian_ci_as");
  auto Id = TVdbColumnDef::CreateColumnDef("_XXX", TVdbDataType::GetDataType(9, false, 6), 0);
  dynamic_cast<TVdbRecordIdColumnDef&>(*Id).IndexSpec = "_XXX";
  Table->ColumnDefs().Add(std::move(Id));
  Table->ColumnDefs().Add(TVdbColumnDef::CreateStringColumnDef(
      "NEV", TVdbDataType::GetStringType(1, true, 6, 20, "Hungarian_ci_as"), "",
      kVdbColNullable));
  Table->ColumnDefs().Add(TVdbColumnDef::CreateColumnDef(
      "MEGJ", TVdbDataType::GetDataType(7, true, 6), kVdbColNullable));
  return Table;
}

TEST_F(BaseTableChains, AFailedRecordWriteKeepsTheOldValueAndLeavesNoOrphan) {
  WriteDatabase(NumberedEntries(1));
  auto Table = WithIdAndMemo(NewTable(0, 1, "\\Ids.vdbt"));
  ASSERT_EQ(Table->NewFile(), 0) << Errors().LastErrorMsg();
  ASSERT_EQ(Table->Setup(false), 0) << Errors().LastErrorMsg();
  std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Table->RecordSize()));
  for (const char* Name : {"egy", "ketto"}) {
    ASSERT_EQ(Table->InitRecord(Buffer.data(), true), 0);
    Table->SetAnsiString(Buffer.data(), 2, Name);
    const TVdbBlobDataList Text = Memo(3, std::string(Name) + " " + std::string(300, 'x'));
    ASSERT_GT(Table->AppendRecord(Buffer.data(), &Text), 0) << Errors().LastErrorMsg();
  }
  const std::string Before = MemoOf(*Table, 1, 3);

  struct Case {
    const char* Name;
    bool Append;
    std::int32_t RecordId;  // the id the image carries
  };
  for (const Case& C : {Case{"append under a taken id", true, 2},
                        Case{"replace with a changed id", false, 77}}) {
    SCOPED_TRACE(C.Name);
    ASSERT_EQ(Table->ReadRecord(1, Buffer.data()), 0);
    Table->SetRecordId(Buffer.data(), C.RecordId);
    const TVdbBlobDataList Text = Memo(3, std::string(2000, 'y'));
    const std::int32_t Result = C.Append ? Table->AppendRecord(Buffer.data(), &Text)
                                         : Table->ReplaceRecord(Buffer.data(), Buffer.data(), 1, &Text);
    EXPECT_LT(Result, 0);
    EXPECT_EQ(Table->RecordCount(), 2);
    EXPECT_TRUE(MemoOf(*Table, 1, 3) == Before) << "record 1's memo changed";
    EXPECT_EQ(ChainOwnership(*Table, *Table->MemoFile(), 3), "");
  }
}

}  // namespace
}  // namespace vdb::test
