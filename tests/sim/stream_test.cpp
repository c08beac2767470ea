// The sample stream: scan passes, block framing, patterns, restarts and pacing.
#include "sim/firmware_model.h"
#include "sim/sample_stream.h"
#include "sim/sim_driver.h"
#include "sim_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <string>

namespace {

using namespace simtest;
using mv620::sim::Pattern;
using mv620::sim::SimDriver;

struct DividerSet {
    std::string name;
    Dividers dividers;
};

void PrintTo(const DividerSet& set, std::ostream* os) { *os << set.name; }

Dividers allAt(int d) {
    Dividers ds{};
    ds.fill(d);
    return ds;
}

std::vector<DividerSet> dividerSets() {
    Dividers thirtyNinePlusOne = allAt(1);
    thirtyNinePlusOne[39] = 10;

    Dividers mixed{};
    const int cycle[] = {1, 2, 5, 10, 0};
    for (std::size_t c = 0; c < 40; ++c) {
        mixed[c] = cycle[c % 5];
    }

    Dividers fourChannels{}; // 18 samples every 10 passes: blocks end inside passes
    fourChannels[0] = 1;
    fourChannels[1] = 2;
    fourChannels[2] = 5;
    fourChannels[3] = 10;

    Dividers lastOnly{};
    lastOnly[21] = 10;

    return {{"AllAtOne", allAt(1)},           {"ThirtyNineAtOneAndOneAtTen", thirtyNinePlusOne},
            {"MixedOneTwoFiveTenOff", mixed}, {"FourChannelsOneTwoFiveTen", fourChannels},
            {"AllAtFive", allAt(5)},          {"OnlyLastScanPositionAtTen", lastOnly}};
}

class StreamMatchesScan : public ::testing::TestWithParam<DividerSet> {};

TEST_P(StreamMatchesScan, ThreeBlocksFollowTheScanPassByPass) {
    SimDriver driver;
    Host host(driver);
    ASSERT_TRUE(host.write(startPacket(GetParam().dividers)));

    std::vector<std::uint16_t> got;
    for (int b = 0; b < 3; ++b) {
        ASSERT_TRUE(host.ready());
        const auto block = host.block();
        ASSERT_EQ(block.size(), kBlockSamples) << "block " << b;
        got.insert(got.end(), block.begin(), block.end());
    }
    const auto expected = expectedStream(GetParam().dividers, got.size());
    ASSERT_EQ(expected.size(), got.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i], expected[i]) << "sample " << i;
    }
    EXPECT_EQ(driver.withState([](auto& s) { return s.model.protocolErrors(); }), 0u);
}

INSTANTIATE_TEST_SUITE_P(DividerSets, StreamMatchesScan, ::testing::ValuesIn(dividerSets()),
                         [](const auto& test) { return test.param.name; });

TEST(StreamFraming, BlockBoundaryFallsInsideAScanPass) {
    // 39 channels every pass and channel 39 every tenth: 391 samples per 10 passes, so block 0
    // ends 17 samples into pass 819, after channel 0 at scan position 16.
    Dividers ds = allAt(1);
    ds[39] = 10;
    SimDriver driver;
    Host host(driver);
    ASSERT_TRUE(host.write(startPacket(ds)));
    const auto first = host.block();
    const auto second = host.block();
    ASSERT_EQ(first.size(), kBlockSamples);
    ASSERT_EQ(second.size(), kBlockSamples);
    EXPECT_EQ(first.front(), identifyValue(3, 0));
    EXPECT_EQ(first.back(), identifyValue(0, 818));
    EXPECT_EQ(second.front(), identifyValue(28, 818));
}

TEST(StreamFraming, AllChannelsEveryPassEndBlocksOnPassBoundaries) {
    SimDriver driver;
    Host host(driver);
    ASSERT_TRUE(host.write(startPacket(allAt(1))));
    const auto block = host.block();
    ASSERT_EQ(block.size(), kBlockSamples);
    EXPECT_EQ(block.front(), identifyValue(3, 0));   // scan position 0
    EXPECT_EQ(block[16], identifyValue(0, 0));       // scan position 16
    EXPECT_EQ(block.back(), identifyValue(21, 799)); // 800 whole passes
}

TEST(StreamFraming, SamplesAreSentHighByteFirst) {
    Dividers ds{};
    ds[39] = 1; // identify value 39 * 1637 = 63843 = 0xF963
    SimDriver driver;
    Host host(driver);
    ASSERT_TRUE(host.write(startPacket(ds)));
    std::vector<std::uint8_t> bytes(kBlockBytes);
    ASSERT_TRUE(host.read(bytes.data(), kBlockBytes));
    EXPECT_EQ(bytes[0], 0xF9);
    EXPECT_EQ(bytes[1], 0x63);
    EXPECT_EQ(bytes[2], 0xF9);
    EXPECT_EQ(bytes[3], 0x64);
}

TEST(StreamRestart, NewStartPacketBeginsAgainFromTheFirstSample) {
    SimDriver driver;
    Host host(driver);
    Dividers ds{};
    ds[5] = 2;
    ASSERT_TRUE(host.write(startPacket(ds)));
    ASSERT_EQ(host.firstSample(), identifyValue(5, 0));
    ASSERT_EQ(host.firstSample(), identifyValue(5, 32000));

    ds[5] = 0;
    ds[7] = 1;
    ASSERT_TRUE(host.write(startPacket(ds)));
    const auto block = host.block();
    ASSERT_EQ(block.size(), kBlockSamples);
    EXPECT_EQ(block.front(), identifyValue(7, 0));
    EXPECT_EQ(block.back(), identifyValue(7, 31999));
}

TEST(StreamRestart, StartPacketDropsPendingResponsesAndThePartReadBlock) {
    SimDriver driver;
    Host host(driver);
    ASSERT_TRUE(host.write(startPacket(allAt(1))));
    std::vector<std::uint8_t> part(1000);
    ASSERT_TRUE(host.read(part.data(), 1000)); // the first 500 samples of block 0
    ASSERT_TRUE(host.write(commandPacket(18)));
    ASSERT_TRUE(host.write(startPacket(allAt(1))));
    EXPECT_EQ(driver.withState([](auto& s) { return s.model.pendingResponses(); }), 0u);

    // Nothing of the old stream or its answer is left: the pipe begins with the new stream.
    const auto block = host.block();
    ASSERT_EQ(block.size(), kBlockSamples);
    EXPECT_EQ(block, expectedStream(allAt(1), kBlockSamples));
}

TEST(StreamRestart, AllDividersZeroProduceNoStream) {
    SimDriver driver;
    Host host(driver);
    ASSERT_TRUE(host.write(startPacket(allAt(1))));
    ASSERT_TRUE(host.ready());
    ASSERT_TRUE(host.write(startPacket(Dividers{})));
    EXPECT_EQ(host.inputs() & 0x80, 0);
    std::vector<std::uint8_t> bytes(kBlockBytes);
    EXPECT_FALSE(host.read(bytes.data(), kBlockBytes));
    EXPECT_EQ(driver.withState([](auto& s) { return s.model.protocolErrors(); }), 1u);
}

TEST(StreamRestart, NoStreamBeforeTheFirstStartPacket) {
    SimDriver driver;
    Host host(driver);
    EXPECT_EQ(host.inputs(), 0);
    EXPECT_TRUE(host.block().empty());
}

// ---- Patterns ------------------------------------------------------------------------------

TEST(Patterns, IdentifyTellsChannelAndSampleNumber) {
    EXPECT_EQ(mv620::sim::patternValue(Pattern::Identify, 0, 0), 0);
    EXPECT_EQ(mv620::sim::patternValue(Pattern::Identify, 0, 1636), 1636);
    EXPECT_EQ(mv620::sim::patternValue(Pattern::Identify, 0, 1637), 0);
    EXPECT_EQ(mv620::sim::patternValue(Pattern::Identify, 1, 1637 * 5 + 3), 1640);
    EXPECT_EQ(mv620::sim::patternValue(Pattern::Identify, 39, 1636), 65479);
}

TEST(Patterns, SineFollowsItsFormulaWithinOneCount) {
    const double pi = std::acos(-1.0);
    for (std::uint32_t c : {0u, 7u, 39u}) {
        const std::uint64_t period = 100u * (c + 1);
        int lowest = 65536;
        int highest = -1;
        for (std::uint64_t n = 0; n < 2 * period; ++n) {
            const double ideal =
                32768.0 + 32767.0 * std::sin(2 * pi * static_cast<double>(n % period) /
                                             static_cast<double>(period));
            const int v = mv620::sim::patternValue(Pattern::Sine, c, n);
            ASSERT_NEAR(v, ideal, 1.0) << "channel " << c << " sample " << n;
            lowest = std::min(lowest, v);
            highest = std::max(highest, v);
        }
        EXPECT_EQ(lowest, 1);
        EXPECT_EQ(highest, 65535);
    }
}

TEST(Patterns, RampRisesBySixtyFourTimesChannelPlusOneAndWraps) {
    EXPECT_EQ(mv620::sim::patternValue(Pattern::Ramp, 0, 1), 64);
    EXPECT_EQ(mv620::sim::patternValue(Pattern::Ramp, 3, 10), 2560);
    EXPECT_EQ(mv620::sim::patternValue(Pattern::Ramp, 0, 1024), 0);
    EXPECT_EQ(mv620::sim::patternValue(Pattern::Ramp, 39, 1000), (1000 * 64 * 40) % 65536);
}

TEST(Patterns, StreamCarriesTheSelectedPattern) {
    SimDriver driver;
    driver.withState([](auto& s) { s.model.setPattern(Pattern::Ramp); });
    Host host(driver);
    Dividers ds{};
    ds[2] = 1;
    ds[9] = 1; // scan positions 32 (channel 2) and 10 (channel 9)
    ASSERT_TRUE(host.write(startPacket(ds)));
    const auto block = host.block();
    ASSERT_EQ(block.size(), kBlockSamples);
    for (std::uint64_t n = 0; n < 100; ++n) {
        ASSERT_EQ(block[static_cast<std::size_t>(2 * n)],
                  mv620::sim::patternValue(Pattern::Ramp, 9, n));
        ASSERT_EQ(block[static_cast<std::size_t>(2 * n + 1)],
                  mv620::sim::patternValue(Pattern::Ramp, 2, n));
    }
}

// ---- The read pipe, one byte stream ------------------------------------------------------------

// What one read of `length` bytes returns, or nothing when it fails.
std::vector<std::uint8_t> readBytes(Host& host, std::uint32_t length) {
    std::vector<std::uint8_t> bytes(length);
    std::uint32_t returned = 0;
    if (!host.read(bytes.data(), length, &returned)) {
        return {};
    }
    bytes.resize(returned);
    return bytes;
}

TEST(ReadPipe, AReadTakesTheNextBytesWhateverItsLength) {
    SimDriver driver;
    Host host(driver);
    ASSERT_TRUE(host.write(commandPacket(18, 7)));
    const auto head = readBytes(host, 10);
    ASSERT_EQ(head.size(), 10u);
    EXPECT_EQ(head[0], 18);
    EXPECT_EQ(head[1], 7) << "the answer echoes the sequence number";
    EXPECT_EQ(head[3], 90);
    // A block-sized read takes the rest of the answer and nothing more: there is no stream.
    const auto rest = readBytes(host, kBlockBytes);
    ASSERT_EQ(rest.size(), 54u);
    EXPECT_TRUE(readBytes(host, 64).empty()) << "nothing left to take";
}

// An answer produced during a stream joins the pipe as soon as no block is in transfer. A host
// that then reads a block takes the answer's bytes as the block's first ones, and every block
// after it is shifted: the hazard the library's read pipe claims exist for.
TEST(ReadPipe, AnAnswerBetweenBlocksIsTakenByTheNextBlockRead) {
    SimDriver driver;
    Host host(driver);
    const auto stream = expectedStream(allAt(1), 2 * kBlockSamples);
    ASSERT_TRUE(host.write(startPacket(allAt(1))));
    ASSERT_TRUE(host.write(commandPacket(18)));

    const auto misread = readBytes(host, kBlockBytes);
    ASSERT_EQ(misread.size(), kBlockBytes) << "the answer, then block 0 up to its end";
    EXPECT_EQ(misread[0], 18);
    EXPECT_EQ(misread[3], 90);
    std::vector<std::uint8_t> shifted(misread.begin() + 64, misread.end());
    EXPECT_EQ(Host::samplesOf(shifted).front(), stream[0]);
    const auto tail = readBytes(host, kBlockBytes);
    ASSERT_EQ(tail.size(), 64u) << "the last 64 bytes of block 0 are still to come";
    EXPECT_EQ(Host::samplesOf(tail).back(), stream[kBlockSamples - 1]);
}

// A block in transfer is finished first: the answer comes right behind it.
TEST(ReadPipe, AnAnswerDuringABlockComesBehindIt) {
    SimDriver driver;
    Host host(driver);
    const auto stream = expectedStream(allAt(1), 2 * kBlockSamples);
    ASSERT_TRUE(host.write(startPacket(allAt(1))));
    ASSERT_EQ(readBytes(host, 100).size(), 100u);
    ASSERT_TRUE(host.write(commandPacket(18)));

    const auto restOfBlock = readBytes(host, kBlockBytes);
    ASSERT_EQ(restOfBlock.size(), kBlockBytes - 100) << "no read reaches past its block";
    EXPECT_EQ(Host::samplesOf(restOfBlock).back(), stream[kBlockSamples - 1]);
    Packet answer{};
    ASSERT_TRUE(host.response(answer));
    EXPECT_EQ(answer[0], 18);
    EXPECT_EQ(answer[3], 90);
    EXPECT_EQ(host.block().front(), stream[kBlockSamples]) << "block 1 follows, unshifted";
}

// No command stops the stream: a host that has stopped reading leaves the blocks waiting in the
// instrument, and the answer to its next command is still the next thing it reads.
TEST(ReadPipe, AStreamNoLongerReadKeepsNoAnswerWaiting) {
    using std::chrono::milliseconds;
    mv620::sim::FirmwareModel model;
    model.setRate(320000, {}); // 10 blocks per second
    const auto t0 = mv620::sim::SimClock::now();
    ASSERT_TRUE(model.writePacket(startPacket(allAt(1)).data(), t0));
    std::vector<std::uint8_t> bytes(kBlockBytes);
    std::uint32_t returned = 0;
    ASSERT_TRUE(model.readPipe(bytes.data(), kBlockBytes, returned, t0 + milliseconds(100)));

    const auto later = t0 + milliseconds(5000); // 49 more blocks wait
    ASSERT_TRUE(model.blockReady(later));
    ASSERT_TRUE(model.writePacket(commandPacket(18).data(), later));
    ASSERT_TRUE(model.readPipe(bytes.data(), 64, returned, later));
    ASSERT_EQ(returned, 64u);
    EXPECT_EQ(bytes[0], 18);
    EXPECT_EQ(bytes[3], 90);
    EXPECT_EQ(model.protocolErrors(), 0u);
}

TEST(ReadPipe, AnAnswerBeforeTheStreamIsReadFirst) {
    SimDriver driver;
    Host host(driver);
    ASSERT_TRUE(host.write(commandPacket(18)));
    Packet answer{};
    ASSERT_TRUE(host.response(answer));
    EXPECT_EQ(answer[3], 90);
    ASSERT_TRUE(host.write(startPacket(allAt(1))));
    EXPECT_EQ(host.block(), expectedStream(allAt(1), kBlockSamples));
}

// ---- Pacing ------------------------------------------------------------------------------------

TEST(Pacing, BlocksBecomeReadyAsTheAggregateRateProducesThem) {
    using std::chrono::milliseconds;
    mv620::sim::FirmwareModel model;
    model.setRate(320000, {}); // 10 blocks per second
    const auto t0 = mv620::sim::SimClock::now();
    Dividers ds = allAt(1);
    ASSERT_TRUE(model.writePacket(startPacket(ds).data(), t0));

    EXPECT_FALSE(model.blockReady(t0));
    EXPECT_FALSE(model.blockReady(t0 + milliseconds(99)));
    EXPECT_EQ(model.readInputPort(t0 + milliseconds(99)) & 0x80, 0);
    EXPECT_TRUE(model.blockReady(t0 + milliseconds(100)));
    EXPECT_EQ(model.readInputPort(t0 + milliseconds(100)) & 0x80, 0x80);

    std::vector<std::uint8_t> bytes(kBlockBytes);
    std::uint32_t returned = 0;
    EXPECT_FALSE(model.readPipe(bytes.data(), kBlockBytes, returned, t0 + milliseconds(50)));
    EXPECT_EQ(model.protocolErrors(), 1u);
    ASSERT_TRUE(model.readPipe(bytes.data(), kBlockBytes, returned, t0 + milliseconds(100)));
    EXPECT_FALSE(model.blockReady(t0 + milliseconds(199)));
    EXPECT_TRUE(model.blockReady(t0 + milliseconds(200)));

    // A host that falls behind finds the produced blocks waiting.
    ASSERT_TRUE(model.readPipe(bytes.data(), kBlockBytes, returned, t0 + milliseconds(1000)));
    ASSERT_TRUE(model.readPipe(bytes.data(), kBlockBytes, returned, t0 + milliseconds(1000)));
    EXPECT_EQ(model.blocksDelivered(), 3u);
}

TEST(Pacing, ChangingTheRateKeepsBlocksAlreadyProduced) {
    using std::chrono::milliseconds;
    mv620::sim::FirmwareModel model;
    model.setRate(320000, {});
    const auto t0 = mv620::sim::SimClock::now();
    ASSERT_TRUE(model.writePacket(startPacket(allAt(1)).data(), t0));
    model.setRate(32000, t0 + milliseconds(250)); // two blocks produced; now 1 block/s
    EXPECT_TRUE(model.blockReady(t0 + milliseconds(250)));
    std::vector<std::uint8_t> bytes(kBlockBytes);
    std::uint32_t returned = 0;
    ASSERT_TRUE(model.readPipe(bytes.data(), kBlockBytes, returned, t0 + milliseconds(250)));
    ASSERT_TRUE(model.readPipe(bytes.data(), kBlockBytes, returned, t0 + milliseconds(250)));
    EXPECT_FALSE(model.blockReady(t0 + milliseconds(1249)));
    EXPECT_TRUE(model.blockReady(t0 + milliseconds(1250)));

    model.setRate(0, t0 + milliseconds(1300));
    EXPECT_TRUE(model.blockReady(t0 + milliseconds(1300)));
}

} // namespace
