#include "query/VdbCursor.h"

#include <algorithm>
#include <array>
#include <mutex>

#include "base/VdbErrors.h"
#include "base/VdbServices.h"

namespace vdb {

namespace {

struct TCursorTable {
  std::mutex Lock;
  std::array<TVdbCursor*, TVdbCursor::kMaxCursors> Slots{};
};

TCursorTable& CursorTable() {
  static TCursorTable Table;
  return Table;
}

// The accessor frees its filter when it is reset; the cursor keeps the condition itself and
// gives the accessor a share of it.
class TSharedFilter : public TVdbAccessorFilter {
 public:
  explicit TSharedFilter(std::shared_ptr<TVdbAccessorFilter> Condition)
      : FCondition(std::move(Condition)) {}
  bool IsSatisfied(TVdbAccessor& Accessor) override { return FCondition->IsSatisfied(Accessor); }
  bool FindBestAccess(const TVdbAccessor& Accessor, std::uint8_t& IndexNo,
                      std::vector<std::uint8_t>& LowerBound,
                      std::vector<std::uint8_t>& UpperBound) override {
    return FCondition->FindBestAccess(Accessor, IndexNo, LowerBound, UpperBound);
  }

 private:
  std::shared_ptr<TVdbAccessorFilter> FCondition;
};

}  // namespace

TVdbCursor::TVdbCursor(std::int16_t TableHdl, TVdbServices* Services, TVdbRelation& Relation,
                       TVdbRelationIndex RltnIdx, const std::string& Tag)
    : FServices(Services),
      FRltnIdx(RltnIdx),
      FAccessor(std::make_unique<TVdbAccessor>(Relation, Tag)),
      FTableHdl(TableHdl),
      FUserBookmarks(std::make_unique<TVdbBookmarkList>()) {
  FAccessor->SetOnRecordDeleted([this](TVdbAccessor&, std::int32_t Deleted, std::int32_t Moved) {
    RecordDeleted(Deleted, Moved);
  });
  FAccessor->SetOnRelationChanged([this](TVdbAccessor&) { RelationChanged(); });
  FAccessor->SetOnRelationEmptied([this](TVdbAccessor&) { RelationEmptied(); });
}

TVdbCursor::~TVdbCursor() { UnregisterHandle(); }

// --- The cursor table ---------------------------------------------------------------------------

std::int16_t TVdbCursor::RegisterHandle() {
  TCursorTable& Table = CursorTable();
  std::lock_guard<std::mutex> Guard(Table.Lock);
  if (FRegistered) return FTableHdl;
  for (int I = 0; I < kMaxCursors; ++I) {
    if (Table.Slots[static_cast<std::size_t>(I)] != nullptr) continue;
    Table.Slots[static_cast<std::size_t>(I)] = this;
    FTableHdl = static_cast<std::int16_t>(I + 1);
    FRegistered = true;
    return FTableHdl;
  }
  return 0;
}

void TVdbCursor::UnregisterHandle() {
  TCursorTable& Table = CursorTable();
  std::lock_guard<std::mutex> Guard(Table.Lock);
  if (!FRegistered) return;
  if (FTableHdl >= 1 && FTableHdl <= kMaxCursors &&
      Table.Slots[static_cast<std::size_t>(FTableHdl - 1)] == this)
    Table.Slots[static_cast<std::size_t>(FTableHdl - 1)] = nullptr;
  FRegistered = false;
}

TVdbCursor* TVdbCursor::FromHandle(std::int16_t TableHdl) {
  if (TableHdl < 1 || TableHdl > kMaxCursors) return nullptr;
  TCursorTable& Table = CursorTable();
  std::lock_guard<std::mutex> Guard(Table.Lock);
  return Table.Slots[static_cast<std::size_t>(TableHdl - 1)];
}

// --- Errors -----------------------------------------------------------------------------------------

template <class TBody>
std::int16_t TVdbCursor::Guarded(TBody&& Body) {
  return VdbGuarded(FServices != nullptr ? &FServices->LastError() : nullptr,
                    std::forward<TBody>(Body));
}

std::int16_t TVdbCursor::WalkResult(std::int16_t Result) const {
  if (Result >= 0) return 0;
  return Result == kVdbEndOfWalk ? kEndOfData : kReadFailure;
}

// --- Opening and walking ------------------------------------------------------------------------

std::int16_t TVdbCursor::Open() {
  FActiveFilterKind = tfkNone;
  FActiveCondition.reset();
  FActiveBookmarks.reset();
  return Guarded([&]() -> std::int16_t {
    BuildAccessPath();
    return 0;
  });
}

std::int16_t TVdbCursor::Close() {
  if (FAccessor->EditState() != esBrowse) FAccessor->Cancel();
  FActiveFilterKind = tfkNone;
  FActiveCondition.reset();
  FActiveBookmarks.reset();
  FUserFilterKind = tfkNone;
  FUserCondition.reset();
  FUserFilterBookmarks.reset();
  FUserBookmarks->Clear();
  FAccessor->Reset();
  return 0;
}

std::int16_t TVdbCursor::Refresh(bool CheckNet) {
  if (CheckNet) Relation().CheckUpdate();
  // The record image is read again; that notice is the cursor's own doing, not a change.
  const bool Dirty = FDirtyFlag;
  FAccessor->RelationChanged();
  FDirtyFlag = Dirty;
  if (!FDirtyFlag) return 0;
  return Guarded([&]() -> std::int16_t {
    if (FActiveFilterKind == tfkStatic || FUserFilterKind == tfkStatic) BuildAccessPath();
    FDirtyFlag = false;
    return 1;
  });
}

std::int16_t TVdbCursor::First() {
  const std::int16_t Refreshed = Refresh(true);
  if (Refreshed < 0) return kReadFailure;
  const std::int16_t Result = FAccessor->First();
  return Result >= 0 ? 1 : WalkResult(Result);
}

std::int16_t TVdbCursor::Last() {
  const std::int16_t Refreshed = Refresh(true);
  if (Refreshed < 0) return kReadFailure;
  const std::int16_t Result = FAccessor->Last();
  return Result >= 0 ? 1 : WalkResult(Result);
}

std::int16_t TVdbCursor::Next() { return WalkResult(FAccessor->Next()); }
std::int16_t TVdbCursor::Prior() { return WalkResult(FAccessor->Prior()); }
std::int16_t TVdbCursor::MoveBy(std::int32_t Delta) { return WalkResult(FAccessor->MoveBy(Delta)); }
std::int16_t TVdbCursor::SetRecordNo(std::int32_t RecNo) {
  return WalkResult(FAccessor->GotoRecord(RecNo));
}

bool TVdbCursor::IsSequenced() const {
  return FAccessor->CurrentAccessType() != tatIndex || !FAccessor->HasRange();
}

std::int16_t TVdbCursor::GetRecord(std::uint8_t* Buffer) {
  const std::int16_t Result = FAccessor->GetRecord(Buffer);
  return Result < 0 ? kReadFailure : 0;
}

// --- The access path --------------------------------------------------------------------------------

// The accessor's order for FSorting: record order without it, else an index that has exactly
// this order, or one made for it (error 6 when none can be).
void TVdbCursor::SetOrderAccess(TVdbAccessor& Accessor) {
  if (FSorting.empty()) {
    Accessor.SetAccess(kVdbAccessRecordNo, false);
    return;
  }
  bool Reverse = false;
  std::int16_t IndexNo = Relation().FindIndex(FSorting, tifoExact, Reverse);
  if (IndexNo < 0) IndexNo = Relation().FindIndex(FSorting, tifoCreate, Reverse);
  if (IndexNo < 0) throw EVdbEngine(kVdbErrNoSuitableIndex, kxFormatArgs{FSorting});
  const std::int16_t Set = Accessor.SetAccess(IndexNo, Reverse);
  if (Set < 0)
    throw EVdbEngine::CreateMsg(static_cast<std::int16_t>(-Set), FServices->LastErrorMsg());
}

// The record numbers of the rows that satisfy Condition, in the cursor's order.
std::unique_ptr<TVdbBookmarkList> TVdbCursor::CollectMatches(TVdbAccessorFilter* Condition) {
  auto List = std::make_unique<TVdbBookmarkList>();
  auto Walker = TVdbAccessor::CreateClone(*FAccessor);
  SetOrderAccess(*Walker);
  std::int16_t Result = Walker->First();
  while (Result == 0) {
    if (Condition == nullptr || Condition->IsSatisfied(*Walker))
      List->Append(Walker->CurrentRecordNo());
    Result = Walker->Next();
  }
  if (Result != kVdbEndOfWalk)
    throw EVdbEngine::CreateMsg(static_cast<std::int16_t>(-Result), FServices->LastErrorMsg());
  return List;
}

void TVdbCursor::InstallIncremental(const std::shared_ptr<TVdbAccessorFilter>& Condition) {
  FAccessor->SetFilter(Condition ? std::make_unique<TSharedFilter>(Condition) : nullptr);
}

void TVdbCursor::BuildAccessPath() {
  const std::int32_t Remembered = FAccessor->CurrentRecordNo();
  FAccessor->Reset();
  if (FUserFilterKind == tfkStatic) FUserFilterBookmarks = CollectMatches(FUserCondition.get());
  if (FActiveFilterKind == tfkStatic) FActiveBookmarks = CollectMatches(FActiveCondition.get());
  if ((FActiveFilterKind == tfkStatic || FActiveFilterKind == tfkBookmarks) && FActiveBookmarks) {
    auto Copy = std::make_unique<TVdbBookmarkList>();
    Copy->CopyFrom(*FActiveBookmarks);
    FAccessor->SetBookmarks(std::move(Copy));
    FAccessor->SetAccess(kVdbAccessBookmarks, false);
  } else {
    SetOrderAccess(*FAccessor);
    if (FActiveFilterKind == tfkIncremental) InstallIncremental(FActiveCondition);
  }
  if (Remembered <= 0 || FAccessor->GotoRecord(Remembered) < 0 || !FAccessor->IsValidRecord()) {
    if (FAccessor->First() < 0) FAccessor->ToBoT();
  }
  FDirtyFlag = false;
}

// --- Order ----------------------------------------------------------------------------------------

std::int16_t TVdbCursor::SetIndex(const std::string& IndexName, bool Reverse) {
  return Guarded([&]() -> std::int16_t {
    std::string Sorting;
    if (!IndexName.empty()) {
      const std::int16_t IndexNo = Relation().GetIndexNo(IndexName);
      if (IndexNo < 0 || Relation().CheckIndexOpen(IndexNo) < 0) return kUnknownIndex;
      const TVdbSortDef* Def = Relation().GetIndexDefinition(IndexNo);
      if (Def == nullptr) return kUnknownIndex;
      Sorting = Def->CalcSpecification(Relation().ColumnDefs(), true, Reverse, false, false,
                                       Relation().Level());
    }
    if (Sorting == FSorting) return 0;
    FSorting = Sorting;
    BuildAccessPath();
    return 0;
  });
}

std::int16_t TVdbCursor::SetSortOrder(const std::string& SortOrder) {
  if (SortOrder.empty()) return SetIndex({}, false);
  const std::int16_t Result = Guarded([&]() -> std::int16_t {
    bool Reverse = false;
    std::int16_t IndexNo = Relation().FindIndex(SortOrder, tifoExact, Reverse);
    if (IndexNo < 0) IndexNo = Relation().FindIndex(SortOrder, tifoCreate, Reverse);
    if (IndexNo < 0) return kInvalidIndexDefinition;
    const TVdbSortDef* Def = Relation().GetIndexDefinition(IndexNo);
    if (Def == nullptr) return kInvalidIndexDefinition;
    const std::string Sorting = Def->CalcSpecification(Relation().ColumnDefs(), true, Reverse,
                                                       false, false, Relation().Level());
    if (Sorting == FSorting) return 0;
    FSorting = Sorting;
    BuildAccessPath();
    return 0;
  });
  return Result < 0 ? kInvalidIndexDefinition : Result;
}

// --- Key range -----------------------------------------------------------------------------------

std::vector<std::uint8_t> TVdbCursor::RangeBound(const TVdbSortDef& Def, const std::uint8_t* Record,
                                                 int FieldCount, bool Upper) const {
  if (Record == nullptr) return {};
  const int Levels = FieldCount <= 0 ? Def.LevelCount : std::min<int>(FieldCount, Def.LevelCount);
  std::vector<std::string> Texts;
  for (int Level = 0; Level < Levels; ++Level) {
    std::string Text;
    Relation().GetAsStringA(Record, Def.Items[static_cast<std::size_t>(Level)].FieldNo, Text);
    Texts.push_back(std::move(Text));
  }
  auto Item = std::make_unique<TVdbLongIndexInfo>();
  Relation().StringToIndex(Def, Texts, *Item, Upper ? 2147483647 : 1, Upper);
  const auto* Bytes = reinterpret_cast<const std::uint8_t*>(Item.get());
  return std::vector<std::uint8_t>(Bytes, Bytes + std::max<std::int32_t>(Def.FSize, 4));
}

std::int16_t TVdbCursor::SetUserRange(const std::uint8_t* RangeLower,
                                      const std::uint8_t* RangeUpper, int FieldCountEnd,
                                      int FieldCountStart) {
  if (FAccessor->CurrentAccessType() != tatIndex) return kInvalidAccess;
  return Guarded([&]() -> std::int16_t {
    const std::uint8_t IndexNo = FAccessor->CurrentIndexNo();
    const TVdbSortDef* Def = Relation().GetIndexDefinition(IndexNo);
    if (Def == nullptr) return kInvalidAccess;
    const auto Lower = RangeBound(*Def, RangeLower, FieldCountStart, false);
    const auto Upper = RangeBound(*Def, RangeUpper, FieldCountEnd, true);
    const std::int16_t Result = FAccessor->SetRange(IndexNo, Lower.empty() ? nullptr : Lower.data(),
                                                    Upper.empty() ? nullptr : Upper.data());
    if (Result < 0) return Result;
    if (FAccessor->First() < 0) FAccessor->ToBoT();
    return 0;
  });
}

std::int16_t TVdbCursor::ClearUserRange() {
  FAccessor->ClearRange();
  return 0;
}

// --- Filters ----------------------------------------------------------------------------------------

void TVdbCursor::ApplyMarkFilter(int Mode, TVdbAccessorFilter& Condition) {
  auto Matching = CollectMatches(&Condition);
  if (Mode == kVdbFilterAddMarks) {
    for (std::int32_t I = Matching->FindFirst(); I >= 0; I = Matching->FindNext(I))
      if (FUserBookmarks->Find(Matching->GetItem(I)) < 0) FUserBookmarks->Append(Matching->GetItem(I));
  } else {
    const bool Keep = Mode == kVdbFilterKeepMarks;
    for (std::int32_t I = FUserBookmarks->FindFirst(); I >= 0; I = FUserBookmarks->FindNext(I)) {
      const bool Matches = Matching->Find(FUserBookmarks->GetItem(I)) >= 0;
      if (Matches != Keep) FUserBookmarks->DeleteAt(I);
    }
  }
  FUserFilterKind = tfkBookmarks;
}

std::int16_t TVdbCursor::SetUserFilter(std::shared_ptr<TVdbAccessorFilter> Condition, int Mode,
                                       bool Background) {
  return Guarded([&]() -> std::int16_t {
    switch (Mode & 15) {
      case kVdbFilterStatic:
        if (Background) {
          FUserCondition = std::move(Condition);
          FUserFilterKind = tfkStatic;
          FUserFilterBookmarks = CollectMatches(FUserCondition.get());
        } else {
          FActiveCondition = std::move(Condition);
          FActiveFilterKind = tfkStatic;
          BuildAccessPath();
        }
        return 0;
      case kVdbFilterIncremental:
        if (Background) {
          FUserCondition = std::move(Condition);
          FUserFilterKind = tfkIncremental;
        } else {
          FActiveCondition = std::move(Condition);
          FActiveFilterKind = tfkIncremental;
          FActiveBookmarks.reset();
          BuildAccessPath();
        }
        return 0;
      case kVdbFilterRemoveMarks:
      case kVdbFilterKeepMarks:
      case kVdbFilterAddMarks:
        if (!Background || !Condition) return kInvalidAccess;
        ApplyMarkFilter(Mode & 15, *Condition);
        return 0;
      default:
        return kInvalidAccess;
    }
  });
}

std::int16_t TVdbCursor::ActivateFilter() {
  return Guarded([&]() -> std::int16_t {
    FActiveFilterKind = FUserFilterKind;
    FActiveCondition = std::move(FUserCondition);
    FActiveBookmarks.reset();
    if (FUserFilterKind == tfkStatic) {
      FActiveBookmarks = std::move(FUserFilterBookmarks);
    } else if (FUserFilterKind == tfkBookmarks) {
      FActiveBookmarks = std::move(FUserBookmarks);
      FUserBookmarks = std::make_unique<TVdbBookmarkList>();
    }
    FUserFilterKind = tfkNone;
    FUserCondition.reset();
    FUserFilterBookmarks.reset();
    // A static list is collected again by the access path.
    if (FActiveFilterKind == tfkStatic) FActiveBookmarks.reset();
    BuildAccessPath();
    return 0;
  });
}

std::int16_t TVdbCursor::DeactivateFilter() {
  return Guarded([&]() -> std::int16_t {
    FUserFilterKind = FActiveFilterKind;
    FUserCondition = std::move(FActiveCondition);
    if (FActiveBookmarks) {
      FUserBookmarks = std::move(FActiveBookmarks);
      if (FUserFilterKind == tfkStatic) {
        FUserFilterBookmarks = std::make_unique<TVdbBookmarkList>();
        FUserFilterBookmarks->CopyFrom(*FUserBookmarks);
      }
    }
    FActiveFilterKind = tfkNone;
    FActiveCondition.reset();
    FActiveBookmarks.reset();
    BuildAccessPath();
    return 0;
  });
}

// --- Marks --------------------------------------------------------------------------------------------

void TVdbCursor::AddMark(std::int32_t RecNo) {
  if (RecNo < 1 || RecNo > Relation().RecordCount())
    throw EVdbEngine(kVdbErrRecordNotFound, kxFormatArgs{});
  FUserBookmarks->Append(RecNo);
  FUserFilterKind = tfkBookmarks;
}

void TVdbCursor::RemoveMark(std::int32_t RecNo) { FUserBookmarks->Delete(RecNo); }

void TVdbCursor::ToggleMark(std::int32_t RecNo) {
  if (IsMarked(RecNo))
    RemoveMark(RecNo);
  else
    AddMark(RecNo);
}

bool TVdbCursor::IsMarked(std::int32_t RecNo) const {
  return RecNo > 0 && FUserBookmarks->Find(RecNo) >= 0;
}

void TVdbCursor::ClearMarks() { FUserBookmarks->Clear(); }

std::vector<std::int32_t> TVdbCursor::GetMarks() const {
  std::vector<std::int32_t> Marks(static_cast<std::size_t>(FUserBookmarks->Count()));
  if (!Marks.empty()) FUserBookmarks->WriteTo(Marks.data());
  return Marks;
}

std::int16_t TVdbCursor::SortMarks(const std::string& SortOrder) {
  const std::int16_t Result = Guarded([&]() -> std::int16_t {
    const auto Order = Relation().CalcIndexDefinition(SortOrder, false);
    std::vector<std::int32_t> Marks = GetMarks();
    if (Relation().SortBookmarks(Marks, *Order) < 0) return kMarkSortFailed;
    FUserBookmarks->Clear();
    for (std::int32_t RecNo : Marks) FUserBookmarks->Append(RecNo);
    return 0;
  });
  return Result < 0 ? kMarkSortFailed : Result;
}

void TVdbCursor::ExchangeMarks(TVdbAccessor& Accessor) {
  auto Theirs = std::make_unique<TVdbBookmarkList>();
  Theirs->CopyFrom(Accessor.Bookmarks());
  Accessor.SetBookmarks(std::move(FUserBookmarks));
  FUserBookmarks = std::move(Theirs);
}

std::int16_t TVdbCursor::GotoMark(std::int32_t Delta, bool Restart) {
  if (FUserBookmarks->Count() == 0) return kEndOfData;
  if (!Relation().Active()) return kNoAccess;
  const bool Forward = Delta >= 0;
  std::int16_t Result = 0;
  if (Restart)
    Result = Forward ? FAccessor->First() : FAccessor->Last();
  else
    Result = Forward ? FAccessor->Next() : FAccessor->Prior();
  while (Result == 0) {
    if (IsMarked(FAccessor->CurrentRecordNo())) return 1;
    Result = Forward ? FAccessor->Next() : FAccessor->Prior();
  }
  return kEndOfData;
}

std::int16_t TVdbCursor::DeleteMarkedRecords(const TProgressFunc& Progress) {
  if (Relation().RecordCount() < 0) return -19;
  if (Relation().ReadOnly() || !Relation().HasRight(tarDelete)) return kNoAccess;
  const std::int32_t Count = FUserBookmarks->Count();
  const std::int32_t Step = std::max<std::int32_t>(1, Count / 100);
  if (Progress && Progress(0, Count) == 1) return 0;
  std::int16_t Locked = Relation().BeginWrite(true);
  if (Locked < 0) return Locked;
  std::int16_t Result = 0;
  std::vector<std::uint8_t> Record(static_cast<std::size_t>(std::max(Relation().RecordSize(), 1)));
  for (std::int32_t Done = 1; FUserBookmarks->Count() > 0; ++Done) {
    const std::int32_t Slot = FUserBookmarks->FindFirst();
    const std::int32_t RecNo = FUserBookmarks->GetItem(Slot);
    const std::int32_t Notices = FDeleteNotices;
    Result = Relation().ReadRecord(RecNo, Record.data());
    if (Result >= 0) Result = Relation().DeleteRecord(Record.data(), RecNo);
    if (Result < 0) break;
    // A relation that does not report the deletion to its accessors: the mark goes here.
    if (FDeleteNotices == Notices) FUserBookmarks->Delete(RecNo);
    if (Progress && Done % Step == 0 && Progress(Done, Count) == 1) break;
  }
  Relation().EndWrite();
  return Result < 0 ? Result : 0;
}

// --- Notifications ----------------------------------------------------------------------------------

void TVdbCursor::RecordDeleted(std::int32_t Deleted, std::int32_t Moved) {
  ++FDeleteNotices;
  FUserBookmarks->Delete(Deleted);
  if (Moved > 0 && Moved != Deleted) FUserBookmarks->Renumber(Moved, Deleted);
  FDirtyFlag = true;
  if (FOnChangeProc) FOnChangeProc(FDbHdl, FTableHdl, Deleted, Moved);
}

}  // namespace vdb
