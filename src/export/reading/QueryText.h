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
// reads them, so that a ';' inside them counts for nothing; a backslash in a plain
// string is read both ways (as the server does with standard_conforming_strings on and
// off), and the text must be one statement in both. Throws QueryTextError when the text
// holds no statement or more than one, or a '?' outside quotes, which the driver would
// take for a parameter, or a statement whose result cannot be read as rows (SHOW, EXPLAIN,
// CALL, DO, SET, COPY and the server's other commands but SELECT, VALUES, TABLE, WITH and
// those of changesRows()).
std::string singleStatement(std::string_view text);

// Whether the statement is one that changes rows (INSERT, UPDATE, DELETE, MERGE), which
// cannot stand inside another statement; the export runs it on its own, for the server to
// refuse it as it refuses any write in a read-only transaction.
bool changesRows(std::string_view statement);

// The start of a statement that reads the query's result as "q", its result columns named
// c1 to `columns` (under their own names when 0): "WITH q(c1, c2) AS (\n<query>\n) ".
// The text goes in as written, on lines of its own, so that a comment at its end ends
// there; a ';' the server would read in it leaves the parenthesis open, so that the
// server refuses the whole text before it runs any of it.
std::string withQuery(const std::string& statement, int columns);

} // namespace kestrove
