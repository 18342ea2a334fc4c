#include "engine/row_limit.h"

#include <string>

namespace quillmere::engine {

std::uint64_t max_row_bytes(std::uint64_t length_limit) {
  return length_limit > kRowMargin ? length_limit - kRowMargin : 0;
}

Status check_row_limit(std::size_t id_size, std::size_t document_size, std::uint64_t length_limit) {
  const std::uint64_t most = max_row_bytes(length_limit);
  if (id_size > most) {
    return Status::Error("Document id of " + std::to_string(id_size) +
                         " bytes is too large for the store (at most " + std::to_string(most) +
                         " bytes)");
  }
  if (document_size > most - id_size) {
    return Status::Error("Document of " + std::to_string(document_size) +
                         " bytes is too large for the store (at most " +
                         std::to_string(most - id_size) + " bytes with an id of " +
                         std::to_string(id_size) + " bytes)");
  }
  return Status::Ok();
}

}  // namespace quillmere::engine
