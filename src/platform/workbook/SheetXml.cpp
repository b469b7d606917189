#include "platform/workbook/SheetXml.h"

#include "platform/text/Utf8.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>

namespace kestrove::workbook::xml {

namespace {

constexpr char Hex[] = "0123456789ABCDEF";

bool isWide(char32_t code) {
    return (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
           (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
           (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
           (code >= 0xFFE0 && code <= 0xFFE6) || code >= 0x20000;
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// "_xHHHH_" at the start of the text: what a spreadsheet would read as an escape.
bool startsWithEscape(std::string_view text) {
    return text.size() >= 7 && text[0] == '_' && (text[1] == 'x' || text[1] == 'X') &&
           isHexDigit(text[2]) && isHexDigit(text[3]) && isHexDigit(text[4]) &&
           isHexDigit(text[5]) && text[6] == '_';
}

void appendEscape(std::string& out, char32_t code) {
    const char escape[] = {'_',
                           'x',
                           Hex[(code >> 12) & 0xF],
                           Hex[(code >> 8) & 0xF],
                           Hex[(code >> 4) & 0xF],
                           Hex[code & 0xF],
                           '_'};
    out.append(escape, sizeof escape);
}

// ASCII bytes that go into a <t> as they are.
constexpr std::array<bool, 128> PlainAscii = [] {
    std::array<bool, 128> plain{};
    for (int c = 0x20; c < 0x80; ++c)
        plain[c] = true;
    plain['\t'] = plain['\n'] = true;
    plain['&'] = plain['<'] = plain['>'] = plain['_'] = false;
    return plain;
}();

} // namespace

std::optional<DecimalFormat> decimalFormat(std::string_view text) {
    constexpr int MaxIntegerDigits = 21;
    constexpr int MaxSignificantDigits = 15;
    constexpr std::size_t GeneralCharacters = 11;
    const bool negative = !text.empty() && text[0] == '-';
    // Digits are counted over both parts; first and last are the non-zero ones.
    int digits = 0;
    int integerDigits = -1; // until the point
    int first = -1;
    int last = -1;
    for (std::size_t i = negative ? 1 : 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            if (c != '0') {
                first = first < 0 ? digits : first;
                last = digits;
            }
            ++digits;
        } else if (c == '.' && integerDigits < 0) {
            integerDigits = digits;
        } else {
            return std::nullopt;
        }
    }
    const bool whole = integerDigits < 0;
    if (whole)
        integerDigits = digits;
    const int fractionDigits = digits - integerDigits;
    if (integerDigits == 0 || integerDigits > MaxIntegerDigits ||
        (integerDigits > 1 && text[negative ? 1 : 0] == '0') ||
        (!whole && (fractionDigits == 0 || fractionDigits > MaxFractionDigits)))
        return std::nullopt;
    if (first < 0 && negative)
        return std::nullopt; // "-0", "-0.00"
    if (first >= 0 && (last - first + 1 > MaxSignificantDigits ||
                       last - integerDigits + 1 > MaxShownFractionDigits))
        return std::nullopt;
    DecimalFormat format;
    format.fractionDigits = static_cast<unsigned char>(fractionDigits);
    // Digits up to the 15th significant one (counted from the first digit for a zero).
    const int shown = std::max(first, 0) + MaxSignificantDigits - integerDigits;
    format.shownDigits = static_cast<unsigned char>(
        std::clamp(shown, 0, std::min(fractionDigits, MaxShownFractionDigits)));
    // Under 10^-6: the first non-zero digit is the 7th after the point or later.
    format.small = integerDigits == 1 && first >= 7;
    format.general = whole && text.size() <= GeneralCharacters;
    return format;
}

std::string decimalFormatCode(DecimalFormat format) {
    if (format.general)
        return "General";
    std::string code = format.small ? "#,##0" : "0";
    if (format.shownDigits > 0)
        code.append(".").append(format.shownDigits, '0');
    if (format.fractionDigits > format.shownDigits)
        code.append(format.shownDigits > 0 ? "\"" : "\".")
            .append(format.fractionDigits - format.shownDigits, '0')
            .append("\"");
    return code;
}

int builtinFormatId(DecimalFormat format) {
    if (format.general)
        return 0;
    if (format.small || format.fractionDigits != format.shownDigits)
        return -1;
    return format.fractionDigits == 0 ? 1 : format.fractionDigits == 2 ? 2 : -1;
}

std::size_t appendText(std::string& out, std::string_view utf8) {
    const auto* const begin = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* const end = begin + utf8.size();
    const auto* p = begin;
    const auto* run = begin; // start of the bytes not yet copied
    std::size_t longest = 0;
    std::size_t line = 0;
    const auto copyRun = [&] {
        out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    };
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            if (PlainAscii[c]) {
                if (c == '\n') {
                    longest = std::max(longest, line);
                    line = 0;
                } else {
                    ++line;
                }
                ++p;
                continue;
            }
            copyRun();
            if (c == '&')
                out.append("&amp;");
            else if (c == '<')
                out.append("&lt;");
            else if (c == '>')
                out.append("&gt;");
            else if (c == '_')
                out.append(startsWithEscape(utf8.substr(static_cast<std::size_t>(p - begin)))
                               ? "_x005F_"
                               : "_");
            else if (c == '\r')
                out.append("&#13;");
            else
                appendEscape(out, c);
            if (c == '\r') {
                longest = std::max(longest, line);
                line = 0;
            } else {
                ++line;
            }
            run = ++p;
            continue;
        }
        const utf8::Decoded decoded = utf8::decode(p, end);
        if (decoded.length == 0 || decoded.code == 0xFFFE || decoded.code == 0xFFFF) {
            copyRun();
            if (decoded.length == 0)
                out.append(utf8::Replacement);
            else
                appendEscape(out, decoded.code);
            p += std::max<std::size_t>(decoded.length, 1);
            run = p;
            ++line;
            continue;
        }
        line += isWide(decoded.code) ? 2 : 1;
        p += decoded.length;
    }
    copyRun();
    return std::max(longest, line);
}

void appendAttribute(std::string& out, std::string_view utf8) {
    for (const char c : utf8) {
        switch (c) {
        case '&':
            out.append("&amp;");
            break;
        case '<':
            out.append("&lt;");
            break;
        case '>':
            out.append("&gt;");
            break;
        case '"':
            out.append("&quot;");
            break;
        default:
            out.push_back(c);
        }
    }
}

void appendSheetName(std::string& out, std::string_view utf8) {
    for (std::size_t start = 0;;) {
        const std::size_t underscore = utf8.find('_', start);
        appendAttribute(out, utf8.substr(start, underscore - start));
        if (underscore == std::string_view::npos)
            return;
        out.append(startsWithEscape(utf8.substr(underscore)) ? "_x005F_" : "_");
        start = underscore + 1;
    }
}

bool needsPreserve(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    return !text.empty() && (blank(text.front()) || blank(text.back()));
}

void appendCellReference(std::string& out, long row, int column, bool absolute) {
    char letters[4];
    int count = 0;
    for (int c = column; c > 0; c = (c - 1) / 26)
        letters[count++] = static_cast<char>('A' + (c - 1) % 26);
    if (absolute)
        out.push_back('$');
    while (count > 0)
        out.push_back(letters[--count]);
    if (absolute)
        out.push_back('$');
    char digits[24];
    const auto written = std::to_chars(digits, digits + sizeof digits, row);
    out.append(digits, written.ptr);
}

void appendNumber(std::string& out, double value) {
    char digits[32];
    const auto written = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, written.ptr);
}

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
