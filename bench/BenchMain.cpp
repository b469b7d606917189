// kestrove-bench: runs the program's own import with no window.
//
//   kestrove-bench [--jobs N] --connection "<ODBC connection string>" --out FILE.xlsx TABLE...
//   kestrove-bench --read-only --connection "<ODBC connection string>" TABLE...
//
// --read-only reads every value of the tables, one after another, through the program's
// own reader and writes nothing (--jobs and --out do not apply): what reading alone costs,
// through the driver.
// --jobs N reads at most N tables at once (1: one after another); without it, the
// program's own choice.
// Tables are schema.table or bare names. Error reports go to standard error and the run
// goes on, as the window would after OK. The last line sums up the run. The exit status
// is 1 when anything was reported, so that a failure is never taken for a result.

#include "catalogue/Form2FinishSteps.h"
#include "command/CommandHost.h"
#include "command/ReportPrinter.h"
#include "connection/ConnectionString.h"
#include "export/ReadingSources.h"
#include "export/reading/ReadingTransaction.h"
#include "export/reading/TableReader.h"
#include "platform/desktop/Locale.h"
#include "platform/system/Memory.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

using namespace kestrove;
using Clock = std::chrono::steady_clock;

namespace {

// Reads Key=value pairs; a value in braces may hold ';' and doubled '}'.
ConnectionSettings parseConnectionString(const QString& text) {
    ConnectionSettings settings;
    int i = 0;
    while (i < text.size()) {
        const int equals = text.indexOf(QLatin1Char('='), i);
        if (equals < 0)
            break;
        const QString key = text.mid(i, equals - i).trimmed().toLower();
        QString value;
        i = equals + 1;
        if (i < text.size() && text[i] == QLatin1Char('{')) {
            for (++i; i < text.size(); ++i) {
                if (text[i] == QLatin1Char('}')) {
                    if (i + 1 < text.size() && text[i + 1] == QLatin1Char('}')) {
                        value += QLatin1Char('}');
                        ++i;
                        continue;
                    }
                    ++i;
                    break;
                }
                value += text[i];
            }
        } else {
            const int end = text.indexOf(QLatin1Char(';'), i);
            value = text.mid(i, end < 0 ? -1 : end - i);
            i = end < 0 ? static_cast<int>(text.size()) : end;
        }
        if (i < text.size() && text[i] == QLatin1Char(';'))
            ++i;
        if (key == QLatin1String("server"))
            settings.server = value;
        else if (key == QLatin1String("port"))
            settings.port = value;
        else if (key == QLatin1String("uid"))
            settings.user = value;
        else if (key == QLatin1String("pwd"))
            settings.password = value;
        else if (key == QLatin1String("database"))
            settings.database = value;
    }
    return settings;
}

// Reads each ticked table's every value, as the import would: every table locked first,
// in one transaction, then read one after another. Sums up like an export.
int readOnly(CommandHost& host) {
    const auto started = Clock::now();
    long rows = 0, cells = 0;
    std::size_t bytes = 0;
    std::vector<TableName> tables;
    const TableList& list = host.tableList();
    for (int i = 1; i <= list.count(); ++i)
        tables.push_back(
            TableName{list.entry(i).schema.toStdString(), list.entry(i).text.toStdString()});
    odbc::Connection session;
    ReadingTransaction reading;
    reading.open(session, ReadingConnectionString(host.connectionSettings()));
    reading.lock(tables);
    // Each table's block ranges on one connection per core, at most four, as the import.
    reading.addReaders(ReadingConnectionString(host.connectionSettings()),
                       std::clamp(std::thread::hardware_concurrency(), 1u, 4u) - 1);
    std::vector<std::size_t> helpers;
    for (std::size_t i = 1; i < reading.readers(); ++i)
        helpers.push_back(i);
    for (const TableName& table : tables) {
        TableReader reader;
        reader.open(reading, table, {}, helpers);
        for (long r = 0; r < reader.recordCount(); ++r) {
            for (int j = 0; j < reader.columns().count(); ++j)
                bytes += reader.value(j).value_or(std::string_view()).size();
            cells += reader.columns().count();
            ++rows;
            try {
                reader.moveNext({});
            } catch (const odbc::OdbcError&) {
                if (r + 1 < reader.recordCount())
                    throw;
            }
        }
    }
    reading.end();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("rows=%ld cells=%ld seconds=%.2f peak_rss_mb=%.1f bytes=%zu\n", rows, cells,
                seconds, system::peakResidentMegabytes(), bytes);
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    desktop::UseCNumberFormat();
    QString connection, out;
    QStringList tables;
    int jobs = 0;
    bool badJobs = false;
    bool readingOnly = false;
    const QStringList args = application.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--connection") && i + 1 < args.size())
            connection = args[++i];
        else if (args[i] == QLatin1String("--out") && i + 1 < args.size())
            out = args[++i];
        else if (args[i] == QLatin1String("--read-only"))
            readingOnly = true;
        else if (args[i] == QLatin1String("--jobs") && i + 1 < args.size()) {
            bool number = false;
            jobs = args[++i].toInt(&number);
            badJobs = !number || jobs < 1;
        } else
            tables << args[i];
    }
    if (connection.isEmpty() || (out.isEmpty() && !readingOnly) || tables.isEmpty() || badJobs) {
        std::cerr << "usage: kestrove-bench [--jobs N] --connection \"<ODBC connection string>\" "
                     "--out FILE.xlsx TABLE...\n"
                     "       kestrove-bench --read-only --connection \"<ODBC connection string>\" "
                     "TABLE...\n";
        return 2;
    }
    ReportPrinter printer;
    CommandHost host(parseConnectionString(connection), out);
    host.tickAsGiven(tables);
    if (readingOnly) {
        try {
            return readOnly(host);
        } catch (const std::exception& failure) {
            std::cerr << failure.what() << "\n";
            return 1;
        }
    }
    Import import;
    import.setTablesAtOnce(jobs);
    const auto started = Clock::now();
    host.yield();
    import.run(host, FinishSteps());
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("rows=%ld cells=%ld seconds=%.2f peak_rss_mb=%.1f max_stall_ms=%.0f\n",
                import.rowsWritten(), import.cellsWritten(), seconds,
                system::peakResidentMegabytes(), host.longestStallMs());
    return printer.reports() == 0 ? 0 : 1;
}
