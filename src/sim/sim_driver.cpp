#include "sim/sim_driver.h"

#include "platform/window.h"
#include "sim/sim_environment.h"
#include "sim/virtual_clock.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

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

LoadOptions optionsFromTheEnvironment() noexcept {
    // Read once while the library loads, before any thread of it runs.
    return loadOptionsFrom([](const char* name) -> const char* {
        return std::getenv(name); // NOLINT(concurrency-mt-unsafe)
    });
}

// The process's simulated instrument, with what it installs into the platform while it lives:
// the observer of the library's window messages and, when the environment asks for it, the
// virtual clock.
struct ProcessInstrument {
    explicit ProcessInstrument(const LoadOptions& options)
        : driver(options.settings, options.requestMicroseconds) {
        platform::setWindowMessageObserver(&observeMessage);
        if (options.virtualClock) {
            startVirtualClock(kEnvironmentClockStart);
        }
    }
    ~ProcessInstrument() {
        platform::setWindowMessageObserver(nullptr);
        stopVirtualClock();
    }
    ProcessInstrument(const ProcessInstrument&) = delete;
    ProcessInstrument& operator=(const ProcessInstrument&) = delete;

    SimDriver driver;
};

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
    byteCountsReported = true;
}

SimDriver& SimDriver::instance() noexcept {
    // Made on first use, which the module's load makes (and the library's load, which asks for
    // its driver backend before anything else), so it is destroyed at unload only after the
    // library's own unload has stopped and joined the acquisition thread that uses it.
    static ProcessInstrument instrument(optionsFromTheEnvironment());
    return instrument.driver;
}

platform::DeviceHandle SimDriver::open(const char* path) noexcept {
    const platform::ScopedLock<FairMutex> lock(mutex_);
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
    const platform::ScopedLock<FairMutex> lock(mutex_);
    RequestStats& stats = state_.statsFor(StatsSlot::Close);
    ++stats.issued;
    if (state_.handles.erase(handle) == 0) {
        ++stats.refused; // never opened, or closed twice
        ++state_.malformed;
        return;
    }
    ++stats.succeeded;
}

SimDriver::Admission SimDriver::admit(platform::DeviceHandle handle, std::uint32_t code,
                                      const std::uint8_t* in, std::uint32_t inLength,
                                      const void* out, std::uint32_t outLength,
                                      RequestRecord& record) {
    const bool reachable = state_.model.reachable();
    record.code = code;
    record.handle = static_cast<std::int64_t>(handle);
    record.inLength = inLength;
    record.outLength = outLength;
    if (in != nullptr) {
        std::memcpy(record.in.data(), in, std::min<std::size_t>(inLength, kLoggedInputBytes));
    }
    RequestStats& stats = state_.statsFor(statsSlotOf(code));
    ++stats.issued;
    const auto open = state_.handles.find(handle);
    if (open == state_.handles.end() || !requestWellFormed(code, in, inLength, out, outLength)) {
        record.refused = true;
        ++stats.refused;
        ++state_.malformed;
        return Admission::Refused;
    }
    return reachable && open->second == state_.model.plugGeneration() ? Admission::Carry
                                                                      : Admission::DeviceGone;
}

bool SimDriver::finish(RequestRecord& record, std::uint32_t returned,
                       std::uint32_t* bytesReturned) noexcept {
    if (!record.result) {
        returned = 0;
    } else {
        ++state_.statsFor(statsSlotOf(record.code)).succeeded;
        if (!state_.byteCountsReported) {
            returned = 0;
        }
    }
    record.bytesReturned = returned;
    if (bytesReturned != nullptr) {
        *bytesReturned = returned;
    }
    try {
        state_.requests.add(record);
    } catch (...) { // out of memory: the log misses this one
    }
    return record.result;
}

void SimDriver::takeRequestTime() const noexcept {
    const std::uint32_t microseconds = requestMicroseconds_.load(std::memory_order_relaxed);
    if (microseconds != 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
    }
}

bool SimDriver::control(platform::DeviceHandle handle, std::uint32_t code, const void* in,
                        std::uint32_t inLength, void* out, std::uint32_t outLength,
                        std::uint32_t* bytesReturned) noexcept {
    const auto* input = static_cast<const std::uint8_t*>(in);
    takeRequestTime(); // the round trip, before the driver's locks are taken
    if (code == kIoctlBulkRead) {
        return readPipe(handle, input, inLength, out, outLength, bytesReturned);
    }
    const platform::ScopedLock<FairMutex> lock(mutex_);
    RequestRecord record;
    std::uint32_t returned = 0;
    if (admit(handle, code, input, inLength, out, outLength, record) == Admission::Carry) {
        try {
            record.result = dispatch(code, input, out, outLength, returned);
        } catch (...) { // out of memory in the firmware's logs: the request fails
            record.result = false;
        }
    }
    return finish(record, returned, bytesReturned);
}

// A read of the read pipe: decided under the lock, carried out (the block's samples made and
// copied into the host's buffer) outside it, then counted under the lock again.
bool SimDriver::readPipe(platform::DeviceHandle handle, const std::uint8_t* in,
                         std::uint32_t inLength, void* out, std::uint32_t outLength,
                         std::uint32_t* bytesReturned) noexcept {
    const platform::ScopedLock<platform::Mutex> oneReadAtATime(readLock_);
    RequestRecord record;
    PipeRead read;
    {
        const platform::ScopedLock<FairMutex> lock(mutex_);
        if (admit(handle, kIoctlBulkRead, in, inLength, out, outLength, record) ==
            Admission::Carry) {
            try {
                read = state_.model.planRead(outLength, SimClock::now());
            } catch (...) { // out of memory: the read fails, taking nothing
                read = PipeRead{};
            }
        }
    }
    if (read.ok) {
        fillRead(read, static_cast<std::uint8_t*>(out));
    }
    const platform::ScopedLock<FairMutex> lock(mutex_);
    record.result = read.ok;
    return finish(record, read.bytes(), bytesReturned);
}

void SimDriver::fillRead(const PipeRead& read, std::uint8_t* out) noexcept {
    state_.model.fillRead(read, out);
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
    const platform::ScopedLock<FairMutex> lock(mutex_);
    try {
        state_.messages.add(MessageRecord{window, message, wParam, lParam});
    } catch (...) { // out of memory: the log misses this one
    }
}

} // namespace mv620::sim
