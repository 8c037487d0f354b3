// The library as the program uses it (the shared library through its C header),
// against the simulated logger over its ptys in fast mode. Every test uses COM
// numbers of its own, so that parallel test processes never share a log file.
#include "KorvatSarnUpdate.h"
#include "Simulator.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using nimbra::sim::Mode;
using nimbra::testsupport::TempDir;
using Bytes = std::vector<std::uint8_t>;

namespace {

const char* const kProduct = "Korvat USB-UART Controller";
const char* const kSerial = "0001";

std::string ProgramFolder() {
    return fs::read_symlink("/proc/self/exe").parent_path().string();
}

std::string LogPath(int com) { return ProgramFolder() + "/FlightMsg_" + std::to_string(com) + ".txt"; }

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A small HEX file: `blocks` 2 KiB blocks, every one holding data.
std::string SmallHex(int blocks) {
    std::string text;
    char line[80];
    for (int b = 0; b < blocks; ++b) {
        const unsigned address = static_cast<unsigned>(b) * 2048;
        if ((address & 0xFFFF) == 0 && address != 0) {
            const unsigned upper = address >> 16;
            std::snprintf(line, sizeof line, ":02000004%04X%02X\n", upper,
                          (0x100 - ((2 + 4 + (upper >> 8) + (upper & 0xFF)) & 0xFF)) & 0xFF);
            text += line;
        }
        const unsigned a = address & 0xFFFF;
        const unsigned value = static_cast<unsigned>(0x30 + b);
        // One 16-byte record at the start of the block is enough to make it non-blank.
        unsigned sum = 0x10 + (a >> 8) + (a & 0xFF);
        std::snprintf(line, sizeof line, ":10%04X00", a);
        text += line;
        for (int i = 0; i < 16; ++i) {
            std::snprintf(line, sizeof line, "%02X", (value + i) & 0xFF);
            text += line;
            sum += (value + i) & 0xFF;
        }
        std::snprintf(line, sizeof line, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        text += line;
    }
    return text + ":00000001FF\n";
}

class Update : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.empty());
        ASSERT_EQ(setenv("NIMBRA_VIRTUAL_BUS", (dir_ + "/bus").c_str(), 1), 0);
        fs::create_directory(dir_ + "/fw");
    }
    void TearDown() override {
        KorvatSarnUpdate_SetMessagePump(nullptr, nullptr);
        sim_.reset();
        for (int com : coms_) fs::remove(LogPath(com));
    }

    // Starts the simulator with one logger on each COM number given.
    void StartSim(std::vector<int> coms, std::vector<std::string> faults = {}, std::uint16_t productId = 0x0d5e,
                  Bytes flash = {}) {
        nimbra::sim::SimConfig config;
        config.busDir = dir_ + "/bus";
        for (int com : coms) {
            nimbra::sim::LoggerConfig logger;
            logger.com = com;
            logger.productId = productId;
            logger.serial = 0x1234 + static_cast<std::uint32_t>(config.loggers.size());  // one link each
            logger.faults = faults;
            logger.flash = flash;
            config.loggers.push_back(logger);
            coms_.push_back(com);
            fs::remove(LogPath(com));
        }
        sim_ = std::make_unique<nimbra::sim::Simulator>(config);
        ASSERT_EQ(sim_->Start(), 0);
    }

    // The simulator takes a port's lock from its own thread, shortly after Start():
    // wait until another open of the port is refused.
    void WaitUntilHeld(int com) {
        const std::string path = dir_ + "/bus/COM" + std::to_string(com);
        for (int i = 0; i < 200; ++i) {
            const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            const bool held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
            if (fd >= 0) close(fd);
            if (held) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ADD_FAILURE() << "the simulator never took the lock of COM" << com;
    }

    std::string WriteFile(const std::string& name, const std::string& text) {
        const std::string path = dir_ + "/fw/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    TempDir tmp_{"nfu"};
    const std::string dir_ = tmp_.path();
    std::vector<int> coms_;
    std::unique_ptr<nimbra::sim::Simulator> sim_;
};

// Runs `fn` as the thread's message pump.
struct Pump {
    std::function<void()> fn;
    static void Call(void* self) { static_cast<Pump*>(self)->fn(); }
    void Install() { KorvatSarnUpdate_SetMessagePump(&Pump::Call, this); }
};

TEST_F(Update, FullUpdateWithVerifyWritesTheImageAndTheLog) {
    constexpr int kCom = 21;
    StartSim({kCom});
    nimbra::sim::SampleOptions samples;
    ASSERT_EQ(nimbra::sim::WriteSamples(dir_ + "/fw", samples), 0);

    // The timer of the program reads the status inside the call.
    std::vector<int> steps;
    int lastPercent = -1;
    Pump pump{[&] {
        int step = -1, percent = -1;
        KorvatSarnUpdate_GetStatus(&step, &percent);
        if (steps.empty() || steps.back() != step) steps.push_back(step);
        lastPercent = percent;
    }};
    pump.Install();

    const std::string hex = dir_ + "/fw/Nimbra.hex";
    ASSERT_EQ(KorvatSarnUpdate(hex.c_str(), kCom, kProduct, kSerial, 512, 1), 0);

    EXPECT_EQ(ReadText(LogPath(kCom)),
              "Port Open(9600)\r\n"
              "Programming_Mode(Success)\r\n"
              "Reset_Synchro(Success)\r\n"
              "Change_BaudRate(Success)\r\n"
              "Com Close(9600)\r\n"
              "Port Open(115200)\r\n"
              "Reset_Synchro(Success)\r\n"
              "Silicon_Signature(Success)\r\n"
              "Erace_Flash(Success)\r\n"
              "Programming(Success)\r\n"
              "Verify(Success)\r\n"
              "Firmware Update Success !!\r\n");

    const Bytes image = ReadBytes(dir_ + "/fw/Nimbra.bin");
    ASSERT_FALSE(image.empty());
    Bytes flash = sim_->Flash(0);
    ASSERT_EQ(flash.size(), nimbra::sim::kFlashSize);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << "flash differs from the image";
    EXPECT_TRUE(std::all_of(flash.begin() + static_cast<long>(image.size()), flash.end(),
                            [](std::uint8_t b) { return b == 0xFF; }));

    EXPECT_EQ(steps, (std::vector<int>{2, 3, 4, 5, 6, 7, 8}));  // the pump runs from the first write on
    EXPECT_GT(lastPercent, 50);
    int step = -1, percent = -1;
    KorvatSarnUpdate_GetStatus(&step, &percent);
    EXPECT_EQ(step, 10);
    EXPECT_EQ(percent, lastPercent);
    std::thread([] {
        int s = 77, p = 88;
        KorvatSarnUpdate_GetStatus(&s, &p);
        EXPECT_EQ(s, 77);
        EXPECT_EQ(p, 88);
        KorvatSarnUpdate_Cancel();  // no record on this thread: nothing happens
    }).join();

    // Held in reset with normal mode selected until the program restarts it.
    EXPECT_EQ(sim_->CurrentMode(0), Mode::Reset);
    const int boots = sim_->BootCount(0);
    EXPECT_EQ(KorvatSarnUpdate_Reset(kCom, 1, 0), 0);
    EXPECT_EQ(sim_->CurrentMode(0), Mode::NormalFirmware);
    EXPECT_EQ(sim_->BootCount(0), boots + 1);

    // A second run on this thread starts at step 0 and keeps the last percent until
    // programming writes it: a port that does not exist stops it at step 0.
    KorvatSarnUpdate_Cancel();
    EXPECT_EQ(KorvatSarnUpdate(hex.c_str(), kCom + 1, kProduct, kSerial, 512, 1), -5);
    KorvatSarnUpdate_GetStatus(&step, &percent);
    EXPECT_EQ(step, 0);
    EXPECT_EQ(percent, lastPercent);
    EXPECT_FALSE(fs::exists(LogPath(kCom + 1)));
}

struct CodeCase {
    const char* name;
    int com;
    int result;
    std::vector<std::string> faults;
    const char* logEnd;  // nullptr: no log file
    bool outOfBootMode;  // the target must have left boot mode
    std::string file = "fw.hex";
    int verify = 1;
    int port = 0;  // 0: the logger's COM
    const char* serial = kSerial;
};

TEST_F(Update, EveryResultCodeFromARealFault) {
    const std::string longText(200, 'x');
    const std::vector<CodeCase> cases = {
        {"empty serial number", 31, -1, {}, nullptr, false, "fw.hex", 1, 0, ""},
        {"port above 255", 32, -1, {}, nullptr, false, "fw.hex", 1, 256 + 32},
        {"neither hex nor bin", 33, -2, {}, nullptr, false, "fw.txt"},
        {"bad checksum", 34, -3, {}, "INTEL HEX FILE CONVERT ERR(-2)", false, "bad.hex"},
        {"no data record", 35, -3, {}, "INTEL HEX FILE CONVERT ERR(-11)", false, "empty.hex"},
        {"held at the start", 36, -4, {"port-held:at=start"}, nullptr, false},
        {"no such port", 37, -5, {}, nullptr, false, "fw.hex", 1, 137},
        {"product string unreadable", 38, -6, {"product-string=" + longText}, "Port Open(9600)\r\nGetDeviceProductString Error", false},
        {"serial number unreadable", 39, -7, {"usb-serial=" + longText}, "Port Open(9600)\r\nGetDeviceSerialNumber Error", false},
        {"another bridge", 40, -8, {"usb-serial=0002"}, "Port Open(9600)\r\nInvalid Device", false},
        {"no announcement", 41, -10, {"announce=55"}, "Programming_Mode(Ack Error)\r\n", false},
        {"latch refused", 42, -10, {"gpio-fail"}, "Programming_Mode(Reset Error)\r\n", false},
        {"reset refused 16 times", 43, -11, {"nak:cmd=00,times=0"}, "Reset_Synchro(Synchro Fail)\r\n", true},
        {"held at the reopen", 44, -4, {"port-held:at=reopen"}, "Com Close(9600)\r\n", false},
        {"signature refused", 45, -13, {"nak:cmd=c0"}, "Silicon_Signature(NAK Error)\r\n", true},
        {"signature status broken", 46, -13, {"badsum:cmd=c0"}, "Silicon_Signature(Data Check Error)\r\n", true},
        {"erase refused", 47, -14, {"nak:cmd=20"}, "Erace_Flash(NAK Error)\r\n", true},
        {"block command refused", 48, -15, {"nak:cmd=40,block=1"}, "Programming(Command NAK Error)\r\n", true},
        {"data frame refused", 49, -15, {"nak:cmd=40,block=0,frame=3"}, "Programming(Data NAK Error)\r\n", true},
        {"final status refused", 50, -15, {"nak:cmd=40,block=2,frame=8"}, "Programming(Final Data NAK Error)\r\n", true},
        {"image too large", 51, -15, {}, "Programming(Calcu Block size Error)\r\n", true, "big.hex"},
        {"verify differs", 52, -16, {"nak:cmd=13,block=1,frame=0"}, "Verify(Data NAK Error)\r\n", true},
        {"verify command refused", 53, -16, {"nak:cmd=13"}, "Verify(Command NAK Error)\r\n", true},
    };
    WriteFile("fw.hex", SmallHex(3));
    WriteFile("fw.txt", SmallHex(3));
    WriteFile("bad.hex", ":0100000001FF\n");
    WriteFile("empty.hex", ":00000001FF\n");
    WriteFile("big.hex", SmallHex(257));

    for (const CodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        // Old firmware in the flash, so that a run that must not touch it shows if it did.
        Bytes old(nimbra::sim::kFlashSize, 0xFF);
        std::fill(old.begin(), old.begin() + 4096, 0xA5);
        StartSim({c.com}, c.faults, 0x0d5e, old);
        if (!c.faults.empty() && c.faults[0] == "port-held:at=start") WaitUntilHeld(c.com);
        const std::string path = dir_ + "/fw/" + c.file;
        const int port = c.port ? c.port : c.com;
        EXPECT_EQ(KorvatSarnUpdate(path.c_str(), port, kProduct, c.serial, 512, c.verify), c.result);
        const std::string log = LogPath(port & 0xFFFF);
        if (c.logEnd == nullptr) {
            EXPECT_FALSE(fs::exists(log));
        } else {
            const std::string text = ReadText(log);
            const std::string end = c.logEnd;
            EXPECT_TRUE(text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0)
                << "log: " << text;
            if (c.result == -3) {
                EXPECT_EQ(text, end);
            }
        }
        if (c.outOfBootMode) {
            EXPECT_EQ(sim_->CurrentMode(0), Mode::Reset);
        }
        if (c.result == -3) {
            EXPECT_EQ(sim_->Flash(0), old) << "target touched";
        }
        sim_.reset();
    }
}

// Faults that need the run's own timing: they are set off from inside the run,
// through the pump, the way a user or the hardware would strike.
TEST_F(Update, FaultsStruckDuringTheRun) {
    WriteFile("fw.hex", SmallHex(3));
    const std::string path = dir_ + "/fw/fw.hex";
    struct Case {
        const char* name;
        int com;
        int result;
        int atStep;  // strike at the first pump call of this step
        std::function<void(nimbra::sim::Simulator&)> strike;
        const char* logEnd;
        bool outOfBootMode;
    } cases[] = {
        {"cancel during programming", 61, -15, 7, [](nimbra::sim::Simulator&) { KorvatSarnUpdate_Cancel(); },
         "Programming(Cancel)\r\n", true},
        {"cancel during verify", 62, -16, 8, [](nimbra::sim::Simulator&) { KorvatSarnUpdate_Cancel(); },
         "Verify(Cancel)\r\n", true},
        {"unplugged at the baud-rate change", 63, -12, 3,
         [this](nimbra::sim::Simulator& s) {
             // The pty goes away once the simulator's thread lets go of it: wait
             // for its device node to vanish, as the hang-up comes with that.
             const fs::path pts = fs::read_symlink(dir_ + "/bus/COM63");
             s.Unplug(0);
             for (int i = 0; i < 200 && fs::exists(pts); ++i)
                 std::this_thread::sleep_for(std::chrono::milliseconds(10));
             std::this_thread::sleep_for(std::chrono::milliseconds(20));
         },
         "Change_BaudRate(Send Error)\r\n", false},
        {"latch refused when leaving boot mode", 64, -17, 8,
         [](nimbra::sim::Simulator& s) { ASSERT_TRUE(s.AddFault(0, "gpio-fail")); },
         "Programming_Mode(Set Error)\r\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StartSim({c.com});
        bool struck = false;
        Pump pump{[&] {
            int step = -1, percent = -1;
            KorvatSarnUpdate_GetStatus(&step, &percent);
            if (!struck && step == c.atStep) {
                struck = true;
                c.strike(*sim_);
            }
        }};
        pump.Install();
        EXPECT_EQ(KorvatSarnUpdate(path.c_str(), c.com, kProduct, kSerial, 512, 1), c.result);
        KorvatSarnUpdate_SetMessagePump(nullptr, nullptr);
        const std::string text = ReadText(LogPath(c.com));
        const std::string end = c.logEnd;
        EXPECT_TRUE(text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0)
            << "log: " << text;
        if (c.outOfBootMode) {
            EXPECT_EQ(sim_->CurrentMode(0), Mode::Reset);
        }
        int step = -1, percent = -1;
        KorvatSarnUpdate_GetStatus(&step, &percent);
        EXPECT_EQ(step, c.result == -17 ? 9 : c.atStep) << "step keeps the failed step";
        sim_.reset();
    }
}

TEST_F(Update, ResetPulsesOneLine) {
    constexpr int kCom = 71;
    StartSim({kCom});
    // Held by another program: a mask that is not one line is refused before the
    // port is even opened; a good mask meets the held port.
    const int fd = open((dir_ + "/bus/COM" + std::to_string(kCom)).c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(KorvatSarnUpdate_Reset(kCom, 3, 0), -1);
    EXPECT_EQ(KorvatSarnUpdate_Reset(kCom, 16, 0), -1);
    EXPECT_EQ(KorvatSarnUpdate_Reset(kCom, 1, 0), -4);
    close(fd);
    EXPECT_EQ(KorvatSarnUpdate_Reset(kCom + 1, 1, 0), -5);

    const int boots = sim_->BootCount(0);
    EXPECT_EQ(KorvatSarnUpdate_Reset(kCom, 1, 0), 0);
    EXPECT_EQ(sim_->BootCount(0), boots + 1);
    EXPECT_EQ(sim_->CurrentMode(0), Mode::NormalFirmware);
    ASSERT_TRUE(sim_->AddFault(0, "gpio-fail"));
    EXPECT_EQ(KorvatSarnUpdate_Reset(kCom, 1, 0), -18);
}

TEST_F(Update, ComTablesListTheUsablePortsOfOneProduct) {
    StartSim({72, 74});
    ASSERT_TRUE(sim_);
    std::vector<unsigned short> table(256, 9);
    EXPECT_EQ(KorvatSarnUpdate_ComTable_PID(0x0d5e, table.data()), 2);
    for (int n = 0; n < 256; ++n) EXPECT_EQ(table[n], (n == 72 || n == 74) ? 1 : 0) << n;
    EXPECT_EQ(KorvatSarnUpdate_ComTable_PID(0x10d5e, table.data()), 2) << "only the low 16 bits count";

    // A port that another program holds is not usable.
    const int fd = open((dir_ + "/bus/COM74").c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(KorvatSarnUpdate_ComTable_PID(0x0d5e, table.data()), 1);
    EXPECT_EQ(table[74], 0);
    close(fd);

    // No bridge of the product at all: -1 and the table untouched.
    std::vector<unsigned short> untouched(256, 9);
    EXPECT_EQ(KorvatSarnUpdate_ComTable(untouched.data()), -1);
    EXPECT_EQ(KorvatSarnUpdate_ComTable_PID(0x0d3c, untouched.data()), -1);
    EXPECT_EQ(untouched, std::vector<unsigned short>(256, 9));
}

TEST_F(Update, DefaultProductTableAndAFlatImage) {
    constexpr int kCom = 76;
    StartSim({kCom}, {}, 0x0d3b);
    std::vector<unsigned short> table(256, 0);
    EXPECT_EQ(KorvatSarnUpdate_ComTable(table.data()), 1);
    EXPECT_EQ(table[kCom], 1);

    // A flat image is used as it is; without verify the log has no Verify line.
    Bytes image(3 * 2048 + 100, 0xFF);
    for (std::size_t i = 0; i < image.size(); i += 7) image[i] = static_cast<std::uint8_t>(i);
    std::ofstream(dir_ + "/fw/flat.BIN", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    const std::string path = dir_ + "/fw/flat.BIN";
    EXPECT_EQ(KorvatSarnUpdate(path.c_str(), kCom, kProduct, kSerial, 512, 0), 0);
    const std::string log = ReadText(LogPath(kCom));
    EXPECT_EQ(log.find("Verify"), std::string::npos);
    EXPECT_NE(log.find("Programming(Success)\r\nFirmware Update Success !!\r\n"), std::string::npos);
    const Bytes flash = sim_->Flash(0);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));

    // A path longer than 260 bytes is refused, not cut short.
    const std::string longPath = dir_ + "/fw/" + std::string(260, 'a') + ".hex";
    EXPECT_EQ(KorvatSarnUpdate(longPath.c_str(), kCom, kProduct, kSerial, 512, 0), -1);
}

}  // namespace
