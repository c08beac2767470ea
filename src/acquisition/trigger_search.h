// Searching a run of samples for a trigger condition, as the run is read.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mv620::acquisition {

// The search of one run: the first sample from the run's second on that meets the mode against
// the level (its low 16 bits count). A triggering sample of value 0 counts as none, so the search
// goes on. A mode outside 0 to 3 never triggers.
class TriggerSearch {
public:
    TriggerSearch(std::int32_t mode, std::int32_t level) noexcept
        : mode_(mode), level_(level & 0xFFFF) {}

    // Looks at the run's next `count` samples. `previous` is the sample before the first of them,
    // or null when the first is the run's first (which is never tested). Once a sample has
    // triggered, the rest are not looked at.
    void look(const std::int32_t* samples, std::size_t count,
              const std::int32_t* previous) noexcept;

    // The value of the triggering sample, or 0.
    [[nodiscard]] std::int32_t found() const noexcept { return found_; }

private:
    std::int32_t mode_;
    std::int32_t level_;
    std::int32_t found_ = 0;
};

} // namespace mv620::acquisition
