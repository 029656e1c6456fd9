// Base tables shared by sessions through the lock file: lingering table locks and the idle
// unlock, catching up with other sessions' changes, record edit locks, and the undo log of a
// transaction.
#include "VdbBaseTableTestSupport.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "table/VdbLocks.h"

namespace vdb::test {
namespace {

class BaseTableShared : public BaseTableFixture {
 protected:
  // Two sessions on table Data (with record edit locks when asked), no table lock held; B is
  // null when either could not be opened.
  void OpenTwo(TVdbBaseTable*& A, TVdbBaseTable*& B, bool EditLocks = false) {
    A = OpenTable(kVdbWriteRights, 1);
    B = OpenTable(kVdbWriteRights, 2);
    if (A == nullptr || B == nullptr) {
      B = nullptr;
      return;
    }
    A->SetUseEditLocks(EditLocks);
    B->SetUseEditLocks(EditLocks);
    A->CheckUnlock(VdbTickCount() + 100);
    B->CheckUnlock(VdbTickCount() + 100);
  }
};

// The idle-unlock pass of the catalog, as if 100 ms had gone by.
void IdleUnlock(TVdbBaseTable& Table) { Table.CheckUnlock(VdbTickCount() + 100); }

TEST_F(BaseTableShared, TwoSessionsTakeTurnsAndCatchUp) {
  WriteDatabase(NumberedEntries(10));
  TVdbBaseTable* A = OpenTable(kVdbWriteRights, 1);
  TVdbBaseTable* B = OpenTable(kVdbWriteRights, 2);
  ASSERT_NE(A, nullptr);
  ASSERT_NE(B, nullptr);
  TRecordingListener Heard;
  A->AddAccessor(&Heard);
  std::vector<std::string> Users;
  EXPECT_EQ(A->NetUsers(Users), 2);
  EXPECT_EQ(Users, (std::vector<std::string>{"Test1", "Test2"}));
  IdleUnlock(*A);
  IdleUnlock(*B);

  // A read leaves its lock lingering: a writer that does not wait is refused.
  std::vector<std::uint8_t> Buffer(156);
  ASSERT_EQ(A->ReadRecord(1, Buffer.data()), 0);
  EXPECT_EQ(A->HeldLock(), tltRead);
  EXPECT_EQ(B->BeginWrite(false), -104);
  IdleUnlock(*A);
  EXPECT_EQ(A->HeldLock(), tltNone);

  // B appends; while its write lock lingers A cannot read.
  std::vector<std::uint8_t> New = Record("alma");
  TVdbBlobDataList Blobs = Memo(2, "uj");
  ASSERT_EQ(B->AppendRecord(New.data(), &Blobs), 11) << Errors(2).LastErrorMsg();
  EXPECT_EQ(B->HeldLock(), tltWrite);
  EXPECT_EQ(A->BeginRead(false), -104);
  IdleUnlock(*B);
  ASSERT_EQ(A->ReadRecord(11, Buffer.data()), 0) << Errors(1).LastErrorMsg();
  EXPECT_EQ(Headword(Buffer.data()), "alma");
  std::string Text;
  ASSERT_EQ(A->ReadMemoString(Buffer.data(), 2, Text), 0);
  EXPECT_EQ(Text, "uj");
  EXPECT_EQ(A->RecordCount(), 11);
  EXPECT_EQ(Heard.Events, (std::vector<std::string>{"changed"}));
  EXPECT_EQ(IndexWalk(*A, 0).size(), 11u);
  IdleUnlock(*A);

  // B deletes record 5: record 11 moves into its place, and A hears of the move.
  Heard.Events.clear();
  ASSERT_EQ(B->ReadRecord(5, Buffer.data()), 0);
  IdleUnlock(*B);
  ASSERT_EQ(B->DeleteRecord(Buffer.data(), 5), 0) << Errors(2).LastErrorMsg();
  IdleUnlock(*B);
  ASSERT_EQ(A->ReadRecord(5, Buffer.data()), 0);
  EXPECT_EQ(Headword(Buffer.data()), "alma");
  EXPECT_EQ(Heard.Events, (std::vector<std::string>{"changed", "deleted 5 moved 11"}));
  EXPECT_EQ(IndexHeadwords(*A, 0).front(), "alma");
  EXPECT_EQ(A->RecordCount(), 10);
  IdleUnlock(*A);

  // A new index of B shows in A at its next lock.
  ASSERT_EQ(B->CreateIndex("FORDITOTT", "-CIMSZO", false), 1) << Errors(2).LastErrorMsg();
  IdleUnlock(*B);
  ASSERT_EQ(A->ReadRecord(1, Buffer.data()), 0);
  ASSERT_EQ(A->GetIndexNo("FORDITOTT"), 1);
  const std::vector<std::string> Reversed = IndexHeadwords(*A, 1);
  ASSERT_EQ(Reversed.size(), 10u);
  EXPECT_EQ(Reversed.front(), "szo10");
  EXPECT_EQ(Reversed.back(), "alma");
  IdleUnlock(*A);

  FTables.clear();
  EXPECT_FALSE(std::filesystem::exists(LockFilePath()));
  EXPECT_FALSE(std::filesystem::exists(MoveFilePath()));
}

// An index another session made is kept current by every write of this session, whether this
// session has opened it yet or not.
TEST_F(BaseTableShared, WritesKeepAnIndexOfAnotherSessionCurrentBeforeItIsOpenedHere) {
  struct Case {
    const char* Name;
    std::function<void(TVdbBaseTable&)> Write;
    std::vector<std::string> Expected;  // the other session's index, in its order
  };
  const std::vector<Case> Cases = {
      {"append",
       [](TVdbBaseTable& T) {
         std::vector<std::uint8_t> New = Record("alma");
         ASSERT_EQ(T.AppendRecord(New.data(), nullptr), 4);
       },
       {"szo03", "szo02", "szo01", "alma"}},
      {"replace",
       [](TVdbBaseTable& T) {
         std::vector<std::uint8_t> New = Record("zab");
         ASSERT_EQ(T.ReplaceRecord(New.data(), New.data(), 2, nullptr), 0);
       },
       {"zab", "szo03", "szo01"}},
      {"delete",
       [](TVdbBaseTable& T) {
         std::vector<std::uint8_t> Old(156);
         ASSERT_EQ(T.ReadRecord(1, Old.data()), 0);
         ASSERT_EQ(T.DeleteRecord(Old.data(), 1), 0);
       },
       {"szo03", "szo02"}},
      {"empty", [](TVdbBaseTable& T) { ASSERT_EQ(T.ClearDat(), 3); }, {}},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    FTables.clear();
    FSessions.clear();
    if (FContainer) FContainer->Close();
    FContainer.reset();
    WriteDatabase(NumberedEntries(3));
    TVdbBaseTable* A = nullptr;
    TVdbBaseTable* B = nullptr;
    OpenTwo(A, B);
    ASSERT_NE(B, nullptr);
    ASSERT_EQ(B->CreateIndex("FORDITOTT", "-CIMSZO", false), 1) << Errors(2).LastErrorMsg();
    IdleUnlock(*B);
    C.Write(*A);
    EXPECT_EQ(Errors(1).LastErrorCode(), 0) << Errors(1).LastErrorMsg();
    IdleUnlock(*A);
    EXPECT_EQ(IndexHeadwords(*B, 1), C.Expected);
    IdleUnlock(*B);
  }
}

TEST_F(BaseTableShared, AnAppendThatCannotHaveItsLockKeepsTheLockError) {
  WriteDatabase(NumberedEntries(3));
  TVdbBaseTable* A = nullptr;
  TVdbBaseTable* B = nullptr;
  OpenTwo(A, B);
  ASSERT_NE(B, nullptr);
  ASSERT_EQ(A->BeginUpgrade(true), 0);  // A holds the one upgrade lock
  TVdbLockFile::SetLockTimeout(50);
  std::vector<std::uint8_t> New = Record("alma");
  const std::int32_t Result = B->AppendRecord(New.data(), nullptr);
  TVdbLockFile::SetLockTimeout(20000);
  EXPECT_EQ(Result, -9999);
  EXPECT_EQ(Errors(2).LastErrorCode(), 104);
  A->EndUpgrade();
  IdleUnlock(*A);
  EXPECT_EQ(B->AppendRecord(New.data(), nullptr), 4) << Errors(2).LastErrorMsg();
  EXPECT_EQ(B->CountReadLocks() + B->CountWriteLocks() + B->CountUpgradeLocks(), 0);
}

// The catalog's unlock thread gives lingering locks up, so that sessions take turns without
// anyone releasing by hand.
TEST_F(BaseTableShared, TheIdleUnlockThreadLetsSessionsTakeTurns) {
  WriteDatabase(NumberedEntries(3));
  TVdbBaseTable* A = nullptr;
  TVdbBaseTable* B = nullptr;
  OpenTwo(A, B);
  ASSERT_NE(B, nullptr);
  std::atomic<bool> Stop{false};
  std::thread Unlocker([&] {
    while (!Stop) {
      const std::uint32_t Now = VdbTickCount();
      A->CheckUnlock(Now);
      B->CheckUnlock(Now);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  TVdbLockFile::SetLockTimeout(5000);
  std::vector<std::uint8_t> Buffer(156);
  int Appended = 0;
  for (int I = 0; I < 20; ++I) {
    std::vector<std::uint8_t> New = Record("uj" + std::to_string(I));
    if (A->AppendRecord(New.data(), nullptr) > 0) ++Appended;
    if (B->ReadRecord(3 + Appended, Buffer.data()) != 0) {
      ADD_FAILURE() << Errors(2).LastErrorMsg();  // the unlock thread must be joined below
      break;
    }
    EXPECT_EQ(Headword(Buffer.data()), "uj" + std::to_string(I));
  }
  Stop = true;
  Unlocker.join();
  TVdbLockFile::SetLockTimeout(20000);
  EXPECT_EQ(Appended, 20) << Errors(1).LastErrorMsg();
  EXPECT_EQ(B->RecordCount(), 23);
  EXPECT_EQ(IndexWalk(*B, 0).size(), 23u);
}

TEST_F(BaseTableShared, AnExclusiveLockNeedsTheTableAlone) {
  WriteDatabase(NumberedEntries(2));
  TVdbBaseTable* A = nullptr;
  TVdbBaseTable* B = nullptr;
  OpenTwo(A, B);
  ASSERT_NE(B, nullptr);
  EXPECT_EQ(A->BeginExclusive(false), -104);
  FTables.pop_back();  // B leaves
  ASSERT_EQ(A->BeginExclusive(false), 0);
  ASSERT_EQ(A->BeginExclusive(false), 0);  // counted
  // Nobody else gets in meanwhile.
  TVdbLockFile::SetLockTimeout(50);
  auto Late = NewTable(kVdbWriteRights, 2);
  EXPECT_LT(Late->Open(false), 0);
  TVdbLockFile::SetLockTimeout(20000);
  A->EndExclusive();
  A->EndExclusive();
  EXPECT_EQ(Late->Open(false), 0) << Errors(2).LastErrorMsg();
}

TEST_F(BaseTableShared, AReaderAskingForMoreIsRefusedRatherThanDeadlocked) {
  WriteDatabase(NumberedEntries(2));
  TVdbBaseTable* A = OpenTable(kVdbWriteRights, 1);
  ASSERT_NE(A, nullptr);
  ASSERT_EQ(A->BeginRead(true), 0);
  EXPECT_EQ(A->BeginUpgrade(true), -104);
  EXPECT_EQ(A->BeginWrite(true), -104);
  A->EndRead();
  ASSERT_EQ(A->BeginUpgrade(true), 0);
  ASSERT_EQ(A->BeginWrite(true), 0);
  EXPECT_EQ(A->HeldLock(), tltWrite);
  A->EndWrite();
  A->EndUpgrade();
  // The counters need no lock any more; the file lock lingers until the idle pass.
  EXPECT_EQ(A->HeldLock(), tltWrite);
  A->CheckUnlock(VdbTickCount());  // not yet idle
  EXPECT_EQ(A->HeldLock(), tltWrite);
  IdleUnlock(*A);
  EXPECT_EQ(A->HeldLock(), tltNone);
}

TEST_F(BaseTableShared, RecordEditLocksKeepSessionsApart) {
  WriteDatabase(NumberedEntries(5));
  TVdbBaseTable* A = nullptr;
  TVdbBaseTable* B = nullptr;
  OpenTwo(A, B, true);
  ASSERT_NE(B, nullptr);

  ASSERT_EQ(A->CheckEdit(3, nullptr), 0);
  EXPECT_EQ(A->CheckEdit(4, nullptr), -105);  // one record at a time
  EXPECT_EQ(B->CheckEdit(3, nullptr), -105);
  std::vector<std::uint8_t> Buffer(156);
  ASSERT_EQ(B->ReadRecord(3, Buffer.data()), 0);
  EXPECT_EQ(B->DeleteRecord(Buffer.data(), 3), -105);
  IdleUnlock(*B);
  EXPECT_EQ(B->RecordCount(), 5);
  A->EndEdit(3);
  ASSERT_EQ(B->CheckEdit(3, nullptr), 0);
  B->EndEdit(3);

  // An accessor of the same session that edits the record counts as well, unless excluded.
  TRecordingListener Editor;
  Editor.Editing = 2;
  A->AddAccessor(&Editor);
  EXPECT_EQ(A->CheckEdit(2, nullptr), -105);
  ASSERT_EQ(A->CheckEdit(2, &Editor), 0);
  A->EndEdit(2);
}

TEST_F(BaseTableShared, MovedRecordsTakeTheirEditLocksAlong) {
  WriteDatabase(NumberedEntries(6));
  TVdbBaseTable* A = nullptr;
  TVdbBaseTable* B = nullptr;
  OpenTwo(A, B, true);
  ASSERT_NE(B, nullptr);
  ASSERT_EQ(A->CheckEdit(6, nullptr), 0);  // A edits the last record
  std::vector<std::uint8_t> Buffer(156);
  ASSERT_EQ(B->ReadRecord(2, Buffer.data()), 0);
  ASSERT_EQ(B->DeleteRecord(Buffer.data(), 2), 0) << Errors(2).LastErrorMsg();
  IdleUnlock(*B);
  // Record 6 is record 2 now, and so is A's edit lock.
  EXPECT_EQ(B->CheckEdit(2, nullptr), -105);
  ASSERT_EQ(B->CheckEdit(5, nullptr), 0);
  B->EndEdit(5);
}

class BaseTableTransaction : public BaseTableFixture {
 protected:
  std::vector<std::string> Headwords(TVdbBaseTable& Table) {
    std::vector<std::string> Words;
    std::vector<std::uint8_t> Buffer(156);
    for (std::int32_t RecNo = 1; RecNo <= Table.RecordCount(); ++RecNo) {
      EXPECT_EQ(Table.ReadRecord(RecNo, Buffer.data()), 0);
      std::string Text;
      EXPECT_EQ(Table.ReadMemoString(Buffer.data(), 2, Text), 0);
      Words.push_back(Headword(Buffer.data()) + ":" + Text);
    }
    return Words;
  }
};

TEST_F(BaseTableTransaction, UndoPutsEveryRecordBack) {
  WriteDatabase(NumberedEntries(4));
  TVdbBaseTable* Table = OpenTable(kVdbWriteRights, 1);
  ASSERT_NE(Table, nullptr);
  const std::vector<std::string> Before = Headwords(*Table);
  Session(1)->SetIsolationLevel(tilReadCommited);

  std::vector<std::uint8_t> New = Record("alma");
  TVdbBlobDataList Blobs = Memo(2, "alma leiras");
  ASSERT_EQ(Table->AppendRecord(New.data(), &Blobs), 5) << Errors().LastErrorMsg();
  std::vector<std::uint8_t> Old(156);
  ASSERT_EQ(Table->ReadRecord(2, Old.data()), 0);
  std::vector<std::uint8_t> Changed = Record("korte");
  TkxMemory::WriteInt32(Changed.data(), 152, Table->GetBlockIdx(Old.data(), 2));
  TVdbBlobDataList Other = Memo(2, "korte leiras");
  ASSERT_EQ(Table->ReplaceRecord(Changed.data(), Old.data(), 2, &Other), 0)
      << Errors().LastErrorMsg();
  ASSERT_EQ(Table->ReadRecord(1, Old.data()), 0);
  ASSERT_EQ(Table->DeleteRecord(Old.data(), 1), 0) << Errors().LastErrorMsg();
  EXPECT_NE(Headwords(*Table), Before);

  ASSERT_EQ(Table->UndoModifications(), 0) << Errors().LastErrorMsg();
  EXPECT_EQ(Headwords(*Table), Before);
  EXPECT_EQ(IndexHeadwords(*Table, 0),
            (std::vector<std::string>{"szo01", "szo02", "szo03", "szo04"}));
}

TEST_F(BaseTableTransaction, CommitKeepsTheChangesAndErasesTheLog) {
  WriteDatabase(NumberedEntries(2));
  TVdbBaseTable* Table = OpenTable(kVdbWriteRights, 1);
  ASSERT_NE(Table, nullptr);
  Session(1)->SetIsolationLevel(tilReadCommited);
  std::vector<std::uint8_t> New = Record("alma");
  ASSERT_EQ(Table->AppendRecord(New.data(), nullptr), 3);
  const std::string LogPath = (FDir / "L_Data!Data.vdbr").string();
  EXPECT_TRUE(std::filesystem::exists(LogPath));
  ASSERT_EQ(Table->CommitModifications(), 0);
  EXPECT_FALSE(std::filesystem::exists(LogPath));
  ASSERT_EQ(Table->UndoModifications(), 0);
  EXPECT_EQ(Table->RecordCount(), 3);
}

}  // namespace
}  // namespace vdb::test
