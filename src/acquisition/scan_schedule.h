// Channel rates and the scan schedule: where in the instrument's sample stream each sample of
// each channel lies.
#pragma once

#include <array>
#include <cstdint>

namespace mv620::acquisition {

inline constexpr int kChannels = 40;
inline constexpr std::int32_t kBlockSamples = 32000;
inline constexpr int kSlotIndexEntries = 100; // per channel; at most the first 10 are ever used
inline constexpr int kMaxSamplesPerPeriod = 10;

// The order in which the instrument visits the channels in every scan pass: scan position k
// visits channel kScanOrder[k]. The start packet lists the dividers in this order too.
inline constexpr std::array<std::int32_t, kChannels> kScanOrder = {3, 31, 8, 36, 13, 17, 26, 22, //
                                                                   4, 32, 9, 37, 14, 18, 27, 23, //
                                                                   0, 28, 5, 33, 10, 38, 15, 19, //
                                                                   1, 29, 6, 34, 11, 39, 24, 20, //
                                                                   2, 30, 7, 35, 12, 16, 25, 21};

using Dividers = std::array<std::int32_t, kChannels>;

// A requested rate snapped to a divider: 10 or more samples per 10 passes gives divider 1, 5..9
// gives 2, 2..4 gives 5, 1 gives 10, and 0 or less gives 0 (off).
std::int32_t dividerForRate(std::int32_t rate) noexcept;

// The rate code of a divider: 1 -> 10, 2 -> 5, 5 -> 2, 10 -> 1, anything else -> 0.
std::int32_t rateOfDivider(std::int32_t divider) noexcept;

// The schedule tables. A period is the run of scan passes after which every channel's countdown
// is back at its divider; a cycle the smallest whole number of 32000-sample blocks that holds a
// whole number of periods.
struct ScanSchedule {
    std::int32_t slotsPerPeriod = 0; // samples of all channels in one period, 0 to 391
    std::int32_t blocksPerCycle = 0; // 1 to 391 once a channel has been on
    std::array<std::int32_t, kChannels> samplesPerPeriod{};
    std::array<std::int32_t, kChannels> samplesPerCycle{};
    // slotIndex[c][k]: period position of channel c's k-th sample of the period; entries from
    // samplesPerPeriod[c] on are stale and never read.
    std::array<std::array<std::int32_t, kSlotIndexEntries>, kChannels> slotIndex{};
    std::int32_t cycleSamples = 0; // the least common multiple of 32000 and slotsPerPeriod
    // Samples of each channel in the whole periods that fit in one block: a lower estimate.
    std::array<std::int32_t, kChannels> channelSamplesPerBlock{};
};

// Rebuilds every table from the dividers by simulating scan passes. With every channel off the
// period is one empty pass: slotsPerPeriod and samplesPerPeriod become 0 and cycleSamples 32000,
// while blocksPerCycle, samplesPerCycle and channelSamplesPerBlock keep their previous values, so
// that nothing is ever divided by zero.
void buildSchedule(const Dividers& dividers, ScanSchedule& schedule) noexcept;

} // namespace mv620::acquisition
