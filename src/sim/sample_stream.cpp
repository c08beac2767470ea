#include "sim/sample_stream.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace mv620::sim {

std::uint16_t patternValue(Pattern pattern, std::uint32_t channel, std::uint64_t n) noexcept {
    switch (pattern) {
    case Pattern::Sine: {
        const std::uint64_t period = 100u * (std::uint64_t{channel} + 1u);
        const double phase =
            2.0 * std::numbers::pi * static_cast<double>(n % period) / static_cast<double>(period);
        const long offset = std::lround(32767.0 * std::sin(phase));
        return static_cast<std::uint16_t>(32768 + offset);
    }
    case Pattern::Ramp:
        return static_cast<std::uint16_t>((n * 64u * (std::uint64_t{channel} + 1u)) & 0xFFFFu);
    case Pattern::Identify:
    default:
        return static_cast<std::uint16_t>(std::uint64_t{channel} * kIdentifySpan +
                                          n % kIdentifySpan);
    }
}

void SampleStream::start(const Dividers& dividersByScanPosition) noexcept {
    visitCount_ = 0;
    for (std::uint32_t position = 0; position < kChannels; ++position) {
        const std::uint8_t d = dividersByScanPosition[position];
        if (d != 0) {
            // First sampled in pass d, then every d passes.
            visits_[visitCount_++] = Visit{kScanOrder[position], d, d};
        }
    }
    taken_.fill(0);
    identifyPhase_.fill(0);
    sampledCount_ = 0;
    cursor_ = 0;
}

void SampleStream::stop() noexcept { visitCount_ = 0; }

std::uint64_t SampleStream::samplesTaken(std::uint32_t channel) const noexcept {
    return channel < kChannels ? taken_[channel] : 0;
}

// Moves on to the next pass in which at least one channel is sampled, so that long runs of empty
// passes (large dividers) cost nothing, and lists the channels sampled in it, in scan order.
void SampleStream::advanceToNextSampledPass() noexcept {
    std::uint32_t step = visits_[0].passesLeft;
    for (std::size_t v = 1; v < visitCount_; ++v) {
        step = std::min<std::uint32_t>(step, visits_[v].passesLeft);
    }
    sampledCount_ = 0;
    for (std::size_t v = 0; v < visitCount_; ++v) {
        Visit& visit = visits_[v];
        visit.passesLeft = static_cast<std::uint8_t>(visit.passesLeft - step);
        if (visit.passesLeft == 0) {
            sampled_[sampledCount_++] = visit.channel;
            visit.passesLeft = visit.divider;
        }
    }
    cursor_ = 0;
}

void SampleStream::generate(Pattern pattern, const WaveformSet& waveforms, std::uint8_t* out,
                            std::size_t samples) noexcept {
    if (!active()) {
        return;
    }
    for (std::size_t written = 0; written < samples; ++written) {
        if (cursor_ == sampledCount_) {
            advanceToNextSampledPass();
        }
        const std::uint8_t channel = sampled_[cursor_++];
        const std::uint64_t n = taken_[channel]++;
        // The identify pattern's n mod 1637 runs along with n, which spares a division per sample.
        const std::uint32_t phase = identifyPhase_[channel];
        identifyPhase_[channel] = phase + 1 == kIdentifySpan ? 0 : phase + 1;
        const Waveform& waveform = waveforms[channel];
        std::uint16_t value = 0;
        if (waveform != nullptr && !waveform->empty()) {
            value = (*waveform)[static_cast<std::size_t>(n % waveform->size())];
        } else if (pattern == Pattern::Identify) {
            value = static_cast<std::uint16_t>(channel * kIdentifySpan + phase);
        } else {
            value = patternValue(pattern, channel, n);
        }
        out[2 * written] = static_cast<std::uint8_t>(value >> 8);
        out[2 * written + 1] = static_cast<std::uint8_t>(value & 0xFFu);
    }
}

} // namespace mv620::sim
