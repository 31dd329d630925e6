// The sync service's XML replies. Whatever the parser makes of a reply, it reports elements
// only for a document it read whole, every name and text it hands on is valid UTF-8, an
// element with a lone "value" carries no attribute dictionary, and it tells its delegate that
// it completed exactly once.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzSupport.h"
#include "sync/QBYXMLParser.h"

namespace {

class Checker : public qby::QBYXMLParserDelegate {
 public:
  void parserEncounteredName(qby::QBYXMLParser&, const std::string& name,
                             const std::optional<std::string>& value,
                             const std::optional<qby::Dictionary>& attributes) override {
    ++elements;
    FUZZ_CHECK(!name.empty(), "an element without a name");
    FUZZ_CHECK(qby::fuzz::isValidUTF8(name), name);
    if (value) FUZZ_CHECK(qby::fuzz::isValidUTF8(*value), *value);
    if (attributes) {
      FUZZ_CHECK(!(value && attributes->size() == 1), "a lone value kept its dictionary");
      for (const auto& [key, attribute] : *attributes) {
        FUZZ_CHECK(qby::fuzz::isValidUTF8(key), key);
        const auto* text = attribute.stringPtr();
        FUZZ_CHECK(text && qby::fuzz::isValidUTF8(*text), key);
      }
    } else {
      FUZZ_CHECK(value.has_value(), "an element with neither value nor attributes");
    }
  }
  void parserCompleted(qby::QBYXMLParser&) override { ++completed; }

  int elements = 0;
  int completed = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view reply(reinterpret_cast<const char*>(data), size);
  Checker checker;
  const auto parser = qby::QBYXMLParser::parseData(reply, &checker);
  FUZZ_CHECK(checker.completed == 1, "completion told other than once");
  if (!parser->success()) {
    FUZZ_CHECK(checker.elements == 0, "a failed parse reported elements");
    FUZZ_CHECK(parser->error().has_value(), "a failed parse left no error");
  } else {
    FUZZ_CHECK(checker.elements > 0, "a successful parse reported nothing");
  }
  return 0;
}
