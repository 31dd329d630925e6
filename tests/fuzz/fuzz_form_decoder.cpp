// The server's form decoder and the reply writer that echoes what it decoded. Whatever a client
// sends: the decoder answers UTF-8 names and values without NUL bytes within its limits, decoding
// a form re-encoded from its fields gives the same fields back, and an escaped value never
// carries a character that would end or break the XML attribute it is written into.
//
// Input: any bytes, read as a form body.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "QBYFormDecoder.h"
#include "QBYXMLReply.h"

namespace {

std::string percentEncoded(std::string_view text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    out += '%';
    out += hex[c >> 4];
    out += hex[c & 15];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qby::fuzz::useTemporaryHome();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using qby::server::QBYFormDecoder;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  QBYFormDecoder::Limits limits;
  limits.maxFields = 64;
  limits.maxValueLength = 4096;
  const auto form = QBYFormDecoder::decode(input, limits);
  if (!form) return 0;
  FUZZ_CHECK(form->fields().size() <= limits.maxFields, input);

  std::string again;
  for (const auto& [name, value] : form->fields()) {
    FUZZ_CHECK(qby::fuzz::isValidUTF8(name) && qby::fuzz::isValidUTF8(value), input);
    FUZZ_CHECK(name.find('\0') == std::string::npos && value.find('\0') == std::string::npos,
               input);
    FUZZ_CHECK(form->value(name).has_value(), name);

    const std::string escaped = qby::server::QBYXMLReply::escape(value);
    FUZZ_CHECK(qby::fuzz::isValidUTF8(escaped), escaped);
    FUZZ_CHECK(escaped.find_first_of("<>\"\n\r\t") == std::string::npos, escaped);

    if (!again.empty()) again += '&';
    again += percentEncoded(name) + "=" + percentEncoded(value);
  }
  // Repaired text only grows, so the re-encoded form may break the raw limits: read it without.
  QBYFormDecoder::Limits open;
  open.maxFields = limits.maxFields;
  open.maxNameLength = 1 << 20;
  open.maxValueLength = 1 << 20;
  const auto reread = QBYFormDecoder::decode(again, open);
  FUZZ_CHECK(reread.has_value(), again);
  FUZZ_CHECK(reread->fields() == form->fields(), again);
  return 0;
}
