#pragma once

// The import run without a window, for the command-line programs (kestrove-export and
// the benchmark's kestrove-bench): reports go to standard error, the list is in memory.

#include "export/Import.h"
#include "platform/desktop/MessageBoxes.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

namespace kestrove {

// Ends the program on SIGINT, SIGTERM or SIGHUP with status 128 + the signal, after the
// files registered as leftovers are removed and a terminal left without echo is put
// back. Signals are taken by a thread of its own, so that the program's own threads never
// run the cleanup: make it first in main, before any other thread starts.
class EndOnSignals {
public:
    EndOnSignals();
    EndOnSignals(const EndOnSignals&) = delete;
    EndOnSignals& operator=(const EndOnSignals&) = delete;
    // The workbook is being put in place: from here on a signal no longer ends the run
    // halfway, it ends by itself in a moment.
    void finishing();
};

// Prints each report to standard error in its own text (line breaks as on screen) and
// counts the error reports; other messages ("Done.") are left out.
class ReportPrinter final : public desktop::MessageBoxService {
public:
    ReportPrinter();
    ~ReportPrinter() override;
    ReportPrinter(const ReportPrinter&) = delete;
    ReportPrinter& operator=(const ReportPrinter&) = delete;

    void show(const QString& text, int style, const QString& title) override;
    int reports() const { return m_reports; }

private:
    int m_reports = 0;
};

// The window's side of an import, for a command: fixed settings and workbook path, a list
// in memory, yields that only process pending events, and an optional progress line.
class CommandHost final : public ImportHost {
public:
    using Clock = std::chrono::steady_clock;

    CommandHost(ConnectionSettings settings, QString workbookPath);

    TableList& tableList() override { return m_list; }
    void setProgress(double) override {}
    void setStatusText(const QString& text) override;
    int mousePointer() const override { return m_pointer; }
    void setMousePointer(int pointer) override { m_pointer = pointer; }
    int windowState() const override { return WindowNormal; }
    void setWindowState(int) override {}
    ConnectionSettings connectionSettings() const override { return m_settings; }
    void yield() override;
    QString workbookPath(const ConnectionSettings&) override { return m_workbookPath; }
    void openWorkbook(const QString& path) override;

    // Shows the status on standard error, one line rewritten in place, with the rate of
    // the import's rows.
    void showProgress(const TableImport& import);
    // Called with the saved workbook's path instead of opening it.
    void onSaved(std::function<void(const QString& path)> saved) { m_saved = std::move(saved); }

    // Fills the list with the tables to export. Names find any relation a SELECT reads,
    // as psql reads them (see RelationNames.h), exported in the order given; `all` ticks
    // every table of the window's catalogue query outside the system catalogues and other
    // sessions' temporary schemas, in the list's order. Returns a one-line reason when a
    // name does not find exactly one relation; throws when the database cannot be reached.
    std::optional<QString> tickTables(const QStringList& names, bool all);

    // The longest time between two yields so far, in milliseconds.
    double longestStallMs() const;
    // Adds the tables as given, unchecked against the catalogue: schema.table or bare.
    void tickAsGiven(const QStringList& names);

private:
    ConnectionSettings m_settings;
    QString m_workbookPath;
    MemoryTableList m_list;
    int m_pointer = PointerDefault;
    Clock::time_point m_lastYield = Clock::now();
    Clock::duration m_longestStall{};
    const TableImport* m_progressOf = nullptr;
    Clock::time_point m_started = Clock::now();
    Clock::time_point m_lastShown{};
    std::function<void(const QString&)> m_saved;
};

} // namespace kestrove
