#include "device/start_packet.h"

namespace mv620::device {

void encodeStartPacket(PacketBytes& packet, const ChannelDividers& dividers) noexcept {
    packet[0] = CMD_START_ACQUISITION;
    packet[4] = 0;
    for (std::size_t k = 0; k < kScanOrder.size(); ++k) {
        const auto channel = static_cast<std::size_t>(kScanOrder[k]);
        packet[6 + k] =
            static_cast<std::uint8_t>(static_cast<std::uint32_t>(dividers[channel]) & 0xFFU);
    }
}

} // namespace mv620::device
