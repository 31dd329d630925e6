#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace qby::fuzz {

namespace {

std::filesystem::path& temporaryHome() {
  static std::filesystem::path home;
  return home;
}

void removeTemporaryHome() {
  std::error_code error;
  if (!temporaryHome().empty()) std::filesystem::remove_all(temporaryHome(), error);
}

}  // namespace

void useTemporaryHome() {
  std::string pattern = (std::filesystem::temp_directory_path() / "porvane-fuzz-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    perror("mkdtemp");
    std::abort();
  }
  temporaryHome() = pattern;
  setenv("PORVANE_HOME", pattern.c_str(), 1);
  setenv("XDG_DATA_HOME", (temporaryHome() / "xdg-data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (temporaryHome() / "xdg-config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (temporaryHome() / "xdg-cache").c_str(), 1);
  std::atexit(removeTemporaryHome);
}

void fail(std::string_view message, std::string_view detail) {
  std::fprintf(stderr, "\n%.*s\n%.*s\n", static_cast<int>(message.size()), message.data(),
               static_cast<int>(detail.size()), detail.data());
  std::abort();
}

bool isValidUTF8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t codePoint = 0;
    if ((lead & 0xe0) == 0xc0) {
      length = 2;
      codePoint = lead & 0x1f;
    } else if ((lead & 0xf0) == 0xe0) {
      length = 3;
      codePoint = lead & 0x0f;
    } else if ((lead & 0xf8) == 0xf0) {
      length = 4;
      codePoint = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      codePoint = (codePoint << 6) | (next & 0x3f);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length] || codePoint > 0x10ffff ||
        (codePoint >= 0xd800 && codePoint <= 0xdfff)) {
      return false;
    }
    i += length;
  }
  return true;
}

Split splitAtNul(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  if (nul == std::string_view::npos) return {std::nullopt, input};
  return {std::string(input.substr(0, nul)), input.substr(nul + 1)};
}

}  // namespace qby::fuzz
