#include "engine/reads.h"

namespace quillmere::engine {
namespace {

using IdBodyVisitor = std::function<bool(std::string_view id, std::string_view body)>;

// Copies the rows of one scanning statement; `keep` decides where to stop.
Result<std::vector<Row>> copy_rows(
    store::Database& db, std::string_view parameter,
    Status (store::ReadTransaction::*scan)(std::string_view, const IdBodyVisitor&),
    const std::function<bool(std::string_view id)>& keep) {
  Result<store::ReadTransaction> read = db.begin_read();
  if (!read.ok()) return read.status();
  std::vector<Row> rows;
  Status scanned = (read.value().*scan)(parameter, [&](std::string_view id, std::string_view body) {
    if (!keep(id)) return false;
    rows.push_back(Row{std::string(id), std::string(body)});
    return true;
  });
  if (!scanned.ok()) return scanned;
  return rows;
}

}  // namespace

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
  // Ids are ordered by bytes, so every id with the prefix comes before the
  // first one without it.
  return copy_rows(db, prefix, &store::ReadTransaction::scan_documents,
                   [prefix](std::string_view id) { return id.starts_with(prefix); });
}

std::string index_entry(std::string_view index_key, std::string_view index_value) {
  std::string entry;
  entry.reserve(index_key.size() + 1 + index_value.size());
  entry.append(index_key).append(".").append(index_value);
  return entry;
}

Result<std::vector<Row>> read_index_page(store::Database& db, std::string_view entry,
                                         std::uint64_t offset, std::optional<std::uint64_t> limit) {
  Result<store::ReadTransaction> read = db.begin_read();
  if (!read.ok()) return read.status();
  std::vector<Row> rows;
  if (limit == 0) return rows;
  Status scanned = read.value().scan_index_page(
      entry, offset, limit, [&](std::string_view id, std::string_view body) {
        rows.push_back(Row{std::string(id), std::string(body)});
      });
  if (!scanned.ok()) return scanned;
  return rows;
}

Result<std::vector<Row>> read_index_entry(store::Database& db, std::string_view entry) {
  return copy_rows(db, entry, &store::ReadTransaction::scan_index_documents,
                   [](std::string_view) { return true; });
}

}  // namespace quillmere::engine
