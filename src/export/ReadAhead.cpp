#include "export/ReadAhead.h"

#include "app/ErrorReport.h"

#include <algorithm>

namespace kestrove {

namespace {
bool sameTable(const TableName& a, const TableName& b) {
    return !(a < b) && !(b < a);
}
} // namespace

ReadSource sourceOf(const TableEntry& entry) {
    if (!entry.query.isEmpty())
        return ReadSource::ofQuery(entry.query.toStdString());
    return ReadSource(TableName{entry.schema.toStdString(), entry.text.toStdString()});
}

ReadAhead::ReadAhead(ReadingTransaction& reading, Waiter whileWaiting)
    : m_reading(reading), m_whileWaiting(std::move(whileWaiting)) {}

void ReadAhead::start(const TableList& list, int position, TableReader* inTurn) {
    const std::size_t readers = m_reading.readers();
    m_lost.resize(readers, false);
    std::vector<bool> busy = m_lost;
    const auto note = [&](TableReader& reader) {
        if (reader.reader() >= readers)
            return;
        m_lost[reader.reader()] = m_lost[reader.reader()] || reader.lostConnection();
        busy[reader.reader()] = busy[reader.reader()] || m_lost[reader.reader()];
        // A table read in ranges may read on several connections.
        for (std::size_t i = 0; i < readers; ++i)
            busy[i] = busy[i] || reader.uses(i);
    };
    if (inTurn)
        note(*inTurn);
    for (const auto& [table, reader] : m_ahead)
        note(*reader);
    std::size_t skip = m_ahead.size();
    for (int k = position + 1; k <= list.count() && m_ahead.size() + 1 < readers; ++k) {
        const TableEntry entry = list.entry(k);
        if (!entry.checked || skip-- > 0)
            continue;
        const ReadSource source = sourceOf(entry);
        const TableName& table = source.table;
        const auto idle = std::find(busy.begin(), busy.end(), false);
        // Only a table locked at the start can be read on any connection; a query never is.
        if (idle == busy.end() || source.isQuery() || !m_reading.holdsLock(table))
            return;
        *idle = true;
        auto reader = std::make_unique<TableReader>();
        reader->begin(m_reading, static_cast<std::size_t>(idle - busy.begin()), table,
                      AheadBytes / (readers - 1));
        m_ahead.emplace_back(table, std::move(reader));
    }
}

void ReadAhead::openInTurn(const ReadSource& source, std::unique_ptr<TableReader>& records,
                           bool helped) {
    if (source.isQuery() || m_ahead.empty() || !sameTable(m_ahead.front().first, source.table)) {
        drop();
        Required(records.get())
            .open(m_reading, source, m_whileWaiting,
                  helped ? idleReaders() : std::vector<std::size_t>{});
        return;
    }
    const TableName& table = source.table;
    records = std::move(m_ahead.front().second);
    m_ahead.pop_front();
    if (readAgain(table, records))
        return;
    try {
        records->claim(m_whileWaiting);
    } catch (...) {
        if (!readAgain(table, records))
            throw;
        return;
    }
    // The further connections no table read ahead is fetched on help read its ranges.
    if (!helped)
        return;
    std::vector<std::size_t> idle;
    for (const std::size_t reader : idleReaders())
        if (!records->uses(reader))
            idle.push_back(reader);
    records->enlist(idle);
}

std::vector<std::size_t> ReadAhead::idleReaders() {
    std::vector<std::size_t> idle;
    m_lost.resize(m_reading.readers(), false);
    for (std::size_t i = 1; i < m_reading.readers(); ++i) {
        bool busy = m_lost[i];
        for (const auto& [table, reader] : m_ahead)
            busy = busy || reader->uses(i);
        if (!busy)
            idle.push_back(i);
    }
    return idle;
}

bool ReadAhead::readAgain(const TableName& table, std::unique_ptr<TableReader>& records) {
    if (records->reader() == 0 || !(records->lostConnection() || records->lockRefused()))
        return false;
    if (records->lostConnection())
        m_lost.at(records->reader()) = true;
    drop();
    records = std::make_unique<TableReader>();
    records->open(m_reading, table, m_whileWaiting, idleReaders());
    return true;
}

void ReadAhead::drop() {
    for (auto& [table, reader] : m_ahead)
        reader->stop(m_whileWaiting);
    m_ahead.clear();
}

} // namespace kestrove
