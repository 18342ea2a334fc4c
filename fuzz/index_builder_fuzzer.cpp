// The metadata index builder against a model of the index entries (path of keys
// and positions, ".", leaf text) built from the in-place parser's events: net
// changes strictly ascending by (entry, id), the last change to a pair wins, and
// a document that does not parse leaves the changes recorded before it untouched;
// no entry is longer than its document by more than the store's margin allows.
#include <set>
#include <tuple>

#include "engine/metadata_index.h"
#include "engine/row_limit.h"
#include "fuzz/fuzz_support.h"
#include "json/json_writer.h"

namespace {

namespace fuzz = quillmere::fuzz;
using quillmere::engine::IndexChanges;
using Kind = fuzz::Event::Kind;
using Change = std::tuple<std::string, std::string, bool>;  // entry, id, add

std::set<std::string> model_entries(const std::vector<fuzz::Event>& events) {
  struct Open {
    std::string prefix, key;  // the container's path and "." unless empty, the last key
    std::size_t position;     // of the next element; SIZE_MAX in an object
  };
  std::vector<Open> open;
  std::set<std::string> entries;
  for (const fuzz::Event& e : events) {
    if (e.kind == Kind::kKey) open.back().key = e.text;
    if (e.kind == Kind::kEnd) open.pop_back();
    if (e.kind == Kind::kKey || e.kind == Kind::kEnd) continue;
    std::string path, leaf = e.text;
    if (Open* parent = open.empty() ? nullptr : &open.back()) {
      path = parent->prefix + (parent->position == SIZE_MAX ? parent->key
                                                            : std::to_string(parent->position++));
    }
    if (e.kind == Kind::kBegin) {
      open.push_back({path.empty() ? "" : path + ".", {}, e.bits == '[' ? 0 : SIZE_MAX});
    }
    if (e.kind == Kind::kBool) leaf = e.bits ? "true" : "false";
    if (e.kind == Kind::kUint) leaf = std::to_string(e.bits);
    if (e.kind == Kind::kSint) leaf = std::to_string(static_cast<std::int64_t>(e.bits));
    if (e.kind == Kind::kReal) quillmere::json::append_plain_float(leaf, e.real());
    if (e.kind != Kind::kNull && e.kind != Kind::kBegin) entries.insert(path + "." + leaf);
  }
  return entries;
}

std::vector<Change> net(const IndexChanges& changes) {
  std::vector<Change> out;
  for (const auto& c : changes.net_changes()) out.emplace_back(c.entry, c.id, c.add);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view document(reinterpret_cast<const char*>(data), size);
  const std::string id("d\0.1", 4);  // ids may hold NUL bytes and full stops, like entries
  const fuzz::Parsed parsed = fuzz::parse_checked<quillmere::json::Dialect::kInPlace>(document);
  const auto entries = parsed.result.ok() ? model_entries(parsed.events) : std::set<std::string>();

  IndexChanges changes;
  FUZZ_CHECK(changes.process_json_index("{\"seed\":[1,\"x\"]}", "a", true));
  std::set<Change> expected = {{"seed.0.1", "a", true}, {"seed.1.x", "a", true}};
  FUZZ_CHECK(changes.process_json_index(document, id, true) == parsed.result.ok());
  for (const std::string& entry : entries) {
    expected.emplace(entry, id, true);
    // The margin below the store's length limit counts on it.
    FUZZ_CHECK(entry.size() <= document.size() + quillmere::engine::kMaxEntryGrowth);
  }
  // Equal to the sorted set of distinct pairs: strictly ascending as well.
  FUZZ_CHECK(net(changes) == std::vector(expected.begin(), expected.end()));
  if (!parsed.result.ok()) return 0;

  IndexChanges add_then_remove;  // in one batch: the last change wins
  FUZZ_CHECK(add_then_remove.process_json_index(document, id, true));
  FUZZ_CHECK(add_then_remove.process_json_index(document, id, false));
  std::vector<Change> removed;
  for (const std::string& entry : entries) removed.emplace_back(entry, id, false);
  FUZZ_CHECK(net(add_then_remove) == removed);
  return 0;
}
