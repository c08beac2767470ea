// The simulated instrument's firmware: USB identity, output lines, input port, command packets,
// configuration memory, the read pipe with its answers and its sample stream, and the faults it
// can be told to show.
//
// The model is a plain object without locks of its own; the simulated driver serialises the
// calls to it (see sim_driver.h for how a read of the pipe is split so that the samples are made
// and copied outside the driver's lock). Calls that depend on the passage of time take the moment
// as an argument, so the pacing can be exercised without waiting.
//
// The read pipe is one byte stream, as the instrument's is: the answers to command packets and
// the blocks of the sample stream queued in the order the firmware produces them, every read
// taking the next bytes whatever its length. The blocks wait in the instrument's memory until the
// host reads them; an answer joins the pipe as soon as no block is in transfer, so a host that
// reads a block after it takes the answer's bytes as the block's first ones, and the stream
// behind it is shifted: the instrument's own behaviour.
#pragma once

#include "sim/bounded_log.h"
#include "sim/sample_stream.h"
#include "sim/sim_protocol.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

namespace mv620::sim {

using SimClock = std::chrono::steady_clock;

// What became of a packet written on the write pipe.
enum class PacketFate : int {
    Accepted = 1,    // taken by the firmware
    WriteFailed = 2, // the write failed (injected fault); the firmware never saw it
    BadChecksum = 3, // arrived, but its bytes do not add up to 0xFF; ignored
};

struct PacketRecord {
    std::array<std::uint8_t, kPacketLength> bytes{};
    PacketFate fate = PacketFate::Accepted;
};

// Settings that describe a healthy instrument.
struct InstrumentSettings {
    std::uint16_t vendorId = kInstrumentVendorId;
    std::uint16_t productId = kInstrumentProductId;
    bool absent = false;
    Pattern pattern = Pattern::Identify;
    std::uint32_t samplesPerSecond = 0; // aggregate; 0 = a block is always ready
    std::uint8_t statusByte = 90;
    std::uint8_t inputs = 0; // bits 0-6 of the input port

    // The defaults for applications running against the simulated instrument: 10 blocks/s.
    static InstrumentSettings forApplications() noexcept {
        InstrumentSettings s;
        s.samplesPerSecond = 320000;
        return s;
    }
};

// One read of the read pipe as the firmware decided it (FirmwareModel::planRead), to be carried
// out by FirmwareModel::fillRead: first the answer bytes, then `dataCount` bytes of the stream
// from byte `dataOffset` of block `block` of stream `epoch`.
struct PipeRead {
    bool ok = false;
    std::vector<std::uint8_t> answers;
    std::uint32_t dataCount = 0;
    std::uint64_t epoch = 0;
    std::uint64_t block = 0;
    std::uint32_t dataOffset = 0;
    SampleStream::Dividers dividers{};
    Pattern pattern = Pattern::Identify;
    WaveformSet waveforms{};

    std::uint32_t bytes() const noexcept {
        return static_cast<std::uint32_t>(answers.size()) + dataCount;
    }
};

// Faults to show. A block number counts the blocks of the current stream from 0.
struct FaultPlan {
    static constexpr std::int64_t kOff = -1;

    // Per code fault: off, every packet (0) or the nth (1, 2, ...) packet counted from arming.
    struct CodeFault {
        std::int64_t nth = kOff;
        std::int64_t seen = 0;
        bool fires() noexcept; // counts one packet and tells whether this one fails
    };

    std::map<std::uint64_t, std::uint32_t> failedReads; // block -> failed read attempts left
    std::map<std::uint64_t, std::uint32_t> shortReads;  // block -> bytes its first read returns
    std::int64_t readyNeverFrom = kOff;                 // block from which ready stays clear
    std::int64_t unplugAfterDelivered = kOff;           // unplug once this many blocks went out
    std::array<CodeFault, 256> packetWrites{};          // by command code
    std::array<CodeFault, 256> responseReads{};         // by command code
    bool wrongEcho = false;
};

class FirmwareModel {
public:
    FirmwareModel() { reset(InstrumentSettings{}); }

    // Power-on: the given settings, no faults, empty logs, empty configuration memory.
    void reset(const InstrumentSettings& settings);

    // ---- Presence ---------------------------------------------------------------------------
    // The device can be reached: present (or foreign) and not unplugged. Checks the unplug fault.
    bool reachable() noexcept;
    // Advances each time the device goes away; handles opened before then stay dead.
    std::uint32_t plugGeneration() const noexcept { return plugGeneration_; }
    void setAbsent(bool absent) noexcept;
    void setIdentity(std::uint16_t vendorId, std::uint16_t productId) noexcept;
    void unplug() noexcept;
    void replug() noexcept; // also clears an armed unplug fault
    bool unplugged() const noexcept { return unplugged_; }

    // ---- Requests (call only while reachable) ------------------------------------------------
    // Fills the 18-byte descriptor into `out` (room for `length` bytes); returns bytes written.
    std::uint32_t readDescriptor(std::uint8_t* out, std::uint32_t length) const noexcept;
    void setOutputs(std::uint16_t value) noexcept;                 // request 13
    void clearOutputs(std::uint16_t value) noexcept;               // request 14
    std::uint8_t readInputPort(SimClock::time_point now) noexcept; // request 15
    bool writePacket(const std::uint8_t* packet, SimClock::time_point now);

    // A read of up to `length` bytes of the read pipe, in two steps. planRead decides what the
    // read takes and advances the pipe past it: the answers at the front, then the stream's bytes
    // up to the end of the current block (a read never reaches into the next block). It fails,
    // taking nothing, when there is nothing to take, when the current block's reads are set to
    // fail, or, losing the answer, when the answer at the front is set to be lost. fillRead then
    // writes what was planned into `out`: it makes the block's samples, which is the slow part,
    // and touches nothing planRead does, so the driver runs it outside its lock. fillReads must
    // not run concurrently with each other; the driver serialises them.
    PipeRead planRead(std::uint32_t length, SimClock::time_point now);
    void fillRead(const PipeRead& read, std::uint8_t* out) noexcept;

    // Both steps at once, for a single-threaded user of the model.
    bool readPipe(std::uint8_t* out, std::uint32_t length, std::uint32_t& returned,
                  SimClock::time_point now);
    void abortReadPipe() noexcept;
    void resetReadPipe(SimClock::time_point now) noexcept;

    // ---- Settings and faults ----------------------------------------------------------------
    void setPattern(Pattern pattern) noexcept { settings_.pattern = pattern; }
    // A channel's own waveform (null or empty: the pattern again); applies to blocks not yet
    // started.
    void setWaveform(std::uint32_t channel, Waveform waveform) noexcept {
        if (channel < kChannels) {
            waveforms_[channel] = std::move(waveform);
        }
    }
    void setRate(std::uint32_t samplesPerSecond, SimClock::time_point now) noexcept;
    void setStatusByte(std::uint8_t status) noexcept { settings_.statusByte = status; }
    void setInputs(std::uint8_t inputs) noexcept {
        settings_.inputs = static_cast<std::uint8_t>(inputs & kInputMask);
    }
    FaultPlan& faults() noexcept { return faults_; }
    const InstrumentSettings& settings() const noexcept { return settings_; }

    // ---- Inspection -------------------------------------------------------------------------
    const BoundedLog<PacketRecord>& packets() const noexcept { return packets_; }
    std::uint8_t outputLines() const noexcept { return outputs_; }
    std::int32_t configWord(std::uint32_t address) const noexcept;       // -1 when never written
    std::uint32_t configWordWidth(std::uint32_t address) const noexcept; // 16, 24 or 0
    std::uint64_t protocolErrors() const noexcept { return protocolErrors_; }
    std::uint64_t checksumErrors() const noexcept { return checksumErrors_; }
    std::uint64_t blocksDelivered() const noexcept { return blocksDelivered_; }
    std::uint64_t currentBlock() const noexcept { return blockIndex_; }
    // Bytes of the current block already sent.
    std::uint32_t currentBlockOffset() const noexcept { return blockOffset_; }
    std::size_t pendingResponses() const noexcept { return responses_.size(); }
    bool streaming() const noexcept { return streamActive_; }
    bool blockReady(SimClock::time_point now) const noexcept;

private:
    // An answer on the read pipe: it comes after `at` bytes of the stream; `taken` of its bytes
    // have been read.
    struct Response {
        std::uint8_t code = 0;
        std::array<std::uint8_t, kPacketLength> bytes{};
        std::uint64_t at = 0;
        std::uint32_t taken = 0;
    };

    void queueResponse(const std::uint8_t* packet);
    void startAcquisition(const std::uint8_t* packet, SimClock::time_point now);
    void downloadData(const std::uint8_t* packet);
    void finishBlock(bool delivered) noexcept;
    std::uint64_t blocksProduced(SimClock::time_point now) const noexcept;
    std::uint64_t streamBytesRead() const noexcept;
    std::uint64_t answerPosition() const noexcept;
    bool answerAtFront() const noexcept;
    void goAway() noexcept;

    InstrumentSettings settings_;
    WaveformSet waveforms_{};
    FaultPlan faults_;
    bool unplugged_ = false;
    std::uint32_t plugGeneration_ = 0;

    std::uint8_t outputs_ = 0;
    std::deque<Response> responses_;
    BoundedLog<PacketRecord> packets_;
    std::vector<std::int32_t> configValues_;
    std::vector<std::uint8_t> configWidths_;

    // The stream the latest start packet began: its number, its dividers, and how far the host
    // has read it.
    bool streamActive_ = false;
    std::uint64_t streamEpoch_ = 0;
    SampleStream::Dividers streamDividers_{};
    std::uint32_t blockOffset_ = 0; // bytes of the current block already read
    std::uint64_t blockIndex_ = 0;  // number of the current block in the stream
    bool abortSeen_ = false;        // the read pipe was aborted; a reset drops the block
    // The pattern and waveforms of the current block, fixed when its first byte is read.
    Pattern blockPattern_ = Pattern::Identify;
    WaveformSet blockWaveforms_{};

    // Pacing: blocks produced = paceBase_ + elapsed since paceAnchor_ * rate / block size.
    SimClock::time_point paceAnchor_{};
    std::uint64_t paceBase_ = 0;

    std::uint64_t protocolErrors_ = 0;
    std::uint64_t checksumErrors_ = 0;
    std::uint64_t blocksDelivered_ = 0;

    // Used by fillRead only: the generator of the stream's samples, and the block it made last.
    SampleStream generator_;
    std::uint64_t generatorEpoch_ = 0;
    std::uint64_t blocksGenerated_ = 0;
    std::vector<std::uint8_t> block_;
};

} // namespace mv620::sim
