// The driver backend of the Windows DLLs: the legacy EZ-USB kernel driver first, as the library
// has always reached the instrument, and when its device cannot be opened, the instrument through
// WinUSB. A handle stays with the backend that opened it.
//
// MV620_BACKEND=ezusb or MV620_BACKEND=winusb (any case) uses that backend alone; read at each
// open, so that a program can choose before each. Any other value opens nothing, rather than
// driving an instrument through a backend the user did not mean.
#include <windows.h>

#include "platform/driver.h"
#include "platform/win32/driver_backends.h"

#include <array>
#include <string_view>

namespace mv620::platform {
namespace {

enum class Choice { Both, Ezusb, Winusb, Neither };

bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char c = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        if (c != b[i]) {
            return false;
        }
    }
    return true;
}

// The process's environment as it is now (not the C runtime's copy taken at its start).
Choice choice() noexcept {
    std::array<char, 16> value{};
    const DWORD length =
        GetEnvironmentVariableA("MV620_BACKEND", value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) {
        return Choice::Both;
    }
    if (length >= value.size()) {
        return Choice::Neither;
    }
    const std::string_view text(value.data(), length);
    if (equalsIgnoringCase(text, "ezusb")) {
        return Choice::Ezusb;
    }
    return equalsIgnoringCase(text, "winusb") ? Choice::Winusb : Choice::Neither;
}

DriverBackend& backendOf(DeviceHandle handle) noexcept {
    return isWinusbHandle(handle) ? winusbDriver() : ezusbDriver();
}

class ChosenDriver final : public DriverBackend {
public:
    DeviceHandle open(const char* path) noexcept override {
        const Choice chosen = choice();
        if (chosen == Choice::Both || chosen == Choice::Ezusb) {
            const DeviceHandle handle = ezusbDriver().open(path);
            if (handle != kInvalidDevice || chosen == Choice::Ezusb) {
                return handle;
            }
        }
        return chosen == Choice::Neither ? kInvalidDevice : winusbDriver().open(path);
    }

    bool control(DeviceHandle handle, std::uint32_t code, const void* in, std::uint32_t inLength,
                 void* out, std::uint32_t outLength,
                 std::uint32_t* bytesReturned) noexcept override {
        return backendOf(handle).control(handle, code, in, inLength, out, outLength, bytesReturned);
    }

    void close(DeviceHandle handle) noexcept override { backendOf(handle).close(handle); }

    bool gone(DeviceHandle handle) noexcept override { return backendOf(handle).gone(handle); }
};

} // namespace

DriverBackend& driverBackend() noexcept {
    static ChosenDriver driver;
    return driver;
}

} // namespace mv620::platform
