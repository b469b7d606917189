#include "export/TableReader.h"

#include "export/QueryText.h"
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

// Type numbers of the server's date and time types (date, time, timestamp, timestamptz,
// timetz), of bytea, char(n) and uuid.
bool isDateOrTime(unsigned long type) {
    return type == 1082 || type == 1083 || type == 1114 || type == 1184 || type == 1266;
}
constexpr unsigned long Bytea = 17;
constexpr unsigned long Bpchar = 1042;
constexpr unsigned long Uuid = 2950;

// A column by its base type, and how the select list refers to it.
struct Column {
    std::string name;
    std::string reference;
    unsigned long type = 0;
    char category = 'X';
    long length = -1; // of a char(n), else -1
};

// The columns of a table in its order, domains followed to their base type. The table
// reaches the server as a bound parameter, never inside the SQL text.
std::vector<Column> columnsOf(odbc::Connection& connection, const TableName& table) {
    odbc::RecordSet rows = connection.execute(
        "WITH RECURSIVE c(attnum, attname, typid, typmod) AS ("
        " SELECT attnum, attname, atttypid, atttypmod FROM pg_catalog.pg_attribute"
        " WHERE attrelid = pg_catalog.to_regclass(?) AND attnum > 0 AND NOT attisdropped"
        " UNION ALL SELECT c.attnum, c.attname, t.typbasetype, t.typtypmod"
        " FROM c JOIN pg_catalog.pg_type t ON t.oid = c.typid WHERE t.typtype = 'd')"
        " SELECT c.attname, c.typid::pg_catalog.int8, t.typcategory, c.typmod"
        " FROM c JOIN pg_catalog.pg_type t ON t.oid = c.typid WHERE t.typtype <> 'd' ORDER BY "
        "c.attnum",
        {table.quoted()});
    std::vector<Column> columns;
    for (; !rows.eof(); rows.moveNext()) {
        Column column;
        column.name = rows.value(0).value_or("");
        column.reference = QuotedIdentifier(column.name);
        column.type = std::stoul(rows.value(1).value_or("0"));
        column.category = rows.value(2).value_or("X").c_str()[0];
        if (column.type == Bpchar && std::stol(rows.value(3).value_or("-1")) > 4)
            column.length = std::stol(rows.value(3).value_or("-1")) - 4;
        columns.push_back(std::move(column));
    }
    return columns;
}

// The columns of a query's result in its order, under their own names (the same name
// may come twice), each by its base type. The result is described with no row: its names
// by the driver, its types by the server, for a row of Nulls of each column's type.
std::vector<Column> columnsOfQuery(odbc::Connection& connection, const std::string& query) {
    // One that changes rows runs as a part of a statement that reads nothing, for the
    // read-only transaction to refuse it.
    if (changesRows(query)) {
        connection.execute(withQuery(query, 0) + "SELECT 1");
        throw odbc::OdbcError("The query changes rows; only queries that read them are exported.",
                              "25006");
    }
    std::vector<Column> columns;
    {
        const odbc::RecordSet none =
            connection.execute(withQuery(query, 0) + "SELECT * FROM q LIMIT 0");
        for (int j = 0; j < none.fieldCount(); ++j) {
            Column column;
            column.name = none.field(j).name;
            column.reference = "q.c" + std::to_string(j + 1);
            columns.push_back(std::move(column));
        }
    }
    if (columns.empty())
        return columns;
    std::string types;
    for (std::size_t j = 1; j <= columns.size(); ++j)
        types += (j == 1 ? "pg_catalog.pg_typeof(l.c" : " || ',' || pg_catalog.pg_typeof(l.c") +
                 std::to_string(j) + ")::pg_catalog.oid::pg_catalog.text";
    const odbc::RecordSet typed = connection.execute(
        withQuery(query, static_cast<int>(columns.size())) + "SELECT '{' || " + types +
        " || '}' FROM (SELECT) AS one LEFT JOIN (SELECT * FROM q LIMIT 0) AS l ON true");
    // Domains followed to their base type; the type numbers go as a bound parameter.
    odbc::RecordSet base =
        connection.execute("WITH RECURSIVE c(n, typid) AS ("
                           " SELECT n, typid FROM pg_catalog.unnest(?::pg_catalog.oid[]) WITH "
                           "ORDINALITY AS u(typid, n)"
                           " UNION ALL SELECT c.n, t.typbasetype FROM c JOIN pg_catalog.pg_type t "
                           "ON t.oid = c.typid WHERE t.typtype = 'd')"
                           " SELECT c.typid::pg_catalog.int8, t.typcategory FROM c JOIN "
                           "pg_catalog.pg_type t ON t.oid = c.typid"
                           " WHERE t.typtype <> 'd' ORDER BY c.n",
                           {typed.value(0).value_or("{}")});
    for (Column& column : columns) {
        if (base.eof())
            break;
        column.type = std::stoul(base.value(0).value_or("0"));
        column.category = base.value(1).value_or("X").c_str()[0];
        base.moveNext();
    }
    return columns;
}

// The statement that reads every row: SELECT * unless a column needs to be asked for
// otherwise, then every column in its order under its own name. Marks the date and time
// columns in `dateOrTime` and those sent as escaped bytes in `escaped`.
std::string selectFor(const std::vector<Column>& columns, const std::string& from,
                      bool uncheckedBytes, std::vector<bool>& dateOrTime,
                      std::vector<bool>& escaped) {
    std::string list;
    bool plain = true;
    for (const Column& column : columns) {
        const std::string name = column.reference;
        // The driver writes numbers, booleans and uuids its own way; every other text may
        // hold bytes that are not UTF-8 where the server does not check them.
        const bool asBytes = uncheckedBytes && column.category != 'N' && column.category != 'B' &&
                             column.type != Uuid && column.type != Bytea &&
                             !isDateOrTime(column.type);
        dateOrTime.push_back(isDateOrTime(column.type));
        escaped.push_back(asBytes);
        std::string expression = name;
        if (isDateOrTime(column.type)) {
            expression = name + "::pg_catalog.text";
        } else if (column.type == Bytea) {
            expression = "NULL::pg_catalog.bytea";
        } else if (asBytes) {
            // As bytes, escaped into ASCII: the server then checks nothing on the way.
            // A char(n) keeps its trailing blanks, which its text form drops.
            // (Of a query, its length is not known: its own output keeps them.)
            const std::string text =
                column.length > 0 ? "pg_catalog.rpad(" + name + "::pg_catalog.text, " +
                                        std::to_string(column.length) + ")"
                : column.type == Bpchar ? "pg_catalog.textin(pg_catalog.bpcharout(" + name + "))"
                                        : name + "::pg_catalog.text";
            expression =
                "pg_catalog.encode(pg_catalog.convert_to(" + text + ", 'SQL_ASCII'), 'escape')";
        }
        const std::string label = QuotedIdentifier(column.name);
        if (!list.empty())
            list += ", ";
        list += expression == label ? label : expression + " AS " + label;
        plain = plain && expression == label;
    }
    return "SELECT " + (plain ? std::string("*") : list) + " FROM " + from;
}

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
                throw odbc::OdbcError("The query gave more rows than the " +
                                          std::to_string(m_count) +
                                          " it counted; those past them are not on its sheet.",
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
        throw odbc::OdbcError("The query gave " + std::to_string(delivered) +
                                  " rows where it counted " + std::to_string(m_count) + ".",
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
