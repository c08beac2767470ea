// The test winusb.dll: the WinUSB functions the product's WinUSB backend calls, over the same
// instrument host the kernel-driver tests use (kernel_driver/instrument_host.h). Wine's own
// winusb.dll is stubs; this one is copied into the test prefix's system folder and chosen with
// WINEDLLOVERRIDES=winusb=n, so the unchanged product DLL reaches the simulated instrument of the
// test program through WinUSB.
//
// Each call becomes the driver request the instrument host answers, as the legacy kernel driver
// would have forwarded it, so the host's log reads the same whichever way a request came:
//
//   WinUsb_Initialize / WinUsb_Free   a session opened / closed
//   WinUsb_GetDescriptor              the descriptor request
//   WinUsb_ControlTransfer            a vendor request, its VendorRequestBlock from the setup
//   packet WinUsb_ReadPipe / WinUsb_WritePipe  a bulk read on pipe 0 / a bulk write on pipe 1
//   WinUsb_AbortPipe / WinUsb_ResetPipe  an abort / a reset of the pipe
//
// It keeps WinUSB's documented rules, and fails a call that breaks one with
// ERROR_INVALID_PARAMETER (or ERROR_INVALID_HANDLE): the file handle must be opened for
// overlapped I/O, one WinUsb_Initialize per file handle, and one interface handle on the
// instrument at a time, across processes (another is refused with ERROR_ACCESS_DENIED, as when
// another program holds it; the device files of one folder are one instrument);
// pipe IDs must be the interface's, in the right direction; policies take their documented
// sizes. A pipe that has PIPE_TRANSFER_TIMEOUT set reports a read the instrument answered short
// as WinUSB reports a time-out part-way (ERROR_SEM_TIMEOUT with the bytes moved); a failed
// transfer is a stall (ERROR_GEN_FAILURE), and one on a gone instrument fails with the error
// MV620TestWinusb_SetGoneError chose. Overlapped calls complete before they return, through
// the OVERLAPPED as the system completes them (status and count, then the event).
#include <windows.h>

#include <winternl.h>
#include <winusb.h>

#include "../../support/expected_protocol.h"
#include "../kernel_driver/forwarding.h"
#include "test_winusb.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

// The legacy driver's requests, as the instrument host takes them.
using mv620::expected::kAbortCode;
using mv620::expected::kBulkReadCode;
using mv620::expected::kBulkWriteCode;
using mv620::expected::kDescriptorCode;
using mv620::expected::kResetCode;
using mv620::expected::kVendorCode;
constexpr unsigned kDescriptorBufferBytes = 146;

// The instrument's interface 0: its bulk OUT pipe, then its bulk IN pipe (an order the
// instrument does not promise: the backend must find them by direction), with the pipe index
// of the legacy driver each stands for.
struct Pipe {
    UCHAR id;
    std::uint32_t driverPipe;
};
constexpr std::array<Pipe, 2> kPipes = {{{0x02, 1}, {0x82, 0}}};

const Pipe* pipeOf(UCHAR id) {
    for (const Pipe& pipe : kPipes) {
        if (pipe.id == id) {
            return &pipe;
        }
    }
    return nullptr;
}

constexpr DWORD kErrorNoSuchDevice = 433; // ERROR_NO_SUCH_DEVICE, which mingw-w64 lacks

// NTSTATUS of each error a call ends with, for an OVERLAPPED's status.
NTSTATUS statusOf(DWORD error) {
    switch (error) {
    case ERROR_SUCCESS:
        return 0;
    case ERROR_SEM_TIMEOUT:
        return static_cast<NTSTATUS>(0xC00000B5L); // STATUS_IO_TIMEOUT
    case ERROR_GEN_FAILURE:
        return static_cast<NTSTATUS>(0xC0000001L); // STATUS_UNSUCCESSFUL
    case ERROR_DEVICE_NOT_CONNECTED:
        return static_cast<NTSTATUS>(0xC000009DL);
    case kErrorNoSuchDevice:
        return static_cast<NTSTATUS>(0xC000000EL);
    case ERROR_BAD_COMMAND:
        return static_cast<NTSTATUS>(0xC0000184L); // STATUS_INVALID_DEVICE_STATE
    case ERROR_OPERATION_ABORTED:
        return static_cast<NTSTATUS>(0xC0000120L); // STATUS_CANCELLED
    default:
        return static_cast<NTSTATUS>(0xC000000DL); // STATUS_INVALID_PARAMETER
    }
}

// ---- The conversation with the instrument host ------------------------------------------------

struct Reply {
    bool succeeded = false;
    bool gone = false;
    std::uint32_t bytesReturned = 0;
    std::vector<std::uint8_t> data;
};

bool readAll(HANDLE pipe, void* data, DWORD length) {
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

bool writeAll(HANDLE pipe, const void* data, DWORD length) {
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

class Host {
public:
    // Sends one message; waits for the answer of a create or a control request. A host that
    // cannot be reached answers nothing: the request fails, the instrument gone.
    Reply send(unsigned kind, unsigned file, unsigned code, const void* in, unsigned inLength,
               unsigned outLength, const void* outContent, unsigned outContentLength) {
        Reply reply;
        reply.gone = true;
        HANDLE pipe = take();
        if (pipe == INVALID_HANDLE_VALUE) {
            return reply;
        }
        ForwardedRequest request{};
        request.magic = FORWARDING_MAGIC;
        request.kind = kind;
        request.file = file;
        request.code = code;
        request.inLength = inLength;
        request.outLength = outLength;
        request.outContentLength = outContentLength;
        bool ok = writeAll(pipe, &request, sizeof(request)) &&
                  (inLength == 0 || writeAll(pipe, in, inLength)) &&
                  (outContentLength == 0 || writeAll(pipe, outContent, outContentLength));
        if (ok && kind != FORWARDED_CLOSE) {
            ForwardedReply answer{};
            ok = readAll(pipe, &answer, sizeof(answer)) && answer.magic == FORWARDING_MAGIC &&
                 answer.dataLength <= outLength;
            if (ok) {
                reply.data.resize(answer.dataLength);
                ok = answer.dataLength == 0 || readAll(pipe, reply.data.data(), answer.dataLength);
                reply.succeeded = answer.succeeded == FORWARDED_SUCCEEDED;
                reply.gone = answer.succeeded == FORWARDED_FAILED_GONE;
                reply.bytesReturned = answer.bytesReturned;
            }
        }
        if (ok) {
            give(pipe);
        } else {
            CloseHandle(pipe);
            reply = Reply{};
            reply.gone = true;
        }
        return reply;
    }

private:
    // A connection of this process to the host: a free one, or a new one. Each carries one
    // request at a time, so threads that call at once each have their own.
    HANDLE take() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!free_.empty()) {
                HANDLE pipe = free_.back();
                free_.pop_back();
                return pipe;
            }
        }
        const std::string name =
            std::string(FORWARDING_PIPE_NAME) + "-" + std::to_string(GetCurrentProcessId());
        for (int attempt = 0; attempt < 100; ++attempt) {
            HANDLE pipe = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
            if (pipe != INVALID_HANDLE_VALUE) {
                return pipe;
            }
            if (GetLastError() != ERROR_PIPE_BUSY) {
                return INVALID_HANDLE_VALUE; // no host in this process
            }
            WaitNamedPipeA(name.c_str(), 100);
        }
        return INVALID_HANDLE_VALUE;
    }

    void give(HANDLE pipe) {
        const std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(pipe);
    }

    std::mutex mutex_;
    std::vector<HANDLE> free_;
};

Host& host() {
    static Host& instance = *new Host(); // never destroyed: calls may come during unload
    return instance;
}

// ---- Interfaces, and the log -------------------------------------------------------------------

struct Interface {
    HANDLE file = nullptr;
    HANDLE held = nullptr; // the instrument's lock, see holdInstrument
    unsigned session = 0;
    std::map<UCHAR, ULONG> timeouts; // PIPE_TRANSFER_TIMEOUT by pipe ID, 0 the control pipe
};

std::mutex stateMutex;
std::vector<Interface*> interfaces; // live interface handles
std::vector<TestWinusbCall> calls;  // the log
unsigned nextSession = FORWARDING_WINUSB_FIRST_FILE;
DWORD goneError = ERROR_DEVICE_NOT_CONNECTED;
std::wstring refusedSuffix;
std::wstring lastDevice;

Interface* find(WINUSB_INTERFACE_HANDLE handle) {
    const std::lock_guard<std::mutex> lock(stateMutex);
    const auto found = std::find(interfaces.begin(), interfaces.end(), handle);
    return found != interfaces.end() ? *found : nullptr;
}

void log(const char* function, unsigned pipe, unsigned length, unsigned value, DWORD error,
         unsigned moved, bool overlapped) {
    TestWinusbCall call{};
    std::snprintf(call.function, sizeof(call.function), "%s", function);
    call.pipe = pipe;
    call.length = length;
    call.value = value;
    call.error = error;
    call.moved = moved;
    call.overlapped = overlapped ? 1U : 0U;
    const std::lock_guard<std::mutex> lock(stateMutex);
    calls.push_back(call);
}

// Ends a call: logs it, and reports it as WinUSB does, synchronously or through the OVERLAPPED.
BOOL complete(const char* function, unsigned pipe, unsigned length, unsigned value, DWORD error,
              unsigned moved, PULONG transferred, LPOVERLAPPED overlapped) {
    log(function, pipe, length, value, error, moved, overlapped != nullptr);
    if (overlapped != nullptr && error != ERROR_INVALID_PARAMETER &&
        error != ERROR_INVALID_HANDLE) {
        overlapped->Internal = static_cast<ULONG_PTR>(statusOf(error));
        overlapped->InternalHigh = moved;
        if (overlapped->hEvent != nullptr) {
            SetEvent(overlapped->hEvent);
        }
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (transferred != nullptr) {
        *transferred = moved;
    }
    SetLastError(error);
    return error == ERROR_SUCCESS ? TRUE : FALSE;
}

// The error of a failed request: gone, or the instrument's own refusal (a stall).
DWORD failureOf(const Reply& reply) {
    if (reply.gone) {
        const std::lock_guard<std::mutex> lock(stateMutex);
        return goneError;
    }
    return ERROR_GEN_FAILURE;
}

std::array<std::uint8_t, 4> pipeBlock(std::uint32_t pipe) {
    return {static_cast<std::uint8_t>(pipe), static_cast<std::uint8_t>(pipe >> 8U),
            static_cast<std::uint8_t>(pipe >> 16U), static_cast<std::uint8_t>(pipe >> 24U)};
}

std::wstring fileNameOf(HANDLE file) {
    std::array<wchar_t, MAX_PATH> name{};
    const DWORD length =
        GetFinalPathNameByHandleW(file, name.data(), static_cast<DWORD>(name.size()), 0);
    return length > 0 && length < name.size() ? std::wstring(name.data(), length) : L"";
}

bool endsWith(const std::wstring& text, const std::wstring& suffix) {
    return text.size() >= suffix.size() &&
           std::equal(suffix.rbegin(), suffix.rend(), text.rbegin(),
                      [](wchar_t a, wchar_t b) { return towlower(a) == towlower(b); });
}

// Takes the lock of the instrument whose device file is `device`: "instrument.lock" in its
// folder, locked whole while the handle this returns is open; INVALID_HANDLE_VALUE when another
// handle holds it.
HANDLE holdInstrument(const std::wstring& device) {
    const std::size_t slash = device.find_last_of(L'\\');
    const std::wstring path =
        (slash == std::wstring::npos ? L"." : device.substr(0, slash)) + L"\\instrument.lock";
    const HANDLE lock =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, 0, nullptr);
    if (lock == INVALID_HANDLE_VALUE) {
        return lock;
    }
    OVERLAPPED region{};
    if (LockFileEx(lock, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &region) ==
        FALSE) {
        CloseHandle(lock);
        return INVALID_HANDLE_VALUE;
    }
    return lock;
}

bool openedForOverlappedIo(HANDLE file) {
    constexpr ULONG kSynchronousModes = 0x10 | 0x20; // FILE_SYNCHRONOUS_IO_ALERT, _NONALERT
    IO_STATUS_BLOCK status{};
    FILE_MODE_INFORMATION mode{};
    return NtQueryInformationFile(file, &status, &mode, sizeof(mode), FileModeInformation) >= 0 &&
           (mode.Mode & kSynchronousModes) == 0;
}

} // namespace

extern "C" {

BOOL WINAPI WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
    const auto refuse = [](DWORD error) {
        log("WinUsb_Initialize", 0, 0, 0, error, 0, false);
        SetLastError(error);
        return FALSE;
    };
    if (handle == nullptr || file == nullptr || file == INVALID_HANDLE_VALUE) {
        return refuse(ERROR_INVALID_PARAMETER);
    }
    if (!openedForOverlappedIo(file)) {
        return refuse(ERROR_INVALID_PARAMETER); // WinUSB needs FILE_FLAG_OVERLAPPED
    }
    const std::wstring name = fileNameOf(file);
    DWORD refusal = ERROR_SUCCESS;
    {
        const std::lock_guard<std::mutex> lock(stateMutex);
        for (const Interface* other : interfaces) {
            if (other->file == file) {
                refusal = ERROR_INVALID_PARAMETER; // one WinUsb_Initialize per handle
            }
        }
        if (!refusedSuffix.empty() && endsWith(name, refusedSuffix)) {
            refusal = ERROR_ACCESS_DENIED;
        }
    }
    if (refusal != ERROR_SUCCESS) {
        return refuse(refusal);
    }
    // One interface handle on the instrument at a time, across processes. Every device file in
    // a folder stands for the one instrument (registered both ways a WinUSB driver can be
    // bound), so the lock is the folder's.
    const HANDLE held = holdInstrument(name);
    if (held == INVALID_HANDLE_VALUE) {
        return refuse(ERROR_ACCESS_DENIED);
    }
    unsigned session = 0;
    {
        const std::lock_guard<std::mutex> lock(stateMutex);
        session = nextSession++;
    }
    const Reply reply = host().send(FORWARDED_CREATE, session, 0, nullptr, 0, 0, nullptr, 0);
    if (!reply.succeeded) {
        CloseHandle(held);
        return refuse(failureOf(reply));
    }
    auto* created = new Interface{file, held, session, {}};
    {
        const std::lock_guard<std::mutex> lock(stateMutex);
        interfaces.push_back(created);
        lastDevice = name;
    }
    *handle = created;
    log("WinUsb_Initialize", 0, 0, session, ERROR_SUCCESS, 0, false);
    return TRUE;
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
    Interface* freed = nullptr;
    {
        const std::lock_guard<std::mutex> lock(stateMutex);
        const auto found = std::find(interfaces.begin(), interfaces.end(), handle);
        if (found != interfaces.end()) {
            freed = *found;
            interfaces.erase(found);
        }
    }
    if (freed == nullptr) {
        log("WinUsb_Free", 0, 0, 0, ERROR_INVALID_HANDLE, 0, false);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    host().send(FORWARDED_CLOSE, freed->session, 0, nullptr, 0, 0, nullptr, 0);
    CloseHandle(freed->held);
    log("WinUsb_Free", 0, 0, freed->session, ERROR_SUCCESS, 0, false);
    delete freed;
    return TRUE;
}

BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE handle, UCHAR type, UCHAR index,
                                 USHORT language, PUCHAR buffer, ULONG length, PULONG transferred) {
    const char* name = "WinUsb_GetDescriptor";
    Interface* device = find(handle);
    if (device == nullptr) {
        return complete(name, type, length, 0, ERROR_INVALID_HANDLE, 0, transferred, nullptr);
    }
    // The device descriptor only: the library asks for nothing else.
    if (type != 1 || index != 0 || language != 0 || buffer == nullptr || transferred == nullptr) {
        return complete(name, type, length, 0, ERROR_INVALID_PARAMETER, 0, transferred, nullptr);
    }
    const Reply reply = host().send(FORWARDED_CONTROL, device->session, kDescriptorCode, nullptr, 0,
                                    kDescriptorBufferBytes, nullptr, 0);
    if (!reply.succeeded) {
        return complete(name, type, length, 0, failureOf(reply), 0, transferred, nullptr);
    }
    const auto moved = std::min<ULONG>(length, static_cast<ULONG>(reply.data.size()));
    std::memcpy(buffer, reply.data.data(), moved);
    return complete(name, type, length, 0, ERROR_SUCCESS, moved, transferred, nullptr);
}

BOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR setting,
                                          PUSB_INTERFACE_DESCRIPTOR descriptor) {
    const char* name = "WinUsb_QueryInterfaceSettings";
    if (find(handle) == nullptr) {
        return complete(name, setting, 0, 0, ERROR_INVALID_HANDLE, 0, nullptr, nullptr);
    }
    if (setting != 0 || descriptor == nullptr) {
        return complete(name, setting, 0, 0, ERROR_NO_MORE_ITEMS, 0, nullptr, nullptr);
    }
    *descriptor = USB_INTERFACE_DESCRIPTOR{};
    descriptor->bLength = sizeof(USB_INTERFACE_DESCRIPTOR);
    descriptor->bDescriptorType = 4;
    descriptor->bNumEndpoints = static_cast<UCHAR>(kPipes.size());
    descriptor->bInterfaceClass = 0xFF;
    return complete(name, setting, 0, 0, ERROR_SUCCESS, 0, nullptr, nullptr);
}

BOOL WINAPI WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR setting, UCHAR index,
                             PWINUSB_PIPE_INFORMATION information) {
    const char* name = "WinUsb_QueryPipe";
    if (find(handle) == nullptr) {
        return complete(name, index, 0, 0, ERROR_INVALID_HANDLE, 0, nullptr, nullptr);
    }
    if (setting != 0 || index >= kPipes.size() || information == nullptr) {
        return complete(name, index, 0, 0, ERROR_NO_MORE_ITEMS, 0, nullptr, nullptr);
    }
    *information = WINUSB_PIPE_INFORMATION{};
    information->PipeType = UsbdPipeTypeBulk;
    information->PipeId = kPipes[index].id;
    information->MaximumPacketSize = 512;
    return complete(name, index, 0, kPipes[index].id, ERROR_SUCCESS, 0, nullptr, nullptr);
}

BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, ULONG policy,
                                 ULONG length, PVOID value) {
    const char* name = "WinUsb_SetPipePolicy";
    Interface* device = find(handle);
    if (device == nullptr) {
        return complete(name, pipe, length, 0, ERROR_INVALID_HANDLE, 0, nullptr, nullptr);
    }
    // PIPE_TRANSFER_TIMEOUT: a ULONG, on the control pipe (0) or one of the interface's.
    if (policy != PIPE_TRANSFER_TIMEOUT || length != sizeof(ULONG) || value == nullptr ||
        (pipe != 0 && pipeOf(pipe) == nullptr)) {
        return complete(name, pipe, length, policy, ERROR_INVALID_PARAMETER, 0, nullptr, nullptr);
    }
    const ULONG milliseconds = *static_cast<const ULONG*>(value);
    {
        const std::lock_guard<std::mutex> lock(stateMutex);
        device->timeouts[pipe] = milliseconds;
    }
    return complete(name, pipe, length, milliseconds, ERROR_SUCCESS, 0, nullptr, nullptr);
}

BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE handle, WINUSB_SETUP_PACKET setup,
                                   PUCHAR buffer, ULONG length, PULONG transferred,
                                   LPOVERLAPPED overlapped) {
    const char* name = "WinUsb_ControlTransfer";
    const unsigned packed =
        setup.RequestType | (setup.Request << 8U) | (static_cast<unsigned>(setup.Value) << 16U);
    Interface* device = find(handle);
    if (device == nullptr) {
        return complete(name, 0, length, packed, ERROR_INVALID_HANDLE, 0, transferred, overlapped);
    }
    if (setup.Length != length || (length > 0 && buffer == nullptr) ||
        (transferred == nullptr && overlapped == nullptr)) {
        return complete(name, 0, length, packed, ERROR_INVALID_PARAMETER, 0, transferred,
                        overlapped);
    }
    // The VendorRequestBlock the legacy driver takes: direction, type, recipient, reserved,
    // request, alignment, value and index.
    const std::array<std::uint8_t, 10> block = {
        static_cast<std::uint8_t>(setup.RequestType >> 7U),
        static_cast<std::uint8_t>((setup.RequestType >> 5U) & 3U),
        static_cast<std::uint8_t>(setup.RequestType & 0x1FU),
        0,
        setup.Request,
        0,
        static_cast<std::uint8_t>(setup.Value & 0xFFU),
        static_cast<std::uint8_t>(setup.Value >> 8U),
        static_cast<std::uint8_t>(setup.Index & 0xFFU),
        static_cast<std::uint8_t>(setup.Index >> 8U)};
    const Reply reply = host().send(FORWARDED_CONTROL, device->session, kVendorCode, block.data(),
                                    10, length, buffer, length);
    if (!reply.succeeded) {
        return complete(name, 0, length, packed, failureOf(reply), 0, transferred, overlapped);
    }
    if ((setup.RequestType & 0x80U) != 0 && !reply.data.empty()) {
        std::memcpy(buffer, reply.data.data(), std::min<std::size_t>(length, reply.data.size()));
    }
    return complete(name, 0, length, packed, ERROR_SUCCESS, reply.bytesReturned, transferred,
                    overlapped);
}

namespace {

BOOL transfer(const char* name, WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer,
              ULONG length, PULONG transferred, LPOVERLAPPED overlapped, bool read) {
    Interface* device = find(handle);
    if (device == nullptr) {
        return complete(name, pipeId, length, 0, ERROR_INVALID_HANDLE, 0, transferred, overlapped);
    }
    const Pipe* pipe = pipeOf(pipeId);
    const bool in = (pipeId & 0x80U) != 0;
    if (pipe == nullptr || in != read || (length > 0 && buffer == nullptr) ||
        (transferred == nullptr && overlapped == nullptr)) {
        return complete(name, pipeId, length, 0, ERROR_INVALID_PARAMETER, 0, transferred,
                        overlapped);
    }
    const auto block = pipeBlock(pipe->driverPipe);
    const Reply reply = read ? host().send(FORWARDED_CONTROL, device->session, kBulkReadCode,
                                           block.data(), 4, length, nullptr, 0)
                             : host().send(FORWARDED_CONTROL, device->session, kBulkWriteCode,
                                           block.data(), 4, length, buffer, length);
    if (!reply.succeeded) {
        return complete(name, pipeId, length, 0, failureOf(reply), 0, transferred, overlapped);
    }
    ULONG timeout = 0;
    {
        const std::lock_guard<std::mutex> lock(stateMutex);
        const auto found = device->timeouts.find(pipeId);
        timeout = found != device->timeouts.end() ? found->second : 0;
    }
    if (read) {
        std::memcpy(buffer, reply.data.data(), reply.data.size());
        // A read answered short on a pipe with a time-out: the rest did not come in time.
        if (reply.data.size() < length && timeout != 0) {
            return complete(name, pipeId, length, timeout, ERROR_SEM_TIMEOUT,
                            static_cast<unsigned>(reply.data.size()), transferred, overlapped);
        }
    }
    return complete(name, pipeId, length, timeout, ERROR_SUCCESS, reply.bytesReturned, transferred,
                    overlapped);
}

BOOL pipeRequest(const char* name, WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, unsigned code) {
    Interface* device = find(handle);
    if (device == nullptr) {
        return complete(name, pipeId, 0, 0, ERROR_INVALID_HANDLE, 0, nullptr, nullptr);
    }
    const Pipe* pipe = pipeOf(pipeId);
    if (pipe == nullptr) {
        return complete(name, pipeId, 0, 0, ERROR_INVALID_PARAMETER, 0, nullptr, nullptr);
    }
    const auto block = pipeBlock(pipe->driverPipe);
    const Reply reply =
        host().send(FORWARDED_CONTROL, device->session, code, block.data(), 4, 0, nullptr, 0);
    return complete(name, pipeId, 0, 0, reply.succeeded ? ERROR_SUCCESS : failureOf(reply), 0,
                    nullptr, nullptr);
}

} // namespace

BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length,
                            PULONG transferred, LPOVERLAPPED overlapped) {
    return transfer("WinUsb_ReadPipe", handle, pipe, buffer, length, transferred, overlapped, true);
}

BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer,
                             ULONG length, PULONG transferred, LPOVERLAPPED overlapped) {
    return transfer("WinUsb_WritePipe", handle, pipe, buffer, length, transferred, overlapped,
                    false);
}

BOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe) {
    return pipeRequest("WinUsb_AbortPipe", handle, pipe, kAbortCode);
}

BOOL WINAPI WinUsb_ResetPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe) {
    return pipeRequest("WinUsb_ResetPipe", handle, pipe, kResetCode);
}

BOOL WINAPI WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE handle, LPOVERLAPPED overlapped,
                                       LPDWORD transferred, BOOL wait) {
    Interface* device = find(handle);
    if (device == nullptr || overlapped == nullptr || transferred == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return GetOverlappedResult(device->file, overlapped, transferred, wait);
}

// ---- The tests' controls -----------------------------------------------------------------------

int __cdecl MV620TestWinusb_CallCount(void) {
    const std::lock_guard<std::mutex> lock(stateMutex);
    return static_cast<int>(calls.size());
}

int __cdecl MV620TestWinusb_GetCall(int index, TestWinusbCall* call) {
    const std::lock_guard<std::mutex> lock(stateMutex);
    if (index < 0 || static_cast<std::size_t>(index) >= calls.size() || call == nullptr) {
        return 0;
    }
    *call = calls[static_cast<std::size_t>(index)];
    return 1;
}

void __cdecl MV620TestWinusb_Clear(void) {
    const std::lock_guard<std::mutex> lock(stateMutex);
    calls.clear();
    goneError = ERROR_DEVICE_NOT_CONNECTED;
    refusedSuffix.clear();
}

void __cdecl MV620TestWinusb_SetGoneError(unsigned error) {
    const std::lock_guard<std::mutex> lock(stateMutex);
    goneError = error;
}

void __cdecl MV620TestWinusb_Refuse(const wchar_t* suffix) {
    const std::lock_guard<std::mutex> lock(stateMutex);
    refusedSuffix = suffix != nullptr ? suffix : L"";
}

int __cdecl MV620TestWinusb_LastDevice(wchar_t* name, int size) {
    const std::lock_guard<std::mutex> lock(stateMutex);
    if (name == nullptr || size <= 0 || lastDevice.size() >= static_cast<std::size_t>(size)) {
        return 0;
    }
    std::wcscpy(name, lastDevice.c_str());
    return 1;
}

int __cdecl MV620TestWinusb_OpenInterfaces(void) {
    const std::lock_guard<std::mutex> lock(stateMutex);
    return static_cast<int>(interfaces.size());
}

} // extern "C"
