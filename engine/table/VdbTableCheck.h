// The integrity check of one open base table: every record readable, every memo and blob chain
// sound and owned by exactly one record (no block on two chains, none on a chain and the free
// list, none lost), every index holding exactly the keys its records make (once each, in order,
// as many as its header counts, its tree sound), and the lock file's header and slots plausible.
//
// The check only reads: it takes a read lock for its whole run, so that it sees one state of the
// table. Each defect is reported once, naming the file and, where there is one, the record.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vdb {

class TVdbBaseTable;
class TVdbBlockedBinaryFile;
class TkxFileSystem;

// One defect: the file it lies in (as the table names it), the record (0: none), the message.
using TVdbTableDefectEvent =
    std::function<void(const std::string& File, std::int32_t RecNo, const std::string& Message)>;

class TVdbTableCheck {
 public:
  // Table is open and set up. LockFileSystem holds its lock file (null: not checked).
  TVdbTableCheck(TVdbBaseTable& Table, TkxFileSystem* LockFileSystem, TVdbTableDefectEvent OnDefect);
  // Reports every defect and answers their number.
  std::int32_t Run();

 private:
  // The first block of each long value, by file: (record, first block).
  using TChainStarts = std::vector<std::pair<std::int32_t, std::int32_t>>;

  void Defect(const std::string& File, std::int32_t RecNo, const std::string& Message);
  void CheckRecords();
  void CheckChains(TVdbBlockedBinaryFile& File, const TChainStarts& Starts);
  void CheckIndexes();
  void CheckIndex(std::int16_t IndexNo);
  void CheckLockFile();
  std::string DataFileName() const;

  TVdbBaseTable& FTable;
  TkxFileSystem* FLockFileSystem;
  TVdbTableDefectEvent FOnDefect;
  std::int32_t FDefects = 0;
  std::vector<std::int32_t> FRecords;  // record numbers in record order, as read
  TChainStarts FMemoStarts;
  TChainStarts FBlobStarts;
};

}  // namespace vdb
