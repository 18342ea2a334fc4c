#include "engine/batch.h"

#include "db_engine_web_server/database_writer.h"
#include "test_support.h"

namespace quillmere::engine {
namespace {

using db_engine_web_server::MAX_BATCH_BYTES;
using Kind = WriteOp::Kind;
constexpr std::uint64_t kHalf = MAX_BATCH_BYTES / 2;

// Inserts whose id and payload count `sizes` bytes together (at least 1 each).
std::vector<WriteOp> sized(std::vector<std::uint64_t> sizes) {
  std::vector<WriteOp> ops;
  for (std::uint64_t size : sizes) {
    ops.push_back(WriteOp{Kind::kInsert, "k", std::string(size - 1, 'x')});
  }
  return ops;
}

// The database writer's limits, without threads: all is queued before the first batch.
TEST(BatchLimitTest, OperationsFormTheExpectedBatches) {
  std::vector<WriteOp> backup_and_shutdown = sized({MAX_BATCH_BYTES - 1});
  backup_and_shutdown.push_back(
      WriteOp::backup({std::string(MAX_BATCH_BYTES, 'p'), std::string(MAX_BATCH_BYTES, 'n')}));
  backup_and_shutdown.push_back(WriteOp{Kind::kShutdown, {}, {}});
  backup_and_shutdown.push_back(sized({1})[0]);
  const std::pair<std::vector<WriteOp>, std::vector<std::size_t>> cases[] = {
      {sized(std::vector<std::uint64_t>(MAX_BATCH_OPS + 1, 4)), {MAX_BATCH_OPS, 1}},
      {sized({kHalf, kHalf - 1, 1, 7}), {3, 1}},  // one byte short leaves the batch open
      {sized({kHalf, kHalf, 5}), {2, 1}},         // the operation that crosses belongs to it
      {sized({MAX_BATCH_BYTES, 1}), {1, 1}},  // a first operation at the limit is alone
      {backup_and_shutdown, {4}},                 // which count no bytes
  };
  for (const auto& [queued, expected] : cases) {
    auto [sender, receiver] = make_channel<WriteOp>(queued.size());
    for (const WriteOp& op : queued) ASSERT_TRUE(sender.send(op).ok());
    { Sender<WriteOp> last = std::move(sender); }
    std::vector<std::size_t> sizes;
    for (std::vector<WriteOp> batch;
         collect_batch(receiver, batch, {MAX_BATCH_OPS, MAX_BATCH_BYTES}); batch.clear()) {
      sizes.push_back(batch.size());
    }
    EXPECT_EQ(sizes, expected) << queued.size();
  }
}

// A committed batch reports its data operations and its last Backup's target
// (the path to open and the target as named).
// A Delete of an absent id, an Insert over a stored id (leaving a stale
// entry) and a document that does not parse are no failures.
TEST(ApplyBatchTest, CountsDataOperationsAndKeepsTheLastBackupTarget) {
  testing_support::TempDir dir;
  auto db = testing_support::open_store(dir.path() + "/db");
  IndexChanges index;
  const BackupTarget second{"/w/second", "../second"};
  std::vector<WriteOp> batch{WriteOp::backup({"/w/first", "first"}),
                             {Kind::kInsert, "a", R"({"x":1})"},
                             {Kind::kDelete, "never-stored", {}},
                             WriteOp::backup(second),
                             {Kind::kShutdown, {}, {}},
                             {Kind::kUpsert, "b", "[1]"},
                             {Kind::kInsert, "a", R"({"x":2})"},
                             {Kind::kInsert, "c", R"({"x":123456789012345678901})"}};
  Result<AppliedBatch> applied = apply_batch(*db, batch, index);
  ASSERT_TRUE(applied.ok()) << applied.error();
  EXPECT_EQ(applied.value().data_ops, 5u);
  EXPECT_EQ(applied.value().backup, second);
  EXPECT_EQ(testing_support::index_pairs(db->begin_read().value()),
            (testing_support::Rows{{"0.1", "b"}, {"x.1", "a"}, {"x.2", "a"}}));
  std::vector<WriteOp> only_backup{WriteOp::backup({"/w/third", "/w/third"})};
  applied = apply_batch(*db, only_backup, index);
  EXPECT_EQ(applied.value().data_ops, 0u);
  EXPECT_EQ(applied.value().backup, (BackupTarget{"/w/third", "/w/third"}));
}

}  // namespace
}  // namespace quillmere::engine
