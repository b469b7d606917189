#pragma once

// How often the import gives the window its turn: at most every ~30 ms, rather than for
// every cell.

#include "export/ImportHost.h"

#include <chrono>

namespace kestrove {

// Yields to the window system and says when the status text is due again.
class Pacer {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto YieldEvery = std::chrono::milliseconds(30);

    explicit Pacer(ImportHost& host) : m_host(host), m_last(Clock::now()) {}

    // Whether the window's turn is due; the clock is read only every 32nd time.
    bool due() {
        if (++m_ticks % 32 != 0)
            return false;
        return Clock::now() - m_last >= YieldEvery;
    }
    void yield() {
        m_host.yield();
        m_last = Clock::now();
    }

private:
    ImportHost& m_host;
    Clock::time_point m_last;
    unsigned m_ticks = 0;
};

} // namespace kestrove
