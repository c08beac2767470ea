// Little-endian fields of the driver's parameter blocks, written byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mv620::device {

inline void storeLe16(std::uint8_t* at, std::uint16_t value) noexcept {
    at[0] = static_cast<std::uint8_t>(value & 0xFFU);
    at[1] = static_cast<std::uint8_t>(value >> 8U);
}

inline void storeLe32(std::uint8_t* at, std::uint32_t value) noexcept {
    for (std::size_t i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>((value >> (8U * i)) & 0xFFU);
    }
}

inline std::uint16_t loadLe16(const std::uint8_t* at) noexcept {
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8U));
}

} // namespace mv620::device
