#pragma once

// A query the user wrote, as the export reads its result: one statement, checked and
// made ready to run inside the statements that describe, count and read it.

#include <QString>

#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrove {

// A query whose result becomes a sheet of a command's export: the name its sheet is named
// after, its one statement, and how many of the tables named come before it.
struct QuerySheet {
    QString name;
    QString statement;
    int afterTables = 0;
};

// A query text that is not one statement.
class QueryTextError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The one statement of a query text, less a trailing ';' (and the blanks and comments
// around it). Quotes, quoted names, dollar quoting and comments are read as the server
// reads them, so that a ';' inside them counts for nothing. Throws QueryTextError when
// the text holds no statement or more than one.
std::string singleStatement(std::string_view text);

// Whether the statement is one that changes rows (INSERT, UPDATE, DELETE, MERGE), which
// cannot stand inside another statement; the export runs it on its own, for the server to
// refuse it as it refuses any write in a read-only transaction.
bool changesRows(std::string_view statement);

// The query as a subquery of another statement, its result columns named c1 to
// `columns` (all of them unnamed when 0): "(\n<query>\n) AS q(c1, c2)". The text goes
// in as written, on lines of its own, so that a comment at its end ends there.
std::string asSubquery(const std::string& statement, int columns);

} // namespace kestrove
