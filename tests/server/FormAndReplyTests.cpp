// The two text formats at the server's edge: the form decoder (what clients send) and the XML
// reply writer (what they parse), plus the protocol's six-decimal times.
#include <gtest/gtest.h>

#include "QBYFormDecoder.h"
#include "QBYVendorService.h"
#include "QBYXMLReply.h"
#include "ServerTestSupport.h"

namespace qby::server::test {
namespace {

TEST(FormDecoder, DecodesTheWayClientsEncode) {
  const auto form = QBYFormDecoder::decode("cmd=add&name=A+B%20C%26D%3D&empty=&bare&&last=%41");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->text("cmd"), "add");
  EXPECT_EQ(form->text("name"), "A B C&D=");
  EXPECT_TRUE(form->has("empty"));
  EXPECT_EQ(form->text("empty"), "");
  EXPECT_TRUE(form->has("bare"));
  EXPECT_EQ(form->text("last"), "A");
  EXPECT_FALSE(form->has("missing"));
  EXPECT_EQ(form->fields().size(), 5u);
  EXPECT_TRUE(QBYFormDecoder::decode("")->fields().empty());
}

TEST(FormDecoder, TheFirstFieldOfANameWins) {
  const auto form = QBYFormDecoder::decode("cmd=get&email=a%40b&cmd=register&email=evil");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->text("cmd"), "get");
  EXPECT_EQ(form->text("email"), "a@b");
}

TEST(FormDecoder, BrokenEscapesStayTextAndInvalidUTF8IsReplaced) {
  EXPECT_EQ(QBYFormDecoder::unescape("100%"), "100%");
  EXPECT_EQ(QBYFormDecoder::unescape("%4"), "%4");
  EXPECT_EQ(QBYFormDecoder::unescape("%zz%41"), "%zzA");
  EXPECT_EQ(QBYFormDecoder::unescape("%C3%A9"), "\xC3\xA9");
  EXPECT_EQ(QBYFormDecoder::unescape("%C3"), "\xEF\xBF\xBD");
  EXPECT_EQ(QBYFormDecoder::unescape("%ED%A0%80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(FormDecoder, RefusesNULBytesAndFormsOverItsLimits) {
  std::string why;
  EXPECT_FALSE(QBYFormDecoder::decode("a=b%00c", {}, &why));
  EXPECT_NE(why.find("NUL"), std::string::npos);
  EXPECT_FALSE(QBYFormDecoder::decode("a%00=b"));

  QBYFormDecoder::Limits limits;
  limits.maxFields = 3;
  limits.maxValueLength = 4;
  limits.maxNameLength = 4;
  EXPECT_TRUE(QBYFormDecoder::decode("a=1&b=2&c=3", limits));
  EXPECT_FALSE(QBYFormDecoder::decode("a=1&b=2&c=3&d=4", limits));
  EXPECT_TRUE(QBYFormDecoder::decode("a=%41%41%41%41", limits));  // four characters decoded
  EXPECT_FALSE(QBYFormDecoder::decode("a=12345", limits));
  EXPECT_FALSE(QBYFormDecoder::decode("abcde=1", limits));
}

TEST(XMLReply, AnyTextSurvivesAStandardParser) {
  const std::string tricky = "a \"quoted\" <tag> & 'apostrophe'\nnew line\r\ttab";
  const std::string controls = std::string("bell\x07 and nul-free \x1F end");
  const std::string broken = "caf\xE9";
  QBYXMLReply reply;
  reply.add("success", "true")
      .add("delivery", QBYXMLReply::Attributes{{"uuid", "u"}, {"name", tricky}})
      .add("message", controls)
      .add("extra", broken);
  const auto parsed = parseReply(reply.document());
  ASSERT_TRUE(parsed) << reply.document();
  ASSERT_EQ(parsed->size(), 4u);
  EXPECT_EQ((*parsed)[1].attributes.at("name"), tricky);
  EXPECT_EQ((*parsed)[2].value(), "bell\xEF\xBF\xBD and nul-free \xEF\xBF\xBD end");
  EXPECT_EQ((*parsed)[3].value(), "caf\xEF\xBF\xBD");
}

TEST(ProtocolTime, PrintsSixDecimalsAndReadsThemBackExactly) {
  EXPECT_EQ(QBYVendorService::formatTime(1'765'000'000'123'456), "1765000000.123456");
  EXPECT_EQ(QBYVendorService::formatTime(0), "0.000000");
  EXPECT_EQ(QBYVendorService::formatTime(-1'500'000), "-1.500000");
  EXPECT_EQ(QBYVendorService::formatTime(-1), "-0.000001");
  for (const Micros t : {Micros{1'765'000'000'123'456}, Micros{1'765'000'000'999'999}, Micros{1},
                         Micros{-2'250'000}})
    EXPECT_EQ(QBYVendorService::parseTime(QBYVendorService::formatTime(t)), t);
  EXPECT_EQ(QBYVendorService::parseTime("12"), 12'000'000);
  for (const char* bad : {"", "abc", "1.5x", "nan", "inf", "1e300"})
    EXPECT_FALSE(QBYVendorService::parseTime(bad)) << bad;
}

}  // namespace
}  // namespace qby::server::test
