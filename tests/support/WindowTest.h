#pragma once

#include "catalogue/TableList.h"
#include "connection/ConnectionString.h"
#include "support/TestBed.h"

#include <QDir>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>

namespace kestrove::test {

// A user account of its own for each test: a fresh home folder (Documents, settings), the
// message boxes recorded, a spreadsheet program present, and workbooks recorded instead of
// opened. The windows are destroyed at the end, as the next start makes them afresh.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Stores the five details as the user would have left them in a previous run.
    static void storeSettings(const ConnectionSettings& settings);
    // The stored text of a key, or nothing when it is absent.
    static std::optional<QString> storedValue(const QString& key);

    // Makes a death test's child process, which runs the test again from its start, use
    // this same home folder, so that the test can look at what the child left behind.
    void shareHomeWithChildProcess() const;

    // The folder where finished workbooks go.
    QString workbookFolder() const;

    template <class T> static T* control(QWidget& window, const char* name) {
        return window.findChild<T*>(QString::fromLatin1(name));
    }

    // Clicks a window's push button of that name.
    static void click(QWidget& window, const char* button);
    // Presses the table window's "Finish" and closes the window at the first turn the
    // import gives it once `due` holds. Closing ends the program, so returning from here
    // is a failure: the process ends with 3.
    static void finishAndCloseWhen(QWidget& window, const std::function<bool()>& due);

    // The position of the entry with that text (and schema, when one is given); 0 for none.
    static int positionOf(TableList& list, const QString& text, const QString& schema = QString());

    std::unique_ptr<MessageBoxRecorder> boxes;
    QStringList opened;
    QString home;
};

} // namespace kestrove::test
