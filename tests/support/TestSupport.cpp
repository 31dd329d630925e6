#include "support/TestSupport.h"

#include <cstdlib>
#include <fstream>
#include <random>

namespace qby::test {

std::filesystem::path home() {
  const char* value = std::getenv("PORVANE_HOME");
  return value ? std::filesystem::path(value) : std::filesystem::temp_directory_path();
}

std::filesystem::path makeTempDir(const std::string& prefix) {
  static std::mt19937_64 random{std::random_device{}()};
  for (;;) {
    auto path = home() / (prefix + "-" + std::to_string(random() % 1000000000));
    std::error_code error;
    if (std::filesystem::create_directories(path, error)) return path;
  }
}

std::filesystem::path writeFile(const std::filesystem::path& path, const std::string& contents) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  return path;
}

LogCapture::LogCapture()
    : observer_([this](std::string_view line) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line);
      }) {}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<std::string> LogCapture::linesContaining(const std::string& text) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> found;
  for (const auto& line : lines_)
    if (line.find(text) != std::string::npos) found.push_back(line);
  return found;
}

void LogCapture::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

}  // namespace qby::test
