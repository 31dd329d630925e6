#include "QBYXMLReply.h"

#include <glib.h>

namespace qby::server {

std::string QBYXMLReply::escape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const gunichar c = g_utf8_get_char_validated(p, end - p);
    if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) {
      out += "\xEF\xBF\xBD";
      ++p;
      continue;
    }
    const char* next = g_utf8_next_char(p);
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      case '\t':
        out += "&#9;";
        break;
      default:
        if (c < 0x20 || c == 0xFFFE || c == 0xFFFF || (c >= 0xD800 && c <= 0xDFFF))
          out += "\xEF\xBF\xBD";
        else
          out.append(p, next);
    }
    p = next;
  }
  return out;
}

QBYXMLReply& QBYXMLReply::add(std::string_view name, std::string_view value) {
  return add(name, Attributes{{"value", std::string(value)}});
}

QBYXMLReply& QBYXMLReply::add(std::string_view name, const Attributes& attributes) {
  elements_ += '<';
  elements_ += name;
  for (const auto& [key, value] : attributes) {
    elements_ += ' ';
    elements_ += key;
    elements_ += "=\"";
    elements_ += escape(value);
    elements_ += '"';
  }
  elements_ += "/>\n";
  return *this;
}

std::string QBYXMLReply::document() const {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<porvane>\n" + elements_ + "</porvane>\n";
}

}  // namespace qby::server
