#include "instrument_host.h"

#include "sim/sim_driver.h"
#include "sim/sim_protocol.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

namespace mv620::kerneltest {

namespace {

// Room in each direction of a pipe instance: a whole forwarded request fits.
constexpr DWORD kPipeBufferBytes = sizeof(ForwardedRequest) + 2 * FORWARDING_MAX_TRANSFER;

bool readAll(HANDLE pipe, void* data, std::uint32_t length) {
    auto* bytes = static_cast<std::uint8_t*>(data);
    while (length > 0) {
        DWORD read = 0;
        if (ReadFile(pipe, bytes, length, &read, nullptr) == FALSE || read == 0) {
            return false;
        }
        bytes += read;
        length -= read;
    }
    return true;
}

bool writeAll(HANDLE pipe, const void* data, std::uint32_t length) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (length > 0) {
        DWORD written = 0;
        if (WriteFile(pipe, bytes, length, &written, nullptr) == FALSE || written == 0) {
            return false;
        }
        bytes += written;
        length -= written;
    }
    return true;
}

HANDLE createInstance(bool first) {
    const DWORD openMode = PIPE_ACCESS_DUPLEX | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0U);
    // The driver connects to the pipe of the process whose request it handles.
    static const std::string name =
        std::string(FORWARDING_PIPE_NAME) + "-" + std::to_string(GetCurrentProcessId());
    return CreateNamedPipeA(name.c_str(), openMode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0,
                            nullptr);
}

bool sendReply(HANDLE pipe, const DriverEvent& event, const std::uint8_t* data) {
    const std::uint32_t bytesReturned = event.bytesReturned;
    const std::uint32_t dataLength = event.dataLength;
    ForwardedReply reply{};
    reply.magic = FORWARDING_MAGIC;
    reply.succeeded = event.succeeded ? FORWARDED_SUCCEEDED
                      : event.gone    ? FORWARDED_FAILED_GONE
                                      : FORWARDED_FAILED;
    reply.bytesReturned = bytesReturned;
    reply.dataLength = dataLength;
    return writeAll(pipe, &reply, sizeof(reply)) &&
           (dataLength == 0 || writeAll(pipe, data, dataLength));
}

} // namespace

InstrumentHost& InstrumentHost::instance() {
    // Never destroyed: its threads serve until the process ends.
    static InstrumentHost& host = *new InstrumentHost();
    return host;
}

InstrumentHost::InstrumentHost() {
    static_cast<void>(sim::SimDriver::instance());
    HANDLE first = createInstance(true);
    if (first == INVALID_HANDLE_VALUE) {
        failure_ = GetLastError() == ERROR_ACCESS_DENIED
                       ? "another program already answers for the instrument on the pipe"
                       : "the pipe for the kernel driver could not be created";
        return;
    }
    std::thread([this, first] { listen(first); }).detach();
}

void InstrumentHost::listen(void* firstInstance) {
    HANDLE instance = firstInstance;
    for (;;) {
        const bool connected =
            ConnectNamedPipe(instance, nullptr) != FALSE || GetLastError() == ERROR_PIPE_CONNECTED;
        // The next instance exists before this one is served or let go, so the pipe never has
        // no instance at all (the driver would take that for no host, an absent instrument):
        // the driver finds every instance busy for a moment at most, and tries again.
        HANDLE next = createInstance(false);
        if (connected) {
            std::thread([this, instance] { serve(instance); }).detach();
        } else {
            CloseHandle(instance);
        }
        if (next == INVALID_HANDLE_VALUE) {
            return;
        }
        instance = next;
    }
}

void InstrumentHost::serve(void* pipe) {
    sim::SimDriver& driver = sim::SimDriver::instance();
    std::vector<std::uint8_t> input;
    std::vector<std::uint8_t> output;
    // The simulated driver's handle of a session; the invalid handle for one it does not know.
    const auto handleOf = [this](std::uint32_t file) {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = files_.find(file);
        return found != files_.end() ? found->second : platform::kInvalidDevice;
    };
    for (;;) {
        DriverEvent event;
        ForwardedRequest& request = event.request;
        if (!readAll(pipe, &request, sizeof(request)) || request.magic != FORWARDING_MAGIC) {
            break;
        }
        event.file = request.file;
        if (request.kind == FORWARDED_CREATE) {
            // Only the device itself opens: a name below it is a path the instrument's driver
            // does not have.
            platform::DeviceHandle handle = platform::kInvalidDevice;
            if (request.fileNameLength == 0 && handleOf(request.file) == platform::kInvalidDevice) {
                handle = driver.open(sim::kDevicePath);
            }
            if (handle != platform::kInvalidDevice) {
                const std::lock_guard<std::mutex> lock(mutex_);
                files_[request.file] = handle;
            }
            event.succeeded = handle != platform::kInvalidDevice;
            event.gone = !event.succeeded && goneFor(platform::kInvalidDevice);
        } else if (request.kind == FORWARDED_CONTROL) {
            if (request.inLength > FORWARDING_MAX_TRANSFER ||
                request.outLength > FORWARDING_MAX_TRANSFER ||
                request.outContentLength > request.outLength) {
                record(event); // the conversation is out of step: end it
                break;
            }
            input.assign(request.inLength, 0);
            output.assign(request.outLength, 0);
            if (!readAll(pipe, input.data(), request.inLength) ||
                !readAll(pipe, output.data(), request.outContentLength)) {
                record(event);
                break;
            }
            std::uint32_t returned = 0;
            event.succeeded = driver.control(
                handleOf(request.file), request.code,
                request.inLength != 0 ? input.data() : nullptr, request.inLength,
                request.outLength != 0 ? output.data() : nullptr, request.outLength, &returned);
            event.bytesReturned = event.succeeded ? returned : 0;
            event.gone = !event.succeeded && goneFor(handleOf(request.file));
            // A bulk write's buffer holds the bytes that went out: nothing comes back in it.
            if (event.succeeded && request.code != sim::kIoctlBulkWrite) {
                event.dataLength = std::min(event.bytesReturned, request.outLength);
            }
            std::memcpy(event.in.data(), input.data(),
                        std::min<std::size_t>(input.size(), event.in.size()));
            std::memcpy(event.out.data(), output.data(),
                        std::min<std::size_t>(event.dataLength, event.out.size()));
        } else {
            // A close or a refusal: told, not answered.
            if (request.kind == FORWARDED_CLOSE) {
                const platform::DeviceHandle handle = handleOf(request.file);
                if (handle != platform::kInvalidDevice) {
                    driver.close(handle);
                    const std::lock_guard<std::mutex> lock(mutex_);
                    files_.erase(request.file);
                }
            }
            record(event);
            continue;
        }
        // Recorded before the answer: the caller may look at the log as soon as it has it.
        event.answered = true;
        record(event);
        if (!sendReply(pipe, event, output.data())) {
            break;
        }
    }
    // The driver dropped the connection (it stopped, or found it broken); its sessions live on
    // until their closes, which a new connection brings.
    CloseHandle(pipe);
}

bool InstrumentHost::goneFor(std::intptr_t handle) {
    return sim::SimDriver::instance().withState([handle](sim::DriverState& state) {
        if (!state.model.reachable()) {
            return true;
        }
        const auto open = state.handles.find(handle);
        return handle != platform::kInvalidDevice &&
               (open == state.handles.end() || open->second != state.model.plugGeneration());
    });
}

void InstrumentHost::record(const DriverEvent& event) {
    const std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
}

std::vector<DriverEvent> InstrumentHost::events() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

void InstrumentHost::clearEvents() {
    const std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

int InstrumentHost::openFiles() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(files_.size());
}

} // namespace mv620::kerneltest
