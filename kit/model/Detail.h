// One line of a delivery's tracking history, as a service script reported it: the item, the
// shipped and delivered texts (templates with a "%@" where the date goes) with their ISO day
// strings, the expected date, location, route and the line's icon ("checkmark" delivered,
// "error" failed update, "transit" set by the day count, others only displayed).
//
// The parsed dates and the day count are computed on first use and kept while the record is
// in memory; changing a date string drops what was computed from it.
//
// Threads: used only on the queue of the context that holds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "model/QBYModel.h"
#include "platform/Value.h"
#include "store/core/QBYManagedObject.h"

namespace qby {

class Delivery;
class QBYDateFormatter;

class Detail : public QBYManagedObject {
 public:
  // Sort keys of deliveryDateSortIndex().
  static constexpr double kErrorSortIndex = 99999999999.0;
  static constexpr double kUndatedSortIndex = 99999999998.0;
  static constexpr double kShippedOnlyOffset = 3000000000.0;
  static constexpr double kDeliveredAdvance = 43200.0;

  std::int64_t index() const { return integerAt(DetailField::index); }
  void setIndex(std::int64_t index) { setIntegerAt(DetailField::index, index); }
  std::optional<std::string> itemName() const { return stringAt(DetailField::itemName); }
  void setItemName(std::optional<std::string> v) {
    setStringAt(DetailField::itemName, std::move(v));
  }
  std::optional<std::string> shippedText() const { return stringAt(DetailField::shippedText); }
  void setShippedText(std::optional<std::string> v) {
    setStringAt(DetailField::shippedText, std::move(v));
  }
  std::optional<std::string> shippedDateString() const {
    return stringAt(DetailField::shippedDateString);
  }
  void setShippedDateString(std::optional<std::string> v);
  std::optional<std::string> shippedExtra() const { return stringAt(DetailField::shippedExtra); }
  void setShippedExtra(std::optional<std::string> v) {
    setStringAt(DetailField::shippedExtra, std::move(v));
  }
  bool shippedBold() const { return boolAt(DetailField::shippedBold); }
  void setShippedBold(bool v) { setBoolAt(DetailField::shippedBold, v); }
  std::optional<std::string> deliveredText() const { return stringAt(DetailField::deliveredText); }
  void setDeliveredText(std::optional<std::string> v) {
    setStringAt(DetailField::deliveredText, std::move(v));
  }
  std::optional<std::string> deliveredDateString() const {
    return stringAt(DetailField::deliveredDateString);
  }
  void setDeliveredDateString(std::optional<std::string> v);
  std::optional<std::string> deliveredExtra() const {
    return stringAt(DetailField::deliveredExtra);
  }
  void setDeliveredExtra(std::optional<std::string> v) {
    setStringAt(DetailField::deliveredExtra, std::move(v));
  }
  bool deliveredBold() const { return boolAt(DetailField::deliveredBold); }
  void setDeliveredBold(bool v) { setBoolAt(DetailField::deliveredBold, v); }
  std::optional<std::string> statusDateString() const {
    return stringAt(DetailField::statusDateString);
  }
  void setStatusDateString(std::optional<std::string> v);
  // The expected delivery day.
  std::optional<std::string> dateString() const { return stringAt(DetailField::dateString); }
  void setDateString(std::optional<std::string> v);
  std::optional<std::string> location() const { return stringAt(DetailField::location); }
  void setLocation(std::optional<std::string> v) {
    setStringAt(DetailField::location, std::move(v));
  }
  std::optional<std::string> route() const { return stringAt(DetailField::route); }
  void setRoute(std::optional<std::string> v) { setStringAt(DetailField::route, std::move(v)); }
  std::optional<std::string> icon() const { return stringAt(DetailField::icon); }
  void setIcon(std::optional<std::string> v) { setStringAt(DetailField::icon, std::move(v)); }
  std::optional<std::string> url() const { return stringAt(DetailField::url); }
  void setUrl(std::optional<std::string> v) { setStringAt(DetailField::url, std::move(v)); }

  std::shared_ptr<Delivery> delivery() const;
  void setDelivery(const std::shared_ptr<Delivery>& delivery);

  // The stored attributes in a fixed key order, each only when set; the index is left out.
  Dictionary attributes() const;
  // Writes the same fifteen attributes from the same keys, clearing those whose key is
  // missing; the index stays.
  void setAttributes(const Dictionary& attributes);

  bool hasError() const;
  bool isDelivered() const;
  // 1 with a day count, 2 for a delivered line without one, else 0.
  int displayType();

  // The day strings parsed by the shared date formatter. An unparsable string gives no date,
  // and is tried again on the next read.
  std::optional<Date> date() const;
  std::optional<Date> deliveredDate() const;
  std::optional<Date> shippedDate() const;
  std::optional<Date> statusDate() const;

  // The badge of the line: a number ("3", "+") and its unit ("days", "months"); "" when the
  // line shows none. Computed on first read; may set the icon to "transit" or "checkmark".
  std::string daysNumber();
  std::string daysText();
  void refreshDayCount();

  // Where the line sorts among deliveries by arrival: delivered lines half a day before lines
  // expected the same day, shipped-only lines after all dated ones, undated lines next, errors
  // last.
  double deliveryDateSortIndex() const;

  // The texts of the line that search matches.
  std::string generatedSearchText() const;
  // itemName, or "itemName: shippedText", cut to n characters.
  std::string summaryOfLength(std::size_t n) const;

  // The shipped or delivered text with its date, as the formatter phrases it in the relative
  // mode, put into the text's "%@"; nothing when the text is empty.
  std::optional<std::string> shippedTextWithDateFormatter(QBYDateFormatter& formatter,
                                                          int relative) const;
  std::optional<std::string> deliveredTextWithDateFormatter(QBYDateFormatter& formatter,
                                                            int relative) const;

 protected:
  void didTurnIntoFault() override;

 private:
  std::optional<Date> cachedDate(std::optional<Date>& cache, int attribute) const;

  mutable std::optional<Date> date_;
  mutable std::optional<Date> deliveredDate_;
  mutable std::optional<Date> shippedDate_;
  mutable std::optional<Date> statusDate_;
  std::optional<std::string> daysNumber_;
  std::optional<std::string> daysText_;
};

}  // namespace qby
