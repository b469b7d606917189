#pragma once

// The import's reading of one table, on worker threads, ahead of the rows being written.

#include "export/reading/BlockQueue.h"
#include "export/reading/ReadSource.h"
#include "export/reading/ReadingTransaction.h"
#include "export/reading/TableColumns.h"
#include "export/reading/TableFetch.h"
#include "platform/odbc/Odbc.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace kestrove {

// The rows being given out: the block taken last, the row in it, and the values repaired
// in the blocks taken so far; closed until a table is claimed.
class RowsInHand {
public:
    bool isOpen() const { return m_open; }
    void requireOpen() const {
        if (!m_open)
            throwClosed();
    }
    void open();
    void close();
    // The value at `ordinal` of the current row of `fields` values.
    std::optional<std::string_view> value(std::size_t fields, std::size_t ordinal) const;
    bool eof() const { return m_position >= m_block.used; }
    bool lastRow() const { return m_exhausted && m_position + 1 == m_block.used; }
    // Moves to the next row, taking blocks from `queue` until one has rows or is the last.
    void moveNext(BlockQueue& queue, const system::Waiter& whileWaiting);
    long repaired() const { return m_repaired; }

private:
    [[noreturn]] static void throwClosed();

    bool m_open = false;
    RowBlock m_block;
    std::size_t m_position = 0;
    bool m_exhausted = false;
    long m_repaired = 0;
};

// The import's reading of one table: read on worker threads, in batches bounded by bytes,
// while the caller writes the rows before. A table's row count comes from a count(*) in
// the same snapshot, before the first row is read; every row read is given out, and a
// difference from the count comes as a failure after the last. Waiting calls
// `whileWaiting` every few milliseconds so that the window keeps answering.
//
// A table or materialized view is read in ranges of its blocks (RangeRows), each through
// a cursor of its own, on its own connection and on the further connections it is given,
// whose rows come out in block order; anything else through one cursor (CursorRows).
// Which connections it uses, and how they fared, come from fetch() (TableFetch).
//
// The table's columns come in its order under their own names, each judged by its base
// type (domains followed to the end). Date and time columns are asked for as the
// server's text, because the driver turns some of their values into other ones
// (infinity, BC dates, years past 9999); binary columns, which the import does not
// write, are not fetched at all.
// Where the database hands over bytes unchecked, bytes that are not UTF-8 become U+FFFD.
//
// When the stream breaks, every row that arrived before is still given out; the failure
// comes at the move past the last of them.
class TableReader {
public:
    using Waiter = std::function<void()>;

    TableReader() = default;
    TableReader(const TableReader&) = delete;
    TableReader& operator=(const TableReader&) = delete;

    // Starts reading the table on the transaction's first connection and waits for its
    // first row: begin() and claim() in one.
    void open(ReadingTransaction& reading, const ReadSource& source, const Waiter& whileWaiting,
              const std::vector<std::size_t>& helpers = {});
    // Starts reading the table on one of the transaction's connections and returns at
    // once. Read ahead of its turn, it keeps rows up to `aheadBytes` (0: a few blocks);
    // claim() makes it the table whose rows are given out, and waits for its first row.
    // `helpers` are further connections free to read its ranges alongside.
    void begin(ReadingTransaction& reading, std::size_t reader, const ReadSource& source,
               std::size_t aheadBytes, const std::vector<std::size_t>& helpers = {});
    void claim(const Waiter& whileWaiting);
    // The fetching behind the rows: the connections it uses and lost, more connections to
    // help it, its end.
    TableFetch& fetch() { return m_fetch; }
    int state() const noexcept { return m_rows.isOpen() ? odbc::StateOpen : odbc::StateClosed; }
    void close();

    // The rows counted before the first is read; UnknownRowCount for a query, which runs once.
    long recordCount() const;
    const TableColumns& columns() const;
    // The current row's value as UTF-8, nullopt for Null; valid until the next move.
    std::optional<std::string_view> value(int ordinal) const;
    // Whether every row has been given out (a broken stream too, once its failure came).
    bool eof() const;
    // Whether the current row is known to be the last.
    bool lastRow() const;
    void moveNext(const Waiter& whileWaiting);
    // Values given out so far whose bytes were not all UTF-8.
    long repairedValues() const { return m_rows.repaired(); }

private:
    TableFetch m_fetch;
    RowsInHand m_rows;
};

} // namespace kestrove
