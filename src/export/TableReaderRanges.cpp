// TableReader's reading of a table in ranges of its blocks, on several connections.

#include "export/TableReader.h"

#include "platform/text/Utf8.h"

#include <algorithm>

namespace kestrove {

namespace {
// SQLSTATE of a value past the server's limit of 1 GB.
constexpr const char* TooLong = "54000";
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
    auto ranges =
        std::make_unique<BlockRanges>(table, rowFor(columns, m_reading->uncheckedBytes()), blocks);
    ranges->probe(connection, rowBytesFor(columns));
    std::lock_guard lock(m_mutex);
    m_columns = columns;
    m_escaped = escaped;
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
            // The rows before the range are given out, then the failure.
            m_ranges->fail();
            Block failed = m_queue.spare();
            failed.range = range->index;
            failed.failure = std::current_exception();
            failed.last = true;
            if (reader == m_reader)
                m_lost = odbc::endsTheConnection(failed.failure);
            m_queue.put(failed);
            m_queue.finishRange(range->index);
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
    m_ranges->readAgain(BlockRange{range.index, resume.from, range.end, resume.given});
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
    const std::size_t most = BlockRanges::mostBytes();
    std::string text;
    long rows = 0;
    std::size_t bytes = 0;
    // Where the blocks seen so far say the text will not fit, the server is not asked for it.
    bool tooLong = m_ranges->expectedBytes(end - first) > most;
    bool answered = false;
    try {
        odbc::RowArrays arrays;
        if (!tooLong) {
            arrays.open(m_ranges->statement(first, end), connection);
            if (arrays.fetchUnbound() && arrays.fields().size() == 3) {
                answered = true;
                rows = std::stol(arrays.bytes(0, 32).value_or("0"));
                bytes = std::stoull(arrays.bytes(1, 32).value_or("0"));
                tooLong = bytes > most;
                if (!tooLong)
                    text = arrays.bytes(2, bytes).value_or(std::string());
            }
        }
    } catch (const odbc::OdbcError& failure) {
        // Past the server's limit, the range is read in smaller ones; any other failure
        // but a lost connection, through a cursor.
        if (odbc::endsTheConnection(std::current_exception()))
            throw;
        if (failure.sqlState() != TooLong)
            return readRangeByCursor(connection, index, first, end, resume);
        tooLong = true;
    }
    if (answered)
        m_ranges->learn(end - first, bytes);
    if (!tooLong) {
        bool put = false;
        try {
            put = putRecords(text, rows, index, resume);
        } catch (const odbc::OdbcError&) {
            // A text not read as it should be: the same rows through a cursor.
            return readRangeByCursor(connection, index, first, end, resume);
        }
        if (put)
            resume.settle(end);
        return put;
    }
    if (end - first == 1)
        return readRangeByCursor(connection, index, first, end, resume);
    const unsigned long middle = first + (end - first) / 2;
    return readRange(connection, index, first, middle, resume) &&
           readRange(connection, index, middle, end, resume);
}

bool TableReader::readRangeByCursor(odbc::Connection& connection, std::size_t index,
                                    unsigned long first, unsigned long end, Resume& resume) {
    static std::atomic<unsigned long> cursors{0};
    const std::string cursor = "kestrove_range_" + std::to_string(++cursors);
    std::vector<bool> dateOrTime, escaped;
    const std::string select =
        selectFor(m_columns, m_table.quoted() + " WHERE " + m_ranges->within(first, end),
                  m_reading->uncheckedBytes(), dateOrTime, escaped);
    connection.execute("DECLARE " + cursor + " NO SCROLL CURSOR FOR " + select);
    odbc::RowArrays arrays;
    arrays.open("FETCH FORWARD 1 FROM " + cursor, connection);
    Block block = m_queue.spare();
    block.range = index;
    if (!fetchRows(connection, cursor, arrays, escaped, block, &resume) ||
        (block.used > 0 && !handOver(block, &resume)))
        return false;
    resume.settle(end);
    return true;
}

bool TableReader::putRecords(const std::string& text, long rows, std::size_t index,
                             Resume& resume) {
    std::vector<Block> blocks;
    Block block = m_queue.spare();
    block.range = index;
    const bool anyEscaped = std::find(m_escaped.begin(), m_escaped.end(), true) != m_escaped.end();
    std::string scratch;
    long parsed = 0;
    // Taken from `resume` only once the text is read: otherwise the cursor reads it again.
    long skip = resume.skip;
    for (std::size_t at = 0; at < text.size(); ++parsed) {
        at = appendRecord(text, at, m_columns.size(), block);
        // Rows given out by a reading of the range that was lost come again.
        if (skip > 0) {
            --skip;
            dropLastRow(block, m_columns.size());
            continue;
        }
        if (anyEscaped)
            unescapeLastRow(block, m_escaped, scratch);
        if (block.used >= BlockQueue::BlockRows || block.text.size() >= BlockQueue::BlockBytes) {
            blocks.push_back(std::move(block));
            block = m_queue.spare();
            block.range = index;
        }
    }
    if (parsed != rows)
        throw odbc::OdbcError("The range's text held " + std::to_string(parsed) + " rows of " +
                                  std::to_string(rows) + ".",
                              "22P02");
    if (block.used > 0)
        blocks.push_back(std::move(block));
    resume.skip = skip;
    for (Block& full : blocks)
        if (!publishRows(full, &resume))
            return false;
    return true;
}

void TableReader::unescapeLastRow(Block& block, const std::vector<bool>& escaped,
                                  std::string& scratch) {
    const std::size_t columns = escaped.size();
    const std::size_t first = block.ends.size() - columns;
    const std::size_t start = first == 0 ? 0 : block.ends[first - 1];
    // The row's values again, each escaped one undone and made UTF-8.
    std::string row;
    std::size_t from = start;
    for (std::size_t j = 0; j < columns; ++j) {
        const std::size_t to = block.ends[first + j];
        scratch.assign(block.text, from, to - from);
        if (escaped[j] && !block.nulls[first + j]) {
            unescapeBytes(scratch);
            block.repaired += utf8::repair(scratch);
        }
        row += scratch;
        from = to;
        block.ends[first + j] = start + row.size();
    }
    block.text.replace(start, std::string::npos, row);
}

} // namespace kestrove
