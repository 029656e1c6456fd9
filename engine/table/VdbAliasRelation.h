// Virtual relations: a second relation object over a relation already open in the session. It
// shows exactly the records, indexes, memo and blob data and locks of that relation, but has its
// own name, its own relation index, its own copies of the column definitions, its own record
// buffer and its own accessors. Nothing of it is stored: it has no files and no lock-file entry.
//
// Record buffers, record numbers, index numbers, index items and memo/blob block numbers mean the
// same on a virtual relation and on its base relation. Every operation that reaches records,
// indexes, memos, blobs or locks is passed unchanged to the base relation; the notifications of
// the base relation are passed on to the virtual relation's own accessors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "table/VdbRelation.h"

namespace vdb {

class TVdbVirtualRelation : public TVdbRelation, public TVdbRelationListener {
 public:
  // Registers the virtual relation with BaseRelation as one of its accessors, so that it hears
  // every notification and keeps the base relation open; BaseRelation is not owned.
  TVdbVirtualRelation(TVdbServices* Services, TVdbRelation& BaseRelation, std::string Name);
  // Unregisters from the base relation, which stays open.
  ~TVdbVirtualRelation() override;

  TVdbRelation& BaseRelation() const { return *FBaseRelation; }

  // --- Operations of its own ---
  bool Active() const override { return FIsOpen; }
  std::string FullName() const override { return FName; }
  std::string Name() const override { return FName; }
  // Clones the base relation's column definitions, copies its rights and system index numbers
  // and allocates a record buffer of its record size.
  std::int16_t OpenFiles(bool Force) override;
  // Refused with -82: indexes are made on the base relation (NewIndex).
  std::int16_t InitIndex(const std::string& IndexName, const TVdbSortDef* IndexDef) override;
  // The base relation was set up when it was opened.
  std::int16_t Setup(bool Force) override;
  std::int16_t Close() override;

  // --- Passed to the base relation ---
  using TVdbRelation::FindIndex;
  using TVdbRelation::IsRecordEdited;
  using TVdbRelation::MayDeleteIndex;
  bool ReadOnly() const override;
  bool Exclusive() const override;
  std::int16_t Level() const override;
  std::int32_t RecordSize() const override;
  std::int32_t RecordCount() override;
  std::int32_t ConstraintCount() const override;
  TVdbCheckDef* GetConstraint(std::int32_t Index) const override;
  std::int32_t IntegrityRuleCount() const override;
  TVdbForeignKeyDef* GetIntegrityRule(std::int32_t Index) const override;
  std::int16_t FirstIndexNo() const override;
  std::int16_t LastIndexNo() const override;
  std::int16_t IndexCount() const override;
  TVdbIndexFile* GetIndexFile(std::int16_t IndexNo) const override;
  std::int16_t BeginRead(bool Wait) override;
  std::int16_t BeginUpgrade(bool Wait) override;
  std::int16_t BeginWrite(bool Wait) override;
  std::int16_t BeginExclusive(bool Wait) override;
  std::int16_t NewIndex(const std::string& IndexName, const TVdbSortDef& IndexDef,
                        const TVdbIndexFile::TProgressFunc& ProgFun,
                        std::int32_t Capacity) override;
  std::int16_t RemoveInd(std::int16_t IndexNo) override;
  std::string CalcIndexFileName(const std::string& IndexName) const override;
  void IndexAdded(std::int16_t IndexNo) override;
  TkxFileSystem* GetIndexFileSystem(TVdbIndexKind Kind) const override;
  std::int32_t GetBlobLength(const std::uint8_t* RecBuffer, std::int16_t FieldNo) override;
  std::int32_t GetMemoLength(const std::uint8_t* RecBuffer, std::int16_t FieldNo) override;
  std::int16_t ReadMemoString(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                              std::string& Value) override;
  std::int16_t GetBlobType(const std::uint8_t* RecBuffer, std::int16_t FieldNo) override;
  std::int16_t ReadBlobData(const std::uint8_t* RecBuffer, std::int16_t FieldNo, std::string& Data,
                            std::int16_t& BlobType) override;
  std::int16_t ReadBlobDataWide(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                std::u16string& Value) override;
  const TVdbSortDef* GetNativeSortDef() const override;
  std::int16_t Check(bool Repair) override;
  bool CanRealDelete() const override;
  std::int32_t ClearDat() override;
  std::int16_t Flush() override;
  std::int16_t Undo() override;
  std::string GetBlobBaseDir() const override;
  std::int16_t GetBaseField(std::int16_t FieldNo, TVdbRelationIndex& BaseRltnIdx,
                            std::int16_t& BaseFieldNo) const override;
  std::int32_t GetCapacity() const override;
  std::int16_t MoveIndex(std::int16_t FromIndexNo, std::int16_t ToIndexNo) override;
  std::int16_t FindFirstIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) override;
  std::int16_t FindNextIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) override;
  std::int16_t FindLastIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) override;
  std::int16_t FindPrevIndexInfo(std::int16_t IndexNo, TVdbLongIndexInfo& Value) override;
  std::int32_t GetFirstRecordNo() override;
  std::int32_t GetNextRecordNo(std::int32_t RecNo) override;
  std::int32_t GetPrevRecordNo(std::int32_t RecNo) override;
  std::int32_t GetLastRecordNo() override;
  std::int16_t SetAutoNum(std::uint8_t* RecBuffer) override;
  std::int16_t AdjustRecordId(const std::uint8_t* RecBuffer) override;
  std::int16_t CancelAutoNum(std::int32_t RecordId) override;
  std::int16_t ReadRecord(std::int32_t RecNo, std::uint8_t* RecBuffer) override;
  std::int16_t InitRecord(std::uint8_t* RecBuffer, bool Preset) override;
  std::int32_t AppendRecord(std::uint8_t* RecBuffer, const TVdbBlobDataList* Blobs) override;
  std::int16_t ReplaceRecord(std::uint8_t* RecBuffer, const std::uint8_t* OrigRecBuffer,
                             std::int32_t RecNo, const TVdbBlobDataList* Blobs) override;
  std::int16_t DeleteRecord(std::uint8_t* RecBuffer, std::int32_t RecNo) override;
  std::int16_t BerechneFormeln(std::uint8_t* RecBuffer, TVdbCalculationPurposes Purposes) override;
  std::int32_t ReadNextRecordId() override;
  std::int16_t WriteMemoString(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                               const std::string& Value) override;
  std::int16_t WriteBlobData(std::uint8_t* RecBuffer, std::int16_t FieldNo, const std::string& Data,
                             std::int16_t BlobType) override;
  std::int16_t WriteBlobDataWide(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                                 const std::u16string& Value) override;
  std::int16_t DoGetLinkString(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                               std::string& Result) override;
  std::int16_t FindIndex(const TVdbSortDef& IndexDef, TVdbIndexFindOptions Options,
                         bool& Reverse) override;
  std::int16_t FindFtIndexNo(const std::string& IndexName) const override;
  std::string GetRealIndexName(const std::string& IndexName) const override;
  std::int16_t GetFullTextIndexNo(std::int16_t FieldNo) const override;
  std::int16_t SearchFullText(std::int16_t FtIndexNo, const std::string& Text,
                              std::vector<std::int32_t>& RecordNos) override;
  std::int16_t NetUsers(std::vector<std::string>& Users) override;
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
  std::int16_t UpdateTable() override;
  std::int16_t CheckIndexOpen(std::int16_t IndexNo) override;
  const TVdbSortDef* GetIndexDefinition(std::int16_t IndexNo) override;

  // --- Notifications from the base relation, passed on to this relation's accessors ---
  // "VirtualRelation" followed by the virtual relation's own standard name.
  std::string GetTag() const override;
  void RecordDeleted(std::int32_t RecNo, std::int32_t MovedRecNo) override;
  void RecordChanged(std::int32_t RecNo) override;
  void RelationChanged() override;
  void RelationEmptied() override;
  // Every accessor may veto; one veto suffices.
  void MayDeleteIndex(std::int16_t IndexNo, bool& Allowed) override;
  void IndexRemoved(std::int16_t IndexNo) override;
  void IndexNamesChanged() override;
  // True at the first accessor that edits RecNo (the rest are not asked).
  bool IsRecordEdited(std::int32_t RecNo) override;

 private:
  bool FIsOpen = false;
  std::string FName;
  TVdbRelation* FBaseRelation;
};

}  // namespace vdb
