#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace kestrove::test {

struct ProcessResult {
    int status = -1; // the exit code; -1 when it did not end normally
    QByteArray out;
    QByteArray err;
};

// Runs a program found on PATH to its end, with `environment` changes ("NAME=value" sets,
// "-NAME" removes) on top of this process's environment. A plain fork and exec, rather
// than QProcess's vfork-like start, which ThreadSanitizer cannot follow.
ProcessResult runProcess(const QString& program, const QStringList& arguments,
                         const QStringList& environment = {});

// A small tmpfs mounted in a temporary folder for its owner's life, to fill a disk for
// real; mounted() is false where that is not allowed (not root).
class TinyFileSystem {
public:
    explicit TinyFileSystem(const QString& size);
    ~TinyFileSystem();
    TinyFileSystem(const TinyFileSystem&) = delete;
    TinyFileSystem& operator=(const TinyFileSystem&) = delete;

    bool mounted() const { return m_mounted; }
    QString path() const { return m_folder.path(); }
    // What it holds, hidden files included.
    QStringList entries() const;

private:
    QTemporaryDir m_folder;
    bool m_mounted = false;
};

} // namespace kestrove::test
