#include "export/SheetNaming.h"
#include "app/ErrorReport.h"
#include "catalogue/Form2FinishSteps.h"
#include "export/Import.h"
#include "platform/workbook/Workbook.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>

using namespace kestrove;
using kestrove::test::MessageBoxRecorder;

namespace {
const QString Long40 = QStringLiteral("a_very_long_table_name_for_sheets_number_one");

QString nameFor(QString table, workbook::Workbook& book) {
    Steps steps = FinishSteps();
    workbook::Worksheet& sheet = book.add();
    NameSheetAfterTable(steps, table, &sheet, &book);
    return QString::fromStdString(sheet.name());
}
} // namespace

TEST(CleanSheetName, RemovesEveryBracketAndKeepsThirtyCharacters) {
    EXPECT_EQ(CleanSheetName(QStringLiteral("[archive] 2020")), QStringLiteral("archive 2020"));
    EXPECT_EQ(CleanSheetName(QStringLiteral("[[]]")), QString());
    EXPECT_EQ(CleanSheetName(QString(31, QLatin1Char('x'))), QString(30, QLatin1Char('x')));
    EXPECT_EQ(CleanSheetName(QStringLiteral("a:b*c")), QStringLiteral("a:b*c"));
    // An emoji across the cut is left out whole rather than halved.
    const QString x29 = QString(29, QLatin1Char('x'));
    EXPECT_EQ(CleanSheetName(x29 + QStringLiteral("😀yy")), x29);
    EXPECT_EQ(CleanSheetName(QString(28, QLatin1Char('x')) + QStringLiteral("😀yy")),
              QString(28, QLatin1Char('x')) + QStringLiteral("😀"));
}

TEST(SheetNaming, LongNamesAreCutAndNumberedKeepingTheirDigits) {
    MessageBoxRecorder boxes;
    workbook::Workbook book;
    EXPECT_EQ(nameFor(Long40, book), Long40.left(30));
    // The same first 30 characters: numbered, the digits surviving the cleaning.
    EXPECT_EQ(nameFor(QStringLiteral("a_very_long_table_name_for_sheets_number_two"), book),
              Long40.left(29) + QStringLiteral("1"));
    EXPECT_EQ(nameFor(Long40 + QStringLiteral("_again"), book),
              Long40.left(29) + QStringLiteral("2"));
    // A name of at most 31 characters is not tested against the other sheets.
    EXPECT_EQ(nameFor(QString(31, QLatin1Char('y')), book), QString(30, QLatin1Char('y')));
    // Emoji in a long name: cut and numbered in whole characters.
    const QString emoji = QString(28, QLatin1Char('e')) + QStringLiteral("😀😀 and more");
    EXPECT_EQ(nameFor(emoji, book), QString(28, QLatin1Char('e')) + QStringLiteral("😀"));
    EXPECT_EQ(nameFor(emoji, book), QString(28, QLatin1Char('e')) + QStringLiteral("1"));
    EXPECT_TRUE(boxes.boxes.empty());

    // A refused name is reported at 164 and the sheet keeps the name it was made with.
    EXPECT_EQ(nameFor(QStringLiteral("[[]]"), book).left(5), QStringLiteral("Sheet"));
    EXPECT_EQ(boxes.reportedSteps(), (std::vector<int>{164}));
}

TEST(SheetNaming, NumberingRestartsForEveryTableAndSkipsTakenNames) {
    workbook::Workbook book;
    nameFor(Long40, book);
    nameFor(Long40, book); // ...1
    EXPECT_EQ(nameFor(Long40, book), Long40.left(29) + QStringLiteral("2"));
    const QString other = QStringLiteral("another_long_name_that_is_over_thirty_one");
    nameFor(other, book);
    EXPECT_EQ(nameFor(other, book), other.left(29) + QStringLiteral("1"));
    EXPECT_EQ(ContinuationSheetName(QStringLiteral("big"), book), QStringLiteral("big1"));
}

// Without a workbook the existence test fails on every pass; the rule must still end.
TEST(SheetNaming, FailingExistenceTestDoesNotLoopForever) {
    MessageBoxRecorder boxes;
    Steps steps = FinishSteps();
    QString table = Long40;
    NameSheetAfterTable(steps, table, nullptr, nullptr);
    EXPECT_EQ(boxes.reportedSteps(), (std::vector<int>{158, 164}));
    EXPECT_EQ(table, Long40.left(29) + QStringLiteral("1"));
}
