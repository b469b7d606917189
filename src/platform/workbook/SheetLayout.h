#pragma once

// A worksheet part's head and foot, around its rows: what they need, known only once the
// rows are written, and the XML they are.

#include <string>
#include <vector>

namespace kestrove::workbook::xml {

// A column width in characters as the file stores it (Calibri 11: 7-pixel digits, 5
// pixels of padding), in 1/256 steps.
double storedColumnWidth(double characters);

// What a sheet's head and foot need, known only once its rows are written.
struct SheetLayout {
    long firstRow = 0; // 0: the sheet has no cells
    int firstColumn = 0;
    long lastRow = 0;
    int lastColumn = 0;
    bool selected = false;            // the workbook's active tab
    bool headerRow = false;           // row 1 frozen, with a filter over the used range
    std::vector<double> columnWidths; // characters, from column 1; 0 leaves a column as is

    // A header row over cells: frozen, with a filter.
    bool filtered() const { return headerRow && firstRow != 0; }
};

// Everything up to and including "<sheetData>".
std::string sheetHead(const SheetLayout& layout);
// "</sheetData>" and what follows it.
std::string sheetFoot(const SheetLayout& layout);

// The used range as an absolute reference ("$A$1:$D$100"), for a filter's defined name.
std::string absoluteRange(const SheetLayout& layout);

} // namespace kestrove::workbook::xml
