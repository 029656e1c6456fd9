#include "table/kxLikePattern.h"

#include <algorithm>

#if defined(__x86_64__)
#include <tmmintrin.h>
#endif

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
      MakeNibbleRows(element);
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
  while (true) {
    Pos = ScanForStart(Next, v, ValueLen, Pos);
    // A single letter that can start the run, followed by one that cannot go on with it.
    if (Next.HasSecondBytes && Pos + 1 < ValueLen && collation_->IsSingleLetter(v[Pos]) &&
        Next.SecondBytes[v[Pos + 1]] == 0) {
      ++Pos;
      continue;
    }
    return Pos;
  }
}

void TkxLikePattern::MakeNibbleRows(TElement& Run) {
  for (int b = 0; b < 256; ++b) {
    if (Run.StartBytes[b] == 0) continue;
    auto& row = b < 128 ? Run.Low : Run.High;
    row[b & 15] = static_cast<std::uint8_t>(row[b & 15] | (1u << ((b >> 4) & 7)));
  }
}

namespace {

#if defined(__x86_64__)
// Sixteen bytes at a time by nibble lookups: the first position from Pos whose byte can start
// the run, or the position where fewer than sixteen bytes are left.
__attribute__((target("ssse3"))) std::int32_t ScanSixteen(const std::uint8_t* LowRow, const std::uint8_t* HighRow,
                                                          const unsigned char* Value, std::int32_t ValueLen,
                                                          std::int32_t Pos) {
  const __m128i low = _mm_load_si128(reinterpret_cast<const __m128i*>(LowRow));
  const __m128i high = _mm_load_si128(reinterpret_cast<const __m128i*>(HighRow));
  const __m128i bits = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i seven = _mm_set1_epi8(7);
  for (; Pos + 16 <= ValueLen; Pos += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Value + Pos));
    const __m128i lo = _mm_and_si128(block, nibble);
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(block, 4), nibble);
    const __m128i upper = _mm_cmpgt_epi8(hi, seven);
    const __m128i row = _mm_or_si128(_mm_andnot_si128(upper, _mm_shuffle_epi8(low, lo)),
                                     _mm_and_si128(upper, _mm_shuffle_epi8(high, lo)));
    const __m128i hit = _mm_and_si128(row, _mm_shuffle_epi8(bits, hi));
    const unsigned none = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(hit, _mm_setzero_si128())));
    if (none != 0xFFFFu) return Pos + __builtin_ctz(~none);
  }
  return Pos;
}
#endif

}  // namespace

std::int32_t TkxLikePattern::ScanForStart(const TElement& Run, const unsigned char* Value, std::int32_t ValueLen,
                                          std::int32_t Pos) {
  const std::uint8_t* can = Run.StartBytes.data();
#if defined(__x86_64__)
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3) {
    Pos = ScanSixteen(Run.Low.data(), Run.High.data(), Value, ValueLen, Pos);
    if (Pos + 16 <= ValueLen) return Pos;
  }
#endif
  // Eight bytes at a time: most stretches of text hold no byte that can start the run.
  while (Pos + 8 <= ValueLen) {
    const unsigned char* p = Value + Pos;
    if ((can[p[0]] | can[p[1]] | can[p[2]] | can[p[3]] | can[p[4]] | can[p[5]] | can[p[6]] | can[p[7]]) != 0) break;
    Pos += 8;
  }
  while (Pos < ValueLen && can[Value[Pos]] == 0) ++Pos;
  return Pos;
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
