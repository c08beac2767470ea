// How the simulated instrument's bytes reach the host's buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mv620::sim {

// Copies `n` bytes from the device's side into `host`, the buffer of the host's request, as a USB
// host controller's DMA engine does: while the host's other threads may be reading that very
// memory. The library's ring readers do exactly that on purpose: a reader that loads a byte of the
// oldest accepted block while the acquisition thread's read refills that slot rejects the value
// by its re-check of the block count. For a real instrument the bytes are written outside the
// program (by the kernel and the controller); here the simulated device is part of the program,
// so it stores them with atomic release stores: a concurrent load by a reader is then no data
// race, and ThreadSanitizer still reports every other unsynchronised access to the ring.
void deviceWrite(std::uint8_t* host, const std::uint8_t* from, std::size_t n) noexcept;

} // namespace mv620::sim
