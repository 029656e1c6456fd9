// Accessors over a relation in memory: walks in record-number, index and bookmark order in both
// directions, ranges and filters, exact counts and their limits, positioning by record and by
// sequence number, positions that stay right when another accessor deletes, moves or changes
// records, memo reading, the write path with edit locks, and saving and copying positions.
#include "session/VdbAccessor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "session/VdbAccessorTestSupport.h"

namespace vdb::accesstest {
namespace {

using TIds = std::vector<std::int32_t>;

class AccessorTest : public TAccessorFixture {
 protected:
  void SetUp() override { OpenRelation(); }
  // Names d, b, e, a, c for IDs 1..5: index order is 4, 2, 5, 1, 3.
  void FillFive() { Fill(5, {"d", "b", "e", "a", "c"}); }
  std::int32_t Id(TVdbAccessor& A) { return Relation->IdOf(A.GetRecordPtr()); }
  // An index item of the NAME index for Name; record reference 1 marks a set bound.
  std::vector<std::uint8_t> Bound(const char* Name) {
    const TVdbSortDef* Def = Relation->GetIndexDefinition(0);
    EXPECT_NE(Def, nullptr);
    std::vector<std::uint8_t> Item(static_cast<std::size_t>(Def->KeySize()) + 8, 0);
    Relation->StringToIndex(*Def, {Name}, *reinterpret_cast<TVdbLongIndexInfo*>(Item.data()), 1);
    return Item;
  }
};

TEST_F(AccessorTest, RecordNumberOrderWalksBothWaysAndStaysOnTheLastRecordAtTheEnd) {
  FillFive();
  TVdbAccessor A(*Relation, "Test");
  EXPECT_EQ(A.CurrentRecordNo(), -1);
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{1, 2, 3, 4, 5}));
  EXPECT_EQ(A.CurrentRecordNo(), 5);
  EXPECT_EQ(A.GetSequenceNo(), 5);
  EXPECT_EQ(Services.LastErrorCode(), 19);
  EXPECT_EQ(WalkIds(A, *Relation, true), (TIds{5, 4, 3, 2, 1}));
  EXPECT_EQ(A.CurrentRecordNo(), 1);
  EXPECT_EQ(A.Prior(), kVdbEndOfWalk);
  EXPECT_EQ(A.CurrentRecordNo(), 1);
  // Reverse order walks the record numbers downwards, counting positions from the end.
  ASSERT_EQ(A.SetAccess(kVdbAccessRecordNo, true), 0);
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{5, 4, 3, 2, 1}));
  ASSERT_EQ(A.GotoRecord(4), 0);
  EXPECT_EQ(A.GetSequenceNo(), 2);
}

TEST_F(AccessorTest, AnEmptyRelationEndsAtOnceInEveryOrder) {
  TVdbAccessor A(*Relation, "Test");
  for (std::int16_t Access : {kVdbAccessRecordNo, kVdbAccessBookmarks, std::int16_t{0}}) {
    SCOPED_TRACE(Access);
    ASSERT_EQ(A.SetAccess(Access, false), 0);
    EXPECT_EQ(A.First(), kVdbEndOfWalk);
    EXPECT_EQ(A.Last(), kVdbEndOfWalk);
    EXPECT_EQ(A.Next(), kVdbEndOfWalk);
    EXPECT_EQ(A.CurrentRecordNo(), -1);
    EXPECT_EQ(A.GetRecordCount(), 0);
  }
}

TEST_F(AccessorTest, IndexOrderWalksKeysBothWaysAndEqualKeysByRecordNumber) {
  Fill(6, {"d", "b", "e", "a", "c", "b"});
  TVdbAccessor A(*Relation, "Test");
  ASSERT_EQ(A.SetAccess(0, false), 0);
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{4, 2, 6, 5, 1, 3}));
  EXPECT_EQ(WalkIds(A, *Relation, true), (TIds{3, 1, 5, 6, 2, 4}));
  EXPECT_EQ(A.GetRecordCount(), 6);
  ASSERT_EQ(A.SetAccess(0, true), 0);
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{3, 1, 5, 6, 2, 4}));
  // Sequence numbers of a reverse walk count from its own start.
  ASSERT_EQ(A.GotoRecord(5), 0);
  EXPECT_EQ(A.GetSequenceNo(), 3);
  EXPECT_EQ(A.Next(), 0);
  EXPECT_EQ(Id(A), 6);
}

TEST_F(AccessorTest, SwitchingToAnIndexKeepsTheRecordAndStepsFromItsKey) {
  FillFive();
  TVdbAccessor A(*Relation, "Test");
  ASSERT_EQ(A.GotoRecord(2), 0);  // "b"
  ASSERT_EQ(A.SetAccess(0, false), 0);
  EXPECT_EQ(A.CurrentRecordNo(), 2);
  EXPECT_EQ(A.CurrentSequenceNo(), -1);
  EXPECT_EQ(A.GetSequenceNo(), 2);
  ASSERT_EQ(A.Next(), 0);
  EXPECT_EQ(Id(A), 5);  // "c"
  EXPECT_EQ(A.GetSequenceNo(), 3);
  ASSERT_EQ(A.SetAccess(kVdbAccessRecordNo, false), 0);
  EXPECT_EQ(A.GetSequenceNo(), 5);
  ASSERT_EQ(A.Next(), kVdbEndOfWalk);
}

TEST_F(AccessorTest, AnIndexThatCannotBeOpenedRaisesAndLeavesTheOrder) {
  FillFive();
  TVdbAccessor A(*Relation, "Test");
  ASSERT_EQ(A.SetAccess(kVdbAccessBookmarks, false), 0);
  Relation->FailIndexOpen = true;
  try {
    A.SetAccess(0, false);
    FAIL() << "no error";
  } catch (const EVdbEngine& Error) {
    EXPECT_EQ(Error.Code(), 95);
  }
  EXPECT_EQ(A.CurrentAccessType(), tatBookmarks);
  // An access id that is no index number.
  EXPECT_EQ(A.SetAccess(std::int16_t{102}, false), -6);
  EXPECT_EQ(Services.LastErrorMsg(), "No suitable index found for \"Index#102\"");
  EXPECT_EQ(A.CurrentAccessType(), tatBookmarks);
}

TEST_F(AccessorTest, IndexRangesBoundTheWalkInBothDirectionsWithEqualKeysInside) {
  Fill(8, {"d", "b", "e", "a", "c", "b", "d", "f"});
  TVdbAccessor A(*Relation, "Test");
  const auto Lower = Bound("b"), Upper = Bound("d");
  ASSERT_EQ(A.SetRange(0, Lower.data(), Upper.data()), 0);
  EXPECT_EQ(A.CurrentAccessType(), tatIndex);
  EXPECT_TRUE(A.HasRange());
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{2, 6, 5, 1, 7}));
  EXPECT_EQ(WalkIds(A, *Relation, true), (TIds{7, 1, 5, 6, 2}));
  EXPECT_EQ(A.GetRecordCount(), 5);
  ASSERT_EQ(A.GotoRecord(5), 0);
  EXPECT_EQ(A.GetSequenceNo(), 3);  // counted from the range's start
  // A reverse walk over the range.
  ASSERT_EQ(A.SetAccess(0, true), 0);
  ASSERT_EQ(A.SetRange(0, Lower.data(), Upper.data()), 0);
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{7, 1, 5, 6, 2}));
  ASSERT_EQ(A.GotoRecord(1), 0);
  EXPECT_EQ(A.GetSequenceNo(), 2);
  ASSERT_EQ(A.SetAccess(0, false), 0);
  // Only a lower bound, only an upper bound, a bound between keys, an empty range.
  ASSERT_EQ(A.SetRange(0, Bound("cc").data(), nullptr), 0);
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{1, 7, 3, 8}));
  ASSERT_EQ(A.SetRange(0, nullptr, Bound("bb").data()), 0);
  EXPECT_EQ(WalkIds(A, *Relation, true), (TIds{6, 2, 4}));
  // Bounds beyond every key.
  ASSERT_EQ(A.SetRange(0, Bound("0").data(), Bound("z").data()), 0);
  EXPECT_EQ(WalkIds(A, *Relation, true), (TIds{8, 3, 7, 1, 5, 6, 2, 4}));
  ASSERT_EQ(A.SetRange(0, Bound("x").data(), nullptr), 0);
  EXPECT_EQ(A.First(), kVdbEndOfWalk);
  EXPECT_EQ(A.Last(), kVdbEndOfWalk);
  EXPECT_EQ(A.GetRecordCount(), 0);
  A.ClearRange();
  EXPECT_FALSE(A.HasRange());
  EXPECT_EQ(A.GetRecordCount(), 8);
  // A new order clears the range.
  ASSERT_EQ(A.SetRange(0, Lower.data(), Upper.data()), 0);
  ASSERT_EQ(A.SetAccess(0, false), 0);
  EXPECT_FALSE(A.HasRange());
}

TEST_F(AccessorTest, RangesFromTextsAndFromTheBestAccessOfACondition) {
  FillFive();  // a(4) b(2) c(5) d(1) e(3)
  TVdbAccessor A(*Relation, "A");
  ASSERT_EQ(A.SetRange(0, std::vector<std::string>{"b"}, std::vector<std::string>{"c"}), 0);
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{2, 5}));
  ASSERT_EQ(A.SetRange(0, std::vector<std::string>{}, std::vector<std::string>{"b"}), 0);
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{4, 2}));
  EXPECT_EQ(A.SetRange(7, std::vector<std::string>{"b"}, std::vector<std::string>{}), -6);

  // A condition that names the index and its bounds.
  class TBest : public TIdFilter {
   public:
    TBest(TAccessorTestRelation& R, std::vector<std::uint8_t> L, std::vector<std::uint8_t> U)
        : TIdFilter(R, [](std::int32_t) { return true; }), Lower(std::move(L)), Upper(std::move(U)) {}
    bool FindBestAccess(const TVdbAccessor&, std::uint8_t& IndexNo, std::vector<std::uint8_t>& L,
                        std::vector<std::uint8_t>& U) override {
      IndexNo = 0;
      L = Lower;
      U = Upper;
      return true;
    }
    std::vector<std::uint8_t> Lower, Upper;
  };
  TVdbAccessor B(*Relation, "B");
  TBest Best(*Relation, Bound("c"), {});
  ASSERT_EQ(B.SetBestAccess(Best), 0);
  EXPECT_EQ(B.CurrentAccessType(), tatIndex);
  EXPECT_EQ(WalkIds(B, *Relation), (TIds{5, 1, 3}));
  // A condition without a fitting index changes nothing.
  TIdFilter Plain(*Relation, [](std::int32_t) { return true; });
  TVdbAccessor C(*Relation, "C");
  ASSERT_EQ(C.SetBestAccess(Plain), 0);
  EXPECT_EQ(C.CurrentAccessType(), tatRecordNo);
}

TEST_F(AccessorTest, FiltersSkipRecordsAndSequenceNumbersFollowTheUnderlyingOrder) {
  FillFive();
  TVdbAccessor A(*Relation, "Test");
  auto Filter = std::make_unique<TIdFilter>(*Relation, [](std::int32_t Id) { return Id % 2 == 1; });
  TIdFilter* Raw = Filter.get();
  A.SetFilter(std::move(Filter));
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{1, 3, 5}));
  EXPECT_EQ(WalkIds(A, *Relation, true), (TIds{5, 3, 1}));
  ASSERT_EQ(A.First(), 0);
  ASSERT_EQ(A.Next(), 0);
  EXPECT_EQ(A.CurrentSequenceNo(), 3);
  EXPECT_EQ(A.GetRecordCount(), 3);
  // A filter error ends Next with its error and leaves the position; First skips the record.
  ASSERT_EQ(A.First(), 0);
  Raw->FailOnId = 3;
  EXPECT_EQ(A.Next(), -44);
  EXPECT_EQ(Id(A), 1);
  ASSERT_EQ(A.SetAccess(0, false), 0);  // index: a(4) b(2) c(5) d(1) e(3)
  Raw->FailOnId = 5;
  ASSERT_EQ(A.First(), 0);
  EXPECT_EQ(Id(A), 1);
  EXPECT_EQ(A.CurrentSequenceNo(), 4);
  // No record passes: the walk ends and stays before the first record.
  A.SetFilter(std::make_unique<TIdFilter>(*Relation, [](std::int32_t) { return false; }));
  EXPECT_EQ(A.First(), kVdbEndOfWalk);
  EXPECT_EQ(A.CurrentRecordNo(), -1);
  EXPECT_EQ(A.GetRecordCount(), 0);
}

TEST_F(AccessorTest, NextPastTheLastFilteredRecordStaysOnIt) {
  FillFive();
  TVdbAccessor A(*Relation, "Test");
  A.SetFilter(std::make_unique<TIdFilter>(*Relation, [](std::int32_t Id) { return Id <= 2; }));
  ASSERT_EQ(A.Last(), 0);
  EXPECT_EQ(Id(A), 2);
  EXPECT_EQ(A.Next(), kVdbEndOfWalk);
  EXPECT_EQ(A.CurrentRecordNo(), 2);
  EXPECT_EQ(Id(A), 2);
  EXPECT_EQ(A.Prior(), 0);
  EXPECT_EQ(Id(A), 1);
}

class AccessorCountTest : public AccessorTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override { OpenRelation(false); }
};

TEST_P(AccessorCountTest, FilteredCountsWalkOnlyBelowTenThousandRecords) {
  const int Count = GetParam();
  for (std::int32_t Id = 1; Id <= Count; ++Id) ASSERT_EQ(Relation->Add(Id, nullptr), Id);
  TVdbAccessor A(*Relation, "Test");
  EXPECT_EQ(A.GetRecordCount(), Count);
  A.SetFilter(std::make_unique<TIdFilter>(*Relation, [](std::int32_t Id) { return Id % 3 == 0; }));
  ASSERT_EQ(A.GotoRecord(7), 0);
  const std::int32_t Expected = Count < kVdbCountWalkLimit ? Count / 3 : -1;
  EXPECT_EQ(A.GetRecordCount(), Expected);
  // Counting leaves the position and releases its lock.
  EXPECT_EQ(A.CurrentRecordNo(), 7);
  EXPECT_EQ(Relation->ReadLocks, 0);
}

INSTANTIATE_TEST_SUITE_P(Limits, AccessorCountTest, ::testing::Values(9999, 10000));

TEST_F(AccessorTest, ARangedIndexOfTenThousandRecordsHasNoCount) {
  for (std::int32_t Id = 1; Id <= kVdbCountWalkLimit; ++Id) {
    char Name[8];
    std::snprintf(Name, sizeof Name, "n%05d", Id);
    ASSERT_EQ(Relation->Add(Id, Name), Id);
  }
  TVdbAccessor A(*Relation, "Test");
  ASSERT_EQ(A.SetRange(0, Bound("n00002").data(), Bound("n00004").data()), 0);
  EXPECT_EQ(A.GetRecordCount(), -1);
  ASSERT_EQ(A.SetAccess(0, false), 0);
  EXPECT_EQ(A.GetRecordCount(), kVdbCountWalkLimit);
  // Positioning by sequence number starts from the nearest end: 4999 steps from the first
  // record (the tie-free case 5001 takes 4999 steps back from the last).
  Relation->IndexSearches = 0;
  EXPECT_EQ(A.GotoSequenceNo(5000), 5000);
  EXPECT_EQ(Relation->IndexSearches, 4999);
  EXPECT_EQ(A.GetSequenceNo(), 5000);
  A.ToBoT();
  Relation->IndexSearches = 0;
  EXPECT_EQ(A.GotoSequenceNo(5001), 5001);
  EXPECT_EQ(Relation->IndexSearches, 4999);
  // From a known position nearer than either end.
  Relation->IndexSearches = 0;
  EXPECT_EQ(A.GotoSequenceNo(5003), 5003);
  EXPECT_EQ(Relation->IndexSearches, 2);
  EXPECT_EQ(A.GotoSequenceNo(9990), 9990);
  EXPECT_EQ(A.GotoSequenceNo(9989), 9989);
  EXPECT_EQ(A.GotoSequenceNo(1), 1);
  EXPECT_EQ(A.GotoSequenceNo(20000), kVdbCountWalkLimit);
  EXPECT_EQ(Relation->ReadLocks, 0);
}

TEST_F(AccessorTest, AFailingLockIsTheCountsAnswer) {
  FillFive();
  TVdbAccessor A(*Relation, "Test");
  A.SetFilter(std::make_unique<TIdFilter>(*Relation, [](std::int32_t) { return true; }));
  Relation->RefuseLocks = true;
  EXPECT_EQ(A.GetRecordCount(), -104);
}

TEST_F(AccessorTest, GotoRecordChecksTheNumber) {
  FillFive();
  TVdbAccessor A(*Relation, "Test");
  ASSERT_EQ(A.GotoRecord(3), 0);
  struct Case {
    std::int32_t RecordNo;
    std::int16_t Result;
    std::int32_t Current;
  };
  for (const Case& C : {Case{0, -19, 3}, Case{6, -19, 3}, Case{-2, -19, 3}, Case{-1, 0, -1},
                        Case{5, 0, 5}}) {
    SCOPED_TRACE(C.RecordNo);
    EXPECT_EQ(A.GotoRecord(C.RecordNo), C.Result);
    EXPECT_EQ(A.CurrentRecordNo(), C.Current);
  }
  // Before the first record the image is an empty record.
  ASSERT_EQ(A.GotoRecord(-1), 0);
  EXPECT_EQ(Id(A), 0);
  EXPECT_EQ(A.MoveBy(0), kVdbEndOfWalk);
}

TEST_F(AccessorTest, GotoSequenceNoInEachOrder) {
  FillFive();
  TVdbAccessor A(*Relation, "Test");
  EXPECT_EQ(A.GotoSequenceNo(4), 4);
  EXPECT_EQ(A.GotoSequenceNo(6), -19);
  ASSERT_EQ(A.SetAccess(0, false), 0);  // a(4) b(2) c(5) d(1) e(3)
  for (std::int32_t S = 1; S <= 5; ++S) {
    SCOPED_TRACE(S);
    const std::int32_t RecNo = A.GotoSequenceNo(S);
    EXPECT_EQ(RecNo, (TIds{4, 2, 5, 1, 3})[static_cast<std::size_t>(S - 1)]);
    EXPECT_EQ(A.GetSequenceNo(), S);
  }
  ASSERT_EQ(A.GotoSequenceNo(3), 5);
  ASSERT_EQ(A.GotoSequenceNo(2), 2);  // from the current position
  auto List = std::make_unique<TVdbBookmarkList>();
  for (std::int32_t R : {3, 1, 5}) List->Append(R);
  A.SetBookmarks(std::move(List));
  ASSERT_EQ(A.SetAccess(kVdbAccessBookmarks, false), 0);
  EXPECT_EQ(A.GotoSequenceNo(2), 1);
  EXPECT_EQ(A.GotoSequenceNo(4), -19);
}

TEST_F(AccessorTest, BookmarkOrderWalksTheListAndItsPositions) {
  FillFive();
  TVdbAccessor A(*Relation, "Test");
  ASSERT_EQ(A.GotoRecord(2), 0);
  auto List = std::make_unique<TVdbBookmarkList>();
  for (std::int32_t R : {3, 1, 5}) List->Append(R);
  A.SetBookmarks(std::move(List));
  // The current record is not in the list: the walk starts at its first entry.
  ASSERT_EQ(A.SetAccess(tatBookmarks, 0, false), 0);
  EXPECT_EQ(A.CurrentRecordNo(), 3);
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{3, 1, 5}));
  EXPECT_EQ(WalkIds(A, *Relation, true), (TIds{5, 1, 3}));
  EXPECT_EQ(A.GetRecordCount(), 3);
  ASSERT_EQ(A.GotoRecord(1), 0);
  EXPECT_EQ(A.GetSequenceNo(), 2);
  ASSERT_EQ(A.GotoRecord(2), 0);
  EXPECT_EQ(A.GetSequenceNo(), -2);
  EXPECT_FALSE(A.IsValidRecord());
  ASSERT_EQ(A.Next(), 0);  // not in the list: on to the first entry
  EXPECT_EQ(A.CurrentRecordNo(), 3);
  // A record in the list keeps its place when the order switches to bookmarks.
  ASSERT_EQ(A.SetAccess(kVdbAccessRecordNo, false), 0);
  ASSERT_EQ(A.GotoRecord(5), 0);
  ASSERT_EQ(A.SetAccess(kVdbAccessBookmarks, false), 0);
  EXPECT_EQ(A.CurrentRecordNo(), 5);
  EXPECT_EQ(A.CurrentSequenceNo(), 3);
}

// --- Another accessor changes the relation ---

TEST_F(AccessorTest, DeletingTheCurrentRecordMovesOnInRecordNumberOrder) {
  FillFive();
  TVdbAccessor A(*Relation, "A"), B(*Relation, "B");
  ASSERT_EQ(A.GotoRecord(2), 0);
  ASSERT_EQ(B.GotoRecord(2), 0);
  ASSERT_EQ(B.DeleteRecord(), 0);
  // Record 5 moved into slot 2, which both now show.
  EXPECT_EQ(A.CurrentRecordNo(), 2);
  EXPECT_TRUE(A.IsRecordDeleted());
  EXPECT_EQ(Id(A), 5);
  EXPECT_EQ(B.CurrentRecordNo(), 2);
  EXPECT_EQ(B.DeleteRecord(), -19);  // already deleted under it
  EXPECT_EQ(A.MoveBy(0), 0);
  EXPECT_EQ(Id(A), 5);
  ASSERT_EQ(A.Next(), 0);
  EXPECT_FALSE(A.IsRecordDeleted());
  EXPECT_EQ(Id(A), 3);
  // The moved record keeps its place under its new number; the last record deleted: the new
  // last one.
  ASSERT_EQ(A.GotoRecord(4), 0);
  ASSERT_EQ(Relation->Delete(1), 0);  // record 4 moves into slot 1
  EXPECT_EQ(A.CurrentRecordNo(), 1);
  EXPECT_EQ(Id(A), 4);
  ASSERT_EQ(A.GotoRecord(3), 0);
  ASSERT_EQ(Relation->Delete(3), 0);
  EXPECT_EQ(A.CurrentRecordNo(), 2);
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{4, 5}));
  ASSERT_EQ(Relation->Delete(2), 0);
  ASSERT_EQ(Relation->Delete(1), 0);
  EXPECT_EQ(A.CurrentRecordNo(), -1);
}

TEST_F(AccessorTest, DeletingTheCurrentRecordMovesToTheFollowingKeyInIndexOrder) {
  FillFive();  // a(4) b(2) c(5) d(1) e(3)
  TVdbAccessor A(*Relation, "A"), B(*Relation, "B"), C(*Relation, "C");
  ASSERT_EQ(A.SetAccess(0, false), 0);
  ASSERT_EQ(C.SetAccess(0, false), 0);
  ASSERT_EQ(A.GotoRecord(2), 0);  // "b"
  ASSERT_EQ(C.GotoRecord(5), 0);  // "c", the record that will move
  ASSERT_EQ(B.GotoRecord(2), 0);
  ASSERT_EQ(B.DeleteRecord(), 0);
  // "c" moved into slot 2: A moved on to it, C follows it to its new number.
  EXPECT_EQ(A.CurrentRecordNo(), 2);
  EXPECT_EQ(Id(A), 5);
  EXPECT_EQ(C.CurrentRecordNo(), 2);
  EXPECT_EQ(C.GetSequenceNo(), 2);
  ASSERT_EQ(A.Next(), 0);
  EXPECT_EQ(Id(A), 1);
  ASSERT_EQ(A.Prior(), 0);
  ASSERT_EQ(A.Prior(), 0);
  EXPECT_EQ(Id(A), 4);
  EXPECT_EQ(A.Prior(), kVdbEndOfWalk);
  // The last key deleted: the new last key.
  ASSERT_EQ(A.Last(), 0);  // "e", record 3
  ASSERT_EQ(Relation->Delete(3), 0);
  EXPECT_EQ(Id(A), 1);
  EXPECT_EQ(A.Next(), kVdbEndOfWalk);
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{4, 5, 1}));
}

TEST_F(AccessorTest, DeletingInsideARangeMovesOnWithinTheRange) {
  Fill(6, {"a", "b", "c", "d", "e", "f"});
  TVdbAccessor A(*Relation, "A");
  ASSERT_EQ(A.SetRange(0, Bound("b").data(), Bound("d").data()), 0);
  ASSERT_EQ(A.Last(), 0);
  EXPECT_EQ(Id(A), 4);
  ASSERT_EQ(Relation->Delete(4), 0);  // "f" moves into slot 4, beyond the range
  EXPECT_EQ(A.CurrentRecordNo(), 3);
  EXPECT_EQ(Id(A), 3);
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{2, 3}));
}

TEST_F(AccessorTest, DeletingInBookmarkOrderKeepsTheListRight) {
  FillFive();
  TVdbAccessor A(*Relation, "A");
  auto List = std::make_unique<TVdbBookmarkList>();
  for (std::int32_t R : {2, 5, 3}) List->Append(R);
  A.SetBookmarks(std::move(List));
  ASSERT_EQ(A.SetAccess(kVdbAccessBookmarks, false), 0);
  ASSERT_EQ(A.First(), 0);
  ASSERT_EQ(Relation->Delete(2), 0);  // record 5 moves into slot 2
  EXPECT_EQ(A.CurrentRecordNo(), 2);
  EXPECT_EQ(Id(A), 5);
  EXPECT_EQ(A.Bookmarks().Count(), 2);
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{5, 3}));
  // The last entry deleted: the entry before it.
  ASSERT_EQ(A.Last(), 0);
  ASSERT_EQ(Relation->Delete(3), 0);  // record 4 moves into slot 3
  EXPECT_EQ(Id(A), 5);
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{5}));
}

TEST_F(AccessorTest, AMovedRecordKeepsItsPlaceInTheBookmarksBeforeTheDeletedOne) {
  FillFive();
  TVdbAccessor A(*Relation, "A");
  auto List = std::make_unique<TVdbBookmarkList>();
  for (std::int32_t R : {5, 3, 2}) List->Append(R);
  A.SetBookmarks(std::move(List));
  ASSERT_EQ(A.SetAccess(kVdbAccessBookmarks, false), 0);
  ASSERT_EQ(Relation->Delete(2), 0);  // record 5 moves into slot 2
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{5, 3}));
}

TEST_F(AccessorTest, ADeletionAnnouncesItselfToTheAccessorsEvent) {
  FillFive();
  TVdbAccessor A(*Relation, "A");
  std::vector<std::pair<std::int32_t, std::int32_t>> Seen;
  int Changes = 0, Emptied = 0;
  A.SetOnRecordDeleted([&](TVdbAccessor&, std::int32_t D, std::int32_t M) { Seen.push_back({D, M}); });
  A.SetOnRelationChanged([&](TVdbAccessor&) { ++Changes; });
  A.SetOnRelationEmptied([&](TVdbAccessor&) { ++Emptied; });
  ASSERT_EQ(Relation->Delete(2), 0);
  ASSERT_EQ(Relation->Delete(4), 0);
  ASSERT_EQ(Relation->Add(9, "z"), 4);
  ASSERT_EQ(Relation->Rename(1, "q"), 0);
  EXPECT_EQ(Seen, (std::vector<std::pair<std::int32_t, std::int32_t>>{{2, 5}, {4, 0}}));
  EXPECT_EQ(Changes, 2);
  ASSERT_EQ(A.Last(), 0);
  Relation->ClearDat();
  EXPECT_EQ(Emptied, 1);
  EXPECT_EQ(A.CurrentRecordNo(), -1);
  EXPECT_EQ(A.First(), kVdbEndOfWalk);
}

TEST_F(AccessorTest, AChangedKeyTakesTheCurrentRecordToItsNewPlace) {
  FillFive();  // a(4) b(2) c(5) d(1) e(3)
  TVdbAccessor A(*Relation, "A");
  ASSERT_EQ(A.SetAccess(0, false), 0);
  ASSERT_EQ(A.First(), 0);
  EXPECT_EQ(Id(A), 4);
  ASSERT_EQ(Relation->Rename(4, "z"), 0);
  EXPECT_EQ(A.CurrentRecordNo(), 4);
  EXPECT_EQ(A.Next(), kVdbEndOfWalk);
  ASSERT_EQ(A.Prior(), 0);
  EXPECT_EQ(Id(A), 3);
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{2, 5, 1, 3, 4}));
}

TEST_F(AccessorTest, MoveByZeroFindsTheNextRecordOfTheWalkOrTheLast) {
  FillFive();
  TVdbAccessor A(*Relation, "A");
  A.SetFilter(std::make_unique<TIdFilter>(*Relation, [](std::int32_t Id) { return Id != 5; }));
  ASSERT_EQ(A.GotoRecord(2), 0);
  ASSERT_EQ(Relation->Delete(2), 0);  // record 5 (rejected by the filter) moves into slot 2
  ASSERT_EQ(A.MoveBy(0), 0);
  EXPECT_EQ(Id(A), 3);
  ASSERT_EQ(A.GotoRecord(4), 0);
  ASSERT_EQ(Relation->Rename(4, "x"), 0);
  ASSERT_EQ(Relation->Delete(4), 0);  // the last record of the walk
  ASSERT_EQ(A.MoveBy(0), 0);
  EXPECT_EQ(Id(A), 3);
  ASSERT_EQ(A.MoveBy(-1), 0);
  EXPECT_EQ(Id(A), 1);
  EXPECT_EQ(A.MoveBy(-1), kVdbEndOfWalk);
  // Only records 1 and 3 pass: the second step fails and the walk stays on the last one.
  EXPECT_EQ(A.MoveBy(2), kVdbEndOfWalk);
  EXPECT_EQ(Id(A), 3);
}

TEST_F(AccessorTest, IndexRemovalAndTheVetoWhileAnAccessorWalksIt) {
  FillFive();
  TVdbAccessor A(*Relation, "A");
  ASSERT_EQ(A.SetAccess(0, false), 0);
  EXPECT_FALSE(Relation->MayDeleteIndex(0));
  EXPECT_TRUE(Relation->MayDeleteIndex(1));
  ASSERT_EQ(A.GotoRecord(3), 0);
  Relation->NotifyIndexRemoved(0);
  EXPECT_EQ(A.CurrentAccessType(), tatRecordNo);
  EXPECT_EQ(A.CurrentRecordNo(), 3);
  EXPECT_TRUE(Relation->MayDeleteIndex(0));
}

TEST_F(AccessorTest, AnIndexGoneFromTheNamesLeavesItsAccessorsInRecordNumberOrder) {
  FillFive();
  TVdbAccessor OnIndex(*Relation, "A"), Physical(*Relation, "B");
  ASSERT_EQ(OnIndex.SetAccess(0, false), 0);
  ASSERT_EQ(OnIndex.GotoRecord(2), 0);
  Relation->DropIndexElsewhere();
  EXPECT_EQ(OnIndex.CurrentAccessType(), tatRecordNo);
  EXPECT_EQ(OnIndex.CurrentRecordNo(), 2);
  EXPECT_EQ(WalkIds(OnIndex, *Relation), (TIds{1, 2, 3, 4, 5}));
  EXPECT_EQ(Physical.CurrentAccessType(), tatRecordNo);
}

TEST_F(AccessorTest, ResetReturnsToRecordNumberOrderBeforeTheFirstRecord) {
  FillFive();
  TVdbAccessor A(*Relation, "A");
  ASSERT_EQ(A.SetAccess(0, true), 0);
  A.SetFilter(std::make_unique<TIdFilter>(*Relation, [](std::int32_t Id) { return Id > 2; }));
  A.Bookmarks().Append(3);
  ASSERT_EQ(A.First(), 0);
  ASSERT_EQ(A.Append(), 0);
  A.Reset();
  EXPECT_EQ(A.CurrentAccessType(), tatRecordNo);
  EXPECT_EQ(A.CurrentRecordNo(), -1);
  EXPECT_EQ(A.Filter(), nullptr);
  EXPECT_EQ(A.Bookmarks().Count(), 0);
  EXPECT_EQ(A.EditState(), esBrowse);
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{1, 2, 3, 4, 5}));
}

// --- Memos ---

TEST_F(AccessorTest, MemosAreReadOnRequestInChunks) {
  ASSERT_EQ(Relation->Add(1, "a", "hunting terms"), 1);
  ASSERT_EQ(Relation->Add(2, "b"), 2);
  TVdbAccessor A(*Relation, "A");
  ASSERT_EQ(A.First(), 0);
  A.GetRecordPtr();
  EXPECT_EQ(Relation->MemoReads, 0);
  std::int16_t BlobType = -1;
  ASSERT_EQ(A.InitGetBlob(kNote, -1, BlobType), 13);
  EXPECT_EQ(BlobType, 0);
  char Chunk[8] = {};
  EXPECT_EQ(A.GetBlobChunk(8, 8, Chunk), 5);
  EXPECT_EQ(std::string(Chunk, 5), "terms");
  EXPECT_EQ(A.GetBlobChunk(13, 8, Chunk), 0);
  A.DoneGetBlob();
  std::string Memo;
  EXPECT_EQ(A.GetMemo(kNote, Memo, 7), 7);
  EXPECT_EQ(Memo, "hunting");
  EXPECT_EQ(A.GetBlobSize(kNote), 13);
  EXPECT_EQ(A.InitGetBlob(kName, -1, BlobType), -168);
  EXPECT_EQ(Services.LastErrorMsg(), "Blob field expected");
  ASSERT_EQ(A.Next(), 0);
  EXPECT_EQ(A.GetMemo(kNote, Memo, -1), 0);
  EXPECT_EQ(Memo, "");
}

// --- Writing ---

TEST_F(AccessorTest, EditPostAndTheEditLockAgainstAnotherAccessor) {
  FillFive();
  Relation->SetUseEditLocks(true);
  TVdbAccessor A(*Relation, "A"), B(*Relation, "B");
  ASSERT_EQ(A.GotoRecord(2), 0);
  ASSERT_EQ(B.GotoRecord(2), 0);
  ASSERT_EQ(A.Edit(), 0);
  EXPECT_EQ(A.EditState(), esEdit);
  EXPECT_TRUE(A.IsRecordEdited(2));
  EXPECT_EQ(B.Edit(), -105);
  EXPECT_EQ(Services.LastErrorMsg(), "Record is being edited by another user");
  EXPECT_EQ(Relation->Delete(2), -105);
  Relation->SetInt32(A.GetWorkRecordPtr(), kId, 20);
  EXPECT_EQ(Id(A), 20);  // the image of a record being edited is the work image
  EXPECT_EQ(Id(B), 2);
  ASSERT_EQ(A.Post(), 0);
  EXPECT_EQ(A.EditState(), esBrowse);
  EXPECT_EQ(Id(B), 20);
  ASSERT_EQ(B.Edit(), 0);
  EXPECT_EQ(B.Cancel(), 0);
  EXPECT_FALSE(B.IsRecordEdited(2));
  Relation->SetRights(0);
  EXPECT_EQ(A.Edit(), -160);
  EXPECT_EQ(Services.LastErrorMsg(), "Write permission for table Data is missing");
  EXPECT_EQ(A.Append(), -34);
}

TEST_F(AccessorTest, EditRetriesUntilTheLockingTimeoutHasPassed) {
  FillFive();
  Relation->SetUseEditLocks(true);
  Services.SetLockingTimeout(250);
  TVdbAccessor A(*Relation, "A"), B(*Relation, "B");
  ASSERT_EQ(A.GotoRecord(1), 0);
  ASSERT_EQ(B.GotoRecord(1), 0);
  ASSERT_EQ(A.Edit(), 0);
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_EQ(B.Edit(), -105);
  EXPECT_GE(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(250));
  EXPECT_EQ(B.EditState(), esBrowse);
}

TEST_F(AccessorTest, AppendPostAndCancel) {
  FillFive();
  TVdbAccessor A(*Relation, "A");
  ASSERT_EQ(A.GotoRecord(3), 0);
  ASSERT_EQ(A.Append(), 0);
  EXPECT_EQ(A.WorkRecordNo(), 0);
  ASSERT_EQ(A.Cancel(), 0);
  EXPECT_EQ(A.CurrentRecordNo(), 3);
  EXPECT_EQ(Relation->RecordCount(), 5);
  ASSERT_EQ(A.Append(), 0);
  // Running off the end while appending lands on the new record.
  ASSERT_EQ(A.Last(), 0);
  ASSERT_EQ(A.Next(), 0);
  EXPECT_EQ(A.CurrentRecordNo(), 0);
  Relation->SetInt32(A.GetWorkRecordPtr(), kId, 6);
  Relation->SetAnsiString(A.GetWorkRecordPtr(), kName, "aa");
  A.SetPendingMemo(kNote, "new note");
  EXPECT_EQ(Id(A), 6);
  ASSERT_EQ(A.Post(), 0);
  EXPECT_EQ(A.CurrentRecordNo(), 6);
  std::string Memo;
  EXPECT_EQ(A.GetMemo(kNote, Memo, -1), 8);
  EXPECT_EQ(Memo, "new note");
  ASSERT_EQ(A.SetAccess(0, false), 0);
  EXPECT_EQ(WalkIds(A, *Relation), (TIds{4, 6, 2, 5, 1, 3}));
}

TEST_F(AccessorTest, AFailedDeleteStaysOnTheRecord) {
  FillFive();
  TVdbAccessor A(*Relation, "A");
  ASSERT_EQ(A.GotoRecord(4), 0);
  Relation->RefuseLocks = true;
  EXPECT_EQ(A.DeleteRecord(), -104);
  EXPECT_EQ(A.CurrentRecordNo(), 4);
  Relation->RefuseLocks = false;
  ASSERT_EQ(A.DeleteRecord(), 0);
  EXPECT_EQ(A.CurrentRecordNo(), 4);
  EXPECT_EQ(Id(A), 5);
  EXPECT_EQ(Relation->UpgradeLocks, 0);
}

// --- Positions saved and copied ---

TEST_F(AccessorTest, PushAndPopRestoreOrderRangeAndPosition) {
  FillFive();
  TVdbAccessor A(*Relation, "A");
  ASSERT_EQ(A.SetRange(0, Bound("b").data(), Bound("d").data()), 0);
  ASSERT_EQ(A.First(), 0);
  A.Push();
  ASSERT_EQ(A.SetAccess(kVdbAccessRecordNo, true), 0);
  ASSERT_EQ(A.First(), 0);
  A.Pop();
  EXPECT_EQ(A.CurrentAccessType(), tatIndex);
  EXPECT_TRUE(A.HasRange());
  EXPECT_EQ(Id(A), 2);
  EXPECT_FALSE(A.Reverse());
  ASSERT_EQ(A.Next(), 0);
  EXPECT_EQ(Id(A), 5);
}

TEST_F(AccessorTest, TakeOverCopiesThePositionAndWithAModeTheOrder) {
  FillFive();
  TVdbAccessor A(*Relation, "A"), B(*Relation, "B");
  ASSERT_EQ(A.SetAccess(0, false), 0);
  ASSERT_EQ(A.GotoRecord(5), 0);  // "c"
  auto List = std::make_unique<TVdbBookmarkList>();
  List->Append(4);
  A.SetBookmarks(std::move(List));
  B.TakeOver(A, tomPosition);
  EXPECT_EQ(B.CurrentRecordNo(), 5);
  EXPECT_EQ(B.CurrentAccessType(), tatRecordNo);
  ASSERT_EQ(B.Next(), kVdbEndOfWalk);
  B.TakeOver(A, tomCopy);
  EXPECT_EQ(B.CurrentAccessType(), tatIndex);
  EXPECT_EQ(B.Bookmarks().Count(), 1);
  EXPECT_EQ(A.Bookmarks().Count(), 1);
  ASSERT_EQ(B.Next(), 0);
  EXPECT_EQ(Id(B), 1);
  B.TakeOver(A, tomMove);
  EXPECT_EQ(B.Bookmarks().Count(), 1);
  EXPECT_EQ(A.Bookmarks().Count(), 0);
  // Moving takes an edit along: the record stays locked once, by the new owner.
  ASSERT_EQ(A.GotoRecord(3), 0);
  ASSERT_EQ(A.Edit(), 0);
  B.TakeOver(A, tomMove);
  EXPECT_EQ(B.EditState(), esEdit);
  EXPECT_EQ(A.EditState(), esBrowse);
  EXPECT_TRUE(B.IsRecordEdited(3));
  EXPECT_FALSE(A.IsRecordEdited(3));
  ASSERT_EQ(B.Post(), 0);
  auto Clone = TVdbAccessor::CreateClone(A);
  EXPECT_EQ(Clone->GetTag(), "A");
  EXPECT_EQ(Clone->CurrentRecordNo(), -1);
  EXPECT_EQ(Relation->AccessorCount(), 3);
  Clone.reset();
  EXPECT_EQ(Relation->AccessorCount(), 2);
}

TEST_F(AccessorTest, FieldValuesPointIntoTheCurrentImage) {
  ASSERT_EQ(Relation->Add(7, "abc", "memo"), 1);
  TVdbAccessor A(*Relation, "A");
  ASSERT_EQ(A.First(), 0);
  const TVdbDataValue& Value = A.GetField(kId);
  EXPECT_TRUE(Value.IsReference());
  EXPECT_EQ(Value.Code(), 16);
  EXPECT_TRUE(A.GetField(kNote).IsEmpty());
  EXPECT_THROW(A.GetField(4), EVdbEngine);
  std::vector<std::uint8_t> Copy(static_cast<std::size_t>(Relation->RecordSize()));
  ASSERT_EQ(A.GetRecord(Copy.data()), 0);
  EXPECT_EQ(Relation->IdOf(Copy.data()), 7);
}

}  // namespace
}  // namespace vdb::accesstest

namespace vdb::accesstest {
namespace {

// --- The bookmark list under the accessor ---

std::vector<std::int32_t> Live(const TVdbBookmarkList& List) {
  std::vector<std::int32_t> Out(static_cast<std::size_t>(List.Count()));
  List.WriteTo(Out.data());
  return Out;
}

TEST(BookmarkListTest, HolesAreSkippedAndNeverTrail) {
  TVdbBookmarkList List(10);
  EXPECT_GE(List.Capacity(), 1024);
  for (std::int32_t R : {7, 3, 9, 4}) List.Append(R);
  EXPECT_TRUE(List.Delete(3));
  EXPECT_FALSE(List.Delete(3));
  EXPECT_EQ(List.Count(), 3);
  EXPECT_EQ(List.Size(), 4);
  EXPECT_EQ(List.FindNext(0), 2);
  EXPECT_EQ(List.FindPrev(2), 0);
  EXPECT_EQ(List.FindSequence(9), 1);
  EXPECT_EQ(List.FindSlotOfSequence(1), 2);
  EXPECT_EQ(List.Find(0), -1);
  List.DeleteAt(3);  // 7, hole, 9
  EXPECT_EQ(List.Size(), 3);
  List.Flip(9);  // the hole before it would trail: it goes too
  EXPECT_EQ(List.Size(), 1);
  EXPECT_EQ(Live(List), (std::vector<std::int32_t>{7}));
  List.Flip(2);
  List.Append(0);  // no hole is appended
  EXPECT_EQ(Live(List), (std::vector<std::int32_t>{7, 2}));
}

TEST(BookmarkListTest, SortCopyInsertAndGrowth) {
  TVdbBookmarkList List;
  for (std::int32_t R = 3000; R >= 1; --R) List.Append(R);
  EXPECT_GE(List.Capacity(), 3000);
  List.Delete(1500);
  List.Sort();
  EXPECT_EQ(List.Count(), 2999);
  EXPECT_EQ(List.Size(), 2999);
  EXPECT_EQ(List.GetItem(0), 1);
  EXPECT_EQ(List.GetItem(1499), 1501);
  TVdbBookmarkList Copy;
  Copy.CopyFrom(List);
  EXPECT_EQ(Live(Copy), Live(List));
  TVdbBookmarkList Sorted;
  for (std::int32_t R : {10, 30}) Sorted.Append(R);
  Sorted.InsertSorted(20, [](std::int32_t A, std::int32_t B) { return A < B; });
  Sorted.InsertSorted(40, [](std::int32_t A, std::int32_t B) { return A < B; });
  EXPECT_EQ(Live(Sorted), (std::vector<std::int32_t>{10, 20, 30, 40}));
  Sorted.Renumber(40, 5);
  EXPECT_EQ(Live(Sorted), (std::vector<std::int32_t>{10, 20, 30, 5}));
  EXPECT_THROW(Sorted.InsertAt(9, 1), std::out_of_range);
}

}  // namespace
}  // namespace vdb::accesstest

namespace vdb::accesstest {
namespace {

// --- Accessor sets ---

// The catalog's part: relations by index, each with a default accessor.
class TTestCatalog : public TVdbAccessorCatalog {
 public:
  TVdbRelation* GetRelation(TVdbRelationIndex RltnIdx) const override {
    const auto It = Relations.find(RltnIdx);
    return It == Relations.end() ? nullptr : It->second;
  }
  TVdbAccessor* GetDefaultAccessor(TVdbRelationIndex RltnIdx) const override {
    const auto It = Defaults.find(RltnIdx);
    return It == Defaults.end() ? nullptr : It->second.get();
  }
  void Register(TVdbRelation& Relation, TVdbRelationIndex RltnIdx) {
    Relation.SetRltnIdx(RltnIdx);
    Relations[RltnIdx] = &Relation;
    Defaults[RltnIdx] = std::make_unique<TVdbAccessor>(Relation, "Session_Default");
  }
  void Unregister() { Defaults.clear(); }
  std::map<TVdbRelationIndex, TVdbRelation*> Relations;
  std::map<TVdbRelationIndex, std::unique_ptr<TVdbAccessor>> Defaults;
};

class AccessorSetTest : public TAccessorFixture {
 protected:
  void SetUp() override {
    OpenRelation();
    Fill(3, {"c", "a", "b"});
    Other = std::make_unique<TAccessorTestRelation>(&Services, "Other", false);
    ASSERT_EQ(Other->Open(false), 0);
    ASSERT_EQ(Other->Add(10, "x"), 1);
    Catalog.Register(*Relation, 1);
    Catalog.Register(*Other, 2);
  }
  void TearDown() override { Catalog.Unregister(); }
  std::unique_ptr<TAccessorTestRelation> Other;
  TTestCatalog Catalog;
};

TEST_F(AccessorSetTest, SlotsOrderAndPrimary) {
  TVdbAccessorSet Set(&Catalog, false);
  TVdbAccessor& B = Set.AddAccessor(std::make_unique<TVdbAccessor>(*Other, "Q"));
  TVdbAccessor External(*Relation, "E");
  Set.AddAccessor(External);
  EXPECT_EQ(Set.Count(), 2);
  EXPECT_EQ(Set.PrimaryRltnIdx(), 2);
  EXPECT_EQ(Set.GetPrimaryAccessor(), &B);
  EXPECT_EQ(Set.GetPrimaryRltnHdl(), 2);  // session 1: (1 - 1) * 256 + 2
  EXPECT_EQ(Set.GetAccessorAt(1), &External);
  EXPECT_EQ(Set.GetAccessorAt(2), nullptr);
  EXPECT_EQ(Set.RltnPosFromRltnIdx(1), 1);
  EXPECT_EQ(Set.RltnPosFromRltnIdx(7), 2);
  EXPECT_TRUE(Set.GetRltnIdxSet().test(1));
  EXPECT_FALSE(Set.GetRltnIdxSet().test(3));
  EXPECT_FALSE(Set.SetOrder({1, 1}));
  ASSERT_TRUE(Set.SetOrder({1, 2}));
  EXPECT_EQ(Set.GetAccessorAt(0), &External);
  Set.SetPrimaryRltnIdx(1);
  Set.DeleteAccessor(2);
  EXPECT_EQ(Set.Count(), 1);
  EXPECT_EQ(Other->AccessorCount(), 1);  // the owned accessor is freed; the default stays
  auto Owned = Set.ForgetAll();
  EXPECT_TRUE(Owned.empty());
  EXPECT_EQ(Set.Count(), 0);
  EXPECT_EQ(Set.PrimaryRltnIdx(), 0);
}

TEST_F(AccessorSetTest, PopulateInitializeAndEasyStates) {
  ASSERT_EQ(Catalog.Defaults[1]->GotoRecord(3), 0);
  TVdbAccessorSet Set(&Catalog, false);
  Set.Populate(2, "Stmt");
  ASSERT_EQ(Set.Count(), 2);
  EXPECT_EQ(Set.PrimaryRltnIdx(), 2);
  EXPECT_EQ(Set.GetAccessor(1)->GetTag(), "Stmt");
  EXPECT_EQ(Set.GetAccessor(1)->CurrentRecordNo(), 1);
  Set.Initialize();
  EXPECT_EQ(Set.GetAccessor(1)->CurrentRecordNo(), 3);
  Set.PushEasyState();
  ASSERT_EQ(Set.GetAccessor(1)->First(), 0);
  ASSERT_TRUE(Set.SetOrder({2, 1}));
  Set.SetPrimaryRltnIdx(1);
  Set.PopEasyState();
  EXPECT_EQ(Set.GetAccessor(1)->CurrentRecordNo(), 3);
  EXPECT_EQ(Set.PrimaryRltnIdx(), 2);
  EXPECT_EQ(Set.Order(), (TVdbAccessorSet::TRltnIdxVector{1, 2}));
  auto Owned = Set.ForgetAll();
  EXPECT_EQ(Owned.size(), 2u);
}

TEST_F(AccessorSetTest, FindFieldInTheSetAndThroughAVirtualRelation) {
  TVdbAccessorSet Set(&Catalog, false);
  Set.AddAccessor(std::make_unique<TVdbAccessor>(*Other, "Q"));
  std::int16_t FieldNo = 0;
  TVdbRelationIndex RltnIdx = 0;
  ASSERT_TRUE(Set.FindField("name", false, FieldNo, RltnIdx, false));
  EXPECT_EQ(FieldNo, kName);
  EXPECT_EQ(RltnIdx, 2);
  EXPECT_FALSE(Set.FindField("name", false, FieldNo, RltnIdx, true));
  EXPECT_FALSE(Set.FindField("Data.NAME", false, FieldNo, RltnIdx, false));
  EXPECT_FALSE(Set.FindField("MISSING", true, FieldNo, RltnIdx, false));
  // Deep search finds Data's column; with no relation of the set showing it, nothing.
  EXPECT_FALSE(Set.FindField("Data.NOTE", true, FieldNo, RltnIdx, false));
}

}  // namespace
}  // namespace vdb::accesstest
