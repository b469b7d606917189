#pragma once

// The import's one consistent read, as a database dump makes it: every table from one
// read-only, repeatable-read transaction, each ticked table locked against rewriting
// before the first row is read, waits bounded, and the transaction ended as soon as the
// last table is read.

#include "export/reading/TableName.h"
#include "platform/odbc/Odbc.h"

#include <chrono>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrove {

// How long the reading may wait on others.
struct ReadingLimits {
    // For a table's lock, held by another session's ALTER, TRUNCATE or DROP.
    std::chrono::milliseconds lockTimeout{5000};
    // A server that stops answering at the network level: TCP keepalives after this much
    // silence, then probes; and at most this long for sent data to be acknowledged.
    int keepaliveIdleSeconds = 30;
    int keepaliveIntervalSeconds = 10;
    int keepaliveCount = 6;
    std::chrono::milliseconds unacknowledgedTimeout{90000};
    // The text one range of a table's blocks aims at.
    std::size_t rangeTextBytes = 4 << 20;
};
// The limits in force (tests shorten them).
ReadingLimits& readingLimits();

class ReadingTransaction {
public:
    // Opens the connection with the driver's string (which should carry the keepalives of
    // readingLimits()) and prepares its session for the transaction, which starts with the
    // first lock.
    void open(odbc::Connection& connection, const std::string& connectionString);
    // Locks the relations against rewriting (TRUNCATE, ALTER, CLUSTER, DROP, REFRESH) until the
    // transaction ends. Call before any table is read; a table whose lock cannot be had
    // within the lock time-out is remembered with its failure.
    void lock(const std::vector<TableName>& tables);
    // Before a table is read: throws its lock's failure, or locks a table that was not
    // among those of lock().
    void requireLock(const TableName& table);
    // Whether a table is locked without failure, so that it can be read at once.
    bool holdsLock(const TableName& table) const;
    // Opens up to `count` further connections that read in this transaction's snapshot,
    // so that several tables can be read at once. Works only where lock() took every lock
    // at once; a connection that cannot join is left out. Call right after lock().
    void addReaders(const std::string& connectionString, std::size_t count);
    // Connections that read in the snapshot: the first is connection(), the others those
    // of addReaders(), which may read only the tables of lock().
    // Before a table is read on a connection: requireLock() on the first; on the others,
    // the same lock without waiting, which fails where another session waits for one.
    void lockBefore(std::size_t reader, const TableName& table);
    std::size_t readers() const { return 1 + m_readers.size(); }
    odbc::Connection& connection(std::size_t reader) const;
    // Ends the transaction: every lock goes, and the further connections close. A table
    // read after this starts a new one.
    void end() noexcept;

    odbc::Connection& connection() const;
    // Whether the database hands over its bytes unchecked (SQL_ASCII): then its texts may
    // hold bytes that are not UTF-8.
    bool uncheckedBytes() const { return m_uncheckedBytes; }

private:
    void lockOne(const TableName& table, const char* wait);
    // Whether LOCK takes the relation (a table, a partitioned table or a view).
    bool takesLock(const TableName& table);

    void prepare(odbc::Connection& connection, const std::string& connectionString);

    odbc::Connection* m_connection = nullptr;
    bool m_uncheckedBytes = false;
    // Tables locked (no failure) or whose lock failed; readers of several threads ask.
    mutable std::mutex m_locksMutex;
    std::map<TableName, std::exception_ptr> m_locks;
    // The snapshot lock() took with every lock at once, for further readers to share.
    std::string m_snapshot;
    std::vector<std::unique_ptr<odbc::Connection>> m_readers;
};

} // namespace kestrove
