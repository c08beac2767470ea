// The libusb backend's sessions and connections (see session.h).
#include "platform/libusb/session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

#include "platform/libusb/device_choice.h"

namespace mv620::platform::usb {
namespace {

// The device the choice picks among the system's list; null when none fits. A device whose
// descriptor cannot be read is passed over.
libusb_device* chooseInstrument(libusb_device* const* devices, std::size_t count) noexcept {
    // Read at each session's opening, so that a program can choose before each one. Nothing in
    // the library writes the environment.
    const std::optional<DeviceRequest> request =
        parseDeviceRequest(std::getenv(kDeviceVariable)); // NOLINT(concurrency-mt-unsafe)
    std::vector<Candidate> candidates;
    std::vector<libusb_device*> listed;
    try {
        candidates.reserve(count);
        listed.reserve(count);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    for (std::size_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(devices[i], &descriptor) != LIBUSB_SUCCESS) {
            continue;
        }
        Candidate candidate{descriptor.idVendor, descriptor.idProduct,
                            libusb_get_bus_number(devices[i]),
                            libusb_get_device_address(devices[i]), PortPath{}};
        // Nothing (depth 0) where the system does not tell the ports.
        const int depth = libusb_get_port_numbers(devices[i], candidate.ports.numbers.data(),
                                                  static_cast<int>(kMaxPortDepth));
        candidate.ports.depth = static_cast<std::uint8_t>(depth > 0 ? depth : 0);
        candidates.push_back(candidate);
        listed.push_back(devices[i]);
    }
    const std::optional<std::size_t> chosen = chooseDevice(candidates, request);
    return chosen.has_value() ? listed[*chosen] : nullptr;
}

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

} // namespace

// ---- Sessions ---------------------------------------------------------------------------------

Session::~Session() {
    // Gives the interface back; with auto-detach on, libusb binds a kernel driver that was
    // detached at the claim again. Fails harmlessly when the instrument is gone.
    libusb_release_interface(device_, 0);
    libusb_close(device_);
    libusb_exit(context_);
}

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

void LIBUSB_CALL onTransferDone(libusb_transfer* transfer) {
    std::atomic_ref<int>(*static_cast<int*>(transfer->user_data))
        .store(1, std::memory_order_release);
}

// ---- The table of handles -----------------------------------------------------------------------

DeviceHandle Connections::open() noexcept {
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) {
        return kInvalidDevice;
    }
    const ScopedLock<Mutex> lock(mutex_);
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
        while (nextHandle_ == kInvalidDevice || entries_.count(nextHandle_) != 0) {
            ++nextHandle_;
        }
        const DeviceHandle handle = nextHandle_++;
        auto connection = std::make_unique<Connection>(session, transfer, handle);
        transfer = nullptr; // the connection owns it now
        entries_.emplace(handle, Entry{std::move(connection), kNoEndpoint});
        return handle;
    } catch (const std::bad_alloc&) {
        libusb_free_transfer(transfer); // null when the connection took it and is gone with it
        return kInvalidDevice;
    }
}

void Connections::close(DeviceHandle handle) noexcept {
    const ScopedLock<Mutex> lock(mutex_);
    const auto found = entries_.find(handle);
    if (found == entries_.end()) {
        return;
    }
    std::unique_ptr<Connection> closing = std::move(found->second.connection);
    entries_.erase(found);
    // Under the lock: the last connection of a session releases the device here. The session is
    // forgotten the moment its last reference goes, so an open that came between that moment and
    // the release would start a session of its own and find the device still claimed (busy).
    // Holding the lock, it waits for the release instead. Releasing moves no data.
    closing.reset();
}

bool Connections::gone(DeviceHandle handle) noexcept {
    const ScopedLock<Mutex> lock(mutex_);
    const auto found = entries_.find(handle);
    return found != entries_.end() && found->second.connection->session()->gone();
}

Connection* Connections::find(DeviceHandle handle) noexcept {
    const ScopedLock<Mutex> lock(mutex_);
    const auto found = entries_.find(handle);
    return found != entries_.end() ? found->second.connection.get() : nullptr;
}

int Connections::submitForAbort(Connection& connection) noexcept {
    const ScopedLock<Mutex> lock(mutex_);
    const int submitted = libusb_submit_transfer(connection.transfer());
    const auto found = entries_.find(connection.handle()); // open: only this thread closes it
    if (submitted == LIBUSB_SUCCESS && found != entries_.end()) {
        found->second.pendingEndpoint = connection.transfer()->endpoint;
    }
    return submitted;
}

void Connections::unregister(Connection& connection) noexcept {
    const ScopedLock<Mutex> lock(mutex_);
    const auto found = entries_.find(connection.handle());
    if (found != entries_.end()) {
        found->second.pendingEndpoint = kNoEndpoint;
    }
}

// The host's side only: the cancelled transfers then end as their outcomes say (with the bytes
// they moved, or failed). The instrument sees nothing of it.
void Connections::cancelPending(const Session& session, std::uint8_t endpoint) noexcept {
    const ScopedLock<Mutex> lock(mutex_);
    for (const auto& [handle, entry] : entries_) {
        if (entry.connection->session().get() == &session && entry.pendingEndpoint == endpoint) {
            libusb_cancel_transfer(entry.connection->transfer());
        }
    }
}

} // namespace mv620::platform::usb
