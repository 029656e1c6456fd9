// Cursors: what a client walks. A cursor owns an accessor on its relation (a table or a query
// result) and adds on top of it an access order chosen by index name or sort order, filters
// (evaluated while moving, or collected once into a list of record numbers) and the user's marks.
//
// Results are API codes: 0 or 1 for success, -11 at the end of the data ("The record does not
// exist"), -201 for other read failures, -16 unknown index, -18 no index for a sort order, -15 a
// range without index access, -31 no access, -100 a mark sort that failed. The detail of a
// failure is the session's last error.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/VdbBookmarks.h"
#include "session/VdbAccessor.h"
#include "table/VdbRelation.h"

namespace vdb {

class TVdbServices;

enum TVdbFilterKind : std::uint8_t {
  tfkNone,
  tfkIncremental,  // the accessor evaluates the condition while it moves
  tfkStatic,       // the matching record numbers are collected and the accessor walks that list
  tfkBookmarks     // the user's marks are the access path
};

// Filter modes (the low four bits of Mode).
inline constexpr int kVdbFilterStatic = 1;
inline constexpr int kVdbFilterRemoveMarks = 3;
inline constexpr int kVdbFilterKeepMarks = 6;
inline constexpr int kVdbFilterAddMarks = 7;
inline constexpr int kVdbFilterIncremental = 15;

class TVdbCursor {
 public:
  // Told about every deleted record: database handle, table handle, deleted and moved record.
  using TOnChangeProc = std::function<void(std::int16_t DbHdl, std::int16_t TableHdl,
                                           std::int32_t Deleted, std::int32_t Moved)>;
  // Called with 0 and the number of marks first, then with the number done; 1 stops.
  using TProgressFunc = std::function<int(std::int32_t Done, std::int32_t Count)>;

  static constexpr std::int16_t kEndOfData = -11;
  static constexpr std::int16_t kInvalidAccess = -15;
  static constexpr std::int16_t kUnknownIndex = -16;
  static constexpr std::int16_t kInvalidIndexDefinition = -18;
  static constexpr std::int16_t kNoAccess = -31;
  static constexpr std::int16_t kMarkSortFailed = -100;
  static constexpr std::int16_t kReadFailure = -201;
  static constexpr int kMaxCursors = 255;

  // An accessor with Tag on Relation (not owned; it must outlive the cursor).
  TVdbCursor(std::int16_t TableHdl, TVdbServices* Services, TVdbRelation& Relation,
             TVdbRelationIndex RltnIdx, const std::string& Tag);
  ~TVdbCursor();
  TVdbCursor(const TVdbCursor&) = delete;
  TVdbCursor& operator=(const TVdbCursor&) = delete;

  // --- The process-wide cursor table ---
  // Puts the cursor into the lowest free slot 1 .. 255 and answers the handle (0 when full).
  std::int16_t RegisterHandle();
  void UnregisterHandle();
  static TVdbCursor* FromHandle(std::int16_t TableHdl);

  TVdbAccessor& Accessor() { return *FAccessor; }
  TVdbRelation& Relation() const { return FAccessor->Relation(); }
  std::int16_t TableHdl() const { return FTableHdl; }
  TVdbRelationIndex RltnIdx() const { return FRltnIdx; }
  bool Dirty() const { return FDirtyFlag; }
  const std::string& Sorting() const { return FSorting; }
  TVdbFilterKind ActiveFilterKind() const { return FActiveFilterKind; }
  TVdbFilterKind UserFilterKind() const { return FUserFilterKind; }
  void SetOnChangeProc(TOnChangeProc Proc, std::int16_t DbHdl = 0) {
    FOnChangeProc = std::move(Proc);
    FDbHdl = DbHdl;
  }

  // --- Opening, walking ---
  std::int16_t Open();
  std::int16_t Close();
  // 1 when the static filters were rebuilt, else 0 (or a negative error).
  std::int16_t Refresh(bool CheckNet);
  std::int16_t First();  // 1 on success
  std::int16_t Last();   // 1 on success
  std::int16_t Next();   // 0 on success
  std::int16_t Prior();  // 0 on success
  std::int16_t MoveBy(std::int32_t Delta);
  std::int16_t SetRecordNo(std::int32_t RecNo);
  std::int32_t GetPhysicalRecordNo() const { return FAccessor->CurrentRecordNo(); }
  std::int32_t GetSequenceNo() { return FAccessor->GetSequenceNo(); }
  std::int32_t SetSequenceNo(std::int32_t SequenceNo) { return FAccessor->GotoSequenceNo(SequenceNo); }
  bool IsSequenced() const;
  std::int32_t GetRecordCount() { return FAccessor->GetRecordCount(); }
  std::int32_t GetRowCount() { return GetRecordCount(); }
  std::int16_t GetRecord(std::uint8_t* Buffer);

  // --- Order ---
  // Empty name: record order. Else the index must exist (-16); the order is its specification.
  std::int16_t SetIndex(const std::string& IndexName, bool Reverse);
  // An index for the order text, made when there is none (-18 when it cannot be).
  std::int16_t SetSortOrder(const std::string& SortOrder);

  // --- Key range on the current index ---
  // Bounds from two record images (null: unset) over the first FieldCountStart (lower) and
  // FieldCountEnd (upper) levels of the index, all levels when 0 or less; the other levels
  // take their first / last value. -15 without index access.
  std::int16_t SetUserRange(const std::uint8_t* RangeLower, const std::uint8_t* RangeUpper,
                            int FieldCountEnd, int FieldCountStart);
  std::int16_t ClearUserRange();

  // --- Filters (the condition is shared with the accessor while it is in force) ---
  std::int16_t SetUserFilter(std::shared_ptr<TVdbAccessorFilter> Condition, int Mode,
                             bool Background);
  std::int16_t ActivateFilter();
  std::int16_t DeactivateFilter();

  // --- Marks ---
  // Error 19 (raised) for a record number outside 1 .. record count.
  void AddMark(std::int32_t RecNo);
  void RemoveMark(std::int32_t RecNo);
  void ToggleMark(std::int32_t RecNo);
  bool IsMarked(std::int32_t RecNo) const;
  void ClearMarks();
  std::int32_t CountMarks() const { return FUserBookmarks->Count(); }
  std::vector<std::int32_t> GetMarks() const;
  std::int16_t SortMarks(const std::string& SortOrder);
  void ExchangeMarks(TVdbAccessor& Accessor);
  std::int16_t GotoMark(std::int32_t Delta, bool Restart);
  std::int16_t DeleteMarkedRecords(const TProgressFunc& Progress);
  const TVdbBookmarkList& Marks() const { return *FUserBookmarks; }

  // --- Writing (delegated to the accessor) ---
  std::int16_t Append() { return FAccessor->Append(); }
  std::int16_t Edit() { return FAccessor->Edit(); }
  std::int16_t Post() { return FAccessor->Post(); }
  std::int16_t Cancel() { return FAccessor->Cancel(); }
  std::int16_t DeleteRecord() { return FAccessor->DeleteRecord(); }

  // --- Accessor callbacks ---
  void RecordDeleted(std::int32_t Deleted, std::int32_t Moved);
  void RelationChanged() { FDirtyFlag = true; }
  void RelationEmptied() { FDirtyFlag = true; }

 private:
  std::int16_t WalkResult(std::int16_t Result) const;
  void BuildAccessPath();
  std::unique_ptr<TVdbBookmarkList> CollectMatches(TVdbAccessorFilter* Condition);
  void ApplyMarkFilter(int Mode, TVdbAccessorFilter& Condition);
  void InstallIncremental(const std::shared_ptr<TVdbAccessorFilter>& Condition);
  void SetOrderAccess(TVdbAccessor& Accessor);
  // Runs Body behind the engine's exception boundary (VdbGuarded), recording failures as the
  // session's last error.
  template <class TBody>
  std::int16_t Guarded(TBody&& Body);
  std::vector<std::uint8_t> RangeBound(const TVdbSortDef& Def, const std::uint8_t* Record,
                                       int FieldCount, bool Upper) const;

  TVdbServices* FServices;
  TVdbRelationIndex FRltnIdx;
  std::unique_ptr<TVdbAccessor> FAccessor;
  TOnChangeProc FOnChangeProc;
  std::int16_t FDbHdl = 0;
  bool FDirtyFlag = false;
  std::int16_t FTableHdl;
  std::string FSorting;
  TVdbFilterKind FActiveFilterKind = tfkNone;
  std::shared_ptr<TVdbAccessorFilter> FActiveCondition;
  std::unique_ptr<TVdbBookmarkList> FActiveBookmarks;
  TVdbFilterKind FUserFilterKind = tfkNone;
  std::shared_ptr<TVdbAccessorFilter> FUserCondition;
  std::unique_ptr<TVdbBookmarkList> FUserFilterBookmarks;
  std::unique_ptr<TVdbBookmarkList> FUserBookmarks;
  std::int32_t FDeleteNotices = 0;
  bool FRegistered = false;
};

}  // namespace vdb
