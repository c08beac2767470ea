// The EZ-USB general-purpose kernel driver, reached through CreateFileA and DeviceIoControl.
#include <windows.h>

#include "platform/driver.h"
#include "platform/win32/driver_backends.h"

namespace mv620::platform {
namespace {

HANDLE asHandle(DeviceHandle handle) noexcept { return reinterpret_cast<HANDLE>(handle); }

class EzusbDriver final : public DriverBackend {
public:
    // Write access alone, shared for writing, a handle child processes do not inherit, no flags
    // (every request synchronous).
    DeviceHandle open(const char* path) noexcept override {
        SECURITY_ATTRIBUTES security{};
        security.nLength = sizeof(security);
        security.bInheritHandle = FALSE;
        const HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, &security,
                                          OPEN_EXISTING, 0, nullptr);
        return handle == INVALID_HANDLE_VALUE ? kInvalidDevice
                                              : reinterpret_cast<DeviceHandle>(handle);
    }

    bool control(DeviceHandle handle, std::uint32_t code, const void* in, std::uint32_t inLength,
                 void* out, std::uint32_t outLength,
                 std::uint32_t* bytesReturned) noexcept override {
        DWORD returned = 0;
        const BOOL ok = DeviceIoControl(asHandle(handle), code, const_cast<void*>(in), inLength,
                                        out, outLength, &returned, nullptr);
        if (bytesReturned != nullptr) {
            *bytesReturned = ok != FALSE ? returned : 0;
        }
        return ok != FALSE;
    }

    void close(DeviceHandle handle) noexcept override { CloseHandle(asHandle(handle)); }
};

} // namespace

DriverBackend& ezusbDriver() noexcept {
    static EzusbDriver driver;
    return driver;
}

} // namespace mv620::platform
