// Message formatting with Delphi-style placeholders.
//
// Every message format of the engine uses the placeholder syntax
//   "%" [index ":"] ["-"] [width] ["." precision] type
// with the types d (signed decimal), u (unsigned decimal), x (hexadecimal), e, f, g, n (floating
// point) and s (text), "*" for width or precision taken from the argument list, and "%%" for a
// percent sign. kxFormat fills such a format and throws EkxFormatError when the arguments do not
// fit its placeholders (too few, or of the wrong kind), so that callers can fall back to the bare
// format. Text is UTF-8; widths and text precisions count characters, not bytes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vdb {

class EkxFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One argument of a format: an integer, a floating-point number or a text.
class kxFormatArg {
 public:
  using Value = std::variant<std::int64_t, double, std::string>;

  template <typename T>
    requires std::is_integral_v<T> && (!std::is_same_v<T, bool>)
  kxFormatArg(T v) : value_(static_cast<std::int64_t>(v)) {}
  kxFormatArg(bool v) : value_(static_cast<std::int64_t>(v)) {}
  kxFormatArg(double v) : value_(v) {}
  kxFormatArg(float v) : value_(static_cast<double>(v)) {}
  kxFormatArg(const char* v) : value_(std::string(v ? v : "")) {}
  kxFormatArg(std::string v) : value_(std::move(v)) {}
  kxFormatArg(std::string_view v) : value_(std::string(v)) {}

  const Value& value() const { return value_; }

 private:
  Value value_;
};

using kxFormatArgs = std::vector<kxFormatArg>;

// Fills Format with Args; throws EkxFormatError when they do not fit.
std::string kxFormat(std::string_view format, const kxFormatArgs& args);

// kxFormat, but answers the bare format when the arguments do not fit.
std::string kxFormatOrBare(std::string_view format, const kxFormatArgs& args);

}  // namespace vdb
