#include "table/kxLikePattern.h"

#include <algorithm>

namespace vdb {

TkxLikePattern::TkxLikePattern(std::string_view Pattern, int EscapeChar, char MultiJoker, char SingleJoker,
                               TStrCmpOptions Options, std::uint32_t LocaleId, const TkxByteCollation* Collation)
    : pattern_(Pattern), escape_(NormalEscape(EscapeChar)), multi_(MultiJoker), single_(SingleJoker),
      options_(Options), locale_(LocaleId), collation_(Collation) {
  Parse();
}

int TkxLikePattern::NormalEscape(int EscapeChar) {
  if (EscapeChar < -1 && EscapeChar >= -128) return EscapeChar & 0xFF;
  return EscapeChar;
}

bool TkxLikePattern::IsFor(std::string_view Pattern, int EscapeChar, char MultiJoker, char SingleJoker,
                           TStrCmpOptions Options, std::uint32_t LocaleId, const TkxByteCollation* Collation) const {
  return Pattern == pattern_ && NormalEscape(EscapeChar) == escape_ && MultiJoker == multi_ &&
         SingleJoker == single_ && Options == options_ && LocaleId == locale_ && Collation == collation_;
}

// The multi-joker comes first, then the single joker, then the escape character, so a joker
// that is also the escape character stays a joker. An escape character at the very end leaves
// an empty run.
void TkxLikePattern::Parse() {
  const auto len = static_cast<std::int32_t>(pattern_.size());
  std::int32_t r = 0;
  while (r < len) {
    TElement element;
    if (pattern_[r] == multi_) {
      element.Kind = TKind::Multi;
      while (r < len && pattern_[r] == multi_) ++r;
    } else if (pattern_[r] == single_) {
      element.Kind = TKind::Single;
      ++r;
    } else {
      std::int32_t start = r;
      if (IsEscape(pattern_[r])) ++start;  // the escaped character is taken literally
      std::int32_t end = start < len ? start + 1 : start;
      while (end < len && !IsSpecial(pattern_[end])) ++end;
      element.Start = start;
      element.Length = end - start;
      element.StartBytes.fill(1);
      if (collation_ != nullptr && element.Length > 0)
        collation_->StartBytes(pattern_.data() + start, element.Length, element.StartBytes);
      if (collation_ != nullptr && element.Length > 1 &&
          collation_->IsSingleLetter(static_cast<unsigned char>(pattern_[start]))) {
        element.HasSecondBytes = true;
        collation_->StartBytes(pattern_.data() + start + 1, element.Length - 1, element.SecondBytes);
      }
      r = end;
    }
    elements_.push_back(element);
  }
}

bool TkxLikePattern::LiteralAt(const TElement& Run, const char* Value, std::int32_t ValueLen, std::int32_t Pos) const {
  const char* run = pattern_.data() + Run.Start;
  if (collation_ != nullptr && Run.Length > 0) {
    // The value piece has the run's length; a shorter rest of the value never equals the run.
    if (ValueLen - Pos < Run.Length) return false;
    const int quick = collation_->Compare(Value + Pos, Run.Length, run, Run.Length);
    if (quick != TkxByteCollation::kUndecided) return quick == 0;
  }
  std::int32_t used = 0;
  return ComparePrefix(Value + Pos, ValueLen - Pos, run, Run.Length, options_ | scoLigatureSensitive, locale_,
                       used) == 0;
}

std::int32_t TkxLikePattern::Candidate(const TElement& Next, const char* Value, std::int32_t ValueLen,
                                       std::int32_t Pos) const {
  if (Next.Kind != TKind::Literal) return Pos;
  const auto* v = reinterpret_cast<const unsigned char*>(Value);
  const std::uint8_t* can = Next.StartBytes.data();
  while (true) {
    // Eight bytes at a time: most stretches of text hold no byte that can start the run.
    while (Pos + 8 <= ValueLen) {
      const unsigned char* p = v + Pos;
      if ((can[p[0]] | can[p[1]] | can[p[2]] | can[p[3]] | can[p[4]] | can[p[5]] | can[p[6]] | can[p[7]]) != 0)
        break;
      Pos += 8;
    }
    while (Pos < ValueLen && can[v[Pos]] == 0) ++Pos;
    // A single letter that can start the run, followed by one that cannot go on with it.
    if (Next.HasSecondBytes && Pos + 1 < ValueLen && collation_->IsSingleLetter(v[Pos]) &&
        Next.SecondBytes[v[Pos + 1]] == 0) {
      ++Pos;
      continue;
    }
    return Pos;
  }
}

// Every literal run and single joker consumes a fixed number of value characters, so after a
// failure it is enough to let the last multi-joker stand for one character more (the segment
// between two multi-jokers is best matched at its leftmost place). This keeps the matcher
// linear in the number of tries instead of exponential in the number of multi-jokers.
bool TkxLikePattern::Matches(const char* Value, std::int32_t ValueLen) const {
  ValueLen = std::max<std::int32_t>(ValueLen, 0);
  const auto count = static_cast<std::int32_t>(elements_.size());
  std::int32_t a = 0, e = 0;
  std::int32_t jokerE = -1, jokerA = 0;  // the element after the last multi-joker, and its value position
  while (true) {
    if (e < count && elements_[e].Kind == TKind::Multi) {
      if (++e >= count) return true;
      jokerE = e;
      jokerA = a = Candidate(elements_[e], Value, ValueLen, a);
      continue;
    }
    bool advanced = false;
    if (e >= count) {
      if (a >= ValueLen) return true;
    } else if (elements_[e].Kind == TKind::Single) {
      if (a < ValueLen) {
        ++a;
        ++e;
        advanced = true;
      }
    } else if (a < ValueLen && LiteralAt(elements_[e], Value, ValueLen, a)) {
      a += std::min(elements_[e].Length, ValueLen - a);
      ++e;
      advanced = true;
    }
    if (advanced) continue;
    if (jokerE < 0 || jokerA >= ValueLen) return false;
    jokerA = a = Candidate(elements_[jokerE], Value, ValueLen, jokerA + 1);
    e = jokerE;
  }
}

}  // namespace vdb
