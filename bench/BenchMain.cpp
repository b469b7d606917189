// kestrove-bench: runs the program's own import with no window.
//
//   kestrove-bench --connection "<ODBC connection string>" --out FILE.xlsx TABLE...
//
// Tables are schema.table or bare names. Error reports go to standard error and the run
// goes on, as the window would after OK. The last line sums up the run. The exit status
// is 1 when anything was reported, so that a failure is never taken for a result.

#include "export/Import.h"
#include "platform/desktop/Locale.h"
#include "platform/desktop/MessageBoxes.h"

#include <QCoreApplication>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>

using namespace kestrove;
using Clock = std::chrono::steady_clock;

namespace {

class StderrMessageBoxes final : public desktop::MessageBoxService {
public:
    void show(const QString& text, int, const QString& title) override {
        QString shown = text;
        shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
        std::cerr << "[" << title.toStdString() << "] " << shown.toStdString() << "\n";
        if (title == QLatin1String("Application Error"))
            ++reports;
    }
    int reports = 0;
};

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
        if (key == QLatin1String("server")) settings.server = value;
        else if (key == QLatin1String("port")) settings.port = value;
        else if (key == QLatin1String("uid")) settings.user = value;
        else if (key == QLatin1String("pwd")) settings.password = value;
        else if (key == QLatin1String("database")) settings.database = value;
    }
    return settings;
}

class BenchHost final : public ImportHost {
public:
    BenchHost(ConnectionSettings settings, QString out) : m_settings(std::move(settings)), m_out(std::move(out)) {}

    TableList& tableList() override { return m_list; }
    void setProgress(double) override {}
    void setStatusText(const QString&) override {}
    int mousePointer() const override { return m_pointer; }
    void setMousePointer(int pointer) override { m_pointer = pointer; }
    int windowState() const override { return 0; }
    void setWindowState(int) override {}
    ConnectionSettings connectionSettings() const override { return m_settings; }
    void yield() override {
        const auto now = Clock::now();
        m_maxStall = std::max(m_maxStall, now - m_lastYield);
        m_lastYield = now;
        QCoreApplication::processEvents();
    }
    QString workbookPath(const ConnectionSettings&) override { return m_out; }
    void openWorkbook(const QString&) override {}

    void start() { m_lastYield = Clock::now(); }
    double maxStallMs() const {
        return std::chrono::duration<double, std::milli>(std::max(m_maxStall, Clock::now() - m_lastYield)).count();
    }
    MemoryTableList m_list;

private:
    ConnectionSettings m_settings;
    QString m_out;
    int m_pointer = 0;
    Clock::time_point m_lastYield;
    Clock::duration m_maxStall{};
};

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    desktop::UseCNumberFormat();
    QString connection, out;
    QStringList tables;
    const QStringList args = application.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--connection") && i + 1 < args.size())
            connection = args[++i];
        else if (args[i] == QLatin1String("--out") && i + 1 < args.size())
            out = args[++i];
        else
            tables << args[i];
    }
    if (connection.isEmpty() || out.isEmpty() || tables.isEmpty()) {
        std::cerr << "usage: kestrove-bench --connection \"<ODBC connection string>\" --out FILE.xlsx TABLE...\n";
        return 2;
    }
    StderrMessageBoxes boxes;
    desktop::setMessageBoxes(&boxes);
    BenchHost host(parseConnectionString(connection), out);
    for (const QString& table : tables) {
        const int dot = table.indexOf(QLatin1Char('.'));
        host.m_list.add(dot < 0 ? table : table.mid(dot + 1), dot < 0 ? QString() : table.left(dot));
        host.m_list.setChecked(host.m_list.count(), true);
    }
    TableImport import;
    const auto started = Clock::now();
    host.start();
    import.PushButton5_Click(host);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("rows=%ld cells=%ld seconds=%.2f peak_rss_mb=%.1f max_stall_ms=%.0f\n", import.rowsWritten(),
                import.cellsWritten(), seconds, static_cast<double>(usage.ru_maxrss) / 1024.0, host.maxStallMs());
    return boxes.reports == 0 ? 0 : 1;
}
