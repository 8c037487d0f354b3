#include <random>

#include "SimTestUtil.h"

using namespace simtest;
using nimbra::sim::Mode;

namespace {

const Bytes kAckStatus{0x02, 0x01, 0x06, 0xF9, 0x03};

class Robustness : public SimFixture {};

// Garbage, malformed frames and bytes at the wrong speed get refusals or silence,
// never a crash, and the boot loader still synchronises afterwards.
TEST_F(Robustness, BadInputIsRefusedOrIgnoredAndRecorded) {
    StartSim();
    // Garbage on the sockets: a half request on the latch, junk on the command link.
    {
        int s = nimbra::bus::ConnectUnix(nimbra::bus::GpioSocketPath(bus_, 3));
        ASSERT_GE(s, 0);
        std::uint8_t half[3] = {3, 0, 0};
        nimbra::bus::WriteAll(s, half, 3, 1000);
        ::close(s);
    }
    EXPECT_EQ(Link(Bytes{'X', 'Y', 1, 2, 3}).r, -1) << "an unreadable frame is a receive failure";
    Bytes badSum = RuinfFrame();
    badSum.back() ^= 1;
    EXPECT_EQ(Link(badSum).r, -1);
    EXPECT_EQ(Item(Link(CommandFrame("WHAT:")).answer, "STATUS"), "1-1") << "an unknown command is refused";
    EXPECT_EQ(Item(Link(CommandFrame(std::string("ICHIP:MODE=\x01\x00" "2", 14))).answer, "STATUS"), "0-1");
    EXPECT_EQ(sim_->CurrentMode(), Mode::NormalFirmware);

    // Bytes to the normal firmware are ignored.
    int fd = OpenTty(Com(), 9600);
    ASSERT_GE(fd, 0);
    WriteBytes(fd, Bytes(100, 0x01));
    EXPECT_TRUE(ReadBytes(fd, 1, 100).empty());
    ::close(fd);

    fd = EnterBootLoader();
    ASSERT_GE(fd, 0);
    const struct {
        const char* what;
        Bytes frame;
        std::size_t answer;
        std::uint8_t status;  // expected status byte, 0 for silence
    } cases[] = {
        {"bad SUM", {0x01, 0x01, 0x00, 0xFE, 0x03}, 5, 0x07},
        {"no ETX", {0x01, 0x01, 0x00, 0xFF, 0x17}, 5, 0x07},
        {"unknown command", Frame(0x01, {0x77}, 0x03), 5, 0x04},
        {"reset with data", Frame(0x01, {0x00, 0x01}, 0x03), 5, 0x05},
        {"range past the flash", Frame(0x01, {0x40, 0x07, 0xFF, 0x00, 0x08, 0x07, 0xFF}, 0x03), 5, 0x05},
        {"unaligned range", Frame(0x01, {0x13, 0x00, 0x00, 0x10, 0x00, 0x07, 0xFF}, 0x03), 5, 0x05},
        {"data frame without a command", Frame(0x02, Bytes(256, 1), 0x03), 5, 0},
        {"bare bytes", {0x55, 0xAA, 0x00, 0x03}, 5, 0},
    };
    for (const auto& c : cases) {
        Bytes st = Exchange(fd, c.frame, c.answer);
        if (c.status == 0) {
            EXPECT_TRUE(st.empty()) << c.what;
        } else {
            ASSERT_EQ(st.size(), 5u) << c.what;
            EXPECT_EQ(st[2], c.status) << c.what;
            EXPECT_TRUE(SumOk(st)) << c.what;
        }
    }
    // A frame cut short is dropped after silence, then the line works again.
    WriteBytes(fd, {0x01, 0x07, 0x40, 0x00});
    ReadBytes(fd, 4);
    usleep(700000);
    EXPECT_EQ(Exchange(fd, Frame(0x01, {0x00}, 0x03), 5), kAckStatus);

    // Random noise, then a frame that swallows part of it; afterwards a sync still works.
    std::mt19937 rng(7);
    Bytes noise(3000);
    for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
    WriteBytes(fd, noise);
    ReadBytes(fd, noise.size() + 4096, 700);
    usleep(600000);
    ::tcflush(fd, TCIFLUSH);
    EXPECT_EQ(Exchange(fd, Frame(0x01, {0x00}, 0x03), 5), kAckStatus);
    ::close(fd);

    // At 115200 while the line still runs at 9600: garbage, no echo, no answer.
    fd = OpenTty(Com(), 115200);
    ASSERT_GE(fd, 0);
    WriteBytes(fd, Frame(0x01, {0x00}, 0x03));
    EXPECT_TRUE(ReadBytes(fd, 10, 200).empty());
    ::close(fd);
    fd = OpenTty(Com(), 9600);
    EXPECT_EQ(Exchange(fd, Frame(0x01, {0x00}, 0x03), 5), kAckStatus);
    ::close(fd);

    // The network module ignores stray bytes between commands and bad headers.
    ASSERT_EQ(Gpio(3, 0), 0);
    ASSERT_EQ(Gpio(3, 1), 0);
    ASSERT_EQ(Item(Link(IchipFrame()).answer, "STATUS"), "0-0");
    fd = OpenTty(Com(), 115200, false);
    ASSERT_EQ(ReadBytes(fd, 3, 3000), (Bytes{'$', '$', '$'}));
    WriteBytes(fd, {0, 0, 'x', 'y', 'D', ' ', 'z', 'z', ':', 0});
    EXPECT_EQ(Exchange(fd, {}, 0), Bytes{});
    WriteBytes(fd, {'\r'});
    EXPECT_EQ(ReadBytes(fd, 1), Bytes{'>'});
    WriteBytes(fd, Bytes(200, 'Q'));
    WriteBytes(fd, {'\r'});
    EXPECT_EQ(ReadBytes(fd, 1), Bytes{'>'});
    ::close(fd);

    const auto t = sim_->Transcript(0);
    auto has = [&](const char* what) {
        return std::any_of(t.begin(), t.end(), [&](const std::string& l) { return l.find(what) != std::string::npos; });
    };
    EXPECT_TRUE(has("bad SUM refused"));
    EXPECT_TRUE(has("unknown command refused"));
    EXPECT_TRUE(has("incomplete frame dropped"));
    EXPECT_TRUE(has("garbage byte"));
    EXPECT_TRUE(has("malformed record header"));
    EXPECT_TRUE(has("unreadable frame"));
}

}  // namespace
