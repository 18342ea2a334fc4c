#include "db_engine_web_server/wal_recovery.h"

#include <gtest/gtest.h>
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

struct Case {
  const char* name;
  std::optional<std::string> wal;  // no file when absent; a directory when "/"
  std::string status, output, state;  // state: see state()
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class WalRecoveryTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    // The store refuses the id "bad", as it would a write it cannot take.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ + "/db").c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw,
                           "CREATE TABLE documents(id TEXT PRIMARY KEY, body BLOB NOT NULL) "
                           "WITHOUT ROWID; CREATE TRIGGER refuse BEFORE INSERT ON documents "
                           "WHEN NEW.id = 'bad' BEGIN SELECT RAISE(ABORT, 'refused'); END;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);
    db_ = open_store(dir_ + "/db");
    // Every case starts with "u" stored and indexed.
    auto seed = db_->begin_write();
    ASSERT_TRUE(seed.value().put_document("u", R"({"c":"old"})").ok());
    ASSERT_TRUE(seed.value().insert_index("c.old", "u").ok());
    ASSERT_TRUE(seed.value().commit().ok());
  }

  std::string state() {  // every document "id=body", then every pair "entry:id"
    std::string text;
    auto read = db_->begin_read();
    for (const auto& [id, body] : documents(read.value())) text += id + "=" + body + " ";
    for (const auto& [entry, id] : index_pairs(read.value())) text += entry + ":" + id + " ";
    return text;
  }

  TempDir temp_;
  const std::string dir_ = temp_.path();
  std::shared_ptr<store::Database> db_;
};

TEST_P(WalRecoveryTest, ReplaysWholeFramesThenEmptiesTheFile) {
  const Case& c = GetParam();
  const std::string wal = dir_ + "/db.wal";
  if (c.wal == "/") fs::create_directory(wal);
  else if (c.wal) std::ofstream(wal, std::ios::binary) << *c.wal;

  testing::internal::CaptureStdout();
  const Status status = recover_wal_on_startup(*db_, wal);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
  EXPECT_EQ(status.message(), c.status);
  EXPECT_EQ(state(), c.state);
  // A file read is left empty; no file is made.
  EXPECT_EQ(fs::is_regular_file(wal), c.wal && c.wal != "/");
  EXPECT_EQ(fs::is_regular_file(wal) ? fs::file_size(wal) : 0, 0u);
}

const std::string kDone = "WAL Recover: Successfully written all records to database!\n";
const std::string kPartial =
    "WAL Recovery: Found incomplete frame at EOF. Discarding partial write\n" + kDone;
const std::string kMissing = "WAL Recovery: Missing data for frame, discarding write!\n" + kDone;
const std::string k1 = frame(1, "k1", R"({"a":1})");

const std::string kOld = R"(u={"c":"old"} )", kOldPair = "c.old:u ", kK1 = R"(k1={"a":1} )";

INSTANTIATE_TEST_SUITE_P(
    Files, WalRecoveryTest,
    ::testing::Values(
        Case{"NoFile", std::nullopt, "", "", kOld + kOldPair},
        Case{"Empty", "", "", kDone, kOld + kOldPair},
        Case{"StrayBytes", k1 + frame(1, "k2", R"({"b":2})") + "\x01\x02\0\0"s, "", kPartial,
             kK1 + R"(k2={"b":2} )" + kOld + "a.1:k1 b.2:k2 " + kOldPair},
        Case{"FiveBytes", "\x01\x02\0\0\0"s, "", kPartial, kOld + kOldPair},
        Case{"ValuePastEnd", k1 + frame(1, "k2", "{}").substr(0, 12), "", kMissing,
             kK1 + kOld + "a.1:k1 " + kOldPair},
        Case{"HugeValue", k1 + "\x01\x01\0\0\0\xff\xff\xff\xffk{}"s, "", kMissing,
             kK1 + kOld + "a.1:k1 " + kOldPair},
        // Each unknown frame is skipped whole.
        Case{"UnknownOps", frame(7, "x", "{}") + frame(9, "ab", "{}x") + frame(2, "u", "") + k1, "",
             "Op type is different, skipping this operation 7\n"
             "Op type is different, skipping this operation 9\n" + kDone,
             kK1 + "a.1:k1 "},
        Case{"InsertThenDelete", frame(1, "d", R"({"e":1})") + frame(2, "d", ""), "", kDone,
             kOld + kOldPair},
        Case{"UpsertOverIndexed", frame(3, "u", R"({"c":"new"})"), "", kDone,
             R"(u={"c":"new"} c.new:u )"},
        Case{"InvalidUtf8Key", frame(1, "\xffk", "{}"), "", kDone,
             kOld + "\xEF\xBF\xBDk={} " + kOldPair},
        Case{"RefusedInsertNotIndexed", frame(1, "bad", R"({"z":1})"), "",
             "Failed to insert id bad. Skipping. Error refused\n" + kDone, kOld + kOldPair},
        Case{"RefusedUpsertIndexed", frame(3, "bad", R"({"z":1})"), "", kDone,
             kOld + kOldPair + "z.1:bad "},
        Case{"DirectoryInPlace", "/", "Failed to open WAL file Is a directory (os error 21)", "",
             kOld + kOldPair}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillmere::db_engine_web_server
