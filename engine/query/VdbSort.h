// The sorter of a session: keys (byte strings of up to 65535 bytes) are collected one by one,
// sorted by a caller's order with a linked-list merge sort that never moves the key bytes, and
// handed out in order. Sorts nest: InitSort saves the running sort and ExitSort restores it, so a
// sort can run while another one is being collected or read.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vdb {

class TVdbSortDef;

class TVdbSorter {
 public:
  // True when key X (XSize bytes) sorts before key Y.
  using TLess = std::function<bool(const std::uint8_t* X, std::int32_t XSize,
                                   const std::uint8_t* Y, std::int32_t YSize)>;

  TVdbSorter();
  ~TVdbSorter();
  TVdbSorter(const TVdbSorter&) = delete;
  TVdbSorter& operator=(const TVdbSorter&) = delete;

  // Begins a sort; a sort running already is saved and comes back with ExitSort.
  void InitSort();
  // The sort definition the keys are built for (not owned; for the caller's order).
  void InitSortVar(const TVdbSortDef* SortVar) { FState.SortVar = SortVar; }
  const TVdbSortDef* SortVar() const { return FState.SortVar; }
  // Adds a copy of the key; false (and SortError set) when there is no memory for it.
  bool ToSort(const void* Data, std::uint16_t Size);
  // A text as a 16-bit character count followed by the UTF-16 characters; false (SortError)
  // for a text too long to be a key.
  bool WStrToSort(const std::u16string& Text);
  // Sorts the keys added so far and rewinds. Equal keys keep the order in which they came.
  void SortStart(const TLess& Less);
  // Whether no key is left to hand out.
  bool SortEmpty() const { return FState.Aktuell == nullptr; }
  // Copies the next key into Buffer (BufferSize bytes at most) and answers its length; -1 with
  // SortError set when none is left or the key does not fit.
  std::int32_t FromSort(void* Buffer, std::int32_t BufferSize);
  // The next key as bytes; false (SortError) when none is left.
  bool FromSort(std::vector<std::uint8_t>& Key);
  bool WStrFromSort(std::u16string& Text);
  // Back to the first key of the sorted order.
  void ToStart() { FState.Aktuell = FState.Anfang; }
  // Frees the keys of the running sort; it stays begun.
  void ClearSort();
  // Ends the running sort and restores the one InitSort saved.
  void ExitSort();

  bool SortError() const { return FState.SortError; }
  std::int32_t Count() const { return FState.Count; }
  // How many sorts are begun and not ended.
  std::int32_t Depth() const { return static_cast<std::int32_t>(FSaved.size()) + (FBegun ? 1 : 0); }

 private:
  struct TElement {
    std::unique_ptr<std::uint8_t[]> Key;
    std::uint16_t Size = 0;
    TElement* Rest = nullptr;               // the chain sorting rearranges and reading follows
    std::unique_ptr<TElement> Next;         // insertion order; owns the following element
  };
  struct TState {
    std::unique_ptr<TElement> Start;  // first element in insertion order
    TElement* Anfang = nullptr;       // head of the sorted chain
    TElement* Aktuell = nullptr;      // next element to hand out
    TElement* Ende = nullptr;         // last inserted element
    const TVdbSortDef* SortVar = nullptr;
    bool SortError = false;
    std::int32_t Count = 0;
  };
  static TElement* MergeSort(TElement* Head, std::int32_t Count, const TLess& Less);
  static void FreeChain(std::unique_ptr<TElement>& Start);

  TState FState;
  bool FBegun = false;
  std::vector<TState> FSaved;
};

}  // namespace vdb
