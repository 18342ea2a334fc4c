// The largest write the store can hold. The store refuses a text, blob or
// row longer than its length limit; a write that would meet that refusal
// inside a batch would fail the whole batch, so it is refused at the call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/status.h"

namespace quillmere::engine {

// Bytes kept below the limit for what a row holds beyond the id and the
// document: the record header, and an index entry's growth over the JSON
// text it comes from. Each level of an entry's path costs the text at least
// as much as the path (a key's quotes and colon, an array's brackets and
// earlier elements); a string or integer leaf is no longer than its JSON
// form; only the one number leaf of an entry can grow, by at most the
// length of a double written out in full (under 350 bytes).
inline constexpr std::uint64_t kRowMargin = 1024;

// The most bytes an id and its document may hold together under the store's
// `length_limit`.
std::uint64_t max_row_bytes(std::uint64_t length_limit);

// Fails, naming the size and the largest size accepted, when a document row
// of an id and a document of these sizes, or an index row it produces,
// could exceed `length_limit`. A Delete passes a document size of 0.
Status check_row_limit(std::size_t id_size, std::size_t document_size, std::uint64_t length_limit);

}  // namespace quillmere::engine
