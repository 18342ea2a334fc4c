#include "store/database.h"

#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <fstream>

#include "test_support.h"

namespace quillmere::store {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;
using namespace testing_support;

class DatabaseTest : public ::testing::Test {
 protected:
  // Runs SQL on a connection of its own; the first column of each row, each followed by a blank.
  std::string raw_exec(const std::string& sql) {
    sqlite3* raw = nullptr;
    EXPECT_EQ(sqlite3_open(path_.c_str(), &raw), SQLITE_OK);
    std::string out;
    const auto add = [](void* out, int, char** values, char**) {
      return static_cast<std::string*>(out)->append(values[0]).append(" "), 0;
    };
    EXPECT_EQ(sqlite3_exec(raw, sql.c_str(), add, &out, nullptr), SQLITE_OK) << sqlite3_errmsg(raw);
    sqlite3_close(raw);
    return out;
  }
  const std::string tables_ = "SELECT name FROM sqlite_schema WHERE type = 'table' ORDER BY 1";

  void commit(Database& db, const std::function<void(WriteTransaction&)>& fill) {
    auto write = db.begin_write();
    ASSERT_TRUE(write.ok()) << write.error();
    fill(write.value());
    ASSERT_TRUE(write.value().commit().ok());
  }

  std::optional<std::string> get(Database& db, std::string_view id) {
    return db.begin_read().value().get_document(id).value();
  }

  TempDir dir_;
  std::string path_ = dir_.path() + "/db.sqlite";
};

// Whether a child sees a record lock on SQLite's lock page (own locks are invisible to F_GETLK).
bool another_process_sees_sqlite_lock(const std::string& path) {
  return in_child([&] {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0x40000000;
    probe.l_len = 512;
    if (fd < 0 || fcntl(fd, F_GETLK, &probe) != 0) return 2;
    return probe.l_type == F_UNLCK ? 1 : 0;
  }) == 0;
}

TEST_F(DatabaseTest, SecondOpenInThisProcessFailsWhileAnyHolderRemains) {
  auto first = open_store(path_);
  ASSERT_TRUE(another_process_sees_sqlite_lock(path_));
  EXPECT_EQ(Database::open(path_).error(), kAlreadyOpenText);
  // The refused open closed no descriptor of the file: the holder's locks and handle work.
  EXPECT_TRUE(another_process_sees_sqlite_lock(path_));
  commit(*first, [](WriteTransaction& tx) { ASSERT_TRUE(tx.put_document("k", "v").ok()); });

  // A read in progress keeps the file open after the last other holder.
  std::optional<ReadTransaction> read(first->begin_read().value());
  first.reset();
  EXPECT_EQ(Database::open(path_).error(), kAlreadyOpenText);
  EXPECT_EQ(read->get_document("k").value(), "v");
  read.reset();
  EXPECT_EQ(get(*open_store(path_), "k"), "v");
}

TEST_F(DatabaseTest, OpenInAnotherProcessFailsWhileThisOneHoldsTheFile) {
  // Forked before the open, the child learns of the hold only through the file lock.
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  std::shared_ptr<Database> db;
  const auto refused = [&] {
    char signal;
    return read(go[0], &signal, 1) == 1 && Database::open(path_).error() == kAlreadyOpenText;
  };
  EXPECT_EQ(in_child([&] { return refused() ? 0 : 1; },
                     [&] { db = open_store(path_), (void)!write(go[1], "1", 1); }),
            0);
  db.reset();
  EXPECT_EQ(in_child([&] { return Database::open(path_).ok() ? 0 : 1; }), 0);
  close(go[0]);
  close(go[1]);
}

TEST_F(DatabaseTest, FailedOpensReportTheCauseAndLeaveTheFileFree) {
  EXPECT_EQ(Database::open(dir_.path() + "/no/such/db").error(),
            "I/O error: No such file or directory (os error 2)");
  std::ofstream(path_, std::ios::binary) << std::string(8192, 'j');
  for (int attempt = 0; attempt < 2; ++attempt) {  // the second proves the first let go
    EXPECT_EQ(Database::open(path_).error(), "file is not a database");
  }
  EXPECT_TRUE(flock_is_free(path_));
  const struct { std::string sql, error; } cases[] = {
      {"CREATE TABLE documents(id INTEGER PRIMARY KEY, body BLOB NOT NULL)", "documents"},
      // The right columns with a key that does not order by bytes.
      {"CREATE TABLE metadata_index(entry TEXT COLLATE NOCASE NOT NULL, id TEXT NOT NULL, "
       "PRIMARY KEY(entry, id)) WITHOUT ROWID", "metadata_index"},
      {"CREATE VIEW documents AS SELECT 1 AS id, 2 AS body", "documents"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(path_);
    raw_exec(c.sql);
    const std::string before = raw_exec(tables_);
    EXPECT_EQ(Database::open(path_).error(), "Table \"" + c.error + "\" has an unexpected layout");
    EXPECT_TRUE(flock_is_free(path_));
    EXPECT_EQ(raw_exec(tables_), before);  // nothing was created
  }
}

// Texts keep every byte and order by bytes, as std::string sorts them.
TEST_F(DatabaseTest, WritesReplaceRemoveAndIndexPairs) {
  const Ids ids = {"a\0"s, "a\0b"s, "a\x01", "ab", "z", "\xc3\xa9t", "\xf0\x9f\x98\x80"};
  // Two whole chunks and a remainder of bulk pairs, repeating within and across chunks.
  std::vector<IndexPair> bulk;
  for (int i = 0; i < 70; ++i) bulk.push_back(IndexPair{"bulk", ids[i % ids.size()]});
  bulk.push_back(IndexPair{"nul\0x"sv, "nul\0id"sv});
  auto db = open_store(path_);
  commit(*db, [&](WriteTransaction& tx) {
    for (const std::string& id : ids) ASSERT_TRUE(tx.put_document(id, "body " + id).ok());
    ASSERT_TRUE(tx.put_document("a", "first").ok() && tx.put_document("a", "second").ok());
    ASSERT_TRUE(tx.put_document(std::string_view(), std::string_view()).ok());
    EXPECT_EQ(tx.remove_document("z").value(), "body z");
    EXPECT_EQ(tx.remove_document("z").value(), std::nullopt);
    ASSERT_TRUE(tx.insert_index("k.v", "b").ok() && tx.insert_index("k.v", "a").ok());
    ASSERT_TRUE(tx.insert_index("k.v", "a").ok());  // present: no change, no error
    ASSERT_TRUE(tx.insert_index("k.w", "a").ok() && tx.remove_index("k.w", "a").ok());
    ASSERT_TRUE(tx.remove_index("k.w", "zzz").ok());  // absent: no error
    ASSERT_TRUE(tx.insert_index(bulk).ok() && tx.insert_index(std::span<const IndexPair>()).ok());
  });
  auto read = db->begin_read();
  Rows expected = {{"", ""}, {"a", "second"}}, expected_pairs;
  for (const std::string& id : ids) {
    if (id != "z") expected.emplace_back(id, "body " + id);
    expected_pairs.emplace_back("bulk", id);
  }
  expected_pairs.insert(expected_pairs.end(),
                        {{"k.v", "a"}, {"k.v", "b"}, {"nul\0x"s, "nul\0id"s}});
  EXPECT_EQ(documents(read.value()), expected);
  EXPECT_EQ(index_pairs(read.value()), expected_pairs);
  EXPECT_EQ(index_ids(read.value(), "k.v"), (Ids{"a", "b"}));
  // The start key keeps its NUL: "a" sorts before "a\0" and is skipped.
  EXPECT_EQ(documents(read.value(), "a\0"s), Rows(expected.begin() + 2, expected.end()));
  int visited = 0;
  ASSERT_TRUE(read.value().scan_documents("", [&](auto, auto) { return ++visited < 2; }).ok());
  EXPECT_EQ(visited, 2);
  EXPECT_EQ(read.value().get_document("a\0b"s).value(), "body a\0b"s);
  EXPECT_EQ(read.value().get_document("a\0c"s).value(), std::nullopt);
}

TEST_F(DatabaseTest, ATableDroppedSinceTheLastWriteFailsTheNextTransaction) {
  for (const char* table : {"documents", "metadata_index"}) {
    std::filesystem::remove(path_);
    auto db = open_store(path_);
    commit(*db, [](WriteTransaction& tx) { ASSERT_TRUE(tx.put_document("a", "{}").ok()); });
    raw_exec("DROP TABLE "s + table);
    EXPECT_EQ(db->begin_write().error(), "no such table: "s + table);
  }
}

TEST_F(DatabaseTest, ReadsSeeTheLatestCommitWhenTheyBeginAndUncommittedWritesRollBack) {
  auto db = open_store(path_);
  const auto put = [&](const char* id, const char* body) {
    commit(*db, [&](WriteTransaction& tx) { ASSERT_TRUE(tx.put_document(id, body).ok()); });
  };
  put("a", "1");
  // Pooled connections keep snapshots: a read begun after a commit sees it, on any connection.
  EXPECT_EQ(get(*db, "a"), "1");
  auto early = db->begin_read();
  auto untouched = db->begin_read();  // its snapshot is taken here, not at its first read
  ASSERT_EQ(early.value().get_document("a").value(), "1");
  put("a", "2");
  put("b", "new");
  for (ReadTransaction* old : {&early.value(), &untouched.value()}) {
    EXPECT_EQ(documents(*old), (Rows{{"a", "1"}}));
  }
  EXPECT_EQ(documents(db->begin_read().value()), (Rows{{"a", "2"}, {"b", "new"}}));
  put("b", "newer");
  EXPECT_EQ(get(*db, "b"), "newer");

  {  // uncommitted writes roll back
    auto write = db->begin_write();
    ASSERT_TRUE(write.value().put_document("c", "1").ok());
    ASSERT_TRUE(write.value().insert_index("e", "c").ok());
  }
  // A moved-from transaction must not roll back the one it moved into.
  auto write = db->begin_write();
  ASSERT_TRUE(write.ok()) << write.error();  // the previous one has ended
  WriteTransaction moved = std::move(write.value());
  ASSERT_TRUE(moved.put_document("d", "2").ok());
  ASSERT_TRUE(moved.commit().ok());
  EXPECT_FALSE(moved.commit().ok());
  EXPECT_EQ(documents(db->begin_read().value()), (Rows{{"a", "2"}, {"b", "newer"}, {"d", "2"}}));
  EXPECT_EQ(index_pairs(db->begin_read().value()), Rows{});
}

// The name is made absolute once: a later chdir changes neither the writer's file nor the readers'.
TEST_F(DatabaseTest, ARelativePathIsFixedAtTheOpen) {
  const std::string elsewhere = dir_.path() + "/elsewhere";
  ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
  EXPECT_EQ(in_child([&] {
              if (::chdir(dir_.path().c_str()) != 0) return 1;
              auto db = Database::open("db.sqlite");
              if (!db.ok() || db.value()->path() != path_) return 2;
              if (::chdir(elsewhere.c_str()) != 0) return 3;
              auto write = db.value()->begin_write();
              if (!write.ok() || !write.value().put_document("k", "v").ok()) return 4;
              if (!write.value().commit().ok()) return 5;
              auto read = db.value()->begin_read();  // the engine's first reader
              if (!read.ok() || read.value().get_document("k").value() != "v") return 6;
              return std::filesystem::is_empty(elsewhere) ? 0 : 7;
            }),
            0);
}

// Paths as SQLite resolves them, through links too: one it opens is opened, one it would not is
// refused before the lock creates the file.
TEST_F(DatabaseTest, APathSqliteWouldNotOpenIsRefusedBeforeAnythingIsCreated) {
  ASSERT_EQ(Database::max_path_length(),
            static_cast<std::size_t>(sqlite3_vfs_find(nullptr)->mxPathname) - 8);
  const std::size_t most = Database::max_path_length();
  const std::string base = std::filesystem::canonical(dir_.path()).string();
  const std::string folder = folder_of_length(base, 450);
  const auto of_length = [&](std::size_t length) {
    return folder + "/" + std::string(length - folder.size() - 1, 'f');
  };
  const std::string deep = folder + "/" + std::string(most + 44 - folder.size() - 1, 'h');
  ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);  // 548 bytes
  ASSERT_EQ(::symlink(folder.c_str(), (base + "/short").c_str()), 0);
  ASSERT_EQ(::symlink(deep.c_str(), (base + "/deep").c_str()), 0);
  const auto too_long = [&](std::size_t length) {
    return "Database path too long: " + std::to_string(length) +
           " bytes as SQLite resolves it (absolute, links followed); SQLite opens at most " +
           std::to_string(most);
  };
  const std::string longest_name(most - folder.size() - 1, 'g'), over_name = longest_name + "g";
  const std::tuple<std::string, std::string, std::string> cases[] = {  // given, refusal, file
      {of_length(most), "", of_length(most)},
      {base + "/short/" + longest_name, "", folder + "/" + longest_name},
      {of_length(most + 1), too_long(most + 1), of_length(most + 1)},
      {base + "/short/" + over_name, too_long(most + 1), folder + "/" + over_name},
      {base + "/deep/../f.db", too_long(most + 44), folder + "/f.db"},  // 455 bytes in the end
      {"/.." + base + "/above.db", std::string(kAboveRootText), base + "/above.db"},
  };
  for (const auto& [given, refusal, file] : cases) {
    Result<std::shared_ptr<Database>> opened = Database::open(given);
    EXPECT_EQ(opened.ok() ? "" : opened.error(), refusal) << given;
    EXPECT_EQ(std::filesystem::exists(file), refusal.empty()) << given;
  }
  EXPECT_EQ(kAboveRootText,
            "Database path goes above \"/\" with \"..\" as SQLite resolves it (absolute, links "
            "followed); SQLite opens no such path");
}

// A reader opened by the name after the file was replaced (its folder moved away and made again)
// fails; one opened before keeps reading the engine's own file.
TEST_F(DatabaseTest, AReaderOnAFileReplacedUnderThePathFails) {
  const std::string folder = dir_.path() + "/store", path = folder + "/db";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  auto db = open_store(path);
  commit(*db, [](WriteTransaction& tx) { ASSERT_TRUE(tx.put_document("k", "own").ok()); });
  EXPECT_EQ(get(*db, "k"), "own");  // one pooled reader
  ASSERT_EQ(::rename(folder.c_str(), (dir_.path() + "/moved").c_str()), 0);
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  {
    auto other = open_store(path);  // another file under the name, held meanwhile
    commit(*other, [](WriteTransaction& tx) { ASSERT_TRUE(tx.put_document("k", "other").ok()); });
    auto pooled = db->begin_read();
    ASSERT_TRUE(pooled.ok());
    EXPECT_EQ(pooled.value().get_document("k").value(), "own");
    EXPECT_EQ(db->begin_read().error(), replaced_file_text(path));  // needs a new connection
    EXPECT_EQ(replaced_file_text(path),
              "Database file " + path + " was removed or replaced since the engine opened it");
    EXPECT_EQ(get(*other, "k"), "other");
  }
  std::filesystem::remove_all(folder);  // removed: the same
  auto pooled = db->begin_read();
  EXPECT_EQ(db->begin_read().error(), replaced_file_text(path));
  // Writes go on into the engine's own file, whatever has its name.
  commit(*db, [](WriteTransaction& tx) { ASSERT_TRUE(tx.put_document("k2", "own").ok()); });
  EXPECT_FALSE(std::filesystem::exists(folder));
  EXPECT_EQ(pooled.value().get_document("k").value(), "own");
}

TEST_F(DatabaseTest, RefusedFilesAreRefusedBeforeSqliteTouchesThem) {
  const std::string other = dir_.path() + "/other";
  std::ofstream(other) << "frames";
  const FileIdentity identity = identity_of_path(other).value();
  const RefusedFile refused[] = {{identity, "not this one"}};
  const std::string alias = dir_.path() + "/alias";
  ASSERT_EQ(::link(other.c_str(), alias.c_str()), 0);
  for (const std::string& name : {other, alias}) {
    EXPECT_EQ(Database::open(name, refused).error(), "not this one");
  }
  EXPECT_EQ(std::filesystem::file_size(other), 6u);
  EXPECT_TRUE(flock_is_free(other));
  EXPECT_TRUE(Database::open(path_, refused).ok());
}

// SQLite's "unable to open database file" is followed by the system's reason.
TEST_F(DatabaseTest, AFileSqliteCannotOpenIsReportedWithTheSystemsReason) {
  { open_store(path_); }
  EXPECT_EQ(in_child([&] {
              auto db = Database::open(path_);
              if (!db.ok()) return 1;
              const int spare = ::dup(0);
              ::close(spare);  // the lowest free descriptor; none is free from here on
              rlimit limit{};
              if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
              limit.rlim_cur = static_cast<rlim_t>(spare);
              if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
              const std::string too_many = "Too many open files (os error 24)";
              if (db.value()->begin_read().error() != "unable to open database file: " + too_many) {
                return 3;
              }
              const std::string unopened = Database::open(dir_.path() + "/new").error();
              if (unopened != "I/O error: " + too_many) return 4;
              return 0;
            }),
            0);
}

}  // namespace
}  // namespace quillmere::store
