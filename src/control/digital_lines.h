// The instrument's digital output lines (autozero, calibration, free lines) and input port.
#pragma once

#include <cstdint>

namespace mv620::control {

// The lines with a fixed role.
inline constexpr std::uint8_t kAutozeroLine = 0;
inline constexpr std::uint8_t kOddCalibrationLine = 1;
inline constexpr std::uint8_t kEvenCalibrationLine = 2;

// Switch one line on or off over a connection of their own. The line counts by its low 8 bits
// (modulo 32 in the request); only lines 0 to 3 exist. Return 1 in every case: the outcome of the
// request is not reported. Any thread.
int switchLineOn(std::int32_t line) noexcept;
int switchLineOff(std::int32_t line) noexcept;

// An autozero pulse: line 0 on, a busy wait of 1000 ms, line 0 off, on one connection. Returns 1.
int pulseAutozero() noexcept;

// Decodes an input port byte for `bit`: the port's bit 3 is replaced by its bit 6, the byte is
// shifted right by the low five bits of `bit`, and the input reads inverted: 1 when that bit is 0.
int decodeDigitalInput(std::uint8_t port, std::int32_t bit) noexcept;

// Get_Digital_Input: reads the port and decodes it; 0 (inactive) when the port cannot be read.
int readDigitalInput(std::int32_t bit) noexcept;

} // namespace mv620::control
