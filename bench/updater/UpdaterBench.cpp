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
// --latency=MS makes the server answer each request MS milliseconds late, as a carrier does
// (100–500 ms in practice): what a user waits for is then mostly the network, and the engine
// must add little to it.
// --carrier=MODULE/CASE picks the JSON carrier case of tests/data/carriers (default
// dpd/delivered): its answers are served for every delivery of the JSON pair of benchmarks.
//
// Two pairs, each an engine run against the plain client fetching the same addresses:
// - web page: every delivery is tracked by web address ("other"), which fetches its ~40 kB
//   page once and reads its visible text;
// - JSON: every delivery is a shipment of a carrier module that reads a JSON answer, through
//   the updater's test-only rewrite of carrier hosts to the loopback server.
//
// Scripts: the shipped ones. Run it beside a disposable keyring, since a run loads and saves the
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
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

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
unsigned gLatency = 0;
std::string gCarrierCase = "dpd/delivered";

// The JSON carrier case: one delivery's settings and the answers its module asks for. The
// updater's rewrite sends every host to the loopback server, carriers' and pages' alike.
struct CarrierCase {
  Dictionary delivery;
  std::vector<std::string> urls;  // the addresses as the rewrite makes them
};
CarrierCase gCarrier;

std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return file ? text.str() : std::string();
}

// Loads the case and routes its answers; false with a message when the case is unusable.
bool loadCarrierCase(const std::filesystem::path& folder) {
  const auto document = nlohmann::json::parse(readFile(folder / "case.json"), nullptr, false);
  if (!document.is_object() || !document["delivery"].is_object() ||
      !document["responses"].is_array()) {
    std::fprintf(stderr, "No carrier case in %s\n", folder.c_str());
    return false;
  }
  for (const auto& [key, value] : document["delivery"].items())
    if (value.is_string()) gCarrier.delivery.set(key, Value(value.get<std::string>()));
  for (const auto& response : document["responses"]) {
    const auto url = response.value("url", "");
    const auto file = response.value("file", "");
    const GUriPtr uri(g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr));
    if (!uri || file.empty()) continue;
    const std::string path =
        "/" + std::string(g_uri_get_host(uri.get())) + g_uri_get_path(uri.get());
    const bool json = file.ends_with(".json");
    gServer->route(
        path, {response.value("status", 200u),
               json ? "application/json" : "text/html; charset=utf-8", readFile(folder / file)});
    std::string rewritten = gServer->FixtureServer::url(path);
    if (const char* query = g_uri_get_query(uri.get())) rewritten += std::string("?") + query;
    gCarrier.urls.push_back(rewritten);
  }
  if (gCarrier.urls.empty()) {
    std::fprintf(stderr, "The carrier case %s has no answers\n", folder.c_str());
    return false;
  }
  setenv("PORVANE_FIXTURE_SERVER", gServer->FixtureServer::url().c_str(), 1);
  return true;
}

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

// Shipments of the JSON carrier: the case's delivery again and again under its own ids.
Array carrierDeliveries() {
  Array list;
  for (int i = 0; i < gDeliveries; ++i) {
    Dictionary delivery = gCarrier.delivery;
    delivery.set("uuid", Value("carrier-" + std::to_string(i)));
    delivery.set("hash", Value("carrier-hash-" + std::to_string(i)));
    list.push_back(Value(std::move(delivery)));
  }
  return list;
}

void runUpdater(benchmark::State& state, const Array& list) {
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

void BM_Updater(benchmark::State& state) {
  runUpdater(state, deliveries());
}

void BM_UpdaterJSON(benchmark::State& state) {
  runUpdater(state, carrierDeliveries());
}

// The same addresses through one SoupSession on the main thread, five deliveries at a time;
// a delivery whose module asks for several answers fetches them one after another.
// One delivery's answers, fetched one after another like a module that asks for several.
struct PlainFetch {
  SoupSession* session;
  std::vector<std::string> urls;
  std::size_t next = 0;
  int* inFlight;
  int* fetched;
  bool complete = true;

  static void start(std::unique_ptr<PlainFetch> fetch) {
    auto message =
        GObjectPtr<SoupMessage>::adopt(soup_message_new("GET", fetch->urls[fetch->next++].c_str()));
    SoupSession* session = fetch->session;
    soup_session_send_and_read_async(session, message.get(), G_PRIORITY_DEFAULT, nullptr,
                                     &PlainFetch::answered, fetch.release());
  }

  static void answered(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<PlainFetch> fetch(static_cast<PlainFetch*>(data));
    GBytes* body = soup_session_send_and_read_finish(SOUP_SESSION(source), result, nullptr);
    if (body) {
      gsize size = 0;
      const auto* bytes = static_cast<const char*>(g_bytes_get_data(body, &size));
      // Scripts get text; the client makes it too, for a like-for-like comparison.
      if (!g_utf8_validate(bytes, static_cast<gssize>(size), nullptr)) fetch->complete = false;
      g_bytes_unref(body);
    } else {
      fetch->complete = false;
    }
    if (fetch->next < fetch->urls.size()) return start(std::move(fetch));
    if (fetch->complete) (*fetch->fetched)++;
    (*fetch->inFlight)--;
  }
};

void runPlainSoup(benchmark::State& state,
                  const std::function<std::vector<std::string>(int)>& urls) {
  for (auto _ : state) {
    auto session = GObjectPtr<SoupSession>::adopt(soup_session_new_with_options(
        "max-conns-per-host", QBYDeliveriesUpdater::kMaximumConnectionsPerHost, nullptr));
    int fetched = 0;
    for (int first = 0; first < gDeliveries; first += kBatch) {
      int inFlight = 0;
      for (int i = first; i < std::min<int>(first + kBatch, gDeliveries); ++i) {
        inFlight++;
        PlainFetch::start(std::unique_ptr<PlainFetch>(
            new PlainFetch{session.get(), urls(i), 0, &inFlight, &fetched}));
      }
      MainQueue::runUntil([&] { return inFlight == 0; }, 600);
    }
    if (fetched != gDeliveries) state.SkipWithError("not every page was fetched");
  }
  state.SetItemsProcessed(state.iterations() * gDeliveries);
}

void BM_PlainSoup(benchmark::State& state) {
  // The address the updater's rewrite makes of the page's.
  runPlainSoup(state, [](int i) {
    return std::vector<std::string>{
        gServer->FixtureServer::url("/127.0.0.1/track/" + std::to_string(i))};
  });
}

void BM_PlainSoupJSON(benchmark::State& state) {
  runPlainSoup(state, [](int) { return gCarrier.urls; });
}

// Process CPU time: the updater works on its own queue thread, the server on another.
BENCHMARK(BM_Updater)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_PlainSoup)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_UpdaterJSON)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_PlainSoupJSON)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

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
    } else if (std::strncmp(argv[i], "--latency=", 10) == 0) {
      gLatency = static_cast<unsigned>(std::max(0, std::atoi(argv[i] + 10)));
    } else if (std::strncmp(argv[i], "--carrier=", 10) == 0) {
      gCarrierCase = argv[i] + 10;
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
  gServer->setLatency(gLatency);
  if (!loadCarrierCase(std::filesystem::path(PORVANE_CARRIER_DATA_DIR) / gCarrierCase)) return 2;
  benchmark::Initialize(&count, arguments.data());
  bench::BestRunReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  gServer.reset();

  std::printf("\n%d deliveries, answers %u ms late\n", gDeliveries, gLatency);
  const auto compare = [&](const char* label, const std::string& engine, const std::string& plain) {
    const auto engineTime = reporter.times.find(engine);
    const auto plainTime = reporter.times.find(plain);
    if (engineTime == reporter.times.end() || plainTime == reporter.times.end()) return;
    std::printf("%s: updater %.1f ms, plain libsoup %.1f ms, ratio %.2fx\n", label,
                engineTime->second, plainTime->second, engineTime->second / plainTime->second);
    const double engineCPU = reporter.cpuTimes[engine];
    const double plainCPU = reporter.cpuTimes[plain];
    if (plainCPU > 0) {
      std::printf(
          "  process CPU: updater %.1f ms, plain %.1f ms, ratio %.2fx; per delivery "
          "%.3f ms, beyond the plain client's %.3f ms\n",
          engineCPU, plainCPU, engineCPU / plainCPU, engineCPU / gDeliveries,
          (engineCPU - plainCPU) / gDeliveries);
    }
  };
  compare("Web pages", "BM_Updater", "BM_PlainSoup");
  compare(("JSON (" + gCarrierCase + ")").c_str(), "BM_UpdaterJSON", "BM_PlainSoupJSON");
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("Peak resident memory: %ld kB\n", usage.ru_maxrss);

  std::error_code error;
  std::filesystem::remove_all(home, error);
  return 0;
}
