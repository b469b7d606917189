#include "command/CommandHost.h"

#include "catalogue/RelationNames.h"
#include "catalogue/TableCatalogue.h"
#include "platform/odbc/Odbc.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace kestrove {

namespace {
constexpr auto ProgressEvery = std::chrono::milliseconds(200);

// The catalogues, and other sessions' temporary tables, which no other session can read.
bool isSystemSchema(const QString& schema) {
    return schema == QLatin1String("pg_catalog") || schema == QLatin1String("information_schema") ||
           schema.startsWith(QLatin1String("pg_temp_")) ||
           schema.startsWith(QLatin1String("pg_toast_temp_"));
}
} // namespace

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
    const double rate =
        seconds > 0 ? static_cast<double>(m_progressOf->rowsWritten()) / seconds : 0;
    const QString line = text == QLatin1String("Progress Bar")
                             ? QString()
                             : text + QStringLiteral("  %1 rows/s").arg(static_cast<long>(rate));
    // Rewrites the line in place and clears what is left of a longer one.
    std::fprintf(stderr, "\r%s\033[K", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

void CommandHost::showProgress(const Import& import) {
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

void CommandHost::showNotices(const QStringList& notices) {
    for (const QString& notice : notices)
        std::cerr << "kestrove-export: notice: " << notice.toStdString() << "\n";
    std::cerr << std::flush;
}

double CommandHost::longestStallMs() const {
    return std::chrono::duration<double, std::milli>(
               std::max(m_longestStall, Clock::now() - m_lastYield))
        .count();
}

void CommandHost::tickAsGiven(const QStringList& names) {
    for (const QString& name : names) {
        const int dot = name.indexOf(QLatin1Char('.'));
        m_list.add(dot < 0 ? name : name.mid(dot + 1), dot < 0 ? QString() : name.left(dot));
        m_list.setChecked(m_list.count(), true);
    }
}

std::optional<QString> CommandHost::tickTables(const QStringList& names, bool all,
                                               const std::vector<QuerySheet>& queries) {
    const auto tickQueries = [&](int afterTables) {
        for (const QuerySheet& query : queries)
            if (all || query.afterTables == afterTables) {
                m_list.addQuery(query.name, query.statement);
                m_list.setChecked(m_list.count(), true);
            }
    };
    if (all) {
        AddTablesToPostgreSQLListbox(m_list, m_settings);
        for (int i = 1; i <= m_list.count(); ++i)
            m_list.setChecked(i, !isSystemSchema(m_list.entry(i).schema));
        tickQueries(0);
        return std::nullopt;
    }
    std::vector<std::optional<Relation>> chosen; // per name; nothing for a repeat
    if (!names.isEmpty()) {
        odbc::Connection connection;
        connection.open(DriverConnectionString(m_settings));
        for (const QString& name : names) {
            const RelationLookup lookup = LookUpRelation(connection, name, m_settings.database);
            if (!lookup.relation)
                return lookup.reason;
            const Relation& relation = *lookup.relation;
            const bool repeat = std::any_of(chosen.begin(), chosen.end(),
                                            [&](const std::optional<Relation>& other) {
                                                return other && other->name == relation.name &&
                                                       other->schema == relation.schema;
                                            });
            chosen.push_back(repeat ? std::nullopt : std::optional(relation));
        }
    }
    // The relations and queries in the order given.
    m_list.clear();
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        tickQueries(static_cast<int>(i));
        if (chosen[i]) {
            m_list.add(chosen[i]->name, chosen[i]->schema);
            m_list.setChecked(m_list.count(), true);
        }
    }
    tickQueries(static_cast<int>(chosen.size()));
    return std::nullopt;
}

} // namespace kestrove
