#include "device/device_connection.h"

#include "device/byte_order.h"
#include "device/command_packet.h"
#include "device/wait_ticks.h"

namespace mv620::device {

VendorRequestBlock encodeVendorRequest(Direction direction, std::uint8_t request,
                                       std::uint16_t value) noexcept {
    VendorRequestBlock block{}; // the alignment byte (5) goes out as 0
    block[0] = static_cast<std::uint8_t>(direction);
    block[1] = 2; // request type: vendor
    block[2] = 0; // recipient: device
    block[3] = 0; // reserved bits
    block[4] = request;
    storeLe16(&block[6], value);
    storeLe16(&block[8], 0); // index
    return block;
}

PipeBlock encodePipeBlock(std::uint32_t pipe) noexcept {
    PipeBlock block{};
    storeLe32(block.data(), pipe);
    return block;
}

std::uint16_t setOutputValue(std::uint8_t line) noexcept {
    const std::uint32_t bit = 1U << (line % 32U);
    return static_cast<std::uint16_t>(bit & 0x0FU);
}

std::uint16_t clearOutputValue(std::uint8_t line) noexcept {
    const std::uint32_t bit = 1U << (line % 32U);
    return static_cast<std::uint16_t>(((bit ^ 0xFFU) | 0xF0U) & 0xFFFFU);
}

DeviceConnection::DeviceConnection() noexcept
    : deviceHandle_(platform::driverBackend().open(kDevicePath)) {
    if (deviceHandle_ == platform::kInvalidDevice) {
        return;
    }
    // The request's own result is not needed: a failed request leaves the buffer zero, which
    // matches no instrument.
    control(IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, deviceDescriptor_.data(), kDescriptorBytes);
    present_ = loadLe16(&deviceDescriptor_[8]) == kVendorId &&
               loadLe16(&deviceDescriptor_[10]) == kProductId;
}

DeviceConnection::~DeviceConnection() {
    if (deviceHandle_ != platform::kInvalidDevice) {
        platform::driverBackend().close(deviceHandle_);
    }
}

bool DeviceConnection::control(std::uint32_t code, const void* in, std::uint32_t inLength,
                               void* out, std::uint32_t outLength,
                               std::uint32_t* transferred) noexcept {
    std::uint32_t returned = 0;
    const bool ok = deviceHandle_ != platform::kInvalidDevice &&
                    platform::driverBackend().control(deviceHandle_, code, in, inLength, out,
                                                      outLength, &returned);
    if (transferred != nullptr) {
        *transferred = ok ? returned : 0;
    }
    return ok;
}

bool DeviceConnection::lineRequest(std::uint8_t request, std::uint16_t value) noexcept {
    const VendorRequestBlock block = encodeVendorRequest(Direction::HostToDevice, request, value);
    return control(IOCTL_VENDOR_REQUEST, block.data(), kVendorRequestBytes, nullptr, 0);
}

bool DeviceConnection::setOutputLine(std::uint8_t line) noexcept {
    return lineRequest(REQ_SET_OUTPUT, setOutputValue(line));
}

bool DeviceConnection::clearOutputLine(std::uint8_t line) noexcept {
    return lineRequest(REQ_CLEAR_OUTPUT, clearOutputValue(line));
}

bool DeviceConnection::instrumentGone() const noexcept {
    return deviceHandle_ == platform::kInvalidDevice ||
           platform::driverBackend().gone(deviceHandle_);
}

std::optional<std::uint8_t> DeviceConnection::readInputPort() noexcept {
    const VendorRequestBlock block =
        encodeVendorRequest(Direction::DeviceToHost, REQ_READ_INPUT, 0);
    std::uint8_t port = 0;
    if (!control(IOCTL_VENDOR_REQUEST, block.data(), kVendorRequestBytes, &port, 1)) {
        return std::nullopt;
    }
    return port;
}

bool DeviceConnection::pipeRequest(std::uint32_t code, std::uint32_t pipe, void* buffer,
                                   std::uint32_t length, std::uint32_t* transferred) noexcept {
    const PipeBlock block = encodePipeBlock(pipe);
    return control(code, block.data(), kPipeBlockBytes, buffer, length, transferred);
}

bool DeviceConnection::bulkRead(std::uint8_t* buffer, std::uint32_t length,
                                std::uint32_t* transferred) noexcept {
    return pipeRequest(IOCTL_BULK_READ, readPipe_, buffer, length, transferred);
}

bool DeviceConnection::bulkWrite(const std::uint8_t* buffer, std::uint32_t length) noexcept {
    // The driver takes the bytes to send through the request's output buffer; it only reads them.
    return pipeRequest(IOCTL_BULK_WRITE, writePipe_, const_cast<std::uint8_t*>(buffer), length);
}

bool DeviceConnection::abortReadPipe() noexcept {
    return pipeRequest(IOCTL_ABORT_PIPE, readPipe_, nullptr, 0);
}

bool DeviceConnection::resetReadPipe() noexcept {
    return pipeRequest(IOCTL_RESET_PIPE, readPipe_, nullptr, 0);
}

bool DeviceConnection::exchange(PacketBytes& response, PacketBytes& packet) noexcept {
    sequenceCounter_ = nextSequence(sequenceCounter_);
    stampPacket(packet, sequenceCounter_);
    const bool written = bulkWrite(packet.data(), kPacketBytes);
    waitTicks(100);
    if (packet[0] == CMD_START_ACQUISITION) {
        return written; // the instrument answers the start with its sample stream, not a response
    }
    const bool read = bulkRead(response.data(), kPacketBytes);
    return written && read;
}

} // namespace mv620::device
