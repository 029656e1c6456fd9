// The table-driven 8-bit comparison and LIKE matcher against the reference (the text converted
// to UTF-16 and compared there, every literal run at every value position): the same answers
// for contractions and double letters, ignorable hyphens, case, accents, jokers and escapes.
#include "table/kxLikePattern.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "kxStrUtilsReference.h"
#include "table/kxStrUtils.h"

namespace vdb {
namespace {

struct TCollation {
  std::string Name;
  std::uint32_t Locale = 0;
  TStrCmpOptions Options = 0;
  explicit TCollation(std::string_view CollationName) : Name(CollationName) {
    EXPECT_TRUE(ParseCollationName(CollationName, Locale, Options)) << CollationName;
  }
  std::string Ansi(const std::string& Utf8) const { return Utf8ToAnsi(Utf8, LocaleCodePage(Locale)); }
};

int Compare8(const std::string& A, const std::string& B, const TCollation& C) {
  return CompareCollated(A.data(), static_cast<std::int32_t>(A.size()), B.data(), static_cast<std::int32_t>(B.size()),
                         C.Options, C.Locale);
}

int ReferenceCompare8(const std::string& A, const std::string& B, const TCollation& C) {
  return reference::ReferenceCompareCollated(A.data(), static_cast<std::int32_t>(A.size()), B.data(),
                                             static_cast<std::int32_t>(B.size()), C.Options, C.Locale);
}

bool Like8(const std::string& Value, const std::string& Pattern, const TCollation& C, int Escape) {
  return MatchesPattern(Value.data(), static_cast<std::int32_t>(Value.size()), Pattern.data(),
                        static_cast<std::int32_t>(Pattern.size()), Escape, '%', '_', C.Options, C.Locale);
}

bool ReferenceLike8(const std::string& Value, const std::string& Pattern, const TCollation& C, int Escape) {
  return reference::ReferenceMatchesPattern(Value, Pattern, Escape, '%', '_', C.Options, C.Locale);
}

// Pieces of Hungarian text, heavy in what the collation treats specially: the contractions and
// their doubled forms in all letter cases, accents, the ignorable hyphen and apostrophe, the
// middle dot (which some collations weigh by the letter before it) and the character 0.
const std::vector<std::string>& Pieces() {
  static const std::vector<std::string> pieces = {
      "a", "á", "A", "Á", "b", "c", "C", "cs", "Cs", "CS", "ccs", "Ccs", "d", "dz", "dzs", "DZS", "ddzs", "e",
      "é", "É", "g", "gy", "Gy", "ggy", "l", "ly", "lly", "L", "n", "ny", "nny", "o", "ó", "ö", "ő", "Ő", "O",
      "s", "S", "sz", "Sz", "ssz", "t", "ty", "tty", "u", "ú", "ü", "ű", "z", "zs", "Zs", "zzs", "y", "Y",
      "i", "í", "k", "r", "R", "v", "-", "'", " ", "·", "ß", "š", "ř", ".", "1"};
  return pieces;
}

std::string RandomText(std::mt19937& Random, int MaxPieces) {
  const auto& pieces = Pieces();
  std::uniform_int_distribution<int> count(0, MaxPieces), pick(0, static_cast<int>(pieces.size()) - 1);
  std::string text;
  for (int n = count(Random); n > 0; --n) text += pieces[static_cast<std::size_t>(pick(Random))];
  return text;
}

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

// A LIKE makes the locale's byte tables at once; comparisons use them from then on (otherwise
// only after many comparisons), so each test starts with one.
void MakeByteTables(const TCollation& C) { Like8("", "%x%", C, -1); }

class kxLikePatternDifferential : public testing::TestWithParam<const char*> {};

TEST_P(kxLikePatternDifferential, RandomTextComparesAsTheReference) {
  const TCollation coll(GetParam());
  if (coll.Locale == kVdbEngineLocale) GTEST_SKIP() << "the engine collation compares without byte tables";
  MakeByteTables(coll);
  std::mt19937 random(1038);
  for (int i = 0; i < 6000; ++i) {
    std::string a = coll.Ansi(RandomText(random, 6)), b = coll.Ansi(RandomText(random, 6));
    if (i % 50 == 0) a.push_back('\0');  // the prefix marker
    if (i % 70 == 0) b.insert(b.size() / 2, 1, '\0');
    if (i % 3 == 0) b = a.substr(0, a.size() / 2) + b;  // a shared beginning
    ASSERT_EQ(Compare8(a, b, coll), ReferenceCompare8(a, b, coll))
        << coll.Name << ": " << AnsiToUtf8(a, LocaleCodePage(coll.Locale)) << " / "
        << AnsiToUtf8(b, LocaleCodePage(coll.Locale));
  }
}

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

// Every pair and many triples of the code page's characters: the tables must know each
// contraction, expansion, ignorable and context-dependent character the collator has.
TEST_P(kxLikePatternDifferential, EveryPairOfCharactersComparesAsTheReference) {
  const TCollation coll(GetParam());
  if (coll.Locale == kVdbEngineLocale) GTEST_SKIP() << "the engine collation has no byte tables";
  MakeByteTables(coll);
  std::string a(2, ' '), b(2, ' ');
  for (int x = 1; x < 256; ++x) {
    for (int y = 0; y < 256; y += 1) {
      a[0] = static_cast<char>(x);
      a[1] = static_cast<char>(y);
      b[0] = static_cast<char>(x);
      b[1] = static_cast<char>(y == 0 ? 'z' : 256 - y);
      ASSERT_EQ(Compare8(a, b, coll), ReferenceCompare8(a, b, coll)) << coll.Name << ": bytes " << x << " " << y;
      b[0] = static_cast<char>(y == 0 ? 'c' : y);
      b[1] = static_cast<char>(x);
      ASSERT_EQ(Compare8(a, b, coll), ReferenceCompare8(a, b, coll)) << coll.Name << ": bytes " << x << " " << y;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Collations, kxLikePatternDifferential,
                         testing::Values("Hungarian_ci_as", "Hungarian_CS", "Hungarian_ci_ai", "English",
                                         "German_ci_ai", "Czech", "Polish_ci_as", "Turkish", "Catalan",
                                         "Danish", "VeskorDB", "VeskorDB_CI"),
                         [](const testing::TestParamInfo<const char*>& Info) {
                           std::string name = Info.param;
                           for (char& c : name)
                             if (c == '_') c = 'x';
                           return name;
                         });

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

// Pairs that differ in a letter (where the byte tables answer), in case only or in an ignored
// hyphen (where the collator does).
TEST(kxLikePattern, ComparesHeadwordsInTheirOrder) {
  const TCollation hu("Hungarian_ci_as");
  MakeByteTables(hu);
  struct Case {
    const char* a;
    const char* b;
    int expected;
  };
  const Case cases[] = {
      {"Agancs", "Agancsár", -1},      {"Agancs-csörtölés", "Agancsfelrakás", -1},
      {"Acsarkodik", "Ácsorog", -1},   {"Cukor", "Csiga", -1},         {"Ág", "Agancs", -1},
      {"hubertusz", "Hubertusz", 0},  {"Nimród", "nimród", 0},        {"co-op", "coop", -1},
      {"Lyuk", "Lőtávolság", 1},       {"Zúzmara", "Zsákmány", -1},    {"", "a", -1},
  };
  for (const Case& c : cases) {
    const std::string a = hu.Ansi(c.a), b = hu.Ansi(c.b);
    EXPECT_EQ(Compare8(a, b, hu), c.expected) << c.a << " / " << c.b;
    EXPECT_EQ(Compare8(b, a, hu), -c.expected) << c.b << " / " << c.a;
    EXPECT_EQ(ReferenceCompare8(a, b, hu), c.expected) << "reference: " << c.a << " / " << c.b;
  }
}

}  // namespace
}  // namespace vdb
