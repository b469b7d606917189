#pragma once

// The statements this program has running on its servers, kept so that its end (a signal,
// a closed window) can cancel them: a query left behind would run on without a reader,
// holding its snapshot.

#include <atomic>
#include <chrono>

namespace kestrove::odbc {

// Marks a statement handle as running on its server while it lives: made around each
// driver call that waits for the server. Once the program is ending, a thread that would
// start a statement, or come back from one, waits for the end instead, so that nothing
// more is sent, written or reported.
class RunningStatement {
public:
    explicit RunningStatement(void* statement);
    ~RunningStatement();
    RunningStatement(const RunningStatement&) = delete;
    RunningStatement& operator=(const RunningStatement&) = delete;

    void* handle() const { return m_statement; }
    bool returned() const { return m_returned; }

private:
    void* m_statement;
    std::atomic<bool> m_returned{false};
};

// For a program about to end, on a thread of its own or in a window's handler, never in a
// signal handler: asks the server of every running statement to cancel it (the driver's
// SQLCancel, which sends the server a cancel request), and waits until each has come back,
// at most `limit`, so that a server that does not answer cannot hold the end. From then on
// no statement starts and none returns to its caller.
void cancelRunningStatements(std::chrono::milliseconds limit) noexcept;
// How long the program's end waits for its statements to be cancelled.
constexpr std::chrono::milliseconds CancelAtTheEnd{1500};

} // namespace kestrove::odbc
