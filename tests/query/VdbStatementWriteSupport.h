// A fixture for statements that change the database: running a change and counting its rows,
// querying as rows of text, and running a change that must fail.
#pragma once

#include "VdbStatementTestSupport.h"

namespace vdb::test {

using TRows = std::vector<std::vector<std::string>>;

class StatementWriteFixture : public StatementFixture {
 protected:
  // Runs a statement that changes rows; answers the rows affected.
  std::int32_t Change(const std::string& Sql) {
    TVdbStatement& Statement = NewStatement();
    EXPECT_EQ(Statement.SetText(Sql), 0) << Sql << ": " << LastErrorMsg();
    EXPECT_EQ(Statement.Prepare(), 0) << Sql << ": " << LastErrorMsg();
    return Statement.Execute();
  }
  TRows Query(const std::string& Sql) { return Rows(Run(Sql)); }
  // A statement whose execution fails: the result and the session's last error.
  std::int16_t FailingChange(const std::string& Sql) {
    TVdbStatement& Statement = NewStatement();
    EXPECT_EQ(Statement.SetText(Sql), 0) << Sql << ": " << LastErrorMsg();
    const std::int16_t Prepared = Statement.Prepare();
    if (Prepared < 0) return LastErrorCode();
    EXPECT_EQ(Statement.Execute(), TVdbStatement::kResultExecuteFailed) << Sql;
    return LastErrorCode();
  }
};

}  // namespace vdb::test
