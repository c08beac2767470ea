// The configuration download against the simulated instrument, and the image parser.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "control/config_image.h"
#include "support/library_fixture.h"
#include "support/scratch_folder.h"

namespace mv620::testing {
namespace {

constexpr std::uint32_t kSetStep = 1028;
constexpr std::uint32_t kStepIt = 1029;
constexpr std::uint32_t kSetPos = 1026;

std::string records(std::initializer_list<const char*> values) {
    std::string file;
    for (const char* value : values) {
        file += value;
        file += "\r\n";
    }
    return file;
}

std::string section(unsigned count, unsigned addressWord, const std::vector<unsigned>& data) {
    char record[8];
    std::string file;
    for (const unsigned value : {count, addressWord, 0U}) {
        std::snprintf(record, sizeof record, "%04X\r\n", value);
        file += record;
    }
    for (const unsigned value : data) {
        std::snprintf(record, sizeof record, "%04x\r\n", value);
        file += record;
    }
    return file;
}

const std::string kEnd = records({"FFFF", "0000", "0000"});

// The worked example: three 16-bit words at 0x0100, two 24-bit words at 0x0020.
const std::string kWorkedExample =
    records({"0003", "4100", "0000", "1234", "ABCD", "0001", "0004", "0020", "0000", "1234", "0056",
             "ABCD", "00EF", "FFFF", "0000", "0000"});

class Download : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        folder_ = std::make_unique<ScratchFolder>();
    }
    void TearDown() override {
        folder_.reset();
        LibraryTest::TearDown();
    }
    static void writeImage(const std::string& bytes) { ScratchFolder::writeImage(bytes); }
    static std::vector<MV620SimMessage> messages() {
        std::vector<MV620SimMessage> all;
        for (std::int64_t i = 0; i < MV620Sim_GetMessageCount(); ++i) {
            MV620SimMessage message{};
            MV620Sim_GetMessage(i, &message);
            all.push_back(message);
        }
        return all;
    }
    static std::vector<std::uint32_t> messageCodes() {
        std::vector<std::uint32_t> codes;
        for (const MV620SimMessage& message : messages()) {
            codes.push_back(message.message);
        }
        return codes;
    }
    // The data packets sent, after the announcement.
    static std::vector<std::vector<std::uint8_t>> dataPackets() {
        auto packets = packetsSent();
        EXPECT_FALSE(packets.empty());
        if (!packets.empty()) {
            EXPECT_EQ(packets[0][0], 16) << "the announcement comes first";
            packets.erase(packets.begin());
        }
        return packets;
    }

private:
    std::unique_ptr<ScratchFolder> folder_;
};

TEST_F(Download, WorkedExampleByteForByte) {
    writeImage(kWorkedExample);
    const HWND bar = reinterpret_cast<HWND>(0x4242);
    EXPECT_EQ(Do_Download(bar), 1);
    const auto packets = dataPackets();
    ASSERT_EQ(packets.size(), 2U);
    const std::vector<std::uint8_t> first = {0x11, 0x01, 0x00, 0x00, 0x03, 0x12,
                                             0x34, 0xAB, 0xCD, 0x00, 0x01};
    const std::vector<std::uint8_t> second = {0x11, 0x00, 0x20, 0x01, 0x02, 0x12,
                                              0x34, 0x56, 0xAB, 0xCD, 0xEF};
    for (const auto& [packet, expected] : {std::pair{packets[0], first}, {packets[1], second}}) {
        std::vector<std::uint8_t> got = {packet[0]};
        got.insert(got.end(), packet.begin() + 4, packet.begin() + 14);
        EXPECT_EQ(got, expected);
    }
    EXPECT_EQ(packets[0][1], 2) << "sequence: the announcement was 1";
    EXPECT_EQ(packets[1][1], 3);

    const auto sent = messages();
    ASSERT_EQ(sent.size(), 4U);
    EXPECT_EQ(messageCodes(), (std::vector<std::uint32_t>{kSetStep, kStepIt, kStepIt, kSetPos}));
    EXPECT_EQ(sent[0].wParam, 1U);
    EXPECT_EQ(sent[3].wParam, 100U);
    for (const MV620SimMessage& message : sent) {
        EXPECT_EQ(message.window, bar);
        EXPECT_EQ(message.lParam, 0);
    }
    // The instrument's memory holds the image.
    EXPECT_EQ(MV620Sim_GetConfigWord(0x100), 0x1234);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x101), 0xABCD);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x102), 0x0001);
    EXPECT_EQ(MV620Sim_GetConfigWordWidth(0x102), 16);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x20), 0x123456);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x21), 0xABCDEF);
    EXPECT_EQ(MV620Sim_GetConfigWordWidth(0x21), 24);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x22), -1);
}

TEST_F(Download, WrongEchoFailsAfterEveryPacket) {
    writeImage(kWorkedExample);
    MV620Sim_SetWrongEcho(1);
    EXPECT_EQ(Do_Download(nullptr), 0);
    EXPECT_EQ(dataPackets().size(), 2U);
    EXPECT_EQ(messageCodes(), (std::vector<std::uint32_t>{kSetStep, kStepIt, kStepIt, kSetPos}));
}

TEST_F(Download, LvDownloadSendsTheSamePacketsWithoutMessages) {
    writeImage(kWorkedExample);
    EXPECT_EQ(LV_Download(), 1);
    EXPECT_EQ(dataPackets().size(), 2U);
    EXPECT_EQ(MV620Sim_GetMessageCount(), 0);
}

TEST_F(Download, AddressWrapsPast3FFF) {
    std::vector<unsigned> words(30);
    for (unsigned i = 0; i < 30; ++i) {
        words[i] = 0x100 + i;
    }
    writeImage(section(30, 0x4000 | 0x3FF0, words) + kEnd);
    EXPECT_EQ(LV_Download(), 1);
    const auto packets = dataPackets();
    ASSERT_EQ(packets.size(), 2U);
    EXPECT_EQ(packets[0][4], 0x3F);
    EXPECT_EQ(packets[0][5], 0xF0);
    EXPECT_EQ(packets[0][7], 27);
    EXPECT_EQ(packets[1][4], 0x00);
    EXPECT_EQ(packets[1][5], 0x0B);
    EXPECT_EQ(packets[1][7], 3);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x3FFF), 0x10F);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x0000), 0x110);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x000D), 0x11D);
}

TEST_F(Download, TwentyFourBitSectionsCountRecords) {
    std::vector<unsigned> forty(40);
    for (unsigned i = 0; i < 40; ++i) {
        forty[i] = i % 2 == 0 ? 0x1000 + i : 0x40 + i;
    }
    // Count 5 takes three words (six records); the next header follows the sixth record.
    const std::vector<unsigned> five = {0x0A0B, 0x000C, 0x0D0E, 0x000F, 0x1011, 0x0012};
    writeImage(section(40, 0x0000, forty) + section(5, 0x0200, five) +
               section(1, 0x4300, {0xBEEF}) + kEnd);
    EXPECT_EQ(LV_Download(), 1);
    const auto packets = dataPackets();
    ASSERT_EQ(packets.size(), 4U);
    EXPECT_EQ(packets[0][6], 1);
    EXPECT_EQ(packets[0][7], 18);
    EXPECT_EQ(packets[1][4], 0x00);
    EXPECT_EQ(packets[1][5], 0x12);
    EXPECT_EQ(packets[1][7], 2);
    EXPECT_EQ(packets[2][7], 3);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x202), 0x101112);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x300), 0xBEEF);
    EXPECT_EQ(MV620Sim_GetConfigWord(0x13), 0x102667); // records 38 and 39: 0x1026, 0x67
}

TEST_F(Download, EmptySectionsAndMissingEndMarker) {
    const std::string body = section(0, 0x4010, {}) + section(2, 0x4010, {0x1111, 0x2222});
    writeImage(body + kEnd);
    EXPECT_EQ(LV_Download(), 1);
    const auto withMarker = packetsSent();
    MV620Sim_Reset();
    MV620Sim_SetVirtualClock(1, 65536);
    writeImage(body);
    EXPECT_EQ(LV_Download(), 1);
    EXPECT_EQ(packetsSent(), withMarker) << "the end of the file between sections ends the image";
    writeImage(body + "FFFF\r\n");
    EXPECT_EQ(LV_Download(), 1) << "the file may end right after the end marker";
}

TEST_F(Download, MissingFileAfterTheAnnouncement) {
    EXPECT_EQ(Do_Download(nullptr), 0);
    const auto packets = packetsSent();
    ASSERT_EQ(packets.size(), 1U);
    EXPECT_EQ(packets[0][0], 16);
    EXPECT_EQ(messageCodes(), (std::vector<std::uint32_t>{kSetStep}));
}

// Anything by the image's name that is not a regular file is a file that cannot be opened: a
// directory, and a FIFO with no writer, which would otherwise hold the download in its open for
// good.
TEST_F(Download, OnlyARegularFileIsAnImage) {
    std::filesystem::create_directory("acq620m_2189.idm");
    EXPECT_EQ(LV_Download(), 0);
    std::filesystem::remove("acq620m_2189.idm");
#if !defined(_WIN32)
    ASSERT_EQ(::mkfifo("acq620m_2189.idm", 0600), 0);
    std::atomic<bool> done{false};
    int result = -1;
    std::thread download([&] {
        result = LV_Download();
        done = true;
    });
    const bool returned = eventually([&] { return done.load(); });
    if (!returned) { // a writer lets a blocked open go through, so the test ends
        const int writer = ::open("acq620m_2189.idm", O_WRONLY | O_NONBLOCK);
        if (writer >= 0) {
            ::close(writer);
        }
    }
    download.join();
    EXPECT_TRUE(returned) << "the download waited for a writer";
    EXPECT_EQ(result, 0);
#endif
    for (const auto& packet : packetsSent()) {
        EXPECT_EQ(packet[0], 16) << "only announcements, no data packet";
    }
}

TEST_F(Download, NoInstrumentSendsNothingAndNoMessage) {
    writeImage(kWorkedExample);
    for (const int presence : {MV620SIM_ABSENT, MV620SIM_FOREIGN}) {
        MV620Sim_SetPresence(presence);
        EXPECT_EQ(Do_Download(nullptr), 0);
        EXPECT_EQ(LV_Download(), 0);
    }
    EXPECT_EQ(MV620Sim_GetPacketCount(), 0);
    EXPECT_EQ(MV620Sim_GetMessageCount(), 0);
}

TEST_F(Download, FailingDataPacketEndsTheDownloadAtOnce) {
    writeImage(kWorkedExample);
    for (const bool failWrite : {true, false}) {
        MV620Sim_Reset();
        MV620Sim_SetVirtualClock(1, 65536);
        if (failWrite) {
            MV620Sim_FailPacketWrite(17, 2);
        } else {
            MV620Sim_FailResponseRead(17, 2);
        }
        EXPECT_EQ(Do_Download(nullptr), 0);
        EXPECT_EQ(messageCodes(), (std::vector<std::uint32_t>{kSetStep, kStepIt}))
            << "no message for the failed packet, no final position";
        EXPECT_EQ(MV620Sim_GetPacketCount(), 3);
    }
}

// A malformed image is refused before any of it is sent.
TEST_F(Download, MalformedImagesSendNoDataPacket) {
    const std::string cases[] = {
        "",                                                // empty
        records({"0003", "4100"}),                         // ends inside a header
        records({"0003", "4100", "0000", "1234"}),         // ends inside the data
        records({"0002", "4100", "0000", "12G4", "0001"}), // not hexadecimal
        records({"0001", "4100", "0000"}) + "12345\n",     // no CR LF
        records({"0001", "4100", "0000", "1234"}) + "00",  // a record cut short
        records({"0001", "4100", "0000", " 123"}),         // blank instead of a digit
        section(3, 0x0000, {1, 2, 3}) + kEnd,              // 24-bit: the third word lacks a record
    };
    for (const std::string& image : cases) {
        MV620Sim_Reset();
        MV620Sim_SetVirtualClock(1, 65536);
        writeImage(image);
        EXPECT_EQ(Do_Download(nullptr), 0) << image;
        EXPECT_EQ(MV620Sim_GetPacketCount(), 1) << "only the announcement: " << image;
        EXPECT_EQ(messageCodes(), (std::vector<std::uint32_t>{kSetStep}));
    }
}

TEST_F(Download, ImageWithoutDataWordsClaimsNoSuccess) {
    for (const std::string& image : {kEnd, section(0, 0x4000, {}) + kEnd}) {
        writeImage(image);
        EXPECT_EQ(LV_Download(), 0);
    }
}

TEST_F(Download, RefusedWhileAcquiring) {
    writeImage(kWorkedExample);
    Set_Sample_Rate(0, 10);
    streamBlocks(1);
    EXPECT_EQ(Do_Download(nullptr), 0);
    EXPECT_EQ(LV_Download(), 0);
    EXPECT_EQ(packetsSent().size(), 1U) << "only the start packet";
    EXPECT_EQ(MV620Sim_GetMessageCount(), 0);
    Stop_Acquisition();
    EXPECT_EQ(LV_Download(), 1);
}

TEST(ConfigImage, ParsesEitherCaseAndIgnoresBitFifteen) {
    const std::string file = records({"0001", "C0aB", "ffff", "beEF"});
    const auto sections = control::parseConfigImage(
        {reinterpret_cast<const std::uint8_t*>(file.data()), file.size()});
    ASSERT_TRUE(sections.has_value());
    ASSERT_EQ(sections->size(), 1U);
    EXPECT_EQ((*sections)[0].address, 0x00AB);
    EXPECT_TRUE((*sections)[0].sixteenBit);
    EXPECT_EQ((*sections)[0].words, (std::vector<std::uint32_t>{0xBEEF}));
}

TEST(ConfigImage, NamesEachFault) {
    const std::pair<std::string, control::ImageFault> cases[] = {
        {"", control::ImageFault::Empty},
        {records({"0003", "4100"}), control::ImageFault::EndsInHeader},
        {records({"0003", "4100", "0000", "1234"}), control::ImageFault::EndsInData},
        {records({"00x3"}), control::ImageFault::BadRecord},
        {kWorkedExample, control::ImageFault::None},
    };
    for (const auto& [file, fault] : cases) {
        control::ImageFault found = control::ImageFault::TooLarge;
        control::parseConfigImage({reinterpret_cast<const std::uint8_t*>(file.data()), file.size()},
                                  &found);
        EXPECT_EQ(found, fault) << file;
    }
}

} // namespace
} // namespace mv620::testing
