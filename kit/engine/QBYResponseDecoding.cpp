#include "engine/QBYResponseDecoding.h"

#include <glib.h>
#include <unicode/ucnv.h>
#include <unicode/ucsdet.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "util/ICUPtr.h"

namespace qby {
namespace {

constexpr std::size_t kDetectionSample = 64 * 1024;
constexpr std::size_t kLongestName = 64;

// Charset names come from response headers, so they are untrusted: ICU reads a name with a
// slash as a path to a converter file and a comma as options, and an empty name as "the
// platform default". Only plain alias spellings get through.
std::optional<std::string> plainName(std::string_view name) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!name.empty() && isSpace(name.front())) name.remove_prefix(1);
  while (!name.empty() && isSpace(name.back())) name.remove_suffix(1);
  if (name.size() >= 2 && (name.front() == '"' || name.front() == '\'') &&
      name.back() == name.front()) {
    name = name.substr(1, name.size() - 2);
  }
  if (name.empty() || name.size() > kLongestName) return std::nullopt;
  const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.' || c == ':' || c == '+';
  });
  if (!plain) return std::nullopt;
  return std::string(name);
}

UConverterPtr openConverter(const std::optional<std::string>& name) {
  if (!name) return {};
  const auto plain = plainName(*name);
  if (!plain) return {};
  UErrorCode status = U_ZERO_ERROR;
  UConverterPtr converter(ucnv_open(plain->c_str(), &status));
  if (U_FAILURE(status)) return {};
  return converter;
}

UConverterPtr openUTF8() {
  UErrorCode status = U_ZERO_ERROR;
  UConverterPtr converter(ucnv_open("UTF-8", &status));
  if (U_FAILURE(status)) return {};
  return converter;
}

// The name a web developer would write, not ICU's internal table name ("windows-1252"
// rather than "ibm-5348_P100-1997"); the MIME name first, since IANA's primary name for
// Latin-1 is "ISO_8859-1:1987".
std::string ianaName(UConverter* converter) {
  UErrorCode status = U_ZERO_ERROR;
  const char* internal = ucnv_getName(converter, &status);
  if (U_FAILURE(status) || !internal) return "UTF-8";
  for (const char* standard : {"MIME", "IANA"}) {
    UErrorCode standardStatus = U_ZERO_ERROR;
    const char* name = ucnv_getStandardName(internal, standard, &standardStatus);
    if (U_SUCCESS(standardStatus) && name) return name;
  }
  return internal;
}

// Converts the whole input to UTF-8 through ICU's pivot loop, which takes pointers and so
// has no 2 GiB limit. Strict mode stops at the first invalid, unmappable or truncated
// sequence and answers nothing; otherwise such sequences become U+FFFD.
std::optional<std::string> convert(UConverter* source, std::string_view bytes, bool strict) {
  const UConverterPtr target = openUTF8();
  if (!target) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  if (strict) {
    ucnv_setToUCallBack(source, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  } else {
    ucnv_setToUCallBack(source, UCNV_TO_U_CALLBACK_SUBSTITUTE, nullptr, nullptr, nullptr, &status);
  }
  if (U_FAILURE(status)) return std::nullopt;

  std::string text;
  text.reserve(bytes.size() + bytes.size() / 4);
  std::array<char, 16 * 1024> buffer;
  std::array<UChar, 4 * 1024> pivot;
  UChar* pivotSource = pivot.data();
  UChar* pivotTarget = pivot.data();
  const char* input = bytes.data();
  const char* inputEnd = bytes.data() + bytes.size();
  bool reset = true;
  for (;;) {
    char* output = buffer.data();
    status = U_ZERO_ERROR;
    ucnv_convertEx(target.get(), source, &output, buffer.data() + buffer.size(), &input, inputEnd,
                   pivot.data(), &pivotSource, &pivotTarget, pivot.data() + pivot.size(), reset,
                   true, &status);
    reset = false;
    text.append(buffer.data(), static_cast<std::size_t>(output - buffer.data()));
    if (status == U_BUFFER_OVERFLOW_ERROR) continue;
    if (U_FAILURE(status)) return std::nullopt;
    return text;
  }
}

// Whether the bytes are valid UTF-8, as GLib judges it. GLib checks byte by byte; most pages
// are plain ASCII, which is checked here eight bytes at a time, and GLib looks only at what
// follows the first byte that is not ASCII.
bool isValidUTF8(std::string_view data) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080;
  std::size_t offset = 0;
  for (; offset + sizeof(std::uint64_t) <= data.size(); offset += sizeof(std::uint64_t)) {
    std::uint64_t word;
    std::memcpy(&word, data.data() + offset, sizeof word);
    if (word & kHighBits) break;
  }
  const std::string_view rest = data.substr(offset);
  return g_utf8_validate(rest.data(), static_cast<gssize>(rest.size()), nullptr);
}

struct ByteOrderMark {
  const char* encoding;
  std::size_t length;
};

std::optional<ByteOrderMark> byteOrderMark(std::string_view data) {
  if (data.starts_with("\xEF\xBB\xBF")) return ByteOrderMark{"UTF-8", 3};
  if (data.starts_with("\xFE\xFF")) return ByteOrderMark{"UTF-16BE", 2};
  if (data.starts_with("\xFF\xFE")) return ByteOrderMark{"UTF-16LE", 2};
  return std::nullopt;
}

// Detection candidates, most confident first, each tried as strictly as the declared one.
std::optional<QBYDecodedText> decodeDetected(std::string_view data, const std::string& tried) {
  UErrorCode status = U_ZERO_ERROR;
  UCharsetDetectorPtr detector(ucsdet_open(&status));
  if (U_FAILURE(status)) return std::nullopt;
  const auto sample = std::min(data.size(), kDetectionSample);
  ucsdet_setText(detector.get(), data.data(), static_cast<int32_t>(sample), &status);
  int32_t count = 0;
  const UCharsetMatch** matches = ucsdet_detectAll(detector.get(), &count, &status);
  if (U_FAILURE(status) || !matches) return std::nullopt;
  for (int32_t i = 0; i < count; ++i) {
    UErrorCode nameStatus = U_ZERO_ERROR;
    const char* name = ucsdet_getName(matches[i], &nameStatus);
    if (U_FAILURE(nameStatus) || !name) continue;
    const UConverterPtr converter = openConverter(std::string(name));
    if (!converter) continue;
    auto encoding = ianaName(converter.get());
    if (encoding == tried) continue;
    if (auto text = convert(converter.get(), data, true))
      return QBYDecodedText{std::move(text), std::move(encoding), false};
  }
  return std::nullopt;
}

}  // namespace

QBYDecodedText decodeResponseData(std::string_view data,
                                  const std::optional<std::string>& ianaName) {
  UConverterPtr converter;
  if (const auto mark = byteOrderMark(data)) {
    converter = openConverter(std::string(mark->encoding));
    data.remove_prefix(mark->length);
  }
  if (!converter) converter = openConverter(ianaName);
  if (!converter) converter = openUTF8();
  if (!converter) return QBYDecodedText{std::nullopt, "UTF-8", false};

  QBYDecodedText result;
  result.encoding = qby::ianaName(converter.get());
  if (data.empty()) {
    result.text = std::string();
    return result;
  }
  // Most pages are valid UTF-8 and say so: ICU would copy them byte for byte, at a cost that
  // shows beside a loopback fetch. GLib refuses NUL bytes in its part of the check, which
  // leaves such texts to ICU, with the same answer.
  if (result.encoding == "UTF-8" && isValidUTF8(data)) {
    result.text = std::string(data);
    return result;
  }
  if ((result.text = convert(converter.get(), data, true))) return result;
  if (auto detected = decodeDetected(data, result.encoding)) return std::move(*detected);
  result.text = convert(converter.get(), data, false);
  result.lossy = result.text.has_value();
  return result;
}

}  // namespace qby
