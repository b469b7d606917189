#pragma once

// The password prompt on the controlling terminal, as psql asks it: on /dev/tty whatever
// standard input and error are, the answer not shown.

#include "connection/ConnectionSources.h"

namespace kestrove {

class TerminalPrompt final : public PasswordPrompt {
public:
    // Absent when the program has no controlling terminal (cron, a service).
    std::optional<QString> ask(const QString& question) override;
};

} // namespace kestrove
