#pragma once

#include "export/Import.h"
#include "support/TestBed.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <vector>

// Sheets and rows in test failures as JSON, rather than as the bytes of the object.
void PrintTo(const QJsonArray& value, std::ostream* out);
void PrintTo(const QJsonObject& value, std::ostream* out);

namespace kestrove::test {

// The window's side of an import, recorded: a list in memory, the progress and status
// texts it was given, and the workbook it would have opened.
class RecordingImportHost final : public ImportHost {
public:
    RecordingImportHost();

    TableList& tableList() override { return list; }
    void setProgress(double value) override { progress.push_back(value); }
    void setStatusText(const QString& text) override { statusTexts.push_back(text); }
    int mousePointer() const override { return pointer; }
    void setMousePointer(int value) override { pointer = value; }
    int windowState() const override { return state; }
    void setWindowState(int value) override { state = value; }
    ConnectionSettings connectionSettings() const override;
    void yield() override;
    QString workbookPath(const ConnectionSettings& settings) override;
    void openWorkbook(const QString& path) override {
        opened.push_back(path);
        if (openFails)
            throw std::runtime_error("no spreadsheet program could be started");
    }

    // Adds a ticked entry; "schema.table" or a bare name of schema export.
    void tick(const QString& table, const QString& schema = QStringLiteral("export"));
    // Adds a ticked entry for a query's result, as the command does for -c.
    void tickQuery(const QString& name, const QString& query);

    MemoryTableList list;
    std::vector<double> progress;
    std::vector<QString> statusTexts;
    std::vector<QString> opened;
    int pointer = 0;
    int state = 0;
    bool openFails = false;
    // Connection details and workbook folder other than the test server's and a
    // temporary folder.
    std::optional<ConnectionSettings> settings;
    QString workbookFolder;
    // Runs at every yield, to act during an import as a user would.
    std::function<void()> onYield;

private:
    QTemporaryDir m_folder;
};

// One import as a test runs it, with the window's side and the message boxes recorded.
struct ImportRun {
    MessageBoxRecorder boxes;
    RecordingImportHost host;
    Import import;

    // Runs the import to its end; the workbook it would have opened, read back.
    QJsonArray finish();
    // True once the import writes the rows of a table. (The status text is a late sign:
    // while the import waits for rows it yields without renewing it.)
    bool writingRows() const { return import.rowsWritten() > 0; }
    // Does something once, at the first yield after rows are written.
    void onceRowsAreWritten(std::function<void()> action);
    // The report of a step, or an empty text.
    QString reportAt(int step) const;
    // The "Done." boxes shown as the program shows them (no icon, the program's title).
    long doneBoxes() const;
};

// The workbook read back with openpyxl: an array of {name, rows, widths}.
QJsonArray readWorkbook(const QString& path);
// The sheet of that name, or an empty object; its rows.
QJsonObject sheetNamed(const QJsonArray& sheets, const QString& name);
QJsonArray rowsOf(const QJsonObject& sheet);
// Every sheet as a reader that formats cells by Excel's rules shows it (SheetJS): an
// array of {name, rows}, a numeric cell as {"number": its shown text}, any other as its
// text, an empty one as null. Throws when the reader fails.
QJsonArray shownByExcel(const QString& path);
// What LibreOffice computes for a SUM (or another function of a range, as MAX) over rows 2
// to `lastRow` of each of the first `columns` columns of the named sheet, one text per
// column. Throws when LibreOffice cannot compute them.
QStringList sumsByLibreOffice(const QString& path, const QString& sheet, int lastRow, int columns,
                              const QString& function = QStringLiteral("SUM"));
// The sheets' names in tab order.
QStringList tabNames(const QJsonArray& sheets);
// The text of every sheet of the workbook as LibreOffice prints it, each cell as its
// column's width lets it show. Throws when LibreOffice cannot print it.
QString shownByLibreOffice(const QString& path);
// Every sheet as LibreOffice reads it: its name and its cells as CSV, in tab order.
// Throws when LibreOffice cannot convert it.
std::vector<std::pair<QString, QString>> sheetsByLibreOffice(const QString& path);

} // namespace kestrove::test
