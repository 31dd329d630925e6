#include "FinderTestSupport.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/TestSupport.h"

namespace qby::test {

namespace {

std::string readShipped(const std::string& name) {
  std::ifstream file(std::filesystem::path(PORVANE_SCRIPTS_DIR) / name, std::ios::binary);
  std::stringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

}  // namespace

std::filesystem::path useRecognitionScripts(const std::string& extraCode) {
  const auto folder = makeTempDir("resources");
  writeFile(folder / "scripts" / "Common.js", "");
  writeFile(folder / "scripts" / "Guess.js", readShipped("Guess.js"));
  writeFile(folder / "scripts" / "GuessText.js", readShipped("GuessText.js") + "\n" + extraCode);
  setenv("PORVANE_RESOURCE_DIR", folder.c_str(), 1);
  return folder;
}

}  // namespace qby::test
