#include "platform/workbook/Workbook.h"

#include <QString>

#include <xlsxwriter.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <mutex>
#include <set>

#include <fcntl.h>
#include <unistd.h>

namespace kestrove::workbook {

namespace {

std::mutex g_unfinishedMutex;
std::set<std::string> g_unfinished;

// The file a workbook is written to. Where the file system allows, it is written as an
// unnamed file in the target's folder and gets its name only once complete, so that a
// program ended halfway leaves nothing behind; elsewhere it is written under its name and
// listed until done, for discardUnfinishedFiles.
class UnfinishedFile {
public:
    explicit UnfinishedFile(std::string path) : m_path(std::move(path)) {
        const std::size_t slash = m_path.rfind('/');
        const std::string folder = slash == std::string::npos
                                       ? std::string(".")
                                       : m_path.substr(0, std::max<std::size_t>(slash, 1));
        m_fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
        if (m_fd < 0) {
            const std::lock_guard lock(g_unfinishedMutex);
            g_unfinished.insert(m_path);
        }
    }
    ~UnfinishedFile() {
        if (m_fd >= 0)
            ::close(m_fd);
        if (m_fd < 0 && !m_done) {
            const std::lock_guard lock(g_unfinishedMutex);
            std::remove(m_path.c_str());
            g_unfinished.erase(m_path);
        }
    }
    UnfinishedFile(const UnfinishedFile&) = delete;
    UnfinishedFile& operator=(const UnfinishedFile&) = delete;

    std::string writePath() const {
        return m_fd >= 0 ? "/proc/self/fd/" + std::to_string(m_fd) : m_path;
    }

    // Gives the complete file its name; never replaces a file of that name.
    void finish() {
        if (m_fd >= 0) {
            if (::linkat(AT_FDCWD, writePath().c_str(), AT_FDCWD, m_path.c_str(),
                         AT_SYMLINK_FOLLOW) != 0)
                throw WorkbookError("The workbook " + m_path +
                                    " could not be written: " + std::strerror(errno));
        } else {
            const std::lock_guard lock(g_unfinishedMutex);
            g_unfinished.erase(m_path);
        }
        m_done = true;
    }

private:
    std::string m_path;
    int m_fd = -1;
    bool m_done = false;
};

constexpr std::size_t SpillBufferBytes = 1 << 20;
constexpr char KindText = 0;
constexpr char KindNumber = 1;
constexpr double MaxColumnWidth = 255.0;

bool isWide(char32_t code) {
    return (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
           (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
           (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
           (code >= 0xFFE0 && code <= 0xFFE6) || code >= 0x20000;
}

// Width of the text's longest line in character cells (East Asian wide letters count two).
std::size_t displayWidth(std::string_view utf8) {
    std::size_t longest = 0;
    std::size_t line = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            ++i;
            if (c == '\n' || c == '\r') {
                longest = std::max(longest, line);
                line = 0;
            } else {
                ++line;
            }
            continue;
        }
        const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        char32_t code = c & (length == 4 ? 0x07 : length == 3 ? 0x0F : 0x1F);
        for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k)
            code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        line += isWide(code) ? 2 : 1;
        i += length;
    }
    return std::max(longest, line);
}

template <class T> void appendRaw(std::string& buffer, T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    buffer.append(bytes, sizeof(T));
}

template <class T> bool readRaw(std::FILE* file, T& value) {
    return std::fread(&value, sizeof(T), 1, file) == 1;
}

struct Cell {
    std::uint32_t row;
    std::uint16_t column;
    char kind;
    double number;
    std::string text;
};

bool readCell(std::FILE* file, Cell& cell) {
    std::uint32_t length = 0;
    if (!readRaw(file, cell.row) || !readRaw(file, cell.column) || !readRaw(file, cell.kind))
        return false;
    if (cell.kind == KindNumber)
        return readRaw(file, cell.number);
    if (!readRaw(file, length))
        return false;
    cell.text.resize(length);
    return length == 0 || std::fread(cell.text.data(), 1, length, file) == length;
}

bool sameNameIgnoringCase(std::string_view a, std::string_view b) {
    return QString::fromUtf8(a.data(), static_cast<qsizetype>(a.size()))
               .compare(QString::fromUtf8(b.data(), static_cast<qsizetype>(b.size())),
                        Qt::CaseInsensitive) == 0;
}

} // namespace

std::size_t characterCount(std::string_view utf8) {
    return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

std::optional<double> plainDecimalNumber(std::string_view text) {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative)
        ++i;
    const std::size_t integerStart = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i;
    const std::size_t integerDigits = i - integerStart;
    if (integerDigits == 0 || (integerDigits > 1 && text[integerStart] == '0'))
        return std::nullopt;
    std::size_t fractionDigits = 0;
    if (i < text.size() && text[i] == '.') {
        ++i;
        const std::size_t fractionStart = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i;
        fractionDigits = i - fractionStart;
        // "5." and "1.50" would show as 5 and 1.5.
        if (fractionDigits == 0 || text[i - 1] == '0')
            return std::nullopt;
    }
    if (i != text.size())
        return std::nullopt;
    const bool zeroInteger = integerDigits == 1 && text[integerStart] == '0';
    if (negative && zeroInteger && fractionDigits == 0)
        return std::nullopt; // "-0" would show as 0
    const std::size_t digits = (zeroInteger ? 0 : integerDigits) + fractionDigits;
    if (digits > 15)
        return std::nullopt;
    return std::strtod(std::string(text).c_str(), nullptr);
}

void validateSheetName(std::string_view name, const std::vector<std::string>& others) {
    if (name.empty() || characterCount(name) > MaxSheetNameChars)
        throw WorkbookError("The sheet name must have 1 to 31 characters.");
    if (name.find_first_of("[]:*?/\\") != std::string_view::npos)
        throw WorkbookError("A sheet name cannot contain any of the characters : \\ / ? * [ ]");
    if (name.front() == '\'' || name.back() == '\'')
        throw WorkbookError("A sheet name cannot begin or end with an apostrophe.");
    if (sameNameIgnoringCase(name, "History"))
        throw WorkbookError("History is a reserved sheet name.");
    for (const std::string& other : others)
        if (sameNameIgnoringCase(name, other))
            throw WorkbookError("That sheet name is already taken. Try a different one.");
}

Worksheet::Worksheet(Workbook& owner, std::string name)
    : m_owner(owner), m_name(std::move(name)), m_spill(std::tmpfile()) {
    if (!m_spill)
        throw WorkbookError("No temporary file could be made for the sheet.");
    m_buffer.reserve(SpillBufferBytes + 64);
}

Worksheet::~Worksheet() {
    if (m_spill)
        std::fclose(m_spill);
}

void Worksheet::setName(const std::string& name) {
    validateSheetName(name, m_owner.namesExcept(this));
    m_name = name;
}

void Worksheet::setCell(long row, int column, std::string_view text) {
    if (row < 1 || row > MaxRows || column < 1 || column > MaxColumns)
        throw WorkbookError("The cell lies outside the sheet.");
    if (text.size() > MaxCellChars && characterCount(text) > MaxCellChars)
        throw WorkbookError("A cell can hold at most 32,767 characters.");
    if (row < m_lastRow)
        m_inOrder = false;
    m_lastRow = std::max(m_lastRow, row);

    appendRaw(m_buffer, static_cast<std::uint32_t>(row));
    appendRaw(m_buffer, static_cast<std::uint16_t>(column));
    if (const auto number = plainDecimalNumber(text)) {
        m_buffer.push_back(KindNumber);
        appendRaw(m_buffer, *number);
    } else {
        m_buffer.push_back(KindText);
        appendRaw(m_buffer, static_cast<std::uint32_t>(text.size()));
        m_buffer.append(text);
    }
    if (m_widths.size() < static_cast<std::size_t>(column))
        m_widths.resize(static_cast<std::size_t>(column), 0);
    auto& width = m_widths[static_cast<std::size_t>(column - 1)];
    width = std::max(width, displayWidth(text));
    if (m_buffer.size() >= SpillBufferBytes)
        flush();
}

void Worksheet::flush() {
    if (m_buffer.empty())
        return;
    if (std::fwrite(m_buffer.data(), 1, m_buffer.size(), m_spill) != m_buffer.size())
        throw WorkbookError("The sheet's temporary file could not be written (disk full?).");
    m_buffer.clear();
}

void Worksheet::autofitColumns() {
    m_fittedWidths.clear();
    for (std::size_t width : m_widths)
        m_fittedWidths.push_back(
            width == 0 ? 0.0 : std::min(MaxColumnWidth, static_cast<double>(width) + 1.0));
}

Workbook::Workbook() {
    add();
}

Workbook::~Workbook() = default;

Worksheet& Workbook::item(int index) {
    if (index < 1 || index > count())
        throw WorkbookError("Subscript out of range");
    return *m_sheets[static_cast<std::size_t>(index - 1)];
}

void Workbook::remove(int index) {
    item(index);
    if (count() == 1)
        throw WorkbookError("A workbook must contain at least one visible worksheet.");
    const auto position = static_cast<std::size_t>(index - 1);
    m_sheets.erase(m_sheets.begin() + static_cast<std::ptrdiff_t>(position));
    if (position < m_active || m_active >= m_sheets.size())
        --m_active;
}

Worksheet& Workbook::add() {
    auto sheet = std::unique_ptr<Worksheet>(new Worksheet(*this, nextDefaultName()));
    Worksheet& added = *sheet;
    if (m_sheets.empty())
        m_sheets.push_back(std::move(sheet));
    else
        m_sheets.insert(m_sheets.begin() + static_cast<std::ptrdiff_t>(m_active), std::move(sheet));
    return added;
}

Worksheet& Workbook::activeSheet() {
    return *m_sheets.at(m_active);
}

std::string Workbook::nextDefaultName() {
    std::string name;
    do
        name = "Sheet" + std::to_string(++m_created);
    while (hasSheetNamed(name));
    return name;
}

bool Workbook::hasSheetNamed(std::string_view name) const {
    return std::any_of(m_sheets.begin(), m_sheets.end(), [&](const auto& sheet) {
        return sameNameIgnoringCase(sheet->name(), name);
    });
}

std::vector<std::string> Workbook::namesExcept(const Worksheet* sheet) const {
    std::vector<std::string> names;
    for (const auto& other : m_sheets)
        if (other.get() != sheet)
            names.push_back(other->name());
    return names;
}

void Workbook::saveAs(const std::string& path, const std::function<void()>& whileWaiting) {
    for (auto& sheet : m_sheets)
        sheet->flush();
    UnfinishedFile target(path);
    auto writing = std::async(std::launch::async,
                              [this, file = target.writePath(), path] { writeXlsx(file, path); });
    while (writing.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        if (whileWaiting)
            whileWaiting();
    writing.get();
    target.finish();
}

void discardUnfinishedFiles() {
    const std::lock_guard lock(g_unfinishedMutex);
    for (const std::string& path : g_unfinished)
        std::remove(path.c_str());
    g_unfinished.clear();
}

void Workbook::writeXlsx(const std::string& file, const std::string& path) {
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    options.use_zip64 = LXW_TRUE;
    lxw_workbook* book = workbook_new_opt(file.c_str(), &options);
    if (!book)
        throw WorkbookError("The workbook " + path + " could not be created.");
    bool ok = true;
    for (const auto& sheet : m_sheets) {
        lxw_worksheet* out = workbook_add_worksheet(book, sheet->name().c_str());
        if (!out) {
            ok = false;
            break;
        }
        const auto& widths = sheet->columnWidths();
        for (std::size_t c = 0; c < widths.size(); ++c)
            if (widths[c] > 0)
                worksheet_set_column(out, static_cast<lxw_col_t>(c), static_cast<lxw_col_t>(c),
                                     widths[c], nullptr);

        std::vector<Cell> cells;
        std::rewind(sheet->m_spill);
        Cell cell;
        const auto write = [&](const Cell& c) {
            const lxw_row_t r = c.row - 1;
            const lxw_col_t col = static_cast<lxw_col_t>(c.column - 1);
            if (c.kind == KindNumber)
                worksheet_write_number(out, r, col, c.number, nullptr);
            else if (!c.text.empty())
                worksheet_write_string(out, r, col, c.text.c_str(), nullptr);
        };
        while (readCell(sheet->m_spill, cell)) {
            if (sheet->m_inOrder)
                write(cell);
            else
                cells.push_back(cell);
        }
        std::stable_sort(cells.begin(), cells.end(), [](const Cell& a, const Cell& b) {
            return a.row != b.row ? a.row < b.row : a.column < b.column;
        });
        for (const Cell& c : cells)
            write(c);
        std::fseek(sheet->m_spill, 0, SEEK_END);
    }
    const lxw_error error = workbook_close(book);
    if (!ok || error != LXW_NO_ERROR)
        throw WorkbookError("The workbook " + path +
                            " could not be written: " + lxw_strerror(error));
}

Application::Application(std::string outputPath, Opener opener)
    : m_outputPath(std::move(outputPath)), m_opener(std::move(opener)) {}

Workbook& Application::addWorkbook() {
    return m_workbooks.emplace_back();
}

void Application::setVisible(bool visible, const std::function<void()>& whileWaiting) {
    if (visible && !m_visible && !m_workbooks.empty()) {
        m_workbooks.back().saveAs(m_outputPath, whileWaiting);
        if (m_opener)
            m_opener(m_outputPath);
    }
    m_visible = visible;
}

} // namespace kestrove::workbook
