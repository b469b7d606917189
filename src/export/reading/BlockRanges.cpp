#include "export/reading/BlockRanges.h"

#include <algorithm>

namespace kestrove {

namespace {
// Until a range has been read, ranges are one block, so that the bytes per block are learned
// cheaply (toasted texts of megabytes fit many to a block); then each aims at aimBytes().
constexpr unsigned long FirstBlocks = 1;
// A table of at most this many blocks is read on its own connection only.
constexpr unsigned long HelpedBlocks = 8;
constexpr unsigned long MostBlocks = 4096;
} // namespace

std::optional<unsigned long> BlockRanges::blocksOf(odbc::Connection& connection,
                                                   const TableName& table) {
    // Where they cannot be counted, the table is read through a cursor; so is a table with
    // inheritance children, whose rows are its own and all of theirs.
    try {
        const odbc::RecordSet found = connection.execute(
            "SELECT c.relkind IN ('r', 'm') AND pg_catalog.current_setting('server_version_num')::"
            "pg_catalog.int4 >= 140000, pg_catalog.pg_relation_size(c.oid) / "
            "pg_catalog.current_setting('block_size')::pg_catalog.int8 FROM pg_catalog.pg_class c "
            "WHERE c.oid = pg_catalog.to_regclass(?) AND c.relam = (SELECT a.oid FROM "
            "pg_catalog.pg_am a WHERE a.amname = 'heap') AND NOT EXISTS (SELECT FROM "
            "pg_catalog.pg_inherits i WHERE i.inhparent = c.oid)",
            {table.quoted()});
        if (found.eof() || found.value(0) != std::optional<std::string>("1") || !found.value(1))
            return std::nullopt;
        return std::stoul(*found.value(1));
    } catch (const odbc::OdbcError&) {
        if (odbc::endsTheConnection(std::current_exception()))
            throw;
        return std::nullopt;
    }
}

BlockRanges::BlockRanges(const TableName& table, unsigned long blocks)
    : m_table(table.quoted()), m_blocks(blocks) {}

void BlockRanges::probe(odbc::Connection& connection, const std::string& rowBytes) {
    if (m_blocks == 0)
        return;
    // Only a guess: without it the first range is merely asked for as usual.
    try {
        const odbc::RecordSet sized = connection.execute(
            "SELECT pg_catalog.count(*)::pg_catalog.text, pg_catalog.sum(" + rowBytes +
            ")::pg_catalog.text FROM " + m_table + " WHERE " + within(0, 1));
        if (!sized.eof())
            learn(1, std::stol(sized.value(0).value_or("0")),
                  sized.value(1) ? std::stoull(*sized.value(1)) : 0);
    } catch (const odbc::OdbcError&) {
        if (odbc::endsTheConnection(std::current_exception()))
            throw;
    }
}

std::optional<BlockRange> BlockRanges::take() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(
        lock, [&] { return m_failed || !m_again.empty() || m_next < m_blocks || m_reading == 0; });
    if (m_failed)
        return std::nullopt;
    if (!m_again.empty()) {
        ++m_reading;
        const BlockRange range = m_again.front();
        m_again.pop_front();
        return range;
    }
    if (m_next >= m_blocks)
        return std::nullopt;
    ++m_reading;
    unsigned long size = FirstBlocks;
    if (m_blocksSeen > 0) {
        const double perBlock = static_cast<double>(m_bytesSeen) / m_blocksSeen;
        size = static_cast<unsigned long>(
            std::clamp(static_cast<double>(aimBytes()) / perBlock, 1.0, double(MostBlocks)));
    }
    size = std::max(size, m_emptyGrowth);
    BlockRange range{m_taken++, m_next, std::min(m_blocks, m_next + size)};
    m_next = range.end;
    return range;
}

void BlockRanges::done() {
    std::lock_guard lock(m_mutex);
    --m_reading;
    m_changed.notify_all();
}

bool BlockRanges::readAgain(const BlockRange& rest) {
    std::lock_guard lock(m_mutex);
    --m_reading;
    m_changed.notify_all();
    if (m_failed)
        return false;
    // In range order, so that the one in turn is read first.
    const auto at = std::find_if(m_again.begin(), m_again.end(),
                                 [&](const BlockRange& range) { return range.index > rest.index; });
    m_again.insert(at, rest);
    return true;
}

bool BlockRanges::severalRanges() const {
    return m_blocks > HelpedBlocks;
}

std::size_t BlockRanges::taken() {
    std::lock_guard lock(m_mutex);
    return m_taken;
}

std::vector<BlockRange> BlockRanges::fail() {
    std::lock_guard lock(m_mutex);
    m_failed = true;
    m_changed.notify_all();
    std::vector<BlockRange> waiting(m_again.begin(), m_again.end());
    m_again.clear();
    return waiting;
}

bool BlockRanges::failed() {
    std::lock_guard lock(m_mutex);
    return m_failed;
}

std::size_t BlockRanges::expectedRowBytes() {
    std::lock_guard lock(m_mutex);
    if (m_rowsSeen == 0)
        return 0;
    return m_bytesSeen / static_cast<std::size_t>(m_rowsSeen);
}

std::size_t BlockRanges::aimBytes() {
    return readingLimits().rangeTextBytes;
}

void BlockRanges::learn(unsigned long blocks, long rows, std::size_t bytes) {
    std::lock_guard lock(m_mutex);
    // Blocks without rows (a log table mostly deleted) say nothing of the bytes a block
    // holds: the ranges after them double, so that long empty stretches take few statements.
    if (rows == 0) {
        m_emptyGrowth = std::min(std::max(m_emptyGrowth, 2 * blocks), MostBlocks);
        return;
    }
    m_emptyGrowth = 0;
    m_blocksSeen += blocks;
    m_bytesSeen += bytes;
    m_rowsSeen += rows;
}

std::string BlockRanges::within(unsigned long first, unsigned long end) const {
    return "ctid >= '(" + std::to_string(first) + ",0)'::pg_catalog.tid AND ctid < '(" +
           std::to_string(end) + ",0)'::pg_catalog.tid";
}

} // namespace kestrove
