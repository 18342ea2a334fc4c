// Fuzzes the metadata index builder against a straightforward recursive
// model of the index entries (path of keys and positions, ".", leaf text),
// built from the in-place parser's events. Also: net changes come in strictly
// ascending (entry, id) order, the last change to a pair wins, and a document
// that does not parse leaves the changes recorded before it untouched.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/metadata_index.h"
#include "fuzz/fuzz_support.h"

using quillmere::engine::IndexChange;
using quillmere::engine::IndexChanges;
using quillmere::fuzz::Event;
using quillmere::json::Dialect;

namespace {

// The model's walk recurses; deeper documents are checked only for their
// consistency, not against the model.
constexpr std::size_t kModelMaxDepth = 400;

struct Walk {
  explicit Walk(const std::vector<Event>& events) : events(events) {}

  const std::vector<Event>& events;
  std::size_t next = 0;
  std::set<std::string> entries;

  static std::string child(const std::string& prefix, std::string_view step) {
    if (prefix.empty()) return std::string(step);
    return prefix + "." + std::string(step);
  }

  void leaf(const std::string& path, std::string_view text) {
    entries.insert(path + "." + std::string(text));
  }

  void value(const std::string& path) {
    const Event& event = events[next++];
    switch (event.kind) {
      case Event::Kind::kNull:
        return;
      case Event::Kind::kBool:
        return leaf(path, event.bits ? "true" : "false");
      case Event::Kind::kUint:
        return leaf(path, std::to_string(event.bits));
      case Event::Kind::kSint:
        return leaf(path, std::to_string(static_cast<std::int64_t>(event.bits)));
      case Event::Kind::kReal: {
        std::string text;
        quillmere::json::append_plain_float(text, event.real());
        FUZZ_CHECK(text.find_first_of("eE") == std::string::npos);
        return leaf(path, text);
      }
      case Event::Kind::kString:
        return leaf(path, event.text);
      case Event::Kind::kBeginArray:
        for (std::size_t position = 0; events[next].kind != Event::Kind::kEndArray; ++position) {
          value(child(path, std::to_string(position)));
        }
        ++next;
        return;
      case Event::Kind::kBeginObject:
        while (events[next].kind != Event::Kind::kEndObject) {
          const std::string& key = events[next++].text;
          value(child(path, key));
        }
        ++next;
        return;
      default:
        FUZZ_CHECK(!"unexpected event");
    }
  }
};

std::size_t max_depth(const std::vector<Event>& events) {
  std::size_t depth = 0, deepest = 0;
  for (const Event& event : events) {
    if (event.kind == Event::Kind::kBeginArray || event.kind == Event::Kind::kBeginObject) {
      deepest = std::max(deepest, ++depth);
    } else if (event.kind == Event::Kind::kEndArray || event.kind == Event::Kind::kEndObject) {
      --depth;
    }
  }
  return deepest;
}

void check_sorted(const std::vector<IndexChange>& changes) {
  for (std::size_t i = 1; i < changes.size(); ++i) {
    const IndexChange& a = changes[i - 1];
    const IndexChange& b = changes[i];
    FUZZ_CHECK(a.entry < b.entry || (a.entry == b.entry && a.id < b.id));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view document(reinterpret_cast<const char*>(data), size);
  // Ids may hold NUL bytes and full stops, like entries.
  const std::string id("d\0.1", 4);
  const std::string other_id = "a";

  const auto parsed = quillmere::fuzz::parse_checked<Dialect::kInPlace>(document);

  IndexChanges changes;
  FUZZ_CHECK(changes.process_json_index("{\"seed\":[1,\"x\"]}", other_id, true));
  const std::vector<IndexChange> before = changes.net_changes();
  std::vector<std::string> before_entries;
  for (const IndexChange& change : before) before_entries.emplace_back(change.entry);

  const bool indexed = changes.process_json_index(document, id, true);
  FUZZ_CHECK(indexed == parsed.result.ok());
  const std::vector<IndexChange> net = changes.net_changes();
  check_sorted(net);
  if (!indexed) {
    // Nothing of the refused document stays behind.
    FUZZ_CHECK(net.size() == before.size());
    for (std::size_t i = 0; i < net.size(); ++i) {
      FUZZ_CHECK(net[i].entry == before_entries[i] && net[i].id == other_id && net[i].add);
    }
    return 0;
  }

  std::set<std::string> built;
  for (const IndexChange& change : net) {
    FUZZ_CHECK(change.add);
    if (change.id == id) {
      FUZZ_CHECK(built.insert(std::string(change.entry)).second);
    } else {
      FUZZ_CHECK(change.id == other_id);
    }
  }
  if (max_depth(parsed.events) <= kModelMaxDepth) {
    Walk walk(parsed.events);
    walk.value("");
    FUZZ_CHECK(walk.next == parsed.events.size());
    FUZZ_CHECK(walk.entries == built);
  }

  // Removing after adding (and the reverse) in one batch: the last change wins.
  IndexChanges add_then_remove;
  FUZZ_CHECK(add_then_remove.process_json_index(document, id, true));
  FUZZ_CHECK(add_then_remove.process_json_index(document, id, false));
  const std::vector<IndexChange> removed = add_then_remove.net_changes();
  FUZZ_CHECK(removed.size() == built.size());
  std::size_t k = 0;
  for (const std::string& entry : built) {
    FUZZ_CHECK(removed[k].entry == entry && removed[k].id == id && !removed[k].add);
    ++k;
  }
  add_then_remove.clear();
  FUZZ_CHECK(add_then_remove.net_changes().empty());
  return 0;
}
