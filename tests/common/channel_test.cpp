#include "common/channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace mdspeak {
namespace {

using namespace std::chrono_literals;

TEST(ChannelTest, FifoThenDisconnectedOnceSendersAreGone) {
  auto [tx, rx] = make_channel<int>();
  EXPECT_TRUE(tx.send(1));
  {
    Sender<int> copy = tx;
    EXPECT_TRUE(copy.send(2));
  }
  std::optional<int> v;
  EXPECT_EQ(rx.try_recv(v), TryRecv::Value);
  EXPECT_EQ(*v, 1);
  { auto gone = std::move(tx); }
  // Values sent before the senders left are still delivered.
  EXPECT_EQ(rx.try_recv(v), TryRecv::Value);
  EXPECT_EQ(*v, 2);
  EXPECT_EQ(rx.try_recv(v), TryRecv::Disconnected);
}

TEST(ChannelTest, SendFailsOnceReceiverIsGone) {
  auto pair = make_channel<int>();
  Sender<int> tx = std::move(pair.first);
  { auto rx = std::move(pair.second); }
  EXPECT_FALSE(tx.send(1));
}

TEST(ChannelTest, SharedWakeupWakesForEitherChannel) {
  auto wakeup = std::make_shared<Wakeup>();
  auto [atx, arx] = make_channel<int>(wakeup);
  auto [btx, brx] = make_channel<std::string>(wakeup);
  const auto seen = wakeup->generation();
  std::thread sender([tx = std::move(btx)] { tx.send("event"); });
  EXPECT_TRUE(wakeup->wait_for(seen, 10s));
  sender.join();
  std::optional<std::string> v;
  EXPECT_EQ(brx.try_recv(v), TryRecv::Value);
  EXPECT_EQ(*v, "event");
  std::optional<int> none;
  EXPECT_EQ(arx.try_recv(none), TryRecv::Empty);
}

TEST(ChannelTest, WaitTimesOutWithoutNotification) {
  Wakeup wakeup;
  EXPECT_FALSE(wakeup.wait_for(wakeup.generation(), 1ms));
}

}  // namespace
}  // namespace mdspeak
