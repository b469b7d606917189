#pragma once

// The markup of the sheet XML's rows and cells: each cell's tag, style and value, by the
// cell rules of SheetXml.h. Inline, since the sheet writer calls them for every cell.

#include "platform/workbook/SheetXml.h"

#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>

namespace kestrove::workbook::xml {

// Ends the cell's reference and gives it its style: `" s="7"`.
inline void appendStyle(std::string& out, int style) {
    char digits[24];
    out += "\" s=\"";
    out.append(digits, std::to_chars(digits, digits + sizeof digits, style).ptr);
    out += '"';
}

// A row's start tag, <row r="12">, and its end tag; its cells go between them, in order
// of their columns.
inline void appendRowStart(std::string& out, long row) {
    char digits[24];
    out += "<row r=\"";
    out.append(digits, std::to_chars(digits, digits + sizeof digits, row).ptr);
    out += "\">";
}
inline void appendRowEnd(std::string& out) {
    out += "</row>";
}

// The cells of a row, each "<c r=\"B12\"" and its value, by the cell rules of SheetXml.h.
// A date or time cell of a style (see dateTimeCell) holds its serial number.
inline void appendDateCell(std::string& out, long row, int column, int style, double serial) {
    out += "<c r=\"";
    appendCellReference(out, row, column);
    appendStyle(out, style);
    out += "><v>";
    appendNumber(out, serial);
    out += "</v></c>";
}

// A number cell of a style whose format shows the text (0 for General) holds the text
// itself, which is the number.
inline void appendNumberCell(std::string& out, long row, int column, int style,
                             std::string_view text) {
    out += "<c r=\"";
    appendCellReference(out, row, column);
    if (style != 0)
        appendStyle(out, style);
    else
        out += '"';
    out += "><v>";
    // A floating-point negative zero is the number 0, which its format shows as "-0".
    out += text == "-0" ? std::string_view("0") : text;
    out += "</v></c>";
}

// A text cell holds the text inline, in bold for the header row, wrapping where it has
// several lines; the width it shows in, as appendText.
inline std::size_t appendTextCell(std::string& out, long row, int column, std::string_view text,
                                  bool header) {
    out += "<c r=\"";
    appendCellReference(out, row, column);
    // A text of several lines wraps, so that its lines show as lines; the spreadsheet
    // fits the row's height when it opens the file.
    const bool lines = text.find('\n') != std::string_view::npos;
    if (header || lines)
        appendStyle(out,
                    static_cast<int>(header ? lines ? CellStyle::HeaderWrapped : CellStyle::Header
                                            : CellStyle::Wrapped));
    else
        out += '"';
    out += needsPreserve(text) ? " t=\"inlineStr\"><is><t xml:space=\"preserve\">"
                               : " t=\"inlineStr\"><is><t>";
    const std::size_t width = appendText(out, text);
    out += "</t></is></c>";
    return width;
}

} // namespace kestrove::workbook::xml
