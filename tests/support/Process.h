#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

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

} // namespace kestrove::test
