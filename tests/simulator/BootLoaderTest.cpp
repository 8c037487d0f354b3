#include "SimTestUtil.h"

using namespace simtest;
using nimbra::sim::Mode;

namespace {

const Bytes kAckStatus{0x02, 0x01, 0x06, 0xF9, 0x03};

Bytes BlockData(std::uint8_t seed) {
    Bytes d(2048);
    for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return d;
}

Bytes DataFrame(const Bytes& block, int k) {
    Bytes payload(block.begin() + k * 256, block.begin() + (k + 1) * 256);
    return Frame(0x02, payload, k == 7 ? 0x03 : 0x17);
}

class BootLoader : public SimFixture {};

// The block-0 programming exchange byte by byte, as the library performs it, then
// a verify of the same data and of other data.
TEST_F(BootLoader, ProgramsAndVerifiesBlockZeroOverThePty) {
    StartSim();
    int fd = EnterFastBootLoader();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sim_->CurrentMode(), Mode::BootLoader);

    EXPECT_EQ(Exchange(fd, Frame(0x01, {0x00}, 0x03), 5), kAckStatus);
    Bytes sig = Exchange(fd, Frame(0x01, {0xC0}, 0x03), 33);
    ASSERT_EQ(sig.size(), 33u);
    EXPECT_EQ(Bytes(sig.begin(), sig.begin() + 5), kAckStatus);
    EXPECT_EQ(sig[5], 0x02);
    EXPECT_EQ(sig[6], 24);
    EXPECT_EQ(sig.back(), 0x03);
    EXPECT_TRUE(SumOk(Bytes(sig.begin() + 5, sig.end())));
    EXPECT_EQ(Exchange(fd, Frame(0x01, {0x20}, 0x03), 5), kAckStatus);

    const Bytes program{0x01, 0x07, 0x40, 0x00, 0x00, 0x00, 0x00, 0x07, 0xFF, 0xB3, 0x03};
    ASSERT_EQ(Frame(0x01, {0x40, 0, 0, 0, 0, 0x07, 0xFF}, 0x03), program);
    EXPECT_EQ(Exchange(fd, program, 5), kAckStatus);
    const Bytes block = BlockData(0x31);
    for (int k = 0; k < 8; ++k) {
        Bytes st = Exchange(fd, DataFrame(block, k), 6);
        EXPECT_EQ(st, (Bytes{0x02, 0x02, 0x06, 0x06, 0xF2, 0x03})) << "frame " << k;
        EXPECT_TRUE(SumOk(st));
    }
    EXPECT_EQ(ReadBytes(fd, 5), kAckStatus) << "the block's final status";

    Bytes flash = sim_->Flash();
    ASSERT_EQ(flash.size(), nimbra::sim::kFlashSize);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + 2048, flash.end(), [](std::uint8_t b) { return b == 0xFF; }));

    // Verify: the same data matches, other data is refused frame by frame.
    const Bytes verify{0x01, 0x07, 0x13, 0x00, 0x00, 0x00, 0x00, 0x07, 0xFF, 0xE0, 0x03};
    EXPECT_EQ(Exchange(fd, verify, 5), kAckStatus);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(Exchange(fd, DataFrame(block, k), 6)[3], 0x06) << "frame " << k;
    EXPECT_EQ(ReadBytes(fd, 1, 100).size(), 0u) << "verify has no final status";

    EXPECT_EQ(Exchange(fd, verify, 5), kAckStatus);
    Bytes other = block;
    other[300] ^= 0x55;
    Bytes st0 = Exchange(fd, DataFrame(other, 0), 6);
    Bytes st1 = Exchange(fd, DataFrame(other, 1), 6);
    EXPECT_EQ(st0[3], 0x06);
    ASSERT_EQ(st1.size(), 6u);
    EXPECT_EQ(st1[2], 0x06);
    EXPECT_NE(st1[3], 0x06) << "the frame holding the changed byte is refused";
    EXPECT_TRUE(SumOk(st1));

    // Programming over programmed cells is refused and changes nothing.
    EXPECT_EQ(Exchange(fd, program, 5), kAckStatus);
    Bytes again = Exchange(fd, DataFrame(BlockData(0x99), 0), 6);
    EXPECT_NE(again[3], 0x06);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), sim_->Flash().begin()));
    ::close(fd);

    // Leaving boot mode and releasing reset starts the normal firmware; flash stays.
    const int boots = sim_->BootCount();
    EXPECT_EQ(Gpio(3, 2), 0);
    EXPECT_EQ(Gpio(3, 0), 0);
    EXPECT_EQ(sim_->CurrentMode(), Mode::Reset);
    EXPECT_EQ(Gpio(1, 1), 0);
    EXPECT_EQ(sim_->CurrentMode(), Mode::NormalFirmware);
    EXPECT_EQ(sim_->BootCount(), boots + 1);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), sim_->Flash().begin()));
}

// What the logger reports follows the images it holds, across restarts and replugs.
TEST_F(BootLoader, ReportedVersionsFollowTheFlash) {
    nimbra::sim::LoggerConfig cfg;
    cfg.firmVer = "1.10";
    StartSim(cfg);
    LinkResult r = Link(RuinfFrame());
    ASSERT_EQ(r.open, 0);
    EXPECT_EQ(Item(r.answer, "FWV"), "1.10");
    EXPECT_EQ(Item(r.answer, "STATUS"), "0-0");

    int fd = EnterFastBootLoader();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Link(RuinfFrame()).open, 1) << "no command link while the boot loader runs";
    EXPECT_EQ(Exchange(fd, Frame(0x01, {0x20}, 0x03), 5), kAckStatus);
    Bytes block(2048, 0xFF);
    const std::string tag = std::string(nimbra::sim::kFirmVersionMarker) + "7.42";
    std::copy(tag.begin(), tag.end(), block.begin() + 1000);
    block[1000 + tag.size()] = 0;
    Bytes cmd = Frame(0x01, {0x40, 0x00, 0x08, 0x00, 0x00, 0x0F, 0xFF}, 0x03);  // block 1
    EXPECT_EQ(Exchange(fd, cmd, 5), kAckStatus);
    for (int k = 0; k < 8; ++k) Exchange(fd, DataFrame(block, k), 6);
    EXPECT_EQ(ReadBytes(fd, 5), kAckStatus);
    ::close(fd);
    ASSERT_EQ(Gpio(3, 0), 0);
    ASSERT_EQ(Gpio(1, 0), 0);  // KorvatSarnUpdate_Reset(port, 1, 0)
    ASSERT_EQ(Gpio(1, 1), 0);
    EXPECT_EQ(Item(Link(RuinfFrame()).answer, "FWV"), "7.42");

    sim_->Unplug(0);
    EXPECT_FALSE(std::filesystem::exists(Com()));
    sim_->Plug(0);
    EXPECT_TRUE(std::filesystem::exists(Com()));
    EXPECT_EQ(Item(Link(RuinfFrame()).answer, "FWV"), "7.42");
    EXPECT_EQ(Item(Link(EbstsFrame()).answer, "AC"), "1");
    sim_->SetAc(0, "0");
    EXPECT_EQ(Item(Link(EbstsFrame()).answer, "AC"), "0");
}

}  // namespace
