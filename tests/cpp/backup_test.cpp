#include "db_engine_web_server/backup.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <tuple>

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

TEST(BackupTest, ACopyWithRowsLeftOutNamesTheErrorsAndWhatEachTableLacks) {
  const std::string bad = "database disk image is malformed", full = "database or disk is full";
  const std::string head =
      "Failed to read source db: " + bad + "; the backup to ../b was committed without ";
  const struct { std::vector<TableCopy> tables; std::optional<std::string> line; } cases[] = {
      {{{"documents", 3000}, {"metadata_index", 0}}, std::nullopt},
      {{{"documents", 2716, bad}, {"metadata_index", 9000}},
       head + "the rows after the first 2716 of \"documents\""},
      {{{"documents", 2716, bad}, {"metadata_index", 0, bad}},
       head + "the rows after the first 2716 of \"documents\" and every row of \"metadata_index\""},
      {{{"documents", 5, std::nullopt, full}, {"metadata_index", 1, "disk I/O error", full}},
       "Failed to read source db: disk I/O error; failed to write backup db: " + full +
           "; the backup to ../b was committed without rows of \"documents\" that could not be "
           "written, the rows after the first 1 of \"metadata_index\" and rows of "
           "\"metadata_index\" that could not be written"},
  };
  for (const auto& c : cases) EXPECT_EQ(incomplete_copy_line(c.tables, "../b"), c.line);
}

constexpr std::size_t kPageSize = 16384;  // the store's pages

// Writes garbage over the page numbered `page` (from 1) of a file no store holds.
void overwrite_page(const std::string& path, std::size_t page) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>((page - 1) * kPageSize));
  file.write(std::string(kPageSize, '\xa5').data(), kPageSize);
  ASSERT_TRUE(file.good());
}

// The rows of a damaged table in front of the damage are committed, the line says where the
// table's copy stopped, and the success line is not printed.
TEST(BackupTest, ADamagedSourceCommitsWhatReadsAndSaysWhatWasLeftOut) {
  Contents source;
  for (int i = 10000; i < 13000; ++i) {
    const std::string id = "doc" + std::to_string(i);
    source.first.emplace_back(id, R"({"text":")" + std::string(100, 'x') + "\"}");
    source.second.emplace_back("n." + id, id);
  }
  const struct { bool documents, index; } cases[] = {{true, false}, {false, true}, {true, true}};
  const testing_support::TempDir temp;
  for (int i = 0; const auto& c : cases) {
    const std::string path = temp.path() + "/s" + std::to_string(i++), target = path + ".bak";
    // In two commits, so that the pages of "documents" come before those of "metadata_index".
    open_filled(path, {source.first, {}});
    const std::size_t documents_end = std::filesystem::file_size(path) / kPageSize;
    open_filled(path, {{}, source.second});
    const std::size_t index_end = std::filesystem::file_size(path) / kPageSize;
    if (c.documents) overwrite_page(path, documents_end / 2 + 1);
    if (c.index) overwrite_page(path, (documents_end + index_end) / 2 + 1);
    auto damaged = store::Database::open(path);
    ASSERT_TRUE(damaged.ok()) << damaged.error();
    CaptureStdout(), CaptureStderr();
    run_backup({target, "rel.bak"}, *damaged.value());
    EXPECT_EQ(GetCapturedStdout(), kStarting);
    const auto [documents, pairs] = read_all(target);
    std::string left_out;
    using Table = std::tuple<bool, std::string, const Rows*, const Rows*>;
    for (const auto& [hit, table, copied, all] :
         {Table{c.documents, "documents", &documents, &source.first},
          Table{c.index, "metadata_index", &pairs, &source.second}}) {
      // What was copied is what the source holds in front of the damaged page.
      ASSERT_LE(copied->size(), all->size());
      EXPECT_TRUE(std::equal(copied->begin(), copied->end(), all->begin())) << table;
      EXPECT_EQ(copied->size() < all->size(), hit) << table;
      if (!hit) continue;
      EXPECT_GT(copied->size(), 0u) << table;
      left_out += (left_out.empty() ? "" : " and ") + "the rows after the first "s +
                  std::to_string(copied->size()) + " of \"" + table + '"';
    }
    EXPECT_EQ(GetCapturedStderr(), "Failed to read source db: database disk image is malformed; "
                                   "the backup to rel.bak was committed without " +
                                       left_out + '\n');
  }
}

// A row the backup's store cannot take (longer than its limit) is left out, and so reported.
TEST(BackupTest, ARowTheBackupCannotWriteIsLeftOutAndReported) {
  const testing_support::TempDir temp;
  const std::string big(2 * testing_support::kLoweredLengthLimit, 'b'), target = temp.path() + "/t";
  auto source =
      open_filled(temp.path() + "/s", {{{"a", "{}"}, {"big", big}, {"c", "[]"}}, {{"e", "a"}}});
  (void)source->begin_read();  // a reader of the usual limit waits in the pool for the backup
  {
    const testing_support::LoweredLengthLimit lowered;  // for the backup file's connections
    CaptureStdout(), CaptureStderr();
    run_backup({target, "t"}, *source);
  }
  EXPECT_EQ(GetCapturedStdout(), kStarting);
  EXPECT_EQ(GetCapturedStderr(), "Failed to write backup db: string or blob too big; the backup "
                                 "to t was committed without rows of \"documents\" that could "
                                 "not be written\n");
  EXPECT_EQ(read_all(target), (Contents{{{"a", "{}"}, {"c", "[]"}}, {{"e", "a"}}}));
}

}  // namespace
}  // namespace quillmere::db_engine_web_server
