#pragma once

// What an import shows of itself while it runs and after.

#include <QString>

namespace kestrove {

// The table in turn, after the sheet naming rule, and the records and cells the last run
// wrote (header cells not counted).
struct ImportProgress {
    QString currentTableName;
    // The query whose entry is in turn, as the list names it, so that its reports can say
    // which of several it was; empty for a table and once the entry is written.
    QString queryInTurn;
    long rows = 0;
    long cells = 0;
};

} // namespace kestrove
