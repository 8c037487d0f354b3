#include "PortDiagnosis.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "VirtualBus.h"

namespace fs = std::filesystem;

namespace nimbra::cli {

namespace {

std::string ReadFirstLine(const fs::path& p) {
    std::ifstream in(p);
    std::string line;
    std::getline(in, line);
    return line;
}

// The USB device directory above a tty's sysfs node (the one with idVendor).
fs::path UsbDeviceOf(const fs::path& ttyClassEntry) {
    std::error_code ec;
    fs::path dev = fs::canonical(ttyClassEntry / "device", ec);
    for (int up = 0; !ec && up < 6 && !dev.empty() && dev != dev.root_path(); ++up) {
        if (fs::exists(dev / "idVendor")) return dev;
        dev = dev.parent_path();
    }
    return {};
}

std::string ProcessName(const std::string& pid) {
    std::string name = ReadFirstLine("/proc/" + pid + "/comm");
    return name.empty() ? pid : pid + " (" + name + ")";
}

}  // namespace

std::vector<int> CandidatePorts(std::uint16_t productId) {
    std::vector<int> ports;
    const std::string dir = bus::Directory();
    if (!dir.empty()) {
        for (int com : bus::ListBusComPorts(dir)) {
            auto id = bus::ReadIdentityFile(bus::IdentityPath(dir, com));
            if (id && id->vendor == bus::kVendorId && id->product == productId) ports.push_back(com);
        }
        return ports;
    }
    char want[8];
    std::snprintf(want, sizeof want, "%04x", productId);
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/sys/class/tty", ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("ttyUSB", 0) != 0) continue;
        fs::path usb = UsbDeviceOf(e.path());
        if (usb.empty()) continue;
        if (ReadFirstLine(usb / "idVendor") != "2a7c" || ReadFirstLine(usb / "idProduct") != want) continue;
        int n = std::atoi(name.c_str() + 6);
        if (n + 1 >= 1 && n + 1 <= 255) ports.push_back(n + 1);
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

std::vector<std::string> ProcessesHolding(const std::string& path) {
    std::vector<std::string> holders;
    struct stat target {};
    if (stat(path.c_str(), &target) != 0) return holders;
    const pid_t self = getpid();

    // Locks: "N: FLOCK ADVISORY WRITE pid maj:min:inode start end".
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream ls(line);
        std::string id, type, mode, rw, pid, where;
        if (!(ls >> id >> type)) continue;
        if (type == "->") ls >> type;  // a waiting lock
        if (!(ls >> mode >> rw >> pid >> where)) continue;
        unsigned maj = 0, min = 0;
        unsigned long ino = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%lu", &maj, &min, &ino) != 3) continue;
        if (ino != target.st_ino || makedev(maj, min) != target.st_dev) continue;
        if (pid == std::to_string(self)) continue;
        holders.push_back(ProcessName(pid));
    }
    if (!holders.empty()) return holders;

    // Without a lock (exclusive mode only): whoever has the device open.
    DIR* proc = opendir("/proc");
    if (!proc) return holders;
    while (dirent* d = readdir(proc)) {
        if (d->d_name[0] < '0' || d->d_name[0] > '9') continue;
        if (std::atoi(d->d_name) == self) continue;
        const std::string fdDir = std::string("/proc/") + d->d_name + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (!fds) continue;
        while (dirent* f = readdir(fds)) {
            struct stat st {};
            if (stat((fdDir + "/" + f->d_name).c_str(), &st) != 0) continue;
            if (S_ISCHR(st.st_mode) && st.st_rdev == target.st_rdev) {
                holders.push_back(ProcessName(d->d_name));
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return holders;
}

std::vector<PortProblem> DiagnosePorts(std::uint16_t productId) {
    std::vector<PortProblem> problems;
    for (int com : CandidatePorts(productId)) {
        PortProblem p;
        p.com = com;
        p.path = bus::TtyPath(com);
        int fd = open(p.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        int err = fd < 0 ? errno : 0;
        if (fd >= 0) {
            if (flock(fd, LOCK_EX | LOCK_NB) != 0) err = errno;
            close(fd);  // closing drops our lock too
        }
        if (err == 0) continue;
        if (err == EACCES || err == EPERM) {
            p.kind = PortProblem::Permission;
            struct stat st {};
            std::string groupName;
            if (stat(p.path.c_str(), &st) == 0) {
                if (struct group* g = getgrgid(st.st_gid)) groupName = g->gr_name;
            }
            p.message = "COM" + std::to_string(com) + " (" + p.path + "): permission denied.";
            if (!groupName.empty())
                p.message += " Add your user to the group '" + groupName + "' (sudo usermod -aG " + groupName +
                             " \"$USER\") and log in again.";
        } else if (err == EBUSY || err == EWOULDBLOCK) {
            p.kind = PortProblem::HeldElsewhere;
            auto holders = ProcessesHolding(p.path);
            p.message = "COM" + std::to_string(com) + " (" + p.path + ") is in use by another program";
            if (!holders.empty()) {
                p.message += ": process";
                for (std::size_t i = 0; i < holders.size(); ++i) p.message += (i ? ", " : " ") + holders[i];
            }
            p.message += ". Close it and try again.";
        } else {
            p.message = "COM" + std::to_string(com) + " (" + p.path + ") cannot be opened: " + std::strerror(err) + ".";
        }
        problems.push_back(std::move(p));
    }
    return problems;
}

}  // namespace nimbra::cli
