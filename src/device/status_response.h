// The instrument's answer to CMD_STATUS.
#pragma once

#include <cstdint>

#include "device/protocol.h"

namespace mv620::device {

// The status byte: byte 3 of the response. Its meaning is the firmware's.
inline std::uint8_t statusByteOf(const PacketBytes& response) noexcept { return response[3]; }

} // namespace mv620::device
