// The instrument's protocol as the library speaks it: driver control codes, vendor requests,
// command codes and the sizes of everything that crosses the driver.
#pragma once

#include <array>
#include <cstdint>

#include "platform/ezusb_requests.h"

namespace mv620::device {

// The driver's requests (platform/ezusb_requests.h), as the device link names them.
using platform::IOCTL_ABORT_PIPE;
using platform::IOCTL_BULK_READ;
using platform::IOCTL_BULK_WRITE;
using platform::IOCTL_GET_DEVICE_DESCRIPTOR;
using platform::IOCTL_RESET_PIPE;
using platform::IOCTL_VENDOR_REQUEST;
using platform::kDescriptorBytes;
using platform::kDevicePath;
using platform::kPipeBlockBytes;
using platform::kProductId;
using platform::kVendorId;
using platform::kVendorRequestBytes;

// Vendor requests (bRequest).
inline constexpr std::uint8_t REQ_SET_OUTPUT = 13;
inline constexpr std::uint8_t REQ_CLEAR_OUTPUT = 14;
inline constexpr std::uint8_t REQ_READ_INPUT = 15;

// Command codes, byte 0 of a command packet.
inline constexpr std::uint8_t CMD_BEGIN_DOWNLOAD = 16;
inline constexpr std::uint8_t CMD_DOWNLOAD_DATA = 17;
inline constexpr std::uint8_t CMD_STATUS = 18;
inline constexpr std::uint8_t CMD_START_ACQUISITION = 19;

// A command packet, and its response.
inline constexpr std::uint32_t kPacketBytes = 64;

// Bit 7 of the input port: a whole data block waits on the read pipe.
inline constexpr std::uint8_t kReadyBit = 0x80;

// A command packet or its response: 64 bytes on the wire.
using PacketBytes = std::array<std::uint8_t, kPacketBytes>;

// The instrument's 40 channels, and the order in which it visits them in every scan pass: scan
// position k visits channel kScanOrder[k]. The start packet lists the dividers in this order.
inline constexpr int kChannels = 40;
inline constexpr std::array<std::int32_t, kChannels> kScanOrder = {3, 31, 8, 36, 13, 17, 26, 22, //
                                                                   4, 32, 9, 37, 14, 18, 27, 23, //
                                                                   0, 28, 5, 33, 10, 38, 15, 19, //
                                                                   1, 29, 6, 34, 11, 39, 24, 20, //
                                                                   2, 30, 7, 35, 12, 16, 25, 21};

// A divider for every channel, by channel number: 0 (off), 1, 2, 5 or 10.
using ChannelDividers = std::array<std::int32_t, kChannels>;

} // namespace mv620::device
