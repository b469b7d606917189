#pragma once

// The controlling terminal: a question asked with the answer not shown, as psql asks for
// a password, its echo put back after a question cut short, and whether standard error
// shows on a terminal.

#include <optional>
#include <string>

namespace kestrove::system {

// Asks on the controlling terminal whatever standard input and error are, the answer not
// shown; the line typed, without its end. Absent when the program has no controlling
// terminal (cron, a service).
std::optional<std::string> askWithoutEcho(const std::string& question);

// Shows typed text again on a terminal left without echo by a question cut short.
// Async-signal-safe.
void restoreTerminalEcho() noexcept;

bool standardErrorIsTerminal();

} // namespace kestrove::system
