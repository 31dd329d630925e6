#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "platform/Format.h"
#include "platform/QBYError.h"
#include "platform/Value.h"

namespace qby {
namespace {

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();

// 2024-01-31 12:00:00 UTC.
constexpr double kNoonJan31 = 1706702400.0;

std::vector<std::string> keysOf(const Value& value) {
  return value.dictionaryPtr()->keys();
}

// A nested value with every kind a property list can hold, in a deliberate key order.
Value plistSample() {
  return Value(Dictionary{
      {"zeta", Value("last letter first")},
      {"alpha", Value(std::int64_t{42})},
      {"negative", Value(std::int64_t{-7})},
      {"big", Value(kInt64Max)},
      {"small", Value(kInt64Min)},
      {"one", Value(1.0)},
      {"pi", Value(3.14159)},
      {"yes", Value(true)},
      {"no", Value(false)},
      {"when", Value(Date(kNoonJan31))},
      {"blob", Value(Data{0x00, 0xff, 0x10, 0x80})},
      {"empty", Value("")},
      {"unicode", Value("Zustellung für Jürgen 📦 日本")},
      {"list", Value(Array{Value("a"), Value(std::int64_t{1}), Value(Array{}),
                           Value(Dictionary{{"inner", Value(2.5)}})})},
      {"nested", Value(Dictionary{{"b", Value("2")}, {"a", Value("1")}, {"empty", Dictionary{}}})},
  });
}

// The same without dates and data, which JSON cannot hold, but with a null.
Value jsonSample() {
  Value value = plistSample();
  value.dictionaryPtr()->erase("when");
  value.dictionaryPtr()->erase("blob");
  value.dictionaryPtr()->set("nothing", Value());
  return value;
}

// MARK: Dictionary

TEST(DictionaryTest, SetReplacesInPlaceAndAppendsNewKeys) {
  Dictionary dictionary{{"a", Value(1)}, {"b", Value(2)}, {"c", Value(3)}};
  dictionary.set("b", Value("two"));
  dictionary.set("d", Value(4));
  EXPECT_EQ(dictionary.keys(), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(dictionary["b"], Value("two"));
  EXPECT_EQ(dictionary.size(), 4u);
}

TEST(DictionaryTest, EraseThenReAddGoesToTheEndAndIndexStaysRight) {
  Dictionary dictionary{{"a", Value(1)}, {"b", Value(2)}, {"c", Value(3)}, {"d", Value(4)}};
  EXPECT_TRUE(dictionary.erase("b"));
  EXPECT_FALSE(dictionary.erase("b"));
  EXPECT_FALSE(dictionary.contains("b"));
  // Keys after the erased one moved; lookups must still find their own values.
  EXPECT_EQ(dictionary["c"], Value(3));
  EXPECT_EQ(dictionary["d"], Value(4));
  dictionary.set("b", Value(22));
  EXPECT_EQ(dictionary.keys(), (std::vector<std::string>{"a", "c", "d", "b"}));
  EXPECT_EQ(dictionary["b"], Value(22));
  EXPECT_EQ(dictionary["a"], Value(1));
}

TEST(DictionaryTest, SubscriptReadsNullForMissingKeysAndInsertsOnlyWhenMutable) {
  Dictionary dictionary{{"a", Value(1)}};
  const Dictionary& constant = dictionary;
  EXPECT_TRUE(constant["missing"].isNull());
  EXPECT_EQ(dictionary.size(), 1u);
  EXPECT_EQ(dictionary.find("missing"), nullptr);

  dictionary["added"] = Value("x");
  EXPECT_EQ(dictionary.keys(), (std::vector<std::string>{"a", "added"}));
  EXPECT_EQ(*dictionary.find("added"), Value("x"));
}

TEST(DictionaryTest, RepeatedKeyInInitializerKeepsFirstPositionAndLastValue) {
  Dictionary dictionary{{"a", Value(1)}, {"b", Value(2)}, {"a", Value(3)}};
  EXPECT_EQ(dictionary.keys(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(dictionary["a"], Value(3));
}

TEST(DictionaryTest, CopiesAreIndependentAndKeepWorkingIndexes) {
  Dictionary original{{"a", Value(1)}, {"b", Value(2)}};
  Dictionary copy = original;
  copy.erase("a");
  copy.set("c", Value(3));
  EXPECT_EQ(original.keys(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(copy["b"], Value(2));
  EXPECT_EQ(copy["c"], Value(3));
  EXPECT_EQ(original["b"], Value(2));
}

// Large dictionaries switch to a hash index; growing past that size, shrinking below it, copies
// and moves must all keep every key findable at its own position.
TEST(DictionaryTest, LargeDictionariesStayConsistentAcrossIndexChanges) {
  Dictionary dictionary;
  for (int i = 0; i < 40; ++i) dictionary.set("key" + std::to_string(i), Value(i));
  for (int i = 0; i < 40; ++i) ASSERT_EQ(dictionary["key" + std::to_string(i)], Value(i)) << i;
  EXPECT_EQ(dictionary.keys().front(), "key0");
  EXPECT_EQ(dictionary.keys().back(), "key39");

  Dictionary copy = dictionary;
  for (int i = 0; i < 35; ++i) ASSERT_TRUE(copy.erase("key" + std::to_string(i)));
  EXPECT_EQ(copy.size(), 5u);
  EXPECT_EQ(copy["key37"], Value(37));
  EXPECT_FALSE(copy.contains("key3"));
  copy["late"] = Value("x");
  EXPECT_EQ(copy.keys(),
            (std::vector<std::string>{"key35", "key36", "key37", "key38", "key39", "late"}));
  // The original kept its own index.
  EXPECT_EQ(dictionary["key3"], Value(3));
  EXPECT_EQ(dictionary.size(), 40u);

  Dictionary moved = std::move(dictionary);
  EXPECT_EQ(moved["key21"], Value(21));
  moved.set("key21", Value("replaced"));
  EXPECT_EQ(moved["key21"], Value("replaced"));
  EXPECT_EQ(moved.keys()[21], "key21");

  Dictionary assigned;
  assigned.set("only", Value(1));
  assigned = moved;
  EXPECT_FALSE(assigned.contains("only"));
  EXPECT_EQ(assigned["key39"], Value(39));
  assigned.clear();
  EXPECT_TRUE(assigned.empty());
  EXPECT_EQ(assigned.find("key1"), nullptr);
  assigned["key1"] = Value(1);
  EXPECT_EQ(assigned["key1"], Value(1));
}

// A record holds one Value per attribute: keep Value no bigger than its largest scalar payload.
TEST(ValueTest, StaysSmall) {
  EXPECT_LE(sizeof(Value), sizeof(std::string) + sizeof(void*));
}

TEST(DictionaryTest, EqualityIgnoresOrderButNotContents) {
  const Dictionary ab{{"a", Value(1)}, {"b", Value("x")}};
  const Dictionary ba{{"b", Value("x")}, {"a", Value(1)}};
  EXPECT_EQ(ab, ba);
  EXPECT_NE(ab, (Dictionary{{"a", Value(1)}, {"b", Value("y")}}));
  EXPECT_NE(ab, (Dictionary{{"a", Value(1)}}));
  EXPECT_NE(ab, (Dictionary{{"a", Value(1)}, {"c", Value("x")}}));
  // Order inside nested arrays does matter.
  EXPECT_NE(Value(Array{Value(1), Value(2)}), Value(Array{Value(2), Value(1)}));
  EXPECT_EQ(Value(Dictionary{{"n", Value(ab)}}), Value(Dictionary{{"n", Value(ba)}}));
}

// MARK: Value

TEST(ValueTest, NumbersConvertAmongEachOtherAndOtherKindsAnswerNothing) {
  EXPECT_EQ(Value(2.9).asInteger(), 2);
  EXPECT_EQ(Value(-2.9).asInteger(), -2);
  EXPECT_EQ(Value(1e300).asInteger(), kInt64Max);
  EXPECT_EQ(Value(-1e300).asInteger(), kInt64Min);
  EXPECT_EQ(Value(std::numeric_limits<double>::quiet_NaN()).asInteger(), std::nullopt);
  EXPECT_EQ(Value(true).asInteger(), 1);
  EXPECT_EQ(Value(std::int64_t{3}).asReal(), 3.0);
  EXPECT_EQ(Value(std::int64_t{0}).asBool(), false);
  EXPECT_EQ(Value(0.5).asBool(), true);
  EXPECT_EQ(Value("12").asInteger(), std::nullopt);
  EXPECT_EQ(Value(12).asString(), std::nullopt);
  EXPECT_EQ(Value(Date(5)).asReal(), std::nullopt);
  EXPECT_EQ(Value(Date(5)).asDate(), Date(5));
  EXPECT_TRUE(Value(5)["key"].isNull());
}

TEST(ValueTest, UnsignedBeyondSignedRangeBecomesRealInsteadOfWrapping) {
  const Value huge(std::numeric_limits<unsigned long long>::max());
  EXPECT_TRUE(huge.isReal());
  EXPECT_GT(*huge.asReal(), 1.8e19);
  const Value fits(static_cast<unsigned long long>(kInt64Max));
  EXPECT_TRUE(fits.isInteger());
  EXPECT_EQ(fits.asInteger(), kInt64Max);
}

TEST(ValueTest, AbsentOptionalTextIsNullAndEmptyTextIsNot) {
  EXPECT_TRUE(Value(std::optional<std::string>()).isNull());
  const Value empty(std::optional<std::string>(""));
  EXPECT_TRUE(empty.isString());
  EXPECT_EQ(empty.asString(), "");
}

TEST(ValueTest, EqualityComparesNumbersByValueButKeepsBooleansApart) {
  EXPECT_EQ(Value(1), Value(1.0));
  EXPECT_NE(Value(1), Value(1.5));
  EXPECT_NE(Value(true), Value(1));
  EXPECT_NE(Value(Data{1}), Value(Array{Value(1)}));
  // Near 2^63 a real must not round onto the integer it does not equal.
  EXPECT_NE(Value(kInt64Max), Value(9223372036854775808.0));
  EXPECT_NE(Value(std::numeric_limits<double>::quiet_NaN()),
            Value(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_NE(Value("1"), Value(1));
  EXPECT_NE(Value(), Value(""));
}

// MARK: Description

TEST(ValueDescriptionTest, ScalarsPrintPlain) {
  EXPECT_EQ(Value().description(), "(null)");
  EXPECT_EQ(Value("two words").description(), "two words");
  EXPECT_EQ(Value(std::int64_t{-12}).description(), "-12");
  EXPECT_EQ(Value(1.0).description(), "1");
  EXPECT_EQ(Value(0.1).description(), "0.1");
  EXPECT_EQ(Value(true).description(), "1");
  EXPECT_EQ(Value(false).description(), "0");
  EXPECT_EQ(Value(Date(kNoonJan31 + 0.75)).description(), "2024-01-31 12:00:00 +0000");
  EXPECT_EQ(Value(Date(-0.5)).description(), "1969-12-31 23:59:59 +0000");
  EXPECT_EQ(Value(Data{0x0a, 0x0b, 0x0c}).description(), "{length = 3, bytes = 0x0a0b0c}");
  EXPECT_EQ(Value(Data{}).description(), "{length = 0, bytes = 0x}");
}

TEST(ValueDescriptionTest, LongDataShowsBothEnds) {
  Data data;
  for (int i = 0; i < 32; ++i) data.push_back(static_cast<std::uint8_t>(i));
  EXPECT_EQ(Value(data).description(),
            "{length = 32, bytes = 0x0001020304050607 ... 18191a1b1c1d1e1f}");
}

TEST(ValueDescriptionTest, CollectionsUseOldStyleFormWithQuotingAndIndent) {
  const Value value(Dictionary{
      {"status", Value("delivered")},
      {"message", Value("Out for \"delivery\"\nsoon")},
      {"tracking-no", Value(std::int64_t{12})},
      {"items", Value(Array{Value("a"), Value("b c"), Value(), Value(2.5)})},
      {"when", Value(Date(kNoonJan31))},
      {"none", Value(Array{})},
      {"nested", Value(Dictionary{{"k", Value("")}})},
  });
  EXPECT_EQ(value.description(),
            "{\n"
            "    status = delivered;\n"
            "    message = \"Out for \\\"delivery\\\"\\nsoon\";\n"
            "    \"tracking-no\" = 12;\n"
            "    items = (\n"
            "        a,\n"
            "        \"b c\",\n"
            "        <null>,\n"
            "        2.5\n"
            "    );\n"
            "    when = \"2024-01-31 12:00:00 +0000\";\n"
            "    none = (\n"
            "    );\n"
            "    nested = {\n"
            "        k = \"\";\n"
            "    };\n"
            "}");
  EXPECT_EQ(Value(Array{Value("a"), Value("b")}).description(), "(\n    a,\n    b\n)");
  EXPECT_EQ(Value(Dictionary{}).description(), "{\n}");
}

// MARK: Errors

TEST(QBYErrorTest, DescriptionAddsUserInfoOnlyWhenPresent) {
  const QBYError plain = QBYError::make("com.quillbay.datastore", 100, "Could not save");
  EXPECT_EQ(plain.description(), "Error Domain=com.quillbay.datastore Code=100 \"Could not save\"");
  EXPECT_EQ(plain.userInfoDescription(), "{\n}");

  const QBYError detailed = QBYError::make("com.quillbay.sync", 200, "Sign-in failed",
                                           {{"reason", Value("bad form")}, {"status", Value(401)}});
  EXPECT_EQ(detailed.description(),
            "Error Domain=com.quillbay.sync Code=200 \"Sign-in failed\" "
            "UserInfo={reason=bad form, status=401}");
  EXPECT_EQ(detailed.userInfoDescription(), "{\n    reason = \"bad form\";\n    status = 401;\n}");
}

// MARK: JSON

TEST(ValueJSONTest, NestedValueRoundTripsWithTypesAndKeyOrder) {
  const Value original = jsonSample();
  for (const bool pretty : {false, true}) {
    QBYError error;
    const auto json = original.toJSON(pretty, &error);
    ASSERT_TRUE(json) << error.description();
    const auto back = Value::fromJSON(*json, &error);
    ASSERT_TRUE(back) << error.description();
    EXPECT_EQ(*back, original);
    EXPECT_EQ(keysOf(*back), keysOf(original));
    EXPECT_EQ(keysOf((*back)["nested"]), (std::vector<std::string>{"b", "a", "empty"}));
    EXPECT_TRUE((*back)["one"].isReal());
    EXPECT_TRUE((*back)["alpha"].isInteger());
    EXPECT_TRUE((*back)["yes"].isBool());
    EXPECT_TRUE((*back)["nothing"].isNull());
    EXPECT_EQ((*back)["big"].asInteger(), kInt64Max);
    EXPECT_EQ((*back)["small"].asInteger(), kInt64Min);
    EXPECT_EQ((*back)["unicode"], Value("Zustellung für Jürgen 📦 日本"));
  }
}

TEST(ValueJSONTest, WritesKeysInInsertionOrderAndRealsAsReals) {
  const Value value(
      Dictionary{{"z", Value(1.0)}, {"a", Value(std::int64_t{1})}, {"m", Value(-0.25)}});
  EXPECT_EQ(value.toJSON(), R"({"z":1.0,"a":1,"m":-0.25})");
}

TEST(ValueJSONTest, ReadsNumbersByTheirWrittenKind) {
  const auto value = Value::fromJSON(
      R"([1, 1.0, -5, 1e2, 9223372036854775807, -9223372036854775808, 18446744073709551615, -0])");
  ASSERT_TRUE(value);
  const Array& numbers = *value->arrayPtr();
  ASSERT_EQ(numbers.size(), 8u);
  EXPECT_TRUE(numbers[0].isInteger());
  EXPECT_TRUE(numbers[1].isReal());
  EXPECT_EQ(numbers[2].asInteger(), -5);
  EXPECT_TRUE(numbers[3].isReal());
  EXPECT_EQ(numbers[4].asInteger(), kInt64Max);
  EXPECT_EQ(numbers[5].asInteger(), kInt64Min);
  EXPECT_TRUE(numbers[6].isReal());
  EXPECT_DOUBLE_EQ(*numbers[6].asReal(), 18446744073709551615.0);
  EXPECT_TRUE(numbers[7].isInteger());
}

TEST(ValueJSONTest, ReadsEscapesAndScalarsAtTopLevel) {
  const auto text = Value::fromJSON(R"("caf\u00e9 \ud83d\udce6 \"q\" \\ \/ \n")");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->asString(), "café 📦 \"q\" \\ / \n");
  EXPECT_EQ(Value::fromJSON("true"), Value(true));
  EXPECT_EQ(Value::fromJSON(" null "), Value());
  // Text with an escaped NUL keeps its full length.
  const auto withNul = Value::fromJSON(R"("a\u0000b")");
  ASSERT_TRUE(withNul);
  EXPECT_EQ(withNul->stringPtr()->size(), 3u);
}

TEST(ValueJSONTest, RepeatedKeyKeepsFirstPositionWithLastValue) {
  const auto value = Value::fromJSON(R"({"a":1,"b":2,"a":3})");
  ASSERT_TRUE(value);
  EXPECT_EQ(keysOf(*value), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ((*value)["a"], Value(3));
}

TEST(ValueJSONTest, InvalidInputGivesAnErrorWithTheParserMessage) {
  const char* inputs[] = {"",        "{",   R"({"a":)", "[1,2",         "{'a':1}",
                          "[1,]",    "nul", "\xff\xfe", "\"\xc3\x28\"", "{\"a\":1} trailing",
                          "[1] [2]", "01",  "\x00"};
  for (const char* input : inputs) {
    QBYError error;
    const auto value = Value::fromJSON(input, &error);
    EXPECT_FALSE(value) << input;
    EXPECT_EQ(error.domain, QBYErrorDomainJSON) << input;
    EXPECT_EQ(error.code, QBYValueErrorUnreadable) << input;
    EXPECT_NE(error.localizedDescription.find("parse error"), std::string::npos)
        << error.localizedDescription;
  }
  // Without an error out-parameter it fails just the same.
  EXPECT_FALSE(Value::fromJSON("{"));
}

TEST(ValueJSONTest, DeepNestingFailsCleanlyAtTheLimit) {
  QBYError error;
  EXPECT_FALSE(Value::fromJSON(std::string(100000, '['), &error));
  EXPECT_EQ(error.code, QBYValueErrorTooDeep);

  const int limit = QBYValueMaxDepth;
  const std::string atLimit = std::string(limit, '[') + std::string(limit, ']');
  EXPECT_TRUE(Value::fromJSON(atLimit, &error)) << error.description();
  const std::string beyond = "[" + atLimit + "]";
  EXPECT_FALSE(Value::fromJSON(beyond, &error));
  EXPECT_EQ(error.code, QBYValueErrorTooDeep);

  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += R"({"a":)";
  EXPECT_FALSE(Value::fromJSON(objects, &error));
  EXPECT_EQ(error.code, QBYValueErrorTooDeep);
}

TEST(ValueJSONTest, RefusesWhatJSONCannotHold) {
  const Value values[] = {
      Value(Dictionary{{"when", Value(Date(kNoonJan31))}}),
      Value(Array{Value(Data{1, 2})}),
      Value(std::numeric_limits<double>::quiet_NaN()),
      Value(Array{Value(std::numeric_limits<double>::infinity())}),
      Value(std::string("\xc3\x28")),
  };
  for (const Value& value : values) {
    QBYError error;
    EXPECT_FALSE(value.toJSON(false, &error)) << value.description();
    EXPECT_EQ(error.domain, QBYErrorDomainJSON);
    EXPECT_EQ(error.code, QBYValueErrorUnrepresentable) << error.description();
  }
}

// MARK: Property lists

class ValuePlistTest : public testing::TestWithParam<Value::PlistFormat> {};

TEST_P(ValuePlistTest, NestedValueRoundTripsWithTypesAndKeyOrder) {
  const Value original = plistSample();
  QBYError error;
  const auto bytes = original.toPlist(GetParam(), &error);
  ASSERT_TRUE(bytes) << error.description();
  const auto back = Value::fromPlist(*bytes, &error);
  ASSERT_TRUE(back) << error.description();
  EXPECT_EQ(*back, original) << back->description();
  EXPECT_EQ(keysOf(*back), keysOf(original));
  EXPECT_EQ(keysOf((*back)["nested"]), (std::vector<std::string>{"b", "a", "empty"}));
  EXPECT_TRUE((*back)["one"].isReal());
  EXPECT_TRUE((*back)["alpha"].isInteger());
  EXPECT_TRUE((*back)["yes"].isBool());
  EXPECT_TRUE((*back)["when"].isDate());
  EXPECT_EQ((*back)["blob"], Value(Data{0x00, 0xff, 0x10, 0x80}));
  EXPECT_EQ((*back)["small"].asInteger(), kInt64Min);
  EXPECT_EQ((*back)["negative"].asInteger(), -7);
}

TEST_P(ValuePlistTest, ScalarRootsRoundTrip) {
  for (const Value& value :
       {Value("just text"), Value(std::int64_t{-1}), Value(0.1), Value(false)}) {
    const auto bytes = value.toPlist(GetParam());
    ASSERT_TRUE(bytes);
    const auto back = Value::fromPlist(*bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->type(), value.type());
    EXPECT_EQ(*back, value);
  }
}

TEST_P(ValuePlistTest, NullIsRefusedAnywhere) {
  for (const Value& value : {Value(), Value(Array{Value(1), Value()}),
                             Value(Dictionary{{"a", Dictionary{{"b", Value()}}}})}) {
    QBYError error;
    EXPECT_FALSE(value.toPlist(GetParam(), &error));
    EXPECT_EQ(error.domain, QBYErrorDomainPropertyList);
    EXPECT_EQ(error.code, QBYValueErrorUnrepresentable);
  }
}

TEST_P(ValuePlistTest, TextsThatWouldBeCutOrCorruptedAreRefused) {
  QBYError error;
  EXPECT_FALSE(Value(std::string("a\0b", 3)).toPlist(GetParam(), &error));
  EXPECT_EQ(error.code, QBYValueErrorUnrepresentable);
  EXPECT_FALSE(Value(Dictionary{{std::string("k\0", 2), Value(1)}}).toPlist(GetParam(), &error));
  EXPECT_FALSE(Value(std::string("\xff")).toPlist(GetParam(), &error));
}

TEST_P(ValuePlistTest, DatesBeforeAndAfterTheReferenceDateKeepTheirSecond) {
  // Seconds since 1970 that are whole, so both formats hold them exactly.
  for (const double seconds :
       {kNoonJan31, 978307199.0, 978307200.0, 0.0, -86400.0 * 365, 2000000000.0}) {
    const auto bytes = Value(Date(seconds)).toPlist(GetParam());
    ASSERT_TRUE(bytes) << seconds;
    const auto back = Value::fromPlist(*bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->asDate(), Date(seconds)) << seconds;
  }
}

TEST_P(ValuePlistTest, DatesOutOfRangeAreRefused) {
  QBYError error;
  EXPECT_FALSE(Value(Date(1e12)).toPlist(GetParam(), &error));
  EXPECT_EQ(error.code, QBYValueErrorUnrepresentable);
  EXPECT_FALSE(Value(Date(std::numeric_limits<double>::quiet_NaN())).toPlist(GetParam(), &error));
}

TEST_P(ValuePlistTest, DeepNestingFailsCleanly) {
  Value deep = Value(Array{});
  for (int i = 0; i < QBYValueMaxDepth; ++i) deep = Value(Array{deep});
  QBYError error;
  EXPECT_FALSE(deep.toPlist(GetParam(), &error));
  EXPECT_EQ(error.code, QBYValueErrorTooDeep);
}

INSTANTIATE_TEST_SUITE_P(Formats, ValuePlistTest,
                         testing::Values(Value::PlistFormat::XML, Value::PlistFormat::Binary),
                         [](const auto& info) {
                           return info.param == Value::PlistFormat::XML ? "XML" : "Binary";
                         });

TEST(ValuePlistDateTest, BinaryKeepsFractionsOnBothSidesOf2001) {
  // Fractions that doubles hold exactly come back exactly.
  for (const double seconds :
       {kNoonJan31 + 0.25, 978307199.5, 978307200.0 - 0.75, 978307200.0 - 1.5, -12345.125}) {
    QBYError error;
    const auto bytes = Value(Date(seconds)).toPlist(Value::PlistFormat::Binary, &error);
    ASSERT_TRUE(bytes) << error.description();
    const auto back = Value::fromPlist(*bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->asDate(), Date(seconds)) << std::to_string(seconds);
  }
  // Others keep their microseconds.
  const double precise = kNoonJan31 + 0.123456;
  const auto back = Value::fromPlist(*Value(Date(precise)).toPlist(Value::PlistFormat::Binary));
  ASSERT_TRUE(back && back->isDate());
  EXPECT_NEAR(back->asDate()->timeIntervalSince1970(), precise, 1e-6);
}

TEST(ValuePlistDateTest, XMLHoldsWholeSecondsRoundedDown) {
  const auto xml = Value(Date(kNoonJan31 + 0.9)).toPlist(Value::PlistFormat::XML);
  ASSERT_TRUE(xml);
  EXPECT_NE(xml->find("<date>2024-01-31T12:00:00Z</date>"), std::string::npos) << *xml;
  EXPECT_EQ(Value::fromPlist(*xml)->asDate(), Date(kNoonJan31));
  // Just before 2001 the second is the earlier one, not the one nearer to 2001.
  const auto before = Value(Date(978307200.0 - 0.5)).toPlist(Value::PlistFormat::XML);
  EXPECT_NE(before->find("<date>2000-12-31T23:59:59Z</date>"), std::string::npos) << *before;
}

TEST(ValuePlistReadTest, ReadsXMLWrittenElsewhere) {
  const std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>uuid</key>
	<string>6F9619FF-8B86-D011-B42D-00C04FC964FF</string>
	<key>from</key>
	<string>dhl.de</string>
	<key>negative</key>
	<integer>-42</integer>
	<key>huge</key>
	<integer>18446744073709551615</integer>
	<key>real</key>
	<real>1</real>
	<key>flag</key>
	<true/>
	<key>blob</key>
	<data>AAEC</data>
	<key>date</key>
	<date>2024-01-31T12:00:00Z</date>
</dict>
</plist>
)";
  QBYError error;
  const auto value = Value::fromPlist(xml, &error);
  ASSERT_TRUE(value) << error.description();
  EXPECT_EQ(keysOf(*value), (std::vector<std::string>{"uuid", "from", "negative", "huge", "real",
                                                      "flag", "blob", "date"}));
  EXPECT_EQ((*value)["negative"].asInteger(), -42);
  EXPECT_TRUE((*value)["huge"].isReal());
  EXPECT_DOUBLE_EQ(*(*value)["huge"].asReal(), 18446744073709551615.0);
  EXPECT_TRUE((*value)["real"].isReal());
  EXPECT_EQ((*value)["flag"], Value(true));
  EXPECT_EQ((*value)["blob"], Value(Data{0, 1, 2}));
  EXPECT_EQ((*value)["date"].asDate(), Date(kNoonJan31));
}

TEST(ValuePlistReadTest, GarbageAndTruncatedInputGiveAnError) {
  const auto binary = *plistSample().toPlist(Value::PlistFormat::Binary);
  const auto xml = *plistSample().toPlist(Value::PlistFormat::XML);
  const std::string inputs[] = {
      "",
      "hello",
      "bplist00",
      "bplist00garbage-garbage-garbage-garbage",
      std::string(200, '\xff'),
      binary.substr(0, binary.size() / 2),
      binary.substr(0, binary.size() - 1),
      xml.substr(0, xml.size() / 2),
      "<plist><dict><key>a</key><string>unterminated</dict></plist>",
      "<plist>" + std::string(100000, '<') + "</plist>",
  };
  for (const std::string& input : inputs) {
    QBYError error;
    EXPECT_FALSE(Value::fromPlist(input, &error)) << input.substr(0, 40);
    EXPECT_EQ(error.domain, QBYErrorDomainPropertyList);
    EXPECT_FALSE(error.localizedDescription.empty());
  }
}

// A binary plist {key: "c\0d"} whose key and text are UTF-16 with a NUL unit in the middle.
std::string binaryWithNulTexts(const std::string& key) {
  std::string bytes = "bplist00";
  const std::size_t dictionary = bytes.size();
  bytes += "\xd1\x01\x02";
  const std::size_t keyAt = bytes.size();
  bytes += key;
  const std::size_t textAt = bytes.size();
  bytes += std::string("\x63\0c\0\0\0d", 7);
  const std::size_t table = bytes.size();
  bytes += static_cast<char>(dictionary);
  bytes += static_cast<char>(keyAt);
  bytes += static_cast<char>(textAt);
  std::string trailer(32, '\0');
  trailer[6] = 1;   // offset width
  trailer[7] = 1;   // object reference width
  trailer[15] = 3;  // object count
  trailer[31] = static_cast<char>(table);
  return bytes + trailer;
}

TEST(ValuePlistReadTest, TextsWithNulStayWholeAndKeysWithNulAreAnErrorNotACrash) {
  QBYError error;
  const auto plain = Value::fromPlist(binaryWithNulTexts(std::string("\x61\0k", 3)), &error);
  ASSERT_TRUE(plain) << error.description();
  EXPECT_EQ((*plain)["k"], Value(std::string("c\0d", 3)));

  EXPECT_FALSE(Value::fromPlist(binaryWithNulTexts(std::string("\x63\0a\0\0\0b", 7)), &error));
  EXPECT_EQ(error.domain, QBYErrorDomainPropertyList);
  EXPECT_EQ(error.code, QBYValueErrorUnreadable);
}

TEST(ValuePlistReadTest, TextsAndKeysThatAreNotUTF8AreRepairedAndWriteBack) {
  // An XML document written by another program with Latin-1 bytes and a cut sequence.
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
      "<key>caf\xE9</key><string>Stra\xDF"
      "e \xC3</string>"
      "<key>ok</key><string>\xC3\xA9</string></dict></plist>";
  QBYError error;
  const auto value = Value::fromPlist(xml, &error);
  ASSERT_TRUE(value) << error.description();
  EXPECT_EQ((*value)["caf\xEF\xBF\xBD"], Value("Stra\xEF\xBF\xBD"
                                               "e \xEF\xBF\xBD"));
  EXPECT_EQ((*value)["ok"], Value("\xC3\xA9"));
  for (const auto format : {Value::PlistFormat::Binary, Value::PlistFormat::XML}) {
    const auto written = value->toPlist(format, &error);
    ASSERT_TRUE(written) << error.description();
    EXPECT_EQ(Value::fromPlist(*written), value);
  }
}

TEST(ValuePlistReadTest, DeeplyNestedXMLFailsCleanly) {
  std::string xml = "<plist>";
  for (int i = 0; i < 5000; ++i) xml += "<array>";
  for (int i = 0; i < 5000; ++i) xml += "</array>";
  xml += "</plist>";
  QBYError error;
  EXPECT_FALSE(Value::fromPlist(xml, &error));
  EXPECT_EQ(error.code, QBYValueErrorTooDeep);
}

TEST(ValuePlistReadTest, DamagedBinaryNeverCrashes) {
  // Flip and cut bytes of a valid binary plist; each read must either fail with an error or
  // give some value, never crash or read out of bounds (the sanitizer build watches that).
  const std::string binary = *plistSample().toPlist(Value::PlistFormat::Binary);
  std::mt19937 random(20240131);
  std::uniform_int_distribution<std::size_t> position(0, binary.size() - 1);
  std::uniform_int_distribution<int> byte(0, 255);
  int failures = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string damaged = binary;
    const int flips = 1 + round % 4;
    for (int i = 0; i < flips; ++i) damaged[position(random)] = static_cast<char>(byte(random));
    if (round % 5 == 0) damaged.resize(position(random));
    QBYError error;
    const auto value = Value::fromPlist(damaged, &error);
    if (!value) {
      ++failures;
      EXPECT_EQ(error.domain, QBYErrorDomainPropertyList);
    }
  }
  EXPECT_GT(failures, 0);
}

// MARK: Locale

// GTK programs adopt the user's locale; numbers must still read and write with a point.
TEST(ValueLocaleTest, NumbersKeepTheirValueUnderACommaLocale) {
  struct Restore {
    std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    ~Restore() { std::setlocale(LC_NUMERIC, saved.c_str()); }
  } restore;
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 is not installed";

  const Value reals(Array{Value(0.1), Value(2.5), Value(-1e-7)});
  const auto xml = reals.toPlist(Value::PlistFormat::XML);
  ASSERT_TRUE(xml);
  EXPECT_NE(xml->find("<real>2.5</real>"), std::string::npos) << *xml;
  EXPECT_EQ(Value::fromPlist(*xml), reals);
  EXPECT_EQ(Value::fromJSON(*reals.toJSON()), reals);
  EXPECT_EQ(format("%.2f %@", 1.5, 2.5), "1.50 2.5");
}

}  // namespace
}  // namespace qby
