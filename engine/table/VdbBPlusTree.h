// The B+ tree: variable-size items in slotted pages, items only in the leaves, the leaves chained
// left to right, separator items in the inner pages.
//
// Tree header (22 bytes at the tree's offset in page 0): page count (4), height (2, 0 = empty,
// 1 = the root is a leaf), root page (4), head of the freed-page list (4), page size (4), item
// count (4).
//
// Every other page is a slotted page: the last two bytes hold the item count n; below them, one
// 2-byte end offset per item growing downwards (the end of item k - 1 at PageSize - 2 - 2k);
// items lie packed upwards from the page's item offset. An inner page keeps its leftmost child
// in bytes 0-3 (items from byte 4, each a separator item followed by the page number of the
// child to its right); a leaf keeps the previous and the next leaf in bytes 0-3 and 4-7 (items
// from byte 8).
//
// The tree keeps one page object per level bound to the page of the current search path, so a
// descent reloads a level only when it needs another page. A damaged page (counts or offsets
// outside the page, child numbers outside the tree, chains that run too long) raises
// EVdbTreeError and never reads outside a page.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "table/VdbTreeBase.h"

namespace vdb {

class TVdbStoragePageSite;

// A slotted page bound to one page of the tree.
class TVdbBPlusPage {
 public:
  TVdbBPlusPage(TVdbClientStorage& Storage, std::int32_t ItemOffset);
  virtual ~TVdbBPlusPage();
  TVdbBPlusPage(const TVdbBPlusPage&) = delete;
  TVdbBPlusPage& operator=(const TVdbBPlusPage&) = delete;

  virtual bool IsLeaf() const = 0;
  std::int32_t ItemOffset() const { return FItemOffset; }

  // Binds a new page and makes it empty.
  void CreatePage(std::int32_t PageNo);
  virtual void InitializePage();
  // Binds an existing page (no reload when the site already holds it) and checks its count.
  void LoadPage(std::int32_t PageNo);
  void UnloadPage();
  bool IsLoaded() const;
  std::int32_t PageNo() const;
  TVdbStoragePageSite& Site() { return *FStoragePage; }

  std::int32_t Count();
  std::int32_t PageSize() const { return FPageSize; }
  // End offset of the last item (the item offset when the page is empty).
  std::int32_t EndOffset();
  // Start and size of item k, checked against the page.
  std::int32_t ItemStart(std::int32_t KeyIndex);
  std::int32_t ItemEnd(std::int32_t KeyIndex);
  std::int32_t GetKeySize(std::int32_t KeyIndex);
  const std::uint8_t* ItemAddress(std::int32_t KeyIndex);
  // Copies item k (its key part in an inner page) into Item; answers its size.
  std::int32_t GetItem(std::int32_t KeyIndex, std::uint8_t* Item, std::int32_t MaxItemSize);

  bool CanInsert(std::int32_t KeySize);
  // Inserts Key (KeySize bytes) followed by DataSize bytes of Data as item KeyIndex.
  void InsertKey(std::int32_t KeyIndex, const std::uint8_t* Key, std::int32_t KeySize,
                 const std::uint8_t* Data = nullptr, std::int32_t DataSize = 0);
  void DeleteKey(std::int32_t KeyIndex);
  // Drops items From..n-1.
  void Truncate(std::int32_t From);
  // Appends items From..n-1 of Source, unchanged.
  void AppendItems(TVdbBPlusPage& Source, std::int32_t From);
  // Fill in percent.
  std::int32_t Fill();

 protected:
  // Bytes a new item costs beyond its own size.
  virtual std::int32_t InsertOverhead() const = 0;
  void SetCount(std::int32_t Count);
  void SetEndOffset(std::int32_t KeyIndex, std::int32_t End);
  std::int32_t RawEndOffset(std::int32_t KeyIndex);
  [[noreturn]] void Damaged(const char* What);

  std::unique_ptr<TVdbStoragePageSite> FStoragePage;
  std::int32_t FItemOffset;
  std::int32_t FPageSize = 0;
  std::uint8_t* FMemory = nullptr;
};

class TVdbBPlusInnerPage : public TVdbBPlusPage {
 public:
  explicit TVdbBPlusInnerPage(TVdbClientStorage& Storage);
  bool IsLeaf() const override { return false; }
  // Child k (0..n): the leftmost child for 0, else the page number behind separator k - 1.
  std::int32_t GetChildPageNo(std::int32_t KeyIndex);
  void SetChildPageNo(std::int32_t PageNo);  // the leftmost child
  void SetRightChild(std::int32_t KeyIndex, std::int32_t PageNo);
  bool CanMerge(std::int32_t ParentKeySize, TVdbBPlusPage& Right);

 protected:
  std::int32_t InsertOverhead() const override { return 6; }
};

class TVdbBPlusLeafPage : public TVdbBPlusPage {
 public:
  explicit TVdbBPlusLeafPage(TVdbClientStorage& Storage);
  bool IsLeaf() const override { return true; }
  void InitializePage() override;
  std::int32_t PrevPage();
  std::int32_t NextPage();
  void SetPrevPage(std::int32_t PageNo);
  void SetNextPage(std::int32_t PageNo);
  bool CanMerge(TVdbBPlusPage& Right);

 protected:
  std::int32_t InsertOverhead() const override { return 2; }
};

class TVdbBPlusTree : public TVdbTreeBase {
 public:
  static constexpr std::int32_t kHeaderSize = 22;
  static constexpr std::int32_t kMaxHeight = 32;
  // Page offsets are 16-bit: larger pages cannot be addressed.
  static constexpr std::int32_t kMaxPageSize = 65536;
  static constexpr std::int32_t kMinPageSize = 256;

  TVdbBPlusTree(TVdbClientStorage& Storage, std::int32_t Offset);
  ~TVdbBPlusTree() override;

  std::int16_t GetVersion() const override { return 6; }
  std::int32_t GetHeight() const override { return FHeight; }
  std::int32_t GetItemCount() const override { return FItemCount; }
  std::int32_t GetHeaderSize() const override { return kHeaderSize; }
  std::int32_t GetSize() const override { return 0; }
  std::int32_t GetPageSize() const override { return FPageSize; }
  std::int32_t CalcCapacity() const override { return 2147483647; }
  static std::int32_t CalcPageSize(std::int16_t, std::int32_t, std::int32_t) { return 4096; }
  std::unique_ptr<TVdbTreeBase> Clone(TVdbClientStorage& Storage) const override;

  void New(std::int32_t PageSize, TVdbItemLess Less) override;
  void Open(TVdbItemLess Less) override;
  void Preload() override;
  void Flush() override;
  void Undo() override;
  void Update() override;
  void UpdateDir() override;
  void Close() override;
  void Check(std::int32_t& ItemCount, std::int32_t& WrongSortCount) override;

  std::int16_t FindFirst(std::uint8_t* Item, std::int32_t MaxSize) override;
  std::int16_t FindLast(std::uint8_t* Item, std::int32_t MaxSize) override;
  std::int16_t FindNext(const std::uint8_t* PrevItem, std::uint8_t* SuccItem,
                        std::int32_t SuccSize) override;
  std::int16_t FindPrev(const std::uint8_t* Item, std::uint8_t* PrevItem,
                        std::int32_t PrevSize) override;
  std::int16_t Find(const std::uint8_t* Item, std::uint8_t* FoundItem,
                    std::int32_t FoundSize) override;
  std::int32_t CalcItemSequenceNo(const std::uint8_t* Item) override;
  void Insert(const std::uint8_t* Item, std::int32_t ItemSize) override;
  bool Delete(const std::uint8_t* Key) override;
  void Clear() override;

  std::int32_t PageCount() const { return FPageCount; }
  std::int32_t RootPage() const { return FRoot; }
  std::int32_t FreeListHead() const { return FFreeHead; }
  // The largest item a page of this tree takes so that a split always makes room.
  std::int32_t MaxItemSize() const;
  static bool UsablePageSize(std::int32_t PageSize);
  // The comparison may read up to this many bytes of an item; items that end closer to the end
  // of their page are compared through a copy. Defaults to MaxItemSize().
  void SetCompareReadLimit(std::int32_t Bytes);
  // Page numbers of the leaves in chain order (diagnostics and tests).
  std::vector<std::int32_t> LeafPages();

 private:
  struct TPathStep {
    std::int32_t PageNo = 0;
    std::int32_t ChildIndex = 0;  // inner levels: the child taken; leaf: the search position r
  };

  void ReadHeader();
  void WriteHeader();
  void RequireOpen() const;
  [[noreturn]] void Damaged(const std::string& What) const;
  bool IsLess(const std::uint8_t* X, const std::uint8_t* Y);
  bool IsLessAt(const std::uint8_t* X, TVdbBPlusPage& Page, std::int32_t KeyIndex);
  bool IsLessThanItem(TVdbBPlusPage& Page, std::int32_t KeyIndex, const std::uint8_t* Y);
  const std::uint8_t* Comparable(TVdbBPlusPage& Page, std::int32_t KeyIndex);
  std::int32_t SearchPage(TVdbBPlusPage& Page, const std::uint8_t* Item);
  // The first item in Lo + 1 .. Hi not less than Item, when item Lo (or -1) is less than it and
  // item Hi is not.
  std::int32_t FirstNotLess(TVdbBPlusPage& Page, std::int32_t Lo, std::int32_t Hi,
                            const std::uint8_t* Item);

  TVdbBPlusPage& PageAt(std::int32_t Level);
  TVdbBPlusInnerPage& InnerAt(std::int32_t Level);
  TVdbBPlusLeafPage& LeafAt(std::int32_t Level);
  void CheckChildPageNo(std::int32_t PageNo) const;
  void LoadLevel(std::int32_t Level, std::int32_t PageNo);
  // Descends from the root to the leaf for Item; answers the leaf's search position.
  TVdbBPlusLeafPage& Descend(const std::uint8_t* Item);
  // Descends from Level (already loaded) along leftmost or rightmost children.
  void DescendEdge(std::int32_t Level, bool Rightmost);
  // A search answered in the leaf the path ends in, when no page has changed since the path was
  // walked and Item lies after the leaf's first item and not after its last one: Index is the
  // first item not less than Item.
  bool FindInPathLeaf(const std::uint8_t* Item, std::int32_t& Index);
  // Moves the path to the next (previous) leaf; false past the last (first) leaf.
  bool StepLeaf(bool Forward);
  std::int16_t CopyOut(TVdbBPlusPage& Page, std::int32_t KeyIndex, std::uint8_t* Buffer,
                       std::int32_t Size);
  // From the leaf of the path at position r: the first item at or after r in a non-empty leaf.
  std::int16_t CopyFromPosition(std::int32_t R, std::uint8_t* Buffer, std::int32_t Size);
  std::int16_t CopyBeforePosition(std::int32_t R, std::uint8_t* Buffer, std::int32_t Size);

  std::int32_t AllocatePage();
  void FreePage(std::int32_t PageNo);
  void UnloadPages();
  // Inserts Key + Data at KeyIndex into the path page at Level, splitting as needed.
  void InsertAt(std::int32_t Level, std::int32_t KeyIndex, const std::uint8_t* Key,
                std::int32_t KeySize, const std::uint8_t* Data, std::int32_t DataSize);
  // Splits the path page at Level for a pending insertion at KeyIndex; answers the page that
  // takes the insertion and its index there. Level may grow by one when the root splits.
  void Split(std::int32_t& Level, std::int32_t& KeyIndex, std::unique_ptr<TVdbBPlusPage>& Target);
  void NewRoot();
  void Rebalance(std::int32_t Level);
  bool TryMerge(std::int32_t Level, std::int32_t LeftIndex);
  std::unique_ptr<TVdbBPlusPage> MakePage(bool Leaf);
  std::int32_t StepBudget() const { return FPageCount + 1; }

  TVdbItemLess FOnIsLess;
  std::unique_ptr<TVdbStoragePageSite> FHeaderPageSite;
  std::unique_ptr<TVdbStoragePageSite> FWorkPageSite;
  std::vector<std::unique_ptr<TVdbBPlusPage>> FPages;  // per level, root first
  std::vector<TPathStep> FPath;
  std::vector<std::uint8_t> FCompareBuffer;
  std::vector<std::uint8_t> FSeparator;
  bool FOpen = false;
  bool FCompareUpperHalf = false;
  std::int32_t FValueSize = 0;
  std::int32_t FPageCount = 1;
  std::int32_t FHeight = 0;
  std::int32_t FRoot = 0;
  std::int32_t FFreeHead = 0;
  std::int32_t FPageSize = 0;
  std::int32_t FItemCount = 0;
  std::int32_t FReadLimit = 0;
  std::uint64_t FPathGeneration = 0;  // page changes when the path was walked
};

}  // namespace vdb
