#include "context/library_state.h"

#include "acquisition/acquisition_control.h"

namespace mv620 {

// Definition order is construction order at load: the event first, then the context, then the
// lifetime hook that resets the state. Unload runs in the reverse order.
platform::AutoResetEvent acquisitionDone;
AcquisitionContext acquisitionContext;
std::atomic<bool> acquisitionRunning{false};
std::atomic<std::uint32_t> blocksTransferred{0};
acquisition::BlockRing blockRing{};

std::int32_t AcquisitionContext::dividerOf(std::int32_t channel) const noexcept {
    if (channel < 0 || channel >= acquisition::kChannels) {
        return 0;
    }
    return channelDivider[static_cast<std::size_t>(channel)].load(std::memory_order_relaxed);
}

acquisition::Dividers AcquisitionContext::dividers() const noexcept {
    acquisition::Dividers all{};
    for (std::int32_t c = 0; c < acquisition::kChannels; ++c) {
        all[static_cast<std::size_t>(c)] = dividerOf(c);
    }
    return all;
}

void AcquisitionContext::setChannelRate(std::int32_t channel, std::int32_t rate) noexcept {
    if (channel < 0 || channel >= acquisition::kChannels) {
        channel = 0;
    }
    channelDivider[static_cast<std::size_t>(channel)].store(acquisition::dividerForRate(rate),
                                                            std::memory_order_relaxed);
}

void AcquisitionContext::buildSchedule() noexcept {
    acquisition::buildSchedule(dividers(), schedule);
}

void AcquisitionContext::changeRate(std::int32_t channel, std::int32_t rate) noexcept {
    setChannelRate(channel, rate);
    buildSchedule();
    // Once an acquisition has begun, its samples are addressed with the rates it was started
    // with: the instrument keeps streaming with them until the next start.
    if (!acquisitionRunning.load(std::memory_order_relaxed) &&
        blocksTransferred.load(std::memory_order_relaxed) == 0) {
        addressing.beginWrite();
        addressing.store(dividers(), schedule);
        addressing.endWrite();
    }
}

void AcquisitionContext::reset() noexcept {
    schedule.slotsPerPeriod = 0;
    schedule.blocksPerCycle = 0;
    boundaryBlock.store(0, std::memory_order_relaxed);
    for (std::size_t c = 0; c < acquisition::kChannels; ++c) {
        channelDivider[c].store(0, std::memory_order_relaxed);
        schedule.samplesPerPeriod[c] = 0;
        schedule.slotIndex[c].fill(0);
    }
    addressing.beginWrite();
    addressing.store(dividers(), schedule);
    addressing.endWrite();
}

int resetLibraryState() noexcept {
    acquisitionRunning.store(false, std::memory_order_relaxed);
    blocksTransferred.store(0, std::memory_order_relaxed);
    acquisitionContext.reset();
    for (std::size_t k = 0; k < acquisition::kRingSlots; ++k) {
        blockRing.slots[k].fill(0);
        blockRing.holdsBlock[k].store(false, std::memory_order_relaxed);
    }
    return 1;
}

namespace {

// Load and unload. The library's static objects are constructed when it is loaded (before the
// host can call anything, on every platform and also when it is linked statically) and destroyed
// when it is unloaded.
struct LibraryLifetime {
    LibraryLifetime() noexcept { resetLibraryState(); }
    ~LibraryLifetime() { acquisition::stopAtUnload(); }
    LibraryLifetime(const LibraryLifetime&) = delete;
    LibraryLifetime& operator=(const LibraryLifetime&) = delete;
};

const LibraryLifetime lifetime;

} // namespace

} // namespace mv620
