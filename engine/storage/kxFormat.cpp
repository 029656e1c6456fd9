#include "storage/kxFormat.h"

#include <cctype>
#include <cmath>
#include <algorithm>
#include <cstdio>

namespace vdb {

namespace {

struct Spec {
  bool leftAlign = false;
  int width = -1;
  int precision = -1;
  char type = 0;
};

[[noreturn]] void Invalid(std::string_view format) {
  throw EkxFormatError("Format '" + std::string(format) +
                       "' invalid or incompatible with argument");
}

// Counts UTF-8 characters (lead bytes) of Text.
std::size_t CharCount(std::string_view text) {
  std::size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

// Cuts Text after MaxChars UTF-8 characters.
std::string_view CutChars(std::string_view text, std::size_t maxChars) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (chars == maxChars) return text.substr(0, i);
      ++chars;
    }
  }
  return text;
}

class Formatter {
 public:
  Formatter(std::string_view format, const kxFormatArgs& args) : format_(format), args_(args) {}

  std::string Run() {
    for (pos_ = 0; pos_ < format_.size();) {
      char c = format_[pos_++];
      if (c != '%') {
        out_ += c;
      } else if (pos_ < format_.size() && format_[pos_] == '%') {
        out_ += '%';
        ++pos_;
      } else {
        Placeholder();
      }
    }
    return std::move(out_);
  }

 private:
  const kxFormatArg& NextArg() {
    if (argIndex_ >= args_.size()) Invalid(format_);
    return args_[argIndex_++];
  }

  std::int64_t IntArg() {
    const auto* v = std::get_if<std::int64_t>(&NextArg().value());
    if (!v) Invalid(format_);
    return *v;
  }

  // Reads digits or "*" at the current position; -1 when there are none.
  int Number() {
    if (pos_ < format_.size() && format_[pos_] == '*') {
      ++pos_;
      return static_cast<int>(IntArg());
    }
    int n = -1;
    while (pos_ < format_.size() && format_[pos_] >= '0' && format_[pos_] <= '9') {
      n = (n < 0 ? 0 : n * 10) + (format_[pos_++] - '0');
      if (n > 100000) Invalid(format_);
    }
    return n;
  }

  // "%n:" selects argument n (and the following ones) for this placeholder.
  void SkipArgumentIndex() {
    std::size_t end = pos_;
    while (end < format_.size() && format_[end] >= '0' && format_[end] <= '9') ++end;
    if (end >= format_.size() || format_[end] != ':') return;
    if (end - pos_ > 5) Invalid(format_);
    argIndex_ = end == pos_ ? 0 : std::stoul(std::string(format_.substr(pos_, end - pos_)));
    pos_ = end + 1;
  }

  void Placeholder() {
    Spec spec;
    SkipArgumentIndex();
    if (pos_ < format_.size() && format_[pos_] == '-') {
      spec.leftAlign = true;
      ++pos_;
    }
    spec.width = Number();
    if (pos_ < format_.size() && format_[pos_] == '.') {
      ++pos_;
      spec.precision = Number();
      if (spec.precision < 0) spec.precision = 0;
    }
    if (pos_ >= format_.size()) Invalid(format_);
    spec.type = static_cast<char>(std::tolower(static_cast<unsigned char>(format_[pos_++])));
    Pad(spec, Convert(spec));
  }

  std::string Convert(const Spec& spec) {
    const auto& value = NextArg().value();
    switch (spec.type) {
      case 'd': case 'u': case 'x': return Integer(spec, value);
      case 'e': case 'f': case 'g': case 'n': case 'm': return Floating(spec, value);
      case 's': {
        const auto* s = std::get_if<std::string>(&value);
        if (!s) Invalid(format_);
        return spec.precision >= 0 ? std::string(CutChars(*s, spec.precision)) : *s;
      }
      default: Invalid(format_);
    }
  }

  std::string Integer(const Spec& spec, const kxFormatArg::Value& value) {
    const auto* v = std::get_if<std::int64_t>(&value);
    if (!v) Invalid(format_);
    bool negative = spec.type == 'd' && *v < 0;
    std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(*v)
                                       : static_cast<std::uint64_t>(*v);
    if (spec.type == 'u') magnitude = static_cast<std::uint32_t>(*v);
    char buf[32];
    std::snprintf(buf, sizeof buf, spec.type == 'x' ? "%llX" : "%llu",
                  static_cast<unsigned long long>(magnitude));
    std::string digits = buf;
    if (spec.precision > static_cast<int>(digits.size()))
      digits.insert(0, spec.precision - digits.size(), '0');
    return negative ? "-" + digits : digits;
  }

  std::string Floating(const Spec& spec, const kxFormatArg::Value& value) {
    double d;
    if (const auto* f = std::get_if<double>(&value)) d = *f;
    else Invalid(format_);
    int precision = spec.precision < 0 ? (spec.type == 'e' || spec.type == 'g' ? 15 : 2)
                                       : spec.precision;
    char buf[512];
    if (spec.type == 'n' || spec.type == 'm') {
      std::snprintf(buf, sizeof buf, "%.*f", precision, d);
      return Grouped(buf);
    }
    if (!std::isfinite(d)) return std::isnan(d) ? "NAN" : (d > 0 ? "INF" : "-INF");
    if (spec.type == 'e') return Scientific(d, precision);
    std::snprintf(buf, sizeof buf, spec.type == 'g' ? "%.*G" : "%.*f", precision, d);
    return buf;
  }

  // "d.ddd...E+ddd": Precision digits in all, an exponent of at least three digits.
  static std::string Scientific(double d, int precision) {
    char buf[512];
    std::snprintf(buf, sizeof buf, "%.*E", std::max(precision, 1) - 1, d);
    std::string text = buf;
    std::size_t e = text.find('E');
    std::string exponent = text.substr(e + 2);
    if (exponent.size() < 3) exponent.insert(0, 3 - exponent.size(), '0');
    return text.substr(0, e + 2) + exponent;
  }

  // Inserts thousands separators into the integral part of a fixed-point text.
  static std::string Grouped(std::string text) {
    std::size_t end = text.find('.');
    if (end == std::string::npos) end = text.size();
    std::size_t begin = text[0] == '-' ? 1 : 0;
    for (std::size_t i = end; i > begin + 3; i -= 3) text.insert(i - 3, ",");
    return text;
  }

  void Pad(const Spec& spec, const std::string& text) {
    std::size_t chars = CharCount(text);
    std::size_t fill = spec.width > static_cast<int>(chars) ? spec.width - chars : 0;
    if (!spec.leftAlign) out_.append(fill, ' ');
    out_ += text;
    if (spec.leftAlign) out_.append(fill, ' ');
  }

  std::string_view format_;
  const kxFormatArgs& args_;
  std::string out_;
  std::size_t pos_ = 0;
  std::size_t argIndex_ = 0;
};

}  // namespace

std::string kxFormat(std::string_view format, const kxFormatArgs& args) {
  return Formatter(format, args).Run();
}

std::string kxFormatOrBare(std::string_view format, const kxFormatArgs& args) {
  try {
    return kxFormat(format, args);
  } catch (const EkxFormatError&) {
    return std::string(format);
  }
}

}  // namespace vdb
