// Several processes at once: four real processes update counters, insert and delete rows with
// memos in shared tables through the lock files for a bounded time. Afterwards the counters add
// up to the increments the processes made, every row a process kept is there exactly once, no
// process waited without end, and "vdb check" finds nothing wrong. VDB_SHARED_SECONDS sets the
// time (scripts/campaigns.sh shared SECONDS).
#include <fstream>
#include <memory>
#include <sstream>

#include "CampaignSupport.h"

namespace campaign {
namespace {

constexpr int kProcesses = 4;

struct TReport {
  long long Increments = 0, Inserts = 0, Deletes = 0, Waits = 0;
  std::string Rows;  // "ID:SEQ,SEQ,..."
};

// "increments N inserts N deletes N waits N rows S S ..."
TReport Parse(int Id, const std::string& Text) {
  std::istringstream In(Text);
  TReport Report;
  std::string Word;
  In >> Word >> Report.Increments >> Word >> Report.Inserts >> Word >> Report.Deletes >> Word >>
      Report.Waits >> Word;
  Report.Rows = std::to_string(Id) + ":";
  for (std::string Seq; In >> Seq;) Report.Rows += (Report.Rows.back() == ':' ? "" : ",") + Seq;
  return Report;
}

std::string ReadAll(const std::string& Path) {
  std::ifstream In(Path);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

class SharedCampaignTest : public CampaignFixture {};

TEST_F(SharedCampaignTest, FourProcessesLoseNoIncrementAndNoRow) {
  const std::string Db = Path("shared.vdbd");
  const auto Made = Writer({"shared-init", Db, "8"});
  ASSERT_EQ(Made.exitCode, 0) << Made.err;
  const int Seconds = Setting("VDB_SHARED_SECONDS", 3);

  std::vector<std::unique_ptr<TProcess>> Processes;
  for (int Id = 1; Id <= kProcesses; ++Id)
    Processes.push_back(std::make_unique<TProcess>(
        std::vector<std::string>{kWriter, "shared-run", Db, std::to_string(Id),
                                 std::to_string(Seconds)},
        Path("out" + std::to_string(Id))));
  std::vector<std::string> VerifyArgs{"shared-verify", Db, ""};
  TReport Total;
  for (int Id = 1; Id <= kProcesses; ++Id) {
    // Every change gives up after a bounded number of tries, so a process that is still running
    // long after its time waits for a lock nobody gives back.
    const int Exit = Processes[static_cast<std::size_t>(Id - 1)]->Wait(Seconds + 120.0);
    const std::string Output = ReadAll(Path("out" + std::to_string(Id)));
    ASSERT_EQ(Exit, 0) << "process " << Id << (Exit == -1 ? " did not end in time" : " failed")
                       << ": " << Output;
    const TReport Report = Parse(Id, Output);
    Total.Increments += Report.Increments;
    Total.Inserts += Report.Inserts;
    Total.Deletes += Report.Deletes;
    Total.Waits += Report.Waits;
    VerifyArgs.push_back(Report.Rows);
  }
  VerifyArgs[2] = std::to_string(Total.Increments);
  const auto Verified = Writer(VerifyArgs);
  EXPECT_EQ(Verified.out, "ok " + std::to_string(Total.Inserts - Total.Deletes) + "\n")
      << Verified.err;
  const auto Checked = Check(Db);
  EXPECT_EQ(Checked.out, "ok\n") << Checked.err;
  EXPECT_GT(Total.Increments, 0);
  EXPECT_GT(Total.Deletes, 0);
  std::cout << kProcesses << " processes, " << Seconds << " s: " << Total.Increments
            << " increments, " << Total.Inserts << " inserts, " << Total.Deletes
            << " deletes, " << Total.Waits << " retries after a lock wait\n";
}

}  // namespace
}  // namespace campaign
