#include "device/read_pipe.h"

#include <atomic>
#include <cstdint>
#include <thread>

namespace mv620::device {
namespace {

// The read pipe's owners. Answers come back in the order of the packets, so command exchanges
// hold the pipe one at a time, in the order they asked for it (a ticket each), so that a thread
// that asks often, such as one polling the status, cannot keep a download waiting for ever.
//
// - nextTicket: the ticket the next exchange draws (fetch_add). nowServing: the ticket whose
//   exchange may hold the pipe; its holder, or a waiter that gives up when served, moves it on
//   with a release store, which orders the holder's answer before the next holder's packet (the
//   next one loads it with acquire).
// - streamClaimed: a stream has the pipe, or a start is claiming it. An exchange that finds it
//   set, before drawing a ticket or when served, sends nothing. The start sets it, then waits
//   until every ticket drawn has been served and handed on: its first transfer comes after the
//   last exchange's answer. The start's store and its load of nextTicket, and an exchange's
//   draw and its load of the flag when served, are sequentially consistent: of a start and an
//   exchange that race, either the start sees the ticket and waits for it, or the exchange sees
//   the flag and gives up. The acquisition thread clears the flag with a release store as it
//   ends, after its last transfer.
std::atomic<std::uint32_t> nextTicket{0};
std::atomic<std::uint32_t> nowServing{0};
std::atomic<bool> streamClaimed{false};

} // namespace

ExchangeClaim::ExchangeClaim() noexcept : claimed_(false), ticket_(0) {
    if (streamClaimed.load(std::memory_order_acquire)) {
        return;
    }
    ticket_ = nextTicket.fetch_add(1, std::memory_order_seq_cst);
    // The exchanges before this one hold the pipe for at most a packet, its 100 ms wait and its
    // answer each: a short wait, in which the thread gives its core away.
    while (nowServing.load(std::memory_order_acquire) != ticket_) {
        std::this_thread::yield();
    }
    if (streamClaimed.load(std::memory_order_seq_cst)) {
        nowServing.store(ticket_ + 1, std::memory_order_release); // the next one's turn
        return;
    }
    claimed_ = true;
}

ExchangeClaim::~ExchangeClaim() {
    if (claimed_) {
        nowServing.store(ticket_ + 1, std::memory_order_release);
    }
}

bool readPipeFreeForExchange() noexcept { return !streamClaimed.load(std::memory_order_acquire); }

void claimReadPipeForStream() noexcept {
    streamClaimed.store(true, std::memory_order_seq_cst);
    // The exchange under way, if any, ends within its packet's transfers and 100 ms wait; the
    // ones waiting for their turn see the flag when served and give up at once.
    while (nowServing.load(std::memory_order_acquire) !=
           nextTicket.load(std::memory_order_seq_cst)) {
        std::this_thread::yield();
    }
}

void releaseReadPipeFromStream() noexcept { streamClaimed.store(false, std::memory_order_release); }

} // namespace mv620::device
