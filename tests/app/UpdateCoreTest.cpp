// The dialog's sequence and timers against a recording window and a scripted
// device side: every box, status text, log line and device call in its order.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>

#include "AppHelpers.h"
#include "Globals.h"
#include "RecordingView.h"
#include "UpdateCore.h"

namespace nimbra {
namespace {

using test::RecordingView;
using Events = std::vector<std::string>;

std::string M(int id) { return LoadMessage(id); }

// The scripted device side. Each call is recorded in the view's event list.
struct FakeDevice {
    explicit FakeDevice(RecordingView& v) : view(&v) {}
    RecordingView* view;
    int ports = 1;
    int portIndex = 3;                 // the COM-table entry that is set
    std::uint32_t serial = 0x1234;
    int power = 1;
    std::deque<int> firmVer{3};        // results of successive GetFirmVer calls (last repeats)
    int imageNo = 809;                 // what GetFirmVer sets when bit 2 is in its result
    int flashResult = 0;
    std::function<void()> duringFlash; // runs inside the flash call (e.g. the pump)
    std::deque<std::pair<int, int>> status{{10, 100}};  // GetStatus answers (last repeats)
    std::deque<int> standby{0};        // Sb_Confirm_Standby answers (last repeats)
    void (*pump)(void*) = nullptr;
    void* pumpContext = nullptr;

    template <class T>
    static T Next(std::deque<T>& q) {
        T v = q.front();
        if (q.size() > 1) q.pop_front();
        return v;
    }

    UpdateServices Services() {
        UpdateServices s;
        s.comTablePid = [this](int pid, std::uint16_t* table) {
            view->Record("ComTable_PID(" + std::to_string(pid) + ")");
            if (ports == 1) table[portIndex] = 1;
            if (ports >= 2) table[1] = table[2] = 1;
            return ports;
        };
        s.getSerial = [this](std::uint32_t* list, int cap, int pid, int mode) {
            view->Record("GetSerial(" + std::to_string(cap) + "," + std::to_string(pid) + "," + std::to_string(mode) + ")");
            list[0] = serial;
            return serial ? 1 : 0;
        };
        s.getNimbraStatus = [this] {
            view->Record("GetNimbraStatus serial=" + std::to_string(g_deviceSerial.load()));
            return power;
        };
        s.getFirmVer = [this](DialogData& d) {
            view->Record("GetFirmVer");
            int t = Next(firmVer);
            if (t > 0 && (t & 2)) d.m_netImageNo = imageNo;
            return t;
        };
        s.readUpDateMng = [this](DialogData&) {
            view->Record("ReadUpDateMng");
            return 0;
        };
        s.readUpDateMngTitle = [] { return std::string("Nimbra ファームウェア アップデート(1.31)"); };
        s.flashUpdate = [this](const char* path, int port, const char* product, const char* usbSerial, int kb, int verify) {
            view->Record(std::string("KorvatSarnUpdate(") + path + "," + std::to_string(port) + "," + product + "," +
                        usbSerial + "," + std::to_string(kb) + "," + std::to_string(verify) + ")");
            if (duringFlash) duringFlash();
            return flashResult;
        };
        s.getStatus = [this](int* step, int* percent) {
            auto [st, pc] = Next(status);
            *step = st;
            *percent = pc;
        };
        s.resetLogger = [this](int port, int mask, int level) {
            view->Record("Reset(" + std::to_string(port) + "," + std::to_string(mask) + "," + std::to_string(level) + ")");
            return 0;
        };
        s.setMessagePump = [this](void (*p)(void*), void* ctx) {
            view->Record(p ? "pump registered" : "pump removed");
            pump = p;
            pumpContext = ctx;
        };
        s.confirmStandby = [this] {
            view->Record("Sb_Confirm_Standby");
            return Next(standby);
        };
        s.startNetWorker = [this](int n) { view->Record("StartWorker(" + std::to_string(n) + ")"); };
        s.sleepMs = [this](int ms) { view->Record("sleep " + std::to_string(ms)); };
        return s;
    }
};

class CoreTest : public ::testing::Test {
protected:
    RecordingView view;
    FakeDevice dev{view};
    std::unique_ptr<UpdateCore> core;

    void SetUp() override {
        ResetGlobalsForTest();
        UseBuiltInResources();
        SetModuleFolder("/opt/nimbra");
        view.CaptureLog();
        core = std::make_unique<UpdateCore>(view, dev.Services());
    }
    void TearDown() override {
        SetLogSink(nullptr, nullptr);
        SetModuleFolder("");
    }
    // Events from the first one equal to `from` on (whole list when empty).
    Events From(const std::string& from) const {
        auto it = std::find(view.events.begin(), view.events.end(), from);
        return Events(it, view.events.end());
    }
    bool Has(const std::string& e) const { return std::count(view.events.begin(), view.events.end(), e) > 0; }
    int Count(const std::string& e) const { return static_cast<int>(std::count(view.events.begin(), view.events.end(), e)); }
};

const Events kPrologue = {"status:", "progress:0", "ReadUpDateMng", "log:Start Update", "ComTable_PID(3422)"};

// Each way the checks end before an update starts: boxes, log lines and calls in order.
TEST_F(CoreTest, ChecksThatEndTheSequence) {
    struct Case {
        const char* name;
        std::function<void(FakeDevice&)> setup;
        Events tail;  // events after ComTable_PID
    };
    const std::string info = "box(info):";
    const std::vector<Case> cases = {
        {"no logger", [](FakeDevice& d) { d.ports = 0; }, {info + M(1000), "log:" + M(1000)}},
        {"no such device", [](FakeDevice& d) { d.ports = -1; }, {info + M(1000), "log:" + M(1000)}},
        {"two loggers", [](FakeDevice& d) { d.ports = 2; }, {info + M(1001), "log:" + M(1001)}},
        {"battery only", [](FakeDevice& d) { d.power = 0; },
         {"GetSerial(256,3422,1)", "GetNimbraStatus serial=4660", info + M(1011), "log:" + M(1011)}},
        {"nothing to update", [](FakeDevice& d) { d.firmVer = {0}; },
         {"GetSerial(256,3422,1)", "GetNimbraStatus serial=4660", "pump", "GetFirmVer", "log:" + M(1008),
          info + M(1008)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetGlobalsForTest();
        view.Clear();
        dev = FakeDevice(view);
        core = std::make_unique<UpdateCore>(view, dev.Services());
        c.setup(dev);
        core->OnBnClickedUpdate();
        Events expected = kPrologue;
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(view.events, expected);
        EXPECT_EQ(g_mainResult, 1);
        EXPECT_EQ(g_netResult, 1);
        EXPECT_FALSE(g_mainDialog->m_updating);
    }
}

TEST_F(CoreTest, SerialZeroAndPowerQueryFailureGoOn) {
    dev.serial = 0;
    dev.power = -1;
    dev.firmVer = {0};
    core->OnBnClickedUpdate();
    Events expected = kPrologue;
    for (const std::string& e : Events{"GetSerial(256,3422,1)", "box(info):" + M(1007), "log:" + M(1007),
                                       "GetNimbraStatus serial=0", "box(info):" + M(1010), "log:" + M(1010), "pump",
                                       "GetFirmVer", "log:" + M(1008), "box(info):" + M(1008)})
        expected.push_back(e);
    EXPECT_EQ(view.events, expected);
}

TEST_F(CoreTest, MissingNetworkVersionIsAskedTenTimes) {
    dev.firmVer = {-2};
    core->OnBnClickedUpdate();
    EXPECT_EQ(Count("GetFirmVer"), 10);
    EXPECT_EQ(Count("pump"), 10);
    EXPECT_EQ(Count("sleep 500"), 10);
    Events tail(view.events.end() - 4, view.events.end());
    EXPECT_EQ(tail, (Events{"GetFirmVer", "sleep 500", "log:" + M(1009), "box(info):" + M(1009)}));
    EXPECT_FALSE(Has("log:UpdateType = -2"));
}

TEST_F(CoreTest, MissingNetworkVersionThenAnswerGoesOn) {
    dev.firmVer = {-2, -2, 1};
    core->OnBnClickedUpdate();
    EXPECT_EQ(Count("GetFirmVer"), 3);
    EXPECT_TRUE(Has("log:UpdateType = 1"));
}

TEST_F(CoreTest, FailedVersionQueryRecoversTheMainFirmware) {
    dev.firmVer = {-1};
    core->OnBnClickedUpdate();
    EXPECT_EQ(From("GetFirmVer"),
              (Events{"GetFirmVer", "log:" + M(1009), "box(info):" + M(1009), "log:UpdateType = -1",
                      "log:Main Firm Update(Recovoer)", "button:off", "log:Main Firm Update Start", "timer+1234/1000",
                      "pump registered",
                      "KorvatSarnUpdate(/opt/nimbra/Nimbra.hex,3,Korvat USB-UART Controller,0001,512,1)",
                      "pump removed"}));
    EXPECT_EQ(g_mainResult, 0);
    EXPECT_TRUE(g_mainDialog->m_updating);
    EXPECT_EQ(g_webImagePath, "/opt/nimbra/Nimbra.img");
}

TEST_F(CoreTest, UpdateTypeChoosesTheFirstStage) {
    for (int type : {1, 2, 3, 4, 5, 6, 7}) {
        SCOPED_TRACE(type);
        ResetGlobalsForTest();
        view.Clear();
        dev.firmVer = {type};
        core->OnBnClickedUpdate();
        EXPECT_TRUE(Has("log:UpdateType = " + std::to_string(type)));
        const bool main = type & 1;
        EXPECT_EQ(Has("log:Main Firm Update"), main);
        EXPECT_EQ(Count("timer+1234/1000"), main ? 1 : 0);
        if (!main) {
            const int image = (type & 2) ? 809 : 0;
            EXPECT_EQ(From("log:iChip Firm Update"),
                      (Events{"log:iChip Firm Update", "button:off",
                              "log:iChip Firm Update Start(" + std::to_string(image) + ")",
                              "StartWorker(" + std::to_string(image) + ")", "timer+1235/1000"}));
            EXPECT_TRUE(g_mainDialog->m_updating);
            EXPECT_EQ(g_netStep, 0);
        }
    }
}

TEST_F(CoreTest, LowestUsablePortIsUsed) {
    dev.portIndex = 7;
    dev.firmVer = {1};
    core->OnBnClickedUpdate();
    EXPECT_EQ(g_comPort, 7);
}

// Timer 1234 ticks inside the flash call, through the registered pump.
TEST_F(CoreTest, MainTimerTicksInsideTheFlashCall) {
    dev.firmVer = {1};
    dev.status = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 0}, {7, 0}, {7, 99}, {8, 1}, {8, 100}, {9, 100}, {10, 100}};
    view.onPump = [&] {
        if (view.timers[IDT_MAIN_UPDATE]) core->OnTimer(IDT_MAIN_UPDATE);
    };
    dev.duringFlash = [&] {
        ASSERT_NE(dev.pump, nullptr);
        for (int i = 0; i < 13; ++i) dev.pump(dev.pumpContext);
    };
    core->OnBnClickedUpdate();
    std::vector<std::string> statuses;
    for (const auto& e : From("pump registered"))
        if (e.rfind("status:", 0) == 0) statuses.push_back(e.substr(7));
    std::vector<std::string> expected;
    for (int s = 2000; s <= 2006; ++s) expected.push_back(M(s));
    expected.push_back("メインファームウェアの更新中[0/100]");
    expected.push_back("メインファームウェアの更新中[99/100]");
    expected.push_back("書き込みチェック[1/100]");
    expected.push_back("書き込みチェック[100/100]");
    expected.push_back(M(2009));
    expected.push_back(M(2010));
    EXPECT_EQ(statuses, expected);
    // Inside the call nothing finishes; the positions follow percent/2 and percent/2 + 50.
    EXPECT_FALSE(Has("timer-1234"));
    Events progress;
    for (const auto& e : From("pump registered"))
        if (e.rfind("progress:", 0) == 0) progress.push_back(e);
    EXPECT_EQ(progress, (Events{"progress:0", "progress:49", "progress:50", "progress:100"}));
    EXPECT_EQ(Count("log:" + M(2006)), 1);
    EXPECT_EQ(view.events.back(), "pump removed");
}

TEST_F(CoreTest, UnknownStepShowsAbnormalTerm) {
    for (int step : {-1, 11, 99}) {
        view.Clear();
        g_mainResult = 1;
        dev.status = {{step, 5}};
        core->OnTimer(IDT_MAIN_UPDATE);
        EXPECT_EQ(view.events, (Events{"status:" + M(2011), "log:" + M(2011)}));
    }
}

TEST_F(CoreTest, MainOnlySuccess) {
    g_mainResult = 0;
    g_mainDialog->m_updateType = 1;
    g_mainDialog->m_updating = true;
    g_comPort = 4;
    core->OnTimer(IDT_MAIN_UPDATE);
    EXPECT_EQ(view.events,
              (Events{"status:" + M(2010), "log:" + M(2010), "timer-1234", "sleep 3000", "Reset(4,1,0)", "progress:100",
                      "status:" + M(1004), "log:" + M(1004), "button:on", "box(info):" + M(1004)}));
    EXPECT_FALSE(g_mainDialog->m_updating);
}

TEST_F(CoreTest, MainThenNetworkModule) {
    for (int type : {3, -1}) {
        SCOPED_TRACE(type);
        view.Clear();
        g_mainResult = 0;
        g_mainDialog->m_updateType = type;
        g_mainDialog->m_netImageNo = type > 0 ? 810 : 0;
        g_comPort = 4;
        dev.standby = {-1, -1, 0};
        core->OnTimer(IDT_MAIN_UPDATE);
        const std::string image = type > 0 ? "810" : "0";
        EXPECT_EQ(view.events,
                  (Events{"status:" + M(2010), "log:" + M(2010), "timer-1234", "sleep 3000", "Reset(4,1,0)", "sleep 3000",
                          "progress:100", "pump", "sleep 10", "Sb_Confirm_Standby", "pump", "sleep 10",
                          "Sb_Confirm_Standby", "pump", "sleep 10", "Sb_Confirm_Standby", "button:off",
                          "log:iChip Firm Update Start(" + image + ")", "StartWorker(" + image + ")", "timer+1235/1000"}));
        EXPECT_TRUE(g_mainDialog->m_updating);
    }
}

TEST_F(CoreTest, StandbyNeverConfirmedEndsWithMinus40) {
    g_mainResult = 0;
    g_mainDialog->m_updateType = 3;
    dev.standby = {-1};
    core->OnTimer(IDT_MAIN_UPDATE);
    EXPECT_EQ(Count("Sb_Confirm_Standby"), 10);
    const std::string failed = "アップデート失敗(-40)";
    EXPECT_EQ(From("progress:100").back(), "button:on");
    Events tail(view.events.end() - 3, view.events.end());
    EXPECT_EQ(tail, (Events{"status:" + failed, "log:" + failed, "button:on"}));
    EXPECT_FALSE(Has("StartWorker(0)"));
    EXPECT_FALSE(g_mainDialog->m_updating);
}

TEST_F(CoreTest, LibraryErrorIsShownWithoutBox) {
    g_mainResult = -11;
    g_mainDialog->m_updateType = 3;
    g_comPort = 2;
    dev.status = {{2, 0}};
    core->OnTimer(IDT_MAIN_UPDATE);
    EXPECT_EQ(view.events, (Events{"status:" + M(2002), "log:" + M(2002), "timer-1234", "sleep 3000", "Reset(2,1,0)",
                                   "status:アップデート失敗(-11)", "log:アップデート失敗(-11)", "button:on"}));
}

TEST_F(CoreTest, NetTimerWhileRunning) {
    struct Case {
        int step, done, total;
        Events expected;
    };
    const std::vector<Case> cases = {
        {3, 0, 100, {"status:ネットワークファームウェアの更新中[3/8]", "log:ネットワークファームウェアの更新中[3/8]", "progress:0"}},
        {6, 40, 100, {"status:ネットワークファームウェアの更新中[6/8]", "log:ネットワークファームウェアの更新中[40/100]", "progress:40"}},
        {1, 0, 0, {"status:ネットワークファームウェアの更新中[1/8]", "log:ネットワークファームウェアの更新中[1/8]"}},
        // large images: done * 100 does not overflow
        {6, 30000000, 40000000, {"status:ネットワークファームウェアの更新中[6/8]",
                                 "log:ネットワークファームウェアの更新中[30000000/40000000]", "progress:75"}},
    };
    for (const Case& c : cases) {
        view.Clear();
        g_netResult = 1;
        g_netStep = c.step;
        g_mainDialog->m_progressDone = c.done;
        g_mainDialog->m_progressTotal = c.total;
        core->OnTimer(IDT_NET_UPDATE);
        EXPECT_EQ(view.events, c.expected);
    }
}

TEST_F(CoreTest, NetTimerCompletion) {
    g_comPort = 5;
    g_netResult = 0;
    g_mainDialog->m_updating = true;
    core->OnTimer(IDT_NET_UPDATE);
    EXPECT_EQ(view.events, (Events{"timer-1235", "sleep 3000", "Reset(5,1,0)", "progress:100", "status:" + M(1004),
                                   "button:on", "log:" + M(1004), "box(info):" + M(1004)}));
    EXPECT_FALSE(g_mainDialog->m_updating);

    view.Clear();
    g_netResult = -1;
    g_lastErrorText = "[115200] Prompt Error";
    core->OnTimer(IDT_NET_UPDATE);
    EXPECT_EQ(view.events, (Events{"timer-1235", "sleep 3000", "Reset(5,1,0)", "button:on", "box(ok):[115200] Prompt Error",
                                   "status:[115200] Prompt Error", "box(ok):アップデート失敗(-1)"}));
}

TEST_F(CoreTest, OtherTimerIdsAreIgnored) {
    core->OnTimer(1);
    core->OnTimer(1236);
    EXPECT_TRUE(view.events.empty());
}

// A click delivered while the checks dispatch messages does not start a second run.
TEST_F(CoreTest, UpdateClickDuringChecksIsIgnored) {
    dev.firmVer = {-2, 0};
    int clicks = 0;
    view.onPump = [&] {
        if (clicks++ < 3) core->OnBnClickedUpdate();
    };
    core->OnBnClickedUpdate();
    EXPECT_EQ(Count("log:Start Update"), 1);
    EXPECT_EQ(Count("GetFirmVer"), 2);
    EXPECT_FALSE(core->SequenceRunning());
    // Once the run has ended a click runs again.
    core->OnBnClickedUpdate();
    EXPECT_EQ(Count("log:Start Update"), 2);
}

TEST_F(CoreTest, TooLongFirmwarePathIsRefusedNotCut) {
    SetModuleFolder("/" + std::string(250, 'd'));
    dev.firmVer = {1};
    core->OnBnClickedUpdate();
    EXPECT_FALSE(Has("pump registered"));
    EXPECT_EQ(From("log:Main Firm Update Start"),
              (Events{"log:Main Firm Update Start", "timer+1234/1000", "log:[Main] Path Too Long"}));
    EXPECT_EQ(g_mainResult, -1);
    view.Clear();
    dev.status = {{0, 0}};
    core->OnTimer(IDT_MAIN_UPDATE);
    EXPECT_TRUE(Has("status:アップデート失敗(-1)"));
    EXPECT_TRUE(Has("button:on"));
}

TEST_F(CoreTest, PathOfExactly260BytesIsPassed) {
    const std::string folder = "/" + std::string(260 - 1 - std::string("/Nimbra.hex").size(), 'd');
    SetModuleFolder(folder);
    dev.firmVer = {1};
    core->OnBnClickedUpdate();
    EXPECT_EQ(Count("KorvatSarnUpdate(" + folder + "/Nimbra.hex,3,Korvat USB-UART Controller,0001,512,1)"), 1);
}

TEST_F(CoreTest, CloseAsksOnlyWhileUpdating) {
    EXPECT_TRUE(core->OnBnClickedOk());
    EXPECT_TRUE(view.events.empty());

    g_mainDialog->m_updating = true;
    view.answers = {BoxAnswer::No};
    EXPECT_FALSE(core->OnBnClickedOk());
    EXPECT_EQ(view.events, (Events{"box(yesno):" + M(1005)}));

    view.Clear();
    view.answers = {BoxAnswer::Yes};
    EXPECT_TRUE(core->OnBnClickedOk());
    EXPECT_EQ(view.events, (Events{"box(yesno):" + M(1005), "box(ok):" + M(1006)}));
}

TEST_F(CoreTest, StartUpSetsCaptionStatusAndLogViewer) {
    const auto dir = std::filesystem::temp_directory_path() / ("nimbra-core-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    SetModuleFolder(dir.string());
    core->OnInitDialog();
    EXPECT_EQ(view.events, (Events{"caption:Nimbra ファームウェア アップデート(1.31)", "status:" + M(501)}));
    EXPECT_FALSE(g_logViewerFound);
    std::ofstream(dir / "Skelmor") << "";
    core->OnInitDialog();
    EXPECT_TRUE(g_logViewerFound);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace nimbra

namespace nimbra {
namespace {

// A window closed while messages are dispatched starts no further update.
TEST_F(CoreTest, WindowClosedDuringChecksStartsNothing) {
    dev.firmVer = {3};
    view.onPump = [&] { core->OnDialogEnded(); };
    core->OnBnClickedUpdate();
    EXPECT_EQ(view.events.back(), "GetFirmVer");
    EXPECT_FALSE(Has("timer+1234/1000"));
    EXPECT_EQ(g_mainResult, 1);
}

TEST_F(CoreTest, WindowClosedDuringStandbyStartsNoWorker) {
    g_mainResult = 0;
    g_mainDialog->m_updateType = 3;
    view.onPump = [&] { core->OnDialogEnded(); };
    core->OnTimer(IDT_MAIN_UPDATE);
    EXPECT_FALSE(Has("StartWorker(0)"));
    EXPECT_FALSE(Has("timer+1235/1000"));
    EXPECT_FALSE(g_mainDialog->m_updating);
}

}  // namespace
}  // namespace nimbra
