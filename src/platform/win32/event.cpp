#include <windows.h>

#include "platform/event.h"

namespace mv620::platform {

// Unnamed, default security, auto-reset, initially not signalled.
AutoResetEvent::AutoResetEvent() noexcept : handle_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

AutoResetEvent::~AutoResetEvent() {
    if (handle_ != nullptr) {
        CloseHandle(handle_);
    }
}

bool AutoResetEvent::valid() const noexcept { return handle_ != nullptr; }

void AutoResetEvent::set() noexcept {
    if (handle_ != nullptr) {
        SetEvent(handle_);
    }
}

std::uint32_t AutoResetEvent::wait() noexcept {
    return handle_ != nullptr ? WaitForSingleObject(handle_, INFINITE) : kWaitFailed;
}

std::uint32_t AutoResetEvent::waitFor(std::uint32_t milliseconds) noexcept {
    return handle_ != nullptr ? WaitForSingleObject(handle_, milliseconds) : kWaitFailed;
}

} // namespace mv620::platform
