// Base tables over the lexicon's database as the build writes it: opening, reading through the
// memo file and the headword index, writing with index maintenance, choosing and creating
// indexes, flushing.
#include "VdbBaseTableTestSupport.h"

#include "table/VdbBlobFile.h"
#include "table/VdbData.h"
#include "table/VdbDataFile.h"
#include "table/VdbIndexFile.h"
#include "table/VdbIndexKeys.h"

namespace vdb::test {
namespace {

// A memo value for column 2 that lives until the end of the full expression.
struct MemoPtr {
  explicit MemoPtr(const std::string& Text) : List(Memo(2, Text)) {}
  operator const TVdbBlobDataList*() const { return &List; }
  TVdbBlobDataList List;
};

const std::string kLexiconPath = std::string(VDB_SOURCE_DIR) + "/app/lexicon/Lexikon.csv";

constexpr std::uint16_t kAllRights = kVdbWriteRights;

using BaseTable = BaseTableFixture;

TEST_F(BaseTable, OpensTheLexiconAsTheBuildWritesIt) {
  const auto Entries = lexicon::ReadLexiconCsv(kLexiconPath);
  WriteDatabase(Entries);
  TVdbBaseTable* Table = OpenTable(0);
  ASSERT_NE(Table, nullptr);
  EXPECT_EQ(Table->Level(), 6);
  EXPECT_EQ(Table->RecordSize(), 156);
  EXPECT_EQ(Table->RecordCount(), static_cast<std::int32_t>(Entries.size()));
  EXPECT_EQ(Table->IndexCount(), 1);
  EXPECT_EQ(Table->LastIndexNo(), 0);
  ASSERT_NE(Table->GetIndexFile(0), nullptr);
  EXPECT_EQ(Table->GetIndexFile(0)->Name(), "CIMSZO");
  EXPECT_EQ(Table->GetIndexFile(0)->FileName(), "\\Data!CIMSZO.vdbi");
  EXPECT_EQ(Table->GetIndexFile(0)->Kind(), tikUser);
  EXPECT_EQ(Table->InrIndexNo(), kVdbNoIndex);
  EXPECT_EQ(Table->IdIndexNo(), kVdbNoIndex);
  EXPECT_EQ(Table->PrimIndexNo(), kVdbNoIndex);
  EXPECT_TRUE(Table->HasMemo());
  EXPECT_FALSE(Table->HasBlob());
  EXPECT_EQ(Table->GetIndexNo("cimszo"), 0);
  EXPECT_LT(Table->GetIndexNo("LEIRAS"), 0);

  // The memo text of a record, with its line breaks as CR LF.
  std::vector<std::uint8_t> Buffer(156);
  const std::size_t Pick = Entries.size() / 2;
  ASSERT_EQ(Table->ReadRecord(static_cast<std::int32_t>(Pick + 1), Buffer.data()), 0);
  EXPECT_EQ(AnsiToUtf8(Headword(Buffer.data()), 1250), Entries[Pick].headword);
  std::string Memo;
  ASSERT_EQ(Table->ReadMemoString(Buffer.data(), 2, Memo), 0) << Errors().LastErrorMsg();
  std::string Expected;
  for (char C : Entries[Pick].description)
    Expected += C == '\n' ? std::string("\r\n") : std::string(1, C);
  EXPECT_EQ(AnsiToUtf8(Memo, 1250), Expected);
  EXPECT_EQ(Table->GetMemoLength(Buffer.data(), 2), static_cast<std::int32_t>(Memo.size()));

  // The headword index walks every record once.
  std::vector<std::int32_t> Walk = IndexWalk(*Table, 0);
  EXPECT_EQ(Walk.size(), Entries.size());
  std::sort(Walk.begin(), Walk.end());
  EXPECT_EQ(std::adjacent_find(Walk.begin(), Walk.end()), Walk.end());
  // A read-only opening that is not shared read-only logs in to the lock file; the last
  // session to leave removes it and the move file.
  EXPECT_TRUE(std::filesystem::exists(LockFilePath()));
  EXPECT_TRUE(std::filesystem::exists(MoveFilePath()));
  FTables.clear();
  EXPECT_FALSE(std::filesystem::exists(LockFilePath()));
  EXPECT_FALSE(std::filesystem::exists(MoveFilePath()));
  // Shared read-only needs none.
  ASSERT_NE(OpenTable(kVdbRightSharedReadOnly), nullptr);
  EXPECT_FALSE(std::filesystem::exists(LockFilePath()));
}

TEST_F(BaseTable, RecordNumberWalksFollowTheDataFile) {
  WriteDatabase(NumberedEntries(4));
  TVdbBaseTable* Table = OpenTable(kVdbRightSharedReadOnly);
  ASSERT_NE(Table, nullptr);
  std::vector<std::int32_t> Forward;
  for (std::int32_t RecNo = Table->GetFirstRecordNo(); RecNo > 0;
       RecNo = Table->GetNextRecordNo(RecNo)) {
    Forward.push_back(RecNo);
  }
  EXPECT_EQ(Forward, (std::vector<std::int32_t>{1, 2, 3, 4}));
  EXPECT_EQ(Table->GetLastRecordNo(), 4);
  EXPECT_EQ(Table->GetPrevRecordNo(4), 3);
  std::vector<std::uint8_t> Buffer(156);
  EXPECT_EQ(Table->ReadRecord(5, Buffer.data()), -19);
}

TEST_F(BaseTable, MissingDataFileAndMissingStationAreRefused) {
  WriteDatabase(NumberedEntries(2));
  auto Missing = NewTable(kAllRights, 1, "\\Nothing.vdbt");
  EXPECT_EQ(Missing->Open(false), -37);
  EXPECT_FALSE(Missing->Active());

  Session()->SetStation(0);
  auto NoStation = NewTable(kAllRights);
  EXPECT_EQ(NoStation->Open(false), -107);
  EXPECT_FALSE(NoStation->Active());
  EXPECT_FALSE(std::filesystem::exists(LockFilePath()));

  // A lock file that cannot be created: its directory is a file.
  Session()->SetStation(1);
  const std::filesystem::path NotADirectory = FDir / "plain";
  std::ofstream(NotADirectory.string()) << "x";
  auto NoLockFile = NewTable(kAllRights);
  NoLockFile->SetPhysicalDirectory(NotADirectory.string());
  EXPECT_EQ(NoLockFile->Open(false), -115);
  EXPECT_FALSE(NoLockFile->Active());
}

TEST_F(BaseTable, AppendReplaceAndDeleteKeepTheIndexInStep) {
  WriteDatabase(NumberedEntries(3));
  TVdbBaseTable* Table = OpenTable();
  ASSERT_NE(Table, nullptr);
  TRecordingListener Listener;
  Table->AddListener(&Listener);

  std::vector<std::uint8_t> New = Record("alma");
  ASSERT_EQ(Table->AppendRecord(New.data(), MemoPtr("uj leiras")), 4) << Errors().LastErrorMsg();
  EXPECT_EQ(Table->RecordCount(), 4);
  EXPECT_EQ(IndexHeadwords(*Table, 0),
            (std::vector<std::string>{"alma", "szo01", "szo02", "szo03"}));
  std::vector<std::uint8_t> Buffer(156);
  ASSERT_EQ(Table->ReadRecord(4, Buffer.data()), 0);
  std::string Memo;
  ASSERT_EQ(Table->ReadMemoString(Buffer.data(), 2, Memo), 0);
  EXPECT_EQ(Memo, "uj leiras");

  std::vector<std::uint8_t> Changed = Record("zab");
  TkxMemory::WriteInt32(Changed.data(), 152, Table->GetBlockIdx(Buffer.data(), 2));
  ASSERT_EQ(Table->ReplaceRecord(Changed.data(), Buffer.data(), 4, MemoPtr("mas")), 0)
      << Errors().LastErrorMsg();
  EXPECT_EQ(IndexHeadwords(*Table, 0),
            (std::vector<std::string>{"szo01", "szo02", "szo03", "zab"}));
  ASSERT_EQ(Table->ReadRecord(4, Buffer.data()), 0);
  ASSERT_EQ(Table->ReadMemoString(Buffer.data(), 2, Memo), 0);
  EXPECT_EQ(Memo, "mas");

  const std::int32_t MemoBlocks = Table->MemoFile()->LastBlock();
  ASSERT_EQ(Table->DeleteRecord(Buffer.data(), 4), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(IndexHeadwords(*Table, 0), (std::vector<std::string>{"szo01", "szo02", "szo03"}));
  // The deleted record's memo blocks are free again: the next value takes them.
  std::vector<std::uint8_t> Next = Record("korte");
  ASSERT_EQ(Table->AppendRecord(Next.data(), MemoPtr("mas")), 4) << Errors().LastErrorMsg();
  EXPECT_EQ(Table->MemoFile()->LastBlock(), MemoBlocks);
  ASSERT_EQ(Table->ReadRecord(4, Next.data()), 0);
  ASSERT_EQ(Table->DeleteRecord(Next.data(), 4), 0);
  EXPECT_EQ(Listener.Events, (std::vector<std::string>{"changed", "record 4", "deleted 4 moved 0",
                                                       "changed", "deleted 4 moved 0"}));
}

TEST_F(BaseTable, AStaleRecordImageDoesNotLeaveKeysBehind) {
  WriteDatabase(NumberedEntries(4));
  TVdbBaseTable* Table = OpenTable();
  ASSERT_NE(Table, nullptr);
  // The caller's original image says "other", the stored record is szo02.
  std::vector<std::uint8_t> Stale = Record("other");
  std::vector<std::uint8_t> New = Record("uj");
  ASSERT_EQ(Table->ReplaceRecord(New.data(), Stale.data(), 2, nullptr), 0)
      << Errors().LastErrorMsg();
  EXPECT_EQ(IndexHeadwords(*Table, 0), (std::vector<std::string>{"szo01", "szo03", "szo04", "uj"}));
  std::vector<std::uint8_t> Empty(156, 0);
  ASSERT_EQ(Table->DeleteRecord(Empty.data(), 3), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(IndexHeadwords(*Table, 0), (std::vector<std::string>{"szo01", "szo04", "uj"}));
}

TEST_F(BaseTable, IntegrityHandlersAreCalledAroundChanges) {
  WriteDatabase(NumberedEntries(3));
  TVdbBaseTable* Table = OpenTable();
  ASSERT_NE(Table, nullptr);
  auto Key = std::make_unique<TVdbForeignKeyDef>("FK_SZULO");
  Key->FColumnNames = {"CIMSZO"};
  Key->FParentTableName = "Szulo";
  Table->ForeignKeyDefs().Add(std::move(Key));
  std::vector<std::string> Calls;
  bool Refuse = false;
  Table->SetOnCheckReferentialIntegrity(
      [&](TVdbRelation&, std::int32_t Index, const std::uint8_t* Record) -> std::int16_t {
        Calls.push_back("check " + std::to_string(Index) + " " + Headword(Record));
        return Refuse ? Session()->SetLastError(184, "Szulo") : 0;
      });
  const auto Rules = [&](const char* What) {
    return [&, What](TVdbRelation&, bool Before, const std::uint8_t*,
                     const std::uint8_t*) -> std::int16_t {
      Calls.push_back(std::string(What) + (Before ? " before" : " after"));
      return 0;
    };
  };
  Table->SetOnExecuteUpdateIntegrityRules(Rules("update"));
  Table->SetOnExecuteDeleteIntegrityRules(Rules("delete"));

  std::vector<std::uint8_t> New = Record("alma");
  ASSERT_EQ(Table->AppendRecord(New.data(), nullptr), 4) << Errors().LastErrorMsg();
  Refuse = true;
  std::vector<std::uint8_t> Orphan = Record("arva");
  EXPECT_EQ(Table->AppendRecord(Orphan.data(), nullptr), -184);
  EXPECT_EQ(Table->RecordCount(), 4);
  Refuse = false;
  std::vector<std::uint8_t> Changed = Record("korte");
  ASSERT_EQ(Table->ReplaceRecord(Changed.data(), New.data(), 4, nullptr), 0);
  ASSERT_EQ(Table->DeleteRecord(Changed.data(), 4), 0);
  EXPECT_EQ(Calls, (std::vector<std::string>{"check 0 alma", "check 0 arva", "check 0 korte",
                                             "update before", "update after", "delete before",
                                             "delete after"}));
}

TEST_F(BaseTable, AMemoThatCannotBeWrittenStopsTheAppend) {
  WriteDatabase(NumberedEntries(2));
  TVdbBaseTable* Table = OpenTable();
  ASSERT_NE(Table, nullptr);
  std::vector<std::uint8_t> New = Record("alma");
  // The memo file refuses the end-of-text character inside a text.
  EXPECT_EQ(Table->AppendRecord(New.data(), MemoPtr(std::string("a\0b", 3))), -9999);
  EXPECT_EQ(Errors().LastErrorCode(), 45);
  EXPECT_EQ(Table->RecordCount(), 2);
  EXPECT_EQ(IndexWalk(*Table, 0).size(), 2u);
}

TEST_F(BaseTable, ReplaceNeedsTheEditRight) {
  WriteDatabase(NumberedEntries(2));
  TVdbBaseTable* Table = OpenTable(kVdbRightAppend);
  ASSERT_NE(Table, nullptr);
  std::vector<std::uint8_t> Old(156);
  ASSERT_EQ(Table->ReadRecord(1, Old.data()), 0);
  std::vector<std::uint8_t> New = Record("x");
  EXPECT_EQ(Table->ReplaceRecord(New.data(), Old.data(), 1, nullptr), -160);
  EXPECT_EQ(Errors().LastErrorCode(), 160);
}

TEST_F(BaseTable, AppendBeyondTheCapacityFailsAndChangesNothing) {
  WriteDatabase(NumberedEntries(1));
  // A table of its own with room for two records.
  auto Owned = NewTable(0, 1, "\\Small.vdbt");
  TVdbBaseTable& Table = *Owned;
  Table.SetCapacity(2);
  Table.SetCollationName("Hungarian_ci_as");
  Table.ColumnDefs().Add(TVdbColumnDef::CreateStringColumnDef(
      "CIMSZO", TVdbDataType::GetStringType(1, true, 6, 150, "Hungarian_ci_as"), "",
      kVdbColNullable));
  Table.ColumnDefs().Add(TVdbColumnDef::CreateColumnDef(
      "LEIRAS", TVdbDataType::GetDataType(7, true, 6), kVdbColNullable));
  ASSERT_EQ(Table.NewFile(), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Table.Rights(), kVdbNewTableRights);
  EXPECT_TRUE(Table.HasMemo());
  EXPECT_TRUE(FContainer->FileExists("\\Small.vdbm"));
  ASSERT_GE(Table.CreateIndex("CIMSZO", "CIMSZO", false), 0) << Errors().LastErrorMsg();
  for (const char* Word : {"a", "b"}) {
    std::vector<std::uint8_t> Buffer = Record(Word);
    ASSERT_GT(Table.AppendRecord(Buffer.data(), MemoPtr("text")), 0) << Errors().LastErrorMsg();
  }
  const std::int32_t MemoBlocks = Table.MemoFile()->LastBlock();
  std::vector<std::uint8_t> Third = Record("c");
  EXPECT_EQ(Table.AppendRecord(Third.data(), MemoPtr("text")), -171);
  EXPECT_EQ(Errors().LastErrorCode(), 171);
  EXPECT_NE(Errors().LastErrorMsg().find("Small.vdbt"), std::string::npos)
      << Errors().LastErrorMsg();
  EXPECT_EQ(Table.RecordCount(), 2);
  EXPECT_EQ(IndexHeadwords(Table, 0), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Table.MemoFile()->LastBlock(), MemoBlocks);
}

TEST_F(BaseTable, UniqueIndexViolationLeavesNoKeyBehind) {
  WriteDatabase(NumberedEntries(5));
  TVdbBaseTable* Table = OpenTable();
  ASSERT_NE(Table, nullptr);
  const std::int16_t Unique = Table->CreateIndex("EGYEDI", "CIMSZO", true);
  ASSERT_EQ(Unique, 1) << Errors().LastErrorMsg();
  EXPECT_EQ(IndexWalk(*Table, 1).size(), 5u);

  std::vector<std::uint8_t> Duplicate = Record("SZO03");  // the collation ignores case
  EXPECT_EQ(Table->AppendRecord(Duplicate.data(), nullptr), -30);
  EXPECT_EQ(Errors().LastErrorCode(), 30);
  EXPECT_EQ(Table->RecordCount(), 5);
  EXPECT_EQ(IndexWalk(*Table, 0).size(), 5u);
  EXPECT_EQ(IndexWalk(*Table, 1).size(), 5u);

  // Replacing a record by itself is no violation; taking another record's key is.
  std::vector<std::uint8_t> Old(156);
  ASSERT_EQ(Table->ReadRecord(3, Old.data()), 0);
  EXPECT_EQ(Table->ReplaceRecord(Old.data(), Old.data(), 3, nullptr), 0) << Errors().LastErrorMsg();
  std::vector<std::uint8_t> Taken = Record("szo04");
  TkxMemory::WriteInt32(Taken.data(), 152, Table->GetBlockIdx(Old.data(), 2));
  EXPECT_EQ(Table->ReplaceRecord(Taken.data(), Old.data(), 3, nullptr), -30);
  EXPECT_EQ(IndexHeadwords(*Table, 1),
            (std::vector<std::string>{"szo01", "szo02", "szo03", "szo04", "szo05"}));

  // The new index is listed in the index-name area: a new opening finds it.
  FTables.clear();
  TVdbBaseTable* Again = OpenTable();
  ASSERT_NE(Again, nullptr);
  EXPECT_EQ(Again->GetIndexNo("EGYEDI"), 1);
  EXPECT_EQ(Again->AppendRecord(Duplicate.data(), nullptr), -30);
}

TEST_F(BaseTable, DeletingOutsideTheRecordsFails) {
  WriteDatabase(NumberedEntries(3));
  TVdbBaseTable* Table = OpenTable();
  ASSERT_NE(Table, nullptr);
  std::vector<std::uint8_t> Buffer(156);
  for (std::int32_t RecNo : {0, 4, -1}) {
    EXPECT_EQ(Table->DeleteRecord(Buffer.data(), RecNo), -19) << RecNo;
  }
  EXPECT_EQ(Table->RecordCount(), 3);
}

struct DeleteCase {
  std::int32_t RecNo;
  std::int32_t Moved;  // 0: nothing moves
};

class BaseTableDelete : public BaseTableFixture,
                        public ::testing::WithParamInterface<DeleteCase> {};

TEST_P(BaseTableDelete, TheLastRecordMovesIntoTheGap) {
  const DeleteCase Case = GetParam();
  WriteDatabase(NumberedEntries(10));
  TVdbBaseTable* Table = OpenTable();
  ASSERT_NE(Table, nullptr);
  TRecordingListener Listener;
  Table->AddListener(&Listener);
  std::vector<std::uint8_t> Buffer(156);
  ASSERT_EQ(Table->ReadRecord(Case.RecNo, Buffer.data()), 0);
  const std::string Deleted = Headword(Buffer.data());
  ASSERT_EQ(Table->DeleteRecord(Buffer.data(), Case.RecNo), 0) << Errors().LastErrorMsg();

  EXPECT_EQ(Table->RecordCount(), 9);
  std::vector<std::string> Expected;
  for (const auto& Entry : NumberedEntries(10)) {
    if (Entry.headword != Deleted) Expected.push_back(Entry.headword);
  }
  EXPECT_EQ(IndexHeadwords(*Table, 0), Expected);
  if (Case.Moved != 0) {
    ASSERT_EQ(Table->ReadRecord(Case.RecNo, Buffer.data()), 0);
    EXPECT_EQ(Headword(Buffer.data()), "szo10");
    std::string Memo;
    ASSERT_EQ(Table->ReadMemoString(Buffer.data(), 2, Memo), 0);
    EXPECT_EQ(Memo, "leiras 10\r\nmasodik sor");
  }
  // Every index entry names an existing record.
  for (std::int32_t RecNo : IndexWalk(*Table, 0)) EXPECT_LE(RecNo, 9);
  EXPECT_EQ(Listener.Events, (std::vector<std::string>{"deleted " + std::to_string(Case.RecNo) +
                                                       " moved " + std::to_string(Case.Moved)}));
  const std::int32_t Old = Case.Moved != 0 ? Case.Moved : Case.RecNo;
  EXPECT_EQ(MovePairs(), (std::vector<std::pair<std::int32_t, std::int32_t>>{{Case.RecNo, Old}}));
}

INSTANTIATE_TEST_SUITE_P(Cases, BaseTableDelete,
                         ::testing::Values(DeleteCase{5, 10}, DeleteCase{10, 0},
                                           DeleteCase{1, 10}));

TEST_F(BaseTable, AnIndexWhoseDefinitionDoesNotFitIsCorruptFromThenOn) {
  WriteDatabase(NumberedEntries(3));
  {
    // An index file over column 1 as if it were an integer column.
    TVdbLastError Errors;
    auto Storage =
        std::make_unique<TVdbClientStorage>(TVdbPageManager::Instance(), FContainer.get(), 1);
    TVdbIndexFile File(&Errors, std::move(Storage), 6);
    File.SetName("ROSSZ");
    File.SetFileName("\\Data!ROSSZ.vdbi");
    TVdbIndexHeaderDef Def;
    Def.Levels.push_back({1, 4, 16});
    Def.ItemSize = 8;
    ASSERT_EQ(File.SetIndexDefinition(Def), 0);
    File.SetCompareFunction([](const std::uint8_t* X, const std::uint8_t* Y, bool&) {
      return TkxMemory::ReadInt32(X, 0) < TkxMemory::ReadInt32(Y, 0);
    });
    ASSERT_EQ(File.NewStorage(6, 4096), 0) << File.LastFailure();
    ASSERT_EQ(File.Flush(), 0);
    ASSERT_EQ(File.Close(), 0);
  }
  {
    TVdbBaseTable* Table = OpenTable();
    ASSERT_NE(Table, nullptr);
    Table->DataFile()->IndexNames().push_back("ROSSZ");
    ASSERT_EQ(Table->DataFile()->WriteIndexNames(), 0);
    FTables.clear();
  }
  auto Table = NewTable(kAllRights | kVdbRightExclusive);
  ASSERT_EQ(Table->Open(false), 0) << Errors().LastErrorMsg();
  // Setting up opens every index once: the misfit is reported there.
  EXPECT_EQ(Table->Setup(false), 0);
  EXPECT_EQ(Errors().LastErrorCode(), 28);
  EXPECT_NE(Errors().LastErrorMsg().find("ROSSZ"), std::string::npos) << Errors().LastErrorMsg();
  const std::int16_t Bad = Table->GetIndexNo("ROSSZ");
  ASSERT_EQ(Bad, 1);
  auto Item = std::make_unique<TVdbLongIndexInfo>();
  EXPECT_EQ(Table->FindFirstIndexInfo(Bad, *Item), -95);
  EXPECT_EQ(Table->CheckIndexOpen(Bad), -95);
  // The other index and the records are not affected; a lost index takes no keys.
  EXPECT_EQ(IndexWalk(*Table, 0).size(), 3u);
  std::vector<std::uint8_t> New = Record("uj");
  EXPECT_EQ(Table->AppendRecord(New.data(), nullptr), 4) << Errors().LastErrorMsg();
  EXPECT_EQ(IndexWalk(*Table, 0).size(), 4u);

  // Without setting up, the first use itself answers 28.
  Table.reset();
  auto LazyTable = NewTable(kVdbRightExclusive);
  TVdbBaseTable& Lazy = *LazyTable;
  ASSERT_EQ(Lazy.Open(false), 0);
  const std::int16_t Slot = Lazy.InitIndex("ROSSZ", nullptr);
  ASSERT_EQ(Slot, 0);
  EXPECT_EQ(Lazy.CheckIndexOpen(Slot), -28);
  EXPECT_EQ(Lazy.CheckIndexOpen(Slot), -95);
}

TEST_F(BaseTable, FindIndexReversesOrCreatesTemporaryIndexes) {
  WriteDatabase(NumberedEntries(6));
  TVdbBaseTable* Table = OpenTable();
  ASSERT_NE(Table, nullptr);
  bool Reverse = false;
  EXPECT_EQ(Table->FindIndex("CIMSZO", 0, Reverse), 0);
  EXPECT_FALSE(Reverse);
  EXPECT_EQ(Table->FindIndex("-CIMSZO", 0, Reverse), 0);
  EXPECT_TRUE(Reverse);
  EXPECT_EQ(Table->FindIndex("-CIMSZO", tifoNoReverse, Reverse), -1);
  EXPECT_EQ(Table->FindIndex("LEIRAS,CIMSZO", 0, Reverse), -1);

  // The name tmp001 is taken by a file: the next number is used.
  {
    const std::int32_t Handle = FContainer->CreateFile("\\Data!tmp001.vdbi");
    ASSERT_GE(Handle, 0);
    FContainer->CloseFile(Handle);
  }
  const std::int16_t Temp = Table->FindIndex("-CIMSZO", tifoNoReverse | tifoCreate, Reverse);
  ASSERT_EQ(Temp, 1) << Errors().LastErrorMsg();
  EXPECT_FALSE(Reverse);
  EXPECT_EQ(Table->GetIndexFile(Temp)->Name(), "tmp002");
  EXPECT_EQ(Table->GetIndexFile(Temp)->Kind(), tikTemporary);
  EXPECT_EQ(IndexHeadwords(*Table, Temp),
            (std::vector<std::string>{"szo06", "szo05", "szo04", "szo03", "szo02", "szo01"}));
  // Found again rather than made twice.
  EXPECT_EQ(Table->FindIndex("-CIMSZO", tifoNoReverse | tifoCreate, Reverse), Temp);
  // Temporary indexes are the session's own: not listed for others, gone with the table.
  EXPECT_EQ(Table->DataFile()->IndexNames(), (std::vector<std::string>{"CIMSZO"}));
  EXPECT_TRUE(FContainer->FileExists("\\Data!tmp002.vdbi"));
  FTables.clear();
  EXPECT_FALSE(FContainer->FileExists("\\Data!tmp002.vdbi"));
}

TEST_F(BaseTable, FindIndexOnTheLexiconAndTheFirstTemporaryName) {
  WriteDatabase(lexicon::ReadLexiconCsv(kLexiconPath));
  TVdbBaseTable* Table = OpenTable();
  ASSERT_NE(Table, nullptr);
  bool Reverse = false;
  EXPECT_EQ(Table->FindIndex("-CIMSZO", 0, Reverse), 0);
  EXPECT_TRUE(Reverse);
  const std::int16_t Temp = Table->FindIndex("-CIMSZO", tifoNoReverse | tifoCreate, Reverse);
  ASSERT_EQ(Temp, 1) << Errors().LastErrorMsg();
  EXPECT_EQ(Table->GetIndexFile(Temp)->Name(), "tmp001");
  EXPECT_EQ(IndexWalk(*Table, Temp).size(), static_cast<std::size_t>(Table->RecordCount()));
}

TEST_F(BaseTable, NewIndexErrors) {
  WriteDatabase(NumberedEntries(2));
  TVdbBaseTable* Table = OpenTable(kVdbRightAppend | kVdbRightEdit);
  ASSERT_NE(Table, nullptr);
  EXPECT_EQ(Table->CreateIndex("MASIK", "CIMSZO", false), -149);
  // Temporary indexes need no index right.
  EXPECT_GE(Table->CreateIndex("tmp005", "CIMSZO", false), 0) << Errors().LastErrorMsg();
  // The idle-unlock pass gives the lingering write lock up for the next session.
  Table->CheckUnlock(VdbTickCount() + 100);
  EXPECT_EQ(Table->HeldLock(), tltNone);

  TVdbBaseTable* Indexing = OpenTable(kAllRights, 2);
  ASSERT_NE(Indexing, nullptr);
  EXPECT_EQ(Indexing->CreateIndex("CIMSZO", "CIMSZO", false), -23);
  {
    const std::int32_t Handle = FContainer->CreateFile("\\Data!LETEZO.vdbi");
    ASSERT_GE(Handle, 0);
    FContainer->CloseFile(Handle);
  }
  EXPECT_EQ(Indexing->CreateIndex("LETEZO", "CIMSZO", false), -22);
  std::int16_t Last = 0;
  for (int I = Indexing->IndexCount(); I < kVdbMaxIndexSlots; ++I) {
    Last = Indexing->CreateIndex("IX" + std::to_string(I), "CIMSZO", false);
    ASSERT_GE(Last, 0) << I << " " << Errors().LastErrorMsg();
  }
  EXPECT_EQ(Indexing->CreateIndex("EGY_TOBB", "CIMSZO", false), -67);
}

TEST_F(BaseTable, AFailedFlushIsReportedOnceByTheNextWriter) {
  WriteDatabase(NumberedEntries(3));
  TVdbBaseTable* Table = OpenTable(kAllRights | kVdbRightExclusive);
  ASSERT_NE(Table, nullptr);
  std::vector<std::uint8_t> New = Record("uj");
  ASSERT_EQ(Table->AppendRecord(New.data(), MemoPtr("valami")), 4);
  FContainer->FailWrites = true;
  EXPECT_EQ(Table->Flush(), -3);
  FContainer->FailWrites = false;
  EXPECT_EQ(Table->BeginWrite(true), -3);
  EXPECT_EQ(Errors().LastErrorCode(), 3);
  EXPECT_NE(Errors().LastErrorMsg().find("Data"), std::string::npos) << Errors().LastErrorMsg();
  ASSERT_EQ(Table->BeginWrite(true), 0);
  Table->EndWrite();
  EXPECT_EQ(Table->Flush(), 0);
  // What could not be written the first time is written now.
  FTables.clear();
  TVdbBaseTable* Again = OpenTable(kVdbRightExclusive);
  ASSERT_NE(Again, nullptr);
  EXPECT_EQ(Again->RecordCount(), 4);
  EXPECT_EQ(IndexWalk(*Again, 0).size(), 4u);
}

TEST_F(BaseTable, SecureFlushUpdatesTheDirectoryEveryTime) {
  WriteDatabase(NumberedEntries(2));
  TVdbBaseTable* Table = OpenTable(kAllRights | kVdbRightExclusive | kVdbRightSecureFlush);
  ASSERT_NE(Table, nullptr);
  for (int I = 0; I < 3; ++I) {
    const int Before = FContainer->Closes;
    ASSERT_EQ(Table->Flush(), 0);
    EXPECT_GT(FContainer->Closes, Before) << I;
  }
}

TEST_F(BaseTable, WithoutSecureFlushEvery1001stFlushUpdatesTheDirectory) {
  WriteDatabase(NumberedEntries(2));
  TVdbBaseTable* Table = OpenTable(kAllRights | kVdbRightExclusive);
  ASSERT_NE(Table, nullptr);
  const int Before = FContainer->Closes;
  for (int I = 0; I < 1000; ++I) ASSERT_EQ(Table->Flush(), 0);
  EXPECT_EQ(FContainer->Closes, Before);
  EXPECT_EQ(Table->FlushCounter(), 1000);
  ASSERT_EQ(Table->Flush(), 0);
  EXPECT_GT(FContainer->Closes, Before);
  EXPECT_EQ(Table->FlushCounter(), 0);
}

TEST_F(BaseTable, InitRecordAndClearDat) {
  WriteDatabase(NumberedEntries(4));
  TVdbBaseTable* Table = OpenTable();
  ASSERT_NE(Table, nullptr);
  std::vector<std::uint8_t> Buffer(156, 0xEE);
  Table->InitRecord(Buffer.data(), false);
  EXPECT_EQ(Buffer, std::vector<std::uint8_t>(156, 0));
  EXPECT_EQ(Table->SetAutoNum(Buffer.data()), -64);
  TRecordingListener Listener;
  Table->AddListener(&Listener);
  EXPECT_EQ(Table->ClearDat(), 4);
  EXPECT_EQ(Table->RecordCount(), 0);
  EXPECT_TRUE(IndexWalk(*Table, 0).empty());
  EXPECT_EQ(Listener.Events, (std::vector<std::string>{"cleared"}));
  std::vector<std::uint8_t> New = Record("uj");
  EXPECT_EQ(Table->AppendRecord(New.data(), MemoPtr("x")), 1);
  EXPECT_EQ(IndexHeadwords(*Table, 0), (std::vector<std::string>{"uj"}));
}

TEST_F(BaseTable, NotificationsCanBeSuspended) {
  WriteDatabase(NumberedEntries(2));
  TVdbBaseTable* Table = OpenTable();
  ASSERT_NE(Table, nullptr);
  TRecordingListener Listener;
  Table->AddListener(&Listener);
  Table->EnableNotifications(false);
  Table->EnableNotifications(false);
  std::vector<std::uint8_t> New = Record("uj");
  ASSERT_GT(Table->AppendRecord(New.data(), nullptr), 0);
  Table->EnableNotifications(true);
  EXPECT_TRUE(Listener.Events.empty());
  Table->EnableNotifications(true);
  EXPECT_EQ(Listener.Events, (std::vector<std::string>{"changed"}));
}

}  // namespace
}  // namespace vdb::test
