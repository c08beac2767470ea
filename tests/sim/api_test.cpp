// The C API's own behaviour: reset, argument checks, logs, messages, the virtual clock and the
// environment read at load.
#include "MV620ACQm_sim.h"
#include "platform/clock.h"
#include "platform/window.h"
#include "sim/bounded_log.h"
#include "sim/sim_environment.h"
#include "sim/virtual_clock.h"
#include "sim_test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <ostream>
#include <string>

namespace {

using namespace simtest;
using mv620::platform::driverBackend;

class SimApi : public ::testing::Test {
protected:
    void SetUp() override { MV620Sim_Reset(); }
    void TearDown() override { MV620Sim_Reset(); }
};

TEST_F(SimApi, ResetRestoresAHealthyInstrumentAndClearsEverything) {
    {
        Host host(driverBackend());
        ASSERT_TRUE(host.setLine(0x0001));
        ASSERT_TRUE(host.write(downloadPacket(5, false, {0x4242})));
        ASSERT_TRUE(host.write(startPacket(Dividers{1})));
        ASSERT_TRUE(host.write(commandPacket(18)));
        host.control(0x1234, nullptr, 0, nullptr, 0);
    }
    mv620::platform::sendWindowMessage(nullptr, 1029, 0, 0);
    ASSERT_EQ(MV620Sim_SetStatusByte(100), 1);
    ASSERT_EQ(MV620Sim_SetInputs(0x7F), 1);
    ASSERT_EQ(MV620Sim_SetPattern(MV620SIM_PATTERN_SINE), 1);
    ASSERT_EQ(MV620Sim_FailPacketWrite(18, 0), 1);
    ASSERT_EQ(MV620Sim_ReadyNeverFrom(0), 1);
    ASSERT_EQ(MV620Sim_SetVirtualClock(1, 5), 1);
    ASSERT_EQ(MV620Sim_SetPresence(MV620SIM_FOREIGN), 1);

    MV620Sim_Reset();
    EXPECT_EQ(MV620Sim_GetOutputLines(), 0);
    EXPECT_EQ(MV620Sim_GetConfigWord(5), -1);
    EXPECT_EQ(MV620Sim_GetPacketCount(), 0);
    EXPECT_EQ(MV620Sim_GetRequestCount(), 0);
    EXPECT_EQ(MV620Sim_GetMessageCount(), 0);
    EXPECT_EQ(MV620Sim_GetMalformedRequests(), 0);
    EXPECT_EQ(MV620Sim_GetPendingResponses(), 0);
    EXPECT_FALSE(mv620::sim::virtualClockRunning());

    Host host(driverBackend());
    std::array<std::uint8_t, 146> d{};
    ASSERT_TRUE(host.descriptor(d));
    EXPECT_EQ(d[10] | (d[11] << 8), 0x1002);
    EXPECT_EQ(host.inputs(), 0); // inputs 0, no stream
    Packet response{};
    ASSERT_TRUE(host.write(commandPacket(18)));
    ASSERT_TRUE(host.response(response));
    EXPECT_EQ(response[3], 90);
    ASSERT_TRUE(host.write(startPacket(Dividers{1})));
    EXPECT_TRUE(host.ready()); // rate 0 and no ready fault
    EXPECT_EQ(host.firstSample(), identifyValue(0, 0));
}

TEST_F(SimApi, OutOfRangeArgumentsAreRefusedAndChangeNothing) {
    EXPECT_EQ(MV620Sim_SetPresence(3), 0);
    EXPECT_EQ(MV620Sim_SetPresence(-1), 0);
    EXPECT_EQ(MV620Sim_SetIdentity(-1, 0), 0);
    EXPECT_EQ(MV620Sim_SetIdentity(0, 0x10000), 0);
    EXPECT_EQ(MV620Sim_SetPattern(3), 0);
    EXPECT_EQ(MV620Sim_SetRate(-1), 0);
    EXPECT_EQ(MV620Sim_SetStatusByte(256), 0);
    EXPECT_EQ(MV620Sim_SetInputs(128), 0);
    EXPECT_EQ(MV620Sim_FailBlockRead(-1, 1), 0);
    EXPECT_EQ(MV620Sim_FailBlockRead(0, 0), 0);
    EXPECT_EQ(MV620Sim_ShortBlockRead(0, 0), 0);
    EXPECT_EQ(MV620Sim_ShortBlockRead(0, 64000), 0);
    EXPECT_EQ(MV620Sim_ReadyNeverFrom(-2), 0);
    EXPECT_EQ(MV620Sim_UnplugAfterBlocks(-2), 0);
    EXPECT_EQ(MV620Sim_FailPacketWrite(256, 0), 0);
    EXPECT_EQ(MV620Sim_FailResponseRead(18, -2), 0);

    unsigned char bytes[64];
    MV620SimRequest request;
    MV620SimMessage message;
    MV620SimRequestStats stats;
    EXPECT_EQ(MV620Sim_GetPacket(0, nullptr), MV620SIM_PACKET_NONE);
    EXPECT_EQ(MV620Sim_GetPacket(-1, bytes), MV620SIM_PACKET_NONE);
    EXPECT_EQ(MV620Sim_GetRequest(0, nullptr), 0);
    EXPECT_EQ(MV620Sim_GetRequest(0, &request), 0);
    EXPECT_EQ(MV620Sim_GetMessage(-5, &message), 0);
    EXPECT_EQ(MV620Sim_GetMessage(0, nullptr), 0);
    EXPECT_EQ(MV620Sim_GetRequestStats(MV620SIM_IOCTL_BULK_READ, nullptr), 0);
    EXPECT_EQ(MV620Sim_GetRequestStats(7u, &stats), 0);
    EXPECT_EQ(MV620Sim_GetConfigWord(-1), -1);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x4000), -1);
    EXPECT_EQ(MV620Sim_GetConfigWordWidth(0x4000), 0);

    // Nothing changed: a healthy instrument with the defaults.
    Host host(driverBackend());
    ASSERT_TRUE(host.opened());
    EXPECT_EQ(host.inputs(), 0);
    ASSERT_TRUE(host.write(commandPacket(18)));
    Packet response{};
    ASSERT_TRUE(host.response(response));
    EXPECT_EQ(response[3], 90);
}

TEST_F(SimApi, RequestLogAndStatsDescribeEachRequest) {
    {
        Host host(driverBackend());
        ASSERT_TRUE(host.setLine(0x0008));
        EXPECT_FALSE(host.control(0x1234, nullptr, 0, nullptr, 0));
    }
    ASSERT_EQ(MV620Sim_GetRequestCount(), 2);
    MV620SimRequest r{};
    ASSERT_EQ(MV620Sim_GetRequest(0, &r), 1);
    EXPECT_EQ(r.code, MV620SIM_IOCTL_VENDOR_REQUEST);
    EXPECT_EQ(r.inLength, 10u);
    EXPECT_EQ(r.outLength, 0u);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.refused, 0);
    EXPECT_EQ(r.in[4], 13);
    EXPECT_EQ(r.in[6], 0x08);
    ASSERT_EQ(MV620Sim_GetRequest(1, &r), 1);
    EXPECT_EQ(r.code, 0x1234u);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.refused, 1);

    MV620SimRequestStats s{};
    ASSERT_EQ(MV620Sim_GetRequestStats(MV620SIM_STATS_UNKNOWN_CODE, &s), 1);
    EXPECT_EQ(s.issued, 1);
    EXPECT_EQ(s.refused, 1);
    ASSERT_EQ(MV620Sim_GetRequestStats(MV620SIM_IOCTL_VENDOR_REQUEST, &s), 1);
    EXPECT_EQ(s.issued, 1);
    EXPECT_EQ(s.succeeded, 1);
    ASSERT_EQ(MV620Sim_GetRequestStats(MV620SIM_STATS_OPEN, &s), 1);
    EXPECT_EQ(s.succeeded, 1);
    ASSERT_EQ(MV620Sim_GetRequestStats(MV620SIM_STATS_CLOSE, &s), 1);
    EXPECT_EQ(s.succeeded, 1);
    EXPECT_EQ(MV620Sim_GetMalformedRequests(), 1);
    EXPECT_EQ(MV620Sim_GetOpenHandles(), 0);
}

TEST_F(SimApi, RequestLogKeepsTheNewestEntries) {
    Host host(driverBackend());
    const int total = MV620SIM_LOG_CAPACITY + 10;
    for (int i = 0; i < total; ++i) {
        ASSERT_TRUE(host.setLine(static_cast<std::uint16_t>(1u << (i % 4))));
    }
    ASSERT_EQ(MV620Sim_GetRequestCount(), total);
    MV620SimRequest r{};
    EXPECT_EQ(MV620Sim_GetRequest(9, &r), 0);
    ASSERT_EQ(MV620Sim_GetRequest(10, &r), 1);
    EXPECT_EQ(r.in[6], 1u << (10 % 4));
    ASSERT_EQ(MV620Sim_GetRequest(total - 1, &r), 1);
    EXPECT_EQ(r.in[6], 1u << ((total - 1) % 4));
    EXPECT_EQ(MV620Sim_GetRequest(total, &r), 0);
}

TEST(BoundedLog, NumbersEntriesAcrossTheWrap) {
    mv620::sim::BoundedLog<int, 3> log;
    EXPECT_EQ(log.find(0), nullptr);
    for (int i = 0; i < 5; ++i) {
        log.add(i * 10);
    }
    EXPECT_EQ(log.total(), 5u);
    // The value of entry i, or -1 when the log no longer (or never) held it.
    const auto valueOf = [&log](std::uint64_t i) {
        const int* entry = log.find(i);
        return entry != nullptr ? *entry : -1;
    };
    EXPECT_EQ(valueOf(1), -1);
    EXPECT_EQ(valueOf(2), 20);
    EXPECT_EQ(valueOf(4), 40);
    EXPECT_EQ(log.find(5), nullptr);
    log.clear();
    EXPECT_EQ(log.total(), 0u);
    EXPECT_EQ(log.find(0), nullptr);
}

TEST_F(SimApi, ProgressMessagesAreRecorded) {
    auto* window = reinterpret_cast<mv620::platform::WindowHandle>(std::uintptr_t{0x1234});
    mv620::platform::sendWindowMessage(window, 1028, 1, 0);
    mv620::platform::sendWindowMessage(window, 1029, 0, 0);
    mv620::platform::sendWindowMessage(nullptr, 1026, 100, -7);
    ASSERT_EQ(MV620Sim_GetMessageCount(), 3);
    MV620SimMessage m{};
    ASSERT_EQ(MV620Sim_GetMessage(0, &m), 1);
    EXPECT_EQ(static_cast<void*>(m.window), window);
    EXPECT_EQ(m.message, 1028u);
    EXPECT_EQ(m.wParam, 1u);
    ASSERT_EQ(MV620Sim_GetMessage(2, &m), 1);
    EXPECT_EQ(m.message, 1026u);
    EXPECT_EQ(m.wParam, 100u);
    EXPECT_EQ(m.lParam, -7);
    EXPECT_EQ(MV620Sim_GetMessage(3, &m), 0);
}

TEST_F(SimApi, VirtualClockAdvancesOneMillisecondPerReadingAndWraps) {
    ASSERT_EQ(MV620Sim_SetVirtualClock(1, 0xFFFFFFFEu), 1);
    EXPECT_EQ(mv620::platform::tickCount(), 0xFFFFFFFEu);
    EXPECT_EQ(mv620::platform::tickCount(), 0xFFFFFFFFu);
    EXPECT_EQ(mv620::platform::tickCount(), 0u);
    EXPECT_EQ(mv620::platform::tickCount(), 1u);

    ASSERT_EQ(MV620Sim_SetVirtualClock(1, 1000), 1);
    std::uint32_t last = mv620::platform::tickCount();
    for (int i = 0; i < 100; ++i) {
        const std::uint32_t now = mv620::platform::tickCount();
        ASSERT_EQ(now, last + 1);
        last = now;
    }
    ASSERT_EQ(MV620Sim_SetVirtualClock(0, 0), 1);
    EXPECT_FALSE(mv620::sim::virtualClockRunning());
}

// ---- Environment at load ----------------------------------------------------------------------

struct EnvironmentCase {
    std::string name;
    std::map<std::string, std::string> variables;
    std::function<void(const mv620::sim::LoadOptions&)> check;
};

void PrintTo(const EnvironmentCase& c, std::ostream* os) { *os << c.name; }

const std::map<std::string, std::string>* currentVariables = nullptr;

const char* lookUp(const char* name) {
    const auto found = currentVariables->find(name);
    return found == currentVariables->end() ? nullptr : found->second.c_str();
}

class EnvironmentOptions : public ::testing::TestWithParam<EnvironmentCase> {};

TEST_P(EnvironmentOptions, GiveTheSettingsAtLoad) {
    currentVariables = &GetParam().variables;
    const auto options = mv620::sim::loadOptionsFrom(&lookUp);
    currentVariables = nullptr;
    GetParam().check(options);
}

using mv620::sim::LoadOptions;
using mv620::sim::Pattern;

INSTANTIATE_TEST_SUITE_P(
    Variables, EnvironmentOptions,
    ::testing::Values(EnvironmentCase{"NoneGiveApplicationDefaults",
                                      {},
                                      [](const LoadOptions& o) {
                                          EXPECT_FALSE(o.settings.absent);
                                          EXPECT_EQ(o.settings.vendorId, 0x0547);
                                          EXPECT_EQ(o.settings.productId, 0x1002);
                                          EXPECT_EQ(o.settings.samplesPerSecond, 320000u);
                                          EXPECT_EQ(o.settings.pattern, Pattern::Identify);
                                          EXPECT_EQ(o.settings.statusByte, 90);
                                          EXPECT_EQ(o.settings.inputs, 0);
                                          EXPECT_FALSE(o.virtualClock);
                                      }},
                      EnvironmentCase{"Absent",
                                      {{"MV620SIM_DEVICE", "absent"}},
                                      [](const LoadOptions& o) { EXPECT_TRUE(o.settings.absent); }},
                      EnvironmentCase{"Foreign",
                                      {{"MV620SIM_DEVICE", "FOREIGN"}},
                                      [](const LoadOptions& o) {
                                          EXPECT_FALSE(o.settings.absent);
                                          EXPECT_EQ(o.settings.vendorId, 0x04B4);
                                      }},
                      EnvironmentCase{"SineAtFullSpeedWithStatusAndInputs",
                                      {{"MV620SIM_PATTERN", "sine"},
                                       {"MV620SIM_RATE", "0"},
                                       {"MV620SIM_STATUS", "0x7F"},
                                       {"MV620SIM_INPUTS", "5"},
                                       {"MV620SIM_VIRTUAL_CLOCK", "1"}},
                                      [](const LoadOptions& o) {
                                          EXPECT_EQ(o.settings.pattern, Pattern::Sine);
                                          EXPECT_EQ(o.settings.samplesPerSecond, 0u);
                                          EXPECT_EQ(o.settings.statusByte, 127);
                                          EXPECT_EQ(o.settings.inputs, 5);
                                          EXPECT_TRUE(o.virtualClock);
                                      }},
                      EnvironmentCase{"UnreadableValuesKeepDefaults",
                                      {{"MV620SIM_DEVICE", "maybe"},
                                       {"MV620SIM_PATTERN", "square"},
                                       {"MV620SIM_RATE", "-5"},
                                       {"MV620SIM_STATUS", "256"},
                                       {"MV620SIM_INPUTS", "12abc"},
                                       {"MV620SIM_VIRTUAL_CLOCK", "yes"}},
                                      [](const LoadOptions& o) {
                                          EXPECT_FALSE(o.settings.absent);
                                          EXPECT_EQ(o.settings.vendorId, 0x0547);
                                          EXPECT_EQ(o.settings.pattern, Pattern::Identify);
                                          EXPECT_EQ(o.settings.samplesPerSecond, 320000u);
                                          EXPECT_EQ(o.settings.statusByte, 90);
                                          EXPECT_EQ(o.settings.inputs, 0);
                                          EXPECT_FALSE(o.virtualClock);
                                      }},
                      EnvironmentCase{"RampAtAGivenRate",
                                      {{"MV620SIM_PATTERN", "Ramp"}, {"MV620SIM_RATE", "640000"}},
                                      [](const LoadOptions& o) {
                                          EXPECT_EQ(o.settings.pattern, Pattern::Ramp);
                                          EXPECT_EQ(o.settings.samplesPerSecond, 640000u);
                                      }}),
    [](const auto& test) { return test.param.name; });

} // namespace
