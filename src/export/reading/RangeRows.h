#pragma once

// The reading of a table in ranges of its blocks (BlockRanges), each range through a
// cursor of its own, on the connection the table is read on and on the further ones it is
// given; the blocks come out in block order.

#include "export/reading/BlockRanges.h"
#include "export/reading/CursorRows.h"
#include "export/reading/TableReading.h"
#include "platform/odbc/Odbc.h"
#include "platform/system/Waiting.h"

#include <cstddef>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

namespace kestrove {

// Its state is guarded by the reading's mutex, save the ranges, which the reading threads
// share.
class RangeRows {
public:
    explicit RangeRows(TableReading& reading) : m_reading(reading) {}

    // Under the reading's mutex: forgets the table before; `helpers` are to read the ranges
    // alongside once they are planned.
    void resetLocked(const std::vector<std::size_t>& helpers);
    // Plans the table's ranges and starts the helpers given so far.
    void start(odbc::Connection& connection, const std::vector<Column>& columns,
               const std::vector<bool>& escaped, unsigned long blocks);
    // Whether the table is read in ranges: on the thread that planned them.
    bool planned() const { return m_ranges != nullptr; }
    // Range after range on one connection until none is left, then the end of the table
    // once every connection's reading has ended.
    void read(std::size_t reader);
    // Gives further connections to read the ranges not yet read.
    void enlist(const std::vector<std::size_t>& helpers);
    // Whether the further connection `reader` reads ranges of this table.
    bool helps(std::size_t reader);
    // Further connections lost while they read ranges, whose ranges were read again on the
    // others; the failure of the first of them.
    std::vector<std::size_t> lostHelpers();
    std::exception_ptr helperLoss();
    // Hands out no more ranges; under the reading's mutex where the reading is not the
    // caller's own.
    void fail();
    // Waits until no further connection reads (calling `whileWaiting` meanwhile, when
    // given), then for the helpers' threads.
    void joinHelpers(const system::Waiter& whileWaiting);

private:
    void help(std::size_t reader);
    // Starts the helpers given so far, while ranges are still being read.
    void startHelpersLocked();
    void leave(std::size_t reader);
    // Reads blocks [first, end) through a cursor of their own into the range's blocks.
    // False once the reading is to stop.
    bool readRange(odbc::Connection& connection, std::size_t index, unsigned long first,
                   unsigned long end, RangeResume& resume);
    // A further connection lost while it read a range: the rest of the range goes back to
    // be read on the others.
    void loseHelper(std::size_t reader, const BlockRange& range, const RangeResume& resume);
    // Ends a range with the failure being handled: the rows before it are given out.
    void failRange(std::size_t index);

    TableReading& m_reading;
    // The ranges, the columns they read, the buffer widths the next range starts from, the
    // connections given to read alongside, those reading and those lost, and how many
    // connections read.
    std::unique_ptr<BlockRanges> m_ranges;
    std::vector<Column> m_columns;
    std::vector<bool> m_escaped;
    std::vector<std::size_t> m_widths;
    std::vector<std::size_t> m_given;
    std::vector<std::size_t> m_helping;
    std::vector<std::size_t> m_lostHelpers;
    std::exception_ptr m_helperLoss;
    std::vector<std::thread> m_helpers;
    std::size_t m_readers = 0;
};

} // namespace kestrove
