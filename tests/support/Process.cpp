#include "support/Process.h"

#include <QDir>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace kestrove::test {

ProcessResult runProcess(const QString& program, const QStringList& arguments, const QStringList& environment) {
    // Everything the child needs is made before the fork: after it, only exec.
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const std::size_t equals = text.find('=');
        variables[text.substr(0, equals)] = equals == std::string::npos ? "" : text.substr(equals + 1);
    }
    for (const QString& change : environment) {
        const std::string text = change.toStdString();
        if (text.front() == '-')
            variables.erase(text.substr(1));
        else
            variables[text.substr(0, text.find('='))] = text.substr(text.find('=') + 1);
    }
    std::vector<std::string> envStrings, argStrings{program.toStdString()};
    for (const auto& [name, value] : variables)
        envStrings.push_back(name + "=" + value);
    for (const QString& argument : arguments)
        argStrings.push_back(argument.toStdString());
    std::vector<char*> envp, argv;
    for (auto& text : envStrings)
        envp.push_back(text.data());
    for (auto& text : argStrings)
        argv.push_back(text.data());
    envp.push_back(nullptr);
    argv.push_back(nullptr);

    int out[2], err[2];
    ProcessResult result;
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return result;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        const int nothing = ::open("/dev/null", O_RDONLY);
        ::dup2(nothing, STDIN_FILENO);
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    pollfd streams[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    QByteArray* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0 && child > 0) {
        if (::poll(streams, 2, -1) < 0 && errno != EINTR)
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
    int status = 0;
    if (child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}

TinyFileSystem::TinyFileSystem(const QString& size) {
    m_mounted = runProcess(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                                     QStringLiteral("size=") + size, QStringLiteral("tmpfs"), path()})
                    .status == 0;
}

TinyFileSystem::~TinyFileSystem() {
    if (m_mounted)
        runProcess(QStringLiteral("umount"), {path()});
}

QStringList TinyFileSystem::entries() const {
    return QDir(path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace kestrove::test
