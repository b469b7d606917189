#pragma once

// Waiting for another thread while the caller's thread keeps its turns: every few
// milliseconds the wait lets go and calls the caller's `whileWaiting`, so that a window
// stays answering.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <utility>

namespace kestrove::system {

using Waiter = std::function<void()>;

// How long a wait lasts between two turns of the caller.
constexpr auto WaitStep = std::chrono::milliseconds(10);

// Waits on `changed` until `ready` holds. Between steps the lock is let go while
// `whileWaiting`, when given, runs.
template <class Ready>
void waitYielding(std::condition_variable& changed, std::unique_lock<std::mutex>& lock,
                  Ready&& ready, const Waiter& whileWaiting) {
    while (!changed.wait_for(lock, WaitStep, ready)) {
        if (!whileWaiting)
            continue;
        lock.unlock();
        whileWaiting();
        lock.lock();
    }
}

// Whether the caller has a turn before the first step, also when the work ends at once.
enum class FirstTurn { AfterAStep, AtOnce };

// Runs `work` on a thread of its own and waits for it in steps. Returns its result, or
// rethrows its failure.
template <class Work>
auto runYielding(Work&& work, const Waiter& whileWaiting, FirstTurn first = FirstTurn::AfterAStep) {
    auto done = std::async(std::launch::async, std::forward<Work>(work));
    if (first == FirstTurn::AtOnce && whileWaiting)
        whileWaiting();
    while (done.wait_for(WaitStep) != std::future_status::ready)
        if (whileWaiting)
            whileWaiting();
    return done.get();
}

} // namespace kestrove::system
