// The virtual millisecond clock: a tick source that advances by one millisecond on every reading,
// so that the library's busy waits of N milliseconds end after about N readings.
#pragma once

#include <cstdint>

namespace mv620::sim {

// Installs the virtual clock as the platform's tick source; its next reading returns `start`.
void startVirtualClock(std::uint32_t start) noexcept;

// Gives the platform back its own counter, if the virtual clock is installed. Any thread.
void stopVirtualClock() noexcept;

bool virtualClockRunning() noexcept;

// One reading: returns the current value and advances it by 1, wrapping past 0xFFFFFFFF.
std::uint32_t readVirtualClock() noexcept;

} // namespace mv620::sim
