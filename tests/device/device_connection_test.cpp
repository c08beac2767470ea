// The device link: the driver requests byte for byte, command packets and the tick wait.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "device/command_packet.h"
#include "device/device_connection.h"
#include "device/wait_ticks.h"
#include "platform/clock.h"
#include "support/library_fixture.h"

namespace mv620::testing {
namespace {

using device::DeviceConnection;
using device::PacketBytes;

MV620SimRequest lastRequest() {
    MV620SimRequest request{};
    EXPECT_EQ(MV620Sim_GetRequest(MV620Sim_GetRequestCount() - 1, &request), 1);
    return request;
}

std::uint16_t valueOf(const MV620SimRequest& request) {
    return static_cast<std::uint16_t>(request.in[6] | (request.in[7] << 8));
}

using DeviceLink = LibraryTest;

struct LineValue {
    int line;
    std::uint16_t set;
    std::uint16_t clear;
};

void PrintTo(const LineValue& value, std::ostream* out) { *out << "line " << value.line; }

class LineValues : public LibraryTest, public ::testing::WithParamInterface<LineValue> {};

// The value words of the line requests, as the instrument receives them through the exports.
TEST_P(LineValues, AsSentByTheLineExports) {
    const LineValue expected = GetParam();
    EXPECT_EQ(Do_Output_On(expected.line), 1);
    MV620SimRequest set = lastRequest();
    EXPECT_EQ(Do_Output_Off(expected.line), 1);
    MV620SimRequest clear = lastRequest();
    for (const auto& [request, code, value] :
         {std::tuple{set, 13, expected.set}, std::tuple{clear, 14, expected.clear}}) {
        EXPECT_EQ(request.code, 0x222059U);
        EXPECT_EQ(request.inLength, 10U);
        EXPECT_EQ(request.outLength, 0U);
        EXPECT_EQ(request.in[0], 0) << "host to device";
        EXPECT_EQ(request.in[1], 2) << "vendor";
        EXPECT_EQ(request.in[2], 0) << "device";
        EXPECT_EQ(request.in[3], 0);
        EXPECT_EQ(request.in[4], code);
        EXPECT_EQ(valueOf(request), value) << "line " << expected.line;
        EXPECT_EQ(request.in[8], 0);
        EXPECT_EQ(request.in[9], 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineValues,
    ::testing::Values(LineValue{0, 0x0001, 0x00FE}, LineValue{1, 0x0002, 0x00FD},
                      LineValue{2, 0x0004, 0x00FB}, LineValue{3, 0x0008, 0x00F7},
                      LineValue{4, 0x0000, 0x00FF}, LineValue{7, 0x0000, 0x00FF},
                      LineValue{8, 0x0000, 0x01FF}, LineValue{15, 0x0000, 0x80FF},
                      LineValue{16, 0x0000, 0x00FF}, LineValue{31, 0x0000, 0x00FF},
                      LineValue{33, 0x0002, 0x00FD},   // as line 1
                      LineValue{258, 0x0004, 0x00FB},  // low byte 2
                      LineValue{-1, 0x0000, 0x00FF})); // 255: as 31

TEST_F(DeviceLink, InputPortReadAsksForExactlyOneByte) {
    MV620Sim_SetInputs(0x15);
    DeviceConnection connection;
    ASSERT_TRUE(connection.isPresent());
    const std::optional<std::uint8_t> port = connection.readInputPort();
    ASSERT_TRUE(port.has_value());
    EXPECT_EQ(*port & 0x7F, 0x15);
    const MV620SimRequest request = lastRequest();
    EXPECT_EQ(request.code, 0x222059U);
    EXPECT_EQ(request.outLength, 1U);
    EXPECT_EQ(request.in[0], 1) << "device to host";
    EXPECT_EQ(request.in[4], 15);
    EXPECT_EQ(valueOf(request), 0);
    EXPECT_EQ(request.in[8] | request.in[9], 0);
}

TEST_F(DeviceLink, PipeRequestsNameTheirPipes) {
    DeviceConnection connection;
    PacketBytes response{};
    PacketBytes packet{};
    packet[0] = 18;
    ASSERT_TRUE(connection.exchange(response, packet));
    connection.abortReadPipe();
    connection.resetReadPipe();
    std::vector<std::pair<std::uint32_t, std::uint8_t>> seen;
    for (std::int64_t i = 0; i < MV620Sim_GetRequestCount(); ++i) {
        MV620SimRequest request{};
        MV620Sim_GetRequest(i, &request);
        if (request.code != 0x222004U) {
            EXPECT_EQ(request.inLength, 4U);
            EXPECT_EQ(request.in[1] | request.in[2] | request.in[3], 0);
            seen.emplace_back(request.code, request.in[0]);
        }
    }
    const std::vector<std::pair<std::uint32_t, std::uint8_t>> expected = {
        {0x222051U, 1}, {0x22204EU, 0}, {0x22203DU, 0}, {0x222035U, 0}};
    EXPECT_EQ(seen, expected);
}

TEST_F(DeviceLink, SequenceNumbersRunOneToTwoFiftyFiveThenZeroTwice) {
    DeviceConnection connection;
    PacketBytes response{};
    for (int i = 0; i < 300; ++i) {
        PacketBytes packet{};
        packet[0] = 18;
        packet[2] = 0xAA; // overwritten with 0
        packet[3] = 0x55;
        connection.exchange(response, packet);
    }
    const auto packets = packetsSent();
    ASSERT_EQ(packets.size(), 300U);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const std::size_t exchange = i + 1;
        const int expected = exchange <= 255   ? static_cast<int>(exchange)
                             : exchange <= 257 ? 0
                                               : static_cast<int>(exchange - 257);
        ASSERT_EQ(packets[i][1], expected) << "exchange " << exchange;
        EXPECT_EQ(packets[i][2], 0);
        EXPECT_EQ(packets[i][3], 0);
        unsigned sum = 0;
        for (const std::uint8_t byte : packets[i]) {
            sum += byte;
        }
        EXPECT_EQ(sum % 256, 0xFFU);
    }
    EXPECT_EQ(MV620Sim_GetChecksumErrors(), 0);

    DeviceConnection fresh;
    PacketBytes packet{};
    packet[0] = 18;
    fresh.exchange(response, packet);
    EXPECT_EQ(packet[1], 1) << "every connection numbers from the start";
}

TEST_F(DeviceLink, StartCommandReadsNoResponseAndReportsTheWrite) {
    DeviceConnection connection;
    PacketBytes response{};
    response.fill(0x5A);
    PacketBytes packet{};
    packet[0] = 19;
    EXPECT_TRUE(connection.exchange(response, packet));
    MV620SimRequestStats reads{};
    MV620Sim_GetRequestStats(MV620SIM_IOCTL_BULK_READ, &reads);
    EXPECT_EQ(reads.issued, 0);
    EXPECT_EQ(response[0], 0x5A);
    EXPECT_EQ(response[63], 0x5A);

    MV620Sim_FailPacketWrite(19, 0);
    EXPECT_FALSE(connection.exchange(response, packet));
}

// A command whose write failed is reported as failed even when a read then succeeds.
TEST_F(DeviceLink, ExchangeSucceedsOnlyWhenWriteAndReadSucceed) {
    DeviceConnection connection;
    PacketBytes response{};
    PacketBytes packet{};
    packet[0] = 18;
    ASSERT_TRUE(connection.exchange(response, packet));
    MV620Sim_FailResponseRead(18, 1);
    EXPECT_FALSE(connection.exchange(response, packet)) << "the read failed";

    // A response left over on the pipe, so that the read after a failed write succeeds.
    device::stampPacket(packet, 99);
    ASSERT_TRUE(connection.bulkWrite(packet.data(), 64));
    MV620Sim_FailPacketWrite(18, 1);
    EXPECT_FALSE(connection.exchange(response, packet)) << "the write failed, the read did not";
    EXPECT_EQ(MV620Sim_GetPendingResponses(), 0);
    EXPECT_TRUE(connection.exchange(response, packet));
}

TEST_F(DeviceLink, AbsentDeviceFailsEveryRequest) {
    MV620Sim_SetPresence(MV620SIM_ABSENT);
    DeviceConnection connection;
    EXPECT_FALSE(connection.isPresent());
    EXPECT_FALSE(connection.setOutputLine(0));
    EXPECT_FALSE(connection.clearOutputLine(0));
    EXPECT_FALSE(connection.readInputPort().has_value());
    std::uint8_t buffer[64];
    std::uint32_t moved = 77;
    EXPECT_FALSE(connection.bulkRead(buffer, 64, &moved));
    EXPECT_EQ(moved, 0U);
    EXPECT_FALSE(connection.bulkWrite(buffer, 64));
    EXPECT_FALSE(connection.abortReadPipe());
    EXPECT_FALSE(connection.resetReadPipe());
    EXPECT_EQ(MV620Sim_GetRequestCount(), 0) << "nothing reaches a driver that is not there";
}

TEST_F(DeviceLink, ForeignDeviceIsNotPresentButStillReceivesRequests) {
    MV620Sim_SetPresence(MV620SIM_FOREIGN);
    {
        DeviceConnection connection;
        EXPECT_FALSE(connection.isPresent());
        EXPECT_TRUE(connection.setOutputLine(3));
        EXPECT_EQ(MV620Sim_GetOpenHandles(), 1);
    }
    EXPECT_EQ(MV620Sim_GetOpenHandles(), 0) << "closed on leaving the scope";
    for (const auto& [vendor, product] : {std::pair{0x0547, 0x1003}, std::pair{0x0548, 0x1002}}) {
        MV620Sim_SetPresence(MV620SIM_PRESENT);
        MV620Sim_SetIdentity(vendor, product);
        EXPECT_FALSE(DeviceConnection().isPresent());
    }
    MV620Sim_SetIdentity(0x0547, 0x1002);
    EXPECT_TRUE(DeviceConnection().isPresent());
}

// ---- The tick wait, driven by a fake counter ------------------------------------------------

std::atomic<std::uint32_t> fakeNow{0};
std::atomic<std::uint32_t> fakeStep{1};
std::atomic<int> readings{0};

std::uint32_t fakeTicks() noexcept {
    ++readings;
    return fakeNow.fetch_add(fakeStep.load());
}

class TickWait : public ::testing::Test {
protected:
    void SetUp() override { platform::setTickSource(fakeTicks); }
    void TearDown() override { platform::setTickSource(nullptr); }
    static int readingsOfWait(std::uint32_t start, std::uint32_t step, std::uint32_t n) {
        fakeNow = start;
        fakeStep = step;
        readings = 0;
        device::waitTicks(n);
        return readings.load();
    }
};

TEST_F(TickWait, WaitsUntilTheCounterHasAdvanced) {
    EXPECT_EQ(readingsOfWait(5000, 1, 100), 101); // ends at the reading 100 ms after the first
    EXPECT_EQ(readingsOfWait(5000, 7, 100), 16);  // 15 steps of 7 ms reach 105
}

TEST_F(TickWait, EndsAtOnceInTheFirstMillisecondsAfterTheSystemStarted) {
    EXPECT_EQ(readingsOfWait(100, 1, 100), 1);
    EXPECT_EQ(readingsOfWait(0, 1, 100), 1);
    EXPECT_EQ(readingsOfWait(1000, 1, 1000), 1);
    EXPECT_EQ(readingsOfWait(101, 1, 100), 101);
}

TEST_F(TickWait, EndsAtTheFirstReadingAfterTheWrap) {
    // First reading 0xFFFFFFF0: the counter wraps after 16 readings, to 0 (100 or less).
    EXPECT_EQ(readingsOfWait(0xFFFFFFF0U, 1, 100), 17);
}

TEST_F(TickWait, NeverSpinsWhenAReadingJumpsOverBothExitWindows) {
    // From 0xFFFFFF00 in steps of 400: the first reading after the wrap is 0xF0 + ... > 100.
    EXPECT_LE(readingsOfWait(0xFFFFFF00U, 400, 100), 3);
}

} // namespace
} // namespace mv620::testing
