// Helpers shared by the test programs.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Log.h"

namespace qby::test {

// The temporary PORVANE_HOME that this test process runs under (set up by the test main).
std::filesystem::path home();

// A fresh, empty folder below the test home.
std::filesystem::path makeTempDir(const std::string& prefix = "tmp");

// Writes a file, creating its folder; answers the path.
std::filesystem::path writeFile(const std::filesystem::path& path, const std::string& contents);

// Collects every console line logged while it lives. Thread-safe.
class LogCapture {
 public:
  LogCapture();
  std::vector<std::string> lines() const;
  // Lines that contain the text.
  std::vector<std::string> linesContaining(const std::string& text) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  LogObserver observer_;
};

}  // namespace qby::test
