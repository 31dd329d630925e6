// Guesses per second for single numbers of mixed carriers and megabytes per second of web data
// search, each beside a baseline: the same recognition function called in the same JavaScript
// context on the runner's queue, with its object answers turned into dictionaries as any caller
// must, but without the finder around it. Single numbers are measured through the finder as it
// ships (clean numbers answered from the script's number tables) and through the finder with
// the tables off (every guess a script call). The ratios are printed last, on process CPU time
// (both threads, so a loaded machine does not blur them) and on wall time.
//
// `bench_finder --print-numbers=N` writes N numbers of every carrier's format, one a line (some
// in groups, some with a wrong check), for timing `porvane guess --lines` on them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "NumberSamples.h"
#include "engine/QBYScriptRunner.h"
#include "finder/QBYCandidateSearch.h"
#include "finder/QBYDeliveriesFinder.h"

namespace {

using qby::QBYDeliveriesFinder;

const std::vector<std::string> kNumbers = {
    "1Z999AA10123456784", "986578788855",         "9400111201080805483016",  "RB123456785GB",
    "3318810025",         "00340433836442636597", "TBA502887274000",         "3SDEVC172649258",
    "C11031500001879",    "0073938000549297",     "1Z 999 AA1 01 2345 6784", "12345"};

// Numbers of every carrier's format as people paste them: mostly clean, some in groups of
// four, some with a wrong check character.
std::vector<std::string> mixedNumbers(std::size_t count) {
  qby::test::NumberSamples make(20261208);
  std::vector<std::string> numbers;
  while (numbers.size() < count) {
    for (const auto& sample : make.valid(1)) {
      if (numbers.size() == count) break;
      const auto kind = numbers.size() % 10;
      numbers.push_back(kind == 3   ? make.grouped(sample.number, ' ')
                        : kind == 7 ? qby::test::NumberSamples::withWrongCheck(sample)
                                    : sample.number);
    }
  }
  return numbers;
}

const std::vector<std::string>& singleNumbers() {
  static const std::vector<std::string> numbers = mixedNumbers(1000);
  return numbers;
}

// A deterministic e-mail-like text of about the given size, with a number now and then.
std::string mailText(std::size_t bytes) {
  std::string text;
  std::uint32_t seed = 12345;
  const auto next = [&] { return seed = seed * 1103515245u + 12345u; };
  while (text.size() < bytes) {
    text += "Dear customer, order " + std::to_string(next() % 1000000) + " placed on 2024-0" +
            std::to_string(1 + next() % 9) + "-1" + std::to_string(next() % 10) + " totals $" +
            std::to_string(next() % 500) + ".99. Call 1-800-555-" +
            std::to_string(1000 + next() % 9000) + ".\n";
    if (next() % 20 == 0) text += "Tracking Number: " + kNumbers[next() % kNumbers.size()] + "\n";
    text += "<p>Item SKU AB" + std::to_string(next() % 100000) + "CD ships soon.</p>\n";
  }
  return text;
}

std::unique_ptr<QBYDeliveriesFinder>& sharedFinder() {
  static std::unique_ptr<QBYDeliveriesFinder> finder = [] {
    // The shipped scripts plus an empty "Common", which recognition does not need.
    const auto folder = std::filesystem::temp_directory_path() / "porvane-bench-finder";
    std::filesystem::create_directories(folder / "scripts");
    for (const char* name : {"Guess.js", "GuessText.js"})
      std::filesystem::copy_file(std::filesystem::path(PORVANE_SCRIPTS_DIR) / name,
                                 folder / "scripts" / name,
                                 std::filesystem::copy_options::overwrite_existing);
    if (!std::filesystem::exists(folder / "scripts" / "Common.js"))
      std::ofstream(folder / "scripts" / "Common.js");
    setenv("PORVANE_RESOURCE_DIR", folder.c_str(), 1);
    return std::make_unique<QBYDeliveriesFinder>(nullptr);
  }();
  return finder;
}

// The same finder with every guess a script call.
QBYDeliveriesFinder& scriptOnlyFinder() {
  static std::unique_ptr<QBYDeliveriesFinder> finder = [] {
    sharedFinder();
    auto made = std::make_unique<QBYDeliveriesFinder>(nullptr);
    made->useNumberFormatTables(false);
    return made;
  }();
  return *finder;
}

// The recognition function called directly in the finder's context, its object answers read as
// dictionaries the plain way (one JSON text each).
void rawGuesses(const std::vector<std::string>& texts, bool strict) {
  sharedFinder()->scriptRunner()->runBlockAndWait([&](JSCContext* context) {
    auto function = jsc_context_get_value(context, "guessesFromText");
    for (const auto& text : texts) {
      auto result = jsc_value_function_call(function, G_TYPE_STRING, text.c_str(), G_TYPE_BOOLEAN,
                                            strict ? TRUE : FALSE, G_TYPE_NONE);
      if (jsc_value_is_object(result)) {
        char* json = jsc_value_to_json(result, 0);
        benchmark::DoNotOptimize(qby::Value::fromJSON(json));
        g_free(json);
      }
      g_object_unref(result);
    }
    g_object_unref(function);
  });
}

std::vector<std::string> candidatesOf(const std::string& text) {
  // Each step's distinct candidates, as the finder asks the script about them.
  std::vector<std::string> candidates;
  for (const auto& step : QBYDeliveriesFinder::candidatePatterns()) {
    std::set<std::string> seen;
    QBYDeliveriesFinder::enumerateMatchesForPattern(
        step.pattern, text, step.ignoreCase, [&](const auto& groups, bool&) {
          if (!groups[step.group]) return;
          const auto& candidate = *groups[step.group];
          // The same conditions the finder puts on a candidate (the text here is ASCII).
          if (candidate.size() < step.minimumLength) return;
          if (step.requiresDigit && candidate.find_first_of("0123456789") == std::string::npos)
            return;
          if (seen.insert(candidate).second) candidates.push_back(candidate);
        });
  }
  return candidates;
}

void BM_FinderSingleNumbers(benchmark::State& state) {
  auto& finder = *sharedFinder();
  const auto& numbers = singleNumbers();
  std::size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(finder.guessesFromText(numbers[i++ % numbers.size()], false));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_FinderSingleNumbers)->MeasureProcessCPUTime();

void BM_FinderSingleNumbersScriptOnly(benchmark::State& state) {
  auto& finder = scriptOnlyFinder();
  const auto& numbers = singleNumbers();
  std::size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(finder.guessesFromText(numbers[i++ % numbers.size()], false));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_FinderSingleNumbersScriptOnly)->MeasureProcessCPUTime();

void BM_BaselineSingleNumbers(benchmark::State& state) {
  const auto& numbers = singleNumbers();
  std::size_t i = 0;
  for (auto _ : state) rawGuesses({numbers[i++ % numbers.size()]}, false);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_BaselineSingleNumbers)->MeasureProcessCPUTime();

const std::string& largeText() {
  static const std::string text = mailText(2 * 1024 * 1024);
  return text;
}

void BM_FinderWebData(benchmark::State& state) {
  auto& finder = *sharedFinder();
  const auto data = qby::QBYWebData::webDataWithString(largeText());
  for (auto _ : state) benchmark::DoNotOptimize(finder.guessesFromWebData(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * largeText().size()));
}
BENCHMARK(BM_FinderWebData)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

// The finder's own search for candidates, one step at a time, without the script calls.
void BM_CandidateSearch(benchmark::State& state) {
  const auto& step =
      QBYDeliveriesFinder::candidatePatterns()[static_cast<std::size_t>(state.range(0))];
  const qby::QBYCandidateSearch search(largeText());
  for (auto _ : state) benchmark::DoNotOptimize(search.candidates(step));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * largeText().size()));
}
BENCHMARK(BM_CandidateSearch)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

void BM_CandidateSearchText(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(qby::QBYCandidateSearch(largeText()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * largeText().size()));
}
BENCHMARK(BM_CandidateSearchText)->Unit(benchmark::kMillisecond);

// All of the finder's own search in a web data run: the text prepared, then each step's
// distinct candidates.
void BM_FinderSearch(benchmark::State& state) {
  for (auto _ : state) {
    const qby::QBYCandidateSearch search(largeText());
    for (const auto& step : QBYDeliveriesFinder::candidatePatterns())
      benchmark::DoNotOptimize(search.distinctCandidates(step));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * largeText().size()));
}
BENCHMARK(BM_FinderSearch)->Unit(benchmark::kMillisecond);

// The script's share of the same search: every candidate guessed once, in one queue visit.
void BM_BaselineWebData(benchmark::State& state) {
  const auto candidates = candidatesOf(largeText());
  for (auto _ : state) rawGuesses(candidates, true);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * largeText().size()));
}
BENCHMARK(BM_BaselineWebData)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

struct Seconds {
  double cpu = 1e300;
  double wall = 1e300;
};

double processSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The fastest of several runs of each, finder and baseline taking turns so that both meet the
// same load on the machine.
std::pair<Seconds, Seconds> bestOfTurns(const std::function<void()>& finder,
                                        const std::function<void()>& baseline, int turns) {
  std::pair<Seconds, Seconds> best;
  const auto measure = [](const std::function<void()>& work, Seconds& into) {
    const auto wall = std::chrono::steady_clock::now();
    const double cpu = processSeconds();
    work();
    into.cpu = std::min(into.cpu, processSeconds() - cpu);
    into.wall = std::min(
        into.wall, std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count());
  };
  for (int i = 0; i < turns; ++i) {
    measure(finder, best.first);
    measure(baseline, best.second);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]).starts_with("--print-numbers=")) {
    const long count = std::strtol(argv[1] + std::strlen("--print-numbers="), nullptr, 10);
    if (count <= 0) return 2;
    std::string out;
    for (const auto& number : mixedNumbers(static_cast<std::size_t>(count))) out += number + "\n";
    return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() && std::fflush(stdout) == 0
               ? 0
               : 1;
  }
  // A run of chosen benchmarks (for a profile of one of them) leaves out the ratios.
  const bool chosen = std::any_of(argv + 1, argv + argc, [](const char* argument) {
    return std::string_view(argument).starts_with("--benchmark_filter");
  });
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  if (chosen) {
    benchmark::Shutdown();
    return 0;
  }
  auto& finder = *sharedFinder();
  const auto& single = singleNumbers();
  constexpr int kCount = 5000;
  const auto [numbers, numbersBaseline] = bestOfTurns(
      [&] {
        for (int i = 0; i < kCount; ++i) finder.guessesFromText(single[i % single.size()], false);
      },
      [&] {
        for (int i = 0; i < kCount; ++i) rawGuesses({single[i % single.size()]}, false);
      },
      5);
  const auto [scriptOnly, scriptBaseline] = bestOfTurns(
      [&] {
        for (int i = 0; i < kCount; ++i)
          scriptOnlyFinder().guessesFromText(single[i % single.size()], false);
      },
      [&] {
        for (int i = 0; i < kCount; ++i) rawGuesses({single[i % single.size()]}, false);
      },
      5);
  const auto data = qby::QBYWebData::webDataWithString(largeText());
  const auto candidates = candidatesOf(largeText());
  // The finder must ask the script about exactly as many candidates as the baseline does.
  std::size_t finderCandidates = 0;
  {
    const qby::QBYCandidateSearch search(largeText());
    for (const auto& step : QBYDeliveriesFinder::candidatePatterns())
      finderCandidates += search.distinctCandidates(step).size();
  }
  const auto [search, searchBaseline] = bestOfTurns([&] { finder.guessesFromWebData(data); },
                                                    [&] { rawGuesses(candidates, true); }, 15);
  const double megabytes = static_cast<double>(largeText().size()) / (1024.0 * 1024.0);
  std::printf(
      "single numbers (CPU): finder %.0f/s, baseline %.0f/s, finder/baseline time %.2f "
      "(wall %.2f)\n",
      kCount / numbers.cpu, kCount / numbersBaseline.cpu, numbers.cpu / numbersBaseline.cpu,
      numbers.wall / numbersBaseline.wall);
  std::printf(
      "single numbers, every guess a script call (CPU): finder %.0f/s, baseline %.0f/s, "
      "finder/baseline time %.2f (wall %.0f/s, %.2f)\n",
      kCount / scriptOnly.cpu, kCount / scriptBaseline.cpu, scriptOnly.cpu / scriptBaseline.cpu,
      kCount / scriptOnly.wall, scriptOnly.wall / scriptBaseline.wall);
  std::printf("single numbers (wall): finder %.0f/s, baseline %.0f/s\n", kCount / numbers.wall,
              kCount / numbersBaseline.wall);
  std::printf(
      "web data (CPU): finder %.2f MB/s, baseline %.2f MB/s, finder/baseline time %.2f "
      "(wall %.2f; %zu candidates, the finder's search %zu)\n",
      megabytes / search.cpu, megabytes / searchBaseline.cpu, search.cpu / searchBaseline.cpu,
      search.wall / searchBaseline.wall, candidates.size(), finderCandidates);
  benchmark::Shutdown();
  return 0;
}
