// porvane-server: the self-hostable vendor web service for sync, reports and service updates.
//
//   porvane-server --data DIR [--port N] [--address ADDR] [--config FILE]
//
// Prints the bound port as the first line of standard output once it listens (so a supervisor
// or a test can start it with --port 0), then logs to standard error and, when configured, to a
// log file. SIGTERM and SIGINT stop it cleanly.
#include <glib-unix.h>
#include <glib.h>
#include <glib/gstdio.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "QBYPasswordHasher.h"
#include "QBYPostgresServerStore.h"
#include "QBYResetMailer.h"
#include "QBYSQLiteServerStore.h"
#include "QBYServerConfig.h"
#include "QBYVendorService.h"
#include "QBYWebServer.h"

using namespace qby::server;

namespace {

class ServerLog {
 public:
  explicit ServerLog(const std::string& file) {
    if (!file.empty()) file_.open(file, std::ios::app);
  }
  bool fileFailed(const std::string& file) const { return !file.empty() && !file_.is_open(); }
  void operator()(const std::string& line) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
    std::fprintf(stderr, "%s %s\n", stamp, line.c_str());
    if (file_.is_open()) {
      file_ << stamp << ' ' << line << '\n';
      file_.flush();
    }
  }

 private:
  std::ofstream file_;
};

gboolean quit(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
  char* dataDir = nullptr;
  char* configFile = nullptr;
  char* address = nullptr;
  int port = -1;
  GOptionEntry entries[] = {
      {"data", 'd', 0, G_OPTION_ARG_FILENAME, &dataDir, "Folder for the database and state", "DIR"},
      {"port", 'p', 0, G_OPTION_ARG_INT, &port, "Port to listen on (0: any free port)", "N"},
      {"address", 'a', 0, G_OPTION_ARG_STRING, &address, "Address to listen on (default 127.0.0.1)",
       "ADDR"},
      {"config", 'c', 0, G_OPTION_ARG_FILENAME, &configFile,
       "Configuration file (default DIR/porvane-server.conf when it exists)", "FILE"},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
  GOptionContext* options = g_option_context_new("- Porvane sync, report and update service");
  g_option_context_add_main_entries(options, entries, nullptr);
  GError* error = nullptr;
  const bool parsed = g_option_context_parse(options, &argc, &argv, &error);
  g_option_context_free(options);
  if (!parsed) {
    std::fprintf(stderr, "porvane-server: %s\n", error->message);
    g_error_free(error);
    return 2;
  }
  auto take = [](char* text) {
    std::string value = text ? text : "";
    g_free(text);
    return value;
  };
  const std::string dataFlag = take(dataDir), configFlag = take(configFile),
                    addressFlag = take(address);

  QBYServerConfig config;
  std::string problem;
  std::string configPath = configFlag;
  if (configPath.empty() && !dataFlag.empty()) {
    const std::string candidate = dataFlag + "/porvane-server.conf";
    if (g_file_test(candidate.c_str(), G_FILE_TEST_EXISTS)) configPath = candidate;
  }
  if (!configPath.empty() && !config.load(configPath, problem)) {
    std::fprintf(stderr, "porvane-server: %s\n", problem.c_str());
    return 2;
  }
  if (!dataFlag.empty()) config.dataDir = dataFlag;
  if (!addressFlag.empty()) config.address = addressFlag;
  if (port >= 0) config.port = port;
  if (port > 65535) {
    std::fprintf(stderr, "porvane-server: --port must be between 0 and 65535\n");
    return 2;
  }
  if (!config.validate(problem)) {
    std::fprintf(stderr, "porvane-server: %s\n", problem.c_str());
    return 2;
  }
  if (!config.dataDir.empty() && g_mkdir_with_parents(config.dataDir.c_str(), 0700) != 0) {
    std::fprintf(stderr, "porvane-server: cannot create %s\n", config.dataDir.c_str());
    return 1;
  }
  if (!QBYPasswordHasher::initialize()) {
    std::fprintf(stderr, "porvane-server: libsodium could not start\n");
    return 1;
  }

  ServerLog log(config.logFile);
  if (log.fileFailed(config.logFile)) {
    std::fprintf(stderr, "porvane-server: cannot open the log file %s\n", config.logFile.c_str());
    return 1;
  }

  std::unique_ptr<QBYServerStore> store;
  if (config.backend == "postgresql")
    store = std::make_unique<QBYPostgresServerStore>(config.postgresql);
  else
    store = std::make_unique<QBYSQLiteServerStore>(config.dataDir + "/porvane-server.db");
  try {
    store->open();
  } catch (const QBYServerStoreError& failure) {
    std::fprintf(stderr, "porvane-server: %s\n", failure.what());
    return 1;
  }

  auto strength = QBYPasswordHasher::Strength::Interactive;
#if PORVANE_TEST_HOOKS
  // Tests and benchmarks create many accounts; Argon2id's interactive limits would make them
  // take minutes. Only test builds know this variable.
  if (const char* fast = std::getenv("PORVANE_TEST_SERVER_MIN_HASH"); fast && *fast == '1')
    strength = QBYPasswordHasher::Strength::Minimum;
#endif

  QBYVendorService::Mailer mailer;
  std::unique_ptr<QBYResetMailer> relay;
  if (!config.smtpHost.empty()) {
    relay = std::make_unique<QBYResetMailer>(config.smtpHost, config.smtpPort, config.mailFrom);
    mailer = [&relay, &log](const std::string& to, const std::string& code) {
      std::string why;
      const bool sent = relay->send(to, code, why);
      if (!sent) log("mail relay: " + why);
      return sent;
    };
  }
  QBYVendorService service(config, *store, QBYPasswordHasher(strength), std::ref(log),
                           QBYVendorService::systemClock, mailer);
  if (!service.loadServiceUpdate(problem) || !service.loadTerms(problem)) {
    std::fprintf(stderr, "porvane-server: %s\n", problem.c_str());
    return 1;
  }
  QBYWebServer server(config, service);
  if (!server.start(problem)) {
    std::fprintf(stderr, "porvane-server: %s\n", problem.c_str());
    return 1;
  }
  std::printf("%d\n", server.port());
  std::fflush(stdout);
  log("listening on " + config.address + ":" + std::to_string(server.port()) + " (" +
      config.backend + ", schema " + std::to_string(store->schemaVersion()) + ")");

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_unix_signal_add(SIGTERM, quit, loop);
  g_unix_signal_add(SIGINT, quit, loop);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  log("stopped");
  return 0;
}
