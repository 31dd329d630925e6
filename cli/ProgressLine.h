// The one line of progress that "porvane update" keeps on standard error while it runs. On a
// terminal the line is rewritten in place and cleared at the end, so it never mixes with the
// output on standard output; into a file or pipe each new text is written once on a line of
// its own, so a log shows the course of the run.
//
// Threads: main thread.
#pragma once

#include <cstdio>
#include <string>

namespace porvane {

class ProgressLine {
 public:
  ProgressLine(std::FILE* out, bool terminal);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Shows the text in place of the previous one; the same text twice is written once, and a
  // blank text keeps the previous one. Control characters from a carrier's page are shown as
  // blanks, so a message cannot move the cursor or clear the screen.
  void show(const std::string& text);
  // Removes the line from a terminal; nothing for files.
  void finish();

 private:
  std::FILE* out_;
  bool terminal_;
  bool visible_ = false;
  std::string current_;
};

// The text with every control character (C0, DEL, C1 escape introducers) made a blank and
// runs of blanks folded into one; cut to at most maxCharacters (counted as UTF-8 characters).
std::string printableLine(const std::string& text, std::size_t maxCharacters);

}  // namespace porvane
