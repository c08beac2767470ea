#include "device/read_pipe.h"

#include <atomic>

namespace mv620::device {
namespace {

// True while a sample stream has the read pipe. Written by the host thread that starts and stops
// acquisitions, read by the control calls on any thread: relaxed, the flag carries no data.
std::atomic<bool> streamOwnsReadPipe{false};

} // namespace

void claimReadPipeForStream() noexcept {
    streamOwnsReadPipe.store(true, std::memory_order_relaxed);
}

void releaseReadPipeFromStream() noexcept {
    streamOwnsReadPipe.store(false, std::memory_order_relaxed);
}

bool readPipeFreeForExchange() noexcept {
    return !streamOwnsReadPipe.load(std::memory_order_relaxed);
}

} // namespace mv620::device
