#include "common/worker_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

namespace quillmere {
namespace {

TEST(WorkerThreadTest, JoinReportsHowTheBodyEnded) {
  std::atomic<int> runs{0};
  Result<WorkerThread> clean = WorkerThread::spawn([&] {
    ++runs;
    return Status::Ok();
  });
  ASSERT_TRUE(clean.ok());
  EXPECT_EQ(clean.value().join(), std::nullopt);

  // An escaping exception ends the thread, not the process, and is kept.
  testing::internal::CaptureStderr();
  Result<WorkerThread> failing = WorkerThread::spawn([&] {
    ++runs;
    throw std::runtime_error("disk on fire");
    return Status::Ok();
  });
  ASSERT_TRUE(failing.ok());
  EXPECT_EQ(failing.value().join(), "disk on fire");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "quillmere: background thread failed: disk on fire\n");
  EXPECT_EQ(runs.load(), 2);
  // Joining again reports the same ending.
  EXPECT_EQ(failing.value().join(), "disk on fire");
}

TEST(WorkerThreadTest, AnUnjoinedHandleDetaches) {
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
  while (!finished.load()) std::this_thread::yield();
  SUCCEED();
}

}  // namespace
}  // namespace quillmere
