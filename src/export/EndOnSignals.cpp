#include "export/EndOnSignals.h"

#include "platform/system/Signals.h"
#include "platform/system/Terminal.h"
#include "platform/workbook/LeftoverFiles.h"

#include <mutex>

namespace kestrove {

namespace {
std::mutex g_ending;
bool g_finishing = false;
} // namespace

EndOnSignals::EndOnSignals() {
    system::takeEndingSignalsOnThread([](int signal) {
        const std::lock_guard lock(g_ending);
        if (g_finishing)
            return;
        system::restoreTerminalEcho();
        workbook::removeLeftoverFilesForGood();
        system::exitAtOnce(128 + signal);
    });
}

void EndOnSignals::finishing() {
    const std::lock_guard lock(g_ending);
    g_finishing = true;
}

} // namespace kestrove
