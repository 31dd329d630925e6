// The companion's footprint as a user's desktop carries it: porvane-express runs as a child
// process over a fresh store of 200 active deliveries tracked by web address, whose pages come
// from a loopback server. Measured, once each (these are states, not repeatable timings):
//
//   rss_idle_MB      resident memory after start with nothing due, before it has fetched a
//                    page (goal: at most 25 MB)
//   wakeups_per_min  voluntary context switches of all its threads over 60 s idle, the
//                    wake-ups its timers and watches cost (goal: nothing more often than once
//                    a minute, so a handful)
//   rss_updated_MB   resident memory once a full update cycle of the 200 deliveries (every
//                    one due) has run and it is idle again (goal: at most 40 MB)
//
// Run it beside a disposable keyring on a private session bus:
//   dbus-run-session -- scripts/with-keyring.sh bench_companion
#include <benchmark/benchmark.h>
#include <gio/gio.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "manager/QBYBackgroundUpdater.h"
#include "manager/QBYDeliveriesManager.h"
#include "model/Delivery.h"
#include "platform/GLibPtr.h"
#include "platform/MainQueue.h"
#include "platform/QBYUserDefaults.h"
#include "store/QBYDataStore.h"
#include "support/BenchRun.h"
#include "support/LoopbackServer.h"
#include "sync/QBYSyncManager.h"

namespace {

using namespace qby;

constexpr int kDeliveries = 200;
constexpr double kIdleSeconds = 60;
constexpr double kUpdateTimeout = 600;

std::unique_ptr<bench::LoopbackServer> gServer;
std::filesystem::path gHome;

std::string readText(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

// A number from a "Name:   value" line of a /proc status file; -1 when missing.
long statusValue(const std::filesystem::path& status, const std::string& name) {
  std::istringstream lines(readText(status));
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(name + ":", 0) == 0)
      return std::strtol(line.c_str() + name.size() + 1, nullptr, 10);
  return -1;
}

double residentMB(int pid) {
  return statusValue("/proc/" + std::to_string(pid) + "/status", "VmRSS") / 1024.0;
}

// Anonymous (private, not file-backed) resident memory: the heap and stacks the program
// itself makes, without the pages of shared libraries other processes share.
double anonymousMB(int pid) {
  return statusValue("/proc/" + std::to_string(pid) + "/status", "RssAnon") / 1024.0;
}

// Voluntary switches by thread: each is a sleep that something woke.
std::map<std::string, long> voluntarySwitches(int pid) {
  std::map<std::string, long> switches;
  std::error_code error;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error))
    switches[task.path().filename().string()] =
        std::max(0L, statusValue(task.path() / "status", "voluntary_ctxt_switches"));
  return switches;
}

// The wake-ups between two snapshots: a thread's own count is lost when it ends, so threads
// that ended count what they had done by the first snapshot (nothing more is known), and
// threads that started count all of theirs.
long wakeupsBetween(const std::map<std::string, long>& before,
                    const std::map<std::string, long>& after) {
  long total = 0;
  for (const auto& [thread, count] : after) {
    const auto earlier = before.find(thread);
    total += count - (earlier == before.end() ? 0 : earlier->second);
  }
  return total;
}

std::size_t occurrences(const std::string& whole, const std::string& text) {
  std::size_t count = 0;
  for (auto at = whole.find(text); at != std::string::npos; at = whole.find(text, at + 1)) ++count;
  return count;
}

// Runs one statement on the store file, as another program's write would reach it.
bool execute(const char* statement) {
  sqlite3* database = nullptr;
  const bool opened = sqlite3_open(QBYDataStore::storeURL().c_str(), &database) == SQLITE_OK;
  const bool done =
      opened && sqlite3_exec(database, statement, nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(database);
  return done;
}

// How many deliveries wait for an update; -1 when the store cannot be read.
long dueDeliveries() {
  sqlite3* database = nullptr;
  long count = -1;
  if (sqlite3_open_v2(QBYDataStore::storeURL().c_str(), &database, SQLITE_OPEN_READONLY, nullptr) ==
      SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(database,
                           R"(SELECT count(*) FROM "Delivery" WHERE "backgroundUpdate" = 0)", -1,
                           &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
      count = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
  }
  sqlite3_close(database);
  return count;
}

// The store of 200 deliveries, made by a manager of this process as the main application
// would, then closed again.
bool prepareStore() {
  auto store = std::make_shared<QBYDataStore>();
  if (!store->available()) return false;
  auto manager = QBYDeliveriesManager::create();
  manager->setDataStore(store);
  manager->start();
  for (int i = 0; i < kDeliveries; ++i) {
    QBYDeliverySettings settings;
    settings.from = "other";
    settings.no = gServer->url(i);
    settings.name = "Parcel " + std::to_string(i);
    manager->saveDeliveryWithSettings(settings);
  }
  manager->prepareToStop();
  manager->stop();
  MainQueue::drain();
  if (!store->saveData()) return false;
  manager.reset();
  store.reset();
  QBYDataStore::sharedDefaults().setObject(Value(true), QBYBackgroundUpdatesKey);
  // Updated a moment ago, as far as the first run can tell: nothing is due for a day, and
  // none waits for its first answer (those count as stuck and are updated at once).
  const std::string tomorrow = std::to_string(std::time(nullptr) + 86400);
  return execute(("UPDATE \"Delivery\" SET \"nextUpdate\" = " + tomorrow +
                  ", \"backgroundUpdate\" = " + tomorrow + ", \"updating\" = 0")
                     .c_str());
}

class Companion {
 public:
  Companion() : log_(gHome / "companion.log") {
    std::filesystem::remove(log_);
    auto launcher =
        GObjectPtr<GSubprocessLauncher>::adopt(g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_NONE));
    g_subprocess_launcher_set_stderr_file_path(launcher.get(), log_.c_str());
    const char* argv[] = {PORVANE_EXPRESS_PATH, nullptr};
    process_ =
        GObjectPtr<GSubprocess>::adopt(g_subprocess_launcher_spawnv(launcher.get(), argv, nullptr));
    if (process_) pid_ = std::atoi(g_subprocess_get_identifier(process_.get()));
  }
  ~Companion() {
    if (!process_) return;
    g_subprocess_send_signal(process_.get(), SIGTERM);
    g_subprocess_wait(process_.get(), nullptr, nullptr);
  }
  int pid() const { return pid_; }
  std::string log() const { return readText(log_); }
  bool waitForLog(const std::string& text, std::size_t times, double seconds) const {
    return MainQueue::runUntil([&] { return occurrences(log(), text) >= times; }, seconds);
  }
  // Lets it be, serving this process's loopback server meanwhile.
  static void idle(double seconds) {
    MainQueue::runUntil([] { return false; }, seconds);
  }

 private:
  std::filesystem::path log_;
  GObjectPtr<GSubprocess> process_;
  int pid_ = 0;
};

void BM_CompanionFootprint(benchmark::State& state) {
  double idleMB = 0, updatedMB = 0, idleAnonymousMB = 0, updatedAnonymousMB = 0;
  double wakeupsPerMinute = 0, threads = 0;
  for (auto _ : state) {
    {
      // Nothing is due, and the hourly schedule does not fire within the minute: this is the
      // companion at rest, before it has fetched a page.
      Companion companion;
      if (!companion.pid()) {
        state.SkipWithError("porvane-express did not start");
        return;
      }
      Companion::idle(15);
      idleMB = residentMB(companion.pid());
      idleAnonymousMB = anonymousMB(companion.pid());
      const auto before = voluntarySwitches(companion.pid());
      Companion::idle(kIdleSeconds);
      wakeupsPerMinute =
          wakeupsBetween(before, voluntarySwitches(companion.pid())) * 60.0 / kIdleSeconds;
      threads = static_cast<double>(voluntarySwitches(companion.pid()).size());
    }
    // Every delivery due: the cycle the companion runs as it starts (its sync's first pass
    // leads into an update) fetches every page once.
    if (!execute(R"(UPDATE "Delivery" SET "nextUpdate" = 0, "backgroundUpdate" = 0)")) {
      state.SkipWithError("the deliveries could not be made due");
      return;
    }
    {
      Companion companion;
      if (!companion.waitForLog("Updating 200 deliveries", 1, 120) ||
          !MainQueue::runUntil([] { return dueDeliveries() == 0; }, kUpdateTimeout)) {
        state.SkipWithError("the update cycle did not complete");
        std::fputs(companion.log().c_str(), stderr);
        return;
      }
      Companion::idle(10);
      updatedMB = residentMB(companion.pid());
      updatedAnonymousMB = anonymousMB(companion.pid());
    }
  }
  state.counters["rss_idle_MB"] = idleMB;
  state.counters["rss_updated_MB"] = updatedMB;
  state.counters["anon_idle_MB"] = idleAnonymousMB;
  state.counters["anon_updated_MB"] = updatedAnonymousMB;
  state.counters["wakeups_per_min"] = wakeupsPerMinute;
  state.counters["threads_idle"] = threads;
  std::printf(
      "\nCompanion with %d deliveries: %.1f MB resident idle (goal 25; %.1f MB of it "
      "private), %.1f MB after an update (goal 40; %.1f MB private), %.1f wake-ups a "
      "minute while idle over %.0f threads\n",
      kDeliveries, idleMB, idleAnonymousMB, updatedMB, updatedAnonymousMB, wakeupsPerMinute,
      threads);
}
BENCHMARK(BM_CompanionFootprint)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  gHome = bench::makeBenchHome();
  if (gHome.empty()) return 2;
  gServer = std::make_unique<bench::LoopbackServer>();
  if (!gServer->listening()) {
    std::fprintf(stderr, "The loopback server did not start: %s\n", gServer->error().c_str());
    return 2;
  }
  if (!prepareStore()) {
    std::fprintf(stderr, "The store of %d deliveries could not be made\n", kDeliveries);
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gServer.reset();
  std::error_code error;
  std::filesystem::remove_all(gHome, error);
  return 0;
}
