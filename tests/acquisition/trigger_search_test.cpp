// Trigger search over runs of chosen sample values: the simulated instrument plays the run back
// as channel 0's waveform, and the search reads it through the exports.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "support/library_fixture.h"

namespace mv620::testing {
namespace {

class TriggerSearch : public LibraryTest {
protected:
    // Streams one block of channel 0 alone whose first samples are `values`, then reads them.
    static void playBack(const std::vector<int>& values, std::size_t length = 0) {
        std::vector<std::uint16_t> waveform(std::max(values.size(), length), 0);
        for (std::size_t i = 0; i < values.size(); ++i) {
            waveform[i] = static_cast<std::uint16_t>(values[i]);
        }
        Stop_Acquisition();
        ASSERT_EQ(MV620Sim_SetWaveform(0, waveform.data(), static_cast<int>(waveform.size())), 1);
        ASSERT_EQ(Set_Sample_Rate(0, 10), 40); // only channel 0: it fills the whole stream
        streamBlocks(1);
    }
    static int search(const std::vector<int>& values, int mode, int level) {
        playBack(values);
        std::vector<int> buffer(values.size(), -1);
        const int found =
            Get_Trigger(buffer.data(), 0, 0, static_cast<int>(values.size()), mode, level);
        EXPECT_EQ(buffer, values) << "every sample of the run is stored";
        return found;
    }
};

TEST_F(TriggerSearch, RisingAndAtOrAbove) {
    EXPECT_EQ(search({100, 200, 300}, TRIGGER_RISING, 150), 200);
    EXPECT_EQ(search({100, 200, 300}, TRIGGER_AT_OR_ABOVE, 150), 200);
    EXPECT_EQ(search({100, 200, 300}, TRIGGER_AT_OR_BELOW, 150), 0) << "sample 0 is never tested";
}

TEST_F(TriggerSearch, FallingAndAtOrBelow) {
    EXPECT_EQ(search({300, 100, 50}, TRIGGER_FALLING, 150), 100);
    EXPECT_EQ(search({300, 100, 50}, TRIGGER_AT_OR_BELOW, 150), 100);
}

TEST_F(TriggerSearch, LevelsThatNeverTrigger) {
    EXPECT_EQ(search({0, 65535, 0, 65535}, TRIGGER_RISING, 0), 0);
    EXPECT_EQ(search({65535, 0, 65535, 0}, TRIGGER_FALLING, 65535), 0);
    for (const int mode : {4, -1, INT32_MAX, INT32_MIN}) {
        EXPECT_EQ(search({1, 2, 3}, mode, 2), 0) << mode;
    }
}

TEST_F(TriggerSearch, AZeroSampleDoesNotEndTheSearch) {
    EXPECT_EQ(search({5, 0, 0, 7, 9}, TRIGGER_AT_OR_ABOVE, 0), 7);
    EXPECT_EQ(search({5, 0, 0}, TRIGGER_AT_OR_ABOVE, 0), 0);
    EXPECT_EQ(search({9, 0, 4}, TRIGGER_AT_OR_BELOW, 5), 4) << "0 triggers but counts as none";
}

TEST_F(TriggerSearch, OnlyTheLowSixteenBitsOfTheLevelCount) {
    EXPECT_EQ(search({100, 200, 300}, TRIGGER_RISING, 65686), 200); // acts as 150
    EXPECT_EQ(search({100, 65535, 300}, TRIGGER_AT_OR_ABOVE, -1), 65535);
}

TEST_F(TriggerSearch, ARunEndsAtTheFirstFailure) {
    std::vector<int> block(32000);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<int>(i);
    }
    playBack(block);
    std::vector<int> buffer(10, -7);
    // Samples 31995 to 32004: the 6th lies in block 1, not yet transferred.
    EXPECT_EQ(Get_Trigger(buffer.data(), 0, 31995, 10, TRIGGER_AT_OR_ABOVE, 31997), 31997);
    EXPECT_EQ(std::vector<int>(buffer.begin(), buffer.begin() + 5),
              std::vector<int>(block.end() - 5, block.end()));
    EXPECT_EQ(buffer[5], -7);
    EXPECT_EQ(Get_Trigger(buffer.data(), 0, 31995, 10, TRIGGER_AT_OR_ABOVE, 40000), 0);
    EXPECT_EQ(Get_Trigger(buffer.data(), 0, 32000, 10, TRIGGER_AT_OR_ABOVE, 0), 0);
    EXPECT_EQ(Get_Trigger(buffer.data(), 0, 0, 0, TRIGGER_AT_OR_ABOVE, 0), 0);
    EXPECT_EQ(Get_Trigger(buffer.data(), 0, 0, -5, TRIGGER_AT_OR_ABOVE, 0), 0);
}

TEST_F(TriggerSearch, ABlockThatCouldNotBeReadYieldsNoSamples) {
    ASSERT_EQ(MV620Sim_FailBlockRead(0, 2), 1); // both reads of block 0 fail
    playBack({1, 2, 3});
    EXPECT_EQ(Get_DataPoint(0, 0), SAMPLE_OVERWRITTEN);
    int buffer[3] = {};
    EXPECT_EQ(Get_Data_Samples(buffer, 0, 0, 3), 0);
    EXPECT_EQ(Get_Trigger(buffer, 0, 0, 3, TRIGGER_AT_OR_ABOVE, 0), 0);
}

} // namespace
} // namespace mv620::testing
