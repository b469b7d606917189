#pragma once

// The import run without a window, for the command-line programs (kestrove-export and
// the benchmark's kestrove-bench): fixed settings and workbook path, the list in memory.

#include "export/Import.h"
#include "export/reading/QueryText.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

namespace kestrove {

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
    // Each on standard error: "kestrove-export: notice: ...".
    void showNotices(const QStringList& notices) override;

    // Shows the status on standard error, one line rewritten in place, with the rate of
    // the import's rows.
    void showProgress(const Import& import);
    // Called with the saved workbook's path instead of opening it.
    void onSaved(std::function<void(const QString& path)> saved) { m_saved = std::move(saved); }

    // Fills the list with the tables to export. Names find any relation a SELECT reads,
    // as psql reads them (see RelationNames.h), exported in the order given; `all` ticks
    // every table of the window's catalogue query outside the system catalogues and other
    // sessions' temporary schemas, in the list's order. Each query's entry goes after the
    // tables named before it, or after all of them with `all`. Returns a one-line reason
    // when a name does not find exactly one relation; throws when the database cannot be
    // reached.
    std::optional<QString> tickTables(const QStringList& names, bool all,
                                      const std::vector<QuerySheet>& queries = {});

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
    const Import* m_progressOf = nullptr;
    Clock::time_point m_started = Clock::now();
    Clock::time_point m_lastShown{};
    std::function<void(const QString&)> m_saved;
};

} // namespace kestrove
