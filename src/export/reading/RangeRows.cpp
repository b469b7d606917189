#include "export/reading/RangeRows.h"

#include <algorithm>

namespace kestrove {

namespace {
// A range's first batch holds at most this many rows.
constexpr std::size_t FirstRangeRows = 4096;
} // namespace

void RangeRows::resetLocked(const std::vector<std::size_t>& helpers) {
    m_ranges.reset();
    m_given = helpers;
    m_helping.clear();
    m_lostHelpers.clear();
    m_helperLoss = nullptr;
    m_readers = 0;
}

void RangeRows::start(odbc::Connection& connection, const std::vector<Column>& columns,
                      const std::vector<bool>& escaped, unsigned long blocks) {
    // The ranges are read on the connections given while the rows are counted.
    auto ranges = std::make_unique<BlockRanges>(m_reading.table, blocks);
    ranges->probe(connection, rowBytesFor(columns));
    std::lock_guard lock(m_reading.mutex);
    m_columns = columns;
    m_escaped = escaped;
    m_widths.clear();
    m_ranges = std::move(ranges);
    m_readers = 1;
    startHelpersLocked();
}

void RangeRows::enlist(const std::vector<std::size_t>& helpers) {
    std::lock_guard lock(m_reading.mutex);
    const auto has = [](const std::vector<std::size_t>& readers, std::size_t reader) {
        return std::find(readers.begin(), readers.end(), reader) != readers.end();
    };
    // A connection reads for one thread at a time.
    for (const std::size_t reader : helpers)
        if (reader != m_reading.reader && !has(m_helping, reader) && !has(m_given, reader))
            m_given.push_back(reader);
    startHelpersLocked();
}

void RangeRows::startHelpersLocked() {
    // The ranges are not planned yet: the connections wait for them.
    if (!m_ranges && !m_reading.started)
        return;
    // Only while a table of several ranges is still read.
    if (!m_ranges || m_readers == 0 || !m_ranges->severalRanges()) {
        m_given.clear();
        return;
    }
    for (const std::size_t reader : m_given) {
        if (reader == m_reading.reader)
            continue;
        ++m_readers;
        m_helping.push_back(reader);
        m_helpers.emplace_back(&RangeRows::help, this, reader);
    }
    m_given.clear();
}

void RangeRows::help(std::size_t reader) {
    try {
        // A connection that cannot lock the table without waiting, or that is gone,
        // leaves the ranges to the others.
        m_reading.transaction->lockBefore(reader, m_reading.table);
    } catch (const std::exception&) {
        leave(reader);
        return;
    }
    read(reader);
}

void RangeRows::read(std::size_t reader) {
    odbc::Connection& connection = m_reading.transaction->connection(reader);
    while (const std::optional<BlockRange> range = m_ranges->take()) {
        if (range->again)
            m_reading.queue.holdBackNothing(false);
        RangeResume resume{range->first, range->skip, range->skip};
        try {
            if (!readRange(connection, range->index, range->first, range->end, resume)) {
                m_ranges->done();
                break;
            }
        } catch (...) {
            if (reader != m_reading.reader && odbc::endsTheConnection(std::current_exception())) {
                loseHelper(reader, *range, resume);
                break;
            }
            // The rows before the range are given out, then the failure; so it is for a
            // range still waiting to be read again, which no one reads now.
            if (reader == m_reading.reader)
                m_reading.lost = odbc::endsTheConnection(std::current_exception());
            for (const BlockRange& waiting : m_ranges->fail()) {
                m_reading.queue.holdBackNothing(false);
                failRange(waiting.index);
            }
            failRange(range->index);
            break;
        }
        m_reading.queue.finishRange(range->index);
        m_ranges->done();
    }
    leave(reader);
}

void RangeRows::loseHelper(std::size_t reader, const BlockRange& range, const RangeResume& resume) {
    {
        std::lock_guard lock(m_reading.mutex);
        m_lostHelpers.push_back(reader);
        if (!m_helperLoss)
            m_helperLoss = std::current_exception();
    }
    // Until another connection takes it, no one waits for room behind it: the range in
    // turn may be the one to read again. Once the reading has failed, no one will.
    m_reading.queue.holdBackNothing(true);
    if (m_ranges->readAgain(BlockRange{range.index, resume.from, range.end, resume.given, true}))
        return;
    m_reading.queue.holdBackNothing(false);
    failRange(range.index);
}

void RangeRows::failRange(std::size_t index) {
    RowBlock failed = m_reading.spareFor(index);
    failed.failure = std::current_exception();
    m_reading.putLast(failed);
}

std::vector<std::size_t> RangeRows::lostHelpers() {
    std::lock_guard lock(m_reading.mutex);
    return m_lostHelpers;
}

std::exception_ptr RangeRows::helperLoss() {
    std::lock_guard lock(m_reading.mutex);
    return m_helperLoss;
}

void RangeRows::leave(std::size_t reader) {
    {
        std::lock_guard lock(m_reading.mutex);
        if (reader != m_reading.reader)
            m_helping.erase(std::find(m_helping.begin(), m_helping.end(), reader));
        if (--m_readers > 0)
            return;
    }
    // The last to leave ends the table, unless a range failed (its failure ends it) or
    // the reading was stopped.
    if (m_ranges->failed() || m_reading.queue.stopped())
        return;
    RowBlock end = m_reading.spareFor(m_ranges->taken());
    try {
        m_reading.requireCounted(m_reading.delivered);
    } catch (...) {
        end.failure = std::current_exception();
    }
    m_reading.putLast(end);
}

bool RangeRows::readRange(odbc::Connection& connection, std::size_t index, unsigned long first,
                          unsigned long end, RangeResume& resume) {
    const std::string cursor = freshCursorName("kestrove_range_");
    std::vector<bool> dateOrTime, escaped;
    const std::string select =
        selectFor(m_columns, m_reading.table.quoted() + " WHERE " + m_ranges->within(first, end),
                  m_reading.transaction->uncheckedBytes(), dateOrTime, escaped);
    // The first batch is sized by the rows seen so far: a row of its own until any is.
    const std::size_t rowBytes = m_ranges->expectedRowBytes();
    const long firstRows = rowBytes == 0
                               ? 1
                               : static_cast<long>(std::clamp<std::size_t>(
                                     CursorRows::RangeBatchBytes / rowBytes, 1, FirstRangeRows));
    // What the driver holds of a batch, and the rows' buffers, are counted with the blocks
    // between the threads.
    BlockQueue::Outside outside(m_reading.queue, index);
    if (!outside.hold(firstRows * std::max<std::size_t>(rowBytes, 1) + BlockQueue::ReaderBytes))
        return false;
    connection.execute("DECLARE " + cursor + " NO SCROLL CURSOR FOR " + select);
    odbc::RowArrays arrays;
    arrays.open(fetchStatement(firstRows, cursor), connection);
    RowBlock block = m_reading.spareFor(index);
    Fetched fetched;
    fetched.outside = &outside;
    {
        std::lock_guard lock(m_reading.mutex);
        fetched.widths = m_widths;
    }
    CursorRows rows(m_reading);
    if (!rows.fetch(connection, cursor, arrays, escaped, block, &resume, firstRows, fetched) ||
        (block.used > 0 && !rows.handOver(block, &resume)))
        return false;
    m_ranges->learn(end - first, fetched.rows, fetched.bytes);
    {
        std::lock_guard lock(m_reading.mutex);
        m_widths = fetched.widths;
    }
    resume.settle(end);
    return true;
}

bool RangeRows::helps(std::size_t reader) {
    std::lock_guard lock(m_reading.mutex);
    return std::find(m_helping.begin(), m_helping.end(), reader) != m_helping.end();
}

void RangeRows::fail() {
    if (m_ranges)
        m_ranges->fail();
}

void RangeRows::joinHelpers(const system::Waiter& whileWaiting) {
    std::vector<std::thread> helpers;
    {
        std::lock_guard lock(m_reading.mutex);
        helpers.swap(m_helpers);
    }
    // A fetch under way on a further connection ends first.
    for (;;) {
        {
            std::lock_guard lock(m_reading.mutex);
            if (!whileWaiting || m_helping.empty())
                break;
        }
        whileWaiting();
        std::this_thread::sleep_for(system::WaitStep);
    }
    for (std::thread& helper : helpers)
        helper.join();
}

} // namespace kestrove
