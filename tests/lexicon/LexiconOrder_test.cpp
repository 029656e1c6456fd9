// The headword order of the lexicon under its collation "Hungarian_ci_as".
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "LexiconCsv.h"
#include "table/kxStrUtils.h"

namespace lexicon {
namespace {

const std::string kLexiconPath = std::string(VDB_SOURCE_DIR) + "/app/lexicon/Lexikon.csv";

class LexiconOrder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(vdb::ParseCollationName("Hungarian_ci_as", locale_, options_));
    codePage_ = vdb::LocaleCodePage(locale_);
    for (const LexiconEntry& e : ReadLexiconCsv(kLexiconPath)) headwords_.push_back(Ansi(e.headword));
  }

  std::string Ansi(const std::string& Utf8) const { return vdb::Utf8ToAnsi(Utf8, codePage_); }
  std::string Show(const std::string& Ansi) const { return vdb::AnsiToUtf8(Ansi, codePage_); }

  int Compare(const std::string& A, const std::string& B) const {
    return vdb::CompareCollated(A.data(), static_cast<std::int32_t>(A.size()), B.data(),
                                static_cast<std::int32_t>(B.size()), options_, locale_);
  }

  std::string Upper(const std::string& S) const {
    std::string out(S.size(), '\0');
    vdb::CollatedUpper(out.data(), S.data(), static_cast<std::int32_t>(S.size()), locale_);
    return out;
  }

  std::vector<std::string> Sorted() const {
    std::vector<std::string> sorted = headwords_;
    std::sort(sorted.begin(), sorted.end(),
              [this](const std::string& a, const std::string& b) { return Compare(a, b) < 0; });
    return sorted;
  }

  std::uint32_t locale_ = 0;
  vdb::TStrCmpOptions options_ = 0;
  std::uint32_t codePage_ = 0;
  std::vector<std::string> headwords_;
};

TEST_F(LexiconOrder, IsAStrictWeakOrderOverAllHeadwords) {
  ASSERT_EQ(headwords_.size(), 1752u);
  const std::vector<std::string> sorted = Sorted();
  // Every pair agrees with the sorted order in both directions, and only headwords that differ
  // in letter case alone compare equal.
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    for (std::size_t j = i + 1; j < sorted.size(); ++j) {
      const int forward = Compare(sorted[i], sorted[j]);
      ASSERT_LE(forward, 0) << Show(sorted[i]) << " / " << Show(sorted[j]);
      if (j == i + 1 || forward == 0) {
        ASSERT_EQ(Compare(sorted[j], sorted[i]), -forward)
            << Show(sorted[j]) << " / " << Show(sorted[i]);
      }
      if (forward == 0) {
        EXPECT_EQ(Upper(sorted[i]), Upper(sorted[j]))
            << Show(sorted[i]) << " equals " << Show(sorted[j]);
      }
    }
  }
}

TEST_F(LexiconOrder, PlacesTheKnownHeadwords) {
  const std::vector<std::string> sorted = Sorted();
  auto position = [&](const std::string& Utf8) {
    const auto it = std::find(sorted.begin(), sorted.end(), Ansi(Utf8));
    EXPECT_NE(it, sorted.end()) << Utf8;
    return it - sorted.begin();
  };
  const std::vector<std::vector<std::string>> orders = {
      {"A szél", "Abajgatni"},
      {"Acsarkodik", "Ácsorog"},
      {"Ádázát", "Ág", "Agancs"},
      {"Agancs", "Agancs karimája", "Agancsár", "Agancs-csörtölés", "Agancsfelrakás"},
  };
  for (const auto& order : orders) {
    for (std::size_t i = 0; i + 1 < order.size(); ++i)
      EXPECT_LT(position(order[i]), position(order[i + 1])) << order[i] << " < " << order[i + 1];
  }
  // The whole run of Agancs headwords, in the Hungarian letters (cs, gy, s before sz).
  const std::vector<std::string> run = {
      "Agancs",         "Agancs karimája", "Agancsár",       "Agancs-csörtölés",
      "Agancsfejlődés", "Agancsfelrakás",  "Agancsgyűjtés",  "Agancshullatás",
      "Agancsrendellenesség", "Agancssúly", "Agancsszár",    "Agancsszín",
      "Agancstérfogat", "Agancstő",        "Agár",           "Agarászat"};
  const auto first = position(run.front());
  for (std::size_t i = 0; i < run.size(); ++i) {
    ASSERT_LT(static_cast<std::size_t>(first) + i, sorted.size());
    EXPECT_EQ(Show(sorted[static_cast<std::size_t>(first) + i]), run[i]) << "place " << i;
  }

  // A search key "Agancs" followed by the character 0 lands after every headword that starts
  // with Agancs and before Agár.
  const std::string key = Ansi("Agancs") + '\0';
  const auto bound = std::lower_bound(sorted.begin(), sorted.end(), key,
                                      [this](const std::string& a, const std::string& k) {
                                        return Compare(a, k) < 0;
                                      }) - sorted.begin();
  for (const char* before : {"Agancs", "Agancs karimája", "Agancstő", "Agancs-csörtölés"})
    EXPECT_LT(position(before), bound) << before;
  EXPECT_EQ(position("Agár"), bound);
}

}  // namespace
}  // namespace lexicon
