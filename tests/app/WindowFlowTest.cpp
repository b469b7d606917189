#include "app/WindowFlow.h"
#include "catalogue/Form2.h"
#include "connection/Form1.h"
#include "export/AvailabilityCheck.h"
#include "platform/desktop/MessageBoxes.h"
#include "platform/desktop/Spreadsheet.h"
#include "platform/odbc/Odbc.h"
#include "platform/workbook/Workbook.h"
#include "support/WindowTest.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace kestrove;
using namespace kestrove::test;

namespace {

using WindowFlow = WindowTest;
using WindowFlowDeathTest = WindowTest;

QString boxText(QWidget& form, const char* name) {
    return form.findChild<QLineEdit*>(QString::fromLatin1(name))->text();
}

// How often the catalogue query has run for a role, as the server counted it.
long catalogueQueries(const ConnectionSettings& settings) {
    odbc::Connection connection;
    connection.open(BuildConnectionString(settings).toStdString());
    odbc::RecordSet counted = connection.execute(
        "select coalesce(sum(calls), 0) from pg_stat_statements where userid = "
        "current_user::regrole and query like 'select tablename, schemaname from pg_tables%'");
    return std::stol(counted.value(0).value_or("-1"));
}

// Shows message boxes on standard error, where a death test can match them.
class PrintedMessageBoxes final : public desktop::MessageBoxService {
public:
    void show(const QString& text, int, const QString& title) override {
        std::fprintf(stderr, "[%s] %s\n", qPrintable(title), qPrintable(text));
    }
};

} // namespace

TEST_F(WindowFlow, FirstStartWithAnEmptyStoreShowsTheSetupWindowWithItsDefaults) {
    StartProgram();
    Form1& form1 = TheForm1();
    EXPECT_TRUE(form1.isVisible());
    EXPECT_FALSE(Form2Exists());
    EXPECT_EQ(boxText(form1, "Text1"), QStringLiteral("localhost"));
    EXPECT_EQ(boxText(form1, "Text2"), QStringLiteral("5432"));
    EXPECT_EQ(boxText(form1, "Text3") + boxText(form1, "Text4") + boxText(form1, "Text5"),
              QString());
    // The restored defaults are written back; the three empty boxes write nothing.
    EXPECT_EQ(storedValue(QStringLiteral("PostgreSQLServer")), QStringLiteral("localhost"));
    EXPECT_EQ(storedValue(QStringLiteral("PostgreSQLPort")), QStringLiteral("5432"));
    for (const char* key : {"PostgreSQLUser", "PostgreSQLPassword", "PostgreSQLDatabase"})
        EXPECT_FALSE(storedValue(QString::fromLatin1(key))) << key;
    EXPECT_EQ(form1.windowTitle(), QStringLiteral("Kestrove"));
    EXPECT_EQ(form1.windowIcon().availableSizes().size(), 4);
    // A failed silent check shows nothing.
    EXPECT_TRUE(boxes->boxes.empty());
}

TEST_F(WindowFlow, StoredDetailsThatConnectOpenTheTableListAtOnce) {
    storeSettings(testBedSettings());
    StartProgram();
    ASSERT_TRUE(Form2Exists());
    Form2& form2 = TheForm2();
    Form1& form1 = TheForm1();
    EXPECT_TRUE(form2.isVisible());
    EXPECT_FALSE(form1.isVisible());
    EXPECT_GT(positionOf(form2.tableList(), QStringLiteral("twin")), 0);
    // The rest of the start-up ran all the same.
    EXPECT_EQ(form1.windowTitle(), QStringLiteral("Kestrove"));
    EXPECT_FALSE(form1.windowIcon().isNull());
    EXPECT_EQ(desktop::applicationTitle(), QStringLiteral("Kestrove"));
    EXPECT_TRUE(boxes->boxes.empty());

    click(form2, "PushButton2");
    EXPECT_TRUE(form1.isVisible());
    EXPECT_FALSE(form2.isVisible());
    EXPECT_EQ(boxText(form1, "Text3"), testBedSettings().user);
    EXPECT_EQ(boxText(form1, "Text4"), testBedSettings().password);
}

TEST_F(WindowFlow, NextWithDetailsThatDoNotConnectSaysSoAndStays) {
    ConnectionSettings wrong = testBedSettings();
    wrong.password = QStringLiteral("not-the-password");
    storeSettings(wrong);
    StartProgram();
    Form1& form1 = TheForm1();
    ASSERT_TRUE(form1.isVisible());
    click(form1, "PushButton2");
    ASSERT_EQ(boxes->boxes.size(), 1u);
    EXPECT_EQ(boxes->boxes[0].text, QStringLiteral("Could not connect."));
    EXPECT_EQ(boxes->boxes[0].style, 0);
    EXPECT_EQ(boxes->boxes[0].title, QStringLiteral("Kestrove"));
    EXPECT_TRUE(form1.isVisible());
    EXPECT_FALSE(Form2Exists());
}

TEST_F(WindowFlow, TheFirstNextFillsTheListTwiceALaterOneOnce) {
    // A role that only this test uses, so that the server's count is this test's own.
    ConnectionSettings counter = testBedSettings();
    counter.user = QStringLiteral("catalogue_counter");
    counter.password = QStringLiteral("Counter-1");
    const long before = catalogueQueries(counter);
    storeSettings(counter);
    StartProgram();
    ASSERT_TRUE(Form2Exists());
    EXPECT_EQ(catalogueQueries(counter) - before, 2);

    click(TheForm2(), "PushButton2");
    TheForm2().tableList().setChecked(1, true);
    click(TheForm1(), "PushButton2");
    EXPECT_EQ(catalogueQueries(counter) - before, 3);
    // Filled afresh: the tick made before is gone.
    EXPECT_FALSE(TheForm2().tableList().entry(1).checked);
}

TEST_F(WindowFlow, NextAfterBackAndAnEditUsesTheEditedBox) {
    storeSettings(testBedSettings());
    StartProgram();
    click(TheForm2(), "PushButton2");
    Form1& form1 = TheForm1();
    QApplication::setActiveWindow(&form1);
    auto* database = form1.findChild<QLineEdit*>(QStringLiteral("Text5"));
    database->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(database, QStringLiteral("kestrove_other"));
    click(form1, "PushButton2");
    EXPECT_TRUE(TheForm2().isVisible());
    EXPECT_GT(positionOf(TheForm2().tableList(), QStringLiteral("only_in_other")), 0);
    EXPECT_EQ(positionOf(TheForm2().tableList(), QStringLiteral("twin")), 0);
}

TEST_F(WindowFlowDeathTest, ClosingEitherWindowEndsTheProgram) {
    EXPECT_EXIT(
        {
            StartProgram();
            TheForm1().close();
            std::exit(3);
        },
        ::testing::ExitedWithCode(0), "");
    storeSettings(testBedSettings());
    EXPECT_EXIT(
        {
            StartProgram();
            TheForm2().close();
            std::exit(3);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(WindowFlowDeathTest, ClosingDuringAnImportWritesAndOpensNothing) {
    storeSettings(testBedSettings());
    shareHomeWithChildProcess();
    EXPECT_EXIT(
        {
            StartProgram();
            Form2& form2 = TheForm2();
            form2.tableList().setChecked(1, true);
            form2.tableList().setChecked(
                positionOf(form2.tableList(), QStringLiteral("numbers"), QStringLiteral("export")),
                true);
            // Closes the window once rows are being copied.
            finishAndCloseWhen(form2, [&] {
                return form2.findChild<QProgressBar*>()->text().contains(QStringLiteral(", row "));
            });
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(QDir(workbookFolder()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_FALSE(QFile::exists(home + QStringLiteral("/opened-workbooks.txt")));
}

// Closed while the server reads a table for it (a second a row): the server's statement is
// cancelled, so that its process no longer runs it 2 s after the program's end.
TEST_F(WindowFlowDeathTest, ClosingDuringAnImportCancelsTheServersStatement) {
    ConnectionSettings slow = testBedSettings();
    slow.database = QStringLiteral("kestrove_slow");
    storeSettings(slow);
    shareHomeWithChildProcess();
    // The child's sessions, told apart from any other by the name of the home they share.
    const std::string name = "kestrove-window-test-" + QFileInfo(home).fileName().toStdString();
    const auto sessions = [&](const std::string& condition) {
        return std::stoi(queryColumn("SELECT count(*) FROM pg_stat_activity WHERE " + condition +
                                     " AND application_name = '" + name + "'")
                             .front());
    };
    EXPECT_EXIT(
        {
            qputenv("PGAPPNAME", name.c_str());
            StartProgram();
            Form2& form2 = TheForm2();
            form2.tableList().setChecked(positionOf(form2.tableList(), QStringLiteral("sleepy")),
                                         true);
            finishAndCloseWhen(form2, [&] { return sessions("wait_event = 'PgSleep'") > 0; });
        },
        ::testing::ExitedWithCode(0), "");
    const auto ended = std::chrono::steady_clock::now();
    while (sessions("state = 'active'") > 0 &&
           std::chrono::steady_clock::now() - ended < std::chrono::seconds(2))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(sessions("state = 'active'"), 0);
    EXPECT_TRUE(QDir(workbookFolder()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

// Closed while the workbook is being written (under its hidden name, as on a file system
// without unnamed files): nothing is left under either name, nothing is opened.
TEST_F(WindowFlowDeathTest, ClosingDuringTheSaveLeavesNoFile) {
    storeSettings(testBedSettings());
    shareHomeWithChildProcess();
    EXPECT_EXIT(
        {
            workbook::useHiddenNamesOnly(true);
            StartProgram();
            Form2& form2 = TheForm2();
            form2.tableList().setChecked(
                positionOf(form2.tableList(), QStringLiteral("numbers"), QStringLiteral("export")),
                true);
            finishAndCloseWhen(form2, [&] {
                return !QDir(workbookFolder())
                            .entryList({QStringLiteral(".*.xlsx.*")}, QDir::Files | QDir::Hidden)
                            .isEmpty();
            });
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(QDir(workbookFolder()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_FALSE(QFile::exists(home + QStringLiteral("/opened-workbooks.txt")));
}

TEST_F(WindowFlowDeathTest, WithoutASpreadsheetProgramTheStartSaysWhyAndEnds) {
    storeSettings(testBedSettings());
    EXPECT_EXIT(
        {
            PrintedMessageBoxes printed;
            desktop::setMessageBoxes(&printed);
            desktop::setSpreadsheetProgramFinder([] { return QString(); });
            StartProgram();
            std::exit(3);
        },
        ::testing::ExitedWithCode(0),
        "\\[Kestrove\\] Error 842001\\. A normal instance of Excel could not be created\\.");
}
