#include "VdbText.h"

#include "storage/kxMemory.h"
#include "table/kxStrUtils.h"

namespace vdbtext {

TApiText::TApiText(std::u16string_view text) : units_(text.begin(), text.end()) {
  units_.push_back(0);
}

TApiText::TApiText(std::string_view utf8) : TApiText(Utf16(utf8)) {}

std::u16string FromApi(const VdbChar* text) {
  std::u16string result;
  for (; text && *text != 0; ++text) result.push_back(static_cast<char16_t>(*text));
  return result;
}

std::string Utf8(std::u16string_view text) { return vdb::TkxMemory::Utf16ToUtf8(text); }
std::u16string Utf16(std::string_view utf8) { return vdb::TkxMemory::Utf8ToUtf16(utf8); }

unsigned CodePageOfCollation(std::string_view collationName) {
  std::uint32_t locale = 0;
  vdb::TStrCmpOptions options = 0;
  if (!vdb::ParseCollationName(collationName, locale, options)) return 1252;
  return vdb::LocaleCodePage(locale);
}

std::u16string DecodeAnsi(std::string_view bytes, unsigned codePage) {
  return vdb::AnsiToUtf16(bytes, codePage);
}

std::string EncodeAnsi(std::u16string_view text, unsigned codePage) {
  return vdb::Utf16ToAnsi(text, codePage);
}

std::string Format(std::string_view pattern, const std::vector<std::string>& args) {
  std::string result;
  std::size_t next = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const bool placeholder = pattern[i] == '%' && i + 1 < pattern.size() &&
                             (pattern[i + 1] == 's' || pattern[i + 1] == 'd');
    if (placeholder && next < args.size()) {
      result += args[next++];
      ++i;
    } else {
      result += pattern[i];
    }
  }
  return result;
}

}  // namespace vdbtext
