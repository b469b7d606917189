#include "platform/desktop/Spreadsheet.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <stdexcept>
#include <utility>

namespace kestrove::desktop {

namespace {
std::function<QString()> g_finder;
std::function<void(const QString&)> g_opener;
} // namespace

void setSpreadsheetProgramFinder(std::function<QString()> finder) {
    g_finder = std::move(finder);
}

void setWorkbookOpener(std::function<void(const QString&)> opener) {
    g_opener = std::move(opener);
}

QString newWorkbookPath(const QString& database) {
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        documents = QDir::homePath();
    const QString folder = documents + QStringLiteral("/Kestrove");
    QDir().mkpath(folder);
    QString base = database;
    base.replace(QLatin1Char('/'), QLatin1Char('_'));
    base.remove(QChar(0));
    if (base.trimmed().isEmpty())
        base = QStringLiteral("Kestrove");
    const QString stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH.mm.ss"));
    QString path =
        folder + QLatin1Char('/') + base + QLatin1Char(' ') + stamp + QStringLiteral(".xlsx");
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = folder + QLatin1Char('/') + base + QLatin1Char(' ') + stamp + QStringLiteral(" (") +
               QString::number(n) + QStringLiteral(").xlsx");
    return path;
}

void openInSpreadsheetProgram(const QString& path) {
    if (g_opener) {
        g_opener(path);
        return;
    }
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty())
        throw std::runtime_error(
            "xdg-open, which opens files in the desktop's programs, was not found.");
    if (!QProcess::startDetached(opener, {path}))
        throw std::runtime_error("xdg-open could not be started.");
}

bool desktopEntryRuns(const QString& desktopFile) {
    const QString entry = QStandardPaths::locate(QStandardPaths::ApplicationsLocation, desktopFile);
    if (entry.isEmpty())
        return false;
    QFile file(entry);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (!line.startsWith(QStringLiteral("Exec=")))
            continue;
        const QStringList words = QProcess::splitCommand(line.mid(5));
        return !words.isEmpty() && !QStandardPaths::findExecutable(words.first()).isEmpty();
    }
    return false;
}

QString findSpreadsheetProgram() {
    if (g_finder)
        return g_finder();
    QProcess query;
    query.start(
        QStringLiteral("xdg-mime"),
        {QStringLiteral("query"), QStringLiteral("default"),
         QStringLiteral("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet")});
    if (query.waitForFinished(5000) && query.exitCode() == 0) {
        const QString desktopFile = QString::fromLocal8Bit(query.readAllStandardOutput()).trimmed();
        if (!desktopFile.isEmpty() && desktopEntryRuns(desktopFile))
            return desktopFile;
    }
    for (const char* program :
         {"libreoffice", "soffice", "localc", "gnumeric", "onlyoffice-desktopeditors"}) {
        const QString found = QStandardPaths::findExecutable(QString::fromLatin1(program));
        if (!found.isEmpty())
            return found;
    }
    return QString();
}

} // namespace kestrove::desktop
