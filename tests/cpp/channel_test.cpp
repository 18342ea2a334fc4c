#include "common/channel.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

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

TEST(ChannelTest, ALastItemClosesTheChannelToLaterSendsAndToSendersWaitingForRoom) {
  auto [sender, receiver] = make_channel<int>(2);
  ASSERT_TRUE(sender.send(1).ok());
  ASSERT_TRUE(sender.send(2).ok());
  int value = 9;
  EXPECT_EQ(sender.send_for(value, 5ms), TrySendResult::kFull);
  EXPECT_EQ(value, 9);  // kept for another try
  Status waiting_send = Status::Ok();
  std::thread waiting([&] { waiting_send = Sender<int>(sender).send(3); });
  EXPECT_EQ(receiver.try_recv(), 1);
  EXPECT_EQ(receiver.try_recv(), 2);  // room for the waiting send and the last item
  ASSERT_TRUE(sender.send_last(4, "closed for good").ok());
  waiting.join();
  std::vector<int> queued;
  while (std::optional<int> item = receiver.try_recv()) queued.push_back(*item);
  // Either the waiting send got in first, or it was refused behind the last item.
  if (waiting_send.ok()) {
    EXPECT_EQ(queued, (std::vector<int>{3, 4}));
  } else {
    EXPECT_EQ(waiting_send.message(), "closed for good");
    EXPECT_EQ(queued, (std::vector<int>{4}));
  }
  EXPECT_EQ(sender.send(5).message(), "closed for good");
  EXPECT_EQ(sender.try_send(value), TrySendResult::kClosed);
  EXPECT_EQ(sender.closed_text(), "closed for good");
  EXPECT_EQ(sender.send_last(6, "again").message(), "closed for good");
  { Receiver<int> gone = std::move(receiver); }
  EXPECT_EQ(sender.closed_text(), kDisconnectedText);  // the receiver's end decides first
}

}  // namespace
}  // namespace quillmere
