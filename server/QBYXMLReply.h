// Builds the flat XML reply of the sync path: one root element holding leaf elements whose
// value sits in the attribute "value" and further data in other attributes. Attribute texts
// are escaped so that any text survives a standard XML parser unchanged (line breaks and tabs
// as character references, since parsers normalise them otherwise); characters XML 1.0 cannot
// carry at all become U+FFFD.
//
// Thread rule: a value; any thread.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qby::server {

class QBYXMLReply {
 public:
  using Attributes = std::vector<std::pair<std::string, std::string>>;

  // <name value="value"/>
  QBYXMLReply& add(std::string_view name, std::string_view value);
  // <name a="…" b="…"/> in the order given.
  QBYXMLReply& add(std::string_view name, const Attributes& attributes);
  std::string document() const;

  static std::string escape(std::string_view text);

 private:
  std::string elements_;
};

}  // namespace qby::server
