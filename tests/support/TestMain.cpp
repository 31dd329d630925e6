// Every test program runs with a fresh temporary PORVANE_HOME, so no test reads or writes the
// user's real files, and tests of one process never see another's leftovers. Discovered test
// cases run one process each, so each case gets its own home.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);

  std::string pattern = (std::filesystem::temp_directory_path() / "porvane-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    perror("mkdtemp");
    return 2;
  }
  const std::filesystem::path home = pattern;
  setenv("PORVANE_HOME", home.c_str(), 1);
  // Programs started by tests must not fall back to the real home either.
  setenv("XDG_DATA_HOME", (home / "xdg-data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home / "xdg-config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (home / "xdg-cache").c_str(), 1);

  const int result = RUN_ALL_TESTS();

  std::error_code error;
  if (!std::getenv("PORVANE_KEEP_TEST_HOME")) std::filesystem::remove_all(home, error);
  return result;
}
