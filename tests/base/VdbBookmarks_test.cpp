// Bookmark lists: growth, holes left by deletions, searches that skip holes, ordinals, flipping,
// compressing, copying and sorting.
#include "base/VdbBookmarks.h"

#include <gtest/gtest.h>

#include <vector>

namespace vdb {
namespace {

std::vector<std::int32_t> Live(const TVdbBookmarkList& List) {
  std::vector<std::int32_t> Values(static_cast<std::size_t>(List.Count()));
  if (!Values.empty()) List.WriteTo(Values.data());
  return Values;
}

TEST(BookmarkListTest, StartsAt1024SlotsAndDoubles) {
  TVdbBookmarkList List(10);
  EXPECT_EQ(List.Capacity(), 1024);
  for (std::int32_t RecNo = 1; RecNo <= 1025; ++RecNo) List.Append(RecNo);
  EXPECT_EQ(List.Count(), 1025);
  EXPECT_EQ(List.Size(), 1025);
  EXPECT_EQ(List.Capacity(), 2048);
}

TEST(BookmarkListTest, DeletionsLeaveHolesAndTrailingHolesAreDropped) {
  TVdbBookmarkList List;
  for (std::int32_t RecNo : {10, 20, 30, 40, 50}) List.Append(RecNo);
  EXPECT_TRUE(List.Delete(20));
  EXPECT_FALSE(List.Delete(20));
  EXPECT_EQ(List.Count(), 4);
  EXPECT_EQ(List.Size(), 5);  // a hole in slot 1
  EXPECT_EQ(List.GetItem(1), 0);
  EXPECT_EQ(List.Find(30), 2);
  EXPECT_EQ(List.FindSequence(30), 1);
  EXPECT_EQ(List.FindSequence(20), -1);
  EXPECT_EQ(List.FindNext(0), 2);
  EXPECT_EQ(List.FindPrev(2), 0);
  List.Delete(40);
  List.Delete(50);  // the last used slot: the holes before it go too
  EXPECT_EQ(List.Size(), 3);
  EXPECT_EQ(List.Count(), 2);
  EXPECT_EQ(List.FindLast(), 2);
  List.Delete(30);
  EXPECT_EQ(List.Size(), 1);  // past the hole of 20
  EXPECT_EQ(Live(List), (std::vector<std::int32_t>{10}));
  EXPECT_EQ(List.Find(0), -1);
  EXPECT_EQ(List.Find(-3), -1);
}

TEST(BookmarkListTest, FlipCompressCopyInsertAndSort) {
  TVdbBookmarkList List;
  for (std::int32_t RecNo : {7, 3, 9, 1, 5}) List.Append(RecNo);
  List.Flip(9);
  List.Flip(4);
  EXPECT_EQ(Live(List), (std::vector<std::int32_t>{7, 3, 1, 5, 4}));
  EXPECT_EQ(List.Size(), 6);
  TVdbBookmarkList Copy;
  Copy.CopyFrom(List);
  EXPECT_EQ(Copy.Size(), 5);  // live entries only
  List.Compress();
  EXPECT_EQ(List.Size(), 5);
  List.InsertAt(1, 8);
  EXPECT_EQ(Live(List), (std::vector<std::int32_t>{7, 8, 3, 1, 5, 4}));
  List.Sort();
  EXPECT_EQ(Live(List), (std::vector<std::int32_t>{1, 3, 4, 5, 7, 8}));
  List.InsertSorted(6, [](std::int32_t A, std::int32_t B) { return A < B; });
  EXPECT_EQ(Live(List), (std::vector<std::int32_t>{1, 3, 4, 5, 6, 7, 8}));
  EXPECT_THROW(List.InsertAt(100, 2), std::out_of_range);
  EXPECT_THROW(List.DeleteAt(-1), std::out_of_range);
  List.Clear();
  EXPECT_EQ(List.Count(), 0);
  EXPECT_EQ(List.FindFirst(), -1);
}

TEST(BookmarkListTest, RenumberingAMovedRecord) {
  TVdbBookmarkList List;
  for (std::int32_t RecNo : {2, 6, 4}) List.Append(RecNo);
  List.Delete(2);
  List.Renumber(6, 2);
  EXPECT_EQ(Live(List), (std::vector<std::int32_t>{2, 4}));
}

}  // namespace
}  // namespace vdb
