#include "VirtualBus.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace nimbra::bus {

std::string Directory() {
    const char* v = std::getenv(kEnvVar);
    return v ? std::string(v) : std::string();
}

std::string TtyPath(int com) {
    const std::string dir = Directory();
    if (!dir.empty()) return dir + "/COM" + std::to_string(com);
    return "/dev/ttyUSB" + std::to_string(com - 1);
}

std::string IdentityPath(const std::string& dir, int com) {
    return dir + "/COM" + std::to_string(com) + ".usb";
}

std::string GpioSocketPath(const std::string& dir, int com) {
    return dir + "/COM" + std::to_string(com) + ".gpio";
}

std::string CommandLinkPath(const std::string& dir, std::uint16_t productId, std::uint32_t serial) {
    char name[64];
    std::snprintf(name, sizeof name, "link-%04x-%u", productId, serial);
    return dir + "/" + name;
}

static bool ParseHex16(const std::string& s, std::uint16_t& out) {
    unsigned v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
    if (ec != std::errc() || p != s.data() + s.size() || s.empty() || v > 0xFFFF) return false;
    out = static_cast<std::uint16_t>(v);
    return true;
}

std::optional<UsbIdentity> ReadIdentityFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    UsbIdentity id;
    bool haveVendor = false, haveProduct = false;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "vendor") haveVendor = ParseHex16(value, id.vendor);
        else if (key == "product") haveProduct = ParseHex16(value, id.product);
        else if (key == "product_string") id.productString = value;
        else if (key == "serial") id.serial = value;
    }
    if (!haveVendor || !haveProduct) return std::nullopt;
    return id;
}

bool WriteIdentityFile(const std::string& path, const UsbIdentity& id) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out) return false;
        char buf[32];
        std::snprintf(buf, sizeof buf, "%04x", id.vendor);
        out << "vendor=" << buf << "\n";
        std::snprintf(buf, sizeof buf, "%04x", id.product);
        out << "product=" << buf << "\n";
        out << "product_string=" << id.productString << "\n";
        out << "serial=" << id.serial << "\n";
        if (!out.flush()) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

std::vector<int> ListBusComPorts(const std::string& dir) {
    std::vector<int> ports;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        if (name.size() < 4 || name.compare(0, 3, "COM") != 0) continue;
        int n = 0;
        auto [p, err] = std::from_chars(name.data() + 3, name.data() + name.size(), n);
        if (err != std::errc() || p != name.data() + name.size() || n < 1 || n > 255) continue;
        ports.push_back(n);
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

std::vector<std::uint32_t> ListBusLoggers(const std::string& dir, std::uint16_t productId) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "link-%04x-", productId);
    const std::size_t plen = std::strlen(prefix);
    std::vector<std::uint32_t> serials;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        if (name.size() <= plen || name.compare(0, plen, prefix) != 0) continue;
        std::uint32_t s = 0;
        auto [p, err] = std::from_chars(name.data() + plen, name.data() + name.size(), s);
        if (err != std::errc() || p != name.data() + name.size()) continue;
        serials.push_back(s);
    }
    std::sort(serials.begin(), serials.end());
    return serials;
}

int BusComOfFd(const std::string& dir, int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return 0;
    for (int com : ListBusComPorts(dir)) {
        struct stat ls {};
        if (stat((dir + "/COM" + std::to_string(com)).c_str(), &ls) != 0) continue;
        if (S_ISCHR(ls.st_mode) && ls.st_rdev == st.st_rdev) return com;
    }
    return 0;
}

bool UnixAddress(const std::string& path, sockaddr_un& out) {
    out = sockaddr_un{};
    if (path.size() >= sizeof out.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    out.sun_family = AF_UNIX;
    std::memcpy(out.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int ConnectUnix(const std::string& path) {
    sockaddr_un addr;
    if (!UnixAddress(path, addr)) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

static int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool WriteAll(int fd, const void* data, std::size_t n, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto* p = static_cast<const unsigned char*>(data);
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            p += w;
            n -= static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        pollfd pfd{fd, POLLOUT, 0};
        int left = RemainingMs(deadline);
        if (left == 0 || poll(&pfd, 1, left) <= 0) return false;
        if (pfd.revents & (POLLERR | POLLHUP)) return false;
    }
    return true;
}

bool ReadAll(int fd, void* data, std::size_t n, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto* p = static_cast<unsigned char*>(data);
    while (n > 0) {
        pollfd pfd{fd, POLLIN, 0};
        int left = RemainingMs(deadline);
        int r = poll(&pfd, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t got = recv(fd, p, n, MSG_DONTWAIT);
        if (got == 0) return false;  // peer closed
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return false;
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace nimbra::bus
