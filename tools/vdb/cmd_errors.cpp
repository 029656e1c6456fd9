// vdb errors N: the message format of engine error number N and the text of result code -N.
#include <charconv>
#include <ostream>

#include "VdbCommand.h"
#include "base/VdbErrorTables.h"
#include "base/VdbErrors.h"

namespace vdbtool {
namespace {

bool ParseErrorNumber(const std::string& word, int& number) {
  const char* end = word.data() + word.size();
  auto [ptr, ec] = std::from_chars(word.data(), end, number);
  return ec == std::errc() && ptr == end && number >= 0 && number <= 32767;
}

bool HasResultCode(int code) {
  for (std::size_t i = 0; i < vdb::TEngErrorMsgSize; ++i)
    if (vdb::TEngErrorMsg[i].code == code) return true;
  return false;
}

int RunErrors(const Args& args, std::ostream& out, std::ostream& err) {
  int number = 0;
  if (args.size() != 1 || !ParseErrorNumber(args[0], number)) {
    err << "usage: vdb errors N   (N: an engine error number, 0 to 32767)\n";
    return kExitUsage;
  }
  std::string_view format = vdb::VdbErrorFormat(number);
  bool hasCode = number > 0 && HasResultCode(-number);
  if (format.empty() && !hasCode) {
    err << "vdb errors: error number " << number << " has no message\n";
    return kExitNegative;
  }
  if (!format.empty()) out << format << "\n";
  if (hasCode) out << "result code -" << number << ": " << vdb::VdbResultCodeText(-number) << "\n";
  return kExitOk;
}

const VdbCommandRegistrar kRegistrar(
    {"errors", "N",
     "print the message format of engine error number N and the text of result code -N",
     RunErrors});

}  // namespace
}  // namespace vdbtool
