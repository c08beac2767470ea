// The two driver backends of the Windows DLLs and how their handles are told apart; the backend
// the library sees (driverBackend(), driver_choice.cpp) chooses between them at each open.
#pragma once

#include "platform/driver.h"

namespace mv620::platform {

// The EZ-USB general-purpose kernel driver at "\\.\Ezusb-0" (ezusb_driver.cpp).
DriverBackend& ezusbDriver() noexcept;

// The instrument through WinUSB (winusb_driver.cpp). Its handles are odd numbers, which no
// handle of the kernel driver's is (kernel handles are multiples of four).
DriverBackend& winusbDriver() noexcept;

constexpr bool isWinusbHandle(DeviceHandle handle) noexcept { return (handle & 1) != 0; }

} // namespace mv620::platform
