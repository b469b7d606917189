#include "export/AvailabilityCheck.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace kestrove;
using kestrove::test::MessageBoxRecorder;

TEST(AvailabilityCheck, SilentWhenASpreadsheetProgramIsFound) {
    MessageBoxRecorder boxes;
    bool ended = false;
    IsExcelInstalled([] { return QStringLiteral("libreoffice-calc.desktop"); },
                     [&] { ended = true; });
    EXPECT_FALSE(ended);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST(AvailabilityCheck, NoneFoundShowsTheFixedMessageThenEnds) {
    for (const auto& search : std::vector<std::function<QString()>>{
             [] { return QString(); },
             []() -> QString { throw std::runtime_error("no xdg-mime"); }}) {
        MessageBoxRecorder boxes;
        int ended = 0;
        IsExcelInstalled(search, [&] { ++ended; });
        EXPECT_EQ(ended, 1);
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].style, 0);
        EXPECT_EQ(boxes.boxes[0].title, QStringLiteral("Kestrove"));
        EXPECT_EQ(boxes.boxes[0].text.toStdString(),
                  "Error 842001. A normal instance of Excel could not be created.\r\n\r\n"
                  "1. Please make sure Excel is installed on this computer.\r\n\r\n"
                  "2. Please open Excel normally and make sure a blank spreadsheet opens "
                  "immediately without any interrupting window (such as an Excel file recovery "
                  "window).\r\n\r\n"
                  "3. Please make sure that when you double-click on a XLS or XLSX file that Excel "
                  "opens normally without any interrupting messages.\r\n\r\n"
                  "4. All versions of Excel are supported by this software except for the rare "
                  "Excel Starter and Student editions.");
    }
}
