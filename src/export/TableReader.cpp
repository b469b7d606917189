#include "export/TableReader.h"

#include "export/QueryText.h"
#include "export/ReadColumns.h"
#include "platform/system/Waiting.h"
#include "platform/text/Utf8.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>

namespace kestrove {

namespace {
constexpr std::size_t BlockRows = 2048;
// A block also ends at this many bytes of text, so that long texts do not make the
// blocks waiting between the threads large.
constexpr std::size_t BlockBytes = 4 << 20;
constexpr std::size_t QueuedBlocks = 4;
// Blocks kept for reuse once read: enough for the reader never to wait for memory.
constexpr std::size_t SpareBlocks = 2;
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

// Undoes encode(..., 'escape'): "\\" is a backslash, "\ooo" a byte in octal.
void unescapeBytes(std::string& text) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            text[out++] = text[i];
        } else if (text[i + 1] == '\\') {
            text[out++] = '\\';
            ++i;
        } else if (i + 3 < text.size()) {
            text[out++] = static_cast<char>(((text[i + 1] - '0') << 6) |
                                            ((text[i + 2] - '0') << 3) | (text[i + 3] - '0'));
            i += 3;
        }
    }
    text.resize(out);
}

// Whether a failure is the connection's own (SQLSTATE class 08, or the server process
// ended), so that nothing more can be read on it.
bool endsTheConnection(const std::exception_ptr& failure) {
    const std::string state = odbc::sqlStateOf(failure);
    return state.rfind("08", 0) == 0 || state.rfind("57P", 0) == 0;
}

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
                       const Waiter& whileWaiting) {
    begin(reading, 0, source, 0);
    claim(whileWaiting);
}

void TableReader::begin(ReadingTransaction& reading, std::size_t reader, const ReadSource& source,
                        std::size_t aheadBytes) {
    if (m_open)
        throw odbc::OdbcError("The operation is not allowed when the object is open.", "HY010");
    stopWorker();
    {
        std::lock_guard lock(m_mutex);
        m_queue.clear();
        m_queuedBytes = 0;
        m_stop = false;
        m_started = false;
        m_aheadBytes = aheadBytes;
        m_openFailure = nullptr;
    }
    m_reader = reader;
    m_fetching = true;
    m_lost = false;
    m_lockRefused = false;
    m_worker = std::thread(&TableReader::read, this, &reading, source);
}

void TableReader::claim(const Waiter& whileWaiting) {
    std::unique_lock lock(m_mutex);
    // Now read in turn: from here the reader waits for each block to be taken.
    m_aheadBytes = 0;
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
        }
        odbc::RecordSet counted =
            connection.execute(with + "SELECT pg_catalog.count(*) FROM " + from);
        const long count = std::stol(counted.value(0).value_or("0"));
        counted.close();
        if (!source.isQuery())
            columns = columnsOf(connection, source.table);
        std::vector<bool> dateOrTime;
        const std::string select =
            with + selectFor(columns, from, reading->uncheckedBytes(), dateOrTime, escaped);
        // A table without columns has no rows to fetch (the driver refuses to try); its
        // count says how many there are.
        if (!columns.empty()) {
            connection.execute("DECLARE " + cursor + " NO SCROLL CURSOR FOR " + select);
            arrays.open(fetchStatement(FirstFetchRows, cursor), connection);
        }
        std::lock_guard lock(m_mutex);
        m_count = count;
        m_query = source.isQuery();
        m_dateOrTime = std::move(dateOrTime);
        m_fields = columns.empty() ? std::vector<odbc::Field>{} : arrays.fields();
        m_started = true;
    } catch (...) {
        arrays.close();
        std::lock_guard lock(m_mutex);
        m_openFailure = std::current_exception();
        m_lost = endsTheConnection(m_openFailure);
        m_started = true;
        m_fetching = false;
        m_changed.notify_all();
        return;
    }
    m_changed.notify_all();
    readRows(reading->connection(m_reader), cursor, arrays, escaped);
    // The connection is free only once nothing of this table is left open on it.
    arrays.close();
    m_fetching = false;
}

void TableReader::readRows(odbc::Connection& connection, const std::string& cursor,
                           odbc::RowArrays& arrays, const std::vector<bool>& escaped) {
    Block block = spareBlock();
    try {
        // Once the reading is to stop, nothing more is handed over.
        if (!(m_fields.empty() ? passRowsWithoutColumns(block)
                               : fetchRows(connection, cursor, arrays, escaped, block)))
            return;
    } catch (...) {
        block.failure = std::current_exception();
        m_lost = endsTheConnection(block.failure);
    }
    block.last = true;
    publish(block);
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
                            odbc::RowArrays& arrays, const std::vector<bool>& escaped,
                            Block& block) {
    long asked = FirstFetchRows;
    long delivered = 0;
    long batchRows = 0;
    std::size_t widestRow = 0;
    // Each column's buffer holds the longest value of the array before, within bounds;
    // a longer value is read whole on its own.
    std::vector<std::size_t> widths(m_fields.size(), FirstWidth);
    std::vector<std::size_t> longest(m_fields.size(), 0);
    std::string scratch;
    for (;;) {
        std::size_t rowWidth = 0;
        for (std::size_t width : widths)
            rowWidth += width;
        const std::size_t got =
            arrays.fetch(std::clamp<std::size_t>(ArrayBytes / rowWidth, 1, MaxArrayRows), widths);
        if (got == 0) {
            // A short batch is the last; so is the one that brings a table's counted rows.
            // A query is read to its end: run again, it may give other rows than it
            // counted (volatile functions, the server's own views), which is reported.
            if (batchRows < asked || (delivered >= m_count && !m_query))
                break;
            // Rows wait for a full block only while earlier ones are still to be
            // taken: the first rows of a table go out with its first batches.
            if (block.used > 0 && nothingQueued()) {
                publish(block);
                block = spareBlock();
                if (stopping())
                    return false;
            }
            const long byBytes =
                static_cast<long>(FetchBytes / std::max<std::size_t>(widestRow, 1));
            const long next = std::clamp(byBytes, 1L, std::min(MaxFetchRows, asked * 8));
            arrays.open(fetchStatement(next, cursor), connection);
            asked = next;
            batchRows = 0;
            widestRow = 0;
            continue;
        }
        for (std::size_t i = 0; i < got; ++i) {
            if (delivered >= m_count)
                throw odbc::OdbcError("More rows came than the " + std::to_string(m_count) +
                                          " counted; those past them are not on the sheet.",
                                      "21000");
            widestRow = std::max(widestRow, appendRow(arrays, i, escaped, block, longest, scratch));
            ++delivered;
            ++batchRows;
            if (!handOverIfFull(block))
                return false;
        }
        for (std::size_t j = 0; j < widths.size(); ++j) {
            widths[j] = std::clamp(std::bit_ceil(longest[j] + 1), MinWidth, MaxWidth);
            longest[j] = 0;
        }
    }
    arrays.close();
    connection.execute("CLOSE " + cursor);
    if (delivered < m_count)
        throw odbc::OdbcError(std::to_string(delivered) + " rows came where " +
                                  std::to_string(m_count) + " were counted.",
                              "21000");
    return true;
}

std::size_t TableReader::appendRow(odbc::RowArrays& arrays, std::size_t row,
                                   const std::vector<bool>& escaped, Block& block,
                                   std::vector<std::size_t>& longest, std::string& scratch) {
    const std::size_t columns = m_fields.size();
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

bool TableReader::handOverIfFull(Block& block) {
    if (block.used < BlockRows && block.text.size() < BlockBytes)
        return true;
    publish(block);
    block = spareBlock();
    return !stopping();
}

void TableReader::publish(Block& block) {
    const std::size_t bytes = bytesOf(block);
    std::unique_lock lock(m_mutex);
    // Read ahead of its turn, a table may hold more, up to a bound in bytes.
    m_changed.wait(lock, [&] {
        return m_stop || m_queue.size() < QueuedBlocks || m_queuedBytes + bytes <= m_aheadBytes;
    });
    if (m_stop)
        return;
    m_queuedBytes += bytes;
    m_queue.push_back(std::move(block));
    m_changed.notify_all();
}

bool TableReader::nothingQueued() {
    std::lock_guard lock(m_mutex);
    return m_queue.empty();
}

bool TableReader::stopping() {
    std::lock_guard lock(m_mutex);
    return m_stop;
}

TableReader::Block TableReader::spareBlock() {
    std::lock_guard lock(m_mutex);
    if (m_spare.empty())
        return Block{};
    Block block = std::move(m_spare.back());
    m_spare.pop_back();
    block.text.clear();
    block.ends.clear();
    block.nulls.clear();
    block.used = 0;
    block.repaired = 0;
    block.failure = nullptr;
    block.last = false;
    return block;
}

void TableReader::stopWorker(const Waiter& whileWaiting) {
    if (!m_worker.joinable())
        return;
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    // A fetch under way ends first.
    while (whileWaiting && m_fetching) {
        whileWaiting();
        std::this_thread::sleep_for(system::WaitStep);
    }
    m_worker.join();
}

void TableReader::close() {
    requireOpen();
    stopWorker();
    m_open = false;
    m_fields.clear();
    m_current = Block{};
    m_queue.clear();
    m_spare.clear();
}

void TableReader::requireOpen() const {
    if (!m_open)
        throw odbc::OdbcError("The operation is not allowed when the object is closed.", "HY010");
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

void TableReader::moveNext(const Waiter& whileWaiting) {
    requireOpen();
    if (m_position < m_current.used)
        ++m_position;
    else if (m_exhausted && !m_current.failure)
        throwEof();
    while (m_position >= m_current.used && !m_exhausted) {
        std::unique_lock lock(m_mutex);
        system::waitYielding(
            m_changed, lock, [&] { return !m_queue.empty(); }, whileWaiting);
        if (m_spare.size() < SpareBlocks)
            m_spare.push_back(std::move(m_current));
        m_current = std::move(m_queue.front());
        m_queue.pop_front();
        m_queuedBytes -= bytesOf(m_current);
        m_position = 0;
        lock.unlock();
        m_changed.notify_all();
        m_exhausted = m_current.last;
        m_repaired += m_current.repaired;
    }
    // A broken stream fails only once every row that arrived before has been given out.
    if (m_position >= m_current.used && m_current.failure)
        std::rethrow_exception(m_current.failure);
}

} // namespace kestrove
