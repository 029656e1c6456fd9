// Page manager throughput against plain positioned file I/O, in the same run.
//
//   Sequential: a 64 MiB file written page by page (8192-byte pages) and flushed, then read back
//   page by page, through client storages on a contained file of a compound container and on an
//   operating-system file, against pwrite/pread of the same pages on a plain file.
//   Rewrite: one container for all rounds; each round deletes the 64 MiB file and writes it
//   again, through the tiles the deletion gave back.
//   Hot cache: random reads of 4096-byte pages that the cache already holds, against pread of
//   the same pages from the operating system's cache.
//
// The summary at the end prints each engine figure as a ratio to its plain-file peer
// ("ratio ... = x.xx"; below 1 means faster than plain file I/O).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "storage/VdbPageMan.h"
#include "storage/kxCompoundFile.h"
#include "storage/kxFileSystem.h"
#include "BenchRatio.h"

namespace {

using namespace vdb;

constexpr std::int64_t kFileSize = 64 << 20;
constexpr std::int32_t kSeqPageSize = 8192;
constexpr std::int32_t kSeqPages = static_cast<std::int32_t>(kFileSize / kSeqPageSize);
constexpr std::int32_t kHotPageSize = 4096;
constexpr std::int64_t kHotFileSize = 16 << 20;
constexpr std::int32_t kHotPages = static_cast<std::int32_t>(kHotFileSize / kHotPageSize);
constexpr std::int32_t kHotReadsPerIteration = 100000;
constexpr std::int32_t kCatalogCacheKiB = 40960;  // what a catalog registers by default

std::filesystem::path BenchDir() {
  static const std::filesystem::path Dir = [] {
    auto Path = std::filesystem::temp_directory_path() / ("vdb_bench_storage_" + std::to_string(::getpid()));
    std::filesystem::create_directories(Path);
    return Path;
  }();
  return Dir;
}

std::vector<std::uint8_t> PageBytes(std::int32_t Size) {
  std::vector<std::uint8_t> Bytes(static_cast<std::size_t>(Size));
  for (std::int32_t I = 0; I < Size; ++I) Bytes[static_cast<std::size_t>(I)] = static_cast<std::uint8_t>(I * 31 + 7);
  return Bytes;
}

// The sum a reader forms from every page it reads, so that no read can be skipped.
std::uint64_t Touch(const std::uint8_t* Page, std::int32_t Size) {
  std::uint64_t Sum = 0;
  for (std::int32_t Offset = 0; Offset < Size; Offset += 512) Sum += Page[Offset];
  return Sum;
}

void Fail(benchmark::State& State, const std::string& What) { State.SkipWithError(What.c_str()); }

// --- Plain file ----------------------------------------------------------------------------------

void BM_SeqWrite_PlainFile(benchmark::State& State) {
  const std::string Path = (BenchDir() / "plain_seq.dat").string();
  const auto Page = PageBytes(kSeqPageSize);
  for (auto _ : State) {
    State.PauseTiming();
    ::unlink(Path.c_str());
    State.ResumeTiming();
    const int Fd = ::open(Path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (Fd < 0) return Fail(State, "cannot create " + Path);
    for (std::int32_t P = 0; P < kSeqPages; ++P) {
      if (::pwrite(Fd, Page.data(), kSeqPageSize, static_cast<off_t>(P) * kSeqPageSize) != kSeqPageSize) {
        ::close(Fd);
        return Fail(State, "short write");
      }
    }
    ::close(Fd);
  }
  State.SetBytesProcessed(State.iterations() * kFileSize);
}

void BM_SeqRead_PlainFile(benchmark::State& State) {
  const std::string Path = (BenchDir() / "plain_seq.dat").string();
  std::vector<std::uint8_t> Buffer(kSeqPageSize);
  std::uint64_t Sum = 0;
  for (auto _ : State) {
    const int Fd = ::open(Path.c_str(), O_RDONLY);
    if (Fd < 0) return Fail(State, "run the write benchmark first");
    for (std::int32_t P = 0; P < kSeqPages; ++P) {
      if (::pread(Fd, Buffer.data(), kSeqPageSize, static_cast<off_t>(P) * kSeqPageSize) != kSeqPageSize) {
        ::close(Fd);
        return Fail(State, "short read");
      }
      Sum += Touch(Buffer.data(), kSeqPageSize);
    }
    ::close(Fd);
  }
  benchmark::DoNotOptimize(Sum);
  State.SetBytesProcessed(State.iterations() * kFileSize);
}

void BM_HotRandomRead_PlainFile(benchmark::State& State) {
  const std::string Path = (BenchDir() / "plain_hot.dat").string();
  {
    const int Fd = ::open(Path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    const auto Page = PageBytes(kHotPageSize);
    for (std::int32_t P = 0; P < kHotPages; ++P) {
      if (::pwrite(Fd, Page.data(), kHotPageSize, static_cast<off_t>(P) * kHotPageSize) != kHotPageSize) {
        ::close(Fd);
        return Fail(State, "short write");
      }
    }
    ::close(Fd);
  }
  const int Fd = ::open(Path.c_str(), O_RDONLY);
  std::vector<std::uint8_t> Buffer(kHotPageSize);
  std::mt19937 Random(42);
  std::uint64_t Sum = 0;
  for (auto _ : State) {
    for (std::int32_t I = 0; I < kHotReadsPerIteration; ++I) {
      const auto P = static_cast<off_t>(Random() % kHotPages);
      if (::pread(Fd, Buffer.data(), kHotPageSize, P * kHotPageSize) != kHotPageSize) {
        ::close(Fd);
        return Fail(State, "short read");
      }
      Sum += Touch(Buffer.data(), kHotPageSize);
    }
  }
  ::close(Fd);
  benchmark::DoNotOptimize(Sum);
  State.SetItemsProcessed(State.iterations() * kHotReadsPerIteration);
}

// --- Through the page manager --------------------------------------------------------------------

// A file system for the page manager benchmarks: a compound container or the OS directory.
struct TBenchFiles {
  explicit TBenchFiles(bool InContainer) : InContainer(InContainer) {
    if (InContainer) {
      FileSystem = std::make_unique<TkxCompoundFileIntf>((BenchDir() / "bench.vdbd").string());
      Name = "\\Data.vdbt";
    } else {
      FileSystem = std::make_unique<TkxOSFileSystem>(BenchDir().string());
      Name = "os_seq.vdbt";
    }
    Fresh();
    Manager.RegisterClient(1, kCatalogCacheKiB);
  }
  ~TBenchFiles() { FileSystem->Close(); }

  // Starts from an empty container (or no file), as a newly created database does.
  void Fresh() {
    if (!InContainer) {
      FileSystem->DeleteFile(Name);
      return;
    }
    auto& Container = static_cast<TkxCompoundFileIntf&>(*FileSystem);
    Container.Close();
    std::filesystem::remove(Container.GetFileName());  // a new file, as for the plain file
    Container.NewFile();
    Container.Open();
  }

  bool InContainer;
  std::unique_ptr<TkxFileSystem> FileSystem;
  std::string Name;
  TVdbPageManager Manager;
};

std::unique_ptr<TBenchFiles> gContainerFiles;
std::unique_ptr<TBenchFiles> gOSFiles;

TBenchFiles& Files(bool InContainer) {
  auto& Files = InContainer ? gContainerFiles : gOSFiles;
  if (!Files) Files = std::make_unique<TBenchFiles>(InContainer);
  return *Files;
}

// Creates the benchmark's file and writes it page by page through the page manager.
void WriteSeqFile(TBenchFiles& Bench, const std::vector<std::uint8_t>& Page) {
  TVdbClientStorage Storage(Bench.Manager, Bench.FileSystem.get(), 1);
  Storage.SetName(Bench.Name);
  Storage.SetPageSize(kSeqPageSize);
  Storage.NewStorage();
  auto Site = Storage.CreatePageSite();
  for (std::int32_t P = 0; P < kSeqPages; ++P) {
    Site->InitPage(P);
    Site->CopyFrom(Page.data(), 0, kSeqPageSize, 0);
  }
  Site->UnloadPage();
  Storage.Flush();
  Storage.Close();  // the container commits when the file's last handle closes
}

void SeqWrite(benchmark::State& State, bool InContainer) {
  TBenchFiles& Bench = Files(InContainer);
  const auto Page = PageBytes(kSeqPageSize);
  for (auto _ : State) {
    State.PauseTiming();
    Bench.Fresh();
    State.ResumeTiming();
    WriteSeqFile(Bench, Page);
  }
  State.SetBytesProcessed(State.iterations() * kFileSize);
}

// One container for all rounds, as a database keeps it: each round deletes the file written
// by the round before (its 64 MiB of tiles at the end of the container go back to the free
// list and, as far as the tile table allows, to the operating system) and writes it again.
void BM_SeqRewrite_PageMan_Container(benchmark::State& State) {
  TBenchFiles& Bench = Files(true);
  const auto Page = PageBytes(kSeqPageSize);
  for (auto _ : State) {
    if (!Bench.FileSystem->DeleteFile(Bench.Name) &&
        Bench.FileSystem->GetLastError() != kxErrorFileNotFound)
      return Fail(State, "cannot delete " + Bench.Name);
    WriteSeqFile(Bench, Page);
  }
  State.SetBytesProcessed(State.iterations() * kFileSize);
}

void SeqRead(benchmark::State& State, bool InContainer) {
  TBenchFiles& Bench = Files(InContainer);
  std::uint64_t Sum = 0;
  for (auto _ : State) {
    TVdbClientStorage Storage(Bench.Manager, Bench.FileSystem.get(), 1);
    Storage.SetName(Bench.Name);
    Storage.SetPageSize(kSeqPageSize);
    try {
      Storage.Open(true, false);
    } catch (const std::exception& Error) {
      return Fail(State, Error.what());
    }
    auto Site = Storage.CreatePageSite();
    for (std::int32_t P = 0; P < kSeqPages; ++P) {
      Site->LoadPage(P);
      Sum += Touch(Site->Memory(), kSeqPageSize);
    }
    Site->UnloadPage();
    Storage.Close();
  }
  benchmark::DoNotOptimize(Sum);
  State.SetBytesProcessed(State.iterations() * kFileSize);
}

void BM_SeqWrite_PageMan_Container(benchmark::State& State) { SeqWrite(State, true); }
void BM_SeqRead_PageMan_Container(benchmark::State& State) { SeqRead(State, true); }
void BM_SeqWrite_PageMan_OSFile(benchmark::State& State) { SeqWrite(State, false); }
void BM_SeqRead_PageMan_OSFile(benchmark::State& State) { SeqRead(State, false); }

// Counts the reads that reach the file system: a hot cache makes none.
class TCountingContainer : public TkxCompoundFileIntf {
 public:
  using TkxCompoundFileIntf::TkxCompoundFileIntf;
  std::int32_t FileRead(std::int32_t Handle, void* Data, std::int32_t Count,
                        std::int64_t Position) override {
    ++Reads;
    return TkxCompoundFileIntf::FileRead(Handle, Data, Count, Position);
  }
  std::int64_t Reads = 0;
};

// Random reads of hot 4096-byte pages: copied out like pread does, or read in place as the
// engine's file formats read their pages.
void HotRandomRead(benchmark::State& State, bool CopyOut) {
  TCountingContainer Container((BenchDir() / "hot.vdbd").string());
  Container.NewFile();
  Container.Open();
  {
    TVdbPageManager Manager;
    Manager.RegisterClient(1, kCatalogCacheKiB);
    TVdbClientStorage Storage(Manager, &Container, 1);
    Storage.SetName("\\Data!CIMSZO.vdbi");
    Storage.SetPageSize(kHotPageSize);
    Storage.NewStorage();
    const auto Page = PageBytes(kHotPageSize);
    auto Site = Storage.CreatePageSite();
    for (std::int32_t P = 0; P < kHotPages; ++P) {
      Site->InitPage(P);
      Site->CopyFrom(Page.data(), 0, kHotPageSize, 0);
    }
    Storage.Flush();
    std::vector<std::uint8_t> Buffer(kHotPageSize);
    std::mt19937 Random(42);
    std::uint64_t Sum = 0;
    const std::int64_t ReadsBefore = Container.Reads;
    for (auto _ : State) {
      for (std::int32_t I = 0; I < kHotReadsPerIteration; ++I) {
        Site->LoadPage(static_cast<std::int32_t>(Random() % kHotPages));
        if (CopyOut) {
          Site->CopyTo(0, Buffer.data(), kHotPageSize, 0);
          Sum += Touch(Buffer.data(), kHotPageSize);
        } else {
          Sum += Touch(Site->Memory(), kHotPageSize);
        }
      }
    }
    benchmark::DoNotOptimize(Sum);
    State.counters["file_reads"] = static_cast<double>(Container.Reads - ReadsBefore);
    State.SetItemsProcessed(State.iterations() * kHotReadsPerIteration);
    Site->UnloadPage();
    Storage.Close();
  }
  Container.Close();
}

void BM_HotRandomRead_PageMan_Container(benchmark::State& State) { HotRandomRead(State, true); }
void BM_HotRandomRead_PageMan_InPlace(benchmark::State& State) { HotRandomRead(State, false); }

BENCHMARK(BM_SeqWrite_PlainFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SeqWrite_PageMan_Container)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SeqWrite_PageMan_OSFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SeqRewrite_PageMan_Container)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SeqRead_PlainFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SeqRead_PageMan_Container)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SeqRead_PageMan_OSFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HotRandomRead_PlainFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HotRandomRead_PageMan_Container)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HotRandomRead_PageMan_InPlace)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  vdbbench::TRatioReporter Reporter;
  benchmark::RunSpecifiedBenchmarks(&Reporter);
  std::printf("\n");
  Reporter.PrintRatio("sequential write, container / plain file", "BM_SeqWrite_PageMan_Container",
                      "BM_SeqWrite_PlainFile");
  Reporter.PrintRatio("sequential write, OS file / plain file", "BM_SeqWrite_PageMan_OSFile",
                      "BM_SeqWrite_PlainFile");
  Reporter.PrintRatio("sequential rewrite (delete, then write), container / plain file",
                      "BM_SeqRewrite_PageMan_Container", "BM_SeqWrite_PlainFile");
  Reporter.PrintRatio("sequential read, container / plain file", "BM_SeqRead_PageMan_Container",
                      "BM_SeqRead_PlainFile");
  Reporter.PrintRatio("sequential read, OS file / plain file", "BM_SeqRead_PageMan_OSFile",
                      "BM_SeqRead_PlainFile");
  Reporter.PrintRatio("hot-cache 4096-byte page reads, container / plain file",
                      "BM_HotRandomRead_PageMan_Container", "BM_HotRandomRead_PlainFile");
  Reporter.PrintRatio("hot-cache 4096-byte page reads in place, container / plain file",
                      "BM_HotRandomRead_PageMan_InPlace", "BM_HotRandomRead_PlainFile");
  benchmark::Shutdown();
  gContainerFiles.reset();
  gOSFiles.reset();
  std::error_code Ignored;
  std::filesystem::remove_all(BenchDir(), Ignored);
  return 0;
}
