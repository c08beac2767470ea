// Who may use the instrument's read pipe. It carries the answers to command packets and, once an
// acquisition has started, the sample stream; an answer read from it during a stream would be
// taken out of the samples, and the stream would lose its alignment with the block count.
#pragma once

namespace mv620::device {

// The acquisition claims the read pipe for its sample stream when it starts and releases it when
// the stream ends. Host threads.
void claimReadPipeForStream() noexcept;
void releaseReadPipeFromStream() noexcept;

// Whether a command exchange (status query, download) may use the read pipe now: false while a
// sample stream has it. Any thread.
bool readPipeFreeForExchange() noexcept;

} // namespace mv620::device
