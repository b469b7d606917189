#pragma once

// A thin layer straight on the ODBC API: one owner per handle, one exception type
// carrying the driver's diagnostic, and a connection / record-set pair with the
// members the program's handlers call.

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrove::odbc {

// A failure reported by the driver manager or the driver; what() holds the
// driver's own message, which becomes the description of an error report.
class OdbcError : public std::runtime_error {
public:
    OdbcError(const std::string& message, std::string sqlState);
    const std::string& sqlState() const noexcept { return m_sqlState; }

private:
    std::string m_sqlState;
};

// The failure of a use of a connection or its rows while they are closed, with its
// SQLSTATE: 08003 for a connection, HY010 for rows.
inline OdbcError ClosedObjectError(const char* sqlState) {
    return OdbcError("The operation is not allowed when the object is closed.", sqlState);
}
// The failure of opening a connection or rows that are open already.
inline OdbcError OpenObjectError() {
    return OdbcError("The operation is not allowed when the object is open.", "HY010");
}

// The SQLSTATE of a failure the driver reported; empty for any other failure.
std::string sqlStateOf(const std::exception_ptr& failure);

// Whether a failure is the connection's own (SQLSTATE class 08, or the server process
// ended), so that nothing more can be read on it.
inline bool endsTheConnection(const std::exception_ptr& failure) {
    const std::string state = sqlStateOf(failure);
    return state.rfind("08", 0) == 0 || state.rfind("57P", 0) == 0;
}

// Field type codes in the numbering the handlers test against.
namespace type {
constexpr int SmallInt = 2;
constexpr int Integer = 3;
constexpr int Single = 4;
constexpr int Double = 5;
constexpr int Boolean = 11;
constexpr int TinyInt = 16;
constexpr int BigInt = 20;
constexpr int Guid = 72;
constexpr int Binary = 128;
constexpr int Char = 129;
constexpr int WChar = 130;
constexpr int Numeric = 131;
constexpr int DBDate = 133;
constexpr int DBTime = 134;
constexpr int DBTimeStamp = 135;
constexpr int VarChar = 200;
constexpr int LongVarChar = 201;
constexpr int VarWChar = 202;
constexpr int LongVarWChar = 203;
constexpr int VarBinary = 204;
constexpr int LongVarBinary = 205;
} // namespace type

// Maps an ODBC SQL data type (SQL_INTEGER, SQL_LONGVARBINARY, ...) to its type code.
int typeCodeFromSqlType(int sqlType) noexcept;

constexpr int StateClosed = 0;
constexpr int StateOpen = 1;
// A cursor location and a connection mode, as the handlers set them; the driver needs
// neither.
constexpr int CursorLocationClient = 3;
constexpr int ModeReadWrite = 3;
constexpr int LoginTimeoutSeconds = 15;

struct Handles;

class Connection {
public:
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Kept for the handlers that set them; the driver needs neither, and nothing keeps them.
    void setCursorLocation(int) {}
    void setMode(int) {}
    // Opens with the whole connection string, passed to the driver unchanged; login
    // time-out 15 s.
    void open(const std::string& connectionString);
    int state() const noexcept;
    void close();

    // Runs one statement and returns its whole result as a buffered record set (of
    // several statements, the first that returns rows). Each '?' of the statement takes
    // the next of `parameters`, bound as text: values never become part of the SQL text.
    class RecordSet execute(const std::string& sql,
                            const std::vector<std::string>& parameters = {});

    // With autocommit off, statements run in one transaction until endTransaction().
    void setAutocommit(bool on);
    // Commits the transaction under way (what it read stays read; its locks go).
    void endTransaction();

    void* nativeHandle() const;

private:
    std::unique_ptr<Handles> m_handles;
    bool m_open = false;
};

struct Field {
    std::string name;
    int type = 0;
};

// The rows of one query. open() fetches every row at once (a client-side static
// cursor: the record count is exact before the first row is read). Many rows are read
// through RowArrays instead.
class RecordSet {
public:
    RecordSet();
    ~RecordSet();
    RecordSet(RecordSet&&) noexcept;
    RecordSet& operator=(RecordSet&&) noexcept;

    void open(const std::string& sql, Connection& connection,
              const std::vector<std::string>& parameters = {});
    int state() const noexcept;
    void close();

    // Number of rows; throws when none is open.
    long recordCount() const;
    int fieldCount() const;
    const Field& field(int ordinal) const;
    // The current row's value as text (UTF-8), nullopt for Null.
    const std::optional<std::string>& value(int ordinal) const;
    bool eof() const;
    void moveNext();

private:
    void requireOpen() const;
    // Reads the next row into `row`; false at the end.
    bool fetchRow(std::vector<std::optional<std::string>>& row);

    std::unique_ptr<Handles> m_handles;
    bool m_open = false;
    std::vector<Field> m_fields;
    // Bound column buffers (UTF-16, BoundUnits per column) and the lengths the driver sets.
    static constexpr std::size_t BoundUnits = 512;
    std::vector<char16_t> m_bound;
    std::vector<long> m_boundLengths;
    std::vector<std::vector<std::optional<std::string>>> m_rows;
    std::size_t m_position = 0;
    bool m_eof = true;
};

// The rows of one query fetched in arrays: each fetch asks the driver for many rows at
// once, column by column, into buffers of a given width per value. A value wider than
// its buffer is read whole afterwards. Texts come as the driver's narrow characters,
// which are the server's UTF-8 bytes where the connection string names UTF-8 as the
// session's encoding. Integers come as numbers, which the driver parses at less cost than
// it copies their text, and are given back as their digits, the server's own.
class RowArrays {
public:
    RowArrays();
    ~RowArrays();
    RowArrays(const RowArrays&) = delete;
    RowArrays& operator=(const RowArrays&) = delete;

    void open(const std::string& sql, Connection& connection);
    void close() noexcept;
    const std::vector<Field>& fields() const { return m_fields; }

    // Fetches up to `rows` rows into buffers of widths[j] bytes for column j; returns how
    // many came, 0 once the result is exhausted.
    std::size_t fetch(std::size_t rows, const std::vector<std::size_t>& widths);
    // Appends the value of a fetched row as UTF-8 to `out`; false (nothing appended) for Null.
    bool appendValue(std::size_t row, std::size_t column, std::string& out);
    // Instead of fetch(): the next row, with no buffers; false at the end. Then bytes()
    // reads each of its values once, in column order, as the driver's bytes, unchanged,
    // in one piece where it has `room` bytes at most.
    bool fetchUnbound();
    std::optional<std::string> bytes(std::size_t column, std::size_t room);

private:
    std::unique_ptr<Handles> m_handles;
    std::vector<Field> m_fields;
    std::size_t m_capacity = 0; // rows the buffers hold
    std::vector<std::size_t> m_widths;
    std::vector<std::vector<char>> m_buffers;
    std::vector<std::vector<long>> m_lengths;
    unsigned long m_fetched = 0;
    std::size_t m_positioned = 0; // 1 + the row SQLGetData reads, 0 for none
};

} // namespace kestrove::odbc
