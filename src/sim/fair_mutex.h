// A mutex that serves its waiters in the order they came.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "platform/thread_safety.h"

namespace mv620::sim {

// A ticket lock. The simulated driver's lock is taken back to back by a thread that polls the
// ready bit without pause, and a plain mutex lets that thread take it again and again while
// another waits (a program asking for the output lines could wait seconds). Here a waiter is
// served after at most the holders that came before it. Waiters give their core away while they
// wait; every holder holds the lock for a short moment only.
class MV620_CAPABILITY("mutex") FairMutex {
public:
    void lock() noexcept MV620_ACQUIRE() {
        // Relaxed: the ticket only orders the waiters; the acquire below orders the data.
        const std::uint32_t ticket = next_.fetch_add(1, std::memory_order_relaxed);
        // Acquire: what the previous holder wrote under the lock is seen by this one.
        while (serving_.load(std::memory_order_acquire) != ticket) {
            std::this_thread::yield();
        }
    }

    void unlock() noexcept MV620_RELEASE() {
        // Only the holder writes serving_; release hands its writes to the next holder.
        serving_.store(serving_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }

private:
    std::atomic<std::uint32_t> next_{0};
    std::atomic<std::uint32_t> serving_{0};
};

} // namespace mv620::sim
