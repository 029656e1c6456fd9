// Shared pieces of the storage tests that work on real files: a fresh directory per test with an
// operating-system file system on it, and the fs_helper process as a second real process.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "storage/kxFileSystem.h"
#include "support/RunProcess.h"

extern char** environ;

namespace vdb {

namespace stdfs = std::filesystem;

inline const std::string kHelper = std::string(VDB_TEST_HELPER_DIR) + "/fs_helper";

// One line of fs_helper's output.
struct HelperLine {
  std::string Op;
  long long Result = 0;
  int Error = 0;
  std::string Data;
};

inline std::vector<HelperLine> ParseHelper(const std::string& Out) {
  std::vector<HelperLine> lines;
  std::istringstream in(Out);
  std::string text;
  while (std::getline(in, text)) {
    std::istringstream fields(text);
    HelperLine line;
    fields >> line.Op;
    if (line.Op == "hold") continue;
    fields >> line.Result >> line.Error;
    std::getline(fields >> std::ws, line.Data);
    lines.push_back(line);
  }
  return lines;
}

// Runs fs_helper to its end.
inline std::vector<HelperLine> RunHelper(const std::vector<std::string>& Args) {
  vdbtest::ProcessResult run = vdbtest::RunProcess(kHelper, Args);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  return ParseHelper(run.out);
}

// fs_helper running its operations and then holding everything until it is destroyed.
class HeldHelper {
 public:
  explicit HeldHelper(std::vector<std::string> Args) {
    Args.push_back("hold");
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> argv{const_cast<char*>(kHelper.c_str())};
    for (auto& a : Args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawn(&FPid, kHelper.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    FStdin = in[1];
    FStdout = fdopen(out[0], "r");
    if (rc != 0) throw std::runtime_error("spawn");
    std::string out_text;
    char line[4096];
    while (fgets(line, sizeof line, FStdout) != nullptr) {
      if (std::string(line) == "hold\n") break;
      out_text += line;
    }
    Lines = ParseHelper(out_text);
  }
  HeldHelper(const HeldHelper&) = delete;
  HeldHelper& operator=(const HeldHelper&) = delete;
  ~HeldHelper() { Finish(); }
  // Lets the helper end and waits for it; everything it held is released then.
  void Finish() {
    if (FPid <= 0) return;
    close(FStdin);
    char line[4096];
    while (fgets(line, sizeof line, FStdout) != nullptr) {
    }
    fclose(FStdout);
    int status = 0;
    waitpid(FPid, &status, 0);
    FPid = -1;
  }
  std::vector<HelperLine> Lines;

 private:
  pid_t FPid = -1;
  int FStdin = -1;
  FILE* FStdout = nullptr;
};

class kxFileDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    FDir = stdfs::temp_directory_path() /
           ("kxfs-" + std::string(info->test_suite_name()) + "-" + std::string(info->name()) + "-" + std::to_string(getpid()));
    stdfs::remove_all(FDir);
    stdfs::create_directories(FDir);
    FS.SetBaseDirectory(FDir.string());
  }
  void TearDown() override { stdfs::remove_all(FDir); }

  std::string Path(const std::string& Name) const { return (FDir / Name).string(); }
  void WriteFile(const std::string& Name, const std::string& Content) const {
    std::ofstream(Path(Name), std::ios::binary) << Content;
  }
  std::string ReadFile(const std::string& Name) const {
    std::ifstream in(Path(Name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  stdfs::path FDir;
  TkxOSFileSystem FS;
};

}  // namespace vdb
