// An independent model of the instrument's sample stream, for checking where the library finds
// each sample: it simulates whole scan passes and tests each channel's divider against the pass
// number (the library counts down instead), and numbers every channel's samples as they come.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "support/expected_protocol.h"

namespace mv620::testing {

inline constexpr const std::array<int, 40>& kScanOrderForTests = expected::kScanOrder;

// The identifying pattern: the n-th sample of channel c since the start.
inline std::int32_t expectedSample(std::int32_t channel, std::uint32_t n) {
    return expected::identifyValue(channel, n);
}

class StreamModel {
public:
    struct Sample {
        int channel;
        std::uint32_t index; // the channel's n-th sample since the start
    };

    // `dividers` by channel: 0 (off), 1, 2, 5 or 10.
    explicit StreamModel(const std::array<int, 40>& dividers) {
        for (int pass = 1; pass <= 10; ++pass) { // 10 passes: a multiple of every period
            for (const int channel : kScanOrderForTests) {
                const int divider = dividers[static_cast<std::size_t>(channel)];
                if (divider != 0 && pass % divider == 0) {
                    period_.push_back({channel, perPeriod_[static_cast<std::size_t>(channel)]++});
                }
            }
        }
    }

    // The sample at stream position p, counted from the first sample after the start.
    [[nodiscard]] Sample at(std::uint64_t p) const {
        const std::uint64_t round = p / period_.size();
        const Sample s = period_[static_cast<std::size_t>(p % period_.size())];
        return {s.channel, static_cast<std::uint32_t>(
                               round * perPeriod_[static_cast<std::size_t>(s.channel)] + s.index)};
    }

    [[nodiscard]] bool empty() const { return period_.empty(); }

    // The stream repeats every periodLength() samples (ten scan passes), of which perPeriod(c)
    // are channel c's.
    [[nodiscard]] std::uint64_t periodLength() const { return period_.size(); }
    [[nodiscard]] std::uint32_t perPeriod(int channel) const {
        return perPeriod_[static_cast<std::size_t>(channel)];
    }

private:
    std::vector<Sample> period_;
    std::array<std::uint32_t, 40> perPeriod_{};
};

} // namespace mv620::testing
