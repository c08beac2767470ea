// Speed of the hot paths, each side by side with a plain baseline measured in the same run,
// interleaved, so that the ratio holds whatever else the machine does:
//
//   Samples/...      Get_Data_Samples against a gather from precomputed (slot, offset) positions
//                    over the same frozen ring
//   Trigger/...      Get_Trigger against the same gather with the trigger compare
//   DataPoint/...    one Get_DataPoint call
//   Streaming        blocks a second through the library against a bare loop that issues the
//                    same driver requests to the same simulated driver
//   PacedThreadCpu   the share of a core the acquisition thread uses at the simulated
//                    instrument's default pacing (10 blocks a second, a USB round trip a request)
//   SimCallWait      the longest a call of the simulator's API waits while the instrument
//                    streams as fast as the library reads
//
// Schedules: every channel at the top rate, a slow channel in a mixed schedule, one channel alone.
// The counters "ns_per_sample", "baseline_ns_per_sample" and "ratio" carry the figures; the
// counter "allocations" counts heap allocations inside the library's read calls (it must be 0).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include "MV620ACQm.h"
#include "MV620ACQm_sim.h"
#include "acquisition/scan_schedule.h"
#include "platform/driver.h"
#include "support/stream_model.h"

// Heap allocations, counted while `countingAllocations` is set.
namespace {
std::atomic<bool> countingAllocations{false};
std::atomic<std::uint64_t> allocations{0};
} // namespace

void* operator new(std::size_t size) {
    if (countingAllocations.load(std::memory_order_relaxed)) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

using Clock = std::chrono::steady_clock;

struct Scenario {
    const char* name;
    std::array<int, 40> rates; // by channel
    int channel;               // the channel read
};

std::array<int, 40> allAt(int rate) {
    std::array<int, 40> rates{};
    rates.fill(rate);
    return rates;
}

const std::array<Scenario, 3> kScenarios = {{
    {"AllChannelsAtTheTopRate", allAt(10), 5},
    {"SlowChannelInAMixedSchedule",
     [] {
         std::array<int, 40> rates{};
         for (int c = 0; c < 40; ++c) {
             rates[static_cast<std::size_t>(c)] = c % 4 == 0   ? 10
                                                  : c % 4 == 1 ? 5
                                                  : c % 4 == 2 ? 2
                                                               : 1;
         }
         return rates;
     }(),
     7},
    {"OneChannelAlone",
     [] {
         std::array<int, 40> rates{};
         rates[21] = 10;
         return rates;
     }(),
     21},
}};

// Fills the ring with 15 blocks of the scenario's schedule and stops: a frozen ring.
void freezeRing(const Scenario& scenario) {
    Stop_Acquisition();
    MV620Sim_Reset();
    MV620Sim_SetVirtualClock(1, 65536);
    for (int c = 0; c < 40; ++c) {
        Set_Sample_Rate(c, scenario.rates[static_cast<std::size_t>(c)]);
    }
    MV620Sim_ReadyNeverFrom(15);
    Start_Acquisition(nullptr);
    while (Get_Blocks_Transferred() < 15) {
    }
    Stop_Acquisition();
}

// The ring as the baseline sees it: the library's own bytes, copied out once the ring is frozen.
struct FrozenRing {
    std::vector<std::vector<std::uint8_t>> slots;
    std::vector<std::uint32_t> positions; // slot * 64000 + 2 * offset, per sample of the channel
};

// Where each of the channel's samples lies (worked out once, from an independent model of the
// stream, not timed), and the ring's bytes (read back through Get_DataPoint, not timed).
FrozenRing frozenRing(const Scenario& scenario, int samples) {
    std::array<int, 40> dividers{};
    for (std::size_t c = 0; c < 40; ++c) {
        const int r = scenario.rates[c];
        dividers[c] = r >= 10 ? 1 : r >= 5 ? 2 : r >= 2 ? 5 : r == 1 ? 10 : 0;
    }
    const mv620::testing::StreamModel model(dividers);
    FrozenRing ring;
    ring.slots.assign(16, std::vector<std::uint8_t>(64000));
    std::uint32_t index = 0;
    for (std::uint64_t p = 0; p < 15 * 32000ULL && ring.positions.size() < std::size_t(samples);
         ++p) {
        const auto s = model.at(p);
        if (s.channel != scenario.channel) {
            continue;
        }
        const auto slot = static_cast<std::uint32_t>(p / 32000);
        const auto offset = static_cast<std::uint32_t>(p % 32000);
        const int value = Get_DataPoint(scenario.channel, static_cast<int>(index++));
        ring.slots[slot][2 * offset] = static_cast<std::uint8_t>(value >> 8);
        ring.slots[slot][2 * offset + 1] = static_cast<std::uint8_t>(value & 0xFF);
        ring.positions.push_back(slot * 64000U + 2 * offset);
    }
    return ring;
}

// The baseline: a gather of bytes from precomputed positions, the least any reader must do.
void gather(const std::vector<std::uint8_t>& bytes, const std::vector<std::uint32_t>& positions,
            int* out) {
    const std::uint8_t* ring = bytes.data();
    for (std::size_t i = 0; i < positions.size(); ++i) {
        const std::uint32_t at = positions[i];
        out[i] = (ring[at] << 8) | ring[at + 1];
    }
}

int gatherAndCompare(const std::vector<std::uint8_t>& bytes,
                     const std::vector<std::uint32_t>& positions, int* out, int level) {
    const std::uint8_t* ring = bytes.data();
    int found = 0;
    int previous = 0;
    for (std::size_t i = 0; i < positions.size(); ++i) {
        const std::uint32_t at = positions[i];
        const int v = (ring[at] << 8) | ring[at + 1];
        out[i] = v;
        if (found == 0 && i >= 1 && previous < level && v >= level) {
            found = v;
        }
        previous = v;
    }
    return found;
}

std::vector<std::uint8_t> flatten(const FrozenRing& ring) {
    std::vector<std::uint8_t> bytes;
    for (const auto& slot : ring.slots) {
        bytes.insert(bytes.end(), slot.begin(), slot.end());
    }
    return bytes;
}

double nanoseconds(Clock::duration d) {
    return std::chrono::duration<double, std::nano>(d).count();
}

void reportRatio(benchmark::State& state, double library, double baseline, double samples) {
    state.counters["ns_per_sample"] = library / samples;
    state.counters["baseline_ns_per_sample"] = baseline / samples;
    state.counters["ratio"] = library / baseline;
    state.counters["allocations"] = static_cast<double>(allocations.exchange(0));
}

// What a run-reading figure times: the scenario's ring frozen with its first 20000 samples of
// the channel, the same bytes flat for the baseline, and room for the samples read.
struct Workload {
    explicit Workload(const Scenario& scenario) {
        freezeRing(scenario);
        ring = frozenRing(scenario, 20000);
        bytes = flatten(ring);
        out.resize(ring.positions.size());
    }
    FrozenRing ring;
    std::vector<std::uint8_t> bytes;
    std::vector<int> out;
};

// Times `library` (a library call, its allocations counted) and `baseline` over the same run of
// samples, one after the other in every iteration, and reports the two and their ratio.
template <typename Library, typename Baseline>
void sideBySide(benchmark::State& state, int samplesPerCall, Library library, Baseline baseline) {
    double libraryNs = 0;
    double baselineNs = 0;
    double samples = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        countingAllocations = true;
        benchmark::DoNotOptimize(library());
        countingAllocations = false;
        const auto t1 = Clock::now();
        benchmark::DoNotOptimize(baseline());
        const auto t2 = Clock::now();
        libraryNs += nanoseconds(t1 - t0);
        baselineNs += nanoseconds(t2 - t1);
        samples += samplesPerCall;
    }
    reportRatio(state, libraryNs, baselineNs, samples);
}

// Get_Data_Samples over the channel's samples in the window, against the gather.
void Samples(benchmark::State& state, const Scenario& scenario) {
    Workload w(scenario);
    const int count = static_cast<int>(w.ring.positions.size());
    sideBySide(
        state, count, [&] { return Get_Data_Samples(w.out.data(), scenario.channel, 0, count); },
        [&] {
            gather(w.bytes, w.ring.positions, w.out.data());
            return w.out.data();
        });
}

// Get_Trigger (a level no sample reaches, so the whole run is compared), against the gather with
// the same compare.
void Trigger(benchmark::State& state, const Scenario& scenario) {
    Workload w(scenario);
    const int count = static_cast<int>(w.ring.positions.size());
    sideBySide(
        state, count,
        [&] {
            return Get_Trigger(w.out.data(), scenario.channel, 0, count, TRIGGER_RISING, 65535);
        },
        [&] { return gatherAndCompare(w.bytes, w.ring.positions, w.out.data(), 65535); });
}

// One Get_DataPoint call, the channel's samples of the window one after the other.
void DataPoint(benchmark::State& state, const Scenario& scenario) {
    freezeRing(scenario);
    const int last = static_cast<int>(frozenRing(scenario, 1 << 30).positions.size());
    int n = 0;
    countingAllocations = true;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Get_DataPoint(scenario.channel, n));
        n = n + 1 < last ? n + 1 : 0;
    }
    countingAllocations = false;
    state.counters["ns_per_call"] =
        benchmark::Counter(static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["allocations"] = static_cast<double>(allocations.exchange(0));
}

// Blocks a second through the library (its thread, its ring) against a bare loop that polls the
// ready bit and reads each block from the same simulated driver, the instrument as fast as the
// host reads.
void Streaming(benchmark::State& state) {
    constexpr int kBlocks = 200;
    double library = 0;
    double bare = 0;
    std::vector<std::uint8_t> block(64000);
    for (auto _ : state) {
        Stop_Acquisition();
        MV620Sim_Reset();
        MV620Sim_SetVirtualClock(1, 65536);
        for (int c = 0; c < 40; ++c) {
            Set_Sample_Rate(c, 10);
        }
        MV620Sim_ReadyNeverFrom(kBlocks);
        const auto t0 = Clock::now();
        Start_Acquisition(nullptr);
        while (Get_Blocks_Transferred() < kBlocks) {
        }
        const auto t1 = Clock::now();
        Stop_Acquisition();

        // The same requests without the library: a start packet, then poll and read.
        mv620::platform::DriverBackend& driver = mv620::platform::driverBackend();
        MV620Sim_ReadyNeverFrom(-1);
        const auto handle = driver.open("\\\\.\\Ezusb-0");
        std::array<std::uint8_t, 64> start{};
        start[0] = 19;
        start[1] = 1;
        for (std::size_t k = 0; k < 40; ++k) {
            start[6 + k] = 1;
        }
        unsigned sum = 0;
        for (std::size_t i = 0; i < 63; ++i) {
            sum += start[i];
        }
        start[63] = static_cast<std::uint8_t>(0xFF - (sum & 0xFF));
        const std::array<std::uint8_t, 4> writePipe = {1, 0, 0, 0};
        const std::array<std::uint8_t, 4> readPipe = {0, 0, 0, 0};
        const std::array<std::uint8_t, 10> inputRead = {1, 2, 0, 0, 15, 0, 0, 0, 0, 0};
        std::uint32_t returned = 0;
        driver.control(handle, 0x222051, writePipe.data(), 4, start.data(), 64, &returned);
        const auto t2 = Clock::now();
        for (int b = 0; b < kBlocks; ++b) {
            std::uint8_t port = 0;
            do {
                driver.control(handle, 0x222059, inputRead.data(), 10, &port, 1, &returned);
            } while ((port & 0x80) == 0);
            driver.control(handle, 0x22204E, readPipe.data(), 4, block.data(), 64000, &returned);
        }
        const auto t3 = Clock::now();
        driver.close(handle);
        library += nanoseconds(t1 - t0);
        bare += nanoseconds(t3 - t2);
    }
    const double blocks = static_cast<double>(kBlocks) * static_cast<double>(state.iterations());
    state.counters["library_blocks_per_s"] = blocks / (library * 1e-9);
    state.counters["bare_blocks_per_s"] = blocks / (bare * 1e-9);
    state.counters["ratio"] = bare / library; // the library's speed as a share of the bare loop's
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// The process's CPU time over wall time while only the acquisition thread works: the share of a
// core it takes at the default pacing of the simulated instrument, once it streams. The start
// costs apart from that, and is reported apart: the thread busy-waits 100 ms after the start
// packet, as after every packet, before its first poll.
void PacedThreadCpu(benchmark::State& state) {
    for (auto _ : state) {
        Stop_Acquisition();
        MV620Sim_Reset();
        MV620Sim_SetRate(320000);         // the default: 10 blocks a second
        MV620Sim_SetRequestLatency(1000); // the default when paced: a full-speed USB frame
        Set_Sample_Rate(0, 10);
        const double startCpu = cpuSeconds();
        Start_Acquisition(nullptr);
        while (Get_Blocks_Transferred() == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const double cpu0 = cpuSeconds();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const double cpu = cpuSeconds() - cpu0;
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        Stop_Acquisition();
        state.counters["thread_core_share"] = cpu / wall;
        state.counters["start_cpu_ms"] = (cpu0 - startCpu) * 1e3;
        state.counters["blocks"] = Get_Blocks_Transferred();
    }
}

// The longest a call of the simulator's API waits while the instrument streams as fast as the
// library reads, and while the library polls a ready bit that never comes.
void SimCallWait(benchmark::State& state) {
    for (auto _ : state) {
        double worst = 0;
        for (const int readyFrom : {1000000, 0}) {
            Stop_Acquisition();
            MV620Sim_Reset();
            MV620Sim_ReadyNeverFrom(readyFrom);
            Set_Sample_Rate(0, 10);
            Start_Acquisition(nullptr);
            for (int call = 0; call < 20000; ++call) {
                const auto t0 = Clock::now();
                benchmark::DoNotOptimize(MV620Sim_GetOutputLines());
                worst = std::max(worst, nanoseconds(Clock::now() - t0));
            }
            Stop_Acquisition();
        }
        state.counters["worst_wait_ms"] = worst * 1e-6;
    }
}

void BuildSchedule(benchmark::State& state) {
    mv620::acquisition::Dividers dividers{};
    dividers.fill(1);
    dividers[39] = 10;
    mv620::acquisition::ScanSchedule schedule;
    for (auto _ : state) {
        mv620::acquisition::buildSchedule(dividers, schedule);
        benchmark::DoNotOptimize(schedule.cycleSamples);
    }
}

const bool registered = [] {
    for (const Scenario& scenario : kScenarios) {
        benchmark::RegisterBenchmark((std::string("Samples/") + scenario.name).c_str(),
                                     [&scenario](benchmark::State& s) { Samples(s, scenario); });
        benchmark::RegisterBenchmark((std::string("Trigger/") + scenario.name).c_str(),
                                     [&scenario](benchmark::State& s) { Trigger(s, scenario); });
        benchmark::RegisterBenchmark((std::string("DataPoint/") + scenario.name).c_str(),
                                     [&scenario](benchmark::State& s) { DataPoint(s, scenario); });
    }
    benchmark::RegisterBenchmark("Streaming", Streaming)->Iterations(5)->UseRealTime();
    benchmark::RegisterBenchmark("PacedThreadCpu", PacedThreadCpu)->Iterations(1)->UseRealTime();
    benchmark::RegisterBenchmark("SimCallWait", SimCallWait)->Iterations(1)->UseRealTime();
    benchmark::RegisterBenchmark("BuildSchedule", BuildSchedule);
    return true;
}();

} // namespace

BENCHMARK_MAIN();
