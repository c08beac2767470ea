#include "sim/virtual_clock.h"

#include "platform/clock.h"

#include <atomic>

namespace mv620::sim {

namespace {

// Plain atomics: constant-initialised, nothing to tear down at unload.
std::atomic<std::uint32_t> virtualTicks{0};
std::atomic<bool> installed{false};

} // namespace

std::uint32_t readVirtualClock() noexcept {
    return virtualTicks.fetch_add(1, std::memory_order_relaxed);
}

void startVirtualClock(std::uint32_t start) noexcept {
    virtualTicks.store(start, std::memory_order_relaxed);
    installed.store(true);
    platform::setTickSource(&readVirtualClock);
}

void stopVirtualClock() noexcept {
    if (installed.exchange(false)) {
        platform::setTickSource(nullptr);
    }
}

bool virtualClockRunning() noexcept { return installed.load(); }

} // namespace mv620::sim
