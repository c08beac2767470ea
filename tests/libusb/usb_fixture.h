// A fixture for tests of the product's libusb backend: the library's exports (or its device
// connection) over the real libusb, against the instrument on an emulated USB bus whose firmware
// is the simulated instrument's. Every test starts from the state after load with a healthy
// instrument at bus 1, address 2, and ends with no device node left open.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <memory>
#include <string>

#include "emulated_usb.h"
#include "support/library_fixture.h"

namespace mv620::testing {

class OverUsb : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        unsetenv("MV620_USB_DEVICE"); // the tests choose the device themselves
        usb_ = std::make_unique<EmulatedUsb>();
        usb_->setSplitting(splitting());
        if (withInstrument()) {
            instrument_ = usb_->addDevice(UsbDeviceSpec{});
        }
    }

    void TearDown() override {
        Stop_Acquisition();
        EXPECT_TRUE(eventually([this] { return usb_->openNodes() == 0; }))
            << "a device node was left open";
        usb_.reset();
        unsetenv("MV620_USB_DEVICE");
        LibraryTest::TearDown();
    }

    virtual bool withInstrument() const { return true; }
    virtual UrbSplitting splitting() const { return UrbSplitting::ScatterGather; }

    std::unique_ptr<EmulatedUsb> usb_;
    std::string instrument_; // its device node
};

// The same, with only the devices each test adds.
class OverEmptyUsb : public OverUsb {
protected:
    bool withInstrument() const override { return false; }
};

// The same, once for each way the kernel may split a long bulk transfer into URBs.
class OverUsbEachSplitting : public OverUsb, public ::testing::WithParamInterface<UrbSplitting> {
protected:
    UrbSplitting splitting() const override { return GetParam(); }
};

inline void PrintTo(UrbSplitting splitting, std::ostream* out) {
    *out << (splitting == UrbSplitting::ScatterGather ? "one URB" : "URBs of 16 KiB");
}

inline std::string splittingName(const ::testing::TestParamInfo<UrbSplitting>& info) {
    return info.param == UrbSplitting::ScatterGather ? "OneUrb" : "UrbsOf16KiB";
}

// Runs `call` on another thread and waits for it; a call that never returns fails the test
// instead of hanging the suite. The deadline is no timing assertion: it only catches a hang.
template <typename F> bool returnsAtAll(F&& call) {
    auto done = std::async(std::launch::async, std::forward<F>(call));
    if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "the call did not return";
        std::abort(); // the call still runs on a thread that cannot be joined
    }
    done.get();
    return true;
}

} // namespace mv620::testing
