// The simulated driver: device path, handles, the exact parameter blocks of the six control
// codes, the refusal of everything else, and the request log.
#include "sim/sim_driver.h"
#include "sim_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <ostream>
#include <string>
#include <thread>

namespace {

using namespace simtest;
using mv620::platform::kInvalidDevice;
using mv620::sim::SimDriver;
using mv620::sim::StatsSlot;

// ---- Open and close -----------------------------------------------------------------------

TEST(DriverOpen, AcceptsOnlyTheExactDevicePath) {
    SimDriver driver;
    for (const char* wrong : {"", "\\\\.\\Ezusb-1", "\\\\.\\ezusb-0", "\\\\.\\Ezusb-0 ", "Ezusb-0",
                              "\\\\.\\Ezusb-00"}) {
        EXPECT_EQ(driver.open(wrong), kInvalidDevice) << '"' << wrong << '"';
    }
    EXPECT_EQ(driver.open(nullptr), kInvalidDevice);
    const auto handle = driver.open(kPath);
    ASSERT_NE(handle, kInvalidDevice);
    driver.close(handle);

    const auto stats = driver.withState([](auto& s) { return s.statsFor(StatsSlot::Open); });
    EXPECT_EQ(stats.issued, 8u);
    EXPECT_EQ(stats.succeeded, 1u);
    EXPECT_EQ(stats.refused, 7u);
}

TEST(DriverOpen, HandlesAreDistinctSmallIntegersAndCounted) {
    SimDriver driver;
    const auto a = driver.open(kPath);
    const auto b = driver.open(kPath);
    const auto c = driver.open(kPath);
    EXPECT_GT(a, 0);
    EXPECT_NE(a, b);
    EXPECT_NE(b, c);
    EXPECT_NE(a, c);
    EXPECT_LT(c, 100);
    EXPECT_EQ(driver.withState([](auto& s) { return s.handles.size(); }), 3u);
    driver.close(b);
    EXPECT_EQ(driver.withState([](auto& s) { return s.handles.size(); }), 2u);
    // The closed handle is dead; the others still work.
    std::uint8_t byte = 0;
    const auto block = vendorBlock(1, 15, 0);
    std::uint32_t returned = 0;
    EXPECT_FALSE(driver.control(b, kVendorCode, block.data(), 10, &byte, 1, &returned));
    EXPECT_TRUE(driver.control(a, kVendorCode, block.data(), 10, &byte, 1, &returned));
    EXPECT_TRUE(driver.control(c, kVendorCode, block.data(), 10, &byte, 1, &returned));
    driver.close(b); // twice: refused and counted
    driver.close(a);
    driver.close(c);
    EXPECT_EQ(driver.withState([](auto& s) { return s.handles.size(); }), 0u);
    const auto stats = driver.withState([](auto& s) { return s.statsFor(StatsSlot::Close); });
    EXPECT_EQ(stats.refused, 1u);
    EXPECT_EQ(driver.withState([](auto& s) { return s.malformed; }), 2u);
}

// ---- Strict parameter blocks --------------------------------------------------------------

struct BadRequest {
    std::string name;
    std::uint32_t code;
    std::vector<std::uint8_t> in;
    std::uint32_t outLength;
};

void PrintTo(const BadRequest& request, std::ostream* os) { *os << request.name; }

std::vector<std::uint8_t> bytesOf(const auto& block) { return {block.begin(), block.end()}; }

std::vector<std::uint8_t> with(std::vector<std::uint8_t> v, std::size_t at, std::uint8_t b) {
    v[at] = b;
    return v;
}

std::vector<BadRequest> badRequests() {
    const auto set = bytesOf(vendorBlock(0, 13, 1));
    const auto clear = bytesOf(vendorBlock(0, 14, 0xFE));
    const auto input = bytesOf(vendorBlock(1, 15, 0));
    const auto readPipe = bytesOf(pipeBlock(0));
    const auto writePipe = bytesOf(pipeBlock(1));
    auto longer = [](std::vector<std::uint8_t> v) {
        v.push_back(0);
        return v;
    };
    auto shorter = [](std::vector<std::uint8_t> v) {
        v.pop_back();
        return v;
    };
    return {
        {"UnknownCode", 0x222000, readPipe, 0},
        {"UnknownCodeNearBulkRead", 0x22204A, readPipe, 64},
        {"DescriptorWithInput", 0x222004, readPipe, 146},
        {"DescriptorOutput145", 0x222004, {}, 145},
        {"DescriptorOutput147", 0x222004, {}, 147},
        {"DescriptorOutput18", 0x222004, {}, 18},
        {"VendorBlockNineBytes", 0x222059, shorter(set), 0},
        {"VendorBlockElevenBytes", 0x222059, longer(set), 0},
        {"VendorTypeStandard", 0x222059, with(set, 1, 0), 0},
        {"VendorTypeClass", 0x222059, with(set, 1, 1), 0},
        {"VendorRecipientInterface", 0x222059, with(set, 2, 1), 0},
        {"VendorReservedBits", 0x222059, with(set, 3, 1), 0},
        {"VendorRequest12", 0x222059, with(set, 4, 12), 0},
        {"VendorRequest16", 0x222059, with(set, 4, 16), 0},
        {"SetDeviceToHost", 0x222059, with(set, 0, 1), 0},
        {"SetWithOutput", 0x222059, set, 1},
        {"SetIndexNotZero", 0x222059, with(set, 8, 1), 0},
        {"ClearDeviceToHost", 0x222059, with(clear, 0, 1), 0},
        {"ClearIndexHighByte", 0x222059, with(clear, 9, 1), 0},
        {"ClearWithOutput", 0x222059, clear, 2},
        {"InputHostToDevice", 0x222059, with(input, 0, 0), 1},
        {"InputValueNotZero", 0x222059, with(input, 6, 1), 1},
        {"InputIndexNotZero", 0x222059, with(input, 8, 1), 1},
        {"InputNoOutput", 0x222059, input, 0},
        {"InputTwoBytes", 0x222059, input, 2},
        {"BulkReadShortBlock", 0x22204E, shorter(readPipe), 64},
        {"BulkReadLongBlock", 0x22204E, longer(readPipe), 64},
        {"BulkReadWritePipe", 0x22204E, writePipe, 64},
        {"BulkReadHighPipeByte", 0x22204E, with(readPipe, 3, 1), 64},
        {"BulkReadNothing", 0x22204E, readPipe, 0},
        {"BulkWriteReadPipe", 0x222051, readPipe, 64},
        {"BulkWrite63", 0x222051, writePipe, 63},
        {"BulkWrite65", 0x222051, writePipe, 65},
        {"BulkWriteLongBlock", 0x222051, longer(writePipe), 64},
        {"AbortWritePipe", 0x22203D, writePipe, 0},
        {"AbortWithOutput", 0x22203D, readPipe, 4},
        {"AbortNoBlock", 0x22203D, {}, 0},
        {"ResetWritePipe", 0x222035, writePipe, 0},
        {"ResetWithOutput", 0x222035, readPipe, 1},
        {"ResetShortBlock", 0x222035, shorter(readPipe), 0},
    };
}

class DriverRefuses : public ::testing::TestWithParam<BadRequest> {};

TEST_P(DriverRefuses, MalformedRequestFailsIsCountedAndChangesNothing) {
    const BadRequest& bad = GetParam();
    SimDriver driver;
    Host host(driver);
    ASSERT_TRUE(host.opened());
    ASSERT_TRUE(host.write(startPacket(Dividers{1})));
    ASSERT_TRUE(host.write(commandPacket(18)));

    std::vector<std::uint8_t> out(std::max<std::uint32_t>(bad.outLength, 1), 0x5A);
    if (bad.code == kBulkWriteCode) {
        const Packet p = commandPacket(18);
        std::copy(p.begin(), p.begin() + std::min<std::size_t>(64, out.size()), out.begin());
    }
    std::uint32_t returned = 0xFFFF;
    const bool ok =
        host.control(bad.code, bad.in.empty() ? nullptr : bad.in.data(),
                     static_cast<std::uint32_t>(bad.in.size()),
                     bad.outLength == 0 ? nullptr : out.data(), bad.outLength, &returned);
    EXPECT_FALSE(ok);
    EXPECT_EQ(returned, 0u);

    driver.withState([&](auto& s) {
        EXPECT_EQ(s.malformed, 1u);
        EXPECT_EQ(s.statsFor(mv620::sim::statsSlotOf(bad.code)).refused, 1u);
        const auto* last = s.requests.find(s.requests.total() - 1);
        ASSERT_NE(last, nullptr);
        EXPECT_TRUE(last->refused);
        EXPECT_FALSE(last->result);
        EXPECT_EQ(last->code, bad.code);
        EXPECT_EQ(last->outLength, bad.outLength);
        // Nothing reached the firmware: one status response pending, block 0 untouched, lines
        // unchanged, no new packet.
        EXPECT_EQ(s.model.pendingResponses(), 1u);
        EXPECT_EQ(s.model.currentBlock(), 0u);
        EXPECT_EQ(s.model.blocksDelivered(), 0u);
        EXPECT_EQ(s.model.outputLines(), 0);
        EXPECT_EQ(s.model.packets().total(), 2u);
        EXPECT_EQ(s.model.protocolErrors(), 0u);
    });
}

INSTANTIATE_TEST_SUITE_P(Requests, DriverRefuses, ::testing::ValuesIn(badRequests()),
                         [](const auto& test) { return test.param.name; });

TEST(DriverRefusesHandle, RequestsOnHandlesThatAreNotOpen) {
    SimDriver driver;
    const auto block = pipeBlock(0);
    std::uint32_t returned = 7;
    for (const mv620::platform::DeviceHandle handle :
         {kInvalidDevice, std::intptr_t{0}, std::intptr_t{1}, std::intptr_t{9999}}) {
        EXPECT_FALSE(driver.control(handle, kAbortCode, block.data(), 4, nullptr, 0, &returned));
        EXPECT_EQ(returned, 0u);
    }
    EXPECT_EQ(driver.withState([](auto& s) { return s.malformed; }), 4u);
    EXPECT_EQ(driver.withState([](auto& s) { return s.statsFor(StatsSlot::AbortPipe).refused; }),
              4u);
}

// ---- Well-formed requests of every code -------------------------------------------------------

TEST(DriverAnswers, DescriptorCarriesTheInstrumentsIdentity) {
    SimDriver driver;
    Host host(driver);
    std::array<std::uint8_t, 146> d{};
    std::uint32_t returned = 0;
    ASSERT_TRUE(host.descriptor(d, &returned));
    EXPECT_EQ(returned, 18u);
    EXPECT_EQ(d[0], 18);
    EXPECT_EQ(d[1], 1);
    EXPECT_EQ(d[8], 0x47);
    EXPECT_EQ(d[9], 0x05);
    EXPECT_EQ(d[10], 0x02);
    EXPECT_EQ(d[11], 0x10);
}

struct LineStep {
    bool set;
    std::uint16_t value;
    int linesAfter;
};

TEST(DriverAnswers, OutputLinesFollowTheValueWords) {
    SimDriver driver;
    Host host(driver);
    const LineStep steps[] = {
        {true, 0x0001, 0x1},  {true, 0x0008, 0x9},  {true, 0x0000, 0x9},  // line 4 to 7: nothing
        {true, 0x0004, 0xD},  {false, 0x00FF, 0xD}, {false, 0x01FF, 0xD}, // lines 4 to 15
        {false, 0x00FE, 0xC}, {false, 0x00F7, 0x4}, {true, 0x0002, 0x6},
        {false, 0x00FB, 0x2}, {false, 0x00FD, 0x0},
    };
    for (const LineStep& step : steps) {
        ASSERT_TRUE(step.set ? host.setLine(step.value) : host.clearLine(step.value));
        EXPECT_EQ(driver.withState([](auto& s) { return s.model.outputLines(); }), step.linesAfter)
            << (step.set ? "set " : "clear ") << step.value;
    }
    EXPECT_EQ(driver.withState([](auto& s) { return s.model.protocolErrors(); }), 0u);
}

TEST(DriverAnswers, LineValuesOutsideTheMasksAreProtocolErrors) {
    SimDriver driver;
    Host host(driver);
    EXPECT_TRUE(host.setLine(0x0010));
    EXPECT_TRUE(host.clearLine(0x000E));
    EXPECT_EQ(driver.withState([](auto& s) { return s.model.protocolErrors(); }), 2u);
}

TEST(DriverAnswers, InputPortGivesInputsAndTheReadyBit) {
    SimDriver driver;
    driver.withState([](auto& s) { s.model.setInputs(0x55); });
    Host host(driver);
    std::uint8_t byte = 0;
    std::uint32_t returned = 0;
    const auto block = vendorBlock(1, 15, 0);
    ASSERT_TRUE(host.control(kVendorCode, block.data(), 10, &byte, 1, &returned));
    EXPECT_EQ(returned, 1u);
    EXPECT_EQ(byte, 0x55);
    ASSERT_TRUE(host.write(startPacket(Dividers{1})));
    EXPECT_EQ(host.inputs(), 0xD5);
}

TEST(DriverAnswers, PaddingByteOfTheVendorBlockIsNotLookedAt) {
    SimDriver driver;
    Host host(driver);
    auto block = vendorBlock(0, 13, 0x0002);
    block[5] = 0xCC;
    EXPECT_TRUE(host.control(kVendorCode, block.data(), 10, nullptr, 0));
    EXPECT_EQ(driver.withState([](auto& s) { return s.model.outputLines(); }), 0x2);
}

TEST(DriverAnswers, WriteReadAbortAndResetSucceed) {
    SimDriver driver;
    Host host(driver);
    std::uint32_t returned = 0;
    Packet status = commandPacket(18, 7);
    const auto writeBlock = pipeBlock(1);
    ASSERT_TRUE(host.control(kBulkWriteCode, writeBlock.data(), 4, status.data(), 64, &returned));
    EXPECT_EQ(returned, 64u);
    Packet response{};
    ASSERT_TRUE(host.read(response.data(), 64, &returned));
    EXPECT_EQ(returned, 64u);
    EXPECT_EQ(response[0], 18);
    EXPECT_EQ(response[1], 7);
    EXPECT_EQ(response[3], 90);
    EXPECT_TRUE(host.abortPipe());
    EXPECT_TRUE(host.resetPipe());

    driver.withState([](auto& s) {
        EXPECT_EQ(s.malformed, 0u);
        for (const auto slot : {StatsSlot::BulkWrite, StatsSlot::BulkRead, StatsSlot::AbortPipe,
                                StatsSlot::ResetPipe}) {
            EXPECT_EQ(s.statsFor(slot).issued, 1u);
            EXPECT_EQ(s.statsFor(slot).succeeded, 1u);
        }
        ASSERT_EQ(s.requests.total(), 4u);
        const auto* write = s.requests.find(0);
        ASSERT_NE(write, nullptr);
        EXPECT_EQ(write->code, kBulkWriteCode);
        EXPECT_EQ(write->inLength, 4u);
        EXPECT_EQ(write->in[0], 1);
        EXPECT_EQ(write->bytesReturned, 64u);
        EXPECT_TRUE(write->result);
    });
}

// ---- Concurrency ------------------------------------------------------------------------------

// The stream on one handle and the control path (lines, inputs) on another, at the same time:
// every block whole and exact, every line request carried out.
TEST(DriverThreads, StreamAndControlPathOnTwoHandlesAtOnce) {
    SimDriver driver;
    Host streamer(driver);
    ASSERT_TRUE(streamer.write(startPacket(Dividers{1})));
    const auto stream = expectedStream(Dividers{1}, 20 * kBlockSamples);
    int exactBlocks = 0;
    std::thread acquisition([&] {
        for (std::size_t i = 0; i < 20; ++i) {
            while (!streamer.ready()) {
            }
            const auto block = streamer.block();
            exactBlocks +=
                std::equal(block.begin(), block.end(),
                           stream.begin() + static_cast<std::ptrdiff_t>(i * kBlockSamples)) &&
                        block.size() == kBlockSamples
                    ? 1
                    : 0;
        }
    });
    int carriedOut = 0;
    {
        Host commander(driver);
        for (int i = 0; i < 200; ++i) {
            const std::uint8_t line = static_cast<std::uint8_t>(i % 4);
            const bool on = commander.control(kVendorCode, vendorBlock(0, 13, 1U << line).data(),
                                              10, nullptr, 0);
            const bool off = commander.control(
                kVendorCode,
                vendorBlock(0, 14, static_cast<std::uint16_t>(0xFF ^ (1U << line))).data(), 10,
                nullptr, 0);
            carriedOut += on && off && commander.inputs() >= 0 ? 1 : 0;
        }
    }
    acquisition.join();
    EXPECT_EQ(exactBlocks, 20);
    EXPECT_EQ(carriedOut, 200);
    EXPECT_EQ(driver.withState([](auto& s) { return s.model.outputLines(); }), 0);
    EXPECT_EQ(driver.withState([](auto& s) { return s.model.protocolErrors(); }), 0u);
}

} // namespace
