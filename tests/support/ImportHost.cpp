#include "support/ImportHost.h"

#include "support/Process.h"
#include "support/TestBed.h"

#include <QCoreApplication>
#include <QJsonDocument>

#include <stdexcept>

namespace kestrove::test {

RecordingImportHost::RecordingImportHost() {
    if (!m_folder.isValid())
        throw std::runtime_error("no temporary folder");
}

ConnectionSettings RecordingImportHost::connectionSettings() const {
    return settings ? *settings : testBedSettings();
}

void RecordingImportHost::yield() {
    QCoreApplication::processEvents();
    if (onYield)
        onYield();
}

QString RecordingImportHost::workbookPath(const ConnectionSettings&) {
    const QString name = QStringLiteral("workbook-%1.xlsx").arg(opened.size() + 1);
    return workbookFolder.isEmpty() ? m_folder.filePath(name) : workbookFolder + QLatin1Char('/') + name;
}

void RecordingImportHost::tick(const QString& table, const QString& schema) {
    list.add(table, schema);
    list.setChecked(list.count(), true);
}

QJsonArray readWorkbook(const QString& path) {
    const ProcessResult reader =
        runProcess(QStringLiteral("/usr/bin/python3"), {QStringLiteral(KESTROVE_TEST_SUPPORT_DIR "/read_xlsx.py"), path});
    if (reader.status != 0)
        throw std::runtime_error("openpyxl could not read " + path.toStdString() + ": " + reader.err.toStdString());
    return QJsonDocument::fromJson(reader.out).array();
}

QStringList tabNames(const QJsonArray& sheets) {
    QStringList names;
    for (const auto& sheet : sheets)
        names << sheet.toObject().value(QStringLiteral("name")).toString();
    return names;
}

QJsonObject sheetNamed(const QJsonArray& sheets, const QString& name) {
    for (const auto& sheet : sheets)
        if (sheet.toObject().value(QStringLiteral("name")).toString() == name)
            return sheet.toObject();
    return {};
}

} // namespace kestrove::test
