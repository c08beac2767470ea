#include "acquisition/sample_reader.h"

#include <algorithm>
#include <atomic>

#include "acquisition/acquisition.h"
#include "acquisition/acquisition_state.h"

namespace mv620::acquisition {
namespace {

std::uint32_t blocksSinceBoundary(std::uint32_t boundary) noexcept {
    return blocksTransferred.load(std::memory_order_acquire) - boundary;
}

// The schedule whose cycles the modulus and the boundary count: the latest acquisition's while
// the ring holds its samples, else the one of the rates set now.
Schedule scheduleOfTheRing() noexcept {
    return ringHoldsAcquisition() ? Schedule::Acquisition : Schedule::Rates;
}

// One ring byte. The acquire load keeps the reader's re-check of the block count after it. The
// driver may be writing this very byte if the thread has begun to refill the slot since the
// reader's window test; the re-check then discards the value.
std::uint8_t loadRingByte(std::uint8_t& byte) noexcept {
    return std::atomic_ref<std::uint8_t>(byte).load(std::memory_order_acquire);
}

} // namespace

std::int32_t SampleReader::read(std::uint32_t n) noexcept {
    const PublishedSchedule& published = acquisitionContext.addressing;
    for (;;) {
        if (!haveCopy_) {
            version_ = published.beginRead();
            copy_ = published.channel(Schedule::Acquisition, channel_);
            haveCopy_ = true;
        }
        const std::int32_t result = readWithCopy(n);
        if (published.unchanged(version_)) {
            return result;
        }
        haveCopy_ = false; // an acquisition started meanwhile: read again with its schedule
    }
}

std::int32_t SampleReader::readWithCopy(std::uint32_t n) const noexcept {
    if (blocksTransferred.load(std::memory_order_acquire) == 0) {
        return kSampleNoBlocks;
    }
    if (copy_.divider == 0) {
        return kSampleChannelOff;
    }
    const SampleLocation location = locateSample(copy_, n);
    const std::uint32_t boundary = acquisitionContext.boundaryBlock.load(std::memory_order_relaxed);
    if (blocksSinceBoundary(boundary) <= location.block) {
        return kSampleNotYet;
    }
    if (blocksSinceBoundary(boundary) - location.block > kReadableBlocks) {
        return kSampleOverwritten;
    }
    // The boundary is a multiple of 16 blocks, so the relative block number has the slot of the
    // absolute one.
    const std::uint32_t slot = location.block % kRingSlots;
    const bool whole = blockRing.holdsBlock[slot].load(std::memory_order_acquire);
    auto& bytes = blockRing.slots[slot];
    const auto at = static_cast<std::size_t>(location.offset) * 2;
    const std::int32_t value = (loadRingByte(bytes[at]) << 8) | loadRingByte(bytes[at + 1]);
    // Re-check: had the thread completed a block and begun to refill this slot since the window
    // test, the block would now lie outside the window.
    if (blocksSinceBoundary(boundary) - location.block > kReadableBlocks || !whole) {
        return kSampleOverwritten;
    }
    return value;
}

std::int32_t readSample(std::int32_t channel, std::uint32_t n) noexcept {
    return SampleReader(channel).read(n);
}

std::int32_t readSamples(std::int32_t* buffer, std::int32_t channel, std::int32_t first,
                         std::int32_t count) noexcept {
    if (buffer == nullptr) {
        return 0;
    }
    SampleReader reader(channel);
    std::int32_t i = 0;
    for (; i < count; ++i) {
        const std::int32_t value =
            reader.read(static_cast<std::uint32_t>(first) + static_cast<std::uint32_t>(i));
        if (value < 0) {
            break;
        }
        buffer[i] = value;
    }
    return i;
}

std::int32_t currentSampleCount(std::int32_t channel) noexcept {
    // An acquisition that has ended, stopped or by itself, counts as not running.
    if (!acquisitionStreaming.load(std::memory_order_acquire)) {
        return 0;
    }
    const PublishedSchedule& published = acquisitionContext.addressing;
    for (;;) {
        const std::uint32_t version = published.beginRead();
        const ChannelAddressing copy = published.channel(Schedule::Acquisition, channel);
        const std::uint32_t boundary =
            acquisitionContext.boundaryBlock.load(std::memory_order_relaxed);
        const std::uint32_t count =
            blocksSinceBoundary(boundary) * static_cast<std::uint32_t>(copy.samplesPerBlock);
        if (published.unchanged(version)) {
            return static_cast<std::int32_t>(count);
        }
    }
}

std::int32_t sampleModulus(std::int32_t channel) noexcept {
    const PublishedSchedule& published = acquisitionContext.addressing;
    for (;;) {
        const std::uint32_t version = published.beginRead();
        const ChannelAddressing copy = published.channel(scheduleOfTheRing(), channel);
        if (published.unchanged(version)) {
            return static_cast<std::int32_t>(static_cast<std::uint32_t>(copy.samplesPerCycle) *
                                             16U);
        }
    }
}

std::uint32_t boundaryBlockFor(std::int64_t m, std::int32_t blocksPerCycle) noexcept {
    const std::int64_t step = std::int64_t{16} * blocksPerCycle;
    if (step <= 0) {
        return 0;
    }
    constexpr std::int64_t kFarthest = std::int64_t{1} << 31;
    const std::int64_t farthestSteps = (kFarthest - 1) / step;
    const std::int64_t steps = std::clamp(m, -farthestSteps, farthestSteps);
    return static_cast<std::uint32_t>(steps * step); // two's complement: negative wraps
}

std::int32_t setBoundary(std::int32_t m) noexcept {
    // The host thread is the only writer of the addressing schedule, so its copy needs no check.
    const ChannelAddressing copy = acquisitionContext.addressing.channel(scheduleOfTheRing(), 0);
    const std::uint32_t boundary = boundaryBlockFor(m, copy.blocksPerCycle);
    acquisitionContext.boundaryBlock.store(boundary, std::memory_order_relaxed);
    return static_cast<std::int32_t>(boundary);
}

} // namespace mv620::acquisition
