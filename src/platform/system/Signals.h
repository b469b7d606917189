#pragma once

// The program's end on a signal (SIGINT, SIGTERM, SIGHUP: a key, a kill, a logout), taken
// on a thread of its own, and the immediate exit that follows.

#include <functional>

namespace kestrove::system {

// Takes those signals on a thread of its own, which calls `ending` with each. The threads
// started afterwards leave them to it: call this before any other thread starts.
void takeEndingSignalsOnThread(std::function<void(int signal)> ending);

// Ends the process at once with the status, running no clean-up. Async-signal-safe.
[[noreturn]] void exitAtOnce(int status) noexcept;

} // namespace kestrove::system
