// The summary every benchmark program prints after its runs: the time of an engine case divided by
// the time of its peer measured in the same run ("ratio <what> = 1.23"; below 1 the engine is
// faster).
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace vdbbench {

class TRatioReporter : public benchmark::ConsoleReporter {
 public:
  // Real (wall-clock) time suits cases that wait for the file system; CPU time is the steadier
  // figure for CPU-bound cases on a shared machine.
  enum class TClock { Real, Cpu };

  explicit TRatioReporter(TClock Clock = TClock::Real) : FClock(Clock) {}

  void ReportRuns(const std::vector<Run>& Reports) override {
    for (const auto& Report : Reports) {
      if (Report.run_type == Run::RT_Iteration && !Report.error_occurred) {
        FTimes[Report.benchmark_name()] =
            FClock == TClock::Real ? Report.GetAdjustedRealTime() : Report.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(Reports);
  }

  // Engine and Peer are benchmark names (a "/real_time" suffix is found by itself).
  void PrintRatio(const char* What, const std::string& Engine, const std::string& Peer) const {
    const double* E = Find(Engine);
    const double* P = Find(Peer);
    if (E == nullptr || P == nullptr || *P <= 0) return;
    std::printf("ratio %s = %.2f\n", What, *E / *P);
  }

 private:
  const double* Find(const std::string& Name) const {
    for (const std::string& Key : {Name, Name + "/real_time"}) {
      const auto Found = FTimes.find(Key);
      if (Found != FTimes.end()) return &Found->second;
    }
    return nullptr;
  }

  TClock FClock;
  std::map<std::string, double> FTimes;
};

}  // namespace vdbbench
