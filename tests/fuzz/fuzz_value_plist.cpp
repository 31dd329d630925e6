// Property lists (binary and XML) into Value, and the archives the programs read from them:
// the settings of a delivery added elsewhere and a notification handed between programs.
// Whatever the reader accepts must write out again in both forms and read back the same, but
// for what the forms cannot keep: texts with a NUL, dates beyond libplist's range, the fraction of
// a second in XML and below a microsecond in binary, and NaN in XML. An archive read from the
// document must survive its own write and read.
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "manager/QBYNotification.h"
#include "model/QBYDeliverySettings.h"
#include "platform/QBYError.h"
#include "platform/Value.h"

namespace {

using qby::Value;

// Only dates whose whole seconds since 2001 fit 32 bits, and texts without NUL, can be written
// (libplist's limits); a text with a NUL is read whole all the same.
bool writable(const Value& value) {
  if (const auto* text = value.stringPtr()) return text->find('\0') == std::string::npos;
  if (value.isDate()) {
    const double since2001 = value.asDate()->timeIntervalSince1970() - 978307200.0;
    return std::isfinite(since2001) && std::floor(since2001) >= INT32_MIN &&
           std::floor(since2001) <= INT32_MAX;
  }
  if (const auto* array = value.arrayPtr()) {
    for (const Value& element : *array)
      if (!writable(element)) return false;
  }
  if (const auto* dictionary = value.dictionaryPtr()) {
    for (const auto& entry : *dictionary)
      if (!writable(entry.second)) return false;
  }
  return true;
}

bool holdsNaN(const Value& value) {
  if (value.isReal()) return std::isnan(*value.asReal());
  if (const auto* array = value.arrayPtr()) {
    for (const Value& element : *array)
      if (holdsNaN(element)) return true;
  }
  if (const auto* dictionary = value.dictionaryPtr()) {
    for (const auto& entry : *dictionary)
      if (holdsNaN(entry.second)) return true;
  }
  return false;
}

// The value as written in the format reads back as this: the same kinds, keys in the same
// order, dates cut to what the format keeps (microseconds in binary, seconds in XML).
bool sameAfterRoundTrip(const Value& original, const Value& read, Value::PlistFormat format) {
  if (original.type() != read.type()) return false;
  switch (original.type()) {
    case Value::Type::Real: {
      const double a = *original.asReal();
      const double b = *read.asReal();
      return (std::isnan(a) && std::isnan(b)) || a == b;
    }
    case Value::Type::Date: {
      const double a = original.asDate()->timeIntervalSince1970() - 978307200.0;
      const double b = read.asDate()->timeIntervalSince1970() - 978307200.0;
      if (format == Value::PlistFormat::XML) return b == std::floor(a);
      return std::abs(a - b) <= 1e-6 + std::abs(a) * 1e-15;
    }
    case Value::Type::Array: {
      const auto& a = *original.arrayPtr();
      const auto& b = *read.arrayPtr();
      if (a.size() != b.size()) return false;
      for (std::size_t i = 0; i < a.size(); ++i)
        if (!sameAfterRoundTrip(a[i], b[i], format)) return false;
      return true;
    }
    case Value::Type::Dictionary: {
      const auto& a = *original.dictionaryPtr();
      const auto& b = *read.dictionaryPtr();
      if (a.size() != b.size()) return false;
      auto other = b.begin();
      for (const auto& [key, element] : a) {
        if (other->first != key || !sameAfterRoundTrip(element, other->second, format))
          return false;
        ++other;
      }
      return true;
    }
    default:
      return original == read;
  }
}

void checkRoundTrip(const Value& value, Value::PlistFormat format) {
  qby::QBYError error;
  const auto written = value.toPlist(format, &error);
  if (format == Value::PlistFormat::XML && holdsNaN(value)) {
    FUZZ_CHECK(!written, "NaN written as XML");
    return;
  }
  FUZZ_CHECK(written, error.description() + "\n" + value.description());
  const auto again = Value::fromPlist(*written, &error);
  FUZZ_CHECK(again, error.description() + "\n" + *written);
  FUZZ_CHECK(sameAfterRoundTrip(value, *again, format),
             value.description() + "\nread back as\n" + again->description());
}

void checkArchives(const qby::Dictionary& document) {
  // A delivery added by another program, as the main program picks it up.
  const auto settings = qby::QBYDeliverySettings::settingsWithArchivedDictionary(document);
  const qby::Dictionary archive = settings.archivedDictionary();
  const auto reread = qby::QBYDeliverySettings::settingsWithArchivedDictionary(archive);
  // A NaN modification time never equals itself; it must still come back as NaN.
  const Value again(reread.archivedDictionary());
  FUZZ_CHECK(again == Value(archive) ||
                 (holdsNaN(again) && again.description() == Value(archive).description()),
             Value(archive).description());
  if (writable(Value(archive))) {
    const auto stored = Value(archive).toPlist(Value::PlistFormat::Binary);
    FUZZ_CHECK(stored, Value(archive).description());
  }
  (void)settings.description();
  (void)settings.defaultTitle();

  // A notification handed to the companion.
  const auto notification = qby::QBYNotification::initWithCoder(Value(document));
  if (!writable(Value(notification.dictionary()))) return;
  const auto message = Value(notification.encodeWithCoder()).toPlist(Value::PlistFormat::Binary);
  FUZZ_CHECK(message, Value(notification.dictionary()).description());
  const auto received = Value::fromPlist(*message);
  FUZZ_CHECK(received && qby::QBYNotification::initWithCoder(*received) == notification,
             Value(notification.dictionary()).description());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qby::fuzz::useTemporaryHome();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  qby::QBYError error;
  const auto value = Value::fromPlist(bytes, &error);
  if (!value) {
    FUZZ_CHECK(!error.domain.empty(), "a rejected document left no error");
    return 0;
  }
  (void)value->description();
  if (writable(*value)) {
    checkRoundTrip(*value, Value::PlistFormat::Binary);
    checkRoundTrip(*value, Value::PlistFormat::XML);
  }
  if (const auto* dictionary = value->dictionaryPtr()) checkArchives(*dictionary);
  return 0;
}
