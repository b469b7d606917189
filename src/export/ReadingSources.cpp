#include "export/ReadingSources.h"

#include "export/reading/ReadingTransaction.h"

namespace kestrove {

std::string ReadingConnectionString(const ConnectionSettings& settings) {
    const ReadingLimits& limits = readingLimits();
    return DriverConnectionString(
        settings, Keepalives{limits.keepaliveIdleSeconds, limits.keepaliveIntervalSeconds,
                             limits.keepaliveCount, limits.unacknowledgedTimeout});
}

ReadSource sourceOf(const TableEntry& entry) {
    if (!entry.query.isEmpty())
        return ReadSource::ofQuery(entry.query.toStdString());
    return ReadSource(TableName{entry.schema.toStdString(), entry.text.toStdString()});
}

std::vector<ReadSource> tickedSourcesAfter(const TableList& list, int position, std::size_t most) {
    std::vector<ReadSource> sources;
    for (int k = position + 1; k <= list.count() && sources.size() < most; ++k)
        if (const TableEntry entry = list.entry(k); entry.checked)
            sources.push_back(sourceOf(entry));
    return sources;
}

std::vector<TableName> tickedTables(const TableList& list) {
    std::vector<TableName> tables;
    for (const ReadSource& source : tickedSourcesAfter(list, 0))
        if (!source.isQuery())
            tables.push_back(source.table);
    return tables;
}

} // namespace kestrove
