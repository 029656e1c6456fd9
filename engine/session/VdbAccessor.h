// Accessors: a position in one relation together with the way the relation is walked (physical
// record order, a list of record numbers, or one of the relation's indexes, optionally inside a
// key range and restricted by a condition), the image of the current record, the edit state of
// one record, and the memo and blob values read or written for it.
//
// Results are 16-bit: 0 success, a negative engine error number on failure; the end of a walk is
// -19 ("Record not found") in every direction.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/VdbBookmarks.h"
#include "table/VdbData.h"
#include "table/VdbRelation.h"

namespace vdb {

class TVdbAccessor;

enum TVdbAccessType : std::uint8_t { tatRecordNo, tatBookmarks, tatIndex, tatNone };
enum TVdbEditState : std::uint8_t { esBrowse, esAppend, esEdit };
// TakeOver modes: position and image only; also the edit state, order and range, taking the
// other accessor's bookmarks (and its edit) away from it; the same with a copy of its bookmarks.
enum TVdbTakeOverMode : int { tomPosition = 0, tomMove = 1, tomCopy = 2 };

inline constexpr std::int16_t kVdbAccessRecordNo = 100;   // SetAccess: physical order
inline constexpr std::int16_t kVdbAccessBookmarks = 101;  // SetAccess: bookmark order
inline constexpr std::uint8_t kVdbBookmarkIndexNo = 254;
inline constexpr std::int16_t kVdbEndOfWalk = -19;
// Filtered counts and ranged counts walk the relation only below this many records.
inline constexpr std::int32_t kVdbCountWalkLimit = 10000;

// The condition an accessor's records must satisfy (the accessor's filter). The accessor only
// asks whether its current record satisfies it; an EVdbEngine raised by the condition counts as
// an error of the walk.
class TVdbAccessorFilter {
 public:
  virtual ~TVdbAccessorFilter() = default;
  virtual bool IsSatisfied(TVdbAccessor& Accessor) = 0;
  // The best index of the accessor's relation for this condition and the index items that bound
  // it (an empty bound, or one whose record reference is 0, is unset); false when no index fits.
  virtual bool FindBestAccess(const TVdbAccessor& Accessor, std::uint8_t& IndexNo,
                              std::vector<std::uint8_t>& LowerBound,
                              std::vector<std::uint8_t>& UpperBound);
};

class TVdbAccessor : public TVdbRelationListener {
 public:
  using TRecordDeletedEvent =
      std::function<void(TVdbAccessor& Sender, std::int32_t Deleted, std::int32_t Moved)>;
  using TRelationEvent = std::function<void(TVdbAccessor& Sender)>;

  // Registers the accessor as a listener of Relation (not owned; it must outlive the accessor).
  TVdbAccessor(TVdbRelation& Relation, std::string Tag);
  // A new accessor on the relation of Accessor, with the same tag, before the first record.
  static std::unique_ptr<TVdbAccessor> CreateClone(const TVdbAccessor& Accessor);
  ~TVdbAccessor() override;
  TVdbAccessor(const TVdbAccessor&) = delete;
  TVdbAccessor& operator=(const TVdbAccessor&) = delete;

  TVdbRelation& Relation() const { return *FRelation; }
  const std::string& Name() const { return FName; }
  void SetName(std::string Name) { FName = std::move(Name); }
  const std::string& Tag() const { return FTag; }
  bool IsUnidirectional() const { return FIsUnidirectional; }
  void SetUnidirectional(bool Value) { FIsUnidirectional = Value; }

  TVdbAccessType CurrentAccessType() const { return FCurrentAccessType; }
  std::uint8_t CurrentIndexNo() const { return FCurrentIndexNo; }
  bool Reverse() const { return FReverse; }
  std::int32_t CurrentRecordNo() const { return FCurrentRecordNo; }
  std::int32_t CurrentSequenceNo() const { return FCurrentSequenceNo; }
  bool CurrentRecBufUpdated() const { return FCurrentRecBufUpdated; }
  bool IsRecordDeleted() const { return FRecordDeleted; }
  TVdbEditState EditState() const { return FCurrentEditState; }
  std::int32_t WorkRecordNo() const { return FWorkRecordNo; }
  // The key of the current record in the current order (an index item: record number + key).
  const std::vector<std::uint8_t>& CurrentIndexInfo() const { return FCurrentIndexInfo; }

  // --- Order, range, filter, bookmarks ---
  // 100 physical order, 101 bookmarks, else an index number (error 95 raised as EVdbEngine when
  // the index cannot be opened; the order is then unchanged). Every call clears the range.
  std::int16_t SetAccess(std::int16_t AccessId, bool Reverse);
  std::int16_t SetAccess(TVdbAccessType AccessType, std::uint8_t IndexNo, bool Reverse);
  std::int16_t SetBestAccess(TVdbAccessorFilter& Condition);
  // Bounds are index items of IndexNo (record number + key); nullptr = unset.
  std::int16_t SetRange(std::uint8_t IndexNo, const std::uint8_t* LowerBound,
                        const std::uint8_t* UpperBound);
  // Bounds from the texts of the key levels (through the relation's key building); an empty
  // list leaves that bound unset. With fewer texts than levels the range holds every key that
  // begins with them.
  std::int16_t SetRange(std::uint8_t IndexNo, const std::vector<std::string>& LowerValues,
                        const std::vector<std::string>& UpperValues);
  void ClearRange();
  bool HasRange() const;
  void GetRange(std::vector<std::uint8_t>& LowerBound, std::vector<std::uint8_t>& UpperBound) const;
  // Installs a condition (the old one is freed); nullptr removes it.
  void SetFilter(std::unique_ptr<TVdbAccessorFilter> Filter);
  TVdbAccessorFilter* Filter() const { return FFilter.get(); }
  // Installs a bookmark list (the old one is freed).
  void SetBookmarks(std::unique_ptr<TVdbBookmarkList> List);
  TVdbBookmarkList& Bookmarks() { return *FBookmarks; }
  const TVdbBookmarkList& Bookmarks() const { return *FBookmarks; }

  // --- Walking ---
  std::int16_t First();
  std::int16_t Last();
  std::int16_t Next();
  std::int16_t Prior();
  std::int16_t MoveBy(std::int32_t Delta);
  std::int16_t GotoRecord(std::int32_t RecordNo);
  // The record number reached, or the negative error.
  std::int32_t GotoSequenceNo(std::int32_t SequenceNo);
  // The position in the walk (1-based); -2 when it cannot be known.
  std::int32_t GetSequenceNo();
  void ToBoT();
  // Exact count of the records of the walk, or -1 when it would need a walk over a relation of
  // 10000 or more records; a negative error otherwise.
  std::int32_t GetRecordCount();
  // Whether the current record belongs to the walk.
  bool IsValidRecord();

  // --- The current record ---
  // The work image while the current record is being edited, else the current image (read
  // first when stale; an initialised empty record before the first record).
  // A failing read raises EVdbEngine.
  const std::uint8_t* GetRecordPtr();
  // Copies the current image (RecordSize bytes); 0 or a negative error.
  std::int16_t GetRecord(std::uint8_t* Buffer);
  // The value of column FieldNo (1-based) pointing into the current image; an empty value for
  // memo, blob, relation and wide-memo columns.
  const TVdbDataValue& GetField(std::int16_t FieldNo);

  // Save and restore the position (stack of this accessor); Pop marks the image stale.
  void Push();
  void Pop();
  // Copies another accessor's position (see TVdbTakeOverMode).
  void TakeOver(TVdbAccessor& Accessor, int Mode);
  // Physical order, before the first record, no filter, empty bookmarks.
  void Reset();

  // --- Memos and blobs of the current record ---
  // The size of the value (memo: its length; wide memo: twice the characters; blob: the length),
  // or a negative error (168 for a column that holds no memo or blob).
  std::int32_t InitGetBlob(std::int16_t FieldNo, std::int32_t MaxSize, std::int16_t& BlobType);
  // Copies up to Count bytes from Offset of the value in transfer; the number copied.
  std::int32_t GetBlobChunk(std::int32_t Offset, std::int32_t Count, void* Buffer);
  void DoneGetBlob();
  std::int32_t GetMemo(std::int16_t FieldNo, std::string& Value, std::int32_t MaxLength);
  std::int32_t GetWideMemo(std::int16_t FieldNo, std::u16string& Value, std::int32_t MaxLength);
  std::int32_t GetBlobSize(std::int16_t FieldNo);

  // --- Write path ---
  std::int16_t Edit();
  std::int16_t Append();
  std::int16_t Post();
  std::int16_t Cancel();
  std::int16_t DeleteRecord();
  // The record being edited or appended (RecordSize bytes); field setters write into it.
  std::uint8_t* GetWorkRecordPtr() { return FWorkRecBuf.data(); }
  // Stages a memo/blob value for the record being edited or appended.
  void SetPendingMemo(std::int16_t FieldNo, std::string Value);
  void SetPendingWideMemo(std::int16_t FieldNo, std::u16string Value);
  void SetPendingBlob(std::int16_t FieldNo, std::string Data, std::int16_t BlobType);

  // --- Events (the cursor hooks them) ---
  void SetOnRecordDeleted(TRecordDeletedEvent Event) { FOnRecordDeleted = std::move(Event); }
  void SetOnRelationChanged(TRelationEvent Event) { FOnRelationChanged = std::move(Event); }
  void SetOnRelationEmptied(TRelationEvent Event) { FOnRelationEmptied = std::move(Event); }

  // --- Notifications of the relation ---
  std::string GetTag() const override { return FTag; }
  void RecordDeleted(std::int32_t RecNo, std::int32_t MovedRecNo) override;
  void RecordChanged(std::int32_t RecNo) override;
  void RelationChanged() override;
  void RelationEmptied() override;
  void MayDeleteIndex(std::int16_t IndexNo, bool& Allowed) override;
  void IndexRemoved(std::int16_t IndexNo) override;
  void IndexNamesChanged() override;
  bool IsRecordEdited(std::int32_t RecNo) override;

 private:
  struct TSavedPosition;

  // The first (Front) or last entry / the next (Forward) or previous entry of the underlying
  // order inside the range, without the filter, as an item of the current order; 0, -19 at
  // the end, or another error. The position does not change.
  std::int16_t FindEndItem(bool Front, std::vector<std::uint8_t>& Item);
  std::int16_t FindNeighbourItem(bool Forward, std::vector<std::uint8_t>& Item);
  // Record-number and bookmark order: the record number at the end / next to the current one
  // (0 when there is none).
  std::int32_t EndRecordNo(bool Front);
  std::int32_t NeighbourRecordNo(bool Forward);
  // Index order (0, -19 at the end, or another error).
  std::int16_t FirstIndexItem(std::vector<std::uint8_t>& Item);
  std::int16_t LastIndexItem(std::vector<std::uint8_t>& Item);
  std::int16_t NextIndexItem(std::vector<std::uint8_t>& Item);
  std::int16_t PrevIndexItem(std::vector<std::uint8_t>& Item);
  std::int32_t CurrentBookmarkSlot() const;
  void MoveToItem(const std::vector<std::uint8_t>& Item);
  // One step / the first or last position in the walk's direction, without the filter.
  std::int16_t StepTo(bool Forward);
  std::int16_t GoToEnd(bool Front);
  // First/Last and Next/Prior with the filter and the sequence number.
  std::int16_t WalkToEnd(bool Front);
  std::int16_t WalkStep(bool Forward);
  std::int16_t WalkStepFromSaved(bool Forward);
  // The number of positions of the walk without filter; -1 when it is not known directly.
  std::int32_t WalkLength();
  std::int32_t IndexRank(const std::vector<std::uint8_t>& Item);
  std::int32_t IndexSequenceNo();
  void MoveOffDeleted(std::int32_t RecNo, std::int32_t MovedRecNo);
  // 1 passes, 0 rejected, negative: the engine error the filter raised.
  int TestFilter();
  bool InRange(const std::vector<std::uint8_t>& Item) const;
  void SetCurrent(std::int32_t RecNo);
  void ComputeCurrentKey();
  std::int16_t RefreshKey();
  void AllocateKeyBuffers();
  std::int32_t KeyBufferSize() const;
  std::int16_t ReadCurrent();
  void BuildFields();
  void FinishEdit();
  std::int16_t Fail(std::int16_t Code, const kxFormatArgs& Args = {});
  TVdbBlobData* FindPendingBlob(std::int16_t FieldNo);
  template <class TText>
  std::int32_t GetWholeText(std::int16_t FieldNo, TText& Value, std::int32_t MaxLength,
                            TText TVdbBlobData::*Text);
  TVdbBlobData& ReservePendingBlob(std::int16_t FieldNo);
  static std::int32_t PendingBlobSize(const TVdbBlobData& Blob, std::int16_t ColumnType);
  void ClearPendingBlobs();

  TVdbRelation* FRelation;
  std::string FName;
  std::string FTag;
  bool FIsUnidirectional = false;
  TVdbAccessType FCurrentAccessType = tatRecordNo;
  std::uint8_t FCurrentIndexNo = kVdbNoIndex;
  bool FReverse = false;
  std::unique_ptr<TVdbAccessorFilter> FFilter;
  std::unique_ptr<TVdbBookmarkList> FBookmarks;
  std::vector<std::uint8_t> FRangeLowerBound;
  std::vector<std::uint8_t> FRangeUpperBound;
  std::int32_t FCurrentRecordNo = -1;
  std::int32_t FCurrentSequenceNo = -1;
  bool FCurrentRecBufUpdated = false;
  std::vector<std::uint8_t> FCurrentRecBuf;
  std::vector<TVdbDataValue> FFields;
  std::int32_t FWorkRecordNo = -1;
  std::int32_t FWorkRecordId = 0;
  std::vector<std::uint8_t> FWorkRecBuf;
  std::vector<TVdbBlobData> FPendingBlobs;
  std::int32_t FSavedRecordNo = -1;
  TVdbEditState FCurrentEditState = esBrowse;
  bool FRecordDeleted = false;
  std::vector<std::uint8_t> FCurrentIndexInfo;
  std::vector<std::uint8_t> FSortInfoWorkBuffer;
  std::int16_t FBlobTransferFieldNo = 0;
  bool FBlobTransferWriting = false;
  bool FBlobTransferTransient = false;
  std::vector<TSavedPosition> FPositionStack;
  TRecordDeletedEvent FOnRecordDeleted;
  TRelationEvent FOnRelationChanged;
  TRelationEvent FOnRelationEmptied;
};

// What an accessor set needs of the session's catalog: the open relations by relation index
// and the catalog's default accessor of each.
class TVdbAccessorCatalog {
 public:
  virtual ~TVdbAccessorCatalog() = default;
  // The relation open under RltnIdx (1..254), or null.
  virtual TVdbRelation* GetRelation(TVdbRelationIndex RltnIdx) const = 0;
  // The catalog's default accessor ("Session_Default") of relation RltnIdx, or null.
  virtual TVdbAccessor* GetDefaultAccessor(TVdbRelationIndex RltnIdx) const = 0;
};

// Accessors combined for the evaluation of joins and conditions: at most one per relation index
// (1..254), kept in an order (for example the join order) whose first entry is the primary one
// unless set otherwise.
class TVdbAccessorSet {
 public:
  static constexpr int kSlots = 254;
  using TRltnIdxVector = std::vector<TVdbRelationIndex>;

  TVdbAccessorSet(TVdbAccessorCatalog* Catalog, bool IsDefault);
  // A set holding Accessor (not owned).
  static std::unique_ptr<TVdbAccessorSet> CreateWithAccessor(TVdbAccessorCatalog* Catalog,
                                                             TVdbAccessor& Accessor);
  ~TVdbAccessorSet();
  TVdbAccessorSet(const TVdbAccessorSet&) = delete;
  TVdbAccessorSet& operator=(const TVdbAccessorSet&) = delete;

  bool IsDefault() const { return FDefault; }
  // Puts the accessor in the slot of its relation's index (replacing and freeing an owned one
  // that was there) and appends the index to the order; the first one added becomes primary.
  // The owning form takes the accessor over; the other only refers to it.
  TVdbAccessor& AddAccessor(std::unique_ptr<TVdbAccessor> Accessor);
  TVdbAccessor& AddAccessor(TVdbAccessor& Accessor);
  // Removes the accessor of RltnIdx from the order and frees it when it is owned.
  void DeleteAccessor(TVdbRelationIndex RltnIdx);
  // Frees every owned accessor; count and primary become 0.
  void Clear();
  // Empties the slots without freeing: the owned accessors are handed to the caller.
  std::vector<std::unique_ptr<TVdbAccessor>> ForgetAll();

  TVdbAccessor* GetAccessor(TVdbRelationIndex RltnIdx) const;
  // By position in the order (0-based); null out of range.
  TVdbAccessor* GetAccessorAt(int Index) const;
  int Count() const { return static_cast<int>(FRltnIdxVector.size()); }
  TVdbAccessor* GetPrimaryAccessor() const { return GetAccessor(FPrimaryRltnIdx); }
  TVdbRelationIndex PrimaryRltnIdx() const { return FPrimaryRltnIdx; }
  // The relation handle of the primary relation (0 when there is none).
  std::int16_t GetPrimaryRltnHdl() const;
  TVdbRelationSet GetRltnIdxSet() const;
  // Position of RltnIdx in the order, or the count when it is not in the set.
  int RltnPosFromRltnIdx(TVdbRelationIndex RltnIdx) const;
  const TRltnIdxVector& Order() const { return FRltnIdxVector; }
  // A new order of the relation indexes in the set (each exactly once), else false.
  bool SetOrder(const TRltnIdxVector& Order);
  void SetPrimaryRltnIdx(TVdbRelationIndex RltnIdx) { FPrimaryRltnIdx = RltnIdx; }

  // Clears the set, then adds one new accessor with Tag, on its first record, for every relation
  // that has a default accessor in the catalog; PrimaryRltnIdx becomes primary when it is there.
  void Populate(TVdbRelationIndex PrimaryRltnIdx, const std::string& Tag);
  // Each accessor copies the position of the catalog's default accessor of its relation.
  void Initialize();
  // Saves and restores the primary index, the order and every accessor's position.
  void PushEasyState();
  void PopEasyState();

  // Finds a column by name ("Table.Column" names the relation too) among the set's relations in
  // order; with DeepSearch also among all open relations, a column found there being mapped to
  // the column of a relation of the set that shows it. False when none has it.
  bool FindField(const std::string& FieldName, bool DeepSearch, std::int16_t& FieldNo,
                 TVdbRelationIndex& RltnIdx, bool CaseSensitive) const;

 private:
  struct TSlot {
    TVdbAccessor* Accessor = nullptr;
    std::unique_ptr<TVdbAccessor> Owned;
  };
  struct TEasyState {
    TVdbRelationIndex PrimaryRltnIdx = 0;
    TRltnIdxVector Order;
  };
  TVdbAccessor& Put(TVdbAccessor* Accessor, std::unique_ptr<TVdbAccessor> Owned);
  static bool ValidIndex(TVdbRelationIndex RltnIdx) { return RltnIdx >= 1 && RltnIdx <= kSlots; }
  bool FindInSet(const std::string& TableName, const std::string& ColumnName, std::int16_t& FieldNo,
                 TVdbRelationIndex& RltnIdx, bool CaseSensitive) const;

  TVdbAccessorCatalog* FCatalog;
  bool FDefault;
  std::vector<TSlot> FAccessors;  // slot n-1 for relation index n
  TRltnIdxVector FRltnIdxVector;
  TVdbRelationIndex FPrimaryRltnIdx = 0;
  std::vector<TEasyState> FEasyStates;
};

}  // namespace vdb
