#pragma once

// How the reader asks for the rows of a table or a query's result: each column by its
// base type (domains followed to the end), and the select list that reads it as the
// export writes it.

#include "export/reading/TableName.h"
#include "platform/odbc/Odbc.h"

#include <string>
#include <vector>

namespace kestrove {

// The server's category of a base type (pg_type.typcategory); Unknown also for a code
// it may add.
enum class TypeCategory : char {
    Array = 'A',
    Boolean = 'B',
    Composite = 'C',
    DateTime = 'D',
    Enum = 'E',
    Geometric = 'G',
    NetworkAddress = 'I',
    Numeric = 'N',
    Pseudo = 'P',
    Range = 'R',
    String = 'S',
    Timespan = 'T',
    UserDefined = 'U',
    BitString = 'V',
    Unknown = 'X',
    Internal = 'Z',
};

// A column by its base type, and how the select list refers to it.
struct Column {
    std::string name;
    std::string reference;
    unsigned long type = 0;
    TypeCategory category = TypeCategory::Unknown;
    long length = -1;     // of a char(n), else -1
    std::string typeName; // the base type's as the server names it ("double precision")
};

// Whether the column holds numbers (of any numeric type), and floating-point ones (real,
// double precision), whose every finite value a spreadsheet number holds exactly.
bool holdsNumbers(const Column& column);
bool isFloatingPoint(const Column& column);

// The columns of a table in its order. The table reaches the server as a bound
// parameter, never inside the SQL text.
std::vector<Column> columnsOf(odbc::Connection& connection, const TableName& table);

// The columns of a query's result in its order, under their own names (the same name
// may come twice), described with no row. A query that changes rows is run where the
// read-only transaction refuses it, and throws as the server does.
std::vector<Column> columnsOfQuery(odbc::Connection& connection, const std::string& query);

// The statement that reads every row from `from`: SELECT * unless a column needs to be
// asked for otherwise, then every column in its order under its own name. Marks the
// date and time columns in `dateOrTime` and those sent as escaped bytes (where the
// server does not check that texts are UTF-8: `uncheckedBytes`) in `escaped`.
std::string selectFor(const std::vector<Column>& columns, const std::string& from,
                      bool uncheckedBytes, std::vector<bool>& dateOrTime,
                      std::vector<bool>& escaped);

// Undoes what the select list asked for as escaped bytes: "\\" is a backslash, "\ooo" a
// byte in octal.
void unescapeBytes(std::string& text);

// About the bytes of a row's text, taken without reading a toasted value: the stored
// length of each text, the stored size of anything else.
std::string rowBytesFor(const std::vector<Column>& columns);

} // namespace kestrove
