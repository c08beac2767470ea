// The layouts of the command packets, byte by byte: the frame, the start packet, the download's
// data packets and the status byte of a response.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "device/command_packet.h"
#include "device/download_packet.h"
#include "device/start_packet.h"
#include "device/status_response.h"

namespace mv620::device {
namespace {

PacketBytes filledWith(std::uint8_t byte) {
    PacketBytes packet;
    packet.fill(byte);
    return packet;
}

TEST(CommandPacket, StampMakesTheSumFFAndClearsBytesTwoAndThree) {
    PacketBytes packet{};
    packet[0] = 18;
    stampPacket(packet, 1);
    EXPECT_EQ(packet[63], 0xEC);

    packet = filledWith(0xA7);
    stampPacket(packet, 258); // only the low 8 bits go out
    EXPECT_EQ(packet[1], 2);
    EXPECT_EQ(packet[2], 0);
    EXPECT_EQ(packet[3], 0);
    unsigned sum = 0;
    for (const std::uint8_t byte : packet) {
        sum += byte;
    }
    EXPECT_EQ(sum % 256, 0xFFU);
}

TEST(CommandPacket, SequenceRepeatsEvery257Exchanges) {
    std::int32_t counter = 0;
    std::vector<int> sent;
    for (int i = 0; i < 259; ++i) {
        counter = nextSequence(counter);
        sent.push_back(counter & 0xFF);
    }
    EXPECT_EQ(sent[0], 1);
    EXPECT_EQ(sent[254], 255);
    EXPECT_EQ(sent[255], 0);
    EXPECT_EQ(sent[256], 0);
    EXPECT_EQ(sent[257], 1);
}

TEST(StartPacket, DividersGoOutInScanOrder) {
    PacketBytes packet = filledWith(0xEE);
    ChannelDividers dividers{};
    dividers[3] = 10;
    dividers[21] = 2;
    dividers[0] = 1;
    encodeStartPacket(packet, dividers);
    EXPECT_EQ(packet[0], CMD_START_ACQUISITION);
    EXPECT_EQ(packet[4], 0);
    EXPECT_EQ(packet[6], 10) << "scan position 0 is channel 3";
    EXPECT_EQ(packet[6 + 16], 1) << "scan position 16 is channel 0";
    EXPECT_EQ(packet[45], 2) << "scan position 39 is channel 21";
    int others = 0;
    for (std::size_t k = 7; k < 45; ++k) {
        others += k == 6 + 16 ? 0 : packet[k];
    }
    EXPECT_EQ(others, 0);
    EXPECT_EQ(packet[5], 0xEE) << "bytes the packet does not use are left as they were";
    EXPECT_EQ(packet[46], 0xEE);
    EXPECT_EQ(packet[62], 0xEE);
}

TEST(DownloadPacket, WorkedExample) {
    PacketBytes packet = filledWith(0xCC);
    const std::vector<std::uint32_t> narrow = {0x1234, 0xABCD, 0x0001};
    EXPECT_EQ(encodeDownloadPacket(packet, 0x0100, WordWidth::Bits16, narrow), 3U);
    EXPECT_EQ(std::vector<int>(packet.begin() + 4, packet.begin() + 14),
              (std::vector<int>{0x01, 0x00, 0x00, 0x03, 0x12, 0x34, 0xAB, 0xCD, 0x00, 0x01}));
    EXPECT_EQ(packet[0], CMD_DOWNLOAD_DATA);
    EXPECT_EQ(packet[14], 0xCC);

    const std::vector<std::uint32_t> wide = {0x123456, 0xABCDEF};
    EXPECT_EQ(encodeDownloadPacket(packet, 0x0020, WordWidth::Bits24, wide), 2U);
    EXPECT_EQ(std::vector<int>(packet.begin() + 4, packet.begin() + 14),
              (std::vector<int>{0x00, 0x20, 0x01, 0x02, 0x12, 0x34, 0x56, 0xAB, 0xCD, 0xEF}));
    EXPECT_EQ(downloadEchoByte(packet), 0x12);
}

struct FullPacket {
    WordWidth width;
    std::uint32_t address;
    std::size_t words;
    std::size_t taken;
    std::uint8_t high;
    std::uint8_t low;
    std::size_t lastByte; // one past the last word byte
};

class DownloadPackets : public ::testing::TestWithParam<FullPacket> {};

// A packet takes at most 27 narrow or 18 wide words (bytes 8 to 61), sends only address bits
// 13 to 0, and leaves every byte after its last word as the previous packet left it.
TEST_P(DownloadPackets, TakeWhatFitsAndKeepTheRest) {
    const FullPacket& p = GetParam();
    std::vector<std::uint32_t> words(p.words);
    std::iota(words.begin(), words.end(), 0x010203U);
    PacketBytes packet = filledWith(0x5A);
    EXPECT_EQ(encodeDownloadPacket(packet, p.address, p.width, words), p.taken);
    EXPECT_EQ(packet[4], p.high);
    EXPECT_EQ(packet[5], p.low);
    EXPECT_EQ(packet[7], p.taken);
    for (std::size_t i = p.lastByte; i < 63; ++i) {
        EXPECT_EQ(packet[i], 0x5A) << "byte " << i;
    }
    const std::size_t bytesPerWord = p.width == WordWidth::Bits16 ? 2 : 3;
    EXPECT_EQ(8 + p.taken * bytesPerWord, p.lastByte);
    // The last word, most significant byte first.
    const std::uint32_t last = words[p.taken - 1];
    EXPECT_EQ(packet[p.lastByte - 1], last & 0xFFU);
    EXPECT_EQ(packet[p.lastByte - 2], (last >> 8U) & 0xFFU);
}

INSTANTIATE_TEST_SUITE_P(
    Sections, DownloadPackets,
    ::testing::Values(FullPacket{WordWidth::Bits16, 0x3FF0, 30, 27, 0x3F, 0xF0, 62},
                      FullPacket{WordWidth::Bits16, 0x400B, 3, 3, 0x00, 0x0B, 14},
                      FullPacket{WordWidth::Bits24, 0x0000, 20, 18, 0x00, 0x00, 62},
                      FullPacket{WordWidth::Bits24, 0x0012, 2, 2, 0x00, 0x12, 14},
                      FullPacket{WordWidth::Bits16, 0xFFFF, 1, 1, 0x3F, 0xFF, 10}));

TEST(StatusResponse, TheStatusIsByteThree) {
    PacketBytes response{};
    response[3] = 97;
    response[2] = 3;
    EXPECT_EQ(statusByteOf(response), 97);
}

} // namespace
} // namespace mv620::device
