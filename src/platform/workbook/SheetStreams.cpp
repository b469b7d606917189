#include "platform/workbook/SheetStreams.h"

#include "platform/system/Waiting.h"
#include "platform/workbook/Deflate.h"
#include "platform/workbook/SheetXml.h"
#include "platform/workbook/WorkbookError.h"

#include <isa-l/crc.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace kestrove::workbook {

namespace {

constexpr std::size_t BatchCells = 16384;
constexpr std::size_t BatchBytes = 1 << 20;
constexpr std::size_t QueuedBatches = 3;
constexpr std::size_t SpareBatches = 2;
constexpr std::size_t XmlChunk = 256 << 10;
constexpr std::size_t FileChunk = 1 << 20;

void widen(std::vector<std::size_t>& widths, int column, std::size_t width) {
    const auto index = static_cast<std::size_t>(column - 1);
    if (widths.size() <= index)
        widths.resize(index + 1, 0);
    widths[index] = std::max(widths[index], width);
}

std::string temporaryFolder() {
    const char* folder = std::getenv("TMPDIR");
    return folder && *folder ? folder : "/tmp";
}

// An unnamed file in the temporary folder: it goes away with its descriptor, also when
// the program is ended.
int openUnnamedFile(const std::string& folder) {
    int file = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (file >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return file;
    std::string name = folder + "/kestrove-sheet-XXXXXX";
    file = ::mkostemp(name.data(), O_CLOEXEC);
    if (file >= 0)
        ::unlink(name.c_str());
    return file;
}

} // namespace

SheetStreams::SheetStreams()
    : m_deflater(std::make_unique<RawDeflater>()), m_temporaryFolder(temporaryFolder()) {
    m_worker = std::thread(&SheetStreams::run, this);
}

SheetStreams::~SheetStreams() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_worker.join();
    discard();
}

void SheetStreams::release(std::uint64_t offset, std::uint64_t length) {
    // Where holes cannot be punched, the space comes back when the file is closed.
    if (m_file >= 0)
        ::fallocate(m_file, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                    static_cast<off_t>(length));
}

void SheetStreams::discard() {
    if (m_file >= 0)
        ::close(m_file);
    m_file = -1;
}

std::size_t SheetStreams::addSheet() {
    return m_sheetCount++;
}

void SheetStreams::add(std::size_t sheet, long row, int column, std::string_view text,
                       CellKind kind) {
    if (m_failed.load(std::memory_order_relaxed))
        throwIfFailed();
    if (m_sealed)
        throw WorkbookError("The workbook has been saved already.");
    m_batch.cells.push_back({static_cast<std::uint32_t>(sheet), static_cast<std::uint32_t>(column),
                             row, text.size(), kind});
    m_batch.text.append(text);
    if (m_batch.cells.size() >= BatchCells || m_batch.text.size() >= BatchBytes)
        post(m_waiter);
}

void SheetStreams::post(const Waiter& whileWaiting) {
    std::unique_lock lock(m_mutex);
    system::waitYielding(
        m_changed, lock, [&] { return m_queue.size() < QueuedBatches; }, whileWaiting);
    m_queue.push_back(std::move(m_batch));
    ++m_posted;
    if (m_spare.empty()) {
        m_batch = Batch{};
    } else {
        m_batch = std::move(m_spare.back());
        m_spare.pop_back();
    }
    lock.unlock();
    m_changed.notify_all();
}

void SheetStreams::waitUntilIdle(const Waiter& whileWaiting) {
    post(whileWaiting);
    std::unique_lock lock(m_mutex);
    system::waitYielding(
        m_changed, lock, [&] { return m_done == m_posted; }, whileWaiting);
}

std::pair<std::vector<std::size_t>, std::vector<std::size_t>>
SheetStreams::widths(std::size_t sheet, const Waiter& whileWaiting) {
    // After a failed write the widths are still those of the cells that arrived; the
    // failure is for the cells and the save to report.
    waitUntilIdle(whileWaiting);
    if (sheet >= m_sheets.size())
        return {};
    const Sheet& state = *m_sheets[sheet];
    std::vector<std::size_t> widths = state.body.widths;
    std::vector<std::size_t> firstRow = state.body.firstRowWidths;
    // The row still open counts too.
    std::string scratch;
    for (const PendingCell& cell : state.pending) {
        scratch.clear();
        const std::size_t width = xml::appendText(
            scratch, std::string_view(state.pendingText).substr(cell.offset, cell.length));
        widen(widths, cell.column, width);
        if (state.pendingRow == 1)
            widen(firstRow, cell.column, width);
    }
    return {widths, firstRow};
}

void SheetStreams::seal(const Waiter& whileWaiting) {
    if (!m_sealed) {
        m_batch.seal = true;
        waitUntilIdle(whileWaiting);
        m_sealed = true;
    }
    throwIfFailed();
}

const SheetBody& SheetStreams::body(std::size_t sheet) const {
    static const SheetBody empty;
    return sheet < m_sheets.size() ? m_sheets[sheet]->body : empty;
}

void SheetStreams::run() {
    for (;;) {
        Batch batch;
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [&] { return m_stop || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            batch = std::move(m_queue.front());
            m_queue.pop_front();
        }
        m_changed.notify_all();
        if (!m_failed.load())
            try {
                take(batch);
            } catch (const std::exception& error) {
                fail(std::string("The sheet could not be made: ") + error.what());
            }
        batch.cells.clear();
        batch.text.clear();
        batch.seal = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_spare.size() < SpareBatches)
                m_spare.push_back(std::move(batch));
            ++m_done;
        }
        m_changed.notify_all();
    }
}

void SheetStreams::take(Batch& batch) {
    const char* text = batch.text.data();
    for (const Cell& cell : batch.cells) {
        receive(cell, std::string_view(text, cell.length));
        text += cell.length;
    }
    if (!batch.seal)
        return;
    for (std::uint32_t id = 0; id < m_sheets.size(); ++id)
        if (m_sheets[id]->pendingRow != 0) {
            switchTo(id);
            writeRow(*m_sheets[id]);
        }
    flushXml(true);
}

void SheetStreams::receive(const Cell& cell, std::string_view text) {
    while (m_sheets.size() <= cell.sheet)
        m_sheets.push_back(std::make_unique<Sheet>());
    Sheet& sheet = *m_sheets[cell.sheet];
    if (cell.row != sheet.pendingRow) {
        if (sheet.pendingRow != 0) {
            switchTo(cell.sheet);
            writeRow(sheet);
        }
        sheet.pendingRow = cell.row;
    }
    sheet.pending.push_back(
        {static_cast<int>(cell.column), sheet.pendingText.size(), text.size(), cell.kind});
    sheet.pendingText.append(text);
}

void SheetStreams::writeRow(Sheet& sheet) {
    auto& cells = sheet.pending;
    const auto byColumn = [](const PendingCell& a, const PendingCell& b) {
        return a.column < b.column;
    };
    if (!std::is_sorted(cells.begin(), cells.end(), byColumn))
        std::stable_sort(cells.begin(), cells.end(), byColumn);
    SheetBody& body = sheet.body;
    const long row = sheet.pendingRow;
    bool opened = false;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        // The last text given for a cell counts.
        if (i + 1 < cells.size() && cells[i + 1].column == cells[i].column)
            continue;
        const std::string_view text =
            std::string_view(sheet.pendingText).substr(cells[i].offset, cells[i].length);
        if (text.empty())
            continue;
        const int column = cells[i].column;
        if (!opened) {
            xml::appendRowStart(m_xml, row);
            opened = true;
        }
        const std::size_t width = appendCell(row, column, text, cells[i].kind, body);
        widen(body.widths, column, width);
        if (row == 1)
            widen(body.firstRowWidths, column, width);
        if (body.firstRow == 0) {
            body.firstRow = row;
            body.firstColumn = column;
        }
        body.firstColumn = std::min(body.firstColumn, column);
        body.lastColumn = std::max(body.lastColumn, column);
        body.lastRow = row;
    }
    if (opened)
        xml::appendRowEnd(m_xml);
    cells.clear();
    sheet.pendingText.clear();
    sheet.pendingRow = 0;
    if (m_xml.size() >= XmlChunk)
        flushXml(false);
}

std::size_t SheetStreams::appendCell(long row, int column, std::string_view text, CellKind kind,
                                     SheetBody& body) {
    const bool dates = kind == CellKind::DateTime || kind == CellKind::ExactDateTime;
    const auto dateTime =
        dates ? xml::dateTimeCell(text, kind == CellKind::ExactDateTime) : std::nullopt;
    if (const int style = dateTime ? dateStyle(*dateTime) : -1; style >= 0) {
        // Shown in its format as the given text, or to the millisecond: that is its width.
        xml::appendDateCell(m_xml, row, column, style, dateTime->serial);
        widen(body.valueWidths, column, dateTime->shownLength);
        return dateTime->shownLength;
    }
    if (const int style = numberStyle(text, kind, column, body); style >= 0) {
        // Its format shows the very text given, the server's digits (or as many of them
        // as a spreadsheet shows).
        xml::appendNumberCell(m_xml, row, column, style, text);
        widen(body.valueWidths, column, text.size());
        return text.size();
    }
    return xml::appendTextCell(m_xml, row, column, text, kind == CellKind::Header);
}

int SheetStreams::dateStyle(const xml::DateTimeCell& cell) {
    if (cell.offset.empty())
        return static_cast<int>(cell.style);
    // A column holds few offsets (two with summer time): the last one used comes first.
    std::string key(1, static_cast<char>(cell.style));
    key.append(cell.offset);
    std::size_t place = 0;
    for (auto known = m_dateStyles.rbegin(); known != m_dateStyles.rend() && !place; ++known)
        if (known->first == key)
            place = known->second;
    if (!place) {
        place = addFormat({xml::dateTimeFormatCode(cell.style, cell.offset), -1});
        if (!place)
            return -1;
        m_dateStyles.emplace_back(std::move(key), place);
    }
    return xml::CellStyleCount - 1 + static_cast<int>(place);
}

int SheetStreams::numberStyle(std::string_view text, CellKind kind, int column, SheetBody& body) {
    if (kind == CellKind::DateTime || kind == CellKind::ExactDateTime || kind == CellKind::Header)
        return -1;
    const auto cell = kind == CellKind::Float ? xml::floatCell(text) : xml::decimalCell(text);
    std::optional<xml::TextCause> cause;
    int style = -1;
    if (!cell) {
        if (kind != CellKind::General)
            cause = xml::textCause(text);
    } else if (style = styleOf(*cell); style < 0) {
        cause = xml::TextCause::FormatsFull;
    }
    if (cause) {
        const auto index = static_cast<std::size_t>(column - 1);
        if (body.numbersAsText.size() <= index)
            body.numbersAsText.resize(index + 1, TextCounts{});
        ++body.numbersAsText[index][static_cast<std::size_t>(*cause)];
    }
    return style;
}

int SheetStreams::styleOf(const xml::NumberCell& cell) {
    const xml::DecimalFormat& format = cell.format;
    if (format.general)
        return 0;
    unsigned short* style;
    if (format.negativeZero) {
        style = &m_negativeZeroStyle;
    } else if (format.scientific) {
        style = &m_scientificStyles[format.shownDigits];
    } else {
        // A format of the same digits that shows fewer of them and writes the rest as
        // zeros shows the value alike, down to its last non-zero digit.
        auto& styles = m_decimalStyles[format.small];
        for (int shown = format.shownDigits; shown >= cell.fewestShown; --shown)
            if (const unsigned short made = styles[shown][format.fractionDigits - shown])
                return xml::CellStyleCount - 1 + made;
        style = &styles[format.shownDigits][format.fractionDigits - format.shownDigits];
    }
    if (*style == 0) {
        const std::size_t place =
            addFormat({xml::decimalFormatCode(format), xml::builtinFormatId(format)});
        if (!place)
            return -1;
        *style = static_cast<unsigned short>(place);
    }
    return xml::CellStyleCount - 1 + *style;
}

std::size_t SheetStreams::addFormat(xml::NumberFormat format) {
    // Past the spreadsheet's limit on formats of a workbook's own, text.
    if (format.builtinId < 0 && m_ownFormats >= MaxOwnFormats)
        return 0;
    m_ownFormats += format.builtinId < 0;
    m_formats.push_back(std::move(format));
    return m_formats.size();
}

void SheetStreams::switchTo(std::uint32_t sheet) {
    if (sheet == m_current)
        return;
    flushXml(true);
    m_current = sheet;
}

void SheetStreams::flushXml(bool endSegment) {
    if (m_current >= m_sheets.size())
        return;
    SheetBody& body = m_sheets[m_current]->body;
    // The zip's CRC-32 (gzip's, reflected), by ISA-L: several times zlib's speed.
    body.crc = crc32_gzip_refl(static_cast<std::uint32_t>(body.crc),
                               reinterpret_cast<const unsigned char*>(m_xml.data()), m_xml.size());
    body.plainSize += m_xml.size();
    m_deflater->compress(m_xml, m_compressed,
                         endSegment ? RawDeflater::Ending::Segment : RawDeflater::Ending::None);
    m_xml.clear();
    if (m_compressed.size() >= FileChunk || (endSegment && !m_compressed.empty())) {
        if (m_file < 0) {
            m_file = openUnnamedFile(m_temporaryFolder);
            if (m_file < 0)
                return fail("No temporary file could be made in " + m_temporaryFolder + ": " +
                            std::strerror(errno));
        }
        // The body's extents: a write right after its last extent extends it.
        if (!body.extents.empty() &&
            body.extents.back().offset + body.extents.back().length == m_fileSize)
            body.extents.back().length += m_compressed.size();
        else
            body.extents.push_back({m_fileSize, m_compressed.size()});
        writeFile(m_compressed);
        body.compressedSize += m_compressed.size();
        m_fileSize += m_compressed.size();
        m_compressed.clear();
    }
}

void SheetStreams::writeFile(const std::string& data) {
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(m_file, p, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return fail("The sheet could not be written to the temporary folder " +
                        m_temporaryFolder + ": " + std::strerror(written < 0 ? errno : ENOSPC));
        p += written;
        left -= static_cast<std::size_t>(written);
    }
}

void SheetStreams::fail(const std::string& message) {
    {
        std::lock_guard lock(m_mutex);
        if (m_failure.empty())
            m_failure = message;
    }
    m_failed.store(true);
}

void SheetStreams::throwIfFailed() const {
    if (!m_failed.load())
        return;
    std::lock_guard lock(m_mutex);
    throw WorkbookError(m_failure);
}

} // namespace kestrove::workbook
