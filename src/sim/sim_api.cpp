// The C API of the simulated instrument: thin, argument-checking wrappers around the simulated
// driver's state. Every function takes the driver's lock once and returns.
#include "MV620ACQm_sim.h"

#include "sim/sim_driver.h"
#include "sim/sim_environment.h"
#include "sim/virtual_clock.h"

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

using mv620::sim::DriverState;
using mv620::sim::FaultPlan;
using mv620::sim::SimDriver;

// Functions whose work allocates catch the failure themselves; the rest cannot throw.
template <typename F> decltype(auto) withState(F&& f) {
    return SimDriver::instance().withState(static_cast<F&&>(f));
}

std::int64_t asCount(std::uint64_t n) noexcept { return static_cast<std::int64_t>(n); }

bool inRange(int value, int low, int high) noexcept { return value >= low && value <= high; }

int setCodeFault(bool writes, int code, int nth) noexcept {
    if (!inRange(code, 0, 255) || nth < -1) {
        return 0;
    }
    withState([&](DriverState& s) {
        FaultPlan& plan = s.model.faults();
        auto& fault =
            (writes ? plan.packetWrites : plan.responseReads)[static_cast<unsigned>(code)];
        fault.nth = nth;
        fault.seen = 0;
    });
    return 1;
}

} // namespace

extern "C" {

void MV620_CALL MV620Sim_Reset(void) {
    mv620::sim::stopVirtualClock();
    SimDriver::instance().setRequestMicroseconds(0);
    try {
        withState([](DriverState& s) { s.reset(mv620::sim::InstrumentSettings{}); });
    } catch (...) { // out of memory: the logs could not be set up again
    }
}

int MV620_CALL MV620Sim_SetPresence(int presence) {
    switch (presence) {
    case MV620SIM_PRESENT:
    case MV620SIM_FOREIGN:
        withState([&](DriverState& s) {
            const bool foreign = presence == MV620SIM_FOREIGN;
            s.model.setIdentity(
                foreign ? mv620::sim::kForeignVendorId : mv620::sim::kInstrumentVendorId,
                foreign ? mv620::sim::kForeignProductId : mv620::sim::kInstrumentProductId);
            s.model.setAbsent(false);
        });
        return 1;
    case MV620SIM_ABSENT:
        withState([](DriverState& s) { s.model.setAbsent(true); });
        return 1;
    default:
        return 0;
    }
}

int MV620_CALL MV620Sim_SetIdentity(int vendorId, int productId) {
    if (!inRange(vendorId, 0, 0xFFFF) || !inRange(productId, 0, 0xFFFF)) {
        return 0;
    }
    withState([&](DriverState& s) {
        s.model.setIdentity(static_cast<std::uint16_t>(vendorId),
                            static_cast<std::uint16_t>(productId));
    });
    return 1;
}

int MV620_CALL MV620Sim_SetPattern(int pattern) {
    if (!inRange(pattern, MV620SIM_PATTERN_IDENTIFY, MV620SIM_PATTERN_RAMP)) {
        return 0;
    }
    withState(
        [&](DriverState& s) { s.model.setPattern(static_cast<mv620::sim::Pattern>(pattern)); });
    return 1;
}

int MV620_CALL MV620Sim_SetWaveform(int channel, const uint16_t* samples, int count) {
    if (!inRange(channel, 0, static_cast<int>(mv620::sim::kChannels) - 1) ||
        !inRange(count, 0, MV620SIM_MAX_WAVEFORM) || (count > 0 && samples == nullptr)) {
        return 0;
    }
    try {
        // Copied before the lock is taken, so that a long waveform never holds up the stream.
        mv620::sim::Waveform waveform;
        if (count > 0) {
            waveform = std::make_shared<const std::vector<std::uint16_t>>(samples, samples + count);
        }
        withState([&](DriverState& s) {
            s.model.setWaveform(static_cast<std::uint32_t>(channel), std::move(waveform));
        });
    } catch (...) { // out of memory
        return 0;
    }
    return 1;
}

int MV620_CALL MV620Sim_SetRate(int samplesPerSecond) {
    if (samplesPerSecond < 0) {
        return 0;
    }
    withState([&](DriverState& s) {
        s.model.setRate(static_cast<std::uint32_t>(samplesPerSecond), mv620::sim::SimClock::now());
    });
    return 1;
}

int MV620_CALL MV620Sim_SetRequestLatency(int microseconds) {
    if (!inRange(microseconds, 0, static_cast<int>(mv620::sim::kMaxRequestMicroseconds))) {
        return 0;
    }
    SimDriver::instance().setRequestMicroseconds(static_cast<std::uint32_t>(microseconds));
    return 1;
}

int MV620_CALL MV620Sim_SetStatusByte(int status) {
    if (!inRange(status, 0, 255)) {
        return 0;
    }
    withState([&](DriverState& s) { s.model.setStatusByte(static_cast<std::uint8_t>(status)); });
    return 1;
}

int MV620_CALL MV620Sim_SetInputs(int bits) {
    if (!inRange(bits, 0, mv620::sim::kInputMask)) {
        return 0;
    }
    withState([&](DriverState& s) { s.model.setInputs(static_cast<std::uint8_t>(bits)); });
    return 1;
}

int MV620_CALL MV620Sim_FailBlockRead(int block, int times) {
    if (block < 0 || !inRange(times, 1, 1000)) {
        return 0;
    }
    try {
        withState([&](DriverState& s) {
            s.model.faults().failedReads[static_cast<std::uint64_t>(block)] +=
                static_cast<std::uint32_t>(times);
        });
    } catch (...) {
        return 0;
    }
    return 1;
}

int MV620_CALL MV620Sim_ShortBlockRead(int block, int bytes) {
    if (block < 0 || !inRange(bytes, 1, static_cast<int>(mv620::sim::kBlockBytes) - 1)) {
        return 0;
    }
    try {
        withState([&](DriverState& s) {
            s.model.faults().shortReads[static_cast<std::uint64_t>(block)] =
                static_cast<std::uint32_t>(bytes);
        });
    } catch (...) {
        return 0;
    }
    return 1;
}

int MV620_CALL MV620Sim_ReadyNeverFrom(int block) {
    if (block < -1) {
        return 0;
    }
    withState([&](DriverState& s) { s.model.faults().readyNeverFrom = block; });
    return 1;
}

int MV620_CALL MV620Sim_UnplugAfterBlocks(int blocks) {
    if (blocks < -1) {
        return 0;
    }
    withState([&](DriverState& s) {
        s.model.faults().unplugAfterDelivered = blocks;
        static_cast<void>(s.model.reachable()); // unplugs at once when already due
    });
    return 1;
}

int MV620_CALL MV620Sim_Replug(void) {
    withState([](DriverState& s) { s.model.replug(); });
    return 1;
}

int MV620_CALL MV620Sim_FailPacketWrite(int code, int nth) { return setCodeFault(true, code, nth); }

int MV620_CALL MV620Sim_FailResponseRead(int code, int nth) {
    return setCodeFault(false, code, nth);
}

int MV620_CALL MV620Sim_SetByteCountsReported(int on) {
    withState([&](DriverState& s) { s.byteCountsReported = on != 0; });
    return 1;
}

int MV620_CALL MV620Sim_SetWrongEcho(int on) {
    withState([&](DriverState& s) { s.model.faults().wrongEcho = on != 0; });
    return 1;
}

int MV620_CALL MV620Sim_SetVirtualClock(int on, uint32_t start) {
    if (on != 0) {
        mv620::sim::startVirtualClock(start);
    } else {
        mv620::sim::stopVirtualClock();
    }
    return 1;
}

int64_t MV620_CALL MV620Sim_GetPacketCount(void) {
    return withState([](DriverState& s) { return asCount(s.model.packets().total()); });
}

int MV620_CALL MV620Sim_GetPacket(int64_t index, unsigned char* packet) {
    if (index < 0 || packet == nullptr) {
        return MV620SIM_PACKET_NONE;
    }
    return withState([&](DriverState& s) {
        const auto* record = s.model.packets().find(static_cast<std::uint64_t>(index));
        if (record == nullptr) {
            return MV620SIM_PACKET_NONE;
        }
        std::memcpy(packet, record->bytes.data(), record->bytes.size());
        return static_cast<int>(record->fate);
    });
}

int64_t MV620_CALL MV620Sim_GetRequestCount(void) {
    return withState([](DriverState& s) { return asCount(s.requests.total()); });
}

int MV620_CALL MV620Sim_GetRequest(int64_t index, MV620SimRequest* request) {
    if (index < 0 || request == nullptr) {
        return 0;
    }
    return withState([&](DriverState& s) {
        const auto* record = s.requests.find(static_cast<std::uint64_t>(index));
        if (record == nullptr) {
            return 0;
        }
        MV620SimRequest out{};
        out.code = record->code;
        out.handle = record->handle;
        out.inLength = record->inLength;
        out.outLength = record->outLength;
        out.bytesReturned = record->bytesReturned;
        out.result = record->result ? 1 : 0;
        out.refused = record->refused ? 1 : 0;
        static_assert(sizeof out.in == mv620::sim::kLoggedInputBytes);
        std::memcpy(out.in, record->in.data(), sizeof out.in);
        *request = out;
        return 1;
    });
}

int MV620_CALL MV620Sim_GetRequestStats(uint32_t key, MV620SimRequestStats* stats) {
    using mv620::sim::StatsSlot;
    if (stats == nullptr) {
        return 0;
    }
    StatsSlot slot = mv620::sim::statsSlotOf(key);
    if (key == MV620SIM_STATS_OPEN) {
        slot = StatsSlot::Open;
    } else if (key == MV620SIM_STATS_CLOSE) {
        slot = StatsSlot::Close;
    } else if (slot == StatsSlot::UnknownCode && key != MV620SIM_STATS_UNKNOWN_CODE) {
        return 0;
    }
    return withState([&](DriverState& s) {
        const mv620::sim::RequestStats& counted = s.statsFor(slot);
        stats->issued = asCount(counted.issued);
        stats->succeeded = asCount(counted.succeeded);
        stats->refused = asCount(counted.refused);
        return 1;
    });
}

int64_t MV620_CALL MV620Sim_GetMalformedRequests(void) {
    return withState([](DriverState& s) { return asCount(s.malformed); });
}

int64_t MV620_CALL MV620Sim_GetProtocolErrors(void) {
    return withState([](DriverState& s) { return asCount(s.model.protocolErrors()); });
}

int64_t MV620_CALL MV620Sim_GetChecksumErrors(void) {
    return withState([](DriverState& s) { return asCount(s.model.checksumErrors()); });
}

int MV620_CALL MV620Sim_GetOutputLines(void) {
    return withState([](DriverState& s) { return static_cast<int>(s.model.outputLines()); });
}

int MV620_CALL MV620Sim_GetConfigWord(int address) {
    if (address < 0) {
        return -1;
    }
    return withState([&](DriverState& s) {
        return static_cast<int>(s.model.configWord(static_cast<std::uint32_t>(address)));
    });
}

int MV620_CALL MV620Sim_GetConfigWordWidth(int address) {
    if (address < 0) {
        return 0;
    }
    return withState([&](DriverState& s) {
        return static_cast<int>(s.model.configWordWidth(static_cast<std::uint32_t>(address)));
    });
}

int64_t MV620_CALL MV620Sim_GetBlocksDelivered(void) {
    return withState([](DriverState& s) { return asCount(s.model.blocksDelivered()); });
}

int MV620_CALL MV620Sim_GetPendingResponses(void) {
    return withState([](DriverState& s) { return static_cast<int>(s.model.pendingResponses()); });
}

int MV620_CALL MV620Sim_GetOpenHandles(void) {
    return withState([](DriverState& s) { return static_cast<int>(s.handles.size()); });
}

int64_t MV620_CALL MV620Sim_GetMessageCount(void) {
    return withState([](DriverState& s) { return asCount(s.messages.total()); });
}

int MV620_CALL MV620Sim_GetMessage(int64_t index, MV620SimMessage* message) {
    if (index < 0 || message == nullptr) {
        return 0;
    }
    return withState([&](DriverState& s) {
        const auto* record = s.messages.find(static_cast<std::uint64_t>(index));
        if (record == nullptr) {
            return 0;
        }
        message->window = static_cast<HWND>(record->window);
        message->message = record->message;
        message->wParam = record->wParam;
        message->lParam = record->lParam;
        return 1;
    });
}

} // extern "C"
