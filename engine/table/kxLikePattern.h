// A LIKE pattern over 8-bit text, taken apart once and matched against many values.
//
// The answers are those of the plain matcher: literal runs compare under the collation with
// ComparePrefix (ligature-sensitive), the multi-joker stands for any number of characters, the
// single joker for one, the escape character makes the next one literal. What changes is the
// cost: where the collation has byte tables, a value position whose byte cannot begin the run is
// passed over without a comparison, and most runs are accepted (same bytes) or refused
// (different letters) from the tables; only the rest go through the collator.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "table/kxByteCollation.h"
#include "table/kxStrUtils.h"

namespace vdb {

class TkxLikePattern {
 public:
  // Collation may be null (the engine collation, or a code page without tables): every run then
  // goes through ComparePrefix.
  TkxLikePattern(std::string_view Pattern, int EscapeChar, char MultiJoker, char SingleJoker,
                 TStrCmpOptions Options, std::uint32_t LocaleId, const TkxByteCollation* Collation);

  bool Matches(const char* Value, std::int32_t ValueLen) const;

  // Whether this is the pattern built from these arguments (for reusing it on the next value).
  bool IsFor(std::string_view Pattern, int EscapeChar, char MultiJoker, char SingleJoker,
             TStrCmpOptions Options, std::uint32_t LocaleId, const TkxByteCollation* Collation) const;

  // An 8-bit escape character that came through a signed char still means its byte; -1 is none.
  static int NormalEscape(int EscapeChar);

 private:
  enum class TKind : std::uint8_t { Multi, Single, Literal };
  struct TElement {
    TKind Kind = TKind::Literal;
    std::int32_t Start = 0, Length = 0;  // the literal run in the pattern
    std::array<std::uint8_t, 256> StartBytes{};  // 1 for the bytes at which the run can match
    // When the run starts with a single letter: 1 for the bytes that can follow a single letter
    // at a place where the run matches.
    bool HasSecondBytes = false;
    std::array<std::uint8_t, 256> SecondBytes{};
    // StartBytes as two 16-byte rows by low nibble: bit h of Low[l] (High[l]) says whether the
    // byte with high nibble h (h + 8) and low nibble l can start the run; for scanning sixteen
    // bytes at a time.
    alignas(16) std::array<std::uint8_t, 16> Low{}, High{};
  };

  void Parse();
  bool IsEscape(char C) const { return escape_ >= 0 && static_cast<unsigned char>(C) == escape_; }
  bool IsSpecial(char C) const { return C == multi_ || C == single_ || IsEscape(C); }
  bool LiteralAt(const TElement& Run, const char* Value, std::int32_t ValueLen, std::int32_t Pos) const;
  static void MakeNibbleRows(TElement& Run);
  // The first position from Pos whose byte can start the run.
  static std::int32_t ScanForStart(const TElement& Run, const unsigned char* Value, std::int32_t ValueLen,
                                   std::int32_t Pos);
  // The first position from Pos at which the element after a multi-joker may match.
  std::int32_t Candidate(const TElement& Next, const char* Value, std::int32_t ValueLen, std::int32_t Pos) const;

  std::string pattern_;
  int escape_;
  char multi_, single_;
  TStrCmpOptions options_;
  std::uint32_t locale_;
  const TkxByteCollation* collation_;
  std::vector<TElement> elements_;
};

}  // namespace vdb
