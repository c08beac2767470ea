// Window handles: the foreground window and the progress messages of a download.
#pragma once

#include <cstdint>

namespace mv620::platform {

// A window handle as the platform gives it (HWND on Windows); an opaque pointer-sized value
// elsewhere, only stored and handed on.
using WindowHandle = void*;

// The window in the foreground now (GetForegroundWindow); null where there are no windows.
WindowHandle foregroundWindow() noexcept;

// Sends `message` with `wParam` and `lParam` to `window` and waits until it is handled
// (SendMessageA on Windows, nothing elsewhere). The result is not reported: the library never
// looks at it. An installed observer (below) sees the message first.
void sendWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam) noexcept;

// An observer of every message the library sends, for the simulated instrument and for tests.
// Called on the sending thread before the message is delivered.
using WindowMessageObserver = void (*)(WindowHandle window, std::uint32_t message,
                                       std::uintptr_t wParam, std::intptr_t lParam) noexcept;

// Installs `observer`, or removes it when null. Any thread.
void setWindowMessageObserver(WindowMessageObserver observer) noexcept;

} // namespace mv620::platform

namespace mv620::platform::detail {
// Delivery of a message to a real window, defined by each platform (posix/ or win32/windows.cpp).
void deliverWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                          std::intptr_t lParam) noexcept;
} // namespace mv620::platform::detail
