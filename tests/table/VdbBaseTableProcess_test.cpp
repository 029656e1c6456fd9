// Base tables shared with a second real process through the lock file: records the other
// process adds show here, and the unfinished transaction of a process that died is rolled back
// by the next session that opens the table.
#include "VdbBaseTableTestSupport.h"

#include "support/RunProcess.h"
#include "table/VdbLocks.h"

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

// The transaction of a process killed while the table stays open here is rolled back when this
// session's next lock finds the dead session, and at the next opening when nobody had the table
// open; either way whatever this session's own isolation level.
TEST_F(BaseTableProcess, TheTransactionOfAKilledProcessIsRolledBackWhateverTheIsolation) {
  struct Case {
    const char* Name;
    bool OpenMeanwhile;  // this session has the table open while the other one dies
    TVdbIsolationLevel Isolation;
  };
  // The dead session's lock is found dead once a waiting request has timed out.
  struct TShortTimeout {
    TShortTimeout() { TVdbLockFile::SetLockTimeout(200); }
    ~TShortTimeout() { TVdbLockFile::SetLockTimeout(20000); }
  } ShortTimeout;
  for (const Case& C : {Case{"found at a lock", true, tilNone},
                        Case{"found at a lock, isolated", true, tilReadCommited},
                        Case{"found at opening", false, tilNone},
                        Case{"found at opening, isolated", false, tilReadCommited}}) {
    SCOPED_TRACE(C.Name);
    FTables.clear();
    FSessions.clear();
    if (FContainer) FContainer->Close();
    FContainer.reset();
    std::filesystem::remove_all(FDir);
    std::filesystem::create_directories(FDir);
    WriteDatabase(NumberedEntries(5));
    Session()->SetIsolationLevel(C.Isolation);
    TVdbBaseTable* Table = C.OpenMeanwhile ? OpenTable() : nullptr;
    if (C.OpenMeanwhile) {
      ASSERT_NE(Table, nullptr);
      Table->CheckUnlock(VdbTickCount() + 100);
    }
    const std::string Output = (FDir / "helper.out").string();
    vdbtest::TChild Other(kHelper, {FPath, FDir.string(), "7", "append-and-hold", "zab"}, Output);
    for (int Waited = 0; Other.Output().find("append 6") == std::string::npos && Waited < 3000;
         ++Waited) {
      ASSERT_EQ(Other.Output().find("rror"), std::string::npos) << Other.Output();
      ::usleep(10000);
    }
    ASSERT_NE(Other.Output().find("append 6"), std::string::npos) << Other.Output();
    Other.Kill();
    if (!C.OpenMeanwhile) Table = OpenTable();
    ASSERT_NE(Table, nullptr);
    std::vector<std::uint8_t> Buffer(156);
    EXPECT_EQ(Table->ReadRecord(1, Buffer.data()), 0) << Errors().LastErrorMsg();
    EXPECT_EQ(Table->RecordCount(), 5);
    EXPECT_EQ(IndexHeadwords(*Table, 0),
              (std::vector<std::string>{"szo01", "szo02", "szo03", "szo04", "szo05"}));
    EXPECT_FALSE(std::filesystem::exists(FDir / "L_Data!Data.vdbr"));
    EXPECT_EQ(Errors().LastErrorCode(), 0) << Errors().LastErrorMsg();
    Table->CheckUnlock(VdbTickCount() + 100);
  }
}

}  // namespace
}  // namespace vdb::test
