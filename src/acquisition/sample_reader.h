// Reading samples out of the ring by channel and sample index, while the thread keeps streaming.
#pragma once

#include <cstdint>

#include "MV620ACQm.h" // the results other than a sample: SAMPLE_NO_BLOCKS ... SAMPLE_OVERWRITTEN
#include "acquisition/addressing_schedule.h"

namespace mv620::acquisition {

// Reads samples of one channel. Keeps its copy of the channel's addressing between reads and
// checks on every read that the copy is still the published one (it changes only at a start), so
// a long run costs one copy. Any thread; one reader per thread.
class SampleReader {
public:
    explicit SampleReader(std::int32_t channel) noexcept : channel_(channel) {}

    // Sample n (unsigned, wrapping) counted from the boundary: 0 to 65535, or SAMPLE_NO_BLOCKS,
    // SAMPLE_CHANNEL_OFF, SAMPLE_NOT_YET, SAMPLE_OVERWRITTEN, tested in that order. A sample whose
    // slot the thread began to refill while it was read, or whose block could not be read from
    // the instrument, gives SAMPLE_OVERWRITTEN.
    std::int32_t read(std::uint32_t n) noexcept;

private:
    std::int32_t readWithCopy(std::uint32_t n) const noexcept;

    std::int32_t channel_;
    bool haveCopy_ = false;
    std::uint32_t version_ = 0;
    ChannelAddressing copy_;
};

// Get_Data_Samples: samples first .. first+count-1 into buffer[0..]; stops at the first failure.
// Returns how many were stored. A count of 0 or less, or a null buffer, stores nothing.
std::int32_t readSamples(std::int32_t* buffer, std::int32_t channel, std::int32_t first,
                         std::int32_t count) noexcept;

// Get_Current_DataPoint: while an acquisition runs, (blocks since the boundary) x the channel's
// whole-period samples per block, wrapping; 0 when none runs or for a number that is not a channel.
std::int32_t currentSampleCount(std::int32_t channel) noexcept;

// Get_Sample_Modulus: the channel's samples in 16 cycles, wrapping; 0 for a number that is not a
// channel.
std::int32_t sampleModulus(std::int32_t channel) noexcept;

// Set_Sample_Boundary: indices count from block m x blocksPerCycle x 16 (wrapping). Returns that
// block number; callers must not rely on it.
std::int32_t setBoundary(std::int32_t m) noexcept;

} // namespace mv620::acquisition
