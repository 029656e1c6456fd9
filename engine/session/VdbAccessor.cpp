#include "session/VdbAccessor.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

#include "base/VdbErrors.h"
#include "base/VdbServices.h"

namespace vdb {

namespace {

// Between two tries to lock a record for editing (20 times the lock retry delay).
constexpr auto kEditRetryPause = std::chrono::milliseconds(100);

constexpr std::int16_t kTypeMemo = 7;
constexpr std::int16_t kTypeBlob = 11;
constexpr std::int16_t kTypeRelation = 12;
constexpr std::int16_t kTypeWideMemo = 19;

TVdbLongIndexInfo& AsInfo(std::vector<std::uint8_t>& Buffer) {
  return *reinterpret_cast<TVdbLongIndexInfo*>(Buffer.data());
}
const TVdbLongIndexInfo& AsInfo(const std::vector<std::uint8_t>& Buffer) {
  return *reinterpret_cast<const TVdbLongIndexInfo*>(Buffer.data());
}
std::int32_t RecordRef(const std::vector<std::uint8_t>& Item) {
  if (Item.size() < sizeof(std::int32_t)) return 0;
  std::int32_t RecNo;
  std::memcpy(&RecNo, Item.data(), sizeof RecNo);
  return RecNo;
}
void SetRecordRef(std::vector<std::uint8_t>& Item, std::int32_t RecNo) {
  if (Item.size() >= sizeof(std::int32_t)) std::memcpy(Item.data(), &RecNo, sizeof RecNo);
}
bool IsBoundSet(const std::vector<std::uint8_t>& Bound) { return RecordRef(Bound) != 0; }

bool HasNoFieldValue(std::int16_t ColumnType) {
  return ColumnType == kTypeMemo || ColumnType == kTypeBlob || ColumnType == kTypeRelation ||
         ColumnType == kTypeWideMemo;
}

}  // namespace

// A saved position (Push/Pop).
struct TVdbAccessor::TSavedPosition {
  std::vector<std::uint8_t> UpperBound;
  std::vector<std::uint8_t> LowerBound;
  std::vector<std::uint8_t> CurrentKey;
  std::uint8_t IndexNo = kVdbNoIndex;
  TVdbAccessType AccessType = tatRecordNo;
  bool Reverse = false;
  bool BufferValid = false;
  bool RecordDeleted = false;
  std::int32_t SequenceNo = -1;
  std::int32_t RecordNo = -1;
};

bool TVdbAccessorFilter::FindBestAccess(const TVdbAccessor&, std::uint8_t&,
                                        std::vector<std::uint8_t>&, std::vector<std::uint8_t>&) {
  return false;
}

// =============================================================================================
// Lifetime

TVdbAccessor::TVdbAccessor(TVdbRelation& Relation, std::string Tag)
    : FRelation(&Relation),
      FTag(std::move(Tag)),
      FBookmarks(std::make_unique<TVdbBookmarkList>(1000)) {
  AllocateKeyBuffers();
  FRelation->AddAccessor(this);
}

std::unique_ptr<TVdbAccessor> TVdbAccessor::CreateClone(const TVdbAccessor& Accessor) {
  return std::make_unique<TVdbAccessor>(*Accessor.FRelation, Accessor.FTag);
}

TVdbAccessor::~TVdbAccessor() {
  if (FCurrentEditState == esEdit && FWorkRecordNo > 0) FRelation->EndEdit(FWorkRecordNo);
  FRelation->RemoveAccessor(this);
}

// =============================================================================================
// Errors

std::int16_t TVdbAccessor::Fail(std::int16_t Code, const kxFormatArgs& Args) {
  TVdbServices* Services = FRelation->Services();
  if (Services == nullptr) return static_cast<std::int16_t>(-Code);
  return Services->SetLastError(Code, Args);
}

// Runs Body behind the engine's exception boundary (VdbGuarded), recording failures as the
// session's last error when the relation has services.
template <class TBody>
static std::int16_t Guarded(TVdbRelation& Relation, TBody&& Body) {
  TVdbServices* Services = Relation.Services();
  return VdbGuarded(Services != nullptr ? &Services->LastError() : nullptr,
                    std::forward<TBody>(Body));
}

// An engine exception carrying the error the relation recorded last (for operations that
// cannot answer a result code).
static EVdbEngine LastErrorException(TVdbRelation& Relation, std::int16_t Result) {
  TVdbServices* Services = Relation.Services();
  if (Services != nullptr && Services->LastErrorCode() == -Result)
    return EVdbEngine::CreateMsg(Services->LastErrorCode(), Services->LastErrorMsg());
  return EVdbEngine(static_cast<std::int16_t>(-Result), kxFormatArgs{});
}

// =============================================================================================
// Key buffers and the current record

std::int32_t TVdbAccessor::KeyBufferSize() const {
  std::int32_t Size = static_cast<std::int32_t>(sizeof(std::int32_t));
  if (FCurrentAccessType == tatIndex) {
    if (const TVdbIndexFile* Index = FRelation->GetIndexFile(FCurrentIndexNo))
      Size = std::max<std::int32_t>(Size, Index->ItemSize());
    if (const TVdbSortDef* Def = FRelation->GetIndexDefinition(FCurrentIndexNo))
      Size = std::max(Size, Def->KeySize());
  } else if (FCurrentAccessType == tatRecordNo) {
    if (const TVdbSortDef* Def = FRelation->GetNativeSortDef())
      Size = std::max(Size, Def->KeySize());
  }
  return Size;
}

void TVdbAccessor::AllocateKeyBuffers() {
  const std::size_t Size = static_cast<std::size_t>(KeyBufferSize());
  FCurrentIndexInfo.assign(Size, 0);
  FRangeLowerBound.assign(Size, 0);
  FRangeUpperBound.assign(Size, 0);
  FSortInfoWorkBuffer.assign(Size, 0);
  SetRecordRef(FCurrentIndexInfo, FCurrentRecordNo);
}

void TVdbAccessor::SetCurrent(std::int32_t RecNo) {
  if (RecNo != FCurrentRecordNo && FCurrentEditState == esBrowse) ClearPendingBlobs();
  FCurrentRecordNo = RecNo;
  FCurrentRecBufUpdated = false;
  SetRecordRef(FCurrentIndexInfo, RecNo);
}

void TVdbAccessor::ToBoT() {
  SetCurrent(-1);
  FCurrentSequenceNo = -1;
}

void TVdbAccessor::BuildFields() {
  const std::int16_t Count = FRelation->GetColumnCount();
  FFields.clear();
  FFields.resize(static_cast<std::size_t>(Count));
  for (std::int16_t FieldNo = 1; FieldNo <= Count; ++FieldNo) {
    const std::int16_t Type = FRelation->GetColumnDef(FieldNo).GetColumnType();
    if (HasNoFieldValue(Type)) continue;
    TVdbDataValue& Value = FFields[static_cast<std::size_t>(FieldNo - 1)];
    Value.ColumnType = static_cast<std::int16_t>(static_cast<std::uint16_t>(Type) |
                                                 TVdbDataValue::kVdbReferenceBit);
    Value.DataPtr = FRelation->GetRecordField(FCurrentRecBuf.data(), FieldNo);
  }
}

std::int16_t TVdbAccessor::ReadCurrent() {
  const std::size_t Size = static_cast<std::size_t>(std::max(FRelation->RecordSize(), 0));
  if (FCurrentRecBuf.size() != Size ||
      FFields.size() != static_cast<std::size_t>(FRelation->GetColumnCount())) {
    FCurrentRecBuf.assign(Size, 0);
    FCurrentRecBufUpdated = false;
    BuildFields();
  }
  if (FCurrentRecBufUpdated) return 0;
  std::int16_t Result;
  if (FCurrentRecordNo < 1) {
    std::fill(FCurrentRecBuf.begin(), FCurrentRecBuf.end(), 0);
    Result = FRelation->InitRecord(FCurrentRecBuf.data(), false);
  } else {
    Result = FRelation->ReadRecord(FCurrentRecordNo, FCurrentRecBuf.data());
  }
  if (Result >= 0) FCurrentRecBufUpdated = true;
  return Result < 0 ? Result : 0;
}

void TVdbAccessor::ComputeCurrentKey() {
  if (FCurrentAccessType != tatIndex || FCurrentRecordNo < 1) {
    SetRecordRef(FCurrentIndexInfo, FCurrentRecordNo);
    return;
  }
  const std::int16_t Result = ReadCurrent();
  if (Result < 0) throw LastErrorException(*FRelation, Result);
  FRelation->CalcIndexInfo(FCurrentRecBuf.data(), FCurrentIndexNo, AsInfo(FCurrentIndexInfo),
                           FCurrentRecordNo);
}

const std::uint8_t* TVdbAccessor::GetRecordPtr() {
  if (FCurrentEditState != esBrowse && FWorkRecordNo == FCurrentRecordNo && !FWorkRecBuf.empty())
    return FWorkRecBuf.data();
  const std::int16_t Result = ReadCurrent();
  if (Result < 0) throw LastErrorException(*FRelation, Result);
  return FCurrentRecBuf.data();
}

std::int16_t TVdbAccessor::GetRecord(std::uint8_t* Buffer) {
  try {
    const std::uint8_t* Record = GetRecordPtr();
    std::memcpy(Buffer, Record, static_cast<std::size_t>(FRelation->RecordSize()));
    return 0;
  } catch (const EVdbEngine& Error) {
    return static_cast<std::int16_t>(-Error.Code());
  }
}

const TVdbDataValue& TVdbAccessor::GetField(std::int16_t FieldNo) {
  GetRecordPtr();
  if (FieldNo < 1 || static_cast<std::size_t>(FieldNo) > FFields.size())
    throw EVdbEngine(kVdbErrFieldNotFound, std::to_string(FieldNo));
  return FFields[static_cast<std::size_t>(FieldNo - 1)];
}

// =============================================================================================
// Range and filter

bool TVdbAccessor::HasRange() const {
  return IsBoundSet(FRangeLowerBound) || IsBoundSet(FRangeUpperBound);
}

void TVdbAccessor::ClearRange() {
  std::fill(FRangeLowerBound.begin(), FRangeLowerBound.end(), 0);
  std::fill(FRangeUpperBound.begin(), FRangeUpperBound.end(), 0);
}

void TVdbAccessor::GetRange(std::vector<std::uint8_t>& LowerBound,
                            std::vector<std::uint8_t>& UpperBound) const {
  LowerBound = FRangeLowerBound;
  UpperBound = FRangeUpperBound;
}

std::int16_t TVdbAccessor::SetRange(std::uint8_t IndexNo, const std::uint8_t* LowerBound,
                                    const std::uint8_t* UpperBound) {
  const bool Physical = IndexNo == kVdbNoIndex;
  if (Physical ? FCurrentAccessType != tatRecordNo
               : FCurrentAccessType != tatIndex || FCurrentIndexNo != IndexNo) {
    // An index that cannot be opened is this call's error.
    const std::int16_t Result = Guarded(*FRelation, [&]() -> std::int16_t {
      return SetAccess(Physical ? kVdbAccessRecordNo : IndexNo, FReverse);
    });
    if (Result < 0) return Result;
  }
  ClearRange();
  if (LowerBound != nullptr)
    std::memcpy(FRangeLowerBound.data(), LowerBound, FRangeLowerBound.size());
  if (UpperBound != nullptr)
    std::memcpy(FRangeUpperBound.data(), UpperBound, FRangeUpperBound.size());
  FCurrentSequenceNo = -1;
  return 0;
}

std::int16_t TVdbAccessor::SetRange(std::uint8_t IndexNo,
                                    const std::vector<std::string>& LowerValues,
                                    const std::vector<std::string>& UpperValues) {
  std::int16_t Result = SetRange(IndexNo, nullptr, nullptr);
  if (Result < 0) return Result;
  const TVdbSortDef* Def = FRelation->GetIndexDefinition(FCurrentIndexNo);
  if (FCurrentAccessType != tatIndex || Def == nullptr)
    return Fail(kVdbErrNoSuitableIndex, {"Index#" + std::to_string(IndexNo)});
  Result = Guarded(*FRelation, [&]() -> std::int16_t {
    // Record reference 1 marks a bound as set; keys are compared without it.
    if (!LowerValues.empty())
      FRelation->StringToIndex(*Def, LowerValues, AsInfo(FRangeLowerBound), 1);
    if (!UpperValues.empty())
      FRelation->StringToIndex(*Def, UpperValues, AsInfo(FRangeUpperBound), 1, true);
    return 0;
  });
  if (Result < 0) ClearRange();
  return Result;
}

bool TVdbAccessor::InRange(const std::vector<std::uint8_t>& Item) const {
  const bool Lower = IsBoundSet(FRangeLowerBound), Upper = IsBoundSet(FRangeUpperBound);
  if (!Lower && !Upper) return true;
  if (FCurrentAccessType == tatRecordNo) {
    const std::int32_t RecNo = RecordRef(Item);
    return (!Lower || RecNo >= RecordRef(FRangeLowerBound)) &&
           (!Upper || RecNo <= RecordRef(FRangeUpperBound));
  }
  if (FCurrentAccessType != tatIndex) return true;
  const TVdbSortDef* Def = FRelation->GetIndexDefinition(FCurrentIndexNo);
  if (Def == nullptr) return true;
  return FRelation->TestFilterRange(*Def, AsInfo(Item), Lower ? &AsInfo(FRangeLowerBound) : nullptr,
                                    Upper ? &AsInfo(FRangeUpperBound) : nullptr);
}

void TVdbAccessor::SetFilter(std::unique_ptr<TVdbAccessorFilter> Filter) {
  FFilter = std::move(Filter);
}

void TVdbAccessor::SetBookmarks(std::unique_ptr<TVdbBookmarkList> List) {
  FBookmarks = List ? std::move(List) : std::make_unique<TVdbBookmarkList>(1000);
  if (FCurrentAccessType == tatBookmarks) FCurrentSequenceNo = -1;
}

int TVdbAccessor::TestFilter() {
  if (!FFilter) return 1;
  return Guarded(*FRelation,
                 [&]() -> std::int16_t { return FFilter->IsSatisfied(*this) ? 1 : 0; });
}

// =============================================================================================
// Choosing the order

std::int16_t TVdbAccessor::SetAccess(TVdbAccessType AccessType, std::uint8_t IndexNo,
                                     bool Reverse) {
  if (AccessType == tatRecordNo || IndexNo == kVdbNoIndex)
    return SetAccess(kVdbAccessRecordNo, Reverse);
  if (AccessType == tatBookmarks || IndexNo == kVdbBookmarkIndexNo)
    return SetAccess(kVdbAccessBookmarks, Reverse);
  return SetAccess(static_cast<std::int16_t>(IndexNo), Reverse);
}

std::int16_t TVdbAccessor::SetAccess(std::int16_t AccessId, bool Reverse) {
  if (AccessId == kVdbAccessRecordNo) {
    FCurrentAccessType = tatRecordNo;
    FCurrentIndexNo = kVdbNoIndex;
    FReverse = Reverse;
    AllocateKeyBuffers();
    FCurrentSequenceNo = -1;
    if (FCurrentRecordNo > 0) FCurrentSequenceNo = GetSequenceNo();
    return 0;
  }
  if (AccessId == kVdbAccessBookmarks) {
    FCurrentAccessType = tatBookmarks;
    FCurrentIndexNo = kVdbNoIndex;
    FReverse = Reverse;
    AllocateKeyBuffers();
    FCurrentSequenceNo = -1;
    if (FCurrentRecordNo > 0 && FBookmarks->Find(FCurrentRecordNo) >= 0) {
      FCurrentSequenceNo = GetSequenceNo();
    } else if (First() < 0) {
      ToBoT();
    }
    return 0;
  }
  if (AccessId < 0 || AccessId >= kVdbFirstSpecialAccessId)
    return Fail(kVdbErrNoSuitableIndex, {"Index#" + std::to_string(AccessId)});
  // The index must be usable before anything changes; its failure is raised.
  const std::int16_t Opened = FRelation->CheckIndexOpen(AccessId);
  if (Opened < 0) throw LastErrorException(*FRelation, Opened);
  FCurrentAccessType = tatIndex;
  FCurrentIndexNo = static_cast<std::uint8_t>(AccessId);
  FReverse = Reverse;
  AllocateKeyBuffers();
  ComputeCurrentKey();
  FCurrentSequenceNo = -1;
  return 0;
}

std::int16_t TVdbAccessor::SetBestAccess(TVdbAccessorFilter& Condition) {
  std::uint8_t IndexNo = kVdbNoIndex;
  std::vector<std::uint8_t> Lower, Upper;
  if (!Condition.FindBestAccess(*this, IndexNo, Lower, Upper) || IndexNo == kVdbNoIndex) return 0;
  const std::int16_t Switched = SetRange(IndexNo, nullptr, nullptr);
  if (Switched < 0) return Switched;
  const std::size_t Size = FCurrentIndexInfo.size();
  Lower.resize(Size, 0);
  Upper.resize(Size, 0);
  return SetRange(IndexNo, Lower.data(), Upper.data());
}

// =============================================================================================
// Steps in the underlying order (no filter). Each answers 0 with the new position set, -19 at
// the end with the position unchanged, or another negative error.

std::int16_t TVdbAccessor::FindEndItem(bool Front, std::vector<std::uint8_t>& Item) {
  Item.assign(FCurrentIndexInfo.size(), 0);
  if (FCurrentAccessType == tatIndex) {
    const std::int16_t Result = Front ? FirstIndexItem(Item) : LastIndexItem(Item);
    if (Result != 0) return Result;
  } else {
    const std::int32_t RecNo = EndRecordNo(Front);
    if (RecNo < 1) return kVdbEndOfWalk;
    SetRecordRef(Item, RecNo);
  }
  return InRange(Item) ? 0 : kVdbEndOfWalk;
}

std::int16_t TVdbAccessor::FindNeighbourItem(bool Forward, std::vector<std::uint8_t>& Item) {
  // From the new record being appended, backwards is the last record.
  if (!Forward && FCurrentRecordNo == 0) return FindEndItem(false, Item);
  Item = FCurrentIndexInfo;
  if (FCurrentAccessType == tatIndex) {
    if (FCurrentRecordNo < 1) return kVdbEndOfWalk;
    const std::int16_t Result = Forward ? NextIndexItem(Item) : PrevIndexItem(Item);
    if (Result != 0) return Result;
  } else {
    const std::int32_t RecNo = NeighbourRecordNo(Forward);
    if (RecNo < 1) return kVdbEndOfWalk;
    SetRecordRef(Item, RecNo);
  }
  return InRange(Item) ? 0 : kVdbEndOfWalk;
}

std::int32_t TVdbAccessor::EndRecordNo(bool Front) {
  if (FCurrentAccessType == tatBookmarks) {
    const std::int32_t Slot = Front ? FBookmarks->FindFirst() : FBookmarks->FindLast();
    return Slot < 0 ? 0 : FBookmarks->GetItem(Slot);
  }
  if (FCurrentAccessType != tatRecordNo || FRelation->RecordCount() <= 0) return 0;
  if (Front)
    return IsBoundSet(FRangeLowerBound) ? RecordRef(FRangeLowerBound)
                                        : FRelation->GetFirstRecordNo();
  const std::int32_t Last = FRelation->GetLastRecordNo();
  return IsBoundSet(FRangeUpperBound) ? std::min(Last, RecordRef(FRangeUpperBound)) : Last;
}

std::int32_t TVdbAccessor::NeighbourRecordNo(bool Forward) {
  if (FCurrentAccessType == tatBookmarks) {
    std::int32_t Slot = CurrentBookmarkSlot();
    // A current record that is not in the list: the walk starts again at its front.
    if (Slot < 0) {
      Slot = Forward ? FBookmarks->FindFirst() : FBookmarks->FindLast();
    } else {
      Slot = Forward ? FBookmarks->FindNext(Slot) : FBookmarks->FindPrev(Slot);
    }
    return Slot < 0 ? 0 : FBookmarks->GetItem(Slot);
  }
  if (FCurrentAccessType != tatRecordNo || FCurrentRecordNo < 1) return 0;
  return Forward ? FRelation->GetNextRecordNo(FCurrentRecordNo)
                 : FRelation->GetPrevRecordNo(FCurrentRecordNo);
}

std::int16_t TVdbAccessor::FirstIndexItem(std::vector<std::uint8_t>& Item) {
  if (!IsBoundSet(FRangeLowerBound)) {
    const std::int16_t Result = FRelation->FindFirstIndexInfo(FCurrentIndexNo, AsInfo(Item));
    return Result == 1 ? kVdbEndOfWalk : Result;
  }
  FSortInfoWorkBuffer = FRangeLowerBound;
  SetRecordRef(FSortInfoWorkBuffer, 0);  // before every entry with the bound's key
  const std::int16_t Result =
      FRelation->FindSortInfo(FCurrentIndexNo, AsInfo(FSortInfoWorkBuffer), AsInfo(Item));
  if (Result < 0) return Result;
  return Result == 0 ? kVdbEndOfWalk : 0;
}

std::int16_t TVdbAccessor::LastIndexItem(std::vector<std::uint8_t>& Item) {
  std::int16_t Result;
  if (IsBoundSet(FRangeUpperBound)) {
    // Behind every entry with the bound's key: the entry found is the first one beyond them.
    FSortInfoWorkBuffer = FRangeUpperBound;
    SetRecordRef(FSortInfoWorkBuffer, std::numeric_limits<std::int32_t>::max());
    Result = FRelation->FindSortInfo(FCurrentIndexNo, AsInfo(FSortInfoWorkBuffer), AsInfo(Item));
    if (Result < 0) return Result;
    if (Result == 3) return 0;
    if (Result == 1) {
      Result = FRelation->FindPrevIndexInfo(FCurrentIndexNo, AsInfo(Item));
      return Result == 1 ? kVdbEndOfWalk : Result;
    }
    // Nothing lies beyond the bound: the last entry.
  }
  Result = FRelation->FindLastIndexInfo(FCurrentIndexNo, AsInfo(Item));
  return Result == 1 ? kVdbEndOfWalk : Result;
}

std::int16_t TVdbAccessor::NextIndexItem(std::vector<std::uint8_t>& Item) {
  const std::int32_t RecNo = FCurrentRecordNo;
  std::int16_t Result;
  if (RecNo == std::numeric_limits<std::int32_t>::max()) {
    Result = FRelation->FindNextIndexInfo(FCurrentIndexNo, AsInfo(Item));
    return Result == 1 ? kVdbEndOfWalk : Result;
  }
  // The first entry after (current key, current record number); this holds even when the
  // current entry is no longer in the index.
  FSortInfoWorkBuffer = FCurrentIndexInfo;
  SetRecordRef(FSortInfoWorkBuffer, RecNo + 1);
  Result = FRelation->FindSortInfo(FCurrentIndexNo, AsInfo(FSortInfoWorkBuffer), AsInfo(Item));
  if (Result < 0) return Result;
  return Result == 0 ? kVdbEndOfWalk : 0;
}

std::int16_t TVdbAccessor::PrevIndexItem(std::vector<std::uint8_t>& Item) {
  // The entry before the first one at or after (current key, current record number).
  FSortInfoWorkBuffer = FCurrentIndexInfo;
  std::int16_t Result =
      FRelation->FindSortInfo(FCurrentIndexNo, AsInfo(FSortInfoWorkBuffer), AsInfo(Item));
  if (Result < 0) return Result;
  Result = Result == 0 ? FRelation->FindLastIndexInfo(FCurrentIndexNo, AsInfo(Item))
                       : FRelation->FindPrevIndexInfo(FCurrentIndexNo, AsInfo(Item));
  return Result == 1 ? kVdbEndOfWalk : Result;
}

std::int32_t TVdbAccessor::CurrentBookmarkSlot() const {
  if (FCurrentRecordNo < 1) return -1;
  // The sequence number tells the slot when it still matches; else search.
  if (FCurrentSequenceNo > 0) {
    const std::int32_t Ordinal =
        FReverse ? FBookmarks->Count() - FCurrentSequenceNo : FCurrentSequenceNo - 1;
    const std::int32_t Slot = FBookmarks->FindSlotOfSequence(Ordinal);
    if (Slot >= 0 && FBookmarks->GetItem(Slot) == FCurrentRecordNo) return Slot;
  }
  return FBookmarks->Find(FCurrentRecordNo);
}

void TVdbAccessor::MoveToItem(const std::vector<std::uint8_t>& Item) {
  const std::int32_t RecNo = RecordRef(Item);
  if (RecNo != FCurrentRecordNo && FCurrentEditState == esBrowse) ClearPendingBlobs();
  FCurrentIndexInfo = Item;
  FCurrentRecordNo = RecNo;
  FCurrentRecBufUpdated = false;
}

std::int16_t TVdbAccessor::StepTo(bool Forward) {
  std::vector<std::uint8_t> Item;
  // A reverse walk goes the underlying order backwards.
  const std::int16_t Result = FindNeighbourItem(Forward != FReverse, Item);
  if (Result == 0) MoveToItem(Item);
  return Result;
}

std::int16_t TVdbAccessor::GoToEnd(bool Front) {
  std::vector<std::uint8_t> Item;
  const std::int16_t Result = FindEndItem(Front != FReverse, Item);
  if (Result == 0) MoveToItem(Item);
  return Result;
}

// =============================================================================================
// Walking

std::int32_t TVdbAccessor::WalkLength() {
  if (HasRange()) return -1;
  switch (FCurrentAccessType) {
    case tatRecordNo:
      return FRelation->RecordCount();
    case tatBookmarks:
      return FBookmarks->Count();
    case tatIndex: {
      const TVdbIndexFile* Index = FRelation->GetIndexFile(FCurrentIndexNo);
      return Index != nullptr ? Index->ItemCount() : -1;
    }
    case tatNone:
      break;
  }
  return -1;
}

std::int16_t TVdbAccessor::WalkToEnd(bool Front) {
  std::int16_t Result = GoToEnd(Front);
  if (Result < 0) {
    ToBoT();
    return Result == kVdbEndOfWalk ? Fail(kVdbErrRecordNotFound) : Result;
  }
  std::int32_t SequenceNo = Front ? 1 : WalkLength();
  // Records the filter rejects, or on which it fails, are skipped.
  while (TestFilter() != 1) {
    Result = StepTo(Front);
    if (Result < 0) {
      ToBoT();
      return Result == kVdbEndOfWalk ? Fail(kVdbErrRecordNotFound) : Result;
    }
    if (SequenceNo > 0) SequenceNo += Front ? 1 : -1;
  }
  FCurrentSequenceNo = SequenceNo > 0 ? SequenceNo : -1;
  FRecordDeleted = false;
  return 0;
}

std::int16_t TVdbAccessor::First() { return WalkToEnd(true); }

std::int16_t TVdbAccessor::Last() { return WalkToEnd(false); }

std::int16_t TVdbAccessor::WalkStep(bool Forward) {
  if (Forward && FCurrentRecordNo == -1) return First();
  if (!Forward && FCurrentRecordNo == -1) return Fail(kVdbErrRecordNotFound);
  Push();
  try {
    return WalkStepFromSaved(Forward);
  } catch (...) {
    Pop();  // an exception of another class than the engine's passes through
    throw;
  }
}

std::int16_t TVdbAccessor::WalkStepFromSaved(bool Forward) {
  std::int32_t SequenceNo = FCurrentSequenceNo;
  for (;;) {
    const std::int16_t Result = StepTo(Forward);
    if (Result < 0) {
      Pop();
      if (Result != kVdbEndOfWalk) return Result;
      if (Forward && FCurrentEditState == esAppend && FWorkRecordNo == 0) {
        // Running off the end while a record is appended lands on the new record.
        SetCurrent(0);
        FCurrentSequenceNo = -2;
        return 0;
      }
      return Fail(kVdbErrRecordNotFound);
    }
    if (SequenceNo > 0) SequenceNo += Forward ? 1 : -1;
    const int Passed = TestFilter();
    if (Passed == 1) break;
    if (Passed < 0) {
      Pop();
      return static_cast<std::int16_t>(Passed);
    }
  }
  FPositionStack.pop_back();
  FCurrentSequenceNo = SequenceNo > 0 ? SequenceNo : -1;
  FRecordDeleted = false;
  return 0;
}

std::int16_t TVdbAccessor::Next() { return WalkStep(true); }

std::int16_t TVdbAccessor::Prior() { return WalkStep(false); }

std::int16_t TVdbAccessor::MoveBy(std::int32_t Delta) {
  if (Delta == 0) {
    if (FCurrentRecordNo > FRelation->RecordCount()) ToBoT();
    if (FCurrentRecordNo == -1) return Fail(kVdbErrRecordNotFound);
    FCurrentRecBufUpdated = false;
    if (IsValidRecord()) return 0;
    if (WalkStep(true) == 0) return 0;
    return Last();
  }
  const bool Forward = Delta > 0;
  for (std::int64_t Steps = std::llabs(static_cast<std::int64_t>(Delta)); Steps > 0; --Steps) {
    const std::int16_t Result = WalkStep(Forward);
    if (Result < 0) return Result;
  }
  return 0;
}

bool TVdbAccessor::IsValidRecord() {
  if (FCurrentRecordNo < 0 || FCurrentRecordNo > FRelation->RecordCount()) return false;
  if (FCurrentRecordNo == 0) return FCurrentEditState == esAppend && FWorkRecordNo == 0;
  switch (FCurrentAccessType) {
    case tatBookmarks:
      if (FBookmarks->Find(FCurrentRecordNo) < 0) return false;
      break;
    case tatIndex:
      if (HasRange()) {
        if (ReadCurrent() < 0) return false;
        FRelation->CalcIndexInfo(FCurrentRecBuf.data(), FCurrentIndexNo,
                                 AsInfo(FSortInfoWorkBuffer), FCurrentRecordNo);
        if (!InRange(FSortInfoWorkBuffer)) return false;
      }
      break;
    case tatRecordNo:
      if (!InRange(FCurrentIndexInfo)) return false;
      break;
    case tatNone:
      return false;
  }
  return TestFilter() == 1;
}

// =============================================================================================
// Counting and positioning by number

std::int32_t TVdbAccessor::GetRecordCount() {
  const bool Ranged = HasRange();
  if (!FFilter && !Ranged) {
    switch (FCurrentAccessType) {
      case tatRecordNo:
        return FRelation->RecordCount();
      case tatBookmarks:
        return FBookmarks->Count();
      case tatIndex: {
        const std::int16_t Opened = FRelation->CheckIndexOpen(FCurrentIndexNo);
        if (Opened < 0) return Opened;
        return FRelation->GetIndexFile(FCurrentIndexNo)->ItemCount();
      }
      case tatNone:
        return 0;
    }
  }
  if (FCurrentAccessType == tatNone) return 0;
  // The limit is on the relation's own size, not on the result.
  if (FRelation->RecordCount() >= kVdbCountWalkLimit) return -1;
  const std::int16_t Locked = FRelation->BeginRead(true);
  if (Locked < 0) return Locked;
  Push();
  std::int32_t Count = 0;
  std::int16_t Result = 0;
  try {
    Result = First();
    while (Result == 0) {
      ++Count;
      Result = WalkStep(true);
    }
  } catch (...) {
    Pop();
    FRelation->EndRead();
    throw;
  }
  Pop();
  FRelation->EndRead();
  if (Result != kVdbEndOfWalk) return Result;
  return Count;
}

std::int16_t TVdbAccessor::GotoRecord(std::int32_t RecordNo) {
  if (RecordNo < -1 || RecordNo > FRelation->RecordCount()) return Fail(kVdbErrRecordNotFound);
  if (RecordNo == -1) {
    ToBoT();
    FRecordDeleted = false;
    return 0;
  }
  if (RecordNo == 0) {
    if (FCurrentEditState != esAppend || FWorkRecordNo != 0) return Fail(kVdbErrRecordNotFound);
    SetCurrent(0);
    FCurrentSequenceNo = -2;
    FRecordDeleted = false;
    return 0;
  }
  const std::int32_t Previous = FCurrentRecordNo;
  SetCurrent(RecordNo);
  const std::int16_t Keyed = Guarded(*FRelation, [&]() -> std::int16_t {
    ComputeCurrentKey();
    return 0;
  });
  if (Keyed < 0) {
    SetCurrent(Previous);
    return Keyed;
  }
  FCurrentSequenceNo = -1;
  FRecordDeleted = false;
  return 0;
}

std::int32_t TVdbAccessor::GotoSequenceNo(std::int32_t SequenceNo) {
  switch (FCurrentAccessType) {
    case tatRecordNo: {
      const std::int32_t RecNo = FReverse ? FRelation->RecordCount() - SequenceNo + 1 : SequenceNo;
      if (SequenceNo < 1 || SequenceNo > FRelation->RecordCount() || GotoRecord(RecNo) < 0)
        return Fail(kVdbErrRecordNotFound);
      FCurrentSequenceNo = SequenceNo;
      return FCurrentRecordNo;
    }
    case tatBookmarks: {
      const std::int32_t Ordinal = FReverse ? FBookmarks->Count() - SequenceNo : SequenceNo - 1;
      const std::int32_t Slot = FBookmarks->FindSlotOfSequence(Ordinal);
      if (Slot < 0) return Fail(kVdbErrRecordNotFound);
      SetCurrent(FBookmarks->GetItem(Slot));
      FCurrentSequenceNo = SequenceNo;
      FRecordDeleted = false;
      return FCurrentRecordNo;
    }
    case tatIndex:
      break;
    case tatNone:
      return Fail(kVdbErrRecordNotFound);
  }
  std::int16_t Result;
  if (SequenceNo <= 1) {
    Result = First();
    return Result < 0 ? Result : FCurrentRecordNo;
  }
  const std::int32_t Count = GetRecordCount();
  if (Count < -1) return Count;
  if (Count == -1 || SequenceNo >= Count) {
    Result = Last();
    return Result < 0 ? Result : FCurrentRecordNo;
  }
  Result = FRelation->BeginRead(true);
  if (Result < 0) return Result;
  const std::int64_t FromFirst = SequenceNo - 1;
  const std::int64_t FromLast = static_cast<std::int64_t>(Count) - SequenceNo;
  const std::int64_t FromCurrent =
      FCurrentSequenceNo > 0
          ? std::llabs(static_cast<std::int64_t>(SequenceNo) - FCurrentSequenceNo)
          : std::numeric_limits<std::int64_t>::max();
  if (FromCurrent < std::min(FromFirst, FromLast)) {
    Result = MoveBy(SequenceNo - FCurrentSequenceNo);
  } else if (FromFirst <= FromLast) {
    Result = First();
    if (Result == 0) Result = MoveBy(static_cast<std::int32_t>(FromFirst));
  } else {
    Result = Last();
    if (Result == 0) Result = MoveBy(static_cast<std::int32_t>(-FromLast));
  }
  FRelation->EndRead();
  return Result < 0 ? Result : FCurrentRecordNo;
}

std::int32_t TVdbAccessor::IndexRank(const std::vector<std::uint8_t>& Item) {
  TVdbIndexFile* Index = FRelation->GetIndexFile(FCurrentIndexNo);
  if (Index == nullptr) return -2;
  const std::int32_t Rank = Index->CalcItemSequenceNo(Item.data());
  return Rank > 0 ? Rank : -2;
}

std::int32_t TVdbAccessor::GetSequenceNo() {
  if (FCurrentSequenceNo != -1 || FCurrentRecordNo < 1) return FCurrentSequenceNo;
  std::int32_t SequenceNo = -2;
  switch (FCurrentAccessType) {
    case tatRecordNo:
      SequenceNo = FReverse ? FRelation->RecordCount() - FCurrentRecordNo + 1 : FCurrentRecordNo;
      break;
    case tatBookmarks: {
      const std::int32_t Ordinal = FBookmarks->FindSequence(FCurrentRecordNo);
      if (Ordinal >= 0) SequenceNo = FReverse ? FBookmarks->Count() - Ordinal : Ordinal + 1;
      break;
    }
    case tatIndex: {
      if (FRelation->BeginRead(true) < 0) return -2;
      SequenceNo = IndexSequenceNo();
      FRelation->EndRead();
      break;
    }
    case tatNone:
      break;
  }
  FCurrentSequenceNo = SequenceNo;
  return SequenceNo;
}

std::int32_t TVdbAccessor::IndexSequenceNo() {
  const std::int32_t Rank = IndexRank(FCurrentIndexInfo);
  if (Rank < 1) return -2;
  // Ranks count from the first entry of the index; a range starts the walk later.
  std::vector<std::uint8_t> Bound;
  std::int32_t LowRank = 1;
  if (IsBoundSet(FRangeLowerBound)) {
    if (FindEndItem(true, Bound) != 0) return -2;
    LowRank = IndexRank(Bound);
  }
  if (!FReverse) return LowRank < 1 ? -2 : Rank - LowRank + 1;
  std::int32_t HighRank = FRelation->GetIndexFile(FCurrentIndexNo)->ItemCount();
  if (IsBoundSet(FRangeUpperBound)) {
    if (FindEndItem(false, Bound) != 0) return -2;
    HighRank = IndexRank(Bound);
  }
  return HighRank < 1 ? -2 : HighRank - Rank + 1;
}

// =============================================================================================
// Saving and copying positions

void TVdbAccessor::Push() {
  TSavedPosition Saved;
  Saved.UpperBound = FRangeUpperBound;
  Saved.LowerBound = FRangeLowerBound;
  Saved.CurrentKey = FCurrentIndexInfo;
  Saved.IndexNo = FCurrentIndexNo;
  Saved.AccessType = FCurrentAccessType;
  Saved.Reverse = FReverse;
  Saved.BufferValid = FCurrentRecBufUpdated;
  Saved.RecordDeleted = FRecordDeleted;
  Saved.SequenceNo = FCurrentSequenceNo;
  Saved.RecordNo = FCurrentRecordNo;
  FPositionStack.push_back(std::move(Saved));
}

void TVdbAccessor::Pop() {
  if (FPositionStack.empty()) return;
  TSavedPosition& Saved = FPositionStack.back();
  if (Saved.RecordNo != FCurrentRecordNo && FCurrentEditState == esBrowse) ClearPendingBlobs();
  FCurrentRecordNo = Saved.RecordNo;
  FCurrentSequenceNo = Saved.SequenceNo;
  FRecordDeleted = Saved.RecordDeleted;
  FReverse = Saved.Reverse;
  FCurrentAccessType = Saved.AccessType;
  FCurrentIndexNo = Saved.IndexNo;
  FCurrentIndexInfo = std::move(Saved.CurrentKey);
  FRangeLowerBound = std::move(Saved.LowerBound);
  FRangeUpperBound = std::move(Saved.UpperBound);
  FSortInfoWorkBuffer.assign(FCurrentIndexInfo.size(), 0);
  FCurrentRecBufUpdated = false;
  FPositionStack.pop_back();
}

void TVdbAccessor::TakeOver(TVdbAccessor& Accessor, int Mode) {
  if (&Accessor == this) return;
  const bool SameOrder = Accessor.FCurrentAccessType == FCurrentAccessType &&
                         Accessor.FCurrentIndexNo == FCurrentIndexNo;
  if (Mode != tomPosition) {
    Cancel();  // an edit of this accessor's own would otherwise keep its lock
    FCurrentEditState = Accessor.FCurrentEditState;
    FWorkRecordNo = Accessor.FWorkRecordNo;
    FWorkRecordId = Accessor.FWorkRecordId;
    FWorkRecBuf = Accessor.FWorkRecBuf;
    FSavedRecordNo = Accessor.FSavedRecordNo;
    FCurrentAccessType = Accessor.FCurrentAccessType;
    FCurrentIndexNo = Accessor.FCurrentIndexNo;
    FReverse = Accessor.FReverse;
    FRangeLowerBound = Accessor.FRangeLowerBound;
    FRangeUpperBound = Accessor.FRangeUpperBound;
    FSortInfoWorkBuffer.assign(Accessor.FCurrentIndexInfo.size(), 0);
    if (Mode == tomCopy) {
      FBookmarks->CopyFrom(*Accessor.FBookmarks);
    } else {
      FBookmarks = std::move(Accessor.FBookmarks);
      Accessor.FBookmarks = std::make_unique<TVdbBookmarkList>(1000);
      // The edit (and its record lock) moves along: only one accessor may end it.
      Accessor.FCurrentEditState = esBrowse;
      Accessor.FWorkRecordNo = -1;
      Accessor.FWorkRecBuf.clear();
    }
  }
  FCurrentRecordNo = Accessor.FCurrentRecordNo;
  FCurrentSequenceNo = Accessor.FCurrentSequenceNo;
  FRecordDeleted = Accessor.FRecordDeleted;
  FPendingBlobs = Accessor.FPendingBlobs;
  FCurrentRecBufUpdated = false;
  if (Accessor.FCurrentRecBufUpdated &&
      Accessor.FCurrentRecBuf.size() == static_cast<std::size_t>(FRelation->RecordSize())) {
    if (FCurrentRecBuf.size() != Accessor.FCurrentRecBuf.size()) ReadCurrent();
    std::copy(Accessor.FCurrentRecBuf.begin(), Accessor.FCurrentRecBuf.end(),
              FCurrentRecBuf.begin());
    FCurrentRecBufUpdated = true;
  }
  if (Mode != tomPosition || SameOrder) {
    FCurrentIndexInfo = Accessor.FCurrentIndexInfo;
  } else {
    // Another order: the key of the record in this accessor's own order.
    FCurrentSequenceNo = -1;
    try {
      ComputeCurrentKey();
    } catch (const EVdbEngine&) {
      SetRecordRef(FCurrentIndexInfo, FCurrentRecordNo);
    }
  }
}

void TVdbAccessor::Reset() {
  Cancel();
  FFilter.reset();
  FBookmarks->Clear();
  FCurrentAccessType = tatRecordNo;
  FCurrentIndexNo = kVdbNoIndex;
  FReverse = false;
  AllocateKeyBuffers();
  ToBoT();
  FRecordDeleted = false;
}

// =============================================================================================
// Memos and blobs

TVdbBlobData* TVdbAccessor::FindPendingBlob(std::int16_t FieldNo) {
  for (TVdbBlobData& Blob : FPendingBlobs)
    if (Blob.FieldNo == FieldNo && FieldNo != 0) return &Blob;
  return nullptr;
}

TVdbBlobData& TVdbAccessor::ReservePendingBlob(std::int16_t FieldNo) {
  TVdbBlobData* Blob = FindPendingBlob(FieldNo);
  if (Blob == nullptr) Blob = FindPendingBlob(0);
  for (TVdbBlobData& Entry : FPendingBlobs)
    if (Blob == nullptr && Entry.FieldNo == 0) Blob = &Entry;
  if (Blob == nullptr) Blob = &FPendingBlobs.emplace_back();
  *Blob = TVdbBlobData{};
  Blob->FieldNo = FieldNo;
  return *Blob;
}

void TVdbAccessor::ClearPendingBlobs() {
  FPendingBlobs.clear();
  FBlobTransferFieldNo = 0;
  FBlobTransferTransient = false;
}

std::int32_t TVdbAccessor::PendingBlobSize(const TVdbBlobData& Blob, std::int16_t ColumnType) {
  if (ColumnType == kTypeWideMemo) return static_cast<std::int32_t>(Blob.WideData.size() * 2);
  return static_cast<std::int32_t>(Blob.AnsiData.size());
}

std::int32_t TVdbAccessor::InitGetBlob(std::int16_t FieldNo, std::int32_t /*MaxSize*/,
                                       std::int16_t& BlobType) {
  if (FieldNo < 1 || FieldNo > FRelation->GetColumnCount()) return Fail(kVdbErrBlobFieldExpected);
  const std::int16_t ColumnType = FRelation->GetColumnDef(FieldNo).GetColumnType();
  if (ColumnType != kTypeMemo && ColumnType != kTypeBlob && ColumnType != kTypeWideMemo)
    return Fail(kVdbErrBlobFieldExpected);
  if (TVdbBlobData* Pending = FindPendingBlob(FieldNo)) {
    BlobType = Pending->BlobType;
    FBlobTransferFieldNo = FieldNo;
    FBlobTransferWriting = false;
    FBlobTransferTransient = false;
    return PendingBlobSize(*Pending, ColumnType);
  }
  std::int16_t Result = FRelation->BeginRead(true);
  if (Result < 0) return Result;
  FCurrentRecBufUpdated = false;
  const std::uint8_t* Record = nullptr;
  Result = Guarded(*FRelation, [&]() -> std::int16_t {
    Record = GetRecordPtr();
    return 0;
  });
  if (Result < 0) {
    FRelation->EndRead();
    return Result;
  }
  TVdbBlobData& Blob = ReservePendingBlob(FieldNo);
  switch (ColumnType) {
    case kTypeMemo:
      Result = FRelation->ReadMemoString(Record, FieldNo, Blob.AnsiData);
      Blob.BlobType = 0;
      break;
    case kTypeBlob:
      Result = FRelation->ReadBlobData(Record, FieldNo, Blob.AnsiData, Blob.BlobType);
      break;
    default:
      Result = FRelation->ReadBlobDataWide(Record, FieldNo, Blob.WideData);
      Blob.BlobType = 0;
      break;
  }
  FRelation->EndRead();
  if (Result < 0) {
    Blob.FieldNo = 0;
    return Result;
  }
  BlobType = Blob.BlobType;
  const std::int32_t Size = PendingBlobSize(Blob, ColumnType);
  if (Size < 1) {
    Blob.FieldNo = 0;
    return Size;
  }
  FBlobTransferFieldNo = FieldNo;
  FBlobTransferWriting = false;
  FBlobTransferTransient = true;
  return Size;
}

std::int32_t TVdbAccessor::GetBlobChunk(std::int32_t Offset, std::int32_t Count, void* Buffer) {
  const TVdbBlobData* Blob = FindPendingBlob(FBlobTransferFieldNo);
  if (Blob == nullptr || Offset < 0 || Count <= 0) return 0;
  const bool Wide = FRelation->GetColumnDef(Blob->FieldNo).GetColumnType() == kTypeWideMemo;
  const auto* Bytes = Wide ? reinterpret_cast<const std::uint8_t*>(Blob->WideData.data())
                           : reinterpret_cast<const std::uint8_t*>(Blob->AnsiData.data());
  const std::int64_t Size = Wide ? static_cast<std::int64_t>(Blob->WideData.size()) * 2
                                 : static_cast<std::int64_t>(Blob->AnsiData.size());
  if (Offset >= Size) return 0;
  const std::int32_t Copied =
      static_cast<std::int32_t>(std::min<std::int64_t>(Count, Size - Offset));
  std::memcpy(Buffer, Bytes + Offset, static_cast<std::size_t>(Copied));
  return Copied;
}

void TVdbAccessor::DoneGetBlob() {
  if (FBlobTransferTransient)
    if (TVdbBlobData* Blob = FindPendingBlob(FBlobTransferFieldNo)) Blob->FieldNo = 0;
  FBlobTransferFieldNo = 0;
  FBlobTransferTransient = false;
  FBlobTransferWriting = false;
}

// A memo read whole: the transfer buffer holds it, cut to MaxLength characters when that is set.
template <class TText>
std::int32_t TVdbAccessor::GetWholeText(std::int16_t FieldNo, TText& Value, std::int32_t MaxLength,
                                        TText TVdbBlobData::*Text) {
  Value.clear();
  std::int16_t BlobType = 0;
  const std::int32_t Size = InitGetBlob(FieldNo, MaxLength, BlobType);
  if (Size <= 0) return Size;
  if (TVdbBlobData* Blob = FindPendingBlob(FieldNo)) {
    // A text read for this call alone is handed over rather than copied; the transfer buffer
    // keeps the caller's old one for the next read.
    if (FBlobTransferTransient) {
      std::swap(Value, Blob->*Text);
    } else {
      Value = Blob->*Text;
    }
    if (MaxLength >= 0 && Value.size() > static_cast<std::size_t>(MaxLength))
      Value.resize(static_cast<std::size_t>(MaxLength));
  }
  DoneGetBlob();
  return static_cast<std::int32_t>(Value.size());
}

std::int32_t TVdbAccessor::GetMemo(std::int16_t FieldNo, std::string& Value,
                                   std::int32_t MaxLength) {
  return GetWholeText(FieldNo, Value, MaxLength, &TVdbBlobData::AnsiData);
}

std::int32_t TVdbAccessor::GetWideMemo(std::int16_t FieldNo, std::u16string& Value,
                                       std::int32_t MaxLength) {
  return GetWholeText(FieldNo, Value, MaxLength, &TVdbBlobData::WideData);
}

std::int32_t TVdbAccessor::GetBlobSize(std::int16_t FieldNo) {
  std::int16_t BlobType = 0;
  const std::int32_t Size = InitGetBlob(FieldNo, -1, BlobType);
  if (Size > 0) DoneGetBlob();
  return Size;
}

void TVdbAccessor::SetPendingMemo(std::int16_t FieldNo, std::string Value) {
  ReservePendingBlob(FieldNo).AnsiData = std::move(Value);
}

void TVdbAccessor::SetPendingWideMemo(std::int16_t FieldNo, std::u16string Value) {
  ReservePendingBlob(FieldNo).WideData = std::move(Value);
}

void TVdbAccessor::SetPendingBlob(std::int16_t FieldNo, std::string Data, std::int16_t BlobType) {
  TVdbBlobData& Blob = ReservePendingBlob(FieldNo);
  Blob.AnsiData = std::move(Data);
  Blob.BlobType = BlobType;
}

// =============================================================================================
// Write path

std::int16_t TVdbAccessor::Edit() {
  if (!FRelation->HasRight(tarEdit)) return Fail(kVdbErrNoWritePermission, {FRelation->Name()});
  Cancel();
  if (FCurrentRecordNo < 1 || FRecordDeleted) return Fail(kVdbErrRecordNotFound);
  const TVdbServices* Services = FRelation->Services();
  const auto Timeout = std::chrono::milliseconds(Services ? Services->LockingTimeout() : 0);
  const auto Start = std::chrono::steady_clock::now();
  for (;;) {
    std::int16_t Result = FRelation->BeginRead(true);
    if (Result < 0) return Result;
    Result = FRelation->CheckEdit(FCurrentRecordNo, this);
    FRelation->EndRead();
    if (Result == 0) break;
    if (std::chrono::steady_clock::now() - Start >= Timeout) return Result;
    std::this_thread::sleep_for(kEditRetryPause);
  }
  FCurrentRecBufUpdated = false;
  const std::int16_t Result = ReadCurrent();
  if (Result < 0) {
    FRelation->EndEdit(FCurrentRecordNo);
    return Result;
  }
  FWorkRecBuf = FCurrentRecBuf;
  FWorkRecordNo = FCurrentRecordNo;
  FWorkRecordId = FRelation->RecordIdFieldNo() > 0 ? FRelation->GetRecordId(FWorkRecBuf.data()) : 0;
  FCurrentEditState = esEdit;
  return 0;
}

std::int16_t TVdbAccessor::Append() {
  if (!FRelation->HasRight(tarAppend)) return Fail(kVdbErrPermissionNotGranted);
  Cancel();
  FSavedRecordNo = FCurrentRecordNo;
  FWorkRecBuf.assign(static_cast<std::size_t>(std::max(FRelation->RecordSize(), 0)), 0);
  // The record id is taken once, below: a preset initialisation would take one of its own.
  std::int16_t Result = FRelation->InitRecord(FWorkRecBuf.data(), false);
  // A new row starts with the columns' default values.
  constexpr TVdbCalculationPurposes kDefaults = 1u << clpInitialization;
  if (Result >= 0 && (FRelation->CalculationPurposes() & kDefaults) != 0)
    Result = FRelation->BerechneFormeln(FWorkRecBuf.data(), kDefaults);
  if (Result >= 0 && FRelation->RecordIdFieldNo() > 0)
    Result = FRelation->SetAutoNum(FWorkRecBuf.data());
  if (Result < 0) {
    FWorkRecBuf.clear();
    return Result;
  }
  FWorkRecordNo = 0;
  FWorkRecordId = FRelation->RecordIdFieldNo() > 0 ? FRelation->GetRecordId(FWorkRecBuf.data()) : 0;
  ClearPendingBlobs();
  FCurrentEditState = esAppend;
  return 0;
}

std::int16_t TVdbAccessor::Post() {
  if (FCurrentEditState == esBrowse) return 0;
  if (FCurrentEditState == esEdit) {
    if (FWorkRecordNo < 1 || FWorkRecordNo != FCurrentRecordNo ||
        FWorkRecordNo > FRelation->RecordCount())
      return Fail(kVdbErrRecordNotFound);
    std::int16_t Result = FRelation->BeginUpgrade(true);
    if (Result < 0) return Result;
    std::vector<std::uint8_t> Original(FWorkRecBuf.size(), 0);
    Result = FRelation->ReadRecord(FWorkRecordNo, Original.data());
    if (Result >= 0)
      Result = FRelation->BerechneFormeln(FWorkRecBuf.data(),
                                          static_cast<TVdbCalculationPurposes>(1u << clpUpdating));
    if (Result >= 0)
      Result = FRelation->ReplaceRecord(FWorkRecBuf.data(), Original.data(), FWorkRecordNo,
                                        &FPendingBlobs);
    FRelation->EndUpgrade();
    if (Result < 0) return Result;
    const std::int32_t RecNo = FWorkRecordNo;
    FRelation->EndEdit(RecNo);
    FinishEdit();
    SetCurrent(RecNo);
    return RefreshKey();
  }
  std::int16_t Result = FRelation->BeginUpgrade(true);
  if (Result < 0) return Result;
  std::int32_t RecNo = FRelation->BerechneFormeln(
      FWorkRecBuf.data(), static_cast<TVdbCalculationPurposes>(1u << clpAppending));
  if (RecNo >= 0) RecNo = FRelation->AppendRecord(FWorkRecBuf.data(), &FPendingBlobs);
  if (RecNo >= 0 && FRelation->RecordIdFieldNo() > 0) FRelation->AdjustRecordId(FWorkRecBuf.data());
  FRelation->EndUpgrade();
  if (RecNo < 0) return static_cast<std::int16_t>(RecNo);
  FinishEdit();
  if (FCurrentAccessType == tatBookmarks) FBookmarks->Append(RecNo);
  SetCurrent(RecNo);
  FCurrentSequenceNo = -1;
  return RefreshKey();
}

std::int16_t TVdbAccessor::RefreshKey() {
  return Guarded(*FRelation, [&]() -> std::int16_t {
    ComputeCurrentKey();
    return 0;
  });
}

void TVdbAccessor::FinishEdit() {
  FCurrentEditState = esBrowse;
  FWorkRecordNo = -1;
  FWorkRecordId = 0;
  FWorkRecBuf.clear();
  ClearPendingBlobs();
}

std::int16_t TVdbAccessor::Cancel() {
  if (FCurrentEditState == esEdit) {
    if (FWorkRecordNo > 0) FRelation->EndEdit(FWorkRecordNo);
    FinishEdit();
  } else if (FCurrentEditState == esAppend) {
    if (FWorkRecordId != 0 && FRelation->RecordIdFieldNo() > 0)
      FRelation->CancelAutoNum(FWorkRecordId);
    const std::int32_t Saved = FSavedRecordNo;
    FinishEdit();
    if (FCurrentRecordNo == 0) {
      SetCurrent(Saved);
      FCurrentSequenceNo = -1;
      return RefreshKey();
    }
  }
  return 0;
}

std::int16_t TVdbAccessor::DeleteRecord() {
  if (FCurrentRecordNo < 1 || FRecordDeleted) return Fail(kVdbErrRecordNotFound);
  Cancel();
  std::int16_t Result = FRelation->BeginUpgrade(true);
  if (Result < 0) return Result;
  const std::int32_t RecNo = FCurrentRecordNo;
  Push();
  Result = ReadCurrent();
  if (Result >= 0) {
    FWorkRecBuf = FCurrentRecBuf;
    Result = FRelation->DeleteRecord(FWorkRecBuf.data(), RecNo);
  }
  FRelation->EndUpgrade();
  FWorkRecBuf.clear();
  if (Result < 0) {
    Pop();  // back on the record that could not be deleted
    return Result;
  }
  FPositionStack.pop_back();
  return 0;
}

// =============================================================================================
// Notifications of the relation

void TVdbAccessor::RecordDeleted(std::int32_t RecNo, std::int32_t MovedRecNo) {
  if (MovedRecNo == RecNo) MovedRecNo = 0;
  if (RecNo == FCurrentRecordNo && RecNo > 0) {
    MoveOffDeleted(RecNo, MovedRecNo);
    FRecordDeleted = true;
  }
  // The moved record keeps its place under its new number.
  if (FCurrentRecordNo == MovedRecNo && MovedRecNo > 0) SetCurrent(RecNo);
  if (FWorkRecordNo == RecNo && FCurrentEditState == esEdit) FWorkRecordNo = -1;
  if (FWorkRecordNo == MovedRecNo && MovedRecNo > 0) FWorkRecordNo = RecNo;
  if (FSavedRecordNo == MovedRecNo && MovedRecNo > 0) FSavedRecordNo = RecNo;
  // The deleted number leaves the list first; then the moved record takes it over.
  FBookmarks->Delete(RecNo);
  if (MovedRecNo > 0) FBookmarks->Renumber(MovedRecNo, RecNo);
  for (TSavedPosition& Saved : FPositionStack) {
    if (Saved.RecordNo == MovedRecNo && MovedRecNo > 0) {
      Saved.RecordNo = RecNo;
      SetRecordRef(Saved.CurrentKey, RecNo);
    }
    Saved.SequenceNo = -1;
  }
  if (FCurrentRecordNo > 0) FCurrentSequenceNo = -1;
  if (FOnRecordDeleted) FOnRecordDeleted(*this, RecNo, MovedRecNo);
}

void TVdbAccessor::MoveOffDeleted(std::int32_t RecNo, std::int32_t MovedRecNo) {
  std::vector<std::uint8_t> Item;
  switch (FCurrentAccessType) {
    case tatRecordNo: {
      if (FRelation->RecordCount() <= 0) {
        ToBoT();
        return;
      }
      // A record moved into the freed slot: the number now holds the following record. Else the
      // slot is gone: on to the next number, or the last one.
      std::int32_t Target = RecNo;
      if (MovedRecNo == 0) {
        Target = FRelation->GetNextRecordNo(RecNo);
        if (Target < 1) Target = FRelation->GetLastRecordNo();
      }
      if (Target < 1) {
        ToBoT();
        return;
      }
      SetCurrent(Target);
      return;
    }
    case tatBookmarks: {
      const std::int32_t Slot = FBookmarks->Find(RecNo);
      std::int32_t Target = Slot < 0 ? -1 : FBookmarks->FindNext(Slot);
      if (Target < 0 && Slot >= 0) Target = FBookmarks->FindPrev(Slot);
      if (Target < 0) {
        ToBoT();
        return;
      }
      SetCurrent(FBookmarks->GetItem(Target));
      return;
    }
    case tatIndex: {
      // The first entry at or after the deleted one's place (the index no longer holds it).
      FSortInfoWorkBuffer = FCurrentIndexInfo;
      Item.assign(FCurrentIndexInfo.size(), 0);
      std::int16_t Result =
          FRelation->FindSortInfo(FCurrentIndexNo, AsInfo(FSortInfoWorkBuffer), AsInfo(Item));
      if (Result <= 0 || !InRange(Item)) Result = FindEndItem(false, Item) == 0 ? 1 : 0;
      if (Result <= 0) {
        ToBoT();
        return;
      }
      MoveToItem(Item);
      return;
    }
    case tatNone:
      ToBoT();
      return;
  }
}

void TVdbAccessor::RecordChanged(std::int32_t RecNo) {
  if (RecNo == FCurrentRecordNo && RecNo > 0) {
    FCurrentRecBufUpdated = false;
    if (FCurrentEditState == esBrowse) ClearPendingBlobs();
    // The record keeps its place in the walk; its key in the index may have changed.
    try {
      ComputeCurrentKey();
    } catch (const EVdbEngine&) {
    }
    if (FCurrentAccessType == tatIndex) FCurrentSequenceNo = -1;
  }
  if (FOnRelationChanged) FOnRelationChanged(*this);
}

void TVdbAccessor::RelationChanged() {
  FCurrentRecBufUpdated = false;
  if (FCurrentAccessType != tatRecordNo && FCurrentRecordNo > 0) FCurrentSequenceNo = -1;
  if (FOnRelationChanged) FOnRelationChanged(*this);
}

void TVdbAccessor::RelationEmptied() {
  ToBoT();
  FBookmarks->Clear();
  FRecordDeleted = false;
  if (FCurrentEditState == esEdit) {
    FWorkRecordNo = -1;
  }
  if (FOnRelationEmptied) FOnRelationEmptied(*this);
}

void TVdbAccessor::MayDeleteIndex(std::int16_t IndexNo, bool& Allowed) {
  if (FCurrentAccessType == tatIndex && FCurrentIndexNo == IndexNo) Allowed = false;
}

void TVdbAccessor::IndexRemoved(std::int16_t IndexNo) {
  if (FCurrentAccessType != tatIndex) return;
  if (FCurrentIndexNo == IndexNo) {
    SetAccess(kVdbAccessRecordNo, FReverse);
  } else if (FCurrentIndexNo > IndexNo) {
    --FCurrentIndexNo;
  }
}

void TVdbAccessor::IndexNamesChanged() {
  // An index this accessor walks may be gone; the walk then falls back to physical order.
  if (FCurrentAccessType == tatIndex && FRelation->GetIndexFile(FCurrentIndexNo) == nullptr)
    SetAccess(kVdbAccessRecordNo, FReverse);
}

bool TVdbAccessor::IsRecordEdited(std::int32_t RecNo) {
  return FCurrentEditState == esEdit && FWorkRecordNo == RecNo && RecNo > 0;
}

}  // namespace vdb

namespace vdb {

// =============================================================================================
// Accessor sets

TVdbAccessorSet::TVdbAccessorSet(TVdbAccessorCatalog* Catalog, bool IsDefault)
    : FCatalog(Catalog), FDefault(IsDefault), FAccessors(kSlots) {}

std::unique_ptr<TVdbAccessorSet> TVdbAccessorSet::CreateWithAccessor(TVdbAccessorCatalog* Catalog,
                                                                     TVdbAccessor& Accessor) {
  auto Set = std::make_unique<TVdbAccessorSet>(Catalog, false);
  Set->AddAccessor(Accessor);
  return Set;
}

TVdbAccessorSet::~TVdbAccessorSet() { Clear(); }

TVdbAccessor& TVdbAccessorSet::Put(TVdbAccessor* Accessor, std::unique_ptr<TVdbAccessor> Owned) {
  const TVdbRelationIndex RltnIdx = Accessor->Relation().RltnIdx();
  if (!ValidIndex(RltnIdx)) throw EVdbEngine(kVdbErrTooManyTables, kxFormatArgs{});
  TSlot& Slot = FAccessors[static_cast<std::size_t>(RltnIdx - 1)];
  if (Slot.Accessor == nullptr) FRltnIdxVector.push_back(RltnIdx);
  Slot.Owned = std::move(Owned);
  Slot.Accessor = Accessor;
  if (FPrimaryRltnIdx == 0) FPrimaryRltnIdx = RltnIdx;
  return *Accessor;
}

TVdbAccessor& TVdbAccessorSet::AddAccessor(std::unique_ptr<TVdbAccessor> Accessor) {
  TVdbAccessor* Raw = Accessor.get();
  return Put(Raw, std::move(Accessor));
}

TVdbAccessor& TVdbAccessorSet::AddAccessor(TVdbAccessor& Accessor) {
  return Put(&Accessor, nullptr);
}

void TVdbAccessorSet::DeleteAccessor(TVdbRelationIndex RltnIdx) {
  if (!ValidIndex(RltnIdx)) return;
  TSlot& Slot = FAccessors[static_cast<std::size_t>(RltnIdx - 1)];
  if (Slot.Accessor == nullptr) return;
  FRltnIdxVector.erase(std::find(FRltnIdxVector.begin(), FRltnIdxVector.end(), RltnIdx));
  Slot.Owned.reset();
  Slot.Accessor = nullptr;
  if (FPrimaryRltnIdx == RltnIdx) FPrimaryRltnIdx = FRltnIdxVector.empty() ? 0 : FRltnIdxVector[0];
}

void TVdbAccessorSet::Clear() {
  for (TSlot& Slot : FAccessors) {
    Slot.Owned.reset();
    Slot.Accessor = nullptr;
  }
  FRltnIdxVector.clear();
  FPrimaryRltnIdx = 0;
}

std::vector<std::unique_ptr<TVdbAccessor>> TVdbAccessorSet::ForgetAll() {
  std::vector<std::unique_ptr<TVdbAccessor>> Owned;
  for (TSlot& Slot : FAccessors) {
    if (Slot.Owned) Owned.push_back(std::move(Slot.Owned));
    Slot.Accessor = nullptr;
  }
  FRltnIdxVector.clear();
  FPrimaryRltnIdx = 0;
  return Owned;
}

TVdbAccessor* TVdbAccessorSet::GetAccessor(TVdbRelationIndex RltnIdx) const {
  return ValidIndex(RltnIdx) ? FAccessors[static_cast<std::size_t>(RltnIdx - 1)].Accessor : nullptr;
}

TVdbAccessor* TVdbAccessorSet::GetAccessorAt(int Index) const {
  if (Index < 0 || Index >= Count()) return nullptr;
  return GetAccessor(FRltnIdxVector[static_cast<std::size_t>(Index)]);
}

std::int16_t TVdbAccessorSet::GetPrimaryRltnHdl() const {
  const TVdbAccessor* Primary = GetPrimaryAccessor();
  if (Primary == nullptr) return 0;
  const TVdbServices* Services = Primary->Relation().Services();
  return Services != nullptr ? Services->CalcRltnHdl(FPrimaryRltnIdx) : FPrimaryRltnIdx;
}

TVdbRelationSet TVdbAccessorSet::GetRltnIdxSet() const {
  TVdbRelationSet Set;
  for (TVdbRelationIndex RltnIdx : FRltnIdxVector) Set.set(static_cast<std::size_t>(RltnIdx));
  return Set;
}

int TVdbAccessorSet::RltnPosFromRltnIdx(TVdbRelationIndex RltnIdx) const {
  const auto It = std::find(FRltnIdxVector.begin(), FRltnIdxVector.end(), RltnIdx);
  return static_cast<int>(It - FRltnIdxVector.begin());
}

bool TVdbAccessorSet::SetOrder(const TRltnIdxVector& Order) {
  TRltnIdxVector Sorted = Order, Own = FRltnIdxVector;
  std::sort(Sorted.begin(), Sorted.end());
  std::sort(Own.begin(), Own.end());
  if (Sorted != Own) return false;
  FRltnIdxVector = Order;
  return true;
}

void TVdbAccessorSet::Populate(TVdbRelationIndex PrimaryRltnIdx, const std::string& Tag) {
  Clear();
  if (FCatalog == nullptr) return;
  for (TVdbRelationIndex RltnIdx = 1; RltnIdx <= kSlots; ++RltnIdx) {
    if (FCatalog->GetDefaultAccessor(RltnIdx) == nullptr) continue;
    TVdbRelation* Relation = FCatalog->GetRelation(RltnIdx);
    if (Relation == nullptr) continue;
    TVdbAccessor& Accessor = AddAccessor(std::make_unique<TVdbAccessor>(*Relation, Tag));
    Accessor.First();
  }
  if (GetAccessor(PrimaryRltnIdx) != nullptr) FPrimaryRltnIdx = PrimaryRltnIdx;
}

void TVdbAccessorSet::Initialize() {
  if (FCatalog == nullptr) return;
  for (TVdbRelationIndex RltnIdx : FRltnIdxVector) {
    TVdbAccessor* Default = FCatalog->GetDefaultAccessor(RltnIdx);
    TVdbAccessor* Accessor = GetAccessor(RltnIdx);
    if (Default != nullptr && Accessor != nullptr && Default != Accessor)
      Accessor->TakeOver(*Default, tomCopy);
  }
}

void TVdbAccessorSet::PushEasyState() {
  FEasyStates.push_back({FPrimaryRltnIdx, FRltnIdxVector});
  for (const TSlot& Slot : FAccessors)
    if (Slot.Accessor != nullptr) Slot.Accessor->Push();
}

void TVdbAccessorSet::PopEasyState() {
  if (FEasyStates.empty()) return;
  for (auto It = FAccessors.rbegin(); It != FAccessors.rend(); ++It)
    if (It->Accessor != nullptr) It->Accessor->Pop();
  TEasyState& State = FEasyStates.back();
  if (SetOrder(State.Order)) FPrimaryRltnIdx = State.PrimaryRltnIdx;
  FEasyStates.pop_back();
}

bool TVdbAccessorSet::FindInSet(const std::string& TableName, const std::string& ColumnName,
                                std::int16_t& FieldNo, TVdbRelationIndex& RltnIdx,
                                bool CaseSensitive) const {
  for (TVdbRelationIndex Candidate : FRltnIdxVector) {
    const TVdbRelation& Relation = GetAccessor(Candidate)->Relation();
    if (!TableName.empty() && !Relation.IsSameTableName(TableName)) continue;
    const std::int16_t Found = Relation.FindColumn(ColumnName, CaseSensitive);
    if (Found > 0) {
      FieldNo = Found;
      RltnIdx = Candidate;
      return true;
    }
  }
  return false;
}

bool TVdbAccessorSet::FindField(const std::string& FieldName, bool DeepSearch,
                                std::int16_t& FieldNo, TVdbRelationIndex& RltnIdx,
                                bool CaseSensitive) const {
  const std::size_t Dot = FieldName.rfind('.');
  const std::string TableName = Dot == std::string::npos ? std::string() : FieldName.substr(0, Dot);
  const std::string ColumnName = Dot == std::string::npos ? FieldName : FieldName.substr(Dot + 1);
  if (FindInSet(TableName, ColumnName, FieldNo, RltnIdx, CaseSensitive)) return true;
  if (!DeepSearch || FCatalog == nullptr) return false;
  for (TVdbRelationIndex Other = 1; Other <= kSlots; ++Other) {
    const TVdbRelation* Relation = FCatalog->GetRelation(Other);
    if (Relation == nullptr) continue;
    if (!TableName.empty() && !Relation->IsSameTableName(TableName)) continue;
    const std::int16_t Found = Relation->FindColumn(ColumnName, CaseSensitive);
    if (Found <= 0) continue;
    // A relation of the set that shows this column (a virtual relation over it).
    for (TVdbRelationIndex Candidate : FRltnIdxVector) {
      const TVdbRelation& Shown = GetAccessor(Candidate)->Relation();
      for (std::int16_t Column = 1; Column <= Shown.GetColumnCount(); ++Column) {
        TVdbRelationIndex BaseRltnIdx = 0;
        std::int16_t BaseFieldNo = 0;
        if (Shown.GetBaseField(Column, BaseRltnIdx, BaseFieldNo) >= 0 && BaseRltnIdx == Other &&
            BaseFieldNo == Found) {
          FieldNo = Column;
          RltnIdx = Candidate;
          return true;
        }
      }
    }
  }
  return false;
}

}  // namespace vdb
