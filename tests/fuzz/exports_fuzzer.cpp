// Fuzz target: a stream of calls to the exports against the simulated instrument, with
// arguments taken from the input. Every result must be a defined one; every sample returned must
// be the identifying pattern's value. Each input ends with the acquisition stopped.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "MV620ACQm.h"
#include "MV620ACQm_sim.h"
#include "context/library_lifetime.h"

namespace {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    [[nodiscard]] bool empty() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    int word() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value = (value << 8U) | byte();
        }
        return static_cast<int>(value);
    }
    // A value near the interesting edges more often than not.
    int argument() {
        switch (byte() % 8) {
        case 0:
            return INT32_MIN;
        case 1:
            return INT32_MAX;
        case 2:
            return -1;
        case 3:
            return byte() % 42;
        case 4:
            return byte() % 11;
        default:
            return word();
        }
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

void check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

bool isSampleOrCode(int value) { return value >= SAMPLE_OVERWRITTEN && value <= 65535; }

int buffer[512];

// The boundary last set, in units of 16 cycles: sample n counted from it is sample
// n + boundary x modulus counted from the start.
std::uint32_t boundary = 0;

// A value read as a sample must be the identifying pattern's value for that channel and index.
void checkSample(int channel, std::uint32_t n, int value) {
    if (value < 0) {
        return;
    }
    const auto modulus = static_cast<std::uint32_t>(Get_Sample_Modulus(channel));
    const std::uint32_t fromStart = n + boundary * modulus;
    check(value == channel * 1637 + static_cast<int>(fromStart % 1637U));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MV620Sim_Reset();
    mv620::resetLibraryState();
    MV620Sim_SetVirtualClock(1, 65536);
    // A bounded stream: the thread reads at most this many blocks, then waits for a ready bit
    // that never comes.
    MV620Sim_ReadyNeverFrom(20);
    boundary = 0;

    Input in(data, size);
    for (int calls = 0; calls < 64 && !in.empty(); ++calls) {
        switch (in.byte() % 16) {
        case 0:
            check(Set_Sample_Rate(in.argument(), in.argument()) == 40);
            break;
        case 1: {
            const int rate = Get_Sample_Rate(in.argument());
            check(rate == 0 || rate == 1 || rate == 2 || rate == 5 || rate == 10);
            break;
        }
        case 2:
            check(Start_Acquisition(nullptr) <= 1);
            boundary = 0;
            break;
        case 3:
            check(Stop_Acquisition() == 0);
            break;
        case 4: {
            const int channel = in.argument();
            const int index = in.argument();
            const int value = Get_DataPoint(channel, index);
            check(isSampleOrCode(value));
            checkSample(channel, static_cast<std::uint32_t>(index), value);
            break;
        }
        case 5:
        case 6: {
            const int channel = in.argument();
            const int first = in.argument();
            const int count = in.argument() % 513;
            std::memset(buffer, 0xA5, sizeof buffer);
            const int stored = Get_Data_Samples(buffer, channel, first, count);
            check(stored >= 0 && stored <= (count > 0 ? count : 0));
            for (int i = stored; i < 512; ++i) {
                int guard;
                std::memset(&guard, 0xA5, sizeof guard);
                check(buffer[i] == guard);
            }
            for (int i = 0; i < stored; ++i) {
                checkSample(channel,
                            static_cast<std::uint32_t>(first) + static_cast<std::uint32_t>(i),
                            buffer[i]);
            }
            break;
        }
        case 7: {
            const int found = Get_Trigger(buffer, in.argument(), in.argument(), in.argument() % 513,
                                          in.argument(), in.argument());
            check(found >= 0 && found <= 65535);
            break;
        }
        case 8:
            Get_Current_DataPoint(in.argument());
            break;
        case 9:
            Get_Sample_Modulus(in.argument());
            break;
        case 10:
            boundary = static_cast<std::uint32_t>(in.argument() % 4);
            Set_Sample_Boundary(static_cast<int>(boundary));
            break;
        case 11:
            check(Do_Output_On(in.argument()) == 1 && Do_Output_Off(in.argument()) == 1);
            break;
        case 12: {
            const int input = Get_Digital_Input(in.argument());
            check(input == 0 || input == 1);
            break;
        }
        case 13: {
            const int status = Get_MV620ACQ_Status();
            check((status >= -7 && status <= -5) || (status >= 90 && status <= 127));
            break;
        }
        case 14:
            MV620Sim_SetPresence(in.byte() % 3);
            break;
        default:
            check(LV_Download() == 0); // no image file where the fuzzer runs
            break;
        }
    }
    check(Stop_Acquisition() == 0);
    MV620Sim_SetVirtualClock(0, 0);
    return 0;
}
