// The background writer under concurrent use, the way an engine meets it:
// several producer threads on clones of one Sender (a small queue, so they
// block), readers taking snapshots meanwhile, a shutdown while producers are
// blocked, and the last hold on the database let go by the writer thread.
// Meant for ThreadSanitizer as much as for the plain build.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/channel.h"
#include "db_engine/background_writer.h"
#include "engine/batch.h"
#include "engine/write_op.h"
#include "store/database.h"

namespace quillmere::db_engine {
namespace {

using engine::MAX_BATCH_OPS;
using engine::WRITE_QUEUE_CAPACITY;
using engine::WriteOp;

namespace fs = std::filesystem;
using Kind = WriteOp::Kind;

class ThreadedWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = "quillmere_threaded_";
    name.append(std::to_string(::getpid())).append("_");
    name.append(::testing::UnitTest::GetInstance()->current_test_info()->name());
    dir_ = fs::temp_directory_path() / name;
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = (dir_ / "db").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::shared_ptr<store::Database> open() {
    Result<std::shared_ptr<store::Database>> db = store::Database::open(path_);
    EXPECT_TRUE(db.ok()) << db.error();
    return db.ok() ? db.value() : nullptr;
  }

  fs::path dir_;
  std::string path_;
};

// {"k":K,"t":T,"v":V} and its three index entries.
std::string document(int t, int k, int v) {
  std::string text = "{\"k\":";
  text.append(std::to_string(k)).append(",\"t\":").append(std::to_string(t));
  text.append(",\"v\":").append(std::to_string(v)).append("}");
  return text;
}

std::string id_of(int t, int k) {
  std::string id = "p";
  id.append(std::to_string(t)).append("_").append(std::to_string(k));
  return id;
}

// The "v" member of a document written by document().
std::string v_entry(std::string_view body) {
  const std::size_t at = body.find("\"v\":");
  std::string entry = "v.";
  entry.append(body.substr(at + 4, body.size() - at - 5));
  return entry;
}

TEST_F(ThreadedWriterTest, ProducersReadersAndTheWriterAtOnce) {
  constexpr int kProducers = 4;
  constexpr int kOpsEach = 1500;
  constexpr int kIds = 40;
  std::shared_ptr<store::Database> db = open();
  ASSERT_TRUE(db);
  auto [sender, receiver] = make_channel<WriteOp>(64);
  auto alive = std::make_shared<std::atomic<bool>>(true);
  Result<WorkerThread> writer = start_background_writer(db, std::move(receiver), alive);
  ASSERT_TRUE(writer.ok());

  // Each producer owns its ids, so its last operation per id decides.
  std::vector<std::map<int, int>> last_value(kProducers);  // k -> v, absent when deleted
  std::vector<std::thread> producers;
  for (int t = 0; t < kProducers; ++t) {
    producers.emplace_back([clone = sender, t, &last_value]() mutable {
      unsigned state = 2654435761u * static_cast<unsigned>(t + 1);
      for (int i = 0; i < kOpsEach; ++i) {
        state = state * 1103515245u + 12345u;
        const int k = static_cast<int>((state >> 8) % kIds);
        const bool remove = (state >> 20) % 5 == 0;
        WriteOp op{remove ? Kind::kDelete : Kind::kUpsert, id_of(t, k),
                   remove ? std::string() : document(t, k, i)};
        ASSERT_TRUE(clone.send(std::move(op)).ok());
        if (remove) {
          last_value[t].erase(k);
        } else {
          last_value[t][k] = i;
        }
      }
    });
  }

  // Readers: in one snapshot a document and its index entries agree, since
  // a batch commits whole.
  std::atomic<bool> done{false};
  std::atomic<int> snapshots{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&, r] {
      while (!done.load()) {
        Result<store::ReadTransaction> read = db->begin_read();
        ASSERT_TRUE(read.ok()) << read.error();
        std::vector<std::pair<std::string, std::string>> rows;
        ASSERT_TRUE(read.value()
                        .scan_documents(r == 0 ? "" : "p1",
                                        [&](std::string_view id, std::string_view body) {
                                          rows.emplace_back(id, body);
                                          return rows.size() < 30;
                                        })
                        .ok());
        for (const auto& [id, body] : rows) {
          bool listed = false;
          ASSERT_TRUE(read.value()
                          .scan_index(v_entry(body),
                                      [&](std::string_view indexed) {
                                        listed = listed || indexed == id;
                                        return true;
                                      })
                          .ok());
          EXPECT_TRUE(listed) << id << " " << body;
        }
        snapshots.fetch_add(1);
      }
    });
  }

  for (std::thread& producer : producers) producer.join();
  ASSERT_TRUE(sender.send(WriteOp{Kind::kShutdown, {}, {}}).ok());
  EXPECT_FALSE(writer.value().join().has_value());
  done.store(true);
  for (std::thread& reader : readers) reader.join();
  EXPECT_GT(snapshots.load(), 0);
  EXPECT_FALSE(alive->load());

  // Upserts and deletes only: the index is exactly the current documents' entries.
  std::set<std::pair<std::string, std::string>> expected_pairs;
  std::map<std::string, std::string> expected_documents;
  for (int t = 0; t < kProducers; ++t) {
    for (const auto& [k, v] : last_value[t]) {
      const std::string id = id_of(t, k);
      expected_documents[id] = document(t, k, v);
      expected_pairs.insert({"k." + std::to_string(k), id});
      expected_pairs.insert({"t." + std::to_string(t), id});
      expected_pairs.insert({"v." + std::to_string(v), id});
    }
  }
  Result<store::ReadTransaction> read = db->begin_read();
  ASSERT_TRUE(read.ok());
  std::map<std::string, std::string> documents;
  ASSERT_TRUE(read.value()
                  .scan_documents("",
                                  [&](std::string_view id, std::string_view body) {
                                    documents.emplace(id, body);
                                    return true;
                                  })
                  .ok());
  EXPECT_EQ(documents, expected_documents);
  std::set<std::pair<std::string, std::string>> pairs;
  for (const auto& [id, body] : documents) {
    for (const std::string& entry : {std::string("k.") + body.substr(5, body.find(',') - 5),
                                     std::string("t.") + id.substr(1, id.find('_') - 1),
                                     v_entry(body)}) {
      ASSERT_TRUE(read.value()
                      .scan_index(entry,
                                  [&](std::string_view indexed) {
                                    pairs.insert({entry, std::string(indexed)});
                                    return true;
                                  })
                      .ok());
    }
  }
  // Every listed pair is one of the expected ones, and none is missing.
  EXPECT_EQ(pairs, expected_pairs);
}

TEST_F(ThreadedWriterTest, ShutdownWhileProducersWaitOnAFullQueue) {
  std::shared_ptr<store::Database> db = open();
  ASSERT_TRUE(db);
  auto [sender, receiver] = make_channel<WriteOp>(4);
  auto alive = std::make_shared<std::atomic<bool>>(true);
  Result<WorkerThread> writer = start_background_writer(db, std::move(receiver), alive);
  ASSERT_TRUE(writer.ok());

  std::atomic<int> refused{0};
  std::atomic<int> accepted{0};
  std::vector<std::thread> producers;
  for (int t = 0; t < 6; ++t) {
    producers.emplace_back([clone = sender, t, &refused, &accepted]() mutable {
      for (int i = 0; i < 3000; ++i) {
        Status sent = clone.send(WriteOp{Kind::kInsert, id_of(t, i), "{}"});
        if (sent.ok()) {
          accepted.fetch_add(1);
        } else {
          EXPECT_EQ(sent.message(), "sending on a disconnected channel");
          refused.fetch_add(1);
        }
      }
    });
  }
  ASSERT_TRUE(sender.send(WriteOp{Kind::kShutdown, {}, {}}).ok());
  EXPECT_FALSE(writer.value().join().has_value());
  for (std::thread& producer : producers) producer.join();  // none may hang
  EXPECT_FALSE(alive->load());
  EXPECT_EQ(accepted.load() + refused.load(), 6 * 3000);
  EXPECT_GT(refused.load(), 0);
}

TEST_F(ThreadedWriterTest, TheWriterLetsGoOfTheDatabaseLast) {
  std::optional<WorkerThread> writer;
  auto alive = std::make_shared<std::atomic<bool>>(true);
  {
    std::shared_ptr<store::Database> db = open();
    ASSERT_TRUE(db);
    auto [sender, receiver] = make_channel<WriteOp>(WRITE_QUEUE_CAPACITY);
    Result<WorkerThread> started = start_background_writer(db, std::move(receiver), alive);
    ASSERT_TRUE(started.ok());
    writer.emplace(std::move(started.value()));
    for (int i = 0; i < 20000; ++i) {
      ASSERT_TRUE(sender.send(WriteOp{Kind::kInsert, id_of(0, i), R"({"a":[1,2]})"}).ok());
    }
    // The engine's side goes first: the handle, then the only sender.
  }
  // The writer drains the queue, then closes the file; after that it opens again.
  EXPECT_FALSE(writer->join().has_value());
  EXPECT_FALSE(alive->load());
  std::shared_ptr<store::Database> reopened = open();
  ASSERT_TRUE(reopened);
  Result<store::ReadTransaction> read = reopened->begin_read();
  ASSERT_TRUE(read.ok());
  Result<std::optional<std::string>> last = read.value().get_document(id_of(0, 19999));
  ASSERT_TRUE(last.ok());
  EXPECT_EQ(last.value(), std::optional<std::string>(R"({"a":[1,2]})"));
}

}  // namespace
}  // namespace quillmere::db_engine
