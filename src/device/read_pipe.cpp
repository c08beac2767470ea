#include "device/read_pipe.h"

#include <atomic>
#include <cstdint>
#include <thread>

namespace mv620::device {
namespace {

constexpr std::uint32_t kStreamClaim = 0x80000000U;
constexpr std::uint32_t kExchangeUnderWay = 1U;

// Bit 31: a stream has the read pipe, or a start is claiming it. Bit 0: a command exchange holds
// it. The answers come back in the order of the packets, so one exchange at a time: an exchange
// enters only from 0 (no stream, no other exchange) with an acquire compare-exchange, and leaves
// with a release decrement, which orders its answer's read before the next holder's packet. One
// that finds another exchange under way waits for it; one that finds the stream bit, now or while
// it waits, sends nothing. The start sets the stream bit and then waits with acquire loads until
// no exchange holds the pipe: its first transfer comes after the last one's answer. The
// acquisition thread clears the bit with a release store as it ends, after its last transfer.
std::atomic<std::uint32_t> readPipeState{0};

} // namespace

ExchangeClaim::ExchangeClaim() noexcept : claimed_(false) {
    std::uint32_t state = readPipeState.load(std::memory_order_acquire);
    while ((state & kStreamClaim) == 0) {
        if (state == 0) {
            if (readPipeState.compare_exchange_weak(state, kExchangeUnderWay,
                                                    std::memory_order_acquire,
                                                    std::memory_order_acquire)) {
                claimed_ = true;
                return;
            }
            continue; // state was reloaded by the failed exchange
        }
        // Another exchange holds the pipe for at most its packet, its 100 ms wait and its
        // answer: a short wait, in which the thread gives its core away.
        std::this_thread::yield();
        state = readPipeState.load(std::memory_order_acquire);
    }
}

ExchangeClaim::~ExchangeClaim() {
    if (claimed_) {
        readPipeState.fetch_sub(kExchangeUnderWay, std::memory_order_release);
    }
}

bool readPipeFreeForExchange() noexcept {
    return (readPipeState.load(std::memory_order_acquire) & kStreamClaim) == 0;
}

void claimReadPipeForStream() noexcept {
    readPipeState.fetch_or(kStreamClaim, std::memory_order_acq_rel);
    // The exchange under way, if any, ends within its packet's transfers and 100 ms wait; the
    // ones waiting for it see the stream bit and give up.
    while ((readPipeState.load(std::memory_order_acquire) & kExchangeUnderWay) != 0) {
        std::this_thread::yield();
    }
}

void releaseReadPipeFromStream() noexcept {
    readPipeState.fetch_and(~kStreamClaim, std::memory_order_release);
}

} // namespace mv620::device
