#include "db_engine_web_server/wal_recovery.h"

#include <sqlite3.h>

#include <fstream>

#include "test_support.h"

namespace quillmere::db_engine_web_server {
namespace {

using namespace std::string_literals;
using namespace testing_support;
namespace fs = std::filesystem;

// A frame written by hand, lengths taken from the texts.
std::string frame(char op, const std::string& key, const std::string& value) {
  std::string bytes(1, op);
  for (std::size_t size : {key.size(), value.size()}) {
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>(size >> (8 * i));
  }
  return bytes + key + value;
}

const std::string kDone = "WAL Recover: Successfully written all records to database!\n";
const std::string kPartial =
    "WAL Recovery: Found incomplete frame at EOF. Discarding partial write\n" + kDone;
const std::string kMissing = "WAL Recovery: Missing data for frame, discarding write!\n" + kDone;
const std::string k1 = frame(1, "k1", R"({"a":1})");
const std::string kOld = R"(u={"c":"old"} )", kOldPair = "c.old:u ", kK1 = R"(k1={"a":1} )";

// "u" stored and indexed, on a store refusing the id "bad" as a write it cannot take.
std::shared_ptr<store::Database> seeded_store(const std::string& path) {
  sqlite3* raw = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(raw,
                         "CREATE TABLE documents(id TEXT PRIMARY KEY, body BLOB NOT NULL) "
                         "WITHOUT ROWID; CREATE TRIGGER refuse BEFORE INSERT ON documents "
                         "WHEN NEW.id = 'bad' BEGIN SELECT RAISE(ABORT, 'refused'); END;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(raw);
  auto db = open_store(path);
  auto seed = db->begin_write();
  EXPECT_TRUE(seed.value().put_document("u", R"({"c":"old"})").ok());
  EXPECT_TRUE(seed.value().insert_index("c.old", "u").ok());
  EXPECT_TRUE(seed.value().commit().ok());
  return db;
}

TEST(WalRecoveryTest, ReplaysWholeFramesThenEmptiesTheFile) {
  const struct {
    const char* name;
    std::optional<std::string> wal;  // no file when absent; a directory when "/"
    std::string status, output, state;  // state: every "id=body", then every "entry:id"
  } cases[] = {
      {"NoFile", std::nullopt, "", "", kOld + kOldPair},
      {"Empty", "", "", kDone, kOld + kOldPair},
      {"StrayBytes", k1 + frame(1, "k2", R"({"b":2})") + "\x01\x02\0\0"s, "", kPartial,
       kK1 + R"(k2={"b":2} )" + kOld + "a.1:k1 b.2:k2 " + kOldPair},
      {"FiveBytes", "\x01\x02\0\0\0"s, "", kPartial, kOld + kOldPair},
      {"ValuePastEnd", k1 + frame(1, "k2", "{}").substr(0, 12), "", kMissing,
       kK1 + kOld + "a.1:k1 " + kOldPair},
      {"HugeValue", k1 + "\x01\x01\0\0\0\xff\xff\xff\xffk{}"s, "", kMissing,
       kK1 + kOld + "a.1:k1 " + kOldPair},
      // Each unknown frame is skipped whole.
      {"UnknownOps", frame(7, "x", "{}") + frame(9, "ab", "{}x") + frame(2, "u", "") + k1, "",
       "Op type is different, skipping this operation 7\n"
       "Op type is different, skipping this operation 9\n" + kDone,
       kK1 + "a.1:k1 "},
      {"InsertThenDelete", frame(1, "d", R"({"e":1})") + frame(2, "d", ""), "", kDone,
       kOld + kOldPair},
      {"UpsertOverOld", frame(3, "u", R"({"c":"new"})"), "", kDone, R"(u={"c":"new"} c.new:u )"},
      {"InvalidUtf8Key", frame(1, "\xffk", "{}"), "", kDone,
       kOld + "\xEF\xBF\xBDk={} " + kOldPair},
      {"RefusedInsertNotIndexed", frame(1, "bad", R"({"z":1})"), "",
       "Failed to insert id bad. Skipping. Error refused\n" + kDone, kOld + kOldPair},
      {"RefusedUpsertIndexed", frame(3, "bad", R"({"z":1})"), "", kDone,
       kOld + kOldPair + "z.1:bad "},
      {"DirectoryInPlace", "/", "Failed to open WAL file Is a directory (os error 21)", "",
       kOld + kOldPair},
  };
  for (const auto& c : cases) {
    TempDir temp;
    const std::string wal = temp.path() + "/db.wal";
    auto db = seeded_store(temp.path() + "/db");
    if (c.wal == "/") fs::create_directory(wal);
    else if (c.wal) std::ofstream(wal, std::ios::binary) << *c.wal;
    testing::internal::CaptureStdout();
    const Status status = recover_wal_on_startup(*db, wal);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output) << c.name;
    EXPECT_EQ(status.message(), c.status) << c.name;
    std::string state;
    auto read = db->begin_read();
    for (const auto& [id, body] : documents(read.value())) state += id + "=" + body + " ";
    for (const auto& [entry, id] : index_pairs(read.value())) state += entry + ":" + id + " ";
    EXPECT_EQ(state, c.state) << c.name;
    // A file read is left empty; no file is made.
    EXPECT_EQ(fs::is_regular_file(wal), c.wal && c.wal != "/") << c.name;
    EXPECT_EQ(fs::is_regular_file(wal) ? fs::file_size(wal) : 0, 0u) << c.name;
  }
}

}  // namespace
}  // namespace quillmere::db_engine_web_server
