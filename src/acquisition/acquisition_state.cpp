#include "acquisition/acquisition_state.h"

namespace mv620::acquisition {

// Constant-initialised: they hold their load-time values before any code of the library runs, in
// whatever order the platform constructs the library's objects.
constinit AcquisitionContext acquisitionContext;
constinit std::atomic<bool> acquisitionRunning{false};
constinit std::atomic<std::uint32_t> blocksTransferred{0};
constinit std::atomic<bool> acquisitionStreaming{false};
constinit BlockRing blockRing{};

platform::AutoResetEvent& acquisitionDone() noexcept {
    // Constructed by the load's reset, before anything can start a thread; destroyed at unload
    // after the unload's stop has waited on it.
    static platform::AutoResetEvent event;
    return event;
}

bool ringHoldsAcquisition() noexcept {
    return acquisitionStreaming.load(std::memory_order_acquire) ||
           blocksTransferred.load(std::memory_order_acquire) != 0;
}

std::int32_t AcquisitionContext::dividerOf(std::int32_t channel) const noexcept {
    if (channel < 0 || channel >= kChannels) {
        return 0;
    }
    return channelDivider[static_cast<std::size_t>(channel)].load(std::memory_order_relaxed);
}

Dividers AcquisitionContext::dividers() const noexcept {
    Dividers all{};
    for (std::int32_t c = 0; c < kChannels; ++c) {
        all[static_cast<std::size_t>(c)] = dividerOf(c);
    }
    return all;
}

void AcquisitionContext::setChannelRate(std::int32_t channel, std::int32_t rate) noexcept {
    if (channel < 0 || channel >= kChannels) {
        channel = 0;
    }
    channelDivider[static_cast<std::size_t>(channel)].store(dividerForRate(rate),
                                                            std::memory_order_relaxed);
}

void AcquisitionContext::buildSchedule() noexcept {
    acquisition::buildSchedule(dividers(), schedule);
}

void AcquisitionContext::reset() noexcept {
    schedule.slotsPerPeriod = 0;
    schedule.blocksPerCycle = 0;
    boundaryBlock.store(0, std::memory_order_relaxed);
    for (std::size_t c = 0; c < kChannels; ++c) {
        channelDivider[c].store(0, std::memory_order_relaxed);
        schedule.samplesPerPeriod[c] = 0;
        schedule.slotIndex[c].fill(0);
    }
    addressing.beginWrite();
    addressing.store(Schedule::Acquisition, dividers(), schedule);
    addressing.store(Schedule::Rates, dividers(), schedule);
    addressing.endWrite();
}

} // namespace mv620::acquisition
