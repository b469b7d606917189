#pragma once

// The import's reading of one table, on a worker thread, ahead of the rows being written.

#include "export/reading/BlockQueue.h"
#include "export/reading/BlockRanges.h"
#include "export/reading/ReadColumns.h"
#include "export/reading/ReadSource.h"
#include "export/reading/ReadingTransaction.h"
#include "platform/odbc/Odbc.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace kestrove {

// The import's record set: one table read on worker threads, in batches bounded by bytes,
// while the caller writes the rows before. A table's row count comes from a count(*) in
// the same snapshot, before the first row is read; every row read is given out, and a
// difference from the count comes as a failure after the last. Waiting calls
// `whileWaiting` every few milliseconds so that the window keeps answering.
//
// A table or materialized view is read in ranges of its blocks (BlockRanges), each through
// a cursor of its own, on its own connection and on the further connections it is given,
// whose rows come out in block order; anything else through one cursor.
//
// The table's columns come in its order under their own names, each judged by its base
// type (domains followed to the end). Date and time columns are asked for as the
// server's text, because the driver turns some of their values into other ones
// (infinity, BC dates, years past 9999); binary columns, which the import does not
// write, are not fetched at all.
// Where the database hands over bytes unchecked, bytes that are not UTF-8 become U+FFFD.
//
// When the stream breaks, every row that arrived before is still given out; the failure
// comes at the move past the last of them.
class TableReader {
public:
    using Waiter = std::function<void()>;

    TableReader() = default;
    ~TableReader();
    TableReader(const TableReader&) = delete;
    TableReader& operator=(const TableReader&) = delete;

    // Starts reading the table on the transaction's first connection and waits for its
    // first row: begin() and claim() in one.
    void open(ReadingTransaction& reading, const ReadSource& source, const Waiter& whileWaiting,
              const std::vector<std::size_t>& helpers = {});
    // Starts reading the table on one of the transaction's connections and returns at
    // once. Read ahead of its turn, it keeps rows up to `aheadBytes` (0: a few blocks);
    // claim() makes it the table whose rows are given out, and waits for its first row.
    // `helpers` are further connections free to read its ranges alongside.
    void begin(ReadingTransaction& reading, std::size_t reader, const ReadSource& source,
               std::size_t aheadBytes, const std::vector<std::size_t>& helpers = {});
    void claim(const Waiter& whileWaiting);
    // Gives further connections to read the ranges not yet read; nothing for a table read
    // through a cursor or read to its end.
    void enlist(const std::vector<std::size_t>& helpers);
    // The connection it reads on, and whether it still does: once every row is fetched,
    // the connection is free for another table.
    std::size_t reader() const { return m_reader; }
    bool fetching() const { return m_fetching; }
    // Whether rows of this table are being fetched on connection `reader`.
    bool uses(std::size_t reader);
    // Whether its connection was lost, so that nothing more can be read on it; whether a
    // further connection could not lock the table without waiting.
    bool lostConnection() const { return m_lost; }
    bool lockRefused() const { return m_lockRefused; }
    // Further connections lost while they read this table's ranges, whose ranges were read
    // again on the others; the failure of the first of them.
    std::vector<std::size_t> lostHelpers();
    std::exception_ptr helperLoss();
    int state() const noexcept { return m_open ? odbc::StateOpen : odbc::StateClosed; }
    void close();
    // Ends the reading of rows not yet handed over; the connection is then free.
    // `whileWaiting` is called every few milliseconds until a fetch under way has ended.
    void stop(const Waiter& whileWaiting = {}) { stopWorker(whileWaiting); }

    // The rows counted before the first is read; UnknownCount for a query, which runs once.
    static constexpr long UnknownCount = -1;
    long recordCount() const;
    int fieldCount() const;
    const odbc::Field& field(int ordinal) const;
    // Whether the table declares the field as a date, time or timestamp.
    bool isDateOrTime(int ordinal) const;
    // The field's column as the table or query describes it.
    const Column& column(int ordinal) const;
    // The current row's value as UTF-8, nullopt for Null; valid until the next move.
    std::optional<std::string_view> value(int ordinal) const;
    // Whether every row has been given out (a broken stream too, once its failure came).
    bool eof() const;
    // Whether the current row is known to be the last.
    bool lastRow() const;
    void moveNext(const Waiter& whileWaiting);
    // Values given out so far whose bytes were not all UTF-8.
    long repairedValues() const { return m_repaired; }

private:
    using Block = RowBlock;
    // The driver holds a range's batch of about this many bytes: several connections read
    // ranges at once, each holding its batch.
    static constexpr std::size_t RangeBatchBytes = 1 << 20;
    // How far the reading of a range has come: the rows of it given out, counted from
    // block `from`, and those still to skip, given out by a reading before that was lost.
    struct Resume {
        unsigned long from = 0;
        long given = 0;
        long skip = 0;
        // Blocks before `end` are read: nothing of them is to come again.
        void settle(unsigned long end) {
            if (skip == 0) {
                from = end;
                given = 0;
            }
        }
    };

    // What a reading through a cursor took: its rows and their bytes, and its columns'
    // buffer widths, which the next range starts from; for a range, what it holds outside
    // the queue.
    struct Fetched {
        long rows = 0;
        std::size_t bytes = 0;
        std::vector<std::size_t> widths;
        BlockQueue::Outside* outside = nullptr;
    };

    void requireOpen() const;
    void read(ReadingTransaction* reading, ReadSource source);
    // The worker's reading of the rows through a cursor, handed over in blocks. Each part
    // returns false once the reading is to stop.
    void readRows(odbc::Connection& connection, const std::string& cursor, odbc::RowArrays& arrays,
                  const std::vector<bool>& escaped);
    // A table without columns: its counted rows, with nothing to fetch.
    bool passRowsWithoutColumns(Block& block);
    // Fetches batch after batch through the cursor, the first of `asked` rows, each after
    // it sized by the widest row before. Of a whole table (`range` null), the rows are
    // checked against its count; of a range, counted as they go out.
    bool fetchRows(odbc::Connection& connection, const std::string& cursor, odbc::RowArrays& arrays,
                   const std::vector<bool>& escaped, Block& block, Resume* range, long asked,
                   Fetched& fetched);
    // Appends a fetched row to the block; its bytes, as the batch sizes count them. Each
    // column's longest value so far goes into `longest`.
    std::size_t appendRow(odbc::RowArrays& arrays, std::size_t row,
                          const std::vector<bool>& escaped, Block& block,
                          std::vector<std::size_t>& longest, std::string& scratch);
    // Hands a full block over and starts the next.
    bool handOverIfFull(Block& block, Resume* range = nullptr);
    // Hands a block over and starts the next; a range's rows are counted.
    bool handOver(Block& block, Resume* range);
    bool publishRows(Block& block, Resume* range);
    bool publish(Block& block) { return m_queue.put(block); }

    // The reading in block ranges, on one connection: range after range until none is
    // left, then the end of the table once every connection's reading has ended.
    void readRanges(std::size_t reader);
    // Plans the table's ranges and starts the helpers given so far.
    void startRanges(odbc::Connection& connection, const TableName& table,
                     const std::vector<Column>& columns, const std::vector<bool>& escaped,
                     unsigned long blocks);
    void help(std::size_t reader);
    // Starts the helpers given so far, while ranges are still being read.
    void startHelpersLocked();
    void leaveRanges(std::size_t reader);
    // Reads blocks [first, end) through a cursor of their own into the range's blocks.
    // False once the reading is to stop.
    bool readRange(odbc::Connection& connection, std::size_t index, unsigned long first,
                   unsigned long end, Resume& resume);
    // A further connection lost while it read a range: the rest of the range goes back to
    // be read on the others.
    void loseHelper(std::size_t reader, const BlockRange& range, const Resume& resume);
    // Ends a range with the failure being handled: the rows before it are given out.
    void failRange(std::size_t index);

    // Throws the difference between the rows given out and those counted.
    void requireCounted(long delivered) const;
    void stopWorker(const Waiter& whileWaiting = {});

    bool m_open = false;
    long m_count = 0;
    std::vector<odbc::Field> m_fields;
    std::vector<bool> m_dateOrTime;
    std::vector<Column> m_described;
    Block m_current;
    BlockQueue m_queue;
    std::size_t m_position = 0;
    bool m_exhausted = false;
    long m_repaired = 0;

    std::thread m_worker;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_started = false;
    std::size_t m_reader = 0;
    ReadingTransaction* m_reading = nullptr;
    TableName m_table;
    // The reading in block ranges: its ranges, its columns, the connections given to read
    // alongside, those reading, and the rows read.
    std::unique_ptr<BlockRanges> m_ranges;
    std::vector<Column> m_columns;
    std::vector<bool> m_escaped;
    std::vector<std::size_t> m_rangeWidths;
    std::vector<std::size_t> m_given;
    std::vector<std::size_t> m_helping;
    std::vector<std::size_t> m_lostHelpers;
    std::exception_ptr m_helperLoss;
    std::vector<std::thread> m_helpers;
    std::size_t m_rangeReaders = 0;
    std::atomic<long> m_delivered{0};
    std::atomic<bool> m_fetching{false};
    std::atomic<bool> m_lost{false};
    std::atomic<bool> m_lockRefused{false};
    std::exception_ptr m_openFailure;
};

} // namespace kestrove
