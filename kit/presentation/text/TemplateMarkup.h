// Filling a tracking line's template ("Delivered %@") in the forms the views show: plain text
// (stringWithDate, shared with the record layer), Pango markup for labels and the detail pane,
// and HTML for printed and mailed texts. Every text that came from a carrier, a sync partner or
// the user is escaped for the form it goes into and made valid UTF-8 first, so a stored name
// with "<", "&" or broken bytes shows as written and never breaks the markup around it.
//
// Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "model/TemplateText.h"

namespace qby {

// How a run of markup text looks: the opening and closing tags around it. The defaults are
// the plain (no tags) and the bold ("<b>…</b>") looks.
struct QBYMarkupAttributes {
  std::string open;
  std::string close;

  static QBYMarkupAttributes plain() { return {}; }
  static QBYMarkupAttributes bold() { return {"<b>", "</b>"}; }
};

// The text with every invalid UTF-8 sequence replaced by U+FFFD; valid text comes back as is.
std::string validText(std::string_view text);
// The text made valid UTF-8 and escaped for Pango markup ("<", ">", "&", quotes).
std::string markupEscaped(std::string_view text);
// The text made valid UTF-8 and escaped for HTML text and attribute values.
std::string htmlEscaped(std::string_view text);

// Pango markup of the filled template: the template's parts in the bold attributes when the
// whole line is bold, else in the plain ones; the date always in the bold attributes. Parts
// are split as stringWithDate splits them (text after a second "%@" is dropped); empty runs
// get no tags. *usedDate tells whether the date was put in.
std::string attributedStringWithDate(
    std::string_view templateText, const std::optional<std::string>& date, bool inBold,
    bool* usedDate = nullptr, const QBYMarkupAttributes& plainAttributes = {},
    const QBYMarkupAttributes& boldAttributes = QBYMarkupAttributes::bold());

// HTML of the filled template: the date in "<b>…</b>" unless the whole line is bold, and a
// bold line wrapped in "<b>…</b>" once as a whole.
std::string htmlStringWithDate(std::string_view templateText,
                               const std::optional<std::string>& date, bool inBold,
                               bool* usedDate = nullptr);

}  // namespace qby
