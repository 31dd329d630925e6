#include "CliProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "platform/MainQueue.h"
#include "support/TestSupport.h"

namespace porvane::test {

namespace {

std::string readText(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

}  // namespace

RunningCli::RunningCli(const std::vector<std::string>& arguments, const std::string& input,
                       const std::map<std::string, std::string>& environment,
                       const std::filesystem::path& outputPath)
    : folder_(qby::test::makeTempDir("run")) {
  // Standard input is always a file: the tool must never find a terminal and start asking.
  qby::test::writeFile(folder_ / "in", input);
  auto launcher = qby::GObjectPtr<GSubprocessLauncher>::adopt(
      g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_NONE));
  g_subprocess_launcher_set_stdin_file_path(launcher.get(), (folder_ / "in").c_str());
  g_subprocess_launcher_set_stdout_file_path(
      launcher.get(), (outputPath.empty() ? folder_ / "out" : outputPath).c_str());
  g_subprocess_launcher_set_stderr_file_path(launcher.get(), (folder_ / "err").c_str());
  for (const auto& [name, value] : environment)
    g_subprocess_launcher_setenv(launcher.get(), name.c_str(), value.c_str(), TRUE);
  std::vector<const char*> argv = {PORVANE_CLI_PATH};
  for (const auto& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  GError* error = nullptr;
  process_ = qby::GObjectPtr<GSubprocess>::adopt(
      g_subprocess_launcher_spawnv(launcher.get(), argv.data(), &error));
  if (!process_) {
    ADD_FAILURE() << "could not start porvane: " << (error ? error->message : "?");
    if (error) g_error_free(error);
    finished_ = true;
    return;
  }
  g_subprocess_wait_async(process_.get(), nullptr, &RunningCli::exited, this);
}

RunningCli::~RunningCli() {
  if (process_ && !finished_) {
    kill();
    qby::MainQueue::runUntil([this] { return finished_; }, 30);
  }
}

void RunningCli::exited(GObject*, GAsyncResult*, gpointer data) {
  static_cast<RunningCli*>(data)->finished_ = true;
}

void RunningCli::kill() {
  if (process_) g_subprocess_force_exit(process_.get());
}

RunResult RunningCli::wait(double timeoutSeconds) {
  RunResult result;
  if (!process_) return result;
  if (!qby::MainQueue::runUntil([this] { return finished_; }, timeoutSeconds)) {
    ADD_FAILURE() << "porvane did not end within " << timeoutSeconds << " s";
    kill();
    qby::MainQueue::runUntil([this] { return finished_; }, 30);
  }
  if (g_subprocess_get_if_exited(process_.get()))
    result.exitCode = g_subprocess_get_exit_status(process_.get());
  else if (g_subprocess_get_if_signaled(process_.get()))
    result.exitCode = -g_subprocess_get_term_sig(process_.get());
  result.out = readText(folder_ / "out");
  result.err = readText(folder_ / "err");
  return result;
}

RunResult runCli(const std::vector<std::string>& arguments, const std::string& input,
                 const std::map<std::string, std::string>& environment) {
  RunningCli cli(arguments, input, environment);
  return cli.wait();
}

RunResult runCliWithOutput(const std::vector<std::string>& arguments,
                           const std::filesystem::path& outputPath) {
  RunningCli cli(arguments, "", {}, outputPath);
  return cli.wait();
}

CarrierServer::CarrierServer()
    : server_(qby::GObjectPtr<SoupServer>::adopt(soup_server_new(nullptr, nullptr))) {
  soup_server_add_handler(server_.get(), nullptr, &CarrierServer::handle, this, nullptr);
  GError* error = nullptr;
  if (!soup_server_listen_local(server_.get(), 0, SOUP_SERVER_LISTEN_IPV4_ONLY, &error)) {
    ADD_FAILURE() << "listen: " << (error ? error->message : "?");
    if (error) g_error_free(error);
    return;
  }
  GSList* uris = soup_server_get_uris(server_.get());
  if (uris) port_ = g_uri_get_port(static_cast<GUri*>(uris->data));
  g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
}

CarrierServer::~CarrierServer() {
  held_.clear();
  release();
  soup_server_disconnect(server_.get());
}

std::string CarrierServer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

void CarrierServer::release() {
  held_.clear();
  auto waiting = std::move(waiting_);
  waiting_.clear();
  for (auto& [message, request] : waiting) {
    answer(message, request.first, request.second);
    soup_server_message_unpause(message);
    g_object_unref(message);
  }
}

void CarrierServer::answer(SoupServerMessage* message, const std::string& path,
                           const std::string& query) {
  auto found = query.empty() ? routes_.end() : routes_.find(path + "?" + query);
  if (found == routes_.end()) found = routes_.find(path);
  if (found == routes_.end()) {
    soup_server_message_set_status(message, 503, nullptr);
    return;
  }
  soup_server_message_set_status(message, found->second.status, nullptr);
  soup_server_message_set_response(message, found->second.contentType.c_str(), SOUP_MEMORY_COPY,
                                   found->second.body.data(), found->second.body.size());
}

void CarrierServer::handle(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                           gpointer data) {
  auto& self = *static_cast<CarrierServer*>(data);
  ++self.requests_;
  const char* rawQuery = g_uri_get_query(soup_server_message_get_uri(message));
  const std::string query = rawQuery ? rawQuery : "";
  if (self.held_.contains(path)) {
    soup_server_message_pause(message);
    self.waiting_.push_back(
        {static_cast<SoupServerMessage*>(g_object_ref(message)), {path, query}});
    return;
  }
  self.answer(message, path, query);
}

}  // namespace porvane::test
