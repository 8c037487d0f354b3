// Where the product finds its devices: the virtual bus directory of the
// simulator (NIMBRA_VIRTUAL_BUS), or the real devices when it is not set.
// The layout is described in simulator/README.md.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/un.h>
#include <vector>

namespace nimbra::bus {

inline constexpr const char* kEnvVar = "NIMBRA_VIRTUAL_BUS";
inline constexpr std::uint16_t kVendorId = 0x2a7c;

// The bus directory, or an empty string when the real devices are used.
std::string Directory();

// The tty of COM port `com`: `<bus>/COMn` on the virtual bus, `/dev/ttyUSB(n-1)` otherwise.
std::string TtyPath(int com);

struct UsbIdentity {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::string productString;
    std::string serial;
};

// Paths of the bus entries (only meaningful on the virtual bus).
std::string IdentityPath(const std::string& dir, int com);
std::string GpioSocketPath(const std::string& dir, int com);
std::string CommandLinkPath(const std::string& dir, std::uint16_t productId, std::uint32_t serial);

// Parses a `COMn.usb` identity file; nullopt when it cannot be read or lacks vendor/product.
std::optional<UsbIdentity> ReadIdentityFile(const std::string& path);
// Writes one (used by the simulator), replacing it atomically.
bool WriteIdentityFile(const std::string& path, const UsbIdentity& id);

// COM numbers (1..255) that have a `COMn` entry on the bus, ascending.
std::vector<int> ListBusComPorts(const std::string& dir);

// Serial numbers of the loggers of `productId` that have a command-link socket, ascending.
std::vector<std::uint32_t> ListBusLoggers(const std::string& dir, std::uint16_t productId);

// Which COM port an open tty descriptor belongs to on the virtual bus: the `COMn`
// link whose target is the same device. 0 when none.
int BusComOfFd(const std::string& dir, int fd);

// Fills `out` with the Unix socket address of `path`; false (errno ENAMETOOLONG)
// when the path and its terminating NUL do not fit.
bool UnixAddress(const std::string& path, sockaddr_un& out);

// Connects a Unix stream socket to `path`; -1 on failure (errno kept).
int ConnectUnix(const std::string& path);

// Full read/write on a stream socket with a deadline measured in milliseconds
// from the call; false on error, hang-up or time-out.
bool WriteAll(int fd, const void* data, std::size_t n, int timeoutMs);
bool ReadAll(int fd, void* data, std::size_t n, int timeoutMs);

}  // namespace nimbra::bus
