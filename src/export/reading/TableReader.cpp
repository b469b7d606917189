#include "export/reading/TableReader.h"

#include "export/reading/QueryText.h"
#include "export/reading/ReadColumns.h"
#include "platform/system/Waiting.h"
#include "platform/text/Utf8.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>

namespace kestrove {

namespace {
// The driver holds a whole fetched batch: its rows are chosen so that the batch holds
// about this many bytes, judged by the widest row of the batch before.
constexpr std::size_t FetchBytes = 8 << 20;
constexpr long FirstFetchRows = 16;
constexpr long MaxFetchRows = 8192;
// Rows come from the driver in arrays of at most this many, in buffers of about this many
// bytes; a value's buffer is between these widths.
constexpr std::size_t MaxArrayRows = 1024;
constexpr std::size_t ArrayBytes = 1 << 20;
constexpr std::size_t FirstWidth = 64;
constexpr std::size_t MinWidth = 16;
constexpr std::size_t MaxWidth = 4096;

std::string fetchStatement(long rows, const std::string& cursor) {
    return "FETCH FORWARD " + std::to_string(rows) + " FROM " + cursor;
}

[[noreturn]] void throwEof() {
    throw odbc::OdbcError("Either BOF or EOF is True, or the current record has been deleted.",
                          "24000");
}
} // namespace

TableReader::~TableReader() {
    stopWorker();
}

void TableReader::open(ReadingTransaction& reading, const ReadSource& source,
                       const Waiter& whileWaiting, const std::vector<std::size_t>& helpers) {
    begin(reading, 0, source, 0, helpers);
    claim(whileWaiting);
}

void TableReader::begin(ReadingTransaction& reading, std::size_t reader, const ReadSource& source,
                        std::size_t aheadBytes, const std::vector<std::size_t>& helpers) {
    if (m_open)
        throw odbc::OdbcError("The operation is not allowed when the object is open.", "HY010");
    stopWorker();
    m_queue.reset(aheadBytes);
    {
        std::lock_guard lock(m_mutex);
        m_started = false;
        m_openFailure = nullptr;
        m_ranges.reset();
        m_given = helpers;
        m_helping.clear();
        m_lostHelpers.clear();
        m_helperLoss = nullptr;
        m_rangeReaders = 0;
    }
    m_reading = &reading;
    m_table = source.table;
    m_delivered = 0;
    m_reader = reader;
    m_fetching = true;
    m_lost = false;
    m_lockRefused = false;
    m_worker = std::thread(&TableReader::read, this, &reading, source);
}

void TableReader::claim(const Waiter& whileWaiting) {
    // Now read in turn: from here the reader waits for each block to be taken.
    m_queue.setAheadBytes(0);
    std::unique_lock lock(m_mutex);
    system::waitYielding(
        m_changed, lock, [&] { return m_started; }, whileWaiting);
    if (m_openFailure) {
        lock.unlock();
        stopWorker();
        std::rethrow_exception(m_openFailure);
    }
    m_open = true;
    m_current = Block{};
    m_position = 0;
    m_exhausted = false;
    m_repaired = 0;
    lock.unlock();
    try {
        moveNext(whileWaiting);
    } catch (...) {
        close();
        throw;
    }
}

void TableReader::read(ReadingTransaction* reading, ReadSource source) {
    static std::atomic<unsigned long> cursors{0};
    const std::string cursor = "kestrove_rows_" + std::to_string(++cursors);
    odbc::RowArrays arrays;
    std::vector<bool> escaped;
    try {
        odbc::Connection& connection = reading->connection(m_reader);
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
                reading->lockBefore(m_reader, source.table);
            } catch (...) {
                m_lockRefused = m_reader != 0;
                throw;
            }
            from = source.table.quoted();
            columns = columnsOf(connection, source.table);
            if (!columns.empty())
                blocks = BlockRanges::blocksOf(connection, source.table);
        }
        std::vector<bool> dateOrTime;
        const std::string select =
            with + selectFor(columns, from, reading->uncheckedBytes(), dateOrTime, escaped);
        if (blocks)
            startRanges(connection, source.table, columns, escaped, *blocks);
        // A query runs once: its rows are not counted first, unless it has no columns and
        // so nothing but a count to read.
        long count = UnknownCount;
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
            arrays.open(fetchStatement(FirstFetchRows, cursor), connection);
            fields = arrays.fields();
        }
        std::lock_guard lock(m_mutex);
        m_count = count;
        m_dateOrTime = std::move(dateOrTime);
        m_described = columns;
        m_fields = std::move(fields);
        m_started = true;
    } catch (...) {
        arrays.close();
        if (m_ranges)
            m_ranges->fail();
        std::lock_guard lock(m_mutex);
        m_openFailure = std::current_exception();
        m_lost = odbc::endsTheConnection(m_openFailure);
        m_started = true;
        m_fetching = false;
        m_changed.notify_all();
        return;
    }
    m_changed.notify_all();
    if (m_ranges) {
        readRanges(m_reader);
    } else {
        readRows(reading->connection(m_reader), cursor, arrays, escaped);
        // The connection is free only once nothing of this table is left open on it.
        arrays.close();
    }
    m_fetching = false;
}

void TableReader::readRows(odbc::Connection& connection, const std::string& cursor,
                           odbc::RowArrays& arrays, const std::vector<bool>& escaped) {
    Block block = m_queue.spare();
    try {
        // Once the reading is to stop, nothing more is handed over.
        Fetched fetched;
        if (!(m_fields.empty() ? passRowsWithoutColumns(block)
                               : fetchRows(connection, cursor, arrays, escaped, block, nullptr,
                                           FirstFetchRows, fetched)))
            return;
    } catch (...) {
        block.failure = std::current_exception();
        m_lost = odbc::endsTheConnection(block.failure);
    }
    block.last = true;
    publish(block);
    m_queue.finishRange(block.range);
}

bool TableReader::passRowsWithoutColumns(Block& block) {
    for (long row = 0; row < m_count; ++row) {
        ++block.used;
        if (!handOverIfFull(block))
            return false;
    }
    return true;
}

bool TableReader::fetchRows(odbc::Connection& connection, const std::string& cursor,
                            odbc::RowArrays& arrays, const std::vector<bool>& escaped, Block& block,
                            Resume* range, long asked, Fetched& fetched) {
    const std::size_t batchBytes = range ? RangeBatchBytes : FetchBytes;
    long delivered = 0;
    long batchRows = 0;
    std::size_t widestRow = 0;
    // Each column's buffer holds the longest value of the array before, within bounds;
    // a longer value is read whole on its own.
    std::vector<std::size_t> widths = fetched.widths;
    widths.resize(arrays.fields().size(), FirstWidth);
    std::vector<std::size_t> longest(arrays.fields().size(), 0);
    std::string scratch;
    for (;;) {
        std::size_t rowWidth = 0;
        for (std::size_t width : widths)
            rowWidth += width;
        const std::size_t got =
            arrays.fetch(std::clamp<std::size_t>(ArrayBytes / rowWidth, 1, MaxArrayRows), widths);
        if (got == 0) {
            // A short batch is the last. Every row is read, also past a count: a view
            // with volatile functions gives other rows than it counted, which is reported.
            if (batchRows < asked)
                break;
            // Rows wait for a full block only while earlier ones are still to be
            // taken: the first rows of a table go out with its first batches.
            if (block.used > 0 && m_queue.nothingInTurn() && !handOver(block, range))
                return false;
            const long byBytes =
                static_cast<long>(batchBytes / std::max<std::size_t>(widestRow, 1));
            const long next = std::clamp(byBytes, 1L, std::min(MaxFetchRows, asked * 8));
            // The driver holds the batch until the next: counted before it is asked for.
            if (fetched.outside &&
                !fetched.outside->hold(static_cast<std::size_t>(next) * widestRow +
                                       BlockQueue::ReaderBytes))
                return false;
            arrays.open(fetchStatement(next, cursor), connection);
            asked = next;
            batchRows = 0;
            widestRow = 0;
            continue;
        }
        for (std::size_t i = 0; i < got; ++i) {
            ++batchRows;
            ++fetched.rows;
            // Rows given out by a reading of the range that was lost come again.
            if (range && range->skip > 0) {
                --range->skip;
                continue;
            }
            const std::size_t rowBytes = appendRow(arrays, i, escaped, block, longest, scratch);
            widestRow = std::max(widestRow, rowBytes);
            fetched.bytes += rowBytes;
            ++delivered;
            if (!handOverIfFull(block, range))
                return false;
        }
        for (std::size_t j = 0; j < widths.size(); ++j) {
            widths[j] = std::clamp(std::bit_ceil(longest[j] + 1), MinWidth, MaxWidth);
            longest[j] = 0;
        }
    }
    arrays.close();
    connection.execute("CLOSE " + cursor);
    fetched.widths = widths;
    if (!range)
        requireCounted(delivered);
    return true;
}

std::size_t TableReader::appendRow(odbc::RowArrays& arrays, std::size_t row,
                                   const std::vector<bool>& escaped, Block& block,
                                   std::vector<std::size_t>& longest, std::string& scratch) {
    const std::size_t columns = arrays.fields().size();
    std::size_t rowBytes = 16 * columns;
    for (std::size_t j = 0; j < columns; ++j) {
        const std::size_t start = block.text.size();
        const bool present = arrays.appendValue(row, j, block.text);
        if (present && escaped[j]) {
            scratch.assign(block.text, start);
            unescapeBytes(scratch);
            block.repaired += utf8::repair(scratch);
            block.text.replace(start, std::string::npos, scratch);
        }
        const std::size_t length = block.text.size() - start;
        block.ends.push_back(block.text.size());
        block.nulls.push_back(present ? 0 : 1);
        longest[j] = std::max(longest[j], length);
        rowBytes += length;
    }
    ++block.used;
    return rowBytes;
}

bool TableReader::handOverIfFull(Block& block, Resume* range) {
    if (block.used < BlockQueue::BlockRows && block.text.size() < BlockQueue::BlockBytes)
        return true;
    return handOver(block, range);
}

bool TableReader::handOver(Block& block, Resume* range) {
    const std::size_t index = block.range;
    if (!publishRows(block, range))
        return false;
    block = m_queue.spare();
    block.range = index;
    return true;
}

bool TableReader::publishRows(Block& block, Resume* range) {
    const long rows = static_cast<long>(block.used);
    if (!publish(block))
        return false;
    if (range) {
        range->given += rows;
        m_delivered += rows;
    }
    return true;
}

void TableReader::requireCounted(long delivered) const {
    if (m_count == UnknownCount || delivered == m_count)
        return;
    throw odbc::OdbcError(std::to_string(delivered) + " rows came where " +
                              std::to_string(m_count) + " were counted" +
                              (delivered > m_count ? "; every one of them is on the sheet." : "."),
                          "21000");
}

void TableReader::stopWorker(const Waiter& whileWaiting) {
    if (!m_worker.joinable())
        return;
    m_queue.stop();
    {
        // The worker may be making its ranges meanwhile.
        std::lock_guard lock(m_mutex);
        if (m_ranges)
            m_ranges->fail();
    }
    // A fetch under way ends first.
    while (whileWaiting && m_fetching) {
        whileWaiting();
        std::this_thread::sleep_for(system::WaitStep);
    }
    m_worker.join();
    std::vector<std::thread> helpers;
    {
        std::lock_guard lock(m_mutex);
        helpers.swap(m_helpers);
    }
    // So does every helper's.
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (!whileWaiting || m_helping.empty())
                break;
        }
        whileWaiting();
        std::this_thread::sleep_for(system::WaitStep);
    }
    for (std::thread& helper : helpers)
        helper.join();
}

void TableReader::close() {
    requireOpen();
    stopWorker();
    m_open = false;
    m_fields.clear();
    m_current = Block{};
    m_queue.reset(0);
}

void TableReader::requireOpen() const {
    if (!m_open)
        throw odbc::ClosedObjectError("HY010");
}

long TableReader::recordCount() const {
    requireOpen();
    return m_count;
}

int TableReader::fieldCount() const {
    requireOpen();
    return static_cast<int>(m_fields.size());
}

const odbc::Field& TableReader::field(int ordinal) const {
    requireOpen();
    if (ordinal < 0 || static_cast<std::size_t>(ordinal) >= m_fields.size())
        throw odbc::OdbcError("Item cannot be found in the collection.", "07009");
    return m_fields[static_cast<std::size_t>(ordinal)];
}

bool TableReader::isDateOrTime(int ordinal) const {
    field(ordinal);
    return static_cast<std::size_t>(ordinal) < m_dateOrTime.size() &&
           m_dateOrTime[static_cast<std::size_t>(ordinal)];
}

const Column& TableReader::column(int ordinal) const {
    static const Column none;
    field(ordinal);
    return static_cast<std::size_t>(ordinal) < m_described.size()
               ? m_described[static_cast<std::size_t>(ordinal)]
               : none;
}

std::optional<std::string_view> TableReader::value(int ordinal) const {
    field(ordinal);
    if (m_position >= m_current.used)
        throwEof();
    const std::size_t k = m_position * m_fields.size() + static_cast<std::size_t>(ordinal);
    if (m_current.nulls[k])
        return std::nullopt;
    const std::size_t start = k == 0 ? 0 : m_current.ends[k - 1];
    return std::string_view(m_current.text).substr(start, m_current.ends[k] - start);
}

bool TableReader::eof() const {
    requireOpen();
    return m_position >= m_current.used;
}

bool TableReader::lastRow() const {
    requireOpen();
    return m_exhausted && m_position + 1 == m_current.used;
}

void TableReader::moveNext(const Waiter& whileWaiting) {
    requireOpen();
    if (m_position < m_current.used)
        ++m_position;
    else if (m_exhausted && !m_current.failure)
        throwEof();
    while (m_position >= m_current.used && !m_exhausted) {
        m_current = m_queue.take(std::move(m_current), whileWaiting);
        m_position = 0;
        m_exhausted = m_current.last;
        m_repaired += m_current.repaired;
    }
    // A broken stream fails only once every row that arrived before has been given out.
    if (m_position >= m_current.used && m_current.failure)
        std::rethrow_exception(m_current.failure);
}

} // namespace kestrove
