#include "base/VdbErrors.h"

#include <algorithm>
#include <cstring>

#include "base/VdbErrorTables.h"

namespace vdb {

namespace {

constexpr const char* kInternalSignalText =
    "Internal signal: the operation was left early (this is not an error)";

const VdbErrorEntry* FindEntry(const VdbErrorEntry* table, std::size_t size, int code) {
  const VdbErrorEntry* end = table + size;
  const VdbErrorEntry* it =
      std::find_if(table, end, [code](const VdbErrorEntry& e) { return e.code == code; });
  return it == end ? nullptr : it;
}

// Byte length of the first MaxChars UTF-8 characters of Text.
std::size_t PrefixBytes(std::string_view text, std::size_t maxChars) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && chars++ == maxChars) return i;
  }
  return text.size();
}

}  // namespace

std::string_view VdbErrorFormat(int code) {
  const VdbErrorEntry* e = FindEntry(kVdbMessageTable, kVdbMessageTableSize, code);
  return e ? e->text : "";
}

std::string_view VdbResultCodeText(int code) {
  const VdbErrorEntry* e = FindEntry(TEngErrorMsg, TEngErrorMsgSize, code);
  return e ? e->text : TEngErrorMsg[0].text;
}

std::int16_t VdbGetErrorMsg(std::int16_t VdbError, char* ErrorMsg, int MaxLen) {
  if (!ErrorMsg || MaxLen < 0) return 0;
  std::string_view text = VdbResultCodeText(VdbError);
  std::size_t n = PrefixBytes(text, static_cast<std::size_t>(MaxLen));
  std::memcpy(ErrorMsg, text.data(), n);
  ErrorMsg[n] = '\0';
  return 0;
}

std::string VdbExceptionMessage(std::int16_t Code, const kxFormatArgs& Args) {
  if (Code == kVdbErrInternalSignal) return kInternalSignalText;
  return kxFormatOrBare(VdbErrorFormat(Code), Args);
}

EVdbEngine::EVdbEngine(std::int16_t Code, std::string_view Description)
    : EVdbEngine(Code, kxFormatArgs{kxFormatArg(Description)}) {}

EVdbEngine::EVdbEngine(std::int16_t Code, const kxFormatArgs& Args)
    : std::runtime_error(VdbExceptionMessage(Code, Args)), FCode(Code) {}

EVdbEngine::EVdbEngine(std::int16_t Code, std::string Message, MessageTag)
    : std::runtime_error(std::move(Message)), FCode(Code) {}

EVdbEngine EVdbEngine::CreateMsg(std::int16_t Code, std::string Message) {
  return EVdbEngine(Code, std::move(Message), MessageTag{});
}

EVdbCompilerError::EVdbCompilerError(std::int16_t Code, const kxFormatArgs& Args,
                                     std::int32_t CharNo, std::int32_t LineNo, std::string Line,
                                     std::string UnitName)
    : EVdbEngine(Code, Args),
      FErrorUnitName(std::move(UnitName)),
      FErrorLine(std::move(Line)),
      FErrorLineNo(LineNo),
      FErrorCharNo(CharNo) {}

}  // namespace vdb
