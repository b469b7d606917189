#pragma once

// Files that must not outlive an early end of the program (a signal, a window closed in
// the middle of a save): each is registered while it is written under a name and removed
// by removeLeftoverFiles(), which a signal handler may call.

#include <mutex>
#include <string>

namespace kestrove::workbook {

// Registers a path; false when the fixed number of places is taken.
bool registerLeftover(const std::string& path);
// Forgets a path (it was renamed into place or removed).
void unregisterLeftover(const std::string& path);
// Removes every registered file. Async-signal-safe.
void removeLeftoverFiles() noexcept;

// Held while a file is made under a registered name or given one, so that a clean-up on a
// thread of its own never falls in between.
std::mutex& namingMutex();
// For a program about to end, from a thread rather than a signal handler: waits for a
// naming under way, then removes every registered file; no later naming can begin.
void removeLeftoverFilesForGood();

} // namespace kestrove::workbook
