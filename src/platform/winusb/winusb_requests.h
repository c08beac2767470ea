// The six requests of the EZ-USB general-purpose driver, answered with WinUSB calls: the one
// place where the library's driver requests become WinUSB's, kept apart from Windows itself so
// that the mapping can be tested anywhere over a fake table of WinUSB functions.
//
//   descriptor request  WinUsb_GetDescriptor, the device descriptor
//   vendor request      WinUsb_ControlTransfer, the setup packet built from the VendorRequestBlock
//   bulk read, write    WinUsb_ReadPipe on the bulk IN pipe, WinUsb_WritePipe on the bulk OUT pipe
//   abort pipe          WinUsb_AbortPipe
//   reset pipe          WinUsb_ResetPipe
//
// Pipes are numbered as the general-purpose driver numbers them for the instrument: driver pipe 0
// is interface 0's bulk IN pipe (the read pipe) and pipe 1 its bulk OUT pipe (the write pipe),
// found with WinUsb_QueryPipe by direction.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace mv620::platform::winusb {

// The Windows error codes (winerror.h) that decide what a failed call means.
inline constexpr std::uint32_t kErrorBadCommand = 22;
inline constexpr std::uint32_t kErrorGenFailure = 31; // a stalled endpoint
inline constexpr std::uint32_t kErrorSemTimeout = 121;
inline constexpr std::uint32_t kErrorNoSuchDevice = 433;
inline constexpr std::uint32_t kErrorOperationAborted = 995;
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167;

// ---- Time-outs ----------------------------------------------------------------------------------
//
// WinUSB waits for ever on a bulk pipe unless PIPE_TRANSFER_TIMEOUT says otherwise. The bounds
// are the libusb backend's, for the same reasons (see libusb/requests.cpp): a stop waits at most
// for the request in progress, and an instrument that has stopped answering fails each request at
// its time-out. Control transfers: 500 ms. Bulk transfers: 1000 ms, more than fifteen times what a
// healthy instrument needs for a whole block. A transfer that times out after moving some bytes
// has taken them from the instrument: it is a short successful read, and the acquisition thread
// reads the rest of the block with its next read, so the stream stays aligned with the count.
inline constexpr std::uint32_t kControlTimeoutMilliseconds = 500;
inline constexpr std::uint32_t kBulkTimeoutMilliseconds = 1000;

// The default control pipe's ID for WinUsb_SetPipePolicy.
inline constexpr std::uint8_t kControlPipeId = 0x00;
// USB_DEVICE_DESCRIPTOR_TYPE, and the bytes of the standard device descriptor.
inline constexpr std::uint8_t kDeviceDescriptorType = 1;
inline constexpr std::uint32_t kDeviceDescriptorBytes = 18;

// How one WinUSB call ended: success, or failure with the error it set; and the bytes it moved,
// which an overlapped transfer reports also when it fails (a time-out part-way).
struct CallResult {
    bool ok = false;
    std::uint32_t error = 0;
    std::uint32_t moved = 0;
};

// WINUSB_SETUP_PACKET, field for field.
struct SetupPacket {
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;

    friend bool operator==(const SetupPacket&, const SetupPacket&) = default;
};

// USBD_PIPE_TYPE.
enum class PipeType : std::uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct PipeInfo {
    PipeType type = PipeType::Control;
    std::uint8_t id = 0; // the endpoint address: bit 7 set for IN
};

// The WinUSB functions the requests use, on interface 0 of one initialised device. The backend
// implements them over winusb.dll; tests implement them with fakes. Every transfer waits until
// it has ended (or its pipe's time-out has passed). Different threads may call at once, each on
// its own table. None may throw.
class WinusbCalls {
public:
    virtual ~WinusbCalls() = default;
    virtual CallResult getDescriptor(std::uint8_t type, std::uint8_t index, std::uint16_t language,
                                     std::uint8_t* buffer, std::uint32_t length) noexcept = 0;
    // `buffer` holds setup.length bytes: sent for an OUT request, filled for an IN one.
    virtual CallResult controlTransfer(const SetupPacket& setup, std::uint8_t* buffer) noexcept = 0;
    virtual CallResult readPipe(std::uint8_t pipe, std::uint8_t* buffer,
                                std::uint32_t length) noexcept = 0;
    virtual CallResult writePipe(std::uint8_t pipe, const std::uint8_t* buffer,
                                 std::uint32_t length) noexcept = 0;
    virtual CallResult abortPipe(std::uint8_t pipe) noexcept = 0;
    virtual CallResult resetPipe(std::uint8_t pipe) noexcept = 0;
    // WinUsb_QueryInterfaceSettings(0): the endpoints of setting 0; nothing when it fails.
    virtual std::optional<std::uint8_t> endpointCount() noexcept = 0;
    // WinUsb_QueryPipe(0, index); nothing when it fails.
    virtual std::optional<PipeInfo> queryPipe(std::uint8_t index) noexcept = 0;
    // WinUsb_SetPipePolicy(pipe, PIPE_TRANSFER_TIMEOUT, milliseconds).
    virtual bool setPipeTimeout(std::uint8_t pipe, std::uint32_t milliseconds) noexcept = 0;
};

// The control transfer of a vendor request: bmRequestType from the block's direction (byte 0,
// bit 0), type (byte 1, bits 1-0) and recipient (byte 2, bits 4-0); bRequest from byte 4; wValue
// and wIndex from bytes 6-9, little-endian; wLength the output buffer's length. As the libusb
// backend builds it. `block` holds kVendorRequestBytes bytes.
SetupPacket setupPacketOf(const std::uint8_t* block, std::uint16_t length) noexcept;

// Whether `error` means the instrument is gone (unplugged, or its driver removed).
bool meansGone(std::uint32_t error) noexcept;

// One opened instrument as the requests see it: its two pipes, and whether it is gone. Shared
// by every connection of a process, each with its own table of calls.
class WinusbDevice {
public:
    // Whether the device descriptor carries the instrument's vendor and product IDs.
    static bool isInstrument(WinusbCalls& calls) noexcept;

    // Finds interface 0's bulk IN and bulk OUT pipes and sets the time-outs of those and of the
    // control pipe. False when a bulk pipe is missing or its time-out cannot be set: the device is
    // then not used.
    bool configure(WinusbCalls& calls) noexcept;

    std::uint8_t readPipeId() const noexcept { return readPipe_; }
    std::uint8_t writePipeId() const noexcept { return writePipe_; }

    // Once a call has found the instrument gone, every request fails at once without a call.
    bool gone() const noexcept { return gone_.load(std::memory_order_relaxed); }

    // One driver request (see driver.h's control), answered through `calls`.
    bool request(WinusbCalls& calls, std::uint32_t code, const void* in, std::uint32_t inLength,
                 void* out, std::uint32_t outLength, std::uint32_t* bytesReturned) noexcept;

private:
    // The pipe ID of driver pipe `index`, from a PipeBlock; nothing for another pipe.
    std::optional<std::uint8_t> pipeOf(const std::uint8_t* block) const noexcept;
    // Success as the request reports it; marks the device gone when the call says so.
    bool settle(const CallResult& result, std::uint32_t& moved) noexcept;
    // As settle, for a bulk transfer on `pipe`: any other failure (a stall or a bus error, both
    // ERROR_GEN_FAILURE) after some bytes moved halts the pipe until it is reset.
    bool settleBulk(std::uint8_t pipe, const CallResult& result, std::uint32_t& moved) noexcept;
    bool halted(std::uint8_t pipe) const noexcept {
        return (halted_.load(std::memory_order_relaxed) & haltBit(pipe)) != 0;
    }
    static std::uint32_t haltBit(std::uint8_t pipe) noexcept {
        return 1U << ((pipe & 0x0FU) | ((pipe & 0x80U) != 0 ? 16U : 0U));
    }

    std::uint8_t readPipe_ = 0;
    std::uint8_t writePipe_ = 0;
    // Set by whichever connection's call first finds the instrument gone, read before every
    // request of every connection. Relaxed: the flag publishes nothing else, and a request that
    // starts just before it is seen fails on its own, with the same error that set it.
    std::atomic<bool> gone_{false};
    // One bit per pipe ID whose transfer failed part-way and that has not been reset since. After
    // a stall or a bus error mid-block the instrument's place in its stream is not known, so the
    // block it was sending is lost rather than shifted: the pipe fails every transfer, without a
    // call, until the reset that follows a lost block. Set, read and cleared by the one thread that
    // uses the pipe (the acquisition thread for the read pipe); relaxed, since the bits publish
    // nothing else.
    std::atomic<std::uint32_t> halted_{0};
};

// ---- Finding the instrument ------------------------------------------------------------------

// A GUID's fields, as Windows' GUID holds them.
struct GuidValue {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4{};

    friend bool operator==(const GuidValue&, const GuidValue&) = default;
};

// The device interface GUID that the project's INF (mv620.inf) gives the instrument.
inline constexpr GuidValue kInterfaceGuid = {
    0xA6920BDA, 0x1E12, 0x4029, {0xA7, 0xCC, 0xD1, 0xE8, 0xAC, 0xF8, 0xD6, 0xB5}};

// Reads a GUID in its registry form, "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (either case);
// nothing when the text is anything else.
std::optional<GuidValue> parseGuid(std::wstring_view text) noexcept;

// Whether a device instance ID names a USB device with the instrument's vendor and product IDs
// ("USB\VID_0547&PID_1002", alone or followed by "\" and the instance), in any case.
bool isInstrumentInstance(std::wstring_view instanceId) noexcept;

} // namespace mv620::platform::winusb
