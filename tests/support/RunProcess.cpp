#include "support/RunProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <array>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace vdbtest {

namespace {

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() {
    if (pipe2(fd, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  }
  ~Pipe() { CloseBoth(); }
  void Close(int i) {
    if (fd[i] >= 0) close(fd[i]);
    fd[i] = -1;
  }
  void CloseBoth() { Close(0), Close(1); }
};

// Reads both pipes until they close, so that a child filling one of them never blocks.
void Drain(Pipe& out, Pipe& err, std::string& outText, std::string& errText) {
  std::array<pollfd, 2> fds{{{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}}};
  std::string* texts[2] = {&outText, &errText};
  int open = 2;
  char buf[4096];
  while (open > 0) {
    if (poll(fds.data(), fds.size(), -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        texts[i]->append(buf, static_cast<std::size_t>(n));
      } else {
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

// execv's argument vector: Program, then Args, then a null pointer. Points into the strings.
std::vector<char*> ArgumentVector(const std::string& program,
                                  const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

int ExitStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& stdinText) {
  Pipe in, out, err;
  std::vector<char*> argv = ArgumentVector(program, args);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in.fd[0], 0);
    dup2(out.fd[1], 1);
    dup2(err.fd[1], 2);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  in.Close(0);
  out.Close(1);
  err.Close(1);
  std::signal(SIGPIPE, SIG_IGN);  // a child that exits early must not kill the test
  if (!stdinText.empty() && write(in.fd[1], stdinText.data(), stdinText.size()) < 0) {
    // The child may exit without reading its input; its output still tells what happened.
  }
  in.Close(1);

  ProcessResult result;
  Drain(out, err, result.out, result.err);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = ExitStatus(status);
  return result;
}

TChild::TChild(const std::string& Program, const std::vector<std::string>& Args,
               const std::string& OutputFile)
    : FOutputFile(OutputFile) {
  std::vector<char*> argv = ArgumentVector(Program, Args);
  FPid = fork();
  if (FPid < 0) throw std::runtime_error("fork failed");
  if (FPid == 0) {
    const int fd = open(OutputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    execv(Program.c_str(), argv.data());
    _exit(127);
  }
}

TChild::~TChild() {
  if (FPid > 0 && !FDone) Wait();
}

int TChild::Wait() {
  int status = 0;
  waitpid(FPid, &status, 0);
  FDone = true;
  return ExitStatus(status);
}

void TChild::Kill() {
  if (FPid <= 0 || FDone) return;
  kill(FPid, SIGKILL);
  Wait();
}

std::string TChild::Output() const {
  std::ifstream in(FOutputFile);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace vdbtest
