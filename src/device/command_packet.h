// The frame of every 64-byte command packet: the sequence number and the checksum.
#pragma once

#include <cstdint>

#include "device/protocol.h"

namespace mv620::device {

// Stamps a packet for sending: byte 1 takes the low 8 bits of `sequence`, bytes 2 and 3 become 0
// and byte 63 the one's complement of the 8-bit sum of bytes 0 to 62, so that all 64 bytes add
// up to 0xFF.
void stampPacket(PacketBytes& packet, std::int32_t sequence) noexcept;

// The sequence counter's next value: 1, 2, ..., 256, then 0, so the bytes sent run 1 .. 255, 0,
// 0, 1, ... (the pattern repeats every 257 exchanges).
std::int32_t nextSequence(std::int32_t counter) noexcept;

} // namespace mv620::device
