// Searching a run of samples for a trigger condition.
#pragma once

#include <cstdint>

namespace mv620::acquisition {

// Whether `sample`, with `previous` before it, meets `mode` against the level (0 to 65535).
bool triggers(std::int32_t mode, std::int32_t previous, std::int32_t sample,
              std::int32_t level) noexcept;

} // namespace mv620::acquisition
