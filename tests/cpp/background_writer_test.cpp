#include "db_engine/background_writer.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/batch.h"

namespace quillmere::db_engine {
namespace {

using engine::MAX_BATCH_OPS;
using engine::WriteOp;
using Kind = WriteOp::Kind;
using Ids = std::vector<std::string>;

class BackgroundWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "writer_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    db_ = open();
  }
  void TearDown() override {
    db_.reset();
    std::filesystem::remove_all(dir_);
  }

  std::shared_ptr<store::Database> open() {
    Result<std::shared_ptr<store::Database>> db = store::Database::open(dir_ + "/db");
    EXPECT_TRUE(db.ok()) << db.error();
    return db.ok() ? db.value() : nullptr;
  }

  // Starts the writer on the fixture's database; the queue holds `queued` first.
  Sender<WriteOp> start(std::size_t capacity, std::vector<WriteOp> queued = {}) {
    auto [sender, receiver] = make_channel<WriteOp>(capacity);
    for (WriteOp& op : queued) EXPECT_TRUE(sender.send(std::move(op)).ok());
    Result<WorkerThread> writer = start_background_writer(db_, std::move(receiver), alive_);
    EXPECT_TRUE(writer.ok());
    writer_.emplace(std::move(writer.value()));
    return std::move(sender);
  }

  // Joins the writer: it must end cleanly and clear `alive`.
  void join() {
    EXPECT_EQ(writer_->join(), std::nullopt);
    EXPECT_FALSE(alive_->load());
  }

  std::optional<std::string> get(std::string_view id) {
    Result<store::ReadTransaction> read = db_->begin_read();
    return read.value().get_document(id).value();
  }

  Ids index_ids(store::ReadTransaction& read, std::string_view entry) {
    Ids ids;
    EXPECT_TRUE(read.scan_index(entry, [&](std::string_view id) {
                      ids.emplace_back(id);
                      return true;
                    }).ok());
    return ids;
  }
  Ids index_ids(std::string_view entry) {
    store::ReadTransaction read = db_->begin_read().value();
    return index_ids(read, entry);
  }

  std::string dir_;
  std::shared_ptr<store::Database> db_;
  std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
  std::optional<WorkerThread> writer_;
};

TEST_F(BackgroundWriterTest, AppliesOperationsInQueueOrder) {
  Sender<WriteOp> sender = start(16);
  for (WriteOp op : std::vector<WriteOp>{
           {Kind::kInsert, "a", R"({"x":1})"},
           {Kind::kInsert, "a", R"({"x":2})"},  // leaves x.1 stale
           {Kind::kUpsert, "b", R"({"x":1})"},
           {Kind::kUpsert, "b", R"({"x":3})"},  // removes b's x.1
           {Kind::kInsert, "c", R"({"x":1})"},
           {Kind::kDelete, "c", ""},
           {Kind::kDelete, "never-stored", ""},
           {Kind::kInsert, "big", R"({"n":123456789012345678901234567890})"},
           {Kind::kShutdown, "", ""}}) {
    ASSERT_TRUE(sender.send(std::move(op)).ok());
  }
  join();
  EXPECT_EQ(get("a"), R"({"x":2})");
  EXPECT_EQ(get("b"), R"({"x":3})");
  EXPECT_EQ(get("c"), std::nullopt);
  EXPECT_EQ(get("big"), R"({"n":123456789012345678901234567890})");  // stored, not indexed
  EXPECT_EQ(index_ids("x.1"), Ids{"a"});
  EXPECT_EQ(index_ids("x.2"), Ids{"a"});
  EXPECT_EQ(index_ids("x.3"), Ids{"b"});
  EXPECT_EQ(index_ids("n.123456789012345678901234567890"), Ids{});
  const Status late = sender.send(WriteOp{Kind::kInsert, "late", "{}"});
  EXPECT_EQ(late.ok() ? "sent" : late.message(), "sending on a disconnected channel");
}

TEST_F(BackgroundWriterTest, ABatchWithShutdownIsAppliedWholeAndLaterOperationsDropped) {
  // Queued before the writer starts, so the first batch is the first MAX_BATCH_OPS.
  std::vector<WriteOp> queued;
  for (std::size_t i = 0; i < MAX_BATCH_OPS; ++i) {
    queued.push_back(i == 5 ? WriteOp{Kind::kShutdown, "", ""}
                            : WriteOp{Kind::kInsert, "k" + std::to_string(i), "{}"});
  }
  queued.push_back(WriteOp{Kind::kInsert, "after", "{}"});
  start(MAX_BATCH_OPS + 10, std::move(queued));
  join();
  EXPECT_TRUE(get("k4").has_value());
  EXPECT_TRUE(get("k" + std::to_string(MAX_BATCH_OPS - 1)).has_value());
  EXPECT_FALSE(get("after").has_value());
}

TEST_F(BackgroundWriterTest, DrainsTheQueueAndLetsGoOfTheDatabaseWhenTheLastSenderGoes) {
  {
    Sender<WriteOp> sender = start(engine::WRITE_QUEUE_CAPACITY);
    for (int i = 0; i < 25000; ++i) {
      ASSERT_TRUE(sender.send(WriteOp{Kind::kInsert, "d" + std::to_string(i), R"({"i":1})"}).ok());
    }
    db_.reset();  // the engine's side goes first: the handle, then the only sender
  }
  join();
  db_ = open();  // the writer held the file last and has let it go
  ASSERT_TRUE(db_);
  EXPECT_EQ(get("d24999"), R"({"i":1})");
  EXPECT_EQ(index_ids("i.1").size(), 25000u);
}

// {"k":K,"t":T,"v":V}, whose entries are k.K, t.T and v.V.
std::string document(int t, int k, int v) {
  return "{\"k\":" + std::to_string(k) + ",\"t\":" + std::to_string(t) + ",\"v\":" +
         std::to_string(v) + "}";
}

TEST_F(BackgroundWriterTest, ProducersAndReadersAtOnceSeeWholeBatchesOnly) {
  constexpr int kProducers = 4, kOpsEach = 1500, kIds = 40;
  Sender<WriteOp> sender = start(64);
  std::vector<std::map<int, int>> last_value(kProducers);  // k -> v; absent when deleted
  std::vector<std::thread> producers;
  for (int t = 0; t < kProducers; ++t) {
    producers.emplace_back([clone = sender, t, &last_value]() mutable {
      unsigned state = 2654435761u * static_cast<unsigned>(t + 1);
      for (int i = 0; i < kOpsEach; ++i) {
        state = state * 1103515245u + 12345u;
        const int k = static_cast<int>((state >> 8) % kIds);
        const bool remove = (state >> 20) % 5 == 0;
        const std::string id = "p" + std::to_string(t) + "_" + std::to_string(k);
        ASSERT_TRUE(clone.send(WriteOp{remove ? Kind::kDelete : Kind::kUpsert, id,
                                       remove ? "" : document(t, k, i)}).ok());
        if (remove) {
          last_value[t].erase(k);
        } else {
          last_value[t][k] = i;
        }
      }
    });
  }
  // In any snapshot a document is listed under its own "v" entry.
  std::atomic<bool> done{false};
  std::atomic<int> checked{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!done.load()) {
        store::ReadTransaction read = db_->begin_read().value();
        std::vector<std::pair<std::string, std::string>> rows;
        ASSERT_TRUE(read.scan_documents("", [&](std::string_view id, std::string_view body) {
                          rows.emplace_back(id, body);
                          return rows.size() < 30;
                        }).ok());
        for (const auto& [id, body] : rows) {
          const std::size_t colon = body.rfind(':');
          const Ids ids = index_ids(read, "v." + body.substr(colon + 1, body.size() - colon - 2));
          EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end()) << id << " " << body;
          checked.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& producer : producers) producer.join();
  ASSERT_TRUE(sender.send(WriteOp{Kind::kShutdown, "", ""}).ok());
  join();
  done.store(true);
  for (std::thread& reader : readers) reader.join();

  // Upserts and deletes only: the index is exactly the last documents' entries.
  std::map<std::string, std::string> expected;
  std::set<std::pair<std::string, std::string>> expected_pairs, pairs;
  for (int t = 0; t < kProducers; ++t) {
    for (const auto& [k, v] : last_value[t]) {
      const std::string id = "p" + std::to_string(t) + "_" + std::to_string(k);
      expected[id] = document(t, k, v);
      for (std::string entry : {"k." + std::to_string(k), "t." + std::to_string(t),
                                "v." + std::to_string(v)}) {
        expected_pairs.insert({entry, id});
      }
    }
  }
  store::ReadTransaction read = db_->begin_read().value();
  std::map<std::string, std::string> documents;
  ASSERT_TRUE(read.scan_documents("", [&](std::string_view id, std::string_view body) {
                    documents.emplace(id, body);
                    return true;
                  }).ok());
  EXPECT_EQ(documents, expected);
  for (const auto& [entry, unused] : expected_pairs) {
    for (const std::string& id : index_ids(read, entry)) pairs.insert({entry, id});
  }
  EXPECT_EQ(pairs, expected_pairs);
}

// Producers send until refused, so each is blocked on the full queue or
// about to be when the writer ends; none may hang, and every refusal names
// the disconnection.
TEST_F(BackgroundWriterTest, ShutdownWhileProducersWaitOnAFullQueue) {
  Sender<WriteOp> sender = start(4);
  std::atomic<int> accepted{0};
  std::vector<std::thread> producers;
  for (int t = 0; t < 6; ++t) {
    producers.emplace_back([clone = sender, t, &accepted]() mutable {
      for (int i = 0;; ++i) {
        const Status sent = clone.send(WriteOp{Kind::kInsert, std::to_string(t) + "_" + std::to_string(i), "{}"});
        if (!sent.ok()) {
          EXPECT_EQ(sent.message(), "sending on a disconnected channel");
          return;
        }
        accepted.fetch_add(1);
      }
    });
  }
  ASSERT_TRUE(sender.send(WriteOp{Kind::kShutdown, "", ""}).ok());
  join();
  for (std::thread& producer : producers) producer.join();
  std::size_t stored = 0;
  ASSERT_TRUE(db_->begin_read().value().scan_documents("", [&](std::string_view, std::string_view) {
    ++stored;
    return true;
  }).ok());
  EXPECT_LE(stored, static_cast<std::size_t>(accepted.load()));
}

}  // namespace
}  // namespace quillmere::db_engine
