// Command registry of the vdb tool. Each command unit registers itself with a
// static VdbCommandRegistrar, so adding a command never touches main.cpp.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace vdbtool {

// Exit codes shared by every command.
enum ExitCode : int {
  kExitOk = 0,
  kExitNegative = 1,  // the command ran and found what it reports as bad (e.g. defects)
  kExitUsage = 2,     // wrong arguments
  kExitFailure = 3,   // the command could not do its work (missing file, engine error)
};

using Args = std::vector<std::string>;
using CommandFn = int (*)(const Args& args, std::ostream& out, std::ostream& err);

struct VdbCommand {
  std::string name;     // first word on the command line
  std::string usage;    // argument synopsis, shown in the help text
  std::string summary;  // one line of help
  CommandFn run;        // receives the words after the command name
};

void RegisterCommand(VdbCommand command);
const std::vector<VdbCommand>& Commands();
void PrintUsage(const VdbCommand& command, std::ostream& err);

struct VdbCommandRegistrar {
  explicit VdbCommandRegistrar(VdbCommand command) { RegisterCommand(std::move(command)); }
};

}  // namespace vdbtool
