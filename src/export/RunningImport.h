#pragma once

// One import while it runs: its connection and reading, its workbook and the sheet in
// turn, and the pieces of work that the "Finish" handler's numbered steps call. A piece
// that runs several steps takes the handler's step runner, so that its reports carry the
// handler's location and the steps' own numbers.

#include "export/CellFailures.h"
#include "export/ImportHost.h"
#include "export/ImportProgress.h"
#include "export/NumberNotices.h"
#include "export/Pacer.h"
#include "export/reading/ReadAhead.h"
#include "export/reading/ReadingTransaction.h"
#include "export/reading/TableReader.h"
#include "platform/odbc/Odbc.h"
#include "platform/workbook/Workbook.h"

#include <QString>

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace kestrove {

class Steps;

class RunningImport {
public:
    // At most `tablesAtOnce` tables are read at once (0: one per core, up to four). With
    // `exactTimes`, a time a date cell would show shorter stays text.
    RunningImport(ImportHost& host, ImportProgress& progress, int tablesAtOnce, bool exactTimes);
    RunningImport(const RunningImport&) = delete;
    RunningImport& operator=(const RunningImport&) = delete;

    // The objects of steps 100 and 102; each use of one that could not be made fails.
    void createConnection();
    void createReader();
    odbc::Connection& connection();
    TableReader& reader();

    // Step 114: opens the connection, starts the reading transaction and locks every
    // ticked table before the first is read, so that all sheets show the database of one
    // moment; then opens the further connections that read tables at once.
    void openReading();
    // Steps 116 and 118: the hidden spreadsheet program and its workbook.
    void startSpreadsheet();
    void addWorkbook();
    workbook::Workbook& book();

    // Step 130: the entry at the position becomes the table in turn.
    void takeEntry(int position);
    // Step 140: the table in turn is read, from where it was read ahead or else now.
    void openTable();
    // Starts reading ahead the ticked tables after the position; where it cannot, they
    // are read in their turn.
    void readAhead(int position);
    // Steps 144 and 148: the table's sheet is the active one, or a new one.
    void useActiveSheet();
    void addSheet();
    // Steps 150 to 164: the sheet named after the table in turn.
    void nameSheet(Steps& steps);
    // Steps 172 to 202: the header row and every record, continued on further sheets
    // past a sheet's last row; then the reading ends if no ticked table follows, and the
    // table's reports are shown.
    void writeTable(Steps& steps, int position);
    // Steps 208 to 224: the workbook finished and shown, the window put back, the notices
    // of numbers that stayed text, "Done.".
    void finish(Steps& steps);

    // Whether the workbook can no longer be written, so that no more rows are needed.
    bool unwritable() const;

private:
    // The table's row loop; the report of a stream that broke, or an empty text.
    QString writeRows(Steps& steps, std::optional<long> rowCount, int position);
    // The cell kind of each field by its column's base type, and the table's columns for
    // the notices.
    void describeColumns(int fields);
    void writeHeader(Steps& steps, int fields);
    // Further sheets of the same table, header first.
    void continueOnFurtherSheet(Steps& steps);
    void writeRecord(Steps& steps, long record, long sheetRow, bool lastRow,
                     const QString& rowsText);
    // The cell rules of one value: Null an empty cell, numbers and dates by their column's
    // cell kind, a text too long for a cell cut and counted.
    void writeValue(long sheetRow, int field);
    // "Processing: <table>, row <r> from <rows>" (without " from" where the rows were not
    // counted), the start of both row texts.
    QString rowStatus(long record, const QString& rowsText) const;
    // The readers end first (they may still be fetching, when a table was left early), then
    // the transaction, and its locks go.
    void endReading();

    ImportHost& m_host;
    ImportProgress& m_progress;
    int m_tablesAtOnce;
    bool m_exactTimes;
    Pacer m_pacer;
    TableReader::Waiter m_whileWaiting;
    std::optional<odbc::Connection> m_connection;
    ReadingTransaction m_reading;
    std::unique_ptr<TableReader> m_reader;
    ReadAhead m_ahead;
    std::optional<workbook::Application> m_spreadsheet; // the hidden program of step 116
    workbook::Workbook* m_book = nullptr;
    workbook::Worksheet* m_sheet = nullptr;
    CellFailures m_cellFailures;
    std::vector<workbook::CellKind> m_cellKinds; // of the table in turn, per field
    NumberNotices m_notices;
    ReadSource m_source{TableName{}}; // what the entry in turn reads
    bool m_lastTicked = false;        // whether no ticked entry follows it
    // The table in turn as the list names it, before the naming rule: its further sheets
    // are named after it.
    QString m_tableName;
};

} // namespace kestrove
