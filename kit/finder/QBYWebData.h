// The content a user hands over to be searched for deliveries: a page's address, the link
// targets in it, its visible text and its source, or the same four read off the clipboard.
//
// A value type; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Value.h"

namespace qby {

// What the clipboard holds, as far as recognition cares. The library does not read a real
// clipboard: programs fill this from theirs (rich text, URI list, plain text), the command line
// and tests give it directly.
struct QBYPasteboardContent {
  struct RichText {
    std::string text;                // the rich text's plain string
    std::vector<std::string> links;  // absolute targets of its links, in order
  };
  std::optional<RichText> richText;
  std::optional<std::string> url;
  std::optional<std::string> plainText;
};

// Supplies the clipboard's content when asked; a program installs one for its clipboard.
class QBYPasteboard {
 public:
  virtual ~QBYPasteboard() = default;
  virtual QBYPasteboardContent content() const = 0;
};

class QBYWebData {
 public:
  std::optional<std::string> url;
  std::optional<std::vector<std::string>> links;
  std::optional<std::string> text;
  std::optional<std::string> html;

  // Keys "url", "links", "text", "html"; values of another kind are ignored.
  static QBYWebData webDataWithDictionary(const Dictionary& dictionary);
  static QBYWebData webDataWithString(const std::optional<std::string>& text);
  // The rich text's plain string as text and its links, in order, as links.
  static QBYWebData webDataWithRTFData(const QBYPasteboardContent::RichText& richText);
  // Rich text first; then a URL; then plain text, which becomes the url when it is an address
  // and no url was set, else the text unless the rich text set one.
  static QBYWebData webDataFromPasteboard(const QBYPasteboardContent& content);

  // The non-absent properties under their keys.
  Dictionary description() const;
  // "%@\n%@\n%@\n%@" of url, links, text and html ("(null)" for absent ones).
  std::string hashText() const;
  std::uint64_t hash() const;
  std::string sha256Hash() const;

  bool operator==(const QBYWebData& other) const = default;
};

}  // namespace qby
