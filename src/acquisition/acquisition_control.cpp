// The start sequence, Stop_Acquisition and the acquisition thread that streams the blocks.
#include <algorithm>
#include <thread>

#include "acquisition/acquisition.h"
#include "acquisition/acquisition_state.h"
#include "device/device_connection.h"
#include "device/read_pipe.h"
#include "device/start_packet.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace mv620::acquisition {
namespace {

// The dividers the running acquisition was started with: written by the start sequence before
// the thread is created (which publishes them to it), read by the thread for its start packet.
// The addressing schedule is published from the same dividers, so the readers always address
// the ring with the schedule the instrument streams.
Dividers startDividers{};

// The ready poll gives up on an instrument whose every request has failed for this long: it is
// unplugged or its driver is gone. The thread then ends by itself, as it does when the start
// packet cannot be written. Time alone decides, never a count of failures, so that a burst of
// failed requests shorter than this (a busy bus, a driver that refuses for a moment) never ends an
// acquisition silently, however fast the failures come.
constexpr std::uint32_t kUnansweredPollMilliseconds = 1000;

// The poll yields its core now and then while the instrument has no block ready, so that a
// machine with few cores never starves; it never sleeps.
constexpr std::uint32_t kPollsBetweenYields = 256;

enum class PollOutcome { Ready, StopRequested, InstrumentGone };

// Polls the ready bit until a whole block waits. Ends within one request's time once the
// running flag is cleared, so Stop_Acquisition returns promptly also when the ready bit never
// comes or the instrument has stopped answering.
PollOutcome waitForBlock(device::DeviceConnection& connection) noexcept {
    bool failing = false;
    std::uint32_t firstFailureTick = 0;
    for (std::uint32_t polls = 1;; ++polls) {
        if (!acquisitionRunning.load(std::memory_order_relaxed)) {
            return PollOutcome::StopRequested;
        }
        const std::optional<std::uint8_t> port = connection.readInputPort();
        if (port.has_value()) {
            if ((*port & device::kReadyBit) != 0) {
                return PollOutcome::Ready;
            }
            failing = false;
        } else if (connection.instrumentGone()) {
            // Unplugged: no request will ever be answered again, so there is nothing to wait
            // for, and the poll would only spin on failures that cost nothing.
            return PollOutcome::InstrumentGone;
        } else {
            const std::uint32_t now = platform::tickCount();
            if (!failing) {
                failing = true;
                firstFailureTick = now;
            } else if (now - firstFailureTick >= kUnansweredPollMilliseconds) {
                return PollOutcome::InstrumentGone;
            }
        }
        if (polls % kPollsBetweenYields == 0) {
            std::this_thread::yield();
        }
    }
}

// Reads one whole block into `slot`. A read that fails is made once more into the same place. A
// read that the driver reports as successful but short (fewer bytes than asked, yet some) is
// followed by reads of the rest, so the stream stays aligned with the block count. A successful
// read that reports no byte count at all (0) is taken as whole, as the instrument's driver takes
// every successful read: a driver that does not fill in the count must not make every block fail.
bool readBlock(device::DeviceConnection& connection, std::uint8_t* slot) noexcept {
    std::uint32_t filled = 0;
    bool retried = false;
    while (filled < kBlockBytes) {
        std::uint32_t moved = 0;
        const std::uint32_t wanted = kBlockBytes - filled;
        if (connection.bulkRead(slot + filled, wanted, &moved)) {
            filled += moved == 0 ? wanted : std::min(moved, wanted);
        } else if (retried) {
            return false;
        } else {
            retried = true;
        }
    }
    return true;
}

void streamBlocks(device::DeviceConnection& connection) noexcept {
    while (acquisitionRunning.load(std::memory_order_relaxed)) {
        if (waitForBlock(connection) != PollOutcome::Ready) {
            return;
        }
        // The thread is the only writer of the count while it runs.
        const std::uint32_t block = blocksTransferred.load(std::memory_order_relaxed);
        const std::uint32_t slot = block % kRingSlots;
        blockRing.holdsBlock[slot].store(false, std::memory_order_relaxed);
        const bool complete = readBlock(connection, blockRing.slots[slot].data());
        blockRing.holdsBlock[slot].store(complete, std::memory_order_relaxed);
        // Release: the slot's bytes and flag are complete before any reader sees the block.
        blocksTransferred.store(block + 1, std::memory_order_release);
        if (!complete) {
            // The instrument discards what is left of the block, and the stream goes on aligned
            // with the count; the block itself reads as overwritten.
            connection.abortReadPipe();
            connection.resetReadPipe();
        }
    }
}

void acquisitionThreadProc(void* /*window: handed over, never used*/) noexcept {
    {
        device::DeviceConnection connection;
        device::PacketBytes packet{};
        device::PacketBytes response{};
        device::encodeStartPacket(packet, startDividers);
        if (connection.exchange(response, packet)) {
            streamBlocks(connection);
        }
    } // the connection is closed before the end is signalled, so a host that has seen the end
      // finds no handle of the thread still open
    // Whether stopped or ended by itself, the stream is over: the readers see an acquisition that
    // no longer runs, then command exchanges may use the read pipe again (in that order, so that a
    // host whose status query goes through sees the acquisition over).
    acquisitionStreaming.store(false, std::memory_order_release);
    device::releaseReadPipeFromStream();
    acquisitionDone().set();
}

// Waits for the thread that was told to stop, then lets the platform release it.
std::uint32_t waitForThreadEnd() noexcept {
    const std::uint32_t result = acquisitionDone().wait();
    platform::joinFinishedThread();
    return result;
}

} // namespace

int startAcquisition(void* window) noexcept {
    AcquisitionContext& context = acquisitionContext;
    if (acquisitionRunning.load(std::memory_order_relaxed)) {
        acquisitionRunning.store(false, std::memory_order_relaxed);
        waitForThreadEnd();
    }

    // The count, the boundary and the addressing schedule change together, inside one write
    // bracket: a reader whose work spans this restart sees the version change and reads again.
    startDividers = context.dividers();
    context.addressing.beginWrite();
    blocksTransferred.store(0, std::memory_order_relaxed);
    context.boundaryBlock.store(0, std::memory_order_relaxed);
    // The slots still hold the previous acquisition's blocks. A boundary in the past makes the
    // window reach blocks before this acquisition's first, whose slots the thread has not
    // written yet: they hold none of its samples and must read as overwritten. Release, as every
    // store inside the bracket, so a reader that sees a cleared flag also sees the bracket open.
    for (auto& holds : blockRing.holdsBlock) {
        holds.store(false, std::memory_order_release);
    }
    context.addressing.store(Schedule::Acquisition, startDividers, context.schedule);
    context.addressing.endWrite();

    std::int32_t enabled = 0;
    for (const std::int32_t divider : startDividers) {
        enabled += divider;
    }
    if (enabled <= 0) {
        return 0;
    }
    // Without the event (the platform could not create it at load) nobody could wait for the
    // thread's end: a stop would return while it still streams, and the next start would run a
    // second thread beside it. No acquisition is started then.
    if (!acquisitionDone().valid()) {
        return 0;
    }
    // A status query or download packet already under way ends first; none starts from now on.
    device::claimReadPipeForStream();
    acquisitionStreaming.store(true, std::memory_order_relaxed);
    acquisitionRunning.store(true, std::memory_order_relaxed);
    if (!platform::startHighPriorityThread(acquisitionThreadProc, window)) {
        // No thread will ever signal the end: the acquisition must not count as running, or the
        // next stop would wait forever.
        acquisitionRunning.store(false, std::memory_order_relaxed);
        acquisitionStreaming.store(false, std::memory_order_relaxed);
        device::releaseReadPipeFromStream();
        return 0;
    }
    return 1;
}

std::uint32_t stopAcquisition() noexcept {
    if (!acquisitionRunning.load(std::memory_order_relaxed)) {
        return 0;
    }
    acquisitionRunning.store(false, std::memory_order_relaxed);
    return waitForThreadEnd();
}

void stopAtUnload() noexcept {
#if !defined(_WIN32)
    // A child forked while an acquisition ran inherits the running flag but not the thread:
    // nothing would ever signal its end, and the child's exit would sit out the whole wait.
    if (!acquisitionRunning.load(std::memory_order_relaxed) ||
        platform::inChildForkedSinceThreadStart()) {
        return;
    }
    acquisitionRunning.store(false, std::memory_order_relaxed);
    // Bounded: the host is unloading us and must not hang here. The thread ends within the
    // requests of the block in progress once the flag is clear. The slowest backend bounds those
    // at about 7 s (libusb, an instrument gone silent mid-block: two block reads of a second and
    // a clear halt the kernel bounds at 5 s), and the wait covers that with room: unmapping the
    // library under a thread still in a request would crash the host. Only a driver that never
    // completes a request can outlast it.
    constexpr std::uint32_t kUnloadWaitMilliseconds = 10000;
    if (acquisitionDone().waitFor(kUnloadWaitMilliseconds) ==
        platform::AutoResetEvent::kSignalled) {
        platform::joinFinishedThread();
    }
#endif
}

std::uint32_t blocksTransferredSinceStart() noexcept {
    return blocksTransferred.load(std::memory_order_relaxed);
}

void resetAcquisition() noexcept {
    static_cast<void>(acquisitionDone()); // the event exists before anything can start a thread
    acquisitionRunning.store(false, std::memory_order_relaxed);
    acquisitionStreaming.store(false, std::memory_order_relaxed);
    blocksTransferred.store(0, std::memory_order_relaxed);
    acquisitionContext.reset();
    for (std::size_t k = 0; k < kRingSlots; ++k) {
        blockRing.slots[k].fill(0);
        blockRing.holdsBlock[k].store(false, std::memory_order_relaxed);
    }
    device::releaseReadPipeFromStream();
}

} // namespace mv620::acquisition
