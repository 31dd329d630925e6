#include "SyncServerProcess.h"

#include <gtest/gtest.h>
#include <libsoup/soup.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <pqxx/pqxx>

#include "support/TestSupport.h"

namespace qby::test {

namespace {

std::string readAll(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

ServerStorage::ServerStorage() {
  const char* cluster = std::getenv("PORVANE_TEST_POSTGRESQL");
  if (!cluster || !*cluster) return;
  cluster_ = cluster;
  static int counter = 0;
  schema_ = "e2e_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
  pqxx::connection admin(cluster_);
  pqxx::work work(admin);
  work.exec("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE");
  work.exec("CREATE SCHEMA " + schema_);
  work.commit();
}

ServerStorage::~ServerStorage() {
  if (schema_.empty()) return;
  try {
    pqxx::connection admin(cluster_);
    pqxx::work work(admin);
    work.exec("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE");
    work.commit();
  } catch (const std::exception& error) {
    ADD_FAILURE() << "could not drop " << schema_ << ": " << error.what();
  }
}

std::string ServerStorage::section() const {
  if (schema_.empty()) return "[storage]\nbackend=sqlite\n";
  return "[storage]\nbackend=postgresql\npostgresql=" + cluster_ +
         " options='-c search_path=" + schema_ + "'\n";
}

long ServerStorage::deliveryCount() const {
  if (schema_.empty()) return -1;
  pqxx::connection connection(cluster_ + " options='-c search_path=" + schema_ + "'");
  pqxx::work work(connection);
  return work.exec("SELECT count(*) FROM deliveries")[0][0].as<long>();
}

SyncServer::SyncServer(std::filesystem::path data, const std::string& settings)
    : data_(std::move(data)) {
  std::filesystem::create_directories(data_);
  writeFile(data_ / "porvane-server.conf", storage_.section() + settings);
}

SyncServer::~SyncServer() {
  stop();
}

bool SyncServer::start() {
  const auto out = data_ / ("stdout-" + std::to_string(++runs_));
  auto launcher =
      GObjectPtr<GSubprocessLauncher>::adopt(g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_NONE));
  g_subprocess_launcher_set_stdout_file_path(launcher.get(), out.c_str());
  g_subprocess_launcher_set_stderr_file_path(launcher.get(), (data_ / "server.log").c_str());
  g_subprocess_launcher_setenv(launcher.get(), "PORVANE_TEST_SERVER_MIN_HASH", "1", TRUE);
  const std::string port = std::to_string(port_);
  const char* argv[] = {PORVANE_SERVER_PATH, "--data", data_.c_str(), "--port",
                        port.c_str(),        nullptr};
  GError* error = nullptr;
  process_ =
      GObjectPtr<GSubprocess>::adopt(g_subprocess_launcher_spawnv(launcher.get(), argv, &error));
  GErrorPtr owned(error);
  if (!process_) return false;
  for (int i = 0; i < 200; ++i) {
    const std::string text = readAll(out);
    if (const auto end = text.find('\n'); end != std::string::npos) {
      port_ = std::stoi(text.substr(0, end));
      return port_ > 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

void SyncServer::stop() {
  if (!process_) return;
  g_subprocess_send_signal(process_.get(), SIGTERM);
  g_subprocess_wait(process_.get(), nullptr, nullptr);
  process_ = GObjectPtr<GSubprocess>();
}

std::string SyncServer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

void SyncServer::configure(const std::string& settings) {
  writeFile(data_ / "porvane-server.conf", storage_.section() + settings);
}

std::string SyncServer::post(const std::string& path, const std::string& body) const {
  auto session = GObjectPtr<SoupSession>::adopt(soup_session_new());
  auto message = GObjectPtr<SoupMessage>::adopt(soup_message_new("POST", (url() + path).c_str()));
  if (!message) return {};
  GBytesPtr bytes(g_bytes_new(body.data(), body.size()));
  soup_message_set_request_body_from_bytes(message.get(), "application/x-www-form-urlencoded",
                                           bytes.get());
  GBytesPtr reply(soup_session_send_and_read(session.get(), message.get(), nullptr, nullptr));
  if (!reply) return {};
  gsize size = 0;
  const auto* data = static_cast<const char*>(g_bytes_get_data(reply.get(), &size));
  return std::string(data ? data : "", size);
}

std::string SyncServer::log() const {
  return readAll(data_ / "server.log");
}

}  // namespace qby::test
