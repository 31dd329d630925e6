#include "sync/QBYXMLParser.h"

#include <libxml/parser.h>

#include <limits>
#include <utility>

#include "platform/Log.h"

namespace qby {

namespace {

constexpr const char* kXMLErrorDomain = "QBYXMLParserErrorDomain";

struct ParserContextDeleter {
  void operator()(xmlParserCtxt* context) const {
    if (context->myDoc) xmlFreeDoc(context->myDoc);
    xmlFreeParserCtxt(context);
  }
};

// What the SAX callbacks build: the element being read and the leaves finished so far.
struct ParseState {
  bool sawElement = false;
  bool refused = false;
  std::optional<std::string> name;
  Dictionary attributes;
  std::optional<std::string> text;
  std::vector<QBYXMLParser::Element> elements;
};

std::string xmlText(const xmlChar* begin, const xmlChar* end) {
  return std::string(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin));
}

void startElement(void* context, const xmlChar* localname, const xmlChar* /*prefix*/,
                  const xmlChar* /*uri*/, int /*namespaceCount*/, const xmlChar** /*namespaces*/,
                  int attributeCount, int /*defaulted*/, const xmlChar** attributes) {
  auto& state = *static_cast<ParseState*>(static_cast<xmlParserCtxt*>(context)->_private);
  state.sawElement = true;
  state.name = reinterpret_cast<const char*>(localname);
  state.attributes = Dictionary();
  state.text.reset();
  // Five pointers per attribute: local name, prefix, URI, value start, value end.
  for (int i = 0; i < attributeCount; ++i) {
    const xmlChar** attribute = attributes + 5 * i;
    state.attributes.set(reinterpret_cast<const char*>(attribute[0]),
                         Value(xmlText(attribute[3], attribute[4])));
  }
}

void endElement(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
  auto& state = *static_cast<ParseState*>(static_cast<xmlParserCtxt*>(context)->_private);
  if (!state.name) return;
  Dictionary attributes = std::move(state.attributes);
  if (state.text) attributes.set("text", Value(*state.text));
  // Read through a const view: the mutable subscript would add a "value" entry.
  std::optional<std::string> value = std::as_const(attributes)["value"].asString();
  std::optional<Dictionary> reported;
  if (!(value && attributes.size() == 1)) reported = std::move(attributes);
  state.elements.push_back({std::move(*state.name), std::move(value), std::move(reported)});
  state.name.reset();
  state.attributes = Dictionary();
  state.text.reset();
}

void characters(void* context, const xmlChar* text, int length) {
  auto& state = *static_cast<ParseState*>(static_cast<xmlParserCtxt*>(context)->_private);
  if (!state.name) return;
  if (!state.text) state.text.emplace();
  state.text->append(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
}

// Replies never carry a document type: one that does is refused before any entity it
// declares could be expanded.
void refuseDocumentType(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
  auto* parserContext = static_cast<xmlParserCtxt*>(context);
  static_cast<ParseState*>(parserContext->_private)->refused = true;
  xmlStopParser(parserContext);
}

// libxml2 reports its own errors through the context; the default handler would print them.
void silentError(void*, const char*, ...) {}

}  // namespace

bool isTrue(const std::optional<std::string>& text) {
  return text && *text == "true";
}

bool isFalse(const std::optional<std::string>& text) {
  return text && *text == "false";
}

std::unique_ptr<QBYXMLParser> QBYXMLParser::parseData(std::string_view data,
                                                      QBYXMLParserDelegate* delegate) {
  std::unique_ptr<QBYXMLParser> parser(new QBYXMLParser(delegate));
  parser->parse(data);
  return parser;
}

void QBYXMLParser::parse(std::string_view data) {
  success_ = false;
  error_.reset();

  xmlSAXHandler handler{};
  handler.initialized = XML_SAX2_MAGIC;
  handler.startElementNs = startElement;
  handler.endElementNs = endElement;
  handler.characters = characters;
  handler.cdataBlock = characters;
  handler.internalSubset = refuseDocumentType;
  handler.warning = silentError;
  handler.error = silentError;

  ParseState state;
  bool parsed = false;
  if (data.size() <= static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    std::unique_ptr<xmlParserCtxt, ParserContextDeleter> context(
        xmlCreatePushParserCtxt(&handler, nullptr, nullptr, 0, nullptr));
    if (context) {
      context->_private = &state;
      // No network and no document type (refused above); NOENT only makes the predefined
      // entities in attribute values arrive as text ("&amp;" as "&").
      xmlCtxtUseOptions(context.get(), XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_NOWARNING |
                                           XML_PARSE_NOERROR);
      const int result =
          xmlParseChunk(context.get(), data.data(), static_cast<int>(data.size()), 1);
      parsed = result == 0 && context->wellFormed && !state.refused;
      if (state.refused) {
        error_ = QBYError::make(kXMLErrorDomain, -1, "the reply declares a document type");
      } else if (!parsed) {
        const xmlError* failure = xmlCtxtGetLastError(context.get());
        std::string message = failure && failure->message ? failure->message : "malformed XML";
        while (!message.empty() && message.back() == '\n') message.pop_back();
        error_ = QBYError::make(kXMLErrorDomain, failure ? failure->code : -1, message);
      }
    }
  }
  if (!parsed && !error_) error_ = QBYError::make(kXMLErrorDomain, -1, "the reply is too large");
  if (parsed && !state.sawElement) {
    error_ = QBYError::make(kXMLErrorDomain, -1, "the reply holds no element");
    parsed = false;
  }
  success_ = parsed;
  if (!success_) {
    log("Unable to parse XML");
    if (delegate_) delegate_->parserCompleted(*this);
    return;
  }
  if (delegate_) {
    for (const auto& element : state.elements)
      delegate_->parserEncounteredName(*this, element.name, element.value, element.attributes);
    delegate_->parserCompleted(*this);
  }
}

}  // namespace qby
