// The instrument over libusb-1.0: the driver backend of the product on Linux (and wherever libusb
// runs). It answers the six requests of the EZ-USB general-purpose driver with USB transfers:
//
//   descriptor request  the device's 18-byte descriptor as libusb holds it, the rest zero
//   vendor request      a control transfer built from the VendorRequestBlock
//   bulk read, write    a bulk transfer on the pipe's endpoint
//   abort pipe          cancels whatever transfer is pending on the pipe, on any handle
//   reset pipe          clears the halt of the pipe's endpoint
//
// Pipe 0 (the read pipe) is interface 0's bulk IN endpoint, pipe 1 (the write pipe) its bulk OUT
// endpoint, found by their direction (see the pipes below).
//
// Every open handle shares one open libusb device (a session), counted by reference: the first
// open finds and claims the instrument, the last close releases it. Once the instrument is gone
// (libusb reports no device), every request on every handle of that session fails at once
// without touching the bus, until the handles are closed; an open made after that starts a new
// session, which finds the instrument again once it is back.
#include <libusb.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "platform/driver.h"
#include "platform/ezusb_requests.h"

namespace mv620::platform {
namespace {

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

// ---- Choosing the instrument ------------------------------------------------------------------
//
// MV620_USB_DEVICE=BUS:ADDRESS (decimal, as lsusb shows them and /dev/bus/usb/BUS/ADDRESS names
// them, leading zeros allowed) picks one instrument when several are attached. Without it the
// instrument with the lowest bus number, then the lowest address, is taken, so that the choice
// does not depend on the order in which the system lists devices. Only a device with the
// instrument's vendor and product IDs is ever opened: claiming another device would detach its
// own kernel driver. A value that cannot be read, or that names no instrument, opens nothing,
// rather than driving an instrument the user did not mean.
constexpr char kDeviceVariable[] = "MV620_USB_DEVICE";

struct BusAddress {
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
};

// Reads a decimal number of at most `max` up to `end` or the string's end; null when malformed.
const char* readNumber(const char* text, char end, unsigned max, unsigned& value) noexcept {
    value = 0;
    const char* p = text;
    for (; *p != '\0' && *p != end; ++p) {
        if (*p < '0' || *p > '9') {
            return nullptr;
        }
        value = value * 10 + static_cast<unsigned>(*p - '0');
        if (value > max) {
            return nullptr;
        }
    }
    return p == text ? nullptr : p;
}

// Nothing when the variable is not set; a bus and address of 0 (which no device has) when it
// cannot be read.
std::optional<BusAddress> requestedDevice() noexcept {
    // Read at each session's opening, so that a program can choose before each one. Nothing in
    // the library writes the environment.
    const char* value = std::getenv(kDeviceVariable); // NOLINT(concurrency-mt-unsafe)
    if (value == nullptr) {
        return std::nullopt;
    }
    unsigned bus = 0;
    unsigned address = 0;
    const char* colon = readNumber(value, ':', 255, bus);
    if (colon == nullptr || *colon != ':' || readNumber(colon + 1, '\0', 127, address) == nullptr) {
        return BusAddress{};
    }
    return BusAddress{static_cast<std::uint8_t>(bus), static_cast<std::uint8_t>(address)};
}

libusb_device* chooseInstrument(libusb_device* const* devices, std::size_t count) noexcept {
    const std::optional<BusAddress> requested = requestedDevice();
    libusb_device* chosen = nullptr;
    unsigned chosenKey = 0;
    for (std::size_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(devices[i], &descriptor) != LIBUSB_SUCCESS ||
            descriptor.idVendor != kVendorId || descriptor.idProduct != kProductId) {
            continue;
        }
        const std::uint8_t bus = libusb_get_bus_number(devices[i]);
        const std::uint8_t address = libusb_get_device_address(devices[i]);
        if (requested.has_value() && (requested->bus != bus || requested->address != address)) {
            continue;
        }
        const unsigned key = (unsigned{bus} << 8U) | address;
        if (chosen == nullptr || key < chosenKey) {
            chosen = devices[i];
            chosenKey = key;
        }
    }
    return chosen;
}

// ---- The pipes ----------------------------------------------------------------------------------
//
// Pipe 0 (the read pipe) is interface 0's bulk IN endpoint and pipe 1 (the write pipe) its bulk
// OUT endpoint, the first of each in alternate setting 0, whatever their order and addresses. A
// device with the instrument's IDs that lacks either is not the instrument as the firmware makes
// it: it is not opened, and the library says why once on stderr, since nothing else would tell.

struct Pipes {
    std::uint8_t read = 0;
    std::uint8_t write = 0;
};

std::optional<Pipes> pipesOf(libusb_device* device) noexcept {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS) {
        return std::nullopt;
    }
    std::optional<std::uint8_t> in;
    std::optional<std::uint8_t> out;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& interface = config->interface[i];
        if (interface.num_altsetting < 1 || interface.altsetting[0].bInterfaceNumber != 0) {
            continue;
        }
        const libusb_interface_descriptor& setting = interface.altsetting[0];
        for (int e = 0; e < setting.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
            if ((endpoint.bmAttributes & 0x03U) != LIBUSB_TRANSFER_TYPE_BULK) {
                continue;
            }
            auto& slot = (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0 ? in : out;
            if (!slot.has_value()) {
                slot = endpoint.bEndpointAddress;
            }
        }
    }
    libusb_free_config_descriptor(config);
    if (!in.has_value() || !out.has_value()) {
        return std::nullopt;
    }
    return Pipes{*in, *out};
}

void tellOnce(libusb_device* device) noexcept {
    static std::atomic<bool> told{false};
    if (!told.exchange(true, std::memory_order_relaxed)) {
        std::fprintf(stderr,
                     "MV620ACQm: the USB device at bus %u, address %u has the instrument's IDs but "
                     "not a bulk IN and a bulk OUT endpoint on interface 0; it is not used\n",
                     unsigned{libusb_get_bus_number(device)},
                     unsigned{libusb_get_device_address(device)});
    }
}

// ---- Sessions and connections -------------------------------------------------------------------

class Connection;

// One open libusb device with interface 0 claimed, shared by every handle opened while it lives.
class Session {
public:
    Session(libusb_context* context, libusb_device_handle* device, Pipes pipes) noexcept
        : context_(context), device_(device), pipes_(pipes) {}
    ~Session() {
        // Gives the interface back; with auto-detach on, libusb binds a kernel driver that was
        // detached at the claim again. Fails harmlessly when the instrument is gone.
        libusb_release_interface(device_, 0);
        libusb_close(device_);
        libusb_exit(context_);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Finds and opens the instrument and claims interface 0; null when there is none, or no
    // access to it (permissions, another program holds it).
    static std::shared_ptr<Session> open() noexcept;

    libusb_context* context() const noexcept { return context_; }
    libusb_device_handle* device() const noexcept { return device_; }

    // The endpoint address of driver pipe `pipe`, or nothing when the interface has no such pipe.
    std::optional<std::uint8_t> endpointOf(std::uint32_t pipe) const noexcept {
        switch (pipe) {
        case 0:
            return pipes_.read;
        case 1:
            return pipes_.write;
        default:
            return std::nullopt;
        }
    }

    bool gone() const noexcept { return gone_.load(std::memory_order_relaxed); }
    void markGone() noexcept { gone_.store(true, std::memory_order_relaxed); }

    // Whether a bulk endpoint halted and has not been reset since (see the outcomes above).
    bool halted(std::uint8_t endpoint) const noexcept {
        return (halted_.load(std::memory_order_relaxed) & haltBit(endpoint)) != 0;
    }
    void markHalted(std::uint8_t endpoint) noexcept {
        halted_.fetch_or(haltBit(endpoint), std::memory_order_relaxed);
    }
    void clearHalted(std::uint8_t endpoint) noexcept {
        halted_.fetch_and(~haltBit(endpoint), std::memory_order_relaxed);
    }

    // The connections on this session, for the abort. Guarded by the backend's lock.
    std::vector<Connection*> connections;

private:
    libusb_context* context_;
    libusb_device_handle* device_;
    Pipes pipes_;

    // Set by whichever connection's request first finds the instrument gone, read before every
    // request on every connection of the session. Relaxed: the flag publishes nothing else, and a
    // request that starts just before it is seen fails on its own, with the same no-device
    // result that set it.
    std::atomic<bool> gone_{false};

    // One bit per endpoint address (number and direction). Set by the request that met the
    // halt, cleared by the reset of its pipe, read before each bulk request; the acquisition
    // thread makes all three on the read pipe. Relaxed: the bits publish nothing else.
    static std::uint32_t haltBit(std::uint8_t endpoint) noexcept {
        return 1U << ((endpoint & 0x0FU) | ((endpoint & LIBUSB_ENDPOINT_IN) != 0 ? 16U : 0U));
    }
    std::atomic<std::uint32_t> halted_{0};
};

std::shared_ptr<Session> Session::open() noexcept {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != LIBUSB_SUCCESS) {
        return nullptr;
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    libusb_device_handle* device = nullptr;
    std::optional<Pipes> pipes;
    if (count > 0) {
        libusb_device* chosen = chooseInstrument(list, static_cast<std::size_t>(count));
        if (chosen != nullptr) {
            pipes = pipesOf(chosen);
            if (!pipes.has_value()) {
                tellOnce(chosen);
            } else if (libusb_open(chosen, &device) != LIBUSB_SUCCESS) {
                device = nullptr;
            }
        }
    }
    if (list != nullptr) {
        libusb_free_device_list(list, 1); // an open device keeps its own reference
    }
    if (device == nullptr) {
        libusb_exit(context);
        return nullptr;
    }

    // Detach whatever kernel driver is bound to the interface (libusb binds it again when the
    // interface is released); systems where libusb cannot do that simply go on to the claim.
    libusb_set_auto_detach_kernel_driver(device, 1);
    if (libusb_claim_interface(device, 0) != LIBUSB_SUCCESS) {
        libusb_close(device);
        libusb_exit(context);
        return nullptr;
    }
    try {
        return std::make_shared<Session>(context, device, *pipes);
    } catch (const std::bad_alloc&) {
        libusb_release_interface(device, 0);
        libusb_close(device);
        libusb_exit(context);
        return nullptr;
    }
}

void LIBUSB_CALL onTransferDone(libusb_transfer* transfer);

// One handle: the session it shares, and the one transfer it reuses for all of its requests (a
// handle is used by one thread at a time, so it never has two transfers in flight).
class Connection {
public:
    Connection(std::shared_ptr<Session> session, libusb_transfer* transfer) noexcept
        : session_(std::move(session)), transfer_(transfer) {}
    ~Connection() { libusb_free_transfer(transfer_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const std::shared_ptr<Session>& session() const noexcept { return session_; }
    libusb_transfer* transfer() const noexcept { return transfer_; }

    // The endpoint of the bulk transfer in flight, or kNoEndpoint. Guarded by the backend's
    // lock: the abort reads it to find the transfers to cancel.
    static constexpr int kNoEndpoint = -1;
    int pendingEndpoint = kNoEndpoint;

    // The buffer of control transfers: the setup packet, then the data stage.
    std::vector<std::uint8_t> controlBuffer;

    // Set to 1 by the completion callback, on whichever thread handles libusb's events; read by
    // the thread that submitted, through std::atomic_ref, and by libusb's event loop, which takes
    // it as a plain int* to know when to stop waiting. Release in the callback, acquire in the
    // waiter: libusb stores the transfer's status and byte count before it calls back, and the
    // waiter reads them after it has seen the flag.
    int done = 0;

private:
    std::shared_ptr<Session> session_;
    libusb_transfer* transfer_;
};

void LIBUSB_CALL onTransferDone(libusb_transfer* transfer) {
    std::atomic_ref<int>(*static_cast<int*>(transfer->user_data))
        .store(1, std::memory_order_release);
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

    // The only lock of the library: it guards opening and releasing the shared device, the table
    // of handles and each connection's pending endpoint. It is never held while a transfer runs;
    // opening and releasing the device happen under it, so that they never overlap.
    std::mutex mutex_;
    std::map<DeviceHandle, std::unique_ptr<Connection>> connections_;
    std::weak_ptr<Session> current_; // the session that new handles join, while it lives
    DeviceHandle nextHandle_ = 1;
};

DeviceHandle LibusbDriver::open(const char* /*path*/) noexcept {
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) {
        return kInvalidDevice;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Session> session = current_.lock();
    if (session == nullptr || session->gone()) {
        session = Session::open();
        if (session == nullptr) {
            libusb_free_transfer(transfer);
            return kInvalidDevice;
        }
        current_ = session;
    }
    try {
        while (nextHandle_ == kInvalidDevice || connections_.count(nextHandle_) != 0) {
            ++nextHandle_;
        }
        const DeviceHandle handle = nextHandle_++;
        auto connection = std::make_unique<Connection>(session, transfer);
        transfer = nullptr; // the connection owns it now
        session->connections.push_back(connection.get());
        try {
            connections_.emplace(handle, std::move(connection));
        } catch (const std::bad_alloc&) {
            session->connections.pop_back();
            throw;
        }
        return handle;
    } catch (const std::bad_alloc&) {
        libusb_free_transfer(transfer); // null when the connection took it and is gone with it
        return kInvalidDevice;
    }
}

void LibusbDriver::close(DeviceHandle handle) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = connections_.find(handle);
    if (found == connections_.end()) {
        return;
    }
    std::unique_ptr<Connection> closing = std::move(found->second);
    connections_.erase(found);
    std::erase(closing->session()->connections, closing.get());
    // Under the lock: the last connection of a session releases the device here. The session is
    // forgotten the moment its last reference goes, so an open that came between that moment and
    // the release would start a session of its own and find the device still claimed (busy).
    // Holding the lock, it waits for the release instead. Releasing moves no data.
    closing.reset();
}

bool LibusbDriver::gone(DeviceHandle handle) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = connections_.find(handle);
    return found != connections_.end() && found->second->session()->gone();
}

bool LibusbDriver::control(DeviceHandle handle, std::uint32_t code, const void* in,
                           std::uint32_t inLength, void* out, std::uint32_t outLength,
                           std::uint32_t* bytesReturned) noexcept {
    std::uint32_t moved = 0;
    bool ok = false;
    Connection* connection = nullptr;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = connections_.find(handle);
        if (found != connections_.end()) {
            // Only this thread uses (and closes) the handle, so the connection outlives the
            // request once the lock is released.
            connection = found->second.get();
        }
    }
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
    int submitted = LIBUSB_SUCCESS;
    if (registerForAbort) {
        // Submitted under the lock, so an abort sees the transfer exactly while it may be in
        // flight, and never cancels a later request of this connection by mistake.
        const std::lock_guard<std::mutex> lock(mutex_);
        submitted = libusb_submit_transfer(transfer);
        if (submitted == LIBUSB_SUCCESS) {
            connection.pendingEndpoint = transfer->endpoint;
        }
    } else {
        submitted = libusb_submit_transfer(transfer);
    }
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
        const std::lock_guard<std::mutex> lock(mutex_);
        connection.pendingEndpoint = Connection::kNoEndpoint;
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
    const std::lock_guard<std::mutex> lock(mutex_);
    for (Connection* connection : session.connections) {
        if (connection->pendingEndpoint == endpoint) {
            libusb_cancel_transfer(connection->transfer());
        }
    }
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
