// The abstract ordered tree of an index file or a B+ data file.
//
// A tree stores items (for an index: a record number followed by key bytes; for a B+ data file:
// the whole record) in the order of a comparison that its owner supplies. It never looks inside an
// item. Two formats stand behind this class: the B+ tree (TVdbBPlusTree, variable-size items,
// items only in the leaves) and the classic B-tree (TVdbBTree, fixed-size items in every page).
// Both read and write one logical page of the tree as one page of a client storage, bound through
// page sites; page 0 holds the tree header at the tree's offset.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace vdb {

class TVdbClientStorage;

// True when item X sorts before item Y. Unique is set when the comparison met two items whose
// keys are equal (only their record numbers told them apart). The index definition the order
// depends on is bound into the function by its owner.
using TVdbItemLess = std::function<bool(const std::uint8_t* X, const std::uint8_t* Y, bool& Unique)>;

// A tree operation that cannot go on: a damaged page or header, an item that does not fit, a
// page that cannot be read. The index file turns it into its engine error.
class EVdbTreeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TVdbTreeBase {
 public:
  // Results of the search operations.
  static constexpr std::int16_t kFound = 0;
  static constexpr std::int16_t kNone = 1;       // no such item (end or start of the tree)
  static constexpr std::int16_t kNotInTree = -1;  // the given item is not in the tree

  TVdbTreeBase(TVdbClientStorage& Storage, std::int32_t Offset);
  virtual ~TVdbTreeBase();
  TVdbTreeBase(const TVdbTreeBase&) = delete;
  TVdbTreeBase& operator=(const TVdbTreeBase&) = delete;

  virtual std::int16_t GetVersion() const = 0;
  virtual std::int32_t GetHeight() const = 0;
  virtual std::int32_t GetItemCount() const = 0;
  std::int32_t GetOffset() const { return FOffset; }
  virtual std::int32_t GetHeaderSize() const = 0;
  virtual std::int32_t GetSize() const = 0;
  virtual std::int32_t GetPageSize() const = 0;
  // Page size of a new tree: a page holds at least 39 slots of MaxKeySize bytes plus the slot
  // overhead of the version, and enough pages for 2 x Capacity items are addressable.
  static std::int32_t CalcPageSize(std::int16_t Version, std::int32_t MaxKeySize,
                                   std::int32_t Capacity);
  virtual std::int32_t CalcCapacity() const = 0;
  // A tree of the same format and header offset over another client storage (not yet open).
  virtual std::unique_ptr<TVdbTreeBase> Clone(TVdbClientStorage& Storage) const = 0;

  // Writes a new empty tree header and opens the tree.
  virtual void New(std::int32_t PageSize, TVdbItemLess Less) = 0;
  // Reads the tree header; raises EVdbTreeError when it is not usable.
  virtual void Open(TVdbItemLess Less) = 0;
  virtual void Preload() = 0;
  virtual void Flush() = 0;
  virtual void Undo() = 0;
  virtual void Update() = 0;
  virtual void UpdateDir() = 0;
  virtual void Close() = 0;
  // Walks all items in order: ItemCount items, WrongSortCount neighbouring pairs out of order.
  virtual void Check(std::int32_t& ItemCount, std::int32_t& WrongSortCount) = 0;

  // The search operations copy whole items into buffers of the given size. PrevItem and SuccItem
  // (Item and PrevItem) may be the same buffer.
  virtual std::int16_t FindFirst(std::uint8_t* Item, std::int32_t MaxSize) = 0;
  virtual std::int16_t FindLast(std::uint8_t* Item, std::int32_t MaxSize) = 0;
  virtual std::int16_t FindNext(const std::uint8_t* PrevItem, std::uint8_t* SuccItem,
                                std::int32_t SuccSize) = 0;
  virtual std::int16_t FindPrev(const std::uint8_t* Item, std::uint8_t* PrevItem,
                                std::int32_t PrevSize) = 0;
  // The first item not less than Item.
  virtual std::int16_t Find(const std::uint8_t* Item, std::uint8_t* FoundItem,
                            std::int32_t FoundSize) = 0;
  // 1-based position of Item in the tree's order; 0 when it is not in the tree.
  virtual std::int32_t CalcItemSequenceNo(const std::uint8_t* Item) = 0;
  virtual void Insert(const std::uint8_t* Item, std::int32_t ItemSize) = 0;
  virtual bool Delete(const std::uint8_t* Key) = 0;
  virtual void Clear() = 0;
  virtual void BulkInsert() {}

  // Size of the item the last successful search copied out.
  std::int32_t LastItemSize() const { return FLastItemSize; }
  // False when the last Insert left the tree as it was (the classic B-tree ignores an item that
  // is already present).
  bool LastInsertAdded() const { return FLastInsertAdded; }
  TVdbClientStorage& Storage() const { return *FStorage; }

 protected:
  TVdbClientStorage* FStorage;  // not owned
  std::int32_t FOffset;
  std::int32_t FLastItemSize = 0;
  bool FLastInsertAdded = false;
};

}  // namespace vdb
