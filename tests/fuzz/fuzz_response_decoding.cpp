// The bytes of a web response with the charset its header or the script declared. Whatever
// the bytes and the name, the answer is UTF-8 text; UTF-8 bytes without a byte-order mark and
// without a declared name come back byte for byte, and nothing is reported lossy that was not.
//
// Input: "<charset name>\0<body>", or a body alone (no name declared).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "engine/QBYResponseDecoding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto split = qby::fuzz::splitAtNul(data, size);
  const std::optional<std::string>& name = split.head;
  const std::string_view body = split.rest;
  const qby::QBYDecodedText decoded = qby::decodeResponseData(body, name);
  if (!decoded.text) {
    FUZZ_CHECK(!body.empty(), "empty data did not decode");
    return 0;
  }
  FUZZ_CHECK(qby::fuzz::isValidUTF8(*decoded.text), decoded.encoding);
  FUZZ_CHECK(!decoded.encoding.empty(), "no encoding named");
  if (body.empty()) FUZZ_CHECK(decoded.text->empty() && !decoded.lossy, decoded.encoding);

  const auto startsWith = [&](std::string_view prefix) {
    return body.substr(0, prefix.size()) == prefix;
  };
  const bool byteOrderMark =
      startsWith("\xEF\xBB\xBF") || startsWith("\xFE\xFF") || startsWith("\xFF\xFE");
  if (!name && !byteOrderMark && qby::fuzz::isValidUTF8(body)) {
    FUZZ_CHECK(*decoded.text == body && !decoded.lossy, decoded.encoding);
    FUZZ_CHECK(decoded.encoding == "UTF-8", decoded.encoding);
  }
  // A UTF-8 byte-order mark goes, whatever was declared, and valid UTF-8 after it stays as is.
  if (startsWith("\xEF\xBB\xBF") && qby::fuzz::isValidUTF8(body.substr(3))) {
    FUZZ_CHECK(*decoded.text == body.substr(3) && !decoded.lossy, decoded.encoding);
  }
  return 0;
}
