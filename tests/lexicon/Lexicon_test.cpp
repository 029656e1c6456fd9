// Checks of the lexicon's source file, app/lexicon/Lexikon.csv, and of its CSV reader.
#include <gtest/gtest.h>
#include <unicode/ucnv.h>
#include <unicode/unistr.h>

#include <map>
#include <memory>
#include <regex>
#include <set>

#include "LexiconCsv.h"

namespace lexicon {
namespace {

const std::string kLexiconPath = std::string(VDB_SOURCE_DIR) + "/app/lexicon/Lexikon.csv";

std::size_t CharCount(const std::string& utf8) {
  return static_cast<std::size_t>(icu::UnicodeString::fromUTF8(utf8).countChar32());
}

// True when every character of Text has a Windows-1250 code.
bool EncodableIn1250(const std::string& text) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UConverter, decltype(&ucnv_close)> conv(ucnv_open("windows-1250", &status),
                                                          &ucnv_close);
  if (U_FAILURE(status)) return false;
  ucnv_setFromUCallBack(conv.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                        &status);
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
  std::string out(static_cast<std::size_t>(u.length()) * 2 + 1, '\0');
  u.extract(out.data(), static_cast<int32_t>(out.size()), conv.get(), status);
  return U_SUCCESS(status);
}

// The headwords named by "lásd: X" references in a description.
std::vector<std::string> CrossReferences(const std::string& description) {
  static const std::regex reference("lásd: ([^.,;)\\n]+)");
  std::vector<std::string> targets;
  for (std::sregex_iterator it(description.begin(), description.end(), reference), end;
       it != end; ++it) {
    std::string target = (*it)[1];
    while (!target.empty() && target.back() == ' ') target.pop_back();
    targets.push_back(target);
  }
  return targets;
}

TEST(LexiconCsv, ParsesQuotedFieldsAndLineBreaks) {
  auto entries = ParseLexiconCsv(
      "CIMSZO,LEIRAS\r\n"
      "Agancs,\"A szarvasfélék csontos fejdísze, évente hullatják.\"\r\n"
      "\"Agancs karimája\",\"Első sor\nmásodik \"\"idézett\"\" sor\"\n"
      "Ág,egyszerű\n");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].description, "A szarvasfélék csontos fejdísze, évente hullatják.");
  EXPECT_EQ(entries[1].headword, "Agancs karimája");
  EXPECT_EQ(entries[1].description, "Első sor\nmásodik \"idézett\" sor");
  EXPECT_EQ(entries[2].line, 5);
  EXPECT_EQ(CsvField("a,\"b\"\nc"), "\"a,\"\"b\"\"\nc\"");
  EXPECT_EQ(ParseLexiconCsv(CsvField("CIMSZO") + "," + "LEIRAS\n" + CsvField("x,\"y") + "," +
                            CsvField("l\n\"m\""))[0].headword,
            "x,\"y");
}

TEST(LexiconCsv, RejectsMalformedInput) {
  const char* bad[] = {
      "",                                  // no header
      "CIMSZO;LEIRAS\n",                   // wrong header
      "CIMSZO,LEIRAS\nA,\"open\n",         // unclosed quote
      "CIMSZO,LEIRAS\nA,b,c\n",            // three fields
      "CIMSZO,LEIRAS\nA\n",                // one field
      "CIMSZO,LEIRAS\nA,\"x\"y\n",         // text after a closing quote
      "CIMSZO,LEIRAS\nA,x\"y\n",           // stray quote
  };
  for (const char* text : bad) EXPECT_THROW(ParseLexiconCsv(text), ELexiconFormat) << text;
}

class LexiconFile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { entries_ = ReadLexiconCsv(kLexiconPath); }
  static std::vector<LexiconEntry> entries_;
};
std::vector<LexiconEntry> LexiconFile::entries_;

TEST_F(LexiconFile, EveryEntryIsWellFormed) {
  std::map<std::string, int> seen;
  for (const auto& e : entries_) {
    SCOPED_TRACE("line " + std::to_string(e.line) + ": " + e.headword);
    EXPECT_FALSE(e.headword.empty());
    EXPECT_EQ(e.headword.find_first_of("\r\n"), std::string::npos);
    EXPECT_LE(CharCount(e.headword), 150u);
    EXPECT_FALSE(e.description.empty());
    EXPECT_TRUE(EncodableIn1250(e.headword));
    EXPECT_TRUE(EncodableIn1250(e.description));
    auto [it, fresh] = seen.emplace(e.headword, e.line);
    EXPECT_TRUE(fresh) << "also on line " << it->second;
  }
}

TEST_F(LexiconFile, CrossReferencesNameExistingHeadwords) {
  std::set<std::string> headwords;
  for (const auto& e : entries_) headwords.insert(e.headword);
  for (const auto& e : entries_)
    for (const auto& target : CrossReferences(e.description))
      EXPECT_TRUE(headwords.count(target)) << e.headword << " -> lásd: " << target;
}

TEST_F(LexiconFile, HoldsTheHeadwordsTheWindowIsKnownBy) {
  std::set<std::string> headwords;
  for (const auto& e : entries_) headwords.insert(e.headword);
  for (const char* h : {"Abajgatni", "Acsarkodik", "Ácsorog", "Ádázát", "Ág", "Agancs",
                        "Agancs karimája", "Agancsár", "Agancs-csörtölés", "Agancsfelrakás",
                        "Agancstő", "Agár", "Róka"})
    EXPECT_TRUE(headwords.count(h)) << h;
  auto any = [&](auto pred) {
    return std::any_of(entries_.begin(), entries_.end(), pred);
  };
  EXPECT_TRUE(any([](const LexiconEntry& e) {  // "A", a blank and one word
    return e.headword.size() > 2 && e.headword.compare(0, 2, "A ") == 0 &&
           e.headword.find(' ', 2) == std::string::npos;
  }));
  EXPECT_TRUE(any([](const LexiconEntry& e) { return e.headword.find("róka") != std::string::npos; }));
  EXPECT_TRUE(any([](const LexiconEntry& e) { return e.description.find("róka") != std::string::npos; }));
  EXPECT_TRUE(any([](const LexiconEntry& e) { return e.description.find("tölés") != std::string::npos; }));
}

TEST_F(LexiconFile, HasTheSizeAndTheLongDescriptionsOfARealLexicon) {
  std::size_t over252 = 0, over2000 = 0, longest = 0;
  for (const auto& e : entries_) {
    std::size_t n = CharCount(e.description);
    over252 += n > 252;
    over2000 += n > 2000;
    longest = std::max(longest, n);
  }
  EXPECT_GE(entries_.size(), 1500u);
  EXPECT_GE(over252, 100u);
  EXPECT_GE(over2000, 3u);
  EXPECT_GE(longest, 4000u);  // one long article
}

}  // namespace
}  // namespace lexicon
