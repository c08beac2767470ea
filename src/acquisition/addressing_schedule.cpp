#include "acquisition/addressing_schedule.h"

#include <thread>

namespace mv620::acquisition {

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

std::uint32_t PublishedSchedule::waitForEvenVersion() const noexcept {
    for (;;) {
        std::this_thread::yield(); // the writer is between its two stores
        const std::uint32_t version = version_.load(std::memory_order_acquire);
        if ((version & 1U) == 0) {
            return version;
        }
    }
}

} // namespace mv620::acquisition
