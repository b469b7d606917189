#include "export/CommandLine.h"

#include "catalogue/TableCatalogue.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace kestrove {

namespace {
constexpr auto ProgressEvery = std::chrono::milliseconds(200);

bool isSystemSchema(const QString& schema) {
    return schema == QLatin1String("pg_catalog") || schema == QLatin1String("information_schema");
}
} // namespace

ReportPrinter::ReportPrinter() { desktop::setMessageBoxes(this); }

ReportPrinter::~ReportPrinter() { desktop::setMessageBoxes(nullptr); }

void ReportPrinter::show(const QString& text, int style, const QString& title) {
    if (style != desktop::StyleExclamation)
        return;
    ++m_reports;
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    std::cerr << "\n[" << title.toStdString() << "] " << shown.toStdString() << "\n" << std::flush;
}

CommandHost::CommandHost(ConnectionSettings settings, QString workbookPath)
    : m_settings(std::move(settings)), m_workbookPath(std::move(workbookPath)) {}

void CommandHost::setStatusText(const QString& text) {
    if (!m_progressOf)
        return;
    const auto now = Clock::now();
    if (now - m_lastShown < ProgressEvery && text != QLatin1String("Progress Bar"))
        return;
    m_lastShown = now;
    const double seconds = std::chrono::duration<double>(now - m_started).count();
    const double rate = seconds > 0 ? static_cast<double>(m_progressOf->rowsWritten()) / seconds : 0;
    const QString line = text == QLatin1String("Progress Bar")
                             ? QString()
                             : text + QStringLiteral("  %1 rows/s").arg(static_cast<long>(rate));
    // Rewrites the line in place and clears what is left of a longer one.
    std::fprintf(stderr, "\r%s\033[K", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

void CommandHost::showProgress(const TableImport& import) {
    m_progressOf = &import;
    m_started = Clock::now();
}

void CommandHost::yield() {
    const auto now = Clock::now();
    m_longestStall = std::max(m_longestStall, now - m_lastYield);
    m_lastYield = now;
    QCoreApplication::processEvents();
}

void CommandHost::openWorkbook(const QString& path) {
    if (m_saved)
        m_saved(path);
}

double CommandHost::longestStallMs() const {
    return std::chrono::duration<double, std::milli>(std::max(m_longestStall, Clock::now() - m_lastYield)).count();
}

void CommandHost::tickAsGiven(const QStringList& names) {
    for (const QString& name : names) {
        const int dot = name.indexOf(QLatin1Char('.'));
        m_list.add(dot < 0 ? name : name.mid(dot + 1), dot < 0 ? QString() : name.left(dot));
        m_list.setChecked(m_list.count(), true);
    }
}

std::optional<QString> CommandHost::tickTables(const QStringList& names, bool all) {
    AddTablesToPostgreSQLListbox(m_list, m_settings);
    if (all) {
        for (int i = 1; i <= m_list.count(); ++i)
            m_list.setChecked(i, !isSystemSchema(m_list.entry(i).schema));
        return std::nullopt;
    }
    std::vector<TableEntry> chosen;
    for (const QString& name : names) {
        // A name that is a table's whole name wins over a schema-qualified reading.
        std::vector<int> found;
        for (int i = 1; i <= m_list.count(); ++i)
            if (m_list.entry(i).text == name)
                found.push_back(i);
        const int dot = name.indexOf(QLatin1Char('.'));
        if (found.empty() && dot > 0)
            for (int i = 1; i <= m_list.count(); ++i)
                if (m_list.entry(i).schema == name.left(dot) && m_list.entry(i).text == name.mid(dot + 1))
                    found.push_back(i);
        if (found.empty())
            return QStringLiteral("no table named %1 in database %2").arg(name, m_settings.database);
        if (found.size() > 1) {
            QStringList schemas;
            for (int i : found)
                schemas << m_list.entry(i).schema;
            return QStringLiteral("%1 is a table in several schemas (%2): name one as schema.table")
                .arg(name, schemas.join(QStringLiteral(", ")));
        }
        const TableEntry entry = m_list.entry(found.front());
        if (std::none_of(chosen.begin(), chosen.end(), [&](const TableEntry& other) {
                return other.text == entry.text && other.schema == entry.schema;
            }))
            chosen.push_back(entry);
    }
    // The tables in the order given.
    m_list.clear();
    for (const TableEntry& entry : chosen) {
        m_list.add(entry.text, entry.schema);
        m_list.setChecked(m_list.count(), true);
    }
    return std::nullopt;
}

} // namespace kestrove
