// The readers of the ring: one sample (Get_DataPoint), runs of samples (Get_Data_Samples and the
// trigger search), and the counts that go with them.
//
// A run walks the stream: it finds its first sample once, then steps from one sample of the
// channel to the next by the distances of the scan period, without dividing, and tests the block
// window once per block rather than once per sample. It reads a chunk of samples at a time into a
// buffer of its own and tests the block count again before it hands them on, so that a slot the
// thread began to refill meanwhile never leaks a sample into the result: the run then ends before
// that chunk, and the caller's buffer is written only with samples that were checked.
#include "acquisition/sample_reader.h"

#include <algorithm>
#include <array>
#include <atomic>

#include "acquisition/acquisition.h"
#include "acquisition/acquisition_state.h"
#include "acquisition/trigger_search.h"

namespace mv620::acquisition {
namespace {

constexpr std::uint32_t kSamplesPerBlock = static_cast<std::uint32_t>(kBlockSamples);
// The samples a run reads before it checks the block count again: small enough to sit in the
// reader's stack and cache, large enough that the check costs nothing per sample.
constexpr std::size_t kChunkSamples = 256;

// The schedule whose cycles the modulus and the boundary count: the latest acquisition's while
// the ring holds its samples, else the one of the rates set now.
Schedule scheduleOfTheRing() noexcept {
    return ringHoldsAcquisition() ? Schedule::Acquisition : Schedule::Rates;
}

bool isChannel(std::int32_t channel) noexcept { return channel >= 0 && channel < kChannels; }

// One ring byte. Acquire: the reader's later load of the block count (its re-check) stays after
// the bytes it read. The driver may be writing this very byte if the thread has begun to refill
// the slot since the reader's window test; the re-check then discards the value.
std::uint8_t loadRingByte(std::uint8_t& byte) noexcept {
    return std::atomic_ref<std::uint8_t>(byte).load(std::memory_order_acquire);
}

// The sample at `offset` of a ring slot: 16 bits, high byte first.
std::int32_t loadSample(std::uint8_t* slot, std::uint32_t offset) noexcept {
    const std::size_t at = std::size_t{2} * offset;
    return (std::int32_t{loadRingByte(slot[at])} << 8) | std::int32_t{loadRingByte(slot[at + 1])};
}

// Blocks counted since the boundary. Acquire: a block counted is seen whole.
std::uint32_t blocksSinceBoundary(std::uint32_t boundary) noexcept {
    return blocksTransferred.load(std::memory_order_acquire) - boundary;
}

// The block window: block `block` (counted from the boundary) is readable while it is one of the
// 15 newest; the slot of the 16th-newest is the one the thread fills next.
std::int32_t windowResult(std::uint32_t block, std::uint32_t boundary) noexcept {
    const std::uint32_t since = blocksSinceBoundary(boundary);
    if (since <= block) {
        return kSampleNotYet;
    }
    if (since - block > kReadableBlocks) {
        return kSampleOverwritten;
    }
    return 0;
}

bool stillReadable(std::uint32_t block, std::uint32_t boundary) noexcept {
    return blocksSinceBoundary(boundary) - block <= kReadableBlocks;
}

// Sample n of the channel with the schedule of the published `version`; the caller checks that
// the version held.
std::int32_t readOne(const PublishedSchedule& published, std::int32_t channel,
                     std::uint32_t n) noexcept {
    if (blocksTransferred.load(std::memory_order_acquire) == 0) {
        return kSampleNoBlocks;
    }
    if (!isChannel(channel) || published.divider(Schedule::Acquisition, channel) == 0) {
        return kSampleChannelOff;
    }
    const std::int32_t perPeriod = published.samplesPerPeriod(Schedule::Acquisition, channel);
    const std::int32_t slots = published.slotsPerPeriod(Schedule::Acquisition);
    if (perPeriod <= 0 || perPeriod > kMaxSamplesPerPeriod || slots <= 0) {
        return kSampleChannelOff; // a schedule being replaced: the caller reads again
    }
    const PeriodPlace at = periodPlace(n, static_cast<std::uint32_t>(perPeriod));
    const std::uint64_t position = streamPosition(
        at.period, slots,
        published.slotIndex(Schedule::Acquisition, channel, static_cast<std::int32_t>(at.place)));
    const auto block = static_cast<std::uint32_t>(position / kSamplesPerBlock);
    const auto offset = static_cast<std::uint32_t>(position % kSamplesPerBlock);
    const std::uint32_t boundary = acquisitionContext.boundaryBlock.load(std::memory_order_relaxed);
    if (const std::int32_t outside = windowResult(block, boundary); outside != 0) {
        return outside;
    }
    // The boundary is a multiple of 16 blocks, so the block counted from it has the slot of the
    // absolute one.
    const std::uint32_t ringSlot = block % kRingSlots;
    const bool whole = blockRing.holdsBlock[ringSlot].load(std::memory_order_acquire);
    const std::int32_t value = loadSample(blockRing.slots[ringSlot].data(), offset);
    // Had the thread completed a block and begun to refill this slot since the window test, the
    // block would now lie outside the window.
    if (!whole || !stillReadable(block, boundary)) {
        return kSampleOverwritten;
    }
    return value;
}

// What a run needs of its channel's schedule: the period's size, and where in it each of the
// channel's samples lies together with the distance to the next one.
struct RunSchedule {
    std::uint32_t perPeriod = 0;
    std::int32_t slots = 0;
    std::array<std::int32_t, kMaxSamplesPerPeriod> slotIndex{};
    std::array<std::uint32_t, kMaxSamplesPerPeriod> step{};

    // False when the channel is off, or the schedule is being replaced.
    bool load(const PublishedSchedule& published, std::int32_t channel) noexcept {
        if (published.divider(Schedule::Acquisition, channel) == 0) {
            return false;
        }
        const std::int32_t count = published.samplesPerPeriod(Schedule::Acquisition, channel);
        slots = published.slotsPerPeriod(Schedule::Acquisition);
        if (count <= 0 || count > kMaxSamplesPerPeriod || slots <= 0) {
            return false;
        }
        perPeriod = static_cast<std::uint32_t>(count);
        for (std::int32_t k = 0; k < count; ++k) {
            slotIndex[static_cast<std::size_t>(k)] =
                published.slotIndex(Schedule::Acquisition, channel, k);
        }
        for (std::size_t k = 0; k + 1 < perPeriod; ++k) {
            step[k] = static_cast<std::uint32_t>(slotIndex[k + 1] - slotIndex[k]);
        }
        step[perPeriod - 1] =
            static_cast<std::uint32_t>(slots - slotIndex[perPeriod - 1] + slotIndex[0]);
        return true;
    }
};

// Copies the samples of a block from `offset` on, up to `limit` of them or the block's end,
// into `out`, leaving `offset` at the next one; returns how many it copied. For a channel with
// one sample a period, evenly `step` apart.
std::size_t copyEvenlySpaced(std::uint8_t* bytes, std::uint32_t& offset, std::uint32_t step,
                             std::int32_t* out, std::size_t limit) noexcept {
    std::size_t got = 0;
    std::uint32_t at = offset;
    while (got < limit && at < kSamplesPerBlock) {
        out[got++] = loadSample(bytes, at);
        at += step;
    }
    offset = at;
    return got;
}

// As copyEvenlySpaced, for a channel with several samples a period at the schedule's distances;
// `k` is the next sample's place in its period.
std::size_t copyByPeriod(std::uint8_t* bytes, std::uint32_t& offset, std::uint32_t& k,
                         const RunSchedule& schedule, std::int32_t* out,
                         std::size_t limit) noexcept {
    std::size_t got = 0;
    std::uint32_t at = offset;
    std::uint32_t place = k;
    // Whole periods at a time while they fit in the block and the chunk: a loop of a fixed
    // length over the period's places, which the processor predicts.
    if (place == 0) {
        const auto perPeriod = static_cast<std::size_t>(schedule.perPeriod);
        const auto first = static_cast<std::uint32_t>(schedule.slotIndex[0]);
        const auto last = static_cast<std::uint32_t>(schedule.slotIndex[perPeriod - 1]);
        const auto slots = static_cast<std::uint32_t>(schedule.slots);
        std::uint32_t period = at - first;
        while (got + perPeriod <= limit && period + last < kSamplesPerBlock) {
            for (std::size_t i = 0; i < perPeriod; ++i) {
                out[got + i] =
                    loadSample(bytes, period + static_cast<std::uint32_t>(schedule.slotIndex[i]));
            }
            got += perPeriod;
            period += slots;
        }
        at = period + first;
    }
    while (got < limit && at < kSamplesPerBlock) {
        out[got++] = loadSample(bytes, at);
        at += schedule.step[place];
        place = place + 1 == schedule.perPeriod ? 0 : place + 1;
    }
    offset = at;
    k = place;
    return got;
}

// Reads samples first .. first+count-1 of the channel (the index wrapping at 2^32), handing them
// to `take(samples, howMany, atIndex)` a checked chunk at a time, and returns how many it handed
// on: all of them, or those before the first that cannot be read.
template <typename Take>
std::int32_t readRun(std::int32_t channel, std::uint32_t first, std::int32_t count,
                     Take&& take) noexcept {
    if (count <= 0 || !isChannel(channel)) {
        return 0;
    }
    const PublishedSchedule& published = acquisitionContext.addressing;
    std::array<std::int32_t, kChunkSamples> chunk{};
    std::int32_t done = 0;
    // Each pass of this loop finds the run's next sample afresh: at the start, after the sample
    // index wrapped past 2^32 - 1, and after the schedule changed under the run (a start).
    while (done < count) {
        const std::uint32_t version = published.beginRead();
        RunSchedule schedule;
        if (blocksTransferred.load(std::memory_order_acquire) == 0 ||
            !schedule.load(published, channel)) {
            if (published.unchanged(version)) {
                return done; // no block yet, or the channel is off
            }
            continue;
        }
        std::uint32_t n = first + static_cast<std::uint32_t>(done);
        const PeriodPlace at = periodPlace(n, schedule.perPeriod);
        std::uint32_t k = at.place;
        std::uint64_t position = streamPosition(at.period, schedule.slots, schedule.slotIndex[k]);
        bool findAgain = false;
        while (done < count && !findAgain) {
            const auto block = static_cast<std::uint32_t>(position / kSamplesPerBlock);
            const std::uint64_t blockEnd = (std::uint64_t{block} + 1) * kSamplesPerBlock;
            const std::uint64_t blockStart = blockEnd - kSamplesPerBlock;
            const std::uint32_t boundary =
                acquisitionContext.boundaryBlock.load(std::memory_order_relaxed);
            const std::uint32_t ringSlot = block % kRingSlots;
            if (windowResult(block, boundary) != 0 ||
                !blockRing.holdsBlock[ringSlot].load(std::memory_order_acquire)) {
                if (published.unchanged(version)) {
                    return done;
                }
                break;
            }
            std::uint8_t* bytes = blockRing.slots[ringSlot].data();
            auto offset = static_cast<std::uint32_t>(position - blockStart);
            while (done < count && offset < kSamplesPerBlock) {
                // Up to the chunk's size, the run's end, the block's end and the index's wrap.
                const std::uint64_t untilWrap = (std::uint64_t{1} << 32) - n;
                const auto limit = static_cast<std::size_t>(std::min<std::uint64_t>(
                    {kChunkSamples, static_cast<std::uint64_t>(count - done), untilWrap}));
                const std::size_t got =
                    schedule.perPeriod == 1
                        ? copyEvenlySpaced(bytes, offset, schedule.step[0], chunk.data(), limit)
                        : copyByPeriod(bytes, offset, k, schedule, chunk.data(), limit);
                position = blockStart + offset;
                if (!published.unchanged(version)) {
                    // An acquisition started meanwhile: read again with its schedule.
                    findAgain = true;
                    break;
                }
                if (!stillReadable(block, boundary)) {
                    return done; // the thread began to refill the slot: nothing of this chunk
                }
                take(chunk.data(), got, done);
                done += static_cast<std::int32_t>(got);
                n += static_cast<std::uint32_t>(got);
                if (n == 0) {
                    findAgain = true; // the index wrapped: sample 0 lies at the stream's start
                    break;
                }
            }
        }
    }
    return done;
}

} // namespace

std::int32_t readSample(std::int32_t channel, std::uint32_t n) noexcept {
    const PublishedSchedule& published = acquisitionContext.addressing;
    for (;;) {
        const std::uint32_t version = published.beginRead();
        const std::int32_t result = readOne(published, channel, n);
        if (published.unchanged(version)) {
            return result;
        }
    }
}

std::int32_t readSamples(std::int32_t* buffer, std::int32_t channel, std::int32_t first,
                         std::int32_t count) noexcept {
    if (buffer == nullptr) {
        return 0;
    }
    return readRun(channel, static_cast<std::uint32_t>(first), count,
                   [buffer](const std::int32_t* samples, std::size_t howMany, std::int32_t at) {
                       std::copy_n(samples, howMany, buffer + at);
                   });
}

std::int32_t searchTrigger(std::int32_t* buffer, std::int32_t channel, std::int32_t first,
                           std::int32_t count, std::int32_t mode, std::int32_t level) noexcept {
    if (buffer == nullptr) {
        return 0;
    }
    TriggerSearch search(mode, level);
    readRun(channel, static_cast<std::uint32_t>(first), count,
            [buffer, &search](const std::int32_t* samples, std::size_t howMany, std::int32_t at) {
                std::copy_n(samples, howMany, buffer + at);
                search.look(samples, howMany, at == 0 ? nullptr : &buffer[at - 1]);
            });
    return search.found();
}

std::int32_t currentSampleCount(std::int32_t channel) noexcept {
    // An acquisition that has ended, stopped or by itself, counts as not running.
    if (!acquisitionStreaming.load(std::memory_order_acquire) || !isChannel(channel)) {
        return 0;
    }
    const PublishedSchedule& published = acquisitionContext.addressing;
    for (;;) {
        const std::uint32_t version = published.beginRead();
        const auto perBlock =
            static_cast<std::uint32_t>(published.samplesPerBlock(Schedule::Acquisition, channel));
        const std::uint32_t boundary =
            acquisitionContext.boundaryBlock.load(std::memory_order_relaxed);
        const std::uint32_t count = blocksSinceBoundary(boundary) * perBlock;
        if (published.unchanged(version)) {
            return static_cast<std::int32_t>(count);
        }
    }
}

std::int32_t sampleModulus(std::int32_t channel) noexcept {
    if (!isChannel(channel)) {
        return 0;
    }
    const PublishedSchedule& published = acquisitionContext.addressing;
    for (;;) {
        const std::uint32_t version = published.beginRead();
        const auto perCycle =
            static_cast<std::uint32_t>(published.samplesPerCycle(scheduleOfTheRing(), channel));
        if (published.unchanged(version)) {
            return static_cast<std::int32_t>(perCycle * 16U);
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
    // The host thread is the only writer of the addressing schedule, so it needs no check.
    const std::uint32_t boundary =
        boundaryBlockFor(m, acquisitionContext.addressing.blocksPerCycle(scheduleOfTheRing()));
    acquisitionContext.boundaryBlock.store(boundary, std::memory_order_relaxed);
    return static_cast<std::int32_t>(boundary);
}

} // namespace mv620::acquisition
