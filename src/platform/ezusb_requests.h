// The requests of the EZ-USB general-purpose kernel driver that the library issues: the device
// path, the six device control codes and the sizes of their parameter blocks, and the USB
// identity of the device the driver serves for the library. They are the vocabulary of the seam
// (driver.h): the library speaks it above, and every backend answers it below.
#pragma once

#include <cstdint>

namespace mv620::platform {

// The driver's device, fixed: backslash, backslash, dot, backslash, Ezusb-0.
inline constexpr char kDevicePath[] = "\\\\.\\Ezusb-0";

// USB identity of the instrument.
inline constexpr std::uint16_t kVendorId = 0x0547;
inline constexpr std::uint16_t kProductId = 0x1002;

// Device control codes.
inline constexpr std::uint32_t IOCTL_GET_DEVICE_DESCRIPTOR = 0x222004;
inline constexpr std::uint32_t IOCTL_VENDOR_REQUEST = 0x222059;
inline constexpr std::uint32_t IOCTL_BULK_READ = 0x22204E;
inline constexpr std::uint32_t IOCTL_BULK_WRITE = 0x222051;
inline constexpr std::uint32_t IOCTL_ABORT_PIPE = 0x22203D;
inline constexpr std::uint32_t IOCTL_RESET_PIPE = 0x222035;

// Sizes: the descriptor request's output buffer, the vendor request's parameter block (bytes 0
// to 2 bmRequestType's direction, type and recipient, 3 its reserved bits, 4 bRequest, 5
// alignment, 6-7 wValue and 8-9 wIndex, little-endian) and the pipe requests' parameter block
// (the pipe index, unsigned 32-bit little-endian).
inline constexpr std::uint32_t kDescriptorBytes = 146;
inline constexpr std::uint32_t kVendorRequestBytes = 10;
inline constexpr std::uint32_t kPipeBlockBytes = 4;

} // namespace mv620::platform
