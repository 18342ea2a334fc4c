#include "db_engine/reads.h"

namespace quillmere::db_engine {

Result<std::optional<std::string>> read_document(store::Database& db, std::string_view id) {
  Result<store::ReadTransaction> read = db.begin_read();
  if (!read.ok()) return read.status();
  return read.value().get_document(id);
}

Result<std::vector<Row>> read_documents(store::Database& db, const std::vector<std::string>& ids) {
  Result<store::ReadTransaction> read = db.begin_read();
  if (!read.ok()) return read.status();
  std::vector<Row> rows;
  rows.reserve(ids.size());
  for (const std::string& id : ids) {
    Result<std::optional<std::string>> document = read.value().get_document(id);
    if (!document.ok()) return document.status();
    rows.push_back(Row{id, std::move(document.value())});
  }
  return rows;
}

Result<std::vector<Row>> read_prefix(store::Database& db, std::string_view prefix) {
  Result<store::ReadTransaction> read = db.begin_read();
  if (!read.ok()) return read.status();
  std::vector<Row> rows;
  // Ids are ordered by bytes, so every id with the prefix comes before the
  // first one without it.
  Status scanned =
      read.value().scan_documents(prefix, [&](std::string_view id, std::string_view body) {
        if (!id.starts_with(prefix)) return false;
        rows.push_back(Row{std::string(id), std::string(body)});
        return true;
      });
  if (!scanned.ok()) return scanned;
  return rows;
}

Result<std::vector<Row>> read_index_entry(store::Database& db, std::string_view entry) {
  Result<store::ReadTransaction> read = db.begin_read();
  if (!read.ok()) return read.status();
  std::vector<std::string> ids;
  Status listed = read.value().scan_index(entry, [&](std::string_view id) {
    ids.emplace_back(id);
    return true;
  });
  if (!listed.ok()) return listed;
  std::vector<Row> rows;
  rows.reserve(ids.size());
  for (std::string& id : ids) {
    Result<std::optional<std::string>> document = read.value().get_document(id);
    if (!document.ok()) return document.status();
    if (document.value()) rows.push_back(Row{std::move(id), std::move(document.value())});
  }
  return rows;
}

}  // namespace quillmere::db_engine
