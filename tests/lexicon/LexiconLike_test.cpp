// The lexicon's search answers with the table-driven comparison and LIKE matcher are those of the
// reference (the text converted to UTF-16, every literal run compared at every value position):
// every headword and description against patterns made from the headwords, and the headwords
// against each other.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LexiconCsv.h"
#include "table/kxStrUtils.h"
#include "table/kxStrUtilsReference.h"

namespace lexicon {
namespace {

const std::string kLexiconPath = std::string(VDB_SOURCE_DIR) + "/app/lexicon/Lexikon.csv";

class LexiconLike : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(vdb::ParseCollationName("Hungarian_ci_as", locale_, options_));
    codePage_ = vdb::LocaleCodePage(locale_);
    for (const LexiconEntry& e : ReadLexiconCsv(kLexiconPath)) {
      headwords_.push_back(Ansi(e.headword));
      descriptions_.push_back(Ansi(e.description));
    }
  }

  static std::string Ansi(const std::string& Utf8) { return vdb::Utf8ToAnsi(Utf8, codePage_); }
  static std::string Show(const std::string& Ansi) { return vdb::AnsiToUtf8(Ansi, codePage_); }

  static bool Like(const std::string& Value, const std::string& Pattern, int Escape) {
    return vdb::MatchesPattern(Value.data(), static_cast<std::int32_t>(Value.size()), Pattern.data(),
                               static_cast<std::int32_t>(Pattern.size()), Escape, '%', '_', options_, locale_);
  }

  // Every value against the pattern in both matchers; the number of matches found.
  static int ExpectSameMatches(const std::vector<std::string>& Values, const std::string& Pattern, int Escape) {
    int matches = 0;
    for (const std::string& value : Values) {
      const bool like = Like(value, Pattern, Escape);
      const bool expected = vdb::reference::ReferenceMatchesPattern(value, Pattern, Escape, '%', '_', options_, locale_);
      EXPECT_EQ(like, expected) << Show(value.substr(0, 80)) << " LIKE " << Show(Pattern);
      if (like != expected) break;
      matches += like ? 1 : 0;
    }
    return matches;
  }

  static inline std::uint32_t locale_ = 0;
  static inline vdb::TStrCmpOptions options_ = 0;
  static inline std::uint32_t codePage_ = 0;
  static inline std::vector<std::string> headwords_, descriptions_;
};

// Variants of a piece of a headword: as it is, upper case, without accents, with a joker inside.
std::vector<std::string> Variants(const std::string& Piece, std::uint32_t Locale) {
  std::string upper(Piece.size(), '\0');
  vdb::CollatedUpper(upper.data(), Piece.data(), static_cast<std::int32_t>(Piece.size()), Locale);
  std::string plain = Piece;
  const std::string accented = "\xE1\xE9\xED\xF3\xF6\xF5\xFA\xFC\xFB";  // áéíóöőúüű in Windows-1250
  const std::string bare = "aeiooouuu";
  for (char& c : plain) {
    const auto at = accented.find(c);
    if (at != std::string::npos) c = bare[at];
  }
  std::string joker = Piece;
  if (joker.size() > 2) joker[joker.size() / 2] = '_';
  return {Piece, upper, plain, joker};
}

TEST_F(LexiconLike, HeadwordPatternsMatchEveryHeadwordAsTheReference) {
  for (std::size_t i = 0; i < headwords_.size(); ++i) {
    const std::string& h = headwords_[i];
    std::vector<std::string> patterns = {h};
    if (i % 6 == 0) {
      const std::string infix = h.substr(h.size() / 4, std::max<std::size_t>(1, h.size() / 2));
      for (const std::string& v : Variants(infix, locale_)) patterns.push_back("%" + v + "%");
      for (const std::string& v : Variants(h.substr(0, (h.size() + 1) / 2), locale_)) patterns.push_back(v + "%");
    }
    for (const std::string& pattern : patterns) ExpectSameMatches(headwords_, pattern, -1);
    if (HasFailure()) return;
  }
}

// The search window's own condition over the descriptions, with words of the lexicon that hold
// contractions, double letters, hyphens, apostrophes, quotes, case and accent variants, jokers
// and escapes.
TEST_F(LexiconLike, DescriptionPatternsMatchAsTheReference) {
  struct Case {
    const char* pattern;
    int escape;
  };
  const Case cases[] = {
      {"%róka%", -1},        {"%RÓKA%", -1},          {"%roka%", -1},           {"%nincs ilyen szöveg%", -1},
      {"%szarvas%", -1},     {"%agancs%", -1},        {"%Agancs-cs%", -1},      {"%ccs%", -1},
      {"%dzs%", -1},         {"%lly%", -1},           {"%ggy%", -1},            {"%ssz%", -1},
      {"%vadász-%", -1},     {"%-%", -1},             {"%'%", -1},              {"%„nagy%", -1},
      {"%gy_r%", -1},        {"%V_D_SZ%", -1},        {"%a%b%c%", -1},          {"Szent%", -1},
      {"%3.%", -1},          {"%!%%", '!'},           {"%vad!_%", '!'},         {"%ŐZ%", -1},
  };
  int matches = 0;
  for (const Case& c : cases) {
    matches += ExpectSameMatches(descriptions_, Ansi(c.pattern), c.escape);
    if (HasFailure()) return;
  }
  EXPECT_GT(matches, 0);
}

TEST_F(LexiconLike, HeadwordsCompareAsTheReference) {
  // A LIKE makes the byte tables that comparisons otherwise use only after many of them.
  Like("", "%x%", -1);
  for (std::size_t i = 0; i < headwords_.size(); ++i) {
    const std::string& a = headwords_[i];
    for (std::size_t j = i % 3; j < headwords_.size(); j += 3) {
      const std::string& b = headwords_[j];
      const int expected = vdb::reference::ReferenceCompareCollated(a.data(), static_cast<std::int32_t>(a.size()),
                                                                    b.data(), static_cast<std::int32_t>(b.size()),
                                                                    options_, locale_);
      ASSERT_EQ(vdb::CompareCollated(a.data(), static_cast<std::int32_t>(a.size()), b.data(),
                                     static_cast<std::int32_t>(b.size()), options_, locale_),
                expected)
          << Show(a) << " / " << Show(b);
    }
  }
}

}  // namespace
}  // namespace lexicon
