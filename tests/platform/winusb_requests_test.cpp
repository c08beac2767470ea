// The WinUSB backend's mapping of the driver requests, over a fake table of WinUSB functions
// that records every call: the setup packet of each vendor request, the pipe of each transfer,
// the time-outs set, and what each way a call can end means for the request.
#include "platform/ezusb_requests.h"
#include "platform/winusb/winusb_requests.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace mv620::platform::winusb {
namespace {

constexpr std::uint8_t kIn = 0x86;  // the instrument's bulk IN endpoint in these tests
constexpr std::uint8_t kOut = 0x02; // and its bulk OUT endpoint

// One call the library made, as the fake saw it.
struct Call {
    std::string function;
    std::uint8_t pipe = 0;
    std::uint32_t length = 0;
    SetupPacket setup{};

    friend bool operator==(const Call&, const Call&) = default;
};

std::ostream& operator<<(std::ostream& out, const Call& call) {
    return out << call.function << "(pipe 0x" << std::hex << int{call.pipe} << ", length "
               << std::dec << call.length << ", setup " << int{call.setup.requestType} << "/"
               << int{call.setup.request} << "/" << call.setup.value << "/" << call.setup.index
               << "/" << call.setup.length << ")";
}

// The instrument's interface 0: its bulk IN pipe, then its bulk OUT pipe.
std::vector<PipeInfo> instrumentPipes() {
    std::vector<PipeInfo> pipes(2);
    pipes[0] = PipeInfo{PipeType::Bulk, kIn};
    pipes[1] = PipeInfo{PipeType::Bulk, kOut};
    return pipes;
}

class FakeWinusb final : public WinusbCalls {
public:
    std::vector<PipeInfo> pipes = instrumentPipes();
    std::array<std::uint8_t, 18> descriptor = {18, 1, 0, 2, 0xFF, 0, 0, 64, 0x47, 0x05, 0x02, 0x10};
    CallResult next{true, 0, 0}; // how the next transfer ends; moved 0 on success: all of it
    std::uint8_t inputByte = 0x80;
    std::vector<Call> calls;
    std::vector<std::pair<std::uint8_t, std::uint32_t>> timeouts;

    CallResult getDescriptor(std::uint8_t type, std::uint8_t index, std::uint16_t language,
                             std::uint8_t* buffer, std::uint32_t length) noexcept override {
        calls.push_back({"GetDescriptor", type, length, {0, index, language, 0, 0}});
        const std::uint32_t moved = std::min(length, kDeviceDescriptorBytes);
        std::copy_n(descriptor.begin(), moved, buffer);
        return ended(moved);
    }
    CallResult controlTransfer(const SetupPacket& setup, std::uint8_t* buffer) noexcept override {
        calls.push_back({"ControlTransfer", 0, setup.length, setup});
        if ((setup.requestType & 0x80U) != 0 && setup.length > 0) {
            buffer[0] = inputByte;
        }
        return ended(setup.length);
    }
    CallResult readPipe(std::uint8_t pipe, std::uint8_t* /*buffer*/,
                        std::uint32_t length) noexcept override {
        calls.push_back({"ReadPipe", pipe, length, {}});
        return ended(length);
    }
    CallResult writePipe(std::uint8_t pipe, const std::uint8_t* /*buffer*/,
                         std::uint32_t length) noexcept override {
        calls.push_back({"WritePipe", pipe, length, {}});
        return ended(length);
    }
    CallResult abortPipe(std::uint8_t pipe) noexcept override {
        calls.push_back({"AbortPipe", pipe, 0, {}});
        return ended(0);
    }
    CallResult resetPipe(std::uint8_t pipe) noexcept override {
        calls.push_back({"ResetPipe", pipe, 0, {}});
        return ended(0);
    }
    std::optional<std::uint8_t> endpointCount() noexcept override {
        return static_cast<std::uint8_t>(pipes.size());
    }
    std::optional<PipeInfo> queryPipe(std::uint8_t index) noexcept override {
        if (index >= pipes.size()) {
            return std::nullopt;
        }
        return pipes[index];
    }
    bool setPipeTimeout(std::uint8_t pipe, std::uint32_t milliseconds) noexcept override {
        timeouts.emplace_back(pipe, milliseconds);
        return pipe != refusedTimeoutPipe;
    }
    std::optional<std::uint8_t> refusedTimeoutPipe; // SetPipePolicy fails on it

private:
    CallResult ended(std::uint32_t whole) noexcept {
        CallResult result = next;
        if (result.ok && result.moved == 0) {
            result.moved = whole;
        }
        return result;
    }
};

// The name of a case of a parameterised test.
struct NameOf {
    template <typename Info> std::string operator()(const Info& info) const {
        return info.param.name;
    }
};

std::array<std::uint8_t, 4> pipeBlock(std::uint32_t pipe) {
    return {static_cast<std::uint8_t>(pipe), static_cast<std::uint8_t>(pipe >> 8U),
            static_cast<std::uint8_t>(pipe >> 16U), static_cast<std::uint8_t>(pipe >> 24U)};
}

class Mapping : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(device_.configure(fake_));
        fake_.calls.clear();
    }

    bool pipeRequest(std::uint32_t code, std::uint32_t pipe, std::uint32_t length,
                     std::uint32_t* returned = nullptr) {
        const auto block = pipeBlock(pipe);
        buffer_.assign(length, 0);
        return device_.request(fake_, code, block.data(), 4, length > 0 ? buffer_.data() : nullptr,
                               length, returned);
    }

    FakeWinusb fake_;
    WinusbDevice device_;
    std::vector<std::uint8_t> buffer_;
};

// ---- Pipes and time-outs ----------------------------------------------------------------------

struct PipeLayout {
    const char* name;
    std::vector<PipeInfo> pipes;
    std::optional<std::pair<std::uint8_t, std::uint8_t>> found; // read pipe, write pipe
};

class PipesByDirection : public ::testing::TestWithParam<PipeLayout> {};

TEST_P(PipesByDirection, ReadPipeIsTheBulkInPipeWritePipeTheBulkOut) {
    FakeWinusb fake;
    fake.pipes = GetParam().pipes;
    WinusbDevice device;
    const auto& found = GetParam().found;
    ASSERT_EQ(device.configure(fake), found.has_value());
    if (!found.has_value()) {
        return;
    }
    EXPECT_EQ(device.readPipeId(), found->first);
    EXPECT_EQ(device.writePipeId(), found->second);
    // The control pipe's time-out and each bulk pipe's, as the libusb backend's.
    const std::vector<std::pair<std::uint8_t, std::uint32_t>> timeouts = {
        {0x00, 500}, {found->first, 1000}, {found->second, 1000}};
    EXPECT_EQ(fake.timeouts, timeouts);
}

// A bulk pipe that keeps WinUSB's default (no time-out) could hang a stop: the device is not
// used. The control pipe has WinUSB's own time-out to fall back on.
TEST(Timeouts, DeviceNotUsedWithoutABulkPipesTimeout) {
    for (const std::uint8_t pipe : {kIn, kOut}) {
        FakeWinusb fake;
        fake.refusedTimeoutPipe = pipe;
        WinusbDevice device;
        EXPECT_FALSE(device.configure(fake)) << int{pipe};
    }
    FakeWinusb fake;
    fake.refusedTimeoutPipe = kControlPipeId;
    WinusbDevice device;
    EXPECT_TRUE(device.configure(fake));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, PipesByDirection,
    ::testing::Values(
        PipeLayout{"InThenOut", {{PipeType::Bulk, 0x81}, {PipeType::Bulk, 0x01}}, {{0x81, 0x01}}},
        PipeLayout{"OutThenIn", {{PipeType::Bulk, 0x02}, {PipeType::Bulk, 0x86}}, {{0x86, 0x02}}},
        PipeLayout{"InterruptPipesPassedOver",
                   {{PipeType::Interrupt, 0x81},
                    {PipeType::Interrupt, 0x01},
                    {PipeType::Bulk, 0x04},
                    {PipeType::Bulk, 0x88}},
                   {{0x88, 0x04}}},
        PipeLayout{"FirstOfEachDirection",
                   {{PipeType::Bulk, 0x82}, {PipeType::Bulk, 0x86}, {PipeType::Bulk, 0x02}},
                   {{0x82, 0x02}}},
        PipeLayout{"NoBulkOut", {{PipeType::Bulk, 0x82}, {PipeType::Interrupt, 0x02}}, {}},
        PipeLayout{"NoBulkIn", {{PipeType::Bulk, 0x02}}, {}}, PipeLayout{"NoPipes", {}, {}}),
    NameOf());

// ---- Vendor requests --------------------------------------------------------------------------

struct VendorCase {
    const char* name;
    std::array<std::uint8_t, 10> block;
    std::uint32_t outLength;
    SetupPacket setup;
};

class VendorRequests : public Mapping, public ::testing::WithParamInterface<VendorCase> {};

TEST_P(VendorRequests, SetupPacketIsBuiltFromTheBlock) {
    const VendorCase& c = GetParam();
    std::uint8_t data = 0;
    std::uint32_t returned = 99;
    ASSERT_TRUE(device_.request(fake_, IOCTL_VENDOR_REQUEST, c.block.data(), 10,
                                c.outLength > 0 ? &data : nullptr, c.outLength, &returned));
    ASSERT_EQ(fake_.calls.size(), 1U);
    EXPECT_EQ(fake_.calls[0], (Call{"ControlTransfer", 0, c.outLength, c.setup}));
    EXPECT_EQ(returned, c.outLength);
    if (c.outLength > 0) {
        EXPECT_EQ(data, 0x80) << "the data stage lands in the caller's buffer";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, VendorRequests,
    ::testing::Values(
        // Set line 3: host to device, vendor, device; request 13, value 0x0008.
        VendorCase{"SetLine3", {0, 2, 0, 0, 13, 0, 0x08, 0x00, 0, 0}, 0, {0x40, 13, 0x0008, 0, 0}},
        // Clear line 8: value 0x01FF, both bytes of the word.
        VendorCase{
            "ClearLine8", {0, 2, 0, 0, 14, 0, 0xFF, 0x01, 0, 0}, 0, {0x40, 14, 0x01FF, 0, 0}},
        // Read the input port: device to host, one byte.
        VendorCase{"ReadInput", {1, 2, 0, 0, 15, 0, 0, 0, 0, 0}, 1, {0xC0, 15, 0, 0, 1}},
        // Type, recipient and index from their own bytes; byte 5 and the high bits ignored.
        VendorCase{"ClassToEndpointWithIndex",
                   {1, 1, 2, 0, 0x22, 0xEE, 0x34, 0x12, 0x78, 0x56},
                   1,
                   {0xA2, 0x22, 0x1234, 0x5678, 1}},
        VendorCase{
            "OnlyTheFieldsBits", {0xFE, 0xFE, 0xE3, 0, 7, 0, 0, 0, 0, 0}, 0, {0x43, 7, 0, 0, 0}}),
    NameOf());

TEST_F(Mapping, VendorRequestWithAnotherBlockLengthMakesNoCall) {
    const std::array<std::uint8_t, 10> block = {0, 2, 0, 0, 13, 0, 1, 0, 0, 0};
    EXPECT_FALSE(
        device_.request(fake_, IOCTL_VENDOR_REQUEST, block.data(), 9, nullptr, 0, nullptr));
    EXPECT_FALSE(device_.request(fake_, IOCTL_VENDOR_REQUEST, nullptr, 10, nullptr, 0, nullptr));
    EXPECT_TRUE(fake_.calls.empty());
}

// ---- Transfers, abort and reset ---------------------------------------------------------------

TEST_F(Mapping, EachPipeRequestReachesItsPipe) {
    std::uint32_t returned = 0;
    EXPECT_TRUE(pipeRequest(IOCTL_BULK_READ, 0, 64000, &returned));
    EXPECT_EQ(returned, 64000U);
    EXPECT_TRUE(pipeRequest(IOCTL_BULK_WRITE, 1, 64, &returned));
    EXPECT_EQ(returned, 64U);
    EXPECT_TRUE(pipeRequest(IOCTL_ABORT_PIPE, 0, 0));
    EXPECT_TRUE(pipeRequest(IOCTL_RESET_PIPE, 0, 0));
    EXPECT_TRUE(pipeRequest(IOCTL_RESET_PIPE, 1, 0));
    const std::vector<Call> expected = {{"ReadPipe", kIn, 64000, {}},
                                        {"WritePipe", kOut, 64, {}},
                                        {"AbortPipe", kIn, 0, {}},
                                        {"ResetPipe", kIn, 0, {}},
                                        {"ResetPipe", kOut, 0, {}}};
    EXPECT_EQ(fake_.calls, expected);
}

TEST_F(Mapping, WrongPipeOrDirectionOrUnknownCodeMakesNoCall) {
    std::uint32_t returned = 99;
    EXPECT_FALSE(pipeRequest(IOCTL_BULK_READ, 1, 64, &returned)) << "the write pipe is not read";
    EXPECT_EQ(returned, 0U);
    EXPECT_FALSE(pipeRequest(IOCTL_BULK_WRITE, 0, 64)) << "the read pipe is not written";
    EXPECT_FALSE(pipeRequest(IOCTL_BULK_READ, 2, 64)) << "there is no pipe 2";
    EXPECT_FALSE(pipeRequest(IOCTL_ABORT_PIPE, 0x100, 0)) << "all four bytes name the pipe";
    EXPECT_FALSE(pipeRequest(0x222008, 0, 64));
    const std::array<std::uint8_t, 8> longBlock{};
    EXPECT_FALSE(
        device_.request(fake_, IOCTL_RESET_PIPE, longBlock.data(), 8, nullptr, 0, nullptr));
    EXPECT_FALSE(
        device_.request(fake_, IOCTL_BULK_READ, pipeBlock(0).data(), 4, nullptr, 64, nullptr))
        << "a length without a buffer";
    EXPECT_TRUE(fake_.calls.empty());
}

TEST_F(Mapping, DescriptorFillsItsBytesAndZeroesTheRest) {
    std::array<std::uint8_t, kDescriptorBytes> buffer{};
    buffer.fill(0xAA);
    std::uint32_t returned = 0;
    ASSERT_TRUE(device_.request(fake_, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, buffer.data(),
                                kDescriptorBytes, &returned));
    EXPECT_EQ(returned, 18U);
    ASSERT_EQ(fake_.calls.size(), 1U);
    EXPECT_EQ(fake_.calls[0], (Call{"GetDescriptor", kDeviceDescriptorType, 18, {}}));
    EXPECT_EQ(buffer[8] | (buffer[9] << 8), 0x0547);
    EXPECT_EQ(buffer[10] | (buffer[11] << 8), 0x1002);
    EXPECT_TRUE(std::all_of(buffer.begin() + 18, buffer.end(), [](auto b) { return b == 0; }));
}

// ---- How a call ends --------------------------------------------------------------------------

struct Ending {
    const char* name;
    CallResult result;
    bool succeeds;
    std::uint32_t returned;
    bool gone;
};

class Endings : public Mapping, public ::testing::WithParamInterface<Ending> {};

TEST_P(Endings, DecideTheRequestAndWhetherTheInstrumentIsGone) {
    const Ending& e = GetParam();
    fake_.next = e.result;
    std::uint32_t returned = 99;
    EXPECT_EQ(pipeRequest(IOCTL_BULK_READ, 0, 64000, &returned), e.succeeds);
    EXPECT_EQ(returned, e.returned);
    EXPECT_EQ(device_.gone(), e.gone);

    // The next requests: a gone instrument fails each at once without a call; otherwise they go
    // through as usual.
    fake_.next = CallResult{true, 0, 0};
    fake_.calls.clear();
    const std::array<std::uint8_t, 10> poll = {1, 2, 0, 0, 15, 0, 0, 0, 0, 0};
    std::uint8_t port = 0;
    EXPECT_EQ(device_.request(fake_, IOCTL_VENDOR_REQUEST, poll.data(), 10, &port, 1, nullptr),
              !e.gone);
    EXPECT_EQ(pipeRequest(IOCTL_ABORT_PIPE, 0, 0), !e.gone);
    EXPECT_EQ(fake_.calls.empty(), e.gone);
}

// After a stall or a bus error part-way through a block, the instrument's place in its stream is
// not known: the read fails, and so does every later one on that pipe, without a call, until the
// reset that follows a lost block. The retry can then never take the block's rest as a whole
// block and shift every block after it.
TEST_F(Mapping, AFailedTransferHaltsItsPipeUntilItIsReset) {
    fake_.next = CallResult{false, kErrorGenFailure, 20000};
    EXPECT_FALSE(pipeRequest(IOCTL_BULK_READ, 0, 64000));
    fake_.next = CallResult{true, 0, 0};
    fake_.calls.clear();
    EXPECT_FALSE(pipeRequest(IOCTL_BULK_READ, 0, 44000)) << "the retry";
    EXPECT_TRUE(fake_.calls.empty());
    EXPECT_TRUE(pipeRequest(IOCTL_BULK_WRITE, 1, 64)) << "the other pipe is not halted";
    EXPECT_TRUE(pipeRequest(IOCTL_ABORT_PIPE, 0, 0));
    EXPECT_TRUE(pipeRequest(IOCTL_RESET_PIPE, 0, 0));
    EXPECT_TRUE(pipeRequest(IOCTL_BULK_READ, 0, 64000)) << "reset: the next block";
    EXPECT_EQ(fake_.calls.back(), (Call{"ReadPipe", kIn, 64000, {}}));
    EXPECT_FALSE(device_.gone());
}

// A failure that moved nothing leaves the instrument where it was: the retry reaches it.
TEST_F(Mapping, AFailedTransferThatMovedNothingIsRetried) {
    fake_.next = CallResult{false, kErrorGenFailure, 0};
    EXPECT_FALSE(pipeRequest(IOCTL_BULK_READ, 0, 64000));
    fake_.next = CallResult{true, 0, 0};
    fake_.calls.clear();
    EXPECT_TRUE(pipeRequest(IOCTL_BULK_READ, 0, 64000));
    EXPECT_EQ(fake_.calls, (std::vector<Call>{{"ReadPipe", kIn, 64000, {}}}));
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Endings,
    ::testing::Values(
        Ending{"Whole", {true, 0, 64000}, true, 64000, false},
        Ending{"ShortSuccess", {true, 0, 1000}, true, 1000, false},
        // A time-out part-way through a block: the bytes moved were taken from the stream.
        Ending{"TimedOutPartWay", {false, kErrorSemTimeout, 4096}, true, 4096, false},
        Ending{"TimedOutWithNothing", {false, kErrorSemTimeout, 0}, false, 0, false},
        Ending{"AbortedPartWay", {false, kErrorOperationAborted, 512}, true, 512, false},
        Ending{"AbortedWithNothing", {false, kErrorOperationAborted, 0}, false, 0, false},
        // A stall moves nothing the library may use, whatever the count says.
        Ending{"Stalled", {false, kErrorGenFailure, 512}, false, 0, false},
        Ending{"BadCommand", {false, kErrorBadCommand, 0}, false, 0, true},
        Ending{"DeviceNotConnected", {false, kErrorDeviceNotConnected, 0}, false, 0, true},
        Ending{"NoSuchDevice", {false, kErrorNoSuchDevice, 100}, false, 0, true}),
    NameOf());

// ---- Finding the instrument -------------------------------------------------------------------

TEST(Identity, OnlyTheInstrumentsVendorAndProductTogether) {
    FakeWinusb fake;
    EXPECT_TRUE(WinusbDevice::isInstrument(fake));
    fake.descriptor[10] = 0x03; // product 0x1003
    EXPECT_FALSE(WinusbDevice::isInstrument(fake));
    fake.descriptor[10] = 0x02;
    fake.descriptor[8] = 0x48; // vendor 0x0548
    EXPECT_FALSE(WinusbDevice::isInstrument(fake));
    fake.descriptor[8] = 0x47;
    fake.next = CallResult{false, kErrorGenFailure, 0};
    EXPECT_FALSE(WinusbDevice::isInstrument(fake)) << "a descriptor that could not be read";
}

TEST(Identity, GuidsInTheirRegistryForm) {
    EXPECT_EQ(parseGuid(L"{A6920BDA-1E12-4029-A7CC-D1E8ACF8D6B5}"), kInterfaceGuid);
    EXPECT_EQ(parseGuid(L"{a6920bda-1e12-4029-a7cc-d1e8acf8d6b5}"), kInterfaceGuid);
    EXPECT_EQ(parseGuid(L"{00000001-0002-0003-0405-060708090A0B}"),
              (GuidValue{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}));
    for (const wchar_t* bad :
         {L"", L"A6920BDA-1E12-4029-A7CC-D1E8ACF8D6B5", L"{A6920BDA-1E12-4029-A7CC-D1E8ACF8D6B}",
          L"{A6920BDA-1E12-4029-A7CCD1E8ACF8D6B5-}", L"{G6920BDA-1E12-4029-A7CC-D1E8ACF8D6B5}",
          L"{A6920BDA-1E12-4029-A7CC-D1E8ACF8D6B5}x"}) {
        EXPECT_FALSE(parseGuid(bad).has_value()) << std::wstring(bad).size();
    }
}

TEST(Identity, InstanceIdsOfTheInstrument) {
    EXPECT_TRUE(isInstrumentInstance(L"USB\\VID_0547&PID_1002\\5&2A3B4C5D&0&1"));
    EXPECT_TRUE(isInstrumentInstance(L"usb\\vid_0547&pid_1002\\serial"));
    EXPECT_TRUE(isInstrumentInstance(L"USB\\VID_0547&PID_1002"));
    EXPECT_FALSE(isInstrumentInstance(L"USB\\VID_0547&PID_10021\\x"));
    EXPECT_FALSE(isInstrumentInstance(L"USB\\VID_0547&PID_1003\\x"));
    EXPECT_FALSE(isInstrumentInstance(L"HID\\VID_0547&PID_1002\\x"));
    EXPECT_FALSE(isInstrumentInstance(L"USB\\VID_0547"));
}

// The INF that binds WinUSB to the instrument sets the interface GUID the backend looks for, and
// names the instrument's hardware ID for every machine it installs on.
TEST(Inf, SetsTheInterfaceGuidTheBackendLooksFor) {
    std::ifstream inf(MV620_INF_FILE);
    ASSERT_TRUE(inf.is_open()) << MV620_INF_FILE;
    std::vector<std::string> guids;
    int models = 0;
    for (std::string line; std::getline(inf, line);) {
        if (line.rfind("HKR,,DeviceInterfaceGUIDs,0x10000,", 0) == 0) {
            const std::size_t open = line.find("\"{");
            const std::size_t close = line.find("}\"");
            ASSERT_NE(open, std::string::npos) << line;
            ASSERT_NE(close, std::string::npos) << line;
            guids.push_back(line.substr(open + 1, close - open));
        }
        if (line.rfind("%DeviceName% = Instrument_Install, USB\\VID_0547&PID_1002", 0) == 0) {
            ++models;
        }
    }
    ASSERT_EQ(guids.size(), 1U);
    EXPECT_EQ(parseGuid(std::wstring(guids[0].begin(), guids[0].end())), kInterfaceGuid)
        << guids[0];
    EXPECT_EQ(models, 3) << "x86, amd64 and arm64";
}

} // namespace
} // namespace mv620::platform::winusb
