#include "support/TestBed.h"

#include "platform/odbc/Odbc.h"

#include <QFile>
#include <QRegularExpression>

#include <map>
#include <stdexcept>

namespace kestrove::test {

namespace {
std::map<QString, QString> readEnvFile() {
    QFile file(QStringLiteral(KESTROVE_TESTBED_DIR "/connection.env"));
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
} // namespace

ConnectionSettings testBedSettings() {
    static const auto values = readEnvFile();
    return ConnectionSettings{values.at(QStringLiteral("KESTROVE_PG_SERVER")),
                              values.at(QStringLiteral("KESTROVE_PG_PORT")),
                              values.at(QStringLiteral("KESTROVE_PG_USER")),
                              values.at(QStringLiteral("KESTROVE_PG_PASSWORD")),
                              values.at(QStringLiteral("KESTROVE_PG_DATABASE"))};
}

void executeSql(const std::string& sql) {
    odbc::Connection connection;
    connection.open(BuildConnectionString(testBedSettings()).toStdString());
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
