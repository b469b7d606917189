#pragma once

// One table's fetching on the reading's connections, on threads of its own: its worker
// locks, counts and fetches, and it answers what the reading ahead asks before it gives a
// connection to another.

#include "export/reading/RangeRows.h"
#include "export/reading/ReadSource.h"
#include "export/reading/ReadingTransaction.h"
#include "export/reading/TableReading.h"
#include "platform/odbc/Odbc.h"
#include "platform/system/Waiting.h"

#include <cstddef>
#include <exception>
#include <string>
#include <thread>
#include <vector>

namespace kestrove {

// On the connection it is begun on, a worker locks the table (or describes the query),
// counts its rows and fetches them: through one cursor (CursorRows), or, for a table or
// materialized view, in ranges of its blocks (RangeRows), which further connections read
// alongside.
class TableFetch {
public:
    using Waiter = system::Waiter;

    TableFetch() = default;
    ~TableFetch() { stop(); }
    TableFetch(const TableFetch&) = delete;
    TableFetch& operator=(const TableFetch&) = delete;

    // Ends the reading of rows not yet handed over; the connection is then free.
    // `whileWaiting` is called every few milliseconds until a fetch under way has ended.
    void stop(const Waiter& whileWaiting = {});
    // Gives further connections to read the ranges not yet read; nothing for a table read
    // through a cursor or read to its end.
    void enlist(const std::vector<std::size_t>& helpers) { m_ranges.enlist(helpers); }
    // The connection it reads on, and whether it still does: once every row is fetched,
    // the connection is free for another table.
    std::size_t reader() const { return m_reading.reader; }
    bool fetching() const { return m_reading.fetching; }
    // Whether rows of this table are being fetched on connection `reader`.
    bool uses(std::size_t reader);
    // Whether its connection was lost, so that nothing more can be read on it; whether a
    // further connection could not lock the table without waiting.
    bool lostConnection() const { return m_reading.lost; }
    bool lockRefused() const { return m_reading.lockRefused; }
    // Further connections lost while they read this table's ranges, whose ranges were read
    // again on the others; the failure of the first of them.
    std::vector<std::size_t> lostHelpers() { return m_ranges.lostHelpers(); }
    std::exception_ptr helperLoss() { return m_ranges.helperLoss(); }

private:
    // The face that gives the rows out starts the fetching and reads what it shares.
    friend class TableReader;

    // Starts the worker on connection `reader`, the blocks in turn held up to `aheadBytes`
    // (0: a few blocks); `helpers` are further connections free to read its ranges.
    void start(ReadingTransaction& reading, std::size_t reader, const ReadSource& source,
               std::size_t aheadBytes, const std::vector<std::size_t>& helpers);
    // From here the worker waits for each block to be taken. Waits until the reading has
    // started; throws its failure once the worker has ended.
    void awaitStart(const Waiter& whileWaiting);
    // What the reading shares with the rows given out.
    TableReading& shared() { return m_reading; }
    const TableReading& shared() const { return m_reading; }

    // The worker: the opening, then the rows.
    void read(ReadSource source);
    // Locks the table or describes the query, plans the ranges of a table read in ranges,
    // counts the rows and opens the cursor of the others; then the reading has started.
    void open(odbc::Connection& connection, const ReadSource& source, const std::string& cursor,
              odbc::RowArrays& arrays, std::vector<bool>& escaped);

    TableReading m_reading;
    RangeRows m_ranges{m_reading};
    std::thread m_worker;
};

} // namespace kestrove
