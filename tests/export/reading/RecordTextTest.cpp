#include "export/reading/RecordText.h"
#include "export/reading/BlockQueue.h"
#include "platform/odbc/Odbc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace kestrove;

namespace {
using Row = std::vector<std::optional<std::string>>;

// Every row of a text of row values, as values or Nulls.
std::vector<Row> readRecords(std::string_view text, std::size_t columns) {
    ValueRows rows;
    for (std::size_t at = 0; at < text.size();)
        at = appendRecord(text, at, columns, rows);
    std::vector<Row> read(rows.used);
    std::size_t start = 0;
    for (std::size_t k = 0; k < rows.ends.size(); ++k) {
        read[k / columns].push_back(rows.nulls[k] ? std::nullopt
                                                  : std::optional<std::string>(rows.text.substr(
                                                        start, rows.ends[k] - start)));
        start = rows.ends[k];
    }
    return read;
}
} // namespace

// Record text as the server writes it: a field quoted when it is empty or holds '"', '\',
// '(', ')', ',' or white space, '"' and '\' doubled inside the quotes, a Null as nothing
// between the commas; rows joined by line feeds, which inside quotes belong to the value.
TEST(RecordText, EveryQuotingCaseReadsBackAsTheValue) {
    const std::vector<std::pair<std::string, Row>> cases{
        {"(1,abc,-0.5)", {"1", "abc", "-0.5"}},
        {"(,x,)", {std::nullopt, "x", std::nullopt}},
        {"(\"\",\"\",)", {"", "", std::nullopt}},
        {"(\"a \"\"b\"\"\",\"c\\\\d\",\"(e)\")", {"a \"b\"", "c\\d", "(e)"}},
        {"(\"1,5\",\" lead\",\"trail \")", {"1,5", " lead", "trail "}},
        {"(\"tab\there\",\"line\nbreak\r\n\",\"{1,2}\")",
         {"tab\there", "line\nbreak\r\n", "{1,2}"}},
        {"(NULL,\"\\\\\",\"\"\"\")", {"NULL", "\\", "\""}},
        {"(Grüße,東京,😀)", {"Grüße", "東京", "😀"}},
        // What the server reads back too: a backslash before any byte, quotes mid-field.
        {"(a\\,b,x\"y,z\"w,\"\"\"\"\"\")", {"a,b", "xy,zw", "\"\""}},
    };
    for (const auto& [text, row] : cases)
        EXPECT_EQ(readRecords(text, 3), std::vector<Row>{row}) << text;
    EXPECT_EQ(readRecords("()", 1), std::vector<Row>{Row{std::nullopt}});
    EXPECT_EQ(readRecords("(1,\"a\nb\")\n(2,)\n(,\"\")", 2),
              (std::vector<Row>{{"1", "a\nb"}, {"2", std::nullopt}, {std::nullopt, ""}}));
    // Anything else is refused, never read as other rows.
    EXPECT_TRUE(readRecords("", 3).empty());
    for (const char* text : {"1,2,3", "(1,2)", "(1,2,3,4)", "(1,2,\"3)", "(1,2,3\\", "(1,2,3)x",
                             "(1,2,3) (4,5,6)", "(1,2,3"})
        EXPECT_THROW(readRecords(text, 3), odbc::OdbcError) << text;
}

// Blocks come out in range order whatever order the ranges are read in, each range's in
// the order they were put in; the range in turn is let through when later ones hold the
// bytes allowed.
TEST(RecordText, BlocksOfRangesComeOutInRangeOrder) {
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
TEST(RecordText, BytesOutsideTheQueueShareItsBound) {
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
