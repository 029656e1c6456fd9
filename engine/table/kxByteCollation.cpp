#include "table/kxByteCollation.h"

#include <unicode/uchar.h>
#include <unicode/ucoleitr.h>
#include <unicode/uset.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

namespace vdb {

namespace {

struct TSetCloser {
  void operator()(USet* S) const { uset_close(S); }
};
using TSetPtr = std::unique_ptr<USet, TSetCloser>;

struct TElementsCloser {
  void operator()(UCollationElements* E) const { ucol_closeElements(E); }
};
using TElementsPtr = std::unique_ptr<UCollationElements, TElementsCloser>;

// ICU hands out 64-bit collation elements as 32-bit halves; the second half of a long primary
// carries this marker in its low bits.
bool IsContinuation(std::uint32_t Element) { return (Element & 0xC0) == 0xC0; }

// The strings of a set (its single code points are not needed here).
std::vector<std::u16string> SetStrings(const USet* Set) {
  std::vector<std::u16string> result;
  for (std::int32_t i = 0, n = uset_getItemCount(Set); i < n; ++i) {
    UChar32 from, to;
    UChar text[32];
    UErrorCode status = U_ZERO_ERROR;
    const std::int32_t len = uset_getItem(Set, i, &from, &to, text, 32, &status);
    if (U_SUCCESS(status) && len > 0)
      result.emplace_back(reinterpret_cast<const char16_t*>(text), static_cast<std::size_t>(len));
  }
  return result;
}

}  // namespace

TkxByteCollation::TkxByteCollation(const UCollator* Collator, const std::array<char16_t, 256>& ToUnicode) {
  UErrorCode status = U_ZERO_ERROR;
  // Reordered scripts, numeric sorting and shifted punctuation change what the primary weights of
  // the elements mean; such collators are always asked directly.
  if (ucol_getReorderCodes(Collator, nullptr, 0, &status) != 0) return;
  status = U_ZERO_ERROR;
  if (ucol_getAttribute(Collator, UCOL_ALTERNATE_HANDLING, &status) == UCOL_SHIFTED ||
      ucol_getAttribute(Collator, UCOL_NUMERIC_COLLATION, &status) == UCOL_ON || U_FAILURE(status))
    return;
  for (int b = 0; b < 256; ++b) {
    const char16_t u = ToUnicode[b];
    // Combining marks can join or reorder with the character before them.
    if (u_getIntPropertyValue(u, UCHAR_LEAD_CANONICAL_COMBINING_CLASS) != 0) return;
    fromUnicode_.emplace_back(u, static_cast<std::uint8_t>(b));
    const std::optional<TWeights> weights = U16_IS_SURROGATE(u) ? std::nullopt : WeightsOf(Collator, &u, 1);
    if (weights) own_[b] = *weights;
    else kind_[b] = TKind::Unknown;
  }
  std::sort(fromUnicode_.begin(), fromUnicode_.end());
  // A trailing character 0 makes a comparison a prefix comparison.
  kind_[0] = TKind::Unknown;
  ReadContractions(Collator, ToUnicode);
  for (int b = 0; b < 256; ++b) {
    primary_[b] = own_[b].FirstPrimary;
    if (own_[b].Primaries == 1 && kind_[b] != TKind::Unknown)
      simple_[b] = kind_[b] == TKind::Plain ? TSimple::Always : TSimple::Alone;
  }
  usable_ = true;
}

std::optional<TkxByteCollation::TWeights> TkxByteCollation::WeightsOf(const UCollator* Collator, const char16_t* Text,
                                                       std::int32_t Len) {
  UErrorCode status = U_ZERO_ERROR;
  TElementsPtr elements(ucol_openElements(Collator, reinterpret_cast<const UChar*>(Text), Len, &status));
  if (U_FAILURE(status)) return std::nullopt;
  TWeights weights;
  bool afterFirstPrimary = false;
  for (std::int32_t e = ucol_next(elements.get(), &status); e != UCOL_NULLORDER && U_SUCCESS(status);
       e = ucol_next(elements.get(), &status)) {
    const auto element = static_cast<std::uint32_t>(e);
    if (IsContinuation(element)) {
      if (afterFirstPrimary) weights.FirstPrimary |= element >> 16;
      afterFirstPrimary = false;
      continue;
    }
    afterFirstPrimary = false;
    if ((element >> 16) == 0) continue;
    if (weights.Primaries == 0) {
      weights.FirstPrimary = element & 0xFFFF0000u;
      afterFirstPrimary = true;
    }
    if (weights.Primaries < 255) ++weights.Primaries;
  }
  if (U_FAILURE(status)) return std::nullopt;
  return weights;
}

bool TkxByteCollation::Encode(const char16_t* Text, std::int32_t Len, const std::array<char16_t, 256>& ToUnicode,
                              std::string& Bytes) const {
  Bytes.clear();
  for (std::int32_t i = 0; i < Len; ++i) {
    auto it = std::lower_bound(fromUnicode_.begin(), fromUnicode_.end(), std::make_pair(Text[i], std::uint8_t{0}));
    if (it == fromUnicode_.end() || it->first != Text[i] || ToUnicode[it->second] != Text[i]) return false;
    Bytes.push_back(static_cast<char>(it->second));
  }
  return true;
}

// The contractions the code page can spell, and the characters whose weight depends on the
// one before them (prefix rules, such as the Catalan middle dot after l). ICU lists both as
// strings; a contraction yields its first collation element only after reading all of itself.
void TkxByteCollation::ReadContractions(const UCollator* Collator, const std::array<char16_t, 256>& ToUnicode) {
  UErrorCode status = U_ZERO_ERROR;
  TSetPtr strings(uset_openEmpty());
  ucol_getContractionsAndExpansions(Collator, strings.get(), nullptr, true, &status);
  if (U_FAILURE(status)) {
    kind_.fill(TKind::Unknown);
    return;
  }
  std::string bytes;
  for (const std::u16string& s : SetStrings(strings.get())) {
    if (s.size() < 2 || !Encode(s.data(), static_cast<std::int32_t>(s.size()), ToUnicode, bytes)) continue;
    const auto first = static_cast<unsigned char>(bytes[0]);
    const std::optional<TWeights> weights = WeightsOf(Collator, s.data(), static_cast<std::int32_t>(s.size()));
    if (!weights || bytes.size() > kLongestContraction) {
      kind_[first] = TKind::Unknown;
      continue;
    }
    if (!IsContraction(Collator, s)) {
      // A prefix rule: the last character is weighed by those before it, which keep their own weight.
      for (std::size_t i = 1; i < bytes.size(); ++i) kind_[static_cast<unsigned char>(bytes[i])] = TKind::Unknown;
      continue;
    }
    if (kind_[first] == TKind::Unknown) continue;
    TContraction contraction;
    std::copy(bytes.begin(), bytes.end(), contraction.Bytes.begin());
    contraction.Length = static_cast<std::int32_t>(bytes.size());
    contraction.Weights = *weights;
    contractions_[first].push_back(contraction);
    kind_[first] = TKind::Start;
    for (std::size_t i = 1; i < bytes.size(); ++i) inside_[static_cast<unsigned char>(bytes[i])] = true;
  }
  for (auto& list : contractions_) {
    std::stable_sort(list.begin(), list.end(),
                     [](const TContraction& A, const TContraction& B) { return A.Length > B.Length; });
    for (const TContraction& c : list) {
      std::uint16_t& pair = pairs_[c.Bytes[0] * 256u + c.Bytes[1]];
      if (pair == 0) {
        pairLists_.emplace_back();
        pair = static_cast<std::uint16_t>(pairLists_.size());
      }
      pairLists_[pair - 1u].push_back(c);
    }
  }
}

bool TkxByteCollation::IsContraction(const UCollator* Collator, const std::u16string& Text) {
  UErrorCode status = U_ZERO_ERROR;
  const auto len = static_cast<std::int32_t>(Text.size());
  TElementsPtr elements(ucol_openElements(Collator, reinterpret_cast<const UChar*>(Text.data()), len, &status));
  if (U_FAILURE(status) || ucol_next(elements.get(), &status) == UCOL_NULLORDER || U_FAILURE(status)) return false;
  return ucol_getOffset(elements.get()) == len;
}

// The collator forms the longest contraction that the text spells from here, else takes the
// character alone.
TkxByteCollation::TUnit TkxByteCollation::UnitAt(const unsigned char* S, std::int32_t Len, std::int32_t Pos) const {
  const unsigned char b = S[Pos];
  const std::uint16_t pair = kind_[b] == TKind::Start && Pos + 1 < Len ? pairs_[b * 256u + S[Pos + 1]] : 0;
  if (pair != 0) {
    for (const TContraction& c : pairLists_[pair - 1u]) {
      if (c.Length > Len - Pos) continue;
      std::int32_t k = 2;
      while (k < c.Length && c.Bytes[k] == S[Pos + k]) ++k;
      if (k == c.Length) return {Pos, c.Length, c.Weights};
    }
  }
  return {Pos, 1, own_[b]};
}

bool TkxByteCollation::NextPrimaryUnit(const unsigned char* S, std::int32_t Len, std::int32_t& Pos,
                                       TUnit& Unit) const {
  while (Pos < Len) {
    if (kind_[S[Pos]] == TKind::Unknown) return false;
    Unit = UnitAt(S, Len, Pos);
    Pos += Unit.Length;
    if (Unit.Weights.Primaries > 0) return true;
  }
  Unit = TUnit{Pos, 0, {}};
  return true;
}

int TkxByteCollation::Compare(const char* S1, std::int32_t Len1, const char* S2, std::int32_t Len2) const {
  const auto* s1 = reinterpret_cast<const unsigned char*>(S1);
  const auto* s2 = reinterpret_cast<const unsigned char*>(S2);
  const std::int32_t common = std::min(Len1, Len2);
  std::int32_t same = 0;
  while (same < common && s1[same] == s2[same]) ++same;
  if (same == common && Len1 == Len2) return 0;
  // The same bytes weigh the same, except where a contraction reaches from them into the first
  // difference: the walk starts at a place no contraction crosses.
  while (same > 0 && ((same < Len1 && inside_[s1[same]]) || (same < Len2 && inside_[s2[same]]))) --same;
  std::int32_t pos1 = same, pos2 = same;
  while (true) {
    // Most steps: one letter against one letter.
    if (pos1 < Len1 && pos2 < Len2) {
      const std::uint32_t p1 = SimplePrimary(s1, Len1, pos1), p2 = SimplePrimary(s2, Len2, pos2);
      if (p1 != 0 && p2 != 0) {
        if (p1 != p2) return p1 < p2 ? -1 : 1;
        ++pos1;
        ++pos2;
        continue;
      }
    }
    TUnit u1, u2;
    if (!NextPrimaryUnit(s1, Len1, pos1, u1) || !NextPrimaryUnit(s2, Len2, pos2, u2)) return kUndecided;
    // Equal letters all through: accents, case or ignored characters decide.
    if (u1.Length == 0 && u2.Length == 0) return kUndecided;
    if (u1.Length == 0) return -1;
    if (u2.Length == 0) return 1;
    if (u1.Weights.FirstPrimary != u2.Weights.FirstPrimary)
      return u1.Weights.FirstPrimary < u2.Weights.FirstPrimary ? -1 : 1;
    if (u1.Weights.Primaries == 1 && u2.Weights.Primaries == 1) continue;
    // Units with further primary weights keep step only when they are the same text.
    const bool same = u1.Length == u2.Length &&
                      std::memcmp(s1 + u1.Start, s2 + u2.Start, static_cast<std::size_t>(u1.Length)) == 0;
    if (!same) return kUndecided;
  }
}

void TkxByteCollation::StartBytes(const char* Literal, std::int32_t Len, std::array<std::uint8_t, 256>& Out) const {
  Out.fill(1);
  std::int32_t pos = 0;
  TUnit first;
  if (!NextPrimaryUnit(reinterpret_cast<const unsigned char*>(Literal), Len, pos, first) || first.Length == 0)
    return;
  const std::uint32_t primary = first.Weights.FirstPrimary;
  auto canStart = [primary](const TWeights& W) { return W.Primaries == 0 || W.FirstPrimary == primary; };
  for (int b = 0; b < 256; ++b) {
    if (kind_[b] == TKind::Unknown) continue;
    bool can = canStart(own_[b]);
    if (kind_[b] == TKind::Start) {
      for (const TContraction& c : contractions_[b]) can = can || canStart(c.Weights);
    }
    Out[b] = can ? 1 : 0;
  }
}

}  // namespace vdb
