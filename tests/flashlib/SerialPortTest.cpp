// The serial layer on a real pseudo-terminal pair: the test holds the master side,
// the layer opens the slave through a COMn link in a private bus directory.
#include "PtyLine.h"
#include "SerialPort.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace nimbra::serial;
using nimbra::testsupport::PtyLine;
using nimbra::testsupport::TempDir;
using Clock = std::chrono::steady_clock;

namespace {

int MsSince(Clock::time_point t) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

class PtyPort : public ::testing::Test {
protected:
    static constexpr std::uint16_t kCom = 7;

    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        ASSERT_NO_FATAL_FAILURE(pty_.Open(dir_.path(), kCom));
    }
    void TearDown() override {
        if (port_ != kInvalidPort) CloseComPort(port_);
        pty_.Close();
        SetThreadMessagePump(nullptr, nullptr);
    }
    void Open(int baud = 9600) { ASSERT_EQ(OpenComPortDefault(kCom, 1024, 1024, baud, &port_), kOpenOk); }

    // Reads exactly n bytes from the master side (or fewer after 2 s of nothing).
    std::vector<unsigned char> ReadMaster(std::size_t n) { return pty_.ReadMaster(n, 2000); }

    TempDir dir_{"nsp"};
    PtyLine pty_;
    PortHandle port_ = kInvalidPort;
};

TEST_F(PtyPort, EveryByteValuePassesUnchangedBothWays) {
    Open(115200);
    std::vector<unsigned char> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
    // Include the characters a cooked line would act on, twice in a row.
    all.insert(all.end(), {0x11, 0x13, '\r', '\n', 0x03, 0x04, 0x7f, 0x1a});

    ASSERT_EQ(WriteComPort(port_, all.data(), static_cast<int>(all.size())), static_cast<int>(all.size()));
    EXPECT_EQ(ReadMaster(all.size()), all);

    ASSERT_EQ(write(pty_.master(), all.data(), all.size()), static_cast<ssize_t>(all.size()));
    std::vector<unsigned char> got(all.size() + 1, 0xAA);
    EXPECT_EQ(ReadComPort(port_, 500, got.data(), static_cast<int>(all.size()), 10), static_cast<int>(all.size()));
    got.resize(all.size());
    EXPECT_EQ(got, all);
}

TEST_F(PtyPort, ReadReturnsOnceTheWantedBytesAreIn) {
    Open();
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const unsigned char a[] = {1, 2, 3};
        (void)!write(pty_.master(), a, 3);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const unsigned char b[] = {4, 5, 6};  // one more than wanted: stays queued
        (void)!write(pty_.master(), b, 3);
    });
    unsigned char buf[5] = {};
    const auto t0 = Clock::now();
    const int n = ReadComPort(port_, 3000, buf, 5, 10);
    const int ms = MsSince(t0);
    sender.join();
    EXPECT_EQ(n, 5);
    EXPECT_LT(ms, 1500) << "the read waited for silence although the bytes were in";
    const unsigned char want[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(0, memcmp(buf, want, 5));
    unsigned char rest = 0;
    EXPECT_EQ(ReadComPort(port_, 100, &rest, 1, 10), 1);
    EXPECT_EQ(rest, 6);
}

TEST_F(PtyPort, SilenceEndsTheReadAfterTheIdleTimeOut) {
    Open();
    unsigned char buf[5] = {};
    auto t0 = Clock::now();
    EXPECT_EQ(ReadComPort(port_, 300, buf, 5, 10), 0);
    EXPECT_GE(MsSince(t0), 290);

    // Only silence counts: a trickle of 3 bytes with 60 ms gaps is collected whole,
    // then the remaining silence ends the read with the short count.
    std::thread sender([&] {
        for (unsigned char b = 1; b <= 3; ++b) {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            (void)!write(pty_.master(), &b, 1);
        }
    });
    t0 = Clock::now();
    const int n = ReadComPort(port_, 300, buf, 5, 10);
    const int ms = MsSince(t0);
    sender.join();
    EXPECT_EQ(n, 3);
    EXPECT_EQ(buf[2], 3);
    EXPECT_GE(ms, 290);
}

TEST_F(PtyPort, HungUpLineReadsAsSilenceWithoutSpinning) {
    Open();
    pty_.CloseMaster();
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    unsigned char buf[4];
    const auto t0 = Clock::now();
    EXPECT_EQ(ReadComPort(port_, 400, buf, 4, 10), 0);
    EXPECT_GE(MsSince(t0), 390);
    getrusage(RUSAGE_THREAD, &after);
    auto cpuUs = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000L + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
    };
    EXPECT_LT(cpuUs(after) - cpuUs(before), 200000L) << "the read spun on a hung-up line";
    const unsigned char zero = 0;
    EXPECT_EQ(WriteComPort(port_, &zero, 1), -6);
}

TEST_F(PtyPort, HeldElsewhereIsToldFromOtherFailures) {
    Open();
    PortHandle second = 123;
    EXPECT_EQ(OpenComPortDefault(kCom, 1024, 1024, 9600, &second), kOpenHeldElsewhere);
    EXPECT_EQ(second, kInvalidPort);
    EXPECT_EQ(OpenComPortDefault(kCom + 1, 1024, 1024, 9600, &second), kOpenOtherFailure);
    EXPECT_EQ(OpenComPortDefault(kCom, 1024, 1024, 12345, &second), kOpenHeldElsewhere);
    CloseComPort(port_);
    port_ = kInvalidPort;
    EXPECT_EQ(OpenComPortDefault(kCom, 1024, 1024, 12345, &second), kOpenOtherFailure)
        << "a baud rate the line cannot run";
    Open();
}

// A pty keeps speed, stop bits and the raw flags; it forces CS8 without parity,
// so parity and data bits cannot be seen here.
TEST_F(PtyPort, LineSettingsReachTheTty) {
    struct Case {
        int parity, stopBits, dataBits, baud;
        bool twoStop;
        tcflag_t size;
        speed_t speed;
    };
    const Case cases[] = {
        {0, 2, 8, 9600, true, CS8, B9600},
        {0, 0, 8, 115200, false, CS8, B115200},
        {0, 1, 8, 19200, true, CS8, B19200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.parity * 100 + c.stopBits * 10 + c.dataBits);
        PortHandle h = kInvalidPort;
        ASSERT_EQ(OpenComPort(kCom, c.baud, c.parity, c.stopBits, c.dataBits, 1024, 1024, 1000, &h), kOpenOk);
        termios t{};
        ASSERT_EQ(tcgetattr(h, &t), 0);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStop);
        EXPECT_EQ(t.c_cflag & CSIZE, c.size);
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
        EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        CloseComPort(h);
    }
}

TEST_F(PtyPort, WriteDispatchesTheThreadsPumpAndPurgeDiscardsInput) {
    Open();
    int calls = 0;
    SetThreadMessagePump([](void* c) { ++*static_cast<int*>(c); }, &calls);
    const unsigned char frame[] = {0x01, 0x01, 0x00, 0xFF, 0x03, 0x00};
    EXPECT_EQ(WriteComPort(port_, frame, 5), 5);
    EXPECT_GE(calls, 1);
    // Another thread's pump is its own.
    std::thread([&] {
        EXPECT_EQ(WriteComPort(port_, frame, 5), 5);
    }).join();
    const int afterOther = calls;
    EXPECT_EQ(ReadMaster(10).size(), 10u);
    EXPECT_EQ(afterOther, calls);

    const unsigned char junk[] = {9, 9, 9};
    (void)!write(pty_.master(), junk, 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PurgeComPort(port_, 1);
    unsigned char b = 0;
    EXPECT_EQ(ReadComPort(port_, 50, &b, 1, 10), 0);
}

}  // namespace
