// What porvane-add is handed by the desktop: any argument must be classified without a crash,
// and the dictionary made of text or of an address must hold only UTF-8 and the input's
// characters where they were UTF-8 already. Files are not read here: the input would name
// paths on the fuzzing machine.
//
// Input: one argument.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "QBYSharedContent.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qby::fuzz::useTemporaryHome();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto kind = porvane::add::kindOfArgument(input);
  // An address is one word; text with a blank is never taken for one.
  if (kind == porvane::add::QBYArgumentKind::WebAddress)
    FUZZ_CHECK(input.find_first_of(" \t\r\n") == std::string_view::npos, input);

  const auto text = porvane::add::resultsForText(input)["text"].asString();
  FUZZ_CHECK(text && qby::fuzz::isValidUTF8(*text), input);
  if (qby::fuzz::isValidUTF8(input) && input.find('\0') == std::string_view::npos)
    FUZZ_CHECK(*text == input, input);

  const auto address = porvane::add::resultsForWebAddress(input);
  const auto url = address["url"].asString();
  FUZZ_CHECK(url && qby::fuzz::isValidUTF8(*url), input);
  FUZZ_CHECK(address["text"].asString() == std::string(), input);
  return 0;
}
