// The product DLL through WinUSB: MV620ACQm.dll, as it ships, finds the instrument with SetupAPI
// (registered by winusb_device.sh), opens it and calls WinUSB functions, which the test
// winusb.dll answers from the instrument host of this program. Beside these suites, the
// acquisition and control suites of kernel_driver_test.cpp run through WinUSB too (ctest sets
// MV620_TEST_PATH=winusb, and the fixture then fails any request that came another way).
//
// LegacyFirst runs while the test kernel driver serves "\\.\Ezusb-0"; the other suites after it
// has stopped. Each suite is one ctest test (label "winusb").
#include "../kernel_driver/product_dll_fixture.h"
#include "support/stream_model.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <winusb.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace mv620::kerneltest {
namespace {

using testing::eventually;
using testing::expectedSample;

constexpr UCHAR kReadPipeId = 0x82;
constexpr UCHAR kWritePipeId = 0x02;

// MV620_BACKEND for the length of a test.
class BackendVariable {
public:
    explicit BackendVariable(const char* value) { SetEnvironmentVariableA("MV620_BACKEND", value); }
    ~BackendVariable() { SetEnvironmentVariableA("MV620_BACKEND", nullptr); }
    BackendVariable(const BackendVariable&) = delete;
    BackendVariable& operator=(const BackendVariable&) = delete;
};

std::vector<TestWinusbCall> callsOf(const char* function) {
    std::vector<TestWinusbCall> selected;
    for (const TestWinusbCall& call : testWinusb().calls()) {
        if (std::strcmp(call.function, function) == 0) {
            selected.push_back(call);
        }
    }
    return selected;
}

// ---- The legacy driver first ------------------------------------------------------------------

using LegacyFirst = ProductDll;

TEST_F(LegacyFirst, LegacyDeviceIsUsedWhileItIsThere) {
    MV620Sim_SetStatusByte(95);
    EXPECT_EQ(dll().Get_MV620ACQ_Status(), 95);
    EXPECT_EQ(dll().Do_AZ_On(), 1);
    EXPECT_EQ(MV620Sim_GetOutputLines(), 1);
    EXPECT_FALSE(testWinusb().loaded()) << "winusb.dll was loaded with the legacy device there";
    EXPECT_FALSE(eventsOfKind(FORWARDED_CONTROL).empty());
}

TEST_F(LegacyFirst, BackendVariableForcesWinusb) {
    const BackendVariable variable("WinUSB");
    viaWinusb_ = true;
    MV620Sim_SetStatusByte(95);
    EXPECT_EQ(dll().Get_MV620ACQ_Status(), 95);
    ASSERT_TRUE(testWinusb().loaded());
    EXPECT_EQ(callsOf("WinUsb_Initialize").size(), 1U);
}

TEST_F(LegacyFirst, UnknownBackendNameOpensNothing) {
    const BackendVariable variable("libusb");
    MV620Sim_SetStatusByte(95);
    EXPECT_EQ(dll().Get_MV620ACQ_Status(), STATUS_NO_ANSWER);
    EXPECT_EQ(dll().Do_Output_On(1), 1);
    EXPECT_EQ(MV620Sim_GetOutputLines(), 0);
    EXPECT_TRUE(host().events().empty());
}

// ---- Which device, and when none ----------------------------------------------------------------

using BackendChoice = ProductDll;

TEST_F(BackendChoice, LegacyForcedWithoutItsDeviceFindsNoInstrument) {
    const BackendVariable variable("ezusb");
    EXPECT_EQ(dll().Get_MV620ACQ_Status(), STATUS_NO_ANSWER);
    EXPECT_TRUE(host().events().empty());
}

TEST_F(BackendChoice, WinusbDeviceOfTheProjectsInterfaceGuidFirst) {
    MV620Sim_SetStatusByte(95);
    EXPECT_EQ(dll().Get_MV620ACQ_Status(), 95);
    std::array<wchar_t, MAX_PATH> device{};
    ASSERT_NE(testWinusb().lastDevice(device.data(), MAX_PATH), 0);
    EXPECT_NE(std::wstring(device.data()).find(L"mv620inf"), std::wstring::npos)
        << std::string(device.begin(), std::find(device.begin(), device.end(), L'\0'));
}

TEST_F(BackendChoice, DeviceOfAGenericInstallerFoundByItsDeviceInterfaceGuids) {
    ASSERT_EQ(dll().Get_MV620ACQ_Status(), 90); // loads winusb.dll
    testWinusb().refuse(L"mv620inf");
    MV620Sim_SetStatusByte(95);
    EXPECT_EQ(dll().Get_MV620ACQ_Status(), 95);
    std::array<wchar_t, MAX_PATH> device{};
    ASSERT_NE(testWinusb().lastDevice(device.data(), MAX_PATH), 0);
    EXPECT_NE(std::wstring(device.data()).find(L"mv620generic"), std::wstring::npos);
}

TEST_F(BackendChoice, DeviceWithOtherIdsIsNeverUsed) {
    MV620Sim_SetIdentity(0x04B4, 0x8613);
    EXPECT_EQ(dll().Get_MV620ACQ_Status(), STATUS_NO_ANSWER);
    EXPECT_EQ(dll().Do_Output_On(3), 1);
    EXPECT_EQ(MV620Sim_GetOutputLines(), 0) << "no request goes to another device";
    for (const DriverEvent& e : eventsOfKind(FORWARDED_CONTROL)) {
        EXPECT_EQ(e.request.code, kDescriptorCode);
    }
    EXPECT_TRUE(callsOf("WinUsb_SetPipePolicy").empty());
    EXPECT_EQ(callsOf("WinUsb_Initialize").size(), callsOf("WinUsb_Free").size());
}

TEST_F(BackendChoice, NoInstrumentAnswering) {
    MV620Sim_SetPresence(MV620SIM_ABSENT);
    dll().Set_Sample_Rate(5, 10);
    EXPECT_EQ(dll().Get_MV620ACQ_Status(), STATUS_NO_ANSWER);
    EXPECT_EQ(dll().Get_Digital_Input(0), 0);
    EXPECT_EQ(dll().LV_Download(), 0);
    EXPECT_EQ(dll().Start_Acquisition(nullptr), 1);
    EXPECT_EQ(dll().Stop_Acquisition(), 0);
    EXPECT_EQ(blocks(), 0U);
    EXPECT_EQ(MV620Sim_GetRequestCount(), 0) << "no request reached the instrument";
    for (const TestWinusbCall& call : testWinusb().calls()) {
        EXPECT_STREQ(call.function, "WinUsb_Initialize");
        EXPECT_EQ(call.error, static_cast<unsigned>(ERROR_DEVICE_NOT_CONNECTED));
    }
}

// ---- The test winusb.dll itself -----------------------------------------------------------------

// The device paths winusb.setup registered: the instrument bound by the INF, and by a generic
// installer.
constexpr wchar_t kInfDevice[] =
    L"\\\\?\\usb#vid_0547&pid_1002#mv620inf#{a6920bda-1e12-4029-a7cc-d1e8acf8d6b5}";
constexpr wchar_t kGenericDevice[] =
    L"\\\\?\\usb#vid_0547&pid_1002#mv620generic#{5c1e8d44-0d6b-4b43-9c5a-2f3e1d7a6b90}";

// The test winusb.dll keeps the rules of WinUSB that the backend must keep, so that the backend's
// passing its tests means it keeps them: each broken rule is refused.
class WinusbContract : public ProductDll {
protected:
    void SetUp() override {
        ProductDll::SetUp();
        ASSERT_EQ(dll().Get_MV620ACQ_Status(), 90); // the product DLL loads winusb.dll
        const HMODULE winusb = GetModuleHandleW(L"winusb.dll");
        ASSERT_NE(winusb, nullptr);
        bindControl(winusb, "WinUsb_Initialize", initialize_);
        bindControl(winusb, "WinUsb_Free", free_);
        bindControl(winusb, "WinUsb_ReadPipe", readPipe_);
        bindControl(winusb, "WinUsb_WritePipe", writePipe_);
        bindControl(winusb, "WinUsb_SetPipePolicy", setPipePolicy_);
        ASSERT_TRUE(initialize_ && free_ && readPipe_ && writePipe_ && setPipePolicy_);
    }
    void TearDown() override {
        for (HANDLE file : files_) {
            CloseHandle(file);
        }
        ProductDll::TearDown();
    }

    HANDLE open(const wchar_t* path, DWORD flags) {
        const HANDLE file =
            CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, flags, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            files_.push_back(file);
        }
        return file;
    }

    // The error of a call that failed, or 0 when it succeeded.
    static DWORD errorOf(BOOL ok) { return ok != FALSE ? 0 : GetLastError(); }

    decltype(&WinUsb_Initialize) initialize_ = nullptr;
    decltype(&WinUsb_Free) free_ = nullptr;
    decltype(&WinUsb_ReadPipe) readPipe_ = nullptr;
    decltype(&WinUsb_WritePipe) writePipe_ = nullptr;
    decltype(&WinUsb_SetPipePolicy) setPipePolicy_ = nullptr;
    std::vector<HANDLE> files_;
};

TEST_F(WinusbContract, RefusesWhatWinusbRefuses) {
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    const HANDLE synchronous = open(kInfDevice, 0);
    ASSERT_NE(synchronous, INVALID_HANDLE_VALUE) << "winusb.setup registered no device";
    EXPECT_EQ(errorOf(initialize_(synchronous, &usb)), static_cast<DWORD>(ERROR_INVALID_PARAMETER))
        << "a handle not opened for overlapped I/O";

    const HANDLE file = open(kInfDevice, FILE_FLAG_OVERLAPPED);
    ASSERT_EQ(errorOf(initialize_(file, &usb)), 0U);
    WINUSB_INTERFACE_HANDLE again = nullptr;
    EXPECT_EQ(errorOf(initialize_(file, &again)), static_cast<DWORD>(ERROR_INVALID_PARAMETER))
        << "a second WinUsb_Initialize on one handle";
    WINUSB_INTERFACE_HANDLE other = nullptr;
    const HANDLE otherFile = open(kGenericDevice, FILE_FLAG_OVERLAPPED);
    EXPECT_EQ(errorOf(initialize_(otherFile, &other)), static_cast<DWORD>(ERROR_ACCESS_DENIED))
        << "a second interface on the instrument";

    const std::int64_t requests = MV620Sim_GetRequestCount();
    std::array<UCHAR, 64> buffer{};
    ULONG moved = 0;
    EXPECT_EQ(errorOf(readPipe_(usb, kWritePipeId, buffer.data(), 64, &moved, nullptr)),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(errorOf(writePipe_(usb, kReadPipeId, buffer.data(), 64, &moved, nullptr)),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(errorOf(readPipe_(usb, 0x83, buffer.data(), 64, &moved, nullptr)),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ULONG timeout = 1000;
    EXPECT_EQ(errorOf(setPipePolicy_(usb, 0x05, PIPE_TRANSFER_TIMEOUT, sizeof(timeout), &timeout)),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(errorOf(setPipePolicy_(usb, kReadPipeId, PIPE_TRANSFER_TIMEOUT, 2, &timeout)),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MV620Sim_GetRequestCount(), requests) << "no refused call reached the instrument";

    ASSERT_EQ(errorOf(free_(usb)), 0U);
    EXPECT_EQ(errorOf(free_(usb)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(errorOf(initialize_(otherFile, &other)), 0U) << "the instrument is free again";
    EXPECT_EQ(errorOf(free_(other)), 0U);
}

// ---- WinUSB's rules, and the stream through it
// ----------------------------------------------------

using WinusbRules = ProductDll;

TEST_F(WinusbRules, OneInterfaceSharedOverlappedTransfersAndTheTimeouts) {
    dll().Set_Sample_Rate(0, 10);
    MV620Sim_ReadyNeverFrom(3);
    ASSERT_EQ(dll().Start_Acquisition(nullptr), 1);
    ASSERT_TRUE(eventually([] { return blocks() == 3; }));
    EXPECT_EQ(dll().Get_Digital_Input(0), 1) << "an export beside the acquisition thread";
    EXPECT_EQ(testWinusb().openInterfaces(), 1);
    EXPECT_EQ(dll().Stop_Acquisition(), 0);
    ASSERT_TRUE(eventually([] { return testWinusb().openInterfaces() == 0; }));

    EXPECT_EQ(callsOf("WinUsb_Initialize").size(), 1U) << "one handle for the whole process";
    EXPECT_EQ(callsOf("WinUsb_Free").size(), 1U);
    std::vector<std::pair<unsigned, unsigned>> timeouts;
    for (const TestWinusbCall& call : callsOf("WinUsb_SetPipePolicy")) {
        timeouts.emplace_back(call.pipe, call.value);
    }
    const std::vector<std::pair<unsigned, unsigned>> expected = {
        {0, 500}, {kReadPipeId, 1000}, {kWritePipeId, 1000}};
    EXPECT_EQ(timeouts, expected);
    for (const TestWinusbCall& call : testWinusb().calls()) {
        EXPECT_EQ(std::string(call.function).rfind("WinUsb_", 0), 0U) << call.function;
        if (std::strcmp(call.function, "WinUsb_ReadPipe") == 0 ||
            std::strcmp(call.function, "WinUsb_WritePipe") == 0 ||
            std::strcmp(call.function, "WinUsb_ControlTransfer") == 0) {
            EXPECT_EQ(call.overlapped, 1U) << call.function;
            EXPECT_EQ(call.error, 0U) << call.function;
        }
    }
    for (const TestWinusbCall& call : callsOf("WinUsb_ReadPipe")) {
        EXPECT_EQ(call.pipe, kReadPipeId);
    }
    const std::vector<TestWinusbCall> writes = callsOf("WinUsb_WritePipe");
    ASSERT_EQ(writes.size(), 1U) << "the start packet";
    EXPECT_EQ(writes[0].pipe, kWritePipeId);
}

// Channel 0 alone at rate 10: its n-th sample is the stream's n-th.
void expectStreamWhole(std::uint32_t blockCount) {
    for (std::uint32_t n = 0; n < blockCount * kBlockSamples; n += 997) {
        ASSERT_EQ(dll().Get_DataPoint(0, static_cast<int>(n)), expectedSample(0, n)) << n;
    }
    const int last = static_cast<int>(blockCount * kBlockSamples - 1);
    EXPECT_EQ(dll().Get_DataPoint(0, last), expectedSample(0, static_cast<std::uint32_t>(last)));
}

TEST_F(WinusbRules, TimeOutPartWayThroughABlockKeepsTheStreamAligned) {
    dll().Set_Sample_Rate(0, 10);
    MV620Sim_ShortBlockRead(2, 20000);
    MV620Sim_ReadyNeverFrom(5);
    ASSERT_EQ(dll().Start_Acquisition(nullptr), 1);
    ASSERT_TRUE(eventually([] { return blocks() == 5; }));
    EXPECT_EQ(dll().Stop_Acquisition(), 0);

    // Block 2's read timed out after 20000 bytes; the rest came with the next read.
    std::vector<std::pair<unsigned, unsigned>> reads; // (error, bytes moved) of each block read
    for (const TestWinusbCall& call : callsOf("WinUsb_ReadPipe")) {
        if (call.length > 64) {
            reads.emplace_back(call.error, call.moved);
        }
    }
    const std::vector<std::pair<unsigned, unsigned>> expected = {
        {0, kBlockBytes},         {0, kBlockBytes}, {ERROR_SEM_TIMEOUT, 20000},
        {0, kBlockBytes - 20000}, {0, kBlockBytes}, {0, kBlockBytes}};
    EXPECT_EQ(reads, expected);
    expectStreamWhole(5);
}

TEST_F(WinusbRules, StallMidStreamIsRetriedThenThePipeIsAbortedAndReset) {
    dll().Set_Sample_Rate(0, 10);
    MV620Sim_FailBlockRead(2, 2);
    MV620Sim_ReadyNeverFrom(5);
    ASSERT_EQ(dll().Start_Acquisition(nullptr), 1);
    ASSERT_TRUE(eventually([] { return blocks() == 5; }));
    EXPECT_EQ(dll().Stop_Acquisition(), 0);

    std::vector<std::string> seen; // the calls after the start packet, ready polls left out
    bool started = false;
    for (const TestWinusbCall& call : testWinusb().calls()) {
        const std::string function = call.function;
        started = started || function == "WinUsb_WritePipe";
        if (!started || function == "WinUsb_ControlTransfer" || function == "WinUsb_WritePipe" ||
            function == "WinUsb_Free") {
            continue;
        }
        std::string entry = function;
        if (call.error != 0) {
            entry += ' ';
            entry += std::to_string(call.error);
        }
        seen.push_back(entry);
        if (function == "WinUsb_AbortPipe" || function == "WinUsb_ResetPipe") {
            EXPECT_EQ(call.pipe, kReadPipeId);
        }
    }
    const std::vector<std::string> expected = {
        "WinUsb_ReadPipe",  "WinUsb_ReadPipe",  "WinUsb_ReadPipe 31", "WinUsb_ReadPipe 31",
        "WinUsb_AbortPipe", "WinUsb_ResetPipe", "WinUsb_ReadPipe",    "WinUsb_ReadPipe"};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(dll().Get_DataPoint(0, static_cast<int>(2 * kBlockSamples)), SAMPLE_OVERWRITTEN);
    EXPECT_EQ(dll().Get_DataPoint(0, static_cast<int>(3 * kBlockSamples)),
              expectedSample(0, 3 * kBlockSamples));
}

// ---- An unplug ---------------------------------------------------------------------------------

class Unplug : public ProductDll, public ::testing::WithParamInterface<unsigned> {};

// The errors WinUSB reports for a device that is no longer there.
struct ErrorName {
    std::string operator()(const ::testing::TestParamInfo<unsigned>& error) const {
        std::string name = "Error";
        name += std::to_string(error.param);
        return name;
    }
};

// ERROR_BAD_COMMAND, ERROR_DEVICE_NOT_CONNECTED, ERROR_NO_SUCH_DEVICE (433, which mingw-w64
// lacks).
INSTANTIATE_TEST_SUITE_P(Errors, Unplug,
                         ::testing::Values(ERROR_BAD_COMMAND, ERROR_DEVICE_NOT_CONNECTED, 433U),
                         ErrorName());

TEST_P(Unplug, EndsTheAcquisitionAndEveryRequestFailsAtOnce) {
    dll().Set_Sample_Rate(0, 10);
    ASSERT_EQ(dll().Get_MV620ACQ_Status(), 90); // loads winusb.dll
    testWinusb().setGoneError(GetParam());
    MV620Sim_UnplugAfterBlocks(3);
    ASSERT_EQ(dll().Start_Acquisition(nullptr), 1);
    // The thread ends by itself and closes its handle: the interface is freed.
    ASSERT_TRUE(eventually([] { return blocks() == 3 && testWinusb().openInterfaces() == 0; }));
    EXPECT_EQ(dll().Stop_Acquisition(), 0);

    // After the first call that found the instrument gone, the library made no transfer: every
    // request failed at once, without a call.
    const std::vector<TestWinusbCall> calls = testWinusb().calls();
    const auto gone = std::find_if(calls.begin(), calls.end(), [](const TestWinusbCall& call) {
        return call.error == GetParam();
    });
    ASSERT_NE(gone, calls.end());
    for (auto call = std::next(gone); call != calls.end(); ++call) {
        EXPECT_STREQ(call->function, "WinUsb_Free");
    }
    EXPECT_EQ(blocks(), 3U);
    expectStreamWhole(3);

    // No export hangs or finds the instrument while it is away; once it is back, it is found.
    EXPECT_EQ(dll().Get_MV620ACQ_Status(), STATUS_NO_ANSWER);
    EXPECT_EQ(dll().Start_Acquisition(nullptr), 1);
    EXPECT_EQ(dll().Stop_Acquisition(), 0);
    MV620Sim_Replug();
    EXPECT_EQ(dll().Get_MV620ACQ_Status(), 90);
}

// ---- Another process
// -----------------------------------------------------------------------------

constexpr char kHeldElsewhere[] = "MV620_TEST_HELD_ELSEWHERE";

// Runs this program again, as a second process, on the suite SecondProcess; its exit status.
DWORD runSecondProcess() {
    std::array<wchar_t, MAX_PATH> program{};
    GetModuleFileNameW(nullptr, program.data(), MAX_PATH);
    std::wstring command =
        L"\"" + std::wstring(program.data()) + L"\" --gtest_filter=SecondProcess.*";
    SetEnvironmentVariableA(kHeldElsewhere, "1");
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(program.data(), command.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, &startup, &process);
    SetEnvironmentVariableA(kHeldElsewhere, nullptr);
    if (started == FALSE) {
        return 1000;
    }
    // A deadline only against hangs.
    DWORD status = 1001;
    if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &status);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return status;
}

TEST_F(WinusbRules, SecondProcessFindsNoInstrumentWhileThisOneHoldsIt) {
    dll().Set_Sample_Rate(0, 10);
    MV620Sim_ReadyNeverFrom(1);
    ASSERT_EQ(dll().Start_Acquisition(nullptr), 1);
    ASSERT_TRUE(eventually([] { return blocks() == 1; }));
    EXPECT_EQ(runSecondProcess(), 0U) << "the second process's test failed";
    EXPECT_EQ(dll().Stop_Acquisition(), 0);
    EXPECT_EQ(blocks(), 1U);
}

// The second process of the test above; skipped when run on its own.
using SecondProcess = ProductDll;

TEST_F(SecondProcess, RefusedQuicklyWithTheNoInstrumentResults) {
    if (GetEnvironmentVariableA(kHeldElsewhere, nullptr, 0) == 0) {
        GTEST_SKIP() << "runs as the second process of WinusbRules.SecondProcess...";
    }
    MV620Sim_SetStatusByte(95);
    EXPECT_EQ(dll().Get_MV620ACQ_Status(), STATUS_NO_ANSWER);
    EXPECT_EQ(dll().Get_Digital_Input(0), 0);
    EXPECT_EQ(MV620Sim_GetRequestCount(), 0);
    // Each of the two opens tried both registered devices once, was refused at
    // WinUsb_Initialize, and neither waited nor retried.
    const std::vector<TestWinusbCall> calls = testWinusb().calls();
    ASSERT_EQ(calls.size(), 4U);
    for (const TestWinusbCall& call : calls) {
        EXPECT_STREQ(call.function, "WinUsb_Initialize");
        EXPECT_EQ(call.error, static_cast<unsigned>(ERROR_ACCESS_DENIED));
    }
}

} // namespace
} // namespace mv620::kerneltest
