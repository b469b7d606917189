#include "export/reading/ReadAhead.h"

#include "app/ErrorReport.h"

#include <algorithm>

namespace kestrove {

namespace {
bool sameTable(const TableName& a, const TableName& b) {
    return !(a < b) && !(b < a);
}
} // namespace

ReadAhead::ReadAhead(ReadingTransaction& reading, Waiter whileWaiting)
    : m_reading(reading), m_whileWaiting(std::move(whileWaiting)) {}

void ReadAhead::start(const std::vector<ReadSource>& following, TableReader* inTurn) {
    const std::size_t readers = m_reading.readers();
    m_lost.resize(readers, false);
    std::vector<bool> busy = m_lost;
    const auto note = [&](TableReader& reader) {
        remember(reader);
        // A table read in ranges may read on several connections.
        for (std::size_t i = 0; i < readers; ++i)
            busy[i] = busy[i] || m_lost[i] || reader.fetch().uses(i);
    };
    if (inTurn)
        note(*inTurn);
    for (const auto& [table, reader] : m_ahead)
        note(*reader);
    std::size_t skip = m_ahead.size();
    for (auto next = following.begin(); next != following.end() && m_ahead.size() + 1 < readers;
         ++next) {
        // The ticked tables already read ahead come first.
        if (skip > 0) {
            --skip;
            continue;
        }
        const ReadSource& source = *next;
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

void ReadAhead::remember(TableReader& reader) {
    m_lost.resize(m_reading.readers(), false);
    TableFetch& fetch = reader.fetch();
    if (fetch.reader() < m_lost.size() && fetch.lostConnection())
        m_lost[fetch.reader()] = true;
    for (const std::size_t helper : fetch.lostHelpers())
        if (helper < m_lost.size())
            m_lost[helper] = true;
}

void ReadAhead::openInTurn(const ReadSource& source, std::unique_ptr<TableReader>& reader,
                           bool helped) {
    // The table before may have lost connections.
    if (reader)
        remember(*reader);
    if (source.isQuery() || m_ahead.empty() || !sameTable(m_ahead.front().first, source.table)) {
        drop();
        Required(reader.get())
            .open(m_reading, source, m_whileWaiting,
                  helped ? idleReaders() : std::vector<std::size_t>{});
        return;
    }
    const TableName& table = source.table;
    reader = std::move(m_ahead.front().second);
    m_ahead.pop_front();
    if (readAgain(table, reader))
        return;
    try {
        reader->claim(m_whileWaiting);
    } catch (...) {
        if (!readAgain(table, reader))
            throw;
        return;
    }
    // The further connections no table read ahead is fetched on help read its ranges.
    if (helped)
        helpInTurn(*reader);
}

void ReadAhead::helpInTurn(TableReader& inTurn) {
    if (inTurn.fetch().lostConnection())
        return;
    std::vector<std::size_t> idle;
    for (const std::size_t reader : idleReaders())
        if (!inTurn.fetch().uses(reader))
            idle.push_back(reader);
    if (!idle.empty())
        inTurn.fetch().enlist(idle);
}

std::vector<std::size_t> ReadAhead::idleReaders() {
    std::vector<std::size_t> idle;
    m_lost.resize(m_reading.readers(), false);
    for (std::size_t i = 1; i < m_reading.readers(); ++i) {
        bool busy = m_lost[i];
        for (const auto& [table, reader] : m_ahead)
            busy = busy || reader->fetch().uses(i);
        if (!busy)
            idle.push_back(i);
    }
    return idle;
}

bool ReadAhead::readAgain(const TableName& table, std::unique_ptr<TableReader>& reader) {
    TableFetch& fetch = reader->fetch();
    if (fetch.reader() == 0 || !(fetch.lostConnection() || fetch.lockRefused()))
        return false;
    if (fetch.lostConnection())
        m_lost.at(fetch.reader()) = true;
    drop();
    reader = std::make_unique<TableReader>();
    reader->open(m_reading, table, m_whileWaiting, idleReaders());
    return true;
}

void ReadAhead::drop() {
    for (auto& [table, reader] : m_ahead)
        reader->fetch().stop(m_whileWaiting);
    m_ahead.clear();
}

} // namespace kestrove
