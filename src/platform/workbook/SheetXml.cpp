#include "platform/workbook/SheetXml.h"

#include "platform/text/Utf8.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrove::workbook::xml {

namespace {

constexpr char Hex[] = "0123456789ABCDEF";

bool isWide(char32_t code) {
    return (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
           (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
           (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
           (code >= 0xFFE0 && code <= 0xFFE6) || code >= 0x20000;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c) {
    return isDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
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

// Bytes that go into a <t> as they are and do not end a line: ASCII from the space, and
// the tab, but for '&', '<', '>' and '_'; none from 0x80.
constexpr std::array<bool, 256> PlainOnALine = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x80; ++c)
        plain[c] = true;
    plain['\t'] = true;
    plain['&'] = plain['<'] = plain['>'] = plain['_'] = false;
    return plain;
}();

// The end of the plain run from `p`: sixteen bytes at a time where the processor can.
const unsigned char* plainRunEnd(const unsigned char* p, const unsigned char* end) {
    // Between the characters of other scripts a run is empty: it ends before any load.
    if (p == end || !PlainOnALine[*p])
        return p;
#if defined(__SSE2__)
    const __m128i belowSpace = _mm_set1_epi8(0x1F);
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i amp = _mm_set1_epi8('&');
    const __m128i lt = _mm_set1_epi8('<');
    const __m128i gt = _mm_set1_epi8('>');
    const __m128i underscore = _mm_set1_epi8('_');
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Signed, the bytes from 0x80 are below the space too.
        const __m128i printable =
            _mm_or_si128(_mm_cmpgt_epi8(v, belowSpace), _mm_cmpeq_epi8(v, tab));
        const __m128i marked =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, lt)),
                         _mm_or_si128(_mm_cmpeq_epi8(v, gt), _mm_cmpeq_epi8(v, underscore)));
        const auto plain =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(marked, printable)));
        if (plain != 0xFFFF)
            return p + std::countr_one(plain);
        p += 16;
    }
#endif
    while (p < end && PlainOnALine[*p])
        ++p;
    return p;
}

} // namespace

namespace {

constexpr int MaxSignificantDigits = 15;

// The digits of a plain decimal ("-12.50"): their count, the count before the point, and
// the places among them of the first and last non-zero one (-1 for a zero). Nothing for a
// text of anything but digits, an optional leading '-' and one point.
struct DecimalDigits {
    bool negative = false;
    int digits = 0;
    int integerDigits = 0;
    int first = -1;
    int last = -1;
    bool point = false;
    int fractionDigits() const { return digits - integerDigits; }
};
std::optional<DecimalDigits> decimalDigits(std::string_view text) {
    DecimalDigits d;
    d.negative = !text.empty() && text[0] == '-';
    int integerDigits = -1; // until the point
    for (std::size_t i = d.negative ? 1 : 0; i < text.size(); ++i) {
        const char c = text[i];
        if (isDigit(c)) {
            if (c != '0') {
                d.first = d.first < 0 ? d.digits : d.first;
                d.last = d.digits;
            }
            ++d.digits;
        } else if (c == '.' && integerDigits < 0) {
            integerDigits = d.digits;
        } else {
            return std::nullopt;
        }
    }
    d.point = integerDigits >= 0;
    d.integerDigits = d.point ? integerDigits : d.digits;
    if (d.integerDigits == 0 || (d.point && d.fractionDigits() == 0))
        return std::nullopt; // "", "-", ".5", "5."
    return d;
}

// A number as the server writes one: no leading zeros, no negative zero.
bool isCanonical(const DecimalDigits& d, std::string_view text) {
    return !(d.integerDigits > 1 && text[d.negative ? 1 : 0] == '0') &&
           !(d.first < 0 && d.negative);
}

// Under 10^-6: the first non-zero digit is the 7th after the point or later.
bool isSmall(const DecimalDigits& d) {
    return d.integerDigits == 1 && d.first >= 7;
}

// A fixed format of the fraction digits that shows the ones up to the 15th significant
// digit (counted from the first digit for a zero), at most 20.
DecimalFormat fixedFormat(const DecimalDigits& d, int fractionDigits) {
    DecimalFormat format;
    format.fractionDigits = static_cast<unsigned char>(fractionDigits);
    const int shown = std::max(d.first, 0) + MaxSignificantDigits - d.integerDigits;
    format.shownDigits = static_cast<unsigned char>(
        std::clamp(shown, 0, std::min(fractionDigits, MaxShownFractionDigits)));
    format.small = isSmall(d);
    return format;
}

// The scientific cell of "d[.ddd]e±dd": its mantissa's digits shown up to the 15th
// significant one.
std::optional<NumberCell> scientificCell(std::string_view text, std::size_t e) {
    const auto mantissa = decimalDigits(text.substr(0, e));
    std::string_view exponent = text.substr(e + 1);
    if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-'))
        exponent.remove_prefix(1);
    if (!mantissa || mantissa->integerDigits != 1 || mantissa->first != 0 || exponent.empty() ||
        !std::all_of(exponent.begin(), exponent.end(), isDigit))
        return std::nullopt;
    NumberCell cell;
    cell.format.scientific = true;
    cell.format.shownDigits = cell.format.fractionDigits =
        static_cast<unsigned char>(std::min(mantissa->fractionDigits(), MaxMantissaDigits));
    cell.fewestShown = cell.format.shownDigits;
    return cell;
}

} // namespace

std::optional<NumberCell> decimalCell(std::string_view text) {
    constexpr int MaxIntegerDigits = 21;
    constexpr std::size_t GeneralCharacters = 11;
    // The commonest number, an integer that General shows whole ("0", "-42"), needs no
    // count of its digits: most columns of numbers hold nothing else.
    const std::size_t sign = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() > sign && text.size() <= GeneralCharacters &&
        (text[sign] != '0' || text.size() == 1) &&
        std::all_of(text.begin() + static_cast<std::ptrdiff_t>(sign), text.end(), isDigit)) {
        NumberCell cell;
        cell.format.general = true;
        return cell;
    }
    const auto d = decimalDigits(text);
    // Not "007", "-0" or "-0.00"; under 10^21, at most 30 fraction digits.
    if (!d || !isCanonical(*d, text) || d->integerDigits > MaxIntegerDigits ||
        d->fractionDigits() > MaxFractionDigits)
        return std::nullopt;
    if (d->first >= 0 && (d->last - d->first + 1 > MaxSignificantDigits ||
                          d->last - d->integerDigits + 1 > MaxShownFractionDigits))
        return std::nullopt;
    NumberCell cell;
    cell.format = fixedFormat(*d, d->fractionDigits());
    cell.format.general = !d->point && text.size() <= GeneralCharacters;
    // The digits past the last non-zero one are zeros.
    cell.fewestShown = static_cast<unsigned char>(
        std::min<int>(std::max(d->last - d->integerDigits + 1, 0), cell.format.shownDigits));
    return cell;
}

std::optional<DecimalFormat> decimalFormat(std::string_view text) {
    if (const auto cell = decimalCell(text))
        return cell->format;
    return std::nullopt;
}

std::optional<NumberCell> floatCell(std::string_view text) {
    if (const auto cell = decimalCell(text))
        return cell;
    if (text == "-0") {
        NumberCell cell;
        cell.format.negativeZero = true;
        return cell;
    }
    if (const std::size_t e = text.find('e'); e != std::string_view::npos)
        return scientificCell(text, e);
    // More than 15 significant digits: shown rounded to the 15th.
    const auto d = decimalDigits(text);
    if (!d || !isCanonical(*d, text) || d->first < 0)
        return std::nullopt;
    // The digits past the 15th are rounded away, not zeros.
    NumberCell cell;
    cell.format = fixedFormat(*d, std::min(d->fractionDigits(), MaxShownFractionDigits));
    cell.format.fractionDigits = cell.fewestShown = cell.format.shownDigits;
    return cell;
}

std::optional<TextCause> textCause(std::string_view text) {
    if (text == "NaN" || text == "Infinity" || text == "-Infinity")
        return TextCause::NotFinite;
    if (const auto d = decimalDigits(text); d && isCanonical(*d, text))
        return TextCause::MoreDigits;
    return std::nullopt;
}

std::string decimalFormatCode(DecimalFormat format) {
    if (format.general)
        return "General";
    if (format.negativeZero)
        return "\\-0";
    std::string code = format.small ? "#,##0" : "0";
    if (format.shownDigits > 0)
        code.append(".").append(format.shownDigits, '0');
    if (format.scientific)
        return code.append("E+00");
    if (format.fractionDigits > format.shownDigits)
        code.append(format.shownDigits > 0 ? "\"" : "\".")
            .append(format.fractionDigits - format.shownDigits, '0')
            .append("\"");
    return code;
}

int builtinFormatId(DecimalFormat format) {
    if (format.general)
        return 0;
    if (format.negativeZero)
        return -1;
    if (format.scientific)
        return format.shownDigits == 2 ? 11 : -1;
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
        // A run of plain characters on one line, the bulk of most texts, goes at once.
        const auto* const plain = p;
        p = plainRunEnd(p, end);
        line += static_cast<std::size_t>(p - plain);
        if (p == end)
            break;
        const unsigned char c = *p;
        if (c == '\n') {
            longest = std::max(longest, line);
            line = 0;
            ++p;
            continue;
        }
        if (c < 0x80) {
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

namespace {
// Writes the reference at `at`, which has room for it; returns its end.
char* writeCellReference(char* at, long row, int column, bool absolute) {
    char letters[4];
    int count = 0;
    for (int c = column; c > 0; c = (c - 1) / 26)
        letters[count++] = static_cast<char>('A' + (c - 1) % 26);
    if (absolute)
        *at++ = '$';
    while (count > 0)
        *at++ = letters[--count];
    if (absolute)
        *at++ = '$';
    return std::to_chars(at, at + 20, row).ptr;
}
} // namespace

void appendCellReference(std::string& out, long row, int column, bool absolute) {
    char reference[32];
    out.append(reference, writeCellReference(reference, row, column, absolute));
}

void appendCellHead(std::string& out, long row, int column, int style, std::string_view rest) {
    char head[128];
    char* end = head;
    const auto put = [&](std::string_view text) {
        std::memcpy(end, text.data(), text.size());
        end += text.size();
    };
    put("<c r=\"");
    end = writeCellReference(end, row, column, false);
    if (style >= 0) {
        put("\" s=\"");
        end = std::to_chars(end, end + 12, style).ptr;
    }
    put("\"");
    if (rest.size() > static_cast<std::size_t>(head + sizeof head - end))
        throw std::length_error("a cell's start tag");
    put(rest);
    out.append(head, static_cast<std::size_t>(end - head));
}

void appendNumber(std::string& out, double value) {
    char digits[32];
    const auto written = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, written.ptr);
}

} // namespace kestrove::workbook::xml
