#include "db_engine/background_writer.h"

#include <map>
#include <set>

#include "engine/batch.h"
#include "test_support.h"

namespace quillmere::db_engine {
namespace {

using engine::MAX_BATCH_OPS;
using engine::WriteOp;
using Kind = WriteOp::Kind;
using namespace testing_support;
const std::string kDisconnected = "sending on a disconnected channel";

class BackgroundWriterTest : public ::testing::Test {
 protected:
  Sender<WriteOp> start(std::size_t capacity, std::vector<WriteOp> queued = {}) {  // `queued` first
    auto [sender, receiver] = make_channel<WriteOp>(capacity);
    for (WriteOp& op : queued) EXPECT_TRUE(sender.send(std::move(op)).ok());
    writer_.emplace(start_background_writer(db_, std::move(receiver), alive_).value());
    return std::move(sender);
  }

  void join() {  // the writer must end cleanly and clear `alive`
    EXPECT_EQ(writer_->join(), std::nullopt);
    EXPECT_FALSE(alive_->load());
  }

  Rows all_documents() { return documents(db_->begin_read().value()); }

  TempDir dir_;
  std::shared_ptr<store::Database> db_ = open_store(dir_.path() + "/db");
  std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
  std::optional<WorkerThread> writer_;
};

TEST_F(BackgroundWriterTest, AppliesOperationsInQueueOrder) {
  // An Insert over "a" leaves x.1 stale; an Upsert over "b" removes it. "big" is not indexed.
  Sender<WriteOp> sender = start(
      16, {{Kind::kInsert, "a", R"({"x":1})"}, {Kind::kInsert, "a", R"({"x":2})"},
           {Kind::kUpsert, "b", R"({"x":1})"}, {Kind::kUpsert, "b", R"({"x":3})"},
           {Kind::kInsert, "c", R"({"x":1})"}, {Kind::kDelete, "c", ""}, {Kind::kDelete, "d", ""},
           {Kind::kInsert, "big", R"({"n":123456789012345678901234567890})"},
           {Kind::kShutdown, "", ""}});
  join();
  EXPECT_EQ(all_documents(), (Rows{{"a", R"({"x":2})"}, {"b", R"({"x":3})"},
                                   {"big", R"({"n":123456789012345678901234567890})"}}));
  EXPECT_EQ(index_pairs(db_->begin_read().value()),
            (Rows{{"x.1", "a"}, {"x.2", "a"}, {"x.3", "b"}}));
  EXPECT_EQ(sender.send(WriteOp{Kind::kInsert, "late", "{}"}).message(), kDisconnected);
}

TEST_F(BackgroundWriterTest, ABatchWithShutdownIsAppliedWholeAndLaterOperationsDropped) {
  // Queued before the writer starts, so the first batch is the first MAX_BATCH_OPS.
  std::vector<WriteOp> queued;
  for (std::size_t i = 0; i <= MAX_BATCH_OPS; ++i) {  // the last one is after the batch
    queued.push_back(WriteOp{i == 5 ? Kind::kShutdown : Kind::kInsert, std::to_string(i), "{}"});
  }
  start(MAX_BATCH_OPS + 10, std::move(queued));
  join();
  EXPECT_EQ(all_documents().size(), MAX_BATCH_OPS - 1);
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
  db_ = open_store(dir_.path() + "/db");  // the writer held the file last and has let it go
  EXPECT_EQ(all_documents().size(), 25000u);
  EXPECT_EQ(index_ids(db_->begin_read().value(), "i.1").size(), 25000u);
}

TEST_F(BackgroundWriterTest, ProducersAndReadersAtOnceSeeWholeBatchesOnly) {
  constexpr int kProducers = 4;
  Sender<WriteOp> sender = start(64);
  const auto body = [](int t, int i) {
    return "{\"t\":" + std::to_string(t) + ",\"v\":" + std::to_string(i) + "}";
  };
  std::vector<std::map<std::string, int>> last(kProducers);  // each id's last "v"; none if deleted
  std::vector<std::thread> producers;
  for (int t = 0; t < kProducers; ++t) {
    producers.emplace_back([clone = sender, t, &last, &body] {
      unsigned state = 2654435761u * static_cast<unsigned>(t + 1);
      for (int i = 0; i < 1500; ++i) {
        state = state * 1103515245u + 12345u;
        const std::string id = "p" + std::to_string(t) + "_" + std::to_string((state >> 8) % 40);
        const bool remove = (state >> 20) % 5 == 0;
        ASSERT_TRUE(clone.send(WriteOp{remove ? Kind::kDelete : Kind::kUpsert, id,
                                       remove ? "" : body(t, i)}).ok());
        remove ? (void)last[t].erase(id) : (void)(last[t][id] = i);
      }
    });
  }
  // In any snapshot a document is listed under its own "v" entry.
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!done.load()) {
        store::ReadTransaction read = db_->begin_read().value();
        for (const auto& [id, body] : documents(read)) {
          const std::size_t colon = body.rfind(':');
          const Ids ids = index_ids(read, "v." + body.substr(colon + 1, body.size() - colon - 2));
          EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end()) << id << " " << body;
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
  Rows expected;
  std::set<std::pair<std::string, std::string>> expected_pairs;
  for (int t = 0; t < kProducers; ++t) {
    for (const auto& [id, i] : last[t]) {
      expected.emplace_back(id, body(t, i));
      expected_pairs.insert({{"t." + std::to_string(t), id}, {"v." + std::to_string(i), id}});
    }
  }
  EXPECT_EQ(all_documents(), expected);
  EXPECT_EQ(index_pairs(db_->begin_read().value()),
            Rows(expected_pairs.begin(), expected_pairs.end()));
}

// Producers sending until refused, blocked on the full queue as the writer ends, must not hang.
TEST_F(BackgroundWriterTest, ShutdownWhileProducersWaitOnAFullQueue) {
  Sender<WriteOp> sender = start(4);
  std::atomic<std::size_t> accepted{0};
  std::vector<std::thread> producers;
  for (int t = 0; t < 6; ++t) {
    producers.emplace_back([clone = sender, t, &accepted]() mutable {
      Status sent = Status::Ok();
      for (int i = 0; sent.ok(); ++i) {
        sent = clone.send({Kind::kInsert, std::to_string(t) + '_' + std::to_string(i), "{}"});
        if (sent.ok()) accepted.fetch_add(1);
      }
      EXPECT_EQ(sent.message(), kDisconnected);
    });
  }
  ASSERT_TRUE(sender.send(WriteOp{Kind::kShutdown, "", ""}).ok());
  join();
  for (std::thread& producer : producers) producer.join();
  EXPECT_LE(all_documents().size(), accepted.load());
}

}  // namespace
}  // namespace quillmere::db_engine
