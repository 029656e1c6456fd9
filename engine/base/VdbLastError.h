// The last error of a session: what the session's services object records when engine code fails,
// and what the API hands out as the detail of a negative result code.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "storage/kxFormat.h"

namespace vdb {

class TVdbLastError {
 public:
  // Receives the session log lines that recording writes: level, subsystem text, message.
  using LogSink = std::function<void(int, const std::string&, const std::string&)>;

  void SetLogSink(LogSink sink) { FLogSink = std::move(sink); }

  // Every setter records the error and answers its number negated (see Record).
  std::int16_t SetLastError(std::int16_t Code, std::string_view Description);
  std::int16_t SetLastError(std::int16_t Code, const kxFormatArgs& Args);
  // An EVdbCompilerError also stores its unit, line (tabs as blanks), line number and column;
  // any other engine exception records its code and message.
  std::int16_t SetLastError(const std::exception& Exception);
  std::int16_t SetLastErrorPos(std::int16_t Code, std::string_view Description,
                               std::string_view Expression, std::int32_t Position);
  std::int16_t SetLastErrorMsgPos(std::int16_t Code, std::string Msg, std::string_view Expression,
                                  std::int32_t Position);

  std::int16_t LastErrorCode() const { return FLastErrorCode; }
  const std::string& LastErrorMsg() const { return FLastErrorMsg; }
  const std::string& LastErrorLine() const { return FLastErrorLine; }
  std::int32_t LastErrorLineNo() const { return FLastErrorLineNo; }
  std::int32_t LastErrorPos() const { return FLastErrorPos; }
  const std::string& LastErrorUnitName() const { return FLastErrorUnitName; }

 private:
  // The common last step: stores Code and Message unless Code is the internal signal, logs it
  // unless it is "Record not found", and answers minus the stored code.
  std::int16_t Record(std::int16_t Code, std::string Message);
  // Fills the format of Code; a misfit gives "Invalid error message: " and the bare format.
  static std::string FillFormat(std::int16_t Code, const kxFormatArgs& Args);
  void SetLine(std::string_view Expression, std::int32_t Position);

  std::int16_t FLastErrorCode = 0;
  std::string FLastErrorMsg;
  std::string FLastErrorLine;
  std::int32_t FLastErrorLineNo = 0;
  std::int32_t FLastErrorPos = 0;
  std::string FLastErrorUnitName;
  LogSink FLogSink;
};

}  // namespace vdb
