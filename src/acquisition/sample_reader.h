// Reading samples out of the ring by channel and sample index, while the thread keeps streaming.
// The exported reads are declared in acquisition/acquisition.h; this header holds the pieces of
// them that are worth testing on their own.
#pragma once

#include <cstdint>

namespace mv620::acquisition {

// The block from which sample indices count after Set_Sample_Boundary(m): m x 16 cycles of
// `blocksPerCycle` blocks, always the start of a cycle. It is taken as a block number between
// -2^31 and 2^31: in that range the block count's 32-bit arithmetic never wraps a boundary onto
// the ring's blocks, so a boundary beyond the blocks transferred reads as overwritten, never as
// another place of the stream. A larger m (or a more negative one) gives the farthest cycle start
// of that range: a boundary far in the future (or the past). Returned as the 32-bit block word.
std::uint32_t boundaryBlockFor(std::int64_t m, std::int32_t blocksPerCycle) noexcept;

// Sample n of a channel that has `samplesPerPeriod` samples in each period of the schedule: the
// period it lies in, counted from the boundary, and its place among the channel's samples of
// that period. A period holds 1, 2, 5 or 10 samples of a channel (every divider divides 10), so
// those divisions are by constants, which the compiler turns into multiplications: a hardware
// division would cost as much as the rest of a one-sample read. Any other count is still
// divided correctly.
struct PeriodPlace {
    std::uint32_t period;
    std::uint32_t place;
};
inline PeriodPlace periodPlace(std::uint32_t n, std::uint32_t samplesPerPeriod) noexcept {
    std::uint32_t period = 0;
    switch (samplesPerPeriod) {
    case 1:
        return {n, 0};
    case 2:
        period = n / 2;
        break;
    case 5:
        period = n / 5;
        break;
    case 10:
        period = n / 10;
        break;
    default:
        period = n / samplesPerPeriod;
        break;
    }
    return {period, n - period * samplesPerPeriod};
}

// Where a sample lies in the stream, counted in samples from the boundary: the start of its
// period, `period` periods of slotsPerPeriod samples each, plus its place in that period. The
// boundary is the start of a cycle, and a cycle a whole number of periods, so periods follow one
// another without a seam across cycles: for every 32-bit sample index this is the block and
// offset that the cycle arithmetic gives (block = position / 32000, offset = position % 32000),
// and the block number never leaves 32 bits.
inline std::uint64_t streamPosition(std::uint32_t period, std::int32_t slotsPerPeriod,
                                    std::int32_t slotIndex) noexcept {
    return std::uint64_t{period} * static_cast<std::uint32_t>(slotsPerPeriod) +
           static_cast<std::uint32_t>(slotIndex);
}

} // namespace mv620::acquisition
