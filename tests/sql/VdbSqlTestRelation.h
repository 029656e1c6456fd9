// A relation over records and memo texts kept in memory, for evaluating conditions through real
// accessors.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "base/VdbServices.h"
#include "table/VdbRelation.h"
#include "table/kxStrUtils.h"

namespace vdb::test {

// Records and memo texts in memory; memo text i + 1 is referenced by block number i + 1, and
// block 0 is no memo (NULL). Counts the memo reads.
class TMemoRelation : public TVdbRelation {
 public:
  TMemoRelation(TVdbServices* Services, TVdbColumnDefs Columns, std::string FullName)
      : TVdbRelation(Services), FFullName(std::move(FullName)) {
    *FColumnDefs = std::move(Columns);
  }
  ~TMemoRelation() override { Close(); }

  int MemoReads = 0;

  // Appends a record from texts (nullopt = NULL); memo columns get their text stored aside.
  void AddRow(const std::vector<std::optional<std::string>>& Values) {
    std::vector<std::uint8_t> Record(static_cast<std::size_t>(RecordSize()), 0);
    for (std::int16_t No = 1; No <= GetColumnCount(); ++No) {
      const auto& V = Values[static_cast<std::size_t>(No - 1)];
      const std::int16_t Code = GetDataType(No)->ColumnType();
      if (Code == kVdbMemoCode) {
        if (V) {
          FMemos.push_back(Utf8ToAnsi(*V, static_cast<const TVdbStringType*>(GetDataType(No))->CodePage()));
          SetBlockIdx(Record.data(), No, static_cast<std::int32_t>(FMemos.size()));
        }
      } else if (V) {
        SetAsStringA(Record.data(), No, *V);
      } else {
        SetNull(Record.data(), No);
      }
    }
    FRecords.push_back(std::move(Record));
  }

  bool Active() const override { return FRecBuffer != nullptr; }
  bool ReadOnly() const override { return true; }
  bool Exclusive() const override { return true; }
  std::string FullName() const override { return FFullName; }
  std::string Name() const override { return CalcStdName(FFullName); }
  std::int16_t Level() const override { return 6; }
  std::int32_t RecordSize() const override { return FColumnDefs->GetRecordSize(); }
  std::int32_t RecordCount() override { return static_cast<std::int32_t>(FRecords.size()); }
  std::int32_t ConstraintCount() const override { return 0; }
  TVdbCheckDef* GetConstraint(std::int32_t) const override { return nullptr; }
  std::int32_t IntegrityRuleCount() const override { return 0; }
  TVdbForeignKeyDef* GetIntegrityRule(std::int32_t) const override { return nullptr; }
  std::int16_t OpenFiles(bool) override {
    RecalcColumnFlags();
    AllocRecBuffer();
    return 0;
  }
  std::int16_t InitIndex(const std::string&, const TVdbSortDef*) override { return RecordError(67, {}); }
  TVdbIndexFile* GetIndexFile(std::int16_t) const override { return nullptr; }
  std::int16_t BeginRead(bool) override { return 0; }
  std::int16_t BeginUpgrade(bool) override { return 0; }
  std::int16_t BeginWrite(bool) override { return 0; }
  std::int16_t BeginExclusive(bool) override { return 0; }
  std::int16_t NewIndex(const std::string&, const TVdbSortDef&, const TVdbIndexFile::TProgressFunc&,
                        std::int32_t) override {
    return RecordError(67, {});
  }
  std::int16_t RemoveInd(std::int16_t) override { return 0; }
  std::int32_t GetBlobLength(const std::uint8_t*, std::int16_t) override { return 0; }
  std::int32_t GetMemoLength(const std::uint8_t* RecBuffer, std::int16_t FieldNo) override {
    const std::int32_t Block = GetBlockIdx(RecBuffer, FieldNo);
    return Block > 0 ? static_cast<std::int32_t>(FMemos[static_cast<std::size_t>(Block - 1)].size()) : 0;
  }
  std::int16_t ReadMemoString(const std::uint8_t* RecBuffer, std::int16_t FieldNo, std::string& Value) override {
    ++MemoReads;
    const std::int32_t Block = GetBlockIdx(RecBuffer, FieldNo);
    Value = Block > 0 ? FMemos[static_cast<std::size_t>(Block - 1)] : std::string();
    return 0;
  }
  std::int16_t GetBlobType(const std::uint8_t*, std::int16_t) override { return 0; }
  std::int16_t ReadBlobData(const std::uint8_t*, std::int16_t, std::string& Data, std::int16_t& BlobType) override {
    Data.clear();
    BlobType = 0;
    return 0;
  }
  std::int16_t ReadBlobDataWide(const std::uint8_t*, std::int16_t, std::u16string& Value) override {
    Value.clear();
    return 0;
  }
  const TVdbSortDef* GetNativeSortDef() const override { return nullptr; }
  std::int16_t Check(bool) override { return 0; }
  bool CanRealDelete() const override { return true; }
  std::int32_t ClearDat() override {
    const auto Count = static_cast<std::int32_t>(FRecords.size());
    FRecords.clear();
    return Count;
  }
  std::int16_t Flush() override { return 0; }
  std::int16_t Undo() override { return 0; }
  std::string GetBlobBaseDir() const override { return {}; }
  std::int16_t GetBaseField(std::int16_t FieldNo, TVdbRelationIndex& BaseRltnIdx,
                            std::int16_t& BaseFieldNo) const override {
    BaseRltnIdx = 0;
    BaseFieldNo = FieldNo;
    return 0;
  }
  std::int32_t GetCapacity() const override { return 1000; }
  std::int16_t MoveIndex(std::int16_t, std::int16_t) override { return 0; }
  std::int32_t GetFirstRecordNo() override { return FRecords.empty() ? 0 : 1; }
  std::int32_t GetNextRecordNo(std::int32_t RecNo) override { return RecNo < RecordCount() ? RecNo + 1 : 0; }
  std::int32_t GetPrevRecordNo(std::int32_t RecNo) override { return RecNo > 1 ? RecNo - 1 : 0; }
  std::int32_t GetLastRecordNo() override { return RecordCount(); }
  std::int16_t SetAutoNum(std::uint8_t*) override { return 0; }
  std::int16_t AdjustRecordId(const std::uint8_t*) override { return 0; }
  std::int16_t CancelAutoNum(std::int32_t) override { return 0; }
  std::int16_t ReadRecord(std::int32_t RecNo, std::uint8_t* RecBuffer) override {
    if (RecNo < 1 || RecNo > RecordCount()) return RecordError(19, {});
    const auto& Record = FRecords[static_cast<std::size_t>(RecNo - 1)];
    std::copy(Record.begin(), Record.end(), RecBuffer);
    return 0;
  }
  std::int16_t InitRecord(std::uint8_t* RecBuffer, bool) override {
    std::fill(RecBuffer, RecBuffer + RecordSize(), 0);
    return 0;
  }
  std::int32_t AppendRecord(std::uint8_t*, const TVdbBlobDataList*) override { return RecordError(160, {}); }
  std::int16_t DeleteRecord(std::uint8_t*, std::int32_t) override { return RecordError(160, {}); }
  std::int16_t BerechneFormeln(std::uint8_t*, TVdbCalculationPurposes) override { return 0; }
  std::int32_t ReadNextRecordId() override { return 1; }
  std::int16_t WriteMemoString(std::uint8_t*, std::int16_t, const std::string&) override { return RecordError(160, {}); }
  std::int16_t WriteBlobData(std::uint8_t*, std::int16_t, const std::string&, std::int16_t) override {
    return RecordError(160, {});
  }
  std::int16_t WriteBlobDataWide(std::uint8_t*, std::int16_t, const std::u16string&) override {
    return RecordError(160, {});
  }
  std::int16_t DoGetLinkString(const std::uint8_t*, std::int16_t, std::string& Result) override {
    Result.clear();
    return 0;
  }

 private:
  std::string FFullName;
  std::vector<std::vector<std::uint8_t>> FRecords;
  std::vector<std::string> FMemos;
};

}  // namespace vdb::test
