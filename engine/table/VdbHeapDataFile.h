// The heap data file: records stored one after the other in record-number order after the
// definition block. Record n (1-based) lies at the start of the record area + (n - 1) x record
// size; the record numbers are always 1 to the record count without gaps, since only the last
// record can be dropped (the table first moves the last record into the slot it deletes).
//
// Header of levels 5 and 6: magic at 0, level at 4, encryption code at 6, record count at 7, a
// reserved word at 11, the next record id at 15, a reserved word at 19, the index-name count at
// 23 and the 50 slots after it, the framed definition block at 4525.
#pragma once

#include "table/VdbDataFile.h"

namespace vdb {

class TVdbHeapDataFile : public TVdbDataFile {
 public:
  using TVdbDataFile::TVdbDataFile;

  bool GetCanDelete() const override { return false; }
  std::int64_t GetStorageSize() const override;
  std::int32_t GetRecordCount() const override { return FRecordCount; }
  std::int64_t GetIndexNameCountPosition() const override;
  std::int64_t GetIndexNameAreaSize() const override;
  std::int64_t GetRecordCountPosition() const override;
  std::int64_t GetNextRecordIdPosition() const override;

  std::int32_t Clear() override;
  bool CanAppend() const override;
  std::int32_t GetFirstRecordNo() override;
  std::int32_t GetNextRecordNo(std::int32_t RecNo) override;
  std::int32_t GetPrevRecordNo(std::int32_t RecNo) override;
  std::int32_t GetLastRecordNo() override;
  std::int32_t ReadRecord(std::int32_t RecNo, std::uint8_t* Buffer) override;
  // Beyond the last record the file is extended; the record count does not change.
  std::int32_t WriteRecord(std::int32_t RecNo, const std::uint8_t* Buffer) override;
  // Appends; answers the new record number.
  std::int32_t InsertRecord(const std::uint8_t* RecBuffer) override;
  // Drops the last record (RecNo must name an existing record).
  std::int32_t DeleteRecord(std::int32_t RecNo) override;

  // Where the records start.
  std::int64_t RecordAreaStart() const { return FFileOffset; }
  std::int64_t RecordPosition(std::int32_t RecNo) const {
    return FFileOffset + static_cast<std::int64_t>(RecNo - 1) * FRecordSize;
  }

 protected:
  std::uint32_t Magic() const override { return kVdbHeapDataFileMagic; }
  std::int64_t EncryptionPosition() const override;
  bool HasMagic() const override { return FLevel != 1; }
  bool NextRecordIdAfterDefinition() const override { return FLevel >= 1 && FLevel <= 4; }
  void ReadKindHeader() override;
  void OpenRecords(const TVdbTableDefinition& Def) override;
  void CreateRecords(const TVdbTableDefinition& Def) override;
  void RereadState() override;

 private:
  // A count that is negative or whose records reach beyond the file is refused (error 134).
  void CheckRecordCount(std::int32_t Count) const;
  // Stores the count in the header and cuts the file after the last record.
  void SetRecordCount(std::int32_t Count);

  std::int32_t FRecordCount = 0;
  std::int64_t FFileOffset = 0;
};

}  // namespace vdb
