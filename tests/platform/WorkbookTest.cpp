#include "platform/workbook/Workbook.h"
#include "support/ImportHost.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kestrove::workbook;
using kestrove::test::readWorkbook;

TEST(PlainDecimalNumber, OnlyTextsThatAnumericCellShowsUnchanged) {
    for (const char* number : {"0", "42", "-3.25", "0.5", "-0.5", "123456789012345", "0.000001"})
        EXPECT_TRUE(plainDecimalNumber(number).has_value()) << number;
    EXPECT_EQ(plainDecimalNumber("-3.25"), -3.25);
    for (const char* text :
         {"", "-", "007", "1e5", "+1", "1,000", " 5", "5 ", ".5", "5.", "1.50", "-0",
          "12345678901234567890", "1234567890123456", "0x10", "NaN", "Infinity", "١٢"})
        EXPECT_FALSE(plainDecimalNumber(text).has_value()) << text;
}

TEST(SheetNames, RefusedWhereASpreadsheetRefusesThem) {
    const std::vector<std::string> others{"Orders"};
    EXPECT_NO_THROW(validateSheetName("Orders 2", others));
    EXPECT_NO_THROW(validateSheetName(std::string(31, 'x'), others));
    EXPECT_NO_THROW(validateSheetName("Ж" + std::string(30, 'x'), others));
    for (const std::string& bad :
         {std::string(), std::string(32, 'x'), std::string("a[b"), std::string("a]"),
          std::string("a:b"), std::string("a*b"), std::string("a?b"), std::string("a/b"),
          std::string("a\\b"), std::string("'quoted"), std::string("quoted'"),
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

// A program that ends while the file is being written leaves no file behind.
TEST(WorkbookFileDeathTest, EndingDuringTheWriteLeavesNoFile) {
    const QString folder =
        QString::fromStdString(::testing::TempDir()) + QStringLiteral("kestrove-unfinished-save");
    QDir(folder).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(folder));
    const std::string path = (folder + QStringLiteral("/out.xlsx")).toStdString();
    EXPECT_EXIT(
        {
            Application excel(path, {});
            Worksheet& sheet = excel.addWorkbook().activeSheet();
            for (long row = 1; row <= 100000; ++row)
                for (int column = 1; column <= 3; ++column)
                    sheet.setCell(row, column, "text of some length " + std::to_string(row));
            excel.setVisible(true, [] {
                discardUnfinishedFiles();
                std::_Exit(0);
            });
            std::exit(3);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty());
    QDir(folder).removeRecursively();
}
