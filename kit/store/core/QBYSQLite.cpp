#include "store/core/QBYSQLite.h"

#include "store/core/QBYPersistentStore.h"

namespace qby::sql {

std::string quoted(std::string_view identifier) {
  std::string out = "\"";
  for (const char c : identifier) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

bool isUnreadable(int resultCode) {
  const int primary = resultCode & 0xff;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT || primary == SQLITE_CANTOPEN;
}

QBYError errorFrom(sqlite3* db, int resultCode, std::string_view action) {
  const char* message = db ? sqlite3_errmsg(db) : sqlite3_errstr(resultCode);
  Dictionary info;
  info.set("sqliteCode", Value(resultCode));
  info.set("sqliteMessage", Value(message ? message : ""));
  const std::int64_t code =
      isUnreadable(resultCode) ? QBYStoreErrorUnreadable : QBYStoreErrorSQLite;
  return QBYError::make(QBYStoreErrorDomain, code,
                        std::string(action) + ": " + (message ? message : "unknown error"),
                        std::move(info));
}

bool exec(sqlite3* db, std::string_view sql, QBYError* error) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db, std::string(sql).c_str(), nullptr, nullptr, &message);
  sqlite3_free(message);
  if (rc != SQLITE_OK) {
    setError(error, errorFrom(db, rc, "Statement failed"));
    return false;
  }
  return true;
}

void bind(sqlite3_stmt* statement, int index, const Value& value) {
  switch (value.type()) {
    case Value::Type::Null:
      sqlite3_bind_null(statement, index);
      break;
    case Value::Type::Bool:
      sqlite3_bind_int(statement, index, *value.asBool() ? 1 : 0);
      break;
    case Value::Type::Integer:
      sqlite3_bind_int64(statement, index, *value.asInteger());
      break;
    case Value::Type::Real:
      sqlite3_bind_double(statement, index, *value.asReal());
      break;
    case Value::Type::String: {
      const std::string& text = *value.stringPtr();
      sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT,
                          SQLITE_UTF8);
      break;
    }
    case Value::Type::Date:
      sqlite3_bind_double(statement, index, value.asDate()->timeIntervalSince1970());
      break;
    case Value::Type::Data: {
      const Data& data = *value.dataPtr();
      sqlite3_bind_blob64(statement, index, data.data(), data.size(), SQLITE_TRANSIENT);
      break;
    }
    case Value::Type::Array:
    case Value::Type::Dictionary:
      // Collections have no column form; expandArrayArguments flattens arrays beforehand.
      sqlite3_bind_null(statement, index);
      break;
  }
}

Value column(sqlite3_stmt* statement, int index, AttributeType type) {
  if (sqlite3_column_type(statement, index) == SQLITE_NULL) return Value();
  switch (type) {
    case AttributeType::String: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, index));
      const int length = sqlite3_column_bytes(statement, index);
      return Value(std::string(text ? text : "", static_cast<std::size_t>(length)));
    }
    case AttributeType::Integer:
      return Value(static_cast<long long>(sqlite3_column_int64(statement, index)));
    case AttributeType::Double:
      return Value(sqlite3_column_double(statement, index));
    case AttributeType::Boolean:
      return Value(sqlite3_column_int64(statement, index) != 0);
    case AttributeType::Date:
      return Value(Date(sqlite3_column_double(statement, index)));
    case AttributeType::Binary: {
      const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, index));
      const int length = sqlite3_column_bytes(statement, index);
      return Value(Data(bytes, bytes + length));
    }
  }
  return Value();
}

Value value(sqlite3_value* column, AttributeType type) {
  if (sqlite3_value_type(column) == SQLITE_NULL) return Value();
  switch (type) {
    case AttributeType::String: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(column));
      const int length = sqlite3_value_bytes(column);
      return Value(std::string(text ? text : "", static_cast<std::size_t>(length)));
    }
    case AttributeType::Integer:
      return Value(static_cast<long long>(sqlite3_value_int64(column)));
    case AttributeType::Double:
      return Value(sqlite3_value_double(column));
    case AttributeType::Boolean:
      return Value(sqlite3_value_int64(column) != 0);
    case AttributeType::Date:
      return Value(Date(sqlite3_value_double(column)));
    case AttributeType::Binary: {
      const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_value_blob(column));
      const int length = sqlite3_value_bytes(column);
      return Value(Data(bytes, bytes + length));
    }
  }
  return Value();
}

std::int64_t columnRowID(sqlite3_stmt* statement, int index) {
  if (sqlite3_column_type(statement, index) == SQLITE_NULL) return 0;
  return sqlite3_column_int64(statement, index);
}

sqlite3_stmt* StatementCache::prepare(const std::string& sql, QBYError* error) {
  if (auto found = statements_.find(sql); found != statements_.end()) {
    sqlite3_reset(found->second.get());
    sqlite3_clear_bindings(found->second.get());
    return found->second.get();
  }
  // Statements built from changing column sets (updates of changed fields) could otherwise
  // pile up without bound.
  if (statements_.size() >= 512) statements_.clear();
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                                    SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
  StatementPtr statement(raw);
  if (rc != SQLITE_OK || !statement) {
    setError(error, errorFrom(db_, rc, "Preparing a statement failed"));
    return nullptr;
  }
  return statements_.emplace(sql, std::move(statement)).first->second.get();
}

WriteTransaction::~WriteTransaction() {
  rollback();
}

bool WriteTransaction::begin(QBYError* error) {
  if (!exec(db_, "BEGIN IMMEDIATE", error)) return false;
  open_ = true;
  return true;
}

bool WriteTransaction::commit(QBYError* error) {
  if (!open_) return false;
  if (!exec(db_, "COMMIT", error)) {
    // A failed COMMIT leaves the transaction open; undo it so the file stays as it was.
    rollback();
    return false;
  }
  open_ = false;
  return true;
}

void WriteTransaction::rollback() {
  if (!open_) return;
  open_ = false;
  if (!sqlite3_get_autocommit(db_)) exec(db_, "ROLLBACK", nullptr);
}

void expandArrayArguments(std::string& sql, std::vector<Value>& arguments) {
  bool anyArray = false;
  for (const auto& argument : arguments) anyArray = anyArray || argument.isArray();
  if (!anyArray) return;

  std::string out;
  std::vector<Value> flat;
  std::size_t next = 0;
  char quote = 0;
  for (const char c : sql) {
    if (quote) {
      if (c == quote) quote = 0;
      out += c;
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      out += c;
      continue;
    }
    if (c != '?' || next >= arguments.size()) {
      out += c;
      continue;
    }
    const Value& argument = arguments[next++];
    if (const Array* items = argument.arrayPtr()) {
      if (items->empty()) {
        out += "NULL";
      } else {
        for (std::size_t i = 0; i < items->size(); ++i) out += i ? ",?" : "?";
        flat.insert(flat.end(), items->begin(), items->end());
      }
    } else {
      out += '?';
      flat.push_back(argument);
    }
  }
  while (next < arguments.size()) flat.push_back(arguments[next++]);
  sql = std::move(out);
  arguments = std::move(flat);
}

}  // namespace qby::sql
