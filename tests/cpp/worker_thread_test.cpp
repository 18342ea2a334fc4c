#include "common/worker_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

namespace quillmere {
namespace {

TEST(WorkerThreadTest, JoinReportsHowTheBodyEnded) {
  Result<WorkerThread> clean = WorkerThread::spawn([] { return Status::Ok(); });
  ASSERT_TRUE(clean.ok());
  EXPECT_EQ(clean.value().join(), std::nullopt);

  // An escaping exception ends the thread, not the process, and is kept.
  testing::internal::CaptureStderr();
  Result<WorkerThread> failing = WorkerThread::spawn([]() -> Status {
    throw std::runtime_error("disk on fire");
  });
  ASSERT_TRUE(failing.ok());
  EXPECT_EQ(failing.value().join(), "disk on fire");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "quillmere: background thread failed: disk on fire\n");
  EXPECT_EQ(failing.value().join(), "disk on fire");
}

TEST(WorkerThreadTest, AnUnjoinedHandleDetachesAndTheBodyRunsOn) {
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
  {
    Result<WorkerThread> thread = WorkerThread::spawn([&] {
      while (!release.load()) std::this_thread::yield();
      finished.store(true);
      return Status::Ok();
    });
    ASSERT_TRUE(thread.ok());
  }  // destroyed while running: no terminate
  release.store(true);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!finished.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_TRUE(finished.load());
}

}  // namespace
}  // namespace quillmere
