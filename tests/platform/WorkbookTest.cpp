#include "platform/workbook/Workbook.h"
#include "platform/workbook/SheetXml.h"
#include "platform/workbook/ZipPackage.h"
#include "support/ImportHost.h"
#include "support/Process.h"
#include "support/Skip.h"
#include "support/System.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <xlsxwriter.h>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <map>
#include <utility>

#include <clocale>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

using namespace kestrove::workbook;
using kestrove::test::readWorkbook;

namespace {

QString scriptPath(const char* name) {
    return QStringLiteral(KESTROVE_TEST_SUPPORT_DIR "/") + QLatin1String(name);
}

// Runs a program; its exit code, with standard output and error in `output`.
int run(const QString& program, const QStringList& arguments, QString* output = nullptr) {
    // The reader's own locale must not change what it prints: the file is under test.
    const kestrove::test::ProcessResult result =
        kestrove::test::runProcess(program, arguments, {QStringLiteral("LC_ALL=C.UTF-8")});
    if (output)
        *output = QString::fromUtf8(result.out + result.err);
    return result.status;
}

using FormatRows = std::vector<std::tuple<const char*, const char*, int>>;

// The format `formatOf` gives each text of `numbers` has its code and built-in id; it
// gives none for the `others`.
template <class FormatOf>
void expectFormats(FormatOf formatOf, const FormatRows& numbers,
                   std::initializer_list<const char*> others) {
    for (const auto& [text, code, builtin] : numbers) {
        const std::optional<xml::DecimalFormat> format = formatOf(text);
        ASSERT_TRUE(format.has_value()) << text;
        EXPECT_EQ(xml::decimalFormatCode(*format), code) << text;
        EXPECT_EQ(xml::builtinFormatId(*format), builtin) << text;
    }
    for (const char* text : others)
        EXPECT_FALSE(formatOf(text).has_value()) << text;
}

} // namespace

// Every plain decimal of at most 15 significant digits is a number whose format shows
// its digits again, trailing zeros included; anything a format cannot show back stays text.
TEST(DecimalFormat, PlainNumbersWithTheirFractionDigitsAndEverythingElseAsText) {
    const FormatRows numbers{
        {"0", "General", 0},
        {"42", "General", 0},
        {"-1234567890", "General", 0},
        {"12345678901", "General", 0},
        {"-7", "General", 0},
        {"-12345678901", "0", 1},
        {"-123456789012", "0", 1},
        {"100000007919", "0", 1},
        {"123456789012345", "0", 1},
        {"123456789012345000000", "0", 1},
        {"1234.50", "0.00", 2},
        {"-0.10", "0.00", 2},
        {"0.00", "0.00", 2},
        {"-3.25", "0.00", 2},
        {"1.000", "0.000", -1},
        {"0.1000", "0.0000", -1},
        {"1234567.891234", "0.000000", -1},
        {"0.000001", "0.000000", -1},
        {"0.0000001", "#,##0.0000000", -1},
        {"-0.000000000000001", "#,##0.000000000000000", -1},
        {"0.100000000000000000000000000000", "0.000000000000000\"000000000000000\"", -1},
        {"590.370000000000000000", "0.000000000000\"000000\"", -1},
        {"123456789012345000000.00", "0\".00\"", -1},
    };
    expectFormats(xml::decimalFormat, numbers,
                  {"",
                   "-",
                   "007",
                   "00",
                   "05",
                   "-05",
                   "--5",
                   "1-",
                   "1e5",
                   "1e-07",
                   "+1",
                   "1,000",
                   "1,5",
                   " 5",
                   "5 ",
                   ".5",
                   "5.",
                   "-0",
                   "-0.0",
                   "-0.000",
                   "12345678901234567890",
                   "1234567890123456",
                   "1234567890.123456",
                   "1000000000000000000000",
                   "0.1000000000000000000000000000000",
                   "0.000000000000000000001",
                   "-0.000000457624315557049",
                   "0x10",
                   "NaN",
                   "Infinity",
                   "-Infinity",
                   "١٢"});
}

// Every finite floating-point value as the server writes it is a number: its format
// shows the text's digits where they are at most 15 significant, else the value rounded
// to 15, exponents in scientific formats; a column of numbers names why a value stays text.
TEST(FloatCell, EveryFiniteValueShowsItsDigitsOrFifteen) {
    const FormatRows numbers{
        {"0.25", "0.00", 2},
        {"100000", "General", 0},
        {"0", "General", 0},
        {"123456789012345", "0", 1},
        {"0.14285714285714285", "0.000000000000000", -1},
        {"-142.85714285714286", "0.000000000000", -1},
        {"12345678901234.566", "0.0", -1},
        {"1e-07", "0E+00", -1},
        {"1.5e+300", "0.0E+00", -1},
        {"-2.5e-05", "0.0E+00", -1},
        {"1.25e+20", "0.00E+00", 11},
        {"1.2345678901234567e+20", "0.00000000000000E+00", -1},
        {"5e-324", "0E+00", -1},
        {"-0", "\\-0", -1},
    };
    const auto floatFormat = [](std::string_view text) -> std::optional<xml::DecimalFormat> {
        if (const auto cell = xml::floatCell(text))
            return cell->format;
        return std::nullopt;
    };
    expectFormats(floatFormat, numbers,
                  {"NaN", "Infinity", "-Infinity", "", "-", "1e", "e5", "1.5e+", "0x10", " 1",
                   "007", "10e5", "1e+5x"});
    using Cause = std::optional<xml::TextCause>;
    for (const auto& [text, cause] :
         {std::pair{"12345678901234567890", Cause(xml::TextCause::MoreDigits)},
          std::pair{"-1234567890.123456", Cause(xml::TextCause::MoreDigits)},
          std::pair{"0.000000000000000000001", Cause(xml::TextCause::MoreDigits)},
          std::pair{"NaN", Cause(xml::TextCause::NotFinite)},
          std::pair{"-Infinity", Cause(xml::TextCause::NotFinite)}, std::pair{"007", Cause()},
          std::pair{"-0", Cause()}, std::pair{"$1.00", Cause()}, std::pair{"1,5", Cause()}})
        EXPECT_EQ(xml::textCause(text), cause) << text;
}

// A date cell holds the wall-clock time as written; its format shows the offset as
// literal text, and the digits past the millisecond are in its number only (not at all
// for exact times).
TEST(DateTimeCell, OnlyTextsItsFormatShowsUnchangedOrToTheMillisecond) {
    using xml::CellStyle;
    const std::vector<std::tuple<const char*, double, CellStyle, const char*, std::size_t>> cells{
        {"1900-03-01", 61, CellStyle::Date, "", 10},
        {"2024-02-29", 45351, CellStyle::Date, "", 10},
        {"9999-12-31", 2958465, CellStyle::Date, "", 10},
        {"00:00:00", 0, CellStyle::Time, "", 8},
        {"12:00:00.5", (43200.5) / 86400, CellStyle::Time1, "", 10},
        {"06:00:00.25", (21600.25) / 86400, CellStyle::Time2, "", 11},
        {"23:59:59.999", 86399.999 / 86400, CellStyle::Time3, "", 12},
        {"2024-02-29 12:00:00", 45351.5, CellStyle::DateTime, "", 19},
        {"2024-02-29 00:00:00.125", 45351 + 0.125 / 86400, CellStyle::DateTime3, "", 23},
        {"12:00:00.1234", 43200.1234 / 86400, CellStyle::Time3, "", 12},
        {"2024-02-29 00:00:00.123456", 45351 + 0.123456 / 86400, CellStyle::DateTime3, "", 23},
        {"12:00:00+02", 0.5, CellStyle::Time, "+02", 11},
        {"23:59:59.999-03:30", 86399.999 / 86400, CellStyle::Time3, "-03:30", 18},
        {"2024-02-29 12:00:00+00", 45351.5, CellStyle::DateTime, "+00", 22},
        {"2024-03-31 03:00:00.5+02", 45382.125 + 0.5 / 86400, CellStyle::DateTime1, "+02", 24},
        {"1910-01-01 00:00:00+05:41:16", 3654, CellStyle::DateTime, "+05:41:16", 28},
        {"2024-03-01 12:34:56.000001-09:30", 45352 + 45296.000001 / 86400, CellStyle::DateTime3,
         "-09:30", 29},
    };
    for (const auto& [text, serial, style, offset, shown] : cells) {
        const auto cell = xml::dateTimeCell(text);
        ASSERT_TRUE(cell.has_value()) << text;
        EXPECT_NEAR(cell->serial, serial, 1e-11) << text;
        EXPECT_EQ(cell->style, style) << text;
        EXPECT_EQ(cell->offset, offset) << text;
        EXPECT_EQ(cell->shownLength, shown) << text;
        EXPECT_EQ(xml::dateTimeCell(text, true).has_value(), shown == std::string_view(text).size())
            << text;
    }
    EXPECT_EQ(xml::dateTimeFormatCode(CellStyle::DateTime3, "+05:45"),
              "yyyy-mm-dd hh:mm:ss.000\"+05:45\"");
    EXPECT_EQ(xml::dateTimeFormatCode(CellStyle::Time, ""), "hh:mm:ss");
    for (const char* text : {"1900-02-28",
                             "1899-12-31",
                             "2023-02-29",
                             "2024-13-01",
                             "2024-04-31",
                             "0044-03-15 BC",
                             "infinity",
                             "10000-01-01",
                             "24:00:00",
                             "24:00:00+02",
                             "12:60:00",
                             "12:00:00.1234567",
                             "12:00:00.",
                             "12:00:00.+02",
                             "12:00:00+2",
                             "12:00:00+02:3",
                             "12:00:00+02:60",
                             "12:00:00 +02",
                             "2024-02-29 12:00:00+00 BC",
                             "0001-01-01 00:00:00+00 BC",
                             "10000-01-01 00:00:00+00",
                             "1900-02-28 23:00:00+01",
                             "2024-02-29T12:00:00",
                             "2024-02-29+01",
                             "2024-2-29",
                             " 2024-02-29",
                             "1 day"})
        EXPECT_FALSE(xml::dateTimeCell(text).has_value()) << text;
}

// A text's markup and width, its plain runs and the characters between them alike: the
// width is that of its widest line.
TEST(SheetXml, TextsAreEscapedAndMeasuredByTheirWidestLine) {
    for (const auto& [text, markup, width] :
         std::vector<std::tuple<std::string, std::string, std::size_t>>{
             {"plain text", "plain text", 10},
             {"a&b<c>d", "a&amp;b&lt;c&gt;d", 7},
             {"the longest first\nab", "the longest first\nab", 17},
             {"ab\nthe longest last", "ab\nthe longest last", 16},
             {"a\r\nbc", "a&#13;\nbc", 2},
             {"\xE6\x9D\xB1\xE4\xBA\xAC\nabc", "\xE6\x9D\xB1\xE4\xBA\xAC\nabc", 4},
             {"_x0041_ x_", "_x005F_x0041_ x_", 10},
             {"ctrl\x01", "ctrl_x0001_", 5},
             {"bad \xFF byte", "bad \xEF\xBF\xBD byte", 10},
             {"\n\n", "\n\n", 0},
             // Marks at either end of sixteen-byte runs, and past them.
             {std::string(15, 'x') + "<" + std::string(16, 'y') + "\t>" + std::string(14, 'z') +
                  "&_x0041_" + std::string(16, 'w'),
              std::string(15, 'x') + "&lt;" + std::string(16, 'y') + "\t&gt;" +
                  std::string(14, 'z') + "&amp;_x005F_x0041_" + std::string(16, 'w'),
              72},
             {std::string(16, 'a') + "\xC3\xBC" + std::string(20, 'b') + "\x7F\n" +
                  std::string(31, 'c') + "\x02_",
              std::string(16, 'a') + "\xC3\xBC" + std::string(20, 'b') + "\x7F\n" +
                  std::string(31, 'c') + "_x0002__",
              38}}) {
        std::string out = "<t>";
        EXPECT_EQ(xml::appendText(out, text), width) << text;
        EXPECT_EQ(out, "<t>" + markup) << text;
    }
    // Every byte inside a sixteen-byte run is written as it is on its own.
    const std::string run(16, 'a');
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        std::string alone, within;
        const std::size_t width = xml::appendText(alone, byte);
        EXPECT_EQ(xml::appendText(within, run + byte + run),
                  b == '\n' || b == '\r' ? 16 : 32 + width)
            << b;
        EXPECT_EQ(within, run + alone + run) << b;
    }
}

// Each cell's start tag: its reference, its style where it has one, and its type.
TEST(SheetXml, CellsAreTaggedWithTheirReferenceStyleAndType) {
    const auto cell = [](const std::function<void(std::string&)>& append) {
        std::string out;
        append(out);
        return out;
    };
    EXPECT_EQ(cell([](std::string& out) { xml::appendNumberCell(out, 12, 2, 0, "-0"); }),
              "<c r=\"B12\"><v>0</v></c>");
    EXPECT_EQ(cell([](std::string& out) { xml::appendNumberCell(out, 1048576, 16384, 17, "4.5"); }),
              "<c r=\"XFD1048576\" s=\"17\"><v>4.5</v></c>");
    EXPECT_EQ(cell([](std::string& out) { xml::appendDateCell(out, 3, 27, 0, 1.5); }),
              "<c r=\"AA3\" s=\"0\"><v>1.5</v></c>");
    EXPECT_EQ(cell([](std::string& out) { xml::appendTextCell(out, 1, 1, " id", true); }),
              "<c r=\"A1\" s=\"" + std::to_string(static_cast<int>(xml::CellStyle::Header)) +
                  "\" t=\"inlineStr\"><is><t xml:space=\"preserve\"> id</t></is></c>");
    EXPECT_EQ(cell([](std::string& out) { xml::appendTextCell(out, 2, 26, "a\nb", false); }),
              "<c r=\"Z2\" s=\"" + std::to_string(static_cast<int>(xml::CellStyle::Wrapped)) +
                  "\" t=\"inlineStr\"><is><t>a\nb</t></is></c>");
    EXPECT_EQ(cell([](std::string& out) { xml::appendTextCell(out, 2, 1, "a&b", false); }),
              "<c r=\"A2\" t=\"inlineStr\"><is><t>a&amp;b</t></is></c>");
}

TEST(SheetNames, RefusedWhereASpreadsheetRefusesThem) {
    const std::vector<std::string> others{"Orders"};
    EXPECT_NO_THROW(validateSheetName("Orders 2", others));
    EXPECT_NO_THROW(validateSheetName(std::string(31, 'x'), others));
    EXPECT_NO_THROW(validateSheetName("Ж" + std::string(30, 'x'), others));
    // An emoji counts two, as the spreadsheet counts in UTF-16 units.
    EXPECT_NO_THROW(validateSheetName("😀" + std::string(29, 'x'), others));
    for (const std::string& bad :
         {std::string(), std::string(32, 'x'), "😀" + std::string(30, 'x'), std::string("a\x01b"),
          std::string("tab\there"), std::string("a\xEF\xBF\xBF"), std::string("a[b"),
          std::string("a]"), std::string("a:b"), std::string("a*b"), std::string("a?b"),
          std::string("a/b"), std::string("a\\b"), std::string("'quoted"), std::string("quoted'"),
          std::string("history"), std::string("ORDERS")})
        EXPECT_THROW(validateSheetName(bad, others), WorkbookError) << bad;
}

TEST(WorkbookModel, SheetsAreAddedBeforeTheActiveOneAndDeletedByIndex) {
    Workbook book;
    ASSERT_EQ(book.count(), 1);
    EXPECT_EQ(book.activeSheet().name(), "Sheet1");
    Worksheet& second = book.add();
    EXPECT_EQ(&book.activeSheet(), &second);
    EXPECT_EQ(&book.item(1), &second);
    Worksheet& third = book.add();
    EXPECT_EQ(book.item(1).name(), third.name());
    EXPECT_EQ(book.item(3).name(), "Sheet1");
    EXPECT_THROW(book.item(4), WorkbookError);
    EXPECT_THROW(third.setName("sheet1"), WorkbookError);

    book.remove(1); // the active sheet goes; its neighbour becomes active
    EXPECT_EQ(&book.activeSheet(), &second);
    book.remove(book.count());
    EXPECT_EQ(book.count(), 1);
    EXPECT_THROW(book.remove(1), WorkbookError);

    Worksheet& sheet = book.activeSheet();
    EXPECT_THROW(sheet.setCell(0, 1, "x"), WorkbookError);
    EXPECT_THROW(sheet.setCell(MaxRows + 1, 1, "x"), WorkbookError);
    EXPECT_THROW(sheet.setCell(1, MaxColumns + 1, "x"), WorkbookError);
    EXPECT_THROW(sheet.setCell(1, 1, std::string(MaxCellChars + 1, 'x')), WorkbookError);
    EXPECT_NO_THROW(sheet.setCell(MaxRows, MaxColumns, std::string(MaxCellChars, 'x')));
}

// Written with libxlsxwriter, read back with openpyxl.
TEST(WorkbookFile, HoldsTabsCellsAndFittedWidths) {
    QTemporaryDir folder;
    const std::string path = folder.filePath(QStringLiteral("out.xlsx")).toStdString();
    std::vector<std::string> opened;
    Application excel(path, [&](const std::string& p) { opened.push_back(p); });
    Workbook& book = excel.addWorkbook();
    Worksheet& first = book.activeSheet();
    first.setName("First");
    // Within a row, any column order; rows from the top down.
    first.setCell(1, 2, "");
    first.setCell(1, 1, "12");
    first.setCell(2, 1, "007");
    first.setCell(3, 2, "later");
    EXPECT_THROW(first.setCell(2, 2, "too late"), WorkbookError);
    Worksheet& second = book.add();
    second.setName("Second");
    second.setCell(1, 1, "Größe 東京");
    second.setCell(2, 1, "x");
    second.autofitColumns();
    // A sheet written and then deleted leaves nothing behind; a sheet renamed after its
    // first cell is saved under its new name.
    Worksheet& dropped = book.add();
    dropped.setCell(1, 1, "dropped");
    book.remove(1);
    first.setName("First renamed");
    excel.setVisible(true);
    ASSERT_EQ(opened, std::vector<std::string>{path});

    const QJsonArray sheets = readWorkbook(QString::fromStdString(path));
    ASSERT_EQ(sheets.size(), 2);
    const QJsonObject tabOne = sheets[0].toObject(), tabTwo = sheets[1].toObject();
    EXPECT_EQ(tabOne["name"].toString(), QStringLiteral("Second"));
    EXPECT_EQ(tabTwo["name"].toString(), QStringLiteral("First renamed"));
    EXPECT_TRUE(tabOne["active"].toBool());
    EXPECT_FALSE(tabTwo["active"].toBool());
    const QJsonArray rows = tabTwo["rows"].toArray();
    EXPECT_EQ(rows[0].toArray()[0].toDouble(), 12.0);
    EXPECT_TRUE(rows[0].toArray()[0].isDouble());
    EXPECT_EQ(rows[1].toArray()[0].toString(), QStringLiteral("007"));
    EXPECT_TRUE(rows[0].toArray()[1].isNull());
    EXPECT_EQ(rows[2].toArray()[1].toString(), QStringLiteral("later"));
    EXPECT_TRUE(tabTwo["widths"].toObject().isEmpty());
    EXPECT_EQ(tabOne["rows"].toArray()[0].toArray()[0].toString(), QStringLiteral("Größe 東京"));
    // Two wide letters count double: 6 + 4 characters wide, plus one (the file adds padding).
    EXPECT_NEAR(tabOne["widths"].toObject()["A"].toDouble(), 11.71, 0.01);
}

// A format serves every value it shows alike. Past the most formats of its own a workbook
// may have, a value that needs one more stays text and is counted; the spreadsheet's
// built-in formats and the dates' are never refused. SheetJS shows each number as its text.
TEST(WorkbookFile, NumberFormatsAreSharedAndOnlyTheWorkbooksOwnAreCapped) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("formats.xlsx"));
    Application excel(path.toStdString(), {});
    Worksheet& sheet = excel.addWorkbook().activeSheet();
    // Twelve digits shown suit 1.5 as well, not 123456.7, whose 15th digit is the 9th.
    std::vector<std::string> texts{"590.370000000000000000", "1.500000000000000000",
                                   "123456.700000000000000000"};
    // 15 significant digits, 1 to 14 of them after the point and 0 to 15 zeros after
    // those: 223 formats of its own, and the built-in "0.00".
    const std::string digits = "123456789012345";
    for (std::size_t shown = 1; shown <= 14; ++shown)
        for (std::size_t zeros = 0; zeros <= 15; ++zeros)
            texts.push_back(digits.substr(0, 15 - shown) + "." + digits.substr(15 - shown) +
                            std::string(zeros, '0'));
    long row = 0;
    for (const std::string& text : texts)
        sheet.setCell(++row, 1, text);
    const std::vector<std::tuple<const char*, CellKind, const char*>> afterwards{
        {"100000007919", CellKind::Number, "100000007919"},
        {"1234.50", CellKind::General, "1234.50"},
        {"42", CellKind::Number, "42"},
        {"-1.25e+300", CellKind::Float, "-1.25E+300"},
        {"2024-02-29", CellKind::DateTime, "2024-02-29"},
        {"1.5e+300", CellKind::Float, nullptr},
        {"0.0000001", CellKind::Number, nullptr}};
    for (const auto& [text, kind, shown] : afterwards)
        sheet.setCell(++row, 2, text, kind);
    excel.setVisible(true);

    const QJsonArray rows = readWorkbook(path)[0].toObject()["rows"].toArray();
    const QJsonArray shown = kestrove::test::shownByExcel(path)[0].toObject()["rows"].toArray();
    long texts1 = 0;
    for (std::size_t r = 0; r < texts.size(); ++r) {
        const auto i = static_cast<qsizetype>(r);
        if (rows[i].toArray()[0].isString())
            ++texts1;
        else
            EXPECT_EQ(shown[i].toArray()[0].toObject()["number"].toString().toStdString(),
                      texts[r]);
    }
    for (std::size_t r = 0; r < afterwards.size(); ++r) {
        const char* expected = std::get<2>(afterwards[r]);
        const QJsonValue cell = shown[static_cast<qsizetype>(texts.size() + r)].toArray()[1];
        if (!expected) {
            EXPECT_EQ(cell.toString().toStdString(), std::get<0>(afterwards[r])) << r;
        } else if (std::get<1>(afterwards[r]) != CellKind::DateTime) {
            EXPECT_EQ(cell.toObject()["number"].toString().toStdString(), expected) << r;
        }
    }
    EXPECT_EQ(rows[static_cast<qsizetype>(texts.size() + 4)].toArray()[1].toObject()["format"],
              QJsonValue("yyyy-mm-dd"));
    EXPECT_GT(texts1, 0);
    const auto full = static_cast<std::size_t>(xml::TextCause::FormatsFull);
    ASSERT_EQ(sheet.numbersAsText().size(), 2u);
    EXPECT_EQ(sheet.numbersAsText()[0][full], texts1);
    EXPECT_EQ(sheet.numbersAsText()[1], (TextCounts{0, 0, 2}));
    // The styles of A1 to A3, and the count of formats of the workbook's own: 150, and
    // the nine of dates and times.
    QString styles;
    ASSERT_EQ(run(QStringLiteral("/usr/bin/python3"),
                  {QStringLiteral("-c"),
                   QStringLiteral("import re, sys, zipfile\n"
                                  "book = zipfile.ZipFile(sys.argv[1])\n"
                                  "sheet = book.read('xl/worksheets/sheet1.xml').decode()\n"
                                  "print(*[re.search(r'<c r=\"A%d\"(?: s=\"(\\d+)\")?' % i, sheet)"
                                  ".group(1) for i in (1, 2, 3)],"
                                  " re.search(r'<numFmts count=\"(\\d+)\"',"
                                  " book.read('xl/styles.xml').decode()).group(1))"),
                   path},
                  &styles),
              0)
        << styles.toStdString();
    const QStringList found = styles.trimmed().split(QLatin1Char(' '));
    ASSERT_EQ(found.size(), 4) << styles.toStdString();
    EXPECT_EQ(found[0], found[1]);
    EXPECT_NE(found[0], found[2]);
    EXPECT_EQ(found[3], QStringLiteral("159"));
}

// A program ended by a signal while the file is being written leaves no file behind, also
// where the workbook is written under a hidden name beside its own (no unnamed files).
TEST(WorkbookFileDeathTest, EndingDuringTheWriteLeavesNoFile) {
    const QString folder =
        QString::fromStdString(::testing::TempDir()) +
        QStringLiteral("kestrove-unfinished-save-%1").arg(kestrove::test::processId());
    QDir(folder).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(folder));
    const std::string path = (folder + QStringLiteral("/out.xlsx")).toStdString();
    EXPECT_EXIT(
        {
            useHiddenNamesOnly(true);
            std::signal(SIGTERM, [](int) {
                discardUnfinishedFiles();
                std::_Exit(0);
            });
            Application excel(path, {});
            Worksheet& sheet = excel.addWorkbook().activeSheet();
            for (long row = 1; row <= 100000; ++row)
                for (int column = 1; column <= 3; ++column)
                    sheet.setCell(row, column, "text of some length " + std::to_string(row));
            excel.setVisible(true, [&] {
                // Ended once the file is being written under its hidden name.
                if (QDir(folder)
                        .entryList({QStringLiteral(".out.xlsx.*")}, QDir::Files | QDir::Hidden)
                        .size() == 1)
                    std::raise(SIGTERM);
            });
            std::exit(3);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty());
    QDir(folder).removeRecursively();
}

// The hidden name removed at the save's first turn, as a program ending does, mostly before
// the writer has begun (ten saves, so that some are): the writer never makes the file
// anew, and the save fails.
TEST(WorkbookFile, AFileDiscardedAsItsWriteBeginsIsNotMadeAnew) {
    QTemporaryDir folder;
    useHiddenNamesOnly(true);
    for (int save = 0; save < 10; ++save) {
        Application excel(folder.filePath(QStringLiteral("out.xlsx")).toStdString(), {});
        excel.addWorkbook().activeSheet().setCell(1, 1, "a");
        bool discarded = false;
        EXPECT_THROW(excel.setVisible(true,
                                      [&] {
                                          if (!std::exchange(discarded, true))
                                              discardUnfinishedFiles();
                                      }),
                     WorkbookError);
        EXPECT_TRUE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden).isEmpty()) << save;
    }
    useHiddenNamesOnly(false);
}

// A file the package cannot be written into (open for reading only) is a failure that
// names the workbook.
TEST(WorkbookFile, APackageThatCannotBeWrittenIsAFailure) {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    try {
        ZipPackage package(fd, "shown.xlsx");
        ADD_FAILURE() << "written into a file open for reading";
    } catch (const WorkbookError& error) {
        EXPECT_NE(std::string(error.what()).find("The workbook shown.xlsx could not be created: "),
                  std::string::npos)
            << error.what();
    }
    ::close(fd);
}

// Texts that spreadsheets, XML or a locale tend to change come back exactly as written.
TEST(WorkbookFile, TextsAndNumbersReadBackAsWrittenWhateverTheLocale) {
    const char* const previous = std::setlocale(LC_ALL, nullptr);
    const std::string restore = previous ? previous : "C";
    // A decimal-comma locale, where the machine has one (the install script makes it).
    const bool german = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    const std::vector<std::pair<std::string, std::string>> texts{
        {"_x0041_", "_x0041_"},
        {"a_x005F_b _X00e9_ __x0041__ _x", "a_x005F_b _X00e9_ __x0041__ _x"},
        {"\x01\x02\x1F\x7F", "\x01\x02\x1F\x7F"},
        {"U+FFFF \xEF\xBF\xBF and U+FFFE \xEF\xBF\xBE",
         "U+FFFF \xEF\xBF\xBF and U+FFFE \xEF\xBF\xBE"},
        {"cr\rlf\nboth\r\nend", "cr\rlf\nboth\r\nend"},
        {"& < > \" ' &amp;", "& < > \" ' &amp;"},
        {"  leading", "  leading"},
        {"trailing  ", "trailing  "},
        {"\ttab first", "\ttab first"},
        {"😀 emoji 🇩🇪", "😀 emoji 🇩🇪"},
        {"東京 한국어 ﬁ", "東京 한국어 ﬁ"},
        // A lone surrogate is not UTF-8 at all: the cell shows replacement characters
        // rather than breaking the file.
        {"\xED\xA0\xBD!", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD!"},
    };
    QTemporaryDir folder;
    const std::string path = folder.filePath(QStringLiteral("texts.xlsx")).toStdString();
    Application excel(path, {});
    Worksheet& sheet = excel.addWorkbook().activeSheet();
    long row = 0;
    for (const auto& [text, shown] : texts)
        sheet.setCell(++row, 1, text);
    sheet.setCell(++row, 1, "0.25");
    sheet.setCell(row, 2, "-1234.5");
    sheet.autofitColumns();
    excel.setVisible(true);
    std::setlocale(LC_ALL, restore.c_str());

    const QJsonArray rows =
        readWorkbook(QString::fromStdString(path))[0].toObject()["rows"].toArray();
    ASSERT_EQ(rows.size(), static_cast<qsizetype>(texts.size() + 1));
    for (std::size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(rows[static_cast<qsizetype>(i)].toArray()[0].toString().toStdString(),
                  texts[i].second)
            << "row " << i + 1;
    EXPECT_EQ(rows.last().toArray()[0].toDouble(), 0.25);
    EXPECT_EQ(rows.last().toArray()[1].toDouble(), -1234.5);
    if (!german)
        KESTROVE_SKIP("no de_DE.UTF-8 locale here; the texts were checked under " << restore);
}

// The same sheets written by libxlsxwriter, whose output is checked against Excel's own
// files, have the same cells, types, resolved styles (number formats, the bold header),
// widths, dimensions, frozen panes, selections, filters and filter names.
TEST(WorkbookFile, SheetPartsMatchLibxlsxwriter) {
    QTemporaryDir folder;
    const std::string ours = folder.filePath(QStringLiteral("ours.xlsx")).toStdString();
    const std::string theirs = folder.filePath(QStringLiteral("theirs.xlsx")).toStdString();
    // Column 4 holds dates and times as the server writes them.
    const std::vector<std::vector<std::string>> first{
        {"id", "name", "amount", "when", "2024"},
        {"1", "Grüße & <tags>", "123456789012345", "2024-02-29 13:45:59.123", "1.000"},
        {"2", " padded ", "-3.50", "1999-12-31", "0.0000001"},
        {"3", "", "007", "23:59:59", "590.370000000000000000"},
        {"4", "two\nlines", "", "2024-02-29 13:45:59.123456+05:45", ""},
        {"5", "", "", "12:00:00-03", ""}};
    const std::vector<std::vector<std::string>> second{
        {"code"}, {"abc"}, {"a longer text"}, {"ctrl \x01 char"}};

    Application excel(ours, {});
    Workbook& book = excel.addWorkbook();
    Worksheet& a = book.activeSheet();
    a.setName("First");
    Worksheet& b = book.add();
    b.setName("O'Brien & Co");
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    lxw_workbook* reference = workbook_new_opt(theirs.c_str(), &options);
    lxw_worksheet* referenceB = workbook_add_worksheet(reference, "O'Brien & Co");
    lxw_worksheet* referenceA = workbook_add_worksheet(reference, "First");
    lxw_format* bold = workbook_add_format(reference);
    format_set_bold(bold);
    lxw_format* wrapped = workbook_add_format(reference);
    format_set_text_wrap(wrapped);
    std::map<std::string, lxw_format*> formats;
    const auto fill = [&](Worksheet& sheet, lxw_worksheet* other, const auto& rows) {
        sheet.setHeaderRow();
        worksheet_freeze_panes(other, 1, 0);
        for (std::size_t r = 0; r < rows.size(); ++r)
            for (std::size_t c = 0; c < rows[r].size(); ++c) {
                const std::string& text = rows[r][c];
                const auto row = static_cast<lxw_row_t>(r);
                const auto column = static_cast<lxw_col_t>(c);
                const bool dates = r > 0 && c == 3;
                sheet.setCell(static_cast<long>(r + 1), static_cast<int>(c + 1), text,
                              dates ? CellKind::DateTime : CellKind::General);
                lxw_format* format = r == 0 ? bold : nullptr;
                if (text.find('\n') != std::string::npos)
                    format = wrapped;
                if (const auto cell = dates ? xml::dateTimeCell(text) : std::nullopt) {
                    const std::string code = xml::dateTimeFormatCode(cell->style, cell->offset);
                    if (!formats.count(code)) {
                        formats[code] = workbook_add_format(reference);
                        format_set_num_format(formats[code], code.c_str());
                    }
                    worksheet_write_number(other, row, column, cell->serial, formats[code]);
                } else if (const auto decimal = r > 0 ? xml::decimalFormat(text) : std::nullopt) {
                    const std::string code = xml::decimalFormatCode(*decimal);
                    if (!formats.count(code)) {
                        formats[code] = workbook_add_format(reference);
                        format_set_num_format(formats[code], code.c_str());
                    }
                    worksheet_write_number(other, row, column, std::stod(text), formats[code]);
                } else if (!text.empty()) {
                    worksheet_write_string(other, row, column, text.c_str(), format);
                }
            }
        worksheet_autofilter(other, 0, 0, static_cast<lxw_row_t>(rows.size() - 1),
                             static_cast<lxw_col_t>(rows[0].size() - 1));
    };
    // Widths by the rule, for a font whose digits are one character wide: the widest
    // value and one character more, where that passes the default of 8.43; on the
    // autofitted sheet the widest text, a header with two more for the filter button.
    worksheet_set_column(referenceA, 2, 2, 16, nullptr); // "123456789012345"
    worksheet_set_column(referenceA, 3, 3, 30, nullptr); // "2024-02-29 13:45:59.123+05:45"
    worksheet_set_column(referenceA, 4, 4, 23, nullptr); // "590.370000000000000000"
    worksheet_set_column(referenceB, 0, 0, 14, nullptr); // "a longer text"
    fill(a, referenceA, first);
    fill(b, referenceB, second);
    b.autofitColumns();
    worksheet_activate(referenceB);
    ASSERT_EQ(workbook_close(reference), LXW_NO_ERROR);
    excel.setVisible(true);

    QString differences;
    EXPECT_EQ(run(QStringLiteral("/usr/bin/python3"),
                  {scriptPath("compare_sheets.py"), QString::fromStdString(ours),
                   QString::fromStdString(theirs)},
                  &differences),
              0)
        << differences.toStdString();
}

// A third reader, LibreOffice, shows the sheet names and awkward texts as written: a name
// holding "_xHHHH_" is not read as an escape (nor taken for the name "a").
TEST(WorkbookFile, LibreOfficeReadsTheSameNamesAndTexts) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("book.xlsx"));
    Application excel(path.toStdString(), {});
    Workbook& book = excel.addWorkbook();
    Worksheet& first = book.activeSheet();
    first.setName("_x0041_");
    first.setHeaderRow();
    first.setCell(1, 1, "name");
    first.setCell(2, 1, "_x0041_ and _x005F_");
    first.setCell(3, 1, "  padded  ");
    Worksheet& second = book.add();
    second.setName("a");
    second.setCell(1, 1, "Grüße, 東京 & <b>");
    excel.setVisible(true);
    const auto sheets = kestrove::test::sheetsByLibreOffice(path);
    ASSERT_EQ(sheets.size(), 2u);
    EXPECT_EQ(sheets[0], std::pair(QStringLiteral("a"), QStringLiteral("\"Grüße, 東京 & <b>\"\n")));
    EXPECT_EQ(sheets[1],
              std::pair(QStringLiteral("_x0041_"),
                        QStringLiteral("\"name\"\n\"_x0041_ and _x005F_\"\n\"  padded  \"\n")));
}

// A text of several lines wraps, a header's too, so that LibreOffice prints its lines as
// lines; a text of one line never wraps, and the rows' heights are left to the
// spreadsheet. (LibreOffice's printing from the command line keeps the default height of
// such rows, two lines of text: the texts here have two.)
TEST(WorkbookFile, TextsOfSeveralLinesShowAsLines) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("lines.xlsx"));
    {
        Application excel(path.toStdString(), {});
        Worksheet& sheet = excel.addWorkbook().activeSheet();
        sheet.setHeaderRow();
        sheet.setCell(1, 1, "postal\naddress");
        sheet.setCell(1, 2, "note");
        sheet.setCell(2, 1, "Drumlane Ltd\n12 Harbour Road");
        sheet.setCell(2, 2, "one line only");
        sheet.setCell(3, 1, "\nafter an empty line");
        sheet.autofitColumns();
        excel.setVisible(true);
    }
    const QJsonObject sheet = kestrove::test::readWorkbook(path)[0].toObject();
    EXPECT_EQ(sheet["wrapped"].toArray(), QJsonArray({"A1", "A2", "A3"}));
    EXPECT_EQ(sheet["bold"].toArray(), QJsonArray({true, true}));
    QString heights;
    EXPECT_EQ(run(QStringLiteral("/usr/bin/python3"),
                  {QStringLiteral("-c"),
                   QStringLiteral("import sys, zipfile; print(b' ht=' in zipfile.ZipFile("
                                  "sys.argv[1]).read('xl/worksheets/sheet1.xml'))"),
                   path},
                  &heights),
              0);
    EXPECT_EQ(heights.trimmed(), QStringLiteral("False"));
    QStringList printed;
    for (const QString& line : kestrove::test::shownByLibreOffice(path).split(QLatin1Char('\n')))
        printed << line.trimmed();
    for (const char* line :
         {"postal", "address", "Drumlane Ltd", "12 Harbour Road", "after an empty line"})
        EXPECT_TRUE(
            printed
                .filter(QRegularExpression(QStringLiteral("^") + QRegularExpression::escape(line) +
                                           QStringLiteral("( |$)")))
                .size() == 1)
            << line << "\n"
            << printed.join(QLatin1Char('\n')).toStdString();
}

// A second, independent reader: Gnumeric's converter shows the same texts.
TEST(WorkbookFile, GnumericReadsTheSameTexts) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("book.xlsx"));
    Application excel(path.toStdString(), {});
    Worksheet& sheet = excel.addWorkbook().activeSheet();
    sheet.setName("Data");
    sheet.setCell(1, 1, "name");
    sheet.setCell(1, 2, "value");
    sheet.setCell(2, 1, "Grüße, 東京 & <b>");
    sheet.setCell(2, 2, "0.25");
    sheet.setCell(3, 1, "  padded  ");
    sheet.setCell(3, 2, "007");
    excel.setVisible(true);
    const QString csv = folder.filePath(QStringLiteral("book.csv"));
    QString output;
    ASSERT_EQ(run(QStringLiteral("ssconvert"), {path, csv}, &output), 0) << output.toStdString();
    QFile file(csv);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(file.readAll()),
              QStringLiteral("name,value\n\"Grüße, 東京 & <b>\",0.25\n\"  padded  \",007\n"));
}

// A temporary file that cannot be made or written is a failure, reported by the next
// cell and by the save; no workbook is left short of rows.
TEST(WorkbookFile, AFailingTemporaryFolderIsReportedAndLeavesNoFile) {
    QTemporaryDir folder;
    const kestrove::test::TinyFileSystem tiny(QStringLiteral("64k"));
    const QByteArray previous = qgetenv("TMPDIR");
    for (const QString& temporary : {folder.filePath(QStringLiteral("missing")), tiny.path()}) {
        if (temporary == tiny.path() && !tiny.mounted())
            continue;
        qputenv("TMPDIR", temporary.toUtf8());
        const std::string path = folder.filePath(QStringLiteral("out.xlsx")).toStdString();
        std::string failure;
        {
            Application excel(path, {});
            Worksheet& sheet = excel.addWorkbook().activeSheet();
            try {
                for (long row = 1; row <= 200000; ++row)
                    sheet.setCell(row, 1,
                                  "row " + std::to_string(row) + " of some text that takes room");
            } catch (const WorkbookError& error) {
                failure = error.what();
            }
            EXPECT_THROW(excel.setVisible(true), WorkbookError) << temporary.toStdString();
        }
        EXPECT_NE(failure.find(temporary.toStdString()), std::string::npos) << failure;
        EXPECT_FALSE(QFile::exists(QString::fromStdString(path)));
    }
    qputenv("TMPDIR", previous);
    if (!tiny.mounted())
        KESTROVE_SKIP(
            "no tmpfs could be mounted here (not root?): only the missing folder was tried");
}

// Slow (a sheet part of more than 4 GiB): set KESTROVE_SKIP_SLOW_TESTS=1 to skip it
// locally. Its sizes need the zip's 64-bit fields and its CRC joins pieces past 4 GiB; an
// independent reader finds the part whole, up to its last cell.
TEST(WorkbookFile, ASheetPartPast4GiBIsWhole) {
    if (std::getenv("KESTROVE_SKIP_SLOW_TESTS"))
        GTEST_SKIP() << "KESTROVE_SKIP_SLOW_TESTS is set";
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("huge.xlsx"));
    constexpr long Rows = 132000; // of 32,767 characters: about 4.33 GB of sheet XML
    {
        Application excel(path.toStdString(), {});
        Worksheet& sheet = excel.addWorkbook().activeSheet();
        const std::string text(MaxCellChars, 'x');
        for (long row = 1; row <= Rows; ++row)
            sheet.setCell(row, 1, text);
        sheet.setCell(Rows, 2, "last");
        excel.setVisible(true);
    }
    QString output;
    EXPECT_EQ(run(QStringLiteral("/usr/bin/python3"),
                  {QStringLiteral("-c"), QStringLiteral(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as package:
    part = package.getinfo("xl/worksheets/sheet1.xml")
    print(part.file_size > 2 ** 32, package.testzip())
    tail = b""
    with package.open(part) as stream:
        while chunk := stream.read(1 << 24):
            tail = (tail + chunk)[-100000:]
    print(b'<c r="B132000" t="inlineStr"><is><t>last</t></is></c></row></sheetData>' in tail)
)"),
                   path},
                  &output),
              0)
        << output.toStdString();
    EXPECT_EQ(output.trimmed(), QStringLiteral("True None\nTrue"));
}
