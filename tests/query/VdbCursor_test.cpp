// Cursors over a search result and over table Data: walking in row order both ways, the end
// codes, record counts, orders by index name and by sort order, static and incremental filters,
// marks and their renumbering when the table moves a record, deleting marked records, and the
// process-wide cursor table.
#include "query/VdbCursor.h"

#include <gtest/gtest.h>

#include "query/VdbQueryTestSupport.h"

namespace vdb::querytest {
namespace {

using TNumbers = std::vector<std::int32_t>;
using TWords = std::vector<std::string>;

// Rows whose headword passes a predicate.
class THeadwordFilter : public TVdbAccessorFilter {
 public:
  explicit THeadwordFilter(std::function<bool(const std::string&)> Accept)
      : FAccept(std::move(Accept)) {}
  bool IsSatisfied(TVdbAccessor& Accessor) override {
    return FAccept(HeadwordOf(Accessor.Relation(), Accessor.GetRecordPtr()));
  }

 private:
  std::function<bool(const std::string&)> FAccept;
};

class CursorTest : public QueryFixture {
 protected:
  TVdbCursor& NewCursor(TVdbRelation& Relation, const std::string& Tag = "ResultTable") {
    Cursors.push_back(std::make_unique<TVdbCursor>(0, Session(), Relation, Relation.RltnIdx(), Tag));
    EXPECT_EQ(Cursors.back()->Open(), 0) << Errors().LastErrorMsg();
    return *Cursors.back();
  }
  std::string Word(TVdbCursor& Cursor) {
    return HeadwordOf(Cursor.Relation(), Cursor.Accessor().GetRecordPtr());
  }
  // The headwords from First with Next, or from Last with Prior.
  TWords Walk(TVdbCursor& Cursor, bool Backwards = false) {
    TWords Words;
    std::int16_t Result = Backwards ? Cursor.Last() : Cursor.First();
    if (Result != 1) {
      EXPECT_EQ(Result, TVdbCursor::kEndOfData);
      return Words;
    }
    do {
      Words.push_back(Word(Cursor));
      Result = Backwards ? Cursor.Prior() : Cursor.Next();
    } while (Result == 0 && Words.size() < 5000);
    EXPECT_EQ(Result, TVdbCursor::kEndOfData);
    return Words;
  }
  static TWords Reversed(TWords Words) {
    std::reverse(Words.begin(), Words.end());
    return Words;
  }
};

TEST_F(CursorTest, WalksTheSearchResultInRowOrderBothWays) {
  OpenLexicon();
  TVdbResultSet& Result = NewResult(HasRoka, "CIMSZO");
  Result.SetRltnIdx(2);
  TVdbCursor& Cursor = NewCursor(Result);
  EXPECT_EQ(Cursor.GetRecordCount(), 19);
  EXPECT_EQ(Cursor.GetRowCount(), 19);
  const TWords Forward = Walk(Cursor);
  ASSERT_EQ(Forward.size(), 19u);
  EXPECT_EQ(Forward.front(), "Ezüstróka");
  EXPECT_EQ(Forward[1], "Keresztes róka");
  EXPECT_EQ(Forward[2], "Nagy kárókatona");
  EXPECT_EQ(Forward.back(), "Rókavár");
  EXPECT_EQ(Walk(Cursor, true), Reversed(Forward));
  // Row positions are the record numbers of the walk.
  ASSERT_EQ(Cursor.SetRecordNo(4), 0);
  EXPECT_EQ(Word(Cursor), "Róka");
  EXPECT_EQ(Cursor.GetPhysicalRecordNo(), 4);
  EXPECT_EQ(Cursor.MoveBy(2), 0);
  EXPECT_EQ(Cursor.GetPhysicalRecordNo(), 6);
  EXPECT_EQ(Cursor.MoveBy(100), TVdbCursor::kEndOfData);
  std::vector<std::uint8_t> Record(static_cast<std::size_t>(Result.RecordSize()));
  ASSERT_EQ(Cursor.First(), 1);
  ASSERT_EQ(Cursor.GetRecord(Record.data()), 0);
  EXPECT_EQ(HeadwordOf(Result, Record.data()), "Ezüstróka");
  std::string Memo;
  EXPECT_GT(Cursor.Accessor().GetMemo(kLeiras, Memo, 100000), 0);
  EXPECT_FALSE(Memo.empty());
}

TEST_F(CursorTest, ASortedResultIsWalkedBackwardsForTheReversedOrder) {
  OpenLexicon(test::NumberedEntries(4));
  TVdbResultSet& Result = NewResult([](const std::string&) { return true; }, "CIMSZO");
  Result.SetRltnIdx(2);
  TVdbCursor& Cursor = NewCursor(Result);
  ASSERT_EQ(Cursor.SetSortOrder("-CIMSZO"), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Walk(Cursor), (TWords{"szo04", "szo03", "szo02", "szo01"}));
  ASSERT_EQ(Cursor.SetSortOrder(""), 0);
  EXPECT_EQ(Walk(Cursor), (TWords{"szo01", "szo02", "szo03", "szo04"}));
  EXPECT_EQ(Cursor.SetIndex("CIMSZO", false), TVdbCursor::kUnknownIndex);
}

TEST_F(CursorTest, AnEmptyResultEndsAtOnce) {
  OpenLexicon(test::NumberedEntries(3));
  TVdbResultSet& Result = NewResult([](const std::string&) { return false; });
  Result.SetRltnIdx(2);
  TVdbCursor& Cursor = NewCursor(Result);
  EXPECT_EQ(Cursor.First(), TVdbCursor::kEndOfData);
  EXPECT_EQ(Cursor.Last(), TVdbCursor::kEndOfData);
  EXPECT_EQ(Cursor.GetRecordCount(), 0);
}

TEST_F(CursorTest, DeletingThroughTheCursorRemovesExactlyThatRow) {
  OpenLexicon(test::NumberedEntries(5));
  TVdbResultSet& Result = NewResult([](const std::string&) { return true; }, "-CIMSZO");
  Result.SetRltnIdx(2);
  TVdbCursor& Cursor = NewCursor(Result);
  ASSERT_EQ(Cursor.SetRecordNo(4), 0);
  ASSERT_EQ(Word(Cursor), "szo02");
  ASSERT_EQ(Cursor.DeleteRecord(), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Cursor.GetRecordCount(), 4);
  EXPECT_EQ(Walk(Cursor), (TWords{"szo05", "szo04", "szo03", "szo01"}));
  EXPECT_EQ(Table->RecordCount(), 4);
}

TEST_F(CursorTest, IndexAndSortOrdersOfATable) {
  OpenLexicon({{"c", "1", 2}, {"a", "2", 3}, {"b", "3", 4}});
  TVdbCursor& Cursor = NewCursor(*Table, "Table");
  EXPECT_EQ(Walk(Cursor), (TWords{"c", "a", "b"}));
  ASSERT_EQ(Cursor.SetIndex("CIMSZO", false), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Walk(Cursor), (TWords{"a", "b", "c"}));
  ASSERT_EQ(Cursor.SetIndex("CIMSZO", true), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Walk(Cursor), (TWords{"c", "b", "a"}));
  EXPECT_EQ(Cursor.SetIndex("NOPE", false), TVdbCursor::kUnknownIndex);
  ASSERT_EQ(Cursor.SetIndex("", false), 0);
  EXPECT_EQ(Walk(Cursor), (TWords{"c", "a", "b"}));
  EXPECT_EQ(Cursor.SetSortOrder("-CIMSZO"), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Walk(Cursor), (TWords{"c", "b", "a"}));
  EXPECT_EQ(Cursor.SetSortOrder("NOPE"), TVdbCursor::kInvalidIndexDefinition);
  EXPECT_EQ(Walk(Cursor), (TWords{"c", "b", "a"}));  // the order stays
}

TEST_F(CursorTest, AUserRangeBoundsTheIndexWalk) {
  OpenLexicon(test::NumberedEntries(6));
  TVdbCursor& Cursor = NewCursor(*Table, "Table");
  const std::vector<std::uint8_t> Lower = test::Record("szo02"), Upper = test::Record("szo04");
  EXPECT_EQ(Cursor.SetUserRange(Lower.data(), Upper.data(), 0, 0), TVdbCursor::kInvalidAccess);
  ASSERT_EQ(Cursor.SetIndex("CIMSZO", false), 0);
  ASSERT_EQ(Cursor.SetUserRange(Lower.data(), Upper.data(), 0, 0), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Walk(Cursor), (TWords{"szo02", "szo03", "szo04"}));
  ASSERT_EQ(Cursor.SetUserRange(Lower.data(), nullptr, 0, 0), 0);
  EXPECT_EQ(Walk(Cursor), (TWords{"szo02", "szo03", "szo04", "szo05", "szo06"}));
  ASSERT_EQ(Cursor.ClearUserRange(), 0);
  EXPECT_EQ(Walk(Cursor).size(), 6u);
}

// A range on an empty table walks no row, without an error.
TEST_F(CursorTest, ARangeOnAnEmptyTableEndsAtOnce) {
  OpenLexicon({});
  TVdbCursor& Cursor = NewCursor(*Table, "Table");
  ASSERT_EQ(Cursor.SetIndex("CIMSZO", false), 0) << Errors().LastErrorMsg();
  const std::vector<std::uint8_t> Lower = test::Record("szo05"), Upper = test::Record("szo09");
  ASSERT_EQ(Cursor.SetUserRange(Lower.data(), nullptr, 0, 0), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Walk(Cursor), TWords{});
  EXPECT_EQ(Walk(Cursor, true), TWords{});
  ASSERT_EQ(Cursor.SetUserRange(Lower.data(), Upper.data(), 0, 0), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Walk(Cursor), TWords{});
  EXPECT_EQ(Cursor.GetRecordCount(), 0);
}

TEST_F(CursorTest, StaticAndIncrementalFiltersRestrictTheWalk) {
  OpenLexicon(test::NumberedEntries(6));
  TVdbCursor& Cursor = NewCursor(*Table, "Table");
  const auto Even = std::make_shared<THeadwordFilter>(
      [](const std::string& W) { return (W.back() - '0') % 2 == 0; });
  ASSERT_EQ(Cursor.SetIndex("CIMSZO", true), 0);
  ASSERT_EQ(Cursor.SetUserFilter(Even, kVdbFilterStatic, false), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Cursor.ActiveFilterKind(), tfkStatic);
  EXPECT_EQ(Walk(Cursor), (TWords{"szo06", "szo04", "szo02"}));
  EXPECT_EQ(Cursor.GetRecordCount(), 3);
  ASSERT_EQ(Cursor.DeactivateFilter(), 0);
  EXPECT_EQ(Walk(Cursor).size(), 6u);
  // A prepared incremental filter takes effect when activated.
  ASSERT_EQ(Cursor.SetUserFilter(Even, kVdbFilterIncremental, true), 0);
  EXPECT_EQ(Walk(Cursor).size(), 6u);
  ASSERT_EQ(Cursor.ActivateFilter(), 0);
  EXPECT_EQ(Cursor.ActiveFilterKind(), tfkIncremental);
  EXPECT_EQ(Walk(Cursor), (TWords{"szo06", "szo04", "szo02"}));
}

TEST_F(CursorTest, AStaticFilterIsCollectedAgainAfterAChange) {
  OpenLexicon(test::NumberedEntries(4));
  TVdbCursor& Cursor = NewCursor(*Table, "Table");
  const auto Long = std::make_shared<THeadwordFilter>(
      [](const std::string& W) { return W.size() > 5; });
  ASSERT_EQ(Cursor.SetUserFilter(Long, kVdbFilterStatic, false), 0);
  EXPECT_EQ(Walk(Cursor).size(), 0u);
  std::vector<std::uint8_t> Record = test::Record("hosszu szo");
  ASSERT_GT(Table->AppendRecord(Record.data(), nullptr), 0);
  EXPECT_TRUE(Cursor.Dirty());
  EXPECT_EQ(Walk(Cursor), (TWords{"hosszu szo"}));
  EXPECT_FALSE(Cursor.Dirty());
}

TEST_F(CursorTest, MarksFollowDeletionsAndMovesOfTheTable) {
  OpenLexicon(test::NumberedEntries(6));
  TVdbCursor& Cursor = NewCursor(*Table, "Table");
  std::vector<std::tuple<std::int16_t, std::int16_t, std::int32_t, std::int32_t>> Changes;
  Cursor.SetOnChangeProc(
      [&](std::int16_t Db, std::int16_t Hdl, std::int32_t Deleted, std::int32_t Moved) {
        Changes.emplace_back(Db, Hdl, Deleted, Moved);
      },
      7);
  for (std::int32_t RecNo : {2, 6, 4}) Cursor.AddMark(RecNo);
  EXPECT_THROW(Cursor.AddMark(7), EVdbEngine);
  EXPECT_THROW(Cursor.AddMark(0), EVdbEngine);
  EXPECT_EQ(Cursor.UserFilterKind(), tfkBookmarks);
  EXPECT_EQ(Cursor.CountMarks(), 3);
  EXPECT_TRUE(Cursor.IsMarked(6));
  // Deleting record 2 moves record 6 into slot 2: the mark of 2 goes, 6 becomes 2.
  std::vector<std::uint8_t> Base(static_cast<std::size_t>(Table->RecordSize()));
  ASSERT_EQ(Table->ReadRecord(2, Base.data()), 0);
  ASSERT_EQ(Table->DeleteRecord(Base.data(), 2), 0);
  EXPECT_EQ(Cursor.GetMarks(), (TNumbers{2, 4}));
  ASSERT_EQ(Changes.size(), 1u);
  EXPECT_EQ(Changes[0], std::make_tuple(std::int16_t{7}, Cursor.TableHdl(), 2, 6));
  Cursor.ToggleMark(4);
  Cursor.ToggleMark(1);
  EXPECT_EQ(Cursor.GetMarks(), (TNumbers{2, 1}));
  EXPECT_EQ(Cursor.SortMarks("-CIMSZO"), 0);
  EXPECT_EQ(Cursor.GetMarks(), (TNumbers{2, 1}));  // szo06 before szo01
  EXPECT_EQ(Cursor.SortMarks("CIMSZO"), 0);
  EXPECT_EQ(Cursor.GetMarks(), (TNumbers{1, 2}));
  EXPECT_EQ(Cursor.SortMarks("NOPE"), TVdbCursor::kMarkSortFailed);
  Cursor.ClearMarks();
  EXPECT_EQ(Cursor.CountMarks(), 0);
}

TEST_F(CursorTest, GotoMarkMovesToTheNextMarkedRowInTheWalk) {
  OpenLexicon(test::NumberedEntries(6));
  TVdbCursor& Cursor = NewCursor(*Table, "Table");
  EXPECT_EQ(Cursor.GotoMark(1, true), TVdbCursor::kEndOfData);
  Cursor.AddMark(5);
  Cursor.AddMark(2);
  ASSERT_EQ(Cursor.GotoMark(1, true), 1);
  EXPECT_EQ(Cursor.GetPhysicalRecordNo(), 2);
  ASSERT_EQ(Cursor.GotoMark(1, false), 1);
  EXPECT_EQ(Cursor.GetPhysicalRecordNo(), 5);
  EXPECT_EQ(Cursor.GotoMark(1, false), TVdbCursor::kEndOfData);
  ASSERT_EQ(Cursor.GotoMark(-1, true), 1);
  EXPECT_EQ(Cursor.GetPhysicalRecordNo(), 5);
}

TEST_F(CursorTest, DeletingMarkedRecordsDeletesEachOnceThoughRecordsMove) {
  OpenLexicon(test::NumberedEntries(8));
  TVdbCursor& Cursor = NewCursor(*Table, "Table");
  // Record 8 moves into slot 1 when 1 is deleted; its mark must follow it.
  for (std::int32_t RecNo : {1, 8, 3}) Cursor.AddMark(RecNo);
  std::vector<std::pair<std::int32_t, std::int32_t>> Progress;
  EXPECT_EQ(Cursor.DeleteMarkedRecords([&](std::int32_t Done, std::int32_t Count) {
    Progress.emplace_back(Done, Count);
    return 0;
  }), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Cursor.CountMarks(), 0);
  EXPECT_EQ(Table->RecordCount(), 5);
  EXPECT_EQ(Progress, (std::vector<std::pair<std::int32_t, std::int32_t>>{{0, 3}, {1, 3}, {2, 3}, {3, 3}}));
  TWords Left = Walk(Cursor);
  std::sort(Left.begin(), Left.end());
  EXPECT_EQ(Left, (TWords{"szo02", "szo04", "szo05", "szo06", "szo07"}));
}

TEST_F(CursorTest, ARegisteredCursorHasTheLowestFreeHandle) {
  OpenLexicon(test::NumberedEntries(1));
  TVdbCursor& A = NewCursor(*Table, "Table");
  TVdbCursor& B = NewCursor(*Table, "Table");
  const std::int16_t HandleA = A.RegisterHandle();
  const std::int16_t HandleB = B.RegisterHandle();
  ASSERT_GT(HandleA, 0);
  ASSERT_GT(HandleB, HandleA);
  EXPECT_EQ(TVdbCursor::FromHandle(HandleA), &A);
  A.UnregisterHandle();
  EXPECT_EQ(TVdbCursor::FromHandle(HandleA), nullptr);
  TVdbCursor& C = NewCursor(*Table, "Table");
  EXPECT_EQ(C.RegisterHandle(), HandleA);
  EXPECT_EQ(TVdbCursor::FromHandle(0), nullptr);
  EXPECT_EQ(TVdbCursor::FromHandle(256), nullptr);
}

}  // namespace
}  // namespace vdb::querytest
