// Shared pieces of the tree and index file tests: a container in a scratch directory with a
// page manager, test items (a 4-byte record number, a length byte and the key characters) with
// their order, and a model check of a tree against a std::set.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "storage/VdbPageMan.h"
#include "storage/kxCompoundFile.h"
#include "storage/kxMemory.h"
#include "table/VdbTreeBase.h"
#include "VdbTestItems.h"

namespace vdb::treetest {

// A key and its record number, ordered like the items built from them.
struct TEntry {
  std::string Key;
  std::int32_t RecNo = 0;
  bool operator<(const TEntry& Other) const {
    const int Order = Key.compare(Other.Key);
    return Order != 0 ? Order < 0 : RecNo < Other.RecNo;
  }
  bool operator==(const TEntry& Other) const = default;
};

// The item of an entry; FixedSize pads it with zeros (classic B-trees hold fixed-size items).
inline std::vector<std::uint8_t> MakeItem(const TEntry& Entry, std::int32_t FixedSize = 0) {
  std::vector<std::uint8_t> Item(5 + Entry.Key.size());
  TkxMemory::WriteInt32(Item.data(), 0, Entry.RecNo);
  Item[4] = static_cast<std::uint8_t>(Entry.Key.size());
  std::memcpy(Item.data() + 5, Entry.Key.data(), Entry.Key.size());
  if (FixedSize > 0) Item.resize(static_cast<std::size_t>(FixedSize), 0);
  return Item;
}

inline TEntry EntryOf(const std::uint8_t* Item) {
  TEntry Entry;
  Entry.RecNo = TkxMemory::ReadInt32(Item, 0);
  Entry.Key.assign(reinterpret_cast<const char*>(Item + 5), Item[4]);
  return Entry;
}

// The caller's comparison: key bytes, then the record number; Unique reports equal keys.
inline bool ItemLess(const std::uint8_t* X, const std::uint8_t* Y, bool& Unique) {
  return BoundedLess(X, Y, Unique, 5 + 255);
}

inline TVdbItemLess Less() { return ItemLess; }

// A container with one page manager, in a scratch directory of its own.
class TContainerEnv {
 public:
  TContainerEnv() {
    static std::atomic<int> Counter{0};
    FDir = std::filesystem::temp_directory_path() /
           ("vdb_tree_" + std::to_string(::getpid()) + "_" + std::to_string(Counter++));
    std::filesystem::remove_all(FDir);
    std::filesystem::create_directories(FDir);
    Container = std::make_unique<TkxCompoundFileIntf>((FDir / "db.vdbd").string());
    Container->NewFile();
    Container->Open();
  }
  ~TContainerEnv() {
    Container->Close();
    std::error_code Ignored;
    std::filesystem::remove_all(FDir, Ignored);
  }
  TContainerEnv(const TContainerEnv&) = delete;
  TContainerEnv& operator=(const TContainerEnv&) = delete;

  std::unique_ptr<TVdbClientStorage> Client(const std::string& Name, std::int32_t PageSize = 0,
                                            std::int32_t ClientHdl = 1) {
    auto Storage = std::make_unique<TVdbClientStorage>(Manager, Container.get(), ClientHdl);
    Storage->SetName(Name);
    if (PageSize > 0) Storage->SetPageSize(PageSize);
    return Storage;
  }

  TVdbPageManager Manager;
  std::unique_ptr<TkxCompoundFileIntf> Container;

 private:
  std::filesystem::path FDir;
};

// A random key of 1 to MaxLen letters from a small alphabet, so that equal keys occur.
inline std::string RandomKey(std::mt19937& Random, int MaxLen) {
  std::uniform_int_distribution<int> Length(1, MaxLen);
  std::uniform_int_distribution<int> Letter(0, 5);
  std::string Key(static_cast<std::size_t>(Length(Random)), 'a');
  for (char& C : Key) C = static_cast<char>('a' + Letter(Random));
  return Key;
}

// Compares every observable of the tree with the model: both walks, Check, and for a sample of
// entries the sequence number, Find with record number 0 and the neighbours.
inline void ExpectTreeMatches(TVdbTreeBase& Tree, const std::set<TEntry>& Model,
                              std::int32_t FixedSize, std::mt19937& Random) {
  std::vector<std::uint8_t> Buffer(512);
  std::vector<TEntry> Forward;
  std::int16_t Result = Tree.FindFirst(Buffer.data(), 512);
  while (Result == 0 && Forward.size() <= Model.size()) {
    Forward.push_back(EntryOf(Buffer.data()));
    Result = Tree.FindNext(Buffer.data(), Buffer.data(), 512);
  }
  ASSERT_EQ(Result, 1);
  ASSERT_EQ(Forward, std::vector<TEntry>(Model.begin(), Model.end()));

  std::vector<TEntry> Backward;
  Result = Tree.FindLast(Buffer.data(), 512);
  while (Result == 0 && Backward.size() <= Model.size()) {
    Backward.push_back(EntryOf(Buffer.data()));
    Result = Tree.FindPrev(Buffer.data(), Buffer.data(), 512);
  }
  ASSERT_EQ(Result, 1);
  ASSERT_EQ(Backward, std::vector<TEntry>(Model.rbegin(), Model.rend()));

  std::int32_t Count = -1;
  std::int32_t Wrong = -1;
  Tree.Check(Count, Wrong);
  EXPECT_EQ(Count, static_cast<std::int32_t>(Model.size()));
  EXPECT_EQ(Wrong, 0);

  const std::vector<TEntry> Sorted(Model.begin(), Model.end());
  for (int Probe = 0; Probe < 40 && !Sorted.empty(); ++Probe) {
    const std::size_t At = std::uniform_int_distribution<std::size_t>(0, Sorted.size() - 1)(Random);
    const auto Item = MakeItem(Sorted[At], FixedSize);
    ASSERT_EQ(Tree.CalcItemSequenceNo(Item.data()), static_cast<std::int32_t>(At + 1));
    // A search item with record number 0 finds the first item with that key, or the next key.
    const TEntry Key{RandomKey(Random, 4), 0};
    const auto Search = MakeItem(Key, FixedSize);
    const auto Expected = Model.lower_bound(Key);
    Result = Tree.Find(Search.data(), Buffer.data(), 512);
    if (Expected == Model.end()) {
      ASSERT_EQ(Result, 1) << Key.Key;
    } else {
      ASSERT_EQ(Result, 0) << Key.Key;
      ASSERT_EQ(EntryOf(Buffer.data()), *Expected);
    }
    // Items not in the tree have no neighbours and no position.
    if (Model.count(Key) == 0) {
      EXPECT_EQ(Tree.FindNext(Search.data(), Buffer.data(), 512), -1);
      EXPECT_EQ(Tree.FindPrev(Search.data(), Buffer.data(), 512), -1);
      EXPECT_EQ(Tree.CalcItemSequenceNo(Search.data()), 0);
    }
  }
}

// Random inserts and deletes against the model, checked every CheckEvery operations.
inline void RunModel(TVdbTreeBase& Tree, std::set<TEntry>& Model, int Operations,
                     std::int32_t FixedSize, int MaxKeyLen, unsigned Seed, int CheckEvery) {
  std::mt19937 Random(Seed);
  std::int32_t NextRecNo = 1;
  for (int Op = 0; Op < Operations; ++Op) {
    const bool Insert = Model.empty() || std::uniform_int_distribution<int>(0, 99)(Random) < 60;
    if (Insert) {
      const TEntry Entry{RandomKey(Random, MaxKeyLen), NextRecNo++};
      const auto Item = MakeItem(Entry, FixedSize);
      Tree.Insert(Item.data(), static_cast<std::int32_t>(Item.size()));
      Model.insert(Entry);
    } else {
      auto It = Model.begin();
      std::advance(It, std::uniform_int_distribution<std::size_t>(0, Model.size() - 1)(Random));
      const auto Item = MakeItem(*It, FixedSize);
      ASSERT_TRUE(Tree.Delete(Item.data()));
      ASSERT_FALSE(Tree.Delete(Item.data()));
      Model.erase(It);
    }
    if ((Op + 1) % CheckEvery == 0) {
      ExpectTreeMatches(Tree, Model, FixedSize, Random);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
  ExpectTreeMatches(Tree, Model, FixedSize, Random);
}

}  // namespace vdb::treetest
