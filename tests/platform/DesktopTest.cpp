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
    ScopedVariable(const char* name, const QByteArray& value)
        : m_name(name), m_previous(qgetenv(name)) {
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
    messageBoxes().show(QStringLiteral("<b>bold</b>\r\nnext line"), StyleExclamation,
                        QStringLiteral("Title"));
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
    EXPECT_THROW(openInSpreadsheetProgram(empty.filePath(QStringLiteral("book.xlsx"))),
                 std::runtime_error);
}

// Workbooks of one database made in the same second get names of their own: the second
// one " (2)", never the first one's name again.
TEST(SpreadsheetProgram, TwoWorkbooksInOneSecondGetNamesOfTheirOwn) {
    QTemporaryDir home;
    const ScopedVariable homeVariable("HOME", home.path().toUtf8());
    const ScopedVariable documents("XDG_CONFIG_HOME",
                                   home.filePath(QStringLiteral("config")).toUtf8());
    QString first, second;
    // Made again should the clock pass to the next second in between.
    for (int attempt = 0; attempt < 5; ++attempt) {
        first = newWorkbookPath(QStringLiteral("sales/2024"));
        QFile made(first);
        ASSERT_TRUE(made.open(QIODevice::WriteOnly)) << first.toStdString();
        made.close();
        second = newWorkbookPath(QStringLiteral("sales/2024"));
        if (second.left(second.size() - 9) == first.left(first.size() - 5))
            break;
    }
    EXPECT_TRUE(first.startsWith(home.filePath(QStringLiteral("Documents/Kestrove/sales_2024 "))))
        << first.toStdString();
    EXPECT_TRUE(first.endsWith(QStringLiteral(".xlsx")));
    EXPECT_EQ(second, first.left(first.size() - 5) + QStringLiteral(" (2).xlsx"));
}
