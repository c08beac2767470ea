#include "control/digital_lines.h"

#include "device/device_connection.h"
#include "device/wait_ticks.h"

namespace mv620::control {
namespace {

std::uint8_t lowByte(std::int32_t line) noexcept {
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(line) & 0xFFU);
}

} // namespace

// The connection's presence is not consulted: the request goes out to whatever device answers.
int switchLineOn(std::int32_t line) noexcept {
    device::DeviceConnection connection;
    connection.setOutputLine(lowByte(line));
    return 1;
}

int switchLineOff(std::int32_t line) noexcept {
    device::DeviceConnection connection;
    connection.clearOutputLine(lowByte(line));
    return 1;
}

int pulseAutozero() noexcept {
    device::DeviceConnection connection;
    connection.setOutputLine(kAutozeroLine);
    device::waitTicks(1000);
    connection.clearOutputLine(kAutozeroLine);
    return 1;
}

int decodeDigitalInput(std::uint8_t port, std::int32_t bit) noexcept {
    unsigned value = port;
    value = (value & 0x40U) != 0 ? (value | 0x08U) : (value & 0xF7U);
    value >>= static_cast<unsigned>(bit) & 31U;
    return (value & 1U) == 0 ? 1 : 0;
}

int readDigitalInput(std::int32_t bit) noexcept {
    device::DeviceConnection connection;
    const std::optional<std::uint8_t> port = connection.readInputPort();
    // A port that cannot be read (no instrument, unplugged) reports the input as inactive rather
    // than decoding a byte the instrument never sent.
    return port.has_value() ? decodeDigitalInput(*port, bit) : 0;
}

} // namespace mv620::control
