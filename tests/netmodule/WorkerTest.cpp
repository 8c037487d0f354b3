// The network-module worker against the simulated logger (fast mode): what the
// module stores, the erase block, the steps, and every way a run can fail.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Globals.h"
#include "NetModule.h"
#include "Simulator.h"
#include "TestSupport.h"
#include "VirtualBus.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace sim = nimbra::sim;

constexpr int kCom = 1;
constexpr std::uint32_t kLoggerSerial = 0x00001234;
constexpr std::uint32_t kImfLoadWord = 0x10010ABC;  // low 12 bits set on purpose
constexpr std::uint32_t kImfLoadAddress = 0x10010000;
constexpr std::uint32_t kWebLoadAddress = 0x100F0000;

constexpr const char* kEraseBoth = "E 4,5,6,7,8,9,10,11,12,13,14,15,18,19,20,21\r";
constexpr const char* kEraseFirm = "E 4,5,6,7,8,9,10,11,12,13,14,15\r";
constexpr const char* kEraseWeb = "E 18,19,20,21\r";

std::string EraseBlock(const char* command) {
    std::string block(command);
    block.resize(64, '\0');
    return block;
}

class NetWorker : public ::testing::Test {
protected:
    void SetUp() override {
        nimbra::ResetGlobalsForTest();
        ASSERT_FALSE(bus_.path().empty());
        ASSERT_FALSE(files_.path().empty());
        ASSERT_EQ(setenv(nimbra::bus::kEnvVar, bus_.path().c_str(), 1), 0);

        sim::SampleOptions samples;
        samples.imfBytes = 24 * 1024 + 100;  // a short last record
        samples.imgBytes = 16 * 1024;        // ends on a full record
        samples.imfLoadAddress = kImfLoadWord;
        ASSERT_EQ(sim::WriteSamples(files_.path(), samples), 0);
        // The two firmware images must differ, or the choice between them goes unseen.
        ASSERT_NE(nettest::ReadFile(files_ / "Nimbra_809.imf"), nettest::ReadFile(files_ / "Nimbra_810.imf"));

        sim::SimConfig config;
        config.busDir = bus_.path();
        sim::LoggerConfig logger;
        logger.com = kCom;
        logger.serial = kLoggerSerial;
        config.loggers.push_back(logger);
        sim_ = std::make_unique<sim::Simulator>(config);
        ASSERT_EQ(sim_->Start(), 0);
    }
    void TearDown() override {
        nimbra::WaitIChipWorker();
        nimbra::SetNetWorkerSettings({});
        sim_.reset();
        unsetenv(nimbra::bus::kEnvVar);
    }

    // Runs one update the way the program starts it, and waits for its end.
    void Run(int updateType, int imageNo, int erasePauseMs = 0, int markerWaitMs = 80000) {
        nimbra::g_comPort = kCom;
        nimbra::g_deviceSerial = kLoggerSerial;
        nimbra::g_webImagePath = files_ / "Nimbra.img";
        nimbra::g_mainDialog->m_updateType = updateType;
        nimbra::g_netResult = 1;
        nimbra::g_netStep = 0;
        nimbra::g_mainDialog->m_progressDone = 0;

        nimbra::NetWorkerSettings settings;
        settings.imageFolder = files_.path();
        settings.erasePauseMs = erasePauseMs;
        settings.markerWaitMs = markerWaitMs;
        settings.stepObserver = [](int step, void* self) { static_cast<NetWorker*>(self)->steps_.push_back(step); };
        settings.stepObserverContext = this;
        nimbra::SetNetWorkerSettings(settings);

        const auto start = Clock::now();
        ASSERT_EQ(nimbra::StartIChipWorker(imageNo), 0);
        while (nimbra::g_netResult.load(std::memory_order_acquire) > 0) {
            ASSERT_LT(Clock::now() - start, std::chrono::seconds(150)) << "the worker never ended";
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // Whatever the outcome, the link is free by the time the result shows.
        portFreeAtResult_ = PortFree();
        nimbra::WaitIChipWorker();
        elapsed_ = Clock::now() - start;
    }

    // Whether another program could take the port now: the lock the serial layer
    // takes, probed without the purge of a full open, so that bytes still on their
    // way to the module are left alone.
    static bool PortFree() {
        int fd = open(nimbra::bus::TtyPath(kCom).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return false;
        const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
        close(fd);
        return free;
    }

    bool ModeBecomes(sim::Mode mode) const {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (sim_->CurrentMode() != mode) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // Records the module stored for an image sent from `address`.
    std::size_t RecordsFrom(std::uint32_t first, std::uint32_t end) const {
        std::size_t n = 0;
        for (const auto& [address, bytes] : sim_->NetRecords()) {
            (void)bytes;
            if (address >= first && address < end) ++n;
        }
        return n;
    }

    nettest::TempDir bus_{"nnb"};
    nettest::TempDir files_{"nnf"};
    nettest::RecordingView view_;
    nettest::LogRecorder log_;
    std::unique_ptr<sim::Simulator> sim_;
    std::vector<int> steps_;
    bool portFreeAtResult_ = false;
    Clock::duration elapsed_{};
};

struct SuccessCase {
    const char* name;
    int updateType;
    int imageNo;
    const char* firmFile;  // nullptr: no firmware image goes
    bool web;
    const char* erase;
    std::vector<int> steps;
    int erasePauseMs;
};

void PrintTo(const SuccessCase& c, std::ostream* os) { *os << c.name; }

class NetWorkerSuccess : public NetWorker, public ::testing::WithParamInterface<SuccessCase> {};

TEST_P(NetWorkerSuccess, ModuleHoldsTheFilesByteForByte) {
    const SuccessCase& c = GetParam();
    Run(c.updateType, c.imageNo, c.erasePauseMs);

    EXPECT_EQ(nimbra::g_netResult.load(std::memory_order_acquire), 0);
    EXPECT_EQ(nimbra::g_lastErrorText, "");
    EXPECT_EQ(steps_, c.steps);
    EXPECT_EQ(nimbra::g_netStep.load(), 8);
    EXPECT_TRUE(portFreeAtResult_);
    EXPECT_EQ(sim_->LastNetEraseCommand(), EraseBlock(c.erase));
    EXPECT_TRUE(view_.Boxes().empty());

    int lastLength = 0;
    if (c.firmFile) {
        const auto firm = nettest::ReadFile(files_ / c.firmFile);
        EXPECT_EQ(sim_->NetBytes(0, kImfLoadAddress, firm.size()), firm);
        EXPECT_EQ(RecordsFrom(kImfLoadAddress, kWebLoadAddress), (firm.size() + 2047) / 2048);
        EXPECT_TRUE(log_.Has("Write Firm(" + (files_ / c.firmFile) + ")"));
        lastLength = static_cast<int>(firm.size());
    } else {
        EXPECT_EQ(RecordsFrom(0, kWebLoadAddress), 0u);
    }
    if (c.web) {
        const auto web = nettest::ReadFile(files_ / "Nimbra.img");
        EXPECT_EQ(sim_->NetBytes(0, kWebLoadAddress, web.size()), web);
        EXPECT_EQ(RecordsFrom(kWebLoadAddress, 0xFFFFFFFF), web.size() / 2048);
        lastLength = static_cast<int>(web.size());
    } else {
        EXPECT_EQ(RecordsFrom(kWebLoadAddress, 0xFFFFFFFF), 0u);
    }
    EXPECT_EQ(nimbra::g_mainDialog->m_progressTotal.load(), lastLength);
    EXPECT_EQ(nimbra::g_mainDialog->m_progressDone.load(), lastLength);
    // The closing command reached the module: it has handed back to the normal firmware.
    EXPECT_TRUE(ModeBecomes(sim::Mode::NormalFirmware));
    if (c.erasePauseMs >= 10000) { EXPECT_GE(elapsed_, std::chrono::milliseconds(c.erasePauseMs)); }
}

INSTANTIATE_TEST_SUITE_P(
    UpdateTypes, NetWorkerSuccess,
    ::testing::Values(
        SuccessCase{"FirmwareOnly", 2, 810, "Nimbra_810.imf", false, kEraseFirm, {1, 2, 3, 4, 5, 6, 8}, 0},
        SuccessCase{"WebOnly", 4, 809, nullptr, true, kEraseWeb, {1, 2, 3, 4, 5, 7, 8}, 0},
        SuccessCase{"BothWith809", 6, 809, "Nimbra_809.imf", true, kEraseBoth, {1, 2, 3, 4, 5, 6, 7, 8}, 0},
        // The recovery path, with the product's own 10-second pause after the erase.
        SuccessCase{"RecoveryAllBitsImage0", -1, 0, "Nimbra_810.imf", true, kEraseBoth,
                    {1, 2, 3, 4, 5, 6, 7, 8}, 10000}),
    [](const auto& info) { return std::string(info.param.name); });

enum class Setup { None, RemoveFirm, RemoveWeb, ShortFirm, HoldPort };

struct FailureCase {
    const char* name;
    int updateType;
    Setup setup;
    const char* fault;  // simulator fault, or nullptr
    std::string text;
    std::vector<int> steps;
    const char* extraLog;  // the worker's own line after the sender's, or nullptr
    bool box;
    int records = 0;       // records the module took before the failure
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class NetWorkerFailure : public NetWorker, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(NetWorkerFailure, EndsWithTheTextAndTheLinkClosed) {
    const FailureCase& c = GetParam();
    int holder = -1;
    switch (c.setup) {
    case Setup::None: break;
    case Setup::RemoveFirm: ASSERT_EQ(unlink((files_ / "Nimbra_810.imf").c_str()), 0); break;
    case Setup::RemoveWeb: ASSERT_EQ(unlink((files_ / "Nimbra.img").c_str()), 0); break;
    case Setup::ShortFirm: nettest::WriteFile(files_ / "Nimbra_810.imf", nettest::Pattern(83, 9)); break;
    case Setup::HoldPort:
        // Another program holds the tty, with the lock the product honours.
        holder = open(nimbra::bus::TtyPath(kCom).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(holder, 0);
        ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
        break;
    }
    if (c.fault) { ASSERT_TRUE(sim_->AddFault(0, c.fault)) << c.fault; }

    Run(c.updateType, 810, 0, /*markerWaitMs=*/3000);
    if (holder >= 0) close(holder);

    EXPECT_EQ(nimbra::g_netResult.load(std::memory_order_acquire), -1);
    EXPECT_EQ(nimbra::g_lastErrorText, c.text);
    EXPECT_EQ(steps_, c.steps);
    EXPECT_TRUE(log_.Has(c.text));
    if (c.extraLog) { EXPECT_TRUE(log_.Has(c.extraLog)); }
    if (c.setup != Setup::HoldPort) { EXPECT_TRUE(portFreeAtResult_); }
    EXPECT_EQ(view_.Boxes(), c.box ? std::vector<std::string>{c.text} : std::vector<std::string>{});
    EXPECT_EQ(sim_->NetRecords().size(), static_cast<std::size_t>(c.records));
}

INSTANTIATE_TEST_SUITE_P(
    FailureTable, NetWorkerFailure,
    ::testing::Values(
        FailureCase{"FirmwareFileMissing", 2, Setup::RemoveFirm, nullptr, "iChipファームファイルオープンエラー", {}, nullptr, true},
        FailureCase{"WebFileMissing", 4, Setup::RemoveWeb, nullptr, "Webファームファイルオープンエラー", {}, nullptr, true},
        FailureCase{"FirmwareTooShortForItsAddress", 6, Setup::ShortFirm, nullptr, nimbra::kFirmImageTooShortText, {},
                    nullptr, true},
        FailureCase{"RequestRefused", 2, Setup::None, "link-status=0-1", "[iChipReq] Status Error2", {1}, nullptr, false},
        FailureCase{"PortHeldElsewhere", 2, Setup::HoldPort, nullptr, "[115200] Com Open Error", {1}, nullptr, false},
        FailureCase{"NoStartMarker", 2, Setup::None, "no-dollar", "[115200] $$$ Recv Error", {1, 2}, nullptr, false},
        FailureCase{"LineEndBeforeStartMarker", 2, Setup::None, "dollar-prefix", "[115200] $$$ Recv Error", {1, 2},
                    nullptr, false},
        FailureCase{"NoFirstPrompt", 2, Setup::None, "no-prompt:at=first", "[115200] Prompt Error", {1, 2, 3}, nullptr,
                    false},
        FailureCase{"NoPromptAfterErase", 2, Setup::None, "no-prompt:at=erase", "[Erace] Prompt Error",
                    {1, 2, 3, 4, 5}, nullptr, false},
        // The module counts records from 0 after the erase; record K gets no prompt.
        FailureCase{"NoPromptAfterFirmwareRecord", 6, Setup::None, "no-prompt:at=record=3",
                    "[iChip Send] Prompt Error", {1, 2, 3, 4, 5, 6}, "Main Firm Transfer Error", false, 4},
        FailureCase{"NoPromptAfterWebRecord", 4, Setup::None, "no-prompt:at=record=2", "[Web Send Firm] Prompt Error",
                    {1, 2, 3, 4, 5, 7}, "Web Firm Transfer Error", false, 3}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
