#include "base/VdbBookmarks.h"

#include <algorithm>
#include <stdexcept>

namespace vdb {

namespace {
constexpr std::size_t kInitialSlots = 1024;
}

TVdbBookmarkList::TVdbBookmarkList(std::int32_t Capacity) {
  FData.reserve(
      std::max<std::size_t>(kInitialSlots, static_cast<std::size_t>(std::max(Capacity, 0))));
}

void TVdbBookmarkList::Reserve() {
  if (FData.size() < FData.capacity()) return;
  FData.reserve(FData.capacity() == 0 ? kInitialSlots : FData.capacity() * 2);
}

void TVdbBookmarkList::DropTrailingHoles() {
  while (!FData.empty() && FData.back() <= 0) FData.pop_back();
}

void TVdbBookmarkList::Append(std::int32_t RecNo) {
  if (RecNo <= 0) return;  // a hole must never be the last used slot
  Reserve();
  FData.push_back(RecNo);
  ++FCount;
}

void TVdbBookmarkList::InsertAt(std::int32_t Index, std::int32_t RecNo) {
  if (Index < 0 || Index > Size()) throw std::out_of_range("Bookmark index out of range");
  if (RecNo <= 0) return;
  Reserve();
  FData.insert(FData.begin() + Index, RecNo);
  ++FCount;
}

void TVdbBookmarkList::Clear() {
  FData.clear();
  FCount = 0;
}

void TVdbBookmarkList::Compress() {
  FData.erase(std::remove_if(FData.begin(), FData.end(), [](std::int32_t R) { return R <= 0; }),
              FData.end());
}

void TVdbBookmarkList::CopyFrom(const TVdbBookmarkList& Other) {
  if (&Other == this) return;
  Clear();
  FData.reserve(static_cast<std::size_t>(Other.FCount));
  for (std::int32_t R : Other.FData)
    if (R > 0) Append(R);
}

bool TVdbBookmarkList::Delete(std::int32_t RecNo) {
  const std::int32_t Index = Find(RecNo);
  if (Index < 0) return false;
  DeleteAt(Index);
  return true;
}

void TVdbBookmarkList::DeleteAt(std::int32_t Index) {
  if (Index < 0 || Index >= Size()) throw std::out_of_range("Bookmark index out of range");
  if (FData[static_cast<std::size_t>(Index)] <= 0) return;
  FData[static_cast<std::size_t>(Index)] = 0;
  --FCount;
  DropTrailingHoles();
}

std::int32_t TVdbBookmarkList::Find(std::int32_t RecNo) const {
  if (RecNo <= 0) return -1;
  const auto It = std::find(FData.begin(), FData.end(), RecNo);
  return It == FData.end() ? -1 : static_cast<std::int32_t>(It - FData.begin());
}

std::int32_t TVdbBookmarkList::FindFirst() const { return FindNext(-1); }

std::int32_t TVdbBookmarkList::FindLast() const { return FindPrev(Size()); }

std::int32_t TVdbBookmarkList::FindNext(std::int32_t Index) const {
  for (std::int32_t I = std::max(Index + 1, 0); I < Size(); ++I)
    if (FData[static_cast<std::size_t>(I)] > 0) return I;
  return -1;
}

std::int32_t TVdbBookmarkList::FindPrev(std::int32_t Index) const {
  for (std::int32_t I = std::min(Index, Size()) - 1; I >= 0; --I)
    if (FData[static_cast<std::size_t>(I)] > 0) return I;
  return -1;
}

std::int32_t TVdbBookmarkList::FindSequence(std::int32_t RecNo) const {
  if (RecNo <= 0) return -1;
  std::int32_t Ordinal = 0;
  for (std::int32_t R : FData) {
    if (R == RecNo) return Ordinal;
    if (R > 0) ++Ordinal;
  }
  return -1;
}

std::int32_t TVdbBookmarkList::FindSlotOfSequence(std::int32_t Sequence) const {
  if (Sequence < 0 || Sequence >= FCount) return -1;
  if (FCount == Size()) return Sequence;  // no holes
  std::int32_t Ordinal = 0;
  for (std::int32_t I = 0; I < Size(); ++I) {
    if (FData[static_cast<std::size_t>(I)] <= 0) continue;
    if (Ordinal++ == Sequence) return I;
  }
  return -1;
}

void TVdbBookmarkList::Flip(std::int32_t RecNo) {
  if (!Delete(RecNo)) Append(RecNo);
}

void TVdbBookmarkList::SetItem(std::int32_t Index, std::int32_t RecNo) {
  if (Index < 0 || Index >= Size()) throw std::out_of_range("Bookmark index out of range");
  std::int32_t& Slot = FData[static_cast<std::size_t>(Index)];
  if (Slot > 0) --FCount;
  Slot = RecNo > 0 ? RecNo : 0;
  if (Slot > 0) ++FCount;
  DropTrailingHoles();
}

void TVdbBookmarkList::Renumber(std::int32_t From, std::int32_t To) {
  if (From <= 0 || From == To) return;
  for (std::int32_t& R : FData)
    if (R == From) {
      if (To <= 0) --FCount;
      R = To > 0 ? To : 0;
    }
  DropTrailingHoles();
}

void TVdbBookmarkList::Sort() {
  Compress();
  std::sort(FData.begin(), FData.end());
}

void TVdbBookmarkList::InsertSorted(std::int32_t RecNo, const TRecordLess& Less) {
  if (RecNo <= 0) return;
  Compress();
  const auto It = std::upper_bound(FData.begin(), FData.end(), RecNo, Less);
  InsertAt(static_cast<std::int32_t>(It - FData.begin()), RecNo);
}

void TVdbBookmarkList::WriteTo(std::int32_t* Buffer) const {
  for (std::int32_t R : FData)
    if (R > 0) *Buffer++ = R;
}

}  // namespace vdb
