// The libusb backend at the driver seam: finding and claiming the instrument, the pipes, the
// shared device handle, requests from two threads, abort and reset, time-outs, and an instrument
// that goes away.
#include <gtest/gtest.h>

#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "device/device_connection.h"
#include "support/stream_model.h"
#include "usb_fixture.h"

namespace mv620::testing {
namespace {

using device::DeviceConnection;
using device::PacketBytes;

constexpr std::uint32_t kBlockBytes = 64000;

// ---- Finding the instrument -------------------------------------------------------------------

using Identity = OverUsb;

TEST_F(Identity, DescriptorRequestGivesTheDeviceDescriptorThenZeros) {
    platform::DriverBackend& backend = platform::driverBackend();
    const platform::DeviceHandle handle = backend.open(device::kDevicePath);
    ASSERT_NE(handle, platform::kInvalidDevice);
    std::array<std::uint8_t, device::kDescriptorBytes> buffer{};
    buffer.fill(0xAA);
    std::uint32_t returned = 0;
    EXPECT_TRUE(backend.control(handle, device::IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0,
                                buffer.data(), device::kDescriptorBytes, &returned));
    EXPECT_EQ(returned, 18U);
    const auto expected = instrumentDeviceDescriptor();
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));
    EXPECT_TRUE(std::all_of(buffer.begin() + 18, buffer.end(), [](auto b) { return b == 0; }));
    backend.close(handle);

    EXPECT_FALSE(backend.control(handle, device::IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0,
                                 buffer.data(), device::kDescriptorBytes, &returned))
        << "a closed handle";
    EXPECT_EQ(returned, 0U);
    EXPECT_FALSE(backend.control(platform::kInvalidDevice, device::IOCTL_GET_DEVICE_DESCRIPTOR,
                                 nullptr, 0, buffer.data(), device::kDescriptorBytes, &returned));
    const DeviceConnection connection;
    EXPECT_TRUE(connection.isPresent());
}

TEST_F(Identity, HandlesShareOneClaimedDeviceReleasedByTheLastClose) {
    auto first = std::make_unique<DeviceConnection>();
    auto second = std::make_unique<DeviceConnection>();
    EXPECT_TRUE(first->isPresent());
    EXPECT_TRUE(second->isPresent());
    EXPECT_EQ(usb_->opens(instrument_), 1U);
    EXPECT_EQ(usb_->openNodes(), 1U);
    first.reset();
    EXPECT_EQ(usb_->openNodes(), 1U) << "the other handle still uses the device";
    EXPECT_TRUE(second->setOutputLine(1));
    second.reset();
    EXPECT_TRUE(eventually([this] { return usb_->openNodes() == 0; }));
    const auto records = usb_->interfaceRecords();
    ASSERT_EQ(records.size(), 2U);
    // libusb detaches any kernel driver in the same request that claims the interface.
    EXPECT_EQ(records[0].kind, InterfaceRecord::Kind::DisconnectAndClaim);
    EXPECT_EQ(records[0].interface, 0U);
    EXPECT_EQ(records[1].kind, InterfaceRecord::Kind::Release);
    EXPECT_EQ(records[1].interface, 0U);
}

TEST_F(Identity, AbsentInstrumentGivesTheInvalidHandle) {
    MV620Sim_SetPresence(MV620SIM_ABSENT); // its node is there, but it answers nothing
    EXPECT_EQ(platform::driverBackend().open(device::kDevicePath), platform::kInvalidDevice);
    EXPECT_EQ(Get_MV620ACQ_Status(), STATUS_NO_ANSWER);
    EXPECT_EQ(Get_Digital_Input(0), 0);
}

using Choosing = OverEmptyUsb;

TEST_F(Choosing, NoInstrumentOnTheBusGivesTheInvalidHandle) {
    UsbDeviceSpec foreign;
    foreign.vendorId = 0x04B4;
    foreign.productId = 0x8613;
    const std::string node = usb_->addDevice(foreign);
    EXPECT_EQ(platform::driverBackend().open(device::kDevicePath), platform::kInvalidDevice);
    EXPECT_EQ(Get_MV620ACQ_Status(), STATUS_NO_ANSWER);
    EXPECT_EQ(Do_AZ_On(), 1);
    EXPECT_EQ(usb_->opens(node), 0U) << "a device that is not the instrument is never opened";
}

TEST_F(Choosing, ForeignDeviceIsPassedOver) {
    UsbDeviceSpec foreign;
    foreign.address = 1;
    foreign.productId = 0x1003;
    UsbDeviceSpec instrument;
    instrument.address = 5;
    const std::string foreignNode = usb_->addDevice(foreign);
    const std::string instrumentNode = usb_->addDevice(instrument);
    const DeviceConnection connection;
    EXPECT_TRUE(connection.isPresent());
    EXPECT_EQ(usb_->opens(foreignNode), 0U);
    EXPECT_EQ(usb_->opens(instrumentNode), 1U);
}

struct Choice {
    const char* name;
    const char* variable; // MV620_USB_DEVICE, or null for none
    const char* opened;   // the node opened, or null for none
};

void PrintTo(const Choice& choice, std::ostream* out) { *out << choice.name; }

// Three instruments behind the ports of bus 1 (a hub on port 2 with two of them, one on port 3
// of the root hub) and one on bus 2; the addresses do not follow the ports. MV620_USB_DEVICE
// picks one by BUS:ADDRESS or by port path; unset, the lowest bus, then address, is taken.
class ChoosingAmongSeveral : public OverEmptyUsb, public ::testing::WithParamInterface<Choice> {};

UsbDeviceSpec instrumentOnPorts(std::uint8_t bus, std::uint8_t address,
                                std::vector<std::uint8_t> ports) {
    UsbDeviceSpec spec;
    spec.bus = bus;
    spec.address = address;
    spec.ports = std::move(ports);
    return spec;
}

TEST_P(ChoosingAmongSeveral, VariablePicksOneAndOtherwiseTheLowestBusAndAddress) {
    const std::string nodes[] = {usb_->addDevice(instrumentOnPorts(1, 9, {2, 3})),
                                 usb_->addDevice(instrumentOnPorts(1, 4, {2, 4})),
                                 usb_->addDevice(instrumentOnPorts(1, 6, {3})),
                                 usb_->addDevice(instrumentOnPorts(2, 5, {2, 3}))};
    if (GetParam().variable != nullptr) {
        setenv("MV620_USB_DEVICE", GetParam().variable, 1);
    }
    const DeviceConnection connection;
    EXPECT_EQ(connection.isPresent(), GetParam().opened != nullptr);
    for (const std::string& node : nodes) {
        const bool chosen = GetParam().opened != nullptr && node == GetParam().opened;
        EXPECT_EQ(usb_->opens(node), chosen ? 1U : 0U) << node;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Variable, ChoosingAmongSeveral,
    ::testing::Values(Choice{"Unset", nullptr, "/dev/bus/usb/001/004"},
                      Choice{"Bus2Address5", "2:5", "/dev/bus/usb/002/005"},
                      Choice{"LeadingZeros", "002:005", "/dev/bus/usb/002/005"},
                      Choice{"Bus1Address9", "1:9", "/dev/bus/usb/001/009"},
                      Choice{"NoSuchDevice", "1:3", nullptr}, Choice{"NoColon", "2", nullptr},
                      Choice{"NoAddress", "2:", nullptr}, Choice{"NoBus", ":5", nullptr},
                      Choice{"TrailingCharacter", "2:5x", nullptr},
                      Choice{"BusTooLarge", "256:5", nullptr}, Choice{"Empty", "", nullptr},
                      Choice{"HubPort3", "1-2.3", "/dev/bus/usb/001/009"},
                      Choice{"HubPort4", "1-2.4", "/dev/bus/usb/001/004"},
                      Choice{"RootHubPort3", "1-3", "/dev/bus/usb/001/006"},
                      Choice{"SamePortsOnBus2", "2-2.3", "/dev/bus/usb/002/005"},
                      Choice{"TheHubIsNoInstrument", "1-2", nullptr},
                      Choice{"NoDeviceThere", "1-2.5", nullptr}),
    [](const auto& p) { return std::string(p.param.name); });

// A replug gives each instrument a new address; its port path stays, and keeps naming it. Here
// the other instrument comes back at the address the chosen one had, which BUS:ADDRESS then names.
TEST_F(ChoosingAmongSeveral, PortPathFollowsTheInstrumentAcrossAReplug) {
    std::string chosen = usb_->addDevice(instrumentOnPorts(1, 4, {2, 3}));
    std::string other = usb_->addDevice(instrumentOnPorts(1, 3, {2, 4}));
    setenv("MV620_USB_DEVICE", "1-2.3", 1);
    {
        const DeviceConnection connection;
        EXPECT_TRUE(connection.isPresent());
    }
    EXPECT_EQ(usb_->opens(chosen), 1U);
    EXPECT_EQ(usb_->opens(other), 0U);

    usb_->removeDevice(chosen);
    usb_->removeDevice(other);
    other = usb_->addDevice(instrumentOnPorts(1, 4, {2, 4})); // the old address of the chosen one
    chosen = usb_->addDevice(instrumentOnPorts(1, 7, {2, 3}));
    ASSERT_EQ(other, "/dev/bus/usb/001/004");
    const std::size_t otherOpens = usb_->opens(other);
    {
        DeviceConnection connection;
        EXPECT_TRUE(connection.isPresent());
        EXPECT_TRUE(connection.setOutputLine(1));
    }
    EXPECT_EQ(usb_->opens(chosen), 1U) << "the instrument on port 2.3, at its new address";
    EXPECT_EQ(usb_->opens(other), otherOpens);

    setenv("MV620_USB_DEVICE", "1:4", 1);
    {
        const DeviceConnection connection;
        EXPECT_TRUE(connection.isPresent());
    }
    EXPECT_EQ(usb_->opens(other), otherOpens + 1) << "the old address names the other instrument";
}

TEST_F(Choosing, KernelDriverIsDetachedForTheClaimAndGivenBackAtTheEnd) {
    UsbDeviceSpec bound;
    bound.kernelDriverBound = true;
    const std::string node = usb_->addDevice(bound);
    {
        const DeviceConnection connection;
        EXPECT_TRUE(connection.isPresent());
        EXPECT_FALSE(usb_->kernelDriverBound(node));
    }
    ASSERT_TRUE(eventually([this] { return usb_->openNodes() == 0; }));
    EXPECT_TRUE(usb_->kernelDriverBound(node));
    const auto records = usb_->interfaceRecords();
    ASSERT_EQ(records.size(), 3U);
    EXPECT_EQ(records[0].kind, InterfaceRecord::Kind::DisconnectAndClaim);
    EXPECT_EQ(records[0].interface, 0U);
    EXPECT_EQ(records[1].kind, InterfaceRecord::Kind::Release);
    EXPECT_EQ(records[2].kind, InterfaceRecord::Kind::ReattachDriver);
}

// ---- Pipes --------------------------------------------------------------------------------------

struct PipeCase {
    const char* name;
    std::vector<std::uint8_t> endpoints; // interface 0, in descriptor order
    int status;                          // what the status query returns
    std::vector<std::uint8_t> used;      // the endpoints of its bulk URBs
};

void PrintTo(const PipeCase& pipes, std::ostream* out) { *out << pipes.name; }

class Pipes : public OverEmptyUsb, public ::testing::WithParamInterface<PipeCase> {};

// The read pipe is interface 0's first bulk IN endpoint and the write pipe its first bulk OUT
// one, whatever their order and addresses. A device with the instrument's IDs that lacks either
// is never opened, and the library says why on stderr.
TEST_P(Pipes, AreInterfaceZerosBulkEndpointsByDirection) {
    UsbDeviceSpec spec;
    spec.endpoints = GetParam().endpoints;
    const std::string node = usb_->addDevice(spec);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Get_MV620ACQ_Status(), GetParam().status);
    const std::string said = ::testing::internal::GetCapturedStderr();
    std::vector<std::uint8_t> used;
    for (const BulkRecord& urb : usb_->bulkUrbs()) {
        used.push_back(urb.endpoint);
    }
    EXPECT_EQ(used, GetParam().used);
    if (GetParam().used.empty()) {
        EXPECT_EQ(usb_->opens(node), 0U) << "a device without both pipes is not opened";
        // Said once per process: whichever case runs first in it says it.
        EXPECT_TRUE(said.empty() || said.find("not a bulk IN and a bulk OUT endpoint on "
                                              "interface 0") != std::string::npos)
            << said;
    } else {
        EXPECT_EQ(said, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Order, Pipes,
    ::testing::Values(PipeCase{"InThenOut", {0x82, 0x02}, 90, {0x02, 0x82}},
                      PipeCase{"OtherAddresses", {0x86, 0x01, 0x88}, 90, {0x01, 0x86}},
                      PipeCase{"OutThenIn", {0x02, 0x82}, 90, {0x02, 0x82}},
                      PipeCase{"NoWritePipe", {0x82}, STATUS_NO_ANSWER, {}},
                      PipeCase{"NoReadPipe", {0x01, 0x02}, STATUS_NO_ANSWER, {}}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- Requests from several threads --------------------------------------------------------------

using Threads = OverUsb;

// The input port on one handle and status exchanges on another, at the same time, over the one
// shared device: every answer is the right one, and the instrument saw every request once.
TEST_F(Threads, TwoThreadsIssueRequestsAtOnceOnTwoHandles) {
    MV620Sim_SetInputs(0x2A);
    MV620Sim_SetStatusByte(101);
    constexpr int kReads = 300;
    constexpr int kExchanges = 40;
    std::atomic<int> goodReads{0};     // relaxed: only counted, read after the join
    std::atomic<int> goodExchanges{0}; // relaxed: likewise
    std::thread reader([&] {
        DeviceConnection connection;
        for (int i = 0; i < kReads; ++i) {
            if (connection.readInputPort() == std::optional<std::uint8_t>(0x2A)) {
                goodReads.fetch_add(1, std::memory_order_relaxed);
            }
        }
    });
    std::thread exchanger([&] {
        DeviceConnection connection;
        for (int i = 1; i <= kExchanges; ++i) {
            PacketBytes packet{};
            PacketBytes response{};
            packet[0] = device::CMD_STATUS;
            if (connection.exchange(response, packet) && response[0] == device::CMD_STATUS &&
                response[1] == i && response[3] == 101) {
                goodExchanges.fetch_add(1, std::memory_order_relaxed);
            }
        }
    });
    reader.join();
    exchanger.join();
    EXPECT_EQ(goodReads.load(), kReads);
    EXPECT_EQ(goodExchanges.load(), kExchanges);
    EXPECT_EQ(usb_->opens(instrument_), 1U) << "one device, shared";
    EXPECT_EQ(usb_->controlTransfers().size(), static_cast<std::size_t>(kReads));
    EXPECT_EQ(usb_->bulkUrbs().size(), static_cast<std::size_t>(2 * kExchanges));
    EXPECT_EQ(MV620Sim_GetPacketCount(), kExchanges);
    EXPECT_EQ(MV620Sim_GetPendingResponses(), 0);
    EXPECT_EQ(MV620Sim_GetProtocolErrors(), 0);
}

// ---- Abort and reset ----------------------------------------------------------------------------

using AbortAndReset = OverUsb;

TEST_F(AbortAndReset, AbortCancelsAReadPendingOnAnotherHandle) {
    usb_->goSilentAfter(0); // the read below waits for an answer that does not come
    DeviceConnection aborting;
    std::atomic<int> result{-1}; // relaxed: read after the join
    std::thread reading([&] {
        DeviceConnection connection;
        PacketBytes response{};
        std::uint32_t moved = 99;
        result.store(connection.bulkRead(response.data(), 64, &moved) ? 1 : 0,
                     std::memory_order_relaxed);
        EXPECT_EQ(moved, 0U);
    });
    ASSERT_TRUE(eventually([this] { return usb_->pendingUrbs() == 1; }));
    const std::uint64_t before = usb_->ioctls();
    EXPECT_TRUE(aborting.abortReadPipe());
    // The abort cancels the URB itself, before it returns; a time-out would come a second later.
    EXPECT_EQ(usb_->discardedUrbs(), 1U);
    EXPECT_GT(usb_->ioctls(), before);
    reading.join();
    EXPECT_EQ(result.load(), 0) << "a read cancelled with nothing moved fails";
    EXPECT_TRUE(usb_->clearedHalts().empty()) << "the instrument sees nothing of an abort";
}

TEST_F(AbortAndReset, AbortWithNothingPendingSendsNothingAndResetClearsTheHalt) {
    DeviceConnection connection;
    const std::uint64_t before = usb_->ioctls();
    EXPECT_TRUE(connection.abortReadPipe());
    EXPECT_EQ(usb_->ioctls(), before);
    EXPECT_TRUE(connection.resetReadPipe());
    EXPECT_EQ(usb_->clearedHalts(), std::vector<std::uint8_t>{0x82});
}

// ---- Time-outs ----------------------------------------------------------------------------------

// Starts a stream with every channel at divider 1 on `connection`.
void startStream(DeviceConnection& connection) {
    PacketBytes packet{};
    PacketBytes response{};
    packet[0] = device::CMD_START_ACQUISITION;
    for (std::size_t k = 0; k < 40; ++k) {
        packet[6 + k] = 1;
    }
    ASSERT_TRUE(connection.exchange(response, packet));
}

// The identify pattern's bytes at the start of the stream, with every channel at divider 1.
std::vector<std::uint8_t> streamBytes(std::uint32_t count) {
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t i = 0; bytes.size() < count; ++i) {
        const int channel = kScanOrderForTests[i % 40];
        const auto value = static_cast<std::uint16_t>(expectedSample(channel, i / 40));
        bytes.push_back(static_cast<std::uint8_t>(value >> 8U));
        bytes.push_back(static_cast<std::uint8_t>(value & 0xFFU));
    }
    return bytes;
}

using TimeOuts = OverUsbEachSplitting;

// A read the instrument stops answering part-way is reported with the bytes it moved, and the
// next read goes on from there; one that moved nothing fails, and the bytes stay in the stream.
TEST_P(TimeOuts, ReadEndsWithTheBytesMovedOrFailsWithNone) {
    DeviceConnection connection;
    startStream(connection);
    std::vector<std::uint8_t> block(kBlockBytes);
    std::uint32_t moved = 0;

    usb_->goSilentAfter(20000);
    EXPECT_TRUE(connection.bulkRead(block.data(), kBlockBytes, &moved));
    EXPECT_EQ(moved, 20000U);
    usb_->goSilentAfter(0);
    EXPECT_FALSE(connection.bulkRead(block.data() + 20000, kBlockBytes - 20000, &moved));
    EXPECT_EQ(moved, 0U);
    EXPECT_TRUE(connection.bulkRead(block.data() + 20000, kBlockBytes - 20000, &moved));
    EXPECT_EQ(moved, kBlockBytes - 20000);

    EXPECT_EQ(block, streamBytes(kBlockBytes));
    EXPECT_EQ(MV620Sim_GetBlocksDelivered(), 1);
    EXPECT_GE(usb_->discardedUrbs(), 2U);
    EXPECT_TRUE(usb_->clearedHalts().empty());
}

INSTANTIATE_TEST_SUITE_P(Splitting, TimeOuts,
                         ::testing::Values(UrbSplitting::ScatterGather, UrbSplitting::Continuation),
                         splittingName);

// ---- The instrument goes away -------------------------------------------------------------------

using Unplugged = OverUsb;

// Once one handle finds the instrument gone, every handle of its device fails without asking the
// bus again; a handle opened after the instrument is back works, beside the old ones.
TEST_F(Unplugged, GoneForEveryHandleUntilClosedThenFoundAgain) {
    auto first = std::make_unique<DeviceConnection>();
    auto second = std::make_unique<DeviceConnection>();
    MV620Sim_UnplugAfterBlocks(0);
    EXPECT_FALSE(first->setOutputLine(0));
    const std::uint64_t asked = usb_->ioctls();
    PacketBytes packet{};
    PacketBytes response{};
    EXPECT_FALSE(second->setOutputLine(0));
    EXPECT_FALSE(second->readInputPort().has_value());
    EXPECT_FALSE(second->exchange(response, packet));
    EXPECT_FALSE(second->resetReadPipe());
    EXPECT_EQ(usb_->ioctls(), asked) << "a gone device is not asked again";

    MV620Sim_Replug();
    EXPECT_FALSE(second->setOutputLine(0)) << "old handles stay dead";
    {
        DeviceConnection third;
        EXPECT_TRUE(third.isPresent());
        EXPECT_TRUE(third.setOutputLine(2));
        EXPECT_EQ(MV620Sim_GetOutputLines(), 0b0100);
    }
    EXPECT_FALSE(first->clearOutputLine(2));
    first.reset();
    second.reset();
    EXPECT_TRUE(eventually([this] { return usb_->openNodes() == 0; }));
    EXPECT_EQ(usb_->opens(instrument_), 2U);
}

} // namespace
} // namespace mv620::testing
