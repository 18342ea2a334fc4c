#include "store/schema.h"

#include <array>
#include <string>

namespace quillmere::store {
namespace {

struct ColumnSpec {
  const char* name;
  const char* type;
  int primary_key_position;  // 0 when not part of the key
};

struct TableSpec {
  const char* name;
  const char* create_sql;
  std::array<ColumnSpec, 2> columns;
};

// Keys compare with the BINARY collation, which orders texts by their bytes.
constexpr TableSpec kTables[] = {
    {"documents",
     "CREATE TABLE documents(id TEXT PRIMARY KEY, body BLOB NOT NULL) WITHOUT ROWID",
     {{{"id", "TEXT", 1}, {"body", "BLOB", 0}}}},
    {"metadata_index",
     "CREATE TABLE metadata_index(entry TEXT NOT NULL, id TEXT NOT NULL, "
     "PRIMARY KEY(entry, id)) WITHOUT ROWID",
     {{{"entry", "TEXT", 1}, {"id", "TEXT", 2}}}},
};

Status layout_error(const TableSpec& table) {
  return Status::Error(std::string("Table \"") + table.name + "\" has an unexpected layout");
}

bool same_word(const unsigned char* text, const char* expected) {
  return text != nullptr && sqlite3_stricmp(reinterpret_cast<const char*>(text), expected) == 0;
}

// Runs `sql` with the table's name bound to ?1; `on_row` sees each row.
template <typename OnRow>
Status query_about(Connection& db, const char* sql, const TableSpec& table, OnRow on_row) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db.handle(), sql, -1, &stmt, nullptr) != SQLITE_OK) {
    return Status::Error(db.error_text());
  }
  sqlite3_bind_text(stmt, 1, table.name, -1, SQLITE_STATIC);
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) on_row(stmt);
  Status status = rc == SQLITE_DONE ? Status::Ok() : Status::Error(db.error_text());
  sqlite3_finalize(stmt);
  return status;
}

Status check_columns(Connection& db, const TableSpec& table) {
  int count = 0;
  bool matches = true;
  Status status = query_about(db, "SELECT name, type, pk FROM pragma_table_info(?1, 'main')", table,
                              [&](sqlite3_stmt* row) {
                                if (count < 2) {
                                  const ColumnSpec& want = table.columns[count];
                                  matches = matches &&
                                            same_word(sqlite3_column_text(row, 0), want.name) &&
                                            same_word(sqlite3_column_text(row, 1), want.type) &&
                                            sqlite3_column_int(row, 2) == want.primary_key_position;
                                }
                                ++count;
                              });
  if (!status.ok()) return status;
  if (!matches || count != 2) return layout_error(table);

  // A key column with another collation would order ids other than by bytes.
  for (const ColumnSpec& column : table.columns) {
    if (column.primary_key_position == 0) continue;
    const char* collation = nullptr;
    if (sqlite3_table_column_metadata(db.handle(), "main", table.name, column.name, nullptr,
                                      &collation, nullptr, nullptr, nullptr) != SQLITE_OK) {
      return Status::Error(db.error_text());
    }
    if (collation == nullptr || sqlite3_stricmp(collation, "BINARY") != 0) {
      return layout_error(table);
    }
  }
  return Status::Ok();
}

Status ensure_table(Connection& db, const TableSpec& table) {
  bool exists = false;
  bool is_table = false;
  Status status =
      query_about(db, "SELECT type FROM main.sqlite_schema WHERE name = ?1 COLLATE NOCASE", table,
                  [&](sqlite3_stmt* row) {
                    exists = true;
                    is_table = same_word(sqlite3_column_text(row, 0), "table");
                  });
  if (!status.ok()) return status;
  if (!exists) return db.exec(table.create_sql);
  if (!is_table) return layout_error(table);
  return check_columns(db, table);
}

}  // namespace

Status ensure_schema(Connection& writer) {
  if (Status begin = writer.exec("BEGIN IMMEDIATE"); !begin.ok()) return begin;
  for (const TableSpec& table : kTables) {
    if (Status status = ensure_table(writer, table); !status.ok()) {
      writer.exec("ROLLBACK");
      return status;
    }
  }
  if (Status commit = writer.exec("COMMIT"); !commit.ok()) {
    writer.exec("ROLLBACK");
    return commit;
  }
  return Status::Ok();
}

}  // namespace quillmere::store
