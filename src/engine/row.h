// Row: what a read copies out of its read transaction for one document, to be
// converted into Python objects once the transaction has ended.
#pragma once

#include <optional>
#include <string>

namespace quillmere::engine {

// A document id and its stored document (absent for a get_many id without one).
struct Row {
  std::string id;
  std::optional<std::string> document;
};

}  // namespace quillmere::engine
