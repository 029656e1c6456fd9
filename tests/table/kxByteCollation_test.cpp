// The 8-bit comparison through byte tables against the reference (both strings converted to
// UTF-16 and compared there): the same order for contractions, double letters, expansions,
// ignorable and context-dependent characters, case and accents.
#include "table/kxByteCollation.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "kxCollationTestSupport.h"

namespace vdb {
namespace {

using namespace vdb::test;

class kxByteCollationDifferential : public testing::TestWithParam<const char*> {};

TEST_P(kxByteCollationDifferential, RandomTextComparesAsTheReference) {
  const TCollation coll(GetParam());
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

// Every pair and many triples of the code page's characters: the tables must know each
// contraction, expansion, ignorable and context-dependent character the collator has.
TEST_P(kxByteCollationDifferential, EveryPairOfCharactersComparesAsTheReference) {
  const TCollation coll(GetParam());
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

// Without a LIKE the tables come after many comparisons: the answers stay the same across.
TEST_P(kxByteCollationDifferential, ManyComparisonsWithoutALikeCompareAsTheReference) {
  const TCollation coll(GetParam());
  std::mt19937 random(1257);
  for (int i = 0; i < 30000; ++i) {
    const std::string a = coll.Ansi(RandomText(random, 4)), b = coll.Ansi(RandomText(random, 4));
    ASSERT_EQ(Compare8(a, b, coll), ReferenceCompare8(a, b, coll))
        << coll.Name << " comparison " << i << ": " << AnsiToUtf8(a, LocaleCodePage(coll.Locale)) << " / "
        << AnsiToUtf8(b, LocaleCodePage(coll.Locale));
  }
}

INSTANTIATE_TEST_SUITE_P(Collations, kxByteCollationDifferential, ByteTableCollations(), CollationTestName);

// Pairs that differ in a letter (where the byte tables answer), in case only or in an ignored
// hyphen (where the collator does).
TEST(kxByteCollation, ComparesHeadwordsInTheirOrder) {
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
