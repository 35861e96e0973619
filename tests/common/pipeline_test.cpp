#include "common/pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace mdspeak {
namespace {

// Every item crosses in order, through any number of batches, whatever the bound.
TEST(PipelineTest, BatchesCrossInOrderUnderEveryBound) {
  for (const std::size_t in_flight : {1, 2, 8}) {
    BatchChannel<std::vector<int>> channel(in_flight);
    ScopedWorker producer([&] { channel.cancel(); });
    ASSERT_TRUE(producer.start([&] {
      std::vector<int> batch;
      for (int i = 0; i < 10000; ++i) {
        batch.push_back(i);
        if (batch.size() == 7 && !channel.put(batch)) return;
      }
      channel.close(std::move(batch));
    }));
    std::vector<int> got;
    while (std::optional<std::vector<int>> batch = channel.take()) {
      got.insert(got.end(), batch->begin(), batch->end());
      channel.give_back(std::move(*batch));
    }
    producer.join();
    ASSERT_EQ(got.size(), 10000u) << "in flight " << in_flight;
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(got[i], i);
  }
}

TEST(PipelineTest, BoundRefusesTryPutAndSpareComesBackWithItsRoom) {
  BatchChannel<std::string> channel(2);
  std::string batch = "first";
  EXPECT_TRUE(channel.try_put(batch));
  EXPECT_TRUE(batch.empty());
  batch = "second";
  EXPECT_TRUE(channel.try_put(batch));
  batch = "third";
  EXPECT_FALSE(channel.try_put(batch));
  EXPECT_EQ(batch, "third");  // left as it was, for the producer to deal with

  std::optional<std::string> read = channel.try_take();
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, "first");
  read->reserve(1000);
  const char* room = read->data();
  channel.give_back(std::move(*read));
  EXPECT_TRUE(channel.try_put(batch));
  EXPECT_EQ(batch.data(), room);
  EXPECT_TRUE(batch.empty());
  EXPECT_EQ(channel.try_take(), "second");
  EXPECT_EQ(channel.try_take(), "third");
  EXPECT_EQ(channel.try_take(), std::nullopt);
}

// A producer waiting on a full channel and a consumer waiting on an empty one both end when the
// other side goes: the worker's stop hook cancels, and its scope joins.
TEST(PipelineTest, CancelEndsWaitsOnBothSides) {
  BatchChannel<std::vector<int>> full(1);
  std::atomic<int> refused = 0;
  {
    ScopedWorker producer([&] { full.cancel(); });
    ASSERT_TRUE(producer.start([&] {
      std::vector<int> batch{1};
      while (full.put(batch)) batch.push_back(1);
      refused = 1;
    }));
  }
  EXPECT_EQ(refused, 1);
  EXPECT_EQ(full.take(), std::nullopt);

  BatchChannel<std::vector<int>> empty(4);
  std::atomic<bool> ended = false;
  {
    ScopedWorker consumer([&] { empty.cancel(); });
    ASSERT_TRUE(consumer.start([&] {
      while (empty.take()) {
      }
      ended = true;
    }));
  }
  EXPECT_TRUE(ended);
  std::vector<int> late{1};
  EXPECT_FALSE(empty.put(late));
}

TEST(PipelineTest, RunDoesTheWorkOnceWhetherOrNotAThreadStarts) {
  std::atomic<int> runs = 0;
  {
    ScopedWorker worker;
    EXPECT_TRUE(worker.run([&] { ++runs; }));
  }
  EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace mdspeak
