#include "platform/system/Files.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kestrove::system {

namespace {
QByteArray encoded(const QString& path) {
    return QFile::encodeName(path);
}

QString reason(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}
} // namespace

void createPrivateFile(const QString& path) {
    const int fd =
        ::open(encoded(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return;
    ::fchmod(fd, S_IRUSR | S_IWUSR);
    ::close(fd);
}

PathKind kindOf(const QString& path) {
    struct stat status {};
    if (::lstat(encoded(path).constData(), &status) != 0)
        return PathKind::Missing;
    if (S_ISREG(status.st_mode))
        return PathKind::PlainFile;
    return S_ISLNK(status.st_mode) ? PathKind::Link : PathKind::Other;
}

std::optional<FileRights> rightsOf(const QString& path) {
    struct stat status {};
    if (::stat(encoded(path).constData(), &status) != 0)
        return std::nullopt;
    return FileRights{S_ISREG(status.st_mode), (status.st_mode & (S_IRWXG | S_IRWXO)) != 0};
}

std::optional<QString> whyNotWritableFolder(const QString& folder) {
    if (::access(encoded(folder).constData(), W_OK | X_OK) != 0)
        return reason(errno);
    return std::nullopt;
}

bool renameWithoutReplacing(const QString& from, const QString& to) {
    if (::renameat2(AT_FDCWD, encoded(from).constData(), AT_FDCWD, encoded(to).constData(),
                    RENAME_NOREPLACE) == 0)
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

std::optional<QString> replaceKeepingPermissions(const QString& from, const QString& to) {
    struct stat followed {};
    const bool linked = ::stat(encoded(to).constData(), &followed) == 0;
    if ((linked && ::chmod(encoded(from).constData(), followed.st_mode & 07777) != 0) ||
        ::rename(encoded(from).constData(), encoded(to).constData()) != 0)
        return reason(errno);
    return std::nullopt;
}

void removeFile(const QString& path) {
    ::unlink(encoded(path).constData());
}

} // namespace kestrove::system
