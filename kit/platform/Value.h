// The property-list value that stands for every dictionary, array, number, text, date and
// data blob the system exchanges: settings and results dictionaries, guesses, defaults,
// archives. Dictionaries keep insertion order, because several forms fix their key order;
// equality of dictionaries ignores order, as the platform's does.
//
// A value type; copies are deep. Not synchronised: share a Value between threads only by copy.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "platform/Date.h"

namespace qby {

struct QBYError;
class Value;

using Data = std::vector<std::uint8_t>;
using Array = std::vector<Value>;

class Dictionary {
 public:
  using Entry = std::pair<std::string, Value>;
  using const_iterator = std::vector<Entry>::const_iterator;
  using iterator = std::vector<Entry>::iterator;

  Dictionary() = default;
  // A key given twice keeps its first position and its last value.
  Dictionary(std::initializer_list<Entry> entries);
  Dictionary(const Dictionary& other);
  Dictionary(Dictionary&& other) noexcept;
  Dictionary& operator=(const Dictionary& other);
  Dictionary& operator=(Dictionary&& other) noexcept;
  ~Dictionary();

  // nullptr when the key is missing.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  bool contains(std::string_view key) const { return find(key) != nullptr; }

  // The value for the key, or a null value when the key is missing.
  const Value& operator[](std::string_view key) const;
  // Inserts a null value at the end when the key is missing.
  Value& operator[](std::string_view key);

  // Replaces the value in place (the key keeps its position) or appends the key.
  void set(std::string_view key, Value value);
  bool erase(std::string_view key);
  void clear();

  std::size_t size() const;
  bool empty() const;
  std::vector<std::string> keys() const;

  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }

  // Same keys with equal values, in any order.
  bool operator==(const Dictionary& other) const;

 private:
  // Lets the index be searched with a string_view without building a std::string.
  struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view key) const {
      return std::hash<std::string_view>{}(key);
    }
  };
  struct Index {
    std::unordered_map<std::string, std::size_t, KeyHash, std::equal_to<>> positions;
  };

  // Rebuilds the index when the dictionary is large enough to need one, drops it otherwise.
  void reindex();
  std::ptrdiff_t position(std::string_view key) const;

  // Most dictionaries hold a handful of keys and are scanned; only large ones carry a hash
  // index. Keeping the index out of line keeps Value small, which matters for records that
  // hold one Value per attribute.
  std::vector<Entry> entries_;
  std::unique_ptr<Index> index_;
};

class Value {
 public:
  enum class Type { Null, Bool, Integer, Real, String, Date, Data, Array, Dictionary };
  enum class PlistFormat { XML, Binary };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool value) : storage_(value) {}
  Value(int value) : storage_(static_cast<std::int64_t>(value)) {}
  Value(long value) : storage_(static_cast<std::int64_t>(value)) {}
  Value(long long value) : storage_(static_cast<std::int64_t>(value)) {}
  Value(unsigned value) : storage_(static_cast<std::int64_t>(value)) {}
  // Unsigned numbers above the 64-bit signed range become reals rather than wrap around.
  Value(unsigned long value) : Value(static_cast<unsigned long long>(value)) {}
  Value(unsigned long long value);
  Value(double value) : storage_(value) {}
  Value(const char* text) : storage_(std::string(text)) {}
  Value(std::string_view text) : storage_(std::string(text)) {}
  Value(std::string text) : storage_(std::move(text)) {}
  Value(qby::Date date) : storage_(date) {}
  Value(qby::Data data) : storage_(std::move(data)) {}
  Value(qby::Array array) : storage_(std::move(array)) {}
  Value(qby::Dictionary dictionary) : storage_(std::move(dictionary)) {}
  // Absent texts become null, so optional fields can be passed straight in.
  Value(const std::optional<std::string>& text);

  Type type() const { return static_cast<Type>(storage_.index()); }
  bool isNull() const { return type() == Type::Null; }
  bool isBool() const { return type() == Type::Bool; }
  bool isInteger() const { return type() == Type::Integer; }
  bool isReal() const { return type() == Type::Real; }
  bool isNumber() const { return isBool() || isInteger() || isReal(); }
  bool isString() const { return type() == Type::String; }
  bool isDate() const { return type() == Type::Date; }
  bool isData() const { return type() == Type::Data; }
  bool isArray() const { return type() == Type::Array; }
  bool isDictionary() const { return type() == Type::Dictionary; }

  // Typed reads. Numbers convert among each other (booleans read as 0 or 1, reals truncate
  // toward zero and saturate at the 64-bit range; NaN reads as nothing; a number reads as a
  // boolean "not zero"); other kinds answer nothing.
  std::optional<bool> asBool() const;
  std::optional<std::int64_t> asInteger() const;
  std::optional<double> asReal() const;
  std::optional<qby::Date> asDate() const;
  // The text when the value is a text, else nothing.
  std::optional<std::string> asString() const;

  // Borrowed access; nullptr when the value is of another kind.
  const std::string* stringPtr() const { return std::get_if<std::string>(&storage_); }
  const qby::Data* dataPtr() const { return std::get_if<qby::Data>(&storage_); }
  const qby::Array* arrayPtr() const { return std::get_if<qby::Array>(&storage_); }
  qby::Array* arrayPtr() { return std::get_if<qby::Array>(&storage_); }
  const qby::Dictionary* dictionaryPtr() const { return std::get_if<qby::Dictionary>(&storage_); }
  qby::Dictionary* dictionaryPtr() { return std::get_if<qby::Dictionary>(&storage_); }

  // A dictionary's value for the key; null when missing or when this is not a dictionary.
  const Value& operator[](std::string_view key) const;

  // The text form the platform's "%@" prints:
  // - texts as they are; integers in decimal; reals in the shortest form that reads back to
  //   the same number ("1.5", "0.1", "1" for 1.0, "1e+20"); booleans as 1 or 0; null as
  //   "(null)"; dates as "2024-01-31 12:00:00 +0000" (UTC); data as
  //   "{length = 3, bytes = 0x0a0b0c}" (beyond 24 bytes only the first and last 8 bytes,
  //   "0x0001020304050607 ... 18191a1b1c1d1e1f");
  // - arrays as "(\n    a,\n    b\n)" and dictionaries as "{\n    key = value;\n}", in order,
  //   each nesting level indented by four more spaces; empty ones as "(\n)" and "{\n}";
  // - inside an array or dictionary, texts, keys and dates are quoted ("\"two words\"") unless
  //   they are non-empty and consist of ASCII letters, digits and "_" only; within quotes,
  //   '"' and '\\' are escaped with a backslash and newline, tab and carriage return read \n,
  //   \t and \r; other bytes, UTF-8 included, stay as they are. A null inside prints "<null>".
  std::string description() const;

  // Same kind and equal contents. Integers and reals compare by numeric value (1 == 1.0), as
  // the platform's numbers do; booleans equal only booleans; dictionaries ignore order.
  bool operator==(const Value& other) const;

  // JSON, through an ordered parser and writer, so key order survives both ways.
  // - Reading: integers that fit 64 bits signed stay integers, larger ones become reals;
  //   numbers written with a fraction or exponent ("1.0", "1e2") are reals; a repeated key
  //   keeps its first position and its last value. Any top-level value is accepted.
  // - Writing: reals are always written as reals ("1.0"), compact or pretty (two spaces).
  // - Failures (nothing is returned, *error is set, never an exception): malformed text, with
  //   the parser's message; nesting deeper than QBYValueMaxDepth; dates, data, NaN, infinity
  //   and texts that are not UTF-8, which JSON cannot hold. Domain QBYErrorDomainJSON.
  static std::optional<Value> fromJSON(std::string_view json, QBYError* error = nullptr);
  std::optional<std::string> toJSON(bool pretty = false, QBYError* error = nullptr) const;

  // Property lists, XML and binary (the format is detected on reading).
  // - Dates: binary plists keep microseconds; XML ones hold whole seconds (written rounded
  //   down); only dates from 1933 to 2069 fit (the plist library's 32-bit seconds).
  // - Integers: 64-bit signed both ways; an unsigned number above that range reads as a real.
  // - Keyed-archive references (UIDs) read as {"CF$UID" = n}, as XML plists spell them.
  // - Texts and keys that are not UTF-8 are read with U+FFFD for each byte that starts no
  //   well-formed sequence, so that whatever is read can be written again.
  // - Failures (domain QBYErrorDomainPropertyList): damaged, truncated or unknown input;
  //   nesting deeper than QBYValueMaxDepth; a key with a NUL character; and on writing, null
  //   (plists have none), NaN in XML, dates out of range, texts or keys with a NUL character
  //   or not in UTF-8.
  static std::optional<Value> fromPlist(std::string_view bytes, QBYError* error = nullptr);
  std::optional<std::string> toPlist(PlistFormat format, QBYError* error = nullptr) const;

 private:
  std::variant<std::monostate, bool, std::int64_t, double, std::string, qby::Date, qby::Data,
               qby::Array, qby::Dictionary>
      storage_;
};

// Defined here, where Value is complete: clang instantiates these vector members as soon as
// it reads them.
inline std::size_t Dictionary::size() const {
  return entries_.size();
}
inline bool Dictionary::empty() const {
  return entries_.empty();
}

}  // namespace qby
