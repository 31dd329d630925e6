// JSON conversion of Value through nlohmann::json. Reading goes through the SAX interface so
// that the Value is built directly, in document order, with a nesting limit checked before
// anything deep is built; writing goes through ordered_json so key order survives.
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <utility>

#include "platform/QBYError.h"
#include "platform/Value.h"

namespace qby {

namespace {

using Json = nlohmann::ordered_json;

QBYError jsonError(std::int64_t code, std::string description, Dictionary userInfo = {}) {
  return QBYError::make(QBYErrorDomainJSON, code, std::move(description), std::move(userInfo));
}

class ValueBuilder final : public nlohmann::json_sax<Json> {
 public:
  bool null() override { return add(Value()); }
  bool boolean(bool value) override { return add(Value(value)); }
  bool number_integer(number_integer_t value) override {
    return add(Value(static_cast<std::int64_t>(value)));
  }
  // Above the signed 64-bit range an integer becomes a real, the nearest we can hold.
  bool number_unsigned(number_unsigned_t value) override {
    return add(Value(static_cast<unsigned long long>(value)));
  }
  bool number_float(number_float_t value, const string_t&) override { return add(Value(value)); }
  bool string(string_t& value) override { return add(Value(std::move(value))); }
  bool binary(binary_t&) override {
    return fail(jsonError(QBYValueErrorUnrepresentable, "Binary values are not JSON text"));
  }

  bool start_object(std::size_t) override { return open(Value(Dictionary())); }
  bool key(string_t& key) override {
    frames_.back().key = std::move(key);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(Value(Array())); }
  bool end_array() override { return close(); }

  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& exception) override {
    // A failure we reported ourselves (too deep) stops the parser too; keep our error.
    if (!error_) {
      error_ = jsonError(QBYValueErrorUnreadable, exception.what(),
                         {{"offset", Value(static_cast<unsigned long long>(position))}});
    }
    return false;
  }

  std::optional<Value> takeResult() {
    if (error_ || !root_) return std::nullopt;
    return std::move(root_);
  }
  std::optional<QBYError> error() const { return error_; }

 private:
  struct Frame {
    Value container;
    std::string key;
  };

  bool add(Value value) {
    if (frames_.empty()) {
      root_ = std::move(value);
      return true;
    }
    Frame& top = frames_.back();
    if (Array* array = top.container.arrayPtr()) {
      array->push_back(std::move(value));
    } else {
      // A repeated key keeps its first position and takes the later value.
      top.container.dictionaryPtr()->set(top.key, std::move(value));
    }
    return true;
  }

  bool open(Value container) {
    if (frames_.size() >= static_cast<std::size_t>(QBYValueMaxDepth)) {
      return fail(jsonError(
          QBYValueErrorTooDeep,
          "JSON text is nested more than " + std::to_string(QBYValueMaxDepth) + " levels deep"));
    }
    frames_.push_back(Frame{std::move(container), {}});
    return true;
  }

  bool close() {
    Value finished = std::move(frames_.back().container);
    frames_.pop_back();
    return add(std::move(finished));
  }

  bool fail(QBYError error) {
    if (!error_) error_ = std::move(error);
    return false;
  }

  std::vector<Frame> frames_;
  std::optional<Value> root_;
  std::optional<QBYError> error_;
};

// Builds the ordered_json for a value; answers false with the error set for values JSON
// cannot hold.
bool toJson(const Value& value, Json& out, int depth, QBYError& error) {
  switch (value.type()) {
    case Value::Type::Null:
      out = nullptr;
      return true;
    case Value::Type::Bool:
      out = *value.asBool();
      return true;
    case Value::Type::Integer:
      out = *value.asInteger();
      return true;
    case Value::Type::Real: {
      const double real = *value.asReal();
      if (!std::isfinite(real)) {
        // JSON has no NaN or infinity; writing null would silently change the value.
        error = jsonError(QBYValueErrorUnrepresentable,
                          "Invalid number value (" + value.description() + ") in JSON write");
        return false;
      }
      out = real;
      return true;
    }
    case Value::Type::String:
      out = *value.stringPtr();
      return true;
    case Value::Type::Date:
      error = jsonError(QBYValueErrorUnrepresentable, "Invalid type in JSON write (date)");
      return false;
    case Value::Type::Data:
      error = jsonError(QBYValueErrorUnrepresentable, "Invalid type in JSON write (data)");
      return false;
    case Value::Type::Array:
    case Value::Type::Dictionary:
      break;
  }
  if (depth >= QBYValueMaxDepth) {
    error = jsonError(QBYValueErrorTooDeep, "Value is nested more than " +
                                                std::to_string(QBYValueMaxDepth) + " levels deep");
    return false;
  }
  if (const Array* array = value.arrayPtr()) {
    out = Json::array();
    for (const Value& element : *array) {
      Json converted;
      if (!toJson(element, converted, depth + 1, error)) return false;
      out.push_back(std::move(converted));
    }
    return true;
  }
  out = Json::object();
  for (const auto& [key, element] : *value.dictionaryPtr()) {
    Json converted;
    if (!toJson(element, converted, depth + 1, error)) return false;
    out[key] = std::move(converted);
  }
  return true;
}

}  // namespace

std::optional<Value> Value::fromJSON(std::string_view json, QBYError* error) {
  ValueBuilder builder;
  try {
    Json::sax_parse(json.begin(), json.end(), &builder, nlohmann::json::input_format_t::json,
                    /*strict=*/true, /*ignore_comments=*/false);
  } catch (const std::exception& exception) {
    setError(error, jsonError(QBYValueErrorUnreadable, exception.what()));
    return std::nullopt;
  }
  if (auto result = builder.takeResult()) return result;
  setError(error, builder.error().value_or(jsonError(QBYValueErrorUnreadable, "No JSON value")));
  return std::nullopt;
}

std::optional<std::string> Value::toJSON(bool pretty, QBYError* error) const {
  Json json;
  QBYError failure;
  if (!toJson(*this, json, 0, failure)) {
    setError(error, std::move(failure));
    return std::nullopt;
  }
  try {
    // Strict: a text that is not valid UTF-8 is an error rather than silently altered.
    return json.dump(pretty ? 2 : -1, ' ', /*ensure_ascii=*/false,
                     nlohmann::json::error_handler_t::strict);
  } catch (const std::exception& exception) {
    setError(error, jsonError(QBYValueErrorUnrepresentable, exception.what()));
    return std::nullopt;
  }
}

}  // namespace qby
