// Delivery documents as they arrive from anywhere (a download, a mail attachment, a file a
// peer wrote): read as a property list or a JSON array. A document that opens must hold valid
// UTF-8 texts and write itself again, and what it writes must read back to the same fields; one
// that does not open must be reset, never half-read.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "platform/QBYError.h"
#include "platform/Value.h"
#include "sync/QBYDeliveryDocument.h"

namespace {

void checkTexts(const qby::QBYDeliveryDocument& document) {
  for (const auto* text :
       {&document.uuid(), &document.date(), &document.extra(), &document.from(), &document.name(),
        &document.no(), &document.detailsJSON(), &document.detailsLanguage()}) {
    if (*text) FUZZ_CHECK(qby::fuzz::isValidUTF8(**text), **text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qby::fuzz::useTemporaryHome();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  qby::QBYDeliveryDocument document;
  qby::QBYError error;
  if (!document.loadFromContents(input, qby::QBYDeliveryDocumentType, &error)) {
    FUZZ_CHECK(!document.uuid() && !document.name() && !document.detailsJSON() &&
                   document.from() == std::optional<std::string>("other"),
               error.description());
    FUZZ_CHECK(!error.domain.empty(), "a failure without an error");
    return 0;
  }
  FUZZ_CHECK(document.uuid().has_value(), "an opened document without uuid");
  checkTexts(document);

  auto written = document.contentsForType(qby::QBYDeliveryDocumentType, &error);
  FUZZ_CHECK(written.has_value(), error.description());
  qby::QBYDeliveryDocument again;
  FUZZ_CHECK(again.loadFromContents(*written, qby::QBYDeliveryDocumentType, &error),
             error.description());
  FUZZ_CHECK(again.attributes() == document.attributes(),
             qby::Value(again.attributes()).description() +
                 " != " + qby::Value(document.attributes()).description());
  // The settings the application adds from it hold the same texts.
  const auto settings = document.deliverySettings();
  FUZZ_CHECK(
      settings.no == document.no() && settings.name.value_or("") == document.name().value_or(""),
      qby::Value(document.attributes()).description());
  return 0;
}
