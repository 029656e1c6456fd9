// What one ICU collator does with the 256 characters of a single-byte code page, worked out once
// so that comparisons of 8-bit text can settle most cases without decoding the text or calling
// the collator.
//
// A collator turns text into collation elements; the primary (letter) weights of those elements
// decide first, whatever the strength. For each byte the tables hold the primary weights of the
// character alone and the contractions it can start (the Hungarian cs, dzs, ly, ccs ...), read
// from the collator. Walking two strings unit by unit (a character, or a contraction the
// collator would form there) gives their primary weights in order; the first difference decides
// the comparison. Whatever the tables do not model (characters whose weight depends on the one
// before, the prefix marker 0, combining marks, reordered scripts, numeric or shifted sorting)
// leaves the answer undecided, and the caller asks the collator itself.
#pragma once

#include <unicode/ucol.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vdb {

class TkxByteCollation {
 public:
  // Compare's answer when the primary weights do not settle the order.
  static constexpr int kUndecided = 2;

  // ToUnicode maps each byte of the code page to its UTF-16 unit.
  TkxByteCollation(const UCollator* Collator, const std::array<char16_t, 256>& ToUnicode);

  // False when the collator sorts in a way the tables do not model; nothing else may be used then.
  bool Usable() const { return usable_; }

  // Whether the byte is always a unit of its own with one primary weight (no contraction, no
  // expansion, not ignorable).
  bool IsSingleLetter(unsigned char Byte) const { return simple_[Byte] == TSimple::Always; }

  // -1 or 1 when the primary weights differ (the collator would answer the same), 0 when the
  // strings are the same bytes, kUndecided otherwise.
  int Compare(const char* S1, std::int32_t Len1, const char* S2, std::int32_t Len2) const;

  // Marks (1) the bytes that can start text equal to Literal under the collator (at any strength);
  // text starting with an unmarked byte never equals it.
  void StartBytes(const char* Literal, std::int32_t Len, std::array<std::uint8_t, 256>& Out) const;

 private:
  // The collation elements of one unit, reduced to what the walk needs.
  struct TWeights {
    std::uint32_t FirstPrimary = 0;  // 0 when the unit has no primary weight
    std::uint8_t Primaries = 0;      // number of primary weights (capped)
  };
  static constexpr std::size_t kLongestContraction = 8;
  struct TContraction {
    std::array<unsigned char, kLongestContraction> Bytes{};  // in the code page
    std::int32_t Length = 0;                                // two or more
    TWeights Weights;
  };
  enum class TKind : std::uint8_t { Plain, Start, Unknown };
  // One step of the walk: the unit at a position of a string.
  struct TUnit {
    std::int32_t Start = 0, Length = 0;
    TWeights Weights;
  };

  static std::optional<TWeights> WeightsOf(const UCollator* Collator, const char16_t* Text, std::int32_t Len);
  static bool IsContraction(const UCollator* Collator, const std::u16string& Text);
  void ReadContractions(const UCollator* Collator, const std::array<char16_t, 256>& ToUnicode);
  bool Encode(const char16_t* Text, std::int32_t Len, const std::array<char16_t, 256>& ToUnicode,
              std::string& Bytes) const;
  // The next unit with a primary weight at or after Pos; false when one of unknown weight comes
  // first. Length 0 when the string ends before one.
  bool NextPrimaryUnit(const unsigned char* S, std::int32_t Len, std::int32_t& Pos, TUnit& Unit) const;
  TUnit UnitAt(const unsigned char* S, std::int32_t Len, std::int32_t Pos) const;
  // The primary weight of the unit at Pos when it is one byte with one primary weight, else 0.
  std::uint32_t SimplePrimary(const unsigned char* S, std::int32_t Len, std::int32_t Pos) const {
    const unsigned char b = S[Pos];
    if (simple_[b] == TSimple::Always) return primary_[b];
    if (simple_[b] == TSimple::Alone && (Pos + 1 >= Len || pairs_[b * 256u + S[Pos + 1]] == 0)) return primary_[b];
    return 0;
  }

  bool usable_ = false;
  std::array<TKind, 256> kind_{};
  // Bytes with exactly one primary weight (the common case): always a unit by themselves, or
  // when no contraction starts with them and the byte after them.
  enum class TSimple : std::uint8_t { Never, Always, Alone };
  std::array<TSimple, 256> simple_{};
  std::array<std::uint32_t, 256> primary_{};
  // Bytes that occur inside a contraction after its first character: a contraction may reach
  // back over them.
  std::array<bool, 256> inside_{};
  // [first * 256 + second]: 1 + the index in pairLists_ of the contractions that start with
  // these two bytes (longest first), 0 for none.
  std::vector<std::uint16_t> pairs_ = std::vector<std::uint16_t>(65536);
  std::vector<std::vector<TContraction>> pairLists_;
  std::array<TWeights, 256> own_{};
  std::array<std::vector<TContraction>, 256> contractions_;  // longest first
  std::vector<std::pair<char16_t, std::uint8_t>> fromUnicode_;  // sorted, for Encode
};

}  // namespace vdb
