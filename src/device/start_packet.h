// The start packet: the dividers the instrument is to scan its channels with.
#pragma once

#include "device/protocol.h"

namespace mv620::device {

// Fills `packet` as CMD_START_ACQUISITION: byte 0 the code, byte 4 zero, and byte 6 + k the low
// 8 bits of the divider of the channel at scan position k (byte 6 carries channel 3's divider,
// byte 45 channel 21's). Bytes 1 to 3 and 63 are the exchange's; byte 5 and bytes 46 to 62 carry
// nothing and are left as they are.
void encodeStartPacket(PacketBytes& packet, const ChannelDividers& dividers) noexcept;

} // namespace mv620::device
