// Downloading the configuration image into the instrument.
#pragma once

#include <cstdint>

namespace mv620::control {

// Progress-bar messages sent by Do_Download.
inline constexpr std::uint32_t PBM_SETPOS = 1026;
inline constexpr std::uint32_t PBM_STEPIT = 1029;
inline constexpr std::uint32_t PBM_SETSTEP = 1028;

// Do_Download (with `reportProgress`, to `progressBar`) and LV_Download (without). Announces the
// download, reads and checks the whole image "acq620m_2189.idm" from the current directory, sends
// it section by section, and returns 1 when the instrument echoed the first data byte of the last
// packet, else 0. Refuses (0, nothing sent, no message) with no instrument or while an
// acquisition runs; an acquisition started during the download ends it (0) before its next
// packet. A malformed image sends no data packet and returns 0; so does an image with no data
// words, for which there is no echo to judge. Any thread.
int downloadConfiguration(void* progressBar, bool reportProgress) noexcept;

} // namespace mv620::control
