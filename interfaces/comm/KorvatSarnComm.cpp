#include "KorvatSarnComm.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "VirtualBus.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kBaseTimeoutMs = 2000;
constexpr int kMaxWaitUnits = 3600;  // keeps the time-out arithmetic far from overflow

// Open links by serial. Leaked on purpose: a thread still exchanging while the
// process exits never meets a destroyed map.
std::mutex& LinksMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::map<std::uint32_t, int>& Links() {
    static auto* links = new std::map<std::uint32_t, int>;
    return *links;
}

int TakeLink(std::uint32_t serial) {
    std::lock_guard lock(LinksMutex());
    auto it = Links().find(serial);
    if (it == Links().end()) return -1;
    int fd = it->second;
    Links().erase(it);
    return fd;
}

int FindLink(std::uint32_t serial) {
    std::lock_guard lock(LinksMutex());
    auto it = Links().find(serial);
    return it == Links().end() ? -1 : it->second;
}

// The socket of logger `serial` of any product: `link-PPPP-S`, first by name.
std::string FindLinkSocket(const std::string& dir, std::uint32_t serial) {
    std::string best;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        // "link-" + 4 hex digits + "-" + decimal serial
        if (name.size() < 11 || name.compare(0, 5, "link-") != 0 || name[9] != '-') continue;
        if (!std::all_of(name.begin() + 5, name.begin() + 9, [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
            continue;
        std::uint32_t s = 0;
        const char* first = name.data() + 10;
        const char* last = name.data() + name.size();
        auto [p, err] = std::from_chars(first, last, s);
        if (err != std::errc() || p != last || s != serial) continue;
        if (best.empty() || name < best) best = name;
    }
    return best.empty() ? std::string() : dir + "/" + best;
}

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// A blocking connect waits for ever when the peer's backlog is full; this one
// gives up at the deadline. The socket stays non-blocking (the bus helpers poll).
int ConnectBefore(const std::string& path, Clock::time_point deadline) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    for (;;) {
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EINPROGRESS) && RemainingMs(deadline) > 0) {
            if (errno == EINPROGRESS) {
                pollfd pfd{fd, POLLOUT, 0};
                int soErr = 0;
                socklen_t len = sizeof soErr;
                if (poll(&pfd, 1, RemainingMs(deadline)) == 1 &&
                    getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len) == 0 && soErr == 0)
                    return fd;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        break;
    }
    close(fd);
    return -1;
}

}  // namespace

extern "C" {

int KorvatSarn_GetSerial(uint32_t* serials, int capacity, uint16_t productId, int /*mode*/) {
    if (serials == nullptr || capacity < 0) return -1;
    const std::string dir = nimbra::bus::Directory();
    if (dir.empty()) return 0;  // no USB transport outside the virtual bus
    const auto found = nimbra::bus::ListBusLoggers(dir, productId);
    const int n = static_cast<int>(std::min<std::size_t>(found.size(), static_cast<std::size_t>(capacity)));
    for (int i = 0; i < n; ++i) serials[i] = found[static_cast<std::size_t>(i)];
    return n;
}

int KorvatSarn_OpenUSBComm(uint32_t serial) {
    if (int old = TakeLink(serial); old >= 0) close(old);
    const std::string dir = nimbra::bus::Directory();
    if (dir.empty()) return -1;
    const std::string path = FindLinkSocket(dir, serial);
    if (path.empty()) return -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kBaseTimeoutMs);
    const int fd = ConnectBefore(path, deadline);
    if (fd < 0) return -1;
    unsigned char greeting = 0xFF;
    if (!nimbra::bus::ReadAll(fd, &greeting, 1, RemainingMs(deadline))) {
        close(fd);
        return -1;
    }
    if (greeting != 0) {
        close(fd);
        return -2;
    }
    std::lock_guard lock(LinksMutex());
    Links()[serial] = fd;
    return 0;
}

int KorvatSarn_SendComm(uint32_t serial, const unsigned char* frame, int length) {
    if (length < 0 || (frame == nullptr && length > 0)) return -1;
    const int fd = FindLink(serial);
    if (fd < 0) return -1;
    const std::uint32_t len = static_cast<std::uint32_t>(length);
    const unsigned char header[4] = {static_cast<unsigned char>(len), static_cast<unsigned char>(len >> 8),
                                     static_cast<unsigned char>(len >> 16), static_cast<unsigned char>(len >> 24)};
    if (!nimbra::bus::WriteAll(fd, header, sizeof header, kBaseTimeoutMs)) return -1;
    if (length > 0 && !nimbra::bus::WriteAll(fd, frame, static_cast<std::size_t>(length), kBaseTimeoutMs)) return -1;
    return 0;
}

int KorvatSarn_RecvComm(uint32_t serial, unsigned char* buffer, int capacity, int wait) {
    if (capacity < 0 || (buffer == nullptr && capacity > 0)) return -1;
    const int fd = FindLink(serial);
    if (fd < 0) return -1;
    const int units = std::clamp(wait, 0, kMaxWaitUnits);
    const auto deadline = Clock::now() + std::chrono::milliseconds(kBaseTimeoutMs + 1000 * units);

    unsigned char header[4];
    if (!nimbra::bus::ReadAll(fd, header, sizeof header, RemainingMs(deadline))) return -1;
    const std::int32_t announced = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(header[0]) | static_cast<std::uint32_t>(header[1]) << 8 |
        static_cast<std::uint32_t>(header[2]) << 16 | static_cast<std::uint32_t>(header[3]) << 24);
    if (announced < 0) return -1;
    // Only what fits is read; the rest goes with the link when it is closed.
    const int take = std::min(static_cast<int>(announced), capacity);
    if (take > 0 && !nimbra::bus::ReadAll(fd, buffer, static_cast<std::size_t>(take), RemainingMs(deadline))) return -1;
    return take;
}

int KorvatSarn_CloseComm(uint32_t serial) {
    const int fd = TakeLink(serial);
    if (fd < 0) return -1;
    close(fd);
    return 0;
}

}  // extern "C"
