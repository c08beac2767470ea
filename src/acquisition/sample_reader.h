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

// The block from which sample indices count after Set_Sample_Boundary(m): m x 16 cycles of
// `blocksPerCycle` blocks, always the start of a cycle. It is taken as a block number between
// -2^31 and 2^31: in that range the block count's 32-bit arithmetic never wraps a boundary onto
// the ring's blocks, so a boundary beyond the blocks transferred reads as overwritten, never as
// another place of the stream. A larger m (or a more negative one) gives the farthest cycle start
// of that range: a boundary far in the future (or the past). Returned as the 32-bit block word.
std::uint32_t boundaryBlockFor(std::int64_t m, std::int32_t blocksPerCycle) noexcept;

} // namespace mv620::acquisition
