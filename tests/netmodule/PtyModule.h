// A scripted network module on the master side of a real pseudo-terminal, reached
// by the product as COMn of a private bus directory. It takes "D addr,count:"
// records (2 x count data bytes; tests use even image lengths) and CR pokes, and
// answers them as told.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "PtyLine.h"
#include "TestSupport.h"

namespace nettest {

struct ModuleScript {
    std::string recordReply = ">";  // sent after each record's data
    int replyDelayMs = 0;           // before the record reply
    int silentRecord = -1;          // from this record (from 0) on, nothing is answered
    std::string pokeReply = ">";    // sent after a CR
    int pokeReplies = -1;           // how many pokes are answered; -1 all
};

struct Record {
    std::string header;
    std::vector<std::uint8_t> data;
};

class PtyModule {
public:
    static constexpr int kCom = 7;

    explicit PtyModule(ModuleScript script = {}) : script_(std::move(script)) {
        if (bus_.path().empty()) return;
        pty_.Open(bus_.path(), kCom);
        if (!pty_.ok()) return;
        thread_ = std::thread([this] { Serve(); });
    }
    ~PtyModule() { Stop(); }

    bool ok() const { return pty_.ok() && !bus_.path().empty(); }

    // Lets the line go quiet for `quietMs`, then stops serving; afterwards the
    // evidence below is stable.
    void Stop(int quietMs = 100) {
        if (!thread_.joinable()) return;
        quietMs_ = quietMs;
        stopping_ = true;
        thread_.join();
        pty_.Close();
    }

    std::vector<Record> records;
    int pokes = 0;
    int pokesSinceRecord = 0;
    std::vector<std::uint8_t> other;  // bytes that were neither records nor pokes

private:
    void Send(const std::string& s) {
        if (!s.empty()) (void)!write(pty_.master(), s.data(), s.size());
    }

    void Serve() {
        std::vector<std::uint8_t> in;
        int idleMs = 0;
        for (;;) {
            pollfd pfd{pty_.master(), POLLIN, 0};
            int r = poll(&pfd, 1, 5);
            if (r > 0 && (pfd.revents & POLLIN)) {
                std::uint8_t buf[4096];
                ssize_t n = read(pty_.master(), buf, sizeof buf);
                if (n > 0) {
                    in.insert(in.end(), buf, buf + n);
                    idleMs = 0;
                    Consume(in);
                    continue;
                }
            }
            idleMs += 5;
            if (stopping_ && idleMs >= quietMs_) return;
        }
    }

    void Consume(std::vector<std::uint8_t>& in) {
        std::size_t pos = 0;
        while (pos < in.size()) {
            const std::uint8_t c = in[pos];
            if (c == '\r') {
                ++pos;
                ++pokes;
                ++pokesSinceRecord;
                if (!mute_ && script_.pokeReplies != 0) {
                    if (script_.pokeReplies > 0) --script_.pokeReplies;
                    Send(script_.pokeReply);
                }
                continue;
            }
            if (c != 'D') {
                other.push_back(c);
                ++pos;
                continue;
            }
            // A header ends at ':'; wait for the rest when it has not all arrived.
            std::size_t colon = pos;
            while (colon < in.size() && in[colon] != ':' && colon - pos < 32) ++colon;
            if (colon >= in.size()) break;
            std::string header(in.begin() + static_cast<long>(pos), in.begin() + static_cast<long>(colon) + 1);
            unsigned address = 0, count = 0;
            if (std::sscanf(header.c_str(), "D %x,%x:", &address, &count) != 2) {
                other.insert(other.end(), header.begin(), header.end());
                pos = colon + 1;
                continue;
            }
            const std::size_t dataBytes = 2 * static_cast<std::size_t>(count);
            if (in.size() - (colon + 1) < dataBytes) break;
            Record rec;
            rec.header = header;
            rec.data.assign(in.begin() + static_cast<long>(colon) + 1,
                            in.begin() + static_cast<long>(colon + 1 + dataBytes));
            records.push_back(std::move(rec));
            pos = colon + 1 + dataBytes;
            pokesSinceRecord = 0;
            if (static_cast<int>(records.size()) - 1 == script_.silentRecord) mute_ = true;
            if (!mute_) {
                if (script_.replyDelayMs > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(script_.replyDelayMs));
                Send(script_.recordReply);
            }
        }
        in.erase(in.begin(), in.begin() + static_cast<long>(pos));
    }

    ModuleScript script_;
    bool mute_ = false;
    TempDir bus_{"nnp"};
    nimbra::testsupport::PtyLine pty_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> quietMs_{100};
    std::thread thread_;
};

}  // namespace nettest
