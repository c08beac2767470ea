#include "control/config_download.h"

#include <vector>

#include "control/config_image.h"
#include "device/device_connection.h"
#include "device/download_packet.h"
#include "device/read_pipe.h"
#include "device/wait_ticks.h"
#include "platform/file.h"
#include "platform/window.h"

namespace mv620::control {
namespace {

class Progress {
public:
    Progress(void* window, bool enabled) noexcept : window_(window), enabled_(enabled) {}
    void send(std::uint32_t message, std::uintptr_t wParam) const noexcept {
        if (enabled_) {
            platform::sendWindowMessage(window_, message, wParam, 0);
        }
    }

private:
    void* window_;
    bool enabled_;
};

// The whole file, or nothing when it holds more than an image can.
std::optional<std::vector<std::uint8_t>> readImageFile(platform::ReadOnlyFile& file) noexcept {
    try {
        std::vector<std::uint8_t> bytes;
        std::uint8_t chunk[4096];
        std::size_t got = 0;
        while ((got = file.read(chunk, sizeof chunk)) > 0) {
            if (bytes.size() + got > kMaxImageBytes) {
                return std::nullopt;
            }
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        return bytes;
    } catch (...) { // out of memory
        return std::nullopt;
    }
}

std::optional<std::vector<ImageSection>> readImage() noexcept {
    platform::ReadOnlyFile file(kImageFileName);
    if (!file.isOpen()) {
        return std::nullopt;
    }
    const std::optional<std::vector<std::uint8_t>> bytes = readImageFile(file);
    if (!bytes) {
        return std::nullopt;
    }
    try {
        return parseConfigImage(*bytes);
    } catch (...) { // out of memory
        return std::nullopt;
    }
}

// Sends one section in as many packets as it needs. The packet buffer is shared by every packet
// of the download; bytes after the last word keep what the previous packet left there.
bool sendSection(device::DeviceConnection& connection, const ImageSection& section,
                 device::PacketBytes& packet, device::PacketBytes& response,
                 const Progress& progress) noexcept {
    const device::WordWidth width =
        section.sixteenBit ? device::WordWidth::Bits16 : device::WordWidth::Bits24;
    // The address runs on across packets; only bits 13 to 0 go out, so it wraps past 0x3FFF.
    std::uint32_t address = section.address;
    std::span<const std::uint32_t> rest(section.words);
    while (!rest.empty()) {
        const std::size_t taken = device::encodeDownloadPacket(packet, address, width, rest);
        rest = rest.subspan(taken);
        address += static_cast<std::uint32_t>(taken);
        // A start since the previous packet has the read pipe now: nothing more is sent.
        const device::ExchangeClaim claim;
        if (!claim.claimed() || !connection.exchange(response, packet)) {
            return false;
        }
        progress.send(PBM_STEPIT, 0);
    }
    return true;
}

} // namespace

int downloadConfiguration(void* progressBar, bool reportProgress) noexcept {
    // The instrument's answers would come in on the read pipe in the middle of the sample stream:
    // refused while a stream has it, before anything is sent and without a message. Each packet
    // then claims the read pipe for its own exchange (see device/read_pipe.h).
    if (!device::readPipeFreeForExchange()) {
        return 0;
    }
    device::DeviceConnection connection;
    if (!connection.isPresent()) {
        return 0;
    }
    const Progress progress(progressBar, reportProgress);
    progress.send(PBM_SETSTEP, 1);

    device::PacketBytes packet{};
    device::PacketBytes response{};
    packet[0] = device::CMD_BEGIN_DOWNLOAD;
    {
        const device::ExchangeClaim claim;
        if (!claim.claimed()) {
            return 0;
        }
        connection.exchange(response, packet); // the instrument's answer is not judged
    }
    device::waitTicks(100);

    // The whole image is read and checked before anything of it is sent: a malformed image must
    // not leave made-up words in the instrument.
    const std::optional<std::vector<ImageSection>> image = readImage();
    if (!image) {
        return 0;
    }
    bool sentData = false;
    for (const ImageSection& section : *image) {
        if (!sendSection(connection, section, packet, response, progress)) {
            return 0;
        }
        sentData = sentData || !section.words.empty();
    }
    progress.send(PBM_SETPOS, 100);
    // Without a data packet the response is the answer to the announcement, and byte 8 of the
    // packet was never set: there is nothing to judge, so no success is claimed.
    return sentData && device::downloadEchoByte(response) == device::downloadEchoByte(packet) ? 1
                                                                                              : 0;
}

} // namespace mv620::control
