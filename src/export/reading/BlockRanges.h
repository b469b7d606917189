#pragma once

// A table read in ranges of its blocks: each range is read through a cursor of its own,
// rows of plain columns in batches, so that several connections share the driver's work
// per value while the server does no more per row than for one cursor over the table.
// The ranges are handed to several reading threads in block order; their sizes follow the
// bytes per block seen so far.

#include "export/reading/ReadColumns.h"
#include "export/reading/ReadingTransaction.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestrove {

// Blocks [first, end) of a table, the `index`th range handed out. A range read again
// after its connection was lost skips the rows that were given out before.
struct BlockRange {
    std::size_t index = 0;
    unsigned long first = 0;
    unsigned long end = 0;
    long skip = 0;
    bool again = false;
};

class BlockRanges {
public:
    // The bytes of text a range aims at (ReadingLimits).
    static std::size_t aimBytes();

    // The blocks of a table that can be read in ranges (a table or a materialized view
    // without inheritance children, on a server that scans ranges of row addresses:
    // PostgreSQL 14 and later), counted in
    // the transaction's snapshot after its lock; nullopt for any other relation.
    static std::optional<unsigned long> blocksOf(odbc::Connection& connection,
                                                 const TableName& table);

    BlockRanges(const TableName& table, unsigned long blocks);

    // Learns the bytes of the first block from its rows' stored sizes, which costs the
    // server no reading of toasted values, so that the first range and its first batch
    // are sized like the others. `rowBytes` is rowBytesFor() of the columns.
    void probe(odbc::Connection& connection, const std::string& rowBytes);

    // The next range: one to be read again first, else the next in block order. While
    // none is left but others are still read, it waits, since one of them may come back;
    // nullopt once every range is read, or once the reading has failed.
    std::optional<BlockRange> take();
    // A range taken is read, or the rest of it is to be read again on another connection.
    void done();
    // False once the reading has failed: then no one reads it.
    bool readAgain(const BlockRange& rest);
    // Ranges handed out so far (the index the next one gets).
    std::size_t taken();
    // Whether the table takes more than its first range, so that other connections help.
    bool severalRanges() const;
    // Stops handing out ranges; those that waited to be read again.
    std::vector<BlockRange> fail();
    bool failed();
    // A range read: its blocks, its rows and the bytes of their text (0: it held no rows).
    void learn(unsigned long blocks, long rows, std::size_t bytes);
    // The bytes of a row's text, by those seen so far; 0 before any.
    std::size_t expectedRowBytes();

    // The condition that keeps the rows of blocks [first, end).
    std::string within(unsigned long first, unsigned long end) const;

private:
    std::string m_table;
    unsigned long m_blocks;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<BlockRange> m_again;
    std::size_t m_reading = 0;
    unsigned long m_next = 0;
    std::size_t m_taken = 0;
    bool m_failed = false;
    unsigned long m_blocksSeen = 0;
    std::size_t m_bytesSeen = 0;
    long m_rowsSeen = 0;
    // The least size of the next range, while ranges come back without rows.
    unsigned long m_emptyGrowth = 0;
};

} // namespace kestrove
