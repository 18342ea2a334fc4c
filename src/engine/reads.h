// The store work of the reads: each copies the rows it needs out of one read
// transaction (a consistent snapshot) and fails with the store's error text.
// No Python here: callers run these with the interpreter lock released. Any
// thread; each call uses its own pooled connection.
#pragma once

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

// The documents listed under an index entry, in ascending id order; ids whose
// document is gone (stale entries) are skipped.
Result<std::vector<Row>> read_index_entry(store::Database& db, std::string_view entry);

}  // namespace quillmere::engine
