#include "export/Import.h"
#include "catalogue/Form2FinishSteps.h"
#include "export/reading/ReadingTransaction.h"
#include "support/ImportHost.h"
#include "support/Process.h"
#include "support/System.h"
#include "support/TestBed.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <thread>
#include <tuple>

#include <cmath>

#include <cstdlib>

using namespace kestrove;
using namespace kestrove::test;

namespace {

QJsonObject sheetAt(const QJsonArray& sheets, int index) {
    return index < sheets.size() ? sheets.at(index).toObject() : QJsonObject();
}

// The cell at a row and column from 0, or an undefined value when there is none.
QJsonValue cell(const QJsonArray& rows, int row, int column) {
    if (row >= rows.size())
        return QJsonValue(QJsonValue::Undefined);
    const QJsonArray cells = rows.at(row).toArray();
    return column < cells.size() ? cells.at(column) : QJsonValue(QJsonValue::Undefined);
}

// The workbook's first sheet as Gnumeric's converter prints it with each cell's own
// format, in a C locale, without the quotes around texts.
QString convertedToCsv(const QString& workbook) {
    const QString csv = workbook + QStringLiteral(".csv");
    runProcess(QStringLiteral("ssconvert"),
               {QStringLiteral("--export-type=Gnumeric_stf:stf_assistant"), QStringLiteral("-O"),
                QStringLiteral("format=preserve separator=,"), workbook, csv},
               {QStringLiteral("LC_ALL=C.UTF-8")});
    QFile file(csv);
    return file.open(QIODevice::ReadOnly)
               ? QString::fromUtf8(file.readAll()).remove(QLatin1Char('"'))
               : QString();
}

// The session's time zone of the connections made while it lives, as the driver (libpq)
// takes it from PGTZ.
class SessionZone {
public:
    explicit SessionZone(const char* zone)
        : m_had(qEnvironmentVariableIsSet("PGTZ")), m_before(qgetenv("PGTZ")) {
        qputenv("PGTZ", zone);
    }
    ~SessionZone() {
        if (m_had)
            qputenv("PGTZ", m_before);
        else
            qunsetenv("PGTZ");
    }
    SessionZone(const SessionZone&) = delete;
    SessionZone& operator=(const SessionZone&) = delete;

private:
    bool m_had;
    QByteArray m_before;
};

// What a spreadsheet shows of a floating-point value the server wrote as `text`: the
// text where it has at most 15 significant digits (an exponent with a capital E), else
// the value rounded to 15 significant digits.
QString shownFloat(const QString& text) {
    const qsizetype e = text.indexOf(QLatin1Char('e'));
    QString digits = e < 0 ? text : text.left(e);
    const qsizetype point = digits.indexOf(QLatin1Char('.'));
    const qsizetype integerDigits = (point < 0 ? digits.size() : point) - digits.startsWith('-');
    digits.remove(QLatin1Char('-')).remove(QLatin1Char('.'));
    const qsizetype first = digits.indexOf(QRegularExpression(QStringLiteral("[1-9]")));
    if (first < 0 || digits.size() - first <= 15)
        return QString(text).replace(QLatin1Char('e'), QLatin1Char('E'));
    const double value = text.toDouble();
    return e >= 0 ? QString::number(value, 'E', 14)
                  : QString::number(value, 'f', static_cast<int>(first + 15 - integerDigits));
}

// Whether SheetJS shows a floating-point value the server wrote as `text` as a spreadsheet
// does (shownFloat), but for two quirks of its own: a one-digit mantissa gets ".0"
// ("1.0E-07", where Excel, LibreOffice and Gnumeric show "1E-07"), and it rounds to 15
// digits a product of doubles (7.714285714285714 × 10^14 is 771428571428571.5), which may
// give one more in the last place.
bool shownBySheetJs(const QJsonValue& shown, const QString& text) {
    const QString got = shown[QStringLiteral("number")].toString();
    const QString expected = shownFloat(text).replace(
        QRegularExpression(QStringLiteral("^(-?\\d)E")), QStringLiteral("\\1.0E"));
    if (got == expected)
        return true;
    const qsizetype point = expected.indexOf(QLatin1Char('.'));
    const int decimals = point < 0 ? 0 : static_cast<int>(expected.size() - point - 1);
    return expected != text && !expected.contains(QLatin1Char('E')) &&
           got.size() == expected.size() &&
           std::abs(got.toDouble() - expected.toDouble()) < 1.5 * std::pow(10.0, -decimals);
}

} // namespace

TEST(Import, CommonColumnTypesAsTextNumbersAndEmptyCells) {
    ImportRun run;
    run.host.tick(QStringLiteral("alltypes"));
    run.host.tick(QStringLiteral("integer_limits"));
    const QJsonArray sheets = run.finish();
    // Integers of every size keep their digits: those of more than 15 stay text.
    EXPECT_EQ(rowsOf(sheetNamed(sheets, QLatin1String("integer_limits"))),
              QJsonArray({QJsonArray{"s", "i", "b", "o", "d", "x"},
                          QJsonArray{-32768.0, -2147483648.0, "-9223372036854775808", 4294967295.0,
                                     32767.0, 4294967295.0},
                          QJsonArray{32767.0, 2147483647.0, "9223372036854775807", 0.0, {}, 0.0},
                          QJsonArray{0.0, -1.0, 100000000000.0, {}, -1.0, {}}}));
    const QJsonObject sheet = sheetNamed(sheets, QLatin1String("alltypes"));
    const QJsonArray rows = rowsOf(sheet);
    ASSERT_EQ(rows.size(), 4);
    EXPECT_EQ(rows[0].toArray().toVariantList(),
              QVariantList({"i", "big", "num", "flt", "txt", "d", "ts", "b", "u", "j", "arr", "bin",
                            "nothing"}));
    const QVariantList first = rows[1].toArray().toVariantList();
    // Numbers as JSON values: a QVariant would take the text "1" for the number 1.
    EXPECT_EQ(rows[1].toArray()[0], QJsonValue(1.0));
    EXPECT_EQ(rows[1].toArray()[1], QJsonValue("9007199254740993")); // 16 digits: kept as text
    EXPECT_EQ(rows[1].toArray()[2], QJsonValue(1234.5)); // shown as 1234.500 by its format
    EXPECT_EQ(rows[1].toArray()[3], QJsonValue(0.25));
    EXPECT_EQ(first[4], QVariant("Grüße, 東京 and ﬁ"));
    EXPECT_EQ(rows[1].toArray()[5].toObject(),
              QJsonObject({{"shown", "2024-02-29"}, {"format", "yyyy-mm-dd"}}));
    EXPECT_TRUE(
        rows[1].toArray()[6].toObject()["shown"].toString().startsWith("2024-02-29 13:45:00"));
    EXPECT_EQ(rows[1].toArray()[7], QJsonValue(1.0));
    EXPECT_EQ(first[8], QVariant("A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11")); // the driver's form
    EXPECT_EQ(first[9], QVariant("{\"k\": [1, 2]}"));
    EXPECT_EQ(first[10], QVariant("{1,2,3}"));
    EXPECT_EQ(first[11], QVariant("{BINARY DATA}"));
    EXPECT_FALSE(first[12].isValid() && !first[12].isNull());
    const QVariantList second = rows[2].toArray().toVariantList();
    EXPECT_EQ(rows[2].toArray()[0], QJsonValue(-7.0));
    EXPECT_EQ(rows[2].toArray()[2], QJsonValue(-0.5)); // -0.500
    EXPECT_EQ(rows[2].toArray()[3], QJsonValue(-1.5e300));
    EXPECT_EQ(second[4], QVariant("line one\nline two\ttab"));
    // Only the text of several lines wraps, so that its lines show as lines.
    EXPECT_EQ(sheet["wrapped"].toArray(), QJsonArray({"E3"}));
    EXPECT_EQ(second[11], QVariant("{BINARY DATA}"));
    // A record of nulls is a row of empty cells, but binary columns still say so.
    const QJsonArray nulls = rows[3].toArray();
    for (int j = 0; j < nulls.size(); ++j)
        EXPECT_EQ(nulls[j].isNull(), j != 11) << j;
    EXPECT_TRUE(run.boxes.reportedSteps().empty());
}

// Texts that only look like numbers stay texts; every plain number, of a text or a
// numeric column, is a numeric cell that Excel's formatting (as SheetJS applies it) shows
// with the server's very digits. Every finite value of a floating-point column is a
// number too, shown with the server's digits where they are at most 15 significant, else
// rounded to 15; NaN and the infinities stay text, and one notice before "Done." names
// each column that holds them.
TEST(Import, PlainNumbersShowTheServersDigitsAndLookAlikesStayText) {
    ImportRun run;
    run.host.tick(QStringLiteral("lookalikes"));
    const QJsonArray rows = rowsOf(sheetAt(run.finish(), 0));
    QStringList texts;
    for (int r = 1; r < rows.size(); ++r)
        if (!cell(rows, r, 1).isDouble())
            texts << cell(rows, r, 1).toString();
    EXPECT_EQ(texts, QStringList({"007",
                                  "1e5",
                                  "+1",
                                  "1,000",
                                  "12345678901234567890",
                                  "-0",
                                  " 5",
                                  ".5",
                                  "5.",
                                  "1234567890123456",
                                  "-0.0",
                                  "1e-07",
                                  "NaN",
                                  "Infinity",
                                  "1,5",
                                  " 42",
                                  "0012",
                                  "0.000000000000000000001",
                                  "-Infinity",
                                  "1.5e+300",
                                  "-2.5e-05",
                                  "0.14285714285714285",
                                  "12345678901234.567"}));
    // SheetJS, Gnumeric and LibreOffice each show every cell as the server's text.
    const QString book = run.host.opened.back();
    const QJsonArray shown = rowsOf(sheetAt(shownByExcel(book), 0));
    const QString printed = shownByLibreOffice(book);
    const std::vector<std::string> t = queryColumn("SELECT t FROM export.lookalikes ORDER BY n");
    const std::vector<std::string> num =
        queryColumn("SELECT coalesce(num::text, '') FROM export.lookalikes ORDER BY n");
    const std::vector<std::string> floats = queryColumn(
        "SELECT coalesce(f::text, '') || '|' || coalesce(r::text, '') FROM export.lookalikes "
        "ORDER BY n");
    ASSERT_EQ(shown.size(), static_cast<qsizetype>(t.size() + 1));
    QStringList csv{QStringLiteral("n,t,num,f,r")};
    for (std::size_t r = 0; r < t.size(); ++r) {
        const int row = static_cast<int>(r + 1);
        const QJsonValue text = QString::fromStdString(t[r]);
        const auto asNumber = [](const QJsonValue& shownText) {
            return QJsonValue(QJsonObject{{"number", shownText}});
        };
        EXPECT_EQ(cell(shown, row, 1), cell(rows, row, 1).isDouble() ? asNumber(text) : text)
            << t[r];
        EXPECT_EQ(cell(shown, row, 2), num[r].empty() ? QJsonValue() : asNumber(num[r].c_str()))
            << t[r];
        EXPECT_TRUE(num[r].empty() || printed.contains(QString::fromStdString(num[r]))) << num[r];
        QString line = QString::number(row) + QLatin1Char(',') + text.toString() +
                       QLatin1Char(',') + QString::fromStdString(num[r]);
        const QStringList fr = QString::fromStdString(floats[r]).split(QLatin1Char('|'));
        for (int c = 0; c < 2; ++c) {
            const QString& value = fr[c];
            const bool finite = !value.isEmpty() && !value.endsWith(QLatin1String("Infinity")) &&
                                value != QLatin1String("NaN");
            EXPECT_EQ(cell(rows, row, 3 + c).isDouble(), finite) << t[r] << " column " << 3 + c;
            if (finite)
                EXPECT_TRUE(shownBySheetJs(cell(shown, row, 3 + c), value))
                    << value.toStdString() << " shown as "
                    << cell(shown, row, 3 + c)[QStringLiteral("number")].toString().toStdString();
            else
                EXPECT_EQ(cell(shown, row, 3 + c), value.isEmpty() ? QJsonValue() : value)
                    << t[r] << " column " << 3 + c;
            EXPECT_TRUE(!finite || printed.contains(shownFloat(value))) << value.toStdString();
            line += QLatin1Char(',') + (finite ? shownFloat(value) : value);
        }
        csv << line;
    }
    // Gnumeric writes the minus of a formatted number as U+2212.
    EXPECT_EQ(convertedToCsv(book).replace(QChar(0x2212), QLatin1Char('-')).toStdString(),
              (csv.join(QLatin1Char('\n')) + QLatin1Char('\n')).toStdString());
    ASSERT_EQ(run.boxes.boxes.size(), 2u);
    EXPECT_EQ(run.boxes.boxes[0].text.toStdString(),
              "double precision column `lookalikes.f`: 3 values are NaN or infinite, which no "
              "spreadsheet number is, and stay text; a sum over the column leaves them out."
              "\r\n\r\nreal column `lookalikes.r`: 3 values are NaN or infinite, which no "
              "spreadsheet number is, and stay text; a sum over the column leaves them out.");
    EXPECT_EQ(run.boxes.boxes[0].style, 0);
    EXPECT_EQ(run.boxes.boxes[0].title, QStringLiteral("Kestrove"));
    EXPECT_EQ(run.doneBoxes(), 1);
}

// A ledger's sums, as LibreOffice computes them from the sheet, are the server's sum() of
// every number column; SheetJS shows each cell as the server's text, or a value of more
// than 15 significant digits rounded to 15; and no number shows as '#' or in scientific
// notation on a sheet other than the autofitted one.
TEST(Import, LedgerSumsAreTheServersAndEveryNumberShowsItsText) {
    ImportRun run;
    run.host.tick(QStringLiteral("ledger"));
    run.host.tick(QStringLiteral("t_first"));
    const QJsonArray sheets = run.finish();
    ASSERT_EQ(tabNames(sheets), QStringList({"t_first", "ledger"}));
    const QString book = run.host.opened.back();
    const QStringList columns{"amount", "rate", "ref", "qty", "weight", "price", "ratio"};
    const QStringList sums = sumsByLibreOffice(book, QStringLiteral("ledger"), 1001, 8);
    ASSERT_EQ(sums.size(), 8);
    for (int c = 0; c < columns.size(); ++c) {
        const std::string column = columns[c].toStdString();
        const double computed = sums[c + 1].toDouble();
        if (column == "weight" || column == "price" || column == "ratio") {
            // The spreadsheet adds in double precision, as the server does for float8 (its
            // own sum of a real column adds in single precision); a real's text is its value
            // to a real's precision.
            const double server = std::stod(
                queryColumn("SELECT sum(" + column + "::float8) FROM export.ledger").front());
            EXPECT_NEAR(computed, server, std::abs(server) * (column == "weight" ? 1e-7 : 1e-9))
                << column;
        } else {
            const QString server = QString::fromStdString(
                queryColumn("SELECT sum(" + column + ") FROM export.ledger").front());
            const qsizetype point = server.indexOf(QLatin1Char('.'));
            const int scale = point < 0 ? 0 : static_cast<int>(server.size() - point - 1);
            EXPECT_EQ(QString::number(computed, 'f', scale).toStdString(), server.toStdString())
                << column;
        }
    }
    const QJsonArray shown = rowsOf(sheetNamed(shownByExcel(book), QStringLiteral("ledger")));
    const std::vector<std::string> server =
        queryColumn("SELECT concat_ws('|', amount, rate, ref, qty, weight, price, ratio) FROM "
                    "export.ledger ORDER BY id");
    ASSERT_EQ(shown.size(), static_cast<qsizetype>(server.size() + 1));
    const QString printed = shownByLibreOffice(book);
    int trailingZeros = 0;
    for (std::size_t r = 0; r < server.size(); ++r) {
        const int row = static_cast<int>(r + 1);
        QStringList line;
        for (int c = 1; c < columns.size(); ++c)
            line << cell(shown, row, c).toObject().value(QStringLiteral("number")).toString();
        QStringList expected = QString::fromStdString(server[r]).split(QLatin1Char('|'));
        const QString ratio = expected.takeLast();
        EXPECT_EQ(line.join(QLatin1Char('|')).toStdString(),
                  expected.join(QLatin1Char('|')).toStdString())
            << "row " << r + 2;
        // The ratio of 15 significant digits or rounded to 15, as LibreOffice prints it too.
        EXPECT_TRUE(shownBySheetJs(cell(shown, row, columns.size()), ratio))
            << ratio.toStdString() << " shown as "
            << cell(shown, row, columns.size())[QStringLiteral("number")].toString().toStdString();
        EXPECT_TRUE(printed.contains(QRegularExpression(
            QStringLiteral("(^|\\s)%1(\\s|$)").arg(QRegularExpression::escape(shownFloat(ratio))))))
            << shownFloat(ratio).toStdString();
        trailingZeros += line[0].endsWith(QLatin1Char('0'));
    }
    EXPECT_GT(trailingZeros, 50);
    EXPECT_FALSE(printed.contains(QLatin1Char('#')) || printed.contains(QStringLiteral("E+")));
}

TEST(Import, TabsInReverseOrderOnlyTheLastAutofittedWithProgressAndDone) {
    ImportRun run;
    run.host.list.add(QStringLiteral("unticked"), QStringLiteral("export"));
    run.host.tick(QStringLiteral("t_first"));
    run.host.tick(QStringLiteral("t_second"));
    run.host.tick(QStringLiteral("t_third"));
    run.host.state = WindowMinimised;
    const QJsonArray sheets = run.finish();
    EXPECT_EQ(tabNames(sheets), QStringList({"t_third", "t_second", "t_first"}));
    EXPECT_FALSE(sheetNamed(sheets, "t_third")["widths"].toObject().isEmpty());
    EXPECT_TRUE(sheetNamed(sheets, "t_second")["widths"].toObject().isEmpty());
    EXPECT_TRUE(sheetNamed(sheets, "t_first")["widths"].toObject().isEmpty());
    EXPECT_EQ(cell(rowsOf(sheetNamed(sheets, "t_first")), 1, 0).toString(), "first");

    EXPECT_EQ(run.host.progress, (std::vector<double>{50, 75, 100, 0}));
    EXPECT_EQ(run.host.statusTexts.front(), QStringLiteral("Processing: t_first"));
    EXPECT_NE(std::find(run.host.statusTexts.begin(), run.host.statusTexts.end(),
                        QStringLiteral("Processing: t_third, row 1 from 1, field 2 from 2...")),
              run.host.statusTexts.end());
    EXPECT_EQ(run.host.statusTexts.back(), QStringLiteral("Progress Bar"));
    EXPECT_EQ(run.host.pointer, PointerDefault);
    EXPECT_EQ(run.host.state, WindowNormal);
    EXPECT_EQ(run.host.opened.size(), 1u);
    EXPECT_EQ(run.doneBoxes(), 1);
    EXPECT_EQ(run.boxes.boxes.size(), 1u);
}

TEST(Import, SheetNamesFromAwkwardTableNames) {
    ImportRun run;
    for (const char* table : {"a_very_long_table_name_for_sheets_number_one",
                              "a_very_long_table_name_for_sheets_number_two", "[archive] 2020",
                              "Mixed", "mixed", "[[]]"})
        run.host.tick(QString::fromUtf8(table));
    const QJsonArray sheets = run.finish();
    const QStringList names = tabNames(sheets);
    EXPECT_TRUE(names.contains("a_very_long_table_name_for_she"));
    EXPECT_TRUE(names.contains("a_very_long_table_name_for_sh1"));
    EXPECT_EQ(cell(rowsOf(sheetNamed(sheets, "a_very_long_table_name_for_sh1")), 1, 0), "two");
    EXPECT_EQ(cell(rowsOf(sheetNamed(sheets, "archive 2020")), 1, 0), "archive");
    // "mixed" and "[[]]" are refused; their data stays in sheets with the made-up names.
    EXPECT_EQ(run.boxes.reportedSteps(), (std::vector<int>{164, 164}));
    EXPECT_EQ(names.filter(QRegularExpression("^Sheet\\d+$")).size(), 2);
    EXPECT_EQ(cell(rowsOf(sheetAt(sheets, 1)), 1, 0), "lower");
    EXPECT_EQ(cell(rowsOf(sheetAt(sheets, 0)), 1, 0), "brackets");
}

// Each entry names its own schema: two tables called twin export their own rows.
TEST(Import, SameNameTablesInTwoSchemasExportTheirOwnData) {
    ImportRun run;
    run.host.tick(QStringLiteral("twin"), QStringLiteral("public"));
    run.host.tick(QStringLiteral("twin"), QStringLiteral("other"));
    const QJsonArray sheets = run.finish();
    ASSERT_EQ(sheets.size(), 2);
    EXPECT_EQ(cell(rowsOf(sheetAt(sheets, 0)), 1, 0), "other");
    EXPECT_EQ(cell(rowsOf(sheetAt(sheets, 1)), 1, 0), "public");
    EXPECT_EQ(run.boxes.reportedSteps(), (std::vector<int>{164}));
}

// Names reach the server only as quoted identifiers or bound parameters, also for a role
// whose string literals take backslash escapes: each table gives its own rows, and
// nothing else runs.
TEST(Import, CraftedTableNamesAreReadSafely) {
    const std::vector<std::pair<QString, QString>> tables{
        {"x\";DROP TABLE canary;--", "crafted"},
        {"x\\", "backslash"},
        {"x\\'", "backslash quote"},
        {"q\\'; DROP TABLE canary;--", "crafted literal"},
        {"q'; DROP TABLE canary;--", "crafted quote"},
        {"canary", "alive"}};
    for (const char* role : {"kestrove_test", "legacy_strings"}) {
        ImportRun run;
        run.host.settings = testBedSettings();
        if (role == std::string("legacy_strings")) {
            run.host.settings->user = role;
            run.host.settings->password = "Legacy-1";
        }
        for (const auto& table : tables)
            run.host.tick(table.first);
        const QJsonArray sheets = run.finish();
        ASSERT_EQ(sheets.size(), static_cast<qsizetype>(tables.size())) << role;
        // Tabs run in the reverse of the list's order.
        for (std::size_t k = 0; k < tables.size(); ++k)
            EXPECT_EQ(cell(rowsOf(sheetAt(sheets, static_cast<int>(tables.size() - 1 - k))), 1, 0),
                      tables[k].second)
                << role << " " << tables[k].first.toStdString();
        EXPECT_EQ(rowsOf(sheetAt(sheets, 1))[0], QJsonArray({"Mixed \"Case\"", "d", "b"})) << role;
        EXPECT_EQ(rowsOf(sheetAt(sheets, 1))[1].toArray()[2], "{BINARY DATA}") << role;
        // Only the sheet names with a backslash are refused.
        EXPECT_EQ(run.boxes.reportedSteps(), (std::vector<int>{164, 164, 164})) << role;
    }
}

// Domains are read by their base type, domains of domains too: dates as the server
// writes them, binary columns not fetched at all.
TEST(Import, DomainsAreReadByTheirBaseType) {
    ImportRun run;
    run.host.tick(QStringLiteral("domains"));
    // A query's result columns too.
    run.host.tickQuery(QStringLiteral("query"), QStringLiteral("select * from export.domains"));
    const QJsonArray sheets = run.finish();
    for (const char* sheet : {"domains", "query"})
        EXPECT_EQ(
            rowsOf(sheetNamed(sheets, QLatin1String(sheet))),
            QJsonArray({QJsonArray{"d", "ts", "bin", "note"},
                        QJsonArray{"infinity", "-infinity", "{BINARY DATA}", "eight megabytes"},
                        QJsonArray{"0044-03-15 BC", "0044-03-15 12:00:00+00 BC", "{BINARY DATA}",
                                   "before Christ"}}))
            << sheet;
    EXPECT_TRUE(run.boxes.reportedSteps().empty());
    const std::vector<std::string> asked = queryColumn(
        "SELECT query FROM pg_stat_statements WHERE query LIKE '%FROM \"export\".\"domains\"%' "
        "AND query LIKE 'DECLARE%'");
    ASSERT_FALSE(asked.empty());
    // The binary column is asked for as a constant (shown as $n where the server
    // normalises the text), and named only as the label of one.
    for (std::string statement : asked) {
        EXPECT_NE(statement.find("::pg_catalog.bytea"), std::string::npos) << statement;
        const std::string label = "::pg_catalog.bytea AS \"bin\"";
        if (const std::size_t at = statement.find(label); at != std::string::npos)
            statement.erase(at, label.size());
        EXPECT_EQ(statement.find("\"bin\""), std::string::npos) << statement;
    }
}

// A table of many blocks is read in ranges of them, each through a cursor of its own, on
// several connections where there are cores: its rows come whole and in block order,
// whatever their size. With a range's text aimed at 64 KB, the table takes many ranges, of
// fewer blocks in the second half, where every fifth text is 28 KB.
TEST(Import, ATableOfManyBlocksComesWholeInBlockOrder) {
    executeSql(
        "CREATE TABLE export.ranged AS SELECT g AS id, CASE WHEN g > 10000 AND g % 5 = 0 THEN "
        "repeat(md5(g::text), 900) ELSE md5(g::text) END AS t "
        "FROM generate_series(1, 20000) AS g");
    struct Restored {
        ~Restored() {
            readingLimits().rangeTextBytes = ReadingLimits{}.rangeTextBytes;
            executeSql("DROP TABLE export.ranged");
        }
    } restored;
    readingLimits().rangeTextBytes = 64 << 10;
    ImportRun run;
    run.host.tick(QStringLiteral("ranged"));
    const QJsonArray rows = rowsOf(sheetAt(run.finish(), 0));
    EXPECT_TRUE(run.boxes.reportedSteps().empty());
    const std::vector<std::string> texts = queryColumn("SELECT t FROM export.ranged ORDER BY ctid");
    ASSERT_EQ(rows.size(), 20001);
    for (qsizetype r = 1; r < rows.size(); ++r) {
        ASSERT_EQ(cell(rows, static_cast<int>(r), 0), QJsonValue(static_cast<double>(r)));
        ASSERT_EQ(cell(rows, static_cast<int>(r), 1).toString().toStdString(), texts[r - 1]) << r;
    }
    const auto asked = [](const char* kind) {
        return queryColumn("SELECT calls FROM pg_stat_statements WHERE query LIKE "
                           "'%\"export\".\"ranged\"%' AND query LIKE '" +
                           std::string(kind) + "'");
    };
    long ranges = 0;
    for (const std::string& calls : asked("DECLARE%ctid%"))
        ranges += std::stol(calls);
    // About 1.4 MB of text in ranges of 64 KB.
    EXPECT_GT(ranges, 10);
    if (std::thread::hardware_concurrency() > 1) {
        EXPECT_FALSE(asked("LOCK%NOWAIT").empty());
    }
}

// The schemas real databases have: inheritance trees give the rows of SELECT * FROM the
// parent, children included; a mostly deleted log table is read in few statements; a view
// whose rows change between its count and its reading is written whole and reported; a
// query runs once.
TEST(Import, EveryRowOfInheritanceTreesEmptiedTablesAndVolatileViews) {
    // A schema of this process's own: the same case runs in another locale beside it.
    const std::string schema = "rows_" + std::to_string(processId());
    std::string sql =
        "CREATE SCHEMA @;"
        "CREATE TABLE @.hyper (id int, note text);"
        "CREATE TABLE @.hyper_a () INHERITS (@.hyper);"
        "CREATE TABLE @.hyper_b () INHERITS (@.hyper);"
        "CREATE TABLE @.hyper_b1 () INHERITS (@.hyper_b);"
        "INSERT INTO @.hyper_a SELECT g, md5(g::text) FROM generate_series(1, 3000) g;"
        "INSERT INTO @.hyper_b SELECT g, 'b' FROM generate_series(3001, 3500) g;"
        "INSERT INTO @.hyper_b1 SELECT g, 'b1' FROM generate_series(3501, 3600) g;"
        "CREATE TABLE @.own_rows (id int, note text);"
        "CREATE TABLE @.own_rows_child () INHERITS (@.own_rows);"
        "INSERT INTO @.own_rows SELECT g, 'own' FROM generate_series(1, 500) g;"
        "INSERT INTO @.own_rows_child SELECT g, md5(g::text) FROM generate_series(501, 20000) g;"
        "CREATE TABLE @.emptied AS SELECT g AS id, md5(g::text) AS t FROM "
        "generate_series(1, 300000) g;"
        "DELETE FROM @.emptied WHERE id <= 299000;"
        // Each run in a session gives one row more than the run before.
        "CREATE VIEW @.growing AS SELECT g FROM generate_series(1, 3 + "
        "set_config('kestrove.runs', (coalesce(nullif(current_setting('kestrove.runs', true), "
        "''), '0')::int + 1)::text, false)::int) g";
    for (std::size_t at; (at = sql.find('@')) != std::string::npos;)
        sql.replace(at, 1, schema);
    executeSql(sql);
    executeSql("VACUUM " + schema + ".emptied");
    struct Dropped {
        std::string schema;
        ~Dropped() { executeSql("DROP SCHEMA " + schema + " CASCADE"); }
    } dropped{schema};
    ImportRun run;
    for (const char* table : {"hyper", "own_rows", "emptied", "growing"})
        run.host.tick(QString::fromLatin1(table), QString::fromStdString(schema));
    const QString once = QStringLiteral("/* once %1 */").arg(processId());
    // Its rows grow the same way with each run: run twice, it would give 5.
    run.host.tickQuery(QStringLiteral("query"),
                       QStringLiteral("select g from generate_series(1, 3 + "
                                      "set_config('kestrove.query_runs', "
                                      "(coalesce(nullif(current_setting('kestrove.query_runs', "
                                      "true), ''), '0')::int + 1)::text, false)::int) g %1")
                           .arg(once));
    const QJsonArray sheets = run.finish();
    for (const auto& [sheet, rows, sum] :
         {std::tuple{"hyper", 3600, 3600L * 3601 / 2},
          std::tuple{"own_rows", 20000, 20000L * 20001 / 2},
          std::tuple{"emptied", 1000, (299001L + 300000) * 1000 / 2}, std::tuple{"growing", 5, 15L},
          std::tuple{"query", 4, 10L}}) {
        const QJsonArray written = rowsOf(sheetNamed(sheets, QLatin1String(sheet)));
        ASSERT_EQ(written.size(), rows + 1) << sheet;
        long total = 0;
        for (int r = 1; r <= rows; ++r)
            total += cell(written, r, 0).toInteger();
        EXPECT_EQ(total, sum) << sheet;
    }
    // Only the view's difference is reported, with every row on its sheet.
    ASSERT_EQ(run.boxes.reportedSteps(), (std::vector<int>{202}));
    EXPECT_TRUE(run.reportAt(202).contains(
        QStringLiteral("5 rows came where 4 were counted; every one of them is on the sheet.")))
        << run.reportAt(202).toStdString();
    const std::vector<std::string> ranges =
        queryColumn("SELECT coalesce(sum(calls), 0)::text FROM pg_stat_statements WHERE query "
                    "LIKE 'DECLARE%\"" +
                    schema + "\".\"emptied\"%ctid%'");
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_GT(std::stol(ranges.front()), 0);
    EXPECT_LT(std::stol(ranges.front()), 40);
    // The query's rows are read once, by the statement that reads them, and not counted.
    EXPECT_EQ(queryColumn("SELECT sum(calls)::text FROM pg_stat_statements WHERE query LIKE '%" +
                          once.toStdString() + "%' AND query NOT LIKE '%LIMIT%'"),
              std::vector<std::string>{"1"});
}

// A database that stores bytes unchecked: bytes that are not UTF-8 become U+FFFD, with
// one report of how many values held them; everything else arrives as stored.
TEST(Import, BytesThatAreNotUtf8InALegacyDatabase) {
    ConnectionSettings legacy = testBedSettings();
    legacy.database = QStringLiteral("legacy_ascii");
    const std::string table = "latin_" + std::to_string(processId());
    executeSql("DROP TABLE IF EXISTS " + table, legacy);
    executeSql("CREATE TABLE " + table + " (n integer, t text, c char(6))", legacy);
    executeSql("INSERT INTO " + table +
                   " VALUES (1, E'caf\\xe9 au lait', 'ab'), (2, 'Grüße 😀', NULL), (3, "
                   "E'back\\\\slash', E'\\xff')",
               legacy);
    ImportRun run;
    run.host.settings = legacy;
    run.host.tick(QString::fromStdString(table), QStringLiteral("public"));
    // A query's result too: its char(n) keeps its blanks without its length.
    run.host.tickQuery(QStringLiteral("query"),
                       QString::fromStdString("select * from public." + table));
    const QJsonArray sheets = run.finish();
    for (const QString& sheet : {QString::fromStdString(table), QStringLiteral("query")})
        EXPECT_EQ(
            rowsOf(sheetNamed(sheets, sheet)),
            QJsonArray({QJsonArray{"n", "t", "c"}, QJsonArray{1.0, "caf\uFFFD au lait", "ab    "},
                        QJsonArray{2.0, "Grüße 😀", QJsonValue::Null},
                        QJsonArray{3.0, "back\\slash", "\uFFFD     "}}))
            << sheet.toStdString();
    ASSERT_EQ(run.boxes.reportedSteps(), (std::vector<int>{198, 198}));
    EXPECT_TRUE(run.boxes.boxes[0].text.startsWith(
        "A text held bytes that are not UTF-8; each shows as U+FFFD. (2 cells)\r\n"));
}

// A table whose query fails still gets its named, empty sheet, and the import goes on:
// one the role may not read, and a view that would write, which the export's read-only
// transaction refuses.
TEST(Import, FailingQueryLeavesAnEmptyNamedSheet) {
    for (const auto& [table, cause] : {std::pair{"secret", "permission denied"},
                                       std::pair{"counting", "read-only transaction"}}) {
        ImportRun run;
        run.host.tick(QString::fromLatin1(table));
        run.host.tick(QStringLiteral("t_first"));
        const QJsonArray sheets = run.finish();
        EXPECT_EQ(tabNames(sheets), QStringList({"t_first", table}));
        EXPECT_TRUE(rowsOf(sheetNamed(sheets, table)).isEmpty());
        EXPECT_EQ(rowsOf(sheetNamed(sheets, "t_first")).size(), 2);
        EXPECT_EQ(run.boxes.reportedSteps(), (std::vector<int>{140, 172, 174}));
        EXPECT_TRUE(run.boxes.boxes[0].text.contains(cause))
            << run.boxes.boxes[0].text.toStdString();
        EXPECT_EQ(run.doneBoxes(), 1);
    }
}

TEST(Import, EmptyTablesTablesWithoutColumnsAndOverlongTexts) {
    ImportRun run;
    run.host.tick(QStringLiteral("empty_table"));
    run.host.tick(QStringLiteral("no_columns"));
    run.host.tick(QStringLiteral("long_text"));
    const QJsonArray sheets = run.finish();
    EXPECT_EQ(rowsOf(sheetNamed(sheets, "empty_table")).size(), 1);
    EXPECT_TRUE(rowsOf(sheetNamed(sheets, "no_columns")).isEmpty());
    const QJsonArray longRows = rowsOf(sheetNamed(sheets, "long_text"));
    EXPECT_EQ(cell(longRows, 1, 0).toString(), QString(32767, 'x'));
    EXPECT_EQ(cell(longRows, 3, 0).toString(), "short");
    // Two cut cells, one report with their count.
    ASSERT_EQ(run.boxes.reportedSteps(), (std::vector<int>{198}));
    EXPECT_TRUE(run.boxes.boxes[0].text.startsWith(
        "A text longer than 32,767 characters was cut to fit its cell. (2 cells)\r\n"));
}

// Characters outside the Basic Multilingual Plane arrive whole, wherever the driver cuts
// a long value into pieces.
TEST(Import, EmojiAcrossTheDriversPiecesStayWhole) {
    ImportRun run;
    run.host.tick(QStringLiteral("emoji_edges"));
    const QJsonArray rows = rowsOf(sheetAt(run.finish(), 0));
    ASSERT_EQ(rows.size(), 18);
    for (int r = 1; r < rows.size(); ++r) {
        const int n = cell(rows, r, 0).toInt();
        const QString expected = n < 0 ? QString(QStringLiteral("😀")).repeated(5000)
                                       : QString(n, QLatin1Char('x')) + QStringLiteral("😀z");
        EXPECT_EQ(cell(rows, r, 1).toString(), expected) << "emoji after " << n << " letters";
    }
    EXPECT_TRUE(run.boxes.reportedSteps().empty());
}

// Dates and times show the server's own text, also where the driver would convert them
// into other values; binary columns keep their place without being fetched.
TEST(Import, DatesAsTheServerWritesThemAndBinaryColumnsUnread) {
    ImportRun run;
    run.host.tick(QStringLiteral("odd_dates"));
    run.host.tick(QStringLiteral("big_binary"));
    const QJsonArray sheets = run.finish();
    const QJsonArray dates = rowsOf(sheetNamed(sheets, QStringLiteral("odd_dates")));
    const QJsonValue none = QJsonValue::Null;
    const auto time = [](const char* shown, const char* format) {
        return QJsonObject({{"shown", shown}, {"format", format}});
    };
    const QJsonArray expected{
        QJsonArray{"d", "ts", "tstz", "t", "ttz"},
        QJsonArray{"infinity", "infinity", "infinity", time("00:00:00", "hh:mm:ss"),
                   time("00:00:00+00", "hh:mm:ss\"+00\"")},
        QJsonArray{"-infinity", "-infinity", "-infinity", "24:00:00",
                   time("23:59:59.999+02", "hh:mm:ss.000\"+02\"")},
        QJsonArray{"0044-03-15 BC", "0044-03-15 12:00:00 BC", "10000-01-01 00:00:00+00",
                   time("12:34:56.789", "hh:mm:ss.000"), none},
        QJsonArray{"10000-01-01", "10000-01-01 00:00:00",
                   time("2021-08-31 11:45:00+00", "yyyy-mm-dd hh:mm:ss\"+00\""), none, none},
    };
    EXPECT_EQ(dates, expected);
    EXPECT_EQ(rowsOf(sheetNamed(sheets, QStringLiteral("big_binary"))),
              QJsonArray({QJsonArray({"id", "bin", "note"}),
                          QJsonArray({1.0, "{BINARY DATA}", "after the binary"})}));
    EXPECT_TRUE(run.boxes.reportedSteps().empty());
}

// Dates, timestamps and 15-digit numbers stay readable on every sheet, not only on the
// autofitted one: each such column is wide enough for its widest value, as shown (with
// the widest offsets, and to the millisecond), and LibreOffice shows them all without a
// '#'. Row 1 is bold.
TEST(Import, DatesAndNumbersAreReadableOnEverySheet) {
    const SessionZone session("Asia/Kathmandu");
    ImportRun run;
    for (int i = 1; i <= 10; ++i)
        run.host.tick(QStringLiteral("readable_%1").arg(i));
    const QJsonArray sheets = run.finish();
    ASSERT_EQ(sheets.size(), 10);
    for (const auto& value : sheets) {
        const QJsonObject sheet = value.toObject();
        // A digit, '-', ':' or '.' takes at most one character's width, and the file's
        // widths count 5 pixels of padding besides.
        const QJsonObject widths = sheet["widths"].toObject();
        EXPECT_GE(widths["A"].toDouble(), 10.7) << sheet["name"].toString().toStdString();
        EXPECT_GE(widths["B"].toDouble(), 23.7) << sheet["name"].toString().toStdString();
        EXPECT_GE(widths["C"].toDouble(), 15.7) << sheet["name"].toString().toStdString();
        EXPECT_GE(widths["E"].toDouble(), 29.7) << sheet["name"].toString().toStdString();
        EXPECT_GE(widths["F"].toDouble(), 23.7) << sheet["name"].toString().toStdString();
        EXPECT_EQ(sheet["bold"].toArray(), QJsonArray({true, true, true, true, true, true}));
    }
    const QString shown = shownByLibreOffice(run.host.opened.back());
    EXPECT_FALSE(shown.contains(QLatin1Char('#')) || shown.contains(QStringLiteral("E+")))
        << shown.toStdString();
    // Of a timestamp, of one to the millisecond and of one with its offset.
    EXPECT_EQ(shown.count(QStringLiteral("2024-02-29 13:45:59.123")), 30) << shown.toStdString();
    EXPECT_EQ(shown.count(QStringLiteral("2024-02-29 13:45:59.123+05:45")), 10);
    EXPECT_EQ(shown.count(QStringLiteral("1910-01-01 00:00:00+05:41:16")), 10);
    EXPECT_EQ(shown.count(QStringLiteral("123456789012345")), 10);
    EXPECT_EQ(shown.count(QStringLiteral("-98765432101234")), 10);
}

// A table that needs more number formats than a workbook takes, then 12-digit references
// and money: every later value is a number (their formats are built in), each number of
// the first shows the server's text, and a notice names its values that stay text.
TEST(Import, PastTheCapOnFormatsLaterNumbersStayNumbersAndANoticeNamesTheTexts) {
    ImportRun run;
    run.host.tick(QStringLiteral("scales"));
    run.host.tickQuery(QStringLiteral("refs"),
                       QStringLiteral("SELECT id, ref, amount FROM export.ledger ORDER BY id"));
    const QJsonArray sheets = run.finish();
    const QJsonArray refs = rowsOf(sheetNamed(sheets, QStringLiteral("refs")));
    ASSERT_EQ(refs.size(), 1001);
    for (int r = 1; r < refs.size(); ++r)
        EXPECT_TRUE(cell(refs, r, 1).isDouble() && cell(refs, r, 2).isDouble()) << "row " << r + 1;
    const QJsonArray scales = rowsOf(sheetNamed(sheets, QStringLiteral("scales")));
    const QJsonArray shown =
        rowsOf(sheetNamed(shownByExcel(run.host.opened.back()), QStringLiteral("scales")));
    const std::vector<std::string> server = queryColumn("SELECT v FROM export.scales ORDER BY g");
    ASSERT_EQ(scales.size(), static_cast<qsizetype>(server.size() + 1));
    int texts = 0;
    for (std::size_t r = 0; r < server.size(); ++r) {
        const int row = static_cast<int>(r + 1);
        if (!cell(scales, row, 1).isDouble()) {
            ++texts;
            EXPECT_EQ(cell(scales, row, 1).toString().toStdString(), server[r]);
        } else {
            EXPECT_EQ(cell(shown, row, 1)[QStringLiteral("number")].toString().toStdString(),
                      server[r]);
        }
    }
    EXPECT_GT(texts, 0);
    ASSERT_EQ(run.boxes.boxes.size(), 2u);
    EXPECT_EQ(run.boxes.boxes[0].text,
              QStringLiteral("numeric column `scales.v`: %1 values stay text, since the workbook "
                             "already has as many number formats as a spreadsheet takes; a sum "
                             "over the column leaves them out.")
                  .arg(texts));
    EXPECT_TRUE(run.boxes.reportedSteps().empty());
    EXPECT_EQ(run.doneBoxes(), 1);
}

// Two thousand tables under a limit of 256 open files: one workbook of 2,000 sheets.
TEST(Import, TwoThousandTablesUnderALimitOf256OpenFiles) {
    ImportRun run;
    for (int i = 1; i <= 2000; ++i)
        run.host.tick(QStringLiteral("t%1").arg(i), QStringLiteral("many"));
    {
        const OpenFileLimit small(256);
        ASSERT_TRUE(small.holds());
        run.import.run(run.host, FinishSteps());
    }
    EXPECT_TRUE(run.boxes.reportedSteps().empty());
    ASSERT_EQ(run.host.opened.size(), 1u);
    const ProcessResult sheets =
        runProcess(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral("-c"),
                    QStringLiteral("import sys, zipfile; print(sum(n.startswith('xl/worksheets/') "
                                   "for n in zipfile.ZipFile(sys.argv[1]).namelist()))"),
                    run.host.opened.back()});
    EXPECT_EQ(sheets.out.trimmed(), QByteArray("2000"));
}

// A workbook that no program could open is reported with the place it was saved.
TEST(Import, AWorkbookThatCannotBeOpenedIsReportedWithItsPlace) {
    ImportRun run;
    run.host.tick(QStringLiteral("t_first"));
    run.host.openFails = true;
    const QJsonArray sheets = run.finish();
    ASSERT_EQ(run.boxes.reportedSteps(), (std::vector<int>{210}));
    EXPECT_TRUE(run.boxes.boxes[0].text.contains(run.host.opened.back()));
    EXPECT_EQ(tabNames(sheets), QStringList({"t_first"}));
}

// A date or time becomes a date cell exactly when its format shows the server's text, or
// that text to the millisecond where it has more fraction digits (as now() writes them);
// a time zone's offset is literal text of the format. Everything else stays that text.
// openpyxl, SheetJS and Gnumeric show the same texts.
TEST(Import, DateCellsShowTheServersTextAndTheHeaderIsFrozenAndFiltered) {
    ImportRun run;
    run.host.tick(QStringLiteral("calendar"));
    run.host.tick(QStringLiteral("empty_table"));
    run.host.tick(QStringLiteral("no_columns"));
    const QJsonArray sheets = run.finish();
    const QJsonObject calendar = sheetNamed(sheets, QStringLiteral("calendar"));
    struct Expected {
        const char* text;
        const char* format;          // nullptr: stays text
        const char* shown = nullptr; // where it is not the text
        bool bySheetJs = true;       // SheetJS shows nothing past 9999-12-31 00:00:00
    };
    const char* const Date = "yyyy-mm-dd";
    const std::vector<std::vector<Expected>> expected{
        {{"2024-02-29", Date},
         {"00:00:00", "hh:mm:ss"},
         {"2024-02-29 00:00:00", "yyyy-mm-dd hh:mm:ss"},
         {"2024-02-29 00:00:00+00", "yyyy-mm-dd hh:mm:ss\"+00\""},
         {"00:00:00+00", "hh:mm:ss\"+00\""}},
        {{"1999-12-31", Date},
         {"23:59:59.999", "hh:mm:ss.000"},
         {"1999-12-31 23:59:59.999", "yyyy-mm-dd hh:mm:ss.000"},
         {"1999-12-31 23:59:59.999+00", "yyyy-mm-dd hh:mm:ss.000\"+00\""},
         {"23:59:59.999-03", "hh:mm:ss.000\"-03\""}},
        {{"1900-03-01", Date},
         {"12:00:00.5", "hh:mm:ss.0"},
         {"1900-03-01 06:30:00.25", "yyyy-mm-dd hh:mm:ss.00"},
         {nullptr, nullptr},
         {"12:00:00.5+05:45", "hh:mm:ss.0\"+05:45\""}},
        // Before 1900-03-01 the spreadsheet's calendar is a day off.
        {{"1900-02-28", nullptr},
         {"01:02:03.1234", "hh:mm:ss.000", "01:02:03.123"},
         {"1900-02-28 12:00:00", nullptr},
         {nullptr, nullptr},
         {"24:00:00+02", nullptr}},
        {{"infinity", nullptr},
         {nullptr, nullptr},
         {"infinity", nullptr},
         {"infinity", nullptr},
         {nullptr, nullptr}},
        {{"0001-01-01 BC", nullptr},
         {nullptr, nullptr},
         {"0001-01-01 00:00:00 BC", nullptr},
         {nullptr, nullptr},
         {nullptr, nullptr}},
        {{"9999-12-31", Date},
         {"23:59:59", "hh:mm:ss"},
         {"9999-12-31 23:59:59", "yyyy-mm-dd hh:mm:ss", nullptr, false},
         {nullptr, nullptr},
         {"23:59:59+14", "hh:mm:ss\"+14\""}},
        {{"2024-03-01", Date},
         {"12:34:56.12345", "hh:mm:ss.000", "12:34:56.123"},
         {"2024-03-01 12:34:56.123456", "yyyy-mm-dd hh:mm:ss.000", "2024-03-01 12:34:56.123"},
         {"2024-03-01 12:34:56.000001+00", "yyyy-mm-dd hh:mm:ss.000\"+00\"",
          "2024-03-01 12:34:56.000+00"},
         {"08:15:00.654321+05:30", "hh:mm:ss.000\"+05:30\"", "08:15:00.654+05:30"}},
    };
    const QJsonArray rows = rowsOf(calendar);
    const QJsonArray byExcel =
        rowsOf(sheetNamed(shownByExcel(run.host.opened.back()), QStringLiteral("calendar")));
    ASSERT_EQ(rows.size(), static_cast<qsizetype>(expected.size() + 1));
    QStringList csv{QStringLiteral("label,d,t,ts,tstz,ttz")};
    for (std::size_t r = 0; r < expected.size(); ++r) {
        QStringList line{cell(rows, static_cast<int>(r + 1), 0).toString()};
        for (std::size_t c = 0; c < expected[r].size(); ++c) {
            const Expected& want = expected[r][c];
            const int row = static_cast<int>(r + 1);
            const int column = static_cast<int>(c + 1);
            const QJsonValue got = cell(rows, row, column);
            const std::string where =
                "row " + std::to_string(r + 2) + ", column " + std::to_string(c + 2);
            const QString shown = QString::fromUtf8(want.shown ? want.shown : want.text);
            if (!want.text) {
                EXPECT_TRUE(got.isNull()) << where;
            } else if (!want.format) {
                EXPECT_EQ(got.toString(), shown) << where;
                EXPECT_EQ(cell(byExcel, row, column).toString(), shown) << where;
            } else {
                EXPECT_EQ(got.toObject(), QJsonObject({{"shown", shown}, {"format", want.format}}))
                    << where;
                EXPECT_EQ(cell(byExcel, row, column),
                          QJsonObject({{"number", want.bySheetJs ? shown : QString()}}))
                    << where;
            }
            line << (want.text ? shown : QString());
        }
        csv << line.join(QLatin1Char(','));
    }
    EXPECT_EQ(calendar["frozen"].toString(), QStringLiteral("A2"));
    EXPECT_EQ(calendar["filter"].toString(), QStringLiteral("A1:F9"));
    const QJsonObject empty = sheetNamed(sheets, QStringLiteral("empty_table"));
    EXPECT_EQ(empty["frozen"].toString(), QStringLiteral("A2"));
    EXPECT_EQ(empty["filter"].toString(), QStringLiteral("A1:B1"));
    const QJsonObject noColumns = sheetNamed(sheets, QStringLiteral("no_columns"));
    EXPECT_TRUE(noColumns["frozen"].isNull());
    EXPECT_TRUE(noColumns["filter"].isNull());

    // Gnumeric shows the same texts (and the active sheet is calendar's only when it is
    // the only one, so it gets a workbook of its own).
    ImportRun alone;
    alone.host.tick(QStringLiteral("calendar"));
    alone.finish();
    EXPECT_EQ(convertedToCsv(alone.host.opened.back()),
              csv.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}

// A timestamptz is a date cell of the wall-clock time that the session's time zone shows
// (PGTZ, which the driver hands to the server as libpq does), its offset literal text of
// its format; a timetz a time cell alike; of a table and of a query. SheetJS shows the
// server's text (to the millisecond), openpyxl reads datetimes, Gnumeric and LibreOffice's
// printed sheets show the same texts and no '#', and LibreOffice's MAX over the column is
// the latest value's wall-clock time.
TEST(Import, TimeZonedValuesAreDateCellsOfTheSessionsZone) {
    struct Zone {
        const char* name;
        std::vector<const char*> texts; // as the date cells show them; nullptr: text
        const char* latest;             // row 4's wall-clock time
    };
    const std::vector<Zone> zones{
        {"UTC",
         {"2024-03-31 00:59:59.5+00", "2024-03-31 01:00:00+00", "2024-10-27 00:30:00+00",
          "2024-10-27 01:30:00+00", "1909-12-31 18:18:44+00", "2024-03-01 12:34:56.123+00", nullptr,
          nullptr, "1900-03-01 00:00:00+00"},
         "2024-10-27 01:30:00"},
        {"Europe/Berlin",
         {"2024-03-31 01:59:59.5+01", "2024-03-31 03:00:00+02", "2024-10-27 02:30:00+02",
          "2024-10-27 02:30:00+01", "1909-12-31 19:18:44+01", "2024-03-01 13:34:56.123+01", nullptr,
          nullptr, "1900-03-01 01:00:00+01"},
         "2024-10-27 02:30:00"},
        {"Asia/Kathmandu",
         {"2024-03-31 06:44:59.5+05:45", "2024-03-31 06:45:00+05:45", "2024-10-27 06:15:00+05:45",
          "2024-10-27 07:15:00+05:45", "1910-01-01 00:00:00+05:41:16",
          "2024-03-01 18:19:56.123+05:45", nullptr, nullptr, "1900-03-01 05:41:16+05:41:16"},
         "2024-10-27 07:15:00"},
        // West of Greenwich 1900-03-01 00:00 UTC is a day the spreadsheet cannot show.
        {"America/Sao_Paulo",
         {"2024-03-30 21:59:59.5-03", "2024-03-30 22:00:00-03", "2024-10-26 21:30:00-03",
          "2024-10-26 22:30:00-03", "1909-12-31 15:12:16-03:06:28", "2024-03-01 09:34:56.123-03",
          nullptr, nullptr, nullptr},
         "2024-10-26 22:30:00"},
    };
    const std::vector<const char*> times{"12:34:56+02",
                                         "23:59:59.999-03",
                                         "08:15:00.123+05:45",
                                         "00:00:00+05:41:16",
                                         "12:00:00+00",
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr};
    for (const Zone& zone : zones) {
        const SessionZone session(zone.name);
        ImportRun run;
        run.host.tick(QStringLiteral("zoned"));
        run.host.tickQuery(QStringLiteral("zoned_query"),
                           QStringLiteral("SELECT n, tstz, ttz FROM export.zoned ORDER BY n"));
        const QJsonArray sheets = run.finish();
        const QString book = run.host.opened.back();
        const QJsonArray byExcel = shownByExcel(book);
        const std::vector<std::string> server =
            queryColumn("SELECT coalesce(tstz::text || '|', '') || coalesce(ttz::text, '') "
                        "FROM export.zoned ORDER BY n");
        ASSERT_EQ(server.size(), zone.texts.size());
        QStringList csv{QStringLiteral("n,tstz,ttz")};
        for (const QString& sheet : {QStringLiteral("zoned"), QStringLiteral("zoned_query")}) {
            const QJsonArray rows = rowsOf(sheetNamed(sheets, sheet));
            const QJsonArray shown = rowsOf(sheetNamed(byExcel, sheet));
            ASSERT_EQ(rows.size(), static_cast<qsizetype>(server.size() + 1)) << zone.name;
            for (std::size_t r = 0; r < server.size(); ++r) {
                const int row = static_cast<int>(r + 1);
                const QStringList texts = QString::fromStdString(server[r]).split(QLatin1Char('|'));
                const std::string where = std::string(zone.name) + ", " + sheet.toStdString() +
                                          ", row " + std::to_string(row + 1);
                QStringList line{QString::number(r + 1)};
                for (int c = 1; c <= 2; ++c) {
                    const char* date = c == 1 ? zone.texts[r] : times[r];
                    const QString text = texts.value(c - 1);
                    if (date) {
                        EXPECT_EQ(cell(shown, row, c), QJsonObject({{"number", date}})) << where;
                        EXPECT_EQ(cell(rows, row, c).toObject()["shown"].toString(),
                                  QString::fromUtf8(date))
                            << where;
                        // To the millisecond: the server's text, of up to 3 fraction digits more.
                        EXPECT_TRUE(text.startsWith(QString::fromUtf8(date).section(
                            QRegularExpression(QStringLiteral("[+-]\\d\\d(:\\d\\d)*$")), 0, 0)))
                            << where << " " << text.toStdString();
                    } else if (!text.isEmpty()) {
                        EXPECT_EQ(cell(shown, row, c).toString(), text) << where;
                    }
                    line << (date ? QString::fromUtf8(date) : text);
                }
                csv << line.join(QLatin1Char(','));
            }
        }
        const QString printed = shownByLibreOffice(book);
        EXPECT_FALSE(printed.contains(QLatin1Char('#'))) << zone.name << printed.toStdString();
        for (const char* text : zone.texts)
            EXPECT_TRUE(!text || printed.count(QString::fromUtf8(text)) == 2)
                << zone.name << " " << (text ? text : "");
        const QStringList latest =
            sumsByLibreOffice(book, QStringLiteral("zoned"), 10, 2, QStringLiteral("MAX"));
        ASSERT_GE(latest.size(), 2) << zone.name;
        // Shown in the format of the column's dates, less the offset.
        EXPECT_EQ(latest[1], QString::fromUtf8(zone.latest)) << zone.name;
        // Gnumeric prints both sheets, the query's first.
        const QString eachSheet =
            csv.mid(0, 1 + static_cast<qsizetype>(server.size())).join(QLatin1Char('\n')) +
            QLatin1Char('\n');
        EXPECT_EQ(convertedToCsv(book).toStdString(), (eachSheet + eachSheet).toStdString())
            << zone.name;
    }
}

TEST(Import, EmptyListDoesNothingAndNothingTickedGivesAnEmptyWorkbook) {
    ImportRun empty;
    EXPECT_TRUE(empty.finish().isEmpty());
    EXPECT_TRUE(empty.boxes.boxes.empty());
    EXPECT_TRUE(empty.host.statusTexts.empty());

    ImportRun unticked;
    unticked.host.list.add(QStringLiteral("t_first"), QStringLiteral("export"));
    const QJsonArray sheets = unticked.finish();
    ASSERT_EQ(sheets.size(), 1);
    EXPECT_TRUE(rowsOf(sheetAt(sheets, 0)).isEmpty());
    EXPECT_EQ(unticked.doneBoxes(), 1);
}

TEST(Import, WhatTheUserDoesDuringARun) {
    // A second "Finish" while running is ignored.
    ImportRun twice;
    twice.host.tick(QStringLiteral("numbers"));
    twice.host.onYield = [&] { twice.import.run(twice.host, FinishSteps()); };
    twice.finish();
    EXPECT_EQ(twice.host.opened.size(), 1u);
    EXPECT_EQ(twice.doneBoxes(), 1);

    // Ticks changed mid-run: entries not yet reached follow the new state.
    ImportRun ticks;
    ticks.host.tick(QStringLiteral("numbers"));
    ticks.host.list.add(QStringLiteral("t_second"), QStringLiteral("export"));
    ticks.host.tick(QStringLiteral("t_third"));
    ticks.host.onYield = [&] {
        ticks.host.list.setChecked(2, true);
        ticks.host.list.setChecked(3, false);
    };
    EXPECT_EQ(tabNames(ticks.finish()), QStringList({"t_second", "numbers"}));

    // The list emptied mid-run: nothing past its new end is read, and the run ends.
    ImportRun emptied;
    emptied.host.tick(QStringLiteral("numbers"));
    emptied.host.tick(QStringLiteral("t_first"));
    emptied.host.onYield = [&] {
        if (!emptied.host.statusTexts.empty())
            emptied.host.list.clear();
    };
    EXPECT_EQ(tabNames(emptied.finish()), QStringList({"numbers"}));
    EXPECT_TRUE(emptied.boxes.reportedSteps().empty());
    EXPECT_EQ(emptied.doneBoxes(), 1);
}

// Slow (over a million rows): set KESTROVE_SKIP_SLOW_TESTS=1 to skip it locally.
TEST(Import, RowsBeyondOneSheetContinueOnTheNextWithTheHeaderAgain) {
    if (std::getenv("KESTROVE_SKIP_SLOW_TESTS"))
        GTEST_SKIP() << "KESTROVE_SKIP_SLOW_TESTS is set";
    executeSql("DROP TABLE IF EXISTS export.tall; "
               "CREATE TABLE export.tall AS SELECT generate_series(1, 1048580) AS n");
    ImportRun run;
    run.host.tick(QStringLiteral("tall"));
    run.import.run(run.host, FinishSteps());
    const QJsonArray sheets = readWorkbook(run.host.opened.at(0));
    executeSql("DROP TABLE export.tall");
    EXPECT_EQ(tabNames(sheets), QStringList({"tall1", "tall"}));
    const QJsonArray full = rowsOf(sheetNamed(sheets, "tall"));
    const QJsonArray rest = rowsOf(sheetNamed(sheets, "tall1"));
    ASSERT_EQ(full.size(), 1048576);
    EXPECT_EQ(cell(full, 1048575, 0).toDouble(), 1048575);
    ASSERT_EQ(rest.size(), 6);
    EXPECT_EQ(cell(rest, 0, 0).toString(), "n");
    EXPECT_EQ(cell(rest, 1, 0).toDouble(), 1048576);
    EXPECT_EQ(cell(rest, 5, 0).toDouble(), 1048580);
    EXPECT_TRUE(run.boxes.reportedSteps().empty());
}

// A table read in ranges of its blocks gives the cells of its view, which is read through
// one cursor: Nulls at every place, a char(n) with its blanks, texts with commas and colons.
TEST(Import, ATableInRangesGivesTheCellsOfItsView) {
    ImportRun run;
    run.host.tick(QStringLiteral("in_ranges"));
    run.host.tick(QStringLiteral("in_ranges_view"));
    const QJsonArray sheets = run.finish();
    const QJsonArray rows = rowsOf(sheetAt(sheets, 1));
    ASSERT_EQ(rows.size(), 5);
    EXPECT_EQ(rowsOf(sheetAt(sheets, 0)), rows);
    EXPECT_EQ(cell(rows, 1, 1), QJsonValue("3:abc"));
    EXPECT_EQ(cell(rows, 1, 2), QJsonValue("ab    "));
    EXPECT_EQ(cell(rows, 1, 3), QJsonValue("x,y"));
    EXPECT_EQ(cell(rows, 3, 7), QJsonValue(QString::fromUtf8("line\nbreak, 東京 😀")));
    EXPECT_EQ(cell(rows, 4, 1), QJsonValue(",,"));
    EXPECT_TRUE(run.boxes.reportedSteps().empty());
}

// Tables read at once, on connections of their own, give the workbook, the reports and
// the status texts of tables read one after another, each in its turn in list order.
TEST(Import, TablesReadAtOnceGiveTheSameWorkbookAsOneAfterAnother) {
    const auto exported = [](int atOnce) {
        ImportRun run;
        run.import.setTablesAtOnce(atOnce);
        for (const char* table :
             {"alltypes", "numbers", "emoji_edges", "counting", "long_text", "t_first", "domains"})
            run.host.tick(QLatin1String(table));
        const QJsonArray sheets = run.finish();
        QStringList turns;
        for (const QString& text : run.host.statusTexts)
            if (text.startsWith(QStringLiteral("Processing: ")) && !text.contains(QLatin1Char(',')))
                turns << text;
        return std::tuple{sheets, run.boxes.reportedSteps(), turns, run.doneBoxes()};
    };
    const auto [sheets, steps, turns, done] = exported(1);
    ASSERT_EQ(turns.size(), 7);
    EXPECT_EQ(done, 1);
    for (const int atOnce : {2, 4}) {
        const auto [sheetsAtOnce, stepsAtOnce, turnsAtOnce, doneAtOnce] = exported(atOnce);
        EXPECT_EQ(tabNames(sheetsAtOnce), tabNames(sheets)) << atOnce;
        for (int s = 0; s < sheets.size(); ++s)
            EXPECT_EQ(rowsOf(sheetAt(sheetsAtOnce, s)), rowsOf(sheetAt(sheets, s)))
                << atOnce << " sheet " << s;
        EXPECT_EQ(stepsAtOnce, steps) << atOnce;
        EXPECT_EQ(turnsAtOnce, turns) << atOnce;
        EXPECT_EQ(doneAtOnce, 1);
    }
}
