#include <cstring>
#include <fstream>
#include <sstream>

#include "SimTestUtil.h"

using namespace simtest;

namespace {

std::string Hex(const Bytes& b) {
    std::string s;
    char x[4];
    for (auto c : b) {
        std::snprintf(x, sizeof x, "%02X ", c);
        s += x;
    }
    return s;
}

class FaultProbe : public SimFixture {
public:
    // Everything the boot loader sends from the announcement through one programmed
    // block, read with short idle waits so that silence shows as missing bytes.
    std::string Loader() {
        Bytes all;
        int fd = OpenTty(Com(), 9600);
        if (fd < 0) return "open " + std::to_string(fd);
        Gpio(3, 0);
        Gpio(3, 2);
        Gpio(3, 3);
        auto x = [&](const Bytes& f, std::size_t n) {
            WriteBytes(fd, f);
            Bytes got = ReadBytes(fd, f.size() + n, 150);
            all.insert(all.end(), got.begin(), got.end());
            all.push_back(0xEE);  // marks the exchange boundary
        };
        Bytes a = ReadBytes(fd, 1, 150);
        all.insert(all.end(), a.begin(), a.end());
        x({0x00}, 0);
        x({0x00}, 0);
        x(Frame(0x01, {0x00}, 0x03), 5);
        x(Frame(0x01, {0x9A, 0x00, 0x00, 0x0A, 0x01}, 0x03), 5);
        ::close(fd);
        usleep(30000);  // the product's pause before it reopens
        fd = OpenTty(Com(), 115200);
        if (fd < 0) return Hex(all) + " reopen " + std::to_string(fd);
        x(Frame(0x01, {0x00}, 0x03), 5);
        x(Frame(0x01, {0xC0}, 0x03), 33);
        x(Frame(0x01, {0x20}, 0x03), 5);
        x(Frame(0x01, {0x40, 0, 0, 0, 0, 0x07, 0xFF}, 0x03), 5);
        for (int k = 0; k < 8; ++k) x(Frame(0x02, Bytes(256, static_cast<std::uint8_t>(k)), k == 7 ? 0x03 : 0x17), k == 7 ? 11 : 6);
        ::close(fd);
        char proc[64];
        std::snprintf(proc, sizeof proc, " processing=%.3f", sim_->GetStats().processingSeconds);
        return Hex(all) + proc + (std::filesystem::exists(Com()) ? "" : " vanished");
    }
    std::string Identity() {
        std::ifstream in(bus_ + "/COM3.usb");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string GpioWrite() { return std::to_string(Gpio(3, 0)) + " mode " + std::to_string(static_cast<int>(sim_->CurrentMode())); }
    std::string LinkAnswers() {
        std::string s;
        for (const Bytes& f : {RuinfFrame(), EbstsFrame()}) {
            LinkResult r = Link(f, 250);
            s += "open=" + std::to_string(r.open) + " r=" + std::to_string(r.r) + (r.silent ? " silent " : " ") + Hex(r.answer) + "| ";
        }
        return s;
    }
    std::string NetModule() {
        std::string s = "status=" + Item(Link(IchipFrame()).answer, "STATUS");
        int fd = OpenTty(Com(), 115200, false);
        if (fd < 0) return s + " open failed";
        Bytes all = ReadBytes(fd, 5, 300);
        auto x = [&](const Bytes& b) {
            WriteBytes(fd, b);
            Bytes got = ReadBytes(fd, 1, 150);
            all.insert(all.end(), got.begin(), got.end());
            all.push_back(0xEE);
        };
        x({'\r'});
        x({'\r'});
        Bytes erase(64, 0);
        std::memcpy(erase.data(), "E 4,5\r", 6);
        x(erase);
        for (int i = 0; i < 3; ++i) {
            Bytes rec{'D', ' ', '1', '0', '0', '0', '0', '0', '0', '0', ',', '2', ':', 1, 2, 3, 4};
            rec[9] = static_cast<std::uint8_t>('0' + i);
            x(rec);
            x({'\r'});
        }
        ::close(fd);
        return s + " " + Hex(all);
    }
};

struct Case {
    const char* fault;
    std::string (FaultProbe::*probe)();
};


// Each fault family changes what the simulator sends compared with the same
// exchange on a healthy logger.
void PrintTo(const Case& c, std::ostream* os) { *os << c.fault; }

class FaultFamilies : public FaultProbe, public ::testing::WithParamInterface<Case> {};

TEST_P(FaultFamilies, ChangeWhatTheLoggerSends) {
    const Case c = GetParam();
    StartSim();
    const std::string healthy = (this->*c.probe)();
    sim_->Stop();
    sim_.reset();
    StartSim();
    ASSERT_TRUE(sim_->AddFault(0, c.fault)) << c.fault;
    const std::string faulty = (this->*c.probe)();
    EXPECT_NE(healthy, faulty) << c.fault << "\nhealthy: " << healthy;
    // Cleared faults leave a healthy logger behind (a fresh power cycle for the loader).
    sim_->ClearFaults(0);
    if (c.probe == &FaultProbe::Identity || c.probe == &FaultProbe::LinkAnswers) {
        EXPECT_EQ((this->*c.probe)(), healthy) << c.fault;
    }
}

const Case kCases[] = {
    {"nak:cmd=20", &FaultProbe::Loader},
    {"silence:cmd=00,times=2", &FaultProbe::Loader},
    {"badsum:cmd=c0", &FaultProbe::Loader},
    {"etb:cmd=40,block=0", &FaultProbe::Loader},
    {"nak:cmd=40,block=0,frame=3", &FaultProbe::Loader},
    {"badsum:cmd=40,frame=8", &FaultProbe::Loader},
    {"slow=400:cmd=20", &FaultProbe::Loader},
    {"noecho:cmd=c0", &FaultProbe::Loader},
    {"noecho", &FaultProbe::Loader},
    {"vanish:cmd=40,block=0,frame=5", &FaultProbe::Loader},
    {"announce=55", &FaultProbe::Loader},
    {"announce=none", &FaultProbe::Loader},
    {"port-held", &FaultProbe::Loader},
    {"port-held:at=reopen", &FaultProbe::Loader},
    {"gpio-fail", &FaultProbe::GpioWrite},
    {"product-string=Other Bridge", &FaultProbe::Identity},
    {"usb-serial=9999", &FaultProbe::Identity},
    {"link-open", &FaultProbe::LinkAnswers},
    {"link-recv:cmd=EBSTS", &FaultProbe::LinkAnswers},
    {"link-silent", &FaultProbe::LinkAnswers},
    {"link-status=0-1", &FaultProbe::LinkAnswers},
    {"link-missing=FWV", &FaultProbe::LinkAnswers},
    {"link-missing=NETV", &FaultProbe::LinkAnswers},
    {"link-missing=AC", &FaultProbe::LinkAnswers},
    {"link-ac=2", &FaultProbe::LinkAnswers},
    {"link-slow=1000:cmd=RUINF", &FaultProbe::LinkAnswers},
    {"no-dollar", &FaultProbe::NetModule},
    {"dollar-prefix", &FaultProbe::NetModule},
    {"no-prompt:at=first", &FaultProbe::NetModule},
    {"no-prompt:at=erase", &FaultProbe::NetModule},
    {"no-prompt:record=1", &FaultProbe::NetModule},
    {"no-prompt:record=0,pokes=1", &FaultProbe::NetModule},
    {"link-status=0-1:cmd=ICHIP", &FaultProbe::NetModule},
};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    std::string n;
    for (const char* p = info.param.fault; *p; ++p) n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(All, FaultFamilies, ::testing::ValuesIn(kCases), CaseName);

TEST(FaultSpecs, UnknownOrMalformedSpecsAreRefused) {
    nimbra::sim::SimConfig c;
    nimbra::testsupport::TempDir bus("nsim");
    ASSERT_FALSE(bus.path().empty());
    c.busDir = bus.path();
    c.loggers.emplace_back();
    nimbra::sim::Simulator sim(c);
    ASSERT_EQ(sim.Start(), 0);
    for (const char* bad : {"bogus", "slow", "slow=x", "nak:cmd=zz", "nak:frame=9", "announce=123", "nak:when=1",
                            "link-missing=XYZ", "port-held:at=later", "no-prompt:at=never", "nak=1", ""})
        EXPECT_FALSE(sim.AddFault(0, bad)) << bad;
    EXPECT_FALSE(sim.AddFault(1, "nak")) << "no such logger";
    EXPECT_TRUE(sim.AddFault(0, "no-prompt:at=record=3"));
    sim.Stop();
}

}  // namespace
