// A stand-in boot loader on the master side of a pty, for the block-level unit
// tests: it echoes every byte as the line does, records the frames it receives and
// answers each with what the test's responder returns.
#pragma once

#include "FlashCore.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace flashtest {

struct Frame {
    std::uint8_t first = 0;
    std::vector<std::uint8_t> payload;
    std::uint8_t last = 0;
};

inline std::vector<std::uint8_t> Status(std::initializer_list<std::uint8_t> bytes) {
    std::vector<std::uint8_t> payload(bytes);
    std::vector<std::uint8_t> out(payload.size() + 5);
    const int n = nimbra::flash::BuildFrame(nimbra::flash::STX, nimbra::flash::ETX, payload.data(),
                                            static_cast<int>(payload.size()), out.data());
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// Answers as a healthy boot loader does: ACK to commands, ACK ACK to data frames,
// and a final ACK after the last data frame of a programming block.
class FakeBootLoader {
public:
    // Given the frame and the command it belongs to, the bytes to answer with.
    using Responder = std::function<std::vector<std::uint8_t>(const Frame&, std::uint8_t command)>;

    static std::vector<std::uint8_t> Healthy(const Frame& f, std::uint8_t command) {
        if (f.first == nimbra::flash::SOH) return Status({0x06});
        auto a = Status({0x06, 0x06});
        if (f.last == nimbra::flash::ETX && command == 0x40) {
            auto fin = Status({0x06});
            a.insert(a.end(), fin.begin(), fin.end());
        }
        return a;
    }

    FakeBootLoader(int master, Responder responder = Healthy)
        : master_(master), responder_(std::move(responder)), thread_([this] { Serve(); }) {}
    ~FakeBootLoader() {
        stop_ = true;
        thread_.join();
    }

    std::vector<Frame> Frames() {
        std::lock_guard lock(mutex_);
        return frames_;
    }

private:
    void Serve() {
        std::vector<std::uint8_t> buf;
        std::uint8_t command = 0;
        while (!stop_) {
            pollfd pfd{master_, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0 || !(pfd.revents & POLLIN)) continue;
            std::uint8_t chunk[4096];
            const ssize_t got = read(master_, chunk, sizeof chunk);
            if (got <= 0) continue;
            buf.insert(buf.end(), chunk, chunk + got);
            for (;;) {
                while (!buf.empty() && buf[0] != nimbra::flash::SOH && buf[0] != nimbra::flash::STX)
                    buf.erase(buf.begin());
                if (buf.size() < 2) break;
                const std::size_t len = buf[1] ? buf[1] : 256;
                if (buf.size() < len + 4) break;
                Frame f;
                f.first = buf[0];
                f.payload.assign(buf.begin() + 2, buf.begin() + 2 + static_cast<long>(len));
                f.last = buf[len + 3];
                std::vector<std::uint8_t> out(buf.begin(), buf.begin() + static_cast<long>(len + 4));
                buf.erase(buf.begin(), buf.begin() + static_cast<long>(len + 4));
                if (f.first == nimbra::flash::SOH) command = f.payload[0];
                {
                    std::lock_guard lock(mutex_);
                    frames_.push_back(f);
                }
                const auto answer = responder_(f, command);
                out.insert(out.end(), answer.begin(), answer.end());
                (void)!write(master_, out.data(), out.size());
            }
        }
    }

    int master_;
    Responder responder_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Frame> frames_;
    std::thread thread_;
};

}  // namespace flashtest
