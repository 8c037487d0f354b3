// Helpers of the device tests: a recording log sink, a private bus directory, and
// a scripted command-link peer on a real Unix socket for the answers a simulated
// logger never gives (oversized, truncated, garbage).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "AppHelpers.h"
#include "Globals.h"
#include "TempDir.h"
#include "VirtualBus.h"

namespace nimbra::test {

// Records every WriteLog line while alive.
class LogRecorder {
public:
    LogRecorder() { SetLogSink(&LogRecorder::Sink, this); }
    ~LogRecorder() { SetLogSink(nullptr, nullptr); }
    LogRecorder(const LogRecorder&) = delete;
    LogRecorder& operator=(const LogRecorder&) = delete;

    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::vector<std::string> Sources() {
        std::lock_guard lock(mutex_);
        return sources_;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
        sources_.clear();
    }

private:
    static void Sink(const std::string& text, const std::string& source, void* self) {
        auto* r = static_cast<LogRecorder*>(self);
        std::lock_guard lock(r->mutex_);
        r->lines_.push_back(text);
        r->sources_.push_back(source);
    }
    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<std::string> sources_;
};

// A fresh short bus directory under /tmp, named by NIMBRA_VIRTUAL_BUS while alive.
class TempBus {
public:
    TempBus() { setenv(bus::kEnvVar, dir_.path().c_str(), 1); }
    ~TempBus() { unsetenv(bus::kEnvVar); }
    const std::string& Dir() const { return dir_.path(); }

private:
    testsupport::TempDir dir_{"nbdev"};
};

// What the scripted peer does with one connection.
struct PeerScript {
    std::uint8_t greeting = 0;            // 0 open, else refused (connection then closed)
    std::vector<std::uint8_t> reply;      // raw bytes after the request: length field and answer
    bool readRequest = true;              // wait for the 4-byte length and the frame first
    bool hangUp = false;                  // close right after the reply instead of waiting for the client
};

inline std::vector<std::uint8_t> LengthPrefixed(std::int32_t r, const std::vector<std::uint8_t>& body) {
    const auto u = static_cast<std::uint32_t>(r);
    std::vector<std::uint8_t> out(4 + body.size());
    for (int i = 0; i < 4; ++i) out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(u >> (8 * i));
    std::copy(body.begin(), body.end(), out.begin() + 4);
    return out;
}

// Serves the command link of one logger at <bus>/link-PPPP-S, one script per connection
// (the last script repeats). Requests are recorded.
class ScriptedLink {
public:
    ScriptedLink(const std::string& busDir, std::uint16_t productId, std::uint32_t serial)
        : path_(bus::CommandLinkPath(busDir, productId, serial)) {
        listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr;
        if (!bus::UnixAddress(path_, addr) || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listenFd_, 4) != 0) {
            close(listenFd_);
            listenFd_ = -1;
        }
    }
    ~ScriptedLink() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (listenFd_ >= 0) close(listenFd_);
        unlink(path_.c_str());
    }
    ScriptedLink(const ScriptedLink&) = delete;
    ScriptedLink& operator=(const ScriptedLink&) = delete;

    bool Ok() const { return listenFd_ >= 0; }

    void Serve(std::vector<PeerScript> scripts) {
        scripts_ = std::move(scripts);
        thread_ = std::thread([this] { Run(); });
    }

    std::vector<std::vector<std::uint8_t>> Requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void Run() {
        std::size_t index = 0;
        while (!stop_) {
            pollfd pfd{listenFd_, POLLIN, 0};
            if (poll(&pfd, 1, 50) <= 0) continue;
            const int fd = accept(listenFd_, nullptr, nullptr);
            if (fd < 0) return;
            const PeerScript& s = scripts_[std::min(index++, scripts_.size() - 1)];
            Handle(fd, s);
            close(fd);
        }
    }
    void Handle(int fd, const PeerScript& s) {
        if (!bus::WriteAll(fd, &s.greeting, 1, 2000) || s.greeting != 0) return;
        if (s.readRequest) {
            std::uint8_t len[4];
            if (!bus::ReadAll(fd, len, 4, 5000)) return;
            const std::uint32_t n = len[0] | len[1] << 8 | len[2] << 16 | static_cast<std::uint32_t>(len[3]) << 24;
            std::vector<std::uint8_t> frame(n > 4096 ? 0 : n);
            if (!frame.empty() && !bus::ReadAll(fd, frame.data(), frame.size(), 5000)) return;
            std::lock_guard lock(mutex_);
            requests_.push_back(std::move(frame));
        }
        if (!s.reply.empty()) bus::WriteAll(fd, s.reply.data(), s.reply.size(), 5000);
        if (s.hangUp) return;
        // Let the client finish reading before the connection goes.
        std::uint8_t sink[64];
        bus::ReadAll(fd, sink, sizeof sink, 3000);
    }

    std::string path_;
    int listenFd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<PeerScript> scripts_;
    std::mutex mutex_;
    std::vector<std::vector<std::uint8_t>> requests_;
};

// An answer laid out like a command frame: "T2", length, command name, items, checksum.
struct Item {
    std::string key;
    std::string value;
};
inline std::vector<std::uint8_t> MakeAnswer(const std::string& name, const std::vector<Item>& items) {
    std::string data = name;
    for (const auto& it : items) {
        data += it.key + "=";
        data.push_back(static_cast<char>(it.value.size() & 0xFF));
        data.push_back(static_cast<char>(it.value.size() >> 8));
        data += it.value;
    }
    std::vector<std::uint8_t> out = {0x54, 0x32, static_cast<std::uint8_t>(data.size() & 0xFF),
                                     static_cast<std::uint8_t>(data.size() >> 8)};
    unsigned sum = 0;
    for (char c : data) {
        out.push_back(static_cast<std::uint8_t>(c));
        sum += static_cast<std::uint8_t>(c);
    }
    out.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    out.push_back(static_cast<std::uint8_t>((sum >> 8) & 0xFF));
    return out;
}

}  // namespace nimbra::test
