#include "export/OutputFile.h"

#include "platform/workbook/LeftoverFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kestrove {

namespace {

QByteArray encoded(const QString& path) { return QFile::encodeName(path); }

// Renames without replacing anything; false when `to` exists.
bool renameWithoutReplacing(const QString& from, const QString& to) {
    if (::renameat2(AT_FDCWD, encoded(from).constData(), AT_FDCWD, encoded(to).constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    if (errno != EINVAL && errno != ENOSYS)
        throw std::runtime_error(std::strerror(errno));
    // A file system that cannot rename that way: a second name, then the first goes.
    if (::link(encoded(from).constData(), encoded(to).constData()) == 0) {
        ::unlink(encoded(from).constData());
        return true;
    }
    if (errno == EEXIST)
        return false;
    if (QFileInfo::exists(to) || QFileInfo(to).isSymLink())
        return false;
    if (::rename(encoded(from).constData(), encoded(to).constData()) != 0)
        throw std::runtime_error(std::strerror(errno));
    return true;
}

} // namespace

std::optional<QString> OutputFile::problem(const QString& path, bool replace) {
    const QFileInfo file(path);
    if (file.isDir())
        return QStringLiteral("%1 is a folder").arg(path);
    const QFileInfo folder(file.absolutePath());
    if (!folder.exists())
        return QStringLiteral("the folder %1 does not exist").arg(folder.filePath());
    if (!folder.isDir())
        return QStringLiteral("%1 is not a folder").arg(folder.filePath());
    if (::access(encoded(folder.filePath()).constData(), W_OK | X_OK) != 0)
        return QStringLiteral("cannot write in the folder %1: %2")
            .arg(folder.filePath(), QString::fromLocal8Bit(std::strerror(errno)));
    struct stat status {};
    if (::lstat(encoded(path).constData(), &status) == 0) {
        if (!replace)
            return QStringLiteral("%1 exists already (--force replaces it)").arg(path);
        // A device or a pipe in the workbook's place is never replaced by a file.
        if (!S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode))
            return QStringLiteral("%1 is not a plain file").arg(path);
    }
    return std::nullopt;
}

OutputFile::OutputFile(const QString& target, bool replace) : m_target(target), m_replace(replace) {
    const QFileInfo file(target);
    do {
        m_written = file.absolutePath() + QStringLiteral("/.") + file.fileName() +
                    QStringLiteral(".kestrove-%1.xlsx").arg(QRandomGenerator::global()->generate64(), 16, 16,
                                                            QLatin1Char('0'));
    } while (QFileInfo::exists(m_written));
    workbook::registerLeftover(encoded(m_written).toStdString());
}

OutputFile::~OutputFile() {
    if (!m_placed)
        ::unlink(encoded(m_written).constData());
    workbook::unregisterLeftover(encoded(m_written).toStdString());
}

QString OutputFile::place(bool succeeded) {
    // Moved or not, the written workbook is the user's from here on: never removed.
    m_placed = true;
    struct stat old {};
    const bool taken = ::lstat(encoded(m_target).constData(), &old) == 0;
    if (taken && m_replace && succeeded) {
        // The replaced file's permission bits stay, of the file a link points to; a link
        // to nothing leaves the new file's own.
        struct stat followed {};
        const bool linked = ::stat(encoded(m_target).constData(), &followed) == 0;
        if ((linked && ::chmod(encoded(m_written).constData(), followed.st_mode & 07777) != 0) ||
            ::rename(encoded(m_written).constData(), encoded(m_target).constData()) != 0)
            throw std::runtime_error("it could not replace " + m_target.toStdString() + ": " + std::strerror(errno));
        return m_target;
    }
    if (!taken && renameWithoutReplacing(m_written, m_target))
        return m_target;
    const QFileInfo file(m_target);
    QString stem = file.fileName();
    if (stem.endsWith(QLatin1String(".xlsx"), Qt::CaseInsensitive))
        stem.chop(5);
    for (int n = 1; n < 1000; ++n) {
        const QString beside = file.absolutePath() + QLatin1Char('/') + stem + QStringLiteral(".incomplete") +
                               (n > 1 ? QStringLiteral("-%1").arg(n) : QString()) + QStringLiteral(".xlsx");
        if (renameWithoutReplacing(m_written, beside))
            return beside;
    }
    throw std::runtime_error("it found no free name beside " + m_target.toStdString());
}

} // namespace kestrove
