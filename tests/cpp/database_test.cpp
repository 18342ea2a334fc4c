#include "store/database.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace quillmere::store {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "store_test_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/db.sqlite";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::shared_ptr<Database> open_ok() {
    auto db = Database::open(path_);
    EXPECT_TRUE(db.ok()) << db.error();
    return db.ok() ? db.value() : nullptr;
  }

  // Runs one SQL text on a connection of its own, outside the store.
  void raw_exec(const std::string& sql) {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &raw), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(raw);
    sqlite3_close(raw);
  }

  // The names of the file's tables, read on a connection of its own.
  std::vector<std::string> raw_tables() {
    std::vector<std::string> names;
    sqlite3* raw = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(raw, "SELECT name FROM sqlite_schema WHERE type = 'table' ORDER BY name", -1,
                       &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    }
    sqlite3_finalize(stmt);
    sqlite3_close(raw);
    return names;
  }

  bool file_is_unlocked() {
    int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    bool unlocked = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) ::close(fd);
    return unlocked;
  }

  std::string dir_;
  std::string path_;
};

std::vector<std::pair<std::string, std::string>> scan_all(ReadTransaction& read,
                                                          std::string_view from = "") {
  std::vector<std::pair<std::string, std::string>> rows;
  Status status = read.scan_documents(from, [&](std::string_view id, std::string_view body) {
    rows.emplace_back(id, body);
    return true;
  });
  EXPECT_TRUE(status.ok()) << status.message();
  return rows;
}

std::vector<std::string> index_ids(ReadTransaction& read, std::string_view entry) {
  std::vector<std::string> ids;
  Status status = read.scan_index(entry, [&](std::string_view id) {
    ids.emplace_back(id);
    return true;
  });
  EXPECT_TRUE(status.ok()) << status.message();
  return ids;
}

std::optional<std::string> get(Database& db, std::string_view id) {
  auto read = db.begin_read();
  EXPECT_TRUE(read.ok());
  auto body = read.value().get_document(id);
  EXPECT_TRUE(body.ok()) << body.error();
  return body.value();
}

TEST_F(DatabaseTest, CreatesBothTablesAndKeepsDataAcrossReopen) {
  {
    auto db = open_ok();
    auto write = db->begin_write();
    ASSERT_TRUE(write.ok()) << write.error();
    ASSERT_TRUE(write.value().put_document("a", "{\"x\":1}").ok());
    ASSERT_TRUE(write.value().insert_index("x.1", "a").ok());
    ASSERT_TRUE(write.value().commit().ok());
  }
  EXPECT_EQ(raw_tables(), (std::vector<std::string>{"documents", "metadata_index"}));

  auto db = open_ok();
  EXPECT_EQ(get(*db, "a"), "{\"x\":1}");
  auto read = db->begin_read();
  EXPECT_EQ(index_ids(read.value(), "x.1"), std::vector<std::string>{"a"});
}

TEST_F(DatabaseTest, SecondOpenInThisProcessFailsWhileAnyHolderRemains) {
  auto first = open_ok();
  EXPECT_EQ(Database::open(path_).error(), kAlreadyOpenText);
  {  // the refused open left the first handle working
    auto write = first->begin_write();
    ASSERT_TRUE(write.ok()) << write.error();
    ASSERT_TRUE(write.value().put_document("k", "v").ok());
    ASSERT_TRUE(write.value().commit().ok());
  }

  // A read in progress keeps the file open after the last other holder.
  auto read = first->begin_read();
  ASSERT_TRUE(read.ok());
  first.reset();
  EXPECT_EQ(Database::open(path_).error(), kAlreadyOpenText);
  EXPECT_EQ(read.value().get_document("k").value(), "v");
  {
    ReadTransaction ending = std::move(read.value());
  }

  auto reopened = Database::open(path_);
  ASSERT_TRUE(reopened.ok()) << reopened.error();
  EXPECT_EQ(get(*reopened.value(), "k"), "v");
}

TEST_F(DatabaseTest, OpenInAnotherProcessFailsWhileThisOneHoldsTheFile) {
  // The child forks before the parent opens, so it learns of the hold only
  // through the file lock, not through this process's registry.
  int to_child[2];
  int to_parent[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(to_parent), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char signal;
    if (read(to_child[0], &signal, 1) != 1) _exit(10);
    bool refused = Database::open(path_).error() == kAlreadyOpenText;
    if (write(to_parent[1], "r", 1) != 1) _exit(11);
    if (read(to_child[0], &signal, 1) != 1) _exit(12);
    bool opened = Database::open(path_).ok();
    _exit(refused ? (opened ? 0 : 2) : 1);
  }
  // Only the child writes to_parent: a child that ends early gives EOF, not a hang.
  close(to_child[0]);
  close(to_parent[1]);
  auto db = open_ok();
  char signal;
  ASSERT_EQ(write(to_child[1], "1", 1), 1);
  ASSERT_EQ(read(to_parent[0], &signal, 1), 1);  // the child has tried
  db.reset();
  ASSERT_EQ(write(to_child[1], "2", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not refused while held; 2: not opened once released";
  close(to_child[1]);
  close(to_parent[0]);
}

// True when a child process sees a record lock on SQLite's lock bytes of
// the file (locks of the calling process itself are invisible to F_GETLK).
bool another_process_sees_sqlite_lock(const std::string& path) {
  pid_t child = fork();
  if (child == 0) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0x40000000;  // SQLite's lock page
    probe.l_len = 512;
    if (fd < 0 || fcntl(fd, F_GETLK, &probe) != 0) _exit(2);
    _exit(probe.l_type == F_UNLCK ? 1 : 0);
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

TEST_F(DatabaseTest, RefusedOpenKeepsTheHoldersSqliteLocks) {
  // In WAL mode every connection holds a shared lock on the file for as
  // long as it is open. Closing any descriptor of the file would drop it.
  auto db = open_ok();
  ASSERT_TRUE(another_process_sees_sqlite_lock(path_));
  EXPECT_EQ(Database::open(path_).error(), kAlreadyOpenText);
  EXPECT_TRUE(another_process_sees_sqlite_lock(path_));
}

TEST_F(DatabaseTest, FailedOpensReportTheCauseAndLeaveTheFileFree) {
  auto missing = Database::open(dir_ + "/no/such/folder/db");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), "I/O error: No such file or directory (os error 2)");

  {
    std::ofstream junk(path_, std::ios::binary);
    junk << std::string(8192, 'j');
  }
  for (int attempt = 0; attempt < 2; ++attempt) {  // the second proves the first let go
    auto not_db = Database::open(path_);
    ASSERT_FALSE(not_db.ok());
    EXPECT_EQ(not_db.error(), "file is not a database");
  }
  EXPECT_TRUE(file_is_unlocked());
  std::filesystem::remove(path_);

  raw_exec("CREATE TABLE documents(id INTEGER PRIMARY KEY, body BLOB NOT NULL)");
  auto wrong = Database::open(path_);
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error(), "Table \"documents\" has an unexpected layout");
  EXPECT_TRUE(file_is_unlocked());
  EXPECT_EQ(raw_tables(), std::vector<std::string>{"documents"});  // nothing was created
  EXPECT_EQ(Database::open(path_).error(), wrong.error());
  std::filesystem::remove(path_);

  // The right columns with a key that does not order by bytes.
  raw_exec(
      "CREATE TABLE metadata_index(entry TEXT COLLATE NOCASE NOT NULL, id TEXT NOT NULL, "
      "PRIMARY KEY(entry, id)) WITHOUT ROWID");
  EXPECT_EQ(Database::open(path_).error(), "Table \"metadata_index\" has an unexpected layout");
  std::filesystem::remove(path_);

  raw_exec("CREATE VIEW documents AS SELECT 1 AS id, 2 AS body");
  EXPECT_EQ(Database::open(path_).error(), "Table \"documents\" has an unexpected layout");
}

TEST_F(DatabaseTest, WritesReplaceRemoveAndIndexPairs) {
  auto db = open_ok();
  {
    auto write = db->begin_write();
    ASSERT_TRUE(write.ok());
    WriteTransaction& tx = write.value();
    ASSERT_TRUE(tx.put_document("a", "first").ok());
    ASSERT_TRUE(tx.put_document("a", "second").ok());  // replaces
    // Empty id and body are values too, also as views without storage.
    ASSERT_TRUE(tx.put_document(std::string_view(), std::string_view()).ok());
    ASSERT_TRUE(tx.put_document("bin", "x\0y\xff"s).ok());
    ASSERT_TRUE(tx.put_document("gone", "g").ok());
    EXPECT_EQ(tx.remove_document("gone").value(), "g");
    EXPECT_EQ(tx.remove_document("gone").value(), std::nullopt);
    EXPECT_EQ(tx.remove_document("never").value(), std::nullopt);
    ASSERT_TRUE(tx.insert_index("k.v", "b").ok());
    ASSERT_TRUE(tx.insert_index("k.v", "a").ok());
    ASSERT_TRUE(tx.insert_index("k.v", "a").ok());  // present: no change, no error
    ASSERT_TRUE(tx.insert_index("k.w", "a").ok());
    ASSERT_TRUE(tx.remove_index("k.w", "a").ok());
    ASSERT_TRUE(tx.remove_index("k.w", "zzz").ok());  // absent: no error
    ASSERT_TRUE(tx.commit().ok());
  }
  auto read = db->begin_read();
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.value().get_document("a").value(), "second");
  EXPECT_EQ(read.value().get_document("").value(), "");
  EXPECT_EQ(read.value().get_document("bin").value(), "x\0y\xff"s);
  EXPECT_EQ(read.value().get_document("gone").value(), std::nullopt);
  EXPECT_EQ(scan_all(read.value()).size(), 3u);
  EXPECT_EQ(index_ids(read.value(), "k.v"), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(index_ids(read.value(), "k.w").empty());
}

TEST_F(DatabaseTest, BulkIndexInsertAddsEveryPairOnce) {
  auto db = open_ok();
  // Two whole chunks and a remainder; pairs repeat within and across chunks.
  std::vector<std::string> ids;
  for (int i = 0; i < 70; ++i) ids.push_back("id" + std::to_string(i % 50));
  std::vector<IndexPair> pairs;
  for (const std::string& id : ids) pairs.push_back(IndexPair{"k.v", id});
  pairs.push_back(IndexPair{"other\0x"sv, "nul\0id"sv});
  {
    auto write = db->begin_write();
    ASSERT_TRUE(write.ok());
    ASSERT_TRUE(write.value().insert_index(pairs).ok());
    ASSERT_TRUE(write.value().insert_index(std::span<const IndexPair>()).ok());
    ASSERT_TRUE(write.value().commit().ok());
  }
  auto read = db->begin_read();
  ASSERT_TRUE(read.ok());
  std::vector<std::string> expected;
  for (int i = 0; i < 50; ++i) expected.push_back("id" + std::to_string(i));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(index_ids(read.value(), "k.v"), expected);
  EXPECT_EQ(index_ids(read.value(), "other\0x"sv), std::vector<std::string>{"nul\0id"s});
}

TEST_F(DatabaseTest, UncommittedWritesRollBack) {
  auto db = open_ok();
  {
    auto write = db->begin_write();
    ASSERT_TRUE(write.ok());
    ASSERT_TRUE(write.value().put_document("a", "1").ok());
    ASSERT_TRUE(write.value().insert_index("e", "a").ok());
  }
  {
    // A moved-from transaction must not roll back the one it moved into.
    auto write = db->begin_write();
    ASSERT_TRUE(write.ok()) << write.error();  // the previous one has ended
    WriteTransaction moved = std::move(write.value());
    ASSERT_TRUE(moved.put_document("b", "2").ok());
    ASSERT_TRUE(moved.commit().ok());
    EXPECT_FALSE(moved.commit().ok());
  }
  EXPECT_EQ(get(*db, "a"), std::nullopt);
  EXPECT_EQ(get(*db, "b"), "2");
  auto read = db->begin_read();
  EXPECT_TRUE(index_ids(read.value(), "e").empty());
}

TEST_F(DatabaseTest, TextsKeepEveryByteAndOrderByBytes) {
  const std::vector<std::string> ids = {
      "a", "a\0"s, "a\0b"s, "a\x01", "ab", "z", "\xc3\xa9t\xc3\xa9", "\xf0\x9f\x98\x80"};
  auto db = open_ok();
  {
    auto write = db->begin_write();
    ASSERT_TRUE(write.ok());
    for (const std::string& id : ids) {
      ASSERT_TRUE(write.value().put_document(id, "body of " + id).ok());
      ASSERT_TRUE(write.value().insert_index("e\0x"s, id).ok());
    }
    ASSERT_TRUE(write.value().insert_index("e", "only-plain").ok());
    ASSERT_TRUE(write.value().commit().ok());
  }
  std::vector<std::string> sorted = ids;
  std::sort(sorted.begin(), sorted.end());  // std::string compares bytes unsigned

  auto read = db->begin_read();
  ASSERT_TRUE(read.ok());
  std::vector<std::string> scanned;
  for (const auto& [id, body] : scan_all(read.value())) {
    EXPECT_EQ(body, "body of " + id);
    scanned.push_back(id);
  }
  EXPECT_EQ(scanned, sorted);
  EXPECT_EQ(index_ids(read.value(), "e\0x"s), sorted);
  EXPECT_EQ(index_ids(read.value(), "e"), std::vector<std::string>{"only-plain"});
  // All pairs, ordered by entry bytes first: "e" before "e\0x".
  std::vector<std::pair<std::string, std::string>> pairs, expected_pairs = {{"e", "only-plain"}};
  for (const std::string& id : sorted) expected_pairs.emplace_back("e\0x"s, id);
  ASSERT_TRUE(read.value()
                  .scan_index_pairs([&](std::string_view entry, std::string_view id) {
                    pairs.emplace_back(entry, id);
                    return true;
                  })
                  .ok());
  EXPECT_EQ(pairs, expected_pairs);

  // The start key keeps its NUL: "a" sorts before "a\0" and is skipped.
  auto from_nul = scan_all(read.value(), "a\0"s);
  ASSERT_FALSE(from_nul.empty());
  EXPECT_EQ(from_nul.front().first, "a\0"s);
  EXPECT_EQ(from_nul.size(), sorted.size() - 1);

  int visited = 0;
  ASSERT_TRUE(
      read.value()
          .scan_documents("", [&](std::string_view, std::string_view) { return ++visited < 2; })
          .ok());
  EXPECT_EQ(visited, 2);
  EXPECT_EQ(read.value().get_document("a\0b"s).value(), "body of a\0b"s);
  EXPECT_EQ(read.value().get_document("a\0c"s).value(), std::nullopt);
}

TEST_F(DatabaseTest, ReadSeesTheLatestCommitWhenItBeginsAndKeepsIt) {
  auto db = open_ok();
  auto put = [&](const std::string& id, const std::string& body) {
    auto write = db->begin_write();
    ASSERT_TRUE(write.ok());
    ASSERT_TRUE(write.value().put_document(id, body).ok());
    ASSERT_TRUE(write.value().commit().ok());
  };
  put("a", "1");
  // Pooled connections keep their snapshots between reads: a read begun
  // after a commit must still see it, also on a connection whose previous
  // transaction predates the commit.
  EXPECT_EQ(get(*db, "a"), "1");

  auto early = db->begin_read();
  ASSERT_TRUE(early.ok());
  auto untouched = db->begin_read();  // its snapshot is taken here, not at its first read
  ASSERT_TRUE(untouched.ok());
  ASSERT_EQ(early.value().get_document("a").value(), "1");

  put("a", "2");
  put("b", "new");

  for (ReadTransaction* old : {&early.value(), &untouched.value()}) {
    EXPECT_EQ(old->get_document("a").value(), "1");
    EXPECT_EQ(old->get_document("b").value(), std::nullopt);
    EXPECT_EQ(scan_all(*old).size(), 1u);
  }
  EXPECT_EQ(get(*db, "a"), "2");
  EXPECT_EQ(get(*db, "b"), "new");
  put("b", "newer");
  EXPECT_EQ(get(*db, "b"), "newer");
}

TEST_F(DatabaseTest, ManyThreadsReadConsistentSnapshotsWhileTheWriterCommits) {
  // Every commit adds one document and updates "count" to the number of
  // other documents, so each snapshot must agree with itself.
  auto db = open_ok();
  constexpr int kCommits = 200;
  constexpr int kReaders = 6;
  std::atomic<bool> writer_done{false};
  std::atomic<int> failures{0};
  std::atomic<int> reads{0};

  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&] {
      // At least one read after the writer ends, so the last state is seen.
      bool last_round = false;
      while (!last_round) {
        last_round = writer_done.load();
        auto read = db->begin_read();
        if (!read.ok()) {
          ++failures;
          continue;
        }
        auto count = read.value().get_document("count");
        size_t documents = 0;
        Status scanned = read.value().scan_documents("d", [&](std::string_view, std::string_view) {
          ++documents;
          return true;
        });
        if (!count.ok() || !scanned.ok()) {
          ++failures;
          continue;
        }
        size_t expected = count.value() ? std::stoul(*count.value()) : 0;
        if (documents != expected) ++failures;
        if (last_round && documents != kCommits) ++failures;
        ++reads;
      }
    });
  }
  bool writes_ok = true;
  for (int i = 0; i < kCommits && writes_ok; ++i) {
    auto write = db->begin_write();
    char id[16];
    snprintf(id, sizeof id, "d%05d", i);
    writes_ok = write.ok() && write.value().put_document(id, std::string(100, 'x')).ok() &&
                write.value().put_document("count", std::to_string(i + 1)).ok() &&
                write.value().commit().ok();
  }
  writer_done = true;
  for (std::thread& reader : readers) reader.join();
  ASSERT_TRUE(writes_ok);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GE(reads.load(), kReaders);
}

}  // namespace
}  // namespace quillmere::store
