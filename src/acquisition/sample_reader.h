// Reading samples out of the ring by channel and sample index, while the thread keeps streaming.
#pragma once

#include <cstdint>

#include "acquisition/addressing_schedule.h"

namespace mv620::acquisition {

// Reads samples of one channel. Keeps its copy of the channel's addressing between reads and
// checks on every read that the copy is still the published one (it changes only at a start), so
// a long run costs one copy. Any thread; one reader per thread.
class SampleReader {
public:
    explicit SampleReader(std::int32_t channel) noexcept : channel_(channel) {}

    // Sample n (unsigned, wrapping) counted from the boundary: 0 to 65535, or kSampleNoBlocks,
    // kSampleChannelOff, kSampleNotYet, kSampleOverwritten, tested in that order. A sample whose
    // slot the thread began to refill while it was read, or whose block could not be read from
    // the instrument, gives kSampleOverwritten.
    std::int32_t read(std::uint32_t n) noexcept;

private:
    std::int32_t readWithCopy(std::uint32_t n) const noexcept;

    std::int32_t channel_;
    bool haveCopy_ = false;
    std::uint32_t version_ = 0;
    ChannelAddressing copy_;
};

} // namespace mv620::acquisition
