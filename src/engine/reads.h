// The store work of the reads: each copies the rows it needs out of one read
// transaction (a consistent snapshot) and fails with the store's error text.
// No Python here: callers run these with the interpreter lock released. Any
// thread; each call uses its own pooled connection.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "engine/row.h"
#include "store/database.h"

namespace quillmere::engine {

// The stored document of `id`, or nothing when none is stored.
Result<std::optional<std::string>> read_document(store::Database& db, std::string_view id);

// One row per id, in the order given, repeated ids repeated.
Result<std::vector<Row>> read_documents(store::Database& db, const std::vector<std::string>& ids);

// Every document whose id begins with `prefix`, in ascending byte order of the ids.
Result<std::vector<Row>> read_prefix(store::Database& db, std::string_view prefix);

// The index entry of a metadata query: "{index_key}.{index_value}".
std::string index_entry(std::string_view index_key, std::string_view index_value);

// The documents listed under an index entry, in ascending id order; ids whose
// document is gone (stale entries) are skipped.
Result<std::vector<Row>> read_index_entry(store::Database& db, std::string_view entry);

// One page of the ids listed under an index entry, in ascending order: the
// first `offset` ids are passed over without reading their documents, then
// at most `limit` ids (all when absent) are visited. Stale ids count in both
// and give no row.
Result<std::vector<Row>> read_index_page(store::Database& db, std::string_view entry,
                                         std::uint64_t offset, std::optional<std::uint64_t> limit);

}  // namespace quillmere::engine
