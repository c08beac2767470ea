// The acquisition's own state, shared by the host's calls and the acquisition thread: the
// channels' rates and schedule, the running flag, the block count, the block ring and the event
// that tells of the thread's end. It lives in static storage from load to unload. Only the
// acquisition's own files use it; everything else goes through acquisition/acquisition.h.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "acquisition/addressing_schedule.h"
#include "acquisition/block_ring.h"
#include "acquisition/scan_schedule.h"
#include "platform/event.h"

namespace mv620::acquisition {

// The channels' rates and the tables derived from them.
class AcquisitionContext {
public:
    // The channel's divider: 0 (off), 1, 2, 5 or 10; 0 for any number that is not a channel.
    [[nodiscard]] std::int32_t dividerOf(std::int32_t channel) const noexcept;
    [[nodiscard]] Dividers dividers() const noexcept;

    // Snaps `rate` to a divider and stores it; a channel outside 0 to 39 sets channel 0.
    void setChannelRate(std::int32_t channel, std::int32_t rate) noexcept;

    // Rebuilds the schedule tables of the current rates.
    void buildSchedule() noexcept;

    // Every divider 0 and the tables as at load.
    void reset() noexcept;

    // Written by Set_Sample_Rate (one host thread at a time), read by Get_Sample_Rate on any
    // thread: relaxed atomics, since each divider is a value on its own.
    std::array<std::atomic<std::int32_t>, kChannels> channelDivider{};

    // The tables of the current rates. Host thread only (Set_Sample_Rate and the starts).
    ScanSchedule schedule;

    // The block from which sample indices count: a multiple of 16 x blocksPerCycle. Written by
    // Set_Sample_Boundary and the start sequence, read by every reader; relaxed, since nothing
    // orders a boundary move against reads on other threads (the start's reset of it lies within
    // the addressing schedule's write bracket, which readers do check).
    std::atomic<std::uint32_t> boundaryBlock{0};

    // The schedules that readers address the ring with (see addressing_schedule.h): the latest
    // acquisition's, and the one of the rates set now.
    PublishedSchedule addressing;
};

// The one context.
extern constinit AcquisitionContext acquisitionContext;

// 1 while the acquisition thread is to keep reading blocks. Written by the host thread (start
// sequence, Stop_Acquisition), read by the acquisition thread before each block and during its
// ready poll, and by Get_Current_DataPoint. Relaxed everywhere: the flag carries no data. What the
// thread needs from the start sequence is published by the thread's creation, and what the host
// needs from the thread by acquisitionDone.
extern constinit std::atomic<bool> acquisitionRunning;

// Blocks counted since the latest start; wraps modulo 2^32. One writer at a time: the acquisition
// thread while it runs (store with release ordering, after the block's bytes and its slot flag
// are complete), the start sequence while no thread runs. Readers load it with acquire ordering
// before they touch ring bytes, so a counted block is seen whole, and again after, to detect a
// slot that the thread began to refill meanwhile.
extern constinit std::atomic<std::uint32_t> blocksTransferred;

// True from a start that created an acquisition thread until that thread has ended: stopped, or
// ended by itself (the instrument gone, or the start packet not written). Set by the start
// sequence before the thread is created (the creation publishes it), cleared by the thread with a
// release store as it ends, after its last block and before it gives the read pipe back. Readers
// load it with acquire: once it reads false, the ring and the count no longer change until the
// next start.
extern constinit std::atomic<bool> acquisitionStreaming;

// Whether the ring holds (or is about to hold) the samples of the latest acquisition: an
// acquisition streams, or blocks were counted since the latest start. Otherwise the schedule
// that matters to a reader is the one of the rates set now. Any thread.
bool ringHoldsAcquisition() noexcept;

extern constinit BlockRing blockRing;

// Signalled once by the acquisition thread as its last act on shared state; waited on by the
// start sequence and Stop_Acquisition. Created by its first use, which the load makes.
platform::AutoResetEvent& acquisitionDone() noexcept;

} // namespace mv620::acquisition
