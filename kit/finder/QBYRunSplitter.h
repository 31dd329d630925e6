// A run of letters and digits with blanks in it is either one tracking number printed in
// groups ("1Z 999 AA1 01 2345 6784") or several numbers side by side ("1Z999AA10123456784
// JJD000390007726468"), often with words around them in capitals. The splitter names the
// pieces of such a run worth asking the recognition script about and, given the script's
// verdict on each, picks the pieces that are numbers.
//
// A piece starts and ends at blanks, holds 8 to 40 letters and digits, and its first and last
// groups each hold a digit (a number printed in groups whose first or last group is letters
// alone is found when the whole run is that number).
// It never starts or ends between two short groups of a number (tokens of fewer than 8
// characters that both hold a digit), so the groups of one number are kept together and a
// chance fragment of them that passes some check digit is never offered.
//
// The choice prefers the most pieces whose check digit holds, then the pieces that cover most
// of the run (one long number over a fragment of it), then the most pieces that only fit a
// carrier's format, then again the widest cover.
//
// A value; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qby {

class QBYRunSplitter {
 public:
  // What the script made of a piece.
  enum class Verdict {
    None,     // not a number it knows
    Format,   // fits a carrier's format, without a check digit that holds
    Checked,  // a number whose check digit holds (or whose format has none but is certain)
  };

  struct Piece {
    std::size_t first;  // the run's tokens [first, end)
    std::size_t end;
    std::string text;  // the run's text from the first token to the last
  };

  explicit QBYRunSplitter(std::string_view run);

  std::size_t tokenCount() const { return tokens_.size(); }
  // Whether two of the run's groups are long enough to be numbers of their own (8 letters and
  // digits or more, a digit among them); only then can the run hold several numbers.
  bool mayHoldSeveralNumbers() const;
  // The run without the groups of letters alone at its ends ("UPS 1Z 999 AA1 01 2345 6784" →
  // "1Z 999 AA1 01 2345 6784"), when that is another text of 8 to 40 letters and digits, at
  // least 6 of them digits and no fewer digits than letters.
  std::optional<std::string> core() const;
  const std::vector<Piece>& pieces() const { return pieces_; }

  // The pieces to keep, as indexes into pieces() in text order, given a verdict for each
  // piece (in the order of pieces()). Pieces judged None are never kept.
  std::vector<std::size_t> choose(const std::vector<Verdict>& verdicts) const;

 private:
  struct Token {
    std::size_t start;  // in the run's text
    std::size_t end;
    std::size_t characters;  // letters and digits
    bool hasDigit;
  };

  std::string run_;
  std::vector<Token> tokens_;
  std::vector<Piece> pieces_;
};

}  // namespace qby
