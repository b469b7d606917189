// TableReader's reading of a table in ranges of its blocks, on several connections.

#include "export/reading/TableReader.h"

#include <algorithm>
#include <atomic>

namespace kestrove {

namespace {
// A range's first batch holds at most this many rows.
constexpr std::size_t FirstRangeRows = 4096;
} // namespace

bool TableReader::uses(std::size_t reader) {
    if (reader == m_reader && m_fetching)
        return true;
    std::lock_guard lock(m_mutex);
    return std::find(m_helping.begin(), m_helping.end(), reader) != m_helping.end();
}

void TableReader::startRanges(odbc::Connection& connection, const TableName& table,
                              const std::vector<Column>& columns, const std::vector<bool>& escaped,
                              unsigned long blocks) {
    // The ranges are read on the connections given while the rows are counted.
    auto ranges = std::make_unique<BlockRanges>(table, blocks);
    ranges->probe(connection, rowBytesFor(columns));
    std::lock_guard lock(m_mutex);
    m_columns = columns;
    m_escaped = escaped;
    m_rangeWidths.clear();
    m_ranges = std::move(ranges);
    m_rangeReaders = 1;
    startHelpersLocked();
}

void TableReader::enlist(const std::vector<std::size_t>& helpers) {
    std::lock_guard lock(m_mutex);
    const auto has = [](const std::vector<std::size_t>& readers, std::size_t reader) {
        return std::find(readers.begin(), readers.end(), reader) != readers.end();
    };
    // A connection reads for one thread at a time.
    for (const std::size_t reader : helpers)
        if (reader != m_reader && !has(m_helping, reader) && !has(m_given, reader))
            m_given.push_back(reader);
    startHelpersLocked();
}

void TableReader::startHelpersLocked() {
    // The ranges are not planned yet: the connections wait for them.
    if (!m_ranges && !m_started)
        return;
    // Only while a table of several ranges is still read.
    if (!m_ranges || m_rangeReaders == 0 || !m_ranges->severalRanges()) {
        m_given.clear();
        return;
    }
    for (const std::size_t reader : m_given) {
        if (reader == m_reader)
            continue;
        ++m_rangeReaders;
        m_helping.push_back(reader);
        m_helpers.emplace_back(&TableReader::help, this, reader);
    }
    m_given.clear();
}

void TableReader::help(std::size_t reader) {
    try {
        // A connection that cannot lock the table without waiting, or that is gone,
        // leaves the ranges to the others.
        m_reading->lockBefore(reader, m_table);
    } catch (const std::exception&) {
        leaveRanges(reader);
        return;
    }
    readRanges(reader);
}

void TableReader::readRanges(std::size_t reader) {
    odbc::Connection& connection = m_reading->connection(reader);
    while (const std::optional<BlockRange> range = m_ranges->take()) {
        if (range->again)
            m_queue.holdBackNothing(false);
        Resume resume{range->first, range->skip, range->skip};
        try {
            if (!readRange(connection, range->index, range->first, range->end, resume)) {
                m_ranges->done();
                break;
            }
        } catch (...) {
            if (reader != m_reader && odbc::endsTheConnection(std::current_exception())) {
                loseHelper(reader, *range, resume);
                break;
            }
            // The rows before the range are given out, then the failure; so it is for a
            // range still waiting to be read again, which no one reads now.
            if (reader == m_reader)
                m_lost = odbc::endsTheConnection(std::current_exception());
            for (const BlockRange& waiting : m_ranges->fail()) {
                m_queue.holdBackNothing(false);
                failRange(waiting.index);
            }
            failRange(range->index);
            break;
        }
        m_queue.finishRange(range->index);
        m_ranges->done();
    }
    leaveRanges(reader);
}

void TableReader::loseHelper(std::size_t reader, const BlockRange& range, const Resume& resume) {
    {
        std::lock_guard lock(m_mutex);
        m_lostHelpers.push_back(reader);
        if (!m_helperLoss)
            m_helperLoss = std::current_exception();
    }
    // Until another connection takes it, no one waits for room behind it: the range in
    // turn may be the one to read again. Once the reading has failed, no one will.
    m_queue.holdBackNothing(true);
    if (m_ranges->readAgain(BlockRange{range.index, resume.from, range.end, resume.given, true}))
        return;
    m_queue.holdBackNothing(false);
    failRange(range.index);
}

void TableReader::failRange(std::size_t index) {
    Block failed = m_queue.spare();
    failed.range = index;
    failed.failure = std::current_exception();
    failed.last = true;
    m_queue.put(failed);
    m_queue.finishRange(index);
}

std::vector<std::size_t> TableReader::lostHelpers() {
    std::lock_guard lock(m_mutex);
    return m_lostHelpers;
}

std::exception_ptr TableReader::helperLoss() {
    std::lock_guard lock(m_mutex);
    return m_helperLoss;
}

void TableReader::leaveRanges(std::size_t reader) {
    {
        std::lock_guard lock(m_mutex);
        if (reader != m_reader)
            m_helping.erase(std::find(m_helping.begin(), m_helping.end(), reader));
        if (--m_rangeReaders > 0)
            return;
    }
    // The last to leave ends the table, unless a range failed (its failure ends it) or
    // the reading was stopped.
    if (m_ranges->failed() || m_queue.stopped())
        return;
    Block end = m_queue.spare();
    end.range = m_ranges->taken();
    end.last = true;
    try {
        requireCounted(m_delivered);
    } catch (...) {
        end.failure = std::current_exception();
    }
    m_queue.put(end);
    m_queue.finishRange(end.range);
}

bool TableReader::readRange(odbc::Connection& connection, std::size_t index, unsigned long first,
                            unsigned long end, Resume& resume) {
    static std::atomic<unsigned long> cursors{0};
    const std::string cursor = "kestrove_range_" + std::to_string(++cursors);
    std::vector<bool> dateOrTime, escaped;
    const std::string select =
        selectFor(m_columns, m_table.quoted() + " WHERE " + m_ranges->within(first, end),
                  m_reading->uncheckedBytes(), dateOrTime, escaped);
    // The first batch is sized by the rows seen so far: a row of its own until any is.
    const std::size_t rowBytes = m_ranges->expectedRowBytes();
    const long firstRows = rowBytes == 0 ? 1
                                         : static_cast<long>(std::clamp<std::size_t>(
                                               RangeBatchBytes / rowBytes, 1, FirstRangeRows));
    // What the driver holds of a batch, and the rows' buffers, are counted with the blocks
    // between the threads.
    BlockQueue::Outside outside(m_queue, index);
    if (!outside.hold(firstRows * std::max<std::size_t>(rowBytes, 1) + BlockQueue::ReaderBytes))
        return false;
    connection.execute("DECLARE " + cursor + " NO SCROLL CURSOR FOR " + select);
    odbc::RowArrays arrays;
    arrays.open("FETCH FORWARD " + std::to_string(firstRows) + " FROM " + cursor, connection);
    Block block = m_queue.spare();
    block.range = index;
    Fetched fetched;
    fetched.outside = &outside;
    {
        std::lock_guard lock(m_mutex);
        fetched.widths = m_rangeWidths;
    }
    if (!fetchRows(connection, cursor, arrays, escaped, block, &resume, firstRows, fetched) ||
        (block.used > 0 && !handOver(block, &resume)))
        return false;
    m_ranges->learn(end - first, fetched.rows, fetched.bytes);
    {
        std::lock_guard lock(m_mutex);
        m_rangeWidths = fetched.widths;
    }
    resume.settle(end);
    return true;
}

} // namespace kestrove
