// Finding the COM ports of the logger's USB bridge, and checking the bridge behind
// an open port.
#include "FlashCore.h"

#include "CP210xRuntime.h"
#include "VirtualBus.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace nimbra::flash {
namespace {

std::string Hex4(std::uint16_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", v);
    return buf;
}

std::string ReadLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return line;
}

// Real hardware: every /sys/class/tty/ttyUSBk whose USB device carries the identity.
int WalkSysfs(const std::string& vendor, const std::string& product, std::uint8_t flags[256]) {
    std::error_code ec;
    fs::directory_iterator it("/sys/class/tty", ec);
    if (ec) return -3;
    bool known = false;
    for (const auto& entry : it) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("ttyUSB", 0) != 0) continue;
        int k = -1;
        auto [p, err] = std::from_chars(name.data() + 6, name.data() + name.size(), k);
        if (err != std::errc() || p != name.data() + name.size() || k < 0 || k > 254) continue;
        fs::path dev = fs::canonical(entry.path() / "device", ec);
        if (ec) continue;
        for (; dev.has_relative_path() && dev != "/sys/devices"; dev = dev.parent_path()) {
            if (!fs::exists(dev / "idVendor", ec)) continue;
            if (ReadLine(dev / "idVendor") == vendor && ReadLine(dev / "idProduct") == product) {
                flags[k] = 1;
                known = true;
            }
            break;
        }
    }
    return known ? 0 : -3;
}

// Virtual bus: the COMn entries whose identity file carries the identity.
int WalkBus(const std::string& dir, const std::string& vendor, const std::string& product,
            std::uint8_t flags[256]) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return -3;
    bool known = false;
    for (int com : nimbra::bus::ListBusComPorts(dir)) {
        auto id = nimbra::bus::ReadIdentityFile(nimbra::bus::IdentityPath(dir, com));
        if (!id || Hex4(id->vendor) != vendor || Hex4(id->product) != product) continue;
        flags[com - 1] = 1;
        known = true;
    }
    return known ? 0 : -3;
}

}  // namespace

int FindUsbComPorts(const std::string& identityText, std::uint8_t flags[256]) {
    std::memset(flags, 0, 256);
    std::string id = identityText;
    for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto hyphen = id.find('-');
    if (hyphen == std::string::npos) return -2;
    const std::string vendor = id.substr(0, hyphen), product = id.substr(hyphen + 1);
    if (vendor.size() != 4 || product.size() != 4) return -2;
    const std::string dir = nimbra::bus::Directory();
    return dir.empty() ? WalkSysfs(vendor, product, flags) : WalkBus(dir, vendor, product, flags);
}

int ComTable(std::uint16_t productId, std::uint16_t* table) {
    if (!table) return -1;
    const std::string identity = Hex4(kVendorId) + "-" + Hex4(productId);
    std::uint8_t flags[256];
    std::uint16_t own[256] = {};
    if (FindUsbComPorts(identity, flags) != 0) return -1;
    int count = 0;
    for (int n = 1; n <= 255; ++n) {
        if (!flags[n - 1]) continue;
        PortHandle h = serial::kInvalidPort;
        if (serial::OpenComPortDefault(static_cast<std::uint16_t>(n), 1024, 1024, 19200, &h) == serial::kOpenOk) {
            own[n] = 1;
            serial::CloseComPort(h);
            ++count;
        }
    }
    std::memcpy(table, own, sizeof own);
    return count;
}

int CheckBridgeIdentity(PortHandle port, const char* product, const char* serial, std::string* log) {
    char text[128] = {};
    unsigned char length = 128;
    if (CP210xRT_GetDeviceProductString(port, text, &length, 1) != 0) {
        serial::CloseComPort(port);
        *log += "GetDeviceProductString Error";
        return -6;
    }
    char number[128] = {};
    length = 128;
    if (CP210xRT_GetDeviceSerialNumber(port, number, &length, 1) != 0) {
        serial::CloseComPort(port);
        *log += "GetDeviceSerialNumber Error";
        return -7;
    }
    if (std::strcmp(product, text) != 0 || std::strcmp(serial, number) != 0) {
        serial::CloseComPort(port);
        *log += "Invalid Device";
        return -8;
    }
    return 0;
}

}  // namespace nimbra::flash
