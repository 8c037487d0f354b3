// Helpers for driving the simulator the way the product does: a real tty with
// termios, the GPIO latch socket and the command-link socket.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "Simulator.h"
#include "LoaderFrame.h"
#include "TempDir.h"
#include "VirtualBus.h"

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

inline constexpr auto& Frame = nimbra::testsupport::LoaderFrame;

inline bool SumOk(const Bytes& f) {
    if (f.size() < 4) return false;
    unsigned sum = 0;
    for (std::size_t i = 1; i + 1 < f.size(); ++i) sum += f[i];
    return (sum & 0xFF) == 0;
}

// Opens COMn as the product does: raw, exclusive, locked, at `baud`, 8N2 or 8N1.
inline int OpenTty(const std::string& path, int baud, bool twoStopBits = true, bool lock = true) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    ::ioctl(fd, TIOCEXCL);
    if (lock && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -2;
    }
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD | CS8;
    if (twoStopBits) tio.c_cflag |= CSTOPB;
    else tio.c_cflag &= ~CSTOPB;
    speed_t s = baud == 115200 ? B115200 : B9600;
    ::cfsetispeed(&tio, s);
    ::cfsetospeed(&tio, s);
    ::tcsetattr(fd, TCSANOW, &tio);
    ::tcflush(fd, TCIOFLUSH);
    return fd;
}

// Reads until `n` bytes are in or `idleMs` of silence; returns what arrived.
inline Bytes ReadBytes(int fd, std::size_t n, int idleMs = 1000) {
    Bytes out;
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, idleMs) <= 0) break;
        std::uint8_t buf[4096];
        ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0) break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

inline bool WriteBytes(int fd, const Bytes& b) {
    std::size_t done = 0;
    while (done < b.size()) {
        ssize_t w = ::write(fd, b.data() + done, b.size() - done);
        if (w < 0) {
            if (errno != EAGAIN) return false;
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        done += static_cast<std::size_t>(w);
    }
    return true;
}

inline int Gpio(const std::string& bus, int com, std::uint16_t mask, std::uint16_t value) {
    int s = nimbra::bus::ConnectUnix(nimbra::bus::GpioSocketPath(bus, com));
    if (s < 0) return -1;
    std::uint8_t req[4] = {static_cast<std::uint8_t>(mask), static_cast<std::uint8_t>(mask >> 8),
                           static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)};
    std::uint8_t answer = 0xEE;
    bool ok = nimbra::bus::WriteAll(s, req, 4, 2000) && nimbra::bus::ReadAll(s, &answer, 1, 2000);
    ::close(s);
    return ok ? answer : -1;
}

struct LinkResult {
    int open = -1;      // first byte of the connection; -1 no connection
    std::int32_t r = 0; // answer length or negative receive failure
    Bytes answer;
    bool silent = false;
};

inline LinkResult Link(const std::string& bus, std::uint16_t pid, std::uint32_t serial, const Bytes& frame,
                       int waitMs = 2000) {
    LinkResult res;
    int s = nimbra::bus::ConnectUnix(nimbra::bus::CommandLinkPath(bus, pid, serial));
    if (s < 0) return res;
    std::uint8_t v = 0xEE;
    if (!nimbra::bus::ReadAll(s, &v, 1, 2000)) {
        ::close(s);
        return res;
    }
    res.open = v;
    if (v != 0) {
        ::close(s);
        return res;
    }
    std::uint8_t len[4] = {static_cast<std::uint8_t>(frame.size()), static_cast<std::uint8_t>(frame.size() >> 8), 0, 0};
    nimbra::bus::WriteAll(s, len, 4, 2000);
    nimbra::bus::WriteAll(s, frame.data(), frame.size(), 2000);
    std::uint8_t r[4];
    if (!nimbra::bus::ReadAll(s, r, 4, waitMs)) {
        res.silent = true;
        ::close(s);
        return res;
    }
    res.r = static_cast<std::int32_t>(r[0] | (r[1] << 8) | (r[2] << 16) | (static_cast<std::uint32_t>(r[3]) << 24));
    if (res.r > 0) {
        res.answer.resize(static_cast<std::size_t>(res.r));
        nimbra::bus::ReadAll(s, res.answer.data(), res.answer.size(), 2000);
    }
    ::close(s);
    return res;
}

// The command frame: T2, LE16 N, data, LE16 sum of the data.
inline Bytes CommandFrame(const std::string& data) {
    Bytes f{'T', '2', static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(data.size() >> 8)};
    unsigned sum = 0;
    for (char c : data) {
        f.push_back(static_cast<std::uint8_t>(c));
        sum += static_cast<std::uint8_t>(c);
    }
    f.push_back(static_cast<std::uint8_t>(sum));
    f.push_back(static_cast<std::uint8_t>(sum >> 8));
    return f;
}

inline Bytes RuinfFrame() { return CommandFrame("RUINF:"); }
inline Bytes EbstsFrame() { return CommandFrame("EBSTS:"); }
inline Bytes IchipFrame() { return CommandFrame(std::string("ICHIP:MODE=\x01\x00" "1", 14)); }

// The value of item `key` in an answer, or "<none>".
inline std::string Item(const Bytes& a, const std::string& key) {
    std::size_t p = 4;
    while (p < a.size() && a[p] != ':') ++p;
    ++p;
    while (p + 3 <= a.size()) {
        std::size_t eq = p;
        while (eq < a.size() && a[eq] != '=') ++eq;
        if (eq + 2 >= a.size()) break;
        std::size_t l = a[eq + 1] | (a[eq + 2] << 8);
        std::string k(a.begin() + static_cast<std::ptrdiff_t>(p), a.begin() + static_cast<std::ptrdiff_t>(eq));
        std::size_t v = eq + 3, ve = std::min(v + l, a.size());
        if (k == key) return std::string(a.begin() + static_cast<std::ptrdiff_t>(v), a.begin() + static_cast<std::ptrdiff_t>(ve));
        p = ve;
    }
    return "<none>";
}

// A simulator on a bus directory of its own, with one logger on COM3.
class SimFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(bus_.empty());
        ::setenv("NIMBRA_VIRTUAL_BUS", bus_.c_str(), 1);
    }
    void TearDown() override {
        if (sim_) sim_->Stop();
        sim_.reset();
    }
    void StartSim(nimbra::sim::LoggerConfig logger = {}, nimbra::sim::Timing timing = {}) {
        nimbra::sim::SimConfig c;
        c.busDir = bus_;
        logger.com = 3;
        c.loggers.push_back(logger);
        c.timing = timing;
        sim_ = std::make_unique<nimbra::sim::Simulator>(c);
        ASSERT_EQ(sim_->Start(), 0);
        cfg_ = logger;
    }
    std::string Com() const { return bus_ + "/COM3"; }
    int Gpio(std::uint16_t mask, std::uint16_t value) { return simtest::Gpio(bus_, 3, mask, value); }
    LinkResult Link(const Bytes& frame, int waitMs = 2000) {
        return simtest::Link(bus_, cfg_.productId, cfg_.serial, frame, waitMs);
    }

    // Enters the boot loader at 9600 and synchronises; returns the tty or -1.
    int EnterBootLoader() {
        int fd = OpenTty(Com(), 9600);
        if (fd < 0) return -1;
        if (Gpio(3, 0) != 0 || Gpio(3, 2) != 0 || Gpio(3, 3) != 0) return -1;
        Bytes a = ReadBytes(fd, 1);
        if (a != Bytes{0x00}) return -1;
        WriteBytes(fd, {0x00});
        WriteBytes(fd, {0x00});
        ReadBytes(fd, 2);
        return fd;
    }

    // Sends a frame, checks its echo, returns the answer of `n` bytes.
    Bytes Exchange(int fd, const Bytes& frame, std::size_t n) {
        WriteBytes(fd, frame);
        Bytes echo = ReadBytes(fd, frame.size());
        EXPECT_EQ(echo, frame) << "echo";
        return ReadBytes(fd, n, n ? 1000 : 100);
    }

    // Boot loader at 115200 after the baud-rate change and a reopen.
    int EnterFastBootLoader() {
        int fd = EnterBootLoader();
        if (fd < 0) return -1;
        Bytes st = Exchange(fd, Frame(0x01, {0x00}, 0x03), 5);
        if (st != Bytes{0x02, 0x01, 0x06, 0xF9, 0x03}) return -1;
        Exchange(fd, Frame(0x01, {0x9A, 0x00, 0x00, 0x0A, 0x01}, 0x03), 5);
        ::close(fd);
        fd = OpenTty(Com(), 115200);
        return fd;
    }

    nimbra::testsupport::TempDir tmp_{"nsim"};
    const std::string bus_ = tmp_.path();
    nimbra::sim::LoggerConfig cfg_;
    std::unique_ptr<nimbra::sim::Simulator> sim_;
};

}  // namespace simtest
