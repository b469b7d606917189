#pragma once

// The cells of a worksheet part of an .xlsx file: how texts, numbers, dates and
// references are written, which number format shows a value as its text, and each row's
// and cell's markup (the sheet's head and foot are in SheetLayout.h). Every rule here
// holds whatever the process locale is.

#include <charconv>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrove::workbook::xml {

// The fixed cell styles of a workbook, by their index in its styles part: General, one
// per number format of dates and times, the header row's bold General, and both again
// wrapping their text, for texts of several lines. The styles of other number formats
// follow them, in the order a workbook first uses them.
enum class CellStyle : unsigned char {
    General,
    Date,
    Time,
    Time1,
    Time2,
    Time3,
    DateTime,
    DateTime1,
    DateTime2,
    DateTime3,
    Header,
    Wrapped,
    HeaderWrapped,
};
constexpr int CellStyleCount = 13;

// The number format code of a style other than General ("yyyy-mm-dd", "hh:mm:ss.00", ...).
const char* numberFormatCode(CellStyle style);

// A date or time cell (the date rule, in SheetDates.cpp) whose format shows the given
// text again: "YYYY-MM-DD", "HH:MM:SS" or both joined by a blank, from 1900-03-01 (the
// spreadsheet's calendar is wrong before) to 9999-12-31. Seconds have 0 to 6 fraction
// digits: the number holds them all (to about a microsecond), the format shows at most 3,
// which is all a spreadsheet shows; with `exact`, a text of more than 3 has no cell. A
// time may end in an offset, "+HH", "-HH:MM" or "+HH:MM:SS", which its format shows as
// literal text. The serial number (days since 1899-12-30, the time as a fraction), the
// style of the date and time, the offset's text and how many characters the format
// shows; nothing for any other text (BC, infinity, 24:00:00, years past 9999).
struct DateTimeCell {
    double serial;
    CellStyle style;
    std::string_view offset; // part of the text; empty when it has none
    std::size_t shownLength;
};
std::optional<DateTimeCell> dateTimeCell(std::string_view text, bool exact = false);

// A number format of a workbook beyond its fixed styles: its code, and the spreadsheet's
// built-in id of the same code, or -1 for one of the workbook's own.
struct NumberFormat {
    std::string code;
    int builtinId = -1;
};

// The number format code of a date cell: its style's, and the offset as literal text
// ("yyyy-mm-dd hh:mm:ss\"+01\"").
std::string dateTimeFormatCode(CellStyle style, std::string_view offset);

// The number format that shows a number cell's value as exactly its text: General for a
// whole number of at most 11 characters, which General shows whole; else the text's count
// of fraction digits, of which the ones up to the 15th significant digit are digits of
// the format (`shownDigits`) and the zeros past it are written into the format as they
// are (readers that print a double's further digits would show noise there). A value that
// is nonzero and under 10^-6 in magnitude (`small`) takes "#,##0.0…" rather than "0.0…":
// both show it alike, but readers that format cells as Excel does through JavaScript's
// number texts write it in exponent form with the plain form ("1e-15.000…"). A
// `scientific` format shows a mantissa of `shownDigits` fraction digits and a signed
// exponent of at least two ("0.0E+00"); `negativeZero` shows "-0" for the cell's 0.
struct DecimalFormat {
    unsigned char fractionDigits = 0;
    unsigned char shownDigits = 0;
    bool small = false;
    bool general = false;
    bool scientific = false;
    bool negativeZero = false;
    bool operator==(const DecimalFormat&) const = default;
};
// The most fraction digits a number cell's text may have, and the most a format shows
// as digits (LibreOffice shows zeros past the 20th); the most a mantissa shows (with its
// first digit, the 15 significant digits a spreadsheet shows).
constexpr int MaxFractionDigits = 30;
constexpr int MaxShownFractionDigits = 20;
constexpr int MaxMantissaDigits = 14;

// A number cell for a text: its format, and the fewest fraction digits a format of the
// same kind may show it with alike, writing the rest as zeros (the text's digits past
// them are zeros).
struct NumberCell {
    DecimalFormat format;
    unsigned char fewestShown = 0;
};

// The number cell of a plain decimal number that a double holds to every digit shown:
// an optional '-', an integer part without leading zeros and under 10^21, an optional
// fraction of 1 to 30 digits whose last non-zero one is at most the 20th, at most 15
// significant digits (from the first non-zero digit to the last), and no negative zero.
// Nothing for any other text ("007", "+1", "1,5", " 42", "1e-07", "-0.0", "NaN").
std::optional<NumberCell> decimalCell(std::string_view text);
// Its format alone.
std::optional<DecimalFormat> decimalFormat(std::string_view text);

// The number cell of a floating-point value as the server writes it: the shortest text
// that reads back as the value, so the cell's number is the server's, whatever its count
// of digits. Its format shows the text's digits where they are at most 15 significant,
// else the value rounded to 15 significant digits; an exponent form ("1e-07",
// "-2.5e+300") gets a scientific format, "-0" shows as such. Nothing for "NaN",
// "Infinity" and "-Infinity", which no spreadsheet number is, nor for any other text.
std::optional<NumberCell> floatCell(std::string_view text);

// Why a value of a column of numbers stays text, for the notice that names the column.
enum class TextCause : unsigned char {
    MoreDigits,  // a plain decimal with more digits than a spreadsheet number holds
    NotFinite,   // NaN or an infinity
    FormatsFull, // the workbook has as many number formats as a spreadsheet takes
};
constexpr int TextCauseCount = 3;
// The cause of a text that is no number cell: MoreDigits for a decimal as the server
// writes one (digits, an optional '-' and point, no leading zero, no negative zero),
// NotFinite for "NaN", "Infinity" and "-Infinity"; nothing for any other.
std::optional<TextCause> textCause(std::string_view text);

// The format's code: "General", "0", "0.00", "#,##0.0000000", "0.000000000000\"000000\"",
// "0.0E+00", "\\-0".
std::string decimalFormatCode(DecimalFormat format);
// The spreadsheet's built-in number format id of the same code (General is 0, "0" is 1,
// "0.00" is 2, "0.00E+00" is 11), or -1 when it has none.
int builtinFormatId(DecimalFormat format);

// Appends text as the content of a <t> element. '&', '<' and '>' are escaped; a CR is a
// character reference, so that XML's line-end handling keeps it; characters XML cannot
// hold (C0 controls other than tab and LF, U+FFFE, U+FFFF) become "_xHHHH_", and a
// literal "_xHHHH_" gets "_x005F_" before it, as spreadsheets read these; malformed
// UTF-8 becomes U+FFFD. Returns the width of the text's longest line in character
// cells, East Asian wide letters counting two.
std::size_t appendText(std::string& out, std::string_view utf8);

// Appends text as an attribute value in double quotes (the quotes not included).
void appendAttribute(std::string& out, std::string_view utf8);
// Appends a sheet name (or a reference naming one) as attribute or element text: as
// appendAttribute, and a literal "_xHHHH_" gets "_x005F_" before it, since spreadsheets
// read sheet names with the same escapes as cell texts.
void appendSheetName(std::string& out, std::string_view utf8);

// Whether a <t> holding the text needs xml:space="preserve" to keep its blanks.
bool needsPreserve(std::string_view text);

// "A1"-style reference of a cell ("$A$1" when absolute); rows and columns from 1.
void appendCellReference(std::string& out, long row, int column, bool absolute = false);

// The shortest text that reads back as the same double.
void appendNumber(std::string& out, double value);

// The markup of rows and cells, inline, since the sheet writer calls it for every cell.
// A cell's start tag to its content, made whole and appended once: <c r="B12", its style
// ` s="7"` where it has one (not for a negative style), and `rest`, which ends the tag
// (at most 64 bytes).
void appendCellHead(std::string& out, long row, int column, int style, std::string_view rest);

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

// The cells of a row, each <c r="B12" and its value, by the rules above. A date or time
// cell of a style (see dateTimeCell) holds its serial number.
inline void appendDateCell(std::string& out, long row, int column, int style, double serial) {
    appendCellHead(out, row, column, style, "><v>");
    appendNumber(out, serial);
    out += "</v></c>";
}

// A number cell of a style whose format shows the text (0 for General) holds the text
// itself, which is the number.
inline void appendNumberCell(std::string& out, long row, int column, int style,
                             std::string_view text) {
    appendCellHead(out, row, column, style != 0 ? style : -1, "><v>");
    // A floating-point negative zero is the number 0, which its format shows as "-0".
    out += text == "-0" ? std::string_view("0") : text;
    out += "</v></c>";
}

// A text cell holds the text inline, in bold for the header row, wrapping where it has
// several lines; the width it shows in, as appendText.
inline std::size_t appendTextCell(std::string& out, long row, int column, std::string_view text,
                                  bool header) {
    // A text of several lines wraps, so that its lines show as lines; the spreadsheet
    // fits the row's height when it opens the file.
    const bool lines = text.find('\n') != std::string_view::npos;
    const int style = header || lines ? static_cast<int>(header ? lines ? CellStyle::HeaderWrapped
                                                                        : CellStyle::Header
                                                                : CellStyle::Wrapped)
                                      : -1;
    appendCellHead(out, row, column, style,
                   needsPreserve(text) ? " t=\"inlineStr\"><is><t xml:space=\"preserve\">"
                                       : " t=\"inlineStr\"><is><t>");
    const std::size_t width = appendText(out, text);
    out += "</t></is></c>";
    return width;
}

} // namespace kestrove::workbook::xml
