#include "finder/QBYWebData.h"

#include <functional>

#include "platform/Format.h"
#include "util/QBYDigest.h"

namespace qby {

namespace {

bool isAddress(std::string_view text) {
  return text.starts_with("http://") || text.starts_with("https://");
}

}  // namespace

QBYWebData QBYWebData::webDataWithDictionary(const Dictionary& dictionary) {
  QBYWebData data;
  data.url = dictionary["url"].asString();
  data.text = dictionary["text"].asString();
  data.html = dictionary["html"].asString();
  if (const auto* links = dictionary["links"].arrayPtr()) {
    data.links.emplace();
    for (const auto& link : *links)
      if (const auto* text = link.stringPtr()) data.links->push_back(*text);
  }
  return data;
}

QBYWebData QBYWebData::webDataWithString(const std::optional<std::string>& text) {
  QBYWebData data;
  data.text = text;
  return data;
}

QBYWebData QBYWebData::webDataWithRTFData(const QBYPasteboardContent::RichText& richText) {
  QBYWebData data;
  data.text = richText.text;
  data.links = richText.links;
  return data;
}

QBYWebData QBYWebData::webDataFromPasteboard(const QBYPasteboardContent& content) {
  QBYWebData data;
  if (content.richText) data = webDataWithRTFData(*content.richText);
  if (content.url) data.url = content.url;
  if (content.plainText) {
    if (!data.url && isAddress(*content.plainText)) {
      data.url = content.plainText;
    } else if (!data.text) {
      data.text = content.plainText;
    }
  }
  return data;
}

Dictionary QBYWebData::description() const {
  Dictionary dictionary;
  if (url) dictionary.set("url", *url);
  if (links) {
    Array array;
    for (const auto& link : *links) array.emplace_back(link);
    dictionary.set("links", std::move(array));
  }
  if (text) dictionary.set("text", *text);
  if (html) dictionary.set("html", *html);
  return dictionary;
}

std::string QBYWebData::hashText() const {
  // An absent list prints as "(null)", like every absent value.
  Value linkList;
  if (links) linkList = description()["links"];
  return format("%@\n%@\n%@\n%@", url, linkList, text, html);
}

std::uint64_t QBYWebData::hash() const {
  return std::hash<std::string>{}(hashText());
}

std::string QBYWebData::sha256Hash() const {
  const std::string text = hashText();
  return QBYSHA256Hash(std::string_view(text)).value_or("");
}

}  // namespace qby
