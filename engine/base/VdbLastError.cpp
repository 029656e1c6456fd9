#include "base/VdbLastError.h"

#include <algorithm>

#include "base/VdbErrors.h"

namespace vdb {

namespace {

// Error numbers are 16-bit; the errors whose text says "Exception: %s" wrap foreign exceptions.

std::string TabsToBlanks(std::string_view text) {
  std::string s(text);
  std::replace(s.begin(), s.end(), '\t', ' ');
  return s;
}

}  // namespace

std::int16_t TVdbLastError::Record(std::int16_t Code, std::string Message) {
  if (Code != kVdbErrInternalSignal) {
    FLastErrorCode = Code;
    FLastErrorMsg = std::move(Message);
    if (Code != kVdbErrRecordNotFound && FLogSink)
      FLogSink(2, kxFormat("Error %d", {Code}), FLastErrorMsg);
  }
  return static_cast<std::int16_t>(-FLastErrorCode);
}

std::string TVdbLastError::FillFormat(std::int16_t Code, const kxFormatArgs& Args) {
  std::string_view format = VdbErrorFormat(Code);
  try {
    return kxFormat(format, Args);
  } catch (const EkxFormatError&) {
    return "Invalid error message: " + std::string(format);
  }
}

void TVdbLastError::SetLine(std::string_view Expression, std::int32_t Position) {
  FLastErrorLine = TabsToBlanks(Expression);
  FLastErrorPos = Position;
}

std::int16_t TVdbLastError::SetLastError(std::int16_t Code, std::string_view Description) {
  return Record(Code, FillFormat(Code, {kxFormatArg(Description)}));
}

std::int16_t TVdbLastError::SetLastError(std::int16_t Code, const kxFormatArgs& Args) {
  return Record(Code, FillFormat(Code, Args));
}

std::int16_t TVdbLastError::SetLastError(const std::exception& Exception) {
  if (const auto* compiler = dynamic_cast<const EVdbCompilerError*>(&Exception)) {
    std::int16_t result = Record(compiler->Code(), compiler->what());
    if (compiler->Code() != kVdbErrInternalSignal) {
      FLastErrorUnitName = compiler->ErrorUnitName();
      FLastErrorLine = TabsToBlanks(compiler->ErrorLine());
      FLastErrorLineNo = compiler->ErrorLineNo();
      FLastErrorPos = compiler->ErrorCharNo();
    }
    return result;
  }
  if (const auto* engine = dynamic_cast<const EVdbEngine*>(&Exception))
    return Record(engine->Code(), engine->what());
  // Anything else reaches the session as "Exception: %s" with the exception's own message.
  return SetLastError(kVdbErrForeignException, std::string_view(Exception.what()));
}

std::int16_t TVdbLastError::SetLastErrorPos(std::int16_t Code, std::string_view Description,
                                            std::string_view Expression, std::int32_t Position) {
  std::int16_t result = SetLastError(Code, Description);
  if (Code != kVdbErrInternalSignal) SetLine(Expression, Position);
  return result;
}

std::int16_t TVdbLastError::SetLastErrorMsgPos(std::int16_t Code, std::string Msg,
                                               std::string_view Expression,
                                               std::int32_t Position) {
  std::int16_t result = Record(Code, std::move(Msg));
  if (Code != kVdbErrInternalSignal) SetLine(Expression, Position);
  return result;
}

}  // namespace vdb
