// The date rule of the sheet XML (SheetXml.h): which texts of dates and times become date
// cells, their serial numbers, and the number formats that show them.

#include "platform/workbook/SheetXml.h"

#include <algorithm>

namespace kestrove::workbook::xml {

namespace {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
long daysFromCivil(long year, unsigned month, unsigned day) {
    year -= month <= 2;
    const long era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<long>(dayOfEra) - 719468;
}

bool digitsAt(std::string_view text, std::size_t at, std::size_t count, unsigned& value) {
    if (at + count > text.size())
        return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
}

// "YYYY-MM-DD" at the start: the spreadsheet's serial day number.
std::optional<long> serialDay(std::string_view text) {
    unsigned year, month, day;
    if (text.size() < 10 || text[4] != '-' || text[7] != '-' || !digitsAt(text, 0, 4, year) ||
        !digitsAt(text, 5, 2, month) || !digitsAt(text, 8, 2, day) || month < 1 || month > 12 ||
        day < 1)
        return std::nullopt;
    static constexpr unsigned MonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > MonthDays[month - 1] + (month == 2 && leap ? 1 : 0))
        return std::nullopt;
    if (year < 1900 || (year == 1900 && month < 3))
        return std::nullopt;
    return daysFromCivil(year, month, day) - daysFromCivil(1899, 12, 30);
}

// An offset from UTC as the server writes it: "+HH", "+HH:MM" or "+HH:MM:SS", or with '-'.
bool isOffset(std::string_view text) {
    unsigned part;
    if ((text.size() != 3 && text.size() != 6 && text.size() != 9) ||
        (text[0] != '+' && text[0] != '-') || !digitsAt(text, 1, 2, part))
        return false;
    for (std::size_t at = 3; at < text.size(); at += 3)
        if (text[at] != ':' || !digitsAt(text, at + 1, 2, part) || part > 59)
            return false;
    return true;
}

// A time of day, the whole text.
struct TimeOfDay {
    double fraction; // of a day
    int digits;      // of the second's fraction
    std::string_view offset;
};

// "HH:MM:SS" with 0 to 6 fraction digits and an optional offset, the whole text.
std::optional<TimeOfDay> timeOfDay(std::string_view text) {
    constexpr int MostDigits = 6;
    unsigned hours, minutes, seconds;
    if (text.size() < 8 || text[2] != ':' || text[5] != ':' || !digitsAt(text, 0, 2, hours) ||
        !digitsAt(text, 3, 2, minutes) || !digitsAt(text, 6, 2, seconds) || hours > 23 ||
        minutes > 59 || seconds > 59)
        return std::nullopt;
    const std::size_t offsetAt = std::min(text.find_first_of("+-", 8), text.size());
    std::string_view offset = text.substr(offsetAt);
    if (!offset.empty() && !isOffset(offset))
        return std::nullopt;
    unsigned fraction = 0;
    int digits = 0;
    if (offsetAt > 8) {
        digits = static_cast<int>(offsetAt) - 9;
        if (text[8] != '.' || digits < 1 || digits > MostDigits ||
            !digitsAt(text, 9, static_cast<std::size_t>(digits), fraction))
            return std::nullopt;
    }
    static constexpr double Scale[] = {1, 10, 100, 1000, 10000, 100000, 1000000};
    const double secondsOfDay =
        hours * 3600.0 + minutes * 60.0 + seconds + fraction / Scale[digits];
    return TimeOfDay{secondsOfDay / 86400.0, digits, offset};
}

// The cell of a time, on a day or alone.
std::optional<DateTimeCell> timeCell(double day, std::string_view time, CellStyle first,
                                     std::size_t length, bool exact) {
    constexpr int ShownDigits = 3;
    const auto moment = timeOfDay(time);
    if (!moment || (exact && moment->digits > ShownDigits))
        return std::nullopt;
    const int shown = std::min(moment->digits, ShownDigits);
    return DateTimeCell{day + moment->fraction,
                        static_cast<CellStyle>(static_cast<int>(first) + shown), moment->offset,
                        length - static_cast<std::size_t>(moment->digits - shown)};
}

} // namespace

const char* numberFormatCode(CellStyle style) {
    switch (style) {
    case CellStyle::General:
        return "General";
    case CellStyle::Date:
        return "yyyy-mm-dd";
    case CellStyle::Time:
        return "hh:mm:ss";
    case CellStyle::Time1:
        return "hh:mm:ss.0";
    case CellStyle::Time2:
        return "hh:mm:ss.00";
    case CellStyle::Time3:
        return "hh:mm:ss.000";
    case CellStyle::DateTime:
        return "yyyy-mm-dd hh:mm:ss";
    case CellStyle::DateTime1:
        return "yyyy-mm-dd hh:mm:ss.0";
    case CellStyle::DateTime2:
        return "yyyy-mm-dd hh:mm:ss.00";
    case CellStyle::DateTime3:
        return "yyyy-mm-dd hh:mm:ss.000";
    case CellStyle::Header:
    case CellStyle::Wrapped:
    case CellStyle::HeaderWrapped:
        return "General";
    }
    return "General";
}

std::optional<DateTimeCell> dateTimeCell(std::string_view text, bool exact) {
    if (text.size() == 10 && text[4] == '-') {
        if (const auto day = serialDay(text))
            return DateTimeCell{static_cast<double>(*day), CellStyle::Date, {}, text.size()};
        return std::nullopt;
    }
    if (text.size() >= 8 && text[2] == ':')
        return timeCell(0, text, CellStyle::Time, text.size(), exact);
    if (text.size() >= 19 && text[10] == ' ') {
        if (const auto day = serialDay(text.substr(0, 10)))
            return timeCell(static_cast<double>(*day), text.substr(11), CellStyle::DateTime,
                            text.size(), exact);
    }
    return std::nullopt;
}

std::string dateTimeFormatCode(CellStyle style, std::string_view offset) {
    std::string code = numberFormatCode(style);
    if (!offset.empty())
        code.append("\"").append(offset).append("\"");
    return code;
}

} // namespace kestrove::workbook::xml
