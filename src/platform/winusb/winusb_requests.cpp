#include "platform/winusb/winusb_requests.h"

#include "platform/ezusb_requests.h"

#include <algorithm>
#include <cstring>

namespace mv620::platform::winusb {

SetupPacket setupPacketOf(const std::uint8_t* block, std::uint16_t length) noexcept {
    const bool deviceToHost = (block[0] & 1U) != 0;
    SetupPacket setup;
    setup.requestType = static_cast<std::uint8_t>((deviceToHost ? 0x80U : 0x00U) |
                                                  ((block[1] & 0x03U) << 5U) | (block[2] & 0x1FU));
    setup.request = block[4];
    setup.value = static_cast<std::uint16_t>(block[6] | (block[7] << 8U));
    setup.index = static_cast<std::uint16_t>(block[8] | (block[9] << 8U));
    setup.length = length;
    return setup;
}

bool meansGone(std::uint32_t error) noexcept {
    return error == kErrorBadCommand || error == kErrorDeviceNotConnected ||
           error == kErrorNoSuchDevice;
}

bool WinusbDevice::isInstrument(WinusbCalls& calls) noexcept {
    std::array<std::uint8_t, kDeviceDescriptorBytes> descriptor{};
    const CallResult result =
        calls.getDescriptor(kDeviceDescriptorType, 0, 0, descriptor.data(), descriptor.size());
    if (!result.ok || result.moved < 12) {
        return false;
    }
    const auto vendor = static_cast<std::uint16_t>(descriptor[8] | (descriptor[9] << 8U));
    const auto product = static_cast<std::uint16_t>(descriptor[10] | (descriptor[11] << 8U));
    return vendor == kVendorId && product == kProductId;
}

bool WinusbDevice::configure(WinusbCalls& calls) noexcept {
    const std::optional<std::uint8_t> count = calls.endpointCount();
    if (!count.has_value()) {
        return false;
    }
    std::optional<std::uint8_t> in;
    std::optional<std::uint8_t> out;
    for (std::uint8_t i = 0; i < *count; ++i) {
        const std::optional<PipeInfo> pipe = calls.queryPipe(i);
        if (!pipe.has_value() || pipe->type != PipeType::Bulk) {
            continue;
        }
        std::optional<std::uint8_t>& slot = (pipe->id & 0x80U) != 0 ? in : out;
        if (!slot.has_value()) {
            slot = pipe->id;
        }
    }
    if (!in.has_value() || !out.has_value()) {
        return false;
    }
    readPipe_ = *in;
    writePipe_ = *out;
    // The control pipe has a time-out of WinUSB's own (5 s) should this one not be taken; a bulk
    // pipe without one would wait for ever.
    calls.setPipeTimeout(kControlPipeId, kControlTimeoutMilliseconds);
    return calls.setPipeTimeout(readPipe_, kBulkTimeoutMilliseconds) &&
           calls.setPipeTimeout(writePipe_, kBulkTimeoutMilliseconds);
}

std::optional<std::uint8_t> WinusbDevice::pipeOf(const std::uint8_t* block) const noexcept {
    const std::uint32_t index = std::uint32_t{block[0]} | (std::uint32_t{block[1]} << 8U) |
                                (std::uint32_t{block[2]} << 16U) | (std::uint32_t{block[3]} << 24U);
    if (index == 0) {
        return readPipe_;
    }
    if (index == 1) {
        return writePipe_;
    }
    return std::nullopt;
}

// Success, with the bytes moved; a transfer that timed out or was aborted after moving some bytes
// is a short success, one that moved none a failure. An error that means the instrument is gone
// fails this request and every later one.
bool WinusbDevice::settle(const CallResult& result, std::uint32_t& moved) noexcept {
    const bool partial =
        (result.error == kErrorSemTimeout || result.error == kErrorOperationAborted) &&
        result.moved > 0;
    if (result.ok || partial) {
        moved = result.moved;
        return true;
    }
    if (meansGone(result.error)) {
        gone_.store(true, std::memory_order_relaxed);
    }
    return false;
}

bool WinusbDevice::settleBulk(std::uint8_t pipe, const CallResult& result,
                              std::uint32_t& moved) noexcept {
    if (settle(result, moved)) {
        return true;
    }
    // A failure that moved nothing left the instrument where it was: the retry may read the
    // block whole. One that moved some bytes broke off mid-block, where only a reset finds the
    // stream's place again.
    const bool ended = result.error == kErrorSemTimeout || result.error == kErrorOperationAborted;
    if (!ended && result.moved > 0 && !gone()) {
        halted_.fetch_or(haltBit(pipe), std::memory_order_relaxed);
    }
    return false;
}

bool WinusbDevice::request(WinusbCalls& calls, std::uint32_t code, const void* in,
                           std::uint32_t inLength, void* out, std::uint32_t outLength,
                           std::uint32_t* bytesReturned) noexcept {
    std::uint32_t moved = 0;
    bool ok = false;
    const auto* block = static_cast<const std::uint8_t*>(in);
    auto* buffer = static_cast<std::uint8_t*>(out);
    const bool wellFormed = (inLength == 0 || in != nullptr) && (outLength == 0 || out != nullptr);
    if (wellFormed && !gone()) {
        const std::optional<std::uint8_t> pipe =
            inLength == kPipeBlockBytes ? pipeOf(block) : std::nullopt;
        switch (code) {
        case IOCTL_GET_DEVICE_DESCRIPTOR:
            // The descriptor, the rest of the library's buffer zero.
            if (outLength > 0) {
                std::memset(buffer, 0, outLength);
            }
            ok = settle(calls.getDescriptor(kDeviceDescriptorType, 0, 0, buffer,
                                            std::min(outLength, kDeviceDescriptorBytes)),
                        moved);
            break;
        case IOCTL_VENDOR_REQUEST:
            ok = inLength == kVendorRequestBytes && outLength <= 0xFFFFU &&
                 settle(calls.controlTransfer(
                            setupPacketOf(block, static_cast<std::uint16_t>(outLength)), buffer),
                        moved);
            break;
        case IOCTL_BULK_READ:
            ok = pipe.has_value() && *pipe == readPipe_ && !halted(*pipe) &&
                 settleBulk(*pipe, calls.readPipe(*pipe, buffer, outLength), moved);
            break;
        case IOCTL_BULK_WRITE:
            ok = pipe.has_value() && *pipe == writePipe_ && !halted(*pipe) &&
                 settleBulk(*pipe, calls.writePipe(*pipe, buffer, outLength), moved);
            break;
        case IOCTL_ABORT_PIPE:
            ok = pipe.has_value() && settle(calls.abortPipe(*pipe), moved);
            break;
        case IOCTL_RESET_PIPE:
            ok = pipe.has_value() && settle(calls.resetPipe(*pipe), moved);
            if (ok) {
                halted_.fetch_and(~haltBit(*pipe), std::memory_order_relaxed);
            }
            break;
        default:
            break;
        }
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = ok ? moved : 0;
    }
    return ok;
}

namespace {

std::optional<unsigned> hexDigit(wchar_t c) noexcept {
    if (c >= L'0' && c <= L'9') {
        return static_cast<unsigned>(c - L'0');
    }
    if (c >= L'a' && c <= L'f') {
        return static_cast<unsigned>(c - L'a' + 10);
    }
    if (c >= L'A' && c <= L'F') {
        return static_cast<unsigned>(c - L'A' + 10);
    }
    return std::nullopt;
}

// The value of `digits` hexadecimal digits at `at`; nothing when one is not a digit.
std::optional<std::uint32_t> hexAt(std::wstring_view text, std::size_t at,
                                   std::size_t digits) noexcept {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const std::optional<unsigned> digit = hexDigit(text[at + i]);
        if (!digit.has_value()) {
            return std::nullopt;
        }
        value = (value << 4U) | *digit;
    }
    return value;
}

wchar_t upper(wchar_t c) noexcept { return c >= L'a' && c <= L'z' ? c - L'a' + L'A' : c; }

} // namespace

std::optional<GuidValue> parseGuid(std::wstring_view text) noexcept {
    // {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}
    constexpr std::size_t kLength = 38;
    if (text.size() != kLength || text[0] != L'{' || text[37] != L'}' || text[9] != L'-' ||
        text[14] != L'-' || text[19] != L'-' || text[24] != L'-') {
        return std::nullopt;
    }
    const auto data1 = hexAt(text, 1, 8);
    const auto data2 = hexAt(text, 10, 4);
    const auto data3 = hexAt(text, 15, 4);
    if (!data1 || !data2 || !data3) {
        return std::nullopt;
    }
    GuidValue guid{
        *data1, static_cast<std::uint16_t>(*data2), static_cast<std::uint16_t>(*data3), {}};
    constexpr std::array<std::size_t, 8> kBytes = {20, 22, 25, 27, 29, 31, 33, 35};
    for (std::size_t i = 0; i < kBytes.size(); ++i) {
        const auto byte = hexAt(text, kBytes[i], 2);
        if (!byte) {
            return std::nullopt;
        }
        guid.data4[i] = static_cast<std::uint8_t>(*byte);
    }
    return guid;
}

bool isInstrumentInstance(std::wstring_view instanceId) noexcept {
    constexpr std::wstring_view kHardwareId = L"USB\\VID_0547&PID_1002";
    if (instanceId.size() < kHardwareId.size() ||
        !std::equal(kHardwareId.begin(), kHardwareId.end(), instanceId.begin(),
                    [](wchar_t a, wchar_t b) { return a == upper(b); })) {
        return false;
    }
    return instanceId.size() == kHardwareId.size() || instanceId[kHardwareId.size()] == L'\\';
}

} // namespace mv620::platform::winusb
