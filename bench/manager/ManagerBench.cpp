// A full update cycle of the deliveries manager against the engine alone: 1,000 deliveries
// tracked by web address, each fetching one page from a loopback server through the shipped
// scripts. The manager's cycle selects the due deliveries from the store, runs the updater,
// applies every result (change detection, details, intervals, search text), saves and writes
// the calendar events; the engine alone gets the same settings dictionaries and only counts
// the results. Prints both times, their ratio (wall and process CPU) and the peak resident
// memory. The goal is the manager's own work adding at most 25% to the engine's time.
//
// As for the updater benchmark: run it beside a disposable keyring,
// dbus-run-session -- scripts/with-keyring.sh bench_manager
// and, unless told otherwise, the two are repeated three times in random interleaving and the
// best time of each is compared.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/QBYDeliveriesUpdater.h"
#include "manager/QBYCalendarStore.h"
#include "manager/QBYDeliveriesCalendar.h"
#include "manager/QBYDeliveriesManager.h"
#include "manager/QBYICSCalendarBackend.h"
#include "model/Delivery.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/QBYNotificationCenter.h"
#include "platform/QBYUserDefaults.h"
#include "store/QBYDataStore.h"
#include "store/core/QBYManagedObjectContext.h"
#include "support/BenchRun.h"
#include "support/LoopbackServer.h"
#include "sync/QBYSyncManager.h"

namespace {

using namespace qby;

constexpr int kDeliveries = 1000;
constexpr double kRunTimeout = 900;

std::unique_ptr<bench::LoopbackServer> gServer;
std::shared_ptr<QBYDataStore> gStore;
std::shared_ptr<QBYDeliveriesManager> gManager;

// In the background, as a companion that updates on its schedule: notifications are built.
class BackgroundApplication : public QBYDeliveriesNotificationDelegate {
 public:
  long applicationState() override { return 2; }
  void presentDeliveryNotification(const QBYNotification&) override { ++presented; }
  int presented = 0;
};
auto gApplication = std::make_shared<BackgroundApplication>();

class CountingDelegate : public QBYDeliveriesUpdaterDelegate {
 public:
  void updateDeliveryWithResults(const Dictionary& results) override {
    if (results["status"].asInteger() >= 2) fetched++;
  }
  void completeUpdateWithSuccess(bool) override { completed = true; }
  void completeTroubleshootingWithLogs(const std::string&) override {}
  void handleException(const std::string&) override {}
  int fetched = 0;
  bool completed = false;
};

// Deliveries whose last refresh is not older than the given time.
int deliveriesUpdatedSince(double since) {
  int count = 0;
  for (const auto& delivery : gManager->fetchDeliveries())
    if (delivery->updatedTime() >= since) ++count;
  return count;
}

void BM_ManagerCycle(benchmark::State& state) {
  for (auto _ : state) {
    const double started = Date::now().timeIntervalSince1970();
    int completions = 0;
    ObserverToken token = QBYNotificationCenter::defaultCenter().addObserver(
        QBYDeliveriesCompleteNotification, nullptr, [&](const Notification&) { ++completions; });
    // Straight to the run: a sync pass with no sync mode only adds its fixed start delay.
    gManager->setForceUpdate(QBYForceUpdateAll);
    gManager->updateDeliveries();
    MainQueue::runUntil([&] { return completions > 0; }, kRunTimeout);
    QBYNotificationCenter::defaultCenter().removeObserver(token);
    state.PauseTiming();
    if (deliveriesUpdatedSince(started) != kDeliveries)
      state.SkipWithError("not every delivery was updated");
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kDeliveries);
}

void BM_EngineAlone(benchmark::State& state) {
  Array settings;
  for (const auto& delivery : gManager->fetchDeliveries())
    settings.push_back(Value(QBYDeliveriesManager::updaterSettingsForDelivery(*delivery)));
  // One updater for every run, as the manager keeps its own between runs; its first run, which
  // loads the scripts, is not measured (the manager's happened before the measurements too).
  auto delegate = std::make_shared<CountingDelegate>();
  auto updater = QBYDeliveriesUpdater::deliveriesUpdater(std::nullopt, false);
  updater->setDelegate(delegate);
  updater->updateDeliveriesWithSettings(settings);
  MainQueue::runUntil([&] { return delegate->completed; }, kRunTimeout);
  for (auto _ : state) {
    delegate->fetched = 0;
    delegate->completed = false;
    updater->updateDeliveriesWithSettings(settings);
    MainQueue::runUntil([&] { return delegate->completed; }, kRunTimeout);
    if (delegate->fetched != kDeliveries) state.SkipWithError("not every delivery was fetched");
  }
  updater->invalidate();
  state.SetItemsProcessed(state.iterations() * kDeliveries);
}

// Process CPU time: the updater works on its own queue thread, the server on another.
BENCHMARK(BM_ManagerCycle)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_EngineAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

// Calendar events on, in a calendar of the container's own calendar folder.
bool turnOnCalendar() {
  QBYICSCalendarBackend backend(QBYICSCalendarBackend::defaultFolder());
  QBYError error;
  const auto calendar =
      backend.makeCalendar("Deliveries", std::string("#FF2968"), QBYCalendarTypeLocal, &error);
  if (!calendar) return false;
  const auto info = calendarInfo(*calendar);
  if (!info) return false;
  QBYDataStore::sharedDefaults().setObject(Value(defaultsSafeCalendarInfo(*info)),
                                           QBYDeliveriesCalendarInfoKey);
  return true;
}

// The manager over a store of its own, started, with the deliveries saved; their first update
// (which makes every line) runs here, so each measured cycle does the same work.
bool prepareManager() {
  gStore = std::make_shared<QBYDataStore>(Paths::sharedContainer() / "Porvane.sqlite");
  if (!gStore->available()) return false;
  if (!turnOnCalendar()) std::fprintf(stderr, "Calendar events could not be turned on\n");
  auto sync = std::make_shared<QBYSyncManager>();
  gManager = QBYDeliveriesManager::create();
  gManager->setDataStore(gStore);
  gManager->setSyncManager(sync);
  gManager->setNotificationDelegate(gApplication);
  gManager->start();
  MainQueue::runUntil([&] { return sync->started(); }, 60);

  // Expected in three days: each delivery has a calendar event.
  const std::time_t inThreeDays = std::time(nullptr) + 3 * 86400;
  char day[16] = {};
  std::strftime(day, sizeof day, "%Y-%m-%d", std::localtime(&inThreeDays));
  for (int i = 0; i < kDeliveries; ++i) {
    QBYDeliverySettings settings;
    settings.from = "other";
    settings.no = gServer->url(i);
    settings.name = "Parcel " + std::to_string(i);
    settings.date = std::string(day);
    gManager->saveDeliveryWithSettings(settings);
  }
  MainQueue::runUntil([] { return false; }, 1);  // the delayed first run is replaced below
  int completions = 0;
  ObserverToken token = QBYNotificationCenter::defaultCenter().addObserver(
      QBYDeliveriesCompleteNotification, nullptr, [&](const Notification&) { ++completions; });
  gManager->setForceUpdate(QBYForceUpdateAll);
  gManager->updateDeliveries();
  MainQueue::runUntil([&] { return completions > 0 && !gManager->busy(); }, kRunTimeout);
  QBYNotificationCenter::defaultCenter().removeObserver(token);
  return deliveriesUpdatedSince(0) == kDeliveries;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string home = bench::makeBenchHome();
  if (home.empty()) return 2;
  unsetenv("PORVANE_RESOURCE_DIR");

  std::vector<char*> arguments = bench::interleavedArguments(argc, argv);
  int count = static_cast<int>(arguments.size()) - 1;

  gServer = std::make_unique<bench::LoopbackServer>();
  if (!gServer->listening()) {
    std::fprintf(stderr, "The loopback server did not start: %s\n", gServer->error().c_str());
    return 2;
  }
  if (!prepareManager()) {
    std::fprintf(stderr, "The first update of the deliveries did not complete\n");
    return 1;
  }
  benchmark::Initialize(&count, arguments.data());
  bench::BestRunReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const auto manager = reporter.times.find("BM_ManagerCycle");
  const auto engine = reporter.times.find("BM_EngineAlone");
  if (manager != reporter.times.end() && engine != reporter.times.end()) {
    std::printf("\n%d deliveries: manager cycle %.1f ms, engine alone %.1f ms, ratio %.2fx\n",
                kDeliveries, manager->second, engine->second, manager->second / engine->second);
    const double managerCPU = reporter.cpuTimes["BM_ManagerCycle"];
    const double engineCPU = reporter.cpuTimes["BM_EngineAlone"];
    if (engineCPU > 0) {
      std::printf("Process CPU: manager cycle %.1f ms, engine alone %.1f ms, ratio %.2fx\n",
                  managerCPU, engineCPU, managerCPU / engineCPU);
    }
  }
  std::printf("Notifications built: %d\n", gApplication->presented);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("Peak resident memory: %ld kB\n", usage.ru_maxrss);

  gManager->prepareToStop();
  gManager->stop();
  MainQueue::drain();
  gManager.reset();
  gStore.reset();
  gServer.reset();
  std::error_code error;
  std::filesystem::remove_all(home, error);
  return 0;
}
