// Collated comparison of lexicon headwords: the engine's CompareCollated on Windows-1250 text
// (conversion to UTF-16 on the stack, word sort of hyphen and apostrophe, collator cache) against
// a bare ICU ucol_strcoll on the same headwords already in UTF-16, in the same run.
//
// The summary at the end prints "ratio ... = x.xx" (engine CPU time / ICU CPU time; 1 means no
// overhead).
#include <benchmark/benchmark.h>
#include <unicode/ucol.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "table/kxStrUtils.h"
#include "BenchRatio.h"

namespace {

// Headwords of the lexicon, a mix of blanks, hyphens, accents and Hungarian double letters.
const char* const kHeadwords[] = {
    "A szél", "Abajgatni", "Acsarkodik", "Ácsorog", "Ádázát", "Ág", "Agancs", "Agancs karimája",
    "Agancsár", "Agancs-csörtölés", "Agancsfelrakás", "Agancsfejlődés", "Agancsgyűjtés",
    "Agancshullatás", "Agancsrendellenesség", "Agancssúly", "Agancsszár", "Agancsszín",
    "Agancstérfogat", "Agancstő", "Agár", "Agarászat", "Agyaggalamb", "Agyar", "Agyaras",
    "Agyhossz", "Agyazás", "Agyarhossz", "Agyarszélesség", "Hubertusz", "hubertusz", "Nimród",
    "nimród", "Vadászat", "Vadászjegy", "Vadászkürt", "Vaddisznó", "Vadgazdálkodás", "Vadkár",
    "Vadőr", "Szarvas", "Szarvasbőgés", "Szarvasagancs", "Őz", "Őzbak", "Őzsuta", "Zsákmány",
    "Zúzmara", "Lyuk", "Lőtávolság", "Lövés", "Csülök", "Cserkelés", "Cserkészút", "Dúvad",
    "Fácán", "Fácánkakas", "Fogoly", "Fürj", "Gímszarvas", "Gyöngytyúk", "Hajtás", "Hajtóvadászat",
    "Kotorék"};

struct TCorpus {
  std::uint32_t Locale = 0;
  vdb::TStrCmpOptions Options = 0;
  std::vector<std::string> Ansi;
  std::vector<std::u16string> Wide;
};

const TCorpus& Corpus() {
  static const TCorpus corpus = [] {
    TCorpus c;
    vdb::ParseCollationName("Hungarian_ci_as", c.Locale, c.Options);
    const std::uint32_t cp = vdb::LocaleCodePage(c.Locale);
    for (const char* w : kHeadwords) {
      c.Ansi.push_back(vdb::Utf8ToAnsi(w, cp));
      c.Wide.push_back(vdb::AnsiToUtf16(c.Ansi.back(), cp));
    }
    return c;
  }();
  return corpus;
}

std::int64_t PairCount() {
  const auto n = static_cast<std::int64_t>(Corpus().Ansi.size());
  return n * n;
}

void BM_CompareCollated_Ansi1250(benchmark::State& State) {
  const TCorpus& c = Corpus();
  for (auto _ : State) {
    int sum = 0;
    for (const std::string& a : c.Ansi)
      for (const std::string& b : c.Ansi)
        sum += vdb::CompareCollated(a.data(), static_cast<std::int32_t>(a.size()), b.data(),
                                    static_cast<std::int32_t>(b.size()), c.Options, c.Locale);
    benchmark::DoNotOptimize(sum);
  }
  State.SetItemsProcessed(State.iterations() * PairCount());
}

void BM_CompareCollated_Utf16(benchmark::State& State) {
  const TCorpus& c = Corpus();
  for (auto _ : State) {
    int sum = 0;
    for (const std::u16string& a : c.Wide)
      for (const std::u16string& b : c.Wide)
        sum += vdb::CompareCollated(a.data(), static_cast<std::int32_t>(a.size()), b.data(),
                                    static_cast<std::int32_t>(b.size()), c.Options, c.Locale);
    benchmark::DoNotOptimize(sum);
  }
  State.SetItemsProcessed(State.iterations() * PairCount());
}

void BM_IcuStrcoll_Utf16(benchmark::State& State) {
  const TCorpus& c = Corpus();
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UCollator, decltype(&ucol_close)> coll(ucol_open("hu_HU", &status), &ucol_close);
  if (U_FAILURE(status)) {
    State.SkipWithError("no Hungarian collator");
    return;
  }
  ucol_setStrength(coll.get(), UCOL_SECONDARY);
  for (auto _ : State) {
    int sum = 0;
    for (const std::u16string& a : c.Wide)
      for (const std::u16string& b : c.Wide)
        sum += ucol_strcoll(coll.get(), reinterpret_cast<const UChar*>(a.data()),
                            static_cast<std::int32_t>(a.size()),
                            reinterpret_cast<const UChar*>(b.data()),
                            static_cast<std::int32_t>(b.size()));
    benchmark::DoNotOptimize(sum);
  }
  State.SetItemsProcessed(State.iterations() * PairCount());
}

// The engine collation on the same headwords (in Windows-1252 they lose ő and ű, which does
// not matter for timing): no ICU call at all.
void BM_CompareCollated_Engine(benchmark::State& State) {
  std::vector<std::string> western;
  for (const char* w : kHeadwords) western.push_back(vdb::Utf8ToAnsi(w, 1252));
  for (auto _ : State) {
    int sum = 0;
    for (const std::string& a : western)
      for (const std::string& b : western)
        sum += vdb::CompareCollated(a.data(), static_cast<std::int32_t>(a.size()), b.data(),
                                    static_cast<std::int32_t>(b.size()), vdb::scoAccentSensitive,
                                    vdb::kVdbEngineLocale);
    benchmark::DoNotOptimize(sum);
  }
  State.SetItemsProcessed(State.iterations() * PairCount());
}

BENCHMARK(BM_CompareCollated_Ansi1250);
BENCHMARK(BM_CompareCollated_Utf16);
BENCHMARK(BM_IcuStrcoll_Utf16);
BENCHMARK(BM_CompareCollated_Engine);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  vdbbench::TRatioReporter reporter(vdbbench::TRatioReporter::TClock::Cpu);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  reporter.PrintRatio("CompareCollated Windows-1250 / ucol_strcoll UTF-16",
                      "BM_CompareCollated_Ansi1250", "BM_IcuStrcoll_Utf16");
  reporter.PrintRatio("CompareCollated UTF-16 / ucol_strcoll UTF-16", "BM_CompareCollated_Utf16",
                      "BM_IcuStrcoll_Utf16");
  reporter.PrintRatio("engine collation / ucol_strcoll UTF-16", "BM_CompareCollated_Engine",
                      "BM_IcuStrcoll_Utf16");
  benchmark::Shutdown();
  return 0;
}
