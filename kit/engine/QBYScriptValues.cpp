#include "engine/QBYScriptValues.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace qby {

namespace {

// Whole numbers up to 2^53 are exact in a double; beyond that a script's number is no
// integer any more and stays a real.
constexpr double kMaximumExactInteger = 9007199254740992.0;

GObjectPtr<JSCValue> property(JSCValue* object, const char* name) {
  return GObjectPtr<JSCValue>::adopt(jsc_value_object_get_property(object, name));
}

// The instance test evaluates the constructor's name as a script on every call, which costs
// more than copying a small object; only an object that answers to getTime can be a date
// worth copying as one, and that lookup is cheap.
bool isDate(JSCValue* value) {
  return jsc_value_is_object(value) && jsc_value_object_has_property(value, "getTime") &&
         jsc_value_object_is_instance_of(value, "Date");
}

// A short text form for the failure report; never calls into the value (its toString could
// throw or run for long).
std::string describe(JSCValue* value) {
  if (jsc_value_is_function(value)) return "function";
  if (jsc_value_is_array(value)) return "array";
  if (jsc_value_is_object(value)) return "object";
  if (jsc_value_is_string(value) || jsc_value_is_number(value) || jsc_value_is_boolean(value)) {
    if (GCharPtr text{jsc_value_to_string(value)}) return text.get();
  }
  return "(unknown)";
}

class Copier {
 public:
  explicit Copier(const QBYScriptCopyFailure& failure) : failure_(failure) {}

  // Nothing when the value cannot be copied (reported by the caller, which knows the
  // container); undefined is copied as null here and skipped by dictionaries.
  std::optional<Value> copy(JSCValue* value, int depth) {
    if (jsc_value_is_undefined(value) || jsc_value_is_null(value)) return Value();
    if (jsc_value_is_boolean(value)) return Value(static_cast<bool>(jsc_value_to_boolean(value)));
    if (jsc_value_is_number(value)) {
      const double number = jsc_value_to_double(value);
      if (std::isfinite(number) && std::trunc(number) == number &&
          std::fabs(number) <= kMaximumExactInteger)
        return Value(static_cast<std::int64_t>(number));
      return Value(number);
    }
    if (jsc_value_is_string(value)) {
      // Through bytes, so a text with a NUL character is not cut short.
      const GBytesPtr bytes(jsc_value_to_string_as_bytes(value));
      if (!bytes) return Value(std::string());
      gsize size = 0;
      const auto* data = static_cast<const char*>(g_bytes_get_data(bytes.get(), &size));
      return Value(std::string(data ? data : "", size));
    }
    if (jsc_value_is_function(value) || !jsc_value_is_object(value)) return std::nullopt;
    if (depth >= QBYScriptValueMaxDepth) return std::nullopt;
    if (isDate(value)) {
      auto milliseconds = GObjectPtr<JSCValue>::adopt(
          jsc_value_object_invoke_method(value, "getTime", G_TYPE_NONE));
      if (!milliseconds || !jsc_value_is_number(milliseconds.get())) return std::nullopt;
      const double time = jsc_value_to_double(milliseconds.get());
      if (!std::isfinite(time)) return std::nullopt;  // an invalid date
      return Value(Date(time / 1000.0));
    }
    if (jsc_value_is_array(value)) return copyArray(value, depth);
    return copyObject(value, depth);
  }

 private:
  Value copyArray(JSCValue* array, int depth) {
    Array result;
    auto lengthValue = property(array, "length");
    const double length = lengthValue ? jsc_value_to_double(lengthValue.get()) : 0;
    if (!(length > 0)) return Value(std::move(result));
    const auto count = static_cast<std::uint64_t>(length);
    result.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, 1024)));
    for (std::uint64_t index = 0; index < count; ++index) {
      auto element =
          GObjectPtr<JSCValue>::adopt(jsc_value_object_get_property_at_index(array, index));
      auto copied = element ? copy(element.get(), depth + 1) : std::optional<Value>(Value());
      if (!copied) {
        report(element.get(), array);
        continue;
      }
      result.push_back(std::move(*copied));
    }
    return Value(std::move(result));
  }

  Value copyObject(JSCValue* object, int depth) {
    Dictionary result;
    const GStrvPtr names(jsc_value_object_enumerate_properties(object));
    if (!names) return Value(std::move(result));
    for (gchar** name = names.get(); *name; ++name) {
      auto member = property(object, *name);
      if (!member || jsc_value_is_undefined(member.get())) continue;
      auto copied = copy(member.get(), depth + 1);
      if (!copied) {
        report(member.get(), object);
        continue;
      }
      result.set(*name, std::move(*copied));
    }
    return Value(std::move(result));
  }

  void report(JSCValue* value, JSCValue* container) {
    if (failure_) failure_(value ? describe(value) : "(null)", describe(container));
  }

  const QBYScriptCopyFailure& failure_;
};

// --- The text route ---
//
// Copying part by part costs a wrapper object and a call into the engine for every property.
// For plain data (plain objects, arrays, texts, finite numbers, booleans, null and valid
// dates) a script walks the value once and hands over JSON text, which is parsed straight
// into Values. Anything the walk cannot promise to copy exactly as the part-by-part route
// would (functions, class instances, invalid dates, non-finite numbers, keys holding NUL,
// nesting too deep, lone surrogates, a getter that throws) makes it give up, and the caller
// takes the part-by-part route, which also reports what it leaves out.

constexpr const char* kTextCopierName = "__qbyValueText";

// Dates travel as an object whose only key is this marker; an object that has the key
// itself sends the copy down the other route.
constexpr std::string_view kDateMarker =
    "\x01"
    "date";

// The built-in functions it uses are taken when it is put in place, before any script runs,
// so a script that replaces them later changes nothing.
constexpr std::string_view kTextCopierSource = R"JS(
Object.defineProperty(globalThis, '__qbyValueText', {value: (function() {
  var marker = '\u0001date';
  var getPrototypeOf = Object.getPrototypeOf;
  var objectPrototype = Object.prototype;
  var arrayPrototype = Array.prototype;
  var datePrototype = Date.prototype;
  var getTime = Date.prototype.getTime;
  var isArray = Array.isArray;
  var quote = JSON.stringify;
  var nul = /\u0000/;
  var hasNul = nul.test.bind(nul);
  var timeOf = getTime.call.bind(getTime);
  var giveUp = {};
  function walk(value, depth) {
    if (value === undefined || value === null) return 'null';
    switch (typeof value) {
      case 'string':
        return quote(value);
      case 'number':
        if (value - value !== 0) throw giveUp;
        return '' + value;
      case 'boolean':
        return value ? 'true' : 'false';
      case 'object':
        break;
      default:
        throw giveUp;
    }
    if (depth >= MAX_DEPTH) throw giveUp;
    var prototype = getPrototypeOf(value);
    var text = '';
    if (prototype === arrayPrototype && isArray(value)) {
      var length = value.length;
      for (var index = 0; index < length; index++)
        text += (index ? ',' : '') + walk(value[index], depth + 1);
      return '[' + text + ']';
    }
    if (prototype === datePrototype) {
      if (value.getTime !== getTime) throw giveUp;
      var time = timeOf(value);
      if (time !== time) throw giveUp;
      return '{"\\u0001date":' + time + '}';
    }
    if (prototype !== objectPrototype && prototype !== null) throw giveUp;
    for (var key in value) {
      var member = value[key];
      if (member === undefined) continue;
      if (key === marker || hasNul(key)) throw giveUp;
      text += (text ? ',' : '') + quote(key) + ':' + walk(member, depth + 1);
    }
    return '{' + text + '}';
  }
  return function(value) {
    // Inherited enumerable properties would be copied by the other route.
    for (var inherited in objectPrototype) return undefined;
    try {
      return walk(value, 0);
    } catch (error) {
      return undefined;
    }
  };
})()});
)JS";

bool installTextCopier(JSCContext* context) {
  std::string source(kTextCopierSource);
  const std::string depthName = "MAX_DEPTH";
  source.replace(source.find(depthName), depthName.size(), std::to_string(QBYScriptValueMaxDepth));
  GObjectPtr<JSCValue>::adopt(
      jsc_context_evaluate(context, source.data(), static_cast<gssize>(source.size())));
  auto copier = GObjectPtr<JSCValue>::adopt(jsc_context_get_value(context, kTextCopierName));
  return copier && jsc_value_is_function(copier.get());
}

// Builds Values from the walk's JSON text as the parser reads it, numbers by the same rule as
// the part-by-part route.
class TextBuilder {
 public:
  using json = nlohmann::json;

  bool null() { return add(Value()); }
  bool boolean(bool value) { return add(Value(value)); }
  bool number_integer(json::number_integer_t value) {
    return add(numberValue(static_cast<double>(value), value));
  }
  bool number_unsigned(json::number_unsigned_t value) {
    if (value > static_cast<json::number_unsigned_t>(kMaximumExactInteger))
      return add(Value(static_cast<double>(value)));
    return add(Value(static_cast<std::int64_t>(value)));
  }
  bool number_float(json::number_float_t value, const json::string_t&) {
    if (std::isfinite(value) && std::trunc(value) == value &&
        std::fabs(value) <= kMaximumExactInteger)
      return add(Value(static_cast<std::int64_t>(value)));
    return add(Value(value));
  }
  bool string(json::string_t& value) { return add(Value(std::move(value))); }
  bool binary(json::binary_t&) { return false; }
  bool start_object(std::size_t) {
    frames_.emplace_back().kind = Frame::Kind::Object;
    return true;
  }
  bool key(json::string_t& key) {
    Frame& frame = frames_.back();
    if (key == kDateMarker) {
      if (frame.kind != Frame::Kind::Object || !frame.dictionary.empty()) return false;
      frame.kind = Frame::Kind::Date;
      return true;
    }
    if (frame.kind != Frame::Kind::Object) return false;
    frame.key = std::move(key);
    return true;
  }
  bool end_object() {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    if (frame.kind == Frame::Kind::Date) {
      if (!frame.time) return false;
      return add(Value(Date(*frame.time / 1000.0)));
    }
    return add(Value(std::move(frame.dictionary)));
  }
  bool start_array(std::size_t) {
    frames_.emplace_back().kind = Frame::Kind::Array;
    return true;
  }
  bool end_array() {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    return add(Value(std::move(frame.array)));
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  std::optional<Value> take() {
    if (!frames_.empty()) return std::nullopt;
    return std::move(result_);
  }

 private:
  struct Frame {
    enum class Kind { Object, Array, Date } kind = Kind::Object;
    Dictionary dictionary;
    Array array;
    std::string key;
    std::optional<double> time;
  };

  static Value numberValue(double number, std::int64_t exact) {
    if (std::fabs(number) <= kMaximumExactInteger) return Value(exact);
    return Value(number);
  }

  bool add(Value value) {
    if (frames_.empty()) {
      if (result_) return false;
      result_ = std::move(value);
      return true;
    }
    Frame& frame = frames_.back();
    switch (frame.kind) {
      case Frame::Kind::Array:
        frame.array.push_back(std::move(value));
        return true;
      case Frame::Kind::Object:
        frame.dictionary.set(frame.key, std::move(value));
        return true;
      case Frame::Kind::Date:
        if (frame.time || !(value.isInteger() || value.isReal())) return false;
        frame.time = *value.asReal();
        return true;
    }
    return false;
  }

  std::vector<Frame> frames_;
  std::optional<Value> result_;
};

}  // namespace

void prepareScriptValues(JSCContext* context) {
  if (!context) return;
  auto copier = GObjectPtr<JSCValue>::adopt(jsc_context_get_value(context, kTextCopierName));
  if (!copier || !jsc_value_is_function(copier.get())) installTextCopier(context);
}

std::optional<Value> valueFromScriptText(JSCValue* value) {
  if (!value || !jsc_value_is_object(value) || jsc_value_is_function(value)) return std::nullopt;
  JSCContext* context = jsc_value_get_context(value);
  if (!context) return std::nullopt;
  auto copier = GObjectPtr<JSCValue>::adopt(jsc_context_get_value(context, kTextCopierName));
  if (!copier || !jsc_value_is_function(copier.get())) {
    if (!installTextCopier(context)) return std::nullopt;
    copier = GObjectPtr<JSCValue>::adopt(jsc_context_get_value(context, kTextCopierName));
  }
  JSCValue* arguments[] = {value};
  auto text = GObjectPtr<JSCValue>::adopt(jsc_value_function_callv(copier.get(), 1, arguments));
  if (!text || !jsc_value_is_string(text.get())) return std::nullopt;
  const GBytesPtr bytes(jsc_value_to_string_as_bytes(text.get()));
  if (!bytes) return std::nullopt;
  gsize size = 0;
  const auto* data = static_cast<const char*>(g_bytes_get_data(bytes.get(), &size));
  TextBuilder builder;
  if (!data || !nlohmann::json::sax_parse(data, data + size, &builder)) return std::nullopt;
  return builder.take();
}

Value valueFromScript(JSCValue* value, const QBYScriptCopyFailure& failure) {
  if (auto copied = valueFromScriptText(value)) return std::move(*copied);
  return valueFromScriptByParts(value, failure);
}

Value valueFromScriptByParts(JSCValue* value, const QBYScriptCopyFailure& failure) {
  if (!value) return Value();
  Copier copier(failure);
  auto copied = copier.copy(value, 0);
  if (!copied) {
    if (failure) failure(describe(value), "(top level)");
    return Value();
  }
  return std::move(*copied);
}

GObjectPtr<JSCValue> scriptValueFromValue(JSCContext* context, const Value& value) {
  switch (value.type()) {
    case Value::Type::Null:
      return GObjectPtr<JSCValue>::adopt(jsc_value_new_null(context));
    case Value::Type::Bool:
      return GObjectPtr<JSCValue>::adopt(jsc_value_new_boolean(context, *value.asBool()));
    case Value::Type::Integer:
    case Value::Type::Real:
      return GObjectPtr<JSCValue>::adopt(jsc_value_new_number(context, *value.asReal()));
    case Value::Type::String: {
      const std::string& text = *value.stringPtr();
      // Through bytes, so a text with a NUL character reaches the script whole.
      const GBytesPtr bytes(g_bytes_new(text.data(), text.size()));
      return GObjectPtr<JSCValue>::adopt(jsc_value_new_string_from_bytes(context, bytes.get()));
    }
    case Value::Type::Date: {
      auto constructor = GObjectPtr<JSCValue>::adopt(jsc_context_get_value(context, "Date"));
      auto milliseconds = GObjectPtr<JSCValue>::adopt(
          jsc_value_new_number(context, value.asDate()->timeIntervalSince1970() * 1000.0));
      JSCValue* arguments[] = {milliseconds.get()};
      if (constructor && jsc_value_is_constructor(constructor.get()))
        return GObjectPtr<JSCValue>::adopt(
            jsc_value_constructor_callv(constructor.get(), 1, arguments));
      return milliseconds;
    }
    case Value::Type::Data: {
      auto array = GObjectPtr<JSCValue>::adopt(jsc_value_new_array(context, G_TYPE_NONE));
      const Data& data = *value.dataPtr();
      for (std::size_t index = 0; index < data.size(); ++index) {
        auto byte = GObjectPtr<JSCValue>::adopt(jsc_value_new_number(context, data[index]));
        jsc_value_object_set_property_at_index(array.get(), index, byte.get());
      }
      return array;
    }
    case Value::Type::Array: {
      auto array = GObjectPtr<JSCValue>::adopt(jsc_value_new_array(context, G_TYPE_NONE));
      const Array& elements = *value.arrayPtr();
      for (std::size_t index = 0; index < elements.size(); ++index) {
        auto element = scriptValueFromValue(context, elements[index]);
        jsc_value_object_set_property_at_index(array.get(), index, element.get());
      }
      return array;
    }
    case Value::Type::Dictionary: {
      auto object = GObjectPtr<JSCValue>::adopt(jsc_value_new_object(context, nullptr, nullptr));
      for (const auto& [key, member] : *value.dictionaryPtr()) {
        auto converted = scriptValueFromValue(context, member);
        jsc_value_object_set_property(object.get(), key.c_str(), converted.get());
      }
      return object;
    }
  }
  return GObjectPtr<JSCValue>::adopt(jsc_value_new_undefined(context));
}

std::optional<std::string> scriptText(JSCValue* value) {
  if (!value || jsc_value_is_undefined(value) || jsc_value_is_null(value)) return std::nullopt;
  GCharPtr text{jsc_value_to_string(value)};
  if (!text) return std::nullopt;
  return std::string(text.get());
}

}  // namespace qby
