#include "storage/kxFormat.h"

#include <gtest/gtest.h>

namespace vdb {
namespace {

struct FormatCase {
  const char* format;
  kxFormatArgs args;
  const char* expected;
};

TEST(kxFormat, FillsDelphiPlaceholders) {
  const FormatCase cases[] = {
      {"Cannot open file \"%s\"", {"a.vdbt"}, "Cannot open file \"a.vdbt\""},
      {"row %d, column %d", {3, -12}, "row 3, column -12"},
      {"VdbLog%d_%.2d.txt", {7, 4}, "VdbLog7_04.txt"},
      {"[%5s|%-5s]", {"ab", "cd"}, "[   ab|cd   ]"},
      {"[%*d]", {4, 7}, "[   7]"},
      {"%.3s", {"árvíztűrő"}, "árv"},
      {"%6s|", {"ő"}, "     ő|"},
      {"%x %u", {255, -1}, "FF 4294967295"},
      {"%.2f %e", {1.5, 1200.0}, "1.50 1.20000000000000E+003"},
      {"%n", {1234567.891}, "1,234,567.89"},
      {"100%% %s", {"kész"}, "100% kész"},
      {"%1:s %0:s", {"a", "b"}, "b a"},
      {"no placeholders", {}, "no placeholders"},
  };
  for (const auto& c : cases) EXPECT_EQ(kxFormat(c.format, c.args), c.expected) << c.format;
}

TEST(kxFormat, ReportsArgumentsThatDoNotFit) {
  const FormatCase misfits[] = {
      {"%s", {}, ""},            // too few
      {"%d", {"text"}, ""},      // text for a number
      {"%s", {12}, ""},          // number for a text
      {"%f", {3}, ""},           // integer for a floating-point number
      {"%q", {1}, ""},           // unknown type
      {"trailing %", {1}, ""},   // unfinished placeholder
  };
  for (const auto& c : misfits) {
    EXPECT_THROW(kxFormat(c.format, c.args), EkxFormatError) << c.format;
    EXPECT_EQ(kxFormatOrBare(c.format, c.args), c.format);
  }
}

}  // namespace
}  // namespace vdb
