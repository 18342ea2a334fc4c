// Fuzzes WAL recovery: any bytes, as the WAL file beside a fresh store, replay without a
// crash or an allocation beyond the file's size. When a plain model decoder finds a damaged
// frame (a document that is not a JSON text, a Delete with a value) before the end, and not
// followed by zeros only (a write cut short), the replay fails, commits nothing and keeps the file byte for byte; otherwise the file ends up
// empty and the store holds what the model gives: documents by id, each a JSON text, and
// (entry, id) pairs where an Insert keeps the replaced document's entries and a Delete drops
// the removed document's.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "common/utf8.h"
#include "db_engine_web_server/wal_recovery.h"
#include "engine/metadata_index.h"
#include "fuzz/fuzz_support.h"
#include "json/syntax_check.h"
#include "store/database.h"

namespace {

using Rows = std::vector<std::pair<std::string, std::string>>;  // in the store's order

// The product's entry builder says whether a body parses and what its entries
// are, and its syntax check whether it is a JSON text; adding and removing
// entries is the model's own. False, with no rows, when a damaged frame fails
// the replay.
bool replay_model(const std::uint8_t* data, std::size_t size, Rows& documents, Rows& index) {
  std::map<std::string, std::string> bodies;
  std::set<std::pair<std::string, std::string>> pairs;
  const auto index_body = [&](const std::string& body, const std::string& id, bool add) {
    quillmere::engine::IndexChanges changes;
    if (!changes.process_json_index(body, id, true)) return;
    for (const auto& change : changes.net_changes()) {
      const std::pair<std::string, std::string> pair(change.entry, id);
      add ? (void)pairs.insert(pair) : (void)pairs.erase(pair);
    }
  };
  const auto u32_at = [&](std::size_t at) {
    return data[at] | std::uint32_t{data[at + 1]} << 8 | std::uint32_t{data[at + 2]} << 16 |
           std::uint32_t{data[at + 3]} << 24;
  };
  for (std::size_t at = 0; size - at >= 9;) {  // fewer than 9 left: the end, or a cut header
    const std::uint8_t op = data[at];
    const std::uint64_t key_size = u32_at(at + 1), value_size = u32_at(at + 5);
    if (key_size + value_size > size - at - 9) break;  // a field runs past the end
    const char* key = reinterpret_cast<const char*>(data + at + 9);
    const std::string id = quillmere::decode_utf8_lossy(std::string_view(key, key_size));
    const std::string value(key + key_size, value_size);
    const std::size_t body = at + 9;
    at += 9 + key_size + value_size;
    if ((op == 2 && value_size != 0) ||
        ((op == 1 || op == 3) && !quillmere::json::validate_json_text(value).ok())) {
      // Zeros from the body to the end are a write cut short: the replay stops there.
      if (std::all_of(data + body, data + size, [](std::uint8_t byte) { return byte == 0; })) break;
      return false;
    }
    if (const auto old = bodies.find(id); (op == 2 || op == 3) && old != bodies.end()) {
      index_body(old->second, id, false);
      bodies.erase(old);
    }
    if (op == 1 || op == 3) bodies[id] = value, index_body(value, id, true);
  }
  documents.assign(bodies.begin(), bodies.end());
  index.assign(pairs.begin(), pairs.end());
  return true;
}

std::string file_bytes(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

const std::string* db_path;  // on tmpfs when there is one: the store's syncs then cost nothing

}  // namespace

// A damaged length may announce 4 GiB; the reader must not allocate it. Put
// first, so a limit given on the command line still wins.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static std::vector<char*> args(*argv, *argv + *argc);
  static char limit[] = "-malloc_limit_mb=64";
  args.insert(args.begin() + 1, limit);
  args.push_back(nullptr);
  *argc += 1;
  *argv = args.data();
  FUZZ_CHECK(std::freopen("/dev/null", "w", stdout) != nullptr);  // recovery's progress lines
  std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  dir += "/wal_fuzz.XXXXXX";
  FUZZ_CHECK(mkdtemp(dir.data()) != nullptr);
  db_path = new std::string(dir + "/db");  // never freed, so the exit handler can still use it
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(*db_path).parent_path(), ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (const char* suffix : {"", "-wal", "-shm"}) unlink((*db_path + suffix).c_str());
  const std::string wal = *db_path + ".wal";
  std::FILE* file = std::fopen(wal.c_str(), "wb");
  FUZZ_CHECK(file != nullptr && std::fwrite(data, 1, size, file) == size && std::fclose(file) == 0);
  auto db = quillmere::store::Database::open(*db_path);
  FUZZ_CHECK(db.ok());
  const auto replayed = quillmere::db_engine_web_server::recover_wal_on_startup(*db.value(), wal);
  Rows documents, index, model_documents, model_index;
  const bool applies = replay_model(data, size, model_documents, model_index);
  FUZZ_CHECK(replayed.ok() == applies);
  if (applies) {
    FUZZ_CHECK(std::filesystem::file_size(wal) == 0);  // throws, so crashes, when it is gone
  } else {
    const std::string& error = replayed.error();
    FUZZ_CHECK(error.starts_with("WAL Recovery: cannot apply the ") &&
               error.ends_with(". Nothing was committed and the WAL file is kept"));
    FUZZ_CHECK(file_bytes(wal) == std::string(reinterpret_cast<const char*>(data), size));
  }  // and the model's rows stay empty: nothing may be committed

  auto read = db.value()->begin_read();
  FUZZ_CHECK(read.ok());
  const auto add_to = [](Rows& rows) {
    return [&rows](std::string_view a, std::string_view b) {
      return rows.emplace_back(a, b), true;
    };
  };
  FUZZ_CHECK(read.value().scan_documents("", add_to(documents)).ok());
  FUZZ_CHECK(read.value().scan_index_pairs(add_to(index)).ok());
  FUZZ_CHECK(documents == model_documents && index == model_index);
  for (const auto& [id, body] : documents) {
    FUZZ_CHECK(quillmere::json::validate_json_text(body).ok());
  }
  return 0;
}
