// A fixture for tests that drive the library through its exports against the simulated
// instrument: every test starts from the state after load with a healthy instrument, and ends
// with no acquisition running, no handle left open and no malformed request sent.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "MV620ACQm.h"
#include "MV620ACQm_sim.h"
#include "context/library_lifetime.h"
#include "support/eventually.h"
#include "support/stream_model.h"

namespace mv620::testing {

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        Stop_Acquisition();
        MV620Sim_Reset();
        resetLibraryState();
        // Busy waits end after N readings of the virtual counter instead of N milliseconds.
        MV620Sim_SetVirtualClock(1, 65536);
    }

    void TearDown() override {
        Stop_Acquisition();
        EXPECT_EQ(MV620Sim_GetOpenHandles(), 0) << "a connection was left open";
        EXPECT_EQ(MV620Sim_GetMalformedRequests(), 0) << "the library sent a malformed request";
        MV620Sim_SetVirtualClock(0, 0);
    }
};

inline std::uint32_t blocks() { return static_cast<std::uint32_t>(Get_Blocks_Transferred()); }

// Starts an acquisition that streams exactly `count` blocks and then waits for a ready bit that
// never comes, and waits until the library has counted them.
inline void streamBlocks(std::int32_t count,
                         std::chrono::seconds patience = std::chrono::seconds(60)) {
    MV620Sim_ReadyNeverFrom(count);
    ASSERT_EQ(Start_Acquisition(nullptr), 1);
    ASSERT_TRUE(
        eventually([count] { return blocks() >= static_cast<std::uint32_t>(count); }, patience));
    ASSERT_EQ(blocks(), static_cast<std::uint32_t>(count));
}

// The packets the instrument received since the reset.
inline std::vector<std::vector<std::uint8_t>> packetsSent() {
    std::vector<std::vector<std::uint8_t>> packets;
    for (std::int64_t i = 0; i < MV620Sim_GetPacketCount(); ++i) {
        std::vector<std::uint8_t> packet(64);
        if (MV620Sim_GetPacket(i, packet.data()) != MV620SIM_PACKET_NONE) {
            packets.push_back(packet);
        }
    }
    return packets;
}

} // namespace mv620::testing
