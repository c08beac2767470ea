// USB devices on an emulated bus (umockdev), for running the real libusb and the real driver
// backend against the instrument without hardware.
//
// umockdev gives the process a sysfs and device nodes of its own; the devices added here appear
// in it, and every usbfs ioctl that libusb makes on their nodes (URB submit, reap and discard,
// interface claim and release, clear halt) comes to a handler in this file, on umockdev's worker
// thread. For the instrument the handler answers from the simulated instrument's firmware model
// (sim::SimDriver::instance(), through its lock), so the emulated device behaves exactly like the
// simulated one: the MV620Sim_* API sets it up, injects its faults (failed or short block reads,
// the ready bit, unplug and replug, failed packets) and shows what it received (packets, output
// lines, configuration memory). What only a USB device can do is the emulation's own, with its
// own controls below: a halted endpoint, a transfer the device stops answering, the kernel's way
// of splitting a long bulk transfer into URBs, a kernel driver bound to the interface.
//
// The test program links libumockdev-preload (with --no-as-needed), which routes the device
// nodes' system calls to umockdev.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mv620::testing {

// A device on the emulated bus. The device descriptor is the simulated instrument's, with the
// identity given here; its one configuration has interface 0 with `endpoints`, in that order, all
// bulk with 64-byte packets (a full-speed EZ-USB device).
// The instrument's two bulk endpoints: the read pipe's, then the write pipe's.
inline constexpr std::array<std::uint8_t, 2> kInstrumentEndpoints = {0x82, 0x02};

struct UsbDeviceSpec {
    std::uint8_t bus = 1;
    std::uint8_t address = 2;
    // The ports from the bus's root hub down, as sysfs names the device (`1-2.3`: bus 1, port 2
    // of the root hub, port 3 of the hub there); the hubs on the way are added as needed. Empty:
    // a device whose ports libusb cannot tell.
    std::vector<std::uint8_t> ports;
    std::uint16_t vendorId = 0x0547;
    std::uint16_t productId = 0x1002;
    std::vector<std::uint8_t> endpoints{kInstrumentEndpoints.begin(), kInstrumentEndpoints.end()};
    bool kernelDriverBound = false;
};

// How the emulated kernel takes a long bulk transfer from libusb, as it tells libusb through its
// capabilities: in one URB (a host controller that does scatter-gather, most of them), or in
// URBs of 16 KiB that continue one another (older controllers; libusb then splits a 64000-byte
// read into four URBs and relies on the kernel to end the rest after a short one).
enum class UrbSplitting { ScatterGather, Continuation };

// One control transfer the host sent: its 8-byte setup packet.
struct ControlRecord {
    std::array<std::uint8_t, 8> setup{};
};

// One bulk URB the host submitted.
struct BulkRecord {
    std::uint8_t endpoint = 0;
    int length = 0;
    unsigned flags = 0; // USBDEVFS_URB_*
};

// What the host did with an interface.
struct InterfaceRecord {
    enum class Kind { Claim, DisconnectAndClaim, Release, ReattachDriver };
    Kind kind = Kind::Claim;
    std::string devnode;
    unsigned interface = 0;
};

class EmulatedUsb {
public:
    EmulatedUsb();
    ~EmulatedUsb();
    EmulatedUsb(const EmulatedUsb&) = delete;
    EmulatedUsb& operator=(const EmulatedUsb&) = delete;

    // Adds a device and returns its node, /dev/bus/usb/BBB/DDD. A device with the instrument's
    // identity is the instrument; any other answers no transfer.
    std::string addDevice(const UsbDeviceSpec& spec);
    // Takes the device at `devnode` off the bus, as an unplug does; it may then be added again,
    // at another address, on the same ports. Its records stay. Close every handle on it first.
    void removeDevice(const std::string& devnode);

    // Set before the first open.
    void setSplitting(UrbSplitting splitting);

    // A slow release, as on a loaded machine: releasing an interface takes this long (0 by
    // default), and the claim ends only when the node that held it is closed. The emulated
    // kernel answers one request at a time, so this is how the moment between a release and a
    // close can be made long enough for another open's claim to meet it: that claim fails as
    // busy, as the kernel's does while another open has the interface.
    void setReleaseDelay(unsigned milliseconds);

    // ---- Faults of the instrument's IN endpoint ---------------------------------------------
    // The endpoint halts when the host reads block `block` of the stream: that read and every
    // later one on it stall, until the host clears the halt.
    void stallAtBlock(std::uint64_t block);
    // A read of block `block` ends with `kind` once `byte` bytes of the block (0 to 63999) have
    // been sent, with those bytes moved. After a bus error the device goes on where it stopped.
    // A stall halts the endpoint. An overflow (the device babbled: it sent a packet longer than
    // asked for) loses that packet's 64 bytes of the stream and halts the endpoint too; keep it
    // 64 bytes short of the block's end, so the block it hits is the one the clear halt drops.
    enum class ReadFault { BusError, Stall, Overflow };
    void failReadAt(ReadFault kind, std::uint64_t block, std::uint32_t byte);
    // Reads deliver `bytes` more bytes; then the device answers nothing more on the IN endpoint
    // (it NAKs) until the host cancels what it has pending, after which it goes on where it
    // stopped, or, without `resumeWhenCancelled`, never again.
    void goSilentAfter(std::uint32_t bytes, bool resumeWhenCancelled = true);

    // ---- What the host did --------------------------------------------------------------------
    std::vector<ControlRecord> controlTransfers() const;
    std::vector<BulkRecord> bulkUrbs() const;
    std::vector<std::uint8_t> clearedHalts() const; // endpoints, in order
    std::vector<InterfaceRecord> interfaceRecords() const;
    std::size_t discardedUrbs() const; // URBs the host cancelled while the device held them
    std::size_t pendingUrbs() const;   // URBs the device holds unanswered now
    std::uint64_t ioctls() const;      // every ioctl on every device node so far
    std::size_t opens(const std::string& devnode) const; // times the node was opened
    std::size_t openNodes() const;                       // device nodes open now
    bool kernelDriverBound(const std::string& devnode) const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// The instrument's 18-byte device descriptor, as the simulated firmware gives it.
std::array<std::uint8_t, 18> instrumentDeviceDescriptor();

} // namespace mv620::testing
