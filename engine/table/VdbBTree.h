// The classic B-tree: fixed-size items in every page, each page other than the root between half
// full and full (order m: m to 2m slots).
//
// Tree versions 4 to 6: a 24-byte header at the tree's offset in page 0 (page size 4, key size
// 2, slot size 2, height 2, tree pages 4, order 2, capacity 2, free-list head 4, reserved 2); a
// page holds the leftmost child in bytes 0-3, the slot count in bytes 4-5 and from byte 6 up to 2m
// slots of a 4-byte right child followed by the key. Versions 1 to 3 use 16-bit fields throughout:
// a 14-byte header, child numbers of 2 bytes, the count at byte 2 and the slots from byte 4; the
// free-list head of version 3 lies in the last two bytes of page 0 and versions 1 and 2 keep no
// free list. The root is always page 1; a freed page holds the negated number of the next free
// page in its first child field.
//
// A damaged page (a count above the capacity, a child number outside the tree, a page met twice
// on one walk) raises EVdbTreeError and never reads outside a page.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "table/VdbTreeBase.h"

namespace vdb {

class TVdbStoragePageSite;

class TVdbBTree : public TVdbTreeBase {
 public:
  static constexpr std::int32_t kMaxLevels = 31;
  // Tree errors (FTreeError).
  static constexpr std::int32_t kErrNone = 0;
  static constexpr std::int32_t kErrSlot = 1;       // slot index out of range, search did not end
  static constexpr std::int32_t kErrPageRead = 2;   // a page could not be read
  static constexpr std::int32_t kErrHeader = 3;     // the header could not be written
  static constexpr std::int32_t kErrPageSize = 98;  // unusable page size

  // Version is the tree version (1 to 6); KeySize the item size (record number + key).
  TVdbBTree(TVdbClientStorage& Storage, std::int32_t Offset, std::int16_t Version,
            std::int32_t KeySize);
  ~TVdbBTree() override;

  std::int16_t GetVersion() const override { return FVersion; }
  std::int32_t GetHeight() const override { return FHeight; }
  // An upper bound: tree pages x page capacity (index files keep the exact count).
  std::int32_t GetItemCount() const override;
  std::int32_t GetHeaderSize() const override { return FVersion >= 4 ? 24 : 14; }
  std::int32_t GetSize() const override { return FKeySize; }
  std::int32_t GetPageSize() const override { return FPageSize; }
  std::int32_t CalcCapacity() const override;
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

  std::int32_t TreeError() const { return FTreeError; }
  std::int32_t Order() const { return FOrder; }
  std::int32_t PageCapacity() const { return FPageCapacity; }
  std::int32_t TreePageCount() const { return FPageCount; }
  std::int32_t FreeListHead() const { return FFreeHead; }
  // True when the last comparison met two items with equal keys.
  bool NotUnique() const { return FUnique; }
  std::int32_t MaxPageNo() const { return FVersion >= 4 ? 1073741822 : 32766; }
  std::int32_t MaxPageSize() const { return FVersion >= 4 ? 16 * 1024 * 1024 : 16 * 1024; }

 private:
  struct TPathStep {
    std::int32_t PageNo = 0;
    std::int32_t Index = 0;  // slot k found (1-based; 0 = before the first slot)
    std::unique_ptr<TVdbStoragePageSite> Site;
  };

  void SetLayout();
  void ReadHeader();
  void WriteHeader();
  void RequireOpen() const;
  [[noreturn]] void Damaged(const std::string& What) const;
  bool IsLess(const std::uint8_t* X, const std::uint8_t* Y);
  template <class TOperation>
  auto ReadingPath(const char* Failure, TOperation&& Operation) -> decltype(Operation());

  // Page access through a site.
  std::int32_t Count(TVdbStoragePageSite& Page);
  void SetCount(TVdbStoragePageSite& Page, std::int32_t Count);
  std::int32_t Child(TVdbStoragePageSite& Page, std::int32_t K);  // K = 0..n
  void SetChild(TVdbStoragePageSite& Page, std::int32_t K, std::int32_t PageNo);
  std::uint8_t* Key(TVdbStoragePageSite& Page, std::int32_t K);      // K = 1..n
  std::int32_t SlotOffset(std::int32_t K) const { return FDataOffset + (K - 1) * FItemSize; }
  void CheckPageNo(std::int32_t PageNo) const;

  TVdbStoragePageSite& PathSite(std::int32_t Level);
  void LoadLevel(std::int32_t Level, std::int32_t PageNo);
  // Binary search in the page at Level: the largest slot not greater than Item; true when equal.
  bool SearchPage(std::int32_t Level, const std::uint8_t* Item);
  // Descends from the root; answers the level of an equal slot, or -1 (the path ends in a leaf).
  std::int32_t Search(const std::uint8_t* Item);
  void DescendEdge(std::int32_t Level, bool Rightmost);
  std::int16_t CopyOut(TVdbStoragePageSite& Page, std::int32_t K, std::uint8_t* Buffer,
                       std::int32_t Size);
  // Moves the path to the in-order successor (predecessor) of the slot at the path's end.
  bool StepForward(std::int32_t Level);
  bool StepBackward(std::int32_t Level);
  std::int16_t CopyPathItem(std::uint8_t* Buffer, std::int32_t Size);
  // A search answered in the leaf the path ends in, when no page has changed since the path was
  // walked and Item lies after the leaf's first slot and not after its last one (the leaf holds
  // every item between those two); the path then ends at the first slot not less than Item.
  bool FindInPathLeaf(const std::uint8_t* Item);

  std::int32_t AllocatePage();
  void FreePage(std::int32_t PageNo);
  void InsertSlot(std::int32_t Level, std::int32_t After, const std::uint8_t* Slot);
  void RemoveSlot(TVdbStoragePageSite& Page, std::int32_t K);
  void FixUnderflow(std::int32_t Level);
  // In-order walk of the subtree at PageNo; Visit answers false to stop.
  bool Walk(std::int32_t PageNo, std::int32_t Depth, std::vector<bool>& Seen,
            const std::function<bool(const std::uint8_t*)>& Visit);

  std::int32_t FHeightOffset = 0;
  std::int32_t FPageCountOffset = 0;
  std::int32_t FNextPageOffset = 0;
  std::int32_t FPageSize = 0;
  std::int32_t FKeySize;
  std::int32_t FItemSize = 0;  // slot size
  std::int32_t FOrder = 0;
  std::int32_t FPageCapacity = 0;
  std::int16_t FVersion;
  std::int32_t FTreeError = kErrNone;
  std::int32_t FHeight = 0;
  std::int32_t FPageCount = 0;
  std::int32_t FFreeHead = 0;
  std::int32_t FChildSize = 4;
  std::int32_t FItemCountOffset = 4;
  std::int32_t FDataOffset = 6;
  bool FUnique = false;
  bool FOpen = false;
  std::unique_ptr<TVdbStoragePageSite> FHeaderPage;
  std::unique_ptr<TVdbStoragePageSite> FWorkPage;
  std::vector<std::uint8_t> u, v, w;  // slot buffers
  TVdbItemLess Less;
  std::vector<TPathStep> FPath;  // per level, root first
  std::int32_t FPathDepth = 0;
  std::uint64_t FPathGeneration = 0;  // page changes when the path was walked
};

}  // namespace vdb
