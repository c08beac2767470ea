#include "sim/device_write.h"

#include <atomic>
#include <cstring>

namespace mv620::sim {

void deviceWrite(std::uint8_t* host, const std::uint8_t* from, std::size_t n) noexcept {
    constexpr std::size_t kWord = sizeof(std::uint64_t);
    std::size_t i = 0;
    // Relaxed: the bytes carry no ordering of their own. The host learns that a transfer is
    // complete from the request's return, and readers from the block count's release store.
    for (; i < n && reinterpret_cast<std::uintptr_t>(host + i) % kWord != 0; ++i) {
        std::atomic_ref<std::uint8_t>(host[i]).store(from[i], std::memory_order_relaxed);
    }
    for (; i + kWord <= n; i += kWord) {
        std::uint64_t word = 0;
        std::memcpy(&word, from + i, kWord);
        std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(host + i))
            .store(word, std::memory_order_relaxed);
    }
    for (; i < n; ++i) {
        std::atomic_ref<std::uint8_t>(host[i]).store(from[i], std::memory_order_relaxed);
    }
}

} // namespace mv620::sim
