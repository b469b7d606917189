#include "platform/system/Terminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace kestrove::system {

namespace {
// The terminal whose echo a prompt has turned off, and its settings before; a signal
// handler puts them back.
std::atomic<int> g_quietTerminal{-1};
termios g_before{};

void writeAll(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote <= 0)
            return;
        done += static_cast<std::size_t>(wrote);
    }
}
} // namespace

std::optional<std::string> askWithoutEcho(const std::string& question) {
    const int terminal = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0)
        return std::nullopt;
    // Echo goes off before the question shows, so that no answer typed at once is shown
    // or dropped.
    const bool quiet = ::tcgetattr(terminal, &g_before) == 0;
    if (quiet) {
        termios hidden = g_before;
        hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        hidden.c_lflag |= ECHONL;
        g_quietTerminal.store(terminal);
        ::tcsetattr(terminal, TCSAFLUSH, &hidden);
    }
    writeAll(terminal, question);
    std::string line;
    char c = 0;
    while (true) {
        const ssize_t got = ::read(terminal, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || c == '\n')
            break;
        line += c;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (quiet) {
        ::tcsetattr(terminal, TCSAFLUSH, &g_before);
        g_quietTerminal.store(-1);
    } else {
        writeAll(terminal, "\n");
    }
    ::close(terminal);
    return line;
}

void restoreTerminalEcho() noexcept {
    const int terminal = g_quietTerminal.load();
    if (terminal >= 0) {
        ::tcsetattr(terminal, TCSAFLUSH, &g_before);
        static const char newline = '\n';
        [[maybe_unused]] const ssize_t ignored = ::write(terminal, &newline, 1);
    }
}

bool standardErrorIsTerminal() {
    return ::isatty(STDERR_FILENO) != 0;
}

} // namespace kestrove::system
