#include "CliProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "platform/MainQueue.h"
#include "support/TestSupport.h"

namespace porvane::test {

std::string readText(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

qby::Value readJSON(const std::filesystem::path& path) {
  auto value = qby::Value::fromJSON(readText(path));
  EXPECT_TRUE(value) << path;
  return value.value_or(qby::Value());
}

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

}  // namespace porvane::test
