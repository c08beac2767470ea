// Channel rates and the scan schedule: where in the instrument's sample stream each sample of
// each channel lies.
#pragma once

#include <array>
#include <cstdint>

#include "device/protocol.h" // the channels and the instrument's scan order

namespace mv620::acquisition {

inline constexpr int kChannels = device::kChannels;
inline constexpr std::int32_t kBlockSamples = 32000;
// A channel yields at most 10 samples per period (divider 1 in a 10-pass period).
inline constexpr int kMaxSamplesPerPeriod = 10;

using Dividers = device::ChannelDividers;

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
    std::array<std::array<std::int32_t, kMaxSamplesPerPeriod>, kChannels> slotIndex{};
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
