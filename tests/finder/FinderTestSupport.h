// Resource folders with the recognition scripts for the finder tests: the shipped scripts, or
// the shipped scripts with a few answers of the tests' own laid over them.
#pragma once

#include <filesystem>
#include <string>

namespace qby::test {

// A fresh folder holding "scripts/Common.js" (empty), the shipped Guess.js and GuessText.js,
// and, when given, extra code appended to GuessText.js. PORVANE_RESOURCE_DIR points at it.
std::filesystem::path useRecognitionScripts(const std::string& extraCode = "");

}  // namespace qby::test
