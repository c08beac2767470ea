// Every export called with extreme and random arguments, before, during and after an
// acquisition: each answers with a defined result, and nothing is written outside the caller's
// buffer. Run under AddressSanitizer and UndefinedBehaviorSanitizer, it also proves that no
// argument leads to an out-of-bounds access or undefined arithmetic.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support/library_fixture.h"

namespace mv620::testing {
namespace {

constexpr int kGuard = 0x5A5A5A5A;
constexpr std::size_t kWindow = 15 * 32000; // no run can hold more samples than the window
constexpr std::size_t kCapacity = 1000;     // the largest count of the sweep but INT32_MAX

class BadInput : public LibraryTest {
protected:
    std::vector<int> values_;
    std::mt19937 random_{99};

    void SetUp() override {
        LibraryTest::SetUp();
        values_ = {INT32_MIN, INT32_MIN + 1, -2,       -1, 0, 1, 39, 40, 41, 65535,
                   65536,     INT32_MAX - 1, INT32_MAX};
        for (int i = 0; i < 6; ++i) {
            values_.push_back(static_cast<int>(random_()));
        }
    }

    // A buffer with guard words behind what the call may fill.
    static std::vector<int> guardedBuffer(std::size_t capacity) {
        return std::vector<int>(capacity + 64, kGuard);
    }

    static void expectGuardsIntact(const std::vector<int>& buffer, int stored) {
        for (std::size_t i = static_cast<std::size_t>(std::max(stored, 0)); i < buffer.size();
             ++i) {
            if (buffer[i] != kGuard) {
                FAIL() << "entry " << i << " written beyond the " << stored << " stored";
            }
        }
    }

    void sweepReads() {
        std::vector<int> buffer = guardedBuffer(kCapacity);
        std::vector<int> whole = guardedBuffer(kWindow);
        for (const int channel : values_) {
            // The largest count: the run ends where the readable samples end.
            std::fill(whole.begin(), whole.end(), kGuard);
            const int all = Get_Data_Samples(whole.data(), channel, 0, INT32_MAX);
            EXPECT_GE(all, 0);
            EXPECT_LE(all, static_cast<int>(kWindow));
            expectGuardsIntact(whole, all);
            const int rate = Get_Sample_Rate(channel);
            EXPECT_TRUE(rate == 0 || rate == 1 || rate == 2 || rate == 5 || rate == 10);
            const int modulus = Get_Sample_Modulus(channel);
            if (channel < 0 || channel > 39) {
                EXPECT_EQ(modulus, 0);
                EXPECT_EQ(Get_Current_DataPoint(channel), 0);
            }
            for (const int index : values_) {
                const int value = Get_DataPoint(channel, index);
                EXPECT_GE(value, SAMPLE_OVERWRITTEN);
                EXPECT_LE(value, 65535);
                for (const int count : {INT32_MIN, -1, 0, 1, 7, 1000}) {
                    std::fill(buffer.begin(), buffer.end(), kGuard);
                    const int stored = Get_Data_Samples(buffer.data(), channel, index, count);
                    EXPECT_GE(stored, 0);
                    EXPECT_LE(stored, std::max(count, 0));
                    expectGuardsIntact(buffer, stored);
                    EXPECT_EQ(Get_Data_Samples(nullptr, channel, index, count), 0);
                }
                const int mode = values_[random_() % values_.size()];
                const int level = values_[random_() % values_.size()];
                const int count =
                    std::min(values_[random_() % values_.size()], static_cast<int>(kCapacity));
                std::fill(buffer.begin(), buffer.end(), kGuard);
                const int found = Get_Trigger(buffer.data(), channel, index, count, mode, level);
                EXPECT_GE(found, 0);
                EXPECT_LE(found, 65535);
                int stored = 0;
                while (stored < static_cast<int>(kCapacity) &&
                       buffer[static_cast<std::size_t>(stored)] != kGuard) {
                    ++stored;
                }
                expectGuardsIntact(buffer, stored);
                EXPECT_EQ(Get_Trigger(nullptr, channel, index, count, mode, level), 0);
            }
        }
    }

    void sweepControl() {
        for (const int value : values_) {
            EXPECT_EQ(Do_Output_On(value), 1);
            EXPECT_EQ(Do_Output_Off(value), 1);
            const int input = Get_Digital_Input(value);
            EXPECT_TRUE(input == 0 || input == 1);
        }
        const int status = Get_MV620ACQ_Status();
        EXPECT_TRUE((status >= -7 && status <= -5) || (status >= 90 && status <= 127)) << status;
        EXPECT_EQ(Do_Download(reinterpret_cast<HWND>(-1)), 0) << "no image file here";
    }
};

TEST_F(BadInput, BeforeDuringAndAfterAnAcquisition) {
    sweepReads();
    sweepControl();
    for (const int channel : values_) {
        for (const int rate : values_) {
            EXPECT_EQ(Set_Sample_Rate(channel, rate), 40);
        }
    }
    Set_Sample_Rate(0, 10);
    Set_Sample_Rate(21, 1);
    streamBlocks(3);
    for (const int boundary : {0, INT32_MIN, -1, 1, INT32_MAX, 0}) {
        Set_Sample_Boundary(boundary);
        sweepReads();
    }
    sweepControl();
    const int stopped = Stop_Acquisition();
    EXPECT_EQ(stopped, 0);
    sweepReads();
    for (const int channel : {0, 1, 21, 39}) {
        Set_Sample_Rate(channel, 0);
    }
    EXPECT_EQ(Start_Acquisition(reinterpret_cast<HWND>(-1)), 0) << "every channel is off";
    sweepReads();
}

} // namespace
} // namespace mv620::testing
