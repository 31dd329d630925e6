// A web page's visible text and fingerprint, as the web-page service reads every page it
// tracks: any page must give UTF-8 text (when the page was UTF-8) with its white space
// collapsed, and a fingerprint of eight hexadecimal digits.
//
// Input: the page, as it arrives.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "util/QBYVisibleText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view page(reinterpret_cast<const char*>(data), size);
  const std::string text = qby::visibleText(page);
  if (qby::fuzz::isValidUTF8(page)) FUZZ_CHECK(qby::fuzz::isValidUTF8(text), text);
  FUZZ_CHECK(text.empty() || (text.front() != ' ' && text.back() != ' '), text);
  FUZZ_CHECK(text.find("  ") == std::string::npos, text);
  FUZZ_CHECK(text.find_first_of("\t\n\r\v\f") == std::string::npos, text);
  const std::string fingerprint = qby::textFingerprint(text);
  FUZZ_CHECK(fingerprint.size() == 8 &&
                 fingerprint.find_first_not_of("0123456789abcdef") == std::string::npos,
             fingerprint);
  return 0;
}
