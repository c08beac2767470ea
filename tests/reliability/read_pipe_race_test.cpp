// A status query or a download that began before a start, racing it on another thread. The read
// pipe carries both the answers to command packets and the sample stream, so the two must never
// overlap: either the start waits for the packet under way, or the control call stops before its
// next packet. Run many times, with a block read short (which, on a stream shifted by a stray
// answer, would leave every later sample wrong), every sample must be exact and no packet but the
// start may reach the instrument while it streams.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/library_fixture.h"
#include "support/scratch_folder.h"
#include "support/stream_model.h"

namespace mv620::testing {
namespace {

constexpr int kRounds = 100;
constexpr int kBlocks = 3;
constexpr std::uint64_t kBlockSamples = 32000;
constexpr std::array<int, 40> kDividers = [] {
    std::array<int, 40> dividers{};
    dividers[0] = 1;   // rate 10
    dividers[5] = 2;   // rate 5
    dividers[21] = 10; // rate 1
    return dividers;
}();

// An image of one section: `words` 16-bit words from address 0, the n-th of value first + n.
std::string imageOfWords(unsigned words, unsigned first = 0) {
    std::string image;
    char record[8];
    for (const unsigned value : {words, 0x4000U, 0U}) {
        std::snprintf(record, sizeof record, "%04X\r\n", value);
        image += record;
    }
    for (unsigned word = 0; word < words; ++word) {
        std::snprintf(record, sizeof record, "%04X\r\n", (first + word) & 0xFFFFU);
        image += record;
    }
    return image + "FFFF\r\n0000\r\n0000\r\n";
}

// 12 data packets: 300 words.
std::string twelvePacketImage() { return imageOfWords(300); }

class ReadPipeRace : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        for (int channel = 0; channel < 40; ++channel) {
            const int divider = kDividers[static_cast<std::size_t>(channel)];
            Set_Sample_Rate(channel, divider == 0 ? 0 : 10 / divider);
        }
        // Each request takes a little time, as on a real instrument, so that a control call is
        // under way when the start comes.
        MV620Sim_SetRequestLatency(100);
    }

    // Starts an acquisition once `packets` packets after the first `before` have reached the
    // instrument, then checks the round: the stream exact, nothing but the start after the start.
    void raceOneRound(int round, std::int64_t before, std::int64_t packets, std::mt19937& random) {
        ASSERT_TRUE(eventually([&] { return MV620Sim_GetPacketCount() >= before + packets; }));
        ASSERT_EQ(MV620Sim_ShortBlockRead(static_cast<int>(random() % kBlocks),
                                          1 + static_cast<int>(random() % 63999)),
                  1);
        MV620Sim_ReadyNeverFrom(kBlocks);
        ASSERT_EQ(Start_Acquisition(nullptr), 1);
        ASSERT_TRUE(eventually([] { return blocks() == kBlocks; }));

        // Once the start packet has gone out, nothing else reaches the instrument.
        const std::int64_t total = MV620Sim_GetPacketCount();
        std::int64_t start = -1;
        for (std::int64_t i = before; i < total; ++i) {
            unsigned char packet[64];
            ASSERT_NE(MV620Sim_GetPacket(i, packet), MV620SIM_PACKET_NONE);
            if (start >= 0) {
                ADD_FAILURE() << "round " << round << ": packet " << int{packet[0]}
                              << " reached the instrument during the stream";
            }
            if (packet[0] == 19) {
                start = i;
            }
        }
        ASSERT_GE(start, 0);

        const StreamModel model(kDividers);
        std::vector<int> samples(kBlocks * kBlockSamples);
        for (const int channel : {0, 5, 21}) {
            std::vector<int> expected;
            for (std::uint64_t p = 0; p < kBlocks * kBlockSamples; ++p) {
                const auto s = model.at(p);
                if (s.channel == channel) {
                    expected.push_back(expectedSample(channel, s.index));
                }
            }
            const int count = static_cast<int>(expected.size());
            ASSERT_EQ(Get_Data_Samples(samples.data(), channel, 0, count), count)
                << "round " << round << ", channel " << channel;
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), samples.begin()))
                << "round " << round << ": a wrong sample of channel " << channel;
        }
        EXPECT_EQ(Stop_Acquisition(), 0);
        EXPECT_EQ(MV620Sim_GetProtocolErrors(), 0);
    }
};

TEST_F(ReadPipeRace, ADownloadNeverRunsOnIntoAStream) {
    const ScratchFolder folder;
    ScratchFolder::writeImage(twelvePacketImage());
    std::mt19937 random(20261208);
    int cut = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::atomic<int> result{-1};
        const std::int64_t before = MV620Sim_GetPacketCount();
        std::thread download([&result] { result = LV_Download(); });
        // The announcement, then 0 to 7 data packets, before the start.
        raceOneRound(round, before, 1 + round % 8, random);
        download.join();
        // Either it ended before the start, or the start cut it short; never anything else.
        ASSERT_TRUE(result == 0 || result == 1) << result;
        cut += result == 0 ? 1 : 0;
    }
    std::cout << "download cut short by the start in " << cut << " of " << kRounds << " rounds\n";
}

TEST_F(ReadPipeRace, AStatusQueryNeverRunsOnIntoAStream) {
    std::mt19937 random(1208);
    for (int round = 0; round < kRounds; ++round) {
        std::atomic<bool> stop{false};
        std::atomic<int> odd{0};
        const std::int64_t before = MV620Sim_GetPacketCount();
        std::thread queries([&] {
            while (!stop) {
                const int status = Get_MV620ACQ_Status();
                odd += status == 90 || status == STATUS_NO_ANSWER ? 0 : 1;
            }
        });
        raceOneRound(round, before, 1, random);
        stop = true;
        queries.join();
        EXPECT_EQ(odd, 0) << "round " << round << ": an answer taken out of the stream";
    }
}

// Exchanges on several host threads, no acquisition: answers come back in the order of the
// packets, so an exchange must hold the read pipe from its packet's write to its answer's read.
// Otherwise a status query that reads inside a download packet's wait takes that packet's
// answer, the download judges the status query's answer, and both report the wrong thing.
TEST_F(ReadPipeRace, ExchangesOnSeveralThreadsEachTakeTheirOwnAnswer) {
    const ScratchFolder folder;
    constexpr int kStatus = 123;
    constexpr int kQueryThreads = 3;
    constexpr int kDownloads = 30;
    MV620Sim_SetStatusByte(kStatus);
    std::atomic<bool> stop{false};
    std::atomic<int> queries{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kQueryThreads; ++t) {
        threads.emplace_back([&] {
            while (!stop) {
                const int status = Get_MV620ACQ_Status();
                wrong += status == kStatus ? 0 : 1;
                ++queries;
            }
        });
    }
    for (int download = 0; download < kDownloads; ++download) {
        ScratchFolder::writeImage(imageOfWords(1, 0x100U + static_cast<unsigned>(download)));
        EXPECT_EQ(LV_Download(), 1) << "download " << download;
        EXPECT_EQ(MV620Sim_GetConfigWord(0), 0x100 + download) << "download " << download;
    }
    ASSERT_TRUE(eventually([&] { return queries >= kQueryThreads; }));
    stop = true;
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, 0) << "of " << queries << " status queries";
    EXPECT_EQ(MV620Sim_GetProtocolErrors(), 0);
    EXPECT_EQ(MV620Sim_GetPendingResponses(), 0);
}

} // namespace
} // namespace mv620::testing
