// The numbers in a mail that only look like tracking numbers: phone numbers, amounts, dates,
// postcodes and the shop's own order, invoice, card and customer numbers. A run of digits with
// blanks between them is as likely a phone number as a tracking number broken into groups, and
// one in ten of them passes some carrier's check digit by chance; what tells them apart is
// their shape and the word in front of them.
//
// The checks read a byte view of the text, one byte per character or code unit, in which ASCII
// stands for itself and anything else is a byte of 0x80 or more (UTF-8, or the candidate
// search's folded view of a UTF-16 text): only ASCII decides.
//
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace qby {

class QBYDistractors {
 public:
  QBYDistractors() = delete;

  // Whether the stretch [start, end) of the text is a phone number, an amount, a date, a
  // postcode or a number the shop names as its own, judged by the stretch's shape and what
  // stands before it on its line. A stretch after words that name a parcel's number
  // ("Tracking #", "Your parcel:") is none, whatever its shape.
  static bool isDistractor(std::string_view text, std::size_t start, std::size_t end);

  // The same for a stretch given as its own text, with nothing before it.
  static bool isDistractor(std::string_view stretch) {
    return isDistractor(stretch, 0, stretch.size());
  }
};

}  // namespace qby
