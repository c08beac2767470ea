// One open handle on the instrument's driver, and every request the library makes through it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "device/protocol.h"
#include "platform/driver.h"

namespace mv620::device {

// The 10-byte input of a vendor request: bmRequestType's direction, type and recipient, its
// reserved bits, bRequest, an alignment byte (written as 0), wValue and wIndex, little-endian.
using VendorRequestBlock = std::array<std::uint8_t, kVendorRequestBytes>;
enum class Direction : std::uint8_t { HostToDevice = 0, DeviceToHost = 1 };
VendorRequestBlock encodeVendorRequest(Direction direction, std::uint8_t request,
                                       std::uint16_t value) noexcept;

// The 4-byte input of the pipe requests: the driver's pipe index, unsigned 32-bit little-endian.
using PipeBlock = std::array<std::uint8_t, kPipeBlockBytes>;
PipeBlock encodePipeBlock(std::uint32_t pipe) noexcept;

// The value words of the line requests. Only lines 0 to 3 have a bit; the line counts modulo 32.
std::uint16_t setOutputValue(std::uint8_t line) noexcept;
std::uint16_t clearOutputValue(std::uint8_t line) noexcept;

// The connection. Constructing it opens the driver's device and reads the device descriptor;
// destroying it closes the handle, so it is closed on every path out of the scope that made it.
// A connection is used by one thread only; several may be open at once on different threads.
// Every operation is exactly one synchronous driver request and returns its success.
class DeviceConnection {
public:
    DeviceConnection() noexcept;
    ~DeviceConnection();
    DeviceConnection(const DeviceConnection&) = delete;
    DeviceConnection& operator=(const DeviceConnection&) = delete;

    // True when the device descriptor carried the instrument's vendor and product IDs. A foreign
    // device answers false, yet requests on this connection still go to it.
    [[nodiscard]] bool isPresent() const noexcept { return present_; }

    bool setOutputLine(std::uint8_t line) noexcept;
    bool clearOutputLine(std::uint8_t line) noexcept;

    // The input port byte (bit 7 is the ready bit), or nothing when the request failed: a failed
    // read never looks like a byte, let alone like the ready bit.
    std::optional<std::uint8_t> readInputPort() noexcept;

    // Bulk transfers on the read pipe (0) and the write pipe (1). `transferred`, when given,
    // receives the driver's count of bytes moved (0 on failure).
    bool bulkRead(std::uint8_t* buffer, std::uint32_t length,
                  std::uint32_t* transferred = nullptr) noexcept;
    bool bulkWrite(const std::uint8_t* buffer, std::uint32_t length) noexcept;

    bool abortReadPipe() noexcept;
    bool resetReadPipe() noexcept;

    // Whether the driver knows the instrument behind this connection to be gone for good: no
    // request will ever succeed on it again.
    [[nodiscard]] bool instrumentGone() const noexcept;

    // One command: stamps `packet` with the next sequence number, zero bytes 2 and 3 and the
    // checksum (so afterwards it holds the packet as sent), writes it, waits 100 ms and, for every
    // code but CMD_START_ACQUISITION, reads the 64-byte response into `response`. Returns true
    // only when every transfer made succeeded: the write, and the read where one is made. The
    // read is made also after a failed write, so the pipe never keeps a stale response.
    bool exchange(PacketBytes& response, PacketBytes& packet) noexcept;

private:
    bool control(std::uint32_t code, const void* in, std::uint32_t inLength, void* out,
                 std::uint32_t outLength, std::uint32_t* transferred = nullptr) noexcept;
    bool lineRequest(std::uint8_t request, std::uint16_t value) noexcept;
    bool pipeRequest(std::uint32_t code, std::uint32_t pipe, void* buffer, std::uint32_t length,
                     std::uint32_t* transferred = nullptr) noexcept;

    platform::DeviceHandle deviceHandle_ = platform::kInvalidDevice;
    std::array<std::uint8_t, kDescriptorBytes> deviceDescriptor_{};
    std::uint32_t readPipe_ = 0;
    std::uint32_t writePipe_ = 1;
    std::int32_t sequenceCounter_ = 0;
    bool present_ = false;
};

} // namespace mv620::device
