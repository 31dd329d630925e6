// Tracking numbers made from the carriers' published formats, for measuring recognition: valid
// numbers of every format with the service that tracks them, the same numbers with a wrong
// check character, and e-mail-like texts that hold some of them among phone numbers, order
// numbers, totals, dates and postcodes. The check characters are computed here on their own,
// not by the recognition scripts, so a fault in either shows.
//
// Deterministic for a seed; any thread.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace qby::test {

struct NumberSample {
  std::string number;
  std::string key;       // the service that tracks it
  std::string format;    // what the number is, for messages
  bool hasCheck = true;  // whether a wrong check character makes it invalid
  int checkAt = -1;      // where the check character is; -1: the last character
};

struct SampleText {
  std::string text;
  std::vector<std::string> numbers;  // the embedded numbers, cleaned, in text order
};

class NumberSamples {
 public:
  explicit NumberSamples(std::uint32_t seed) : random_(seed) {}

  // count valid numbers of every format.
  std::vector<NumberSample> valid(int count);
  // The number with its check character replaced by another valid one (same class).
  static std::string withWrongCheck(const NumberSample& sample);
  // The number in groups of 4 (or as the carrier prints it) parted by blanks or hyphens.
  std::string grouped(const std::string& number, char separator);
  // A text of a few lines with one to three numbers of the samples in it.
  SampleText mail(const std::vector<NumberSample>& samples);

 private:
  int below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random_); }
  std::string digits(int count);
  std::string letters(int count);
  std::string distractorLine();

  std::mt19937 random_;
};

// Check characters, computed on their own.
char upsCheck(const std::string& data);  // weights 1 2 over digits and letters as UPS counts
char gs1Check(const std::string& data);
char weighted11Check(const std::string& data, const std::vector<int>& weights);
char mod7Check(const std::string& data);
char s10Check(const std::string& serial);
char mod3736Check(const std::string& data);
char weighted10Check(const std::string& data, const std::vector<int>& weights);

}  // namespace qby::test
