#include "control/status_query.h"

#include "context/library_state.h"
#include "device/device_connection.h"

namespace mv620::control {

std::int32_t classifyStatus(std::uint8_t statusByte) noexcept {
    // The byte is read as a signed 8-bit number on purpose: 128 to 255 sort below 90.
    const auto status = static_cast<std::int32_t>(
        static_cast<std::int8_t>(statusByte)); // NOLINT(bugprone-signed-char-misuse)
    if (status == 3) {
        return STATUS_THREE;
    }
    if (status < 90) {
        return STATUS_BELOW_90;
    }
    return status;
}

std::int32_t queryStatus() noexcept {
    if (acquisitionRunning.load(std::memory_order_relaxed)) {
        return STATUS_NO_ANSWER;
    }
    device::DeviceConnection connection;
    if (!connection.isPresent()) {
        return STATUS_NO_ANSWER;
    }
    device::PacketBytes packet{};
    device::PacketBytes response{};
    packet[0] = device::CMD_STATUS;
    if (!connection.exchange(response, packet)) {
        return STATUS_NO_ANSWER;
    }
    return classifyStatus(response[3]);
}

} // namespace mv620::control
