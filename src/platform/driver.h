// The seam between the library and the kernel driver of the instrument.
//
// Everything above this seam (the device connection, the command packets, the acquisition
// thread) speaks in driver requests: open the device path, issue one synchronous device control
// request with an input and an output buffer, close. Everything below it is one backend:
//
//   - src/platform/win32/ezusb_driver.cpp    the EZ-USB general-purpose kernel driver (Windows)
//   - src/platform/win32/winusb_driver.cpp   the instrument through WinUSB (Windows), which the
//                                            Windows DLLs use when the legacy device is missing
//                                            (win32/driver_choice.cpp)
//   - src/platform/libusb/                   the instrument over libusb-1.0 (Linux): the
//                                            requests as transfers (requests.cpp), the shared
//                                            device and the handles (session.cpp), which device
//                                            is opened (device_choice.cpp)
//   - src/platform/posix/null_driver.cpp     no driver at all: opening always fails
//   - src/sim/sim_driver.cpp                 the simulated instrument
//
// What every backend keeps, whatever lies below it:
//   - A bulk read that moved some bytes and then ended (timed out, aborted, broken off by a bus
//     error) reports those bytes as a short successful read: they have left the instrument, and
//     the acquisition thread completes the block from where they end. Failing it would make the
//     retry read the block's rest as a whole block, and every later block would be shifted.
//     Where the instrument's place in its stream cannot be known (a halted endpoint), the read
//     fails, and so does every read on that pipe until the pipe is reset: the block is lost,
//     never shifted.
//   - Every request returns within a bound: a control request within 0.5 s, a bulk transfer
//     within 1 s, a reset pipe within 5 s (what the USB stack allows a clear halt); the abort
//     returns at once. A stop waits for at most the requests of the block in progress (two
//     block reads, an abort and a reset), about 7 s in all with an instrument gone silent, which
//     the unload's wait of 10 s covers. The kernel driver on Windows has no time-outs of its own
//     and answers as the instrument does.
//   - A device that is gone fails every request at once, and says so through gone().
//
// Exactly one backend is linked into each artifact; `driverBackend()` is defined by that backend.
// The seam stays at the level of the driver's requests so that a backend (such as the one over
// libusb) only has to answer the six control codes the library issues.
#pragma once

#include <cstdint>

namespace mv620::platform {

// A driver handle as the platform gives it. `kInvalidDevice` (-1, the platform's invalid-handle
// value) marks a device that could not be opened.
using DeviceHandle = std::intptr_t;
inline constexpr DeviceHandle kInvalidDevice = -1;

class DriverBackend {
public:
    virtual ~DriverBackend() = default;

    // Opens the device at `path` for writing, shared for writing, synchronous requests only.
    // Returns the handle, or kInvalidDevice when the device cannot be opened (no driver, no
    // device, access refused). Several handles on the same device may be open at once, from any
    // threads. Must not throw.
    virtual DeviceHandle open(const char* path) noexcept = 0;

    // Issues one synchronous device control request with `code` on `handle`: `inLength` bytes
    // from `in` (may be null when inLength is 0) go to the driver, and up to `outLength` bytes
    // come back into `out` (may be null when outLength is 0). Stores the driver's count of bytes
    // returned in `*bytesReturned` (0 on failure). Returns the request's success. A request on
    // kInvalidDevice, or on a handle that is not open, fails. Called by one thread per handle;
    // different handles may be used concurrently. Must not throw.
    virtual bool control(DeviceHandle handle, std::uint32_t code, const void* in,
                         std::uint32_t inLength, void* out, std::uint32_t outLength,
                         std::uint32_t* bytesReturned) noexcept = 0;

    // Closes a handle returned by open (never called with kInvalidDevice). Must not throw.
    virtual void close(DeviceHandle handle) noexcept = 0;

    // Whether the device behind `handle` is gone for good (unplugged, its driver removed): every
    // request on the handle fails from now on, at once and without reaching any bus, and only a
    // handle opened once the device is back can reach it again. A backend that cannot tell a
    // vanished device from a failing one answers false, and its callers go on by time alone.
    // Cheap, asks nothing of the device. Must not throw.
    virtual bool gone(DeviceHandle /*handle*/) noexcept { return false; }
};

// The backend linked into this artifact. Lives from load to unload.
DriverBackend& driverBackend() noexcept;

} // namespace mv620::platform
