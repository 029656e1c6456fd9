// Shared pieces of the tree and index file tests: a container in a scratch directory with a
// page manager, test items (a 4-byte record number, a length byte and the key characters) with
// their order, a model check of a tree against a std::set, and one fixture for both tree
// formats.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
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

// Deletes Count items around Current: alternately one of the next few (the very next one
// without Random) and the one before it.
inline void DeleteAroundCurrent(TVdbTreeBase& Tree, std::set<TEntry>& Model, const TEntry& Current,
                                std::int32_t FixedSize, int Count, std::mt19937* Random) {
  for (int I = 0; I < Count && Model.size() > 40; ++I) {
    auto It = Model.lower_bound(Current);
    if (I % 2 == 0) {
      ++It;
      const int Skip = Random ? std::uniform_int_distribution<int>(0, 3)(*Random) : 0;
      for (int S = 0; S < Skip && It != Model.end(); ++S) ++It;
    } else if (It != Model.begin()) {
      --It;
    } else {
      continue;
    }
    if (It == Model.end()) continue;
    ASSERT_TRUE(Tree.Delete(MakeItem(*It, FixedSize).data()));
    Model.erase(It);
  }
}

// A walk that steps the way an index cursor does: the first item after (key, record number + 1)
// of the current one, from the first item to the end, against the model. Between(current, step)
// runs before every step and may change the tree and the model (FixedSize: item size of a
// classic B-tree, 0 for items as long as their key).
inline void StepWalkAgainstModel(TVdbTreeBase& Walker, const std::set<TEntry>& Model,
                                 std::int32_t FixedSize,
                                 const std::function<void(const TEntry&, int)>& Between) {
  std::vector<std::uint8_t> Found(512);
  ASSERT_EQ(Walker.FindFirst(Found.data(), 512), 0);
  TEntry Current = EntryOf(Found.data());
  ASSERT_EQ(Current, *Model.begin());
  for (int Step = 0;; ++Step) {
    Between(Current, Step);
    if (::testing::Test::HasFatalFailure()) return;
    const TEntry Search{Current.Key, Current.RecNo + 1};
    const auto Expected = Model.lower_bound(Search);
    const auto Item = MakeItem(Search, FixedSize);
    const std::int16_t Result = Walker.Find(Item.data(), Found.data(), 512);
    if (Expected == Model.end()) {
      ASSERT_EQ(Result, TVdbTreeBase::kNone) << "after " << Current.Key;
      return;
    }
    ASSERT_EQ(Result, TVdbTreeBase::kFound) << "after " << Current.Key;
    ASSERT_EQ(EntryOf(Found.data()), *Expected) << "step " << Step;
    Current = *Expected;
  }
}

// Changes the tree around Current the way that moves a cursor's leaf: items right after it
// (splitting the leaf), then alternately one of the next few items and the one before it
// (merging leaves and freeing pages).
inline void ChangeAroundCurrent(TVdbTreeBase& Tree, std::set<TEntry>& Model, const TEntry& Current,
                                std::int32_t FixedSize, std::int32_t& NextRecNo,
                                std::mt19937& Random) {
  for (int I = 0; I < 14 && Current.Key.size() < 12; ++I) {
    const TEntry Entry{Current.Key + static_cast<char>('a' + I), ++NextRecNo};
    const auto Item = MakeItem(Entry, FixedSize);
    Tree.Insert(Item.data(), static_cast<std::int32_t>(Item.size()));
    Model.insert(Entry);
  }
  DeleteAroundCurrent(Tree, Model, Current, FixedSize, 16, &Random);
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

// A tree of type TTree on the contained file "\T.vdbi": made new, reopened after a flush,
// filled, read and damaged page by page. A derived fixture says how its tree is constructed
// (MakeTree) and whether its items have a fixed size (FixedItemSize, 0 = as long as the key).
template <class TTree>
class TTreeFixture : public ::testing::Test {
 protected:
  // The tree object over Storage; New tells a tree about to be made from one about to be opened.
  virtual std::unique_ptr<TTree> MakeTree(bool New) = 0;

  void Make(std::int32_t PageSize) {
    PageSizeUsed = PageSize;
    Storage = Env.Client("\\T.vdbi", PageSize);
    Storage->NewStorage();
    Tree = MakeTree(true);
    Tree->New(PageSize, Less());
  }

  void Reopen() {
    Tree->Flush();
    Tree->Close();
    Storage->Close();
    Storage->Open(false, false);
    Storage->SetPageSize(PageSizeUsed);
    Tree = MakeTree(false);
    Tree->Open(Less());
  }

  void Insert(const TEntry& Entry) {
    const auto Item = MakeItem(Entry, FixedItemSize);
    Tree->Insert(Item.data(), static_cast<std::int32_t>(Item.size()));
  }
  // Inserts Entry into the tree and into the model.
  void Insert(const TEntry& Entry, std::set<TEntry>& Model) {
    Insert(Entry);
    Model.insert(Entry);
  }
  // Inserts the entries Prefix + (KeyBase + n) with record number n, for n from 1 to Count; the
  // model of what was inserted.
  std::set<TEntry> InsertNumbered(const std::string& Prefix, std::int32_t Count,
                                  std::int32_t KeyBase = 0) {
    std::set<TEntry> Model;
    for (std::int32_t RecNo = 1; RecNo <= Count; ++RecNo) {
      Insert({Prefix + std::to_string(KeyBase + RecNo), RecNo}, Model);
    }
    return Model;
  }
  // Inserts Count entries with random keys of up to MaxKeyLen letters and the record numbers 1
  // to Count; the model of what was inserted.
  std::set<TEntry> InsertRandom(std::int32_t Count, int MaxKeyLen, std::mt19937& Random) {
    std::set<TEntry> Model;
    for (std::int32_t RecNo = 1; RecNo <= Count; ++RecNo) {
      Insert({RandomKey(Random, MaxKeyLen), RecNo}, Model);
    }
    return Model;
  }
  // Deletes every entry of the model from the tree in a random order; each must be there.
  void DeleteAllShuffled(const std::set<TEntry>& Model, std::mt19937& Random) {
    std::vector<TEntry> Order(Model.begin(), Model.end());
    std::shuffle(Order.begin(), Order.end(), Random);
    for (const TEntry& Entry : Order) {
      ASSERT_TRUE(Tree->Delete(MakeItem(Entry, FixedItemSize).data()));
    }
  }

  std::int32_t PageInt(std::int32_t PageNo, std::int32_t Offset) {
    return Storage->ReadPage(PageNo)->ReadInt32(Offset);
  }
  std::int16_t PageInt16(std::int32_t PageNo, std::int32_t Offset) {
    return Storage->ReadPage(PageNo)->ReadInt16(Offset);
  }

  // Writes Value into a page on disk and lets the tree read its header again.
  void Damage(std::int32_t PageNo, std::int32_t Offset, std::int32_t Value, bool Wide) {
    {
      auto Page = Storage->ReadPage(PageNo);
      if (Wide) {
        Page->WriteInt32(Offset, Value);
      } else {
        Page->WriteInt16(Offset, static_cast<std::int16_t>(Value));
      }
    }
    Storage->Flush();
    Tree->Update();
  }

  // Walks the tree from its first item for at most 10000 steps.
  void Walk() {
    std::int16_t Result = Tree->FindFirst(Buffer.data(), 512);
    for (int Steps = 0; Result == 0 && Steps < 10000; ++Steps) {
      Result = Tree->FindNext(Buffer.data(), Buffer.data(), 512);
    }
  }

  // Runs every action on a damaged tree: each either works or raises the tree error (none
  // hangs, crashes or raises anything else), and at least one of them notices the damage.
  void ExpectOnlyTreeErrors(std::initializer_list<std::function<void()>> Actions) {
    bool Raised = false;
    for (const auto& Action : Actions) {
      try {
        Action();
      } catch (const EVdbTreeError&) {
        Raised = true;
      }
    }
    EXPECT_TRUE(Raised);
  }

  TContainerEnv Env;
  std::unique_ptr<TVdbClientStorage> Storage;
  std::unique_ptr<TTree> Tree;
  std::int32_t PageSizeUsed = 0;
  std::int32_t FixedItemSize = 0;
  std::vector<std::uint8_t> Buffer = std::vector<std::uint8_t>(512);
};

}  // namespace vdb::treetest
