#include "acquisition/scan_schedule.h"

namespace mv620::acquisition {

std::int32_t dividerForRate(std::int32_t rate) noexcept {
    if (rate >= 10) {
        return 1;
    }
    if (rate >= 5) {
        return 2;
    }
    if (rate >= 2) {
        return 5;
    }
    if (rate == 1) {
        return 10;
    }
    return 0;
}

std::int32_t rateOfDivider(std::int32_t divider) noexcept {
    switch (divider) {
    case 1:
        return 10;
    case 2:
        return 5;
    case 5:
        return 2;
    case 10:
        return 1;
    default:
        return 0;
    }
}

void buildSchedule(const Dividers& dividers, ScanSchedule& schedule) noexcept {
    std::array<std::int32_t, kChannels> countdown = dividers;
    schedule.samplesPerPeriod.fill(0);
    schedule.slotsPerPeriod = 0;

    // One scan pass after another until every countdown is back at its divider. A channel with
    // divider d is sampled in passes d, 2d, ...; within a pass the channels come in scan order.
    // The period is at most 10 passes, since every divider divides 10.
    do {
        for (const std::int32_t channel : device::kScanOrder) {
            const auto c = static_cast<std::size_t>(channel);
            --countdown[c];
            if (countdown[c] == 0) {
                // At most 10 samples of a channel per period, since every divider divides 10.
                const auto k = static_cast<std::size_t>(schedule.samplesPerPeriod[c]);
                if (k < schedule.slotIndex[c].size()) {
                    schedule.slotIndex[c][k] = schedule.slotsPerPeriod;
                }
                ++schedule.slotsPerPeriod;
                ++schedule.samplesPerPeriod[c];
                countdown[c] = dividers[c];
            } else if (countdown[c] < 0) {
                countdown[c] = 0; // a channel that is off
            }
        }
    } while (countdown != dividers);

    schedule.cycleSamples = kBlockSamples;
    if (schedule.slotsPerPeriod == 0) {
        return; // every channel off: the cycle tables keep their previous values
    }
    while (schedule.cycleSamples % schedule.slotsPerPeriod != 0) {
        schedule.cycleSamples += kBlockSamples;
    }
    schedule.blocksPerCycle = schedule.cycleSamples / kBlockSamples;
    const std::int32_t periodsPerBlock = kBlockSamples / schedule.slotsPerPeriod;
    for (std::size_t c = 0; c < kChannels; ++c) {
        // At most 10 x 12512000: well inside 32 bits.
        schedule.samplesPerCycle[c] =
            schedule.samplesPerPeriod[c] * schedule.cycleSamples / schedule.slotsPerPeriod;
        schedule.channelSamplesPerBlock[c] = periodsPerBlock * schedule.samplesPerPeriod[c];
    }
}

} // namespace mv620::acquisition
