// The settings dictionary of a delivery, as links, the browser extension and sync peers hand it
// over (JSON or a property list), and the add link built from it. Reading a dictionary and
// writing it again must be stable, the written form must cross processes as a property list
// unchanged, and the add link must be a web address whose query gives back every value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "model/QBYAddLink.h"
#include "model/QBYDeliverySettings.h"
#include "platform/URL.h"
#include "platform/Value.h"
#include "util/URLUtilities.h"

#ifndef PORVANE_TEST_HOOKS
#error "fuzz_delivery_settings configures the web service for the test: -DPORVANE_TEST_HOOKS=ON"
#endif

namespace {

using qby::Dictionary;
using qby::QBYDeliverySettings;
using qby::Value;

void checkAddLink(const QBYDeliverySettings& settings) {
  const auto added =
      qby::QBYAddLink(settings.from, settings.name, settings.no, settings.extra, settings.date);
  FUZZ_CHECK(added, "no add link although a web service is configured");
  const std::string& link = *added;
  const auto url = qby::URL::URLWithString(link);
  FUZZ_CHECK(url && url->query(), link);
  const Dictionary query = qby::dictionaryFromQuery(*url->query());
  const auto expect = [&](const char* key, const std::optional<std::string>& value) {
    FUZZ_CHECK(query[key].asString() == value.value_or(""), link);
  };
  expect("from", settings.from);
  expect("name", settings.name);
  expect("no", settings.no);
  expect("extra", settings.extra);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qby::fuzz::useTemporaryHome();
  // There is no add link without a web service; test builds read this one first.
  setenv("PORVANE_VENDOR_URL", "https://vendor.test", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  auto value = Value::fromJSON(input);
  if (!value) value = Value::fromPlist(input);
  if (!value || !value->isDictionary()) return 0;
  const Dictionary& dictionary = *value->dictionaryPtr();

  const auto settings = QBYDeliverySettings::settingsWithDictionary(dictionary, true);
  const Dictionary written = settings.dictionary();
  Dictionary rewritten = QBYDeliverySettings::settingsWithDictionary(written).dictionary();
  // "selected" is written only when 0 or more, and reads as 0 when absent.
  if (settings.selected < 0) rewritten.erase("selected");
  FUZZ_CHECK(rewritten == written, Value(written).description());

  // Between the programs the dictionary travels as a binary property list.
  const auto message = Value(written).toPlist(Value::PlistFormat::Binary);
  // Plists hold UTF-8 texts without NUL; what else a peer sends cannot cross.
  const auto plain = [](const std::optional<std::string>& text) {
    return !text || (qby::fuzz::isValidUTF8(*text) && text->find('\0') == std::string::npos);
  };
  const bool texts = plain(settings.uuid) && plain(settings.name) && plain(settings.no) &&
                     plain(settings.from) && plain(settings.extra) && plain(settings.date);
  if (texts) {
    FUZZ_CHECK(message, Value(written).description());
    const auto received = Value::fromPlist(*message);
    FUZZ_CHECK(received && *received == Value(written), Value(written).description());
  }

  (void)settings.description();
  (void)settings.defaultTitle();
  (void)settings.suggestionTitle();
  (void)settings.suggestionDescription();
  (void)settings.hash();
  (void)settings.detailsLaterThan(0, 0, std::nullopt);
  (void)settings.detailsLaterThan(1e9, settings.serviceUpdateVersion, std::string("en"));

  const auto utf8 = [](const std::optional<std::string>& text) {
    return !text || qby::fuzz::isValidUTF8(*text);
  };
  if (utf8(settings.from) && utf8(settings.name) && utf8(settings.no) && utf8(settings.extra) &&
      utf8(settings.date))
    checkAddLink(settings);
  return 0;
}
