#include "acquisition/addressing_schedule.h"

#include <thread>

namespace mv620::acquisition {

SampleLocation locateSample(const ChannelAddressing& channel, std::uint32_t n) noexcept {
    if (channel.samplesPerCycle <= 0 || channel.samplesPerPeriod <= 0 ||
        channel.samplesPerPeriod > kMaxSamplesPerPeriod) {
        return {};
    }
    const auto samplesPerCycle = static_cast<std::uint32_t>(channel.samplesPerCycle);
    const std::uint32_t cycleNo = n / samplesPerCycle;
    const auto r = static_cast<std::int32_t>(n % samplesPerCycle);
    const std::int32_t periodNo = r / channel.samplesPerPeriod;
    const std::int32_t j = r % channel.samplesPerPeriod;
    // Below cycleSamples (at most 12512000) for a consistent copy; computed unsigned so that an
    // inconsistent one cannot overflow.
    const std::uint32_t pos =
        static_cast<std::uint32_t>(periodNo) * static_cast<std::uint32_t>(channel.slotsPerPeriod) +
        static_cast<std::uint32_t>(channel.slotIndex[static_cast<std::size_t>(j)]);
    const auto blockSamples = static_cast<std::uint32_t>(kBlockSamples);
    return {cycleNo * static_cast<std::uint32_t>(channel.blocksPerCycle) + pos / blockSamples,
            static_cast<std::int32_t>(pos % blockSamples)};
}

void PublishedSchedule::beginWrite() noexcept {
    version_.store(version_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void PublishedSchedule::endWrite() noexcept {
    version_.store(version_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

void PublishedSchedule::store(Schedule which, const Dividers& dividers,
                              const ScanSchedule& schedule) noexcept {
    constexpr auto release = std::memory_order_release;
    Tables& tables = tables_[static_cast<std::size_t>(which)];
    tables.slotsPerPeriod.store(schedule.slotsPerPeriod, release);
    tables.blocksPerCycle.store(schedule.blocksPerCycle, release);
    for (std::size_t c = 0; c < kChannels; ++c) {
        Entry& entry = tables.channels[c];
        entry.divider.store(dividers[c], release);
        entry.samplesPerCycle.store(schedule.samplesPerCycle[c], release);
        entry.samplesPerPeriod.store(schedule.samplesPerPeriod[c], release);
        entry.samplesPerBlock.store(schedule.channelSamplesPerBlock[c], release);
        for (std::size_t k = 0; k < kMaxSamplesPerPeriod; ++k) {
            entry.slotIndex[k].store(schedule.slotIndex[c][k], release);
        }
    }
}

std::uint32_t PublishedSchedule::beginRead() const noexcept {
    for (;;) {
        const std::uint32_t version = version_.load(std::memory_order_acquire);
        if ((version & 1U) == 0) {
            return version;
        }
        std::this_thread::yield(); // the writer is between its two stores
    }
}

ChannelAddressing PublishedSchedule::channel(Schedule which, std::int32_t channel) const noexcept {
    ChannelAddressing copy;
    if (channel < 0 || channel >= kChannels) {
        return copy; // no channel: reads as off
    }
    constexpr auto acquire = std::memory_order_acquire;
    const Tables& tables = tables_[static_cast<std::size_t>(which)];
    const Entry& entry = tables.channels[static_cast<std::size_t>(channel)];
    copy.divider = entry.divider.load(acquire);
    copy.samplesPerCycle = entry.samplesPerCycle.load(acquire);
    copy.samplesPerPeriod = entry.samplesPerPeriod.load(acquire);
    copy.samplesPerBlock = entry.samplesPerBlock.load(acquire);
    copy.slotsPerPeriod = tables.slotsPerPeriod.load(acquire);
    copy.blocksPerCycle = tables.blocksPerCycle.load(acquire);
    for (std::size_t k = 0; k < kMaxSamplesPerPeriod; ++k) {
        copy.slotIndex[k] = entry.slotIndex[k].load(acquire);
    }
    return copy;
}

bool PublishedSchedule::unchanged(std::uint32_t version) const noexcept {
    return version_.load(std::memory_order_relaxed) == version;
}

} // namespace mv620::acquisition
