// A troubleshooting report: what is known about one delivery that did not update correctly,
// the log collected while it was updated again, and the user's comments, as string values
// under fixed keys in a fixed display order. QBYSendReportOperation sends it to the report
// path of the account's server.
//
// Threads: a value; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Value.h"

namespace qby {

class Delivery;

class QBYTroubleshootReport {
 public:
  // What the report says about this installation; the programs fill it from their log
  // facility and the installed service scripts. Absent values are left out of the report.
  struct Environment {
    std::optional<std::string> vendorIdentifier;
    std::optional<std::string> platform;
    std::optional<std::string> systemVersion;
    std::optional<std::string> appVersion;
    std::optional<std::string> serviceUpdate;
  };

  static QBYTroubleshootReport reportForDelivery(const Delivery& delivery,
                                                 const std::optional<std::string>& logs,
                                                 const Environment& environment);
  // success = the dictionary's "success" is "1"; the rest become the values.
  static QBYTroubleshootReport reportFromDictionary(const Dictionary& dictionary);

  // The keys of the table in display order.
  static const std::vector<std::string>& defaultKeys();
  // Localized; a key outside the table displays as itself.
  static std::string displayNameForKey(std::string_view key);
  // "comments" and "logs".
  static bool keyIsEditable(std::string_view key);

  bool success() const { return success_; }
  void setSuccess(bool success) { success_ = success; }
  const Dictionary& values() const { return values_; }

  // The values plus "success" as "1" or "0".
  Dictionary dictionary() const;
  // "success" reads "1" or "0"; other keys read the values (nothing when absent).
  std::optional<std::string> valueForKey(std::string_view key) const;
  // "success" sets the flag (value "1" is true); other keys set the values.
  void setValueForKey(std::string_view key, const std::string& value);
  // The keys to show: the table's, with table keys present without text dropped unless
  // editable, then every other key of the values that has text.
  std::vector<std::string> keys() const;

  bool operator==(const QBYTroubleshootReport&) const = default;

 private:
  bool success_ = false;
  Dictionary values_;
};

}  // namespace qby
