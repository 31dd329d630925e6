#include "platform/Value.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace qby {

namespace {

const Value& nullValue() {
  static const Value null;
  return null;
}

constexpr double kTwoTo63 = 9223372036854775808.0;

// Exact comparison of an integer with a real: no rounding of either side.
bool integerEqualsReal(std::int64_t integer, double real) {
  if (!(real >= -kTwoTo63 && real < kTwoTo63)) return false;  // also rejects NaN
  if (std::trunc(real) != real) return false;
  return static_cast<std::int64_t>(real) == integer;
}

std::string shortestReal(double real) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, real);
  return std::string(buffer, result.ptr);
}

std::string dataDescription(const Data& data) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto appendHex = [&](std::string& out, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      out += kHex[data[i] >> 4];
      out += kHex[data[i] & 0xf];
    }
  };
  std::string text = "{length = " + std::to_string(data.size()) + ", bytes = 0x";
  if (data.size() <= 24) {
    appendHex(text, 0, data.size());
  } else {
    appendHex(text, 0, 8);
    text += " ... ";
    appendHex(text, data.size() - 8, data.size());
  }
  text += "}";
  return text;
}

bool needsQuotes(std::string_view text) {
  if (text.empty()) return true;
  for (const char c : text) {
    const bool plain =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!plain) return true;
  }
  return false;
}

std::string quotedIfNeeded(std::string_view text) {
  if (!needsQuotes(text)) return std::string(text);
  std::string quoted = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\t':
        quoted += "\\t";
        break;
      case '\r':
        quoted += "\\r";
        break;
      default:
        quoted += c;
    }
  }
  quoted += '"';
  return quoted;
}

void appendDescription(std::string& out, const Value& value, int level, bool nested);

void appendIndent(std::string& out, int level) {
  out.append(static_cast<std::size_t>(level) * 4, ' ');
}

void appendArray(std::string& out, const Array& array, int level) {
  out += "(\n";
  for (std::size_t i = 0; i < array.size(); ++i) {
    appendIndent(out, level + 1);
    appendDescription(out, array[i], level + 1, true);
    if (i + 1 < array.size()) out += ',';
    out += '\n';
  }
  appendIndent(out, level);
  out += ')';
}

void appendDictionary(std::string& out, const Dictionary& dictionary, int level) {
  out += "{\n";
  for (const auto& [key, value] : dictionary) {
    appendIndent(out, level + 1);
    out += quotedIfNeeded(key);
    out += " = ";
    appendDescription(out, value, level + 1, true);
    out += ";\n";
  }
  appendIndent(out, level);
  out += '}';
}

void appendDescription(std::string& out, const Value& value, int level, bool nested) {
  switch (value.type()) {
    case Value::Type::Null:
      out += nested ? "<null>" : "(null)";
      break;
    case Value::Type::Bool:
      out += *value.asBool() ? "1" : "0";
      break;
    case Value::Type::Integer:
      out += std::to_string(*value.asInteger());
      break;
    case Value::Type::Real:
      out += shortestReal(*value.asReal());
      break;
    case Value::Type::String:
      out += nested ? quotedIfNeeded(*value.stringPtr()) : *value.stringPtr();
      break;
    case Value::Type::Date: {
      const std::string text = value.asDate()->description();
      out += nested ? quotedIfNeeded(text) : text;
      break;
    }
    case Value::Type::Data:
      out += dataDescription(*value.dataPtr());
      break;
    case Value::Type::Array:
      appendArray(out, *value.arrayPtr(), level);
      break;
    case Value::Type::Dictionary:
      appendDictionary(out, *value.dictionaryPtr(), level);
      break;
  }
}

}  // namespace

// MARK: Dictionary

namespace {
// Up to this many keys a linear scan beats hashing the key.
constexpr std::size_t kIndexedSize = 12;
}  // namespace

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
  for (const auto& [key, value] : entries) set(key, value);
}

Dictionary::Dictionary(const Dictionary& other) : entries_(other.entries_) {
  reindex();
}

Dictionary::Dictionary(Dictionary&& other) noexcept = default;

Dictionary& Dictionary::operator=(const Dictionary& other) {
  if (this != &other) {
    entries_ = other.entries_;
    reindex();
  }
  return *this;
}

Dictionary& Dictionary::operator=(Dictionary&& other) noexcept = default;

Dictionary::~Dictionary() = default;

std::ptrdiff_t Dictionary::position(std::string_view key) const {
  if (index_) {
    const auto found = index_->positions.find(key);
    return found == index_->positions.end() ? -1 : static_cast<std::ptrdiff_t>(found->second);
  }
  for (std::size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].first == key) return static_cast<std::ptrdiff_t>(i);
  return -1;
}

const Value* Dictionary::find(std::string_view key) const {
  const auto at = position(key);
  return at < 0 ? nullptr : &entries_[static_cast<std::size_t>(at)].second;
}

Value* Dictionary::find(std::string_view key) {
  const auto at = position(key);
  return at < 0 ? nullptr : &entries_[static_cast<std::size_t>(at)].second;
}

const Value& Dictionary::operator[](std::string_view key) const {
  const Value* value = find(key);
  return value ? *value : nullValue();
}

Value& Dictionary::operator[](std::string_view key) {
  if (Value* value = find(key)) return *value;
  entries_.emplace_back(std::string(key), Value());
  if (index_) {
    index_->positions.emplace(std::string(key), entries_.size() - 1);
  } else if (entries_.size() > kIndexedSize) {
    reindex();
  }
  return entries_.back().second;
}

void Dictionary::set(std::string_view key, Value value) {
  if (Value* existing = find(key)) {
    *existing = std::move(value);
    return;
  }
  entries_.emplace_back(std::string(key), std::move(value));
  if (index_) {
    index_->positions.emplace(std::string(key), entries_.size() - 1);
  } else if (entries_.size() > kIndexedSize) {
    reindex();
  }
}

bool Dictionary::erase(std::string_view key) {
  const auto at = position(key);
  if (at < 0) return false;
  entries_.erase(entries_.begin() + at);
  reindex();
  return true;
}

void Dictionary::clear() {
  entries_.clear();
  index_.reset();
}

std::vector<std::string> Dictionary::keys() const {
  std::vector<std::string> keys;
  keys.reserve(entries_.size());
  for (const auto& entry : entries_) keys.push_back(entry.first);
  return keys;
}

bool Dictionary::operator==(const Dictionary& other) const {
  if (size() != other.size()) return false;
  for (const auto& [key, value] : entries_) {
    const Value* theirs = other.find(key);
    if (!theirs || !(*theirs == value)) return false;
  }
  return true;
}

void Dictionary::reindex() {
  if (entries_.size() <= kIndexedSize) {
    index_.reset();
    return;
  }
  if (!index_) index_ = std::make_unique<Index>();
  index_->positions.clear();
  index_->positions.reserve(entries_.size());
  for (std::size_t i = 0; i < entries_.size(); ++i) index_->positions.emplace(entries_[i].first, i);
}

// MARK: Value

Value::Value(unsigned long long value) {
  if (value > static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max())) {
    storage_ = static_cast<double>(value);
  } else {
    storage_ = static_cast<std::int64_t>(value);
  }
}

Value::Value(const std::optional<std::string>& text) {
  if (text) storage_ = *text;
}

std::optional<bool> Value::asBool() const {
  if (const auto* value = std::get_if<bool>(&storage_)) return *value;
  if (const auto* value = std::get_if<std::int64_t>(&storage_)) return *value != 0;
  if (const auto* value = std::get_if<double>(&storage_)) return *value != 0;
  return std::nullopt;
}

std::optional<std::int64_t> Value::asInteger() const {
  if (const auto* value = std::get_if<bool>(&storage_)) return *value ? 1 : 0;
  if (const auto* value = std::get_if<std::int64_t>(&storage_)) return *value;
  if (const auto* value = std::get_if<double>(&storage_)) {
    if (std::isnan(*value)) return std::nullopt;
    if (*value >= kTwoTo63) return std::numeric_limits<std::int64_t>::max();
    if (*value < -kTwoTo63) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(*value);
  }
  return std::nullopt;
}

std::optional<double> Value::asReal() const {
  if (const auto* value = std::get_if<bool>(&storage_)) return *value ? 1.0 : 0.0;
  if (const auto* value = std::get_if<std::int64_t>(&storage_)) return static_cast<double>(*value);
  if (const auto* value = std::get_if<double>(&storage_)) return *value;
  return std::nullopt;
}

std::optional<qby::Date> Value::asDate() const {
  if (const auto* value = std::get_if<qby::Date>(&storage_)) return *value;
  return std::nullopt;
}

std::optional<std::string> Value::asString() const {
  if (const auto* value = std::get_if<std::string>(&storage_)) return *value;
  return std::nullopt;
}

const Value& Value::operator[](std::string_view key) const {
  if (const auto* dictionary = dictionaryPtr()) return (*dictionary)[key];
  return nullValue();
}

std::string Value::description() const {
  std::string text;
  appendDescription(text, *this, 0, false);
  return text;
}

bool Value::operator==(const Value& other) const {
  if (isInteger() && other.isReal()) {
    return integerEqualsReal(std::get<std::int64_t>(storage_), std::get<double>(other.storage_));
  }
  if (isReal() && other.isInteger()) {
    return integerEqualsReal(std::get<std::int64_t>(other.storage_), std::get<double>(storage_));
  }
  return storage_ == other.storage_;
}

}  // namespace qby
