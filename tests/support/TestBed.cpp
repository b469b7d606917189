#include "support/TestBed.h"

#include "platform/odbc/Odbc.h"
#include "support/Process.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <map>
#include <stdexcept>

namespace kestrove::test {

namespace {
std::map<QString, QString>
readEnvFile(const QString& stateDir = QStringLiteral(KESTROVE_TESTBED_DIR)) {
    QFile file(stateDir + QStringLiteral("/connection.env"));
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("The test server is not running: run the tests through ctest.");
    std::map<QString, QString> values;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const int equals = line.indexOf('=');
        if (equals > 0)
            values[QString::fromUtf8(line.left(equals))] = QString::fromUtf8(line.mid(equals + 1));
    }
    return values;
}
ConnectionSettings settingsFrom(const std::map<QString, QString>& values) {
    return ConnectionSettings{values.at(QStringLiteral("KESTROVE_PG_SERVER")),
                              values.at(QStringLiteral("KESTROVE_PG_PORT")),
                              values.at(QStringLiteral("KESTROVE_PG_USER")),
                              values.at(QStringLiteral("KESTROVE_PG_PASSWORD")),
                              values.at(QStringLiteral("KESTROVE_PG_DATABASE"))};
}

int testBed(const QStringList& arguments) {
    return runProcess(QStringLiteral("bash"),
                      QStringList{QStringLiteral(KESTROVE_TEST_SUPPORT_DIR "/pg-testbed.sh")} +
                          arguments)
        .status;
}
} // namespace

ConnectionSettings testBedSettings() {
    static const ConnectionSettings settings = settingsFrom(readEnvFile());
    return settings;
}

QString testBedSocketFolder() {
    static const QString folder = readEnvFile().at(QStringLiteral("KESTROVE_PG_DIR"));
    return folder;
}

OwnServer::OwnServer(const QStringList& sqlFiles) {
    QTemporaryDir folder;
    folder.setAutoRemove(false);
    m_state = folder.path();
    if (testBed(QStringList{QStringLiteral("start"), m_state} + sqlFiles) != 0)
        throw std::runtime_error("a test server of its own could not be started");
    m_settings = settingsFrom(readEnvFile(m_state));
}

OwnServer::~OwnServer() {
    stop();
    QDir(m_state).removeRecursively();
}

void OwnServer::stop() {
    testBed({QStringLiteral("stop"), m_state});
}

std::vector<std::string> queryColumn(const std::string& sql) {
    odbc::Connection connection;
    connection.open(BuildConnectionString(testBedSettings()).toStdString());
    std::vector<std::string> values;
    for (odbc::RecordSet rows = connection.execute(sql); !rows.eof(); rows.moveNext())
        values.push_back(rows.value(0).value_or(""));
    return values;
}

void executeSql(const std::string& sql, const ConnectionSettings& settings) {
    odbc::Connection connection;
    connection.open(BuildConnectionString(settings).toStdString());
    odbc::RecordSet ignored = connection.execute(sql);
}

std::vector<int> MessageBoxRecorder::reportedSteps() const {
    static const QRegularExpression line(QStringLiteral("at line (\\d+)\r"));
    std::vector<int> steps;
    for (const Box& box : boxes) {
        const auto match = line.match(box.text);
        if (box.title == QStringLiteral("Application Error") && match.hasMatch())
            steps.push_back(match.captured(1).toInt());
    }
    return steps;
}

} // namespace kestrove::test
