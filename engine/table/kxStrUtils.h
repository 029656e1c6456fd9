// Collations and text comparison.
//
// A collation is a Windows locale id plus a set of comparison options. Locale 512 is the engine's
// own collation "VeskorDB", compared by a fixed folding table; every other locale is compared by
// an ICU collator that stands in for the operating system's locale comparison (letter, accent and
// case strengths, per-language contractions, word sort of hyphen and apostrophe).
//
// 8-bit text is in the locale's ANSI code page (LocaleCodePage); lengths are character counts and
// the strings need not be terminated. Comparison results are -1, 0 or 1.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vdb {

enum : std::uint32_t { scoCaseSensitive = 1, scoLigatureSensitive = 2, scoAccentSensitive = 4 };
using TStrCmpOptions = std::uint32_t;
constexpr std::uint32_t kVdbEngineLocale = 512;  // the engine collation "VeskorDB"

// Raised when a locale cannot be compared, mapped or converted on this computer.
class EkxLocaleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Name -> locale and options; false when the language is unknown or the suffixes do not parse.
bool ParseCollationName(std::string_view Name, std::uint32_t& LocaleId, TStrCmpOptions& Options);
// English language name -> Windows locale id (ASCII case ignored); 0 when unknown.
std::uint32_t LocaleFromLanguage(std::string_view LanguageName);
// Windows locale id -> English language name; "VeskorDB" for 512, empty when unknown.
std::string LanguageFromLocale(std::uint32_t LocaleId);
// The locale's Windows ANSI code page (1252 for the engine collation).
std::uint32_t LocaleCodePage(std::uint32_t LocaleId);

int CompareCollated(const char* S1, std::int32_t Len1, const char* S2, std::int32_t Len2,
                    TStrCmpOptions Options, std::uint32_t LocaleId);
int CompareCollated(const char16_t* S1, std::int32_t Len1, const char16_t* S2, std::int32_t Len2,
                    TStrCmpOptions Options, std::uint32_t LocaleId);

// Compares the start of Data with Pattern; 0 when Data starts with Pattern. DataUsed receives the
// number of Data characters that correspond to the pattern.
int ComparePrefix(const char* Data, std::int32_t DataLen, const char* Pattern,
                  std::int32_t PatternLen, TStrCmpOptions Options, std::uint32_t LocaleId,
                  std::int32_t& DataUsed);
int ComparePrefix(const char16_t* Data, std::int32_t DataLen, const char16_t* Pattern,
                  std::int32_t PatternLen, TStrCmpOptions Options, std::uint32_t LocaleId,
                  std::int32_t& DataUsed);

// LIKE matching. EscapeChar is the escape character's code (0 to 255, or a UTF-16 unit), -1
// for none. Literal runs compare under the collation (ligature-sensitive).
bool MatchesPattern(const char* Value, std::int32_t ValueLen, const char* Pattern,
                    std::int32_t PatternLen, int EscapeChar, char MultiJoker, char SingleJoker,
                    TStrCmpOptions Options, std::uint32_t LocaleId);
bool MatchesPattern(const char16_t* Value, std::int32_t ValueLen, const char16_t* Pattern,
                    std::int32_t PatternLen, int EscapeChar, char16_t MultiJoker,
                    char16_t SingleJoker, TStrCmpOptions Options, std::uint32_t LocaleId);

// Identifiers (UTF-8): the engine collation, case-, accent- and ligature-insensitive.
int CompareIdentifiers(std::string_view A, std::string_view B);

// Case mapping of Count characters; Dest may equal Source.
void CollatedUpper(char* Dest, const char* Source, std::int32_t Count, std::uint32_t LocaleId);
void CollatedLower(char* Dest, const char* Source, std::int32_t Count, std::uint32_t LocaleId);
void CollatedUpper(char16_t* Dest, const char16_t* Source, std::int32_t Count,
                   std::uint32_t LocaleId);
void CollatedLower(char16_t* Dest, const char16_t* Source, std::int32_t Count,
                   std::uint32_t LocaleId);
// The text with ligatures expanded (engine folding for locale 512).
std::u16string CollatedFold(const char16_t* Source, std::int32_t Count, std::uint32_t LocaleId);

// Code-page conversion at the 8-bit boundary ("?" for unmappable characters, no best fit).
std::string AnsiToUtf8(std::string_view Ansi, std::uint32_t CodePage);
std::string Utf8ToAnsi(std::string_view Utf8, std::uint32_t CodePage);
std::u16string AnsiToUtf16(std::string_view Ansi, std::uint32_t CodePage);
std::string Utf16ToAnsi(std::u16string_view Utf16, std::uint32_t CodePage);

}  // namespace vdb
