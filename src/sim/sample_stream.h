// The instrument's sample stream: the scan passes it runs after a start packet, and the values
// its patterns put into every sample.
#pragma once

#include "sim/sim_protocol.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace mv620::sim {

// What the simulated inputs carry. Channel c (0 to 39), sample n (its n-th sample since the
// start packet, from 0):
//   Identify: c * 1637 + (n mod 1637), so every sample tells its channel and its number.
//   Sine:     32768 + round(32767 * sin(2 * pi * (n mod P) / P)), P = 100 * (c + 1) samples,
//             so 1 to 65535 with a period that grows with the channel.
//   Ramp:     (n * 64 * (c + 1)) mod 65536, a sawtooth whose slope grows with the channel.
enum class Pattern : int { Identify = 0, Sine = 1, Ramp = 2 };

inline constexpr std::uint32_t kIdentifySpan = 1637;

std::uint16_t patternValue(Pattern pattern, std::uint32_t channel, std::uint64_t n) noexcept;

// The scan: passes numbered from 1; in every pass the 40 scan positions in order; the channel at
// scan position k is sampled in pass p when its divider d is not 0 and p is a multiple of d.
class SampleStream {
public:
    using Dividers = std::array<std::uint8_t, kChannels>; // by scan position

    // Begins a new stream at the first pass. A stream whose dividers are all 0 is not active.
    void start(const Dividers& dividersByScanPosition) noexcept;
    void stop() noexcept;
    bool active() const noexcept { return active_; }

    // Writes the next `samples` samples of the stream, 16 bits each, high byte first.
    void generate(Pattern pattern, std::uint8_t* out, std::size_t samples) noexcept;

    // A channel's own waveform in place of the pattern: its n-th sample is waveform[n mod size].
    // An empty waveform gives the channel back to the pattern. Kept across starts.
    void setWaveform(std::uint32_t channel, std::vector<std::uint16_t> waveform);
    void clearWaveforms() noexcept;

    // Samples of `channel` taken so far.
    std::uint64_t samplesTaken(std::uint32_t channel) const noexcept;

private:
    void advanceToNextSampledPass() noexcept;

    Dividers dividers_{};
    std::array<std::uint64_t, kChannels> taken_{};
    std::array<std::vector<std::uint16_t>, kChannels> waveforms_;
    std::uint64_t pass_ = 0;             // the pass being scanned
    std::uint32_t position_ = kChannels; // next scan position within that pass
    bool active_ = false;
};

} // namespace mv620::sim
