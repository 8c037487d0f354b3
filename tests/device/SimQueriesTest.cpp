// The four queries against the simulated logger, with command-link faults.
#include <gtest/gtest.h>

#include <functional>

#include "DeviceQueries.h"
#include "DeviceTestSupport.h"
#include "Simulator.h"

namespace nimbra {
namespace {

using test::LogRecorder;
using test::TempBus;
using Lines = std::vector<std::string>;

constexpr std::uint32_t kSerial = 0x1234;

struct QueryCase {
    const char* name;
    std::vector<std::string> faults;
    std::string ac;  // the logger's AC item
    int expected;
    std::string lastError;
    Lines log;
};

class SimQuery : public ::testing::Test {
protected:
    void SetUp() override { ResetGlobalsForTest(); }
    void TearDown() override { ResetGlobalsForTest(); }

    // Runs `query` against a fresh logger with the case's faults.
    void Run(const QueryCase& c, const std::function<int()>& query, std::uint32_t serialBefore = kSerial) {
        SCOPED_TRACE(c.name);
        TempBus bus;
        sim::SimConfig config;
        config.busDir = bus.Dir();
        sim::LoggerConfig logger;
        logger.serial = kSerial;
        logger.ac = c.ac;
        logger.faults = c.faults;
        config.loggers.push_back(logger);
        sim::Simulator simulator(config);
        ASSERT_EQ(simulator.Start(), 0);
        ResetGlobalsForTest();
        g_deviceSerial = serialBefore;
        LogRecorder log;
        EXPECT_EQ(query(), c.expected);
        EXPECT_EQ(g_lastErrorText, c.lastError);
        EXPECT_EQ(log.Lines(), c.log);
        for (const auto& source : log.Sources()) EXPECT_EQ(source, "NimbraUpdate");
        after_ = simulator.CurrentMode();
        simulator.Stop();
    }
    sim::Mode after_ = sim::Mode::Reset;
};

// The file values every GetFirmVer case decides against: the logger (1.30 / 2.00)
// is behind on both, the web content is left alone.
void FileValues(DialogData& d) {
    d.m_fileFirmVer = "1.31";
    d.m_fileNetVerN = "OFF";
    d.m_fileNetVerP = "2.01";
    d.m_fileWebFirm = "OFF";
    d.m_devFirmVer = "prev-fw";
    d.m_devNetVer = "prev-net";
}

TEST_F(SimQuery, GetFirmVer) {
    const char* t = "Get Firmware Version";
    struct Expect {
        QueryCase c;
        std::string fw, net;
        int image;
    };
    const Expect cases[] = {
        {{"accepted", {}, "1", 3, "", {t}}, "1.30", "2.00", 809},
        {{"open", {"link-open"}, "1", -1, "[GetFirmVer] USB Open Error", {t, "[GetFirmVer] USB Open Error"}},
         "prev-fw", "prev-net", 0},
        {{"recv", {"link-recv"}, "1", -1, "[GetFirmVer] Recv Error", {t, "[GetFirmVer] Recv Error"}},
         "prev-fw", "prev-net", 0},
        {{"no status", {"link-missing=STATUS"}, "1", -1, "[GetFirmVer] Status Error1", {t, "[GetFirmVer] Status Error1"}},
         "prev-fw", "prev-net", 0},
        {{"status 0-1", {"link-status=0-1"}, "1", -1, "[GetFirmVer] Status Error2", {t, "[GetFirmVer] Status Error2"}},
         "prev-fw", "prev-net", 0},
        // An empty device version still differs from the file's 1.31.
        {{"no FWV", {"link-missing=FWV"}, "1", 3, "", {t, "Get Firm Version Error"}}, "", "2.00", 809},
        {{"no NETV", {"link-missing=NETV"}, "1", -2, "", {t, "Get iChip Version Error"}}, "1.30", "", 0},
    };
    for (const auto& e : cases) {
        DialogData d;
        FileValues(d);
        Run(e.c, [&] { return GetFirmVer(d); });
        EXPECT_EQ(d.m_devFirmVer, e.fw) << e.c.name;
        EXPECT_EQ(d.m_devNetVer, e.net) << e.c.name;
        EXPECT_EQ(d.m_netImageNo, e.image) << e.c.name;
    }
}

TEST_F(SimQuery, Sb_Confirm_Standby) {
    const char* t = "Sb_Confirm_Standby";
    Run({"serial found on the bus", {}, "1", 0, "", {t}}, [] { return Sb_Confirm_Standby(); }, 0);
    EXPECT_EQ(g_deviceSerial.load(), kSerial);
    const QueryCase failures[] = {
        {"open", {"link-open"}, "1", -1, "[Confirm] USB Open Error", {t, "[Confirm] USB Open Error"}},
        {"recv", {"link-recv"}, "1", -1, "[Confirm] Recv Error", {t, "[Confirm] Recv Error"}},
        {"status 0-1", {"link-status=0-1"}, "1", -1, "[Confirm] Status Error2", {t, "[Confirm] Status Error2"}},
    };
    for (const auto& c : failures) Run(c, [] { return Sb_Confirm_Standby(); });
}

TEST_F(SimQuery, GetNimbraStatus) {
    const char* t = "Get Nimbra Status";
    const QueryCase cases[] = {
        {"on AC", {}, "1", 1, "", {t}},
        {"on battery", {}, "0", 0, "", {t}},
        {"AC 2", {}, "2", -1, "", {t}},
        {"no AC item", {"link-missing=AC"}, "1", -1, "", {t, "AC Status Error"}},
        {"open", {"link-open"}, "1", -1, "[GetStatus] USB Open Error", {t, "[GetStatus] USB Open Error"}},
        {"recv", {"link-recv"}, "1", -1, "[GetStatus] Recv Error", {t, "[GetStatus] Recv Error"}},
        {"no status", {"link-missing=STATUS"}, "1", -1, "[GetStatus] Status Error1", {t, "[GetStatus] Status Error1"}},
        {"status 0-1", {"link-status=0-1"}, "0", -1, "[GetStatus] Status Error2", {t, "[GetStatus] Status Error2"}},
    };
    for (const auto& c : cases) Run(c, [] { return GetNimbraStatus(); });
}

TEST_F(SimQuery, SendIChipUpdateRequest) {
    const char* t = "Send iChip Update Request";
    Run({"accepted", {}, "1", 0, "", {t}}, [] { return SendIChipUpdateRequest(); });
    EXPECT_EQ(after_, sim::Mode::NetModuleUpdate);
    const QueryCase failures[] = {
        {"open", {"link-open"}, "1", -1, "[iChipReq] USB Open Error", {t, "[iChipReq] USB Open Error"}},
        {"recv", {"link-recv"}, "1", -1, "[iChipReq] Recv Error", {t, "[iChipReq] Recv Error"}},
        {"no status", {"link-missing=STATUS"}, "1", -1, "[iChipReq] Status Error1", {t, "[iChipReq] Status Error1"}},
        {"status 0-1", {"link-status=0-1"}, "1", -1, "[iChipReq] Status Error2", {t, "[iChipReq] Status Error2"}},
    };
    for (const auto& c : failures) {
        Run(c, [] { return SendIChipUpdateRequest(); });
        EXPECT_NE(after_, sim::Mode::NetModuleUpdate) << c.name;
    }
}

// A 2.5 s late answer misses the plain 2 s receive window but falls inside the
// network-module request's, which waits three seconds longer.
TEST_F(SimQuery, OnlyTheUpdateRequestWaitsForASlowAnswer) {
    Run({"slow RUINF", {"link-slow=2500"}, "1", -1, "[Confirm] Recv Error", {"Sb_Confirm_Standby", "[Confirm] Recv Error"}},
        [] { return Sb_Confirm_Standby(); });
    Run({"slow ICHIP", {"link-slow=2500"}, "1", 0, "", {"Send iChip Update Request"}},
        [] { return SendIChipUpdateRequest(); });
    EXPECT_EQ(after_, sim::Mode::NetModuleUpdate);
}

TEST_F(SimQuery, AnUnpluggedLoggerCannotBeOpened) {
    TempBus bus;
    sim::SimConfig config;
    config.busDir = bus.Dir();
    config.loggers.push_back(sim::LoggerConfig{});
    sim::Simulator simulator(config);
    ASSERT_EQ(simulator.Start(), 0);
    g_deviceSerial = kSerial;
    simulator.Unplug(0);
    LogRecorder log;
    EXPECT_EQ(GetNimbraStatus(), -1);
    EXPECT_EQ(g_lastErrorText, "[GetStatus] USB Open Error");
    g_deviceSerial = 0;
    EXPECT_EQ(Sb_Confirm_Standby(), -1);
    EXPECT_EQ(log.Lines(), (Lines{"Get Nimbra Status", "[GetStatus] USB Open Error"}));
    simulator.Plug(0);
    EXPECT_EQ(Sb_Confirm_Standby(), 0);
}

}  // namespace
}  // namespace nimbra
