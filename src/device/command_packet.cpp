#include "device/command_packet.h"

namespace mv620::device {

std::int32_t nextSequence(std::int32_t counter) noexcept {
    return counter == 256 ? 0 : counter + 1;
}

void stampPacket(PacketBytes& packet, std::int32_t sequence) noexcept {
    packet[1] = static_cast<std::uint8_t>(sequence & 0xFF);
    packet[2] = 0;
    packet[3] = 0;
    unsigned sum = 0;
    for (std::size_t i = 0; i < kPacketBytes - 1; ++i) {
        sum += packet[i];
    }
    packet[kPacketBytes - 1] = static_cast<std::uint8_t>(0xFFU - (sum & 0xFFU));
}

} // namespace mv620::device
