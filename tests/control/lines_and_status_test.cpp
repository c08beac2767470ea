// Digital lines, the autozero pulse, the input port and the status query.
#include <gtest/gtest.h>

#include "control/digital_lines.h"
#include "platform/clock.h"
#include "support/library_fixture.h"

namespace mv620::testing {
namespace {

using Control = LibraryTest;

std::vector<MV620SimRequest> requestsSince(std::int64_t first) {
    std::vector<MV620SimRequest> requests;
    for (std::int64_t i = first; i < MV620Sim_GetRequestCount(); ++i) {
        MV620SimRequest request{};
        MV620Sim_GetRequest(i, &request);
        if (request.code != 0x222004U) { // leave out the descriptor request of each open
            requests.push_back(request);
        }
    }
    return requests;
}

bool sameRequest(const MV620SimRequest& a, const MV620SimRequest& b) {
    return a.code == b.code && a.inLength == b.inLength && a.outLength == b.outLength &&
           std::equal(a.in, a.in + 10, b.in);
}

TEST_F(Control, FixedLinesSwitchTheirLines) {
    struct Case {
        int (*call)();
        int lines;
    };
    const Case cases[] = {{Do_AZ_On, 0b0001},       {Do_Odd_Cal_On, 0b0011},
                          {Do_Even_Cal_On, 0b0111}, {Do_Odd_Cal_Off, 0b0101},
                          {Do_AZ_Off, 0b0100},      {Do_Even_Cal_Off, 0b0000}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.call(), 1);
        EXPECT_EQ(MV620Sim_GetOutputLines(), c.lines);
    }
    EXPECT_EQ(Do_Output_On(3), 1);
    EXPECT_EQ(MV620Sim_GetOutputLines(), 0b1000);
    EXPECT_EQ(Do_Output_Off(35), 1); // 35 modulo 32 is line 3
    EXPECT_EQ(MV620Sim_GetOutputLines(), 0);
}

TEST_F(Control, OutputByNumberIssuesTheSameRequestsAsTheNamedSwitches) {
    const std::pair<int (*)(), std::pair<int (*)(int), int>> pairs[] = {
        {Do_AZ_On, {Do_Output_On, 0}},        {Do_Odd_Cal_On, {Do_Output_On, 1}},
        {Do_Even_Cal_On, {Do_Output_On, 2}},  {Do_AZ_Off, {Do_Output_Off, 0}},
        {Do_Odd_Cal_Off, {Do_Output_Off, 1}}, {Do_Even_Cal_Off, {Do_Output_Off, 2}}};
    for (const auto& [named, byNumber] : pairs) {
        const std::int64_t first = MV620Sim_GetRequestCount();
        named();
        byNumber.first(byNumber.second);
        const auto requests = requestsSince(first);
        ASSERT_EQ(requests.size(), 2U);
        EXPECT_TRUE(sameRequest(requests[0], requests[1])) << byNumber.second;
    }
}

TEST_F(Control, LineSwitchesReturnOneWithoutAnInstrument) {
    for (const int presence : {MV620SIM_ABSENT, MV620SIM_FOREIGN}) {
        MV620Sim_SetPresence(presence);
        for (int (*call)() : {Do_AZ_On, Do_AZ_Off, Do_Odd_Cal_On, Do_Odd_Cal_Off, Do_Even_Cal_On,
                              Do_Even_Cal_Off, Do_Autozero}) {
            EXPECT_EQ(call(), 1);
        }
        EXPECT_EQ(Do_Output_On(INT32_MIN), 1);
        EXPECT_EQ(Do_Output_Off(INT32_MAX), 1);
    }
}

// The pulse: set, then clear on the same connection once the tick counter has advanced 1000 ms.
TEST_F(Control, AutozeroPulseWaitsOneSecondBetweenSetAndClear) {
    EXPECT_EQ(Do_Autozero(), 1);
    const auto requests = requestsSince(0);
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_EQ(requests[0].in[4], 13);
    EXPECT_EQ(requests[1].in[4], 14);
    EXPECT_EQ(requests[0].handle, requests[1].handle) << "one connection";
    EXPECT_EQ(MV620Sim_GetOutputLines(), 0);
}

TEST_F(Control, AutozeroWaitEndsAtOnceInTheFirstSecondAndAtTheWrap) {
    // The virtual counter advances one per reading: count the readings the wait takes by reading
    // the counter before and after.
    const auto readingsOfPulse = [](std::uint32_t start) {
        MV620Sim_SetVirtualClock(1, start);
        Do_Autozero();
        const std::uint32_t after = platform::tickCount();
        return after - start;
    };
    EXPECT_GE(readingsOfPulse(65536), 1000U);
    EXPECT_LE(readingsOfPulse(500), 3U) << "a counter of 1000 or less ends the wait at once";
    const std::uint32_t nearWrap = readingsOfPulse(0xFFFFFFFFU - 299);
    EXPECT_GE(nearWrap, 300U);
    EXPECT_LE(nearWrap, 303U) << "ends at the first reading after the wrap, short of 1000 ms";
}

struct InputCase {
    std::uint8_t port;
    int bit;
    int expected;
};

void PrintTo(const InputCase& input, std::ostream* out) {
    *out << "port " << int{input.port} << " bit " << input.bit;
}

class DigitalInputDecoding : public ::testing::TestWithParam<InputCase> {};

TEST_P(DigitalInputDecoding, ReadsInvertedWithBitThreeReplacedBySix) {
    EXPECT_EQ(control::decodeDigitalInput(GetParam().port, GetParam().bit), GetParam().expected)
        << "port " << int{GetParam().port} << " bit " << GetParam().bit;
}

std::vector<InputCase> inputCases() {
    std::vector<InputCase> cases;
    for (int bit = 0; bit < 32; ++bit) {
        cases.push_back({0x00, bit, 1});
        cases.push_back({0xFF, bit, bit < 8 ? 0 : 1});
        cases.push_back({0x40, bit, bit == 3 || bit == 6 ? 0 : 1});
    }
    cases.push_back({0x08, 3, 1});  // the port's own bit 3 is never seen
    cases.push_back({0x01, 32, 0}); // 32 acts as 0
    cases.push_back({0x02, 33, 0}); // 33 acts as 1
    cases.push_back({0xFF, -1, 1}); // -1 acts as 31
    cases.push_back({0x80, INT32_MIN, 1});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Ports, DigitalInputDecoding, ::testing::ValuesIn(inputCases()));

TEST_F(Control, DigitalInputThroughTheInstrument) {
    MV620Sim_SetInputs(0x40);
    EXPECT_EQ(Get_Digital_Input(3), 0);
    EXPECT_EQ(Get_Digital_Input(6), 0);
    EXPECT_EQ(Get_Digital_Input(0), 1);
    MV620Sim_SetInputs(0x08);
    EXPECT_EQ(Get_Digital_Input(3), 1);
    EXPECT_EQ(Get_Digital_Input(7), 1) << "no block waits: the ready bit reads 0";
}

TEST_F(Control, DigitalInputReadsInactiveWhenThePortCannotBeRead) {
    MV620Sim_SetPresence(MV620SIM_ABSENT);
    for (const int bit : {0, 3, 6, 7, 8, 31, -1}) {
        EXPECT_EQ(Get_Digital_Input(bit), 0) << bit;
    }
}

struct StatusCase {
    int statusByte;
    int expected;
};

void PrintTo(const StatusCase& status, std::ostream* out) { *out << "byte " << status.statusByte; }

class StatusBytes : public LibraryTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusBytes, SortIntoTheResults) {
    MV620Sim_SetStatusByte(GetParam().statusByte);
    EXPECT_EQ(Get_MV620ACQ_Status(), GetParam().expected);
    const auto packets = packetsSent();
    ASSERT_EQ(packets.size(), 1U);
    EXPECT_EQ(packets[0][0], 18);
    EXPECT_EQ(packets[0][1], 1) << "the first packet on a new connection";
}

INSTANTIATE_TEST_SUITE_P(Bytes, StatusBytes,
                         ::testing::Values(StatusCase{3, -6}, StatusCase{0, -7}, StatusCase{2, -7},
                                           StatusCase{4, -7}, StatusCase{89, -7},
                                           StatusCase{90, 90}, StatusCase{127, 127},
                                           StatusCase{128, -7}, StatusCase{255, -7}));

TEST_F(Control, StatusWithoutAnInstrumentSendsNothing) {
    for (const int presence : {MV620SIM_ABSENT, MV620SIM_FOREIGN}) {
        MV620Sim_SetPresence(presence);
        EXPECT_EQ(Get_MV620ACQ_Status(), STATUS_NO_ANSWER);
    }
    EXPECT_EQ(MV620Sim_GetPacketCount(), 0);
}

TEST_F(Control, FailedStatusExchangeIsNoAnswer) {
    MV620Sim_SetStatusByte(100);
    MV620Sim_FailResponseRead(18, 1);
    EXPECT_EQ(Get_MV620ACQ_Status(), STATUS_NO_ANSWER);
    MV620Sim_FailPacketWrite(18, 1);
    EXPECT_EQ(Get_MV620ACQ_Status(), STATUS_NO_ANSWER);
    EXPECT_EQ(Get_MV620ACQ_Status(), 100) << "usable again";
}

// The status answer would be taken out of the sample stream: nothing is sent while acquiring.
TEST_F(Control, StatusDuringAnAcquisitionIsRefusedWithoutSending) {
    Set_Sample_Rate(0, 10);
    streamBlocks(2);
    EXPECT_EQ(Get_MV620ACQ_Status(), STATUS_NO_ANSWER);
    EXPECT_EQ(packetsSent().size(), 1U) << "only the start packet";
    Stop_Acquisition();
    EXPECT_EQ(Get_MV620ACQ_Status(), 90);
}

} // namespace
} // namespace mv620::testing
