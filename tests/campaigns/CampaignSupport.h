// The campaigns' side of the processes: a scratch directory, the writer started and killed, the
// verifier and "vdb check" run as judges.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/RunProcess.h"

extern char** environ;

namespace campaign {

inline const std::string kWriter = std::string(VDB_TEST_HELPER_DIR) + "/campaign_writer";

// A number from the environment (the campaign script's longer runs), else Default.
inline int Setting(const char* Name, int Default) {
  const char* Value = std::getenv(Name);
  return Value != nullptr && *Value != 0 ? std::atoi(Value) : Default;
}

// Faults the campaigns found that are mended elsewhere: their tests skip until then, unless
// the environment asks for them (scripts/campaigns.sh does).
inline bool RunKnownFaults() { return Setting("VDB_CAMPAIGN_KNOWN_FAULTS", 0) != 0; }

// A process started without a shell; its output goes to OutputFile.
class TProcess {
 public:
  explicit TProcess(const std::vector<std::string>& Args,
                    const std::string& OutputFile = "/dev/null") {
    std::vector<char*> Argv;
    for (const std::string& A : Args) Argv.push_back(const_cast<char*>(A.c_str()));
    Argv.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, OutputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&Actions, 1, 2);
    if (posix_spawn(&FPid, Argv[0], &Actions, nullptr, Argv.data(), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&Actions);
  }
  ~TProcess() {
    if (FPid > 0) Kill();
  }
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;
  bool Started() const { return FPid > 0; }
  // SIGKILL and reap; true when the process was still running (not ended on its own).
  bool Kill() {
    const bool Running = ::waitpid(FPid, nullptr, WNOHANG) == 0;
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, nullptr, 0);
    FPid = -1;
    return Running;
  }
  // Waits at most Seconds for the end: the exit status, or -1 (and the process killed) when it
  // did not end in time or not normally.
  int Wait(double Seconds) {
    const auto Deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int>(Seconds * 1000));
    int Status = 0;
    while (::waitpid(FPid, &Status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > Deadline) {
        Kill();
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FPid = -1;
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  }

 private:
  pid_t FPid = -1;
};

class CampaignFixture : public ::testing::Test {
 protected:
  CampaignFixture()
      : FDir(std::filesystem::path(::testing::TempDir()) /
             ("vdb_campaign_" + std::to_string(::getpid()) + "_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
    std::filesystem::remove_all(FDir);
    std::filesystem::create_directories(FDir);
  }
  ~CampaignFixture() override {
    if (!HasFailure()) std::filesystem::remove_all(FDir);
  }

  std::string Path(const std::string& Name) const { return (FDir / Name).string(); }
  static vdbtest::ProcessResult Writer(std::vector<std::string> Args) {
    return vdbtest::RunProcess(kWriter, Args);
  }
  static vdbtest::ProcessResult Check(const std::string& Db) {
    return vdbtest::RunProcess(VDB_TOOL_PATH, {"check", Db});
  }

  std::filesystem::path FDir;
};

}  // namespace campaign
