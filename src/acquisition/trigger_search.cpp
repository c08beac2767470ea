#include "acquisition/trigger_search.h"

#include "acquisition/acquisition.h"
#include "acquisition/sample_reader.h"

namespace mv620::acquisition {

bool triggers(std::int32_t mode, std::int32_t previous, std::int32_t sample,
              std::int32_t level) noexcept {
    switch (mode) {
    case kTriggerRising:
        return previous < level && sample >= level;
    case kTriggerFalling:
        return previous > level && sample <= level;
    case kTriggerAtOrAbove:
        return sample >= level;
    case kTriggerAtOrBelow:
        return sample <= level;
    default:
        return false;
    }
}

std::int32_t searchTrigger(std::int32_t* buffer, std::int32_t channel, std::int32_t first,
                           std::int32_t count, std::int32_t mode, std::int32_t level) noexcept {
    if (buffer == nullptr) {
        return 0;
    }
    const std::int32_t threshold = level & 0xFFFF;
    SampleReader reader(channel);
    std::int32_t found = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::int32_t value =
            reader.read(static_cast<std::uint32_t>(first) + static_cast<std::uint32_t>(i));
        if (value < 0) {
            break;
        }
        buffer[i] = value;
        // The first sample of the run is never tested; a triggering sample of value 0 leaves
        // found at 0, so a later one can still trigger.
        if (found == 0 && i >= 1 && triggers(mode, buffer[i - 1], value, threshold)) {
            found = value;
        }
    }
    return found;
}

} // namespace mv620::acquisition
