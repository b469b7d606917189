#include "export/reading/ReadColumns.h"

#include "export/reading/QueryText.h"

namespace kestrove {

namespace {
// Type numbers of the server's date and time types (date, time, timestamp, timestamptz,
// timetz), of bytea, char(n) and uuid.
bool isDateOrTime(unsigned long type) {
    return type == 1082 || type == 1083 || type == 1114 || type == 1184 || type == 1266;
}
constexpr unsigned long Bytea = 17;
constexpr unsigned long Bpchar = 1042;
constexpr unsigned long Uuid = 2950;
constexpr unsigned long Float4 = 700;
constexpr unsigned long Float8 = 701;

// A cell holds at most 32,767 UTF-16 units: of a longer text the server sends one
// character more than that, so that the cut is still seen, and never the megabytes.
// Where the server does not check its texts, a character is a byte, and four bytes hold
// at least one unit.
constexpr int CutChars = 32768;
constexpr int CutBytes = 4 * CutChars;

// A text column cut on the server past what a cell holds. Its stored length is read
// without fetching a toasted value, and substr reads only the slice it keeps.
std::string cutOnServer(const std::string& text, int most) {
    const std::string bound = std::to_string(most);
    return "CASE WHEN pg_catalog.octet_length(" + text + ") > " + bound +
           " THEN pg_catalog.substr(" + text + ", 1, " + bound + ") ELSE " + text + " END";
}

// The category of a typcategory code as the server sends it.
TypeCategory categoryOf(const std::optional<std::string>& code) {
    constexpr std::string_view Known = "ABCDEGINPRSTUVXZ";
    const char c = code && !code->empty() ? code->front() : 'X';
    return Known.find(c) != std::string_view::npos ? static_cast<TypeCategory>(c)
                                                   : TypeCategory::Unknown;
}
} // namespace

bool holdsNumbers(const Column& column) {
    return column.category == TypeCategory::Numeric;
}

bool isFloatingPoint(const Column& column) {
    return column.type == Float4 || column.type == Float8;
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

// The columns of a table in its order, domains followed to their base type. The table
// reaches the server as a bound parameter, never inside the SQL text.
std::vector<Column> columnsOf(odbc::Connection& connection, const TableName& table) {
    odbc::RecordSet rows = connection.execute(
        "WITH RECURSIVE c(attnum, attname, typid, typmod) AS ("
        " SELECT attnum, attname, atttypid, atttypmod FROM pg_catalog.pg_attribute"
        " WHERE attrelid = pg_catalog.to_regclass(?) AND attnum > 0 AND NOT attisdropped"
        " UNION ALL SELECT c.attnum, c.attname, t.typbasetype, t.typtypmod"
        " FROM c JOIN pg_catalog.pg_type t ON t.oid = c.typid WHERE t.typtype = 'd')"
        " SELECT c.attname, c.typid::pg_catalog.int8, t.typcategory, c.typmod,"
        " pg_catalog.format_type(c.typid, NULL)"
        " FROM c JOIN pg_catalog.pg_type t ON t.oid = c.typid WHERE t.typtype <> 'd' ORDER BY "
        "c.attnum",
        {table.quoted()});
    std::vector<Column> columns;
    for (; !rows.eof(); rows.moveNext()) {
        Column column;
        column.name = rows.value(0).value_or("");
        column.reference = QuotedIdentifier(column.name);
        column.type = std::stoul(rows.value(1).value_or("0"));
        column.category = categoryOf(rows.value(2));
        if (column.type == Bpchar && std::stol(rows.value(3).value_or("-1")) > 4)
            column.length = std::stol(rows.value(3).value_or("-1")) - 4;
        column.typeName = rows.value(4).value_or("");
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
                           " SELECT c.typid::pg_catalog.int8, t.typcategory,"
                           " pg_catalog.format_type(c.typid, NULL) FROM c JOIN "
                           "pg_catalog.pg_type t ON t.oid = c.typid"
                           " WHERE t.typtype <> 'd' ORDER BY c.n",
                           {typed.value(0).value_or("{}")});
    for (Column& column : columns) {
        if (base.eof())
            break;
        column.type = std::stoul(base.value(0).value_or("0"));
        column.category = categoryOf(base.value(1));
        column.typeName = base.value(2).value_or("");
        base.moveNext();
    }
    return columns;
}

namespace {
// How the select list asks for a column: as itself, or as the text the export writes.
// Marks date and time columns in `dateOrTime` and those sent as escaped bytes in `escaped`.
std::string expressionFor(const Column& column, bool uncheckedBytes, std::vector<bool>& dateOrTime,
                          std::vector<bool>& escaped) {
    const std::string& name = column.reference;
    // The driver writes numbers, booleans and uuids its own way; every other text may
    // hold bytes that are not UTF-8 where the server does not check them.
    const bool asBytes = uncheckedBytes && column.category != TypeCategory::Numeric &&
                         column.category != TypeCategory::Boolean && column.type != Uuid &&
                         column.type != Bytea && !isDateOrTime(column.type);
    dateOrTime.push_back(isDateOrTime(column.type));
    escaped.push_back(asBytes);
    if (isDateOrTime(column.type))
        return name + "::pg_catalog.text";
    if (column.type == Bytea)
        return "NULL::pg_catalog.bytea";
    // A char(n) keeps its trailing blanks, which substr would drop.
    const bool cut = column.category == TypeCategory::String && column.type != Bpchar;
    if (!asBytes)
        return cut ? cutOnServer(name, CutChars) : name;
    // As bytes, escaped into ASCII: the server then checks nothing on the way.
    // A char(n) keeps its trailing blanks, which its text form drops.
    // (Of a query, its length is not known: its own output keeps them.)
    const std::string text = column.length > 0 ? "pg_catalog.rpad(" + name + "::pg_catalog.text, " +
                                                     std::to_string(column.length) + ")"
                             : column.type == Bpchar
                                 ? "pg_catalog.textin(pg_catalog.bpcharout(" + name + "))"
                             : cut ? cutOnServer(name + "::pg_catalog.text", CutBytes)
                                   : name + "::pg_catalog.text";
    return "pg_catalog.encode(pg_catalog.convert_to(" + text + ", 'SQL_ASCII'), 'escape')";
}
} // namespace

// The statement that reads every row: SELECT * unless a column needs to be asked for
// otherwise, then every column in its order under its own name.
std::string selectFor(const std::vector<Column>& columns, const std::string& from,
                      bool uncheckedBytes, std::vector<bool>& dateOrTime,
                      std::vector<bool>& escaped) {
    std::string list;
    bool plain = true;
    for (const Column& column : columns) {
        const std::string expression = expressionFor(column, uncheckedBytes, dateOrTime, escaped);
        const std::string label = QuotedIdentifier(column.name);
        if (!list.empty())
            list += ", ";
        list += expression == label ? label : expression + " AS " + label;
        plain = plain && expression == label;
    }
    return "SELECT " + (plain ? std::string("*") : list) + " FROM " + from;
}

std::string rowBytesFor(const std::vector<Column>& columns) {
    std::string sum = std::to_string(columns.size() + 2);
    for (const Column& column : columns) {
        if (column.type == Bytea)
            continue;
        sum += " + COALESCE(" +
               std::string(column.category == TypeCategory::String ? "pg_catalog.octet_length("
                                                                   : "pg_catalog.pg_column_size(") +
               column.reference + "), 0)";
    }
    return sum;
}

} // namespace kestrove
