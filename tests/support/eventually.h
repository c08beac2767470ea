// Waiting for a condition another thread, or another process, brings about.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace mv620::testing {

// Waits until `done` holds. Not a timing assertion: the deadline only keeps a broken library,
// driver or host from hanging the suite.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::seconds patience = std::chrono::seconds(120)) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

} // namespace mv620::testing
