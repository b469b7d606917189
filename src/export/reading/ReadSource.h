#pragma once

// What a sheet reads: a table, or the result of a query.

#include "export/reading/TableName.h"

#include <string>
#include <utility>

namespace kestrove {

// A table, or the result of a query (its one statement, as singleStatement() gives it),
// read the same way in the same snapshot.
struct ReadSource {
    ReadSource(TableName table) : table(std::move(table)) {}
    static ReadSource ofQuery(std::string statement) {
        ReadSource source(TableName{});
        source.query = std::move(statement);
        return source;
    }
    bool isQuery() const { return !query.empty(); }

    TableName table;
    std::string query;
};

} // namespace kestrove
