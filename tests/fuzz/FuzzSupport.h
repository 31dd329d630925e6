// What the fuzz targets share: a private home for the process, so no target reads or writes
// the user's files, and the check that stops the run when a parser breaks a promise (a round
// trip that does not hold, output that is not UTF-8). A failed check prints what differed and
// aborts, which libFuzzer reports as a crash and saves the input.
//
// Single-threaded, like libFuzzer's loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qby::fuzz {

// Makes a fresh temporary folder, points PORVANE_HOME and the XDG bases at it and removes it
// when the process ends. Call from LLVMFuzzerInitialize.
void useTemporaryHome();

// Prints the message and the detail, then aborts.
[[noreturn]] void fail(std::string_view message, std::string_view detail = {});

// Strict UTF-8: no overlong forms, surrogates or code points beyond U+10FFFF.
bool isValidUTF8(std::string_view text);

// Splits the input at its first NUL into a short head (a charset name, a key) and the rest;
// without a NUL the whole input is the rest and there is no head.
struct Split {
  std::optional<std::string> head;
  std::string_view rest;
};
Split splitAtNul(const std::uint8_t* data, std::size_t size);

}  // namespace qby::fuzz

#define FUZZ_CHECK(condition, detail)                                           \
  do {                                                                          \
    if (!(condition)) ::qby::fuzz::fail("check failed: " #condition, (detail)); \
  } while (false)
