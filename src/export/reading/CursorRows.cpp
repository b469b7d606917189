#include "export/reading/CursorRows.h"

#include "export/reading/ReadColumns.h"
#include "platform/text/Utf8.h"

#include <algorithm>
#include <atomic>
#include <bit>

namespace kestrove {

namespace {
// The driver holds a whole fetched batch: its rows are chosen so that the batch holds
// about this many bytes, judged by the widest row of the batch before.
constexpr std::size_t FetchBytes = 8 << 20;
constexpr long MaxFetchRows = 8192;
// Rows come from the driver in arrays of at most this many, in buffers of about this many
// bytes; a value's buffer is between these widths.
constexpr std::size_t MaxArrayRows = 1024;
constexpr std::size_t ArrayBytes = 1 << 20;
constexpr std::size_t FirstWidth = 64;
constexpr std::size_t MinWidth = 16;
constexpr std::size_t MaxWidth = 4096;

} // namespace

std::string freshCursorName(const std::string& prefix) {
    static std::atomic<unsigned long> cursors{0};
    return prefix + std::to_string(++cursors);
}

std::string fetchStatement(long rows, const std::string& cursor) {
    return "FETCH FORWARD " + std::to_string(rows) + " FROM " + cursor;
}

void CursorRows::readAll(odbc::Connection& connection, const std::string& cursor,
                         odbc::RowArrays& arrays, const std::vector<bool>& escaped) {
    RowBlock block = m_reading.queue.spare();
    try {
        // Once the reading is to stop, nothing more is handed over.
        Fetched fetched;
        if (!(m_reading.columns.fields.empty()
                  ? passRowsWithoutColumns(block)
                  : fetch(connection, cursor, arrays, escaped, block, nullptr, FirstRows, fetched)))
            return;
    } catch (...) {
        block.failure = std::current_exception();
        m_reading.lost = odbc::endsTheConnection(block.failure);
    }
    m_reading.putLast(block);
}

bool CursorRows::passRowsWithoutColumns(RowBlock& block) {
    for (long row = 0; row < m_reading.count; ++row) {
        ++block.used;
        if (!handOverIfFull(block))
            return false;
    }
    return true;
}

bool CursorRows::fetch(odbc::Connection& connection, const std::string& cursor,
                       odbc::RowArrays& arrays, const std::vector<bool>& escaped, RowBlock& block,
                       RangeResume* range, long asked, Fetched& fetched) {
    const std::size_t batchBytes = range ? RangeBatchBytes : FetchBytes;
    long delivered = 0;
    long batchRows = 0;
    std::size_t widestRow = 0;
    // Each column's buffer holds the longest value of the array before, within bounds;
    // a longer value is read whole on its own.
    std::vector<std::size_t> widths = fetched.widths;
    widths.resize(arrays.fields().size(), FirstWidth);
    std::vector<std::size_t> longest(arrays.fields().size(), 0);
    std::string scratch;
    for (;;) {
        std::size_t rowWidth = 0;
        for (std::size_t width : widths)
            rowWidth += width;
        const std::size_t got =
            arrays.fetch(std::clamp<std::size_t>(ArrayBytes / rowWidth, 1, MaxArrayRows), widths);
        if (got == 0) {
            // A short batch is the last. Every row is read, also past a count: a view
            // with volatile functions gives other rows than it counted, which is reported.
            if (batchRows < asked)
                break;
            // Rows wait for a full block only while earlier ones are still to be
            // taken: the first rows of a table go out with its first batches.
            if (block.used > 0 && m_reading.queue.nothingInTurn() && !handOver(block, range))
                return false;
            const long byBytes =
                static_cast<long>(batchBytes / std::max<std::size_t>(widestRow, 1));
            const long next = std::clamp(byBytes, 1L, std::min(MaxFetchRows, asked * 8));
            // The driver holds the batch until the next: counted before it is asked for.
            if (fetched.outside &&
                !fetched.outside->hold(static_cast<std::size_t>(next) * widestRow +
                                       BlockQueue::ReaderBytes))
                return false;
            arrays.open(fetchStatement(next, cursor), connection);
            asked = next;
            batchRows = 0;
            widestRow = 0;
            continue;
        }
        for (std::size_t i = 0; i < got; ++i) {
            ++batchRows;
            ++fetched.rows;
            // Rows given out by a reading of the range that was lost come again.
            if (range && range->skip > 0) {
                --range->skip;
                continue;
            }
            const std::size_t rowBytes = appendRow(arrays, i, escaped, block, longest, scratch);
            widestRow = std::max(widestRow, rowBytes);
            fetched.bytes += rowBytes;
            ++delivered;
            if (!handOverIfFull(block, range))
                return false;
        }
        for (std::size_t j = 0; j < widths.size(); ++j) {
            widths[j] = std::clamp(std::bit_ceil(longest[j] + 1), MinWidth, MaxWidth);
            longest[j] = 0;
        }
    }
    arrays.close();
    connection.execute("CLOSE " + cursor);
    fetched.widths = widths;
    if (!range)
        m_reading.requireCounted(delivered);
    return true;
}

std::size_t CursorRows::appendRow(odbc::RowArrays& arrays, std::size_t row,
                                  const std::vector<bool>& escaped, RowBlock& block,
                                  std::vector<std::size_t>& longest, std::string& scratch) {
    const std::size_t columns = arrays.fields().size();
    std::size_t rowBytes = 16 * columns;
    for (std::size_t j = 0; j < columns; ++j) {
        const std::size_t start = block.text.size();
        const bool present = arrays.appendValue(row, j, block.text);
        if (present && escaped[j]) {
            scratch.assign(block.text, start);
            unescapeBytes(scratch);
            block.repaired += utf8::repair(scratch);
            block.text.replace(start, std::string::npos, scratch);
        }
        const std::size_t length = block.text.size() - start;
        block.ends.push_back(block.text.size());
        block.nulls.push_back(present ? 0 : 1);
        longest[j] = std::max(longest[j], length);
        rowBytes += length;
    }
    ++block.used;
    return rowBytes;
}

bool CursorRows::handOverIfFull(RowBlock& block, RangeResume* range) {
    if (block.used < BlockQueue::BlockRows && block.text.size() < BlockQueue::BlockBytes)
        return true;
    return handOver(block, range);
}

bool CursorRows::handOver(RowBlock& block, RangeResume* range) {
    const std::size_t index = block.range;
    const long rows = static_cast<long>(block.used);
    if (!m_reading.queue.put(block))
        return false;
    if (range) {
        range->given += rows;
        m_reading.delivered += rows;
    }
    block = m_reading.spareFor(index);
    return true;
}

} // namespace kestrove
