#pragma once

// Relations named the way psql reads names: a relation's exact name first, else the name
// read by PostgreSQL's rules; any relation a SELECT can read (tables, partitioned tables,
// views, materialized views, foreign tables).

#include "platform/odbc/Odbc.h"

#include <QString>

#include <optional>
#include <vector>

namespace kestrove {

struct QualifiedName {
    QString schema; // empty when none was given
    QString name;
};

// The name read as SQL reads it: unquoted parts fold to lower case, double-quoted parts
// stay exact ("" is one quote), a '.' outside quotes separates the schema. Absent when it
// is no name (an open quote, an empty part, more than schema and name).
std::optional<QualifiedName> ParseQualifiedName(const QString& text);

struct Relation {
    QString schema;
    QString name;
    bool visible = false; // found through the search path
};

// The relations of that name (in that schema, when one is given). Without a schema, other
// sessions' temporary schemas are left out. Names are bound as parameters.
std::vector<Relation> FindRelations(odbc::Connection& connection, const QualifiedName& name);

// The one relation `text` names: its exact name, else "schema.name" split at the first
// '.', else the name read by PostgreSQL's rules. Where a name is found in several
// schemas, the one on the search path wins. Returns the relation, or a one-line reason.
struct RelationLookup {
    std::optional<Relation> relation;
    QString reason;
};
RelationLookup LookUpRelation(odbc::Connection& connection, const QString& text,
                              const QString& database);

} // namespace kestrove
