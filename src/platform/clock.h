// The millisecond tick counter.
#pragma once

#include <cstdint>

namespace mv620::platform {

// A source of ticks: an unsigned 32-bit count of milliseconds since the system started, wrapping
// from its largest value to 0. Must be callable from any thread.
using TickSource = std::uint32_t (*)() noexcept;

// Reads the tick counter: GetTickCount on Windows, CLOCK_MONOTONIC in milliseconds (truncated to
// 32 bits) elsewhere, unless a source has been installed with setTickSource. Any thread.
std::uint32_t tickCount() noexcept;

// Installs `source` in place of the system counter, or restores the system counter when `source`
// is null. Used by the simulated instrument's virtual clock and by tests that drive the busy
// waits with a fake counter. Any thread; readers see the new source on their next reading.
void setTickSource(TickSource source) noexcept;

} // namespace mv620::platform

namespace mv620::platform::detail {
// The system's own counter, defined by each platform (posix/ or win32/system_clock.cpp).
std::uint32_t systemTicks() noexcept;
} // namespace mv620::platform::detail
