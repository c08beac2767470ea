#include "platform/window.h"

namespace mv620::platform {

// There are no windows here: no window is ever in the foreground, and a message reaches only the
// observer.
WindowHandle foregroundWindow() noexcept { return nullptr; }

void detail::deliverWindowMessage(WindowHandle /*window*/, std::uint32_t /*message*/,
                                  std::uintptr_t /*wParam*/, std::intptr_t /*lParam*/) noexcept {}

} // namespace mv620::platform
