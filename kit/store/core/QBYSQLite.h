// The one wrapper around the SQLite C interface: owning handles, a per-connection cache of
// prepared statements, binding of Values and reading of typed columns, transactions, and the
// conversion of SQLite failures into QBYError values. Only the store's own files include it.
//
// A connection and its statements are used by one thread at a time (the owning context's).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/QBYError.h"
#include "platform/Value.h"
#include "store/core/QBYEntityDescription.h"

namespace qby::sql {

struct ConnectionCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using ConnectionPtr = std::unique_ptr<sqlite3, ConnectionCloser>;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// "name" with embedded quotes doubled, for table and column names (several attribute names,
// such as "from" and "index", are SQL keywords).
std::string quoted(std::string_view identifier);

// An error of the store's domain with SQLite's code and message in the user information.
QBYError errorFrom(sqlite3* db, int resultCode, std::string_view action);
// True for the result codes that mean the file is not a database or is damaged.
bool isUnreadable(int resultCode);

// Runs one or more statements without results.
bool exec(sqlite3* db, std::string_view sql, QBYError* error);

void bind(sqlite3_stmt* statement, int index, const Value& value);
// The column as a value of the attribute's type; SQL NULL reads as a null value.
Value column(sqlite3_stmt* statement, int index, AttributeType type);
// The same from a column's value (sqlite3_column_value) of a statement stepped on this thread:
// one call into SQLite per column instead of one per question asked of it.
Value value(sqlite3_value* column, AttributeType type);
std::int64_t columnRowID(sqlite3_stmt* statement, int index);

// Prepared statements kept per connection, keyed by their SQL text, so that the statements a
// context runs again and again (fault fulfilment, batch loads, inserts) are compiled once.
class StatementCache {
 public:
  explicit StatementCache(sqlite3* db) : db_(db) {}
  // The statement, reset and with its bindings cleared; nullptr with the error on failure.
  sqlite3_stmt* prepare(const std::string& sql, QBYError* error);
  void clear() { statements_.clear(); }

 private:
  sqlite3* db_;
  std::unordered_map<std::string, StatementPtr> statements_;
};

// Resets a cached statement when the scope ends, so no statement keeps a read transaction
// (and with it an old snapshot of the file) open between uses.
class StatementReset {
 public:
  explicit StatementReset(sqlite3_stmt* statement) : statement_(statement) {}
  ~StatementReset() {
    if (statement_) {
      sqlite3_reset(statement_);
      sqlite3_clear_bindings(statement_);
    }
  }
  StatementReset(const StatementReset&) = delete;
  StatementReset& operator=(const StatementReset&) = delete;

 private:
  sqlite3_stmt* statement_;
};

// A write transaction taken with BEGIN IMMEDIATE: the write lock is acquired at the start
// (waiting through the busy handler), so the transaction never fails half-way because another
// connection wrote first. Rolled back when the scope ends without commit().
class WriteTransaction {
 public:
  explicit WriteTransaction(sqlite3* db) : db_(db) {}
  ~WriteTransaction();
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;

  bool begin(QBYError* error);
  bool commit(QBYError* error);
  void rollback();

 private:
  sqlite3* db_;
  bool open_ = false;
};

// Replaces every "?" placeholder outside quotes whose argument is an array with one
// placeholder per element ("?,?,?", or "NULL" for an empty array), and flattens the arguments
// to match. Lets a predicate say "t.uuid IN (?)" with a list argument.
void expandArrayArguments(std::string& sql, std::vector<Value>& arguments);

}  // namespace qby::sql
