// Starting and stopping the continuous acquisition, and the thread that streams the blocks.
#pragma once

#include <cstdint>

namespace mv620::acquisition {

// The start sequence of Start_Acquisition and LV_Start_Acquisition: records the window, stops a
// running acquisition (waiting for its thread), clears the block count and the boundary, and,
// when a channel is enabled, starts a new acquisition thread with the rates set now. Returns 1
// when a thread was started, 0 when none was (no channel enabled, or the platform could not
// create the thread or, at load, the event that tells of its end; the acquisition is then not
// running). Host thread.
int startAcquisition(void* window) noexcept;

// Stops the acquisition: returns 0 at once when none runs, else clears the running flag and waits
// for the thread's end, returning the wait's result (0, or 0xFFFFFFFF should the wait fail).
// Returns promptly: the thread's ready poll gives up as soon as the flag is cleared. Host thread.
std::uint32_t stopAcquisition() noexcept;

// Called when the library is unloaded: where the platform lets the thread run on inside the
// library's code (POSIX), stops a running acquisition and joins its thread, waiting a bounded
// time; elsewhere the thread's own reference on the module keeps the code in place.
void stopAtUnload() noexcept;

} // namespace mv620::acquisition
