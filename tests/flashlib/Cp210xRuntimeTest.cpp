// The bridge runtime: identity and latch writes on the virtual bus (a real pty, a
// real identity file and a real Unix socket), and the failures of the real path.
#include "CP210xRuntime.h"
#include "PtyLine.h"
#include "TempDir.h"
#include "VirtualBus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using nimbra::testsupport::PtyLine;
using nimbra::testsupport::TempDir;

namespace {

constexpr int kCom = 4;

// The bridge's latch socket: records each 4-byte request and answers `answer`.
class LatchServer {
public:
    LatchServer(const std::string& path, unsigned char answer) : answer_(answer) {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr;
        EXPECT_TRUE(nimbra::bus::UnixAddress(path, addr));
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(fd_, 4), 0);
        thread_ = std::thread([this] { Serve(); });
    }
    ~LatchServer() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    std::vector<std::pair<unsigned, unsigned>> Requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void Serve() {
        while (!stop_) {
            pollfd pfd{fd_, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0) continue;
            const int c = accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            unsigned char req[4];
            while (nimbra::bus::ReadAll(c, req, 4, 1000)) {
                {
                    std::lock_guard lock(mutex_);
                    requests_.push_back({req[0] | req[1] << 8u, req[2] | req[3] << 8u});
                }
                if (!nimbra::bus::WriteAll(c, &answer_, 1, 1000)) break;
            }
            close(c);
        }
    }
    int fd_ = -1;
    unsigned char answer_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::pair<unsigned, unsigned>> requests_;
    std::thread thread_;
};

class Bridge : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        // No bytes pass on this line: the master stays as openpty left it.
        ASSERT_NO_FATAL_FAILURE(pty_.Open(dir_.path(), kCom, /*rawMaster=*/false));
        nimbra::bus::UsbIdentity id;
        id.vendor = 0x2a7c;
        id.product = 0x0d5e;
        id.productString = "Korvat USB-UART Controller";
        id.serial = "0001";
        ASSERT_TRUE(nimbra::bus::WriteIdentityFile(nimbra::bus::IdentityPath(dir_.path(), kCom), id));
    }
    void TearDown() override {
        pty_.Close();
        unsetenv("NIMBRA_VIRTUAL_BUS");
    }
    TempDir dir_{"ncp"};
    PtyLine pty_;
};

TEST_F(Bridge, IdentityFromTheBus) {
    char text[128] = {};
    unsigned char length = 128;
    ASSERT_EQ(CP210xRT_GetDeviceProductString(pty_.slave(), text, &length, 1), CP210XRT_OK);
    EXPECT_STREQ(text, "Korvat USB-UART Controller");
    EXPECT_EQ(length, 26);
    length = 128;
    ASSERT_EQ(CP210xRT_GetDeviceSerialNumber(pty_.slave(), text, &length, 1), CP210XRT_OK);
    EXPECT_STREQ(text, "0001");

    unsigned char wide[16];
    length = sizeof wide;
    ASSERT_EQ(CP210xRT_GetDeviceSerialNumber(pty_.slave(), wide, &length, 0), CP210XRT_OK);
    EXPECT_EQ(length, 8);
    const unsigned char want[] = {'0', 0, '0', 0, '0', 0, '1', 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(wide, want, sizeof want));

    length = 4;  // "0001" and its terminator do not fit
    EXPECT_EQ(CP210xRT_GetDeviceSerialNumber(pty_.slave(), text, &length, 1), CP210XRT_BUFFER_TOO_SMALL);
    EXPECT_EQ(CP210xRT_GetDeviceSerialNumber(pty_.slave(), nullptr, &length, 1), CP210XRT_BAD_ARGUMENT);
    length = 128;
    EXPECT_EQ(CP210xRT_GetDeviceProductString(-1, text, &length, 1), CP210XRT_BAD_HANDLE);
    // A tty that is not on the bus has no bridge.
    int m2 = -1, s2 = -1;
    ASSERT_EQ(openpty(&m2, &s2, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(CP210xRT_GetDeviceProductString(s2, text, &length, 1), CP210XRT_NOT_FOUND);
    EXPECT_EQ(SetBridgeGpio(s2, 3, 0), CP210XRT_NOT_FOUND);
    close(m2);
    close(s2);
}

TEST_F(Bridge, LatchWritesThroughTheBusSocket) {
    EXPECT_EQ(SetBridgeGpio(pty_.slave(), 3, 2), CP210XRT_NOT_FOUND) << "no socket yet";
    {
        LatchServer server(nimbra::bus::GpioSocketPath(dir_.path(), kCom), 0);
        EXPECT_EQ(SetBridgeGpio(pty_.slave(), 3, 2), CP210XRT_OK);
        EXPECT_EQ(SetBridgeGpio(pty_.slave(), 0x0102, 0x8001), CP210XRT_OK);
        using R = std::vector<std::pair<unsigned, unsigned>>;
        EXPECT_EQ(server.Requests(), (R{{3, 2}, {0x0102, 0x8001}}));
    }
    fs::remove(nimbra::bus::GpioSocketPath(dir_.path(), kCom));
    LatchServer refusing(nimbra::bus::GpioSocketPath(dir_.path(), kCom), 1);
    EXPECT_EQ(SetBridgeGpio(pty_.slave(), 1, 0), CP210XRT_IO_FAILED);
    EXPECT_EQ(SetBridgeGpio(pty_.slave(), 0, 0), CP210XRT_BAD_ARGUMENT);
}

// Without the bus the bridge is looked up in sysfs; a pty, /dev/null or a plain
// file has none, and this machine has no gpiochip at all.
TEST(BridgeRealPath, FailuresAreResults) {
    unsetenv("NIMBRA_VIRTUAL_BUS");
    int m = -1, s = -1;
    ASSERT_EQ(openpty(&m, &s, nullptr, nullptr, nullptr), 0);
    const int null = open("/dev/null", O_RDWR);
    const int file = open("/proc/self/exe", O_RDONLY);
    char text[128];
    unsigned char length = 128;
    EXPECT_EQ(CP210xRT_GetDeviceProductString(s, text, &length, 1), CP210XRT_NOT_FOUND);
    EXPECT_EQ(CP210xRT_GetDeviceSerialNumber(null, text, &length, 1), CP210XRT_NOT_FOUND);
    EXPECT_EQ(CP210xRT_GetDeviceSerialNumber(file, text, &length, 1), CP210XRT_BAD_HANDLE);
    EXPECT_EQ(SetBridgeGpio(s, 3, 3), CP210XRT_NOT_FOUND);
    EXPECT_EQ(SetBridgeGpio(null, 1, 0), CP210XRT_NOT_FOUND);
    EXPECT_EQ(SetBridgeGpio(-1, 1, 0), CP210XRT_BAD_HANDLE);
    close(m);
    close(s);
    close(null);
    close(file);
}

}  // namespace
