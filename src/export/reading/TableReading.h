#pragma once

// What one table's reading shares between the reader that gives its rows out and the
// threads that produce them: the blocks between them, what was found before the first row,
// and how the connection it reads on fared.

#include "export/reading/BlockQueue.h"
#include "export/reading/ReadingTransaction.h"
#include "export/reading/TableColumns.h"
#include "export/reading/TableName.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>

namespace kestrove {

// The rows counted of a query, which runs once: they are not counted before they are read.
constexpr long UnknownRowCount = -1;

struct TableReading {
    // Set before the threads start: the transaction, the table and the connection it is
    // read on.
    ReadingTransaction* transaction = nullptr;
    TableName table;
    std::size_t reader = 0;
    BlockQueue queue;
    // Guards what follows up to the counters, and the reading in ranges (RangeRows).
    std::mutex mutex;
    // Told once the reading has started: with the rows counted before the first is read
    // and the columns, or with its failure.
    std::condition_variable changed;
    bool started = false;
    std::exception_ptr openFailure;
    long count = 0;
    TableColumns columns;
    // The rows of ranges given out; whether rows are still fetched on `reader`; whether
    // that connection was lost, so that nothing more can be read on it; whether it, a
    // further connection, could not lock the table without waiting.
    std::atomic<long> delivered{0};
    std::atomic<bool> fetching{false};
    std::atomic<bool> lost{false};
    std::atomic<bool> lockRefused{false};

    // Throws the difference between the rows given out and those counted.
    void requireCounted(long rows) const;
    // A block to fill with rows of range `range`.
    RowBlock spareFor(std::size_t range);
    // Puts the last block of its range in: the next range is in turn.
    void putLast(RowBlock& block);
};

} // namespace kestrove
