// Property-list conversion of Value through libplist 2.2, binary and XML.
//
// libplist 2.2 keeps a date as a double of seconds since 1 January 2001 but hands it out
// only as whole seconds plus a truncated, unsigned microsecond count, which loses precision
// and the sign of dates just before 2001. Its integers come out as raw 64-bit patterns, so a
// huge unsigned number and a negative one look alike. Both are read exactly by serialising
// the single node to binary, where the stored double or the integer's width is visible.
#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "platform/NumericLocale.h"
#include "platform/PlistPtr.h"
#include "platform/QBYError.h"
#include "platform/Value.h"

namespace qby {

namespace {

// Seconds from 1 January 1970 to 1 January 2001, the reference date of plist dates.
constexpr double kSeconds1970To2001 = 978307200.0;

// Binary plist object markers (high nibble type, low nibble size).
constexpr std::uint8_t kMarkerSixteenByteInteger = 0x14;
constexpr std::uint8_t kMarkerDate = 0x33;
constexpr std::size_t kBinaryHeaderLength = 8;  // "bplist00"

QBYError plistError(std::int64_t code, std::string description) {
  return QBYError::make(QBYErrorDomainPropertyList, code, std::move(description));
}

// The first object of the node's own binary form: marker plus up to 16 payload bytes.
std::optional<std::vector<std::uint8_t>> firstBinaryObject(plist_t node) {
  char* raw = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(node, &raw, &length);
  const PlistBinaryBufferPtr buffer(raw);
  if (!buffer || length < kBinaryHeaderLength + 1 || std::memcmp(raw, "bplist00", 8) != 0) {
    return std::nullopt;
  }
  const std::size_t available = std::min<std::size_t>(length - kBinaryHeaderLength, 17);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(raw) + kBinaryHeaderLength;
  return std::vector<std::uint8_t>(bytes, bytes + available);
}

double readDate(plist_t node) {
  if (const auto object = firstBinaryObject(node);
      object && object->size() >= 9 && (*object)[0] == kMarkerDate) {
    std::uint64_t bits = 0;
    for (int i = 1; i <= 8; ++i) bits = (bits << 8) | (*object)[i];
    double since2001 = 0;
    static_assert(sizeof bits == sizeof since2001);
    std::memcpy(&since2001, &bits, sizeof since2001);
    return since2001 + kSeconds1970To2001;
  }
  // Fallback: whole seconds truncated toward zero plus the magnitude of the fraction.
  std::int32_t seconds = 0;
  std::int32_t microseconds = 0;
  plist_get_date_val(node, &seconds, &microseconds);
  const double fraction = std::abs(microseconds) / 1e6;
  const double since2001 = seconds < 0 ? seconds - fraction : seconds + fraction;
  return since2001 + kSeconds1970To2001;
}

Value readInteger(plist_t node) {
  std::uint64_t bits = 0;
  plist_get_uint_val(node, &bits);
  if (bits <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return Value(static_cast<std::int64_t>(bits));
  }
  // Sixteen bytes wide means an unsigned number beyond the signed range; else it is negative.
  const auto object = firstBinaryObject(node);
  if (object && !object->empty() && (*object)[0] == kMarkerSixteenByteInteger) {
    return Value(static_cast<double>(bits));
  }
  return Value(static_cast<std::int64_t>(bits));
}

// What the reader knows about the document before walking it.
struct ReadContext {
  // libplist aborts the process when asked for a key whose stored length disagrees with its
  // C string length, which a NUL inside the key causes. Such keys are checked first, but only
  // when the document can hold them at all, since the check costs a serialisation per key.
  bool keysMayHoldNul = false;
};

// True when a dictionary key node carries a NUL inside its stored text.
bool keyHoldsNul(plist_t keyNode) {
  char* raw = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(keyNode, &raw, &length);
  const PlistBinaryBufferPtr buffer(raw);
  if (!buffer || length <= kBinaryHeaderLength) return true;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(raw);
  const std::uint8_t marker = bytes[kBinaryHeaderLength];
  const std::size_t unit = (marker & 0xf0) == 0x60 ? 2 : 1;
  std::size_t count = marker & 0x0f;
  std::size_t start = kBinaryHeaderLength + 1;
  if (count == 0x0f) {
    // The count follows as an integer object of 1, 2, 4 or 8 bytes.
    if (start >= length || (bytes[start] & 0xf0) != 0x10) return true;
    const std::size_t width = std::size_t{1} << (bytes[start] & 0x0f);
    if (width > 8 || start + 1 + width > length) return true;
    count = 0;
    for (std::size_t i = 0; i < width; ++i) count = (count << 8) | bytes[start + 1 + i];
    start += 1 + width;
  }
  if (count > (length - start) / unit) return true;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = start + i * unit;
    if (bytes[at] == 0 && (unit == 1 || bytes[at + 1] == 0)) return true;
  }
  return false;
}

std::uint64_t readBigEndian(const std::uint8_t* bytes, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value = (value << 8) | bytes[i];
  return value;
}

// Whether a document's keys can hold a NUL after libplist has read it: XML ones only with a
// raw NUL byte in the text, binary ones only through a UTF-16 text with a zero unit (ASCII
// texts are cut at their first NUL by the reader). Anything malformed counts as possible.
bool documentMayHoldNulKeys(std::string_view document) {
  if (document.substr(0, 8) != "bplist00") return document.find('\0') != std::string_view::npos;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(document.data());
  const std::size_t size = document.size();
  constexpr std::size_t kTrailerLength = 32;
  if (size < kBinaryHeaderLength + kTrailerLength) return true;
  const std::uint8_t* trailer = bytes + size - kTrailerLength;
  const std::size_t offsetWidth = trailer[6];
  const std::uint64_t objectCount = readBigEndian(trailer + 8, 8);
  const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
  if (offsetWidth < 1 || offsetWidth > 8 || objectCount > size || tableOffset > size ||
      objectCount * offsetWidth > size - tableOffset) {
    return true;
  }
  for (std::uint64_t i = 0; i < objectCount; ++i) {
    const std::uint64_t offset = readBigEndian(bytes + tableOffset + i * offsetWidth, offsetWidth);
    if (offset >= size) return true;
    const std::uint8_t marker = bytes[offset];
    if ((marker & 0xf0) != 0x60) continue;
    std::uint64_t count = marker & 0x0f;
    std::uint64_t start = offset + 1;
    if (count == 0x0f) {
      if (start >= size || (bytes[start] & 0xf0) != 0x10) return true;
      const std::size_t width = std::size_t{1} << (bytes[start] & 0x0f);
      if (width > 8 || start + 1 + width > size) return true;
      count = readBigEndian(bytes + start + 1, width);
      start += 1 + width;
    }
    if (count > (size - start) / 2) return true;
    for (std::uint64_t unit = 0; unit < count; ++unit) {
      if (bytes[start + 2 * unit] == 0 && bytes[start + 2 * unit + 1] == 0) return true;
    }
  }
  return false;
}

// The length of the well-formed UTF-8 sequence at the start of the text, 0 when there is none.
std::size_t validSequenceLength(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint32_t codePoint = 0;
  if ((lead & 0xe0) == 0xc0) {
    length = 2;
    codePoint = lead & 0x1f;
  } else if ((lead & 0xf0) == 0xe0) {
    length = 3;
    codePoint = lead & 0x0f;
  } else if ((lead & 0xf8) == 0xf0) {
    length = 4;
    codePoint = lead & 0x07;
  } else {
    return 0;
  }
  if (length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[k]);
    if ((next & 0xc0) != 0x80) return 0;
    codePoint = (codePoint << 6) | (next & 0x3f);
  }
  static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (codePoint < kSmallest[length] || codePoint > 0x10ffff ||
      (codePoint >= 0xd800 && codePoint <= 0xdfff)) {
    return 0;
  }
  return length;
}

bool isValidUTF8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = validSequenceLength(text.substr(i));
    if (length == 0) return false;
    i += length;
  }
  return true;
}

// Documents come from other programs and older versions: a text that is not UTF-8 is read
// with each byte that starts no well-formed sequence replaced by U+FFFD, so the rest of the
// document stays readable and everything read can be written again.
std::string validUTF8(std::string text) {
  if (isValidUTF8(text)) return text;
  std::string repaired;
  repaired.reserve(text.size() + 8);
  const std::string_view rest(text);
  for (std::size_t i = 0; i < rest.size();) {
    const std::size_t length = validSequenceLength(rest.substr(i));
    if (length == 0) {
      repaired += "\xEF\xBF\xBD";
      ++i;
    } else {
      repaired.append(rest.substr(i, length));
      i += length;
    }
  }
  return repaired;
}

std::optional<Value> fromNode(plist_t node, const ReadContext& context, int depth,
                              QBYError& error) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t value = 0;
      plist_get_bool_val(node, &value);
      return Value(value != 0);
    }
    case PLIST_UINT:
      return readInteger(node);
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      return Value(value);
    }
    case PLIST_STRING: {
      // The pointer form gives the stored length, so a text with a NUL stays whole.
      std::uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      return Value(validUTF8(text ? std::string(text, length) : std::string()));
    }
    case PLIST_DATE:
      return Value(Date(readDate(node)));
    case PLIST_DATA: {
      std::uint64_t length = 0;
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(plist_get_data_ptr(node, &length));
      return Value(bytes ? Data(bytes, bytes + length) : Data());
    }
    case PLIST_UID: {
      // A keyed archive's object reference, in the form XML plists give it.
      std::uint64_t uid = 0;
      plist_get_uid_val(node, &uid);
      return Value(Dictionary{{"CF$UID", Value(static_cast<unsigned long long>(uid))}});
    }
    case PLIST_ARRAY:
    case PLIST_DICT:
      break;
    default:
      error = plistError(QBYValueErrorUnreadable, "Property list holds a value of unknown type");
      return std::nullopt;
  }
  if (depth >= QBYValueMaxDepth) {
    error = plistError(QBYValueErrorTooDeep, "Property list is nested more than " +
                                                 std::to_string(QBYValueMaxDepth) + " levels deep");
    return std::nullopt;
  }
  if (plist_get_node_type(node) == PLIST_ARRAY) {
    Array array;
    const std::uint32_t count = plist_array_get_size(node);
    array.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      plist_t item = plist_array_get_item(node, i);
      if (!item) continue;
      auto value = fromNode(item, context, depth + 1, error);
      if (!value) return std::nullopt;
      array.push_back(std::move(*value));
    }
    return Value(std::move(array));
  }
  Dictionary dictionary;
  plist_dict_iter rawIterator = nullptr;
  plist_dict_new_iter(node, &rawIterator);
  const PlistMallocPtr<void> iterator(rawIterator);
  if (!iterator) return Value(std::move(dictionary));
  while (true) {
    plist_t item = nullptr;
    plist_dict_next_item(node, rawIterator, nullptr, &item);
    if (!item) break;
    plist_t keyNode = plist_dict_item_get_key(item);
    if (context.keysMayHoldNul && keyHoldsNul(keyNode)) {
      error = plistError(QBYValueErrorUnreadable, "Property list has a key with a NUL character");
      return std::nullopt;
    }
    char* rawKey = nullptr;
    plist_get_key_val(keyNode, &rawKey);
    const PlistMallocPtr<char> key(rawKey);
    auto value = fromNode(item, context, depth + 1, error);
    if (!value) return std::nullopt;
    dictionary.set(validUTF8(key ? key.get() : ""), std::move(*value));
  }
  return Value(std::move(dictionary));
}

// libplist keeps texts as C strings: a NUL would cut them short, and invalid UTF-8 would be
// written as a corrupt binary plist.
bool checkText(std::string_view text, const char* what, QBYError& error) {
  if (text.find('\0') != std::string_view::npos) {
    error = plistError(QBYValueErrorUnrepresentable, std::string("Property lists cannot hold a ") +
                                                         what + " with a NUL character");
    return false;
  }
  if (!isValidUTF8(text)) {
    error = plistError(QBYValueErrorUnrepresentable,
                       std::string("Property lists cannot hold a ") + what + " that is not UTF-8");
    return false;
  }
  return true;
}

PlistPtr newDate(Date date, Value::PlistFormat format, QBYError& error) {
  const double since2001 = date.timeIntervalSince1970() - kSeconds1970To2001;
  // XML dates hold whole seconds; binary ones keep microseconds (libplist's resolution).
  double seconds = std::floor(since2001);
  double microseconds =
      format == Value::PlistFormat::XML ? 0 : std::round((since2001 - seconds) * 1e6);
  if (microseconds >= 1e6) {
    seconds += 1;
    microseconds = 0;
  }
  if (!std::isfinite(since2001) || seconds < std::numeric_limits<std::int32_t>::min() ||
      seconds > std::numeric_limits<std::int32_t>::max()) {
    error = plistError(QBYValueErrorUnrepresentable,
                       "Date " + Value(date).description() + " is out of the property-list range");
    return nullptr;
  }
  return PlistPtr(
      plist_new_date(static_cast<std::int32_t>(seconds), static_cast<std::int32_t>(microseconds)));
}

PlistPtr toNode(const Value& value, Value::PlistFormat format, int depth, QBYError& error) {
  switch (value.type()) {
    case Value::Type::Null:
      error = plistError(QBYValueErrorUnrepresentable, "Property lists cannot hold null");
      return nullptr;
    case Value::Type::Bool:
      return PlistPtr(plist_new_bool(*value.asBool() ? 1 : 0));
    case Value::Type::Integer:
      // Eight-byte integers are written as signed, so negative numbers survive.
      return PlistPtr(plist_new_uint(static_cast<std::uint64_t>(*value.asInteger())));
    case Value::Type::Real: {
      const double real = *value.asReal();
      if (std::isnan(real) && format == Value::PlistFormat::XML) {
        error = plistError(QBYValueErrorUnrepresentable, "XML property lists cannot hold NaN");
        return nullptr;
      }
      return PlistPtr(plist_new_real(real));
    }
    case Value::Type::String:
      if (!checkText(*value.stringPtr(), "text", error)) return nullptr;
      return PlistPtr(plist_new_string(value.stringPtr()->c_str()));
    case Value::Type::Date:
      return newDate(*value.asDate(), format, error);
    case Value::Type::Data: {
      const Data& data = *value.dataPtr();
      return PlistPtr(plist_new_data(reinterpret_cast<const char*>(data.data()), data.size()));
    }
    case Value::Type::Array:
    case Value::Type::Dictionary:
      break;
  }
  if (depth >= QBYValueMaxDepth) {
    error = plistError(QBYValueErrorTooDeep, "Value is nested more than " +
                                                 std::to_string(QBYValueMaxDepth) + " levels deep");
    return nullptr;
  }
  if (const Array* array = value.arrayPtr()) {
    PlistPtr node(plist_new_array());
    for (const Value& element : *array) {
      PlistPtr item = toNode(element, format, depth + 1, error);
      if (!item) return nullptr;
      plist_array_append_item(node.get(), item.release());
    }
    return node;
  }
  PlistPtr node(plist_new_dict());
  for (const auto& [key, element] : *value.dictionaryPtr()) {
    if (!checkText(key, "key", error)) return nullptr;
    PlistPtr item = toNode(element, format, depth + 1, error);
    if (!item) return nullptr;
    plist_dict_set_item(node.get(), key.c_str(), item.release());
  }
  return node;
}

}  // namespace

std::optional<Value> Value::fromPlist(std::string_view bytes, QBYError* error) {
  if (bytes.empty()) {
    setError(error, plistError(QBYValueErrorUnreadable, "Property list is empty"));
    return std::nullopt;
  }
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
    setError(error, plistError(QBYValueErrorUnreadable, "Property list is too large"));
    return std::nullopt;
  }
  plist_t raw = nullptr;
  // libplist reads XML reals with strtod, which would stop at the "." under a comma locale.
  const NumericLocaleScope numericLocale;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
  const PlistPtr root(raw);
  if (!root) {
    const bool binary = bytes.substr(0, 6) == "bplist";
    setError(error, plistError(QBYValueErrorUnreadable,
                               binary ? "Binary property list is damaged or truncated"
                                      : "Text is not a well-formed property list"));
    return std::nullopt;
  }
  ReadContext context;
  context.keysMayHoldNul = documentMayHoldNulKeys(bytes);
  QBYError failure;
  auto value = fromNode(root.get(), context, 0, failure);
  if (!value) setError(error, std::move(failure));
  return value;
}

std::optional<std::string> Value::toPlist(PlistFormat format, QBYError* error) const {
  QBYError failure;
  const PlistPtr root = toNode(*this, format, 0, failure);
  if (!root) {
    setError(error, std::move(failure));
    return std::nullopt;
  }
  char* raw = nullptr;
  std::uint32_t length = 0;
  std::string result;
  const NumericLocaleScope numericLocale;
  if (format == PlistFormat::XML) {
    plist_to_xml(root.get(), &raw, &length);
    const PlistXMLBufferPtr buffer(raw);
    if (buffer) result.assign(raw, length);
  } else {
    plist_to_bin(root.get(), &raw, &length);
    const PlistBinaryBufferPtr buffer(raw);
    if (buffer) result.assign(raw, length);
  }
  if (result.empty()) {
    setError(error, plistError(QBYValueErrorUnrepresentable, "Property list could not be written"));
    return std::nullopt;
  }
  return result;
}

}  // namespace qby
