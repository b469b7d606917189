#pragma once

// What an import shows of itself while it runs and after.

#include <QString>

namespace kestrove {

// The table in turn, after the sheet naming rule, and the records and cells the last run
// wrote (header cells not counted).
struct ImportProgress {
    QString currentTableName;
    long rows = 0;
    long cells = 0;
};

} // namespace kestrove
