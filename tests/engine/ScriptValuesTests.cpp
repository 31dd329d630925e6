// Copies of script values: the one-pass text route must give exactly what the part-by-part
// route gives, and hand every value it cannot promise that for back to it.
#include <gtest/gtest.h>
#include <jsc/jsc.h>

#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/QBYScriptValues.h"
#include "platform/GLibPtr.h"

namespace qby {
namespace {

using Reports = std::vector<std::pair<std::string, std::string>>;

// Equality that counts NaN as equal to itself, so that copies of it can be compared.
bool same(const Value& left, const Value& right) {
  if (left.isReal() && right.isReal() && std::isnan(*left.asReal()))
    return std::isnan(*right.asReal());
  if (left.isArray() && right.isArray()) {
    const Array& one = *left.arrayPtr();
    const Array& other = *right.arrayPtr();
    if (one.size() != other.size()) return false;
    for (std::size_t index = 0; index < one.size(); ++index)
      if (!same(one[index], other[index])) return false;
    return true;
  }
  if (left.isDictionary() && right.isDictionary()) {
    const Dictionary& one = *left.dictionaryPtr();
    const Dictionary& other = *right.dictionaryPtr();
    if (one.keys() != other.keys()) return false;
    for (const auto& [key, member] : one)
      if (!same(member, other[key])) return false;
    return true;
  }
  return left == right;
}

class ScriptValuesTest : public ::testing::Test {
 protected:
  ScriptValuesTest() : context_(GObjectPtr<JSCContext>::adopt(jsc_context_new())) {}

  GObjectPtr<JSCValue> evaluate(const std::string& code) {
    const std::string expression = "(" + code + ")";
    // An exception stays on the context until cleared; a getter that throws leaves one.
    jsc_context_clear_exception(context_.get());
    auto value = GObjectPtr<JSCValue>::adopt(
        jsc_context_evaluate(context_.get(), expression.data(), expression.size()));
    EXPECT_EQ(jsc_context_get_exception(context_.get()), nullptr) << code;
    return value;
  }

  // The value through both routes; the text route must have taken it.
  Value copiedByText(const std::string& code) {
    auto value = evaluate(code);
    const auto text = valueFromScriptText(value.get());
    const Value parts = valueFromScriptByParts(value.get());
    if (!text) {
      ADD_FAILURE() << "the text route declined " << code;
      return parts;
    }
    EXPECT_TRUE(*text == parts) << code;
    return *text;
  }

  // A value the text route must leave alone; the whole copy, reports included, is then the
  // part-by-part one.
  void expectDeclined(const std::string& code) {
    auto value = evaluate(code);
    EXPECT_FALSE(valueFromScriptText(value.get()).has_value()) << code;
    expectSameCopy(value.get(), code);
  }

  void expectSameCopy(JSCValue* value, const std::string& code) {
    Reports viaDefault;
    Reports viaParts;
    const Value copied = valueFromScript(
        value,
        [&](const std::string& part, const std::string& in) { viaDefault.emplace_back(part, in); });
    const Value parts = valueFromScriptByParts(
        value,
        [&](const std::string& part, const std::string& in) { viaParts.emplace_back(part, in); });
    EXPECT_TRUE(same(copied, parts)) << code;
    EXPECT_EQ(viaDefault, viaParts) << code;
  }

  GObjectPtr<JSCContext> context_;
};

TEST_F(ScriptValuesTest, NestedPlainDataCopiesAlike) {
  const Value value = copiedByText(
      "{a: 1, b: 'x', c: [1, 2.5, null, undefined, true, false], d: {e: {f: 'g'}}, "
      "skipped: undefined, empty: {}, none: [], deep: [[[]], [[1]]], holes: [1, , 3]}");
  EXPECT_FALSE(value.dictionaryPtr()->contains("skipped"));
  EXPECT_TRUE(value["c"].arrayPtr()->at(3).isNull());
  EXPECT_TRUE(value["holes"].arrayPtr()->at(1).isNull());
  EXPECT_EQ(value["d"]["e"]["f"].asString(), "g");
  EXPECT_EQ(copiedByText("Object.assign(Object.create(null), {x: 1})")["x"].asInteger(), 1);
  copiedByText("[]");
  copiedByText("[{}, [{a: [{}]}]]");
}

TEST_F(ScriptValuesTest, NumbersKeepTheIntegerRule) {
  const Value value = copiedByText(
      "{exact: 9007199254740992, beyond: 9007199254740994, huge: 1e21, tiny: 5e-324, "
      "negativeZero: -0, negative: -42, fraction: -0.1, twoTo60: 1152921504606846976, "
      "twoTo64: 18446744073709551616, max: Number.MAX_VALUE, wholeReal: 3.0}");
  EXPECT_TRUE(value["exact"].isInteger());
  EXPECT_TRUE(value["beyond"].isReal());
  EXPECT_TRUE(value["huge"].isReal());
  EXPECT_TRUE(value["twoTo60"].isReal());
  EXPECT_TRUE(value["twoTo64"].isReal());
  EXPECT_TRUE(value["tiny"].isReal());
  EXPECT_EQ(value["negativeZero"].asInteger(), 0);
  EXPECT_TRUE(value["wholeReal"].isInteger());
  EXPECT_EQ(value["fraction"].asReal(), -0.1);
}

TEST_F(ScriptValuesTest, TextsArriveWholeWithTheirEscapesUndone) {
  const Value value = copiedByText(
      "{nul: 'a\\u0000b', pair: '\\ud83d\\ude00', accents: '\\u00f1\\u20ac', "
      "escapes: '\"\\\\\\n\\t\\u2028\\u0001', empty: '', long: 'x'.repeat(300000)}");
  EXPECT_EQ(value["nul"].asString(), std::string("a\0b", 3));
  EXPECT_EQ(value["pair"].asString(), "\xF0\x9F\x98\x80");
  EXPECT_EQ(value["escapes"].asString(), "\"\\\n\t\xE2\x80\xA8\x01");
  EXPECT_EQ(value["long"].asString()->size(), 300000u);
}

TEST_F(ScriptValuesTest, KeysKeepTheirOrderAndSpelling) {
  const Value value = copiedByText("{b: 2, '1': 'one', '0': 'zero', '\\u00e4 k\"ey': 3, a: 1}");
  EXPECT_EQ(value.dictionaryPtr()->keys(),
            (std::vector<std::string>{"0", "1", "b", "\xC3\xA4 k\"ey", "a"}));
}

TEST_F(ScriptValuesTest, DatesStayDates) {
  const Value value = copiedByText(
      "{d: new Date(1709634120000), fraction: new Date(1.5), before1970: new Date(-1000), "
      "inArray: [new Date(0)]}");
  ASSERT_TRUE(value["d"].isDate());
  EXPECT_EQ(value["d"].asDate()->timeIntervalSince1970(), 1709634120.0);
  // A date's time is whole milliseconds.
  EXPECT_EQ(value["fraction"].asDate()->timeIntervalSince1970(), 0.001);
  EXPECT_EQ(value["before1970"].asDate()->timeIntervalSince1970(), -1.0);
  EXPECT_TRUE(value["inArray"].arrayPtr()->at(0).isDate());
  EXPECT_TRUE(copiedByText("new Date(86400000)").isDate());
}

TEST_F(ScriptValuesTest, WhatTheTextRouteCannotPromiseGoesByParts) {
  expectDeclined("{a: 1, f: function() {}}");
  expectDeclined("[1, function() {}, 3]");
  expectDeclined("{n: NaN}");
  expectDeclined("{n: [Infinity, -Infinity]}");
  expectDeclined("{d: new Date(NaN)}");
  expectDeclined("{s: Symbol('x')}");
  expectDeclined("{b: 10n}");
  expectDeclined("new (function Shape() { this.sides = 3; })()");
  expectDeclined("{wrapped: new String('ab'), number: new Number(2)}");
  expectDeclined("{m: new Map([[1, 2]])}");
  expectDeclined("{'a\\u0000b': 1}");
  expectDeclined("{'\\u0001date': 5}");
  expectDeclined("{d: Object.assign(new Date(5), {getTime: function() { return 7; }})}");
  expectDeclined("{get broken() { throw new Error('no'); }}");
  expectDeclined("(function() { var o = {name: 'cyclic'}; o.self = o; return o; })()");
  expectDeclined("(function() { class List extends Array {} return List.of(1, 2); })()");
  // Nesting past the limit is cut by the part-by-part route, which says so.
  expectDeclined("(function() { var o = 1; for (var i = 0; i < 70; i++) o = [o]; return o; })()");
}

TEST_F(ScriptValuesTest, LoneSurrogatesCopyAsThePartByPartRouteCopiesThem) {
  for (const std::string code :
       {"{s: 'a\\ud800b'}", "{s: '\\udc00'}", "['\\ud83d']", "{'\\ud800': 1}"}) {
    auto value = evaluate(code);
    expectSameCopy(value.get(), code);
  }
}

TEST_F(ScriptValuesTest, AnEnumerablePropertyOnObjectPrototypeSendsCopiesByParts) {
  evaluate("Object.prototype.extra = 'inherited'");
  expectDeclined("{a: 1}");
  evaluate("delete Object.prototype.extra");
  copiedByText("{a: 1}");
}

TEST_F(ScriptValuesTest, TopLevelPrimitivesAndScriptRedefinitionsAreHandled) {
  for (const std::string code : {"undefined", "null", "'text'", "42", "true", "NaN"}) {
    auto value = evaluate(code);
    EXPECT_FALSE(valueFromScriptText(value.get()).has_value()) << code;
    expectSameCopy(value.get(), code);
  }
  // The copier cannot be replaced once it is in place, and the copy does not rely on the
  // script's own JSON object.
  copiedByText("{a: 1}");
  evaluate("(function() { try { __qbyValueText = null; } catch (e) {} JSON.stringify = null; })()");
  EXPECT_EQ(copiedByText("{a: 'b'}")["a"].asString(), "b");
}

}  // namespace
}  // namespace qby
