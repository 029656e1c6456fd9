// A second real process for the base-table tests: opens table Data of a single-file database
// shared (lock files in the given directory), as session STATION, and runs one operation.
//   basetable_helper FILE LOCKDIR STATION OPERATION [ARG]
// Operations:
//   count              prints "count <record count>"
//   append WORD        appends a record with headword WORD, prints "append <record number>"
//   append-and-die WORD
//                      the same inside a transaction, flushed, then the process ends at once
//                      without closing anything (as if it had been killed)
//   append-and-hold WORD
//                      the same, but the process stays, holding its table lock, until it is
//                      killed
// Exit status 0; 2 for a command line it does not understand; 3 when an operation failed (the
// engine's message on standard error).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "base/VdbServices.h"
#include "storage/kxCompoundFile.h"
#include "storage/kxFileSystem.h"
#include "table/VdbBaseTable.h"

using namespace vdb;

namespace {

int Fail(const TVdbServices& Services, const std::string& What) {
  std::cerr << What << ": " << Services.LastErrorMsg() << std::endl;
  return 3;
}

std::vector<std::uint8_t> Record(const std::string& Word) {
  std::vector<std::uint8_t> Result(156, 0);
  Result[0] = 1;
  Result[1] = static_cast<std::uint8_t>(Word.size());
  std::copy(Word.begin(), Word.end(), Result.begin() + 2);
  return Result;
}

int Run(const std::vector<std::string>& Args) {
  if (Args.size() < 4) return 2;
  const std::string& Operation = Args[3];
  const bool Holds = Operation == "append-and-hold";
  const bool Dies = Operation == "append-and-die" || Holds;
  if (Operation != "count" && Operation != "append" && !Dies) return 2;
  if (Operation != "count" && Args.size() < 5) return 2;

  TkxOSFileSystem OsFiles;
  TkxCompoundFileIntf Container(Args[0]);
  Container.Open();
  TVdbServices Services(1);
  Services.SetStation(std::atoi(Args[2].c_str()));
  Services.SetIDName("Helper" + Args[2]);
  Services.SetFileSystems(&OsFiles, &Container, std::make_unique<TkxOSFileSystem>(), false);
  if (Dies) Services.SetIsolationLevel(tilReadCommited);

  // A dying session leaves no chance to close: the directory goes out with every flush.
  const std::uint16_t Rights = kVdbWriteRights | (Dies ? kVdbRightSecureFlush : 0);
  auto Table = std::make_unique<TVdbBaseTable>(&Services);
  Table->SetFileName("\\Data.vdbt");
  Table->SetRights(Rights);
  Table->SetPhysicalDirectory(Args[1]);
  Table->SetContainerName("L_Data");
  if (Table->Open(false) < 0) return Fail(Services, "open");
  if (Table->Setup(false) < 0) return Fail(Services, "setup");

  if (Operation == "count") {
    std::cout << "count " << Table->RecordCount() << std::endl;
  } else {
    std::vector<std::uint8_t> Buffer = Record(Args[4]);
    const std::int32_t RecNo = Table->AppendRecord(Buffer.data(), nullptr);
    if (RecNo < 0) return Fail(Services, "append");
    if (Table->Flush() < 0) return Fail(Services, "flush");
    std::cout << "append " << RecNo << std::endl;
    while (Holds) ::pause();
    if (Dies) _exit(0);
  }
  Table.reset();
  Container.Close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& Error) {
    std::cerr << Error.what() << std::endl;
    return 3;
  }
}
