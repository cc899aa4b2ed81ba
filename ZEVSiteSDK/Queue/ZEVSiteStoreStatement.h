// What the event store's two source files share of SQLite's statements.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <string>

namespace zevsite::store {

// A BLOB column's bytes (empty for NULL).
inline std::string blobColumn(sqlite3_stmt* statement, int column) {
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
  return bytes
             ? std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
             : std::string();
}

// Statement reset and bindings cleared when the scope ends, whatever path it takes.
struct StatementScope {
  sqlite3_stmt* statement;
  ~StatementScope() {
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
  }
};

}  // namespace zevsite::store
