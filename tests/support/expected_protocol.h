// What the tests expect of the driver's requests and of the instrument's stream, written out
// here once and apart from the library's own constants, so that a wrong constant in the library
// is caught rather than copied: the six control codes, the block, the scan order and the
// identifying pattern.
#pragma once

#include <array>
#include <cstdint>

namespace mv620::expected {

// The EZ-USB general-purpose driver's device and control codes.
inline constexpr char kDevicePath[] = "\\\\.\\Ezusb-0";
inline constexpr std::uint32_t kDescriptorCode = 0x222004;
inline constexpr std::uint32_t kVendorCode = 0x222059;
inline constexpr std::uint32_t kBulkReadCode = 0x22204E;
inline constexpr std::uint32_t kBulkWriteCode = 0x222051;
inline constexpr std::uint32_t kAbortCode = 0x22203D;
inline constexpr std::uint32_t kResetCode = 0x222035;

// A block of the stream: 32000 samples of two bytes.
inline constexpr std::uint32_t kBlockSamples = 32000;
inline constexpr std::uint32_t kBlockBytes = 2 * kBlockSamples;

// The order in which the instrument visits the channels in a scan pass, as its manual lists it.
inline constexpr std::array<int, 40> kScanOrder = {
    3,  31, 8,  36, 13, 17, 26, 22, 4,  32, 9,  37, 14, 18, 27, 23, 0,  28, 5,  33,
    10, 38, 15, 19, 1,  29, 6,  34, 11, 39, 24, 20, 2,  30, 7,  35, 12, 16, 25, 21};

// The identifying pattern: the n-th sample of channel c since the start.
constexpr std::int32_t identifyValue(std::int32_t channel, std::uint64_t n) {
    return channel * 1637 + static_cast<std::int32_t>(n % 1637U);
}

} // namespace mv620::expected
