#pragma once

// Programs the tests run: to their end, started for a test that acts while they run, or
// on a pseudo-terminal that answers their questions; and a small file system to fill.

#include "support/System.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <optional>

namespace kestrove::test {

struct ProcessResult {
    int status = -1; // the exit code; -1 when it did not end normally
    QByteArray out;
    QByteArray err;
    bool killed = false; // ended for running past its time limit
};

// How long a program a test runs may take before it is ended: a hung one fails its test
// rather than the whole run.
constexpr std::chrono::seconds ProcessTimeLimit{300};

// Runs a program found on PATH to its end, with `environment` changes ("NAME=value" sets,
// "-NAME" removes) on top of this process's environment. A plain fork and exec, rather
// than QProcess's vfork-like start, which ThreadSanitizer cannot follow. The program runs
// in a session of its own, without a controlling terminal, as from cron.
ProcessResult runProcess(const QString& program, const QStringList& arguments,
                         const QStringList& environment = {},
                         std::chrono::seconds limit = ProcessTimeLimit);

// A program started as runProcess starts it, for a test that acts while it runs.
class StartedProcess {
public:
    StartedProcess(const QString& program, const QStringList& arguments,
                   const QStringList& environment = {});
    ~StartedProcess(); // ends it if it still runs
    StartedProcess(const StartedProcess&) = delete;
    StartedProcess& operator=(const StartedProcess&) = delete;

    int pid() const { return m_pid; }
    // Sends a signal to it.
    void signal(Signal sent) const;
    // What it holds open, as /proc shows the targets of its descriptors.
    QStringList openFiles() const;
    // Waits for its end and collects its output; past `limit` it and its children are
    // killed.
    ProcessResult finish(std::chrono::seconds limit = ProcessTimeLimit);

private:
    int m_pid = -1;
    int m_out = -1;
    int m_err = -1;
};

// Runs a program with a new pseudo-terminal as its controlling terminal and its standard
// streams; whenever its output ends with `question`, types `answer` and a newline, or,
// given `signalInstead`, sends it that signal. `out` holds everything it showed there;
// `asked` how many times it asked; `echoing` whether the terminal shows typed text at its end.
struct TerminalResult {
    int status = -1;
    QByteArray out;
    int asked = 0;
    bool echoing = false;
};
TerminalResult runInTerminal(const QString& program, const QStringList& arguments,
                             const QStringList& environment, const QByteArray& question,
                             const QByteArray& answer,
                             std::optional<Signal> signalInstead = std::nullopt);

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
