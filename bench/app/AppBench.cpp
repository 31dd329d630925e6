// The main application's responsiveness with a long list, measured in this process under a
// virtual display (Release build):
//
//   BM_FirstFrame/N         from opening the store through starting the managers, making the
//                           window and its list to the window's first painted frame, with N
//                           active deliveries (N = 0 is the baseline; goal at 10,000: < 500 ms)
//   BM_FilterKeystroke/N    one keystroke of a search (a tracking number typed a letter at a time):
//                           the store's search, the list model replaced and the frame that
//                           shows it (goal: < 16 ms per keystroke at 10,000)
//   BM_ScrollMemory         resident memory with the window open on 10,000 deliveries, after
//                           scrolling through every row once and again (goal: no growth with
//                           the rows scrolled past: rows are recycled)
//
// Process start-up (loading the program and its libraries) comes on top of the first frame;
// run it on a display of its own and a private bus:
//   xvfb-run -a dbus-run-session -- scripts/with-keyring.sh build-bench/bench/app/bench_app
#include <adwaita.h>
#include <benchmark/benchmark.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "QBYAppDelegate.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "platform/Date.h"
#include "platform/Log.h"
#include "store/QBYDataStore.h"
#include "support/BenchRun.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

fs::path gHome;
std::map<int, fs::path> gStores;

// A store with `count` active deliveries of one package each. Their service is not one the
// updater knows, and each was just updated, so nothing goes to the network.
fs::path storeWith(int count) {
  if (auto found = gStores.find(count); found != gStores.end()) return found->second;
  const fs::path file = gHome / ("list-" + std::to_string(count)) / "Porvane.sqlite";
  fs::create_directories(file.parent_path());
  qby::QBYDataStore store(file);
  auto& context = *store.viewContext();
  const double now = qby::Date::now().timeIntervalSince1970();
  context.performAndWait([&] {
    for (int i = 0; i < count; ++i) {
      auto delivery = context.insert<qby::Delivery>("Delivery");
      const std::string name = "Parcel " + std::to_string(i);
      char uuid[40];
      std::snprintf(uuid, sizeof uuid, "BENCH-%08d-0000-0000-000000000000", i);
      delivery->setUuid(std::string(uuid));
      delivery->setName(name);
      delivery->setHistoryTitle(name);
      delivery->setNo("BN" + std::to_string(100000000 + i));
      delivery->setFrom(std::string("bench.invalid"));
      delivery->setManualSortIndex(i * 10);
      delivery->setModified(now);
      delivery->setUpdatedTime(now);
      delivery->setNextUpdate(now + 86400 * 30);
      auto detail = context.insert<qby::Detail>("Detail");
      detail->setIndex(0);
      detail->setItemName(name);
      detail->setShippedText(std::string("Departed from the sorting centre %@"));
      detail->setShippedDateString(std::string("2026-12-07"));
      detail->setDeliveredText(std::string("Expected %@"));
      detail->setDeliveredDateString(std::string("2026-12-10"));
      delivery->addDetail(detail);
    }
  });
  if (!store.saveData()) std::fprintf(stderr, "bench_app: could not save the store\n");
  gStores[count] = file;
  return file;
}

// The store builds its search index in the background at start; searches before it is done
// do not filter. Waits until a search finds fewer rows than there are (or 60 s).
bool waitForSearchIndex(qby::QBYDeliveriesManager& manager, std::size_t rows) {
  if (rows == 0) return true;
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < deadline) {
    if (manager.deliveriesMatchingSearch(std::string("BN100004711"), 0).size() < rows) return true;
    const auto pause = Clock::now() + std::chrono::milliseconds(100);
    while (Clock::now() < pause) g_main_context_iteration(nullptr, FALSE);
  }
  return false;
}

void drain() {
  while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
}

bool waitForFrame(GtkWidget* widget, double timeoutSeconds = 10) {
  GdkFrameClock* clock = gtk_widget_get_frame_clock(widget);
  if (!clock) return false;
  bool painted = false;
  const gulong handler = g_signal_connect(
      clock, "after-paint",
      G_CALLBACK(+[](GdkFrameClock*, gpointer flag) { *static_cast<bool*>(flag) = true; }),
      &painted);
  gtk_widget_queue_draw(widget);
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (!painted && Clock::now() < deadline) g_main_context_iteration(nullptr, TRUE);
  g_signal_handler_disconnect(clock, handler);
  return painted;
}

long residentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// One launch of the application in this process.
class Launch {
 public:
  explicit Launch(const fs::path& store) {
    static int launches = 0;
    const std::string id = "com.quillbay.mac.Porvane.Bench" + std::to_string(++launches);
    application_ = GTK_APPLICATION(adw_application_new(id.c_str(), G_APPLICATION_NON_UNIQUE));
    g_application_register(G_APPLICATION(application_), nullptr, nullptr);
    porvane::app::QBYAppDelegate::Environment environment;
    environment.application = application_;
    environment.terminate = [] {};
    environment.controlCompanion = false;
    environment.schedule = false;
    environment.storeFile = store;
    delegate_ = std::make_shared<porvane::app::QBYAppDelegate>(std::move(environment));
  }
  ~Launch() {
    delegate_->applicationWillTerminate();
    delegate_.reset();
    drain();
    g_object_unref(application_);
  }
  // Store, managers, window, first frame.
  bool open() {
    const auto start = Clock::now();
    if (!delegate_->applicationWillFinishLaunching()) return false;
    const auto started = Clock::now();
    delegate_->applicationDidFinishLaunching();
    const auto built = Clock::now();
    delegate_->showMainWindow();
    const bool painted = waitForFrame(GTK_WIDGET(delegate_->mainWindow()->window()));
    startSeconds = std::chrono::duration<double>(started - start).count();
    windowSeconds = std::chrono::duration<double>(built - started).count();
    frameSeconds = std::chrono::duration<double>(Clock::now() - built).count();
    return painted;
  }
  // Where open() spent its time: store and managers, window and list, showing and painting.
  double startSeconds = 0, windowSeconds = 0, frameSeconds = 0;
  porvane::app::QBYMainWindow& window() { return *delegate_->mainWindow(); }
  std::shared_ptr<qby::QBYDeliveriesManager> manager() { return delegate_->deliveriesManager(); }

 private:
  GtkApplication* application_ = nullptr;
  std::shared_ptr<porvane::app::QBYAppDelegate> delegate_;
};

void BM_FirstFrame(benchmark::State& state) {
  const fs::path store = storeWith(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    Launch launch(store);
    const auto start = Clock::now();
    if (!launch.open()) {
      state.SkipWithError("the window never painted");
      return;
    }
    // The frame that counts is the first one with the rows in it.
    auto& list = launch.window().list();
    const auto wanted = static_cast<std::size_t>(state.range(0));
    if (list.shownDeliveries().size() < wanted) {
      while (list.shownDeliveries().size() < wanted) {
        if (Clock::now() - start > std::chrono::seconds(30)) {
          state.SkipWithError("the rows never showed");
          return;
        }
        g_main_context_iteration(nullptr, TRUE);
      }
      waitForFrame(GTK_WIDGET(launch.window().window()));
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    state.counters["rows"] = static_cast<double>(list.shownDeliveries().size());
    state.counters["start_ms"] = launch.startSeconds * 1000;
    state.counters["window_ms"] = launch.windowSeconds * 1000;
    state.counters["frame_ms"] = launch.frameSeconds * 1000;
  }
}
BENCHMARK(BM_FirstFrame)
    ->Arg(0)
    ->Arg(1000)
    ->Arg(10000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

void BM_FilterKeystroke(benchmark::State& state) {
  Launch launch(storeWith(static_cast<int>(state.range(0))));
  if (!launch.open()) {
    state.SkipWithError("the window never painted");
    return;
  }
  auto& list = launch.window().list();
  GtkWidget* window = GTK_WIDGET(launch.window().window());
  if (!waitForSearchIndex(*launch.manager(), static_cast<std::size_t>(state.range(0)))) {
    state.SkipWithError("the search index was never built");
    return;
  }
  list.setSearchString("P");
  list.setSearchString("");
  waitForFrame(window);
  // Each iteration is one keystroke; after the last letter the field is emptied (untimed)
  // and typing starts again.
  const std::string typed = "BN1000047";
  std::size_t length = 0;
  std::size_t shown = 0;
  double slowest = 0;
  for (auto _ : state) {
    if (length == typed.size()) {
      state.PauseTiming();
      list.setSearchString("");
      waitForFrame(window);
      length = 0;
      state.ResumeTiming();
    }
    ++length;
    const auto start = Clock::now();
    list.setSearchString(typed.substr(0, length));
    waitForFrame(window);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    slowest = std::max(slowest, seconds);
    shown = list.shownDeliveries().size();
  }
  state.counters["slowest_ms"] = slowest * 1000;
  state.counters["shown_last"] = static_cast<double>(shown);
}
BENCHMARK(BM_FilterKeystroke)
    ->Arg(0)
    ->Arg(10000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(27);

// The library's part of a keystroke: the store's search alone, for the same letters.
void BM_SearchQuery(benchmark::State& state) {
  Launch launch(storeWith(static_cast<int>(state.range(0))));
  if (!launch.open()) {
    state.SkipWithError("the window never painted");
    return;
  }
  auto manager = launch.manager();
  if (!waitForSearchIndex(*manager, static_cast<std::size_t>(state.range(0)))) {
    state.SkipWithError("the search index was never built");
    return;
  }
  const std::string typed = "BN1000047";
  std::size_t length = 0;
  for (auto _ : state) {
    length = length % typed.size() + 1;
    benchmark::DoNotOptimize(manager->deliveriesMatchingSearch(typed.substr(0, length), 0));
  }
}
BENCHMARK(BM_SearchQuery)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(27);

void BM_ScrollMemory(benchmark::State& state) {
  Launch launch(storeWith(10000));
  if (!launch.open()) {
    state.SkipWithError("the window never painted");
    return;
  }
  GtkWidget* view = GTK_WIDGET(launch.window().list().listView());
  GtkAdjustment* adjustment = gtk_scrollable_get_vadjustment(GTK_SCROLLABLE(view));
  const auto scrollThrough = [&] {
    const double page = gtk_adjustment_get_page_size(adjustment);
    for (double value = 0; value < gtk_adjustment_get_upper(adjustment); value += page) {
      gtk_adjustment_set_value(adjustment, value);
      waitForFrame(view);
    }
    gtk_adjustment_set_value(adjustment, 0);
    waitForFrame(view);
  };
  long open = 0, first = 0, second = 0;
  for (auto _ : state) {
    open = residentKilobytes();
    scrollThrough();
    first = residentKilobytes();
    scrollThrough();
    second = residentKilobytes();
  }
  state.counters["rss_open_MB"] = open / 1024.0;
  state.counters["rss_scrolled_once_MB"] = first / 1024.0;
  state.counters["rss_scrolled_twice_MB"] = second / 1024.0;
  state.counters["growth_second_pass_MB"] = (second - first) / 1024.0;
}
BENCHMARK(BM_ScrollMemory)->Iterations(1)->Repetitions(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  gHome = qby::bench::makeBenchHome();
  if (gHome.empty()) return 2;
  qby::setConsoleLogEnabled(false);
  if (!gtk_init_check()) {
    std::fprintf(stderr, "bench_app: no display (run under xvfb-run)\n");
    return 2;
  }
  adw_init();
  auto arguments = qby::bench::interleavedArguments(argc, argv);
  int count = static_cast<int>(arguments.size()) - 1;
  benchmark::Initialize(&count, arguments.data());
  qby::bench::BestRunReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  // The best of the repetitions, by benchmark: the machine is shared, the best run is the
  // one least disturbed.
  std::printf("\nBest times (ms):\n");
  for (const auto& [name, time] : reporter.times)
    std::printf("  %-40s %8.2f\n", name.c_str(), time);
  std::error_code error;
  fs::remove_all(gHome, error);
  return 0;
}
