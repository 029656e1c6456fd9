// The 8-bit comparison and LIKE matcher as they were before the byte tables, kept as the
// reference that the table-driven ones must agree with: the 8-bit text is converted to UTF-16
// whole, compared by the UTF-16 CompareCollated, and the matcher compares every literal run at
// every value position with ComparePrefix on the converted text. The engine collation (locale
// 512) folds bytes, not characters, and its comparison is the 8-bit one as it always was.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "table/kxStrUtils.h"

namespace vdb::reference {

inline std::u16string Decoded(const char* S, std::int32_t Len, std::uint32_t LocaleId) {
  return AnsiToUtf16(std::string_view(S, static_cast<std::size_t>(std::max<std::int32_t>(Len, 0))),
                     LocaleCodePage(LocaleId));
}

inline int ReferenceCompareCollated(const char* S1, std::int32_t Len1, const char* S2, std::int32_t Len2,
                                    TStrCmpOptions Options, std::uint32_t LocaleId) {
  if (LocaleId == kVdbEngineLocale) return CompareCollated(S1, Len1, S2, Len2, Options, LocaleId);
  const std::u16string a = Decoded(S1, Len1, LocaleId), b = Decoded(S2, Len2, LocaleId);
  return CompareCollated(a.data(), static_cast<std::int32_t>(a.size()), b.data(),
                         static_cast<std::int32_t>(b.size()), Options, LocaleId);
}

inline int ReferenceComparePrefix(const char* Data, std::int32_t DataLen, const char* Pattern,
                                  std::int32_t PatternLen, TStrCmpOptions Options, std::uint32_t LocaleId,
                                  std::int32_t& DataUsed) {
  if (LocaleId == kVdbEngineLocale)
    return ComparePrefix(Data, DataLen, Pattern, PatternLen, Options, LocaleId, DataUsed);
  const std::u16string d = Decoded(Data, DataLen, LocaleId), p = Decoded(Pattern, PatternLen, LocaleId);
  return ComparePrefix(d.data(), static_cast<std::int32_t>(d.size()), p.data(), static_cast<std::int32_t>(p.size()),
                       Options, LocaleId, DataUsed);
}

// The matcher over 8-bit text, literal runs compared one value position after the other.
class TReferencePatternMatcher {
 public:
  TReferencePatternMatcher(const char* Value, std::int32_t ValueLen, const char* Pattern, std::int32_t PatternLen,
                           int EscapeChar, char MultiJoker, char SingleJoker, TStrCmpOptions Options,
                           std::uint32_t LocaleId)
      : value_(Value), valueLen_(std::max<std::int32_t>(ValueLen, 0)), pattern_(Pattern),
        patternLen_(std::max<std::int32_t>(PatternLen, 0)), escape_(NormalEscape(EscapeChar)), multi_(MultiJoker),
        single_(SingleJoker), options_(Options | scoLigatureSensitive), locale_(LocaleId),
        value16_(Decoded(Value, ValueLen, LocaleId)), pattern16_(Decoded(Pattern, PatternLen, LocaleId)) {}

  bool Match() const {
    std::int32_t a = 0, r = 0;
    std::int32_t jokerR = -1, jokerA = 0;
    while (true) {
      bool failed = false;
      if (r < patternLen_ && pattern_[r] == multi_) {
        while (r < patternLen_ && pattern_[r] == multi_) ++r;
        if (r >= patternLen_) return true;
        jokerR = r;
        jokerA = a;
        continue;
      }
      if (r >= patternLen_) {
        if (a >= valueLen_) return true;
        failed = true;
      } else if (pattern_[r] == single_) {
        if (a < valueLen_) {
          ++a;
          ++r;
        } else {
          failed = true;
        }
      } else if (a >= valueLen_) {
        failed = true;
      } else {
        std::int32_t start = r;
        if (IsEscape(pattern_[r])) ++start;
        std::int32_t end = start < patternLen_ ? start + 1 : start;
        while (end < patternLen_ && !IsSpecial(pattern_[end])) ++end;
        std::int32_t used = 0;
        if (ComparePrefixAt(a, start, end - start, used) == 0) {
          a += used;
          r = end;
        } else {
          failed = true;
        }
      }
      if (!failed) continue;
      if (jokerR < 0 || jokerA >= valueLen_) return false;
      a = ++jokerA;
      r = jokerR;
    }
  }

 private:
  static int NormalEscape(int EscapeChar) {
    if (EscapeChar < -1 && EscapeChar >= -128) return EscapeChar & 0xFF;
    return EscapeChar;
  }
  bool IsEscape(char c) const { return escape_ >= 0 && static_cast<unsigned char>(c) == escape_; }
  bool IsSpecial(char c) const { return c == multi_ || c == single_ || IsEscape(c); }
  int ComparePrefixAt(std::int32_t A, std::int32_t Start, std::int32_t Len, std::int32_t& Used) const {
    if (locale_ == kVdbEngineLocale)
      return ReferenceComparePrefix(value_ + A, valueLen_ - A, pattern_ + Start, Len, options_, locale_, Used);
    // The 8-bit ComparePrefix converted both pieces and compared them in UTF-16; the pieces of
    // the text converted once are the same characters.
    return ComparePrefix(value16_.data() + A, valueLen_ - A, pattern16_.data() + Start, Len, options_, locale_, Used);
  }

  const char* value_;
  std::int32_t valueLen_;
  const char* pattern_;
  std::int32_t patternLen_;
  int escape_;
  char multi_, single_;
  TStrCmpOptions options_;
  std::uint32_t locale_;
  std::u16string value16_, pattern16_;
};

inline bool ReferenceMatchesPattern(std::string_view Value, std::string_view Pattern, int EscapeChar, char MultiJoker,
                                    char SingleJoker, TStrCmpOptions Options, std::uint32_t LocaleId) {
  return TReferencePatternMatcher(Value.data(), static_cast<std::int32_t>(Value.size()), Pattern.data(),
                                  static_cast<std::int32_t>(Pattern.size()), EscapeChar, MultiJoker, SingleJoker,
                                  Options, LocaleId)
      .Match();
}

}  // namespace vdb::reference
