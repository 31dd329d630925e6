// The progress line of "porvane update": rewritten in place on a terminal, one line per change
// into files, and never a way for a carrier's text to steer the terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "ProgressLine.h"

namespace porvane {
namespace {

// What was written to a memory stream.
class Captured {
 public:
  Captured() : file_(open_memstream(&buffer_, &size_)) {}
  ~Captured() {
    if (file_) std::fclose(file_);
    std::free(buffer_);
  }
  std::FILE* file() { return file_; }
  std::string text() {
    std::fflush(file_);
    return std::string(buffer_, size_);
  }

 private:
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

TEST(ProgressLineTest, ControlCharactersAndEscapesBecomeBlanks) {
  EXPECT_EQ(printableLine("UPS:\x1b[2J Loading\r\n\tpage", 100), "UPS: [2J Loading page");
  // C1 control characters in UTF-8 (U+009B is the one-byte escape introducer).
  EXPECT_EQ(printableLine("a\xc2\x9b"
                          "31mb",
                          100),
            "a 31mb");
  EXPECT_EQ(printableLine("  \x07  ", 100), "");
  // Other two-byte characters stay.
  EXPECT_EQ(printableLine("Zürich", 100), "Zürich");
}

TEST(ProgressLineTest, LinesAreCutByCharactersWithoutSplittingOne) {
  EXPECT_EQ(printableLine("äöüäöü", 4), "äöüä");
  EXPECT_EQ(printableLine("ab cd", 3), "ab");
}

TEST(ProgressLineTest, IntoAFileEveryNewTextIsOneLineAndRepeatsAreDropped) {
  Captured out;
  {
    ProgressLine line(out.file(), false);
    line.show("Updating…");
    line.show("Updating…");
    line.show("");
    line.show("Updating (1 done)…");
  }
  EXPECT_EQ(out.text(), "Updating…\nUpdating (1 done)…\n");
}

TEST(ProgressLineTest, OnATerminalTheLineIsRewrittenAndClearedAtTheEnd) {
  Captured out;
  ProgressLine line(out.file(), true);
  line.show("one");
  line.show("two");
  line.finish();
  EXPECT_EQ(out.text(), "\r\033[Kone\r\033[Ktwo\r\033[K");
  // Nothing shown, nothing to clear.
  line.finish();
  EXPECT_EQ(out.text(), "\r\033[Kone\r\033[Ktwo\r\033[K");
}

}  // namespace
}  // namespace porvane
