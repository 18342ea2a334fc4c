#include "db_engine_web_server/backup.h"

#include <fstream>

#include "test_support.h"

namespace quillmere::db_engine_web_server {
namespace {

using namespace std::literals;
using namespace testing::internal;
using testing_support::Rows;
using Contents = std::pair<Rows, Rows>;  // (id, body) and (entry, id) rows, in store order

constexpr const char* kStarting = "Starting logical database backup in background...\n";

Contents read_all(const std::string& path) {
  auto read = store::Database::open(path).value()->begin_read();
  return {testing_support::documents(read.value()), testing_support::index_pairs(read.value())};
}

std::shared_ptr<store::Database> open_filled(const std::string& path, const Contents& c) {
  auto db = store::Database::open(path).value();
  auto write = db->begin_write();
  for (const auto& [id, body] : c.first) write.value().put_document(id, body);
  for (const auto& [entry, id] : c.second) write.value().insert_index(entry, id);
  EXPECT_TRUE(write.value().commit().ok());
  return db;
}

// A copy's reports name the target as the caller gave it, while the file opened is the path
// fixed when the backup was asked for.
TEST(BackupTest, TheTargetGainsEveryRowOfTheSourceSnapshot) {
  Contents full{{{"a\0id"s, "x\0y"s}, {"b", "{}"}}, Rows(2 * kBackupPairsPerChunk + 3)}, none;
  for (size_t i = 100000; auto& pair : full.second) pair = {"\0"s, std::to_string(i++)};  // stale
  struct { std::string target; Contents before, source, after; std::string error; } cases[] = {
      {"t0", none, full, full, ""}, {"t1", none, none, none, ""},
      {"t2", {{{"a", "1"}, {"z", "2"}}, {{"e", "z"}}}, {{{"a", "3"}}, {{"e", "a"}, {"e", "z"}}},
       {{{"a", "3"}, {"z", "2"}}, {{"e", "a"}, {"e", "z"}}}, ""},
      {"s3", none, full, none, std::string(store::kAlreadyOpenText)},  // its own source
      {"no/t", none, full, none, "I/O error: No such file or directory (os error 2)"}};
  const testing_support::TempDir temp;
  const std::string& dir = temp.path();
  for (int i = 0; const auto& c : cases) {
    const std::string source = dir + "/s" + std::to_string(i++), target = dir + "/" + c.target;
    if (c.before != none) open_filled(target, c.before);
    CaptureStdout(), CaptureStderr();
    ThreadGroup executors;
    ASSERT_TRUE(
        start_backup_executor({target, c.target}, open_filled(source, c.source), executors).ok());
    executors.join_all();
    EXPECT_TRUE(store::Database::open(source).ok());  // the executor has let go of it
    const bool ok = c.error.empty();
    const std::string done = ok ? "Database backup is successful to " + c.target + '\n' : "";
    EXPECT_EQ(GetCapturedStdout(), kStarting + done);
    EXPECT_EQ(GetCapturedStderr(), ok ? "" : "Failed to create backup database: " + c.error + '\n');
    EXPECT_EQ(ok ? read_all(target) : none, c.after) << target;
  }
  EXPECT_FALSE(std::filesystem::exists(dir + "/no"));
}

// The engine's WAL file and audit log are refused by identity, under any name, before anything
// is written to them.
TEST(BackupTest, TheEnginesOwnFilesAreRefusedAsTargets) {
  const testing_support::TempDir temp;
  const std::string& dir = temp.path();
  const std::string wal = dir + "/s.wal", log = dir + "/s.jsonl", alias = dir + "/alias";
  std::ofstream(wal) << "frames";
  std::ofstream(log) << "lines\n";
  ASSERT_EQ(::link(wal.c_str(), alias.c_str()), 0);
  const auto wal_file = FileDescriptor::open(wal, O_RDWR).value();
  const auto log_file = FileDescriptor::open(log, O_RDWR | O_APPEND).value();
  const OwnFiles own = own_files(wal_file.get(), log_file.get());
  EXPECT_EQ(own_files(nullptr, log_file.get()).size(), 1u);
  auto source = open_filled(dir + "/s", {{{"a", "{}"}}, {}});
  for (const auto& [target, what] : {std::pair{wal, "WAL file"}, {alias, "WAL file"},
                                     {log, "audit log"}}) {
    CaptureStdout(), CaptureStderr();
    run_backup({target, target}, *source, own);
    EXPECT_EQ(GetCapturedStdout(), kStarting);
    EXPECT_EQ(GetCapturedStderr(), "Failed to create backup database: Backup target is the "
                                   "engine's own "s + what + "\n");
  }
  EXPECT_EQ(std::filesystem::file_size(wal), 6u);
  EXPECT_EQ(std::filesystem::file_size(log), 6u);
  CaptureStdout();
  run_backup({dir + "/copy", dir + "/copy"}, *source, own);  // any other target is copied to
  EXPECT_EQ(GetCapturedStdout(),
            kStarting + "Database backup is successful to "s + dir + "/copy\n");
}

}  // namespace
}  // namespace quillmere::db_engine_web_server
