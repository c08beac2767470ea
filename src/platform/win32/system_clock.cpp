#include <windows.h>

#include "platform/clock.h"

namespace mv620::platform::detail {

std::uint32_t systemTicks() noexcept { return GetTickCount(); }

} // namespace mv620::platform::detail
