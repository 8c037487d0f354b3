// Serial port layer on termios. A port is an exclusive, non-blocking tty descriptor
// in raw mode; reads and writes wait on it with poll so that no call spins a core.
#include "SerialPort.h"

#include "VirtualBus.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace nimbra::serial {
namespace {

using Clock = std::chrono::steady_clock;

// What the layer remembers about an open port: the write time-out and the time one
// byte takes on the line (used to sleep while bytes are still on their way).
struct PortInfo {
    int writeTimeoutMs = 1000;
    int byteMicros = 0;
};

std::mutex g_portsMutex;
std::unordered_map<int, PortInfo> g_ports;

PortInfo Info(PortHandle h) {
    std::lock_guard lock(g_portsMutex);
    auto it = g_ports.find(h);
    return it == g_ports.end() ? PortInfo{} : it->second;
}

struct Pump {
    MessagePump fn = nullptr;
    void* context = nullptr;
};
thread_local Pump t_pump;

bool SpeedOf(int baud, speed_t* out) {
    static constexpr std::pair<int, speed_t> kSpeeds[] = {
        {50, B50},         {75, B75},         {110, B110},       {134, B134},
        {150, B150},       {200, B200},       {300, B300},       {600, B600},
        {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
        {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
        {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
        {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& [b, s] : kSpeeds) {
        if (b == baud) {
            *out = s;
            return true;
        }
    }
    return false;
}

int FailOpen(int fd, int code) {
    close(fd);
    return code;
}

int Elapsed(Clock::time_point since) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

void SleepUntil(Clock::time_point t) {
    if (Clock::now() < t) std::this_thread::sleep_until(t);
}

}  // namespace

int OpenComPort(std::uint16_t com, int baud, int parity, int stopBits, int dataBits,
                int /*rxQueue*/, int /*txQueue*/, int writeTimeoutMs, PortHandle* out) {
    if (out) *out = kInvalidPort;
    const std::string path = nimbra::bus::TtyPath(com);
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY ? kOpenHeldElsewhere : kOpenOtherFailure;
    if (!isatty(fd)) return FailOpen(fd, kOpenOtherFailure);
    // The lock decides (root passes TIOCEXCL); take it first, so that a refused open
    // leaves the holder's tty as it was.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        return FailOpen(fd, (e == EWOULDBLOCK || e == EAGAIN) ? kOpenHeldElsewhere : kOpenOtherFailure);
    }
    // Keeps out later opens by ordinary users.
    if (ioctl(fd, TIOCEXCL) != 0) return FailOpen(fd, kOpenOtherFailure);
    tcflush(fd, TCOFLUSH);
    tcflush(fd, TCIFLUSH);

    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return FailOpen(fd, kOpenOtherFailure);
    // Binary line: no translation, no echo, no software flow control (0x11/0x13 are data).
    cfmakeraw(&tio);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;

    speed_t speed{};
    if (!SpeedOf(baud, &speed)) return FailOpen(fd, kOpenOtherFailure);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);

    switch (parity) {
    case 0:
        tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
        tio.c_iflag &= ~static_cast<tcflag_t>(INPCK);
        break;
    case 1:
        tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CMSPAR)) | PARENB | PARODD;
        tio.c_iflag |= INPCK;
        break;
    case 2:
        tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CMSPAR | PARODD)) | PARENB;
        tio.c_iflag |= INPCK;
        break;
    case 3:
        tio.c_cflag |= PARENB | PARODD | CMSPAR;
        tio.c_iflag |= INPCK;
        break;
    default:
        break;
    }
    switch (stopBits) {
    case 0: tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB); break;
    case 1:
    case 2: tio.c_cflag |= CSTOPB; break;
    default: break;
    }
    tcflag_t size = 0;
    switch (dataBits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return FailOpen(fd, kOpenOtherFailure);
    }
    tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | size;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) return FailOpen(fd, kOpenOtherFailure);

    const int bits = 1 + dataBits + ((tio.c_cflag & PARENB) ? 1 : 0) + ((tio.c_cflag & CSTOPB) ? 2 : 1);
    PortInfo info;
    info.writeTimeoutMs = writeTimeoutMs < 0 ? 0 : writeTimeoutMs;
    info.byteMicros = static_cast<int>(1000000LL * bits / baud);
    {
        std::lock_guard lock(g_portsMutex);
        g_ports[fd] = info;
    }
    if (out) *out = fd;
    return kOpenOk;
}

int OpenComPortDefault(std::uint16_t com, int rxQueue, int txQueue, int baud, PortHandle* out) {
    return OpenComPort(com, baud, 0, 2, 8, rxQueue, txQueue, 1000, out);
}

void CloseComPort(PortHandle h) {
    if (h < 0) return;
    tcflush(h, TCOFLUSH);
    tcflush(h, TCIFLUSH);
    {
        std::lock_guard lock(g_portsMutex);
        g_ports.erase(h);
    }
    close(h);  // also drops the flock
}

void PurgeComPort(PortHandle h, int which) {
    if (h < 0) return;
    if (which == 0) tcflush(h, TCOFLUSH);
    else if (which == 1) tcflush(h, TCIFLUSH);
}

int WriteComPort(PortHandle h, const void* data, int n) {
    if (h < 0 || n < 0 || (n > 0 && data == nullptr)) return -6;
    const auto* p = static_cast<const unsigned char*>(data);
    const PortInfo info = Info(h);

    // Room for the bytes before the first zero byte is all the queue has to give;
    // the scan stays inside the n bytes given.
    const void* zero = std::memchr(p, 0, static_cast<std::size_t>(n));
    const int z = zero ? static_cast<int>(static_cast<const unsigned char*>(zero) - p) : n;
    const int allowed = n - z;
    const auto start = Clock::now();
    for (;;) {
        DispatchThreadMessages();
        int queued = 0;
        if (ioctl(h, TIOCOUTQ, &queued) != 0 || queued <= allowed) break;
        // A queue that never drains (flow-controlled or stalled line) must not hold
        // the caller for ever: after the write time-out the write itself decides.
        if (Elapsed(start) >= info.writeTimeoutMs) break;
        // Sleep about as long as the surplus takes to leave, between 1 and 10 ms.
        const long long us = std::clamp<long long>(
            static_cast<long long>(queued - allowed) * std::max(info.byteMicros, 1), 1000, 10000);
        std::this_thread::sleep_for(std::chrono::microseconds(us));
    }

    const auto deadline = Clock::now() + std::chrono::milliseconds(info.writeTimeoutMs);
    int written = 0;
    while (written < n) {
        ssize_t w = write(h, p + written, static_cast<std::size_t>(n - written));
        if (w > 0) {
            written += static_cast<int>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -6;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;  // time-out: report what went out
        pollfd pfd{h, POLLOUT, 0};
        int r = poll(&pfd, 1, static_cast<int>(left));
        if (r < 0 && errno != EINTR) return -6;
        if (r > 0 && (pfd.revents & (POLLERR | POLLNVAL))) return -6;
        if (r > 0 && (pfd.revents & POLLHUP) && !(pfd.revents & POLLOUT)) return -6;
    }
    return written;
}

int ReadComPort(PortHandle h, int idleTimeoutMs, void* buffer, int count, int pollMs) {
    if (h < 0 || count <= 0 || buffer == nullptr) return 0;
    if (pollMs <= 0) pollMs = 1;
    auto* out = static_cast<unsigned char*>(buffer);
    const PortInfo info = Info(h);
    int total = 0;
    int idle = 0;
    do {
        const auto slotEnd = Clock::now() + std::chrono::milliseconds(pollMs);
        pollfd pfd{h, POLLIN, 0};
        int r = poll(&pfd, 1, pollMs);
        int got = 0;
        if (r > 0 && (pfd.revents & POLLIN)) {
            ssize_t n = read(h, out + total, static_cast<std::size_t>(count - total));
            if (n > 0) got = static_cast<int>(n);
        }
        if (got > 0) {
            total += got;
            if (total >= count) return total;
            // More is on its way at line speed: let a few bytes gather rather than
            // wake for every single one, and leave the last byte to poll, which
            // returns the moment it is in.
            const long long us = std::min<long long>(
                static_cast<long long>(std::min(count - total, 32) - 1) * info.byteMicros, 1000LL * pollMs);
            if (us > 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
            continue;
        }
        // Silence, a hang-up, EIO or an empty read: the slot counts as idle. Sleep out
        // what is left of it so that a hung-up line never spins.
        SleepUntil(slotEnd);
        idle += pollMs;
    } while (idle < idleTimeoutMs);
    return total;
}

void SetThreadMessagePump(MessagePump pump, void* context) {
    t_pump.fn = pump;
    t_pump.context = context;
}

void DispatchThreadMessages() {
    if (t_pump.fn) t_pump.fn(t_pump.context);
}

}  // namespace nimbra::serial
