// The B+ data file: records stored as items of a B+ tree ordered by the 32-bit record id in
// their first column. The record numbers of this file are the record ids; records are deleted in
// place and never move.
//
// Header: magic 20012002 at 0, level at 4, next record id at 6, encryption code at 10, the tree
// header (22 bytes) at 11, the index-name count at 33 and the 50 slots after it, the framed
// definition block at 4535.
//
// Placement of the tree: the tree's pages are pages of the data file's storage, and the tree
// keeps its header in page 0. The page size of the tree is therefore the start of the record
// area: page 0 covers header and definition, the items start in page 1. The definition block is
// padded as usual, and further up to a power of two (the tree's page sizes) that is large enough
// for the records (a page takes at least three). The storage always covers exactly the tree's
// pages.
#pragma once

#include <memory>
#include <vector>

#include "table/VdbDataFile.h"

namespace vdb {

class TVdbBPlusTree;

class TVdbBPlusDataFile : public TVdbDataFile {
 public:
  // Offset of the tree header in the file.
  static constexpr std::int64_t kTreeHeaderPosition = 11;
  // A tree page addresses its items with 16-bit offsets.
  static constexpr std::int32_t kMaxTreePageSize = 65536;

  TVdbBPlusDataFile(TVdbLastError* Services, std::unique_ptr<TVdbClientStorage> Storage);
  ~TVdbBPlusDataFile() override;

  bool GetCanDelete() const override { return true; }
  std::int64_t GetStorageSize() const override;
  std::int32_t GetRecordCount() const override;
  std::int64_t GetIndexNameCountPosition() const override { return 33; }
  std::int64_t GetIndexNameAreaSize() const override { return kVdbIndexNameAreaSize; }
  std::int64_t GetRecordCountPosition() const override { return -1; }
  std::int64_t GetNextRecordIdPosition() const override { return 6; }

  std::int32_t Clear() override;
  std::int32_t Flush() override;
  bool CanAppend() const override;
  // Record numbers are record ids: the ids of the first, last, following and preceding records.
  std::int32_t GetFirstRecordNo() override;
  std::int32_t GetNextRecordNo(std::int32_t RecNo) override;
  std::int32_t GetPrevRecordNo(std::int32_t RecNo) override;
  std::int32_t GetLastRecordNo() override;
  // The record with record id RecNo.
  std::int32_t ReadRecord(std::int32_t RecNo, std::uint8_t* Buffer) override;
  // Replaces the record with record id RecNo; the buffer must carry the same id (error 157).
  std::int32_t WriteRecord(std::int32_t RecNo, const std::uint8_t* Buffer) override;
  // Inserts the record under the id in its first 4 bytes (at least 1, not yet taken: errors 43
  // and 30); answers that id.
  std::int32_t InsertRecord(const std::uint8_t* RecBuffer) override;
  // Deletes the record with record id RecNo.
  std::int32_t DeleteRecord(std::int32_t RecNo) override;

  TVdbBPlusTree* Tree() const { return FTree.get(); }

 protected:
  std::uint32_t Magic() const override { return kVdbBPlusDataFileMagic; }
  std::int64_t EncryptionPosition() const override { return 10; }
  void CheckNewDefinition(const TVdbTableDefinition& Def) override;
  std::int32_t NewDefinitionLength(std::size_t UsedSize) const override;
  std::int32_t NewStoragePageSize(std::int32_t DefinitionLength) const override;
  void ReadKindHeader() override {}
  void OpenRecords(const TVdbTableDefinition& Def) override;
  void CreateRecords(const TVdbTableDefinition& Def) override;
  void CloseRecords() override;
  void RereadState() override;

 private:
  // The first record with an id not below Id into FTempItem: false when there is none.
  bool FindFrom(std::int32_t Id);
  std::int32_t TempId() const;
  void OpenTree(bool Create);
  void RequireTree() const;
  // Runs a tree operation; its failures become error Code (2 or 3) naming the file.
  template <class F>
  auto TreeStep(std::int16_t Code, F&& Step) -> decltype(Step());

  std::unique_ptr<TVdbBPlusTree> FTree;
  std::vector<std::uint8_t> FTempItemPtr;  // a record-sized work buffer
  std::vector<std::uint8_t> FTempItem;
  std::string FRecordIdName;
};

}  // namespace vdb
