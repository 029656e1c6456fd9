// The B+ tree on a contained file: page layouts, splits and merges at their boundaries, the
// freed-page list, walks and searches against a model, and damaged pages.
#include "table/VdbBPlusTree.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "VdbTreeTestSupport.h"

namespace vdb::treetest {
namespace {

constexpr std::int32_t kOffset = 6;

class BPlusTreeTest : public TTreeFixture<TVdbBPlusTree> {
 protected:
  std::unique_ptr<TVdbBPlusTree> MakeTree(bool) override {
    return std::make_unique<TVdbBPlusTree>(*Storage, kOffset);
  }

  std::int32_t HeaderInt(std::int32_t Field) { return PageInt(0, kOffset + Field); }
  std::int16_t HeaderInt16(std::int32_t Field) { return PageInt16(0, kOffset + Field); }
};

// Index cursor steps (see StepWalkAgainstModel): searches inside the leaf the last one ended in
// are answered there, while the pages change between the steps through this tree or another
// client of the same file.
TEST_F(BPlusTreeTest, StepsAfterTheWalkersOwnChangesFindTheNeighbour) {
  Make(512);
  std::set<TEntry> Model = InsertNumbered("k", 400, 1000);
  ASSERT_GE(Tree->GetHeight(), 2);
  std::mt19937 Random(5);
  std::int32_t NextRecNo = 1000;
  StepWalkAgainstModel(*Tree, Model, 0, [&](const TEntry& Current, int Step) {
    if (Step % 3 == 0) ChangeAroundCurrent(*Tree, Model, Current, 0, NextRecNo, Random);
  });
}

TEST_F(BPlusTreeTest, StepsAfterAnotherClientsDeletesFindTheNeighbour) {
  Make(512);
  std::set<TEntry> Model = InsertNumbered("k", 600, 1000);
  ASSERT_GE(Tree->GetHeight(), 2);
  Tree->Flush();
  auto OtherStorage = Env.Client("\\T.vdbi", 512, 2);
  OtherStorage->Open(false, false);
  TVdbBPlusTree Other(*OtherStorage, kOffset);
  Other.Open(Less());
  StepWalkAgainstModel(*Tree, Model, 0, [&](const TEntry& Current, int Step) {
    if (Step % 5 != 4 || Model.size() < 400) return;
    DeleteAroundCurrent(Other, Model, Current, 0, 12, nullptr);
    Other.Flush();
  });
  Other.Close();
}

TEST_F(BPlusTreeTest, NewTreeWritesItsHeaderAndAnswersEmpty) {
  Make(4096);
  EXPECT_EQ(HeaderInt(0), 1);     // page count
  EXPECT_EQ(HeaderInt16(4), 0);   // height
  EXPECT_EQ(HeaderInt(6), 0);     // root
  EXPECT_EQ(HeaderInt(10), 0);    // free list
  EXPECT_EQ(HeaderInt(14), 4096);  // page size
  EXPECT_EQ(HeaderInt(18), 0);    // item count
  const auto Item = MakeItem({"abc", 1});
  EXPECT_EQ(Tree->Find(Item.data(), Buffer.data(), 512), 1);
  EXPECT_EQ(Tree->FindFirst(Buffer.data(), 512), 1);
  EXPECT_EQ(Tree->FindLast(Buffer.data(), 512), 1);
  EXPECT_EQ(Tree->FindNext(Item.data(), Buffer.data(), 512), 1);
  EXPECT_EQ(Tree->FindPrev(Item.data(), Buffer.data(), 512), 1);
  EXPECT_FALSE(Tree->Delete(Item.data()));
  EXPECT_EQ(Tree->CalcItemSequenceNo(Item.data()), 0);
  EXPECT_EQ(Tree->GetVersion(), 6);
  EXPECT_EQ(Tree->GetHeaderSize(), 22);
  EXPECT_EQ(TVdbBPlusTree::CalcPageSize(6, 100, 1000), 4096);
}

TEST_F(BPlusTreeTest, FirstLeafIsPageOneAndItsSplitMakesPageTwoTheRootAndPageThreeTheLeaf) {
  Make(512);
  Insert({"m", 1});
  EXPECT_EQ(Tree->GetHeight(), 1);
  EXPECT_EQ(Tree->RootPage(), 1);
  EXPECT_EQ(Tree->PageCount(), 2);
  // Leaf layout: links, the item at 8, its end offset below the count.
  EXPECT_EQ(PageInt(1, 0), 0);
  EXPECT_EQ(PageInt(1, 4), 0);
  EXPECT_EQ(PageInt16(1, 510), 1);
  EXPECT_EQ(PageInt16(1, 508), 8 + 6);
  EXPECT_EQ(PageInt(1, 8), 1);

  std::int32_t RecNo = 2;
  while (Tree->GetHeight() == 1) Insert({"k" + std::to_string(RecNo), RecNo++});
  EXPECT_EQ(Tree->RootPage(), 2);
  EXPECT_EQ(Tree->PageCount(), 4);
  EXPECT_EQ(Tree->LeafPages(), (std::vector<std::int32_t>{1, 3}));
  // Leaf chain and the inner page: leftmost child 1, one separator with child 3 behind it.
  EXPECT_EQ(PageInt(1, 4), 3);
  EXPECT_EQ(PageInt(3, 0), 1);
  EXPECT_EQ(PageInt(3, 4), 0);
  EXPECT_EQ(PageInt(2, 0), 1);
  EXPECT_EQ(PageInt16(2, 510), 1);
  const std::int32_t End = static_cast<std::uint16_t>(PageInt16(2, 508));
  EXPECT_EQ(PageInt(2, End - 4), 3);
  // The separator is the first item of the right leaf, record number included.
  auto Page = Storage->ReadPage(2);
  const TEntry Separator = EntryOf(Page->GetAddress(4));
  EXPECT_EQ(Separator, EntryOf(Storage->ReadPage(3)->GetAddress(8)));
  EXPECT_EQ(End - 4 - 4, static_cast<std::int32_t>(5 + Separator.Key.size()));
  EXPECT_EQ(HeaderInt(18), RecNo - 1);
}

TEST_F(BPlusTreeTest, PageTakesAnItemOnlyWithRoomForItsSlot) {
  Make(512);
  // Items of 5 + 25 = 30 bytes and a 2-byte slot each: (512 - 8 - 2) / 32 = 15 fit one leaf.
  for (std::int32_t RecNo = 1; RecNo <= 15; ++RecNo) {
    Insert({std::string(25, static_cast<char>('a' + RecNo)), RecNo});
  }
  EXPECT_EQ(Tree->GetHeight(), 1);
  EXPECT_EQ(PageInt16(1, 510), 15);
  Insert({std::string(25, 'z'), 16});
  EXPECT_EQ(Tree->GetHeight(), 2);
}

// Items of 30 bytes (a 25-character key) in 512-byte pages: a leaf takes 15 of them.
TEntry Wide(int Order, std::int32_t RecNo) {
  return {"w" + std::to_string(100 + Order) + std::string(21, 'x'), RecNo};
}

// 15 items in a leaf (E = 458), item 7 the first to end beyond (458 + 8) / 2, so j = 8. An item
// appended at p = 15 splits at s = j - 1 = 7 and goes right; one inserted at p = j splits at
// s = p and ends the left page.
TEST_F(BPlusTreeTest, ALeafSplitsAtTheFirstItemEndingInTheSecondHalf) {
  struct TCase {
    int NewOrder;
    std::int16_t LeftCount, RightCount;
    int SeparatorOrder;
    std::int32_t SeparatorRecNo;
  };
  for (const TCase& Case : {TCase{40, 7, 9, 14, 8}, TCase{15, 9, 7, 16, 9}}) {
    SCOPED_TRACE(Case.NewOrder);
    Make(512);
    for (int I = 0; I < 15; ++I) Insert(Wide(2 * I, I + 1));
    Insert(Wide(Case.NewOrder, 16));
    EXPECT_EQ(PageInt16(1, 510), Case.LeftCount);
    EXPECT_EQ(PageInt16(3, 510), Case.RightCount);
    EXPECT_EQ(EntryOf(Storage->ReadPage(2)->GetAddress(4)), Wide(Case.SeparatorOrder, Case.SeparatorRecNo));
    auto Left = Storage->ReadPage(1);
    const std::int32_t LastStart =
        static_cast<std::uint16_t>(Left->ReadInt16(512 - 4 - 2 * (Case.LeftCount - 2)));
    const TEntry LeftLast = EntryOf(Left->GetAddress(LastStart));
    EXPECT_EQ(LeftLast, Case.NewOrder == 15 ? Wide(15, 16) : Wide(12, 7));
    Tree.reset();
    Storage.reset();
  }
}

TEST_F(BPlusTreeTest, ALeafBelowThirtyPercentMergesOnlyWhenBothFitOnePage) {
  Make(512);
  for (int I = 0; I < 16; ++I) Insert(Wide(I, I + 1));  // leaves of 7 and 9 items
  // Fill (8 + 32 n + 2) * 100 / 512 drops below 30 at n = 4: the leaves merge into page 1,
  // the right leaf and then the emptied root are cut off the end of the file.
  for (int I = 0; I < 3; ++I) ASSERT_TRUE(Tree->Delete(MakeItem(Wide(I, I + 1)).data()));
  EXPECT_EQ(Tree->GetHeight(), 1);
  EXPECT_EQ(Tree->RootPage(), 1);
  EXPECT_EQ(Tree->PageCount(), 2);
  EXPECT_EQ(PageInt16(1, 510), 13);
  EXPECT_EQ(PageInt(1, 4), 0);

  // Again with a full right leaf: 4 + 15 items need more than one page, so nothing merges.
  Tree->Clear();
  for (int I = 0; I < 16; ++I) Insert(Wide(I, I + 1));
  for (int I = 16; I < 22; ++I) Insert(Wide(I, I + 1));
  ASSERT_EQ(PageInt16(3, 510), 15);
  for (int I = 0; I < 3; ++I) ASSERT_TRUE(Tree->Delete(MakeItem(Wide(I, I + 1)).data()));
  EXPECT_EQ(Tree->GetHeight(), 2);
  EXPECT_EQ(PageInt16(1, 510), 4);
  EXPECT_EQ(Tree->FreeListHead(), 0);
  std::set<TEntry> Model;
  for (int I = 3; I < 22; ++I) Model.insert(Wide(I, I + 1));
  std::mt19937 Random(1);
  ExpectTreeMatches(*Tree, Model, 0, Random);
}

TEST_F(BPlusTreeTest, DeletingTheLastItemFreesTheRootLeafAndCutsTheFile) {
  Make(8192);
  Insert({"only", 1});
  ASSERT_EQ(Tree->PageCount(), 2);
  const auto Item = MakeItem({"only", 1});
  EXPECT_FALSE(Tree->Delete(MakeItem({"only", 2}).data()));
  EXPECT_TRUE(Tree->Delete(Item.data()));
  EXPECT_EQ(Tree->GetHeight(), 0);
  EXPECT_EQ(Tree->RootPage(), 0);
  EXPECT_EQ(Tree->PageCount(), 1);
  EXPECT_EQ(HeaderInt(6), 0);
  Tree->Flush();
  EXPECT_EQ(Storage->GetPageCount(), 1);
  EXPECT_EQ(Tree->FindFirst(Buffer.data(), 512), 1);
}

TEST_F(BPlusTreeTest, AMergedPageInTheMiddleGoesOnTheFreeListAndNewPagesComeFromTheEnd) {
  Make(512);
  std::set<TEntry> Model = InsertNumbered("key", 200, 1000);
  const std::int32_t PagesBefore = Tree->PageCount();
  ASSERT_GE(Tree->LeafPages().size(), 6u);
  // Empty the first leaves: merges free pages that lie before the end of the file.
  auto It = Model.begin();
  for (int I = 0; I < 60; ++I) {
    ASSERT_TRUE(Tree->Delete(MakeItem(*It).data()));
    It = Model.erase(It);
  }
  const std::int32_t Head = Tree->FreeListHead();
  ASSERT_NE(Head, 0);
  EXPECT_LT(Head, Tree->PageCount() - 1);
  EXPECT_EQ(Tree->PageCount(), PagesBefore);
  // The freed page links to the previous head; the list ends with 0.
  std::int32_t Length = 0;
  for (std::int32_t Page = Head; Page != 0 && Length < 100; Page = PageInt(Page, 0)) ++Length;
  EXPECT_GE(Length, 1);
  EXPECT_LT(Length, 100);
  // A split takes its page at the page count, not from the list.
  std::int32_t RecNo = 1000;
  while (Tree->PageCount() == PagesBefore) Insert({"zz" + std::to_string(RecNo), RecNo++});
  EXPECT_EQ(Tree->PageCount(), PagesBefore + 1);
  EXPECT_EQ(Tree->FreeListHead(), Head);
  std::mt19937 Random(3);
  for (std::int32_t R = 1000; R < RecNo; ++R) Model.insert({"zz" + std::to_string(R), R});
  ExpectTreeMatches(*Tree, Model, 0, Random);
}

TEST_F(BPlusTreeTest, RandomInsertsAndDeletesMatchTheModelOnSmallPages) {
  Make(512);
  std::set<TEntry> Model;
  RunModel(*Tree, Model, 6000, 0, 20, 11, 1000);
  EXPECT_GE(Tree->GetHeight(), 3);
  EXPECT_EQ(Tree->GetItemCount(), static_cast<std::int32_t>(Model.size()));
}

TEST_F(BPlusTreeTest, RandomInsertsAndDeletesMatchTheModelOnLargePages) {
  Make(4096);
  std::set<TEntry> Model;
  RunModel(*Tree, Model, 8000, 0, 40, 12, 4000);
  EXPECT_GE(Tree->GetHeight(), 2);
}

TEST_F(BPlusTreeTest, DeletingEverythingInRandomOrderShrinksTheTreeToNothing) {
  Make(512);
  std::mt19937 Random(5);
  const std::set<TEntry> Model = InsertRandom(1500, 12, Random);
  ASSERT_NO_FATAL_FAILURE(DeleteAllShuffled(Model, Random));
  EXPECT_EQ(Tree->GetHeight(), 0);
  EXPECT_EQ(Tree->GetItemCount(), 0);
  EXPECT_EQ(Tree->FindFirst(Buffer.data(), 512), 1);
  // The emptied tree grows again from a new first leaf.
  Insert({"again", 1});
  EXPECT_EQ(Tree->FindFirst(Buffer.data(), 512), 0);
  EXPECT_EQ(EntryOf(Buffer.data()), (TEntry{"again", 1}));
}

TEST_F(BPlusTreeTest, ItemsSurviveFlushAndReopen) {
  Make(512);
  std::set<TEntry> Model;
  RunModel(*Tree, Model, 1500, 0, 10, 21, 1500);
  const std::int32_t Pages = Tree->PageCount();
  Reopen();
  EXPECT_EQ(Tree->PageCount(), Pages);
  EXPECT_EQ(Tree->GetItemCount(), static_cast<std::int32_t>(Model.size()));
  std::mt19937 Random(1);
  ExpectTreeMatches(*Tree, Model, 0, Random);
}

TEST_F(BPlusTreeTest, UndoDropsTheChangesSinceTheLastFlush) {
  Make(512);
  std::set<TEntry> Model;
  RunModel(*Tree, Model, 800, 0, 10, 31, 800);
  Tree->Flush();
  std::set<TEntry> Changed = Model;
  RunModel(*Tree, Changed, 800, 0, 10, 32, 800);
  Tree->Undo();
  std::mt19937 Random(2);
  ExpectTreeMatches(*Tree, Model, 0, Random);
}

TEST_F(BPlusTreeTest, ClearEmptiesTheTreeAndKeepsTheFile) {
  Make(512);
  InsertNumbered("k", 100);
  Tree->Clear();
  EXPECT_EQ(HeaderInt16(4), 0);
  EXPECT_EQ(HeaderInt(6), 1);
  EXPECT_EQ(HeaderInt(0), 1);
  EXPECT_EQ(HeaderInt(18), 0);
  // The file keeps page 0 only (its size is rounded up to whole tiles).
  EXPECT_EQ(Storage->GetSize(), Storage->TileSize());
  Insert({"new", 1});
  EXPECT_EQ(Tree->RootPage(), 1);
}

TEST_F(BPlusTreeTest, AnItemTooLargeForTheTreeIsRefused) {
  Make(512);
  const std::vector<std::uint8_t> Item(static_cast<std::size_t>(Tree->MaxItemSize() + 1), 1);
  EXPECT_THROW(Tree->Insert(Item.data(), static_cast<std::int32_t>(Item.size())), EVdbTreeError);
  EXPECT_EQ(Tree->GetItemCount(), 0);
}

// --- damaged pages ----------------------------------------------------------------------------

class BPlusTreeDamageTest : public BPlusTreeTest {
 protected:
  void SetUp() override {
    Make(512);
    InsertNumbered("k", 300);
    ASSERT_EQ(Tree->GetHeight(), 2);
    Leaves = Tree->LeafPages();
    Tree->Flush();
  }

  // Every reading operation either works or raises the tree error; none hangs or crashes.
  void ExpectOnlyTreeErrors() {
    const auto Item = MakeItem({"k150", 150});
    std::int32_t Count = 0;
    std::int32_t Wrong = 0;
    TTreeFixture::ExpectOnlyTreeErrors({
        [&] { Tree->Find(Item.data(), Buffer.data(), 512); },
        [&] { Tree->CalcItemSequenceNo(Item.data()); },
        [&] { Tree->Check(Count, Wrong); },
        [&] { Walk(); },
        [&] { Tree->Insert(Item.data(), static_cast<std::int32_t>(Item.size())); },
    });
  }

  std::vector<std::int32_t> Leaves;
};

TEST_F(BPlusTreeDamageTest, ChildPageNumberOutsideTheTree) {
  Damage(Tree->RootPage(), 0, 999, true);
  ExpectOnlyTreeErrors();
}

TEST_F(BPlusTreeDamageTest, ItemCountBeyondThePage) {
  Damage(Leaves[0], 510, 400, false);
  ExpectOnlyTreeErrors();
}

TEST_F(BPlusTreeDamageTest, NegativeItemCount) {
  Damage(Tree->RootPage(), 510, -3, false);
  ExpectOnlyTreeErrors();
}

TEST_F(BPlusTreeDamageTest, EndOffsetBeyondTheSlots) {
  Damage(Leaves[1], 508, 600, false);
  ExpectOnlyTreeErrors();
}

TEST_F(BPlusTreeDamageTest, LeafChainRunningInACircle) {
  Damage(Leaves.back(), 4, Leaves[0], true);
  std::int32_t Count = 0;
  std::int32_t Wrong = 0;
  EXPECT_THROW(Tree->Check(Count, Wrong), EVdbTreeError);
  EXPECT_THROW(Tree->CalcItemSequenceNo(MakeItem({"zzz", 1}).data()), EVdbTreeError);
}

TEST_F(BPlusTreeDamageTest, HeaderWithARootOutsideTheTree) {
  Storage->ReadPage(0)->WriteInt32(kOffset + 6, 77);
  Storage->Flush();
  EXPECT_THROW(Tree->Update(), EVdbTreeError);
}

}  // namespace
}  // namespace vdb::treetest
