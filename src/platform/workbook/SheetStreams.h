#pragma once

// The bodies of a workbook's sheets (their rows as sheet XML), made and deflated on a
// worker thread while cells arrive. The caller's thread only hands cells over, in
// batches through a bounded queue, so memory stays flat whatever the size of a sheet.
// Each body goes to an unnamed temporary file as raw deflate segments that join into
// one stream; the package copies them at the save.

#include "platform/workbook/SheetXml.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kestrove::workbook {

class RawDeflater;

// How a cell's text is read: General makes a plain decimal number a numeric cell whose
// format shows the same digits; Number does the same for a column of numbers, whose
// values that stay text are counted by cause; Float makes every finite floating-point
// value a numeric cell; DateTime makes a date or time a date cell where its format shows
// the same text, or that text to the millisecond, and ExactDateTime only where it shows
// the whole text; Header is text in bold, so that a column's name never counts in its
// sum. Anything else stays text.
enum class CellKind : unsigned char { General, DateTime, ExactDateTime, Header, Number, Float };

// Per column from 1: how many values stayed text, by xml::TextCause.
using TextCounts = std::array<long, xml::TextCauseCount>;

// Where a sheet's compressed rows lie in the temporary file.
struct Extent {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// What a sealed body holds, for the sheet's head, foot and zip entry.
struct SheetBody {
    std::vector<Extent> extents; // compressed segments, each ending on a byte boundary
    std::uint64_t compressedSize = 0;
    std::uint64_t plainSize = 0;
    unsigned long crc = 0;
    long firstRow = 0; // 0: no cells
    long lastRow = 0;
    int firstColumn = 0;
    int lastColumn = 0;
    std::vector<std::size_t> widths;         // display width of the widest text, per column from 1
    std::vector<std::size_t> firstRowWidths; // the same for row 1 alone
    std::vector<std::size_t> valueWidths;    // the same for numeric and date cells alone
    // Values of General, Number and Float cells that stayed text, per column from 1: the
    // cause FormatsFull of any, the others of Number and Float cells alone.
    std::vector<TextCounts> numbersAsText;
};

class SheetStreams {
public:
    using Waiter = std::function<void()>;

    SheetStreams();
    ~SheetStreams();
    SheetStreams(const SheetStreams&) = delete;
    SheetStreams& operator=(const SheetStreams&) = delete;

    // A new, empty body; its number is used to hand cells over.
    std::size_t addSheet();

    // Called every few milliseconds while add() waits for the worker to catch up.
    void setWaiter(Waiter whileWaiting) { m_waiter = std::move(whileWaiting); }

    // Hands a cell over. Rows of one sheet arrive from the top down; within a row, any
    // column order, the last text given for a cell counts and an empty text leaves it
    // empty. Throws WorkbookError once an earlier write has failed.
    void add(std::size_t sheet, long row, int column, std::string_view text,
             CellKind kind = CellKind::General);

    // Widths of the sheet's columns as far as its cells have arrived: of all rows, and of
    // row 1 alone. Never throws for a failed write.
    std::pair<std::vector<std::size_t>, std::vector<std::size_t>>
    widths(std::size_t sheet, const Waiter& whileWaiting);

    // Writes every sheet's last row and ends its body; no cell may follow. Throws
    // WorkbookError when a write failed.
    void seal(const Waiter& whileWaiting);
    // After seal: the body of a sheet, and the one temporary file all bodies lie in.
    const SheetBody& body(std::size_t sheet) const;
    // After seal: the formats of decimal numbers and of dates with offsets, in the order of
    // their styles, which follow the fixed ones.
    const std::vector<xml::NumberFormat>& formats() const { return m_formats; }
    int file() const { return m_file; }
    // After seal: gives back temporary space that has been copied.
    void release(std::uint64_t offset, std::uint64_t length);
    // After seal: closes the temporary file; nothing temporary is left.
    void discard();

    // Whether a write has failed, so that no further cell can be kept.
    bool failed() const { return m_failed.load(std::memory_order_relaxed); }

private:
    struct Cell {
        std::uint32_t sheet;
        std::uint32_t column;
        long row;
        std::size_t length; // of its text, which follows the previous cell's in the batch
        CellKind kind;
    };
    struct Batch {
        std::vector<Cell> cells;
        std::string text;
        bool seal = false;
    };
    struct PendingCell {
        int column;
        std::size_t offset;
        std::size_t length;
        CellKind kind;
    };
    struct Sheet {
        SheetBody body;
        long pendingRow = 0;
        std::vector<PendingCell> pending;
        std::string pendingText;
    };

    void post(const Waiter& whileWaiting);
    void waitUntilIdle(const Waiter& whileWaiting);
    void run();
    void take(Batch& batch);
    void receive(const Cell& cell, std::string_view text);
    void writeRow(Sheet& sheet);
    // Appends a cell that holds text to the sheet XML as a date, number or text cell, with
    // the style of its format; the width it shows in.
    std::size_t appendCell(long row, int column, std::string_view text, CellKind kind,
                           SheetBody& body);
    // The style index of a number cell for the text (a format's style is made at its
    // first use), 0 for General; -1 for a text, counted by cause in `body`.
    int numberStyle(std::string_view text, CellKind kind, int column, SheetBody& body);
    // The style of a number cell: one of a format that shows it alike where one is made,
    // else of its own; -1 where that would pass the cap on formats.
    int styleOf(const xml::NumberCell& cell);
    // The style index of a date cell (a format with an offset is made at its first use);
    // -1 for a text.
    int dateStyle(const xml::DateTimeCell& cell);
    // Adds a format to the workbook's table: its place from 1, or 0 where a format of the
    // workbook's own would pass the cap.
    std::size_t addFormat(xml::NumberFormat format);
    void switchTo(std::uint32_t sheet);
    void flushXml(bool endSegment);
    void writeFile(const std::string& data);
    void fail(const std::string& message);
    void throwIfFailed() const;

    // The caller's side.
    Batch m_batch;
    Waiter m_waiter;

    // Shared; guarded by m_mutex.
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Batch> m_queue;
    std::vector<Batch> m_spare;
    std::uint64_t m_posted = 0;
    std::uint64_t m_done = 0;
    bool m_stop = false;
    std::string m_failure;
    std::atomic<bool> m_failed{false};

    // The worker's side; the caller reads it only while the worker is idle.
    std::vector<std::unique_ptr<Sheet>> m_sheets;
    std::unique_ptr<RawDeflater> m_deflater;
    std::uint32_t m_current = UINT32_MAX; // the sheet whose segment is open
    std::string m_xml;
    std::string m_compressed;
    // Excel takes some 200 to 250 number formats of a workbook's own: these, besides the
    // fixed ones of dates and times; its built-in ones count for nothing. Decimal
    // numbers' and dates' with offsets, in the order of their styles.
    static constexpr std::size_t MaxOwnFormats = 150;
    std::size_t m_ownFormats = 0;
    std::vector<xml::NumberFormat> m_formats;
    // The decimal format's place in m_formats from 1, or 0 while unused: of a fixed format
    // per small flag, digits shown and zeros written; of a scientific one per mantissa
    // digits; of negative zero.
    unsigned short m_decimalStyles[2][xml::MaxShownFractionDigits + 1][xml::MaxFractionDigits + 1] =
        {};
    unsigned short m_scientificStyles[xml::MaxMantissaDigits + 1] = {};
    unsigned short m_negativeZeroStyle = 0;
    // A date format with an offset as its style's number and the offset, and its place in
    // m_formats from 1.
    std::vector<std::pair<std::string, std::size_t>> m_dateStyles;
    const std::string m_temporaryFolder; // $TMPDIR when the workbook was made, else /tmp
    int m_file = -1;                     // every sheet's compressed rows, made at the first write
    std::uint64_t m_fileSize = 0;
    bool m_sealed = false;
    std::size_t m_sheetCount = 0; // the caller's

    std::thread m_worker;
};

} // namespace kestrove::workbook
