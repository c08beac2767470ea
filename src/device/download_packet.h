// The download's data packets: a run of configuration words with their start address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "device/protocol.h"

namespace mv620::device {

enum class WordWidth : std::uint8_t { Bits16 = 0, Bits24 = 1 };

// Words per data packet: 27 16-bit words or 18 24-bit words fill bytes 8 to 61.
inline constexpr std::size_t kWordsPer16BitPacket = 27;
inline constexpr std::size_t kWordsPer24BitPacket = 18;

inline constexpr std::size_t wordsPerPacket(WordWidth width) noexcept {
    return width == WordWidth::Bits16 ? kWordsPer16BitPacket : kWordsPer24BitPacket;
}

// Fills `packet` as CMD_DOWNLOAD_DATA with as many of `words` as one packet takes, the first of
// them at `address`: byte 4 address bits 13 to 8, byte 5 bits 7 to 0 (higher bits do not go
// out, so an address past 0x3FFF wraps), byte 6 the width, byte 7 the word count, and from
// byte 8 on the words, most significant byte first. Bytes after the last word keep what the
// previous packet left there. Returns the number of words taken.
std::size_t encodeDownloadPacket(PacketBytes& packet, std::uint32_t address, WordWidth width,
                                 std::span<const std::uint32_t> words) noexcept;

// The byte by which the instrument confirms a data packet: its response carries at byte 8 the
// packet's byte 8 (its first data byte).
inline std::uint8_t downloadEchoByte(const PacketBytes& packetOrResponse) noexcept {
    return packetOrResponse[8];
}

} // namespace mv620::device
