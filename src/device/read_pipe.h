// Who may use the instrument's read pipe. It carries the answers to command packets and, once an
// acquisition has started, the sample stream. An answer read from it during a stream would be
// taken out of the samples (and the packet's own answer would land in the stream), and the
// stream would lose its alignment with the block count for good. So a command exchange and a
// stream never overlap:
//
//   - A control call (status query, download) claims the pipe for each exchange it makes (one
//     packet and its answer) and releases it after the answer. Answers come back in the order of
//     the packets, so one exchange holds the pipe at a time, from its packet's write to its
//     answer's read; claims made meanwhile on other threads wait for their turn, in the order
//     they were made, so that no caller can keep another waiting. The claim is refused while a
//     stream has the pipe or is claiming it; the call then sends nothing more.
//   - A start claims the pipe for its stream before the acquisition thread is created: from then
//     on every exchange is refused, and the start waits until the exchange that is already under
//     way (at most one packet, its 100 ms wait and its answer) has ended. The stream's claim ends
//     when the acquisition thread ends.
//
// A download therefore never holds up a start for longer than one of its packets: the start
// waits for the packet in flight, and the download refuses before its next packet.
//
// The line switches and the input port read use the control pipe, not the read pipe, and need
// no claim: they stay allowed during an acquisition.
#pragma once

#include <cstdint>

namespace mv620::device {

// A claim for one command exchange; claimed() tells whether it was granted. Waits for the
// exchanges claimed before it on other threads. Any thread.
class ExchangeClaim {
public:
    ExchangeClaim() noexcept;
    ~ExchangeClaim();
    ExchangeClaim(const ExchangeClaim&) = delete;
    ExchangeClaim& operator=(const ExchangeClaim&) = delete;

    [[nodiscard]] bool claimed() const noexcept { return claimed_; }

private:
    bool claimed_;
    std::uint32_t ticket_; // this exchange's turn
};

// Whether a command exchange would be granted now (no stream has the pipe). Any thread.
[[nodiscard]] bool readPipeFreeForExchange() noexcept;

// The stream's claim: refuses every new exchange, then waits for the one under way to end.
// Host thread that starts acquisitions.
void claimReadPipeForStream() noexcept;

// Ends the stream's claim. Called once per claim, by the acquisition thread as it ends (or by the
// start when no thread could be created).
void releaseReadPipeFromStream() noexcept;

} // namespace mv620::device
