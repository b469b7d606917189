#include "export/reading/BlockQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

using namespace kestrove;

// Blocks come out in range order whatever order the ranges are read in, each range's in
// the order they were put in; the range in turn is let through when later ones hold the
// bytes allowed.
TEST(BlockQueue, BlocksOfRangesComeOutInRangeOrder) {
    BlockQueue queue;
    queue.reset(0);
    const auto put = [&](std::size_t range, const char* text) {
        RowBlock block;
        block.range = range;
        block.text = text;
        block.used = 1;
        ASSERT_TRUE(queue.put(block));
    };
    put(2, "c");
    put(1, "b1");
    put(1, "b2");
    queue.finishRange(1);
    put(0, "a");
    EXPECT_FALSE(queue.nothingInTurn());
    queue.finishRange(0);
    std::string order;
    RowBlock taken;
    const auto take = [&](int blocks) {
        for (int k = 0; k < blocks; ++k) {
            taken = queue.take(std::move(taken), {});
            order += taken.text + " ";
        }
    };
    take(4);
    put(2, "c2");
    queue.finishRange(2);
    take(1);
    EXPECT_EQ(order, "a b1 b2 c c2 ");
    EXPECT_TRUE(queue.nothingInTurn());
    queue.stop();
    RowBlock late;
    late.range = 3;
    EXPECT_FALSE(queue.put(late));
}

// What the readers of ranges hold outside the queue counts with the blocks held: a reader
// of a later range waits for room, the range in turn always goes on, and a stop ends every
// wait.
TEST(BlockQueue, BytesOutsideTheQueueShareItsBound) {
    constexpr std::size_t mb = 1 << 20;
    BlockQueue queue;
    queue.reset(0);
    BlockQueue::Outside ahead(queue, 1);
    ASSERT_TRUE(ahead.hold(BlockQueue::HeldBytes - mb));
    BlockQueue::Outside inTurn(queue, 0);
    EXPECT_TRUE(inTurn.hold(BlockQueue::HeldBytes));
    // A block of a later range finds no room either.
    RowBlock held;
    held.range = 2;
    held.text.assign(2 * mb, 'x');
    std::future<bool> put = std::async(std::launch::async, [&] { return queue.put(held); });
    BlockQueue::Outside later(queue, 3);
    std::future<bool> waiting = std::async(std::launch::async, [&] { return later.hold(2 * mb); });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_EQ(put.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    // The reader ahead gives back its bytes: the block goes in, the later reader holds its
    // own.
    ASSERT_TRUE(ahead.hold(0));
    inTurn.hold(0);
    EXPECT_TRUE(put.get());
    EXPECT_TRUE(waiting.get());
    BlockQueue::Outside last(queue, 4);
    std::future<bool> stopped =
        std::async(std::launch::async, [&] { return last.hold(BlockQueue::HeldBytes); });
    queue.stop();
    EXPECT_FALSE(stopped.get());
}
