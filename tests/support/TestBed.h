#pragma once

#include "connection/ConnectionString.h"
#include "platform/desktop/MessageBoxes.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <string>
#include <vector>

namespace kestrove::test {

// The five connection values of the throwaway server that CTest starts for the tests.
ConnectionSettings testBedSettings();
// The folder of the same server's local socket, where it asks no password.
QString testBedSocketFolder();

// Runs statements on the test server as the test role (through the ODBC driver), or on
// the server and database of `settings`.
void executeSql(const std::string& sql, const ConnectionSettings& settings = testBedSettings());
// The first column of a query's rows, as text.
std::vector<std::string> queryColumn(const std::string& sql);

// A throwaway server of a test's own, which the test may stop: started with the given SQL
// files loaded, stopped and removed at the end (see pg-testbed.sh).
class OwnServer {
public:
    explicit OwnServer(const QStringList& sqlFiles = {});
    ~OwnServer();
    OwnServer(const OwnServer&) = delete;
    OwnServer& operator=(const OwnServer&) = delete;

    ConnectionSettings settings() const { return m_settings; }
    void stop();

private:
    QString m_state;
    ConnectionSettings m_settings;
};

// Records message boxes instead of showing them, for as long as it lives.
class MessageBoxRecorder final : public desktop::MessageBoxService {
public:
    struct Box {
        QString text;
        int style;
        QString title;
    };

    MessageBoxRecorder() { desktop::setMessageBoxes(this); }
    ~MessageBoxRecorder() override { desktop::setMessageBoxes(nullptr); }
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

    void show(const QString& text, int style, const QString& title) override {
        boxes.push_back(Box{text, style, title});
        if (onShow)
            onShow(boxes.back());
    }

    // The step numbers of the recorded "Application Error" reports, in order.
    std::vector<int> reportedSteps() const;

    std::vector<Box> boxes;
    // Runs as each box is shown, to act while the user would read it.
    std::function<void(const Box&)> onShow;
};

} // namespace kestrove::test
