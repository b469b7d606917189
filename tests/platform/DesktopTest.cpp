#include "platform/desktop/MessageBoxes.h"
#include "platform/desktop/Spreadsheet.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <stdexcept>

using namespace kestrove::desktop;

namespace {

// Sets an environment variable for as long as it lives.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const QByteArray& value) : m_name(name), m_previous(qgetenv(name)) {
        qputenv(name, value);
    }
    ~ScopedVariable() { qputenv(m_name, m_previous); }

private:
    const char* m_name;
    QByteArray m_previous;
};

} // namespace

// A driver message that looks like markup is shown as written, line breaks and all.
TEST(MessageBoxes, TextIsShownPlain) {
    Qt::TextFormat format = Qt::RichText;
    QString shown;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        format = box->textFormat();
        shown = box->text();
        box->accept();
    });
    messageBoxes().show(QStringLiteral("<b>bold</b>\r\nnext line"), StyleExclamation, QStringLiteral("Title"));
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_EQ(shown, QStringLiteral("<b>bold</b>\nnext line"));
}

// A desktop default whose program is gone does not count as a spreadsheet program.
TEST(SpreadsheetProgram, DesktopEntriesCountOnlyWhenTheirProgramIsThere) {
    QTemporaryDir data;
    ASSERT_TRUE(QDir().mkpath(data.filePath(QStringLiteral("applications"))));
    const auto entry = [&](const char* name, const char* exec) {
        QFile file(data.filePath(QStringLiteral("applications/") + QLatin1String(name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("[Desktop Entry]\nType=Application\nName=x\nExec=") + exec + " %U\n");
    };
    entry("present.desktop", "sh");
    entry("gone.desktop", "/opt/no-such-program/bin/calc");
    ScopedVariable dataDirs("XDG_DATA_DIRS", data.path().toUtf8());
    ScopedVariable dataHome("XDG_DATA_HOME", data.filePath(QStringLiteral("nothing")).toUtf8());
    EXPECT_TRUE(desktopEntryRuns(QStringLiteral("present.desktop")));
    EXPECT_FALSE(desktopEntryRuns(QStringLiteral("gone.desktop")));
    EXPECT_FALSE(desktopEntryRuns(QStringLiteral("never-installed.desktop")));
}

// Without xdg-open nothing can open the workbook: that is a failure, not silence.
TEST(SpreadsheetProgram, OpeningWithoutXdgOpenFails) {
    QTemporaryDir empty;
    ScopedVariable path("PATH", empty.path().toUtf8());
    EXPECT_THROW(openInSpreadsheetProgram(empty.filePath(QStringLiteral("book.xlsx"))), std::runtime_error);
}
