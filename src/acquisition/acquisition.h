// The acquisition as the rest of the library sees it: the channels' rates, starting and stopping
// the continuous acquisition, and reading its samples back by channel and sample index.
#pragma once

#include <cstdint>

namespace mv620::acquisition {

// ---- Results -------------------------------------------------------------------------------

// Results of a sample read other than a sample (0 to 65535).
inline constexpr std::int32_t kSampleNoBlocks = -1;    // no block since the latest start
inline constexpr std::int32_t kSampleChannelOff = -2;  // the channel is off, or no channel
inline constexpr std::int32_t kSampleNotYet = -3;      // its block has not been transferred yet
inline constexpr std::int32_t kSampleOverwritten = -4; // older than the 15 newest blocks, or its
                                                       // block could not be read

// Trigger modes.
inline constexpr std::int32_t kTriggerRising = 0;
inline constexpr std::int32_t kTriggerFalling = 1;
inline constexpr std::int32_t kTriggerAtOrAbove = 2;
inline constexpr std::int32_t kTriggerAtOrBelow = 3;

// The number of channels, which Set_Sample_Rate reports.
inline constexpr std::int32_t kChannelCount = 40;

// ---- Channel rates (host thread for the setter, any thread for the getter) -----------------

// Set_Sample_Rate: snaps the rate to a divider (10, 5, 2, 1 samples per 10 scan passes, or off),
// stores it (a channel outside 0 to 39 sets channel 0) and rebuilds the schedule. The instrument
// and the readers of the ring take the new rates at the next start; while the ring holds no
// samples, the readers' schedule follows at once.
void setSampleRate(std::int32_t channel, std::int32_t rate) noexcept;

// Get_Sample_Rate: 10, 5, 2, 1, or 0 when off or not a channel.
std::int32_t sampleRate(std::int32_t channel) noexcept;

// ---- Starting and stopping (host thread) ---------------------------------------------------

// The start sequence of Start_Acquisition and LV_Start_Acquisition: stops a running acquisition
// (waiting for its thread), clears the block count and the boundary, and, when a channel is
// enabled, starts a new acquisition thread with the rates set now; `window` is handed to the
// thread, which has no use for it. Returns 1 when a thread was started, 0 when none was (no
// channel enabled, or the platform could not create the thread or, at load, the event that tells
// of its end; the acquisition is then not running).
int startAcquisition(void* window) noexcept;

// Stop_Acquisition: returns 0 at once when none runs, else clears the running flag and waits for
// the thread's end, returning the wait's result (0, or 0xFFFFFFFF should the wait fail). Returns
// promptly: the thread's ready poll gives up as soon as the flag is cleared.
std::uint32_t stopAcquisition() noexcept;

// Get_Blocks_Transferred: blocks counted since the latest start, wrapping. Any thread.
std::uint32_t blocksTransferredSinceStart() noexcept;

// ---- Reading samples (any thread) ----------------------------------------------------------

// Get_DataPoint: sample n (unsigned, wrapping) of the channel, counted from the boundary: 0 to
// 65535, or one of the results above, tested in the order listed.
std::int32_t readSample(std::int32_t channel, std::uint32_t n) noexcept;

// Get_Data_Samples: samples first .. first+count-1 into buffer[0..]; stops at the first that
// cannot be read. Returns how many were stored. A count of 0 or less, or a null buffer, stores
// nothing.
std::int32_t readSamples(std::int32_t* buffer, std::int32_t channel, std::int32_t first,
                         std::int32_t count) noexcept;

// Get_Trigger: reads as readSamples does and returns the value of the first sample from index 1
// on that meets `mode` against the low 16 bits of `level`, or 0. A null buffer reads nothing.
std::int32_t searchTrigger(std::int32_t* buffer, std::int32_t channel, std::int32_t first,
                           std::int32_t count, std::int32_t mode, std::int32_t level) noexcept;

// Get_Current_DataPoint: while an acquisition runs, (blocks since the boundary) x the channel's
// whole-period samples per block, wrapping; 0 when none runs or for a number that is not a
// channel.
std::int32_t currentSampleCount(std::int32_t channel) noexcept;

// Get_Sample_Modulus: the channel's samples in 16 cycles, wrapping; 0 for a number that is not a
// channel.
std::int32_t sampleModulus(std::int32_t channel) noexcept;

// Set_Sample_Boundary: indices count from block m x blocksPerCycle x 16 (wrapping). Returns that
// block number; callers must not rely on it. Host thread.
std::int32_t setBoundary(std::int32_t m) noexcept;

// ---- The library's lifetime ----------------------------------------------------------------

// Puts the acquisition back to its state after load: no acquisition, no channel enabled, no
// block counted, a ring of zeros. Runs at load, before any thread of the library exists.
void resetAcquisition() noexcept;

// Called when the library is unloaded: where the platform lets the thread run on inside the
// library's code (POSIX), stops a running acquisition and joins its thread, waiting a bounded
// time; elsewhere the thread's own reference on the module keeps the code in place.
void stopAtUnload() noexcept;

} // namespace mv620::acquisition
