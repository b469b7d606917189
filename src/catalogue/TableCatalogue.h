#pragma once

// The catalogue query that fills the table list with every table of the database.

#include "catalogue/TableList.h"
#include "connection/ConnectionString.h"

namespace kestrove {

// The catalogue query: one entry per row of pg_tables, in the order the server returns
// them; the table's schema travels with each entry so that the import can name it exactly.
inline constexpr const char* CatalogueQuery = "select tablename, schemaname from pg_tables;";

// Replaces the list's entries with every table of the database. Failing steps are
// reported and the routine goes on; the caller is told nothing.
void AddTablesToPostgreSQLListbox(TableList& list, const ConnectionSettings& settings);

} // namespace kestrove
