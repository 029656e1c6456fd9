// Engine errors: the exception classes that carry an engine error number, the lookup of message
// formats and result-code texts, and VdbGetErrorMsg.
#pragma once

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/VdbErrorTables.h"
#include "base/VdbLastError.h"
#include "storage/kxFormat.h"

namespace vdb {

// The message format of an engine error number; empty when the number has none.
std::string_view VdbErrorFormat(int code);
// The text of an API result code; "Unknown error" when the code is not in the table.
std::string_view VdbResultCodeText(int code);

// Copies the text of result code VdbError into ErrorMsg, cut to MaxLen characters (ErrorMsg must
// hold MaxLen bytes and a terminating zero). Always answers 0.
std::int16_t VdbGetErrorMsg(std::int16_t VdbError, char* ErrorMsg, int MaxLen);

// An engine failure: an engine error number with its formatted message.
class EVdbEngine : public std::runtime_error {
 public:
  // The format of Code filled with the one text argument Description.
  EVdbEngine(std::int16_t Code, std::string_view Description);
  // The format of Code filled with the argument list.
  EVdbEngine(std::int16_t Code, const kxFormatArgs& Args);
  // Message as given.
  static EVdbEngine CreateMsg(std::int16_t Code, std::string Message);

  std::int16_t Code() const { return FCode; }

 protected:
  struct MessageTag {};
  EVdbEngine(std::int16_t Code, std::string Message, MessageTag);

 private:
  std::int16_t FCode;
};

// The error in a text that the engine compiles (an SQL statement, an expression, a procedure),
// with the place where it was found.
class EVdbCompilerError : public EVdbEngine {
 public:
  EVdbCompilerError(std::int16_t Code, const kxFormatArgs& Args, std::int32_t CharNo,
                    std::int32_t LineNo, std::string Line, std::string UnitName);

  const std::string& ErrorUnitName() const { return FErrorUnitName; }
  const std::string& ErrorLine() const { return FErrorLine; }
  std::int32_t ErrorLineNo() const { return FErrorLineNo; }
  std::int32_t ErrorCharNo() const { return FErrorCharNo; }

 private:
  std::string FErrorUnitName;
  std::string FErrorLine;
  std::int32_t FErrorLineNo;
  std::int32_t FErrorCharNo;
};

// The message of an exception built from Code and Args: the filled format, or the bare format
// when the arguments do not fit (the internal signal has a fixed text of its own).
std::string VdbExceptionMessage(std::int16_t Code, const kxFormatArgs& Args);

// The result code of the handle API for a failure that is no engine error (error
// kVdbErrForeignException in the last error): "An error occured in the database engine ...".
inline constexpr std::int16_t kVdbResultEngineFault = -102;

// Where a boundary answers: inside the engine, or to a caller of the handle API.
enum class TVdbBoundary : std::uint8_t { Engine, Api };

// The one boundary from exceptions to result codes. Runs Body and answers its result. When Body
// throws, the failure becomes the last error of LastError (when there is one) and the answer is
// a negative result code, by one rule:
//  - EVdbEngine is recorded as it is (a compiler error with its place) and answers its negated
//    number; the internal signal is never recorded and answers -kVdbErrInternalSignal;
//  - std::bad_alloc is recorded as kVdbErrOutOfMemory and answers -kVdbErrOutOfMemory;
//  - any other std::exception is recorded as kVdbErrForeignException ("Exception: " and its
//    text) and answers -kVdbErrForeignException inside the engine, where callers turn a negative
//    result back into the recorded error, and kVdbResultEngineFault at the handle API.
// Anything thrown that is no std::exception passes through. A unit that gives some failures a
// number of its own (a damaged page, a failing read) raises that EVdbEngine inside Body.
template <class TBody>
auto VdbGuarded(TVdbLastError* LastError, TBody&& Body,
                TVdbBoundary Boundary = TVdbBoundary::Engine) -> decltype(Body()) {
  using TResult = decltype(Body());
  const auto Recorded = [LastError](const EVdbEngine& Error) {
    if (LastError != nullptr && Error.Code() != kVdbErrInternalSignal) LastError->SetLastError(Error);
    return static_cast<TResult>(-Error.Code());
  };
  try {
    return Body();
  } catch (const EVdbEngine& Error) {
    return Recorded(Error);
  } catch (const std::bad_alloc&) {
    return Recorded(EVdbEngine(kVdbErrOutOfMemory, kxFormatArgs{}));
  } catch (const std::exception& Error) {
    const TResult Result = Recorded(EVdbEngine(kVdbErrForeignException, Error.what()));
    return Boundary == TVdbBoundary::Api ? static_cast<TResult>(kVdbResultEngineFault) : Result;
  }
}

}  // namespace vdb
