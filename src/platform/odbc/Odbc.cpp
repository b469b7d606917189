#include "platform/odbc/Odbc.h"

#include "platform/odbc/RunningStatements.h"
#include "platform/text/Utf8.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <type_traits>
#include <utility>

namespace kestrove::odbc {

OdbcError::OdbcError(const std::string& message, std::string sqlState)
    : std::runtime_error(message), m_sqlState(std::move(sqlState)) {}

std::string sqlStateOf(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const OdbcError& error) {
        return error.sqlState();
    } catch (...) {
        return {};
    }
}

namespace {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager must use UTF-16");

SQLWCHAR* wide(std::u16string& text) {
    return reinterpret_cast<SQLWCHAR*>(text.data());
}

[[noreturn]] void throwDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle, const char* fallback) {
    std::string message;
    std::string state;
    for (SQLSMALLINT record = 1; handle != SQL_NULL_HANDLE; ++record) {
        SQLWCHAR sqlState[6] = {};
        SQLWCHAR text[SQL_MAX_MESSAGE_LENGTH] = {};
        SQLINTEGER nativeError = 0;
        SQLSMALLINT length = 0;
        const SQLRETURN rc = SQLGetDiagRecW(handleType, handle, record, sqlState, &nativeError,
                                            text, SQL_MAX_MESSAGE_LENGTH, &length);
        if (!SQL_SUCCEEDED(rc))
            break;
        if (!message.empty())
            message += "\n";
        utf8::appendFromUtf16(
            message, reinterpret_cast<const char16_t*>(text),
            std::min<std::size_t>(static_cast<std::size_t>(length), SQL_MAX_MESSAGE_LENGTH - 1));
        if (state.empty())
            utf8::appendFromUtf16(state, reinterpret_cast<const char16_t*>(sqlState), 5);
    }
    throw OdbcError(message.empty() ? std::string(fallback) : message, state);
}

void check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const char* what) {
    if (!SQL_SUCCEEDED(rc))
        throwDiagnostics(handleType, handle, what);
}

// Reads a value longer than its bound buffer with SQLGetData, piece by piece, appending
// it to `out` as UTF-8; false for Null. A narrow text is the server's bytes as they come;
// a UTF-16 piece may end in half a surrogate pair, which is kept for the next piece so
// that a character is never cut in two.
bool appendWholeValue(SQLHSTMT stmt, SQLUSMALLINT column, bool narrow, std::string& out) {
    char16_t buffer[4096];
    std::size_t held = 0;
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN got =
            narrow ? SQLGetData(stmt, column, SQL_C_CHAR, buffer, sizeof buffer, &indicator)
                   : SQLGetData(stmt, column, SQL_C_WCHAR, buffer + held,
                                static_cast<SQLLEN>(sizeof buffer - held * sizeof(char16_t)),
                                &indicator);
        if (got == SQL_NO_DATA)
            break;
        check(got, SQL_HANDLE_STMT, stmt, "A value could not be read.");
        if (indicator == SQL_NULL_DATA)
            return false;
        const bool whole = got == SQL_SUCCESS;
        if (narrow) {
            // A piece that did not fit ends in the terminating zero.
            const std::size_t room = sizeof buffer - 1;
            const std::size_t bytes =
                indicator == SQL_NO_TOTAL || static_cast<std::size_t>(indicator) > room
                    ? room
                    : static_cast<std::size_t>(indicator);
            out.append(reinterpret_cast<const char*>(buffer), bytes);
        } else {
            const std::size_t capacity = sizeof buffer / sizeof(char16_t) - held - 1;
            std::size_t chars = held + ((indicator == SQL_NO_TOTAL ||
                                         static_cast<std::size_t>(indicator) / 2 > capacity)
                                            ? capacity
                                            : static_cast<std::size_t>(indicator) / 2);
            held = !whole && chars > 0 && buffer[chars - 1] >= 0xD800 && buffer[chars - 1] < 0xDC00;
            chars -= held;
            utf8::appendFromUtf16(out, buffer, chars);
            if (held)
                buffer[0] = buffer[chars];
        }
        if (whole)
            break;
    }
    if (held)
        utf8::appendFromUtf16(out, buffer, held);
    return true;
}

} // namespace

// Owns an environment, a connection or a statement handle, in that nesting.
struct Handles {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;

    ~Handles() {
        if (stmt != SQL_NULL_HSTMT)
            SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        if (dbc != SQL_NULL_HDBC) {
            SQLDisconnect(dbc);
            SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        }
        if (env != SQL_NULL_HENV)
            SQLFreeHandle(SQL_HANDLE_ENV, env);
    }
};

Connection::Connection() : m_handles(std::make_unique<Handles>()) {
    check(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_handles->env), SQL_HANDLE_ENV,
          SQL_NULL_HANDLE, "The ODBC environment could not be created.");
    check(SQLSetEnvAttr(m_handles->env, SQL_ATTR_ODBC_VERSION,
                        reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
          SQL_HANDLE_ENV, m_handles->env, "The ODBC version could not be set.");
    check(SQLAllocHandle(SQL_HANDLE_DBC, m_handles->env, &m_handles->dbc), SQL_HANDLE_ENV,
          m_handles->env, "The ODBC connection could not be created.");
}

Connection::~Connection() = default;

void Connection::open(const std::string& connectionString) {
    if (m_open)
        throw OpenObjectError();
    SQLSetConnectAttrW(m_handles->dbc, SQL_ATTR_LOGIN_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLLEN>(LoginTimeoutSeconds)), 0);
    std::u16string text = utf8::toUtf16(connectionString);
    SQLSMALLINT outLength = 0;
    check(SQLDriverConnectW(m_handles->dbc, nullptr, wide(text),
                            static_cast<SQLSMALLINT>(text.size()), nullptr, 0, &outLength,
                            SQL_DRIVER_NOPROMPT),
          SQL_HANDLE_DBC, m_handles->dbc, "The connection could not be opened.");
    m_open = true;
}

int Connection::state() const noexcept {
    return m_open ? StateOpen : StateClosed;
}

void Connection::close() {
    if (!m_open)
        throw ClosedObjectError("08003");
    SQLEndTran(SQL_HANDLE_DBC, m_handles->dbc, SQL_ROLLBACK);
    SQLDisconnect(m_handles->dbc);
    m_open = false;
}

RecordSet Connection::execute(const std::string& sql, const std::vector<std::string>& parameters) {
    RecordSet records;
    records.open(sql, *this, parameters);
    return records;
}

void Connection::setAutocommit(bool on) {
    if (!m_open)
        throw ClosedObjectError("08003");
    check(SQLSetConnectAttrW(
              m_handles->dbc, SQL_ATTR_AUTOCOMMIT,
              reinterpret_cast<SQLPOINTER>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), 0),
          SQL_HANDLE_DBC, m_handles->dbc, "Autocommit could not be switched.");
}

void Connection::endTransaction() {
    if (!m_open)
        throw ClosedObjectError("08003");
    check(SQLEndTran(SQL_HANDLE_DBC, m_handles->dbc, SQL_COMMIT), SQL_HANDLE_DBC, m_handles->dbc,
          "The transaction could not be ended.");
}

void* Connection::nativeHandle() const {
    return m_handles->dbc;
}

RecordSet::RecordSet() = default;
RecordSet::~RecordSet() = default;
RecordSet::RecordSet(RecordSet&&) noexcept = default;
RecordSet& RecordSet::operator=(RecordSet&&) noexcept = default;

namespace {

// Runs one statement on a statement handle of its own and describes its columns.
std::unique_ptr<Handles> runStatement(const std::string& sql, Connection& connection,
                                      const std::vector<std::string>& parameters,
                                      std::vector<Field>& fields) {
    if (connection.state() != StateOpen)
        throw ClosedObjectError("08003");
    auto handles = std::make_unique<Handles>();
    const auto dbc = static_cast<SQLHDBC>(connection.nativeHandle());
    check(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &handles->stmt), SQL_HANDLE_DBC, dbc,
          "The statement could not be created.");
    // The bound texts and their lengths must stay in place until the statement has run.
    std::vector<std::u16string> values;
    std::vector<SQLLEN> lengths(parameters.size());
    values.reserve(parameters.size());
    for (std::size_t p = 0; p < parameters.size(); ++p) {
        values.push_back(utf8::toUtf16(parameters[p]));
        lengths[p] = static_cast<SQLLEN>(values[p].size() * sizeof(char16_t));
        check(SQLBindParameter(handles->stmt, static_cast<SQLUSMALLINT>(p + 1), SQL_PARAM_INPUT,
                               SQL_C_WCHAR, SQL_WVARCHAR, std::max<SQLULEN>(values[p].size(), 1), 0,
                               wide(values[p]), lengths[p], &lengths[p]),
              SQL_HANDLE_STMT, handles->stmt, "A parameter could not be bound.");
    }
    std::u16string text = utf8::toUtf16(sql);
    SQLRETURN executed = SQL_ERROR;
    {
        const RunningStatement running(handles->stmt);
        executed = SQLExecDirectW(handles->stmt, wide(text), static_cast<SQLINTEGER>(text.size()));
    }
    check(executed, SQL_HANDLE_STMT, handles->stmt, "The query failed.");

    // Of several statements, the rows are those of the first that returns rows.
    SQLSMALLINT columns = 0;
    for (;;) {
        check(SQLNumResultCols(handles->stmt, &columns), SQL_HANDLE_STMT, handles->stmt,
              "The result has no columns.");
        if (columns > 0)
            break;
        const SQLRETURN more = SQLMoreResults(handles->stmt);
        if (more == SQL_NO_DATA)
            break;
        check(more, SQL_HANDLE_STMT, handles->stmt, "The query failed.");
    }
    fields.clear();
    for (SQLUSMALLINT column = 1; column <= columns; ++column) {
        SQLWCHAR name[512] = {};
        SQLSMALLINT nameLength = 0, sqlType = 0, decimals = 0, nullable = 0;
        SQLULEN size = 0;
        check(SQLDescribeColW(handles->stmt, column, name, 512, &nameLength, &sqlType, &size,
                              &decimals, &nullable),
              SQL_HANDLE_STMT, handles->stmt, "A column could not be described.");
        Field field;
        utf8::appendFromUtf16(field.name, reinterpret_cast<const char16_t*>(name),
                              std::min<std::size_t>(static_cast<std::size_t>(nameLength), 511));
        field.type = typeCodeFromSqlType(sqlType);
        fields.push_back(std::move(field));
    }
    return handles;
}

} // namespace

void RecordSet::open(const std::string& sql, Connection& connection,
                     const std::vector<std::string>& parameters) {
    if (m_open)
        throw OpenObjectError();
    std::vector<Field> fields;
    auto handles = runStatement(sql, connection, parameters, fields);
    // Each column is bound to a buffer that takes most values whole, so that a row is one
    // call into the driver; a longer value is read in pieces afterwards.
    std::vector<char16_t> bound(fields.size() * BoundUnits);
    std::vector<SQLLEN> boundLengths(fields.size());
    for (std::size_t j = 0; j < fields.size(); ++j)
        check(SQLBindCol(handles->stmt, static_cast<SQLUSMALLINT>(j + 1), SQL_C_WCHAR,
                         &bound[j * BoundUnits], static_cast<SQLLEN>(BoundUnits * sizeof(char16_t)),
                         &boundLengths[j]),
              SQL_HANDLE_STMT, handles->stmt, "A column could not be bound.");
    m_handles = std::move(handles);
    m_fields = std::move(fields);
    m_bound = std::move(bound);
    m_boundLengths = std::move(boundLengths);
    m_rows.clear();
    m_open = true;
    // A result without columns has nothing to fetch (the driver refuses to try).
    for (std::vector<std::optional<std::string>> row; !m_fields.empty() && fetchRow(row);)
        m_rows.push_back(std::move(row));
    SQLFreeStmt(m_handles->stmt, SQL_CLOSE);
    m_position = 0;
    m_eof = m_rows.empty();
}

static_assert(std::is_same_v<SQLLEN, long>, "the header keeps bound lengths as long");

bool RecordSet::fetchRow(std::vector<std::optional<std::string>>& row) {
    const SQLRETURN rc = SQLFetch(m_handles->stmt);
    if (rc == SQL_NO_DATA)
        return false;
    check(rc, SQL_HANDLE_STMT, m_handles->stmt, "A row could not be fetched.");
    row.resize(m_fields.size());
    for (std::size_t j = 0; j < m_fields.size(); ++j) {
        std::optional<std::string>& slot = row[j];
        if (!slot)
            slot.emplace();
        std::string& value = *slot;
        value.clear();
        const SQLLEN length = m_boundLengths[j];
        if (length == SQL_NULL_DATA) {
            slot.reset();
            continue;
        }
        if (length >= 0 && static_cast<std::size_t>(length) / sizeof(char16_t) < BoundUnits) {
            utf8::appendFromUtf16(value, &m_bound[j * BoundUnits],
                                  static_cast<std::size_t>(length) / sizeof(char16_t));
            continue;
        }
        if (!appendWholeValue(m_handles->stmt, static_cast<SQLUSMALLINT>(j + 1), false, value))
            slot.reset();
    }
    return true;
}

int RecordSet::state() const noexcept {
    return m_open ? StateOpen : StateClosed;
}

void RecordSet::close() {
    requireOpen();
    m_handles.reset();
    m_fields.clear();
    m_rows.clear();
    m_open = false;
    m_eof = true;
}

void RecordSet::requireOpen() const {
    if (!m_open)
        throw ClosedObjectError("HY010");
}

long RecordSet::recordCount() const {
    requireOpen();
    return static_cast<long>(m_rows.size());
}

int RecordSet::fieldCount() const {
    requireOpen();
    return static_cast<int>(m_fields.size());
}

const Field& RecordSet::field(int ordinal) const {
    requireOpen();
    if (ordinal < 0 || static_cast<std::size_t>(ordinal) >= m_fields.size())
        throw OdbcError("Item cannot be found in the collection.", "07009");
    return m_fields[static_cast<std::size_t>(ordinal)];
}

const std::optional<std::string>& RecordSet::value(int ordinal) const {
    field(ordinal);
    if (m_eof)
        throw OdbcError("Either BOF or EOF is True, or the current record has been deleted.",
                        "24000");
    return m_rows[m_position][static_cast<std::size_t>(ordinal)];
}

bool RecordSet::eof() const {
    return m_eof;
}

void RecordSet::moveNext() {
    requireOpen();
    if (m_eof)
        throw OdbcError("Either BOF or EOF is True, or the current record has been deleted.",
                        "24000");
    ++m_position;
    m_eof = m_position >= m_rows.size();
}

namespace {
// Whether a column's values are bound as 64-bit numbers rather than as texts.
bool boundAsInteger(const Field& field) {
    return field.type == type::SmallInt || field.type == type::Integer ||
           field.type == type::BigInt;
}
} // namespace

RowArrays::RowArrays() = default;
RowArrays::~RowArrays() = default;

void RowArrays::open(const std::string& sql, Connection& connection) {
    close();
    m_handles = runStatement(sql, connection, {}, m_fields);
    m_capacity = 0;
    m_widths.assign(m_fields.size(), 0);
    m_buffers.resize(m_fields.size());
    m_lengths.resize(m_fields.size());
    check(SQLSetStmtAttr(m_handles->stmt, SQL_ATTR_ROWS_FETCHED_PTR, &m_fetched, 0),
          SQL_HANDLE_STMT, m_handles->stmt, "Rows could not be counted.");
}

void RowArrays::close() noexcept {
    m_handles.reset();
    m_fields.clear();
    m_positioned = 0;
}

std::size_t RowArrays::fetch(std::size_t rows, const std::vector<std::size_t>& widths) {
    if (!m_handles)
        throw ClosedObjectError("HY010");
    // A result without columns has nothing to fetch (the driver refuses to try).
    if (m_fields.empty())
        return 0;
    const SQLHSTMT stmt = m_handles->stmt;
    rows = std::max<std::size_t>(rows, 1);
    if (rows != m_capacity)
        check(SQLSetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(rows), 0),
              SQL_HANDLE_STMT, stmt, "The row array could not be sized.");
    for (std::size_t j = 0; j < m_fields.size(); ++j) {
        // Each text ends in a zero byte; an integer fills a 64-bit number.
        const bool integer = boundAsInteger(m_fields[j]);
        const std::size_t width = integer
                                      ? sizeof(SQLBIGINT)
                                      : std::max<std::size_t>(j < widths.size() ? widths[j] : 0, 8);
        if (rows == m_capacity && width == m_widths[j])
            continue;
        m_buffers[j].resize(rows * width);
        m_lengths[j].resize(rows);
        m_widths[j] = width;
        check(SQLBindCol(stmt, static_cast<SQLUSMALLINT>(j + 1),
                         integer ? SQL_C_SBIGINT : SQL_C_CHAR, m_buffers[j].data(),
                         static_cast<SQLLEN>(width), m_lengths[j].data()),
              SQL_HANDLE_STMT, stmt, "A column could not be bound.");
    }
    m_capacity = rows;
    m_positioned = 0;
    m_fetched = 0;
    const SQLRETURN rc = SQLFetch(stmt);
    if (rc == SQL_NO_DATA)
        return 0;
    check(rc, SQL_HANDLE_STMT, stmt, "A row could not be fetched.");
    return std::min<std::size_t>(m_fetched, rows);
}

bool RowArrays::appendValue(std::size_t row, std::size_t column, std::string& out) {
    const SQLLEN length = m_lengths[column][row];
    if (length == SQL_NULL_DATA)
        return false;
    const std::size_t width = m_widths[column];
    if (boundAsInteger(m_fields[column])) {
        SQLBIGINT value = 0;
        std::memcpy(&value, &m_buffers[column][row * width], sizeof value);
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        out.append(digits, end);
        return true;
    }
    if (length >= 0 && static_cast<std::size_t>(length) < width) {
        out.append(&m_buffers[column][row * width], static_cast<std::size_t>(length));
        return true;
    }
    // Cut by its buffer: the whole value is read again from the driver's copy of the row.
    const SQLHSTMT stmt = m_handles->stmt;
    if (m_positioned != row + 1) {
        check(
            SQLSetPos(stmt, static_cast<SQLSETPOSIROW>(row + 1), SQL_POSITION, SQL_LOCK_NO_CHANGE),
            SQL_HANDLE_STMT, stmt, "A row could not be reached.");
        m_positioned = row + 1;
    }
    return appendWholeValue(stmt, static_cast<SQLUSMALLINT>(column + 1), true, out);
}

bool RowArrays::fetchUnbound() {
    if (!m_handles)
        throw ClosedObjectError("HY010");
    const SQLRETURN fetched = SQLFetch(m_handles->stmt);
    if (fetched == SQL_NO_DATA)
        return false;
    check(fetched, SQL_HANDLE_STMT, m_handles->stmt, "A row could not be fetched.");
    return true;
}

std::optional<std::string> RowArrays::bytes(std::size_t column, std::size_t room) {
    const SQLHSTMT stmt = m_handles->stmt;
    const auto ordinal = static_cast<SQLUSMALLINT>(column + 1);
    // The driver copies a value whole when it fits (one pass over it to count its bytes);
    // else what did not fit comes in a second call.
    std::string value(room + 1, '\0');
    SQLLEN length = 0;
    check(SQLGetData(stmt, ordinal, SQL_C_BINARY, value.data(), static_cast<SQLLEN>(value.size()),
                     &length),
          SQL_HANDLE_STMT, stmt, "A value could not be read.");
    if (length == SQL_NULL_DATA)
        return std::nullopt;
    if (length == SQL_NO_TOTAL || length < 0)
        throw OdbcError("A value came without its length.", "HY000");
    const auto total = static_cast<std::size_t>(length);
    if (total < value.size()) {
        value.resize(total);
        return value;
    }
    // What came is the whole less what is left, which a call with no room tells.
    check(SQLGetData(stmt, ordinal, SQL_C_BINARY, value.data(), 0, &length), SQL_HANDLE_STMT, stmt,
          "A value could not be read.");
    const std::size_t came = total - static_cast<std::size_t>(length);
    value.resize(total + 1);
    check(SQLGetData(stmt, ordinal, SQL_C_BINARY, value.data() + came,
                     static_cast<SQLLEN>(value.size() - came), &length),
          SQL_HANDLE_STMT, stmt, "A value could not be read.");
    value.resize(total);
    return value;
}

} // namespace kestrove::odbc
