#include "engine/batch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db_engine_web_server/database_writer.h"
#include "test_support.h"

namespace quillmere::engine {
namespace {

using db_engine_web_server::MAX_BATCH_BYTES;
using Kind = WriteOp::Kind;

// An Insert whose id and payload count `bytes` together (at least 1).
WriteOp insert_of(std::size_t bytes, std::size_t n) {
  std::string id = "k" + std::to_string(n);
  return WriteOp{Kind::kInsert, id, std::string(bytes > id.size() ? bytes - id.size() : 0, 'x')};
}

struct LimitCase {
  const char* name;
  std::vector<WriteOp> queued;
  std::vector<std::size_t> batch_sizes;  // the batches the queued operations form
};
void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

std::vector<WriteOp> small_inserts(std::size_t count) {
  std::vector<WriteOp> ops;
  for (std::size_t i = 0; i < count; ++i) ops.push_back(insert_of(4, i));
  return ops;
}

// Operations whose counted bytes are `sizes`, in order.
std::vector<WriteOp> sized(std::vector<std::uint64_t> sizes) {
  std::vector<WriteOp> ops;
  for (std::size_t i = 0; i < sizes.size(); ++i) ops.push_back(insert_of(sizes[i], i));
  return ops;
}

class BatchLimitTest : public ::testing::TestWithParam<LimitCase> {};

// The database writer's limits, driven without threads: everything is
// queued before the first batch is taken.
TEST_P(BatchLimitTest, OperationsFormTheExpectedBatches) {
  const LimitCase& c = GetParam();
  auto [sender, receiver] = make_channel<WriteOp>(c.queued.size());
  for (const WriteOp& op : c.queued) ASSERT_TRUE(sender.send(op).ok());
  { Sender<WriteOp> last = std::move(sender); }
  std::vector<std::size_t> sizes;
  std::vector<WriteOp> batch;
  while (collect_batch(receiver, batch, {MAX_BATCH_OPS, MAX_BATCH_BYTES})) {
    sizes.push_back(batch.size());
    batch.clear();
  }
  EXPECT_EQ(sizes, c.batch_sizes);
}

constexpr std::uint64_t kHalf = MAX_BATCH_BYTES / 2;

INSTANTIATE_TEST_SUITE_P(
    DatabaseWriter, BatchLimitTest,
    ::testing::Values(
        LimitCase{"one_more_than_the_operation_limit", small_inserts(MAX_BATCH_OPS + 1),
                  {MAX_BATCH_OPS, 1}},
        LimitCase{"one_byte_short_leaves_the_batch_open", sized({kHalf, kHalf - 1, 1, 7}), {3, 1}},
        LimitCase{"the_operation_that_crosses_belongs_to_the_batch", sized({kHalf, kHalf, 5}), {2, 1}},
        LimitCase{"a_first_operation_at_the_limit_is_alone", sized({MAX_BATCH_BYTES, 1}), {1, 1}},
        LimitCase{"backup_and_shutdown_count_no_bytes",
                  [] {
                    std::vector<WriteOp> ops = sized({MAX_BATCH_BYTES - 1});
                    ops.push_back(WriteOp{Kind::kBackup, std::string(MAX_BATCH_BYTES, 'p'), {}});
                    ops.push_back(WriteOp{Kind::kShutdown, {}, {}});
                    ops.push_back(insert_of(1, 9));
                    return ops;
                  }(),
                  {4}}),
    [](const auto& info) { return std::string(info.param.name); });

// What a committed batch reports: its data operations (refused or not) and
// the target of its last Backup.
TEST(ApplyBatchTest, CountsDataOperationsAndKeepsTheLastBackupTarget) {
  testing_support::TempDir dir;
  Result<std::shared_ptr<store::Database>> db = store::Database::open(dir.path() + "/db");
  ASSERT_TRUE(db.ok()) << db.error();
  IndexChanges index;
  std::vector<WriteOp> batch{{Kind::kBackup, "first", {}},     {Kind::kInsert, "a", R"({"x":1})"},
                             {Kind::kDelete, "never-stored", {}}, {Kind::kBackup, "second", {}},
                             {Kind::kShutdown, {}, {}},        {Kind::kUpsert, "b", "[1]"}};
  Result<AppliedBatch> applied = apply_batch(*db.value(), batch, index);
  ASSERT_TRUE(applied.ok()) << applied.error();
  EXPECT_EQ(applied.value().data_ops, 3u);
  EXPECT_EQ(applied.value().backup_target, "second");

  std::vector<WriteOp> only_backup{{Kind::kBackup, "third", {}}};
  applied = apply_batch(*db.value(), only_backup, index);
  ASSERT_TRUE(applied.ok());
  EXPECT_EQ(applied.value().data_ops, 0u);
  EXPECT_EQ(applied.value().backup_target, "third");
}

}  // namespace
}  // namespace quillmere::engine
