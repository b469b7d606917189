#include "platform/workbook/Workbook.h"

#include "platform/system/Waiting.h"
#include "platform/text/Utf8.h"
#include "platform/workbook/Deflate.h"
#include "platform/workbook/LeftoverFiles.h"
#include "platform/workbook/PackageParts.h"
#include "platform/workbook/SheetLayout.h"
#include "platform/workbook/SheetXml.h"
#include "platform/workbook/ZipPackage.h"

#include <QString>

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrove::workbook {

namespace {

bool g_hiddenNamesOnly = false;

void syncFile(int fd, const std::string& path) {
    if (::fsync(fd) != 0)
        throw WorkbookError("The workbook " + path +
                            " could not be written: " + std::strerror(errno));
}

// The file a workbook is written to. It gets its name only once complete and on disk, so
// that a program ended halfway, or a machine that stops, leaves no half-written workbook
// under it: written as an unnamed file in the target's folder where the file system
// allows, elsewhere under a hidden name beside the target (".name.xlsx.XXXXXX"),
// registered for removal should the program end early.
class UnfinishedFile {
public:
    explicit UnfinishedFile(std::string path) : m_path(std::move(path)) {
        const std::size_t slash = m_path.rfind('/');
        m_folder = slash == std::string::npos ? std::string(".")
                                              : m_path.substr(0, std::max<std::size_t>(slash, 1));
        if (!g_hiddenNamesOnly)
            m_fd = ::open(m_folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
        if (m_fd >= 0)
            return;
        const std::string name = slash == std::string::npos ? m_path : m_path.substr(slash + 1);
        const std::string prefix =
            (slash == std::string::npos ? std::string() : m_path.substr(0, slash + 1)) + "." +
            name + ".";
        // Made as a workbook is made (0644 less the umask), under a name no one else has.
        const std::lock_guard naming(namingMutex());
        std::random_device random;
        for (int attempt = 0; m_fd < 0 && attempt < 100; ++attempt) {
            m_hidden = prefix;
            for (int i = 0; i < 6; ++i)
                m_hidden +=
                    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"[random() % 62];
            m_fd = ::open(m_hidden.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (m_fd < 0 && errno != EEXIST)
                break;
        }
        if (m_fd < 0 || !registerLeftover(m_hidden)) {
            const std::string reason =
                m_fd < 0 ? std::strerror(errno) : "too many workbooks are being written";
            if (m_fd >= 0) {
                ::close(m_fd);
                ::unlink(m_hidden.c_str());
            }
            throw WorkbookError("The workbook " + m_path + " could not be written: " + reason);
        }
    }
    ~UnfinishedFile() {
        ::close(m_fd);
        if (!m_hidden.empty()) {
            ::unlink(m_hidden.c_str());
            unregisterLeftover(m_hidden);
        }
    }
    UnfinishedFile(const UnfinishedFile&) = delete;
    UnfinishedFile& operator=(const UnfinishedFile&) = delete;

    // The file as opened here, to be written through; never opened again by its hidden
    // name, which a program ending meanwhile removes.
    int fd() const { return m_fd; }

    // Flushes the complete file to disk: the slow part of finishing, which needs no name.
    void flush() { syncFile(m_fd, m_path); }

    // Gives the flushed file its name; never replaces a file of that name.
    void finish() {
        const std::lock_guard naming(namingMutex());
        int linked = m_hidden.empty()
                         ? ::linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(m_fd)).c_str(),
                                    AT_FDCWD, m_path.c_str(), AT_SYMLINK_FOLLOW)
                         : ::link(m_hidden.c_str(), m_path.c_str());
        // File systems without hard links (vfat, exFAT, some network shares) take a
        // rename, which must not replace a file that appeared meanwhile.
        if (linked != 0 && !m_hidden.empty() &&
            (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS)) {
            linked =
                ::renameat2(AT_FDCWD, m_hidden.c_str(), AT_FDCWD, m_path.c_str(), RENAME_NOREPLACE);
            if (linked != 0 && errno == EINVAL) {
                struct stat existing;
                linked = ::stat(m_path.c_str(), &existing) == 0
                             ? (errno = EEXIST, -1)
                             : ::rename(m_hidden.c_str(), m_path.c_str());
            }
        }
        if (linked != 0)
            throw WorkbookError("The workbook " + m_path +
                                " could not be written: " + std::strerror(errno));
        // The new name itself survives a stop of the machine once its folder is synced.
        const int folder = ::open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            ::fsync(folder);
            ::close(folder);
        }
    }

private:
    std::string m_path;
    std::string m_folder;
    std::string m_hidden; // empty for an unnamed file
    int m_fd = -1;
};

constexpr double MaxColumnWidth = 255.0;
// The filter button of a header cell takes about two characters of its width.
constexpr std::size_t FilterButtonChars = 2;
constexpr std::size_t CopyChunk = 1 << 20;
// A column's width until set, in characters.
constexpr double DefaultColumnWidth = 8.43;

bool sameNameIgnoringCase(std::string_view a, std::string_view b) {
    return QString::fromUtf8(a.data(), static_cast<qsizetype>(a.size()))
               .compare(QString::fromUtf8(b.data(), static_cast<qsizetype>(b.size())),
                        Qt::CaseInsensitive) == 0;
}

// Characters a spreadsheet refuses in a sheet name besides its punctuation: those XML
// cannot hold (controls, U+FFFE, U+FFFF).
bool holdsUnwritableCharacter(std::string_view utf8) {
    return std::any_of(utf8.begin(), utf8.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20; }) ||
           utf8.find("\xEF\xBF\xBE") != std::string_view::npos ||
           utf8.find("\xEF\xBF\xBF") != std::string_view::npos;
}

// Copies a body into the package through `buffer` (CopyChunk bytes, shared by every sheet),
// giving its temporary space back as it goes, so that the temporary file and the workbook
// together need little more than the workbook's size.
void copyBody(ZipPackage& zip, SheetStreams& streams, const SheetBody& body, std::string& buffer) {
    for (const Extent& extent : body.extents)
        for (std::uint64_t done = 0; done < extent.length;) {
            const auto want =
                static_cast<std::size_t>(std::min<std::uint64_t>(CopyChunk, extent.length - done));
            const ssize_t got = ::pread(streams.file(), buffer.data(), want,
                                        static_cast<off_t>(extent.offset + done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                throw WorkbookError(std::string("A sheet's temporary file could not be read: ") +
                                    std::strerror(got < 0 ? errno : EIO));
            zip.writeCompressed(buffer.data(), static_cast<std::size_t>(got));
            streams.release(extent.offset + done, static_cast<std::uint64_t>(got));
            done += static_cast<std::uint64_t>(got);
        }
}

// The width, in characters, that fits a text of this display width (0: leave as is).
double fittedWidth(std::size_t width) {
    return width == 0 ? 0.0 : std::min(MaxColumnWidth, static_cast<double>(width) + 1.0);
}

// Widths for a sheet that was not autofitted: a column holding numbers or dates gets
// room for its widest one, which a spreadsheet would otherwise show as "###" or in
// scientific notation; other columns, and those the default fits, keep the default width.
std::vector<double> valueColumnWidths(const SheetBody& body) {
    std::vector<double> widths;
    for (std::size_t width : body.valueWidths)
        widths.push_back(fittedWidth(width) > DefaultColumnWidth ? fittedWidth(width) : 0.0);
    return widths;
}

} // namespace

bool fitToCell(std::string& utf8) {
    return utf8::cutToUtf16Units(utf8, MaxCellChars);
}

void validateSheetName(std::string_view name, const std::vector<std::string>& others) {
    if (name.empty() || utf8::utf16Length(name) > MaxSheetNameChars)
        throw WorkbookError("The sheet name must have 1 to 31 characters.");
    if (name.find_first_of("[]:*?/\\") != std::string_view::npos)
        throw WorkbookError("A sheet name cannot contain any of the characters : \\ / ? * [ ]");
    if (holdsUnwritableCharacter(name))
        throw WorkbookError("A sheet name cannot contain control characters.");
    if (name.front() == '\'' || name.back() == '\'')
        throw WorkbookError("A sheet name cannot begin or end with an apostrophe.");
    if (sameNameIgnoringCase(name, "History"))
        throw WorkbookError("History is a reserved sheet name.");
    for (const std::string& other : others)
        if (sameNameIgnoringCase(name, other))
            throw WorkbookError("That sheet name is already taken. Try a different one.");
}

Worksheet::Worksheet(Workbook& owner, std::string name, std::size_t body)
    : m_owner(owner), m_name(std::move(name)), m_body(body) {}

Worksheet::~Worksheet() = default;

void Worksheet::setName(const std::string& name) {
    validateSheetName(name, m_owner.namesExcept(this));
    m_name = name;
}

void Worksheet::setCell(long row, int column, std::string_view text, CellKind kind) {
    if (row < 1 || row > MaxRows || column < 1 || column > MaxColumns)
        throw WorkbookError("The cell lies outside the sheet.");
    if (text.size() > MaxCellChars && utf8::utf16Length(text) > MaxCellChars)
        throw WorkbookError("A cell can hold at most 32,767 characters.");
    if (row < m_lastRow)
        throw WorkbookError("The sheet is written row by row: row " + std::to_string(row) +
                            " lies above row " + std::to_string(m_lastRow) + ".");
    if (m_headerRow && row == 1 && kind == CellKind::General)
        kind = CellKind::Header;
    m_owner.m_streams.add(m_body, row, column, text, kind);
    m_lastRow = row;
}

const std::vector<TextCounts>& Worksheet::numbersAsText() const {
    static const std::vector<TextCounts> none;
    return m_owner.m_saved ? m_owner.m_streams.body(m_body).numbersAsText : none;
}

void Worksheet::autofitColumns(const std::function<void()>& whileWaiting) {
    auto [widths, firstRow] = m_owner.m_streams.widths(m_body, whileWaiting);
    if (m_headerRow)
        for (std::size_t c = 0; c < firstRow.size(); ++c)
            widths[c] = std::max(widths[c], firstRow[c] + FilterButtonChars);
    m_fittedWidths.clear();
    for (std::size_t width : widths)
        m_fittedWidths.push_back(fittedWidth(width));
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
    // Its body, if any, is simply left out of the package.
    m_sheets.erase(m_sheets.begin() + static_cast<std::ptrdiff_t>(position));
    if (position < m_active || m_active >= m_sheets.size())
        --m_active;
}

Worksheet& Workbook::add() {
    auto sheet =
        std::unique_ptr<Worksheet>(new Worksheet(*this, nextDefaultName(), m_streams.addSheet()));
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
    if (m_saved)
        throw WorkbookError("The workbook has been saved already.");
    // Whatever happens, nothing temporary is left once the save returns.
    struct Discard {
        SheetStreams& streams;
        ~Discard() { streams.discard(); }
    } discard{m_streams};
    m_streams.seal(whileWaiting);
    m_saved = true;
    UnfinishedFile target(path);
    // Writing the file and flushing it to disk (a tenth of a second for a large one) happen
    // off the caller's thread, which is given its turn at least once meanwhile. The name
    // comes after, on the caller's thread: a program ended during those turns names nothing.
    system::runYielding(
        [this, &target, &path] {
            writePackage(target.fd(), path);
            target.flush();
        },
        whileWaiting, system::FirstTurn::AtOnce);
    target.finish();
}

void Workbook::writePackage(int file, const std::string& shownPath) {
    ZipPackage zip(file, shownPath);
    std::vector<std::string> names;
    std::vector<xml::SheetLayout> layouts;
    std::vector<std::string> filterRanges;
    for (std::size_t i = 0; i < m_sheets.size(); ++i) {
        const Worksheet& sheet = *m_sheets[i];
        const SheetBody& body = m_streams.body(sheet.m_body);
        xml::SheetLayout& layout = layouts.emplace_back();
        layout.firstRow = body.firstRow;
        layout.firstColumn = body.firstColumn;
        layout.lastRow = body.lastRow;
        layout.lastColumn = body.lastColumn;
        layout.selected = i == m_active;
        layout.headerRow = sheet.headerRow();
        layout.columnWidths =
            sheet.columnWidths().empty() ? valueColumnWidths(body) : sheet.columnWidths();
        names.push_back(sheet.name());
        filterRanges.push_back(layout.filtered() ? xml::absoluteRange(layout) : std::string());
    }
    zip.addPart("[Content_Types].xml", parts::contentTypes(names.size()));
    zip.addPart("_rels/.rels", parts::rootRelationships());
    zip.addPart("docProps/app.xml", parts::appProperties());
    zip.addPart("docProps/core.xml", parts::coreProperties(std::time(nullptr)));
    zip.addPart("xl/workbook.xml", parts::workbook(names, m_active, filterRanges));
    zip.addPart("xl/_rels/workbook.xml.rels", parts::workbookRelationships(names.size()));
    zip.addPart("xl/styles.xml", parts::styles(m_streams.formats()));

    // Each sheet part is its head, its body as compressed while the import ran, and its
    // foot: three deflate segments that join into one stream, and CRCs that combine.
    RawDeflater deflater;
    std::string buffer(CopyChunk, '\0');
    for (std::size_t i = 0; i < m_sheets.size(); ++i) {
        const SheetBody& body = m_streams.body(m_sheets[i]->m_body);
        const std::string head = xml::sheetHead(layouts[i]);
        const std::string foot = xml::sheetFoot(layouts[i]);
        std::string headCompressed, footCompressed;
        deflater.compress(head, headCompressed, RawDeflater::Ending::Segment);
        deflater.compress(foot, footCompressed, RawDeflater::Ending::Stream);
        const auto crcOf = [](const std::string& text) {
            return crc32(0, reinterpret_cast<const Bytef*>(text.data()),
                         static_cast<uInt>(text.size()));
        };
        uLong crc = crc32_combine(crcOf(head), body.crc, static_cast<z_off_t>(body.plainSize));
        crc = crc32_combine(crc, crcOf(foot), static_cast<z_off_t>(foot.size()));
        const std::uint64_t plainSize = head.size() + body.plainSize + foot.size();
        zip.beginCompressedPart(parts::worksheetPath(i + 1),
                                headCompressed.size() + body.compressedSize + footCompressed.size(),
                                plainSize);
        zip.writeCompressed(headCompressed.data(), headCompressed.size());
        copyBody(zip, m_streams, body, buffer);
        zip.writeCompressed(footCompressed.data(), footCompressed.size());
        zip.endCompressedPart(plainSize, crc);
    }
    zip.close();
}

void discardUnfinishedFiles() {
    removeLeftoverFiles();
}

void useHiddenNamesOnly(bool only) {
    g_hiddenNamesOnly = only;
}

Application::Application(std::string outputPath, Opener opener)
    : m_outputPath(std::move(outputPath)), m_opener(std::move(opener)) {}

Workbook& Application::addWorkbook() {
    return m_workbooks.emplace_back();
}

void Application::setVisible(bool visible, const std::function<void()>& whileWaiting) {
    if (visible && !m_visible && !m_workbooks.empty()) {
        m_workbooks.back().saveAs(m_outputPath, whileWaiting);
        if (m_opener) {
            try {
                m_opener(m_outputPath);
            } catch (const std::exception& error) {
                throw WorkbookError("The workbook was saved as " + m_outputPath +
                                    ", but it could not be opened: " + error.what());
            }
        }
    }
    m_visible = visible;
}

} // namespace kestrove::workbook
