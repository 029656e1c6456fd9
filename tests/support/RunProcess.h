// Runs a program as a child process and collects its exit status and output, for tests that
// exercise the command-line tool or need a second real process.
#pragma once

#include <string>
#include <vector>

namespace vdbtest {

struct ProcessResult {
  int exitCode = -1;  // -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// Runs Program with Args (no shell), waits for it and returns what it printed.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& stdinText = "");

}  // namespace vdbtest
