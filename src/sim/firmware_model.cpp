#include "sim/firmware_model.h"

#include "sim/device_write.h"

#include <algorithm>
#include <cstring>

namespace mv620::sim {

namespace {

constexpr std::size_t kMaxPendingResponses = 256;
constexpr std::uint64_t kNanosPerSecond = 1000000000u;

bool isKnownDivider(std::uint8_t d) noexcept {
    return d == 0 || d == 1 || d == 2 || d == 5 || d == 10;
}

} // namespace

bool FaultPlan::CodeFault::fires() noexcept {
    if (nth == kOff) {
        return false;
    }
    ++seen;
    return nth == 0 || seen == nth;
}

void FirmwareModel::reset(const InstrumentSettings& settings) {
    settings_ = settings;
    faults_ = FaultPlan{};
    unplugged_ = false;
    outputs_ = 0;
    responses_.clear();
    packets_.clear();
    configValues_.assign(kConfigWords, -1);
    configWidths_.assign(kConfigWords, 0);
    waveforms_ = WaveformSet{};
    streamActive_ = false;
    ++streamEpoch_; // whatever the generator made belongs to no stream any more
    streamDividers_ = SampleStream::Dividers{};
    blockOffset_ = 0;
    blockIndex_ = 0;
    abortSeen_ = false;
    blockWaveforms_ = WaveformSet{};
    paceAnchor_ = SimClock::time_point{};
    paceBase_ = 0;
    protocolErrors_ = 0;
    checksumErrors_ = 0;
    blocksDelivered_ = 0;
}

// ---- Presence -------------------------------------------------------------------------------

bool FirmwareModel::reachable() noexcept {
    if (faults_.unplugAfterDelivered != FaultPlan::kOff &&
        blocksDelivered_ >= static_cast<std::uint64_t>(faults_.unplugAfterDelivered)) {
        unplug();
    }
    return !settings_.absent && !unplugged_;
}

// The device leaves the bus: every handle on it dies, and what it was doing is lost.
void FirmwareModel::goAway() noexcept {
    ++plugGeneration_;
    outputs_ = 0;
    responses_.clear();
    streamActive_ = false;
    blockOffset_ = 0;
    blockIndex_ = 0;
    abortSeen_ = false;
}

void FirmwareModel::setAbsent(bool absent) noexcept {
    if (absent && !settings_.absent && !unplugged_) {
        goAway();
    }
    settings_.absent = absent;
}

void FirmwareModel::setIdentity(std::uint16_t vendorId, std::uint16_t productId) noexcept {
    settings_.vendorId = vendorId;
    settings_.productId = productId;
}

void FirmwareModel::unplug() noexcept {
    if (!unplugged_ && !settings_.absent) {
        goAway();
    }
    unplugged_ = true;
    faults_.unplugAfterDelivered = FaultPlan::kOff;
}

void FirmwareModel::replug() noexcept {
    unplugged_ = false;
    faults_.unplugAfterDelivered = FaultPlan::kOff;
}

// ---- Control path ---------------------------------------------------------------------------

std::uint32_t FirmwareModel::readDescriptor(std::uint8_t* out,
                                            std::uint32_t length) const noexcept {
    const std::array<std::uint8_t, kDescriptorLength> descriptor = {
        static_cast<std::uint8_t>(kDescriptorLength), // bLength
        0x01,                                         // bDescriptorType: device
        0x10,
        0x01, // bcdUSB 1.10
        0xFF,
        0xFF,
        0xFF, // vendor-specific class, subclass, protocol
        64,   // bMaxPacketSize0
        static_cast<std::uint8_t>(settings_.vendorId & 0xFFu),
        static_cast<std::uint8_t>(settings_.vendorId >> 8),
        static_cast<std::uint8_t>(settings_.productId & 0xFFu),
        static_cast<std::uint8_t>(settings_.productId >> 8),
        0x01,
        0x00, // bcdDevice
        0,
        0,
        0, // no strings
        1, // bNumConfigurations
    };
    const std::uint32_t n = std::min(length, kDescriptorLength);
    std::memcpy(out, descriptor.data(), n);
    return n;
}

// Set: the value names the lines to switch on, among bits 0 to 3.
void FirmwareModel::setOutputs(std::uint16_t value) noexcept {
    if ((value & ~std::uint16_t{kOutputLineMask}) != 0) {
        ++protocolErrors_;
    }
    outputs_ = static_cast<std::uint8_t>(outputs_ | (value & kOutputLineMask));
}

// Clear: the value is an AND mask for the port; bits 4 to 7 always come set.
void FirmwareModel::clearOutputs(std::uint16_t value) noexcept {
    if ((value & 0xF0u) != 0xF0u) {
        ++protocolErrors_;
    }
    outputs_ = static_cast<std::uint8_t>(outputs_ & (value & kOutputLineMask));
}

std::uint8_t FirmwareModel::readInputPort(SimClock::time_point now) noexcept {
    const std::uint8_t ready = blockReady(now) ? kReadyBit : 0;
    return static_cast<std::uint8_t>(ready | (settings_.inputs & kInputMask));
}

// ---- Write pipe -----------------------------------------------------------------------------

bool FirmwareModel::writePacket(const std::uint8_t* packet, SimClock::time_point now) {
    PacketRecord record;
    std::memcpy(record.bytes.data(), packet, kPacketLength);
    const std::uint8_t code = packet[0];

    if (faults_.packetWrites[code].fires()) {
        record.fate = PacketFate::WriteFailed;
        packets_.add(record);
        return false;
    }
    if (!packetChecksumHolds(packet)) {
        record.fate = PacketFate::BadChecksum;
        packets_.add(record);
        ++checksumErrors_;
        ++protocolErrors_;
        return true; // the transfer went through; the firmware drops the packet
    }
    packets_.add(record);

    switch (code) {
    case kCmdBeginDownload:
    case kCmdStatus:
        queueResponse(packet);
        break;
    case kCmdDownloadData:
        downloadData(packet);
        queueResponse(packet);
        break;
    case kCmdStartAcquisition:
        startAcquisition(packet, now);
        break;
    default:
        ++protocolErrors_; // not a command: no answer
        break;
    }
    return true;
}

void FirmwareModel::queueResponse(const std::uint8_t* packet) {
    Response response;
    response.code = packet[0];
    response.at = answerPosition();
    response.bytes[0] = packet[0];
    response.bytes[1] = packet[1]; // the sequence number, echoed
    response.bytes[3] = settings_.statusByte;
    if (packet[0] == kCmdDownloadData) {
        const std::uint8_t echo = packet[kDownloadFirstDataByte];
        response.bytes[kDownloadFirstDataByte] =
            faults_.wrongEcho ? static_cast<std::uint8_t>(~echo) : echo;
    }
    response.bytes[kPacketLength - 1] = packetChecksum(response.bytes.data());
    if (responses_.size() >= kMaxPendingResponses) {
        responses_.pop_front(); // the host never collected it
        ++protocolErrors_;
    }
    responses_.push_back(response);
}

void FirmwareModel::downloadData(const std::uint8_t* packet) {
    const std::uint8_t high = packet[4];
    const std::uint8_t width = packet[6];
    const std::uint32_t count = packet[7];
    const std::uint32_t bytesPerWord = width == 0 ? 2u : 3u;
    if ((high & 0xC0u) != 0 || width > 1 || count == 0 ||
        kDownloadFirstDataByte + std::size_t{count} * bytesPerWord > kDownloadDataEnd) {
        ++protocolErrors_;
        return;
    }
    const std::uint32_t address = (std::uint32_t{high} << 8) | packet[5];
    const std::uint8_t* word = packet + kDownloadFirstDataByte;
    for (std::uint32_t i = 0; i < count; ++i, word += bytesPerWord) {
        std::uint32_t value = 0;
        for (std::uint32_t b = 0; b < bytesPerWord; ++b) {
            value = (value << 8) | word[b];
        }
        const std::uint32_t at = (address + i) & kConfigAddressMask;
        configValues_[at] = static_cast<std::int32_t>(value);
        configWidths_[at] = static_cast<std::uint8_t>(bytesPerWord * 8);
    }
}

void FirmwareModel::startAcquisition(const std::uint8_t* packet, SimClock::time_point now) {
    SampleStream::Dividers dividers{};
    bool known = packet[4] == 0;
    bool any = false;
    for (std::size_t k = 0; k < kChannels; ++k) {
        dividers[k] = packet[kStartDividerOffset + k];
        known = known && isKnownDivider(dividers[k]);
        any = any || dividers[k] != 0;
    }
    if (!known) {
        ++protocolErrors_;
    }
    // A new stream from its first scan pass; what the pipe held before is gone.
    responses_.clear();
    ++streamEpoch_;
    streamDividers_ = dividers;
    streamActive_ = any;
    blockOffset_ = 0;
    blockIndex_ = 0;
    abortSeen_ = false;
    paceAnchor_ = now;
    paceBase_ = 0;
}

// ---- Read pipe ------------------------------------------------------------------------------

std::uint64_t FirmwareModel::blocksProduced(SimClock::time_point now) const noexcept {
    if (settings_.samplesPerSecond == 0) {
        return blockIndex_ + 1; // the current block is always there
    }
    if (now <= paceAnchor_) {
        return paceBase_;
    }
    const auto nanos = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - paceAnchor_).count());
    const std::uint64_t rate = settings_.samplesPerSecond;
    const std::uint64_t samples =
        (nanos / kNanosPerSecond) * rate + (nanos % kNanosPerSecond) * rate / kNanosPerSecond;
    return paceBase_ + samples / kBlockSamples;
}

bool FirmwareModel::blockReady(SimClock::time_point now) const noexcept {
    if (!streamActive_) {
        return false;
    }
    if (faults_.readyNeverFrom != FaultPlan::kOff &&
        blockIndex_ >= static_cast<std::uint64_t>(faults_.readyNeverFrom)) {
        return false;
    }
    return blockOffset_ > 0 || blocksProduced(now) > blockIndex_;
}

std::uint64_t FirmwareModel::streamBytesRead() const noexcept {
    return blockIndex_ * kBlockBytes + blockOffset_;
}

// Where an answer joins the pipe's byte stream. The blocks the ready bit reports wait in the
// instrument's memory and enter the pipe one at a time, as the host reads them; an answer enters
// it as soon as no block is in transfer: right behind the block the host is part-way through,
// else at once. Either way the host's next read from a block boundary takes it, whether that
// read was meant for the answer or for a block. A stream the host has stopped reading goes on
// in the instrument's memory and keeps no answer from the front.
std::uint64_t FirmwareModel::answerPosition() const noexcept {
    const std::uint64_t read = streamBytesRead();
    return blockOffset_ == 0 ? read : read - blockOffset_ + kBlockBytes;
}

bool FirmwareModel::answerAtFront() const noexcept {
    return !responses_.empty() && responses_.front().at <= streamBytesRead();
}

void FirmwareModel::setRate(std::uint32_t samplesPerSecond, SimClock::time_point now) noexcept {
    if (streamActive_) {
        const std::uint64_t produced = blocksProduced(now);
        paceBase_ = std::max(produced, blockIndex_ + (blockOffset_ > 0 ? 1u : 0u));
        paceAnchor_ = now;
    }
    settings_.samplesPerSecond = samplesPerSecond;
}

PipeRead FirmwareModel::planRead(std::uint32_t length, SimClock::time_point now) {
    PipeRead read;
    if (length == 0) {
        return read;
    }
    // The first byte decides the faults: an answer that is to be lost goes with the failed
    // transfer; a block whose reads are to fail is still waiting afterwards.
    if (answerAtFront()) {
        if (faults_.responseReads[responses_.front().code].fires()) {
            responses_.pop_front();
            return read;
        }
    } else {
        if (!blockReady(now)) {
            ++protocolErrors_; // the host must wait for an answer or for the ready bit
            return read;
        }
        const auto failing = faults_.failedReads.find(blockIndex_);
        if (failing != faults_.failedReads.end()) {
            if (--failing->second == 0) {
                faults_.failedReads.erase(failing);
            }
            return read; // nothing taken: the same bytes are still waiting
        }
    }
    // The answers at the front, whole or in part.
    while (read.bytes() < length && answerAtFront()) {
        Response& answer = responses_.front();
        const std::uint32_t n = std::min(length - read.bytes(), kPacketLength - answer.taken);
        read.answers.insert(read.answers.end(), answer.bytes.begin() + answer.taken,
                            answer.bytes.begin() + answer.taken + n);
        answer.taken += n;
        if (answer.taken == kPacketLength) {
            responses_.pop_front();
        }
    }
    // Then the stream, up to the end of the current block or the next answer.
    if (read.bytes() < length && blockReady(now)) {
        std::uint32_t n = std::min(length - read.bytes(), kBlockBytes - blockOffset_);
        if (blockOffset_ == 0) {
            const auto cut = faults_.shortReads.find(blockIndex_);
            if (cut != faults_.shortReads.end()) {
                n = std::min(n, cut->second);
                faults_.shortReads.erase(cut);
            }
            blockPattern_ = settings_.pattern;
            blockWaveforms_ = waveforms_;
        }
        if (!responses_.empty()) {
            n = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(n, responses_.front().at - streamBytesRead()));
        }
        read.dataCount = n;
        read.epoch = streamEpoch_;
        read.block = blockIndex_;
        read.dataOffset = blockOffset_;
        read.dividers = streamDividers_;
        read.pattern = blockPattern_;
        read.waveforms = blockWaveforms_;
        blockOffset_ += n;
        if (blockOffset_ == kBlockBytes) {
            finishBlock(true);
        }
    }
    read.ok = read.bytes() > 0;
    return read;
}

void FirmwareModel::fillRead(const PipeRead& read, std::uint8_t* out) noexcept {
    deviceWrite(out, read.answers.data(), read.answers.size());
    if (read.dataCount == 0) {
        return;
    }
    if (generatorEpoch_ != read.epoch) {
        generator_.start(read.dividers);
        generatorEpoch_ = read.epoch;
        blocksGenerated_ = 0;
    }
    // Blocks are made in stream order; blocks dropped by the firmware are made all the same, to
    // move the scan on.
    block_.resize(kBlockBytes);
    while (blocksGenerated_ <= read.block) {
        generator_.generate(read.pattern, read.waveforms, block_.data(), kBlockSamples);
        ++blocksGenerated_;
    }
    deviceWrite(out + read.answers.size(), block_.data() + read.dataOffset, read.dataCount);
}

bool FirmwareModel::readPipe(std::uint8_t* out, std::uint32_t length, std::uint32_t& returned,
                             SimClock::time_point now) {
    const PipeRead read = planRead(length, now);
    returned = 0;
    if (!read.ok) {
        return false;
    }
    fillRead(read, out);
    returned = read.bytes();
    return true;
}

void FirmwareModel::finishBlock(bool delivered) noexcept {
    if (delivered) {
        ++blocksDelivered_;
    }
    ++blockIndex_;
    blockOffset_ = 0;
}

void FirmwareModel::abortReadPipe() noexcept { abortSeen_ = true; }

// A reset that follows an abort drops the block the pipe was on; the stream goes on with the
// next block.
void FirmwareModel::resetReadPipe(SimClock::time_point now) noexcept {
    if (!abortSeen_) {
        return;
    }
    abortSeen_ = false;
    if (streamActive_ && (blockOffset_ > 0 || blocksProduced(now) > blockIndex_)) {
        finishBlock(false); // its samples are gone from the stream all the same
    }
}

// ---- Inspection -----------------------------------------------------------------------------

std::int32_t FirmwareModel::configWord(std::uint32_t address) const noexcept {
    return address < kConfigWords ? configValues_[address] : -1;
}

std::uint32_t FirmwareModel::configWordWidth(std::uint32_t address) const noexcept {
    return address < kConfigWords ? configWidths_[address] : 0;
}

} // namespace mv620::sim
