// The 64-byte command packets: sequence numbers, checksum and the exchange of one command.
#include "device/device_connection.h"
#include "device/wait_ticks.h"

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

bool DeviceConnection::exchange(PacketBytes& response, PacketBytes& packet) noexcept {
    sequenceCounter_ = nextSequence(sequenceCounter_);
    stampPacket(packet, sequenceCounter_);
    const bool written = bulkWrite(packet.data(), kPacketBytes);
    waitTicks(100);
    if (packet[0] == CMD_START_ACQUISITION) {
        return written; // the instrument answers the start with its sample stream, not a response
    }
    const bool read = bulkRead(response.data(), kPacketBytes);
    return written && read;
}

} // namespace mv620::device
