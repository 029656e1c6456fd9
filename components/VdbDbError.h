// The exceptions of the dataset components and the one place that turns a failed engine call
// into one: a description of the operation ("Fetching record", ...) in front of the engine's
// result-code text and the session's last error message.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "api/VdbApi.h"

// A database error of the dataset framework (wrong state, bad property change, ...).
class EDatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failed engine call: FVdbError is the result code, FReason the negated last error number.
class EVeskorDBError : public EDatabaseError {
 public:
  EVeskorDBError(const std::string& message, int vdbError, int reason)
      : EDatabaseError(message), FVdbError(vdbError), FReason(reason) {}
  int FVdbError;
  int FReason;
};

// A syntax error in a query's SQL text, with the place it was found.
class EVeskorSQLError : public EVeskorDBError {
 public:
  EVeskorSQLError(const std::string& message, int vdbError, int reason, int row, int col)
      : EVeskorDBError(message, vdbError, reason), FErrorRow(row), FErrorCol(col) {}
  int FErrorRow;
  int FErrorCol;
};

// A query opened for rows whose statement produced none; the message is the SQL text.
class ENoResultSet : public EDatabaseError {
 public:
  using EDatabaseError::EDatabaseError;
};

// The text of result code Code from the engine's table ("Unknown error" for others).
std::string VdbErrorText(VdbResult code);

// Throws the exception for a failed engine call made in Session with result Code, described
// by Context (already formatted).
[[noreturn]] void RaiseVdbError(const std::string& context, int code, VdbHandle session);

// Checks an engine result: a negative one raises as RaiseVdbError; else it is returned.
inline int32_t CheckVdb(int32_t result, const std::string& context, VdbHandle session) {
  if (result < 0) RaiseVdbError(context, result, session);
  return result;
}
