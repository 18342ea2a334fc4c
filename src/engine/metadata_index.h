// The metadata index builder. Every non-null scalar at every path of a
// document gives one index entry, "{path}.{leaf text}", listing the
// document's id. IndexChanges collects the additions and removals of one
// write batch while its documents are applied, then writes them in (entry,
// id) order, which keeps the index B-tree writes local. Used by the one
// thread that applies a batch.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "store/database.h"

namespace quillmere::engine {

struct IndexChange {
  std::string_view entry;
  std::string_view id;
  bool add;
};

class IndexChanges {
 public:
  // Parses `document` and records, for each of its index entries, that the
  // pair (entry, id) is to be added (add) or removed (!add). A document that
  // does not parse records nothing and gives false.
  bool process_json_index(std::string_view document, std::string_view id, bool add);

  // The change that decides each pair, i.e. the last one recorded for it, in
  // ascending (entry, id) order. Views into this object.
  std::vector<IndexChange> net_changes() const;

  // Writes the net changes, every one whatever the others gave; the first
  // failure, if any.
  Status apply(store::WriteTransaction& transaction) const;

  void clear();

 private:
  struct Change {
    std::size_t entry_offset;
    std::size_t entry_size;
    std::size_t id_offset;
    std::size_t id_size;
    bool add;
  };

  // Entry and id texts, back to back; changes refer to them by offset.
  std::string text_;
  std::vector<Change> changes_;
};

}  // namespace quillmere::engine
