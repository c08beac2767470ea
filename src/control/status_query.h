// Asking the instrument for its status.
#pragma once

#include <cstdint>

namespace mv620::control {

// Results of the status query other than a status value (90 to 127).
inline constexpr std::int32_t kStatusNoAnswer = -5; // no instrument, no answer, or a stream runs
inline constexpr std::int32_t kStatusThree = -6;    // the instrument reported status 3
inline constexpr std::int32_t kStatusBelow90 = -7;  // it reported a status below 90, not 3

// Sorts the status byte: 3 gives kStatusThree; read as a signed byte, anything else below 90
// gives kStatusBelow90; 90 to 127 are returned as they are.
std::int32_t classifyStatus(std::uint8_t statusByte) noexcept;

// Get_MV620ACQ_Status. kStatusNoAnswer when no instrument is present, when the status command or
// its answer could not be transferred (the response then holds nothing the instrument sent), and
// while an acquisition runs: the answer would come in on the read pipe in the middle of the
// sample stream, so nothing is sent at all.
std::int32_t queryStatus() noexcept;

} // namespace mv620::control
