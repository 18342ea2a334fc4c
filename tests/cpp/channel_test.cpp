#include "common/channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace quillmere {
namespace {

using namespace std::chrono_literals;

TEST(ChannelTest, DeliversInOrderAndBoundsTheQueue) {
  auto [sender, receiver] = make_channel<int>(2);
  ASSERT_TRUE(sender.send(1).ok());
  int second = 2;
  EXPECT_EQ(sender.try_send(second), TrySendResult::kSent);
  int third = 3;
  EXPECT_EQ(sender.try_send(third), TrySendResult::kFull);
  EXPECT_EQ(third, 3);  // not moved from when refused
  EXPECT_EQ(sender.len(), 2u);

  // A blocking send waits until the receiver makes room.
  std::thread producer([&sender] { EXPECT_TRUE(sender.send(3).ok()); });
  std::vector<int> received;
  while (received.size() < 3) {
    int value = 0;
    if (receiver.recv_timeout(1s, value) == RecvResult::kValue) received.push_back(value);
  }
  producer.join();
  EXPECT_EQ(received, (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(receiver.try_recv().has_value());
}

TEST(ChannelTest, DisconnectsWhenTheLastSenderGoesAfterDraining) {
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
  EXPECT_EQ(receiver.recv_timeout(1ms, value), RecvResult::kValue);  // queued items first
  EXPECT_EQ(value, 8);
  EXPECT_EQ(receiver.recv_timeout(1ms, value), RecvResult::kDisconnected);
  EXPECT_FALSE(receiver.recv().has_value());
}

TEST(ChannelTest, SendsFailOnceTheReceiverIsGoneAndWakeBlockedSenders) {
  auto [sender, receiver] = make_channel<int>(1);
  ASSERT_TRUE(sender.send(1).ok());
  std::optional<Receiver<int>> holder(std::move(receiver));
  std::thread blocked([&sender] {
    Status status = sender.send(2);  // waits: the queue is full
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.message(), "sending on a disconnected channel");
  });
  holder.reset();
  blocked.join();
  int value = 3;
  EXPECT_EQ(sender.try_send(value), TrySendResult::kDisconnected);
  EXPECT_EQ(sender.len(), 0u);  // queued items were dropped with the receiver
}

TEST(ChannelTest, ManyProducersLoseNothing) {
  auto [sender, receiver] = make_channel<int>(16);
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
    const int producer = *value / kEach;
    EXPECT_GT(*value, last_seen[producer]);  // each producer's order is kept
    last_seen[producer] = *value;
    ++count;
  }
  for (std::thread& producer : producers) producer.join();
  EXPECT_EQ(count, kProducers * kEach);
}

}  // namespace
}  // namespace quillmere
