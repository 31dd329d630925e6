// JSON text into Value and back. Whatever the reader accepts must write out again (a value
// read from JSON holds nothing JSON cannot), read back to an equal value, and write the same
// text a second time, in both the compact and the pretty form.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzSupport.h"
#include "platform/QBYError.h"
#include "platform/Value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using qby::Value;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  qby::QBYError error;
  const auto value = Value::fromJSON(text, &error);
  if (!value) {
    FUZZ_CHECK(!error.domain.empty(), "a rejected text left no error");
    return 0;
  }
  for (const bool pretty : {false, true}) {
    qby::QBYError writeError;
    const auto written = value->toJSON(pretty, &writeError);
    FUZZ_CHECK(written, writeError.description());
    FUZZ_CHECK(qby::fuzz::isValidUTF8(*written), *written);
    const auto again = Value::fromJSON(*written);
    FUZZ_CHECK(again && *again == *value, *written);
    FUZZ_CHECK(again->toJSON(pretty) == written, *written);
  }
  // The console form prints every value.
  (void)value->description();
  return 0;
}
