#include "control/status_query.h"

#include "device/device_connection.h"
#include "device/read_pipe.h"
#include "device/status_response.h"

namespace mv620::control {

std::int32_t classifyStatus(std::uint8_t statusByte) noexcept {
    // The byte is read as a signed 8-bit number on purpose: 128 to 255 sort below 90.
    const auto status = static_cast<std::int32_t>(
        static_cast<std::int8_t>(statusByte)); // NOLINT(bugprone-signed-char-misuse)
    if (status == 3) {
        return kStatusThree;
    }
    if (status < 90) {
        return kStatusBelow90;
    }
    return status;
}

std::int32_t queryStatus() noexcept {
    // The answer comes in on the read pipe: never while a stream has it.
    const device::ExchangeClaim claim;
    if (!claim.claimed()) {
        return kStatusNoAnswer;
    }
    device::DeviceConnection connection;
    if (!connection.isPresent()) {
        return kStatusNoAnswer;
    }
    device::PacketBytes packet{};
    device::PacketBytes response{};
    packet[0] = device::CMD_STATUS;
    if (!connection.exchange(response, packet)) {
        return kStatusNoAnswer;
    }
    return classifyStatus(device::statusByteOf(response));
}

} // namespace mv620::control
