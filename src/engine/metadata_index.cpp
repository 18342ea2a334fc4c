#include "engine/metadata_index.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "json/json_writer.h"
#include "json/parser.h"

namespace quillmere::engine {
namespace {

// Parser handler that turns a document into index entries, walking with the
// parser's explicit stack rather than recursion.
template <typename Emit>
class EntryWriter {
 public:
  // Appends each entry to `text` and calls `emit(offset, size)` for it.
  EntryWriter(std::string& text, Emit emit) : text_(text), emit_(std::move(emit)) {}

  bool null() {
    enter_value();
    return true;
  }
  bool boolean(bool value) { return leaf(value ? "true" : "false"); }
  bool uint(std::uint64_t value) { return integer_leaf(value); }
  bool sint(std::int64_t value) { return integer_leaf(value); }
  bool real(double value) {
    enter_value();
    const std::size_t start = begin_entry();
    json::append_plain_float(text_, value);
    emit_(start, text_.size() - start);
    return true;
  }
  bool string(std::string_view value) { return leaf(value); }
  bool key(std::string_view key) {
    const Frame& frame = frames_.back();
    path_.resize(frame.path_size);
    if (frame.path_size != 0) path_ += '.';
    path_ += key;
    return true;
  }
  bool begin_array() { return open(true); }
  bool begin_object() { return open(false); }
  bool end_array() { return close(); }
  bool end_object() { return close(); }

 private:
  struct Frame {
    std::size_t path_size;  // length of the container's own path
    bool array;
    std::uint64_t next_position;
  };

  // An array element's path is its container's path and its position.
  void enter_value() {
    if (frames_.empty() || !frames_.back().array) return;
    Frame& frame = frames_.back();
    path_.resize(frame.path_size);
    if (frame.path_size != 0) path_ += '.';
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, frame.next_position++).ptr;
    path_.append(digits, end);
  }

  std::size_t begin_entry() {
    const std::size_t start = text_.size();
    text_ += path_;
    text_ += '.';
    return start;
  }

  bool leaf(std::string_view value) {
    enter_value();
    const std::size_t start = begin_entry();
    text_ += value;
    emit_(start, text_.size() - start);
    return true;
  }

  template <typename Integer>
  bool integer_leaf(Integer value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return leaf(std::string_view(digits, static_cast<std::size_t>(end - digits)));
  }

  bool open(bool array) {
    enter_value();
    frames_.push_back(Frame{path_.size(), array, 0});
    return true;
  }

  bool close() {
    frames_.pop_back();
    return true;
  }

  std::string& text_;
  Emit emit_;
  std::string path_;
  std::vector<Frame> frames_;
};

}  // namespace

bool IndexChanges::process_json_index(std::string_view document, std::string_view id, bool add) {
  const std::size_t text_mark = text_.size();
  const std::size_t changes_mark = changes_.size();
  const std::size_t id_offset = text_.size();
  text_ += id;
  EntryWriter writer(text_, [&](std::size_t offset, std::size_t size) {
    changes_.push_back(Change{offset, size, id_offset, id.size(), add});
  });
  if (json::parse_json<json::Dialect::kInPlace>(document, writer).ok()) return true;
  text_.resize(text_mark);
  changes_.resize(changes_mark);
  return false;
}

std::vector<IndexChange> IndexChanges::net_changes() const {
  // Sorted by (entry, id, order recorded): the last change to a pair ends its run.
  struct Sorted {
    IndexChange change;
    std::size_t order;
  };
  const std::string_view text(text_);
  std::vector<Sorted> sorted;
  sorted.reserve(changes_.size());
  for (std::size_t i = 0; i < changes_.size(); ++i) {
    const Change& change = changes_[i];
    sorted.push_back(Sorted{{text.substr(change.entry_offset, change.entry_size),
                             text.substr(change.id_offset, change.id_size), change.add},
                            i});
  }
  std::sort(sorted.begin(), sorted.end(), [](const Sorted& a, const Sorted& b) {
    if (const int by_entry = a.change.entry.compare(b.change.entry); by_entry != 0) {
      return by_entry < 0;
    }
    if (const int by_id = a.change.id.compare(b.change.id); by_id != 0) return by_id < 0;
    return a.order < b.order;
  });
  std::vector<IndexChange> result;
  result.reserve(sorted.size());
  for (const Sorted& item : sorted) {
    if (!result.empty() && result.back().entry == item.change.entry &&
        result.back().id == item.change.id) {
      result.back() = item.change;
    } else {
      result.push_back(item.change);
    }
  }
  return result;
}

Status IndexChanges::apply(store::WriteTransaction& transaction) const {
  // Additions go in bulk, in (entry, id) order; removals one by one. Distinct
  // pairs do not interfere, so the two groups may be applied apart.
  Status result = Status::Ok();
  std::vector<store::IndexPair> additions;
  for (const IndexChange& change : net_changes()) {
    if (change.add) {
      additions.push_back(store::IndexPair{change.entry, change.id});
    } else if (Status removed = transaction.remove_index(change.entry, change.id);
               !removed.ok() && result.ok()) {
      result = std::move(removed);
    }
  }
  Status added = transaction.insert_index(additions);
  return result.ok() ? added : result;
}

void IndexChanges::clear() {
  text_.clear();
  changes_.clear();
}

}  // namespace quillmere::engine
