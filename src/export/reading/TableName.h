#pragma once

// A table as the list names it, and a name written as an SQL identifier.

#include <string>

namespace kestrove {

// A name as an SQL identifier: in double quotes, each '"' doubled.
std::string QuotedIdentifier(const std::string& name);

// A table as the list holds it: its schema (empty: found through the search path) and name.
struct TableName {
    std::string schema;
    std::string name;

    // "schema"."name", or "name" without a schema, each part quoted as an identifier.
    std::string quoted() const;
    bool operator<(const TableName& other) const {
        return schema != other.schema ? schema < other.schema : name < other.name;
    }
};

} // namespace kestrove
