// vdb: the VeskorDB command-line tool.
#include <algorithm>
#include <exception>
#include <iostream>

#include "VdbCommand.h"

namespace vdbtool {

namespace {
std::vector<VdbCommand>& Registry() {
  static std::vector<VdbCommand> commands;
  return commands;
}
}  // namespace

void RegisterCommand(VdbCommand command) {
  auto& commands = Registry();
  commands.push_back(std::move(command));
  std::sort(commands.begin(), commands.end(),
            [](const VdbCommand& a, const VdbCommand& b) { return a.name < b.name; });
}

const std::vector<VdbCommand>& Commands() { return Registry(); }

void PrintUsage(const VdbCommand& command, std::ostream& err) {
  err << "usage: vdb " << command.name << (command.usage.empty() ? "" : " ") << command.usage
      << "\n";
}

static void PrintHelp(std::ostream& out) {
  out << "vdb - command-line tool of the VeskorDB engine\n\n"
         "usage: vdb COMMAND [ARGUMENTS...]\n\ncommands:\n";
  for (const auto& c : Commands())
    out << "  " << c.name << (c.usage.empty() ? "" : " ") << c.usage << "\n      " << c.summary
        << "\n";
  out << "  help\n      this text\n\n"
         "exit status: 0 success, 1 the command found problems, 2 wrong arguments,\n"
         "3 the command failed\n";
}

}  // namespace vdbtool

int main(int argc, char** argv) {
  using namespace vdbtool;
  if (argc < 2) {
    PrintHelp(std::cerr);
    return kExitUsage;
  }
  const std::string name = argv[1];
  if (name == "help" || name == "--help" || name == "-h") {
    PrintHelp(std::cout);
    return kExitOk;
  }
  const auto& commands = Commands();
  auto it = std::find_if(commands.begin(), commands.end(),
                         [&](const VdbCommand& c) { return c.name == name; });
  if (it == commands.end()) {
    std::cerr << "vdb: unknown command \"" << name << "\" (try \"vdb help\")\n";
    return kExitUsage;
  }
  try {
    return it->run(Args(argv + 2, argv + argc), std::cout, std::cerr);
  } catch (const std::exception& e) {
    std::cerr << "vdb " << name << ": " << e.what() << "\n";
    return kExitFailure;
  }
}
