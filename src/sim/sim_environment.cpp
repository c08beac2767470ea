#include "sim/sim_environment.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace mv620::sim {

namespace {

bool equalsIgnoringCase(const char* a, const char* b) noexcept {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        const auto ca = static_cast<unsigned char>(*a);
        const auto cb = static_cast<unsigned char>(*b);
        const auto la = (ca >= 'A' && ca <= 'Z') ? ca + ('a' - 'A') : ca;
        const auto lb = (cb >= 'A' && cb <= 'Z') ? cb + ('a' - 'A') : cb;
        if (la != lb) {
            return false;
        }
    }
    return *a == *b;
}

// A whole number from `text` within [0, max], or false.
bool parseNumber(const char* text, unsigned long long max, unsigned long long& value) noexcept {
    if (text == nullptr || *text == '\0' || *text == '-') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || parsed > max) {
        return false;
    }
    value = parsed;
    return true;
}

} // namespace

LoadOptions loadOptionsFrom(EnvironmentLookup lookup) noexcept {
    LoadOptions options;
    if (lookup == nullptr) {
        return options;
    }
    InstrumentSettings& s = options.settings;

    if (const char* device = lookup("MV620SIM_DEVICE"); device != nullptr) {
        if (equalsIgnoringCase(device, "absent")) {
            s.absent = true;
        } else if (equalsIgnoringCase(device, "foreign")) {
            s.vendorId = kForeignVendorId;
            s.productId = kForeignProductId;
        }
    }
    if (const char* pattern = lookup("MV620SIM_PATTERN"); pattern != nullptr) {
        if (equalsIgnoringCase(pattern, "identify")) {
            s.pattern = Pattern::Identify;
        } else if (equalsIgnoringCase(pattern, "sine")) {
            s.pattern = Pattern::Sine;
        } else if (equalsIgnoringCase(pattern, "ramp")) {
            s.pattern = Pattern::Ramp;
        }
    }
    unsigned long long value = 0;
    if (parseNumber(lookup("MV620SIM_RATE"), 0xFFFFFFFFu, value)) {
        s.samplesPerSecond = static_cast<std::uint32_t>(value);
    }
    if (parseNumber(lookup("MV620SIM_STATUS"), 0xFFu, value)) {
        s.statusByte = static_cast<std::uint8_t>(value);
    }
    if (parseNumber(lookup("MV620SIM_INPUTS"), kInputMask, value)) {
        s.inputs = static_cast<std::uint8_t>(value);
    }
    options.requestMicroseconds = s.samplesPerSecond == 0 ? 0 : kRealTimeRequestMicroseconds;
    if (parseNumber(lookup("MV620SIM_LATENCY_US"), kMaxRequestMicroseconds, value)) {
        options.requestMicroseconds = static_cast<std::uint32_t>(value);
    }
    if (const char* clock = lookup("MV620SIM_VIRTUAL_CLOCK"); clock != nullptr) {
        options.virtualClock = std::strcmp(clock, "1") == 0;
    }
    return options;
}

} // namespace mv620::sim
