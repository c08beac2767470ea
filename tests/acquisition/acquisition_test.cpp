// The acquisition end to end against the simulated instrument: every sample read back through
// the exports is exactly the one the instrument sent for that channel and index.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <random>
#include <string>

#include "platform/clock.h"
#include "support/library_fixture.h"
#include "support/stream_model.h"

namespace mv620::testing {
namespace {

constexpr std::uint64_t kBlockSamples = 32000;

struct RateSet {
    std::string name;
    std::array<int, 40> rates; // by channel, as given to Set_Sample_Rate
};

std::array<int, 40> dividersOf(const std::array<int, 40>& rates) {
    std::array<int, 40> dividers{};
    for (std::size_t c = 0; c < 40; ++c) {
        const int r = rates[c];
        dividers[c] = r >= 10 ? 1 : r >= 5 ? 2 : r >= 2 ? 5 : r == 1 ? 10 : 0;
    }
    return dividers;
}

void applyRates(const std::array<int, 40>& rates) {
    for (int c = 0; c < 40; ++c) {
        ASSERT_EQ(Set_Sample_Rate(c, rates[static_cast<std::size_t>(c)]), 40);
    }
}

std::array<int, 40> ratesWith(std::initializer_list<std::pair<int, int>> on) {
    std::array<int, 40> rates{};
    for (const auto& [channel, rate] : on) {
        rates[static_cast<std::size_t>(channel)] = rate;
    }
    return rates;
}

std::vector<RateSet> rateSets() {
    std::vector<RateSet> sets;
    std::array<int, 40> all10{};
    all10.fill(10);
    sets.push_back({"All40AtRate10", all10});
    std::array<int, 40> largest = all10;
    largest[39] = 1;
    sets.push_back({"ThirtyNineAt10AndOneAt1", largest});
    sets.push_back({"Rate10AndRate1", ratesWith({{0, 10}, {1, 1}})});
    sets.push_back({"Rate5AndRate2", ratesWith({{0, 5}, {1, 2}})});
    sets.push_back({"FourRates", ratesWith({{0, 10}, {1, 5}, {2, 2}, {3, 1}})});
    sets.push_back({"SingleChannel21AtRate2", ratesWith({{21, 2}})});
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pick(0, 4);
    constexpr std::array<int, 5> kRates = {0, 10, 5, 2, 1};
    for (int i = 0; i < 2; ++i) {
        std::array<int, 40> rates{};
        for (auto& rate : rates) {
            rate = kRates[static_cast<std::size_t>(pick(random))];
        }
        rates[static_cast<std::size_t>(i)] = 10; // never all off
        sets.push_back({"Random" + std::to_string(i), rates});
    }
    return sets;
}

class EveryRateSet : public LibraryTest, public ::testing::WithParamInterface<RateSet> {};

// Every sample of every channel in the 15 readable blocks has the pattern's value; the sample
// just before them is overwritten and the one just after not yet transferred.
TEST_P(EveryRateSet, EverySampleInTheWindowIsExact) {
    applyRates(GetParam().rates);
    const StreamModel model(dividersOf(GetParam().rates));
    constexpr std::uint32_t kBlocks = 24;
    streamBlocks(kBlocks);

    const std::uint64_t first = (kBlocks - 15) * kBlockSamples;
    const std::uint64_t end = kBlocks * kBlockSamples;
    std::uint64_t checked = 0;
    for (std::uint64_t p = first; p < end; ++p) {
        const StreamModel::Sample s = model.at(p);
        const int value = Get_DataPoint(s.channel, static_cast<int>(s.index));
        if (value != expectedSample(s.channel, s.index)) {
            FAIL() << "channel " << s.channel << " sample " << s.index << " at stream position "
                   << p << " read " << value;
        }
        ++checked;
    }
    EXPECT_EQ(checked, 15 * kBlockSamples);
    const StreamModel::Sample before = model.at(first - 1);
    EXPECT_EQ(Get_DataPoint(before.channel, static_cast<int>(before.index)), SAMPLE_OVERWRITTEN);
    const StreamModel::Sample after = model.at(end);
    EXPECT_EQ(Get_DataPoint(after.channel, static_cast<int>(after.index)), SAMPLE_NOT_YET);
}

// Runs read through Get_Data_Samples and Get_Trigger agree with the pattern too.
TEST_P(EveryRateSet, RunsAreExact) {
    applyRates(GetParam().rates);
    const StreamModel model(dividersOf(GetParam().rates));
    constexpr std::uint32_t kBlocks = 18;
    streamBlocks(kBlocks);
    // The densest channel, from its first sample in the readable window.
    const auto& rates = GetParam().rates;
    const int channel =
        static_cast<int>(std::max_element(rates.begin(), rates.end()) - rates.begin());
    std::uint64_t p = (kBlocks - 15) * kBlockSamples;
    while (model.at(p).channel != channel) {
        ++p;
    }
    const StreamModel::Sample start = model.at(p);
    std::vector<int> buffer(400000, -100);
    const int stored = Get_Data_Samples(buffer.data(), channel, static_cast<int>(start.index),
                                        static_cast<int>(buffer.size()));
    ASSERT_GT(stored, 0);
    for (int i = 0; i < stored; ++i) {
        ASSERT_EQ(buffer[static_cast<std::size_t>(i)],
                  expectedSample(channel, start.index + static_cast<std::uint32_t>(i)));
    }
    if (stored < static_cast<int>(buffer.size())) {
        EXPECT_EQ(Get_DataPoint(channel, static_cast<int>(start.index) + stored), SAMPLE_NOT_YET);
        EXPECT_EQ(buffer[static_cast<std::size_t>(stored)], -100) << "stored past the failure";
    }
    // The identifying values rise by one per sample until they wrap every 1637 samples: the
    // first sample at or above a level is the level itself.
    std::vector<int> run(3000);
    const int level = channel * 1637 + 1000;
    const int from = static_cast<int>(start.index) + 1637 - static_cast<int>(start.index % 1637);
    EXPECT_EQ(Get_Trigger(run.data(), channel, from, 3000, TRIGGER_RISING, level), level);
    EXPECT_EQ(run[0], expectedSample(channel, static_cast<std::uint32_t>(from)));
}

INSTANTIATE_TEST_SUITE_P(RateSets, EveryRateSet, ::testing::ValuesIn(rateSets()),
                         [](const auto& param) { return param.param.name; });

class Acquisition : public LibraryTest {
protected:
    static void allAtRate10() {
        for (int c = 0; c < 40; ++c) {
            Set_Sample_Rate(c, 10);
        }
    }
};

TEST_F(Acquisition, StartPacketCarriesTheDividersInScanOrder) {
    Set_Sample_Rate(3, 1);
    streamBlocks(0);
    Stop_Acquisition();
    Set_Sample_Rate(3, 0);
    Set_Sample_Rate(21, 5);
    streamBlocks(0);
    Stop_Acquisition();

    const auto packets = packetsSent();
    ASSERT_EQ(packets.size(), 2U);
    for (const auto& packet : packets) {
        EXPECT_EQ(packet[0], 19);
        EXPECT_EQ(packet[1], 1) << "the start packet is the first on a new connection";
        EXPECT_EQ(packet[4], 0);
    }
    EXPECT_EQ(packets[0][6], 10);
    for (std::size_t byte = 7; byte <= 45; ++byte) {
        EXPECT_EQ(packets[0][byte], 0) << byte;
    }
    EXPECT_EQ(packets[1][45], 2);
    for (std::size_t byte = 6; byte < 45; ++byte) {
        EXPECT_EQ(packets[1][byte], 0) << byte;
    }
}

TEST_F(Acquisition, WindowEdgesFromBoundaryZeroAndSixteen) {
    allAtRate10();
    streamBlocks(20);
    // Channel 0 at rate 10: 800 samples per block, the first at offset 16.
    EXPECT_EQ(Get_DataPoint(0, 5 * 800), expectedSample(0, 5 * 800));
    EXPECT_EQ(Get_DataPoint(0, 19 * 800 + 799), expectedSample(0, 19 * 800 + 799));
    EXPECT_EQ(Get_DataPoint(0, 20 * 800), SAMPLE_NOT_YET);
    EXPECT_EQ(Get_DataPoint(0, 4 * 800 + 799), SAMPLE_OVERWRITTEN);
    EXPECT_EQ(Get_DataPoint(0, -1), SAMPLE_NOT_YET); // sample 4294967295 lies far ahead

    EXPECT_EQ(Get_Sample_Modulus(0), 12800);
    EXPECT_EQ(Set_Sample_Boundary(1), 16);
    // Block numbers now count from block 16: blocks 0 to 3 are readable, block 4 is not yet.
    EXPECT_EQ(Get_DataPoint(0, 0), expectedSample(0, 16 * 800));
    EXPECT_EQ(Get_DataPoint(21, 3 * 800 + 799), expectedSample(21, 19 * 800 + 799));
    EXPECT_EQ(Get_DataPoint(0, 4 * 800), SAMPLE_NOT_YET);
    EXPECT_EQ(Get_Current_DataPoint(0), 4 * 800);

    // A boundary beyond the count makes every ordinary index overwritten, and the count negative.
    Set_Sample_Boundary(2);
    EXPECT_EQ(Get_DataPoint(0, 0), SAMPLE_OVERWRITTEN);
    EXPECT_EQ(Get_Current_DataPoint(0), (20 - 32) * 800);
}

TEST_F(Acquisition, BoundaryMovesBySixteenCyclesAcrossSeveralCycles) {
    Set_Sample_Rate(0, 10);
    Set_Sample_Rate(1, 1);
    EXPECT_EQ(Get_Sample_Modulus(0), 5120000);
    EXPECT_EQ(Get_Sample_Modulus(1), 512000);
    streamBlocks(180, std::chrono::minutes(5)); // 16 cycles of 11 blocks, and 4 blocks more
    EXPECT_EQ(Set_Sample_Boundary(1), 176);
    for (const int channel : {0, 1}) {
        const std::uint32_t modulus = static_cast<std::uint32_t>(Get_Sample_Modulus(channel));
        std::vector<int> run(10000); // channel 1 has 2909 samples in each block
        ASSERT_EQ(Get_Data_Samples(run.data(), channel, 0, 10000), 10000);
        for (std::uint32_t i = 0; i < 10000; ++i) {
            ASSERT_EQ(run[i], expectedSample(channel, modulus + i)) << channel << " " << i;
        }
    }
}

TEST_F(Acquisition, CodesBeforeTheFirstBlockAndForChannelsThatAreOff) {
    Set_Sample_Rate(0, 10);
    streamBlocks(0);
    for (const int channel : {0, 1, 39, 40, -1, INT32_MIN}) {
        EXPECT_EQ(Get_DataPoint(channel, 0), SAMPLE_NO_BLOCKS) << channel;
    }
    int buffer[4] = {7, 7, 7, 7};
    EXPECT_EQ(Get_Data_Samples(buffer, 0, 0, 4), 0);
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(Get_Current_DataPoint(0), 0);
    Stop_Acquisition();

    streamBlocks(2);
    for (const int channel : {1, 39, 40, -1, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(Get_DataPoint(channel, 0), SAMPLE_CHANNEL_OFF) << channel;
        EXPECT_EQ(Get_Data_Samples(buffer, channel, 0, 4), 0) << channel;
        EXPECT_EQ(Get_Trigger(buffer, channel, 0, 4, TRIGGER_AT_OR_ABOVE, 0), 0) << channel;
        EXPECT_EQ(Get_Current_DataPoint(channel), 0) << channel;
    }
    EXPECT_EQ(Get_Sample_Modulus(-1), 0);
    EXPECT_EQ(Get_Sample_Modulus(40), 0);
    EXPECT_EQ(Get_Data_Samples(buffer, 0, 0, -1), 0);
    EXPECT_EQ(Get_Data_Samples(buffer, 0, 0, 0), 0);
    EXPECT_EQ(Get_Data_Samples(nullptr, 0, 0, 4), 0);
    EXPECT_EQ(Get_Trigger(nullptr, 0, 0, 4, TRIGGER_AT_OR_ABOVE, 0), 0);
    // A run whose 6th sample is not yet transferred stores 5.
    const int last = 2 * 32000 - 1;
    int run[10] = {};
    EXPECT_EQ(Get_Data_Samples(run, 0, last - 4, 10), 5);
    EXPECT_EQ(run[4], expectedSample(0, static_cast<std::uint32_t>(last)));
}

TEST_F(Acquisition, CurrentDataPointCountsWholePeriodsSinceTheBoundary) {
    allAtRate10();
    streamBlocks(3);
    EXPECT_EQ(Get_Current_DataPoint(0), 2400);
    EXPECT_EQ(Get_Current_DataPoint(39), 2400);
    EXPECT_EQ(Stop_Acquisition(), 0);
    EXPECT_EQ(Get_Current_DataPoint(0), 0);
    EXPECT_EQ(Get_Blocks_Transferred(), 3) << "the count stays until the next start";
    EXPECT_EQ(Get_DataPoint(5, 2399), expectedSample(5, 2399)) << "samples stay readable";
}

TEST_F(Acquisition, RingSlotsFollowTheBlockNumber) {
    Set_Sample_Rate(7, 10);
    streamBlocks(17); // the 17th block went to slot 0 again
    EXPECT_EQ(Get_DataPoint(7, 16 * 32000), expectedSample(7, 16 * 32000));
    EXPECT_EQ(Get_DataPoint(7, 2 * 32000), expectedSample(7, 2 * 32000));
    EXPECT_EQ(Get_DataPoint(7, 32000 + 31999), SAMPLE_OVERWRITTEN);
}

TEST_F(Acquisition, RatesChangedWhileRunningTakeEffectAtTheNextStart) {
    Set_Sample_Rate(0, 10);
    Set_Sample_Rate(1, 1);
    streamBlocks(4);
    Set_Sample_Rate(1, 10); // the instrument keeps streaming with divider 10 for channel 1
    Set_Sample_Rate(2, 5);
    EXPECT_EQ(Get_Sample_Rate(1), 10);
    EXPECT_EQ(Get_Sample_Modulus(1), 512000) << "the running acquisition's schedule";
    EXPECT_EQ(Get_DataPoint(1, 2909), expectedSample(1, 2909));
    EXPECT_EQ(Get_DataPoint(0, 29099), expectedSample(0, 29099));
    EXPECT_EQ(Get_DataPoint(2, 0), SAMPLE_CHANNEL_OFF) << "not in this acquisition";
    Stop_Acquisition();
    EXPECT_EQ(Get_DataPoint(1, 2909), expectedSample(1, 2909)) << "also after the stop";

    streamBlocks(4);
    const auto packets = packetsSent();
    ASSERT_EQ(packets.size(), 2U);
    EXPECT_EQ(packets[1][6 + 24], 1) << "channel 1 (scan position 24) now at divider 1";
    EXPECT_EQ(Get_DataPoint(2, 100), expectedSample(2, 100));
    EXPECT_EQ(Get_DataPoint(1, 100), expectedSample(1, 100));
}

TEST_F(Acquisition, RestartWhileRunningStartsANewStream) {
    Set_Sample_Rate(0, 10);
    streamBlocks(5);
    Set_Sample_Rate(0, 0);
    Set_Sample_Rate(4, 5);
    streamBlocks(2); // the start stops the running acquisition first
    EXPECT_EQ(packetsSent().size(), 2U);
    EXPECT_EQ(Get_DataPoint(4, 0), expectedSample(4, 0));
    EXPECT_EQ(Get_DataPoint(0, 0), SAMPLE_CHANNEL_OFF);
}

TEST_F(Acquisition, RefusedStartStopsTheRunningAcquisitionAndClearsTheCount) {
    Set_Sample_Rate(0, 10);
    streamBlocks(3);
    Set_Sample_Rate(0, 0);
    EXPECT_EQ(Start_Acquisition(reinterpret_cast<HWND>(0x1234)), 0);
    EXPECT_EQ(Get_Blocks_Transferred(), 0);
    // Nothing runs: the count stays 0 and the read pipe is free for a status query.
    EXPECT_EQ(Get_Current_DataPoint(0), 0);
    EXPECT_EQ(Get_MV620ACQ_Status(), 90);
    EXPECT_EQ(Stop_Acquisition(), 0);
}

TEST_F(Acquisition, StopWhenNothingRunsAndTwice) {
    EXPECT_EQ(Stop_Acquisition(), 0);
    Set_Sample_Rate(0, 10);
    streamBlocks(1);
    EXPECT_EQ(Stop_Acquisition(), 0);
    EXPECT_EQ(Stop_Acquisition(), 0);
    EXPECT_EQ(Get_Blocks_Transferred(), 1);
}

// The start without a window streams exactly as the start with one, and no message goes to any
// window during the acquisition.
TEST_F(Acquisition, LvStartAcquiresLikeStart) {
    Set_Sample_Rate(0, 10);
    Set_Sample_Rate(7, 2);
    MV620Sim_ReadyNeverFrom(3);
    ASSERT_EQ(LV_Start_Acquisition(), 1);
    ASSERT_TRUE(eventually([] { return blocks() == 3; }));
    EXPECT_EQ(Get_DataPoint(7, 1000), expectedSample(7, 1000));
    EXPECT_EQ(Get_DataPoint(0, 20000), expectedSample(0, 20000));
    EXPECT_EQ(Stop_Acquisition(), 0);
    EXPECT_EQ(packetsSent().size(), 1U);
    EXPECT_EQ(MV620Sim_GetMessageCount(), 0) << "no message is sent during an acquisition";
}

// ---- Faults: each ends with its defined outcome and a prompt stop -------------------------

TEST_F(Acquisition, AbsentInstrumentStartsButTransfersNothing) {
    MV620Sim_SetPresence(MV620SIM_ABSENT);
    Set_Sample_Rate(0, 10);
    EXPECT_EQ(Start_Acquisition(nullptr), 1);
    EXPECT_EQ(Stop_Acquisition(), 0);
    EXPECT_EQ(Get_Blocks_Transferred(), 0);
    EXPECT_EQ(Get_DataPoint(0, 0), SAMPLE_NO_BLOCKS);
}

TEST_F(Acquisition, ReadyBitNeverComingStillStopsPromptly) {
    Set_Sample_Rate(0, 10);
    MV620Sim_ReadyNeverFrom(0);
    EXPECT_EQ(Start_Acquisition(nullptr), 1);
    EXPECT_EQ(Stop_Acquisition(), 0);
    EXPECT_EQ(Get_Blocks_Transferred(), 0);
}

TEST_F(Acquisition, OneFailedReadIsRetried) {
    Set_Sample_Rate(0, 10);
    Set_Sample_Rate(1, 5);
    MV620Sim_FailBlockRead(2, 1);
    streamBlocks(5);
    MV620SimRequestStats aborts{};
    MV620Sim_GetRequestStats(MV620SIM_IOCTL_ABORT_PIPE, &aborts);
    EXPECT_EQ(aborts.issued, 0);
    const StreamModel model(dividersOf(ratesWith({{0, 10}, {1, 5}})));
    for (std::uint64_t p = 2 * kBlockSamples; p < 3 * kBlockSamples; ++p) {
        const auto s = model.at(p);
        ASSERT_EQ(Get_DataPoint(s.channel, static_cast<int>(s.index)),
                  expectedSample(s.channel, s.index));
    }
}

TEST_F(Acquisition, BlockWhoseReadsBothFailIsCountedAndNeverReadAsSamples) {
    Set_Sample_Rate(0, 10);
    Set_Sample_Rate(1, 2);
    MV620Sim_FailBlockRead(3, 2);
    streamBlocks(6);
    MV620SimRequestStats aborts{};
    MV620SimRequestStats resets{};
    MV620Sim_GetRequestStats(MV620SIM_IOCTL_ABORT_PIPE, &aborts);
    MV620Sim_GetRequestStats(MV620SIM_IOCTL_RESET_PIPE, &resets);
    EXPECT_EQ(aborts.issued, 1);
    EXPECT_EQ(resets.issued, 1);
    const StreamModel model(dividersOf(ratesWith({{0, 10}, {1, 2}})));
    for (std::uint64_t p = 0; p < 6 * kBlockSamples; ++p) {
        const auto s = model.at(p);
        const int expected =
            p / kBlockSamples == 3 ? SAMPLE_OVERWRITTEN : expectedSample(s.channel, s.index);
        ASSERT_EQ(Get_DataPoint(s.channel, static_cast<int>(s.index)), expected) << p;
    }
}

TEST_F(Acquisition, ShortReadKeepsTheStreamAligned) {
    Set_Sample_Rate(0, 10);
    Set_Sample_Rate(9, 1);
    MV620Sim_ShortBlockRead(1, 1001);
    streamBlocks(4);
    const StreamModel model(dividersOf(ratesWith({{0, 10}, {9, 1}})));
    for (std::uint64_t p = 0; p < 4 * kBlockSamples; ++p) {
        const auto s = model.at(p);
        ASSERT_EQ(Get_DataPoint(s.channel, static_cast<int>(s.index)),
                  expectedSample(s.channel, s.index))
            << p;
    }
}

// Every sample of the given blocks, against the stream model.
void expectBlocksExact(const StreamModel& model, std::uint64_t firstBlock, std::uint64_t endBlock) {
    for (std::uint64_t p = firstBlock * kBlockSamples; p < endBlock * kBlockSamples; ++p) {
        const auto s = model.at(p);
        ASSERT_EQ(Get_DataPoint(s.channel, static_cast<int>(s.index)),
                  expectedSample(s.channel, s.index))
            << "stream position " << p;
    }
}

// The lengths a first read comes back with: every one from 1 to 63999 bytes in an optimized
// build; in the sanitizer and debug builds, which run the simulated instrument many times slower,
// both ends of the range, every length around a multiple of 64 bytes (a USB packet) and a spread
// between.
std::vector<int> shortReadLengths() {
    std::vector<int> lengths;
#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    for (int length = 1; length < 64000; ++length) {
        lengths.push_back(length);
    }
#else
    for (int length = 1; length < 64000; ++length) {
        const int aroundPacket = length % 64;
        if (length <= 130 || length >= 63870 || (length % 4096 <= 1 || length % 4096 == 4095) ||
            (aroundPacket == 0 && length % 1024 == 0) || length % 997 == 0) {
            lengths.push_back(length);
        }
    }
#endif
    return lengths;
}

// A first read of a block that comes back short, by any number of bytes, is completed by reading
// the rest: the stream stays aligned with the count, block after block.
TEST_F(Acquisition, AShortReadOfEveryLengthCompletesItsBlock) {
    const auto rates = ratesWith({{0, 10}, {9, 1}, {21, 2}});
    applyRates(rates);
    const std::vector<int> lengths = shortReadLengths();
    int block = 0;
    for (const int length : lengths) {
        ASSERT_EQ(MV620Sim_ShortBlockRead(block++, length), 1);
    }
    ASSERT_EQ(MV620Sim_ShortBlockRead(block++, 63936), 1); // exactly one USB packet short
    streamBlocks(block, std::chrono::minutes(10));
    EXPECT_EQ(MV620Sim_GetBlocksDelivered(), block) << "every block read whole";
    EXPECT_EQ(MV620Sim_GetProtocolErrors(), 0);
    // A block read short and not completed would have shifted every block after it.
    expectBlocksExact(StreamModel(dividersOf(rates)), static_cast<std::uint64_t>(block) - 15,
                      static_cast<std::uint64_t>(block));
}

// A driver that reports no byte count for a successful read moved the whole block.
TEST_F(Acquisition, ASuccessfulReadWithoutAByteCountIsAWholeBlock) {
    const auto rates = ratesWith({{0, 10}, {1, 5}});
    applyRates(rates);
    ASSERT_EQ(MV620Sim_SetByteCountsReported(0), 1);
    streamBlocks(6);
    MV620SimRequestStats aborts{};
    MV620Sim_GetRequestStats(MV620SIM_IOCTL_ABORT_PIPE, &aborts);
    EXPECT_EQ(aborts.issued, 0) << "no block counted as failed";
    expectBlocksExact(StreamModel(dividersOf(rates)), 0, 6);
}

// The library's tick counter, standing at a reading the test chooses: a busy wait that starts
// at 100 or less ends at once, and time passes only when the test says so.
std::atomic<std::uint32_t> standingTicks{50};
std::uint32_t readStandingClock() noexcept { return standingTicks.load(); }

std::int64_t failedInputReads() {
    MV620SimRequestStats vendor{};
    MV620Sim_GetRequestStats(MV620SIM_IOCTL_VENDOR_REQUEST, &vendor);
    return vendor.issued - vendor.succeeded;
}

// The ready poll gives up on an unplugged instrument after a second of failures, and not before:
// however many requests fail meanwhile, the acquisition runs on while the clock stands still.
TEST_F(Acquisition, TheReadyPollGivesUpAfterASecondNotAfterACount) {
    standingTicks = 50;
    platform::setTickSource(&readStandingClock);
    Set_Sample_Rate(0, 10);
    MV620Sim_UnplugAfterBlocks(2);
    ASSERT_EQ(Start_Acquisition(nullptr), 1);
    ASSERT_TRUE(eventually([] { return blocks() == 2; }));
    ASSERT_TRUE(eventually([] { return failedInputReads() > 120000; }));
    EXPECT_EQ(MV620Sim_GetOpenHandles(), 1) << "the thread still polls";
    EXPECT_GT(Get_Current_DataPoint(0), 0);
    standingTicks = 50 + 999;
    const std::int64_t before = failedInputReads();
    ASSERT_TRUE(eventually([before] { return failedInputReads() > before + 1000; }));
    EXPECT_EQ(MV620Sim_GetOpenHandles(), 1) << "999 ms are not a second";
    standingTicks = 50 + 1000;
    ASSERT_TRUE(eventually([] { return Get_Current_DataPoint(0) == 0; }));
    EXPECT_EQ(MV620Sim_GetOpenHandles(), 0);
    EXPECT_EQ(Get_Blocks_Transferred(), 2);
    EXPECT_EQ(Stop_Acquisition(), 0);
}

// An acquisition whose thread ended by itself is over, for a host that never called
// Stop_Acquisition too: with no sample in the ring the readers follow the rates again, and the
// status query and the download may use the read pipe.
TEST_F(Acquisition, AnAcquisitionWhoseStartFailedIsOverWithoutAStop) {
    Set_Sample_Rate(0, 10);
    MV620Sim_FailPacketWrite(19, 0);
    ASSERT_EQ(Start_Acquisition(nullptr), 1);
    ASSERT_TRUE(eventually([] { return Get_MV620ACQ_Status() == 90; }))
        << "the status query keeps being refused";
    Set_Sample_Rate(1, 1);
    EXPECT_EQ(Get_Sample_Modulus(0), 5120000);
    EXPECT_EQ(Get_Sample_Modulus(1), 512000);
    EXPECT_EQ(Set_Sample_Boundary(1), 176);
    EXPECT_EQ(Get_Current_DataPoint(0), 0);
    EXPECT_EQ(Get_DataPoint(0, 0), SAMPLE_NO_BLOCKS);
    EXPECT_EQ(Stop_Acquisition(), 0);
    EXPECT_EQ(Get_Blocks_Transferred(), 0);
}

// Unplugged mid-stream: the ready poll finds the instrument gone and the thread ends by itself,
// closing its connection; the blocks read before stay readable, and a replug streams again.
TEST_F(Acquisition, AnAcquisitionWhoseInstrumentWentAwayIsOverWithoutAStop) {
    const auto rates = ratesWith({{0, 10}, {3, 5}});
    applyRates(rates);
    MV620Sim_UnplugAfterBlocks(3);
    ASSERT_EQ(Start_Acquisition(nullptr), 1);
    ASSERT_TRUE(eventually([] { return blocks() == 3; }));
    ASSERT_TRUE(eventually([] { return Get_Current_DataPoint(0) == 0; }));
    ASSERT_TRUE(eventually([] { return MV620Sim_GetOpenHandles() == 0; }));
    EXPECT_EQ(Get_DataPoint(0, 3 * 32000), SAMPLE_NOT_YET);
    // The ring holds the acquisition's samples: they keep its schedule whatever the rates now.
    const int modulus = Get_Sample_Modulus(0);
    Set_Sample_Rate(7, 1);
    EXPECT_EQ(Get_Sample_Modulus(0), modulus);
    expectBlocksExact(StreamModel(dividersOf(rates)), 0, 3);
    MV620Sim_Replug();
    EXPECT_EQ(Get_MV620ACQ_Status(), 90) << "the read pipe is free again";
    EXPECT_EQ(Stop_Acquisition(), 0);
    EXPECT_EQ(Get_Blocks_Transferred(), 3);
    streamBlocks(2);
    expectBlocksExact(StreamModel(dividersOf(ratesWith({{0, 10}, {3, 5}, {7, 1}}))), 0, 2);
}

} // namespace
} // namespace mv620::testing
