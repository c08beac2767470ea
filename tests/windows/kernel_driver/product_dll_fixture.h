// What the tests of the product DLL share, whichever way its requests reach the instrument host:
// through the test kernel driver (kernel_driver_test.cpp) or through WinUSB and the test
// winusb.dll (../winusb/winusb_test.cpp).
#pragma once

#include "instrument_host.h"
#include "product_library.h"
#include "support/eventually.h"
#include "support/expected_protocol.h"

#include "../winusb/test_winusb.h"
#include "MV620ACQm_sim.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace mv620::kerneltest {

using expected::kAbortCode;
using expected::kBlockBytes;
using expected::kBlockSamples;
using expected::kBulkReadCode;
using expected::kBulkWriteCode;
using expected::kDescriptorCode;
using expected::kResetCode;
using expected::kVendorCode;

inline const ProductLibrary& dll() { return productLibrary(); }
inline InstrumentHost& host() { return InstrumentHost::instance(); }

inline bool allClosed() { return host().openFiles() == 0 && MV620Sim_GetOpenHandles() == 0; }

inline std::uint32_t blocks() { return static_cast<std::uint32_t>(dll().Get_Blocks_Transferred()); }

inline std::vector<DriverEvent> eventsOfKind(std::uint32_t kind) {
    std::vector<DriverEvent> selected;
    for (const DriverEvent& event : host().events()) {
        if (event.request.kind == kind) {
            selected.push_back(event);
        }
    }
    return selected;
}

// The control requests of the session that sent the start packet: the acquisition thread's
// (through WinUSB, the one session of the process).
inline std::vector<DriverEvent> acquisitionRequests() {
    const std::vector<DriverEvent> controls = eventsOfKind(FORWARDED_CONTROL);
    const auto start = std::find_if(controls.begin(), controls.end(), [](const DriverEvent& e) {
        return e.request.code == kBulkWriteCode;
    });
    std::vector<DriverEvent> selected;
    if (start != controls.end()) {
        std::copy_if(controls.begin(), controls.end(), std::back_inserter(selected),
                     [&](const DriverEvent& e) { return e.file == start->file; });
    }
    return selected;
}

inline bool isInputPoll(const DriverEvent& e) {
    return e.request.code == kVendorCode && e.request.outLength == 1;
}

// The test winusb.dll's controls, once the product DLL has loaded it; all null before.
struct TestWinusb {
    TestWinusbCallCount callCount = nullptr;
    TestWinusbGetCall getCall = nullptr;
    TestWinusbClear clear = nullptr;
    TestWinusbSetGoneError setGoneError = nullptr;
    TestWinusbRefuse refuse = nullptr;
    TestWinusbLastDevice lastDevice = nullptr;
    TestWinusbOpenInterfaces openInterfaces = nullptr;

    bool loaded() const { return callCount != nullptr; }

    std::vector<TestWinusbCall> calls() const {
        std::vector<TestWinusbCall> all;
        TestWinusbCall call{};
        for (int i = 0; loaded() && getCall(i, &call) != 0; ++i) {
            all.push_back(call);
        }
        return all;
    }
};

template <typename Function> void bindControl(HMODULE module, const char* name, Function& f) {
    f = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

inline TestWinusb testWinusb() {
    TestWinusb t;
    const HMODULE module = GetModuleHandleW(L"winusb.dll");
    if (module == nullptr) {
        return t;
    }
    bindControl(module, "MV620TestWinusb_CallCount", t.callCount);
    bindControl(module, "MV620TestWinusb_GetCall", t.getCall);
    bindControl(module, "MV620TestWinusb_Clear", t.clear);
    bindControl(module, "MV620TestWinusb_SetGoneError", t.setGoneError);
    bindControl(module, "MV620TestWinusb_Refuse", t.refuse);
    bindControl(module, "MV620TestWinusb_LastDevice", t.lastDevice);
    bindControl(module, "MV620TestWinusb_OpenInterfaces", t.openInterfaces);
    if (t.getCall == nullptr || t.clear == nullptr || t.setGoneError == nullptr ||
        t.refuse == nullptr || t.lastDevice == nullptr || t.openInterfaces == nullptr) {
        t.callCount = nullptr; // Wine's own, or another winusb.dll
    }
    return t;
}

// Which way the requests of this program's tests come (MV620_TEST_PATH, set by ctest): "winusb"
// through WinUSB and the test winusb.dll, otherwise through the test kernel driver.
inline bool throughWinusb() {
    const char* path = std::getenv("MV620_TEST_PATH"); // NOLINT(concurrency-mt-unsafe)
    return path != nullptr && std::string(path) == "winusb";
}

// Every test starts with a healthy instrument, no acquisition, every channel off, nothing open
// and empty logs, and ends with nothing left open, no request refused by the driver, none
// malformed for the instrument, and every request come the one way the program was run for.
class ProductDll : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_STREQ(host().failure(), "");
        ASSERT_TRUE(dll().complete) << "MV620ACQm.dll missing or incomplete";
        ASSERT_TRUE(dll().recordingOpens) << "the DLL does not import CreateFileA";
        dll().Stop_Acquisition();
        ASSERT_TRUE(testing::eventually(allClosed));
        MV620Sim_Reset();
        for (int channel = 0; channel < 40; ++channel) {
            dll().Set_Sample_Rate(channel, 0);
        }
        host().clearEvents();
        clearCreateFileCalls();
        if (const TestWinusb winusb = testWinusb(); winusb.loaded()) {
            winusb.clear();
        }
    }

    void TearDown() override {
        dll().Stop_Acquisition();
        EXPECT_TRUE(testing::eventually(allClosed)) << "a handle of the library was left open";
        EXPECT_EQ(MV620Sim_GetMalformedRequests(), 0)
            << "a request the instrument's driver refuses";
        if (!refusalsExpected_) {
            EXPECT_TRUE(eventsOfKind(FORWARDED_REFUSED).empty()) << "the driver refused a request";
        }
        const std::vector<DriverEvent> events = host().events();
        const auto otherWay = std::count_if(events.begin(), events.end(), [this](const auto& e) {
            return (e.file >= FORWARDING_WINUSB_FIRST_FILE) != viaWinusb_;
        });
        EXPECT_EQ(otherWay, 0) << "requests came through "
                               << (viaWinusb_ ? "the kernel driver" : "WinUSB");
    }

    bool refusalsExpected_ = false;
    bool viaWinusb_ = throughWinusb(); // the way every request must come
};

} // namespace mv620::kerneltest
