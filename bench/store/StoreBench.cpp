// The named store queries against plain SQLite over the same file: each query is timed beside a
// baseline that reads the same rows and columns with prepared statements on a connection of
// its own, in the same run, and reported as the ratio of the two. The store holds 100,000
// deliveries with 3 to 5 lines each, generated deterministically at start.
//
// Run: bench_store [--deliveries=N] [Google Benchmark flags]. Everything lives below a
// temporary PORVANE_HOME that is removed at the end.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "model/Delivery.h"
#include "model/Detail.h"
#include "model/Service.h"
#include "platform/QBYUserDefaults.h"
#include "presentation/QBYDateFormatter.h"
#include "store/QBYDataStore.h"
#include "store/QBYDeliveriesQueries.h"
#include "store/core/QBYTextFolding.h"
#include "support/HeapCounter.h"

namespace {

using namespace qby;

std::size_t gDeliveries = 100000;
std::unique_ptr<QBYDataStore> gStore;
sqlite3* gRaw = nullptr;  // the baseline's connection

// --- Data ------------------------------------------------------------------------------------

struct Random {
  std::uint64_t state;
  std::uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(state >> 33);
  }
  std::uint32_t below(std::uint32_t n) { return next() % n; }
};

const char* const kWords[] = {
    "parcel", "box",     "shoes",  "lamp",    "cable",  "book",    "Zürich",  "École",
    "garden", "kitchen", "phone",  "charger", "coffee", "tea",     "Straße",  "Málaga",
    "desk",   "chair",   "camera", "lens",    "bottle", "jacket",  "gloves",  "scarf",
    "paint",  "brush",   "screen", "mouse",   "keys",   "battery", "Øresund", "Kraków"};
constexpr std::size_t kWordCount = sizeof kWords / sizeof kWords[0];

void exec(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::fprintf(stderr, "SQL failed: %s\n%s\n", message ? message : "?", sql);
    std::exit(1);
  }
}

sqlite3_stmt* prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
      SQLITE_OK) {
    std::fprintf(stderr, "prepare failed: %s\n%s\n", sqlite3_errmsg(db), sql.c_str());
    std::exit(1);
  }
  return statement;
}

void bindText(sqlite3_stmt* s, int i, const std::string& text) {
  sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void stepDone(sqlite3* db, sqlite3_stmt* s) {
  if (sqlite3_step(s) != SQLITE_DONE) {
    std::fprintf(stderr, "step failed: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
  sqlite3_reset(s);
}

// Fills the store's tables with plain SQL in one transaction.
void fill(sqlite3* db) {
  auto& formatter = QBYDateFormatter::sharedFormatter();
  const Calendar calendar = formatter.calendar();
  const Date now = Date::now();
  std::map<int, std::string> days;
  for (int offset = -45; offset <= 45; ++offset)
    days[offset] = *formatter.stringFromDate(calendar.dateDaysFrom(offset, now));

  exec(db, "BEGIN IMMEDIATE");
  sqlite3_stmt* service = prepare(
      db, R"(INSERT INTO "Service" ("from", "name", "shortName", "sort", "useCount", "favorite")
             VALUES (?, ?, ?, ?, ?, 0))");
  constexpr int kServices = 40;
  for (int i = 0; i < kServices; ++i) {
    char key[64];
    std::snprintf(key, sizeof key, "www.carrier%02d.example", i);
    char sort[8];
    std::snprintf(sort, sizeof sort, "%02d", i);
    bindText(service, 1, key);
    bindText(service, 2, std::string("Carrier ") + sort);
    bindText(service, 3, std::string("C") + sort);
    bindText(service, 4, sort);
    sqlite3_bind_int(service, 5, i % 3);
    stepDone(db, service);
  }
  sqlite3_finalize(service);

  sqlite3_stmt* delivery = prepare(db, R"(INSERT INTO "Delivery" (
      "uuid", "archived", "removed", "modified", "from", "historyTitle", "manualSortIndex",
      "statusChangedDate", "statusChangedOrModifiedDate", "message", "name", "no", "password",
      "selected", "tap", "updatedTime", "nextUpdate", "backgroundUpdate", "updating", "url",
      "deliveryDateSortIndex", "serviceUpdateVersion", "service")
      VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, '', ?, ?, 0, 0, '', ?, ?, ?, 0, ?, ?, 1, ?))");
  sqlite3_stmt* detail = prepare(db, R"(INSERT INTO "Detail" (
      "index", "itemName", "shippedText", "shippedDateString", "shippedExtra", "shippedBold",
      "deliveredText", "deliveredDateString", "deliveredExtra", "deliveredBold",
      "statusDateString", "dateString", "location", "icon", "delivery")
      VALUES (?, ?, 'Shipped %@', ?, '', 0, 'Delivered %@', ?, '', 0, '', ?, ?, ?, ?))");
  sqlite3_stmt* text = prepare(
      db, R"(INSERT INTO "DeliveryText" ("text", "foldedText", "delivery") VALUES (?, ?, ?))");

  Random random{42};
  const double t = now.timeIntervalSince1970();
  for (std::size_t i = 0; i < gDeliveries; ++i) {
    const std::uint32_t r = random.next();
    char uuid[32];
    std::snprintf(uuid, sizeof uuid, "uuid-%08zu", i);
    char number[32];
    std::snprintf(number, sizeof number, "1Z%010u", r);
    const int serviceIndex = static_cast<int>(random.below(kServices));
    char key[64];
    std::snprintf(key, sizeof key, "www.carrier%02d.example", serviceIndex);
    const double modified = t - random.below(400) * 86400.0 - random.below(86400);
    const bool updated = random.below(50) != 0;
    const std::string title = "Item " + std::to_string(random.below(5000));
    const std::string name =
        std::string(kWords[random.below(kWordCount)]) + " " + kWords[random.below(kWordCount)];
    sqlite3_bind_text(delivery, 1, uuid, -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(delivery, 2, random.below(10) == 0);
    sqlite3_bind_int(delivery, 3, random.below(100) == 0);
    sqlite3_bind_double(delivery, 4, modified);
    bindText(delivery, 5, key);
    bindText(delivery, 6, title);
    sqlite3_bind_int64(delivery, 7, static_cast<sqlite3_int64>(random.below(1000000)));
    sqlite3_bind_double(delivery, 8, modified + 3600);
    sqlite3_bind_double(delivery, 9, modified + 3600);
    bindText(delivery, 10, name);
    sqlite3_bind_text(delivery, 11, number, -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(delivery, 12, updated ? modified + 7200 : 0.0);
    sqlite3_bind_double(delivery, 13, t + random.below(86400));
    sqlite3_bind_double(delivery, 14, t + random.below(86400 * 7));
    bindText(delivery, 15, std::string("https://www.carrier.example/track?n=") + number);
    sqlite3_bind_double(delivery, 16, t + (static_cast<int>(random.below(61)) - 30) * 86400.0);
    sqlite3_bind_int(delivery, 17, serviceIndex + 1);
    stepDone(db, delivery);
    const sqlite3_int64 row = sqlite3_last_insert_rowid(db);

    std::string search = name + " " + number + " Carrier " + std::to_string(serviceIndex);
    const int lines = 3 + static_cast<int>(random.below(3));
    for (int line = 0; line < lines; ++line) {
      const int offset = static_cast<int>(random.below(61)) - 30;
      const bool dated = random.below(5) != 0;
      const std::string item =
          std::string(kWords[random.below(kWordCount)]) + " " + std::to_string(random.below(100));
      const std::string location = kWords[random.below(kWordCount)];
      sqlite3_bind_int(detail, 1, line);
      bindText(detail, 2, item);
      bindText(detail, 3, days[offset - 2]);
      if (dated) {
        bindText(detail, 4, days[offset]);
      } else {
        sqlite3_bind_null(detail, 4);
      }
      bindText(detail, 5, days[offset]);
      bindText(detail, 6, location);
      bindText(detail, 7, offset < 0 && random.below(2) ? "checkmark" : "");
      sqlite3_bind_int64(detail, 8, row);
      stepDone(db, detail);
      search += " " + item + " " + location;
    }
    bindText(text, 1, search);
    bindText(text, 2, foldForSearch(search));
    sqlite3_bind_int64(text, 3, row);
    stepDone(db, text);
  }
  sqlite3_finalize(delivery);
  sqlite3_finalize(detail);
  sqlite3_finalize(text);
  exec(db, "COMMIT");
  exec(db, "ANALYZE");
}

// --- Baseline helpers -------------------------------------------------------------------------

// One row as a program would keep it: every column copied out of SQLite.
using Cell = std::variant<std::monostate, std::int64_t, double, std::string>;
struct Row {
  std::vector<Cell> cells;
};

void readRow(sqlite3_stmt* s, Row& row) {
  const int count = sqlite3_column_count(s);
  row.cells.resize(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    auto& cell = row.cells[static_cast<std::size_t>(i)];
    switch (sqlite3_column_type(s, i)) {
      case SQLITE_INTEGER:
        cell = static_cast<std::int64_t>(sqlite3_column_int64(s, i));
        break;
      case SQLITE_FLOAT:
        cell = sqlite3_column_double(s, i);
        break;
      case SQLITE_TEXT:
        cell = std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, i)),
                           static_cast<std::size_t>(sqlite3_column_bytes(s, i)));
        break;
      default:
        cell = std::monostate();
        break;
    }
  }
}

// Steps every row of the statement, copying each; answers the number of rows. With keep, the
// rows are kept there (a list keeps the rows it shows); without, one row is reused.
std::size_t readAll(sqlite3_stmt* s, std::vector<Row>* keep = nullptr) {
  Row scratch;
  std::size_t count = 0;
  while (sqlite3_step(s) == SQLITE_ROW) {
    Row& row = keep ? keep->emplace_back() : scratch;
    readRow(s, row);
    benchmark::DoNotOptimize(row.cells.data());
    ++count;
  }
  sqlite3_reset(s);
  return count;
}

std::map<std::string, sqlite3_stmt*> gStatements;
sqlite3_stmt* cached(const std::string& sql) {
  auto& slot = gStatements[sql];
  if (!slot) slot = prepare(gRaw, sql);
  return slot;
}

std::string marks(std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += i ? ",?" : "?";
  return out;
}

// The row ids a statement yields, in its order.
std::vector<sqlite3_int64> readIDs(sqlite3_stmt* s) {
  std::vector<sqlite3_int64> ids;
  while (sqlite3_step(s) == SQLITE_ROW) ids.push_back(sqlite3_column_int64(s, 0));
  sqlite3_reset(s);
  return ids;
}

int columnNamed(sqlite3_stmt* s, const char* name) {
  for (int i = 0; i < sqlite3_column_count(s); ++i)
    if (std::strcmp(sqlite3_column_name(s, i), name) == 0) return i;
  std::fprintf(stderr, "no column %s\n", name);
  std::exit(1);
}

// A hand-written program that shows a long list without holding all of it does what the store
// is asked to do: it reads the ids in list order with one statement, then each batch of rows
// when it is reached, with every column of the rows and of the rows they prefetch. The baselines
// below do exactly that, so a ratio compares the record layer with plain statements doing the
// same reads, not with a different plan.
struct BatchReader {
  std::string table;  // rows of the batch: "SELECT t.* FROM <table> AS t WHERE t.Z_PK IN (...)"
  std::size_t read(const std::vector<sqlite3_int64>& ids, std::size_t first, std::size_t count,
                   const std::function<void(sqlite3_stmt*)>& each = {},
                   std::vector<Row>* keep = nullptr) const {
    sqlite3_stmt* s =
        cached("SELECT t.* FROM " + table + " AS t WHERE t.Z_PK IN (" + marks(count) + ")");
    for (std::size_t i = 0; i < count; ++i)
      sqlite3_bind_int64(s, static_cast<int>(i) + 1, ids[first + i]);
    Row scratch;
    std::size_t rows = 0;
    while (sqlite3_step(s) == SQLITE_ROW) {
      Row& row = keep ? keep->emplace_back() : scratch;
      readRow(s, row);
      benchmark::DoNotOptimize(row.cells.data());
      if (each) each(s);
      ++rows;
    }
    sqlite3_reset(s);
    return rows;
  }
};

std::string listOrder(int mode) {
  switch (mode) {
    case 2:
      return R"( ORDER BY t."statusChangedOrModifiedDate" DESC, t."from", t."historyTitle" COLLATE QBYLOCALIZED, t.Z_PK)";
    case 1:
      return R"( ORDER BY t."deliveryDateSortIndex", t."from", t."historyTitle" COLLATE QBYLOCALIZED, t.Z_PK)";
    default:
      return R"( ORDER BY t."manualSortIndex", t.Z_PK)";
  }
}

// --- The active list ---------------------------------------------------------------------------

constexpr std::size_t kListBatch = 20;

std::size_t walkList(QBYManagedObjectContext& context) {
  auto list = deliveriesForProcessType(*gStore, QBYProcessTypeApplication, &context);
  std::size_t lines = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    auto delivery = list.as<Delivery>(i);
    benchmark::DoNotOptimize(delivery->historyTitle());
    for (const auto& detail : delivery->details()) {
      benchmark::DoNotOptimize(detail->itemName());
      ++lines;
    }
    benchmark::DoNotOptimize(delivery->service().get());
  }
  return list.size() + lines;
}

// The list in batches of 20: the deliveries of the batch, their lines, and each service the
// first time a batch names it (a program keeps the few services it has read). With keep, the
// rows of the batch on screen are kept until the next batch replaces them, as a list that draws
// them must (and as the store's records are); without, every row is copied into one reused
// row and dropped, which no list can do.
std::size_t walkListBaseline(int mode, bool keep = true) {
  const auto ids = readIDs(
      cached(R"(SELECT t.Z_PK FROM "Delivery" AS t WHERE t."archived" = 0)" + listOrder(mode)));
  const BatchReader deliveries{R"("Delivery")"};
  sqlite3_stmt* service = cached(R"(SELECT * FROM "Service" WHERE Z_PK = ?)");
  const int serviceColumn = columnNamed(cached(R"(SELECT t.* FROM "Delivery" AS t)"), "service");
  std::vector<bool> serviceRead;
  std::vector<sqlite3_int64> wanted;
  std::size_t rows = 0;
  std::vector<Row> shown;
  std::vector<Row>* kept = keep ? &shown : nullptr;
  for (std::size_t first = 0; first < ids.size(); first += kListBatch) {
    const std::size_t count = std::min(kListBatch, ids.size() - first);
    wanted.clear();
    shown = std::vector<Row>();
    rows += deliveries.read(
        ids, first, count,
        [&](sqlite3_stmt* s) {
          const sqlite3_int64 key = sqlite3_column_int64(s, serviceColumn);
          if (key <= 0) return;
          if (serviceRead.size() <= static_cast<std::size_t>(key)) serviceRead.resize(key + 1);
          if (!serviceRead[key]) {
            serviceRead[key] = true;
            wanted.push_back(key);
          }
        },
        kept);
    sqlite3_stmt* lines =
        cached(R"(SELECT x.* FROM "Detail" AS x WHERE x."delivery" IN ()" + marks(count) + ")");
    for (std::size_t i = 0; i < count; ++i)
      sqlite3_bind_int64(lines, static_cast<int>(i) + 1, ids[first + i]);
    rows += readAll(lines, kept);
    for (const auto key : wanted) {
      sqlite3_bind_int64(service, 1, key);
      readAll(service);  // kept for the whole list by a program; read once each
    }
  }
  return rows;
}

// The list as one statement per table with no batches: a lower bound that no batched reader
// reaches (the rows come in table order, and the lines in one sequential pass), shown for
// reference.
std::size_t walkListOnePass(int mode) {
  std::size_t rows = readAll(
      cached(R"(SELECT t.* FROM "Delivery" AS t WHERE t."archived" = 0)" + listOrder(mode)));
  rows += readAll(cached(
      R"(SELECT x.* FROM "Detail" AS x WHERE x."delivery" IN (SELECT t.Z_PK FROM "Delivery" AS t WHERE t."archived" = 0))"));
  readAll(cached(R"(SELECT * FROM "Service")"));
  return rows;
}

void BM_List(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  QBYDataStore::sharedDefaults().setInteger(mode, QBYSortModeKey);
  auto& context = *gStore->viewContext();
  std::size_t rows = 0;
  for (auto _ : state) {
    rows = walkList(context);
    context.reset();
  }
  state.counters["rows"] = static_cast<double>(rows);
}

void BM_ListSQLite(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  std::size_t rows = 0;
  for (auto _ : state) rows = walkListBaseline(mode);
  state.counters["rows"] = static_cast<double>(rows);
}

void BM_ListSQLiteScratch(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  std::size_t rows = 0;
  for (auto _ : state) rows = walkListBaseline(mode, false);
  state.counters["rows"] = static_cast<double>(rows);
}

void BM_ListSQLiteOnePass(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  std::size_t rows = 0;
  for (auto _ : state) rows = walkListOnePass(mode);
  state.counters["rows"] = static_cast<double>(rows);
}

// --- Search
// ----------------------------------------------------------------------------------------

const char* const kSearches[] = {"zurich", "ecole box 1z"};

std::string scopeCondition(unsigned scope) {
  // The archive keeps everything (the default), so scopes 0 and other set no condition.
  switch (scope) {
    case 2:
      return R"( AND t."archived" IS NOT 1)";
    case 1:
      return R"( AND t."archived" = 1)";
    default:
      return "";
  }
}

void BM_Search(benchmark::State& state) {
  const std::string text = kSearches[state.range(0)];
  const auto scope = static_cast<unsigned>(state.range(1));
  auto& context = *gStore->viewContext();
  std::size_t rows = 0;
  for (auto _ : state) {
    auto found = deliveriesMatchingSearch(*gStore, text, scope, 0, false, &context);
    for (std::size_t i = 0; i < found.size(); ++i)
      benchmark::DoNotOptimize(found.as<Delivery>(i)->uuid());
    rows = found.size();
    context.reset();
  }
  state.counters["rows"] = static_cast<double>(rows);
}

// The matching ids newest first, with the store's statement (every word on the delivery's one
// search text, the texts read in one pass), then every batch of 20 rows with every column,
// kept until the next batch replaces them.
void BM_SearchSQLite(benchmark::State& state) {
  const std::string text = kSearches[state.range(0)];
  const auto scope = static_cast<unsigned>(state.range(1));
  const auto words = searchWordsForText(text);
  std::string sql = R"(SELECT t.Z_PK FROM "Delivery" AS t WHERE t."removed" IS NOT 1)" +
                    scopeCondition(scope) +
                    R"( AND t.Z_PK IN (SELECT s."delivery" FROM "DeliveryText" AS s WHERE 1)";
  for (std::size_t i = 0; i < words.size(); ++i) sql += R"( AND instr(s."foldedText", ?) > 0)";
  sql += R"() ORDER BY t."modified" DESC, t.Z_PK)";
  sqlite3_stmt* s = cached(sql);
  const BatchReader deliveries{R"("Delivery")"};
  std::size_t rows = 0;
  std::vector<Row> shown;
  for (auto _ : state) {
    for (std::size_t i = 0; i < words.size(); ++i)
      bindText(s, static_cast<int>(i) + 1, foldForSearch(words[i]));
    const auto ids = readIDs(s);
    rows = 0;
    for (std::size_t first = 0; first < ids.size(); first += kListBatch) {
      shown = std::vector<Row>();
      rows += deliveries.read(ids, first, std::min(kListBatch, ids.size() - first), {}, &shown);
    }
  }
  state.counters["rows"] = static_cast<double>(rows);
}

// --- Timeline
// --------------------------------------------------------------------------------------

void BM_Timeline(benchmark::State& state) {
  auto& context = *gStore->viewContext();
  std::string hash;
  for (auto _ : state) {
    hash = summaryTimelineWithData(*gStore, true, false, &context).hash;
    context.reset();
  }
  benchmark::DoNotOptimize(hash);
}

// The same walk over the same rows: line ids in day order, then batches of 10 lines with their
// deliveries (every column of both, kept until the next batch as the store keeps its records),
// each day text parsed by the shared formatter, stopping after the summary day.
void BM_TimelineSQLite(benchmark::State& state) {
  constexpr std::size_t kBatch = 10;
  auto& formatter = QBYDateFormatter::sharedFormatter();
  const Calendar calendar = formatter.calendar();
  sqlite3_stmt* s = cached(
      R"(SELECT x.Z_PK FROM "Detail" AS x JOIN "Delivery" AS d ON d.Z_PK = x."delivery")"
      R"( WHERE d."archived" = 0 AND d."updatedTime" > 0.0 AND x."deliveredDateString" <> '')"
      R"( AND (x."deliveredDateString" >= ?)"
      R"( OR date(x."deliveredDateString", '+0 days') IS NOT x."deliveredDateString"))"
      R"( ORDER BY x."deliveredDateString", x.Z_PK)");
  const BatchReader lines{R"("Detail")"};
  const BatchReader deliveries{R"("Delivery")"};
  const int dayColumn =
      columnNamed(cached(R"(SELECT t.* FROM "Detail" AS t)"), "deliveredDateString");
  const int deliveryColumn = columnNamed(cached(R"(SELECT t.* FROM "Detail" AS t)"), "delivery");
  std::size_t rows = 0;
  std::vector<Row> shown;
  for (auto _ : state) {
    const Date today = *calendar.startOfDayForDate(Date::now());
    for (long offset = -2; offset <= 2; ++offset) {
      const Date given = *calendar.dateDaysFrom(offset, today);
      bindText(s, 1, *formatter.stringFromDate(given));
      const auto ids = readIDs(s);
      std::optional<Date> summaryDay;
      bool done = false;
      for (std::size_t first = 0; first < ids.size() && !done; first += kBatch) {
        const std::size_t count = std::min(kBatch, ids.size() - first);
        std::vector<std::pair<sqlite3_int64, std::string>> days;  // by line id
        std::vector<sqlite3_int64> owners;
        shown = std::vector<Row>();
        rows += lines.read(
            ids, first, count,
            [&](sqlite3_stmt* row) {
              const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(row, dayColumn));
              days.emplace_back(sqlite3_column_int64(row, 0), text ? text : "");
              owners.push_back(sqlite3_column_int64(row, deliveryColumn));
            },
            &shown);
        std::sort(owners.begin(), owners.end());
        owners.erase(std::unique(owners.begin(), owners.end()), owners.end());
        rows += deliveries.read(owners, 0, owners.size(), {}, &shown);
        for (std::size_t i = first; i < first + count && !done; ++i) {
          const auto found = std::find_if(days.begin(), days.end(),
                                          [&](const auto& day) { return day.first == ids[i]; });
          const auto day = formatter.dateFromString(std::string_view(found->second));
          if (!day) {
            done = true;
          } else if (*day < given) {
            continue;
          } else if (!summaryDay) {
            summaryDay = day;
          } else if (*day != *summaryDay) {
            done = true;
          }
        }
      }
    }
  }
  state.counters["rows"] = static_cast<double>(rows) / static_cast<double>(state.iterations());
}

// --- Saving
// ------------------------------------------------------------------------------------------

std::vector<std::string> saveUUIDs() {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < 1000; ++i) {
    char uuid[32];
    std::snprintf(uuid, sizeof uuid, "uuid-%08zu", i * (gDeliveries / 1000));
    out.push_back(uuid);
  }
  return out;
}

void BM_Save(benchmark::State& state) {
  const auto uuids = saveUUIDs();
  auto& context = *gStore->viewContext();
  double stamp = 1.0;
  for (auto _ : state) {
    state.PauseTiming();
    for (auto& delivery : deliveriesWithUUIDs(uuids, false, context)) {
      delivery->setNextUpdate(stamp);
      delivery->setBackgroundUpdate(stamp);
      delivery->setMessage("Saved " + std::to_string(stamp));
    }
    stamp += 1;
    state.ResumeTiming();
    if (!context.save()) std::fprintf(stderr, "save failed\n");
    state.PauseTiming();
    context.reset();
    state.ResumeTiming();
  }
}

void BM_SaveSQLite(benchmark::State& state) {
  const auto uuids = saveUUIDs();
  std::vector<sqlite3_int64> rows;
  sqlite3_stmt* find = cached(R"(SELECT Z_PK FROM "Delivery" WHERE "uuid" = ?)");
  for (const auto& uuid : uuids) {
    bindText(find, 1, uuid);
    if (sqlite3_step(find) == SQLITE_ROW) rows.push_back(sqlite3_column_int64(find, 0));
    sqlite3_reset(find);
  }
  sqlite3_stmt* update = cached(
      R"(UPDATE "Delivery" SET "nextUpdate" = ?, "backgroundUpdate" = ?, "message" = ? WHERE Z_PK = ?)");
  double stamp = 1.0;
  for (auto _ : state) {
    exec(gRaw, "BEGIN IMMEDIATE");
    for (auto row : rows) {
      sqlite3_bind_double(update, 1, stamp);
      sqlite3_bind_double(update, 2, stamp);
      bindText(update, 3, "Saved " + std::to_string(stamp));
      sqlite3_bind_int64(update, 4, row);
      stepDone(gRaw, update);
    }
    exec(gRaw, "COMMIT");
    stamp += 1;
  }
}

BENCHMARK(BM_List)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListSQLite)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListSQLiteScratch)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListSQLiteOnePass)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Search)->ArgsProduct({{0, 1}, {0, 1, 2}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchSQLite)->ArgsProduct({{0, 1}, {0, 1, 2}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Timeline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TimelineSQLite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Save)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveSQLite)->Unit(benchmark::kMillisecond);

// --- Reporting
// -------------------------------------------------------------------------------------

// Keeps each run's time per iteration by name, to print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      // With repetitions the fastest run counts: the machine is shared.
      auto [slot, fresh] = times.try_emplace(
          run.run_name.function_name + (run.run_name.args.empty() ? "" : "/" + run.run_name.args),
          Times{run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()});
      if (!fresh) {
        slot->second.real = std::min(slot->second.real, run.GetAdjustedRealTime());
        slot->second.cpu = std::min(slot->second.cpu, run.GetAdjustedCPUTime());
      }
    }
  }
  struct Times {
    double real;
    double cpu;
  };
  std::map<std::string, Times> times;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--deliveries=", 13) == 0) {
      gDeliveries = std::strtoul(argv[i] + 13, nullptr, 10);
    } else {
      rest.push_back(argv[i]);
    }
  }
  int restCount = static_cast<int>(rest.size());

  // PORVANE_BENCH_MMAP=1 maps the file into memory for every connection (store and baseline
  // alike), to see how much of the difference is the per-connection page cache.
  if (std::getenv("PORVANE_BENCH_MMAP"))
    sqlite3_config(SQLITE_CONFIG_MMAP_SIZE, sqlite3_int64(1) << 30, sqlite3_int64(1) << 30);

  std::string home = (std::filesystem::temp_directory_path() / "porvane-bench-XXXXXX").string();
  if (!mkdtemp(home.data())) return 2;
  setenv("PORVANE_HOME", home.c_str(), 1);
  setenv("XDG_DATA_HOME", (home + "/xdg-data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + "/xdg-config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (home + "/xdg-cache").c_str(), 1);

  gStore = std::make_unique<QBYDataStore>(std::filesystem::path(home) / "Bench.sqlite");
  if (!gStore->available()) {
    std::fprintf(stderr, "store not available\n");
    return 1;
  }
  // The baseline's connection is used by this thread only, like a context's: the same settings.
  gRaw = gStore->persistentStore()->openConnection(nullptr,
                                                   QBYPersistentStore::ConnectionUse::OneQueue);
  const auto started = std::chrono::steady_clock::now();
  fill(gRaw);
  std::printf("Built %zu deliveries in %.1f s\n", gDeliveries,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());

  benchmark::Initialize(&restCount, rest.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\nRatio to plain SQLite (goal: at most 1.5); fastest run, real and CPU time\n");
  std::printf("  %-22s %10s %10s %6s %10s %10s %6s\n", "", "store", "SQLite", "real", "store",
              "SQLite", "CPU");
  for (const auto& [name, time] : reporter.times) {
    if (name.find("SQLite") != std::string::npos) continue;
    std::string baseline = name;
    baseline.insert(name.find('/') == std::string::npos ? name.size() : name.find('/'), "SQLite");
    auto found = reporter.times.find(baseline);
    if (found == reporter.times.end()) continue;
    std::printf("  %-22s %8.2fms %8.2fms %5.2fx %8.2fms %8.2fms %5.2fx\n", name.c_str(), time.real,
                found->second.real, time.real / found->second.real, time.cpu, found->second.cpu,
                time.cpu / found->second.cpu);
  }
  const auto reference = [&](const char* title, const std::string& baseline) {
    std::printf("\n%s\n", title);
    for (int mode = 0; mode <= 2; ++mode) {
      const std::string args = "/" + std::to_string(mode);
      auto store = reporter.times.find("BM_List" + args);
      auto other = reporter.times.find(baseline + args);
      if (store == reporter.times.end() || other == reporter.times.end()) continue;
      std::printf("  %-22s %8.2fms %8.2fms %5.2fx %8.2fms %8.2fms %5.2fx\n",
                  ("BM_List" + args).c_str(), store->second.real, other->second.real,
                  store->second.real / other->second.real, store->second.cpu, other->second.cpu,
                  store->second.cpu / other->second.cpu);
    }
  };
  reference("For reference, the list against batches read into one reused row (nothing kept):",
            "BM_ListSQLiteScratch");
  reference("For reference, the list against one statement per table without batches:",
            "BM_ListSQLiteOnePass");

  QBYDataStore::sharedDefaults().setInteger(1, QBYSortModeKey);
  auto& context = *gStore->viewContext();
  context.reset();
  std::size_t storeRows = 0;
  const auto storeUse = qby::bench::heap::usageDuring([&] { storeRows = walkList(context); });
  context.reset();
  std::size_t rawRows = 0;
  const auto rawUse = qby::bench::heap::usageDuring([&] { rawRows = walkListBaseline(1); });
  const long onePassPeak = qby::bench::heap::peakDuring([] {
    std::vector<Row> rows;
    readAll(cached(R"(SELECT t.* FROM "Delivery" AS t WHERE t."archived" = 0)" + listOrder(1)),
            &rows);
  });
  std::printf(
      "\nPeak heap of the list fetch (mode 1, %zu deliveries): store %ld kB, SQLite keeping its "
      "batch %ld kB; every active row kept at once would take %ld kB\n",
      gDeliveries, storeUse.peakKB, rawUse.peakKB, onePassPeak);
  const auto perRow = [](long allocations, std::size_t rows) {
    return rows ? static_cast<double>(allocations) / static_cast<double>(rows) : 0.0;
  };
  std::printf(
      "Allocations of the list fetch (mode 1, deliveries and their lines): store %ld for %zu rows "
      "(%.2f per row), SQLite keeping its batch %ld for %zu rows (%.2f per row)\n",
      storeUse.allocations, storeRows, perRow(storeUse.allocations, storeRows), rawUse.allocations,
      rawRows, perRow(rawUse.allocations, rawRows));

  for (auto& [sql, statement] : gStatements) sqlite3_finalize(statement);
  sqlite3_close_v2(gRaw);
  gStore.reset();
  std::error_code error;
  std::filesystem::remove_all(home, error);
  return 0;
}
