// Result sets: what a SELECT leaves behind. A result set is a relation whose rows are not copies
// but tuples of base-table record numbers (one per relation of the query's plan, 0 for the NULL
// side of an outer join), collected by running the plan and, with a sort order, sorted in memory
// by the session's sorter. Column values are read from the base rows each time a row is read;
// edits and deletions through a live result (one base relation) go straight to the base table.
//
// The record numbers of a result set are the row positions 1 .. row count. It has one virtual
// index, number 100, whose key is the sort order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "query/VdbSort.h"
#include "session/VdbAccessor.h"
#include "storage/kxClasses.h"
#include "table/VdbRelation.h"

namespace vdb {

enum TCursorColumnKind : std::uint8_t {
  qckData,        // the value of a base column (its relation and column in the column definition)
  qckCalculated,  // computed by the origin's calculation on the current base rows
  qckAggregate    // filled by the grouping step
};

struct TVdbColumnOrigin {
  TCursorColumnKind Kind = qckData;
  // The computation of a calculated column (evaluated on the current rows of the base
  // accessors); its result type need not be the column's: the value is converted.
  std::unique_ptr<TVdbCompiledExpression> Calculation;
};
using TVdbColumnOrigins = std::vector<TVdbColumnOrigin>;

// What the result set asks of the execution plan that computes its rows.
class TVdbResultPlan {
 public:
  virtual ~TVdbResultPlan() = default;
  virtual void Initialize() = 0;
  // Back before the first row combination.
  virtual void Reset() = 0;
  // Positions the accessors of the context on the next row combination that satisfies the
  // query's condition; false when there is none. May raise EVdbEngine.
  virtual bool FindNext() = 0;
  // The relations of the plan, in plan order.
  virtual int RelationCount() const = 0;
  virtual TVdbRelationIndex RelationIndex(int Position) const = 0;
};

class TVdbVariables;

class TVdbResultSet : public TVdbRelation {
 public:
  using TRow = std::vector<std::int32_t>;
  static constexpr std::int16_t kResultIndexNo = 100;

  // An empty result: no columns, no rows, no sort order.
  TVdbResultSet(TVdbServices* Services, std::string Name);
  ~TVdbResultSet() override;

  // --- Preparation ---
  // Takes both lists; one origin per column. A memo, blob or wide-memo column that is calculated
  // raises error 117. The columns are laid out one after the other.
  void SetSchema(std::unique_ptr<TVdbColumnDefs> ColumnDefs, TVdbColumnOrigins ColumnOrigins);
  // The query's accessors, one per base relation (owned).
  void SetAccessors(std::unique_ptr<TVdbAccessorSet> Accessors);
  TVdbAccessorSet* Accessors() const { return FAccessors.get(); }
  // A copy of the statement's parameters, for calculated columns (owned).
  void SetVariables(std::unique_ptr<TVdbVariables> Variables);
  TVdbVariables* Variables() const { return FVariables.get(); }
  // Every variable of Variables that the result holds under the same name gets its value (and
  // its type, when the result's variable has none yet).
  void UpdateVariableValues(const TVdbVariables& Variables);
  void SetTopCount(std::int32_t TopCount) { FTopCount = TopCount; }
  std::int32_t TopCount() const { return FTopCount; }
  // The plan (owned); its relations must have accessors in the accessor set. Hooks the deletion
  // notice of the accessors and records the base relations.
  void SetQueryExecutionPlan(std::unique_ptr<TVdbResultPlan> Plan);
  // The order of the rows: items separated by ",", "-" in front for descending, a column as
  // its name, "${name}", "{name}", "table.column" or its 1-based number. 0 or -50 (a name that
  // is no column; the order is then left partly filled).
  std::int16_t SetSortOrder(const std::string& SortOrder);
  const TVdbSortDef& SortOrder() const { return FIndexDef; }
  // Collects the rows again; 0 or a negative code (-99 when the keys do not fit into memory).
  std::int16_t Recalc();

  // --- Properties ---
  bool IsLive() const;
  bool GetReadOnly() const { return ReadOnly(); }
  std::int32_t GetRecordCount() const { return FRowList.Count(); }
  TVdbRelation* GetPrimaryBaseRelation() const;
  bool UsingRowList() const { return FUsingRowList; }
  // The tuple of row RecNo (1-based), null out of range.
  const TRow* GetRow(std::int32_t RecNo);
  const TVdbColumnOrigins& ColumnOrigins() const { return FColumnOrigins; }

  // --- The relation interface ---
  using TVdbRelation::FindIndex;
  bool Active() const override { return FUsingRowList; }
  bool ReadOnly() const override { return (FRights & kVdbWriteRights & ~kVdbRightIndex) == 0; }
  bool Exclusive() const override { return false; }
  std::string FullName() const override { return FName; }
  std::string Name() const override { return FName; }
  std::int16_t Level() const override { return FTableLevel; }
  std::int32_t RecordSize() const override { return FColumnDefs->GetRecordSize(); }
  std::int32_t RecordCount() override { return FRowList.Count(); }
  std::int32_t ConstraintCount() const override { return 0; }
  TVdbCheckDef* GetConstraint(std::int32_t) const override { return nullptr; }
  std::int32_t IntegrityRuleCount() const override { return 0; }
  TVdbForeignKeyDef* GetIntegrityRule(std::int32_t) const override { return nullptr; }
  // Opening allocates the record buffer and makes the result active (with no rows yet).
  std::int16_t OpenFiles(bool Force) override;
  std::int16_t CloseFiles() override;
  std::int16_t Setup(bool Force) override;
  std::int16_t InitIndex(const std::string& IndexName, const TVdbSortDef* IndexDef) override;
  // No index slots: the virtual index is reached through FindIndex and its number only.
  std::int16_t IndexCount() const override { return 0; }
  // Null for the virtual index, which has no file; any other number raises "Index number out of
  // range".
  TVdbIndexFile* GetIndexFile(std::int16_t IndexNo) const override;
  std::int16_t BeginRead(bool Wait) override;
  std::int16_t BeginUpgrade(bool Wait) override;
  std::int16_t BeginWrite(bool Wait) override;
  std::int16_t BeginExclusive(bool Wait) override;
  std::int16_t NewIndex(const std::string& IndexName, const TVdbSortDef& IndexDef,
                        const TVdbIndexFile::TProgressFunc& ProgFun,
                        std::int32_t Capacity) override;
  std::int16_t RemoveInd(std::int16_t IndexNo) override;
  std::int32_t GetBlobLength(const std::uint8_t* RecBuffer, std::int16_t FieldNo) override;
  std::int32_t GetMemoLength(const std::uint8_t* RecBuffer, std::int16_t FieldNo) override;
  std::int16_t ReadMemoString(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                              std::string& Value) override;
  std::int16_t GetBlobType(const std::uint8_t* RecBuffer, std::int16_t FieldNo) override;
  std::int16_t ReadBlobData(const std::uint8_t* RecBuffer, std::int16_t FieldNo, std::string& Data,
                            std::int16_t& BlobType) override;
  std::int16_t ReadBlobDataWide(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                std::u16string& Value) override;
  const TVdbSortDef* GetNativeSortDef() const override { return nullptr; }
  std::int16_t Check(bool) override { return 0; }
  bool CanRealDelete() const override { return true; }
  // Deletes every row of the result from its base rows; the count, or the first error when
  // nothing was deleted.
  std::int32_t ClearDat() override;
  std::int16_t Flush() override;
  std::int16_t Undo() override;
  std::string GetBlobBaseDir() const override;
  std::int16_t GetBaseField(std::int16_t FieldNo, TVdbRelationIndex& BaseRltnIdx,
                            std::int16_t& BaseFieldNo) const override;
  std::int32_t GetCapacity() const override { return kVdbDefaultCapacity; }
  std::int16_t MoveIndex(std::int16_t FromIndexNo, std::int16_t ToIndexNo) override;
  std::int16_t FindFirstIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) override;
  // Binary search over the rows by the sort order's key: 0 for an empty result, 2 when a row
  // with the same key is found, else 1; FoundInfo gets the key of the row found.
  std::int16_t FindSortInfo(std::int16_t AccessId, const TVdbLongIndexInfo& SearchInfo,
                            TVdbLongIndexInfo& FoundInfo) override;
  std::int16_t FindNextIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) override;
  std::int16_t FindLastIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) override;
  std::int16_t FindPrevIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) override;
  std::int16_t GetNativeSortInfo(std::int32_t RecordNo, TVdbLongIndexInfo& SortInfo) override;
  // Row positions: -19 when there is no such row.
  std::int32_t GetFirstRecordNo() override;
  std::int32_t GetNextRecordNo(std::int32_t RecNo) override;
  std::int32_t GetPrevRecordNo(std::int32_t RecNo) override;
  std::int32_t GetLastRecordNo() override;
  std::int16_t SetAutoNum(std::uint8_t* RecBuffer) override;
  std::int16_t AdjustRecordId(const std::uint8_t* RecBuffer) override;
  std::int16_t CancelAutoNum(std::int32_t RecordId) override;
  // Positions the base accessors on the row's tuple and builds the record from their rows.
  std::int16_t ReadRecord(std::int32_t RecNo, std::uint8_t* RecBuffer) override;
  std::int16_t InitRecord(std::uint8_t* RecBuffer, bool Preset) override;
  // Appends a base record; the new row goes to the end of the result. Answers the row count.
  std::int32_t AppendRecord(std::uint8_t* RecBuffer, const TVdbBlobDataList* Blobs) override;
  std::int16_t ReplaceRecord(std::uint8_t* RecBuffer, const std::uint8_t* OrigRecBuffer,
                             std::int32_t RecNo, const TVdbBlobDataList* Blobs) override;
  std::int16_t DeleteRecord(std::uint8_t* RecBuffer, std::int32_t RecNo) override;
  std::int16_t BerechneFormeln(std::uint8_t*, TVdbCalculationPurposes) override { return 0; }
  std::int32_t ReadNextRecordId() override;
  std::int16_t WriteMemoString(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                               const std::string& Value) override;
  std::int16_t WriteBlobData(std::uint8_t* RecBuffer, std::int16_t FieldNo, const std::string& Data,
                             std::int16_t BlobType) override;
  std::int16_t WriteBlobDataWide(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                 const std::u16string& Value) override;
  std::int16_t DoGetLinkString(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                               std::string& Result) override;
  // With no sort order yet the definition becomes the order and the rows are collected again;
  // else index 100 when the order covers the definition, -1 otherwise.
  std::int16_t FindIndex(const TVdbSortDef& IndexDef, TVdbIndexFindOptions Options,
                         bool& Reverse) override;
  std::int16_t SearchFullText(std::int16_t FtIndexNo, const std::string& Text,
                              std::vector<std::int32_t>& RecordNos) override;
  std::int32_t CountReadLocks() const override;
  std::int32_t CountWriteLocks() const override;
  std::int16_t CheckUpdate() override;
  std::int16_t EndRead() override;
  std::int16_t EndUpgrade() override;
  std::int16_t EndWrite() override;
  std::int16_t EndExclusive() override;
  std::int16_t CheckEdit(std::int32_t RecNo, TVdbRelationListener* Excluded) override;
  std::int16_t SwitchEdit(std::int32_t FromRecNo, std::int32_t ToRecNo) override;
  std::int16_t EndEdit(std::int32_t RecNo) override;
  std::int16_t CheckIndexOpen(std::int16_t IndexNo) override;
  const TVdbSortDef* GetIndexDefinition(std::int16_t IndexNo) override;

 private:
  std::int16_t NotSupported() const;
  std::int16_t ResolveSortItem(const std::string& Item) const;
  const TVdbRelation* BaseRelationOrNull(TVdbRelationIndex RltnIdx) const;
  void ClearRows();
  void DoRecalc();
  void BuildRecord(std::uint8_t* RecBuffer);
  void CopyDataColumn(std::int16_t FieldNo, std::uint8_t* RecBuffer);
  void CalculateColumn(std::int16_t FieldNo, std::uint8_t* RecBuffer);
  // Moves the base accessors to the tuple of row RecNo; false for a row out of range.
  bool PositionBase(std::int32_t RecNo);
  TRow CurrentTuple() const;
  TVdbAccessor* BaseAccessor(TVdbRelationIndex RltnIdx) const;
  TVdbAccessor& PrimaryAccessor() const;
  // The base record number of row RecNo in the plan's first relation (0 when none).
  std::int32_t PrimaryRecordNo(std::int32_t RecNo);
  TVdbRelation& BaseRelationOf(std::int16_t FieldNo) const;
  template <class TRead>
  auto ReadLong(const std::uint8_t* RecBuffer, std::int16_t FieldNo, TRead&& Read)
      -> decltype(Read(*this, nullptr, FieldNo));
  void RemapBlobs(const TVdbBlobDataList* Blobs, TVdbBlobDataList& BaseBlobs) const;
  void CopyToBase(const std::uint8_t* RecBuffer, std::uint8_t* BaseBuffer) const;
  void BaseRecordDeleted(std::int32_t Deleted, std::int32_t Moved);
  void HookDeletions(bool Hook);
  void SetResultRights();
  bool IsBlobField(std::int16_t FieldNo) const;
  std::uint8_t* KeyItem();

  std::string FName;
  std::int16_t FTableLevel = kVdbEngineLevel;
  std::int32_t FTopCount = 0;
  TVdbColumnOrigins FColumnOrigins;
  std::unique_ptr<TVdbAccessorSet> FAccessors;
  std::unique_ptr<TVdbVariables> FVariables;
  std::unique_ptr<TVdbResultPlan> FQEP;
  TVdbSortDef FIndexDef;
  std::vector<std::uint8_t> FKeyItem;  // key work area of the sort order
  bool FUsingRowList = false;
  TDoubleLinkedList<TRow> FRowList;
  TVdbRelationSet FReadLockRelations;
  TVdbSorter FSorter;
};

}  // namespace vdb
