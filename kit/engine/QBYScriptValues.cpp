#include "engine/QBYScriptValues.h"

#include <cmath>
#include <cstdint>
#include <string_view>

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
      GBytes* bytes = jsc_value_to_string_as_bytes(value);
      if (!bytes) return Value(std::string());
      gsize size = 0;
      const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
      Value text(std::string(data ? data : "", size));
      g_bytes_unref(bytes);
      return text;
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
    gchar** names = jsc_value_object_enumerate_properties(object);
    if (!names) return Value(std::move(result));
    for (gchar** name = names; *name; ++name) {
      auto member = property(object, *name);
      if (!member || jsc_value_is_undefined(member.get())) continue;
      auto copied = copy(member.get(), depth + 1);
      if (!copied) {
        report(member.get(), object);
        continue;
      }
      result.set(*name, std::move(*copied));
    }
    g_strfreev(names);
    return Value(std::move(result));
  }

  void report(JSCValue* value, JSCValue* container) {
    if (failure_) failure_(value ? describe(value) : "(null)", describe(container));
  }

  const QBYScriptCopyFailure& failure_;
};

}  // namespace

Value valueFromScript(JSCValue* value, const QBYScriptCopyFailure& failure) {
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
      GBytes* bytes = g_bytes_new(text.data(), text.size());
      auto result = GObjectPtr<JSCValue>::adopt(jsc_value_new_string_from_bytes(context, bytes));
      g_bytes_unref(bytes);
      return result;
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
