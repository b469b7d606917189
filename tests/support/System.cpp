#include "support/System.h"

#include <QFile>

#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrove::test {

unsigned permissionBits(const QString& path) {
    struct stat status {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 07777 : 0;
}

bool setPermissionBits(const QString& path, unsigned bits) {
    return ::chmod(QFile::encodeName(path).constData(), bits) == 0;
}

long processId() {
    return ::getpid();
}

int signalNumber(Signal signal) {
    switch (signal) {
    case Signal::Interrupt:
        return SIGINT;
    case Signal::Terminate:
        return SIGTERM;
    case Signal::HangUp:
        return SIGHUP;
    case Signal::Stop:
        return SIGSTOP;
    case Signal::Continue:
        return SIGCONT;
    }
    return 0;
}

bool sendSignal(long process, Signal signal) {
    return process > 0 && ::kill(static_cast<pid_t>(process), signalNumber(signal)) == 0;
}

OpenFileLimit::OpenFileLimit(unsigned files) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    m_previous = limit.rlim_cur;
    limit.rlim_cur = files;
    m_holds = ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

OpenFileLimit::~OpenFileLimit() {
    rlimit limit{};
    if (m_holds && ::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = m_previous;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

SilentListener::SilentListener() : m_socket(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (m_socket < 0)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(m_socket, 4) == 0 &&
        ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        m_port = ntohs(address.sin_port);
}

SilentListener::~SilentListener() {
    if (m_socket >= 0)
        ::close(m_socket);
}

std::optional<Account> accountNamed(const char* name) {
    const passwd* entry = ::getpwnam(name);
    if (entry == nullptr)
        return std::nullopt;
    return Account{entry->pw_uid, entry->pw_gid};
}

bool runningAsRoot() {
    return ::geteuid() == 0;
}

bool giveTo(const QString& path, const Account& account) {
    return ::chown(QFile::encodeName(path).constData(), account.user, account.group) == 0;
}

bool becomeAccount(const Account& account) {
    return ::setgid(account.group) == 0 && ::setuid(account.user) == 0;
}

} // namespace kestrove::test
