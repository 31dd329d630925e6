#include "ProgressLine.h"

namespace porvane {

namespace {

// Room for the line on an ordinary terminal; longer texts are cut rather than wrapped, since a
// wrapped line cannot be rewritten in place.
constexpr std::size_t kTerminalWidth = 78;

}  // namespace

std::string printableLine(const std::string& text, std::size_t maxCharacters) {
  std::string out;
  std::size_t characters = 0;
  bool blank = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    // C1 controls arrive in UTF-8 as 0xC2 0x80..0x9F.
    const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (byte < 0x20 || byte == 0x7F || byte == ' ' || c1) {
      if (c1) ++i;
      if (!out.empty()) blank = true;
      continue;
    }
    const bool starts = (byte & 0xC0) != 0x80;
    if (starts) {
      if (characters + (blank ? 1 : 0) >= maxCharacters) break;
      if (blank) {
        out += ' ';
        ++characters;
        blank = false;
      }
      ++characters;
    }
    out += static_cast<char>(byte);
  }
  return out;
}

ProgressLine::ProgressLine(std::FILE* out, bool terminal) : out_(out), terminal_(terminal) {}

ProgressLine::~ProgressLine() {
  finish();
}

void ProgressLine::show(const std::string& text) {
  const std::string line = printableLine(text, kTerminalWidth);
  if (line.empty() || line == current_) return;
  current_ = line;
  if (terminal_) {
    // Carriage return and "erase to end of line": the new text replaces the old one.
    std::fprintf(out_, "\r\033[K%s", line.c_str());
    visible_ = true;
  } else {
    std::fprintf(out_, "%s\n", line.c_str());
  }
  std::fflush(out_);
}

void ProgressLine::finish() {
  if (terminal_ && visible_) {
    std::fprintf(out_, "\r\033[K");
    std::fflush(out_);
  }
  visible_ = false;
  current_.clear();
}

}  // namespace porvane
