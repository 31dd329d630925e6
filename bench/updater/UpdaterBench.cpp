// The deliveries updater against a plain libsoup client: 500 deliveries, each fetching one
// page from a loopback server, through the updater's scripts (batches of five, the script
// context, the decoding and the copies to the main thread), beside a SoupSession that fetches
// the same addresses in the same order, five at a time, in the same run. The server runs on a
// thread of its own for both. Both sessions may open as many connections to the server as the
// updater's session, so both can have a whole batch in flight. Prints the ratio of the two
// (wall time and the process's CPU time) and the peak resident memory.
//
// On a shared machine a single run of each says little: unless told otherwise, the two are
// repeated three times in random interleaving and the best time of each is compared.
//
// --deliveries=N updates N deliveries instead of 500.
//
// Scripts: the shipped ones; every delivery is tracked by web address ("other"), which fetches
// its page once. Run it beside a disposable keyring, since a run loads and saves the
// session cookies: dbus-run-session -- scripts/with-keyring.sh bench_updater
// PORVANE_BENCH_SCRIPTS=<folder> puts <folder>/scripts/*.js in front of the shipped scripts,
// to try a script change before making it.
#include <benchmark/benchmark.h>
#include <libsoup/soup.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/QBYDeliveriesUpdater.h"
#include "platform/GLibPtr.h"
#include "platform/MainQueue.h"
#include "support/BenchRun.h"
#include "support/LoopbackServer.h"

namespace {

using namespace qby;

// 500 unless --deliveries=N says otherwise (to see that memory stays flat as N grows).
int gDeliveries = 500;
constexpr std::size_t kBatch = 5;

using Server = qby::bench::LoopbackServer;

std::unique_ptr<Server> gServer;

class CountingDelegate : public QBYDeliveriesUpdaterDelegate {
 public:
  void updateDeliveryWithResults(const Dictionary& results) override {
    if (results["status"].asInteger() == 2) fetched++;
  }
  void completeUpdateWithSuccess(bool) override { completed = true; }
  void completeTroubleshootingWithLogs(const std::string&) override {}
  void handleException(const std::string&) override {}
  int fetched = 0;
  bool completed = false;
};

// Deliveries tracked by web address: the shipped "other" module fetches each page once.
Array deliveries() {
  Array list;
  for (int i = 0; i < gDeliveries; ++i) {
    list.push_back(Value(Dictionary{{"uuid", Value(std::to_string(i))},
                                    {"hash", Value("hash-" + std::to_string(i))},
                                    {"from", Value("other")},
                                    {"no", Value(gServer->url(i))},
                                    {"extra", Value("")},
                                    {"itemCacheJSON", Value("")}}));
  }
  return list;
}

void BM_Updater(benchmark::State& state) {
  const Array list = deliveries();
  for (auto _ : state) {
    auto delegate = std::make_shared<CountingDelegate>();
    auto updater = QBYDeliveriesUpdater::deliveriesUpdater(std::nullopt, false);
    updater->setDelegate(delegate);
    updater->setUserAgent(std::string("PorvaneBench/1.0"));
    updater->updateDeliveriesWithSettings(list);
    MainQueue::runUntil([&] { return delegate->completed; }, 600);
    if (delegate->fetched != gDeliveries) state.SkipWithError("not every delivery was fetched");
    updater->invalidate();
  }
  state.SetItemsProcessed(state.iterations() * gDeliveries);
}

// The same addresses through one SoupSession on the main thread, five requests at a time.
void BM_PlainSoup(benchmark::State& state) {
  for (auto _ : state) {
    auto session = GObjectPtr<SoupSession>::adopt(soup_session_new_with_options(
        "max-conns-per-host", QBYDeliveriesUpdater::kMaximumConnectionsPerHost, nullptr));
    int fetched = 0;
    for (int first = 0; first < gDeliveries; first += kBatch) {
      int inFlight = 0;
      for (int i = first; i < std::min<int>(first + kBatch, gDeliveries); ++i) {
        struct Call {
          int* inFlight;
          int* fetched;
        };
        auto message =
            GObjectPtr<SoupMessage>::adopt(soup_message_new("GET", gServer->url(i).c_str()));
        inFlight++;
        soup_session_send_and_read_async(
            session.get(), message.get(), G_PRIORITY_DEFAULT, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
              std::unique_ptr<Call> call(static_cast<Call*>(data));
              GBytes* body =
                  soup_session_send_and_read_finish(SOUP_SESSION(source), result, nullptr);
              if (body) {
                gsize size = 0;
                const auto* bytes = static_cast<const char*>(g_bytes_get_data(body, &size));
                // Scripts get text; the client makes it too, for a like-for-like comparison.
                if (g_utf8_validate(bytes, static_cast<gssize>(size), nullptr)) (*call->fetched)++;
                g_bytes_unref(body);
              }
              (*call->inFlight)--;
            },
            new Call{&inFlight, &fetched});
      }
      MainQueue::runUntil([&] { return inFlight == 0; }, 600);
    }
    if (fetched != gDeliveries) state.SkipWithError("not every page was fetched");
  }
  state.SetItemsProcessed(state.iterations() * gDeliveries);
}

// Process CPU time: the updater works on its own queue thread, the server on another.
BENCHMARK(BM_Updater)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_PlainSoup)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

}  // namespace

int main(int argc, char** argv) {
  const std::string home = bench::makeBenchHome();
  if (home.empty()) return 2;
  // The shipped scripts, found in the build tree (the joined services) and the sources.
  if (const char* scripts = std::getenv("PORVANE_BENCH_SCRIPTS"); scripts && *scripts) {
    setenv("PORVANE_RESOURCE_DIR", scripts, 1);
  } else {
    unsetenv("PORVANE_RESOURCE_DIR");
  }

  std::vector<char*> own;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--deliveries=", 13) == 0) {
      gDeliveries = std::max(1, std::atoi(argv[i] + 13));
    } else {
      own.push_back(argv[i]);
    }
  }
  argc = static_cast<int>(own.size());
  argv = own.data();

  // Interleaved repetitions unless the command line asks for something else.
  std::vector<char*> arguments = bench::interleavedArguments(argc, argv);
  int count = static_cast<int>(arguments.size()) - 1;

  gServer = std::make_unique<Server>();
  if (!gServer->listening()) {
    std::fprintf(stderr, "The loopback server did not start: %s\n", gServer->error().c_str());
    return 2;
  }
  benchmark::Initialize(&count, arguments.data());
  bench::BestRunReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  gServer.reset();

  const auto updater = reporter.times.find("BM_Updater");
  const auto plain = reporter.times.find("BM_PlainSoup");
  if (updater != reporter.times.end() && plain != reporter.times.end()) {
    std::printf("\n%d deliveries: updater %.1f ms, plain libsoup %.1f ms, ratio %.2fx\n",
                gDeliveries, updater->second, plain->second, updater->second / plain->second);
    const double updaterCPU = reporter.cpuTimes["BM_Updater"];
    const double plainCPU = reporter.cpuTimes["BM_PlainSoup"];
    if (plainCPU > 0) {
      std::printf("Process CPU: updater %.1f ms, plain libsoup %.1f ms, ratio %.2fx\n", updaterCPU,
                  plainCPU, updaterCPU / plainCPU);
    }
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("Peak resident memory: %ld kB\n", usage.ru_maxrss);

  std::error_code error;
  std::filesystem::remove_all(home, error);
  return 0;
}
