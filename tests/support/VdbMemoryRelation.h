// A relation over records and memo texts kept in memory: the stand-in for a stored table in the
// tests of whatever works through the relation interface (the relation base, accessors, virtual
// relations, conditions and formulas).
//
// Records are images in column order. A memo or blob field holds a block number of the memo map
// (0 = none, so NULL); appending or writing a memo takes the next number. Appending tells the
// accessors; deleting works as a heap does (the last record moves into the freed slot). A plain
// relation refuses replacing records (the base class's answer), as does this one unless a derived
// double adds it. Indexes belong to derived doubles: they keep theirs up to date through
// RecordAdded, RecordRemoving and RecordsCleared.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/VdbServices.h"
#include "table/VdbRelation.h"
#include "table/kxStrUtils.h"

namespace vdb::test {

class TMemoryRelation : public TVdbRelation {
 public:
  TMemoryRelation(TVdbServices* Services, TVdbColumnDefs Columns, std::string FullName,
                  std::int16_t Level = 6)
      : TVdbRelation(Services), FFullName(std::move(FullName)), FLevel(Level) {
    *FColumnDefs = std::move(Columns);
    FRights = kVdbWriteRights;
  }
  ~TMemoryRelation() override { Close(); }

  // --- Test controls ---
  bool IsReadOnly = false;
  bool RealDelete = true;            // what CanRealDelete answers
  std::int16_t OpenFilesResult = 0;  // a negative result: OpenFiles fails with it
  bool OpenFilesThrows = false;      // OpenFiles raises engine error 37
  bool RefuseLocks = false;          // read and upgrade locks fail with error 104
  std::vector<std::unique_ptr<TVdbCheckDef>> Checks;
  std::unique_ptr<TVdbSortDef> NativeSortDef;

  // --- What the relation was asked ---
  std::int32_t ReadLocks = 0;     // currently held
  std::int32_t MaxReadLocks = 0;  // highest number held at once
  std::int32_t UpgradeLocks = 0;
  std::int32_t MemoReads = 0;
  std::int32_t RecordReads = 0;

  // An empty record image of this relation's size.
  std::vector<std::uint8_t> NewRecord() const {
    return std::vector<std::uint8_t>(static_cast<std::size_t>(RecordSize()), 0);
  }
  // Appends a record image as it stands; its record number.
  std::int32_t Add(const std::vector<std::uint8_t>& Record) {
    FRecords.push_back(Record);
    const auto RecNo = static_cast<std::int32_t>(FRecords.size());
    RecordAdded(RecNo);
    NotifyRelationChanged();
    return RecNo;
  }
  // Appends a record from texts, one a column (nullopt = NULL); memo texts are stored aside in
  // the column's code page.
  std::int32_t AddRow(const std::vector<std::optional<std::string>>& Values) {
    std::vector<std::uint8_t> Record = NewRecord();
    for (std::int16_t No = 1; No <= GetColumnCount(); ++No) {
      const auto& Value = Values[static_cast<std::size_t>(No - 1)];
      if (GetDataType(No)->ColumnType() == kVdbMemoCode) {
        const auto* Type = static_cast<const TVdbStringType*>(GetDataType(No));
        if (Value) WriteMemoString(Record.data(), No, Utf8ToAnsi(*Value, Type->CodePage()));
      } else if (Value) {
        SetAsStringA(Record.data(), No, *Value);
      } else {
        SetNull(Record.data(), No);
      }
    }
    return Add(Record);
  }

  // --- The relation interface ---
  bool Active() const override { return FRecBuffer != nullptr; }
  bool ReadOnly() const override { return IsReadOnly; }
  bool Exclusive() const override { return true; }
  std::string FullName() const override { return FFullName; }
  std::string Name() const override { return CalcStdName(FFullName); }
  std::int16_t Level() const override { return FLevel; }
  std::int32_t RecordSize() const override { return FColumnDefs->GetRecordSize(); }
  std::int32_t RecordCount() override { return static_cast<std::int32_t>(FRecords.size()); }
  std::int32_t ConstraintCount() const override { return static_cast<std::int32_t>(Checks.size()); }
  TVdbCheckDef* GetConstraint(std::int32_t Index) const override {
    if (Index < 0 || Index >= ConstraintCount()) return nullptr;
    return Checks[static_cast<std::size_t>(Index)].get();
  }
  std::int32_t IntegrityRuleCount() const override { return 0; }
  TVdbForeignKeyDef* GetIntegrityRule(std::int32_t) const override { return nullptr; }
  std::int16_t OpenFiles(bool) override {
    if (OpenFilesThrows) throw EVdbEngine(37, FFullName);
    if (OpenFilesResult < 0) return OpenFilesResult;
    RecalcColumnFlags();
    AllocRecBuffer();
    return 0;
  }
  std::int16_t InitIndex(const std::string&, const TVdbSortDef*) override {
    return RecordError(67, {});
  }
  TVdbIndexFile* GetIndexFile(std::int16_t) const override { return nullptr; }
  std::int16_t NewIndex(const std::string&, const TVdbSortDef&,
                        const TVdbIndexFile::TProgressFunc&, std::int32_t) override {
    return RecordError(67, {});
  }
  std::int16_t RemoveInd(std::int16_t) override { return 0; }
  std::int16_t MoveIndex(std::int16_t, std::int16_t) override { return 0; }
  const TVdbSortDef* GetNativeSortDef() const override { return NativeSortDef.get(); }

  std::int16_t BeginRead(bool) override {
    if (RefuseLocks) return RecordError(104, {});
    MaxReadLocks = std::max(MaxReadLocks, ++ReadLocks);
    return 0;
  }
  std::int16_t EndRead() override {
    --ReadLocks;
    return 0;
  }
  std::int16_t BeginUpgrade(bool) override {
    if (RefuseLocks) return RecordError(104, {});
    ++UpgradeLocks;
    return 0;
  }
  std::int16_t EndUpgrade() override {
    --UpgradeLocks;
    return 0;
  }
  std::int16_t BeginWrite(bool) override { return 0; }
  std::int16_t BeginExclusive(bool) override { return 0; }

  // Memos and blobs: the field holds a block number of the memo map.
  std::int32_t GetBlobLength(const std::uint8_t* RecBuffer, std::int16_t FieldNo) override {
    return static_cast<std::int32_t>(MemoOf(RecBuffer, FieldNo).size());
  }
  std::int32_t GetMemoLength(const std::uint8_t* RecBuffer, std::int16_t FieldNo) override {
    return GetBlobLength(RecBuffer, FieldNo);
  }
  std::int16_t ReadMemoString(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                              std::string& Value) override {
    ++MemoReads;
    Value = MemoOf(RecBuffer, FieldNo);
    return 0;
  }
  std::int16_t GetBlobType(const std::uint8_t*, std::int16_t) override { return 0; }
  std::int16_t ReadBlobData(const std::uint8_t* RecBuffer, std::int16_t FieldNo,
                            std::string& Data, std::int16_t& BlobType) override {
    Data = MemoOf(RecBuffer, FieldNo);
    BlobType = 0;
    return 0;
  }
  std::int16_t ReadBlobDataWide(const std::uint8_t*, std::int16_t, std::u16string& Value) override {
    Value.clear();
    return 0;
  }
  std::int16_t WriteMemoString(std::uint8_t* RecBuffer, std::int16_t FieldNo,
                               const std::string& Value) override {
    const std::int32_t Block = ++FLastBlock;
    FMemos[Block] = Value;
    SetBlockIdx(RecBuffer, FieldNo, Block);
    return 0;
  }
  std::int16_t WriteBlobData(std::uint8_t* RecBuffer, std::int16_t FieldNo, const std::string& Data,
                             std::int16_t) override {
    return WriteMemoString(RecBuffer, FieldNo, Data);
  }
  std::int16_t WriteBlobDataWide(std::uint8_t*, std::int16_t, const std::u16string&) override {
    return RecordError(160, {FFullName});
  }

  std::int16_t Check(bool) override { return 0; }
  bool CanRealDelete() const override { return RealDelete; }
  std::int32_t ClearDat() override {
    const auto Count = static_cast<std::int32_t>(FRecords.size());
    FRecords.clear();
    FMemos.clear();
    RecordsCleared();
    NotifyRelationEmptied();
    return Count;
  }
  std::int16_t Flush() override { return 0; }
  std::int16_t Undo() override { return 0; }
  std::string GetBlobBaseDir() const override { return {}; }
  std::int16_t GetBaseField(std::int16_t FieldNo, TVdbRelationIndex& BaseRltnIdx,
                            std::int16_t& BaseFieldNo) const override {
    BaseRltnIdx = FRltnIdx;
    BaseFieldNo = FieldNo;
    return 0;
  }
  std::int32_t GetCapacity() const override { return 1000; }

  std::int32_t GetFirstRecordNo() override { return FRecords.empty() ? 0 : 1; }
  std::int32_t GetNextRecordNo(std::int32_t RecNo) override {
    return RecNo < RecordCount() ? RecNo + 1 : 0;
  }
  std::int32_t GetPrevRecordNo(std::int32_t RecNo) override {
    return RecNo > 1 ? std::min(RecNo - 1, RecordCount()) : 0;
  }
  std::int32_t GetLastRecordNo() override { return RecordCount(); }
  std::int16_t SetAutoNum(std::uint8_t*) override { return 0; }
  std::int16_t AdjustRecordId(const std::uint8_t*) override { return 0; }
  std::int16_t CancelAutoNum(std::int32_t) override { return 0; }
  std::int32_t ReadNextRecordId() override { return 1; }

  std::int16_t ReadRecord(std::int32_t RecNo, std::uint8_t* RecBuffer) override {
    if (RecNo < 1 || RecNo > RecordCount()) return RecordError(19, {});
    ++RecordReads;
    const auto& Record = FRecords[static_cast<std::size_t>(RecNo - 1)];
    std::copy(Record.begin(), Record.end(), RecBuffer);
    return 0;
  }
  std::int16_t InitRecord(std::uint8_t* RecBuffer, bool) override {
    std::fill(RecBuffer, RecBuffer + RecordSize(), 0);
    return 0;
  }
  std::int32_t AppendRecord(std::uint8_t* RecBuffer, const TVdbBlobDataList* Blobs) override {
    WriteBlobs(RecBuffer, Blobs);
    return Add(std::vector<std::uint8_t>(RecBuffer, RecBuffer + RecordSize()));
  }
  std::int16_t DeleteRecord(std::uint8_t*, std::int32_t RecNo) override {
    if (RecNo < 1 || RecNo > RecordCount()) return RecordError(19, {});
    if (FUseEditLocks && CheckEdit(RecNo, nullptr) < 0) return -105;
    const std::int32_t Last = RecordCount();
    RecordRemoving(RecNo);
    std::int32_t Moved = 0;
    if (RecNo != Last) {
      RecordRemoving(Last);
      FRecords[static_cast<std::size_t>(RecNo - 1)] = FRecords.back();
      Moved = Last;
    }
    FRecords.pop_back();
    if (Moved != 0) RecordAdded(RecNo);
    NotifyRecordDeleted(RecNo, Moved);
    return 0;
  }
  std::int16_t BerechneFormeln(std::uint8_t*, TVdbCalculationPurposes) override { return 0; }
  std::int16_t DoGetLinkString(const std::uint8_t*, std::int16_t, std::string& Result) override {
    Result.clear();
    return 0;
  }

 protected:
  // Index upkeep of derived doubles: a record has come (or moved) to RecNo, the record at RecNo
  // is about to go (or move), every record has gone.
  virtual void RecordAdded(std::int32_t /*RecNo*/) {}
  virtual void RecordRemoving(std::int32_t /*RecNo*/) {}
  virtual void RecordsCleared() {}

  const std::vector<std::uint8_t>& RecordAt(std::int32_t RecNo) const {
    return FRecords.at(static_cast<std::size_t>(RecNo - 1));
  }
  // Replaces the image of record RecNo (1 to RecordCount()).
  void StoreRecord(std::int32_t RecNo, const std::uint8_t* RecBuffer) {
    FRecords.at(static_cast<std::size_t>(RecNo - 1)).assign(RecBuffer, RecBuffer + RecordSize());
  }
  // Stores the memo and blob values that come with a record being written.
  void WriteBlobs(std::uint8_t* RecBuffer, const TVdbBlobDataList* Blobs) {
    if (Blobs == nullptr) return;
    for (const TVdbBlobData& Blob : *Blobs)
      if (Blob.FieldNo != 0) WriteMemoString(RecBuffer, Blob.FieldNo, Blob.AnsiData);
  }

 private:
  std::string MemoOf(const std::uint8_t* RecBuffer, std::int16_t FieldNo) const {
    const auto It = FMemos.find(GetBlockIdx(RecBuffer, FieldNo));
    return It == FMemos.end() ? std::string() : It->second;
  }

  std::string FFullName;
  std::int16_t FLevel;
  std::vector<std::vector<std::uint8_t>> FRecords;
  std::map<std::int32_t, std::string> FMemos;
  std::int32_t FLastBlock = 0;
};

}  // namespace vdb::test
