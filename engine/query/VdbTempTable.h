// Temporary base tables: the tables a statement fills for its result (groups, set operations).
// Each lives in a directory of its own below the session's private directory (the system's
// temporary directory when none is set), is open exclusively, and takes its files with it when
// it is destroyed, that is when the catalog closes it or the session ends.
#pragma once

#include <memory>
#include <string>

#include "table/VdbBaseTable.h"

namespace vdb {

class TVdbTempTable : public TVdbBaseTable {
 public:
  // A new, empty, set-up table named Name with the given columns; raises EVdbEngine when it
  // cannot be made.
  static std::unique_ptr<TVdbTempTable> Create(TVdbServices* Services, const std::string& Name,
                                               const TVdbColumnDefs& Columns);
  ~TVdbTempTable() override;

 private:
  explicit TVdbTempTable(TVdbServices* Services) : TVdbBaseTable(Services) {}
  std::string FDirectory;
};

}  // namespace vdb
