// A second real process for the file-system tests: runs file-system operations given on the
// command line, one after the other, and prints one line per operation:
//   <operation> <result> <last error> [<data read>]
// Operations (the current handle is the one the last open or create gave):
//   open <path> <mode>      create <path>          close
//   lock <start> <end>      unlock <start> <end>   read <pos> <count>   write <pos> <text>
//   size                    delete <path>          rename <old> <new>
//   hold                    prints "hold" and waits until its standard input is closed
// Exit status 0, or 2 for a command line it does not understand.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "storage/kxFileSystem.h"

namespace {

using vdb::TkxOSFileSystem;

void Report(const std::string& Operation, long long Result, std::int32_t Error,
            const std::string& Data = "") {
  std::cout << Operation << ' ' << Result << ' ' << Error;
  if (!Data.empty()) std::cout << ' ' << Data;
  std::cout << std::endl;
}

long long Number(const std::string& Text) { return std::strtoll(Text.c_str(), nullptr, 0); }

int Usage(const std::string& Operation) {
  std::cerr << "fs_helper: cannot run \"" << Operation << "\"" << std::endl;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  TkxOSFileSystem fs;
  std::int32_t handle = vdb::kxInvalidHandle;
  auto need = [&](std::size_t i, std::size_t n) { return i + n < args.size(); };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& op = args[i];
    if (op == "open" && need(i, 2)) {
      handle = fs.OpenFile(args[i + 1], static_cast<std::int32_t>(Number(args[i + 2])));
      Report(op, handle, fs.GetLastError());
      i += 2;
    } else if (op == "create" && need(i, 1)) {
      handle = fs.CreateFile(args[i + 1]);
      Report(op, handle, fs.GetLastError());
      i += 1;
    } else if (op == "close") {
      fs.CloseFile(handle);
      Report(op, 0, fs.GetLastError());
      handle = vdb::kxInvalidHandle;
    } else if ((op == "lock" || op == "unlock") && need(i, 2)) {
      std::int64_t start = Number(args[i + 1]), end = Number(args[i + 2]);
      long long result = 0;
      if (op == "lock") result = fs.LockFile(handle, start, end, true);
      else fs.UnlockFile(handle, start, end, true);
      Report(op, result, fs.GetLastError());
      i += 2;
    } else if (op == "read" && need(i, 2)) {
      std::string data(static_cast<std::size_t>(Number(args[i + 2])), '\0');
      std::int32_t n = fs.FileRead(handle, data.data(), static_cast<std::int32_t>(data.size()),
                                   Number(args[i + 1]));
      data.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
      Report(op, n, fs.GetLastError(), data);
      i += 2;
    } else if (op == "write" && need(i, 2)) {
      const std::string& text = args[i + 2];
      Report(op, fs.FileWrite(handle, text.data(), static_cast<std::int32_t>(text.size()),
                              Number(args[i + 1])),
             fs.GetLastError());
      i += 2;
    } else if (op == "size") {
      try {
        Report(op, fs.GetFileSize(handle), fs.GetLastError());
      } catch (const vdb::EkxInOutError& e) {
        Report(op, -1, e.ErrorCode());
      }
    } else if (op == "delete" && need(i, 1)) {
      Report(op, fs.DeleteFile(args[i + 1]) ? 1 : 0, fs.GetLastError());
      i += 1;
    } else if (op == "rename" && need(i, 2)) {
      Report(op, fs.RenameFile(args[i + 1], args[i + 2]) ? 1 : 0, fs.GetLastError());
      i += 2;
    } else if (op == "hold") {
      std::cout << "hold" << std::endl;
      std::string ignored;
      while (std::getline(std::cin, ignored)) {
      }
    } else {
      return Usage(op);
    }
  }
  return 0;
}
