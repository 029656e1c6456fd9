// Helpers of the data type tests: the message or engine error number of a failing call.
#pragma once

#include <string>

#include "base/VdbErrors.h"

namespace vdb::test {

// The message of the exception of type E that Fn throws ("<no exception>" when none).
template <typename E, typename F>
std::string MessageOf(F&& Fn) {
  try {
    Fn();
  } catch (const E& Ex) {
    return Ex.what();
  }
  return "<no exception>";
}

// The error number of the engine exception Fn throws, or -1 when it throws none.
template <typename F>
int EngineCode(F&& Fn, std::string* Message = nullptr) {
  try {
    Fn();
  } catch (const EVdbEngine& E) {
    if (Message) *Message = E.what();
    return E.Code();
  }
  return -1;
}

}  // namespace vdb::test
