#include "platform/window.h"

#include <atomic>

namespace mv620::platform {
namespace {

// The installed observer or null. Any thread writes and reads it; relaxed suffices because the
// observer is a plain function, and a message that still reaches the previous one is harmless.
std::atomic<WindowMessageObserver> installedObserver{nullptr};

} // namespace

void sendWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam) noexcept {
    const WindowMessageObserver observer = installedObserver.load(std::memory_order_relaxed);
    if (observer != nullptr) {
        observer(window, message, wParam, lParam);
    }
    detail::deliverWindowMessage(window, message, wParam, lParam);
}

void setWindowMessageObserver(WindowMessageObserver observer) noexcept {
    installedObserver.store(observer, std::memory_order_relaxed);
}

} // namespace mv620::platform
