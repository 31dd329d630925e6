// Conversion between the script context's values and qby::Value, so that what crosses from a
// script to the rest of the system is a plain copy that no longer refers to the context.
//
// Queue only: both directions touch the context and must run where the context is used.
#pragma once

#include <jsc/jsc.h>

#include <functional>
#include <optional>
#include <string>

#include "platform/GLibPtr.h"
#include "platform/Value.h"

namespace qby {

// Nesting deeper than this is not data a script means to hand over (a cyclic object has no
// end at all); such parts are left out.
inline constexpr int QBYScriptValueMaxDepth = 64;

// Called for each part that cannot be copied, with the part's text form and the text form of
// the container it was in.
using QBYScriptCopyFailure =
    std::function<void(const std::string& value, const std::string& container)>;

// A deep copy of a script value: null, booleans, numbers (whole numbers within 2^53 as
// integers, others as reals), texts, dates, arrays and plain objects (own enumerable
// properties, in order). Undefined dictionary entries are left out silently; functions,
// symbols and parts nested too deeply are left out and reported. Undefined at the top level
// and in arrays reads as null, so array positions keep their meaning.
Value valueFromScript(JSCValue* value, const QBYScriptCopyFailure& failure = {});

// Readies a fresh context for valueFromScript before any script runs in it (valueFromScript
// does so itself otherwise).
void prepareScriptValues(JSCContext* context);

// The two routes valueFromScript takes, apart so that tests can hold them to the same answers.
// The text route copies plain data (objects and arrays of texts, numbers, booleans, null and
// dates) in one pass and answers nothing for anything else; the part-by-part route copies
// every value and reports what it leaves out.
std::optional<Value> valueFromScriptText(JSCValue* value);
Value valueFromScriptByParts(JSCValue* value, const QBYScriptCopyFailure& failure = {});

// A script value for the Value: dictionaries become plain objects, arrays arrays, dates Date
// objects, data arrays of byte values.
GObjectPtr<JSCValue> scriptValueFromValue(JSCContext* context, const Value& value);

// The value's text form as the script would print it; nothing for undefined and null.
std::optional<std::string> scriptText(JSCValue* value);

}  // namespace qby
