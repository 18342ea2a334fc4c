// Fuzzes WAL recovery: any bytes, written as the WAL file beside a fresh
// store, are replayed without a crash or an allocation beyond the file's size
// (the target runs with a small malloc limit), the file ends up empty, and
// the store then holds exactly what a plain model decoder of the frames
// gives: documents by id, and (entry, id) pairs where an Insert keeps the
// replaced document's entries and a Delete drops the removed document's.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/utf8.h"
#include "db_engine_web_server/wal_recovery.h"
#include "engine/metadata_index.h"
#include "fuzz/fuzz_support.h"
#include "store/database.h"

namespace {

using Pairs = std::set<std::pair<std::string, std::string>>;
// As the store visits them, in ascending order.
using Rows = std::vector<std::pair<std::string, std::string>>;

struct Model {
  std::map<std::string, std::string> documents;
  Pairs index;

  // The product's entry builder says whether a document parses and what its
  // entries are; adding and removing them here is the model's own.
  void index_document(const std::string& body, const std::string& id, bool add) {
    quillmere::engine::IndexChanges changes;
    if (!changes.process_json_index(body, id, true)) return;
    for (const auto& change : changes.net_changes()) {
      std::pair<std::string, std::string> pair(change.entry, id);
      if (add) index.insert(std::move(pair));
      else index.erase(pair);
    }
  }
  void remove(const std::string& id) {
    auto found = documents.find(id);
    if (found == documents.end()) return;
    index_document(found->second, id, false);
    documents.erase(found);
  }
  void store(const std::string& id, const std::string& body) {
    documents[id] = body;
    index_document(body, id, true);
  }
};

std::uint32_t u32_at(const std::uint8_t* p) {
  return p[0] | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

Model replay_model(const std::uint8_t* data, std::size_t size) {
  Model model;
  std::size_t at = 0;
  while (size - at >= 9) {  // fewer than 9 left: the end, or a header cut short
    const std::uint8_t op = data[at];
    const std::uint64_t key_size = u32_at(data + at + 1);
    const std::uint64_t value_size = u32_at(data + at + 5);
    if (key_size + value_size > size - at - 9) break;  // a field runs past the end
    const char* key = reinterpret_cast<const char*>(data + at + 9);
    const std::string id = quillmere::decode_utf8_lossy(std::string_view(key, key_size));
    const std::string value(key + key_size, value_size);
    at += 9 + key_size + value_size;
    if (op == 1) {
      model.store(id, value);
    } else if (op == 2 || op == 3) {
      model.remove(id);
      if (op == 3) model.store(id, value);
    }
  }
  return model;
}

void remove_files();

// One directory for the whole run, on tmpfs when there is one: the store's
// syncs then cost nothing. Never freed, so the exit handler can still use it.
const std::string& db_path() {
  static const std::string* path = [] {
    std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm/wal_fuzz.XXXXXX"
                                                     : "/tmp/wal_fuzz.XXXXXX";
    FUZZ_CHECK(mkdtemp(dir.data()) != nullptr);
    std::atexit([] {
      remove_files();
      rmdir(db_path().substr(0, db_path().size() - 3).c_str());
    });
    return new std::string(dir + "/db");
  }();
  return *path;
}

void remove_files() {
  for (const char* suffix : {"", "-wal", "-shm", ".wal"}) unlink((db_path() + suffix).c_str());
}

}  // namespace

// A damaged length may announce 4 GiB; the reader must not allocate it. Put
// first, so a limit given on the command line still wins.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static std::vector<char*> args;
  args.assign(*argv, *argv + *argc);
  static char limit[] = "-malloc_limit_mb=64";
  args.insert(args.begin() + 1, limit);
  args.push_back(nullptr);
  *argc += 1;
  *argv = args.data();
  FUZZ_CHECK(std::freopen("/dev/null", "w", stdout) != nullptr);  // recovery's progress lines
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  remove_files();
  const std::string wal = db_path() + ".wal";
  {
    const int fd = open(wal.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, data, size) == static_cast<ssize_t>(size));
    close(fd);
  }
  auto db = quillmere::store::Database::open(db_path());
  FUZZ_CHECK(db.ok());
  const quillmere::Status recovered =
      quillmere::db_engine_web_server::recover_wal_on_startup(*db.value(), wal);
  FUZZ_CHECK(recovered.ok());
  struct stat info;
  FUZZ_CHECK(stat(wal.c_str(), &info) == 0 && info.st_size == 0);

  Rows documents, index;
  {
    auto read = db.value()->begin_read();
    FUZZ_CHECK(read.ok());
    FUZZ_CHECK(read.value()
                   .scan_documents("", [&](std::string_view id, std::string_view body) {
                     documents.emplace_back(id, body);
                     return true;
                   })
                   .ok());
    FUZZ_CHECK(read.value()
                   .scan_index_pairs([&](std::string_view entry, std::string_view id) {
                     index.emplace_back(entry, id);
                     return true;
                   })
                   .ok());
  }
  const Model model = replay_model(data, size);
  FUZZ_CHECK(documents == Rows(model.documents.begin(), model.documents.end()));
  FUZZ_CHECK(index == Rows(model.index.begin(), model.index.end()));
  return 0;
}
