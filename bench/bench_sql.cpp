// The program's statements on the lexicon against SQLite on the same data, files on disk, caches
// warm, in the same run:
//   - the start query: prepare, open, walk all headwords in order, read the first description;
//   - the search for "%róka%" and for a text that matches nothing (SQLite: the same LIKE over the
//     same columns, ordered by the headword);
//   - a table of 100,000 rows through the handle API (the road the dataset components take):
//     point lookups by the primary key, a key range, a full scan with a predicate, a range that
//     leaves most rows on a column without index, ORDER BY a
//     column without an index, GROUP BY with COUNT and SUM, a join of 10,000 rows to it on its
//     key, and inserting 100,000 rows in one transaction.
// The summary at the end prints "ratio ... = x.xx" (engine time / SQLite time).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "BenchRatio.h"
#include "api/VdbApi.h"
#include "LexiconCsv.h"
#include "LexiconDatabase.h"
#include "query/VdbStatement.h"
#include "session/VdbLocSess.h"
#include "storage/kxMemory.h"

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

// ---- A table of 100,000 rows, through the handle API ----

constexpr int kBigRows = 100000;
constexpr int kSmallRows = 10000;
constexpr int kLookups = 1000;

// Zero-terminated UTF-16 text for the handle API.
std::vector<VdbChar> Wide(std::string_view Utf8) {
  std::vector<VdbChar> Text;
  for (char16_t Unit : vdb::TkxMemory::Utf8ToUtf16(Utf8)) Text.push_back(Unit);
  Text.push_back(0);
  return Text;
}

// The row of key I: a group of 100 values, a value that scatters the keys, a name.
struct TBigRow {
  std::string Id, Grp, Val, Name;
};
TBigRow BigRow(int I) {
  return {std::to_string(I), std::to_string(I % 100), std::to_string((I * 7919) % kBigRows), "name" + std::to_string(I % 977)};
}

// A statement handle, deleted at the end of its scope.
class TApiStatement {
 public:
  TApiStatement(VdbHandle Sess, const std::string& Sql) : FHandle(VdbSessCreateStatement(Sess)) {
    if (VdbStmtSetSqlText(FHandle, Wide(Sql).data()) != 0) std::fprintf(stderr, "syntax: %s\n", Sql.c_str());
  }
  ~TApiStatement() { VdbStmtDelete(FHandle); }
  TApiStatement(const TApiStatement&) = delete;
  TApiStatement& operator=(const TApiStatement&) = delete;
  void AddParam(const char* Name, std::int16_t Type) { VdbStmtAddParam(FHandle, Wide(Name).data(), Type, 0); }
  void SetParam(const char* Name, const std::string& Value) {
    VdbStmtSetParam(FHandle, Wide(Name).data(), Wide(Value).data(), 0);
  }
  bool Prepare(std::int16_t CursorType = VDB_CURSOR_LIVE) { return VdbStmtPrepare(FHandle, CursorType) == 0; }
  std::int32_t Execute() { return VdbStmtExecute(FHandle); }
  // Walks the result as a grid does: every row, the text of column 1. Answers the row count.
  std::int64_t WalkResult() {
    const VdbHandle Table = VdbStmtCreateResultTableHdl(FHandle);
    if (Table <= 0) return -1;
    std::int64_t Rows = 0;
    VdbChar Text[256];
    std::int16_t IsNull = 0;
    for (VdbResult Moved = VdbTableFirst(Table); Moved >= 0; Moved = VdbTableMoveBy(Table, 1), ++Rows) {
      VdbTableGetFieldText(Table, 1, Text, 255, &IsNull);
      benchmark::DoNotOptimize(Text[0]);
    }
    VdbTableDelete(Table);
    return Rows;
  }

 private:
  VdbHandle FHandle;
};

// Prepares, executes and walks Sql once; the rows of the result, or the rows changed.
std::int64_t RunApi(VdbHandle Sess, const std::string& Sql) {
  TApiStatement Statement(Sess, Sql);
  if (!Statement.Prepare()) return -1;
  const std::int32_t Changed = Statement.Execute();
  if (Changed < 0) return -1;
  const bool IsQuery = Sql.rfind("SELECT", 0) == 0;
  return IsQuery ? Statement.WalkResult() : Changed;
}

const char* const kCreateBig = "CREATE TABLE %s (Id INTEGER NOT NULL, Grp INTEGER, Val INTEGER, Name VARCHAR(20), PRIMARY KEY (Id))";
const char* const kCreateSmall = "CREATE TABLE Small (Id INTEGER NOT NULL, BigId INTEGER, PRIMARY KEY (Id))";

std::string CreateBigSql(const char* Name) {
  char Sql[200];
  std::snprintf(Sql, sizeof Sql, kCreateBig, Name);
  return Sql;
}

// Inserts kBigRows rows into Name in one transaction, one prepared INSERT executed per row.
bool InsertBigApi(VdbHandle Sess, const char* Name) {
  TApiStatement Insert(Sess, std::string("INSERT INTO ") + Name + " VALUES (:i, :g, :v, :n)");
  for (const char* Param : {"i", "g", "v"}) Insert.AddParam(Param, VDB_FT_INTEGER);
  Insert.AddParam("n", VDB_FT_STRING);
  if (!Insert.Prepare(VDB_CURSOR_STATIC)) return false;
  VdbSessBeginTransaction(Sess, 0);
  bool Ok = true;
  for (int I = 0; I < kBigRows && Ok; ++I) {
    const TBigRow Row = BigRow(I);
    Insert.SetParam("i", Row.Id);
    Insert.SetParam("g", Row.Grp);
    Insert.SetParam("v", Row.Val);
    Insert.SetParam("n", Row.Name);
    Ok = Insert.Execute() == 1;
  }
  VdbSessEndTransaction(Sess);
  return Ok;
}

bool InsertBigSqlite(sqlite3* Lite, const char* Name) {
  sqlite3_exec(Lite, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* Insert = nullptr;
  sqlite3_prepare_v2(Lite, (std::string("INSERT INTO ") + Name + " VALUES (?1, ?2, ?3, ?4)").c_str(), -1, &Insert, nullptr);
  bool Ok = true;
  for (int I = 0; I < kBigRows && Ok; ++I) {
    sqlite3_bind_int(Insert, 1, I);
    sqlite3_bind_int(Insert, 2, I % 100);
    sqlite3_bind_int(Insert, 3, (I * 7919) % kBigRows);
    const std::string Name2 = "name" + std::to_string(I % 977);
    sqlite3_bind_text(Insert, 4, Name2.c_str(), -1, SQLITE_TRANSIENT);
    Ok = sqlite3_step(Insert) == SQLITE_DONE;
    sqlite3_reset(Insert);
  }
  sqlite3_finalize(Insert);
  sqlite3_exec(Lite, "COMMIT", nullptr, nullptr, nullptr);
  return Ok;
}

struct TTableFixture {
  fs::path Dir;
  VdbHandle Sess = 0;
  sqlite3* Lite = nullptr;

  TTableFixture() {
    Dir = fs::temp_directory_path() / ("vdb_bench_sql_table_" + std::to_string(::getpid()));
    fs::create_directories(Dir);
    const std::string Path = (Dir / "Table.vdbd").string();
    Sess = VdbCreateSession(Wide(Dir.string()).data());
    if (VdbSessCreateDatabase(Sess, VDB_DB_SINGLE_FILE, Wide(Path).data(), nullptr) != 0 ||
        VdbSessOpenDb(Sess, Wide(Path).data(), nullptr, nullptr, 0, 0) != 0)
      std::fprintf(stderr, "cannot make %s\n", Path.c_str());
    sqlite3_open((Dir / "table.sqlite").string().c_str(), &Lite);
    Fill();
  }
  ~TTableFixture() {
    sqlite3_close(Lite);
    VdbSessCloseDb(Sess);
    VdbSessDelete(Sess);
    std::error_code Ignored;
    fs::remove_all(Dir, Ignored);
  }

 private:
  void Fill() {
    RunApi(Sess, CreateBigSql("Big"));
    RunApi(Sess, kCreateSmall);
    if (!InsertBigApi(Sess, "Big")) std::fprintf(stderr, "engine: filling Big failed\n");
    sqlite3_exec(Lite, CreateBigSql("Big").c_str(), nullptr, nullptr, nullptr);
    sqlite3_exec(Lite, kCreateSmall, nullptr, nullptr, nullptr);
    InsertBigSqlite(Lite, "Big");
    // Small row I points at a Big row spread over the whole key range.
    TApiStatement Insert(Sess, "INSERT INTO Small VALUES (:i, :b)");
    Insert.AddParam("i", VDB_FT_INTEGER);
    Insert.AddParam("b", VDB_FT_INTEGER);
    Insert.Prepare(VDB_CURSOR_STATIC);
    VdbSessBeginTransaction(Sess, 0);
    sqlite3_exec(Lite, "BEGIN", nullptr, nullptr, nullptr);
    for (int I = 0; I < kSmallRows; ++I) {
      const std::string Id = std::to_string(I), BigId = std::to_string(I * (kBigRows / kSmallRows) + 3);
      Insert.SetParam("i", Id);
      Insert.SetParam("b", BigId);
      Insert.Execute();
      sqlite3_exec(Lite, ("INSERT INTO Small VALUES (" + Id + ", " + BigId + ")").c_str(), nullptr, nullptr, nullptr);
    }
    sqlite3_exec(Lite, "COMMIT", nullptr, nullptr, nullptr);
    VdbSessEndTransaction(Sess);
  }
};

std::unique_ptr<TTableFixture> TheTableFixture;

// The statements of the table benchmarks, the same text for both engines.
const char* const kRangeSql = "SELECT Id, Name FROM Big WHERE Id >= 40000 AND Id < 50000";
const char* const kScanSql = "SELECT Id, Val FROM Big WHERE Val < 5000 AND Name <> 'name3'";
// A range over a column without index that leaves most rows (80,000).
const char* const kWideScanSql = "SELECT Id, Val FROM Big WHERE Val >= 20000";
const char* const kOrderSql = "SELECT Id, Val FROM Big ORDER BY Val";
const char* const kGroupSql = "SELECT Grp, COUNT(*), SUM(Val) FROM Big GROUP BY Grp";
const char* const kJoinSql = "SELECT Small.Id, Big.Name FROM Small, Big WHERE Small.BigId = Big.Id";

std::int64_t RunLite(const std::string& Sql) {
  sqlite3_stmt* Statement = nullptr;
  sqlite3_prepare_v2(TheTableFixture->Lite, Sql.c_str(), -1, &Statement, nullptr);
  std::int64_t Rows = 0;
  while (sqlite3_step(Statement) == SQLITE_ROW) {
    benchmark::DoNotOptimize(sqlite3_column_text(Statement, 0));
    ++Rows;
  }
  sqlite3_finalize(Statement);
  return Rows;
}

void BM_TableQuery_Engine(benchmark::State& State, const char* Sql) {
  for (auto _ : State) State.counters["rows"] = static_cast<double>(RunApi(TheTableFixture->Sess, Sql));
}
void BM_TableQuery_Sqlite(benchmark::State& State, const char* Sql) {
  for (auto _ : State) State.counters["rows"] = static_cast<double>(RunLite(Sql));
}

// kLookups point lookups by the key with one prepared statement, reading the name of each row.
void BM_Lookup_Engine(benchmark::State& State) {
  TApiStatement Lookup(TheTableFixture->Sess, "SELECT Name FROM Big WHERE Id = :k");
  Lookup.AddParam("k", VDB_FT_INTEGER);
  Lookup.Prepare();
  for (auto _ : State) {
    std::int64_t Found = 0;
    for (int I = 0; I < kLookups; ++I) {
      Lookup.SetParam("k", std::to_string((I * 7919) % kBigRows));
      if (Lookup.Execute() >= 0) Found += Lookup.WalkResult();
    }
    State.counters["rows"] = static_cast<double>(Found);
  }
}
void BM_Lookup_Sqlite(benchmark::State& State) {
  sqlite3_stmt* Lookup = nullptr;
  sqlite3_prepare_v2(TheTableFixture->Lite, "SELECT Name FROM Big WHERE Id = ?1", -1, &Lookup, nullptr);
  for (auto _ : State) {
    std::int64_t Found = 0;
    for (int I = 0; I < kLookups; ++I) {
      sqlite3_bind_int(Lookup, 1, (I * 7919) % kBigRows);
      while (sqlite3_step(Lookup) == SQLITE_ROW) {
        benchmark::DoNotOptimize(sqlite3_column_text(Lookup, 0));
        ++Found;
      }
      sqlite3_reset(Lookup);
    }
    State.counters["rows"] = static_cast<double>(Found);
  }
  sqlite3_finalize(Lookup);
}

// A new table each round, filled in one transaction, dropped outside the timing.
void BM_Insert_Engine(benchmark::State& State) {
  const VdbHandle Sess = TheTableFixture->Sess;
  for (auto _ : State) {
    State.PauseTiming();
    RunApi(Sess, CreateBigSql("Fresh"));
    State.ResumeTiming();
    if (!InsertBigApi(Sess, "Fresh")) State.SkipWithError("insert failed");
    State.PauseTiming();
    RunApi(Sess, "DROP TABLE Fresh");
    State.ResumeTiming();
  }
}
void BM_Insert_Sqlite(benchmark::State& State) {
  sqlite3* Lite = TheTableFixture->Lite;
  for (auto _ : State) {
    State.PauseTiming();
    sqlite3_exec(Lite, CreateBigSql("Fresh").c_str(), nullptr, nullptr, nullptr);
    State.ResumeTiming();
    if (!InsertBigSqlite(Lite, "Fresh")) State.SkipWithError("insert failed");
    State.PauseTiming();
    sqlite3_exec(Lite, "DROP TABLE Fresh", nullptr, nullptr, nullptr);
    State.ResumeTiming();
  }
}

BENCHMARK(BM_Lookup_Engine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lookup_Sqlite)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TableQuery_Engine, Range, kRangeSql)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TableQuery_Sqlite, Range, kRangeSql)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TableQuery_Engine, Scan, kScanSql)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TableQuery_Sqlite, Scan, kScanSql)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TableQuery_Engine, WideScan, kWideScanSql)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TableQuery_Sqlite, WideScan, kWideScanSql)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TableQuery_Engine, Order, kOrderSql)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TableQuery_Sqlite, Order, kOrderSql)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TableQuery_Engine, Group, kGroupSql)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TableQuery_Sqlite, Group, kGroupSql)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TableQuery_Engine, Join, kJoinSql)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TableQuery_Sqlite, Join, kJoinSql)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Insert_Engine)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Insert_Sqlite)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TheFixture = std::make_unique<TFixture>();
  TheTableFixture = std::make_unique<TTableFixture>();
  vdbbench::TRatioReporter Reporter(vdbbench::TRatioReporter::TClock::Cpu);
  benchmark::RunSpecifiedBenchmarks(&Reporter);
  std::printf("\n");
  Reporter.PrintRatio("start query (prepare, walk all headwords, first description)", "BM_Start_Engine", "BM_Start_Sqlite");
  Reporter.PrintRatio("search %róka%", "BM_SearchRoka_Engine", "BM_SearchRoka_Sqlite");
  Reporter.PrintRatio("search without hits", "BM_SearchNone_Engine", "BM_SearchNone_Sqlite");
  Reporter.PrintRatio("100,000 rows: 1,000 point lookups by the key", "BM_Lookup_Engine", "BM_Lookup_Sqlite");
  Reporter.PrintRatio("100,000 rows: key range of 10,000", "BM_TableQuery_Engine/Range", "BM_TableQuery_Sqlite/Range");
  Reporter.PrintRatio("100,000 rows: full scan with a predicate", "BM_TableQuery_Engine/Scan", "BM_TableQuery_Sqlite/Scan");
  Reporter.PrintRatio("100,000 rows: range leaving 80,000 rows on a column without index",
                      "BM_TableQuery_Engine/WideScan", "BM_TableQuery_Sqlite/WideScan");
  Reporter.PrintRatio("100,000 rows: ORDER BY a column without index", "BM_TableQuery_Engine/Order", "BM_TableQuery_Sqlite/Order");
  Reporter.PrintRatio("100,000 rows: GROUP BY with COUNT and SUM", "BM_TableQuery_Engine/Group", "BM_TableQuery_Sqlite/Group");
  Reporter.PrintRatio("join of 10,000 to 100,000 rows on the key", "BM_TableQuery_Engine/Join", "BM_TableQuery_Sqlite/Join");
  Reporter.PrintRatio("insert 100,000 rows in one transaction", "BM_Insert_Engine/iterations:2", "BM_Insert_Sqlite/iterations:2");
  benchmark::Shutdown();
  TheTableFixture.reset();
  TheFixture.reset();
  return 0;
}
