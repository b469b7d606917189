#include "platform/system/Signals.h"

#include <csignal>
#include <pthread.h>
#include <unistd.h>

#include <thread>

namespace kestrove::system {

namespace {
constexpr int EndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
} // namespace

void takeEndingSignalsOnThread(std::function<void(int signal)> ending) {
    sigset_t caught;
    sigemptyset(&caught);
    for (const int signal : EndingSignals)
        sigaddset(&caught, signal);
    // Threads started from here on inherit the mask: only the waiting thread takes them.
    pthread_sigmask(SIG_BLOCK, &caught, nullptr);
    std::thread([caught, ending = std::move(ending)] {
        while (true) {
            int signal = 0;
            if (sigwait(&caught, &signal) == 0)
                ending(signal);
        }
    }).detach();
}

void exitAtOnce(int status) noexcept {
    ::_exit(status);
}

} // namespace kestrove::system
