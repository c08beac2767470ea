// The busy wait on the millisecond tick counter that paces the instrument's protocol.
#pragma once

#include <cstdint>

namespace mv620::device {

// Waits N milliseconds by reading the tick counter (platform::tickCount) in a tight loop,
// neither sleeping nor yielding. It ends at the first reading `now` at which now - N (modulo
// 2^32) is at least the first reading, or at which now is N or less: so it ends at once in the
// first N milliseconds after the system started, and at the first reading after the counter
// wraps. It also ends when a reading lies below the first one (the counter wrapped, or jumped
// back) although above N: the wait then never spins for the 49 days until the counter returns.
void waitTicks(std::uint32_t milliseconds) noexcept;

} // namespace mv620::device
