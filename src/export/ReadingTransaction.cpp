#include "export/ReadingTransaction.h"

namespace kestrove {

std::string QuotedIdentifier(const std::string& name) {
    std::string quoted = "\"";
    for (const char c : name) {
        quoted += c;
        if (c == '"')
            quoted += '"';
    }
    return quoted + '"';
}

std::string TableName::quoted() const {
    return schema.empty() ? QuotedIdentifier(name) : QuotedIdentifier(schema) + '.' + QuotedIdentifier(name);
}

ReadingLimits& readingLimits() {
    static ReadingLimits limits;
    return limits;
}

void ReadingTransaction::open(odbc::Connection& connection, const std::string& connectionString) {
    const ReadingLimits& limits = readingLimits();
    // libpq's own options, passed on by the driver: its keepalive options alone cannot
    // set the probes' count or bound a request that is never acknowledged. The session
    // shows as kestrove's in the server's activity unless PGAPPNAME names it otherwise.
    connection.setDriverOptions(
        "pqopt={fallback_application_name=kestrove keepalives=1 keepalives_idle=" +
        std::to_string(limits.keepaliveIdleSeconds) +
        " keepalives_interval=" + std::to_string(limits.keepaliveIntervalSeconds) +
        " keepalives_count=" + std::to_string(limits.keepaliveCount) +
        " tcp_user_timeout=" + std::to_string(limits.unacknowledgedTimeout.count()) + "}");
    connection.open(connectionString);
    m_connection = &connection;
    m_locks.clear();
    // Set by SQL for the session: the driver accepts the read-only attribute and ignores it.
    connection.execute("SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY");
    connection.execute("SET lock_timeout = " + std::to_string(limits.lockTimeout.count()));
    m_uncheckedBytes =
        connection.execute("SELECT pg_catalog.current_setting('server_encoding') = 'SQL_ASCII'").value(0) ==
        std::optional<std::string>("1");
    connection.setAutocommit(false);
}

void ReadingTransaction::lock(const std::vector<TableName>& tables) {
    if (tables.empty())
        return;
    // All at once where every lock can be had; one at a time to find those that cannot.
    std::string list;
    for (const TableName& table : tables)
        list += (list.empty() ? "" : ", ") + table.quoted();
    try {
        connection().execute("LOCK TABLE " + list + " IN ACCESS SHARE MODE");
        for (const TableName& table : tables)
            m_locks[table] = nullptr;
        return;
    } catch (const odbc::OdbcError&) {
    }
    // The lock time-out has been waited for once: what is still held now is reported.
    for (const TableName& table : tables)
        lockOne(table, " NOWAIT");
}

void ReadingTransaction::lockOne(const TableName& table, const char* wait) {
    try {
        connection().execute("LOCK TABLE " + table.quoted() + " IN ACCESS SHARE MODE" + wait);
        m_locks[table] = nullptr;
    } catch (const odbc::OdbcError&) {
        m_locks[table] = std::current_exception();
    }
}

void ReadingTransaction::requireLock(const TableName& table) {
    auto found = m_locks.find(table);
    if (found == m_locks.end()) {
        lockOne(table, "");
        found = m_locks.find(table);
    }
    if (found->second)
        std::rethrow_exception(found->second);
}

void ReadingTransaction::end() noexcept {
    m_locks.clear();
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
        throw odbc::OdbcError("The operation is not allowed when the object is closed.", "08003");
    return *m_connection;
}

} // namespace kestrove
