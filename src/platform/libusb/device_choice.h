// Which instrument the libusb backend opens, when several devices are on the buses: pure logic
// over what libusb says of each device (its identity, bus and address), so that it is tested
// from lists of devices without any USB.
//
// MV620_USB_DEVICE=BUS:ADDRESS (decimal, as lsusb shows them and /dev/bus/usb/BUS/ADDRESS names
// them, leading zeros allowed) picks one instrument when several are attached. Without it the
// instrument with the lowest bus number, then the lowest address, is taken, so that the choice
// does not depend on the order in which the system lists devices. Only a device with the
// instrument's vendor and product IDs is ever chosen: claiming another device would detach its
// own kernel driver. A value that cannot be read, or that names no instrument, chooses nothing,
// rather than an instrument the user did not mean.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace mv620::platform::usb {

inline constexpr char kDeviceVariable[] = "MV620_USB_DEVICE";

// One device of the system's list, as libusb describes it.
struct Candidate {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
};

// What MV620_USB_DEVICE asks for. A value that cannot be read asks for a device that no system
// has (bus 0).
struct DeviceRequest {
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
};

// The request a value of the variable makes; nothing for no value (the variable is not set).
std::optional<DeviceRequest> parseDeviceRequest(const char* value) noexcept;

// The index of the chosen device among `candidates`, or nothing when no instrument fits.
std::optional<std::size_t> chooseDevice(std::span<const Candidate> candidates,
                                        const std::optional<DeviceRequest>& request) noexcept;

} // namespace mv620::platform::usb
