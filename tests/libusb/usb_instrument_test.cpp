// The library's exports through the real libusb against the emulated instrument: the exact setup
// packets of the line requests and the input read, the status exchange, the download, whole
// acquisitions with every sample checked, and the faults of a USB instrument.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <tuple>
#include <vector>

#include "support/scratch_folder.h"
#include "usb_fixture.h"

namespace mv620::testing {
namespace {

using SetupBytes = std::array<std::uint8_t, 8>;

SetupBytes setupPacket(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                       std::uint16_t length) {
    return {requestType,
            request,
            static_cast<std::uint8_t>(value & 0xFFU),
            static_cast<std::uint8_t>(value >> 8U),
            0,
            0, // wIndex
            static_cast<std::uint8_t>(length & 0xFFU),
            static_cast<std::uint8_t>(length >> 8U)};
}

std::vector<SetupBytes> setupsSent(const EmulatedUsb& usb) {
    std::vector<SetupBytes> setups;
    for (const ControlRecord& record : usb.controlTransfers()) {
        setups.push_back(record.setup);
    }
    return setups;
}

// ---- Lines and inputs
// -----------------------------------------------------------------------------

struct LineCase {
    const char* name;
    int (*call)();
    std::uint8_t request;
    std::uint16_t value;
    bool fromAllOn; // lines 0 to 3 on before the call
    int linesAfter;
};

void PrintTo(const LineCase& line, std::ostream* out) { *out << line.name; }

class Lines : public OverUsb, public ::testing::WithParamInterface<LineCase> {};

// bmRequestType 0x40 (vendor, to the device), bRequest 13 or 14, the value word, wIndex 0 and
// wLength 0: no data stage. Which word each export sends is the control layer's, tested over the
// simulated driver; here, that the word reaches the wire whole, its high byte too (line 8 off).
TEST_P(Lines, SendTheirVendorRequestAndSwitchTheLine) {
    const LineCase& c = GetParam();
    if (c.fromAllOn) {
        for (int line = 0; line < 4; ++line) {
            ASSERT_EQ(Do_Output_On(line), 1);
        }
        ASSERT_EQ(MV620Sim_GetOutputLines(), 0b1111);
    }
    const std::size_t before = usb_->controlTransfers().size();
    EXPECT_EQ(c.call(), 1);
    const auto setups = setupsSent(*usb_);
    ASSERT_EQ(setups.size(), before + 1);
    EXPECT_EQ(setups.back(), setupPacket(0x40, c.request, c.value, 0));
    EXPECT_EQ(MV620Sim_GetOutputLines(), c.linesAfter);
}

INSTANTIATE_TEST_SUITE_P(EachLine, Lines,
                         ::testing::Values(LineCase{"AzOn", Do_AZ_On, 13, 0x0001, false, 0b0001},
                                           LineCase{"Line3On", [] { return Do_Output_On(3); }, 13,
                                                    0x0008, false, 0b1000},
                                           LineCase{"AzOff", Do_AZ_Off, 14, 0x00FE, true, 0b1110},
                                           LineCase{"Line3Off", [] { return Do_Output_Off(3); }, 14,
                                                    0x00F7, true, 0b0111},
                                           LineCase{"Line8Off", [] { return Do_Output_Off(8); }, 14,
                                                    0x01FF, true, 0b1111}),
                         [](const auto& p) { return std::string(p.param.name); });

using Control = OverUsb;

// bmRequestType 0xC0 (vendor, to the host), bRequest 15, value 0, wLength 1.
TEST_F(Control, InputReadIsAVendorInRequestOfOneByte) {
    constexpr int kInputs = 0b1001101; // bit 3 reads as bit 6 does: both set here
    MV620Sim_SetInputs(kInputs);
    for (int bit = 0; bit < 7; ++bit) {
        EXPECT_EQ(Get_Digital_Input(bit), ((kInputs >> bit) & 1) != 0 ? 0 : 1) << bit;
    }
    const std::vector<SetupBytes> expected(7, setupPacket(0xC0, 15, 0, 1));
    EXPECT_EQ(setupsSent(*usb_), expected);
}

TEST_F(Control, AutozeroPulseSetsAndClearsLineZero) {
    EXPECT_EQ(Do_Autozero(), 1);
    EXPECT_EQ(setupsSent(*usb_), (std::vector<SetupBytes>{setupPacket(0x40, 13, 0x0001, 0),
                                                          setupPacket(0x40, 14, 0x00FE, 0)}));
    EXPECT_EQ(MV620Sim_GetOutputLines(), 0);
}

// The status packet goes out on the OUT endpoint and its response comes back on the IN one.
TEST_F(Control, StatusExchangeOverTheBulkPipes) {
    MV620Sim_SetStatusByte(117);
    EXPECT_EQ(Get_MV620ACQ_Status(), 117);
    ASSERT_EQ(MV620Sim_GetPacketCount(), 1);
    std::array<unsigned char, 64> packet{};
    EXPECT_EQ(MV620Sim_GetPacket(0, packet.data()), MV620SIM_PACKET_ACCEPTED);
    EXPECT_EQ(packet[0], 18);
    EXPECT_EQ(packet[1], 1) << "the first packet on a new connection";
    const auto urbs = usb_->bulkUrbs();
    ASSERT_EQ(urbs.size(), 2U);
    EXPECT_EQ(urbs[0].endpoint, 0x02);
    EXPECT_EQ(urbs[0].length, 64);
    EXPECT_EQ(urbs[1].endpoint, 0x82);
    EXPECT_EQ(urbs[1].length, 64);
    EXPECT_EQ(MV620Sim_GetPendingResponses(), 0);
}

// The worked example image: the announcement and two data packets, each answered over the bulk
// pipes, and the instrument's memory holding the image afterwards. (The packets' bytes are the
// control layer's, checked over the simulated driver.)
TEST_F(Control, DownloadPacketsArriveInTheConfigurationMemory) {
    const ScratchFolder folder;
    ScratchFolder::writeImage(
        "0003\r\n4100\r\n0000\r\n1234\r\nABCD\r\n0001\r\n0004\r\n0020\r\n0000\r\n"
        "1234\r\n0056\r\nABCD\r\n00EF\r\nFFFF\r\n0000\r\n0000\r\n");
    EXPECT_EQ(LV_Download(), 1);
    EXPECT_EQ(packetsSent().size(), 3U);
    EXPECT_EQ(usb_->bulkUrbs().size(), 6U) << "three packets, three responses";
    EXPECT_EQ(MV620Sim_GetConfigWord(0x100), 0x1234);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x101), 0xABCD);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x102), 0x0001);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x20), 0x123456);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x21), 0xABCDEF);
    EXPECT_EQ(MV620Sim_GetConfigWordWidth(0x21), 24);
    EXPECT_EQ(MV620Sim_GetProtocolErrors(), 0);
}

// ---- Acquisition
// ----------------------------------------------------------------------------------

constexpr int kPerBlock = 800; // samples of each channel in a block, every channel at rate 10

void allChannelsAtRate10() {
    for (int channel = 0; channel < 40; ++channel) {
        ASSERT_EQ(Set_Sample_Rate(channel, 10), 40);
    }
}

// Every sample of every channel in blocks [first, end) is the one the instrument sent.
void expectBlocksExact(int first, int end) {
    const int count = (end - first) * kPerBlock;
    std::vector<int> run(static_cast<std::size_t>(count));
    for (int channel = 0; channel < 40; ++channel) {
        ASSERT_EQ(Get_Data_Samples(run.data(), channel, first * kPerBlock, count), count)
            << "channel " << channel;
        for (int i = 0; i < count; ++i) {
            const auto n = static_cast<std::uint32_t>(first * kPerBlock + i);
            ASSERT_EQ(run[static_cast<std::size_t>(i)], expectedSample(channel, n))
                << "channel " << channel << " sample " << n;
        }
    }
}

void expectBlockLost(int block) {
    for (int channel = 0; channel < 40; ++channel) {
        for (const int j : {0, 399, kPerBlock - 1}) {
            ASSERT_EQ(Get_DataPoint(channel, block * kPerBlock + j), SAMPLE_OVERWRITTEN)
                << "channel " << channel;
        }
    }
}

using Acquisition = OverUsbEachSplitting;

// 45 blocks, read back 15 at a time (what the ring holds), every sample of every channel.
TEST_P(Acquisition, FortyFiveBlocksWithEverySampleExact) {
    allChannelsAtRate10();
    MV620Sim_ReadyNeverFrom(15);
    ASSERT_EQ(Start_Acquisition(nullptr), 1);
    for (int end = 15; end <= 45; end += 15) {
        ASSERT_TRUE(eventually([end] { return blocks() >= static_cast<std::uint32_t>(end); }));
        ASSERT_EQ(blocks(), static_cast<std::uint32_t>(end));
        expectBlocksExact(end - 15, end);
        MV620Sim_ReadyNeverFrom(end + 15 <= 45 ? end + 15 : 45);
    }
    EXPECT_EQ(Stop_Acquisition(), 0);
    EXPECT_EQ(MV620Sim_GetBlocksDelivered(), 45);
    EXPECT_EQ(MV620Sim_GetProtocolErrors(), 0);
    std::size_t reads = 0;
    for (const BulkRecord& urb : usb_->bulkUrbs()) {
        reads += urb.endpoint == 0x82 ? 1 : 0;
    }
    EXPECT_EQ(reads, GetParam() == UrbSplitting::ScatterGather ? 45U : 4U * 45U)
        << "one URB per block, or four of up to 16 KiB";
}

INSTANTIATE_TEST_SUITE_P(Splitting, Acquisition,
                         ::testing::Values(UrbSplitting::ScatterGather, UrbSplitting::Continuation),
                         splittingName);

// ---- Faults of the stream
// ---------------------------------------------------------------------------

struct StreamFault {
    const char* name;
    void (*arm)(EmulatedUsb& usb); // a fault at block 3
    bool blockLost;                // both reads of block 3 fail: abort, clear halt, block dropped
    bool timesOut;                 // the host gives up waiting on a read of block 3
};

const StreamFault kStreamFaults[] = {
    {"ReadFailsOnce", [](EmulatedUsb&) { MV620Sim_FailBlockRead(3, 1); }, false, false},
    {"ShortRead", [](EmulatedUsb&) { MV620Sim_ShortBlockRead(3, 1000); }, false, false},
    {"ReadFailsTwice", [](EmulatedUsb&) { MV620Sim_FailBlockRead(3, 2); }, true, false},
    {"EndpointStalls", [](EmulatedUsb& usb) { usb.stallAtBlock(3); }, true, false},
    {"TimeOutPartWay", [](EmulatedUsb& usb) { usb.goSilentAfter(3 * 64000 + 20000); }, false, true},
    {"TimeOutWithNothingMoved", [](EmulatedUsb& usb) { usb.goSilentAfter(3 * 64000); }, false,
     true},
    // A bus error takes the bytes moved before it; the block goes on from there.
    {"BusErrorAtTheBlocksStart",
     [](EmulatedUsb& usb) { usb.failReadAt(EmulatedUsb::ReadFault::BusError, 3, 0); }, false,
     false},
    {"BusErrorAfterOneByte",
     [](EmulatedUsb& usb) { usb.failReadAt(EmulatedUsb::ReadFault::BusError, 3, 1); }, false,
     false},
    {"BusErrorPartWay",
     [](EmulatedUsb& usb) { usb.failReadAt(EmulatedUsb::ReadFault::BusError, 3, 20000); }, false,
     false},
    {"BusErrorBeforeTheLastByte",
     [](EmulatedUsb& usb) { usb.failReadAt(EmulatedUsb::ReadFault::BusError, 3, 63999); }, false,
     false},
    // After a halt the instrument's place in its stream is not known: the block is lost, and the
    // clear halt puts the stream back at the next block.
    {"StallPartWay",
     [](EmulatedUsb& usb) { usb.failReadAt(EmulatedUsb::ReadFault::Stall, 3, 20000); }, true,
     false},
    {"StallBeforeTheLastByte",
     [](EmulatedUsb& usb) { usb.failReadAt(EmulatedUsb::ReadFault::Stall, 3, 63999); }, true,
     false},
    // A device babbles only into the end of a transfer (a packet longer than the room left), so
    // within the last URB when the kernel splits the read.
    {"OverflowInTheLastUrb",
     [](EmulatedUsb& usb) { usb.failReadAt(EmulatedUsb::ReadFault::Overflow, 3, 50000); }, true,
     false},
    {"OverflowNearTheBlocksEnd",
     [](EmulatedUsb& usb) { usb.failReadAt(EmulatedUsb::ReadFault::Overflow, 3, 63900); }, true,
     false},
};

void PrintTo(const StreamFault& fault, std::ostream* out) { *out << fault.name; }

class StreamFaults : public OverUsb,
                     public ::testing::WithParamInterface<std::tuple<StreamFault, UrbSplitting>> {
protected:
    UrbSplitting splitting() const override { return std::get<1>(GetParam()); } // namespace
}; // namespace mv620::testing

// Whatever befalls block 3, the stream stays aligned with the block count: every block that
// arrives holds exactly its own samples.
TEST_P(StreamFaults, StreamStaysAlignedWithTheBlockCount) {
    const StreamFault& fault = std::get<0>(GetParam());
    allChannelsAtRate10();
    fault.arm(*usb_);
    streamBlocks(8);
    EXPECT_EQ(Stop_Acquisition(), 0);
    if (fault.blockLost) {
        expectBlocksExact(0, 3);
        expectBlockLost(3);
        expectBlocksExact(4, 8);
        EXPECT_EQ(usb_->clearedHalts(), std::vector<std::uint8_t>{0x82});
        EXPECT_EQ(MV620Sim_GetBlocksDelivered(), 7);
    } else {
        expectBlocksExact(0, 8);
        EXPECT_TRUE(usb_->clearedHalts().empty());
        EXPECT_EQ(MV620Sim_GetBlocksDelivered(), 8);
    }
    EXPECT_EQ(usb_->discardedUrbs() > 0, fault.timesOut);
    EXPECT_EQ(MV620Sim_GetProtocolErrors(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    EachFault, StreamFaults,
    ::testing::Combine(::testing::ValuesIn(kStreamFaults),
                       ::testing::Values(UrbSplitting::ScatterGather, UrbSplitting::Continuation)),
    [](const auto& p) {
        return std::string(std::get<0>(p.param).name) +
               (std::get<1>(p.param) == UrbSplitting::ScatterGather ? "OneUrb" : "UrbsOf16KiB");
    });

// ---- The instrument goes away
// -----------------------------------------------------------------------

using Unplug = OverUsb;

// The thread finds the instrument gone, ends by itself and closes its handle; the stop returns,
// the blocks read stay readable, and once the instrument is back a new start streams again.
TEST_F(Unplug, MidStreamEndsTheThreadThenAReplugStreamsAgain) {
    allChannelsAtRate10();
    MV620Sim_UnplugAfterBlocks(6);
    ASSERT_EQ(Start_Acquisition(nullptr), 1);
    ASSERT_TRUE(eventually([] { return blocks() >= 6; }));
    ASSERT_TRUE(eventually([this] { return usb_->openNodes() == 0; }));
    EXPECT_EQ(blocks(), 6U);
    EXPECT_TRUE(returnsAtAll([] { EXPECT_EQ(Stop_Acquisition(), 0); }));
    expectBlocksExact(0, 6);

    MV620Sim_Replug();
    streamBlocks(3);
    expectBlocksExact(0, 3);
    EXPECT_EQ(usb_->opens(instrument_), 2U);
}

// The CPU time the whole process has used, in seconds.
double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Once libusb reports the instrument gone, no request can ever be answered again: the thread
// ends at once instead of polling failures until its one-second rule ends it, which kept a core
// busy for that second. On the real clock, so that the rule would count real time.
TEST_F(Unplug, AGoneInstrumentEndsTheThreadWithoutPolling) {
    MV620Sim_SetVirtualClock(0, 0);
    allChannelsAtRate10();
    MV620Sim_UnplugAfterBlocks(2);
    MV620Sim_ReadyNeverFrom(2); // the thread polls the ready bit when the unplug comes
    ASSERT_EQ(Start_Acquisition(nullptr), 1);
    ASSERT_TRUE(eventually([] { return blocks() >= 2; }));
    // From the unplug (the next poll after the second block) to the thread's end, waiting here
    // without using a core, so that what is used is the thread's.
    const double before = processCpuSeconds();
    for (int wait = 0; wait < 60000 && usb_->openNodes() != 0; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double used = processCpuSeconds() - before;
    ASSERT_EQ(usb_->openNodes(), 0U) << "the thread ended and closed its handle";
    // A poll spinning on failures for its second would use most of it.
    EXPECT_LT(used, 0.2) << "seconds of CPU between the unplug and the thread's end";
    EXPECT_TRUE(returnsAtAll([] { EXPECT_EQ(Stop_Acquisition(), 0); }));
    EXPECT_EQ(blocks(), 2U);
    expectBlocksExact(0, 2);
}

// Pulled out while the instrument holds a block read unanswered: the read ends at once, the block
// is counted as lost, and the thread ends by itself.
TEST_F(Unplug, WhileAReadIsPendingEndsItAndTheThread) {
    allChannelsAtRate10();
    // Block 2 never comes whole; should the unplug come only after its reads have timed out,
    // the block is lost all the same, and no block comes after it.
    usb_->goSilentAfter(2 * 64000 + 100, false);
    MV620Sim_ReadyNeverFrom(3);
    ASSERT_EQ(Start_Acquisition(nullptr), 1);
    ASSERT_TRUE(eventually([this] { return usb_->pendingUrbs() > 0 || blocks() == 3; }));
    MV620Sim_SetPresence(MV620SIM_ABSENT);
    ASSERT_TRUE(eventually([this] { return usb_->openNodes() == 0; }));
    EXPECT_TRUE(returnsAtAll([] { EXPECT_EQ(Stop_Acquisition(), 0); }));
    EXPECT_EQ(blocks(), 3U);
    expectBlocksExact(0, 2);
    expectBlockLost(2);
}

// The instrument stops sending on its IN endpoint for good, in the middle of a stream: the block
// it owes is counted as lost after its two reads time out, the stop returns once they have, and
// exports still get their answers, or give up on the ones that never come.
using Unanswering = OverUsb;

TEST_F(Unanswering, InstrumentThatStopsSendingHangsNoStopAndNoExport) {
    allChannelsAtRate10();
    usb_->goSilentAfter(2 * 64000, false);
    MV620Sim_ReadyNeverFrom(3); // nothing after the block that never comes
    ASSERT_EQ(Start_Acquisition(nullptr), 1);
    ASSERT_TRUE(eventually([this] { return usb_->pendingUrbs() > 0 || blocks() == 3; }));
    EXPECT_TRUE(returnsAtAll([] { EXPECT_EQ(Get_Digital_Input(0), 1); }));
    EXPECT_TRUE(returnsAtAll([] { EXPECT_EQ(Stop_Acquisition(), 0); }));
    EXPECT_EQ(blocks(), 3U);
    expectBlocksExact(0, 2);
    expectBlockLost(2);
    EXPECT_EQ(usb_->clearedHalts(), std::vector<std::uint8_t>{0x82});
    EXPECT_TRUE(returnsAtAll([] { EXPECT_EQ(Get_MV620ACQ_Status(), STATUS_NO_ANSWER); }));
}

using Sharing = OverUsb;

// Exports called on the host's thread while the acquisition streams share the thread's device.
TEST_F(Sharing, ExportsCalledDuringAStreamGoToTheSameDevice) {
    allChannelsAtRate10();
    MV620Sim_SetInputs(0b10);
    MV620Sim_ReadyNeverFrom(10);
    ASSERT_EQ(Start_Acquisition(nullptr), 1);
    // Once the thread holds the device (a block came), which it does until the stop: a call
    // made before could open it first and close it again before the thread joins it.
    ASSERT_TRUE(eventually([] { return blocks() >= 1; }));
    int calls = 0;
    // At least 20 rounds of calls, and as many more as the stream takes to reach its 10 blocks.
    ASSERT_TRUE(eventually([&calls] {
        EXPECT_EQ(Do_Output_On(3), 1);
        EXPECT_EQ(Get_Digital_Input(1), 0);
        EXPECT_EQ(Get_Digital_Input(0), 1);
        EXPECT_EQ(Do_Output_Off(3), 1);
        return ++calls >= 20 && blocks() >= 10;
    }));
    EXPECT_EQ(blocks(), 10U);
    expectBlocksExact(0, 10);
    EXPECT_EQ(MV620Sim_GetOutputLines(), 0);
    EXPECT_EQ(usb_->opens(instrument_), 1U) << "every call shared the thread's device";
    EXPECT_EQ(MV620Sim_GetProtocolErrors(), 0);
}

// Exports on several threads, each opening its own connection and closing it: a connection
// that opens while the last one of the shared device is being closed must wait for the device's
// release, not find it claimed and give up. The release is made slow, as on a loaded machine.
using Churn = OverUsb;

TEST_F(Churn, ConnectionsOpenedWhileTheLastClosesNeverFindTheDeviceBusy) {
    usb_->setReleaseDelay(2);
    MV620Sim_SetInputs(0x08); // input 3 active: reads 1 whenever the port could be read
    constexpr int kThreads = 4;
    constexpr int kCalls = 40;
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&failed, t] {
            for (int call = 0; call < kCalls; ++call) {
                const bool ok = t == 0 ? Get_MV620ACQ_Status() == 90 : Get_Digital_Input(3) == 1;
                failed += ok ? 0 : 1;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failed, 0) << "of " << kThreads * kCalls << " calls";
}

} // namespace
} // namespace mv620::testing
