#include "export/reading/ReadingTransaction.h"

#include <future>

namespace kestrove {

namespace {
// The SQLSTATEs of a LOCK on a relation it does not take, and of one not had in time.
constexpr const char* WrongObjectType = "42809";
constexpr const char* LockNotAvailable = "55P03";
} // namespace

// LOCK of every table of the list, in the mode that only rewriting conflicts with.
std::string lockStatement(const std::vector<TableName>& tables, const char* wait) {
    std::string list;
    for (const TableName& table : tables)
        list += (list.empty() ? "" : ", ") + table.quoted();
    return "LOCK TABLE " + list + " IN ACCESS SHARE MODE" + wait;
}

ReadingLimits& readingLimits() {
    static ReadingLimits limits;
    return limits;
}

void ReadingTransaction::open(odbc::Connection& connection, const std::string& connectionString) {
    prepare(connection, connectionString);
    m_connection = &connection;
    {
        std::lock_guard guard(m_locksMutex);
        m_locks.clear();
    }
    m_snapshot.clear();
    m_readers.clear();
    m_uncheckedBytes =
        connection.execute("SELECT pg_catalog.current_setting('server_encoding') = 'SQL_ASCII'")
            .value(0) == std::optional<std::string>("1");
    connection.setAutocommit(false);
}

// Opens a connection and sets its session up for the transaction.
void ReadingTransaction::prepare(odbc::Connection& connection,
                                 const std::string& connectionString) {
    const ReadingLimits& limits = readingLimits();
    connection.open(connectionString);
    // Set by SQL for the session: the driver accepts the read-only attribute and ignores it.
    connection.execute(
        "SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY");
    connection.execute("SET lock_timeout = " + std::to_string(limits.lockTimeout.count()));
    // A range's rows are joined in the order they are scanned: in block order only when one
    // process scans them.
    connection.execute("SET max_parallel_workers_per_gather = 0");
}

void ReadingTransaction::lock(const std::vector<TableName>& tables) {
    if (tables.empty())
        return;
    // All at once where every lock can be had: LOCK for the tables and views, and a query
    // that reads nothing for the others (materialized views, foreign tables), which LOCK
    // refuses; then `then`.
    const auto lockAll = [&](const std::vector<TableName>& some,
                             const std::vector<TableName>& queried, const std::string& then) {
        std::string statement = some.empty() ? std::string() : lockStatement(some, "");
        for (const TableName& table : queried)
            statement += (statement.empty() ? "" : "; ") + std::string("SELECT FROM ") +
                         table.quoted() + " LIMIT 0";
        if (!then.empty())
            statement += (statement.empty() ? "" : "; ") + then;
        const odbc::RecordSet result = connection().execute(statement);
        std::lock_guard guard(m_locksMutex);
        for (const auto* locked : {&some, &queried})
            for (const TableName& table : *locked)
                m_locks[table] = nullptr;
        return result.fieldCount() > 0 && !result.eof() ? result.value(0).value_or("")
                                                        : std::string();
    };
    // The first statement of the transaction, so that the driver runs it outside a
    // savepoint of its own: a snapshot is exported only from the transaction itself. It is
    // taken after every lock, for further readers to share.
    const std::string exportSnapshot = "SELECT pg_catalog.pg_export_snapshot()";
    std::string refusal;
    try {
        m_snapshot = lockAll(tables, {}, exportSnapshot);
        return;
    } catch (const odbc::OdbcError& refused) {
        refusal = refused.sqlState();
    }
    // Which relations LOCK takes is asked outside the transaction.
    connection().setAutocommit(true);
    std::vector<TableName> lockable, others;
    for (const TableName& table : tables)
        (takesLock(table) ? lockable : others).push_back(table);
    connection().setAutocommit(false);
    if (refusal == WrongObjectType) {
        try {
            m_snapshot = lockAll(lockable, others, exportSnapshot);
            return;
        } catch (const odbc::OdbcError& refused) {
            refusal = refused.sqlState();
        }
    }
    // One by one: LOCK takes tables and views only; the others are locked by a query,
    // which also takes the transaction's snapshot, and so only after every other lock.
    // The lock time-out is waited for once in all: after it, what is still held is
    // reported. Where the first attempt failed for another reason (a table gone, one the
    // role may not read), the tables held meanwhile are found without waiting and then
    // waited for together.
    std::vector<TableName> held;
    for (const TableName& table : lockable) {
        lockOne(table, " NOWAIT");
        if (refusal != LockNotAvailable && m_locks[table] &&
            odbc::sqlStateOf(m_locks[table]) == LockNotAvailable)
            held.push_back(table);
    }
    if (!held.empty()) {
        try {
            lockAll(held, {}, "");
        } catch (const odbc::OdbcError&) {
            for (const TableName& table : held)
                lockOne(table, " NOWAIT");
        }
    }
    for (const TableName& table : others)
        lockOne(table, "");
}

void ReadingTransaction::lockOne(const TableName& table, const char* wait) {
    try {
        try {
            connection().execute("LOCK TABLE " + table.quoted() + " IN ACCESS SHARE MODE" + wait);
        } catch (const odbc::OdbcError& refused) {
            // A materialized view or a foreign table gets the same lock, held until the
            // transaction ends, from a query that reads nothing.
            if (refused.sqlState() != WrongObjectType)
                throw;
            connection().execute("SELECT FROM " + table.quoted() + " LIMIT 0");
        }
        std::lock_guard guard(m_locksMutex);
        m_locks[table] = nullptr;
    } catch (const odbc::OdbcError&) {
        std::lock_guard guard(m_locksMutex);
        m_locks[table] = std::current_exception();
    }
}

bool ReadingTransaction::takesLock(const TableName& table) {
    // A name that finds nothing is left to LOCK, which reports it.
    try {
        const odbc::RecordSet kind =
            connection().execute("SELECT c.relkind::text FROM pg_catalog.pg_class c WHERE c.oid = "
                                 "pg_catalog.to_regclass(?)",
                                 {table.quoted()});
        if (kind.eof() || !kind.value(0))
            return true;
        return *kind.value(0) == "r" || *kind.value(0) == "p" || *kind.value(0) == "v";
    } catch (const odbc::OdbcError&) {
        return true;
    }
}

void ReadingTransaction::requireLock(const TableName& table) {
    std::unique_lock guard(m_locksMutex);
    if (m_locks.find(table) == m_locks.end()) {
        guard.unlock();
        lockOne(table, "");
        guard.lock();
    }
    if (const std::exception_ptr failure = m_locks.at(table))
        std::rethrow_exception(failure);
}

bool ReadingTransaction::holdsLock(const TableName& table) const {
    std::lock_guard guard(m_locksMutex);
    const auto found = m_locks.find(table);
    return found != m_locks.end() && !found->second;
}

void ReadingTransaction::addReaders(const std::string& connectionString, std::size_t count) {
    // SET TRANSACTION SNAPSHOT takes no bound parameter, so the name the server gave goes
    // into the statement only as what it always is: hexadecimal digits and dashes.
    if (m_snapshot.empty() ||
        m_snapshot.find_first_not_of("0123456789ABCDEFabcdef-") != std::string::npos)
        return;
    // Each opens at the same time and takes the snapshot in its first statement, which
    // the driver runs outside a savepoint of its own. It locks each table only before
    // reading it (lockBefore()), so that the server's lock table is not filled once per
    // connection.
    const std::string join = "SET TRANSACTION SNAPSHOT '" + m_snapshot + "'";
    std::vector<std::future<std::unique_ptr<odbc::Connection>>> opening;
    for (std::size_t i = 0; i < count; ++i)
        opening.push_back(std::async(std::launch::async, [this, &connectionString, &join] {
            auto reader = std::make_unique<odbc::Connection>();
            try {
                prepare(*reader, connectionString);
                reader->setAutocommit(false);
                reader->execute(join);
            } catch (const odbc::OdbcError&) {
                return std::unique_ptr<odbc::Connection>();
            }
            return reader;
        }));
    for (auto& opened : opening)
        if (auto reader = opened.get())
            m_readers.push_back(std::move(reader));
}

void ReadingTransaction::lockBefore(std::size_t reader, const TableName& table) {
    if (reader == 0)
        return requireLock(table);
    // The first connection holds the lock already, so only a session waiting for one can
    // stand in the way; then the table is not read here (rather than waited for).
    odbc::Connection& helper = connection(reader);
    try {
        helper.execute(lockStatement({table}, " NOWAIT"));
    } catch (const odbc::OdbcError& refused) {
        if (refused.sqlState() != WrongObjectType)
            throw;
        // A materialized view or a foreign table: the same lock from a query that reads
        // nothing, which gives up at once where it would wait.
        const std::string restore =
            "SET LOCAL lock_timeout = " + std::to_string(readingLimits().lockTimeout.count());
        helper.execute("SET LOCAL lock_timeout = 1");
        try {
            helper.execute("SELECT FROM " + table.quoted() + " LIMIT 0");
        } catch (const odbc::OdbcError&) {
            helper.execute(restore);
            throw;
        }
        helper.execute(restore);
    }
}

odbc::Connection& ReadingTransaction::connection(std::size_t reader) const {
    return reader == 0 ? connection() : *m_readers.at(reader - 1);
}

void ReadingTransaction::end() noexcept {
    {
        std::lock_guard guard(m_locksMutex);
        m_locks.clear();
    }
    // The further readers' transactions end with their connections.
    m_readers.clear();
    if (!m_connection || m_connection->state() != odbc::StateOpen)
        return;
    // Ending a read-only transaction loses nothing; on a broken connection the failure
    // has been reported by the read that met it.
    try {
        m_connection->endTransaction();
    } catch (const odbc::OdbcError&) {
    }
}

odbc::Connection& ReadingTransaction::connection() const {
    if (!m_connection)
        throw odbc::ClosedObjectError("08003");
    return *m_connection;
}

} // namespace kestrove
