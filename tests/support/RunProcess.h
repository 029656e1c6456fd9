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

// A program running next to the test, started at construction (no shell); its standard output
// and error go to OutputFile. The destructor waits for it when Wait was not called.
class TChild {
 public:
  TChild(const std::string& Program, const std::vector<std::string>& Args,
         const std::string& OutputFile);
  ~TChild();
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  // Waits for the end; the exit status, or -1 when the program did not exit normally.
  int Wait();
  // Ends the program at once (SIGKILL), as a crash would, and waits for it.
  void Kill();
  // What the program wrote so far.
  std::string Output() const;

 private:
  std::string FOutputFile;
  int FPid = -1;
  bool FDone = false;
};

}  // namespace vdbtest
