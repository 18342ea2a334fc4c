#include "db_engine_web_server/wal_recovery.h"

#include <cstdio>
#include <fstream>
#include <sstream>

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

std::string file_bytes(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

// The message of a replay that fails at a damaged frame: `what` for `reason`.
std::string damaged(const std::string& what, const std::string& reason) {
  return "WAL Recovery: cannot apply " + what + ": " + reason +
         ". Nothing was committed and the WAL file is kept";
}

// The same when the store refuses the frame, on a store of SQLite's usual length limit.
std::string failed_at(const std::string& what, const std::string& reason) {
  return damaged(what, reason + "; the store's length limit is 1000000000 bytes");
}

// 100 Insert frames k000 to k099 of {"a":1}, with byte `at` set to `value`.
std::string hundred_frames_with(std::size_t at, char value) {
  std::string frames;
  for (int i = 0; i < 100; ++i) {
    char id[8];
    std::snprintf(id, sizeof id, "k%03d", i);
    frames += frame(1, id, R"({"a":1})");
  }
  frames[at] = value;
  return frames;
}

// "u" stored and indexed, on a store refusing the id "bad" and the index
// entry "z.9" as writes it cannot take.
std::shared_ptr<store::Database> seeded_store(const std::string& path) {
  sqlite3* raw = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(raw,
                         "CREATE TABLE documents(id TEXT PRIMARY KEY, body BLOB NOT NULL) "
                         "WITHOUT ROWID; CREATE TRIGGER refuse BEFORE INSERT ON documents "
                         "WHEN NEW.id = 'bad' BEGIN SELECT RAISE(ABORT, 'refused'); END;"
                         "CREATE TABLE metadata_index(entry TEXT NOT NULL, id TEXT NOT NULL, "
                         "PRIMARY KEY(entry, id)) WITHOUT ROWID; CREATE TRIGGER refuse_entry "
                         "BEFORE INSERT ON metadata_index WHEN NEW.entry = 'z.9' "
                         "BEGIN SELECT RAISE(ABORT, 'refused'); END;",
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
    std::optional<std::string> wal;     // no file when absent
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
      // A frame the store refuses fails the replay: the frames around it are not committed.
      {"RefusedInsert", k1 + frame(1, "bad", R"({"z":1})") + k1,
       failed_at("the Insert of id bad", "refused"), "", kOld + kOldPair},
      {"RefusedUpsert", frame(7, "x", "") + k1 + frame(3, "bad", R"({"z":1})"),
       failed_at("the Upsert of id bad", "refused"),
       "Op type is different, skipping this operation 7\n", kOld + kOldPair},
      {"RefusedIndexEntry", k1 + frame(1, "z", R"({"z":9})"),
       failed_at("the index entries of the replayed frames", "refused"), "", kOld + kOldPair},
      // A damaged frame fails the replay as well: nothing is committed, the file is kept.
      {"DamagedValueLength", hundred_frames_with(5, '\xff'),
       damaged("the Insert of id k000",
               "its document is not a valid JSON text: trailing characters at line 1 column 8"),
       "", kOld + kOldPair},
      {"DamagedKeyLength", hundred_frames_with(1, 5),
       damaged("the Insert of id k000{",
               "its document is not a valid JSON text: trailing characters at line 1 column 4"),
       "", kOld + kOldPair},
      {"NotJsonBetweenGoodFrames", k1 + frame(3, "b", R"({"b":)") + frame(1, "k2", "{}"),
       damaged("the Upsert of id b",
               "its document is not a valid JSON text: EOF while parsing a value at line 1 "
               "column 5"),
       "", kOld + kOldPair},
      {"DeleteWithAValue", k1 + frame(2, "u", "x") + frame(1, "k2", "{}"),
       damaged("the Delete of id u", "its frame carries a value of 1 bytes, which no Delete has"),
       "", kOld + kOldPair},
      // A write cut short by a power loss: the file grew, but its end holds zeros only.
      {"ZerosToTheEnd", k1 + frame(1, "\0\0"s, std::string(20, '\0')) + std::string(30, '\0'), "",
       kMissing, kK1 + kOld + "a.1:k1 " + kOldPair},
      {"ZerosThenMore", k1 + frame(1, "k2", std::string(20, '\0')) + "\x01"s,
       damaged("the Insert of id k2",
               "its document is not a valid JSON text: expected value at line 1 column 1"),
       "", kOld + kOldPair},
  };
  for (const auto& c : cases) {
    TempDir temp;
    const std::string wal = temp.path() + "/db.wal";
    auto db = seeded_store(temp.path() + "/db");
    if (c.wal) std::ofstream(wal, std::ios::binary) << *c.wal;
    testing::internal::CaptureStdout();
    const Status status = recover_wal_on_startup(*db, wal).status();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output) << c.name;
    EXPECT_EQ(status.message(), c.status) << c.name;
    std::string state;
    auto read = db->begin_read();
    for (const auto& [id, body] : documents(read.value())) state += id + "=" + body + " ";
    for (const auto& [entry, id] : index_pairs(read.value())) state += entry + ":" + id + " ";
    EXPECT_EQ(state, c.state) << c.name;
    // A file replayed is left empty, one that failed as it was; no file is made.
    EXPECT_EQ(fs::is_regular_file(wal), c.wal.has_value()) << c.name;
    if (fs::is_regular_file(wal)) {
      EXPECT_EQ(file_bytes(wal), c.status.empty() ? "" : *c.wal) << c.name;
    }
  }
}

constexpr std::size_t kLimit = testing_support::kLoweredLengthLimit;
constexpr std::size_t kMost = kLimit - 1024;  // id and document together

// A JSON text of `size` bytes: `json` and trailing spaces.
std::string padded(const std::string& json, std::size_t size) {
  return json + std::string(size - json.size(), ' ');
}

// A WAL file written under SQLite's usual limit and replayed under a lower
// one: a frame the lower limit cannot apply fails the replay, which commits
// nothing and leaves the file as it was, and a later open under the usual
// limit replays every frame.
TEST(WalRecoveryTest, AFrameBeyondTheStoreLimitFailsTheReplayAndKeepsTheFile) {
  const std::string big = padded(R"({"b":1})", kLimit + 1);  // readable under the usual limit only
  const std::string long_id = "x" + [] {
    std::string id;
    for (std::size_t i = 0; i < kMost / 2; ++i) id += "\u00e9";  // cut inside a character
    return id;
  }();
  const Rows seeded{{"big", big}, {"u", R"({"c":"old"})"}};
  const Rows seeded_pairs{{"b.1", "big"}, {"c.old", "u"}};
  const std::string k2 = frame(1, "k2", R"({"d":1})");
  const std::string limit = "; the store's length limit is 100000 bytes. Nothing was committed and "
                            "the WAL file is kept";
  const struct {
    const char* name;
    std::string frame;  // between k1 and k2
    std::string error;
    Rows replayed, replayed_pairs;  // under the usual limit
  } cases[] = {
      {"InsertOverTheLimit", frame(1, "k", padded(R"({"a":2})", kMost)),
       "WAL Recovery: cannot apply the Insert of id k: Document of 98976 bytes is too large for "
       "the store (at most 98975 bytes with an id of 1 bytes)" + limit,
       {{"big", big},
        {"k", padded(R"({"a":2})", kMost)},
        {"k1", R"({"a":1})"},
        {"k2", R"({"d":1})"},
        {"u", R"({"c":"old"})"}},
       {{"a.1", "k1"}, {"a.2", "k"}, {"b.1", "big"}, {"c.old", "u"}, {"d.1", "k2"}}},
      {"UpsertOverTheLimit", frame(3, "u", padded(R"({"c":"new"})", kMost)),
       "WAL Recovery: cannot apply the Upsert of id u: Document of 98976 bytes is too large for "
       "the store (at most 98975 bytes with an id of 1 bytes)" + limit,
       {{"big", big},
        {"k1", R"({"a":1})"},
        {"k2", R"({"d":1})"},
        {"u", padded(R"({"c":"new"})", kMost)}},
       {{"a.1", "k1"}, {"b.1", "big"}, {"c.new", "u"}, {"d.1", "k2"}}},
      {"IdOverTheLimit", frame(1, long_id, "{}"),
       "WAL Recovery: cannot apply the Insert of id " + long_id.substr(0, 255) +
           "... (98977 bytes): Document id of 98977 bytes is too large for the store (at most "
           "98976 bytes)" + limit,
       {{"big", big}, {"k1", R"({"a":1})"}, {"k2", R"({"d":1})"}, {"u", R"({"c":"old"})"},
        {long_id, "{}"}},
       {{"a.1", "k1"}, {"b.1", "big"}, {"c.old", "u"}, {"d.1", "k2"}}},
      {"DeleteOfADocumentBeyondTheLimit", frame(2, "big", ""),
       "WAL Recovery: cannot apply the Delete of id big: string or blob too big" + limit,
       {{"k1", R"({"a":1})"}, {"k2", R"({"d":1})"}, {"u", R"({"c":"old"})"}},
       {{"a.1", "k1"}, {"c.old", "u"}, {"d.1", "k2"}}},
      {"UpsertOverADocumentBeyondTheLimit", frame(3, "big", R"({"b":2})"),
       "WAL Recovery: cannot apply the Upsert of id big: string or blob too big" + limit,
       {{"big", R"({"b":2})"}, {"k1", R"({"a":1})"}, {"k2", R"({"d":1})"}, {"u", R"({"c":"old"})"}},
       {{"a.1", "k1"}, {"b.2", "big"}, {"c.old", "u"}, {"d.1", "k2"}}},
  };
  for (const auto& c : cases) {
    TempDir temp;
    const std::string path = temp.path() + "/db", wal = path + ".wal";
    {
      auto db = open_store(path);
      auto seed = db->begin_write();
      for (const auto& [id, body] : seeded) ASSERT_TRUE(seed.value().put_document(id, body).ok());
      for (const auto& [entry, id] : seeded_pairs) {
        ASSERT_TRUE(seed.value().insert_index(entry, id).ok());
      }
      ASSERT_TRUE(seed.value().commit().ok());
    }
    const std::string wal_bytes = k1 + c.frame + k2;
    std::ofstream(wal, std::ios::binary) << wal_bytes;
    {
      testing_support::LoweredLengthLimit lowered;
      auto db = open_store(path);
      testing::internal::CaptureStdout();
      EXPECT_EQ(recover_wal_on_startup(*db, wal).error(), c.error) << c.name;
      EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.name;
    }
    EXPECT_EQ(file_bytes(wal), wal_bytes) << c.name;
    auto db = open_store(path);
    EXPECT_EQ(documents(db->begin_read().value()), seeded) << c.name;
    EXPECT_EQ(index_pairs(db->begin_read().value()), seeded_pairs) << c.name;

    testing::internal::CaptureStdout();
    EXPECT_TRUE(recover_wal_on_startup(*db, wal).ok()) << c.name;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kDone) << c.name;
    EXPECT_EQ(documents(db->begin_read().value()), c.replayed) << c.name;
    EXPECT_EQ(index_pairs(db->begin_read().value()), c.replayed_pairs) << c.name;
  }
}

}  // namespace
}  // namespace quillmere::db_engine_web_server
