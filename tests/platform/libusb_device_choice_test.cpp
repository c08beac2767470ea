// The libusb backend's choice of the instrument among the devices on the buses, from lists of
// devices as libusb describes them: MV620_USB_DEVICE's forms, the default when it is not set, and
// devices that are not the instrument.
#include "platform/libusb/device_choice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace mv620::platform::usb {
namespace {

// The instrument's identity, written here independently of the library's constants.
constexpr std::uint16_t kInstrumentVendor = 0x0547;
constexpr std::uint16_t kInstrumentProduct = 0x1002;

Candidate instrumentAt(std::uint8_t bus, std::uint8_t address) {
    return Candidate{kInstrumentVendor, kInstrumentProduct, bus, address};
}

// Instruments on two buses, listed out of order, among devices that share one of their IDs or
// none, some at a lower address than any instrument.
const std::vector<Candidate> kBuses = {
    instrumentAt(2, 3),                          // 0
    Candidate{0x04B4, 0x8613, 1, 1},             // 1: another EZ-USB device
    instrumentAt(1, 9),                          // 2
    instrumentAt(1, 7),                          // 3
    Candidate{kInstrumentVendor, 0x1003, 1, 2},  // 4: the vendor's other product
    Candidate{0x1234, kInstrumentProduct, 1, 4}, // 5: another vendor's product 0x1002
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

// A value that cannot be read chooses nothing, not the default.
INSTANTIATE_TEST_SUITE_P(Unreadable, ChoosingFromTheList,
                         ::testing::Values(Choice{"Empty", "", std::nullopt},
                                           Choice{"NoColon", "2", std::nullopt},
                                           Choice{"NoAddress", "2:", std::nullopt},
                                           Choice{"NoBus", ":3", std::nullopt},
                                           Choice{"TrailingCharacter", "2:3x", std::nullopt},
                                           Choice{"LeadingSpace", " 1:7", std::nullopt},
                                           Choice{"Negative", "-1:7", std::nullopt},
                                           Choice{"TwoColons", "1:7:1", std::nullopt},
                                           Choice{"BusTooLarge", "256:3", std::nullopt},
                                           Choice{"AddressTooLarge", "1:128", std::nullopt}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Choosing, LargestBusAndAddressAreRead) {
    const std::vector<Candidate> devices = {instrumentAt(1, 1), instrumentAt(255, 127)};
    EXPECT_EQ(chooseDevice(devices, parseDeviceRequest("255:127")), 1U);
}

TEST(Choosing, NothingFromAListWithoutTheInstrument) {
    const std::vector<Candidate> none;
    EXPECT_EQ(chooseDevice(none, std::nullopt), std::nullopt);
    const std::vector<Candidate> foreign = {Candidate{0x04B4, 0x8613, 1, 1}};
    EXPECT_EQ(chooseDevice(foreign, std::nullopt), std::nullopt);
    EXPECT_EQ(chooseDevice(foreign, parseDeviceRequest("1:1")), std::nullopt);
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
