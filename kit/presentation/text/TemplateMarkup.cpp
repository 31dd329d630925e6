#include "presentation/text/TemplateMarkup.h"

#include <glib.h>

#include <memory>

#include "model/ModelText.h"

namespace qby {

namespace {

constexpr std::string_view kPlaceholder = "%@";

struct GFree {
  void operator()(gchar* text) const { g_free(text); }
};
using GText = std::unique_ptr<gchar, GFree>;

// A template cut where the date goes. Text after a second placeholder is no part of it.
struct TemplateParts {
  std::string_view first;
  std::string_view second;
  bool hasPlaceholder = false;
};

TemplateParts splitTemplate(std::string_view templateText) {
  const auto at = templateText.find(kPlaceholder);
  if (at == std::string_view::npos) return {templateText, {}, false};
  const auto rest = templateText.substr(at + kPlaceholder.size());
  return {templateText.substr(0, at), rest.substr(0, rest.find(kPlaceholder)), true};
}

std::string run(std::string_view text, const QBYMarkupAttributes& attributes) {
  if (text.empty()) return {};
  return attributes.open + markupEscaped(text) + attributes.close;
}

}  // namespace

std::string validText(std::string_view text) {
  if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
    return std::string(text);
  const GText valid(g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())));
  return valid ? std::string(valid.get()) : std::string();
}

std::string markupEscaped(std::string_view text) {
  const std::string valid = validText(text);
  const GText escaped(g_markup_escape_text(valid.data(), static_cast<gssize>(valid.size())));
  return escaped ? std::string(escaped.get()) : std::string();
}

std::string htmlEscaped(std::string_view text) {
  return modeltext::escapeHTML(validText(text));
}

std::string attributedStringWithDate(std::string_view templateText,
                                     const std::optional<std::string>& date, bool inBold,
                                     bool* usedDate, const QBYMarkupAttributes& plainAttributes,
                                     const QBYMarkupAttributes& boldAttributes) {
  if (usedDate) *usedDate = false;
  const TemplateParts parts = splitTemplate(templateText);
  const QBYMarkupAttributes& partAttributes = inBold ? boldAttributes : plainAttributes;
  std::string result = run(parts.first, partAttributes);
  if (!parts.hasPlaceholder) return result;
  if (date) {
    result += run(*date, boldAttributes);
    if (usedDate) *usedDate = true;
  }
  result += run(parts.second, partAttributes);
  return result;
}

std::string htmlStringWithDate(std::string_view templateText,
                               const std::optional<std::string>& date, bool inBold,
                               bool* usedDate) {
  if (usedDate) *usedDate = false;
  const TemplateParts parts = splitTemplate(templateText);
  std::string result = htmlEscaped(parts.first);
  if (parts.hasPlaceholder) {
    if (date) {
      // A bold line is wrapped once as a whole below; its date needs no tags of its own.
      result += inBold ? htmlEscaped(*date) : "<b>" + htmlEscaped(*date) + "</b>";
      if (usedDate) *usedDate = true;
    }
    result += htmlEscaped(parts.second);
  }
  if (inBold && !result.empty()) result = "<b>" + result + "</b>";
  return result;
}

}  // namespace qby
