#include "common/worker_thread.h"

#include <atomic>
#include <stdexcept>

#include "test_support.h"

namespace quillmere {
namespace {

TEST(WorkerThreadTest, JoinReportsHowTheBodyEndedAndAnUnjoinedHandleDetaches) {
  EXPECT_EQ(WorkerThread::spawn([] { return Status::Ok(); }).value().join(), std::nullopt);
  // An escaping exception ends the thread, not the process, and is kept.
  testing::internal::CaptureStderr();
  WorkerThread failing =
      WorkerThread::spawn([]() -> Status { throw std::runtime_error("disk on fire"); }).value();
  EXPECT_EQ(failing.join(), "disk on fire");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "quillmere: background thread failed: disk on fire\n");
  EXPECT_EQ(failing.join(), "disk on fire");
  std::atomic<bool> release{false}, finished{false};
  WorkerThread::spawn([&] {  // destroyed while running: no terminate
    while (!release.load()) std::this_thread::yield();
    finished.store(true);
    return Status::Ok();
  });
  release.store(true);
  EXPECT_TRUE(testing_support::wait_until([&] { return finished.load(); }));
}

}  // namespace
}  // namespace quillmere
