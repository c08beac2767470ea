#include "sim/sim_driver.h"

#include "platform/window.h"
#include "sim/sim_environment.h"
#include "sim/virtual_clock.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace mv620::sim {

namespace {

std::uint32_t readU32(const std::uint8_t* p) noexcept {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

std::uint16_t readU16(const std::uint8_t* p) noexcept {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

bool vendorRequestWellFormed(const std::uint8_t* in, const void* out,
                             std::uint32_t outLength) noexcept {
    // Bytes 0-4: direction, type (2 = vendor), recipient (0 = device), reserved bits, request.
    // Byte 5 is padding and carries nothing.
    if (in[1] != 2 || in[2] != 0 || in[3] != 0) {
        return false;
    }
    const std::uint16_t value = readU16(in + 6);
    const std::uint16_t index = readU16(in + 8);
    switch (in[4]) {
    case kRequestSetOutput:
    case kRequestClearOutput:
        return in[0] == 0 && outLength == 0 && index == 0;
    case kRequestReadInput:
        return in[0] == 1 && value == 0 && index == 0 && outLength == 1 && out != nullptr;
    default:
        return false;
    }
}

bool pipeBlockIs(const std::uint8_t* in, std::uint32_t inLength, std::uint32_t pipe) noexcept {
    return inLength == kPipeBlockLength && readU32(in) == pipe;
}

void observeMessage(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                    std::intptr_t lParam) noexcept {
    SimDriver::instance().recordMessage(window, message, wParam, lParam);
}

SimDriver& createAtLoad() {
    const LoadOptions options =
        // Read once while the library loads, before any thread of it runs.
        loadOptionsFrom([](const char* name) -> const char* {
            return std::getenv(name); // NOLINT(concurrency-mt-unsafe)
        });
    // Deliberately never deleted: see instance().
    auto* driver = new SimDriver(options.settings);
    platform::setWindowMessageObserver(&observeMessage);
    if (options.virtualClock) {
        startVirtualClock(kEnvironmentClockStart);
    }
    return *driver;
}

// Sets the simulated instrument up while the module loads, so the progress message observer and
// the environment's settings are in force before the application's first call.
struct LoadTimeSetup {
    LoadTimeSetup() noexcept { static_cast<void>(SimDriver::instance()); }
};
const LoadTimeSetup loadTimeSetup;

} // namespace

StatsSlot statsSlotOf(std::uint32_t code) noexcept {
    switch (code) {
    case kIoctlGetDescriptor:
        return StatsSlot::Descriptor;
    case kIoctlVendorRequest:
        return StatsSlot::VendorRequest;
    case kIoctlBulkRead:
        return StatsSlot::BulkRead;
    case kIoctlBulkWrite:
        return StatsSlot::BulkWrite;
    case kIoctlAbortPipe:
        return StatsSlot::AbortPipe;
    case kIoctlResetPipe:
        return StatsSlot::ResetPipe;
    default:
        return StatsSlot::UnknownCode;
    }
}

bool requestWellFormed(std::uint32_t code, const std::uint8_t* in, std::uint32_t inLength,
                       const void* out, std::uint32_t outLength) noexcept {
    if ((inLength != 0 && in == nullptr) || (outLength != 0 && out == nullptr)) {
        return false;
    }
    switch (code) {
    case kIoctlGetDescriptor:
        return inLength == 0 && outLength == kDescriptorBufferLength;
    case kIoctlVendorRequest:
        return inLength == kVendorBlockLength && vendorRequestWellFormed(in, out, outLength);
    case kIoctlBulkRead:
        return pipeBlockIs(in, inLength, kReadPipe) && outLength != 0;
    case kIoctlBulkWrite:
        return pipeBlockIs(in, inLength, kWritePipe) && outLength == kPacketLength;
    case kIoctlAbortPipe:
    case kIoctlResetPipe:
        return pipeBlockIs(in, inLength, kReadPipe) && outLength == 0;
    default:
        return false;
    }
}

void DriverState::reset(const InstrumentSettings& settings) {
    model.reset(settings);
    requests.clear();
    stats = {};
    malformed = 0;
    messages.clear();
}

SimDriver& SimDriver::instance() noexcept {
    // Created on first use and never destroyed: the library's unload may still be stopping an
    // acquisition thread that calls in here after static destructors have run.
    static SimDriver& driver = createAtLoad();
    return driver;
}

platform::DeviceHandle SimDriver::open(const char* path) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    RequestStats& stats = state_.statsFor(StatsSlot::Open);
    ++stats.issued;
    if (path == nullptr || std::strcmp(path, kDevicePath) != 0) {
        ++stats.refused;
        ++state_.malformed;
        return platform::kInvalidDevice;
    }
    if (!state_.model.reachable()) {
        return platform::kInvalidDevice;
    }
    platform::DeviceHandle handle = state_.nextHandle;
    while (state_.handles.count(handle) != 0) {
        handle = handle == std::numeric_limits<platform::DeviceHandle>::max() ? 1 : handle + 1;
    }
    state_.nextHandle =
        handle == std::numeric_limits<platform::DeviceHandle>::max() ? 1 : handle + 1;
    state_.handles.emplace(handle, state_.model.plugGeneration());
    ++stats.succeeded;
    return handle;
}

void SimDriver::close(platform::DeviceHandle handle) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    RequestStats& stats = state_.statsFor(StatsSlot::Close);
    ++stats.issued;
    if (state_.handles.erase(handle) == 0) {
        ++stats.refused; // never opened, or closed twice
        ++state_.malformed;
        return;
    }
    ++stats.succeeded;
}

bool SimDriver::control(platform::DeviceHandle handle, std::uint32_t code, const void* in,
                        std::uint32_t inLength, void* out, std::uint32_t outLength,
                        std::uint32_t* bytesReturned) noexcept {
    const auto* input = static_cast<const std::uint8_t*>(in);
    const std::lock_guard<std::mutex> lock(mutex_);
    const bool reachable = state_.model.reachable();

    RequestRecord record;
    record.code = code;
    record.handle = static_cast<std::int64_t>(handle);
    record.inLength = inLength;
    record.outLength = outLength;
    if (input != nullptr) {
        std::memcpy(record.in.data(), input, std::min<std::size_t>(inLength, kLoggedInputBytes));
    }

    RequestStats& stats = state_.statsFor(statsSlotOf(code));
    ++stats.issued;
    std::uint32_t returned = 0;
    const auto open = state_.handles.find(handle);
    if (open == state_.handles.end() || !requestWellFormed(code, input, inLength, out, outLength)) {
        record.refused = true;
        ++stats.refused;
        ++state_.malformed;
    } else if (reachable && open->second == state_.model.plugGeneration()) {
        record.result = dispatch(code, input, out, outLength, returned);
    }
    if (!record.result) {
        returned = 0;
    } else {
        ++stats.succeeded;
    }
    record.bytesReturned = returned;
    if (bytesReturned != nullptr) {
        *bytesReturned = returned;
    }
    state_.requests.add(record);
    return record.result;
}

bool SimDriver::dispatch(std::uint32_t code, const std::uint8_t* in, void* out,
                         std::uint32_t outLength, std::uint32_t& returned) {
    FirmwareModel& model = state_.model;
    const SimClock::time_point now = SimClock::now();
    auto* bytes = static_cast<std::uint8_t*>(out);
    switch (code) {
    case kIoctlGetDescriptor:
        returned = model.readDescriptor(bytes, outLength);
        return true;
    case kIoctlVendorRequest:
        switch (in[4]) {
        case kRequestSetOutput:
            model.setOutputs(readU16(in + 6));
            return true;
        case kRequestClearOutput:
            model.clearOutputs(readU16(in + 6));
            return true;
        default:
            bytes[0] = model.readInputPort(now);
            returned = 1;
            return true;
        }
    case kIoctlBulkRead:
        return model.readPipe(bytes, outLength, returned, now);
    case kIoctlBulkWrite:
        if (!model.writePacket(bytes, now)) {
            return false;
        }
        returned = kPacketLength;
        return true;
    case kIoctlAbortPipe:
        model.abortReadPipe();
        return true;
    case kIoctlResetPipe:
        model.resetReadPipe(now);
        return true;
    default:
        return false;
    }
}

void SimDriver::recordMessage(void* window, std::uint32_t message, std::uintptr_t wParam,
                              std::intptr_t lParam) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    state_.messages.add(MessageRecord{window, message, wParam, lParam});
}

} // namespace mv620::sim
