#include "common/channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace quillmere {
namespace {

using namespace std::chrono_literals;

TEST(ChannelTest, DisconnectsOnlyAfterTheLastSenderGoesAndTheQueueDrains) {
  auto [sender, receiver] = make_channel<int>(4);
  {
    Sender<int> clone = sender;
    ASSERT_TRUE(clone.send(7).ok());
  }
  int value = 0;
  EXPECT_EQ(receiver.recv_timeout(1ms, value), RecvResult::kValue);
  EXPECT_EQ(value, 7);
  EXPECT_EQ(receiver.recv_timeout(1ms, value), RecvResult::kTimeout);  // one sender left
  ASSERT_TRUE(sender.send(8).ok());
  { Sender<int> gone = std::move(sender); }
  EXPECT_EQ(receiver.try_recv(), 8);  // queued items first
  EXPECT_EQ(receiver.recv_timeout(1ms, value), RecvResult::kDisconnected);
  EXPECT_FALSE(receiver.recv().has_value());
}

TEST(ChannelTest, ASenderBlockedOnAFullQueueFailsWhenTheReceiverGoes) {
  auto [sender, receiver] = make_channel<int>(1);
  ASSERT_TRUE(sender.send(1).ok());
  std::optional<Receiver<int>> holder(std::move(receiver));
  std::thread blocked([&sender] {
    const Status status = sender.send(2);
    EXPECT_EQ(status.ok() ? "sent" : status.message(), "sending on a disconnected channel");
  });
  holder.reset();
  blocked.join();
}

TEST(ChannelTest, ManyProducersThroughASmallQueueLoseNothingAndKeepTheirOrder) {
  auto [sender, receiver] = make_channel<int>(2);
  constexpr int kProducers = 4;
  constexpr int kEach = 5000;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([clone = sender, p]() mutable {
      for (int i = 0; i < kEach; ++i) ASSERT_TRUE(clone.send(p * kEach + i).ok());
    });
  }
  { Sender<int> last = std::move(sender); }
  std::vector<int> last_seen(kProducers, -1);
  int count = 0;
  while (std::optional<int> value = receiver.recv()) {
    EXPECT_GT(*value, last_seen[*value / kEach]);
    last_seen[*value / kEach] = *value;
    ++count;
  }
  for (std::thread& producer : producers) producer.join();
  EXPECT_EQ(count, kProducers * kEach);
}

}  // namespace
}  // namespace quillmere
