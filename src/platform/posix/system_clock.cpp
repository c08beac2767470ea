#include <ctime>

#include "platform/clock.h"

namespace mv620::platform::detail {

// CLOCK_MONOTONIC in milliseconds, cut to 32 bits so that it wraps like GetTickCount.
std::uint32_t systemTicks() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000U +
                              static_cast<std::uint64_t>(now.tv_nsec) / 1000000U;
    return static_cast<std::uint32_t>(milliseconds);
}

} // namespace mv620::platform::detail
