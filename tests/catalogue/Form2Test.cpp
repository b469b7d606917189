#include "catalogue/Form2.h"
#include "app/LookAndFeel.h"
#include "app/WindowFlow.h"
#include "connection/Form1.h"
#include "support/ImportHost.h"
#include "support/WindowTest.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace kestrove;
using namespace kestrove::test;

namespace {

class TableWindow : public WindowTest {
protected:
    Form2& start() {
        storeSettings(testBedSettings());
        StartProgram();
        EXPECT_TRUE(Form2Exists());
        Form2& form = TheForm2();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&form));
        return form;
    }

    static int ticked(TableList& list) {
        int count = 0;
        for (int position = 1; position <= list.count(); ++position)
            count += list.entry(position).checked ? 1 : 0;
        return count;
    }
};

} // namespace

TEST_F(TableWindow, OpensWithEveryTableUntickedInButtonFace) {
    Form2& form = start();
    TableList& list = form.tableList();
    EXPECT_GT(positionOf(list, QStringLiteral("twin"), QStringLiteral("public")), 0);
    EXPECT_GT(positionOf(list, QStringLiteral("twin"), QStringLiteral("other")), 0);
    EXPECT_EQ(ticked(list), 0);
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Kestrove"));
    EXPECT_EQ(form.palette().color(QPalette::Window), ButtonFace());
    // Without a style file the setup window keeps its white.
    EXPECT_EQ(TheForm1().palette().color(QPalette::Window), QColor(Qt::white));
    auto* bar = control<QProgressBar>(form, "ProgressBar1");
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(bar->text(), QStringLiteral("Progress Bar"));
}

TEST_F(TableWindow, SelectAllAndDeselectAllReachEveryEntry) {
    Form2& form = start();
    TableList& list = form.tableList();
    click(form, "PushButton8");
    EXPECT_EQ(ticked(list), list.count());
    click(form, "PushButton9");
    EXPECT_EQ(ticked(list), 0);

    // An empty list: nothing to tick, and "Finish" does nothing.
    list.clear();
    click(form, "PushButton8");
    click(form, "PushButton5");
    EXPECT_TRUE(boxes->boxes.empty());
    EXPECT_TRUE(opened.isEmpty());
}

TEST_F(TableWindow, FinishWritesTheWorkbookKeepsTheWindowAnsweringAndSaysDone) {
    Form2& form = start();
    TableList& list = form.tableList();
    list.setChecked(positionOf(list, QStringLiteral("twin"), QStringLiteral("public")), true);
    list.setChecked(positionOf(list, QStringLiteral("numbers"), QStringLiteral("export")), true);

    // What the user sees and does while the import runs: the hourglass over every place,
    // and a minimised window.
    std::vector<int> pointers;
    QTimer during;
    QObject::connect(&during, &QTimer::timeout, [&] {
        if (!form.importRunning() || !pointers.empty())
            return;
        for (const char* place : {"PushButton8", "PushButton2", "ListView1"}) {
            QTest::mouseMove(control<QWidget>(form, place));
            QApplication::processEvents();
            pointers.push_back(form.pointer().value());
        }
        form.showMinimized();
    });
    during.start(0);
    click(form, "PushButton5");
    during.stop();

    EXPECT_EQ(pointers, (std::vector<int>{PointerBusy, PointerBusy, PointerBusy}));
    EXPECT_FALSE(form.isMinimized());
    ASSERT_EQ(boxes->boxes.size(), 1u);
    EXPECT_EQ(boxes->boxes[0].text, QStringLiteral("Done."));
    EXPECT_EQ(boxes->boxes[0].title, QStringLiteral("Kestrove"));
    EXPECT_EQ(form.pointer().value(), PointerDefault);
    EXPECT_EQ(control<QProgressBar>(form, "ProgressBar1")->text(), QStringLiteral("Progress Bar"));
    EXPECT_FALSE(form.importRunning());

    ASSERT_EQ(opened.size(), 1);
    EXPECT_TRUE(opened[0].startsWith(workbookFolder() + QStringLiteral("/kestrove_test ")));
    const QJsonArray sheets = readWorkbook(opened[0]);
    ASSERT_EQ(sheets.size(), 2);
    // The last table's sheet comes first.
    EXPECT_EQ(sheets[0].toObject()[QStringLiteral("name")].toString(), QStringLiteral("numbers"));
    const QJsonObject twin = sheetNamed(sheets, QStringLiteral("twin"));
    EXPECT_EQ(
        twin[QStringLiteral("rows")].toArray(),
        (QJsonArray{QJsonArray{QStringLiteral("origin")}, QJsonArray{QStringLiteral("public")}}));
}
