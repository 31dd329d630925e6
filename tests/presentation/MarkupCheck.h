// Reads Pango markup back the way GMarkup (and so Pango) parses it, so a test can tell that a
// markup text is well formed and shows exactly the expected characters.
#pragma once

#include <glib.h>

#include <optional>
#include <string>

namespace qby::test {

// The characters the markup shows, or nothing when it is not well formed.
inline std::optional<std::string> markupText(const std::string& markup) {
  std::string text;
  GMarkupParser parser{};
  parser.text = [](GMarkupParseContext*, const gchar* chunk, gsize length, gpointer data,
                   GError**) { static_cast<std::string*>(data)->append(chunk, length); };
  GMarkupParseContext* context = g_markup_parse_context_new(&parser, {}, &text, nullptr);
  const std::string document = "<markup>" + markup + "</markup>";
  GError* error = nullptr;
  const bool ok = g_markup_parse_context_parse(context, document.data(),
                                               static_cast<gssize>(document.size()), &error) &&
                  g_markup_parse_context_end_parse(context, &error);
  g_markup_parse_context_free(context);
  if (error) g_error_free(error);
  if (!ok) return std::nullopt;
  return text;
}

}  // namespace qby::test
