// A reference for the readers of the ring, from an independent model of the stream: what
// Get_DataPoint, Get_Data_Samples and Get_Trigger must answer for any channel, index, count,
// mode and level, once an acquisition with the identifying pattern has stopped. It finds a
// sample's place by counting the channel's samples in the model's stream (not by the library's
// period arithmetic) and reads each sample on its own.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "support/library_fixture.h"
#include "support/stream_model.h"

namespace mv620::testing {

class ReferenceReader {
public:
    // `dividers` by channel; `blocks` transferred; `boundaryBlock` the block (signed) indices count
    // from; `failedBlocks` the blocks whose reads both failed.
    ReferenceReader(const std::array<int, 40>& dividers, std::uint32_t blocks,
                    std::int64_t boundaryBlock, std::set<std::uint32_t> failedBlocks = {})
        : dividers_(dividers), model_(dividers), blocks_(blocks), boundary_(boundaryBlock),
          failed_(std::move(failedBlocks)) {}

    // Get_DataPoint(channel, n).
    [[nodiscard]] int sample(int channel, std::uint32_t n) const {
        if (blocks_ == 0) {
            return SAMPLE_NO_BLOCKS;
        }
        if (channel < 0 || channel >= 40 || dividers_[static_cast<std::size_t>(channel)] == 0) {
            return SAMPLE_CHANNEL_OFF;
        }
        // Sample n counted from the boundary is the channel's sample n + (samples before the
        // boundary) counted from the start.
        const std::int64_t absolute = static_cast<std::int64_t>(n) + samplesBefore(channel);
        // Its place counted from the boundary (never before it), and its block counted from the
        // start (negative before the start).
        const std::int64_t fromBoundary = positionOf(channel, absolute) - boundary_ * 32000;
        const auto relative = static_cast<std::uint32_t>(fromBoundary / 32000);
        const std::int64_t block = boundary_ + relative;
        const std::uint32_t since = blocks_ - static_cast<std::uint32_t>(boundary_);
        if (since <= relative) {
            return SAMPLE_NOT_YET;
        }
        if (since - relative > 15 || block < 0 ||
            failed_.count(static_cast<std::uint32_t>(block))) {
            return SAMPLE_OVERWRITTEN;
        }
        return expectedSample(channel, static_cast<std::uint32_t>(absolute));
    }

    // Get_Data_Samples(buffer, channel, first, count): the samples it stores.
    [[nodiscard]] std::vector<int> run(int channel, std::uint32_t first, int count) const {
        std::vector<int> samples;
        for (int i = 0; i < count; ++i) {
            const int value = sample(channel, first + static_cast<std::uint32_t>(i));
            if (value < 0) {
                break;
            }
            samples.push_back(value);
        }
        return samples;
    }

    // About how many of the channel's samples a block holds (0 for a channel that is off).
    [[nodiscard]] double samplesPerBlock(int channel) const {
        if (channel < 0 || channel >= 40) {
            return 0;
        }
        return 32000.0 * model_.perPeriod(channel) / static_cast<double>(model_.periodLength());
    }

    // Get_Trigger's result over `samples`, a run as stored.
    [[nodiscard]] static int trigger(const std::vector<int>& samples, int mode, int level) {
        const int l = level & 0xFFFF;
        for (std::size_t i = 1; i < samples.size(); ++i) {
            const int before = samples[i - 1];
            const int v = samples[i];
            const bool hit = (mode == TRIGGER_RISING && before < l && v >= l) ||
                             (mode == TRIGGER_FALLING && before > l && v <= l) ||
                             (mode == TRIGGER_AT_OR_ABOVE && v >= l) ||
                             (mode == TRIGGER_AT_OR_BELOW && v <= l);
            if (hit && v != 0) {
                return v;
            }
        }
        return 0;
    }

private:
    // The channel's samples in the stream before the boundary (negative before the start).
    [[nodiscard]] std::int64_t samplesBefore(int channel) const {
        const std::int64_t positions = boundary_ * 32000;
        return positions / static_cast<std::int64_t>(model_.periodLength()) *
               model_.perPeriod(channel);
    }

    // The stream position of the channel's sample `index` (from the start; negative indices lie
    // before it), found by counting its samples through the model's period.
    [[nodiscard]] std::int64_t positionOf(int channel, std::int64_t index) const {
        const std::int64_t perPeriod = model_.perPeriod(channel);
        const auto length = static_cast<std::int64_t>(model_.periodLength());
        std::int64_t periods = index / perPeriod;
        std::int64_t within = index % perPeriod;
        if (within < 0) {
            within += perPeriod;
            --periods;
        }
        std::int64_t seen = 0;
        for (std::int64_t p = 0; p < length; ++p) {
            if (model_.at(static_cast<std::uint64_t>(p)).channel == channel && seen++ == within) {
                return periods * length + p;
            }
        }
        return -1;
    }

    std::array<int, 40> dividers_;
    StreamModel model_;
    std::uint32_t blocks_;
    std::int64_t boundary_;
    std::set<std::uint32_t> failed_;
};

} // namespace mv620::testing
