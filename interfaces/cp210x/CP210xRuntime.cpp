#include "CP210xRuntime.h"

#include "VirtualBus.h"

#include <gpiod.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

enum class Field { Product, Serial };

// The USB device (the sysfs folder holding idVendor) that the tty on `fd` belongs to.
int UsbDeviceDir(int fd, fs::path* out) {
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return CP210XRT_BAD_HANDLE;
    const std::string link = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                             std::to_string(minor(st.st_rdev));
    std::error_code ec;
    fs::path p = fs::canonical(link, ec);
    if (ec) return CP210XRT_NOT_FOUND;
    for (; p.has_relative_path() && p != "/sys/devices"; p = p.parent_path()) {
        if (fs::exists(p / "idVendor", ec)) {
            *out = p;
            return CP210XRT_OK;
        }
    }
    return CP210XRT_NOT_FOUND;
}

int ReadAttribute(const fs::path& file, std::string* out) {
    std::ifstream in(file);
    if (!in) return CP210XRT_IO_FAILED;
    std::getline(in, *out);
    if (in.bad()) return CP210XRT_IO_FAILED;
    while (!out->empty() && (out->back() == '\n' || out->back() == '\r')) out->pop_back();
    return CP210XRT_OK;
}

// The text of `field` for the bridge behind `fd`, from the bus or from sysfs.
int ReadField(int fd, Field field, std::string* out) {
    const std::string dir = nimbra::bus::Directory();
    if (!dir.empty()) {
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return CP210XRT_BAD_HANDLE;
        const int com = nimbra::bus::BusComOfFd(dir, fd);
        if (com == 0) return CP210XRT_NOT_FOUND;
        auto id = nimbra::bus::ReadIdentityFile(nimbra::bus::IdentityPath(dir, com));
        if (!id) return CP210XRT_IO_FAILED;
        *out = field == Field::Product ? id->productString : id->serial;
        return CP210XRT_OK;
    }
    fs::path usb;
    if (int r = UsbDeviceDir(fd, &usb); r != CP210XRT_OK) return r;
    return ReadAttribute(usb / (field == Field::Product ? "product" : "serial"), out);
}

// UTF-8 to UTF-16 code units; malformed bytes become U+FFFD.
std::vector<char16_t> ToUtf16(const std::string& s) {
    std::vector<char16_t> u;
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
        bool ok = len != 0 && i + len <= s.size();
        for (std::size_t k = 1; ok && k < len; ++k) {
            const unsigned char cc = static_cast<unsigned char>(s[i + k]);
            ok = (cc & 0xC0) == 0x80;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (!ok || cp > 0x10FFFF) {
            u.push_back(0xFFFD);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            u.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            u.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            u.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return u;
}

int GetString(int handle, Field field, void* buffer, unsigned char* lengthInOut, int convertToAscii) {
    if (!buffer || !lengthInOut || *lengthInOut == 0) return CP210XRT_BAD_ARGUMENT;
    std::string text;
    if (int r = ReadField(handle, field, &text); r != CP210XRT_OK) return r;
    const std::size_t capacity = *lengthInOut;
    if (convertToAscii) {
        if (text.size() + 1 > capacity) return CP210XRT_BUFFER_TOO_SMALL;
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        *lengthInOut = static_cast<unsigned char>(text.size());
        return CP210XRT_OK;
    }
    std::vector<char16_t> units = ToUtf16(text);
    const std::size_t bytes = units.size() * 2;
    if (bytes + 2 > capacity) return CP210XRT_BUFFER_TOO_SMALL;
    auto* out = static_cast<unsigned char*>(buffer);
    units.push_back(0);
    for (std::size_t i = 0; i < units.size(); ++i) {
        out[2 * i] = static_cast<unsigned char>(units[i] & 0xFF);
        out[2 * i + 1] = static_cast<unsigned char>(units[i] >> 8);
    }
    *lengthInOut = static_cast<unsigned char>(bytes);
    return CP210XRT_OK;
}

int BusGpio(const std::string& dir, int fd, unsigned short mask, unsigned short latch) {
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return CP210XRT_BAD_HANDLE;
    const int com = nimbra::bus::BusComOfFd(dir, fd);
    if (com == 0) return CP210XRT_NOT_FOUND;
    const int s = nimbra::bus::ConnectUnix(nimbra::bus::GpioSocketPath(dir, com));
    if (s < 0) return CP210XRT_NOT_FOUND;
    const unsigned char request[4] = {static_cast<unsigned char>(mask & 0xFF), static_cast<unsigned char>(mask >> 8),
                                      static_cast<unsigned char>(latch & 0xFF), static_cast<unsigned char>(latch >> 8)};
    unsigned char answer = 0xFF;
    const bool ok = nimbra::bus::WriteAll(s, request, sizeof request, 2000) &&
                    nimbra::bus::ReadAll(s, &answer, 1, 2000);
    close(s);
    if (!ok) return CP210XRT_IO_FAILED;
    return answer == 0 ? CP210XRT_OK : CP210XRT_IO_FAILED;
}

// The gpiochip that the bridge's driver registered below its USB device.
bool FindGpioChip(const fs::path& usb, std::string* name) {
    std::error_code ec;
    fs::recursive_directory_iterator it(usb, fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        if (it.depth() > 3) {
            it.disable_recursion_pending();
            continue;
        }
        const std::string leaf = it->path().filename().string();
        if (leaf.rfind("gpiochip", 0) == 0 && leaf.size() > 8 &&
            leaf.find_first_not_of("0123456789", 8) == std::string::npos) {
            *name = leaf;
            return true;
        }
    }
    return false;
}

int RealGpio(int fd, unsigned short mask, unsigned short latch) {
    fs::path usb;
    if (int r = UsbDeviceDir(fd, &usb); r != CP210XRT_OK) return r;
    std::string chipName;
    if (!FindGpioChip(usb, &chipName)) return CP210XRT_NOT_FOUND;
    gpiod_chip* chip = gpiod_chip_open_by_name(chipName.c_str());
    if (!chip) return CP210XRT_IO_FAILED;
    std::vector<unsigned int> offsets;
    std::vector<int> values;
    for (unsigned int i = 0; i < 16; ++i) {
        if (!(mask & (1u << i))) continue;
        offsets.push_back(i);
        values.push_back((latch >> i) & 1);
    }
    int result = CP210XRT_IO_FAILED;
    gpiod_line_bulk bulk;
    gpiod_line_bulk_init(&bulk);
    if (offsets.back() < gpiod_chip_num_lines(chip) &&
        gpiod_chip_get_lines(chip, offsets.data(), static_cast<unsigned int>(offsets.size()), &bulk) == 0) {
        if (gpiod_line_request_bulk_output(&bulk, "nimbra-flash", values.data()) == 0) {
            result = CP210XRT_OK;
            gpiod_line_release_bulk(&bulk);
        }
    }
    gpiod_chip_close(chip);
    return result;
}

}  // namespace

extern "C" {

int CP210xRT_GetDeviceProductString(int handle, void* buffer, unsigned char* lengthInOut, int convertToAscii) {
    return GetString(handle, Field::Product, buffer, lengthInOut, convertToAscii);
}

int CP210xRT_GetDeviceSerialNumber(int handle, void* buffer, unsigned char* lengthInOut, int convertToAscii) {
    return GetString(handle, Field::Serial, buffer, lengthInOut, convertToAscii);
}

int SetBridgeGpio(int handle, unsigned short mask, unsigned short latch) {
    if (mask == 0) return CP210XRT_BAD_ARGUMENT;
    const std::string dir = nimbra::bus::Directory();
    if (!dir.empty()) return BusGpio(dir, handle, mask, latch);
    return RealGpio(handle, mask, latch);
}

}  // extern "C"
