#include "table/kxStrUtils.h"

#include <unicode/ucnv.h>
#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/ulocdata.h>
#include <unicode/unorm2.h>
#include <unicode/uset.h>
#include <unicode/ustring.h>
#include <unicode/uchar.h>
#include <unicode/uscript.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "storage/kxFormat.h"
#include "table/kxByteCollation.h"
#include "table/kxLikePattern.h"

namespace vdb {

namespace {

// ---------------------------------------------------------------------------------------------
// Small buffers: ordinary strings are converted on the stack, longer ones on the heap.

template <typename C, std::size_t N = 256>
class TSmallBuffer {
 public:
  explicit TSmallBuffer(std::size_t Size) : size_(Size) {
    if (Size > N) {
      heap_.resize(Size);
      data_ = heap_.data();
    }
  }
  TSmallBuffer(const TSmallBuffer&) = delete;
  TSmallBuffer& operator=(const TSmallBuffer&) = delete;

  C* data() { return data_; }
  std::size_t size() const { return size_; }
  // The used length after a conversion; the storage stays where it is.
  void shrink(std::size_t Size) { size_ = std::min(size_, Size); }
  std::int32_t length() const { return static_cast<std::int32_t>(size_); }

 private:
  std::size_t size_;
  std::array<C, N> stack_;
  std::vector<C> heap_;
  C* data_ = stack_.data();
};

std::int32_t ClampLength(std::int32_t Len) { return Len < 0 ? 0 : Len; }

// ---------------------------------------------------------------------------------------------
// The engine collation (locale 512).

constexpr std::array<std::uint8_t, 256> BuildEngineFoldTable() {
  std::array<std::uint8_t, 256> t{};
  for (int i = 0; i < 256; ++i) t[i] = static_cast<std::uint8_t>(i);
  auto range = [&t](int from, int to, char c) {
    for (int i = from; i <= to; ++i) t[i] = static_cast<std::uint8_t>(c);
  };
  t[138] = 'S'; t[140] = 'O'; t[154] = 's'; t[156] = 'o'; t[159] = 'Y';
  range(192, 198, 'A'); t[199] = 'C'; range(200, 203, 'E'); range(204, 207, 'I');
  t[208] = 'D'; t[209] = 'N'; range(210, 214, 'O'); t[216] = 'O'; range(217, 220, 'U');
  t[221] = 'Y'; t[223] = 's';
  range(224, 230, 'a'); t[231] = 'c'; range(232, 235, 'e'); range(236, 239, 'i');
  t[240] = 'd'; t[241] = 'n'; range(242, 246, 'o'); t[248] = 'o'; range(249, 252, 'u');
  t[253] = 'y'; t[255] = 'y';
  return t;
}
constexpr std::array<std::uint8_t, 256> kEngineFold = BuildEngineFoldTable();

constexpr std::uint32_t kSharpS = 223;

template <typename C>
std::uint32_t Unit(C c) {
  if constexpr (sizeof(C) == 1) {
    return static_cast<unsigned char>(c);
  } else {
    return static_cast<std::uint16_t>(c);
  }
}

// Walks one string of an engine comparison, giving one mapped character per step.
template <typename C>
class TEngineWalker {
 public:
  TEngineWalker(const C* S, std::int32_t Len, TStrCmpOptions Options)
      : s_(S), len_(Len), options_(Options) {}
  bool AtEnd() const { return pos_ >= len_; }

  // The mapped character of this step; Accented tells that it came through the folding table.
  std::uint32_t Next(bool& Accented) {
    std::uint32_t c = Unit(s_[pos_]);
    Accented = false;
    if (c == kSharpS && !(options_ & scoLigatureSensitive)) {
      // The sharp s stands for "ss": the walk stays on it for one more step.
      secondHalf_ = !secondHalf_;
      if (!secondHalf_) ++pos_;
      c = 's';
    } else {
      ++pos_;
      if (c == '^') {
        c = ' ';
      } else if (c == 127) {
        // DEL sorts after every other character.
        return sizeof(C) == 1 ? 255u : 65535u;
      } else if (c >= 128 && c <= 255) {
        c = kEngineFold[c];
        Accented = (options_ & scoAccentSensitive) != 0;
      }
    }
    if (!(options_ & scoCaseSensitive) && c >= 'a' && c <= 'z') c -= 32;
    return c;
  }

 private:
  const C* s_;
  std::int32_t len_;
  TStrCmpOptions options_;
  std::int32_t pos_ = 0;
  bool secondHalf_ = false;
};

template <typename C>
int EngineCompare(const C* S1, std::int32_t Len1, const C* S2, std::int32_t Len2,
                  TStrCmpOptions Options) {
  TEngineWalker<C> w1(S1, Len1, Options), w2(S2, Len2, Options);
  constexpr std::int32_t kUnset = -1;
  std::int32_t accent1 = kUnset, accent2 = kUnset;
  for (std::int32_t step = 0; !w1.AtEnd() && !w2.AtEnd(); ++step) {
    bool a1, a2;
    const std::uint32_t c1 = w1.Next(a1), c2 = w2.Next(a2);
    if (a1 && accent1 == kUnset) accent1 = step;
    if (a2 && accent2 == kUnset) accent2 = step;
    if (accent1 == accent2) accent1 = accent2 = kUnset;
    if (c1 != c2) return c1 < c2 ? -1 : 1;
  }
  if (!w1.AtEnd()) return 1;
  if (!w2.AtEnd()) return -1;
  // Accent tie-break: the string whose first accented character comes earlier is the greater.
  if (accent1 == accent2) return 0;
  if (accent1 == kUnset) return -1;
  if (accent2 == kUnset) return 1;
  return accent1 < accent2 ? 1 : -1;
}

template <typename C>
C EngineUpper(C Ch) {
  const std::uint32_t c = Unit(Ch);
  if ((c >= 'a' && c <= 'z') || (c >= 224 && c <= 246) || (c >= 248 && c <= 254))
    return static_cast<C>(c - 32);
  if (c == 255) return static_cast<C>(sizeof(C) == 1 ? 159 : 376);
  return Ch;
}

template <typename C>
C EngineLower(C Ch) {
  const std::uint32_t c = Unit(Ch);
  if ((c >= 'A' && c <= 'Z') || (c >= 192 && c <= 214) || (c >= 216 && c <= 222))
    return static_cast<C>(c + 32);
  if (c == (sizeof(C) == 1 ? 159u : 376u)) return static_cast<C>(255);
  return Ch;
}

// The engine's own folding: accents removed through the table, the sharp s expanded.
template <typename C>
std::int32_t EngineFoldLength(const C* S, std::int32_t Len) {
  std::int32_t n = 0;
  for (std::int32_t i = 0; i < Len; ++i) n += Unit(S[i]) == kSharpS ? 2 : 1;
  return n;
}

// ---------------------------------------------------------------------------------------------
// ICU errors.

[[noreturn]] void ThrowIcu(const char* What, UErrorCode Status) {
  throw EkxLocaleError(std::string(What) + ": " + u_errorName(Status));
}

[[noreturn]] void ThrowUnsupportedLocale(std::uint32_t LocaleId) {
  throw EkxLocaleError(kxFormat("Locale %d (%s) is not supported on this computer.",
                                {static_cast<std::int64_t>(LocaleId), LanguageFromLocale(LocaleId)}));
}

// ---------------------------------------------------------------------------------------------
// Code pages: conversion through ICU converters. Single-byte code pages are turned into a
// 256-entry table once, so that comparisons convert 8-bit text without a converter call.

struct TConverterCloser {
  void operator()(UConverter* C) const { ucnv_close(C); }
};
using TConverterPtr = std::unique_ptr<UConverter, TConverterCloser>;

TConverterPtr OpenCodePage(std::uint32_t CodePage) {
  UErrorCode status = U_ZERO_ERROR;
  const std::string name = "windows-" + std::to_string(CodePage);
  TConverterPtr cnv(ucnv_open(name.c_str(), &status));
  if (U_FAILURE(status) || !cnv) {
    status = U_ZERO_ERROR;
    const std::string ibm = "ibm-" + std::to_string(CodePage);
    cnv.reset(ucnv_open(ibm.c_str(), &status));
  }
  if (U_FAILURE(status) || !cnv) {
    throw EkxLocaleError(kxFormat("Code page %d is not supported on this computer.",
                                  {static_cast<std::int64_t>(CodePage)}));
  }
  // Characters without a mapping become "?"; best-fit (fallback) mappings stay off.
  ucnv_setFallback(cnv.get(), false);
  ucnv_setSubstChars(cnv.get(), "?", 1, &status);
  if (U_FAILURE(status)) ThrowIcu("Code page conversion", status);
  return cnv;
}

struct TCodePage {
  std::uint32_t Id = 0;
  bool SingleByte = false;
  std::array<char16_t, 256> ToUnicode{};                    // single-byte code pages only
  std::vector<std::pair<char16_t, std::uint8_t>> FromUnicode;  // sorted, single-byte only

  // The byte for a UTF-16 unit; false when the code page has none.
  bool Encode(char16_t U, char& Byte) const {
    auto it = std::lower_bound(FromUnicode.begin(), FromUnicode.end(),
                               std::make_pair(U, std::uint8_t{0}));
    if (it == FromUnicode.end() || it->first != U) return false;
    Byte = static_cast<char>(it->second);
    return true;
  }
};

std::unique_ptr<TCodePage> BuildCodePage(std::uint32_t Id) {
  auto cp = std::make_unique<TCodePage>();
  cp->Id = Id;
  TConverterPtr cnv = OpenCodePage(Id);
  cp->SingleByte = ucnv_getMaxCharSize(cnv.get()) == 1;
  if (!cp->SingleByte) return cp;
  for (int b = 0; b < 256; ++b) {
    const char in = static_cast<char>(b);
    UChar out[4];
    UErrorCode status = U_ZERO_ERROR;
    ucnv_reset(cnv.get());
    ucnv_setToUCallBack(cnv.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    const std::int32_t n = ucnv_toUChars(cnv.get(), out, 4, &in, 1, &status);
    // Bytes without a character keep their own value (as C1 controls), as Windows does.
    cp->ToUnicode[b] = (U_SUCCESS(status) && n == 1) ? out[0] : static_cast<char16_t>(b);
    if (U_SUCCESS(status) && n == 1) cp->FromUnicode.emplace_back(out[0], b);
  }
  std::sort(cp->FromUnicode.begin(), cp->FromUnicode.end());
  cp->FromUnicode.erase(std::unique(cp->FromUnicode.begin(), cp->FromUnicode.end(),
                                    [](const auto& a, const auto& b) { return a.first == b.first; }),
                        cp->FromUnicode.end());
  return cp;
}

const TCodePage& GetCodePage(std::uint32_t Id) {
  thread_local const TCodePage* last = nullptr;
  if (last && last->Id == Id) return *last;
  static std::mutex mutex;
  static std::map<std::uint32_t, std::unique_ptr<TCodePage>> pages;
  std::lock_guard lock(mutex);
  auto& slot = pages[Id];
  if (!slot) slot = BuildCodePage(Id);
  last = slot.get();
  return *slot;
}

// 8-bit text in a code page to UTF-16. Out must hold at least Len units; it is shrunk to the
// converted length.
template <std::size_t N>
void DecodeInto(const TCodePage& Cp, const char* S, std::int32_t Len, TSmallBuffer<char16_t, N>& Out) {
  if (Cp.SingleByte) {
    char16_t* d = Out.data();
    for (std::int32_t i = 0; i < Len; ++i) d[i] = Cp.ToUnicode[static_cast<unsigned char>(S[i])];
    Out.shrink(static_cast<std::size_t>(Len));
    return;
  }
  TConverterPtr cnv = OpenCodePage(Cp.Id);
  UErrorCode status = U_ZERO_ERROR;
  UChar* target = reinterpret_cast<UChar*>(Out.data());
  const char* source = S;
  ucnv_toUnicode(cnv.get(), &target, target + Out.size(), &source, S + Len, nullptr, true, &status);
  if (U_FAILURE(status)) ThrowIcu("Code page conversion", status);
  Out.shrink(static_cast<std::size_t>(target - reinterpret_cast<UChar*>(Out.data())));
}

// ---------------------------------------------------------------------------------------------
// Locales: Windows locale ids through ICU's LCID mapping.

// The ICU locale name of a Windows locale id; empty when the id is not known.
std::string IcuLocaleOf(std::uint32_t LocaleId) {
  if (LocaleId == 0 || LocaleId == kVdbEngineLocale) return {};
  char name[ULOC_FULLNAME_CAPACITY];
  UErrorCode status = U_ZERO_ERROR;
  const std::int32_t n = uloc_getLocaleForLCID(LocaleId, name, sizeof name, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING || n <= 0) return {};
  // ICU answers unknown ids with the nearest language; only an exact mapping counts.
  if (uloc_getLCID(name) != LocaleId) return {};
  return std::string(name, static_cast<std::size_t>(n));
}

std::string EnglishLanguageName(const char* IcuLocale) {
  UChar buffer[128];
  UErrorCode status = U_ZERO_ERROR;
  const std::int32_t n = uloc_getDisplayLanguage(IcuLocale, "en", buffer, 128, &status);
  if (U_FAILURE(status) || n <= 0) return {};
  char out[512];
  std::int32_t outLen = 0;
  u_strToUTF8(out, sizeof out, &outLen, buffer, std::min<std::int32_t>(n, 128), &status);
  if (U_FAILURE(status)) return {};
  return std::string(out, static_cast<std::size_t>(std::min<std::int32_t>(outLen, 511)));
}

struct TSystemLocale {
  std::string Language;
  std::uint32_t LocaleId;
};

// The system's locale list: ICU's available locales that have a specific Windows locale id
// (language-neutral ids, whose sublanguage is 0, are not listed as locales of their own).
const std::vector<TSystemLocale>& SystemLocales() {
  static const std::vector<TSystemLocale> locales = [] {
    std::vector<TSystemLocale> list;
    const std::int32_t count = uloc_countAvailable();
    for (std::int32_t i = 0; i < count; ++i) {
      const char* name = uloc_getAvailable(i);
      const std::uint32_t id = uloc_getLCID(name);
      if (id == 0 || (id >> 10) == 0 || IcuLocaleOf(id).empty()) continue;
      std::string language = EnglishLanguageName(name);
      if (!language.empty()) list.push_back({std::move(language), id});
    }
    // Windows lists its locales by ascending id, so a language's primary country comes first.
    std::stable_sort(list.begin(), list.end(),
                     [](const TSystemLocale& a, const TSystemLocale& b) { return a.LocaleId < b.LocaleId; });
    list.erase(std::unique(list.begin(), list.end(),
                           [](const TSystemLocale& a, const TSystemLocale& b) { return a.LocaleId == b.LocaleId; }),
               list.end());
    return list;
  }();
  return locales;
}

bool EqualsIgnoringAsciiCase(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (std::size_t i = 0; i < A.size(); ++i) {
    char a = A[i], b = B[i];
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 32);
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 32);
    if (a != b) return false;
  }
  return true;
}

// What the engine needs of a locale, looked up once per id.
struct TLocaleInfo {
  std::string IcuName;  // empty when the locale is not known
  std::uint32_t CodePage = 1252;
  bool TurkicCasing = false;
};

// The script and territory of a locale, filled in from ICU's likely subtags.
struct TLikelySubtags {
  std::string Script;
  std::string Territory;
};

TLikelySubtags LikelySubtags(const std::string& IcuName) {
  char full[ULOC_FULLNAME_CAPACITY];
  UErrorCode status = U_ZERO_ERROR;
  uloc_addLikelySubtags(IcuName.c_str(), full, sizeof full, &status);
  if (U_FAILURE(status)) return {};
  char script[ULOC_SCRIPT_CAPACITY] = {};
  char territory[ULOC_COUNTRY_CAPACITY] = {};
  uloc_getScript(full, script, sizeof script, &status);
  uloc_getCountry(full, territory, sizeof territory, &status);
  if (U_FAILURE(status)) return {};
  return {script, territory};
}

// Whether a character can be written in a single-byte code page, precomposed or as a letter
// followed by a combining mark.
bool CodePageHas(const TCodePage& Cp, UChar32 C, const UNormalizer2* Nfc, const UNormalizer2* Nfd) {
  char byte;
  if (C <= 0xFFFF && Cp.Encode(static_cast<char16_t>(C), byte)) return true;
  UChar decomposed[16];
  UErrorCode status = U_ZERO_ERROR;
  UChar in[2];
  std::int32_t inLen = 0;
  U16_APPEND_UNSAFE(in, inLen, C);
  const std::int32_t n = unorm2_normalize(Nfd, in, inLen, decomposed, 16, &status);
  if (U_FAILURE(status) || n < 2 || n > 15) return false;
  // One combining mark written separately after the rest, composed (Windows-1258 writes the
  // Vietnamese "ặ" as "ă" and a dot below).
  for (std::int32_t k = 1; k < n; ++k) {
    if (!Cp.Encode(static_cast<char16_t>(decomposed[k]), byte)) continue;
    UChar others[16], rest[16];
    std::int32_t othersLen = 0;
    for (std::int32_t j = 0; j < n; ++j)
      if (j != k) others[othersLen++] = decomposed[j];
    UErrorCode s = U_ZERO_ERROR;
    const std::int32_t restLen = unorm2_normalize(Nfc, others, othersLen, rest, 16, &s);
    if (U_FAILURE(s) || restLen < 1) continue;
    UChar32 base;
    std::int32_t i = 0;
    U16_NEXT(rest, i, restLen, base);
    if (i == restLen && CodePageHas(Cp, base, Nfc, Nfd)) return true;
  }
  return false;
}

// The Latin ANSI code pages with the territories each was made for.
struct TLatinPage {
  std::uint32_t Id;
  std::string_view Territories;
};
constexpr TLatinPage kLatinPages[] = {
    {1252, ""},                                          // Western European
    {1250, "AL BA CZ HR HU ME PL RO RS SI SK"},          // Central European
    {1257, "EE LT LV"},                                  // Baltic
    {1254, "AZ TR UZ"},                                  // Turkish
    {1258, "VN"}};                                       // Vietnamese

// How many letters of Letters a code page writes. Writing a letter as a base letter followed by
// combining marks (as Windows-1258 does for Vietnamese tones) counts only when it completes the
// alphabet.
int CodePageScore(const TCodePage& Cp, const std::vector<UChar32>& Letters) {
  char byte;
  int precomposed = 0, composable = 0;
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
  const UNormalizer2* nfd = unorm2_getNFDInstance(&status);
  if (U_FAILURE(status)) return 0;
  for (UChar32 c : Letters) {
    if (c <= 0xFFFF && Cp.Encode(static_cast<char16_t>(c), byte)) ++precomposed;
    else if (CodePageHas(Cp, c, nfc, nfd)) ++composable;
  }
  const int all = static_cast<int>(Letters.size());
  return precomposed + composable == all ? all : precomposed;
}

// The ANSI code page of a Latin-script language: the Latin code page that writes the most letters
// of the language's alphabet; among equals the one made for the language's territory, else the
// western one.
std::uint32_t LatinCodePage(const std::string& IcuName, const std::string& Territory) {
  UErrorCode status = U_ZERO_ERROR;
  ULocaleData* data = ulocdata_open(IcuName.c_str(), &status);
  if (U_FAILURE(status)) return 1252;
  USet* set = ulocdata_getExemplarSet(data, nullptr, 0, ULOCDATA_ES_STANDARD, &status);
  ulocdata_close(data);
  if (U_FAILURE(status) || !set) return 1252;
  std::vector<UChar32> letters;  // the letters beyond ASCII
  for (std::int32_t i = 0, items = uset_getItemCount(set); i < items; ++i) {
    UChar32 from, to;
    UErrorCode s = U_ZERO_ERROR;
    if (uset_getItem(set, i, &from, &to, nullptr, 0, &s) != 0) continue;  // a multi-letter string
    for (UChar32 c = std::max<UChar32>(from, 0x80); c <= to; ++c) letters.push_back(c);
  }
  uset_close(set);
  std::uint32_t best = 1252;
  int bestScore = -1;
  bool bestHome = false;
  for (const TLatinPage& page : kLatinPages) {
    const int score = CodePageScore(GetCodePage(page.Id), letters);
    const bool home = !Territory.empty() && page.Territories.find(Territory) != std::string_view::npos;
    if (score > bestScore || (score == bestScore && home && !bestHome)) {
      best = page.Id;
      bestScore = score;
      bestHome = home;
    }
  }
  return best;
}

std::uint32_t DeriveCodePage(const std::string& IcuName) {
  static const std::map<std::string, std::uint32_t> kScriptPages = {
      {"Cyrl", 1251}, {"Grek", 1253}, {"Hebr", 1255}, {"Arab", 1256}, {"Thai", 874},
      {"Jpan", 932},  {"Hans", 936},  {"Kore", 949},  {"Hant", 950}};
  const TLikelySubtags subtags = LikelySubtags(IcuName);
  if (subtags.Script == "Latn") return LatinCodePage(IcuName, subtags.Territory);
  auto it = kScriptPages.find(subtags.Script);
  // Locales without an ANSI code page of their own use the system's, the western one.
  return it == kScriptPages.end() ? 1252 : it->second;
}

const TLocaleInfo& GetLocaleInfo(std::uint32_t LocaleId) {
  thread_local std::uint32_t lastId = 0;
  thread_local const TLocaleInfo* last = nullptr;
  if (last && lastId == LocaleId) return *last;
  static std::mutex mutex;
  static std::map<std::uint32_t, std::unique_ptr<TLocaleInfo>> infos;
  std::lock_guard lock(mutex);
  auto& slot = infos[LocaleId];
  if (!slot) {
    auto info = std::make_unique<TLocaleInfo>();
    info->IcuName = IcuLocaleOf(LocaleId);
    if (!info->IcuName.empty()) {
      info->CodePage = DeriveCodePage(info->IcuName);
      char language[ULOC_LANG_CAPACITY] = {};
      UErrorCode status = U_ZERO_ERROR;
      uloc_getLanguage(info->IcuName.c_str(), language, sizeof language, &status);
      info->TurkicCasing = std::string_view(language) == "tr" || std::string_view(language) == "az";
    }
    slot = std::move(info);
  }
  lastId = LocaleId;
  last = slot.get();
  return *slot;
}

const TLocaleInfo& KnownLocale(std::uint32_t LocaleId) {
  const TLocaleInfo& info = GetLocaleInfo(LocaleId);
  if (info.IcuName.empty()) ThrowUnsupportedLocale(LocaleId);
  return info;
}

// ---------------------------------------------------------------------------------------------
// Locale comparison through ICU collators, cached per locale and strength options.

struct TCollatorCloser {
  void operator()(UCollator* C) const { ucol_close(C); }
};
using TCollatorPtr = std::unique_ptr<UCollator, TCollatorCloser>;

// A locale's comparison: the word-sort collator decides; strings it finds equal are told apart
// by the locale's plain collator, so that only strings that differ in what the options ignore
// compare equal (a strict weak order either way).
struct TLocaleCollation {
  TCollatorPtr WordSort;
  TCollatorPtr Plain;
  const TCodePage* CodePage = nullptr;  // of the locale's 8-bit text
  std::uint32_t LocaleId = 0;
  // The locale's byte tables (null for a code page they do not serve) once known here, and the
  // number of 8-bit comparisons made without them.
  mutable std::atomic<bool> ByteTablesKnown{false};
  mutable std::atomic<const TkxByteCollation*> ByteTables{nullptr};
  mutable std::atomic<std::uint32_t> ComparisonsWithoutTables{0};
};

void SetStrength(UCollator* Coll, TStrCmpOptions Options, UErrorCode& Status) {
  const bool caseSensitive = (Options & scoCaseSensitive) != 0;
  const bool accentSensitive = (Options & scoAccentSensitive) != 0;
  // Letters are the primary level, accents the secondary and case the tertiary; case without
  // accents needs the separate case level.
  ucol_setStrength(Coll, accentSensitive ? (caseSensitive ? UCOL_TERTIARY : UCOL_SECONDARY)
                                         : UCOL_PRIMARY);
  ucol_setAttribute(Coll, UCOL_CASE_LEVEL, caseSensitive && !accentSensitive ? UCOL_ON : UCOL_OFF,
                    &Status);
  // Blanks and punctuation keep their weights: a blank sorts before every letter.
  ucol_setAttribute(Coll, UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, &Status);
}

std::unique_ptr<TLocaleCollation> OpenCollation(std::uint32_t LocaleId, TStrCmpOptions Options) {
  const TLocaleInfo& info = KnownLocale(LocaleId);
  auto result = std::make_unique<TLocaleCollation>();
  result->LocaleId = LocaleId;
  result->CodePage = &GetCodePage(info.CodePage);
  UErrorCode status = U_ZERO_ERROR;
  result->Plain.reset(ucol_open(info.IcuName.c_str(), &status));
  if (U_FAILURE(status)) ThrowUnsupportedLocale(LocaleId);
  // Word sort: the locale's own tailoring (its contractions such as Hungarian cs, dzs, ly), with
  // hyphen and apostrophe made ignorable at every level.
  std::int32_t length = 0;
  const UChar* tailoring = ucol_getRules(result->Plain.get(), &length);
  std::u16string rules(reinterpret_cast<const char16_t*>(tailoring), static_cast<std::size_t>(length));
  rules += u"&[last tertiary ignorable]='-'=''";
  UParseError parseError;
  result->WordSort.reset(ucol_openRules(reinterpret_cast<const UChar*>(rules.data()),
                                        static_cast<std::int32_t>(rules.size()), UCOL_DEFAULT,
                                        UCOL_DEFAULT_STRENGTH, &parseError, &status));
  if (U_FAILURE(status)) ThrowIcu("Collation rules", status);
  SetStrength(result->Plain.get(), Options, status);
  SetStrength(result->WordSort.get(), Options, status);
  if (U_FAILURE(status)) ThrowIcu("Collator", status);
  return result;
}

// Collations are made once per locale and strength options and shared by all threads (ICU's
// comparison functions do not change a collator).
const TLocaleCollation& GetCollation(std::uint32_t LocaleId, TStrCmpOptions Options) {
  const std::uint64_t key = (static_cast<std::uint64_t>(LocaleId) << 8) |
                            (Options & (scoCaseSensitive | scoAccentSensitive));
  thread_local std::uint64_t lastKey = ~std::uint64_t{0};
  thread_local const TLocaleCollation* last = nullptr;
  if (key == lastKey) return *last;
  static std::shared_mutex mutex;
  static std::map<std::uint64_t, std::unique_ptr<TLocaleCollation>> collations;
  {
    std::shared_lock lock(mutex);
    auto it = collations.find(key);
    if (it != collations.end()) {
      lastKey = key;
      return *(last = it->second.get());
    }
  }
  std::unique_ptr<TLocaleCollation> fresh = OpenCollation(LocaleId, Options);
  std::unique_lock lock(mutex);
  auto& slot = collations[key];
  if (!slot) slot = std::move(fresh);
  lastKey = key;
  return *(last = slot.get());
}

// Byte tables are made once per locale and shared by all its strength options: the collation
// elements they are read from do not depend on the strength. Null when the locale's code page has
// several bytes per character or its sorting is beyond the tables.
struct TLocaleByteTables {
  bool Made = false;
  std::unique_ptr<TkxByteCollation> Tables;
};

std::mutex& ByteTablesMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::uint32_t, TLocaleByteTables>& LocaleByteTables() {
  static std::map<std::uint32_t, TLocaleByteTables> tables;
  return tables;
}

// How many locales have had their tables made (so that comparisons need not look before).
std::atomic<int> LocalesWithByteTables{0};

// The tables of the collation's locale, made now when they are not yet.
const TkxByteCollation* ByteCollation(const TLocaleCollation& Coll) {
  if (Coll.ByteTablesKnown.load(std::memory_order_acquire)) return Coll.ByteTables.load(std::memory_order_relaxed);
  std::lock_guard lock(ByteTablesMutex());
  TLocaleByteTables& slot = LocaleByteTables()[Coll.LocaleId];
  if (!slot.Made) {
    if (Coll.CodePage->SingleByte) {
      auto tables = std::make_unique<TkxByteCollation>(Coll.WordSort.get(), Coll.CodePage->ToUnicode);
      if (tables->Usable()) slot.Tables = std::move(tables);
    }
    slot.Made = true;
    LocalesWithByteTables.fetch_add(1, std::memory_order_release);
  }
  Coll.ByteTables.store(slot.Tables.get(), std::memory_order_relaxed);
  Coll.ByteTablesKnown.store(true, std::memory_order_release);
  return slot.Tables.get();
}

// Making the tables costs about as much as opening the collator, and a comparison gains a few
// tens of nanoseconds from them: comparisons use the tables once a LIKE has made them for the
// locale, or once the collation has been used for many comparisons (a sort, an index build).
const TkxByteCollation* ComparisonByteCollation(const TLocaleCollation& Coll) {
  constexpr std::uint32_t kComparisonsBeforeTables = 20000;
  if (Coll.ByteTablesKnown.load(std::memory_order_acquire)) return Coll.ByteTables.load(std::memory_order_relaxed);
  if (Coll.ComparisonsWithoutTables.fetch_add(1, std::memory_order_relaxed) >= kComparisonsBeforeTables)
    return ByteCollation(Coll);
  if (LocalesWithByteTables.load(std::memory_order_acquire) == 0) return nullptr;
  {
    std::lock_guard lock(ByteTablesMutex());
    auto it = LocaleByteTables().find(Coll.LocaleId);
    if (it == LocaleByteTables().end() || !it->second.Made) return nullptr;
  }
  return ByteCollation(Coll);
}

int FromCollationResult(UCollationResult R) { return R == UCOL_LESS ? -1 : (R == UCOL_GREATER ? 1 : 0); }

int IcuCompare(const TLocaleCollation& coll, const char16_t* S1, std::int32_t Len1,
               const char16_t* S2, std::int32_t Len2) {
  const auto* u1 = reinterpret_cast<const UChar*>(S1);
  const auto* u2 = reinterpret_cast<const UChar*>(S2);
  const int r = FromCollationResult(ucol_strcoll(coll.WordSort.get(), u1, Len1, u2, Len2));
  if (r != 0) return r;
  return FromCollationResult(ucol_strcoll(coll.Plain.get(), u1, Len1, u2, Len2));
}

// ---------------------------------------------------------------------------------------------
// Ligature expansion (the fold with expanded ligatures).

struct TLigatures {
  std::array<std::uint8_t, 65536> Length{};
  std::unordered_map<char16_t, std::u16string> Expansion;
};

// Ligatures are the letters whose compatibility decomposition is two or more letters, plus the
// Latin ligatures that Unicode keeps as letters of their own.
const TLigatures& Ligatures() {
  static const std::unique_ptr<TLigatures> table = [] {
    auto t = std::make_unique<TLigatures>();
    t->Length.fill(1);
    const std::pair<char16_t, const char16_t*> kLatin[] = {
        {u'\u00DF', u"ss"}, {u'\u00C6', u"AE"}, {u'\u00E6', u"ae"},
        {u'\u0152', u"OE"}, {u'\u0153', u"oe"}, {u'\u1E9E', u"SS"}};
    for (const auto& [c, e] : kLatin) {
      t->Expansion[c] = e;
      t->Length[c] = static_cast<std::uint8_t>(std::u16string_view(e).size());
    }
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* nfkd = unorm2_getNFKDInstance(&status);
    if (U_FAILURE(status)) return t;
    for (UChar32 c = 0x80; c <= 0xFFFF; ++c) {
      if (U16_IS_SURROGATE(c) || !u_isalpha(c)) continue;
      if (u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE) != U_DT_COMPAT) continue;
      UChar d[8];
      UErrorCode s = U_ZERO_ERROR;
      const std::int32_t n = unorm2_getRawDecomposition(nfkd, c, d, 8, &s);
      if (U_FAILURE(s) || n < 2 || n > 4) continue;
      bool letters = true;
      for (std::int32_t i = 0; i < n; ++i) letters = letters && u_isalpha(d[i]);
      if (!letters) continue;
      t->Expansion[static_cast<char16_t>(c)] = std::u16string(reinterpret_cast<const char16_t*>(d),
                                                               static_cast<std::size_t>(n));
      t->Length[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(n);
    }
    return t;
  }();
  return *table;
}

std::int32_t ExpandedLength(const char16_t* S, std::int32_t Len) {
  const TLigatures& lig = Ligatures();
  std::int32_t n = 0;
  for (std::int32_t i = 0; i < Len; ++i) n += lig.Length[S[i]];
  return n;
}

// Length after ligature expansion, in the locale's sense.
template <typename C>
std::int32_t FoldLength(const C* S, std::int32_t Len, std::uint32_t LocaleId) {
  if (LocaleId == kVdbEngineLocale) return EngineFoldLength(S, Len);
  if constexpr (sizeof(C) == 1) {
    const TCodePage& cp = GetCodePage(LocaleCodePage(LocaleId));
    TSmallBuffer<char16_t> u(static_cast<std::size_t>(Len));
    DecodeInto(cp, S, Len, u);
    return ExpandedLength(u.data(), u.length());
  } else {
    return ExpandedLength(S, Len);
  }
}

// ---------------------------------------------------------------------------------------------
// Comparison, prefix comparison and LIKE over both character widths.

int CompareWithoutMarker(const char16_t* S1, std::int32_t Len1, const char16_t* S2, std::int32_t Len2,
                         TStrCmpOptions Options, std::uint32_t LocaleId) {
  if (LocaleId == kVdbEngineLocale) return EngineCompare(S1, Len1, S2, Len2, Options);
  return IcuCompare(GetCollation(LocaleId, Options), S1, Len1, S2, Len2);
}

int CompareWithoutMarker(const char* S1, std::int32_t Len1, const char* S2, std::int32_t Len2,
                         TStrCmpOptions Options, std::uint32_t LocaleId) {
  if (LocaleId == kVdbEngineLocale) return EngineCompare(S1, Len1, S2, Len2, Options);
  const TLocaleCollation& coll = GetCollation(LocaleId, Options);
  // Most pairs differ in a letter before anything the tables cannot tell: no conversion then.
  if (const TkxByteCollation* tables = ComparisonByteCollation(coll)) {
    const int quick = tables->Compare(S1, Len1, S2, Len2);
    if (quick != TkxByteCollation::kUndecided) return quick;
  }
  TSmallBuffer<char16_t> u1(static_cast<std::size_t>(Len1)), u2(static_cast<std::size_t>(Len2));
  DecodeInto(*coll.CodePage, S1, Len1, u1);
  DecodeInto(*coll.CodePage, S2, Len2, u2);
  return IcuCompare(coll, u1.data(), u1.length(), u2.data(), u2.length());
}

template <typename C>
int CompareCollatedT(const C* S1, std::int32_t Len1, const C* S2, std::int32_t Len2,
                     TStrCmpOptions Options, std::uint32_t LocaleId) {
  Len1 = ClampLength(Len1);
  Len2 = ClampLength(Len2);
  const bool marker1 = Len1 > 0 && Unit(S1[Len1 - 1]) == 0;
  const bool marker2 = Len2 > 0 && Unit(S2[Len2 - 1]) == 0;
  std::int32_t used = 0;
  if (marker1 && marker2) return CompareCollatedT(S1, Len1 - 1, S2, Len2 - 1, Options, LocaleId);
  if (marker1) {
    const int r = ComparePrefix(S2, Len2, S1, Len1 - 1, Options & ~scoAccentSensitive, LocaleId, used);
    return r == 0 ? 1 : -r;
  }
  if (marker2) {
    const int r = ComparePrefix(S1, Len1, S2, Len2 - 1, Options & ~scoAccentSensitive, LocaleId, used);
    return r == 0 ? -1 : r;
  }
  return CompareWithoutMarker(S1, Len1, S2, Len2, Options, LocaleId);
}

template <typename C>
int ComparePrefixT(const C* Data, std::int32_t DataLen, const C* Pattern, std::int32_t PatternLen,
                   TStrCmpOptions Options, std::uint32_t LocaleId, std::int32_t& DataUsed) {
  DataLen = ClampLength(DataLen);
  PatternLen = ClampLength(PatternLen);
  std::int32_t patternUsed = PatternLen;
  if (Options & scoLigatureSensitive) {
    DataLen = patternUsed = std::min(DataLen, PatternLen);
  } else {
    // A ligature in the data may stand for two pattern characters and vice versa: take as many
    // data characters as cover the expanded pattern.
    const std::int32_t expanded = FoldLength(Pattern, PatternLen, LocaleId);
    const std::int32_t n = std::min(DataLen, expanded);
    const std::int32_t dataExpanded = FoldLength(Data, n, LocaleId);
    DataLen = std::max<std::int32_t>(0, std::min(DataLen, 2 * expanded - dataExpanded));
  }
  DataUsed = DataLen;
  const int r = CompareCollatedT(Data, DataLen, Pattern, patternUsed,
                                 Options & ~scoLigatureSensitive, LocaleId);
  if (r != 0) return r;
  return patternUsed == PatternLen ? 0 : -1;
}

template <typename C>
class TPatternMatcher {
 public:
  TPatternMatcher(const C* Value, std::int32_t ValueLen, const C* Pattern, std::int32_t PatternLen,
                  int EscapeChar, C MultiJoker, C SingleJoker, TStrCmpOptions Options,
                  std::uint32_t LocaleId)
      : value_(Value), valueLen_(ClampLength(ValueLen)), pattern_(Pattern),
        patternLen_(ClampLength(PatternLen)), escape_(NormalEscape(EscapeChar)), multi_(MultiJoker),
        single_(SingleJoker), options_(Options | scoLigatureSensitive), locale_(LocaleId) {}

  // Every literal run and single joker consumes a fixed number of value characters, so after a
  // failure it is enough to let the last multi-joker stand for one character more (the segment
  // between two multi-jokers is best matched at its leftmost place). This keeps the matcher
  // linear in the number of tries instead of exponential in the number of multi-jokers.
  bool Match() const {
    std::int32_t a = 0, r = 0;
    std::int32_t jokerR = -1, jokerA = 0;  // pattern position after the last multi-joker
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
        if (IsEscape(pattern_[r])) ++start;  // the escaped character is taken literally
        std::int32_t end = start < patternLen_ ? start + 1 : start;
        while (end < patternLen_ && !IsSpecial(pattern_[end])) ++end;
        std::int32_t used = 0;
        if (ComparePrefixT(value_ + a, valueLen_ - a, pattern_ + start, end - start, options_,
                           locale_, used) == 0) {
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
  // An 8-bit escape character that came through a signed char still means its byte; -1 is none.
  static int NormalEscape(int EscapeChar) {
    if (EscapeChar < -1 && sizeof(C) == 1 && EscapeChar >= -128) return EscapeChar & 0xFF;
    return EscapeChar;
  }
  bool IsEscape(C c) const { return escape_ >= 0 && Unit(c) == static_cast<std::uint32_t>(escape_); }
  bool IsSpecial(C c) const { return c == multi_ || c == single_ || IsEscape(c); }

  const C* value_;
  std::int32_t valueLen_;
  const C* pattern_;
  std::int32_t patternLen_;
  int escape_;
  C multi_, single_;
  TStrCmpOptions options_;
  std::uint32_t locale_;
};

// Case mapping in an ICU locale, one UTF-16 unit at a time so that lengths stay as they are.
char16_t LocaleCase(char16_t C, const TLocaleInfo& Info, bool Upper) {
  if (U16_IS_SURROGATE(C)) return C;
  if (Info.TurkicCasing) {
    UChar in = C, out[4];
    UErrorCode status = U_ZERO_ERROR;
    const std::int32_t n = Upper ? u_strToUpper(out, 4, &in, 1, Info.IcuName.c_str(), &status)
                                 : u_strToLower(out, 4, &in, 1, Info.IcuName.c_str(), &status);
    if (U_SUCCESS(status) && n == 1) return out[0];
  }
  const UChar32 mapped = Upper ? u_toupper(C) : u_tolower(C);
  return mapped <= 0xFFFF ? static_cast<char16_t>(mapped) : C;
}

void MapCase16(char16_t* Dest, const char16_t* Source, std::int32_t Count, std::uint32_t LocaleId,
               bool Upper) {
  Count = ClampLength(Count);
  if (LocaleId == kVdbEngineLocale) {
    for (std::int32_t i = 0; i < Count; ++i) Dest[i] = Upper ? EngineUpper(Source[i]) : EngineLower(Source[i]);
    return;
  }
  const TLocaleInfo& info = KnownLocale(LocaleId);
  for (std::int32_t i = 0; i < Count; ++i) Dest[i] = LocaleCase(Source[i], info, Upper);
}

void MapCase8(char* Dest, const char* Source, std::int32_t Count, std::uint32_t LocaleId, bool Upper) {
  Count = ClampLength(Count);
  if (LocaleId == kVdbEngineLocale) {
    for (std::int32_t i = 0; i < Count; ++i) Dest[i] = Upper ? EngineUpper(Source[i]) : EngineLower(Source[i]);
    return;
  }
  const TLocaleInfo& info = KnownLocale(LocaleId);
  const TCodePage& cp = GetCodePage(info.CodePage);
  if (!cp.SingleByte) {
    // Multi-byte code pages: only the ASCII letters change, so byte counts stay.
    for (std::int32_t i = 0; i < Count; ++i) {
      const unsigned char c = static_cast<unsigned char>(Source[i]);
      Dest[i] = c < 128 ? static_cast<char>(LocaleCase(c, info, Upper)) : Source[i];
    }
    return;
  }
  for (std::int32_t i = 0; i < Count; ++i) {
    const char16_t u = cp.ToUnicode[static_cast<unsigned char>(Source[i])];
    char mapped;
    Dest[i] = cp.Encode(LocaleCase(u, info, Upper), mapped) ? mapped : Source[i];
  }
}

// UTF-16 <-> 8-bit through an ICU converter.
std::u16string DecodeAnsi(std::string_view Ansi, std::uint32_t CodePage) {
  const TCodePage& cp = GetCodePage(CodePage);
  TSmallBuffer<char16_t> out(Ansi.size() + 1);
  DecodeInto(cp, Ansi.data(), static_cast<std::int32_t>(Ansi.size()), out);
  return std::u16string(out.data(), out.size());
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Collation names and locales.

bool ParseCollationName(std::string_view Name, std::uint32_t& LocaleId, TStrCmpOptions& Options) {
  if (Name.empty()) Name = "VeskorDB";
  if (Name == "VeskorDB") {
    LocaleId = kVdbEngineLocale;
    Options = scoLigatureSensitive | scoAccentSensitive;
    return true;
  }
  TStrCmpOptions options = 0;
  auto hasSuffix = [&Name](std::string_view Suffix) {
    return Name.size() >= Suffix.size() &&
           EqualsIgnoringAsciiCase(Name.substr(Name.size() - Suffix.size()), Suffix);
  };
  if (hasSuffix("_AS")) {
    options |= scoAccentSensitive;
    Name.remove_suffix(3);
  } else if (hasSuffix("_AI")) {
    Name.remove_suffix(3);
  } else {
    options |= scoAccentSensitive;
  }
  if (hasSuffix("_CS")) {
    options |= scoCaseSensitive;
    Name.remove_suffix(3);
  } else if (hasSuffix("_CI")) {
    Name.remove_suffix(3);
  }
  const std::uint32_t locale = Name == "VeskorDB" ? kVdbEngineLocale : LocaleFromLanguage(Name);
  if (locale == 0) return false;
  LocaleId = locale;
  Options = options;
  return true;
}

std::uint32_t LocaleFromLanguage(std::string_view LanguageName) {
  if (LanguageName.empty()) return 0;
  for (const TSystemLocale& locale : SystemLocales())
    if (EqualsIgnoringAsciiCase(locale.Language, LanguageName)) return locale.LocaleId;
  return 0;
}

std::string LanguageFromLocale(std::uint32_t LocaleId) {
  if (LocaleId == kVdbEngineLocale) return "VeskorDB";
  const TLocaleInfo& info = GetLocaleInfo(LocaleId);
  return info.IcuName.empty() ? std::string() : EnglishLanguageName(info.IcuName.c_str());
}

std::uint32_t LocaleCodePage(std::uint32_t LocaleId) {
  if (LocaleId == kVdbEngineLocale) return 1252;
  return GetLocaleInfo(LocaleId).CodePage;
}

// ---------------------------------------------------------------------------------------------
// Comparison.

int CompareCollated(const char* S1, std::int32_t Len1, const char* S2, std::int32_t Len2,
                    TStrCmpOptions Options, std::uint32_t LocaleId) {
  return CompareCollatedT(S1, Len1, S2, Len2, Options, LocaleId);
}

int CompareCollated(const char16_t* S1, std::int32_t Len1, const char16_t* S2, std::int32_t Len2,
                    TStrCmpOptions Options, std::uint32_t LocaleId) {
  return CompareCollatedT(S1, Len1, S2, Len2, Options, LocaleId);
}

int ComparePrefix(const char* Data, std::int32_t DataLen, const char* Pattern,
                  std::int32_t PatternLen, TStrCmpOptions Options, std::uint32_t LocaleId,
                  std::int32_t& DataUsed) {
  return ComparePrefixT(Data, DataLen, Pattern, PatternLen, Options, LocaleId, DataUsed);
}

int ComparePrefix(const char16_t* Data, std::int32_t DataLen, const char16_t* Pattern,
                  std::int32_t PatternLen, TStrCmpOptions Options, std::uint32_t LocaleId,
                  std::int32_t& DataUsed) {
  return ComparePrefixT(Data, DataLen, Pattern, PatternLen, Options, LocaleId, DataUsed);
}

bool MatchesPattern(const char* Value, std::int32_t ValueLen, const char* Pattern,
                    std::int32_t PatternLen, int EscapeChar, char MultiJoker, char SingleJoker,
                    TStrCmpOptions Options, std::uint32_t LocaleId) {
  const std::string_view pattern(Pattern, static_cast<std::size_t>(ClampLength(PatternLen)));
  const TkxByteCollation* tables = nullptr;
  if (LocaleId != kVdbEngineLocale) {
    try {
      tables = ByteCollation(GetCollation(LocaleId, Options & ~scoLigatureSensitive));
    } catch (const EkxLocaleError&) {
      // The comparison of the first literal run reports it, as it always has.
    }
  }
  // A scan matches one pattern against many values: it is taken apart once per thread.
  thread_local std::unique_ptr<TkxLikePattern> last;
  if (!last || !last->IsFor(pattern, EscapeChar, MultiJoker, SingleJoker, Options, LocaleId, tables))
    last = std::make_unique<TkxLikePattern>(pattern, EscapeChar, MultiJoker, SingleJoker, Options, LocaleId, tables);
  return last->Matches(Value, ValueLen);
}

bool MatchesPattern(const char16_t* Value, std::int32_t ValueLen, const char16_t* Pattern,
                    std::int32_t PatternLen, int EscapeChar, char16_t MultiJoker,
                    char16_t SingleJoker, TStrCmpOptions Options, std::uint32_t LocaleId) {
  return TPatternMatcher<char16_t>(Value, ValueLen, Pattern, PatternLen, EscapeChar, MultiJoker,
                                   SingleJoker, Options, LocaleId)
      .Match();
}

int CompareIdentifiers(std::string_view A, std::string_view B) {
  auto toUtf16 = [](std::string_view S, TSmallBuffer<char16_t>& Out) {
    UErrorCode status = U_ZERO_ERROR;
    std::int32_t n = 0;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(Out.data()), Out.length(), &n, S.data(),
                         static_cast<std::int32_t>(S.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) ThrowIcu("Identifier conversion", status);
    Out.shrink(static_cast<std::size_t>(n));
  };
  TSmallBuffer<char16_t> a(A.size()), b(B.size());
  toUtf16(A, a);
  toUtf16(B, b);
  return EngineCompare(a.data(), a.length(), b.data(), b.length(), 0);
}

// ---------------------------------------------------------------------------------------------
// Case mapping and folding.

void CollatedUpper(char* Dest, const char* Source, std::int32_t Count, std::uint32_t LocaleId) {
  MapCase8(Dest, Source, Count, LocaleId, true);
}
void CollatedLower(char* Dest, const char* Source, std::int32_t Count, std::uint32_t LocaleId) {
  MapCase8(Dest, Source, Count, LocaleId, false);
}
void CollatedUpper(char16_t* Dest, const char16_t* Source, std::int32_t Count,
                   std::uint32_t LocaleId) {
  MapCase16(Dest, Source, Count, LocaleId, true);
}
void CollatedLower(char16_t* Dest, const char16_t* Source, std::int32_t Count,
                   std::uint32_t LocaleId) {
  MapCase16(Dest, Source, Count, LocaleId, false);
}

std::u16string CollatedFold(const char16_t* Source, std::int32_t Count, std::uint32_t LocaleId) {
  Count = ClampLength(Count);
  std::u16string out;
  out.reserve(static_cast<std::size_t>(Count));
  if (LocaleId == kVdbEngineLocale) {
    for (std::int32_t i = 0; i < Count; ++i) {
      const std::uint32_t c = Unit(Source[i]);
      if (c == kSharpS) out += u"ss";
      else out.push_back(c >= 128 && c <= 255 ? static_cast<char16_t>(kEngineFold[c]) : Source[i]);
    }
    return out;
  }
  KnownLocale(LocaleId);
  const TLigatures& lig = Ligatures();
  for (std::int32_t i = 0; i < Count; ++i) {
    if (lig.Length[Source[i]] == 1) {
      out.push_back(Source[i]);
    } else {
      out += lig.Expansion.at(Source[i]);
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Code-page conversion.

std::u16string AnsiToUtf16(std::string_view Ansi, std::uint32_t CodePage) {
  return DecodeAnsi(Ansi, CodePage);
}

std::string AnsiToUtf8(std::string_view Ansi, std::uint32_t CodePage) {
  const std::u16string u = DecodeAnsi(Ansi, CodePage);
  std::string out(u.size() * 3, '\0');
  UErrorCode status = U_ZERO_ERROR;
  std::int32_t n = 0;
  u_strToUTF8WithSub(out.data(), static_cast<std::int32_t>(out.size()), &n,
                     reinterpret_cast<const UChar*>(u.data()), static_cast<std::int32_t>(u.size()),
                     0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) ThrowIcu("Code page conversion", status);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string Utf16ToAnsi(std::u16string_view Utf16, std::uint32_t CodePage) {
  TConverterPtr cnv = OpenCodePage(CodePage);
  const std::int32_t capacity = UCNV_GET_MAX_BYTES_FOR_STRING(static_cast<std::int32_t>(Utf16.size()),
                                                              ucnv_getMaxCharSize(cnv.get()));
  std::string out(static_cast<std::size_t>(capacity), '\0');
  UErrorCode status = U_ZERO_ERROR;
  const std::int32_t n = ucnv_fromUChars(cnv.get(), out.data(), capacity,
                                         reinterpret_cast<const UChar*>(Utf16.data()),
                                         static_cast<std::int32_t>(Utf16.size()), &status);
  if (U_FAILURE(status)) ThrowIcu("Code page conversion", status);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string Utf8ToAnsi(std::string_view Utf8, std::uint32_t CodePage) {
  std::u16string u(Utf8.size(), u'\0');
  UErrorCode status = U_ZERO_ERROR;
  std::int32_t n = 0;
  u_strFromUTF8WithSub(reinterpret_cast<UChar*>(u.data()), static_cast<std::int32_t>(u.size()), &n,
                       Utf8.data(), static_cast<std::int32_t>(Utf8.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) ThrowIcu("Code page conversion", status);
  u.resize(static_cast<std::size_t>(n));
  return Utf16ToAnsi(u, CodePage);
}

}  // namespace vdb
