#include "finder/QBYDistractors.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

namespace qby {

namespace {

// How far back on its line a number's label is looked for.
constexpr std::size_t kLabelReach = 48;
// How far back a country code ("+44 ") or a bracketed area code ("(030) ") may stand.
constexpr std::size_t kPrefixReach = 12;

// Words that name the number after them as something other than a parcel's: phones, amounts,
// postcodes and the numbers of the order, the invoice, the card or the customer (English and
// German, the languages of the mails the formats come from).
constexpr std::string_view kLabels[] = {
    "call",    "phone",       "telephone",  "tel",           "fax",      "mobile",
    "mob",     "cell",        "hotline",    "whatsapp",      "sms",      "dial",
    "telefon", "telefax",     "handy",      "ruf",           "total",    "subtotal",
    "amount",  "price",       "sum",        "paid",          "charged",  "balance",
    "betrag",  "summe",       "preis",      "gesamt",        "eur",      "usd",
    "gbp",     "chf",         "zip",        "postcode",      "postal",   "plz",
    "order",   "invoice",     "account",    "customer",      "card",     "iban",
    "sku",     "ref",         "reference",  "confirmation",  "booking",  "voucher",
    "receipt", "transaction", "bestellung", "bestellnummer", "rechnung", "kundennummer",
    "auftrag", "vat",         "isbn",       "imei",
};

// Words that name the number after them as a parcel's, whatever its shape: a tracking number
// printed in groups may look like a phone number ("Tracking # 0318 1953 60").
constexpr std::string_view kTrackingLabels[] = {
    "tracking", "track",          "trk",     "parcel",      "package",     "shipment", "waybill",
    "awb",      "sendungsnummer", "sendung", "paketnummer", "consignment",
};

// Words that may stand between such a label and its number: "order no. 123", "call us at".
constexpr std::string_view kFillers[] = {"no", "nr", "number", "num", "us",
                                         "at", "on", "is",     "id",  "code"};

bool isDigit(unsigned char c) {
  return c >= '0' && c <= '9';
}
bool isLetter(unsigned char c) {
  return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
}
bool isLineBreak(unsigned char c) {
  return c == '\n' || c == '\r';
}
unsigned char byteAt(std::string_view text, std::size_t at) {
  return static_cast<unsigned char>(text[at]);
}

bool contains(const auto& words, std::string_view word) {
  return std::find(std::begin(words), std::end(words), word) != std::end(words);
}

// A label word before the number, up to three filler words back: "Call us at", "Order no.".
bool followsLabel(std::string_view text, std::size_t start, const auto& labels) {
  const std::size_t limit = start > kLabelReach ? start - kLabelReach : 0;
  std::size_t at = start;
  for (int word = 0; word < 4; ++word) {
    // Punctuation and blanks between the words, on the same line.
    while (at > limit) {
      const auto c = byteAt(text, at - 1);
      if (isLineBreak(c) || isLetter(c) || isDigit(c) || c >= 0x80) break;
      --at;
    }
    const std::size_t end = at;
    while (at > limit && isLetter(byteAt(text, at - 1))) --at;
    // A word cut off by the reach, or one glued to a digit or a non-ASCII letter, is no label.
    if (at == end || (at > 0 && (isDigit(byteAt(text, at - 1)) || byteAt(text, at - 1) >= 0x80)))
      return false;
    if (at == limit && limit > 0) return false;
    std::string lowered(text.substr(at, end - at));
    for (auto& c : lowered) c = static_cast<char>(c | 0x20);
    if (contains(labels, lowered)) return true;
    if (!contains(kFillers, lowered)) return false;
  }
  return false;
}

// A country code or a bracketed area code just before the number: "+44 20 7946 0958",
// "+49 (0)30 1234567", "(030) 1234 5678".
bool followsPhonePrefix(std::string_view text, std::size_t start) {
  bool closed = false;
  for (std::size_t at = start, walked = 0; at > 0 && walked < kPrefixReach; --at, ++walked) {
    const auto c = byteAt(text, at - 1);
    if (c == '+') return true;
    if (c == '(') return closed;
    if (c == ')') {
      closed = true;
    } else if (!isDigit(c) && c != ' ' && c != '-' && c != '.' && c != '/') {
      return false;
    }
  }
  return false;
}

// An amount: a currency sign just before it.
bool followsCurrencySign(std::string_view text, std::size_t start) {
  std::size_t at = start;
  if (at > 0 && byteAt(text, at - 1) == ' ') --at;
  return at > 0 && byteAt(text, at - 1) == '$';
}

// The digit groups of a stretch of digits and single separators; empty when it holds anything
// else.
std::vector<std::size_t> digitGroups(std::string_view stretch, std::string_view separators) {
  std::vector<std::size_t> groups;
  std::size_t length = 0;
  for (std::size_t i = 0; i <= stretch.size(); ++i) {
    if (i < stretch.size() && isDigit(byteAt(stretch, i))) {
      ++length;
      continue;
    }
    if (length == 0) return {};
    groups.push_back(length);
    length = 0;
    if (i < stretch.size() && separators.find(stretch[i]) == std::string_view::npos) return {};
  }
  return groups;
}

std::size_t digitCount(const std::vector<std::size_t>& groups) {
  std::size_t count = 0;
  for (const auto group : groups) count += group;
  return count;
}

// North American numbers ("800-555-0199", "1 800 555 0199") and national numbers with a trunk
// "0" ("030 1234 5678", "0171-234567"). Tracking numbers broken into groups are longer, or
// start with "00" or a letter.
bool hasPhoneShape(std::string_view stretch) {
  const auto groups = digitGroups(stretch, " -./");
  if (groups.size() < 2) return false;
  const std::vector<std::size_t> northAmerican = {3, 3, 4};
  const std::vector<std::size_t> northAmericanWithOne = {1, 3, 3, 4};
  if (groups == northAmerican || groups == northAmericanWithOne) return true;
  const std::size_t digits = digitCount(groups);
  return stretch.size() >= 2 && stretch[0] == '0' && stretch[1] != '0' && groups.size() <= 4 &&
         groups.front() >= 2 && groups.front() <= 5 && digits >= 9 && digits <= 11;
}

int numberOf(std::string_view digits) {
  int value = 0;
  for (const char c : digits) value = value * 10 + (c - '0');
  return value;
}

// A date at the start of the stretch: 2024-03-14, 14.03.2024, 03/14/2024.
bool startsWithDate(std::string_view stretch) {
  std::size_t at = 0;
  std::vector<std::string_view> parts;
  while (parts.size() < 3) {
    const std::size_t from = at;
    while (at < stretch.size() && isDigit(byteAt(stretch, at))) ++at;
    if (at == from) return false;
    parts.push_back(stretch.substr(from, at - from));
    if (parts.size() < 3) {
      if (at >= stretch.size() || (stretch[at] != '-' && stretch[at] != '.' && stretch[at] != '/'))
        return false;
      ++at;
    }
  }
  // The date must end there; a longer last part is a number of its own.
  if (at < stretch.size() && isDigit(byteAt(stretch, at))) return false;
  const auto dayOrMonth = [](std::string_view part) {
    return part.size() <= 2 && numberOf(part) >= 1 && numberOf(part) <= 31;
  };
  const auto month = [](std::string_view part) {
    return part.size() <= 2 && numberOf(part) >= 1 && numberOf(part) <= 12;
  };
  if (parts[0].size() == 4) return month(parts[1]) && dayOrMonth(parts[2]);
  return parts[2].size() == 4 && dayOrMonth(parts[0]) && dayOrMonth(parts[1]) &&
         (month(parts[0]) || month(parts[1]));
}

}  // namespace

bool QBYDistractors::isDistractor(std::string_view text, std::size_t start, std::size_t end) {
  if (start >= end || end > text.size()) return false;
  const std::string_view stretch = text.substr(start, end - start);
  if (followsLabel(text, start, kTrackingLabels)) return false;
  return hasPhoneShape(stretch) || startsWithDate(stretch) || followsPhonePrefix(text, start) ||
         followsCurrencySign(text, start) || followsLabel(text, start, kLabels);
}

}  // namespace qby
