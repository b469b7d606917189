#include "connection/Form1.h"
#include "app/LookAndFeel.h"
#include "app/Settings.h"
#include "app/WindowFlow.h"
#include "support/WindowTest.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace kestrove;
using namespace kestrove::test;

namespace {

class SetupWindow : public WindowTest {
protected:
    // Starts with details that do not connect, so that the setup window stays.
    Form1& start(const QString& password = QStringLiteral("not-the-password")) {
        ConnectionSettings settings = testBedSettings();
        settings.password = password;
        storeSettings(settings);
        StartProgram();
        Form1& form = TheForm1();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&form));
        QApplication::setActiveWindow(&form);
        return form;
    }

    QLineEdit* box(Form1& form, const char* name) { return control<QLineEdit>(form, name); }

    // Moves the mouse onto the middle of a control (or the given spot of it).
    static void moveOnto(QWidget* place, QPoint at = QPoint(-1, -1)) {
        QTest::mouseMove(place, at.x() < 0 ? place->rect().center() : at);
        QApplication::processEvents();
    }
};

} // namespace

TEST_F(SetupWindow, TabVisitsTheBoxesThenTheButtonsSelectingEachBoxWhole) {
    Form1& form = start();
    box(form, "Text1")->setFocus(Qt::OtherFocusReason);
    ASSERT_EQ(QApplication::focusWidget(), box(form, "Text1"));
    EXPECT_EQ(box(form, "Text1")->selectedText(), box(form, "Text1")->text());

    QStringList visited;
    for (int i = 0; i < 7; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* focus = QApplication::focusWidget();
        visited << focus->objectName();
        if (auto* edit = qobject_cast<QLineEdit*>(focus)) {
            EXPECT_EQ(edit->selectedText(), edit->text()) << edit->objectName().toStdString();
        }
    }
    EXPECT_EQ(visited, (QStringList{"Text2", "Text3", "Text4", "Text5", "PushButton3",
                                    "PushButton5", "PushButton2"}));
}

// Focus coming back from a box's context menu keeps the cursor where the user put it, so
// that Paste inserts rather than replaces.
TEST_F(SetupWindow, FocusBackFromAPopupKeepsTheSelection) {
    Form1& form = start();
    QLineEdit* server = box(form, "Text1");
    server->setFocus(Qt::OtherFocusReason);
    server->setCursorPosition(2);
    ASSERT_FALSE(server->hasSelectedText());
    QFocusEvent back(QEvent::FocusIn, Qt::PopupFocusReason);
    QApplication::sendEvent(server, &back);
    EXPECT_FALSE(server->hasSelectedText());
    QFocusEvent tab(QEvent::FocusIn, Qt::TabFocusReason);
    QApplication::sendEvent(server, &tab);
    EXPECT_EQ(server->selectedText(), server->text());
}

// A settings file that cannot be read: each restore reports its step, and the file is
// not written over with the boxes' defaults.
TEST_F(SetupWindow, UnreadableSettingsAreReportedAndNotOverwritten) {
    ASSERT_TRUE(QDir().mkpath(SettingsFilePath()));
    StartProgram();
    const std::vector<int> steps = boxes->reportedSteps();
    EXPECT_EQ(
        std::vector<int>(steps.begin(), steps.begin() + std::min<std::size_t>(5, steps.size())),
        (std::vector<int>{126, 128, 130, 132, 134}));
    EXPECT_TRUE(QFileInfo(SettingsFilePath()).isDir());
}

TEST_F(SetupWindow, EveryChangeOfABoxIsStoredAtOnce) {
    Form1& form = start();
    QLineEdit* user = box(form, "Text3");
    user->setFocus(Qt::TabFocusReason);
    // The whole text is selected on arrival, so typing replaces it.
    QTest::keyClicks(user, QStringLiteral("ab"));
    EXPECT_EQ(storedValue(QStringLiteral("PostgreSQLUser")), QStringLiteral("ab"));
    QTest::keyClick(user, Qt::Key_C);
    EXPECT_EQ(storedValue(QStringLiteral("PostgreSQLUser")), QStringLiteral("abc"));
    // Enter presses no button.
    QTest::keyClick(user, Qt::Key_Return);
    EXPECT_TRUE(boxes->boxes.empty());

    // Clearing stores an empty value, which comes back empty at the next start.
    user->selectAll();
    QTest::keyClick(user, Qt::Key_Delete);
    EXPECT_EQ(storedValue(QStringLiteral("PostgreSQLUser")), QString());
    // A port with letters is stored as typed; only its own key changes.
    box(form, "Text2")->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(box(form, "Text2"), QStringLiteral("54x"));
    EXPECT_EQ(storedValue(QStringLiteral("PostgreSQLPort")), QStringLiteral("54x"));
    EXPECT_EQ(storedValue(QStringLiteral("PostgreSQLServer")), testBedSettings().server);

    DestroyWindows();
    StartProgram();
    EXPECT_EQ(box(TheForm1(), "Text3")->text(), QString());
    EXPECT_EQ(box(TheForm1(), "Text2")->text(), QStringLiteral("54x"));
}

TEST_F(SetupWindow, PasswordIsMaskedInTheBoxAndPlainInThePrivateStore) {
    Form1& form = start();
    QLineEdit* password = box(form, "Text4");
    password->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(password, QStringLiteral("p"));
    QTest::sendKeyEvent(QTest::Click, password, Qt::Key_Adiaeresis, QStringLiteral("ä"),
                        Qt::NoModifier);
    QTest::keyClicks(password, QStringLiteral(" ss"));
    EXPECT_EQ(password->displayText(), QStringLiteral("*****"));
    EXPECT_EQ(password->text(), QStringLiteral("pä ss"));
    EXPECT_EQ(storedValue(QStringLiteral("PostgreSQLPassword")), QStringLiteral("pä ss"));
    EXPECT_EQ(QFile::permissions(SettingsFilePath()) &
                  (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup |
                   QFileDevice::WriteOther),
              QFileDevice::Permissions());
}

TEST_F(SetupWindow, HoverGivesTheHandOverButtonsAndNeverReplacesTheHourglass) {
    Form1& form = start();
    WindowPointer& pointer = form.pointer();
    auto* test = control<QPushButton>(form, "PushButton3");

    moveOnto(test);
    EXPECT_EQ(pointer.value(), PointerCustom);
    EXPECT_EQ(test->cursor().shape(), Qt::PointingHandCursor);
    // The user box and the labels have no rule: the hand stays.
    moveOnto(box(form, "Text3"));
    EXPECT_EQ(pointer.value(), PointerCustom);
    moveOnto(control<QWidget>(form, "Label1"));
    EXPECT_EQ(pointer.value(), PointerCustom);
    // The frame itself (its caption, away from any control) gives the default back.
    moveOnto(control<QGroupBox>(form, "Frame1"), QPoint(3, 3));
    EXPECT_EQ(pointer.value(), PointerDefault);

    moveOnto(control<QPushButton>(form, "PushButton2"));
    EXPECT_EQ(pointer.value(), PointerCustom);
    moveOnto(box(form, "Text1"));
    EXPECT_EQ(pointer.value(), PointerDefault);

    // While the hourglass shows, hovering changes nothing, except over the password box.
    pointer.set(PointerBusy);
    moveOnto(test);
    moveOnto(box(form, "Text5"));
    moveOnto(&form, QPoint(2, form.height() - 2));
    EXPECT_EQ(pointer.value(), PointerBusy);
    EXPECT_EQ(test->cursor().shape(), Qt::WaitCursor);
    moveOnto(box(form, "Text4"));
    EXPECT_EQ(pointer.value(), PointerDefault);
}

TEST_F(SetupWindow, TestConnectionShowsOneOfTwoMessagesAndPutsThePointerBack) {
    Form1& form = start();
    auto* test = control<QPushButton>(form, "PushButton3");
    QTest::mouseClick(test, Qt::LeftButton);
    ASSERT_EQ(boxes->boxes.size(), 1u);
    EXPECT_EQ(boxes->boxes[0].text,
              QStringLiteral("Could not connect. Please check with your administrator."));
    EXPECT_EQ(boxes->boxes[0].style, 0);
    EXPECT_EQ(boxes->boxes[0].title, QStringLiteral("Kestrove"));
    EXPECT_EQ(form.pointer().value(), PointerDefault);

    box(form, "Text4")->setText(testBedSettings().password);
    QTest::mouseClick(test, Qt::LeftButton);
    ASSERT_EQ(boxes->boxes.size(), 2u);
    EXPECT_EQ(boxes->boxes[1].text, QStringLiteral("Connection successful."));
    EXPECT_EQ(form.pointer().value(), PointerDefault);
    // Testing moves nowhere.
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(Form2Exists());
}

TEST_F(SetupWindow, HelpOnlyShowsItsText) {
    Form1& form = start();
    QTest::mouseClick(control<QPushButton>(form, "PushButton5"), Qt::LeftButton);
    ASSERT_EQ(boxes->boxes.size(), 1u);
    EXPECT_EQ(
        boxes->boxes[0].text,
        QStringLiteral("If you can not connect, please try downloading pgAdmin III. If you can "
                       "not connect with that software, you know the login information you are "
                       "providing here is incorrect.\r\n\r\nhttps://www.pgadmin.org/download/"));
    EXPECT_EQ(boxes->boxes[0].style, 0);
    EXPECT_EQ(boxes->boxes[0].title, QStringLiteral("Kestrove"));
    EXPECT_TRUE(opened.isEmpty());
}
