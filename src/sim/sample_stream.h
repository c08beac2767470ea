// The instrument's sample stream: the scan passes it runs after a start packet, and the values
// its patterns put into every sample.
#pragma once

#include "sim/sim_protocol.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
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

// The channels' own waveforms, in place of the pattern: channel c's n-th sample is
// (*waveforms[c])[n mod size]; a null entry leaves the channel to the pattern. Immutable once
// made, so a snapshot can be shared with the code that generates the samples.
using Waveform = std::shared_ptr<const std::vector<std::uint16_t>>;
using WaveformSet = std::array<Waveform, kChannels>;

// The scan: passes numbered from 1; in every pass the 40 scan positions in order; the channel at
// scan position k is sampled in pass p when its divider d is not 0 and p is a multiple of d. The
// passes are simulated one after another (with a countdown per channel), independently of how
// the library works out where a sample lies.
class SampleStream {
public:
    using Dividers = std::array<std::uint8_t, kChannels>; // by scan position

    // Begins a new stream at the first pass. A stream whose dividers are all 0 is not active.
    void start(const Dividers& dividersByScanPosition) noexcept;
    void stop() noexcept;
    bool active() const noexcept { return visitCount_ != 0; }

    // Writes the next `samples` samples of the stream, 16 bits each, high byte first, with the
    // pattern and the waveforms given.
    void generate(Pattern pattern, const WaveformSet& waveforms, std::uint8_t* out,
                  std::size_t samples) noexcept;

    // Samples of `channel` taken so far.
    std::uint64_t samplesTaken(std::uint32_t channel) const noexcept;

private:
    void advanceToNextSampledPass() noexcept;

    // The channels that are on, in scan order, with their dividers and the passes left until
    // each is sampled next.
    struct Visit {
        std::uint8_t channel = 0;
        std::uint8_t divider = 0;
        std::uint8_t passesLeft = 0;
    };
    std::array<Visit, kChannels> visits_{};
    std::size_t visitCount_ = 0;

    // The channels sampled in the current pass, in scan order, and the next of them.
    std::array<std::uint8_t, kChannels> sampled_{};
    std::size_t sampledCount_ = 0;
    std::size_t cursor_ = 0;

    std::array<std::uint64_t, kChannels> taken_{};
    std::array<std::uint32_t, kChannels> identifyPhase_{}; // taken_ mod kIdentifySpan
};

} // namespace mv620::sim
