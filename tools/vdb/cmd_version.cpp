// vdb version: prints the engine version.
#include <ostream>

#include "VdbCommand.h"
#include "session/VdbVersion.h"

namespace vdbtool {
namespace {

int RunVersion(const Args& args, std::ostream& out, std::ostream& err) {
  if (!args.empty()) {
    err << "usage: vdb version\n";
    return kExitUsage;
  }
  out << vdb::VdbVersionText() << "\n";
  return kExitOk;
}

const VdbCommandRegistrar kRegistrar({"version", "", "print the engine version", RunVersion});

}  // namespace
}  // namespace vdbtool
