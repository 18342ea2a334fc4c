#include "engine/row_limit.h"

#include "engine/batch.h"
#include "test_support.h"

namespace quillmere::engine {
namespace {

using Kind = WriteOp::Kind;
using testing_support::index_pairs;
using testing_support::Rows;

constexpr int kLimit = testing_support::kLoweredLengthLimit;
constexpr std::uint64_t kMost = kLimit - kRowMargin;

TEST(RowLimitTest, RefusesAWriteBeyondTheLimitLessTheMarginAndNamesTheSizes) {
  const struct {
    std::size_t id, document;
    std::uint64_t limit;
    std::string error;  // empty: accepted
  } cases[] = {
      {1, kMost - 1, kLimit, ""},
      {1, kMost, kLimit,
       "Document of 98976 bytes is too large for the store (at most 98975 bytes with an id of 1 "
       "bytes)"},
      {kMost, 0, kLimit, ""},
      {kMost + 1, 0, kLimit, "Document id of 98977 bytes is too large for the store (at most 98976 bytes)"},
      {kMost / 2, kMost / 2, kLimit, ""},
      {0, 0, kRowMargin, ""},
      {1, 0, kRowMargin, "Document id of 1 bytes is too large for the store (at most 0 bytes)"},
      {0, 1, 0, "Document of 1 bytes is too large for the store (at most 0 bytes with an id of 0 bytes)"},
      {5, 999998971, 1000000000, ""},
      {5, 999998972, 1000000000,
       "Document of 999998972 bytes is too large for the store (at most 999998971 bytes with an id "
       "of 5 bytes)"},
  };
  for (const auto& c : cases) {
    const Status fits = check_row_limit(c.id, c.document, c.limit);
    EXPECT_EQ(fits.ok() ? "" : fits.message(), c.error) << c.id << " " << c.document;
  }
}

// An object of one key whose leaf is the number with the longest text
// relative to its JSON form, padded by the key to `size` bytes.
std::string longest_entry_document(std::size_t size) {
  const std::string before = "{\"", after = "\":-5e-324}";
  return before + std::string(size - before.size() - after.size(), 'k') + after;
}

struct StoreAtLowLimit : ::testing::Test {
  testing_support::LoweredLengthLimit lowered;
  testing_support::TempDir dir;
  std::shared_ptr<store::Database> db = testing_support::open_store(dir.path() + "/db");
  IndexChanges index;

  Rows documents() { return testing_support::documents(db->begin_read().value()); }
};

TEST_F(StoreAtLowLimit, TheLargestAcceptedWriteAndItsIndexEntryFitTheStore) {
  ASSERT_EQ(db->length_limit(), std::uint64_t{kLimit});
  const std::string id = "i";
  const std::string document = longest_entry_document(kMost - id.size());
  ASSERT_TRUE(check_row_limit(id.size(), document.size(), db->length_limit()).ok());
  std::vector<WriteOp> batch{{Kind::kUpsert, id, document}};
  Result<AppliedBatch> applied = apply_batch(*db, batch, index);
  ASSERT_TRUE(applied.ok()) << applied.error();
  const Rows pairs = index_pairs(db->begin_read().value());
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(pairs[0].first.size(), document.size() + 316);  // "-5e-324" written out in full
  EXPECT_EQ(pairs[0].first.substr(pairs[0].first.size() - 8), "00000005");
}

// A store step that fails inside a batch, which no checked write reaches:
// nothing of the batch is committed, and later batches apply as usual.
TEST_F(StoreAtLowLimit, AFailedStoreOrIndexStepFailsTheWholeBatch) {
  const std::string too_big = "string or blob too big";
  const struct {
    const char* what;
    WriteOp op;
  } cases[] = {
      {"document row", {Kind::kInsert, "d", std::string(kLimit, ' ') + "1"}},
      {"index row only", {Kind::kInsert, "e", longest_entry_document(kLimit - 100)}},
      {"upsert's document row", {Kind::kUpsert, "a", std::string(kLimit, ' ') + "2"}},
      {"deleted id", {Kind::kDelete, std::string(kLimit + 1, 'a'), {}}},
  };
  std::vector<WriteOp> first{{Kind::kInsert, "a", R"({"x":1})"}};
  ASSERT_TRUE(apply_batch(*db, first, index).ok());
  for (const auto& c : cases) {
    std::vector<WriteOp> batch{{Kind::kInsert, "b", R"({"x":2})"}, c.op, {Kind::kDelete, "a", {}}};
    Result<AppliedBatch> applied = apply_batch(*db, batch, index);
    EXPECT_EQ(applied.ok() ? "" : applied.error(), too_big) << c.what;
    EXPECT_EQ(documents(), (Rows{{"a", R"({"x":1})"}})) << c.what;
    EXPECT_EQ(index_pairs(db->begin_read().value()), (Rows{{"x.1", "a"}})) << c.what;
  }
  std::vector<WriteOp> next{{Kind::kInsert, "a", R"({"x":3})"}};
  ASSERT_TRUE(apply_batch(*db, next, index).ok());
  EXPECT_EQ(index_pairs(db->begin_read().value()), (Rows{{"x.1", "a"}, {"x.3", "a"}}));
}

// A document written by other means can have an entry the store cannot
// hold, and so never held: deleting or replacing it is no failure.
TEST_F(StoreAtLowLimit, ADocumentWhoseEntryTheStoreCannotHoldIsStillDeletedAndReplaced) {
  for (Kind kind : {Kind::kDelete, Kind::kUpsert}) {
    {
      Result<store::WriteTransaction> raw = db->begin_write();
      ASSERT_TRUE(raw.ok()) << raw.error();
      ASSERT_TRUE(raw.value().put_document("e", longest_entry_document(kLimit - 100)).ok());
      ASSERT_TRUE(raw.value().commit().ok());
    }
    std::vector<WriteOp> batch{{kind, "e", R"({"x":1})"}};
    Result<AppliedBatch> applied = apply_batch(*db, batch, index);
    ASSERT_TRUE(applied.ok()) << applied.error();
    EXPECT_EQ(documents(), kind == Kind::kDelete ? Rows{} : (Rows{{"e", R"({"x":1})"}}));
  }
}

}  // namespace
}  // namespace quillmere::engine
