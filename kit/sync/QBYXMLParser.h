// Reads the sync service's flat XML replies. Only leaf elements are reported, in document
// order, each as (name, "value" attribute, the other attributes): an element that contains
// other elements is not reported itself, because the start of a child forgets its parent.
//
// A reply is taken whole or not at all: events are collected while libxml2's SAX parser runs
// and handed to the delegate only when the document parsed completely, so a reply cut short
// or replaced by something that is not XML reports nothing but the failure. Every text handed
// on is valid UTF-8 (libxml2 converts declared encodings and refuses malformed bytes); the
// parser never loads external entities or DTDs and never reaches the network.
//
// Threads: any; parsing is synchronous and finished when parseData() returns.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/QBYError.h"
#include "platform/Value.h"

namespace qby {

class QBYXMLParser;

class QBYXMLParserDelegate {
 public:
  virtual ~QBYXMLParserDelegate() = default;
  // attributes: nothing when the element had only its "value"; with text content it carries
  // "text".
  virtual void parserEncounteredName(QBYXMLParser& parser, const std::string& name,
                                     const std::optional<std::string>& value,
                                     const std::optional<Dictionary>& attributes) = 0;
  virtual void parserCompleted(QBYXMLParser& parser) { (void)parser; }
};

// The reply values' truth words, case-sensitive.
bool isTrue(const std::optional<std::string>& text);
bool isFalse(const std::optional<std::string>& text);

class QBYXMLParser {
 public:
  // One reported element.
  struct Element {
    std::string name;
    std::optional<std::string> value;
    std::optional<Dictionary> attributes;
  };

  // Parses the data and tells the delegate (which may be null); the answer keeps the outcome.
  static std::unique_ptr<QBYXMLParser> parseData(std::string_view data,
                                                 QBYXMLParserDelegate* delegate);

  // True when at least one element was read and the document parsed without error.
  bool success() const { return success_; }
  const std::optional<QBYError>& error() const { return error_; }
  QBYXMLParserDelegate* delegate() const { return delegate_; }

 private:
  explicit QBYXMLParser(QBYXMLParserDelegate* delegate) : delegate_(delegate) {}
  void parse(std::string_view data);

  QBYXMLParserDelegate* delegate_ = nullptr;
  bool success_ = false;
  std::optional<QBYError> error_;
};

}  // namespace qby
