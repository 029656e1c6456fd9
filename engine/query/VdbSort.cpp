#include "query/VdbSort.h"

#include <cstring>
#include <new>

namespace vdb {

TVdbSorter::TVdbSorter() = default;

TVdbSorter::~TVdbSorter() {
  FreeChain(FState.Start);
  for (TState& Saved : FSaved) FreeChain(Saved.Start);
}

// The elements own each other through Next; a long chain is freed in a loop, not recursively.
void TVdbSorter::FreeChain(std::unique_ptr<TElement>& Start) {
  while (Start) Start = std::move(Start->Next);
}

void TVdbSorter::InitSort() {
  if (FBegun)
    FSaved.push_back(std::move(FState));
  else
    FreeChain(FState.Start);
  FState = TState();
  FBegun = true;
}

void TVdbSorter::ClearSort() {
  FreeChain(FState.Start);
  const TVdbSortDef* SortVar = FState.SortVar;
  FState = TState();
  FState.SortVar = SortVar;
}

void TVdbSorter::ExitSort() {
  FreeChain(FState.Start);
  FState = TState();
  FBegun = false;
  if (!FSaved.empty()) {
    FState = std::move(FSaved.back());
    FSaved.pop_back();
    FBegun = true;
  }
}

bool TVdbSorter::ToSort(const void* Data, std::uint16_t Size) {
  try {
    auto Element = std::make_unique<TElement>();
    Element->Key = std::make_unique<std::uint8_t[]>(Size == 0 ? 1 : Size);
    if (Size > 0) std::memcpy(Element->Key.get(), Data, Size);
    Element->Size = Size;
    TElement* Added = Element.get();
    if (FState.Ende == nullptr) {
      FState.Start = std::move(Element);
      FState.Anfang = FState.Aktuell = Added;
    } else {
      FState.Ende->Rest = Added;
      FState.Ende->Next = std::move(Element);
    }
    FState.Ende = Added;
    ++FState.Count;
    return true;
  } catch (const std::bad_alloc&) {
    FState.SortError = true;
    return false;
  }
}

bool TVdbSorter::WStrToSort(const std::u16string& Text) {
  constexpr std::size_t kMaxChars = (0xFFFF - sizeof(std::uint16_t)) / sizeof(char16_t);
  if (Text.size() > kMaxChars) {
    FState.SortError = true;
    return false;
  }
  const auto Chars = static_cast<std::uint16_t>(Text.size());
  std::vector<std::uint8_t> Key(sizeof(Chars) + Text.size() * sizeof(char16_t));
  std::memcpy(Key.data(), &Chars, sizeof(Chars));
  if (!Text.empty()) std::memcpy(Key.data() + sizeof(Chars), Text.data(), Text.size() * 2);
  return ToSort(Key.data(), static_cast<std::uint16_t>(Key.size()));
}

// Top-down merge sort of the Rest chain. The chain is split into its first and second half (not
// dealt alternately), and a tie takes the head of the first list, so equal keys keep the order
// in which they were added even when the caller's order does not break ties itself.
TVdbSorter::TElement* TVdbSorter::MergeSort(TElement* Head, std::int32_t Count,
                                           const TLess& Less) {
  if (Count < 2) {
    if (Head != nullptr) Head->Rest = nullptr;
    return Head;
  }
  const std::int32_t FirstCount = Count / 2;
  TElement* Last = Head;
  for (std::int32_t I = 1; I < FirstCount; ++I) Last = Last->Rest;
  TElement* Second = Last->Rest;
  Last->Rest = nullptr;
  TElement* A = MergeSort(Head, FirstCount, Less);
  TElement* B = MergeSort(Second, Count - FirstCount, Less);
  TElement* Merged = nullptr;
  TElement** Tail = &Merged;
  while (A != nullptr && B != nullptr) {
    TElement*& Taken = Less(B->Key.get(), B->Size, A->Key.get(), A->Size) ? B : A;
    *Tail = Taken;
    Tail = &Taken->Rest;
    Taken = Taken->Rest;
  }
  *Tail = A != nullptr ? A : B;
  return Merged;
}

void TVdbSorter::SortStart(const TLess& Less) {
  FState.Anfang = MergeSort(FState.Anfang, FState.Count, Less);
  FState.Aktuell = FState.Anfang;
}

std::int32_t TVdbSorter::FromSort(void* Buffer, std::int32_t BufferSize) {
  TElement* Element = FState.Aktuell;
  if (Element == nullptr || Element->Size > BufferSize) {
    FState.SortError = true;
    return -1;
  }
  if (Element->Size > 0) std::memcpy(Buffer, Element->Key.get(), Element->Size);
  FState.Aktuell = Element->Rest;
  return Element->Size;
}

bool TVdbSorter::FromSort(std::vector<std::uint8_t>& Key) {
  TElement* Element = FState.Aktuell;
  if (Element == nullptr) {
    FState.SortError = true;
    return false;
  }
  Key.assign(Element->Key.get(), Element->Key.get() + Element->Size);
  FState.Aktuell = Element->Rest;
  return true;
}

bool TVdbSorter::WStrFromSort(std::u16string& Text) {
  std::vector<std::uint8_t> Key;
  if (!FromSort(Key)) return false;
  std::uint16_t Chars = 0;
  if (Key.size() < sizeof(Chars)) {
    FState.SortError = true;
    return false;
  }
  std::memcpy(&Chars, Key.data(), sizeof(Chars));
  if (Key.size() != sizeof(Chars) + std::size_t{Chars} * 2) {
    FState.SortError = true;
    return false;
  }
  Text.resize(Chars);
  if (Chars > 0) std::memcpy(Text.data(), Key.data() + sizeof(Chars), std::size_t{Chars} * 2);
  return true;
}

}  // namespace vdb
