#include "acquisition/trigger_search.h"

#include "acquisition/acquisition.h"

namespace mv620::acquisition {
namespace {

// The first sample of `samples` that meets `condition` after the one before it, counting a sample
// of value 0 as none; 0 when none does.
template <typename Condition>
std::int32_t firstTriggering(const std::int32_t* samples, std::size_t count, std::int32_t previous,
                             Condition condition) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t sample = samples[i];
        if (sample != 0 && condition(previous, sample)) {
            return sample;
        }
        previous = sample;
    }
    return 0;
}

} // namespace

void TriggerSearch::look(const std::int32_t* samples, std::size_t count,
                         const std::int32_t* previous) noexcept {
    if (found_ != 0 || count == 0) {
        return;
    }
    if (previous == nullptr) { // the run's first sample is never tested
        look(samples + 1, count - 1, samples);
        return;
    }
    const std::int32_t level = level_;
    switch (mode_) {
    case kTriggerRising:
        found_ = firstTriggering(
            samples, count, *previous,
            [level](std::int32_t before, std::int32_t v) { return before < level && v >= level; });
        break;
    case kTriggerFalling:
        found_ = firstTriggering(
            samples, count, *previous,
            [level](std::int32_t before, std::int32_t v) { return before > level && v <= level; });
        break;
    case kTriggerAtOrAbove:
        found_ = firstTriggering(samples, count, *previous,
                                 [level](std::int32_t, std::int32_t v) { return v >= level; });
        break;
    case kTriggerAtOrBelow:
        found_ = firstTriggering(samples, count, *previous,
                                 [level](std::int32_t, std::int32_t v) { return v <= level; });
        break;
    default:
        break; // never triggers
    }
}

} // namespace mv620::acquisition
