#include "device/download_packet.h"

#include <algorithm>

namespace mv620::device {

std::size_t encodeDownloadPacket(PacketBytes& packet, std::uint32_t address, WordWidth width,
                                 std::span<const std::uint32_t> words) noexcept {
    const std::size_t count = std::min(words.size(), wordsPerPacket(width));
    packet[0] = CMD_DOWNLOAD_DATA;
    packet[4] = static_cast<std::uint8_t>((address & 0x3F00U) >> 8U);
    packet[5] = static_cast<std::uint8_t>(address & 0xFFU);
    packet[6] = static_cast<std::uint8_t>(width);
    packet[7] = static_cast<std::uint8_t>(count);
    std::size_t at = 8;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t word = words[i];
        if (width == WordWidth::Bits24) {
            packet[at++] = static_cast<std::uint8_t>((word >> 16U) & 0xFFU);
        }
        packet[at++] = static_cast<std::uint8_t>((word >> 8U) & 0xFFU);
        packet[at++] = static_cast<std::uint8_t>(word & 0xFFU);
    }
    return count;
}

} // namespace mv620::device
