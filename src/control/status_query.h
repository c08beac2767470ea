// Asking the instrument for its status.
#pragma once

#include <cstdint>

#include "MV620ACQm.h" // the results: STATUS_NO_ANSWER, STATUS_THREE, STATUS_BELOW_90

namespace mv620::control {

// Sorts response byte 3: 3 gives STATUS_THREE; read as a signed byte, anything else below 90
// gives STATUS_BELOW_90; 90 to 127 are returned as they are.
std::int32_t classifyStatus(std::uint8_t statusByte) noexcept;

// Get_MV620ACQ_Status. STATUS_NO_ANSWER when no instrument is present, when the status command or
// its answer could not be transferred (the response then holds nothing the instrument sent), and
// while an acquisition runs: the answer would come in on the read pipe in the middle of the
// sample stream, so nothing is sent at all.
std::int32_t queryStatus() noexcept;

} // namespace mv620::control
