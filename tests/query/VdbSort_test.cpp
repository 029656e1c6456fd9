// The sorter: order, stability of equal keys, descending keys through a key order, nesting,
// text keys, reading past the end; the row list container it feeds and the value stack.
#include "query/VdbSort.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "query/VdbStack.h"
#include "storage/kxClasses.h"

namespace vdb {
namespace {

// Keys are "letter" + sequence number; the order looks at the letter only.
bool FirstByteLess(const std::uint8_t* X, std::int32_t, const std::uint8_t* Y, std::int32_t) {
  return X[0] < Y[0];
}

std::vector<std::string> Drain(TVdbSorter& Sorter) {
  std::vector<std::string> Keys;
  std::vector<std::uint8_t> Key;
  while (!Sorter.SortEmpty() && Sorter.FromSort(Key)) Keys.emplace_back(Key.begin(), Key.end());
  return Keys;
}

void Add(TVdbSorter& Sorter, const std::string& Key) {
  ASSERT_TRUE(Sorter.ToSort(Key.data(), static_cast<std::uint16_t>(Key.size())));
}

TEST(SorterTest, EqualKeysKeepTheOrderInWhichTheyCame) {
  TVdbSorter Sorter;
  Sorter.InitSort();
  const std::vector<std::string> In = {"b1", "a1", "b2", "c1", "a2", "b3", "a3", "c2", "a4"};
  for (const auto& Key : In) Add(Sorter, Key);
  Sorter.SortStart(FirstByteLess);
  EXPECT_EQ(Drain(Sorter),
            (std::vector<std::string>{"a1", "a2", "a3", "a4", "b1", "b2", "b3", "c1", "c2"}));
  Sorter.ExitSort();
}

TEST(SorterTest, ALargeRandomInputComesOutSortedAndStable) {
  TVdbSorter Sorter;
  Sorter.InitSort();
  std::mt19937 Random(7);
  std::vector<std::pair<std::uint8_t, std::uint32_t>> In;
  for (std::uint32_t I = 0; I < 5000; ++I) {
    std::uint8_t Key[5];
    Key[0] = static_cast<std::uint8_t>(Random() % 20);
    std::memcpy(Key + 1, &I, 4);
    In.emplace_back(Key[0], I);
    ASSERT_TRUE(Sorter.ToSort(Key, 5));
  }
  Sorter.SortStart(FirstByteLess);
  std::stable_sort(In.begin(), In.end(),
                   [](const auto& A, const auto& B) { return A.first < B.first; });
  std::uint8_t Key[5];
  for (const auto& [Letter, Sequence] : In) {
    ASSERT_EQ(Sorter.FromSort(Key, 5), 5);
    std::uint32_t Got = 0;
    std::memcpy(&Got, Key + 1, 4);
    ASSERT_EQ(Key[0], Letter);
    ASSERT_EQ(Got, Sequence);
  }
  EXPECT_TRUE(Sorter.SortEmpty());
  EXPECT_EQ(Sorter.FromSort(Key, 5), -1);
  EXPECT_TRUE(Sorter.SortError());
  Sorter.ToStart();
  EXPECT_FALSE(Sorter.SortEmpty());
  Sorter.ExitSort();
}

TEST(SorterTest, ADescendingOrderInvertsTheKeysButNotTheTies) {
  TVdbSorter Sorter;
  Sorter.InitSort();
  for (const std::string Key : {"a1", "c1", "b1", "c2", "a2"}) Add(Sorter, Key);
  Sorter.SortStart([](const std::uint8_t* X, std::int32_t, const std::uint8_t* Y, std::int32_t) {
    return X[0] > Y[0];
  });
  EXPECT_EQ(Drain(Sorter), (std::vector<std::string>{"c1", "c2", "b1", "a1", "a2"}));
  Sorter.ExitSort();
}

TEST(SorterTest, ASortInsideAnotherLeavesTheOuterOneAsItWas) {
  TVdbSorter Sorter;
  Sorter.InitSort();
  Add(Sorter, "z");
  Add(Sorter, "y");
  Sorter.InitSort();
  EXPECT_EQ(Sorter.Depth(), 2);
  EXPECT_TRUE(Sorter.SortEmpty());
  Add(Sorter, "b");
  Add(Sorter, "a");
  Sorter.SortStart(FirstByteLess);
  EXPECT_EQ(Drain(Sorter), (std::vector<std::string>{"a", "b"}));
  Sorter.ExitSort();
  EXPECT_EQ(Sorter.Depth(), 1);
  EXPECT_EQ(Sorter.Count(), 2);
  Add(Sorter, "x");
  Sorter.SortStart(FirstByteLess);
  EXPECT_EQ(Drain(Sorter), (std::vector<std::string>{"x", "y", "z"}));
  Sorter.ExitSort();
  EXPECT_EQ(Sorter.Depth(), 0);
}

TEST(SorterTest, TextKeysRoundTripAndTooSmallBuffersAreRefused) {
  TVdbSorter Sorter;
  Sorter.InitSort();
  ASSERT_TRUE(Sorter.WStrToSort(u"Rókavár"));
  ASSERT_TRUE(Sorter.WStrToSort(u""));
  std::u16string Text;
  ASSERT_TRUE(Sorter.WStrFromSort(Text));
  EXPECT_EQ(Text, u"Rókavár");
  ASSERT_TRUE(Sorter.WStrFromSort(Text));
  EXPECT_EQ(Text, u"");
  EXPECT_FALSE(Sorter.WStrFromSort(Text));
  EXPECT_TRUE(Sorter.SortError());
  EXPECT_FALSE(Sorter.WStrToSort(std::u16string(40000, u'x')));
  Sorter.ClearSort();
  EXPECT_EQ(Sorter.Count(), 0);
  Add(Sorter, "long key");
  char Small[3];
  EXPECT_EQ(Sorter.FromSort(Small, 3), -1);
  Sorter.ExitSort();
}

TEST(SorterTest, AnEmptyOrSingleSortIsSorted) {
  TVdbSorter Sorter;
  Sorter.InitSort();
  Sorter.SortStart(FirstByteLess);
  EXPECT_TRUE(Sorter.SortEmpty());
  Add(Sorter, "q");
  Sorter.SortStart(FirstByteLess);
  EXPECT_EQ(Drain(Sorter), (std::vector<std::string>{"q"}));
  Sorter.ExitSort();
}

TEST(DoubleLinkedListTest, PositionsInsertDeleteAndSort) {
  TDoubleLinkedList<int> List;
  EXPECT_EQ(List.GetData(), nullptr);
  for (int Value : {5, 3, 9, 1}) List.Append(Value);
  EXPECT_EQ(List.Count(), 4);
  ASSERT_TRUE(List.SetPosition(2));
  EXPECT_EQ(*List.GetData(), 9);
  List.Insert(7);  // after the current element
  EXPECT_EQ(List.Position(), 3);
  EXPECT_EQ(std::vector<int>(List.begin(), List.end()), (std::vector<int>{5, 3, 9, 7, 1}));
  ASSERT_TRUE(List.SetPosition(1));
  ASSERT_TRUE(List.Delete());
  EXPECT_EQ(*List.GetData(), 9);
  EXPECT_FALSE(List.SetPosition(4));
  EXPECT_TRUE(List.AtEnd());
  EXPECT_TRUE(List.Previous());
  EXPECT_EQ(*List.GetData(), 1);
  EXPECT_FALSE(List.Next());
  EXPECT_TRUE(List.First());
  EXPECT_FALSE(List.Previous());
  List.Sort([](int A, int B) { return A < B; });
  EXPECT_EQ(std::vector<int>(List.begin(), List.end()), (std::vector<int>{1, 5, 7, 9}));
  // Jumps from either end and steps from the current position agree.
  for (int Position : {3, 0, 2, 1, 3}) {
    ASSERT_TRUE(List.SetPosition(Position));
    EXPECT_EQ(*List.GetData(), (std::vector<int>{1, 5, 7, 9})[static_cast<std::size_t>(Position)]);
  }
  List.Clear();
  EXPECT_EQ(List.Count(), 0);
  EXPECT_FALSE(List.First());
}

}  // namespace
}  // namespace vdb


namespace vdb {
namespace {

TEST(ValueStackTest, PushPopTextsAndUnwinding) {
  TVdbStack Stack;
  EXPECT_EQ(Stack.StackGetTopSize(), -1);
  EXPECT_FALSE(Stack.Pop());
  const std::int32_t Value = 1234;
  Stack.Push(&Value, sizeof(Value));
  const std::int32_t Mark = Stack.GetStackPosition();
  Stack.PushAnsiStr("róka");
  Stack.PushStringW(u"Rókavár");
  EXPECT_EQ(Stack.StackGetTopSize(), 4 + 7 * 2);
  std::string Narrow;
  EXPECT_FALSE(Stack.PopString(Narrow));  // the top is a wide text
  std::u16string Wide;
  ASSERT_TRUE(Stack.PopString(Wide));
  EXPECT_EQ(Wide, u"Rókavár");
  ASSERT_TRUE(Stack.PopString(Narrow));
  EXPECT_EQ(Narrow, "róka");
  Stack.PushAnsiStr("a");
  Stack.PushAnsiStr("b");
  Stack.UnwindStack(Mark);
  EXPECT_EQ(Stack.GetStackPosition(), Mark);
  char Small[2];
  EXPECT_EQ(Stack.Pop(Small, 2), -1);  // does not fit: stays
  std::int32_t Back = 0;
  EXPECT_EQ(Stack.Pop(&Back, sizeof(Back)), 4);
  EXPECT_EQ(Back, 1234);
  EXPECT_TRUE(Stack.Empty());
}

}  // namespace
}  // namespace vdb
