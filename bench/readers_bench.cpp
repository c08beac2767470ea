// Speed of the hot paths: reading samples out of the ring (one at a time and in runs), the trigger
// search, and the schedule build of every Set_Sample_Rate. The ring is filled by a real
// acquisition from the simulated instrument, stopped before measuring.
#include <benchmark/benchmark.h>

#include <vector>

#include "MV620ACQm.h"
#include "MV620ACQm_sim.h"
#include "acquisition/scan_schedule.h"

namespace {

// Every channel at rate 10 but one at rate 1: the largest schedule (391 blocks per cycle).
void acquireLargestSchedule() {
    static const bool done = [] {
        MV620Sim_Reset();
        MV620Sim_SetVirtualClock(1, 65536);
        for (int c = 0; c < 40; ++c) {
            Set_Sample_Rate(c, c == 39 ? 1 : 10);
        }
        MV620Sim_ReadyNeverFrom(15);
        Start_Acquisition(nullptr);
        while (Get_Blocks_Transferred() < 15) {
        }
        Stop_Acquisition();
        return true;
    }();
    (void)done;
}

void GetDataPoint(benchmark::State& state) {
    acquireLargestSchedule();
    int n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Get_DataPoint(5, n));
        n = (n + 1) % 12000;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(GetDataPoint);

void GetDataSamples(benchmark::State& state) {
    acquireLargestSchedule();
    std::vector<int> buffer(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            Get_Data_Samples(buffer.data(), 5, 0, static_cast<int>(buffer.size())));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(GetDataSamples)->Arg(100)->Arg(10000);

void GetTrigger(benchmark::State& state) {
    acquireLargestSchedule();
    std::vector<int> buffer(10000);
    for (auto _ : state) {
        benchmark::DoNotOptimize(Get_Trigger(buffer.data(), 5, 0, 10000, TRIGGER_RISING, 70000));
    }
    state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(GetTrigger);

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
BENCHMARK(BuildSchedule);

} // namespace

BENCHMARK_MAIN();
