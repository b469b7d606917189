#include "export/RunningImport.h"

#include "app/ErrorReport.h"
#include "export/ReadingSources.h"
#include "export/SheetNaming.h"
#include "platform/desktop/MessageBoxes.h"
#include "platform/system/Waiting.h"

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace kestrove {

namespace {

const char* const BinaryData = "{BINARY DATA}";

// How many tables are read at once: as many as asked, else one per core, at most four.
std::size_t readersAtOnce(int asked) {
    constexpr std::size_t Most = 4;
    if (asked > 0)
        return std::min<std::size_t>(static_cast<std::size_t>(asked), Most);
    return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, Most);
}

bool anyTickedAfter(const TableList& list, int position) {
    for (int i = position + 1; i <= list.count(); ++i)
        if (list.entry(i).checked)
            return true;
    return false;
}

} // namespace

RunningImport::RunningImport(ImportHost& host, ImportProgress& progress, int tablesAtOnce,
                             bool exactTimes)
    : m_host(host), m_progress(progress), m_tablesAtOnce(tablesAtOnce), m_exactTimes(exactTimes),
      m_pacer(host), m_whileWaiting([this] { m_pacer.yield(); }),
      m_ahead(m_reading, m_whileWaiting) {}

void RunningImport::createConnection() {
    m_connection.emplace();
}

void RunningImport::createReader() {
    m_reader = std::make_unique<TableReader>();
}

odbc::Connection& RunningImport::connection() {
    return m_connection.value();
}

TableReader& RunningImport::reader() {
    return Required(m_reader.get());
}

void RunningImport::openReading() {
    const std::string connectionString = ReadingConnectionString(m_host.connectionSettings());
    odbc::Connection& open = connection();
    const std::vector<TableName> ticked = tickedTables(m_host.tableList());
    // The logins and the locks run on a worker thread while the window keeps answering.
    system::runYielding(
        [&] {
            m_reading.open(open, connectionString);
            m_reading.lock(ticked);
            // Several tables are read at once, each on a connection of its own, and one
            // table's block ranges on several.
            const std::size_t atOnce = ticked.empty() ? 0 : readersAtOnce(m_tablesAtOnce);
            if (atOnce > 1)
                m_reading.addReaders(connectionString, atOnce - 1);
        },
        m_whileWaiting);
}

void RunningImport::startSpreadsheet() {
    m_spreadsheet.emplace(m_host.workbookPath(m_host.connectionSettings()).toStdString(),
                          [&host = m_host](const std::string& path) {
                              host.openWorkbook(QString::fromStdString(path));
                          });
}

void RunningImport::addWorkbook() {
    m_book = &m_spreadsheet->addWorkbook();
    m_book->setWhileWaiting(m_whileWaiting);
}

workbook::Workbook& RunningImport::book() {
    return Required(m_book);
}

bool RunningImport::unwritable() const {
    return m_book && m_book->writeFailed();
}

void RunningImport::takeEntry(int position) {
    m_source = ReadSource(TableName{});
    const TableEntry entry = m_host.tableList().entry(position);
    m_progress.currentTableName = entry.text;
    m_source = sourceOf(entry);
    m_progress.queryInTurn = m_source.isQuery() ? entry.text : QString();
    m_lastTicked = !anyTickedAfter(m_host.tableList(), position);
}

void RunningImport::openTable() {
    // While ticked tables follow, each connection reads a table of its own; the last
    // table's ranges are read on every connection free.
    m_ahead.openInTurn(m_source, m_reader, m_lastTicked);
}

void RunningImport::readAhead(int position) {
    try {
        // The reading ahead takes at most one table for each further connection.
        m_ahead.start(tickedSourcesAfter(m_host.tableList(), position, m_reading.readers() - 1),
                      m_reader.get());
        // Connections left idle help read the table in turn.
        if (m_reader && m_reader->state() != odbc::StateClosed)
            m_ahead.helpInTurn(*m_reader);
    } catch (const std::exception&) {
        // No thread or memory for it now: the tables are read in their turn.
    }
}

void RunningImport::useActiveSheet() {
    m_sheet = &book().activeSheet();
}

void RunningImport::addSheet() {
    m_sheet = &book().add();
}

void RunningImport::nameSheet(Steps& steps) {
    m_tableName = m_progress.currentTableName;
    NameSheetAfterTable(steps, m_progress.currentTableName, m_sheet, m_book);
}

void RunningImport::writeTable(Steps& steps, int position) {
    const std::optional<long> rowCount = steps.bound(172, [&] { return reader().recordCount(); });
    const int fields = steps.bound(174, [&] { return reader().columns().count(); }).value_or(0);
    describeColumns(fields);
    writeHeader(steps, fields);
    const QString broken = writeRows(steps, rowCount, position);
    // Once the last ticked table is read, the reading ends before anything waits for the
    // user.
    if (!anyTickedAfter(m_host.tableList(), position) || unwritable())
        endReading();
    if (!broken.isEmpty())
        ReportApplicationError(broken, steps.location(), 202);
    if (const std::exception_ptr loss = m_reader ? m_reader->fetch().helperLoss() : nullptr)
        ReportApplicationError(
            DescribeFailure(loss) +
                QStringLiteral("\r\nA further connection of the reading was lost while it read "
                               "%1; its part was read again on the others.")
                    .arg(m_tableName),
            steps.location(), 202);
    if (m_reader && m_reader->state() != odbc::StateClosed && m_reader->repairedValues() > 0)
        m_cellFailures.count(
            198, QStringLiteral("A text held bytes that are not UTF-8; each shows as U+FFFD."),
            m_reader->repairedValues());
    m_cellFailures.reportAndClear(steps.location());
    m_progress.queryInTurn.clear();
}

void RunningImport::describeColumns(int fields) {
    using workbook::CellKind;
    m_cellKinds.clear();
    std::vector<NumberNotices::Column> columns;
    for (int j = 0; j < fields; ++j) {
        CellKind kind = CellKind::General;
        NumberNotices::Column named;
        try {
            const Column& column = reader().columns().column(j);
            // Date cells where nothing is lost but digits past the millisecond (and not
            // those, with exact times).
            kind = reader().columns().isDateOrTime(j)
                       ? m_exactTimes ? CellKind::ExactDateTime : CellKind::DateTime
                   : isFloatingPoint(column) ? CellKind::Float
                   : holdsNumbers(column)    ? CellKind::Number
                                             : CellKind::General;
            named = {QString::fromStdString(reader().columns().field(j).name),
                     QString::fromStdString(column.typeName)};
        } catch (const std::exception&) {
            // A field that cannot be read is reported at its cells.
        }
        m_cellKinds.push_back(kind);
        columns.push_back(std::move(named));
    }
    m_notices.beginTable(m_tableName, std::move(columns), m_sheet);
}

void RunningImport::writeHeader(Steps& steps, int fields) {
    if (fields > 0 && m_sheet)
        m_sheet->setHeaderRow();
    for (int j = 0; j < fields; ++j) {
        steps(176, [&] { m_pacer.yield(); });
        m_cellFailures.run(
            178, [&] { Required(m_sheet).setCell(1, j + 1, reader().columns().field(j).name); });
    }
}

QString RunningImport::writeRows(Steps& steps, std::optional<long> rowCount, int position) {
    if (!rowCount)
        return QString();
    long rowOffset = 0;
    // A query's rows are not counted: its status names the rows so far.
    const QString rowsText = *rowCount == UnknownRowCount ? QString() : QString::number(*rowCount);
    // Every row that comes is written, also past the count; a difference is reported.
    for (long r = 1; !reader().eof(); ++r) {
        const bool lastRow = r == *rowCount || reader().lastRow();
        if (r + 1 - rowOffset > workbook::MaxRows) {
            continueOnFurtherSheet(steps);
            rowOffset = r - 1;
        }
        const long sheetRow = r + 1 - rowOffset;
        if (lastRow || m_pacer.due()) {
            // Connections the table in turn no longer fetches on read the next tables.
            readAhead(position);
            steps(184, [&] { m_pacer.yield(); });
            steps(186,
                  [&] { m_host.setStatusText(rowStatus(r, rowsText) + QStringLiteral("...")); });
        }
        writeRecord(steps, r, sheetRow, lastRow, rowsText);
        if (unwritable())
            break;
        // A stream that broke cannot go on: the table ends here, and its report says how
        // short the sheet is once the reading is over. A failure that comes with the last
        // row is reported too.
        try {
            reader().moveNext(m_whileWaiting);
        } catch (...) {
            QString broken = DescribeFailure(std::current_exception());
            if (r < *rowCount)
                broken +=
                    QStringLiteral("\r\nOnly %1 of %2 rows of %3 were read: its sheet is short.")
                        .arg(r)
                        .arg(*rowCount)
                        .arg(m_tableName);
            return broken;
        }
    }
    return QString();
}

void RunningImport::continueOnFurtherSheet(Steps& steps) {
    // The sheet is full: the table goes on in a further sheet, header first.
    steps(148, [&] { addSheet(); });
    m_notices.continueOn(m_sheet);
    steps(164, [&] {
        Required(m_sheet).setName(ContinuationSheetName(m_tableName, book()).toStdString());
    });
    writeHeader(steps, reader().columns().count());
}

void RunningImport::writeRecord(Steps& steps, long record, long sheetRow, bool lastRow,
                                const QString& rowsText) {
    const auto fields = steps.bound(188, [&] { return reader().columns().count(); });
    ++m_progress.rows;
    m_progress.cells += fields.value_or(0);
    for (int j = 0; j < fields.value_or(0); ++j) {
        if (lastRow || m_pacer.due()) {
            steps(190, [&] { m_pacer.yield(); });
            steps(192, [&] {
                m_host.setStatusText(rowStatus(record, rowsText) + QStringLiteral(", field ") +
                                     QString::number(j + 1) + QStringLiteral(" from ") +
                                     QString::number(*fields) + QStringLiteral("..."));
            });
        }
        if (steps.test(
                194, [&] { return reader().columns().field(j).type == odbc::type::LongVarBinary; }))
            m_cellFailures.run(196,
                               [&] { Required(m_sheet).setCell(sheetRow, j + 1, BinaryData); });
        else
            m_cellFailures.run(198, [&] { writeValue(sheetRow, j); });
    }
}

void RunningImport::writeValue(long sheetRow, int field) {
    const std::optional<std::string_view> value = reader().value(field);
    if (!value) {
        Required(m_sheet).setCell(sheetRow, field + 1, std::string_view());
        return;
    }
    const auto kind = static_cast<std::size_t>(field) < m_cellKinds.size()
                          ? m_cellKinds[static_cast<std::size_t>(field)]
                          : workbook::CellKind::General;
    if (value->size() <= workbook::MaxCellChars) {
        Required(m_sheet).setCell(sheetRow, field + 1, *value, kind);
        return;
    }
    std::string text(*value);
    if (workbook::fitToCell(text))
        m_cellFailures.count(
            198, QStringLiteral("A text longer than 32,767 characters was cut to fit its cell."));
    Required(m_sheet).setCell(sheetRow, field + 1, text, kind);
}

QString RunningImport::rowStatus(long record, const QString& rowsText) const {
    const QString status = QStringLiteral("Processing: ") + m_progress.currentTableName +
                           QStringLiteral(", row ") + QString::number(record);
    return rowsText.isEmpty() ? status : status + QStringLiteral(" from ") + rowsText;
}

void RunningImport::endReading() {
    m_ahead.drop();
    if (m_reader)
        m_reader->fetch().stop(m_whileWaiting);
    m_reading.end();
}

void RunningImport::finish(Steps& steps) {
    endReading();
    steps(208, [&] { book().activeSheet().autofitColumns(m_whileWaiting); });
    steps(210, [&] { m_spreadsheet.value().setVisible(true, m_whileWaiting); });
    steps(212, [&] { m_host.setProgress(0); });
    steps(214, [&] { m_host.setStatusText(QStringLiteral("Progress Bar")); });
    steps(216, [&] { m_host.setMousePointer(PointerDefault); });
    if (steps.test(218, [&] { return m_host.windowState() == WindowMinimised; }))
        steps(218, [&] { m_host.setWindowState(WindowNormal); });
    steps(220, [&] {
        if (const QStringList notices = m_notices.texts(); !notices.isEmpty())
            m_host.showNotices(notices);
    });
    steps(222, [&] { desktop::showMessage(QStringLiteral("Done.")); });
    if (steps.test(224, [&] { return connection().state() != odbc::StateClosed; }))
        steps(224, [&] {
            m_reader.reset();
            connection().close();
        });
}

} // namespace kestrove
