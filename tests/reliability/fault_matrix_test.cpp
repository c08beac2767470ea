// One table over the simulated instrument's faults: each fault's defined outcome on every export
// it touches, a stop that returns promptly, and a library that works again once the fault is
// gone (the next start with a healthy instrument streams exact samples).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/thread.h"
#include "support/library_fixture.h"

namespace mv620::testing {
namespace {

struct Fault {
    std::string name;
    std::function<void()> inject;
    std::uint32_t blocks; // blocks counted before the thread stops or waits for ever
    std::vector<std::uint32_t> lostBlocks; // blocks that read as SAMPLE_OVERWRITTEN
    int status;                            // Get_MV620ACQ_Status with the fault in place, idle
    int download;                          // LV_Download of a good image with the fault in place
    int input;       // Get_Digital_Input(0) with input 0 active (its bit clear)
    int statusAfter; // Get_MV620ACQ_Status once the acquisition has stopped
};

void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }

const char kImage[] = "0001\r\n4000\r\n0000\r\n1234\r\nFFFF\r\n";

std::vector<Fault> faults() {
    return {
        {"Absent", [] { MV620Sim_SetPresence(MV620SIM_ABSENT); }, 0, {}, -5, 0, 0, -5},
        {"Foreign", [] { MV620Sim_SetPresence(MV620SIM_FOREIGN); }, 6, {}, -5, 0, 1, -5},
        {"OneFailedRead", [] { MV620Sim_FailBlockRead(2, 1); }, 6, {}, 90, 1, 1, 90},
        {"TwoFailedReads", [] { MV620Sim_FailBlockRead(2, 2); }, 6, {2}, 90, 1, 1, 90},
        {"ShortRead", [] { MV620Sim_ShortBlockRead(2, 333); }, 6, {}, 90, 1, 1, 90},
        {"ReadyNeverComes", [] { MV620Sim_ReadyNeverFrom(3); }, 3, {}, 90, 1, 1, 90},
        {"UnplugAtBlock4", [] { MV620Sim_UnplugAfterBlocks(4); }, 4, {}, 90, 1, 1, -5},
        {"StartCommandNotWritten", [] { MV620Sim_FailPacketWrite(19, 0); }, 0, {}, 90, 1, 1, 90},
        {"StatusExchangeFails", [] { MV620Sim_FailResponseRead(18, 0); }, 6, {}, -5, 1, 1, -5},
        {"DownloadPacketFails", [] { MV620Sim_FailPacketWrite(17, 0); }, 6, {}, 90, 0, 1, 90},
        {"WrongDownloadEcho", [] { MV620Sim_SetWrongEcho(1); }, 6, {}, 90, 0, 1, 90},
        {"StatusByte3", [] { MV620Sim_SetStatusByte(3); }, 6, {}, -6, 1, 1, -6},
    };
}

class FaultMatrix : public LibraryTest, public ::testing::WithParamInterface<Fault> {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        previous_ = std::filesystem::current_path();
        folder_ = std::filesystem::temp_directory_path() / ("mv620-faults-" + GetParam().name);
        std::filesystem::create_directories(folder_);
        std::filesystem::current_path(folder_);
        std::ofstream("acq620m_2189.idm", std::ios::binary) << kImage;
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(folder_);
        LibraryTest::TearDown();
    }

private:
    std::filesystem::path previous_;
    std::filesystem::path folder_;
};

void expectExactStream(std::uint32_t blocks, const std::vector<std::uint32_t>& lost) {
    // Channel 0 alone at rate 10: its sample n lies in block n / 32000.
    for (std::uint32_t block = 0; block < blocks; ++block) {
        const bool isLost = std::find(lost.begin(), lost.end(), block) != lost.end();
        for (const std::uint32_t n : {block * 32000, block * 32000 + 31999}) {
            EXPECT_EQ(Get_DataPoint(0, static_cast<int>(n)),
                      isLost ? SAMPLE_OVERWRITTEN : expectedSample(0, n))
                << "block " << block;
        }
    }
    EXPECT_EQ(Get_DataPoint(0, static_cast<int>(blocks * 32000)),
              blocks == 0 ? SAMPLE_NO_BLOCKS : SAMPLE_NOT_YET);
}

TEST_P(FaultMatrix, DefinedOutcomeAndUsableAgain) {
    const Fault& fault = GetParam();
    MV620Sim_SetInputs(0x7E);
    Set_Sample_Rate(0, 10);
    fault.inject();

    EXPECT_EQ(Get_MV620ACQ_Status(), fault.status);
    EXPECT_EQ(LV_Download(), fault.download);
    EXPECT_EQ(Get_Digital_Input(0), fault.input);
    EXPECT_EQ(Do_Autozero(), 1);
    EXPECT_EQ(Do_Output_On(3), 1);

    // The stream: six blocks at most, then a ready bit that never comes; the stop is prompt in
    // every case (the suite would hang otherwise).
    if (fault.name != "ReadyNeverComes") {
        MV620Sim_ReadyNeverFrom(6);
    }
    ASSERT_EQ(Start_Acquisition(nullptr), 1);
    ASSERT_TRUE(eventually([&] { return blocks() >= fault.blocks; }));
    EXPECT_EQ(Stop_Acquisition(), 0);
    EXPECT_EQ(blocks(), fault.blocks);
    expectExactStream(fault.blocks, fault.lostBlocks);
    EXPECT_EQ(Get_MV620ACQ_Status(), fault.statusAfter);

    // The fault gone, the library streams exact samples again.
    MV620Sim_Reset();
    MV620Sim_SetVirtualClock(1, 65536);
    streamBlocks(3);
    expectExactStream(3, {});
    Stop_Acquisition();
    EXPECT_EQ(Get_MV620ACQ_Status(), 90);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(faults()),
                         [](const auto& param) { return param.param.name; });

bool refuseThread(platform::ThreadEntry /*entry*/, void* /*parameter*/) noexcept { return false; }

// A start whose thread cannot be created is refused and leaves nothing running, so the next
// stop does not wait for a thread that never was.
TEST_F(LibraryTest, ThreadThatCannotBeCreated) {
    Set_Sample_Rate(0, 10);
    platform::setThreadStarter(refuseThread);
    EXPECT_EQ(Start_Acquisition(nullptr), 0);
    platform::setThreadStarter(nullptr);
    EXPECT_EQ(Get_MV620ACQ_Status(), 90) << "nothing runs: the read pipe is free";
    EXPECT_EQ(Stop_Acquisition(), 0);
    EXPECT_EQ(Get_Current_DataPoint(0), 0);
    streamBlocks(2);
    expectExactStream(2, {});
}

} // namespace
} // namespace mv620::testing
