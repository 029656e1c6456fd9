// Shared pieces of the tests of the table-driven 8-bit comparison and LIKE matcher: collations
// by name, both implementations side by side with the reference, and random Hungarian text heavy
// in what the collation treats specially.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "kxStrUtilsReference.h"
#include "table/kxStrUtils.h"

namespace vdb::test {

struct TCollation {
  std::string Name;
  std::uint32_t Locale = 0;
  TStrCmpOptions Options = 0;
  explicit TCollation(std::string_view CollationName) : Name(CollationName) {
    EXPECT_TRUE(ParseCollationName(CollationName, Locale, Options)) << CollationName;
  }
  std::string Ansi(const std::string& Utf8) const { return Utf8ToAnsi(Utf8, LocaleCodePage(Locale)); }
};

inline int Compare8(const std::string& A, const std::string& B, const TCollation& C) {
  return CompareCollated(A.data(), static_cast<std::int32_t>(A.size()), B.data(), static_cast<std::int32_t>(B.size()),
                         C.Options, C.Locale);
}

inline int ReferenceCompare8(const std::string& A, const std::string& B, const TCollation& C) {
  return reference::ReferenceCompareCollated(A.data(), static_cast<std::int32_t>(A.size()), B.data(),
                                             static_cast<std::int32_t>(B.size()), C.Options, C.Locale);
}

inline bool Like8(const std::string& Value, const std::string& Pattern, const TCollation& C, int Escape) {
  return MatchesPattern(Value.data(), static_cast<std::int32_t>(Value.size()), Pattern.data(),
                        static_cast<std::int32_t>(Pattern.size()), Escape, '%', '_', C.Options, C.Locale);
}

inline bool ReferenceLike8(const std::string& Value, const std::string& Pattern, const TCollation& C, int Escape) {
  return reference::ReferenceMatchesPattern(Value, Pattern, Escape, '%', '_', C.Options, C.Locale);
}

// Pieces of Hungarian text, heavy in what the collation treats specially: the contractions and
// their doubled forms in all letter cases, accents, the ignorable hyphen and apostrophe, the
// middle dot (which some collations weigh by the letter before it) and the character 0.
inline const std::vector<std::string>& Pieces() {
  static const std::vector<std::string> pieces = {
      "a", "á", "A", "Á", "b", "c", "C", "cs", "Cs", "CS", "ccs", "Ccs", "d", "dz", "dzs", "DZS", "ddzs", "e",
      "é", "É", "g", "gy", "Gy", "ggy", "l", "ly", "lly", "L", "n", "ny", "nny", "o", "ó", "ö", "ő", "Ő", "O",
      "s", "S", "sz", "Sz", "ssz", "t", "ty", "tty", "u", "ú", "ü", "ű", "z", "zs", "Zs", "zzs", "y", "Y",
      "i", "í", "k", "r", "R", "v", "-", "'", " ", "·", "ß", "š", "ř", ".", "1"};
  return pieces;
}

inline std::string RandomText(std::mt19937& Random, int MaxPieces) {
  const auto& pieces = Pieces();
  std::uniform_int_distribution<int> count(0, MaxPieces), pick(0, static_cast<int>(pieces.size()) - 1);
  std::string text;
  for (int n = count(Random); n > 0; --n) text += pieces[static_cast<std::size_t>(pick(Random))];
  return text;
}

// A LIKE makes the locale's byte tables at once; comparisons use them from then on (otherwise
// only after many comparisons), so each test starts with one.
inline void MakeByteTables(const TCollation& C) { Like8("", "%x%", C, -1); }

// The collations the differential tests run under: contractions (Hungarian, Czech, Danish),
// prefix rules (Catalan), other code pages (Polish, Czech 1250; Turkish 1254).
inline auto ByteTableCollations() {
  return testing::Values("Hungarian_ci_as", "Hungarian_CS", "Hungarian_ci_ai", "English", "German_ci_ai", "Czech",
                         "Polish_ci_as", "Turkish", "Catalan", "Danish");
}

// The same and the engine's own collation, which has no byte tables.
inline auto AllCollations() {
  return testing::Values("Hungarian_ci_as", "Hungarian_CS", "Hungarian_ci_ai", "English", "German_ci_ai", "Czech",
                         "Polish_ci_as", "Turkish", "Catalan", "Danish", "VeskorDB", "VeskorDB_CI");
}

inline std::string CollationTestName(const testing::TestParamInfo<const char*>& Info) {
  std::string name = Info.param;
  for (char& c : name)
    if (c == '_') c = 'x';
  return name;
}

}  // namespace vdb::test
