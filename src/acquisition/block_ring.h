// The ring of the last 16 blocks read from the instrument.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace mv620::acquisition {

inline constexpr std::uint32_t kRingSlots = 16;
inline constexpr std::uint32_t kBlockBytes = 64000; // 32000 samples, high byte first
// A reader accepts only the 15 newest blocks: the slot of the 16th-newest is the one the thread
// fills next.
inline constexpr std::uint32_t kReadableBlocks = 15;

// Block n lives in slot n mod 16. Lives in static storage from load to unload.
struct BlockRing {
    // The blocks' bytes, written only by the acquisition thread's driver reads (straight into the
    // slot, no copy) and only into the slot outside the readers' window. Readers load them with
    // acquire atomic_ref loads so that their re-check of the block count comes after them.
    alignas(64) std::array<std::array<std::uint8_t, kBlockBytes>, kRingSlots> slots;

    // Whether the slot holds a whole block as the instrument sent it. The thread clears it
    // (relaxed) before it reads into the slot and sets it (relaxed) after a complete read; both
    // are published by its release increment of the block count, which readers load with
    // acquire before they load this flag. A block whose reads failed keeps it clear, so its
    // stale bytes never read as samples. The start sequence clears every flag, while no thread
    // runs, so the slots the new acquisition has not yet written read as overwritten.
    std::array<std::atomic<bool>, kRingSlots> holdsBlock;
};

} // namespace mv620::acquisition
