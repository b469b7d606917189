#pragma once

// The import behind "Finish": every ticked table into a worksheet of one new workbook, and
// what it needs of the window that runs it.

#include "app/PointerValues.h"
#include "catalogue/TableList.h"
#include "connection/ConnectionString.h"

#include <QString>

namespace kestrove {

// What the import needs of the table selection window, and nothing more.
class ImportHost {
public:
    virtual ~ImportHost() = default;
    // The entries, read live by position while the import runs.
    virtual TableList& tableList() = 0;
    // Progress from 0 to 100 and the status text shown in the bar.
    virtual void setProgress(double value) = 0;
    virtual void setStatusText(const QString& text) = 0;
    virtual int mousePointer() const = 0;
    virtual void setMousePointer(int pointer) = 0;
    virtual int windowState() const = 0;
    virtual void setWindowState(int state) = 0;
    // The connection details as they stand at this moment.
    virtual ConnectionSettings connectionSettings() const = 0;
    // Lets the window system handle pending events.
    virtual void yield() = 0;
    // Where the finished workbook is written, and handing it to the spreadsheet program.
    virtual QString workbookPath(const ConnectionSettings& settings) = 0;
    virtual void openWorkbook(const QString& path) = 0;
};

// What an import shows of itself: the table in turn, after the sheet naming rule, and the
// records and cells the last run wrote (header cells not counted).
struct ImportProgress {
    QString currentTableName;
    long rows = 0;
    long cells = 0;
};

// Copies every ticked table of the host's list into a worksheet of one new workbook:
// column names in row 1, one row per record.
class TableImport {
public:
    // The "Finish" button. A click while an import runs does nothing.
    void PushButton5_Click(ImportHost& host);
    bool importRunning() const { return m_importRunning; }
    // At most this many tables are read at once, each on a connection of its own; 0 (the
    // default) for one per core, up to four.
    void setTablesAtOnce(int tables) { m_tablesAtOnce = tables; }
    // The table being imported, after the sheet naming rule.
    const QString& currentTableName() const { return m_progress.currentTableName; }
    // Records and cells the last run wrote (header cells not counted).
    long rowsWritten() const { return m_progress.rows; }
    long cellsWritten() const { return m_progress.cells; }

private:
    bool m_importRunning = false;
    int m_tablesAtOnce = 0;
    ImportProgress m_progress;
};

} // namespace kestrove
