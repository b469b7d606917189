#pragma once

// The spreadsheet the import fills: an application (hidden until made visible), its
// workbooks, their worksheets and cells, with a spreadsheet's own rules and limits.
// Each sheet streams its cells, row by row, into libxlsxwriter's temporary file for it,
// so memory does not grow with the data and the sheet's XML is made while the import
// runs; making the application visible writes one .xlsx file.

#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct lxw_workbook;
struct lxw_worksheet;
struct lxw_sheet;

namespace kestrove::workbook {

constexpr long MaxRows = 1048576;
constexpr int MaxColumns = 16384;
constexpr std::size_t MaxCellChars = 32767;
constexpr std::size_t MaxSheetNameChars = 31;

// A request the spreadsheet refuses: a bad sheet name, a cell past the limits.
class WorkbookError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Number of characters (code points) of UTF-8 text.
std::size_t characterCount(std::string_view utf8);

// The number a text stands for when it is a plain decimal number whose cell would show
// exactly that text again; nothing otherwise.
std::optional<double> plainDecimalNumber(std::string_view text);

// Throws WorkbookError when a spreadsheet would refuse the name for one of the sheets.
// `others` are the names of the workbook's other sheets.
void validateSheetName(std::string_view name, const std::vector<std::string>& others);

// Removes the files of workbooks still being written, for a program that ends now.
void discardUnfinishedFiles();

class Workbook;

class Worksheet {
public:
    ~Worksheet();
    Worksheet(const Worksheet&) = delete;
    Worksheet& operator=(const Worksheet&) = delete;

    const std::string& name() const { return m_name; }
    void setName(const std::string& name);

    // Writes text into the cell at row and column (both from 1). A plain decimal
    // number becomes a numeric cell; any other text stays text. Rows are written from
    // the top down: a cell above the last row written is refused.
    void setCell(long row, int column, std::string_view text);

    // Fits every column's width to the longest text now in it.
    void autofitColumns();

    // Widths set by the last autofit, one per column from column 1.
    const std::vector<double>& columnWidths() const { return m_fittedWidths; }

private:
    friend class Workbook;
    Worksheet(Workbook& owner, std::string name);

    Workbook& m_owner;
    std::string m_name;
    ::lxw_worksheet* m_out = nullptr; // made at the first cell
    std::string m_text;
    long m_lastRow = 0;
    std::vector<std::size_t> m_widths;
    std::vector<double> m_fittedWidths;
};

class Workbook {
public:
    Workbook();
    ~Workbook();
    Workbook(const Workbook&) = delete;
    Workbook& operator=(const Workbook&) = delete;

    int count() const { return static_cast<int>(m_sheets.size()); }
    // The sheet at a position from 1, in tab order.
    Worksheet& item(int index);
    void remove(int index);
    // A new sheet inserted before the active sheet, which it then becomes.
    Worksheet& add();
    Worksheet& activeSheet();

    bool hasSheetNamed(std::string_view name) const;
    std::vector<std::string> namesExcept(const Worksheet* sheet) const;

    // Writes the workbook as one .xlsx file. The writing runs on its own thread;
    // `whileWaiting` is called every few milliseconds until it is done.
    void saveAs(const std::string& path, const std::function<void()>& whileWaiting = {});

private:
    friend class Worksheet;
    std::size_t indexOf(const Worksheet& sheet) const;
    std::string nextDefaultName();
    ::lxw_worksheet* streamOf(Worksheet& sheet);
    void arrangeForSave(const std::string& file);

    ::lxw_workbook* m_book = nullptr; // until saved
    std::vector<std::unique_ptr<Worksheet>> m_sheets;
    std::vector<std::unique_ptr<Worksheet>> m_removed;
    std::vector<::lxw_sheet*> m_droppedEntries;
    int m_streams = 0;
    std::size_t m_active = 0;
    int m_created = 0;
};

// The spreadsheet program's stand-in: it stays hidden while workbooks are built.
// Making it visible writes its workbook to the output path and opens it there.
class Application {
public:
    using Opener = std::function<void(const std::string& path)>;

    Application(std::string outputPath, Opener opener);

    Workbook& addWorkbook();
    bool visible() const { return m_visible; }
    void setVisible(bool visible, const std::function<void()>& whileWaiting = {});
    const std::string& outputPath() const { return m_outputPath; }

private:
    std::string m_outputPath;
    Opener m_opener;
    std::list<Workbook> m_workbooks;
    bool m_visible = false;
};

} // namespace kestrove::workbook
