#include "common/channel.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using namespace std::chrono_literals;

TEST(ChannelTest, DisconnectsOnlyAfterTheLastSenderGoesAndTheQueueDrains) {
  auto [sender, receiver] = make_channel<int>(4);
  ASSERT_TRUE(Sender<int>(sender).send(7).ok());  // from a clone that goes at once
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

}  // namespace
}  // namespace quillmere
