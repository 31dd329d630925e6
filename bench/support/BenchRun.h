// What the engine benchmarks share around their measurements: a disposable home for the run,
// repetitions in random interleaving unless the command line chooses otherwise (on a shared
// machine a single run of each says little), and a reporter that keeps the best wall and CPU
// time of every benchmark for the ratios printed at the end.
#pragma once

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace qby::bench {

// A fresh folder below the temporary folder as PORVANE_HOME and XDG folders; empty on failure.
inline std::string makeBenchHome() {
  std::string home = (std::filesystem::temp_directory_path() / "porvane-bench-XXXXXX").string();
  if (!mkdtemp(home.data())) return {};
  setenv("PORVANE_HOME", home.c_str(), 1);
  setenv("XDG_DATA_HOME", (home + "/xdg-data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + "/xdg-config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (home + "/xdg-cache").c_str(), 1);
  return home;
}

// The program's arguments for benchmark::Initialize, with three interleaved repetitions added
// unless repetitions or interleaving were asked for. The result ends with the null argv[argc].
inline std::vector<char*> interleavedArguments(int argc, char** argv) {
  static std::string repetitions = "--benchmark_repetitions=3";
  static std::string interleaving = "--benchmark_enable_random_interleaving=true";
  std::vector<char*> arguments(argv, argv + argc);
  const bool chosen = std::any_of(arguments.begin() + 1, arguments.end(), [](const char* a) {
    return std::string_view(a).starts_with("--benchmark_repetitions") ||
           std::string_view(a).starts_with("--benchmark_enable_random_interleaving");
  });
  if (!chosen) {
    arguments.push_back(repetitions.data());
    arguments.push_back(interleaving.data());
  }
  arguments.push_back(nullptr);
  return arguments;
}

class BestRunReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const auto keepBest = [&run](std::map<std::string, double>& best, double value) {
        auto [slot, fresh] = best.try_emplace(run.run_name.function_name, value);
        if (!fresh) slot->second = std::min(slot->second, value);
      };
      keepBest(times, run.GetAdjustedRealTime());
      keepBest(cpuTimes, run.GetAdjustedCPUTime());
    }
  }
  // Best wall and CPU time per benchmark function, in the benchmarks' unit.
  std::map<std::string, double> times;
  std::map<std::string, double> cpuTimes;
};

}  // namespace qby::bench
