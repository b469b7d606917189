#include "platform/workbook/SheetLayout.h"

#include "platform/workbook/SheetXml.h"

#include <algorithm>
#include <cstdint>

namespace kestrove::workbook::xml {

double storedColumnWidth(double characters) {
    constexpr double DigitPixels = 7.0;
    constexpr double PaddingPixels = 5.0;
    if (characters <= 0)
        return 0;
    const double pixels =
        characters < 1
            ? static_cast<std::uint32_t>(characters * (DigitPixels + PaddingPixels) + 0.5)
            : static_cast<std::uint32_t>(characters * DigitPixels + 0.5) + PaddingPixels;
    return static_cast<std::uint32_t>(pixels / DigitPixels * 256.0) / 256.0;
}

std::string sheetHead(const SheetLayout& layout) {
    std::string head =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
        "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
        "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
        "<dimension ref=\"";
    if (layout.firstRow == 0) {
        head += "A1";
    } else {
        appendCellReference(head, layout.firstRow, layout.firstColumn);
        if (layout.lastRow != layout.firstRow || layout.lastColumn != layout.firstColumn) {
            head += ':';
            appendCellReference(head, layout.lastRow, layout.lastColumn);
        }
    }
    head += "\"/><sheetViews><sheetView ";
    if (layout.selected)
        head += "tabSelected=\"1\" ";
    head += "workbookViewId=\"0\"";
    if (layout.filtered())
        head +=
            "><pane ySplit=\"1\" topLeftCell=\"A2\" activePane=\"bottomLeft\" state=\"frozen\"/>"
            "<selection pane=\"bottomLeft\"/></sheetView>";
    else
        head += "/>";
    head += "</sheetViews><sheetFormatPr defaultRowHeight=\"15\"/>";
    bool anyWidth = false;
    for (std::size_t c = 0; c < layout.columnWidths.size(); ++c) {
        if (layout.columnWidths[c] <= 0)
            continue;
        if (!anyWidth)
            head += "<cols>";
        anyWidth = true;
        const std::string column = std::to_string(c + 1);
        head += "<col min=\"" + column + "\" max=\"" + column + "\" width=\"";
        appendNumber(head, storedColumnWidth(layout.columnWidths[c]));
        head += "\" customWidth=\"1\"/>";
    }
    if (anyWidth)
        head += "</cols>";
    head += "<sheetData>";
    return head;
}

namespace {
// The used range from row 1: what a filter covers.
void appendRange(std::string& out, const SheetLayout& layout, bool absolute = false) {
    appendCellReference(out, 1, layout.firstColumn, absolute);
    out += ':';
    appendCellReference(out, std::max(layout.lastRow, 1L), layout.lastColumn, absolute);
}
} // namespace

std::string sheetFoot(const SheetLayout& layout) {
    std::string foot = "</sheetData>";
    if (layout.filtered()) {
        foot += "<autoFilter ref=\"";
        appendRange(foot, layout);
        foot += "\"/>";
    }
    foot += "<pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" "
            "header=\"0.3\" footer=\"0.3\"/></worksheet>";
    return foot;
}

std::string absoluteRange(const SheetLayout& layout) {
    std::string range;
    appendRange(range, layout, true);
    return range;
}

} // namespace kestrove::workbook::xml
