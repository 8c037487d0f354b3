// The serial-link library on a real pseudo-terminal: the test holds the master
// side and its own descriptor of the slave, the library opens COM7 of a private bus.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <sys/file.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "KorvatSarnUsbSerialEx.h"
#include "PtyLine.h"
#include "TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCom = 7;

class UsbSerial : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(bus_.path().empty());
        ASSERT_NO_FATAL_FAILURE(pty_.Open(bus_.path(), kCom));
    }
    void TearDown() override {
        if (link_) KorvatSarnUsbSerialEx_CloseComm(link_);
        pty_.Close();
    }
    void Open() { ASSERT_EQ(KorvatSarnUsbSerialEx_OpenComm(kCom, 16384, 16384, 115200, &link_), 0); }

    std::vector<unsigned char> ReadMaster(std::size_t n) { return pty_.ReadMaster(n, 2000); }

    nettest::TempDir bus_{"nus"};
    nimbra::testsupport::PtyLine pty_;
    KorvatSarnUsbSerialEx_Handle link_ = nullptr;
};

TEST_F(UsbSerial, OpensEightDataBitsNoParityOneStopBitAt115200) {
    Open();
    termios tio{};
    ASSERT_EQ(tcgetattr(pty_.slave(), &tio), 0);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
}

TEST_F(UsbSerial, OpenFailures) {
    KorvatSarnUsbSerialEx_Handle h = reinterpret_cast<KorvatSarnUsbSerialEx_Handle>(&h);
    EXPECT_EQ(KorvatSarnUsbSerialEx_OpenComm(kCom + 1, 16384, 16384, 115200, &h), KORVATSARN_USBSERIALEX_OPEN_FAILED);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(KorvatSarnUsbSerialEx_OpenComm(0, 16384, 16384, 115200, &h), KORVATSARN_USBSERIALEX_BAD_ARGUMENT);
    EXPECT_EQ(KorvatSarnUsbSerialEx_OpenComm(256, 16384, 16384, 115200, &h), KORVATSARN_USBSERIALEX_BAD_ARGUMENT);
    EXPECT_EQ(KorvatSarnUsbSerialEx_OpenComm(kCom, 16384, 16384, 115200, nullptr), KORVATSARN_USBSERIALEX_BAD_ARGUMENT);

    // Another program holding the port: its lock decides, also for root.
    int holder = open(pty_.ttyName().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(KorvatSarnUsbSerialEx_OpenComm(kCom, 16384, 16384, 115200, &h), KORVATSARN_USBSERIALEX_PORT_HELD);
    EXPECT_EQ(h, nullptr);
    close(holder);
    Open();
    // ...and while this link is open, nobody else gets the port.
    EXPECT_EQ(KorvatSarnUsbSerialEx_OpenComm(kCom, 16384, 16384, 115200, &h), KORVATSARN_USBSERIALEX_PORT_HELD);
}

TEST_F(UsbSerial, ReadReturnsWhenCountIsInOrAfterTheWait) {
    Open();
    unsigned char buf[8] = {};
    ASSERT_EQ(write(pty_.master(), "ab", 2), 2);
    EXPECT_EQ(KorvatSarnUsbSerialEx_ReadCommWait(link_, 100, buf, 3, 5), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), std::string("ab\0", 3));  // rest keeps its zero

    // A long wait does not hold a read whose bytes are all in.
    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        (void)!write(pty_.master(), "$$$", 3);
    });
    std::memset(buf, 0, sizeof buf);
    const auto start = Clock::now();
    EXPECT_EQ(KorvatSarnUsbSerialEx_ReadCommWait(link_, 60000, buf, 3, 100), 3);
    late.join();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf)), "$$$");
}

TEST_F(UsbSerial, FlushInputDiscardsReceivedBytesOnly) {
    Open();
    ASSERT_EQ(write(pty_.master(), "stale>", 6), 6);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(KorvatSarnUsbSerialEx_FlushComm(link_, 1), 0);
    const unsigned char out[] = "ok";
    EXPECT_EQ(KorvatSarnUsbSerialEx_WriteComm(link_, out, 2), 2);
    EXPECT_EQ(KorvatSarnUsbSerialEx_FlushComm(link_, 1), 0);
    EXPECT_EQ(ReadMaster(2), (std::vector<unsigned char>{'o', 'k'}));
    unsigned char buf[4] = {};
    EXPECT_EQ(KorvatSarnUsbSerialEx_ReadCommWait(link_, 30, buf, 1, 5), 0);
    EXPECT_EQ(KorvatSarnUsbSerialEx_FlushComm(link_, 2), KORVATSARN_USBSERIALEX_BAD_ARGUMENT);
}

TEST_F(UsbSerial, FlushOutputNeverCutsIntoAFinishedWrite) {
    // The prompt poll flushes the output right after a record has been written.
    Open();
    const auto record = nettest::Pattern(2063, 11);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(KorvatSarnUsbSerialEx_WriteComm(link_, record.data(), static_cast<int>(record.size())), 2063);
        EXPECT_EQ(KorvatSarnUsbSerialEx_FlushComm(link_, 0), 0);
        ASSERT_EQ(ReadMaster(record.size()), std::vector<unsigned char>(record.begin(), record.end())) << "round " << i;
    }
}

TEST_F(UsbSerial, BytesWrittenJustBeforeCloseStillArrive) {
    // The closing command goes out and the link closes at once, many times over:
    // not one byte may be lost on the way.
    const unsigned char closing[3] = {'S', '\r', 0};
    const std::vector<unsigned char> expected(closing, closing + 3);
    for (int i = 0; i < 200; ++i) {
        Open();
        ASSERT_EQ(KorvatSarnUsbSerialEx_WriteComm(link_, closing, 3), 3);
        EXPECT_EQ(KorvatSarnUsbSerialEx_CloseComm(link_), 0);
        link_ = nullptr;
        ASSERT_EQ(ReadMaster(3), expected) << "round " << i;
    }
}

}  // namespace
