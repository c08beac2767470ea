// The readers against a reference that reads every sample on its own from an independent model
// of the stream: random schedules, boundaries, failed blocks, and runs of random starts and
// lengths across the window's old and new edges. After a stop the answers must be identical;
// while the ring streams, every sample returned must be the one asked for.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <random>
#include <thread>
#include <vector>

#include "support/library_fixture.h"
#include "support/reference_reader.h"

namespace mv620::testing {
namespace {

constexpr int kSentinel = -77;

std::array<int, 40> randomDividers(std::mt19937& random) {
    constexpr std::array<int, 5> kDividers = {0, 1, 2, 5, 10};
    std::array<int, 40> dividers{};
    const int density = static_cast<int>(random() % 4); // from a few channels to most
    for (auto& divider : dividers) {
        divider = static_cast<int>(random() % 4) <= density ? kDividers[random() % 5] : 0;
    }
    dividers[random() % 40] = kDividers[1 + random() % 4];
    return dividers;
}

void applyDividers(const std::array<int, 40>& dividers) {
    for (int c = 0; c < 40; ++c) {
        const int d = dividers[static_cast<std::size_t>(c)];
        Set_Sample_Rate(c, d == 0 ? 0 : 10 / d);
    }
}

// A first index near one of the window's edges for a channel with `perBlock` samples a block, the
// window's blocks counted from the boundary (or anywhere at all).
std::uint32_t firstNearAnEdge(std::mt19937& random, double perBlock, std::int64_t blocks) {
    const auto oldest = static_cast<std::int64_t>(static_cast<double>(blocks - 15) * perBlock);
    const auto newest = static_cast<std::int64_t>(static_cast<double>(blocks) * perBlock);
    const std::int64_t jitter = static_cast<std::int64_t>(random() % 400) - 200;
    switch (random() % 5) {
    case 0:
        return static_cast<std::uint32_t>(oldest + jitter);
    case 1:
        return static_cast<std::uint32_t>(newest + jitter);
    case 2:
        return static_cast<std::uint32_t>(random()); // anywhere, wrapping ones among them
    default:
        return static_cast<std::uint32_t>(
            std::max<std::int64_t>(0, oldest) +
            static_cast<std::int64_t>(
                random() % static_cast<std::uint32_t>(std::max<std::int64_t>(newest - oldest, 1))));
    }
}

class ReaderDifferential : public LibraryTest {};

TEST_F(ReaderDifferential, RunsAfterAStopMatchTheReferenceExactly) {
    std::mt19937 random(1302);
    std::vector<int> buffer;
    std::uint64_t samplesCompared = 0;
    for (int trial = 0; trial < 24; ++trial) {
        const auto dividers = randomDividers(random);
        applyDividers(dividers);
        const auto blocks = static_cast<std::uint32_t>(16 + random() % 20);
        std::set<std::uint32_t> failed;
        if (trial % 3 == 0) {
            const auto block = static_cast<std::uint32_t>(random() % blocks);
            failed.insert(block);
            MV620Sim_FailBlockRead(static_cast<int>(block), 2);
        }
        streamBlocks(static_cast<std::int32_t>(blocks));
        ASSERT_EQ(Stop_Acquisition(), 0);
        const std::int64_t m = trial % 4 == 0 ? static_cast<std::int32_t>(random() % 5) - 2 : 0;
        const std::int64_t boundary =
            static_cast<std::int32_t>(Set_Sample_Boundary(static_cast<int>(m)));
        const ReferenceReader reference(dividers, blocks, boundary, failed);
        for (int probe = 0; probe < 40; ++probe) {
            const int channel = probe % 13 == 0 ? static_cast<int>(random() % 44) - 2
                                                : static_cast<int>(random() % 40);
            const std::uint32_t first =
                firstNearAnEdge(random, reference.samplesPerBlock(channel),
                                static_cast<std::int64_t>(blocks) - boundary);
            const int count = probe % 11 == 0 ? static_cast<int>(random() % 5) - 2
                                              : static_cast<int>(random() % 70000);
            const std::vector<int> expected = reference.run(channel, first, count);
            buffer.assign(static_cast<std::size_t>(std::max(count, 0)) + 8, kSentinel);
            const int stored =
                Get_Data_Samples(buffer.data(), channel, static_cast<int>(first), count);
            ASSERT_EQ(stored, static_cast<int>(expected.size()))
                << "channel " << channel << ", first " << first << ", count " << count;
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));
            ASSERT_EQ(buffer[static_cast<std::size_t>(stored)], kSentinel)
                << "nothing written past what was stored";
            samplesCompared += expected.size();

            const int mode = static_cast<int>(random() % 6) - 1;
            const int level = static_cast<int>(random() % 70000);
            buffer.assign(static_cast<std::size_t>(std::max(count, 0)) + 8, kSentinel);
            EXPECT_EQ(
                Get_Trigger(buffer.data(), channel, static_cast<int>(first), count, mode, level),
                ReferenceReader::trigger(expected, mode, level))
                << "mode " << mode << ", level " << level;
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));

            for (int i = 0; i < 4; ++i) {
                const std::uint32_t n = first + static_cast<std::uint32_t>(random() % 200);
                ASSERT_EQ(Get_DataPoint(channel, static_cast<int>(n)), reference.sample(channel, n))
                    << "channel " << channel << ", n " << n;
            }
        }
    }
    EXPECT_GT(samplesCompared, 1000000U);
}

// While the instrument streams as fast as it can, runs at the window's newest and oldest edges
// race the thread: whatever a run stores must be exactly the samples asked for.
TEST_F(ReaderDifferential, RunsWhileTheRingStreamsReturnOnlyTheSamplesAskedFor) {
    std::mt19937 random(2612);
    const auto dividers = randomDividers(random);
    applyDividers(dividers);
    const ReferenceReader shape(dividers, 0, 0);
    constexpr std::uint32_t kBlocks = 400;
    MV620Sim_ReadyNeverFrom(kBlocks);
    ASSERT_EQ(Start_Acquisition(nullptr), 1);
    std::vector<int> buffer(40000);
    std::uint64_t checked = 0;
    while (blocks() < kBlocks) {
        const int channel = static_cast<int>(random() % 40);
        const auto current = static_cast<std::uint32_t>(Get_Current_DataPoint(channel));
        // Just behind the newest sample, or at the oldest block, which the thread refills next.
        const auto window = static_cast<std::uint32_t>(shape.samplesPerBlock(channel) * 15);
        const std::uint32_t first =
            random() % 2 == 0 ? current - static_cast<std::uint32_t>(random() % 2000)
                              : current - window + static_cast<std::uint32_t>(random() % 2000);
        const int stored = Get_Data_Samples(buffer.data(), channel, static_cast<int>(first),
                                            static_cast<int>(1 + random() % buffer.size()));
        for (int i = 0; i < stored; ++i) {
            ASSERT_EQ(buffer[static_cast<std::size_t>(i)],
                      expectedSample(channel, first + static_cast<std::uint32_t>(i)))
                << "channel " << channel << ", sample " << first + static_cast<std::uint32_t>(i);
        }
        checked += static_cast<std::uint64_t>(stored);
    }
    EXPECT_EQ(Stop_Acquisition(), 0);
    EXPECT_GT(checked, 0U);
}

} // namespace
} // namespace mv620::testing
