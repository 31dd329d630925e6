// Filling tracking-line templates as markup and HTML: where the date goes, what is bold, and
// that hostile or broken texts from carriers and sync partners come out escaped and valid.
#include <glib.h>
#include <gtest/gtest.h>

#include <string>

#include "MarkupCheck.h"
#include "presentation/text/TemplateMarkup.h"

namespace qby {
namespace {

using test::markupText;

TEST(TemplateMarkup, WordBlankAndPlaceholderTakeTheDateOrKeepTheBlank) {
  bool used = false;
  EXPECT_EQ(attributedStringWithDate("Due %@", std::string("Friday"), false, &used),
            "Due <b>Friday</b>");
  EXPECT_TRUE(used);
  EXPECT_EQ(attributedStringWithDate("Due %@", std::nullopt, false, &used), "Due ");
  EXPECT_FALSE(used);
  EXPECT_EQ(htmlStringWithDate("Due %@", std::string("Friday"), false, &used), "Due <b>Friday</b>");
  EXPECT_TRUE(used);
  EXPECT_EQ(htmlStringWithDate("Due %@", std::nullopt, false, &used), "Due ");
  EXPECT_FALSE(used);
}

TEST(TemplateMarkup, TemplateWithoutPlaceholderIsShownAsItIsAndUsesNoDate) {
  for (const bool bold : {false, true}) {
    bool used = true;
    const std::string markup =
        attributedStringWithDate("In transit", std::string("Friday"), bold, &used);
    EXPECT_FALSE(used);
    EXPECT_EQ(markupText(markup), "In transit");
    EXPECT_EQ(markup.find("<b>") != std::string::npos, bold) << markup;
    used = true;
    EXPECT_EQ(htmlStringWithDate("In transit", std::string("Friday"), bold, &used),
              bold ? "<b>In transit</b>" : "In transit");
    EXPECT_FALSE(used);
  }
}

TEST(TemplateMarkup, BoldLineIsBoldThroughoutAndWrappedOnceInHTML) {
  const std::string markup =
      attributedStringWithDate("Delivered %@ at noon", std::string("today"), true);
  EXPECT_EQ(markup, "<b>Delivered </b><b>today</b><b> at noon</b>");
  const std::string html = htmlStringWithDate("Delivered %@ at noon", std::string("today"), true);
  EXPECT_EQ(html, "<b>Delivered today at noon</b>");
  EXPECT_EQ(html.find("<b>", 1), std::string::npos);
}

TEST(TemplateMarkup, TextAfterASecondPlaceholderIsDropped) {
  bool used = false;
  EXPECT_EQ(attributedStringWithDate("%@ then %@ end", std::string("X"), false, &used),
            "<b>X</b> then ");
  EXPECT_TRUE(used);
  EXPECT_EQ(htmlStringWithDate("%@ then %@ end", std::string("X"), false), "<b>X</b> then ");
  // A lone placeholder with no date leaves nothing, not an empty pair of tags.
  EXPECT_EQ(attributedStringWithDate("%@", std::nullopt, true), "");
  EXPECT_EQ(htmlStringWithDate("%@", std::nullopt, true), "");
}

TEST(TemplateMarkup, GivenAttributesReplaceThePlainAndBoldLooks) {
  const QBYMarkupAttributes plain{"<span foreground=\"gray\">", "</span>"};
  const QBYMarkupAttributes bold{"<span weight=\"heavy\">", "</span>"};
  EXPECT_EQ(attributedStringWithDate("On %@", std::string("Monday"), false, nullptr, plain, bold),
            "<span foreground=\"gray\">On </span><span weight=\"heavy\">Monday</span>");
  EXPECT_EQ(attributedStringWithDate("On %@", std::string("Monday"), true, nullptr, plain, bold),
            "<span weight=\"heavy\">On </span><span weight=\"heavy\">Monday</span>");
}

TEST(TemplateMarkup, HostileTextsAreEscapedInEveryForm) {
  const std::string templateText = "<i>Tom & \"Jerry\"</i> %@ '";
  const std::string date = "</b><script>";
  const std::string markup = attributedStringWithDate(templateText, date, false);
  EXPECT_EQ(markupText(markup), "<i>Tom & \"Jerry\"</i> </b><script> '");
  EXPECT_EQ(markup.find("<i>"), std::string::npos);
  EXPECT_EQ(markup.find("<script>"), std::string::npos);

  const std::string html = htmlStringWithDate(templateText, date, false);
  EXPECT_EQ(html,
            "&lt;i&gt;Tom &amp; &quot;Jerry&quot;&lt;/i&gt; <b>&lt;/b&gt;&lt;script&gt;</b> "
            "&#39;");
  const std::string boldHTML = htmlStringWithDate(templateText, date, true);
  EXPECT_EQ(boldHTML.find("<script>"), std::string::npos);
  EXPECT_EQ(boldHTML.find("<i>"), std::string::npos);
}

TEST(TemplateMarkup, InvalidUTF8BecomesValidWithReplacementCharacters) {
  const std::string broken = "Caf\xC3 \xFF%@";
  const std::string markup = attributedStringWithDate(broken, std::string("d\xE2\x82"), false);
  ASSERT_TRUE(g_utf8_validate(markup.data(), static_cast<gssize>(markup.size()), nullptr));
  // Each stray byte becomes one replacement character.
  EXPECT_EQ(markupText(markup), "Caf\uFFFD \uFFFDd\uFFFD\uFFFD");
  const std::string html = htmlStringWithDate(broken, std::nullopt, true);
  ASSERT_TRUE(g_utf8_validate(html.data(), static_cast<gssize>(html.size()), nullptr));
  EXPECT_EQ(html, "<b>Caf\uFFFD \uFFFD</b>");
  EXPECT_EQ(validText("fine ü"), "fine ü");
  EXPECT_EQ(markupEscaped("a<b&c"), "a&lt;b&amp;c");
}

}  // namespace
}  // namespace qby
