// Concurrency stress: the instrument streams as fast as the host can read while two threads read
// samples over moving windows and the host thread changes rates, moves the boundary, and stops
// and restarts the acquisition. Every value returned as a sample must be exactly the pattern's
// value for that channel and index; negative codes are fine. Bounded in count, not in time.
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <random>
#include <thread>

#include "support/library_fixture.h"

namespace mv620::testing {
namespace {

// What the host thread last set up, guarded by a sequence counter that is odd while the host is
// changing it: a read whose counter changed (or was odd) cannot be judged and is left unchecked.
struct HostState {
    std::atomic<std::uint32_t> sequence{0};
    std::atomic<std::uint32_t> boundary{0};
    std::array<std::atomic<std::uint32_t>, 40> modulus{};
    std::atomic<bool> done{false};
};

struct Tally {
    std::uint64_t checked = 0;
    std::uint64_t wrong = 0;
    std::uint64_t codes = 0;
};

void readerLoop(HostState& host, unsigned seed, Tally& tally) {
    std::mt19937 random(seed);
    std::vector<int> buffer(256);
    while (!host.done.load()) {
        const int channel = static_cast<int>(random() % 4);
        const std::uint32_t before = host.sequence.load();
        if (before % 2 != 0) {
            std::this_thread::yield();
            continue;
        }
        const std::uint32_t boundary = host.boundary.load();
        const std::uint32_t modulus = host.modulus[static_cast<std::size_t>(channel)].load();
        const auto current = static_cast<std::uint32_t>(Get_Current_DataPoint(channel));
        const std::uint32_t back = static_cast<std::uint32_t>(random() % 60000);
        const std::uint32_t first = current - back;
        const int count = static_cast<int>(random() % buffer.size()) + 1;
        int stored = 0;
        switch (random() % 3) {
        case 0: {
            const int value = Get_DataPoint(channel, static_cast<int>(first));
            buffer[0] = value;
            stored = value >= 0 ? 1 : 0;
            break;
        }
        case 1:
            stored = Get_Data_Samples(buffer.data(), channel, static_cast<int>(first), count);
            break;
        default: {
            std::fill(buffer.begin(), buffer.end(), -1);
            Get_Trigger(buffer.data(), channel, static_cast<int>(first), count, TRIGGER_RISING,
                        channel * 1637 + 800);
            while (stored < count && buffer[static_cast<std::size_t>(stored)] >= 0) {
                ++stored;
            }
            break;
        }
        }
        if (host.sequence.load() != before) {
            continue; // the host changed the boundary or restarted meanwhile
        }
        if (stored == 0) {
            ++tally.codes;
        }
        for (int i = 0; i < stored; ++i) {
            const std::uint32_t n =
                first + static_cast<std::uint32_t>(i) + boundary * modulus; // from the start
            if (buffer[static_cast<std::size_t>(i)] != expectedSample(channel, n)) {
                ++tally.wrong;
            }
            ++tally.checked;
        }
    }
}

using Stress = LibraryTest;

TEST_F(Stress, ReadersNeverSeeAWrongSample) {
    HostState host;
    const auto restart = [&host](std::array<int, 4> rates) {
        host.sequence.fetch_add(1);
        for (int c = 0; c < 4; ++c) {
            Set_Sample_Rate(c, rates[static_cast<std::size_t>(c)]);
        }
        ASSERT_EQ(Start_Acquisition(nullptr), 1);
        host.boundary.store(0);
        for (int c = 0; c < 4; ++c) {
            host.modulus[static_cast<std::size_t>(c)].store(
                static_cast<std::uint32_t>(Get_Sample_Modulus(c)));
        }
        host.sequence.fetch_add(1);
    };
    restart({10, 5, 2, 1});

    Tally tallies[2];
    std::thread readers[2];
    for (unsigned r = 0; r < 2; ++r) {
        readers[r] = std::thread(readerLoop, std::ref(host), 100 + r, std::ref(tallies[r]));
    }
    std::mt19937 random(3);
    const std::array<std::array<int, 4>, 4> rateSets = {
        {{10, 5, 2, 1}, {10, 10, 10, 10}, {1, 2, 5, 10}, {5, 0, 1, 10}}};
    for (int step = 0; step < 60; ++step) {
        switch (step % 4) {
        case 0: // rates change while running: the acquisition keeps its own
            Set_Sample_Rate(static_cast<int>(random() % 4), static_cast<int>(random() % 11));
            break;
        case 1: // the boundary moves forward, then back
            host.sequence.fetch_add(1);
            host.boundary.store(static_cast<std::uint32_t>(step % 3 == 0 ? 1 : 0));
            Set_Sample_Boundary(static_cast<int>(host.boundary.load()));
            host.sequence.fetch_add(1);
            break;
        case 2:
            restart(rateSets[random() % rateSets.size()]);
            break;
        default: // stop, and read what stays in the ring, then start again
            host.sequence.fetch_add(1);
            Stop_Acquisition();
            host.sequence.fetch_add(1);
            restart(rateSets[random() % rateSets.size()]);
            break;
        }
        // Let the stream run on for a few blocks between changes.
        const std::uint32_t target = blocks() + 3;
        ASSERT_TRUE(eventually([target] { return blocks() >= target; }));
    }
    host.done.store(true);
    for (std::thread& reader : readers) {
        reader.join();
    }
    Stop_Acquisition();
    const std::uint64_t checked = tallies[0].checked + tallies[1].checked;
    const std::uint64_t wrong = tallies[0].wrong + tallies[1].wrong;
    std::cout << "stress: " << checked << " samples checked, " << wrong << " wrong, "
              << tallies[0].codes + tallies[1].codes << " reads answered with a code\n";
    RecordProperty("samples_checked",
                   static_cast<int>(std::min<std::uint64_t>(checked, INT32_MAX)));
    EXPECT_EQ(wrong, 0U);
    EXPECT_GT(checked, 0U);
}

} // namespace
} // namespace mv620::testing
