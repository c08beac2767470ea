// The boundary: sample indices count from the start of a cycle, whatever Set_Sample_Boundary is
// given, so that a sample returned is always the sample asked for.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <utility>
#include <vector>

#include "acquisition/sample_reader.h"
#include "support/library_fixture.h"

namespace mv620::testing {
namespace {

constexpr std::int64_t k2To31 = std::int64_t{1} << 31;

// The boundary block as the signed number of blocks it stands for.
std::int64_t signedBlock(std::uint32_t word) { return static_cast<std::int32_t>(word); }

struct BoundaryCase {
    std::int64_t m;
    std::int32_t blocksPerCycle;
    std::int64_t block;
};

class BoundaryBlocks : public ::testing::TestWithParam<BoundaryCase> {};

TEST_P(BoundaryBlocks, AlwaysACycleStartWithinTwoToTheThirtyOne) {
    const auto& c = GetParam();
    const std::int64_t block = signedBlock(acquisition::boundaryBlockFor(c.m, c.blocksPerCycle));
    EXPECT_EQ(block, c.block);
    if (c.blocksPerCycle > 0) {
        EXPECT_EQ(block % (16 * c.blocksPerCycle), 0);
    }
    EXPECT_LT(block, k2To31);
    EXPECT_GT(block, -k2To31);
}

INSTANTIATE_TEST_SUITE_P(
    Ms, BoundaryBlocks,
    ::testing::Values(BoundaryCase{1, 1, 16}, BoundaryCase{1, 11, 176}, BoundaryCase{-1, 9, -144},
                      BoundaryCase{0, 391, 0}, BoundaryCase{5, 0, 0},
                      // 954437177 x 144 wraps in 32 bits to block 16, which starts no cycle.
                      BoundaryCase{954437177, 9, 14913080LL * 144},
                      BoundaryCase{INT_MAX, 1, (k2To31 - 1) / 16 * 16},
                      BoundaryCase{INT_MIN, 391, -((k2To31 - 1) / 6256) * 6256},
                      BoundaryCase{14913080, 9, 14913080LL * 144},
                      BoundaryCase{14913081, 9, 14913080LL * 144}));

class Boundary : public LibraryTest {};

// With rates 10, 5, 2 and 1 (9 blocks a cycle), a boundary whose block number wraps in 32-bit
// arithmetic returned other channels' samples as valid. Now it lies far in the future: nothing
// there has been transferred.
TEST_F(Boundary, AHugeBoundaryReturnsNoOtherChannelsSamples) {
    Set_Sample_Rate(0, 10);
    Set_Sample_Rate(1, 5);
    Set_Sample_Rate(2, 2);
    Set_Sample_Rate(3, 1);
    streamBlocks(24);
    Set_Sample_Boundary(954437177);
    EXPECT_EQ(Get_DataPoint(0, 195559), SAMPLE_OVERWRITTEN);
    std::vector<int> buffer(70000);
    for (int channel = 0; channel < 4; ++channel) {
        EXPECT_EQ(Get_Data_Samples(buffer.data(), channel, 0, 70000), 0) << channel;
        EXPECT_EQ(Get_Data_Samples(buffer.data(), channel, 190000, 10000), 0) << channel;
    }
    Set_Sample_Boundary(0);
    EXPECT_EQ(Get_DataPoint(0, 195559), expectedSample(0, 195559)) << "and back";
}

// Random schedules and boundaries, the wrapping ones among them: every value returned for sample
// n counted from the boundary is the channel's sample n + (boundary cycles x samples a cycle).
TEST_F(Boundary, EverySampleReturnedIsTheSampleAskedFor) {
    std::mt19937 random(954437177);
    constexpr std::array<int, 5> kRates = {0, 10, 5, 2, 1};
    const std::vector<std::int64_t> edges = {0,         1,          -1,      2,       7,
                                             954437177, 1073741824, INT_MAX, INT_MIN, -954437177};
    std::uint64_t hits = 0;
    for (int trial = 0; trial < 12; ++trial) {
        std::array<int, 40> rates{};
        for (auto& rate : rates) {
            rate = random() % 3 == 0 ? kRates[random() % kRates.size()] : 0;
        }
        rates[random() % 40] = 10;
        for (int c = 0; c < 40; ++c) {
            Set_Sample_Rate(c, rates[static_cast<std::size_t>(c)]);
        }
        streamBlocks(20);
        // Boundary 1 is the start of cycle 16: its block number tells the cycle's length.
        const std::int64_t blocksPerCycle = Set_Sample_Boundary(1) / 16;
        ASSERT_GT(blocksPerCycle, 0);
        std::vector<std::int64_t> ms = edges;
        for (int i = 0; i < 6; ++i) {
            ms.push_back(static_cast<std::int32_t>(random()));
        }
        for (const std::int64_t m : ms) {
            const std::int64_t block =
                signedBlock(static_cast<std::uint32_t>(Set_Sample_Boundary(static_cast<int>(m))));
            for (int channel = 0; channel < 40; ++channel) {
                const std::int64_t perCycle = Get_Sample_Modulus(channel) / 16;
                if (perCycle == 0) {
                    continue;
                }
                // The boundary is a cycle start, block / blocksPerCycle cycles from the start.
                ASSERT_EQ(block % blocksPerCycle, 0);
                const std::int64_t shift = block / blocksPerCycle * perCycle;
                for (int probe = 0; probe < 40; ++probe) {
                    // Mostly indices whose sample lies in the ring, some anywhere at all.
                    const std::int64_t absolute = static_cast<std::int64_t>(random() % 700000);
                    const auto n = probe % 4 == 0 ? static_cast<std::uint32_t>(random())
                                                  : static_cast<std::uint32_t>(absolute - shift);
                    const int value = Get_DataPoint(channel, static_cast<int>(n));
                    if (value < 0) {
                        continue;
                    }
                    ++hits;
                    const std::int64_t asked = static_cast<std::int64_t>(n) + shift;
                    ASSERT_EQ(value, expectedSample(channel, static_cast<std::uint32_t>(asked)))
                        << "channel " << channel << ", m " << m << ", n " << n;
                    ASSERT_GE(asked, 0);
                }
            }
        }
        Stop_Acquisition();
    }
    EXPECT_GT(hits, 0U) << "the probes found samples to check";
}

// A boundary in the past shortly after a restart: the ring slots that the new acquisition has
// not yet written still hold the previous one's blocks, here every channel's at rate 10. Blocks
// before the acquisition's first hold none of its samples and read as overwritten; every value
// returned is the sample asked for.
struct PastBoundaryCase {
    const char* name;
    std::array<int, 40> rates;
    std::uint32_t blocks; // transferred in the new acquisition
    int m;                // the boundary
};

std::array<int, 40> ratesOf(std::initializer_list<std::pair<int, int>> channels) {
    std::array<int, 40> rates{};
    for (const auto& [channel, rate] : channels) {
        rates[static_cast<std::size_t>(channel)] = rate;
    }
    return rates;
}

class PastBoundary : public LibraryTest, public ::testing::WithParamInterface<PastBoundaryCase> {};

TEST_P(PastBoundary, BlocksBeforeTheAcquisitionsFirstHoldNoSamples) {
    const PastBoundaryCase& c = GetParam();
    for (int channel = 0; channel < 40; ++channel) {
        Set_Sample_Rate(channel, 10);
    }
    streamBlocks(20);
    Stop_Acquisition();
    for (int channel = 0; channel < 40; ++channel) {
        Set_Sample_Rate(channel, c.rates[static_cast<std::size_t>(channel)]);
    }
    streamBlocks(static_cast<std::int32_t>(c.blocks));
    const std::int64_t blocksPerCycle = Set_Sample_Boundary(1) / 16;
    ASSERT_GT(blocksPerCycle, 0);
    const std::int64_t block = signedBlock(static_cast<std::uint32_t>(Set_Sample_Boundary(c.m)));
    ASSERT_LT(block, 0) << "a boundary in the past";
    Stop_Acquisition();
    std::uint64_t checked = 0;
    for (int channel = 0; channel < 40; ++channel) {
        const std::int64_t perCycle = Get_Sample_Modulus(channel) / 16;
        if (perCycle == 0) {
            continue;
        }
        // Index n counted from the boundary is sample n + shift of the acquisition. Look from
        // 16 blocks' worth before its first sample to past its last block.
        const std::int64_t shift = block / blocksPerCycle * perCycle;
        const std::int64_t perBlock = (perCycle + blocksPerCycle - 1) / blocksPerCycle;
        const std::int64_t from = -16 * perBlock;
        const std::int64_t to = (static_cast<std::int64_t>(c.blocks) + 1) * perBlock;
        const auto indexOf = [shift](std::int64_t asked) {
            return static_cast<std::uint32_t>(asked - shift);
        };
        for (std::int64_t asked = from; asked < to; ++asked) {
            const std::uint32_t n = indexOf(asked);
            const std::int64_t sample = std::int64_t{n} + shift; // what n stands for
            const int value = Get_DataPoint(channel, static_cast<int>(n));
            if (sample < 0) {
                ASSERT_EQ(value, SAMPLE_OVERWRITTEN) << "channel " << channel << ", n " << n;
            } else if (value >= 0) {
                ASSERT_EQ(value, expectedSample(channel, static_cast<std::uint32_t>(sample)))
                    << "channel " << channel << ", n " << n;
                ++checked;
            }
        }
        std::vector<int> run(static_cast<std::size_t>(to - from), -1);
        EXPECT_EQ(Get_Data_Samples(run.data(), channel, static_cast<int>(indexOf(from)),
                                   static_cast<int>(run.size())),
                  0)
            << "channel " << channel << ": the run begins before the first block";
        if (-shift < (std::int64_t{1} << 32)) { // the boundary reaches the first sample
            const int got = Get_Data_Samples(run.data(), channel, static_cast<int>(indexOf(0)),
                                             static_cast<int>(to));
            EXPECT_GT(got, 0) << "channel " << channel;
            for (int i = 0; i < got; ++i) {
                ASSERT_EQ(run[static_cast<std::size_t>(i)],
                          expectedSample(channel, static_cast<std::uint32_t>(i)));
            }
        }
    }
    if (c.m != INT_MIN) {
        EXPECT_GT(checked, 0U) << "the acquisition's own samples were read";
    }
}

INSTANTIATE_TEST_SUITE_P(
    AfterARestart, PastBoundary,
    ::testing::Values(
        PastBoundaryCase{"Channel0AloneMinus1", ratesOf({{0, 10}}), 2, -1},
        PastBoundaryCase{"Channel0AloneMinus2", ratesOf({{0, 10}}), 1, -2},
        PastBoundaryCase{"Channel0AloneIntMin", ratesOf({{0, 10}}), 15, INT_MIN},
        PastBoundaryCase{"FourRatesMinus1", ratesOf({{0, 10}, {1, 5}, {2, 2}, {3, 1}}), 3, -1},
        PastBoundaryCase{"FourRatesIntMin", ratesOf({{0, 10}, {1, 5}, {2, 2}, {3, 1}}), 7, INT_MIN},
        PastBoundaryCase{"TenAndOneMinus2", ratesOf({{5, 10}, {21, 1}}), 14, -2}),
    [](const ::testing::TestParamInfo<PastBoundaryCase>& param) { return param.param.name; });

} // namespace
} // namespace mv620::testing
