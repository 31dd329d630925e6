// Runs the porvane program as a user would, with standard input, output and error in files,
// while the test's main loop keeps serving (the fixture carrier server lives on it). Also the
// carrier server on 127.0.0.1 whose answers a test can change or hold back between runs.
#pragma once

#include <gio/gio.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/GLibPtr.h"
#include "platform/Value.h"
#include "support/FixtureServer.h"

namespace porvane::test {

// The whole file, "" when it cannot be read.
std::string readText(const std::filesystem::path& path);
// The file as JSON; a file that is not JSON fails the test and gives null.
qby::Value readJSON(const std::filesystem::path& path);

struct RunResult {
  int exitCode = -1;  // the negative signal number when the program was killed
  std::string out;
  std::string err;
};

// One started porvane process.
class RunningCli {
 public:
  // Standard output goes to a file of the run's own unless outputPath names another (such as
  // "/dev/full").
  RunningCli(const std::vector<std::string>& arguments, const std::string& input,
             const std::map<std::string, std::string>& environment,
             const std::filesystem::path& outputPath = {});
  ~RunningCli();
  RunningCli(const RunningCli&) = delete;
  RunningCli& operator=(const RunningCli&) = delete;

  bool started() const { return static_cast<bool>(process_); }
  bool finished() const { return finished_; }
  // Waits (serving the main loop) until the program ends; a generous timeout kills it.
  RunResult wait(double timeoutSeconds = 300);
  void kill();

 private:
  static void exited(GObject* source, GAsyncResult* result, gpointer data);

  std::filesystem::path folder_;
  qby::GObjectPtr<GSubprocess> process_;
  bool finished_ = false;
};

// Runs porvane to its end.
RunResult runCli(const std::vector<std::string>& arguments, const std::string& input = "",
                 const std::map<std::string, std::string>& environment = {});
// Runs porvane to its end with standard output written to the given file.
RunResult runCliWithOutput(const std::vector<std::string>& arguments,
                           const std::filesystem::path& outputPath);

// Carrier answers on 127.0.0.1, by the path the updater's fixture rewrite makes of a carrier
// address ("/<host><path>", with or without the query). Paths without an answer get 503.
class CarrierServer : public qby::test::FixtureServer {
 public:
  CarrierServer() { setFallback({503, "", ""}); }
};

}  // namespace porvane::test
