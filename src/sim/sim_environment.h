// The settings an application's environment gives the simulated instrument at load:
//   MV620SIM_DEVICE=present|absent|foreign
//   MV620SIM_PATTERN=identify|sine|ramp
//   MV620SIM_RATE=<aggregate samples per second; 0 = as fast as the host reads>
//   MV620SIM_LATENCY_US=<microseconds every driver request takes, 0 to 1000000>
//   MV620SIM_STATUS=<status byte, 0 to 255>
//   MV620SIM_INPUTS=<input bits 0 to 6, 0 to 127>
//   MV620SIM_VIRTUAL_CLOCK=1
// Numbers are decimal, or hexadecimal with 0x. A variable that is missing or cannot be read
// leaves its default.
#pragma once

#include "sim/firmware_model.h"

#include <cstdint>

namespace mv620::sim {

// The time a driver request to a real instrument takes: a USB round trip, during which the
// calling thread sleeps in the driver. The simulated driver spends it sleeping too, by default
// whenever it paces the stream in real time; as fast as the host reads, it takes none.
inline constexpr std::uint32_t kRealTimeRequestMicroseconds = 1000; // a full-speed USB frame
inline constexpr std::uint32_t kMaxRequestMicroseconds = 1000000;

struct LoadOptions {
    InstrumentSettings settings = InstrumentSettings::forApplications();
    bool virtualClock = false;
    std::uint32_t requestMicroseconds = kRealTimeRequestMicroseconds;
};

// The first reading of the virtual clock when the environment turns it on: far enough from 0
// that the library's waits run their full length in readings.
inline constexpr std::uint32_t kEnvironmentClockStart = 0x10000;

// Looks up one variable: its value, or null when it is not set.
using EnvironmentLookup = const char* (*)(const char* name);

LoadOptions loadOptionsFrom(EnvironmentLookup lookup) noexcept;

} // namespace mv620::sim
