#include "platform/workbook/Workbook.h"

#include <QString>

#include <xlsxwriter.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
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
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
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

Worksheet::Worksheet(Workbook& owner, std::string name) : m_owner(owner), m_name(std::move(name)) {}

Worksheet::~Worksheet() = default;

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
        throw WorkbookError("The sheet is written row by row: row " + std::to_string(row) +
                            " lies above row " + std::to_string(m_lastRow) + ".");
    lxw_worksheet* out = m_owner.streamOf(*this);
    m_lastRow = row;
    const auto r = static_cast<lxw_row_t>(row - 1);
    const auto c = static_cast<lxw_col_t>(column - 1);
    lxw_error error = LXW_NO_ERROR;
    if (const auto number = plainDecimalNumber(text)) {
        error = worksheet_write_number(out, r, c, *number, nullptr);
    } else if (!text.empty()) {
        // libxlsxwriter wants a terminated string; most texts fit the reused buffer.
        m_text.assign(text);
        error = worksheet_write_string(out, r, c, m_text.c_str(), nullptr);
    }
    if (error != LXW_NO_ERROR)
        throw WorkbookError(std::string("The cell could not be written: ") + lxw_strerror(error));
    if (m_widths.size() < static_cast<std::size_t>(column))
        m_widths.resize(static_cast<std::size_t>(column), 0);
    auto& width = m_widths[static_cast<std::size_t>(column - 1)];
    width = std::max(width, displayWidth(text));
}

void Worksheet::autofitColumns() {
    m_fittedWidths.clear();
    for (std::size_t width : m_widths)
        m_fittedWidths.push_back(
            width == 0 ? 0.0 : std::min(MaxColumnWidth, static_cast<double>(width) + 1.0));
}

Workbook::Workbook() {
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    options.use_zip64 = LXW_TRUE;
    // The file's name is given when it is saved.
    m_book = workbook_new_opt("unsaved.xlsx", &options);
    if (!m_book)
        throw WorkbookError("No workbook could be made (out of memory?).");
    add();
}

Workbook::~Workbook() {
    // A workbook that was never saved: libxlsxwriter frees its sheets and removes their
    // temporary files.
    if (m_book)
        lxw_workbook_free(m_book);
}

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
    // A sheet that has written cells keeps its stream until the save leaves it out.
    if (m_sheets[position]->m_out)
        m_removed.push_back(std::move(m_sheets[position]));
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

lxw_worksheet* Workbook::streamOf(Worksheet& sheet) {
    if (sheet.m_out)
        return sheet.m_out;
    if (!m_book)
        throw WorkbookError("The workbook has been saved already.");
    // A name of its own for libxlsxwriter; the sheet's own name is given at the save,
    // since a sheet may be renamed after its first cell.
    const std::string stand_in = "~" + std::to_string(++m_streams);
    sheet.m_out = workbook_add_worksheet(m_book, stand_in.c_str());
    if (!sheet.m_out)
        throw WorkbookError("No further sheet could be made (out of memory?).");
    return sheet.m_out;
}

void Workbook::saveAs(const std::string& path, const std::function<void()>& whileWaiting) {
    if (!m_book)
        throw WorkbookError("The workbook has been saved already.");
    for (auto& sheet : m_sheets)
        streamOf(*sheet);
    UnfinishedFile target(path);
    arrangeForSave(target.writePath());
    lxw_workbook* book = std::exchange(m_book, nullptr);
    auto writing = std::async(std::launch::async, [book] { return workbook_close(book); });
    while (writing.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        if (whileWaiting)
            whileWaiting();
    const lxw_error error = writing.get();
    // The removed sheets were left out of the file; libxlsxwriter no longer knows them.
    for (auto& removed : m_removed)
        lxw_worksheet_free(std::exchange(removed->m_out, nullptr));
    for (lxw_sheet* entry : m_droppedEntries)
        std::free(entry);
    m_droppedEntries.clear();
    for (auto& sheet : m_sheets)
        sheet->m_out = nullptr;
    if (error != LXW_NO_ERROR)
        throw WorkbookError("The workbook " + path +
                            " could not be written: " + lxw_strerror(error));
    target.finish();
}

void discardUnfinishedFiles() {
    const std::lock_guard lock(g_unfinishedMutex);
    for (const std::string& path : g_unfinished)
        std::remove(path.c_str());
    g_unfinished.clear();
}

// libxlsxwriter writes sheets in the order they were made, under the names given then;
// a workbook's tabs end in another order and sheets are renamed after their first cell.
// So just before the file is written, its list of sheets is rebuilt in tab order, each
// sheet gets its position and name, and removed sheets are left out. This relies on the
// workbook structures of libxlsxwriter 1.1.4, which its headers publish.
#if LXW_VERSION_ID != 114
#error "The sheet arrangement below is written for libxlsxwriter 1.1.4."
#endif

namespace {

lxw_worksheet_name* nameEntryOf(lxw_worksheet_name* node, const lxw_worksheet* sheet) {
    if (!node)
        return nullptr;
    if (node->worksheet == sheet)
        return node;
    if (lxw_worksheet_name* left = nameEntryOf(node->tree_pointers.rbe_left, sheet))
        return left;
    return nameEntryOf(node->tree_pointers.rbe_right, sheet);
}

} // namespace

void Workbook::arrangeForSave(const std::string& file) {
    std::free(m_book->filename);
    m_book->filename = lxw_strdup(file.c_str());

    std::map<const lxw_worksheet*, lxw_sheet*> entries;
    lxw_sheet* entry = nullptr;
    STAILQ_FOREACH(entry, m_book->sheets, list_pointers) {
        entries[entry->u.worksheet] = entry;
    }
    for (const auto& removed : m_removed) {
        m_droppedEntries.push_back(entries.at(removed->m_out));
        // Nothing looks a name up after this point, but no entry should point at a freed one.
        if (lxw_worksheet_name* name =
                nameEntryOf(m_book->worksheet_names->rbh_root, removed->m_out))
            name->worksheet = nullptr;
    }

    STAILQ_INIT(m_book->sheets);
    STAILQ_INIT(m_book->worksheets);
    std::uint16_t index = 0;
    for (const auto& sheet : m_sheets) {
        lxw_worksheet* out = sheet->m_out;
        STAILQ_INSERT_TAIL(m_book->sheets, entries.at(out), list_pointers);
        STAILQ_INSERT_TAIL(m_book->worksheets, out, list_pointers);
        out->index = index++;
        out->active = LXW_FALSE;
        out->selected = LXW_FALSE;
        std::free(out->name);
        std::free(out->quoted_name);
        out->name = lxw_strdup(sheet->name().c_str());
        out->quoted_name = lxw_quote_sheetname(out->name);
        if (lxw_worksheet_name* name = nameEntryOf(m_book->worksheet_names->rbh_root, out))
            name->name = out->name;
        const auto& widths = sheet->columnWidths();
        for (std::size_t c = 0; c < widths.size(); ++c)
            if (widths[c] > 0)
                worksheet_set_column(out, static_cast<lxw_col_t>(c), static_cast<lxw_col_t>(c),
                                     widths[c], nullptr);
    }
    m_book->num_sheets = index;
    m_book->num_worksheets = index;
    m_book->first_sheet = 0;
    worksheet_activate(activeSheet().m_out);
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
