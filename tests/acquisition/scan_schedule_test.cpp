// The scan schedule tables for the worked rate sets, and their invariants over random rate sets.
#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <vector>

#include "acquisition/scan_schedule.h"

namespace mv620::acquisition {
namespace {

Dividers dividersFor(std::initializer_list<std::pair<int, std::int32_t>> rates) {
    Dividers dividers{};
    for (const auto& [channel, rate] : rates) {
        dividers[static_cast<std::size_t>(channel)] = dividerForRate(rate);
    }
    return dividers;
}

ScanSchedule built(const Dividers& dividers) {
    ScanSchedule schedule;
    buildSchedule(dividers, schedule);
    return schedule;
}

std::vector<std::int32_t> slots(const ScanSchedule& s, int channel) {
    const auto c = static_cast<std::size_t>(channel);
    return {s.slotIndex[c].begin(), s.slotIndex[c].begin() + s.samplesPerPeriod[c]};
}

using Slots = std::vector<std::int32_t>;

TEST(ScanSchedule, EveryChannelAtOneRateGivesOnePassPerSampleInScanOrder) {
    for (const std::int32_t rate : {10, 5, 2, 1}) {
        Dividers dividers{};
        dividers.fill(dividerForRate(rate));
        const ScanSchedule s = built(dividers);
        EXPECT_EQ(s.slotsPerPeriod, 40) << rate;
        EXPECT_EQ(s.cycleSamples, 32000);
        EXPECT_EQ(s.blocksPerCycle, 1);
        for (std::size_t k = 0; k < kChannels; ++k) {
            const auto c = static_cast<std::size_t>(device::kScanOrder[k]);
            EXPECT_EQ(s.samplesPerPeriod[c], 1);
            EXPECT_EQ(s.slotIndex[c][0], static_cast<std::int32_t>(k));
            EXPECT_EQ(s.samplesPerCycle[c], 800);
            EXPECT_EQ(s.channelSamplesPerBlock[c], 800);
        }
        EXPECT_EQ(s.slotIndex[3][0], 0);
        EXPECT_EQ(s.slotIndex[31][0], 1);
        EXPECT_EQ(s.slotIndex[0][0], 16);
        EXPECT_EQ(s.slotIndex[21][0], 39);
    }
}

TEST(ScanSchedule, SingleChannelFillsTheWholeStream) {
    for (const int channel : {0, 21, 39}) {
        for (const std::int32_t rate : {10, 5, 2, 1}) {
            const ScanSchedule s = built(dividersFor({{channel, rate}}));
            const auto c = static_cast<std::size_t>(channel);
            EXPECT_EQ(s.slotsPerPeriod, 1);
            EXPECT_EQ(s.slotIndex[c][0], 0);
            EXPECT_EQ(s.cycleSamples, 32000);
            EXPECT_EQ(s.blocksPerCycle, 1);
            EXPECT_EQ(s.samplesPerCycle[c], 32000);
            EXPECT_EQ(s.channelSamplesPerBlock[c], 32000);
        }
    }
}

TEST(ScanSchedule, RateTenAndRateOne) {
    const ScanSchedule s = built(dividersFor({{0, 10}, {1, 1}}));
    EXPECT_EQ(s.slotsPerPeriod, 11);
    EXPECT_EQ(slots(s, 0), (Slots{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(slots(s, 1), (Slots{10}));
    EXPECT_EQ(s.cycleSamples, 352000);
    EXPECT_EQ(s.blocksPerCycle, 11);
    EXPECT_EQ(s.samplesPerCycle[0], 320000);
    EXPECT_EQ(s.samplesPerCycle[1], 32000);
    EXPECT_EQ(s.channelSamplesPerBlock[0], 29090);
    EXPECT_EQ(s.channelSamplesPerBlock[1], 2909);
}

TEST(ScanSchedule, RateFiveAndRateTwoAndTheirSwap) {
    const ScanSchedule s = built(dividersFor({{0, 5}, {1, 2}}));
    EXPECT_EQ(s.slotsPerPeriod, 7);
    EXPECT_EQ(slots(s, 0), (Slots{0, 1, 3, 4, 5}));
    EXPECT_EQ(slots(s, 1), (Slots{2, 6}));
    EXPECT_EQ(s.cycleSamples, 224000);
    EXPECT_EQ(s.blocksPerCycle, 7);
    EXPECT_EQ(s.samplesPerCycle[0], 160000);
    EXPECT_EQ(s.samplesPerCycle[1], 64000);
    EXPECT_EQ(s.channelSamplesPerBlock[0], 22855);
    EXPECT_EQ(s.channelSamplesPerBlock[1], 9142);

    // Requests of 3 and 7 snap to 2 and 5: the dividers swapped.
    const ScanSchedule swapped = built(dividersFor({{0, 3}, {1, 7}}));
    EXPECT_EQ(slots(swapped, 1), (Slots{0, 1, 3, 4, 6}));
    EXPECT_EQ(slots(swapped, 0), (Slots{2, 5}));
}

TEST(ScanSchedule, FourRates) {
    const ScanSchedule s = built(dividersFor({{0, 10}, {1, 5}, {2, 2}, {3, 1}}));
    EXPECT_EQ(s.slotsPerPeriod, 18);
    EXPECT_EQ(slots(s, 0), (Slots{0, 1, 3, 4, 6, 8, 10, 11, 13, 15}));
    EXPECT_EQ(slots(s, 1), (Slots{2, 5, 9, 12, 16}));
    EXPECT_EQ(slots(s, 2), (Slots{7, 17}));
    EXPECT_EQ(slots(s, 3), (Slots{14})); // scan position 0 comes first in the tenth pass
    EXPECT_EQ(s.cycleSamples, 288000);
    EXPECT_EQ(s.blocksPerCycle, 9);
    EXPECT_EQ((std::vector<std::int32_t>{s.samplesPerCycle.begin(), s.samplesPerCycle.begin() + 4}),
              (Slots{160000, 80000, 32000, 16000}));
    EXPECT_EQ((std::vector<std::int32_t>{s.channelSamplesPerBlock.begin(),
                                         s.channelSamplesPerBlock.begin() + 4}),
              (Slots{17770, 8885, 3554, 1777}));
}

TEST(ScanSchedule, LargestSchedule) {
    Dividers dividers{};
    dividers.fill(1);
    dividers[39] = 10;
    const ScanSchedule s = built(dividers);
    EXPECT_EQ(s.slotsPerPeriod, 391);
    EXPECT_EQ(s.cycleSamples, 12512000);
    EXPECT_EQ(s.blocksPerCycle, 391);
    for (std::size_t c = 0; c < 39; ++c) {
        EXPECT_EQ(s.samplesPerCycle[c], 320000);
        EXPECT_EQ(s.channelSamplesPerBlock[c], 810);
    }
    EXPECT_EQ(s.samplesPerCycle[39], 32000);
    EXPECT_EQ(s.channelSamplesPerBlock[39], 81);
}

TEST(ScanSchedule, AllOffKeepsTheCycleTablesAndDividesByNothing) {
    ScanSchedule s;
    buildSchedule(dividersFor({{0, 10}, {1, 1}}), s);
    buildSchedule(Dividers{}, s);
    EXPECT_EQ(s.slotsPerPeriod, 0);
    EXPECT_EQ(s.samplesPerPeriod[0], 0);
    EXPECT_EQ(s.cycleSamples, 32000);
    EXPECT_EQ(s.blocksPerCycle, 11);
    EXPECT_EQ(s.samplesPerCycle[0], 320000);
    EXPECT_EQ(s.channelSamplesPerBlock[1], 2909);
}

struct RateSnap {
    std::int32_t requested;
    std::int32_t divider;
    std::int32_t reported;
};

void PrintTo(const RateSnap& snap, std::ostream* out) { *out << "rate " << snap.requested; }

class RateSnapping : public testing::TestWithParam<RateSnap> {};

TEST_P(RateSnapping, CutsDownToTheNextCode) {
    EXPECT_EQ(dividerForRate(GetParam().requested), GetParam().divider);
    EXPECT_EQ(rateOfDivider(dividerForRate(GetParam().requested)), GetParam().reported);
}

INSTANTIATE_TEST_SUITE_P(Rates, RateSnapping,
                         testing::Values(RateSnap{INT32_MAX, 1, 10}, RateSnap{100, 1, 10},
                                         RateSnap{10, 1, 10}, RateSnap{9, 2, 5}, RateSnap{5, 2, 5},
                                         RateSnap{4, 5, 2}, RateSnap{2, 5, 2}, RateSnap{1, 10, 1},
                                         RateSnap{0, 0, 0}, RateSnap{-3, 0, 0},
                                         RateSnap{INT32_MIN, 0, 0}));

// Over random rate sets: every period position is held by exactly one (channel, k), the period
// is the sum of the channels' samples, and the cycle is a whole number of blocks and periods.
TEST(ScanSchedule, InvariantsHoldForRandomRateSets) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> pick(0, 4);
    constexpr std::array<std::int32_t, 5> kDividers = {0, 1, 2, 5, 10};
    for (int round = 0; round < 2000; ++round) {
        Dividers dividers{};
        for (auto& divider : dividers) {
            divider = kDividers[static_cast<std::size_t>(pick(random))];
        }
        const ScanSchedule s = built(dividers);
        const std::int32_t total =
            std::accumulate(s.samplesPerPeriod.begin(), s.samplesPerPeriod.end(), 0);
        ASSERT_EQ(s.slotsPerPeriod, total);
        if (total == 0) {
            continue;
        }
        std::vector<int> holders(static_cast<std::size_t>(total), 0);
        for (std::size_t c = 0; c < kChannels; ++c) {
            ASSERT_LE(s.samplesPerPeriod[c], kMaxSamplesPerPeriod);
            for (std::int32_t k = 0; k < s.samplesPerPeriod[c]; ++k) {
                const std::int32_t position = s.slotIndex[c][static_cast<std::size_t>(k)];
                ASSERT_GE(position, 0);
                ASSERT_LT(position, total);
                ++holders[static_cast<std::size_t>(position)];
                if (k > 0) {
                    ASSERT_GT(position, s.slotIndex[c][static_cast<std::size_t>(k - 1)]);
                }
            }
            ASSERT_EQ(s.samplesPerCycle[c],
                      s.samplesPerPeriod[c] * (s.cycleSamples / s.slotsPerPeriod));
        }
        for (const int holder : holders) {
            ASSERT_EQ(holder, 1);
        }
        ASSERT_EQ(s.cycleSamples % 32000, 0);
        ASSERT_EQ(s.cycleSamples % s.slotsPerPeriod, 0);
        ASSERT_EQ(s.blocksPerCycle * 32000, s.cycleSamples);
    }
}

} // namespace
} // namespace mv620::acquisition
