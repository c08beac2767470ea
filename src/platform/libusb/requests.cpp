// The instrument over libusb-1.0: the driver backend of the product on Linux (and wherever libusb
// runs). This file turns the six requests of the EZ-USB general-purpose driver into USB
// transfers:
//
//   descriptor request  the device's 18-byte descriptor as libusb holds it, the rest zero
//   vendor request      a control transfer built from the VendorRequestBlock
//   bulk read, write    a bulk transfer on the pipe's endpoint
//   abort pipe          cancels whatever transfer is pending on the pipe, on any handle
//   reset pipe          clears the halt of the pipe's endpoint
//
// The handles, the shared device and the pipes are session.h's; which device is opened is
// device_choice.h's.
#include <libusb.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "platform/driver.h"
#include "platform/ezusb_requests.h"
#include "platform/libusb/session.h"

namespace mv620::platform {
namespace {

using usb::Connection;
using usb::Connections;
using usb::onTransferDone;
using usb::Session;

// ---- Time-outs ------------------------------------------------------------------------------
//
// The kernel driver on Windows has no time-outs: a request waits until the instrument answers.
// libusb bounds every transfer, and the bounds are what keep a stop or an unplug from hanging
// the library:
//   - The acquisition thread looks at the running flag between requests, so a stop waits at
//     most for the requests of the block in progress: one ready poll (a control transfer), or
//     the block's reads, their one retry and the abort and reset after them.
//   - An unplugged instrument fails every transfer at once (libusb reports no device); one that
//     has stopped answering fails each at its time-out, and the ready poll gives up on it after
//     its requests have failed for a second.
//
// Control transfers: 500 ms. The firmware answers its vendor requests on endpoint 0 within a
// frame or two; a second's worth of unanswered ready polls then takes two requests, and a stop
// waits at most half a second for the poll in progress.
//
// Bulk transfers: 1000 ms. A command packet or its response moves in one frame. A block is read
// only once the ready bit says all of it waits in the instrument, and 64000 bytes move at full
// speed in about 55 ms, so a second is more than fifteen times what a healthy instrument needs.
// A time-out that is too short loses nothing: a transfer that times out after moving some bytes
// has taken them from the instrument, so it is reported as a short successful read (see the
// outcomes below), and the acquisition thread reads the rest of the block with its next read.
// Retrying it from the start of the block instead would take the next bytes of the stream as
// the block's first ones, and every block after it would be misaligned with the block count.
// Only a transfer that times out with nothing moved fails.
//
// Worst case for a stop, with an instrument that has stopped answering in the middle of a block:
// two block reads of a second each, and the clear halt of the reset, which the kernel bounds at
// 5 s (libusb passes it no time-out). An unload waits long enough for all of it.
constexpr unsigned kControlTimeoutMilliseconds = 500;
constexpr unsigned kBulkTimeoutMilliseconds = 1000;

// ---- Outcomes ---------------------------------------------------------------------------------
//
// What each way a transfer ends means for the request that made it; the one place where libusb's
// results become the driver's success or failure.
//
// Bytes a transfer moved have left the instrument, whatever ended it: reporting the request as
// failed would drop them, and the acquisition thread's retry would take the rest of the block as
// a whole one, shifting every block after it. So an ending after which the instrument goes on
// where it stopped (a time-out, an abort, a bus error) reports the bytes moved as a short
// successful read, and the thread reads the rest. After a halt (a stall, or a babbling device the
// host controller halted) the instrument's place in its stream is not known: the request fails,
// and the endpoint fails every bulk request at once until its pipe is reset, so that the
// thread's retry cannot read from the middle of the block either. The block is lost, and the
// reset (which the thread makes after a lost block) puts the stream back at the next one.
enum class Outcome : std::uint8_t {
    Done,           // success, with the bytes moved
    DoneIfMoved,    // success with the bytes moved if any, else failure
    Failed,         // failure, nothing moved that counts
    Halted,         // failure; the endpoint refuses bulk requests until its pipe is reset
    InstrumentGone, // failure, and every later request of the session fails too
};

struct StatusRule {
    libusb_transfer_status status;
    Outcome outcome;
};

constexpr std::array<StatusRule, 7> kStatusRules = {{
    {LIBUSB_TRANSFER_COMPLETED, Outcome::Done},
    {LIBUSB_TRANSFER_TIMED_OUT, Outcome::DoneIfMoved}, // see the time-outs above
    {LIBUSB_TRANSFER_CANCELLED, Outcome::DoneIfMoved}, // an abort; the bytes moved are taken
    {LIBUSB_TRANSFER_ERROR, Outcome::DoneIfMoved},     // a bus error, after the bytes moved
    {LIBUSB_TRANSFER_STALL, Outcome::Halted},          // the endpoint is halted
    {LIBUSB_TRANSFER_OVERFLOW, Outcome::Halted},       // the device sent more than asked for
    {LIBUSB_TRANSFER_NO_DEVICE, Outcome::InstrumentGone},
}};

Outcome outcomeOf(libusb_transfer_status status) noexcept {
    for (const StatusRule& rule : kStatusRules) {
        if (rule.status == status) {
            return rule.outcome;
        }
    }
    return Outcome::Failed;
}

// A libusb call that returns an error code (submitting, clearing a halt): no device means gone.
Outcome outcomeOfError(int error) noexcept {
    if (error == LIBUSB_SUCCESS) {
        return Outcome::Done;
    }
    return error == LIBUSB_ERROR_NO_DEVICE ? Outcome::InstrumentGone : Outcome::Failed;
}

// ---- The backend --------------------------------------------------------------------------------

class LibusbDriver final : public DriverBackend {
public:
    // The path names the EZ-USB driver's device on Windows; here the instrument is found by its
    // USB identity, whatever the path.
    DeviceHandle open(const char* /*path*/) noexcept override;
    bool control(DeviceHandle handle, std::uint32_t code, const void* in, std::uint32_t inLength,
                 void* out, std::uint32_t outLength,
                 std::uint32_t* bytesReturned) noexcept override;
    void close(DeviceHandle handle) noexcept override;
    bool gone(DeviceHandle handle) noexcept override;

private:
    bool descriptor(Connection& connection, void* out, std::uint32_t outLength,
                    std::uint32_t& moved) noexcept;
    bool vendorRequest(Connection& connection, const std::uint8_t* block, void* out,
                       std::uint32_t outLength, std::uint32_t& moved) noexcept;
    bool bulk(Connection& connection, std::uint8_t endpoint, void* buffer, std::uint32_t length,
              std::uint32_t& moved) noexcept;
    bool abortPipe(const Session& session, std::uint8_t endpoint) noexcept;
    static bool resetPipe(Session& session, std::uint8_t endpoint) noexcept;

    // Submits the connection's transfer (registering a bulk transfer for the abort) and waits
    // until it is done. Returns the request's success and the bytes it moved.
    bool run(Connection& connection, bool registerForAbort, std::uint32_t& moved) noexcept;
    static bool settle(Session& session, Outcome outcome) noexcept;

    Connections connections_; // the handles, and the lock
};

DeviceHandle LibusbDriver::open(const char* /*path*/) noexcept { return connections_.open(); }

void LibusbDriver::close(DeviceHandle handle) noexcept { connections_.close(handle); }

bool LibusbDriver::gone(DeviceHandle handle) noexcept { return connections_.gone(handle); }

bool LibusbDriver::control(DeviceHandle handle, std::uint32_t code, const void* in,
                           std::uint32_t inLength, void* out, std::uint32_t outLength,
                           std::uint32_t* bytesReturned) noexcept {
    std::uint32_t moved = 0;
    bool ok = false;
    Connection* connection = connections_.find(handle);
    const auto* block = static_cast<const std::uint8_t*>(in);
    const bool wellFormed = (inLength == 0 || in != nullptr) && (outLength == 0 || out != nullptr);
    if (connection != nullptr && wellFormed && !connection->session()->gone()) {
        Session& session = *connection->session();
        std::optional<std::uint8_t> endpoint;
        if (inLength >= kPipeBlockBytes) {
            const std::uint32_t pipe = std::uint32_t{block[0]} | (std::uint32_t{block[1]} << 8U) |
                                       (std::uint32_t{block[2]} << 16U) |
                                       (std::uint32_t{block[3]} << 24U);
            endpoint = session.endpointOf(pipe);
        }
        const bool isIn = endpoint.has_value() && (*endpoint & LIBUSB_ENDPOINT_IN) != 0;
        switch (code) {
        case IOCTL_GET_DEVICE_DESCRIPTOR:
            ok = descriptor(*connection, out, outLength, moved);
            break;
        case IOCTL_VENDOR_REQUEST:
            ok = inLength == kVendorRequestBytes &&
                 vendorRequest(*connection, block, out, outLength, moved);
            break;
        case IOCTL_BULK_READ:
            ok =
                endpoint.has_value() && isIn && bulk(*connection, *endpoint, out, outLength, moved);
            break;
        case IOCTL_BULK_WRITE:
            ok = endpoint.has_value() && !isIn &&
                 bulk(*connection, *endpoint, out, outLength, moved);
            break;
        case IOCTL_ABORT_PIPE:
            ok = endpoint.has_value() && abortPipe(session, *endpoint);
            break;
        case IOCTL_RESET_PIPE:
            ok = endpoint.has_value() && resetPipe(session, *endpoint);
            break;
        default:
            break;
        }
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = ok ? moved : 0;
    }
    return ok;
}

// The raw device descriptor, rebuilt byte for byte (little-endian words) from the one libusb
// read when it listed the device: no transfer, so it cannot fail on a busy instrument.
bool LibusbDriver::descriptor(Connection& connection, void* out, std::uint32_t outLength,
                              std::uint32_t& moved) noexcept {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(libusb_get_device(connection.session()->device()), &d) !=
        LIBUSB_SUCCESS) {
        return false;
    }
    const std::array<std::uint8_t, 18> raw = {
        d.bLength,
        d.bDescriptorType,
        static_cast<std::uint8_t>(d.bcdUSB & 0xFFU),
        static_cast<std::uint8_t>(d.bcdUSB >> 8U),
        d.bDeviceClass,
        d.bDeviceSubClass,
        d.bDeviceProtocol,
        d.bMaxPacketSize0,
        static_cast<std::uint8_t>(d.idVendor & 0xFFU),
        static_cast<std::uint8_t>(d.idVendor >> 8U),
        static_cast<std::uint8_t>(d.idProduct & 0xFFU),
        static_cast<std::uint8_t>(d.idProduct >> 8U),
        static_cast<std::uint8_t>(d.bcdDevice & 0xFFU),
        static_cast<std::uint8_t>(d.bcdDevice >> 8U),
        d.iManufacturer,
        d.iProduct,
        d.iSerialNumber,
        d.bNumConfigurations,
    };
    if (outLength > 0) {
        std::memset(out, 0, outLength);
    }
    moved = std::min<std::uint32_t>(outLength, raw.size());
    if (moved > 0) {
        std::memcpy(out, raw.data(), moved);
    }
    return true;
}

// bmRequestType from the block's direction (byte 0, bit 7), type (byte 1, bits 6-5) and
// recipient (byte 2, bits 4-0); bRequest from byte 4, wValue and wIndex from bytes 6-9. The
// output buffer is the data stage: filled from the device for an IN request, sent for an OUT one.
bool LibusbDriver::vendorRequest(Connection& connection, const std::uint8_t* block, void* out,
                                 std::uint32_t outLength, std::uint32_t& moved) noexcept {
    if (outLength > 0xFFFFU) {
        return false;
    }
    const bool deviceToHost = (block[0] & 1U) != 0;
    const auto requestType =
        static_cast<std::uint8_t>((deviceToHost ? LIBUSB_ENDPOINT_IN : LIBUSB_ENDPOINT_OUT) |
                                  ((block[1] & 0x03U) << 5U) | (block[2] & 0x1FU));
    const auto value = static_cast<std::uint16_t>(block[6] | (block[7] << 8U));
    const auto index = static_cast<std::uint16_t>(block[8] | (block[9] << 8U));
    const auto length = static_cast<std::uint16_t>(outLength);

    std::vector<std::uint8_t>& buffer = connection.controlBuffer;
    try {
        buffer.resize(LIBUSB_CONTROL_SETUP_SIZE + std::size_t{length});
    } catch (const std::bad_alloc&) {
        return false;
    }
    libusb_fill_control_setup(buffer.data(), requestType, block[4], value, index, length);
    if (!deviceToHost && length > 0) {
        std::memcpy(buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, out, length);
    }
    libusb_fill_control_transfer(connection.transfer(), connection.session()->device(),
                                 buffer.data(), onTransferDone, &connection.done,
                                 kControlTimeoutMilliseconds);
    if (!run(connection, false, moved)) {
        return false;
    }
    if (deviceToHost && moved > 0) {
        std::memcpy(out, buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, moved);
    }
    return true;
}

// Straight from or into the caller's buffer: a data block goes into its ring slot with no copy.
// The endpoint's address carries the direction.
bool LibusbDriver::bulk(Connection& connection, std::uint8_t endpoint, void* buffer,
                        std::uint32_t length, std::uint32_t& moved) noexcept {
    if (length > 0x7FFFFFFFU || connection.session()->halted(endpoint)) {
        return false;
    }
    libusb_fill_bulk_transfer(connection.transfer(), connection.session()->device(), endpoint,
                              static_cast<unsigned char*>(buffer), static_cast<int>(length),
                              onTransferDone, &connection.done, kBulkTimeoutMilliseconds);
    return run(connection, true, moved);
}

bool LibusbDriver::run(Connection& connection, bool registerForAbort,
                       std::uint32_t& moved) noexcept {
    Session& session = *connection.session();
    libusb_transfer* transfer = connection.transfer();
    std::atomic_ref<int> done(connection.done);
    done.store(0, std::memory_order_relaxed); // nothing is published before the submission
    const int submitted = registerForAbort ? connections_.submitForAbort(connection)
                                           : libusb_submit_transfer(transfer);
    if (submitted != LIBUSB_SUCCESS) {
        return settle(session, outcomeOfError(submitted));
    }
    // Whoever holds libusb's event lock completes the transfers of every thread; the time-out
    // guarantees an end.
    while (done.load(std::memory_order_acquire) == 0) {
        const int handled = libusb_handle_events_completed(session.context(), &connection.done);
        if (handled != LIBUSB_SUCCESS && handled != LIBUSB_ERROR_INTERRUPTED) {
            libusb_cancel_transfer(transfer); // as libusb's own synchronous calls do
        }
    }
    if (registerForAbort) {
        connections_.unregister(connection);
    }
    const Outcome outcome = outcomeOf(transfer->status);
    const auto actual =
        static_cast<std::uint32_t>(transfer->actual_length > 0 ? transfer->actual_length : 0);
    if (outcome == Outcome::Done || (outcome == Outcome::DoneIfMoved && actual > 0)) {
        moved = actual;
        return true;
    }
    if (outcome == Outcome::Halted && transfer->type == LIBUSB_TRANSFER_TYPE_BULK) {
        session.markHalted(transfer->endpoint);
    }
    return settle(session, outcome);
}

// A failed request: the instrument is gone for the whole session when libusb says so.
bool LibusbDriver::settle(Session& session, Outcome outcome) noexcept {
    if (outcome == Outcome::InstrumentGone) {
        session.markGone();
    }
    return outcome == Outcome::Done;
}

// The host's side only: every transfer pending on the endpoint, on any connection of the session,
// is cancelled (it then ends as its outcome says: with the bytes it moved, or failed). The
// instrument sees nothing of it.
bool LibusbDriver::abortPipe(const Session& session, std::uint8_t endpoint) noexcept {
    connections_.cancelPending(session, endpoint);
    return true;
}

// CLEAR_FEATURE(ENDPOINT_HALT) to the instrument, and the host's data toggle back to DATA0.
bool LibusbDriver::resetPipe(Session& session, std::uint8_t endpoint) noexcept {
    if (!settle(session, outcomeOfError(libusb_clear_halt(session.device(), endpoint)))) {
        return false;
    }
    session.clearHalted(endpoint);
    return true;
}

} // namespace

DriverBackend& driverBackend() noexcept {
    // Built in static storage on first use and never destroyed: an acquisition thread stopped
    // while the library unloads may still be closing its handle after static destructors have
    // run. Nothing is allocated here, so nothing can fail.
    alignas(LibusbDriver) static std::array<unsigned char, sizeof(LibusbDriver)> storage;
    static LibusbDriver& driver = *::new (storage.data()) LibusbDriver;
    return driver;
}

} // namespace mv620::platform
