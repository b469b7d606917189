#include "command/OutputFile.h"

#include "platform/system/Files.h"
#include "platform/workbook/LeftoverFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <stdexcept>

namespace kestrove {

std::optional<QString> OutputFile::problem(const QString& path, bool replace) {
    const QFileInfo file(path);
    if (file.isDir())
        return QStringLiteral("%1 is a folder").arg(path);
    const QFileInfo folder(file.absolutePath());
    if (!folder.exists())
        return QStringLiteral("the folder %1 does not exist").arg(folder.filePath());
    if (!folder.isDir())
        return QStringLiteral("%1 is not a folder").arg(folder.filePath());
    if (const auto reason = system::whyNotWritableFolder(folder.filePath()))
        return QStringLiteral("cannot write in the folder %1: %2").arg(folder.filePath(), *reason);
    const system::PathKind kind = system::kindOf(path);
    if (kind != system::PathKind::Missing) {
        if (!replace)
            return QStringLiteral("%1 exists already (--force replaces it)").arg(path);
        // A device or a pipe in the workbook's place is never replaced by a file.
        if (kind == system::PathKind::Other)
            return QStringLiteral("%1 is not a plain file").arg(path);
    }
    return std::nullopt;
}

OutputFile::OutputFile(const QString& target, bool replace) : m_target(target), m_replace(replace) {
    const QFileInfo file(target);
    do {
        m_written = file.absolutePath() + QStringLiteral("/.") + file.fileName() +
                    QStringLiteral(".kestrove-%1.xlsx")
                        .arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
    } while (QFileInfo::exists(m_written));
    workbook::registerLeftover(QFile::encodeName(m_written).toStdString());
}

OutputFile::~OutputFile() {
    if (!m_placed)
        system::removeFile(m_written);
    workbook::unregisterLeftover(QFile::encodeName(m_written).toStdString());
}

QString OutputFile::place(bool succeeded) {
    // Moved or not, the written workbook is the user's from here on: never removed.
    m_placed = true;
    const bool taken = system::kindOf(m_target) != system::PathKind::Missing;
    if (taken && m_replace && succeeded) {
        // The replaced file's permission bits stay.
        if (const auto reason = system::replaceKeepingPermissions(m_written, m_target))
            throw std::runtime_error("it could not replace " + m_target.toStdString() + ": " +
                                     reason->toStdString());
        return m_target;
    }
    if (!taken && system::renameWithoutReplacing(m_written, m_target))
        return m_target;
    const QFileInfo file(m_target);
    QString stem = file.fileName();
    if (stem.endsWith(QLatin1String(".xlsx"), Qt::CaseInsensitive))
        stem.chop(5);
    for (int n = 1; n < 1000; ++n) {
        const QString beside =
            file.absolutePath() + QLatin1Char('/') + stem + QStringLiteral(".incomplete") +
            (n > 1 ? QStringLiteral("-%1").arg(n) : QString()) + QStringLiteral(".xlsx");
        if (system::renameWithoutReplacing(m_written, beside))
            return beside;
    }
    throw std::runtime_error("it found no free name beside " + m_target.toStdString());
}

} // namespace kestrove
