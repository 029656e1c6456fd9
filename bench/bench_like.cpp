// The lexicon's search condition, CIMSZO LIKE '%text%' OR LEIRAS LIKE '%text%', over all its
// entries (1,752 headwords, 879,000 characters of description in Windows-1250), against SQLite
// running the whole query (sort included) on the same entries in UTF-8, in the same run:
// - BM_Like_Engine: the engine's MatchesPattern under "Hungarian_ci_as" over the texts in memory;
// - BM_Scan_Engine: the same condition over table Data of the lexicon's database, walked by an
//   accessor (records, headword field, memo read only where the headword does not match);
// - BM_Like_IcuSearch: ICU's collation-aware string search (usearch, Hungarian at secondary
//   strength) over the same texts already in UTF-16, a peer for the matching alone;
// - BM_Like_Reference: the reference matcher (the text converted to UTF-16, every literal run
//   compared with the collator at every position), where the engine came from.
// Searched: "róka" (124 entries) and a text that matches nothing.
//
// The summary prints "ratio ... = x.xx" (engine CPU time / peer CPU time; below 1 the engine is
// faster).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unicode/ucol.h>
#include <unicode/usearch.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "LexiconCsv.h"
#include "LexiconDatabase.h"
#include "session/VdbAccessor.h"
#include "session/VdbCatalog.h"
#include "session/VdbLocSess.h"
#include "table/VdbData.h"
#include "table/VdbRelation.h"
#include "table/kxStrUtils.h"
#include "table/kxStrUtilsReference.h"

namespace {

const char* const kSearches[] = {"róka", "farkasalma"};

struct TLexicon {
  std::uint32_t Locale = 0;
  vdb::TStrCmpOptions Options = 0;
  std::vector<lexicon::LexiconEntry> Utf8;
  std::vector<std::string> Headwords, Descriptions;  // Windows-1250
};

const TLexicon& Lexicon() {
  static const TLexicon lexicon = [] {
    TLexicon l;
    vdb::ParseCollationName("Hungarian_ci_as", l.Locale, l.Options);
    const std::uint32_t cp = vdb::LocaleCodePage(l.Locale);
    l.Utf8 = lexicon::ReadLexiconCsv(std::string(VDB_SOURCE_DIR) + "/app/lexicon/Lexikon.csv");
    for (const lexicon::LexiconEntry& e : l.Utf8) {
      l.Headwords.push_back(vdb::Utf8ToAnsi(e.headword, cp));
      l.Descriptions.push_back(vdb::Utf8ToAnsi(e.description, cp));
    }
    return l;
  }();
  return lexicon;
}

std::string Pattern(std::int64_t Search) {
  return vdb::Utf8ToAnsi(std::string("%") + kSearches[Search] + "%", vdb::LocaleCodePage(Lexicon().Locale));
}

bool EngineLike(const std::string& Value, const std::string& Pattern) {
  const TLexicon& l = Lexicon();
  return vdb::MatchesPattern(Value.data(), static_cast<std::int32_t>(Value.size()), Pattern.data(),
                             static_cast<std::int32_t>(Pattern.size()), -1, '%', '_', l.Options, l.Locale);
}

bool ReferenceLike(const std::string& Value, const std::string& Pattern) {
  const TLexicon& l = Lexicon();
  return vdb::reference::ReferenceMatchesPattern(Value, Pattern, -1, '%', '_', l.Options, l.Locale);
}

template <bool (*Like)(const std::string&, const std::string&)>
void BM_Search(benchmark::State& State) {
  const TLexicon& l = Lexicon();
  const std::string pattern = Pattern(State.range(0));
  std::int64_t hits = 0;
  for (auto _ : State) {
    hits = 0;
    for (std::size_t i = 0; i < l.Headwords.size(); ++i)
      hits += Like(l.Headwords[i], pattern) || Like(l.Descriptions[i], pattern) ? 1 : 0;
    benchmark::DoNotOptimize(hits);
  }
  State.counters["hits"] = static_cast<double>(hits);
}

void BM_Like_Engine(benchmark::State& State) { BM_Search<EngineLike>(State); }
void BM_Like_Reference(benchmark::State& State) { BM_Search<ReferenceLike>(State); }

// The lexicon's database written to a temporary directory and opened in a session, read-only.
constexpr std::uint16_t kReadOnly = 0;
class TLexiconDatabase {
 public:
  TLexiconDatabase()
      : dir_(std::filesystem::temp_directory_path() / ("vdb_bench_like_" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(dir_);
    const std::string path = (dir_ / "L_Data.vdbd").string();
    lexicon::WriteLexiconDatabase(Lexicon().Utf8, path);
    session_.Initialize(1);
    session_.Catalog()->SetLocation(path);
    ok_ = session_.OpenDb() == 0 && session_.Catalog()->TryOpenTable("Data", "", false, false, kReadOnly) == 1;
  }
  ~TLexiconDatabase() {
    session_.CloseDb();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  bool Ok() const { return ok_; }
  vdb::TVdbAccessor& Accessor() { return *session_.Catalog()->GetDefaultAccessor(1); }

 private:
  std::filesystem::path dir_;
  vdb::TVdbLocalSession session_;
  bool ok_ = false;
};

void BM_Scan_Engine(benchmark::State& State) {
  TLexiconDatabase db;
  if (!db.Ok()) {
    State.SkipWithError("the lexicon's database does not open");
    return;
  }
  vdb::TVdbAccessor& accessor = db.Accessor();
  vdb::TVdbRelation& relation = accessor.Relation();
  const auto* headwordType = static_cast<const vdb::TVdbStringType*>(relation.GetDataType(1));
  const TLexicon& l = Lexicon();
  const std::string pattern = Pattern(State.range(0));
  std::int64_t hits = 0;
  vdb::TVdbDataValue headword;
  std::string description;
  for (auto _ : State) {
    hits = 0;
    for (std::int16_t r = accessor.First(); r == 0; r = accessor.Next()) {
      bool hit = false;
      if (relation.GetValue(accessor.GetRecordPtr(), 1, headword)) {
        std::int32_t length = 0;
        const char* chars = headwordType->GetPAnsiChar(headword, length);
        hit = vdb::MatchesPattern(chars, length, pattern.data(), static_cast<std::int32_t>(pattern.size()), -1,
                                  '%', '_', l.Options, l.Locale);
      }
      if (!hit && accessor.GetMemo(2, description, -1) > 0)
        hit = EngineLike(description, pattern);
      hits += hit ? 1 : 0;
    }
    benchmark::DoNotOptimize(hits);
  }
  State.counters["hits"] = static_cast<double>(hits);
}

struct TSearchCloser {
  void operator()(UStringSearch* S) const { usearch_close(S); }
};
struct TCollatorCloser {
  void operator()(UCollator* C) const { ucol_close(C); }
};

void BM_Like_IcuSearch(benchmark::State& State) {
  const TLexicon& l = Lexicon();
  std::vector<std::u16string> headwords, descriptions;
  for (std::size_t i = 0; i < l.Headwords.size(); ++i) {
    headwords.push_back(vdb::AnsiToUtf16(l.Headwords[i], 1250));
    descriptions.push_back(vdb::AnsiToUtf16(l.Descriptions[i], 1250));
  }
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UCollator, TCollatorCloser> coll(ucol_open("hu_HU", &status));
  if (U_FAILURE(status)) {
    State.SkipWithError("no Hungarian collator");
    return;
  }
  ucol_setStrength(coll.get(), UCOL_SECONDARY);
  const std::u16string pattern = vdb::AnsiToUtf16(Pattern(State.range(0)), 1250).substr(1);
  const std::u16string word = pattern.substr(0, pattern.size() - 1);  // without the multi-jokers
  const std::u16string start = u" ";
  std::unique_ptr<UStringSearch, TSearchCloser> search(
      usearch_openFromCollator(reinterpret_cast<const UChar*>(word.data()), static_cast<std::int32_t>(word.size()),
                               reinterpret_cast<const UChar*>(start.data()), 1, coll.get(), nullptr, &status));
  if (U_FAILURE(status)) {
    State.SkipWithError("no string search");
    return;
  }
  auto found = [&search](const std::u16string& Text) {
    UErrorCode s = U_ZERO_ERROR;
    usearch_setText(search.get(), reinterpret_cast<const UChar*>(Text.data()), static_cast<std::int32_t>(Text.size()), &s);
    return U_SUCCESS(s) && usearch_first(search.get(), &s) != USEARCH_DONE;
  };
  std::int64_t hits = 0;
  for (auto _ : State) {
    hits = 0;
    for (std::size_t i = 0; i < headwords.size(); ++i)
      hits += !headwords[i].empty() && (found(headwords[i]) || found(descriptions[i])) ? 1 : 0;
    benchmark::DoNotOptimize(hits);
  }
  State.counters["hits"] = static_cast<double>(hits);
}

struct TSqliteCloser {
  void operator()(sqlite3* Db) const { sqlite3_close(Db); }
};
struct TStatementCloser {
  void operator()(sqlite3_stmt* S) const { sqlite3_finalize(S); }
};

// The lexicon in an in-memory SQLite database, as the window's query reads it.
std::unique_ptr<sqlite3, TSqliteCloser> OpenSqliteLexicon() {
  sqlite3* raw = nullptr;
  sqlite3_open(":memory:", &raw);
  std::unique_ptr<sqlite3, TSqliteCloser> db(raw);
  sqlite3_exec(raw, "CREATE TABLE Data (CIMSZO TEXT, LEIRAS TEXT)", nullptr, nullptr, nullptr);
  sqlite3_exec(raw, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(raw, "INSERT INTO Data VALUES (?1, ?2)", -1, &insert, nullptr);
  for (const lexicon::LexiconEntry& e : Lexicon().Utf8) {
    sqlite3_bind_text(insert, 1, e.headword.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 2, e.description.c_str(), -1, SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
  return db;
}

void BM_Like_Sqlite(benchmark::State& State) {
  auto db = OpenSqliteLexicon();
  sqlite3_stmt* raw = nullptr;
  sqlite3_prepare_v2(db.get(), "SELECT CIMSZO FROM Data WHERE CIMSZO LIKE ?1 OR LEIRAS LIKE ?1 ORDER BY CIMSZO",
                     -1, &raw, nullptr);
  std::unique_ptr<sqlite3_stmt, TStatementCloser> query(raw);
  const std::string pattern = std::string("%") + kSearches[State.range(0)] + "%";
  std::int64_t hits = 0;
  for (auto _ : State) {
    sqlite3_bind_text(raw, 1, pattern.c_str(), -1, SQLITE_STATIC);
    hits = 0;
    while (sqlite3_step(raw) == SQLITE_ROW) ++hits;
    sqlite3_reset(raw);
    benchmark::DoNotOptimize(hits);
  }
  State.counters["hits"] = static_cast<double>(hits);
}

BENCHMARK(BM_Like_Engine)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scan_Engine)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Like_IcuSearch)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Like_Reference)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Like_Sqlite)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  vdbbench::TRatioReporter reporter(vdbbench::TRatioReporter::TClock::Cpu);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  reporter.PrintRatio("LIKE search \"róka\" / SQLite", "BM_Like_Engine/0", "BM_Like_Sqlite/0");
  reporter.PrintRatio("LIKE search, no match / SQLite", "BM_Like_Engine/1", "BM_Like_Sqlite/1");
  reporter.PrintRatio("LIKE search \"róka\" / ICU string search", "BM_Like_Engine/0", "BM_Like_IcuSearch/0");
  reporter.PrintRatio("LIKE search, no match / ICU string search", "BM_Like_Engine/1", "BM_Like_IcuSearch/1");
  reporter.PrintRatio("scan and condition \"róka\" / SQLite", "BM_Scan_Engine/0", "BM_Like_Sqlite/0");
  reporter.PrintRatio("scan and condition, no match / SQLite", "BM_Scan_Engine/1", "BM_Like_Sqlite/1");
  reporter.PrintRatio("reference matcher \"róka\" / SQLite", "BM_Like_Reference/0", "BM_Like_Sqlite/0");
  reporter.PrintRatio("reference matcher, no match / SQLite", "BM_Like_Reference/1", "BM_Like_Sqlite/1");
  benchmark::Shutdown();
  return 0;
}
