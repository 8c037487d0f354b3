#include <cstring>

#include "SimTestUtil.h"

using namespace simtest;
using nimbra::sim::Mode;

namespace {

class NetModule : public SimFixture {
protected:
    // ICHIP over the command link, then the port at 115200 8N1 and the "$$$".
    int EnterUpdateMode() {
        LinkResult r = Link(IchipFrame());
        if (r.open != 0 || Item(r.answer, "STATUS") != "0-0") return -1;
        int fd = OpenTty(Com(), 115200, false);
        if (fd < 0) return -1;
        if (ReadBytes(fd, 3, 3000) != Bytes{'$', '$', '$'}) return -1;
        return fd;
    }
    // Sends `b` and reads one prompt.
    Bytes Send(int fd, const Bytes& b, int idleMs = 1000) {
        WriteBytes(fd, b);
        return ReadBytes(fd, 1, idleMs);
    }
    static Bytes Record(std::uint32_t addr, const Bytes& data) {
        char hdr[32];
        std::snprintf(hdr, sizeof hdr, "D %x,%zx:", addr, data.size() / 2);
        Bytes r(hdr, hdr + std::strlen(hdr));
        r.insert(r.end(), data.begin(), data.end());
        return r;
    }
};

const Bytes kPrompt{'>'};

// A whole module update as the product runs it: erase, records (one of odd length),
// closing command; the store, the records and the reported version follow.
TEST_F(NetModule, StoresRecordsAndReportsTheNewVersion) {
    StartSim();
    int fd = EnterUpdateMode();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sim_->CurrentMode(), Mode::NetModuleUpdate);
    EXPECT_EQ(Link(RuinfFrame()).open, 1) << "no command link during the module's update";

    EXPECT_EQ(Send(fd, {'\r'}), kPrompt);
    EXPECT_EQ(Send(fd, {'\r'}), kPrompt) << "every CR is answered";
    Bytes erase(64, 0);
    const std::string text = "E 4,5,6,7,8,9,10,11,12,13,14,15,18,19,20,21\r";
    std::copy(text.begin(), text.end(), erase.begin());
    EXPECT_EQ(Send(fd, erase), kPrompt);

    Bytes image(5000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 13 + 5);
    const std::string tag = std::string(nimbra::sim::kNetVersionMarker) + "3.14";
    std::memcpy(image.data() + 700, tag.c_str(), tag.size() + 1);
    image.push_back(0x5A);  // odd length: the last record's count drops it, the byte still goes
    const std::uint32_t load = 0x10000000;
    for (std::size_t off = 0; off < image.size(); off += 2048) {
        Bytes chunk(image.begin() + static_cast<std::ptrdiff_t>(off),
                    image.begin() + static_cast<std::ptrdiff_t>(std::min(off + 2048, image.size())));
        ASSERT_EQ(Send(fd, Record(load + static_cast<std::uint32_t>(off), chunk)), kPrompt) << off;
    }
    Bytes web(100, 0x77);
    ASSERT_EQ(Send(fd, Record(0x100F0000, web)), kPrompt);
    WriteBytes(fd, {'S', '\r', 0});
    ::close(fd);

    for (int i = 0; i < 100 && sim_->CurrentMode() != Mode::NormalFirmware; ++i) usleep(10000);
    EXPECT_EQ(sim_->CurrentMode(), Mode::NormalFirmware);
    Bytes stored = sim_->NetBytes(0, load, 5000);
    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), image.begin()));
    EXPECT_EQ(sim_->NetBytes(0, load + 5000, 1), Bytes{0xFF}) << "the trailing odd byte is not stored";
    EXPECT_EQ(sim_->NetBytes(0, 0x100F0000, 100), web);
    auto recs = sim_->NetRecords(0);
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_EQ(recs[0], (std::pair<std::uint32_t, std::size_t>{load, 2048}));
    EXPECT_EQ(recs[2], (std::pair<std::uint32_t, std::size_t>{load + 4096, 904}));
    EXPECT_EQ(sim_->LastNetEraseCommand(0), std::string(erase.begin(), erase.end()));

    LinkResult r = Link(RuinfFrame());
    ASSERT_EQ(r.open, 0);
    EXPECT_EQ(Item(r.answer, "NETV"), "3.14");

    // The evidence on disk holds the same bytes.
    const std::string ev = bus_ + "/evidence";
    ASSERT_TRUE(sim_->WriteEvidence(ev));
    EXPECT_EQ(std::filesystem::file_size(ev + "/flash.bin"), nimbra::sim::kFlashSize);
    EXPECT_EQ(std::filesystem::file_size(ev + "/net-10000000.bin"), 5000u);
    EXPECT_EQ(std::filesystem::file_size(ev + "/net-100f0000.bin"), 100u);
    EXPECT_EQ(std::filesystem::file_size(ev + "/net-erase.bin"), 64u);
    EXPECT_GT(std::filesystem::file_size(ev + "/transcript.txt"), 0u);

    // A web-only erase leaves the firmware area, and so the reported version, alone.
    fd = EnterUpdateMode();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Send(fd, {'\r'}), kPrompt);
    Bytes eraseWeb(64, 0);
    const std::string webText = "E 18,19,20,21\r";
    std::copy(webText.begin(), webText.end(), eraseWeb.begin());
    EXPECT_EQ(Send(fd, eraseWeb), kPrompt);
    EXPECT_EQ(sim_->NetBytes(0, 0x100F0000, 1), Bytes{0xFF});
    EXPECT_EQ(sim_->NetBytes(0, load, 1), Bytes{image[0]});
    ::close(fd);
    // A reset also ends the update mode; the restarted firmware still reports 3.14.
    ASSERT_EQ(Gpio(1, 0), 0);
    ASSERT_EQ(Gpio(1, 1), 0);
    EXPECT_EQ(Item(Link(RuinfFrame()).answer, "NETV"), "3.14");
}

// "$$$" waits for the product's port: it is not lost to the purge that follows the open.
TEST_F(NetModule, DollarFollowsTheOpenOfThePort) {
    nimbra::sim::Timing t;
    t.dollarDelayMs = 0;
    StartSim({}, t);
    ASSERT_EQ(Item(Link(IchipFrame()).answer, "STATUS"), "0-0");
    usleep(20000);
    int fd = OpenTty(Com(), 115200, false);  // opens, then purges
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ReadBytes(fd, 3, 3000), (Bytes{'$', '$', '$'}));
    ::close(fd);
}

}  // namespace
