// Injected faults, command responses and the configuration memory, driven through the C API
// against the simulated instrument that the library itself talks to.
#include "MV620ACQm_sim.h"
#include "sim_test_support.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

using namespace simtest;
using mv620::platform::driverBackend;
using mv620::platform::kInvalidDevice;

class SimFault : public ::testing::Test {
protected:
    void SetUp() override { MV620Sim_Reset(); }
    void TearDown() override { MV620Sim_Reset(); }

    static Dividers oneChannel() {
        Dividers ds{};
        ds[0] = 1; // channel 0 alone: block b holds identify values of samples 32000 b on
        return ds;
    }
    static std::uint16_t firstOfBlock(std::uint64_t b) { return identifyValue(0, 32000 * b); }
};

// ---- Presence -----------------------------------------------------------------------------

TEST_F(SimFault, AbsentInstrumentCannotBeOpened) {
    ASSERT_EQ(MV620Sim_SetPresence(MV620SIM_ABSENT), 1);
    EXPECT_EQ(driverBackend().open(kPath), kInvalidDevice);
    EXPECT_EQ(MV620Sim_GetOpenHandles(), 0);
    ASSERT_EQ(MV620Sim_SetPresence(MV620SIM_PRESENT), 1);
    Host host(driverBackend());
    EXPECT_TRUE(host.opened());
    EXPECT_EQ(MV620Sim_GetMalformedRequests(), 0);
}

TEST_F(SimFault, GoingAbsentKillsOpenHandles) {
    Host host(driverBackend());
    ASSERT_TRUE(host.setLine(1));
    ASSERT_EQ(MV620Sim_SetPresence(MV620SIM_ABSENT), 1);
    EXPECT_FALSE(host.setLine(1));
    ASSERT_EQ(MV620Sim_SetPresence(MV620SIM_PRESENT), 1);
    EXPECT_FALSE(host.setLine(1)); // a handle from before stays dead
    Host fresh(driverBackend());
    EXPECT_TRUE(fresh.setLine(1));
}

TEST_F(SimFault, ForeignDeviceHasOtherIdsButAnswersRequests) {
    ASSERT_EQ(MV620Sim_SetPresence(MV620SIM_FOREIGN), 1);
    Host host(driverBackend());
    ASSERT_TRUE(host.opened());
    std::array<std::uint8_t, 146> d{};
    ASSERT_TRUE(host.descriptor(d));
    EXPECT_EQ(d[8] | (d[9] << 8), 0x04B4);
    EXPECT_EQ(d[10] | (d[11] << 8), 0x8613);
    EXPECT_TRUE(host.setLine(0x0004));
    EXPECT_EQ(MV620Sim_GetOutputLines(), 0x4);
    Packet response{};
    EXPECT_TRUE(host.write(commandPacket(18)));
    EXPECT_TRUE(host.response(response));
}

TEST_F(SimFault, IdentityCanMatchVendorOrProductAlone) {
    Host host(driverBackend());
    std::array<std::uint8_t, 146> d{};
    ASSERT_EQ(MV620Sim_SetIdentity(0x0547, 0x1003), 1);
    ASSERT_TRUE(host.descriptor(d));
    EXPECT_EQ(d[8] | (d[9] << 8), 0x0547);
    EXPECT_EQ(d[10] | (d[11] << 8), 0x1003);
    ASSERT_EQ(MV620Sim_SetPresence(MV620SIM_PRESENT), 1);
    ASSERT_TRUE(host.descriptor(d));
    EXPECT_EQ(d[10] | (d[11] << 8), 0x1002);
}

// ---- Block reads --------------------------------------------------------------------------

TEST_F(SimFault, FailedReadConsumesNothing) {
    ASSERT_EQ(MV620Sim_FailBlockRead(1, 1), 1);
    Host host(driverBackend());
    ASSERT_TRUE(host.write(startPacket(oneChannel())));
    EXPECT_EQ(host.firstSample(), firstOfBlock(0));
    EXPECT_TRUE(host.block().empty()); // block 1, first try
    EXPECT_TRUE(host.ready());
    const auto retry = host.block();
    ASSERT_EQ(retry.size(), kBlockSamples);
    EXPECT_EQ(retry.front(), firstOfBlock(1));
    EXPECT_EQ(MV620Sim_GetBlocksDelivered(), 2);
    EXPECT_EQ(MV620Sim_GetProtocolErrors(), 0);
}

TEST_F(SimFault, TwiceFailedBlockIsDroppedByAbortAndReset) {
    ASSERT_EQ(MV620Sim_FailBlockRead(1, 2), 1);
    Host host(driverBackend());
    ASSERT_TRUE(host.write(startPacket(oneChannel())));
    EXPECT_EQ(host.firstSample(), firstOfBlock(0));
    EXPECT_TRUE(host.block().empty());
    EXPECT_TRUE(host.block().empty());
    EXPECT_TRUE(host.abortPipe());
    EXPECT_TRUE(host.resetPipe());
    // The host counted block 1 as gone; the next read is block 2 of the stream.
    const auto next = host.block();
    ASSERT_EQ(next.size(), kBlockSamples);
    EXPECT_EQ(next.front(), firstOfBlock(2));
    EXPECT_EQ(MV620Sim_GetBlocksDelivered(), 2);
}

TEST_F(SimFault, ResetWithoutAbortKeepsTheBlock) {
    Host host(driverBackend());
    ASSERT_TRUE(host.write(startPacket(oneChannel())));
    EXPECT_TRUE(host.resetPipe());
    EXPECT_EQ(host.firstSample(), firstOfBlock(0));
}

TEST_F(SimFault, ShortReadDeliversTheRestWithTheNextRead) {
    ASSERT_EQ(MV620Sim_ShortBlockRead(0, 1000), 1);
    Host host(driverBackend());
    ASSERT_TRUE(host.write(startPacket(oneChannel())));
    std::vector<std::uint8_t> first(kBlockBytes, 0);
    std::uint32_t returned = 0;
    ASSERT_TRUE(host.read(first.data(), kBlockBytes, &returned));
    EXPECT_EQ(returned, 1000u);
    EXPECT_EQ(MV620Sim_GetBlocksDelivered(), 0);
    EXPECT_TRUE(host.ready());

    std::vector<std::uint8_t> rest(kBlockBytes, 0);
    ASSERT_TRUE(host.read(rest.data(), kBlockBytes, &returned));
    EXPECT_EQ(returned, kBlockBytes - 1000);
    const auto head = Host::samplesOf({first.begin(), first.begin() + 1000});
    const auto tail = Host::samplesOf({rest.begin(), rest.begin() + (kBlockBytes - 1000)});
    EXPECT_EQ(head.front(), identifyValue(0, 0));
    EXPECT_EQ(head.back(), identifyValue(0, 499));
    EXPECT_EQ(tail.front(), identifyValue(0, 500));
    EXPECT_EQ(tail.back(), identifyValue(0, 31999));
    EXPECT_EQ(MV620Sim_GetBlocksDelivered(), 1);
    EXPECT_EQ(host.firstSample(), firstOfBlock(1));
}

TEST_F(SimFault, AReadStopsAtTheEndOfItsBlock) {
    Host host(driverBackend());
    ASSERT_TRUE(host.write(startPacket(oneChannel())));
    std::vector<std::uint8_t> bytes(kBlockBytes);
    std::uint32_t returned = 0;
    ASSERT_TRUE(host.read(bytes.data(), 40000, &returned));
    EXPECT_EQ(returned, 40000u);
    ASSERT_TRUE(host.read(bytes.data(), 30000, &returned));
    EXPECT_EQ(returned, 24000u) << "the rest of block 0, not a byte of block 1";
    EXPECT_EQ(Host::samplesOf(bytes).front(), identifyValue(0, 20000));
    EXPECT_EQ(MV620Sim_GetBlocksDelivered(), 1);
    EXPECT_EQ(host.firstSample(), identifyValue(0, 32000));
    EXPECT_EQ(MV620Sim_GetProtocolErrors(), 0);
}

TEST_F(SimFault, ReadyNeverComesFromTheGivenBlock) {
    ASSERT_EQ(MV620Sim_ReadyNeverFrom(1), 1);
    Host host(driverBackend());
    ASSERT_TRUE(host.write(startPacket(oneChannel())));
    ASSERT_TRUE(host.ready());
    ASSERT_EQ(host.block().size(), kBlockSamples);
    for (int poll = 0; poll < 100; ++poll) {
        ASSERT_FALSE(host.ready());
    }
    EXPECT_TRUE(host.block().empty());
    EXPECT_EQ(MV620Sim_GetProtocolErrors(), 1);
    ASSERT_EQ(MV620Sim_ReadyNeverFrom(-1), 1);
    EXPECT_EQ(host.firstSample(), firstOfBlock(1));
}

TEST_F(SimFault, UnplugAfterBlocksKillsEveryHandleUntilReplug) {
    ASSERT_EQ(MV620Sim_UnplugAfterBlocks(2), 1);
    Host host(driverBackend());
    Host other(driverBackend());
    ASSERT_TRUE(host.write(startPacket(oneChannel())));
    EXPECT_EQ(host.block().size(), kBlockSamples);
    EXPECT_EQ(host.block().size(), kBlockSamples);
    EXPECT_EQ(host.inputs(), -1);
    EXPECT_TRUE(host.block().empty());
    EXPECT_FALSE(other.setLine(1));
    EXPECT_EQ(driverBackend().open(kPath), kInvalidDevice);
    EXPECT_EQ(MV620Sim_GetMalformedRequests(), 0);

    ASSERT_EQ(MV620Sim_Replug(), 1);
    EXPECT_EQ(host.inputs(), -1); // dead for good
    Host fresh(driverBackend());
    ASSERT_TRUE(fresh.opened());
    EXPECT_EQ(fresh.inputs(), 0); // back without a stream
}

// ---- Command packets ------------------------------------------------------------------------

TEST_F(SimFault, NthPacketWriteOfACodeFails) {
    ASSERT_EQ(MV620Sim_FailPacketWrite(18, 2), 1);
    Host host(driverBackend());
    Packet response{};
    EXPECT_TRUE(host.write(commandPacket(18, 1)));
    EXPECT_TRUE(host.response(response));
    EXPECT_FALSE(host.write(commandPacket(18, 2)));
    EXPECT_FALSE(host.response(response)); // nothing to answer
    EXPECT_TRUE(host.write(commandPacket(16, 3)));
    EXPECT_TRUE(host.write(commandPacket(18, 4)));
    EXPECT_EQ(MV620Sim_GetPendingResponses(), 2);

    ASSERT_EQ(MV620Sim_GetPacketCount(), 4);
    unsigned char bytes[64] = {};
    EXPECT_EQ(MV620Sim_GetPacket(0, bytes), MV620SIM_PACKET_ACCEPTED);
    EXPECT_EQ(MV620Sim_GetPacket(1, bytes), MV620SIM_PACKET_WRITE_FAILED);
    EXPECT_EQ(bytes[1], 2);
    EXPECT_EQ(MV620Sim_GetPacket(3, bytes), MV620SIM_PACKET_ACCEPTED);
    EXPECT_EQ(MV620Sim_GetPacket(4, bytes), MV620SIM_PACKET_NONE);
}

TEST_F(SimFault, EveryStartPacketWriteFails) {
    ASSERT_EQ(MV620Sim_FailPacketWrite(19, 0), 1);
    Host host(driverBackend());
    EXPECT_FALSE(host.write(startPacket(oneChannel())));
    EXPECT_FALSE(host.write(startPacket(oneChannel())));
    EXPECT_FALSE(host.ready());
    ASSERT_EQ(MV620Sim_FailPacketWrite(19, -1), 1);
    EXPECT_TRUE(host.write(startPacket(oneChannel())));
    EXPECT_TRUE(host.ready());
}

TEST_F(SimFault, FailedResponseReadLosesTheResponse) {
    ASSERT_EQ(MV620Sim_FailResponseRead(17, 0), 1);
    Host host(driverBackend());
    Packet response{};
    ASSERT_TRUE(host.write(commandPacket(18)));
    EXPECT_TRUE(host.response(response));
    ASSERT_TRUE(host.write(downloadPacket(0, false, {0x1234})));
    EXPECT_FALSE(host.response(response));
    EXPECT_EQ(MV620Sim_GetPendingResponses(), 0);
    EXPECT_EQ(MV620Sim_GetConfigWord(0), 0x1234); // the packet itself was taken
}

TEST_F(SimFault, StatusByteAndEchoInResponses) {
    Host host(driverBackend());
    Packet response{};
    ASSERT_EQ(MV620Sim_SetStatusByte(3), 1);
    ASSERT_TRUE(host.write(commandPacket(18)));
    ASSERT_TRUE(host.response(response));
    EXPECT_EQ(response[3], 3);
    int sum = 0;
    for (const auto b : response) {
        sum += b;
    }
    EXPECT_EQ(sum % 256, 0xFF);

    ASSERT_TRUE(host.write(downloadPacket(0x20, true, {0x123456})));
    ASSERT_TRUE(host.response(response));
    EXPECT_EQ(response[8], 0x12);
    ASSERT_EQ(MV620Sim_SetWrongEcho(1), 1);
    ASSERT_TRUE(host.write(downloadPacket(0x20, true, {0x123456})));
    ASSERT_TRUE(host.response(response));
    EXPECT_NE(response[8], 0x12);
}

TEST_F(SimFault, StartPacketHasNoResponse) {
    Host host(driverBackend());
    ASSERT_TRUE(host.write(startPacket(oneChannel())));
    EXPECT_EQ(MV620Sim_GetPendingResponses(), 0);
}

TEST_F(SimFault, BadChecksumIsDroppedAndCounted) {
    Host host(driverBackend());
    Packet bad = commandPacket(18);
    bad[63] = static_cast<std::uint8_t>(bad[63] + 1);
    EXPECT_TRUE(host.write(bad));
    EXPECT_EQ(MV620Sim_GetPendingResponses(), 0);
    EXPECT_EQ(MV620Sim_GetChecksumErrors(), 1);
    EXPECT_EQ(MV620Sim_GetProtocolErrors(), 1);
    unsigned char bytes[64] = {};
    EXPECT_EQ(MV620Sim_GetPacket(0, bytes), MV620SIM_PACKET_BAD_CHECKSUM);

    Packet good{}; // the worked example: 18, 1, zeros, then 0xEC
    good[0] = 18;
    good[1] = 1;
    good[63] = 0xEC;
    EXPECT_TRUE(host.write(good));
    EXPECT_EQ(MV620Sim_GetPendingResponses(), 1);
    EXPECT_EQ(MV620Sim_GetChecksumErrors(), 1);
}

TEST_F(SimFault, UnknownCommandIsAProtocolErrorWithoutResponse) {
    Host host(driverBackend());
    EXPECT_TRUE(host.write(commandPacket(20)));
    EXPECT_EQ(MV620Sim_GetPendingResponses(), 0);
    EXPECT_EQ(MV620Sim_GetProtocolErrors(), 1);
}

// ---- Configuration memory -------------------------------------------------------------------

TEST_F(SimFault, DownloadFillsSixteenAndTwentyFourBitWords) {
    Host host(driverBackend());
    Packet response{};
    ASSERT_TRUE(host.write(downloadPacket(0x0100, false, {0x1234, 0xABCD, 0x0001})));
    ASSERT_TRUE(host.response(response));
    ASSERT_TRUE(host.write(downloadPacket(0x0020, true, {0x123456, 0xABCDEF})));
    ASSERT_TRUE(host.response(response));

    EXPECT_EQ(MV620Sim_GetConfigWord(0x0100), 0x1234);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x0101), 0xABCD);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x0102), 0x0001);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x0103), -1);
    EXPECT_EQ(MV620Sim_GetConfigWordWidth(0x0102), 16);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x0020), 0x123456);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x0021), 0xABCDEF);
    EXPECT_EQ(MV620Sim_GetConfigWordWidth(0x0021), 24);
    EXPECT_EQ(MV620Sim_GetConfigWordWidth(0x0022), 0);
    EXPECT_EQ(MV620Sim_GetProtocolErrors(), 0);
}

TEST_F(SimFault, DownloadWrapsPastTheLastAddress) {
    Host host(driverBackend());
    std::vector<std::uint32_t> narrow(27);
    for (std::uint32_t i = 0; i < 27; ++i) {
        narrow[i] = 0x100 + i;
    }
    ASSERT_TRUE(host.write(downloadPacket(0x3FF0, false, narrow)));
    EXPECT_EQ(MV620Sim_GetConfigWord(0x3FF0), 0x100);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x3FFF), 0x10F);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x0000), 0x110);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x000A), 0x11A);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x000B), -1);

    std::vector<std::uint32_t> wide(18);
    for (std::uint32_t i = 0; i < 18; ++i) {
        wide[i] = 0xA00000 + i;
    }
    ASSERT_TRUE(host.write(downloadPacket(0x3FFE, true, wide)));
    EXPECT_EQ(MV620Sim_GetConfigWord(0x3FFF), 0xA00001);
    EXPECT_EQ(MV620Sim_GetConfigWordWidth(0x3FFF), 24);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x000F), 0xA00011);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x0010), -1);
    EXPECT_EQ(MV620Sim_GetConfigWordWidth(0x000A), 24);
    EXPECT_EQ(MV620Sim_GetProtocolErrors(), 0);
}

struct BadDownload {
    const char* name;
    std::size_t at;
    std::uint8_t value;
};

void PrintTo(const BadDownload& download, std::ostream* os) { *os << download.name; }

class SimBadDownload : public SimFault, public ::testing::WithParamInterface<BadDownload> {};

TEST_P(SimBadDownload, WritesNothingButIsAnswered) {
    Host host(driverBackend());
    Packet p = downloadPacket(0x0040, false, {0x1111, 0x2222});
    p[GetParam().at] = GetParam().value;
    ASSERT_TRUE(host.write(sealed(p)));
    EXPECT_EQ(MV620Sim_GetProtocolErrors(), 1);
    EXPECT_EQ(MV620Sim_GetPendingResponses(), 1);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x0040), -1);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x0041), -1);
}

INSTANTIATE_TEST_SUITE_P(Packets, SimBadDownload,
                         ::testing::Values(BadDownload{"WidthTwo", 6, 2},
                                           BadDownload{"NoWords", 7, 0},
                                           BadDownload{"TwentyEightNarrowWords", 7, 28},
                                           BadDownload{"AddressBitFourteen", 4, 0x40}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(SimFault, UnusualStartPacketsAreProtocolErrors) {
    Host host(driverBackend());
    Dividers ds{};
    ds[4] = 3;
    ASSERT_TRUE(host.write(startPacket(ds)));
    EXPECT_EQ(MV620Sim_GetProtocolErrors(), 1);
    // Divider 3 still runs: channel 4 in passes 3, 6, 9, ...
    EXPECT_EQ(host.firstSample(), identifyValue(4, 0));
}

} // namespace
