// General containers of the engine.
//
// TDoubleLinkedList: a doubly linked list with a count, a current element and a current position
// (0-based; a position equal to the count means after the end). Moving the position walks from
// where it is, or jumps to the first or last element when that is nearer, so reading a list in
// order costs O(1) per element. The list owns its elements.
#pragma once

#include <cstdint>
#include <iterator>
#include <list>
#include <utility>

namespace vdb {

template <class T>
class TDoubleLinkedList {
 public:
  TDoubleLinkedList() : FCurrent(FItems.end()) {}
  TDoubleLinkedList(const TDoubleLinkedList&) = delete;
  TDoubleLinkedList& operator=(const TDoubleLinkedList&) = delete;

  std::int32_t Count() const { return static_cast<std::int32_t>(FItems.size()); }
  std::int32_t Position() const { return FPosition; }
  bool AtEnd() const { return FCurrent == FItems.end(); }

  // Each answers whether the new position holds an element.
  bool First() { return SetPosition(0); }
  bool Last() { return SetPosition(Count() - 1); }
  bool Next() { return FPosition < Count() && SetPosition(FPosition + 1); }
  // At the first element the position stays.
  bool Previous() { return FPosition > 0 && SetPosition(FPosition - 1); }

  // Positions outside 0 .. count-1 mean after the end.
  bool SetPosition(std::int32_t Position) {
    const std::int32_t Size = Count();
    if (Position < 0 || Position >= Size) {
      FCurrent = FItems.end();
      FPosition = Size;
      return false;
    }
    const std::int32_t FromHere = Position - FPosition;
    const std::int32_t FromHereAbs = FromHere < 0 ? -FromHere : FromHere;
    if (Position <= FromHereAbs) {
      FCurrent = FItems.begin();
      FPosition = 0;
    } else if (Size - 1 - Position < FromHereAbs) {
      FCurrent = std::prev(FItems.end());
      FPosition = Size - 1;
    }
    std::advance(FCurrent, Position - FPosition);
    FPosition = Position;
    return true;
  }

  // Inserts after the current element (at the end when the position is after the end) and makes
  // the new element current.
  T& Insert(T Data) {
    if (FCurrent == FItems.end()) {
      FCurrent = FItems.insert(FItems.end(), std::move(Data));
      FPosition = Count() - 1;
    } else {
      FCurrent = FItems.insert(std::next(FCurrent), std::move(Data));
      ++FPosition;
    }
    return *FCurrent;
  }
  T& Append(T Data) {
    SetPosition(Count());
    return Insert(std::move(Data));
  }

  // Removes the current element; the following one becomes current at the same position.
  bool Delete() {
    if (FCurrent == FItems.end()) return false;
    FCurrent = FItems.erase(FCurrent);
    return true;
  }

  void Clear() {
    FItems.clear();
    FCurrent = FItems.end();
    FPosition = 0;
  }

  // The current element, or null after the end.
  T* GetData() { return FCurrent == FItems.end() ? nullptr : &*FCurrent; }
  const T* GetData() const { return FCurrent == FItems.end() ? nullptr : &*FCurrent; }

  // Merge sort (stable: elements that compare equal keep their order); the position goes to the
  // first element.
  template <class TLess>
  void Sort(TLess&& Less) {
    FItems.sort(std::forward<TLess>(Less));
    FCurrent = FItems.begin();
    FPosition = 0;
  }

  // Iteration in list order (does not move the position).
  auto begin() { return FItems.begin(); }
  auto end() { return FItems.end(); }
  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }

 private:
  std::list<T> FItems;
  typename std::list<T>::iterator FCurrent;
  std::int32_t FPosition = 0;
};

}  // namespace vdb
