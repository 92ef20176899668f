// Small helpers shared by the tests.
#ifndef QV_TEST_UTIL_H
#define QV_TEST_UTIL_H

#include <chrono>
#include <functional>
#include <thread>

// Polls pred every few milliseconds until it holds or timeout_ms passes.
inline bool wait_until(const std::function<bool()> &pred, int timeout_ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

#endif
