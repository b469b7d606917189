#include "export/Import.h"

#include "app/ErrorReport.h"
#include "export/SheetNaming.h"
#include "export/ReadingTransaction.h"
#include "export/TableReader.h"
#include "platform/desktop/MessageBoxes.h"
#include "platform/odbc/Odbc.h"
#include "platform/workbook/Workbook.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kestrove {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto YieldEvery = std::chrono::milliseconds(30);
constexpr auto WaitStep = std::chrono::milliseconds(10);
const char* const BinaryData = "{BINARY DATA}";
// Rows of the tables read ahead of their turn, held in memory at most.
constexpr std::size_t AheadBytes = 24 << 20;

// Yields to the window system and refreshes the status text at most every ~30 ms,
// rather than for every cell.
class Pacer {
public:
    explicit Pacer(ImportHost& host) : m_host(host), m_last(Clock::now()) {}

    bool due() {
        if (++m_ticks % 32 != 0)
            return false;
        return Clock::now() - m_last >= YieldEvery;
    }
    void yield() {
        m_host.yield();
        m_last = Clock::now();
    }

private:
    ImportHost& m_host;
    Clock::time_point m_last;
    unsigned m_ticks = 0;
};

// Runs blocking work (a login, a query) on a worker thread while the window keeps answering.
template <class Work> void runWhileYielding(Work&& work, Pacer& pacer) {
    auto done = std::async(std::launch::async, std::forward<Work>(work));
    while (done.wait_for(WaitStep) != std::future_status::ready)
        pacer.yield();
    done.get();
}

// Failures of single cells, counted per cause and reported once per table.
class CellFailures {
public:
    template <class Action> void run(int step, Action&& action) {
        try {
            action();
        } catch (...) {
            count(step, DescribeFailure(std::current_exception()));
        }
    }
    void count(int step, const QString& description, long cells = 1) {
        auto [it, added] = m_counts.try_emplace(description, Counted{step, 0});
        if (added)
            m_order.push_back(description);
        it->second.cells += cells;
    }
    void reportAndClear(const QString& location) {
        for (const QString& description : m_order) {
            const Counted& counted = m_counts.at(description);
            ReportApplicationError(description + QStringLiteral(" (") +
                                       QString::number(counted.cells) +
                                       (counted.cells == 1 ? QStringLiteral(" cell)")
                                                           : QStringLiteral(" cells)")),
                                   location, counted.step);
        }
        m_counts.clear();
        m_order.clear();
    }

private:
    struct Counted {
        int step;
        long cells;
    };
    std::map<QString, Counted> m_counts;
    std::vector<QString> m_order;
};

// The ticked entries, as they stand now.
std::vector<TableName> tickedTables(const TableList& list) {
    std::vector<TableName> tables;
    for (int i = 1; i <= list.count(); ++i) {
        const TableEntry entry = list.entry(i);
        if (entry.checked)
            tables.push_back(TableName{entry.schema.toStdString(), entry.text.toStdString()});
    }
    return tables;
}

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

void TableImport::PushButton5_Click(ImportHost& host) {
    Steps steps(QStringLiteral("Form2"), QStringLiteral("PushButton5_Click"));
    Pacer pacer(host);
    const auto whileWaiting = [&pacer] { pacer.yield(); };
    std::optional<odbc::Connection> connection;
    ReadingTransaction reading;
    std::unique_ptr<TableReader> records;
    // Ticked tables after the one in turn that are read already, in list order.
    std::deque<std::pair<TableName, std::unique_ptr<TableReader>>> ahead;
    std::optional<workbook::Application> excel;
    workbook::Workbook* book = nullptr;
    workbook::Worksheet* sheet = nullptr;
    TableList& list = host.tableList();
    // A workbook that can no longer be written needs no more rows.
    const auto unwritable = [&] { return book && book->writeFailed(); };
    // Tables read ahead that will not be given out end, while the window keeps answering.
    const auto dropAhead = [&] {
        for (auto& [table, reader] : ahead)
            reader->stop(whileWaiting);
        ahead.clear();
    };
    // The readers end first (they may still be fetching, when a table was left early),
    // then the transaction, and its locks go.
    const auto endReading = [&] {
        dropAhead();
        if (records)
            records->stop(whileWaiting);
        reading.end();
    };
    // Connections lost while reading ahead: nothing more is read on them.
    std::vector<bool> lost;
    // Starts reading the ticked tables after `position` on the connections no table is
    // being fetched on, while tables read ahead are fewer than the further connections.
    // Together they hold at most AheadBytes. Reading ahead only saves time: where it
    // cannot start, each table is read in its turn.
    const auto readAhead = [&](int position) {
        const std::size_t readers = reading.readers();
        lost.resize(readers, false);
        std::vector<bool> busy = lost;
        const auto note = [&](const TableReader& reader) {
            if (reader.reader() >= readers)
                return;
            lost[reader.reader()] = lost[reader.reader()] || reader.lostConnection();
            busy[reader.reader()] = busy[reader.reader()] || lost[reader.reader()] || reader.fetching();
        };
        if (records)
            note(*records);
        for (const auto& [table, reader] : ahead)
            note(*reader);
        std::size_t skip = ahead.size();
        for (int k = position + 1; k <= list.count() && ahead.size() + 1 < readers; ++k) {
            const TableEntry entry = list.entry(k);
            if (!entry.checked || skip-- > 0)
                continue;
            const TableName table{entry.schema.toStdString(), entry.text.toStdString()};
            const auto idle = std::find(busy.begin(), busy.end(), false);
            // Only a table locked at the start can be read on any connection.
            if (idle == busy.end() || !reading.holdsLock(table))
                return;
            *idle = true;
            auto reader = std::make_unique<TableReader>();
            reader->begin(reading, static_cast<std::size_t>(idle - busy.begin()), table, AheadBytes / (readers - 1));
            ahead.emplace_back(table, std::move(reader));
        }
    };

    steps(100, [&] { connection.emplace(); });
    steps(102, [&] { records = std::make_unique<TableReader>(); });
    if (steps.test(104, [&] { return m_importRunning; }))
        return;
    steps(106, [&] { m_importRunning = true; });
    m_rows = 0;
    m_cells = 0;
    if (!steps.test(108, [&] { return list.count() == 0; })) {
        steps(110, [&] { host.setMousePointer(PointerHourglass); });
        steps(112, [&] { connection.value().setMode(3); });
        steps(114, [&] {
            const ConnectionSettings settings = host.connectionSettings();
            odbc::Connection& open = connection.value();
            const std::vector<TableName> ticked = tickedTables(list);
            // Every ticked table is locked before the first is read, so that all sheets
            // show the database of one moment.
            runWhileYielding(
                [&] {
                    const std::string connectionString = BuildConnectionString(settings).toStdString();
                    reading.open(open, connectionString);
                    reading.lock(ticked);
                    // Several tables are read at once, each on a connection of its own.
                    const std::size_t atOnce = std::min(ticked.size(), readersAtOnce(m_tablesAtOnce));
                    if (atOnce > 1)
                        reading.addReaders(connectionString, atOnce - 1);
                },
                pacer);
        });
        const bool started =
            steps(116, [&] {
                excel.emplace(host.workbookPath(host.connectionSettings()).toStdString(),
                              [&host](const std::string& path) {
                                  host.openWorkbook(QString::fromStdString(path));
                              });
            }) &&
            steps(118, [&] {
                book = &excel->addWorkbook();
                book->setWhileWaiting(whileWaiting);
            });
        if (!started) {
            // Without a workbook nothing can follow: end as a finished run would, but
            // without "Done.".
            host.setProgress(0);
            host.setStatusText(QStringLiteral("Progress Bar"));
            host.setMousePointer(PointerDefault);
            m_importRunning = false;
            return;
        }
        steps.whileLoop(
            120, [&] { return Required(book).count() > 1; },
            [&] { steps(122, [&] { Required(book).remove(Required(book).count()); }); });
        bool firstSheet = false;
        steps(124, [&] { firstSheet = true; });

        CellFailures cellFailures;
        const auto entries = steps.bound(126, [&] { return list.count(); });
        for (int i = 1; i <= entries.value_or(0); ++i) {
            // The list may have been emptied or refilled meanwhile: never read past its end.
            if (i > list.count())
                break;
            if (!steps.test(128, [&] { return list.entry(i).checked; }))
                continue;
            QString schema;
            steps(130, [&] {
                const TableEntry entry = list.entry(i);
                m_currentTableName = entry.text;
                schema = entry.schema;
            });
            steps(132, [&] {
                host.setProgress(static_cast<double>(i) / static_cast<double>(list.count()) * 100.0);
            });
            steps(134, [&] { host.setStatusText(QStringLiteral("Processing: ") + m_currentTableName); });
            if (steps.test(136, [&] { return Required(records.get()).state() != odbc::StateClosed; }))
                steps(136, [&] { Required(records.get()).close(); });
            steps(138, [&] { Required(records.get()).setCursorLocation(odbc::CursorLocationClient); });
            steps(140, [&] {
                const TableName table{schema.toStdString(), m_currentTableName.toStdString()};
                // The table read ahead, or else read now; tables read ahead of another
                // order (the list changed meanwhile) are read again in their turn.
                if (!ahead.empty() && !(ahead.front().first < table) && !(table < ahead.front().first)) {
                    records = std::move(ahead.front().second);
                    ahead.pop_front();
                    // A further connection lost, or refused the table's lock, before any
                    // row was given out costs only time: the table is read again on the
                    // first connection.
                    const auto readAgain = [&] {
                        if (records->reader() == 0 || !(records->lostConnection() || records->lockRefused()))
                            return false;
                        if (records->lostConnection())
                            lost.at(records->reader()) = true;
                        dropAhead();
                        records = std::make_unique<TableReader>();
                        records->open(reading, table, whileWaiting);
                        return true;
                    };
                    if (!readAgain()) {
                        try {
                            records->claim(whileWaiting);
                        } catch (...) {
                            if (!readAgain())
                                throw;
                        }
                    }
                } else {
                    dropAhead();
                    Required(records.get()).open(reading, table, whileWaiting);
                }
            });
            try {
                readAhead(i);
            } catch (const std::exception&) {
                // No thread or memory for it now: the tables are read in their turn.
            }
            const QString tableName = m_currentTableName;

            if (steps.test(142, [&] { return firstSheet; })) {
                steps(144, [&] { sheet = &Required(book).activeSheet(); });
                steps(146, [&] { firstSheet = false; });
            } else {
                steps(148, [&] { sheet = &Required(book).add(); });
            }
            NameSheetAfterTable(steps, m_currentTableName, sheet, book);

            std::optional<long> rowCount = steps.bound(172, [&] { return Required(records.get()).recordCount(); });
            TableReader& reader = *records;
            const auto header = [&](int fields) {
                if (fields > 0 && sheet)
                    sheet->setHeaderRow();
                for (int j = 0; j < fields; ++j) {
                    steps(176, [&] { pacer.yield(); });
                    cellFailures.run(178, [&] {
                        Required(sheet).setCell(1, j + 1, reader.field(j).name);
                    });
                }
            };
            header(steps.bound(174, [&] { return reader.fieldCount(); }).value_or(0));

            long rowOffset = 0;
            QString broken;
            // "Processing: <table>, row <r> from <rows>", the start of both row texts.
            const QString rowsText = QString::number(rowCount.value_or(0));
            const auto rowStatus = [&](long r) {
                return QStringLiteral("Processing: ") + m_currentTableName + QStringLiteral(", row ") +
                       QString::number(r) + QStringLiteral(" from ") + rowsText;
            };
            for (long r = 1; r <= rowCount.value_or(0); ++r) {
                const bool lastRow = r == *rowCount;
                if (r + 1 - rowOffset > workbook::MaxRows) {
                    // The sheet is full: the table goes on in a further sheet, header first.
                    steps(148, [&] { sheet = &Required(book).add(); });
                    steps(164, [&] {
                        Required(sheet).setName(
                            ContinuationSheetName(tableName, Required(book)).toStdString());
                    });
                    header(reader.fieldCount());
                    rowOffset = r - 1;
                }
                const long sheetRow = r + 1 - rowOffset;
                if (lastRow || pacer.due()) {
                    steps(184, [&] { pacer.yield(); });
                    steps(186, [&] { host.setStatusText(rowStatus(r) + QStringLiteral("...")); });
                }
                const auto fields = steps.bound(188, [&] { return reader.fieldCount(); });
                ++m_rows;
                m_cells += fields.value_or(0);
                for (int j = 0; j < fields.value_or(0); ++j) {
                    if (lastRow || pacer.due()) {
                        steps(190, [&] { pacer.yield(); });
                        steps(192, [&] {
                            host.setStatusText(rowStatus(r) + QStringLiteral(", field ") +
                                               QString::number(j + 1) + QStringLiteral(" from ") +
                                               QString::number(*fields) + QStringLiteral("..."));
                        });
                    }
                    if (steps.test(194, [&] { return reader.field(j).type == odbc::type::LongVarBinary; })) {
                        cellFailures.run(196, [&] { Required(sheet).setCell(sheetRow, j + 1, BinaryData); });
                    } else {
                        cellFailures.run(198, [&] {
                            const std::optional<std::string_view> value = reader.value(j);
                            if (!value) {
                                Required(sheet).setCell(sheetRow, j + 1, std::string_view());
                                return;
                            }
                            // Date and time columns give date cells where nothing is lost.
                            const auto kind = reader.isDateOrTime(j) ? workbook::CellKind::DateTime
                                                                     : workbook::CellKind::General;
                            if (value->size() <= workbook::MaxCellChars) {
                                Required(sheet).setCell(sheetRow, j + 1, *value, kind);
                                return;
                            }
                            std::string text(*value);
                            if (workbook::fitToCell(text))
                                cellFailures.count(198, QStringLiteral(
                                    "A text longer than 32,767 characters was cut to fit its cell."));
                            Required(sheet).setCell(sheetRow, j + 1, text, kind);
                        });
                    }
                }
                if (unwritable())
                    break;
                // A stream that broke cannot go on: the table ends here, and its report says
                // how short the sheet is once the reading is over.
                try {
                    reader.moveNext(whileWaiting);
                } catch (...) {
                    if (!lastRow) {
                        broken = DescribeFailure(std::current_exception()) +
                                 QStringLiteral("\r\nOnly %1 of %2 rows of %3 were read: its sheet is short.")
                                     .arg(r)
                                     .arg(*rowCount)
                                     .arg(tableName);
                        break;
                    }
                }
            }
            // Once the last ticked table is read, the reading ends before anything waits
            // for the user.
            if (!anyTickedAfter(list, i) || unwritable())
                endReading();
            if (!broken.isEmpty())
                ReportApplicationError(broken, steps.location(), 202);
            if (records && records->state() != odbc::StateClosed && records->repairedValues() > 0)
                cellFailures.count(198, QStringLiteral("A text held bytes that are not UTF-8; each shows as U+FFFD."),
                                   records->repairedValues());
            cellFailures.reportAndClear(steps.location());
            if (unwritable())
                break;
        }
        endReading();

        steps(208, [&] { Required(book).activeSheet().autofitColumns(whileWaiting); });
        steps(210, [&] { excel.value().setVisible(true, whileWaiting); });
        steps(212, [&] { host.setProgress(0); });
        steps(214, [&] { host.setStatusText(QStringLiteral("Progress Bar")); });
        steps(216, [&] { host.setMousePointer(PointerDefault); });
        if (steps.test(218, [&] { return host.windowState() == WindowMinimised; }))
            steps(218, [&] { host.setWindowState(WindowNormal); });
        steps(222, [&] { desktop::showMessage(QStringLiteral("Done.")); });
        if (steps.test(224, [&] { return connection.value().state() != odbc::StateClosed; }))
            steps(224, [&] {
                records.reset();
                connection.value().close();
            });
    }
    steps(228, [&] { m_importRunning = false; });
}

} // namespace kestrove
