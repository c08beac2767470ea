// The instrument's side of the wire: USB identity, vendor requests, command packets, the scan
// order and the sample stream's framing, as the simulated firmware knows them.
//
// The simulated instrument keeps its own copy of these facts on purpose: it stands in for the
// firmware, and a mistake in the library's copy must show up as a disagreement with it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace mv620::sim {

// USB identity of the instrument, and the identity the simulated foreign device answers with
// (a bare EZ-USB development board).
inline constexpr std::uint16_t kInstrumentVendorId = 0x0547;
inline constexpr std::uint16_t kInstrumentProductId = 0x1002;
inline constexpr std::uint16_t kForeignVendorId = 0x04B4;
inline constexpr std::uint16_t kForeignProductId = 0x8613;

// The device descriptor: 18 standard bytes at the start of the driver's 146-byte buffer.
inline constexpr std::uint32_t kDescriptorLength = 18;
inline constexpr std::uint32_t kDescriptorBufferLength = 146;

// Vendor requests on the control path.
inline constexpr std::uint8_t kRequestSetOutput = 13;
inline constexpr std::uint8_t kRequestClearOutput = 14;
inline constexpr std::uint8_t kRequestReadInput = 15;

// Output lines 0 to 3 and the input port.
inline constexpr std::uint8_t kOutputLineMask = 0x0F;
inline constexpr std::uint8_t kReadyBit = 0x80;
inline constexpr std::uint8_t kInputMask = 0x7F;

// Command packets on the write pipe and their responses on the read pipe.
inline constexpr std::uint32_t kPacketLength = 64;
inline constexpr std::uint8_t kCmdBeginDownload = 16;
inline constexpr std::uint8_t kCmdDownloadData = 17;
inline constexpr std::uint8_t kCmdStatus = 18;
inline constexpr std::uint8_t kCmdStartAcquisition = 19;
inline constexpr std::uint8_t kChecksumTotal = 0xFF; // sum of all 64 bytes of a sound packet

// The start packet carries the divider of scan position k in byte kStartDividerOffset + k.
inline constexpr std::size_t kStartDividerOffset = 6;

// Download data packets: address bits 13-8 in byte 4, bits 7-0 in byte 5, width in byte 6
// (0 = 16-bit, 1 = 24-bit words), word count in byte 7, words from byte 8 up to byte 61.
inline constexpr std::size_t kDownloadFirstDataByte = 8;
inline constexpr std::size_t kDownloadDataEnd = 62; // one past the last byte words may use
inline constexpr std::uint32_t kConfigWords = 0x4000;
inline constexpr std::uint32_t kConfigAddressMask = 0x3FFF;

// The stream: 16-bit samples, high byte first, in blocks of 32000 samples.
inline constexpr std::uint32_t kChannels = 40;
inline constexpr std::uint32_t kBlockSamples = 32000;
inline constexpr std::uint32_t kBlockBytes = 2 * kBlockSamples;

// Scan position k of every scan pass visits channel kScanOrder[k].
inline constexpr std::array<std::uint8_t, kChannels> kScanOrder = {
    3, 31, 8, 36, 13, 17, 26, 22, // positions 0-7
    4, 32, 9, 37, 14, 18, 27, 23, // positions 8-15
    0, 28, 5, 33, 10, 38, 15, 19, // positions 16-23
    1, 29, 6, 34, 11, 39, 24, 20, // positions 24-31
    2, 30, 7, 35, 12, 16, 25, 21, // positions 32-39
};

// Driver control codes of the EZ-USB general-purpose driver that the instrument answers.
inline constexpr std::uint32_t kIoctlGetDescriptor = 0x222004;
inline constexpr std::uint32_t kIoctlVendorRequest = 0x222059;
inline constexpr std::uint32_t kIoctlBulkRead = 0x22204E;
inline constexpr std::uint32_t kIoctlBulkWrite = 0x222051;
inline constexpr std::uint32_t kIoctlAbortPipe = 0x22203D;
inline constexpr std::uint32_t kIoctlResetPipe = 0x222035;

inline constexpr std::uint32_t kVendorBlockLength = 10;
inline constexpr std::uint32_t kPipeBlockLength = 4;
inline constexpr std::uint32_t kReadPipe = 0;
inline constexpr std::uint32_t kWritePipe = 1;

// The only device path the driver answers: \\.\Ezusb-0
inline constexpr char kDevicePath[] = "\\\\.\\Ezusb-0";

// One's complement of the 8-bit sum of bytes 0 to 62: makes the packet's total 0xFF.
inline std::uint8_t packetChecksum(const std::uint8_t* packet) noexcept {
    unsigned sum = 0;
    for (std::uint32_t i = 0; i + 1 < kPacketLength; ++i) {
        sum += packet[i];
    }
    return static_cast<std::uint8_t>(0xFFu - (sum & 0xFFu));
}

inline bool packetChecksumHolds(const std::uint8_t* packet) noexcept {
    unsigned sum = 0;
    for (std::uint32_t i = 0; i < kPacketLength; ++i) {
        sum += packet[i];
    }
    return (sum & 0xFFu) == kChecksumTotal;
}

} // namespace mv620::sim
