// The real window, offscreen, against a simulated logger on a virtual bus.
// Boxes are answered by the test through the window's box hook; log records are
// received on the real log socket by a listener standing in for the viewer.
#include <QtTest>

#include <QFontInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "AppHelpers.h"
#include "Globals.h"
#include "NetModule.h"
#include "NimbraUpdateWindow.h"
#include "Resources.h"
#include "Simulator.h"

using namespace nimbra;
namespace fs = std::filesystem;

namespace {

std::string M(int id) { return LoadMessage(id); }

std::vector<std::uint8_t> ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Every data byte of an Intel HEX file, by absolute address.
std::map<std::uint32_t, std::uint8_t> HexBytes(const fs::path& p) {
    std::map<std::uint32_t, std::uint8_t> bytes;
    std::ifstream in(p);
    std::string line;
    std::uint32_t base = 0;
    auto byteAt = [](const std::string& l, std::size_t i) {
        return static_cast<std::uint8_t>(std::stoi(l.substr(1 + 2 * i, 2), nullptr, 16));
    };
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < 11 || line[0] != ':') continue;
        const int count = byteAt(line, 0);
        const std::uint32_t addr = (byteAt(line, 1) << 8) | byteAt(line, 2);
        const int type = byteAt(line, 3);
        if (type == 0)
            for (int i = 0; i < count; ++i) bytes[base + addr + static_cast<std::uint32_t>(i)] = byteAt(line, 4 + static_cast<std::size_t>(i));
        else if (type == 4) base = static_cast<std::uint32_t>((byteAt(line, 4) << 8) | byteAt(line, 5)) << 16;
        else if (type == 2) base = static_cast<std::uint32_t>((byteAt(line, 4) << 8) | byteAt(line, 5)) << 4;
    }
    return bytes;
}

struct LogRecord {
    std::int64_t time;
    std::string source;
    std::string text;
    std::size_t size;
};

}  // namespace

class GuiTest : public QObject {
    Q_OBJECT

    fs::path root, prog, bus;
    std::unique_ptr<sim::Simulator> sim;
    std::unique_ptr<qt::NimbraUpdateWindow> win;
    QStringList boxes;                          // texts of the boxes shown, in order
    std::vector<std::string> logLines;          // every WriteLog line (sink)
    std::function<void(const std::string&)> onLog;
    std::function<bool(QMessageBox&)> onBox;    // true: the test answered it itself
    int logFd = -1;
    std::thread listener;
    std::atomic<bool> listening{false};
    std::vector<std::vector<unsigned char>> datagrams;

    std::mutex logMutex;

    // Lines come from the UI thread and from the worker; the test's reactions run
    // on the UI thread only.
    static void Sink(const std::string& text, const std::string&, void* ctx) {
        auto* self = static_cast<GuiTest*>(ctx);
        {
            std::lock_guard lock(self->logMutex);
            self->logLines.push_back(text);
        }
        if (self->onLog && QThread::currentThread() == qApp->thread()) self->onLog(text);
    }

    void Shot(QWidget* w, const char* name) {
        const char* dir = std::getenv("NIMBRA_SCREENSHOT_DIR");
        if (!dir) return;
        fs::create_directories(dir);
        QVERIFY(w->grab().save(QString::fromUtf8(dir) + "/" + name + ".png"));
    }

    sim::SimConfig Config(int loggers = 1) {
        sim::SimConfig c;
        c.busDir = bus.string();
        for (int i = 0; i < loggers; ++i) {
            sim::LoggerConfig l;
            l.com = 1 + i;
            l.serial = 0x1234 + static_cast<std::uint32_t>(i);
            c.loggers.push_back(l);
        }
        // Fast mode, with just enough device time that the steps show in the window.
        c.timing.eraseMs = 150;
        c.timing.blockProgramMs = 15;
        return c;
    }

    void StartSim(const sim::SimConfig& c, const std::vector<std::string>& faults = {}) {
        sim = std::make_unique<sim::Simulator>(c);
        QCOMPARE(sim->Start(), 0);
        for (const auto& f : faults) QVERIFY2(sim->AddFault(0, f), f.c_str());
    }

    void WriteUpDateMng(const std::string& firm, const std::string& net, const std::string& web) {
        std::ofstream(prog / "UpDateMng.txt") << "#T# 1.31\r\n#F# " << firm << "\r\n#N# " << net << "\r\n#P# " << net
                                              << "\r\n#W# " << web << "\r\n";
    }

    void OpenWindow() {
        win = std::make_unique<qt::NimbraUpdateWindow>(RealUpdateServices());
        // The timers run faster than the product's one second so that each step of a
        // fast simulated update is seen; the product's own pauses stay as they are.
        win->SetTimerPeriodOverride(50);
        win->SetBoxHook([this](QMessageBox& box) {
            boxes << box.text();
            if (onBox && onBox(box)) return;
            QAbstractButton* b = box.button(QMessageBox::Ok);
            if (!b) b = box.button(QMessageBox::Yes);
            b->click();
        });
        win->Start();
        win->show();
        QVERIFY(QTest::qWaitForWindowExposed(win.get()));
    }

    // Clicks Update and waits until the run has ended (button enabled, no update).
    void RunUpdate(int timeoutMs = 90000) {
        QVERIFY(win->UpdateButton()->isEnabled());
        QTest::mouseClick(win->UpdateButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!g_mainDialog->m_updating && win->UpdateButton()->isEnabled(), timeoutMs);
        WaitIChipWorker();
    }

    void ListenForLog() {
        setenv("XDG_RUNTIME_DIR", (root / "run").c_str(), 1);
        fs::create_directories(root / "run");
        logFd = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, LogSocketPath().c_str());
        QCOMPARE(bind(logFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        std::ofstream(prog / "Skelmor") << "";  // logging on from start-up
        // Like the viewer, read all the time: a datagram socket queues only a few.
        listening = true;
        listener = std::thread([this] {
            while (listening) {
                pollfd p{logFd, POLLIN, 0};
                if (poll(&p, 1, 20) <= 0) continue;
                std::vector<unsigned char> r(1024);
                ssize_t n = recv(logFd, r.data(), r.size(), 0);
                if (n < 0) continue;
                r.resize(static_cast<std::size_t>(n));
                std::lock_guard lock(logMutex);
                datagrams.push_back(std::move(r));
            }
        });
    }

    std::vector<LogRecord> ReceivedRecords() {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::vector<std::vector<unsigned char>> all;
        {
            std::lock_guard lock(logMutex);
            all = datagrams;
        }
        std::vector<LogRecord> out;
        for (const auto& d : all) {
            const unsigned char* r = d.data();
            const auto n = static_cast<ssize_t>(d.size());
            LogRecord rec{};
            rec.size = static_cast<std::size_t>(n);
            if (n >= 296) {
                std::uint64_t t = 0;
                for (int i = 7; i >= 0; --i) t = (t << 8) | r[i];
                rec.time = static_cast<std::int64_t>(t);
                char16_t src[64], txt[80];
                for (int i = 0; i < 64; ++i) src[i] = static_cast<char16_t>(r[8 + 2 * i] | (r[9 + 2 * i] << 8));
                for (int i = 0; i < 80; ++i) txt[i] = static_cast<char16_t>(r[136 + 2 * i] | (r[137 + 2 * i] << 8));
                rec.source = Utf16ToUtf8(src, 64);
                rec.text = Utf16ToUtf8(txt, 80);
            }
            out.push_back(rec);
        }
        return out;
    }

    bool Logged(const std::string& line) const {
        return std::find(logLines.begin(), logLines.end(), line) != logLines.end();
    }
    int CountLogged(const std::string& line) const {
        return static_cast<int>(std::count(logLines.begin(), logLines.end(), line));
    }

    void VerifyFlashHoldsHex() {
        const auto flash = sim->Flash(0);
        const auto hex = HexBytes(prog / "Nimbra.hex");
        QVERIFY(!hex.empty());
        int wrong = 0;
        for (const auto& [addr, byte] : hex)
            if (addr >= flash.size() || flash[addr] != byte) ++wrong;
        QCOMPARE(wrong, 0);
    }
    void VerifyModuleHolds(const char* image, std::uint32_t address) {
        const auto file = ReadFile(prog / image);
        QVERIFY(file.size() > 84);
        if (address == 0) {
            address = static_cast<std::uint32_t>(file[80] | (file[81] << 8) | (file[82] << 16) | (file[83] << 24)) & ~0xFFFu;
        }
        QVERIFY2(sim->NetBytes(0, address, file.size()) == file, image);
    }
    bool FlashUntouched() {
        const auto flash = sim->Flash(0);
        return std::all_of(flash.begin(), flash.end(), [](std::uint8_t b) { return b == 0xFF; });
    }

private slots:
    void init() {
        root = fs::path("/tmp") / ("ngui-" + std::to_string(getpid()));
        fs::remove_all(root);
        prog = root / "a-program-folder-whose-name-is-long-enough-to-cut-log-lines";
        bus = root / "bus";
        fs::create_directories(prog);
        fs::create_directories(bus);
        setenv("NIMBRA_VIRTUAL_BUS", bus.c_str(), 1);
        SetModuleFolder(prog.string());
        UseBuiltInResources();
        ResetGlobalsForTest();
        sim::SampleOptions samples;
        QCOMPARE(sim::WriteSamples(prog.string(), samples), 0);
        WriteUpDateMng("1.31", "2.01", "OFF");
        boxes.clear();
        logLines.clear();
        onLog = nullptr;
        onBox = nullptr;
        SetLogSink(&Sink, this);
    }

    void cleanup() {
        win.reset();
        WaitIChipWorker();
        if (sim) sim->Stop();
        sim.reset();
        SetLogSink(nullptr, nullptr);
        listening = false;
        if (listener.joinable()) listener.join();
        datagrams.clear();
        if (logFd >= 0) close(logFd);
        logFd = -1;
        g_logViewerFound = false;
        unsetenv("XDG_RUNTIME_DIR");
        SetModuleFolder("");
        fs::remove_all(root);
    }

    // Layout in dialog units, texts, caption, tab order, default button; Close and Esc.
    void idleWindowAndClosing() {
        OpenWindow();
        QCOMPARE(win->windowTitle(), QString::fromUtf8("Nimbra ファームウェア アップデート(1.31)"));
        QCOMPARE(win->Status()->text().toStdString(), M(501));
        QCOMPARE(win->CloseButton()->text(), QString::fromUtf8("閉じる"));
        QCOMPARE(win->UpdateButton()->text(), QString::fromUtf8("アップデート"));
        QVERIFY(win->CloseButton()->isDefault());
        QVERIFY(win->CloseButton()->hasFocus());
        QTest::keyClick(win->CloseButton(), Qt::Key_Tab);
        QVERIFY(win->UpdateButton()->hasFocus());
        QTest::keyClick(win->UpdateButton(), Qt::Key_Tab);
        QVERIFY(win->CloseButton()->hasFocus());
        QCOMPARE(win->Progress()->minimum(), 0);
        QCOMPARE(win->Progress()->maximum(), 100);
        QVERIFY(!g_logViewerFound);  // no Skelmor in this program folder

        QCOMPARE(QFontInfo(win->font()).family(), QStringLiteral("Noto Sans CJK JP"));
        const auto& u = win->Units();
        QVERIFY(u.baseX > 0 && u.baseY > 0);
        // the Latin average, well below a full-width glyph
        qInfo() << "dialog base units" << u.baseX << u.baseY << "full-width" << QFontMetrics(win->font()).horizontalAdvance(QString::fromUtf8("閉")) << "average" << QFontMetrics(win->font()).averageCharWidth();
        QVERIFY(u.baseX < QFontMetrics(win->font()).horizontalAdvance(QString::fromUtf8("閉")));
        QCOMPARE(win->size(), QSize(u.X(211), u.Y(103)));
        QCOMPARE(win->CloseButton()->geometry(), QRect(u.X(154), u.Y(78), u.X(50), u.Y(17)));
        QCOMPARE(win->UpdateButton()->geometry(), QRect(u.X(7), u.Y(7), u.X(61), u.Y(20)));
        QCOMPARE(win->Progress()->geometry(), QRect(u.X(7), u.Y(33), u.X(197), u.Y(14)));
        QCOMPARE(win->Status()->geometry(), QRect(u.X(7), u.Y(53), u.X(197), u.Y(20)));
        auto* logo = win->findChild<QLabel*>(QStringLiteral("IDB_LOGO"));
        QVERIFY(logo && !logo->pixmap().isNull());
        QCOMPARE(logo->pixmap().size(), QSize(40, 15));
        QVERIFY(!win->windowIcon().isNull());
        Shot(win.get(), "idle");

        // Close while an update runs asks; No keeps the window, Yes warns and closes.
        g_mainDialog->m_updating = true;
        onBox = [](QMessageBox& box) {
            if (box.button(QMessageBox::No)) {
                box.button(QMessageBox::No)->click();
                return true;
            }
            return false;
        };
        QTest::mouseClick(win->CloseButton(), Qt::LeftButton);
        QCOMPARE(boxes, QStringList{QString::fromStdString(M(1005))});
        QVERIFY(win->isVisible());
        onBox = nullptr;
        QTest::mouseClick(win->CloseButton(), Qt::LeftButton);
        QCOMPARE(boxes.mid(1), (QStringList{QString::fromStdString(M(1005)), QString::fromStdString(M(1006))}));
        QVERIFY(!win->isVisible());
        QCOMPARE(win->result(), int(QDialog::Accepted));

        // Esc ends at once, also during an update, without a box.
        win.reset();
        boxes.clear();
        fs::remove(prog / "UpDateMng.txt");
        OpenWindow();
        QCOMPARE(win->windowTitle(), QString());  // no update-management file: empty caption
        QCOMPARE(win->Status()->text().toStdString(), M(501));
        g_mainDialog->m_updating = true;
        QTest::keyClick(win.get(), Qt::Key_Escape);
        QVERIFY(!win->isVisible());
        QCOMPARE(win->result(), int(QDialog::Rejected));
        QVERIFY(boxes.isEmpty());
    }

    void englishSatellite() {
        const char* en = std::getenv("NIMBRA_EN_RES_PATH");
        QVERIFY(en);
        fs::copy_file(en, prog / "NimbraUpdateRes.so");
        QCOMPARE(LoadResourceLibrary(), 1);
        OpenWindow();
        QCOMPARE(win->CloseButton()->text(), QStringLiteral("Close"));
        QCOMPARE(win->UpdateButton()->text(), QStringLiteral("Update"));
        QCOMPARE(win->windowTitle(), QStringLiteral("Nimbra firmware update(1.31)"));
        QCOMPARE(win->Status()->text(), QStringLiteral("Connect only one Nimbra by USB and press the [Update] button."));
    }

    // A box another thread waits on is released when the window goes; the thread
    // then no longer reaches the window.
    void boxFromWorkerReleasedWhenWindowGoes() {
        OpenWindow();
        std::atomic<bool> returned{false};
        std::thread worker([&] {
            ShowBox("from the worker", BoxStyle::Ok);
            returned = true;
            ShowBox("after the window went", BoxStyle::Ok);  // no window: returns at once
        });
        // The UI thread dispatches nothing now: the box is asked for, not yet shown.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        QVERIFY(!returned);
        win.reset();
        worker.join();
        QVERIFY(returned);
        QCoreApplication::processEvents();  // the queued request finds no window
        QVERIFY(boxes.isEmpty());
    }

    // Main firmware and network-module firmware, then a second run finds nothing to do.
    void updateType3EndToEnd() {
        ListenForLog();
        // Slow answers where a step is over in one exchange, so that a tick falls in it.
        StartSim(Config(), {"slow=80:cmd=00,times=0", "slow=80:cmd=9a,times=0", "slow=80:cmd=c0,times=0"});
        OpenWindow();
        QVERIFY(g_logViewerFound);
        bool shot40 = false;
        onLog = [&](const std::string& line) {
            const std::string writing = "メインファームウェアの更新中[";
            if (!shot40 && line.rfind(writing, 0) == 0 && std::atoi(line.c_str() + writing.size()) >= 40) {
                shot40 = true;
                Shot(win.get(), "writing");
            }
        };
        onBox = [&](QMessageBox& box) {
            if (box.text().toStdString() == M(1004)) Shot(&box, "finished-box");
            return false;
        };
        RunUpdate();
        QCOMPARE(boxes, QStringList{QString::fromStdString(M(1004))});
        QCOMPARE(win->Status()->text().toStdString(), M(1004));
        QCOMPARE(win->Progress()->value(), 100);
        QVERIFY(shot40);
        Shot(win.get(), "finished");

        // The step texts the window showed, in the order of the steps.
        std::vector<int> shown;
        for (const auto& line : logLines)
            for (int id = 2000; id <= 2010; ++id) {
                const std::string t = M(id);
                const auto field = t.find("%d");
                const bool match = field == std::string::npos ? line == t : line.rfind(t.substr(0, field), 0) == 0;
                if (match && (shown.empty() || shown.back() != id)) shown.push_back(id);
            }
        QVERIFY(std::is_sorted(shown.begin(), shown.end()));
        // The library dispatches messages from the first synchronisation on; the
        // steps before it and the exit from boot mode pass without a tick.
        for (int id : {2002, 2003, 2004, 2005, 2006, 2007, 2008, 2010})
            QVERIFY2(std::find(shown.begin(), shown.end(), id) != shown.end(), std::to_string(id).c_str());
        // during the 10-second pause the module's stage stands at 40 of 100
        QVERIFY(Logged("ネットワークファームウェアの更新中[40/100]"));

        VerifyFlashHoldsHex();
        VerifyModuleHolds("Nimbra_809.imf", 0);

        // The log records of this run, in order.
        const auto records = ReceivedRecords();
        QCOMPARE(records.size(), logLines.size());
        const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch()).count();
        for (const auto& r : records) {
            QCOMPARE(r.size, std::size_t{296});
            QCOMPARE(r.source, std::string("NimbraUpdate"));
            QVERIFY(r.time > now - 600 && r.time <= now);
        }
        std::vector<std::string> texts;
        for (const auto& r : records) texts.push_back(r.text);
        const std::vector<std::string> order = {
            "Start Update", "Get Nimbra Status", "Get Firmware Version", "UpdateType = 3", "Main Firm Update",
            "Main Firm Update Start", M(2002), M(2006), M(2010), "Sb_Confirm_Standby", "iChip Firm Update Start(809)",
            "Send iChip Update Request",
            "Open com(115200)", "ネットワークファームウェアの更新中[40/100]", M(1004)};
        std::size_t at = 0;
        for (const auto& t : texts)
            if (at < order.size() && t == order[at]) ++at;
        QVERIFY2(at == order.size(), ("missing in order: " + (at < order.size() ? order[at] : "")).c_str());
        QCOMPARE(texts.back(), M(1004));
        // A line longer than 76 characters arrives cut: the firmware path line here,
        // long because the program folder's name is.
        const std::string writeFirm = "Write Firm(" + (prog / "Nimbra_809.imf").string() + ")";
        QVERIFY(writeFirm.size() > 76);
        const auto cut = std::find_if(texts.begin(), texts.end(), [](const std::string& t) { return t.rfind("Write Firm(", 0) == 0; });
        QVERIFY(cut != texts.end());
        QCOMPARE(*cut, writeFirm.substr(0, 76));

        // The logger restarted with the new versions: nothing more to do.
        boxes.clear();
        RunUpdate();
        QCOMPARE(boxes, QStringList{QString::fromStdString(M(1008))});
    }

    void mainOnly() {
        WriteUpDateMng("1.31", "2.00", "OFF");
        StartSim(Config());
        OpenWindow();
        RunUpdate();
        QVERIFY(Logged("UpdateType = 1"));
        QCOMPARE(boxes, QStringList{QString::fromStdString(M(1004))});
        QCOMPARE(win->Progress()->value(), 100);
        QVERIFY(!Logged("Sb_Confirm_Standby"));
        QCOMPARE(g_netStep.load(), 0);  // the worker never ran
        VerifyFlashHoldsHex();
    }

    void networkOnly_data() {
        QTest::addColumn<QString>("net");
        QTest::addColumn<QString>("web");
        QTest::addColumn<int>("type");
        QTest::newRow("firmware") << "2.01" << "OFF" << 2;
        QTest::newRow("web") << "2.00" << "1.00" << 4;
        QTest::newRow("both") << "2.01" << "1.00" << 6;
    }
    void networkOnly() {
        QFETCH(QString, net);
        QFETCH(QString, web);
        QFETCH(int, type);
        WriteUpDateMng("1.30", net.toStdString(), web.toStdString());
        StartSim(Config());
        OpenWindow();
        RunUpdate();
        QVERIFY(Logged("UpdateType = " + std::to_string(type)));
        QVERIFY(Logged("iChip Firm Update"));
        QCOMPARE(boxes, QStringList{QString::fromStdString(M(1004))});
        QCOMPARE(win->Progress()->value(), 100);
        QVERIFY(FlashUntouched());
        if (type & 2) VerifyModuleHolds("Nimbra_809.imf", 0);
        if (type & 4) VerifyModuleHolds("Nimbra.img", 0x100F0000);
        QCOMPARE(sim->NetRecords(0).empty(), false);
    }

    void recoveryAfterFailedVersionQuery() {
        StartSim(Config(), {"link-recv:cmd=RUINF,times=1"});
        OpenWindow();
        RunUpdate();
        QVERIFY(Logged("[GetFirmVer] Recv Error"));
        QVERIFY(Logged("UpdateType = -1"));
        QVERIFY(Logged("Main Firm Update(Recovoer)"));
        QVERIFY(Logged("iChip Firm Update Start(0)"));
        QCOMPARE(boxes, (QStringList{QString::fromStdString(M(1009)), QString::fromStdString(M(1004))}));
        VerifyFlashHoldsHex();
        VerifyModuleHolds("Nimbra_810.imf", 0);
        VerifyModuleHolds("Nimbra.img", 0x100F0000);
    }

    // The checks that end a run (or go on) before anything is written.
    void checksThatEndTheRun_data() {
        QTest::addColumn<QString>("row");
        for (const char* r : {"no logger", "two loggers", "serial 0", "AC query fails", "battery only", "NETV missing"})
            QTest::newRow(r) << r;
    }
    void checksThatEndTheRun() {
        QFETCH(QString, row);
        const std::string r = row.toStdString();
        WriteUpDateMng("1.30", "2.00", "OFF");  // what the logger reports: nothing to do
        sim::SimConfig c = Config(r == "two loggers" ? 2 : 1);
        if (r == "serial 0") c.loggers[0].serial = 0;
        if (r == "battery only") c.loggers[0].ac = "0";
        std::vector<std::string> faults;
        if (r == "AC query fails") faults.push_back("link-missing=AC");
        if (r == "NETV missing") faults.push_back("link-missing=NETV:times=0");
        StartSim(c, faults);
        if (r == "no logger") sim->Unplug(0);
        OpenWindow();
        RunUpdate();
        auto B = [](std::initializer_list<int> ids) {
            QStringList l;
            for (int id : ids) l << QString::fromStdString(M(id));
            return l;
        };
        if (r == "no logger") {
            QCOMPARE(boxes, B({1000}));
            QCOMPARE(logLines, (std::vector<std::string>{"Start Update", M(1000)}));
        } else if (r == "two loggers") {
            QCOMPARE(boxes, B({1001}));
            QCOMPARE(logLines, (std::vector<std::string>{"Start Update", M(1001)}));
        } else if (r == "serial 0") {
            QCOMPARE(boxes.value(0), QString::fromStdString(M(1007)));
            QVERIFY(Logged("Get Nimbra Status"));  // the sequence went on
        } else if (r == "AC query fails") {
            QCOMPARE(boxes, B({1010, 1008}));
            QVERIFY(Logged("AC Status Error"));
        } else if (r == "battery only") {
            QCOMPARE(boxes, B({1011}));
            QVERIFY(!Logged("Get Firmware Version"));
        } else if (r == "NETV missing") {
            QCOMPARE(boxes, B({1009}));
            QCOMPARE(CountLogged("Get Firmware Version"), 10);
            QCOMPARE(CountLogged("Get iChip Version Error"), 10);
            QVERIFY(!Logged("UpdateType = -2"));
        }
        QCOMPARE(g_mainResult.load(), 1);
        QVERIFY(FlashUntouched());
    }

    void libraryErrorMinus11() {
        WriteUpDateMng("1.31", "2.00", "OFF");
        StartSim(Config(), {"nak:cmd=00,times=0"});
        OpenWindow();
        RunUpdate();
        QVERIFY(boxes.isEmpty());
        QCOMPARE(win->Status()->text(), QString::fromUtf8("アップデート失敗(-11)"));
        QVERIFY(Logged("アップデート失敗(-11)"));
        Shot(win.get(), "failure");
    }

    void standbyNeverConfirmed() {
        StartSim(Config());
        // The logger answers the version query, then never again.
        onLog = [&](const std::string& line) {
            if (line == "Main Firm Update Start") QVERIFY(sim->AddFault(0, "link-recv:cmd=RUINF,times=0"));
        };
        OpenWindow();
        RunUpdate();
        QVERIFY(boxes.isEmpty());
        QCOMPARE(win->Status()->text(), QString::fromUtf8("アップデート失敗(-40)"));
        QCOMPARE(CountLogged("Sb_Confirm_Standby"), 10);
        QVERIFY(!Logged("iChip Firm Update Start(809)"));
        VerifyFlashHoldsHex();
    }

    // Esc while the worker runs: the window goes at once, the worker runs to its end
    // without touching it.
    void closeWhileWorkerRuns() {
        WriteUpDateMng("1.30", "2.01", "OFF");
        StartSim(Config(), {"no-prompt:at=first"});
        OpenWindow();
        QTest::mouseClick(win->UpdateButton(), Qt::LeftButton);
        QVERIFY(g_mainDialog->m_updating);
        QTRY_VERIFY(g_netStep >= 2);
        QTest::keyClick(win.get(), Qt::Key_Escape);
        QVERIFY(!win->isVisible());
        win.reset();
        WaitIChipWorker();
        QCOMPARE(g_netResult.load(), -1);
        QCOMPARE(g_lastErrorText, std::string("[115200] Prompt Error"));
        QVERIFY(boxes.isEmpty());
    }

    void workerFailures_data() {
        QTest::addColumn<QString>("row");
        QTest::newRow("request refused") << "request refused";
        QTest::newRow("image missing") << "image missing";
    }
    void workerFailures() {
        QFETCH(QString, row);
        WriteUpDateMng("1.30", "2.01", "OFF");
        std::vector<std::string> faults;
        if (row == "request refused") faults.push_back("link-status=0-1:cmd=ICHIP");
        else fs::remove(prog / "Nimbra_809.imf");
        StartSim(Config(), faults);
        OpenWindow();
        RunUpdate();
        const QString failed = QString::fromUtf8("アップデート失敗(-1)");
        if (row == "request refused") {
            // the worker's text, then the failure code
            QCOMPARE(boxes, (QStringList{"[iChipReq] Status Error2", failed}));
            QCOMPARE(win->Status()->text(), QStringLiteral("[iChipReq] Status Error2"));
        } else {
            // the worker's own box, marshalled from its thread, then the dialog's two
            const QString text = QString::fromStdString(M(1200));
            QCOMPARE(boxes, (QStringList{text, text, failed}));
            QCOMPARE(win->Status()->text(), text);
        }
    }
};

QTEST_MAIN(GuiTest)
#include "GuiTest.moc"
