#include "finder/QBYRunSplitter.h"

#include <algorithm>
#include <optional>
#include <tuple>

namespace qby {

namespace {

// The recognition script reads numbers of 8 to 40 letters and digits.
constexpr std::size_t kShortestNumber = 8;
constexpr std::size_t kLongestNumber = 40;
// A core holds at least this many digits, and at least as many digits as letters.
constexpr std::size_t kFewestCoreDigits = 6;

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isLetterOrDigit(char c) {
  return isDigit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}

// What a choice of pieces is worth, compared as a whole from the first field on.
struct Score {
  std::size_t checked = 0;
  std::size_t checkedCover = 0;  // tokens inside checked pieces
  std::size_t format = 0;
  std::size_t formatCover = 0;

  auto fields() const { return std::tie(checked, checkedCover, format, formatCover); }
  bool operator<(const Score& other) const { return fields() < other.fields(); }
};

}  // namespace

QBYRunSplitter::QBYRunSplitter(std::string_view run) : run_(run) {
  for (std::size_t at = 0; at < run_.size();) {
    const auto end = std::min(run_.find(' ', at), run_.size());
    if (end > at) {
      const auto text = std::string_view(run_).substr(at, end - at);
      tokens_.push_back(
          {at, end,
           static_cast<std::size_t>(std::count_if(text.begin(), text.end(), isLetterOrDigit)),
           std::any_of(text.begin(), text.end(), isDigit)});
    }
    at = end + 1;
  }

  // Where a piece may begin or end: the run's ends, and blanks that do not part two short
  // groups of digits.
  const std::size_t count = tokens_.size();
  std::vector<bool> boundary(count + 1, true);
  for (std::size_t i = 1; i < count; ++i) {
    const Token& before = tokens_[i - 1];
    const Token& after = tokens_[i];
    const bool shortGroups = before.characters < kShortestNumber &&
                             after.characters < kShortestNumber && before.hasDigit &&
                             after.hasDigit;
    boundary[i] = !shortGroups;
  }

  for (std::size_t first = 0; first < count; ++first) {
    // A piece begins and ends with a group that holds a digit: the words in capitals around
    // numbers ("REF", "TRACKING", "QTY") are what most runs of a mail are made of, and asking
    // about every piece they begin or end would cost a script call each.
    if (!boundary[first] || !tokens_[first].hasDigit) continue;
    std::size_t characters = 0;
    for (std::size_t end = first + 1; end <= count; ++end) {
      characters += tokens_[end - 1].characters;
      if (characters > kLongestNumber) break;
      if (!boundary[end] || characters < kShortestNumber || !tokens_[end - 1].hasDigit) continue;
      const std::size_t from = tokens_[first].start;
      pieces_.push_back({first, end, run_.substr(from, tokens_[end - 1].end - from)});
    }
  }

  // The whole run is always asked about, as one number printed in groups ("RB 123 456 785 GB").
  std::size_t characters = 0;
  bool hasDigit = false;
  for (const Token& token : tokens_) {
    characters += token.characters;
    hasDigit = hasDigit || token.hasDigit;
  }
  const bool wholeIsPiece = !pieces_.empty() && pieces_.front().first == 0 &&
                            std::any_of(pieces_.begin(), pieces_.end(), [count](const Piece& p) {
                              return p.first == 0 && p.end == count;
                            });
  if (count > 0 && hasDigit && characters >= kShortestNumber && characters <= kLongestNumber &&
      !wholeIsPiece)
    pieces_.insert(pieces_.begin(), Piece{0, count, run_});
}

bool QBYRunSplitter::mayHoldSeveralNumbers() const {
  return std::count_if(tokens_.begin(), tokens_.end(), [](const Token& token) {
           return token.hasDigit && token.characters >= kShortestNumber;
         }) >= 2;
}

std::optional<std::string> QBYRunSplitter::core() const {
  std::size_t first = 0;
  std::size_t end = tokens_.size();
  while (first < end && !tokens_[first].hasDigit) ++first;
  while (end > first && !tokens_[end - 1].hasDigit) --end;
  if (first == end || (first == 0 && end == tokens_.size())) return std::nullopt;
  std::size_t characters = 0;
  for (std::size_t i = first; i < end; ++i) characters += tokens_[i].characters;
  if (characters < kShortestNumber || characters > kLongestNumber) return std::nullopt;
  const std::string text =
      run_.substr(tokens_[first].start, tokens_[end - 1].end - tokens_[first].start);
  // Tracking numbers are mostly digits; a product code between words ("SKU AB12345CD") is not
  // worth a question to the script.
  const auto digits = static_cast<std::size_t>(std::count_if(text.begin(), text.end(), isDigit));
  if (digits < kFewestCoreDigits || digits * 2 < characters) return std::nullopt;
  return text;
}

std::vector<std::size_t> QBYRunSplitter::choose(const std::vector<Verdict>& verdicts) const {
  // The best choice for the tokens before each position: a token is either left out or the
  // start of a piece the script knows.
  const std::size_t count = tokens_.size();
  struct Step {
    Score score;
    std::size_t from = 0;
    std::optional<std::size_t> piece;  // the piece that ends here, if any
  };
  std::vector<std::optional<Step>> best(count + 1);
  best[0] = Step{};
  const auto offer = [&](std::size_t at, Step step) {
    if (!best[at] || best[at]->score < step.score) best[at] = step;
  };
  // The pieces come in the order of their first token.
  std::size_t next = 0;
  for (std::size_t position = 0; position < count; ++position) {
    while (next < pieces_.size() && pieces_[next].first < position) ++next;
    if (!best[position]) continue;
    const Score here = best[position]->score;
    offer(position + 1, Step{here, position, std::nullopt});
    for (std::size_t index = next;
         index < pieces_.size() && index < verdicts.size() && pieces_[index].first == position;
         ++index) {
      const Piece& piece = pieces_[index];
      if (verdicts[index] == Verdict::None) continue;
      Score score = here;
      const std::size_t cover = piece.end - piece.first;
      if (verdicts[index] == Verdict::Checked) {
        ++score.checked;
        score.checkedCover += cover;
      } else {
        ++score.format;
        score.formatCover += cover;
      }
      offer(piece.end, Step{score, position, index});
    }
  }

  std::vector<std::size_t> chosen;
  for (std::size_t at = count; at > 0 && best[at];) {
    if (best[at]->piece) chosen.push_back(*best[at]->piece);
    at = best[at]->from;
  }
  std::reverse(chosen.begin(), chosen.end());
  return chosen;
}

}  // namespace qby
