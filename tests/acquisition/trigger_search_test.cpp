// Trigger search over runs of chosen sample values, placed straight into the ring as if the
// acquisition thread had read them: one channel alone, so stream position n is its sample n.
#include <gtest/gtest.h>

#include <vector>

#include "acquisition/trigger_search.h"
#include "support/library_fixture.h"

namespace mv620::testing {
namespace {

class TriggerSearch : public LibraryTest {
protected:
    static void placeRun(const std::vector<int>& values) {
        ASSERT_EQ(Set_Sample_Rate(0, 10), 40); // only channel 0: it fills the whole stream
        auto& slot = blockRing.slots[0];
        for (std::size_t i = 0; i < values.size(); ++i) {
            slot[2 * i] = static_cast<std::uint8_t>(values[i] >> 8);
            slot[2 * i + 1] = static_cast<std::uint8_t>(values[i] & 0xFF);
        }
        blockRing.holdsBlock[0].store(true);
        blocksTransferred.store(1);
    }
    static int search(const std::vector<int>& values, int mode, int level) {
        placeRun(values);
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
    std::vector<int> values(5);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = 31995 + static_cast<int>(i);
    }
    placeRun({});
    auto& slot = blockRing.slots[0];
    for (std::size_t i = 0; i < 5; ++i) { // the last five samples of block 0
        const std::size_t at = 2 * (31995 + i);
        slot[at] = static_cast<std::uint8_t>(values[i] >> 8);
        slot[at + 1] = static_cast<std::uint8_t>(values[i] & 0xFF);
    }
    std::vector<int> buffer(10, -7);
    // Samples 31995 to 32004: the 6th lies in block 1, not yet transferred.
    EXPECT_EQ(Get_Trigger(buffer.data(), 0, 31995, 10, TRIGGER_AT_OR_ABOVE, 31997), 31997);
    EXPECT_EQ(std::vector<int>(buffer.begin(), buffer.begin() + 5), values);
    EXPECT_EQ(buffer[5], -7);
    EXPECT_EQ(Get_Trigger(buffer.data(), 0, 31995, 10, TRIGGER_AT_OR_ABOVE, 40000), 0);
    EXPECT_EQ(Get_Trigger(buffer.data(), 0, 32000, 10, TRIGGER_AT_OR_ABOVE, 0), 0);
    EXPECT_EQ(Get_Trigger(buffer.data(), 0, 0, 0, TRIGGER_AT_OR_ABOVE, 0), 0);
    EXPECT_EQ(Get_Trigger(buffer.data(), 0, 0, -5, TRIGGER_AT_OR_ABOVE, 0), 0);
}

TEST_F(TriggerSearch, ABlockThatCouldNotBeReadYieldsNoSamples) {
    placeRun({1, 2, 3});
    blockRing.holdsBlock[0].store(false);
    EXPECT_EQ(Get_DataPoint(0, 0), SAMPLE_OVERWRITTEN);
    int buffer[3] = {};
    EXPECT_EQ(Get_Data_Samples(buffer, 0, 0, 3), 0);
}

} // namespace
} // namespace mv620::testing
