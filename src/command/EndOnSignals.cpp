#include "command/EndOnSignals.h"

#include "platform/odbc/RunningStatements.h"
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
        // The server's statements first: a query must not run on without its reader.
        odbc::cancelRunningStatements(odbc::CancelAtTheEnd);
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
