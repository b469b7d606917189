#pragma once

// The tables read ahead of their turn: while one table is written, the ticked tables after
// it are read on the reading's further connections, so that their rows are waiting by the
// time their turn comes. It owns those tables, the connections lost meanwhile and the
// budget of connections and memory they share. Reading ahead only saves time: a table
// that cannot be read ahead is read in its turn.

#include "export/reading/ReadingTransaction.h"
#include "export/reading/TableReader.h"

#include <cstddef>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

namespace kestrove {

class ReadAhead {
public:
    using Waiter = TableReader::Waiter;
    // Rows of the tables read ahead, held in memory at most, all together.
    static constexpr std::size_t AheadBytes = 24 << 20;

    ReadAhead(ReadingTransaction& reading, Waiter whileWaiting);

    // Starts reading the sources of the ticked entries after the one in turn (`following`,
    // in list order) on the connections no table is being fetched on (`inTurn`, the table
    // in turn, may still be), while the tables read ahead are fewer than the further
    // connections. Only a table locked at the reading's start is read ahead; the first that
    // is not, or a query, stops it.
    void start(const std::vector<ReadSource>& following, TableReader* inTurn);
    // Makes `reader` read `source`, the table in turn: it becomes the reader that read
    // ahead for it, else it opens now. Tables read ahead in another order (the list
    // changed meanwhile) are dropped and read again in their turn. A query is never read
    // ahead. Throws as an open does.
    // With `helped`, the further connections no table read ahead uses read its ranges too.
    void openInTurn(const ReadSource& source, std::unique_ptr<TableReader>& reader,
                    bool helped = true);
    // Gives the further connections that nothing else reads on to the table in turn, to
    // read its ranges alongside.
    void helpInTurn(TableReader& inTurn);
    // Ends the reading of every table read ahead, while the window keeps answering.
    void drop();
    // The tables being read ahead, in list order.
    std::size_t size() const { return m_ahead.size(); }

private:
    // A table read ahead on a further connection that was lost, or refused the table's
    // lock, before any row was given out is read again on the first connection; whether it
    // was.
    bool readAgain(const TableName& table, std::unique_ptr<TableReader>& reader);
    // Notes the connections a table's reading lost.
    void remember(TableReader& reader);
    // The further connections not lost and not fetched on for a table read ahead.
    std::vector<std::size_t> idleReaders();

    ReadingTransaction& m_reading;
    Waiter m_whileWaiting;
    std::deque<std::pair<TableName, std::unique_ptr<TableReader>>> m_ahead;
    // Connections lost while reading ahead: nothing more is read on them.
    std::vector<bool> m_lost;
};

} // namespace kestrove
