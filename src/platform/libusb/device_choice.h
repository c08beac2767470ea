// Which instrument the libusb backend opens, when several devices are on the buses: pure logic
// over what libusb says of each device (its identity, bus, address and port path), so that it is
// tested from lists of devices without any USB.
//
// MV620_USB_DEVICE picks one instrument when several are attached, in either of two forms:
//   - BUS-PORT[.PORT]...  the port path, as `lsusb -t` and sysfs name the device: `1-2.3` is the
//                         device on port 3 of the hub on port 2 of bus 1's root hub. It names the
//                         socket, so it keeps naming the same instrument across a replug.
//   - BUS:ADDRESS         decimal, as lsusb shows them and /dev/bus/usb/BUS/ADDRESS names them,
//                         leading zeros allowed. The address changes at every replug.
// Without it the instrument with the lowest bus number, then the lowest address, is taken, so that
// the choice does not depend on the order in which the system lists devices. Only a device with
// the instrument's vendor and product IDs is ever chosen: claiming another device would detach
// its own kernel driver. A value that cannot be read, or that names no instrument, chooses
// nothing, rather than an instrument the user did not mean.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace mv620::platform::usb {

inline constexpr char kDeviceVariable[] = "MV620_USB_DEVICE";

// The most ports between a root hub and a device: USB allows seven tiers of hubs and devices.
inline constexpr std::size_t kMaxPortDepth = 7;

// The ports from the root hub down to a device, each numbered from 1; a depth of 0 when the
// system does not tell it. Only the first `depth` numbers count: libusb leaves the rest of the
// array as it was.
struct PortPath {
    std::array<std::uint8_t, kMaxPortDepth> numbers{};
    std::uint8_t depth = 0;

    friend bool operator==(const PortPath& a, const PortPath& b) noexcept;
};

// One device of the system's list, as libusb describes it.
struct Candidate {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
    PortPath ports;
};

// What MV620_USB_DEVICE asks for: a bus and an address, or a bus and a port path. A value that
// cannot be read asks for a device that no system has (bus 0, address 0).
struct DeviceRequest {
    enum class Form : std::uint8_t { BusAddress, PortPath };
    Form form = Form::BusAddress;
    std::uint8_t bus = 0;
    std::uint8_t address = 0; // the BusAddress form's
    PortPath ports;           // the PortPath form's
};

// The request a value of the variable makes; nothing for no value (the variable is not set).
std::optional<DeviceRequest> parseDeviceRequest(const char* value) noexcept;

// The index of the chosen device among `candidates`, or nothing when no instrument fits.
std::optional<std::size_t> chooseDevice(std::span<const Candidate> candidates,
                                        const std::optional<DeviceRequest>& request) noexcept;

} // namespace mv620::platform::usb
