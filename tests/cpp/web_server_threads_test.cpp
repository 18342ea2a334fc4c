// A DBEngineWebServer's threads together over real files, as started; for ThreadSanitizer too.
#include <sys/resource.h>

#include <csignal>
#include <fstream>

#include "db_engine_web_server/audit_log.h"
#include "db_engine_web_server/database_writer.h"
#include "db_engine_web_server/wal_format.h"
#include "db_engine_web_server/wal_writer.h"
#include "engine/write_op.h"
#include "test_support.h"

namespace quillmere::db_engine_web_server {
namespace {

using engine::WriteOp;
using Kind = WriteOp::Kind;
using namespace testing_support;

class WebServerThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto [apply_sender, apply_receiver] = make_channel<WriteOp>(engine::WRITE_QUEUE_CAPACITY);
    apply_probe_.emplace(apply_sender.probe());
    apply_receiver_.emplace(std::move(apply_receiver));
    auto [sender, receiver] = make_channel<WriteOp>(engine::WRITE_QUEUE_CAPACITY);
    sender_.emplace(std::move(sender));
    Result<std::shared_ptr<FileDescriptor>> wal_file = open_wal();
    if (wal_file.ok()) wal_file_ = wal_file.value();
    wal_ = start_wal_writer(std::move(receiver), std::move(apply_sender), std::move(wal_file),
                            counters_)
               .value();
  }

  // Held back until a test lets the database writer run.
  void let_database_writer_run() {
    writer_ = start_database_writer(std::move(*apply_receiver_), db_, wal_file_, {}, counters_,
                                    executors_)
                  .value();
  }

  std::string wal_path() const { return dir_.path() + "/db.wal"; }
  virtual Result<std::shared_ptr<FileDescriptor>> open_wal() const {
    return open_wal_file(wal_path(), /*create=*/true);
  }

  // The ids of the frames in the WAL file.
  std::vector<std::string> framed_ids() const {
    const int fd = ::open(wal_path().c_str(), O_RDONLY | O_CLOEXEC);
    WalFrameReader reader(fd);
    std::vector<std::string> ids;
    for (WalFrame frame;;) {
      Result<WalRead> read = reader.next(frame);  // fails while the file is not there yet
      if (!read.ok() || read.value() != WalRead::kFrame) break;
      ids.push_back(frame.id);
    }
    if (fd >= 0) ::close(fd);
    return ids;
  }

  void send_all(std::initializer_list<WriteOp> ops) {
    for (const WriteOp& op : ops) ASSERT_TRUE(sender_->send(op).ok());
  }

  std::size_t stored_documents() { return documents(db_->begin_read().value()).size(); }

  TempDir dir_;
  std::shared_ptr<store::Database> db_ = open_store(dir_.path() + "/db");
  std::shared_ptr<Counters> counters_ = std::make_shared<Counters>();
  std::shared_ptr<FileDescriptor> wal_file_;  // the WAL writer's, once opened
  std::shared_ptr<ThreadGroup> executors_ = std::make_shared<ThreadGroup>();
  std::optional<Sender<WriteOp>> sender_;
  std::optional<Receiver<WriteOp>> apply_receiver_;
  std::optional<LengthProbe<WriteOp>> apply_probe_;
  std::optional<WorkerThread> wal_, writer_;
};

TEST_F(WebServerThreadsTest, ProducersWritersAndLogTogether) {
  let_database_writer_run();
  auto [log_sender, log_receiver] = make_channel<LogOp>(10000);
  WorkerThread log =
      start_log_thread(std::move(log_receiver), open_audit_log(dir_.path() + "/db.jsonl"),
                       counters_)
          .value();
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&, t, sender = *sender_, log = log_sender] {
      for (int i = 0; i < 3000; ++i) {
        const std::string id = std::to_string(t) + ":" + std::to_string(i);
        const Kind kind = i % 3 == 2 ? Kind::kDelete : i % 3 == 1 ? Kind::kUpsert : Kind::kInsert;
        ASSERT_TRUE(sender.send(WriteOp{kind, id, R"({"t":)" + std::to_string(t) + "}"}).ok());
        LogOp record = LogOp::entry(kInsertAction, id);
        (void)log.try_send(record);
        if (i % 500 == 0) {
          (void)sender.send(WriteOp::backup({dir_.path() + "/copy" + id, "copy" + id}));
        }
      }
    });
  }
  for (std::thread& producer : producers) producer.join();
  ASSERT_TRUE(sender_->send(WriteOp{Kind::kShutdown, {}, {}}).ok());
  EXPECT_EQ(wal_->join(), std::nullopt);
  EXPECT_EQ(writer_->join(), std::nullopt);
  ASSERT_TRUE(log_sender.send(LogOp::shutdown()).ok());
  EXPECT_EQ(log.join(), std::nullopt);
  EXPECT_FALSE(counters_->alive.load());
  executors_->join_all();
  EXPECT_EQ(db_.use_count(), 1);  // the backups are done and let go of the database
  // Each producer's ids 0, 1 (upserted) survive, 2 is deleted: 2000 each.
  EXPECT_EQ(stored_documents(), 4u * 2000);
  EXPECT_EQ(std::filesystem::file_size(wal_path()), 0u);  // all committed, so emptied
}

TEST_F(WebServerThreadsTest, FullChannelsWaitForAStalledDatabaseWriter) {
  std::thread producer([sender = *sender_] {
    for (int i = 0; i < 25000; ++i) {
      ASSERT_TRUE(sender.send(WriteOp{Kind::kInsert, "k" + std::to_string(i), "{}"}).ok());
    }
  });
  // The WAL writer fills the apply channel and waits; then the producer waits on the queue.
  EXPECT_TRUE(wait_until([&] { return apply_probe_->len() == engine::WRITE_QUEUE_CAPACITY; }));
  EXPECT_TRUE(wait_until([&] { return sender_->len() == engine::WRITE_QUEUE_CAPACITY; }));
  EXPECT_GT(std::filesystem::file_size(wal_path()), 0u);  // framed before forwarded
  let_database_writer_run();
  producer.join();
  ASSERT_TRUE(sender_->send(WriteOp{Kind::kShutdown, {}, {}}).ok());
  EXPECT_EQ(wal_->join(), std::nullopt);
  EXPECT_EQ(writer_->join(), std::nullopt);
  EXPECT_EQ(stored_documents(), 25000u);
}

TEST_F(WebServerThreadsTest, DatabaseWriterEndsWhenTheWalWriterHasGone) {
  let_database_writer_run();
  ASSERT_TRUE(sender_->send(WriteOp{Kind::kInsert, "a", "{}"}).ok());
  sender_.reset();  // the WAL writer drains the queue, forwards and ends
  EXPECT_EQ(wal_->join(), std::nullopt);
  EXPECT_EQ(writer_->join(), std::nullopt);  // although the object's probe remains
  EXPECT_EQ(stored_documents(), 1u);
  EXPECT_EQ(std::filesystem::file_size(wal_path()), 0u);
}

TEST_F(WebServerThreadsTest, OnceTheDatabaseWriterHasGoneEveryOperationIsStillFramed) {
  apply_receiver_.reset();  // as a crashed database writer leaves it
  send_all({{Kind::kInsert, "a", "{}"}});
  // The rest comes after the send of "a" has failed, in batches of its own.
  ASSERT_TRUE(wait_until([&] { return framed_ids().size() == 1; }));
  send_all({WriteOp::backup({"copy", "copy"}), {Kind::kDelete, "b", {}}, {Kind::kUpsert, "c", "[]"},
            {Kind::kShutdown, {}, {}}});
  EXPECT_EQ(wal_->join(), std::nullopt);  // the database writer's failure is the news
  EXPECT_EQ(framed_ids(), (std::vector<std::string>{"a", "b", "c"}));  // kept for the replay
}

// A WAL file that can be written to no more and cannot be emptied either
// (a device, which open_wal_file would refuse).
class UnwritableWalTest : public WebServerThreadsTest {
 protected:
  Result<std::shared_ptr<FileDescriptor>> open_wal() const override {
    return FileDescriptor::open("/dev/full", O_RDWR);
  }
};

TEST_F(UnwritableWalTest, TheFailureEndsTheWalWriterWhenTheFileCannotBeEmptied) {
  let_database_writer_run();
  send_all({{Kind::kInsert, "a", "{}"}});
  const std::string full = "I/O error: No space left on device (os error 28)";
  EXPECT_EQ(wal_->join(), full);
  EXPECT_EQ(counters_->failure(), full);
  EXPECT_FALSE(counters_->alive.load());
  EXPECT_EQ(writer_->join(), std::nullopt);
  // A torn frame may be in the file: applying "a" could let a replay write it over newer data.
  EXPECT_EQ(stored_documents(), 0u);
}

// Once the WAL file cannot grow, its frames are committed, it is emptied, and the rest is
// applied unframed. Upserts of one id outgrow the WAL file long before the database.
TEST(WalWriterFailureTest, AWalFileThatCannotGrowIsEmptiedAndTheRestApplied) {
  TempDir dir;
  const int failed_check = in_child([&] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1 << 20, 1 << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
    auto db = open_store(dir.path() + "/db");
    auto counters = std::make_shared<Counters>();
    auto [apply_sender, apply_receiver] = make_channel<WriteOp>(engine::WRITE_QUEUE_CAPACITY);
    auto [sender, receiver] = make_channel<WriteOp>(engine::WRITE_QUEUE_CAPACITY);
    const std::string wal = dir.path() + "/db.wal";
    std::shared_ptr<FileDescriptor> wal_file = open_wal_file(wal, /*create=*/true).value();
    WorkerThread wal_writer =
        start_wal_writer(std::move(receiver), std::move(apply_sender), wal_file, counters).value();
    WorkerThread writer = start_database_writer(std::move(apply_receiver), db, wal_file, {},
                                                counters, std::make_shared<ThreadGroup>())
                              .value();
    const std::string pad(100000, 'p');
    for (int i = 0; i < 30; ++i) (void)sender.send(WriteOp{Kind::kUpsert, "a", std::to_string(i) + pad});
    (void)sender.send(WriteOp{Kind::kShutdown, {}, {}});
    const std::string too_large = "I/O error: File too large (os error 27)";
    if (wal_writer.join() != too_large || counters->failure() != too_large) return 1;
    if (writer.join() != std::nullopt || std::filesystem::file_size(wal) != 0) return 2;
    return documents(db->begin_read().value()) == Rows{{"a", "29" + pad}} ? 0 : 3;
  });
  EXPECT_EQ(failed_check, 0);
}

// A WAL file that could not be opened: writes are refused from the start, what is sent all the
// same is applied unframed, and the failure is the WAL writer's when it ends.
TEST(WalWriterFailureTest, AWalFileThatCouldNotBeOpenedForwardsEverythingUnframed) {
  TempDir dir;
  auto db = open_store(dir.path() + "/db");
  auto counters = std::make_shared<Counters>();
  auto [apply_sender, apply_receiver] = make_channel<WriteOp>(engine::WRITE_QUEUE_CAPACITY);
  auto [sender, receiver] = make_channel<WriteOp>(engine::WRITE_QUEUE_CAPACITY);
  Result<std::shared_ptr<FileDescriptor>> wal_file =
      open_wal_file(dir.path() + "/no/db.wal", /*create=*/true);
  const std::string failure = "Failed to open WAL file No such file or directory (os error 2)";
  ASSERT_EQ(wal_file.error(), failure);
  testing::internal::CaptureStderr();
  WorkerThread wal_writer =
      start_wal_writer(std::move(receiver), std::move(apply_sender), wal_file, counters).value();
  EXPECT_FALSE(counters->alive.load());  // before the thread has run
  EXPECT_EQ(counters->failure(), failure);
  WorkerThread writer = start_database_writer(std::move(apply_receiver), db, nullptr, {}, counters,
                                              std::make_shared<ThreadGroup>())
                            .value();
  for (const WriteOp& op : {WriteOp{Kind::kInsert, "a", "{}"}, WriteOp{Kind::kInsert, "b", "[]"},
                            WriteOp{Kind::kDelete, "a", {}}, WriteOp{Kind::kShutdown, {}, {}}}) {
    ASSERT_TRUE(sender.send(op).ok());
  }
  EXPECT_EQ(wal_writer.join(), failure);
  EXPECT_EQ(writer.join(), std::nullopt);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "quillmere: background thread failed: " + failure + "\n");
  EXPECT_EQ(documents(db->begin_read().value()), (Rows{{"b", "[]"}}));
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/no"));
}

// The WAL file is written and emptied through the engine's descriptor only: another file put
// under its name is left as it is.
TEST_F(WebServerThreadsTest, TheWalFileIsEmptiedThroughItsDescriptorNotItsName) {
  send_all({{Kind::kInsert, "a", "{}"}});
  ASSERT_TRUE(wait_until([&] { return framed_ids().size() == 1; }));
  const std::string moved = dir_.path() + "/moved.wal";
  ASSERT_EQ(::rename(wal_path().c_str(), moved.c_str()), 0);
  std::ofstream(wal_path()) << "another engine's frames";
  send_all({{Kind::kInsert, "b", "{}"}});
  let_database_writer_run();
  send_all({{Kind::kShutdown, {}, {}}});
  EXPECT_EQ(wal_->join(), std::nullopt);
  EXPECT_EQ(writer_->join(), std::nullopt);
  EXPECT_EQ(stored_documents(), 2u);
  EXPECT_EQ(std::filesystem::file_size(moved), 0u);  // the engine's own file, emptied
  EXPECT_EQ(std::filesystem::file_size(wal_path()), 23u);
}

}  // namespace
}  // namespace quillmere::db_engine_web_server
