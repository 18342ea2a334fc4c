#include "db_engine/metadata_index.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <numeric>

#include "json/json_writer.h"
#include "json/parser.h"

namespace quillmere::db_engine {
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
  const auto view = [this](std::size_t offset, std::size_t size) {
    return std::string_view(text_).substr(offset, size);
  };
  std::vector<std::size_t> order(changes_.size());
  std::iota(order.begin(), order.end(), 0);
  // Ties keep their recorded order, so the last change to a pair ends its run.
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const Change& x = changes_[a];
    const Change& y = changes_[b];
    const int by_entry = view(x.entry_offset, x.entry_size).compare(view(y.entry_offset, y.entry_size));
    if (by_entry != 0) return by_entry < 0;
    return view(x.id_offset, x.id_size) < view(y.id_offset, y.id_size);
  });
  std::vector<IndexChange> result;
  result.reserve(order.size());
  for (std::size_t i : order) {
    const Change& change = changes_[i];
    IndexChange next{view(change.entry_offset, change.entry_size),
                     view(change.id_offset, change.id_size), change.add};
    if (!result.empty() && result.back().entry == next.entry && result.back().id == next.id) {
      result.back() = next;
    } else {
      result.push_back(next);
    }
  }
  return result;
}

void IndexChanges::apply(store::WriteTransaction& transaction) const {
  for (const IndexChange& change : net_changes()) {
    apply_index_entry(change.add, change.id, change.entry, transaction);
  }
}

void IndexChanges::clear() {
  text_.clear();
  changes_.clear();
}

void apply_index_entry(bool add, std::string_view id, std::string_view entry,
                       store::WriteTransaction& transaction) {
  // A failed pair is simply missing from (or left in) the index; readers cope.
  if (add) {
    (void)transaction.insert_index(entry, id);
  } else {
    (void)transaction.remove_index(entry, id);
  }
}

}  // namespace quillmere::db_engine
