// Which instrument the libusb backend opens (see device_choice.h).
#include "platform/libusb/device_choice.h"

#include <algorithm>

#include "platform/ezusb_requests.h"

namespace mv620::platform::usb {
namespace {

// Reads the decimal number at `text`, of at most `max`; returns where its digits end, or null
// when there are none or the number is larger.
const char* readNumber(const char* text, unsigned max, unsigned& value) noexcept {
    value = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<unsigned>(*p - '0');
        if (value > max) {
            return nullptr;
        }
    }
    return p == text ? nullptr : p;
}

// The ports of BUS-PORT[.PORT]..., from the dash after the bus; nothing when malformed.
std::optional<PortPath> readPorts(const char* dash) noexcept {
    PortPath ports;
    const char* p = dash;
    while (*p != '\0') { // at the dash, or at the dot before the next port
        if (*p != (ports.depth == 0 ? '-' : '.') || ports.depth == kMaxPortDepth) {
            return std::nullopt;
        }
        unsigned port = 0;
        p = readNumber(p + 1, 255, port);
        if (p == nullptr || port == 0) { // ports are numbered from 1
            return std::nullopt;
        }
        ports.numbers[ports.depth++] = static_cast<std::uint8_t>(port);
    }
    return ports;
}

bool matches(const Candidate& candidate, const DeviceRequest& request) noexcept {
    if (candidate.bus != request.bus) {
        return false;
    }
    if (request.form == DeviceRequest::Form::PortPath) {
        return candidate.ports.depth > 0 && candidate.ports == request.ports;
    }
    return candidate.address == request.address;
}

} // namespace

bool operator==(const PortPath& a, const PortPath& b) noexcept {
    return a.depth == b.depth && a.depth <= kMaxPortDepth &&
           std::equal(a.numbers.begin(), a.numbers.begin() + a.depth, b.numbers.begin());
}

std::optional<DeviceRequest> parseDeviceRequest(const char* value) noexcept {
    if (value == nullptr) {
        return std::nullopt;
    }
    DeviceRequest request;
    unsigned bus = 0;
    const char* end = readNumber(value, 255, bus);
    if (end == nullptr) {
        return DeviceRequest{};
    }
    request.bus = static_cast<std::uint8_t>(bus);
    if (*end == '-') {
        const std::optional<PortPath> ports = readPorts(end);
        if (!ports.has_value()) {
            return DeviceRequest{};
        }
        request.form = DeviceRequest::Form::PortPath;
        request.ports = *ports;
        return request;
    }
    unsigned address = 0;
    const char* addressEnd = *end == ':' ? readNumber(end + 1, 127, address) : nullptr;
    if (addressEnd == nullptr || *addressEnd != '\0') {
        return DeviceRequest{};
    }
    request.address = static_cast<std::uint8_t>(address);
    return request;
}

std::optional<std::size_t> chooseDevice(std::span<const Candidate> candidates,
                                        const std::optional<DeviceRequest>& request) noexcept {
    std::optional<std::size_t> chosen;
    unsigned chosenKey = 0;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const Candidate& candidate = candidates[i];
        if (candidate.vendorId != kVendorId || candidate.productId != kProductId) {
            continue;
        }
        if (request.has_value() && !matches(candidate, *request)) {
            continue;
        }
        const unsigned key = (unsigned{candidate.bus} << 8U) | candidate.address;
        if (!chosen.has_value() || key < chosenKey) {
            chosen = i;
            chosenKey = key;
        }
    }
    return chosen;
}

} // namespace mv620::platform::usb
