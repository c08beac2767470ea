#include <windows.h>

#include "platform/window.h"

namespace mv620::platform {

WindowHandle foregroundWindow() noexcept { return GetForegroundWindow(); }

void detail::deliverWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                  std::intptr_t lParam) noexcept {
    SendMessageA(static_cast<HWND>(window), message, static_cast<WPARAM>(wParam),
                 static_cast<LPARAM>(lParam));
}

} // namespace mv620::platform
