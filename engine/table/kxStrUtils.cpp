#include "table/kxStrUtils.h"

#include <algorithm>
#include <cstring>

namespace vdb {

namespace {
template <typename C>
int CompareRaw(const C* S1, std::int32_t Len1, const C* S2, std::int32_t Len2) {
  const std::int32_t n = std::min(Len1, Len2);
  for (std::int32_t i = 0; i < n; ++i) {
    if (S1[i] != S2[i]) return S1[i] < S2[i] ? -1 : 1;
  }
  return Len1 < Len2 ? -1 : (Len1 > Len2 ? 1 : 0);
}
}  // namespace

bool ParseCollationName(std::string_view Name, std::uint32_t& LocaleId, TStrCmpOptions& Options) {
  if (Name.empty() || Name == "VeskorDB") {
    LocaleId = kVdbEngineLocale;
    Options = scoLigatureSensitive | scoAccentSensitive;
    return true;
  }
  return false;
}
std::uint32_t LocaleFromLanguage(std::string_view) { return 0; }
std::string LanguageFromLocale(std::uint32_t LocaleId) {
  return LocaleId == kVdbEngineLocale ? "VeskorDB" : "";
}
std::uint32_t LocaleCodePage(std::uint32_t LocaleId) { return LocaleId == 1038 ? 1250 : 1252; }

int CompareCollated(const char* S1, std::int32_t Len1, const char* S2, std::int32_t Len2,
                    TStrCmpOptions, std::uint32_t) {
  return CompareRaw(reinterpret_cast<const unsigned char*>(S1), Len1,
                    reinterpret_cast<const unsigned char*>(S2), Len2);
}
int CompareCollated(const char16_t* S1, std::int32_t Len1, const char16_t* S2, std::int32_t Len2,
                    TStrCmpOptions, std::uint32_t) {
  return CompareRaw(S1, Len1, S2, Len2);
}
int ComparePrefix(const char* Data, std::int32_t DataLen, const char* Pattern,
                  std::int32_t PatternLen, TStrCmpOptions Options, std::uint32_t LocaleId,
                  std::int32_t& DataUsed) {
  DataUsed = std::min(DataLen, PatternLen);
  int r = CompareCollated(Data, DataUsed, Pattern, PatternLen, Options, LocaleId);
  return r;
}
int ComparePrefix(const char16_t* Data, std::int32_t DataLen, const char16_t* Pattern,
                  std::int32_t PatternLen, TStrCmpOptions Options, std::uint32_t LocaleId,
                  std::int32_t& DataUsed) {
  DataUsed = std::min(DataLen, PatternLen);
  return CompareCollated(Data, DataUsed, Pattern, PatternLen, Options, LocaleId);
}
bool MatchesPattern(const char*, std::int32_t, const char*, std::int32_t, int, char, char,
                    TStrCmpOptions, std::uint32_t) {
  return false;
}
bool MatchesPattern(const char16_t*, std::int32_t, const char16_t*, std::int32_t, int, char16_t,
                    char16_t, TStrCmpOptions, std::uint32_t) {
  return false;
}
int CompareIdentifiers(std::string_view A, std::string_view B) {
  return CompareCollated(A.data(), static_cast<std::int32_t>(A.size()), B.data(),
                         static_cast<std::int32_t>(B.size()), 0, kVdbEngineLocale);
}
void CollatedUpper(char* Dest, const char* Source, std::int32_t Count, std::uint32_t) {
  std::memmove(Dest, Source, static_cast<std::size_t>(Count));
}
void CollatedLower(char* Dest, const char* Source, std::int32_t Count, std::uint32_t) {
  std::memmove(Dest, Source, static_cast<std::size_t>(Count));
}
void CollatedUpper(char16_t* Dest, const char16_t* Source, std::int32_t Count, std::uint32_t) {
  std::memmove(Dest, Source, static_cast<std::size_t>(Count) * 2);
}
void CollatedLower(char16_t* Dest, const char16_t* Source, std::int32_t Count, std::uint32_t) {
  std::memmove(Dest, Source, static_cast<std::size_t>(Count) * 2);
}
std::u16string CollatedFold(const char16_t* Source, std::int32_t Count, std::uint32_t) {
  return std::u16string(Source, static_cast<std::size_t>(Count));
}
std::string AnsiToUtf8(std::string_view Ansi, std::uint32_t) { return std::string(Ansi); }
std::string Utf8ToAnsi(std::string_view Utf8, std::uint32_t) { return std::string(Utf8); }
std::u16string AnsiToUtf16(std::string_view Ansi, std::uint32_t) {
  return std::u16string(Ansi.begin(), Ansi.end());
}
std::string Utf16ToAnsi(std::u16string_view Utf16, std::uint32_t) {
  std::string s;
  for (char16_t c : Utf16) s.push_back(c < 256 ? static_cast<char>(c) : '?');
  return s;
}

}  // namespace vdb
