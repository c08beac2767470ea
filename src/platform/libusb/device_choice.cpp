// Which instrument the libusb backend opens (see device_choice.h).
#include "platform/libusb/device_choice.h"

#include "platform/ezusb_requests.h"

namespace mv620::platform::usb {
namespace {

// Reads a decimal number of at most `max` up to `end` or the string's end; null when malformed.
const char* readNumber(const char* text, char end, unsigned max, unsigned& value) noexcept {
    value = 0;
    const char* p = text;
    for (; *p != '\0' && *p != end; ++p) {
        if (*p < '0' || *p > '9') {
            return nullptr;
        }
        value = value * 10 + static_cast<unsigned>(*p - '0');
        if (value > max) {
            return nullptr;
        }
    }
    return p == text ? nullptr : p;
}

bool matches(const Candidate& candidate, const DeviceRequest& request) noexcept {
    return candidate.bus == request.bus && candidate.address == request.address;
}

} // namespace

std::optional<DeviceRequest> parseDeviceRequest(const char* value) noexcept {
    if (value == nullptr) {
        return std::nullopt;
    }
    unsigned bus = 0;
    unsigned address = 0;
    const char* colon = readNumber(value, ':', 255, bus);
    if (colon == nullptr || *colon != ':' || readNumber(colon + 1, '\0', 127, address) == nullptr) {
        return DeviceRequest{};
    }
    return DeviceRequest{static_cast<std::uint8_t>(bus), static_cast<std::uint8_t>(address)};
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
