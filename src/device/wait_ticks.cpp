#include "device/wait_ticks.h"

#include "platform/clock.h"

namespace mv620::device {

void waitTicks(std::uint32_t milliseconds) noexcept {
    const std::uint32_t start = platform::tickCount();
    std::uint32_t now = start;
    while (now - milliseconds < start && now > milliseconds && now >= start) {
        now = platform::tickCount();
    }
}

} // namespace mv620::device
