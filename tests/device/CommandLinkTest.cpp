// The command-link library over real Unix sockets, and the queries facing answers
// that a well-behaved logger never sends.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <random>

#include "CommandExchange.h"
#include "DeviceQueries.h"
#include "DeviceTestSupport.h"
#include "KorvatSarnComm.h"

namespace nimbra {
namespace {

using test::LengthPrefixed;
using test::LogRecorder;
using test::MakeAnswer;
using test::PeerScript;
using test::ScriptedLink;
using test::TempBus;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kPid = 0x0d5e;

class CommandLink : public ::testing::Test {
protected:
    void SetUp() override { ResetGlobalsForTest(); }
    void TearDown() override { ResetGlobalsForTest(); }
};

TEST(CommandLinkLibrary, ExportsTheFiveFunctionsOnly) {
    void* lib = dlopen(KORVATSARNCOMM_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    for (const char* name : {"KorvatSarn_GetSerial", "KorvatSarn_OpenUSBComm", "KorvatSarn_SendComm",
                             "KorvatSarn_RecvComm", "KorvatSarn_CloseComm"})
        EXPECT_NE(dlsym(lib, name), nullptr) << name;
    // The bus helpers linked into it stay private.
    EXPECT_EQ(dlsym(lib, "_ZN6nimbra3bus11ConnectUnixERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"), nullptr);
    dlclose(lib);
}

TEST_F(CommandLink, WithoutAVirtualBusNoLoggerIsFound) {
    unsetenv(bus::kEnvVar);
    std::uint32_t serials[256] = {};
    KorvatSarn_GetSerial(serials, 256, kPid, 1);
    EXPECT_EQ(serials[0], 0u);
    EXPECT_NE(KorvatSarn_OpenUSBComm(4660), 0);
    unsigned char buf[16] = {};
    EXPECT_LT(KorvatSarn_RecvComm(4660, buf, sizeof buf, 0), 0);
    EXPECT_LT(KorvatSarn_SendComm(4660, buf, 12), 0);
    EXPECT_LT(KorvatSarn_CloseComm(4660), 0);
}

TEST_F(CommandLink, StandbyWithSerialZeroAndNoLoggerFailsSilently) {
    LogRecorder log;
    unsetenv(bus::kEnvVar);
    EXPECT_EQ(Sb_Confirm_Standby(), -1);
    {
        TempBus empty;
        EXPECT_EQ(Sb_Confirm_Standby(), -1);
    }
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(g_deviceSerial.load(), 0u);
    EXPECT_EQ(g_lastErrorText, "");
}

TEST_F(CommandLink, GetSerialListsTheLoggersOfOneProduct) {
    TempBus bus;
    ScriptedLink a(bus.Dir(), kPid, 4660), b(bus.Dir(), kPid, 5), other(bus.Dir(), 0x0d5f, 7);
    ASSERT_TRUE(a.Ok() && b.Ok() && other.Ok());
    std::uint32_t serials[256] = {};
    EXPECT_EQ(KorvatSarn_GetSerial(serials, 256, kPid, 1), 2);
    EXPECT_EQ(serials[0], 5u);
    EXPECT_EQ(serials[1], 4660u);
    EXPECT_EQ(serials[2], 0u);
    std::uint32_t one[2] = {0, 0};
    EXPECT_EQ(KorvatSarn_GetSerial(one, 1, kPid, 1), 1);
    EXPECT_EQ(one[1], 0u);  // never beyond the capacity
}

TEST_F(CommandLink, OneExchangeCarriesTheFrameAndTheAnswer) {
    TempBus bus;
    ScriptedLink link(bus.Dir(), kPid, 4660);
    ASSERT_TRUE(link.Ok());
    const Bytes answer = MakeAnswer("RUINF:", {{"STATUS", "0-0"}, {"FWV", "1.31"}});
    link.Serve({PeerScript{0, LengthPrefixed(static_cast<int>(answer.size()), answer)}});

    const Bytes frame = BuildCommandFrame(RuinfCommandData());
    ASSERT_EQ(KorvatSarn_OpenUSBComm(4660), 0);
    EXPECT_EQ(KorvatSarn_SendComm(4660, frame.data(), static_cast<int>(frame.size())), 0);
    Bytes area(256, 0);
    EXPECT_EQ(KorvatSarn_RecvComm(4660, area.data(), 256, 0), static_cast<int>(answer.size()));
    EXPECT_EQ(KorvatSarn_CloseComm(4660), 0);
    EXPECT_TRUE(std::equal(answer.begin(), answer.end(), area.begin()));
    EXPECT_TRUE(std::all_of(area.begin() + static_cast<long>(answer.size()), area.end(), [](auto b) { return b == 0; }));
    ASSERT_EQ(link.Requests().size(), 1u);
    EXPECT_EQ(link.Requests()[0], frame);
}

// Receive results for the answers a device might send.
TEST_F(CommandLink, ReceiveNeverWritesPastTheCapacity) {
    TempBus bus;
    ScriptedLink link(bus.Dir(), kPid, 4660);
    ASSERT_TRUE(link.Ok());
    Bytes big(1000);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7 + 1);
    link.Serve({
        PeerScript{0, LengthPrefixed(1000, big)},                       // longer than the area
        PeerScript{0, LengthPrefixed(-1, {})},                          // refused
        PeerScript{0, LengthPrefixed(100, Bytes(10, 0x41)), true, true},  // cut short, then closed
        PeerScript{0, LengthPrefixed(INT32_MAX, Bytes(300, 0x42))},     // absurd length
        PeerScript{0, {0x05, 0x00}},                                    // half a length field
        PeerScript{3, {}},                                              // open refused
    });
    const Bytes frame = BuildCommandFrame(RuinfCommandData());
    auto exchange = [&](Bytes& area) {
        if (KorvatSarn_OpenUSBComm(4660) != 0) return -100;
        KorvatSarn_SendComm(4660, frame.data(), static_cast<int>(frame.size()));
        const int got = KorvatSarn_RecvComm(4660, area.data(), 256, 0);
        KorvatSarn_CloseComm(4660);
        return got;
    };
    Bytes area(256 + 16, 0xEE);  // 16 guard bytes after the capacity
    EXPECT_EQ(exchange(area), 256);
    EXPECT_TRUE(std::equal(area.begin(), area.begin() + 256, big.begin()));
    EXPECT_TRUE(std::all_of(area.begin() + 256, area.end(), [](auto b) { return b == 0xEE; }));
    EXPECT_LT(exchange(area), 0);
    EXPECT_LT(exchange(area), 0);
    std::fill(area.begin(), area.end(), 0xEE);
    EXPECT_EQ(exchange(area), 256);
    EXPECT_TRUE(std::all_of(area.begin() + 256, area.end(), [](auto b) { return b == 0xEE; }));
    EXPECT_LT(exchange(area), 0);  // silence after half a length field: the 2 s time-out
    EXPECT_EQ(exchange(area), -100);
}

// A logger that never takes the connection, or takes it and says nothing: the
// open gives up instead of hanging.
TEST_F(CommandLink, OpenGivesUpOnAPeerThatNeverGreets) {
    TempBus bus;
    const std::string path = bus::CommandLinkPath(bus.Dir(), kPid, 4660);
    sockaddr_un addr;
    ASSERT_TRUE(bus::UnixAddress(path, addr));
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    EXPECT_EQ(KorvatSarn_OpenUSBComm(4660), -1);  // queued, never greeted
    std::vector<int> fillers;  // fill the backlog so that a connect would block
    for (int i = 0; i < 4; ++i) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers.push_back(fd);
    }
    EXPECT_EQ(KorvatSarn_OpenUSBComm(4660), -1);
    for (int fd : fillers) close(fd);
    close(listener);
}

class HostileAnswers : public CommandLink {
protected:
    void SetUp() override {
        CommandLink::SetUp();
        link_ = std::make_unique<ScriptedLink>(bus_.Dir(), kPid, 4660);
        ASSERT_TRUE(link_->Ok());
        g_deviceSerial = 4660;
    }
    void TearDown() override {
        link_.reset();
        CommandLink::TearDown();
    }
    TempBus bus_;
    std::unique_ptr<ScriptedLink> link_;
};

TEST_F(HostileAnswers, AnAnswerLongerThanTheReceiveAreaIsReadOnlyUpToIt) {
    // The FWV value starts inside the 256-byte area and claims to run far beyond it.
    std::string data = "RUINF:STATUS=";
    data += std::string("\x03\x00" "0-0", 5);
    data += "NETV=";
    data += std::string("\x04\x00" "2.01", 6);
    data += "FWV=";
    data += std::string("\xFF\x7F", 2);
    Bytes answer(2000, '7');
    const std::uint8_t header[] = {0x54, 0x32, 0x00, 0x00};
    std::copy(std::begin(header), std::end(header), answer.begin());
    std::copy(data.begin(), data.end(), answer.begin() + 4);
    link_->Serve({PeerScript{0, LengthPrefixed(static_cast<int>(answer.size()), answer)}});

    DialogData d;
    d.m_fileFirmVer = "OFF";
    d.m_fileNetVerP = "2.01";
    d.m_fileWebFirm = "OFF";
    EXPECT_EQ(GetFirmVer(d), 0);
    EXPECT_EQ(d.m_devNetVer, "2.01");
    const std::size_t valueStart = 4 + data.size();
    EXPECT_EQ(d.m_devFirmVer, std::string(256 - valueStart, '7'));
}

TEST_F(HostileAnswers, RandomAnswersEndInAResultNotACrash) {
    std::mt19937 rng(77);
    std::vector<PeerScript> scripts;
    for (int i = 0; i < 40; ++i) {
        Bytes body(rng() % 700);
        for (auto& b : body) b = static_cast<std::uint8_t>(rng());
        if (i % 2 == 0 && body.size() > 20) {  // half of them accepted, to reach the item reads
            const Bytes head = MakeAnswer("RUINF:", {{"STATUS", "0-0"}});
            std::copy(head.begin(), head.end() - 2, body.begin());
        }
        scripts.push_back(PeerScript{0, LengthPrefixed(static_cast<int>(body.size()), body)});
    }
    link_->Serve(scripts);
    DialogData d;
    for (int i = 0; i < 10; ++i) {
        const int t = GetFirmVer(d);
        EXPECT_TRUE(t == -1 || t == -2 || (t >= 0 && t <= 7)) << t;
        const int s = GetNimbraStatus();
        EXPECT_TRUE(s >= -1 && s <= 1) << s;
        const int c = Sb_Confirm_Standby();
        EXPECT_TRUE(c == 0 || c == -1) << c;
    }
}

}  // namespace
}  // namespace nimbra
