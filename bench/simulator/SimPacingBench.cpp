// Shows the simulator's pacing: N bytes to the boot loader at 115200 8N2 come back
// (echoed) in N x 11 / 115200 s, and whole programming exchanges take the time the
// simulator states as its lower bound.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include "Simulator.h"
#include "LoaderFrame.h"
#include "TempDir.h"
#include "VirtualBus.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

int OpenTty(const std::string& path, speed_t speed) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD | CS8 | CSTOPB;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    ::tcsetattr(fd, TCSANOW, &tio);
    ::tcflush(fd, TCIOFLUSH);
    return fd;
}

void WriteAll(int fd, const Bytes& b) {
    std::size_t done = 0;
    while (done < b.size()) {
        ssize_t w = ::write(fd, b.data() + done, b.size() - done);
        if (w > 0) done += static_cast<std::size_t>(w);
        else {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
}

Bytes Read(int fd, std::size_t n, int idleMs = 3000) {
    Bytes out;
    std::uint8_t buf[4096];
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, idleMs) <= 0) break;
        ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0) break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

constexpr auto& Frame = nimbra::testsupport::LoaderFrame;

int Gpio(const std::string& bus, std::uint16_t mask, std::uint16_t value) {
    int s = nimbra::bus::ConnectUnix(nimbra::bus::GpioSocketPath(bus, 1));
    std::uint8_t req[4] = {static_cast<std::uint8_t>(mask), 0, static_cast<std::uint8_t>(value), 0}, a = 1;
    nimbra::bus::WriteAll(s, req, 4, 1000);
    nimbra::bus::ReadAll(s, &a, 1, 1000);
    ::close(s);
    return a;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 40000;
    const int blocks = 8;
    const nimbra::testsupport::TempDir tmp("nsimbench");
    if (tmp.path().empty()) return 1;
    const std::string& bus = tmp.path();
    nimbra::sim::SimConfig c;
    c.busDir = bus;
    c.loggers.emplace_back();
    c.timing.paced = true;
    c.timing.blockProgramMs = 10;
    nimbra::sim::Simulator sim(c);
    if (sim.Start() != 0) return 1;

    // Boot loader, synchronised, at 115200.
    int fd = OpenTty(bus + "/COM1", B9600);
    Gpio(bus, 3, 0);
    Gpio(bus, 3, 2);
    Gpio(bus, 3, 3);
    Read(fd, 1);
    const Bytes sync = Frame(0x01, {0x00}, 0x03), baud = Frame(0x01, {0x9A, 0x00, 0x00, 0x0A, 0x01}, 0x03);
    WriteAll(fd, sync);
    Read(fd, sync.size() + 5);
    WriteAll(fd, baud);
    Read(fd, baud.size() + 5);
    ::close(fd);
    usleep(30000);
    fd = OpenTty(bus + "/COM1", B115200);
    const Bytes erase = Frame(0x01, {0x20}, 0x03);
    WriteAll(fd, erase);
    Read(fd, erase.size() + 5);

    // 1. N bare bytes: the loader ignores them but the line echoes every one.
    const double bt = 11.0 / 115200;
    sim.ResetStats();
    Bytes burst(n, 0x55);
    auto t0 = Clock::now();
    WriteAll(fd, burst);
    Bytes echo = Read(fd, n);
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    const double ideal = static_cast<double>(n) * bt;
    const nimbra::sim::Stats s1 = sim.GetStats();
    std::printf("echo: %zu bytes at 115200 8N2: %.4f s measured, N x 11 / 115200 = %.4f s (%+.2f %%), "
                "stated bound %.4f s (%+.2f %%)\n",
                echo.size(), elapsed, ideal, 100 * (elapsed / ideal - 1), s1.BoundSeconds(),
                100 * (elapsed / s1.BoundSeconds() - 1));
    bool ok = echo.size() == n && std::fabs(elapsed / ideal - 1) < 0.02 && std::fabs(elapsed / s1.BoundSeconds() - 1) < 0.02;

    // 2. Programming exchanges as the library runs them: command, 8 data frames, statuses.
    sim.ResetStats();
    t0 = Clock::now();
    for (int b = 0; b < blocks; ++b) {
        const std::uint32_t start = static_cast<std::uint32_t>(b) * 2048, end = start + 2047;
        Bytes cmd = Frame(0x01, {0x40, static_cast<std::uint8_t>(start >> 16), static_cast<std::uint8_t>(start >> 8), 0,
                                 static_cast<std::uint8_t>(end >> 16), static_cast<std::uint8_t>(end >> 8), 0xFF},
                          0x03);
        WriteAll(fd, cmd);
        Read(fd, cmd.size() + 5);
        for (int k = 0; k < 8; ++k) {
            Bytes f = Frame(0x02, Bytes(256, static_cast<std::uint8_t>(b * 8 + k)), k == 7 ? 0x03 : 0x17);
            WriteAll(fd, f);
            Read(fd, f.size() + 6 + (k == 7 ? 5 : 0));
        }
    }
    const double e2 = std::chrono::duration<double>(Clock::now() - t0).count();
    const nimbra::sim::Stats s2 = sim.GetStats();
    std::printf("programming: %d blocks, %llu bytes to the device, %llu from it: %.4f s measured, stated bound %.4f s "
                "(line %.4f s + processing %.4f s), measured/bound %.4f\n",
                blocks, static_cast<unsigned long long>(s2.bytesToDevice),
                static_cast<unsigned long long>(s2.bytesFromDevice), e2, s2.BoundSeconds(), s2.lineSeconds,
                s2.processingSeconds, e2 / s2.BoundSeconds());
    ::close(fd);
    sim.Stop();
    std::printf("%s\n", ok ? "pacing within 2 %" : "pacing OUTSIDE 2 %");
    return ok ? 0 : 1;
}
