#pragma once

// The import behind "Finish": every ticked table into a worksheet of one new workbook.

#include "app/ErrorReport.h"
#include "export/ImportHost.h"
#include "export/ImportProgress.h"

namespace kestrove {

// Copies every ticked table of the host's list into a worksheet of one new workbook:
// column names in row 1, one row per record.
class Import {
public:
    // One run, as "Finish" starts it; while a run is under way, another does nothing. Its
    // numbered steps report under the place of `steps`.
    void run(ImportHost& host, Steps steps);
    bool importRunning() const { return m_importRunning; }
    // At most this many tables are read at once, each on a connection of its own; 0 (the
    // default) for one per core, up to four.
    void setTablesAtOnce(int tables) { m_tablesAtOnce = tables; }
    // Times with more fraction digits than a date cell shows stay text, every digit shown.
    void setExactTimes(bool exact) { m_exactTimes = exact; }
    // The table being imported, after the sheet naming rule.
    const QString& currentTableName() const { return m_progress.currentTableName; }
    // The query being imported, as the list names it; empty for a table.
    const QString& queryInTurn() const { return m_progress.queryInTurn; }
    // Records and cells the last run wrote (header cells not counted).
    long rowsWritten() const { return m_progress.rows; }
    long cellsWritten() const { return m_progress.cells; }

private:
    bool m_importRunning = false;
    int m_tablesAtOnce = 0;
    bool m_exactTimes = false;
    ImportProgress m_progress;
};

} // namespace kestrove
