// Base tables shared with a second real process through the lock file: records the other
// process adds show here, and the unfinished transaction of a process that died is rolled back
// by the next session that opens the table.
#include "VdbBaseTableTestSupport.h"

#include "support/RunProcess.h"

namespace vdb::test {
namespace {

const std::string kHelper = std::string(VDB_TEST_HELPER_DIR) + "/basetable_helper";

class BaseTableProcess : public BaseTableFixture {
 protected:
  vdbtest::ProcessResult Helper(const std::vector<std::string>& Operation) {
    std::vector<std::string> Args{FPath, FDir.string(), "7"};
    Args.insert(Args.end(), Operation.begin(), Operation.end());
    return vdbtest::RunProcess(kHelper, Args);
  }
};

TEST_F(BaseTableProcess, RecordsOfAnotherProcessShowAfterItsLock) {
  WriteDatabase(NumberedEntries(5));
  TVdbBaseTable* Table = OpenTable();
  ASSERT_NE(Table, nullptr);
  Table->CheckUnlock(VdbTickCount() + 100);
  const vdbtest::ProcessResult Added = Helper({"append", "zab"});
  ASSERT_EQ(Added.exitCode, 0) << Added.err;
  EXPECT_EQ(Added.out, "append 6\n");
  std::vector<std::uint8_t> Buffer(156);
  ASSERT_EQ(Table->ReadRecord(6, Buffer.data()), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Headword(Buffer.data()), "zab");
  EXPECT_EQ(Table->RecordCount(), 6);
  EXPECT_EQ(IndexHeadwords(*Table, 0).back(), "zab");
  Table->CheckUnlock(VdbTickCount() + 100);
  // This session is still logged in: the other one's log-out left the lock file in place.
  EXPECT_TRUE(std::filesystem::exists(LockFilePath()));
  const vdbtest::ProcessResult Counted = Helper({"count"});
  ASSERT_EQ(Counted.exitCode, 0) << Counted.err;
  EXPECT_EQ(Counted.out, "count 6\n");
}

TEST_F(BaseTableProcess, TheTransactionOfADeadProcessIsRolledBack) {
  WriteDatabase(NumberedEntries(5));
  FContainer->Close();
  FContainer.reset();
  const vdbtest::ProcessResult Died = Helper({"append-and-die", "zab"});
  ASSERT_EQ(Died.exitCode, 0) << Died.err;
  EXPECT_EQ(Died.out, "append 6\n");
  EXPECT_TRUE(std::filesystem::exists(LockFilePath()));
  EXPECT_TRUE(std::filesystem::exists(FDir / "L_Data!Data.vdbr"));

  FContainer = std::make_unique<TTestContainer>(FPath);
  FContainer->Open();
  TVdbBaseTable* Table = OpenTable();
  ASSERT_NE(Table, nullptr);
  EXPECT_EQ(Table->RecordCount(), 5);
  EXPECT_EQ(IndexHeadwords(*Table, 0),
            (std::vector<std::string>{"szo01", "szo02", "szo03", "szo04", "szo05"}));
  EXPECT_FALSE(std::filesystem::exists(FDir / "L_Data!Data.vdbr"));
  std::vector<std::string> Users;
  EXPECT_EQ(Table->NetUsers(Users), 1);
}

}  // namespace
}  // namespace vdb::test
