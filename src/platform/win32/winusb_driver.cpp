// The instrument through WinUSB, Windows' own signed general-purpose USB driver: the driver
// backend for a system where the legacy kernel driver cannot be installed. The requests become
// WinUSB calls in winusb/winusb_requests.cpp; this file finds the instrument, opens it, and makes
// the calls.
//
// Finding it: every present device interface of the project's GUID (the one mv620.inf sets),
// then those of the GUIDs in the DeviceInterfaceGUIDs value of each present device under
// USB\VID_0547&PID_1002 (how a generic WinUSB installer registers it). A device is used only
// when its device descriptor carries the instrument's vendor and product IDs.
//
// WinUSB admits one open handle on a device at a time. Every handle of the library in this
// process therefore shares one session, counted by reference: the first open makes the
// overlapped CreateFileW and WinUsb_Initialize, the last close frees them. Another process that
// holds the device makes the open fail at once, and the library sees no instrument. Once a call
// finds the instrument gone, every request of the session fails at once, until the handles are
// closed; an open after that starts a new session.
//
// winusb.dll is loaded from the system folder at the first open, not imported, so that the DLL
// still loads, and reaches the legacy driver, where WinUSB is missing.
#include <windows.h>

#include <setupapi.h>
#include <winusb.h>

#include "platform/driver.h"
#include "platform/win32/driver_backends.h"
#include "platform/winusb/winusb_requests.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace mv620::platform {
namespace {

using winusb::CallResult;
using winusb::PipeInfo;
using winusb::PipeType;
using winusb::SetupPacket;
using winusb::WinusbDevice;

// ---- winusb.dll ------------------------------------------------------------------------------

struct WinusbFunctions {
    decltype(&WinUsb_Initialize) initialize = nullptr;
    decltype(&WinUsb_Free) free = nullptr;
    decltype(&WinUsb_GetDescriptor) getDescriptor = nullptr;
    decltype(&WinUsb_QueryInterfaceSettings) queryInterfaceSettings = nullptr;
    decltype(&WinUsb_QueryPipe) queryPipe = nullptr;
    decltype(&WinUsb_SetPipePolicy) setPipePolicy = nullptr;
    decltype(&WinUsb_ControlTransfer) controlTransfer = nullptr;
    decltype(&WinUsb_ReadPipe) readPipe = nullptr;
    decltype(&WinUsb_WritePipe) writePipe = nullptr;
    decltype(&WinUsb_AbortPipe) abortPipe = nullptr;
    decltype(&WinUsb_ResetPipe) resetPipe = nullptr;
    decltype(&WinUsb_GetOverlappedResult) getOverlappedResult = nullptr;
};

template <typename Function> bool bind(HMODULE module, const char* name, Function& function) {
    const FARPROC address = GetProcAddress(module, name);
    // Through void (*)(), the generic function pointer, which any function pointer converts to.
    function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
    return address != nullptr;
}

// Loads winusb.dll from the system folder alone (never from the program's folder) and binds
// every function; false when it is missing or incomplete. The module stays loaded.
bool loadWinusb(WinusbFunctions& f) noexcept {
    const HMODULE module = LoadLibraryExW(L"winusb.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        return false;
    }
    return bind(module, "WinUsb_Initialize", f.initialize) && bind(module, "WinUsb_Free", f.free) &&
           bind(module, "WinUsb_GetDescriptor", f.getDescriptor) &&
           bind(module, "WinUsb_QueryInterfaceSettings", f.queryInterfaceSettings) &&
           bind(module, "WinUsb_QueryPipe", f.queryPipe) &&
           bind(module, "WinUsb_SetPipePolicy", f.setPipePolicy) &&
           bind(module, "WinUsb_ControlTransfer", f.controlTransfer) &&
           bind(module, "WinUsb_ReadPipe", f.readPipe) &&
           bind(module, "WinUsb_WritePipe", f.writePipe) &&
           bind(module, "WinUsb_AbortPipe", f.abortPipe) &&
           bind(module, "WinUsb_ResetPipe", f.resetPipe) &&
           bind(module, "WinUsb_GetOverlappedResult", f.getOverlappedResult);
}

// ---- Finding the instrument ------------------------------------------------------------------

GUID toGuid(const winusb::GuidValue& value) noexcept {
    GUID guid{};
    guid.Data1 = value.data1;
    guid.Data2 = value.data2;
    guid.Data3 = value.data3;
    std::copy(value.data4.begin(), value.data4.end(), std::begin(guid.Data4));
    return guid;
}

// Adds the path of every present interface of `guid` that `paths` does not hold yet.
void addInterfacePaths(const GUID& guid, std::vector<std::wstring>& paths) {
    const HDEVINFO set =
        SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVICE_INTERFACE_DATA entry{};
    entry.cbSize = sizeof(entry);
    std::vector<DWORD> storage; // DWORD-aligned, as the detail structure needs
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &entry) != FALSE; ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &entry, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
            continue;
        }
        storage.assign(size / sizeof(DWORD) + 1, 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (SetupDiGetDeviceInterfaceDetailW(set, &entry, detail, size, nullptr, nullptr) !=
            FALSE) {
            std::wstring path(detail->DevicePath);
            if (std::find(paths.begin(), paths.end(), path) == paths.end()) {
                paths.push_back(std::move(path));
            }
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

// The GUIDs in a device key's DeviceInterfaceGUIDs (a list) or DeviceInterfaceGUID value.
std::vector<GUID> interfaceGuidsOf(HKEY key) {
    std::vector<GUID> guids;
    for (const wchar_t* name : {L"DeviceInterfaceGUIDs", L"DeviceInterfaceGUID"}) {
        std::array<wchar_t, 1024> value{};
        DWORD type = 0;
        DWORD bytes = sizeof(value) - 2 * sizeof(wchar_t); // room for two terminating zeros
        if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                             &bytes) != ERROR_SUCCESS ||
            (type != REG_MULTI_SZ && type != REG_SZ)) {
            continue;
        }
        for (const wchar_t* entry = value.data(); *entry != L'\0';
             entry += std::wcslen(entry) + 1) {
            if (const auto guid = winusb::parseGuid(entry)) {
                guids.push_back(toGuid(*guid));
            }
        }
    }
    return guids;
}

// Devices that a generic installer bound to WinUSB: every present USB device with the
// instrument's IDs, and the interfaces of the GUIDs in its device key.
void addGenericInstallerPaths(std::vector<std::wstring>& paths) {
    const HDEVINFO set =
        SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device) != FALSE; ++i) {
        std::array<wchar_t, 512> instance{};
        if (SetupDiGetDeviceInstanceIdW(set, &device, instance.data(),
                                        static_cast<DWORD>(instance.size()), nullptr) == FALSE ||
            !winusb::isInstrumentInstance(instance.data())) {
            continue;
        }
        const HKEY key =
            SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        const std::vector<GUID> guids = interfaceGuidsOf(key);
        RegCloseKey(key);
        for (const GUID& guid : guids) {
            addInterfacePaths(guid, paths);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

std::vector<std::wstring> candidatePaths() {
    std::vector<std::wstring> paths;
    addInterfacePaths(toGuid(winusb::kInterfaceGuid), paths);
    addGenericInstallerPaths(paths);
    return paths;
}

// ---- Sessions and connections ----------------------------------------------------------------

// One device opened and initialised for WinUSB, shared by every handle opened while it lives.
class Session {
public:
    Session(const WinusbFunctions& functions, HANDLE file,
            WINUSB_INTERFACE_HANDLE usbInterface) noexcept
        : functions_(functions), file_(file), usbInterface_(usbInterface) {}
    ~Session() {
        functions_.free(usbInterface_);
        CloseHandle(file_);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The first device of the candidates that opens, initialises, identifies as the instrument
    // and has its pipes; null when there is none (or another process holds it).
    static std::shared_ptr<Session> open(const WinusbFunctions& functions);

    const WinusbFunctions& functions() const noexcept { return functions_; }
    WINUSB_INTERFACE_HANDLE usbInterface() const noexcept { return usbInterface_; }
    WinusbDevice& device() noexcept { return device_; }

private:
    const WinusbFunctions& functions_;
    HANDLE file_;
    WINUSB_INTERFACE_HANDLE usbInterface_;
    WinusbDevice device_;
};

// One handle of the library: the session it shares, and the event its overlapped calls wait on
// (a handle is used by one thread at a time, so it never has two calls in flight).
class Connection final : public winusb::WinusbCalls {
public:
    explicit Connection(std::shared_ptr<Session> session) noexcept
        : session_(std::move(session)), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          f_(session_->functions()), usbInterface_(session_->usbInterface()) {}
    ~Connection() override {
        if (event_ != nullptr) {
            CloseHandle(event_);
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool usable() const noexcept { return event_ != nullptr; }
    Session& session() const noexcept { return *session_; }

    CallResult getDescriptor(std::uint8_t type, std::uint8_t index, std::uint16_t language,
                             std::uint8_t* buffer, std::uint32_t length) noexcept override {
        ULONG moved = 0;
        const BOOL ok =
            f_.getDescriptor(usbInterface_, type, index, language, buffer, length, &moved);
        return ok != FALSE ? CallResult{true, 0, moved} : CallResult{false, GetLastError(), 0};
    }

    CallResult controlTransfer(const SetupPacket& setup, std::uint8_t* buffer) noexcept override {
        WINUSB_SETUP_PACKET packet{};
        packet.RequestType = setup.requestType;
        packet.Request = setup.request;
        packet.Value = setup.value;
        packet.Index = setup.index;
        packet.Length = setup.length;
        OVERLAPPED overlapped = prepare();
        return finish(
            f_.controlTransfer(usbInterface_, packet, buffer, setup.length, nullptr, &overlapped),
            overlapped);
    }

    CallResult readPipe(std::uint8_t pipe, std::uint8_t* buffer,
                        std::uint32_t length) noexcept override {
        OVERLAPPED overlapped = prepare();
        return finish(f_.readPipe(usbInterface_, pipe, buffer, length, nullptr, &overlapped),
                      overlapped);
    }

    CallResult writePipe(std::uint8_t pipe, const std::uint8_t* buffer,
                         std::uint32_t length) noexcept override {
        OVERLAPPED overlapped = prepare();
        // WinUSB takes the buffer as PUCHAR; it only reads from it for a write.
        return finish(f_.writePipe(usbInterface_, pipe, const_cast<std::uint8_t*>(buffer), length,
                                   nullptr, &overlapped),
                      overlapped);
    }

    CallResult abortPipe(std::uint8_t pipe) noexcept override {
        return plain(f_.abortPipe(usbInterface_, pipe));
    }

    CallResult resetPipe(std::uint8_t pipe) noexcept override {
        return plain(f_.resetPipe(usbInterface_, pipe));
    }

    std::optional<std::uint8_t> endpointCount() noexcept override {
        USB_INTERFACE_DESCRIPTOR descriptor{};
        if (f_.queryInterfaceSettings(usbInterface_, 0, &descriptor) == FALSE) {
            return std::nullopt;
        }
        return descriptor.bNumEndpoints;
    }

    std::optional<PipeInfo> queryPipe(std::uint8_t index) noexcept override {
        WINUSB_PIPE_INFORMATION information{};
        if (f_.queryPipe(usbInterface_, 0, index, &information) == FALSE) {
            return std::nullopt;
        }
        return PipeInfo{static_cast<PipeType>(information.PipeType), information.PipeId};
    }

    bool setPipeTimeout(std::uint8_t pipe, std::uint32_t milliseconds) noexcept override {
        ULONG value = milliseconds;
        return f_.setPipePolicy(usbInterface_, pipe, PIPE_TRANSFER_TIMEOUT, sizeof(value),
                                &value) != FALSE;
    }

private:
    OVERLAPPED prepare() const noexcept {
        ResetEvent(event_);
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_;
        return overlapped;
    }

    static CallResult plain(BOOL ok) noexcept {
        return ok != FALSE ? CallResult{true, 0, 0} : CallResult{false, GetLastError(), 0};
    }

    // Waits for an overlapped call to end: the bytes it moved are known also when it failed.
    CallResult finish(BOOL started, OVERLAPPED& overlapped) const noexcept {
        if (started == FALSE) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                return CallResult{false, error, 0};
            }
        }
        DWORD moved = 0;
        if (f_.getOverlappedResult(usbInterface_, &overlapped, &moved, TRUE) != FALSE) {
            return CallResult{true, 0, moved};
        }
        return CallResult{false, GetLastError(), moved};
    }

    std::shared_ptr<Session> session_;
    HANDLE event_;
    const WinusbFunctions& f_;
    WINUSB_INTERFACE_HANDLE usbInterface_;
};

std::shared_ptr<Session> Session::open(const WinusbFunctions& functions) {
    for (const std::wstring& path : candidatePaths()) {
        const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            continue; // gone meanwhile, or another process holds it
        }
        WINUSB_INTERFACE_HANDLE usbInterface = nullptr;
        if (functions.initialize(file, &usbInterface) == FALSE) {
            CloseHandle(file);
            continue;
        }
        std::shared_ptr<Session> session;
        try {
            session = std::make_shared<Session>(functions, file, usbInterface);
        } catch (const std::bad_alloc&) {
            functions.free(usbInterface);
            CloseHandle(file);
            throw;
        }
        Connection calls(session);
        if (calls.usable() && WinusbDevice::isInstrument(calls) &&
            session->device().configure(calls)) {
            return session;
        }
    }
    return nullptr;
}

// ---- The backend -----------------------------------------------------------------------------

class WinusbDriver final : public DriverBackend {
public:
    DeviceHandle open(const char* path) noexcept override;
    bool control(DeviceHandle handle, std::uint32_t code, const void* in, std::uint32_t inLength,
                 void* out, std::uint32_t outLength,
                 std::uint32_t* bytesReturned) noexcept override;
    void close(DeviceHandle handle) noexcept override;
    bool gone(DeviceHandle handle) noexcept override;

private:
    // Guards the table of connections, the session new handles join, the loading of winusb.dll,
    // and the opening and freeing of the device, so that those never overlap. Never held while a
    // request runs.
    std::mutex mutex_;
    bool loadTried_ = false;
    bool loaded_ = false;
    WinusbFunctions functions_;
    std::map<DeviceHandle, std::unique_ptr<Connection>> connections_;
    std::weak_ptr<Session> current_;
    DeviceHandle nextNumber_ = 0;
};

DeviceHandle WinusbDriver::open(const char* /*path*/) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!loadTried_) {
        loadTried_ = true;
        loaded_ = loadWinusb(functions_);
    }
    if (!loaded_) {
        return kInvalidDevice;
    }
    try {
        std::shared_ptr<Session> session = current_.lock();
        if (session == nullptr || session->device().gone()) {
            session = Session::open(functions_);
            if (session == nullptr) {
                return kInvalidDevice;
            }
            current_ = session;
        }
        auto connection = std::make_unique<Connection>(std::move(session));
        if (!connection->usable()) {
            return kInvalidDevice;
        }
        DeviceHandle handle = kInvalidDevice;
        do {
            handle = ((nextNumber_++ & (PTRDIFF_MAX >> 3)) << 2) | 1;
        } while (connections_.count(handle) != 0);
        connections_.emplace(handle, std::move(connection));
        return handle;
    } catch (const std::bad_alloc&) {
        return kInvalidDevice;
    }
}

void WinusbDriver::close(DeviceHandle handle) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = connections_.find(handle);
    if (found == connections_.end()) {
        return;
    }
    std::unique_ptr<Connection> closing = std::move(found->second);
    connections_.erase(found);
    // Under the lock: the last connection of a session frees the device here. The session is
    // forgotten the moment its last reference goes, so an open that came between that moment and
    // the freeing would start a session of its own and find the device still held by this one
    // (WinUSB admits one handle): no instrument. Holding the lock, it waits for the freeing
    // instead, which moves no data.
    closing.reset();
}

bool WinusbDriver::gone(DeviceHandle handle) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = connections_.find(handle);
    return found != connections_.end() && found->second->session().device().gone();
}

bool WinusbDriver::control(DeviceHandle handle, std::uint32_t code, const void* in,
                           std::uint32_t inLength, void* out, std::uint32_t outLength,
                           std::uint32_t* bytesReturned) noexcept {
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
    if (connection == nullptr) {
        if (bytesReturned != nullptr) {
            *bytesReturned = 0;
        }
        return false;
    }
    return connection->session().device().request(*connection, code, in, inLength, out, outLength,
                                                  bytesReturned);
}

} // namespace

DriverBackend& winusbDriver() noexcept {
    // Built in static storage on first use and never destroyed: an acquisition thread stopped
    // while the library unloads may still be closing its handle after static destructors have
    // run. Nothing is allocated here, so nothing can fail.
    alignas(WinusbDriver) static std::array<unsigned char, sizeof(WinusbDriver)> storage;
    static WinusbDriver& driver = *::new (storage.data()) WinusbDriver;
    return driver;
}

} // namespace mv620::platform
