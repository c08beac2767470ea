// Host-side helpers for the simulated instrument's tests: well-formed driver requests, command
// packets, and an independent model of the sample stream to check the simulator against.
#pragma once

#include "platform/driver.h"
#include "support/expected_protocol.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace simtest {

using mv620::expected::kAbortCode;
using mv620::expected::kBlockBytes;
using mv620::expected::kBlockSamples;
using mv620::expected::kBulkReadCode;
using mv620::expected::kBulkWriteCode;
using mv620::expected::kDescriptorCode;
using mv620::expected::kResetCode;
using mv620::expected::kVendorCode;
inline constexpr const char* kPath = mv620::expected::kDevicePath;

using Packet = std::array<std::uint8_t, 64>;
using Dividers = std::array<int, 40>; // by channel

// The scan order, kept apart from the simulator's own table.
inline constexpr const std::array<int, 40>& kChannelsByPosition = mv620::expected::kScanOrder;

inline std::array<std::uint8_t, 10> vendorBlock(std::uint8_t direction, std::uint8_t request,
                                                std::uint16_t value, std::uint16_t index = 0) {
    return {direction,
            2,
            0,
            0,
            request,
            0,
            static_cast<std::uint8_t>(value & 0xFF),
            static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(index & 0xFF),
            static_cast<std::uint8_t>(index >> 8)};
}

inline std::array<std::uint8_t, 4> pipeBlock(std::uint32_t pipe) {
    return {static_cast<std::uint8_t>(pipe & 0xFF), static_cast<std::uint8_t>((pipe >> 8) & 0xFF),
            static_cast<std::uint8_t>((pipe >> 16) & 0xFF), static_cast<std::uint8_t>(pipe >> 24)};
}

// Stamps byte 63 so that the 64 bytes add up to 0xFF.
inline Packet sealed(Packet p) {
    int sum = 0;
    for (int i = 0; i < 63; ++i) {
        sum += p[static_cast<std::size_t>(i)];
    }
    p[63] = static_cast<std::uint8_t>((0xFF - sum) & 0xFF);
    return p;
}

inline Packet commandPacket(std::uint8_t code, std::uint8_t sequence = 1) {
    Packet p{};
    p[0] = code;
    p[1] = sequence;
    return sealed(p);
}

inline Packet startPacket(const Dividers& byChannel) {
    Packet p{};
    p[0] = 19;
    p[1] = 1;
    for (std::size_t k = 0; k < 40; ++k) {
        p[6 + k] =
            static_cast<std::uint8_t>(byChannel[static_cast<std::size_t>(kChannelsByPosition[k])]);
    }
    return sealed(p);
}

// A download data packet: words most significant byte first from byte 8.
inline Packet downloadPacket(std::uint32_t address, bool wide,
                             const std::vector<std::uint32_t>& words) {
    Packet p{};
    p[0] = 17;
    p[4] = static_cast<std::uint8_t>((address & 0x3F00) >> 8);
    p[5] = static_cast<std::uint8_t>(address & 0xFF);
    p[6] = wide ? 1 : 0;
    p[7] = static_cast<std::uint8_t>(words.size());
    std::size_t at = 8;
    for (const std::uint32_t w : words) {
        if (wide) {
            p[at++] = static_cast<std::uint8_t>(w >> 16);
        }
        p[at++] = static_cast<std::uint8_t>((w >> 8) & 0xFF);
        p[at++] = static_cast<std::uint8_t>(w & 0xFF);
    }
    return sealed(p);
}

// One connection, issuing requests exactly as the instrument's driver takes them.
class Host {
public:
    explicit Host(mv620::platform::DriverBackend& driver) : driver_(driver) {
        handle_ = driver_.open(kPath);
    }
    ~Host() {
        if (handle_ != mv620::platform::kInvalidDevice) {
            driver_.close(handle_);
        }
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    bool opened() const { return handle_ != mv620::platform::kInvalidDevice; }
    mv620::platform::DeviceHandle handle() const { return handle_; }

    bool control(std::uint32_t code, const void* in, std::uint32_t inLength, void* out,
                 std::uint32_t outLength, std::uint32_t* returned = nullptr) {
        std::uint32_t count = 0xDEADBEEF;
        const bool ok = driver_.control(handle_, code, in, inLength, out, outLength, &count);
        if (returned != nullptr) {
            *returned = count;
        }
        return ok;
    }

    bool descriptor(std::array<std::uint8_t, 146>& out, std::uint32_t* returned = nullptr) {
        return control(kDescriptorCode, nullptr, 0, out.data(), 146, returned);
    }
    bool setLine(std::uint16_t value) {
        const auto block = vendorBlock(0, 13, value);
        return control(kVendorCode, block.data(), 10, nullptr, 0);
    }
    bool clearLine(std::uint16_t value) {
        const auto block = vendorBlock(0, 14, value);
        return control(kVendorCode, block.data(), 10, nullptr, 0);
    }
    // The input port byte, or -1 when the request failed.
    int inputs() {
        const auto block = vendorBlock(1, 15, 0);
        std::uint8_t byte = 0;
        return control(kVendorCode, block.data(), 10, &byte, 1) ? byte : -1;
    }
    bool ready() { return inputs() >= 0x80; }
    bool write(Packet packet) {
        const auto block = pipeBlock(1);
        return control(kBulkWriteCode, block.data(), 4, packet.data(), 64);
    }
    bool read(std::uint8_t* buffer, std::uint32_t length, std::uint32_t* returned = nullptr) {
        const auto block = pipeBlock(0);
        return control(kBulkReadCode, block.data(), 4, buffer, length, returned);
    }
    bool response(Packet& out) { return read(out.data(), 64); }
    bool abortPipe() {
        const auto block = pipeBlock(0);
        return control(kAbortCode, block.data(), 4, nullptr, 0);
    }
    bool resetPipe() {
        const auto block = pipeBlock(0);
        return control(kResetCode, block.data(), 4, nullptr, 0);
    }
    // One whole block as samples, or an empty vector when the read failed.
    std::vector<std::uint16_t> block() {
        std::vector<std::uint8_t> bytes(kBlockBytes);
        if (!read(bytes.data(), kBlockBytes)) {
            return {};
        }
        return samplesOf(bytes);
    }
    // The first sample of one whole block, or -1 when the read failed.
    int firstSample() {
        const std::vector<std::uint16_t> samples = block();
        return samples.empty() ? -1 : samples.front();
    }

    static std::vector<std::uint16_t> samplesOf(const std::vector<std::uint8_t>& bytes) {
        std::vector<std::uint16_t> samples(bytes.size() / 2);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<std::uint16_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]);
        }
        return samples;
    }

private:
    mv620::platform::DriverBackend& driver_;
    mv620::platform::DeviceHandle handle_ = mv620::platform::kInvalidDevice;
};

inline std::uint16_t identifyValue(int channel, std::uint64_t n) {
    return static_cast<std::uint16_t>(mv620::expected::identifyValue(channel, n));
}

// The first `count` samples of the stream, found by listing, for every channel on its own, the
// moments (pass, scan position) at which it is sampled, then putting all moments in time order.
inline std::vector<std::uint16_t> expectedStream(const Dividers& byChannel, std::size_t count) {
    std::array<int, 40> positionOf{};
    for (int k = 0; k < 40; ++k) {
        positionOf[static_cast<std::size_t>(kChannelsByPosition[static_cast<std::size_t>(k)])] = k;
    }
    double perPass = 0;
    for (const int d : byChannel) {
        perPass += d > 0 ? 1.0 / d : 0.0;
    }
    if (perPass == 0) {
        return {};
    }
    const auto passes = static_cast<std::uint64_t>(static_cast<double>(count) / perPass) + 20;
    struct Moment {
        std::uint64_t when;
        int channel;
        std::uint64_t n;
    };
    std::vector<Moment> moments;
    for (int c = 0; c < 40; ++c) {
        const int d = byChannel[static_cast<std::size_t>(c)];
        if (d <= 0) {
            continue;
        }
        std::uint64_t n = 0;
        for (std::uint64_t pass = static_cast<std::uint64_t>(d); pass <= passes;
             pass += static_cast<std::uint64_t>(d)) {
            moments.push_back(
                {pass * 40 + static_cast<std::uint64_t>(positionOf[static_cast<std::size_t>(c)]), c,
                 n++});
        }
    }
    std::sort(moments.begin(), moments.end(),
              [](const Moment& a, const Moment& b) { return a.when < b.when; });
    std::vector<std::uint16_t> values;
    for (std::size_t i = 0; i < count && i < moments.size(); ++i) {
        values.push_back(identifyValue(moments[i].channel, moments[i].n));
    }
    return values;
}

} // namespace simtest
