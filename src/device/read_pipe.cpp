#include "device/read_pipe.h"

#include <atomic>
#include <cstdint>
#include <thread>

namespace mv620::device {
namespace {

constexpr std::uint32_t kStreamClaim = 0x80000000U;
constexpr std::uint32_t kExchangeCount = ~kStreamClaim;

// Bit 31: a stream has the read pipe, or a start is claiming it. Bits 0 to 30: command exchanges
// under way. Exchanges enter with a compare-exchange that fails once the stream bit is set, and
// leave with a release decrement; the start sets the stream bit and then waits with acquire loads
// until the count is 0. So an exchange either saw no stream bit and is counted, and the start
// waits for it (its release orders its last transfer before the stream's first), or it saw the
// bit and sends nothing. The acquisition thread clears the bit with a release store as it ends,
// after its last transfer.
std::atomic<std::uint32_t> readPipeState{0};

} // namespace

ExchangeClaim::ExchangeClaim() noexcept : claimed_(false) {
    std::uint32_t state = readPipeState.load(std::memory_order_acquire);
    while ((state & kStreamClaim) == 0) {
        if (readPipeState.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                                std::memory_order_acquire)) {
            claimed_ = true;
            return;
        }
    }
}

ExchangeClaim::~ExchangeClaim() {
    if (claimed_) {
        readPipeState.fetch_sub(1, std::memory_order_release);
    }
}

bool readPipeFreeForExchange() noexcept {
    return (readPipeState.load(std::memory_order_acquire) & kStreamClaim) == 0;
}

void claimReadPipeForStream() noexcept {
    readPipeState.fetch_or(kStreamClaim, std::memory_order_acq_rel);
    // At most one exchange per control call is under way, and each ends within its packet's
    // transfers and 100 ms wait: a short wait, in which the host thread gives its core away.
    while ((readPipeState.load(std::memory_order_acquire) & kExchangeCount) != 0) {
        std::this_thread::yield();
    }
}

void releaseReadPipeFromStream() noexcept {
    readPipeState.fetch_and(kExchangeCount, std::memory_order_release);
}

} // namespace mv620::device
