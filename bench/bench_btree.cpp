// Index files against SQLite, in the same run.
//
//   Insert: N items (record number + a 6 to 21 character key) in random order into a new index
//   file in a compound container, flushed at the end, once as a B+ tree and once as a classic
//   B-tree; against N rows inserted in one transaction into a table with an index on
//   (key, record number) in a temp-file SQLite database (synchronous off), committed at the end.
//   Lookup: N searches for the first item of a key (record number 0) in the built index, against
//   a prepared "key >= ? order by key, rec limit 1" query that the SQLite index answers.
//
// The summary prints each index-file figure as a ratio to its SQLite peer ("ratio ... = x.xx";
// below 1 means faster than SQLite).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "storage/VdbPageMan.h"
#include "storage/kxCompoundFile.h"
#include "storage/kxMemory.h"
#include "table/VdbIndexFile.h"
#include "BenchRatio.h"

namespace {

using namespace vdb;

constexpr std::int32_t kItems = 100000;
constexpr std::int32_t kMaxKey = 21;
constexpr std::int32_t kItemSize = 5 + kMaxKey;
constexpr std::int32_t kCatalogCacheKiB = 40960;

std::filesystem::path BenchDir() {
  static const std::filesystem::path Dir = [] {
    auto Path = std::filesystem::temp_directory_path() / ("vdb_bench_btree_" + std::to_string(::getpid()));
    std::filesystem::create_directories(Path);
    return Path;
  }();
  return Dir;
}

struct TKey {
  std::string Text;
  std::int32_t RecNo;
};

// The keys in random order; about one in ten keys occurs twice.
const std::vector<TKey>& Keys() {
  static const std::vector<TKey> All = [] {
    std::mt19937 Random(42);
    std::uniform_int_distribution<int> Length(6, kMaxKey);
    std::uniform_int_distribution<int> Letter(0, 25);
    std::vector<TKey> Result;
    for (std::int32_t RecNo = 1; RecNo <= kItems; ++RecNo) {
      std::string Text;
      if (RecNo % 10 == 0 && !Result.empty()) {
        Text = Result[static_cast<std::size_t>(Random() % Result.size())].Text;
      } else {
        Text.resize(static_cast<std::size_t>(Length(Random)));
        for (char& C : Text) C = static_cast<char>('a' + Letter(Random));
      }
      Result.push_back({Text, RecNo});
    }
    return Result;
  }();
  return All;
}

// Items: record number, length byte, the characters (zero padded to a fixed size when asked).
std::vector<std::uint8_t> ItemOf(const TKey& Key, std::int32_t RecNo, bool Fixed) {
  std::vector<std::uint8_t> Item(Fixed ? kItemSize : 5 + Key.Text.size(), 0);
  TkxMemory::WriteInt32(Item.data(), 0, RecNo);
  Item[4] = static_cast<std::uint8_t>(Key.Text.size());
  std::memcpy(Item.data() + 5, Key.Text.data(), Key.Text.size());
  return Item;
}

bool ItemLess(const std::uint8_t* X, const std::uint8_t* Y, bool& Unique) {
  const int Order = std::memcmp(X + 5, Y + 5, std::min(X[4], Y[4]));
  if (Order != 0) return Order < 0;
  if (X[4] != Y[4]) return X[4] < Y[4];
  Unique = true;
  return TkxMemory::ReadInt32(X, 0) < TkxMemory::ReadInt32(Y, 0);
}

// A container with one index file.
struct TIndexSetup {
  explicit TIndexSetup(bool Fixed) {
    const auto Path = (BenchDir() / (Fixed ? "fixed.vdbd" : "var.vdbd")).string();
    std::filesystem::remove(Path);
    Container = std::make_unique<TkxCompoundFileIntf>(Path);
    Container->NewFile();
    Container->Open();
    Manager.RegisterClient(1, kCatalogCacheKiB);
    Index = std::make_unique<TVdbIndexFile>(
        nullptr, std::make_unique<TVdbClientStorage>(Manager, Container.get(), 1), 6);
    Index->SetName("KEY");
    Index->SetFileName("\\T!KEY.vdbi");
    Index->SetCompareFunction(ItemLess);
    TVdbIndexHeaderDef Def;
    Def.Levels = {{1, kMaxKey + 1, 1}};
    Def.ItemSize = kItemSize;
    Def.VariableSize = !Fixed;
    Index->SetIndexDefinition(Def);
    if (Index->NewStorage(6, Index->CalcPageSizeForCapacity(10000000)) != 0) {
      throw std::runtime_error(Index->LastFailure());
    }
  }
  ~TIndexSetup() {
    Index->Close();
    Index.reset();
    Manager.UnregisterClient(1, kCatalogCacheKiB);
    Container->Close();
  }

  void Fill(bool Fixed) {
    for (const TKey& Key : Keys()) {
      const auto Item = ItemOf(Key, Key.RecNo, Fixed);
      if (Index->Add_Index(Item.data(), static_cast<std::int32_t>(Item.size())) != 0) {
        throw std::runtime_error(Index->LastFailure());
      }
    }
    Index->Flush();
  }

  TVdbPageManager Manager;
  std::unique_ptr<TkxCompoundFileIntf> Container;
  std::unique_ptr<TVdbIndexFile> Index;
};

void IndexInsert(benchmark::State& State, bool Fixed) {
  for (auto _ : State) {
    State.PauseTiming();
    auto Setup = std::make_unique<TIndexSetup>(Fixed);
    State.ResumeTiming();
    Setup->Fill(Fixed);
    State.PauseTiming();
    if (Setup->Index->ItemCount() != kItems) State.SkipWithError("item count is wrong");
    Setup.reset();
    State.ResumeTiming();
  }
  State.SetItemsProcessed(State.iterations() * kItems);
}

void IndexLookup(benchmark::State& State, bool Fixed) {
  TIndexSetup Setup(Fixed);
  Setup.Fill(Fixed);
  std::uint8_t* Work = Setup.Index->GetWorkInfo(0);
  std::int64_t Found = 0;
  for (auto _ : State) {
    for (const TKey& Key : Keys()) {
      const auto Item = ItemOf(Key, 0, Fixed);
      std::memcpy(Work, Item.data(), Item.size());
      Found += Setup.Index->Suche_Index(Work) == 0 && Work[4] == Key.Text.size();
    }
  }
  if (Found != static_cast<std::int64_t>(State.iterations()) * kItems) State.SkipWithError("a key was not found");
  State.SetItemsProcessed(State.iterations() * kItems);
}

void BM_Insert_IndexFile_BPlus(benchmark::State& State) { IndexInsert(State, false); }
void BM_Insert_IndexFile_Classic(benchmark::State& State) { IndexInsert(State, true); }
void BM_Lookup_IndexFile_BPlus(benchmark::State& State) { IndexLookup(State, false); }
void BM_Lookup_IndexFile_Classic(benchmark::State& State) { IndexLookup(State, true); }

// --- SQLite --------------------------------------------------------------------------------------

void Exec(sqlite3* Db, const char* Sql) {
  char* Error = nullptr;
  if (sqlite3_exec(Db, Sql, nullptr, nullptr, &Error) != SQLITE_OK) {
    const std::string Message = Error ? Error : "sqlite error";
    sqlite3_free(Error);
    throw std::runtime_error(Message);
  }
}

struct TSqliteSetup {
  TSqliteSetup() {
    Path = (BenchDir() / "peer.sqlite").string();
    std::filesystem::remove(Path);
    sqlite3_open(Path.c_str(), &Db);
    Exec(Db, "pragma synchronous = off");
    Exec(Db, "create table t (rec integer, key text)");
    Exec(Db, "create index t_key on t (key, rec)");
  }
  ~TSqliteSetup() {
    sqlite3_close(Db);
    std::filesystem::remove(Path);
  }

  void Fill() {
    sqlite3_stmt* Insert = nullptr;
    sqlite3_prepare_v2(Db, "insert into t values (?1, ?2)", -1, &Insert, nullptr);
    Exec(Db, "begin");
    for (const TKey& Key : Keys()) {
      sqlite3_bind_int(Insert, 1, Key.RecNo);
      sqlite3_bind_text(Insert, 2, Key.Text.data(), static_cast<int>(Key.Text.size()), SQLITE_STATIC);
      sqlite3_step(Insert);
      sqlite3_reset(Insert);
    }
    Exec(Db, "commit");
    sqlite3_finalize(Insert);
  }

  std::string Path;
  sqlite3* Db = nullptr;
};

void BM_Insert_SQLite(benchmark::State& State) {
  for (auto _ : State) {
    State.PauseTiming();
    auto Setup = std::make_unique<TSqliteSetup>();
    State.ResumeTiming();
    Setup->Fill();
    State.PauseTiming();
    Setup.reset();
    State.ResumeTiming();
  }
  State.SetItemsProcessed(State.iterations() * kItems);
}

void BM_Lookup_SQLite(benchmark::State& State) {
  TSqliteSetup Setup;
  Setup.Fill();
  sqlite3_stmt* Query = nullptr;
  sqlite3_prepare_v2(Setup.Db, "select rec, key from t where key >= ?1 order by key, rec limit 1", -1,
                     &Query, nullptr);
  std::int64_t Found = 0;
  for (auto _ : State) {
    for (const TKey& Key : Keys()) {
      sqlite3_bind_text(Query, 1, Key.Text.data(), static_cast<int>(Key.Text.size()), SQLITE_STATIC);
      if (sqlite3_step(Query) == SQLITE_ROW) {
        Found += sqlite3_column_bytes(Query, 1) == static_cast<int>(Key.Text.size());
      }
      sqlite3_reset(Query);
    }
  }
  sqlite3_finalize(Query);
  if (Found != static_cast<std::int64_t>(State.iterations()) * kItems) State.SkipWithError("a key was not found");
  State.SetItemsProcessed(State.iterations() * kItems);
}

BENCHMARK(BM_Insert_IndexFile_BPlus)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Insert_IndexFile_Classic)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Insert_SQLite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Lookup_IndexFile_BPlus)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Lookup_IndexFile_Classic)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Lookup_SQLite)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  vdbbench::TRatioReporter Reporter;
  benchmark::RunSpecifiedBenchmarks(&Reporter);
  std::printf("\n");
  Reporter.PrintRatio("insert, B+ index file / SQLite", "BM_Insert_IndexFile_BPlus", "BM_Insert_SQLite");
  Reporter.PrintRatio("insert, classic index file / SQLite", "BM_Insert_IndexFile_Classic",
                      "BM_Insert_SQLite");
  Reporter.PrintRatio("lookup, B+ index file / SQLite", "BM_Lookup_IndexFile_BPlus", "BM_Lookup_SQLite");
  Reporter.PrintRatio("lookup, classic index file / SQLite", "BM_Lookup_IndexFile_Classic",
                      "BM_Lookup_SQLite");
  benchmark::Shutdown();
  std::error_code Ignored;
  std::filesystem::remove_all(BenchDir(), Ignored);
  return 0;
}
