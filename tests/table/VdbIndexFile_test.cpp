// Index files in a container: the header of both tree formats byte by byte, the item operations
// and their results, building from unsorted items, reopening, undo, and damaged files answered
// with engine errors.
#include "table/VdbIndexFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "VdbTreeTestSupport.h"
#include "base/VdbErrors.h"
#include "base/VdbLastError.h"
#include "table/VdbBPlusTree.h"
#include "table/VdbBTree.h"

namespace vdb::treetest {
namespace {

const std::string kFile = "\\Data!CIMSZO.vdbi";

// The lexicon's index: one string level of 152 bytes, items of at most 156 bytes.
TVdbIndexHeaderDef LexiconDef() {
  TVdbIndexHeaderDef Def;
  Def.Levels = {{1, 152, 1}};
  Def.ItemSize = 156;
  Def.VariableSize = true;
  return Def;
}

// An integer index: a classic B-tree of fixed 8-byte items... here 4 + 12 bytes of test keys.
TVdbIndexHeaderDef FixedDef() {
  TVdbIndexHeaderDef Def;
  Def.Levels = {{2, 13, 16}};
  Def.ItemSize = 17;
  return Def;
}

struct TError {
  std::int16_t Code;
  std::string Argument;
};

class IndexFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<TVdbIndexFile> MakeIndex(std::int16_t Version, std::int32_t ClientHdl = 1) {
    auto Index = std::make_unique<TVdbIndexFile>(&LastError, Env.Client(kFile, 0, ClientHdl), Version);
    Index->SetName("CIMSZO");
    Index->SetFileName(kFile);
    TVdbIndexFile* Raw = Index.get();
    Index->SetCompareFunction([Raw](const std::uint8_t* X, const std::uint8_t* Y, bool& Unique) {
      return BoundedLess(X, Y, Unique, Raw->ItemSize());
    });
    Index->SetOnError([this](std::int16_t Code, const std::string& Argument) {
      Errors.push_back({Code, Argument});
    });
    return Index;
  }

  void Create(const TVdbIndexHeaderDef& Def, std::int16_t Version = 6) {
    Index = MakeIndex(Version);
    ASSERT_EQ(Index->SetIndexDefinition(Def), 0);
    ASSERT_EQ(Index->NewStorage(Version, Index->CalcPageSizeForCapacity(10000000)), 0)
        << Index->LastFailure();
  }

  std::int16_t Reopen() {
    if (Index) {
      EXPECT_EQ(Index->Flush(), 0);
      EXPECT_EQ(Index->Close(), 0);
    }
    Index = MakeIndex(6);
    return Index->Open();
  }

  std::int16_t Add(const TEntry& Entry) {
    const auto Item = MakeItem(Entry, FixedSize());
    return Index->Add_Index(Item.data(), static_cast<std::int32_t>(Item.size()));
  }

  std::int32_t FixedSize() const {
    return dynamic_cast<TVdbBTree*>(Index->Tree()) ? Index->ItemSize() : 0;
  }

  // Raw bytes of page 0 as the file holds them.
  std::int32_t HeaderInt(std::int32_t Offset) { return Index->Storage().ReadPage(0)->ReadInt32(Offset); }
  std::int16_t HeaderInt16(std::int32_t Offset) {
    return Index->Storage().ReadPage(0)->ReadInt16(Offset);
  }
  std::int8_t HeaderInt8(std::int32_t Offset) { return Index->Storage().ReadPage(0)->ReadInt8(Offset); }

  // Changes the closed file through another client storage.
 public:
  void Patch(std::int32_t PageSize, std::int32_t PageNo,
             const std::function<void(TVdbStoragePageSite&)>& Change) {
    auto Storage = Env.Client(kFile, PageSize, 2);
    Storage->Open(false, false);
    {
      auto Page = Storage->ReadPage(PageNo);
      Change(*Page);
    }
    Storage->Flush();
    Storage->Close();
  }

 protected:
  TContainerEnv Env;
  TVdbLastError LastError;
  std::vector<TError> Errors;
  std::unique_ptr<TVdbIndexFile> Index;
};

TEST_F(IndexFileTest, VariableSizeIndexOfLevelSixIsABPlusTreeWithItsHeaderAt28) {
  Create(LexiconDef());
  ASSERT_NE(dynamic_cast<TVdbBPlusTree*>(Index->Tree()), nullptr);
  EXPECT_EQ(Index->Storage().GetPageSize(), 8192);
  EXPECT_EQ(static_cast<std::uint32_t>(HeaderInt(0)), 0xA66678C9u);
  EXPECT_EQ(HeaderInt16(4), 6);
  EXPECT_EQ(HeaderInt(6 + 14), 8192);  // the tree's page size
  EXPECT_EQ(HeaderInt(28), 0);         // item count
  EXPECT_EQ(HeaderInt8(32), 0);        // reserved
  EXPECT_EQ(HeaderInt8(33), 0);        // calculated
  EXPECT_EQ(HeaderInt8(34), 0);        // unique
  EXPECT_EQ(HeaderInt16(35), 1);       // levels
  EXPECT_EQ(HeaderInt16(37), 1);       // column
  EXPECT_EQ(HeaderInt16(39), 152);     // piece size
  EXPECT_EQ(HeaderInt8(41), 1);        // type
  EXPECT_EQ(HeaderInt16(42), 156);     // item size
  ASSERT_EQ(Add({"agancs", 7}), 0);
  EXPECT_EQ(HeaderInt(28), 1);
  EXPECT_EQ(Index->ItemCount(), 1);
}

TEST_F(IndexFileTest, FixedSizeIndexOfLevelSixIsAClassicBTreeWithItsHeaderAt30) {
  Create(FixedDef());
  ASSERT_NE(dynamic_cast<TVdbBTree*>(Index->Tree()), nullptr);
  EXPECT_EQ(static_cast<std::uint32_t>(HeaderInt(0)), 0x00E537AFu);
  EXPECT_EQ(HeaderInt16(4), 6);
  EXPECT_EQ(HeaderInt16(6 + 4), 17);  // key size
  EXPECT_EQ(HeaderInt16(30 + 7), 1);
  EXPECT_EQ(HeaderInt16(30 + 9), 2);
  EXPECT_EQ(HeaderInt16(30 + 14), 17);
}

TEST_F(IndexFileTest, PageSizeForCapacity) {
  auto Sizing = MakeIndex(6);
  ASSERT_EQ(Sizing->SetIndexDefinition(LexiconDef()), 0);
  EXPECT_EQ(Sizing->CalcPageSizeForCapacity(10000000), 8192);
  TVdbIndexHeaderDef Small = FixedDef();
  Small.ItemSize = 8;
  ASSERT_EQ(Sizing->SetIndexDefinition(Small), 0);
  EXPECT_EQ(Sizing->CalcPageSizeForCapacity(10000000), 4096);
  // 39 slots of 1004 bytes need 64 KiB.
  Small.ItemSize = 1000;
  ASSERT_EQ(Sizing->SetIndexDefinition(Small), 0);
  EXPECT_EQ(Sizing->CalcPageSizeForCapacity(10000000), 65536);
  // Old versions: slots of item size + 2 and a 16 KiB limit.
  auto Old = MakeIndex(3);
  Small.ItemSize = 1000;
  ASSERT_EQ(Old->SetIndexDefinition(Small), 0);
  EXPECT_EQ(Old->CalcPageSizeForCapacity(1000), 16384);
}

TEST_F(IndexFileTest, TooManyLevelsAreRefused) {
  TVdbIndexHeaderDef Def = LexiconDef();
  Def.Levels.assign(11, {1, 10, 1});
  EXPECT_EQ(MakeIndex(3)->SetIndexDefinition(Def), -61);
  EXPECT_EQ(MakeIndex(4)->SetIndexDefinition(Def), 0);
  Def.Levels.assign(257, {1, 10, 1});
  EXPECT_EQ(MakeIndex(4)->SetIndexDefinition(Def), -61);
  Def.Levels.assign(256, {1, 10, 1});
  EXPECT_EQ(MakeIndex(6)->SetIndexDefinition(Def), 0);
  EXPECT_TRUE(Errors.empty());  // returned, not reported
}

TEST_F(IndexFileTest, SearchesWalkAndCountInBothFormats) {
  for (const auto& Def : {LexiconDef(), FixedDef()}) {
    SCOPED_TRACE(Def.ItemSize);
    Create(Def);
    for (const TEntry& Entry : {TEntry{"b", 3}, TEntry{"a", 9}, TEntry{"b", 1}, TEntry{"c", 2}}) {
      ASSERT_EQ(Add(Entry), 0);
    }
    EXPECT_EQ(Index->ItemCount(), 4);
    std::uint8_t* Key = Index->GetWorkInfo(0);
    // A search item with record number 0 finds the first item of its key.
    const auto Search = MakeItem({"b", 0}, FixedSize());
    std::copy(Search.begin(), Search.end(), Key);
    EXPECT_EQ(Index->Suche_Index(Key), 0);
    EXPECT_EQ(EntryOf(Key), (TEntry{"b", 1}));
    EXPECT_EQ(Index->CalcItemSequenceNo(Key), 2);
    EXPECT_EQ(Index->Naechster_Index(Key), 0);
    EXPECT_EQ(EntryOf(Key), (TEntry{"b", 3}));
    EXPECT_EQ(Index->Naechster_Index(Key), 0);
    EXPECT_EQ(Index->Naechster_Index(Key), 1);
    EXPECT_EQ(Index->Erster_Index(Key), 0);
    EXPECT_EQ(EntryOf(Key), (TEntry{"a", 9}));
    EXPECT_EQ(Index->Vorheriger_Index(Key), 1);
    EXPECT_EQ(Index->Letzter_Index(Key), 0);
    EXPECT_EQ(EntryOf(Key), (TEntry{"c", 2}));
    const auto Beyond = MakeItem({"d", 0}, FixedSize());
    std::copy(Beyond.begin(), Beyond.end(), Key);
    EXPECT_EQ(Index->Suche_Index(Key), 1);
    EXPECT_EQ(Index->Naechster_Index(Key), -1);
    // Deleting an item that is not there changes nothing.
    EXPECT_EQ(Index->Loesche_Index(MakeItem({"b", 2}, FixedSize()).data()), 0);
    EXPECT_EQ(Index->ItemCount(), 4);
    EXPECT_EQ(Index->Loesche_Index(MakeItem({"b", 1}, FixedSize()).data()), 0);
    EXPECT_EQ(Index->ItemCount(), 3);
    std::int32_t Count = 0;
    std::int32_t Wrong = 0;
    EXPECT_EQ(Index->Check(Count, Wrong), 0);
    EXPECT_EQ(Count, 3);
    Index->Clear_Index();
    EXPECT_EQ(Index->ItemCount(), 0);
    EXPECT_EQ(Index->Erster_Index(Key), 1);
    EXPECT_EQ(Index->Close(), 0);
  }
  EXPECT_TRUE(Errors.empty());
}

TEST_F(IndexFileTest, AClassicIndexCountsAnItemAddedTwiceOnce) {
  Create(FixedDef());
  ASSERT_EQ(Add({"x", 1}), 0);
  ASSERT_EQ(Add({"x", 1}), 0);
  EXPECT_EQ(Index->ItemCount(), 1);
}

TEST_F(IndexFileTest, ItemsLargerThanTheItemSizeAreRefused) {
  Create(LexiconDef());
  const std::vector<std::uint8_t> Item(157, 3);
  EXPECT_EQ(Index->Add_Index(Item.data(), 157), -90);
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0].Code, 90);
  EXPECT_EQ(Errors[0].Argument, "CIMSZO");
  EXPECT_EQ(Index->ItemCount(), 0);
}

// Items like the lexicon's: record number, length byte and 3 to 42 characters.
std::vector<TEntry> LexiconEntries() {
  std::vector<TEntry> Entries;
  for (std::int32_t RecNo = 1; RecNo <= 2374; ++RecNo) {
    const std::size_t Length = RecNo % 97 == 0 ? 42 : 3 + static_cast<std::size_t>(RecNo * 7 % 16);
    std::string Key = "w" + std::to_string(100000 + (RecNo * 7919) % 2374);
    Key.resize(Length, 'e');
    Entries.push_back({Key, RecNo});
  }
  return Entries;
}

TEST_F(IndexFileTest, BulkInsertSortsFirstReportsProgressAndFillsTenLeavesUnderOneRoot) {
  Create(LexiconDef());
  std::vector<TEntry> Entries = LexiconEntries();
  std::size_t Next = 0;
  std::vector<std::pair<std::int32_t, std::int32_t>> Progress;
  const std::int16_t Result = Index->BulkInsert(
      2374, [&](std::int32_t Done, std::int32_t Count) { Progress.emplace_back(Done, Count); },
      [&](std::uint8_t* Item, std::int32_t& Size) {
        if (Next == Entries.size()) return false;
        const auto Bytes = MakeItem(Entries[Next++]);
        std::copy(Bytes.begin(), Bytes.end(), Item);
        Size = static_cast<std::int32_t>(Bytes.size());
        return true;
      });
  ASSERT_EQ(Result, 0) << Index->LastFailure();
  EXPECT_EQ(Progress, (std::vector<std::pair<std::int32_t, std::int32_t>>{
                          {0, 2374}, {1000, 2374}, {2000, 2374}, {2374, 2374}}));
  EXPECT_EQ(Index->ItemCount(), 2374);
  auto& Tree = static_cast<TVdbBPlusTree&>(*Index->Tree());
  EXPECT_EQ(Tree.GetHeight(), 2);
  EXPECT_EQ(Tree.RootPage(), 2);
  EXPECT_EQ(Tree.PageCount(), 12);
  EXPECT_EQ(Tree.LeafPages(), (std::vector<std::int32_t>{1, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  EXPECT_EQ(Index->Storage().ReadPage(2)->ReadInt16(8190), 9);  // separators in the root
  // The first item of the second leaf follows all of the first leaf's items.
  const std::int32_t FirstLeafCount = Index->Storage().ReadPage(1)->ReadInt16(8190);
  std::sort(Entries.begin(), Entries.end());
  const auto Second = MakeItem(Entries[static_cast<std::size_t>(FirstLeafCount)]);
  EXPECT_EQ(EntryOf(Index->Storage().ReadPage(3)->GetAddress(8)), Entries[static_cast<std::size_t>(FirstLeafCount)]);
  EXPECT_EQ(Index->CalcItemSequenceNo(Second.data()), FirstLeafCount + 1);
  EXPECT_EQ(Index->CalcItemSequenceNo(MakeItem(Entries.back()).data()), 2374);
  std::mt19937 Random(1);
  ExpectTreeMatches(Tree, std::set<TEntry>(Entries.begin(), Entries.end()), 0, Random);
}

TEST_F(IndexFileTest, BulkInsertTurnsFailuresIntoTheSessionsLastError) {
  Create(LexiconDef());
  const auto Failing = [](auto Exception) {
    return [Exception](std::uint8_t*, std::int32_t&) -> bool { throw Exception; };
  };
  EXPECT_EQ(Index->BulkInsert(5, nullptr, Failing(std::runtime_error("disk gone"))), -52);
  EXPECT_EQ(LastError.LastErrorCode(), 52);
  EXPECT_EQ(LastError.LastErrorMsg(), "Unknown error: disk gone");
  EXPECT_EQ(Index->BulkInsert(5, nullptr, Failing(EVdbEngine(171, "Data"))), -171);
  EXPECT_EQ(LastError.LastErrorCode(), 171);
}

TEST_F(IndexFileTest, ItemsAndDefinitionSurviveReopen) {
  TVdbIndexHeaderDef Def = LexiconDef();
  Def.Levels.push_back({static_cast<std::int16_t>(0x8003), 4, 16});
  Def.ItemSize = 160;
  Create(Def);
  Index->SetUnique(true);
  std::set<TEntry> Model;
  RunModel(*Index->Tree(), Model, 3000, 0, 30, 17, 3000);
  // The tree ran without the file's count: set it the way the file keeps it.
  Index->Clear_Index();
  for (const TEntry& Entry : Model) ASSERT_EQ(Add(Entry), 0);
  ASSERT_EQ(Reopen(), 0) << Index->LastFailure();
  Index->Preload();
  Index->UpdateDir();
  EXPECT_TRUE(Errors.empty());
  EXPECT_EQ(Index->ItemCount(), static_cast<std::int32_t>(Model.size()));
  EXPECT_EQ(Index->IndexDef().Levels, Def.Levels);
  EXPECT_EQ(Index->IndexDef().ItemSize, 160);
  EXPECT_TRUE(Index->IndexDef().VariableSize);
  EXPECT_TRUE(Index->Unique());
  EXPECT_EQ(Index->IndexDef().Name, "CIMSZO");
  std::mt19937 Random(2);
  ExpectTreeMatches(*Index->Tree(), Model, 0, Random);
}

TEST_F(IndexFileTest, ExpressionIndexHeaderSurvivesReopen) {
  TVdbIndexHeaderDef Def;
  Def.Calculated = true;
  Def.ResultType = 1;
  Def.PieceSize = 40;
  Def.Expression = "@Upper(CÍMSZÓ)";
  Def.Levels = {{0, 40, 1}};
  Def.ItemSize = 44;
  Def.VariableSize = true;
  Create(Def);
  EXPECT_EQ(HeaderInt8(33), 1);
  EXPECT_EQ(HeaderInt16(28 + 12), 14);  // characters, not bytes
  ASSERT_EQ(Reopen(), 0) << Index->LastFailure();
  EXPECT_TRUE(Index->Calculated());
  EXPECT_EQ(Index->IndexDef().Expression, "@Upper(CÍMSZÓ)");
  EXPECT_EQ(Index->IndexDef().PieceSize, 40);
  EXPECT_EQ(Index->ItemSize(), 44);
}

TEST_F(IndexFileTest, OldIndexWithoutMagicIsAClassicTreeAtOffsetZero) {
  TVdbIndexHeaderDef Def = FixedDef();
  Def.Vector[0] = 2;
  Def.Vector[49] = 7;
  Create(Def, 3);
  EXPECT_EQ(HeaderInt16(0), Index->Storage().GetPageSize());  // the tree header starts at 0
  ASSERT_EQ(Add({"old", 1}), 0);
  ASSERT_EQ(Add({"older", 2}), 0);
  EXPECT_EQ(HeaderInt(14 + 51), 2);
  ASSERT_EQ(Reopen(), 0) << Index->LastFailure();
  EXPECT_EQ(Index->Version(), 1);
  EXPECT_EQ(Index->Tree()->GetVersion(), 1);
  EXPECT_EQ(Index->Tree()->GetOffset(), 0);
  EXPECT_EQ(Index->ItemCount(), 2);
  EXPECT_EQ(Index->IndexDef().Vector, Def.Vector);
  std::uint8_t* Key = Index->GetWorkInfo(1);
  EXPECT_EQ(Index->Letzter_Index(Key), 0);
  EXPECT_EQ(EntryOf(Key), (TEntry{"older", 2}));
}

TEST_F(IndexFileTest, UndoDropsUnflushedItems) {
  Create(LexiconDef());
  for (std::int32_t RecNo = 1; RecNo <= 500; ++RecNo) ASSERT_EQ(Add({"k" + std::to_string(RecNo), RecNo}), 0);
  ASSERT_EQ(Index->Flush(), 0);
  for (std::int32_t RecNo = 501; RecNo <= 1500; ++RecNo) ASSERT_EQ(Add({"k" + std::to_string(RecNo), RecNo}), 0);
  ASSERT_EQ(Index->Loesche_Index(MakeItem({"k7", 7}).data()), 0);
  Index->Undo();
  EXPECT_EQ(Index->ItemCount(), 500);
  std::int32_t Count = 0;
  std::int32_t Wrong = 0;
  EXPECT_EQ(Index->Check(Count, Wrong), 0);
  EXPECT_EQ(Count, 500);
  std::uint8_t* Key = Index->GetWorkInfo(2);
  const auto Item = MakeItem({"k7", 7});
  std::copy(Item.begin(), Item.end(), Key);
  EXPECT_EQ(Index->Suche_Index(Key), 0);
  EXPECT_EQ(EntryOf(Key), (TEntry{"k7", 7}));
}

// Closing keeps what was added: the pages not yet flushed are written before the storage goes.
TEST_F(IndexFileTest, CloseKeepsUnflushedItems) {
  Create(LexiconDef());
  for (std::int32_t RecNo = 1; RecNo <= 300; ++RecNo) ASSERT_EQ(Add({"k" + std::to_string(RecNo), RecNo}), 0);
  ASSERT_EQ(Index->Close(), 0) << Index->LastFailure();
  Index = MakeIndex(6);
  ASSERT_EQ(Index->Open(), 0) << Index->LastFailure();
  EXPECT_EQ(Index->ItemCount(), 300);
  std::int32_t Count = 0;
  std::int32_t Wrong = 0;
  EXPECT_EQ(Index->Check(Count, Wrong), 0);
  EXPECT_EQ(Count, 300);
  EXPECT_EQ(Wrong, 0);
}

TEST_F(IndexFileTest, ASecondViewSeesTheItemsAfterUpdate) {
  Create(LexiconDef());
  ASSERT_EQ(Add({"one", 1}), 0);
  ASSERT_EQ(Index->Flush(), 0);
  auto View = TVdbIndexFile::CreateCopy(*Index, Env.Client(kFile, 0, 2));
  ASSERT_TRUE(View->IsOpen()) << View->LastFailure();
  EXPECT_EQ(View->ItemCount(), 1);
  ASSERT_EQ(Add({"two", 2}), 0);
  ASSERT_EQ(Index->Flush(), 0);
  View->Update();
  EXPECT_EQ(View->ItemCount(), 2);
  std::uint8_t* Key = View->GetWorkInfo(0);
  EXPECT_EQ(View->Letzter_Index(Key), 0);
  EXPECT_EQ(EntryOf(Key), (TEntry{"two", 2}));
  EXPECT_EQ(View->Close(), 0);
}

TEST_F(IndexFileTest, AReadOnlyViewChangesNothing) {
  Create(LexiconDef());
  ASSERT_EQ(Add({"kept", 1}), 0);
  ASSERT_EQ(Index->Flush(), 0);
  ASSERT_EQ(Index->Close(), 0);
  Index = MakeIndex(6);
  Index->SetReadOnly(true);
  ASSERT_EQ(Index->Open(), 0);
  EXPECT_EQ(Add({"new", 2}), -90);
  EXPECT_EQ(Index->Loesche_Index(MakeItem({"kept", 1}).data()), -90);
  Index->Clear_Index();
  EXPECT_EQ(Index->BulkInsert(0, nullptr, [](std::uint8_t*, std::int32_t&) { return false; }), -90);
  EXPECT_EQ(Index->Flush(), 0);
  EXPECT_EQ(Index->ItemCount(), 1);
  std::uint8_t* Key = Index->GetWorkInfo(0);
  EXPECT_EQ(Index->Erster_Index(Key), 0);
  EXPECT_EQ(EntryOf(Key), (TEntry{"kept", 1}));
  EXPECT_EQ(Errors.size(), 3u);
}

TEST_F(IndexFileTest, NamesKindsAndBuffers) {
  Index = MakeIndex(6);
  EXPECT_TRUE(Index->IsSameName("cimszo.vdbi"));
  EXPECT_TRUE(Index->IsSameName("CIMSZO"));
  EXPECT_FALSE(Index->IsSameName("CIMSZ.vdbi"));
  Index->SetKind(tikConstraint);
  EXPECT_TRUE(Index->IsAutomatic());
  Index->SetKind(tikUser);
  EXPECT_FALSE(Index->IsAutomatic());
  EXPECT_FALSE(Index->MustBeUnique());
  Index->SetPrimary(true);
  EXPECT_TRUE(Index->MustBeUnique());
  EXPECT_TRUE(Index->Unique());
  ASSERT_EQ(Index->SetIndexDefinition(LexiconDef()), 0);
  EXPECT_EQ(Index->GetWorkInfo(4), Index->GetWorkInfo(4));
  EXPECT_NE(Index->GetWorkInfo(0), Index->GetWorkInfo(1));
  EXPECT_THROW(Index->GetWorkInfo(5), std::out_of_range);
  // A larger item size read at open gets buffers of its own size.
  Create(LexiconDef());
  ASSERT_EQ(Index->Flush(), 0);
  ASSERT_EQ(Index->Close(), 0);
  Index = MakeIndex(6);
  TVdbIndexHeaderDef Small = LexiconDef();
  Small.ItemSize = 8;
  ASSERT_EQ(Index->SetIndexDefinition(Small), 0);
  Index->GetWorkInfo(0);
  ASSERT_EQ(Index->Open(), 0);
  std::uint8_t* Work = Index->GetWorkInfo(0);
  std::fill(Work, Work + 156, 0xAB);  // the sanitizer build checks the size
  EXPECT_EQ(Index->Erster_Index(Work), 1);
  EXPECT_NE(Index->CreateLongIndexInfo(), nullptr);
}

// --- failures -----------------------------------------------------------------------------------

TEST_F(IndexFileTest, AMissingFileIsLost) {
  Index = MakeIndex(6);
  EXPECT_EQ(Index->Open(), -37);
  EXPECT_TRUE(Index->IsLost());
  EXPECT_FALSE(Index->IsOpen());
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0].Code, 37);
  EXPECT_EQ(Errors[0].Argument, kFile);
  EXPECT_EQ(Index->LastFailure(), "File not found or access denied: \"" + kFile + "\"");
  std::uint8_t Key[200] = {};
  EXPECT_EQ(Index->Erster_Index(Key), -91);
  EXPECT_EQ(Index->Add_Index(Key, 8), -90);
}

TEST_F(IndexFileTest, CreatingWhereADirectoryIsInTheWayFails) {
  ASSERT_TRUE(Env.Container->CreateDir(kFile));
  Index = MakeIndex(6);
  ASSERT_EQ(Index->SetIndexDefinition(LexiconDef()), 0);
  EXPECT_EQ(Index->NewStorage(6, 8192), -4);
  ASSERT_FALSE(Errors.empty());
  EXPECT_EQ(Errors.back().Code, 4);
  EXPECT_EQ(Errors.back().Argument, "CIMSZO");
}

TEST_F(IndexFileTest, PagesTooSmallForTheItemSizeAreRefused) {
  Index = MakeIndex(6);
  TVdbIndexHeaderDef Def = LexiconDef();
  Def.ItemSize = 2000;
  ASSERT_EQ(Index->SetIndexDefinition(Def), 0);
  EXPECT_EQ(Index->NewStorage(6, 4096), -4);
  EXPECT_FALSE(Index->IsOpen());
  EXPECT_EQ(Index->NewStorage(6, Index->CalcPageSizeForCapacity(1000)), 0);
}

struct TDamage {
  const char* Name;
  std::function<void(IndexFileTest&)> Apply;
  std::int16_t OpenResult;
  friend void PrintTo(const TDamage& Damage, std::ostream* Out) { *Out << Damage.Name; }
};

// A B+ index of 600 items (height 2) is built, closed and damaged; then every operation
// answers its engine error or a plain result, and Check finds the damage.
class DamagedIndexTest : public IndexFileTest, public ::testing::WithParamInterface<TDamage> {
 protected:
  void SetUp() override {
    Create(LexiconDef());
    for (std::int32_t RecNo = 1; RecNo <= 1500; ++RecNo) {
      ASSERT_EQ(Add({"key" + std::to_string(RecNo * 7 % 1500), RecNo}), 0);
    }
    auto& Tree = static_cast<TVdbBPlusTree&>(*Index->Tree());
    ASSERT_EQ(Tree.GetHeight(), 2);
    Root = Tree.RootPage();
    Leaves = Tree.LeafPages();
    ASSERT_EQ(Index->Flush(), 0);
    ASSERT_EQ(Index->Close(), 0);
    Index.reset();
    Errors.clear();
  }

 public:
  std::int32_t Root = 0;
  std::vector<std::int32_t> Leaves;
};

TEST_P(DamagedIndexTest, AnswersWithEngineErrors) {
  GetParam().Apply(*this);
  Index = MakeIndex(6);
  const std::int16_t Opened = Index->Open();
  ASSERT_EQ(Opened, GetParam().OpenResult) << Index->LastFailure();
  if (Opened != 0) {
    EXPECT_TRUE(Index->IsLost());
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0].Code, 28);
    EXPECT_EQ(Errors[0].Argument, kFile);
    return;
  }
  const auto IsReadResult = [](std::int32_t R) { return R == 0 || R == 1 || R == -1 || R == -91; };
  std::uint8_t* Key = Index->GetWorkInfo(0);
  std::int16_t Result = Index->Erster_Index(Key);
  for (int Steps = 0; Result == 0 && Steps < 5000; ++Steps) Result = Index->Naechster_Index(Key);
  EXPECT_TRUE(IsReadResult(Result)) << Result;
  Result = Index->Letzter_Index(Key);
  for (int Steps = 0; Result == 0 && Steps < 5000; ++Steps) Result = Index->Vorheriger_Index(Key);
  EXPECT_TRUE(IsReadResult(Result)) << Result;
  const auto Probe = MakeItem({"key700", 100});
  const std::int32_t Position = Index->CalcItemSequenceNo(Probe.data());
  EXPECT_TRUE(Position >= 0 || Position == -91) << Position;
  std::copy(Probe.begin(), Probe.end(), Key);
  EXPECT_TRUE(IsReadResult(Index->Suche_Index(Key)));
  const std::int16_t Added = Add({"new", 9999});
  EXPECT_TRUE(Added == 0 || Added == -90) << Added;
  const std::int16_t Deleted = Index->Loesche_Index(Probe.data());
  EXPECT_TRUE(Deleted == 0 || Deleted == -90) << Deleted;
  std::int32_t Count = 0;
  std::int32_t Wrong = 0;
  EXPECT_EQ(Index->Check(Count, Wrong), -28);
  for (const TError& Error : Errors) {
    EXPECT_TRUE(Error.Code == 90 || Error.Code == 91 || Error.Code == 28) << Error.Code;
  }
}

void PatchHeader(IndexFileTest& Test, std::int32_t Offset, std::int32_t Value, int Width) {
  Test.Patch(4096, 0, [&](TVdbStoragePageSite& Page) {
    if (Width == 4) Page.WriteInt32(Offset, Value);
    if (Width == 2) Page.WriteInt16(Offset, static_cast<std::int16_t>(Value));
  });
}

void PatchTreePage(DamagedIndexTest& Test, std::int32_t PageNo, std::int32_t Offset,
                   std::int32_t Value, int Width) {
  Test.Patch(8192, PageNo, [&](TVdbStoragePageSite& Page) {
    if (Width == 4) Page.WriteInt32(Offset, Value);
    if (Width == 2) Page.WriteInt16(Offset, static_cast<std::int16_t>(Value));
  });
}

DamagedIndexTest& Damaged(IndexFileTest& Test) { return static_cast<DamagedIndexTest&>(Test); }

const TDamage kDamages[] = {
    {"PageSizeTooSmall", [](IndexFileTest& T) { PatchHeader(T, 6 + 14, 100, 4); }, -28},
    {"PageSizeNotAPowerOfTwo", [](IndexFileTest& T) { PatchHeader(T, 6 + 14, 5000, 4); }, -28},
    {"RootOutsideTheTree", [](IndexFileTest& T) { PatchHeader(T, 6 + 6, 4000, 4); }, -28},
    {"PageCountBeyondTheFile", [](IndexFileTest& T) { PatchHeader(T, 6, 90000, 4); }, -28},
    {"HeightTooLarge", [](IndexFileTest& T) { PatchHeader(T, 6 + 4, 300, 2); }, -28},
    {"LevelCountTooLarge", [](IndexFileTest& T) { PatchHeader(T, 28 + 7, 300, 2); }, -28},
    {"ItemSizeTooSmall", [](IndexFileTest& T) { PatchHeader(T, 28 + 14, 2, 2); }, -28},
    {"ItemSizeBeyondThePage", [](IndexFileTest& T) { PatchHeader(T, 28 + 14, 30000, 2); }, -28},
    {"NegativeItemCount", [](IndexFileTest& T) { PatchHeader(T, 28, -4, 4); }, -28},
    {"VersionBelowFourWithMagic", [](IndexFileTest& T) { PatchHeader(T, 4, 2, 2); }, -28},
    {"UnknownMagicReadAsOldTree", [](IndexFileTest& T) { PatchHeader(T, 0, 0x12345678, 4); }, -28},
    {"WrongItemCount", [](IndexFileTest& T) { PatchHeader(T, 28, 1400, 4); }, 0},
    {"ChildOutsideTheTree",
     [](IndexFileTest& T) { PatchTreePage(Damaged(T), Damaged(T).Root, 0, 70000, 4); }, 0},
    {"ChildIsPageZero",
     [](IndexFileTest& T) { PatchTreePage(Damaged(T), Damaged(T).Root, 0, 0, 4); }, 0},
    {"RootCountBeyondThePage",
     [](IndexFileTest& T) { PatchTreePage(Damaged(T), Damaged(T).Root, 8190, 5000, 2); }, 0},
    {"LeafCountBeyondThePage",
     [](IndexFileTest& T) { PatchTreePage(Damaged(T), Damaged(T).Leaves[1], 8190, 4090, 2); }, 0},
    {"LeafEndOffsetsOutOfOrder",
     [](IndexFileTest& T) { PatchTreePage(Damaged(T), Damaged(T).Leaves[0], 8186, 9, 2); }, 0},
    {"LeafChainInACircle",
     [](IndexFileTest& T) {
       PatchTreePage(Damaged(T), Damaged(T).Leaves.back(), 4, Damaged(T).Leaves[0], 4);
     },
     0},
    {"LeafChainEndsEarly",
     [](IndexFileTest& T) { PatchTreePage(Damaged(T), Damaged(T).Leaves[1], 4, 0, 4); }, 0},
    {"LeafChainPointsOutside",
     [](IndexFileTest& T) { PatchTreePage(Damaged(T), Damaged(T).Leaves[0], 4, -5, 4); }, 0},
    {"RootChildIsTheRoot",
     [](IndexFileTest& T) { PatchTreePage(Damaged(T), Damaged(T).Root, 0, Damaged(T).Root, 4); },
     0},
};

INSTANTIATE_TEST_SUITE_P(Cases, DamagedIndexTest, ::testing::ValuesIn(kDamages),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// The key piece size of an expression index decides how many bytes a comparison reads from each
// key: a size the stored items cannot hold is a damaged header, never trusted.
TEST_F(IndexFileTest, ExpressionIndexPieceSizeOutsideTheItemIsRefused) {
  TVdbIndexHeaderDef Def;
  Def.Calculated = true;
  Def.ResultType = 1;
  Def.PieceSize = 40;
  Def.Expression = "Upper(A)";
  Def.Levels = {{0, 40, 1}};
  Def.ItemSize = 44;
  Def.VariableSize = true;
  Create(Def);
  ASSERT_EQ(Index->Flush(), 0);
  ASSERT_EQ(Index->Close(), 0);
  Index.reset();
  for (const std::int16_t PieceSize : {0, -3, 41, 4000}) {
    SCOPED_TRACE(PieceSize);
    PatchHeader(*this, 28 + 10, PieceSize, 2);
    Index = MakeIndex(6);
    EXPECT_EQ(Index->Open(), -28);
    EXPECT_TRUE(Index->IsLost());
  }
  PatchHeader(*this, 28 + 10, 40, 2);
  Index = MakeIndex(6);
  EXPECT_EQ(Index->Open(), 0) << Index->LastFailure();
}

// Random bytes of a built index file overwritten, many times over: every open and every
// operation answers a result or its engine error, and nothing reads outside a page (the
// sanitizer build watches that).
class RandomDamageTest : public IndexFileTest, public ::testing::WithParamInterface<bool> {
 protected:
  std::vector<std::uint8_t> ReadFile() {
    auto Storage = Env.Client(kFile, 8192, 2);
    Storage->Open(false, false);
    std::vector<std::uint8_t> Bytes(static_cast<std::size_t>(Storage->GetSize()));
    Storage->ReadDirect(Bytes.data(), static_cast<std::int64_t>(Bytes.size()), 0);
    Storage->Close();
    return Bytes;
  }

  void WriteFile(const std::vector<std::uint8_t>& Bytes) {
    auto Storage = Env.Client(kFile, 8192, 2);
    Storage->Open(false, false);
    for (std::int32_t Page = 0; Page * 8192 < static_cast<std::int32_t>(Bytes.size()); ++Page) {
      Storage->ReadPage(Page)->CopyFrom(Bytes.data(), Page * 8192, 8192, 0);
    }
    Storage->Flush();
    Storage->Close();
  }
};

TEST_P(RandomDamageTest, EveryOperationAnswersAResultOrItsError) {
  TVdbIndexHeaderDef Def = GetParam() ? LexiconDef() : FixedDef();
  Create(Def);
  const std::int32_t PageSize = Index->Storage().GetPageSize();
  ASSERT_EQ(PageSize, Def.VariableSize ? 8192 : 4096);
  for (std::int32_t RecNo = 1; RecNo <= 3000; ++RecNo) {
    ASSERT_EQ(Add({"k" + std::to_string(RecNo * 13 % 3000), RecNo}), 0);
  }
  ASSERT_EQ(Index->Flush(), 0);
  ASSERT_EQ(Index->Close(), 0);
  const std::vector<std::uint8_t> Original = ReadFile();
  std::mt19937 Random(GetParam() ? 101 : 202);
  int Opened = 0;
  for (int Round = 0; Round < 150; ++Round) {
    std::vector<std::uint8_t> Bytes = Original;
    const int Changes = std::uniform_int_distribution<int>(1, 6)(Random);
    for (int C = 0; C < Changes; ++C) {
      // Mostly where the structure lies: the headers, page starts and the slot directories.
      std::size_t At = std::uniform_int_distribution<std::size_t>(0, Bytes.size() - 1)(Random);
      const int Where = std::uniform_int_distribution<int>(0, 3)(Random);
      const std::size_t Page = At / static_cast<std::size_t>(PageSize) * static_cast<std::size_t>(PageSize);
      if (Where == 0) At = At % 64;
      if (Where == 1) At = Page + At % 16;
      if (Where == 2) At = Page + static_cast<std::size_t>(PageSize) - 1 - At % 64;
      Bytes[At] = static_cast<std::uint8_t>(Random());
    }
    WriteFile(Bytes);
    Index = MakeIndex(6);
    const std::int16_t Result = Index->Open();
    ASSERT_TRUE(Result == 0 || Result == -28) << Result;
    if (Result != 0) continue;
    ++Opened;
    std::uint8_t* Key = Index->GetWorkInfo(0);
    std::int16_t Step = Index->Erster_Index(Key);
    for (int N = 0; Step == 0 && N < 4000; ++N) Step = Index->Naechster_Index(Key);
    EXPECT_TRUE(Step == 1 || Step == -1 || Step == -91 || Step == 0) << Step;
    Step = Index->Letzter_Index(Key);
    for (int N = 0; Step == 0 && N < 4000; ++N) Step = Index->Vorheriger_Index(Key);
    const auto Probe = MakeItem({"k1500", 0}, FixedSize());
    std::copy(Probe.begin(), Probe.end(), Key);
    Index->Suche_Index(Key);
    Index->CalcItemSequenceNo(Probe.data());
    std::int32_t Count = 0;
    std::int32_t Wrong = 0;
    Index->Check(Count, Wrong);
    for (std::int32_t RecNo = 1; RecNo <= 40; ++RecNo) {
      const std::int16_t Added = Add({"n" + std::to_string(RecNo), 5000 + RecNo});
      ASSERT_TRUE(Added == 0 || Added == -90) << Added;
      const std::int16_t Deleted =
          Index->Loesche_Index(MakeItem({"k" + std::to_string(RecNo * 13 % 3000), RecNo}, FixedSize()).data());
      ASSERT_TRUE(Deleted == 0 || Deleted == -90) << Deleted;
    }
    Index->Flush();
    Index->Close();
  }
  EXPECT_GT(Opened, 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, RandomDamageTest, ::testing::Bool(),
                         [](const auto& Info) { return Info.param ? "BPlus" : "Classic"; });

}  // namespace
}  // namespace vdb::treetest
