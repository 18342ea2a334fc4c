// The largest write the store can hold. The store refuses a text, blob or
// row longer than its length limit; a write that would meet that refusal
// inside a batch would fail the whole batch, so it is refused at the call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/status.h"

namespace quillmere::engine {

// The most an index entry can be longer than the JSON text of its document.
// Each level of an entry's path, with its full stop, costs the text at least
// as much (a key's quotes and colon, an array's brackets and earlier
// elements); a string or integer leaf is no longer than its JSON form. What
// grows is the full stop before the leaf of a top-level scalar (one byte) and
// the one number leaf of an entry, by at most the length of a double written
// out in full ("-5e-324" gives 327 bytes).
inline constexpr std::uint64_t kMaxEntryGrowth = 350;

// Bytes kept below the limit for what a row holds beyond the id and the
// document: the record header (a few varints) and an entry's growth.
inline constexpr std::uint64_t kRowMargin = 1024;
static_assert(kMaxEntryGrowth + 64 <= kRowMargin);

// The most bytes an id and its document may hold together under the store's
// `length_limit`.
std::uint64_t max_row_bytes(std::uint64_t length_limit);

// Fails, naming the size and the largest size accepted, when a document row
// of an id and a document of these sizes, or an index row it produces,
// could exceed `length_limit`. A Delete passes a document size of 0.
Status check_row_limit(std::size_t id_size, std::size_t document_size, std::uint64_t length_limit);

}  // namespace quillmere::engine
