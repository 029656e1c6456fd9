// The program's statements on the lexicon against SQLite on the same data, files on disk, caches
// warm, in the same run:
//   - the start query: prepare, open, walk all headwords in order, read the first description;
//   - the search for "%róka%" and for a text that matches nothing (SQLite: the same LIKE over the
//     same columns, ordered by the headword).
// The summary at the end prints "ratio ... = x.xx" (engine time / SQLite time).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "BenchRatio.h"
#include "LexiconCsv.h"
#include "LexiconDatabase.h"
#include "query/VdbStatement.h"
#include "session/VdbLocSess.h"

namespace {

namespace fs = std::filesystem;

struct TFixture {
  fs::path Dir;
  std::unique_ptr<vdb::TVdbLocalSession> Session;
  sqlite3* Lite = nullptr;

  TFixture() {
    Dir = fs::temp_directory_path() / ("vdb_bench_sql_" + std::to_string(::getpid()));
    fs::create_directories(Dir);
    const auto Entries = lexicon::ReadLexiconCsv(std::string(VDB_SOURCE_DIR) + "/app/lexicon/Lexikon.csv");
    const std::string Path = (Dir / "L_Data.vdbd").string();
    lexicon::WriteLexiconDatabase(Entries, Path);
    Session = std::make_unique<vdb::TVdbLocalSession>();
    Session->Initialize(1);
    Session->Catalog()->SetLocation(Path);
    if (Session->OpenDb() < 0) std::fprintf(stderr, "cannot open %s\n", Path.c_str());
    sqlite3_open((Dir / "lexicon.sqlite").string().c_str(), &Lite);
    sqlite3_exec(Lite, "CREATE TABLE Data (CIMSZO TEXT, LEIRAS TEXT); CREATE INDEX DataCimszo ON Data (CIMSZO);",
                 nullptr, nullptr, nullptr);
    sqlite3_exec(Lite, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* Insert = nullptr;
    sqlite3_prepare_v2(Lite, "INSERT INTO Data VALUES (?1, ?2)", -1, &Insert, nullptr);
    for (const auto& Entry : Entries) {
      sqlite3_bind_text(Insert, 1, Entry.headword.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(Insert, 2, Entry.description.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(Insert);
      sqlite3_reset(Insert);
    }
    sqlite3_finalize(Insert);
    sqlite3_exec(Lite, "COMMIT", nullptr, nullptr, nullptr);
  }
  ~TFixture() {
    sqlite3_close(Lite);
    Session->CloseDb();
    Session.reset();
    std::error_code Ignored;
    fs::remove_all(Dir, Ignored);
  }
};

// Made in main and gone before main returns: the engine's process-wide lists must outlive it.
std::unique_ptr<TFixture> TheFixture;

TFixture& Fixture() { return *TheFixture; }

std::string SearchSql(const std::string& Text) {
  const std::string Quoted = "'%" + Text + "%'";
  return "Select * FROM Data WHERE CIMSZO like " + Quoted + " or LEIRAS like " + Quoted + "ORDER By CIMSZO";
}

// Prepares and executes Sql, then walks the result as the window's cursor does: every headword,
// and the description of the first row. Answers the row count.
std::int64_t RunVdb(const std::string& Sql) {
  vdb::TVdbCatalog& Catalog = *Fixture().Session->Catalog();
  vdb::TVdbStatement Statement(&Catalog);
  Statement.SetText(Sql);
  Statement.SetRequestedCursorType(vdb::tctLiveResult);
  if (Statement.Prepare() < 0 || Statement.Execute() < 0) return -1;
  vdb::TVdbRelation& Result = *Catalog.GetRelation(Statement.ResultRltnIdx());
  vdb::TVdbAccessor Cursor(Result, "Bench_Cursor");
  if (Statement.ResultIndexNo() < 128) Cursor.SetAccess(Statement.ResultIndexNo(), false);
  std::int64_t Rows = 0;
  std::string Text;
  for (std::int16_t Moved = Cursor.First(); Moved == 0; Moved = Cursor.Next()) {
    Result.GetAsStringA(Cursor.GetRecordPtr(), 1, Text);
    if (Rows++ == 0) Cursor.GetMemo(2, Text, -1);
    benchmark::DoNotOptimize(Text.data());
  }
  return Rows;
}

std::int64_t RunSqlite(const std::string& Sql, const std::string& Pattern) {
  sqlite3_stmt* Statement = nullptr;
  sqlite3_prepare_v2(Fixture().Lite, Sql.c_str(), -1, &Statement, nullptr);
  if (!Pattern.empty()) sqlite3_bind_text(Statement, 1, Pattern.c_str(), -1, SQLITE_TRANSIENT);
  std::int64_t Rows = 0;
  while (sqlite3_step(Statement) == SQLITE_ROW) {
    benchmark::DoNotOptimize(sqlite3_column_text(Statement, 0));
    if (Rows++ == 0) benchmark::DoNotOptimize(sqlite3_column_text(Statement, 1));
  }
  sqlite3_finalize(Statement);
  return Rows;
}

const char* const kStartSql = "select * from Data \norder by CIMSZO";
const char* const kSqliteStart = "select CIMSZO, LEIRAS from Data order by CIMSZO";
const char* const kSqliteSearch = "select CIMSZO, LEIRAS from Data where CIMSZO like ?1 or LEIRAS like ?1 order by CIMSZO";

void BM_Start_Engine(benchmark::State& State) {
  for (auto _ : State) State.counters["rows"] = static_cast<double>(RunVdb(kStartSql));
}
void BM_Start_Sqlite(benchmark::State& State) {
  for (auto _ : State) State.counters["rows"] = static_cast<double>(RunSqlite(kSqliteStart, ""));
}
void BM_SearchRoka_Engine(benchmark::State& State) {
  for (auto _ : State) State.counters["rows"] = static_cast<double>(RunVdb(SearchSql("róka")));
}
void BM_SearchRoka_Sqlite(benchmark::State& State) {
  for (auto _ : State) State.counters["rows"] = static_cast<double>(RunSqlite(kSqliteSearch, "%róka%"));
}
void BM_SearchNone_Engine(benchmark::State& State) {
  for (auto _ : State) State.counters["rows"] = static_cast<double>(RunVdb(SearchSql("qqxzw")));
}
void BM_SearchNone_Sqlite(benchmark::State& State) {
  for (auto _ : State) State.counters["rows"] = static_cast<double>(RunSqlite(kSqliteSearch, "%qqxzw%"));
}

BENCHMARK(BM_Start_Engine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Start_Sqlite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchRoka_Engine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchRoka_Sqlite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchNone_Engine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchNone_Sqlite)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TheFixture = std::make_unique<TFixture>();
  vdbbench::TRatioReporter Reporter(vdbbench::TRatioReporter::TClock::Real);
  benchmark::RunSpecifiedBenchmarks(&Reporter);
  std::printf("\n");
  Reporter.PrintRatio("start query (prepare, walk all headwords, first description)", "BM_Start_Engine", "BM_Start_Sqlite");
  Reporter.PrintRatio("search %róka%", "BM_SearchRoka_Engine", "BM_SearchRoka_Sqlite");
  Reporter.PrintRatio("search without hits", "BM_SearchNone_Engine", "BM_SearchNone_Sqlite");
  benchmark::Shutdown();
  TheFixture.reset();
  return 0;
}
