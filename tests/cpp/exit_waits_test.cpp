#include "common/exit_waits.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

#include "common/channel.h"
#include "test_support.h"

namespace quillmere {
namespace {

using namespace std::chrono_literals;

// A stand-in for an engine: one thread that ends at the first item of its
// queue or once the queue disconnects, after `work` more.
struct FakeEngine {
  explicit FakeEngine(std::chrono::milliseconds work = 20ms) {
    auto [queue_sender, queue_receiver] = make_channel<int>(1);
    sender.emplace(std::move(queue_sender));
    threads->add(WorkerThread::spawn([receiver = std::make_shared<Receiver<int>>(std::move(queue_receiver)),
                                      ended = ended, work] {
                   (void)receiver->recv();
                   std::this_thread::sleep_for(work);
                   ended->store(true);
                   return Status::Ok();
                 }).value());
  }

  std::optional<Sender<int>> sender;
  std::shared_ptr<ThreadGroup> threads = std::make_shared<ThreadGroup>();
  std::shared_ptr<std::atomic<bool>> ended = std::make_shared<std::atomic<bool>>(false);
  std::atomic<int> shutdowns_prepared{0};
};

ExitWaits::Prepare shutdown_of(FakeEngine& engine) {
  return [&engine]() -> std::function<void()> {
    ++engine.shutdowns_prepared;
    return [sender = *engine.sender] { (void)sender.send(0); };
  };
}

TEST(ExitWaitsTest, FinishShutsDownOpenEnginesAndWaitsForTheThreadsOfReleasedOnes) {
  ExitWaits waits;
  FakeEngine open, released, closed;
  waits.add(shutdown_of(open), open.threads);
  const ExitWaits::Token released_token = waits.add(shutdown_of(released), released.threads);
  const ExitWaits::Token closed_token = waits.add(shutdown_of(closed), closed.threads);
  waits.release(released_token);
  released.sender.reset();  // its thread drains the queue and ends by itself
  waits.remove(closed_token);

  std::atomic<bool> woken{false};
  WorkerThread sleeper = WorkerThread::spawn([&] {
    woken.store(waits.sleep_unless_finishing(std::chrono::hours(1)));
    return Status::Ok();
  }).value();
  EXPECT_FALSE(waits.finishing());
  waits.finish_all();
  EXPECT_TRUE(waits.finishing());
  EXPECT_TRUE(open.ended->load() && released.ended->load());
  EXPECT_EQ(open.shutdowns_prepared, 1);
  EXPECT_EQ(released.shutdowns_prepared + closed.shutdowns_prepared, 0);
  (void)sleeper.join();
  EXPECT_TRUE(woken.load());
  EXPECT_FALSE(closed.ended->load());  // removed: nothing waited for it
  (void)closed.sender->send(0);
  closed.threads->join_all();

  // An engine made after a finish is waited for by the next one.
  FakeEngine late;
  waits.add(shutdown_of(late), late.threads);
  waits.finish_all();
  EXPECT_TRUE(late.ended->load());
}

TEST(ExitWaitsTest, AnEngineMadeWhileAReleasedOneDrainsLeavesItAwaited) {
  ExitWaits waits;
  FakeEngine draining(300ms);
  waits.release(waits.add(shutdown_of(draining), draining.threads));
  draining.sender.reset();  // its thread has work left, longer than the next engine's
  FakeEngine next;
  waits.add(shutdown_of(next), next.threads);
  waits.finish_all();
  EXPECT_TRUE(draining.ended->load());
}

}  // namespace
}  // namespace quillmere
