#include "support/ImportHost.h"

#include "catalogue/Form2FinishSteps.h"
#include "support/Process.h"
#include "support/TestBed.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <algorithm>
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
    return workbookFolder.isEmpty() ? m_folder.filePath(name)
                                    : workbookFolder + QLatin1Char('/') + name;
}

void RecordingImportHost::tick(const QString& table, const QString& schema) {
    list.add(table, schema);
    list.setChecked(list.count(), true);
}

void RecordingImportHost::tickQuery(const QString& name, const QString& query) {
    list.addQuery(name, query);
    list.setChecked(list.count(), true);
}

QJsonArray ImportRun::finish() {
    import.run(host, FinishSteps());
    EXPECT_FALSE(import.importRunning());
    return host.opened.empty() ? QJsonArray() : readWorkbook(host.opened.back());
}

void ImportRun::onceRowsAreWritten(std::function<void()> action) {
    host.onYield = [this, action = std::move(action), done = false]() mutable {
        if (!done && writingRows()) {
            done = true;
            action();
        }
    };
}

QString ImportRun::reportAt(int step) const {
    for (const auto& box : boxes.boxes)
        if (box.text.contains(QStringLiteral(" at line %1\r").arg(step)))
            return box.text;
    return {};
}

long ImportRun::doneBoxes() const {
    return std::count_if(boxes.boxes.begin(), boxes.boxes.end(), [](const auto& box) {
        return box.text == QStringLiteral("Done.") && box.style == 0 &&
               box.title == QStringLiteral("Kestrove");
    });
}

} // namespace kestrove::test

namespace {
// Whole sheets may hold a million rows: a failure shows their start.
void printJson(const QJsonDocument& document, std::ostream* out) {
    constexpr qsizetype Shown = 4000;
    const QByteArray json = document.toJson(QJsonDocument::Compact);
    *out << json.left(Shown).toStdString();
    if (json.size() > Shown)
        *out << "... (" << json.size() << " characters)";
}
} // namespace

void PrintTo(const QJsonArray& value, std::ostream* out) {
    printJson(QJsonDocument(value), out);
}

void PrintTo(const QJsonObject& value, std::ostream* out) {
    printJson(QJsonDocument(value), out);
}

namespace kestrove::test {

QJsonArray rowsOf(const QJsonObject& sheet) {
    return sheet.value(QStringLiteral("rows")).toArray();
}

namespace {
// The JSON a reader script of tests/support prints for a workbook.
QJsonArray printedBy(const QString& program, const char* script, const char* reader,
                     const QString& path) {
    const ProcessResult printed = runProcess(
        program, {QStringLiteral(KESTROVE_TEST_SUPPORT_DIR "/") + QLatin1String(script), path});
    if (printed.status != 0)
        throw std::runtime_error(std::string(reader) + " could not read " + path.toStdString() +
                                 ": " + printed.err.toStdString());
    return QJsonDocument::fromJson(printed.out).array();
}
} // namespace

QJsonArray readWorkbook(const QString& path) {
    return printedBy(QStringLiteral("/usr/bin/python3"), "read_xlsx.py", "openpyxl", path);
}

QString shownByLibreOffice(const QString& path) {
    QTemporaryDir folder;
    // Printed, the way a user sees the sheets: a value too wide for its column shows as
    // "###" or in scientific notation. A profile of its own, on a desktop in the C locale.
    const ProcessResult printed =
        runProcess(QStringLiteral("soffice"),
                   {QStringLiteral("-env:UserInstallation=file://") +
                        folder.filePath(QStringLiteral("profile")),
                    QStringLiteral("--headless"), QStringLiteral("--convert-to"),
                    QStringLiteral("pdf"), QStringLiteral("--outdir"), folder.path(), path},
                   // The spreadsheet shows a fraction's point as its desktop's locale writes it.
                   {QStringLiteral("LC_ALL=C.UTF-8"), QStringLiteral("LANG=C.UTF-8")});
    const QString pdf =
        folder.filePath(QFileInfo(path).completeBaseName() + QStringLiteral(".pdf"));
    const ProcessResult text = runProcess(QStringLiteral("pdftotext"),
                                          {QStringLiteral("-layout"), pdf, QStringLiteral("-")});
    if (printed.status != 0 || text.status != 0)
        throw std::runtime_error("LibreOffice could not print " + path.toStdString() + ": " +
                                 printed.err.toStdString() + text.err.toStdString());
    return QString::fromUtf8(text.out);
}

std::vector<std::pair<QString, QString>> sheetsByLibreOffice(const QString& path) {
    QTemporaryDir folder;
    // Each sheet (-1) to <name>-<sheet name>.csv, UTF-8 (76), every text quoted.
    const ProcessResult converted = runProcess(
        QStringLiteral("soffice"),
        {QStringLiteral("-env:UserInstallation=file://") +
             folder.filePath(QStringLiteral("profile")),
         QStringLiteral("--headless"), QStringLiteral("--convert-to"),
         QStringLiteral(
             "csv:Text - txt - csv (StarCalc):44,34,76,1,,0,true,false,false,false,false,-1"),
         QStringLiteral("--outdir"), folder.path(), path},
        {QStringLiteral("LC_ALL=C.UTF-8"), QStringLiteral("LANG=C.UTF-8")});
    const QString prefix = QFileInfo(path).completeBaseName() + QLatin1Char('-');
    std::vector<std::pair<QString, QString>> sheets;
    for (const QFileInfo& file : QDir(folder.path())
                                     .entryInfoList({prefix + QStringLiteral("*.csv")}, QDir::Files,
                                                    QDir::Time | QDir::Reversed)) {
        QFile csv(file.filePath());
        if (csv.open(QIODevice::ReadOnly))
            sheets.emplace_back(file.completeBaseName().mid(prefix.size()),
                                QString::fromUtf8(csv.readAll()));
    }
    if (converted.status != 0 || sheets.empty())
        throw std::runtime_error("LibreOffice could not convert " + path.toStdString() + ": " +
                                 converted.err.toStdString());
    return sheets;
}

QJsonArray shownByExcel(const QString& path) {
    return printedBy(QStringLiteral("node"), "shown_by_excel.cjs", "SheetJS", path);
}

QStringList sumsByLibreOffice(const QString& path, const QString& sheet, int lastRow, int columns,
                              const QString& function) {
    QTemporaryDir folder;
    const QString copy = folder.filePath(QStringLiteral("sums.xlsx"));
    // The sheets' parts are numbered in tab order.
    const qsizetype tab = tabNames(readWorkbook(path)).indexOf(sheet);
    const ProcessResult appended = runProcess(
        QStringLiteral("/usr/bin/python3"),
        {QStringLiteral(KESTROVE_TEST_SUPPORT_DIR "/append_sums.py"), path, copy,
         QString::number(tab + 1), QString::number(lastRow), QString::number(columns), function});
    if (tab < 0 || appended.status != 0)
        throw std::runtime_error("no sums could be added to " + path.toStdString() + ": " +
                                 appended.err.toStdString());
    for (const auto& [name, csv] : sheetsByLibreOffice(copy))
        if (name == sheet) {
            const QStringList lines = csv.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            return lines.isEmpty()
                       ? QStringList()
                       : lines.back().trimmed().remove(QLatin1Char('"')).split(QLatin1Char(','));
        }
    throw std::runtime_error("LibreOffice gave no sheet " + sheet.toStdString());
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
