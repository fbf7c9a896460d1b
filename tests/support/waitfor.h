// Test helper: waits for a condition another thread or process makes true,
// with a deadline, instead of a fixed sleep or an unbounded loop.
#ifndef NB_TESTS_SUPPORT_WAITFOR_H
#define NB_TESTS_SUPPORT_WAITFOR_H

#include <chrono>
#include <thread>

// Polls cond about every millisecond until it holds (true) or timeoutMs of
// real time have passed (false). Real time, so virtual tick-count advances
// made by a test do not shorten it.
template <typename Cond>
bool WaitFor(Cond cond, int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

#endif
