#pragma once

// What the import hands the reading: the driver's string of its connections, and what the
// list's entries read.

#include "catalogue/TableList.h"
#include "connection/ConnectionString.h"
#include "export/reading/ReadSource.h"
#include "export/reading/TableName.h"

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace kestrove {

// The driver's string for a connection of the reading: the settings, with the keepalives
// of readingLimits().
std::string ReadingConnectionString(const ConnectionSettings& settings);

// What an entry of the list reads: its table, or the query it stands for.
ReadSource sourceOf(const TableEntry& entry);
// What the ticked entries after `position` read, in list order, at most `most` of them.
std::vector<ReadSource>
tickedSourcesAfter(const TableList& list, int position,
                   std::size_t most = std::numeric_limits<std::size_t>::max());
// The tables of the ticked entries, as they stand now (a query's entry reads no table of
// its own).
std::vector<TableName> tickedTables(const TableList& list);

} // namespace kestrove
