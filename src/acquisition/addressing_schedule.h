// The schedules that the readers of the ring address it with, published whole so that no reader
// ever sees half of one.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "acquisition/scan_schedule.h"

namespace mv620::acquisition {

// Which of the two published schedules: the one the acquisition whose samples the ring holds was
// started with (the instrument streams with its dividers until the next start), or the one of the
// rates set now (what the next start will use).
enum class Schedule { Acquisition = 0, Rates = 1 };

// The published schedules, guarded by one sequence lock.
//
// Writer: one host thread at a time (the state-changing exports). It makes the version odd,
// stores the fields, and makes it even again. Readers: any thread, never blocking the writer:
// beginRead() waits for an even version, the reader loads what it needs (every field is an
// atomic, so a concurrent store is never a data race; a reader loads only the fields it uses),
// then unchanged() tells whether what it loaded belongs together. The version also changes at
// every start of an acquisition (see the start sequence), so a reader whose work spans a restart
// learns it and reads again.
//
// A channel outside 0 to 39 is no channel: the caller checks it before asking for its fields.
class PublishedSchedule {
public:
    // Writer side. beginWrite/endWrite bracket every change, including ones made by the start
    // sequence to the counters that belong with the schedule.
    void beginWrite() noexcept;
    void store(Schedule which, const Dividers& dividers, const ScanSchedule& schedule) noexcept;
    void endWrite() noexcept;

    // Reader side, inline: a single sample's read is a few loads, and a call costs as much.
    [[nodiscard]] std::uint32_t beginRead() const noexcept {
        const std::uint32_t version = version_.load(std::memory_order_acquire);
        return (version & 1U) == 0 ? version : waitForEvenVersion();
    }
    [[nodiscard]] bool unchanged(std::uint32_t version) const noexcept {
        return version_.load(std::memory_order_relaxed) == version;
    }

    [[nodiscard]] std::int32_t slotsPerPeriod(Schedule which) const noexcept {
        return tables_[index(which)].slotsPerPeriod.load(std::memory_order_acquire);
    }
    [[nodiscard]] std::int32_t blocksPerCycle(Schedule which) const noexcept {
        return tables_[index(which)].blocksPerCycle.load(std::memory_order_acquire);
    }
    [[nodiscard]] std::int32_t divider(Schedule which, std::int32_t channel) const noexcept {
        return entry(which, channel).divider.load(std::memory_order_acquire);
    }
    [[nodiscard]] std::int32_t samplesPerPeriod(Schedule which,
                                                std::int32_t channel) const noexcept {
        return entry(which, channel).samplesPerPeriod.load(std::memory_order_acquire);
    }
    [[nodiscard]] std::int32_t samplesPerCycle(Schedule which,
                                               std::int32_t channel) const noexcept {
        return entry(which, channel).samplesPerCycle.load(std::memory_order_acquire);
    }
    [[nodiscard]] std::int32_t samplesPerBlock(Schedule which,
                                               std::int32_t channel) const noexcept {
        return entry(which, channel).samplesPerBlock.load(std::memory_order_acquire);
    }
    // Period position of the channel's k-th sample of a period, k below kMaxSamplesPerPeriod.
    [[nodiscard]] std::int32_t slotIndex(Schedule which, std::int32_t channel,
                                         std::int32_t k) const noexcept {
        return entry(which, channel)
            .slotIndex[static_cast<std::size_t>(k)]
            .load(std::memory_order_acquire);
    }

private:
    struct Entry {
        std::atomic<std::int32_t> divider{0};
        std::atomic<std::int32_t> samplesPerCycle{0};
        std::atomic<std::int32_t> samplesPerPeriod{0};
        std::atomic<std::int32_t> samplesPerBlock{0};
        std::array<std::atomic<std::int32_t>, kMaxSamplesPerPeriod> slotIndex{};
    };
    struct Tables {
        std::atomic<std::int32_t> slotsPerPeriod{0};
        std::atomic<std::int32_t> blocksPerCycle{0};
        std::array<Entry, kChannels> channels{};
    };

    [[nodiscard]] std::uint32_t waitForEvenVersion() const noexcept;

    static std::size_t index(Schedule which) noexcept { return static_cast<std::size_t>(which); }
    const Entry& entry(Schedule which, std::int32_t channel) const noexcept {
        return tables_[index(which)].channels[static_cast<std::size_t>(channel)];
    }

    // Odd while the writer is storing. Writer: relaxed store of the odd value, then every field
    // with a release store, then the even value with a release store. Readers: acquire load of
    // the version, acquire loads of the fields, then a relaxed load of the version. Should a
    // reader's field load see a value of a write in progress, that release/acquire pair makes
    // the odd version visible to the re-check, so the torn copy is always detected; and since
    // the field loads are acquires, the re-check cannot be performed before them. No standalone
    // fence is needed, which keeps the protocol visible to ThreadSanitizer. (On x86 all of these
    // are plain moves.) Any other atomic the reader loads with acquire between beginRead and
    // unchanged (the block count, the ring bytes) is ordered before the re-check the same way.
    std::atomic<std::uint32_t> version_{0};
    std::array<Tables, 2> tables_{};
};

} // namespace mv620::acquisition
