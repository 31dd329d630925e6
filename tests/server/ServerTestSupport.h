// Shared pieces of the server tests: a reply reader (GLib's XML parser, independent of the
// server's writer), the back ends under test, and a service with a clock the test moves.
//
// The PostgreSQL cases run only where PORVANE_TEST_POSTGRESQL holds a connection string to a
// throwaway cluster (tests/server/with-postgresql.sh starts one for the whole program); each case
// gets a schema of its own there.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QBYServerStore.h"
#include "QBYVendorService.h"

namespace qby::server::test {

struct Element {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string value() const {
    auto it = attributes.find("value");
    return it == attributes.end() ? std::string() : it->second;
  }
};

// The leaf elements of a reply in order; nothing when it is not well-formed XML.
std::optional<std::vector<Element>> parseReply(const std::string& xml);
std::vector<Element> elementsNamed(const std::vector<Element>& elements, const std::string& name);
std::optional<Element> firstNamed(const std::vector<Element>& elements, const std::string& name);

// A form body with each value percent-encoded.
std::string form(const std::vector<std::pair<std::string, std::string>>& fields);

// "sqlite" or "postgresql"; nothing when that back end is not available to this run.
std::unique_ptr<QBYServerStore> makeStore(const std::string& backend, std::string& skipReason);

// The bytes of every file below a folder, concatenated (for greps of a data folder).
std::string allBytesBelow(const std::string& folder);

}  // namespace qby::server::test
