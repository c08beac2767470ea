#include "sim/device_write.h"

#include <atomic>

namespace mv620::sim {

void deviceWrite(std::uint8_t* host, const std::uint8_t* from, std::size_t n) noexcept {
    // Release, byte by byte: a reader that loads one of these bytes with acquire also sees all
    // that the host's thread did before it asked for the transfer, in the library the block count
    // that took the slot out of the readers' window, so its re-check of the count cannot miss
    // the refill. (On x86 these are plain stores.)
    for (std::size_t i = 0; i < n; ++i) {
        std::atomic_ref<std::uint8_t>(host[i]).store(from[i], std::memory_order_release);
    }
}

} // namespace mv620::sim
