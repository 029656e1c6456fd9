#include "table/kxStrUtils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace vdb {
namespace {

constexpr std::uint32_t kHungarian = 1038;

// Collation by name; the test fails when the name does not parse.
struct TCollation {
  std::uint32_t Locale = 0;
  TStrCmpOptions Options = 0;
  explicit TCollation(std::string_view Name) {
    EXPECT_TRUE(ParseCollationName(Name, Locale, Options)) << Name;
  }
};

// 8-bit comparison of UTF-8 test texts, converted to the collation's code page.
int Compare8(const std::string& A, const std::string& B, const TCollation& C,
             TStrCmpOptions Extra = 0) {
  const std::string a = Utf8ToAnsi(A, LocaleCodePage(C.Locale));
  const std::string b = Utf8ToAnsi(B, LocaleCodePage(C.Locale));
  return CompareCollated(a.data(), static_cast<std::int32_t>(a.size()), b.data(),
                         static_cast<std::int32_t>(b.size()), C.Options | Extra, C.Locale);
}

std::u16string U16(const std::string& Utf8) { return AnsiToUtf16(Utf8ToAnsi(Utf8, 1250), 1250); }

int Compare16(const std::u16string& A, const std::u16string& B, const TCollation& C) {
  return CompareCollated(A.data(), static_cast<std::int32_t>(A.size()), B.data(),
                         static_cast<std::int32_t>(B.size()), C.Options, C.Locale);
}

bool Like(const std::string& Value, const std::string& Pattern, const TCollation& C,
          int Escape = -1) {
  const std::string v = Utf8ToAnsi(Value, LocaleCodePage(C.Locale));
  const std::string p = Utf8ToAnsi(Pattern, LocaleCodePage(C.Locale));
  return MatchesPattern(v.data(), static_cast<std::int32_t>(v.size()), p.data(),
                        static_cast<std::int32_t>(p.size()), Escape, '%', '_', C.Options, C.Locale);
}

// ---------------------------------------------------------------------------------------------

TEST(kxStrUtilsNames, ParsesCollationNames) {
  struct Case {
    const char* name;
    bool ok;
    std::uint32_t locale;
    TStrCmpOptions options;
  };
  const Case cases[] = {
      {"", true, kVdbEngineLocale, scoLigatureSensitive | scoAccentSensitive},
      {"VeskorDB", true, kVdbEngineLocale, scoLigatureSensitive | scoAccentSensitive},
      {"VeskorDB_CI_AS", true, kVdbEngineLocale, scoAccentSensitive},
      {"VeskorDB_CI", true, kVdbEngineLocale, scoAccentSensitive},
      {"VeskorDB_cs_ai", true, kVdbEngineLocale, scoCaseSensitive},
      {"Hungarian_ci_as", true, kHungarian, scoAccentSensitive},
      {"HUNGARIAN_CI_AS", true, kHungarian, scoAccentSensitive},
      {"Hungarian", true, kHungarian, scoAccentSensitive},
      {"hungarian_CS", true, kHungarian, scoCaseSensitive | scoAccentSensitive},
      {"Hungarian_AI", true, kHungarian, 0},
      {"Hungarian_cs_ai", true, kHungarian, scoCaseSensitive},
      {"English", true, 1033, scoAccentSensitive},
      {"German_ci_ai", true, 1031, 0},
      {"Hungarian_as_ci", false, 0, 0},
      {"Klingon_ci", false, 0, 0},
      {"_CI_AS", false, 0, 0},
      {"veskordb", false, 0, 0},  // the engine's name is case-exact
  };
  for (const Case& c : cases) {
    std::uint32_t locale = 77;
    TStrCmpOptions options = 99;
    EXPECT_EQ(ParseCollationName(c.name, locale, options), c.ok) << c.name;
    if (!c.ok) {
      EXPECT_EQ(locale, 77u) << c.name << ": a failed parse leaves the outputs alone";
      continue;
    }
    EXPECT_EQ(locale, c.locale) << c.name;
    EXPECT_EQ(options, c.options) << c.name;
  }
}

TEST(kxStrUtilsNames, MapsLanguagesAndLocales) {
  EXPECT_EQ(LocaleFromLanguage("Hungarian"), kHungarian);
  EXPECT_EQ(LocaleFromLanguage("hUNGARIAN"), kHungarian);
  EXPECT_EQ(LocaleFromLanguage("Klingon"), 0u);
  EXPECT_EQ(LocaleFromLanguage(""), 0u);
  EXPECT_EQ(LanguageFromLocale(kHungarian), "Hungarian");
  EXPECT_EQ(LanguageFromLocale(1031), "German");
  EXPECT_EQ(LanguageFromLocale(kVdbEngineLocale), "VeskorDB");
  EXPECT_EQ(LanguageFromLocale(0x0C0E), "") << "no such Hungarian sublanguage";
  EXPECT_EQ(LanguageFromLocale(0), "");
}

TEST(kxStrUtilsNames, LocaleFromLanguageIsSafeOnManyThreads) {
  std::vector<std::thread> threads;
  std::vector<std::uint32_t> found(8);
  for (std::size_t i = 0; i < found.size(); ++i)
    threads.emplace_back([&found, i] { found[i] = LocaleFromLanguage(i % 2 ? "Hungarian" : "Polish"); });
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < found.size(); ++i) EXPECT_EQ(found[i], i % 2 ? kHungarian : 1045u);
}

TEST(kxStrUtilsNames, DerivesAnsiCodePages) {
  struct Case {
    const char* language;
    std::uint32_t codePage;
  };
  const Case cases[] = {{"Hungarian", 1250}, {"Polish", 1250}, {"Czech", 1250}, {"Romanian", 1250},
                        {"German", 1252},    {"English", 1252}, {"French", 1252}, {"Russian", 1251},
                        {"Greek", 1253},     {"Turkish", 1254}, {"Hebrew", 1255}, {"Arabic", 1256},
                        {"Latvian", 1257},   {"Lithuanian", 1257}, {"Vietnamese", 1258},
                        {"Thai", 874},       {"Japanese", 932}, {"Korean", 949},
                        // Alphabets that two code pages write alike go to the regional one.
                        {"Estonian", 1257},  {"Albanian", 1250}, {"Uzbek", 1254}, {"Welsh", 1252}};
  for (const Case& c : cases) {
    const std::uint32_t locale = LocaleFromLanguage(c.language);
    ASSERT_NE(locale, 0u) << c.language;
    EXPECT_EQ(LocaleCodePage(locale), c.codePage) << c.language;
  }
  EXPECT_EQ(LocaleCodePage(kVdbEngineLocale), 1252u);
  EXPECT_EQ(LocaleCodePage(0x0804), 936u) << "Chinese (PRC)";
  EXPECT_EQ(LocaleCodePage(0x0404), 950u) << "Chinese (Taiwan)";
}

// ---------------------------------------------------------------------------------------------

TEST(kxStrUtilsConversion, ConvertsThroughCodePages) {
  EXPECT_EQ(Utf8ToAnsi("árvíztűrő tükörfúrógép", 1250),
            "\xE1rv\xEDzt\xFBr\xF5 t\xFCk\xF6rf\xFAr\xF3g\xE9p");
  EXPECT_EQ(AnsiToUtf8("\xE1rv\xEDzt\xFBr\xF5", 1250), "árvíztűrő");
  EXPECT_EQ(AnsiToUtf8("\x80\x8A", 1252), "€Š");
  // No best fit: a character without a mapping is "?", never a look-alike.
  EXPECT_EQ(Utf8ToAnsi("ő–Ā€", 1252), "?\x96?\x80");
  EXPECT_EQ(Utf8ToAnsi("日本", 1250), "??");
  EXPECT_EQ(Utf16ToAnsi(u"Ágancs", 1250), "\xC1gancs");
  EXPECT_EQ(AnsiToUtf16("\xC1g", 1250), u"Ág");
  EXPECT_EQ(AnsiToUtf8("", 1250), "");
  EXPECT_EQ(Utf8ToAnsi("\xFF\xFE", 1252), "??") << "invalid UTF-8 is substituted";
  EXPECT_THROW(Utf8ToAnsi("a", 4242), EkxLocaleError);
}

// ---------------------------------------------------------------------------------------------

TEST(kxStrUtilsHungarian, OrdersTheLexiconsHeadwords) {
  const TCollation hu("Hungarian_ci_as");
  // Each list is in ascending order.
  const std::vector<std::vector<std::string>> orders = {
      {"A szél", "Abajgatni"},
      {"Acsarkodik", "Ácsorog"},
      {"Ádázát", "Ág", "Agancs"},
      {"Agancs", "Agancs karimája", "Agancsár", "Agancs-csörtölés", "Agancsfelrakás"},
      {"Cukor", "Csákány", "Dél"},          // cs is a letter of its own after c
      {"Zúzmara", "Zsák"},                  // zs after z
      {"Olló", "Ötös", "Pálya"},            // ö after o
      {"Ló", "Lyuk", "Mák"},                // ly after l
  };
  for (const auto& list : orders) {
    for (std::size_t i = 0; i + 1 < list.size(); ++i) {
      for (std::size_t j = i + 1; j < list.size(); ++j) {
        EXPECT_EQ(Compare8(list[i], list[j], hu), -1) << list[i] << " < " << list[j];
        EXPECT_EQ(Compare8(list[j], list[i], hu), 1) << list[j] << " > " << list[i];
      }
    }
  }
}

TEST(kxStrUtilsHungarian, StrengthFollowsTheOptions) {
  struct Case {
    const char* collation;
    const char* a;
    const char* b;
    int expected;
  };
  const Case cases[] = {
      {"Hungarian_ci_as", "agancs", "AGANCS", 0},
      {"Hungarian_ci_as", "ag", "ág", -1},
      {"Hungarian_ci_ai", "ag", "ÁG", 0},
      {"Hungarian_ci_ai", "olló", "ötös", -1},   // ö is a letter, not an accent
      {"Hungarian_cs_as", "agancs", "Agancs", -1},
      {"Hungarian_cs_ai", "ág", "ag", 0},
      {"Hungarian_cs_ai", "ag", "Ag", -1},
      {"Hungarian_ci_as", "co-op", "coop", -1},  // equal words: the hyphen decides
      {"Hungarian_ci_as", "ab'c", "abd", -1},    // the apostrophe is no letter
      {"Hungarian_ci_as", "", "", 0},
      {"Hungarian_ci_as", "", "a", -1},
  };
  for (const Case& c : cases) {
    const TCollation coll(c.collation);
    EXPECT_EQ(Compare8(c.a, c.b, coll), c.expected) << c.collation << ": " << c.a << " vs " << c.b;
    EXPECT_EQ(Compare8(c.b, c.a, coll), -c.expected) << c.collation << ": " << c.b << " vs " << c.a;
    EXPECT_EQ(Compare16(U16(c.a), U16(c.b), coll), c.expected) << "UTF-16 " << c.a << " vs " << c.b;
  }
}

TEST(kxStrUtilsHungarian, PrefixMarkerSortsAfterEveryExtension) {
  const TCollation hu("Hungarian_ci_as");
  const std::string key = std::string("Agancs") + '\0';
  for (const char* before : {"Agancs", "agancs", "Agancs karimája", "Agancstő", "Agancs-csörtölés",
                             "Ág", "A szél"}) {
    EXPECT_EQ(Compare8(key, before, hu), 1) << before;
    EXPECT_EQ(Compare8(before, key, hu), -1) << before;
  }
  for (const char* after : {"Agár", "Agy", "B"}) {
    EXPECT_EQ(Compare8(key, after, hu), -1) << after;
    EXPECT_EQ(Compare8(after, key, hu), 1) << after;
  }
  // Both marked: the markers drop off.
  EXPECT_EQ(Compare8(key, std::string("Agancs") + '\0', hu), 0);
  EXPECT_EQ(Compare8(std::string("Ag") + '\0', key, hu), -1);
  // The maximum of a string type, the lone character 0, sorts after every string.
  const std::string max(1, '\0');
  for (const char* s : {"", "a", "Zsuzsa", "zzzz"}) EXPECT_EQ(Compare8(max, s, hu), 1) << s;
  EXPECT_EQ(Compare16(std::u16string(u"Agancs") + u'\0', U16("Agár"), hu), -1);
  EXPECT_EQ(Compare16(std::u16string(u"Agancs") + u'\0', U16("Agancstő"), hu), 1);
}

TEST(kxStrUtilsLocale, ComparesInOtherLocalesAndCodePages) {
  struct Case {
    std::uint32_t locale;
    const char* a;  // UTF-8, compared in the locale's code page
    const char* b;
    int expected;
  };
  const Case cases[] = {
      {0x0419, "ёж", "жук", -1},          // Russian, Windows-1251
      {0x0408, "άλφα", "βήτα", -1},       // Greek, Windows-1253
      {0x041F, "ılık", "ilik", -1},       // Turkish: dotless ı before i
      {0x0407, "Müller", "Muller", 1},     // German: the accent decides only on equal letters
      {0x0407, "Müller", "Mzller", -1},
      {0x0407, "Müller", "Muf", 1},
      {0x10407, "Müller", "Muf", -1},      // German phone book: ü is ue
      {0x0411, "あ", "い", -1},            // Japanese, code page 932
      {0x0401, "ب", "ت", -1},              // Arabic, Windows-1256
  };
  for (const Case& c : cases) {
    const std::uint32_t cp = LocaleCodePage(c.locale);
    const std::string a = Utf8ToAnsi(c.a, cp), b = Utf8ToAnsi(c.b, cp);
    ASSERT_EQ(AnsiToUtf8(a, cp), c.a) << "code page " << cp;
    EXPECT_EQ(CompareCollated(a.data(), static_cast<std::int32_t>(a.size()), b.data(),
                              static_cast<std::int32_t>(b.size()), scoAccentSensitive, c.locale),
              c.expected)
        << LanguageFromLocale(c.locale) << ": " << c.a << " vs " << c.b;
  }
}

TEST(kxStrUtilsHungarian, ThrowsForUnknownLocales) {
  const char a[] = "a";
  try {
    CompareCollated(a, 1, a, 1, 0, 0x0C0E);
    FAIL() << "no exception";
  } catch (const EkxLocaleError& e) {
    EXPECT_STREQ(e.what(), "Locale 3086 () is not supported on this computer.");
  }
  char out[2];
  char16_t wide[2];
  std::int32_t used = 0;
  EXPECT_THROW(CollatedUpper(out, a, 1, 0x0C0E), EkxLocaleError);
  EXPECT_THROW(CollatedLower(wide, u"A", 1, 0x0C0E), EkxLocaleError);
  EXPECT_THROW(CollatedFold(u"a", 1, 0x0C0E), EkxLocaleError);
  EXPECT_THROW(ComparePrefix(u"ab", 2, u"a", 1, 0, 0x0C0E, used), EkxLocaleError);
  EXPECT_THROW(MatchesPattern(a, 1, a, 1, -1, '%', '_', 0, 0x0C0E), EkxLocaleError);
  EXPECT_EQ(LocaleCodePage(0x0C0E), 1252u) << "unknown locales write the western code page";
}

// ---------------------------------------------------------------------------------------------

TEST(kxStrUtilsEngine, ComparesWithTheFoldingTable) {
  struct Case {
    const char* collation;
    const char* a;  // Windows-1252
    const char* b;
    int expected;
  };
  const Case cases[] = {
      {"VeskorDB_CI", "Stra\xDF" "e", "STRASSE", 0},
      {"VeskorDB", "Stra\xDF" "e", "STRASSE", -1},
      {"VeskorDB", "Stra\xDF" "e", "Strasse", -1},     // lig.-sensitive: ß is an accented s
      {"VeskorDB", "cote", "cot\xE9", -1},
      {"VeskorDB", "cot\xE9", "c\xF4te", -1},         // the earlier accent is the greater
      {"VeskorDB", "cote", "c\xF4te", -1},
      {"VeskorDB", "\xE9", "e", 1},
      {"VeskorDB", "\xE9", "f", -1},                   // é sorts with e
      {"VeskorDB", "\xE9t\xE9", "et\xE9", 1},
      {"VeskorDB_AI", "cot\xE9", "c\xF4te", 0},
      {"VeskorDB", "abc", "ABC", 0},
      {"VeskorDB_CS", "abc", "ABC", 1},
      {"VeskorDB", "a^b", "a b", 0},
      {"VeskorDB", "a\x7F", "a\xFF", 1},               // DEL after everything
      {"VeskorDB", "a\x7F", "az", 1},
      {"VeskorDB", "ab", "abc", -1},
      {"VeskorDB", "", "", 0},
      {"VeskorDB", "\x8A", "S", 1},                    // Š folds to S
      {"VeskorDB", "\xD7", "\xF7", -1},                // × and ÷ keep their codes
  };
  for (const Case& c : cases) {
    const TCollation coll(c.collation);
    const auto la = static_cast<std::int32_t>(std::string_view(c.a).size());
    const auto lb = static_cast<std::int32_t>(std::string_view(c.b).size());
    EXPECT_EQ(CompareCollated(c.a, la, c.b, lb, coll.Options, coll.Locale), c.expected)
        << c.collation << ": " << c.a << " vs " << c.b;
    EXPECT_EQ(CompareCollated(c.b, lb, c.a, la, coll.Options, coll.Locale), -c.expected)
        << c.collation << ": " << c.b << " vs " << c.a;
  }
  // The UTF-16 variant folds code units 128 to 255 the same way; DEL is 65535 there.
  const TCollation engine("VeskorDB");
  EXPECT_EQ(Compare16(u"cot\u00E9", u"c\u00F4te", engine), -1);
  EXPECT_EQ(Compare16(u"\u00E9", u"e", engine), 1);
  EXPECT_EQ(Compare16(u"a\u007F", u"a\u0151", engine), 1);
  EXPECT_EQ(Compare16(u"Stra\u00DFe", u"STRASSE", TCollation("VeskorDB_CI")), 0);
}

// Sorting and B-trees need a strict weak order: antisymmetric, transitive, and transitive in
// equality. Checked on short random strings made of the characters with special rules.
TEST(kxStrUtilsOrder, EveryCollationIsAStrictWeakOrder) {
  const std::string alphabet = "aAeEsS^ \x7F\xDF\xE9\xC9\xE8\xF4\xE6-'";
  std::mt19937 rng(20261211);
  std::vector<std::string> strings;
  for (int i = 0; i < 100; ++i) {
    std::string s(rng() % 5, ' ');
    for (char& c : s) c = alphabet[rng() % alphabet.size()];
    strings.push_back(s);
  }
  const std::pair<std::uint32_t, TStrCmpOptions> collations[] = {
      {kVdbEngineLocale, 0}, {kVdbEngineLocale, scoCaseSensitive},
      {kVdbEngineLocale, scoAccentSensitive}, {kVdbEngineLocale, scoLigatureSensitive | scoAccentSensitive},
      {kVdbEngineLocale, 7}, {kHungarian, 0}, {kHungarian, scoAccentSensitive}, {kHungarian, 5}};
  for (const auto& [locale, options] : collations) {
    auto cmp = [&](const std::string& a, const std::string& b) {
      return CompareCollated(a.data(), static_cast<std::int32_t>(a.size()), b.data(),
                             static_cast<std::int32_t>(b.size()), options, locale);
    };
    for (const std::string& a : strings) {
      for (const std::string& b : strings) {
        const int ab = cmp(a, b);
        ASSERT_EQ(cmp(b, a), -ab) << locale << "/" << options << ": [" << a << "] [" << b << "]";
        if (ab > 0) continue;
        for (int t = 0; t < 8; ++t) {
          const std::string& c = strings[rng() % strings.size()];
          const int bc = cmp(b, c);
          if (bc > 0) continue;
          const int expected = (ab < 0 || bc < 0) ? -1 : 0;
          ASSERT_EQ(cmp(a, c), expected)
              << locale << "/" << options << ": [" << a << "] [" << b << "] [" << c << "]";
        }
      }
    }
  }
}

TEST(kxStrUtilsEngine, ComparesIdentifiers) {
  EXPECT_EQ(CompareIdentifiers("CIMSZO", "cimszo"), 0);
  EXPECT_EQ(CompareIdentifiers("True", "TRUE"), 0);
  EXPECT_EQ(CompareIdentifiers("Leiras", "Leírás"), 0) << "accent-insensitive";
  EXPECT_EQ(CompareIdentifiers("Strasse", "Straße"), 0) << "ligature-insensitive";
  EXPECT_EQ(CompareIdentifiers("Data", "Datum"), -1);
  EXPECT_EQ(CompareIdentifiers("b", "a"), 1);
  // Names longer than the stack buffers, whose UTF-16 form is shorter than their UTF-8 bytes.
  std::string accented, plain;
  for (int i = 0; i < 200; ++i) {
    accented += "é";
    plain += "E";
  }
  EXPECT_EQ(CompareIdentifiers(accented, plain), 0);
  EXPECT_EQ(CompareIdentifiers(accented + "b", plain + "a"), 1);
}

TEST(kxStrUtilsEngine, MapsCase) {
  char out[8];
  CollatedUpper(out, "ab\xE9\xFF\xF7", 5, kVdbEngineLocale);
  EXPECT_EQ(std::string(out, 5), "AB\xC9\x9F\xF7");
  CollatedLower(out, "AB\xC9\x9F\xD7", 5, kVdbEngineLocale);
  EXPECT_EQ(std::string(out, 5), "ab\xE9\xFF\xD7");
  char16_t wide[4];
  CollatedUpper(wide, u"\u00FFa\u0151", 3, kVdbEngineLocale);
  EXPECT_EQ(std::u16string(wide, 3), u"\u0178A\u0151");
  // Locale mapping: Hungarian in Windows-1250, Turkish dotted i.
  CollatedUpper(out, "\xF5\xFB\xE1x", 4, kHungarian);
  EXPECT_EQ(std::string(out, 4), "\xD5\xDB\xC1X");
  CollatedLower(out, "\xD5\xDB\xC1X", 4, kHungarian);
  EXPECT_EQ(std::string(out, 4), "\xF5\xFB\xE1x");
  CollatedUpper(wide, u"i\u00DF", 2, LocaleFromLanguage("Turkish"));
  EXPECT_EQ(std::u16string(wide, 2), u"\u0130\u00DF") << "lengths never change";
  CollatedLower(wide, u"I", 1, LocaleFromLanguage("Turkish"));
  EXPECT_EQ(wide[0], u'\u0131');
}

TEST(kxStrUtilsEngine, FoldsLigatures) {
  auto fold = [](std::u16string_view S, std::uint32_t Locale) {
    return CollatedFold(S.data(), static_cast<std::int32_t>(S.size()), Locale);
  };
  EXPECT_EQ(fold(u"Stra\u00DFe \uFB01n \u00C6on \u0153uf \u0133", kHungarian),
            u"Strasse fin AEon oeuf ij");
  EXPECT_EQ(fold(u"\u00E1rv\u00EDzt\u0171r\u0151", kHungarian), u"\u00E1rv\u00EDzt\u0171r\u0151");
  EXPECT_EQ(fold(u"Stra\u00DFe c\u00F4t\u00E9 \u0151", kVdbEngineLocale), u"Strasse cote \u0151");
  EXPECT_EQ(CollatedFold(u"", 0, kHungarian), u"");
}

// ---------------------------------------------------------------------------------------------

TEST(kxStrUtilsPrefix, UsesTheLigatureExpansionLength) {
  struct Case {
    const char* collation;
    const char* data;  // Windows-1252
    const char* pattern;
    int expected;
    std::int32_t used;
  };
  const Case cases[] = {
      {"VeskorDB_CI", "Stra\xDF" "e", "STRASS", 0, 5},  // ß covers two pattern characters
      {"VeskorDB_CI", "Strasse", "STRA\xDF", 0, 6},
      {"VeskorDB_CI", "Strasse", "Strasse", 0, 7},
      {"VeskorDB", "Strasse", "Stra", 0, 4},
      {"VeskorDB", "Str", "Stra", -1, 3},                // data shorter than the pattern
      {"VeskorDB", "Stz", "Stra", 1, 3},
      {"VeskorDB_CI", "Stz", "Stra", 1, 3},
      {"VeskorDB", "abc", "", 0, 0},
      {"English_ci_ai", "Stra\xDF" "e", "STRASS", 0, 5},
      {"English_ci_as", "Strasse", "Stra", 0, 4},
  };
  for (const Case& c : cases) {
    const TCollation coll(c.collation);
    std::int32_t used = -1;
    EXPECT_EQ(ComparePrefix(c.data, static_cast<std::int32_t>(std::string_view(c.data).size()),
                            c.pattern, static_cast<std::int32_t>(std::string_view(c.pattern).size()),
                            coll.Options, coll.Locale, used),
              c.expected)
        << c.collation << ": " << c.data << " / " << c.pattern;
    EXPECT_EQ(used, c.used) << c.collation << ": " << c.data << " / " << c.pattern;
  }
}

TEST(kxStrUtilsLike, MatchesPatterns) {
  struct Case {
    const char* collation;
    const char* value;
    const char* pattern;
    int escape;
    bool expected;
  };
  const Case cases[] = {
      {"Hungarian_ci_as", "", "%", -1, true},
      {"Hungarian_ci_as", "", "%%", -1, true},
      {"Hungarian_ci_as", "abc", "%", -1, true},
      {"Hungarian_ci_as", "abc", "%%", -1, true},
      {"Hungarian_ci_as", "abc", "abc%%", -1, true},
      {"Hungarian_ci_as", "abc", "abc", -1, true},
      {"Hungarian_ci_as", "abc", "ab", -1, false},
      {"Hungarian_ci_as", "ab", "abc", -1, false},
      {"Hungarian_ci_as", "", "", -1, true},
      {"Hungarian_ci_as", "a", "", -1, false},
      {"Hungarian_ci_as", "", "_", -1, false},
      {"Hungarian_ci_as", "abc", "a_c", -1, true},
      {"Hungarian_ci_as", "abc", "___", -1, true},
      {"Hungarian_ci_as", "abc", "____", -1, false},
      {"Hungarian_ci_as", "abc", "%c", -1, true},
      {"Hungarian_ci_as", "abc", "%b", -1, false},
      {"Hungarian_ci_as", "Agancs-csörtölés", "%tölés%", -1, true},
      {"Hungarian_ci_as", "TÖLÉS", "%tölés%", -1, true},
      {"Hungarian_ci_as", "tolés", "%tölés%", -1, false},
      {"Hungarian_ci_as", "Agancsár", "agancs%", -1, true},
      {"Hungarian_ci_as", "x a szél y", "%A SZÉL%", -1, true},
      {"Hungarian_ci_as", "50%", "50!%", '!', true},
      {"Hungarian_ci_as", "500", "50!%", '!', false},
      {"Hungarian_ci_as", "a_b", "a!_b", '!', true},
      {"Hungarian_ci_as", "axb", "a!_b", '!', false},
      {"Hungarian_ci_as", "a!", "a!!", '!', true},
      {"Hungarian_ci_as", "a", "a!", '!', false},     // a trailing escape matches nothing
      {"Hungarian_ci_as", "ab", "a!", '!', false},
      {"Hungarian_ci_as", "", "!", '!', false},
      {"VeskorDB", "Caf\xE9", "caf\xE9", -1, true},
      {"VeskorDB", "Caf\xE9", "cafe", -1, false},
      {"VeskorDB_AI", "Caf\xE9", "%FE", -1, true},
      {"VeskorDB", "50%", "50\xA7%", static_cast<char>('\xA7'), true},  // a signed-char escape
      {"VeskorDB", "500", "50\xA7%", static_cast<char>('\xA7'), false},
  };
  for (const Case& c : cases) {
    const TCollation coll(c.collation);
    if (coll.Locale == kVdbEngineLocale) {
      // Engine cases are written in Windows-1252 already.
      EXPECT_EQ(MatchesPattern(c.value, static_cast<std::int32_t>(std::string_view(c.value).size()),
                               c.pattern,
                               static_cast<std::int32_t>(std::string_view(c.pattern).size()),
                               c.escape, '%', '_', coll.Options, coll.Locale),
                c.expected)
          << c.value << " LIKE " << c.pattern;
      continue;
    }
    EXPECT_EQ(Like(c.value, c.pattern, coll, c.escape), c.expected) << c.value << " LIKE " << c.pattern;
    const std::u16string v = U16(c.value), p = U16(c.pattern);
    EXPECT_EQ(MatchesPattern(v.data(), static_cast<std::int32_t>(v.size()), p.data(),
                             static_cast<std::int32_t>(p.size()), c.escape, u'%', u'_', coll.Options,
                             coll.Locale),
              c.expected)
        << "UTF-16 " << c.value << " LIKE " << c.pattern;
  }
}

TEST(kxStrUtilsLike, ManyJokersOnALongValueFinishInTime) {
  const TCollation coll("VeskorDB");
  const std::string value(2000, 'a');
  const std::string pattern = "%a%a%a%a%b";
  auto like = [&](const std::string& Pattern) {
    return MatchesPattern(value.data(), static_cast<std::int32_t>(value.size()), Pattern.data(),
                          static_cast<std::int32_t>(Pattern.size()), -1, '%', '_', coll.Options,
                          coll.Locale);
  };
  EXPECT_FALSE(like("%a%a%a%a%b"));
  EXPECT_TRUE(like("%a%a%a%a"));
  EXPECT_TRUE(like("a%aa%a_a%a"));
  EXPECT_FALSE(like("%a%ab%a"));
}

TEST(kxStrUtilsLocale, ComparesLongStringsAndManyThreads) {
  const TCollation hu("Hungarian_ci_as");
  const std::string longA(5000, 'a'), longB = std::string(4999, 'a') + "b";
  EXPECT_EQ(Compare8(longA, longB, hu), -1);
  // Double-byte text: 150 characters in 300 bytes.
  std::string kana, kanaLater;
  for (int i = 0; i < 150; ++i) kana += "あ";
  kanaLater = kana.substr(0, kana.size() - 3) + "い";
  const std::uint32_t japanese = 0x0411;
  const std::string a = Utf8ToAnsi(kana, 932), b = Utf8ToAnsi(kanaLater, 932);
  ASSERT_EQ(a.size(), 300u);
  EXPECT_EQ(CompareCollated(a.data(), 300, b.data(), 300, scoAccentSensitive, japanese), -1);
  EXPECT_EQ(CompareCollated(a.data(), 300, a.data(), 300, scoAccentSensitive, japanese), 0);
  std::vector<std::thread> threads;
  std::vector<int> results(6, 99);
  for (std::size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&results, i] {
      const TCollation c(i % 2 ? "Hungarian_ci_as" : "Hungarian_cs_as");
      int r = 0;
      for (int k = 0; k < 200; ++k) r += Compare8("Ács", "acs", c);
      results[i] = r;
    });
  }
  for (auto& t : threads) t.join();
  for (int r : results) EXPECT_EQ(r, 200);
}

}  // namespace
}  // namespace vdb
