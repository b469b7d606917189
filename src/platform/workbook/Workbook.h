#pragma once

// The spreadsheet the import fills: an application (hidden until made visible), its
// workbooks, their worksheets and cells, with a spreadsheet's own rules and limits.
// Cells go to SheetStreams, which turns them into sheet XML and compresses it on a
// worker thread while the import runs, so memory does not grow with the data; making
// the application visible packages the sheets, in tab order, into one .xlsx file.

#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/workbook/SheetStreams.h"
#include "platform/workbook/WorkbookError.h"

namespace kestrove::workbook {

constexpr long MaxRows = 1048576;
constexpr int MaxColumns = 16384;
constexpr std::size_t MaxCellChars = 32767;
constexpr std::size_t MaxSheetNameChars = 31;

// Cuts text to the cell limit without splitting a character; true when it was cut.
bool fitToCell(std::string& utf8);

// Throws WorkbookError when a spreadsheet would refuse the name for one of the sheets.
// `others` are the names of the workbook's other sheets.
void validateSheetName(std::string_view name, const std::vector<std::string>& others);

// Removes the files of workbooks still being written, for a program that ends now.
void discardUnfinishedFiles();
// Writes workbooks under a hidden name beside the target even where the file system
// offers unnamed files, as on file systems that do not (for tests).
void useHiddenNamesOnly(bool only);

class Workbook;

class Worksheet {
public:
    ~Worksheet();
    Worksheet(const Worksheet&) = delete;
    Worksheet& operator=(const Worksheet&) = delete;

    const std::string& name() const { return m_name; }
    void setName(const std::string& name);

    // Writes text into the cell at row and column (both from 1). A plain decimal
    // number becomes a numeric cell, with Float so does every finite floating-point
    // value, or with DateTime a date or time becomes a date cell that shows the same
    // text; any other text stays text (see CellKind). Rows are written from the top
    // down: a cell above the last row written is refused. A failed write of the sheet's
    // temporary file is reported by the next cell.
    void setCell(long row, int column, std::string_view text, CellKind kind = CellKind::General);

    // Once the workbook is saved: per column from 1, the values that stayed text though
    // they were written as numbers, by cause (see SheetBody::numbersAsText); else nothing.
    const std::vector<TextCounts>& numbersAsText() const;

    // Row 1 holds column names: it stays in view while scrolling and gets a filter over
    // the sheet's used range.
    void setHeaderRow() { m_headerRow = true; }
    bool headerRow() const { return m_headerRow; }

    // Fits every column's width to the longest text now in it, with room for the filter
    // button in a header row.
    void autofitColumns(const std::function<void()>& whileWaiting = {});

    // Widths set by the last autofit, one per column from column 1.
    const std::vector<double>& columnWidths() const { return m_fittedWidths; }

private:
    friend class Workbook;
    Worksheet(Workbook& owner, std::string name, std::size_t body);

    Workbook& m_owner;
    std::string m_name;
    std::size_t m_body; // its number in the workbook's SheetStreams
    long m_lastRow = 0;
    bool m_headerRow = false;
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
    // Called every few milliseconds while a cell waits for the sheets' worker to catch up
    // (a slow disk under its temporary file).
    void setWhileWaiting(std::function<void()> whileWaiting) {
        m_streams.setWaiter(std::move(whileWaiting));
    }
    // Whether a write of the sheets' temporary file has failed: no later cell is kept.
    bool writeFailed() const { return m_streams.failed(); }
    std::vector<std::string> namesExcept(const Worksheet* sheet) const;

    // Writes the workbook as one .xlsx file. The writing runs on its own thread;
    // `whileWaiting` is called every few milliseconds until it is done.
    void saveAs(const std::string& path, const std::function<void()>& whileWaiting = {});

private:
    friend class Worksheet;
    std::size_t indexOf(const Worksheet& sheet) const;
    std::string nextDefaultName();
    void writePackage(int file, const std::string& shownPath);

    SheetStreams m_streams;
    std::vector<std::unique_ptr<Worksheet>> m_sheets;
    bool m_saved = false;
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
