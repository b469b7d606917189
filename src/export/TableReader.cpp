#include "export/TableReader.h"

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
constexpr auto WaitStep = std::chrono::milliseconds(10);

// Type numbers of the server's date and time types (date, time, timestamp, timestamptz,
// timetz) and of bytea.
bool isDateOrTime(unsigned long type) {
    return type == 1082 || type == 1083 || type == 1114 || type == 1184 || type == 1266;
}
constexpr unsigned long Bytea = 17;

// The query for the whole table: SELECT * unless a column needs to be asked for
// otherwise, then every column by name in the table's order. Marks the date and time
// columns in `dateOrTime`.
std::string selectFor(odbc::Connection& connection, const std::string& table, std::vector<bool>& dateOrTime) {
    std::string literal;
    for (const char c : table) {
        literal += c;
        if (c == '\'')
            literal += '\'';
    }
    odbc::RecordSet columns = connection.execute(
        "SELECT attname, atttypid::bigint FROM pg_catalog.pg_attribute WHERE attrelid = '" + literal +
        "'::regclass AND attnum > 0 AND NOT attisdropped ORDER BY attnum");
    std::string list;
    bool plain = true;
    for (; !columns.eof(); columns.moveNext()) {
        const std::string name = QuotedIdentifier(columns.value(0).value_or(""));
        const unsigned long type = std::stoul(columns.value(1).value_or("0"));
        dateOrTime.push_back(isDateOrTime(type));
        if (!list.empty())
            list += ", ";
        if (isDateOrTime(type)) {
            list += name + "::text AS " + name;
            plain = false;
        } else if (type == Bytea) {
            list += "NULL::bytea AS " + name;
            plain = false;
        } else {
            list += name;
        }
    }
    return "SELECT " + (plain ? std::string("*") : list) + " FROM " + table;
}

[[noreturn]] void throwEof() {
    throw odbc::OdbcError("Either BOF or EOF is True, or the current record has been deleted.",
                          "24000");
}
} // namespace

std::string QuotedIdentifier(const std::string& name) {
    std::string quoted = "\"";
    for (const char c : name) {
        quoted += c;
        if (c == '"')
            quoted += '"';
    }
    return quoted + '"';
}

TableReader::~TableReader() {
    stopWorker();
}

void TableReader::open(odbc::Connection& connection, const std::string& table, const Waiter& whileWaiting) {
    if (m_open)
        throw odbc::OdbcError("The operation is not allowed when the object is open.", "HY010");
    stopWorker();
    {
        std::lock_guard lock(m_mutex);
        m_queue.clear();
        m_stop = false;
        m_started = false;
        m_openFailure = nullptr;
    }
    m_worker = std::thread(&TableReader::read, this, &connection, table);

    std::unique_lock lock(m_mutex);
    while (!m_changed.wait_for(lock, WaitStep, [&] { return m_started; })) {
        lock.unlock();
        if (whileWaiting)
            whileWaiting();
        lock.lock();
    }
    if (m_openFailure) {
        lock.unlock();
        stopWorker();
        std::rethrow_exception(m_openFailure);
    }
    m_open = true;
    m_current = Block{};
    m_position = 0;
    m_exhausted = false;
    lock.unlock();
    try {
        moveNext(whileWaiting);
    } catch (...) {
        close();
        throw;
    }
}

void TableReader::read(odbc::Connection* connection, std::string table) {
    odbc::RecordSet records;
    try {
        odbc::RecordSet counted = connection->execute("SELECT count(*) FROM " + table);
        const long count = std::stol(counted.value(0).value_or("0"));
        counted.close();
        std::vector<bool> dateOrTime;
        records.openForward(selectFor(*connection, table, dateOrTime), *connection);
        std::lock_guard lock(m_mutex);
        m_count = count;
        m_dateOrTime = std::move(dateOrTime);
        m_fields.clear();
        for (int j = 0; j < records.fieldCount(); ++j)
            m_fields.push_back(records.field(j));
        m_started = true;
    } catch (...) {
        std::lock_guard lock(m_mutex);
        m_openFailure = std::current_exception();
        m_started = true;
        m_changed.notify_all();
        return;
    }
    m_changed.notify_all();

    Block block = spareBlock();
    const auto nextRow = [&]() -> Row& {
        if (block.used == block.rows.size())
            block.rows.emplace_back();
        return block.rows[block.used++];
    };
    try {
        // Rows without columns cannot be fetched; the count says how many there are.
        for (long row = 0; m_fields.empty() && row < m_count; ++row) {
            nextRow().clear();
            if (block.used == BlockRows) {
                publish(block);
                block = spareBlock();
            }
        }
        std::size_t bytes = 0;
        while (!records.eof()) {
            Row& row = nextRow();
            row.resize(m_fields.size());
            for (std::size_t j = 0; j < row.size(); ++j) {
                row[j] = records.value(static_cast<int>(j));
                bytes += row[j] ? row[j]->size() : 0;
            }
            records.moveNext();
            if (block.used == BlockRows || bytes >= BlockBytes) {
                publish(block);
                block = spareBlock();
                bytes = 0;
                std::lock_guard lock(m_mutex);
                if (m_stop)
                    return;
            }
        }
    } catch (...) {
        block.failure = std::current_exception();
    }
    block.last = true;
    publish(block);
}

void TableReader::publish(Block& block) {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_stop || m_queue.size() < QueuedBlocks; });
    if (m_stop)
        return;
    m_queue.push_back(std::move(block));
    m_changed.notify_all();
}

TableReader::Block TableReader::spareBlock() {
    std::lock_guard lock(m_mutex);
    if (m_spare.empty())
        return Block{};
    Block block = std::move(m_spare.back());
    m_spare.pop_back();
    block.used = 0;
    block.failure = nullptr;
    block.last = false;
    return block;
}

void TableReader::stopWorker() {
    if (!m_worker.joinable())
        return;
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
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
    return static_cast<std::size_t>(ordinal) < m_dateOrTime.size() && m_dateOrTime[static_cast<std::size_t>(ordinal)];
}

const std::optional<std::string>& TableReader::value(int ordinal) const {
    field(ordinal);
    if (m_position >= m_current.used)
        throwEof();
    return m_current.rows[m_position][static_cast<std::size_t>(ordinal)];
}

void TableReader::moveNext(const Waiter& whileWaiting) {
    requireOpen();
    if (m_position < m_current.used)
        ++m_position;
    else if (m_exhausted)
        throwEof();
    while (m_position >= m_current.used && !m_exhausted) {
        std::unique_lock lock(m_mutex);
        while (!m_changed.wait_for(lock, WaitStep, [&] { return !m_queue.empty(); })) {
            lock.unlock();
            if (whileWaiting)
                whileWaiting();
            lock.lock();
        }
        if (m_spare.size() < SpareBlocks)
            m_spare.push_back(std::move(m_current));
        m_current = std::move(m_queue.front());
        m_queue.pop_front();
        m_position = 0;
        lock.unlock();
        m_changed.notify_all();
        m_exhausted = m_current.last;
        if (m_current.failure)
            std::rethrow_exception(m_current.failure);
    }
}

} // namespace kestrove
