// The product DLL end to end: MV620ACQm.dll, as it ships, reaches the instrument through its
// EZ-USB backend (CreateFileA on "\\.\Ezusb-0", DeviceIoControl with the six codes), the system's
// I/O manager and the test kernel driver, which forwards every request to the simulated
// instrument served by this program (instrument_host.h). The tests set the instrument up and
// inspect it through the MV620Sim_ functions, and read what the driver reported from the host's
// log.
//
// The driver must be running (ctest's kernel_driver fixture starts it), except for the suite
// DriverStopped, which runs after the fixture has stopped it. Each suite is one ctest test.
// LinesAndInputs, Status, Download and Acquisition run a second time through WinUSB, with the
// driver stopped (MV620_TEST_PATH=winusb; see ../winusb/winusb_test.cpp): through either way, the
// instrument host sees the same requests.
#include "product_dll_fixture.h"
#include "support/scratch_folder.h"
#include "support/stream_model.h"

#include "MV620ACQm_sim.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace mv620::kerneltest {
namespace {

using testing::eventually;
using testing::expectedSample;
using testing::ScratchFolder;

// The descriptor request returns the 18 bytes of the standard device descriptor into the
// library's 146-byte buffer.
constexpr std::uint32_t kDescriptorBytesReturned = 18;

// The DLL's opens of the driver's device (it also opens the configuration image).
std::vector<CreateFileCall> deviceOpens() {
    std::vector<CreateFileCall> opens = createFileCalls();
    std::erase_if(opens, [](const CreateFileCall& c) { return c.path != "\\\\.\\Ezusb-0"; });
    return opens;
}

using KernelDriver = ProductDll;

// ---- The driver itself, without the library ----------------------------------------------------

class DriverContract : public KernelDriver {
protected:
    void SetUp() override {
        KernelDriver::SetUp();
        refusalsExpected_ = true;
        device_ =
            CreateFileA("\\\\.\\Ezusb-0", GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(device_, INVALID_HANDLE_VALUE) << "the test kernel driver is not running";
    }
    void TearDown() override {
        if (device_ != INVALID_HANDLE_VALUE) {
            CloseHandle(device_);
        }
        KernelDriver::TearDown();
    }

    bool control(std::uint32_t code, const void* in, DWORD inLength, void* out, DWORD outLength,
                 DWORD& returned) {
        returned = 0xFFFFFFFF;
        return DeviceIoControl(device_, code, const_cast<void*>(in), inLength, out, outLength,
                               &returned, nullptr) != FALSE;
    }

    HANDLE device_ = INVALID_HANDLE_VALUE;
};

TEST_F(DriverContract, RefusesOtherCodesAndOversizedBuffersAndCountsThem) {
    const std::uint32_t pipe = 0;
    std::vector<std::uint8_t> out(FORWARDING_MAX_TRANSFER + 1);
    DWORD returned = 0;
    // A buffered code next to the descriptor request, a method-neither code, an oversized read.
    EXPECT_FALSE(control(0x222008, nullptr, 0, out.data(), 146, returned));
    EXPECT_FALSE(control(0x222003, &pipe, 4, out.data(), 64, returned));
    EXPECT_FALSE(
        control(kBulkReadCode, &pipe, 4, out.data(), FORWARDING_MAX_TRANSFER + 1, returned));
    // A request after them still goes through, and carries the driver's count.
    ASSERT_TRUE(control(kDescriptorCode, nullptr, 0, out.data(), 146, returned));

    const std::vector<DriverEvent> refused = eventsOfKind(FORWARDED_REFUSED);
    ASSERT_EQ(refused.size(), 3U);
    EXPECT_EQ(refused[0].request.code, 0x222008U);
    EXPECT_EQ(refused[0].request.refusal, FORWARDED_REFUSED_UNKNOWN_CODE);
    EXPECT_EQ(refused[1].request.code, 0x222003U);
    EXPECT_EQ(refused[1].request.refusal, FORWARDED_REFUSED_UNKNOWN_CODE);
    EXPECT_EQ(refused[2].request.code, kBulkReadCode);
    EXPECT_EQ(refused[2].request.refusal, FORWARDED_REFUSED_TOO_LONG);
    const std::vector<DriverEvent> controls = eventsOfKind(FORWARDED_CONTROL);
    ASSERT_EQ(controls.size(), 1U);
    EXPECT_EQ(controls[0].request.refusedTotal, refused[0].request.refusedTotal + 2)
        << "the driver counts its refusals";
    EXPECT_EQ(MV620Sim_GetRequestCount(), 1) << "a refused request never reaches the instrument";
}

TEST_F(DriverContract, MovesTheBytesOfEachTransferMethodAndReportsTheCount) {
    // METHOD_BUFFERED: the descriptor comes back in the system buffer.
    std::array<std::uint8_t, 146> descriptor{};
    DWORD returned = 0;
    ASSERT_TRUE(control(kDescriptorCode, nullptr, 0, descriptor.data(), 146, returned));
    EXPECT_EQ(returned, kDescriptorBytesReturned);
    EXPECT_EQ(descriptor[8], 0x47);
    EXPECT_EQ(descriptor[9], 0x05);
    EXPECT_EQ(descriptor[10], 0x02);
    EXPECT_EQ(descriptor[11], 0x10);

    // METHOD_IN_DIRECT, device to host: the input port comes back through the MDL.
    MV620Sim_SetInputs(0x2A);
    MV620Sim_ReadyNeverFrom(0);
    const std::array<std::uint8_t, 10> readInput = {1, 2, 0, 0, 15, 0, 0, 0, 0, 0};
    std::uint8_t port = 0xFF;
    ASSERT_TRUE(control(kVendorCode, readInput.data(), 10, &port, 1, returned));
    EXPECT_EQ(returned, 1U);
    EXPECT_EQ(port, 0x2A);

    // METHOD_IN_DIRECT, host to device: the packet goes out from the MDL; METHOD_OUT_DIRECT: the
    // response comes back through it.
    MV620Sim_SetStatusByte(101);
    std::array<std::uint8_t, 64> packet{};
    packet[0] = 18;
    packet[1] = 1;
    packet[63] = 0xEC;
    const std::uint32_t writePipe = 1;
    const std::uint32_t readPipe = 0;
    ASSERT_TRUE(control(kBulkWriteCode, &writePipe, 4, packet.data(), 64, returned));
    EXPECT_EQ(returned, 64U);
    std::array<std::uint8_t, 64> response{};
    ASSERT_TRUE(control(kBulkReadCode, &readPipe, 4, response.data(), 64, returned));
    EXPECT_EQ(returned, 64U);
    EXPECT_EQ(response[3], 101);
    std::array<std::uint8_t, 64> sent{};
    ASSERT_EQ(MV620Sim_GetPacket(0, sent.data()), MV620SIM_PACKET_ACCEPTED);
    EXPECT_EQ(sent, packet);

    // Nothing waits on the read pipe now: the request fails.
    EXPECT_FALSE(control(kBulkReadCode, &readPipe, 4, response.data(), 64, returned));
}

// ---- Identity and absence ---------------------------------------------------------------------

using IdentityAndAbsence = KernelDriver;

TEST_F(IdentityAndAbsence, ForeignDeviceIsNotTheInstrumentYetStillGetsLineRequests) {
    MV620Sim_SetPresence(MV620SIM_FOREIGN);
    EXPECT_EQ(dll().Get_MV620ACQ_Status(), STATUS_NO_ANSWER);
    EXPECT_EQ(dll().LV_Download(), 0);
    EXPECT_EQ(MV620Sim_GetPacketCount(), 0)
        << "nothing is sent to a device that is not the instrument";
    EXPECT_EQ(dll().Do_Output_On(3), 1);
    EXPECT_EQ(MV620Sim_GetOutputLines(), 0x8) << "a line request still goes to the device";

    const std::vector<DriverEvent> controls = eventsOfKind(FORWARDED_CONTROL);
    ASSERT_FALSE(controls.empty());
    const DriverEvent& descriptor = controls[0];
    EXPECT_EQ(descriptor.request.code, kDescriptorCode);
    EXPECT_TRUE(descriptor.succeeded);
    EXPECT_EQ(descriptor.out[8] | (descriptor.out[9] << 8), 0x04B4);
    EXPECT_EQ(descriptor.out[10] | (descriptor.out[11] << 8), 0x8613);
}

TEST_F(IdentityAndAbsence, OnlyTheInstrumentsVendorAndProductTogetherIdentifyIt) {
    MV620Sim_SetStatusByte(95);
    MV620Sim_SetIdentity(0x0547, 0x1003);
    EXPECT_EQ(dll().Get_MV620ACQ_Status(), STATUS_NO_ANSWER);
    MV620Sim_SetIdentity(0x0548, 0x1002);
    EXPECT_EQ(dll().Get_MV620ACQ_Status(), STATUS_NO_ANSWER);
    MV620Sim_SetIdentity(0x0547, 0x1002);
    EXPECT_EQ(dll().Get_MV620ACQ_Status(), 95);
}

TEST_F(IdentityAndAbsence, NoInstrumentBehindTheDriver) {
    MV620Sim_SetPresence(MV620SIM_ABSENT);
    dll().Set_Sample_Rate(5, 10);
    EXPECT_EQ(dll().Get_MV620ACQ_Status(), STATUS_NO_ANSWER);
    EXPECT_EQ(dll().Get_Digital_Input(0), 0);
    EXPECT_EQ(dll().Do_AZ_On(), 1);
    EXPECT_EQ(dll().LV_Download(), 0);
    EXPECT_EQ(dll().Start_Acquisition(nullptr), 1);
    EXPECT_EQ(dll().Stop_Acquisition(), 0);
    EXPECT_EQ(blocks(), 0U);

    // Every open reached the driver, which found no instrument behind it at the open's first
    // request, the descriptor request, and failed that and every later request of the handle.
    EXPECT_EQ(deviceOpens().size(), 5U);
    const std::vector<DriverEvent> creates = eventsOfKind(FORWARDED_CREATE);
    ASSERT_EQ(creates.size(), 5U);
    for (const DriverEvent& create : creates) {
        EXPECT_TRUE(create.answered);
        EXPECT_FALSE(create.succeeded);
    }
    EXPECT_TRUE(eventsOfKind(FORWARDED_CONTROL).empty());
    EXPECT_EQ(MV620Sim_GetRequestCount(), 0) << "no request reached the instrument";
}

// Runs after the kernel_driver fixture has stopped the driver: "\\.\Ezusb-0" does not exist.
TEST(DriverStopped, NoDeviceAndTheLibraryFindsNoInstrument) {
    ASSERT_STREQ(host().failure(), "");
    ASSERT_TRUE(dll().complete);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = OpenServiceA(manager, MV620_TEST_DRIVER_SERVICE, SERVICE_QUERY_STATUS);
    if (service != nullptr) {
        SERVICE_STATUS status{};
        ASSERT_NE(QueryServiceStatus(service, &status), FALSE);
        EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);

    const HANDLE device = CreateFileA("\\\\.\\Ezusb-0", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    const DWORD error = GetLastError();
    EXPECT_EQ(device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    MV620Sim_Reset();
    dll().Set_Sample_Rate(0, 10);
    EXPECT_EQ(dll().Get_MV620ACQ_Status(), STATUS_NO_ANSWER);
    EXPECT_EQ(dll().Get_Digital_Input(3), 0);
    EXPECT_EQ(dll().Do_Output_On(2), 1);
    EXPECT_EQ(dll().LV_Download(), 0);
    EXPECT_EQ(dll().Start_Acquisition(nullptr), 1);
    EXPECT_EQ(dll().Stop_Acquisition(), 0);
    EXPECT_EQ(blocks(), 0U);
    const std::vector<CreateFileCall> opens = deviceOpens();
    EXPECT_EQ(opens.size(), 5U);
    for (const CreateFileCall& open : opens) {
        EXPECT_FALSE(open.opened);
    }
    EXPECT_TRUE(host().events().empty()) << "nothing can reach the instrument without the driver";
    EXPECT_EQ(MV620Sim_GetOutputLines(), 0);
}

// ---- Lines and inputs -------------------------------------------------------------------------

using LinesAndInputs = KernelDriver;

TEST_F(LinesAndInputs, OutputLinesFollowTheExports) {
    EXPECT_EQ(dll().Do_AZ_On(), 1);
    EXPECT_EQ(MV620Sim_GetOutputLines(), 0x1);
    EXPECT_EQ(dll().Do_Odd_Cal_On(), 1);
    EXPECT_EQ(dll().Do_Even_Cal_On(), 1);
    EXPECT_EQ(dll().Do_Output_On(3), 1);
    EXPECT_EQ(MV620Sim_GetOutputLines(), 0xF);
    EXPECT_EQ(dll().Do_Odd_Cal_Off(), 1);
    EXPECT_EQ(MV620Sim_GetOutputLines(), 0xD);
    EXPECT_EQ(dll().Do_AZ_Off(), 1);
    EXPECT_EQ(dll().Do_Even_Cal_Off(), 1);
    EXPECT_EQ(MV620Sim_GetOutputLines(), 0x8);
    EXPECT_EQ(dll().Do_Output_Off(35), 1) << "line 35 is line 3";
    EXPECT_EQ(MV620Sim_GetOutputLines(), 0x0);

    // The last request as the driver got it: a vendor request to the device, request 14, value
    // 0x00F7, no data stage.
    const std::vector<DriverEvent> controls = eventsOfKind(FORWARDED_CONTROL);
    ASSERT_FALSE(controls.empty());
    const DriverEvent& last = controls.back();
    EXPECT_EQ(last.request.code, kVendorCode);
    EXPECT_EQ(last.request.inLength, 10U);
    EXPECT_EQ(last.request.outLength, 0U);
    const std::array<std::uint8_t, 5> head = {0, 2, 0, 0, 14};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), last.in.begin()));
    EXPECT_EQ(last.in[6], 0xF7);
    EXPECT_EQ(last.in[7], 0x00);
    EXPECT_EQ(last.in[8] | last.in[9], 0);
}

TEST_F(LinesAndInputs, AutozeroPulsesLineZero) {
    EXPECT_EQ(dll().Do_Autozero(), 1);
    EXPECT_EQ(MV620Sim_GetOutputLines(), 0);
    std::vector<std::uint16_t> values;
    for (const DriverEvent& e : eventsOfKind(FORWARDED_CONTROL)) {
        if (e.request.code == kVendorCode) {
            values.push_back(static_cast<std::uint16_t>(e.in[4] << 8 | e.in[6]));
        }
    }
    EXPECT_EQ(values, (std::vector<std::uint16_t>{13 << 8 | 0x01, 14 << 8 | 0xFE}));
}

TEST_F(LinesAndInputs, DigitalInputsReadThroughTheDriver) {
    // Inputs are active low; input 3 reads the port's bit 6.
    MV620Sim_SetInputs(0x40);
    EXPECT_EQ(dll().Get_Digital_Input(6), 0);
    EXPECT_EQ(dll().Get_Digital_Input(3), 0);
    MV620Sim_SetInputs(0x08);
    EXPECT_EQ(dll().Get_Digital_Input(3), 1);
    EXPECT_EQ(dll().Get_Digital_Input(0), 1);

    const std::vector<DriverEvent> controls = eventsOfKind(FORWARDED_CONTROL);
    const auto polls = std::count_if(controls.begin(), controls.end(), isInputPoll);
    EXPECT_EQ(polls, 4);
    for (const DriverEvent& e : controls) {
        if (isInputPoll(e)) {
            EXPECT_EQ(e.bytesReturned, 1U);
            EXPECT_EQ(e.in[0], 1) << "device to host";
            EXPECT_EQ(e.in[4], 15);
        }
    }
}

// ---- Status -----------------------------------------------------------------------------------

using Status = KernelDriver;

TEST_F(Status, StatusByteIsSortedAsItCameThroughTheDriver) {
    const std::array<std::pair<int, int>, 5> cases = {
        {{90, 90}, {127, 127}, {3, STATUS_THREE}, {89, STATUS_BELOW_90}, {200, STATUS_BELOW_90}}};
    for (const auto& [statusByte, expected] : cases) {
        MV620Sim_SetStatusByte(statusByte);
        EXPECT_EQ(dll().Get_MV620ACQ_Status(), expected) << statusByte;
    }
    ASSERT_EQ(MV620Sim_GetPacketCount(), 5);
    for (std::int64_t i = 0; i < 5; ++i) {
        std::array<std::uint8_t, 64> packet{};
        ASSERT_EQ(MV620Sim_GetPacket(i, packet.data()), MV620SIM_PACKET_ACCEPTED);
        EXPECT_EQ(packet[0], 18);
        EXPECT_EQ(packet[1], 1) << "each query opens a new handle";
    }
    EXPECT_EQ(MV620Sim_GetPendingResponses(), 0) << "every response was read";
}

// ---- Configuration download -------------------------------------------------------------------

std::string workedExampleImage() {
    std::string image;
    for (const char* record : {"0003", "4100", "0000", "1234", "ABCD", "0001", "0004", "0020",
                               "0000", "1234", "0056", "ABCD", "00EF", "FFFF", "0000", "0000"}) {
        image += record;
        image += "\r\n";
    }
    return image;
}

// The progress messages a window received.
std::vector<UINT> progressMessages;

LRESULT CALLBACK progressBarProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_USER) {
        progressMessages.push_back(message);
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

using Download = KernelDriver;

TEST_F(Download, WorkedExampleReachesTheConfigurationMemory) {
    const ScratchFolder folder;
    ScratchFolder::writeImage(workedExampleImage());
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = progressBarProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "mv620-progress";
    RegisterClassA(&windowClass);
    HWND progressBar = CreateWindowExA(0, "mv620-progress", "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                       nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(progressBar, nullptr);
    progressMessages.clear();

    EXPECT_EQ(dll().Do_Download(progressBar), 1);
    DestroyWindow(progressBar);
    EXPECT_EQ(progressMessages, (std::vector<UINT>{1028, 1029, 1029, 1026}))
        << "PBM_SETSTEP, PBM_STEPIT twice, PBM_SETPOS";

    ASSERT_EQ(MV620Sim_GetPacketCount(), 3);
    std::array<std::uint8_t, 64> packet{};
    ASSERT_EQ(MV620Sim_GetPacket(0, packet.data()), MV620SIM_PACKET_ACCEPTED);
    EXPECT_EQ(packet[0], 16);
    ASSERT_EQ(MV620Sim_GetPacket(1, packet.data()), MV620SIM_PACKET_ACCEPTED);
    EXPECT_EQ(
        (std::array<int, 11>{packet[0], packet[4], packet[5], packet[6], packet[7], packet[8],
                             packet[9], packet[10], packet[11], packet[12], packet[13]}),
        (std::array<int, 11>{0x11, 0x01, 0x00, 0x00, 0x03, 0x12, 0x34, 0xAB, 0xCD, 0x00, 0x01}));
    ASSERT_EQ(MV620Sim_GetPacket(2, packet.data()), MV620SIM_PACKET_ACCEPTED);
    EXPECT_EQ(
        (std::array<int, 11>{packet[0], packet[4], packet[5], packet[6], packet[7], packet[8],
                             packet[9], packet[10], packet[11], packet[12], packet[13]}),
        (std::array<int, 11>{0x11, 0x00, 0x20, 0x01, 0x02, 0x12, 0x34, 0x56, 0xAB, 0xCD, 0xEF}));

    EXPECT_EQ(MV620Sim_GetConfigWord(0x100), 0x1234);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x101), 0xABCD);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x102), 0x0001);
    EXPECT_EQ(MV620Sim_GetConfigWordWidth(0x102), 16);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x103), -1);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x20), 0x123456);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x21), 0xABCDEF);
    EXPECT_EQ(MV620Sim_GetConfigWordWidth(0x21), 24);
    EXPECT_EQ(MV620Sim_GetPendingResponses(), 0);
}

// ---- Acquisition ------------------------------------------------------------------------------

// Every channel on, at the four rates in turn.
std::array<int, 40> enableEveryChannel() {
    constexpr std::array<int, 4> rates = {10, 5, 2, 1};
    std::array<int, 40> dividers{};
    for (int channel = 0; channel < 40; ++channel) {
        const int rate = rates[static_cast<std::size_t>(channel % 4)];
        dll().Set_Sample_Rate(channel, rate);
        dividers[static_cast<std::size_t>(channel)] = 10 / rate;
    }
    return dividers;
}

// Reads back every sample of blocks first to last (all readable) and compares it with the
// identifying pattern; returns how many samples were checked.
std::uint64_t checkBlocks(const testing::StreamModel& model, std::uint32_t first,
                          std::uint32_t last) {
    std::map<int, std::pair<std::uint32_t, std::uint32_t>> ranges; // channel -> first, last
    for (std::uint64_t p = std::uint64_t{first} * kBlockSamples;
         p < (std::uint64_t{last} + 1) * kBlockSamples; ++p) {
        const auto s = model.at(p);
        auto [it, added] = ranges.try_emplace(s.channel, s.index, s.index);
        it->second.first = std::min(it->second.first, s.index);
        it->second.second = std::max(it->second.second, s.index);
    }
    std::uint64_t checked = 0;
    std::vector<int> samples;
    for (const auto& [channel, range] : ranges) {
        const int count = static_cast<int>(range.second - range.first + 1);
        samples.assign(static_cast<std::size_t>(count), -100);
        EXPECT_EQ(
            dll().Get_Data_Samples(samples.data(), channel, static_cast<int>(range.first), count),
            count)
            << "channel " << channel;
        for (int i = 0; i < count; ++i) {
            const std::uint32_t n = range.first + static_cast<std::uint32_t>(i);
            if (samples[static_cast<std::size_t>(i)] != expectedSample(channel, n)) {
                ADD_FAILURE() << "channel " << channel << " sample " << n << ": "
                              << samples[static_cast<std::size_t>(i)];
                return checked;
            }
            ++checked;
        }
    }
    return checked;
}

using Acquisition = KernelDriver;

TEST_F(Acquisition, FortyFiveBlocksEverySampleChecked) {
    const testing::StreamModel model(enableEveryChannel());
    // The stream pauses after each 15 blocks (the ready bit stays clear), so that all 15 are
    // in the ring while they are checked; then it goes on.
    MV620Sim_ReadyNeverFrom(15);
    ASSERT_EQ(dll().Start_Acquisition(nullptr), 1);
    for (std::uint32_t end = 15; end <= 45; end += 15) {
        ASSERT_TRUE(eventually([end] { return blocks() == end; })) << blocks();
        EXPECT_EQ(checkBlocks(model, end - 15, end - 1), std::uint64_t{15} * kBlockSamples);
        if (end < 45) {
            MV620Sim_ReadyNeverFrom(static_cast<int>(end + 15));
        }
    }
    EXPECT_EQ(dll().Stop_Acquisition(), 0);
    EXPECT_EQ(blocks(), 45U);
    EXPECT_EQ(MV620Sim_GetBlocksDelivered(), 45);

    // The start packet carried the dividers in scan order.
    std::array<std::uint8_t, 64> start{};
    ASSERT_EQ(MV620Sim_GetPacket(0, start.data()), MV620SIM_PACKET_ACCEPTED);
    EXPECT_EQ(start[0], 19);
    EXPECT_EQ(start[6], 10) << "channel 3, rate 1: divider 10";
    EXPECT_EQ(start[45], 2) << "channel 21, rate 5: divider 2";
}

TEST_F(Acquisition, StopWhileBlocksStream) {
    dll().Set_Sample_Rate(7, 10);
    ASSERT_EQ(dll().Start_Acquisition(nullptr), 1);
    ASSERT_TRUE(eventually([] { return blocks() >= 3; }));
    EXPECT_EQ(dll().Stop_Acquisition(), 0);
    const std::uint32_t count = blocks();
    ASSERT_TRUE(eventually(allClosed));
    EXPECT_EQ(blocks(), count) << "the count stays after the stop";

    // The thread finished the block it was on and sent nothing more: its last request is a
    // whole block's read, and it read exactly the blocks it counted.
    const std::vector<DriverEvent> requests = acquisitionRequests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().request.code, kBulkReadCode);
    const auto reads = std::count_if(requests.begin(), requests.end(), [](const DriverEvent& e) {
        return e.request.code == kBulkReadCode && e.succeeded && e.bytesReturned == kBlockBytes;
    });
    EXPECT_EQ(reads, static_cast<std::ptrdiff_t>(count));
    // Channel 7 alone: its n-th sample is the stream's n-th; the last one read is whole.
    const int n = static_cast<int>(count * kBlockSamples - 1);
    EXPECT_EQ(dll().Get_DataPoint(7, n), expectedSample(7, static_cast<std::uint32_t>(n)));
}

TEST_F(Acquisition, StopWhileWaitingForAReadyBitThatNeverComes) {
    dll().Set_Sample_Rate(0, 10);
    MV620Sim_ReadyNeverFrom(2);
    ASSERT_EQ(dll().Start_Acquisition(nullptr), 1);
    ASSERT_TRUE(eventually([] { return blocks() == 2; }));
    // Wait until the thread is seen polling for the third block.
    ASSERT_TRUE(eventually([] {
        const std::vector<DriverEvent> requests = acquisitionRequests();
        return !requests.empty() && isInputPoll(requests.back()) &&
               std::count_if(requests.begin(), requests.end(), [](const DriverEvent& e) {
                   return e.request.code == kBulkReadCode;
               }) == 2;
    }));
    EXPECT_EQ(dll().Stop_Acquisition(), 0);
    EXPECT_EQ(blocks(), 2U);
    ASSERT_TRUE(eventually(allClosed));

    const std::vector<DriverEvent> requests = acquisitionRequests();
    const auto lastRead =
        std::find_if(requests.rbegin(), requests.rend(),
                     [](const DriverEvent& e) { return e.request.code == kBulkReadCode; });
    ASSERT_NE(lastRead, requests.rbegin());
    for (auto it = requests.rbegin(); it != lastRead; ++it) {
        EXPECT_TRUE(isInputPoll(*it));
        EXPECT_EQ(it->out[0] & 0x80, 0) << "the ready bit stayed clear";
    }
}

TEST_F(Acquisition, FailedBlockReadIsRetriedThenThePipeIsAbortedAndReset) {
    dll().Set_Sample_Rate(0, 10);
    dll().Set_Sample_Rate(1, 2);
    MV620Sim_FailBlockRead(2, 2); // both reads of block 2 fail
    MV620Sim_FailBlockRead(4, 1); // the second read of block 4 succeeds
    MV620Sim_ReadyNeverFrom(6);
    ASSERT_EQ(dll().Start_Acquisition(nullptr), 1);
    ASSERT_TRUE(eventually([] { return blocks() == 6; }));
    EXPECT_EQ(dll().Stop_Acquisition(), 0);

    // What the driver saw after the start packet, the ready polls left out.
    std::vector<std::pair<std::uint32_t, bool>> seen;
    for (const DriverEvent& e : acquisitionRequests()) {
        if (!isInputPoll(e) && e.request.code != kBulkWriteCode &&
            e.request.code != kDescriptorCode) {
            seen.emplace_back(e.request.code, e.succeeded);
            if (e.request.code == kAbortCode || e.request.code == kResetCode) {
                EXPECT_EQ(e.request.inLength, 4U);
                EXPECT_EQ(e.request.outLength, 0U);
                EXPECT_EQ(e.in[0] | e.in[1] | e.in[2] | e.in[3], 0) << "the read pipe, 0";
            }
        }
    }
    const std::vector<std::pair<std::uint32_t, bool>> expected = {
        {kBulkReadCode, true},  {kBulkReadCode, true},  {kBulkReadCode, false},
        {kBulkReadCode, false}, {kAbortCode, true},     {kResetCode, true},
        {kBulkReadCode, true},  {kBulkReadCode, false}, {kBulkReadCode, true},
        {kBulkReadCode, true}};
    EXPECT_EQ(seen, expected);

    std::array<int, 40> dividers{};
    dividers[0] = 1;
    dividers[1] = 5;
    const testing::StreamModel model(dividers);
    for (std::uint64_t p = 0; p < 6 * kBlockSamples; ++p) {
        const auto s = model.at(p);
        const int expectedValue =
            p / kBlockSamples == 2 ? SAMPLE_OVERWRITTEN : expectedSample(s.channel, s.index);
        ASSERT_EQ(dll().Get_DataPoint(s.channel, static_cast<int>(s.index)), expectedValue) << p;
    }
}

// ---- What the driver saw ----------------------------------------------------------------------

struct Expected {
    std::uint32_t method;
    std::uint32_t inLength;
};

// Each code with its transfer method and input length.
const std::map<std::uint32_t, Expected> kCodes = {
    {kDescriptorCode, {METHOD_BUFFERED, 0}}, {kVendorCode, {METHOD_IN_DIRECT, 10}},
    {kBulkReadCode, {METHOD_OUT_DIRECT, 4}}, {kBulkWriteCode, {METHOD_IN_DIRECT, 4}},
    {kAbortCode, {METHOD_IN_DIRECT, 4}},     {kResetCode, {METHOD_IN_DIRECT, 4}}};

using Requests = KernelDriver;

TEST_F(Requests, DriverSawTheAccessShareModeAndBuffersTheRequestsSpecify) {
    // Every kind of request the library makes.
    {
        const ScratchFolder folder;
        ScratchFolder::writeImage(workedExampleImage());
        EXPECT_EQ(dll().LV_Download(), 1);
    }
    EXPECT_EQ(dll().Get_MV620ACQ_Status(), 90);
    EXPECT_EQ(dll().Do_Even_Cal_On(), 1);
    EXPECT_EQ(dll().Do_Even_Cal_Off(), 1);
    EXPECT_EQ(dll().Get_Digital_Input(2), 1);
    dll().Set_Sample_Rate(12, 5);
    MV620Sim_FailBlockRead(1, 2);
    MV620Sim_ReadyNeverFrom(3);
    ASSERT_EQ(dll().Start_Acquisition(nullptr), 1);
    ASSERT_TRUE(eventually([] { return blocks() == 3; }));
    EXPECT_EQ(dll().Stop_Acquisition(), 0);
    ASSERT_TRUE(eventually(allClosed));

    // The opens, as the library made them and as the driver got them.
    const std::vector<CreateFileCall> opens = deviceOpens();
    ASSERT_EQ(opens.size(), 6U);
    for (const CreateFileCall& open : opens) {
        EXPECT_EQ(open.path, "\\\\.\\Ezusb-0");
        EXPECT_EQ(open.desiredAccess, static_cast<DWORD>(GENERIC_WRITE));
        EXPECT_EQ(open.shareMode, static_cast<DWORD>(FILE_SHARE_WRITE));
        EXPECT_TRUE(open.securityGiven);
        EXPECT_EQ(open.securityLength, sizeof(SECURITY_ATTRIBUTES));
        EXPECT_EQ(open.inheritHandle, FALSE);
        EXPECT_EQ(open.creationDisposition, static_cast<DWORD>(OPEN_EXISTING));
        EXPECT_EQ(open.flagsAndAttributes, 0U);
        EXPECT_FALSE(open.templateGiven);
        EXPECT_TRUE(open.opened);
    }
    const std::vector<DriverEvent> creates = eventsOfKind(FORWARDED_CREATE);
    ASSERT_EQ(creates.size(), 6U);
    for (const DriverEvent& create : creates) {
        EXPECT_EQ(create.request.shareAccess, static_cast<unsigned>(FILE_SHARE_WRITE));
        EXPECT_NE(create.request.createOptions & FILE_SYNCHRONOUS_IO_NONALERT, 0U)
            << "opened for synchronous requests";
        EXPECT_EQ(create.request.fileNameLength, 0U);
        if (create.request.accessKnown != 0) { // an I/O manager that passes the access
            EXPECT_NE(create.request.desiredAccess & FILE_WRITE_DATA, 0U);
            EXPECT_EQ(create.request.desiredAccess & FILE_READ_DATA, 0U);
        }
    }
    EXPECT_EQ(eventsOfKind(FORWARDED_CLOSE).size(), 6U);

    // Every control request, with its method and buffers; the driver's log as a table.
    std::map<std::pair<std::uint32_t, std::uint32_t>, int> table; // (code, out length) -> count
    for (const DriverEvent& e : eventsOfKind(FORWARDED_CONTROL)) {
        const ForwardedRequest& r = e.request;
        const auto code = kCodes.find(r.code);
        ASSERT_NE(code, kCodes.end()) << std::hex << r.code;
        ++table[{r.code, r.outLength}];
        EXPECT_EQ(r.method, code->second.method) << std::hex << r.code;
        EXPECT_EQ(r.inLength, code->second.inLength) << std::hex << r.code;
        EXPECT_EQ(r.inBuffer, r.inLength != 0 ? FORWARDED_BUFFER_SYSTEM : FORWARDED_BUFFER_NONE);
        if (r.outLength == 0) {
            EXPECT_EQ(r.outBuffer, FORWARDED_BUFFER_NONE);
        } else if (r.method == METHOD_BUFFERED) {
            EXPECT_EQ(r.outBuffer, FORWARDED_BUFFER_SYSTEM);
        } else {
            EXPECT_EQ(r.outBuffer, FORWARDED_BUFFER_MDL);
            EXPECT_EQ(r.mdlByteCount, r.outLength);
        }
        EXPECT_EQ(r.outContentLength, r.method == METHOD_IN_DIRECT ? r.outLength : 0U)
            << "in-direct buffers go to the device, out-direct ones only come back";
        if (e.succeeded) {
            const std::uint32_t expectedReturned =
                r.code == kDescriptorCode ? kDescriptorBytesReturned : r.outLength;
            EXPECT_EQ(e.bytesReturned, expectedReturned) << std::hex << r.code;
        }
    }
    const std::map<std::pair<std::uint32_t, std::uint32_t>, int> expected = {
        {{kDescriptorCode, 146}, 6},
        {{kVendorCode, 0}, 2},                       // even calibration on and off
        {{kVendorCode, 1}, table[{kVendorCode, 1}]}, // one input read, then the ready polls
        {{kBulkWriteCode, 64}, 5},         // begin download, 2 data packets, status, start packet
        {{kBulkReadCode, 64}, 4},          // their responses; none for the start packet
        {{kBulkReadCode, kBlockBytes}, 4}, // blocks 0, 1 (twice, both failing), 2
        {{kAbortCode, 0}, 1},
        {{kResetCode, 0}, 1}};
    EXPECT_EQ(table, expected);
    const int inputReads = table[{kVendorCode, 1}];
    EXPECT_GE(inputReads, 1 + 3) << "the input read and a ready poll per block";
    EXPECT_TRUE(eventsOfKind(FORWARDED_REFUSED).empty());

    std::printf("the driver's log: code, transfer method, input and output length, requests\n");
    for (const auto& [key, count] : table) {
        std::printf("  0x%06X  %-10s  in %2u  out %5u  x%d\n", key.first,
                    kCodes.at(key.first).method == METHOD_BUFFERED    ? "buffered"
                    : kCodes.at(key.first).method == METHOD_IN_DIRECT ? "in-direct"
                                                                      : "out-direct",
                    kCodes.at(key.first).inLength, key.second, count);
    }
    const std::vector<DriverEvent> all = host().events();
    std::printf("  refused: %zu in this test, %u since the driver started\n",
                eventsOfKind(FORWARDED_REFUSED).size(),
                all.empty() ? 0U : all.back().request.refusedTotal);
}

} // namespace
} // namespace mv620::kerneltest
