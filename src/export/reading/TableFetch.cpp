#include "export/reading/TableFetch.h"

#include "export/reading/CursorRows.h"
#include "export/reading/QueryText.h"
#include "export/reading/ReadColumns.h"

#include <chrono>
#include <optional>

namespace kestrove {

void TableFetch::start(ReadingTransaction& reading, std::size_t reader, const ReadSource& source,
                       std::size_t aheadBytes, const std::vector<std::size_t>& helpers) {
    stop();
    m_reading.queue.reset(aheadBytes);
    {
        std::lock_guard lock(m_reading.mutex);
        m_reading.started = false;
        m_reading.openFailure = nullptr;
        m_ranges.resetLocked(helpers);
    }
    m_reading.transaction = &reading;
    m_reading.table = source.table;
    m_reading.delivered = 0;
    m_reading.reader = reader;
    m_reading.fetching = true;
    m_reading.lost = false;
    m_reading.lockRefused = false;
    m_worker = std::thread(&TableFetch::read, this, source);
}

void TableFetch::awaitStart(const Waiter& whileWaiting) {
    // Now read in turn: from here the reader waits for each block to be taken.
    m_reading.queue.setAheadBytes(0);
    std::unique_lock lock(m_reading.mutex);
    system::waitYielding(
        m_reading.changed, lock, [&] { return m_reading.started; }, whileWaiting);
    if (m_reading.openFailure) {
        lock.unlock();
        stop();
        std::rethrow_exception(m_reading.openFailure);
    }
}

void TableFetch::read(ReadSource source) {
    const std::string cursor = freshCursorName("kestrove_rows_");
    odbc::RowArrays arrays;
    std::vector<bool> escaped;
    try {
        open(m_reading.transaction->connection(m_reading.reader), source, cursor, arrays, escaped);
    } catch (...) {
        arrays.close();
        m_ranges.fail();
        std::lock_guard lock(m_reading.mutex);
        m_reading.openFailure = std::current_exception();
        m_reading.lost = odbc::endsTheConnection(m_reading.openFailure);
        m_reading.started = true;
        m_reading.fetching = false;
        m_reading.changed.notify_all();
        return;
    }
    m_reading.changed.notify_all();
    if (m_ranges.planned()) {
        m_ranges.read(m_reading.reader);
    } else {
        CursorRows(m_reading).readAll(m_reading.transaction->connection(m_reading.reader), cursor,
                                      arrays, escaped);
        // The connection is free only once nothing of this table is left open on it.
        arrays.close();
    }
    m_reading.fetching = false;
}

void TableFetch::open(odbc::Connection& connection, const ReadSource& source,
                      const std::string& cursor, odbc::RowArrays& arrays,
                      std::vector<bool>& escaped) {
    ReadingTransaction& reading = *m_reading.transaction;
    const std::size_t reader = m_reading.reader;
    // A table is locked before it is read; a query's result is described first, so
    // that it is read under its columns' own names (a name may come twice).
    std::vector<Column> columns;
    std::string with; // a query's result is read as "q"
    std::string from;
    std::optional<unsigned long> blocks;
    if (source.isQuery()) {
        columns = columnsOfQuery(connection, source.query);
        with = withQuery(source.query, static_cast<int>(columns.size()));
        from = "q";
    } else {
        try {
            reading.lockBefore(reader, source.table);
        } catch (...) {
            m_reading.lockRefused = reader != 0;
            throw;
        }
        from = source.table.quoted();
        columns = columnsOf(connection, source.table);
        if (!columns.empty())
            blocks = BlockRanges::blocksOf(connection, source.table);
    }
    std::vector<bool> dateOrTime;
    const std::string select =
        with + selectFor(columns, from, reading.uncheckedBytes(), dateOrTime, escaped);
    if (blocks)
        m_ranges.start(connection, columns, escaped, *blocks);
    // A query runs once: its rows are not counted first, unless it has no columns and
    // so nothing but a count to read.
    long count = UnknownRowCount;
    if (!source.isQuery() || columns.empty()) {
        odbc::RecordSet counted =
            connection.execute(with + "SELECT pg_catalog.count(*) FROM " + from);
        count = std::stol(counted.value(0).value_or("0"));
    }
    // A table without columns has no rows to fetch (the driver refuses to try); its
    // count says how many there are.
    std::vector<odbc::Field> fields;
    if (blocks) {
        const odbc::RecordSet described = connection.execute(select + " LIMIT 0");
        for (int j = 0; j < described.fieldCount(); ++j)
            fields.push_back(described.field(j));
    } else if (!columns.empty()) {
        connection.execute("DECLARE " + cursor + " NO SCROLL CURSOR FOR " + select);
        arrays.open(fetchStatement(CursorRows::FirstRows, cursor), connection);
        fields = arrays.fields();
    }
    std::lock_guard lock(m_reading.mutex);
    m_reading.count = count;
    m_reading.columns.dateOrTime = std::move(dateOrTime);
    m_reading.columns.described = columns;
    m_reading.columns.fields = std::move(fields);
    m_reading.started = true;
}

bool TableFetch::uses(std::size_t reader) {
    if (reader == m_reading.reader && m_reading.fetching)
        return true;
    return m_ranges.helps(reader);
}

void TableFetch::stop(const Waiter& whileWaiting) {
    if (!m_worker.joinable())
        return;
    m_reading.queue.stop();
    {
        // The worker may be making its ranges meanwhile.
        std::lock_guard lock(m_reading.mutex);
        m_ranges.fail();
    }
    // A fetch under way ends first.
    while (whileWaiting && m_reading.fetching) {
        whileWaiting();
        std::this_thread::sleep_for(system::WaitStep);
    }
    m_worker.join();
    m_ranges.joinHelpers(whileWaiting);
}

} // namespace kestrove
