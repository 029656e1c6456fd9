// Text at the engine API's edge: the API speaks zero-terminated UTF-16, the components UTF-8
// (messages, names) and UTF-16 (field values).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "api/VdbApi.h"

namespace vdbtext {

// Zero-terminated UTF-16 for an API call.
class TApiText {
 public:
  explicit TApiText(std::u16string_view text);
  explicit TApiText(std::string_view utf8);
  operator const VdbChar*() const { return units_.data(); }  // NOLINT: handed to API calls

 private:
  std::vector<VdbChar> units_;
};

std::u16string FromApi(const VdbChar* text);
std::string Utf8(std::u16string_view text);
std::u16string Utf16(std::string_view utf8);

// The Windows code page of a collation name ("Hungarian_ci_as" -> 1250); 1252 when unknown.
unsigned CodePageOfCollation(std::string_view collationName);
// 8-bit text in CodePage to UTF-16, and back (characters the code page lacks become "?").
std::u16string DecodeAnsi(std::string_view bytes, unsigned codePage);
std::string EncodeAnsi(std::u16string_view text, unsigned codePage);

// printf-like "%s" and "%d" substitution for the components' message texts.
std::string Format(std::string_view pattern, const std::vector<std::string>& args);

}  // namespace vdbtext
