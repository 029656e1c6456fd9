// The lock file, the move file and the undo log: sessions of one process (several lock file
// objects on the same file exclude each other as sessions of different processes do) and of
// real other processes (tests/helpers/lock_helper), including processes that crash.
#include "table/VdbLocks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/VdbErrors.h"
#include "storage/kxCompoundFileTestSupport.h"
#include "storage/kxFileSystem.h"
#include "storage/kxMemory.h"

namespace {

using namespace vdb;
using vdbtest::ReadBytes;
using vdbtest::TChild;

constexpr const char* kLockName = "L_Data!Data";

std::string LockHelperPath() { return std::string(VDB_TEST_HELPER_DIR) + "/lock_helper"; }

void WriteBytes(const std::string& Path, const std::vector<std::uint8_t>& Bytes) {
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out.write(reinterpret_cast<const char*>(Bytes.data()),
            static_cast<std::streamsize>(Bytes.size()));
}

std::int16_t EngineCode(const std::function<void()>& Action) {
  try {
    Action();
  } catch (const EVdbEngine& E) {
    return E.Code();
  }
  return 0;
}

// Waits until Condition holds, at most 10 s.
bool Eventually(const std::function<bool()>& Condition) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!Condition()) {
    if (std::chrono::steady_clock::now() > Deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class LockFileTest : public ::testing::Test {
 protected:
  void SetUp() override { TVdbLockFile::SetLockTimeout(300); }
  void TearDown() override { TVdbLockFile::SetLockTimeout(20000); }

  // A session logged in to the table's lock file.
  std::unique_ptr<TVdbLockFile> Session(std::uint32_t Id, const std::string& Name = "") {
    auto S = std::make_unique<TVdbLockFile>(FS, Id, Name.empty() ? std::to_string(Id) : Name);
    S->LogIn(kLockName, 6, false);
    return S;
  }
  std::string LockPath() const { return Dir.File(std::string(kLockName) + ".vdbl"); }
  std::string MovePath() const { return Dir.File(std::string(kLockName) + ".vdbv"); }
  std::vector<std::uint8_t> Raw() const { return ReadBytes(LockPath()); }
  TVdbTableLockData Header() const {
    TVdbTableLockData H;
    H.Decode(Raw().data());
    return H;
  }
  TVdbSessionLockData Slot(int Index) const {
    TVdbSessionLockData S;
    S.Decode(Raw().data() + kVdbLockHeaderSize + kVdbLockSlotSize * Index);
    return S;
  }

  // The lock helper as a session of this table with station Id, running Ops.
  std::vector<std::string> HelperArgs(std::uint32_t Id, const std::vector<std::string>& Ops) const {
    std::vector<std::string> Args{Dir.Path().string(), kLockName, std::to_string(Id), "child"};
    Args.insert(Args.end(), Ops.begin(), Ops.end());
    return Args;
  }
  std::unique_ptr<TChild> Start(std::uint32_t Id, const std::vector<std::string>& Ops,
                                const std::string& Out) {
    return std::make_unique<TChild>(LockHelperPath(), HelperArgs(Id, Ops), Dir.File(Out));
  }
  vdbtest::ProcessResult RunHelper(std::uint32_t Id, const std::vector<std::string>& Ops) {
    return vdbtest::RunProcess(LockHelperPath(), HelperArgs(Id, Ops));
  }

  vdbtest::TTempDir Dir;
  TkxOSFileSystem FS{Dir.Path().string()};
};

TEST_F(LockFileTest, LogInWritesHeaderAndSlotByteExact) {
  auto A = Session(0x01020304, "Anna");
  const std::vector<std::uint8_t> B = Raw();
  ASSERT_EQ(B.size(), 30u + 56u);
  const std::vector<std::uint8_t> Tag{0x55, 0xCF, 0x4B, 0x83, 7, 0};
  EXPECT_EQ(std::vector<std::uint8_t>(B.begin(), B.begin() + 6), Tag);
  EXPECT_EQ(TkxMemory::ReadInt64(B.data(), 6), 0);    // change count
  EXPECT_EQ(TkxMemory::ReadUInt16(B.data(), 26), 1);  // item count
  EXPECT_EQ(TkxMemory::ReadUInt16(B.data(), 28), 1);  // session count
  EXPECT_EQ(TkxMemory::ReadInt64(B.data(), 30), 0x01020304);
  EXPECT_EQ(B[38], 4);
  EXPECT_EQ(std::string(B.begin() + 39, B.begin() + 43), "Anna");
  EXPECT_EQ(B[30 + 49], 0);  // table lock
  EXPECT_EQ(B[30 + 50], 0);  // desired lock
  EXPECT_EQ(TkxMemory::ReadInt32(B.data(), 30 + 51), 0);
  EXPECT_EQ(B[30 + 55], 255);  // vital sign
  EXPECT_TRUE(std::filesystem::exists(MovePath()));
  EXPECT_EQ(std::filesystem::file_size(MovePath()), 0u);

  ASSERT_TRUE(A->LockTable(tltNone, tltWrite, true));
  EXPECT_EQ(Slot(0).TableLock, tltWrite);
  EXPECT_EQ(Header().WriteLocks, 1);
  A->UnlockTable(tltWrite, tltNone);
  EXPECT_EQ(Header().ChangeCount, 1);
}

TEST_F(LockFileTest, FileNamesFollowLevelAndKind) {
  struct Case {
    std::int16_t Level;
    bool Rel;
    const char* Lock;
    const char* Move;
    const char* Log;
  };
  for (const Case& C :
       {Case{6, false, "T.vdbl", "T.vdbv", "T.vdbr"}, Case{6, true, "T.vdbl", "T.vdbv", "T.vdbr"},
        Case{5, true, "T.rnt", "T.rmv", "T.rtr"}, Case{2, false, "T.net", "T.mov", "T.tra"}}) {
    EXPECT_EQ(TVdbLockFile::LockFileName("T", C.Level, C.Rel), C.Lock);
    EXPECT_EQ(TVdbLockFile::MoveFileName("T", C.Level, C.Rel), C.Move);
    EXPECT_EQ(TVdbRedoLog::LogFileName("T", C.Level, C.Rel), C.Log);
  }
}

TEST_F(LockFileTest, ReadLocksCoexistAndAWriteLockExcludesTheOthers) {
  auto A = Session(1), B = Session(2), C = Session(3);
  ASSERT_TRUE(A->LockTable(tltNone, tltRead, true));
  ASSERT_TRUE(B->LockTable(tltNone, tltRead, true));
  EXPECT_EQ(Header().ReadLocks, 2);
  const auto Before = Raw();
  EXPECT_FALSE(C->LockTable(tltNone, tltWrite, true));
  EXPECT_EQ(Raw(), Before);                             // a refused request changes nothing
  EXPECT_FALSE(A->LockTable(tltRead, tltWrite, true));  // B reads too
  B->UnlockTable(tltRead, tltNone);
  ASSERT_TRUE(A->LockTable(tltRead, tltWrite, true));  // its own read lock was the only one
  EXPECT_EQ(Header().ReadLocks, 0);
  EXPECT_EQ(Header().WriteLocks, 1);
  EXPECT_FALSE(B->LockTable(tltNone, tltRead, true));
  EXPECT_FALSE(C->LockTable(tltNone, tltUpgrade, true));
  A->UnlockTable(tltWrite, tltRead);  // lowered without a check
  EXPECT_EQ(Header().ReadLocks, 1);
  EXPECT_EQ(Header().WriteLocks, 0);
  EXPECT_TRUE(B->LockTable(tltNone, tltRead, true));
}

TEST_F(LockFileTest, AWaitingWriterStopsNewReadersAndGetsTheLockWhenTheReadersLeave) {
  TVdbLockFile::SetLockTimeout(10000);
  auto A = Session(1), B = Session(2), C = Session(3), D = Session(4);
  ASSERT_TRUE(A->LockTable(tltNone, tltRead, true));
  ASSERT_TRUE(B->LockTable(tltNone, tltRead, true));
  auto Writer =
      std::async(std::launch::async, [&] { return C->LockTable(tltNone, tltWrite, false); });
  ASSERT_TRUE(Eventually([&] { return A->ReadLockWaiters() == 1; }));
  EXPECT_EQ(Header().WriteWaiters, 1);
  EXPECT_FALSE(D->LockTable(tltNone, tltRead, true));
  A->UnlockTable(tltRead, tltNone);
  B->UnlockTable(tltRead, tltNone);
  EXPECT_TRUE(Writer.get());
  const TVdbTableLockData H = Header();
  EXPECT_EQ(H.WriteLocks, 1);
  EXPECT_EQ(H.LockWaiters, 0);
  EXPECT_EQ(H.WriteWaiters, 0);
  EXPECT_EQ(Slot(2).DesiredLock, tltNone);
}

TEST_F(LockFileTest, AWaitThatTimesOutLeavesTheFileAsItWas) {
  TVdbLockFile::SetLockTimeout(100);
  auto A = Session(1), B = Session(2);
  ASSERT_TRUE(A->LockTable(tltNone, tltRead, true));
  const auto Before = Raw();
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_FALSE(B->LockTable(tltNone, tltWrite, false));
  EXPECT_GE(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(40));
  EXPECT_EQ(Raw(), Before);
  EXPECT_EQ(B->GetTableLock(), tltNone);
}

TEST_F(LockFileTest, ARequestLeftStandingByAFailedWaitIsWithdrawnAtTheNextAccess) {
  auto A = Session(1), B = Session(2);
  // B's wait for the write lock ended in an error that left its request in the file.
  std::vector<std::uint8_t> Bytes = Raw();
  Bytes[30 + 56 + 50] = tltWrite;
  TkxMemory::WriteUInt16(Bytes.data(), 22, 1);
  TkxMemory::WriteUInt16(Bytes.data(), 24, 1);
  WriteBytes(LockPath(), Bytes);
  EXPECT_FALSE(A->LockTable(tltNone, tltRead, true));
  EXPECT_EQ(B->GetSessionCount(), 2);
  EXPECT_EQ(Header().LockWaiters, 0);
  EXPECT_EQ(Header().WriteWaiters, 0);
  EXPECT_EQ(Slot(1).DesiredLock, tltNone);
  EXPECT_TRUE(A->LockTable(tltNone, tltRead, true));
}

TEST_F(LockFileTest, UpgradeLockRules) {
  auto A = Session(1), B = Session(2), C = Session(3);
  ASSERT_TRUE(A->LockTable(tltNone, tltRead, true));
  ASSERT_TRUE(B->LockTable(tltNone, tltUpgrade, true));    // beside a read lock
  EXPECT_FALSE(C->LockTable(tltNone, tltUpgrade, true));   // only one upgrade lock
  EXPECT_FALSE(A->LockTable(tltRead, tltUpgrade, true));   // another session has it
  EXPECT_EQ(Header().ReadLocks, 1);                        // A kept its read lock
  EXPECT_FALSE(B->LockTable(tltUpgrade, tltWrite, true));  // A still reads
  A->UnlockTable(tltRead, tltNone);
  const std::int64_t Changes = Header().ChangeCount;
  ASSERT_TRUE(B->LockTable(tltUpgrade, tltWrite, true));
  EXPECT_EQ(Header().ChangeCount, Changes + 1);  // giving the upgrade lock up counts as a change
  EXPECT_EQ(Header().UpgradeLocks, 0);
  B->UnlockTable(tltWrite, tltUpgrade);
  EXPECT_EQ(Header().ChangeCount, Changes + 2);
  EXPECT_EQ(Header().UpgradeLocks, 1);
  B->UnlockTable(tltUpgrade, tltNone);
  ASSERT_TRUE(A->LockTable(tltNone, tltRead, true));
  ASSERT_TRUE(A->LockTable(tltRead, tltUpgrade, true));  // its read lock is given up first
  EXPECT_EQ(Header().ReadLocks, 0);
  EXPECT_EQ(Header().UpgradeLocks, 1);
  EXPECT_THROW(A->LockTable(tltRead, tltWrite, true), std::logic_error);  // it holds upgrade
}

TEST_F(LockFileTest, TheChangeCounterTellsTheOtherSessionsOfAChange) {
  auto A = Session(1), B = Session(2);
  EXPECT_FALSE(B->CheckUpdate());
  ASSERT_TRUE(A->LockTable(tltNone, tltWrite, true));
  A->UnlockTable(tltWrite, tltNone);
  EXPECT_FALSE(A->CheckUpdate());  // its own change
  EXPECT_TRUE(B->CheckUpdate());
  B->SetChangeCount(B->GetTableChangeCount());  // caught up
  EXPECT_FALSE(B->CheckUpdate());
  A->WriteIndexCount(3);
  EXPECT_EQ(B->GetTableIndexCount(), 3);
}

TEST_F(LockFileTest, UnlockIfRequiredOnlyWhenOthersWait) {
  TVdbLockFile::SetLockTimeout(10000);
  auto A = Session(1), B = Session(2);
  ASSERT_TRUE(A->LockTable(tltNone, tltRead, true));
  EXPECT_FALSE(A->UnlockTableIfRequired(tltRead, tltNone));
  EXPECT_EQ(A->GetTableLock(), tltRead);
  auto Writer =
      std::async(std::launch::async, [&] { return B->LockTable(tltNone, tltWrite, false); });
  ASSERT_TRUE(Eventually([&] { return A->ReadLockWaiters() == 1; }));
  EXPECT_TRUE(A->UnlockTableIfRequired(tltRead, tltNone));
  EXPECT_TRUE(Writer.get());
}

TEST_F(LockFileTest, RecordEditLocks) {
  auto A = Session(1), B = Session(2), C = Session(3);
  EXPECT_TRUE(A->LockRecord(5));
  EXPECT_FALSE(B->LockRecord(5));
  EXPECT_TRUE(B->LockRecord(6));
  EXPECT_FALSE(A->LockRecord(7));  // one record at a time
  EXPECT_TRUE(A->LockRecord(5));
  EXPECT_EQ(Slot(0).EditRecNo, 5);
  ASSERT_TRUE(A->LockTable(tltNone, tltWrite, true));
  EXPECT_FALSE(C->LockRecord(8));  // another session writes
  A->SwitchRecordLock(6, 3);       // B's record moved to number 3
  EXPECT_EQ(Slot(1).EditRecNo, 3);
  EXPECT_FALSE(C->LockRecord(3));
  A->UnlockTable(tltWrite, tltNone);
  B->UnlockRecord();
  EXPECT_EQ(Slot(1).EditRecNo, 0);
  EXPECT_TRUE(C->LockRecord(3));
  EXPECT_EQ(C->GetLockedRecord(), 3);
}

TEST_F(LockFileTest, ExclusiveUseOnlyForTheOnlySessionAndItKeepsOthersOut) {
  TVdbLockFile::SetLockTimeout(60);
  auto A = Session(1);
  ASSERT_TRUE(A->LockExclusive());
  EXPECT_TRUE(A->LockTable(tltNone, tltWrite, true));
  TVdbLockFile B(FS, 2, "B");
  EXPECT_EQ(EngineCode([&] { B.LogIn(kLockName, 6, false); }), 104);
  EXPECT_FALSE(B.IsLoggedIn());
  A->UnlockTable(tltWrite, tltNone);
  A->UnlockExclusive();
  B.LogIn(kLockName, 6, false);
  EXPECT_FALSE(A->LockExclusive());
  EXPECT_EQ(A->GetSessionCount(), 2);
}

TEST_F(LockFileTest, TheMoveFileCarriesPairsToTheOtherSessions) {
  auto A = Session(1), B = Session(2);
  A->AddRecordMove(5, 10);
  A->AddRecordMove(10, 10);
  EXPECT_EQ(ReadBytes(MovePath()),
            (std::vector<std::uint8_t>{5, 0, 0, 0, 10, 0, 0, 0, 10, 0, 0, 0, 10, 0, 0, 0}));
  std::int32_t New = 0, Old = 0;
  ASSERT_TRUE(B->ReadRecordMove(New, Old));
  EXPECT_EQ(New, 5);
  EXPECT_EQ(Old, 10);
  ASSERT_TRUE(B->ReadRecordMove(New, Old));
  EXPECT_EQ(New, 10);
  EXPECT_FALSE(B->ReadRecordMove(New, Old));
  EXPECT_FALSE(A->ReadRecordMove(New, Old));  // its own moves are applied already
  auto C = Session(3);                        // a late session starts at the end
  EXPECT_FALSE(C->ReadRecordMove(New, Old));
  // A pair with a number that is not positive.
  std::ofstream(MovePath(), std::ios::binary | std::ios::app).write("\0\0\0\0\1\0\0\0", 8);
  EXPECT_EQ(EngineCode([&] { B->ReadRecordMove(New, Old); }), 52);
  EXPECT_FALSE(B->ReadRecordMove(New, Old));
}

TEST_F(LockFileTest, TheLastSessionToLogOutRemovesBothFiles) {
  auto A = Session(1), B = Session(2);
  B->LogOut();
  EXPECT_TRUE(std::filesystem::exists(LockPath()));
  EXPECT_EQ(Header().SessionCount, 1);
  EXPECT_EQ(Slot(1).Id, 0);
  A->LogOut();
  EXPECT_FALSE(std::filesystem::exists(LockPath()));
  EXPECT_FALSE(std::filesystem::exists(MovePath()));
  A->LogIn(kLockName, 6, false);  // and they come back with the next session
  EXPECT_TRUE(std::filesystem::exists(LockPath()));
  A.reset();  // the destructor logs out
  EXPECT_FALSE(std::filesystem::exists(LockPath()));
}

TEST_F(LockFileTest, LoggingOutWithALockGivesItUpAsAChange) {
  auto A = Session(1), B = Session(2);
  ASSERT_TRUE(A->LockTable(tltNone, tltWrite, true));
  A->LogOut();
  const TVdbTableLockData H = Header();
  EXPECT_EQ(H.WriteLocks, 0);
  EXPECT_EQ(H.SessionCount, 1);
  EXPECT_EQ(H.ChangeCount, 1);
  EXPECT_TRUE(B->CheckUpdate());
  EXPECT_TRUE(B->LockTable(tltNone, tltWrite, true));
}

TEST_F(LockFileTest, AFreedSlotIsReusedBeforeTheFileGrows) {
  auto A = Session(1), B = Session(2), C = Session(3);
  B->LogOut();
  auto D = Session(4);
  EXPECT_EQ(Slot(1).Id, 4);
  EXPECT_EQ(Header().ItemCount, 3);
  EXPECT_EQ(Header().SessionCount, 3);
}

TEST_F(LockFileTest, ALockFileOfAnotherFormatIsRefused) {
  std::vector<std::uint8_t> Good(30, 0);
  TkxMemory::WriteUInt32(Good.data(), 0, kVdbLockFileTag);
  TkxMemory::WriteUInt16(Good.data(), 4, 7);
  std::vector<std::uint8_t> Version6 = Good, OtherTag = Good,
                            Short(Good.begin(), Good.begin() + 10);
  Version6[4] = 6;
  OtherTag[0] = 0x54;
  for (const auto& Content : {Version6, OtherTag, Short}) {
    WriteBytes(LockPath(), Content);
    TVdbLockFile S(FS, 1, "S");
    try {
      S.LogIn(kLockName, 6, false);
      ADD_FAILURE() << "logged in to a lock file of another format";
    } catch (const EVdbEngine& E) {
      EXPECT_EQ(E.Code(), 185);
      EXPECT_NE(std::string(E.what()).find("L_Data!Data.vdbl"), std::string::npos) << E.what();
    }
    EXPECT_FALSE(S.IsLoggedIn());
    EXPECT_EQ(ReadBytes(LockPath()), Content);  // left as it was
  }
  WriteBytes(LockPath(), {});  // a creator that died before writing the header
  auto A = Session(1);
  EXPECT_EQ(Header().SessionCount, 1);
}

TEST_F(LockFileTest, LogInErrors) {
  TVdbLockFile NoStation(FS, 0, "x");
  EXPECT_EQ(EngineCode([&] { NoStation.LogIn(kLockName, 6, false); }), 107);
  std::ofstream(Dir.File("plain")) << "a file where a directory is expected";
  TVdbLockFile NoDir(FS, 1, "x");
  EXPECT_EQ(EngineCode([&] { NoDir.LogIn("plain/Data", 6, false); }), 115);
  // A move file that cannot be opened: the slot and the new lock file are given up again.
  std::filesystem::create_directory(MovePath());
  TVdbLockFile NoMove(FS, 1, "x");
  EXPECT_EQ(EngineCode([&] { NoMove.LogIn(kLockName, 6, false); }), 106);
  EXPECT_FALSE(NoMove.IsLoggedIn());
  EXPECT_FALSE(std::filesystem::exists(LockPath()));
  // A directory of its own is created.
  TVdbLockFile Deep(FS, 1, "x");
  Deep.LogIn("sub/dir/Data", 6, false);
  EXPECT_TRUE(std::filesystem::exists(Dir.File("sub/dir/Data.vdbl")));
}

TEST_F(LockFileTest, LockInfoShowsTheSessionsWithTheirNamesLocksAndWaits) {
  auto A = Session(7, "Árpád");
  auto B = Session(8, std::string(45, 'x'));
  auto C = Session(9, "Ődön");  // "Ő" has no place in the 8-bit code page
  ASSERT_TRUE(A->LockTable(tltNone, tltRead, true));
  ASSERT_TRUE(A->LockRecord(12));
  const auto Info = B->GetLockInfo();
  ASSERT_EQ(Info.size(), 3u);
  EXPECT_EQ(Info[0].Id, 7);
  EXPECT_EQ(Info[0].Name, "Árpád");
  EXPECT_EQ(Info[0].TableLock, tltRead);
  EXPECT_EQ(Info[0].EditRecNo, 12);
  EXPECT_TRUE(Info[0].Alive);
  EXPECT_FALSE(Info[0].Own);
  EXPECT_EQ(Info[1].Name, std::string(40, 'x'));
  EXPECT_TRUE(Info[1].Own);
  EXPECT_EQ(Info[2].Name, "?dön");
  EXPECT_EQ(Raw()[30 + 8], 5);  // "Árpád" in five 8-bit characters
}

TEST(LockBookkeeping, TheIdleRuleCountsAcrossTheWrapOfTheTickCount) {
  struct Case {
    std::uint32_t Now, UnlockTime;
    bool Idle;
  };
  for (const Case& C : {Case{100, 100, false}, Case{110, 100, false}, Case{111, 100, true},
                        Case{5, 0xFFFFFFFBu, false}, Case{6, 0xFFFFFFFBu, true}}) {
    EXPECT_EQ(VdbUnlockIdle(C.Now, C.UnlockTime), C.Idle) << C.Now << " " << C.UnlockTime;
  }
  const std::uint32_t Start = VdbTickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(15));
  EXPECT_TRUE(VdbUnlockIdle(VdbTickCount(), Start));
}

TEST(LockBookkeeping, RequiredAndKeptLocks) {
  EXPECT_EQ(VdbRequiredTableLock(0, 0, 0), tltNone);
  EXPECT_EQ(VdbRequiredTableLock(2, 0, 0), tltRead);
  EXPECT_EQ(VdbRequiredTableLock(2, 1, 0), tltUpgrade);
  EXPECT_EQ(VdbRequiredTableLock(1, 1, 1), tltWrite);
  struct Case {
    TVdbIsolationLevel Isolation;
    TVdbTableLockType Ending, Kept;
  };
  for (const Case& C :
       {Case{tilNone, tltWrite, tltNone}, Case{tilNone, tltRead, tltNone},
        Case{tilDirtyRead, tltWrite, tltRead}, Case{tilDirtyRead, tltUpgrade, tltNone},
        Case{tilReadCommited, tltWrite, tltWrite}, Case{tilReadCommited, tltRead, tltNone},
        Case{tilRepeatableRead, tltWrite, tltWrite}, Case{tilRepeatableRead, tltUpgrade, tltRead},
        Case{tilRepeatableRead, tltRead, tltRead}}) {
    EXPECT_EQ(VdbTransactionKeptLock(C.Isolation, C.Ending), C.Kept)
        << int(C.Isolation) << " " << int(C.Ending);
  }
}

// --- Dead sessions
// ---------------------------------------------------------------------------------

class DeadSessionTest : public LockFileTest {
 protected:
  // Adds a slot of a session that no longer lives, holding Lock, as a crash leaves it.
  void AddDeadSlot(std::int64_t Id, TVdbTableLockType Lock, std::int32_t EditRecNo = 0) {
    std::vector<std::uint8_t> B = Raw();
    TVdbTableLockData H;
    H.Decode(B.data());
    TVdbSessionLockData S;
    S.Id = Id;
    S.Name = "dead";
    S.TableLock = Lock;
    S.EditRecNo = EditRecNo;
    S.VitalSign = 255;
    B.resize(B.size() + kVdbLockSlotSize);
    S.Encode(B.data() + kVdbLockHeaderSize + kVdbLockSlotSize * H.ItemCount);
    ++H.ItemCount;
    ++H.SessionCount;
    if (Lock == tltRead) ++H.ReadLocks;
    if (Lock == tltWrite) ++H.WriteLocks;
    H.Encode(B.data());
    WriteBytes(LockPath(), B);
  }
};

TEST_F(DeadSessionTest, TheNextSessionThatLogsInReclaimsTheSlotAndRollsBack) {
  auto A = Session(1);
  AddDeadSlot(99, tltWrite, 4);
  int Hijacks = 0;
  TVdbLockFile B(FS, 2, "B");
  B.SetOnHijack([&](TVdbLockFile& Sender) {
    ++Hijacks;
    EXPECT_EQ(&Sender, &B);
    EXPECT_TRUE(Sender.LockTable(tltNone, tltWrite, true));  // the handler can work on the table
    Sender.UnlockTable(tltWrite, tltNone);
  });
  B.LogIn(kLockName, 6, false);
  EXPECT_EQ(Hijacks, 1);
  EXPECT_EQ(Slot(1).Id, 2);  // the dead slot was zeroed and taken again
  EXPECT_EQ(Header().WriteLocks, 0);
  EXPECT_EQ(Header().SessionCount, 2);
  EXPECT_TRUE(A->LockRecord(4));
}

TEST_F(DeadSessionTest, AWaitingRequestReclaimsADeadWriterAfterItsTries) {
  TVdbLockFile::SetLockTimeout(50);
  auto A = Session(1);
  AddDeadSlot(99, tltWrite);
  int Hijacks = 0;
  A->SetOnHijack([&](TVdbLockFile&) {
    ++Hijacks;
    throw EVdbEngine(52, "rollback failed");  // the granted lock stands all the same
  });
  EXPECT_FALSE(A->LockTable(tltNone, tltRead, true));  // an immediate request does not reclaim
  EXPECT_EQ(Hijacks, 0);
  EXPECT_TRUE(A->LockTable(tltNone, tltRead, false));
  EXPECT_EQ(Hijacks, 1);
  EXPECT_EQ(A->GetTableLock(), tltRead);
  EXPECT_EQ(Header().SessionCount, 1);
  EXPECT_EQ(Header().ReadLocks, 1);
}

TEST_F(DeadSessionTest, ExclusiveUseCountsOnlyLiveSessions) {
  auto A = Session(1);
  AddDeadSlot(99, tltRead);
  int Hijacks = 0;
  A->SetOnHijack([&](TVdbLockFile& Sender) {
    ++Hijacks;
    EXPECT_TRUE(Sender.LockTable(tltNone, tltWrite, false));  // rolls back under the exclusive use
    Sender.UnlockTable(tltWrite, tltNone);
  });
  ASSERT_TRUE(A->LockExclusive());
  EXPECT_EQ(Hijacks, 1);
  EXPECT_EQ(Header().SessionCount, 1);
  A->UnlockExclusive();
}

TEST_F(DeadSessionTest, AFileShorterThanItsSlotsIsCutToWhatItHolds) {
  auto A = Session(1);
  A.reset();
  auto B = Session(2);
  std::vector<std::uint8_t> Bytes = Raw();
  TkxMemory::WriteUInt16(Bytes.data(), 26, 5);  // announces five slots
  Bytes.resize(Bytes.size() + 20);              // and holds one and a piece
  WriteBytes(LockPath(), Bytes);
  auto C = Session(3);
  EXPECT_EQ(Header().ItemCount, 2);
  EXPECT_EQ(Raw().size(), 30u + 2 * 56u);
}

TEST_F(DeadSessionTest, LiveSessionsWithConflictingLocksAreACorruptFile) {
  for (const TVdbTableLockType Beside : {tltRead, tltUpgrade}) {
    auto A = Session(1), B = Session(2);
    ASSERT_TRUE(A->LockTable(tltNone, Beside, true));
    // B's slot claims a write lock it never got.
    std::vector<std::uint8_t> Bytes = Raw();
    Bytes[30 + 56 + 49] = tltWrite;
    WriteBytes(LockPath(), Bytes);
    TVdbLockFile C(FS, 3, "C");
    try {
      C.LogIn(kLockName, 6, false);
      ADD_FAILURE() << "logged in to a corrupt lock file";
    } catch (const EVdbEngine& E) {
      EXPECT_EQ(E.Code(), 52);
      EXPECT_NE(
          std::string(E.what()).find(Beside == tltRead ? "read and write" : "upgrade and write"),
          std::string::npos)
          << E.what();
    }
    A->UnlockTable(Beside, tltNone);
  }
}

// --- Other processes -----------------------------------------------------------------------------

using LockProcessTest = LockFileTest;

TEST_F(LockProcessTest, ReadLocksCoexistAcrossProcessesAndTheWriteLockIsRefused) {
  auto A = Session(1);
  ASSERT_TRUE(A->LockTable(tltNone, tltRead, true));
  const auto R = RunHelper(2, {"login", "lock", "0", "1", "1", "unlock", "1", "0", "lock", "0", "3",
                               "1", "count", "logout"});
  ASSERT_EQ(R.exitCode, 0) << R.out << R.err;
  EXPECT_EQ(R.out, "login 0\nlock 1\nunlock 0\nlock 0\ncount 2\nlogout 0\n");
  EXPECT_TRUE(std::filesystem::exists(LockPath()));  // A is still there
  EXPECT_EQ(Header().SessionCount, 1);
  A->LogOut();
  EXPECT_FALSE(std::filesystem::exists(LockPath()));
}

TEST_F(LockProcessTest, AWriterInAnotherProcessWaitsUntilTheReadLockIsGivenBack) {
  auto A = Session(1);
  ASSERT_TRUE(A->LockTable(tltNone, tltRead, true));
  auto Child = Start(2, {"timeout", "15000", "login", "lock", "0", "3", "0", "logout"}, "writer");
  ASSERT_TRUE(Eventually([&] { return A->ReadLockWaiters() == 1; })) << Child->Output();
  EXPECT_FALSE(Child->Output().find("lock") != std::string::npos);
  A->UnlockTable(tltRead, tltNone);
  ASSERT_EQ(Child->Wait(), 0) << Child->Output();
  EXPECT_EQ(Child->Output(), "login 0\nlock 1\nlogout 0\n");
  EXPECT_TRUE(A->CheckUpdate());  // the writer's release counts as a change
}

TEST_F(LockProcessTest, ACrashedWritersLocksGoWithItsProcessAndItsSlotIsReclaimed) {
  auto A = Session(1);
  const std::string Ready = Dir.File("ready");
  auto Child = Start(2, {"login", "lock", "0", "3", "1", "record", "9", "crash"}, "crash");
  EXPECT_EQ(Child->Wait(), 3) << Child->Output();
  EXPECT_EQ(Child->Output(), "login 0\nlock 1\nrecord 1\n");
  EXPECT_EQ(Header().WriteLocks, 1);  // the file still tells of it
  const auto Info = A->GetLockInfo();
  ASSERT_EQ(Info.size(), 2u);
  EXPECT_TRUE(Info[0].Alive);
  EXPECT_FALSE(Info[1].Alive);
  EXPECT_EQ(Info[1].TableLock, tltWrite);
  int Hijacks = 0;
  A->SetOnHijack([&](TVdbLockFile&) { ++Hijacks; });
  TVdbLockFile::SetLockTimeout(50);
  EXPECT_TRUE(A->LockTable(tltNone, tltWrite, false));
  EXPECT_EQ(Hijacks, 1);
  EXPECT_EQ(Header().SessionCount, 1);
  EXPECT_TRUE(A->LockRecord(9));
}

TEST_F(LockProcessTest, AProcessThatDiesHoldingTheTableExclusivelyFreesTheMutualExclusion) {
  const std::string Ready = Dir.File("ready");
  auto Child = Start(2, {"login", "exclusive", "ready", Ready, "crash"}, "excl");
  EXPECT_EQ(Child->Wait(), 3) << Child->Output();
  EXPECT_EQ(Child->Output(), "login 0\nexclusive 1\n");
  int Hijacks = 0;
  TVdbLockFile B(FS, 5, "B");
  B.SetOnHijack([&](TVdbLockFile&) { ++Hijacks; });
  B.LogIn(kLockName, 6, false);
  EXPECT_EQ(Hijacks, 1);
  EXPECT_TRUE(B.LockExclusive());
  B.UnlockExclusive();
  B.LogOut();
  EXPECT_FALSE(std::filesystem::exists(LockPath()));
}

TEST_F(LockProcessTest, WritersOfSeveralProcessesNeverOverlap) {
  // Four processes create the lock file together, take turns at the write lock, and the last
  // to leave removes the files.
  const std::string Counter = Dir.File("counter");
  const std::string Go = Dir.File("go");
  std::vector<std::unique_ptr<TChild>> Children;
  for (int I = 0; I < 4; ++I)
    Children.push_back(
        Start(10 + I,
              {"timeout", "20000", "wait-file", Go, "login", "increment", Counter, "25", "logout"},
              "writer" + std::to_string(I)));
  std::ofstream(Go) << "go";
  for (auto& Child : Children) {
    ASSERT_EQ(Child->Wait(), 0) << Child->Output();
    EXPECT_EQ(Child->Output(), "login 0\nincrement 25\nlogout 0\n");
  }
  long long Value = 0;
  std::ifstream(Counter) >> Value;
  EXPECT_EQ(Value, 100);
  EXPECT_FALSE(std::filesystem::exists(LockPath()));
  EXPECT_FALSE(std::filesystem::exists(MovePath()));
}

TEST_F(LockProcessTest, AnotherProcessesRecordMovesReachThisSession) {
  auto A = Session(1);
  const auto R = RunHelper(2, {"login", "move", "5", "10", "move", "7", "7", "logout"});
  ASSERT_EQ(R.exitCode, 0) << R.out;
  std::int32_t New = 0, Old = 0;
  ASSERT_TRUE(A->ReadRecordMove(New, Old));
  EXPECT_EQ(New * 100 + Old, 510);
  ASSERT_TRUE(A->ReadRecordMove(New, Old));
  EXPECT_EQ(New * 100 + Old, 707);
  EXPECT_FALSE(A->ReadRecordMove(New, Old));
}

// --- Undo log
// --------------------------------------------------------------------------------------

// Records what an undo asks for.
class TRecordingTarget : public TVdbRedoTarget {
 public:
  void UndoInsert(std::int32_t RecordNo) override {
    Calls.push_back("insert " + std::to_string(RecordNo));
  }
  void UndoUpdate(std::int32_t RecordNo, const std::vector<std::uint8_t>& OldRecord,
                  const TVdbRedoBlobs& OldBlobs) override {
    Record("update", RecordNo, OldRecord, OldBlobs);
  }
  void UndoDelete(std::int32_t RecordNo, const std::vector<std::uint8_t>& OldRecord,
                  const TVdbRedoBlobs& OldBlobs) override {
    Record("delete", RecordNo, OldRecord, OldBlobs);
  }
  std::vector<std::string> Calls;
  int FailAt = -1;  // throws at this call

 private:
  void Record(const std::string& What, std::int32_t RecordNo, const std::vector<std::uint8_t>& Old,
              const TVdbRedoBlobs& Blobs) {
    if (static_cast<int>(Calls.size()) == FailAt) throw std::runtime_error("target failed");
    std::string Call =
        What + " " + std::to_string(RecordNo) + " " + std::string(Old.begin(), Old.end());
    for (const auto& [Column, Blob] : Blobs)
      Call += " [" + std::to_string(Column) + ":" + std::to_string(Blob.Kind) + ":" +
              (Blob.Kind == takWideMemo ? TkxMemory::Utf16ToUtf8(Blob.WideData) : Blob.Data) + "]";
    Calls.push_back(Call);
  }
};

class RedoLogTest : public LockFileTest {
 protected:
  std::unique_ptr<TVdbRedoLog> Log(std::int32_t RecordSize = 4) {
    return std::make_unique<TVdbRedoLog>(FS, RecordSize, false, 6, kLockName);
  }
  std::string LogPath() const { return Dir.File(std::string(kLockName) + ".vdbr"); }
};

TEST_F(RedoLogTest, EntriesAreWrittenInTheLayoutThatIsReadBackwards) {
  auto L = Log(2);
  ASSERT_TRUE(L->NewFile());
  L->LogInsert(3);
  TVdbRedoBlobs Blobs;
  Blobs[1].Data = "ab";
  Blobs[4].Kind = takWideMemo;
  Blobs[4].WideData.assign(1, u'\u00E9');
  Blobs[6] = TVdbRedoBlob{};  // an empty value
  L->LogUpdate(2, reinterpret_cast<const std::uint8_t*>("XY"), Blobs);
  // clang-format off
  const std::vector<std::uint8_t> Expected{
      0xB0, 0xC0, 0xD0, 0xE0, 0, 0, 0, 0,
      0, 3, 0, 0, 0, 5, 0, 0, 0,              // insert 3
      1, 2, 0, 0, 0, 'X', 'Y', 7, 0, 0, 0,    // update 2 with the old record
      3, 1, 0, 0, 0, 'a', 'b', 7, 0, 0, 0,    // old 8-bit value of column 1
      4, 4, 0, 0, 0, 0xE9, 0, 7, 0, 0, 0,     // old UTF-16 value of column 4
      3, 6, 0, 0, 0, 5, 0, 0, 0};             // empty value of column 6
  // clang-format on
  EXPECT_EQ(ReadBytes(LogPath()), Expected);
  ASSERT_TRUE(L->ReadPriorAction());
  EXPECT_EQ(L->GetLastActionKind(), takUpdate);
  EXPECT_EQ(L->GetLastActionRecordNo(), 2);
  EXPECT_EQ(L->GetLastActionRecBuffer(), (std::vector<std::uint8_t>{'X', 'Y'}));
  Blobs[6].Kind = takBlob;
  EXPECT_EQ(L->GetLastActionBlobs(), Blobs);
  ASSERT_TRUE(L->ReadPriorAction());
  EXPECT_EQ(L->GetLastActionKind(), takInsert);
  EXPECT_EQ(L->GetLastActionRecordNo(), 3);
  EXPECT_TRUE(L->GetLastActionBlobs().empty());
  EXPECT_FALSE(L->ReadPriorAction());
  L->Erase();
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
}

TEST_F(RedoLogTest, UndoRunsFromTheLatestActionAndKeepsWhatFailedToUndo) {
  auto L = Log();
  ASSERT_TRUE(L->NewFile());
  L->LogInsert(11);
  L->LogDelete(7, reinterpret_cast<const std::uint8_t*>("BBBB"), {});
  L->LogUpdate(5, reinterpret_cast<const std::uint8_t*>("AAAA"),
               {{2, TVdbRedoBlob{takBlob, "memo", {}}}});
  L->Close();
  auto Again = Log();
  ASSERT_EQ(Again->Open(), TVdbRedoOpenResult::rorOpened);
  TRecordingTarget Target;
  Target.FailAt = 1;  // the delete cannot be undone now
  EXPECT_THROW(Again->Undo(Target), std::runtime_error);
  EXPECT_EQ(Target.Calls, (std::vector<std::string>{"update 5 AAAA [2:3:memo]"}));
  Again->Close();
  auto Third = Log();
  ASSERT_EQ(Third->Open(), TVdbRedoOpenResult::rorOpened);
  TRecordingTarget Rest;
  Third->Undo(Rest);  // the update is not undone twice
  EXPECT_EQ(Rest.Calls, (std::vector<std::string>{"delete 7 BBBB", "insert 11"}));
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
  EXPECT_EQ(Log()->Open(), TVdbRedoOpenResult::rorMissing);
}

TEST_F(RedoLogTest, ALogWhoseOwnerLivesIsNeitherUndoneNorReplaced) {
  auto Owner = Log();
  ASSERT_TRUE(Owner->NewFile());
  Owner->LogInsert(1);
  auto Other = Log();
  EXPECT_EQ(Other->Open(), TVdbRedoOpenResult::rorInUse);
  EXPECT_EQ(EngineCode([&] { Other->NewFile(); }), 104);
  Other->Erase();
  EXPECT_EQ(ReadBytes(LogPath()).size(), 8u + 9u);
  Owner->Erase();  // committed
  EXPECT_EQ(Other->Open(), TVdbRedoOpenResult::rorMissing);
}

TEST_F(RedoLogTest, ANewLogNeverThrowsAwayTheActionsADeadSessionLeft) {
  auto Dead = Log();
  ASSERT_TRUE(Dead->NewFile());
  Dead->LogInsert(8);
  Dead->Close();  // its session ended without commit or rollback
  auto L = Log();
  ASSERT_FALSE(L->NewFile());
  ASSERT_TRUE(L->IsOpen());
  TRecordingTarget Target;
  L->Undo(Target);
  EXPECT_EQ(Target.Calls, (std::vector<std::string>{"insert 8"}));
  ASSERT_TRUE(L->NewFile());
  L->LogInsert(9);
  L->Close();
  auto Empty = Log();  // a log without actions is simply started again
  ASSERT_TRUE(Empty->Open() == TVdbRedoOpenResult::rorOpened);
  Empty->Undo(Target);
  Empty->Close();
  EXPECT_TRUE(Log()->NewFile());
}

TEST_F(RedoLogTest, ADamagedLogIsReportedAndKept) {
  std::vector<std::uint8_t> Good{0xB0, 0xC0, 0xD0, 0xE0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 5, 0, 0, 0};
  auto Tail = [](std::vector<std::uint8_t> B, std::vector<std::uint8_t> More) {
    B.insert(B.end(), More.begin(), More.end());
    return B;
  };
  std::vector<std::uint8_t> OtherTag = Good;
  OtherTag[0] = 0xB1;
  const std::vector<std::vector<std::uint8_t>> Damaged{
      OtherTag,
      {0xB0, 0xC0, 0xD0},                                   // shorter than its header
      Tail(Good, {0, 1, 0, 0}),                             // a torn entry
      Tail(Good, {9, 1, 0, 0, 0, 5, 0, 0, 0}),              // an unknown kind
      Tail(Good, {1, 1, 0, 0, 0, 'a', 6, 0, 0, 0}),         // an update without a whole record
      Tail(Good, {0, 2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F}),  // a length beyond the start
      {0xB0, 0xC0, 0xD0, 0xE0, 0, 0, 0, 0, 3, 1, 0, 0, 0, 5, 0, 0, 0}};  // old values of nothing
  for (const auto& Content : Damaged) {
    WriteBytes(LogPath(), Content);
    auto L = Log();
    EXPECT_EQ(EngineCode([&] { L->Open(); }), 52);
    EXPECT_FALSE(L->IsOpen());
    EXPECT_EQ(ReadBytes(LogPath()), Content);
  }
  Log()->Erase();  // thrown away on purpose
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
  WriteBytes(LogPath(), {});  // its creator died before writing the tag
  auto Empty = Log();
  ASSERT_EQ(Empty->Open(), TVdbRedoOpenResult::rorOpened);
  TRecordingTarget Target;
  Empty->Undo(Target);
  EXPECT_TRUE(Target.Calls.empty());
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
}

TEST_F(RedoLogTest, TheUndoLogOfACrashedProcessIsRolledBackByTheSessionThatFindsItDead) {
  auto A = Session(1);
  const auto R =
      RunHelper(2, {"login", "lock", "0", "3", "1", "redo-new", kLockName, "4", "redo-insert", "11",
                    "redo-update", "5", "A", "régi memo", "redo-delete", "7", "B", "szó", "crash"});
  ASSERT_EQ(R.exitCode, 3) << R.out << R.err;
  TRecordingTarget Target;
  A->SetOnHijack([&](TVdbLockFile& Sender) {
    auto L = Log();
    if (L->Open() != TVdbRedoOpenResult::rorOpened) return;
    const TVdbTableLockType Held = Sender.GetTableLock();  // the read lock just granted
    ASSERT_TRUE(Sender.LockTable(Held, tltWrite, true));
    L->Undo(Target);
    Sender.UnlockTable(tltWrite, Held);
  });
  TVdbLockFile::SetLockTimeout(50);
  ASSERT_TRUE(A->LockTable(tltNone, tltRead, false));
  EXPECT_EQ(Target.Calls, (std::vector<std::string>{"delete 7 BBBB [3:4:szó]",
                                                    "update 5 AAAA [2:3:régi memo]", "insert 11"}));
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
}

TEST_F(RedoLogTest, AnotherProcessesRunningTransactionIsLeftAlone) {
  const std::string Ready = Dir.File("ready"), Go = Dir.File("go");
  auto Child =
      Start(2, {"redo-new", kLockName, "4", "redo-insert", "3", "ready", Ready, "wait-file", Go},
            "owner");
  ASSERT_TRUE(vdbtest::WaitForFile(Ready)) << Child->Output();
  EXPECT_EQ(Log()->Open(), TVdbRedoOpenResult::rorInUse);
  std::ofstream(Go) << "go";
  ASSERT_EQ(Child->Wait(), 0) << Child->Output();  // ended without erasing: as good as a crash
  auto L = Log();
  ASSERT_EQ(L->Open(), TVdbRedoOpenResult::rorOpened);
  TRecordingTarget Target;
  L->Undo(Target);
  EXPECT_EQ(Target.Calls, (std::vector<std::string>{"insert 3"}));
}

}  // namespace
