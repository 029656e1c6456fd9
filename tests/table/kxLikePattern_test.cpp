// The table-driven LIKE matcher against the reference (the text converted to UTF-16, every
// literal run compared at every value position): the same answers for contractions and double
// letters, ignorable hyphens, case, accents, jokers and escapes.
#include "table/kxLikePattern.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "kxCollationTestSupport.h"

namespace vdb {
namespace {

using namespace vdb::test;

// A pattern cut from a value, or made up, with jokers and escapes put in.
std::string RandomPattern(std::mt19937& Random, const std::string& Value) {
  std::uniform_int_distribution<int> dice(0, 9);
  std::string pattern;
  if (!Value.empty() && dice(Random) < 7) {
    std::uniform_int_distribution<std::size_t> at(0, Value.size() - 1);
    std::size_t from = at(Random), to = at(Random);
    if (from > to) std::swap(from, to);
    pattern = Value.substr(from, to - from + 1);
  } else {
    pattern = RandomText(Random, 4);
  }
  if (dice(Random) < 6) pattern = "%" + pattern;
  if (dice(Random) < 6) pattern += "%";
  if (dice(Random) < 2 && !pattern.empty()) pattern[pattern.size() / 2] = '_';
  if (dice(Random) < 1) pattern.insert(pattern.size() / 3, "!");
  return pattern;
}

class kxLikePatternDifferential : public testing::TestWithParam<const char*> {};

TEST_P(kxLikePatternDifferential, RandomPatternsMatchAsTheReference) {
  const TCollation coll(GetParam());
  std::mt19937 random(1250);
  for (int i = 0; i < 3000; ++i) {
    const std::string value = coll.Ansi(RandomText(random, 8));
    const std::string pattern = coll.Ansi(RandomPattern(random, i % 4 == 0 ? RandomText(random, 5) : value));
    const int escape = i % 5 == 0 ? '!' : -1;
    // The same pattern against several values, as a scan uses it.
    for (int k = 0; k < 4; ++k) {
      const std::string v = k == 0 ? value : coll.Ansi(RandomText(random, 8));
      ASSERT_EQ(Like8(v, pattern, coll, escape), ReferenceLike8(v, pattern, coll, escape))
          << coll.Name << ": " << AnsiToUtf8(v, LocaleCodePage(coll.Locale)) << " LIKE "
          << AnsiToUtf8(pattern, LocaleCodePage(coll.Locale)) << " escape " << escape;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Collations, kxLikePatternDifferential, AllCollations(), CollationTestName);

// Cases where a literal run meets the collation's special characters at its ends: the run is
// compared with a piece of the value of its own length, so a contraction is formed only inside
// that piece.
TEST(kxLikePattern, RunsMeetContractionsAtTheirEnds) {
  const TCollation hu("Hungarian_ci_as");
  struct Case {
    const char* value;
    const char* pattern;
    bool expected;
  };
  const Case cases[] = {
      {"kocsi", "koc%", true},         {"kocsi", "%csi", true},        {"kocsi", "%si", true},
      {"kocsi", "%ocs%", true},        {"Agancs", "%CS", true},        {"Agancs", "%c", false},
      {"loccsan", "%ccs%", true},      {"loccsan", "%cs%", true},      {"loccsan", "%ccsan", true},
      {"hosszú", "%sz%", true},        {"hosszú", "%ssz%", true},      {"hosszú", "%os%", true},
      {"Agancs-csörtölés", "%cs-cs%", true}, {"Agancs-csörtölés", "%cscs%", false},
      {"Agancs-csörtölés", "%S-C%", true},   {"róka", "%RÓKA%", true}, {"róka", "%roka%", false},
      {"rókák", "%óká%", true},        {"Őzbak", "%őz%", true},        {"Őzbak", "%oz%", false},
      {"gyár", "g%", true},            {"gyár", "gy_r", true},         {"gyár", "g_ár", true},
      {"dzsungel", "d_sungel", true},  {"dzsungel", "%zsu%", true},    {"lyuk", "%yuk", true},
      {"vad'", "vad_", true},          {"vad'", "vad", false},         {"a-b", "a_b", true},
  };
  for (const Case& c : cases) {
    const std::string value = hu.Ansi(c.value), pattern = hu.Ansi(c.pattern);
    EXPECT_EQ(Like8(value, pattern, hu, -1), c.expected) << c.value << " LIKE " << c.pattern;
    EXPECT_EQ(ReferenceLike8(value, pattern, hu, -1), c.expected) << "reference: " << c.value << " LIKE " << c.pattern;
  }
}

// Escapes under a collation with byte tables: an escaped joker or escape is a literal, an escaped
// letter starts a run of its own, an escape that came through a signed char still means its
// byte, and a trailing escape matches nothing.
TEST(kxLikePattern, EscapesUnderTheHungarianCollation) {
  const TCollation hu("Hungarian_ci_as");
  struct Case {
    const char* value;
    const char* pattern;
    int escape;
    bool expected;
  };
  const Case cases[] = {
      {"50%", "50!%", '!', true},          {"500", "50!%", '!', false},        {"a_b", "a!_b", '!', true},
      {"axb", "a!_b", '!', false},         {"a!", "a!!", '!', true},           {"ccs", "c!cs", '!', true},
      {"ccs", "%!cs", '!', true},          {"csc", "%!cs", '!', false},        {"50%", "50§%", static_cast<char>('\xA7'), true},
      {"500", "50§%", static_cast<char>('\xA7'), false}, {"róka", "%!", '!', false}, {"", "!", '!', false},
  };
  for (const Case& c : cases) {
    const std::string value = hu.Ansi(c.value), pattern = hu.Ansi(c.pattern);
    EXPECT_EQ(Like8(value, pattern, hu, c.escape), c.expected) << c.value << " LIKE " << c.pattern;
    EXPECT_EQ(ReferenceLike8(value, pattern, hu, c.escape), c.expected) << "reference: " << c.value << " LIKE " << c.pattern;
  }
}

}  // namespace
}  // namespace vdb
