// The libusb backend's choice of the instrument among the devices on the buses, from lists of
// devices as libusb describes them: MV620_USB_DEVICE's two forms (bus and address, port path), the
// default when it is not set, and devices that are not the instrument.
#include "platform/libusb/device_choice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace mv620::platform::usb {
namespace {

// The instrument's identity, written here independently of the library's constants.
constexpr std::uint16_t kInstrumentVendor = 0x0547;
constexpr std::uint16_t kInstrumentProduct = 0x1002;

// A port path, from the root hub down.
PortPath ports(std::initializer_list<std::uint8_t> numbers) {
    PortPath path;
    for (const std::uint8_t number : numbers) {
        path.numbers.at(path.depth++) = number;
    }
    return path;
}

Candidate instrumentAt(std::uint8_t bus, std::uint8_t address, PortPath path = {}) {
    return Candidate{kInstrumentVendor, kInstrumentProduct, bus, address, path};
}

// Instruments on two buses, listed out of order, among devices that share one of their IDs or
// none, some at a lower address than any instrument. Port paths: bus 1 has a hub on port 2 with
// instruments on its ports 3 and 4, and an instrument on port 3 of the root hub; the address of
// each is unrelated to its port.
const std::vector<Candidate> kBuses = {
    instrumentAt(2, 3, ports({1})),                             // 0: 2-1
    Candidate{0x04B4, 0x8613, 1, 1, ports({1})},                // 1: 1-1, another EZ-USB device
    instrumentAt(1, 9, ports({2, 3})),                          // 2: 1-2.3
    instrumentAt(1, 7, ports({2, 4})),                          // 3: 1-2.4
    Candidate{kInstrumentVendor, 0x1003, 1, 2, ports({2, 1})},  // 4: 1-2.1, another product
    Candidate{0x1234, kInstrumentProduct, 1, 4, ports({2, 2})}, // 5: 1-2.2, another vendor's
    instrumentAt(1, 8, ports({3})),                             // 6: 1-3
};

struct Choice {
    const char* name;
    const char* variable;             // MV620_USB_DEVICE, or null when it is not set
    std::optional<std::size_t> index; // the device chosen in kBuses, or none
};

void PrintTo(const Choice& choice, std::ostream* out) { *out << choice.name; }

class ChoosingFromTheList : public ::testing::TestWithParam<Choice> {};

TEST_P(ChoosingFromTheList, TakesTheNamedInstrumentOrNone) {
    EXPECT_EQ(chooseDevice(kBuses, parseDeviceRequest(GetParam().variable)), GetParam().index);
}

INSTANTIATE_TEST_SUITE_P(BusAndAddress, ChoosingFromTheList,
                         ::testing::Values(Choice{"UnsetTakesTheLowestBusThenAddress", nullptr, 3},
                                           Choice{"Bus2Address3", "2:3", 0},
                                           Choice{"Bus1Address9", "1:9", 2},
                                           Choice{"LeadingZeros", "002:003", 0},
                                           Choice{"Bus1Address7", "1:7", 3},
                                           Choice{"OtherProductIsNeverTaken", "1:2", std::nullopt},
                                           Choice{"OtherVendorIsNeverTaken", "1:4", std::nullopt},
                                           Choice{"OtherDeviceIsNeverTaken", "1:1", std::nullopt},
                                           Choice{"NoDeviceThere", "3:1", std::nullopt},
                                           Choice{"Bus0NamesNoDevice", "0:0", std::nullopt}),
                         [](const auto& p) { return std::string(p.param.name); });

// A port path names the ports from the root hub down, whatever the addresses.
INSTANTIATE_TEST_SUITE_P(
    PortPath, ChoosingFromTheList,
    ::testing::Values(Choice{"PortOfAHub", "1-2.3", 2}, Choice{"OtherPortOfTheHub", "1-2.4", 3},
                      Choice{"PortOfTheRootHub", "1-3", 6}, Choice{"OtherBus", "2-1", 0},
                      Choice{"LeadingZeros", "01-02.003", 2},
                      Choice{"TheHubItselfIsNoInstrument", "1-2", std::nullopt},
                      Choice{"ShorterPathIsNoMatch", "2-1.1", std::nullopt},
                      Choice{"SamePortsOnAnotherBus", "2-2.3", std::nullopt},
                      Choice{"OtherProductIsNeverTaken", "1-2.1", std::nullopt},
                      Choice{"OtherVendorIsNeverTaken", "1-2.2", std::nullopt},
                      Choice{"OtherDeviceIsNeverTaken", "1-1", std::nullopt}),
    [](const auto& p) { return std::string(p.param.name); });

// A value that cannot be read chooses nothing, not the default.
INSTANTIATE_TEST_SUITE_P(
    Unreadable, ChoosingFromTheList,
    ::testing::Values(
        Choice{"Empty", "", std::nullopt}, Choice{"NoColon", "2", std::nullopt},
        Choice{"NoAddress", "2:", std::nullopt}, Choice{"NoBus", ":3", std::nullopt},
        Choice{"TrailingCharacter", "2:3x", std::nullopt},
        Choice{"LeadingSpace", " 1:7", std::nullopt}, Choice{"Negative", "-1:7", std::nullopt},
        Choice{"TwoColons", "1:7:1", std::nullopt}, Choice{"BusTooLarge", "256:3", std::nullopt},
        Choice{"AddressTooLarge", "1:128", std::nullopt}, Choice{"NoPorts", "1-", std::nullopt},
        Choice{"NoBusBeforeThePorts", "-2.3", std::nullopt},
        Choice{"EmptyPort", "1-2..3", std::nullopt}, Choice{"TrailingDot", "1-2.", std::nullopt},
        Choice{"PortZero", "1-0", std::nullopt}, Choice{"PortTooLarge", "1-256", std::nullopt},
        Choice{"SecondDash", "1-2-3", std::nullopt},
        Choice{"AddressAfterPorts", "1-2:3", std::nullopt},
        Choice{"RootHubName", "usb1", std::nullopt}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Choosing, LargestBusAndAddressAreRead) {
    const std::vector<Candidate> devices = {instrumentAt(1, 1), instrumentAt(255, 127)};
    EXPECT_EQ(chooseDevice(devices, parseDeviceRequest("255:127")), 1U);
}

// Seven tiers are the most USB allows, and what libusb can tell.
TEST(Choosing, PortPathsAreReadToTheDeepestTier) {
    const std::vector<Candidate> devices = {instrumentAt(1, 5, ports({1, 2, 3, 4, 5, 6, 7})),
                                            instrumentAt(1, 6, ports({1, 2, 3, 4, 5, 6}))};
    EXPECT_EQ(chooseDevice(devices, parseDeviceRequest("1-1.2.3.4.5.6.7")), 0U);
    EXPECT_EQ(chooseDevice(devices, parseDeviceRequest("1-1.2.3.4.5.6")), 1U);
    EXPECT_EQ(chooseDevice(devices, parseDeviceRequest("1-1.2.3.4.5.6.7.1")), std::nullopt);
}

// libusb writes a device's ports at the start of the array and leaves the rest as it was.
TEST(Choosing, PortsPastTheDepthDoNotCount) {
    PortPath stale = ports({2, 3});
    stale.numbers[2] = 9;
    stale.numbers[6] = 3;
    const std::vector<Candidate> devices = {instrumentAt(1, 5, stale)};
    EXPECT_EQ(chooseDevice(devices, parseDeviceRequest("1-2.3")), 0U);
    EXPECT_EQ(chooseDevice(devices, parseDeviceRequest("1-2.3.9")), std::nullopt);
}

// A device whose ports the system does not tell is never taken for a port path.
TEST(Choosing, DeviceWithoutPortsIsNoPortPathsMatch) {
    const std::vector<Candidate> devices = {instrumentAt(1, 5)};
    EXPECT_EQ(chooseDevice(devices, parseDeviceRequest("1-1")), std::nullopt);
    EXPECT_EQ(chooseDevice(devices, parseDeviceRequest("1:5")), 0U);
}

TEST(Choosing, NothingFromAListWithoutTheInstrument) {
    const std::vector<Candidate> none;
    EXPECT_EQ(chooseDevice(none, std::nullopt), std::nullopt);
    const std::vector<Candidate> foreign = {Candidate{0x04B4, 0x8613, 1, 1, ports({1})}};
    EXPECT_EQ(chooseDevice(foreign, std::nullopt), std::nullopt);
    EXPECT_EQ(chooseDevice(foreign, parseDeviceRequest("1:1")), std::nullopt);
    EXPECT_EQ(chooseDevice(foreign, parseDeviceRequest("1-1")), std::nullopt);
}

// The default does not depend on the order in which the system lists the devices.
TEST(Choosing, DefaultIsTheSameInEveryOrderOfTheList) {
    std::vector<Candidate> devices = {instrumentAt(2, 1), instrumentAt(1, 9), instrumentAt(1, 7),
                                      instrumentAt(3, 2)};
    std::sort(devices.begin(), devices.end(),
              [](const Candidate& a, const Candidate& b) { return a.address < b.address; });
    do {
        const std::optional<std::size_t> chosen = chooseDevice(devices, std::nullopt);
        ASSERT_TRUE(chosen.has_value());
        EXPECT_EQ(devices[*chosen].bus, 1U);
        EXPECT_EQ(devices[*chosen].address, 7U);
    } while (std::next_permutation(
        devices.begin(), devices.end(),
        [](const Candidate& a, const Candidate& b) { return a.address < b.address; }));
}

} // namespace
} // namespace mv620::platform::usb
