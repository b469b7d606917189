#include "platform/odbc/RunningStatements.h"

#include <sql.h>

#include <algorithm>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrove::odbc {

namespace {

using Clock = std::chrono::steady_clock;

// A cancel request that reaches the server before its statement does is lost: a statement
// still running this long after its request is asked again.
constexpr auto AskAgainAfter = std::chrono::milliseconds(200);
constexpr auto Poll = std::chrono::milliseconds(5);

struct Registry {
    std::mutex mutex;
    std::vector<RunningStatement*> running;
    bool ending = false;
};

// Never destroyed: threads may still reach it while the program's statics go.
Registry& registry() {
    static Registry* const instance = new Registry;
    return *instance;
}

[[noreturn]] void waitForTheEnd() {
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

bool allReturned(const std::vector<RunningStatement*>& running) {
    return std::all_of(running.begin(), running.end(),
                       [](const RunningStatement* statement) { return statement->returned(); });
}

// Cancels the statements until each has come back or the deadline passes. The registry
// stays locked throughout, so that no statement's handle is freed while it is cancelled.
void cancelUntilReturned(Clock::time_point deadline) {
    Registry& state = registry();
    const std::lock_guard lock(state.mutex);
    while (!allReturned(state.running) && Clock::now() < deadline) {
        for (RunningStatement* statement : state.running)
            if (!statement->returned())
                SQLCancel(static_cast<SQLHSTMT>(statement->handle()));
        const auto askAgain = std::min(deadline, Clock::now() + AskAgainAfter);
        while (!allReturned(state.running) && Clock::now() < askAgain)
            std::this_thread::sleep_for(Poll);
    }
}

} // namespace

RunningStatement::RunningStatement(void* statement) : m_statement(statement) {
    Registry& state = registry();
    std::unique_lock lock(state.mutex);
    if (state.ending) {
        lock.unlock();
        waitForTheEnd();
    }
    state.running.push_back(this);
}

RunningStatement::~RunningStatement() {
    m_returned = true;
    Registry& state = registry();
    std::unique_lock lock(state.mutex);
    if (state.ending) {
        lock.unlock();
        waitForTheEnd();
    }
    state.running.erase(std::find(state.running.begin(), state.running.end(), this));
}

void cancelRunningStatements(std::chrono::milliseconds limit) noexcept {
    Registry& state = registry();
    {
        const std::lock_guard lock(state.mutex);
        if (state.ending)
            return;
        state.ending = true;
        if (state.running.empty())
            return;
    }
    // On a thread of its own, which the end of the program leaves behind where a cancel
    // request waits on a server that does not answer.
    const Clock::time_point deadline = Clock::now() + limit;
    try {
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> cancelled = done->get_future();
        std::thread([done, deadline] {
            cancelUntilReturned(deadline);
            done->set_value();
        }).detach();
        cancelled.wait_until(deadline);
    } catch (const std::exception&) {
        // No thread to be had: the end comes without the cancel.
    }
}

} // namespace kestrove::odbc
