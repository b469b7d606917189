#pragma once

// The fetching of a table's rows through a cursor, batch after batch, into the blocks of
// its reading: of the whole table, or of one range of its blocks (RangeRows).

#include "export/reading/BlockQueue.h"
#include "export/reading/TableReading.h"
#include "platform/odbc/Odbc.h"

#include <cstddef>
#include <string>
#include <vector>

namespace kestrove {

// A cursor name no other reading uses: `prefix` and a number.
std::string freshCursorName(const std::string& prefix);
// The statement that fetches the next `rows` rows through `cursor`.
std::string fetchStatement(long rows, const std::string& cursor);

// How far the reading of a range has come: the rows of it given out, counted from block
// `from`, and those still to skip, given out by a reading before that was lost.
struct RangeResume {
    unsigned long from = 0;
    long given = 0;
    long skip = 0;
    // Blocks before `end` are read: nothing of them is to come again.
    void settle(unsigned long end) {
        if (skip == 0) {
            from = end;
            given = 0;
        }
    }
};

// What a reading through a cursor took: its rows and their bytes, and its columns' buffer
// widths, which the next range starts from; for a range, what it holds outside the queue.
struct Fetched {
    long rows = 0;
    std::size_t bytes = 0;
    std::vector<std::size_t> widths;
    BlockQueue::Outside* outside = nullptr;
};

class CursorRows {
public:
    // The first batch of a whole table holds this many rows.
    static constexpr long FirstRows = 16;
    // The driver holds a range's batch of about this many bytes: several connections read
    // ranges at once, each holding its batch.
    static constexpr std::size_t RangeBatchBytes = 1 << 20;

    explicit CursorRows(TableReading& reading) : m_reading(reading) {}

    // Hands the rows of the whole table over in blocks, then its end or the failure that
    // broke the stream; nothing once the reading is to stop.
    void readAll(odbc::Connection& connection, const std::string& cursor, odbc::RowArrays& arrays,
                 const std::vector<bool>& escaped);
    // Fetches batch after batch through the cursor, the first of `asked` rows, each after
    // it sized by the widest row before. Of a whole table (`range` null), the rows are
    // checked against its count; of a range, counted as they go out. False once the
    // reading is to stop.
    bool fetch(odbc::Connection& connection, const std::string& cursor, odbc::RowArrays& arrays,
               const std::vector<bool>& escaped, RowBlock& block, RangeResume* range, long asked,
               Fetched& fetched);
    // Hands a block over and starts the next of its range; a range's rows are counted.
    bool handOver(RowBlock& block, RangeResume* range);

private:
    // A table without columns: its counted rows, with nothing to fetch.
    bool passRowsWithoutColumns(RowBlock& block);
    // Appends a fetched row to the block; its bytes, as the batch sizes count them. Each
    // column's longest value so far goes into `longest`.
    std::size_t appendRow(odbc::RowArrays& arrays, std::size_t row,
                          const std::vector<bool>& escaped, RowBlock& block,
                          std::vector<std::size_t>& longest, std::string& scratch);
    // Hands a full block over and starts the next.
    bool handOverIfFull(RowBlock& block, RangeResume* range = nullptr);

    TableReading& m_reading;
};

} // namespace kestrove
