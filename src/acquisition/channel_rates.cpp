// Set_Sample_Rate and Get_Sample_Rate.
#include "acquisition/acquisition.h"
#include "acquisition/acquisition_state.h"

namespace mv620::acquisition {

void setSampleRate(std::int32_t channel, std::int32_t rate) noexcept {
    AcquisitionContext& context = acquisitionContext;
    context.setChannelRate(channel, rate);
    context.buildSchedule();
    // Published as the rates' schedule. The samples of an acquisition stay addressed with the
    // rates it was started with (the instrument streams with them until the next start); the
    // modulus and the boundary follow these rates whenever the ring holds no samples.
    context.addressing.beginWrite();
    context.addressing.store(Schedule::Rates, context.dividers(), context.schedule);
    context.addressing.endWrite();
}

std::int32_t sampleRate(std::int32_t channel) noexcept {
    return rateOfDivider(acquisitionContext.dividerOf(channel));
}

} // namespace mv620::acquisition
