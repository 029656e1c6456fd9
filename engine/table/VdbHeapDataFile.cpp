#include "table/VdbHeapDataFile.h"

#include <algorithm>
#include <limits>

#include "base/VdbErrors.h"
#include "storage/VdbPageMan.h"
#include "table/VdbDefinitions.h"

namespace vdb {

namespace {

constexpr std::int32_t kNoRecord = -kVdbErrRecordNotFound;

// Levels 1 to 4. The record count and the index-name area lie where the table below says; the
// rest of those headers is laid out here as follows (the same for our writer and reader):
// - level 1 has no magic word: its record count takes bytes 0 to 3; levels 2 to 4 start with
//   the magic word like levels 5 and 6;
// - the level lies at 4 in every level; the encryption code at 6, except at level 2, whose
//   record count takes bytes 6 to 9, where it lies at 10;
// - the definition block follows the index-name area, framed, padded and stored as at levels 5
//   and 6 (the same block format);
// - the next record id takes the 4 bytes after the definition block, and the record area starts
//   right after them.
// Header positions of the older levels: record count, index names, size of the name area.
struct TOldLayout {
  std::int64_t RecordCount;
  std::int64_t IndexNames;
  std::int64_t IndexNameArea;
};
constexpr TOldLayout kOldLayouts[] = {{0, 8, 67}, {6, 14, 677}, {10, 18, 677}, {10, 22, 2252}};

bool IsOldLevel(std::int16_t Level) { return Level >= 1 && Level <= 4; }

}  // namespace

std::int64_t TVdbHeapDataFile::GetStorageSize() const {
  return FFileOffset + static_cast<std::int64_t>(FRecordCount) * FRecordSize;
}

std::int64_t TVdbHeapDataFile::GetIndexNameCountPosition() const {
  return IsOldLevel(FLevel) ? kOldLayouts[FLevel - 1].IndexNames : 23;
}

std::int64_t TVdbHeapDataFile::GetIndexNameAreaSize() const {
  return IsOldLevel(FLevel) ? kOldLayouts[FLevel - 1].IndexNameArea : kVdbIndexNameAreaSize;
}

std::int64_t TVdbHeapDataFile::GetRecordCountPosition() const {
  return IsOldLevel(FLevel) ? kOldLayouts[FLevel - 1].RecordCount : 7;
}

std::int64_t TVdbHeapDataFile::EncryptionPosition() const { return FLevel == 2 ? 10 : 6; }

// Older levels keep it in the 4 bytes before the record area.
std::int64_t TVdbHeapDataFile::GetNextRecordIdPosition() const {
  return IsOldLevel(FLevel) ? FFileOffset - 4 : 15;
}

void TVdbHeapDataFile::ReadKindHeader() {
  FFileOffset = 0;
  FRecordCount = ReadInt32At(GetRecordCountPosition());
}

void TVdbHeapDataFile::OpenRecords(const TVdbTableDefinition& /*Def*/) {
  FFileOffset = DefinitionEnd() + (IsOldLevel(FLevel) ? 4 : 0);
  CheckRecordCount(FRecordCount);
}

void TVdbHeapDataFile::CreateRecords(const TVdbTableDefinition& /*Def*/) {
  FFileOffset = DefinitionEnd() + (IsOldLevel(FLevel) ? 4 : 0);
  FRecordCount = 0;
  CoverBytes(FFileOffset);
}

void TVdbHeapDataFile::RereadState() {
  const std::int32_t Count = ReadInt32At(GetRecordCountPosition());
  CheckRecordCount(Count);
  FRecordCount = Count;
}

void TVdbHeapDataFile::CheckRecordCount(std::int32_t Count) const {
  if (Count < 0) RaiseCorrupt();
  if (FFileOffset + static_cast<std::int64_t>(Count) * FRecordSize > FStorage->GetSize()) {
    RaiseCorrupt();
  }
}

void TVdbHeapDataFile::SetRecordCount(std::int32_t Count) {
  WriteInt32At(GetRecordCountPosition(), Count);
  FRecordCount = Count;
  CoverBytes(GetStorageSize());
}

std::int32_t TVdbHeapDataFile::Clear() {
  return Guarded([&] {
    RequireWritable();
    SetRecordCount(0);
    return 0;
  });
}

bool TVdbHeapDataFile::CanAppend() const {
  return FRecordCount < std::numeric_limits<std::int32_t>::max();
}

std::int32_t TVdbHeapDataFile::GetFirstRecordNo() { return FRecordCount > 0 ? 1 : kNoRecord; }

std::int32_t TVdbHeapDataFile::GetNextRecordNo(std::int32_t RecNo) {
  return RecNo >= 0 && RecNo < FRecordCount ? RecNo + 1 : kNoRecord;
}

std::int32_t TVdbHeapDataFile::GetPrevRecordNo(std::int32_t RecNo) {
  // From a number beyond the count (records were dropped meanwhile) the last record is previous.
  if (RecNo < 2 || FRecordCount < 1) return kNoRecord;
  return std::min(RecNo - 1, FRecordCount);
}

std::int32_t TVdbHeapDataFile::GetLastRecordNo() {
  return FRecordCount > 0 ? FRecordCount : kNoRecord;
}

std::int32_t TVdbHeapDataFile::ReadRecord(std::int32_t RecNo, std::uint8_t* Buffer) {
  return Guarded([&] {
    RequireOpen();
    if (RecNo < 1 || RecNo > FRecordCount) RaiseNoRecord();
    ReadBytes(RecordPosition(RecNo), Buffer, FRecordSize, true);
    return 0;
  });
}

std::int32_t TVdbHeapDataFile::WriteRecord(std::int32_t RecNo, const std::uint8_t* Buffer) {
  return Guarded([&] {
    if (RecNo < 1) RaiseWrite();
    RequireWritable();
    WriteBytes(RecordPosition(RecNo), Buffer, FRecordSize, true);
    return 0;
  });
}

std::int32_t TVdbHeapDataFile::InsertRecord(const std::uint8_t* RecBuffer) {
  return Guarded([&] {
    RequireWritable();
    if (!CanAppend()) throw EVdbEngine(kVdbErrCapacityReached, Name());
    const std::int32_t RecNo = FRecordCount + 1;
    WriteBytes(RecordPosition(RecNo), RecBuffer, FRecordSize, true);
    SetRecordCount(RecNo);
    return RecNo;
  });
}

std::int32_t TVdbHeapDataFile::DeleteRecord(std::int32_t RecNo) {
  return Guarded([&] {
    RequireWritable();
    // Whatever RecNo is, the last record goes; a number that names no record would lose one.
    if (RecNo < 1 || RecNo > FRecordCount) RaiseNoRecord();
    SetRecordCount(FRecordCount - 1);
    return 0;
  });
}

}  // namespace vdb
