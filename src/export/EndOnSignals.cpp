#include "export/EndOnSignals.h"

#include "connection/TerminalPrompt.h"
#include "platform/workbook/LeftoverFiles.h"

#include <csignal>
#include <pthread.h>
#include <unistd.h>

#include <mutex>
#include <thread>

namespace kestrove {

namespace {
std::mutex g_ending;
bool g_finishing = false;
} // namespace

EndOnSignals::EndOnSignals() {
    sigset_t caught;
    sigemptyset(&caught);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&caught, signal);
    // Threads started from here on inherit the mask: only the waiting thread takes them.
    pthread_sigmask(SIG_BLOCK, &caught, nullptr);
    std::thread([caught] {
        while (true) {
            int signal = 0;
            if (sigwait(&caught, &signal) != 0)
                continue;
            const std::lock_guard lock(g_ending);
            if (g_finishing)
                continue;
            RestoreTerminalAfterPrompt();
            workbook::removeLeftoverFilesForGood();
            ::_exit(128 + signal);
        }
    }).detach();
}

void EndOnSignals::finishing() {
    const std::lock_guard lock(g_ending);
    g_finishing = true;
}

} // namespace kestrove
