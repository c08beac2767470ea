// Set_Sample_Rate and Get_Sample_Rate.
#include "acquisition/acquisition.h"
#include "acquisition/acquisition_state.h"

namespace mv620::acquisition {

void setSampleRate(std::int32_t channel, std::int32_t rate) noexcept {
    AcquisitionContext& context = acquisitionContext;
    context.setChannelRate(channel, rate);
    context.buildSchedule();
    // Once an acquisition has begun, its samples are addressed with the rates it was started
    // with: the instrument keeps streaming with them until the next start.
    if (!acquisitionRunning.load(std::memory_order_relaxed) &&
        blocksTransferred.load(std::memory_order_relaxed) == 0) {
        context.addressing.beginWrite();
        context.addressing.store(context.dividers(), context.schedule);
        context.addressing.endWrite();
    }
}

std::int32_t sampleRate(std::int32_t channel) noexcept {
    return rateOfDivider(acquisitionContext.dividerOf(channel));
}

} // namespace mv620::acquisition
