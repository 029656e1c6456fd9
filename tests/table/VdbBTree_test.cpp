// The classic B-tree on a contained file: header and page layouts of both field widths, root
// splits, merges and rotations against a model, the free list, the sequence-number estimate of
// large trees, and damaged pages.
#include "table/VdbBTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "VdbTreeTestSupport.h"

namespace vdb::treetest {
namespace {

constexpr std::int32_t kKeySize = 5 + 12;  // record number, length byte, up to 12 characters

struct TLayout {
  std::int16_t Version;
  std::int32_t Offset;
};

class BTreeTest : public TTreeFixture<TVdbBTree> {
 protected:
  BTreeTest() { FixedItemSize = kKeySize; }

  void Make(std::int32_t PageSize, std::int16_t Version = 6, std::int32_t Offset = 6) {
    VersionUsed = Version;
    OffsetUsed = Offset;
    TTreeFixture::Make(PageSize);
  }

  // An opened tree reads its key size from the header.
  std::unique_ptr<TVdbBTree> MakeTree(bool New) override {
    return std::make_unique<TVdbBTree>(*Storage, OffsetUsed, VersionUsed, New ? kKeySize : 0);
  }

  std::int16_t VersionUsed = 6;
  std::int32_t OffsetUsed = 6;
};

TEST_F(BTreeTest, NewTreeWritesItsHeader) {
  Make(512);
  // Slot = 4 + 17 = 21; order ((512 - 6) / 21) / 2 = 12.
  EXPECT_EQ(PageInt(0, 6), 512);
  EXPECT_EQ(PageInt16(0, 10), kKeySize);
  EXPECT_EQ(PageInt16(0, 12), kKeySize + 4);
  EXPECT_EQ(PageInt16(0, 14), 0);   // height
  EXPECT_EQ(PageInt(0, 16), 0);     // tree pages
  EXPECT_EQ(PageInt16(0, 20), 12);  // order
  EXPECT_EQ(PageInt16(0, 22), 24);  // capacity
  EXPECT_EQ(PageInt(0, 24), 0);     // free list
  EXPECT_EQ(Tree->GetHeaderSize(), 24);
}

TEST_F(BTreeTest, EmptyTreeAnswers) {
  Make(512);
  const auto Item = MakeItem({"a", 1}, kKeySize);
  EXPECT_EQ(Tree->Find(Item.data(), Buffer.data(), 512), -1);
  EXPECT_EQ(Tree->FindFirst(Buffer.data(), 512), 1);
  EXPECT_EQ(Tree->FindLast(Buffer.data(), 512), 1);
  EXPECT_FALSE(Tree->Delete(Item.data()));
  EXPECT_EQ(Tree->CalcItemSequenceNo(Item.data()), 0);
}

TEST_F(BTreeTest, UnusablePageSizesAreRefused) {
  Storage = Env.Client("\\T.vdbi", 512);
  Storage->NewStorage();
  for (const std::int32_t PageSize : {128, 32 * 1024 * 1024}) {
    TVdbBTree Bad(*Storage, 6, 6, kKeySize);
    EXPECT_THROW(Bad.New(PageSize, Less()), EVdbTreeError) << PageSize;
    EXPECT_EQ(Bad.TreeError(), TVdbBTree::kErrPageSize);
  }
  TVdbBTree Huge(*Storage, 6, 6, 400);  // not even two slots of 404 bytes in 512
  EXPECT_THROW(Huge.New(512, Less()), EVdbTreeError);
}

TEST_F(BTreeTest, RootStaysPageOneWhenItSplits) {
  Make(512);
  InsertNumbered("k", 24, 100);
  EXPECT_EQ(Tree->GetHeight(), 1);
  EXPECT_EQ(PageInt16(1, 4), 24);
  Insert({"k200", 25});
  EXPECT_EQ(Tree->GetHeight(), 2);
  EXPECT_EQ(Tree->TreePageCount(), 3);
  // Page 1: leftmost child (the moved left half), one slot whose child is the new right page.
  EXPECT_EQ(PageInt16(1, 4), 1);
  const std::int32_t Left = PageInt(1, 0);
  const std::int32_t Right = PageInt(1, 6);
  EXPECT_EQ((std::set<std::int32_t>{Left, Right}), (std::set<std::int32_t>{2, 3}));
  EXPECT_EQ(PageInt16(Left, 4), 12);
  EXPECT_EQ(PageInt16(Right, 4), 12);
  EXPECT_EQ(PageInt(Left, 0), 0);
  EXPECT_EQ(EntryOf(Storage->ReadPage(1)->GetAddress(10)), (TEntry{"k113", 13}));
}

TEST_F(BTreeTest, AnItemAlreadyPresentIsIgnored) {
  Make(512);
  Insert({"same", 1});
  EXPECT_TRUE(Tree->LastInsertAdded());
  Insert({"same", 1});
  EXPECT_FALSE(Tree->LastInsertAdded());
  std::int32_t Count = 0;
  std::int32_t Wrong = 0;
  Tree->Check(Count, Wrong);
  EXPECT_EQ(Count, 1);
}

// Index cursor steps (see StepWalkAgainstModel): searches inside the leaf the last one ended in
// are answered there, while the pages change between the steps through this tree or another
// client of the same file.
class BTreeStepTest : public BTreeTest {};

// The walker's own inserts split its leaf and its deletes merge leaves and free pages.
TEST_F(BTreeStepTest, StepsAfterTheWalkersOwnChangesFindTheNeighbour) {
  Make(512);
  std::set<TEntry> Model = InsertNumbered("k", 400, 1000);
  ASSERT_GE(Tree->GetHeight(), 2);
  std::mt19937 Random(5);
  std::int32_t NextRecNo = 1000;
  StepWalkAgainstModel(*Tree, Model, kKeySize, [&](const TEntry& Current, int Step) {
    if (Step % 3 == 0) ChangeAroundCurrent(*Tree, Model, Current, kKeySize, NextRecNo, Random);
  });
}

// Another client of the same file deletes items around the walker's position, merging its leaf
// into a neighbour and freeing pages, while the walker keeps its path.
TEST_F(BTreeStepTest, StepsAfterAnotherClientsDeletesFindTheNeighbour) {
  Make(512);
  std::set<TEntry> Model = InsertNumbered("k", 600, 1000);
  ASSERT_GE(Tree->GetHeight(), 3);
  Tree->Flush();
  auto OtherStorage = Env.Client("\\T.vdbi", 512, 2);
  OtherStorage->Open(false, false);
  TVdbBTree Other(*OtherStorage, OffsetUsed, VersionUsed, 0);
  Other.Open(Less());
  StepWalkAgainstModel(*Tree, Model, kKeySize, [&](const TEntry& Current, int Step) {
    if (Step % 5 != 4 || Model.size() < 400) return;
    DeleteAroundCurrent(Other, Model, Current, kKeySize, 12, nullptr);
    Other.Flush();
  });
  Other.Close();
}

class BTreeModelTest : public BTreeTest, public ::testing::WithParamInterface<TLayout> {};

TEST_P(BTreeModelTest, RandomInsertsAndDeletesMatchTheModel) {
  Make(512, GetParam().Version, GetParam().Offset);
  std::set<TEntry> Model;
  RunModel(*Tree, Model, 6000, kKeySize, 12, 7, 1000);
  EXPECT_GE(Tree->GetHeight(), 3);
  Reopen();
  std::mt19937 Random(9);
  ExpectTreeMatches(*Tree, Model, kKeySize, Random);
}

INSTANTIATE_TEST_SUITE_P(Versions, BTreeModelTest,
                         ::testing::Values(TLayout{6, 6}, TLayout{4, 6}, TLayout{3, 0},
                                           TLayout{1, 0}),
                         [](const auto& Info) { return "Version" + std::to_string(Info.param.Version); });

TEST_F(BTreeTest, SixteenBitLayoutOfOldVersions) {
  Make(512, 3, 0);
  EXPECT_EQ(Tree->GetHeaderSize(), 14);
  // Slot = 2 + 17 = 19; order ((512 - 4) / 19) / 2 = 13.
  EXPECT_EQ(PageInt16(0, 0), 512);
  EXPECT_EQ(PageInt16(0, 4), 19);
  EXPECT_EQ(PageInt16(0, 10), 13);
  EXPECT_EQ(PageInt16(0, 12), 26);
  Insert({"x", 5});
  EXPECT_EQ(PageInt16(0, 6), 1);  // height
  EXPECT_EQ(PageInt16(0, 8), 1);  // tree pages
  EXPECT_EQ(PageInt16(1, 2), 1);  // count at byte 2
  EXPECT_EQ(PageInt16(1, 4), 0);  // the slot's 16-bit child
  EXPECT_EQ(EntryOf(Storage->ReadPage(1)->GetAddress(6)), (TEntry{"x", 5}));
}

TEST_F(BTreeTest, MergedPagesGoOnTheFreeListAndSplitsTakeThemBack) {
  Make(512);
  std::set<TEntry> Model = InsertNumbered("k", 400, 1000);
  const std::int32_t Pages = Tree->TreePageCount();
  auto It = Model.begin();
  for (int I = 0; I < 300; ++I) {
    ASSERT_TRUE(Tree->Delete(MakeItem(*It, kKeySize).data()));
    It = Model.erase(It);
  }
  const std::int32_t Head = Tree->FreeListHead();
  ASSERT_NE(Head, 0);
  EXPECT_EQ(Tree->TreePageCount(), Pages);
  // A free page holds the negated next free page.
  const std::int32_t Next = -PageInt(Head, 0);
  EXPECT_GE(Next, 0);
  EXPECT_LE(Next, Pages);
  std::int32_t RecNo = 2000;
  while (Tree->FreeListHead() == Head) {
    const TEntry Entry{"z" + std::to_string(RecNo), RecNo};
    Insert(Entry, Model);
    ++RecNo;
  }
  EXPECT_EQ(Tree->FreeListHead(), Next);
  EXPECT_EQ(Tree->TreePageCount(), Pages);
  std::mt19937 Random(4);
  ExpectTreeMatches(*Tree, Model, kKeySize, Random);
}

TEST_F(BTreeTest, DeletingEverythingEmptiesTheTree) {
  Make(512);
  std::mt19937 Random(8);
  const std::set<TEntry> Model = InsertRandom(1000, 10, Random);
  ASSERT_NO_FATAL_FAILURE(DeleteAllShuffled(Model, Random));
  EXPECT_EQ(Tree->GetHeight(), 0);
  EXPECT_EQ(Tree->TreePageCount(), 0);
  Tree->Flush();
  EXPECT_EQ(Storage->GetSize(), Storage->TileSize());
  Insert({"again", 1});
  EXPECT_EQ(Tree->FindFirst(Buffer.data(), 512), 0);
}

TEST_F(BTreeTest, SequenceNumbersAboveAThousandPagesAreEstimatedFromTheRoot) {
  Make(256);
  std::set<TEntry> Model;
  std::mt19937 Random(6);
  std::int32_t RecNo = 1;
  while (Tree->TreePageCount() <= 1000) {
    const TEntry Entry{RandomKey(Random, 12), RecNo++};
    Insert(Entry, Model);
  }
  const std::vector<TEntry> Sorted(Model.begin(), Model.end());
  const TEntry& Probe = Sorted[Sorted.size() / 3];
  const auto Item = MakeItem(Probe, kKeySize);
  // The estimate: Round(pages x 1.5 x m x k / n) + 1, k the root position, n the root's slots.
  auto Root = Storage->ReadPage(1);
  const std::int32_t N = Root->ReadInt16(4);
  std::int32_t K = 0;
  bool Unique = false;
  while (K < N && !ItemLess(Item.data(), Root->GetAddress(6 + K * (kKeySize + 4) + 4), Unique)) ++K;
  const auto Expected = static_cast<std::int32_t>(
      std::lround(Tree->TreePageCount() * 1.5 * Tree->Order() * K / static_cast<double>(N)) + 1);
  EXPECT_EQ(Tree->CalcItemSequenceNo(Item.data()), Expected);
  EXPECT_EQ(Tree->CalcItemSequenceNo(MakeItem({"zzzzzzzzzzzz", 1}, kKeySize).data()), 0);
}

TEST_F(BTreeTest, APageThatCannotBeReadEndsTheOperationWithItsMessage) {
  Make(8192);
  InsertNumbered("k", 400);
  ASSERT_EQ(Tree->GetHeight(), 2);
  Tree->Flush();
  // The file keeps page 0 and the root only; the root still names its children.
  Tree->Update();
  Storage->SetPageCount(2);
  const auto Item = MakeItem({"k299", 299}, kKeySize);
  const auto MessageOf = [](auto&& Action) {
    try {
      Action();
    } catch (const EVdbTreeError& Error) {
      return std::string(Error.what());
    }
    return std::string();
  };
  EXPECT_EQ(Tree->Find(Item.data(), Buffer.data(), 512), -1);
  EXPECT_EQ(Tree->TreeError(), TVdbBTree::kErrPageRead);
  EXPECT_EQ(MessageOf([&] { Tree->FindLast(Buffer.data(), 512); }), "FindLast");
  EXPECT_EQ(MessageOf([&] { Tree->FindNext(Item.data(), Buffer.data(), 512); }), "FindNext");
  EXPECT_EQ(MessageOf([&] { Tree->FindPrev(Item.data(), Buffer.data(), 512); }), "FindPrev");
  EXPECT_EQ(MessageOf([&] { Insert({"k2999", 3000}); }),
            "BTree error while searching start node for insertion");
}

// --- damaged pages ----------------------------------------------------------------------------

class BTreeDamageTest : public BTreeTest {
 protected:
  void SetUp() override {
    Make(512);
    InsertNumbered("k", 400);
    ASSERT_EQ(Tree->GetHeight(), 3);
    Tree->Flush();
  }

  void ExpectOnlyTreeErrors() {
    const auto Item = MakeItem({"k150", 150}, kKeySize);
    std::int32_t Count = 0;
    std::int32_t Wrong = 0;
    TTreeFixture::ExpectOnlyTreeErrors({
        [&] { Tree->Check(Count, Wrong); },
        [&] { Tree->CalcItemSequenceNo(Item.data()); },
        [&] { Walk(); },
        [&] {
          for (std::int32_t RecNo = 1; RecNo <= 400; ++RecNo) {
            Tree->Delete(MakeItem({"k" + std::to_string(RecNo), RecNo}, kKeySize).data());
          }
        },
    });
  }
};

TEST_F(BTreeDamageTest, SlotCountAboveTheCapacity) {
  Damage(1, 4, 500, false);
  ExpectOnlyTreeErrors();
}

TEST_F(BTreeDamageTest, ChildPageNumberOutsideTheTree) {
  Damage(1, 0, 5000, true);
  ExpectOnlyTreeErrors();
}

TEST_F(BTreeDamageTest, ChildPointingBackAtTheRootMakesACycle) {
  const std::int32_t Child = PageInt(1, 0);
  Damage(Child, 0, 1, true);
  ExpectOnlyTreeErrors();
}

// A free list whose head names a page the tree still uses must not hand that page out again:
// the split that takes it would overwrite live items.
TEST_F(BTreeDamageTest, FreeListNamingAPageInUseIsRefused) {
  const std::int32_t Inner = PageInt(1, 0);
  const std::int32_t Leaf = PageInt(Inner, 0);
  for (const std::int32_t InUse : {1, Inner, Leaf}) {
    SCOPED_TRACE(InUse);
    Damage(0, 6 + 18, InUse, true);
    bool Refused = false;
    for (std::int32_t RecNo = 1000; RecNo < 1400 && !Refused; ++RecNo) {
      try {
        Insert({"k" + std::to_string(RecNo), RecNo});
      } catch (const EVdbTreeError&) {
        Refused = true;
      }
    }
    EXPECT_TRUE(Refused);
    std::int32_t Count = 0;
    std::int32_t Wrong = 0;
    Tree->Check(Count, Wrong);
    EXPECT_GE(Count, 400);
    EXPECT_EQ(Wrong, 0);
  }
}

TEST_F(BTreeDamageTest, HeaderWithAnOrderThatDoesNotFitThePage) {
  Storage->ReadPage(0)->WriteInt16(6 + 14, 200);
  Storage->Flush();
  EXPECT_THROW(Tree->Update(), EVdbTreeError);
}

}  // namespace
}  // namespace vdb::treetest
