#include "support/Process.h"

#include <QDir>

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace kestrove::test {

namespace {

// The argument and environment vectors of an exec, made before the fork: after it, only
// exec and the calls around it.
struct Exec {
    std::vector<std::string> envStrings;
    std::vector<std::string> argStrings;
    std::vector<char*> envp;
    std::vector<char*> argv;

    Exec(const QString& program, const QStringList& arguments, const QStringList& environment) {
        std::map<std::string, std::string> variables;
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            const std::size_t equals = text.find('=');
            variables[text.substr(0, equals)] =
                equals == std::string::npos ? "" : text.substr(equals + 1);
        }
        for (const QString& change : environment) {
            const std::string text = change.toStdString();
            if (text.front() == '-')
                variables.erase(text.substr(1));
            else
                variables[text.substr(0, text.find('='))] = text.substr(text.find('=') + 1);
        }
        argStrings.push_back(program.toStdString());
        for (const auto& [name, value] : variables)
            envStrings.push_back(name + "=" + value);
        for (const QString& argument : arguments)
            argStrings.push_back(argument.toStdString());
        for (auto& text : envStrings)
            envp.push_back(text.data());
        for (auto& text : argStrings)
            argv.push_back(text.data());
        envp.push_back(nullptr);
        argv.push_back(nullptr);
    }

    [[noreturn]] void run() {
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
};

int exitStatus(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

StartedProcess::StartedProcess(const QString& program, const QStringList& arguments,
                               const QStringList& environment) {
    Exec exec(program, arguments, environment);
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return;
    }
    m_pid = ::fork();
    if (m_pid == 0) {
        ::setsid();
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        const int nothing = ::open("/dev/null", O_RDONLY);
        ::dup2(nothing, STDIN_FILENO);
        exec.run();
    }
    ::close(out[1]);
    ::close(err[1]);
    m_out = out[0];
    m_err = err[0];
}

StartedProcess::~StartedProcess() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        finish();
    }
}

void StartedProcess::signal(Signal sent) const {
    sendSignal(m_pid, sent);
}

QStringList StartedProcess::openFiles() const {
    QStringList targets;
    const std::string folder = "/proc/" + std::to_string(m_pid) + "/fd";
    DIR* descriptors = ::opendir(folder.c_str());
    if (!descriptors)
        return targets;
    while (const dirent* entry = ::readdir(descriptors)) {
        char target[4096];
        const ssize_t length =
            ::readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target);
        if (length > 0)
            targets << QString::fromLocal8Bit(target, length);
    }
    ::closedir(descriptors);
    return targets;
}

ProcessResult StartedProcess::finish(std::chrono::seconds limit) {
    ProcessResult result;
    pollfd streams[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
    QByteArray* sinks[2] = {&result.out, &result.err};
    int open = (m_out >= 0) + (m_err >= 0);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (open > 0 && m_pid > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 && !result.killed) {
            // Its session holds it and whatever it started.
            ::kill(-m_pid, SIGKILL);
            ::kill(m_pid, SIGKILL);
            result.killed = true;
            result.err += "\n[killed after " +
                          QByteArray::number(static_cast<qlonglong>(limit.count())) + " s]\n";
        }
        if (result.killed && left < -std::chrono::seconds(10))
            break; // something outside its session still holds its output
        const int wait =
            result.killed ? 1000 : static_cast<int>(std::min<long long>(left.count(), 1000));
        if (::poll(streams, 2, std::max(wait, 0)) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || !(streams[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            const ssize_t got = ::read(streams[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, got);
            } else if (got == 0 || errno != EINTR) {
                ::close(streams[i].fd);
                streams[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& stream : streams)
        if (stream.fd >= 0)
            ::close(stream.fd);
    m_out = m_err = -1;
    if (m_pid > 0)
        result.status = exitStatus(m_pid);
    m_pid = -1;
    return result;
}

ProcessResult runProcess(const QString& program, const QStringList& arguments,
                         const QStringList& environment, std::chrono::seconds limit) {
    return StartedProcess(program, arguments, environment).finish(limit);
}

TerminalResult runInTerminal(const QString& program, const QStringList& arguments,
                             const QStringList& environment, const QByteArray& question,
                             const QByteArray& answer, std::optional<Signal> signalInstead) {
    Exec exec(program, arguments, environment);
    TerminalResult result;
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child < 0)
        return result;
    if (child == 0)
        exec.run();
    // A run that waits for more than a minute is ended, so that a test cannot hang.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    qsizetype answeredUpTo = 0;
    bool ended = false;
    while (!ended && std::chrono::steady_clock::now() < deadline) {
        pollfd stream{terminal, POLLIN, 0};
        if (::poll(&stream, 1, 100) < 0 && errno != EINTR)
            break;
        if (!(stream.revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        char buffer[4096];
        const ssize_t got = ::read(terminal, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ended = true; // EIO: the program's side is closed
            break;
        }
        result.out.append(buffer, got);
        if (result.out.size() > answeredUpTo && result.out.endsWith(question)) {
            ++result.asked;
            answeredUpTo = result.out.size();
            if (signalInstead) {
                sendSignal(child, *signalInstead);
                continue;
            }
            const QByteArray typed = answer + '\n';
            [[maybe_unused]] const ssize_t wrote =
                ::write(terminal, typed.constData(), typed.size());
        }
    }
    if (!ended)
        ::kill(child, SIGKILL);
    result.status = exitStatus(child);
    // The terminal's settings are the pair's: its master side reads them still.
    termios settings{};
    result.echoing = ::tcgetattr(terminal, &settings) == 0 && (settings.c_lflag & ECHO);
    ::close(terminal);
    return result;
}

TinyFileSystem::TinyFileSystem(const QString& size) {
    m_mounted = runProcess(QStringLiteral("mount"),
                           {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                            QStringLiteral("size=") + size, QStringLiteral("tmpfs"), path()})
                    .status == 0;
}

TinyFileSystem::~TinyFileSystem() {
    if (m_mounted)
        runProcess(QStringLiteral("umount"), {path()});
}

QStringList TinyFileSystem::entries() const {
    return QDir(path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                  QDir::NoDotAndDotDot);
}

} // namespace kestrove::test
