// I/O faults: the lexicon table is opened over a file system that makes the k-th write, read or
// size change fail (a full disk), and a workload of appends, replacements with longer memos and
// deletes runs until the failure. For every k up to the workload's last operation: the failing
// step answers an error, and the table, opened again without faults, is in the state before the
// step or after it, and its check finds nothing wrong.
#include <map>
#include <memory>

#include "CampaignSupport.h"
#include "storage/kxFaultFileSystem.h"
#include "table/VdbBaseTableTestSupport.h"
#include "table/VdbTableCheck.h"

namespace vdb::test {
namespace {

constexpr std::int32_t kDiskFull = 112;

using TState = std::map<std::string, std::string>;  // headword -> memo

constexpr int kSteps = 9;

class IoFaultCampaign : public BaseTableFixture {
 protected:
  // The table over FileSystem, opened and set up; null when that failed.
  std::unique_ptr<TVdbBaseTable> Open(TkxFileSystem& FileSystem) {
    auto Table = NewTable(kVdbWriteRights);
    Table->SetFileSystem(&FileSystem);
    if (Table->Open(false) < 0 || Table->Setup(false) < 0) return nullptr;
    return Table;
  }

  static TState State(TVdbBaseTable& Table) {
    TState Result;
    std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Table.RecordSize()));
    for (std::int32_t RecNo = Table.GetFirstRecordNo(); RecNo > 0;
         RecNo = Table.GetNextRecordNo(RecNo)) {
      EXPECT_EQ(Table.ReadRecord(RecNo, Buffer.data()), 0);
      std::string Memo;
      EXPECT_GE(Table.ReadMemoString(Buffer.data(), 2, Memo), 0);
      Result[Headword(Buffer.data())] = Memo;
    }
    return Result;
  }

  static std::int32_t Defects(TVdbBaseTable& Table, std::string& Lines) {
    TVdbTableCheck Check(Table, nullptr,
                         [&Lines](const std::string& File, std::int32_t RecNo,
                                  const std::string& Message) {
                           Lines += File + " " + std::to_string(RecNo) + ": " + Message + "\n";
                         });
    return Check.Run();
  }

  // Step I of the workload on Table; answers the first negative result (0 when all went well)
  // and what the state becomes when the step goes through.
  static std::int16_t Step(TVdbBaseTable& Table, int I, TState& Expected) {
    std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(Table.RecordSize()));
    const std::string Word = "uj" + std::to_string(I);
    const std::string Text = std::string(100 + 150 * (I % 4), static_cast<char>('a' + I % 26));
    std::int32_t Result = 0;
    switch (I % 3) {
      case 0: {  // a new record with a memo
        std::vector<std::uint8_t> New = Record(Word);
        const TVdbBlobDataList Memos = Memo(2, Text);
        Result = Table.AppendRecord(New.data(), &Memos);
        Expected[Word] = Text;
        break;
      }
      case 1: {  // the first record gets a new name and a longer memo
        const std::int32_t RecNo = Table.GetFirstRecordNo();
        if (Table.ReadRecord(RecNo, Buffer.data()) < 0) return -1;
        std::vector<std::uint8_t> Changed = Record(Word);
        TkxMemory::WriteInt32(Changed.data(), 152, Table.GetBlockIdx(Buffer.data(), 2));
        const TVdbBlobDataList Memos = Memo(2, Text + Text);
        Result = Table.ReplaceRecord(Changed.data(), Buffer.data(), RecNo, &Memos);
        Expected.erase(Headword(Buffer.data()));
        Expected[Word] = Text + Text;
        break;
      }
      default: {  // the last record goes
        const std::int32_t RecNo = Table.GetLastRecordNo();
        if (Table.ReadRecord(RecNo, Buffer.data()) < 0) return -1;
        Result = Table.DeleteRecord(Buffer.data(), RecNo);
        Expected.erase(Headword(Buffer.data()));
        break;
      }
    }
    if (Result < 0) return static_cast<std::int16_t>(Result);
    return Table.Flush();
  }

  // One sweep: k = 1, 2, ... until the workload runs through without meeting the k-th operation.
  void Sweep(TkxFaultKind Kind, int& Points, int& Exceptions) {
    for (std::int64_t K = 1; K < 100000; ++K) {
      TearDown();
      SetUp();
      WriteDatabase(NumberedEntries(6));
      TkxFaultFileSystem Faults(*FContainer);
      TState Before, After;
      bool Fired = false;
      {
        auto Table = Open(Faults);
        ASSERT_NE(Table, nullptr);
        Before = State(*Table);
        Faults.FailAt(Kind, K, kDiskFull, false);
        for (int I = 0; I < kSteps && !Fired; ++I) {
          After = Before;
          std::int16_t Result = 0;
          try {
            Result = Step(*Table, I, After);
          } catch (const std::exception& Error) {
            // A failure of the file layer the table does not translate still reaches the
            // caller, as the exception it is.
            Result = -1;
            ++Exceptions;
          }
          Fired = Faults.Fired();
          if (Fired) {
            EXPECT_LT(Result, 0) << "k = " << K << ": the failure at step " << I
                                 << " did not reach the caller";
          } else {
            ASSERT_GE(Result, 0) << "k = " << K << ", step " << I;
            Before = After;
          }
        }
        Faults.Disarm();
      }
      if (!Fired) return;  // the workload no longer reaches the k-th operation
      ++Points;
      auto Again = Open(*FContainer);
      ASSERT_NE(Again, nullptr) << "k = " << K << ": the table cannot be opened after the failure";
      const TState Now = State(*Again);
      EXPECT_TRUE(Now == Before || Now == After) << "k = " << K << ": neither the old nor the new state";
      std::string Lines;
      EXPECT_EQ(Defects(*Again, Lines), 0) << "k = " << K << ":\n" << Lines;
      if (HasFailure()) return;
    }
  }
};

struct TFaultCase {
  const char* Name;
  TkxFaultKind Kind;
  // Reads mostly meet the page cache, so a workload reaches far fewer of them than writes.
  int MinPoints;
};

class IoFaultSweep : public IoFaultCampaign, public ::testing::WithParamInterface<TFaultCase> {};

TEST_P(IoFaultSweep, EveryFailureReachesTheCallerAndLeavesTheOldOrTheNewState) {
  int Points = 0;
  int Exceptions = 0;
  Sweep(GetParam().Kind, Points, Exceptions);
  std::cout << GetParam().Name << ": fault points swept: " << Points << " (" << Exceptions
            << " of the failures reached the caller as exceptions)\n";
  EXPECT_GE(Points, GetParam().MinPoints);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, IoFaultSweep,
    ::testing::Values(
        TFaultCase{"Write", TkxFaultKind::Write, kSteps + 1},
        TFaultCase{"Read", TkxFaultKind::Read, 1},
        TFaultCase{"SizeChange", TkxFaultKind::SizeChange, kSteps + 1}),
    [](const ::testing::TestParamInfo<TFaultCase>& Info) { return std::string(Info.param.Name); });

}  // namespace
}  // namespace vdb::test
