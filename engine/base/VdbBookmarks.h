// Bookmark lists: growable arrays of record numbers. A slot holding 0 (or less) is a hole left by
// a deletion, so deleting after the search costs nothing more; the last used slot is never a hole.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace vdb {

class TVdbBookmarkList {
 public:
  // Orders two record numbers (true when A sorts before B); used to insert into a sorted list.
  using TRecordLess = std::function<bool(std::int32_t A, std::int32_t B)>;

  // Capacity is a hint: a list with no storage starts at 1024 slots and a full list doubles.
  explicit TVdbBookmarkList(std::int32_t Capacity = 1000);

  std::int32_t Count() const { return FCount; }                                  // live entries
  std::int32_t Size() const { return static_cast<std::int32_t>(FData.size()); }  // used slots
  std::int32_t Capacity() const { return static_cast<std::int32_t>(FData.capacity()); }

  void Append(std::int32_t RecNo);
  // Inserts RecNo before slot Index (0..Size), shifting the tail up by one.
  void InsertAt(std::int32_t Index, std::int32_t RecNo);
  void Clear();
  // Squeezes out all holes.
  void Compress();
  // Replaces the contents with the live entries of Other.
  void CopyFrom(const TVdbBookmarkList& Other);
  // Turns the slot of RecNo into a hole; false when RecNo is not in the list.
  bool Delete(std::int32_t RecNo);
  void DeleteAt(std::int32_t Index);
  // Slot of RecNo, or -1 (also for RecNo <= 0).
  std::int32_t Find(std::int32_t RecNo) const;
  // Slot of the first / last live entry, of the next live entry after Index and of the previous
  // live entry before Index; -1 when there is none.
  std::int32_t FindFirst() const;
  std::int32_t FindLast() const;
  std::int32_t FindNext(std::int32_t Index) const;
  std::int32_t FindPrev(std::int32_t Index) const;
  // 0-based ordinal of RecNo among the live entries, -1 when absent.
  std::int32_t FindSequence(std::int32_t RecNo) const;
  // Slot of the live entry with the 0-based ordinal Sequence, -1 when there is none.
  std::int32_t FindSlotOfSequence(std::int32_t Sequence) const;
  // Adds RecNo when absent, else deletes it.
  void Flip(std::int32_t RecNo);
  std::int32_t GetItem(std::int32_t Index) const {
    return FData.at(static_cast<std::size_t>(Index));
  }
  void SetItem(std::int32_t Index, std::int32_t RecNo);
  // Replaces every occurrence of From by To (a record moved into another slot of the relation).
  void Renumber(std::int32_t From, std::int32_t To);
  // Compresses, then sorts the live entries ascending.
  void Sort();
  // Compresses, then inserts RecNo at its place in a list sorted by Less.
  void InsertSorted(std::int32_t RecNo, const TRecordLess& Less);
  // Writes the live entries in order to Buffer (room for Count() numbers).
  void WriteTo(std::int32_t* Buffer) const;

 private:
  void Reserve();
  void DropTrailingHoles();

  std::int32_t FCount = 0;
  std::vector<std::int32_t> FData;
};

}  // namespace vdb
