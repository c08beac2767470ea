// The state right after load, seen through the exports. Runs in a process of its own, before any
// other call has changed anything.
#include <gtest/gtest.h>

#include "MV620ACQm.h"
#include "context/library_lifetime.h"

namespace mv620 {
namespace {

TEST(LoadState, NothingRunsAndNoChannelIsOn) {
    EXPECT_EQ(Get_Blocks_Transferred(), 0);
    for (int channel = -1; channel <= 40; ++channel) {
        EXPECT_EQ(Get_Sample_Rate(channel), 0) << channel;
        EXPECT_EQ(Get_DataPoint(channel, 0), SAMPLE_NO_BLOCKS);
        EXPECT_EQ(Get_Current_DataPoint(channel), 0);
        EXPECT_EQ(Get_Sample_Modulus(channel), 0);
    }
    EXPECT_EQ(Stop_Acquisition(), 0);
    // No channel is enabled: the start is refused, and nothing runs afterwards.
    EXPECT_EQ(Start_Acquisition(reinterpret_cast<HWND>(0x77)), 0);
    EXPECT_EQ(Stop_Acquisition(), 0);
    EXPECT_EQ(Get_Blocks_Transferred(), 0);
}

TEST(LoadState, RatesSnapAndOutOfRangeChannelsSetChannelZero) {
    resetLibraryState();
    const std::pair<int, int> requests[] = {{100, 10}, {9, 5}, {4, 2}, {1, 1}, {0, 0}, {-3, 0}};
    for (const auto& [requested, reported] : requests) {
        EXPECT_EQ(Set_Sample_Rate(5, requested), 40);
        EXPECT_EQ(Get_Sample_Rate(5), reported) << requested;
    }
    for (const int channel : {40, -1, INT32_MIN, INT32_MAX}) {
        resetLibraryState();
        EXPECT_EQ(Set_Sample_Rate(channel, 10), 40);
        EXPECT_EQ(Get_Sample_Rate(0), 10) << channel;
        EXPECT_EQ(Get_Sample_Rate(channel), 0);
    }
    resetLibraryState();
}

} // namespace
} // namespace mv620
