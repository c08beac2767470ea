#include "emulated_usb.h"

#include <dlfcn.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <thread>

#include "sim/sim_driver.h"

namespace mv620::testing {
namespace {

constexpr std::size_t kSetupBytes = 8;

// The usbfs capabilities the emulated kernel reports, by the way it splits bulk transfers.
constexpr std::uint32_t kCapsScatterGather =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr std::uint32_t kCapsContinuation =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

template <typename F> decltype(auto) withModel(F&& f) {
    return sim::SimDriver::instance().withState(
        [&](sim::DriverState& state) -> decltype(auto) { return f(state.model); });
}

// A block of the client's memory that umockdev copied in; released with the reference.
class Resolved {
public:
    Resolved() = default;
    Resolved(UMockdevIoctlData* parent, std::size_t offset, std::size_t length) {
        GError* error = nullptr;
        data_ = umockdev_ioctl_data_resolve(parent, offset, length, &error);
        if (error != nullptr) {
            g_error_free(error);
        }
    }
    ~Resolved() {
        if (data_ != nullptr) {
            g_object_unref(data_);
        }
    }
    Resolved(const Resolved&) = delete;
    Resolved& operator=(const Resolved&) = delete;
    Resolved(Resolved&& other) noexcept : data_(std::exchange(other.data_, nullptr)) {}
    Resolved& operator=(Resolved&& other) noexcept {
        std::swap(data_, other.data_);
        return *this;
    }

    explicit operator bool() const { return data_ != nullptr; }
    UMockdevIoctlData* get() const { return data_; }
    UMockdevIoctlData* release() { return std::exchange(data_, nullptr); }
    std::uint8_t* bytes() const { return data_->data; }

private:
    UMockdevIoctlData* data_ = nullptr;
};

// A URB the device has taken: answered (waiting to be reaped) or held (the device NAKs it).
struct Urb {
    UMockdevIoctlData* data = nullptr; // the URB as copied in at its submission; owned reference
    gulong clientAddress = 0;
    std::uint8_t type = 0;
    std::uint8_t endpoint = 0;
    unsigned flags = 0;
    int length = 0;
    int status = 0;
    int sent = 0;                      // bytes of an OUT transfer taken by the device
    std::vector<std::uint8_t> payload; // bytes of an IN transfer (the data stage of a control one)
};

struct Client {
    UMockdevIoctlClient* handle = nullptr; // owned reference
    std::string devnode;
    std::uint32_t generation = 0; // the instrument's plug generation when the node was opened
    std::deque<Urb> held;
    std::deque<Urb> answered;
    // After a URB of a split transfer came short or failed, the kernel ends the URBs that continue
    // it without moving data, until a URB starts a new transfer.
    bool endContinuations = false;
};

struct Device {
    UsbDeviceSpec spec;
    // The open of the node that has interface 0 claimed, if any (a reference it holds).
    UMockdevIoctlClient* claimedBy = nullptr;
    bool instrument = false;
    bool driverBound = false;
    bool driverDetached = false;
    std::size_t opens = 0;
    std::string syspath; // its folder in the emulated sysfs
};

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char digits[3];
    for (const std::uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

std::uint16_t le16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8U));
}

} // namespace

std::array<std::uint8_t, 18> instrumentDeviceDescriptor() {
    std::array<std::uint8_t, 18> descriptor{};
    withModel([&](sim::FirmwareModel& model) {
        return model.readDescriptor(descriptor.data(), descriptor.size());
    });
    return descriptor;
}

struct EmulatedUsb::State {
    mutable std::mutex mutex;
    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    std::map<std::string, Device> devices;
    std::map<UMockdevIoctlClient*, Client> clients;
    // Devices without ports are /devices/usbN from N = 101 on: libusb takes a name that begins
    // with "usb" for a root hub's, and so gives them no ports; 101 and up are clear of the
    // root hubs of the buses with ports.
    int nextSysfsIndex = 101;
    std::set<std::string> hubs; // the devpaths of the hubs added for the devices with ports
    unsigned nextHubAddress = 100;

    // Adds a device's sysfs folder and node; `text` is the rest of its umockdev record.
    void addToSysfs(const std::string& devpath, const char* node, std::uint8_t bus,
                    std::uint8_t address, std::uint16_t vendorId, std::uint16_t productId,
                    const std::vector<std::uint8_t>& descriptors);
    // The hubs from bus `bus`'s root hub down to the one on `ports` (without its last port),
    // added when missing; returns the devpath of the hub the device is on.
    std::string hubsOf(std::uint8_t bus, const std::vector<std::uint8_t>& ports);

    UrbSplitting splitting = UrbSplitting::ScatterGather;
    unsigned releaseDelayMilliseconds = 0;
    bool halted = false; // the instrument's IN endpoint
    std::optional<std::uint64_t> stallBlock;
    struct PlannedReadFault {
        ReadFault kind;
        std::uint64_t block;
        std::uint32_t byte;
    };
    std::optional<PlannedReadFault> readFault;
    std::optional<std::uint32_t> silenceBudget;
    bool silent = false;
    bool resumeWhenCancelled = true;

    std::vector<ControlRecord> controls;
    std::vector<BulkRecord> bulks;
    std::vector<std::uint8_t> clearedHalts;
    std::vector<InterfaceRecord> interfaces;
    std::size_t discarded = 0;
    std::uint64_t ioctls = 0;

    static gboolean onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* raw, gpointer self);
    static void onConnected(UMockdevIoctlBase* handler, UMockdevIoctlClient* raw, gpointer self);

    void handle(Client& client, Device& device, UMockdevIoctlClient* raw);
    void submit(Client& client, Device& device, UMockdevIoctlClient* raw, UMockdevIoctlData* arg);
    void reap(Client& client, UMockdevIoctlClient* raw, UMockdevIoctlData* arg, bool gone);
    void discard(Client& client, UMockdevIoctlClient* raw, UMockdevIoctlData* arg);
    void answerControl(Urb& urb, const std::uint8_t* bytes);
    bool answerRead(Client& client, Urb& urb);
    void failRead(Client& client, Urb& urb, sim::SimClock::time_point now);
    static void answerWrite(Urb& urb, const std::uint8_t* bytes);
    void clearHalt(const Device& device, std::uint8_t endpoint);
    static void releaseClaim(Device& device);
    bool claimedByAnother(Device& device, const Client& client);
};

namespace {

void complete(UMockdevIoctlClient* raw, long result, int error) {
    umockdev_ioctl_client_complete(raw, result, error);
}

} // namespace

void EmulatedUsb::State::onConnected(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* raw,
                                     gpointer self) {
    auto& state = *static_cast<State*>(self);
    const std::lock_guard<std::mutex> lock(state.mutex);
    Client client;
    client.handle = static_cast<UMockdevIoctlClient*>(g_object_ref(raw));
    client.devnode = umockdev_ioctl_client_get_devnode(raw);
    client.generation = withModel([](sim::FirmwareModel& model) { return model.plugGeneration(); });
    ++state.devices[client.devnode].opens;
    state.clients.emplace(raw, std::move(client));
}

gboolean EmulatedUsb::State::onIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* raw,
                                     gpointer self) {
    auto& state = *static_cast<State*>(self);
    const std::lock_guard<std::mutex> lock(state.mutex);
    ++state.ioctls;
    const auto found = state.clients.find(raw);
    if (found == state.clients.end()) {
        complete(raw, -1, ENODEV);
        return TRUE;
    }
    Client& client = found->second;
    try {
        state.handle(client, state.devices[client.devnode], raw);
    } catch (const std::exception&) { // out of memory in the emulation itself
        complete(raw, -1, ENOMEM);
    }
    return TRUE;
}

void EmulatedUsb::State::handle(Client& client, Device& device, UMockdevIoctlClient* raw) {
    const gulong request = umockdev_ioctl_client_get_request(raw);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(raw);
    // The instrument is gone for this node once the simulated one is unplugged or absent, and
    // for good once it has been unplugged since the node was opened.
    const bool gone = device.instrument && withModel([&](sim::FirmwareModel& model) {
                          return !model.reachable() || model.plugGeneration() != client.generation;
                      });
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        reap(client, raw, arg, gone);
        return;
    }
    if (request == USBDEVFS_DISCARDURB) {
        discard(client, raw, arg);
        return;
    }
    if (gone) {
        complete(raw, -1, ENODEV);
        return;
    }
    if (request == USBDEVFS_SUBMITURB) {
        submit(client, device, raw, arg);
    } else if (request == USBDEVFS_GET_CAPABILITIES) {
        const Resolved caps(arg, 0, sizeof(std::uint32_t));
        const std::uint32_t value =
            splitting == UrbSplitting::ScatterGather ? kCapsScatterGather : kCapsContinuation;
        std::memcpy(caps.bytes(), &value, sizeof value);
        complete(raw, 0, 0);
    } else if (request == USBDEVFS_CLAIMINTERFACE || request == USBDEVFS_RELEASEINTERFACE) {
        const Resolved number(arg, 0, sizeof(unsigned));
        unsigned interface = 0;
        std::memcpy(&interface, number.bytes(), sizeof interface);
        const bool claim = request == USBDEVFS_CLAIMINTERFACE;
        if (claim && (device.driverBound || claimedByAnother(device, client))) {
            complete(raw, -1, EBUSY); // another driver, or another open, has the interface
            return;
        }
        interfaces.push_back({claim ? InterfaceRecord::Kind::Claim : InterfaceRecord::Kind::Release,
                              client.devnode, interface});
        if (claim) {
            if (device.claimedBy == nullptr) {
                device.claimedBy = static_cast<UMockdevIoctlClient*>(g_object_ref(client.handle));
            }
            complete(raw, 0, 0);
        } else {
            if (releaseDelayMilliseconds == 0) {
                releaseClaim(device);
            } else {
                // The slow release: the claim ends only when the node closes.
                std::this_thread::sleep_for(std::chrono::milliseconds(releaseDelayMilliseconds));
            }
            complete(raw, 0, 0);
        }
    } else if (request == USBDEVFS_DISCONNECT_CLAIM) {
        const Resolved claim(arg, 0, sizeof(usbdevfs_disconnect_claim));
        const auto* fields = reinterpret_cast<const usbdevfs_disconnect_claim*>(claim.bytes());
        // libusb asks to disconnect any driver but usbfs: another open's claim stands.
        if (claimedByAnother(device, client)) {
            complete(raw, -1, EBUSY);
            return;
        }
        device.claimedBy = static_cast<UMockdevIoctlClient*>(g_object_ref(client.handle));
        device.driverDetached = device.driverDetached || device.driverBound;
        device.driverBound = false;
        interfaces.push_back(
            {InterfaceRecord::Kind::DisconnectAndClaim, client.devnode, fields->interface});
        complete(raw, 0, 0);
    } else if (request == USBDEVFS_IOCTL) {
        // libusb gives the interface back to its kernel driver after releasing it.
        const Resolved command(arg, 0, sizeof(usbdevfs_ioctl));
        const auto* fields = reinterpret_cast<const usbdevfs_ioctl*>(command.bytes());
        if (static_cast<unsigned long>(fields->ioctl_code) == USBDEVFS_CONNECT &&
            device.driverDetached) {
            device.driverBound = true;
            device.driverDetached = false;
            interfaces.push_back({InterfaceRecord::Kind::ReattachDriver, client.devnode,
                                  static_cast<unsigned>(fields->ifno)});
            complete(raw, 0, 0);
        } else {
            complete(raw, -1, ENODATA);
        }
    } else if (request == USBDEVFS_GETDRIVER) {
        const Resolved query(arg, 0, sizeof(usbdevfs_getdriver));
        if (device.driverBound) {
            std::strcpy(reinterpret_cast<usbdevfs_getdriver*>(query.bytes())->driver, "usbtest");
            complete(raw, 0, 0);
        } else {
            complete(raw, -1, ENODATA);
        }
    } else if (request == USBDEVFS_CLEAR_HALT) {
        const Resolved number(arg, 0, sizeof(unsigned));
        unsigned endpoint = 0;
        std::memcpy(&endpoint, number.bytes(), sizeof endpoint);
        clearHalt(device, static_cast<std::uint8_t>(endpoint));
        complete(raw, 0, 0);
    } else if (request == USBDEVFS_GET_SPEED) {
        complete(raw, 2, 0); // USB_SPEED_FULL
    } else {
        complete(raw, -1, ENOTTY);
    }
}

void EmulatedUsb::State::submit(Client& client, Device& device, UMockdevIoctlClient* raw,
                                UMockdevIoctlData* arg) {
    Resolved urbData(arg, 0, sizeof(usbdevfs_urb));
    if (!urbData) {
        complete(raw, -1, EFAULT);
        return;
    }
    const auto* fields = reinterpret_cast<const usbdevfs_urb*>(urbData.bytes());
    Urb urb;
    urb.clientAddress = urbData.get()->client_addr;
    urb.type = fields->type;
    urb.endpoint = fields->endpoint;
    urb.flags = fields->flags;
    urb.length = fields->buffer_length;
    Resolved buffer;
    if (urb.length > 0) {
        buffer = Resolved(urbData.get(), offsetof(usbdevfs_urb, buffer),
                          static_cast<std::size_t>(urb.length));
    }
    const std::uint8_t* bytes = buffer ? buffer.bytes() : nullptr;

    bool held = false;
    if (!device.instrument) {
        urb.status = -EPIPE; // a device that is not the instrument answers nothing it is asked
    } else if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
        answerControl(urb, bytes);
    } else if (urb.type == USBDEVFS_URB_TYPE_BULK) {
        bulks.push_back({urb.endpoint, urb.length, urb.flags});
        if ((urb.endpoint & 0x80U) != 0) {
            held = answerRead(client, urb);
        } else {
            answerWrite(urb, bytes);
        }
    } else {
        urb.status = -EINVAL;
    }
    urb.data = urbData.release();
    (held ? client.held : client.answered).push_back(std::move(urb));
    complete(raw, 0, 0);
}

// The firmware's vendor requests; it stalls any other request.
void EmulatedUsb::State::answerControl(Urb& urb, const std::uint8_t* bytes) {
    if (bytes == nullptr || urb.length < static_cast<int>(kSetupBytes)) {
        urb.status = -EINVAL;
        return;
    }
    ControlRecord record;
    std::copy_n(bytes, kSetupBytes, record.setup.begin());
    controls.push_back(record);
    const std::uint8_t requestType = bytes[0];
    const std::uint8_t request = bytes[1];
    const std::uint16_t value = le16(bytes + 2);
    const std::uint16_t length = le16(bytes + 6);
    const auto now = sim::SimClock::now();
    if (requestType == 0x40 && request == sim::kRequestSetOutput) {
        withModel([&](sim::FirmwareModel& model) { model.setOutputs(value); });
    } else if (requestType == 0x40 && request == sim::kRequestClearOutput) {
        withModel([&](sim::FirmwareModel& model) { model.clearOutputs(value); });
    } else if (requestType == 0xC0 && request == sim::kRequestReadInput && length >= 1) {
        urb.payload.push_back(
            withModel([&](sim::FirmwareModel& model) { return model.readInputPort(now); }));
    } else {
        urb.status = -EPIPE;
    }
}

// A data or response read on the IN endpoint. Returns true when the device holds the URB
// unanswered.
bool EmulatedUsb::State::answerRead(Client& client, Urb& urb) {
    if ((urb.flags & USBDEVFS_URB_BULK_CONTINUATION) != 0) {
        if (client.endContinuations) {
            urb.status = -ECONNRESET;
            return false;
        }
    } else {
        client.endContinuations = false;
    }
    const auto now = sim::SimClock::now();
    if (!halted && stallBlock.has_value()) {
        halted = withModel([&](sim::FirmwareModel& model) {
            return model.streaming() && model.currentBlock() >= *stallBlock;
        });
        if (halted) {
            stallBlock.reset();
        }
    }
    if (halted) {
        urb.status = -EPIPE;
        client.endContinuations = true;
        return false;
    }
    if (silent) {
        return true;
    }
    auto want = static_cast<std::uint32_t>(urb.length);
    if (silenceBudget.has_value()) {
        want = std::min(want, *silenceBudget);
    }
    // A read fault due within this read: the read stops there.
    bool faultDue = false;
    if (readFault.has_value()) {
        withModel([&](sim::FirmwareModel& model) {
            const std::uint32_t offset = model.currentBlockOffset();
            if (model.streaming() && model.currentBlock() == readFault->block &&
                offset <= readFault->byte && readFault->byte - offset <= want) {
                want = readFault->byte - offset;
                faultDue = true;
            }
            return true;
        });
    }
    urb.payload.resize(want);
    std::uint32_t got = 0;
    const bool read = want == 0 || withModel([&](sim::FirmwareModel& model) {
                          return model.readPipe(urb.payload.data(), want, got, now);
                      });
    urb.payload.resize(got);
    if (faultDue && read && got == want) {
        failRead(client, urb, now);
        return false;
    }
    if (!read) {
        urb.status = -EPROTO; // the firmware had nothing it could send: a failed transaction
        client.endContinuations = true;
        return false;
    }
    if (silenceBudget.has_value()) {
        *silenceBudget -= got;
        if (got == want && want < static_cast<std::uint32_t>(urb.length)) {
            silent = true; // the device sends no more; the URB waits, with what it has
            return true;
        }
    }
    if (got < static_cast<std::uint32_t>(urb.length) &&
        (urb.flags & USBDEVFS_URB_SHORT_NOT_OK) != 0) {
        urb.status = -EREMOTEIO;
        client.endContinuations = true;
    }
    return false;
}

// Ends a read at the planned fault, with the bytes it moved.
void EmulatedUsb::State::failRead(Client& client, Urb& urb, sim::SimClock::time_point now) {
    const ReadFault kind = readFault->kind;
    readFault.reset();
    client.endContinuations = true;
    if (kind == ReadFault::BusError) {
        urb.status = -EPROTO;
        return;
    }
    if (kind == ReadFault::Overflow) {
        urb.status = -EOVERFLOW;
        std::array<std::uint8_t, 64> babble{};
        std::uint32_t lost = 0;
        withModel([&](sim::FirmwareModel& model) {
            return model.readPipe(babble.data(), babble.size(), lost, now);
        });
    } else {
        urb.status = -EPIPE;
    }
    halted = true;
}

void EmulatedUsb::State::answerWrite(Urb& urb, const std::uint8_t* bytes) {
    const auto now = sim::SimClock::now();
    const bool taken =
        bytes != nullptr && urb.length == static_cast<int>(sim::kPacketLength) &&
        withModel([&](sim::FirmwareModel& model) { return model.writePacket(bytes, now); });
    urb.status = taken ? 0 : -EPROTO;
    urb.sent = taken ? urb.length : 0;
}

// What the firmware sees of the host's abort-then-reset of the read pipe: the abort cancels URBs
// in the host and never reaches the device; the reset arrives as CLEAR_FEATURE(ENDPOINT_HALT) on
// the IN endpoint. The library resets the read pipe only right after aborting it (the acquisition
// thread, after a block's two reads failed), so the clear halt stands for both, and the firmware
// model is given both: it drops the block the pipe was on, and the stream goes on with the next
// block, aligned again with the library's block count. A real firmware must do the same on this
// clear halt.
void EmulatedUsb::State::clearHalt(const Device& device, std::uint8_t endpoint) {
    clearedHalts.push_back(endpoint);
    if (!device.instrument || (endpoint & 0x80U) == 0) {
        return;
    }
    halted = false;
    const auto now = sim::SimClock::now();
    withModel([&](sim::FirmwareModel& model) {
        model.abortReadPipe();
        model.resetReadPipe(now);
    });
}

void EmulatedUsb::State::releaseClaim(Device& device) {
    if (device.claimedBy != nullptr) {
        g_object_unref(device.claimedBy);
        device.claimedBy = nullptr;
    }
}

// Whether another open of the node has interface 0 claimed; closing a node releases its claim.
bool EmulatedUsb::State::claimedByAnother(Device& device, const Client& client) {
    // An unplug ends every claim: the device that comes back is a new one.
    const auto holder = clients.find(device.claimedBy);
    if (device.claimedBy != nullptr &&
        (umockdev_ioctl_client_get_connected(device.claimedBy) == FALSE ||
         holder == clients.end() || holder->second.generation != client.generation)) {
        releaseClaim(device);
    }
    return device.claimedBy != nullptr && device.claimedBy != client.handle;
}

void EmulatedUsb::State::reap(Client& client, UMockdevIoctlClient* raw, UMockdevIoctlData* arg,
                              bool gone) {
    if (gone) {
        // The kernel ends whatever the device held when it left the bus.
        for (Urb& urb : client.held) {
            urb.status = -ESHUTDOWN;
            client.answered.push_back(std::move(urb));
        }
        client.held.clear();
    }
    if (client.answered.empty()) {
        complete(raw, -1, gone ? ENODEV : EAGAIN);
        return;
    }
    Urb urb = std::move(client.answered.front());
    client.answered.pop_front();
    auto* fields = reinterpret_cast<usbdevfs_urb*>(urb.data->data);
    fields->status = urb.status;
    fields->actual_length = urb.payload.empty() ? urb.sent : static_cast<int>(urb.payload.size());
    if (!urb.payload.empty()) {
        const std::size_t at = urb.type == USBDEVFS_URB_TYPE_CONTROL ? kSetupBytes : 0;
        std::memcpy(static_cast<std::uint8_t*>(fields->buffer) + at, urb.payload.data(),
                    urb.payload.size());
    }
    const Resolved slot(arg, 0, sizeof(void*));
    umockdev_ioctl_data_set_ptr(slot.get(), 0, urb.data); // the slot now holds the URB
    g_object_unref(urb.data);
    complete(raw, 0, 0);
}

void EmulatedUsb::State::discard(Client& client, UMockdevIoctlClient* raw, UMockdevIoctlData* arg) {
    gulong address = 0;
    std::memcpy(&address, arg->data, sizeof address);
    const auto found = std::find_if(client.held.begin(), client.held.end(),
                                    [&](const Urb& urb) { return urb.clientAddress == address; });
    if (found == client.held.end()) {
        complete(raw, -1, EINVAL); // answered already (or never taken): the host reaps it
        return;
    }
    found->status = -ENOENT;
    client.answered.push_back(std::move(*found));
    client.held.erase(found);
    ++discarded;
    if (resumeWhenCancelled) { // the host has given up waiting; the device goes on
        silent = false;
        silenceBudget.reset();
    }
    complete(raw, 0, 0);
}

EmulatedUsb::EmulatedUsb() : state_(std::make_shared<State>()) {
    // Without the preload library the device nodes would be the machine's own.
    void* preload = dlopen("libumockdev-preload.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (preload == nullptr) {
        throw std::runtime_error("libumockdev-preload is not loaded");
    }
    dlclose(preload);
    state_->testbed = umockdev_testbed_new();
    state_->handler = umockdev_ioctl_base_new();
    g_signal_connect_data(state_->handler, "handle-ioctl",
                          reinterpret_cast<GCallback>(&State::onIoctl), state_.get(), nullptr,
                          GConnectFlags{});
    g_signal_connect_data(state_->handler, "client-connected",
                          reinterpret_cast<GCallback>(&State::onConnected), state_.get(), nullptr,
                          GConnectFlags{});
}

EmulatedUsb::~EmulatedUsb() {
    g_signal_handlers_disconnect_matched(state_->handler, G_SIGNAL_MATCH_DATA, 0, 0, nullptr,
                                         nullptr, state_.get());
    g_object_unref(state_->testbed);
    g_object_unref(state_->handler);
    const std::lock_guard<std::mutex> lock(state_->mutex);
    for (auto& [raw, client] : state_->clients) {
        for (auto* queue : {&client.held, &client.answered}) {
            for (Urb& urb : *queue) {
                g_object_unref(urb.data);
            }
        }
        g_object_unref(client.handle);
    }
    for (auto& [node, device] : state_->devices) {
        State::releaseClaim(device);
    }
}

std::string EmulatedUsb::addDevice(const UsbDeviceSpec& spec) {
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", unsigned{spec.bus},
                  unsigned{spec.address});
    const std::array<std::uint8_t, 18> device = instrumentDeviceDescriptor();
    std::vector<std::uint8_t> descriptors(device.begin(), device.end());
    descriptors[8] = static_cast<std::uint8_t>(spec.vendorId & 0xFFU);
    descriptors[9] = static_cast<std::uint8_t>(spec.vendorId >> 8U);
    descriptors[10] = static_cast<std::uint8_t>(spec.productId & 0xFFU);
    descriptors[11] = static_cast<std::uint8_t>(spec.productId >> 8U);
    const auto endpoints = static_cast<std::uint8_t>(spec.endpoints.size());
    const auto total = static_cast<std::uint8_t>(9 + 9 + 7 * endpoints);
    descriptors.reserve(descriptors.size() + total);
    // Configuration 1, bus-powered, 100 mA; interface 0, vendor-specific.
    descriptors.insert(descriptors.end(), {9, 2, total, 0, 1, 1, 0, 0x80, 50});
    descriptors.insert(descriptors.end(), {9, 4, 0, 0, endpoints, 0xFF, 0xFF, 0xFF, 0});
    for (const std::uint8_t address : spec.endpoints) {
        descriptors.insert(descriptors.end(), {7, 5, address, 2, 64, 0, 0}); // bulk, 64 bytes
    }

    const std::lock_guard<std::mutex> lock(state_->mutex);
    Device& added = state_->devices[node];
    added.spec = spec;
    added.instrument =
        spec.vendorId == sim::kInstrumentVendorId && spec.productId == sim::kInstrumentProductId;
    added.driverBound = spec.kernelDriverBound;

    GError* error = nullptr;
    if (umockdev_testbed_attach_ioctl(state_->testbed, node, state_->handler, &error) == FALSE) {
        const std::string message = error != nullptr ? error->message : "unknown";
        g_clear_error(&error);
        throw std::runtime_error("cannot attach the handler to " + std::string(node) + ": " +
                                 message);
    }
    std::string devpath;
    if (spec.ports.empty()) {
        devpath = "/devices/usb" + std::to_string(state_->nextSysfsIndex++);
    } else {
        std::string name = std::to_string(spec.bus);
        for (std::size_t i = 0; i < spec.ports.size(); ++i) {
            name += i == 0 ? '-' : '.';
            name += std::to_string(spec.ports[i]);
        }
        devpath = state_->hubsOf(spec.bus, spec.ports) + "/" + name;
    }
    state_->addToSysfs(devpath, node, spec.bus, spec.address, spec.vendorId, spec.productId,
                       descriptors);
    added.syspath = "/sys" + devpath;
    return node;
}

void EmulatedUsb::State::addToSysfs(const std::string& devpath, const char* node, std::uint8_t bus,
                                    std::uint8_t address, std::uint16_t vendorId,
                                    std::uint16_t productId,
                                    const std::vector<std::uint8_t>& descriptors) {
    std::vector<char> text(1024 + 2 * descriptors.size());
    std::snprintf(text.data(), text.size(),
                  "P: %s\n"
                  "N: %s\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: DRIVER=usb\n"
                  "E: BUSNUM=%03u\n"
                  "E: DEVNUM=%03u\n"
                  "E: DEVNAME=%s\n"
                  "A: busnum=%u\\n\n"
                  "A: devnum=%u\\n\n"
                  "A: speed=12\\n\n"
                  "A: bConfigurationValue=1\\n\n"
                  "A: idVendor=%04x\\n\n"
                  "A: idProduct=%04x\\n\n"
                  "H: descriptors=%s\n",
                  devpath.c_str(), node + 5, unsigned{bus}, unsigned{address}, node, unsigned{bus},
                  unsigned{address}, unsigned{vendorId}, unsigned{productId},
                  hex(descriptors).c_str());
    GError* error = nullptr;
    if (umockdev_testbed_add_from_string(testbed, text.data(), &error) == FALSE) {
        const std::string message = error != nullptr ? error->message : "unknown";
        g_clear_error(&error);
        throw std::runtime_error("cannot add " + std::string(node) + ": " + message);
    }
}

std::string EmulatedUsb::State::hubsOf(std::uint8_t bus, const std::vector<std::uint8_t>& ports) {
    // A full-speed hub: class 9, one configuration with one interface and its interrupt endpoint.
    const std::vector<std::uint8_t> hubDescriptors = {
        18, 1, 0x00, 0x02, 9, 0, 0, 64,   0x6B, 0x1D, 0x02, 0x00, 0x00, 0x01, 0, 0, 0, 1, // device
        9,  2, 25,   0,    1, 1, 0, 0xE0, 0,                                              // config
        9,  4, 0,    0,    1, 9, 0, 0,    0, // interface
        7,  5, 0x81, 3,    2, 0, 12};        // endpoint
    char node[32];
    std::string devpath = "/devices/usb" + std::to_string(bus);
    if (hubs.insert(devpath).second) { // the root hub has address 1
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/001", unsigned{bus});
        addToSysfs(devpath, node, bus, 1, 0x1D6B, 0x0002, hubDescriptors);
    }
    std::string name = std::to_string(bus);
    for (std::size_t i = 0; i + 1 < ports.size(); ++i) {
        name += i == 0 ? '-' : '.';
        name += std::to_string(ports[i]);
        devpath += "/" + name;
        if (hubs.insert(devpath).second) {
            const unsigned address = nextHubAddress++;
            std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", unsigned{bus}, address);
            addToSysfs(devpath, node, bus, static_cast<std::uint8_t>(address), 0x1D6B, 0x0002,
                       hubDescriptors);
        }
    }
    return devpath;
}

void EmulatedUsb::removeDevice(const std::string& devnode) {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    const auto found = state_->devices.find(devnode);
    if (found == state_->devices.end() || found->second.syspath.empty()) {
        throw std::runtime_error("no device " + devnode + " to remove");
    }
    GError* error = nullptr;
    if (umockdev_testbed_detach_ioctl(state_->testbed, devnode.c_str(), &error) == FALSE) {
        const std::string message = error != nullptr ? error->message : "unknown";
        g_clear_error(&error);
        throw std::runtime_error("cannot detach " + devnode + ": " + message);
    }
    umockdev_testbed_remove_device(state_->testbed, found->second.syspath.c_str());
    found->second.syspath.clear();
}

void EmulatedUsb::setSplitting(UrbSplitting splitting) {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    state_->splitting = splitting;
}

void EmulatedUsb::setReleaseDelay(unsigned milliseconds) {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    state_->releaseDelayMilliseconds = milliseconds;
}

void EmulatedUsb::stallAtBlock(std::uint64_t block) {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stallBlock = block;
}

void EmulatedUsb::failReadAt(ReadFault kind, std::uint64_t block, std::uint32_t byte) {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    state_->readFault = State::PlannedReadFault{kind, block, byte};
}

void EmulatedUsb::goSilentAfter(std::uint32_t bytes, bool resumeWhenCancelled) {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    state_->silenceBudget = bytes;
    state_->silent = false;
    state_->resumeWhenCancelled = resumeWhenCancelled;
}

std::vector<ControlRecord> EmulatedUsb::controlTransfers() const {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->controls;
}

std::vector<BulkRecord> EmulatedUsb::bulkUrbs() const {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->bulks;
}

std::vector<std::uint8_t> EmulatedUsb::clearedHalts() const {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->clearedHalts;
}

std::vector<InterfaceRecord> EmulatedUsb::interfaceRecords() const {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->interfaces;
}

std::size_t EmulatedUsb::discardedUrbs() const {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->discarded;
}

std::size_t EmulatedUsb::pendingUrbs() const {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    std::size_t held = 0;
    for (const auto& [raw, client] : state_->clients) {
        held += client.held.size();
    }
    return held;
}

std::uint64_t EmulatedUsb::ioctls() const {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->ioctls;
}

std::size_t EmulatedUsb::opens(const std::string& devnode) const {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    const auto found = state_->devices.find(devnode);
    return found == state_->devices.end() ? 0 : found->second.opens;
}

std::size_t EmulatedUsb::openNodes() const {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    return static_cast<std::size_t>(
        std::count_if(state_->clients.begin(), state_->clients.end(), [](const auto& entry) {
            return umockdev_ioctl_client_get_connected(entry.second.handle) != FALSE;
        }));
}

bool EmulatedUsb::kernelDriverBound(const std::string& devnode) const {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    const auto found = state_->devices.find(devnode);
    return found != state_->devices.end() && found->second.driverBound;
}

} // namespace mv620::testing
