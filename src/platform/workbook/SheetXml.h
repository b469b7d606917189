#pragma once

// The worksheet part of an .xlsx file: how cell texts, numbers and references are
// written, and the sheet's head and foot. Every rule here holds whatever the process
// locale is.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrove::workbook::xml {

// Length of UTF-8 text as a spreadsheet counts it: UTF-16 code units.
std::size_t utf16Length(std::string_view utf8);

// Whether the text is a plain decimal number whose numeric cell shows exactly that text
// again: optional '-', no leading zeros, no trailing fraction zeros, at most 15 digits.
bool isPlainDecimalNumber(std::string_view text);

// Appends text as the content of a <t> element. '&', '<' and '>' are escaped; a CR is a
// character reference, so that XML's line-end handling keeps it; characters XML cannot
// hold (C0 controls other than tab and LF, U+FFFE, U+FFFF) become "_xHHHH_", and a
// literal "_xHHHH_" gets "_x005F_" before it, as spreadsheets read these; malformed
// UTF-8 becomes U+FFFD. Returns the width of the text's longest line in character
// cells, East Asian wide letters counting two.
std::size_t appendText(std::string& out, std::string_view utf8);

// Appends text as an attribute value in double quotes (the quotes not included).
void appendAttribute(std::string& out, std::string_view utf8);

// Whether a <t> holding the text needs xml:space="preserve" to keep its blanks.
bool needsPreserve(std::string_view text);

// "A1"-style reference of a cell; rows and columns from 1.
void appendCellReference(std::string& out, long row, int column);

// The shortest text that reads back as the same double.
void appendNumber(std::string& out, double value);

// A column width in characters as the file stores it (Calibri 11: 7-pixel digits, 5
// pixels of padding), in 1/256 steps.
double storedColumnWidth(double characters);

// What a sheet's head and foot need, known only once its rows are written.
struct SheetLayout {
    long firstRow = 0; // 0: the sheet has no cells
    int firstColumn = 0;
    long lastRow = 0;
    int lastColumn = 0;
    bool selected = false;             // the workbook's active tab
    std::vector<double> columnWidths;  // characters, from column 1; 0 leaves a column as is
};

// Everything up to and including "<sheetData>".
std::string sheetHead(const SheetLayout& layout);
// "</sheetData>" and what follows it.
std::string sheetFoot(const SheetLayout& layout);

} // namespace kestrove::workbook::xml
