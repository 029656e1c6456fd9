// A second real process for the lock file tests: a session of one table that runs the operations
// given on the command line, one after the other, and prints one line per operation:
//   <operation> <result>
// Command line: lock_helper <directory> <lock name> <station id> <session name> <operations>
// Operations:
//   timeout <ms>             the lock time-out of this process
//   login                    logout
//   lock <from> <to> <imm>   prints 1 when granted, 0 when refused (levels 0..3)
//   unlock <from> <to>       record <no> (prints 1 or 0)      move <new> <old>
//   count                    prints the session count
//   increment <file> <times> that many times under a write lock (waiting): adds 1 to the number
//                            in <file>; prints the number of writes
//   exclusive                prints 1 or 0; keeps the table exclusively
//   redo-new <name> <size>   starts an undo log with records of <size> bytes
//   redo-insert <no>         redo-update <no> <char> <memo>   redo-delete <no> <char> <wide memo>
//                            (the old record is <size> times <char>)
//   ready <file>             creates <file>      wait-file <file>   waits until <file> exists
//   crash                    ends the process at once, without logging out or closing anything
// Errors print "error <code> <message>" and end the process with status 1; a command line it
// does not understand ends it with status 2.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/VdbErrors.h"
#include "storage/kxFileSystem.h"
#include "storage/kxMemory.h"
#include "table/VdbLocks.h"

namespace {

using namespace vdb;

std::int32_t Number(const std::string& Text) {
  return static_cast<std::int32_t>(std::strtol(Text.c_str(), nullptr, 0));
}

TVdbTableLockType Level(const std::string& Text) {
  return static_cast<TVdbTableLockType>(Number(Text));
}

void WaitForFile(const std::string& Path) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!std::filesystem::exists(Path) && std::chrono::steady_clock::now() < Deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

void Say(const std::string& Operation, long long Result) {
  std::cout << Operation << ' ' << Result << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return 2;
  std::vector<std::string> Args(argv + 5, argv + argc);
  TkxOSFileSystem FileSystem(argv[1]);
  const std::string LockName = argv[2];
  auto LockFile = std::make_unique<TVdbLockFile>(
      FileSystem, static_cast<std::uint32_t>(Number(argv[3])), argv[4]);
  std::unique_ptr<TVdbRedoLog> Log;
  std::int32_t RecordSize = 0;
  auto Need = [&](std::size_t I, std::size_t N) { return I + N < Args.size(); };
  try {
    for (std::size_t I = 0; I < Args.size(); ++I) {
      const std::string& Op = Args[I];
      if (Op == "timeout" && Need(I, 1)) {
        TVdbLockFile::SetLockTimeout(Number(Args[++I]));
      } else if (Op == "login") {
        LockFile->LogIn(LockName, 6, false);
        Say(Op, 0);
      } else if (Op == "logout") {
        LockFile->LogOut();
        Say(Op, 0);
      } else if (Op == "lock" && Need(I, 3)) {
        Say(Op,
            LockFile->LockTable(Level(Args[I + 1]), Level(Args[I + 2]), Number(Args[I + 3]) != 0));
        I += 3;
      } else if (Op == "unlock" && Need(I, 2)) {
        LockFile->UnlockTable(Level(Args[I + 1]), Level(Args[I + 2]));
        Say(Op, 0);
        I += 2;
      } else if (Op == "record" && Need(I, 1)) {
        Say(Op, LockFile->LockRecord(Number(Args[++I])));
      } else if (Op == "move" && Need(I, 2)) {
        LockFile->AddRecordMove(Number(Args[I + 1]), Number(Args[I + 2]));
        Say(Op, 0);
        I += 2;
      } else if (Op == "increment" && Need(I, 2)) {
        const std::string Counter = Args[I + 1];
        const std::int32_t Times = Number(Args[I + 2]);
        std::int32_t Done = 0;
        for (std::int32_t N = 0; N < Times; ++N) {
          if (!LockFile->LockTable(tltNone, tltWrite, false)) break;
          long long Value = 0;
          std::ifstream(Counter) >> Value;
          std::ofstream(Counter, std::ios::trunc) << Value + 1;
          LockFile->UnlockTable(tltWrite, tltNone);
          ++Done;
        }
        Say(Op, Done);
        I += 2;
      } else if (Op == "count") {
        Say(Op, LockFile->GetSessionCount());
      } else if (Op == "exclusive") {
        Say(Op, LockFile->LockExclusive());
      } else if (Op == "redo-new" && Need(I, 2)) {
        RecordSize = Number(Args[I + 2]);
        Log = std::make_unique<TVdbRedoLog>(FileSystem, RecordSize, false, 6, Args[I + 1]);
        Say(Op, Log->NewFile() ? 0 : 1);
        I += 2;
      } else if (Op == "redo-insert" && Need(I, 1) && Log) {
        Log->LogInsert(Number(Args[++I]));
        Say(Op, 0);
      } else if ((Op == "redo-update" || Op == "redo-delete") && Need(I, 3) && Log) {
        const std::string Old(static_cast<std::size_t>(RecordSize), Args[I + 2][0]);
        TVdbRedoBlobs Blobs;
        if (Op == "redo-update") {
          Blobs[2].Data = Args[I + 3];
          Log->LogUpdate(Number(Args[I + 1]), reinterpret_cast<const std::uint8_t*>(Old.data()),
                         Blobs);
        } else {
          Blobs[3].Kind = takWideMemo;
          Blobs[3].WideData = TkxMemory::Utf8ToUtf16(Args[I + 3]);
          Log->LogDelete(Number(Args[I + 1]), reinterpret_cast<const std::uint8_t*>(Old.data()),
                         Blobs);
        }
        Say(Op, 0);
        I += 3;
      } else if (Op == "ready" && Need(I, 1)) {
        std::ofstream(Args[++I]) << "ready";
      } else if (Op == "wait-file" && Need(I, 1)) {
        WaitForFile(Args[++I]);
      } else if (Op == "crash") {
        std::cout.flush();
        _exit(3);
      } else {
        std::cerr << "lock_helper: cannot run \"" << Op << "\"" << std::endl;
        return 2;
      }
    }
  } catch (const EVdbEngine& E) {
    std::cout << "error " << E.Code() << ' ' << E.what() << std::endl;
    return 1;
  }
  return 0;
}
