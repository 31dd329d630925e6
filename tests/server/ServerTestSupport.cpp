#include "ServerTestSupport.h"

#include <glib.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <pqxx/pqxx>

#include "QBYPostgresServerStore.h"
#include "QBYSQLiteServerStore.h"
#include "support/TestSupport.h"

namespace qby::server::test {

namespace {

struct ParseState {
  std::vector<Element> elements;
  std::optional<Element> open;
};

void startElement(GMarkupParseContext*, const char* name, const char** names, const char** values,
                  gpointer data, GError**) {
  auto* state = static_cast<ParseState*>(data);
  Element element{name, {}};
  for (int i = 0; names[i]; ++i) element.attributes[names[i]] = values[i];
  state->open = element;  // a start clears the parent, so only leaves are reported
}

void endElement(GMarkupParseContext*, const char*, gpointer data, GError**) {
  auto* state = static_cast<ParseState*>(data);
  if (state->open) state->elements.push_back(*state->open);
  state->open.reset();
}

}  // namespace

std::optional<std::vector<Element>> parseReply(const std::string& xml) {
  GMarkupParser parser{startElement, endElement, nullptr, nullptr, nullptr};
  ParseState state;
  GMarkupParseContext* context =
      g_markup_parse_context_new(&parser, G_MARKUP_DEFAULT_FLAGS, &state, nullptr);
  // GMarkup does not take an XML declaration; skip it like the prolog it is.
  std::string body = xml;
  if (body.rfind("<?xml", 0) == 0) body.erase(0, body.find("?>") + 2);
  const bool ok = g_markup_parse_context_parse(context, body.data(), body.size(), nullptr) &&
                  g_markup_parse_context_end_parse(context, nullptr);
  g_markup_parse_context_free(context);
  if (!ok) return std::nullopt;
  return state.elements;
}

std::vector<Element> elementsNamed(const std::vector<Element>& elements, const std::string& name) {
  std::vector<Element> found;
  for (const auto& e : elements)
    if (e.name == name) found.push_back(e);
  return found;
}

std::optional<Element> firstNamed(const std::vector<Element>& elements, const std::string& name) {
  for (const auto& e : elements)
    if (e.name == name) return e;
  return std::nullopt;
}

std::string form(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string body;
  for (const auto& [key, value] : fields) {
    if (!body.empty()) body += '&';
    char* escaped = g_uri_escape_string(value.c_str(), nullptr, FALSE);
    body += key + "=" + escaped;
    g_free(escaped);
  }
  return body;
}

std::unique_ptr<QBYServerStore> makeStore(const std::string& backend, std::string& skipReason) {
  if (backend == "sqlite") {
    const auto dir = qby::test::makeTempDir("server-sqlite");
    return std::make_unique<QBYSQLiteServerStore>((dir / "server.db").string());
  }
  const char* base = std::getenv("PORVANE_TEST_POSTGRESQL");
  if (!base || !*base) {
    skipReason = "no PostgreSQL cluster (tests/server/with-postgresql.sh runs these)";
    return nullptr;
  }
  static std::atomic<int> counter{0};
  const std::string schema =
      "t" + std::to_string(getpid()) + "_" + std::to_string(counter.fetch_add(1));
  pqxx::connection admin(base);
  pqxx::work work(admin);
  work.exec("CREATE SCHEMA " + schema);
  work.commit();
  return std::make_unique<QBYPostgresServerStore>(std::string(base) +
                                                  " options='-c search_path=" + schema + "'");
}

std::string allBytesBelow(const std::string& folder) {
  std::string bytes;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    bytes += text.str();
  }
  return bytes;
}

}  // namespace qby::server::test
