// Searching a run of samples for a trigger condition.
#pragma once

#include <cstdint>

#include "MV620ACQm.h" // the modes: TRIGGER_RISING ... TRIGGER_AT_OR_BELOW

namespace mv620::acquisition {

// Whether `sample`, with `previous` before it, meets `mode` against the level (0 to 65535).
bool triggers(std::int32_t mode, std::int32_t previous, std::int32_t sample,
              std::int32_t level) noexcept;

// Get_Trigger: reads samples first .. first+count-1 into buffer[0..] as Get_Data_Samples does and
// returns the value of the first sample from index 1 on that triggers, or 0. Only the low 16 bits
// of `level` count. A null buffer reads nothing and returns 0.
std::int32_t searchTrigger(std::int32_t* buffer, std::int32_t channel, std::int32_t first,
                           std::int32_t count, std::int32_t mode, std::int32_t level) noexcept;

} // namespace mv620::acquisition
