#include "sim/sample_stream.h"

#include <cmath>
#include <numbers>
#include <utility>

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
    dividers_ = dividersByScanPosition;
    taken_.fill(0);
    pass_ = 0;
    position_ = kChannels;
    active_ = false;
    for (const std::uint8_t d : dividers_) {
        if (d != 0) {
            active_ = true;
        }
    }
}

void SampleStream::stop() noexcept { active_ = false; }

void SampleStream::setWaveform(std::uint32_t channel, std::vector<std::uint16_t> waveform) {
    if (channel < kChannels) {
        waveforms_[channel] = std::move(waveform);
    }
}

void SampleStream::clearWaveforms() noexcept {
    for (auto& waveform : waveforms_) {
        waveform.clear();
        waveform.shrink_to_fit();
    }
}

std::uint64_t SampleStream::samplesTaken(std::uint32_t channel) const noexcept {
    return channel < kChannels ? taken_[channel] : 0;
}

// Moves to the first position of the next pass in which at least one channel is sampled, so that
// long runs of empty passes (large dividers) cost nothing.
void SampleStream::advanceToNextSampledPass() noexcept {
    std::uint64_t next = 0;
    for (const std::uint8_t d : dividers_) {
        if (d == 0) {
            continue;
        }
        const std::uint64_t candidate = (pass_ / d + 1u) * d;
        if (next == 0 || candidate < next) {
            next = candidate;
        }
    }
    pass_ = next;
    position_ = 0;
}

void SampleStream::generate(Pattern pattern, std::uint8_t* out, std::size_t samples) noexcept {
    if (!active_) {
        return;
    }
    std::size_t written = 0;
    while (written < samples) {
        if (position_ >= kChannels) {
            advanceToNextSampledPass();
        }
        const std::uint8_t d = dividers_[position_];
        if (d != 0 && pass_ % d == 0) {
            const std::uint32_t channel = kScanOrder[position_];
            const std::vector<std::uint16_t>& waveform = waveforms_[channel];
            const std::uint64_t n = taken_[channel]++;
            const std::uint16_t value =
                waveform.empty() ? patternValue(pattern, channel, n)
                                 : waveform[static_cast<std::size_t>(n % waveform.size())];
            out[2 * written] = static_cast<std::uint8_t>(value >> 8);
            out[2 * written + 1] = static_cast<std::uint8_t>(value & 0xFFu);
            ++written;
        }
        ++position_;
    }
}

} // namespace mv620::sim
