#include "db_engine/background_writer.h"
#include "engine/batch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace quillmere::db_engine {
namespace {

using engine::MAX_BATCH_OPS;
using engine::WRITE_QUEUE_CAPACITY;
using engine::WriteOp;

namespace fs = std::filesystem;

class BackgroundWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = "quillmere_writer_";
    name.append(std::to_string(::getpid())).append("_");
    name.append(::testing::UnitTest::GetInstance()->current_test_info()->name());
    dir_ = fs::temp_directory_path() / name;
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    Result<std::shared_ptr<store::Database>> db = store::Database::open((dir_ / "db").string());
    ASSERT_TRUE(db.ok()) << db.error();
    db_ = db.value();
  }
  void TearDown() override {
    db_.reset();
    fs::remove_all(dir_);
  }

  std::optional<std::string> get(std::string_view id) {
    Result<store::ReadTransaction> read = db_->begin_read();
    EXPECT_TRUE(read.ok());
    Result<std::optional<std::string>> body = read.value().get_document(id);
    EXPECT_TRUE(body.ok());
    return body.value();
  }

  std::vector<std::string> index_ids(std::string_view entry) {
    Result<store::ReadTransaction> read = db_->begin_read();
    std::vector<std::string> ids;
    EXPECT_TRUE(read.value()
                    .scan_index(entry,
                                [&](std::string_view id) {
                                  ids.emplace_back(id);
                                  return true;
                                })
                    .ok());
    return ids;
  }

  static WriteOp op(WriteOp::Kind kind, std::string id, std::string payload = {}) {
    return WriteOp{kind, std::move(id), std::move(payload)};
  }

  // "{prefix}{n}", e.g. "k17".
  static std::string numbered(std::string prefix, std::size_t n) {
    prefix += std::to_string(n);
    return prefix;
  }

  fs::path dir_;
  std::shared_ptr<store::Database> db_;
};

using Kind = WriteOp::Kind;
using Ids = std::vector<std::string>;

TEST_F(BackgroundWriterTest, AppliesOperationsInOrderUntilShutdown) {
  auto [sender, receiver] = make_channel<WriteOp>(WRITE_QUEUE_CAPACITY);
  auto alive = std::make_shared<std::atomic<bool>>(true);
  Result<WorkerThread> writer = start_background_writer(db_, std::move(receiver), alive);
  ASSERT_TRUE(writer.ok());

  ASSERT_TRUE(sender.send(op(Kind::kInsert, "a", R"({"x":1})")).ok());
  ASSERT_TRUE(sender.send(op(Kind::kInsert, "a", R"({"x":2})")).ok());  // leaves x.1 stale
  ASSERT_TRUE(sender.send(op(Kind::kUpsert, "b", R"({"x":1})")).ok());
  ASSERT_TRUE(sender.send(op(Kind::kUpsert, "b", R"({"x":3})")).ok());  // removes b's x.1
  ASSERT_TRUE(sender.send(op(Kind::kInsert, "c", R"({"x":1})")).ok());
  ASSERT_TRUE(sender.send(op(Kind::kDelete, "c")).ok());
  ASSERT_TRUE(sender.send(op(Kind::kDelete, "never-stored")).ok());
  ASSERT_TRUE(sender.send(op(Kind::kInsert, "big", R"({"n":123456789012345678901234567890})")).ok());
  ASSERT_TRUE(sender.send(op(Kind::kShutdown, "")).ok());
  EXPECT_FALSE(writer.value().join().has_value());

  EXPECT_FALSE(alive->load());
  EXPECT_EQ(get("a"), R"({"x":2})");
  EXPECT_EQ(get("b"), R"({"x":3})");
  EXPECT_EQ(get("c"), std::nullopt);
  EXPECT_EQ(get("big"), R"({"n":123456789012345678901234567890})");  // stored, not indexed
  EXPECT_EQ(index_ids("x.1"), Ids{"a"});
  EXPECT_EQ(index_ids("x.2"), Ids{"a"});
  EXPECT_EQ(index_ids("x.3"), Ids{"b"});
  EXPECT_EQ(index_ids("n.123456789012345678901234567890"), Ids{});
  // The queue is disconnected once the writer has gone.
  Status late = sender.send(op(Kind::kInsert, "late", "{}"));
  ASSERT_FALSE(late.ok());
  EXPECT_EQ(late.message(), "sending on a disconnected channel");
}

TEST_F(BackgroundWriterTest, BatchWithShutdownIsAppliedWholeAndLaterOperationsDiscarded) {
  // Queued before the writer starts, so the first batch is exactly the first
  // MAX_BATCH_OPS operations.
  auto [sender, receiver] = make_channel<WriteOp>(MAX_BATCH_OPS + 10);
  for (std::size_t i = 0; i < MAX_BATCH_OPS; ++i) {
    ASSERT_TRUE(sender.send(i == 5 ? op(Kind::kShutdown, "")
                                   : op(Kind::kInsert, numbered("k", i), "{}"))
                    .ok());
  }
  ASSERT_TRUE(sender.send(op(Kind::kInsert, "after", "{}")).ok());
  auto alive = std::make_shared<std::atomic<bool>>(true);
  Result<WorkerThread> writer = start_background_writer(db_, std::move(receiver), alive);
  ASSERT_TRUE(writer.ok());
  EXPECT_FALSE(writer.value().join().has_value());
  EXPECT_TRUE(get("k4").has_value());
  EXPECT_TRUE(get("k9999").has_value());  // after the Shutdown, same batch
  EXPECT_FALSE(get("after").has_value());
  EXPECT_FALSE(alive->load());
}

TEST_F(BackgroundWriterTest, DrainsTheQueueWhenTheLastSenderGoes) {
  auto [sender, receiver] = make_channel<WriteOp>(WRITE_QUEUE_CAPACITY);
  auto alive = std::make_shared<std::atomic<bool>>(true);
  Result<WorkerThread> writer = start_background_writer(db_, std::move(receiver), alive);
  ASSERT_TRUE(writer.ok());
  for (int i = 0; i < 25000; ++i) {
    ASSERT_TRUE(sender.send(op(Kind::kInsert, numbered("d", i), R"({"i":1})")).ok());
  }
  { Sender<WriteOp> last = std::move(sender); }
  EXPECT_FALSE(writer.value().join().has_value());
  EXPECT_FALSE(alive->load());
  EXPECT_TRUE(get("d24999").has_value());
  EXPECT_EQ(index_ids("i.1").size(), 25000u);
}

}  // namespace
}  // namespace quillmere::db_engine
